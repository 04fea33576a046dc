// Hu-BASIC disks (2D, 2DD, 2HD of 256-byte sectors): a one-byte-per-cluster FAT (2D) or a FAT
// whose entries are split into a low and a high half (2DD, 2HD), 16-sector clusters counted
// from logical sector 0, and a 16-sector directory of 32-byte entries. The byte tables are in
// docs/formats.md ("Hu-BASIC file system").
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "chain.h"
#include "families.h"

namespace retrodisk::fs {

namespace {

constexpr int32_t kSectorSize = 256;
constexpr int32_t kClusterSectors = 16;
constexpr int32_t kClusterBytes = kClusterSectors * kSectorSize;
constexpr int32_t kDirectorySectors = 16;
constexpr int32_t kEntrySize = 32;
constexpr int32_t kEntriesPerSector = kSectorSize / kEntrySize;
constexpr int32_t kSlots = kDirectorySectors * kEntriesPerSector;  // 128
// A split FAT sector: byte i is the low part of an entry, byte kHalf + i its high part.
constexpr int32_t kHalf = 128;

// Directory entry, 32 bytes: +0 mode  +1 name (13)  +14 extension (3)  +17 password
// +18 size (u16 LE)  +20 load (u16 LE)  +22 exec (u16 LE)  +24 date: year BCD, month (high
// nibble) and weekday (low nibble), day BCD  +27 time: hour BCD, minute BCD
// +29 start cluster, highest part  +30 its low 7 bits  +31 its high part (times 128)
constexpr int kModeOffset = 0;
constexpr int kNameOffset = 1;
constexpr int kNameSize = 13;
constexpr int kExtensionOffset = 14;
constexpr int kExtensionSize = 3;
constexpr int kPasswordOffset = 17;
constexpr int kSizeOffset = 18;
constexpr int kLoadOffset = 20;
constexpr int kExecOffset = 22;
constexpr int kYearOffset = 24;
constexpr int kMonthOffset = 25;
constexpr int kDayOffset = 26;
constexpr int kHourOffset = 27;
constexpr int kMinuteOffset = 28;
constexpr int kStartTopOffset = 29;
constexpr int kStartLowOffset = 30;
constexpr int kStartHighOffset = 31;

// Mode byte. 0x00 and 0xFF are whole values; the rest are bits.
constexpr uint8_t kModeDeleted = 0x00;
constexpr uint8_t kModeEnd = 0xFF;
constexpr uint8_t kModeBinary = 0x01;
constexpr uint8_t kModeBasic = 0x02;
constexpr uint8_t kModeAscii = 0x0C;  // either bit
constexpr uint8_t kModeHidden = 0x10;
constexpr uint8_t kModeVerify = 0x20;
constexpr uint8_t kModeReadOnly = 0x40;
constexpr uint8_t kModeDirectory = 0x80;

// FAT values (a 2D byte, or the low part of a split entry whose high part is 0).
constexpr uint8_t kFatFree = 0x00;
constexpr uint8_t kFatLastFirst = 0x80;  // last cluster, 1 sector used ...
constexpr uint8_t kFatLastEnd = 0x8F;    // ... to 16 sectors used
constexpr uint8_t kFatSystem = 0xFF;
constexpr uint8_t kFatFirstEntry = 0x01;  // entry 0 of every Hu-BASIC FAT

// What the format writes in every sector it does not give a structure (the real disk's).
constexpr uint8_t kFormatFill = 0xE5;

// One of the three disks, by where its structures are (logical sectors, 0-based).
struct Format {
    const char* name;
    int32_t cylinders;
    int32_t sectorsPerTrack;
    int32_t clusters;
    int32_t reserved;  // clusters 0 .. reserved - 1 hold the system: never a file's
    int32_t fatFirst;
    int32_t fatSectors;
    int32_t directoryFirst;
    bool split;  // entries split into low and high halves
};

const Format kFormats[] = {
    {"2D", 40, 16, 80, 2, 14, 1, 16, false},
    {"2DD", 80, 16, 160, 2, 14, 2, 16, true},
    {"2HD", 77, 26, 250, 3, 28, 2, 32, true},
};

// The format the disk's geometry shows: two heads of 256-byte sectors, 16 or 26 to a track,
// and a cylinder count within 4 of the format's (images are often cut short or padded).
const Format* formatOf(const Shape& shape) {
    if (shape.heads != 2 || shape.sectorSize != kSectorSize) return nullptr;
    for (const Format& f : kFormats)
        if (shape.sectorsPerTrack == f.sectorsPerTrack &&
            std::abs(shape.cylinders - f.cylinders) <= 4)
            return &f;
    return nullptr;
}

Layout layoutOf(const Format& f) {
    return {f.cylinders, 2, f.sectorsPerTrack, kSectorSize, 1};
}

std::string hex2(uint32_t b) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", unsigned(b & 0xFF));
    return text;
}

std::string where(const Layout& layout, int64_t logical) {
    int32_t c = 0, h = 0, r = 0;
    Volume::locate(layout, logical, &c, &h, &r);
    return "C" + std::to_string(c) + " H" + std::to_string(h) + " R" + std::to_string(r);
}

std::string shapeText(const Format& f) {
    return std::string(f.name) + " " + std::to_string(f.cylinders) + " x 2 x " +
           std::to_string(f.sectorsPerTrack) + " x 256";
}

// The FAT sectors as read, and the rules of their entries.
struct Fat {
    const Format* format = nullptr;
    std::vector<uint8_t> bytes;        // fatSectors x 256
    std::vector<SectorStatus> status;  // of each FAT sector

