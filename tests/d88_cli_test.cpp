// The real d88, run in a scratch directory: what it prints, its status, the files it leaves;
// its JSON parsed; get against d88extract on the same image.
#include <gtest/gtest.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <sys/resource.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
using cli::row;
using nlohmann::json;

const std::string kKatakana = "\x83\x74\x83\x40";  // "fa" in Shift_JIS
const std::string kKatakanaUtf8 = "\xE3\x83\x95\xE3\x82\xA1";

struct Entry {
    std::string name;
    uint32_t start;
    std::string data;
    int32_t size = -1;  // the size field; -1: the data's size
};

// A sparse standard disk with these directory entries, each entry's data at its start.
std::string image(const std::vector<Entry>& entries) {
    StandardDisk disk;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        disk.setEntry(int(i), e.name, e.start,
                      uint32_t(e.size < 0 ? int32_t(e.data.size()) : e.size));
        disk.write(size_t(e.start) * 1024, Bytes(e.data.begin(), e.data.end()));
    }
    return builder::toString(disk.disk(true).bytes());
}

// A whole standard disk, every sector present, with these entries: room for put.
std::string full(const std::vector<Entry>& entries, uint8_t writeProtect = 0) {
    StandardDisk disk;
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        disk.setEntry(int(i), e.name, e.start, uint32_t(e.data.size()));
        disk.write(size_t(e.start) * 1024, Bytes(e.data.begin(), e.data.end()));
    }
    Bytes bytes = disk.bytes();
    bytes[26] = writeProtect;
    return builder::toString(bytes);
}

// What d88 new writes: the standard disk, all sectors blank.
std::string blank(const std::string& label) {
    builder::Disk d = StandardDisk().disk();
    d.name = label;
    return builder::toString(d.bytes());
}

// A sparse disk of `count` entries of size 0 (341: no slot left).
std::string entries(int count) {
    StandardDisk disk;
    for (int i = 0; i < count; ++i)
        disk.setEntry(i, "F", 0, 0);
    return builder::toString(disk.bytes(true));
}
// A directory cut short after 56 entries: the file ends in the second directory sector's header.
const std::string kShortDirectory = entries(57).substr(0, 1730);

// A disk from another system: 40 cylinders x 2 heads x 16 sectors of 256 bytes.
std::string foreignDisk() {
    builder::Disk d;
    for (uint8_t t = 0; t < 80; ++t)
        for (uint8_t r = 1; r <= 16; ++r) {
            builder::Sector s;
            s.c = uint8_t(t >> 1), s.h = uint8_t(t & 1), s.r = r, s.n = 1;
            s.data.assign(256, 0xE5);
            d.tracks[t].push_back(s);
        }
    return builder::toString(d.bytes());
}

// A file "A" on track 1; track 2 is a chain of 4096 empty sectors whose counts never end a
// walk, and tracks 3 to 163 start there too: their walks pass more headers than the file has
// room for before track 3's is done.
std::string tangledImage() {
    StandardDisk disk;
    disk.setEntry(0, "A", 8, 3);
    disk.write(size_t(8) * 1024, Bytes(3, 'a'));
    builder::Disk d = disk.disk(true);
    d.tracks[2].assign(4096, builder::Sector());
    for (size_t i = 0; i < 4096; ++i)
        d.tracks[2][i].count = i == 0 ? 2 : int32_t(i);
    const Bytes bytes = d.bytes();
    const uint32_t chain = uint32_t(bytes[40] | bytes[41] << 8 | bytes[42] << 16);
    for (int t = 3; t < 164; ++t)
        d.trackTableOverride[t] = chain;
    return builder::toString(d.bytes());
}

// A standard disk whose C0 H0 R3 starts with 0xFE, then a zero byte (an empty directory to a
// naive reader), then other bytes: a sector of another system's, as on FM TOWNS disks.
std::string notADirectory() {
    StandardDisk disk;
    disk.write(StandardDisk::kDirectoryStart, {0xFE, 0x00, 0xFF, 0x0F});
    return builder::toString(disk.bytes());
}

// The flat image `d88 export` writes for a whole standard disk with these entries.
std::string exported(const std::vector<Entry>& entries) {
    const std::string d88 = full(entries);
    std::string flat;
    // Tracks follow the header in order, each 8 sectors of a 16-byte header and 1024 bytes.
    for (size_t at = builder::kDiskHeaderSize; at < d88.size(); at += 16 + 1024)
        flat += d88.substr(at + 16, 1024);
    return flat;
}

// One track of 8 x 1024 bytes under the media byte of 2D, whose tracks carry 6250.
std::string twoDWithTooMuchOnATrack() {
    builder::Disk d;
    for (uint8_t r = 1; r <= 8; ++r)
        d.tracks[0].push_back({0, 0, r, 3, 0, 0, 0, Bytes(1024, 0)});
    return builder::toString(d.bytes());
}

const std::string kUsageHint = " (d88 --help shows the usage)\n";
const std::string kListing = image({{"A", 8, std::string(10, 'A')},
                                    {kKatakana, 9, "B"},
                                    {"C\x1B", 0, ""},
                                    {"LOST", 1300, "", 100}});
const std::string kHeader = "   #  START   SIZE  SECTORS  CRC32     NAME\n";
const std::string kTwo = image({{"A.TXT", 8, "aaa"}, {"B1", 9, "bb"}});

const std::string kA = std::string(1500, 'a');  // 2 sectors
const std::string kFull = full({{"A", 8, "a"}, {"B", 9, "b"}});
const std::string kNotChanged = "d88: i.d88: not changed: 1 of 2 failed\n";
const std::string kAllocate = "; --allocate can move it to free space\n";

