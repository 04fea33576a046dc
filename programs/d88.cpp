// d88: looks inside D88 floppy-disk images of any system: the disks in a file (info), the
// sector headers of one disk (tracks), its flat file directory (ls); takes files out (get),
// puts them back (put), removes them (rm) and makes blank images (new).
// The format work is retrodisk::d88's; this file parses arguments and prints. Its messages
// are English, one line each, "d88: SUBJECT: what went wrong[: the system's reason]".
#include <zlib.h>
#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/d88/scan.h>

#include "platform.h"

namespace {

using namespace retrodisk::d88;
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
    // put, rm and new
    std::vector<std::string> files;
    std::string as;      // put --as
    bool named = false;  // --as was given (an empty name is refused as a name)
    bool allocate = false;
    bool dryRun = false;
    std::string label;
};

// --- output helpers -----------------------------------------------------------------------

// One failure line on standard error, after whatever standard output holds so far.
void report(const std::string& subject, const std::string& what) {
    std::fflush(stdout);
    std::fprintf(stderr, "d88: %s: %s\n", escapeForDisplay(subject).c_str(), what.c_str());
}

std::string reason(int error) {
    return std::strerror(error);
}

void print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// A path that is not valid UTF-8 (a name in a legacy encoding) shows U+FFFD where its bytes
// cannot be read, rather than failing the whole document.
void printJson(const json& value) {
    print(value.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
}

// What a subcommand prints when it has succeeded: the JSON document with --json, else the
// text; each is built only when it is the one asked for.
int emit(const Options& o, const json& document, const std::string& text) {
    if (o.json)
        printJson(document);
    else
        print(text);
    return 0;
}

// `pattern` filled in with integers, each passed as long long (every conversion is %lld or
// %llx); at most 199 characters.
template <class... Integers>
std::string format(const char* pattern, Integers... values) {
    char text[200];
    std::snprintf(text, sizeof text, pattern, static_cast<long long>(values)...);
    return text;
}

std::string hex(const std::string& bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

// A name from the image as text output shows it: UTF-8 (or its bytes as they are, with
// --raw-names), control bytes as \xNN; a name that is not valid Shift_JIS shows its bytes
// 0x80-0xFF as \xNN too, so the output stays valid UTF-8.
std::string shownName(const std::string& bytes, bool rawNames) {
    if (rawNames) return escapeForDisplay(bytes);
    std::string utf8;
    if (cp932ToUtf8(bytes, &utf8)) return escapeForDisplay(utf8);
    return escapeForDisplay(bytes, true);
}

// A name in JSON: its UTF-8 form, or null when the bytes are not valid Shift_JIS.
json jsonName(const std::string& bytes) {
    std::string utf8;
    if (cp932ToUtf8(bytes, &utf8)) return utf8;
    return nullptr;
}

std::string crcText(uint32_t crc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(crc));
    return text;
}

// --- the image ----------------------------------------------------------------------------

// The whole image file, read in one piece when its size is known. Positions in the format are
// signed 32-bit, so nothing past the first 2 GiB can be reached and no more is read.
struct ImageFile {
    std::unique_ptr<uint8_t[]> bytes;
    size_t size = 0;
};

bool loadImage(const std::string& path, ImageFile* image) {
    std::FILE* in = openFile(path.c_str(), "rb");
    if (in == nullptr) {
        report(path, "cannot open: " + reason(errno));
        return false;
    }
    constexpr size_t kMost = (size_t(1) << 31) - 1;
    // The size of a regular file, one byte more so that one read meets the end (at most what
    // can be used, and one byte); otherwise (a pipe) the buffer grows as it is read.
    uint64_t expected = 0;
    size_t capacity = regularFileSize(in, &expected)
                          ? size_t(std::min(expected, uint64_t(kMost))) + 1
                          : size_t(1) << 20;
    image->bytes.reset(new uint8_t[capacity]);
    image->size = 0;
    for (;;) {
        image->size += std::fread(image->bytes.get() + image->size, 1, capacity - image->size, in);
        if (image->size < capacity || capacity > kMost) break;
        // Uninitialised: every byte used is read from the file first.
        const size_t larger = capacity > kMost / 2 ? kMost + 1 : capacity * 2;
        std::unique_ptr<uint8_t[]> grown(new uint8_t[larger]);
        std::memcpy(grown.get(), image->bytes.get(), image->size);
        image->bytes = std::move(grown);
        capacity = larger;
    }
    if (image->size > kMost) image->size = kMost;
    const int error = errno;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        report(path, "cannot read: " + reason(error));  // an I/O error
        return false;
    }
    return true;
}

