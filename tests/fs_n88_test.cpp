// N88-BASIC: random disks of each layout, written here by the layout's rules, read back through
// the library, then damaged one way at a time; and disks that must not be taken for N88.
#include <retrodisk/fs/file_system.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "d88_builder.h"

namespace {

using namespace retrodisk;
using builder::Bytes;

// A layout: geometry, system track, directory sectors, first FAT copy's R, sectors a cluster.
struct Geometry {
    const char* name;
    int cylinders, heads, spt, systemC, systemH, directorySectors, fatR, spc;
    int clusters() const { return cylinders * heads * spt / spc; }
    int systemTrack() const { return systemC * heads + systemH; }
};
const Geometry kGeometries[] = {
    {"2D", 40, 2, 16, 18, 1, 12, 14, 8},   {"2DD", 80, 2, 16, 40, 0, 12, 14, 16},
    {"2HD", 77, 2, 26, 35, 0, 22, 24, 26}, {"1D", 40, 1, 16, 18, 0, 12, 14, 8},
    {"1D35", 35, 1, 16, 18, 0, 12, 14, 8},
};

struct File {
    std::string path;
    uint8_t attributes;
    std::vector<int> clusters;
    int slot, lastSectors;
    Bytes data;
};

// A disk as a flat run of 256-byte logical sectors plus its FAT; image() lays it out.
struct TestDisk {
    Geometry g;
    Bytes flat, fat = Bytes(256, 0xFF);
    std::vector<File> files;
    uint8_t* sector(int track, int r) { return &flat[(size_t(track) * g.spt + r - 1) * 256]; }
    uint8_t* entry(int slot) { return sector(g.systemTrack(), 1 + slot / 16) + slot % 16 * 16; }
    void writeFat() {
        for (int k = 0; k < 3; ++k)
            std::copy(fat.begin(), fat.end(), sector(g.systemTrack(), g.fatR + k));
    }
    builder::Disk disk() const {
        builder::Disk d = builder::flatDisk(flat, g.cylinders, g.heads, g.spt, 256, 0);
        if (g.spt == 26) {  // 2HD: C0 H0 is 26 sectors of 128 bytes
            d.tracks[0].clear();
            for (int r = 1; r <= 26; ++r)
                d.tracks[0].push_back({0, 0, uint8_t(r), 0, 0, 0, 0, Bytes(128, 0x4E), -1});
        }
        return d;
    }
};

TestDisk randomDisk(const Geometry& g, std::mt19937& rng) {
    TestDisk t{g, Bytes(size_t(g.cylinders) * g.heads * g.spt * 256), Bytes(256, 0xFF), {}};
    for (uint8_t& b : t.flat)
        b = uint8_t(rng());
    const int clusters = g.clusters();
    std::fill(t.fat.begin() + clusters, t.fat.end(), rng() % 2 ? 0x00 : 0xFF);
    for (int u = g.systemTrack() * g.spt / g.spc; u <= ((g.systemTrack() + 1) * g.spt - 1) / g.spc;
         ++u)
        t.fat[size_t(u)] = 0xFE;
    if (g.spt == 26) t.fat[0] = t.fat[1] = 0xFE;
    std::vector<int> free;
    for (int u = 0; u < clusters; ++u)
        if (t.fat[size_t(u)] == 0xFF) free.push_back(u);
    std::shuffle(free.begin(), free.end(), rng);  // fragmented chains
    const int slots = g.directorySectors * 16;
    std::fill(t.entry(0), t.entry(0) + slots * 16, 0xFF);
    const int wanted = 2 + int(rng() % 12);
    const std::string letters = "ABCXYZabcz0189";
    int slot = 0;
    while (int(t.files.size()) < wanted) {
        if (rng() % 4 == 0) t.entry(slot++)[0] = 0x00;  // a deleted entry
        const int sectors = 1 + int(rng() % (3 * g.spc));
        const size_t need = size_t((sectors + g.spc - 1) / g.spc);
        if (need + 1 > free.size()) break;  // keep one cluster free
        File f{"",
               uint8_t(std::vector<int>{0x00, 0x01, 0x80}[rng() % 3] | (rng() % 8) << 4),
               {},
               slot++,
               sectors - int(need - 1) * g.spc,
               Bytes(size_t(sectors) * 256)};
        uint8_t* e = t.entry(f.slot);
        std::string name(6, ' '), ext(3, ' ');
        for (size_t i = 0, n = 1 + rng() % 6; i < n; ++i)
            name[i] = letters[rng() % letters.size()];
        for (size_t i = 0, n = rng() % 4; i < n; ++i)
            ext[i] = letters[rng() % letters.size()];
        f.path = name.substr(0, name.find(' ')) +
                 (ext[0] == ' ' ? "" : "." + ext.substr(0, ext.find(' ')));
        if (std::any_of(t.files.begin(), t.files.end(),
                        [&](const File& o) { return o.path == f.path; }))
            continue;
        std::copy(name.begin(), name.end(), e);
        std::copy(ext.begin(), ext.end(), e + 6);
        e[9] = f.attributes;
        f.clusters.assign(free.end() - std::ptrdiff_t(need), free.end());
        free.resize(free.size() - need);
        e[10] = uint8_t(f.clusters[0]);
        for (uint8_t& b : f.data)
            b = uint8_t(rng());
        for (size_t k = 0; k < need; ++k) {
            const int u = f.clusters[k];
            t.fat[size_t(u)] = uint8_t(k + 1 < need ? f.clusters[k + 1] : 0xC0 + f.lastSectors);
            for (int s = 0; s < (k + 1 < need ? g.spc : f.lastSectors); ++s) {
                const int logical = u * g.spc + s;
                std::copy_n(&f.data[(k * size_t(g.spc) + size_t(s)) * 256], 256,
                            t.sector(logical / g.spt, 1 + logical % g.spt));
            }
        }
        t.files.push_back(f);
    }
    if (rng() % 4 == 0)  // a full directory: no end mark, the other slots deleted
        for (; slot < slots; ++slot)
            t.entry(slot)[0] = 0x00;
    t.writeFat();
    return t;
}

// The disk read back through the library.
struct Opened {
    Bytes image;
    d88::ImageView view;
    d88::DiskInfo info;
    fs::Volume volume;
    explicit Opened(const builder::Disk& d)
        : image(builder::image({d})),
          view(image.data(), image.size()),
          info(readInfo(view)),
          volume(view, info) {}
    static d88::DiskInfo readInfo(const d88::ImageView& v) {
        d88::DiskInfo i;
        v.readDisk(0, &i);
        return i;
    }
    int confidence() const {
        for (const auto& bid : fs::recognise(volume).bids)
            if (bid.kind == fs::Kind::kN88) return bid.detection.confidence;
        return -1;
    }
};

const fs::Entry* find(const std::vector<fs::Entry>& entries, const std::string& path) {
    for (const fs::Entry& e : entries)
        if (e.path == std::vector<std::string>{path}) return &e;
    return nullptr;
}

bool hasProblem(const std::vector<fs::Problem>& problems, fs::ProblemKind kind,
                const std::string& who) {
    return std::any_of(problems.begin(), problems.end(), [&](const fs::Problem& p) {
        return p.kind == kind && (p.path.empty() ? p.area : p.path[0]) == who;
    });
}

struct Damage {
    const char* what;
    fs::ProblemKind kind;
    bool readFails;                                        // read() of the damaged file says so too
    std::function<bool(TestDisk&, builder::Disk&)> apply;  // damages files[0] (and files[1])
};
bool setFat(TestDisk& t, int u, int value) {
    t.fat[size_t(u)] = uint8_t(value);
    t.writeFat();
    return true;
}
const Damage kDamages[] = {
    {"loop", fs::ProblemKind::kLoop, true,
     [](TestDisk& t, builder::Disk&) {
         return setFat(t, t.files[0].clusters.back(), t.files[0].clusters[0]);
     }},
    {"chain past the disk", fs::ProblemKind::kPastDisk, true,
     [](TestDisk& t, builder::Disk&) {
         return setFat(t, t.files[0].clusters.back(), t.g.clusters());
     }},
    {"shared cluster", fs::ProblemKind::kShared, false,
     [](TestDisk& t, builder::Disk&) {
         return setFat(t, t.files[1].clusters.back(), t.files[0].clusters[0]);
     }},
    {"free cluster in a chain", fs::ProblemKind::kFreeInChain, true,
     [](TestDisk& t, builder::Disk&) {
         return setFat(t, t.files[0].clusters.back(),
                       int(std::find(t.fat.begin(), t.fat.end(), 0xFF) - t.fat.begin()));
     }},
    {"start cluster past the disk", fs::ProblemKind::kBadEntry, true,
     [](TestDisk& t, builder::Disk&) {
         t.entry(t.files[0].slot)[10] = 0xF0;
         return true;
     }},
    {"2HD: a chain on the 128-byte track", fs::ProblemKind::kMissingSector, true,
     [](TestDisk& t, builder::Disk&) {
         t.entry(t.files[0].slot)[10] = 0;  // cluster 0, one sector: C0 H0 R1 holds 128 bytes
         return t.g.spt == 26 && setFat(t, 0, 0xC1);
     }},
    {"sector missing", fs::ProblemKind::kMissingSector, true,
     [](TestDisk& t, builder::Disk& d) {
         const int logical = t.files[0].clusters[0] * t.g.spc, track = logical / t.g.spt;
         auto& sectors = d.tracks[size_t(track / t.g.heads * 2 + track % t.g.heads)];
         sectors.erase(sectors.begin() + logical % t.g.spt);
         return true;
     }},
    {"FAT copy mismatch", fs::ProblemKind::kFatMismatch, false,
     [](TestDisk& t, builder::Disk&) {
         t.sector(t.g.systemTrack(), t.g.fatR + 1)[t.files[0].clusters[0]] ^= 1;
         return true;
     }},
};

TEST(N88, RandomDisksReadBackAndDamageIsNamed) {
    std::mt19937 rng(88);
    for (int round = 0; round < 40; ++round) {
        const Geometry& g = kGeometries[size_t(round) % std::size(kGeometries)];
        SCOPED_TRACE(std::string(g.name) + " round " + std::to_string(round));
        const TestDisk t = randomDisk(g, rng);
        const Opened disk(t.disk());
        EXPECT_GE(disk.confidence(), fs::kSure);
        std::string why;
        const auto n88 = fs::openAs(disk.volume, fs::Kind::kN88, &why);
        ASSERT_NE(n88, nullptr) << why;
        const std::vector<fs::Entry> entries = n88->list();
        ASSERT_EQ(entries.size(), t.files.size());
        for (const File& f : t.files) {
            const fs::Entry* e = find(entries, f.path);
            ASSERT_NE(e, nullptr) << f.path;
            const bool machine = f.attributes & 1;
            EXPECT_EQ(e->type, machine ? "machine" : f.attributes & 0x80 ? "basic" : "ascii");
            EXPECT_EQ(e->attributes, f.attributes);
            EXPECT_EQ(e->size, int64_t(f.data.size()));
            EXPECT_EQ(e->firstUnit, f.clusters[0]);
            EXPECT_EQ(e->slot, f.slot);
            EXPECT_EQ(e->hasLoad, machine);
            if (machine) {
                EXPECT_EQ(e->load, uint32_t(f.data[0] | f.data[1] << 8));
                ASSERT_EQ(e->own.size(), 1u);
                EXPECT_EQ(e->own[0].number, f.data[2] | f.data[3] << 8);
            }
            const fs::FileData data = n88->read(*e);
            EXPECT_TRUE(data.complete) << data.problem.detail;
            EXPECT_TRUE(data.bytes == f.data) << f.path;
        }
        EXPECT_EQ(n88->freeSpace().units,
                  std::count(t.fat.begin(), t.fat.begin() + g.clusters(), 0xFF));
        EXPECT_EQ(n88->freeSpace().unitBytes, g.spc * 256);
        EXPECT_TRUE(n88->check().empty()) << n88->check()[0].detail;

        for (const Damage& damage : kDamages) {
            SCOPED_TRACE(damage.what);
            TestDisk bad = t;
            builder::Disk d = bad.disk();
            if (!damage.apply(bad, d)) continue;
            if (std::string(damage.what) != "sector missing") d = bad.disk();
            const Opened broken(d);
            const auto fsys = fs::openAs(broken.volume, fs::Kind::kN88, &why);
            ASSERT_NE(fsys, nullptr) << why;
            const std::string who = damage.kind == fs::ProblemKind::kFatMismatch ? "FAT"
                                    : damage.kind == fs::ProblemKind::kShared    ? t.files[1].path
                                                                                 : t.files[0].path;
            EXPECT_TRUE(hasProblem(fsys->check(), damage.kind, who));
            const std::vector<fs::Entry> after = fsys->list();
            for (size_t i = 0; i < t.files.size(); ++i) {
                const fs::FileData data = fsys->read(*find(after, t.files[i].path));
                if (i == 0 && damage.readFails) {
                    EXPECT_FALSE(data.complete);
                    EXPECT_EQ(data.problem.kind, damage.kind);
                } else if (i > 1 || damage.kind == fs::ProblemKind::kFatMismatch) {
                    EXPECT_TRUE(data.complete && data.bytes == t.files[i].data) << t.files[i].path;
                }
            }
        }
    }
}

// Disks that are not N88, or N88 with a sign against it: never sure.
struct NotSure {
    const char* what;
    std::function<builder::Disk()> make;
};
TestDisk emptyN88(int geometry) {
    std::mt19937 rng(1);
    TestDisk t = randomDisk(kGeometries[geometry], rng);
    std::fill(t.fat.begin(), t.fat.end(), 0xFF);
    t.fat[74] = t.fat[75] = 0xFE;
    t.files.clear();
    std::fill(t.entry(0), t.entry(0) + 12 * 256, 0xFF);
    t.writeFat();
    return t;
}
const NotSure kNotSure[] = {
    {"blank 2D",
     [] {
         return TestDisk{kGeometries[0], Bytes(40 * 2 * 16 * 256, 0), {}, {}}.disk();
     }},
    {"2HD filled with E5, track 0 of 128",
     [] {
         TestDisk t{kGeometries[2], Bytes(77 * 2 * 26 * 256, 0xE5), {}, {}};
         return t.disk();
     }},
    {"flat directory disk", [] { return builder::StandardDisk().disk(); }},
    {"Hu-BASIC 2D: FAT at C0 H0 R15",
     [] {
         TestDisk t{kGeometries[0], Bytes(40 * 2 * 16 * 256, 0xE5), {}, {}};
         std::fill_n(t.sector(0, 15), 256, 0x00);
         t.sector(0, 15)[0] = 0x01, t.sector(0, 15)[1] = 0x8F;
         return t.disk();
     }},
    {"system-track clusters free",
     [] {
         TestDisk t = emptyN88(0);
         t.fat[74] = 0xFF;
         t.writeFat();
         return t.disk();
     }},
    {"entry with unused attribute bits 0C",
     [] {
         TestDisk t = emptyN88(0);
         std::copy_n("PROG  BAS\x0C\x00", 11, t.entry(0));
         t.fat[0] = 0xC1;
         t.writeFat();
         return t.disk();
     }},
    {"a fifth of the FAT invalid",
     [] {
         TestDisk t = emptyN88(0);
         std::fill_n(t.fat.begin(), 32, 0xC9);  // counts past 8 sectors
         t.writeFat();
         return t.disk();
     }},
};

TEST(N88, DetectionIsNotSure) {
    EXPECT_GE(Opened(emptyN88(0).disk()).confidence(), fs::kSure);  // the rows' base is sure
    for (const NotSure& row : kNotSure)
        EXPECT_LT(Opened(row.make()).confidence(), fs::kSure) << row.what;
}

}  // namespace
