// ImageView against DiskImage on random images, and the scans built on it: how a directory
// ends, free space, geometry, anomalies; names shown and written.
#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/d88/scan.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace {

using namespace retrodisk::d88;

using builder::Bytes;
using builder::StandardDisk;
using testcase::operator<<;

// On random, often damaged images, ImageView reads the bytes DiskImage reads, its walk lists
// the IDs readTrackIds lists, and the directory scan reads what d88extract reads.
TEST(ImageView, ReadsWhatDiskImageReads) {
    std::mt19937 rng(11);
    const auto pick = [&rng](uint32_t n) { return int32_t(rng() % n); };
    cli::TempDir dir;
    const std::string path = (dir / "image.d88").string();
    for (int round = 0; round < 400; ++round) {
        StandardDisk standard;
        standard.addFile("F", 8, Bytes(size_t(pick(3000)), 7));
        builder::Disk d = standard.disk(true);
        for (int t = 0; t < 3; ++t) {
            for (int i = pick(7); i > 0; --i) {
                builder::Sector s;
                s.c = uint8_t(pick(2)), s.h = uint8_t(pick(2)), s.r = uint8_t(1 + pick(9));
                s.n = uint8_t(2 + pick(3));
                const int kind = pick(3);
                s.data.assign(size_t(kind == 0   ? 128 << s.n
                                     : kind == 1 ? pick(2000)
                                                 : 1024),
                              uint8_t(rng()));
                s.count = pick(4) == 0 ? pick(4) : -1;
                auto& sectors = d.tracks[size_t(t)];
                sectors.insert(sectors.begin() + pick(uint32_t(sectors.size()) + 1), s);
            }
        }
        if (pick(4) == 0) d.trackTableOverride[pick(4)] = uint32_t(rng());
        Bytes image = d.bytes();
        if (pick(3) == 0) image.resize(size_t(pick(uint32_t(image.size()) + 1)));
        cli::writeFile(path, builder::toString(image));
        DiskImage reader;
        ASSERT_TRUE(reader.open(path.c_str()));
        const ImageView view(image.data(), image.size());
        ASSERT_EQ(view.diskCount(), reader.diskCount());
        DiskInfo disk;
        if (!view.readDisk(0, &disk)) continue;
        ASSERT_TRUE(reader.selectDisk(0));
        reader.setSectorRange(kFirstSector, kLastSector);
        for (int q = 0; q < 20; ++q) {
            const int32_t track = pick(5), c = pick(2), h = pick(2), r = 1 + pick(9);
            const int32_t n = 2 + pick(3), length = pick(5000);
            std::vector<uint8_t> have(static_cast<size_t>(length));
            std::vector<uint8_t> want(static_cast<size_t>(length));
            const int32_t got = view.readSectors(disk, track, c, h, r, n, have.data(), length);
            ASSERT_EQ(got, reader.readSectors(track, c, h, r, n, want.data(), length)) << round;
            ASSERT_TRUE(std::equal(have.begin(), have.begin() + got, want.begin())) << round;
        }
        for (int t = 0; t < 4; ++t) {
            std::vector<SectorRecord> walked;
            const WalkEnd end = view.walkTrack(disk, t, &walked);
            uint8_t ids[4 * 64];
            const size_t listed = size_t(reader.readTrackIds(t, ids, sizeof ids)) / 4;
            ASSERT_LE(walked.size(), listed) << round;
            for (size_t i = 0; i < walked.size(); ++i)
                ASSERT_TRUE(hasId(walked[i], ids + 4 * i)) << round;
            const int32_t past = view.headersPastCountZero(disk, t, 1000);
            if (end == WalkEnd::kCountZero && listed < 64) {
                ASSERT_EQ(walked.size() + 1 + size_t(past), listed) << round;
            }
        }
        Directory directory;
        scanDirectory(view, disk, &directory);
        uint8_t area[kDirectorySize];
        ASSERT_EQ(directory.bytesRead, reader.readSectors(0, 0, 0, 3, 3, area, kDirectorySize));
    }
}

