// The code page 932 table behind names.cpp (internal). cp932_table.cpp is generated from glibc's
// iconv "CP932" by tools/make_cp932_table.cpp; this header is written by hand.
//
// A double-byte code is a lead byte 0x81-0x9F or 0xE0-0xFC and a trail byte 0x40-0x7E or
// 0x80-0xFC: 188 trail bytes, numbered 0..187 by trailIndex. Lead bytes that have at least one
// character have a row of 188 code points (0: no character there); the user-defined area
// 0xF040-0xF9FC has no rows, its codes are U+E000 + 188 x (lead - 0xF0) + trail index.
#ifndef RETRODISK_D88_CP932_TABLE_H
#define RETRODISK_D88_CP932_TABLE_H

#include <cstddef>
#include <cstdint>

namespace retrodisk::d88::cp932 {

constexpr int kTrailCount = 188;
constexpr uint8_t kFirstLead = 0x81;
constexpr uint8_t kLastLead = 0xFC;
constexpr uint8_t kFirstUserLead = 0xF0;
constexpr uint8_t kLastUserLead = 0xF9;
constexpr uint32_t kFirstUserCodePoint = 0xE000;

// The number of a trail byte among the 188 (0x7F is not one, so 0x80 follows 0x7E).
constexpr int trailIndex(uint8_t trail) {
    return trail < 0x80 ? trail - 0x40 : trail - 0x41;
}

// The row of each lead byte kFirstLead..kLastLead in kRows, or kNoRow for a lead byte without one.
constexpr uint8_t kNoRow = 0xFF;
extern const uint8_t kRowOfLead[kLastLead - kFirstLead + 1];
extern const uint16_t kRows[][kTrailCount];

// Double-byte codes that decode to a character also written by another code, the one an
// encoder writes (NEC row 13 and IBM extensions repeat characters of JIS X 0208 and of each
// other). Sorted; each entry is lead << 8 | trail.
extern const uint16_t kNotWritten[];
extern const size_t kNotWrittenCount;

}  // namespace retrodisk::d88::cp932

#endif  // RETRODISK_D88_CP932_TABLE_H
