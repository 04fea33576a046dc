#include <retrodisk/vkp/decoder.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace retrodisk::vkp {

// Ring contents before decoding:
//   0..3327     each value 0..255 repeated 13 times
//   3328..3583  0x00..0xFF ascending
//   3584..3839  0xFF..0x00 descending
//   3840..3967  0x00
//   3968..4077  0x20 (space)
void initDictionary(uint8_t* ring) {
    uint32_t i = 0;
    for (uint32_t v = 0; v < 256; ++v)
        for (int k = 0; k < 13; ++k)
            ring[i++] = uint8_t(v);
    for (uint32_t v = 0; v < 256; ++v)
        ring[i++] = uint8_t(v);
    for (uint32_t v = 0; v < 256; ++v)
        ring[i++] = uint8_t(255 - v);
    for (int k = 0; k < 128; ++k)
        ring[i++] = 0;
    for (int k = 0; k < 110; ++k)
        ring[i++] = 0x20;
}

namespace {

// The fast group loop loads 8 bytes of literals at a time, the last ones at most 17 bytes
// after the flag byte (after 8 references).
constexpr uint32_t kFastGroupInput = 1 + 16 + 8;

// The index of the lowest one bit of bits (not zero).
inline uint32_t lowestBit(uint32_t bits) {
#if defined(__GNUC__)
    return uint32_t(__builtin_ctz(bits));
#else
    uint32_t index = 0;
    for (; (bits & 1) == 0; bits >>= 1)
        ++index;
    return index;
#endif
}

constexpr int32_t kMaxGroupOutput = 8 * int32_t(kMaxMatch);

// Copies 16 bytes between ranges that do not overlap; compiles to one load and one store.
inline void copy16(uint8_t* dst, const uint8_t* src) {
    std::memcpy(dst, src, 16);
}

// Copies a reference of `length` bytes from `distance` bytes back, where a bulk 16-byte copy
// could read bytes the reference writes itself: 8 bytes at a time when each step reads only
// bytes already final (distance >= 8). A shorter distance repeats a pattern of `distance`
// bytes: its first 8 bytes are stored 4 at a time, after which the source is moved back by a
// multiple of the distance to 8 or more bytes behind, and the rest goes 8 at a time. (Byte by
// byte, each load would wait for the store before it; runs of zeros in executables are made
// of such references.) May store up to 7 bytes past the end.
inline void copyOverlapping(uint8_t* op, uint32_t distance, uint32_t length) {
    uint8_t* to = op;
    const uint8_t* from = op - distance;
    if (distance < 8) {
        // Added to `from` after the first 4 bytes, then taken off after the next 4.
        static constexpr uint8_t kStep[8] = {0, 1, 2, 1, 0, 4, 4, 4};
        static constexpr int8_t kBack[8] = {0, 0, 0, -1, -4, 1, 2, 3};
        to[0] = from[0];
        to[1] = from[1];
        to[2] = from[2];
        to[3] = from[3];
        from += kStep[distance];
        std::memcpy(to + 4, from, 4);
        from -= kBack[distance];  // now 8, 8, 9, 8, 10, 12, 14 bytes behind to + 8
        to += 8;
    }
    for (const uint8_t* const end = op + length; to < end; to += 8, from += 8)
        std::memcpy(to, from, 8);
}

// The distance back from the byte about to be written at ring position w to the byte at ring
// position `position`: 1 for the byte just written, 4096 for position == w (the oldest byte,
// the one about to be replaced).
inline uint32_t distanceBack(uint32_t w, uint32_t position) {
    return ((w - position - 1) & kRingMask) + 1;
}

}  // namespace

