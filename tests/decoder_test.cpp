// The VKP decoder on hand-made streams: both the reference decode() and decodeBlocks(), with
// the stream placed just in front of an unreadable page so that reading a byte it must not
// read crashes the test.
#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "case_name.h"
#include "decoder.h"
#include "encoder.h"
#include "output_name.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Bytes placed so that the first byte after them lies on a page that cannot be read.
class GuardedBuffer {
  public:
    explicit GuardedBuffer(const Bytes& bytes) {
        const size_t page = size_t(sysconf(_SC_PAGESIZE));
        pages_ = (bytes.size() + page - 1) / page * page + page;
        void* m = mmap(nullptr, pages_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (m == MAP_FAILED) std::abort();
        mapping_ = static_cast<uint8_t*>(m);
        if (mprotect(mapping_ + pages_ - page, page, PROT_NONE) != 0) std::abort();
        data_ = mapping_ + pages_ - page - bytes.size();
        if (!bytes.empty()) std::memcpy(data_, bytes.data(), bytes.size());
    }
    ~GuardedBuffer() { munmap(mapping_, pages_); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;
    const uint8_t* data() const { return data_; }

  private:
    uint8_t* mapping_ = nullptr;
    uint8_t* data_ = nullptr;
    size_t pages_ = 0;
};

Bytes decodeReference(const uint8_t* input, int32_t inputSize, int32_t original) {
    Bytes out;
    decode(input, inputSize, original, [&](uint8_t b) { out.push_back(b); });
    return out;
}

Bytes decodeInBlocks(const uint8_t* input, int32_t inputSize, int32_t original, size_t blockSize) {
    Bytes out;
    Bytes work(blockWorkSize(blockSize));
    const bool done = decodeBlocks(
        input, inputSize, original, work.data(), blockSize,
        [](void* context, const uint8_t* data, size_t size) {
            auto* sink = static_cast<Bytes*>(context);
            sink->insert(sink->end(), data, data + size);
            return true;
        },
        &out);
    EXPECT_TRUE(done);
    return out;
}

Bytes withHeader(int32_t original, const Bytes& stream) {
    Bytes file(kHeaderSize + stream.size(), 0);
    for (int k = 0; k < 4; ++k)
        file[size_t(4 + k)] = uint8_t(uint32_t(original) >> (24 - 8 * k));
    for (size_t i = 0; i < stream.size(); ++i)
        file[kHeaderSize + i] = stream[i];
    return file;
}

const size_t kBlockSizes[] = {kMinBlockSize, 1000, size_t(1) << 17};

// Decodes `file` both ways (decodeBlocks with several block sizes) and checks each result.
// inputSize may claim more bytes than the file has: the guard page then catches a read of
// any of them.
void expectDecodes(const Bytes& file, int32_t inputSize, int32_t original, const Bytes& want) {
    GuardedBuffer input(file);
    EXPECT_EQ(decodeReference(input.data(), inputSize, original), want) << "decode()";
    for (size_t blockSize : kBlockSizes)
        EXPECT_EQ(decodeInBlocks(input.data(), inputSize, original, blockSize), want)
            << "decodeBlocks(), block size " << blockSize;
}

Bytes repeat(size_t n, uint8_t v) {
    return Bytes(n, v);
}
Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

struct DecodeCase {
    const char* what;
    Bytes stream;  // after the 8-byte header
    int32_t original;
    Bytes want;
    bool exact;  // true: every byte of the stream is needed and none after it may be read
};

// References as the first item name ring positions holding the initial contents.
using testcase::operator<<;

const DecodeCase kDecodeCases[] = {
    {"run of 13 copies of 0x41", {0x00, 0x4D, 0x3A}, 13, repeat(13, 0x41), true},
    {"longer run continues with the next value",
     {0x00, 0x4D, 0x3C},
     15,
     concat({repeat(13, 0x41), {0x42, 0x42}}),
     true},
    {"run of 0xFF continues into the ascending run",
     {0x00, 0xF3, 0xCF},
     18,
     concat({repeat(13, 0xFF), {0x00, 0x01, 0x02, 0x03, 0x04}}),
     true},
    {"ascending run", {0x00, 0x10, 0xD1}, 4, {0x10, 0x11, 0x12, 0x13}, true},
    {"ascending run meets the descending run",
     {0x00, 0xFE, 0xD1},
     4,
     {0xFE, 0xFF, 0xFF, 0xFE},
     true},
    {"descending run meets the zeros", {0x00, 0xFE, 0xE1}, 4, {0x01, 0x00, 0x00, 0x00}, true},
    {"zeros meet the spaces", {0x00, 0x7E, 0xF1}, 4, {0x00, 0x00, 0x20, 0x20}, true},
    {"positions 4078 and up start zero", {0x00, 0xF0, 0xF0}, 3, {0x00, 0x00, 0x00}, true},
    {"b1 0xFF: length 18 from 0xF00 + b0",
     {0x00, 0x70, 0xFF},
     18,
     concat({repeat(16, 0x00), {0x20, 0x20}}),
     true},
    {"position wraps from 4095 to 0",
     {0x00, 0xFF, 0xFF},
     18,
     concat({repeat(14, 0x00), repeat(4, 0x01)}),
     true},
    {"reference reads bytes it writes", {0x00, 0xED, 0xF0}, 3, {0x20, 0x20, 0x20}, true},
    {"reference just behind the write position repeats",
     {0x01, 'A', 0xEE, 0xF2},
     6,
     {'A', 'A', 'A', 'A', 'A', 'A'},
     true},
    {"reference two behind repeats a pair",
     {0x03, 'A', 'B', 0xEE, 0xF3},
     8,
     {'A', 'B', 'A', 'B', 'A', 'B', 'A', 'B'},
     true},
    {"literals only: 9 input bytes per 8 output bytes",
     {0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 0x03, 9, 10},
     10,
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10},
     true},
    {"flag bits least significant first",
     {0x05, 'x', 0x70, 0xF0, 'y'},
     5,
     {'x', 0x00, 0x00, 0x00, 'y'},
     true},
    {"write position wraps after 18 bytes",
     // 19 literals (ring 4078..4095, then 0), a reference to position 0 that repeats the
     // 19th, and one to position 4078 that repeats the first three.
     {0xFF, 1,  2,  3,  4,  5,    6,  7,  8,  0xFF, 9,    10,   11,
      12,   13, 14, 15, 16, 0x07, 17, 18, 19, 0x00, 0x00, 0xEE, 0xF0},
     25,
     {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 19, 19, 19, 1, 2, 3},
     true},
    {"count ends inside a reference", {0x00, 0xC0, 0xFF}, 2, {0x20, 0x20}, true},
    {"count ends inside a group", {0xFF, 1, 2, 3}, 3, {1, 2, 3}, true},
    {"no flag byte read after a full group",
     {0xFF, 1, 2, 3, 4, 5, 6, 7, 8},
     8,
     {1, 2, 3, 4, 5, 6, 7, 8},
     true},
    {"count 0 reads no code byte", {}, 0, {}, true},
    {"count 0x80000000 reads no code byte", {}, INT32_MIN, {}, true},
    {"count 0xFFFFFFFF reads no code byte", {}, -1, {}, true},
    {"zero input: references of length 3 to position 0", {}, 7, repeat(7, 0x00), false},
    {"input ends in the middle: the rest reads as zero",
     {0x01, 'A', 0xED},  // b1 is missing, so 0: position 0x0ED (a run of 0x12), length 3
     8,
     {'A', 0x12, 0x12, 0x12, 0x00, 0x00, 0x00, 0x00},
     false},
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, EmitsExactlyTheWantedBytes) {
    const DecodeCase& c = GetParam();
    const Bytes file = withHeader(c.original, c.stream);
    // An exact case claims more input than it has: reading any of it hits the guard page.
    const int32_t inputSize = int32_t(file.size()) + (c.exact ? 64 : 0);
    expectDecodes(file, inputSize, c.original, c.want);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeTest, testing::ValuesIn(kDecodeCases), CaseName());

TEST(ReadU32BE, FirstByteMostSignificantAndSigned) {
    const uint8_t a[] = {0x12, 0x34, 0x56, 0x78};
    const uint8_t b[] = {0x80, 0x00, 0x00, 0x00};
    const uint8_t c[] = {0xFF, 0xFF, 0xFF, 0xFE};
    EXPECT_EQ(readU32BE(a), 0x12345678);
    EXPECT_EQ(readU32BE(b), INT32_MIN);
    EXPECT_EQ(readU32BE(c), -2);
}

// Packs literals and references into groups behind flag bytes.
class StreamBuilder {
  public:
    void literal(uint8_t b) {
        flag(true);
        stream_.push_back(b);
    }
    void reference(uint32_t position, uint32_t length) {
        flag(false);
        stream_.push_back(uint8_t(position));
        stream_.push_back(uint8_t((position >> 4 & 0xF0) | (length - 3)));
    }
    const Bytes& stream() const { return stream_; }

