#include <retrodisk/d88/image_view.h>

#include <retrodisk/d88/directory.h>

#include <cstring>

#include "bytes.h"
#include "read_rules.h"

namespace retrodisk::d88 {

ImageView::ImageView(const uint8_t* data, size_t size) : data_(data), size_(size) {
    // Each header's size field is the step to the next one; the offset wraps as 32 bits, and
    // one that lands on a negative position ends the search like a header cut short.
    uint32_t offset = 0;
    while (diskOffsets_.size() < size_t(DiskImage::kMaxDisks) && int32_t(offset) >= 0 &&
           size_t(offset) + kDiskHeaderSize <= size_) {
        diskOffsets_.push_back(int64_t(offset));
        offset += uint32_t(readU32LE(data_ + offset + kDiskSizeOffset));
    }
}

bool ImageView::readDisk(int32_t index, DiskInfo* disk) const {
    if (index < 0 || index >= diskCount()) return false;
    const int64_t offset = diskOffsets_[size_t(index)];
    const uint8_t* header = data_ + offset;
    disk->index = index;
    disk->offset = offset;
    disk->name.clear();
    for (int i = 0; i < kDiskNameLength && header[i] != 0; ++i)
        disk->name += char(header[i]);
    disk->writeProtect = header[kWriteProtectOffset];
    disk->mediaType = header[kMediaTypeOffset];
    disk->size = readU32LE(header + kDiskSizeOffset);
    // The table ends where the first track it names begins, if that is inside the header.
    int64_t tableEnd = kDiskHeaderSize;
    disk->tableEntries = DiskImage::kTrackCount;
    for (int t = 0; t < DiskImage::kTrackCount; ++t) {
        const int64_t at = kTrackTableOffset + int64_t(4) * t;
        disk->trackOffsets[t] = readU32LE(header + at);
        if (at + 4 > tableEnd && disk->tableEntries == DiskImage::kTrackCount)
            disk->tableEntries = t;
        // Only an offset past the entry itself can mark the table's end; a smaller one points
        // into the header and is no track at all.
        if (at + 4 <= tableEnd && disk->trackOffsets[t] >= at + 4 &&
            disk->trackOffsets[t] < tableEnd)
            tableEnd = disk->trackOffsets[t];
    }
    return true;
}

int64_t ImageView::trackPosition(const DiskInfo& disk, int32_t track) {
    if (track < 0 || track >= DiskImage::kTrackCount) return -1;
    return trackPositionOf(disk.offset, disk.size, disk.trackOffsets[track]);
}

bool ImageView::readHeader(int64_t position, SectorRecord* sector) const {
    if (position < 0 || uint64_t(position) + kSectorHeaderSize > size_) return false;
    const uint8_t* h = data_ + position;
    sector->c = h[0];
    sector->h = h[1];
    sector->r = h[2];
    sector->n = h[3];
    sector->count = readU16LE(h + kSectorCountOffset);
    sector->density = h[kDensityOffset];
    sector->deleted = h[kDeletedOffset];
    sector->status = h[kStatusOffset];
    sector->dataSize = readU16LE(h + kDataSizeOffset);
    sector->position = position;
    const uint64_t dataPosition = uint64_t(position) + kSectorHeaderSize;
    const uint64_t left = size_ - dataPosition;
    sector->dataPresent = left < uint64_t(sector->dataSize) ? int32_t(left) : sector->dataSize;
    return true;
}

WalkEnd ImageView::walkTrack(const DiskInfo& disk, int32_t track,
                             std::vector<SectorRecord>* sectors, size_t* budget) const {
    sectors->clear();
    const size_t limit = budget != nullptr ? *budget : SIZE_MAX;
    const auto end = [&](WalkEnd how) {
        if (budget != nullptr) *budget -= sectors->size();
        return how;
    };
    int64_t position = trackPosition(disk, track);
    if (position < 0) return WalkEnd::kNoTrack;
    // Every step moves at least one header forward, so the walk ends at the file's end at
    // the latest.
    for (int64_t i = 0;; ++i) {
        SectorRecord s;
        if (!readHeader(position, &s)) return end(WalkEnd::kFileEnd);
        // The count is taken afresh from every header: the walk ends where the most recent
        // header says the track ends.
        if (s.count == 0) return end(WalkEnd::kCountZero);
        if (sectors->size() == limit) return end(WalkEnd::kLimit);
        sectors->push_back(s);
        position += kSectorHeaderSize + s.dataSize;
        if (i == s.count - 1) return end(WalkEnd::kCount);
    }
}

int32_t ImageView::headersPastCountZero(const DiskInfo& disk, int32_t track, int32_t limit) const {
    int64_t position = trackPosition(disk, track);
    if (position < 0) return 0;
    bool pastZero = false;
    int32_t past = 0;
    // readTrackIds' walk: a count of 0 does not end it; it ends when a header's count says
    // it is the last, or at the file's end.
    for (int64_t i = 0; past < limit; ++i) {
        SectorRecord s;
        if (!readHeader(position, &s)) break;
        if (pastZero) ++past;
        if (s.count == 0) pastZero = true;
        position += kSectorHeaderSize + s.dataSize;
        if (i == s.count - 1) break;
    }
    return past;
}

bool ImageView::findSector(const DiskInfo& disk, int32_t track, const uint8_t id[4],
                           SectorRecord* sector) const {
    int64_t position = trackPosition(disk, track);
    if (position < 0) return false;
    for (int64_t i = 0;; ++i) {
        if (!readHeader(position, sector) || sector->count == 0) return false;
        if (hasId(*sector, id)) return true;
        position += kSectorHeaderSize + sector->dataSize;
        if (i == sector->count - 1) return false;
    }
}

int32_t ImageView::readSector(const DiskInfo& disk, int32_t track, int32_t c, int32_t h, int32_t r,
                              int32_t n, uint8_t* buffer, int32_t length) const {
    if (length <= 0) return 0;
    // An ID byte can only match a value of 0 to 255.
    if ((uint32_t(c) | uint32_t(h) | uint32_t(r) | uint32_t(n)) > 0xFF) return 0;
    const uint8_t id[4] = {uint8_t(c), uint8_t(h), uint8_t(r), uint8_t(n)};
    SectorRecord s;
    if (!findSector(disk, track, id, &s)) return 0;
    // The file may end inside the data: only what is there is read.
    const int32_t k = s.dataPresent < length ? s.dataPresent : length;
    std::memcpy(buffer, data_ + s.position + kSectorHeaderSize, size_t(k));
    return k;
}

int32_t ImageView::readSectors(const DiskInfo& disk, int32_t track, int32_t c, int32_t h, int32_t r,
                               int32_t n, uint8_t* buffer, int32_t length) const {
    return readSectorRun(track, c, h, r, n, kFirstSector, kLastSector, buffer, length,
                         [&](int32_t t, int32_t sc, int32_t sh, int32_t sr, uint8_t* to,
                             int32_t k) { return readSector(disk, t, sc, sh, sr, n, to, k); });
}

}  // namespace retrodisk::d88
