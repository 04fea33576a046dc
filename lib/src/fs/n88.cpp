// N88-BASIC disks (2D and 2DD of 16 x 256-byte sectors per track, 2HD of 26) and the
// single-sided 1D variant: one system track holds the directory, an ID sector and three copies
// of the FAT, one byte per cluster. A file is a chain of clusters; no byte length is stored, so
// a file is whole sectors, its last cluster's FAT byte giving how many of its sectors are used.
// The reader and the editor (put, remove) share the layout, sector and directory helpers here;
// formatN88() makes blank disks of each layout.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <map>

#include "bytes.h"
#include "chain.h"
#include "families.h"

namespace retrodisk::fs {

namespace {

constexpr int32_t kSectorSize = 256;
constexpr int32_t kFatCopies = 3;

// Directory entry, 16 bytes (16 to a sector):
// +0 name (6, space padded; byte 0: 0x00 deleted, 0xFF end of directory)  +6 extension (3)
// +9 attribute  +10 start cluster  +11..15 unused (0xFF)
constexpr int32_t kEntrySize = 16;
constexpr int32_t kEntriesPerSector = kSectorSize / kEntrySize;
constexpr int32_t kNameSize = 6;
constexpr int32_t kExtensionOffset = 6;
constexpr int32_t kExtensionSize = 3;
constexpr int32_t kAttributeOffset = 9;
constexpr int32_t kStartOffset = 10;
constexpr uint8_t kDeletedMark = 0x00;
constexpr uint8_t kEndMark = 0xFF;

// Attribute bits. Neither kMachine nor kTokenized: an ASCII file.
constexpr uint8_t kMachine = 0x01;       // machine code saved from memory, with a header
constexpr uint8_t kUnusedBits = 0x0E;    // never set on a real disk: detection halves its score
constexpr uint8_t kWriteProtect = 0x10;  // "W"
constexpr uint8_t kEditProtect = 0x20;   // "P": a BASIC program saved encrypted
constexpr uint8_t kVerify = 0x40;        // "V"
constexpr uint8_t kTokenized = 0x80;     // BASIC in its tokenized form

// FAT values: 0x00 .. clusters - 1 the next cluster; 0xC1 .. 0xC0 + spc the last cluster with
// that many sectors used; the rest as named. Bytes past the last cluster are not entries.
constexpr uint8_t kLastBase = 0xC0;
constexpr uint8_t kBadCluster = 0xFD;
constexpr uint8_t kReservedCluster = 0xFE;
constexpr uint8_t kFreeCluster = 0xFF;

// A machine file's first 4 data bytes: +0 start address (u16 LE)  +2 end address (u16 LE).
constexpr int32_t kMachineHeaderSize = 4;

// Detection: the share of valid FAT entries (in percent) from which the disk is taken.
constexpr int32_t kSurePercent = 95;

// One layout of the family. The system track (cylinder, head) holds the directory in
// R 1 .. directorySectors, the ID sector after it and the FAT copies in the three after that.
// Cluster c is logical sectors c * spc .. c * spc + spc - 1, counted from C0 H0 R1.
struct N88Layout {
    const char* name = "";
    int32_t cylinders = 0, heads = 0, spt = 0;  // as the disk is formatted
    int32_t systemCylinder = 0, systemHead = 0;
    int32_t directorySectors = 0;
    int32_t fatSector = 0;  // R of the first FAT copy
    int32_t spc = 0;        // sectors per cluster
    int32_t clusters = 0;
    int32_t systemTrack() const { return systemCylinder * heads + systemHead; }
    int32_t firstSystemCluster() const { return systemTrack() * spt / spc; }
    int32_t lastSystemCluster() const { return ((systemTrack() + 1) * spt - 1) / spc; }
    Layout logical() const { return {cylinders, heads, spt, kSectorSize, 1}; }
};

// 2HD: track 0 head 0 is 26 sectors of 128 bytes; the logical numbering still counts them as
// 26 sectors, which puts cluster 1 on C0 H1 and the system track at cluster 70.
// 1D: 2 clusters a cylinder; the count follows the disk's cylinders (see fitLayout).
const N88Layout kLayouts[] = {
    {"2D", 40, 2, 16, 18, 1, 12, 14, 8, 160},
    {"2DD", 80, 2, 16, 40, 0, 12, 14, 16, 160},
    {"2HD", 77, 2, 26, 35, 0, 22, 24, 26, 154},
    {"1D", 40, 1, 16, 18, 0, 12, 14, 8, 80},
};
// A disk is taken for a layout within this many cylinders of its own (copies made on drives
// that step further, or cut short); a 1D disk is 35 to 40 cylinders formatted.
constexpr int32_t kCylinderSlack = 4;
constexpr int32_t kShortest1D = 35;

std::string shapeText(int32_t cylinders, int32_t heads, int32_t spt, int32_t size) {
    return std::to_string(cylinders) + " x " + std::to_string(heads) + " x " + std::to_string(spt) +
           " x " + std::to_string(size);
}

std::string layoutText(const N88Layout& l) {
    return std::string(l.name) + " " + shapeText(l.cylinders, l.heads, l.spt, kSectorSize);
}

std::string sectorText(int32_t c, int32_t h, int32_t r) {
    return "C" + std::to_string(c) + " H" + std::to_string(h) + " R" + std::to_string(r);
}

std::string hex2(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", value & 0xFFu);
    return text;
}

// The layout the disk's geometry fits: sectors per track, heads and 256-byte sectors alike,
// cylinders within kCylinderSlack. A 1D disk's cluster count is 2 per cylinder it has, from 70
// (35 cylinders) to 80 (40), since sources disagree on 70 and 80.
bool fitLayout(const Shape& shape, N88Layout* out) {
    if (shape.sectorSize != kSectorSize) return false;
    const auto fits = [&shape](const N88Layout& l) {
        if (l.spt != shape.sectorsPerTrack || l.heads != shape.heads) return false;
        const int32_t lowest = l.heads == 1 ? kShortest1D : l.cylinders - kCylinderSlack;
        return shape.cylinders >= lowest && shape.cylinders <= l.cylinders + kCylinderSlack;
    };
    const N88Layout* l = std::find_if(std::begin(kLayouts), std::end(kLayouts), fits);
    if (l == std::end(kLayouts)) return false;
    *out = *l;
    if (l->heads == 1) {
        out->cylinders = std::min(shape.cylinders, l->cylinders);
        out->clusters = out->cylinders * l->heads * l->spt / l->spc;
    }
    return true;
}

// True when sector (c, h, r) is there with 256 bytes. A sector of another size (the 128-byte
// sectors of a 2HD disk's first track) does not count: its bytes are never read as 256.
bool sectorPresent(const Volume& volume, int32_t c, int32_t h, int32_t r) {
    const SectorRef s = volume.find(c, h, r);
    return s.found() && s.size == kSectorSize && s.present >= kSectorSize;
}

// Reads 256-byte sector (c, h, r) into out; false (out zeroed) when it is missing or not 256.
bool readSector(const Volume& volume, int32_t c, int32_t h, int32_t r, uint8_t* out) {
    if (!sectorPresent(volume, c, h, r)) {
        std::memset(out, 0, kSectorSize);
        return false;
    }
    return volume.read(c, h, r, out, kSectorSize) == SectorStatus::kOk;
}

// Why sector (c, h, r) cannot be read, in English.
std::string missingText(const Volume& volume, int32_t c, int32_t h, int32_t r) {
    const SectorRef s = volume.find(c, h, r);
    if (!s.found()) return sectorText(c, h, r) + " is missing";
    if (s.size != kSectorSize)
        return sectorText(c, h, r) + " holds " + std::to_string(s.size) + " bytes, not 256";
    return sectorText(c, h, r) + " is cut short by the end of the image";
}

// The meaning of FAT byte `value` for a layout of `spc` sectors per cluster.
Unit decodeFat(uint8_t value, int32_t spc) {
    Unit u;
    if (value == kFreeCluster) {
        u.state = Unit::kFree;
    } else if (value == kReservedCluster) {
        u.state = Unit::kReserved;
    } else if (value == kBadCluster) {
        u.state = Unit::kBad;
    } else if (value > kLastBase && value <= kLastBase + spc) {
        u.state = Unit::kLast;
        u.used = value - kLastBase;
    } else {
        // A next cluster; a value past the disk (0xC0, a count above spc) ends the walk there.
        u.state = Unit::kNext;
        u.next = value;
    }
    return u;
}

bool validFat(uint8_t value, const N88Layout& l) {
    const Unit u = decodeFat(value, l.spc);
    return u.state != Unit::kNext || u.next < l.clusters;
}

// The live entries of the directory, as far as it goes.
struct RawEntry {
    int32_t slot = 0;
    std::array<uint8_t, kEntrySize> bytes{};
};
struct DirectoryScan {
    std::vector<RawEntry> entries;
    std::vector<int32_t> missing;  // R of the directory sectors that cannot be read
};

// Reads the directory up to its end mark; a full directory has none, which is legal. A sector
// that cannot be read is skipped and the scan goes on: slots past the end are never written
// (0xFF), so the entries after a lost sector are still found and end where the directory does.
DirectoryScan scanDirectory(const Volume& volume, const N88Layout& l) {
    DirectoryScan scan;
    uint8_t sector[kSectorSize];
    for (int32_t r = 1; r <= l.directorySectors; ++r) {
        if (!readSector(volume, l.systemCylinder, l.systemHead, r, sector)) {
            scan.missing.push_back(r);
            continue;
        }
        for (int32_t k = 0; k < kEntriesPerSector; ++k) {
            const uint8_t* e = sector + std::ptrdiff_t(k) * kEntrySize;
            if (e[0] == kEndMark) return scan;
            if (e[0] == kDeletedMark) continue;
            RawEntry raw;
            raw.slot = (r - 1) * kEntriesPerSector + k;
            std::copy(e, e + kEntrySize, raw.bytes.begin());
            scan.entries.push_back(raw);
        }
    }
    return scan;
}

std::string fieldText(const uint8_t* bytes, int32_t size) {
    return trimRight(std::string(reinterpret_cast<const char*>(bytes), size_t(size)));
}

// A file's type by its attribute: a machine file's bit wins over the tokenized bit, since its
// header is in the data.
const char* typeOf(uint8_t attributes) {
    return (attributes & kMachine) != 0     ? "machine"
           : (attributes & kTokenized) != 0 ? "basic"
                                            : "ascii";
}

class N88Editor;

class N88 : public FileSystem {
  public:
    N88(const Volume& volume, const N88Layout& layout, const uint8_t* fat)
        : volume_(volume),
          layout_(layout),
          fat_(fat, fat + layout.clusters),
          directory_(scanDirectory(volume, layout)) {
        for (const RawEntry& raw : directory_.entries) {
            Chain chain;
            const int32_t start = raw.bytes[kStartOffset];
            if (start >= layout_.clusters) {
                chain.fault = ProblemKind::kBadEntry;
                chain.detail = "its start cluster " + std::to_string(start) +
                               " is past the last (" + std::to_string(layout_.clusters - 1) + ")";
            } else {
                chain = followChain(start, layout_.clusters, table());
            }
            chains_.push_back(std::move(chain));
        }
    }

