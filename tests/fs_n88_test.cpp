// N88-BASIC: random disks of each layout, written here by the layout's rules, read back through
// the library, then damaged one way at a time; disks that must not be taken for N88; and the
// editor, against a model of the files, on blank disks of every type and on written ones.
#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "d88_builder.h"

namespace {

using namespace retrodisk;
using builder::Bytes;
using fs::ProblemKind;

// Geometry, system track, directory sectors, first FAT copy's R, sectors per cluster.
struct Geometry {
    int cylinders, heads, spt, systemC, systemH, directorySectors, fatR, spc;
    int clusters() const { return cylinders * heads * spt / spc; }  // 1D: 2 a cylinder
    int systemTrack() const { return systemC * heads + systemH; }
};
const Geometry kGeometries[] = {{40, 2, 16, 18, 1, 12, 14, 8},
                                {80, 2, 16, 40, 0, 12, 14, 16},
                                {77, 2, 26, 35, 0, 22, 24, 26},
                                {40, 1, 16, 18, 0, 12, 14, 8},
                                {35, 1, 16, 18, 0, 12, 14, 8}};

struct File {
    std::string path;
    uint8_t attributes;
    int slot;
    std::vector<int> clusters;
    Bytes data;
};

// A disk as a run of 256-byte logical sectors; disk() lays it out (2HD: C0 H0 is 26 x 128).
struct TestDisk {
    Geometry g;
    Bytes flat;
    std::vector<File> files;
    uint8_t* sector(int track, int r) { return &flat[size_t(track * g.spt + r - 1) * 256]; }
    uint8_t* entry(int slot) {
        return sector(g.systemTrack(), 1 + slot / 16) + std::ptrdiff_t(slot % 16) * 16;
    }
    uint8_t* fat(int copy = 0) { return sector(g.systemTrack(), g.fatR + copy); }
    void setFat(int u, int value) {
        for (int k = 0; k < 3; ++k)
            fat(k)[u] = uint8_t(value);
    }
    builder::Disk disk() const {
        builder::Disk d = builder::flatDisk(flat, g.cylinders, g.heads, g.spt, 256, 0);
        if (g.spt == 26) {
            d.tracks[0].clear();
            for (int r = 1; r <= 26; ++r)
                d.tracks[0].push_back({0, 0, uint8_t(r), 0, 0, 0, 0, Bytes(128, 0x4E), -1});
        }
        return d;
    }
};

TestDisk randomDisk(const Geometry& g, std::mt19937& rng, int wanted) {
    TestDisk t{g, Bytes(size_t(g.cylinders * g.heads * g.spt * 256)), {}};
    for (uint8_t& b : t.flat)
        b = uint8_t(rng());
    const int past = rng() % 2 != 0 ? 0x00 : 0xFF;
    const int slots = g.directorySectors * 16;
    std::vector<int> free;
    for (int u = 0; u < 256; ++u) {
        const bool system = u >= g.systemTrack() * g.spt / g.spc &&
                            u <= ((g.systemTrack() + 1) * g.spt - 1) / g.spc;
        t.setFat(u, u >= g.clusters() ? past : system || (g.spt == 26 && u < 2) ? 0xFE : 0xFF);
        if (t.fat()[u] == 0xFF && u < g.clusters()) free.push_back(u);
    }
    std::shuffle(free.begin(), free.end(), rng);  // fragmented chains
    std::fill_n(t.entry(0), slots * 16, 0xFF);
    int slot = 0;
    for (; int(t.files.size()) < wanted; ++slot) {
        if (rng() % 4 == 0) t.entry(slot++)[0] = 0x00;  // a deleted entry
        const int sectors = 1 + int(rng() % unsigned(3 * g.spc));
        const int need = (sectors + g.spc - 1) / g.spc;
        if (need >= int(free.size())) break;  // one cluster stays free
        File f{"",
               uint8_t(std::vector<unsigned>{0x00, 0x01, 0x80}[rng() % 3] | (rng() % 8) << 4),
               slot,
               {},
               Bytes(size_t(sectors) * 256)};
        std::string name(9, ' ');
        name[0] = "ABCDEFGHIJKLMNabcdefghijklmn"[t.files.size()];  // lower case is allowed
        for (size_t i = 1, n = rng() % 6; i <= n; ++i)
            name[i] = "AZaz09!$"[rng() % 8];
        for (size_t i = 6, n = 6 + rng() % 4; i < n; ++i)
            name[i] = "AZaz09!$"[rng() % 8];
        const std::string base = name.substr(0, 6);
        const std::string ext = name.substr(6);
        f.path = base.substr(0, base.find(' ')) +
                 (ext[0] == ' ' ? "" : "." + ext.substr(0, ext.find(' ')));
        std::copy(name.begin(), name.end(), t.entry(slot));
        t.entry(slot)[9] = f.attributes;
        t.entry(slot)[10] = uint8_t(free.back());
        for (uint8_t& b : f.data)
            b = uint8_t(rng());
        for (int k = 0; k < need; ++k, free.pop_back())
            f.clusters.push_back(free.back());
        for (int k = 0; k < need; ++k)
            t.setFat(f.clusters[size_t(k)], k + 1 < need ? f.clusters[size_t(k) + 1]
                                                         : 0xC0 + sectors - (need - 1) * g.spc);
        for (int s = 0; s < sectors; ++s) {
            const int logical = f.clusters[size_t(s / g.spc)] * g.spc + s % g.spc;
            std::copy_n(&f.data[size_t(s) * 256], 256,
                        t.sector(logical / g.spt, 1 + logical % g.spt));
        }
        t.files.push_back(f);
    }
    if (rng() % 4 == 0)  // a full directory: no end mark, the other slots deleted
        for (; slot < slots; ++slot)
            t.entry(slot)[0] = 0x00;
    return t;
}

// The disk read back through the library.
struct Opened {
    Bytes image;
    d88::ImageView view;
    d88::DiskInfo info;
    fs::Volume volume;
    explicit Opened(const builder::Disk& d) : Opened(builder::image({d})) {}
    explicit Opened(Bytes bytes)
        : image(std::move(bytes)),
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

const fs::Entry& find(const std::vector<fs::Entry>& entries, const std::string& path) {
    return *std::find_if(entries.begin(), entries.end(),
                         [&](const fs::Entry& e) { return e.path[0] == path; });
}

struct DamageRow {
    const char* what;
    ProblemKind kind;
    bool readFails;  // read() of files[0] says so too
};
// In the order of the cases in damage().
const DamageRow kDamages[] = {
    {"loop", ProblemKind::kLoop, true},
    {"chain past the disk", ProblemKind::kPastDisk, true},
    {"shared cluster", ProblemKind::kShared, false},
    {"free cluster in a chain", ProblemKind::kFreeInChain, true},
    {"start cluster past the disk", ProblemKind::kBadEntry, true},
    {"2HD: chain on the 128-byte track", ProblemKind::kMissingSector, true},
    {"FAT copy mismatch", ProblemKind::kFatMismatch, false},
    {"sector missing", ProblemKind::kMissingSector, true},
};

// Damages files[0] (and files[1]) of t as row `row` says; false when it does not fit the layout.
bool damage(size_t row, TestDisk& t, builder::Disk* d) {
    const File& a = t.files[0];
    // clang-format off
    switch (row) {
        case 0: t.setFat(a.clusters.back(), a.clusters[0]); break;
        case 1: t.setFat(a.clusters.back(), t.g.clusters()); break;
        case 2: t.setFat(t.files[1].clusters.back(), a.clusters[0]); break;
        case 3: t.setFat(a.clusters.back(), int(std::find(t.fat(), t.fat() + 256, 0xFF) - t.fat())); break;
        case 4: t.entry(a.slot)[10] = 0xF0; break;
        case 5:  // one sector in cluster 0: C0 H0 R1, which holds 128 bytes
            if (t.g.spt != 26) return false;
            t.entry(a.slot)[10] = 0, t.setFat(0, 0xC1); break;
        case 6: t.fat(1)[a.clusters[0]] ^= 1; break;
    }
    // clang-format on
    *d = t.disk();
    if (row == 7) {
        const int logical = a.clusters[0] * t.g.spc;
        const int track = logical / t.g.spt;
        auto& sectors = d->tracks[size_t(track / t.g.heads) * 2 + size_t(track % t.g.heads)];
        sectors.erase(sectors.begin() + logical % t.g.spt);
    }
    return true;
}

TEST(N88, RandomDisksReadBackAndDamageIsNamed) {
    std::mt19937 rng(88);
    for (int round = 0; round < 20; ++round) {
        const Geometry& g = kGeometries[size_t(round) % std::size(kGeometries)];
        SCOPED_TRACE("geometry " + std::to_string(round % 5) + " round " + std::to_string(round));
        TestDisk t = randomDisk(g, rng, 2 + int(rng() % 12));
        const Opened disk(t.disk());
        EXPECT_GE(disk.confidence(), fs::kSure);
        std::string why;
        const auto n88 = fs::openAs(disk.volume, fs::Kind::kN88, &why);
        ASSERT_NE(n88, nullptr) << why;
        const std::vector<fs::Entry> entries = n88->list();
        ASSERT_EQ(entries.size(), t.files.size());
        for (const File& f : t.files) {
            const fs::Entry& e = find(entries, f.path);
            const bool machine = (f.attributes & 1) != 0;
            EXPECT_EQ(e.type, machine ? "machine" : f.attributes & 0x80 ? "basic" : "ascii");
            EXPECT_EQ(e.attributes, f.attributes);
            EXPECT_EQ(e.size, int64_t(f.data.size()));
            EXPECT_EQ(e.firstUnit, f.clusters[0]);
            EXPECT_EQ(e.slot, f.slot);
            EXPECT_EQ(e.hasLoad, machine);
            if (machine) {  // the header: start and end address
                EXPECT_EQ(e.load, uint32_t(f.data[0] | f.data[1] << 8));
                EXPECT_EQ(e.own.at(0).number, f.data[2] | f.data[3] << 8);
            }
            const fs::FileData data = n88->read(e);
            EXPECT_TRUE(data.complete && data.bytes == f.data) << f.path << data.problem.detail;
        }
        EXPECT_EQ(n88->freeSpace().units, std::count(t.fat(), t.fat() + g.clusters(), 0xFF));
        EXPECT_EQ(n88->freeSpace().unitBytes, g.spc * 256);
        EXPECT_TRUE(n88->check().empty()) << n88->check()[0].detail;

        for (size_t row = 0; row < std::size(kDamages); ++row) {
            const DamageRow& r = kDamages[row];
            SCOPED_TRACE(r.what);
            TestDisk bad = t;
            builder::Disk d;
            if (!damage(row, bad, &d)) continue;
            const Opened broken(d);
            const auto damaged = fs::openAs(broken.volume, fs::Kind::kN88, &why);
            ASSERT_NE(damaged, nullptr) << why;
            const std::string who = r.kind == ProblemKind::kFatMismatch ? ""
                                    : r.kind == ProblemKind::kShared    ? t.files[1].path
                                                                        : t.files[0].path;
            const std::vector<fs::Problem> problems = damaged->check();
            EXPECT_TRUE(std::any_of(problems.begin(), problems.end(), [&](const fs::Problem& p) {
                return p.kind == r.kind && (p.path.empty() ? "" : p.path[0]) == who;
            }));
            const std::vector<fs::Entry> after = damaged->list();
            for (size_t i = 0; i < t.files.size(); ++i) {
                const fs::FileData data = damaged->read(find(after, t.files[i].path));
                const bool whole = data.complete && data.bytes == t.files[i].data;
                if (i == 0 && r.readFails) {
                    EXPECT_TRUE(!data.complete && data.problem.kind == r.kind);
                } else if (i > 1 || r.kind == ProblemKind::kFatMismatch) {  // untouched
                    EXPECT_TRUE(whole) << t.files[i].path;
                }
            }
        }
    }
}

// Disks that are not N88, or N88 with a sign against it: never sure.
TEST(N88, DetectionIsNotSure) {
    std::mt19937 rng(1);
    TestDisk blank = randomDisk(kGeometries[0], rng, 0);
    TestDisk hu = blank;
    TestDisk odd = blank;
    TestDisk invalid = blank;
    EXPECT_GE(Opened(blank.disk()).confidence(), fs::kSure);  // the rows' base is sure
    std::fill(hu.flat.begin(), hu.flat.end(), 0xE5);          // Hu-BASIC: FAT at C0 H0 R15
    std::fill_n(hu.sector(0, 15), 256, 0x00);
    hu.sector(0, 15)[0] = 0x01, hu.sector(0, 15)[1] = 0x8F;
    std::copy_n("PROG  BAS\x0C\x00", 11, odd.entry(0));  // unused attribute bits 0C
    odd.setFat(0, 0xC1);
    for (int u = 0; u < 32; ++u)
        invalid.setFat(u, 0xC9);  // a fifth: counts past 8 sectors
    blank.setFat(74, 0xFF);       // system track free
    for (const TestDisk& t : {blank, hu, odd, invalid})
        EXPECT_LT(Opened(t.disk()).confidence(), fs::kSure) << &t - &blank;
    std::fill(blank.flat.begin(), blank.flat.end(), 0x00);
    EXPECT_EQ(Opened(blank.disk()).confidence(), 0);
    EXPECT_EQ(Opened(builder::StandardDisk().disk()).confidence(), 0);  // the flat directory's
}

// The files as the editor should leave them: path -> (bytes read() gives, type).
struct Model {
    Geometry g;
    int capacity;  // clusters not reserved
    std::map<std::string, std::pair<Bytes, std::string>> files;
    int clustersOf(size_t bytes) const {
        return int((std::max<size_t>(1, (bytes + 255) / 256) + size_t(g.spc) - 1) / size_t(g.spc));
    }
};

// Names with the type their extension gives a new file; then names put must refuse (too long a
// name or extension, a space, no name, BASIC's delimiters, the end mark).
// clang-format off
const std::pair<std::string, std::string> kNames[] = {
    {"A", "ascii"}, {"PROG.BAS", "basic"}, {"data.TXT", "ascii"}, {"X1.BIN", "machine"},
    {"\xB1\xB2.cod", "machine"}, {"\x88\x9F\x88\xA0", "ascii"}, {"Z.", "ascii"},
    {"mc.N88", "basic"}, {"TOOLONG", ""}, {"A.BASX", ""}, {"A B", ""}, {".BAS", ""}, {"A:B", ""},
    {"A.B.C", ""}, {"\xFF", ""}};
// clang-format on

// What put should do with `q` (a name of kNames): the refusal, or none with the bytes read back.
fs::EditError expect(const Model& m, const fs::PutRequest& q, const std::string& byExtension,
                     Bytes* bytes, std::string* type) {
    using E = fs::EditError;
    const auto old = m.files.find(q.path[0] == "Z." ? "Z" : q.path[0]);
    if (byExtension.empty()) return E::kBadName;
    if (q.hasExec) return E::kBadAddress;
    if (!q.type.empty() && q.type != "basic" && q.type != "ascii" && q.type != "machine")
        return E::kBadType;
    *type = !q.type.empty()        ? q.type
            : old != m.files.end() ? old->second.second
            : q.hasLoad            ? "machine"
                                   : byExtension;
    if (q.hasLoad && (*type != "machine" || q.load + q.data.size() > 0xFFFF)) return E::kBadAddress;
    *bytes = q.data;
    const uint32_t end = uint32_t(q.load + q.data.size());
    if (q.hasLoad)
        bytes->insert(bytes->begin(),
                      {uint8_t(q.load), uint8_t(q.load >> 8), uint8_t(end), uint8_t(end >> 8)});
    int free = m.capacity + (old == m.files.end() ? 0 : m.clustersOf(old->second.first.size()));
    for (const auto& f : m.files)
        free -= m.clustersOf(f.second.first.size());
    if (m.clustersOf(bytes->size()) > free) return E::kDiskFull;
    bytes->resize(std::max<size_t>(256, (bytes->size() + 255) / 256 * 256),
                  *type == "ascii" ? 0x1A : 0x00);
    return E::kNone;
}

// The image with the data of the sectors the plan writes zeroed.
Bytes outsideWrites(const Opened& o, const fs::Plan& plan) {
    Bytes masked = o.image;
    for (const fs::SectorWrite& w : plan.writes) {
        const fs::SectorRef s = o.volume.find(w.c, w.h, w.r);
        std::fill_n(masked.begin() + s.position, s.size, 0);
    }
    return masked;
}

// The disk is clean and holds exactly the model's files, of its types and bytes.
void checkAgainst(const Opened& o, const Model& m) {
    const auto n88 = fs::openAs(o.volume, fs::Kind::kN88, nullptr);
    const std::vector<fs::Problem> problems = n88->check();
    for (const fs::Problem& p : problems)
        ADD_FAILURE() << p.detail;
    ASSERT_TRUE(problems.empty());
    const std::vector<fs::Entry> entries = n88->list();
    ASSERT_EQ(entries.size(), m.files.size());
    for (const fs::Entry& e : entries) {
        const auto f = m.files.find(e.path[0]);
        ASSERT_NE(f, m.files.end()) << e.path[0];
        EXPECT_EQ(e.type, f->second.second) << e.path[0];
        EXPECT_TRUE(n88->read(e).bytes == f->second.first) << e.path[0];
    }
}

// Random puts and removes on `disk` (with `model` its files), each checked against the model.
void randomEdits(Bytes disk, Model model, std::mt19937& rng) {
    const char* const types[] = {"", "", "basic", "ascii", "machine", "data"};
    for (int step = 0; step < 120; ++step) {
        auto o = std::make_unique<Opened>(disk);
        const auto n88 = fs::openAs(o->volume, fs::Kind::kN88, nullptr);
        const auto editor = n88->editor();
        fs::Plan plan;
        fs::EditError want = fs::EditError::kNone;
        const auto& [name, byExtension] = kNames[rng() % (rng() % 8 != 0 ? 8 : std::size(kNames))];
        if (rng() % 4 == 0) {
            plan = editor->remove({name});
            if (model.files.erase(name == "Z." ? "Z" : name) == 0)
                want = fs::EditError::kNoSuchFile;
        } else {
            fs::PutRequest q;
            q.path = {name};
            q.type = types[rng() % std::size(types)];
            const auto size = rng() % 10;  // sometimes empty, sometimes a third of the disk
            q.data.resize(size == 0   ? 0
                          : size == 1 ? size_t(model.capacity / 3 * model.g.spc * 256)
                                      : rng() % unsigned(3 * model.g.spc * 256));
            std::generate(q.data.begin(), q.data.end(), [&] { return uint8_t(rng()); });
            q.hasLoad = rng() % 5 == 0, q.hasExec = rng() % 30 == 0;
            q.load = uint32_t(rng() % 0xF000);
            plan = editor->put(q);
            Bytes bytes;
            std::string type;
            want = expect(model, q, byExtension, &bytes, &type);
            if (want == fs::EditError::kNone) model.files[plan.path.at(0)] = {bytes, type};
        }
        SCOPED_TRACE("step " + std::to_string(step) + ": " + name + ": " + plan.detail);
        ASSERT_EQ(int(plan.error), int(want));
        if (!plan.ok()) {
            ASSERT_TRUE(plan.writes.empty());
            continue;
        }
        std::string why;
        ASSERT_TRUE(fs::applyPlan(&disk, 0, plan, &why)) << why;
        const Bytes before = outsideWrites(*o, plan);
        o = std::make_unique<Opened>(disk);
        ASSERT_TRUE(outsideWrites(*o, plan) == before) << "a byte outside the plan's sectors moved";
        ASSERT_NO_FATAL_FAILURE(checkAgainst(*o, model));
    }
}

// Geometry of each format type, and its reserved clusters (system track; 2HD cylinder 0 too).
const std::pair<const char*, int> kTypes[] = {{"2d", 2}, {"2dd", 1}, {"2hd", 3}, {"1d", 2}};

TEST(N88, EditsMatchTheModelOnBlankAndWrittenDisks) {
    ASSERT_EQ(fs::formatTypes(fs::Kind::kN88).at(0), "2d");  // the default
    std::mt19937 rng(8801);
    for (size_t k = 0; k < std::size(kTypes); ++k) {
        SCOPED_TRACE(kTypes[k].first);
        const Geometry& g = kGeometries[k];
        fs::BlankDisk blank;
        std::string why;
        ASSERT_TRUE(fs::formatDisk(fs::Kind::kN88, kTypes[k].first, "", &blank, &why)) << why;
        const Bytes image = fs::buildImage(blank, "");
        const Opened o(image);
        ASSERT_NE(fs::recognise(o.volume).chosen, nullptr);
        EXPECT_EQ(fs::recognise(o.volume).chosen->kind(), fs::Kind::kN88);
        const Model empty{g, g.clusters() - kTypes[k].second, {}};
        ASSERT_NO_FATAL_FAILURE(checkAgainst(o, empty));
        EXPECT_EQ(fs::openAs(o.volume, fs::Kind::kN88, &why)->freeSpace().units, empty.capacity);
        randomEdits(image, empty, rng);

        // A disk of the test's own writer: edits, and get/put of every file leaves it as it was.
        const TestDisk t = randomDisk(g, rng, 2 + int(rng() % 12));
        Model written{g, g.clusters() - kTypes[k].second, {}};
        for (const File& f : t.files)
            written.files[f.path] = {f.data, (f.attributes & 1) != 0      ? "machine"
                                             : (f.attributes & 0x80) != 0 ? "basic"
                                                                          : "ascii"};
        const Opened disk(t.disk());
        Bytes copy = disk.image;
        const auto n88 = fs::openAs(disk.volume, fs::Kind::kN88, &why);
        for (const fs::Entry& e : n88->list()) {
            fs::PutRequest q;
            q.path = e.path;
            q.data = n88->read(e).bytes;
            const fs::Plan plan = n88->editor()->put(q);
            ASSERT_TRUE(plan.ok()) << plan.detail;
            ASSERT_TRUE(fs::applyPlan(&copy, 0, plan, &why)) << why;
            ASSERT_TRUE(copy == disk.image) << e.path[0] << " put back changed the disk";
        }
        randomEdits(disk.image, written, rng);
    }
}

}  // namespace
