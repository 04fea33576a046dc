// FAT12 on the disks of D88 images: a boot sector whose parameter block (at +11) gives the
// layout, or, on disks that start with machine code instead, the standard layout of the
// disk's geometry once the first FAT sector shows its ID. Then the usual FAT12 rules: 12-bit
// table entries, clusters from 2, 32-byte directory entries, subdirectories as cluster chains.
// Names stay in their Shift_JIS bytes and are never split on a byte (0x5C can be a trail byte).
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>

#include "bytes.h"
#include "chain.h"
#include "families.h"

namespace retrodisk::fs {

namespace {

// Parameter block in the boot sector (logical sector 0), little-endian:
// +11 bytes per sector (u16)  +13 sectors per cluster  +14 reserved sectors (u16)  +16 FATs
// +17 root entries (u16)  +19 total sectors (u16; 0: the u32 at +32)  +21 media byte
// +22 sectors per FAT (u16)  +24 sectors per track (u16)  +26 heads (u16)  +32 total (u32)
constexpr int kBlockOffset = 11;
constexpr int kBytesPerSectorOffset = 11;
constexpr int kPerClusterOffset = 13;
constexpr int kReservedOffset = 14;
constexpr int kFatsOffset = 16;
constexpr int kRootEntriesOffset = 17;
constexpr int kTotal16Offset = 19;
constexpr int kMediaOffset = 21;
constexpr int kPerFatOffset = 22;
constexpr int kPerTrackOffset = 24;
constexpr int kHeadsOffset = 26;
constexpr int kTotal32Offset = 32;
constexpr int kBlockEnd = 36;

// Directory entry, 32 bytes: +0 name (8)  +8 extension (3)  +11 attributes  +12..21 reserved
// +22 time (u16)  +24 date (u16)  +26 first cluster (u16)  +28 size (u32)
constexpr int kEntrySize = 32;
constexpr int kNameSize = 11;
constexpr int kAttributeOffset = 11;
constexpr int kTimeOffset = 22;
constexpr int kDateOffset = 24;
constexpr int kClusterOffset = 26;
constexpr int kSizeOffset = 28;

constexpr uint8_t kEndMark = 0x00;      // first name byte: no entries from here on
constexpr uint8_t kDeletedMark = 0xE5;  // first name byte: a deleted entry
constexpr uint8_t kE5Stand = 0x05;      // first name byte standing for 0xE5 (a Shift_JIS lead)
constexpr uint8_t kVolumeLabel = 0x08;
constexpr uint8_t kDirectory = 0x10;
constexpr uint8_t kLongName = 0x0F;  // read-only + hidden + system + label: a long-name piece

// 12-bit FAT entry values.
constexpr uint32_t kReservedValue = 0x001;
constexpr uint32_t kFirstReserved = 0xFF0;  // 0xFF0-0xFF6 reserved
constexpr uint32_t kBadValue = 0xFF7;
constexpr uint32_t kFirstLast = 0xFF8;  // 0xFF8-0xFFF end of a chain
constexpr int64_t kMaxClusters = 4084;  // more make the volume FAT16

uint32_t u16(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8;
}
uint32_t u32(const uint8_t* p) {
    return u16(p) | u16(p + 2) << 16;
}
bool powerOfTwo(int64_t v) {
    return v > 0 && (v & (v - 1)) == 0;
}
std::string hex2(uint32_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", unsigned(b & 0xFF));
    return text;
}
std::string chr(int32_t c, int32_t h, int32_t r) {
    return "C" + std::to_string(c) + " H" + std::to_string(h) + " R" + std::to_string(r);
}

// The 12-bit entry of cluster n in a FAT's bytes: the low 12 bits of the little-endian pair at
// n + n / 2 for even n, the high 12 for odd; 0xFF7 (bad) for an entry past the bytes, which the
// parameter checks rule out.
uint32_t fatEntry(const std::vector<uint8_t>& fat, int64_t n) {
    const size_t at = size_t(n + n / 2);
    if (n < 0 || at + 1 >= fat.size()) return kBadValue;
    const uint32_t pair = uint32_t(fat[at]) | uint32_t(fat[at + 1]) << 8;
    return (n & 1) != 0 ? pair >> 4 : pair & 0xFFF;
}
// Sets that entry, leaving the other 12-bit entry sharing its bytes as it was.
void setFatEntry(std::vector<uint8_t>* fat, int64_t n, uint32_t value) {
    const size_t at = size_t(n + n / 2);
    if (n < 0 || at + 1 >= fat->size()) return;
    const uint32_t pair = uint32_t((*fat)[at]) | uint32_t((*fat)[at + 1]) << 8;
    const uint32_t next =
        (n & 1) != 0 ? (pair & 0x000F) | (value & 0xFFF) << 4 : (pair & 0xF000) | (value & 0xFFF);
    (*fat)[at] = uint8_t(next);
    (*fat)[at + 1] = uint8_t(next >> 8);
}

// The layouts of disks without a parameter block. Every row is the one its format's own
// disks carry in their parameter block: the 2HD row is the FM TOWNS disks' block (the same
// values X68000 and PC-98 2HD disks use); the others are the usual DOS values of that size.
// The same rows are the blank disks format() makes, under their type names (default first).
struct Standard {
    const char* name;
    const char* type;  // the format type
    int32_t cylinders, heads, perTrack, sectorSize;
    uint8_t media;
    int32_t reserved, fats, perFat, rootEntries, perCluster;
    uint8_t d88Media;  // the D88 header's media byte for the format
};
constexpr Standard kStandards[] = {
    {"2HD 1.2 MB", "2hd", 77, 2, 8, 1024, 0xFE, 1, 2, 2, 192, 1, 0x20},
    {"2HD 1.44 MB", "2hd-1440", 80, 2, 18, 512, 0xF0, 1, 2, 9, 224, 1, 0x20},
    {"2DD 720 KB", "2dd", 80, 2, 9, 512, 0xF9, 1, 2, 3, 112, 2, 0x10},
    {"2DD 640 KB", "2dd-640", 80, 2, 8, 512, 0xFB, 1, 2, 2, 112, 2, 0x10},
    {"2D 360 KB", "2d", 40, 2, 9, 512, 0xFD, 1, 2, 2, 112, 2, 0x00},
};
// D88 images often carry a spare cylinder or three past the format's last.
constexpr int32_t kSpareCylinders = 3;

// The values a file system is read with, and the areas they give.
struct Params {
    int32_t sectorSize = 0, perCluster = 0, reserved = 0, fats = 0, rootEntries = 0, perFat = 0;
    int32_t perTrack = 0, heads = 0;
    int64_t total = 0;
    uint8_t media = 0;
    // Derived by derive().
    int64_t rootStart = 0, rootSectors = 0, dataStart = 0, clusters = 0;