// The failures that reading and editing share.
std::string noDiskText(const Options& o, int32_t disks) {
    return format("there is no disk %lld (the file holds %lld)", o.disk, disks);
}

std::string noDirectoryText(int64_t disk) {
    return format("disk %lld has no flat directory (no 1024-byte sector C0 H0 R3 on track 0)",
                  disk);
}

std::string shortDirectoryText(int64_t entries) {
    return format(
        "the directory is cut short after %lld entries: a directory sector is "
        "missing or short",
        entries);
}

bool selectDisk(const ImageView& image, const Options& o, DiskInfo* disk) {
    if (image.readDisk(o.disk, disk)) return true;
    report(o.image, noDiskText(o, image.diskCount()));
    return false;
}

// The directory of the selected disk; false (reported) when the disk has none at all.
bool readDirectory(const ImageView& image, const DiskInfo& disk, const Options& o,
                   Directory* directory) {
    scanDirectory(image, disk, directory);
    if (directory->bytesRead > 0) return true;
    report(o.image, noDirectoryText(disk.index));
    return false;
}

// Files read past a track whose walk ran out of the walk budget are cut short: says why.
void reportTangled(int32_t track, const Options& o) {
    report(o.image, format("the track walks pass more sector headers than the file has room "
                           "for (tracks overlap); no sector from track %lld on is read",
                           track));
}

void reportShortDirectory(const Directory& directory, const Options& o) {
    report(o.image, shortDirectoryText(int64_t(directory.entries.size())));
}

const char* endName(DirectoryEnd end) {
    switch (end) {
        case DirectoryEnd::kMarker:
            return "marker";
        case DirectoryEnd::kFull:
            return "full";
        case DirectoryEnd::kShort:
            return "short";
    }
    return "short";
}

// --- info ---------------------------------------------------------------------------------

const char* mediaName(uint8_t media) {
    switch (media) {
        case 0x00:
            return "2D";
        case 0x10:
            return "2DD";
        case 0x20:
            return "2HD";
        default:
            return "unknown";
    }
}

int info(const Options& o) {
    ImageFile file;
    if (!loadImage(o.image, &file)) return kFailed;
    const ImageView image(file.bytes.get(), file.size);

    json disks = json::array();
    std::string text = escapeForDisplay(o.image) + format(": %lld bytes, %lld disk(s)\n",
                                                          int64_t(file.size), image.diskCount());
    for (int32_t i = 0; i < image.diskCount(); ++i) {
        DiskInfo disk;
        image.readDisk(i, &disk);
        const Geometry g = commonGeometry(image, disk);
        Directory directory;
        scanDirectory(image, disk, &directory);
        const bool flat = hasFlatDirectory(directory);
        const std::vector<Anomaly> anomalies = scanAnomalies(image, disk);
        const bool writeProtected = disk.writeProtect == kWriteProtected;
        const int64_t size = int64_t(uint32_t(disk.size));

        if (o.json) {
            json list = json::array();
            for (const Anomaly& a : anomalies)
                list.push_back({{"track", a.track < 0 ? json(nullptr) : json(a.track)},
                                {"kind", anomalyName(a.kind)},
                                {"detail", a.detail}});
            disks.push_back({{"index", i},
                             {"offset", disk.offset},
                             {"name", jsonName(disk.name)},
                             {"name_bytes", hex(disk.name)},
                             {"media", mediaName(disk.mediaType)},
                             {"media_byte", disk.mediaType},
                             {"write_protected", writeProtected},
                             {"size", size},
                             {"tracks", g.tracks},
                             {"geometry",
                              {{"cylinders", g.cylinders},
                               {"heads", g.heads},
                               {"sectors", g.sectors},
                               {"sector_size", g.sectorSize}}},
                             {"flat_directory", flat},
                             {"anomalies", list}});
            continue;
        }
        text += format("disk %lld at offset %lld: ", i, disk.offset) + shownName(disk.name, false) +
                "\n";
        text += std::string("  media ") + mediaName(disk.mediaType) +
                format(" (0x%02llx), ", disk.mediaType) +
                (writeProtected ? "write-protected" : "not write-protected") +
                format(", size %lld bytes\n", size);
        text += format("  %lld tracks, ", g.tracks) +
                (g.cylinders == 0 ? std::string("no readable sectors\n")
                                  : format("%lld x %lld x %lld x %lld (cylinders x heads x "
                                           "sectors x bytes)\n",
                                           g.cylinders, g.heads, g.sectors, g.sectorSize));
        text += std::string("  flat directory: ") + (flat ? "yes" : "no") + "\n";
        text += format("  anomalies: %lld\n", int64_t(anomalies.size()));
        // A few lines per disk: --json lists every one.
        constexpr size_t kShown = 8;
        for (size_t k = 0; k < anomalies.size() && k < kShown; ++k) {
            const Anomaly& a = anomalies[k];
            text += (a.track < 0 ? std::string("    disk") : format("    track %lld", a.track)) +
                    ": " + anomalyName(a.kind) + ": " + a.detail + "\n";
        }
        if (anomalies.size() > kShown)
            text += format("    ... and %lld more (--json lists them all)\n",
                           int64_t(anomalies.size() - kShown));
    }
    return emit(o, {{"image", o.image}, {"size", file.size}, {"disks", disks}}, text);
}

