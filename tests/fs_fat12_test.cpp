// FAT12 read by the library and by a real tool: disks made with mkfs.fat and mcopy (random
// trees on each geometry the reader knows, a Shift_JIS name with a 0x5C trail byte and a name
// stored with 0x05 patched in), listed and copied back with mdir/mattrib/mcopy, must list and
// read the same through the library, with and without a parameter block. Then damage, one
// kind per row. Without mtools and dosfstools the tool-made cases are skipped.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>

#include "d88_builder.h"
#include "test_data.h"

namespace {

namespace fs = retrodisk::fs;
namespace stdfs = std::filesystem;
using builder::Bytes;

bool haveTools() {
    // NOLINTNEXTLINE(cert-env33-c): the test drives the peer tools through the shell
    return std::system(
               "{ command -v mkfs.fat && command -v mcopy && command -v mdir && "
               "command -v mattrib; } >/dev/null 2>&1") == 0;
}

// A temporary directory where the tools run, with their settings: no geometry check, UTC,
// code page 850 (each byte its own character, so stored bytes can be recovered from names).
class Scratch {
  public:
    Scratch() {
        char name[] = "/tmp/fs_fat12_test_XXXXXX";
        dir_ = mkdtemp(name) != nullptr ? name : "";
        std::ofstream(dir_ + "/mtoolsrc") << "MTOOLS_SKIP_CHECK=1\nDEFAULT_CODEPAGE=850\n";
    }
    // NOLINTNEXTLINE(cert-env33-c): the test drives the peer tools through the shell
    ~Scratch() { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    // The command's standard output; *ok: whether it exited 0.
    std::string run(const std::string& command, bool* ok = nullptr) const {
        const std::string line = "cd '" + dir_ + "' && MTOOLSRC=./mtoolsrc MTOOLS_SKIP_CHECK=1 " +
                                 "TZ=UTC LC_ALL=C.UTF-8 " + command + " 2>&1";
        FILE* pipe = popen(line.c_str(), "r");  // NOLINT(cert-env33-c): runs the peer tools
        std::string out;
        char buffer[4096];
        size_t got = 0;
        while (pipe != nullptr && (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
            out.append(buffer, got);
        const int status = pipe != nullptr ? pclose(pipe) : -1;
        if (ok != nullptr) *ok = status == 0;
        return out;
    }

  private:
    std::string dir_;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

struct Geometry {
    const char* name;
    int cylinders, heads, spt, sectorSize;
    const char* mkfs;  // the values of that format's standard layout
    uint8_t headerMedia;
};
const Geometry kGeometries[] = {
    {"2HD_1024", 77, 2, 8, 1024, "-S 1024 -s 1 -r 192 -M 0xFE -g 2/8", 0x20},
    {"2HD_1440K", 80, 2, 18, 512, "-S 512 -s 1 -r 224 -M 0xF0 -g 2/18", 0x20},
    {"2DD_720K", 80, 2, 9, 512, "-S 512 -s 2 -r 112 -M 0xF9 -g 2/9", 0x10},
    {"2DD_640K", 80, 2, 8, 512, "-S 512 -s 2 -r 112 -M 0xFB -g 2/8", 0x10},
    {"2D_360K", 40, 2, 9, 512, "-S 512 -s 2 -r 112 -M 0xFD -g 2/9", 0x00},
};
void PrintTo(const Geometry& g, std::ostream* out) {
    *out << g.name;
}
int64_t diskBytes(const Geometry& g) {
    return int64_t(g.cylinders) * g.heads * g.spt * g.sectorSize;
}

// A D88 image of a flat sector image, opened as a volume.
struct Opened {
    Bytes image;
    retrodisk::d88::ImageView view;
    retrodisk::d88::DiskInfo info;
    fs::Volume volume;
    Opened(const Bytes& flat, const Geometry& g, const std::function<void(builder::Disk&)>& edit)
        : image(makeImage(flat, g, edit)),
          view(image.data(), image.size()),
          info(readInfo(view)),
          volume(view, info) {}
    // A D88 image, with its disk read as FAT12 into `fat`.
    explicit Opened(const Bytes& d88)
        : image(d88), view(image.data(), image.size()), info(readInfo(view)), volume(view, info) {
        std::string why;
        fat = fs::openAs(volume, fs::Kind::kFat12, &why);
    }
    std::unique_ptr<fs::FileSystem> fat;
    static Bytes makeImage(const Bytes& flat, const Geometry& g,
                           const std::function<void(builder::Disk&)>& edit) {
        builder::Disk disk = builder::flatDisk(flat, g.cylinders, g.heads, g.spt, g.sectorSize, 0);
        if (edit) edit(disk);
        return builder::image({disk});
    }
    static retrodisk::d88::DiskInfo readInfo(const retrodisk::d88::ImageView& v) {
        retrodisk::d88::DiskInfo info;
        v.readDisk(0, &info);
        return info;
    }
};

// The names mtools gives the two patched Shift_JIS names on the host (code page 850 in UTF-8).
std::string hostName(const std::string& sjis) {
    static const std::map<uint8_t, std::string> kCp850 = {
        {0x95, "\xC3\xB2"},     {0x8E, "\xC3\x84"},     {0xA6, "\xC2\xAA"},    {0xE5, "\xC3\x95"},
        {0xB1, "\xE2\x96\x92"}, {0xB2, "\xE2\x96\x93"}, {0xB3, "\xE2\x94\x82"}};
    std::string out;
    for (const char c : sjis) {
        const auto at = kCp850.find(uint8_t(c));
        out += uint8_t(c) < 0x80 ? std::string(1, c) : at != kCp850.end() ? at->second : "?";
    }
    return out;
}
std::string hostPath(const std::vector<std::string>& path) {
    std::string out;
    for (const std::string& p : path)
        out += (out.empty() ? "" : "/") + hostName(p);
    return out;
}

// Placeholders mcopy writes, and the name bytes patched over them: 表示.TXT (95 5C 8E A6) and
// a name starting with the lead byte E5, stored as 05.
const std::pair<std::string, std::string> kPatches[] = {
    {"PLACE1  TXT", std::string("\x95\x5C\x8E\xA6    TXT", 11)},
    {"PLACE2  DAT", std::string("\x05\x40      DAT", 11)},
};
void patchName(Bytes& flat, const std::string& from, const std::string& to) {
    const std::string all = builder::toString(flat);
    const size_t at = all.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    std::copy(to.begin(), to.end(), flat.begin() + std::ptrdiff_t(at));
}

// A random tree under `root`: directories up to three deep, files of sizes around the cluster
// size and larger, one directory sometimes of many entries, random contents and dates.
void writeTree(std::mt19937& rng, const stdfs::path& root, int64_t budget, int64_t cluster,
               std::vector<std::string>* files) {
    auto pick = [&](int64_t n) { return int64_t(rng() % uint64_t(n)); };
    std::set<std::string> used;
    auto name = [&](bool ext) {
        static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
        for (;;) {
            std::string n;
            for (int64_t i = 0, k = 1 + pick(8); i < k; ++i)
                n += kChars[pick(37)];
            if (ext) n += "." + std::string(size_t(1 + pick(3)), kChars[pick(26)]);
            if (used.insert(n).second) return n;  // unique on the disk, so in any directory
        }
    };
    stdfs::create_directories(root);
    std::vector<stdfs::path> dirs = {root};
    for (int64_t i = 0, k = pick(6); i < k; ++i) {
        const stdfs::path parent = dirs[size_t(pick(int64_t(dirs.size())))];
        if (std::distance(root.begin(), root.end()) + 3 <=
            std::distance(parent.begin(), parent.end()))
            continue;
        dirs.push_back(parent / name(pick(4) == 0));
        stdfs::create_directories(dirs.back());
    }
    const int64_t count = 8 + pick(20) + (pick(2) != 0 ? 40 : 0);
    for (int64_t i = 0; i < count && budget > 0; ++i) {
        const int64_t sizes[] = {0, 1, cluster, cluster + 1, pick(3 * cluster), pick(20000)};
        const int64_t size = std::min(sizes[pick(6)], budget);
        budget -= size + cluster;
        // The burst of 40 goes to one directory, so it spans clusters.
        const stdfs::path dir =
            i >= count - 40 && count > 40 ? dirs.back() : dirs[size_t(pick(int64_t(dirs.size())))];
        const stdfs::path file = dir / name(pick(3) != 0);
        Bytes bytes = Bytes(size_t(size));
        for (uint8_t& b : bytes)
            b = uint8_t(rng());
        std::ofstream(file, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), size);
        const time_t when = time_t(315619200 + pick(1800000000 / 2) * 2);  // 1980-01-02 on
        const utimbuf times = {when, when};
        utime(file.c_str(), &times);
        files->push_back(stdfs::relative(file, root).generic_string());
    }
}

struct Seen {  // one entry as mtools shows it
    bool directory = false;
    Bytes bytes;
    std::tm date = {};
    std::set<char> attributes;  // R H S A, as mattrib prints them
};

// Sets read-only, hidden and system on about a fifth of the files each, and clears archive on
// about a fifth, with mattrib on disk.img.
// cppcheck-suppress constParameter ; rng() advances the engine, so it cannot be const
void setRandomAttributes(std::mt19937& rng, const Scratch& s,
                         const std::vector<std::string>& files) {
    std::string attrib[4];
    const char* kFlags[] = {"+r", "+h", "+s", "-a"};
    for (const std::string& f : files)
        for (int k = 0; k < 4; ++k)
            if (rng() % 5 == 0) attrib[k] += " '::/" + f + "'";
    for (int k = 0; k < 4; ++k)
        if (!attrib[k].empty()) s.run(std::string("mattrib -i disk.img ") + kFlags[k] + attrib[k]);
}

// The tree mcopy copied out of disk.img into out/, with the dates it gave the copies and the
// attributes mattrib lists, by path.
std::map<std::string, Seen> copiedTree(const Scratch& s) {
    std::map<std::string, Seen> tool;
    for (const auto& item : stdfs::recursive_directory_iterator(s.path("out"))) {
        Seen& seen = tool[stdfs::relative(item.path(), s.path("out")).generic_string()];
        seen.directory = item.is_directory();
        if (!seen.directory) seen.bytes = readFile(item.path().string());
        struct stat st = {};
        stat(item.path().c_str(), &st);
        gmtime_r(&st.st_mtime, &seen.date);
    }
    std::istringstream attributes(s.run("mattrib -/ -i disk.img ::/"));
    for (std::string line; std::getline(attributes, line);) {
        const size_t at = line.find("::/");
        if (at == std::string::npos || line.size() == at + 3) continue;
        for (size_t i = 0; i < at; ++i)
            if (line[i] != ' ') tool[line.substr(at + 3)].attributes.insert(line[i]);
    }
    return tool;
}

class Fat12AgainstMtools : public testing::TestWithParam<Geometry> {};

TEST_P(Fat12AgainstMtools, ListsAndReadsWhatMtoolsCopies) {
    if (!haveTools()) GTEST_SKIP() << "mtools and dosfstools (mkfs.fat) are not installed";
    const Geometry& g = GetParam();
    for (uint32_t seed = 1; seed <= 3; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 rng(seed * 7919u + uint32_t(g.cylinders * g.spt));
        Scratch s;
        std::vector<std::string> files;
        const int64_t cluster =
            int64_t{g.sectorSize} * (g.spt == 18 || g.sectorSize == 1024 ? 1 : 2);
        writeTree(rng, s.path("src"), diskBytes(g) / 2, cluster, &files);
        std::ofstream(s.path("src/PLACE1.TXT")) << "hyou";
        std::ofstream(
            s.path("src/" + files.front().substr(0, files.front().rfind('/') + 1) + "PLACE2.DAT"))
            << "e5";
        const std::string label = "VOL" + std::to_string(seed);
        bool ok = false;
        const std::string made =
            s.run("mkfs.fat -C -a -F 12 -f 2 -R 1 -n " + label + " " + g.mkfs + " disk.img " +
                      std::to_string(diskBytes(g) / 1024) + " && mcopy -s -m -i disk.img src/* ::/",
                  &ok);
        ASSERT_TRUE(ok) << "mkfs.fat or mcopy failed: " << made;
        setRandomAttributes(rng, s, files);
        Bytes flat = readFile(s.path("disk.img"));
        ASSERT_EQ(int64_t(flat.size()), diskBytes(g));
        for (const auto& [from, to] : kPatches)
            patchName(flat, from, to);
        std::ofstream(s.path("disk.img"), std::ios::binary)
            .write(reinterpret_cast<const char*>(flat.data()), std::streamsize(flat.size()));

        // What mtools makes of it.
        s.run("mkdir out && mcopy -s -n -m -i disk.img ::/ out/", &ok);
        ASSERT_TRUE(ok) << "mcopy -s could not copy the tree back";
        std::map<std::string, Seen> tool = copiedTree(s);
        std::string freeText = s.run("mdir -i disk.img ::/");
        const size_t end = freeText.find(" bytes free");
        if (end != std::string::npos) freeText.resize(end);
        freeText = freeText.substr(freeText.find_last_of('\n') + 1);
        freeText.erase(std::remove(freeText.begin(), freeText.end(), ' '), freeText.end());

        // What the library makes of it, with the parameter block and without (a 68000 branch
        // and zeros over the boot sector's first 62 bytes: the standard layout must give the
        // same listing and bytes).
        Bytes noBlock = flat;
        for (size_t i = 0; i < 62 && i < noBlock.size(); ++i)
            noBlock[i] = 0;
        noBlock[0] = 0x60;
        noBlock[1] = 0x3C;
        std::vector<std::pair<std::string, Bytes>> withBlock;
        for (const Bytes* variant : {&flat, &noBlock}) {
            const bool block = variant == &flat;
            SCOPED_TRACE(block ? "with its parameter block" : "without a parameter block");
            Opened o(*variant, g, nullptr);
            fs::Recognition r = fs::recognise(o.volume);
            ASSERT_EQ(r.outcome, fs::Recognition::kRecognised) << r.bids.front().detection.evidence;
            ASSERT_EQ(r.chosen->kind(), fs::Kind::kFat12);
            const std::string geometry = std::to_string(g.cylinders) + " x " +
                                         std::to_string(g.heads) + " x " + std::to_string(g.spt) +
                                         " x " + std::to_string(g.sectorSize);
            EXPECT_EQ(r.bids.front().detection.evidence.find(
                          block ? "parameter block at C0 H0 R1 +11: " +
                                      std::to_string(g.sectorSize) + "-byte sectors"
                                : "no parameter block; " + geometry + " and FAT ID "),
                      0u)
                << r.bids.front().detection.evidence;
            const fs::FileSystem& f = *r.chosen;
            EXPECT_NE(f.describe().find("volume label " + label), std::string::npos)
                << f.describe();
            std::set<std::string> listed;
            std::vector<std::pair<std::string, Bytes>> got;
            for (const fs::Entry& e : f.list()) {
                const std::string path = hostPath(e.path);
                SCOPED_TRACE(path);
                ASSERT_TRUE(listed.insert(path).second) << "listed twice";
                if (e.path.size() > 1) {
                    EXPECT_TRUE(listed.count(path.substr(0, path.rfind('/'))))
                        << "listed before its directory";
                }
                ASSERT_TRUE(tool.count(path)) << "mtools has no such entry";
                const Seen& seen = tool[path];
                EXPECT_EQ(e.directory, seen.directory);
                EXPECT_EQ(e.type, e.directory ? "directory" : "");
                std::set<char> letters;
                for (const char c : e.attributeText)
                    if (c != 'D' && c != 'V') letters.insert(c);
                EXPECT_EQ(letters, seen.attributes) << "have " << e.attributeText;
                ASSERT_TRUE(e.hasDate);
                EXPECT_EQ(std::vector<int>({e.date.year, e.date.month, e.date.day, e.date.hour,
                                            e.date.minute, e.date.second}),
                          std::vector<int>({seen.date.tm_year + 1900, seen.date.tm_mon + 1,
                                            seen.date.tm_mday, seen.date.tm_hour, seen.date.tm_min,
                                            seen.date.tm_sec}));
                if (e.directory) continue;
                const fs::FileData data = f.read(e);
                EXPECT_TRUE(data.complete) << data.problem.detail;
                EXPECT_EQ(e.size, int64_t(seen.bytes.size()));
                EXPECT_TRUE(data.bytes == seen.bytes) << "bytes differ";
                got.emplace_back(path, data.bytes);
            }
            EXPECT_EQ(listed.size(), tool.size());
            EXPECT_EQ(std::to_string(f.freeSpace().bytes()), freeText);
            for (const fs::Problem& p : f.check())
                ADD_FAILURE() << fs::problemName(p.kind) << ": " << p.detail;
            if (block)
                withBlock = got;
            else
                EXPECT_TRUE(got == withBlock) << "the standard layout reads another tree";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Geometries, Fat12AgainstMtools, testing::ValuesIn(kGeometries),
                         [](const testing::TestParamInfo<Geometry>& param) {
                             return std::string(param.param.name);
                         });

// The 2HD layout's FAT (mkfs.fat's values above: 1 reserved sector, 2 FATs of 2 sectors) and
// directory entries, in a flat image, for the damage rows.
constexpr size_t kFatAt = 1024, kFatBytes = 2048, kDataSector = 11;
uint32_t fatGet(const Bytes& f, uint32_t n) {
    const size_t at = kFatAt + n + n / 2;
    const uint32_t pair = f[at] | uint32_t(f[at + 1]) << 8;
    return (n & 1) != 0 ? pair >> 4 : pair & 0xFFF;
}
void fatSet(Bytes& f, uint32_t n, uint32_t v) {
    for (size_t at = kFatAt + n + n / 2; at < kFatAt + 2 * kFatBytes; at += kFatBytes) {
        const uint32_t pair = f[at] | uint32_t(f[at + 1]) << 8;
        builder::putU16LE(f, at, (n & 1) != 0 ? (pair & 0x000F) | v << 4 : (pair & 0xF000) | v);
    }
}
size_t entryAt(const Bytes& f, const char* name11) {
    return builder::toString(f).find(std::string(name11, 11));
}

struct Damage {
    const char* name;
    // Damages the flat image (or the D88 disk); `first` gives a path's first cluster.
    std::function<void(Bytes&, const std::function<uint32_t(const char*)>& first)> apply;
    std::function<void(builder::Disk&, uint32_t a2)> edit;
    fs::ProblemKind kind;
    std::string named;                 // the path or area check() names
    std::set<std::string> incomplete;  // files read() must not give as whole
};
using First = std::function<uint32_t(const char*)>;
const Damage kDamage[] = {
    {"loop",
     [](Bytes& f, const First& c) { fatSet(f, fatGet(f, c("A.BIN")), c("A.BIN")); },
     nullptr,
     fs::ProblemKind::kLoop,
     "A.BIN",
     {"A.BIN"}},
    {"chain past the disk",
     [](Bytes& f, const First& c) { fatSet(f, fatGet(f, c("A.BIN")), 0xFEF); },
     nullptr,
     fs::ProblemKind::kPastDisk,
     "A.BIN",
     {"A.BIN"}},
    {"free cluster in a chain",
     [](Bytes& f, const First& c) { fatSet(f, fatGet(f, c("A.BIN")), 0); },
     nullptr,
     fs::ProblemKind::kFreeInChain,
     "A.BIN",
     {"A.BIN"}},
    {"bad cluster in a chain",
     [](Bytes& f, const First& c) { fatSet(f, fatGet(f, c("A.BIN")), 0xFF7); },
     nullptr,
     fs::ProblemKind::kReservedInChain,
     "A.BIN",
     {"A.BIN"}},
    {"shared cluster",
     [](Bytes& f, const First& c) {
         builder::putU16LE(f, entryAt(f, "B       BIN") + 26, fatGet(f, c("A.BIN")));
     },
     nullptr,
     fs::ProblemKind::kShared,
     "B.BIN",
     {"A.BIN", "B.BIN"}},
    {"size larger than the chain",
     [](Bytes& f, const First&) { builder::putU32LE(f, entryAt(f, "A       BIN") + 28, 5000); },
     nullptr,
     fs::ProblemKind::kSizeMismatch,
     "A.BIN",
     {"A.BIN"}},
    {"chain longer than the size: read whole, check names it",
     [](Bytes& f, const First&) { builder::putU32LE(f, entryAt(f, "C       BIN") + 28, 1000); },
     nullptr,
     fs::ProblemKind::kSizeMismatch,
     "C.BIN",
     {}},
    {"FAT copies disagree",
     [](Bytes& f, const First&) { f[kFatAt + kFatBytes + 10] ^= 0xFF; },
     nullptr,
     fs::ProblemKind::kFatMismatch,
     "FAT",
     {}},
    {"0 sectors per cluster: the standard layout",
     [](Bytes& f, const First&) { f[13] = 0; },
     nullptr,
     fs::ProblemKind::kBadParameters,
     "boot sector",
     {}},
    {"subdirectory naming its parent",
     [](Bytes& f, const First& c) { builder::putU16LE(f, entryAt(f, "F          ") + 26, c("D")); },
     nullptr,
     fs::ProblemKind::kLoop,
     "D/F",
     {}},
    {"missing sector",
     nullptr,
     [](builder::Disk& d, uint32_t a2) {
         const size_t l = kDataSector + a2 - 2;
         d.tracks[l / 8].erase(d.tracks[l / 8].begin() + std::ptrdiff_t(l % 8));
     },
     fs::ProblemKind::kMissingSector,
     "A.BIN",
     {"A.BIN"}},
};

TEST(Fat12Damage, CheckNamesItAndOnlyTheDamagedFilesReadShort) {
    if (!haveTools()) GTEST_SKIP() << "mtools and dosfstools (mkfs.fat) are not installed";
    const Geometry& g = kGeometries[0];
    Scratch s;
    const std::pair<const char*, size_t> kFiles[] = {
        {"A.BIN", 3000}, {"B.BIN", 2000}, {"C.BIN", 1500}, {"D/E.BIN", 500}, {"D/F/G.BIN", 10}};
    stdfs::create_directories(s.path("src/D/F"));
    std::mt19937 rng(5);
    for (const auto& [name, size] : kFiles) {
        std::ofstream out(s.path("src/") + name, std::ios::binary);
        for (size_t i = 0; i < size; ++i)
            out.put(char(rng()));
    }
    bool ok = false;
    s.run("mkfs.fat -C -a -F 12 -f 2 -R 1 " + std::string(g.mkfs) +
              " disk.img 1232 && mcopy -s -i disk.img src/* ::/",
          &ok);
    ASSERT_TRUE(ok);
    const Bytes clean = readFile(s.path("disk.img"));
    std::map<std::string, Bytes> bytes;
    std::map<std::string, uint32_t> firsts;
    {
        Opened o(clean, g, nullptr);
        std::string why;
        const auto f = fs::openAs(o.volume, fs::Kind::kFat12, &why);
        ASSERT_TRUE(f) << why;
        for (const fs::Entry& e : f->list()) {
            firsts[hostPath(e.path)] = uint32_t(e.firstUnit);
            bytes[hostPath(e.path)] = f->read(e).bytes;
        }
        ASSERT_EQ(bytes.size(), 7u);
    }
    const First first = [&](const char* path) { return firsts.at(path); };
    for (const Damage& row : kDamage) {
        SCOPED_TRACE(row.name);
        Bytes flat = clean;
        if (row.apply) row.apply(flat, first);
        const uint32_t a2 = fatGet(clean, first("A.BIN"));
        Opened o(flat, g, [&](builder::Disk& d) {
            if (row.edit) row.edit(d, a2);
        });
        const fs::Recognition r = fs::recognise(o.volume);
        ASSERT_EQ(r.outcome, fs::Recognition::kRecognised) << r.bids.front().detection.evidence;
        bool named = false;
        for (const fs::Problem& p : r.chosen->check())
            named |= p.kind == row.kind && (hostPath(p.path) == row.named || p.area == row.named);
        EXPECT_TRUE(named) << "check() does not name " << row.named;
        for (const fs::Entry& e : r.chosen->list()) {
            if (e.directory) continue;
            const std::string path = hostPath(e.path);
            const fs::FileData data = r.chosen->read(e);
            if (row.incomplete.count(path) != 0) {
                EXPECT_FALSE(data.complete) << path;
                EXPECT_EQ(hostPath(data.problem.path), path);
                continue;
            }
            EXPECT_TRUE(data.complete) << path << ": " << data.problem.detail;
            const Bytes& want = bytes[path];
            EXPECT_TRUE(data.bytes == Bytes(want.begin(), want.begin() + e.size)) << path;
        }
        // Removing any one file, or adding one, leaves every other file reading as it did (and
        // whole if it was): the change touches no chain but its own.
        const std::vector<fs::Entry> entries = r.chosen->list();
        for (size_t k = 0; k <= entries.size(); ++k) {
            if (k < entries.size() && entries[k].directory) continue;
            const auto editor = r.chosen->editor();
            const fs::Plan plan =
                k < entries.size()
                    ? editor->remove(entries[k].path)
                    : editor->put({{"NEW.BIN"}, Bytes(3000, 7), "", false, false, 0, 0, false, {}});
            ASSERT_TRUE(plan.ok()) << plan.detail;
            Bytes image = o.image;
            std::string why;
            ASSERT_TRUE(fs::applyPlan(&image, 0, plan, &why)) << why;
            const Opened after(image);
            for (const fs::Entry& e : after.fat->list()) {
                const auto was = std::find_if(entries.begin(), entries.end(),
                                              [&](const fs::Entry& x) { return x.path == e.path; });
                if (e.directory || was == entries.end()) continue;
                const fs::FileData before = r.chosen->read(*was);
                const fs::FileData now = after.fat->read(e);
                EXPECT_TRUE(now.bytes == before.bytes && (now.complete || !before.complete))
                    << hostPath(e.path) << " changed, " << plan.detail;
            }
        }
    }
}

// Disks that are not FAT12, or whose FAT12 cannot be read: never sure.
TEST(Fat12Detection, OtherDisksAreNotSure) {
    const Geometry k2hd = kGeometries[0];
    const Geometry kBasic = {"2D_256", 40, 2, 16, 256, "", 0};
    Bytes zeros(size_t(diskBytes(k2hd)), 0);
    Bytes e5(zeros.size(), 0xE5);
    Bytes flatDir = zeros;
    Bytes basic(size_t(diskBytes(kBasic)), 0);
    // The flat directory: an 18-byte entry at C0 H0 R3 (logical sector 2).
    const char kEntry[] = "\0HELLO        \x08\x00\x10\x00";
    std::copy(kEntry, kEntry + 18, flatDir.begin() + 2048);
    // A BASIC-sized disk whose second sector starts like a FAT.
    basic[256] = 0xFE, basic[257] = 0xFF, basic[258] = 0xFF;
    // A damaged block (0 sectors per cluster) on a geometry without a standard layout.
    const Geometry k2dd8 = {"2DD_1024", 80, 2, 5, 1024, "", 0};
    Bytes damaged(size_t(diskBytes(k2dd8)), 0);
    const uint8_t kBlock[] = {0x00, 0x04, 0x00, 0x01, 0x00, 0x02, 0xC0,
                              0x00, 0x20, 0x03, 0xFE, 0x02, 0x00};
    std::copy(kBlock, kBlock + sizeof kBlock, damaged.begin() + 11);
    const struct {
        const char* name;
        const Bytes* flat;
        Geometry g;
    } kRows[] = {{"blank", &zeros, k2hd},
                 {"never written (E5)", &e5, k2hd},
                 {"flat directory", &flatDir, k2hd},
                 {"BASIC geometry", &basic, kBasic},
                 {"damaged block, no standard layout", &damaged, k2dd8}};
    for (const auto& row : kRows) {
        Opened o(*row.flat, row.g, nullptr);
        for (const auto& bid : fs::recognise(o.volume).bids)
            if (bid.kind == fs::Kind::kFat12) {
                EXPECT_LT(bid.detection.confidence, fs::kSure)
                    << row.name << ": " << bid.detection.evidence;
            }
    }
    Opened o(damaged, k2dd8, nullptr);
    std::string why;
    EXPECT_EQ(fs::openAs(o.volume, fs::Kind::kFat12, &why), nullptr);
    EXPECT_NE(why.find("is damaged (0 sectors per cluster)"), std::string::npos) << why;
}

// --- the write side ---------------------------------------------------------------------------

using Path = std::vector<std::string>;
enum Op { kPut, kRemove, kMakeDirectory, kRemoveDirectory };

// What the disk should hold: files by stored path, each directory's slots (in use, and its
// room: a subdirectory grows by a cluster's slots when full, the root never), free clusters.
struct Model {
    struct Dir {
        int64_t used = 0;
        int64_t room = 0;
    };
    std::map<Path, Bytes> files;
    std::map<Path, Dir> dirs;
    int64_t free = 0;
    int64_t clusterBytes = 0;
    int64_t clusters(size_t bytes) const {
        return (int64_t(bytes) + clusterBytes - 1) / clusterBytes;
    }
    int64_t slotsPerCluster() const { return clusterBytes / 32; }

    // What the reader finds on a disk, each subdirectory's room just what its entries need
    // (as mcopy leaves it); the root holds `rootEntries`, its volume label one of them.
    Model(const fs::FileSystem& f, int64_t rootEntries) {
        clusterBytes = f.freeSpace().unitBytes;
        free = f.freeSpace().units;
        dirs[{}] = {f.describe().find("volume label") == std::string::npos ? 0 : 1, rootEntries};
        for (const fs::Entry& e : f.list()) {
            ++dirs[Path(e.path.begin(), e.path.end() - 1)].used;
            if (e.directory) dirs[e.path].used += 2;
            if (!e.directory) files[e.path] = f.read(e).bytes;
        }
        for (auto& [path, dir] : dirs)
            if (!path.empty())
                dir.room =
                    std::max<int64_t>(1, clusters(size_t(dir.used) * 32)) * slotsPerCluster();
    }

    // The verdict on an operation, made on the model when it succeeds. `stored` is the path
    // as the disk keeps it; empty for a bad name.
    fs::EditError apply(Op op, const Path& stored, const Bytes& data) {
        using E = fs::EditError;
        if (stored.empty()) return E::kBadName;
        const Path parent(stored.begin(), stored.end() - 1);
        if (dirs.count(parent) == 0) return E::kNoSuchDirectory;
        Dir& in = dirs[parent];
        const bool isFile = files.count(stored) > 0;
        const bool isDir = dirs.count(stored) > 0;
        const bool adds = (op == kPut && !isFile) || op == kMakeDirectory;
        if ((op == kPut && isDir) || (op == kMakeDirectory && (isFile || isDir)))
            return E::kNameTaken;
        if (op == kRemove && !isFile) return E::kNoSuchFile;
        if (op == kRemoveDirectory && !isDir) return E::kNoSuchDirectory;
        if (op == kRemoveDirectory && dirs[stored].used > 2) return E::kNotEmpty;
        const bool grow = adds && in.used == in.room;
        if (grow && parent.empty()) return E::kDirectoryFull;
        const int64_t had = isFile ? clusters(files[stored].size()) : 0;
        const int64_t want = op == kPut ? clusters(data.size()) : op == kMakeDirectory ? 1 : 0;
        const int64_t more = (grow ? 1 : 0) + std::max<int64_t>(0, want - had);
        if (more > free) return E::kDiskFull;
        free += std::max<int64_t>(0, had - want) - more;
        in.room += grow ? slotsPerCluster() : 0;
        in.used += adds ? 1 : op == kPut ? 0 : -1;
        if (op == kPut) files[stored] = data;
        if (op == kRemove) files.erase(stored);
        if (op == kMakeDirectory) dirs[stored] = {2, slotsPerCluster()};
        if (op == kRemoveDirectory) {
            free += dirs[stored].room / slotsPerCluster();
            dirs.erase(stored);
        }
        return E::kNone;
    }
    // The tree as host paths, a directory's "bytes" being "/".
    std::map<std::string, Bytes> tree() const {
        std::map<std::string, Bytes> out;
        for (const auto& [path, bytes] : files)
            out[hostPath(path)] = bytes;
        for (const auto& [path, dir] : dirs)
            if (!path.empty()) out[hostPath(path)] = Bytes{'/'};
        return out;
    }
};

// Everything on the disk as the reader lists and reads it, against the model; check() clean.
void expectModel(const Bytes& image, const Model& m) {
    const Opened d(image);
    ASSERT_TRUE(d.fat);
    for (const fs::Problem& p : d.fat->check())
        ADD_FAILURE() << fs::problemName(p.kind) << ": " << p.detail;
    std::map<std::string, Bytes> tree;
    for (const fs::Entry& e : d.fat->list())
        tree[hostPath(e.path)] = e.directory ? Bytes{'/'} : d.fat->read(e).bytes;
    EXPECT_TRUE(tree == m.tree()) << tree.size() << " entries, " << m.tree().size() << " wanted";
    EXPECT_EQ(d.fat->freeSpace().units, m.free);
}

bool haveChecker() {
    // NOLINTNEXTLINE(cert-env33-c): the test drives the peer tools through the shell
    return haveTools() && std::system("command -v fsck.fat >/dev/null 2>&1") == 0;
}

// fsck.fat -n passes without a word, and mcopy -s copies exactly the model's files.
void expectToolsAgree(const Bytes& image, const Geometry& g, const Model& m) {
    Scratch s;
    Bytes flat;  // the sectors in logical order: the images here keep them in that order
    for (size_t at = 0x2B0 + 16; at < image.size(); at += size_t(16 + g.sectorSize))
        flat.insert(flat.end(), image.begin() + ptrdiff_t(at),
                    image.begin() + ptrdiff_t(at) + g.sectorSize);
    std::ofstream(s.path("disk.img"), std::ios::binary)
        .write(reinterpret_cast<const char*>(flat.data()), std::streamsize(flat.size()));
    bool ok = false;
    // fsck.fat reads names a byte at a time and calls a Shift_JIS trail byte 0x5C a
    // backslash: its complaint about such a name and the renaming it proposes are dropped.
    const std::string said = s.run("fsck.fat -n disk.img", &ok);
    std::istringstream out(said);
    std::string complaints;
    const char* kFine[] = {"fsck.fat ", "disk.img: ", "  Renamed to FSCK", "  Auto-renaming",
                           "Leaving filesystem unchanged."};
    for (std::string line; std::getline(out, line);)
        if (line.find('\\') == std::string::npos && !line.empty() &&
            std::none_of(std::begin(kFine), std::end(kFine),
                         [&](const char* f) { return line.find(f) == 0; }))
            complaints += line + "\n";
    EXPECT_TRUE((ok || said.find('\\') != std::string::npos) && complaints.empty()) << said;
    s.run("mkdir out && mcopy -s -n -m -i disk.img ::/ out/", &ok);
    ASSERT_TRUE(ok);
    std::map<std::string, Bytes> copied;
    for (const auto& item : stdfs::recursive_directory_iterator(s.path("out")))
        copied[stdfs::relative(item.path(), s.path("out")).generic_string()] =
            item.is_directory() ? Bytes{'/'} : readFile(item.path().string());
    EXPECT_TRUE(copied == m.tree()) << copied.size() << " copied, " << m.tree().size() << " wanted";
}

// Disk `t`: a blank disk of formatTypes()[t] (every other one with a label), or past them a
// disk made by mkfs.fat and mcopy from a random tree.
Bytes startDisk(size_t t, const Geometry& g, std::mt19937& rng) {
    const std::vector<std::string> types = fs::formatTypes(fs::Kind::kFat12);
    if (t < types.size()) {
        fs::BlankDisk blank;
        std::string why;
        const bool ok =
            fs::formatDisk(fs::Kind::kFat12, types[t], t % 2 != 0 ? "" : "blank", &blank, &why);
        EXPECT_TRUE(ok && blank.media == g.headerMedia) << why;
        return fs::buildImage(blank, "BLANK");
    }
    Scratch s;
    std::vector<std::string> files;
    writeTree(rng, s.path("src"), diskBytes(g) / 3, 1024, &files);
    bool ok = false;
    s.run("mkfs.fat -C -a -F 12 -f 2 -R 1 " + std::string(g.mkfs) +
              " disk.img 1232 && mcopy -s -m -i disk.img src/* ::/",
          &ok);
    EXPECT_TRUE(ok);
    return builder::image({builder::flatDisk(readFile(s.path("disk.img")), g.cylinders, g.heads,
                                             g.spt, g.sectorSize, g.headerMedia)});
}

// One random step: an operation, a path (and the path as stored: empty for a bad name), data
// and a date. On the 2D disk (`fillRoot`), mostly empty files N0..N299 in the root, so that
// it fills.
struct Step {
    Op op = kPut;
    Path path, stored;
    fs::PutRequest put;
};
Step randomStep(std::mt19937& rng, int64_t clusterBytes, int64_t diskSize, bool fillRoot) {
    const auto pick = [&](size_t n) { return size_t(rng() % n); };
    const auto at = [&](int32_t from, size_t n) { return from + int32_t(pick(n)); };
    // Names given, each followed by what the disk keeps ("": refused).
    // clang-format off
    const char* kNames[] = {"A", "A", "B.TXT", "B.TXT", "c.bin", "C.BIN", "LONGNAME.DAT",
                            "LONGNAME.DAT", "\x95\x5C.TXT", "\x95\x5C.TXT", "\xB1\xB2.\xB3",
                            "\xB1\xB2.\xB3", "TOOLONGNM.TXT", "", "A.B.C", "", "A B", "", "*.X", "",
                            "NAME.LONG", "", "\x81", "", ".X", ""};
    // clang-format on
    const char* kDirNames[] = {"SUB", "D2", "X.DIR", "NOPE"};
    Step step;
    step.op = pick(10) < 6 ? kPut : Op(1 + pick(3));
    const bool many = step.op <= kRemove && pick(10) < (fillRoot ? 9 : 3);
    for (size_t depth = many ? 0 : pick(3); depth > 0; --depth)
        step.path.push_back(kDirNames[pick(std::size(kDirNames))]);
    std::string given = kDirNames[pick(3)];
    std::string keeps = given;
    if (many) given = keeps = "N" + std::to_string(pick(300));
    if (!many && step.op <= kRemove && pick(8) != 0) {
        const size_t k = pick(std::size(kNames) / 2) * 2;
        given = kNames[k];
        keeps = kNames[k + 1];
    }
    step.path.push_back(given);
    step.stored = step.path;
    step.stored.back() = keeps;
    if (keeps.empty()) step.stored.clear();
    const int64_t c = clusterBytes;
    const int64_t sizes[] = {0,
                             1,
                             c,
                             c + 1,
                             int64_t(pick(size_t(8 * c))),
                             diskSize / 4 + int64_t(pick(size_t(diskSize / 4)))};
    step.put.path = step.path;
    step.put.data = testdata::randomBytes(size_t(sizes[many ? 0 : pick(6)]), uint32_t(rng()));
    step.put.hasDate = pick(2) != 0;  // any date the fields hold, in two-second steps
    step.put.date = {at(1980, 128), at(1, 12),     at(1, 28), at(0, 24),
                     at(0, 60),     at(0, 30) * 2, true};
    return step;
}

// The editor's plan for the step; a directory made gets the step's date, if it has one.
fs::Plan planStep(const fs::Editor& editor, const Step& step) {
    switch (step.op) {
        case kPut:
            return editor.put(step.put);
        case kRemove:
            return editor.remove(step.path);
        case kMakeDirectory:
            return editor.makeDirectory(step.path, step.put.hasDate ? &step.put.date : nullptr);
        case kRemoveDirectory:
            break;
    }
    return editor.removeDirectory(step.path);
}

// The entry at `path` carries the request's date, or none when it has none.
void expectDated(const Bytes& image, const std::vector<std::string>& path,
                 const fs::PutRequest& request) {
    const Opened opened(image);
    const auto& list = opened.fat->list();
    const auto e =
        std::find_if(list.begin(), list.end(), [&](const fs::Entry& x) { return x.path == path; });
    ASSERT_NE(e, list.end());
    EXPECT_EQ(e->hasDate, request.hasDate);
    if (!e->hasDate) return;
    const fs::DateTime& d = request.date;
    EXPECT_EQ(std::vector<int>({e->date.year, e->date.month, e->date.day, e->date.hour,
                                e->date.minute, e->date.second}),
              std::vector<int>({d.year, d.month, d.day, d.hour, d.minute, d.second}));
}

// Random put, rm, mkdir and rmdir on a blank disk of every type and on an mkfs.fat + mcopy
// disk, against the model; only the plan's sectors change; refusals change nothing; then
// every file put back as read leaves the image as it was, and the tools agree.
TEST(Fat12Editor, RandomEditsAgainstAModel) {
    const size_t types = fs::formatTypes(fs::Kind::kFat12).size();
    ASSERT_EQ(types, std::size(kGeometries));
    const bool tools = haveChecker();
    std::set<fs::EditError> seen;  // the verdicts met: every kind of refusal must come up
    for (size_t t = 0; t < types + (tools ? 1 : 0); ++t) {
        const Geometry& g = kGeometries[t < types ? t : 0];
        SCOPED_TRACE(t < types ? g.name : "made by mkfs.fat and mcopy");
        std::mt19937 rng(uint32_t(t) + 11);
        Bytes image = startDisk(t, g, rng);
        Model m(*Opened(image).fat, g.sectorSize == 1024 ? 192 : g.spt == 18 ? 224 : 112);
        if (tools) expectToolsAgree(image, g, m);
        for (int i = 0; i < (t == 4 ? 400 : 250) && !HasFatalFailure(); ++i) {
            const Step step = randomStep(rng, m.clusterBytes, diskBytes(g), t == 4);
            SCOPED_TRACE("step " + std::to_string(i) + ": op " + std::to_string(step.op) + " " +
                         hostPath(step.path) + ", " + std::to_string(step.put.data.size()));
            const Opened before(image);
            const std::unique_ptr<fs::Editor> editor = before.fat->editor();
            const fs::Plan plan = planStep(*editor, step);
            const fs::EditError want = m.apply(step.op, step.stored, step.put.data);
            seen.insert(want);
            ASSERT_EQ(int(plan.error), int(want)) << plan.detail;
            EXPECT_TRUE(plan.ok() ? plan.path == step.stored : plan.writes.empty());
            if (!plan.ok()) continue;
            Bytes after = image;
            std::string why;
            ASSERT_TRUE(fs::applyPlan(&after, 0, plan, &why)) << why;
            Bytes masked = after;  // the plan's sectors given back their old bytes
            for (const fs::SectorWrite& w : plan.writes) {
                const fs::SectorRef s = before.volume.find(w.c, w.h, w.r);
                std::copy_n(image.begin() + s.position, w.data.size(), masked.begin() + s.position);
            }
            ASSERT_TRUE(masked == image) << "bytes outside the plan's sectors changed";
            image = after;
            expectModel(image, m);
            if (step.op == kMakeDirectory) expectDated(image, plan.path, step.put);
        }
        // Every file put back as get gives it, with its date: not a byte moves.
        const Opened d(image);
        const std::unique_ptr<fs::Editor> editor = d.fat->editor();
        for (const fs::Entry& e : d.fat->list()) {
            if (e.directory) continue;
            const fs::Plan plan = editor->put(
                {e.path, d.fat->read(e).bytes, "", false, false, 0, 0, e.hasDate, e.date});
            EXPECT_TRUE(plan.ok() && plan.writes.empty())
                << hostPath(e.path) << ": " << plan.detail;
        }
        if (tools) expectToolsAgree(image, g, m);
    }
    EXPECT_EQ(seen.size(), 8u) << "not every refusal came up";
}

}  // namespace