const cli::Case kCases[] = {
    row("no subcommand", {}, {"d88"}, 2, "", "d88: A subcommand is required" + kUsageHint, {}),
    row("a disk number that is not one", {}, {"d88", "ls", "x.d88", "-d", "-1"}, 2, "",
        "d88: --disk: not a disk number: -1" + kUsageHint, {}),
    row("--version", {}, {"d88", "--version"}, 0, "d88 (retrodisk) " D88_VERSION "\n", "", {}),
    row("missing image", {}, {"d88", "info", "missing.d88"}, 1, "",
        "d88: missing.d88: cannot open: No such file or directory\n", {}),
    // Linux: a directory opens and fails on the first read.
    row("a directory as image", {{"d/", ""}}, {"d88", "ls", "d"}, 1, "",
        "d88: d: cannot open: Is a directory\n", {}),
    row("no such disk", {{"i.d88", kTwo}}, {"d88", "tracks", "i.d88", "-d", "1"}, 1, "",
        "d88: i.d88: there is no disk 1 (the file holds 1)\n", {}),
    row("info: a media byte its geometry disagrees with", {{"i.d88", twoDWithTooMuchOnATrack()}},
        {"d88", "info", "i.d88"}, 0,
        "i.d88: 9008 bytes, 1 disk(s)\ndisk 0 at offset 0: \n"
        "  media 2D (0x00), not write-protected, size 9008 bytes\n"
        "  1 tracks, 1 x 1 x 8 x 1024 (cylinders x heads x sectors x bytes)\n"
        "  file system: flat directory: directory at C0 H0 R3: no entries, its area blank\n  "
        "anomalies: 1\n"
        "    disk: media_mismatch: media byte 0x00 says 2D, which holds at most 42 cylinders of "
        "6250 bytes a track; the disk has 8 x 1024 = 8192 bytes a track\n",
        "", {}),
    row("ls: names converted and escaped, CRCs, unreadable data", {{"i.d88", kListing}},
        {"d88", "ls", "i.d88"}, 0,
        kHeader + "   0      8     10        1  478ed0cf  A\n" +
            "   1      9      1        1  4ad0cf31  " + kKatakanaUtf8 + "\n" +
            "   2      0      0        0  00000000  C\\x1b\n" +
            "   3   1300    100        1  -         LOST\n" +
            "4 files, directory end: marker\nfree: 0 sectors\n",
        "", {}),
    row("ls --raw-names", {{"i.d88", image({{kKatakana, 9, "B"}})}},
        {"d88", "ls", "--raw-names", "i.d88"}, 0,
        kHeader + "   0      9      1        1  4ad0cf31  " + kKatakana +
            "\n1 file, directory end: marker\nfree: 0 sectors\n",
        "", {}),
    row("ls: another system's disk has no flat directory", {{"f.d88", foreignDisk()}},
        {"d88", "ls", "f.d88"}, 1, "",
        "d88: f.d88: disk 0 has no flat directory (no 1024-byte sector C0 H0 R3 on track 0)\n", {}),
    row("ls: tangled tracks", {{"t.d88", tangledImage()}}, {"d88", "ls", "t.d88"}, 1,
        kHeader + "   0      8      3        1  f007732d  A\n1 file, directory end: marker\n" +
            "free: 0 sectors\n",
        "d88: t.d88: the track walks pass more sector headers than the file has room for "
        "(tracks overlap); no sector from track 3 on is read\n",
        {}),
    // '?' stands for one character, of one or more bytes.
    row("get: a Shift_JIS name as UTF-8", {{"i.d88", kListing}},
        {"d88", "get", "i.d88", "-o", "out", "A", "?\xE3\x82\xA1"}, 0,
        "A  10 bytes\n" + kKatakanaUtf8 + "  1 bytes\n", "",
        {{"out/A", std::string(10, 'A')}, {"out/" + kKatakanaUtf8, "B"}}),
    // Windows names files in Unicode whatever --raw-names says, and a command line cannot hold
    // the raw bytes there.
    row("get --raw-names: the name's bytes", {{"i.d88", kListing}},
        {"d88", "get", "--raw-names", "i.d88", kKatakana}, 0, kKatakana + "  1 bytes\n", "",
        {{kKatakana, "B"}}, cli::Platform::kLinux),
    row("get: a file of size 0", {{"i.d88", image({{"E", 8, ""}})}}, {"d88", "get", "i.d88"}, 0,
        "E  0 bytes\n", "", {{"E", ""}}),
    row("get: wildcards, unread data, a name matching nothing", {{"i.d88", kListing}},
        {"d88", "get", "i.d88", "*O*", "C*", "NONE"}, 1, "",
        "d88: i.d88: C\\x1b: unsafe as a file name, not written\n"
        "d88: i.d88: LOST: cannot read its data\nd88: i.d88: NONE: no such file on disk 0\n",
        {}),
    row("get: an existing file is kept without -f", {{"i.d88", kTwo}, {"B1", "old"}},
        {"d88", "get", "i.d88"}, 1, "A.TXT  3 bytes\n",
        "d88: i.d88: B1: ./B1 exists (-f replaces it)\n", {{"A.TXT", "aaa"}}),
    // A link in the way is replaced, not written through.
    row("get -f replaces it", {{"i.d88", kTwo}, {"B1", "old"}, {"A.TXT", "->keep"}, {"keep", "k"}},
        {"d88", "get", "-f", "i.d88"}, 0, "A.TXT  3 bytes\nB1  2 bytes\n", "",
        {{"A.TXT", "aaa"}, {"B1", "bb"}}),
    row("get: a second entry of the same name", {{"i.d88", image({{"A", 8, "1"}, {"A", 9, "2"}})}},
        {"d88", "get", "i.d88"}, 1, "A  1 bytes\n",
        "d88: i.d88: A: a second entry of this name, not written over the first\n", {{"A", "1"}}),
    // Names that differ by case name one file there: -f does not let the second replace the
    // first, whatever the letters (full-width ones here).
    row("get -f: a second entry of a name differing by case",
        {{"i.d88", image({{"\x82\x81", 8, "1"}, {"\x82\x60", 9, "2"}})}},
        {"d88", "get", "-f", "i.d88"}, 1, "\xEF\xBD\x81  1 bytes\n",
        "d88: i.d88: \xEF\xBC\xA1: a second entry of this name, not written over the first\n",
        {{"\xEF\xBD\x81", "1"}}, cli::Platform::kWindows),
    row("get: unsafe and invalid names",
        {{"i.d88", image({{"..", 8, "1"}, {"a/b", 8, "1"}, {"X\x83", 8, "1"}})}},
        {"d88", "get", "i.d88"}, 1, "",
        std::string("d88: i.d88: ..: unsafe as a file name, not written\n"
                    "d88: i.d88: a/b: unsafe as a file name, not written\n"
                    "d88: i.d88: X\\x83: the name is not valid Shift_JIS") +
            (cli::windows() ? "\n" : "; --raw-names writes it as it is\n"),
        {}),
    // 3000 bytes from sector 14, the only one of its track in the sparse image.
    row("get: data cut short keeps what was read", {{"i.d88", image({{"CUT", 14, "xy", 3000}})}},
        {"d88", "get", "i.d88"}, 1, "",
        "d88: i.d88: CUT: only 1024 of its 3000 bytes can be read; wrote those\n",
        {{"CUT", "xy" + std::string(1022, '\0')}}),
    row("get: -o names a file", {{"i.d88", kTwo}, {"out", "x"}},
        {"d88", "get", "i.d88", "-o", "out"}, 1, "",
        "d88: out: cannot create the directory: Not a directory\n", {}),

    // put, rm and new: each image written is the builder's for the entries that should be
    // there; a failure leaves the image as it was.
    row("put: in place, the sectors past the data blanked",
        {{"i.d88", full({{"A", 8, kA}, {"B", 10, "b"}})}, {"A", "new"}},
        {"d88", "put", "i.d88", "A"}, 0, "A: replaced in place at sector 8\n", "",
        {{"i.d88", full({{"A", 8, "new"}, {"B", 10, "b"}})}}),
    row("put --allocate: a grown file to the lowest free run, its old sector blanked",
        {{"i.d88", kFull}, {"d/A", kA}}, {"d88", "put", "--allocate", "i.d88", "d/A"}, 0,
        "A: moved to sectors 10-11\n", "", {{"i.d88", full({{"A", 10, kA}, {"B", 9, "b"}})}}),
    row("put --allocate --as: a new name, given in UTF-8, takes the end marker's slot",
        {{"i.d88", kFull}, {"x", "hello"}},
        {"d88", "put", "i.d88", "x", "--as", kKatakanaUtf8, "--allocate"}, 0,
        kKatakanaUtf8 + ": added at sector 10\n", "",
        {{"i.d88", full({{"A", 8, "a"}, {"B", 9, "b"}, {kKatakana, 10, "hello"}})}}),
    row("put --dry-run changes nothing", {{"i.d88", kFull}, {"A", "zz"}, {"N", ""}},
        {"d88", "put", "--dry-run", "--allocate", "i.d88", "A", "N"}, 0,
        "A: would be replaced in place at sector 8\nN: would be added, empty (no sectors)\n", "",
        {}),
    row("put --force on a write-protected disk",
        {{"i.d88", full({{"A", 8, "a"}}, 0x10)}, {"A", "b"}},
        {"d88", "put", "--force", "i.d88", "A"}, 0, "A: replaced in place at sector 8\n", "",
        {{"i.d88", full({{"A", 8, "b"}}, 0x10)}}),
    row("rm: the entries after move up, the sectors blanked",
        {{"i.d88", full({{"A", 8, kA}, {"B", 10, "b"}, {"C", 11, "c"}})}},
        {"d88", "rm", "i.d88", "A", "C"}, 0,
        "A: removed, 2 sectors freed\nC: removed, 1 sector freed\n", "",
        {{"i.d88", full({{"B", 10, "b"}})}}),
    row("new", {}, {"d88", "new", "n.d88", "--label", kKatakanaUtf8 + "DISK"}, 0,
        "n.d88: a blank 2HD disk of 1281968 bytes, 1224 sectors free\n", "",
        {{"n.d88", blank(kKatakana + "DISK")}}),
    row("new -f replaces a file", {{"n.d88", "x"}}, {"d88", "new", "-f", "n.d88"}, 0,
        "n.d88: a blank 2HD disk of 1281968 bytes, 1224 sectors free\n", "",
        {{"n.d88", blank("")}}),
    row("new: an existing file is kept without -f", {{"n.d88", "x"}}, {"d88", "new", "n.d88"}, 1,
        "", "d88: n.d88: exists (-f replaces it)\n", {}),
    row("new: a label of 17 bytes", {}, {"d88", "new", "n.d88", "--label", "SEVENTEEN.BYTES.."}, 1,
        "", "d88: n.d88: the label is 17 bytes in Shift_JIS; the header holds 16\n", {}),

    row("put: a name of 14 bytes", {{"i.d88", kFull}, {"A", "a"}},
        {"d88", "put", "--as", "FOURTEEN.BYTES", "--allocate", "i.d88", "A"}, 1, "",
        "d88: i.d88: FOURTEEN.BYTES: the name is 14 bytes in Shift_JIS; a name on the disk has 1 "
        "to 13\n",
        {}),
    row("put: a name with no Shift_JIS form", {{"i.d88", kFull}, {"A", "a"}},
        {"d88", "put", "--as", "\xF0\x9F\x98\x80", "i.d88", "A"}, 1, "",
        "d88: i.d88: \xF0\x9F\x98\x80: the name cannot be written in Shift_JIS\n", {}),
    row("put: a name with a space", {{"i.d88", kFull}, {"A", "a"}},
        {"d88", "put", "--as", "A B", "i.d88", "A"}, 1, "",
        "d88: i.d88: A B: a name on the disk cannot hold a space, a control character, '/', '\\' "
        "or ':', nor be . or ..\n",
        {}),
    row("put: a file of 65536 bytes", {{"i.d88", kFull}, {"BIG", std::string(65536, 'x')}},
        {"d88", "put", "--allocate", "i.d88", "BIG"}, 1, "",
        "d88: BIG: larger than 65535 bytes, the most a file on the disk can hold\n", {}),
    row("put: a grown file without --allocate", {{"i.d88", kFull}, {"A", kA}},
        {"d88", "put", "i.d88", "A"}, 1, "", "d88: i.d88: A: needs 2 sectors, has 1" + kAllocate,
        {}),
    row("put: all or nothing", {{"i.d88", kFull}, {"A", "z"}, {"N", "n"}},
        {"d88", "put", "i.d88", "A", "N"}, 1, "",
        "d88: i.d88: N: no such file on disk 0; --allocate adds it\n" + kNotChanged, {}),
    row("put --allocate: no free run long enough", {{"i.d88", kTwo}, {"N", "n"}},
        {"d88", "put", "--allocate", "i.d88", "N"}, 1, "",
        "d88: i.d88: N: needs 1 sector, and no run of free sectors is that long (the longest has "
        "0)\n",
        {}),
    row("put --allocate: the directory full", {{"i.d88", entries(341)}, {"N", ""}},
        {"d88", "put", "--allocate", "i.d88", "N"}, 1, "",
        "d88: i.d88: N: no room for a new entry: the directory is full (341 entries)\n", {}),
    row("put: a write-protected disk", {{"i.d88", full({}, 0x10)}, {"A", "a"}},
        {"d88", "put", "i.d88", "A"}, 1, "",
        "d88: i.d88: disk 0 is write-protected; --force changes it anyway\n", {}),
    row("put: a directory cut short", {{"i.d88", kShortDirectory}, {"A", "a"}},
        {"d88", "put", "i.d88", "A"}, 1, "",
        "d88: i.d88: the directory is cut short after 56 entries: a directory sector is missing "
        "or short; the disk is not changed\n",
        {}),
    row("put: --as with two files", {{"i.d88", kFull}},
        {"d88", "put", "--as", "X", "i.d88", "A", "B"}, 2, "",
        "d88: --as names one FILE, not 2" + kUsageHint, {}),
    // Another file system, or a sector that is no directory, is left alone without --fs flat.
    row("put: C0 H0 R3 is no flat directory", {{"i.d88", notADirectory()}, {"A", "a"}},
        {"d88", "put", "--allocate", "i.d88", "A"}, 1, "",
        "d88: i.d88: disk 0: C0 H0 R3 starts as an empty directory, but its bytes are not blank; "
        "--fs flat edits it as a flat directory anyway\n",
        {}),
    row("ls: C0 H0 R3 is no flat directory", {{"i.d88", notADirectory()}}, {"d88", "ls", "i.d88"},
        1, "",
        "d88: i.d88: disk 0 holds no file system d88 recognises (nearest: flat directory: C0 H0 "
        "R3 starts as an empty directory, but its bytes are not blank); --fs NAME reads it as "
        "one\n",
        {}),
    row("rm --fs flat: the user's choice", {{"i.d88", kFull}},
        {"d88", "rm", "--fs", "flat", "i.d88", "B"}, 0, "B: removed, 1 sector freed\n", "",
        {{"i.d88", full({{"A", 8, "a"}})}}),
    row("put --fs fat12 on a flat disk", {{"i.d88", kFull}, {"A", "a"}},
        {"d88", "put", "--fs", "fat12", "i.d88", "A"}, 1, "",
        "d88: i.d88: disk 0 cannot be read as FAT12: no parameter block; 77 x 2 x 8 x 1024 is a "
        "FAT12 geometry, but C0 H0 R2 starts 00 00 00, not the FAT ID FE FF FF\n",
        {}),
    row("ls -l PATH: one file", {{"i.d88", kTwo}}, {"d88", "ls", "-l", "i.d88", "a.txt"}, 0,
        "TYPE       ATTR          SIZE  DATE                 LOAD  EXEC  CRC32     NAME\n"
        "file       -                3  -                       -     -  f007732d  A.TXT\n"
        "1 file\nfree: 0 bytes (0 units of 1024 bytes)\n",
        "", {}),
    row("ls PATH: no such file", {{"i.d88", kTwo}}, {"d88", "ls", "i.d88", "C"}, 1, "",
        "d88: i.d88: C: no such file or directory on disk 0\n", {}),
    row("check: a clean flat disk", {{"i.d88", kFull}}, {"d88", "check", "i.d88"}, 0,
        "flat directory: no problems found\n", "", {}),
    row("check: unreadable data and a shared sector",
        {{"i.d88", image({{"A", 8, "a", 3000}, {"B", 9, "b"}})}}, {"d88", "check", "i.d88"}, 1,
        "A: missing_sector: only 2048 of its 3000 bytes can be read\n"
        "B: shared: sector 9 is also in A\n",
        "d88: i.d88: disk 0: 2 problems found\n", {}),
    row("export: the sectors in order", {{"i.d88", kFull}}, {"d88", "export", "i.d88", "-o", "f"},
        0, "f: 1261568 bytes, 77 x 2 x 8 x 1024\n", "",
        {{"f", exported({{"A", 8, "a"}, {"B", 9, "b"}})}}),
    row("export: missing sectors, nothing written", {{"i.d88", kTwo}},
        {"d88", "export", "i.d88", "-o", "f"}, 1, "",
        "d88: i.d88: disk 0: 2 sector(s) of 1 x 2 x 2 x 1024 missing or short (first: C0 H0 R1 "
        "is missing); nothing written (--fill writes them as zero bytes)\n",
        {}),
    row("rm: a missing name, nothing removed", {{"i.d88", kFull}},
        {"d88", "rm", "i.d88", "A", "NOPE"}, 1, "",
        "d88: i.d88: NOPE: no such file on disk 0\n" + kNotChanged, {}),
};