// --- tracks -------------------------------------------------------------------------------

int tracks(const Options& o) {
    ImageFile file;
    DiskInfo disk;
    if (!loadImage(o.image, &file)) return kFailed;
    const ImageView image(file.bytes.get(), file.size);
    if (!selectDisk(image, o, &disk)) return kFailed;

    json list = json::array();
    std::string text = format("disk %lld\n", disk.index);
    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(image);
    for (int32_t t = 0; t < disk.tableEntries; ++t) {
        if (disk.trackOffsets[t] == 0) continue;
        const int64_t offset = int64_t(uint32_t(disk.trackOffsets[t]));
        const WalkEnd end = image.walkTrack(disk, t, &sectors, &budget);
        json js = json::array();
        text += format("track %lld at offset %lld: ", t, offset);
        if (end == WalkEnd::kLimit) {
            // Tracks that overlap, over and over: the listing would be unbounded.
            text +=
                "the walks pass more sector headers than the file has room for (tracks "
                "overlap); this track and those after it are not listed\n";
            list.push_back({{"track", t}, {"offset", offset}, {"sectors", js}, {"tangled", true}});
            break;
        }
        if (end == WalkEnd::kNoTrack) {
            text += "cannot be read (outside the disk or the file)\n";
        } else {
            text += format("%lld sectors\n", int64_t(sectors.size()));
            if (!sectors.empty())
                text += "      C    H    R    N  count  density  deleted  status   size\n";
        }
        for (const SectorRecord& s : sectors) {
            if (!o.json) {
                text += format("    %3lld  %3lld  %3lld  %3lld", s.c, s.h, s.r, s.n) +
                        format("  %5lld     0x%02llx     0x%02llx    0x%02llx", s.count, s.density,
                               s.deleted, s.status) +
                        format("  %5lld\n", s.dataSize);
                continue;
            }
            js.push_back({{"c", s.c},
                          {"h", s.h},
                          {"r", s.r},
                          {"n", s.n},
                          {"count", s.count},
                          {"density", s.density},
                          {"deleted", s.deleted},
                          {"status", s.status},
                          {"size", s.dataSize}});
        }
        list.push_back({{"track", t}, {"offset", offset}, {"sectors", js}});
    }
    return emit(o, {{"disk", disk.index}, {"tracks", list}}, text);
}

// The selected disk of an image, its directory and where its files' sectors are.
struct DiskFiles {
    ImageFile file;
    ImageView image{nullptr, 0};
    DiskInfo disk;
    Directory directory;
    std::vector<SectorRecord> sectors;
    int32_t tangledFrom = -1;  // see mapFileSectors
};

// Loads the image and the selected disk's directory and sector map; false (reported) when the
// image, the disk or its directory is missing.
bool openDiskFiles(const Options& o, DiskFiles* d) {
    if (!loadImage(o.image, &d->file)) return false;
    d->image = ImageView(d->file.bytes.get(), d->file.size);
    if (!selectDisk(d->image, o, &d->disk) || !readDirectory(d->image, d->disk, o, &d->directory))
        return false;
    d->sectors = mapFileSectors(d->image, d->disk, &d->tangledFrom);
    return true;
}

// --- ls -----------------------------------------------------------------------------------

