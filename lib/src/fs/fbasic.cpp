// F-BASIC disks: 2D (40 x 2 x 16 x 256, 8-sector clusters) and 2DD (80 x 2 x 16 x 256,
// 16-sector clusters). Track 0 holds the ID sector, cylinder 1 the FAT and the directory, and
// the data clusters start at cylinder 2. docs/formats.md has the byte tables.
#include <algorithm>
#include <array>
#include <cstddef>
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
constexpr uint32_t kMachineMax = 0xFFFF;  // the length and the addresses are 16-bit
// An ASCII file's text ends at this byte.
constexpr uint8_t kEndOfText = 0x1A;

// A machine file's header and trailer fields.
struct Machine {
    uint32_t length = 0, load = 0, exec = 0;
};

// Reads a machine file's header and the trailer `length` bytes after it through
// readAt(offset, count, out) (false: those bytes are not in the file). True when both are
// there and sound: header byte 0 0x00, trailer bytes 0xFF 0x00 0x00.
template <class ReadAt>
bool machineFields(ReadAt&& readAt, Machine* m) {
    uint8_t header[kMachineHeaderSize];
    uint8_t trailer[kMachineTrailerSize];
    if (!readAt(0, kMachineHeaderSize, header) || header[0] != 0x00) return false;
    m->length = uint32_t(header[1] << 8 | header[2]);
    if (!readAt(kMachineHeaderSize + int64_t(m->length), kMachineTrailerSize, trailer) ||
        trailer[0] != 0xFF || trailer[1] != 0x00 || trailer[2] != 0x00)
        return false;
    m->load = uint32_t(header[3] << 8 | header[4]);
    m->exec = uint32_t(trailer[3] << 8 | trailer[4]);
    return true;
}

// The type an entry's bytes 11-13 make: a sequential ASCII program or data file is text
// ending at 0x1A, "ascii"; random access records and binary files keep the type their byte
// names; a type byte the machine does not write is "binary".
std::string typeName(uint8_t type, bool ascii, bool random) {
    if (ascii && !random && (type == kTypeBasic || type == kTypeData)) return "ascii";
    if (type == kTypeBasic) return "basic";
    if (type == kTypeData) return "data";
    if (type == kTypeMachine) return "machine";
    return "binary";
}

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

class FBasicEditor;

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
            if (fat_[size_t(kFatEntries) + size_t(c)] == kFree) ++f.units;
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
                int32_t c = 0;
                int32_t h = 0;
                int32_t r = 0;
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

    std::unique_ptr<Editor> editor() const override;

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
                std::memcpy(s.bytes.data(), sector.data() + std::ptrdiff_t(e) * kEntrySize,
                            kEntrySize);
                if (s.bytes[0] == kEnd) {
                    end_ = int32_t(k * kEntriesPerSector + e);
                    return;
                }
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
        int32_t c = 0;
        int32_t h = 0;
        int32_t r = 0;
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
        Machine m;
        const auto at = [&](int64_t offset, int32_t length, uint8_t* out) {
            return readAt(chain, offset, length, out);
        };
        if (!machineFields(at, &m)) return;
        e->hasLoad = e->hasExec = true;
        e->load = m.load;
        e->exec = m.exec;
        e->own.push_back({"payload_length", false, int64_t(m.length), {}});
    }

    Entry entryOf(int32_t slot) const {
        const Slot& s = slots_[size_t(slot)];
        const uint8_t type = s.bytes[size_t(kTypeOffset)];
        const bool ascii = s.bytes[size_t(kAsciiOffset)] == kFlagSet;
        const bool random = s.bytes[size_t(kRandomOffset)] == kFlagSet;
        Entry e;
        e.path = {pathOf(s)};
        e.rawName.assign(s.bytes.begin(), s.bytes.begin() + kNameSize);
        e.type = typeName(type, ascii, random);
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
    int32_t end_ = -1;                       // the slot that ends the directory; -1: none

    friend class FBasicEditor;  // plans changes on this view of the disk
};

// --- the write side ------------------------------------------------------------------------

// Bytes 11-13 of an entry: file type, ASCII flag, random-access flag.
struct TypeBytes {
    uint8_t type = kTypeBasic, ascii = 0x00, random = 0x00;
};

