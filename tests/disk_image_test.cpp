#include "disk_image.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace {

using d88::Bytes;
using testcase::operator<<;

// A sector whose data bytes are all `fill`.
d88::Sector sector(uint8_t c, uint8_t h, uint8_t r, uint8_t n, size_t size, uint8_t fill) {
    d88::Sector s;
    s.c = c;
    s.h = h;
    s.r = r;
    s.n = n;
    s.data.assign(size, fill);
    return s;
}

// The image in a file of its own, opened by `image`.
class ImageFile {
  public:
    explicit ImageFile(const Bytes& bytes) : path_((dir_ / "image.d88").string()) {
        cli::writeFile(path_, d88::toString(bytes));
    }
    const char* path() const { return path_.c_str(); }

  private:
    cli::TempDir dir_;
    std::string path_;
};

d88::Disk namedDisk(const std::string& name) {
    d88::Disk d;
    d.name = name;
    return d;
}

// --- indexing ------------------------------------------------------------------------------

struct IndexCase {
    const char* what;
    std::function<Bytes()> image;
    int32_t diskCount;
};

Bytes repeatDisks(int count) {
    return d88::image(std::vector<d88::Disk>(size_t(count), namedDisk("D")));
}

const IndexCase kIndexCases[] = {
    {"empty file", [] { return Bytes(); }, 0},
    {"shorter than a header", [] { return Bytes(687, 0); }, 0},
    {"one disk, size field = file length", [] { return repeatDisks(1); }, 1},
    {"three disks", [] { return repeatDisks(3); }, 3},
    {"third header cut short",
     [] {
         Bytes b = repeatDisks(3);
         b.pop_back();
         return b;
     },
     2},
    {"64 disks", [] { return repeatDisks(64); }, 64},
    {"65th header is never read", [] { return repeatDisks(70); }, 64},
    {"size field 0 counts the same header 64 times",
     [] {
         d88::Disk d;
         d.sizeField = 0;
         return d.bytes();
     },
     64},
    {"size field past the end",
     [] {
         d88::Disk d;
         d.sizeField = 100000;
         return d88::image({d, d});
     },
     1},
    {"size field reaching a negative offset",
     [] {
         d88::Disk d;
         d.sizeField = 0x80000000u;
         return d88::image({d, d});
     },
     1},
    {"offsets wrap round to 0",
     [] {
         d88::Disk d;  // 688 + (2^32 - 688) wraps to offset 0: the first header again
         d.sizeField = 0x100000000 - 688;
         return d88::image({namedDisk("A"), d});
     },
     64},
};

class IndexTest : public testing::TestWithParam<IndexCase> {};

TEST_P(IndexTest, CountsCompleteHeaders) {
    ImageFile file(GetParam().image());
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    EXPECT_EQ(image.diskCount(), GetParam().diskCount);
    EXPECT_EQ(image.selectDisk(GetParam().diskCount - 1), GetParam().diskCount > 0);
    EXPECT_FALSE(image.selectDisk(GetParam().diskCount));
}

INSTANTIATE_TEST_SUITE_P(DiskImage, IndexTest, testing::ValuesIn(kIndexCases), CaseName());

// --- selecting a disk ----------------------------------------------------------------------