    void load(const Volume& volume, const Format& f) {
        format = &f;
        bytes.assign(size_t(f.fatSectors * kSectorSize), 0);
        status.clear();
        for (int32_t s = 0; s < f.fatSectors; ++s)
            status.push_back(
                volume.readLogical(layoutOf(f), f.fatFirst + s, bytes.data() + s * kSectorSize));
    }
    // A freshly formatted FAT: entry 0 is 01, the other reserved entries 8F, the clusters of
    // the disk free, and the bytes past the last cluster's entry that a FAT sector has room
    // for 8F, as the real 2D disk has them, so that no allocation takes a cluster that is not
    // there. The high parts of a split FAT are all 00.
    static Fat blank(const Format& f) {
        Fat fat;
        fat.format = &f;
        fat.bytes.assign(size_t(f.fatSectors * kSectorSize), kFatFree);
        fat.status.assign(size_t(f.fatSectors), SectorStatus::kOk);
        const int64_t room = f.split ? int64_t(f.fatSectors) * kHalf : kHalf;
        for (int64_t k = 0; k < room; ++k)
            fat.set(k, k == 0                              ? kFatFirstEntry
                       : k < f.reserved || k >= f.clusters ? kFatLastEnd
                                                           : kFatFree);
        return fat;
    }
    // Where cluster k's low part is (k < 128 per FAT sector); its high part is kHalf further
    // on in a split FAT. The 2D FAT keeps one byte per cluster; its bytes 128 on are not
    // entries (they read 00, 8F or anything).
    size_t lowAt(int64_t k) const {
        return size_t(format->split ? (k / kHalf) * kSectorSize + k % kHalf : k);
    }
    uint8_t low(int64_t k) const { return bytes[lowAt(k)]; }
    uint8_t high(int64_t k) const { return format->split ? bytes[lowAt(k) + kHalf] : 0; }
    // Stores entry k: `lo`, and `hi` where the FAT has high parts (2D links are below 80).
    void set(int64_t k, uint8_t lo, uint8_t hi = 0) {
        bytes[lowAt(k)] = lo;
        if (format->split) bytes[lowAt(k) + kHalf] = hi;
    }
    // A link to cluster `next`: lo = next % 128, hi = next / 128. The link to cluster 128 is
    // 00 01; "80 00" would read as an end code.
    void link(int64_t k, int64_t next) { set(k, uint8_t(next % kHalf), uint8_t(next / kHalf)); }
    // The end code of a last cluster whose first `used` sectors (1..16) hold the file.
    void last(int64_t k, int32_t used) { set(k, uint8_t(kFatLastFirst + used - 1)); }
    // A value that is none of free, last, system or a link (a low part 0x90..0xFE, or an end
    // code with a high part): the walk treats it as bad.
    bool invalid(int64_t k) const {
        const uint8_t lo = low(k), hi = high(k);
        if (lo == kFatSystem) return false;
        if (lo >= kFatLastFirst) return lo > kFatLastEnd || hi != 0;
        return false;
    }
    // Entry k as the chain walk reads it. A link is lo + 128 * hi with lo below 0x80: the
    // link to cluster 128 is lo 00, hi 01 (lo 80 would be an end code).
    Unit unit(int64_t k) const {
        Unit u;
        if (k < format->reserved) {
            u.state = Unit::kReserved;
            return u;
        }
        const uint8_t lo = low(k), hi = high(k);
        if (lo == kFatSystem) {
            u.state = Unit::kReserved;
        } else if (lo == kFatFree && hi == 0) {
            u.state = Unit::kFree;
        } else if (lo >= kFatLastFirst) {
            u.state = invalid(k) ? Unit::kBad : Unit::kLast;
            u.used = (lo & 0x0F) + 1;
        } else {
            u.state = Unit::kNext;
            u.next = int64_t(lo) + kHalf * int64_t(hi);
        }
        return u;
    }
    // Valid for detection: free, last, system, or a link to a cluster of the disk.
    bool valid(int64_t k) const {
        const uint8_t lo = low(k), hi = high(k);
        if (lo == kFatSystem) return true;
        if (lo >= kFatLastFirst) return !invalid(k);
        return int64_t(lo) + kHalf * int64_t(hi) < format->clusters;
    }
};

// One used slot of the directory.
struct Record {
    Entry entry;
    uint8_t raw[kEntrySize] = {};
    int64_t start = -1;
    std::string badStart;  // why the start cluster cannot be right; empty when it can
    uint32_t sizeField = 0;
    bool sized = false;  // binary or BASIC: the size field is the file's length
    Chain chain;
};

// Hours and minutes are stored only as BCD; a date is taken when day and month make sense.
// Two-digit years: 80-99 are 1980-1999, 00-79 are 2000-2079 (the machines came out in 1982;
// the real disk's 22 is 2022).
bool readDate(const uint8_t* e, DateTime* date, int32_t* weekday) {
    const int32_t year = fromBcd(e[kYearOffset]);
    const int32_t month = e[kMonthOffset] >> 4;
    const int32_t day = fromBcd(e[kDayOffset]);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31) return false;
    date->year = year >= 80 ? 1900 + year : 2000 + year;
    date->month = month;
    date->day = day;
    *weekday = e[kMonthOffset] & 0x0F;
    const int32_t hour = fromBcd(e[kHourOffset]);
    const int32_t minute = fromBcd(e[kMinuteOffset]);
    date->hasTime = hour >= 0 && hour < 24 && minute >= 0 && minute < 60;
    if (date->hasTime) {
        date->hour = hour;
        date->minute = minute;
    }
    return true;
}