// The type words put takes and the bytes a new entry of that type gets. A text file is an
// ASCII BASIC program, as the real disk's DEMO2019 is; the others are binary and sequential.
struct TypeWord {
    const char* word;
    TypeBytes bytes;
};
constexpr TypeWord kTypeWords[] = {
    {"basic", {kTypeBasic, 0x00, 0x00}},
    {"data", {kTypeData, 0x00, 0x00}},
    {"machine", {kTypeMachine, 0x00, 0x00}},
    {"ascii", {kTypeBasic, kFlagSet, 0x00}},
};

// A new file's type from the extension of its name (after its last '.', any case). F-BASIC
// names have no extension of their own; a '.' is just one of the 8 bytes.
struct ExtensionType {
    const char* extension;
    const char* type;
};
constexpr ExtensionType kExtensionTypes[] = {
    {"BAS", "basic"},   {"ASC", "ascii"},   {"TXT", "ascii"},   {"DAT", "data"},
    {"BIN", "machine"}, {"COD", "machine"}, {"COM", "machine"}, {"EXE", "machine"},
};

// Why `name` cannot name an F-BASIC file; empty when it can. The 8 bytes are stored as given
// (lower case too, as BASIC keeps what is typed), padded with spaces.
std::string nameProblem(const std::string& name) {
    if (name.empty()) return "the name is empty";
    if (name.size() > size_t(kNameSize))
        return "the name is " + std::to_string(name.size()) + " bytes; an F-BASIC name holds 8";
    if (uint8_t(name[0]) == kEnd)
        return "a name cannot start with byte 0xFF, which ends the directory";
    // A trailing space would be taken for the padding: the file would come back without it.
    if (name.back() == ' ') return "the name ends in a space, which the padding would drop";
    for (const char ch : name) {
        const uint8_t b = uint8_t(ch);
        if (b < 0x20 || b == 0x7F) return "the name holds the control byte 0x" + hexByte(b);
        // BASIC's file descriptors quote a name and put a drive before a ':'.
        if (b == '"' || b == ':')
            return std::string("the name holds '") + ch + "', which BASIC cannot name a file with";
    }
    return {};
}

// The type of a new file put without one: its extension's, else "machine" when the bytes
// are a sound machine file (header and trailer, as get writes one), else "basic".
std::string defaultType(const std::string& name, const std::vector<uint8_t>& data) {
    const size_t dot = name.rfind('.');  // never a Shift_JIS trail byte (0x40 and up)
    if (dot != std::string::npos) {
        std::string extension = name.substr(dot + 1);
        for (char& ch : extension)
            if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
        for (const ExtensionType& e : kExtensionTypes)
            if (extension == e.extension) return e.type;
    }
    Machine m;
    const auto at = [&](int64_t offset, int32_t length, uint8_t* out) {
        if (offset + length > int64_t(data.size())) return false;
        std::memcpy(out, data.data() + offset, size_t(length));
        return true;
    };
    return machineFields(at, &m) ? "machine" : "basic";
}

// Plans puts and removes on an F-BASIC disk as the FBasic it was made from reads it.
class FBasicEditor : public Editor {
  public:
    explicit FBasicEditor(const FBasic& fs) : fs_(fs) {}

