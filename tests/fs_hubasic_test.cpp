// Hu-BASIC: random disks written by a small writer that follows the on-disk layout (2D, 2DD,
// 2HD, chains crossing cluster 127/128), read back through the library, then damaged; and a
// few disks that must not be taken for Hu-BASIC.
#include <gtest/gtest.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <tuple>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>

#include "d88_builder.h"

namespace {

using builder::Bytes;
using namespace retrodisk;

struct Geometry {
    const char* name;
    int cylinders, spt, clusters, reserved, fatFirst, directoryFirst;
    bool split;
};
const Geometry kGeometries[] = {{"2D", 40, 16, 80, 2, 14, 16, false},
                                {"2DD", 80, 16, 160, 2, 14, 16, true},
                                {"2HD", 77, 26, 250, 3, 28, 32, true}};

// What list() and read() must say of a file.
struct ModelFile {
    std::string type, attributes;
    Bytes bytes;
    uint32_t load = 0, exec = 0;
    bool hasDate = false;
    fs::DateTime date;
    int64_t weekday = -1;  // the entry's own field, as the C library counts (0: Sunday)
    int clusters() const { return std::max<int>(1, int(bytes.size() + 4095) / 4096); }
};
// The problems' details, for a failure message.
std::string details(const std::vector<fs::Problem>& problems) {
    std::string text;
    for (const fs::Problem& p : problems)
        text += (text.empty() ? "" : "; ") + p.detail;
    return text.empty() ? "none" : text;
}

auto summary(const ModelFile& f) {
    const fs::DateTime& d = f.date;
    return std::make_tuple(f.type, f.attributes, f.bytes, f.load, f.exec, f.hasDate, d.year,
                           d.month, d.day, d.hour, d.minute, f.weekday);
}

// A D88 image (or a flat sector image as one), the volume the library reads it through and
// the Hu-BASIC file system it opens there (null when it cannot).
struct Mounted {
    Bytes image;
    d88::ImageView view;
    d88::DiskInfo info;
    fs::Volume volume;
    std::string why;
    std::unique_ptr<fs::FileSystem> hu;
    explicit Mounted(Bytes d88)
        : image(std::move(d88)),
          view(image.data(), image.size()),
          volume(view, (view.readDisk(0, &info), info)),  // info is built first
          hu(fs::openAs(volume, fs::Kind::kHuBasic, &why)) {}
    Mounted(const Bytes& flat, int cylinders, int spt, int sectorSize)
        : Mounted(builder::image({builder::flatDisk(flat, cylinders, 2, spt, sectorSize, 0)})) {}
    std::map<std::string, ModelFile> files() const {
        std::map<std::string, ModelFile> files;
        for (const fs::Entry& e : hu->list()) {
            const fs::FileData data = hu->read(e);
            EXPECT_TRUE(data.complete) << e.path[0] << ": " << data.problem.detail;
            ModelFile& f = files[e.path[0]];
            f = {e.type, e.attributeText, data.bytes, e.load, e.exec, e.hasDate, e.date};
            for (const fs::Field& own : e.own)
                if (own.key == "weekday") f.weekday = own.number;
        }
        return files;
    }
};

// What list() says of an entry.
auto summary(const fs::Entry& e) {
    const fs::DateTime& d = e.date;
    return std::make_tuple(e.path, e.type, e.attributeText, e.size, e.slot, e.firstUnit, e.load,
                           e.exec, e.hasDate, d.hasTime, d.year, d.month, d.day, d.hour, d.minute);
}

struct File {
    fs::Entry want;
    Bytes bytes;  // what read() gives
    std::vector<int> clusters;
};

// The writer: FAT entry k at byte k (2D) or low part at byte k % 128, high part at 128 + k % 128
// of FAT sector k / 128; a link to cluster n is stored as n % 128, n / 128.
struct Writer {
    Geometry g;
    Bytes flat;
    explicit Writer(const Geometry& geometry)
        : g(geometry), flat(size_t(g.cylinders * 2 * g.spt * 256), 0xE5) {
        std::fill_n(flat.begin() + std::ptrdiff_t(g.fatFirst) * 256, g.split ? 512 : 256, 0);
        std::fill_n(flat.begin() + std::ptrdiff_t(g.directoryFirst) * 256, 16 * 256, 0xFF);
        setFat(0, 0x01, 0);
        for (int k = 1; k < g.reserved; ++k)
            setFat(k, 0x8F, 0);
        if (!g.split)
            std::fill_n(flat.begin() + std::ptrdiff_t(14) * 256 + 80, 48,
                        0x8F);  // as the real disk
    }
    void setFat(int k, uint8_t lo, uint8_t hi) {
        const int offset = g.fatFirst * 256 + (g.split ? k / 128 * 256 + k % 128 : k);
        const size_t at = size_t(offset);
        flat[at] = lo;
        if (g.split) flat[at + 128] = hi;
    }
    void link(int k, int next) { setFat(k, uint8_t(next % 128), uint8_t(next / 128)); }
    size_t entry(int slot) const { return size_t(g.directoryFirst) * 256 + size_t(slot) * 32; }
    // The file's clusters, data and entry (name and extension padded, 16 bytes in `raw`).
    void write(const File& f, int mode, const std::string& raw, size_t sizeField) {
        for (size_t i = 0; i + 1 < f.clusters.size(); ++i)
            link(f.clusters[i], f.clusters[i + 1]);
        const size_t tail = (f.bytes.size() - (f.clusters.size() - 1) * 4096 + 255) / 256;
        setFat(f.clusters.back(), uint8_t(0x7F + std::max<size_t>(tail, 1)), 0);  // 0x80: 1 sector
        for (size_t b = 0; b < f.bytes.size(); ++b)
            flat[size_t(f.clusters[b / 4096]) * 4096 + b % 4096] = f.bytes[b];
        const size_t e = entry(f.want.slot);
        const fs::DateTime& d = f.want.date;
        flat[e] = uint8_t(mode);
        std::copy(raw.begin(), raw.end(), flat.begin() + std::ptrdiff_t(e + 1));
        flat[e + 17] = 0x20;  // no password
        builder::putU16LE(flat, e + 18, uint32_t(sizeField));
        builder::putU16LE(flat, e + 20, f.want.load);
        builder::putU16LE(flat, e + 22, f.want.exec);
        const int when[] = {d.year % 100, d.month * 10 + 3, d.day, d.hour, d.minute, 0};  // BCD
        for (size_t k = 0; k < 6; ++k)
            flat[e + 24 + k] = uint8_t(when[k] / 10 << 4 | when[k] % 10);
        builder::putU16LE(flat, e + 30, uint32_t(f.clusters[0] % 128 | f.clusters[0] / 128 << 8));
    }
};

void expectSameFile(const fs::FileSystem& hu, const fs::Entry& e, const File& f) {
    const fs::FileData data = hu.read(e);
    EXPECT_TRUE(data.complete) << e.path[0] << ": " << data.problem.detail;
    EXPECT_TRUE(data.bytes == f.bytes) << e.path[0];
}

// A random disk of the writer's: 3 to 8 files of every type, some slots deleted between them
// (on 2DD and 2HD the first file links to cluster 128). *freeList: the clusters left free.
Writer randomDisk(std::mt19937& rng, const Geometry& g, std::vector<File>* filesOut,
                  std::vector<int>* freeListOut) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<File>& files = *filesOut;
    std::vector<int>& freeList = *freeListOut;
    Writer w(g);
    for (int k = g.reserved; k < g.clusters; ++k)
        freeList.push_back(k);
    std::shuffle(freeList.begin(), freeList.end(), rng);
    if (g.split)  // file 0 links to cluster 128 (lo 00, hi 01), the writer's trap
        std::iter_swap(freeList.begin() + 1, std::find(freeList.begin(), freeList.end(), 128));
    for (int i = 0, n = pick(3, 8), slot = 0; i < n; ++i, ++slot) {
        if (pick(0, 3) == 0) std::fill_n(&w.flat[w.entry(slot++)], 32, 0);  // deleted
        File f;
        fs::Entry& e = f.want;
        const int kind = i == 0 ? 0 : pick(0, 2);  // binary, BASIC, ASCII (bit 2 or 3)
        const int mode = (kind == 2 ? 4 << pick(0, 1) : 1 << kind) | (pick(0, 3) != 0 ? 0 : 0x40);
        e.type = kind == 0 ? "binary" : kind == 1 ? "basic" : "ascii";
        e.attributeText = (mode & 0x40) != 0 ? "R" : "";
        const int size = i == 0      ? pick(4097, 20000)
                         : kind == 2 ? pick(1, 40) * 256
                                     : pick(0, 12000);
        f.bytes.resize(size_t(size));
        for (uint8_t& b : f.bytes)
            b = uint8_t(rng());
        f.clusters.assign(freeList.begin(), freeList.begin() + std::max(1, (size + 4095) / 4096));
        freeList.erase(freeList.begin(), freeList.begin() + std::ptrdiff_t(f.clusters.size()));
        e.size = size, e.slot = slot, e.firstUnit = f.clusters[0];
        e.hasDate = e.date.hasTime = true;
        e.date.year = pick(1980, 2079), e.date.month = pick(1, 12), e.date.day = pick(1, 28);
        e.date.hour = pick(0, 23), e.date.minute = pick(0, 59);
        e.load = uint32_t(pick(0, 0xFFFF)), e.exec = uint32_t(pick(0, 0xFFFF));
        std::string name = "Fi" + std::to_string(i);
        const std::string ext = pick(0, 2) != 0 ? "Bin" : "";
        name += std::string(size_t(pick(0, 13 - int(name.size()))), char('a' + pick(0, 25)));
        e.path = {ext.empty() ? name : std::string(name).append(".").append(ext)};
        name.resize(13, ' ');
        w.write(f, mode, name + (ext.empty() ? "   " : ext), kind == 2 ? 0 : size_t(size));
        files.push_back(f);
    }
    return w;
}

