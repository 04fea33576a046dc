// Fuzzes DiskImage on arbitrary image files driven by arbitrary calls.
//
// Input: a script (disk_image_script.h), then the image file. The image is written to one
// temporary file and opened; the script's operations then reach tracks, IDs, size codes and
// lengths at the edges of int32_t. Each read goes into a heap block of exactly the length
// asked for, so AddressSanitizer catches any write past it. After every call the invariants
// must hold (results within the length asked for, readTrackIds a multiple of 4, disk count
// 0..64, media type -1..255, name at most 16 characters), and every result and every byte
// read must match Model, the reader's rules applied to the image bytes in memory: the
// reader's track cache and stream buffering must not change what it finds.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <retrodisk/d88/disk_image.h>

#include "bytes.h"
#include "disk_image_script.h"
#include "fuzz_check.h"
#include "temp_image.h"

namespace {

using namespace retrodisk;
using namespace retrodisk::d88;

// The reader's rules on the image in memory, in their plainest form: disks found by their
// size fields, track offsets compared signed with the disk size, a sector walk that takes the
// count from every header, runs that step R, then H, then C and the track.
class Model {
  public:
    Model(const uint8_t* image, size_t size) : image_(image), size_(size) {}

    // open(path) closes any open stream first, as open(nullptr) does.
    void open() {
        close();
        isOpen_ = true;
        uint32_t offset = 0;
        while (diskCount_ < DiskImage::kMaxDisks && offset <= uint32_t(INT32_MAX) &&
               size_t(offset) + kDiskHeaderSize <= size_) {
            diskOffsets_[diskCount_++] = int32_t(offset);
            offset += uint32_t(readU32LE(image_ + offset + kDiskSizeOffset));
        }
    }
    void close() {
        isOpen_ = false;
        diskCount_ = 0;
        mediaType_ = -1;
    }
    bool selectDisk(int32_t index) {
        if (!isOpen_) return false;
        base_ = -1;
        diskSize_ = 0;
        name_.clear();
        mediaType_ = -1;
        if (index < 0 || index >= diskCount_) return false;
        const uint8_t* header = image_ + diskOffsets_[index];
        base_ = diskOffsets_[index];
        diskSize_ = readU32LE(header + kDiskSizeOffset);
        mediaType_ = header[kMediaTypeOffset];
        for (int t = 0; t < DiskImage::kTrackCount; ++t)
            tracks_[t] = readU32LE(header + kTrackTableOffset + size_t(4) * size_t(t));
        for (int i = 0; i < kDiskNameLength && header[i] != 0; ++i)
            name_ += char(header[i]);
        return true;
    }
    void setSectorRange(int32_t first, int32_t last) {
        first_ = first;
        last_ = last;
    }

    int32_t readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* out,
                       int32_t length) const {
        uint64_t position = 0;
        if (length <= 0 || !findTrack(track, &position)) return 0;
        for (int64_t i = 0;; ++i) {
            if (position + kSectorHeaderSize > size_) return 0;
            const uint8_t* header = image_ + position;
            const int32_t count = readU16LE(header + kSectorCountOffset);
            const int32_t dataSize = readU16LE(header + kDataSizeOffset);
            if (count == 0) return 0;
            position += kSectorHeaderSize;
            if (header[0] == c && header[1] == h && header[2] == r && header[3] == n) {
                size_t k = size_t(dataSize < length ? dataSize : length);
                if (position + k > size_) k = size_ - size_t(position);  // file ends in data
                std::memcpy(out, image_ + position, k);
                return int32_t(k);
            }
            position += uint64_t(dataSize);
            if (i == count - 1) return 0;
        }
    }
    int32_t readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* out,
                        int32_t length) const {
        if (n < 0) return 0;
        const int64_t sectorSize = n >= 24 ? INT64_MAX : int64_t(128) << n;
        int32_t total = 0;
        while (total < length) {
            const int32_t chunk =
                int32_t(sectorSize < length - total ? sectorSize : length - total);
            if (readSector(track, c, h, r, n, out + total, chunk) < chunk) return total;
            total += chunk;
            if (r == last_) {
                track = int32_t(uint32_t(track) + 1);
                if (h != 0) c = int32_t(uint32_t(c) + 1);
                h = h == 0 ? 1 : 0;
                r = first_;
            } else {
                r = int32_t(uint32_t(r) + 1);
            }
        }
        return total;
    }
    int32_t readTrackIds(int32_t track, uint8_t* out, int32_t length) const {
        uint64_t position = 0;
        if (!findTrack(track, &position)) return 0;
        int32_t total = 0;
        for (int64_t i = 0; length - total >= 4; ++i) {
            if (position + kSectorHeaderSize > size_) break;
            const uint8_t* header = image_ + position;
            std::memcpy(out + total, header, 4);
            total += 4;
            position += kSectorHeaderSize + uint64_t(readU16LE(header + kDataSizeOffset));
            if (i == readU16LE(header + kSectorCountOffset) - 1) break;
        }
        return total;
    }

    int32_t diskCount() const { return diskCount_; }
    int32_t mediaType() const { return mediaType_; }
    const std::string& name() const { return name_; }

  private:
    bool findTrack(int32_t track, uint64_t* position) const {
        if (!isOpen_ || track < 0 || track >= DiskImage::kTrackCount) return false;
        const int32_t offset = tracks_[track];
        if (offset == 0 || offset > diskSize_) return false;
        const int32_t at = int32_t(uint32_t(base_) + uint32_t(offset));
        *position = uint64_t(at);
        return at >= 0;
    }

    const uint8_t* image_;
    size_t size_;
    bool isOpen_ = false;
    int32_t diskCount_ = 0;
    int32_t diskOffsets_[DiskImage::kMaxDisks] = {};
    int32_t base_ = 0;
    int32_t diskSize_ = 0;
    int32_t tracks_[DiskImage::kTrackCount] = {};
    int32_t mediaType_ = -1;
    std::string name_;
    int32_t first_ = 1;
    int32_t last_ = 16;
};