  private:
    void flag(bool literal) {
        if (items_ % 8 == 0) {
            flagAt_ = stream_.size();
            stream_.push_back(0);
        }
        if (literal) stream_[flagAt_] = uint8_t(stream_[flagAt_] | 1u << (items_ % 8));
        ++items_;
    }
    Bytes stream_;
    size_t flagAt_ = 0;
    size_t items_ = 0;
};

// Long outputs go through decodeBlocks' fast group loop and across block ends.
TEST(DecodeLong, PeriodicOutputFromNonOverlappingReferences) {
    StreamBuilder builder;
    for (int k = 0; k < 18; ++k)
        builder.literal(uint8_t('A' + k));
    uint32_t w = (kRingStart + 18) & kRingMask;
    for (int k = 0; k < 600; ++k, w = (w + 18) & kRingMask)
        builder.reference((w - 18) & kRingMask, 18);
    const int32_t original = 18 + 18 * 600;
    Bytes want;
    for (int k = 0; k < original; ++k)
        want.push_back(uint8_t('A' + k % 18));
    const Bytes file = withHeader(original, builder.stream());
    expectDecodes(file, int32_t(file.size()) + 64, original, want);
}

TEST(DecodeLong, RunFromOverlappingReferences) {
    StreamBuilder builder;
    builder.literal('z');
    uint32_t w = kRingStart + 1;
    for (int k = 0; k < 400; ++k, w = (w + 18) & kRingMask)
        builder.reference((w - 1) & kRingMask, 18);  // the byte just written
    const int32_t original = 1 + 18 * 400 - 5;       // ends inside the last reference
    const Bytes file = withHeader(original, builder.stream());
    expectDecodes(file, int32_t(file.size()) + 64, original, repeat(size_t(original), 'z'));
}

// Random streams decode to the same bytes both ways: literals in runs of every length and
// references of every length, near the write position (overlapping or just not) and
// anywhere. The stream is cut short, so that its tail reads as zero.
TEST(DecodeLong, BlocksMatchReferenceOnRandomStreams) {
    std::mt19937 engine(12345);
    auto below = [&](uint32_t n) { return uint32_t(engine() % n); };
    for (int round = 0; round < 20; ++round) {
        StreamBuilder builder;
        const uint32_t literalShare = below(100);  // percent of items
        uint32_t written = 0;
        for (size_t items = 2000 + below(20000); items > 0; --items) {
            if (below(100) < literalShare) {
                builder.literal(uint8_t(below(256)));
                ++written;
                continue;
            }
            const uint32_t length = 3 + below(16);
            const uint32_t w = (kRingStart + written) & kRingMask;
            const uint32_t distance = below(2) ? 1 + below(40) : 1 + below(kRingSize);
            builder.reference((w - distance) & kRingMask, length);
            written += length;
        }
        Bytes stream = builder.stream();
        stream.resize(stream.size() - below(100));
        const int32_t original = int32_t(written + below(1000));
        const Bytes file = withHeader(original, stream);
        GuardedBuffer input(file);
        const Bytes want = decodeReference(input.data(), int32_t(file.size()), original);
        ASSERT_EQ(want.size(), size_t(original));
        for (size_t blockSize : kBlockSizes)
            ASSERT_EQ(decodeInBlocks(input.data(), int32_t(file.size()), original, blockSize), want)
                << "round " << round << ", block size " << blockSize;
    }
}

TEST(DecodeBlocks, StopsWhenTheSinkFails) {
    const Bytes file = withHeader(100000, {});
    Bytes work(blockWorkSize(kMinBlockSize));
    int calls = 0;
    EXPECT_FALSE(decodeBlocks(
        file.data(), int32_t(file.size()), 100000, work.data(), kMinBlockSize,
        [](void* context, const uint8_t*, size_t) {
            ++*static_cast<int*>(context);
            return false;
        },
        &calls));
    EXPECT_EQ(calls, 1);
}

// Round trips through the project's encoder; its compression ratio is not assumed.
TEST(RoundTrip, EncoderOutputDecodesToTheInput) {
    std::mt19937 random(7);
    std::string text;
    while (text.size() < 300000)
        text += "the quick brown fox jumps over the lazy dog " + std::to_string(random() % 1000);
    Bytes noise(100000);
    for (uint8_t& b : noise)
        b = uint8_t(random());
    const Bytes inputs[] = {
        {},
        {0x41},
        Bytes(text.begin(), text.end()),
        noise,
        repeat(200000, 0x00),
        repeat(5000, 0x20),
    };
    for (const Bytes& input : inputs) {
        Bytes file;
        encodeFile(input.data(), uint32_t(input.size()), &file);
        ASSERT_GE(file.size(), size_t(kHeaderSize));
        EXPECT_EQ(readU32BE(file.data() + kOriginalSizeOffset), int32_t(input.size()));
        EXPECT_EQ(readU32BE(file.data() + kCompressedSizeOffset),
                  int32_t(file.size() - kHeaderSize));
        const int32_t original = int32_t(input.size());
        GuardedBuffer guarded(file);
        // The stream holds everything: nothing past it may be read.
        const int32_t claimed = int32_t(file.size()) + 64;
        EXPECT_EQ(decodeReference(guarded.data(), claimed, original), input)
            << "input of " << input.size() << " bytes";
        EXPECT_EQ(decodeInBlocks(guarded.data(), claimed, original, size_t(1) << 17), input)
            << "input of " << input.size() << " bytes";
    }
}

struct NameCase {
    const char* path;
    OutputName result;
    const char* name;  // when kOk
};

const NameCase kNameCases[] = {
    {"a.vkp", OutputName::kOk, "a"},
    {"a.tar.vkp", OutputName::kOk, "a.tar"},
    {"dir.d/fil", OutputName::kOk, "dir"},
    {"./file", OutputName::kOk, ""},
    {"file.", OutputName::kOk, "file"},
    {"file", OutputName::kNoFullStop, nullptr},
    {"0123456.x", OutputName::kOk, "0123456"},      // 9 characters and the terminator: fits
    {"01234567.x", OutputName::kTooLong, nullptr},  // 10 and the terminator: does not
    {"0123456789", OutputName::kTooLong, nullptr},  // too long is reported before no full stop
};

TEST(OutputName, CutsAtTheLastFullStopWithinTheBuffer) {
    for (const NameCase& c : kNameCases) {
        char name[10 + 1];
        name[10] = '#';  // a guard byte past the 10-byte buffer
        EXPECT_EQ(deriveOutputName(c.path, name, 10), c.result) << c.path;
        if (c.result == OutputName::kOk) {
            EXPECT_STREQ(name, c.name) << c.path;
        }
        EXPECT_EQ(name[10], '#') << c.path;
    }
}

}  // namespace