TEST(HuBasic, RandomDisksReadBackAndDamageIsNamed) {
    std::mt19937 rng(20261209);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    const fs::ProblemKind kDamage[] = {fs::ProblemKind::kLoop, fs::ProblemKind::kPastDisk,
                                       fs::ProblemKind::kShared, fs::ProblemKind::kFreeInChain,
                                       fs::ProblemKind::kSizeMismatch};
    for (int round = 0; round < 60; ++round) {
        const Geometry& g = kGeometries[round % 3];
        SCOPED_TRACE(std::string(g.name) + " round " + std::to_string(round));
        std::vector<File> files;
        std::vector<int> freeList;
        Writer w = randomDisk(rng, g, &files, &freeList);

        const Mounted m(w.flat, g.cylinders, g.spt, 256);
        const fs::Recognition r = fs::recognise(m.volume);
        ASSERT_EQ(r.outcome, fs::Recognition::kRecognised) << r.bids[0].detection.evidence;
        ASSERT_EQ(r.chosen->kind(), fs::Kind::kHuBasic);
        const std::vector<fs::Entry> entries = r.chosen->list();
        ASSERT_EQ(entries.size(), files.size());
        for (size_t i = 0; i < files.size(); ++i) {
            EXPECT_EQ(summary(entries[i]), summary(files[i].want));
            expectSameFile(*r.chosen, entries[i], files[i]);
        }
        EXPECT_EQ(r.chosen->freeSpace().units, int64_t(freeList.size()));
        const std::vector<fs::Problem> clean = r.chosen->check();
        EXPECT_TRUE(clean.empty()) << clean[0].detail;

        // One damage per round, on one file; every other file still reads whole.
        const int damage = round / 3 % 5;
        size_t victim = size_t(pick(0, int(files.size()) - 1));
        while (damage == 4 && files[victim].want.type == "ascii")  // no size field in ASCII
            victim = (victim + 1) % files.size();
        const size_t other = (victim + 1) % files.size();
        const File& v = files[victim];
        const int last = v.clusters.back();
        if (damage == 0) w.link(last, v.clusters[0]);
        if (damage == 1) w.link(last, g.clusters + pick(0, 5));
        if (damage == 2) w.link(last, files[other].clusters.back());
        if (damage == 3) w.setFat(last, 0, 0);
        if (damage == 4)
            builder::putU16LE(w.flat, w.entry(v.want.slot) + 18,
                              uint32_t(v.clusters.size() * 4096) + uint32_t(pick(1, 300)));
        const Mounted damaged(w.flat, g.cylinders, g.spt, 256);
        std::string why;
        const auto hu = fs::openAs(damaged.volume, fs::Kind::kHuBasic, &why);
        ASSERT_NE(hu, nullptr) << why;
        const std::vector<fs::Problem> problems = hu->check();
        ASSERT_EQ(problems.size(), 1u) << details(problems);
        EXPECT_EQ(problems[0].kind, kDamage[damage]) << problems[0].detail;
        const std::vector<fs::Entry> after = hu->list();
        for (size_t i = 0; i < files.size(); ++i) {
            if (i == victim && damage != 2) {  // a shared cluster is the disk's fault, not a file's
                const fs::FileData data = hu->read(after[i]);
                EXPECT_FALSE(data.complete);
                EXPECT_EQ(data.problem.kind, kDamage[damage]) << data.problem.detail;
                EXPECT_EQ(problems[0].path, v.want.path);
            } else if (i != victim && i != other) {
                expectSameFile(*hu, after[i], files[i]);
            }
        }
    }
}