std::string typeOf(uint8_t mode) {
    if (mode & kModeDirectory) return "directory";
    if (mode & kModeBasic) return "basic";
    if (mode & kModeBinary) return "binary";
    if (mode & kModeAscii) return "ascii";
    return "data";
}

// Letters for mode bits 4-6: H hidden (0x10), V verify (0x20; one source calls it
// read/write), R read-only (0x40).
std::string attributeLetters(uint8_t mode) {
    std::string text;
    if (mode & kModeHidden) text += 'H';
    if (mode & kModeVerify) text += 'V';
    if (mode & kModeReadOnly) text += 'R';
    return text;
}

class HuBasic : public FileSystem {
  public:
    HuBasic(const Volume& volume, const Format& format)
        : volume_(volume), format_(format), layout_(layoutOf(format)) {
        fat_.load(volume, format);
        directory_.assign(size_t(kDirectorySectors * kSectorSize), 0);
        for (int32_t s = 0; s < kDirectorySectors; ++s)
            directoryStatus_.push_back(volume.readLogical(layout_, format.directoryFirst + s,
                                                          directory_.data() + s * kSectorSize));
        readIpl();
        readDirectory();
    }

    Kind kind() const override { return Kind::kHuBasic; }

    std::string describe() const override {
        std::string text = shapeText(format_) + ": " + std::to_string(format_.clusters) +
                           " clusters of 16 sectors (4096 bytes), clusters 0-" +
                           std::to_string(format_.reserved - 1) + " reserved; FAT at " +
                           where(layout_, format_.fatFirst);
        if (format_.fatSectors > 1)
            text += "-R" +
                    std::to_string(format_.fatFirst % format_.sectorsPerTrack + format_.fatSectors);
        text += format_.split ? " (entries split: low byte i, high byte 128 + i)" : "";
        text +=
            "; directory of 128 entries at " + where(layout_, format_.directoryFirst) + "-R" +
            std::to_string(format_.directoryFirst % format_.sectorsPerTrack + kDirectorySectors);
        if (!ipl_.empty()) text += "; IPL entry at C0 H0 R1: " + ipl_;
        return text;
    }

