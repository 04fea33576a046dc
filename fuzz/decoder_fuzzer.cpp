// Fuzzes decode on arbitrary VKP files: the input is the whole file (header included) handed
// over at its exact size, so AddressSanitizer catches any read past it. decode must emit
// exactly max(original size, 0) bytes, the same bytes as a plain byte-at-a-time decoding.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder.h"
#include "fuzz_check.h"

namespace {

// Larger original sizes are skipped: they only make the run slower (no decompression bombs).
constexpr int32_t kMaxOriginal = 1 << 16;

// The format decoded in its plainest form, one byte at a time through the ring, with input
// bytes past the end read as zero: what decode's fast paths must agree with.
std::vector<uint8_t> plainDecode(const uint8_t* input, size_t size, int32_t original) {
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    size_t p = kHeaderSize;
    auto next = [&]() -> uint32_t { return p < size ? input[p++] : (++p, 0u); };
    uint32_t w = kRingStart;
    std::vector<uint8_t> out;
    while (int64_t(out.size()) < original) {
        uint32_t flags = next();
        for (int item = 0; item < 8 && int64_t(out.size()) < original; ++item, flags >>= 1) {
            if (flags & 1) {
                ring[w] = uint8_t(next());
                out.push_back(ring[w]);
                w = (w + 1) & kRingMask;
                continue;
            }
            const uint32_t b0 = next();
            const uint32_t b1 = next();
            uint32_t position = b0 | (b1 & 0xF0) << 4;
            for (uint32_t k = 0; k < (b1 & 0x0F) + 3 && int64_t(out.size()) < original; ++k) {
                ring[w] = ring[position];
                out.push_back(ring[w]);
                w = (w + 1) & kRingMask;
                position = (position + 1) & kRingMask;
            }
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < size_t(kHeaderSize) || size > size_t(1) << 24) return 0;
    const int32_t original = readU32BE(data + kOriginalSizeOffset);
    if (original > kMaxOriginal) return 0;
    std::vector<uint8_t> out;
    decode(data, int32_t(size), original, [&](uint8_t b) { out.push_back(b); });
    FUZZ_CHECK(out.size() == size_t(original < 0 ? 0 : original));
    FUZZ_CHECK(out == plainDecode(data, size, original));
    return 0;
}
