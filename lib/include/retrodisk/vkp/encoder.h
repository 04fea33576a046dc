// VKP encoder: packs bytes into a VKP file that the decoder expands back to the same bytes.
//
// The parse is optimal: among all sequences of literals and references (lengths 3..18,
// distances 1..4096, the ring's initial contents included) it picks one with the smallest
// code stream, flag bytes included.
#ifndef RETRODISK_VKP_ENCODER_H
#define RETRODISK_VKP_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace retrodisk::vkp {

// Appends the whole VKP file for input[0, size) (8-byte header, then the code stream) to *out.
// size must be at most 2^31 - 1.
void encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out);

struct EncodeLimits {
    // Largest whole file (header included) the caller accepts.
    size_t maxFileSize = SIZE_MAX;
    // Positions the parser may keep undecided before it commits a prefix of the parse. The
    // parse is optimal whenever the candidate parses share a prefix within this span, which
    // real data does within a few dozen bytes. In a longer stretch where several parses stay
    // equally good (a run of one value longer than the span, for one) the parser commits to
    // one of them anyway, a few bytes from optimal and never longer than the greedy parse, so
    // memory stays bounded whatever the input. Taken as 64 to 2^24.
    uint32_t parseWindow = 1u << 16;
};

// As above, but stops early and returns false, with *out back at its original size, once the
// file would be longer than limits.maxFileSize bytes; true when the file was appended.
bool encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out,
                const EncodeLimits& limits);

}  // namespace retrodisk::vkp

#endif  // RETRODISK_VKP_ENCODER_H
