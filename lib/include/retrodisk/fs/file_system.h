// The file systems found on the disks of D88 images, behind one interface: each one looks at a
// disk and says how sure it is that the disk is its own and why (detection), lists the disk's
// entries, reads a file's bytes, counts the free space and checks the whole disk for damage.
// Nothing here prints; names stay in the disk's Shift_JIS bytes (d88/names.h converts them).
// Every walk over the disk's own links (cluster chains, directories) is bounded by the size of
// the disk, so a damaged or hostile disk gives named problems, never a hang or a crash.
#ifndef RETRODISK_FS_FILE_SYSTEM_H
#define RETRODISK_FS_FILE_SYSTEM_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <retrodisk/fs/volume.h>

namespace retrodisk::fs {

class Editor;  // edit.h

enum class Kind {
    kFlat,     // the flat 18-byte directory on track 0 (d88/directory.h)
    kFat12,    // FAT12 with or without a parameter block
    kN88,      // N88-BASIC (2D, 2DD, 2HD) and its 1D variant
    kHuBasic,  // Hu-BASIC (2D, 2DD, 2HD)
    kFBasic,   // F-BASIC (2D, 2DD)
};
// The name the command line and JSON use: "flat", "fat12", "n88", "hu", "fbasic".
const char* kindName(Kind kind);
// Its title in text: "FAT12", "N88-BASIC", "Hu-BASIC", "F-BASIC", "flat directory".
const char* kindTitle(Kind kind);
// The kind of that name; false when there is none.
bool kindByName(const std::string& name, Kind* kind);

// How sure a file system is that a disk is its own, and the evidence, in English, naming the
// bytes and where they are ("parameter block at C0 H0 R1 +11: 1024-byte sectors, ...").
struct Detection {
    int confidence = 0;    // 0: not this file system; kSure and above: recognised
    std::string evidence;  // why (or, below kSure, why not), one line
};
constexpr int kSure = 90;
// The flat directory's bid for a directory that can be read but is damaged (cut short, or
// naming sectors past the disk): not recognised, but read when nothing else is.
constexpr int kFlatUsable = 50;

struct DateTime {
    int32_t year = 0, month = 0, day = 0;  // a full year (1980, 2022)
    int32_t hour = 0, minute = 0, second = 0;
    bool hasTime = false;  // false: the date alone is stored
};

// A field a file system keeps that the others do not ("cluster_bytes", "password", ...).
struct Field {
    std::string key;
    bool isText = false;
    int64_t number = 0;
    std::string text;
};

struct Entry {
    // Its path from the root, one Shift_JIS name per directory level, the entry's own name
    // last: "NAME.EXT" as the file system joins a name and an extension (padding dropped, a
    // 0x05 first byte given back as 0xE5). Never split on a byte: 0x5C may be a trail byte.
    std::vector<std::string> path;
    std::string rawName;  // the name bytes exactly as the directory entry stores them
    bool directory = false;
    // The file system's file type: "basic", "ascii", "binary", "machine", "data", or "" where
    // it keeps none (FAT12 files); "directory" for a directory.
    std::string type;
    uint32_t attributes = 0;    // the attribute byte(s) as stored
    std::string attributeText;  // the attributes in the file system's own letters ("RHSA")
    int64_t size = 0;           // as the file system defines it: what read() gives when whole
    bool hasDate = false;
    DateTime date;
    bool hasLoad = false, hasExec = false;
    uint32_t load = 0, exec = 0;
    int64_t firstUnit = -1;  // first allocation unit (cluster); -1: none
    int32_t slot = -1;       // the entry's slot in its directory
    std::vector<Field> own;  // the file system's own fields
};

// What a check finds, and what a read of a damaged file runs into.
enum class ProblemKind {
    kLoop,             // a chain comes back to a unit it has passed
    kPastDisk,         // a chain names a unit past the last one of the disk
    kFreeInChain,      // a free unit inside a chain
    kReservedInChain,  // a reserved or bad unit inside a chain
    kShared,           // a unit in the chains of two files
    kSizeMismatch,     // a size that disagrees with the chain
    kFatMismatch,      // the copies of the allocation table disagree
    kNoDirectoryEnd,   // a directory without its end
    kLostUnits,        // units marked used that no file's chain reaches
    kMissingSector,    // a sector the file system needs is missing or short
    kBadParameters,    // the parameters of the file system are damaged
    kBadEntry,         // a directory entry that cannot be right (a start unit out of range)
};
// "loop", "past_disk", "free_in_chain", ...: the kind's name in JSON and text.
const char* problemName(ProblemKind kind);

struct Problem {
    ProblemKind kind = ProblemKind::kBadEntry;
    std::vector<std::string> path;  // the file or directory it affects; empty for an area
    std::string area;               // the area of the disk when no file: "FAT", "directory"
    std::string detail;             // English, e.g. "cluster 12 comes back to cluster 9"
};

// A file's bytes: the whole file when `complete`, else as much as could be read and why not.
struct FileData {
    std::vector<uint8_t> bytes;
    bool complete = false;
    Problem problem;  // when not complete
};

struct FreeSpace {
    int64_t units = 0;      // free allocation units
    int64_t unitBytes = 0;  // bytes in one unit
    int64_t bytes() const { return units * unitBytes; }
};

class FileSystem {
  public:
    virtual ~FileSystem() = default;
    virtual Kind kind() const = 0;
    // The layout and parameters in use, in English ("1024-byte sectors, 1 per cluster, ...").
    virtual std::string describe() const = 0;
    // Every entry of the disk, the whole tree depth-first in directory order (a directory
    // before its own entries). Entries that cannot be reached (a directory whose sectors are
    // missing, a loop) are left out; check() names them.
    virtual std::vector<Entry> list() const = 0;
    // The bytes of the file `entry` (an entry of list()).
    virtual FileData read(const Entry& entry) const = 0;
    virtual FreeSpace freeSpace() const = 0;
    // Every problem of the disk, each naming the file or area it affects; empty when clean.
    virtual std::vector<Problem> check() const = 0;
    // The write side (edit.h), or null where the family has none. It plans changes against
    // this file system's view of the disk, so it lives no longer than the file system.
    virtual std::unique_ptr<Editor> editor() const;
};

// What a file system made of a disk: each family's bid and, when one is recognised, the file
// system. `chosen` is null when none is sure (kNone) or two are (kAmbiguous).
struct Recognition {
    enum Outcome { kRecognised, kNone, kAmbiguous } outcome = kNone;
    struct Bid {
        Kind kind;
        Detection detection;
    };
    std::vector<Bid> bids;  // every family's answer, best first
    std::unique_ptr<FileSystem> chosen;

    // The bid of family `kind`; confidence 0 when it made none.
    Detection bidOf(Kind kind) const;
    // The titles of the families that are sure, joined by " and ": "FAT12 and N88-BASIC".
    std::string sureTitles() const;
};

// Asks every family. The flat directory is taken only when no other family is sure.
Recognition recognise(const Volume& volume);
// The file system `kind` on the disk, whatever detection would say (the user's choice): null
// with *why set when its structures cannot be read at all.
std::unique_ptr<FileSystem> openAs(const Volume& volume, Kind kind, std::string* why);

}  // namespace retrodisk::fs

#endif  // RETRODISK_FS_FILE_SYSTEM_H