    Kind kind() const override { return Kind::kN88; }

    std::string describe() const override {
        const N88Layout& l = layout_;
        const std::string track =
            "C" + std::to_string(l.systemCylinder) + " H" + std::to_string(l.systemHead);
        return layoutText(l) + (l.spt == 26 ? " (C0 H0: 26 x 128)" : "") + ", " +
               std::to_string(l.spc) + " sectors per cluster, " + std::to_string(l.clusters) +
               " clusters; directory " + track + " R1-" + std::to_string(l.directorySectors) +
               ", FAT " + track + " R" + std::to_string(l.fatSector) + "-" +
               std::to_string(l.fatSector + kFatCopies - 1);
    }

    std::vector<Entry> list() const override {
        std::vector<Entry> entries;
        for (size_t i = 0; i < directory_.entries.size(); ++i)
            entries.push_back(makeEntry(i));
        return entries;
    }

    FileData read(const Entry& entry) const override {
        FileData out;
        const size_t i = indexOf(entry.slot);
        if (i >= directory_.entries.size()) {
            out.problem = {ProblemKind::kBadEntry, entry.path, {}, "no such entry"};
            return out;
        }
        const Chain& chain = chains_[i];
        const std::vector<std::string> path = entry.path;
        uint8_t sector[kSectorSize];
        for (size_t k = 0; k < chain.units.size(); ++k) {
            const bool last = chain.complete && k + 1 == chain.units.size();
            const int32_t count = last ? chain.lastUsed : layout_.spc;
            for (int32_t s = 0; s < count; ++s) {
                int32_t c = 0;
                int32_t h = 0;
                int32_t r = 0;
                Volume::locate(layout_.logical(), chain.units[k] * layout_.spc + s, &c, &h, &r);
                if (!readSector(volume_, c, h, r, sector)) {
                    out.problem = {ProblemKind::kMissingSector,
                                   path,
                                   {},
                                   "cluster " + std::to_string(chain.units[k]) + ": " +
                                       missingText(volume_, c, h, r)};
                    return out;
                }
                out.bytes.insert(out.bytes.end(), sector, sector + kSectorSize);
            }
        }
        out.complete = chain.complete;
        if (!chain.complete) out.problem = {chain.fault, path, {}, chain.detail};
        return out;
    }