    Plan put(const PutRequest& request) const override {
        Plan plan;
        plan.path = request.path;
        const auto refuse = [&plan](EditError error, std::string detail) {
            plan.error = error;
            plan.detail = std::move(detail);
            plan.writes.clear();  // a refusal writes nothing
            return plan;
        };
        if (request.path.size() != 1)
            return refuse(EditError::kNoSuchDirectory, "an F-BASIC disk has no directories");
        const std::string& name = request.path[0];
        const std::string bad = nameProblem(name);
        if (!bad.empty()) return refuse(EditError::kBadName, bad);
        if (fs_.fatStatus_ != SectorStatus::kOk)
            return refuse(EditError::kDamaged, "the FAT sector C1 H0 R1 cannot be read");
        const int32_t slot = findSlot(name);
        const Slot* old = slot >= 0 ? &fs_.slots_[size_t(slot)] : nullptr;
        TypeBytes tb;
        std::vector<uint8_t> bytes;
        if (!typeOfPut(request, old, &tb, &plan) || !bytesOfPut(request, slot, tb, &bytes, &plan))
            return plan;

        // Whole sectors, at least one: an entry always names a first cluster.
        const int32_t spc = fs_.variant_.clusterSectors;
        const int64_t sectors =
            std::max<int64_t>(1, (int64_t(bytes.size()) + kSectorSize - 1) / kSectorSize);
        const int64_t clusters = (sectors + spc - 1) / spc;
        if (clusters > kClusters)
            return refuse(EditError::kTooLarge,
                          "the file needs " + std::to_string(clusters) + " clusters of " +
                              std::to_string(spc * kSectorSize) + " bytes; a " + fs_.variant_.name +
                              " disk has " + std::to_string(kClusters));

        // The units: the old chain's own clusters first, as far as they suffice, then the
        // lowest free ones; what the old chain holds past the new end is freed.
        std::vector<uint8_t> fat(fs_.fat_.begin(), fs_.fat_.end());
        std::vector<int64_t> kept = ownUnits(slot);
        std::vector<int64_t> units(
            kept.begin(), kept.begin() + std::min<std::ptrdiff_t>(std::ptrdiff_t(kept.size()),
                                                                  std::ptrdiff_t(clusters)));
        std::vector<int64_t> freed(kept.begin() + std::ptrdiff_t(units.size()), kept.end());
        std::vector<int64_t> free;
        for (int32_t c = 0; c < kClusters; ++c)
            if (fat[size_t(kFatEntries) + size_t(c)] == kFree) free.push_back(c);
        const size_t need = size_t(clusters) - units.size();
        if (need > free.size())
            return refuse(EditError::kDiskFull,
                          "the file needs " + std::to_string(clusters) + " clusters of " +
                              std::to_string(spc * kSectorSize) + " bytes; " +
                              std::to_string(free.size()) + " are free" +
                              (kept.empty() ? std::string()
                                            : " besides the " + std::to_string(kept.size()) +
                                                  " the file holds"));
        units.insert(units.end(), free.begin(), free.begin() + std::ptrdiff_t(need));

        for (const int64_t u : freed)
            fat[size_t(kFatEntries + u)] = kFree;
        const int64_t lastUsed = sectors - (clusters - 1) * spc;
        for (size_t i = 0; i < units.size(); ++i)
            fat[size_t(kFatEntries + units[i])] =
                i + 1 < units.size() ? uint8_t(units[i + 1]) : uint8_t(kLastBase + lastUsed - 1);

        // The file's sectors, its last one padded with zeros (as the real disk's files are).
        for (int64_t k = 0; k < sectors; ++k) {
            const int64_t logical = kDataFirst + units[size_t(k / spc)] * spc + k % spc;
            std::vector<uint8_t> data(size_t(kSectorSize), 0x00);
            const size_t from = size_t(k * kSectorSize);
            if (from < bytes.size())
                std::copy(bytes.begin() + std::ptrdiff_t(from),
                          bytes.begin() +
                              std::ptrdiff_t(std::min(bytes.size(), from + size_t(kSectorSize))),
                          data.begin());
            if (!addWrite(logical, std::move(data), &plan))
                return refuse(EditError::kDamaged, fs_.missingText(logical) + ": cluster " +
                                                       std::to_string(units[size_t(k / spc)]) +
                                                       " cannot be written");
        }

        // The entry: a replaced one keeps its other bytes.
        std::array<uint8_t, kEntrySize> entry{};
        int32_t at = slot;
        bool markEnd = false;
        if (old != nullptr) {
            entry = old->bytes;
        } else {
            at = freeSlot(&markEnd);
            if (at < 0)
                return refuse(
                    EditError::kDirectoryFull,
                    "the directory's " + std::to_string(fs_.slots_.size()) + " slots are taken");
            std::fill(entry.begin(), entry.end(), kEnd);
            std::fill(entry.begin(), entry.begin() + kTypeOffset, uint8_t(0));
            std::fill(std::copy(name.begin(), name.end(), entry.begin()), entry.begin() + kNameSize,
                      uint8_t(' '));
        }
        entry[size_t(kTypeOffset)] = tb.type;
        entry[size_t(kAsciiOffset)] = tb.ascii;
        entry[size_t(kRandomOffset)] = tb.random;
        entry[size_t(kStartOffset)] = uint8_t(units[0]);
        if (!writeEntry(at, entry, markEnd, &plan))
            return refuse(EditError::kDamaged, "the directory sector of slot " +
                                                   std::to_string(at) + " cannot be written");
        if (!addFat(fat, &plan))
            return refuse(EditError::kDamaged, "the FAT sector C1 H0 R1 cannot be written");

        plan.action = old != nullptr ? Plan::kReplaced : Plan::kAdded;
        plan.path = {name};
        plan.slot = at;
        plan.units = units;
        plan.freed = freed;
        return plan;
    }