    void derive() {
        rootStart = reserved + int64_t(fats) * perFat;
        rootSectors =
            (int64_t(rootEntries) * kEntrySize + sectorSize - 1) / std::max(sectorSize, 1);
        dataStart = rootStart + rootSectors;
        clusters = perCluster > 0 && total > dataStart ? (total - dataStart) / perCluster : 0;
    }
    // Why these values cannot describe a FAT12 volume of `diskSectors` sectors; "" when sane.
    // Checked before anything divides by them or reads by them.
    std::string fault(int64_t diskSectors) const {
        if (perCluster == 0) return "0 sectors per cluster";
        if (!powerOfTwo(perCluster))
            return std::to_string(perCluster) + " sectors per cluster, not a power of two";
        if (reserved < 1) return "no reserved sector";
        if (fats < 1 || fats > 2) return std::to_string(fats) + " FATs";
        if (rootEntries < 1) return "no root directory entries";
        if (perFat < 1) return "FATs of 0 sectors";
        if (total > diskSectors)
            return std::to_string(total) + " sectors, but the disk has " +
                   std::to_string(diskSectors);
        if (dataStart >= total || clusters < 1)
            return "its areas (data from sector " + std::to_string(dataStart) + ") run past its " +
                   std::to_string(total) + " sectors";
        if (clusters > kMaxClusters)
            return std::to_string(clusters) + " clusters, too many for 12-bit FAT entries";
        if (int64_t(perFat) * sectorSize * 2 / 3 < clusters + 2)
            return "FATs of " + std::to_string(perFat) + " sectors cannot hold " +
                   std::to_string(clusters) + " clusters";
        return {};
    }
    Layout layout() const {
        Layout l;
        l.heads = heads;
        l.sectorsPerTrack = perTrack;
        l.sectorSize = sectorSize;
        l.firstSector = 1;
        const int64_t perCylinder = std::max(int64_t(heads) * perTrack, int64_t(1));
        l.cylinders = int32_t((total + perCylinder - 1) / perCylinder);
        return l;
    }
};

// How detection and opening see a disk.
struct Finding {
    int confidence = 0;
    std::string evidence;
    bool usable = false;  // params can be read with
    Params params;
    std::string source;      // where params come from, for describe()
    std::string blockFault;  // a damaged parameter block, reported by check()
};

// The first three bytes of the first FAT sector (logical sector `reserved`) as hex in *bytes
// ("nothing" when the sector cannot be read), and where that sector is. True when they are a
// FAT ID: a media byte (F0-FF; `media` itself when given) followed by FF FF.
bool fatId(const Volume& volume, const Layout& layout, int64_t reserved, int media,
           std::string* bytes, std::string* where) {
    uint8_t id[3] = {};
    int32_t c = 0;
    int32_t h = 0;
    int32_t r = 0;
    Volume::locate(layout, reserved, &c, &h, &r);
    *where = chr(c, h, r);
    if (volume.read(c, h, r, id, 3) != SectorStatus::kOk) {
        *bytes = "nothing";
        return false;
    }
    *bytes = hex2(id[0]) + " " + hex2(id[1]) + " " + hex2(id[2]);
    const bool mediaOk = media < 0 ? id[0] >= 0xF0 : id[0] == media;
    return mediaOk && id[1] == 0xFF && id[2] == 0xFF;
}

// The standard row for the disk's shape, or null.
const Standard* standardFor(const Shape& shape) {
    for (const Standard& s : kStandards)
        if (shape.heads == s.heads && shape.sectorsPerTrack == s.perTrack &&
            shape.sectorSize == s.sectorSize && shape.cylinders >= s.cylinders &&
            shape.cylinders <= s.cylinders + kSpareCylinders)
            return &s;
    return nullptr;
}

Params standardParams(const Standard& s) {
    Params p;
    p.sectorSize = s.sectorSize;
    p.perCluster = s.perCluster;
    p.reserved = s.reserved;
    p.fats = s.fats;
    p.rootEntries = s.rootEntries;
    p.perFat = s.perFat;
    p.perTrack = s.perTrack;
    p.heads = s.heads;
    p.total = int64_t(s.cylinders) * s.heads * s.perTrack;
    p.media = s.media;
    p.derive();
    return p;
}

std::string geometryText(const Shape& shape) {
    return std::to_string(shape.cylinders) + " x " + std::to_string(shape.heads) + " x " +
           std::to_string(shape.sectorsPerTrack) + " x " + std::to_string(shape.sectorSize);
}

// Reads the disk's parameters: the parameter block when the boot sector has one that makes
// sense, else the standard layout of the disk's geometry when the FAT ID confirms it.
Finding find(const Volume& volume) {
    Finding f;
    const Shape& shape = volume.shape();
    const int64_t diskSectors = int64_t(shape.cylinders) * shape.heads * shape.sectorsPerTrack;
    uint8_t boot[kBlockEnd] = {};
    const bool haveBoot = volume.read(0, 0, 1, boot, kBlockEnd) == SectorStatus::kOk;

    // A block is there when its sector size is the disk's, it names 1 or 2 FATs and its media
    // byte is a FAT media byte; machine code rarely passes all three. Only then are its other
    // values judged.
    Params b;
    b.sectorSize = int32_t(u16(boot + kBytesPerSectorOffset));
    b.perCluster = boot[kPerClusterOffset];
    b.reserved = int32_t(u16(boot + kReservedOffset));
    b.fats = boot[kFatsOffset];
    b.rootEntries = int32_t(u16(boot + kRootEntriesOffset));
    b.total = u16(boot + kTotal16Offset) != 0 ? u16(boot + kTotal16Offset)
                                              : int64_t(u32(boot + kTotal32Offset));
    b.media = boot[kMediaOffset];
    b.perFat = int32_t(u16(boot + kPerFatOffset));
    b.perTrack = int32_t(u16(boot + kPerTrackOffset));
    b.heads = int32_t(u16(boot + kHeadsOffset));
    const bool block = haveBoot && b.sectorSize == shape.sectorSize && powerOfTwo(b.sectorSize) &&
                       (b.fats == 1 || b.fats == 2) && b.media >= 0xF0;
    const std::string at = "parameter block at C0 H0 R1 +" + std::to_string(kBlockOffset);
    const std::string ipl = std::memcmp(boot, "IPL4", 4) == 0 ? "; boot sector starts 'IPL4'" : "";
    if (block) {
        // The block's track geometry when it has one, else the disk's.
        if (b.perTrack < 1 || b.perTrack > 255 || b.heads < 1 || b.heads > 255) {
            b.perTrack = shape.sectorsPerTrack;
            b.heads = std::max(shape.heads, 1);
        }
        b.derive();
        const std::string fault = b.perTrack > 0 ? b.fault(diskSectors) : "no sectors per track";
        if (fault.empty()) {
            f.usable = true;
            f.params = b;
            f.source = at;
            // The FAT's first byte may disagree with the block's media byte on some disks;
            // any media byte followed by FF FF is taken.
            std::string id;
            std::string where;
            const bool idOk = fatId(volume, b.layout(), b.reserved, -1, &id, &where);
            f.evidence = at + ": " + std::to_string(b.sectorSize) + "-byte sectors, " +
                         std::to_string(b.total) + " sectors, media " + hex2(b.media);
            if (idOk) {
                f.confidence = 95;
                f.evidence += "; FAT ID " + id + " at " + where + ipl;
            } else {
                f.confidence = 50;
                f.evidence += ", but the FAT at " + where + " starts " + id + ", not a FAT ID";
            }
            return f;
        }
        f.blockFault = fault;
    }

    const Standard* s = standardFor(shape);
    const std::string geometry = geometryText(shape);
    if (s == nullptr) {
        if (block) {
            f.confidence = 40;
            f.evidence = at + " is damaged (" + f.blockFault + ") and " + geometry +
                         " has no standard FAT12 layout";
        } else {
            f.evidence = "no parameter block at C0 H0 R1 +" + std::to_string(kBlockOffset) +
                         " and " + geometry + " is not a FAT12 geometry";
        }
        return f;
    }
    const Params p = standardParams(*s);
    std::string id;
    std::string where;
    const bool idOk = fatId(volume, p.layout(), p.reserved, p.media, &id, &where);
    const std::string lead =
        block ? at + " is damaged (" + f.blockFault + "); " : "no parameter block; ";
    if (!idOk) {
        f.confidence = block ? 40 : 10;
        f.evidence = lead + geometry + " is a FAT12 geometry, but " + where + " starts " + id +
                     ", not the FAT ID " + hex2(s->media) + " FF FF";
        return f;
    }
    f.usable = true;
    f.confidence = kSure;
    f.params = p;
    f.evidence = lead + geometry + " and FAT ID " + id + " at " + where;
    f.source = std::string(block ? "parameter block damaged" : "no parameter block") +
               ": the standard values of " + s->name;
    return f;
}

// The D88 header's media type the FAT12 layouts go with: 0x00 2D, 0x10 2DD, 0x20 2HD.
uint8_t headerMediaFor(const Params& p) {
    const int64_t bytes = p.total * p.sectorSize;
    if (bytes > int64_t{800} * 1024) return 0x20;
    if (bytes > int64_t{400} * 1024) return 0x10;
    return 0x00;
}

// "NAME.EXT" from the 11 name bytes: padding dropped, a leading 0x05 given back as 0xE5.
std::string displayName(const uint8_t* raw) {
    std::string name(reinterpret_cast<const char*>(raw), 8);
    if (uint8_t(name[0]) == kE5Stand) name[0] = char(kDeletedMark);
    name = trimRight(name);
    const std::string ext = trimRight(std::string(reinterpret_cast<const char*>(raw + 8), 3));
    return ext.empty() ? name : name + "." + ext;
}

// An entry's date and time (+24 date: (year - 1980) << 9 | month << 5 | day; +22 time:
// hour << 11 | minute << 5 | second / 2); false for a date of 0, which means none.
bool decodeDate(const uint8_t* d, DateTime* out) {
    const uint32_t date = u16(d + kDateOffset);
    const uint32_t time = u16(d + kTimeOffset);
    if (date == 0) return false;
    out->year = int32_t(1980 + (date >> 9));
    out->month = int32_t((date >> 5) & 15);
    out->day = int32_t(date & 31);
    out->hour = int32_t(time >> 11);
    out->minute = int32_t((time >> 5) & 63);
    out->second = int32_t((time & 31) * 2);
    out->hasTime = true;
    return true;
}
// Stores `when` into an entry: an odd second is stored as the even one below it (the field
// counts two-second steps); a date before 1980 as 1980-01-01 00:00:00 and one after 2107 as
// 2107-12-31 23:59:58, the range the fields hold. A date alone gets the time 00:00:00.
void encodeDate(const DateTime& when, uint8_t* d) {
    DateTime t = when;
    if (!t.hasTime) t.hour = t.minute = t.second = 0;
    if (t.year < 1980) t = {1980, 1, 1, 0, 0, 0, true};
    if (t.year > 2107) t = {2107, 12, 31, 23, 59, 58, true};
    const auto clamp = [](int32_t v, int32_t lo, int32_t hi) {
        return std::min(std::max(v, lo), hi);
    };
    const uint32_t date = uint32_t(t.year - 1980) << 9 | uint32_t(clamp(t.month, 1, 12)) << 5 |
                          uint32_t(clamp(t.day, 1, 31));
    const uint32_t time = uint32_t(clamp(t.hour, 0, 23)) << 11 |
                          uint32_t(clamp(t.minute, 0, 59)) << 5 |
                          uint32_t(clamp(t.second, 0, 59) / 2);
    putU16LE(d + kDateOffset, date);
    putU16LE(d + kTimeOffset, time);
}

// Attribute letters, one for each bit set, in bit order: R read-only, H hidden, S system,
// V volume label, D directory, A archive.
std::string attributeLetters(uint8_t a) {
    static const char kLetters[] = "RHSVDA";
    std::string text;
    for (int bit = 0; bit < 6; ++bit)
        if ((a & (1u << bit)) != 0) text += kLetters[bit];
    return text;
}

// Shift_JIS: a lead byte (0x81-0x9F, 0xE0-0xFC) starts a two-byte character whose trail byte
// is 0x40-0x7E or 0x80-0xFC; 0xA1-0xDF are single-byte half-width katakana.
bool sjisLead(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
bool sjisTrail(uint8_t b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// The 11 bytes a name is stored as, in *raw: "NAME.EXT" (Shift_JIS) split at its one '.',
// each part space-padded, lower-case ASCII letters upper-cased as DOS does, a first byte 0xE5
// stored as 0x05. A volume label (`label`) is up to 11 bytes with no '.', spaces allowed.
// False with *why for a name DOS cannot store; never cut.
bool storedName(const std::string& name, bool label, std::string* raw, std::string* why) {
    static const char kForbidden[] = "\"*+,./:;<=>?[\\]|";
    std::string part[2];
    int32_t dots = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const uint8_t b = uint8_t(name[i]);
        std::string& to = part[dots > 0 ? 1 : 0];
        if (sjisLead(b)) {
            if (i + 1 == name.size() || !sjisTrail(uint8_t(name[i + 1]))) {
                *why = "byte " + std::to_string(i) + " (" + hex2(b) +
                       ") starts a Shift_JIS character that is not there";
                return false;
            }
            to += name.substr(i, 2);
            ++i;
            continue;
        }
        if (b == '.' && !label && dots == 0) {
            ++dots;
            continue;
        }
        const bool katakana = b >= 0xA1 && b <= 0xDF;
        const bool space = b == ' ' && label;
        if (!katakana && !space &&
            (b <= ' ' || b >= 0x7F || std::strchr(kForbidden, char(b)) != nullptr)) {
            *why =
                b == '.' ? std::string(label ? "a label holds no '.'" : "more than one '.'")
                : b < 0x20 || b >= 0x7F
                    ? "byte " + std::to_string(i) + " (" + hex2(b) + ") cannot be in a FAT12 name"
                    : "'" + std::string(1, char(b)) + "' cannot be in a FAT12 name";
            return false;
        }
        to += char(b >= 'a' && b <= 'z' ? b - ('a' - 'A') : b);
    }
    const size_t room = label ? kNameSize : 8;
    if (part[0].empty() || (label && part[0].find_first_not_of(' ') == std::string::npos)) {
        *why = label ? "an empty label" : "no name before the extension";
        return false;
    }
    if (part[0].size() > room) {
        *why = std::string(label ? "the label is " : "the name part is ") +
               std::to_string(part[0].size()) + " bytes; a FAT12 " + (label ? "label" : "name") +
               " holds " + std::to_string(room);
        return false;
    }
    if (part[1].size() > 3) {
        *why = "the extension is " + std::to_string(part[1].size()) +
               " bytes; a FAT12 extension holds 3";
        return false;
    }
    *raw = part[0] + std::string(room - part[0].size(), ' ');
    if (!label) *raw += part[1] + std::string(3 - part[1].size(), ' ');
    if (uint8_t((*raw)[0]) == kDeletedMark) (*raw)[0] = char(kE5Stand);
    return true;
}

class Fat12Editor;

class Fat12 : public FileSystem {
    friend class Fat12Editor;

  public:
    Fat12(const Volume& volume, const Finding& found)
        : volume_(volume), p_(found.params), layout_(found.params.layout()), source_(found.source) {
        clusterBytes_ = int64_t(p_.perCluster) * p_.sectorSize;
        count_ = p_.clusters + 2;
        if (!found.blockFault.empty())
            problems_.push_back({ProblemKind::kBadParameters,
                                 {},
                                 "boot sector",
                                 "the parameter block at C0 H0 R1 +11 is damaged (" +
                                     found.blockFault + "); the standard layout is used"});
        loadFat();
        walkTree();
        findUsers();
    }

    Fat12(const Fat12&) = delete;
    Fat12& operator=(const Fat12&) = delete;

    Kind kind() const override { return Kind::kFat12; }

    std::string describe() const override {
        std::string text = std::to_string(p_.sectorSize) + "-byte sectors, " +
                           std::to_string(p_.perCluster) + " per cluster, " +
                           std::to_string(p_.reserved) + " reserved, " + std::to_string(p_.fats) +
                           " FAT" + (p_.fats == 1 ? "" : "s") + " of " + std::to_string(p_.perFat) +
                           " sectors, " + std::to_string(p_.rootEntries) + " root entries, " +
                           std::to_string(p_.total) + " sectors, " + std::to_string(p_.clusters) +
                           " clusters, media " + hex2(p_.media) + ", " +
                           std::to_string(p_.perTrack) + " sectors per track, " +
                           std::to_string(p_.heads) + " heads (" + source_ + ")";
        if (hasLabel_) text += "; volume label " + label_;
        const uint8_t want = headerMediaFor(p_);
        const uint8_t header = volume_.disk().mediaType;
        if (header != want)
            text += "; the D88 header says media " + hex2(header) + ", the layout is " +
                    (want == 0x20   ? "2HD"
                     : want == 0x10 ? "2DD"
                                    : "2D") +
                    " (" + hex2(want) + ")";
        return text;
    }

    std::vector<Entry> list() const override { return entries_; }

    std::unique_ptr<Editor> editor() const override;

    FileData read(const Entry& entry) const override {
        FileData out;
        if (entry.directory) {
            out.problem = {ProblemKind::kBadEntry, entry.path, {}, "a directory, not a file"};
            return out;
        }
        const int64_t size = entry.size;
        const int64_t needed = (size + clusterBytes_ - 1) / clusterBytes_;
        if (size == 0) {
            out.complete = true;
            return out;
        }
        if (entry.firstUnit == 0) {
            out.problem = {ProblemKind::kSizeMismatch,
                           entry.path,
                           {},
                           "size " + std::to_string(size) + " but no clusters (first cluster " +
                               std::to_string(entry.firstUnit) + ")"};
            return out;
        }
        const auto cached = chains_.find(entry.firstUnit);
        const Chain chain = cached != chains_.end() ? cached->second
                                                    : followChain(entry.firstUnit, count_, table());
        const int64_t have = std::min(int64_t(chain.units.size()), needed);
        out.bytes.reserve(size_t(have * clusterBytes_));
        std::vector<uint8_t> sector(size_t(p_.sectorSize));
        for (int64_t i = 0; i < have; ++i) {
            const int64_t first = firstSectorOf(chain.units[size_t(i)]);
            for (int32_t k = 0; k < p_.perCluster; ++k) {
                if (volume_.readLogical(layout_, first + k, sector.data()) != SectorStatus::kOk) {
                    out.problem = {ProblemKind::kMissingSector,
                                   entry.path,
                                   {},
                                   "sector " + where(first + k) + " of cluster " +
                                       std::to_string(chain.units[size_t(i)]) +
                                       " is missing or short"};
                    out.bytes.resize(std::min(out.bytes.size(), size_t(size)));
                    return out;
                }
                out.bytes.insert(out.bytes.end(), sector.begin(), sector.end());
            }
        }
        out.bytes.resize(std::min(out.bytes.size(), size_t(size)));
        if (have == needed) {
            // The size's bytes are all there; a fault further down the chain is check()'s.
            // But bytes that another file's chain claims too may be that file's: not whole.
            out.complete = !sharedPart(entry, chain, needed, &out.problem);
            return out;
        }
        if (!chain.complete)
            out.problem = {chain.fault, entry.path, {}, chain.detail};
        else
            out.problem = {ProblemKind::kSizeMismatch,
                           entry.path,
                           {},
                           "size " + std::to_string(size) + " needs " + std::to_string(needed) +
                               " clusters, the chain has " + std::to_string(chain.units.size())};
        return out;
    }

    FreeSpace freeSpace() const override {
        int64_t free = 0;
        for (int64_t c = 2; c < count_; ++c)
            if (entryValue(c) == 0) ++free;
        return {free, clusterBytes_};
    }

    std::vector<Problem> check() const override {
        std::vector<Problem> problems = problems_;
        std::map<int64_t, std::vector<std::string>> firstOwner;
        std::vector<ChainOwner> owners;
        for (const auto& [path, chain] : dirChains_)
            owners.push_back({path, &chain});
        for (const auto& [path, chain] : dirChains_)
            firstOwner.emplace(chain.units.empty() ? -1 : chain.units.front(), path);
        std::vector<int8_t> readable(size_t(count_), -1);
        for (const Entry& e : entries_) {
            if (e.directory) continue;
            const int64_t needed = (e.size + clusterBytes_ - 1) / clusterBytes_;
            if (e.firstUnit == 0) {
                if (e.size > 0)
                    problems.push_back({ProblemKind::kSizeMismatch,
                                        e.path,
                                        {},
                                        "size " + std::to_string(e.size) + " but no clusters"});
                continue;
            }
            const auto [seen, added] = firstOwner.emplace(e.firstUnit, e.path);
            if (!added) {
                problems.push_back({ProblemKind::kShared,
                                    e.path,
                                    {},
                                    "its first cluster " + std::to_string(e.firstUnit) +
                                        " is also that of " + joinPath(seen->second)});
                continue;
            }
            const Chain& chain = chains_.at(e.firstUnit);
            owners.push_back({e.path, &chain});
            const int64_t units = int64_t(chain.units.size());
            if (!chain.complete)
                problems.push_back({chain.fault, e.path, {}, chain.detail});
            else if (units != needed)
                problems.push_back({ProblemKind::kSizeMismatch,
                                    e.path,
                                    {},
                                    "size " + std::to_string(e.size) + " needs " +
                                        std::to_string(needed) + " cluster" +
                                        (needed == 1 ? "" : "s") + ", the chain has " +
                                        std::to_string(units)});
            for (int64_t i = 0; i < std::min(units, needed); ++i) {
                const int64_t bad = unreadableSector(chain.units[size_t(i)], &readable);
                if (bad < 0) continue;
                problems.push_back({ProblemKind::kMissingSector,
                                    e.path,
                                    {},
                                    "sector " + where(bad) + " of cluster " +
                                        std::to_string(chain.units[size_t(i)]) +
                                        " is missing or short"});
                break;
            }
        }
        checkChains(owners, count_, table(), &problems);
        return problems;
    }

  private:
    uint32_t entryValue(int64_t n) const { return fatEntry(fat_, n); }

    std::function<Unit(int64_t)> table() const {
        return [this](int64_t n) {
            Unit u;
            if (n < 2) {  // entries 0 and 1 hold the FAT ID, never a file's cluster
                u.state = Unit::kReserved;
                return u;
            }
            const uint32_t v = entryValue(n);
            if (v == 0) {
                u.state = Unit::kFree;
            } else if (v == kReservedValue || (v >= kFirstReserved && v < kBadValue)) {
                u.state = Unit::kReserved;
            } else if (v == kBadValue) {
                u.state = Unit::kBad;
            } else if (v >= kFirstLast) {
                u.state = Unit::kLast;
                u.used = p_.perCluster;
            } else {
                u.state = Unit::kNext;
                u.next = v;
            }
            return u;
        };
    }

    int64_t firstSectorOf(int64_t cluster) const {
        return p_.dataStart + (cluster - 2) * p_.perCluster;
    }
    std::string where(int64_t logical) const {
        int32_t c = 0;
        int32_t h = 0;
        int32_t r = 0;
        Volume::locate(layout_, logical, &c, &h, &r);
        return std::to_string(logical) + " (" + chr(c, h, r) + ")";
    }
    bool sectorWhole(int64_t logical) const {
        if (logical < 0 || logical >= p_.total) return false;
        int32_t c = 0;
        int32_t h = 0;
        int32_t r = 0;
        Volume::locate(layout_, logical, &c, &h, &r);
        const SectorRef s = volume_.find(c, h, r);
        return s.found() && s.present >= p_.sectorSize;
    }
    // The first missing or short sector of `cluster`, or -1; remembered in *memo.
    int64_t unreadableSector(int64_t cluster, std::vector<int8_t>* memo) const {
        int8_t& known = (*memo)[size_t(cluster)];
        if (known == 1) return -1;
        const int64_t first = firstSectorOf(cluster);
        for (int32_t k = 0; k < p_.perCluster; ++k)
            if (!sectorWhole(first + k)) {
                known = 0;
                return first + k;
            }
        known = 1;
        return -1;
    }

    // The chain of every file (one per first cluster: entries that share a first cluster share
    // their chain, so a crafted directory of many such entries costs no more than one) and
    // the first two chains through each cluster, directories' included.
    void findUsers() {
        firstUser_.assign(size_t(count_), -1);
        secondUser_.assign(size_t(count_), -1);
        const auto use = [this](const Chain& chain, const std::vector<std::string>& path) {
            const int32_t index = int32_t(userPaths_.size());
            userPaths_.push_back(&path);
            for (const int64_t u : chain.units) {
                int32_t& first = firstUser_[size_t(u)];
                if (first < 0)
                    first = index;
                else if (secondUser_[size_t(u)] < 0)
                    secondUser_[size_t(u)] = index;
            }
        };
        for (const auto& [path, chain] : dirChains_) {
            use(chain, path);
            if (!chain.units.empty()) ++firstUses_[chain.units.front()];
        }
        for (const Entry& e : entries_) {
            if (e.directory || e.firstUnit == 0) continue;
            ++firstUses_[e.firstUnit];
            const auto [at, added] =
                chains_.emplace(e.firstUnit, followChain(e.firstUnit, count_, table()));
            if (added) use(at->second, e.path);
        }
    }

    // True, with *problem set, when the first `needed` clusters of `chain` (the chain of
    // `entry`) are in another chain too, or another entry starts at the same cluster.
    bool sharedPart(const Entry& entry, const Chain& chain, int64_t needed,
                    Problem* problem) const {
        const auto uses = firstUses_.find(entry.firstUnit);
        if (uses != firstUses_.end() && uses->second > 1) {
            *problem = {ProblemKind::kShared,
                        entry.path,
                        {},
                        "its first cluster " + std::to_string(entry.firstUnit) +
                            " is also that of another entry"};
            return true;
        }
        for (int64_t i = 0; i < needed && i < int64_t(chain.units.size()); ++i) {
            const size_t u = size_t(chain.units[size_t(i)]);
            if (secondUser_[u] < 0) continue;
            const std::vector<std::string>* other = userPaths_[size_t(firstUser_[u])];
            if (*other == entry.path) other = userPaths_[size_t(secondUser_[u])];
            *problem = {
                ProblemKind::kShared,
                entry.path,
                {},
                "cluster " + std::to_string(u) + " is also in the chain of " + joinPath(*other)};
            return true;
        }
        return false;
    }

    // The first FAT copy, its missing sectors taken from the second; the copies compared.
    void loadFat() {
        const size_t bytes = size_t(p_.perFat) * size_t(p_.sectorSize);
        fat_.assign(bytes, 0);
        std::vector<std::vector<uint8_t>> copies(size_t(p_.fats), std::vector<uint8_t>(bytes, 0));
        std::vector<std::vector<bool>> got(size_t(p_.fats), std::vector<bool>(size_t(p_.perFat)));
        for (int32_t k = 0; k < p_.fats; ++k)
            for (int32_t s = 0; s < p_.perFat; ++s) {
                const int64_t logical = p_.reserved + int64_t(k) * p_.perFat + s;
                got[size_t(k)][size_t(s)] =
                    volume_.readLogical(layout_, logical,
                                        copies[size_t(k)].data() +
                                            size_t(s) * size_t(p_.sectorSize)) == SectorStatus::kOk;
            }
        int64_t missing = -1;
        for (int32_t s = 0; s < p_.perFat; ++s) {
            int32_t from = -1;
            for (int32_t k = 0; k < p_.fats && from < 0; ++k)
                if (got[size_t(k)][size_t(s)]) from = k;
            if (from < 0) {
                if (missing < 0) missing = p_.reserved + s;
                continue;
            }
            const size_t at = size_t(s) * size_t(p_.sectorSize);
            std::copy_n(copies[size_t(from)].begin() + std::ptrdiff_t(at), size_t(p_.sectorSize),
                        fat_.begin() + std::ptrdiff_t(at));
        }
        if (missing >= 0)
            problems_.push_back(
                {ProblemKind::kMissingSector,
                 {},
                 "FAT",
                 "FAT sector " + where(missing) +
                     " is missing or short in every copy; its entries read as free"});
        for (int32_t k = 1; k < p_.fats; ++k)
            for (size_t i = 0; i < bytes; ++i) {
                const size_t s = i / size_t(p_.sectorSize);
                if (!got[0][s] || !got[size_t(k)][s]) continue;
                if (copies[0][i] == copies[size_t(k)][i]) continue;
                problems_.push_back({ProblemKind::kFatMismatch,
                                     {},
                                     "FAT",
                                     "copy " + std::to_string(k + 1) +
                                         " differs from copy 1 first at byte " + std::to_string(i) +
                                         ": " + hex2(copies[size_t(k)][i]) + " where copy 1 has " +
                                         hex2(copies[0][i])});
                break;
            }
    }

    // One directory's slots as read, and how the read ended.
    struct Slots {
        std::vector<uint8_t> bytes;  // whole entries only
        bool broken = false;         // a sector missing or short, or the chain broken
        std::string why;
    };

    Slots readRoot() const {
        Slots out;
        std::vector<uint8_t> sector(size_t(p_.sectorSize));
        for (int64_t s = 0; s < p_.rootSectors; ++s) {
            if (volume_.readLogical(layout_, p_.rootStart + s, sector.data()) !=
                SectorStatus::kOk) {
                out.broken = true;
                out.why = "sector " + where(p_.rootStart + s) + " is missing or short";
                break;
            }
            out.bytes.insert(out.bytes.end(), sector.begin(), sector.end());
        }
        out.bytes.resize(std::min(out.bytes.size(), size_t(p_.rootEntries) * kEntrySize));
        return out;
    }

    // A subdirectory's clusters in chain order, stopping before a cluster another directory
    // has already been read from (so every cluster is read as a directory at most once).
    Slots readClusters(const Chain& chain, const std::vector<bool>& taken) const {
        Slots out;
        std::vector<uint8_t> sector(size_t(p_.sectorSize));
        for (const int64_t c : chain.units) {
            if (taken[size_t(c)]) {
                out.broken = true;
                out.why =
                    "its chain runs into cluster " + std::to_string(c) + " of another directory";
                return out;
            }
            for (int32_t k = 0; k < p_.perCluster; ++k) {
                const int64_t logical = firstSectorOf(c) + k;
                if (volume_.readLogical(layout_, logical, sector.data()) != SectorStatus::kOk) {
                    out.broken = true;
                    out.why = "sector " + where(logical) + " is missing or short";
                    return out;
                }
                out.bytes.insert(out.bytes.end(), sector.begin(), sector.end());
            }
        }
        if (!chain.complete) {
            out.broken = true;
            out.why = "its chain is broken: " + chain.detail;
        }
        return out;
    }

    // A directory being listed: its entries and the next one to list.
    struct Frame {
        std::vector<std::string> path;
        int64_t cluster = 0;  // its first cluster; 0 for the root
        std::vector<Entry> entries;
        size_t next = 0;
    };

    // The entries of a directory's slots; labels, long-name pieces, deleted entries and "."
    // and ".." left out ("." and ".." checked against `self` and `parent`).
    Frame entriesOf(const Slots& slots, const std::vector<std::string>& path, int64_t self,
                    int64_t parent) {
        Frame f;
        f.path = path;
        f.cluster = self;
        bool ended = false;
        int32_t dots = 0;
        const size_t count = slots.bytes.size() / kEntrySize;
        for (size_t i = 0; i < count && !ended; ++i) {
            const uint8_t* d = slots.bytes.data() + i * kEntrySize;
            const uint8_t attributes = d[kAttributeOffset];
            if (d[0] == kEndMark) {
                ended = true;
                break;
            }
            if (d[0] == kDeletedMark || (attributes & 0x3F) == kLongName) continue;
            if ((attributes & kVolumeLabel) != 0) {
                if (self == 0 && !hasLabel_) {
                    hasLabel_ = true;
                    label_ = trimRight(std::string(reinterpret_cast<const char*>(d), kNameSize));
                }
                continue;
            }
            const int64_t cluster = u16(d + kClusterOffset);
            if (d[0] == '.') {
                const bool one = std::memcmp(d, ".          ", kNameSize) == 0;
                const bool two = std::memcmp(d, "..         ", kNameSize) == 0;
                if (one || two) {
                    const int64_t want = one ? self : parent;
                    if (self == 0 || (attributes & kDirectory) == 0 || i != (one ? 0u : 1u) ||
                        cluster != want)
                        problems_.push_back({ProblemKind::kBadEntry,
                                             path,
                                             {},
                                             std::string(one ? "'.'" : "'..'") + " entry in slot " +
                                                 std::to_string(i) + " names cluster " +
                                                 std::to_string(cluster) +
                                                 (self == 0 ? " in the root directory"
                                                            : ", not " + std::to_string(want))});
                    ++dots;
                    continue;
                }
            }
            Entry e;
            e.path = path;
            e.path.push_back(displayName(d));
            e.rawName.assign(reinterpret_cast<const char*>(d), kNameSize);
            e.directory = (attributes & kDirectory) != 0;
            e.type = e.directory ? "directory" : "";
            e.attributes = attributes;
            e.attributeText = attributeLetters(attributes);
            e.size = u32(d + kSizeOffset);
            e.hasDate = decodeDate(d, &e.date);
            e.firstUnit = cluster;
            e.slot = int32_t(i);
            e.own.push_back({"cluster_bytes", false, clusterBytes_, {}});
            f.entries.push_back(std::move(e));
        }
        if (self != 0 && dots < 2)
            problems_.push_back(
                {ProblemKind::kBadEntry, path, {}, "the '.' and '..' entries are not both there"});
        if (slots.broken && !ended)
            problems_.push_back({ProblemKind::kNoDirectoryEnd, path,
                                 path.empty() ? "root directory" : "",
                                 "cut short before its end: " + slots.why});
        return f;
    }

    // The whole tree, depth-first in directory order. Each directory is entered once, through
    // the first entry naming its first cluster; one that names a cluster already read as a
    // directory (an ancestor: a loop) is listed but not entered. So the walk reads each
    // cluster at most once and ends.
    void walkTree() {
        std::vector<bool> taken(size_t(count_), false);  // clusters read as a directory
        std::vector<int64_t> owner(size_t(count_), -1);  // index into dirChains_ of the first
        std::vector<Frame> stack;
        stack.push_back(entriesOf(readRoot(), {}, 0, 0));
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next == top.entries.size()) {
                stack.pop_back();
                continue;
            }
            const Entry e = top.entries[top.next++];
            const int64_t parent = top.cluster;
            entries_.push_back(e);
            if (!e.directory) continue;
            const int64_t first = e.firstUnit;
            if (first < 2 || first >= count_) {
                problems_.push_back({ProblemKind::kBadEntry,
                                     e.path,
                                     {},
                                     "a directory whose first cluster is " + std::to_string(first) +
                                         ", outside 2.." + std::to_string(count_ - 1)});
                continue;
            }
            if (taken[size_t(first)]) {
                const std::vector<std::string>& other =
                    dirChains_[size_t(owner[size_t(first)])].first;
                const bool ancestor = other.size() < e.path.size() &&
                                      std::equal(other.begin(), other.end(), e.path.begin());
                problems_.push_back(
                    {ancestor ? ProblemKind::kLoop : ProblemKind::kShared,
                     e.path,
                     {},
                     "its first cluster " + std::to_string(first) + " is in directory " +
                         joinPath(other) +
                         (ancestor ? ", which contains it: not entered" : ": not entered")});
                continue;
            }
            Chain chain = followChain(first, count_, table());
            const Slots slots = readClusters(chain, taken);
            if (!chain.complete) problems_.push_back({chain.fault, e.path, {}, chain.detail});
            const int64_t index = int64_t(dirChains_.size());
            for (const int64_t c : chain.units)
                if (!taken[size_t(c)]) {
                    taken[size_t(c)] = true;
                    owner[size_t(c)] = index;
                }
            dirChains_.emplace_back(e.path, std::move(chain));
            // `top` may move when the stack grows: the child is built before it is pushed.
            Frame child = entriesOf(slots, e.path, first, parent);
            stack.push_back(std::move(child));
        }
    }

