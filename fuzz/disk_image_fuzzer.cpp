// Fuzzes DiskImage on arbitrary image files driven by arbitrary calls.
//
// Input: a script of kOpCount operations of kOpSize bytes each, then the image file. The
// image is written to one temporary file and opened; each operation is an opcode byte and
// argument bytes (see argument() and length()), so tracks, IDs, size codes and lengths reach
// the edges of int32_t. Each result goes into a heap block of exactly the length asked for,
// so AddressSanitizer catches any write past it. After every call the invariants must hold.
#include <unistd.h>

#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "disk_image.h"
#include "fuzz_check.h"

namespace {

constexpr size_t kOpSize = 8;
constexpr size_t kOpCount = 6;
constexpr size_t kScriptSize = kOpSize * kOpCount;
constexpr int32_t kDiskHeaderSize = 688;
constexpr int32_t kDiskSizeFieldOffset = 28;

enum Op : uint8_t {
    kSelectDisk,      // index
    kSetSectorRange,  // first, last
    kReadSector,      // track, c, h, r, n, length (2 bytes)
    kReadSectors,     // track, c, h, r, n, length (2 bytes)
    kReadTrackIds,    // track, length (2 bytes)
    kReadFile,        // logical sector (2 bytes), length (2 bytes): as the extractor reads
    kClose,           // open(nullptr)
    kReopen,          // open(path) while open or closed
    kOpKinds
};

// An argument byte: 0x00..0xEF stand for themselves, 0xF0..0xFF for values at the edges.
int32_t argument(uint8_t b) {
    static const int32_t kEdges[16] = {
        -1, -2, -128, INT32_MIN, INT32_MIN + 1, INT32_MAX - 1, INT32_MAX, 255, 256, 65535, 65536,
        24, 25, 31,   32,        1 << 30};
    return b < 0xF0 ? int32_t(b) : kEdges[b - 0xF0];
}

// A length from two bytes: 0..0xFFEF as is, the top 16 values negative.
int32_t length(uint8_t lo, uint8_t hi) {
    const int32_t v = lo | hi << 8;
    static const int32_t kNegative[16] = {
        -1,        -2, -3, -4, -5, -8, -16, -128, -1024, -4096, -65536, -(1 << 24), INT32_MIN + 1,
        INT32_MIN, -7, -9};
    return v < 0xFFF0 ? v : kNegative[v - 0xFFF0];
}

// The temporary file the image is written to, made once, removed at exit.
std::string imagePath;
void removeImage() {
    std::remove(imagePath.c_str());
}
const char* writeImage(const uint8_t* data, size_t size) {
    if (imagePath.empty()) {
        char pattern[] = "/tmp/disk_image_fuzzer.XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        imagePath = pattern;
        std::atexit(removeImage);
    }
    std::FILE* f = std::fopen(imagePath.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
    if (std::fclose(f) != 0) std::abort();
    return imagePath.c_str();
}

// The number of disks open must find: headers of 688 bytes, each disk size field the step
// (32-bit, wrapping) to the next; the search stops at a short or unreachable header.
int32_t expectedDiskCount(const uint8_t* image, size_t size) {
    uint32_t offset = 0;
    int32_t count = 0;
    while (count < DiskImage::kMaxDisks && offset <= INT32_MAX &&
           size_t(offset) + kDiskHeaderSize <= size) {
        offset += uint32_t(readU32LE(image + offset + kDiskSizeFieldOffset));
        ++count;
    }
    return count;
}

void checkState(const DiskImage& disk) {
    FUZZ_CHECK(disk.diskCount() >= 0 && disk.diskCount() <= DiskImage::kMaxDisks);
    FUZZ_CHECK(disk.mediaType() >= -1 && disk.mediaType() <= 255);
    FUZZ_CHECK(strnlen(disk.diskName(), 17) <= 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < kScriptSize) return 0;
    const uint8_t* image = data + kScriptSize;
    const size_t imageSize = size - kScriptSize;
    const char* path = writeImage(image, imageSize);

    const auto disk = std::make_unique<DiskImage>();
    checkState(*disk);
    FUZZ_CHECK(disk->open(path));
    FUZZ_CHECK(disk->diskCount() == expectedDiskCount(image, imageSize));
    FUZZ_CHECK(disk->mediaType() == -1);
    bool isOpen = true;
    bool selected = false;  // no read can succeed before a disk has been selected

    for (size_t i = 0; i < kOpCount; ++i) {
        const uint8_t* op = data + i * kOpSize;
        const uint8_t* a = op + 1;
        int32_t asked = 0;
        int32_t got = 0;
        std::unique_ptr<uint8_t[]> buffer;
        auto block = [&](int32_t n) {  // exactly n bytes (none for a negative n)
            asked = n;
            buffer.reset(new uint8_t[n > 0 ? size_t(n) : 0]);
            return buffer.get();
        };
        switch (op[0] % kOpKinds) {
            case kSelectDisk: {
                const int32_t index = argument(a[0]);
                const bool ok = disk->selectDisk(index);
                FUZZ_CHECK(!ok || (isOpen && index >= 0 && index < disk->diskCount()));
                if (!ok) FUZZ_CHECK(disk->mediaType() == -1 || !isOpen);
                if (isOpen) selected = ok;  // with no file open nothing changes
                break;
            }
            case kSetSectorRange:
                disk->setSectorRange(argument(a[0]), argument(a[1]));
                break;
            case kReadSector:
            case kReadSectors: {
                const int32_t n = length(a[5], a[6]);
                uint8_t* out = block(n);
                got = op[0] % kOpKinds == kReadSector
                          ? disk->readSector(argument(a[0]), argument(a[1]), argument(a[2]),
                                             argument(a[3]), argument(a[4]), out, n)
                          : disk->readSectors(argument(a[0]), argument(a[1]), argument(a[2]),
                                              argument(a[3]), argument(a[4]), out, n);
                break;
            }
            case kReadTrackIds: {
                const int32_t n = length(a[1], a[2]);
                got = disk->readTrackIds(argument(a[0]), block(n), n);
                FUZZ_CHECK(got % 4 == 0);
                break;
            }
            case kReadFile: {
                const int32_t start = a[0] | a[1] << 8;
                const int32_t track = start >> 3;
                const int32_t n = length(a[2], a[3]);
                got = disk->readSectors(track, track >> 1, track & 1, (start & 7) + 1, 3, block(n),
                                        n);
                break;
            }
            case kClose:
                FUZZ_CHECK(disk->open(nullptr));
                FUZZ_CHECK(disk->diskCount() == 0 && disk->mediaType() == -1);
                isOpen = false;
                break;
            case kReopen:  // the selection's fields survive; reads may succeed again
                FUZZ_CHECK(disk->open(path));
                FUZZ_CHECK(disk->diskCount() == expectedDiskCount(image, imageSize));
                isOpen = true;
                break;
            default:
                break;
        }
        FUZZ_CHECK(got >= 0 && got <= (asked > 0 ? asked : 0));
        if (!isOpen || !selected) FUZZ_CHECK(got == 0);
        checkState(*disk);
    }
    return 0;
}