    Plan remove(const std::vector<std::string>& path) const override {
        Plan plan;
        plan.path = path;
        plan.action = Plan::kRemoved;
        const int32_t slot = path.size() == 1 ? findSlot(path[0]) : -1;
        if (slot < 0) {
            plan.error = EditError::kNoSuchFile;
            plan.detail = "no file " + joinPath(path);
            return plan;
        }
        if (fs_.fatStatus_ != SectorStatus::kOk) {
            plan.error = EditError::kDamaged;
            plan.detail = "the FAT sector C1 H0 R1 cannot be read";
            return plan;
        }
        // BASIC's KILL: byte 0 becomes 0x00 and the file's clusters free.
        std::array<uint8_t, kEntrySize> entry = fs_.slots_[size_t(slot)].bytes;
        entry[0] = kDeleted;
        std::vector<uint8_t> fat(fs_.fat_.begin(), fs_.fat_.end());
        plan.freed = ownUnits(slot);
        for (const int64_t u : plan.freed)
            fat[size_t(kFatEntries + u)] = kFree;
        if (!writeEntry(slot, entry, false, &plan) || !addFat(fat, &plan)) {
            plan.error = EditError::kDamaged;
            plan.detail = "the directory sector of slot " + std::to_string(slot) +
                          " or the FAT sector cannot be written";
            plan.writes.clear();
            return plan;
        }
        plan.slot = slot;
        return plan;
    }

  private:
    static bool refused(Plan* plan, EditError error, std::string detail) {
        plan->error = error;
        plan->detail = std::move(detail);
        return false;
    }

    // Bytes 11-13 of the entry a put makes: addresses make a machine file; a replaced entry
    // keeps its own when the request names no type or the one the entry already has; else
    // the type named, or the name's default. False with the refusal in *plan.
    static bool typeOfPut(const PutRequest& request, const Slot* old, TypeBytes* tb, Plan* plan) {
        const bool addresses = request.hasLoad || request.hasExec;
        std::string type = request.type.empty() && addresses ? "machine" : request.type;
        if (old != nullptr && (type.empty() || type == typeOf(*old))) {
            *tb = {old->bytes[size_t(kTypeOffset)], old->bytes[size_t(kAsciiOffset)],
                   old->bytes[size_t(kRandomOffset)]};
            return true;
        }
        if (type.empty()) type = defaultType(request.path.back(), request.data);
        for (const TypeWord& w : kTypeWords)
            if (type == w.word) {
                *tb = w.bytes;
                return true;
            }
        return refused(plan, EditError::kBadType,
                       "an F-BASIC file is basic, data, machine or ascii, not " + type);
    }

    // The bytes a put stores: a raw payload wrapped in the machine header and trailer when
    // the request has addresses, and an ASCII text's 0x1A. False with the refusal in *plan.
    bool bytesOfPut(const PutRequest& request, int32_t slot, const TypeBytes& tb,
                    std::vector<uint8_t>* bytes, Plan* plan) const {
        *bytes = request.data;
        if (request.hasLoad || request.hasExec) {
            if (tb.type != kTypeMachine || tb.ascii == kFlagSet)
                return refused(plan, EditError::kBadAddress,
                               "only a binary machine file keeps load and exec addresses");
            // An address the request leaves out: the replaced file's own, else the other one.
            Entry was;
            if (slot >= 0) was = fs_.entryOf(slot);
            const uint32_t load = request.hasLoad ? request.load
                                  : was.hasLoad   ? was.load
                                                  : request.exec;
            const uint32_t exec = request.hasExec ? request.exec
                                  : was.hasExec   ? was.exec
                                                  : request.load;
            if (load > kMachineMax || exec > kMachineMax)
                return refused(plan, EditError::kBadAddress,
                               "a load or exec address is 16-bit (at most 0xFFFF)");
            if (request.data.size() > kMachineMax)
                return refused(plan, EditError::kTooLarge,
                               "the payload is " + std::to_string(request.data.size()) +
                                   " bytes; a machine file's length field holds at most 65535");
            const uint32_t length = uint32_t(request.data.size());
            *bytes = {0x00, uint8_t(length >> 8), uint8_t(length), uint8_t(load >> 8),
                      uint8_t(load)};
            bytes->insert(bytes->end(), request.data.begin(), request.data.end());
            const uint8_t trailer[] = {0xFF, 0x00, 0x00, uint8_t(exec >> 8), uint8_t(exec)};
            bytes->insert(bytes->end(), trailer, trailer + kMachineTrailerSize);
        }
        // BASIC reads text up to its 0x1A: text without one gets it in the padding of its
        // last sector. Never a sector more: whole sectors are what get gave, to be put back.
        const bool ascii =
            typeName(tb.type, tb.ascii == kFlagSet, tb.random == kFlagSet) == "ascii";
        if (ascii && (bytes->empty() || bytes->size() % size_t(kSectorSize) != 0) &&
            std::find(bytes->begin(), bytes->end(), kEndOfText) == bytes->end())
            bytes->push_back(kEndOfText);
        return true;
    }

