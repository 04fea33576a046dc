// What the subcommands share: output, loading an image, choosing a disk and its file system.
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <retrodisk/d88/names.h>

#include "../platform.h"
#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

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

int emit(const Options& o, const json& document, const std::string& text) {
    // A path that is not valid UTF-8 (a name in a legacy encoding) shows U+FFFD where its
    // bytes cannot be read, rather than failing the whole document.
    if (o.json)
        print(document.dump(2, ' ', false, json::error_handler_t::replace) + "\n");
    else
        print(text);
    return 0;
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

std::string crcText(uint32_t crc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(crc));
    return text;
}

uint32_t crc32Of(const uint8_t* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    // zlib takes at most uInt bytes at a time.
    while (size > 0) {
        const size_t chunk = std::min(size, size_t(1) << 30);
        crc = crc32(crc, data, uInt(chunk));
        data += chunk;
        size -= chunk;
    }
    return uint32_t(crc);
}

std::string shownName(const std::string& bytes, bool rawNames) {
    if (rawNames) return escapeForDisplay(bytes);
    std::string utf8;
    if (cp932ToUtf8(bytes, &utf8)) return escapeForDisplay(utf8);
    return escapeForDisplay(bytes, true);
}

json jsonName(const std::string& bytes) {
    std::string utf8;
    if (cp932ToUtf8(bytes, &utf8)) return utf8;
    return nullptr;
}

std::string shownPath(const std::vector<std::string>& path, bool rawNames) {
    std::string out;
    for (size_t i = 0; i < path.size(); ++i)
        out += (i > 0 ? "/" : "") + shownName(path[i], rawNames);
    return out;
}

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
    image->bytes.reset(new uint8_t[capacity]);  // see large_blocks.cpp
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

bool openDisk(const Options& o, OpenedDisk* d) {
    if (!loadImage(o.image, &d->file)) return false;
    d->image = ImageView(d->file.bytes.get(), d->file.size);
    if (!selectDisk(d->image, o, &d->disk)) return false;
    d->volume = std::make_unique<fs::Volume>(d->image, d->disk);
    d->fileSystem = diskFileSystem(*d->volume, o);
    return d->fileSystem != nullptr;
}

FlatFiles flatFiles(const OpenedDisk& opened) {
    FlatFiles flat;
    scanDirectory(opened.image, opened.disk, &flat.directory);
    flat.sectors = mapFileSectors(opened.image, opened.disk, &flat.tangledFrom);
    return flat;
}