int ls(const Options& o) {
    DiskFiles d;
    if (!openDiskFiles(o, &d)) return kFailed;

    static uint8_t data[65536];
    json files = json::array();
    std::string text = "   #  START   SIZE  SECTORS  CRC32     NAME\n";
    for (size_t i = 0; i < d.directory.entries.size(); ++i) {
        const DirectoryEntry& e = d.directory.entries[i];
        const std::string name = e.name;
        const int32_t got = readFile(d.image, d.sectors, e, data);
        // The bytes d88extract would write; nothing to sum when none can be read.
        const bool readable = got > 0 || e.size == 0;
        const uint32_t crc = uint32_t(crc32(0L, data, uInt(got)));
        if (o.json) {
            files.push_back({{"index", i},
                             {"name", jsonName(name)},
                             {"name_bytes", hex(name)},
                             {"start", e.start},
                             {"size", e.size},
                             {"sectors", sectorsFor(e.size)},
                             {"crc32", readable ? json(crcText(crc)) : json(nullptr)}});
            continue;
        }
        text += format("%4lld  %5lld  %5lld  %7lld  ", int64_t(i), e.start, e.size,
                       sectorsFor(e.size)) +
                (readable ? crcText(crc) : std::string("-       ")) + "  " +
                shownName(name, o.rawNames) +
                (got < e.size && readable
                     ? format("  (only %lld of %lld bytes can be read)", got, e.size)
                     : std::string()) +
                "\n";
    }
    const std::vector<SectorRun> runs = freeRuns(freeSectors(d.image, d.sectors, d.directory));
    int64_t freeCount = 0;
    SectorRun largest = {0, 0};
    json jsonRuns = json::array();
    for (const SectorRun& r : runs) {
        freeCount += r.count;
        if (r.count > largest.count) largest = r;
        jsonRuns.push_back({r.first, r.count});
    }
    const size_t count = d.directory.entries.size();
    text += format(count == 1 ? "%lld file, directory end: " : "%lld files, directory end: ",
                   int64_t(count)) +
            endName(d.directory.end) + "\n" + format("free: %lld sectors", freeCount) +
            (largest.count > 0 ? format(", largest run %lld sectors from sector %lld\n",
                                        largest.count, largest.first)
                               : std::string("\n"));
    emit(o,
         {{"image", o.image},
          {"disk", d.disk.index},
          {"files", files},
          {"end", endName(d.directory.end)},
          {"free", {{"sectors", freeCount}, {"runs", jsonRuns}}}},
         text);
    if (d.tangledFrom >= 0) reportTangled(d.tangledFrom, o);
    if (d.directory.end == DirectoryEnd::kShort) reportShortDirectory(d.directory, o);
    return d.tangledFrom >= 0 || d.directory.end == DirectoryEnd::kShort ? kFailed : 0;
}

// --- get ----------------------------------------------------------------------------------

// Bytes of the character that starts at `s`: a UTF-8 sequence, or with `raw` a Shift_JIS
// lead and trail byte; never past the terminating zero.
size_t charLength(const char* s, bool raw) {
    const auto b = static_cast<unsigned char>(*s);
    size_t length = 1;
    if (raw)
        length = isShiftJisLead(b) ? 2 : 1;
    else if (b >= 0xF0)
        length = 4;
    else if (b >= 0xE0)
        length = 3;
    else if (b >= 0xC0)
        length = 2;
    size_t n = 1;
    while (n < length && s[n] != '\0')
        ++n;
    return n;
}

// Wildcard match: '*' any run of characters, '?' one character, anything else itself.
bool matches(const char* pattern, const char* name, bool raw) {
    while (*pattern != '\0') {
        if (*pattern == '*') {
            ++pattern;
            for (;; name += charLength(name, raw)) {
                if (matches(pattern, name, raw)) return true;
                if (*name == '\0') return false;
            }
        }
        if (*name == '\0') return false;
        if (*pattern == '?') {
            ++pattern;
            name += charLength(name, raw);
            continue;
        }
        if (*pattern != *name) return false;
        ++pattern;
        ++name;
    }
    return *name == '\0';
}

// Writes data[0, size) to `path`: as a new file, or with `force` over an existing one through
// a temporary file renamed over it, so a failed write never costs the old file. Returns the
// failure, or an empty string.
std::string writeFile(const std::string& path, const uint8_t* data, size_t size, bool force) {
    std::string temporary;
    std::FILE* out = openOutput(path.c_str(), false);
    if (out == nullptr && errno == EEXIST) {
        if (!force) return escapeForDisplay(path) + " exists (-f replaces it)";
        for (int n = 0; n < 1000 && out == nullptr; ++n) {
            temporary = path + format(".d88-%lld.tmp", n);
            out = openOutput(temporary.c_str(), false);
            if (out == nullptr && errno != EEXIST) break;
        }
    }
    if (out == nullptr)
        return "cannot create " + escapeForDisplay(temporary.empty() ? path : temporary) + ": " +
               reason(errno);
    int error = 0;
    if (std::fwrite(data, 1, size, out) != size) error = errno;
    if (std::fflush(out) != 0 && error == 0) error = errno;
    // A copy that replaces a file reaches the disk before the rename.
    if (!temporary.empty() && error == 0 && !syncToDisk(out)) error = errno;
    if (std::fclose(out) != 0 && error == 0) error = errno;
    const std::string& written = temporary.empty() ? path : temporary;
    if (error != 0) {
        removeFile(written.c_str());
        forgetOutput();
        return "cannot write " + escapeForDisplay(written) + ": " + reason(error);
    }
    if (!temporary.empty() && !replaceFile(temporary.c_str(), path.c_str())) {
        error = errno;
        removeFile(temporary.c_str());
        forgetOutput();
        return "cannot replace " + escapeForDisplay(path) + ": " + reason(error);
    }
    forgetOutput();
    return std::string();
}

