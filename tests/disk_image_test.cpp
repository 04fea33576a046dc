#include <retrodisk/d88/disk_image.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace {

using namespace retrodisk::d88;

using builder::Bytes;
using builder::Disk;
using testcase::operator<<;

builder::Sector sector(uint8_t c, uint8_t h, uint8_t r, uint8_t n, size_t size, uint8_t fill) {
    builder::Sector s;
    s.c = c, s.h = h, s.r = r, s.n = n;
    s.data.assign(size, fill);
    return s;
}

Disk named(const std::string& name) {
    Disk d;
    d.name = name;
    return d;
}

// The image written to a file of its own; `image` has it open with disk `select` selected.
struct Opened {
    cli::TempDir dir;
    std::string path = (dir / "image.d88").string();
    DiskImage image;
    explicit Opened(const Bytes& bytes, int32_t select = 0) {
        cli::writeFile(path, builder::toString(bytes));
        EXPECT_TRUE(image.open(path.c_str()));
        if (select >= 0) {
            EXPECT_TRUE(image.selectDisk(select));
        }
    }
};

// --- indexing ------------------------------------------------------------------------------

struct IndexCase {
    const char* what;
    Bytes image;
    int32_t diskCount;
};

Bytes disks(int count) {
    return builder::image(std::vector<Disk>(size_t(count), named("D")));
}
Bytes cut(Bytes b, size_t length) {
    b.resize(length);
    return b;
}
Bytes sized(int64_t size, const std::vector<Disk>& before = {}) {
    Disk d;
    d.sizeField = size;
    std::vector<Disk> all = before;
    all.insert(all.end(), 2, d);
    return builder::image(all);
}

const IndexCase kIndexCases[] = {
    {"empty file", {}, 0},
    {"shorter than a header", Bytes(687, 0), 0},
    {"one disk, size field = file length", disks(1), 1},
    {"third header cut short", cut(disks(3), 688 * 3 - 1), 2},
    {"64 disks", disks(64), 64},
    {"65th header is never read", disks(70), 64},
    {"size field 0 counts the same header 64 times", sized(0), 64},
    {"size field past the end", sized(100000), 1},
    {"size field reaching a negative offset", sized(0x80000000u), 1},
    // 688 + (2^32 - 688) wraps to offset 0: the first header again.
    {"offsets wrap round to 0", sized(0x100000000 - 688, {named("A")}), 64},
};

class IndexTest : public testing::TestWithParam<IndexCase> {};

TEST_P(IndexTest, CountsCompleteHeaders) {
    const int32_t count = GetParam().diskCount;
    Opened f(GetParam().image, -1);
    EXPECT_EQ(f.image.diskCount(), count);
    EXPECT_EQ(f.image.selectDisk(count - 1), count > 0);
    EXPECT_FALSE(f.image.selectDisk(count));
}

INSTANTIATE_TEST_SUITE_P(DiskImage, IndexTest, testing::ValuesIn(kIndexCases), CaseName());

// --- selecting a disk and opening images ---------------------------------------------------

TEST(DiskImageSelect, LoadsNameMediaTypeAndTracksOfTheChosenDisk) {
    Disk a = named("0123456789ABCDEFGHIJ");  // 16 bytes are kept
    a.mediaType = 0xFF;
    a.tracks[5] = {sector(2, 1, 1, 3, 1024, 0xAA)};
    Disk b = named("B");
    b.tracks[5] = {sector(2, 1, 1, 3, 1024, 0xBB)};
    b.mediaType = 0x20;
    Bytes bytes = builder::image({a, b});
    bytes[a.bytes().size() + 2] = 'X';  // after the zero that ends "B": not part of the name
    DiskImage fresh;
    EXPECT_STREQ(fresh.diskName(), "");
    EXPECT_EQ(fresh.mediaType(), -1);
    Opened f(bytes, -1);
    uint8_t buffer[1024];
    EXPECT_EQ(f.image.readSector(5, 2, 1, 1, 3, buffer, 1024), 0) << "no disk selected yet";
    struct Want {
        int32_t index;
        bool selected;
        const char* name;
        int32_t mediaType, got;
        uint8_t fill;
    };
    for (const Want& w :
         {Want{0, true, "0123456789ABCDEF", 0xFF, 1024, 0xAA}, Want{1, true, "B", 0x20, 1024, 0xBB},
          Want{2, false, "", -1, 0, 0}, Want{0, true, "0123456789ABCDEF", 0xFF, 1024, 0xAA},
          Want{-1, false, "", -1, 0, 0}}) {
        SCOPED_TRACE(w.index);
        buffer[0] = 0;
        EXPECT_EQ(f.image.selectDisk(w.index), w.selected);
        EXPECT_STREQ(f.image.diskName(), w.name);
        EXPECT_EQ(f.image.mediaType(), w.mediaType);
        EXPECT_EQ(f.image.readSector(5, 2, 1, 1, 3, buffer, 1024), w.got);
        EXPECT_EQ(buffer[0], w.fill);
    }
}

