// Hu-BASIC: random disks written by a small writer that follows the on-disk layout (2D, 2DD,
// 2HD, chains crossing cluster 127/128), read back through the library, then damaged; and a
// few disks that must not be taken for Hu-BASIC.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/file_system.h>

#include "case_name.h"
#include "d88_builder.h"

namespace {

using builder::Bytes;
using namespace retrodisk;

struct Geometry {
    const char* name;
    int cylinders, spt, clusters, reserved, fatFirst, directoryFirst;
    bool split;
};
const Geometry k2D{"2D", 40, 16, 80, 2, 14, 16, false};
const Geometry k2DD{"2DD", 80, 16, 160, 2, 14, 16, true};
const Geometry k2HD{"2HD", 77, 26, 250, 3, 28, 32, true};

// A disk image seen as one run of logical sectors, and the volume the library reads it through.
struct Mounted {
    Bytes image;
    std::unique_ptr<d88::ImageView> view;
    std::unique_ptr<fs::Volume> volume;
};
std::unique_ptr<Mounted> mount(const Bytes& flat, int cylinders, int spt, int sectorSize) {
    auto m = std::make_unique<Mounted>();
    m->image = builder::image({builder::flatDisk(flat, cylinders, 2, spt, sectorSize, 0)});
    m->view = std::make_unique<d88::ImageView>(m->image.data(), m->image.size());
    d88::DiskInfo info;
    EXPECT_TRUE(m->view->readDisk(0, &info));
    m->volume = std::make_unique<fs::Volume>(*m->view, info);
    return m;
}

struct File {
    std::string name;  // as list() gives it
    std::string type;
    Bytes bytes;  // what read() gives
    std::vector<int> clusters;
    int slot;
    uint8_t mode;
    int year, month, day, hour, minute;
    uint16_t load, exec;
};

uint8_t bcd(int v) {
    return uint8_t(v / 10 << 4 | v % 10);
}

// The writer: FAT entry k at byte k (2D) or low part at byte k % 128, high part at 128 + k % 128
// of FAT sector k / 128; a link to cluster n is stored as n % 128, n / 128.
struct Writer {
    Geometry g;
    Bytes flat;
    explicit Writer(const Geometry& geometry)
        : g(geometry), flat(size_t(g.cylinders * 2 * g.spt * 256), 0xE5) {
        const int fatBytes = g.split ? 512 : 256;
        std::fill_n(flat.begin() + g.fatFirst * 256, fatBytes, 0);
        std::fill_n(flat.begin() + g.directoryFirst * 256, 16 * 256, 0xFF);
        setFat(0, 0x01, 0);
        for (int k = 1; k < g.reserved; ++k)
            setFat(k, 0x8F, 0);
        if (!g.split) std::fill_n(flat.begin() + 14 * 256 + 80, 48, 0x8F);  // as the real disk
    }
    void setFat(int k, uint8_t lo, uint8_t hi) {
        const size_t at = size_t(g.fatFirst * 256) + (g.split ? size_t(k / 128 * 256) : 0) +
                          size_t(g.split ? k % 128 : k);
        flat[at] = lo;
        if (g.split) flat[at + 128] = hi;
    }
    void link(int k, int next) { setFat(k, uint8_t(next % 128), uint8_t(next / 128)); }
    uint8_t* entry(int slot) { return &flat[size_t(g.directoryFirst * 256 + slot * 32)]; }
    void write(const File& f, const std::string& name, const std::string& ext, size_t sizeField) {
        for (size_t i = 0; i < f.clusters.size(); ++i) {
            const size_t left = f.bytes.size() - i * 4096;
            if (i + 1 < f.clusters.size())
                link(f.clusters[i], f.clusters[i + 1]);
            else
                setFat(f.clusters[i], uint8_t(0x80 + std::max<size_t>((left + 255) / 256, 1) - 1),
                       0);
            std::copy_n(f.bytes.begin() + std::ptrdiff_t(i * 4096), std::min<size_t>(left, 4096),
                        flat.begin() + f.clusters[i] * 16 * 256);
        }
        uint8_t* e = entry(f.slot);
        std::fill_n(e, 32, 0x20);
        e[0] = f.mode;
        std::copy(name.begin(), name.end(), e + 1);
        std::copy(ext.begin(), ext.end(), e + 14);
        const uint8_t fields[] = {uint8_t(sizeField),
                                  uint8_t(sizeField >> 8),
                                  uint8_t(f.load),
                                  uint8_t(f.load >> 8),
                                  uint8_t(f.exec),
                                  uint8_t(f.exec >> 8),
                                  bcd(f.year % 100),
                                  uint8_t(f.month << 4 | 3),
                                  bcd(f.day),
                                  bcd(f.hour),
                                  bcd(f.minute),
                                  0,
                                  uint8_t(f.clusters[0] % 128),
                                  uint8_t(f.clusters[0] / 128)};
        std::copy(std::begin(fields), std::end(fields), e + 18);
    }
};

std::string describe(const std::vector<fs::Problem>& problems) {
    std::string text;
    for (const fs::Problem& p : problems)
        text += std::string(fs::problemName(p.kind)) + ": " + p.detail + "; ";
    return text;
}

void expectSameFile(const fs::FileSystem& hu, const fs::Entry& e, const File& f) {
    const fs::FileData data = hu.read(e);
    EXPECT_TRUE(data.complete) << f.name << ": " << data.problem.detail;
    EXPECT_EQ(data.bytes, f.bytes) << f.name;
}

TEST(HuBasic, RandomDisksReadBackAndDamageIsNamed) {
    std::mt19937 rng(20261209);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int round = 0; round < 60; ++round) {
        const Geometry& g = round % 3 == 0 ? k2D : round % 3 == 1 ? k2DD : k2HD;
        SCOPED_TRACE(std::string(g.name) + " round " + std::to_string(round));
        Writer w(g);
        std::vector<int> freeList;
        for (int k = g.reserved; k < g.clusters; ++k)
            freeList.push_back(k);
        std::shuffle(freeList.begin(), freeList.end(), rng);
        if (g.split)  // file 0 links to cluster 128 (lo 00, hi 01), the writer's trap
            std::iter_swap(freeList.begin() + 1, std::find(freeList.begin(), freeList.end(), 128));
        std::vector<File> files;
        int slot = 0;
        for (int i = 0, n = pick(3, 8); i < n; ++i, ++slot) {
            if (pick(0, 3) == 0) std::fill_n(w.entry(slot++), 32, 0);  // a deleted slot
            File f{};
            const int kind = i == 0 ? 0 : pick(0, 2);
            const uint8_t modes[] = {0x01, 0x02, uint8_t(pick(0, 1) ? 0x04 : 0x08)};
            f.mode = uint8_t(modes[kind] | (pick(0, 3) == 0 ? 0x40 : 0));
            f.type = kind == 0 ? "binary" : kind == 1 ? "basic" : "ascii";
            const size_t size = i == 0      ? size_t(pick(4097, 20000))
                                : kind == 2 ? size_t(pick(1, 40)) * 256
                                            : size_t(pick(0, 12000));
            for (size_t b = 0; b < size; ++b)
                f.bytes.push_back(uint8_t(pick(0, 255)));
            for (size_t c = 0; c < std::max<size_t>(1, (size + 4095) / 4096); ++c) {
                f.clusters.push_back(freeList.front());
                freeList.erase(freeList.begin());
            }
            f.slot = slot;
            f.year = pick(1980, 2079), f.month = pick(1, 12), f.day = pick(1, 28);
            f.hour = pick(0, 23), f.minute = pick(0, 59);
            f.load = uint16_t(pick(0, 0xFFFF)), f.exec = uint16_t(pick(0, 0xFFFF));
            std::string name = "Fi" + std::to_string(i), ext = pick(0, 2) ? "Bin" : "";
            name += std::string(size_t(pick(0, 13 - int(name.size()))), char('a' + pick(0, 25)));
            f.name = ext.empty() ? name : name + "." + ext;
            w.write(f, name, ext, kind == 2 ? 0 : size);
            files.push_back(f);
        }

        auto m = mount(w.flat, g.cylinders, g.spt, 256);
        const fs::Recognition r = fs::recognise(*m->volume);
        ASSERT_EQ(r.outcome, fs::Recognition::kRecognised) << r.bids[0].detection.evidence;
        ASSERT_EQ(r.chosen->kind(), fs::Kind::kHuBasic);
        const fs::FileSystem& hu = *r.chosen;
        const std::vector<fs::Entry> entries = hu.list();
        ASSERT_EQ(entries.size(), files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            const fs::Entry& e = entries[i];
            const File& f = files[i];
            EXPECT_EQ(e.path, std::vector<std::string>{f.name});
            EXPECT_EQ(e.type, f.type);
            EXPECT_EQ(e.attributeText, f.mode & 0x40 ? "R" : "");
            EXPECT_EQ(e.size, int64_t(f.bytes.size()));
            EXPECT_EQ(e.slot, f.slot);
            EXPECT_EQ(e.firstUnit, f.clusters[0]);
            EXPECT_EQ(std::make_pair(e.load, e.exec),
                      std::make_pair(uint32_t(f.load), uint32_t(f.exec)));
            EXPECT_TRUE(e.hasDate && e.date.hasTime);
            EXPECT_EQ(std::vector<int>(
                          {e.date.year, e.date.month, e.date.day, e.date.hour, e.date.minute}),
                      std::vector<int>({f.year, f.month, f.day, f.hour, f.minute}));
            expectSameFile(hu, e, f);
        }
        EXPECT_EQ(hu.freeSpace().units, int64_t(freeList.size()));
        EXPECT_TRUE(hu.check().empty()) << describe(hu.check());

        // One damage per round, on one file; every other file still reads whole.
        const int damage = round / 3 % 5;
        size_t victim = size_t(pick(0, int(files.size()) - 1));
        if (damage == 4)  // a size field past the chain: binary or BASIC only
            while (files[victim].type == "ascii")
                victim = (victim + 1) % files.size();
        const File& v = files[victim];
        const File& other = files[(victim + 1) % files.size()];
        const int last = v.clusters.back();
        const fs::ProblemKind kinds[] = {fs::ProblemKind::kLoop, fs::ProblemKind::kPastDisk,
                                         fs::ProblemKind::kShared, fs::ProblemKind::kFreeInChain,
                                         fs::ProblemKind::kSizeMismatch};
        if (damage == 0) w.link(last, v.clusters[0]);
        if (damage == 1) w.link(last, g.clusters + pick(0, 5));
        if (damage == 2) w.link(last, other.clusters.back());
        if (damage == 3) w.setFat(last, 0, 0);
        if (damage == 4) {
            const size_t size = v.clusters.size() * 4096 + size_t(pick(1, 300));
            w.entry(v.slot)[18] = uint8_t(size);
            w.entry(v.slot)[19] = uint8_t(size >> 8);
        }
        auto damaged = mount(w.flat, g.cylinders, g.spt, 256);
        std::string why;
        const auto hu2 = fs::openAs(*damaged->volume, fs::Kind::kHuBasic, &why);
        ASSERT_NE(hu2, nullptr) << why;
        const std::vector<fs::Problem> problems = hu2->check();
        ASSERT_EQ(problems.size(), 1u) << describe(problems);
        EXPECT_EQ(problems[0].kind, kinds[damage]) << problems[0].detail;
        const std::vector<fs::Entry> after = hu2->list();
        for (size_t i = 0; i < files.size(); ++i) {
            if (i == victim && damage != 2) {
                const fs::FileData data = hu2->read(after[i]);
                EXPECT_FALSE(data.complete);
                EXPECT_EQ(data.problem.kind, kinds[damage]) << data.problem.detail;
                EXPECT_EQ(problems[0].path, std::vector<std::string>{v.name});
            } else if (&files[i] != &v && &files[i] != &other) {
                expectSameFile(*hu2, after[i], files[i]);
            }
        }
    }
}

