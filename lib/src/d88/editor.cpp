#include <retrodisk/d88/editor.h>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/d88/scan.h>

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "file.h"

namespace retrodisk::d88 {

namespace {

// The image is read whole. Positions in the format are signed 32-bit: a larger file would hold
// bytes no position can name, and a save must keep every byte, so such a file is not edited.
constexpr size_t kMaxImageSize = 0x7FFFFFFF;

constexpr uint8_t kMedia2HD = 0x20;
constexpr int32_t kTracks = kLogicalSectors / kSectorsPerTrack;  // 154, tracks 0 to 153
// Logical sector of the directory area's first byte: track 0, R 3.
constexpr int32_t kDirectoryFirst = kDirectorySector - kFirstSector;
// The area's slots: the 6 bytes past the last one are never used.
constexpr int32_t kSlotsEnd = kMaxEntries * kEntrySize;

// Bytes [begin, end) of the image; `sector` is the logical sector whose data they are, or -1.
struct Span {
    int64_t begin;
    int64_t end;
    int32_t sector;
};

// One disk as an edit sees it.
struct Disk {
    DiskInfo info;
    Directory directory;
    // File position of logical sector L's 1024 data bytes when they may be written, else -1
    // with the reason in why[L] (kMissing or kOverlaps).
    std::vector<int64_t> data;
    std::vector<InPlaceProblem> why;
};

// Finds each logical sector's data and whether it may be written: the first sector of its
// track's walk with its ID, 1024 bytes all in the file, no byte shared with another span of
// the image a reader uses (every disk header, and every sector header and sector data of every
// disk's tracks). Tracks that overlap are possible only in a damaged or crafted image (a track
// offset of 2^31 or more points back into the disks before; a walk can run on into the next
// disk); there a write could change another sector, another disk, or how the image is walked.
// Walks that pass more sector headers in all than the file has room for must pass some header
// twice; such an image is tangled past any use of mapping it (in a crafted one, each of the
// 64 x 164 walks can run through the whole file), and no sector of it is written.
void mapSectors(const ImageView& view, Disk* d) {
    d->data.assign(size_t(kLogicalSectors), -1);
    d->why.assign(size_t(kLogicalSectors), InPlaceProblem::kMissing);
    std::vector<Span> spans;
    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(view);
    for (int32_t i = 0; i < view.diskCount(); ++i) {
        DiskInfo disk;
        view.readDisk(i, &disk);
        spans.push_back({disk.offset, disk.offset + kDiskHeaderSize, -1});
        const bool edited = i == d->info.index;
        for (int32_t t = 0; t < DiskImage::kTrackCount; ++t) {
            const WalkEnd end = view.walkTrack(disk, t, &sectors, &budget);
            if (end == WalkEnd::kLimit) {
                d->why.assign(size_t(kLogicalSectors), InPlaceProblem::kOverlaps);
                return;
            }
            if (end == WalkEnd::kCountZero) {
                // The header whose count of 0 ends the walk is read too: a write over it
                // would change where the track ends.
                const int64_t stop = sectors.empty() ? ImageView::trackPosition(disk, t)
                                                     : sectors.back().position + kSectorHeaderSize +
                                                           sectors.back().dataSize;
                spans.push_back({stop, stop + kSectorHeaderSize, -1});
            }
            bool seen[kSectorsPerTrack] = {};
            for (const SectorRecord& s : sectors) {
                const int64_t data = s.position + kSectorHeaderSize;
                spans.push_back({s.position, data, -1});
                int32_t sector = -1;
                const bool logical = edited && t < kTracks && s.c == (t >> 1) && s.h == (t & 1) &&
                                     s.n == kSizeCode && s.r >= kFirstSector && s.r <= kLastSector;
                // A read finds the first sector of the walk with the ID; later ones are never
                // read.
                if (logical && !seen[s.r - kFirstSector]) {
                    seen[s.r - kFirstSector] = true;
                    if (s.dataSize == kSectorSize && s.dataPresent == kSectorSize)
                        sector = t * kSectorsPerTrack + s.r - kFirstSector;
                }
                if (s.dataPresent > 0) spans.push_back({data, data + s.dataPresent, sector});
            }
        }
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    });
    // Sorted by start, a span overlaps no other when every span before it ends by its start
    // and the next one starts at or after its end.
    int64_t reach = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        const Span& s = spans[i];
        const bool alone =
            reach <= s.begin && (i + 1 == spans.size() || spans[i + 1].begin >= s.end);
        reach = std::max(reach, s.end);
        if (s.sector < 0) continue;
        if (alone)
            d->data[size_t(s.sector)] = s.begin;
        else
            d->why[size_t(s.sector)] = InPlaceProblem::kOverlaps;
    }
}

