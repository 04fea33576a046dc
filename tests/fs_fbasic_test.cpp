// The F-BASIC reader against disks written here by a tiny writer that follows the layout in
// docs/formats.md: random files of every type on 2D and 2DD disks read back whole, then one
// damage at a time. Plus detection rows: other and blank disks must not be taken for it.
// The editor: random puts and removes on blank and written disks against a model of the
// files, and get/put round trips that leave every byte where it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <numeric>
#include <random>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/edit.h>
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
    Bytes bytes;              // whole sectors, as read() gives them
    std::string addresses{};  // "load exec" of a machine file with a sound header and trailer
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

// A volume over an image (or the image of `disk`), holding the bytes it reads, and the disk
// opened as F-BASIC.
struct Mounted {
    Bytes image;
    retrodisk::d88::ImageView view;
    std::unique_ptr<Volume> volume;
    std::unique_ptr<FileSystem> fs;
    explicit Mounted(const builder::Disk& disk) : Mounted(builder::image({disk})) {}
    explicit Mounted(Bytes bytes) : image(std::move(bytes)), view(image.data(), image.size()) {
        retrodisk::d88::DiskInfo info;
        EXPECT_TRUE(view.readDisk(0, &info));
        volume = std::make_unique<Volume>(view, info);
        std::string why;
        fs = openAs(*volume, Kind::kFBasic, &why);
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
            w.add(rng, slot++, uint8_t(rng() % 3), rng() % 2 != 0, rng() % 4 == 0, &pool,
                  2 + int(rng() % 10), 1 + int(rng() % uint32_t(w.clusterSectors)), rng() % 5 != 0);
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
        const File& victim = w.files[1];
        const File& other = w.files[0];
        if (damage.edit != nullptr) damage.edit(broken, victim, other);
        builder::Disk disk = broken.disk();
        if (damage.edit == nullptr) {
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

// What the disk should hold: each file's bytes as read() gives them, and its type.
using Model = std::map<std::string, std::pair<Bytes, std::string>>;

// Applies `plan` to *image and checks that no byte outside its sectors moved.
void applyOnly(Bytes* image, const Plan& plan) {
    const Mounted m(*image);
    std::string why;
    ASSERT_TRUE(applyPlan(image, 0, plan, &why)) << why;
    Bytes before = m.image;
    Bytes after = *image;
    for (const SectorWrite& w : plan.writes) {
        const long at = long(m.volume->find(w.c, w.h, w.r).position);
        std::fill_n(before.begin() + at, kSector, 0);
        std::fill_n(after.begin() + at, kSector, 0);
    }
    ASSERT_TRUE(before == after) << "bytes outside the plan's sectors changed";
}

// The disk holds exactly the model's files, each reading back whole, and check() is clean.
void expectModel(const Bytes& image, const Model& model) {
    const Mounted m(image);
    const std::vector<Problem> problems = m.fs->check();
    for (const Problem& p : problems)
        ADD_FAILURE() << p.detail;
    ASSERT_TRUE(problems.empty());
    Model have;
    for (const Entry& e : m.fs->list())
        have[e.path[0]] = {m.fs->read(e).bytes, e.type};
    ASSERT_TRUE(have == model);
}

// Disk `disk` of the test: blank 2D and 2DD as format makes them, then the writer's (files of
// every type, chains all over the disk); *model gets its files.
Bytes startDisk(int disk, std::mt19937& rng, Model* model) {
    if (disk < 2) {
        BlankDisk blank;
        std::string why;
        EXPECT_TRUE(
            formatDisk(Kind::kFBasic, formatTypes(Kind::kFBasic)[size_t(disk)], "", &blank, &why))
            << why;
        return buildImage(blank, "");
    }
    Writer w(disk % 2 == 1, 0xE5);
    std::vector<int> pool(kClusters);
    std::iota(pool.begin(), pool.end(), 0);
    std::shuffle(pool.begin(), pool.end(), rng);
    for (int slot = 0; slot < 6; ++slot)
        w.add(rng, slot, uint8_t(rng() % 3), rng() % 2 == 1, rng() % 4 == 0, &pool,
              1 + int(rng() % 6), 1 + int(rng() % uint32_t(w.clusterSectors)), true);
    // Old bytes past the end marker (slot 6): hidden until a new entry takes the end.
    std::copy_n(w.entry(0), 32, w.entry(7));
    for (const File& f : w.files)
        (*model)[f.name] = {f.bytes, f.type};
    return builder::image({w.disk()});
}

// The model's verdict on put `q` (bad names aside) and, when it holds, the file it makes.
EditError modelPut(const PutRequest& q, const Model& model, size_t spc, Model::mapped_type* file) {
    const std::map<std::string, std::string> kByExtension = {
        {"BAS", "basic"}, {"TXT", "ascii"}, {"BIN", "machine"}, {"DAT", "data"}};
    const std::string& name = q.path[0];
    const auto old = model.find(name);
    // The type: addresses make it machine; a replaced file keeps its own; else the
    // extension's, else basic (the test's bytes have no 0x00: never a machine header).
    std::string type = q.type.empty() && q.hasLoad ? "machine" : q.type;
    const size_t dot = name.rfind('.');
    const auto e = kByExtension.find(dot == std::string::npos ? "" : name.substr(dot + 1));
    if (old != model.end() && (type.empty() || type == old->second.second))
        type = old->second.second;
    else if (type.empty())
        type = e == kByExtension.end() ? "basic" : e->second;
    Bytes bytes = q.data;
    if (q.hasLoad) {
        const size_t n = q.data.size();
        bytes = {0, uint8_t(n >> 8), uint8_t(n), uint8_t(q.load >> 8), uint8_t(q.load)};
        bytes.insert(bytes.end(), q.data.begin(), q.data.end());
        for (const uint32_t b : {0xFFu, 0u, 0u, q.exec >> 8, q.exec & 0xFF})
            bytes.push_back(uint8_t(b));
    }
    if (type == "ascii" && (bytes.empty() || bytes.size() % kSector != 0) &&
        std::count(bytes.begin(), bytes.end(), 0x1A) == 0)
        bytes.push_back(0x1A);
    bytes.resize(std::max(kSector, (bytes.size() + kSector - 1) / kSector * kSector));
    const auto clusters = [&](const Bytes& b) { return (b.size() / kSector + spc - 1) / spc; };
    size_t used = 0;
    for (const auto& [n, f] : model)
        used += n == name ? 0 : clusters(f.first);
    *file = {bytes, type};
    if (type == "binary") return EditError::kBadType;
    if (q.hasLoad && type != "machine") return EditError::kBadAddress;
    if ((q.hasLoad && q.data.size() > 0xFFFF) || clusters(bytes) > kClusters)
        return EditError::kTooLarge;
    return clusters(bytes) + used > kClusters ? EditError::kDiskFull : EditError::kNone;
}

TEST(FBasic, RandomPutsAndRemovesMatchTheModel) {
    const char* const kNames[] = {"A",        "PROG.BAS", "NOTE.TXT",         "M.BIN", "D.DAT",
                                  "LONGNAME", "x1",       "\xB1\xB2\x83\x41", "F0",    "F1"};
    const char* const kBadNames[] = {"", "NINEBYTES", "END ", "\xFF\x41", "A:B", "A\"B", "A\rB"};
    const char* const kTypes[] = {"", "", "", "basic", "data", "machine", "ascii", "binary"};
    std::mt19937 rng(77);
    for (int disk = 0; disk < 4; ++disk) {
        SCOPED_TRACE("disk " + std::to_string(disk));
        const size_t spc = disk % 2 == 1 ? 16 : 8;
        Model model;
        Bytes image = startDisk(disk, rng, &model);
        expectModel(image, model);
        for (int step = 0; step < 120 && !HasFatalFailure(); ++step) {
            const Mounted m(image);
            const bool badName = rng() % 12 == 0;
            const std::string name = badName ? kBadNames[rng() % std::size(kBadNames)]
                                             : kNames[rng() % std::size(kNames)];
            SCOPED_TRACE("step " + std::to_string(step) + " " + name);
            Plan plan;
            EditError want = badName ? EditError::kBadName : EditError::kNone;
            if (rng() % 4 == 0) {
                plan = m.fs->editor()->remove({name});
                if (model.erase(name) == 0) want = EditError::kNoSuchFile;
            } else {
                const size_t size = rng() % 20 == 0  ? rng() % 700000
                                    : rng() % 4 == 0 ? rng() % (20000 * spc)
                                                     : rng() % 6000;
                PutRequest q;
                q.path = {name}, q.data.resize(size), q.type = kTypes[rng() % std::size(kTypes)];
                std::generate(q.data.begin(), q.data.end(),
                              [&] { return uint8_t(rng() % 255 + 1); });
                q.hasLoad = q.hasExec = rng() % 5 == 0;  // raw payload, addresses wrapped round
                q.load = uint32_t(rng() % 0x10000), q.exec = uint32_t(rng() % 0x10000);
                Model::mapped_type file;
                if (!badName) want = modelPut(q, model, spc, &file);
                if (want == EditError::kNone) model[name] = file;
                plan = m.fs->editor()->put(q);
            }
            ASSERT_EQ(plan.error, want) << plan.detail;
            if (want != EditError::kNone) {
                EXPECT_TRUE(plan.writes.empty());
                continue;
            }
            applyOnly(&image, plan);
            expectModel(image, model);
        }
        // get and put back, with no type or the listed one: every byte stays.
        const Bytes before = image;
        const Mounted m(before);
        for (const Entry& e : m.fs->list()) {
            PutRequest q;
            q.path = e.path, q.data = m.fs->read(e).bytes, q.type = rng() % 2 == 1 ? e.type : "";
            const Plan plan = m.fs->editor()->put(q);
            ASSERT_TRUE(plan.ok()) << plan.detail;
            applyOnly(&image, plan);
        }
        EXPECT_TRUE(image == before) << "a get/put round trip changed the disk";
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