    FreeSpace freeSpace() const override {
        return {int64_t(std::count(fat_.begin(), fat_.end(), kFreeCluster)),
                int64_t(layout_.spc) * kSectorSize};
    }

    std::vector<Problem> check() const override {
        std::vector<Problem> problems;
        checkFatCopies(&problems);
        const N88Layout& l = layout_;
        for (int32_t u = l.firstSystemCluster(); u <= l.lastSystemCluster(); ++u)
            if (fat_[size_t(u)] != kReservedCluster)
                problems.push_back({ProblemKind::kBadParameters,
                                    {},
                                    "FAT",
                                    "cluster " + std::to_string(u) +
                                        " holds the system track but is marked " +
                                        hex2(fat_[size_t(u)]) + ", not FE"});
        for (const int32_t r : directory_.missing)
            problems.push_back({ProblemKind::kMissingSector,
                                {},
                                "directory",
                                missingText(volume_, l.systemCylinder, l.systemHead, r) +
                                    ": its 16 entries cannot be read"});

        // How many of each cluster's sectors can be read, from its first: one look-up per
        // sector of the disk, whatever the chains.
        std::vector<int32_t> readable(size_t(l.clusters), 0);
        for (int32_t u = 0; u < l.clusters; ++u) {
            int32_t s = 0;
            for (; s < l.spc; ++s) {
                int32_t c = 0;
                int32_t h = 0;
                int32_t r = 0;
                Volume::locate(l.logical(), int64_t(u) * l.spc + s, &c, &h, &r);
                if (!sectorPresent(volume_, c, h, r)) break;
            }
            readable[size_t(u)] = s;
        }

        std::vector<ChainOwner> owners;
        for (size_t i = 0; i < directory_.entries.size(); ++i) {
            const Chain& chain = chains_[i];
            const std::vector<std::string> path = {entryName(directory_.entries[i])};
            owners.push_back({path, &chain});
            if (!chain.complete) {
                problems.push_back({chain.fault, path, {}, chain.detail});
                continue;
            }
            for (size_t k = 0; k < chain.units.size(); ++k) {
                const int64_t u = chain.units[k];
                const int32_t need = k + 1 == chain.units.size() ? chain.lastUsed : l.spc;
                if (readable[size_t(u)] >= need) continue;
                int32_t c = 0;
                int32_t h = 0;
                int32_t r = 0;
                Volume::locate(l.logical(), u * l.spc + readable[size_t(u)], &c, &h, &r);
                problems.push_back(
                    {ProblemKind::kMissingSector,
                     path,
                     {},
                     "cluster " + std::to_string(u) + ": " + missingText(volume_, c, h, r)});
                break;
            }
        }
        checkChains(owners, l.clusters, table(), &problems);
        return problems;
    }

    std::unique_ptr<Editor> editor() const override;

  private:
    friend class N88Editor;

    std::function<Unit(int64_t)> table() const {
        return [this](int64_t u) { return decodeFat(fat_[size_t(u)], layout_.spc); };
    }

    size_t indexOf(int32_t slot) const {
        for (size_t i = 0; i < directory_.entries.size(); ++i)
            if (directory_.entries[i].slot == slot) return i;
        return directory_.entries.size();
    }

    static std::string entryName(const RawEntry& raw) {
        const std::string name = fieldText(raw.bytes.data(), kNameSize);
        const std::string extension =
            fieldText(raw.bytes.data() + kExtensionOffset, kExtensionSize);
        return extension.empty() ? name : name + "." + extension;
    }

