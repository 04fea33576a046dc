// ImageView: a D88 image file held in memory, read by the same rules as DiskImage (which reads
// the file itself): the disks found by their size fields, each disk's header and track table,
// and each track's sector headers in the order a sector walk meets them, with where their data
// lies in the file. Reads by sector ID give exactly what DiskImage gives; the walk also tells
// what DiskImage does not (density, deleted-data mark, status, where the data is), for tools
// that inspect an image or change sector data in place.
#ifndef RETRODISK_D88_IMAGE_VIEW_H
#define RETRODISK_D88_IMAGE_VIEW_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <retrodisk/d88/disk_image.h>

namespace retrodisk::d88 {

// The value of the write-protect flag (header offset 26) on a protected disk.
constexpr uint8_t kWriteProtected = 0x10;

// One disk's header as the reader takes it.
struct DiskInfo {
    int32_t index = -1;
    int64_t offset = 0;        // file position of the header
    std::string name;          // header bytes 0..15 up to the first zero byte
    uint8_t writeProtect = 0;  // header byte 26
    uint8_t mediaType = 0;     // header byte 27
    int32_t size = 0;          // disk size field, signed as the reader compares it
    int32_t trackOffsets[DiskImage::kTrackCount] = {};
    // Entries of the track table that lie before the first track's data: 164 for a full
    // header. An older, shorter header has its first track at an offset below 688, and the
    // reader takes the bytes of that track for the entries past it.
    int32_t tableEntries = DiskImage::kTrackCount;
};

// One sector header as a walk meets it.
struct SectorRecord {
    uint8_t c = 0, h = 0, r = 0, n = 0;  // the ID
    int32_t count = 0;                   // the sectors-in-track field
    uint8_t density = 0, deleted = 0, status = 0;
    int32_t dataSize = 0;     // the data size field
    int64_t position = 0;     // file position of the header; the data follows it
    int32_t dataPresent = 0;  // bytes of the data inside the file: dataSize unless cut short
};

// True when `sector`'s ID is (id[0], id[1], id[2], id[3]) = (C, H, R, N).
inline bool hasId(const SectorRecord& sector, const uint8_t id[4]) {
    return sector.c == id[0] && sector.h == id[1] && sector.r == id[2] && sector.n == id[3];
}

// Why a track walk stopped.
enum class WalkEnd {
    kNoTrack,    // the track cannot be read: absent, or its offset fails the reader's checks
    kCount,      // a header's count said it was the last sector
    kCountZero,  // a header with a sector count of 0 (not taken as a sector)
    kFileEnd,    // the file ends inside a sector header
    kLimit,      // the walk listed all the sectors its budget allowed, and there were more
};

class ImageView {
  public:
    // The image is the caller's and must outlive the view.
    ImageView(const uint8_t* data, size_t size);

    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    // Disks found as DiskImage::open finds them: at most 64.
    int32_t diskCount() const { return int32_t(diskOffsets_.size()); }
    // Loads disk `index`'s header; false when there is no such disk.
    bool readDisk(int32_t index, DiskInfo* disk) const;

    // File position of `track`'s first sector header, or -1 when the reader cannot read the
    // track (number out of range, offset 0, above the disk size, or a negative position).
    static int64_t trackPosition(const DiskInfo& disk, int32_t track);
    // Walks `track` as DiskImage::readSector does and appends every sector it passes to
    // `sectors` (cleared first). A header the file cuts short is not listed. With `budget`, the
    // walk lists at most *budget sectors and takes those it lists off *budget; one more ends it
    // with kLimit (in a crafted image a walk can run on to the file's end; see walkBudget).
    WalkEnd walkTrack(const DiskInfo& disk, int32_t track, std::vector<SectorRecord>* sectors,
                      size_t* budget = nullptr) const;
    // The number of sector headers DiskImage::readTrackIds would list past a walk that a
    // sector count of 0 ended (0 when the walk ended otherwise). Counts at most `limit`.
    int32_t headersPastCountZero(const DiskInfo& disk, int32_t track, int32_t limit) const;
    // The first sector with ID (c, h, r, n) on the walk of `track`; false when none.
    bool findSector(const DiskInfo& disk, int32_t track, const uint8_t id[4],
                    SectorRecord* sector) const;

    // As DiskImage::readSector and readSectors on `disk`, sectors numbered kFirstSector to
    // kLastSector on every track: the same results, the same bytes.
    int32_t readSector(const DiskInfo& disk, int32_t track, int32_t c, int32_t h, int32_t r,
                       int32_t n, uint8_t* buffer, int32_t length) const;
    int32_t readSectors(const DiskInfo& disk, int32_t track, int32_t c, int32_t h, int32_t r,
                        int32_t n, uint8_t* buffer, int32_t length) const;

  private:
    // Reads the sector header at `position` into *sector; false when the file ends inside it.
    bool readHeader(int64_t position, SectorRecord* sector) const;

    const uint8_t* data_;
    size_t size_;
    std::vector<int64_t> diskOffsets_;
};

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_IMAGE_VIEW_H