// Linux only: the failures come from the file system's limits.
// No temporary file can be made beside the image: its path would pass PATH_MAX, the image's
// own (./ 2045 times, then i.d88) does not. Root cannot get round this as it can round
// permissions.
TEST(D88, PutCannotMakeATemporaryFile) {
    if (cli::windows()) GTEST_SKIP() << "Windows opens paths longer than Linux's PATH_MAX";
    std::string path;
    for (int i = 0; i < 2045; ++i)
        path += "./";
    path += "i.d88";
    cli::expectRun(
        D88_PATH, {"d88", "put", path, "A"}, {{"i.d88", kFull}, {"A", "b"}}, 1, "",
        "d88: " + path + ": cannot create a temporary file in its directory: File name too long\n",
        {});
}

// A file size limit (ulimit -f) below the image's size: writing the new copy fails with
// EFBIG (SIGXFSZ ignored, as the program inherits it), the copy is removed, the image kept.
TEST(D88, PutSaveFailsAndKeepsTheImage) {
    if (cli::windows()) GTEST_SKIP() << "a file size limit is a POSIX resource limit";
    cli::TempDir dir;
    cli::writeFile(dir / "i.d88", kFull);
    cli::writeFile(dir / "A", "b");
    rlimit old = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    const rlimit limit = {65536, old.rlim_max};
    void (*oldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const cli::Result r = cli::run(D88_PATH, {"d88", "put", "i.d88", "A"}, dir.path());
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "d88: i.d88: cannot write its new copy: File too large\n");
    EXPECT_EQ(cli::snapshot(dir.path(), dir.path()), (Files{{"i.d88", kFull}, {"A", "b"}}));
}

