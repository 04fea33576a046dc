// The real d88extract, run in a scratch directory: listing, messages, exit status and the files
// it leaves behind.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "d88_builder.h"

namespace {

using builder::Bytes;
using builder::StandardDisk;
using cli::Files;
using testcase::operator<<;

using cli::kBadName;
// "The data cannot be read."
const std::string kCannotRead =
    "\x83\x66\x81\x5B\x83\x5E\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1"
    "\x2E\x0A";
// "The file cannot be created."
const std::string kCannotCreate =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8D\xEC\x90\xAC\x82\xC5\x82\xAB\x82\xDC\x82\xB9"
    "\x82\xF1\x2E\x0A";
// "The file cannot be written."
const std::string kCannotWrite =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9"
    "\x82\xF1\x2E\x0A";

// Distinct contents for each file: `size` bytes starting from `seed`.
Bytes pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i)
        b[i] = uint8_t(seed + i * 13 + (i >> 8));
    return b;
}
std::string patternString(size_t size, uint8_t seed) {
    return builder::toString(pattern(size, seed));
}

// The image is ../../image.d88 from the working directory, so that a name climbing two levels
// stays inside the scratch directory and shows up among the files left.
const char kImage[] = "../../image.d88";

void expectExtraction(const Bytes& image, Files before, int status, const std::string& out,
                      const std::string& err, const Files& after) {
    before[kImage] = builder::toString(image);
    cli::expectRun(D88EXTRACT_PATH, {"d88extract", kImage}, before, status, out, err, after, "a/b");
}

// A sparse standard disk with these directory entries, in order. An entry with a seed has
// pattern(written, seed) at its start sector (written 0: its size); `change` is made last.
struct Entry {
    const char* name;
    uint32_t start, size;
    int seed = -1;
    size_t written = 0;
};
Bytes image(const std::vector<Entry>& entries, void (*change)(builder::Disk&) = nullptr) {
    StandardDisk disk;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        disk.setEntry(int(i), e.name, e.start, e.size);
        if (e.seed >= 0)
            disk.write(size_t(e.start) * 1024,
                       pattern(e.written != 0 ? e.written : e.size, uint8_t(e.seed)));
    }
    builder::Disk d = disk.disk(true);
    if (change != nullptr) change(d);
    return d.bytes();
}

// LONG fills the transfer buffer; SHORT then reads only its first sector.
const std::vector<Entry> kShortRead = {{"LONG", 8, 3072, 9}, {"SHORT", 16, 3000, 10, 1024}};
Bytes oneFile(const char* name, uint32_t size) {
    return image({{name, 8, size, 12}, {"NEXT", 12, 5, 13}});
}

// The directory's later sectors are missing: entry 56 would be in R4.
Bytes directoryCut() {
    StandardDisk disk;
    disk.addFile("ONE", 8, pattern(1, 14));
    disk.setEntry(56, "NEVER", 8, 1);
    builder::Disk d = disk.disk(true);
    d.tracks[0].resize(1);
    return d.bytes();
}

// Disk header (688), track 0 with the directory sector R3 at 688, then track 1 with the file's
// sectors R1 at 1728 and R2 at 2768: the 2000-byte FILE from logical sector 8, 3808 bytes in
// all. Cut to `length` bytes.
Bytes truncated(size_t length) {
    StandardDisk disk;
    disk.addFile("FILE", 8, pattern(2000, 15));
    Bytes b = disk.bytes(true);
    b.resize(length);
    return b;
}

struct CliCase {
    const char* what;
    Bytes image;
    Files before;  // besides the image
    int status;
    std::string out, err;
    Files after;
    cli::Platform only;
};
CliCase row(const char* what, Bytes image, Files before, int status, std::string out,
            std::string err, Files after, cli::Platform only = cli::Platform::kAll) {
    return {what, image, before, status, out, err, after, only};
}

const std::string kNext = "NEXT          START=000c SIZE=0005\n";
const std::string kFile = "FILE          START=0008 SIZE=07d0\n";
const std::string kFileUnread = "FILE: " + kCannotRead;
const std::string kShortDirectory = std::string(kImage) + ": " + kCannotRead;

// Entries 0 to 56, all empty files, with the directory's later sectors missing: entry 56 runs
// past the first sector, so the scan stops there with the 56 entries before it listed.
CliCase entryPastTheSectorsRead() {
    StandardDisk disk;
    std::string listing;
    for (int i = 0; i <= 56; ++i) {
        const std::string name = "E" + std::to_string(i);
        disk.setEntry(i, name, 8, 0);
        if (i < 56)
            listing += name + std::string(13 - name.size(), ' ') + " START=0008 SIZE=0000\n";
    }
    builder::Disk d = disk.disk(true);
    d.tracks[0].resize(1);
    return row("an entry past the directory sectors read", d.bytes(), {}, 1, listing,
               kShortDirectory, {});
}