TEST(DiskImageSelect, LoadsNameMediaTypeAndTracksOfTheChosenDisk) {
    d88::Disk a = namedDisk("0123456789ABCDEFGHIJ");  // 16 bytes are kept
    a.mediaType = 0xFF;
    a.tracks[5] = {sector(2, 1, 1, 3, 1024, 0xAA)};
    d88::Disk b = namedDisk("B");
    b.tracks[5] = {sector(2, 1, 1, 3, 1024, 0xBB)};
    b.mediaType = 0x20;
    Bytes bytes = d88::image({a, b});
    bytes[a.bytes().size() + 2] = 'X';  // after the zero that ends "B": not part of the name
    ImageFile file(bytes);

    DiskImage image;
    EXPECT_STREQ(image.diskName(), "");
    EXPECT_EQ(image.mediaType(), -1);
    ASSERT_TRUE(image.open(file.path()));
    uint8_t buffer[1024];
    EXPECT_EQ(image.readSector(5, 2, 1, 1, 3, buffer, 1024), 0) << "no disk selected yet";

    struct Want {
        int32_t index;
        bool selected;
        const char* name;
        int32_t mediaType;
        int32_t got;
        uint8_t fill;
    };
    const Want wants[] = {
        {0, true, "0123456789ABCDEF", 0xFF, 1024, 0xAA},
        {1, true, "B", 0x20, 1024, 0xBB},
        {2, false, "", -1, 0, 0},
        {0, true, "0123456789ABCDEF", 0xFF, 1024, 0xAA},
        {-1, false, "", -1, 0, 0},
    };
    for (const Want& w : wants) {
        SCOPED_TRACE(w.index);
        buffer[0] = 0;
        EXPECT_EQ(image.selectDisk(w.index), w.selected);
        EXPECT_STREQ(image.diskName(), w.name);
        EXPECT_EQ(image.mediaType(), w.mediaType);
        EXPECT_EQ(image.readSector(5, 2, 1, 1, 3, buffer, 1024), w.got);
        EXPECT_EQ(buffer[0], w.fill);
    }
}

TEST(DiskImageSelect, FailsWithoutAFileOrAfterTheFileShrank) {
    DiskImage image;
    EXPECT_FALSE(image.selectDisk(0));
    d88::Disk d;
    d.tracks[0] = {sector(0, 0, 1, 3, 1024, 1)};
    ImageFile file(d.bytes());
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_EQ(image.diskCount(), 1);
    std::filesystem::resize_file(file.path(), 600);  // the header is no longer complete
    EXPECT_FALSE(image.selectDisk(0));
    EXPECT_EQ(image.mediaType(), -1);
    ASSERT_TRUE(image.open(nullptr));
    EXPECT_FALSE(image.selectDisk(0));
    EXPECT_EQ(image.diskCount(), 0);
}

// --- finding a sector ----------------------------------------------------------------------

struct SectorCase {
    const char* what;
    std::function<d88::Disk()> disk;
    int32_t track, c, h, r, n, length;
    int32_t got;
    uint8_t fill;           // every byte read
    size_t truncateTo = 0;  // cut the image file to this many bytes (0: keep it whole)
};

// Track 3: (1,1,1,3) 1024 x 0x11, (1,1,2,3) 1024 x 0x22, (1,1,2,2) 512 x 0x33, (1,1,3,3) 1024 x
// 0x44.
d88::Disk fourSectors() {
    d88::Disk d;
    d.tracks[3] = {sector(1, 1, 1, 3, 1024, 0x11), sector(1, 1, 2, 3, 1024, 0x22),
                   sector(1, 1, 2, 2, 512, 0x33), sector(1, 1, 3, 3, 1024, 0x44)};
    return d;
}
template <class F>
std::function<d88::Disk()> fourSectorsWith(F change) {
    return [change] {
        d88::Disk d = fourSectors();
        change(d);
        return d;
    };
}
constexpr size_t kTrack3 = 688;  // where the only track starts

