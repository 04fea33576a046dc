// The real d88extract, run in a scratch directory: listing, messages, exit status and the files
// it leaves behind.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace fs = std::filesystem;

namespace {

using d88::Bytes;
using d88::StandardDisk;
using testcase::operator<<;

// Shift_JIS bytes written as hex pairs, "83 74 ...".
std::string hexBytes(const char* hex) {
    std::string out;
    for (const char* p = hex; *p != '\0';) {
        if (*p == ' ') {
            ++p;
            continue;
        }
        out += char(std::stoi(std::string(p, 2), nullptr, 16));
        p += 2;
    }
    return out;
}

const std::string kCannotOpen = hexBytes(
    "83 74 83 40 83 43 83 8B 82 F0 83 49 81 5B 83 76 83 93 82 C5 82 AB 82 DC 82 B9 82 F1 2E 0A");
const std::string kBadName =
    hexBytes("83 74 83 40 83 43 83 8B 96 BC 82 AA 95 73 90 B3 82 C5 82 B7 2E 0A");
const std::string kCannotRead =
    hexBytes("83 66 81 5B 83 5E 82 F0 93 C7 82 DD 8D 9E 82 DF 82 DC 82 B9 82 F1 2E 0A");
const std::string kCannotCreate =
    hexBytes("83 74 83 40 83 43 83 8B 82 F0 8D EC 90 AC 82 C5 82 AB 82 DC 82 B9 82 F1 2E 0A");
const std::string kCannotWrite =
    hexBytes("83 74 83 40 83 43 83 8B 82 C9 8F 91 82 AB 8D 9E 82 DF 82 DC 82 B9 82 F1 2E 0A");

// Distinct contents for each file: `size` bytes starting from `seed`.
Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = uint8_t(seed + i * 13 + (i >> 8));
    return b;
}
std::string patternString(size_t size, uint8_t seed) {
    return d88::toString(pattern(size, seed));
}

using Files = std::map<std::string, std::string>;

// Regular files and links under `root`, by path relative to `work`, with their contents.
Files filesLeft(const fs::path& root, const fs::path& work) {
    Files files;
    for (const auto& e : fs::recursive_directory_iterator(root)) {
        if (e.is_directory() && !e.is_symlink()) continue;
        const std::string name = fs::relative(e.path(), work).string();
        files[name] =
            e.is_symlink() ? "-> " + fs::read_symlink(e.path()).string() : cli::readFile(e.path());
    }
    return files;
}

struct CliCase {
    const char* what;
    std::function<Bytes()> image;
    std::function<void(const fs::path& work)> setup;  // null: the working directory is empty
    int status;
    std::string out;
    std::string err;
    Files files;  // every file left, relative to the working directory
};

// Runs d88extract on `image` in root/a/b, so a name that climbs two levels stays inside root.
struct Extraction {
    cli::TempDir root;
    cli::TempDir imageDir;
    fs::path work = root / "a" / "b";
    cli::Result result;
    Files files;

    Extraction(const Bytes& image, const std::function<void(const fs::path&)>& setup) {
        fs::create_directories(work);
        if (setup) setup(work);
        const std::string path = (imageDir / "image.d88").string();
        cli::writeFile(path, d88::toString(image));
        result = cli::run(D88EXTRACT_PATH, {"d88extract", path}, work);
        files = filesLeft(root.path(), work);
    }
};

Bytes filesAcrossTracks() {
    StandardDisk disk;
    disk.addFile("START7.DAT", 7, pattern(3000, 1));     // track 0 R8, track 1 R1, R2
    disk.addFile("HEAD1", 15, pattern(2048, 2));         // track 1 (C0 H1) R8, track 2 (C1 H0) R1
    disk.addFile("THIRTEEN.CHRS", 0x18, pattern(1, 3));  // 13 characters
    disk.addFile("\x83\x74\x83\x40", 40, pattern(1024, 4));  // Shift_JIS bytes
    return disk.bytes(true);
}

