#include "decoder.h"

// Ring contents before decoding:
//   0..3327     each value 0..255 repeated 13 times
//   3328..3583  0x00..0xFF ascending
//   3584..3839  0xFF..0x00 descending
//   3840..3967  0x00
//   3968..4077  0x20 (space)
void initDictionary(uint8_t* ring) {
    uint32_t i = 0;
    for (uint32_t v = 0; v < 256; ++v)
        for (int k = 0; k < 13; ++k) ring[i++] = uint8_t(v);
    for (uint32_t v = 0; v < 256; ++v) ring[i++] = uint8_t(v);
    for (uint32_t v = 0; v < 256; ++v) ring[i++] = uint8_t(255 - v);
    for (int k = 0; k < 128; ++k) ring[i++] = 0;
    for (int k = 0; k < 110; ++k) ring[i++] = 0x20;
}
