// ImageEditor: changes the files of a disk's flat directory in a whole image held in memory,
// then saves it. Only sector data and directory entries are ever written; everything else in
// the file (other disks, headers, track tables, sector headers, gaps, trailing bytes) keeps its
// bytes, and an image saved with no change is the image loaded. Sectors are found by the same
// walk the reader uses (ImageView), free space by the same rule (scan.h).
//
// A sector is written only when its data bytes belong to it alone: the first sector of the
// walk with its ID, 1024 bytes of data all inside the file, and none of them shared with a
// disk header, a sector header or another sector's data (tracks that overlap, in a damaged or
// crafted image). Whatever else the image holds, an edit cannot change how it is read.
//
// Saving writes a temporary file in the image's directory, flushes it to the disk and renames
// it over the image, so a failure at any step leaves the image as it was.
#ifndef RETRODISK_D88_EDITOR_H
#define RETRODISK_D88_EDITOR_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace retrodisk::d88 {

// The largest file a directory entry can describe: its size field is 16 bits.
constexpr int32_t kMaxFileSize = 0xFFFF;

// Why an edit was refused. A refused edit changes nothing.
enum class EditStatus {
    kDone,
    kNoDisk,           // the image has no disk of that index
    kWriteProtected,   // the disk's write-protect flag (header byte 26) is 0x10, without force
    kNoDirectory,      // no 1024-byte directory sector C0 H0 R3 on track 0
    kShortDirectory,   // the directory cannot be read to its end (a sector missing or short)
    kBadName,          // not a name an entry can hold (see checkDiskName)
    kTooLarge,         // more than kMaxFileSize bytes
    kNoSuchFile,       // no entry of that name (remove; put without allocate)
    kNeedsAllocate,    // put: the file cannot go over its own sectors (see InPlaceProblem)
    kNoRoom,           // put: no run of free sectors is long enough
    kDirectoryFull,    // put: no slot left for a new entry
    kDirectoryLocked,  // the directory sectors that must change cannot be written
};

// Why a file cannot be written over the sectors its entry has.
enum class InPlaceProblem {
    kNone,
    kGrows,     // it needs more sectors than the entry has (an entry of size 0 has none)
    kReserved,  // they lie on track 0, which holds the boot sectors and the directory
    kPastDisk,  // they run past the disk's last logical sector
    kMissing,   // one is not on its track, or not 1024 bytes, or cut short by the file's end
    kShared,    // one belongs to another entry as well
    kOverlaps,  // one shares its bytes with other parts of the image
};

enum class PutAction { kInPlace, kMoved, kAdded };

struct EditResult {
    EditStatus status = EditStatus::kDone;
    PutAction action = PutAction::kInPlace;
    int32_t index = -1;  // the entry's slot in the directory
    // The logical sectors that now hold the file: first .. first + count - 1 (count 0: none).
    int32_t first = 0;
    int32_t count = 0;
    int32_t freed = 0;  // sectors blanked to 0x00 that no entry covers any more
    // kNeedsAllocate: why, and the first sector at fault (-1 for kGrows). kNeedsAllocate and
    // kNoRoom: the sectors the file needs; `has` is what the entry has (kNeedsAllocate) or the
    // longest free run (kNoRoom).
    InPlaceProblem problem = InPlaceProblem::kNone;
    int32_t sector = -1;
    int32_t needed = 0;
    int32_t has = 0;
    int32_t entries = 0;  // kShortDirectory: the entries that could be read
};

// A step of loading or saving a file that failed, and the system's reason (an errno value,
// 0 when there is none).
struct FileFailure {
    enum Step {
        kNone,
        kOpen,        // the file cannot be opened
        kRead,        // reading it failed (a directory, an I/O error)
        kNotRegular,  // not a regular file: a pipe or a device is not replaced by a file
        kTooLarge,    // over 2^31 - 1 bytes, past any position the format can name
        kReadOnly,    // save: the image is not writable (a read-only file is left alone)
        kExists,      // saveNewImage: a file of that name exists
        kCreate,      // the new file, or the temporary file, cannot be created
        kWrite,       // writing, flushing or closing it failed
        kReplace,     // renaming the temporary file over the image failed
    } step = kNone;
    int error = 0;
};

