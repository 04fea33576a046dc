// The vkpack program end to end, run for real in a scratch directory, and drupa on its output.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <retrodisk/vkp/encoder.h>

#include "case_name.h"
#include "cli.h"
#include "test_data.h"

namespace {

using namespace retrodisk::vkp;

namespace fs = std::filesystem;

const std::string kUsage = "Usage: vkpack (File)\n";
// "The file is too large."
const std::string kTooLarge =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7"
    "\x2E\x0A";

using testdata::packed;
std::string randomBytes(size_t n, uint32_t seed) {
    return testdata::str(testdata::randomBytes(n, seed));
}

std::string sizes(const std::string& data) {
    return "original = " + std::to_string(data.size()) +
           " -> compressed = " + std::to_string(packed(data).size() - 8) + "\n";
}

// vkpack writes what the encoder makes, replacing an older file; drupa expands it back.
TEST(VkpackCli, PacksAndDrupaExpands) {
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i % 37) + " of the notes\n";
    for (const std::string& data : {std::string(), std::string("x"), text, randomBytes(50000, 1)}) {
        SCOPED_TRACE(data.size());
        cli::expectRun(VKPACK_PATH, {"vkpack", "notes.txt"},
                       {{"notes.txt", data}, {"notes.txt.vkp", std::string(200000, 'z')}}, 0,
                       sizes(data), "", {{"notes.txt.vkp", packed(data)}});
        cli::expectRun(DRUPA_PATH, {"drupa", "notes.txt.vkp"}, {{"notes.txt.vkp", packed(data)}}, 0,
                       "compressed = " + std::to_string(packed(data).size() - 8) +
                           " -> original = " + std::to_string(data.size()) + "\n",
                       "", {{"notes.txt", data}});
    }
}

using cli::row;

const std::string kIn = "hello hello\n";

const cli::Case kCases[] = {
    row("no argument", {}, {"vkpack"}, 1, "", kUsage, {}),
    row("two files, each packed beside itself", {{"b", "bb"}}, {"vkpack", "in", "b"}, 0,
        sizes(kIn) + sizes("bb"), "", {{"in.vkp", packed(kIn)}, {"b.vkp", packed("bb")}}),
    row("several files, one missing", {}, {"vkpack", "missing", "in"}, 1, sizes(kIn),
        cli::kCannotOpenInput, {{"in.vkp", packed(kIn)}}),
    row("-o names the output", {{"out/", ""}}, {"vkpack", "in", "-o", "out/IN.VKP"}, 0, sizes(kIn),
        "", {{"out/IN.VKP", packed(kIn)}}),
    row("-o with two files", {}, {"vkpack", "-o", "x", "in", "in"}, 1, "", kUsage, {}),
    row("-o without its output", {}, {"vkpack", "in", "-o"}, 1, "", kUsage, {}),
    row("-- ends the options", {{"-o", "o"}}, {"vkpack", "--", "-o", "in"}, 0,
        sizes("o") + sizes(kIn), "", {{"-o.vkp", packed("o")}, {"in.vkp", packed(kIn)}}),
    row("no argv at all", {}, {}, 1, "", kUsage, {}, cli::Platform::kLinux),
    row("missing input", {}, {"vkpack", "missing"}, 1, "", cli::kCannotOpenInput, {}),
    row("input is a directory", {{"dir/", ""}}, {"vkpack", "dir"}, 1, "", cli::kCannotOpenInput,
        {}),
    row("output is a directory", {{"in.vkp/", ""}}, {"vkpack", "in"}, 1, sizes(kIn),
        cli::kCannotOpenOutput, {}),
    // Wine cannot remove a link to a device.
    row("output cannot be written", {{"in.vkp", "->/dev/full"}}, {"vkpack", "in"}, 1, sizes(kIn),
        cli::kCannotWriteOutput, {{"in.vkp", cli::kGone}}, cli::Platform::kLinux),
    row("output next to the input path", {{"sub.d/in", kIn}}, {"vkpack", "sub.d/in"}, 0, sizes(kIn),
        "", {{"sub.d/in.vkp", packed(kIn)}}),
};

class VkpackCli : public testing::TestWithParam<cli::Case> {};

TEST_P(VkpackCli, StatusOutputAndFiles) {
    cli::Case c = GetParam();
    c.before["in"] = kIn;  // in every row
    cli::expectRun(VKPACK_PATH, c);
}

INSTANTIATE_TEST_SUITE_P(Rows, VkpackCli, testing::ValuesIn(kCases), CaseName());

// "The output file is too large."
const std::string kOutputTooLarge =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7"
    "\x82\xAC\x82\xDC\x82\xB7\x2E\x0A";

// Inputs over 2^31 - 1 bytes, and inputs whose packed file would pass 16 MiB, the most drupa
// reads: refused before anything is written. Past 144/17 x (16 MiB - 8) bytes, the most a
// 16 MiB file can expand to, the size alone refuses the input, before it is read: the sparse
// files below would take seconds and gigabytes to read.
TEST(VkpackCli, TooLargeLeavesNoOutput) {
    const struct {
        uint64_t size;
        const std::string& err;
    } sparse[] = {
        {uint64_t(1) << 31, kTooLarge},              // too large for the header
        {(uint64_t(1) << 31) - 1, kOutputTooLarge},  // the largest the header holds
        {142112821, kOutputTooLarge},                // the shortest refused from its size
    };
    for (const auto& c : sparse) {
        SCOPED_TRACE(c.size);
        cli::TempDir dir;
        cli::writeFile(dir / "huge", "");
        std::error_code ec;
        fs::resize_file(dir / "huge", c.size, ec);  // sparse: no disk space used
        if (ec) continue;
        const cli::Result r = cli::run(VKPACK_PATH, {"vkpack", "huge"}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, cli::lines(c.err));
        EXPECT_FALSE(fs::exists(dir / "huge.vkp"));
    }
    // 15 MiB of random bytes pack to about 16.9 MiB.
    cli::expectRun(VKPACK_PATH, {"vkpack", "noise"}, {{"noise", randomBytes(15u << 20, 2)}}, 1, "",
                   kOutputTooLarge, {});
}

}  // namespace
