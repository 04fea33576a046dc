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

#include <retrodisk/vkp/decoder.h>

#include "case_name.h"
#include "output_name.h"

namespace {

using namespace retrodisk::vkp;

using Bytes = std::vector<uint8_t>;
using testcase::operator<<;

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
    EXPECT_TRUE(decodeBlocks(
        input, inputSize, original, work.data(), blockSize,
        [](void* sink, const uint8_t* data, size_t size) {
            static_cast<Bytes*>(sink)->insert(static_cast<Bytes*>(sink)->end(), data, data + size);
            return true;
        },
        &out));
    return out;
}

Bytes withHeader(int32_t original, const Bytes& stream) {
    Bytes file(kHeaderSize + stream.size(), 0);
    for (int k = 0; k < 4; ++k)
        file[4 + size_t(k)] = uint8_t(uint32_t(original) >> (24 - 8 * k));
    for (size_t i = 0; i < stream.size(); ++i)
        file[kHeaderSize + i] = stream[i];
    return file;
}

const size_t kBlockSizes[] = {kMinBlockSize, 1000, size_t(1) << 17};

// Decodes `stream` both ways (decodeBlocks with several block sizes). `exact`: the stream is
// all the input there is, and the input size claims 64 bytes more, so reading any byte past
// it hits the guard page. Otherwise the input ends with the stream and reads as zero after it.
void expectDecodes(const Bytes& stream, int32_t original, const Bytes& want, bool exact = true) {
    const Bytes file = withHeader(original, stream);
    GuardedBuffer input(file);
    const int32_t inputSize = int32_t(file.size()) + (exact ? 64 : 0);
    EXPECT_EQ(decodeReference(input.data(), inputSize, original), want) << "decode()";
    for (size_t blockSize : kBlockSizes)
        EXPECT_EQ(decodeInBlocks(input.data(), inputSize, original, blockSize), want)
            << "decodeBlocks(), block size " << blockSize;
    // A whole stream with a count that is not negative: expand() gives the same bytes.
    Bytes expanded = {0x55};
    if (exact && original >= 0) {
        EXPECT_EQ(expand(input.data(), file.size(), &expanded), ExpandResult::kOk);
        EXPECT_EQ(expanded, want) << "expand()";
    }
}

// "41 42*3" is 0x41 0x42 0x42 0x42.
Bytes hex(const std::string& text) {
    Bytes out;
    for (size_t at = 0; at < text.size();) {
        size_t end = 0;
        const auto value = uint8_t(std::stoul(text.substr(at), &end, 16));
        at += end;
        size_t count = 1;
        if (at < text.size() && text[at] == '*')
            count = std::stoul(text.substr(at + 1), &end), at += end + 1;
        out.insert(out.end(), count, value);
    }
    return out;
}

struct DecodeCase {
    const char* what;
    const char* stream;  // after the 8-byte header
    int32_t original;
    const char* want;
    bool exact;  // see expectDecodes
};