// Entries of 10 bytes, each listed with its name as shown (the name itself when not given);
// the safe ones are written, the others refused. Names written from Shift_JIS are compared as
// cli::imageFileName makes them.
struct Name {
    std::string name;
    bool safe;
    std::string shown = name;
};
CliCase namesRow(const char* what, const std::vector<Name>& names,
                 cli::Platform only = cli::Platform::kAll) {
    std::vector<Entry> entries;
    std::string out;
    std::string err;
    Files after;
    for (const Name& n : names) {
        entries.push_back({n.name.c_str(), 8, 10, 6});
        out += n.shown + std::string(13 - n.shown.size(), ' ') + " START=0008 SIZE=000a\n";
        if (n.safe)
            after[cli::imageFileName(n.name)] = patternString(10, 6);
        else
            err += n.shown + ": " + kBadName;
    }
    return row(what, image(entries), {}, err.empty() ? 0 : 1, out, err, after, only);
}

const CliCase kCases[] = {
    // START7.DAT: track 0 R8, track 1 R1, R2; HEAD1: track 1 (C0 H1) R8, track 2 (C1 H0) R1.
    row("files across heads and cylinders",
        image({{"START7.DAT", 7, 3000, 1},
               {"HEAD1", 15, 2048, 2},
               {"THIRTEEN.CHRS", 0x18, 1, 3},
               {"\x83\x74\x83\x40", 40, 1024, 4}}),
        {}, 0,
        "START7.DAT    START=0007 SIZE=0bb8\n"
        "HEAD1         START=000f SIZE=0800\n"
        "THIRTEEN.CHRS START=0018 SIZE=0001\n"
        "\x83\x74\x83\x40          START=0028 SIZE=0400\n",
        "",
        {{"START7.DAT", patternString(3000, 1)},
         {"HEAD1", patternString(2048, 2)},
         {"THIRTEEN.CHRS", patternString(1, 3)},
         {cli::imageFileName("\x83\x74\x83\x40"), patternString(1024, 4)}}),
    // A kanji with a trail byte 0x5C (not a backslash), one with 0x9B, half-width katakana.
    namesRow("kanji and half-width katakana names",
             {{"\x95\x5C\x8E\xA6.TXT", true}, {"\x89\x9B\xB6\xC5", true}}),
    // Control bytes show as '?' and make the name unsafe.
    namesRow("names with control bytes", {{"A\x1B[2J", false, "A?[2J"},
                                          {"LINE\nFAKE", false, "LINE?FAKE"},
                                          {"\x08\x7F\x01\x1F", false, "????"},
                                          {"OK", true}}),
    // Names Windows would not keep: separators, devices (their data would vanish), a final
    // full stop, bytes that are not Shift_JIS. COM10 and NULL are ordinary names.
    namesRow("names unsafe on Windows",
             {{"A\\B", false},
              {"C:D", false},
              {"NUL", false},
              {"con.bas", false},
              {"Lpt9.TXT", false},
              {"CONOUT$", false},
              {"NAME.", false},
              {"AB\x81", false},
              {"COM10", true},
              {"NULL", true}},
             cli::Platform::kWindows),
    // The second name starts with a space; ".." is empty, skipped before its name is looked at.
    row("size 0 and empty names are skipped",
        image({{"EMPTY", 8, 0}, {"", 8, 10, 5}, {"AFTER", 8, 10, 5}, {"..", 8, 0}}), {}, 0,
        "EMPTY         START=0008 SIZE=0000\n"
        "              START=0008 SIZE=000a\n"
        "AFTER         START=0008 SIZE=000a\n"
        "..            START=0008 SIZE=0000\n",
        "", {{"AFTER", patternString(10, 5)}}),
    row("unsafe names write nothing",
        image({{"../../.bashrc", 8, 10, 6},
               {"..", 8, 10, 6},
               {".", 8, 10, 6},
               {"a/b", 8, 10, 6},
               {"OK", 8, 10, 6}}),
        {}, 1,
        "../../.bashrc START=0008 SIZE=000a\n"
        "..            START=0008 SIZE=000a\n"
        ".             START=0008 SIZE=000a\n"
        "a/b           START=0008 SIZE=000a\n"
        "OK            START=0008 SIZE=000a\n",
        "../../.bashrc: " + kBadName + "..: " + kBadName + ".: " + kBadName + "a/b: " + kBadName,
        {{"OK", patternString(10, 6)}}),
    // Track 164; a track the sparse image leaves out; track 163, beyond the disk's 154 tracks.
    row("unreadable files",
        image({{"A", 8, 10, 7},
               {"BEYOND", 1312, 100},
               {"ABSENT", 800, 100},
               {"LAST", 1311, 100},
               {"B", 9, 10, 8}}),
        {}, 1,
        "A             START=0008 SIZE=000a\n"
        "BEYOND        START=0520 SIZE=0064\n"
        "ABSENT        START=0320 SIZE=0064\n"
        "LAST          START=051f SIZE=0064\n"
        "B             START=0009 SIZE=000a\n",
        "BEYOND: " + kCannotRead + "ABSENT: " + kCannotRead + "LAST: " + kCannotRead,
        {{"A", patternString(10, 7)}, {"B", patternString(10, 8)}}),
    row("a missing sector keeps what was read, no stale bytes", image(kShortRead), {}, 1,
        "LONG          START=0008 SIZE=0c00\nSHORT         START=0010 SIZE=0bb8\n",
        "SHORT: " + kCannotRead,
        {{"LONG", patternString(3072, 9)}, {"SHORT", patternString(1024, 10)}}),
    row("a short sector keeps the sectors before it",
        image({{"CUT", 8, 2500, 11}}, [](builder::Disk& d) { d.tracks[1][1].data.resize(500); }),
        {}, 1, "CUT           START=0008 SIZE=09c4\n", "CUT: " + kCannotRead,
        {{"CUT", patternString(1024, 11)}}),
    row("a directory in the way", oneFile("DIR", 100), {{"DIR/", ""}}, 1,
        "DIR           START=0008 SIZE=0064\n" + kNext, "DIR: " + kCannotCreate,
        {{"NEXT", patternString(5, 13)}}),
    // Wine cannot remove a link to a device.
    row("a full disk", oneFile("FULL", 5000), {{"FULL", "->/dev/full"}}, 1,
        "FULL          START=0008 SIZE=1388\n" + kNext, "FULL: " + kCannotWrite,
        {{"FULL", cli::kGone}, {"NEXT", patternString(5, 13)}}, cli::Platform::kLinux),
    row("a short read into a full disk gets the write message only", image(kShortRead),
        {{"SHORT", "->/dev/full"}}, 1,
        "LONG          START=0008 SIZE=0c00\nSHORT         START=0010 SIZE=0bb8\n",
        "SHORT: " + kCannotWrite, {{"LONG", patternString(3072, 9)}, {"SHORT", cli::kGone}},
        cli::Platform::kLinux),
    row("an existing file is replaced", oneFile("OLD", 10), {{"OLD", std::string(5000, 'x')}}, 0,
        "OLD           START=0008 SIZE=000a\n" + kNext, "",
        {{"OLD", patternString(10, 12)}, {"NEXT", patternString(5, 13)}}),
    row("empty directory", StandardDisk().bytes(), {}, 0, "", "", {}),
    row("directory ending in its first sector, the later ones missing", directoryCut(), {}, 0,
        "ONE           START=0008 SIZE=0001\n", "", {{"ONE", patternString(1, 14)}}),
    entryPastTheSectorsRead(),
    // Images cut short at every kind of boundary. Bytes of a directory sector cut short are
    // not entries.
    row("empty image", truncated(0), {}, 1, "", kShortDirectory, {}),
    row("cut inside the disk header", truncated(687), {}, 1, "", kShortDirectory, {}),
    row("cut after the disk header", truncated(688), {}, 1, "", kShortDirectory, {}),
    row("cut inside the directory sector header", truncated(700), {}, 1, "", kShortDirectory, {}),
    row("cut inside the directory's first entry", truncated(704 + 10), {}, 1, "", kShortDirectory,
        {}),
    row("cut after the directory", truncated(1728), {}, 1, kFile, kFileUnread, {}),
    row("cut inside the file's first sector header", truncated(1740), {}, 1, kFile, kFileUnread,
        {}),
    row("cut inside the file's first sector", truncated(2000), {}, 1, kFile, kFileUnread, {}),
    row("cut inside the file's second sector header", truncated(2780), {}, 1, kFile, kFileUnread,
        {{"FILE", patternString(1024, 15)}}),
    row("cut inside the file's second sector", truncated(2784 + 975), {}, 1, kFile, kFileUnread,
        {{"FILE", patternString(1024, 15)}}),
    row("just enough of the file", truncated(2784 + 976), {}, 0, kFile, "",
        {{"FILE", patternString(2000, 15)}}),
};

