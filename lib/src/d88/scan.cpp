#include <retrodisk/d88/scan.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace retrodisk::d88 {

void scanDirectory(const ImageView& image, const DiskInfo& disk, Directory* directory) {
    uint8_t area[kDirectorySize] = {};
    directory->bytesRead = image.readSectors(disk, kDirectoryTrack, 0, 0, kDirectorySector,
                                             kSizeCode, area, kDirectorySize);
    directory->entries.clear();
    const int32_t got = directory->bytesRead;
    for (int i = 0; i < kMaxEntries; ++i) {
        const int32_t at = kEntrySize * i;
        // Bytes past `got` may hold part of a short sector: they are never taken for entries.
        if (at + kNameOffset >= got) {
            directory->end = DirectoryEnd::kShort;
            return;
        }
        if (area[at + kNameOffset] == 0) {
            directory->end = DirectoryEnd::kMarker;
            return;
        }
        if (at + kEntrySize - 1 >= got) {
            directory->end = DirectoryEnd::kShort;
            return;
        }
        DirectoryEntry entry;
        parseEntry(area, i, &entry);
        directory->entries.push_back(entry);
    }
    directory->end = DirectoryEnd::kFull;
}

std::vector<SectorRecord> mapFileSectors(const ImageView& image, const DiskInfo& disk,
                                         int32_t* tangledFrom) {
    if (tangledFrom != nullptr) *tangledFrom = -1;
    SectorRecord none;
    none.position = -1;
    std::vector<SectorRecord> map(size_t(kMappedSectors), none);
    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(image);
    for (int32_t t = 0; t < DiskImage::kTrackCount; ++t) {
        if (image.walkTrack(disk, t, &sectors, &budget) == WalkEnd::kLimit) {
            if (tangledFrom != nullptr) *tangledFrom = t;
            break;
        }
        // A read finds the first sector of the walk with the ID; later ones are never read.
        for (auto s = sectors.rbegin(); s != sectors.rend(); ++s)
            if (s->c == (t >> 1) && s->h == (t & 1) && s->n == kSizeCode && s->r >= kFirstSector &&
                s->r <= kLastSector)
                map[size_t(t * kSectorsPerTrack + s->r - kFirstSector)] = *s;
    }
    return map;
}

int32_t readFile(const ImageView& image, const std::vector<SectorRecord>& sectors,
                 const DirectoryEntry& entry, uint8_t* buffer) {
    // Sector by sector from the start, as readSectors steps: R 1 to 8 on each track, then the
    // next track; the first sector missing or short ends the file.
    int32_t total = 0;
    for (size_t l = size_t(entry.start); total < entry.size && l < sectors.size(); ++l) {
        const SectorRecord& s = sectors[l];
        const int32_t chunk = std::min(kSectorSize, entry.size - total);
        if (s.position < 0 || s.dataPresent < chunk) break;
        std::memcpy(buffer + total, image.data() + s.position + kSectorHeaderSize, size_t(chunk));
        total += chunk;
    }
    return total;
}

bool hasFlatDirectory(const Directory& directory) {
    if (directory.bytesRead < kSectorSize || directory.end == DirectoryEnd::kShort) return false;
    return std::none_of(directory.entries.begin(), directory.entries.end(),
                        [](const DirectoryEntry& e) {
                            return e.size > 0 && e.start + sectorsFor(e.size) > kLogicalSectors;
                        });
}