// What an entry's name may be, in Shift_JIS bytes: 1 to 13 bytes, no space, no byte below
// 0x20 or 0x7F, no '/', '\\' or ':' (a trail byte of a double-byte character may be any of
// them but a control byte, and is not taken for one), and not "." or "..".
enum class NameCheck { kOk, kLength, kCharacter };
NameCheck checkDiskName(const std::string& name);

class ImageEditor {
  public:
    ImageEditor() = default;
    explicit ImageEditor(std::vector<uint8_t> image) : image_(std::move(image)) {}

    // Reads the whole regular file at `path` (UTF-8 on Windows); false with *failure set.
    bool load(const char* path, FileFailure* failure);
    const std::vector<uint8_t>& bytes() const { return image_; }
    // Hands the image over without a copy; the editor is left holding none.
    std::vector<uint8_t> release() { return std::move(image_); }

    // kDone when disk `disk` can be edited: it exists, is not write-protected (unless
    // `force`), and its directory can be read to its end.
    EditResult checkDisk(int32_t disk, bool force) const;

    // Puts data[0, size) on disk `disk` under `name` (Shift_JIS bytes). An entry of that name
    // (the first) whose sectors hold the new size gets it in place: the data from its start
    // sector, the rest of its sectors 0x00, the new size. Otherwise, with `allocate`, the data
    // goes to the lowest run of free sectors long enough (the entry's own sectors count as
    // free for it) and the entry gets the new start and size, or a new entry takes the slot
    // of the end marker; the sectors left behind are blanked to 0x00.
    EditResult put(int32_t disk, const std::string& name, const uint8_t* data, size_t size,
                   bool allocate, bool force);
    // Removes the first entry called `name`: the entries after it move up one slot, the slot
    // freed at the end is zeroed, and its sectors that no other entry covers are blanked.
    EditResult remove(int32_t disk, const std::string& name, bool force);

    // Writes the image over the file at `path` through a temporary file in its directory (a
    // symbolic link is followed, so the link stays and its target gets the new bytes); the
    // file keeps its permission bits. False, with the file untouched, on any failure.
    bool save(const char* path, FileFailure* failure) const;

  private:
    std::vector<uint8_t> image_;
};

// A blank disk image, one disk as d88extract reads it: `label` (at most 16 bytes; longer is
// cut) in the header, media 2HD, not write-protected; tracks 0 to 153 back to back after the
// header, each 8 sectors R 1 to 8 of 1024 zero bytes. The directory is empty and every
// sector from 8 on is free.
std::vector<uint8_t> blankImage(const std::string& label);

// Writes data[0, size) to a new file at `path`; refused (kExists) when one is there. A file
// that cannot be written completely is removed.
bool saveNewImage(const char* path, const uint8_t* data, size_t size, FileFailure* failure);

// Removes the files that saves of this process (ImageEditor::save, saveNewImage) are writing
// at this moment: a temporary copy not yet renamed over its image, or a new image not yet
// complete. For a program's handler of SIGINT, SIGTERM or SIGHUP (or of a Windows console's
// Ctrl-C), so that a save stopped there leaves the old file as it was and nothing beside it;
// the library installs no handler itself. Async-signal-safe: it reads a record of fixed size
// and calls unlink (DeleteFileW on Windows, where a file still open goes once the process has
// ended). A file is on record from before it is created (signals are held in the saving
// thread from then until it is, so a handler never sees a name that is not its own) until it
// has been renamed or removed; up to 4 saves running at once in different threads, of paths
// under 4096 bytes, are on record.
void removeUnfinishedSaves();

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_EDITOR_H
