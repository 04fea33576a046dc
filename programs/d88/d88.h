// d88: what its subcommands share. One source file per subcommand group (info.cpp, tracks.cpp,
// ls.cpp, get.cpp, check.cpp, export.cpp, edit.cpp), the command line in main.cpp, and here
// the options, the output helpers and the steps that load an image and find a disk's file
// system. The format work is the libraries'; these files parse arguments and print. Messages
// are English, one line each, "d88: SUBJECT: what went wrong[: the system's reason]".
#ifndef PROGRAMS_D88_D88_H
#define PROGRAMS_D88_D88_H

#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/scan.h>
#include <retrodisk/fs/file_system.h>

namespace retrodisk::d88 {
struct FileFailure;  // editor.h
}

namespace d88cli {

namespace d88 = retrodisk::d88;
namespace fs = retrodisk::fs;

// Keys in the order the documentation gives them.
using json = nlohmann::ordered_json;

constexpr int kFailed = 1;
constexpr int kUsage = 2;

struct Options {
    std::string image;
    int32_t disk = 0;
    bool json = false;
    bool rawNames = false;
    bool force = false;
    std::string outputDir = ".";
    std::vector<std::string> names;
    std::string fs;          // --fs NAME: the file system, without detection
    bool longList = false;   // ls -l
    bool recursive = false;  // ls -R
    bool text = false;       // get --text
    bool fill = false;       // export --fill
    std::string output;      // export -o
    // put, rm and new
    std::vector<std::string> files;
    std::string as;      // put --as
    bool named = false;  // --as was given (an empty name is refused as a name)
    bool allocate = false;
    bool dryRun = false;
    std::string label;
    std::string type;        // put --type, new and import --type
    std::string load, exec;  // put --load, --exec
    std::string input;       // import FLAT
};

// --- output -------------------------------------------------------------------------------

// One failure line on standard error, after whatever standard output holds so far.
void report(const std::string& subject, const std::string& what);
std::string reason(int error);
void print(const std::string& text);
// What a subcommand prints when it has succeeded: the JSON document with --json, else the
// text; each is built only when it is the one asked for. Returns 0.
int emit(const Options& o, const json& document, const std::string& text);

// `pattern` filled in with integers, each passed as long long (every conversion is %lld or
// %llx); at most 199 characters.
template <class... Integers>
std::string format(const char* pattern, Integers... values) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, static_cast<long long>(values)...);
    return text;
}

std::string hex(const std::string& bytes);
std::string crcText(uint32_t crc);
uint32_t crc32Of(const uint8_t* data, size_t size);
// A name from the image as text output shows it: UTF-8 (or its bytes as they are, with
// --raw-names), control bytes as \xNN; a name that is not valid Shift_JIS shows its bytes
// 0x80-0xFF as \xNN too, so the output stays valid UTF-8.
std::string shownName(const std::string& bytes, bool rawNames);
// A name in JSON: its UTF-8 form, or null when the bytes are not valid Shift_JIS.
json jsonName(const std::string& bytes);
// A path's components shown as shownName does, joined by '/'.
std::string shownPath(const std::vector<std::string>& path, bool rawNames);

// --- the image ----------------------------------------------------------------------------

// The whole image file, read in one piece when its size is known. Positions in the format are
// signed 32-bit, so nothing past the first 2 GiB can be reached and no more is read.
struct ImageFile {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
};
bool loadImage(const std::string& path, ImageFile* image);

std::string noDiskText(const Options& o, int32_t disks);
std::string noDirectoryText(int64_t disk);
std::string shortDirectoryText(int64_t entries);
bool selectDisk(const d88::ImageView& image, const Options& o, d88::DiskInfo* disk);

// An image loaded, its selected disk, the disk's sectors and its file system. Not copied or
// moved: the volume and the file system point into it.
struct OpenedDisk {
    ImageFile file;
    d88::ImageView image{nullptr, 0};
    d88::DiskInfo disk;
    std::unique_ptr<fs::Volume> volume;
    std::unique_ptr<fs::FileSystem> fileSystem;
    OpenedDisk() = default;
    OpenedDisk(const OpenedDisk&) = delete;
    OpenedDisk& operator=(const OpenedDisk&) = delete;
};
// Loads the image, selects the disk and finds its file system (diskFileSystem); false after
// reporting.
bool openDisk(const Options& o, OpenedDisk* d);