// Disks that are not Hu-BASIC, or not surely: geometry, fill byte, then bytes at offsets.
struct DetectCase {
    const char* what;
    int cylinders, spt, sectorSize, fill;
    std::vector<std::pair<int, int>> bytes;
};
const DetectCase kDetectCases[] = {
    {"blank 2D", 40, 16, 256, 0, {}},
    {"flat directory disk", 77, 8, 1024, 0, {{2 * 1024 + 1, 'A'}}},
    {"2DD, FAT 01 8F then A5",
     80,
     16,
     256,
     0xA5,
     {{14 * 256, 0x01}, {14 * 256 + 1, 0x8F}, {14 * 256 + 128, 0}, {14 * 256 + 129, 0}}},
    {"sound FAT, an entry starts on a free cluster",
     40,
     16,
     256,
     0,
     {{14 * 256, 0x01}, {14 * 256 + 1, 0x8F}, {16 * 256, 0x01}, {16 * 256 + 30, 5}}},
};

TEST(HuBasic, DisksOfOtherKindsAreNotSure) {
    for (const DetectCase& c : kDetectCases) {
        Bytes flat(size_t(c.cylinders * 2 * c.spt * c.sectorSize), uint8_t(c.fill));
        for (const auto& [at, value] : c.bytes)
            flat[size_t(at)] = uint8_t(value);
        const Mounted m(flat, c.cylinders, c.spt, c.sectorSize);
        for (const fs::Recognition::Bid& b : fs::recognise(m.volume).bids) {
            if (b.kind != fs::Kind::kHuBasic) continue;
            EXPECT_LT(b.detection.confidence, fs::kSure) << c.what << ": " << b.detection.evidence;
        }
    }
}

