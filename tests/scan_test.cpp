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
            const int32_t track = pick(5);
            const int32_t c = pick(2);
            const int32_t h = pick(2);
            const int32_t r = 1 + pick(9);
            const int32_t n = 2 + pick(3);
            const int32_t length = pick(5000);
            std::vector<uint8_t> have(static_cast<size_t>(length));
            std::vector<uint8_t> expected(static_cast<size_t>(length));
            const int32_t got = view.readSectors(disk, track, c, h, r, n, have.data(), length);
            ASSERT_EQ(got, reader.readSectors(track, c, h, r, n, expected.data(), length)) << round;
            ASSERT_TRUE(std::equal(have.begin(), have.begin() + got, expected.begin())) << round;
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

// Free space against a model kept beside the builder: random entries, sectors written with
// one value or not, and sectors made unusable (another R, 512 bytes, another N).
TEST(Scan, FreeSectorsFollowTheModel) {
    std::mt19937 rng(5);
    for (int round = 0; round < 30; ++round) {
        StandardDisk standard;
        std::vector<bool> expected(kLogicalSectors, true);
        for (size_t l = 0; l < 8; ++l)
            expected[l] = false;
        const int entries = int(rng() % 6);
        for (int i = 0; i < entries; ++i) {
            const auto start = uint32_t(rng() % 1240);
            const auto size = uint32_t(rng() % 5000);
            standard.setEntry(i, "F", start, size);
            for (uint32_t l = start; l < start + (size + 1023) / 1024 && l < 1232; ++l)
                expected[l] = false;
        }
        for (int i = 0; i < 20; ++i) {
            const size_t l = 8 + rng() % 1224;
            Bytes data(1024, uint8_t(rng()));
            const bool blank = rng() % 2 == 0;
            if (!blank) data[rng() % 1024] ^= 1;
            standard.write(l * 1024, data);
            if (!blank) expected[l] = false;
        }
        builder::Disk d = standard.disk();
        for (int i = 0; i < 5; ++i) {
            const size_t l = 8 + rng() % 1224;
            builder::Sector& s = d.tracks[l >> 3][l & 7];
            const auto how = uint32_t(rng() % 3);
            if (how == 0) s.r = 9;
            if (how == 1) s.data.resize(512);
            if (how == 2) s.n = 2;
            expected[l] = false;
        }
        const Bytes image = d.bytes();
        const ImageView view(image.data(), image.size());
        DiskInfo disk;
        ASSERT_TRUE(view.readDisk(0, &disk));
        Directory directory;
        scanDirectory(view, disk, &directory);
        const std::vector<bool> free = freeSectors(view, mapFileSectors(view, disk), directory);
        ASSERT_EQ(free, expected) << round;
        int32_t counted = 0;
        for (const SectorRun& r : freeRuns(free)) {
            for (int32_t l = r.first; l < r.first + r.count; ++l)
                ASSERT_TRUE(free[size_t(l)]);
            ASSERT_TRUE(r.first == 0 || !free[size_t(r.first) - 1]);  // maximal
            counted += r.count;
        }
        ASSERT_EQ(counted, std::count(free.begin(), free.end(), true));
    }
}

// A 2HD disk whose track 0 holds `count` sectors (R 1 up, 1024 bytes each), then `change` is
// made and the file cut to `length` bytes (0: not cut).
Bytes track0(int count, void (*change)(builder::Disk&), size_t length = 0) {
    builder::Disk d;
    d.mediaType = 0x20;
    for (int i = 0; i < count; ++i) {
        d.tracks[0].emplace_back();
        d.tracks[0].back().r = uint8_t(i + 1);
        d.tracks[0].back().data.assign(1024, 0);
    }
    change(d);
    Bytes b = d.bytes();
    if (length > 0) b.resize(length);
    return b;
}
void none(builder::Disk& /*disk*/) {}

struct AnomalyCase {
    const char* what;
    Bytes image;
    std::vector<std::pair<int32_t, AnomalyKind>> want;
    const char* detail = nullptr;  // a text one of the details holds
};

// A disk of `cylinders` x 2 heads x `sectors` sectors of 128 << n bytes, media byte `media`.
Bytes geometry(uint8_t media, int cylinders, int sectors, uint8_t n) {
    builder::Disk d;
    d.mediaType = media;
    for (int t = 0; t < 2 * cylinders; ++t)
        for (int r = 1; r <= sectors; ++r) {
            builder::Sector s;
            s.c = uint8_t(t >> 1), s.h = uint8_t(t & 1), s.r = uint8_t(r), s.n = n;
            s.data.assign(size_t(128) << n, 0);
            d.tracks[size_t(t)].push_back(s);
        }
    return d.bytes();
}