std::vector<bool> freeSectors(const ImageView& image, const std::vector<SectorRecord>& sectors,
                              const Directory& directory) {
    std::vector<bool> free(size_t(kLogicalSectors), false);
    for (int32_t l = kFirstFileSector; l < kLogicalSectors && size_t(l) < sectors.size(); ++l) {
        const SectorRecord* s = &sectors[size_t(l)];
        if (s->position < 0 || s->dataSize != kSectorSize || s->dataPresent != kSectorSize)
            continue;
        const uint8_t* data = image.data() + s->position + kSectorHeaderSize;
        bool blank = true;
        for (int32_t i = 1; i < kSectorSize && blank; ++i)
            blank = data[i] == data[0];
        free[size_t(l)] = blank;
    }
    for (const DirectoryEntry& e : directory.entries) {
        if (e.size == 0) continue;
        const int32_t end = e.start + sectorsFor(e.size);
        for (int32_t l = e.start; l < end && l < kLogicalSectors; ++l)
            free[size_t(l)] = false;
    }
    return free;
}

std::vector<SectorRun> freeRuns(const std::vector<bool>& free) {
    std::vector<SectorRun> runs;
    for (size_t l = 0; l < free.size(); ++l) {
        if (!free[l]) continue;
        if (!runs.empty() && size_t(runs.back().first) + size_t(runs.back().count) == l)
            ++runs.back().count;
        else
            runs.push_back({int32_t(l), 1});
    }
    return runs;
}

namespace {

constexpr int kKinds = int(AnomalyKind::kMediaMismatch) + 1;

// The key of the most frequent value of `counts` (the largest on a tie), 0 when empty.
int32_t mostCommon(const std::map<int32_t, int32_t>& counts) {
    int32_t best = 0;
    int32_t times = 0;
    for (const auto& [value, n] : counts) {
        if (n >= times) {
            best = value;
            times = n;
        }
    }
    return best;
}

// "C0 H1 R3 N3"
std::string idText(const SectorRecord& s) {
    char text[32];
    std::snprintf(text, sizeof text, "C%u H%u R%u N%u", unsigned(s.c), unsigned(s.h), unsigned(s.r),
                  unsigned(s.n));
    return text;
}

// `pattern` filled in with integers, each passed as long long (every conversion is %lld or
// %llx); at most 159 characters.
template <class... Integers>
std::string format(const char* pattern, Integers... values) {
    char text[160];
    std::snprintf(text, sizeof text, pattern, static_cast<long long>(values)...);
    return text;
}

// What each media byte's media can hold (see scan.h).
struct MediaLimits {
    uint8_t byte;
    const char* name;
    int32_t cylinders;
    int32_t trackBytes;
};
constexpr MediaLimits kMediaLimits[] = {
    {0x00, "2D", 42, 6250},
    {0x10, "2DD", 82, 6250},
    {0x20, "2HD", 82, 12500},
};

// Why the media byte cannot be right for the geometry `g`, or an empty text when it can (or
// names no media to compare with).
std::string mediaMismatch(uint8_t mediaByte, const Geometry& g) {
    const MediaLimits* limits = nullptr;
    for (const MediaLimits& m : kMediaLimits)
        if (m.byte == mediaByte) limits = &m;
    if (limits == nullptr || g.cylinders == 0) return std::string();
    const int64_t trackBytes = int64_t(g.sectors) * g.sectorSize;
    const bool tooMuch = trackBytes > limits->trackBytes;
    const bool tooMany = g.cylinders > limits->cylinders;
    if (!tooMuch && !tooMany) return std::string();
    std::string why = format("media byte 0x%02llx says ", mediaByte) + limits->name +
                      format(
                          ", which holds at most %lld cylinders of %lld bytes a track; the "
                          "disk has ",
                          limits->cylinders, limits->trackBytes);
    if (tooMuch)
        why += format("%lld x %lld = %lld bytes a track", g.sectors, g.sectorSize, trackBytes);
    if (tooMuch && tooMany) why += " and ";
    if (tooMany) why += format("%lld cylinders", g.cylinders);
    return why;
}

// The anomalies of one readable track's sectors.
void scanSectors(int32_t t, const std::vector<SectorRecord>& sectors, std::vector<Anomaly>* out) {
    std::map<uint32_t, int32_t> seen;  // ID -> times, in ID order
    int32_t found[kKinds] = {};
    // True while anomalies of `kind` are still listed one by one.
    auto listed = [&found](AnomalyKind kind) { return ++found[int(kind)] <= kMaxSectorAnomalies; };
    for (const SectorRecord& s : sectors) {
        const std::string id = idText(s);
        ++seen[uint32_t(s.c) << 24 | uint32_t(s.h) << 16 | uint32_t(s.r) << 8 | s.n];
        // 128 << N: a data size field of 16 bits never matches N above 8.
        const int64_t nominal = int64_t(128) << (s.n < 16 ? s.n : 16);
        if (s.dataSize != nominal && listed(AnomalyKind::kSizeMismatch))
            out->push_back({t, AnomalyKind::kSizeMismatch,
                            id + format(": data size %lld, N gives %lld", s.dataSize, nominal)});
        if (s.deleted != 0 && listed(AnomalyKind::kDeletedData))
            out->push_back({t, AnomalyKind::kDeletedData,
                            id + format(": deleted-data mark 0x%02llx", s.deleted)});
        if (s.status != 0 && listed(AnomalyKind::kStatus))
            out->push_back({t, AnomalyKind::kStatus, id + format(": status 0x%02llx", s.status)});
        if ((s.c != (t >> 1) || s.h != (t & 1)) && listed(AnomalyKind::kIdMismatch))
            out->push_back({t, AnomalyKind::kIdMismatch,
                            id + format(" on track %lld (C%lld H%lld)", t, t >> 1, t & 1)});
        if (s.dataPresent < s.dataSize && listed(AnomalyKind::kCutShort))
            out->push_back({t, AnomalyKind::kCutShort,
                            id + format(": the file ends after %lld of its %lld data bytes",
                                        s.dataPresent, s.dataSize)});
    }
    for (int kind = 0; kind < kKinds; ++kind)
        if (found[kind] > kMaxSectorAnomalies)
            out->push_back({t, AnomalyKind(kind),
                            format("%lld more sectors of the track like the ones above",
                                   found[kind] - kMaxSectorAnomalies)});
    for (const auto& [key, times] : seen) {
        if (times < 2) continue;
        SectorRecord s;
        s.c = uint8_t(key >> 24);
        s.h = uint8_t(key >> 16);
        s.r = uint8_t(key >> 8);
        s.n = uint8_t(key);
        out->push_back({t, AnomalyKind::kDuplicateId,
                        idText(s) + format(" appears %lld times; the first is read", times)});
    }
}

}  // namespace