// Puts every file of the disk back as read, with or without its type and addresses: the
// image must not change.
void roundTrip(Bytes& image) {
    const Bytes was = image;
    for (size_t i = 0;; ++i) {
        const Mounted disk(image);
        const std::vector<fs::Entry> entries = disk.hu->list();
        if (i == entries.size()) break;
        const fs::Entry& e = entries[i];
        fs::PutRequest put;
        put.path = e.path, put.data = disk.hu->read(e).bytes;
        put.hasDate = e.hasDate, put.date = e.date;
        if (i % 2 != 0)
            put.type = e.type, put.hasLoad = put.hasExec = true, put.load = e.load,
            put.exec = e.exec;
        const fs::Plan plan = disk.hu->editor()->put(put);
        std::string why;
        ASSERT_TRUE(plan.ok() && fs::applyPlan(&image, 0, plan, &why)) << plan.detail << why;
    }
    EXPECT_TRUE(image == was) << "a round trip changed the disk";
}

// A new file's name: 1-13 bytes, a double-byte character now and then, then the extension;
// or, for badName 0-5, one of the names the editor refuses.
std::string newName(std::mt19937& rng, const char* extension, int badName) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::string name;
    for (int n = pick(1, 13); int(name.size()) < n;)
        name += pick(0, 7) == 0 && n - int(name.size()) >= 2
                    ? "\x83\x41"
                    : std::string(1, "AbzZ09_-"[pick(0, 7)]);
    name += extension;
    const char* const kBad[] = {"ABCDEFGHIJKLMN", "A.Bin1", "A:B", "AB .C", ".Bas", "A\x83"};
    if (badName < 6) name = kBad[badName];
    return name;
}

