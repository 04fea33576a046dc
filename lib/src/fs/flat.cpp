// The flat directory (d88/directory.h) behind the file-system interface, read by the same
// rules as d88extract and the flat editor (d88/scan.h).
#include <retrodisk/d88/scan.h>

#include <algorithm>

#include "chain.h"
#include "families.h"

namespace retrodisk::fs {

namespace {

using d88::Directory;
using d88::DirectoryEntry;

// True when the directory area bytes read are all one value: a directory never written.
bool blankArea(const Volume& volume) {
    uint8_t area[d88::kDirectorySize] = {};
    const int32_t got =
        volume.image().readSectors(volume.disk(), d88::kDirectoryTrack, 0, 0, d88::kDirectorySector,
                                   d88::kSizeCode, area, d88::kDirectorySize);
    return std::all_of(area, area + got, [&](uint8_t b) { return b == area[0]; });
}

class Flat : public FileSystem {
  public:
    explicit Flat(const Volume& volume) : volume_(volume) {
        d88::scanDirectory(volume.image(), volume.disk(), &directory_);
        sectors_ = d88::mapFileSectors(volume.image(), volume.disk(), &tangledFrom_);
    }
    Kind kind() const override { return Kind::kFlat; }
    std::string describe() const override {
        return "18-byte entries from C0 H0 R3, files on 8 x 1024-byte sectors per track";
    }
    std::vector<Entry> list() const override {
        std::vector<Entry> entries;
        for (size_t i = 0; i < directory_.entries.size(); ++i) {
            const DirectoryEntry& d = directory_.entries[i];
            Entry e;
            e.path = {d.name};
            e.rawName = d.name;
            e.size = d.size;
            e.firstUnit = d.start;
            e.slot = int32_t(i);
            e.own.push_back({"start", false, d.start, {}});
            entries.push_back(e);
        }
        return entries;
    }
    FileData read(const Entry& entry) const override {
        FileData out;
        if (entry.slot < 0 || size_t(entry.slot) >= directory_.entries.size()) {
            out.problem = {ProblemKind::kBadEntry, entry.path, {}, "no such entry"};
            return out;
        }
        const DirectoryEntry& d = directory_.entries[size_t(entry.slot)];
        out.bytes.resize(size_t(std::max(d.size, 0)));
        const int32_t got = d88::readFile(volume_.image(), sectors_, d, out.bytes.data());
        out.bytes.resize(size_t(got));
        out.complete = got == d.size;
        if (!out.complete)
            out.problem = {ProblemKind::kMissingSector,
                           entry.path,
                           {},
                           "only " + std::to_string(got) + " of its " + std::to_string(d.size) +
                               " bytes can be read"};
        return out;
    }
    FreeSpace freeSpace() const override {
        const std::vector<bool> free = d88::freeSectors(volume_.image(), sectors_, directory_);
        return {int64_t(std::count(free.begin(), free.end(), true)), d88::kSectorSize};
    }
    std::vector<Problem> check() const override {
        std::vector<Problem> problems;
        if (directory_.end == d88::DirectoryEnd::kShort)
            problems.push_back({ProblemKind::kNoDirectoryEnd,
                                {},
                                "directory",
                                "cut short after " + std::to_string(directory_.entries.size()) +
                                    " entries: a directory sector is missing or short"});
        std::vector<int32_t> owner(size_t(d88::kLogicalSectors), -1);
        for (const Entry& e : list()) {
            const DirectoryEntry& d = directory_.entries[size_t(e.slot)];
            if (d.size == 0) continue;
            const int32_t end = d.start + d88::sectorsFor(d.size);
            if (end > d88::kLogicalSectors) {
                problems.push_back({ProblemKind::kPastDisk,
                                    e.path,
                                    {},
                                    "its sectors run past the disk's last (" +
                                        std::to_string(d88::kLogicalSectors - 1) + ")"});
                continue;
            }
            for (int32_t l = d.start; l < end; ++l) {
                if (owner[size_t(l)] >= 0) {
                    problems.push_back({ProblemKind::kShared,
                                        e.path,
                                        {},
                                        "sector " + std::to_string(l) + " is also in " +
                                            directory_.entries[size_t(owner[size_t(l)])].name});
                    break;
                }
                owner[size_t(l)] = e.slot;
            }
            const FileData data = read(e);
            if (!data.complete) problems.push_back(data.problem);
        }
        return problems;
    }

  private:
    const Volume& volume_;
    Directory directory_;
    std::vector<d88::SectorRecord> sectors_;
    int32_t tangledFrom_ = -1;
};

}  // namespace

Detection detectFlat(const Volume& volume) {
    Directory directory;
    d88::scanDirectory(volume.image(), volume.disk(), &directory);
    Detection d;
    if (directory.bytesRead == 0) {
        d.evidence = "no 1024-byte sector C0 H0 R3 on track 0";
        return d;
    }
    if (!d88::hasFlatDirectory(directory)) {
        d.evidence = "directory at C0 H0 R3 is cut short or names sectors past the disk";
        d.confidence = kFlatUsable;
        return d;
    }
    // An empty directory is taken only where the area was never written: a sector of another
    // system's that happens to start with a zero byte is not a directory.
    if (directory.entries.empty() && !blankArea(volume)) {
        d.evidence = "C0 H0 R3 starts as an empty directory, but its bytes are not blank";
        d.confidence = 20;
        return d;
    }
    d.confidence = kSure;
    d.evidence = directory.entries.empty()
                     ? std::string("directory at C0 H0 R3: no entries, its area blank")
                     : "directory at C0 H0 R3: " + std::to_string(directory.entries.size()) +
                           (directory.entries.size() == 1 ? " entry" : " entries") +
                           ", every one on the disk";
    return d;
}

std::unique_ptr<FileSystem> openFlat(const Volume& volume, std::string* why) {
    Directory directory;
    d88::scanDirectory(volume.image(), volume.disk(), &directory);
    if (directory.bytesRead == 0) {
        *why = "no 1024-byte sector C0 H0 R3 on track 0";
        return nullptr;
    }
    return std::make_unique<Flat>(volume);
}

// The flat directory's one disk: 77 x 2 x 8 x 1024, media 2HD, every byte 0 (d88/editor.h's
// blankImage is the same disk).
std::vector<std::string> formatTypesFlat() {
    return {"2hd"};
}

bool formatFlat(const std::string& /*type*/, const std::string& /*label*/, BlankDisk* disk,
                std::string* /*why*/) {
    disk->media = 0x20;
    disk->tracks.assign(size_t(d88::kLogicalSectors / d88::kSectorsPerTrack), {});
    for (size_t t = 0; t < disk->tracks.size(); ++t)
        for (int32_t r = d88::kFirstSector; r <= d88::kLastSector; ++r) {
            BlankSector s;
            s.c = uint8_t(t >> 1);
            s.h = uint8_t(t & 1);
            s.r = uint8_t(r);
            s.n = uint8_t(d88::kSizeCode);
            s.data.assign(size_t(d88::kSectorSize), 0);
            disk->tracks[t].push_back(s);
        }
    return true;
}

}  // namespace retrodisk::fs