// The name a file system takes for an entry; false when it has none. On Windows every name
// goes through Unicode, --raw-names or not, since that is what its file names are.
bool fileName(const std::string& bytes, bool rawNames, std::string* name) {
#ifndef _WIN32
    if (rawNames) {
        *name = bytes;
        return true;
    }
#else
    (void)rawNames;
#endif
    return cp932ToUtf8(bytes, name);
}

int get(const Options& o) {
    DiskFiles d;
    if (!openDiskFiles(o, &d)) return kFailed;
    if (!makeDirectories(o.outputDir.c_str())) {
        report(o.outputDir, "cannot create the directory: " + reason(errno));
        return kFailed;
    }

    static uint8_t data[65536];
    bool failed = false;
    std::vector<bool> used(o.names.size(), false);
    std::set<std::string> taken;
    for (const DirectoryEntry& e : d.directory.entries) {
        const std::string raw = e.name;
        std::string utf8;
        const bool valid = cp932ToUtf8(raw, &utf8);
        const std::string matched = o.rawNames || !valid ? raw : utf8;
        bool wanted = o.names.empty();
        for (size_t k = 0; k < o.names.size(); ++k) {
            if (!matches(o.names[k].c_str(), matched.c_str(), o.rawNames || !valid)) continue;
            used[k] = true;
            wanted = true;
        }
        // An entry without a name has no file to go to (d88extract skips it too).
        if (!wanted || raw.empty()) continue;

        const std::string shown = shownName(raw, o.rawNames);
        const std::string subject = o.image + ": " + shown;
        std::string name;
        if (!fileName(raw, o.rawNames, &name)) {
#ifdef _WIN32
            report(subject, "the name is not valid Shift_JIS");
#else
            report(subject, "the name is not valid Shift_JIS; --raw-names writes it as it is");
#endif
            failed = true;
            continue;
        }
        if (!isSafeFileName(name)) {
            report(subject, "unsafe as a file name, not written");
            failed = true;
            continue;
        }
        if (!taken.insert(fileNameKey(name)).second) {
            report(subject, "a second entry of this name, not written over the first");
            failed = true;
            continue;
        }
        const int32_t got = readFile(d.image, d.sectors, e, data);
        if (got == 0 && e.size > 0) {
            report(subject, "cannot read its data");
            failed = true;
            continue;
        }
        // Only the bytes read are written: a file cut short keeps what was read, and fails.
        const std::string failure = writeFile(o.outputDir + "/" + name, data, size_t(got), o.force);
        if (!failure.empty()) {
            report(subject, failure);
            failed = true;
            continue;
        }
        if (got < e.size) {
            report(subject,
                   format("only %lld of its %lld bytes can be read; wrote those", got, e.size));
            failed = true;
            continue;
        }
        print(shown + format("  %lld bytes\n", got));
    }
    for (size_t k = 0; k < o.names.size(); ++k) {
        if (used[k]) continue;
        report(o.image + ": " + o.names[k], format("no such file on disk %lld", d.disk.index));
        failed = true;
    }
    if (d.tangledFrom >= 0) {
        reportTangled(d.tangledFrom, o);
        failed = true;
    }
    if (d.directory.end == DirectoryEnd::kShort) {
        reportShortDirectory(d.directory, o);
        failed = true;
    }
    return failed ? kFailed : 0;
}

// --- put, rm and new ----------------------------------------------------------------------

// "1 sector", "5 sectors"
std::string sectorCount(int64_t n) {
    return format(n == 1 ? "%lld sector" : "%lld sectors", n);
}

// What a failed load or save means, for its image.
std::string failureText(const FileFailure& f, bool temporary) {
    const std::string why = f.error != 0 ? ": " + reason(f.error) : std::string();
    switch (f.step) {
        case FileFailure::kNone:
        case FileFailure::kOpen:
            return "cannot open" + why;
        case FileFailure::kRead:
            return "cannot read" + why;
        case FileFailure::kNotRegular:
            return "not a regular file";
        case FileFailure::kTooLarge:
            return "larger than 2147483647 bytes, too large to edit";
        case FileFailure::kReadOnly:
            return "cannot be written" + why;
        case FileFailure::kExists:
            return "exists (-f replaces it)";
        case FileFailure::kCreate:
            return (temporary ? "cannot create a temporary file in its directory"
                              : "cannot create") +
                   why;
        case FileFailure::kWrite:
            return (temporary ? "cannot write its new copy" : "cannot write") + why;
        case FileFailure::kReplace:
            return "cannot rename the new copy over it" + why;
    }
    return "cannot open" + why;
}