// The output is kept linear: work[0, 4096) holds the ring as it stands before the first
// output byte, oldest byte (ring position 4078) first, and output byte i goes to
// work[4096 + i]. Ring position (4078 + i) & 0xFFF always holds the byte 4096 places back,
// so a reference to an absolute ring position becomes a copy from a distance of 1..4096
// bytes back, with no index to wrap. When a block is full it goes to the sink and its last
// 4096 bytes move to the front to serve as the history of the next one.
bool decodeBlocks(const uint8_t* input, int32_t inputSize, int32_t originalSize, uint8_t* work,
                  size_t blockSize, BlockSink sink, void* context) {
    if (originalSize <= 0) return true;
    // Ring position (4078 + k) & 0xFFF: positions 4078..4095, still zero, then 0..4077.
    std::memset(work, 0, kRingSize - kRingStart);
    initDictionary(work + (kRingSize - kRingStart));
    // The 16-byte copies may read up to 16 bytes past the output written so far; give them a
    // value. The output of this block ends before base + originalSize, or at most a group
    // past the block's end, so only that much of the block is cleared: a small file touches
    // only the pages it uses.
    std::memset(work + kRingSize, 0, std::min(size_t(originalSize), blockSize) + kBlockSlack);

    uint8_t* const base = work + kRingSize;
    uint8_t* const blockEnd = base + blockSize;
    uint8_t* op = base;
    // The ring position of the byte at `at` is (its address + wBias) & 0xFFF; wBias changes
    // only when the output moves back to base.
    uint32_t wBias = kRingStart - uint32_t(reinterpret_cast<uintptr_t>(base));
    auto ringPosition = [&wBias](const uint8_t* at) {
        return uint32_t(reinterpret_cast<uintptr_t>(at)) + wBias;
    };
    const uint32_t end = inputSize < 0 ? 0u : uint32_t(inputSize);
    uint32_t p = kHeaderSize;
    int32_t remaining = originalSize;
    while (remaining > 0) {
        if (op >= blockEnd) {
            const size_t size = size_t(op - base);
            if (!sink(context, base, size)) return false;
            std::memmove(work, op - kRingSize, kRingSize);
            wBias += uint32_t(size);
            op = base;
        }
        if (remaining >= 2 * kMaxGroupOutput && p <= end && end - p >= kFastGroupInput) {
            // Fast path: while op < opLimit and p <= pLimit, every item of the group and of the
            // next one is needed, and all the input the group may load lies inside the
            // buffer, so neither the count nor the input end is checked per item. (The 8-byte
            // loads reach up to 7 bytes past the group: bytes of the next group, which will be
            // read anyway.) A group goes as runs of literals, each copied at once (8 bytes, of
            // which the run's length count), each but the last followed by one reference.
            // Bytes stored past an item's end lie in the slack or ahead of op and are
            // overwritten later.
            uint8_t* const groupsStart = op;
            const size_t room = size_t(remaining - 2 * kMaxGroupOutput) + 1;
            uint8_t* const opLimit = size_t(blockEnd - op) < room ? blockEnd : op + room;
            const uint32_t pLimit = end - kFastGroupInput;
            do {
                const uint32_t flagByte = input[p++];
                if (flagByte == 0xFF) {  // eight literals: a constant step
                    std::memcpy(op, input + p, 8);
                    op += 8;
                    p += 8;
                    continue;
                }
                // The items that are references, one bit each, lowest first. Each turn takes
                // the lowest one: its index alone places the reference and the literals
                // before it (item i starts i bytes after the flag byte, plus one for each
                // reference before it), so no turn waits on the one before except through op.
                uint32_t references = ~flagByte & 0xFF;
                const uint32_t items = p;
                uint32_t next = 0;   // the item after the last reference
                uint32_t extra = 0;  // the references so far
                do {
                    const uint32_t item = lowestBit(references);
                    references &= references - 1;
                    std::memcpy(op, input + items + next + extra, 8);  // the literals before it
                    op += item - next;
                    const uint32_t at = items + item + extra;
                    const uint32_t b0 = input[at];
                    const uint32_t b1 = input[at + 1];
                    const uint32_t length = referenceLength(b1);
                    const uint32_t distance =
                        distanceBack(ringPosition(op), referencePosition(b0, b1));
                    const uint8_t* src = op - distance;
                    if (distance >= kMaxMatch || (distance >= 16 && distance >= length)) {
                        // No overlap: 16 bytes at a time.
                        copy16(op, src);
                        copy16(op + 16, src + 16);
                    } else {
                        copyOverlapping(op, distance, length);
                    }
                    op += length;
                    next = item + 1;
                    ++extra;
                } while (references != 0);
                std::memcpy(op, input + items + next + extra, 8);  // the closing literals
                op += 8 - next;
                p = items + 8 + extra;
            } while (op < opLimit && p <= pLimit);
            remaining -= int32_t(op - groupsStart);
            continue;
        }
        // Near the end of the count or of the input: check both before every read.
        auto next = [&]() -> uint8_t { return p < end ? input[p++] : (p++, uint8_t(0)); };
        unsigned flags = next();
        for (int item = 0; item < 8 && remaining > 0; ++item, flags >>= 1) {
            if ((flags & 1) != 0) {
                *op++ = next();
                --remaining;
                continue;
            }
            const uint32_t b0 = next();
            const uint32_t b1 = next();
            uint32_t length = referenceLength(b1);
            if (int32_t(length) > remaining) length = uint32_t(remaining);
            const uint8_t* src = op - distanceBack(ringPosition(op), referencePosition(b0, b1));
            for (uint32_t k = 0; k < length; ++k)
                op[k] = src[k];  // read after the last store
            op += length;
            remaining -= int32_t(length);
        }
    }
    return sink(context, base, size_t(op - base));
}

namespace {

// expand() decodes in blocks of up to 64 KiB, which its sink appends to the output.
constexpr size_t kExpandBlockSize = size_t(64) << 10;

bool appendBlock(void* context, const uint8_t* data, size_t size) {
    auto* out = static_cast<std::vector<uint8_t>*>(context);
    out->insert(out->end(), data, data + size);  // within the reserve: no allocation
    return true;
}

}  // namespace

ExpandResult expand(const uint8_t* file, size_t size, std::vector<uint8_t>* out, size_t maxOutput) {
    out->clear();
    if (size < size_t(kHeaderSize)) return ExpandResult::kNoHeader;
    if (size > kMaxExpandInput) return ExpandResult::kInputTooLarge;
    const int32_t original = readU32BE(file + kOriginalSizeOffset);
    if (original < 0) return ExpandResult::kNegativeSize;
    const auto outputSize = size_t(original);
    if (outputSize > maxOutput) return ExpandResult::kOutputTooLarge;
    if (outputSize > maxExpandedSize(size - size_t(kHeaderSize)))
        return ExpandResult::kSizeBeyondData;
    // A small output needs only a small work area.
    const size_t blockSize = std::clamp(outputSize, kMinBlockSize, kExpandBlockSize);
    try {
        out->reserve(outputSize);
        const std::unique_ptr<uint8_t[]> work(new uint8_t[blockWorkSize(blockSize)]());
        decodeBlocks(file, int32_t(size), original, work.get(), blockSize, appendBlock, out);
    } catch (const std::bad_alloc&) {
        std::vector<uint8_t>().swap(*out);
        return ExpandResult::kOutOfMemory;
    }
    return ExpandResult::kOk;
}

}  // namespace retrodisk::vkp
