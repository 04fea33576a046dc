// The VKP format: an 8-byte big-endian header followed by a code stream of groups, each one
// flag byte and up to 8 items, literals (flag bit 1) or two-byte references into a 4096-byte
// ring dictionary whose initial contents are fixed. docs/formats.md draws the layout.
#ifndef RETRODISK_VKP_FORMAT_H
#define RETRODISK_VKP_FORMAT_H

#include <cstdint>

namespace retrodisk::vkp {

// Header, 8 bytes: +0 compressed size (u32 BE, the code stream's length; reported only)
//                  +4 original size (u32 BE, a signed count of bytes to produce)
constexpr int kHeaderSize = 8;
constexpr int kCompressedSizeOffset = 0;
constexpr int kOriginalSizeOffset = 4;

// The ring dictionary: every position is masked with kRingMask; output byte i is written at
// (kRingStart + i) & kRingMask.
constexpr uint32_t kRingSize = 4096;
constexpr uint32_t kRingMask = kRingSize - 1;
constexpr uint32_t kRingStart = 4078;  // write position before the first output byte

// Reference, 2 bytes b0 b1: position = b0 | (b1 & 0xF0) << 4, length = (b1 & 0x0F) + 3.
constexpr uint32_t kPositionHighMask = 0xF0;
constexpr uint32_t kLengthMask = 0x0F;
constexpr uint32_t kMinMatch = 3;
constexpr uint32_t kMaxMatch = kMinMatch + kLengthMask;  // 18
constexpr int kItemsPerGroup = 8;

inline uint32_t referencePosition(uint32_t b0, uint32_t b1) {
    return b0 | (b1 & kPositionHighMask) << 4;
}
inline uint32_t referenceLength(uint32_t b1) {
    return (b1 & kLengthMask) + kMinMatch;
}

// The 32-bit value of the four bytes at p, most significant first: how the header's two
// sizes are read.
inline int32_t readU32BE(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 |
                   uint32_t(p[3]));
}

}  // namespace retrodisk::vkp

#endif  // RETRODISK_VKP_FORMAT_H