bool loadForEdit(const Options& o, ImageEditor* editor) {
    FileFailure f;
    if (editor->load(o.image.c_str(), &f)) return true;
    report(o.image, failureText(f, false));
    return false;
}

// True when the selected disk can be edited; otherwise reports why.
bool checkDisk(const ImageEditor& editor, const Options& o) {
    const EditResult r = editor.checkDisk(o.disk, o.force);
    switch (r.status) {
        case EditStatus::kNoDisk:
            report(
                o.image,
                noDiskText(o, ImageView(editor.bytes().data(), editor.bytes().size()).diskCount()));
            return false;
        case EditStatus::kWriteProtected:
            report(o.image,
                   format("disk %lld is write-protected; --force changes it anyway", o.disk));
            return false;
        case EditStatus::kNoDirectory:
            report(o.image, noDirectoryText(o.disk));
            return false;
        case EditStatus::kShortDirectory:
            report(o.image, shortDirectoryText(r.entries) + "; the disk is not changed");
            return false;
        default:
            return true;
    }
}

// The Shift_JIS form of `given` (UTF-8, or its bytes as they are with --raw-names); false
// after reporting when there is none. With `check`, also a name an entry can hold.
bool diskName(const std::string& given, const Options& o, bool check, std::string* name) {
    const std::string subject = o.image + ": " + given;
    if (o.rawNames) {
        *name = given;
    } else if (!utf8ToCp932(given, name)) {
        report(subject, "the name cannot be written in Shift_JIS");
        return false;
    }
    const NameCheck verdict = check ? checkDiskName(*name) : NameCheck::kOk;
    if (verdict == NameCheck::kLength)
        report(subject, format("the name is %lld bytes", int64_t(name->size())) +
                            (o.rawNames ? "" : " in Shift_JIS") +
                            "; a name on the disk has 1 to 13");
    if (verdict == NameCheck::kCharacter)
        report(subject,
               "a name on the disk cannot hold a space, a control character, '/', '\\' "
               "or ':', nor be . or ..");
    return verdict == NameCheck::kOk;
}

// The last component of `path`.
std::string baseName(const std::string& path) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The bytes of the file at `path`, which a directory entry must be able to describe; false
// after reporting.
bool readInput(const std::string& path, std::string* data) {
    std::FILE* in = openFile(path.c_str(), "rb");
    if (in == nullptr) {
        report(path, "cannot open: " + reason(errno));
        return false;
    }
    // One byte more than the largest size, to see a larger file without reading it all.
    data->resize(size_t(kMaxFileSize) + 1);
    const size_t got = std::fread(data->data(), 1, data->size(), in);
    const int error = errno;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        report(path, "cannot read: " + reason(error));
        return false;
    }
    if (got > size_t(kMaxFileSize)) {
        report(path, "larger than 65535 bytes, the most a file on the disk can hold");
        return false;
    }
    data->resize(got);
    return true;
}

// Why a put or rm of one file was refused.
std::string refusal(const EditResult& r, const Options& o) {
    const std::string allocate = "; --allocate can move it to free space";
    const std::string sector = format("sector %lld of it", r.sector);
    switch (r.status) {
        case EditStatus::kNoSuchFile:
            return format("no such file on disk %lld", o.disk) +
                   (o.files.empty() ? "" : "; --allocate adds it");
        case EditStatus::kNoRoom:
            return "needs " + sectorCount(r.needed) +
                   ", and no run of free sectors is that long (" +
                   format("the longest has %lld)", r.has);
        case EditStatus::kDirectoryFull:
            return format("no room for a new entry: the directory is full (%lld entries)",
                          kMaxEntries);
        case EditStatus::kDirectoryLocked:
            return "the directory cannot be changed: a sector of it is missing, or shares its "
                   "bytes with other parts of the image";
        default:
            break;
    }
    switch (r.problem) {
        case InPlaceProblem::kGrows:
            return "needs " + sectorCount(r.needed) + format(", has %lld", r.has) + allocate;
        case InPlaceProblem::kReserved:
            return sector + " lies on track 0, which holds the boot sectors and the directory" +
                   allocate;
        case InPlaceProblem::kPastDisk:
            return sector +
                   format(" lies past the disk's last sector (%lld)", kLogicalSectors - 1) +
                   allocate;
        case InPlaceProblem::kMissing:
            return sector + " is missing, or not 1024 bytes" + allocate;
        case InPlaceProblem::kShared:
            return sector + " belongs to another entry too" + allocate;
        case InPlaceProblem::kOverlaps:
            return sector + " shares its bytes with other parts of the image" + allocate;
        case InPlaceProblem::kNone:
            break;
    }
    return "cannot be changed";
}