    std::vector<Entry> list() const override {
        std::vector<Entry> entries;
        for (const Record& r : records_)
            entries.push_back(r.entry);
        return entries;
    }

    FileData read(const Entry& entry) const override {
        FileData out;
        const Record* r = recordAt(entry.slot);
        if (r == nullptr) {
            out.problem = {ProblemKind::kBadEntry, entry.path, {}, "no such entry"};
            return out;
        }
        if (r->entry.directory) {
            out.problem = {ProblemKind::kBadEntry,
                           r->entry.path,
                           {},
                           "a subdirectory: its layout is not read"};
            return out;
        }
        collect(*r, &out);
        return out;
    }

    FreeSpace freeSpace() const override {
        FreeSpace space;
        space.unitBytes = kClusterBytes;
        for (int64_t k = format_.reserved; k < format_.clusters; ++k)
            if (fat_.unit(k).state == Unit::kFree) ++space.units;
        return space;
    }

    std::vector<Problem> check() const override {
        std::vector<Problem> problems;
        for (int32_t s = 0; s < format_.fatSectors; ++s)
            if (fat_.status[size_t(s)] != SectorStatus::kOk)
                problems.push_back({ProblemKind::kMissingSector,
                                    {},
                                    "FAT",
                                    "FAT sector " + where(layout_, format_.fatFirst + s) +
                                        " is missing or short"});
        for (int32_t s = 0; s < kDirectorySectors; ++s)
            if (directoryStatus_[size_t(s)] != SectorStatus::kOk)
                problems.push_back({ProblemKind::kMissingSector,
                                    {},
                                    "directory",
                                    "directory sector " +
                                        where(layout_, format_.directoryFirst + s) +
                                        " is missing or short"});
        int64_t invalid = 0, firstInvalid = -1;
        for (int64_t k = format_.reserved; k < format_.clusters; ++k)
            if (fat_.invalid(k)) {
                if (invalid++ == 0) firstInvalid = k;
            }
        if (invalid > 0)
            problems.push_back(
                {ProblemKind::kBadParameters,
                 {},
                 "FAT",
                 std::to_string(invalid) + " entries hold no valid value (first cluster " +
                     std::to_string(firstInvalid) + ": " + hex2(fat_.low(firstInvalid)) + " " +
                     hex2(fat_.high(firstInvalid)) + ")"});
        std::vector<ChainOwner> owners;
        for (const Record& r : records_) {
            if (!r.badStart.empty()) {
                problems.push_back({ProblemKind::kBadEntry, r.entry.path, {}, r.badStart});
                continue;
            }
            owners.push_back({r.entry.path, &r.chain});
            if (r.entry.directory) {
                if (!r.chain.complete)
                    problems.push_back({r.chain.fault, r.entry.path, {}, r.chain.detail});
                continue;
            }
            FileData data;
            collect(r, &data, false);
            if (!data.complete) problems.push_back(data.problem);
        }
        checkChains(
            owners, format_.clusters, [this](int64_t k) { return fat_.unit(k); }, &problems);
        return problems;
    }

  private:
    const Record* recordAt(int32_t slot) const {
        for (const Record& r : records_)
            if (r.entry.slot == slot) return &r;
        return nullptr;
    }

    // The IPL entry (mode 01, a label, "Sys", ...) when C0 H0 R1 holds one.
    void readIpl() {
        uint8_t ipl[kEntrySize] = {};
        if (volume_.read(0, 0, 1, ipl, kEntrySize) != SectorStatus::kOk || ipl[0] != 0x01) return;
        const std::string label(reinterpret_cast<const char*>(ipl + kNameOffset),
                                size_t(kNameSize + kExtensionSize));
        ipl_ = "mode 01, label \"" + trimRight(label) + "\"";
    }

    // Slots up to the first end mark (a full directory has none); deleted slots skipped.
    // A missing directory sector reads as zeros, i.e. deleted slots, so the ones after it
    // are still found; check() names the sector.
    void readDirectory() {
        for (int32_t slot = 0; slot < kSlots; ++slot) {
            const uint8_t* e = directory_.data() + slot * kEntrySize;
            if (e[kModeOffset] == kModeEnd) break;
            if (e[kModeOffset] == kModeDeleted) continue;
            Record r;
            std::copy(e, e + kEntrySize, r.raw);
            parseEntry(slot, &r);
            records_.push_back(std::move(r));
        }
    }