    static std::string typeOf(const Slot& s) {
        return typeName(s.bytes[size_t(kTypeOffset)], s.bytes[size_t(kAsciiOffset)] == kFlagSet,
                        s.bytes[size_t(kRandomOffset)] == kFlagSet);
    }

    // The first live slot of that name; -1: none.
    int32_t findSlot(const std::string& name) const {
        for (size_t i = 0; i < fs_.slots_.size(); ++i)
            if (fs_.slots_[i].live && FBasic::pathOf(fs_.slots_[i]) == name) return int32_t(i);
        return -1;
    }

    bool sectorMissing(int32_t slot) const {
        const int64_t logical = kDirectoryFirst + slot / kEntriesPerSector;
        const auto& missing = fs_.missingDirectory_;
        return std::find(missing.begin(), missing.end(), logical) != missing.end();
    }

    // A new entry's slot: the first deleted one before the end, else the end itself, which
    // moves to the next slot (*markEnd). Slots of unreadable sectors are passed over; the end
    // is taken only where the slot after it can be marked. -1: none.
    int32_t freeSlot(bool* markEnd) const {
        const int32_t slots = int32_t(fs_.slots_.size());
        const int32_t stop = fs_.end_ < 0 ? slots : fs_.end_;
        for (int32_t i = 0; i < stop; ++i)
            if (!fs_.slots_[size_t(i)].live && !sectorMissing(i)) return i;
        if (fs_.end_ < 0 || sectorMissing(fs_.end_)) return -1;
        if (fs_.end_ + 1 < slots && sectorMissing(fs_.end_ + 1)) return -1;
        *markEnd = fs_.end_ + 1 < slots;
        return fs_.end_;
    }

    // The clusters of the file in `slot` that no other file's chain reaches, in chain order:
    // what a change to the file may free or reuse (a cross-linked cluster stays the other's).
    std::vector<int64_t> ownUnits(int32_t slot) const {
        if (slot < 0) return {};
        std::vector<bool> others(size_t(kClusters), false);
        for (size_t i = 0; i < fs_.slots_.size(); ++i) {
            if (!fs_.slots_[i].live || int32_t(i) == slot) continue;
            for (const int64_t u : fs_.chainOf(fs_.slots_[i]).units)
                others[size_t(u)] = true;
        }
        std::vector<int64_t> own;
        for (const int64_t u : fs_.chainOf(fs_.slots_[size_t(slot)]).units)
            if (!others[size_t(u)]) own.push_back(u);
        return own;
    }

    // Adds the write of logical sector `logical`; false when the disk has no whole
    // 256-byte sector there to take it.
    bool addWrite(int64_t logical, std::vector<uint8_t> data, Plan* plan) const {
        SectorWrite w;
        Volume::locate(fs_.layout_, logical, &w.c, &w.h, &w.r);
        const SectorRef s = fs_.volume_.find(w.c, w.h, w.r);
        if (!s.found() || s.size != kSectorSize || s.present != kSectorSize) return false;
        w.data = std::move(data);
        plan->writes.push_back(std::move(w));
        return true;
    }

