// The F-BASIC reader against disks written here by a tiny writer that follows the layout in
// docs/formats.md: random files of every type on 2D and 2DD disks read back whole, then one
// damage at a time. Plus detection rows: other and blank disks must not be taken for it.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <numeric>
#include <random>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/file_system.h>

#include "d88_builder.h"

namespace {

using builder::Bytes;
using namespace retrodisk::fs;
constexpr size_t kSector = 256;
constexpr int kClusters = 152;

struct File {
    std::string name, type;  // type: what the reader should call it
    std::vector<int> clusters;
    Bytes bytes;                 // whole sectors, as read() gives them
    std::string addresses = "";  // "load exec" of a machine file with a sound header and trailer
};

// A disk as one run of logical sectors: ID at 2, FAT at 32, directory at 35-63, data from 64.
struct Writer {
    int cylinders, clusterSectors;
    Bytes flat;
    std::vector<File> files;
    Writer(bool twoDD, uint8_t fatByte0)
        : cylinders(twoDD ? 80 : 40),
          clusterSectors(twoDD ? 16 : 8),
          flat(size_t(cylinders) * 32 * kSector, 0xE5) {
        flat[2 * kSector] = twoDD ? 'E' : 'S';
        std::fill(fat(), fat() + kSector, uint8_t(0xFF));
        fat()[0] = fatByte0;
        std::fill(entry(0), entry(232), uint8_t(0xFF));
    }
    uint8_t* fat() { return &flat[32 * kSector]; }
    uint8_t* entry(int slot) { return &flat[35 * kSector + 32 * size_t(slot)]; }
    size_t at(int cluster) const { return (64 + size_t(cluster * clusterSectors)) * kSector; }