// References as the first item name ring positions holding the initial contents.
const DecodeCase kDecodeCases[] = {
    {"run of 13 copies of 0x41", "00 4D 3A", 13, "41*13", true},
    {"longer run continues with the next value", "00 4D 3C", 15, "41*13 42*2", true},
    {"run of 0xFF continues into the ascending run", "00 F3 CF", 18, "FF*13 00 01 02 03 04", true},
    {"ascending run", "00 10 D1", 4, "10 11 12 13", true},
    {"ascending run meets the descending run", "00 FE D1", 4, "FE FF FF FE", true},
    {"descending run meets the zeros", "00 FE E1", 4, "01 00 00 00", true},
    {"zeros meet the spaces", "00 7E F1", 4, "00 00 20 20", true},
    {"positions 4078 and up start zero", "00 F0 F0", 3, "00*3", true},
    {"b1 0xFF: length 18 from 0xF00 + b0", "00 70 FF", 18, "00*16 20 20", true},
    {"position wraps from 4095 to 0", "00 FF FF", 18, "00*14 01*4", true},
    {"reference reads bytes it writes", "00 ED F0", 3, "20*3", true},
    {"reference just behind the write position repeats", "01 41 EE F2", 6, "41*6", true},
    {"reference two behind repeats a pair", "03 41 42 EE F3", 8, "41 42 41 42 41 42 41 42", true},
    {"literals only: 9 input bytes per 8 output bytes", "FF 01 02 03 04 05 06 07 08 03 09 0A", 10,
     "01 02 03 04 05 06 07 08 09 0A", true},
    {"flag bits least significant first", "05 78 70 F0 79", 5, "78 00 00 00 79", true},
    // 19 literals (ring 4078..4095, then 0), a reference to position 0 that repeats the 19th,
    // and one to position 4078 that repeats the first three.
    {"write position wraps after 18 bytes",
     "FF 01 02 03 04 05 06 07 08 FF 09 0A 0B 0C 0D 0E 0F 10 07 11 12 13 00 00 EE F0", 25,
     "01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 12 13*4 01 02 03", true},
    {"count ends inside a reference", "00 C0 FF", 2, "20 20", true},
    {"count ends inside a group", "FF 01 02 03", 3, "01 02 03", true},
    {"no flag byte read after a full group", "FF 01 02 03 04 05 06 07 08", 8,
     "01 02 03 04 05 06 07 08", true},
    {"count 0 reads no code byte", "", 0, "", true},
    {"count 0x80000000 reads no code byte", "", INT32_MIN, "", true},
    {"count 0xFFFFFFFF reads no code byte", "", -1, "", true},
    {"zero input: references of length 3 to position 0", "", 7, "00*7", false},
    // b1 is missing, so 0: position 0x0ED (a run of 0x12), length 3.
    {"input ends in the middle: the rest reads as zero", "01 41 ED", 8, "41 12 12 12 00*4", false},
};

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, EmitsExactlyTheWantedBytes) {
    const DecodeCase& c = GetParam();
    expectDecodes(hex(c.stream), c.original, hex(c.want), c.exact);
}

INSTANTIATE_TEST_SUITE_P(Streams, DecodeTest, testing::ValuesIn(kDecodeCases), CaseName());

struct ExpandCase {
    const char* what;
    const char* file;  // with the header
    size_t maxOutput;
    ExpandResult result;
    size_t size;  // of the output
};

// Eight references of 18 bytes: the most 17 bytes of stream can give.
#define EIGHT_REFERENCES "00 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF 00 FF"
const ExpandCase kExpandCases[] = {
    {"7 bytes: no whole header", "00 00 00 00 00 00 00", kMaxExpandOutput, ExpandResult::kNoHeader,
     0},
    {"header alone, count 0", "00*8", kMaxExpandOutput, ExpandResult::kOk, 0},
    {"count -1", "00*4 FF*4", kMaxExpandOutput, ExpandResult::kNegativeSize, 0},
    {"count 0x80000000", "00*4 80 00*3", kMaxExpandOutput, ExpandResult::kNegativeSize, 0},
    {"count 0x7FFFFFFF", "00*4 7F FF*3", kMaxExpandOutput, ExpandResult::kOutputTooLarge, 0},
    {"count past the data: it would read zeros", "00*4 00 00 00 07", kMaxExpandOutput,
     ExpandResult::kSizeBeyondData, 0},
    {"144 bytes from 17", "00*4 00 00 00 90 " EIGHT_REFERENCES, kMaxExpandOutput, ExpandResult::kOk,
     144},
    {"145 bytes from 17", "00*4 00 00 00 91 " EIGHT_REFERENCES, kMaxExpandOutput,
     ExpandResult::kSizeBeyondData, 0},
    {"162 bytes from 17 and one reference", "00*4 00 00 00 A2 " EIGHT_REFERENCES " 00 00 FF",
     kMaxExpandOutput, ExpandResult::kOk, 162},
    {"144 bytes, limit 143", "00*4 00 00 00 90 " EIGHT_REFERENCES, 143,
     ExpandResult::kOutputTooLarge, 0},
};