// The file's bytes in one read (cli::readFile's byte-by-byte iterator is slow for 32 MiB).
std::string readLarge(const std::filesystem::path& path) {
    std::string bytes(size_t(std::filesystem::file_size(path)), '\0');
    std::ifstream(path, std::ios::binary).read(bytes.data(), std::streamsize(bytes.size()));
    return bytes;
}

bool hasTemporaryFile(const std::filesystem::path& dir) {
    const std::filesystem::directory_iterator files(dir);
    return std::any_of(begin(files), end(files), [](const auto& e) {
        return e.path().filename().string().rfind(".d88-", 0) == 0;
    });
}

// A signal while put saves a large image: the program removes its temporary copy and ends as
// killed by that signal, the image as it was. The signal goes once the copy appears; writing
// and flushing 32 MiB keeps it there far longer than one poll. A save that ends first must
// have put the file, and is tried again.
TEST(D88, SignalDuringSaveLeavesNothingBehind) {
    if (cli::windows()) GTEST_SKIP() << "POSIX signals; a console's Ctrl-C cannot be sent here";
    constexpr size_t kSize = size_t(32) << 20;  // the bytes past the disk are kept as they are
    std::string before = kFull;
    before.resize(kSize);
    std::string put = full({{"A", 8, "new"}, {"B", 9, "b"}});
    put.resize(kSize);
    cli::TempDir dir;
    cli::writeFile(dir / "A", "new");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        bool stopped = false;
        for (int attempt = 0; attempt < 5 && !stopped; ++attempt) {
            cli::writeFile(dir / "i.d88", before);
            const pid_t pid = cli::start(D88_PATH, {"d88", "put", "i.d88", "A"}, dir.path());
            ASSERT_GT(pid, 0);
            int status = 0;
            bool seen = false;
            while (!seen && waitpid(pid, &status, WNOHANG) == 0) {
                seen = hasTemporaryFile(dir.path());
                if (!seen) usleep(1000);
            }
            if (seen) {
                kill(pid, signal);
                ASSERT_EQ(waitpid(pid, &status, 0), pid);
            }
            EXPECT_FALSE(hasTemporaryFile(dir.path())) << signal;
            const std::string after = readLarge(dir / "i.d88");
            // Stopped after the rename, or not at all, it has put the file.
            const bool killed = WIFSIGNALED(status) && WTERMSIG(status) == signal;
            EXPECT_TRUE(killed || (WIFEXITED(status) && WEXITSTATUS(status) == 0)) << status;
            stopped = killed && after == before;
            EXPECT_TRUE(stopped || after == put) << signal;
        }
        EXPECT_TRUE(stopped) << "the save of 32 MiB ended before signal " << signal << " arrived";
    }
}