    Entry makeEntry(size_t i) const {
        const RawEntry& raw = directory_.entries[i];
        const Chain& chain = chains_[i];
        const uint8_t attributes = raw.bytes[kAttributeOffset];
        Entry e;
        e.path = {entryName(raw)};
        e.rawName.assign(raw.bytes.begin(), raw.bytes.begin() + kNameSize + kExtensionSize);
        e.type = typeOf(attributes);
        e.attributes = attributes;
        if ((attributes & kWriteProtect) != 0) e.attributeText += 'W';
        if ((attributes & kEditProtect) != 0) e.attributeText += 'P';
        if ((attributes & kVerify) != 0) e.attributeText += 'V';
        // Whole sectors: the full clusters and the sectors used of the last. A broken chain
        // counts the whole clusters it reaches, as read() gives them.
        const int64_t clusterBytes = int64_t(layout_.spc) * kSectorSize;
        const int64_t units = int64_t(chain.units.size());
        e.size = chain.complete ? (units - 1) * clusterBytes + int64_t(chain.lastUsed) * kSectorSize
                                : units * clusterBytes;
        e.firstUnit = raw.bytes[kStartOffset];
        e.slot = raw.slot;
        if ((attributes & kMachine) != 0 && !chain.units.empty()) {
            // The header is the first sector's first 4 bytes. The end address is given as
            // stored: whether it is inclusive differs between real files, so nothing is
            // computed from it.
            uint8_t sector[kSectorSize];
            int32_t c = 0;
            int32_t h = 0;
            int32_t r = 0;
            Volume::locate(layout_.logical(), chain.units[0] * layout_.spc, &c, &h, &r);
            if (readSector(volume_, c, h, r, sector)) {
                static_assert(kMachineHeaderSize <= kSectorSize, "header in the first sector");
                e.hasLoad = true;
                e.load = uint32_t(sector[0] | sector[1] << 8);
                e.own.push_back({"end_address", false, int64_t(sector[2] | sector[3] << 8), {}});
            }
        }
        return e;
    }

    // The second and third FAT copies against the first, entry by entry.
    void checkFatCopies(std::vector<Problem>* problems) const {
        const N88Layout& l = layout_;
        uint8_t copy[kSectorSize];
        for (int32_t k = 1; k < kFatCopies; ++k) {
            const int32_t r = l.fatSector + k;
            const std::string where = "copy " + std::to_string(k + 1) + " at " +
                                      sectorText(l.systemCylinder, l.systemHead, r);
            if (!readSector(volume_, l.systemCylinder, l.systemHead, r, copy)) {
                problems->push_back(
                    {ProblemKind::kMissingSector,
                     {},
                     "FAT",
                     "FAT " + missingText(volume_, l.systemCylinder, l.systemHead, r)});
                continue;
            }
            int32_t differ = 0;
            int32_t first = -1;
            for (int32_t u = 0; u < l.clusters; ++u)
                if (copy[u] != fat_[size_t(u)]) {
                    if (first < 0) first = u;
                    ++differ;
                }
            if (differ == 0) continue;
            problems->push_back({ProblemKind::kFatMismatch,
                                 {},
                                 "FAT",
                                 where + " differs from the first in " + std::to_string(differ) +
                                     (differ == 1 ? " entry" : " entries") + " (first: cluster " +
                                     std::to_string(first) + ", " + hex2(copy[first]) +
                                     " against " + hex2(fat_[size_t(first)]) + ")"});
        }
    }

    const Volume& volume_;
    N88Layout layout_;
    std::vector<uint8_t> fat_;  // the first copy, entries 0 .. clusters - 1
    DirectoryScan directory_;
    std::vector<Chain> chains_;  // one per directory_.entries
};

// --- the write side ------------------------------------------------------------------------

// The attribute bits that make a file's type; the others (W, P, V) belong to the entry and are
// kept when the type changes.
constexpr uint8_t kTypeBits = kMachine | kTokenized;

struct TypeBits {
    const char* name;
    uint8_t bits;
};
const TypeBits kTypes[] = {{"basic", kTokenized}, {"ascii", 0}, {"machine", kMachine}};

// A new file's type when the request names none, by its extension (upper or lower case); any
// other extension, and none, gives an ASCII file.
const TypeBits kExtensionTypes[] = {
    {"BAS", kTokenized}, {"N88", kTokenized}, {"BIN", kMachine},
    {"COD", kMachine},   {"MAC", kMachine},   {"OBJ", kMachine},
};

// The last sector of a file is filled past the data with 0x1A (end of text) for an ASCII file,
// 0x00 for the others. No byte length is kept, so get gives back whole sectors, and a put of
// those rewrites each byte as it was.
constexpr uint8_t kTextPad = 0x1A;
constexpr uint8_t kBinaryPad = 0x00;

// A machine file's header holds 16-bit addresses; the end is exclusive (start + length), as
// on the real 2HD disk's XMODEM.BIN.
constexpr uint32_t kAddressLimit = 0x10000;

using NameFields = std::array<uint8_t, kNameSize + kExtensionSize>;

// The 9 name bytes of an entry for `name` (Shift_JIS): at most 6 bytes, then after a '.' at
// most 3, each space padded; "NAME." has a blank extension. A byte of the name is a printable
// ASCII character other than space, '"' and ':' (BASIC's string and drive delimiters), or a
// byte from 0x80 to 0xFE (half-width katakana, double-byte characters); lower case is kept as
// given, as BASIC keeps it. False with *why when the name does not fit.
bool nameFields(const std::string& name, NameFields* out, std::string* why) {
    const size_t dot = name.find('.');
    const std::string base = name.substr(0, dot);
    const std::string extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty()) {
        *why = "the name part is empty";
        return false;
    }
    if (extension.find('.') != std::string::npos) {
        *why = "the name has more than one '.'";
        return false;
    }
    if (base.size() > size_t(kNameSize)) {
        *why =
            "the name part is " + std::to_string(base.size()) + " bytes; an N88-BASIC name holds 6";
        return false;
    }
    if (extension.size() > size_t(kExtensionSize)) {
        *why = "the extension is " + std::to_string(extension.size()) +
               " bytes; an N88-BASIC extension holds 3";
        return false;
    }
    for (const char ch : base + extension) {
        const uint8_t b = uint8_t(ch);
        if (b <= 0x20 || b == 0x7F || b == 0xFF || b == '"' || b == ':') {
            *why = "byte " + hex2(b) + " cannot be in an N88-BASIC name";
            return false;
        }
    }
    out->fill(' ');
    std::copy(base.begin(), base.end(), out->begin());
    std::copy(extension.begin(), extension.end(), out->begin() + kExtensionOffset);
    return true;
}

Plan refuse(Plan plan, EditError error, const std::string& detail) {
    plan.error = error;
    plan.detail = detail;
    plan.writes.clear();
    return plan;
}

class N88Editor : public Editor {
  public:
    explicit N88Editor(const N88& fs) : fs_(fs), l_(fs.layout_) {}

