// VKP encoder: packs bytes into a VKP file that the decoder expands back to the same bytes.
#ifndef COMPRESS_ENCODER_H
#define COMPRESS_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

// Appends the whole VKP file for input[0, size) (8-byte header, then the code stream) to *out.
// size must be at most 2^31 - 1.
void encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out);

#endif  // COMPRESS_ENCODER_H