// A signal at any moment of a get of many files: what is left is whole files only, and a file
// of the user's that get found in its way (and did not replace) is never removed. Stopped
// after a spread of delays, some runs land while an output is being opened.
TEST(D88, SignalDuringGetLeavesWholeFilesOnly) {
    if (cli::windows()) GTEST_SKIP() << "POSIX signals; a console's Ctrl-C cannot be sent here";
    cli::TempDir dir;
    const auto d88 = [&](std::vector<std::string> args) {
        args.insert(args.begin(), "d88");
        return cli::run(D88_PATH, args, dir.path());
    };
    ASSERT_EQ(d88({"new", "--fs", "fat12", "i.d88"}).status, 0);
    std::vector<std::string> args = {"put", "i.d88"};
    std::vector<std::string> contents;
    // Small files: most of the time goes to creating them, the moments a signal must not
    // leave an empty or a partial file behind.
    for (int i = 0; i < 150; ++i) {
        contents.push_back(std::string(size_t(1 + i * 13), char('a' + i % 26)));
        cli::writeFile(dir / ("F" + std::to_string(i)), contents.back());
        args.push_back("F" + std::to_string(i));
    }
    ASSERT_EQ(d88(args).status, 0);
    const std::filesystem::path out = dir / "out";
    for (int attempt = 0; attempt < 60; ++attempt) {
        std::filesystem::remove_all(out);
        std::filesystem::create_directory(out);
        cli::writeFile(out / "F30", "the user's");
        const pid_t pid = cli::start(D88_PATH, {"d88", "get", "i.d88", "-o", "out"}, dir.path());
        ASSERT_GT(pid, 0);
        usleep(useconds_t(attempt * 900));  // a get of these takes tens of milliseconds
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_EQ(cli::readFile(out / "F30"), "the user's") << attempt;
        for (const auto& e : std::filesystem::directory_iterator(out)) {
            const std::string name = e.path().filename().string();
            if (name == "F30") continue;
            ASSERT_EQ(name[0], 'F') << name;
            EXPECT_EQ(cli::readFile(e.path()), contents[size_t(std::stoi(name.substr(1)))])
                << name << " is cut short (attempt " << attempt << ")";
        }
    }
}