const SectorCase kSectorCases[] = {
    {"first sector", fourSectors, 3, 1, 1, 1, 3, 1024, 1024, 0x11},
    {"last sector", fourSectors, 3, 1, 1, 3, 3, 1024, 1024, 0x44},
    {"N tells equal C/H/R apart", fourSectors, 3, 1, 1, 2, 2, 1024, 512, 0x33},
    {"C must match", fourSectors, 3, 0, 1, 1, 3, 1024, 0, 0},
    {"H must match", fourSectors, 3, 1, 0, 1, 3, 1024, 0, 0},
    {"R must match", fourSectors, 3, 1, 1, 4, 3, 1024, 0, 0},
    {"N must match", fourSectors, 3, 1, 1, 1, 2, 1024, 0, 0},
    {"ID beyond a byte never matches", fourSectors, 3, 257, 1, 1, 3, 1024, 0, 0},
    {"length cuts the data", fourSectors, 3, 1, 1, 3, 3, 100, 100, 0x44},
    {"length 0", fourSectors, 3, 1, 1, 3, 3, 0, 0, 0},
    {"negative length", fourSectors, 3, 1, 1, 3, 3, -5, 0, 0},
    {"other track", fourSectors, 2, 1, 1, 1, 3, 1024, 0, 0},
    {"track -1", fourSectors, -1, 1, 1, 1, 3, 1024, 0, 0},
    {"track 164", fourSectors, 164, 1, 1, 1, 3, 1024, 0, 0},
    {"first match wins",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][3] = sector(1, 1, 1, 3, 1024, 0x55); }), 3, 1,
     1, 1, 3, 1024, 1024, 0x11},
    {"data size field shorter than the data",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][0].data.resize(10); }), 3, 1, 1, 1, 3, 1024, 10,
     0x11},
    {"data size field 0", fourSectorsWith([](d88::Disk& d) { d.tracks[3][0].data.clear(); }), 3, 1,
     1, 1, 3, 1024, 0, 0},
    {"count 1 ends the walk after one sector",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][0].count = 1; }), 3, 1, 1, 2, 3, 1024, 0, 0},
    {"count from the latest header ends the walk",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][1].count = 2; }), 3, 1, 1, 3, 3, 1024, 0, 0},
    {"count 3 on the 3rd header still reads it",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][2].count = 3; }), 3, 1, 1, 2, 2, 1024, 512,
     0x33},
    {"count 0 ends the walk before its sector",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][3].count = 0; }), 3, 1, 1, 3, 3, 1024, 0, 0},
    {"a count below the index does not end the walk",
     fourSectorsWith([](d88::Disk& d) { d.tracks[3][2].count = 1; }), 3, 1, 1, 3, 3, 1024, 1024,
     0x44},
    {"track offset = disk size passes", fourSectorsWith([](d88::Disk& d) { d.sizeField = 688; }), 3,
     1, 1, 1, 3, 1024, 1024, 0x11},
    {"track offset > disk size fails", fourSectorsWith([](d88::Disk& d) { d.sizeField = 687; }), 3,
     1, 1, 1, 3, 1024, 0, 0},
    {"track offset of 2^31 or more acts negative",
     fourSectorsWith([](d88::Disk& d) { d.trackTableOverride[3] = 0xFFFFFF00u; }), 3, 1, 1, 1, 3,
     1024, 0, 0},
    {"track offset past the end of the file",
     fourSectorsWith([](d88::Disk& d) { d.trackTableOverride[3] = 5000; }), 3, 1, 1, 1, 3, 1024, 0,
     0},
    {"file ends inside the first header", fourSectors, 3, 1, 1, 1, 3, 1024, 0, 0, kTrack3 + 15},
    {"file ends inside a later header", fourSectors, 3, 1, 1, 2, 3, 1024, 0, 0, kTrack3 + 1040 + 8},
    {"file ends inside the data", fourSectors, 3, 1, 1, 2, 3, 1024, 100, 0x22,
     kTrack3 + 1040 + 16 + 100},
    {"file ends right after a header", fourSectors, 3, 1, 1, 2, 3, 1024, 0, 0, kTrack3 + 1040 + 16},
};

class SectorTest : public testing::TestWithParam<SectorCase> {};

TEST_P(SectorTest, ReadsTheSectorWithThatId) {
    const SectorCase& k = GetParam();
    Bytes bytes = k.disk().bytes();
    if (k.truncateTo != 0) bytes.resize(k.truncateTo);
    ImageFile file(bytes);
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.selectDisk(0));
    std::vector<uint8_t> buffer(2048, 0xEE);
    // Twice: the second read finds the sector from what the first walk remembered.
    for (int pass = 0; pass < 2; ++pass) {
        EXPECT_EQ(image.readSector(k.track, k.c, k.h, k.r, k.n, buffer.data(), k.length), k.got);
        for (int32_t i = 0; i < k.got; ++i)
            ASSERT_EQ(buffer[size_t(i)], k.fill) << "byte " << i;
        EXPECT_EQ(buffer[size_t(k.got)], 0xEE) << "nothing written past what was read";
    }
}

