// What is on one disk of an image, worked out from an ImageView: the flat directory as
// d88extract reads it and how it ends, each file's bytes, the free sectors, the disk's common
// geometry and its anomalies. Nothing here prints; the tools and the image editor share it.
#ifndef RETRODISK_D88_SCAN_H
#define RETRODISK_D88_SCAN_H

#include <cstdint>
#include <string>
#include <vector>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/image_view.h>

namespace retrodisk::d88 {

// --- the flat directory ---------------------------------------------------------------------

enum class DirectoryEnd {
    kMarker,  // an entry whose name starts with a zero byte
    kFull,    // all kMaxEntries entries were read
    kShort,   // the next entry lies (partly) past the directory bytes that could be read
};

struct Directory {
    // Directory bytes delivered by whole sectors, 0 to kDirectorySize: 0 when the disk has
    // no 1024-byte sector C0 H0 R3 on track 0.
    int32_t bytesRead = 0;
    std::vector<DirectoryEntry> entries;  // entry i of the area is entries[i]
    DirectoryEnd end = DirectoryEnd::kShort;
};

// Reads the directory area of `disk` as d88extract does and takes entries only from bytes
// that were read: entry i is listed when its name byte (18 i + 1) and its last byte
// (18 i + 17) were read and the name byte is not 0.
void scanDirectory(const ImageView& image, const DiskInfo& disk, Directory* directory);

// Sectors a directory entry can name: 8 on each track a disk can have.
constexpr int32_t kMappedSectors = DiskImage::kTrackCount * kSectorsPerTrack;

// Where each sector an entry can name is read from: for logical sector L (C L>>4, H (L>>3)&1,
// R (L&7)+1, N 3 on track L>>3), the first sector of its track's walk with that ID, as a read
// finds it, or a record of position -1 when there is none. Each track is walked once, so that
// reading every file of a directory costs one walk of the disk and not one walk of a track
// per sector; the walks stop at walkBudget() (see below): from the track whose walk passes
// it on (only in a tangled image), there are no sectors. *tangledFrom: that track, or -1.
std::vector<SectorRecord> mapFileSectors(const ImageView& image, const DiskInfo& disk,
                                         int32_t* tangledFrom = nullptr);

// The bytes of `entry`'s file as d88extract writes them, into `buffer` (at least entry.size
// bytes), from the sectors of mapFileSectors(): those from its start on that give their full
// share. Returns the number of bytes read; fewer than entry.size when a sector is missing or
// short.
int32_t readFile(const ImageView& image, const std::vector<SectorRecord>& sectors,
                 const DirectoryEntry& entry, uint8_t* buffer);

// True when the disk carries a flat directory: the directory sector is there with 1024 bytes,
// the scan did not end short, and every entry's sectors lie on the disk.
bool hasFlatDirectory(const Directory& directory);

// --- free space -----------------------------------------------------------------------------

// Logical sectors of a 2-sided disk of 77 cylinders, and the first one after track 0 (which
// holds the boot sectors and the directory).
constexpr int32_t kLogicalSectors = 154 * kSectorsPerTrack;
constexpr int32_t kFirstFileSector = kSectorsPerTrack;

// Logical sectors an entry of `size` bytes covers: ceil(size / 1024).
inline int32_t sectorsFor(int32_t size) {
    return (size + kSectorSize - 1) / kSectorSize;
}

// free[L] for L in 0 .. kLogicalSectors - 1: L is free when it lies past track 0, no entry of
// `directory` with a size above 0 covers it, its sector (`sectors`, from mapFileSectors()) has
// a data size of 1024 bytes, all in the file, and those bytes are all one value (never
// written, or blanked): data that a program reads by sector number, with no directory entry,
// stays out of reach.
std::vector<bool> freeSectors(const ImageView& image, const std::vector<SectorRecord>& sectors,
                              const Directory& directory);

struct SectorRun {
    int32_t first;
    int32_t count;
};
// Maximal runs of consecutive free sectors, in ascending order.
std::vector<SectorRun> freeRuns(const std::vector<bool>& free);

// --- geometry and anomalies -----------------------------------------------------------------

struct Geometry {
    int32_t tracks = 0;      // track table entries that are not 0
    int32_t cylinders = 0;   // from the highest readable track with sectors: track = 2 C + H
    int32_t heads = 0;       // 2 when a readable track of head 1 has sectors, else 1 (0: none)
    int32_t sectors = 0;     // the most common number of sectors on a readable track
    int32_t sectorSize = 0;  // the most common data size
};
// The most sector headers the walks of one disk's tracks can pass, one header per 16 bytes of
// the file, when no two tracks overlap: every walk of such an image fits in it. Walks that
// pass more must pass some header twice. (In a crafted image each of the 164 walks can run
// through the whole file; what examines an image stops at this bound.)
size_t walkBudget(const ImageView& image);

// The tracks examined are those before the one whose walk passes walkBudget() in all.
Geometry commonGeometry(const ImageView& image, const DiskInfo& disk);

enum class AnomalyKind {
    kDuplicateId,    // two sectors of a track share an ID; the first is the one read
    kSizeMismatch,   // a data size other than 128 << N
    kDeletedData,    // a deleted-data mark
    kStatus,         // a non-zero status byte
    kIdMismatch,     // C or H not those of the track's position (track = 2 C + H)
    kTrackOffset,    // a track offset outside the disk or the file
    kCutShort,       // the file ends inside a track, or before the disk's size
    kShortHeader,    // a track table of fewer than 164 entries
    kPastCountZero,  // sector headers past a sector count of 0: listed, never read
    kTangled,        // the walks pass more sector headers than the file has room for
    // The media byte names a media that cannot hold the disk's common geometry: more data
    // on a track than one turn of it carries, or more cylinders than it has (see
    // scanAnomalies). Never raised for a disk that holds less than its media can.
    kMediaMismatch,
};
// The kind's name in JSON and text output: "duplicate_id", "size_mismatch", ...
const char* anomalyName(AnomalyKind kind);
// The media a D88 media byte names: "2D" (0x00), "2DD" (0x10), "2HD" (0x20), else "unknown".
const char* mediaName(uint8_t media);

struct Anomaly {
    int32_t track;  // -1 for the disk as a whole
    AnomalyKind kind;
    std::string detail;  // English, e.g. "C0 H0 R1 N3 appears 2 times"
};
// Every anomaly of `disk`, track by track in ascending order, disk-wide ones first. Of each
// kind a track's sectors have, the first kMaxSectorAnomalies are listed one by one, then one
// more of the kind gives the number of the others. A walk that passes walkBudget() ends the
// scan with a kTangled anomaly.
//
// kMediaMismatch compares commonGeometry() with what the media byte's media can hold: 2D
// (0x00) at most 42 cylinders (48 tpi: 40, and the 2 a drive reaches past them) of 6250 bytes
// a track (250 kbit/s at 300 rpm); 2DD (0x10) 82 cylinders of 6250 bytes; 2HD (0x20) 82
// cylinders of 12500 bytes (500 kbit/s at 300 rpm, the faster of its two speeds). A track's
// bytes are sectors x sector size, counted without gaps or IDs, and 82 cylinders are all the
// track table holds: the bounds are generous, so only a geometry the media cannot carry at
// all is flagged. Other media bytes (0x30 and 0x40 mean 1D and 1DD to some tools) are not
// compared.
constexpr int32_t kMaxSectorAnomalies = 64;
std::vector<Anomaly> scanAnomalies(const ImageView& image, const DiskInfo& disk);

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_SCAN_H