    Plan put(const PutRequest& request) const override {
        Plan plan;
        plan.path = request.path;
        if (request.path.size() != 1)
            return refuse(plan, EditError::kNoSuchDirectory,
                          "an N88-BASIC disk has no directories");
        NameFields fields;
        std::string why;
        if (!nameFields(request.path[0], &fields, &why))
            return refuse(plan, EditError::kBadName, why);
        const std::vector<RawEntry>& entries = fs_.directory_.entries;
        size_t index = 0;
        while (index < entries.size() &&
               !std::equal(fields.begin(), fields.end(), entries[index].bytes.begin()))
            ++index;
        const bool replacing = index < entries.size();
        RawEntry entry;
        if (replacing) {
            entry = entries[index];
        } else {
            std::fill(entry.bytes.begin(), entry.bytes.end(), kEndMark);  // bytes 11-15 unused
            std::copy(fields.begin(), fields.end(), entry.bytes.begin());
        }
        plan.path = {N88::entryName(entry)};
        if (request.hasExec)
            return refuse(plan, EditError::kBadAddress,
                          "an N88-BASIC disk keeps no execution address: a machine file's header "
                          "holds its start and end addresses only");

        std::vector<uint8_t> data;
        const EditError error =
            content(request, replacing, fields, &entry.bytes[kAttributeOffset], &data, &why);
        if (error != EditError::kNone) return refuse(plan, error, why);
        const uint8_t attributes = entry.bytes[kAttributeOffset];
        // An empty file still takes one sector: a last-cluster count of 0 does not exist.
        const int64_t sectors =
            std::max<int64_t>(1, (int64_t(data.size()) + kSectorSize - 1) / kSectorSize);
        const int64_t need = (sectors + l_.spc - 1) / l_.spc;
        if (need > l_.clusters)
            return refuse(plan, EditError::kTooLarge,
                          "the file needs " + std::to_string(need) + " clusters; the disk has " +
                              std::to_string(l_.clusters));

        const std::vector<int32_t> owners = chainOwners();
        std::vector<int64_t> units;
        if (replacing) {
            const Chain& chain = fs_.chains_[index];
            if (!chain.complete)
                return refuse(
                    plan, EditError::kDamaged,
                    "its cluster chain is damaged (" + chain.detail + "): remove it first");
            for (const int64_t u : chain.units)
                if (owners[size_t(u)] > 1)
                    return refuse(plan, EditError::kDamaged,
                                  "its cluster " + std::to_string(u) +
                                      " is in another file's chain too: remove it first");
            units = chain.units;
        }
        // The file keeps its clusters in chain order as far as they suffice; the rest of the
        // chain is freed, or it grows by the lowest free clusters.
        if (int64_t(units.size()) > need) {
            plan.freed.assign(units.begin() + std::ptrdiff_t(need), units.end());
            units.resize(size_t(need));
        }
        const std::vector<int64_t> free = freeClusters(owners);
        const int64_t more = need - int64_t(units.size());
        if (more > int64_t(free.size()))
            return refuse(
                plan, EditError::kDiskFull,
                "the file needs " + std::to_string(need) + " clusters of " +
                    std::to_string(l_.spc * kSectorSize) + " bytes" +
                    (replacing ? "; it holds " + std::to_string(units.size()) + " and " : "; ") +
                    std::to_string(free.size()) + " are free");
        units.insert(units.end(), free.begin(),
                     free.begin() + std::ptrdiff_t(std::max<int64_t>(more, 0)));
        entry.bytes[kStartOffset] = uint8_t(units[0]);

        std::map<int32_t, std::vector<uint8_t>> directory;
        if (!replacing) {
            entry.slot = freeSlot(&directory);
            if (entry.slot < 0)
                return refuse(plan, EditError::kDirectoryFull,
                              "the directory's " +
                                  std::to_string(l_.directorySectors * kEntriesPerSector) +
                                  " entries are in use");
        }
        if (!setEntry(entry, &directory))
            return refuse(plan, EditError::kDamaged, directoryText(entry.slot));

        std::map<int64_t, uint8_t> fat;
        const int32_t lastCount = int32_t(sectors - (need - 1) * l_.spc);
        for (size_t k = 0; k < units.size(); ++k)
            fat[units[k]] =
                k + 1 < units.size() ? uint8_t(units[k + 1]) : uint8_t(kLastBase + lastCount);
        for (const int64_t u : plan.freed)
            fat[u] = kFreeCluster;

        const uint8_t pad = (attributes & kTypeBits) == 0 ? kTextPad : kBinaryPad;
        data.resize(size_t(sectors) * kSectorSize, pad);
        for (int64_t s = 0; s < sectors; ++s) {
            SectorWrite w;
            Volume::locate(l_.logical(), units[size_t(s / l_.spc)] * l_.spc + s % l_.spc, &w.c,
                           &w.h, &w.r);
            w.data.assign(data.begin() + std::ptrdiff_t(s * kSectorSize),
                          data.begin() + std::ptrdiff_t((s + 1) * kSectorSize));
            plan.writes.push_back(std::move(w));
        }
        plan.action = replacing ? Plan::kReplaced : Plan::kAdded;
        plan.slot = entry.slot;
        plan.units = units;
        return finish(std::move(plan), directory, fat);
    }