// What a put did, or would do with --dry-run.
std::string putText(const EditResult& r, bool dryRun) {
    const std::string would = dryRun ? "would be " : "";
    const std::string where = r.count == 1
                                  ? format("sector %lld", r.first)
                                  : format("sectors %lld-%lld", r.first, r.first + r.count - 1);
    switch (r.action) {
        case PutAction::kInPlace:
            return would +
                   (r.count > 0 ? "replaced in place at " + where : "replaced in place, empty");
        case PutAction::kMoved:
            return would + (r.count > 0 ? "moved to " + where : "replaced, empty (no sectors)");
        case PutAction::kAdded:
            return would + (r.count > 0 ? "added at " + where : "added, empty (no sectors)");
    }
    return would + "replaced";
}

// All or nothing: with any failure the image is left as it was; otherwise it is saved (not
// with --dry-run) and what was done is printed.
int finish(const ImageEditor& editor, const Options& o, const std::string& done, int64_t failed,
           int64_t total) {
    if (failed > 0) {
        if (total > 1) report(o.image, format("not changed: %lld of %lld failed", failed, total));
        return kFailed;
    }
    FileFailure f;
    if (!o.dryRun && !editor.save(o.image.c_str(), &f)) {
        report(o.image, failureText(f, true));
        return kFailed;
    }
    print(done);
    return 0;
}

int put(const Options& o) {
    ImageEditor editor;
    if (!loadForEdit(o, &editor) || !checkDisk(editor, o)) return kFailed;
    std::string done;
    int64_t failed = 0;
    for (const std::string& path : o.files) {
        std::string data;
        std::string name;
        if (!readInput(path, &data) || !diskName(o.named ? o.as : baseName(path), o, true, &name)) {
            ++failed;
            continue;
        }
        const EditResult r = editor.put(o.disk, name, reinterpret_cast<const uint8_t*>(data.data()),
                                        data.size(), o.allocate, o.force);
        const std::string shown = shownName(name, o.rawNames);
        if (r.status != EditStatus::kDone) {
            report(o.image + ": " + shown, refusal(r, o));
            ++failed;
            continue;
        }
        done += shown + ": " + putText(r, o.dryRun) + "\n";
    }
    return finish(editor, o, done, failed, int64_t(o.files.size()));
}

int rm(const Options& o) {
    ImageEditor editor;
    if (!loadForEdit(o, &editor) || !checkDisk(editor, o)) return kFailed;
    std::string done;
    int64_t failed = 0;
    for (const std::string& given : o.names) {
        std::string name;
        // Any entry can be removed, whatever its name holds.
        if (!diskName(given, o, false, &name)) {
            ++failed;
            continue;
        }
        const EditResult r = editor.remove(o.disk, name, o.force);
        const std::string shown = shownName(name, o.rawNames);
        if (r.status != EditStatus::kDone) {
            report(o.image + ": " + shown, refusal(r, o));
            ++failed;
            continue;
        }
        done += shown + ": " + (o.dryRun ? "would be removed, " : "removed, ") +
                sectorCount(r.freed) + " freed\n";
    }
    return finish(editor, o, done, failed, int64_t(o.names.size()));
}

int newImage(const Options& o) {
    std::string label;
    if (!utf8ToCp932(o.label, &label)) {
        report(o.image, "the label cannot be written in Shift_JIS");
        return kFailed;
    }
    if (label.size() > size_t(kDiskNameLength)) {
        report(o.image, format("the label is %lld bytes in Shift_JIS; the header holds 16",
                               int64_t(label.size())));
        return kFailed;
    }
    const std::vector<uint8_t> image = blankImage(label);
    FileFailure f;
    bool temporary = false;
    bool saved = saveNewImage(o.image.c_str(), image.data(), image.size(), &f);
    if (!saved && f.step == FileFailure::kExists && o.force) {
        temporary = true;
        saved = ImageEditor(image).save(o.image.c_str(), &f);
    }
    if (!saved) {
        report(o.image, failureText(f, temporary));
        return kFailed;
    }
    print(escapeForDisplay(o.image) +
          format(": a blank 2HD disk of %lld bytes, %lld sectors free\n", int64_t(image.size()),
                 kLogicalSectors - kFirstFileSector));
    return 0;
}

// --- the command line ---------------------------------------------------------------------