// Disks that are not Hu-BASIC, or not surely.
struct DetectCase {
    const char* what;
    int cylinders, spt, sectorSize;
    void (*edit)(Bytes& flat);
};
using testcase::operator<<;

const DetectCase kDetectCases[] = {
    {"blank 2D", 40, 16, 256, [](Bytes&) {}},
    {"E5-filled 2HD", 77, 26, 256, [](Bytes& f) { std::fill(f.begin(), f.end(), 0xE5); }},
    {"flat directory disk, 1024-byte sectors", 77, 8, 1024,
     [](Bytes& f) { f[2 * 1024 + 1] = 'A'; }},
    {"random bytes after 01 8F", 80, 16, 256,
     [](Bytes& f) {
         std::mt19937 rng(7);
         for (uint8_t& b : f)
             b = uint8_t(rng());
         f[14 * 256] = 0x01, f[14 * 256 + 1] = 0x8F, f[14 * 256 + 128] = 0;
     }},
    {"sound FAT, entry starts on a free cluster", 40, 16, 256,
     [](Bytes& f) {
         f[14 * 256] = 0x01, f[14 * 256 + 1] = 0x8F;
         std::fill_n(f.begin() + 16 * 256, 16 * 256, 0xFF);
         f[16 * 256] = 0x01, f[16 * 256 + 30] = 5;
     }},
};

class HuBasicDetect : public testing::TestWithParam<DetectCase> {};

TEST_P(HuBasicDetect, IsNotSure) {
    const DetectCase& c = GetParam();
    Bytes flat(size_t(c.cylinders * 2 * c.spt * c.sectorSize), 0);
    c.edit(flat);
    auto m = mount(flat, c.cylinders, c.spt, c.sectorSize);
    for (const fs::Recognition::Bid& b : fs::recognise(*m->volume).bids) {
        if (b.kind == fs::Kind::kHuBasic) {
            EXPECT_LT(b.detection.confidence, fs::kSure) << b.detection.evidence;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, HuBasicDetect, testing::ValuesIn(kDetectCases), CaseName());

}  // namespace
