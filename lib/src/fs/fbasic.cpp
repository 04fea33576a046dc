// F-BASIC disks: 2D (40 x 2 x 16 x 256, 8-sector clusters) and 2DD (80 x 2 x 16 x 256,
// 16-sector clusters). Track 0 holds the ID sector, cylinder 1 the FAT and the directory, and
// the data clusters start at cylinder 2. docs/formats.md has the byte tables.
#include <algorithm>
#include <array>
#include <cstring>

#include "chain.h"
#include "families.h"

namespace retrodisk::fs {

namespace {

constexpr int32_t kSectorSize = 256;
constexpr int32_t kSectorsPerTrack = 16;
constexpr int32_t kHeads = 2;
constexpr int32_t kClusters = 152;  // the FAT's entries, 2D and 2DD alike

// Logical sectors (16 per track, both heads of a cylinder in turn, R from 1).
// ID sector: C0 H0 R3, byte 0 'S' on a 2D disk, 'E' on a 2DD disk.
constexpr int64_t kIdSector = 2;
constexpr char kId2D = 'S';
constexpr char kId2DD = 'E';
// FAT: C1 H0 R1. Byte 0 is 0x00 (0xE5 on a real blank disk), bytes 1-4 0xFF, the entry of
// cluster c at byte 5 + c.
constexpr int64_t kFatSector = 32;
constexpr int32_t kFatMarkStart = 1;
constexpr int32_t kFatMarkEnd = 5;
constexpr int32_t kFatEntries = 5;
// Directory: C1 H0 R4-16 then C1 H1 R1-16, 29 sectors of eight 32-byte entries.
constexpr int64_t kDirectoryFirst = 35;
constexpr int64_t kDirectorySectors = 29;
constexpr int32_t kEntrySize = 32;
constexpr int32_t kEntriesPerSector = kSectorSize / kEntrySize;
// Cluster 0 is C2 H0 R1.
constexpr int64_t kDataFirst = 64;

// Directory entry, 32 bytes: +0 name (8, space padded; 0x00 deleted, 0xFF end of directory)
// +8 three zero bytes  +11 type (0 BASIC, 1 data, 2 machine)  +12 0xFF ASCII / 0x00 binary
// +13 0xFF random access / 0x00 sequential  +14 first cluster  +15 seventeen 0xFF bytes.
constexpr int32_t kNameSize = 8;
constexpr int32_t kTypeOffset = 11;
constexpr int32_t kAsciiOffset = 12;
constexpr int32_t kRandomOffset = 13;
constexpr int32_t kStartOffset = 14;
constexpr uint8_t kDeleted = 0x00;
constexpr uint8_t kEnd = 0xFF;
constexpr uint8_t kFlagSet = 0xFF;
constexpr uint8_t kTypeBasic = 0, kTypeData = 1, kTypeMachine = 2;

// FAT values: 0xFF free, 0xFE reserved, 0xC0 + n - 1 the last cluster with n sectors used
// (n up to the sectors of a cluster), any other value the next cluster.
constexpr uint8_t kFree = 0xFF;
constexpr uint8_t kReserved = 0xFE;
constexpr uint8_t kLastBase = 0xC0;

// Machine file: header +0 0x00  +1 length (u16 BE)  +3 load (u16 BE), `length` bytes, then
// trailer +0 0xFF  +1 0x00 0x00  +3 exec (u16 BE).
constexpr int32_t kMachineHeaderSize = 5;
constexpr int32_t kMachineTrailerSize = 5;

// The two layouts; which one a disk has comes from its number of cylinders.
struct Variant {
    const char* name;
    int32_t cylinders;
    int32_t clusterSectors;
    char id;
};
constexpr Variant k2D = {"2D", 40, 8, kId2D};
constexpr Variant k2DD = {"2DD", 80, 16, kId2DD};

// A geometry the layouts fit: 2 heads of 16 x 256-byte sectors, cylinders near 40 or 80 (a
// few more or fewer tracks than nominal are common in images).
const Variant* variantOf(const Shape& shape) {
    if (shape.heads != kHeads || shape.sectorsPerTrack != kSectorsPerTrack ||
        shape.sectorSize != kSectorSize)
        return nullptr;
    if (shape.cylinders >= 36 && shape.cylinders <= 44) return &k2D;
    if (shape.cylinders >= 76 && shape.cylinders <= 84) return &k2DD;
    return nullptr;
}

Layout layoutOf(const Variant& v) {
    Layout layout;
    layout.cylinders = v.cylinders;
    layout.heads = kHeads;
    layout.sectorsPerTrack = kSectorsPerTrack;
    layout.sectorSize = kSectorSize;
    layout.firstSector = 1;
    return layout;
}

// The meaning of FAT value `v` for clusters of `clusterSectors` sectors.
Unit unitOf(uint8_t v, int32_t clusterSectors) {
    Unit u;
    if (v == kFree) {
        u.state = Unit::kFree;
    } else if (v == kReserved) {
        u.state = Unit::kReserved;
    } else if (v >= kLastBase && v < kLastBase + clusterSectors) {
        u.state = Unit::kLast;
        u.used = v - kLastBase + 1;
    } else {
        u.state = Unit::kNext;  // 0x98 and up names a cluster past the last: the walk says so
        u.next = v;
    }
    return u;
}

bool validValue(uint8_t v, int32_t clusterSectors) {
    const Unit u = unitOf(v, clusterSectors);
    return u.state != Unit::kNext || u.next < kClusters;
}

std::string hexByte(uint8_t b) {
    const char* digits = "0123456789ABCDEF";
    return {digits[b >> 4], digits[b & 15]};
}

std::string idText(uint8_t b) {
    if (b >= 0x20 && b < 0x7F) return std::string("'") + char(b) + "'";
    return hexByte(b);
}

// The on-disk entry of one live directory slot.
struct Slot {
    std::array<uint8_t, kEntrySize> bytes{};
    bool live = false;
};

class FBasic : public FileSystem {
  public:
    FBasic(const Volume& volume, const Variant& variant)
        : volume_(volume), variant_(variant), layout_(layoutOf(variant)) {
        fatStatus_ = volume.readLogical(layout_, kFatSector, fat_.data());
        readDirectory();
    }