Bytes skippedEntries() {
    StandardDisk disk;
    disk.setEntry(0, "EMPTY", 8, 0);
    disk.setEntry(1, "", 8, 10);  // a space at offset 1
    disk.setEntry(2, "AFTER", 8, 10);
    disk.setEntry(3, "..", 8, 0);  // empty: skipped before its name is looked at
    disk.write(8 * 1024, pattern(1024, 5));
    return disk.bytes(true);
}

Bytes unsafeNames() {
    StandardDisk disk;
    for (const char* name : {"../../.bashrc", "..", ".", "a/b", "OK"})
        disk.addFile(name, 8, pattern(10, 6));
    return disk.bytes(true);
}

Bytes unreadable() {
    StandardDisk disk;
    disk.addFile("A", 8, pattern(10, 7));
    disk.setEntry(1, "BEYOND", 1312, 100);  // track 164
    disk.setEntry(2, "ABSENT", 800, 100);   // a track the sparse image leaves out
    disk.setEntry(3, "LAST", 1311, 100);    // track 163, beyond the 154 tracks of the disk
    disk.addFile("B", 9, pattern(10, 8));
    return disk.bytes(true);
}

// LONG fills the transfer buffer; SHORT then reads only its first sector.
Bytes shortRead() {
    StandardDisk disk;
    disk.addFile("LONG", 8, pattern(3072, 9));
    disk.setEntry(1, "SHORT", 16, 3000);
    disk.write(16 * 1024, pattern(1024, 10));
    return disk.bytes(true);
}

Bytes shortSectorData() {
    StandardDisk disk;
    disk.addFile("CUT", 8, pattern(2500, 11));
    d88::Disk d = disk.disk(true);
    d.tracks[1][1].data.resize(500);  // second sector: 500 of the 1024 bytes
    return d.bytes();
}

Bytes oneFile(const std::string& name, size_t size) {
    StandardDisk disk;
    disk.addFile(name, 8, pattern(size, 12));
    disk.addFile("NEXT", 12, pattern(5, 13));
    return disk.bytes(true);
}

void makeLink(const fs::path& work, const char* name) {
    fs::create_symlink("/dev/full", work / name);
}