class D88Cli : public testing::TestWithParam<cli::Case> {};

TEST_P(D88Cli, PrintsWritesAndReports) {
    cli::expectRun(D88_PATH, GetParam());
}

INSTANTIATE_TEST_SUITE_P(D88, D88Cli, testing::ValuesIn(kCases), CaseName());

json runJson(const std::vector<std::string>& argv, const Files& files, int status = 0) {
    cli::TempDir dir;
    for (const auto& [name, content] : files)
        cli::writeFile(dir / name, content);
    const cli::Result r = cli::run(D88_PATH, argv, dir.path());
    EXPECT_EQ(r.status, status) << r.err;
    return json::parse(r.out);
}

// info and tracks on a file of three disks: the standard one, another system's, a damaged one.
TEST(D88, InfoAndTracksJson) {
    builder::Disk damaged = StandardDisk().disk(true);
    damaged.tracks[3].push_back({});
    damaged.tracks[3].back().deleted = 0x10;
    damaged.tracks[3].back().data.assign(1024, 0);
    damaged.name = "\x83\x74\x83\x40\x1B";
    StandardDisk beyond;  // a directory whose entry runs past the disk's last sector
    beyond.setEntry(0, "BIG", 1230, 5000);
    const std::string file =
        builder::toString(builder::image({StandardDisk().disk(), beyond.disk(true), damaged}));
    const std::string foreign = foreignDisk();
    const json info = runJson({"d88", "info", "--json", "a.d88"}, {{"a.d88", file + foreign}});
    ASSERT_EQ(info["disks"].size(), 4u);
    const json& standard = info["disks"][0];
    EXPECT_EQ(standard["geometry"], json::parse(R"({"cylinders":77,"heads":2,"sectors":8,
                                                   "sector_size":1024})"));
    EXPECT_TRUE(standard["flat_directory"]);
    EXPECT_EQ(standard["tracks"], 154);
    EXPECT_EQ(standard["media"], "2HD");
    EXPECT_EQ(standard["anomalies"], json::array());
    EXPECT_FALSE(info["disks"][1]["flat_directory"]);
    const json& bad = info["disks"][2];
    EXPECT_EQ(bad["name"], kKatakanaUtf8 + "\x1B");
    EXPECT_EQ(bad["name_bytes"], "837483401b");
    EXPECT_EQ(bad["anomalies"], json::parse(R"j([{"track":3,"kind":"deleted_data",
        "detail":"C0 H0 R1 N3: deleted-data mark 0x10"},{"track":3,"kind":"id_mismatch",
        "detail":"C0 H0 R1 N3 on track 3 (C1 H1)"}])j"))
        << bad["anomalies"].dump();
    const json& other = info["disks"][3];
    EXPECT_EQ(other["offset"], file.size());
    EXPECT_FALSE(other["flat_directory"]);
    EXPECT_EQ(other["geometry"]["sector_size"], 256);

    const json tracks =
        runJson({"d88", "tracks", "--json", "-d", "3", "a.d88"}, {{"a.d88", file + foreign}});
    EXPECT_EQ(tracks["disk"], 3);
    ASSERT_EQ(tracks["tracks"].size(), 80u);
    EXPECT_EQ(tracks["tracks"][79]["sectors"][15],
              json::parse(R"({"c":39,"h":1,"r":16,"n":1,"count":16,"density":0,"deleted":0,
                              "status":0,"size":256})"));

    // Every track starts at track 0's one sector: the listing stops where the walks have
    // passed more headers than the file has room for (108 in 1728 bytes).
    builder::Disk same;
    same.tracks[0].push_back({0, 0, 1, 3, 0, 0, 0, Bytes(1024, 0)});
    for (int t = 1; t < 164; ++t)
        same.trackTableOverride[t] = 688;
    const json tangled =
        runJson({"d88", "tracks", "--json", "s.d88"}, {{"s.d88", builder::toString(same.bytes())}});
    ASSERT_EQ(tangled["tracks"].size(), 109u);
    EXPECT_EQ(tangled["tracks"][108]["tangled"], true);

    if (cli::windows()) return;  // a path there is always Unicode
    // A path whose bytes are not UTF-8 (Shift_JIS here) does not spoil the document.
    const json named = runJson({"d88", "info", "--json", "\x83\x74.d88"}, {{"\x83\x74.d88", file}});
    EXPECT_EQ(named["image"], "\xEF\xBF\xBDt.d88");
}

