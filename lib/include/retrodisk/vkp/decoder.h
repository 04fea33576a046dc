// VKP stream decoder: the reference decode(), one byte at a time through the ring, and
// decodeBlocks(), which gives the same bytes much faster in blocks.
#ifndef RETRODISK_VKP_DECODER_H
#define RETRODISK_VKP_DECODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include <retrodisk/vkp/format.h>

namespace retrodisk::vkp {

// Fills positions 0..4077 of `ring` with the fixed initial contents; 4078..4095 are left as
// they are (zero in a fresh ring, which is what the format assumes).
void initDictionary(uint8_t* ring);

// Decodes the code stream that starts after the header of input[0, inputSize) and hands each
// output byte to emit(uint8_t). Emits exactly max(originalSize, 0) bytes; reads input[0,
// inputSize) only, bytes past it read as 0; reads no input byte once the count is reached.
// This is the reference form, one byte at a time through the ring; decodeBlocks below gives
// the same bytes much faster.
template <class Sink>
void decode(const uint8_t* input, int32_t inputSize, int32_t originalSize, Sink&& emit) {
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    const uint32_t end = inputSize < 0 ? 0u : uint32_t(inputSize);
    uint32_t p = kHeaderSize;
    auto next = [&]() -> uint8_t { return p < end ? input[p++] : (p++, uint8_t(0)); };
    uint32_t w = kRingStart;
    int32_t remaining = originalSize;
    while (remaining > 0) {
        unsigned flags = next();
        for (int item = 0; item < kItemsPerGroup && remaining > 0; ++item, flags >>= 1) {
            if (flags & 1) {
                const uint8_t b = next();
                ring[w] = b;
                emit(b);
                --remaining;
                w = (w + 1) & kRingMask;
            } else {
                const uint32_t b0 = next();
                const uint32_t b1 = next();
                uint32_t position = referencePosition(b0, b1);
                for (uint32_t k = referenceLength(b1); k > 0 && remaining > 0; --k, --remaining) {
                    const uint8_t b = ring[position];  // read after the previous store
                    ring[w] = b;
                    emit(b);
                    w = (w + 1) & kRingMask;
                    position = (position + 1) & kRingMask;
                }
            }
        }
    }
}

// Output of decodeBlocks: called with consecutive pieces of the output, in order. Returns
// false to stop decoding (a write error).
using BlockSink = bool (*)(void* context, const uint8_t* data, size_t size);

// Room past a block for the last group, which starts inside it and may end up to 8 * 18
// bytes later, and for the 32 bytes a reference's copy stores from where it starts.
constexpr size_t kBlockSlack = size_t(kItemsPerGroup) * kMaxMatch + 32;
constexpr size_t kMinBlockSize = 64;

// Size of the work area decodeBlocks needs for blocks of blockSize bytes: 4096 bytes of
// history, the block, and the slack.
constexpr size_t blockWorkSize(size_t blockSize) noexcept {
    return kRingSize + blockSize + kBlockSlack;
}

// Decodes exactly like decode(): the same bytes, and no input byte that decode() leaves
// unread is read (some are read ahead of their turn). The output goes straight into work,
// which also serves as the history, and is handed to sink(context, data, size) in pieces of
// at least blockSize bytes (the last one may be shorter; nothing is handed over for an empty
// output). work holds blockWorkSize(blockSize) bytes; blockSize >= kMinBlockSize. Returns
// false as soon as sink returns false.
bool decodeBlocks(const uint8_t* input, int32_t inputSize, int32_t originalSize, uint8_t* work,
                  size_t blockSize, BlockSink sink, void* context);

// The most output bytes a code stream of streamSize bytes can give: 144 for each full group of
// 17 bytes (a flag byte and 8 references of 18 bytes), 18 for each whole reference of a last,
// partial group. An original size past it can only come from bytes past the end of the file.
constexpr size_t maxExpandedSize(size_t streamSize) noexcept {
    const size_t group = 1 + 2 * size_t(kItemsPerGroup);
    const size_t partial = streamSize % group;
    return streamSize / group * size_t(kItemsPerGroup) * kMaxMatch +
           (partial == 0 ? 0 : (partial - 1) / 2 * kMaxMatch);
}

// expand() reads files of at most 16 MiB, as much as drupa reads of one; the most such a file
// can expand to (about 135.5 MiB) is its default limit on the output.
constexpr size_t kMaxExpandInput = size_t(16) << 20;
constexpr size_t kMaxExpandOutput = maxExpandedSize(kMaxExpandInput - kHeaderSize);

enum class ExpandResult {
    kOk,
    kNoHeader,        // the file is shorter than the 8-byte header
    kInputTooLarge,   // the file is larger than kMaxExpandInput
    kNegativeSize,    // the header's original size has bit 31 set
    kOutputTooLarge,  // the original size is larger than the caller's limit
    kSizeBeyondData,  // the original size is more than the code stream can give: a file cut
                      // short, or one made to fill memory
    kOutOfMemory,     // no room for the output
};

// Expands a whole VKP file held in memory, file[0, size), into *out (replaced; left empty
// unless the result is kOk) with decodeBlocks. Unlike drupa, which reads what it can of any
// file and reads every byte past its end as zero, it refuses a file without a whole header,
// larger than kMaxExpandInput, or whose original size is negative, more than maxOutput, or
// more than maxExpandedSize of its code stream; within those limits it gives exactly the bytes
// drupa writes. Holds the output, its reserve made once, and a work area of at most 70 KiB.
ExpandResult expand(const uint8_t* file, size_t size, std::vector<uint8_t>* out,
                    size_t maxOutput = kMaxExpandOutput);

}  // namespace retrodisk::vkp

#endif  // RETRODISK_VKP_DECODER_H