    Plan remove(const std::vector<std::string>& path) const override {
        Plan plan;
        plan.path = path;
        plan.action = Plan::kRemoved;
        if (path.size() != 1)
            return refuse(plan, EditError::kNoSuchDirectory,
                          "an N88-BASIC disk has no directories");
        // By its name bytes when the name fits ("NAME." is "NAME"), else as list() names it.
        NameFields fields;
        std::string why;
        const bool fits = nameFields(path[0], &fields, &why);
        const std::vector<RawEntry>& entries = fs_.directory_.entries;
        size_t index = 0;
        while (index < entries.size() &&
               !(fits ? std::equal(fields.begin(), fields.end(), entries[index].bytes.begin())
                      : N88::entryName(entries[index]) == path[0]))
            ++index;
        if (index == entries.size())
            return refuse(plan, EditError::kNoSuchFile, "no file " + path[0] + " on the disk");
        RawEntry entry = entries[index];
        plan.path = {N88::entryName(entry)};
        plan.slot = entry.slot;
        // A damaged chain frees what it reaches, but never a cluster another file's chain holds.
        const std::vector<int32_t> owners = chainOwners();
        std::map<int64_t, uint8_t> fat;
        for (const int64_t u : fs_.chains_[index].units)
            if (owners[size_t(u)] == 1) {
                plan.freed.push_back(u);
                fat[u] = kFreeCluster;
            }
        entry.bytes[0] = kDeletedMark;  // BASIC's KILL: the rest of the entry stays
        std::map<int32_t, std::vector<uint8_t>> directory;
        if (!setEntry(entry, &directory))
            return refuse(plan, EditError::kDamaged, directoryText(entry.slot));
        return finish(std::move(plan), directory, fat);
    }

  private:
    // The attribute byte (*attributes: the replaced entry's; set anew for a new file) and the
    // bytes to store for `request`; kNone, or the refusal with *why.
    static EditError content(const PutRequest& request, bool replacing, const NameFields& fields,
                             uint8_t* attributes, std::vector<uint8_t>* data, std::string* why) {
        if (!request.type.empty()) {
            const TypeBits* type = nullptr;
            for (const TypeBits& t : kTypes)
                if (request.type == t.name) type = &t;
            if (type == nullptr) {
                *why = "an N88-BASIC file is basic, ascii or machine, not " + request.type;
                return EditError::kBadType;
            }
            // The same type keeps the byte as it is (a machine file may carry 0x80 as well).
            if (!replacing || request.type != typeOf(*attributes))
                *attributes = uint8_t((replacing ? *attributes & ~kTypeBits : 0) | type->bits);
        } else if (!replacing) {
            *attributes = request.hasLoad ? kMachine : extensionBits(fields);
        }
        if (request.hasLoad && (*attributes & kMachine) == 0) {
            *why = std::string("only a machine file keeps a load address; this one is ") +
                   typeOf(*attributes);
            return EditError::kBadAddress;
        }

        if (request.hasLoad) {
            const uint64_t end = uint64_t(request.load) + request.data.size();
            if (request.load >= kAddressLimit || end >= kAddressLimit) {
                *why = std::to_string(request.data.size()) + " bytes loaded at " +
                       addressText(request.load) + " end at " + addressText(end) +
                       ", past what the header's 16-bit addresses hold";
                return EditError::kBadAddress;
            }
            data->resize(kMachineHeaderSize);
            putU16LE(data->data(), request.load);
            putU16LE(data->data() + 2, uint32_t(end));
        }
        data->insert(data->end(), request.data.begin(), request.data.end());
        return EditError::kNone;
    }

    static uint8_t extensionBits(const NameFields& fields) {
        std::string extension(fields.begin() + kExtensionOffset, fields.end());
        for (char& ch : extension)
            if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
        for (const TypeBits& t : kExtensionTypes)
            if (extension == t.name) return t.bits;
        return 0;
    }

    static std::string addressText(uint64_t address) {
        char text[24];
        std::snprintf(text, sizeof text, "0x%04llX", static_cast<unsigned long long>(address));
        return text;
    }

    std::string directoryText(int32_t slot) const {
        const int32_t r = 1 + slot / kEntriesPerSector;
        return "the directory sector of slot " + std::to_string(slot) + ": " +
               missingText(fs_.volume_, l_.systemCylinder, l_.systemHead, r);
    }

    // How many files' chains hold each cluster (a damaged chain counts as far as it goes).
    std::vector<int32_t> chainOwners() const {
        std::vector<int32_t> owners(size_t(l_.clusters), 0);
        for (const Chain& chain : fs_.chains_)
            for (const int64_t u : chain.units)
                ++owners[size_t(u)];
        return owners;
    }

    // The clusters a file may take, lowest first: marked free, in no chain (a damaged chain may
    // run through a free cluster), and every sector there as 256 bytes.
    std::vector<int64_t> freeClusters(const std::vector<int32_t>& owners) const {
        std::vector<int64_t> free;
        for (int32_t u = 0; u < l_.clusters; ++u) {
            if (fs_.fat_[size_t(u)] != kFreeCluster || owners[size_t(u)] != 0) continue;
            bool whole = true;
            for (int32_t s = 0; s < l_.spc && whole; ++s) {
                int32_t c = 0;
                int32_t h = 0;
                int32_t r = 0;
                Volume::locate(l_.logical(), int64_t(u) * l_.spc + s, &c, &h, &r);
                whole = sectorPresent(fs_.volume_, c, h, r);
            }
            if (whole) free.push_back(u);
        }
        return free;
    }