    // A file of the last `count` clusters of `pool`, its last cluster holding `last` sectors.
    void add(std::mt19937& rng, int slot, uint8_t type, bool ascii, bool random,
             std::vector<int>* pool, int count, int last, bool sane) {
        File f{"F" + std::to_string(slot), "", {pool->end() - count, pool->end()}, {}};
        pool->resize(pool->size() - size_t(count));
        f.bytes.resize(size_t((count - 1) * clusterSectors + last) * kSector);
        std::generate(f.bytes.begin(), f.bytes.end(), [&] { return uint8_t(rng()); });
        const char* const types[] = {"basic", "data", "machine"};
        f.type = ascii && !random && type < 2 ? "ascii" : types[type];
        if (type == 2 && !ascii) {  // 00 length load, payload, FF 00 00 exec (big-endian)
            const size_t length = rng() % (f.bytes.size() - 9);
            const uint8_t header[] = {0, uint8_t(length >> 8), uint8_t(length)};
            const uint8_t trailer[] = {uint8_t(sane ? 0xFF : 0x00), 0, 0};
            std::copy(header, header + 3, f.bytes.begin());
            std::copy(trailer, trailer + 3, f.bytes.begin() + 5 + long(length));
            const auto u16 = [&](size_t at) {
                return std::to_string(f.bytes[at] << 8 | f.bytes[at + 1]);
            };
            if (sane) f.addresses = u16(3) + " " + u16(length + 8);
        }
        uint8_t* e = entry(slot);
        std::fill(e, e + 11, uint8_t(0));
        std::fill(std::copy(f.name.begin(), f.name.end(), e), e + 8, uint8_t(' '));
        const uint8_t fields[] = {type, uint8_t(ascii ? 0xFF : 0), uint8_t(random ? 0xFF : 0),
                                  uint8_t(f.clusters[0])};
        std::copy(fields, fields + 4, e + 11);
        for (size_t i = 0; i < f.clusters.size(); ++i) {
            const bool end = i + 1 == f.clusters.size();
            fat()[5 + f.clusters[i]] = uint8_t(end ? 0xC0 + last - 1 : f.clusters[i + 1]);
            std::copy_n(f.bytes.begin() + long(i * size_t(clusterSectors) * kSector),
                        size_t(end ? last : clusterSectors) * kSector, &flat[at(f.clusters[i])]);
        }
        files.push_back(f);
    }
    builder::Disk disk() const {
        return builder::flatDisk(flat, cylinders, 2, 16, int(kSector), cylinders == 80 ? 0x10 : 0);
    }
};

// A volume over the image of `disk`, holding the bytes it reads.
struct Mounted {
    Bytes image;
    retrodisk::d88::ImageView view;
    std::unique_ptr<Volume> volume;
    explicit Mounted(const builder::Disk& disk)
        : image(builder::image({disk})), view(image.data(), image.size()) {
        retrodisk::d88::DiskInfo info;
        EXPECT_TRUE(view.readDisk(0, &info));
        volume = std::make_unique<Volume>(view, info);
    }
};

// One damage to files 0 (o) and 1 (v, 2+ clusters each): the problem check() names for v, and
// whether read() of v stops with it. No edit: the first sector of v's second cluster goes.
struct Damage {
    const char* name;
    ProblemKind want;
    bool readFails;
    void (*edit)(Writer&, const File& v, const File& o);
};
// clang-format off
const Damage kDamages[] = {
    {"loop",          ProblemKind::kLoop,          true,  [](Writer& w, const File& v, const File&) { w.fat()[5 + v.clusters[1]] = uint8_t(v.clusters[0]); }},
    {"past the disk", ProblemKind::kPastDisk,      true,  [](Writer& w, const File& v, const File&) { w.fat()[5 + v.clusters[0]] = 0xA0; }},
    {"free in chain", ProblemKind::kFreeInChain,   true,  [](Writer& w, const File& v, const File&) { w.fat()[5 + v.clusters[1]] = 0xFF; }},
    {"shared",        ProblemKind::kShared,        false, [](Writer& w, const File& v, const File& o) { w.fat()[5 + v.clusters[0]] = uint8_t(o.clusters[1]); }},
    {"bad start",     ProblemKind::kBadEntry,      true,  [](Writer& w, const File&, const File&) { w.entry(1)[14] = 200; }},
    {"missing sector", ProblemKind::kMissingSector, true, nullptr},
};
// clang-format on

TEST(FBasic, RandomDisksReadBackAndDamageIsNamed) {
    std::mt19937 rng(1977);
    for (int round = 0; round < 36; ++round) {
        Writer w(round % 2 == 1, round % 3 == 0 ? 0xE5 : 0x00);
        std::vector<int> pool(kClusters);
        std::iota(pool.begin(), pool.end(), 0);
        std::shuffle(pool.begin(), pool.end(), rng);  // chains jump about the disk
        for (int i = 0, slot = 0, files = 2 + int(rng() % 8); i < files; ++i) {
            if (i > 1 && rng() % 4 == 0) w.entry(slot++)[0] = 0x00;  // a deleted entry
            w.add(rng, slot++, uint8_t(rng() % 3), rng() % 2, rng() % 4 == 0, &pool,
                  2 + int(rng() % 10), 1 + int(rng() % uint32_t(w.clusterSectors)), rng() % 5);
        }
        SCOPED_TRACE("round " + std::to_string(round));
        const Mounted m(w.disk());
        const Recognition r = recognise(*m.volume);
        ASSERT_EQ(r.outcome, Recognition::kRecognised) << r.bids.front().detection.evidence;
        ASSERT_EQ(r.chosen->kind(), Kind::kFBasic);
        const std::vector<Entry> entries = r.chosen->list();
        ASSERT_EQ(entries.size(), w.files.size());
        for (size_t i = 0; i < entries.size(); ++i) {
            const Entry& e = entries[i];
            const File& f = w.files[i];
            EXPECT_TRUE(e.path[0] == f.name && e.type == f.type && e.firstUnit == f.clusters[0])
                << e.path[0] << " " << e.type << ", want " << f.name << " " << f.type;
            EXPECT_EQ(e.size, int64_t(f.bytes.size())) << f.name;
            EXPECT_EQ(
                e.hasLoad && e.hasExec ? std::to_string(e.load) + " " + std::to_string(e.exec) : "",
                f.addresses)
                << f.name;
            const FileData data = r.chosen->read(e);
            EXPECT_TRUE(data.complete && data.bytes == f.bytes) << f.name;
        }
        EXPECT_EQ(r.chosen->freeSpace().units, int64_t(pool.size()));
        EXPECT_EQ(r.chosen->freeSpace().unitBytes, w.clusterSectors * 256);
        EXPECT_TRUE(r.chosen->check().empty()) << r.chosen->check().front().detail;

        // One damage per round, in turn: named by check() and read(); the others read whole.
        const Damage& damage = kDamages[size_t(round) % std::size(kDamages)];
        SCOPED_TRACE(damage.name);
        Writer broken = w;
        const File &victim = w.files[1], &other = w.files[0];
        if (damage.edit) damage.edit(broken, victim, other);
        builder::Disk disk = broken.disk();
        if (!damage.edit) {
            const size_t logical = w.at(victim.clusters[1]) / kSector;
            disk.tracks[logical / 16].erase(disk.tracks[logical / 16].begin() + long(logical % 16));
        }
        const Mounted bm(disk);
        std::string why;
        const auto fs = openAs(*bm.volume, Kind::kFBasic, &why);
        ASSERT_NE(fs, nullptr) << why;
        const std::vector<Problem> problems = fs->check();
        EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const Problem& p) {
            return p.kind == damage.want && p.path == std::vector<std::string>{victim.name};
        }));
        for (const Entry& e : fs->list()) {
            const FileData data = fs->read(e);
            if (e.path[0] == victim.name && damage.readFails) {
                EXPECT_FALSE(data.complete);
                EXPECT_EQ(data.problem.kind, damage.want);
            } else if (e.path[0] != victim.name && e.path[0] != other.name) {
                EXPECT_TRUE(data.complete) << e.path[0];
            }
        }
    }
}