INSTANTIATE_TEST_SUITE_P(DiskImage, SectorTest, testing::ValuesIn(kSectorCases), CaseName());

TEST(DiskImageSector, LongTrackReadsEverySector) {
    // More sectors than one walk remembers, in two orders.
    d88::Disk d;
    for (int r = 1; r <= 200; ++r)
        d.tracks[7].push_back(sector(3, 1, uint8_t(r), 1, 256, uint8_t(r)));
    d.tracks[8] = {sector(4, 0, 1, 1, 256, 0xF0)};
    ImageFile file(d.bytes());
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.selectDisk(0));
    uint8_t buffer[256];
    for (int r : {200, 1, 150, 64, 65, 199, 8}) {
        SCOPED_TRACE(r);
        EXPECT_EQ(image.readSector(7, 3, 1, r, 1, buffer, 256), 256);
        EXPECT_EQ(buffer[255], r);
        EXPECT_EQ(image.readSector(8, 4, 0, 1, 1, buffer, 256), 256);
        EXPECT_EQ(buffer[0], 0xF0);
    }
    EXPECT_EQ(image.readSector(7, 3, 1, 201, 1, buffer, 256), 0);
}

TEST(DiskImageSector, ReadsTheImageAndDiskOpenedLast) {
    auto diskWith = [](uint8_t fill) {
        d88::Disk d;
        d.tracks[0] = {sector(0, 0, 1, 3, 1024, fill)};
        return d;
    };
    ImageFile first(d88::image({diskWith(1), diskWith(2)}));
    ImageFile second(diskWith(3).bytes());
    DiskImage image;
    uint8_t buffer[1024] = {};
    auto read = [&] {
        buffer[0] = 0;
        return image.readSector(0, 0, 0, 1, 3, buffer, 1024) == 1024 ? buffer[0] : -1;
    };
    ASSERT_TRUE(image.open(first.path()));
    ASSERT_TRUE(image.selectDisk(0));
    EXPECT_EQ(read(), 1);
    ASSERT_TRUE(image.selectDisk(1));
    EXPECT_EQ(read(), 2);
    ASSERT_TRUE(image.open(second.path()));
    ASSERT_TRUE(image.selectDisk(0));
    EXPECT_EQ(read(), 3);
    ASSERT_TRUE(image.open(nullptr));
    EXPECT_EQ(read(), -1);
}

TEST(DiskImageSector, TrackOffsetsAreSigned32BitValues) {
    // Disk B's track 0 offset, 2^32 - 1040, passes the size check as -1040 and lands on the
    // track of disk A just before it.
    d88::Disk a;
    a.tracks[0] = {sector(0, 0, 1, 3, 1024, 0xA1)};
    d88::Disk b;
    b.trackTableOverride[0] = uint32_t(0x100000000 - 1040);
    ImageFile file(d88::image({a, b}));
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.selectDisk(1));
    uint8_t buffer[1024] = {};
    EXPECT_EQ(image.readSector(0, 0, 0, 1, 3, buffer, 1024), 1024);
    EXPECT_EQ(buffer[1023], 0xA1);
    EXPECT_EQ(image.readTrackIds(0, buffer, 4), 4);
}

// Counts this process's open file descriptors.
size_t openFiles() {
    size_t count = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

TEST(DiskImageOpen, ReopeningClosesTheOldStream) {
    ImageFile file(namedDisk("A").bytes());
    DiskImage image;
    const size_t before = openFiles();
    ASSERT_TRUE(image.open(file.path()));
    EXPECT_EQ(openFiles(), before + 1);
    ASSERT_TRUE(image.open(file.path()));
    EXPECT_EQ(openFiles(), before + 1);
    EXPECT_FALSE(image.open("/nonexistent/image.d88"));
    EXPECT_EQ(openFiles(), before);
    EXPECT_EQ(image.diskCount(), 0);
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.open(nullptr));
    EXPECT_EQ(openFiles(), before);
}

