#include <retrodisk/d88/disk_image.h>

#include <climits>
#include <cstring>

#include "bytes.h"
#include "file.h"
#include "read_rules.h"

namespace retrodisk::d88 {

DiskImage::~DiskImage() {
    if (file_ != nullptr) std::fclose(file_);
}

void DiskImage::close() {
    if (file_ != nullptr) std::fclose(file_);
    file_ = nullptr;
    position_ = -1;
    diskCount_ = 0;
    mediaType_ = -1;
    cachedTrack_ = -1;
}

bool DiskImage::open(const char* path) {
    close();
    if (path == nullptr) return true;
    file_ = openFile(path, "rb");
    if (file_ == nullptr) return false;
    std::setvbuf(file_, streamBuffer_, _IOFBF, sizeof streamBuffer_);

    // Index the disks: each header's size field is the step to the next one. Offsets wrap as
    // 32-bit values; one that lands on a negative position ends the search like a short read.
    uint32_t offset = 0;
    while (diskCount_ < kMaxDisks) {
        diskOffsets_[diskCount_] = int32_t(offset);
        uint8_t header[kDiskHeaderSize];
        if (readAt(int32_t(offset), header, sizeof header) != sizeof header) break;
        offset += uint32_t(readU32LE(header + kDiskSizeOffset));
        ++diskCount_;
    }
    return true;
}

bool DiskImage::selectDisk(int32_t index) {
    if (file_ == nullptr) return false;
    diskBase_ = -1;
    mediaType_ = -1;
    diskSize_ = 0;
    std::memset(diskName_, 0, kDiskNameLength);
    cachedTrack_ = -1;
    if (index < 0 || index >= diskCount_) return false;

    uint8_t header[kDiskHeaderSize];
    // The header was complete when the file was indexed; a short read now means the file
    // changed since, and the disk is not selected.
    if (readAt(diskOffsets_[index], header, sizeof header) != sizeof header) return false;
    for (int t = 0; t < kTrackCount; ++t)
        trackOffsets_[t] = readU32LE(header + kTrackTableOffset + size_t(4) * size_t(t));
    mediaType_ = header[kMediaTypeOffset];
    diskSize_ = readU32LE(header + kDiskSizeOffset);
    for (int i = 0; i < kDiskNameLength && header[i] != 0; ++i)
        diskName_[i] = char(header[i]);
    diskBase_ = diskOffsets_[index];
    return true;
}

void DiskImage::setSectorRange(int32_t first, int32_t last) {
    firstSector_ = first;
    lastSector_ = last;
}

int64_t DiskImage::trackPosition(int32_t track) const {
    if (file_ == nullptr || track < 0 || track >= kTrackCount) return -1;
    return trackPositionOf(diskBase_, diskSize_, trackOffsets_[track]);
}

size_t DiskImage::readAt(int64_t position, void* buffer, size_t size) {
    if (position < 0 || position > LONG_MAX) return 0;  // no such position: nothing is read
    if (position != position_) {
        const int64_t gap = position - position_;
        // Every fseek costs a system call, even within the stream's buffer; a short step forward
        // (over a sector header, or the data of a sector not wanted) is cheaper read past.
        if (position_ >= 0 && gap > 0 && gap <= kSkipByReading) {
            uint8_t skipped[kSkipByReading];
            if (std::fread(skipped, 1, size_t(gap), file_) != size_t(gap)) {
                position_ = -1;
                return 0;  // the file ends before `position`
            }
        } else if (std::fseek(file_, long(position), SEEK_SET) != 0) {
            position_ = -1;
            return 0;
        }
        position_ = position;
    }
    const size_t got = std::fread(buffer, 1, size, file_);
    position_ = got == size ? position_ + int64_t(got) : -1;
    return got;
}

bool DiskImage::readHeader(int64_t position, uint8_t* header) {
    return readAt(position, header, kSectorHeaderSize) == size_t(kSectorHeaderSize);
}

const DiskImage::SectorSpot* DiskImage::walk(int64_t position, int64_t index,
                                             const uint8_t* target) {
    for (;; ++index) {
        uint8_t header[kSectorHeaderSize];
        if (!readHeader(position, header)) break;  // file ends inside a sector header
        // The sector count is taken afresh from every header: the walk ends where the most
        // recent header says the track ends.
        const int32_t count = readU16LE(header + kSectorCountOffset);
        if (count == 0) break;
        SectorSpot spot;
        std::memcpy(spot.id, header, 4);
        spot.dataSize = readU16LE(header + kDataSizeOffset);
        spot.dataPosition = position + kSectorHeaderSize;
        if (target == nullptr) {
            if (cachedCount_ == kCachedSectors) {
                resumePosition_ = position;
                resumeIndex_ = index;
                return nullptr;
            }
            cache_[cachedCount_++] = spot;
        } else if (std::memcmp(spot.id, target, 4) == 0) {
            found_ = spot;
            return &found_;
        }
        position = spot.dataPosition + spot.dataSize;
        if (index == count - 1) break;
    }
    if (target == nullptr) cacheComplete_ = true;
    return nullptr;
}

int32_t DiskImage::readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                              uint8_t* buffer, int32_t length) {
    const int64_t position = trackPosition(track);
    if (position < 0 || length <= 0) return 0;
    // An ID byte can only match a value of 0 to 255.
    if ((uint32_t(c) | uint32_t(h) | uint32_t(r) | uint32_t(n)) > 0xFF) return 0;
    const uint8_t target[4] = {uint8_t(c), uint8_t(h), uint8_t(r), uint8_t(n)};

    // A run reads the sectors of one track one after the other: walk the track once, then
    // find each sector from what the walk remembered.
    if (cachedTrack_ != track) {
        cachedTrack_ = track;
        cachedCount_ = 0;
        cacheComplete_ = false;
        walk(position, 0, nullptr);
    }
    const SectorSpot* spot = nullptr;
    for (int i = 0; i < cachedCount_ && spot == nullptr; ++i)
        if (std::memcmp(cache_[i].id, target, 4) == 0) spot = &cache_[i];
    if (spot == nullptr && !cacheComplete_) spot = walk(resumePosition_, resumeIndex_, target);
    if (spot == nullptr) return 0;

    const int32_t k = spot->dataSize < length ? spot->dataSize : length;
    // The file may end inside the data: report what was actually read.
    return int32_t(readAt(spot->dataPosition, buffer, size_t(k)));
}

int32_t DiskImage::readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                               uint8_t* buffer, int32_t length) {
    return readSectorRun(track, c, h, r, n, firstSector_, lastSector_, buffer, length,
                         [&](int32_t t, int32_t sc, int32_t sh, int32_t sr, uint8_t* to,
                             int32_t k) { return readSector(t, sc, sh, sr, n, to, k); });
}

int32_t DiskImage::readTrackIds(int32_t track, uint8_t* buffer, int32_t length) {
    int64_t position = trackPosition(track);
    if (position < 0) return 0;
    int32_t total = 0;
    // Unlike readSector's walk, a sector count of 0 does not end this one.
    for (int64_t i = 0; length - total >= 4; ++i) {
        uint8_t header[kSectorHeaderSize];
        if (!readHeader(position, header)) break;
        std::memcpy(buffer + total, header, 4);
        total += 4;
        position += kSectorHeaderSize + readU16LE(header + kDataSizeOffset);
        if (i == readU16LE(header + kSectorCountOffset) - 1) break;
    }
    return total;
}

}  // namespace retrodisk::d88