const CliCase kCliCases[] = {
    {"files across heads and cylinders",
     filesAcrossTracks,
     nullptr,
     0,
     "START7.DAT    START=0007 SIZE=0bb8\n"
     "HEAD1         START=000f SIZE=0800\n"
     "THIRTEEN.CHRS START=0018 SIZE=0001\n"
     "\x83\x74\x83\x40          START=0028 SIZE=0400\n",
     "",
     {{"START7.DAT", patternString(3000, 1)},
      {"HEAD1", patternString(2048, 2)},
      {"THIRTEEN.CHRS", patternString(1, 3)},
      {"\x83\x74\x83\x40", patternString(1024, 4)}}},
    {"size 0 and empty names are skipped",
     skippedEntries,
     nullptr,
     0,
     "EMPTY         START=0008 SIZE=0000\n"
     "              START=0008 SIZE=000a\n"
     "AFTER         START=0008 SIZE=000a\n"
     "..            START=0008 SIZE=0000\n",
     "",
     {{"AFTER", patternString(10, 5)}}},
    {"unsafe names write nothing",
     unsafeNames,
     nullptr,
     1,
     "../../.bashrc START=0008 SIZE=000a\n"
     "..            START=0008 SIZE=000a\n"
     ".             START=0008 SIZE=000a\n"
     "a/b           START=0008 SIZE=000a\n"
     "OK            START=0008 SIZE=000a\n",
     "../../.bashrc: " + kBadName + "..: " + kBadName + ".: " + kBadName + "a/b: " + kBadName,
     {{"OK", patternString(10, 6)}}},
    {"unreadable files",
     unreadable,
     nullptr,
     1,
     "A             START=0008 SIZE=000a\n"
     "BEYOND        START=0520 SIZE=0064\n"
     "ABSENT        START=0320 SIZE=0064\n"
     "LAST          START=051f SIZE=0064\n"
     "B             START=0009 SIZE=000a\n",
     "BEYOND: " + kCannotRead + "ABSENT: " + kCannotRead + "LAST: " + kCannotRead,
     {{"A", patternString(10, 7)}, {"B", patternString(10, 8)}}},
    {"a missing sector keeps what was read, no stale bytes",
     shortRead,
     nullptr,
     1,
     "LONG          START=0008 SIZE=0c00\n"
     "SHORT         START=0010 SIZE=0bb8\n",
     "SHORT: " + kCannotRead,
     {{"LONG", patternString(3072, 9)}, {"SHORT", patternString(1024, 10)}}},
    {"a short sector keeps the sectors before it",
     shortSectorData,
     nullptr,
     1,
     "CUT           START=0008 SIZE=09c4\n",
     "CUT: " + kCannotRead,
     {{"CUT", patternString(1024, 11)}}},
    {"a directory in the way",
     [] { return oneFile("DIR", 100); },
     [](const fs::path& work) { fs::create_directory(work / "DIR"); },
     1,
     "DIR           START=0008 SIZE=0064\n"
     "NEXT          START=000c SIZE=0005\n",
     "DIR: " + kCannotCreate,
     {{"NEXT", patternString(5, 13)}}},
    {"a full disk",
     [] { return oneFile("FULL", 5000); },
     [](const fs::path& work) { makeLink(work, "FULL"); },
     1,
     "FULL          START=0008 SIZE=1388\n"
     "NEXT          START=000c SIZE=0005\n",
     "FULL: " + kCannotWrite,
     {{"NEXT", patternString(5, 13)}}},
    {"a short read into a full disk gets the write message only",
     shortRead,
     [](const fs::path& work) { makeLink(work, "SHORT"); },
     1,
     "LONG          START=0008 SIZE=0c00\n"
     "SHORT         START=0010 SIZE=0bb8\n",
     "SHORT: " + kCannotWrite,
     {{"LONG", patternString(3072, 9)}}},
    {"an existing file is replaced",
     [] { return oneFile("OLD", 10); },
     [](const fs::path& work) { cli::writeFile(work / "OLD", std::string(5000, 'x')); },
     0,
     "OLD           START=0008 SIZE=000a\n"
     "NEXT          START=000c SIZE=0005\n",
     "",
     {{"OLD", patternString(10, 12)}, {"NEXT", patternString(5, 13)}}},
    {"empty directory", [] { return StandardDisk().bytes(); }, nullptr, 0, "", "", {}},
    {"directory without its later sectors",
     [] {
         StandardDisk disk;
         disk.addFile("ONE", 8, pattern(1, 14));
         disk.setEntry(56, "NEVER", 8, 1);  // its name is in sector R4, which is missing
         d88::Disk d = disk.disk(true);
         d.tracks[0].resize(1);
         return d.bytes();
     },
     nullptr,
     0,
     "ONE           START=0008 SIZE=0001\n",
     "",
     {{"ONE", patternString(1, 14)}}},
};

class CliTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliTest, ListsExtractsAndReports) {
    const CliCase& k = GetParam();
    Extraction run(k.image(), k.setup);
    EXPECT_EQ(run.result.status, k.status);
    EXPECT_EQ(run.result.out, k.out);
    EXPECT_EQ(run.result.err, k.err);
    EXPECT_EQ(run.files, k.files);
}

INSTANTIATE_TEST_SUITE_P(D88extract, CliTest, testing::ValuesIn(kCliCases), CaseName());

// --- images cut short at every kind of boundary ---------------------------------------------

// Disk header (688), then track 0 with the directory sector R3 at 688, then track 1 with the
// file's sectors R1 at 1728 and R2 at 2768; the file FILE is 2000 bytes from logical sector 8.
Bytes truncatable() {
    StandardDisk disk;
    disk.addFile("FILE", 8, pattern(2000, 15));
    return disk.bytes(true);
}

struct CutCase {
    const char* what;
    size_t length;  // bytes of the image kept
    int status;
    std::string out, err;
    Files files;
};

const std::string kFileLine = "FILE          START=0008 SIZE=07d0\n";