// Loads disk `index` and its directory; kDone when it can be edited.
EditResult openDisk(const ImageView& view, int32_t index, bool force, Disk* d) {
    EditResult r;
    if (!view.readDisk(index, &d->info)) {
        r.status = EditStatus::kNoDisk;
        return r;
    }
    if (d->info.writeProtect == kWriteProtected && !force) {
        r.status = EditStatus::kWriteProtected;
        return r;
    }
    scanDirectory(view, d->info, &d->directory);
    r.entries = int32_t(d->directory.entries.size());
    if (d->directory.bytesRead == 0)
        r.status = EditStatus::kNoDirectory;
    else if (d->directory.end == DirectoryEnd::kShort)
        r.status = EditStatus::kShortDirectory;
    return r;
}

EditResult refused(EditResult r, EditStatus status) {
    r.status = status;
    return r;
}

// The directory area as the reader reads it.
void readArea(const ImageView& view, const Disk& d, uint8_t* area) {
    std::memset(area, 0, kDirectorySize);
    view.readSectors(d.info, kDirectoryTrack, 0, 0, kDirectorySector, kSizeCode, area,
                     kDirectorySize);
}

// True when area bytes [begin, end) lie in directory sectors that may be written.
bool areaWritable(const Disk& d, int32_t begin, int32_t end) {
    for (int32_t l = kDirectoryFirst + begin / kSectorSize;
         l <= kDirectoryFirst + (end - 1) / kSectorSize; ++l)
        if (d.data[size_t(l)] < 0) return false;
    return true;
}

// Copies area bytes [begin, end) into the directory sectors (areaWritable first).
void writeArea(std::vector<uint8_t>* image, const Disk& d, const uint8_t* area, int32_t begin,
               int32_t end) {
    for (int32_t o = begin; o < end; ++o) {
        const int32_t l = kDirectoryFirst + o / kSectorSize;
        const int64_t at = d.data[size_t(l)] + o % kSectorSize;
        (*image)[size_t(at)] = area[o];
    }
}

// covered[L]: an entry of `directory` of a size above 0 covers L.
std::vector<bool> covered(const Directory& directory) {
    std::vector<bool> cover(size_t(kLogicalSectors), false);
    for (const DirectoryEntry& e : directory.entries) {
        for (int32_t l = e.start; l < e.start + sectorsFor(e.size) && l < kLogicalSectors; ++l)
            cover[size_t(l)] = true;
    }
    return cover;
}

// Writes data[0, size) from logical sector `first` on and 0x00 over the rest of the `count`
// sectors, each of which may be written.
void writeSectors(std::vector<uint8_t>* image, const Disk& d, int32_t first, int32_t count,
                  const uint8_t* data, size_t size) {
    for (int32_t k = 0; k < count; ++k) {
        const int32_t l = first + k;
        uint8_t* p = image->data() + d.data[size_t(l)];
        const size_t at = size_t(k) * kSectorSize;
        const size_t n = at < size ? std::min(size - at, size_t(kSectorSize)) : 0;
        if (n > 0) std::memcpy(p, data + at, n);
        std::memset(p + n, 0, kSectorSize - n);
    }
}

// Blanks the sectors [start, start + count) outside [keepStart, keepStart + keepCount) that
// lie past track 0, may be written and no entry covers (`cover`), so that they count as free;
// returns how many.
int32_t blankSectors(std::vector<uint8_t>* image, const Disk& d, int32_t start, int32_t count,
                     const std::vector<bool>& cover, int32_t keepStart, int32_t keepCount) {
    int32_t blanked = 0;
    for (int32_t l = std::max(start, kFirstFileSector); l < start + count && l < kLogicalSectors;
         ++l) {
        if (cover[size_t(l)] || d.data[size_t(l)] < 0 ||
            (l >= keepStart && l < keepStart + keepCount))
            continue;
        std::memset(image->data() + d.data[size_t(l)], 0, kSectorSize);
        ++blanked;
    }
    return blanked;
}

// Why entry `e` cannot take a file of `needed` sectors over its own; *sector: the first
// sector at fault.
InPlaceProblem inPlaceProblem(const Disk& d, const DirectoryEntry& e, int32_t needed,
                              const std::vector<bool>& others, int32_t* sector) {
    const int32_t has = sectorsFor(e.size);
    if (needed == 0 && has == 0) return InPlaceProblem::kNone;  // nothing to write
    if (has == 0 || needed > has) return InPlaceProblem::kGrows;
    for (int32_t l = e.start; l < e.start + has; ++l) {
        *sector = l;
        if (l < kFirstFileSector) return InPlaceProblem::kReserved;
        if (l >= kLogicalSectors) return InPlaceProblem::kPastDisk;
        if (d.data[size_t(l)] < 0) return d.why[size_t(l)];
        if (others[size_t(l)]) return InPlaceProblem::kShared;
    }
    *sector = -1;
    return InPlaceProblem::kNone;
}