    void parseEntry(int32_t slot, Record* r) const {
        const uint8_t* e = r->raw;
        const uint8_t mode = e[kModeOffset];
        Entry& entry = r->entry;
        const std::string name(reinterpret_cast<const char*>(e + kNameOffset), size_t(kNameSize));
        const std::string extension(reinterpret_cast<const char*>(e + kExtensionOffset),
                                    size_t(kExtensionSize));
        entry.rawName = name + extension;
        const std::string ext = trimRight(extension);
        entry.path = {trimRight(name) + (ext.empty() ? "" : "." + ext)};
        entry.slot = slot;
        entry.type = typeOf(mode);
        entry.directory = (mode & kModeDirectory) != 0;
        entry.attributes = mode;
        entry.attributeText = attributeLetters(mode);
        r->sizeField = uint32_t(e[kSizeOffset] | e[kSizeOffset + 1] << 8);
        r->sized = entry.type == "binary" || entry.type == "basic";
        if (!entry.directory) {
            entry.hasLoad = entry.hasExec = true;
            entry.load = uint32_t(e[kLoadOffset] | e[kLoadOffset + 1] << 8);
            entry.exec = uint32_t(e[kExecOffset] | e[kExecOffset + 1] << 8);
        }
        int32_t weekday = 0;
        entry.hasDate = readDate(e, &entry.date, &weekday);
        entry.own.push_back({"password", false, e[kPasswordOffset], {}});
        entry.own.push_back({"size_field", false, r->sizeField, {}});
        if (entry.hasDate) entry.own.push_back({"weekday", false, weekday, {}});

        const uint8_t lo = e[kStartLowOffset];
        r->start =
            int64_t(e[kStartTopOffset]) << 16 | int64_t(e[kStartHighOffset]) * kHalf | (lo & 0x7F);
        entry.firstUnit = r->start;
        if (lo >= kHalf)
            r->badStart = "start cluster byte +30 is " + hex2(lo) + ": its top bit must be 0";
        else if (r->start >= format_.clusters)
            r->badStart = "start cluster " + std::to_string(r->start) + " is past the last (" +
                          std::to_string(format_.clusters - 1) + ")";
        else if (r->start < format_.reserved)
            r->badStart = "start cluster " + std::to_string(r->start) + " is reserved";
        if (r->badStart.empty())
            r->chain =
                followChain(r->start, format_.clusters, [this](int64_t k) { return fat_.unit(k); });
        entry.size = entry.directory ? 0
                     : r->sized      ? int64_t(r->sizeField)
                                     : chainSectors(r->chain) * kSectorSize;
    }

    // Sectors in a chain: 16 per cluster, the last cluster's count from its end code.
    static int64_t chainSectors(const Chain& chain) {
        const int64_t n = int64_t(chain.units.size());
        if (n == 0) return 0;
        return chain.complete ? (n - 1) * kClusterSectors + chain.lastUsed : n * kClusterSectors;
    }

    // Reads a file's sectors into out->bytes (when keep) and says whether it is whole:
    // binary and BASIC files up to their size field, the others the chain's whole sectors.
    void collect(const Record& r, FileData* out, bool keep = true) const {
        const std::vector<std::string>& path = r.entry.path;
        if (!r.badStart.empty()) {
            out->problem = {ProblemKind::kBadEntry, path, {}, r.badStart};
            return;
        }
        const int64_t inChain = chainSectors(r.chain);
        const int64_t want =
            r.sized ? (int64_t(r.sizeField) + kSectorSize - 1) / kSectorSize : inChain;
        int64_t done = 0;
        uint8_t sector[kSectorSize];
        bool missing = false;
        for (size_t i = 0; i < r.chain.units.size() && done < want && !missing; ++i) {
            const int64_t first = r.chain.units[i] * kClusterSectors;
            for (int32_t j = 0; j < kClusterSectors && done < want; ++j) {
                if (volume_.readLogical(layout_, first + j, sector) != SectorStatus::kOk) {
                    out->problem = {ProblemKind::kMissingSector,
                                    path,
                                    {},
                                    "sector " + where(layout_, first + j) + " (cluster " +
                                        std::to_string(r.chain.units[i]) + ") is missing or short"};
                    missing = true;
                    break;
                }
                if (keep) out->bytes.insert(out->bytes.end(), sector, sector + kSectorSize);
                ++done;
            }
        }
        if (r.sized && keep && out->bytes.size() > r.sizeField) out->bytes.resize(r.sizeField);
        if (missing) return;
        if (!r.chain.complete) {
            out->problem = {r.chain.fault, path, {}, r.chain.detail};
            return;
        }
        if (done < want) {
            out->problem = {ProblemKind::kSizeMismatch,
                            path,
                            {},
                            "size field says " + std::to_string(r.sizeField) +
                                " bytes, the chain holds " + std::to_string(inChain) +
                                " sectors (" + std::to_string(inChain * kSectorSize) + " bytes)"};
            return;
        }
        out->complete = true;
    }