// --- runs of sectors -----------------------------------------------------------------------

// Every byte of logical sector L of a standard disk: a value that tells L from its neighbours.
uint8_t fillOf(size_t logical) {
    return uint8_t(logical * 7 + 1);
}

d88::StandardDisk filledDisk() {
    d88::StandardDisk disk;
    for (size_t s = 0; s < d88::StandardDisk::kSectors; ++s)
        disk.write(s * 1024, Bytes(1024, fillOf(s)));
    return disk;
}

struct RunCase {
    const char* what;
    int32_t track, c, h, r, n, length;
    int32_t first, last;  // setSectorRange; first 0: left as constructed (1 to 16)
    std::function<void(d88::Disk&)> change;
    int32_t got;
    std::vector<std::pair<int, size_t>> want;  // (bytes, logical sector they come from)
};

const RunCase kRunCases[] = {
    {"R7 to the other head",
     0,
     0,
     0,
     7,
     3,
     3072,
     1,
     8,
     nullptr,
     3072,
     {{1024, 6}, {1024, 7}, {1024, 8}}},
    {"head 1 to the next cylinder",
     1,
     0,
     1,
     8,
     3,
     2048,
     1,
     8,
     nullptr,
     2048,
     {{1024, 15}, {1024, 16}}},
    {"short last chunk",
     1,
     0,
     1,
     1,
     3,
     2500,
     1,
     8,
     nullptr,
     2500,
     {{1024, 8}, {1024, 9}, {452, 10}}},
    {"whole disk", 0, 0, 0, 1, 3, 1232 * 1024, 1, 8, nullptr, 1232 * 1024, {}},
    {"past the last track", 153, 76, 1, 8, 3, 2048, 1, 8, nullptr, 1024, {{1024, 1231}}},
    {"length 0", 0, 0, 0, 1, 3, 0, 1, 8, nullptr, 0, {}},
    {"negative n", 0, 0, 0, 1, -1, 1024, 1, 8, nullptr, 0, {}},
    {"smaller n reads nothing here", 0, 0, 0, 1, 2, 512, 1, 8, nullptr, 0, {}},
    {"default range runs R past 8", 0, 0, 0, 8, 3, 2048, 0, 0, nullptr, 1024, {{1024, 7}}},
    {"start beyond the last R counts upward",
     0,
     0,
     0,
     9,
     3,
     2048,
     1,
     8,
     [](d88::Disk& d) {
         d.tracks[0][6].r = 9;
         d.tracks[0][7].r = 10;
     },
     2048,
     {{1024, 6}, {1024, 7}}},
    {"missing sector ends the run",
     0,
     0,
     0,
     6,
     3,
     4096,
     1,
     8,
     [](d88::Disk& d) { d.tracks[1].erase(d.tracks[1].begin()); },
     3072,
     {{1024, 5}, {1024, 6}, {1024, 7}}},
    {"short sector is not counted",
     0,
     0,
     0,
     1,
     3,
     4096,
     1,
     8,
     [](d88::Disk& d) { d.tracks[0][2].data.resize(1000); },
     2048,
     {{1024, 0}, {1024, 1}, {1000, 2}}},
    {"short sector enough for the last chunk",
     0,
     0,
     0,
     1,
     3,
     3000,
     1,
     8,
     [](d88::Disk& d) { d.tracks[0][2].data.resize(1000); },
     3000,
     {{1024, 0}, {1024, 1}, {952, 2}}},
    {"huge n: one chunk of what is left",
     0,
     0,
     0,
     1,
     40,
     3000,
     1,
     8,
     [](d88::Disk& d) {
         d.tracks[0][0].n = 40;
         d.tracks[0][0].data.assign(4000, fillOf(0));
     },
     3000,
     {{3000, 0}}},
};