const CutCase kCutCases[] = {
    {"empty image", 0, 0, "", "", {}},
    {"inside the disk header", 687, 0, "", "", {}},
    {"after the disk header", 688, 0, "", "", {}},
    {"inside the directory sector header", 700, 0, "", "", {}},
    {"inside the directory's first entry",
     704 + 10,
     0,
     "FILE          START=0000 SIZE=0000\n",
     "",
     {}},
    {"after the directory", 1728, 1, kFileLine, "FILE: " + kCannotRead, {}},
    {"inside the file's first sector header", 1740, 1, kFileLine, "FILE: " + kCannotRead, {}},
    {"inside the file's first sector", 2000, 1, kFileLine, "FILE: " + kCannotRead, {}},
    {"inside the file's second sector header",
     2780,
     1,
     kFileLine,
     "FILE: " + kCannotRead,
     {{"FILE", patternString(1024, 15)}}},
    {"inside the file's second sector",
     2784 + 975,
     1,
     kFileLine,
     "FILE: " + kCannotRead,
     {{"FILE", patternString(1024, 15)}}},
    {"just enough of the file", 2784 + 976, 0, kFileLine, "", {{"FILE", patternString(2000, 15)}}},
};

class CutTest : public testing::TestWithParam<CutCase> {};

TEST_P(CutTest, ReadsWhatIsThere) {
    const CutCase& k = GetParam();
    Bytes image = truncatable();
    ASSERT_EQ(image.size(), 3808u);
    image.resize(k.length);
    Extraction run(image, nullptr);
    EXPECT_EQ(run.result.status, k.status);
    EXPECT_EQ(run.result.out, k.out);
    EXPECT_EQ(run.result.err, k.err);
    EXPECT_EQ(run.files, k.files);
}

INSTANTIATE_TEST_SUITE_P(D88extract, CutTest, testing::ValuesIn(kCutCases), CaseName());

// --- a full directory ------------------------------------------------------------------------

TEST(D88extract, FullDirectoryOf341Entries) {
    StandardDisk disk;
    std::string out;
    Files files;
    for (int i = 0; i < 341; ++i) {
        char name[14];
        std::snprintf(name, sizeof name, "F%03d.DAT", i);
        const uint32_t start = 8 + 3 * uint32_t(i);
        const size_t size = 1 + size_t(i) * 9;
        disk.addFile(name, start, pattern(size, uint8_t(i)));
        char line[64];
        std::snprintf(line, sizeof line, "%-13s START=%04x SIZE=%04x\n", name, start,
                      unsigned(size));
        out += line;
        files[name] = patternString(size, uint8_t(i));
    }
    // The 6 bytes after the last entry are not an entry.
    disk.write(StandardDisk::kDirectoryStart + 341 * 18, {'X', 'X', 'X', 'X', 'X', 'X'});
    Extraction run(disk.bytes(), nullptr);
    EXPECT_EQ(run.result.status, 0);
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.out, out);
    EXPECT_EQ(run.files, files);
}

// --- command line ------------------------------------------------------------------------

struct UsageCase {
    const char* what;
    std::vector<std::string> argv;
    std::string err;
};

const UsageCase kUsageCases[] = {
    {"no argument", {"d88extract"}, "Usage: d88extract [d88file]\n"},
    {"two arguments", {"./tools/x88", "a.d88", "b.d88"}, "Usage: ./tools/x88 [d88file]\n"},
    {"no invocation name", {}, "Usage: d88extract [d88file]\n"},
    {"image that does not exist", {"d88extract", "missing.d88"}, kCannotOpen},
    {"directory as image", {"d88extract", "."}, ""},
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, FailsWithOneLine) {
    cli::TempDir work;
    const cli::Result result = cli::run(D88EXTRACT_PATH, GetParam().argv, work.path());
    const bool listsNothing = GetParam().err.empty();  // a directory opens but reads as empty
    EXPECT_EQ(result.status, listsNothing ? 0 : 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, GetParam().err);
    EXPECT_TRUE(fs::is_empty(work.path()));
}

INSTANTIATE_TEST_SUITE_P(D88extract, UsageTest, testing::ValuesIn(kUsageCases), CaseName());

}  // namespace