    const Volume& volume_;
    const Format& format_;
    Layout layout_;
    Fat fat_;
    std::vector<uint8_t> directory_;
    std::vector<SectorStatus> directoryStatus_;
    std::string ipl_;
    std::vector<Record> records_;
};

// Live directory entries whose start cluster cannot be right; the first one in *first.
int32_t badStarts(const Volume& volume, const Format& f, const Fat& fat, std::string* first) {
    const Layout layout = layoutOf(f);
    uint8_t sector[kSectorSize];
    int32_t bad = 0;
    for (int32_t s = 0; s < kDirectorySectors; ++s) {
        if (volume.readLogical(layout, f.directoryFirst + s, sector) != SectorStatus::kOk) continue;
        for (int32_t i = 0; i < kEntriesPerSector; ++i) {
            const uint8_t* e = sector + i * kEntrySize;
            if (e[kModeOffset] == kModeEnd) return bad;
            if (e[kModeOffset] == kModeDeleted) continue;
            const int64_t start = int64_t(e[kStartTopOffset]) << 16 |
                                  int64_t(e[kStartHighOffset]) * kHalf | e[kStartLowOffset];
            if (e[kStartLowOffset] < kHalf && start >= f.reserved && start < f.clusters &&
                fat.unit(start).state != Unit::kFree)
                continue;
            if (bad++ == 0)
                *first = "entry " + std::to_string(s * kEntriesPerSector + i) + " at " +
                         where(layout, f.directoryFirst + s) + " starts at cluster " +
                         std::to_string(start);
        }
    }
    return bad;
}

}  // namespace

// Entry 0 of the FAT is 01 (clusters 0 and 1 hold the system: "01 8F"); the rest must read as
// FAT values: sure when at least 95% of the entries are valid, the reserved entries are end or
// system codes, the directory's first sector is there and no live entry starts on a free,
// reserved or missing cluster.
Detection detectHuBasic(const Volume& volume) {
    Detection d;
    const Shape& shape = volume.shape();
    const Format* f = formatOf(shape);
    if (f == nullptr) {
        d.evidence = "geometry " + std::to_string(shape.cylinders) + " x " +
                     std::to_string(shape.heads) + " x " + std::to_string(shape.sectorsPerTrack) +
                     " x " + std::to_string(shape.sectorSize) + " is none of 2D, 2DD, 2HD";
        return d;
    }
    const Layout layout = layoutOf(*f);
    Fat fat;
    fat.load(volume, *f);
    const std::string at = "FAT at " + where(layout, f->fatFirst);
    if (fat.status[0] != SectorStatus::kOk) {
        d.evidence = at + " is missing or short; " + shapeText(*f);
        return d;
    }
    std::string head;
    for (int64_t k = 0; k < 4; ++k)
        head += hex2(fat.low(k)) + " ";
    if (fat.low(0) != kFatFirstEntry || fat.high(0) != 0) {
        d.evidence = at + ": " + head + "...: entry 0 is not 01; " + shapeText(*f);
        return d;
    }
    int64_t valid = 0;
    for (int64_t k = 0; k < f->clusters; ++k)
        if (fat.valid(k)) ++valid;
    bool reservedOk = true;
    for (int64_t k = 1; k < f->reserved; ++k)
        reservedOk = reservedOk && fat.high(k) == 0 &&
                     (fat.low(k) == kFatSystem ||
                      (fat.low(k) >= kFatLastFirst && fat.low(k) <= kFatLastEnd));
    d.evidence = at + ": " + head + "..., " + std::to_string(valid) + " of " +
                 std::to_string(f->clusters) + " entries valid; " + shapeText(*f);
    const int64_t share = valid * 100 / f->clusters;
    d.confidence = int(std::min<int64_t>(share * 80 / 100, 80));
    if (!reservedOk) {
        d.evidence += "; reserved entries are not end codes";
        d.confidence = std::min(d.confidence, 50);
        return d;
    }
    uint8_t sector[kSectorSize];
    if (volume.readLogical(layout, f->directoryFirst, sector) != SectorStatus::kOk) {
        d.evidence += "; directory sector " + where(layout, f->directoryFirst) + " missing";
        d.confidence = std::min(d.confidence, 50);
        return d;
    }
    std::string first;
    if (badStarts(volume, *f, fat, &first) > 0) {
        d.evidence += "; " + first;
        d.confidence = std::min(d.confidence, 60);
        return d;
    }
    if (valid * 100 >= f->clusters * 95)
        d.confidence = kSure + int((valid * 100 - f->clusters * 95) * 2 / f->clusters);
    return d;
}