// A disk from another system: 40 cylinders x 2 heads x 16 sectors of 256 bytes.
Bytes foreignDisk() {
    builder::Disk d;
    for (uint8_t t = 0; t < 80; ++t)
        for (uint8_t r = 1; r <= 16; ++r) {
            builder::Sector s;
            s.c = uint8_t(t >> 1), s.h = uint8_t(t & 1), s.r = r, s.n = 1;
            s.data.assign(256, 0xE5);
            d.tracks[t].push_back(s);
        }
    return d.bytes();
}

StandardDisk withEntries(int count, uint32_t start = 8) {
    StandardDisk disk;
    for (int i = 0; i < count; ++i)
        disk.setEntry(i, "F" + std::to_string(i), start, 5000);
    return disk;
}
// Entry 56 starts in R3 and ends in R4, which is missing.
Bytes directoryCut() {
    builder::Disk d = withEntries(57).disk(true);
    d.tracks[0].resize(1);
    return d.bytes();
}

struct DirectoryCase {
    const char* what;
    Bytes image;
    int32_t bytesRead;
    size_t entries;
    DirectoryEnd end;
    bool flat;
};

const DirectoryCase kDirectoryCases[] = {
    {"empty directory", StandardDisk().bytes(), 6144, 0, DirectoryEnd::kMarker, true},
    {"only the first directory sector", withEntries(3).bytes(true), 1024, 3, DirectoryEnd::kMarker,
     true},
    {"entry across a missing sector", directoryCut(), 1024, 56, DirectoryEnd::kShort, false},
    {"341 entries", withEntries(341).bytes(), 6144, 341, DirectoryEnd::kFull, true},
    {"an entry past the disk's end", withEntries(2, 1230).bytes(), 6144, 2, DirectoryEnd::kMarker,
     false},
    {"another system's disk", foreignDisk(), 0, 0, DirectoryEnd::kShort, false},
};

class DirectoryTest : public testing::TestWithParam<DirectoryCase> {};

TEST_P(DirectoryTest, EndsAsRead) {
    const DirectoryCase& k = GetParam();
    const ImageView view(k.image.data(), k.image.size());
    DiskInfo disk;
    ASSERT_TRUE(view.readDisk(0, &disk));
    Directory directory;
    scanDirectory(view, disk, &directory);
    EXPECT_EQ(directory.bytesRead, k.bytesRead);
    EXPECT_EQ(directory.entries.size(), k.entries);
    EXPECT_EQ(directory.end, k.end);
    EXPECT_EQ(hasFlatDirectory(directory), k.flat);
}

INSTANTIATE_TEST_SUITE_P(Scan, DirectoryTest, testing::ValuesIn(kDirectoryCases), CaseName());

struct FreeCase {
    const char* what;
    void (*setUp)(StandardDisk&);
    void (*change)(builder::Disk&);
    std::vector<std::pair<int32_t, int32_t>> runs;
};

void noChange(builder::Disk&) {}
// Logical sector 42 is track 5, R3.
builder::Sector& sector42(builder::Disk& d) {
    return d.tracks[5][2];
}

const FreeCase kFreeCases[] = {
    {"blank disk: all after track 0", [](StandardDisk&) {}, noChange, {{8, 1224}}},
    {"a file's sectors",
     [](StandardDisk& s) { s.addFile("A", 8, Bytes(3000, 1)); },
     noChange,
     {{11, 1221}}},
    {"data without an entry",
     [](StandardDisk& s) {
         s.write(20 * 1024, Bytes{1, 2});
     },
     noChange,
     {{8, 12}, {21, 1211}}},
    {"a sector of one value",
     [](StandardDisk& s) { s.write(20 * 1024, Bytes(1024, 0xE5)); },
     noChange,
     {{8, 1224}}},
    {"an entry of size 0",
     [](StandardDisk& s) { s.setEntry(0, "Z", 8, 0); },
     noChange,
     {{8, 1224}}},
    {"an entry running past the disk",
     [](StandardDisk& s) { s.setEntry(0, "BIG", 1230, 5000); },
     noChange,
     {{8, 1222}}},
    {"a missing sector",
     [](StandardDisk&) {},
     [](builder::Disk& d) { d.tracks[5].erase(d.tracks[5].begin() + 2); },
     {{8, 34}, {43, 1189}}},
    {"a 512-byte sector",
     [](StandardDisk&) {},
     [](builder::Disk& d) { sector42(d).data.resize(512); },
     {{8, 34}, {43, 1189}}},
    {"a sector of another ID",
     [](StandardDisk&) {},
     [](builder::Disk& d) { sector42(d).n = 2; },
     {{8, 34}, {43, 1189}}},
};