    Kind kind() const override { return Kind::kFBasic; }

    std::string describe() const override {
        return std::string(variant_.name) + ": " + std::to_string(variant_.cylinders) +
               " x 2 x 16 x 256-byte sectors, " + std::to_string(kClusters) + " clusters of " +
               std::to_string(variant_.clusterSectors) +
               " sectors from C2 H0 R1, FAT at C1 H0 R1, 232 directory slots from C1 H0 R4";
    }

    std::vector<Entry> list() const override {
        std::vector<Entry> entries;
        for (size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i].live) entries.push_back(entryOf(int32_t(i)));
        return entries;
    }

    FileData read(const Entry& entry) const override {
        FileData out;
        if (entry.slot < 0 || size_t(entry.slot) >= slots_.size() ||
            !slots_[size_t(entry.slot)].live) {
            out.problem = {ProblemKind::kBadEntry, entry.path, {}, "no such entry"};
            return out;
        }
        const Slot& s = slots_[size_t(entry.slot)];
        const std::vector<std::string> path = {pathOf(s)};
        const Chain chain = chainOf(s);
        const int64_t sectors = sectorsOf(chain);
        out.bytes.resize(size_t(sectors * kSectorSize));
        for (int64_t k = 0; k < sectors; ++k) {
            int64_t logical = 0;
            if (!sectorOf(chain, k, &logical) ||
                volume_.readLogical(layout_, logical, out.bytes.data() + k * kSectorSize) !=
                    SectorStatus::kOk) {
                out.bytes.resize(size_t(k * kSectorSize));
                out.problem = {ProblemKind::kMissingSector, path, {}, missingText(logical)};
                return out;
            }
        }
        if (!chain.complete) {
            out.problem = chainProblem(s, chain, path);
            return out;
        }
        out.complete = true;
        return out;
    }

    FreeSpace freeSpace() const override {
        FreeSpace f;
        f.unitBytes = int64_t(variant_.clusterSectors) * kSectorSize;
        for (int32_t c = 0; c < kClusters; ++c)
            if (fat_[size_t(kFatEntries + c)] == kFree) ++f.units;
        return f;
    }

