// The script at the head of a disk_image_fuzzer input: kOpCount operations of kOpSize bytes,
// an opcode byte (taken modulo kOpKinds) and argument bytes; the image file follows.
// Shared with make_seeds.cpp, which writes scripts for the seeds.
#ifndef FUZZ_DISK_IMAGE_SCRIPT_H
#define FUZZ_DISK_IMAGE_SCRIPT_H

#include <climits>
#include <cstddef>
#include <cstdint>

constexpr size_t kOpSize = 8;
constexpr size_t kOpCount = 6;
constexpr size_t kScriptSize = kOpSize * kOpCount;

// Argument bytes are decoded by scriptArgument (one byte) and scriptLength (two, low first).
enum ScriptOp : uint8_t {
    kSelectDisk,      // index
    kSetSectorRange,  // first, last
    kReadSector,      // track, c, h, r, n, length
    kReadSectors,     // track, c, h, r, n, length
    kReadTrackIds,    // track, length
    kReadFile,        // logical sector (2 bytes, low first), length: as the extractor reads
    kClose,           // open(nullptr)
    kReopen,          // open(path), whether open or closed
    kOpKinds
};

// 0x00..0xEF stand for themselves, 0xF0..0xFF for values at the edges of int32_t.
inline int32_t scriptArgument(uint8_t b) {
    constexpr int32_t kEdges[16] = {-1,        -2,  -128, INT32_MIN, INT32_MIN + 1, INT32_MAX - 1,
                                    INT32_MAX, 255, 256,  65535,     65536,         24,
                                    25,        31,  32,   1 << 30};
    return b < 0xF0 ? int32_t(b) : kEdges[b - 0xF0];
}

// 0..0xFFEF as is; the top 16 values stand for negative lengths.
inline int32_t scriptLength(uint8_t lo, uint8_t hi) {
    constexpr int32_t kNegative[16] = {
        -1,        -2,   -3,   -4,    -5,     -7,         -8,
        -9,        -16,  -128, -1024, -65536, -(1 << 24), INT32_MIN + 1,
        INT32_MIN, -4096};
    const int32_t v = lo | hi << 8;
    return v < 0xFFF0 ? v : kNegative[v - 0xFFF0];
}

#endif  // FUZZ_DISK_IMAGE_SCRIPT_H