    const Volume& volume_;
    Params p_;
    Layout layout_;
    std::string source_;
    int64_t clusterBytes_ = 0;
    int64_t count_ = 0;  // clusters + 2: the FAT entries in use, 0 and 1 included
    std::vector<uint8_t> fat_;
    std::vector<Entry> entries_;
    // The subdirectories' chains, each with its path (a deque would do; the vector is only
    // read by index while the walk grows it, never through a held reference).
    std::vector<std::pair<std::vector<std::string>, Chain>> dirChains_;
    std::vector<Problem> problems_;         // found while loading: parameters, FAT, directories
    std::map<int64_t, Chain> chains_;       // the files' chains, by first cluster
    std::map<int64_t, int32_t> firstUses_;  // entries starting at each cluster
    // The first two chains through each cluster (-1: none), as indexes into userPaths_.
    std::vector<int32_t> firstUser_, secondUser_;
    std::vector<const std::vector<std::string>*> userPaths_;
    bool hasLabel_ = false;
    std::string label_;
};

// --- the write side --------------------------------------------------------------------------
//
// Plans against the Fat12's view of the disk: what it read (the FAT's first copy, the tree,
// the chains and who uses each cluster) and the sectors themselves. Every sector a plan
// touches starts from the disk's bytes; only those whose bytes change are written.

constexpr uint8_t kArchive = 0x20;
constexpr uint32_t kLastValue = 0xFFF;  // the end mark written for a chain's last cluster

class Fat12Editor : public Editor {
  public:
    explicit Fat12Editor(const Fat12& fs) : fs_(fs), p_(fs.p_) {
        clusterBytes_ = fs.clusterBytes_;
        // A FAT sector that no copy holds reads as free; its clusters are never handed out.
        fatSectorHeld_.assign(size_t(p_.perFat), false);
        for (int32_t s = 0; s < p_.perFat; ++s)
            for (int32_t k = 0; k < p_.fats; ++k)
                if (fs.sectorWhole(p_.reserved + int64_t(k) * p_.perFat + s))
                    fatSectorHeld_[size_t(s)] = true;
        // A free cluster that a damaged chain or an entry leads to is not handed out: the
        // other chain would run on into the new file's.
        claimed_.assign(size_t(fs.count_), false);
        for (const Entry& e : fs.entries_) {
            if (e.firstUnit < 2 || e.firstUnit >= fs.count_) continue;
            const Chain chain = followChain(e.firstUnit, fs.count_, fs.table());
            if (chain.complete || chain.fault != ProblemKind::kFreeInChain) continue;
            const int64_t to =
                chain.units.empty() ? e.firstUnit : fatEntry(fs.fat_, chain.units.back());
            if (to >= 2 && to < fs.count_) claimed_[size_t(to)] = true;
        }
    }

