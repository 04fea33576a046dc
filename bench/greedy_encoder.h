// A quick greedy VKP encoder for the benchmarks: hash chains over the last 4096 bytes (the
// initial ring included), the longest match of 3..18 bytes at each step, else a literal. It
// gives the decoder streams with references of every distance and length; it is not the
// project's compressor and makes no claim about its ratio.
#ifndef BENCH_GREEDY_ENCODER_H
#define BENCH_GREEDY_ENCODER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "decoder.h"

// Appends the whole VKP file for input[0, size) to *out; size < 2^31.
inline void greedyEncodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out,
                             int maxChain = 16) {
    constexpr uint32_t kMinMatch = 3;
    constexpr uint32_t kMaxMatch = 18;
    constexpr uint32_t kHashBits = 15;
    // Linear view: 4096 bytes of initial ring (oldest, ring position 4078, first), then the
    // input. Linear index i sits at ring position (4078 + i) & 0xFFF.
    std::vector<uint8_t> data(kRingSize + size_t(size));
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    for (uint32_t i = 0; i < kRingSize; ++i)
        data[i] = ring[(kRingStart + i) & kRingMask];
    for (uint32_t i = 0; i < size; ++i)
        data[kRingSize + i] = input[i];
    const uint32_t end = kRingSize + size;

    std::vector<int32_t> head(size_t(1) << kHashBits, -1);
    std::vector<int32_t> previous(end, -1);
    auto hash = [&](uint32_t i) {
        const uint32_t v =
            uint32_t(data[i]) | uint32_t(data[i + 1]) << 8 | uint32_t(data[i + 2]) << 16;
        return (v * 2654435761u) >> (32 - kHashBits);
    };
    auto insert = [&](uint32_t i) {
        if (i + kMinMatch > end) return;
        const uint32_t h = hash(i);
        previous[i] = head[h];
        head[h] = int32_t(i);
    };
    for (uint32_t i = 0; i < kRingSize; ++i)
        insert(i);

    const size_t base = out->size();
    out->resize(base + kHeaderSize);
    size_t flagAt = 0;
    int items = 0;
    uint32_t i = kRingSize;
    while (i < end) {
        uint32_t bestLength = 0;
        uint32_t bestAt = 0;
        if (i + kMinMatch <= end) {
            const uint32_t limit = end - i < kMaxMatch ? end - i : kMaxMatch;
            int chain = maxChain;
            for (int32_t c = head[hash(i)]; c >= 0 && chain-- > 0; c = previous[size_t(c)]) {
                if (i - uint32_t(c) > kRingSize) break;  // older than the ring holds
                uint32_t length = 0;
                while (length < limit && data[uint32_t(c) + length] == data[i + length])
                    ++length;
                if (length > bestLength) {
                    bestLength = length;
                    bestAt = uint32_t(c);
                    if (length == limit) break;
                }
            }
        }
        if (items % 8 == 0) {
            flagAt = out->size();
            out->push_back(0);
        }
        if (bestLength >= kMinMatch) {
            const uint32_t position = (kRingStart + bestAt) & kRingMask;
            out->push_back(uint8_t(position));
            out->push_back(uint8_t((position >> 4 & 0xF0) | (bestLength - kMinMatch)));
            for (uint32_t k = 0; k < bestLength; ++k)
                insert(i + k);
            i += bestLength;
        } else {
            (*out)[flagAt] = uint8_t((*out)[flagAt] | 1u << (items % 8));
            out->push_back(data[i]);
            insert(i);
            ++i;
        }
        ++items;
    }
    const uint32_t compressed = uint32_t(out->size() - base - kHeaderSize);
    for (int k = 0; k < 4; ++k) {
        (*out)[base + size_t(k)] = uint8_t(compressed >> (24 - 8 * k));
        (*out)[base + 4 + size_t(k)] = uint8_t(size >> (24 - 8 * k));
    }
}

#endif  // BENCH_GREEDY_ENCODER_H