Disk oneSector(uint8_t fill) {
    Disk d;
    d.tracks[0] = {sector(0, 0, 1, 3, 1024, fill)};
    return d;
}

size_t openFiles() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// Each open closes the stream before it, also when it fails, and reads come from the image
// and disk opened last.
TEST(DiskImageSelect, FailsWithoutAFileOrAfterTheFileShrank) {
    EXPECT_FALSE(DiskImage().selectDisk(0));
    Opened f(oneSector(1).bytes(), -1);
    ASSERT_EQ(f.image.diskCount(), 1);
    std::filesystem::resize_file(f.path, 600);  // the header is no longer complete
    EXPECT_FALSE(f.image.selectDisk(0));
    EXPECT_EQ(f.image.mediaType(), -1);
    ASSERT_TRUE(f.image.open(nullptr));
    EXPECT_FALSE(f.image.selectDisk(0));
    EXPECT_EQ(f.image.diskCount(), 0);
}

TEST(DiskImageOpen, ReopeningClosesTheOldStreamAndReadsTheNewOne) {
    const size_t before = openFiles();
    Opened second(oneSector(3).bytes(), -1);
    Opened first(builder::image({oneSector(1), oneSector(2)}));
    DiskImage& image = first.image;
    EXPECT_EQ(openFiles(), before + 2);
    uint8_t buffer[1024] = {};
    auto read = [&] {
        buffer[0] = 0;
        return image.readSector(0, 0, 0, 1, 3, buffer, 1024) == 1024 ? buffer[0] : -1;
    };
    EXPECT_EQ(read(), 1);
    ASSERT_TRUE(image.selectDisk(1));
    EXPECT_EQ(read(), 2);
    ASSERT_TRUE(image.open(second.path.c_str()) && image.selectDisk(0));
    EXPECT_EQ(openFiles(), before + 2);
    EXPECT_EQ(read(), 3);
    EXPECT_FALSE(image.open("/nonexistent/image.d88"));
    EXPECT_EQ(openFiles(), before + 1);
    EXPECT_EQ(image.diskCount(), 0);
    EXPECT_EQ(read(), -1);
    ASSERT_TRUE(image.open(second.path.c_str()));
    ASSERT_TRUE(image.open(nullptr));
    EXPECT_EQ(openFiles(), before + 1);
    EXPECT_EQ(read(), -1);
}

// --- finding a sector ----------------------------------------------------------------------

using Change = void (*)(Disk&);

struct SectorCase {
    const char* what;
    std::vector<int32_t> args;  // track, C, H, R, N, length, bytes read
    uint8_t fill;               // every byte read
    Change change;              // made to the disk first
    size_t truncateTo;          // cut the image file to this many bytes (0: keep it whole)
};
SectorCase row(const char* what, std::vector<int32_t> args, uint8_t fill, Change change = nullptr,
               size_t truncateTo = 0) {
    return {what, args, fill, change, truncateTo};
}

// Track 3: (1,1,1,3) 1024 x 0x11, (1,1,2,3) 1024 x 0x22, (1,1,2,2) 512 x 0x33, (1,1,3,3) 1024 x
// 0x44. The track starts at 688; each 1024-byte sector takes 1040 bytes.
Disk four() {
    Disk d;
    d.tracks[3] = {sector(1, 1, 1, 3, 1024, 0x11), sector(1, 1, 2, 3, 1024, 0x22),
                   sector(1, 1, 2, 2, 512, 0x33), sector(1, 1, 3, 3, 1024, 0x44)};
    return d;
}