    Plan put(const PutRequest& request) const override {
        Plan plan;
        std::vector<std::string> raws;
        if (!parsePath(request.path, &raws, &plan)) return plan;
        if (!request.type.empty())
            return refuse(&plan, EditError::kBadType,
                          "a FAT12 disk keeps no file type ('" + request.type + "' given)");
        if (request.hasLoad || request.hasExec)
            return refuse(&plan, EditError::kBadAddress,
                          "a FAT12 disk keeps no load or exec address");
        Dir dir;
        if (!openParent(raws, &dir, &plan)) return plan;
        const int32_t found = findName(dir, raws.back());
        const bool replacing = found >= 0;
        std::vector<uint8_t> entry(kEntrySize, 0);
        if (replacing) {
            std::copy_n(dir.slots.begin() + std::ptrdiff_t(found) * kEntrySize, kEntrySize,
                        entry.begin());
            if ((entry[kAttributeOffset] & kDirectory) != 0)
                return refuse(&plan, EditError::kNameTaken,
                              joinPath(plan.path) + " is a directory");
        }
        const int64_t size = int64_t(request.data.size());
        const int64_t needed = (size + clusterBytes_ - 1) / clusterBytes_;
        if (size > int64_t(0xFFFFFFFF) || needed > p_.clusters)
            return refuse(&plan, EditError::kTooLarge,
                          std::to_string(size) + " bytes; the disk's data area holds " +
                              std::to_string(p_.clusters * clusterBytes_));
        // The file keeps its own clusters in chain order as far as they suffice; the rest of
        // them are freed, and more are taken at the chain's end.
        const std::vector<int64_t> own =
            replacing ? ownClusters(u16(entry.data() + kClusterOffset)) : std::vector<int64_t>();
        const size_t keep = size_t(std::min(needed, int64_t(own.size())));
        int32_t slot = replacing ? found : freeSlot(dir);
        bool grow = false;
        if (slot < 0 && !canGrow(dir, &plan)) return plan;
        if (slot < 0) {
            grow = true;
            slot = int32_t(dir.slots.size() / kEntrySize);
        }
        std::vector<int64_t> taken;
        if (!takeClusters(needed - int64_t(keep) + (grow ? 1 : 0), &taken, &plan)) return plan;

        Changes changes(fs_);
        std::vector<uint8_t> fat = fs_.fat_;
        // The directory's new cluster comes first, as DOS makes the entry before the data.
        if (grow) growDirectory(&dir, taken.front(), &fat, &changes);
        std::vector<int64_t> chain(own.begin(), own.begin() + std::ptrdiff_t(keep));
        chain.insert(chain.end(), taken.begin() + (grow ? 1 : 0), taken.end());
        for (size_t i = keep; i < own.size(); ++i) {
            setFatEntry(&fat, own[i], 0);
            plan.freed.push_back(own[i]);
        }
        link(chain, &fat);
        writeData(chain, keep, request.data, &changes);

        std::copy_n(raws.back().begin(), kNameSize, entry.begin());
        uint8_t before[4];
        std::copy_n(entry.begin() + kTimeOffset, 4, before);
        if (request.hasDate) encodeDate(request.date, entry.data());
        // A new file and a changed one get the archive bit, as DOS gives a file it writes; a
        // file put back with its own date keeps its attributes (so get and put leave it be).
        if (!replacing || !request.hasDate ||
            !std::equal(before, before + 4, entry.begin() + kTimeOffset))
            entry[kAttributeOffset] = uint8_t(entry[kAttributeOffset] | kArchive);
        putU16LE(entry.data() + kClusterOffset, chain.empty() ? 0 : uint32_t(chain.front()));
        putU32LE(entry.data() + kSizeOffset, uint32_t(size));
        setSlot(dir, slot, entry.data(), &changes);
        plan.action = replacing ? Plan::kReplaced : Plan::kAdded;
        plan.slot = slot;
        plan.units = chain;
        return finish(&plan, fat, &changes);
    }