int32_t findEntry(const Directory& directory, const std::string& name) {
    for (size_t i = 0; i < directory.entries.size(); ++i)
        if (name == directory.entries[i].name) return int32_t(i);
    return -1;
}

}  // namespace

NameCheck checkDiskName(const std::string& name) {
    if (name.empty() || name.size() > size_t(kNameLength)) return NameCheck::kLength;
    if (name == "." || name == "..") return NameCheck::kCharacter;
    for (size_t i = 0; i < name.size(); ++i) {
        const auto b = static_cast<uint8_t>(name[i]);
        if (isShiftJisLead(b) && i + 1 < name.size() &&
            isShiftJisTrail(static_cast<uint8_t>(name[i + 1]))) {
            ++i;
            continue;
        }
        // A space would end the name when it is read back; a zero byte would end the directory.
        if (b <= ' ' || b == 0x7F || b == '/' || b == '\\' || b == ':')
            return NameCheck::kCharacter;
    }
    return NameCheck::kOk;
}

bool ImageEditor::load(const char* path, FileFailure* failure) {
    return readWholeFile(path, kMaxImageSize, &image_, failure);
}

bool ImageEditor::save(const char* path, FileFailure* failure) const {
    return writeFileAtomically(path, image_.data(), image_.size(), failure);
}

EditResult ImageEditor::checkDisk(int32_t disk, bool force) const {
    const ImageView view(image_.data(), image_.size());
    Disk d;
    return openDisk(view, disk, force, &d);
}

EditResult ImageEditor::put(int32_t disk, const std::string& name, const uint8_t* data, size_t size,
                            bool allocate, bool force) {
    EditResult r;
    if (checkDiskName(name) != NameCheck::kOk) return refused(r, EditStatus::kBadName);
    if (size > size_t(kMaxFileSize)) return refused(r, EditStatus::kTooLarge);
    const ImageView view(image_.data(), image_.size());
    Disk d;
    r = openDisk(view, disk, force, &d);
    if (r.status != EditStatus::kDone) return r;
    mapSectors(view, &d);
    uint8_t area[kDirectorySize];
    readArea(view, d, area);

    const int32_t needed = sectorsFor(int32_t(size));
    r.needed = needed;
    const int32_t index = findEntry(d.directory, name);
    Directory others = d.directory;  // every entry but the file's own
    if (index >= 0) others.entries.erase(others.entries.begin() + index);
    const std::vector<bool> cover = covered(others);
    int32_t oldStart = 0;
    int32_t slotsEnd = 0;  // area bytes [at, slotsEnd) change
    if (index >= 0) {
        const DirectoryEntry& e = d.directory.entries[size_t(index)];
        r.index = index;
        r.has = sectorsFor(e.size);
        oldStart = e.start;
        slotsEnd = kEntrySize * (index + 1);
        if (!areaWritable(d, slotsEnd - kEntrySize, slotsEnd))
            return refused(r, EditStatus::kDirectoryLocked);
        r.problem = inPlaceProblem(d, e, needed, cover, &r.sector);
        if (r.problem == InPlaceProblem::kNone) {
            writeSectors(&image_, d, e.start, r.has, data, size);
            putU16LE(area + slotsEnd - kEntrySize + kSizeOffset, uint32_t(size));
            writeArea(&image_, d, area, slotsEnd - kEntrySize, slotsEnd);
            r.action = PutAction::kInPlace;
            r.first = e.start;
            r.count = needed;
            r.freed = r.has - needed;
            return r;
        }
        if (!allocate) return refused(r, EditStatus::kNeedsAllocate);
        r.action = PutAction::kMoved;
    } else {
        if (!allocate) return refused(r, EditStatus::kNoSuchFile);
        if (d.directory.end == DirectoryEnd::kFull) return refused(r, EditStatus::kDirectoryFull);
        r.index = int32_t(d.directory.entries.size());
        // The new entry's slot, and the next one, zeroed so that the directory ends there.
        slotsEnd = std::min(kEntrySize * (r.index + 2), kSlotsEnd);
        if (!areaWritable(d, kEntrySize * r.index, slotsEnd))
            return refused(r, EditStatus::kDirectoryLocked);
        r.action = PutAction::kAdded;
    }

    // Free space by the rule of scan.h, plus the file's own sectors, whatever they hold,
    // where no other entry covers them; only sectors that may be written.
    std::vector<bool> free = freeSectors(view, mapFileSectors(view, d.info), others);
    for (int32_t l = std::max(oldStart, kFirstFileSector);
         l < oldStart + r.has && l < kLogicalSectors; ++l)
        if (!cover[size_t(l)]) free[size_t(l)] = true;
    for (int32_t l = 0; l < kLogicalSectors; ++l)
        if (d.data[size_t(l)] < 0) free[size_t(l)] = false;
    // The lowest run long enough: where the first `needed` free sectors in a row end.
    int32_t first = needed == 0 ? 0 : -1;
    for (int32_t l = 0, run = 0; l < kLogicalSectors && first < 0; ++l) {
        run = free[size_t(l)] ? run + 1 : 0;
        if (run == needed) first = l - needed + 1;
    }
    if (first < 0) {
        r.has = 0;
        for (const SectorRun& run : freeRuns(free))
            r.has = std::max(r.has, run.count);
        return refused(r, EditStatus::kNoRoom);
    }

    writeSectors(&image_, d, first, needed, data, size);
    uint8_t* slot = area + std::ptrdiff_t(kEntrySize) * r.index;
    if (index >= 0) {
        r.freed = blankSectors(&image_, d, oldStart, r.has, cover, first, needed);
    } else {
        std::memset(slot, 0, size_t(slotsEnd - kEntrySize * r.index));
        std::memset(slot + kNameOffset, ' ', kNameLength);
        std::copy(name.begin(), name.end(), slot + kNameOffset);
    }
    putU16LE(slot + kStartOffset, uint32_t(first));
    putU16LE(slot + kSizeOffset, uint32_t(size));
    writeArea(&image_, d, area, kEntrySize * r.index, slotsEnd);
    r.first = first;
    r.count = needed;
    return r;
}