using K = AnomalyKind;
// clang-format off
const AnomalyCase kAnomalyCases[] = {
    {"none on a standard disk", StandardDisk().bytes(), {}},
    {"duplicate IDs", track0(3, [](auto& d) { d.tracks[0][2].r = 1; }), {{0, K::kDuplicateId}}},
    {"a data size other than 128 << N", track0(2, [](auto& d) { d.tracks[0][1].data.resize(512); }),
     {{0, K::kSizeMismatch}}},
    {"deleted-data mark and status",
     track0(2, [](auto& d) { d.tracks[0][0].deleted = 0x10, d.tracks[0][1].status = 0xB0; }),
     {{0, K::kDeletedData}, {0, K::kStatus}}},
    {"C and H of another track", track0(1, [](auto& d) { d.tracks[0][0].h = 1; }),
     {{0, K::kIdMismatch}}},
    {"sectors past a count of 0", track0(3, [](auto& d) { d.tracks[0][0].count = 0; }),
     {{0, K::kPastCountZero}}},
    {"a track offset outside the disk",
     track0(1, [](auto& d) { d.trackTableOverride[7] = 0x7FFFFF00; }), {{7, K::kTrackOffset}}},
    // 688 + 2 x 1040 bytes: the second sector's header is at 1728, its data ends at 2768.
    {"the file cut inside a sector", track0(2, none, 2000), {{-1, K::kCutShort}, {0, K::kCutShort}}},
    {"the file cut inside a header", track0(2, none, 1730), {{-1, K::kCutShort}, {0, K::kCutShort}},
     "inside the header of sector 2"},
    {"the file cut before a header", track0(2, none, 1728), {{-1, K::kCutShort}, {0, K::kCutShort}},
     "before the header of sector 2"},
    // The media byte against what its media holds: 2D 42 cylinders of 6250 bytes a track, 2DD
    // 82 of 6250, 2HD 82 of 12500; other bytes are not compared.
    {"2D with 2HD's 77 x 8 x 1024", geometry(0x00, 77, 8, 3), {{-1, K::kMediaMismatch}},
     "0x00 says 2D, which holds at most 42 cylinders of 6250 bytes a track; the disk has "
     "8 x 1024 = 8192 bytes a track and 77 cylinders"},
    {"2D of 40 x 16 x 256", geometry(0x00, 40, 16, 1), {}},
    {"2D of 43 cylinders", geometry(0x00, 43, 16, 1), {{-1, K::kMediaMismatch}}},
    {"2DD of 80 x 16 x 256", geometry(0x10, 80, 16, 1), {}},
    {"2DD with 8 x 1024 a track", geometry(0x10, 1, 8, 3), {{-1, K::kMediaMismatch}}},
    {"2HD of 1 x 4 x 1024", geometry(0x20, 1, 4, 3), {}},
    {"2HD of 1 x 13 x 1024", geometry(0x20, 1, 13, 3), {{-1, K::kMediaMismatch}}},
    {"an unknown media byte", geometry(0x30, 1, 13, 3), {}},
    // The track starts at 672, over the last 4 table entries (zero: a count of 0 first).
    {"a short header", track0(2, [](auto& d) { d.trackTableOverride[0] = 672; }),
     {{-1, K::kShortHeader}, {0, K::kPastCountZero}}},
    {"70 deleted-data marks: 64 listed, then one for the other 6",
     track0(70, [](auto& d) { for (auto& s : d.tracks[0]) s.deleted = 0x10; }),
     [] {  // 70 x 1024 bytes on a track: more than any media carries
         std::vector<std::pair<int32_t, AnomalyKind>> want(66, {0, K::kDeletedData});
         want[0] = {-1, K::kMediaMismatch};
         return want;
     }()},
    // Every track starts at track 0's one sector: 1728 bytes have room for 108 headers, and
    // the walks of tracks 0 to 107 pass them all.
    {"every track on the same sector",
     track0(1, [](auto& d) { for (int t = 1; t < 164; ++t) d.trackTableOverride[t] = 688; }),
     [] {
         std::vector<std::pair<int32_t, AnomalyKind>> want;
         for (int32_t t = 1; t < 108; ++t) want.emplace_back(t, K::kIdMismatch);
         want.emplace_back(108, K::kTangled);
         return want;
     }()},
};
// clang-format on

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
    if (k.detail != nullptr) {
        EXPECT_NE(details.find(k.detail), std::string::npos) << details;
    }
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