    Plan remove(const std::vector<std::string>& path) const override {
        Plan plan;
        std::vector<std::string> raws;
        if (!parsePath(path, &raws, &plan)) return plan;
        Dir dir;
        if (!openParent(raws, &dir, &plan)) return plan;
        const int32_t slot = findName(dir, raws.back());
        if (slot < 0)
            return refuse(&plan, EditError::kNoSuchFile, "no file " + joinPath(plan.path));
        const uint8_t* d = dir.slots.data() + size_t(slot) * kEntrySize;
        if ((d[kAttributeOffset] & kDirectory) != 0)
            return refuse(&plan, EditError::kNoSuchFile,
                          joinPath(plan.path) + " is a directory, not a file");
        return deleteEntry(dir, slot, ownClusters(u16(d + kClusterOffset)), Plan::kRemoved, &plan);
    }

    Plan makeDirectory(const std::vector<std::string>& path,
                       const DateTime* date = nullptr) const override {
        Plan plan;
        std::vector<std::string> raws;
        if (!parsePath(path, &raws, &plan)) return plan;
        Dir dir;
        if (!openParent(raws, &dir, &plan)) return plan;
        if (findName(dir, raws.back()) >= 0)
            return refuse(&plan, EditError::kNameTaken, joinPath(plan.path) + " exists");
        int32_t slot = freeSlot(dir);
        if (slot < 0 && !canGrow(dir, &plan)) return plan;
        const bool grow = slot < 0;
        if (grow) slot = int32_t(dir.slots.size() / kEntrySize);
        std::vector<int64_t> taken;
        if (!takeClusters(grow ? 2 : 1, &taken, &plan)) return plan;
        Changes changes(fs_);
        std::vector<uint8_t> fat = fs_.fat_;
        if (grow) growDirectory(&dir, taken.front(), &fat, &changes);
        const int64_t self = taken.back();
        link({self}, &fat);
        // The new directory's cluster: "." (itself) and ".." (its parent, 0 for the root),
        // the rest zeros, so its third slot ends it. All three entries carry the date.
        std::vector<uint8_t> dots(size_t(2) * kEntrySize, 0);
        for (int k = 0; k < 2; ++k) {
            uint8_t* e = dots.data() + size_t(k) * kEntrySize;
            std::memcpy(e, k == 0 ? ".          " : "..         ", kNameSize);
            e[kAttributeOffset] = kDirectory;
            putU16LE(e + kClusterOffset, uint32_t(k == 0 ? self : dir.cluster));
            if (date != nullptr) encodeDate(*date, e);
        }
        zeroCluster(self, &changes);
        if (uint8_t* first = changes.at(fs_.firstSectorOf(self)))
            std::copy(dots.begin(), dots.end(), first);
        std::vector<uint8_t> entry(kEntrySize, 0);
        std::copy_n(raws.back().begin(), kNameSize, entry.begin());
        entry[kAttributeOffset] = kDirectory;
        putU16LE(entry.data() + kClusterOffset, uint32_t(self));
        if (date != nullptr) encodeDate(*date, entry.data());
        setSlot(dir, slot, entry.data(), &changes);
        plan.action = Plan::kMadeDirectory;
        plan.slot = slot;
        plan.units = {self};
        return finish(&plan, fat, &changes);
    }

