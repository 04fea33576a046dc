// The encoder: round trips through the project's decoder, the size limit, and a check that the
// parse is the shortest one, against an exhaustive search that works on the decoder's ring.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

#include "test_data.h"

namespace {

using namespace retrodisk::vkp;

using Bytes = std::vector<uint8_t>;

Bytes decodeFile(const Bytes& file) {
    Bytes out;
    if (file.size() < 8) return out;
    decode(file.data(), int32_t(file.size()), readU32BE(file.data() + 4),
           [&](uint8_t b) { out.push_back(b); });
    return out;
}

using testdata::randomBytes;
using testdata::text;

// Code shapes of a typical executable: little-endian counters, zero padding, repeated records.
Bytes binary(size_t n) {
    Bytes b;
    for (uint32_t i = 0; b.size() < n; ++i) {
        for (int k = 0; k < 4; ++k)
            b.push_back(uint8_t(i * 12 >> (8 * k)));
        if (i % 7 == 0) b.insert(b.end(), i % 40, 0);
        if (i % 5 == 0) b.insert(b.end(), {0x48, 0x8B, 0x45, uint8_t(i), 0xE8});
    }
    b.resize(n);
    return b;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes ascending(int from, int count, int step = 1) {
    Bytes b;
    for (int i = 0; i < count; ++i)
        b.push_back(uint8_t(from + step * i));
    return b;
}

struct RoundTrip {
    const char* name;
    Bytes data;
    size_t maxStream;  // a bound on the code stream where the data is known to pack well
};

const Bytes kWindow = randomBytes(4096, 14);

const RoundTrip kRoundTrips[] = {
    {"empty", {}, 0},
    {"one byte", {0x41}, 2},
    {"two bytes", {0x41, 0x42}, 3},
    {"17 bytes", randomBytes(17, 1), SIZE_MAX},
    {"18 bytes", randomBytes(18, 2), SIZE_MAX},
    {"19 bytes", randomBytes(19, 3), SIZE_MAX},
    {"4077 bytes", text(4077, 4), SIZE_MAX},
    {"4078 bytes", text(4078, 5), SIZE_MAX},
    {"4079 bytes", text(4079, 6), SIZE_MAX},
    {"4095 bytes", randomBytes(4095, 7, 4), SIZE_MAX},
    {"4096 bytes", randomBytes(4096, 8, 4), SIZE_MAX},
    {"4097 bytes", randomBytes(4097, 9, 4), SIZE_MAX},
    {"run of 100000 'a'", Bytes(100000, 'a'), 100000 / 18 * 2 + 1000},
    {"run of 100000 zeros", Bytes(100000, 0), 100000 / 18 * 2 + 1000},
    {"text", text(300000, 10), 300000 / 3},
    {"binary", binary(300000), 300000 * 6 / 10},
    {"random", randomBytes(300000, 11), SIZE_MAX},
    {"small alphabet", randomBytes(200000, 12, 3), SIZE_MAX},
    // 4096 unmatched bytes, then their first 18 again: one reference at the longest
    // distance, 4096, which names the ring position about to be written.
    {"match at distance 4096", concat(kWindow, Bytes(kWindow.begin(), kWindow.begin() + 18)),
     4096 + 512 + 3},
    {"no match at distance 4097",
     concat(concat(kWindow, {0x55}), Bytes(kWindow.begin(), kWindow.begin() + 18)), SIZE_MAX},
    {"repeated random block", concat(randomBytes(3000, 13), randomBytes(3000, 13)), 3800},
    // The preset history at the very start: all of these are references from byte 0.
    {"13 equal bytes", Bytes(13, 0x41), 3},
    {"13 equal bytes twice", concat(Bytes(13, 0x41), Bytes(13, 0x42)), 5},
    {"ascending run", ascending(0, 256), 15 * 2 + 2},
    {"descending run", ascending(255, 256, -1), 15 * 2 + 2},
    {"spaces", Bytes(110, ' '), 7 * 2 + 1},
    {"zeros", Bytes(128, 0), 8 * 2 + 1},
    {"spaces then zeros", concat(Bytes(20, ' '), Bytes(20, 0)), 4 * 2 + 1},
    {"values past 255 wrap", concat(Bytes(13, 0xFF), ascending(0, 5)), 3},
};

// Each row also checks the size limit: a file of exactly the limit is appended after what the
// output held; one byte less is refused with the output left as it was.
TEST(EncoderTest, RoundTripsThroughTheDecoder) {
    for (const RoundTrip& row : kRoundTrips) {
        SCOPED_TRACE(row.name);
        const uint8_t* data = row.data.data();
        const auto size = uint32_t(row.data.size());
        Bytes file;
        encodeFile(data, size, &file);
        ASSERT_GE(file.size(), 8u);
        EXPECT_EQ(uint32_t(readU32BE(file.data())), file.size() - 8) << "compressed size field";
        EXPECT_EQ(uint32_t(readU32BE(file.data() + 4)), size) << "original size";
        EXPECT_TRUE(decodeFile(file) == row.data) << "decoded bytes differ";
        EXPECT_LE(file.size() - 8, row.maxStream) << "packs worse than it should";
        EXPECT_LE(file.size() - 8, size + (size + 7) / 8) << "larger than all literals";
        EncodeLimits limits;
        limits.maxFileSize = file.size();
        Bytes out = {1, 2, 3};
        ASSERT_TRUE(encodeFile(data, size, &out, limits));
        EXPECT_TRUE(out == concat({1, 2, 3}, file)) << "appended after what was there";
        limits.maxFileSize = file.size() - 1;
        out = {1, 2, 3};
        EXPECT_FALSE(encodeFile(data, size, &out, limits));
        EXPECT_TRUE(out == Bytes({1, 2, 3})) << "output left as it was";
    }
}

// The most bytes of data[i..] (18 at most) one reference reproduces, tried from every ring
// position and copied as the decoder copies: the bytes the reference stores are read back
// when the copy reaches them. `ring` holds what the decoder's ring holds before offset i.
size_t longestReference(const uint8_t* ring, const Bytes& data, size_t i) {
    const uint32_t w = (kRingStart + uint32_t(i)) & kRingMask;
    size_t most = 0;
    for (uint32_t position = 0; position < kRingSize; ++position) {
        size_t k = 0;
        for (; k < 18 && i + k < data.size(); ++k) {
            const uint32_t q = (position + uint32_t(k)) & kRingMask;
            const uint32_t stored = (q - w) & kRingMask;  // stored by this reference if < k
            if ((stored < k ? data[i + stored] : ring[q]) != data[i + k]) break;
        }
        most = std::max(most, k);
    }
    return most;
}

// The shortest code stream for `data`, searched independently of the encoder: a shortest path
// over (input offset, items in the current group) that counts the flag bytes.
size_t shortestStream(const Bytes& data) {
    const size_t n = data.size();
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    constexpr size_t kNone = SIZE_MAX;
    // best[i][g]: fewest bytes that produce data[0, i) with g items in the current group.
    std::vector<std::array<size_t, 8>> best(n + 1);
    for (auto& b : best)
        b.fill(kNone);
    best[0][0] = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t most = longestReference(ring, data, i);
        for (size_t g = 0; g < 8; ++g) {
            if (best[i][g] == kNone) continue;
            const size_t flag = g == 0 ? 1 : 0;
            auto relax = [&](size_t covered, size_t bytes) {
                size_t& b = best[i + covered][(g + 1) % 8];
                b = std::min(b, best[i][g] + flag + bytes);
            };
            relax(1, 1);
            // A reference of length 3..18 covers that much, or what is left of the data.
            for (size_t length = 3; length <= 18; ++length) {
                const size_t covered = std::min(length, n - i);
                if (covered <= most) relax(covered, 2);
            }
        }
        ring[(kRingStart + i) & kRingMask] = data[i];
    }
    return *std::min_element(best[n].begin(), best[n].end());
}

// The code stream of the classic greedy parse: the longest reference when it covers 3 bytes
// or more, else a literal.
size_t greedyStream(const Bytes& data) {
    uint8_t ring[kRingSize] = {};
    initDictionary(ring);
    size_t items = 0;
    size_t bytes = 0;
    for (size_t i = 0; i < data.size();) {
        const size_t most = longestReference(ring, data, i);
        const size_t covered = most >= 3 ? most : 1;
        bytes += most >= 3 ? 2 : 1;
        ++items;
        for (size_t k = 0; k < covered; ++k, ++i)
            ring[(kRingStart + i) & kRingMask] = data[i];
    }
    return bytes + (items + 7) / 8;
}

TEST(EncoderTest, ParseIsTheShortest) {
    std::vector<Bytes> inputs = {
        {},
        {'a'},
        {'a', 'b'},
        {' ', ' '},
        // Seven bytes with no match, then a pair the history holds: a reference cut short
        // to the last two bytes keeps the items in one group, 10 bytes instead of 11.
        {0x01, 0x80, 0x37, 0xC5, 0x5A, 0x99, 0x10, ' ', ' '},
        Bytes(3, ' '),
        Bytes(40, 0),
        ascending(250, 12),                      // 250..255 0..5
        concat(Bytes(12, 9), ascending(10, 9)),  // 9 x 12, 10..18
        concat(text(50, 40), text(50, 40)),
    };
    for (uint32_t seed = 0; seed < 24; ++seed) {
        inputs.push_back(randomBytes(20 + seed * 7, seed, 2 + seed % 4));
        inputs.push_back(text(30 + seed * 5, seed));
    }
    for (size_t row = 0; row < inputs.size(); ++row) {
        const Bytes& data = inputs[row];
        SCOPED_TRACE(row);
        Bytes file;
        encodeFile(data.data(), uint32_t(data.size()), &file);
        ASSERT_TRUE(decodeFile(file) == data);
        EXPECT_EQ(file.size() - 8, shortestStream(data));
    }
}

// A tiny parse kWindow makes the parser commit before the candidate parses meet, as a long run
// does with the real one: still a correct file, and never longer than the greedy parse.
TEST(EncoderTest, ForcedCommitsStayCorrectAndNoWorseThanGreedy) {
    const Bytes inputs[] = {text(6000, 20), binary(6000), Bytes(3000, 'a'),
                            randomBytes(4000, 21, 2)};
    for (const Bytes& data : inputs) {
        Bytes optimal;
        encodeFile(data.data(), uint32_t(data.size()), &optimal);
        const size_t greedy = greedyStream(data);
        EXPECT_LE(optimal.size() - 8, greedy);
        for (uint32_t window : {1u, 64u, 100u, 2000u}) {
            SCOPED_TRACE(window);
            EncodeLimits limits;
            limits.parseWindow = window;
            Bytes file;
            ASSERT_TRUE(encodeFile(data.data(), uint32_t(data.size()), &file, limits));
            EXPECT_TRUE(decodeFile(file) == data);
            EXPECT_GE(file.size(), optimal.size());
            EXPECT_LE(file.size() - 8, greedy);
        }
    }
}

}  // namespace