std::unique_ptr<FileSystem> openHuBasic(const Volume& volume, std::string* why) {
    const Shape& shape = volume.shape();
    const Format* f = formatOf(shape);
    if (f == nullptr) {
        *why = "the disk is " + std::to_string(shape.cylinders) + " x " +
               std::to_string(shape.heads) + " x " + std::to_string(shape.sectorsPerTrack) + " x " +
               std::to_string(shape.sectorSize) + ", none of 2D, 2DD, 2HD";
        return nullptr;
    }
    uint8_t sector[kSectorSize];
    if (volume.readLogical(layoutOf(*f), f->fatFirst, sector) != SectorStatus::kOk) {
        *why = "the FAT sector " + where(layoutOf(*f), f->fatFirst) + " is missing";
        return nullptr;
    }
    return std::make_unique<HuBasic>(volume, *f);
}

// Blank disks as the machine's format leaves them, after the real 2D disk: every sector 0xE5
// (the IPL sector too: a data disk does not boot), the FAT "01 8F" ("01 8F 8F" on 2HD) with
// every other entry free, entries past the last cluster 0x8F so that nothing takes them, and
// a directory of end marks (0xFF) only.
std::vector<std::string> formatTypesHuBasic() {
    return {"2d", "2dd", "2hd"};
}

bool formatHuBasic(const std::string& type, const std::string& /*label*/, BlankDisk* disk,
                   std::string* why) {
    const Format* f = type == "2d"    ? &kFormats[0]
                      : type == "2dd" ? &kFormats[1]
                      : type == "2hd" ? &kFormats[2]
                                      : nullptr;
    if (f == nullptr) {
        *why = "no Hu-BASIC disk type " + type + " (2d, 2dd, 2hd)";
        return false;
    }
    disk->media = f == &kFormats[0] ? 0x00 : f == &kFormats[1] ? 0x10 : 0x20;
    disk->tracks.assign(size_t(f->cylinders * 2), {});
    for (int32_t t = 0; t < f->cylinders * 2; ++t)
        for (int32_t r = 1; r <= f->sectorsPerTrack; ++r)
            disk->tracks[size_t(t)].push_back(
                {uint8_t(t / 2), uint8_t(t % 2), uint8_t(r), 1, false,
                 std::vector<uint8_t>(size_t(kSectorSize), kFormatFill)});
    const Layout layout = layoutOf(*f);
    auto sectorAt = [&](int64_t logical) -> std::vector<uint8_t>& {
        int32_t c = 0, h = 0, r = 0;
        Volume::locate(layout, logical, &c, &h, &r);
        return disk->tracks[size_t(c * 2 + h)][size_t(r - 1)].data;
    };
    Fat fat = Fat::blank(*f);
    for (int32_t s = 0; s < f->fatSectors; ++s)
        std::copy_n(fat.bytes.begin() + s * kSectorSize, kSectorSize,
                    sectorAt(f->fatFirst + s).begin());
    for (int32_t s = 0; s < kDirectorySectors; ++s)
        std::fill_n(sectorAt(f->directoryFirst + s).begin(), kSectorSize, kModeEnd);
    return true;
}

}  // namespace retrodisk::fs