    Plan removeDirectory(const std::vector<std::string>& path) const override {
        Plan plan;
        std::vector<std::string> raws;
        if (!parsePath(path, &raws, &plan)) return plan;
        Dir dir;
        if (!openParent(raws, &dir, &plan)) return plan;
        const int32_t slot = findName(dir, raws.back());
        const uint8_t* d = slot < 0 ? nullptr : dir.slots.data() + size_t(slot) * kEntrySize;
        if (d == nullptr || (d[kAttributeOffset] & kDirectory) == 0)
            return refuse(&plan, EditError::kNoSuchDirectory,
                          "no directory " + joinPath(plan.path));
        Dir child;
        if (!enter(plan.path, &child))
            return refuse(&plan, EditError::kDamaged,
                          "directory " + joinPath(plan.path) + " cannot be read");
        // Empty: nothing but "." and ".." (slots 0 and 1) and deleted slots before its end.
        int32_t held = 0;
        bool ended = false;
        for (size_t i = 2; i * kEntrySize < child.slots.size() && !ended; ++i) {
            const uint8_t first = child.slots[i * kEntrySize];
            ended = first == kEndMark;
            if (!ended && first != kDeletedMark) ++held;
        }
        if (held > 0)
            return refuse(&plan, EditError::kNotEmpty,
                          joinPath(plan.path) + " holds " + std::to_string(held) + " entr" +
                              (held == 1 ? "y" : "ies"));
        if (!ended && child.broken)
            return refuse(&plan, EditError::kDamaged,
                          "directory " + joinPath(plan.path) + " is cut short before its end");
        return deleteEntry(dir, slot, ownClusters(u16(d + kClusterOffset)), Plan::kRemovedDirectory,
                           &plan);
    }

  private:
    // A directory a change goes into: its slots as read and the logical sectors they are in.
    struct Dir {
        std::vector<std::string> path;  // as list() gives it
        int64_t cluster = 0;            // its first cluster; 0: the root
        const Chain* chain = nullptr;   // a subdirectory's chain
        std::vector<int64_t> sectors;   // logical sectors of its slots, in order
        std::vector<uint8_t> slots;     // whole entries, as far as they could be read
        bool broken = false;            // cut short by a missing sector or a broken chain
    };

    // The sectors a plan changes, each started from the disk's bytes.
    class Changes {
      public:
        explicit Changes(const Fat12& fs) : fs_(fs) {}
        // The bytes of logical sector `logical` to change; null (and the plan is refused)
        // when the disk lacks the sector or holds it short.
        uint8_t* at(int64_t logical) {
            auto it = sectors_.find(logical);
            if (it == sectors_.end()) {
                std::vector<uint8_t> bytes(size_t(fs_.p_.sectorSize));
                if (!fs_.sectorWhole(logical) ||
                    fs_.volume_.readLogical(fs_.layout_, logical, bytes.data()) !=
                        SectorStatus::kOk) {
                    if (missing_.empty()) missing_ = fs_.where(logical);
                    return nullptr;
                }
                it = sectors_.emplace(logical, std::make_pair(bytes, bytes)).first;
            }
            return it->second.second.data();
        }
        const std::string& missing() const { return missing_; }
        // The sectors whose bytes changed, in logical order.
        std::vector<SectorWrite> writes() const {
            std::vector<SectorWrite> out;
            for (const auto& [logical, bytes] : sectors_) {
                if (bytes.first == bytes.second) continue;
                SectorWrite w;
                Volume::locate(fs_.layout_, logical, &w.c, &w.h, &w.r);
                w.data = bytes.second;
                out.push_back(std::move(w));
            }
            return out;
        }