    std::vector<Problem> check() const override {
        std::vector<Problem> problems;
        if (fatStatus_ != SectorStatus::kOk)
            problems.push_back({ProblemKind::kMissingSector,
                                {},
                                "FAT",
                                "the FAT sector C1 H0 R1 is missing or short"});
        for (const int64_t logical : missingDirectory_)
            problems.push_back({ProblemKind::kMissingSector,
                                {},
                                "directory",
                                missingText(logical) + ": its 8 slots are not read"});
        // The chains first, all of them: checkChains keeps pointers into the vector.
        std::vector<std::vector<std::string>> paths;
        std::vector<const Slot*> slots;
        std::vector<Chain> chains;
        for (const Slot& s : slots_) {
            if (!s.live) continue;
            paths.push_back({pathOf(s)});
            slots.push_back(&s);
            chains.push_back(chainOf(s));
        }
        std::vector<ChainOwner> owners;
        for (size_t i = 0; i < chains.size(); ++i) {
            const Chain& chain = chains[i];
            owners.push_back({paths[i], &chain});
            if (!chain.complete) problems.push_back(chainProblem(*slots[i], chain, paths[i]));
            // Every sector the chain covers must be there, whole.
            const int64_t sectors = sectorsOf(chain);
            for (int64_t k = 0; k < sectors; ++k) {
                int64_t logical = 0;
                int32_t c = 0, h = 0, r = 0;
                bool whole = sectorOf(chain, k, &logical);
                if (whole) {
                    Volume::locate(layout_, logical, &c, &h, &r);
                    whole = volume_.find(c, h, r).present >= kSectorSize;
                }
                if (!whole) {
                    problems.push_back(
                        {ProblemKind::kMissingSector, paths[i], {}, missingText(logical)});
                    break;
                }
            }
        }
        checkChains(owners, kClusters, table(), &problems);
        return problems;
    }

  private:
    void readDirectory() {
        slots_.resize(size_t(kDirectorySectors * kEntriesPerSector));
        std::array<uint8_t, kSectorSize> sector{};
        for (int64_t k = 0; k < kDirectorySectors; ++k) {
            // A missing sector's slots stay empty and the read goes on: the slots after the
            // end of a directory are never written (0xFF), so what follows is still live.
            if (volume_.readLogical(layout_, kDirectoryFirst + k, sector.data()) !=
                SectorStatus::kOk) {
                missingDirectory_.push_back(kDirectoryFirst + k);
                continue;
            }
            for (int32_t e = 0; e < kEntriesPerSector; ++e) {
                Slot& s = slots_[size_t(k * kEntriesPerSector + e)];
                std::memcpy(s.bytes.data(), sector.data() + e * kEntrySize, kEntrySize);
                if (s.bytes[0] == kEnd) return;
                s.live = s.bytes[0] != kDeleted;
            }
        }
    }

    std::function<Unit(int64_t)> table() const {
        return [this](int64_t c) {
            return unitOf(fat_[size_t(kFatEntries + c)], variant_.clusterSectors);
        };
    }

    Chain chainOf(const Slot& s) const {
        return followChain(s.bytes[size_t(kStartOffset)], kClusters, table());
    }

    // Why a chain ends early: an entry whose first cluster is past the last is a bad entry,
    // anything else the chain's own fault.
    static Problem chainProblem(const Slot& s, const Chain& chain,
                                const std::vector<std::string>& path) {
        const uint8_t start = s.bytes[size_t(kStartOffset)];
        if (start >= kClusters)
            return {ProblemKind::kBadEntry,
                    path,
                    {},
                    "its first cluster " + std::to_string(start) + " is past the last (" +
                        std::to_string(kClusters - 1) + ")"};
        return {chain.fault, path, {}, chain.detail};
    }

    static std::string pathOf(const Slot& s) {
        return trimRight(std::string(s.bytes.begin(), s.bytes.begin() + kNameSize));
    }

    // The sectors a chain covers: whole clusters, the last one as far as its FAT value says.
    // A chain cut short covers the whole of each cluster it reached.
    int64_t sectorsOf(const Chain& chain) const {
        if (chain.units.empty()) return 0;
        const int64_t full = int64_t(chain.units.size()) * variant_.clusterSectors;
        return chain.complete ? full - variant_.clusterSectors + chain.lastUsed : full;
    }