class CliTest : public testing::TestWithParam<CliCase> {};

TEST_P(CliTest, ListsExtractsAndReports) {
    const CliCase& k = GetParam();
    if (!cli::runsHere(k.only)) GTEST_SKIP() << "not for this platform";
    expectExtraction(k.image, k.before, k.status, k.out, k.err, k.after);
}

INSTANTIATE_TEST_SUITE_P(D88extract, CliTest, testing::ValuesIn(kCases), CaseName());

TEST(D88extract, FullDirectoryOf341Entries) {
    StandardDisk disk;
    std::string out;
    Files files;
    for (int i = 0; i < 341; ++i) {
        char name[14];
        char line[64];
        std::snprintf(name, sizeof name, "F%03d.DAT", i);
        const uint32_t start = 8 + 3 * uint32_t(i);
        const size_t size = 1 + size_t(i) * 9;
        disk.addFile(name, start, pattern(size, uint8_t(i)));
        std::snprintf(line, sizeof line, "%-13s START=%04x SIZE=%04x\n", name, start,
                      unsigned(size));
        out += line;
        files[name] = patternString(size, uint8_t(i));
    }
    // The 6 bytes after the last entry are not an entry.
    disk.write(StandardDisk::kDirectoryStart + size_t(341) * 18, {'X', 'X', 'X', 'X', 'X', 'X'});
    expectExtraction(disk.bytes(), {}, 0, out, "", files);
}

