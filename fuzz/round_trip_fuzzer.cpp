// Fuzzes the encoder: arbitrary bytes packed by encodeFile and expanded by decode must come
// back unchanged, also with the smallest parse window and under a file size limit. The header
// must hold the code stream's length and the input's length, encodeFile must only append (or
// leave the vector alone when it refuses), and the optimal parse never loses to all literals.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

#include "fuzz_check.h"

namespace {

using namespace retrodisk::vkp;

// Packs data with encodeFile(..., limits) after a few bytes already in the vector, checks
// what the encoder promises of the file, then expands it again; returns false when the
// encoder refused because of limits.maxFileSize.
bool roundTrip(const uint8_t* data, size_t size, const EncodeLimits* limits) {
    const std::vector<uint8_t> prefix = {0xA5, 0x5A, 0x00};  // encodeFile appends after it
    std::vector<uint8_t> out = prefix;
    if (limits == nullptr) {
        encodeFile(data, uint32_t(size), &out);
    } else if (!encodeFile(data, uint32_t(size), &out, *limits)) {
        FUZZ_CHECK(out == prefix);  // a refusal leaves the vector as it was
        return false;
    }
    FUZZ_CHECK(out.size() >= prefix.size() + size_t(kHeaderSize));
    FUZZ_CHECK(std::equal(prefix.begin(), prefix.end(), out.begin()));

    const uint8_t* file = out.data() + prefix.size();
    const size_t fileSize = out.size() - prefix.size();
    const size_t streamSize = fileSize - size_t(kHeaderSize);
    FUZZ_CHECK(uint32_t(readU32BE(file + kCompressedSizeOffset)) == streamSize);
    FUZZ_CHECK(uint32_t(readU32BE(file + kOriginalSizeOffset)) == size);
    if (limits != nullptr) FUZZ_CHECK(fileSize <= limits->maxFileSize);
    // The optimal parse never loses to all literals (one flag byte per 8 of them).
    if (limits == nullptr) FUZZ_CHECK(streamSize <= size + (size + 7) / 8);

    // The file in a block of its own exact size, so ASan sees any read past its end.
    const std::vector<uint8_t> exact(file, file + fileSize);
    std::vector<uint8_t> back;
    back.reserve(size);
    decode(exact.data(), int32_t(exact.size()), int32_t(size),
           [&](uint8_t b) { back.push_back(b); });
    FUZZ_CHECK(back.size() == size);
    FUZZ_CHECK(std::equal(back.begin(), back.end(), data));
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > size_t(1) << 20) return 0;
    roundTrip(data, size, nullptr);
    // On a quarter of the inputs (encoding is the slow part): the smallest parse window, which
    // makes the parser commit early in long stretches, and a size limit that some inputs fit
    // in and others not.
    if (size % 4 == 0) {
        EncodeLimits limits;
        limits.parseWindow = 64;
        limits.maxFileSize = size_t(kHeaderSize) + size - size / 8;
        roundTrip(data, size, &limits);
    }
    return 0;
}