    // The logical sector of the chain's k-th sector; false when it lies past the layout.
    bool sectorOf(const Chain& chain, int64_t k, int64_t* logical) const {
        const int64_t cluster = chain.units[size_t(k / variant_.clusterSectors)];
        *logical = kDataFirst + cluster * variant_.clusterSectors + k % variant_.clusterSectors;
        return *logical < layout_.sectors();
    }

    std::string missingText(int64_t logical) const {
        int32_t c = 0, h = 0, r = 0;
        Volume::locate(layout_, logical, &c, &h, &r);
        return "sector C" + std::to_string(c) + " H" + std::to_string(h) + " R" +
               std::to_string(r) + " is missing or short";
    }

    // Bytes [offset, offset + length) of the file on `chain`; false when any is not there.
    bool readAt(const Chain& chain, int64_t offset, int32_t length, uint8_t* out) const {
        const int64_t sectors = sectorsOf(chain);
        std::array<uint8_t, kSectorSize> sector{};
        int64_t loaded = -1;
        for (int32_t i = 0; i < length; ++i) {
            const int64_t k = (offset + i) / kSectorSize;
            if (k >= sectors) return false;
            if (k != loaded) {
                int64_t logical = 0;
                if (!sectorOf(chain, k, &logical) ||
                    volume_.readLogical(layout_, logical, sector.data()) != SectorStatus::kOk)
                    return false;
                loaded = k;
            }
            out[i] = sector[size_t((offset + i) % kSectorSize)];
        }
        return true;
    }

    // A machine file's load and exec addresses and payload length, from its header and the
    // trailer `length` bytes after it. Either both make sense or the entry gets neither.
    void machineAddresses(const Chain& chain, Entry* e) const {
        uint8_t header[kMachineHeaderSize];
        uint8_t trailer[kMachineTrailerSize];
        if (!readAt(chain, 0, kMachineHeaderSize, header) || header[0] != 0x00) return;
        const uint32_t length = uint32_t(header[1] << 8 | header[2]);
        if (!readAt(chain, kMachineHeaderSize + int64_t(length), kMachineTrailerSize, trailer) ||
            trailer[0] != 0xFF || trailer[1] != 0x00 || trailer[2] != 0x00)
            return;
        e->hasLoad = e->hasExec = true;
        e->load = uint32_t(header[3] << 8 | header[4]);
        e->exec = uint32_t(trailer[3] << 8 | trailer[4]);
        e->own.push_back({"payload_length", false, int64_t(length), {}});
    }

    Entry entryOf(int32_t slot) const {
        const Slot& s = slots_[size_t(slot)];
        const uint8_t type = s.bytes[size_t(kTypeOffset)];
        const bool ascii = s.bytes[size_t(kAsciiOffset)] == kFlagSet;
        const bool random = s.bytes[size_t(kRandomOffset)] == kFlagSet;
        Entry e;
        e.path = {pathOf(s)};
        e.rawName.assign(s.bytes.begin(), s.bytes.begin() + kNameSize);
        // A sequential ASCII program or data file is text ending at 0x1A: "ascii". Random
        // access records and binary files keep the type their byte names.
        if (ascii && !random && (type == kTypeBasic || type == kTypeData))
            e.type = "ascii";
        else if (type == kTypeBasic)
            e.type = "basic";
        else if (type == kTypeData)
            e.type = "data";
        else if (type == kTypeMachine)
            e.type = "machine";
        else
            e.type = "binary";
        // Bytes 11-13 as one number; letters A (ASCII) or B (binary), then R (random access)
        // or S (sequential).
        e.attributes = uint32_t(type) << 16 | uint32_t(s.bytes[size_t(kAsciiOffset)]) << 8 |
                       s.bytes[size_t(kRandomOffset)];
        e.attributeText = std::string(ascii ? "A" : "B") + (random ? "R" : "S");
        e.firstUnit = s.bytes[size_t(kStartOffset)];
        e.slot = slot;
        const Chain chain = chainOf(s);
        e.size = sectorsOf(chain) * kSectorSize;
        e.own.push_back({"file_type", false, type, {}});
        e.own.push_back({"ascii", false, ascii ? 1 : 0, {}});
        e.own.push_back({"random_access", false, random ? 1 : 0, {}});
        if (type == kTypeMachine && !ascii) machineAddresses(chain, &e);
        return e;
    }

