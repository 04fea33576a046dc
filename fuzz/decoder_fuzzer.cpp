// Fuzzes the decoder on arbitrary VKP files: the input is the whole file (header included),
// handed over at its exact size so AddressSanitizer catches any read past it. decode, the
// byte-at-a-time form, must emit exactly max(original size, 0) bytes, and decodeBlocks the
// same bytes, whatever its block size and wherever its sink stops it; expand() too, when it
// takes the file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include <retrodisk/vkp/decoder.h>

#include "fuzz_check.h"

namespace {

using namespace retrodisk::vkp;

// Larger original sizes are skipped: they only make the run slower (no decompression bombs).
constexpr int32_t kMaxOriginal = 1 << 16;

// Collects decodeBlocks' output; returns false (a write error) on call number stopAt.
struct Collector {
    std::vector<uint8_t> out;
    size_t calls = 0;
    size_t stopAt = 0;  // 0: never
    size_t blockSize = 0;
    bool lastWasShort = false;
};

bool collect(void* context, const uint8_t* data, size_t size) {
    auto* c = static_cast<Collector*>(context);
    FUZZ_CHECK(size > 0 && !c->lastWasShort);  // only the last piece may be short
    c->lastWasShort = size < c->blockSize;
    c->out.insert(c->out.end(), data, data + size);
    return ++c->calls != c->stopAt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < size_t(kHeaderSize) || size > size_t(1) << 24) return 0;
    const int32_t original = readU32BE(data + kOriginalSizeOffset);
    if (original > kMaxOriginal) return 0;
    std::vector<uint8_t> want;
    decode(data, int32_t(size), original, [&](uint8_t b) { want.push_back(b); });
    FUZZ_CHECK(want.size() == size_t(original < 0 ? 0 : original));

    // The compressed size field plays no part in decoding: its bytes choose the block size
    // and the sink call that fails.
    Collector got;
    got.blockSize = kMinBlockSize + size_t(data[2] & 0x0F) * 256 + data[3];
    got.stopAt = data[1];
    const std::unique_ptr<uint8_t[]> work(new uint8_t[blockWorkSize(got.blockSize)]);
    const bool ok =
        decodeBlocks(data, int32_t(size), original, work.get(), got.blockSize, collect, &got);
    FUZZ_CHECK(ok == (got.stopAt == 0 || got.calls < got.stopAt));
    if (ok) {
        FUZZ_CHECK(got.out == want);
    } else {  // what was handed over before the failure is a prefix of the output
        FUZZ_CHECK(got.calls == got.stopAt && got.out.size() <= want.size());
        FUZZ_CHECK(std::equal(got.out.begin(), got.out.end(), want.begin()));
    }

    // expand() gives the same bytes, or refuses (leaving nothing) a negative original size or
    // one its code stream cannot give.
    std::vector<uint8_t> expanded = {0x55};
    const ExpandResult result = expand(data, size, &expanded);
    FUZZ_CHECK(result == ExpandResult::kOk ? expanded == want : expanded.empty());
    const bool expandable =
        original >= 0 && size_t(original) <= maxExpandedSize(size - size_t(kHeaderSize));
    FUZZ_CHECK((result == ExpandResult::kOk) == expandable);
    return 0;
}