TEST(FBasic, Detection) {
    // Edits to an empty formatted 2D disk, and whether it is still surely F-BASIC.
    struct Case {
        const char* name;
        void (*edit)(Writer&);
        bool sure;
    };
    // clang-format off
    const Case kCases[] = {
        {"formatted, FAT byte 0 E5", [](Writer& w) { w.fat()[0] = 0xE5; },                          true},
        {"never formatted: all E5",  [](Writer& w) { std::fill(w.flat.begin(), w.flat.end(), 0xE5); }, false},
        {"all zero",                 [](Writer& w) { std::fill(w.flat.begin(), w.flat.end(), 0); },  false},
        {"ID byte not S",            [](Writer& w) { w.flat[2 * kSector] = 'X'; },                  false},
        {"2D with the 2DD ID",       [](Writer& w) { w.flat[2 * kSector] = 'E'; },                  false},
        {"FAT bytes 1-4 not FF",     [](Writer& w) { w.fat()[3] = 0; },                             false},
        {"FAT out of range",         [](Writer& w) { std::fill_n(w.fat() + 5, 30, 0xA0); },         false},
    };
    // clang-format on
    const auto bid = [](const builder::Disk& disk) {
        const Mounted m(disk);
        for (const Recognition::Bid& b : recognise(*m.volume).bids)
            if (b.kind == Kind::kFBasic) return b.detection;
        return Detection{};
    };
    for (const Case& c : kCases) {
        Writer w(false, 0x00);
        c.edit(w);
        const Detection d = bid(w.disk());
        EXPECT_EQ(d.confidence >= kSure, c.sure) << c.name << ": have " << d.evidence;
    }
    builder::StandardDisk flatDirectory;  // another family's disk
    flatDirectory.addFile("A.BIN", 10, Bytes(3000, 7));
    EXPECT_LT(bid(flatDirectory.disk()).confidence, kSure);
}

}  // namespace