    // The directory sector with R `r`, from *sectors when the plan has changed it already;
    // false when it cannot be read.
    bool directorySector(int32_t r, std::map<int32_t, std::vector<uint8_t>>* sectors) const {
        if (sectors->count(r) != 0) return true;
        std::vector<uint8_t> bytes(static_cast<size_t>(kSectorSize));
        if (!readSector(fs_.volume_, l_.systemCylinder, l_.systemHead, r, bytes.data()))
            return false;
        (*sectors)[r] = std::move(bytes);
        return true;
    }

    // The slot a new entry takes, as BASIC takes it: the first deleted slot before the
    // directory's end, or the end itself; -1 when there is none. Taking the end slot, the next
    // slot is made the end when it is not already (slots past the end should be 0xFF; a
    // damaged disk's need not be).
    int32_t freeSlot(std::map<int32_t, std::vector<uint8_t>>* sectors) const {
        const int32_t slots = l_.directorySectors * kEntriesPerSector;
        uint8_t bytes[kSectorSize];
        for (int32_t slot = 0; slot < slots; ++slot) {
            const int32_t r = 1 + slot / kEntriesPerSector;
            if (!readSector(fs_.volume_, l_.systemCylinder, l_.systemHead, r, bytes)) {
                slot += kEntriesPerSector - 1;  // the scan skips it
                continue;
            }
            const uint8_t mark = bytes[size_t(slot % kEntriesPerSector) * kEntrySize];
            if (mark == kDeletedMark) return slot;
            if (mark != kEndMark) continue;
            const int32_t next = slot + 1;
            const int32_t nextR = 1 + next / kEntriesPerSector;
            if (next < slots && directorySector(nextR, sectors))
                (*sectors)[nextR][size_t(next % kEntriesPerSector) * kEntrySize] = kEndMark;
            return slot;
        }
        return -1;
    }

    bool setEntry(const RawEntry& entry, std::map<int32_t, std::vector<uint8_t>>* sectors) const {
        const int32_t r = 1 + entry.slot / kEntriesPerSector;
        if (!directorySector(r, sectors)) return false;
        std::copy(
            entry.bytes.begin(), entry.bytes.end(),
            (*sectors)[r].begin() + std::ptrdiff_t(entry.slot % kEntriesPerSector) * kEntrySize);
        return true;
    }

    // Adds the directory sectors and each FAT copy with the entries of `fat` changed (a copy
    // keeps its other bytes: copies that disagree on a damaged disk are not made to agree)
    // to the plan's writes; a sector whose bytes do not change is not written. Refuses the
    // plan when a sector it writes is missing or not of 256 bytes.
    Plan finish(Plan plan, const std::map<int32_t, std::vector<uint8_t>>& directory,
                const std::map<int64_t, uint8_t>& fat) const {
        const int32_t c = l_.systemCylinder;
        const int32_t h = l_.systemHead;
        uint8_t old[kSectorSize];
        for (const auto& [r, bytes] : directory) {
            readSector(fs_.volume_, c, h, r, old);
            if (!std::equal(bytes.begin(), bytes.end(), old))
                plan.writes.push_back({c, h, r, bytes});
        }
        for (int32_t k = 0; k < kFatCopies && !fat.empty(); ++k) {
            const int32_t r = l_.fatSector + k;
            if (!readSector(fs_.volume_, c, h, r, old)) continue;  // check() names a lost copy
            std::vector<uint8_t> bytes(old, old + kSectorSize);
            for (const auto& [u, value] : fat)
                bytes[size_t(u)] = value;
            if (!std::equal(bytes.begin(), bytes.end(), old))
                plan.writes.push_back({c, h, r, bytes});
        }
        for (const SectorWrite& w : plan.writes)
            if (!sectorPresent(fs_.volume_, w.c, w.h, w.r))
                return refuse(std::move(plan), EditError::kDamaged,
                              missingText(fs_.volume_, w.c, w.h, w.r));
        return plan;
    }

    const N88& fs_;
    const N88Layout& l_;
};

std::unique_ptr<Editor> N88::editor() const {
    return std::make_unique<N88Editor>(*this);
}

}  // namespace

Detection detectN88(const Volume& volume) {
    Detection d;
    const Shape& shape = volume.shape();
    N88Layout l;
    if (!fitLayout(shape, &l)) {
        d.evidence =
            "geometry " +
            shapeText(shape.cylinders, shape.heads, shape.sectorsPerTrack, shape.sectorSize) +
            " fits none of 2D 40 x 2 x 16, 2DD 80 x 2 x 16, 2HD 77 x 2 x 26, 1D 40 x 1 x "
            "16 (256-byte sectors)";
        return d;
    }
    const std::string fatAt = sectorText(l.systemCylinder, l.systemHead, l.fatSector);
    uint8_t fat[kSectorSize];
    if (!readSector(volume, l.systemCylinder, l.systemHead, l.fatSector, fat)) {
        d.evidence = "no FAT: " + missingText(volume, l.systemCylinder, l.systemHead, l.fatSector) +
                     "; " + layoutText(l);
        return d;
    }
    std::string system;
    bool reserved = true;
    for (int32_t u = l.firstSystemCluster(); u <= l.lastSystemCluster(); ++u) {
        system += (system.empty() ? "" : ", ") + std::to_string(u);
        reserved = reserved && fat[u] == kReservedCluster;
    }
    std::string values;
    for (int32_t u = l.firstSystemCluster(); u <= l.lastSystemCluster(); ++u)
        values += (values.empty() ? "" : " ") + hex2(fat[u]);
    const std::string clusterWord =
        l.firstSystemCluster() == l.lastSystemCluster() ? "cluster " : "clusters ";
    if (!reserved) {
        d.evidence = "FAT at " + fatAt + ": system-track " + clusterWord + system + " = " + values +
                     ", not FE; " + layoutText(l);
        return d;
    }
    int32_t valid = 0;
    for (int32_t u = 0; u < l.clusters; ++u)
        if (validFat(fat[u], l)) ++valid;
    const int32_t percent = valid * 100 / l.clusters;
    d.confidence = percent >= kSurePercent ? percent : std::min(percent, kSure - 1);
    d.evidence = "FAT at " + fatAt + ": system-track " + clusterWord + system + " = FE, " +
                 std::to_string(valid) + " of " + std::to_string(l.clusters) + " entries valid; " +
                 layoutText(l);
    for (const RawEntry& raw : scanDirectory(volume, l).entries) {
        const uint8_t attributes = raw.bytes[kAttributeOffset];
        if ((attributes & kUnusedBits) == 0) continue;
        d.confidence /= 2;
        d.evidence += "; directory slot " + std::to_string(raw.slot) + " has attribute " +
                      hex2(attributes) + " with unused bits 0E set";
        break;
    }
    return d;
}