      private:
        const Fat12& fs_;
        std::map<int64_t, std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> sectors_;
        std::string missing_;
    };

    static Plan& refuse(Plan* plan, EditError error, const std::string& detail) {
        plan->error = error;
        plan->detail = detail;
        plan->writes.clear();
        return *plan;
    }

    // Each component's stored bytes into *raws, plan->path set to the path as it will be
    // stored; false (kBadName) for a component DOS cannot store.
    static bool parsePath(const std::vector<std::string>& path, std::vector<std::string>* raws,
                          Plan* plan) {
        plan->path = path;
        if (path.empty()) {
            refuse(plan, EditError::kBadName, "an empty path");
            return false;
        }
        std::vector<std::string> stored;
        for (const std::string& name : path) {
            std::string raw;
            std::string why;
            if (!storedName(name, false, &raw, &why)) {
                refuse(plan, EditError::kBadName,
                       std::string("'").append(name).append("': ").append(why));
                return false;
            }
            raws->push_back(raw);
            stored.push_back(displayName(reinterpret_cast<const uint8_t*>(raw.data())));
        }
        plan->path = stored;
        return true;
    }

    Dir rootDir() const {
        Dir d;
        const Fat12::Slots slots = fs_.readRoot();
        d.slots = slots.bytes;
        d.broken = slots.broken;
        for (int64_t s = 0; s < p_.rootSectors; ++s)
            d.sectors.push_back(p_.rootStart + s);
        return d;
    }

    // The subdirectory `path` as the reader entered it; false when it did not (a first
    // cluster out of range, a loop, a cluster of another directory).
    bool enter(const std::vector<std::string>& path, Dir* dir) const {
        for (const auto& [at, chain] : fs_.dirChains_) {
            if (at != path || chain.units.empty()) continue;
            *dir = Dir();
            dir->path = path;
            dir->cluster = chain.units.front();
            dir->chain = &chain;
            const Fat12::Slots slots =
                fs_.readClusters(chain, std::vector<bool>(size_t(fs_.count_), false));
            dir->slots = slots.bytes;
            dir->broken = slots.broken;
            for (const int64_t c : chain.units)
                for (int32_t k = 0; k < p_.perCluster; ++k)
                    dir->sectors.push_back(fs_.firstSectorOf(c) + k);
            return true;
        }
        return false;
    }

    // The directory that holds the path's last component.
    bool openParent(const std::vector<std::string>& raws, Dir* dir, Plan* plan) const {
        *dir = rootDir();
        for (size_t i = 0; i + 1 < raws.size(); ++i) {
            const int32_t slot = findName(*dir, raws[i]);
            const std::vector<std::string> path(plan->path.begin(),
                                                plan->path.begin() + std::ptrdiff_t(i + 1));
            if (slot < 0 ||
                (dir->slots[size_t(slot) * kEntrySize + kAttributeOffset] & kDirectory) == 0) {
                refuse(plan, EditError::kNoSuchDirectory, "no directory " + joinPath(path));
                return false;
            }
            if (!enter(path, dir)) {
                refuse(plan, EditError::kDamaged,
                       "directory " + joinPath(path) + " cannot be read");
                return false;
            }
        }
        return true;
    }

    // The slot of the file or directory stored as `raw` (volume labels, long-name pieces and
    // deleted entries are not), or -1.
    static int32_t findName(const Dir& dir, const std::string& raw) {
        for (size_t i = 0; (i + 1) * kEntrySize <= dir.slots.size(); ++i) {
            const uint8_t* d = dir.slots.data() + i * kEntrySize;
            if (d[0] == kEndMark) break;
            const uint8_t a = d[kAttributeOffset];
            if (d[0] == kDeletedMark || (a & 0x3F) == kLongName || (a & kVolumeLabel) != 0)
                continue;
            if (std::memcmp(d, raw.data(), kNameSize) == 0) return int32_t(i);
        }
        return -1;
    }

    // The lowest free slot (deleted, or the end mark), or -1. DOS takes the first it meets.
    static int32_t freeSlot(const Dir& dir) {
        for (size_t i = 0; (i + 1) * kEntrySize <= dir.slots.size(); ++i) {
            const uint8_t first = dir.slots[i * kEntrySize];
            if (first == kEndMark || first == kDeletedMark) return int32_t(i);
        }
        return -1;
    }

    // Whether a full directory can take another cluster: a subdirectory whose whole chain was
    // read; the root is fixed (kDirectoryFull).
    bool canGrow(const Dir& dir, Plan* plan) const {
        if (dir.cluster == 0)
            refuse(plan, EditError::kDirectoryFull,
                   "the root directory's " + std::to_string(p_.rootEntries) +
                       " entries are all in use");
        else if (dir.broken || dir.chain == nullptr || !dir.chain->complete)
            refuse(plan, EditError::kDamaged,
                   "directory " + joinPath(dir.path) + " is full and its chain is damaged");
        return plan->ok();
    }

    // The clusters a file or directory starting at `first` holds alone, in chain order: its
    // chain up to the first cluster another chain also claims (from there on, a chain is the
    // other's too) or where it breaks; none when another entry starts at the same cluster.
    std::vector<int64_t> ownClusters(int64_t first) const {
        std::vector<int64_t> own;
        if (first < 2 || first >= fs_.count_) return own;
        const auto uses = fs_.firstUses_.find(first);
        if (uses != fs_.firstUses_.end() && uses->second > 1) return own;
        const auto cached = fs_.chains_.find(first);
        const Chain chain = cached != fs_.chains_.end()
                                ? cached->second
                                : followChain(first, fs_.count_, fs_.table());
        for (const int64_t c : chain.units) {
            if (fs_.secondUser_[size_t(c)] >= 0) break;
            own.push_back(c);
        }
        return own;
    }

    // The `count` lowest free clusters (FAT entry 0, no chain or entry leading to it, its
    // sectors whole, its FAT entry in a sector some copy holds) into *taken; false (kDiskFull) when
    // there are fewer.
    bool takeClusters(int64_t count, std::vector<int64_t>* taken, Plan* plan) const {
        int64_t free = 0;
        std::vector<int8_t> memo(size_t(fs_.count_), -1);
        for (int64_t c = 2; c < fs_.count_; ++c) {
            const size_t at = size_t(c + c / 2);
            if (fatEntry(fs_.fat_, c) != 0 || claimed_[size_t(c)] ||
                !fatSectorHeld_[at / size_t(p_.sectorSize)] ||
                !fatSectorHeld_[(at + 1) / size_t(p_.sectorSize)] ||
                fs_.unreadableSector(c, &memo) >= 0)
                continue;
            ++free;
            if (int64_t(taken->size()) < count) taken->push_back(c);
        }
        if (int64_t(taken->size()) < count) {
            refuse(plan, EditError::kDiskFull,
                   "needs " + std::to_string(count) + " more cluster" + (count == 1 ? "" : "s") +
                       " of " + std::to_string(clusterBytes_) + " bytes, " + std::to_string(free) +
                       " free");
            return false;
        }
        return true;
    }

    // Links `chain` in *fat; its last cluster keeps an end mark it has (so a file put back
    // unchanged leaves its FAT as it was), else gets 0xFFF.
    static void link(const std::vector<int64_t>& chain, std::vector<uint8_t>* fat) {
        for (size_t i = 0; i + 1 < chain.size(); ++i)
            setFatEntry(fat, chain[i], uint32_t(chain[i + 1]));
        if (!chain.empty() && fatEntry(*fat, chain.back()) < kFirstLast)
            setFatEntry(fat, chain.back(), kLastValue);
    }

    void zeroCluster(int64_t cluster, Changes* changes) const {
        for (int32_t k = 0; k < p_.perCluster; ++k)
            if (uint8_t* b = changes->at(fs_.firstSectorOf(cluster) + k))
                std::fill_n(b, p_.sectorSize, uint8_t(0));
    }

    // Adds cluster `cluster` (zeroed) at the end of a full subdirectory's chain.
    void growDirectory(Dir* dir, int64_t cluster, std::vector<uint8_t>* fat,
                       Changes* changes) const {
        setFatEntry(fat, dir->chain->units.back(), uint32_t(cluster));
        setFatEntry(fat, cluster, kLastValue);
        zeroCluster(cluster, changes);
        for (int32_t k = 0; k < p_.perCluster; ++k)
            dir->sectors.push_back(fs_.firstSectorOf(cluster) + k);
        dir->slots.resize(dir->slots.size() + size_t(clusterBytes_), 0);
    }

    // The file's bytes into its clusters. Past the data, a cluster the file kept keeps its
    // old bytes (a file put back unchanged rewrites nothing); a newly taken one is zeroed.
    void writeData(const std::vector<int64_t>& chain, size_t kept, const std::vector<uint8_t>& data,
                   Changes* changes) const {
        const size_t sectorSize = size_t(p_.sectorSize);
        for (size_t i = 0; i < chain.size(); ++i)
            for (int32_t k = 0; k < p_.perCluster; ++k) {
                const size_t from = (i * size_t(p_.perCluster) + size_t(k)) * sectorSize;
                if (i < kept && from >= data.size()) continue;
                uint8_t* b = changes->at(fs_.firstSectorOf(chain[i]) + k);
                if (b == nullptr) continue;
                if (i >= kept) std::fill_n(b, sectorSize, uint8_t(0));
                if (from < data.size())
                    std::copy_n(data.begin() + std::ptrdiff_t(from),
                                std::min(sectorSize, data.size() - from), b);
            }
    }