// A random put of `name`: any type word or none, up to 600 bytes when `fill` (else up to 20000,
// now and then past 65535), a load address now and then too large, a date most times.
fs::PutRequest randomPut(std::mt19937& rng, const std::string& name, bool fill) {
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    fs::PutRequest put;
    put.path = {name};
    const char* const kTypes[] = {"", "", "basic", "ascii", "binary", "machine", "data"};
    put.type = kTypes[pick(0, 6)];
    const int size = fill ? pick(0, 600) : pick(0, 9) == 0 ? pick(60000, 70000) : pick(0, 20000);
    put.data.resize(size_t(size));
    for (uint8_t& b : put.data)
        b = uint8_t(rng());
    put.hasLoad = pick(0, 1) != 0,
    put.load = pick(0, 30) != 0 ? uint32_t(pick(0, 0xFFFF)) : 0x10000;
    put.hasDate = pick(0, 3) != 0, put.date.hasTime = true;
    put.date.year = pick(1980, 2079), put.date.month = pick(1, 12), put.date.day = pick(1, 28);
    put.date.hour = pick(0, 23), put.date.minute = pick(0, 59);
    return put;
}

// The model's file after `put` succeeds over `old` (nullptr: a new file whose extension gives
// defaultType): the type named or kept, the bytes put (a text with its end mark added where the
// editor adds it, padded to whole sectors), the load address and date if given.
ModelFile modelAfterPut(const fs::PutRequest& put, const ModelFile* old, const char* defaultType) {
    std::string type = !put.type.empty() ? put.type : old != nullptr ? old->type : defaultType;
    if (type == "machine") type = "binary";
    ModelFile after = old != nullptr ? *old : ModelFile{};
    after.type = type;
    after.bytes = put.data;
    const int size = int(put.data.size());
    if (type == "ascii") {
        if ((size == 0 || size % 256 != 0) &&
            std::count(put.data.begin(), put.data.end(), 0x1A) == 0)
            after.bytes.push_back(0x1A);
        after.bytes.resize(size_t(std::max(1, int(after.bytes.size() + 255) / 256)) * 256, 0);
    }
    if (put.hasLoad) after.load = put.load;
    if (put.hasDate) {
        std::tm day{};
        day.tm_year = put.date.year - 1900, day.tm_mon = put.date.month - 1;
        day.tm_mday = put.date.day, day.tm_hour = 12;
        std::mktime(&day);
        after.hasDate = true, after.date = put.date, after.weekday = day.tm_wday;
    }
    return after;
}

// The refusal the model expects for a put that would leave `after` over `old` (nullptr: none),
// with `files` files on the disk and freeClusters free; kNone when the put should succeed.
fs::EditError putVerdict(const fs::PutRequest& put, const ModelFile& after, bool badName,
                         const ModelFile* old, size_t files, int freeClusters) {
    const std::string& type = after.type;
    if (badName) return fs::EditError::kBadName;
    if (type != "basic" && type != "ascii" && type != "binary") return fs::EditError::kBadType;
    if (put.hasLoad && put.load > 0xFFFF) return fs::EditError::kBadAddress;
    if (type != "ascii" && put.data.size() > 0xFFFF) return fs::EditError::kTooLarge;
    if (old == nullptr && files == 128) return fs::EditError::kDirectoryFull;
    if (after.clusters() > freeClusters + (old != nullptr ? old->clusters() : 0))
        return fs::EditError::kDiskFull;
    return fs::EditError::kNone;
}

// The clusters a disk of geometry g has free when it holds the model's files.
int freeInModel(const Geometry& g, const std::map<std::string, ModelFile>& model) {
    int used = 0;
    for (const auto& [name, f] : model)
        used += f.clusters();
    return g.clusters - g.reserved - used;
}

// The image with the plan's sectors written, nothing else.
Bytes withWrites(const Bytes& image, const fs::Volume& volume, const fs::Plan& plan) {
    Bytes expected = image;
    for (const fs::SectorWrite& w : plan.writes)
        std::copy(w.data.begin(), w.data.end(),
                  expected.begin() + volume.find(w.c, w.h, w.r).position);
    return expected;
}