EditResult ImageEditor::remove(int32_t disk, const std::string& name, bool force) {
    const ImageView view(image_.data(), image_.size());
    Disk d;
    EditResult r = openDisk(view, disk, force, &d);
    if (r.status != EditStatus::kDone) return r;
    const int32_t index = findEntry(d.directory, name);
    if (index < 0) return refused(r, EditStatus::kNoSuchFile);
    mapSectors(view, &d);
    // The entries after it move up one slot; the last slot, freed, is zeroed.
    const int32_t at = kEntrySize * index;
    const int32_t end = kEntrySize * int32_t(d.directory.entries.size());
    if (!areaWritable(d, at, end)) return refused(r, EditStatus::kDirectoryLocked);
    uint8_t area[kDirectorySize];
    readArea(view, d, area);
    std::memmove(area + at, area + at + kEntrySize, size_t(end - at - kEntrySize));
    std::memset(area + end - kEntrySize, 0, kEntrySize);
    writeArea(&image_, d, area, at, end);

    const DirectoryEntry e = d.directory.entries[size_t(index)];
    d.directory.entries.erase(d.directory.entries.begin() + index);
    r.index = index;
    r.first = e.start;
    r.count = sectorsFor(e.size);
    r.freed = blankSectors(&image_, d, e.start, r.count, covered(d.directory), 0, 0);
    return r;
}

std::vector<uint8_t> blankImage(const std::string& label) {
    constexpr size_t kSectorBytes = kSectorHeaderSize + kSectorSize;
    const size_t size = kDiskHeaderSize + size_t(kLogicalSectors) * kSectorBytes;
    std::vector<uint8_t> image(size, 0);
    std::memcpy(image.data(), label.data(), std::min(label.size(), size_t(kDiskNameLength)));
    image[kMediaTypeOffset] = kMedia2HD;
    putU32LE(image.data() + kDiskSizeOffset, uint32_t(size));
    for (int32_t t = 0; t < kTracks; ++t) {
        const size_t track = kDiskHeaderSize + size_t(t) * kSectorsPerTrack * kSectorBytes;
        putU32LE(image.data() + kTrackTableOffset + size_t(4) * size_t(t), uint32_t(track));
        for (int32_t r = 0; r < kSectorsPerTrack; ++r) {
            uint8_t* h = image.data() + track + size_t(r) * kSectorBytes;
            h[0] = uint8_t(t >> 1);
            h[1] = uint8_t(t & 1);
            h[2] = uint8_t(kFirstSector + r);
            h[3] = kSizeCode;
            putU16LE(h + kSectorCountOffset, kSectorsPerTrack);
            putU16LE(h + kDataSizeOffset, kSectorSize);
        }
    }
    return image;
}

bool saveNewImage(const char* path, const uint8_t* data, size_t size, FileFailure* failure) {
    return writeNewFile(path, data, size, failure);
}

}  // namespace retrodisk::d88