    const Volume& volume_;
    const Variant& variant_;
    Layout layout_;
    std::array<uint8_t, kSectorSize> fat_{};
    SectorStatus fatStatus_ = SectorStatus::kOk;
    std::vector<Slot> slots_;
    std::vector<int64_t> missingDirectory_;  // directory sectors missing or short
};

}  // namespace

Detection detectFBasic(const Volume& volume) {
    Detection d;
    const Shape& shape = volume.shape();
    const Variant* v = variantOf(shape);
    const std::string geometry =
        std::to_string(shape.cylinders) + " x " + std::to_string(shape.heads) + " x " +
        std::to_string(shape.sectorsPerTrack) + " x " + std::to_string(shape.sectorSize);
    if (v == nullptr) {
        d.evidence = "geometry " + geometry +
                     " is neither 2D (40 x 2 x 16 x 256) nor 2DD (80 x 2 x 16 x 256)";
        return d;
    }
    const Layout layout = layoutOf(*v);
    std::array<uint8_t, kSectorSize> id{}, fat{};
    if (volume.readLogical(layout, kIdSector, id.data()) != SectorStatus::kOk) {
        d.evidence = "no 256-byte ID sector C0 H0 R3";
        return d;
    }
    if (volume.readLogical(layout, kFatSector, fat.data()) != SectorStatus::kOk) {
        d.evidence = "no 256-byte FAT sector C1 H0 R1";
        return d;
    }
    const bool idOk = id[0] == uint8_t(v->id);
    const bool markOk = std::all_of(fat.begin() + kFatMarkStart, fat.begin() + kFatMarkEnd,
                                    [](uint8_t b) { return b == 0xFF; });
    int32_t valid = 0;
    for (int32_t c = 0; c < kClusters; ++c)
        if (validValue(fat[size_t(kFatEntries + c)], v->clusterSectors)) ++valid;
    d.evidence = "ID sector C0 H0 R3 " + idText(id[0]) + "; FAT at C1 H0 R1: bytes 1-4 " +
                 (markOk ? std::string("FF") : "not all FF") + ", " + std::to_string(valid) +
                 " of " + std::to_string(kClusters) + " entries valid; " + v->name + " " + geometry;
    if (!idOk || !markOk) {
        // One marker alone is a coincidence as often as not; the FAT's share still counts.
        d.confidence = (idOk || markOk ? 30 : 0) + 20 * valid / kClusters;
        if (!idOk)
            d.evidence +=
                " (a " + std::string(v->name) + " disk has " + idText(uint8_t(v->id)) + ")";
        return d;
    }
    // Both markers: sure when at least 95% of the entries are values the FAT can hold.
    if (valid == kClusters)
        d.confidence = 98;
    else if (valid * 100 >= kClusters * 95)
        d.confidence = kSure;
    else
        d.confidence = 40 + 40 * valid / kClusters;
    return d;
}

std::unique_ptr<FileSystem> openFBasic(const Volume& volume, std::string* why) {
    const Variant* v = variantOf(volume.shape());
    if (v == nullptr) {
        // The user's choice on a disk whose geometry is off: the ID byte says which layout.
        std::array<uint8_t, kSectorSize> id{};
        const SectorStatus s = volume.read(0, 0, 3, id.data(), kSectorSize);
        v = s == SectorStatus::kOk && id[0] == uint8_t(kId2DD) ? &k2DD : &k2D;
    }
    std::array<uint8_t, kSectorSize> fat{};
    if (volume.readLogical(layoutOf(*v), kFatSector, fat.data()) == SectorStatus::kMissing) {
        *why = "no FAT sector C1 H0 R1";
        return nullptr;
    }
    return std::make_unique<FBasic>(volume, *v);
}

// Blank disks: none yet.
std::vector<std::string> formatTypesFBasic() {
    return {};
}

bool formatFBasic(const std::string& /*type*/, const std::string& /*label*/, BlankDisk* /*disk*/,
                  std::string* why) {
    *why = "blank disks of this file system cannot be made yet";
    return false;
}

}  // namespace retrodisk::fs