std::vector<std::string> splitPath(const std::string& path) {
    std::vector<std::string> components;
    size_t start = 0;
    while (start <= path.size()) {
        const size_t slash = path.find('/', start);
        const size_t end = slash == std::string::npos ? path.size() : slash;
        if (end > start) components.push_back(path.substr(start, end - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    return components;
}

bool typedPath(const std::vector<std::string>& path, bool rawNames, std::string* out) {
    out->clear();
    for (size_t i = 0; i < path.size(); ++i) {
        std::string part = path[i];
        if (!rawNames && !cp932ToUtf8(path[i], &part)) return false;
        *out += (i > 0 ? "/" : "") + part;
    }
    return true;
}

namespace {

bool sameIgnoringAsciiCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

}  // namespace

bool samePath(const std::vector<std::string>& entryPath, const std::vector<std::string>& components,
              bool rawNames, bool ignoreCase) {
    if (entryPath.size() != components.size()) return false;
    std::string typed;
    if (!typedPath(entryPath, rawNames, &typed)) return false;
    const std::vector<std::string> parts = splitPath(typed);
    if (parts.size() != components.size()) return false;  // a '/' inside a name
    for (size_t i = 0; i < parts.size(); ++i)
        if (ignoreCase ? !sameIgnoringAsciiCase(parts[i], components[i])
                       : parts[i] != components[i])
            return false;
    return true;
}

std::unique_ptr<fs::FileSystem> diskFileSystem(const fs::Volume& volume, const Options& o) {
    const int64_t disk = volume.disk().index;
    std::string why;
    if (!o.fs.empty()) {
        fs::Kind kind = fs::Kind::kFlat;
        fs::kindByName(o.fs, &kind);  // checked on the command line
        std::unique_ptr<fs::FileSystem> chosen = fs::openAs(volume, kind, &why);
        if (chosen == nullptr)
            report(o.image,
                   format("disk %lld cannot be read as ", disk) + fs::kindTitle(kind) + ": " + why);
        return chosen;
    }
    fs::Recognition r = fs::recognise(volume);
    if (r.outcome == fs::Recognition::kRecognised) return std::move(r.chosen);
    if (r.outcome == fs::Recognition::kAmbiguous) {
        report(o.image, format("disk %lld looks like ", disk) + r.sureTitles() +
                            "; --fs NAME says which to read");
        return nullptr;
    }
    // A flat directory that is damaged (cut short, or naming sectors past the disk) is still
    // read as the flat tools read it; one whose sector is not a directory at all is not.
    const fs::Detection flat = r.bidOf(fs::Kind::kFlat);
    if (flat.confidence >= fs::kFlatUsable) return fs::openAs(volume, fs::Kind::kFlat, &why);
    const fs::Recognition::Bid& best = r.bids.front();
    if (best.detection.confidence == 0) {
        report(o.image, noDirectoryText(disk));
        return nullptr;
    }
    report(o.image, format("disk %lld holds no file system d88 recognises (nearest: ", disk) +
                        fs::kindTitle(best.kind) + ": " + best.detection.evidence +
                        "); --fs NAME reads it as one");
    return nullptr;
}

EditTarget editTarget(const uint8_t* bytes, size_t size, const Options& o, FoundFileSystem* found) {
    if (o.fs == "flat") return EditTarget::kFlat;
    if (!o.fs.empty()) return EditTarget::kFileSystem;
    auto image = std::make_unique<ImageView>(bytes, size);
    DiskInfo disk;
    if (!image->readDisk(o.disk, &disk)) return EditTarget::kFlat;  // reported as no such disk
    auto volume = std::make_unique<fs::Volume>(*image, disk);
    fs::Recognition r = fs::recognise(*volume);
    if (r.outcome == fs::Recognition::kAmbiguous) {
        report(o.image, format("disk %lld looks like ", o.disk) + r.sureTitles() +
                            "; --fs NAME says which to write");
        return EditTarget::kRefused;
    }
    if (r.outcome == fs::Recognition::kRecognised && r.chosen->kind() != fs::Kind::kFlat) {
        if (found != nullptr) {
            found->fileSystem = std::move(r.chosen);
            found->volume = std::move(volume);
            found->view = std::move(image);
            found->disk = disk;
        }
        return EditTarget::kFileSystem;
    }
    // A sector C0 H0 R3 that is there but is no directory: writing one would destroy it.
    const fs::Detection flat = r.bidOf(fs::Kind::kFlat);
    if (flat.confidence > 0 && flat.confidence < fs::kFlatUsable) {
        report(o.image, format("disk %lld: ", o.disk) + flat.evidence +
                            "; --fs flat edits it as a flat directory anyway");
        return EditTarget::kRefused;
    }
    return EditTarget::kFlat;
}

void reportTangled(int32_t track, const Options& o) {
    report(o.image, format("the track walks pass more sector headers than the file has room "
                           "for (tracks overlap); no sector from track %lld on is read",
                           track));
}

std::string writeFile(const std::string& path, const uint8_t* data, size_t size, bool force,
                      const int64_t* seconds) {
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
    // Unbuffered: the data goes out in one write, and no buffer is sized for the file.
    std::setvbuf(out, nullptr, _IONBF, 0);
    int error = 0;
    if (std::fwrite(data, 1, size, out) != size) error = errno;
    if (std::fflush(out) != 0 && error == 0) error = errno;
    // The time, where it can be set on the open file, goes with it through a rename.
    const bool timed = seconds == nullptr || (error == 0 && setOpenFileTime(out, *seconds));
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
    if (!timed) setModificationTime(path.c_str(), *seconds);
    return std::string();
}

namespace {

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

}  // namespace

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

}  // namespace d88cli