class FreeTest : public testing::TestWithParam<FreeCase> {};

TEST_P(FreeTest, ListsFreeRuns) {
    const FreeCase& k = GetParam();
    StandardDisk standard;
    k.setUp(standard);
    builder::Disk d = standard.disk();
    k.change(d);
    const Bytes image = d.bytes();
    const ImageView view(image.data(), image.size());
    DiskInfo disk;
    ASSERT_TRUE(view.readDisk(0, &disk));
    Directory directory;
    scanDirectory(view, disk, &directory);
    std::vector<std::pair<int32_t, int32_t>> runs;
    for (const SectorRun& r : freeRuns(freeSectors(view, disk, directory)))
        runs.emplace_back(r.first, r.count);
    EXPECT_EQ(runs, k.runs);
}

INSTANTIATE_TEST_SUITE_P(Scan, FreeTest, testing::ValuesIn(kFreeCases), CaseName());

TEST(Scan, CommonGeometry) {
    for (const auto& [image, want] :
         {std::make_pair(StandardDisk().bytes(), std::vector<int32_t>{154, 77, 2, 8, 1024}),
          std::make_pair(foreignDisk(), std::vector<int32_t>{80, 40, 2, 16, 256})}) {
        const ImageView view(image.data(), image.size());
        DiskInfo disk;
        ASSERT_TRUE(view.readDisk(0, &disk));
        const Geometry g = commonGeometry(view, disk);
        EXPECT_EQ((std::vector<int32_t>{g.tracks, g.cylinders, g.heads, g.sectors, g.sectorSize}),
                  want);
    }
}

// A disk whose track 0 holds these sectors (R 1 up, 1024 bytes each unless changed).
builder::Disk track0(int count, void (*change)(std::vector<builder::Sector>&)) {
    builder::Disk d;
    for (int i = 0; i < count; ++i) {
        builder::Sector s;
        s.r = uint8_t(i + 1);
        s.data.assign(1024, 0);
        d.tracks[0].push_back(s);
    }
    change(d.tracks[0]);
    return d;
}
Bytes cut(Bytes b, size_t length) {
    b.resize(length);
    return b;
}

struct AnomalyCase {
    const char* what;
    Bytes image;
    std::vector<std::pair<int32_t, AnomalyKind>> want;
};

using K = AnomalyKind;
const AnomalyCase kAnomalyCases[] = {
    {"none on a standard disk", StandardDisk().bytes(), {}},
    {"duplicate IDs", track0(3, [](auto& t) { t[2].r = 1; }).bytes(), {{0, K::kDuplicateId}}},
    {"a data size other than 128 << N",
     track0(2, [](auto& t) { t[1].data.resize(512); }).bytes(),
     {{0, K::kSizeMismatch}}},
    {"deleted-data mark and status",
     track0(2, [](auto& t) { t[0].deleted = 0x10, t[1].status = 0xB0; }).bytes(),
     {{0, K::kDeletedData}, {0, K::kStatus}}},
    {"C and H of another track",
     track0(1, [](auto& t) { t[0].h = 1; }).bytes(),
     {{0, K::kIdMismatch}}},
    {"sectors past a count of 0",
     track0(3, [](auto& t) { t[0].count = 0; }).bytes(),
     {{0, K::kPastCountZero}}},
    {"a track offset outside the disk",
     [] {
         builder::Disk d = track0(1, [](auto&) {});
         d.trackTableOverride[7] = 0x7FFFFF00;
         return d.bytes();
     }(),
     {{7, K::kTrackOffset}}},
    // 688 + 2 x 1040 bytes: the second sector's data ends at 2768.
    {"the file cut inside a sector",
     cut(track0(2, [](auto&) {}).bytes(), 2000),
     {{-1, K::kCutShort}, {0, K::kCutShort}}},
    {"the file cut inside a header",
     cut(track0(2, [](auto&) {}).bytes(), 1730),
     {{-1, K::kCutShort}, {0, K::kCutShort}}},
    // The track starts at 672, over the last 4 table entries (zero: a count of 0 first).
    {"a short header",
     [] {
         builder::Disk d = track0(2, [](auto&) {});
         d.trackTableOverride[0] = 672;
         return d.bytes();
     }(),
     {{-1, K::kShortHeader}, {0, K::kPastCountZero}}},
};