    // Writes a directory entry into slot `slot`. Taking the end mark's slot, it moves the end
    // mark to the next slot, so that bytes left past the old end never read as entries.
    void setSlot(const Dir& dir, int32_t slot, const uint8_t* entry, Changes* changes) const {
        const auto place = [&](size_t index, const uint8_t* bytes, size_t length) {
            const size_t at = index * kEntrySize;
            const size_t sector = at / size_t(p_.sectorSize);
            if (sector >= dir.sectors.size()) return;
            if (uint8_t* b = changes->at(dir.sectors[sector]))
                std::copy_n(bytes, length, b + at % size_t(p_.sectorSize));
        };
        const size_t next = size_t(slot) + 1;
        const bool wasEnd = size_t(slot) * kEntrySize < dir.slots.size() &&
                            dir.slots[size_t(slot) * kEntrySize] == kEndMark;
        if (wasEnd && (next + 1) * kEntrySize <= dir.slots.size() &&
            dir.slots[next * kEntrySize] != kEndMark)
            place(next, &kEndMark, 1);
        place(size_t(slot), entry, kEntrySize);
    }

    // Marks slot `slot` deleted (0xE5 over its first byte, as DOS does) and frees `own`.
    Plan& deleteEntry(const Dir& dir, int32_t slot, const std::vector<int64_t>& own,
                      Plan::Action action, Plan* plan) const {
        std::vector<uint8_t> fat = fs_.fat_;
        Changes changes(fs_);
        for (const int64_t c : own)
            setFatEntry(&fat, c, 0);
        std::vector<uint8_t> entry(dir.slots.begin() + std::ptrdiff_t(slot) * kEntrySize,
                                   dir.slots.begin() + std::ptrdiff_t(slot + 1) * kEntrySize);
        entry[0] = kDeletedMark;
        setSlot(dir, slot, entry.data(), &changes);
        plan->action = action;
        plan->slot = slot;
        plan->freed = own;
        return finish(plan, fat, &changes);
    }

    // The FAT's changed sectors into every copy that holds them, then the plan's writes;
    // refused (kDamaged) when a sector to write is not on the disk whole.
    Plan& finish(Plan* plan, const std::vector<uint8_t>& fat, Changes* changes) const {
        const size_t sectorSize = size_t(p_.sectorSize);
        for (int32_t s = 0; s < p_.perFat; ++s) {
            const auto from = fat.begin() + std::ptrdiff_t(size_t(s) * sectorSize);
            if (std::equal(from, from + std::ptrdiff_t(sectorSize),
                           fs_.fat_.begin() + std::ptrdiff_t(size_t(s) * sectorSize)))
                continue;
            for (int32_t k = 0; k < p_.fats; ++k) {
                const int64_t logical = p_.reserved + int64_t(k) * p_.perFat + s;
                if (!fs_.sectorWhole(logical)) continue;  // a missing copy cannot be written
                if (uint8_t* b = changes->at(logical)) std::copy_n(from, sectorSize, b);
            }
        }
        if (!changes->missing().empty())
            return refuse(plan, EditError::kDamaged,
                          "sector " + changes->missing() + " is missing or short");
        plan->writes = changes->writes();
        return *plan;
    }

    const Fat12& fs_;
    const Params& p_;
    int64_t clusterBytes_ = 0;
    std::vector<bool> fatSectorHeld_;
    std::vector<bool> claimed_;  // free clusters a damaged chain or an entry names
};

std::unique_ptr<Editor> Fat12::editor() const {
    return std::make_unique<Fat12Editor>(*this);
}

// --- blank disks ---------------------------------------------------------------------------

// Boot sector of a blank disk: +0 EB 3C 90 (a jump to +62)  +3 the formatter's name (8)
// +11 parameter block  +28 hidden sectors (u32, 0)  +36 drive number (0x00: a floppy)
// +38 0x29: the three fields after it are there  +39 volume serial number (u32)
// +43 volume label (11)  +54 file system type "FAT12   " (8)  +62 boot code  +510 55 AA
constexpr int kDriveOffset = 36;
constexpr int kSignatureOffset = 38;
constexpr int kSerialOffset = 39;
constexpr int kLabelOffset = 43;
constexpr int kTypeOffset = 54;
constexpr int kBootCodeOffset = 62;
constexpr int kBootMarkOffset = 510;
// The boot code: cli; hlt; jmp back to the hlt. The disk is not bootable: a machine that
// starts from it stops there.
constexpr uint8_t kBootCode[] = {0xFA, 0xF4, 0xEB, 0xFD};
// What the data area of a freshly formatted disk holds (the format's fill byte).
constexpr uint8_t kFormatFill = 0xE5;

}  // namespace

Detection detectFat12(const Volume& volume) {
    const Finding f = find(volume);
    return {f.confidence, f.evidence};
}

std::unique_ptr<FileSystem> openFat12(const Volume& volume, std::string* why) {
    const Finding f = find(volume);
    if (!f.usable) {
        *why = f.evidence;
        return nullptr;
    }
    return std::make_unique<Fat12>(volume, f);
}

std::vector<std::string> formatTypesFat12() {
    std::vector<std::string> types;
    for (const Standard& s : kStandards)
        types.push_back(s.type);
    return types;
}

// The standard layout of the type (kStandards), as a format writes it: the boot sector with
// its parameter block, every FAT copy empty (the media byte, FF FF, zeros), the root directory
// zeroed but for the volume label's entry, the data area filled with 0xE5. Sectors on each
// track are numbered from 1, in order; every sector of the disk is part of the file system.
bool formatFat12(const std::string& type, const std::string& label, BlankDisk* disk,
                 std::string* why) {
    const Standard* row = nullptr;
    for (const Standard& s : kStandards)
        if (type == s.type) row = &s;
    if (row == nullptr) {
        *why = "no FAT12 disk type " + type;
        return false;
    }
    std::string rawLabel;
    if (!label.empty() && !storedName(label, true, &rawLabel, why)) return false;
    const Params p = standardParams(*row);
    const size_t sectorSize = size_t(p.sectorSize);
    std::vector<uint8_t> flat(size_t(p.total) * sectorSize, 0);
    std::fill(flat.begin() + std::ptrdiff_t(size_t(p.dataStart) * sectorSize), flat.end(),
              kFormatFill);
    uint8_t* boot = flat.data();
    const uint8_t kJump[] = {0xEB, 0x3C, 0x90};
    std::copy(kJump, kJump + 3, boot);
    std::memcpy(boot + 3, "RETRODSK", 8);
    putU16LE(boot + kBytesPerSectorOffset, uint32_t(p.sectorSize));
    boot[kPerClusterOffset] = uint8_t(p.perCluster);
    putU16LE(boot + kReservedOffset, uint32_t(p.reserved));
    boot[kFatsOffset] = uint8_t(p.fats);
    putU16LE(boot + kRootEntriesOffset, uint32_t(p.rootEntries));
    putU16LE(boot + kTotal16Offset, uint32_t(p.total));
    boot[kMediaOffset] = p.media;
    putU16LE(boot + kPerFatOffset, uint32_t(p.perFat));
    putU16LE(boot + kPerTrackOffset, uint32_t(p.perTrack));
    putU16LE(boot + kHeadsOffset, uint32_t(p.heads));
    boot[kDriveOffset] = 0x00;
    boot[kSignatureOffset] = 0x29;
    putU32LE(boot + kSerialOffset, 0);  // no clock here: the serial number is 0
    std::memcpy(boot + kLabelOffset, rawLabel.empty() ? "NO NAME    " : rawLabel.data(), kNameSize);
    std::memcpy(boot + kTypeOffset, "FAT12   ", 8);
    std::copy(kBootCode, kBootCode + sizeof kBootCode, boot + kBootCodeOffset);
    boot[kBootMarkOffset] = 0x55;
    boot[kBootMarkOffset + 1] = 0xAA;
    for (int32_t k = 0; k < p.fats; ++k) {
        uint8_t* fat = flat.data() + size_t(p.reserved + int64_t(k) * p.perFat) * sectorSize;
        fat[0] = p.media;
        fat[1] = 0xFF;
        fat[2] = 0xFF;
    }
    if (!rawLabel.empty()) {
        uint8_t* e = flat.data() + size_t(p.rootStart) * sectorSize;
        std::memcpy(e, rawLabel.data(), kNameSize);
        e[kAttributeOffset] = kVolumeLabel;
    }
    uint8_t n = 0;
    while ((128 << n) < p.sectorSize)
        ++n;
    disk->media = row->d88Media;
    disk->tracks.assign(size_t(row->cylinders) * size_t(row->heads), {});
    size_t at = 0;
    for (size_t t = 0; t < disk->tracks.size(); ++t)
        for (int32_t r = 1; r <= row->perTrack; ++r) {
            BlankSector s;
            s.c = uint8_t(t / size_t(row->heads));
            s.h = uint8_t(t % size_t(row->heads));
            s.r = uint8_t(r);
            s.n = n;
            s.data.assign(flat.begin() + std::ptrdiff_t(at),
                          flat.begin() + std::ptrdiff_t(at + sectorSize));
            at += sectorSize;
            disk->tracks[t].push_back(std::move(s));
        }
    return true;
}

}  // namespace retrodisk::fs