// A signal at any moment of an extraction leaves whole files only: the file being written is
// removed. Stopped after a spread of delays, some runs land while a file is being written.
TEST(D88extract, SignalLeavesWholeFilesOnly) {
    if (cli::windows()) GTEST_SKIP() << "POSIX signals; a console's Ctrl-C cannot be sent here";
    StandardDisk disk;
    Files files;
    for (int i = 0; i < 150; ++i) {
        char name[14];
        std::snprintf(name, sizeof name, "F%03d.DAT", i);
        const size_t size = 1 + size_t(i) * 20;  // at most 3 sectors
        disk.addFile(name, 8 + 3 * uint32_t(i), pattern(size, uint8_t(i)));
        files[name] = patternString(size, uint8_t(i));
    }
    cli::TempDir dir;
    cli::writeFile(dir / "i.d88", builder::toString(disk.bytes()));
    for (int attempt = 0; attempt < 40; ++attempt) {
        std::filesystem::remove_all(dir / "out");
        std::filesystem::create_directory(dir / "out");
        const pid_t pid = cli::start(D88EXTRACT_PATH, {"d88extract", "../i.d88"}, dir / "out");
        ASSERT_GT(pid, 0);
        usleep(useconds_t(attempt * 250));  // an extraction of these takes about 10 ms
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        for (const auto& e : std::filesystem::directory_iterator(dir / "out")) {
            const std::string name = e.path().filename().string();
            EXPECT_EQ(cli::readFile(e.path()), files[name])
                << name << " is cut short (attempt " << attempt << ")";
        }
    }
}

struct UsageCase {
    const char* what;
    std::vector<std::string> argv;
    int status;
    std::string err;
    cli::Platform only = cli::Platform::kAll;
};

// The usage line names the program as it was invoked.
std::string usage(const std::string& argv0) {
    return "Usage: " + cli::invokedAs(D88EXTRACT_PATH, argv0) + " [d88file]\n";
}

const UsageCase kUsageCases[] = {
    {"no argument", {"d88extract"}, 1, usage("d88extract")},
    {"two arguments", {"./tools/x88", "a.d88", "b.d88"}, 1, usage("./tools/x88")},
    {"no invocation name", {}, 1, "Usage: d88extract [d88file]\n", cli::Platform::kLinux},
    {"image that does not exist", {"d88extract", "missing.d88"}, 1, cli::kCannotOpenImage},
    {"directory as image", {"d88extract", "."}, 1, cli::kCannotOpenImage},
};

class UsageTest : public testing::TestWithParam<UsageCase> {};

TEST_P(UsageTest, PrintsOneLineAndWritesNothing) {
    const UsageCase& k = GetParam();
    if (!cli::runsHere(k.only)) GTEST_SKIP() << "not for this platform";
    cli::expectRun(D88EXTRACT_PATH, k.argv, {}, k.status, "", k.err, {});
}

INSTANTIATE_TEST_SUITE_P(D88extract, UsageTest, testing::ValuesIn(kUsageCases), CaseName());

}  // namespace