size_t walkBudget(const ImageView& image) {
    return image.size() / kSectorHeaderSize;
}

Geometry commonGeometry(const ImageView& image, const DiskInfo& disk) {
    Geometry g;
    std::map<int32_t, int32_t> sectorCounts;
    std::map<int32_t, int32_t> sizes;
    int32_t highest = -1;
    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(image);
    for (int32_t t = 0; t < disk.tableEntries; ++t) {
        if (disk.trackOffsets[t] != 0) ++g.tracks;
        if (image.walkTrack(disk, t, &sectors, &budget) == WalkEnd::kLimit) break;
        if (sectors.empty()) continue;
        highest = t;
        if ((t & 1) != 0) g.heads = 2;
        ++sectorCounts[int32_t(sectors.size())];
        for (const SectorRecord& s : sectors)
            ++sizes[s.dataSize];
    }
    if (highest < 0) return g;
    if (g.heads == 0) g.heads = 1;
    g.cylinders = (highest >> 1) + 1;
    g.sectors = mostCommon(sectorCounts);
    g.sectorSize = mostCommon(sizes);
    return g;
}

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

const char* anomalyName(AnomalyKind kind) {
    switch (kind) {
        case AnomalyKind::kDuplicateId:
            return "duplicate_id";
        case AnomalyKind::kSizeMismatch:
            return "size_mismatch";
        case AnomalyKind::kDeletedData:
            return "deleted_data";
        case AnomalyKind::kStatus:
            return "status";
        case AnomalyKind::kIdMismatch:
            return "id_mismatch";
        case AnomalyKind::kTrackOffset:
            return "track_offset";
        case AnomalyKind::kCutShort:
            return "cut_short";
        case AnomalyKind::kShortHeader:
            return "short_header";
        case AnomalyKind::kPastCountZero:
            return "past_count_zero";
        case AnomalyKind::kTangled:
            return "tangled_tracks";
        case AnomalyKind::kMediaMismatch:
            return "media_mismatch";
    }
    return "unknown";
}