int run(int argc, char** argv) {
    CLI::App app{
        "Looks inside D88 floppy-disk images: the disks in a file, their tracks and "
        "sectors, the flat file directory; takes files out and puts them back.",
        "d88"};
    app.set_version_flag("--version", std::string("d88 (retrodisk) ") + RETRODISK_VERSION);
    app.require_subcommand(1, 1);
    Options o;
    const auto image = [&o](CLI::App* command) {
        command->add_option("IMAGE", o.image, "the D88 image file")->required();
    };
    const auto disk = [&o](CLI::App* command) {
        command->add_option("-d,--disk", o.disk, "the disk, counted from 0 (default 0)")
            ->check(CLI::Validator(
                [](const std::string& text) {
                    const bool digits = !text.empty() && text.size() < 10 &&
                                        text.find_first_not_of("0123456789") == std::string::npos;
                    return digits ? std::string() : "not a disk number: " + text;
                },
                "N"));
    };
    const auto asJson = [&o](CLI::App* command) {
        command->add_flag("--json", o.json, "JSON output");
    };
    const auto rawNames = [&o](CLI::App* command) {
        command->add_flag("--raw-names", o.rawNames,
                          "names as their Shift_JIS bytes, not converted to UTF-8");
    };

    CLI::App* infoCommand = app.add_subcommand("info",
                                               "every disk in the file: header, "
                                               "geometry, flat directory, anomalies");
    image(infoCommand);
    asJson(infoCommand);
    CLI::App* tracksCommand =
        app.add_subcommand("tracks", "the sector headers of every track of one disk");
    image(tracksCommand);
    disk(tracksCommand);
    asJson(tracksCommand);
    CLI::App* lsCommand =
        app.add_subcommand("ls", "the flat directory of one disk, with CRC-32s and free space");
    image(lsCommand);
    disk(lsCommand);
    asJson(lsCommand);
    rawNames(lsCommand);
    CLI::App* getCommand =
        app.add_subcommand("get", "write the disk's files (all, or those named) into a directory");
    image(getCommand);
    getCommand->add_option("NAME", o.names, "files to write; * and ? are wildcards");
    disk(getCommand);
    getCommand->add_option("-o,--output", o.outputDir,
                           "the directory to write to, created if missing (default .)");
    getCommand->add_flag("-f,--force", o.force, "replace existing files");
    rawNames(getCommand);

    CLI::App* putCommand = app.add_subcommand(
        "put", "put files onto the disk: over their own sectors, or with --allocate anywhere free");
    image(putCommand);
    putCommand->add_option("FILE", o.files, "files to put, each under its base name")->required();
    disk(putCommand);
    CLI::Option* asOption = putCommand->add_option("--as", o.as, "the name on the disk (one FILE)");
    putCommand->add_flag("--allocate", o.allocate,
                         "let a file that does not fit its sectors, or a new one, take free "
                         "sectors");
    putCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
    putCommand->add_flag("--force", o.force, "change a write-protected disk");
    rawNames(putCommand);
    CLI::App* rmCommand = app.add_subcommand("rm", "remove files from the disk");
    image(rmCommand);
    rmCommand->add_option("NAME", o.names, "files to remove")->required();
    disk(rmCommand);
    rmCommand->add_flag("--dry-run", o.dryRun, "say what would be done; change nothing");
    rmCommand->add_flag("--force", o.force, "change a write-protected disk");
    rawNames(rmCommand);
    CLI::App* newCommand =
        app.add_subcommand("new", "write a blank 2HD image with an empty directory");
    image(newCommand);
    newCommand->add_option("--label", o.label, "the disk's name in its header (16 bytes at most)");
    newCommand->add_flag("-f,--force", o.force, "replace an existing file");

    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& e) {  // --help, --version
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "d88: %s (d88 --help shows the usage)\n", e.what());
        return kUsage;
    }
    if (infoCommand->parsed()) return info(o);
    if (tracksCommand->parsed()) return tracks(o);
    if (lsCommand->parsed()) return ls(o);
    if (getCommand->parsed()) return get(o);
    if (putCommand->parsed()) {
        if (asOption->count() > 0 && o.files.size() != 1) {
            std::fprintf(stderr,
                         "d88: --as names one FILE, not %lld (d88 --help shows the usage)\n",
                         static_cast<long long>(o.files.size()));
            return kUsage;
        }
        o.named = asOption->count() > 0;
        return put(o);
    }
    if (rmCommand->parsed()) return rm(o);
    return newImage(o);
}

int runSafely(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::exception& e) {  // out of memory, above all
        std::fflush(stdout);
        std::fprintf(stderr, "d88: %s\n", e.what());
        return kFailed;
    }
}

}  // namespace

int programMain(int argc, char** argv) {
    // A save or a file being written that a signal stops is removed (see platform.h).
    removeOutputOnSignal(retrodisk::d88::removeUnfinishedSaves);
    return runSafely(argc, argv);
}