// Rows: {track, C, H, R, N, length, bytes read}, the fill of the bytes read.
const SectorCase kSectorCases[] = {
    row("first sector", {3, 1, 1, 1, 3, 1024, 1024}, 0x11),
    row("last sector", {3, 1, 1, 3, 3, 1024, 1024}, 0x44),
    row("N tells equal C/H/R apart", {3, 1, 1, 2, 2, 1024, 512}, 0x33),
    row("C must match", {3, 0, 1, 1, 3, 1024, 0}, 0),
    row("H must match", {3, 1, 0, 1, 3, 1024, 0}, 0),
    row("R must match", {3, 1, 1, 4, 3, 1024, 0}, 0),
    row("N must match", {3, 1, 1, 1, 2, 1024, 0}, 0),
    row("ID beyond a byte never matches", {3, 257, 1, 1, 3, 1024, 0}, 0),
    row("length cuts the data", {3, 1, 1, 3, 3, 100, 100}, 0x44),
    row("negative length", {3, 1, 1, 3, 3, -5, 0}, 0),
    row("other track", {2, 1, 1, 1, 3, 1024, 0}, 0),
    row("track -1", {-1, 1, 1, 1, 3, 1024, 0}, 0),
    row("track 164", {164, 1, 1, 1, 3, 1024, 0}, 0),
    row("first match wins", {3, 1, 1, 1, 3, 1024, 1024}, 0x11,
        [](Disk& d) { d.tracks[3][3] = sector(1, 1, 1, 3, 1024, 0x55); }),
    row("data size field shorter than the data", {3, 1, 1, 1, 3, 1024, 10}, 0x11,
        [](Disk& d) { d.tracks[3][0].data.resize(10); }),
    row("data size field 0", {3, 1, 1, 1, 3, 1024, 0}, 0,
        [](Disk& d) { d.tracks[3][0].data.clear(); }),
    row("count 1 ends the walk after one sector", {3, 1, 1, 2, 3, 1024, 0}, 0,
        [](Disk& d) { d.tracks[3][0].count = 1; }),
    row("count from the latest header ends the walk", {3, 1, 1, 3, 3, 1024, 0}, 0,
        [](Disk& d) { d.tracks[3][1].count = 2; }),
    row("count 3 on the 3rd header still reads it", {3, 1, 1, 2, 2, 1024, 512}, 0x33,
        [](Disk& d) { d.tracks[3][2].count = 3; }),
    row("count 0 ends the walk before its sector", {3, 1, 1, 3, 3, 1024, 0}, 0,
        [](Disk& d) { d.tracks[3][3].count = 0; }),
    row("a count below the index does not end the walk", {3, 1, 1, 3, 3, 1024, 1024}, 0x44,
        [](Disk& d) { d.tracks[3][2].count = 1; }),
    row("track offset = disk size passes", {3, 1, 1, 1, 3, 1024, 1024}, 0x11,
        [](Disk& d) { d.sizeField = 688; }),
    row("track offset > disk size fails", {3, 1, 1, 1, 3, 1024, 0}, 0,
        [](Disk& d) { d.sizeField = 687; }),
    row("track offset of 2^31 or more acts negative", {3, 1, 1, 1, 3, 1024, 0}, 0,
        [](Disk& d) { d.trackTableOverride[3] = 0xFFFFFF00u; }),
    row("track offset past the end of the file", {3, 1, 1, 1, 3, 1024, 0}, 0,
        [](Disk& d) { d.trackTableOverride[3] = 5000; }),
    row("file ends inside the first header", {3, 1, 1, 1, 3, 1024, 0}, 0, nullptr, 688 + 15),
    row("file ends inside a later header", {3, 1, 1, 2, 3, 1024, 0}, 0, nullptr, 688 + 1040 + 8),
    row("file ends inside the data", {3, 1, 1, 2, 3, 1024, 100}, 0x22, nullptr,
        688 + 1040 + 16 + 100),
    row("file ends right after a header", {3, 1, 1, 2, 3, 1024, 0}, 0, nullptr, 688 + 1040 + 16),
};

class SectorTest : public testing::TestWithParam<SectorCase> {};

TEST_P(SectorTest, ReadsTheSectorWithThatId) {
    const SectorCase& k = GetParam();
    Disk disk = four();
    if (k.change != nullptr) k.change(disk);
    Bytes bytes = disk.bytes();
    if (k.truncateTo != 0) bytes.resize(k.truncateTo);
    Opened f(bytes);
    std::vector<uint8_t> buffer(2048, 0xEE);
    // Twice: the second read finds the sector from what the first walk remembered.
    for (int pass = 0; pass < 2; ++pass) {
        const std::vector<int32_t>& a = k.args;
        const int32_t got = a[6];
        EXPECT_EQ(f.image.readSector(a[0], a[1], a[2], a[3], a[4], buffer.data(), a[5]), got);
        for (int32_t i = 0; i < got; ++i)
            ASSERT_EQ(buffer[size_t(i)], k.fill) << "byte " << i;
        EXPECT_EQ(buffer[size_t(got)], 0xEE) << "nothing written past what was read";
    }
}