// One operation's result from the reader and from the model, and the bytes each read: the
// reader's into a block of exactly the length asked for.
struct Outcome {
    int32_t asked = 0;
    int32_t got = 0;
    int32_t expected = 0;
    std::unique_ptr<uint8_t[]> buffer;
    std::vector<uint8_t> want;

    uint8_t* block(int32_t length) {
        asked = length;
        const size_t bytes = length > 0 ? size_t(length) : 0;
        buffer.reset(new uint8_t[bytes]);
        want.assign(bytes, 0);
        return buffer.get();
    }
};

// Runs the script operation at `op` on the reader and on the model.
void run(const uint8_t* op, DiskImage& disk, Model& model, const char* path, Outcome* o) {
    const uint8_t* a = op + 1;
    auto arg = [&](int k) { return scriptArgument(a[k]); };
    switch (op[0] % kOpKinds) {
        case kSelectDisk:
            FUZZ_CHECK(disk.selectDisk(arg(0)) == model.selectDisk(arg(0)));
            break;
        case kSetSectorRange:
            disk.setSectorRange(arg(0), arg(1));
            model.setSectorRange(arg(0), arg(1));
            break;
        case kReadSector: {
            const int32_t n = scriptLength(a[5], a[6]);
            o->got = disk.readSector(arg(0), arg(1), arg(2), arg(3), arg(4), o->block(n), n);
            o->expected =
                model.readSector(arg(0), arg(1), arg(2), arg(3), arg(4), o->want.data(), n);
            break;
        }
        case kReadSectors: {
            const int32_t n = scriptLength(a[5], a[6]);
            o->got = disk.readSectors(arg(0), arg(1), arg(2), arg(3), arg(4), o->block(n), n);
            o->expected =
                model.readSectors(arg(0), arg(1), arg(2), arg(3), arg(4), o->want.data(), n);
            break;
        }
        case kReadTrackIds: {
            const int32_t n = scriptLength(a[1], a[2]);
            o->got = disk.readTrackIds(arg(0), o->block(n), n);
            o->expected = model.readTrackIds(arg(0), o->want.data(), n);
            FUZZ_CHECK(o->got % 4 == 0);
            break;
        }
        case kReadFile: {  // the extractor's geometry: logical sector -> track, C, H, R; N 3
            const int32_t start = a[0] | a[1] << 8;
            const int32_t track = start >> 3;
            const int32_t r = (start & 7) + 1;
            const int32_t n = scriptLength(a[2], a[3]);
            o->got = disk.readSectors(track, track >> 1, track & 1, r, 3, o->block(n), n);
            o->expected = model.readSectors(track, track >> 1, track & 1, r, 3, o->want.data(), n);
            break;
        }
        case kClose:
            FUZZ_CHECK(disk.open(nullptr));
            model.close();
            break;
        case kReopen:
            FUZZ_CHECK(disk.open(path));
            model.open();
            break;
        default:
            break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kScriptSize) return 0;
    const uint8_t* image = data + kScriptSize;
    const size_t imageSize = size - kScriptSize;
    const char* path = writeTempImage(image, imageSize);

    const auto disk = std::make_unique<DiskImage>();
    Model model(image, imageSize);
    FUZZ_CHECK(disk->open(path));
    model.open();
    for (size_t i = 0; i < kOpCount; ++i) {
        Outcome o;
        run(data + i * kOpSize, *disk, model, path, &o);
        FUZZ_CHECK(o.got >= 0 && o.got <= (o.asked > 0 ? o.asked : 0));
        FUZZ_CHECK(o.got == o.expected);
        if (o.got > 0) FUZZ_CHECK(std::memcmp(o.buffer.get(), o.want.data(), size_t(o.got)) == 0);

        FUZZ_CHECK(disk->diskCount() >= 0 && disk->diskCount() <= DiskImage::kMaxDisks);
        FUZZ_CHECK(disk->mediaType() >= -1 && disk->mediaType() <= 255);
        FUZZ_CHECK(strnlen(disk->diskName(), kDiskNameLength + 1) <= size_t(kDiskNameLength));
        FUZZ_CHECK(disk->diskCount() == model.diskCount());
        FUZZ_CHECK(disk->mediaType() == model.mediaType());
        FUZZ_CHECK(model.name() == disk->diskName());
    }
    return 0;
}