// A directory sector missing after 56 entries: they are listed, then the failure.
TEST(D88, ShortDirectory) {
    cli::TempDir dir;
    cli::writeFile(dir / "i.d88", kShortDirectory);
    const cli::Result r = cli::run(D88_PATH, {"d88", "ls", "i.d88"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find(cli::lines("56 files, directory end: short\n")), std::string::npos)
        << r.out;
    EXPECT_EQ(r.err, cli::lines("d88: i.d88: the directory is cut short after 56 entries: a "
                                "directory sector is missing or short\n"));
}

// The full directory: ls --json names, sizes and CRC-32s are those of the files d88extract
// writes, get --raw-names writes exactly d88extract's files, and the free runs are what is left.
TEST(D88, LsAndGetMatchD88extract) {
    StandardDisk disk;
    for (int i = 0; i < 341; ++i) {
        char name[14];
        std::snprintf(name, sizeof name, i % 7 == 0 ? "\x83\x74%03d" : "F%03d.DAT", i);
        disk.addFile(name, 8 + 3 * uint32_t(i), Bytes(2049 + size_t(i), uint8_t(i)));
    }
    disk.write(size_t(1040) * 1024, {1});  // data with no entry: not free
    const Files before = {{"i.d88", builder::toString(disk.bytes())}};
    cli::TempDir a;
    cli::TempDir b;
    for (const auto& [name, content] : before)
        cli::writeFile(a / name, content), cli::writeFile(b / name, content);
    ASSERT_EQ(cli::run(D88EXTRACT_PATH, {"d88extract", "i.d88"}, a.path()).status, 0);
    const cli::Result got = cli::run(D88_PATH, {"d88", "get", "--raw-names", "i.d88"}, b.path());
    ASSERT_EQ(got.status, 0) << got.err;
    const Files extracted = cli::snapshot(a.path(), a.path());
    EXPECT_TRUE(extracted == cli::snapshot(b.path(), b.path()));

    const json ls = runJson({"d88", "ls", "--json", "i.d88"}, before);
    ASSERT_EQ(ls["files"].size(), 341u);
    EXPECT_EQ(ls["end"], "full");
    for (const json& f : ls["files"]) {
        std::string name;
        for (size_t k = 0; k < f["name_bytes"].get<std::string>().size(); k += 2)
            name += char(std::stoi(f["name_bytes"].get<std::string>().substr(k, 2), nullptr, 16));
        // Windows keeps the names in Unicode.
        const std::string& bytes =
            extracted.at(cli::windows() ? cli::utf8FromShiftJis(name) : name);
        char crc[9];
        std::snprintf(crc, sizeof crc, "%08lx",
                      crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), uInt(bytes.size())));
        EXPECT_EQ(f["crc32"], crc) << f.dump();
        EXPECT_EQ(f["size"], bytes.size());
    }
    EXPECT_EQ(ls["free"],
              json::parse(R"({"units":200,"unit_bytes":1024,"bytes":204800,"sectors":200,)"
                          R"("runs":[[1031,9],[1041,191]]})"));
}

}  // namespace