class AnomalyTest : public testing::TestWithParam<AnomalyCase> {};

TEST_P(AnomalyTest, FindsEachKind) {
    const AnomalyCase& k = GetParam();
    const ImageView view(k.image.data(), k.image.size());
    DiskInfo disk;
    ASSERT_TRUE(view.readDisk(0, &disk));
    std::vector<std::pair<int32_t, AnomalyKind>> have;
    std::string details;
    for (const Anomaly& a : scanAnomalies(view, disk)) {
        have.emplace_back(a.track, a.kind);
        details += a.detail + "\n";
    }
    EXPECT_EQ(have, k.want) << details;
}

INSTANTIATE_TEST_SUITE_P(Scan, AnomalyTest, testing::ValuesIn(kAnomalyCases), CaseName());

struct NameCase {
    const char* what;
    std::string cp932;
    const char* utf8;  // null: not valid CP932
    std::string shown;
};

const NameCase kNameCases[] = {
    {"ASCII", "README.TXT", "README.TXT", "README.TXT"},
    {"katakana", "\x83\x74\x83\x40", "\xE3\x83\x95\xE3\x82\xA1", "\x83\x74\x83\x40"},
    {"kanji", "\x8A\xBF\x8E\x9A", "\xE6\xBC\xA2\xE5\xAD\x97", "\x8A\xBF\x8E\x9A"},
    {"trail byte 0x5C", "\x83\x5C", "\xE3\x82\xBD", "\x83\x5C"},
    {"half-width katakana", "\xB1", "\xEF\xBD\xB1", "\xB1"},
    {"lead byte without its trail", "A\x83", nullptr, "A\x83"},
    {"control bytes", "A\x1B[2J\x7F\x08", "A\x1B[2J\x7F\x08", "A\\x1b[2J\\x7f\\x08"},
};

class NameTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameTest, ConvertsBothWaysAndEscapes) {
    const NameCase& k = GetParam();
    std::string utf8;
    std::string back;
    ASSERT_EQ(cp932ToUtf8(k.cp932, &utf8), k.utf8 != nullptr);
    if (k.utf8 != nullptr) {
        EXPECT_EQ(utf8, k.utf8);
        EXPECT_TRUE(utf8ToCp932(utf8, &back));
        EXPECT_EQ(back, k.cp932);
    }
    EXPECT_EQ(escapeForDisplay(k.cp932), k.shown);
}

INSTANTIATE_TEST_SUITE_P(Names, NameTest, testing::ValuesIn(kNameCases), CaseName());

TEST(Names, SafeFileNames) {
    for (const char* name : {"README.TXT", "COM0", "\xE3\x83\x95", ".bashrc"})
        EXPECT_TRUE(isSafeFileName(name)) << name;
    for (const char* name : {"", ".", "..", "a/b", "A\x1B", "\x7F", "TAB\t"})
        EXPECT_FALSE(isSafeFileName(name)) << name;
#ifdef _WIN32
    for (const char* name : {"NUL", "con.bas", "Com1.TXT", "LPT9", "aux.", "NAME."})
        EXPECT_FALSE(isSafeFileName(name)) << name;
#else
    for (const char* name : {"NUL", "con.bas", "NAME."})
        EXPECT_TRUE(isSafeFileName(name)) << name;
#endif
}

}  // namespace