std::unique_ptr<FileSystem> openN88(const Volume& volume, std::string* why) {
    const Shape& shape = volume.shape();
    N88Layout l;
    if (!fitLayout(shape, &l)) {
        *why = "the disk's geometry " +
               shapeText(shape.cylinders, shape.heads, shape.sectorsPerTrack, shape.sectorSize) +
               " fits no N88 layout";
        return nullptr;
    }
    uint8_t fat[kSectorSize];
    if (!readSector(volume, l.systemCylinder, l.systemHead, l.fatSector, fat)) {
        *why = "no FAT: " + missingText(volume, l.systemCylinder, l.systemHead, l.fatSector);
        return nullptr;
    }
    return std::make_unique<N88>(volume, l, fat);
}

// Blank disks, as BASIC's own format leaves them. Every sector of 256 bytes is filled with
// 0xFF (a never-used directory slot reads as the directory's end); on 2HD, track 0 head 0 is
// 26 sectors of 128 bytes in single density, also 0xFF. The ID sector is 0x00 then 0xFF (the
// real 2HD disk), all 0x00 on 1D (the real PC-6001 blank). The three FAT copies mark every
// cluster free (0xFF) but the system track's and, on 2HD, cylinder 0's (0xFE); the bytes past
// the last cluster are 0x00 on 2HD and 0xFF elsewhere, as on the real disks.
namespace {

struct FormatType {
    const char* name;
    size_t layout;  // index into kLayouts
    uint8_t media;  // D88 media byte; 1D has no byte of its own in the image format: 0x00 (2D)
};
// The first is the default: the PC-8801's 2D disk, the commonest N88-BASIC disk.
const FormatType kFormatTypes[] = {
    {"2d", 0, 0x00},
    {"2dd", 1, 0x10},
    {"2hd", 2, 0x20},
    {"1d", 3, 0x00},
};
constexpr int32_t kShortSectorSize = 128;  // 2HD track 0 head 0
constexpr uint8_t kFormatFill = 0xFF;

}  // namespace

std::vector<std::string> formatTypesN88() {
    std::vector<std::string> names;
    for (const FormatType& t : kFormatTypes)
        names.push_back(t.name);
    return names;
}

bool formatN88(const std::string& type, const std::string& /*label*/, BlankDisk* disk,
               std::string* why) {
    const FormatType* format = nullptr;
    for (const FormatType& t : kFormatTypes)
        if (type == t.name) format = &t;
    if (format == nullptr) {
        *why = "no N88-BASIC disk type " + type;
        return false;
    }
    const N88Layout& l = kLayouts[format->layout];
    const bool twoHd = l.spt == 26;
    const bool oneD = l.heads == 1;
    disk->media = format->media;
    // Table entries are cylinder * 2 + head whatever the sides: a 1D disk uses the even ones.
    disk->tracks.assign(size_t(l.cylinders) * 2, {});
    for (int32_t c = 0; c < l.cylinders; ++c)
        for (int32_t h = 0; h < l.heads; ++h) {
            const bool shortTrack = twoHd && c == 0 && h == 0;
            std::vector<BlankSector>& track = disk->tracks[size_t(c) * 2 + size_t(h)];
            for (int32_t r = 1; r <= l.spt; ++r) {
                BlankSector s;
                s.c = uint8_t(c);
                s.h = uint8_t(h);
                s.r = uint8_t(r);
                s.n = shortTrack ? 0 : 1;
                s.singleDensity = shortTrack;
                s.data.assign(size_t(shortTrack ? kShortSectorSize : kSectorSize), kFormatFill);
                track.push_back(std::move(s));
            }
        }
    std::vector<BlankSector>& system =
        disk->tracks[size_t(l.systemCylinder) * 2 + size_t(l.systemHead)];
    std::vector<uint8_t>& id = system[size_t(l.directorySectors)].data;  // R directorySectors + 1
    std::fill(id.begin(), id.end(), oneD ? 0x00 : kFormatFill);
    id[0] = 0x00;
    std::vector<uint8_t> fat(size_t(kSectorSize), twoHd ? 0x00 : kFreeCluster);
    std::fill_n(fat.begin(), l.clusters, kFreeCluster);
    for (int32_t u = l.firstSystemCluster(); u <= l.lastSystemCluster(); ++u)
        fat[size_t(u)] = kReservedCluster;
    if (twoHd) fat[0] = fat[1] = kReservedCluster;  // cylinder 0: the IPL's track and its pair
    for (int32_t k = 0; k < kFatCopies; ++k)
        system[size_t(l.fatSector) - 1 + size_t(k)].data = fat;
    return true;
}

}  // namespace retrodisk::fs