std::vector<Anomaly> scanAnomalies(const ImageView& image, const DiskInfo& disk) {
    std::vector<Anomaly> out;
    const int64_t fileLeft = int64_t(image.size()) - disk.offset;
    if (int64_t(uint32_t(disk.size)) > fileLeft)
        out.push_back({-1, AnomalyKind::kCutShort,
                       format("the disk size %lld runs %lld bytes past the end of the file",
                              uint32_t(disk.size), int64_t(uint32_t(disk.size)) - fileLeft)});
    if (disk.tableEntries < DiskImage::kTrackCount)
        out.push_back({-1, AnomalyKind::kShortHeader,
                       format("the track table has %lld entries (the first track starts at "
                              "offset %lld)",
                              disk.tableEntries, kTrackTableOffset + 4 * disk.tableEntries)});
    const std::string media = mediaMismatch(disk.mediaType, commonGeometry(image, disk));
    if (!media.empty()) out.push_back({-1, AnomalyKind::kMediaMismatch, media});

    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(image);
    for (int32_t t = 0; t < disk.tableEntries; ++t) {
        const int32_t offset = disk.trackOffsets[t];
        if (offset == 0) continue;
        const int64_t position = ImageView::trackPosition(disk, t);
        if (position < 0 || position + kSectorHeaderSize > int64_t(image.size())) {
            const bool pastDisk = offset > disk.size || position < 0;
            out.push_back(
                {t, AnomalyKind::kTrackOffset,
                 format(pastDisk ? "offset %lld lies outside the disk (size %lld)"
                                 : "offset %lld lies past the end of the file (%lld "
                                   "bytes)",
                        uint32_t(offset),
                        pastDisk ? int64_t(uint32_t(disk.size)) : int64_t(image.size()))});
            continue;
        }
        const WalkEnd end = image.walkTrack(disk, t, &sectors, &budget);
        if (end == WalkEnd::kLimit) {
            out.push_back(
                {t, AnomalyKind::kTangled,
                 format("the walks pass more than %lld sector headers, more than the file "
                        "has room for: tracks overlap; later tracks are not examined",
                        walkBudget(image))});
            break;
        }
        scanSectors(t, sectors, &out);
        if (end == WalkEnd::kFileEnd) {
            // Where the header the file cuts short would start: before it when none of its
            // bytes is in the file, inside it when some are.
            const int64_t next = sectors.empty() ? position
                                                 : sectors.back().position + kSectorHeaderSize +
                                                       sectors.back().dataSize;
            out.push_back({t, AnomalyKind::kCutShort,
                           format(next >= int64_t(image.size())
                                      ? "the file ends before the header of sector %lld of "
                                        "the track"
                                      : "the file ends inside the header of sector %lld of "
                                        "the track",
                                  int64_t(sectors.size()) + 1)});
        }
        // Counted up to a bound: the number is for a person to read.
        constexpr int32_t kCountLimit = 1 << 16;
        const int32_t past =
            end == WalkEnd::kCountZero ? image.headersPastCountZero(disk, t, kCountLimit) : 0;
        if (past > 0)
            out.push_back({t, AnomalyKind::kPastCountZero,
                           format("%lld sector headers follow a sector count of 0 and are "
                                  "never read",
                                  past)});
    }
    return out;
}

}  // namespace retrodisk::d88