    // Writes `entry` into its directory sector, and with `markEnd` 0xFF over the next slot
    // when that slot does not end the directory already (it may hold old bytes the end hid).
    bool writeEntry(int32_t slot, const std::array<uint8_t, kEntrySize>& entry, bool markEnd,
                    Plan* plan) const {
        const int64_t logical = kDirectoryFirst + slot / kEntriesPerSector;
        std::vector<uint8_t> sector(size_t(kSectorSize), 0);
        if (fs_.volume_.readLogical(fs_.layout_, logical, sector.data()) != SectorStatus::kOk)
            return false;
        std::copy(entry.begin(), entry.end(),
                  sector.begin() + std::ptrdiff_t(slot % kEntriesPerSector) * kEntrySize);
        std::vector<uint8_t> next;
        const int32_t after = slot + 1;
        if (markEnd) {
            const bool same = after / kEntriesPerSector == slot / kEntriesPerSector;
            std::vector<uint8_t>* target = same ? &sector : &next;
            if (!same) {
                next.resize(size_t(kSectorSize));
                if (fs_.volume_.readLogical(fs_.layout_, logical + 1, next.data()) !=
                    SectorStatus::kOk)
                    return false;
            }
            uint8_t* e = target->data() + std::ptrdiff_t(after % kEntriesPerSector) * kEntrySize;
            if (e[0] != kEnd)
                std::fill(e, e + kEntrySize, kEnd);
            else if (!same)
                next.clear();  // already the end: that sector stays as it is
        }
        if (!addWrite(logical, std::move(sector), plan)) return false;
        return next.empty() || addWrite(logical + 1, std::move(next), plan);
    }

    // The FAT sector, when the change alters it; false when it cannot be written.
    bool addFat(const std::vector<uint8_t>& fat, Plan* plan) const {
        return std::equal(fat.begin(), fat.end(), fs_.fat_.begin()) ||
               addWrite(kFatSector, fat, plan);
    }

    const FBasic& fs_;
};

std::unique_ptr<Editor> FBasic::editor() const {
    return std::make_unique<FBasicEditor>(*this);
}

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
    std::array<uint8_t, kSectorSize> id{};
    std::array<uint8_t, kSectorSize> fat{};
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
        if (validValue(fat[size_t(kFatEntries) + size_t(c)], v->clusterSectors)) ++valid;
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

// Blank disks as BASIC's format leaves them: every sector 0xFF (as the real disk's unused
// sectors and free clusters are), the ID sector "S  " (2D) or "E  " (2DD) followed by zeros as
// on the real disk, the FAT with byte 0 0x00, bytes 1-4 0xFF and every cluster free, and an
// empty directory. No boot program: the IPL sectors of track 0 stay 0xFF. There are no
// reserved clusters, as cylinders 0 and 1 lie before cluster 0. "2d" is checked against a
// real disk; "2dd" rests on one public source and the reader's 2DD layout.
std::vector<std::string> formatTypesFBasic() {
    return {"2d", "2dd"};
}

bool formatFBasic(const std::string& type, const std::string& /*label*/, BlankDisk* disk,
                  std::string* why) {
    if (type != "2d" && type != "2dd") {
        *why = "no disk type " + type + " for F-BASIC";
        return false;
    }
    const Variant& v = type == "2dd" ? k2DD : k2D;
    disk->media = type == "2dd" ? 0x10 : 0x00;
    disk->tracks.assign(size_t(v.cylinders) * kHeads, {});
    for (size_t t = 0; t < disk->tracks.size(); ++t)
        for (int32_t r = 1; r <= kSectorsPerTrack; ++r) {
            BlankSector s;
            s.c = uint8_t(t / kHeads);
            s.h = uint8_t(t % kHeads);
            s.r = uint8_t(r);
            s.n = 1;  // 256 bytes
            s.data.assign(size_t(kSectorSize), 0xFF);
            disk->tracks[t].push_back(s);
        }
    const auto sector = [disk](int64_t logical) -> std::vector<uint8_t>& {
        return disk->tracks[size_t(logical / kSectorsPerTrack)][size_t(logical % kSectorsPerTrack)]
            .data;
    };
    std::vector<uint8_t>& id = sector(kIdSector);
    std::fill(id.begin(), id.end(), uint8_t(0x00));
    id[0] = uint8_t(v.id);
    id[1] = id[2] = ' ';
    sector(kFatSector)[0] = 0x00;
    return true;
}

}  // namespace retrodisk::fs
