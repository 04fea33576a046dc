// The vkpack program end to end: the real binary in a temporary directory, its standard output
// and error byte for byte, its exit status, and the files it leaves.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "decoder.h"
#include "encoder.h"

namespace {

namespace fs = std::filesystem;

const std::string kVkpack = VKPACK_PATH;
const std::string kDrupa = DRUPA_PATH;

const std::string kUsage = "Usage: vkpack (File)\n";
const std::string kCannotOpenInput =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
const std::string kTooLarge =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x2E"
    "\x0A";
const std::string kCannotOpenOutput =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82"
    "\xF1\x2E\x0A";
const std::string kCannotWriteOutput =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82"
    "\xDC\x82\xB9\x82\xF1\x2E\x0A";

std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = char(rng());
    return s;
}

std::vector<std::string> listDir(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// vkpack, then drupa on what it wrote, gives the original bytes back.
TEST(VkpackCliTest, DrupaExpandsWhatItPacks) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i % 37) + " of the notes\n";
    const std::string inputs[] = {"", "x", text, randomBytes(50000, 1)};
    for (const std::string& original : inputs) {
        SCOPED_TRACE(original.size());
        cli::TempDir dir;
        cli::writeFile(dir / "notes.txt", original);
        cli::writeFile(dir / "notes.txt.vkp", std::string(200000, 'z'));  // replaced
        const cli::Result r = cli::run(kVkpack, {"vkpack", "notes.txt"}, dir.path());
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(cli::readFile(dir / "notes.txt"), original) << "input untouched";
        const std::string packed = cli::readFile(dir / "notes.txt.vkp");
        ASSERT_GE(packed.size(), 8u);
        EXPECT_EQ(readU32BE(reinterpret_cast<const uint8_t*>(packed.data())),
                  int32_t(packed.size() - 8));
        EXPECT_EQ(r.out, "original = " + std::to_string(original.size()) +
                             " -> compressed = " + std::to_string(packed.size() - 8) + "\n");

        fs::remove(dir / "notes.txt");
        const cli::Result back = cli::run(kDrupa, {"drupa", "notes.txt.vkp"}, dir.path());
        EXPECT_EQ(back.status, 0);
        EXPECT_TRUE(cli::readFile(dir / "notes.txt") == original) << "drupa's output differs";
    }
}

TEST(VkpackCliTest, OutputGoesNextToTheInputPath) {
    cli::TempDir dir;
    fs::create_directory(dir / "sub.d");
    cli::writeFile(dir / "sub.d" / "data", "abcabcabcabc");
    EXPECT_EQ(cli::run(kVkpack, {"vkpack", "sub.d/data"}, dir.path()).status, 0);
    fs::remove(dir / "sub.d" / "data");
    EXPECT_EQ(cli::run(kDrupa, {"drupa", "sub.d/data.vkp"}, dir.path()).status, 0);
    EXPECT_EQ(cli::readFile(dir / "sub.d" / "data"), "abcabcabcabc");
}

struct FailureCase {
    const char* name;
    std::vector<std::string> argv;
    std::string out;  // expected standard output; "sizes" for the sizes line of "in"
    std::string err;
    std::vector<std::string> files;  // every name left in the directory
};

// Each row starts from a directory holding "in" (12 bytes of text) and "dir/".
TEST(VkpackCliTest, FailuresPrintOneMessageAndLeaveNoOutput) {
    const FailureCase cases[] = {
        {"no argument", {"vkpack"}, "", kUsage, {"dir", "in"}},
        {"two arguments", {"vkpack", "in", "in"}, "", kUsage, {"dir", "in"}},
        {"no argv at all", {}, "", kUsage, {"dir", "in"}},
        {"missing input", {"vkpack", "missing"}, "", kCannotOpenInput, {"dir", "in"}},
        {"input is a directory", {"vkpack", "dir"}, "", kCannotOpenInput, {"dir", "in"}},
        {"output is a directory",
         {"vkpack", "in"},
         "sizes",
         kCannotOpenOutput,
         {"dir", "in", "in.vkp"}},
        {"output cannot be written", {"vkpack", "in"}, "sizes", kCannotWriteOutput, {"dir", "in"}},
    };
    for (const FailureCase& row : cases) {
        SCOPED_TRACE(row.name);
        cli::TempDir dir;
        cli::writeFile(dir / "in", "hello hello\n");
        fs::create_directory(dir / "dir");
        if (std::string(row.name) == "output is a directory") fs::create_directory(dir / "in.vkp");
        if (std::string(row.name) == "output cannot be written")
            fs::create_symlink("/dev/full", dir / "in.vkp");
        const cli::Result r = cli::run(kVkpack, row.argv, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, row.err);
        const std::string in = "hello hello\n";
        std::vector<uint8_t> packed;
        encodeFile(reinterpret_cast<const uint8_t*>(in.data()), uint32_t(in.size()), &packed);
        const std::string sizes =
            "original = 12 -> compressed = " + std::to_string(packed.size() - 8) + "\n";
        EXPECT_EQ(r.out, row.out == "sizes" ? sizes : row.out);
        EXPECT_EQ(listDir(dir.path()), row.files);
    }
}

// Inputs over 2^31 - 1 bytes, and inputs whose packed file would pass 16 MiB, the most drupa
// reads: refused before anything is written.
TEST(VkpackCliTest, TooLargeLeavesNoOutput) {
    cli::TempDir dir;
    { std::ofstream sparse(dir / "huge", std::ios::binary); }
    std::error_code ec;
    fs::resize_file(dir / "huge", (uint64_t(1) << 31), ec);  // sparse: no disk space used
    if (!ec) {
        const cli::Result r = cli::run(kVkpack, {"vkpack", "huge"}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, kTooLarge);
        EXPECT_FALSE(fs::exists(dir / "huge.vkp"));
        fs::remove(dir / "huge");
    }
    // 15 MiB of random bytes pack to about 16.9 MiB.
    cli::writeFile(dir / "noise", randomBytes(15u << 20, 2));
    const cli::Result r = cli::run(kVkpack, {"vkpack", "noise"}, dir.path());
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, kTooLarge);
    EXPECT_FALSE(fs::exists(dir / "noise.vkp"));
}

}  // namespace
