// Changing the files of a disk's file system. A family works a change out as a plan: the
// sectors it writes, whole, and what the change does (units taken and freed, the directory
// slot). Planning reads the disk and changes nothing; applyPlan() writes a plan's sectors into
// an image held in memory, each only where its bytes belong to it alone, and nothing else.
// Blank disks and flat-image imports are built here too, from each family's format.
#ifndef RETRODISK_FS_EDIT_H
#define RETRODISK_FS_EDIT_H

#include <cstdint>
#include <string>
#include <vector>

#include <retrodisk/fs/file_system.h>
#include <retrodisk/fs/volume.h>

namespace retrodisk::fs {

// One sector's new contents: the sector with ID (c, h, r), all of its data bytes.
struct SectorWrite {
    int32_t c = 0, h = 0, r = 0;
    std::vector<uint8_t> data;
};

enum class EditError {
    kNone,
    kBadName,          // the name does not fit the family (detail: why)
    kBadType,          // a file type the family does not have
    kBadAddress,       // a load or exec address the family cannot keep
    kTooLarge,         // larger than a file of the family can be
    kNoSuchFile,       // remove: no file of that name
    kNoSuchDirectory,  // a directory of the path is not there
    kNameTaken,        // makeDirectory: an entry of that name exists; put: a directory has it
    kNotEmpty,         // removeDirectory: the directory holds entries
    kDiskFull,         // not enough free units
    kDirectoryFull,    // no free slot in the directory
    kUnsupported,      // the family does not do this (directories on a BASIC disk)
    kDamaged,          // the structures the change needs cannot be read
};

struct Plan {
    enum Action { kAdded, kReplaced, kRemoved, kMadeDirectory, kRemovedDirectory };
    Action action = kAdded;
    EditError error = EditError::kNone;
    std::string detail;             // English: the refusal's reason, or more about the change
    std::vector<std::string> path;  // the entry's path as stored (Shift_JIS components)
    int32_t slot = -1;              // its directory slot
    std::vector<int64_t> units;     // the units the file holds after the change, in order
    std::vector<int64_t> freed;     // units the change frees
    std::vector<SectorWrite> writes;
    bool ok() const { return error == EditError::kNone; }
};

// A file to put. An entry of that path is replaced: it keeps its units as far as they
// suffice, and its type, attributes and addresses unless the request names them.
struct PutRequest {
    std::vector<std::string> path;  // Shift_JIS components, the file's own name last
    std::vector<uint8_t> data;      // the bytes get gives back
    std::string type;               // "basic", "ascii", "binary", "machine", "data"; "": keep or
                                    // take the default for the name's extension
    bool hasLoad = false, hasExec = false;
    uint32_t load = 0, exec = 0;
    bool hasDate = false;  // the modification time to record, where the family keeps one
    DateTime date;
};

// The write side of a file system; FileSystem::editor() gives it where the family has one.
class Editor {
  public:
    virtual ~Editor() = default;
    virtual Plan put(const PutRequest& request) const = 0;
    virtual Plan remove(const std::vector<std::string>& path) const = 0;
    // Directories, where the family has them; others answer kUnsupported. A directory made
    // records `date` (null: none) where the family keeps one.
    virtual Plan makeDirectory(const std::vector<std::string>& path,
                               const DateTime* date = nullptr) const;
    virtual Plan removeDirectory(const std::vector<std::string>& path) const;
};

// Writes the plan's sectors into disk `disk` of `image`. Refused, with nothing written and
// *why set, when a sector is not on the disk, its data size is not the write's, the file cuts
// it short, or its bytes are shared with a header or another sector (a damaged or crafted
// image): a write there would change more than the sector.
bool applyPlan(std::vector<uint8_t>* image, int32_t disk, const Plan& plan, std::string* why);

// applyPlan's ground work done once for a series of plans: the sectors of the volume's disk
// and which of them hold bytes no other part of the image shares. A plan writes sector data
// only, never a header, so what this found still holds after every plan it applied.
class PlanTarget {
  public:
    // `volume` is of the image that apply() writes to, and must outlive this.
    explicit PlanTarget(const Volume& volume);
    // As applyPlan, into `image`, the bytes the volume reads (refused when they are not).
    bool apply(std::vector<uint8_t>* image, const Plan& plan, std::string* why) const;

  private:
    const Volume& volume_;
    std::vector<int64_t> alone_;  // data positions, ascending (see applyPlan)
};

// --- blank disks and imports ---------------------------------------------------------------

struct BlankSector {
    uint8_t c = 0, h = 0, r = 1, n = 1;
    bool singleDensity = false;  // FM (D88 density byte 0x40), as on track 0 of a PC-98 2HD disk
    std::vector<uint8_t> data;
};
struct BlankDisk {
    uint8_t media = 0;  // the D88 media byte: 0x00 2D, 0x10 2DD, 0x20 2HD
    // Tracks in table order (cylinder * 2 + head; a single-sided disk uses even entries).
    std::vector<std::vector<BlankSector>> tracks;
};

// The types `new` and `import` take for a family, default first ("2hd", "2dd", "2dd-640", ...).
std::vector<std::string> formatTypes(Kind kind);
// A freshly formatted disk of that type, as the machine's own format command makes it, with
// `label` (Shift_JIS) where the family keeps one; false with *why for a type it has not.
bool formatDisk(Kind kind, const std::string& type, const std::string& label, BlankDisk* disk,
                std::string* why);
// The D88 image of one disk: `name` (at most 16 bytes) in its header, tracks back to back.
std::vector<uint8_t> buildImage(const BlankDisk& disk, const std::string& name);
// `disk` with its sectors' data replaced, in logical order (track by track, R ascending), by
// the bytes of a flat image; false with *why when `flat` is not exactly their total size.
bool fillFromFlat(BlankDisk* disk, const std::vector<uint8_t>& flat, std::string* why);

}  // namespace retrodisk::fs

#endif  // RETRODISK_FS_EDIT_H