class ExpandTest : public testing::TestWithParam<ExpandCase> {};

// The output is left empty on every refusal.
TEST_P(ExpandTest, RefusesAbsurdCountsWithTheirReason) {
    const ExpandCase& c = GetParam();
    const Bytes file = hex(c.file);
    GuardedBuffer input(file);
    Bytes out = {0x55};
    EXPECT_EQ(expand(input.data(), file.size(), &out, c.maxOutput), c.result);
    EXPECT_EQ(out.size(), c.size);
}

#undef EIGHT_REFERENCES

INSTANTIATE_TEST_SUITE_P(Files, ExpandTest, testing::ValuesIn(kExpandCases), CaseName());

TEST(Expand, ReadsFilesUpTo16MiB) {
    Bytes file(kMaxExpandInput, 0);
    Bytes out;
    EXPECT_EQ(expand(file.data(), file.size(), &out), ExpandResult::kOk);
    file.push_back(0);
    EXPECT_EQ(expand(file.data(), file.size(), &out), ExpandResult::kInputTooLarge);
}

// Packs literals and references into groups behind flag bytes.
class StreamBuilder {
  public:
    void literal(uint8_t b) {
        flag(true);
        stream.push_back(b);
    }
    void reference(uint32_t position, uint32_t length) {
        flag(false);
        stream.push_back(uint8_t(position));
        stream.push_back(uint8_t((position >> 4 & 0xF0) | (length - 3)));
    }
    Bytes stream;

  private:
    void flag(bool literal) {
        if (items_ % 8 == 0) flagAt_ = stream.size(), stream.push_back(0);
        if (literal) stream[flagAt_] = uint8_t(stream[flagAt_] | 1u << (items_ % 8));
        ++items_;
    }
    size_t flagAt_ = 0, items_ = 0;
};

// Long outputs go through decodeBlocks' fast group loop and across block ends: references
// 18 behind (no overlap) and 1 behind (overlap), the last one cut by the count.
TEST(DecodeLong, PeriodicOutputFromReferences) {
    for (uint32_t period : {18u, 1u}) {
        SCOPED_TRACE(period);
        StreamBuilder builder;
        Bytes want;
        for (uint32_t k = 0; k < period; ++k)
            builder.literal(uint8_t('A' + k));
        uint32_t w = kRingStart + period;
        for (int k = 0; k < 600; ++k, w = (w + 18) & kRingMask)
            builder.reference((w - period) & kRingMask, 18);
        const int32_t original = int32_t(period + 18 * 600 - 5);
        for (int32_t k = 0; k < original; ++k)
            want.push_back(uint8_t('A' + uint32_t(k) % period));
        expectDecodes(builder.stream, original, want);
    }
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
            const uint32_t distance = below(2) != 0 ? 1 + below(40) : 1 + below(kRingSize);
            builder.reference((w - distance) & kRingMask, length);
            written += length;
        }
        Bytes& stream = builder.stream;
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
    auto failing = [](void* count, const uint8_t*, size_t) {
        return ++*static_cast<int*>(count) < 0;
    };
    EXPECT_FALSE(decodeBlocks(file.data(), int32_t(file.size()), 100000, work.data(), kMinBlockSize,
                              failing, &calls));
    EXPECT_EQ(calls, 1);
}

// The command-line tests cover the full-stop rules; here, the limit of the buffer.
TEST(OutputName, CutsAtTheLastFullStopWithinTheBuffer) {
    struct {
        const char* path;
        OutputName result;
        const char* name;  // when kOk
    } const cases[] = {
        {"dir.d/fil", OutputName::kOk, "dir"},         {"file.", OutputName::kOk, "file"},
        {"0123456.x", OutputName::kOk, "0123456"},      // 9 characters and the terminator: fits
        {"01234567.x", OutputName::kTooLong, nullptr},  // 10 and the terminator: does not
        {"0123456789", OutputName::kTooLong, nullptr},  // too long is reported before no full stop
    };
    for (const auto& c : cases) {
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