class RunTest : public testing::TestWithParam<RunCase> {};

TEST_P(RunTest, StepsThroughSectorsHeadsAndCylinders) {
    const RunCase& k = GetParam();
    d88::Disk disk = filledDisk().disk();
    if (k.change) k.change(disk);
    ImageFile file(disk.bytes());
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.selectDisk(0));
    if (k.first != 0) image.setSectorRange(k.first, k.last);
    std::vector<uint8_t> buffer(1232 * 1024 + 1, 0xEE);
    ASSERT_EQ(image.readSectors(k.track, k.c, k.h, k.r, k.n, buffer.data(), k.length), k.got);
    std::vector<uint8_t> want;
    for (const auto& [count, logical] : k.want)
        want.insert(want.end(), size_t(count), fillOf(logical));
    if (k.want.empty() && k.got > 0)  // the whole disk in logical order
        for (size_t s = 0; s < d88::StandardDisk::kSectors; ++s)
            want.insert(want.end(), 1024, fillOf(s));
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(buffer[i], want[i]) << "byte " << i;
    EXPECT_EQ(buffer[want.size()], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(DiskImage, RunTest, testing::ValuesIn(kRunCases), CaseName());

// --- track IDs -----------------------------------------------------------------------------

struct IdsCase {
    const char* what;
    std::function<void(d88::Disk&)> change;
    int32_t track, length;
    std::vector<uint8_t> want;  // C H R N of each sector listed
    size_t truncateTo = 0;
};

// Track 2: 16 sectors (1, 0, R, 1) of 256 bytes, R = 1 to 16.
d88::Disk sixteenSectors() {
    d88::Disk d;
    for (int r = 1; r <= 16; ++r)
        d.tracks[2].push_back(sector(1, 0, uint8_t(r), 1, 256, 0));
    return d;
}

std::vector<uint8_t> ids(int from, int to) {
    std::vector<uint8_t> out;
    for (int r = from; r <= to; ++r)
        out.insert(out.end(), {1, 0, uint8_t(r), 1});
    return out;
}

const IdsCase kIdsCases[] = {
    {"buffer for two", nullptr, 2, 8, ids(1, 2)},
    {"buffer for one and a half", nullptr, 2, 6, ids(1, 1)},
    {"whole track", nullptr, 2, 1000, ids(1, 16)},
    {"absent track", nullptr, 3, 1000, {}},
    {"track 164", nullptr, 164, 1000, {}},
    {"negative length", nullptr, 2, -4, {}},
    {"count from the latest header", [](d88::Disk& d) { d.tracks[2][4].count = 5; }, 2, 1000,
     ids(1, 5)},
    {"count 0 does not end the walk",
     [](d88::Disk& d) {
         for (auto& s : d.tracks[2])
             s.count = 0;
     },
     2, 1000, ids(1, 16)},
    {"file ends inside a header", nullptr, 2, 1000, ids(1, 3), 688 + 3 * 272 + 15},
};

class IdsTest : public testing::TestWithParam<IdsCase> {};

TEST_P(IdsTest, ListsTheIdsOfATrack) {
    const IdsCase& k = GetParam();
    d88::Disk disk = sixteenSectors();
    if (k.change) k.change(disk);
    Bytes bytes = disk.bytes();
    if (k.truncateTo != 0) bytes.resize(k.truncateTo);
    ImageFile file(bytes);
    DiskImage image;
    ASSERT_TRUE(image.open(file.path()));
    ASSERT_TRUE(image.selectDisk(0));
    std::vector<uint8_t> buffer(1000, 0xEE);
    ASSERT_EQ(image.readTrackIds(k.track, buffer.data(), k.length), int32_t(k.want.size()));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(k.want.size())), k.want);
    EXPECT_EQ(buffer[k.want.size()], 0xEE);
}

INSTANTIATE_TEST_SUITE_P(DiskImage, IdsTest, testing::ValuesIn(kIdsCases), CaseName());

}  // namespace
