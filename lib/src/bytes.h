// Multi-byte fields of the image and packed formats, assembled byte by byte in an explicit
// order, never by overlaying memory. Internal to the library: not installed.
#ifndef RETRODISK_SRC_BYTES_H
#define RETRODISK_SRC_BYTES_H

#include <cstdint>

namespace retrodisk {

// Little-endian 16- and 32-bit fields, as the signed 32-bit values the formats compute with
// (a 32-bit field of 2^31 or more comes out negative).
inline int32_t readU16LE(const uint8_t* p) {
    return int32_t(p[0] | (p[1] << 8));
}
inline int32_t readU32LE(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

inline void putU16LE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void putU32LE(uint8_t* p, uint32_t v) {
    putU16LE(p, v);
    putU16LE(p + 2, v >> 16);
}

// A big-endian 32-bit field, most significant byte first.
inline void putU32BE(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

}  // namespace retrodisk

#endif  // RETRODISK_SRC_BYTES_H