// Random puts and removes on blank disks of each type and on the writer's disks, against a map
// of the files: every plan's verdict is the model's, a plan writes nothing outside its sectors,
// the disk checks clean and reads back as the model. Then every file put back as read leaves
// the image as it was.
TEST(HuBasic, PutAndRemoveFollowTheModel) {
    std::mt19937 rng(9122026);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::set<fs::EditError> seen;
    for (int round = 0; round < 9; ++round) {
        const Geometry& g = kGeometries[round % 3];
        const bool blank = round < 6;
        const bool fill = round >= 3 && round < 6;  // fill: small new files
        SCOPED_TRACE(std::string(g.name) + " round " + std::to_string(round));
        Bytes image;
        if (blank) {
            fs::BlankDisk disk;
            std::string why;
            ASSERT_TRUE(fs::formatDisk(fs::Kind::kHuBasic,
                                       formatTypes(fs::Kind::kHuBasic)[size_t(round % 3)], "",
                                       &disk, &why));
            image = fs::buildImage(disk, "blank");
        } else {
            std::vector<File> files;
            std::vector<int> freeList;
            image = builder::image({builder::flatDisk(randomDisk(rng, g, &files, &freeList).flat,
                                                      g.cylinders, 2, g.spt, 256, 0)});
        }
        roundTrip(image);
        std::map<std::string, ModelFile> model = Mounted(image).files();
        for (int step = 0; step < (fill ? 260 : 120); ++step) {
            const Mounted disk(image);
            const int freeClusters = freeInModel(g, model);
            ASSERT_EQ(disk.hu->freeSpace().units, freeClusters);
            const bool remove = !model.empty() && pick(0, fill ? 20 : 5) == 0;
            const bool existing = !model.empty() && pick(0, fill ? 9 : 1) == 0;
            auto some = model.begin();
            std::advance(some, pick(0, std::max(0, int(model.size()) - 1)));
            const int badName = existing ? -1 : pick(0, 40);
            // Extensions and the type they give a new file.
            const std::pair<const char*, const char*> kExtensions[] = {
                {"", "binary"},     {".Bas", "basic"}, {".Asc", "ascii"},
                {".BIN", "binary"}, {".txt", "ascii"}, {".c", "binary"}};
            const auto& [extension, defaultType] = kExtensions[pick(0, 5)];
            std::string name = existing ? some->first : newName(rng, extension, badName);
            fs::Plan plan;
            fs::EditError want = fs::EditError::kNone;
            ModelFile after;
            if (remove) {
                name = some->first;
                if (pick(0, 5) == 0) name = "Nothing", want = fs::EditError::kNoSuchFile;
                plan = disk.hu->editor()->remove({name});
            } else {
                const fs::PutRequest put = randomPut(rng, name, fill);
                plan = disk.hu->editor()->put(put);
                const auto old = model.find(name);
                const ModelFile* was = old != model.end() ? &old->second : nullptr;
                after = modelAfterPut(put, was, defaultType);
                want = putVerdict(put, after, badName >= 0 && badName < 6, was, model.size(),
                                  freeClusters);
            }
            seen.insert(want);
            ASSERT_EQ(plan.error, want) << step << " " << name << ": " << plan.detail;
            if (!plan.ok()) {
                ASSERT_TRUE(plan.writes.empty());
                continue;
            }
            const Bytes expected = withWrites(image, disk.volume, plan);
            std::string why;
            ASSERT_TRUE(fs::applyPlan(&image, 0, plan, &why)) << why;
            ASSERT_TRUE(image == expected) << "a byte outside the plan's sectors moved";
            if (remove)
                model.erase(name);
            else
                model[plan.path[0]] = after;
            const Mounted changed(image);
            const std::vector<fs::Problem> problems = changed.hu->check();
            ASSERT_TRUE(problems.empty()) << step << ": " << details(problems);
            std::map<std::string, ModelFile> files = changed.files();
            ASSERT_EQ(files.size(), model.size());
            for (const auto& [path, f] : model)
                ASSERT_EQ(summary(files[path]), summary(f)) << path;
        }
        roundTrip(image);
    }
    EXPECT_EQ(seen.size(), 8u) << "a verdict no step met";  // success and the 7 refusals
}

}  // namespace