namespace {

namespace fs = std::filesystem;

// Runs a shell command line (mtools, mkfs.fat); its status.
int shell(const std::string& line) {
    // Only the test's own command lines to the tools, built here, reach the shell.
    return std::system(line.c_str());  // NOLINT(cert-env33-c)
}

// d88 against mtools on FAT12 disks that mkfs.fat and mcopy made: a random tree of files on
// each geometry the PC-98, FM TOWNS, X68000, X1 and MSX disks use, wrapped into a D88 image.
// `d88 get` must write exactly the files `mcopy -s` copies, and `d88 ls --json -R` list them
// with the same sizes and CRC-32s.
TEST(D88, Fat12MatchesMtools) {
    if (shell("command -v mkfs.fat >/dev/null && command -v mcopy >/dev/null") != 0)
        GTEST_SKIP() << "needs mkfs.fat and mcopy (apt-get install dosfstools mtools)";
    struct Geometry {
        int cylinders, heads, sectors, size;
        const char* mkfs;  // what mkfs.fat needs beyond the size for this format
        int total;
    };
    const Geometry kGeometries[] = {
        {77, 2, 8, 1024, "-S 1024 -s 1 -r 192 -R 1 -M 0xFE", 1232},  // PC-98, FM TOWNS 2HD
        {80, 2, 18, 512, "-S 512 -s 1 -r 224 -M 0xF0", 2880},        // 1.44 MB
        {80, 2, 9, 512, "-S 512 -s 2 -r 112 -M 0xF9", 1440},         // 720 KB
        {80, 2, 8, 512, "-S 512 -s 2 -r 112 -M 0xFB", 1280},         // PC-98 640 KB
        {40, 2, 9, 512, "-S 512 -s 2 -r 112 -M 0xFD", 720},          // 360 KB
    };
    uint32_t seed = 12345;
    const auto random = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    for (const Geometry& g : kGeometries) {
        SCOPED_TRACE(std::to_string(g.cylinders) + " x " + std::to_string(g.sectors) + " x " +
                     std::to_string(g.size));
        cli::TempDir dir;
        const std::string flat = (dir / "flat.img").string();
        ASSERT_EQ(shell("mkfs.fat -C -F 12 -f 2 --invariant -g " + std::to_string(g.heads) + "/" +
                        std::to_string(g.sectors) + " " + g.mkfs + " " + flat + " " +
                        std::to_string(g.total * g.size / 1024) + " >/dev/null"),
                  0);
        // Files in the root and two levels of directories, 0 to 20 KB of random bytes.
        fs::create_directories(dir / "tree/SUB/DEEP");
        const char* kDirs[] = {"tree", "tree/SUB", "tree/SUB/DEEP"};
        for (int i = 0; i < 12; ++i) {
            std::string bytes(random(20000), '\0');
            for (char& b : bytes)
                b = char(random(256));
            cli::writeFile(dir / kDirs[i % 3] / ("F" + std::to_string(i) + ".BIN"), bytes);
        }
        ASSERT_EQ(shell("cd " + dir.path().string() +
                        "/tree && MTOOLS_SKIP_CHECK=1 mcopy -s -i ../flat.img * :: && mkdir "
                        "../mcopy && MTOOLS_SKIP_CHECK=1 mcopy -s -n -i ../flat.img '::*' "
                        "../mcopy/"),
                  0);
        const std::string bytes = cli::readFile(flat);
        const builder::Disk disk = builder::flatDisk(Bytes(bytes.begin(), bytes.end()), g.cylinders,
                                                     g.heads, g.sectors, g.size, 0x20);
        cli::writeFile(dir / "i.d88", builder::toString(disk.bytes()));
        const cli::Result got =
            cli::run(D88_PATH, {"d88", "get", "i.d88", "-o", "d88"}, dir.path());
        ASSERT_EQ(got.status, 0) << got.err;
        EXPECT_EQ(cli::snapshot(dir / "d88", dir / "d88"),
                  cli::snapshot(dir / "mcopy", dir / "mcopy"));
        const cli::Result ls =
            cli::run(D88_PATH, {"d88", "ls", "--json", "-R", "i.d88"}, dir.path());
        ASSERT_EQ(ls.status, 0) << ls.err;
        const json listing = json::parse(ls.out);
        EXPECT_EQ(listing["file_system"], "fat12");
        size_t files = 0;
        for (const json& f : listing["files"]) {
            if (f["directory"]) continue;
            ++files;
            const std::string data = cli::readFile(dir / "mcopy" / f["path"].get<std::string>());
            EXPECT_EQ(f["size"], data.size()) << f["path"];
            char crc[9];
            std::snprintf(crc, sizeof crc, "%08lx",
                          crc32(0, reinterpret_cast<const Bytef*>(data.data()), uInt(data.size())));
            EXPECT_EQ(f["crc32"], crc) << f["path"];
        }
        EXPECT_EQ(files, 12u);
    }
}

}  // namespace

namespace {

// The modding loop on a blank disk of every file system d88 can make: new, put, ls, get, put
// back (every sector as it was), rm, check, and refusals that change nothing.
TEST(D88, EditsEveryFileSystem) {
    struct Family {
        const char* fs;
        const char* longName;  // a name too long for the family
    };
    const Family kFamilies[] = {{"fat12", "TOOLONGNAME.TXT"},
                                {"n88", "TOOLONG.BAS"},
                                {"hu", "FOURTEEN_CHARS.BAS"},
                                {"fbasic", "NINECHARS"}};
    for (const Family& f : kFamilies) {
        SCOPED_TRACE(f.fs);
        cli::TempDir dir;
        const auto d88 = [&](std::vector<std::string> args) {
            args.insert(args.begin(), "d88");
            return cli::run(D88_PATH, args, dir.path());
        };
        cli::Result r = d88({"new", "--fs", f.fs, "i.d88"});
        if (r.status != 0 && r.err.find("cannot make blank") != std::string::npos) continue;
        ASSERT_EQ(r.status, 0) << r.err;
        std::string text = "10 PRINT \"HELLO\"\r\n";
        std::string data(5000, '\0');
        for (size_t i = 0; i < data.size(); ++i)
            data[i] = char(i * 7 + i / 251);
        cli::writeFile(dir / "A.TXT", text);
        cli::writeFile(dir / "B.DAT", data);
        r = d88({"put", "i.d88", "A.TXT", "B.DAT"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out.find("A.TXT: added, "), 0u) << r.out;

        const json listing = json::parse(d88({"ls", "--json", "i.d88"}).out);
        EXPECT_EQ(listing["file_system"], f.fs);
        ASSERT_EQ(listing["files"].size(), 2u);
        r = d88({"get", "i.d88", "-o", "out"});
        ASSERT_EQ(r.status, 0) << r.err;
        // The bytes come back as given, or padded to whole sectors where no byte count is kept.
        const std::string back = cli::readFile(dir / "out/B.DAT");
        EXPECT_EQ(back.substr(0, data.size()), data);

        const std::string before = cli::readFile(dir / "i.d88");
        r = d88({"put", "i.d88", "out/A.TXT", "out/B.DAT"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(cli::readFile(dir / "i.d88") == before) << "a get/put round trip moved bytes";

        // Refusals leave the image as it was.
        cli::writeFile(dir / f.longName, "x");
        r = d88({"put", "i.d88", "B.DAT", f.longName});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("not changed: 1 of 2 failed"), std::string::npos) << r.err;
        r = d88({"rm", "i.d88", "NOPE"});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(cli::readFile(dir / "i.d88") == before);

        r = d88({"rm", "--dry-run", "i.d88", "A.TXT"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(cli::readFile(dir / "i.d88") == before);
        r = d88({"rm", "i.d88", "A.TXT", "B.DAT"});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(json::parse(d88({"ls", "--json", "i.d88"}).out)["files"].size(), 0u);
        EXPECT_EQ(d88({"check", "i.d88"}).status, 0);
    }
}

}  // namespace