INSTANTIATE_TEST_SUITE_P(DiskImage, SectorTest, testing::ValuesIn(kSectorCases), CaseName());

TEST(DiskImageSector, LongTrackReadsEverySector) {
    // More sectors than one walk remembers, in two orders.
    Disk d;
    for (int r = 1; r <= 200; ++r)
        d.tracks[7].push_back(sector(3, 1, uint8_t(r), 1, 256, uint8_t(r)));
    d.tracks[8] = {sector(4, 0, 1, 1, 256, 0xF0)};
    Opened f(d.bytes());
    uint8_t buffer[256];
    for (int r : {200, 1, 150, 64, 65, 199, 8}) {
        SCOPED_TRACE(r);
        EXPECT_EQ(f.image.readSector(7, 3, 1, r, 1, buffer, 256), 256);
        EXPECT_EQ(buffer[255], r);
        EXPECT_EQ(f.image.readSector(8, 4, 0, 1, 1, buffer, 256), 256);
        EXPECT_EQ(buffer[0], 0xF0);
    }
    EXPECT_EQ(f.image.readSector(7, 3, 1, 201, 1, buffer, 256), 0);
}

TEST(DiskImageSector, TrackOffsetsAreSigned32BitValues) {
    // Disk B's track 0 offset, 2^32 - 1040, passes the size check as -1040 and lands on the
    // track of disk A just before it.
    Disk b;
    b.trackTableOverride[0] = uint32_t(0x100000000 - 1040);
    Opened f(builder::image({oneSector(0xA1), b}), 1);
    uint8_t buffer[1024] = {};
    EXPECT_EQ(f.image.readSector(0, 0, 0, 1, 3, buffer, 1024), 1024);
    EXPECT_EQ(buffer[1023], 0xA1);
    EXPECT_EQ(f.image.readTrackIds(0, buffer, 4), 4);
}

// --- runs of sectors -----------------------------------------------------------------------

// Every byte of logical sector L of a standard disk: a value that tells L from its neighbours.
uint8_t fillOf(size_t logical) {
    return uint8_t(logical * 7 + 1);
}

Disk filled() {
    builder::StandardDisk disk;
    for (size_t s = 0; s < builder::StandardDisk::kSectors; ++s)
        disk.write(s * 1024, Bytes(1024, fillOf(s)));
    return disk.disk();
}

struct RunCase {
    const char* what;
    std::vector<int32_t> args;  // track, C, H, R, N, length, first, last (first 0: default)
    int32_t got;
    std::vector<std::pair<int, size_t>> want;  // (bytes, logical sector they come from)
    Change change;
};
RunCase runRow(const char* what, std::vector<int32_t> args, int32_t got,
               std::vector<std::pair<int, size_t>> want, Change change = nullptr) {
    return {what, args, got, want, change};
}

const RunCase kRunCases[] = {
    runRow("R7 to the other head", {0, 0, 0, 7, 3, 3072, 1, 8}, 3072,
           {{1024, 6}, {1024, 7}, {1024, 8}}),
    runRow("head 1 to the next cylinder", {1, 0, 1, 8, 3, 2048, 1, 8}, 2048,
           {{1024, 15}, {1024, 16}}),
    runRow("short last chunk", {1, 0, 1, 1, 3, 2500, 1, 8}, 2500,
           {{1024, 8}, {1024, 9}, {452, 10}}),
    runRow("whole disk", {0, 0, 0, 1, 3, 1232 * 1024, 1, 8}, 1232 * 1024, {}),
    runRow("past the last track", {153, 76, 1, 8, 3, 2048, 1, 8}, 1024, {{1024, 1231}}),
    runRow("length 0", {0, 0, 0, 1, 3, 0, 1, 8}, 0, {}),
    runRow("negative n", {0, 0, 0, 1, -1, 1024, 1, 8}, 0, {}),
    runRow("smaller n reads nothing here", {0, 0, 0, 1, 2, 512, 1, 8}, 0, {}),
    runRow("default range runs R past 8", {0, 0, 0, 8, 3, 2048, 0, 0}, 1024, {{1024, 7}}),
    runRow("start beyond the last R counts upward", {0, 0, 0, 9, 3, 2048, 1, 8}, 2048,
           {{1024, 6}, {1024, 7}}, [](Disk& d) { d.tracks[0][6].r = 9, d.tracks[0][7].r = 10; }),
    runRow("missing sector ends the run", {0, 0, 0, 6, 3, 4096, 1, 8}, 3072,
           {{1024, 5}, {1024, 6}, {1024, 7}},
           [](Disk& d) { d.tracks[1].erase(d.tracks[1].begin()); }),
    runRow("short sector is not counted", {0, 0, 0, 1, 3, 4096, 1, 8}, 2048,
           {{1024, 0}, {1024, 1}, {1000, 2}}, [](Disk& d) { d.tracks[0][2].data.resize(1000); }),
    runRow("short sector enough for the last chunk", {0, 0, 0, 1, 3, 3000, 1, 8}, 3000,
           {{1024, 0}, {1024, 1}, {952, 2}}, [](Disk& d) { d.tracks[0][2].data.resize(1000); }),
    runRow("huge n: one chunk of what is left", {0, 0, 0, 1, 40, 3000, 1, 8}, 3000, {{3000, 0}},
           [](Disk& d) {
               d.tracks[0][0].n = 40;
               d.tracks[0][0].data.assign(4000, fillOf(0));
           }),
};

class RunTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunTest, StepsThroughSectorsHeadsAndCylinders) {
    const RunCase& k = GetParam();
    const std::vector<int32_t>& a = k.args;
    Disk disk = filled();
    if (k.change != nullptr) k.change(disk);
    Opened f(disk.bytes());
    if (a[6] != 0) f.image.setSectorRange(a[6], a[7]);
    std::vector<uint8_t> buffer(1232 * 1024 + 1, 0xEE);
    ASSERT_EQ(f.image.readSectors(a[0], a[1], a[2], a[3], a[4], buffer.data(), a[5]), k.got);
    std::vector<uint8_t> want;
    for (const auto& [count, logical] : k.want)
        want.insert(want.end(), size_t(count), fillOf(logical));
    if (k.want.empty() && k.got > 0)  // the whole disk in logical order
        for (size_t s = 0; s < builder::StandardDisk::kSectors; ++s)
            want.insert(want.end(), 1024, fillOf(s));
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(buffer[i], want[i]) << "byte " << i;
    EXPECT_EQ(buffer[want.size()], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(DiskImage, RunTest, testing::ValuesIn(kRunCases), CaseName());

// --- track IDs -----------------------------------------------------------------------------

struct IdsCase {
    const char* what;
    Disk disk;
    int32_t track, length;
    int from, to;  // the IDs (1, 0, R, 1) listed, R = from..to
    size_t truncateTo = 0;
};

// Track 2: 16 sectors (1, 0, R, 1) of 256 bytes, R = 1 to 16; each takes 272 bytes.
Disk sixteen(int32_t countField = -1, size_t at = 0) {
    Disk d;
    for (int r = 1; r <= 16; ++r)
        d.tracks[2].push_back(sector(1, 0, uint8_t(r), 1, 256, 0));
    for (size_t i = at; i < 16 && countField >= 0; ++i)
        d.tracks[2][i].count = countField;
    return d;
}

const IdsCase kIdsCases[] = {
    {"buffer for two", sixteen(), 2, 8, 1, 2},
    {"buffer for one and a half", sixteen(), 2, 6, 1, 1},
    {"whole track", sixteen(), 2, 1000, 1, 16},
    {"absent track", sixteen(), 3, 1000, 1, 0},
    {"track 164", sixteen(), 164, 1000, 1, 0},
    {"negative length", sixteen(), 2, -4, 1, 0},
    {"count from the latest header", sixteen(5, 4), 2, 1000, 1, 5},
    {"count 0 does not end the walk", sixteen(0), 2, 1000, 1, 16},
    {"file ends inside a header", sixteen(), 2, 1000, 1, 3, 688 + 3 * 272 + 15},
};

class IdsTest : public testing::TestWithParam<IdsCase> {};

TEST_P(IdsTest, ListsTheIdsOfATrack) {
    const IdsCase& k = GetParam();
    Bytes bytes = k.disk.bytes();
    if (k.truncateTo != 0) bytes.resize(k.truncateTo);
    Opened f(bytes);
    std::vector<uint8_t> buffer(1000, 0xEE);
    std::vector<uint8_t> want;
    for (int r = k.from; r <= k.to; ++r)
        want.insert(want.end(), {1, 0, uint8_t(r), 1});
    ASSERT_EQ(f.image.readTrackIds(k.track, buffer.data(), k.length), int32_t(want.size()));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(want.size())), want);
    EXPECT_EQ(buffer[want.size()], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(DiskImage, IdsTest, testing::ValuesIn(kIdsCases), CaseName());

}  // namespace