// The file system d88 reads a disk with: the one --fs names, else the one recognised; where
// none is, the flat directory when the disk has one that can be read (a damaged one
// included, as the flat tools read it). Null after reporting why there is none.
std::unique_ptr<fs::FileSystem> diskFileSystem(const fs::Volume& volume, const Options& o);

// Who edits the selected disk: the flat directory's editor (--fs flat, or no other file
// system found), a file system's (the one --fs names, or the one recognised), or nobody
// (reported): two file systems found, or a C0 H0 R3 that is no flat directory.
enum class EditTarget { kFlat, kFileSystem, kRefused };
// A file system editTarget recognised, handed on to editFileSystem so that it is not found a
// second time: the view of the image it was found in (on the heap, where the volume points),
// the disk, its volume and its file system. Empty with --fs, where nothing is recognised.
struct FoundFileSystem {
    std::unique_ptr<d88::ImageView> view;
    d88::DiskInfo disk;
    std::unique_ptr<fs::Volume> volume;
    std::unique_ptr<fs::FileSystem> fileSystem;
};
// With `found`, a file system recognised goes to *found. The image's bytes must stay where they
// are as long as *found is used.
EditTarget editTarget(const uint8_t* bytes, size_t size, const Options& o,
                      FoundFileSystem* found = nullptr);

// What a failed load or save of an image means (`temporary`: saving through a temporary copy).
std::string failureText(const d88::FileFailure& f, bool temporary);
// The last component of a path given on the command line.
std::string baseName(const std::string& path);
// Writes a new image to o.image (with -f over an existing one, through a temporary copy);
// false after reporting.
bool saveNewImage(const Options& o, const std::vector<uint8_t>& image);

// The file-system side of put, rm, mkdir and rmdir (fsedit.cpp), on an image loaded for editing.
enum class FsOperation { kPut, kRemove, kMakeDirectory, kRemoveDirectory };
// `found`, when it holds a file system, is of `loaded`'s bytes, and is used instead of finding it
// again.
int editFileSystem(const Options& o, std::vector<uint8_t> loaded, FsOperation operation,
                   FoundFileSystem found = {});
int newFileSystemImage(const Options& o, const std::string& label);

// Files read past a track whose walk ran out of the walk budget are cut short: says why.
void reportTangled(int32_t track, const Options& o);

// Writes data[0, size) to `path`: as a new file, or with `force` over an existing one through
// a temporary file renamed over it, so a failed write never costs the old file; with
// `seconds`, the file's modification time is set to it (whether that succeeds is not told).
// Returns the failure, or an empty string.
std::string writeFile(const std::string& path, const uint8_t* data, size_t size, bool force,
                      const int64_t* seconds = nullptr);

// Wildcard match: '*' any run of characters, '?' one character, anything else itself; with
// `raw`, characters are Shift_JIS, else UTF-8.
bool matches(const char* pattern, const char* name, bool raw);

// The flat directory of an open disk and where its files' sectors are (see mapFileSectors).
struct FlatFiles {
    d88::Directory directory;
    std::vector<d88::SectorRecord> sectors;
    int32_t tangledFrom = -1;
};
FlatFiles flatFiles(const OpenedDisk& opened);

// The flat directory's ls and get (ls.cpp, get.cpp): today's output, on a disk already open.
int lsFlat(const Options& o, const OpenedDisk& opened);
int getFlat(const Options& o, const OpenedDisk& opened);

// The path the user gave ("FPU2/MAIN.EXP") as components; an empty path is the root.
std::vector<std::string> splitPath(const std::string& path);
// True when an entry's path, shown as UTF-8 (or bytes with --raw-names), is `components`;
// with `ignoreCase`, ASCII letters compare without case (callers try the exact match first).
bool samePath(const std::vector<std::string>& entryPath, const std::vector<std::string>& components,
              bool rawNames, bool ignoreCase);
// The entry's path as the user types it: UTF-8 (or bytes with --raw-names), joined by '/';
// false when a component is not valid Shift_JIS.
bool typedPath(const std::vector<std::string>& path, bool rawNames, std::string* out);

// The subcommands.
int info(const Options& o);
int tracks(const Options& o);
int ls(const Options& o);
int get(const Options& o);
int check(const Options& o);
int exportDisk(const Options& o);
int put(const Options& o);
int rm(const Options& o);
int newImage(const Options& o);
int mkdir(const Options& o);
int rmdir(const Options& o);
int importImage(const Options& o);

}  // namespace d88cli

#endif  // PROGRAMS_D88_D88_H
