// Fuzzes the encoder: arbitrary bytes packed by encodeFile and expanded by decode must come
// back unchanged. The header must hold the code stream's length and the input's length,
// encodeFile must only append, and the optimal parse can never lose to all literals.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder.h"
#include "encoder.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > size_t(1) << 20) return 0;
    const std::vector<uint8_t> prefix = {0xA5, 0x5A, 0x00};  // encodeFile appends after it
    std::vector<uint8_t> out = prefix;
    encodeFile(data, uint32_t(size), &out);
    FUZZ_CHECK(out.size() >= prefix.size() + size_t(kHeaderSize));
    FUZZ_CHECK(std::equal(prefix.begin(), prefix.end(), out.begin()));

    const uint8_t* file = out.data() + prefix.size();
    const size_t fileSize = out.size() - prefix.size();
    const size_t streamSize = fileSize - size_t(kHeaderSize);
    FUZZ_CHECK(uint32_t(readU32BE(file + kCompressedSizeOffset)) == streamSize);
    FUZZ_CHECK(uint32_t(readU32BE(file + kOriginalSizeOffset)) == size);
    FUZZ_CHECK(streamSize <= size + (size + 7) / 8);  // one flag byte per 8 literals

    // The file in a block of its own exact size, so ASan sees any read past its end.
    const std::vector<uint8_t> exact(file, file + fileSize);
    std::vector<uint8_t> back;
    back.reserve(size);
    decode(exact.data(), int32_t(exact.size()), int32_t(size),
           [&](uint8_t b) { back.push_back(b); });
    FUZZ_CHECK(back.size() == size);
    FUZZ_CHECK(std::equal(back.begin(), back.end(), data));
    return 0;
}
