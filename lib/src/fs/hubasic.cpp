// Hu-BASIC disks (2D, 2DD, 2HD of 256-byte sectors): a one-byte-per-cluster FAT (2D) or a FAT
// whose entries are split into a low and a high half (2DD, 2HD), 16-sector clusters counted
// from logical sector 0, and a 16-sector directory of 32-byte entries. The byte tables are in
// docs/formats.md ("Hu-BASIC file system").
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <tuple>

#include "chain.h"
#include "families.h"

#include <retrodisk/fs/edit.h>

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
    bool split;     // entries split into low and high halves
    uint8_t media;  // the D88 media byte of a blank disk
};

const Format kFormats[] = {
    {"2D", 40, 16, 80, 2, 14, 1, 16, false, 0x00},
    {"2DD", 80, 16, 160, 2, 14, 2, 16, true, 0x10},
    {"2HD", 77, 26, 250, 3, 28, 2, 32, true, 0x20},
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
    int32_t c = 0;
    int32_t h = 0;
    int32_t r = 0;
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
        bytes.assign(size_t(f.fatSectors) * size_t(kSectorSize), 0);
        status.clear();
        for (int32_t s = 0; s < f.fatSectors; ++s)
            status.push_back(volume.readLogical(layoutOf(f), f.fatFirst + s,
                                                bytes.data() + std::ptrdiff_t(s) * kSectorSize));
    }
    // A freshly formatted FAT: entry 0 is 01, the other reserved entries 8F, the clusters of
    // the disk free, and the bytes past the last cluster's entry that a FAT sector has room
    // for 8F, as the real 2D disk has them, so that no allocation takes a cluster that is not
    // there. The high parts of a split FAT are all 00.
    static Fat blank(const Format& f) {
        Fat fat;
        fat.format = &f;
        fat.bytes.assign(size_t(f.fatSectors) * size_t(kSectorSize), kFatFree);
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
        const uint8_t lo = low(k);
        const uint8_t hi = high(k);
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
        const uint8_t lo = low(k);
        const uint8_t hi = high(k);
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
        const uint8_t lo = low(k);
        const uint8_t hi = high(k);
        if (lo == kFatSystem) return true;
        if (lo >= kFatLastFirst) return !invalid(k);
        return int64_t(lo) + kHalf * int64_t(hi) < format->clusters;
    }
};

// The start cluster of an entry: byte 29 its highest part, byte 30 its low 7 bits, byte 31 its
// high part times 128. A byte 30 with its top bit set is the caller's to refuse.
int64_t startOf(const uint8_t* e) {
    return int64_t(e[kStartTopOffset]) << 16 | int64_t(e[kStartHighOffset]) * kHalf |
           (e[kStartLowOffset] & 0x7F);
}

void setStart(uint8_t* e, int64_t cluster) {
    e[kStartTopOffset] = 0;
    e[kStartLowOffset] = uint8_t(cluster % kHalf);
    e[kStartHighOffset] = uint8_t(cluster / kHalf);
}

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

uint8_t toBcd(int32_t v) {
    return uint8_t(v / 10 << 4 | v % 10);
}

// The day of the week, 0 Sunday .. 6 Saturday: the real disk's 2022-02-02 (a Wednesday) has
// weekday 3.
int32_t weekdayOf(int32_t year, int32_t month, int32_t day) {
    static const int32_t kMonthShift[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
    if (month < 3) --year;
    return (year + year / 4 - year / 100 + year / 400 + kMonthShift[month - 1] + day) % 7;
}

// Stores `date` in entry bytes 24-28 as readDate() reads them, the weekday computed from the
// date and the time 00:00 when it has none; false, with nothing stored, for a date the entry
// cannot keep (a year outside 1980-2079, a month, day or time out of range).
bool writeDate(const DateTime& date, uint8_t* e) {
    if (date.year < 1980 || date.year > 2079 || date.month < 1 || date.month > 12 || date.day < 1 ||
        date.day > 31)
        return false;
    if (date.hasTime && (date.hour < 0 || date.hour > 23 || date.minute < 0 || date.minute > 59))
        return false;
    e[kYearOffset] = toBcd(date.year % 100);
    e[kMonthOffset] = uint8_t(date.month << 4 | weekdayOf(date.year, date.month, date.day));
    e[kDayOffset] = toBcd(date.day);
    e[kHourOffset] = date.hasTime ? toBcd(date.hour) : 0;
    e[kMinuteOffset] = date.hasTime ? toBcd(date.minute) : 0;
    return true;
}

std::string typeOf(uint8_t mode) {
    if ((mode & kModeDirectory) != 0) return "directory";
    if ((mode & kModeBasic) != 0) return "basic";
    if ((mode & kModeBinary) != 0) return "binary";
    if ((mode & kModeAscii) != 0) return "ascii";
    return "data";
}

// Letters for mode bits 4-6: H hidden (0x10), V verify (0x20; one source calls it
// read/write), R read-only (0x40).
std::string attributeLetters(uint8_t mode) {
    std::string text;
    if ((mode & kModeHidden) != 0) text += 'H';
    if ((mode & kModeVerify) != 0) text += 'V';
    if ((mode & kModeReadOnly) != 0) text += 'R';
    return text;
}

class HuBasicEditor;

class HuBasic : public FileSystem {
  public:
    HuBasic(const Volume& volume, const Format& format)
        : volume_(volume), format_(format), layout_(layoutOf(format)) {
        fat_.load(volume, format);
        directory_.assign(size_t(kDirectorySectors) * size_t(kSectorSize), 0);
        for (int32_t s = 0; s < kDirectorySectors; ++s)
            directoryStatus_.push_back(
                volume.readLogical(layout_, format.directoryFirst + s,
                                   directory_.data() + std::ptrdiff_t(s) * kSectorSize));
        readIpl();
        readDirectory();
    }

    Kind kind() const override { return Kind::kHuBasic; }
    std::unique_ptr<Editor> editor() const override;

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
        int64_t invalid = 0;
        int64_t firstInvalid = -1;
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
    friend class HuBasicEditor;

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
            const uint8_t* e = directory_.data() + std::ptrdiff_t(slot) * kEntrySize;
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
        r->start = startOf(e);
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

// --- the write side ---------------------------------------------------------------------------

constexpr uint8_t kModeAsciiNew = 0x04;  // the ASCII bit a new entry gets (the real disk's)
constexpr uint8_t kModeAttributeBits = kModeHidden | kModeVerify | kModeReadOnly;
constexpr uint8_t kNoPassword = 0x20;
constexpr uint8_t kAsciiEnd = 0x1A;  // where a text ends, as BASIC writes it
constexpr int64_t kSizeFieldMax = 0xFFFF;

// The words `type` takes and the type bits a new entry of that type gets.
struct TypeWord {
    const char* word;
    uint8_t bits;
};
const TypeWord kTypeWords[] = {
    {"basic", kModeBasic},
    {"ascii", kModeAsciiNew},
    {"binary", kModeBinary},
    {"machine", kModeBinary},
};

// The type a new file takes from its extension, in any case: BAS basic, ASC and TXT ascii,
// anything else (BIN, COM, none, ...) binary, the type that keeps a file's exact length.
const char* defaultType(const std::string& extension) {
    std::string upper = extension;
    for (char& ch : upper)
        if (ch >= 'a' && ch <= 'z') ch = char(ch - 'a' + 'A');
    if (upper == "BAS") return "basic";
    if (upper == "ASC" || upper == "TXT") return "ascii";
    return "binary";
}

bool isLeadByte(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}

// Whether one part of a name (`what`: "name part", "extension") can be stored and read back
// as given: no control bytes, none of " * / : ? (the command line and BASIC's own file
// syntax use them), no trailing space (the padding would swallow it), whole Shift_JIS
// double-byte characters. The characters below 0x40 are never trail bytes, so they are
// found byte by byte.
bool namePartFits(const std::string& part, const char* what, std::string* why) {
    for (size_t i = 0; i < part.size(); ++i) {
        const uint8_t b = uint8_t(part[i]);
        if (isLeadByte(b)) {
            const uint8_t trail = i + 1 < part.size() ? uint8_t(part[i + 1]) : 0;
            if (trail < 0x40 || trail == 0x7F || trail > 0xFC) {
                *why = std::string("the ") + what + " breaks off a double-byte character";
                return false;
            }
            ++i;
        } else if (b < 0x20 || b == 0x7F) {
            *why = std::string("the ") + what + " holds the control byte 0x" + hex2(b);
            return false;
        } else if (std::string("\"*/:?").find(char(b)) != std::string::npos) {
            *why = std::string("the ") + what + " holds '" + char(b) +
                   "', which a Hu-BASIC name cannot take";
            return false;
        }
    }
    if (!part.empty() && part.back() == ' ') {
        *why = std::string("the ") + what + " ends in a space, which its padding would swallow";
        return false;
    }
    return true;
}

// A new file's name as an entry stores it: split at its last '.', the name part space padded
// to 13 bytes and the extension to 3 (mixed case kept). False with *why when it does not fit.
bool rawNameOf(const std::string& name, std::string* raw, std::string* extension,
               std::string* why) {
    const size_t dot = name.rfind('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    *extension = dot == std::string::npos ? "" : name.substr(dot + 1);
    if (base.empty()) {
        *why = "the name part is empty";
        return false;
    }
    if (dot != std::string::npos && extension->empty()) {
        *why = "the name ends in '.': a blank extension reads back without it";
        return false;
    }
    if (base.size() > size_t(kNameSize)) {
        *why =
            "the name part is " + std::to_string(base.size()) + " bytes; a Hu-BASIC name holds 13";
        return false;
    }
    if (extension->size() > size_t(kExtensionSize)) {
        *why = "the extension is " + std::to_string(extension->size()) +
               " bytes; a Hu-BASIC extension holds 3";
        return false;
    }
    if (!namePartFits(base, "name part", why) || !namePartFits(*extension, "extension", why))
        return false;
    *raw = base + std::string(size_t(kNameSize) - base.size(), ' ') + *extension +
           std::string(size_t(kExtensionSize) - extension->size(), ' ');
    return true;
}

// The mode byte of a file put: an entry put again keeps its own unless the request names
// another type; a new one gets the type's bit, the type taken from its extension when none is
// named. Returns false when no Hu-BASIC file type has the name left in *word.
bool modeOf(const PutRequest& request, const Record* old, const std::string& extension,
            std::string* word, uint8_t* mode) {
    *word = !request.type.empty() ? request.type
            : old != nullptr      ? old->entry.type
                                  : defaultType(trimRight(extension));
    const uint8_t oldMode = old != nullptr ? old->raw[kModeOffset] : 0;
    if (old != nullptr && typeOf(oldMode) == (*word == "machine" ? "binary" : *word)) {
        *mode = oldMode;
        return true;
    }
    const TypeWord* t = nullptr;
    for (const TypeWord& w : kTypeWords)
        if (*word == w.word) t = &w;
    if (t == nullptr) return false;
    *mode = uint8_t((oldMode & kModeAttributeBits) | t->bits);
    return true;
}

Plan refused(Plan plan, EditError error, const std::string& detail) {
    plan.error = error;
    plan.detail = detail;
    plan.writes.clear();
    return plan;
}

// Plans changes to the root directory of a Hu-BASIC disk (subdirectories are not entered, so
// nothing is written into them). New files take the lowest free clusters; a file put again
// keeps its clusters in chain order as far as they suffice and is extended with the lowest
// free ones, or gives its tail back. Only the clusters of the file's own chain are touched
// (up to where a damaged chain runs into another file's), only the FAT and directory sectors
// whose bytes change are written, and directory sectors with only the entry's bytes changed.
class HuBasicEditor : public Editor {
  public:
    explicit HuBasicEditor(const HuBasic& fs) : fs_(fs), format_(fs.format_) {}

    Plan put(const PutRequest& request) const override {
        Plan plan;
        plan.path = request.path;
        const Record* old = find(request.path, &plan);
        if (!plan.ok() || damaged(&plan)) return plan;
        if (old != nullptr && old->entry.directory)
            return refused(plan, EditError::kNameTaken,
                           "a subdirectory has that name; it is not replaced by a file");

        std::string raw;
        std::string extension;
        if (old != nullptr) {
            raw = old->entry.rawName;
            extension = raw.substr(size_t(kNameSize));
        } else if (std::string why; !rawNameOf(request.path[0], &raw, &extension, &why)) {
            return refused(plan, EditError::kBadName, why);
        }

        std::string word;
        uint8_t mode = 0;
        if (!modeOf(request, old, extension, &word, &mode))
            return refused(
                plan, EditError::kBadType,
                "no Hu-BASIC file type \"" + word + "\" (basic, ascii, binary or machine)");
        const std::string type = typeOf(mode);
        for (const auto& [has, value, what] :
             {std::make_tuple(request.hasLoad, request.load, "load"),
              std::make_tuple(request.hasExec, request.exec, "exec")})
            if (has && value > 0xFFFF)
                return refused(plan, EditError::kBadAddress,
                               std::string("the ") + what + " address " + std::to_string(value) +
                                   " does not fit the entry's 16 bits");
        const bool sized = type == "binary" || type == "basic";
        if (sized && int64_t(request.data.size()) > kSizeFieldMax)
            return refused(plan, EditError::kTooLarge,
                           std::to_string(request.data.size()) + " bytes; the size field of a " +
                               type + " file holds at most 65535");

        // What goes into the sectors. A text without an end mark that stops inside a sector
        // gets one; the rest of its last sector is 00 (the real disk's "0D 1A 00 ...").
        std::vector<uint8_t> content = request.data;
        if (type == "ascii" && (content.empty() || content.size() % kSectorSize != 0) &&
            std::find(content.begin(), content.end(), kAsciiEnd) == content.end()) {
            content.push_back(kAsciiEnd);
            plan.detail = "the text's end mark 1A added";
        }
        const int64_t sectors =
            std::max<int64_t>(1, (int64_t(content.size()) + kSectorSize - 1) / kSectorSize);
        const int64_t needed = (sectors + kClusterSectors - 1) / kClusterSectors;
        const int32_t lastUsed = int32_t(sectors - (needed - 1) * kClusterSectors);

        // The entry: a new one in the first deleted slot or the end mark, whichever comes
        // first.
        const int32_t slot = old != nullptr ? old->entry.slot : freeSlot();
        if (slot < 0)
            return refused(plan, EditError::kDirectoryFull,
                           "the directory's 128 entries are all in use");

        std::vector<int64_t> units = old != nullptr ? ownUnits(*old) : std::vector<int64_t>();
        const std::vector<int64_t> before = units;
        if (int64_t(units.size()) > needed) {
            plan.freed.assign(units.begin() + std::ptrdiff_t(needed), units.end());
            units.resize(size_t(needed));
        }
        const std::vector<int64_t> fresh = freeClusters();
        const int64_t more = needed - int64_t(units.size());
        if (more > int64_t(fresh.size()))
            return refused(plan, EditError::kDiskFull,
                           "the file needs " + std::to_string(needed) + " clusters of 4096 bytes" +
                               (units.empty() ? "" : ", holds " + std::to_string(units.size())) +
                               ", and " + std::to_string(fresh.size()) + " are free");
        if (more > 0) units.insert(units.end(), fresh.begin(), fresh.begin() + std::ptrdiff_t(more));

        Fat fat = fs_.fat_;
        for (const int64_t k : plan.freed)
            fat.set(k, kFatFree);
        for (size_t i = 0; i + 1 < units.size(); ++i)
            fat.link(units[i], units[i + 1]);
        fat.last(units.back(), lastUsed);

        // Data sectors. Past a binary or BASIC file's bytes, a sector the file held already
        // keeps its old bytes (so putting back what was read changes nothing); others get 00.
        for (int64_t s = 0; s < sectors; ++s) {
            const int64_t cluster = units[size_t(s / kClusterSectors)];
            const int64_t logical = cluster * kClusterSectors + s % kClusterSectors;
            SectorWrite w = sectorAt(logical);
            if (fs_.volume_.readLogical(fs_.layout_, logical, w.data.data()) != SectorStatus::kOk)
                return refused(plan, EditError::kDamaged,
                               "sector " + where(fs_.layout_, logical) + " of cluster " +
                                   std::to_string(cluster) + " is missing or short");
            const bool held = std::find(before.begin(), before.end(), cluster) != before.end();
            if (!sized || !held) std::fill(w.data.begin(), w.data.end(), uint8_t(0));
            const size_t from = size_t(s * kSectorSize);
            const size_t count =
                std::min(size_t(kSectorSize), content.size() - std::min(from, content.size()));
            std::copy_n(content.begin() + std::ptrdiff_t(from), count, w.data.begin());
            plan.writes.push_back(std::move(w));
        }

        // The entry. The slot after an end mark taken gets the mark (the directory ends there).
        std::vector<uint8_t> directory = fs_.directory_;
        uint8_t* e = directory.data() + std::ptrdiff_t(slot) * kEntrySize;
        if (old == nullptr) {
            if (e[kModeOffset] == kModeEnd && slot + 1 < kSlots)
                e[kEntrySize + kModeOffset] = kModeEnd;
            std::fill_n(e, kEntrySize, uint8_t(0));
            std::copy(raw.begin(), raw.end(), e + kNameOffset);
            e[kPasswordOffset] = kNoPassword;
        }
        e[kModeOffset] = mode;
        putU16(e + kSizeOffset, sized ? uint32_t(request.data.size()) : 0);
        if (request.hasLoad) putU16(e + kLoadOffset, request.load);
        if (request.hasExec) putU16(e + kExecOffset, request.exec);
        if (request.hasDate && !sameDate(old, request.date) && !writeDate(request.date, e))
            plan.detail += std::string(plan.detail.empty() ? "" : "; ") +
                           "the entry keeps dates of 1980-2079 only: the date is not recorded";
        setStart(e, units[0]);

        writeChanged(fat.bytes, fs_.fat_.bytes, format_.fatFirst, &plan);
        writeChanged(directory, fs_.directory_, format_.directoryFirst, &plan);
        plan.action = old != nullptr ? Plan::kReplaced : Plan::kAdded;
        plan.path = {pathOf(raw)};
        plan.slot = slot;
        plan.units = units;
        return plan;
    }

    Plan remove(const std::vector<std::string>& path) const override {
        Plan plan;
        plan.path = path;
        const Record* old = find(path, &plan);
        if (!plan.ok() || damaged(&plan)) return plan;
        if (old == nullptr) return refused(plan, EditError::kNoSuchFile, "no such file");
        if (old->entry.directory)
            return refused(plan, EditError::kUnsupported,
                           "a subdirectory: subdirectories are not removed on Hu-BASIC disks");
        Fat fat = fs_.fat_;
        plan.freed = ownUnits(*old);
        for (const int64_t k : plan.freed)
            fat.set(k, kFatFree);
        std::vector<uint8_t> directory = fs_.directory_;
        directory[size_t(old->entry.slot) * size_t(kEntrySize) + size_t(kModeOffset)] =
            kModeDeleted;
        writeChanged(fat.bytes, fs_.fat_.bytes, format_.fatFirst, &plan);
        writeChanged(directory, fs_.directory_, format_.directoryFirst, &plan);
        plan.action = Plan::kRemoved;
        plan.slot = old->entry.slot;
        return plan;
    }

  private:
    // The record of a root-directory file named `path`, or null; *plan refused when the path
    // names a subdirectory's file (kUnsupported, or kNoSuchDirectory when there is none).
    const Record* find(const std::vector<std::string>& path, Plan* plan) const {
        if (path.empty()) {
            *plan = refused(*plan, EditError::kBadName, "no name");
            return nullptr;
        }
        for (const Record& r : fs_.records_)
            if (r.entry.path == std::vector<std::string>{path[0]}) {
                if (path.size() == 1) return &r;
                if (r.entry.directory) {
                    *plan = refused(*plan, EditError::kUnsupported,
                                    "files in Hu-BASIC subdirectories are not written");
                    return nullptr;
                }
            }
        if (path.size() > 1)
            *plan = refused(*plan, EditError::kNoSuchDirectory, "no directory " + path[0]);
        return nullptr;
    }

    // Refuses a change when the FAT or the directory cannot be read whole: what they would
    // be taken to say there (free clusters, deleted slots) is not known.
    bool damaged(Plan* plan) const {
        for (int32_t s = 0; s < format_.fatSectors; ++s)
            if (fs_.fat_.status[size_t(s)] != SectorStatus::kOk) {
                *plan = refused(*plan, EditError::kDamaged,
                                "the FAT sector " + where(fs_.layout_, format_.fatFirst + s) +
                                    " is missing or short");
                return true;
            }
        for (int32_t s = 0; s < kDirectorySectors; ++s)
            if (fs_.directoryStatus_[size_t(s)] != SectorStatus::kOk) {
                *plan = refused(*plan, EditError::kDamaged,
                                "the directory sector " +
                                    where(fs_.layout_, format_.directoryFirst + s) +
                                    " is missing or short");
                return true;
            }
        return false;
    }

    // Other files' clusters: their chains and start clusters (a start on a cluster the FAT
    // marks free is still that entry's).
    std::vector<bool> othersClusters(const Record* except) const {
        std::vector<bool> taken(size_t(format_.clusters), false);
        for (const Record& r : fs_.records_) {
            if (&r == except) continue;
            for (const int64_t k : r.chain.units)
                taken[size_t(k)] = true;
            if (r.start >= 0 && r.start < format_.clusters) taken[size_t(r.start)] = true;
        }
        return taken;
    }

    // The clusters of a file's chain that are its own: the chain up to where it runs into
    // another file's cluster (a damaged chain going on there is that file's).
    std::vector<int64_t> ownUnits(const Record& r) const {
        std::vector<int64_t> own;
        if (!r.badStart.empty()) return own;
        const std::vector<bool> taken = othersClusters(&r);
        for (const int64_t k : r.chain.units) {
            if (taken[size_t(k)]) break;
            own.push_back(k);
        }
        return own;
    }

    // The free clusters, lowest first, that no entry names and whose sectors are all on the
    // disk (an image cut short has fewer).
    std::vector<int64_t> freeClusters() const {
        std::vector<int64_t> found;
        const std::vector<bool> taken = othersClusters(nullptr);
        uint8_t sector[kSectorSize];
        for (int64_t k = format_.reserved; k < format_.clusters; ++k) {
            if (fs_.fat_.unit(k).state != Unit::kFree || taken[size_t(k)]) continue;
            bool there = true;
            for (int32_t j = 0; j < kClusterSectors && there; ++j)
                there = fs_.volume_.readLogical(fs_.layout_, k * kClusterSectors + j, sector) ==
                        SectorStatus::kOk;
            if (there) found.push_back(k);
        }
        return found;
    }

    int32_t freeSlot() const {
        for (int32_t slot = 0; slot < kSlots; ++slot) {
            const uint8_t mode =
                fs_.directory_[size_t(slot) * size_t(kEntrySize) + size_t(kModeOffset)];
            if (mode == kModeDeleted || mode == kModeEnd) return slot;
        }
        return -1;
    }

    // The entry's date equals `date` as far as the entry keeps one (no seconds; the time
    // only when both have one): put back with its own date, an entry keeps its bytes.
    static bool sameDate(const Record* old, const DateTime& date) {
        if (old == nullptr || !old->entry.hasDate) return false;
        const DateTime& d = old->entry.date;
        if (d.year != date.year || d.month != date.month || d.day != date.day) return false;
        return !d.hasTime || !date.hasTime || (d.hour == date.hour && d.minute == date.minute);
    }

    static void putU16(uint8_t* p, uint32_t v) {
        p[0] = uint8_t(v & 0xFF);
        p[1] = uint8_t(v >> 8 & 0xFF);
    }

    static std::string pathOf(const std::string& raw) {
        const std::string ext = trimRight(raw.substr(size_t(kNameSize)));
        return trimRight(raw.substr(0, size_t(kNameSize))) + (ext.empty() ? "" : "." + ext);
    }

    SectorWrite sectorAt(int64_t logical) const {
        SectorWrite w;
        Volume::locate(fs_.layout_, logical, &w.c, &w.h, &w.r);
        w.data.assign(size_t(kSectorSize), 0);
        return w;
    }

    // Adds the sectors of `bytes` (logical sectors from `first` on) that differ from `was`.
    void writeChanged(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& was,
                      int32_t first, Plan* plan) const {
        for (size_t at = 0; at < bytes.size(); at += size_t(kSectorSize)) {
            const auto begin = bytes.begin() + std::ptrdiff_t(at);
            const auto end = begin + kSectorSize;
            if (std::equal(begin, end, was.begin() + std::ptrdiff_t(at))) continue;
            SectorWrite w = sectorAt(first + int64_t(at) / kSectorSize);
            std::copy(begin, end, w.data.begin());
            plan->writes.push_back(std::move(w));
        }
    }

    const HuBasic& fs_;
    const Format& format_;
};

std::unique_ptr<Editor> HuBasic::editor() const {
    return std::make_unique<HuBasicEditor>(*this);
}

// Live directory entries whose start cluster cannot be right; the first one in *first.
int32_t badStarts(const Volume& volume, const Format& f, const Fat& fat, std::string* first) {
    const Layout layout = layoutOf(f);
    uint8_t sector[kSectorSize];
    int32_t bad = 0;
    for (int32_t s = 0; s < kDirectorySectors; ++s) {
        if (volume.readLogical(layout, f.directoryFirst + s, sector) != SectorStatus::kOk) continue;
        for (int32_t i = 0; i < kEntriesPerSector; ++i) {
            const uint8_t* e = sector + std::ptrdiff_t(i) * kEntrySize;
            if (e[kModeOffset] == kModeEnd) return bad;
            if (e[kModeOffset] == kModeDeleted) continue;
            const int64_t start = startOf(e);
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
    if (valid * 100 >= int64_t{f->clusters} * 95)
        d.confidence = kSure + int((valid * 100 - int64_t{f->clusters} * 95) * 2 / f->clusters);
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
    disk->media = f->media;
    disk->tracks.assign(size_t(f->cylinders) * 2, {});
    for (int32_t t = 0; t < f->cylinders * 2; ++t)
        for (int32_t r = 1; r <= f->sectorsPerTrack; ++r)
            disk->tracks[size_t(t)].push_back(
                {uint8_t(t / 2), uint8_t(t % 2), uint8_t(r), 1, false,
                 std::vector<uint8_t>(size_t(kSectorSize), kFormatFill)});
    const Layout layout = layoutOf(*f);
    auto sectorAt = [&](int64_t logical) -> std::vector<uint8_t>& {
        int32_t c = 0;
        int32_t h = 0;
        int32_t r = 0;
        Volume::locate(layout, logical, &c, &h, &r);
        return disk->tracks[size_t(c) * 2 + size_t(h)][size_t(r - 1)].data;
    };
    Fat fat = Fat::blank(*f);
    for (int32_t s = 0; s < f->fatSectors; ++s)
        std::copy_n(fat.bytes.begin() + std::ptrdiff_t(s) * kSectorSize, kSectorSize,
                    sectorAt(f->fatFirst + s).begin());
    for (int32_t s = 0; s < kDirectorySectors; ++s)
        std::fill_n(sectorAt(f->directoryFirst + s).begin(), kSectorSize, kModeEnd);
    return true;
}

}  // namespace retrodisk::fs
