// The drupa program, run for real in a temporary directory: its output lines, messages, exit
// status and the files it leaves behind.

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "case_name.h"
#include "cli.h"
#include "decoder.h"
#include "encoder.h"

namespace {

namespace fs = std::filesystem;

const char kUsage[] = "Usage: drupa (VKP File)\n";
const char kCannotOpenInput[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
const char kCannotOpenOutput[] =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9"
    "\x82\xF1\x2E\x0A";
const char kNoExtension[] =
    "\x8A\x67\x92\xA3\x8E\x71\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
const char kCannotWriteOutput[] =
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF"
    "\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";

std::string packed(const std::string& text) {
    std::vector<uint8_t> file;
    encodeFile(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), &file);
    return std::string(file.begin(), file.end());
}

std::string sizesLine(const std::string& vkp) {
    const auto* p = reinterpret_cast<const uint8_t*>(vkp.data());
    return "compressed = " + std::to_string(readU32BE(p)) +
           " -> original = " + std::to_string(readU32BE(p + 4)) + "\n";
}

std::string text(size_t size) {
    std::string s;
    for (int line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + ": some text that repeats itself\n";
    s.resize(size);
    return s;
}

const std::string kSmall = text(1000);
const std::string kSmallVkp = packed(kSmall);
const std::string kLarge = text(1 << 20);
const std::string kLargeVkp = packed(kLarge);
const std::string kOld = "an older and longer file that must be replaced entirely\n";

using Files = std::vector<std::pair<std::string, std::string>>;
using Expected = std::vector<std::pair<std::string, std::optional<std::string>>>;

struct CliCase {
    const char* what;
    std::vector<std::string> dirs;  // made first
    Files files;                    // then these files; content "->target" makes a symlink
    std::vector<std::string> argv;  // argv[0] included
    int status;
    std::string out;
    std::string err;
    Expected after;  // contents afterwards; nullopt: the path must not exist
};

using testcase::operator<<;

const CliCase kCases[] = {
    {"no argument", {}, {}, {}, 1, "", kUsage, {}},
    {"program name only", {}, {}, {"drupa"}, 1, "", kUsage, {}},
    {"two arguments",
     {},
     {{"a.vkp", kSmallVkp}},
     {"drupa", "a.vkp", "a.vkp"},
     1,
     "",
     kUsage,
     {{"a", std::nullopt}}},
    {"missing file",
     {},
     {},
     {"drupa", "missing.vkp"},
     1,
     "",
     kCannotOpenInput,
     {{"missing", std::nullopt}}},
    {"empty file: sizes 0, empty output",
     {},
     {{"e.vkp", ""}},
     {"drupa", "e.vkp"},
     0,
     "compressed = 0 -> original = 0\n",
     "",
     {{"e", ""}}},
    {"seven bytes: the missing header byte and the stream read as zero",
     {},
     {{"s.vkp", std::string("\0\0\0\x09\0\0\x01", 7)}},
     {"drupa", "s.vkp"},
     0,
     "compressed = 9 -> original = 256\n",
     "",
     {{"s", std::string(256, '\0')}}},
    {"negative sizes print signed, empty output",
     {},
     {{"n.vkp", std::string("\xFF\xFF\xFF\xFE\x80\x00\x00\x00\xFF"
                            "abcdefgh",
                            17)}},
     {"drupa", "n.vkp"},
     0,
     "compressed = -2 -> original = -2147483648\n",
     "",
     {{"n", ""}}},
    {"expands a packed file",
     {},
     {{"t.vkp", kLargeVkp}},
     {"drupa", "t.vkp"},
     0,
     sizesLine(kLargeVkp),
     "",
     {{"t", kLarge}, {"t.vkp", kLargeVkp}}},
    {"several full stops: only the last extension goes",
     {},
     {{"a.tar.vkp", kSmallVkp}},
     {"drupa", "a.tar.vkp"},
     0,
     sizesLine(kSmallVkp),
     "",
     {{"a.tar", kSmall}}},
    {"full stop only in a directory name",
     {"d.x"},
     {{"d.x/file", kSmallVkp}},
     {"drupa", "d.x/file"},
     0,
     sizesLine(kSmallVkp),
     "",
     {{"d", kSmall}, {"d.x/file", kSmallVkp}}},
    {"dot slash and no other full stop: empty output name",
     {},
     {{"name", kSmallVkp}},
     {"drupa", "./name"},
     1,
     sizesLine(kSmallVkp),
     kCannotOpenOutput,
     {{"name", kSmallVkp}}},
    {"no full stop: the input is left alone",
     {},
     {{"name", kSmallVkp}},
     {"drupa", "name"},
     1,
     sizesLine(kSmallVkp),
     kNoExtension,
     {{"name", kSmallVkp}}},
    {"existing output replaced",
     {},
     {{"r", kOld}, {"r.vkp", kSmallVkp}},
     {"drupa", "r.vkp"},
     0,
     sizesLine(kSmallVkp),
     "",
     {{"r", kSmall}}},
    {"write error on close: output removed",
     {},
     {{"f", "->/dev/full"}, {"f.vkp", kSmallVkp}},
     {"drupa", "f.vkp"},
     1,
     sizesLine(kSmallVkp),
     kCannotWriteOutput,
     {{"f", std::nullopt}, {"f.vkp", kSmallVkp}}},
    {"write error while expanding: output removed",
     {},
     {{"f", "->/dev/full"}, {"f.vkp", kLargeVkp}},
     {"drupa", "f.vkp"},
     1,
     sizesLine(kLargeVkp),
     kCannotWriteOutput,
     {{"f", std::nullopt}}},
};

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::symlink_status(path, ec).type() != fs::file_type::not_found;
}

class DrupaCli : public testing::TestWithParam<CliCase> {};

TEST_P(DrupaCli, StatusOutputAndFiles) {
    const CliCase& c = GetParam();
    cli::TempDir dir;
    for (const std::string& d : c.dirs)
        fs::create_directory(dir / d);
    for (const auto& [name, content] : c.files) {
        if (content.rfind("->", 0) == 0)
            fs::create_symlink(content.substr(2), dir / name);
        else
            cli::writeFile(dir / name, content);
    }
    const cli::Result result = cli::run(DRUPA_PATH, c.argv, dir.path());
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.out, c.out);
    EXPECT_EQ(result.err, c.err);
    for (const auto& [name, content] : c.after) {
        if (!content) {
            EXPECT_FALSE(pathExists(dir / name)) << name << " should not exist";
            continue;
        }
        ASSERT_TRUE(fs::is_regular_file(dir / name)) << name;
        const std::string have = cli::readFile(dir / name);
        EXPECT_EQ(have.size(), content->size()) << name;
        EXPECT_TRUE(have == *content) << name << " differs";
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DrupaCli, testing::ValuesIn(kCases), CaseName());

// The output name has room for any path this system can open (4095 characters); a longer
// argument cannot name an input file here, and nothing is written.
TEST(DrupaCliLongPath, LongestOpenablePathAndOneMore) {
    cli::TempDir dir;
    cli::writeFile(dir / "x.vkp", kSmallVkp);
    const std::string path = "." + std::string(4095 - 6, '/') + "x.vkp";  // ".////...//x.vkp"
    ASSERT_EQ(path.size(), 4095u);
    cli::Result result = cli::run(DRUPA_PATH, {"drupa", path}, dir.path());
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, sizesLine(kSmallVkp));
    EXPECT_TRUE(cli::readFile(dir / "x") == kSmall);
    fs::remove(dir / "x");

    result = cli::run(DRUPA_PATH, {"drupa", "./" + path}, dir.path());
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, kCannotOpenInput);
    EXPECT_FALSE(pathExists(dir / "x"));
}

// Only the first 16 MiB of the file are read; the stream then continues with zero bytes.
TEST(DrupaCliHugeFile, ReadsOnlyTheFirst16MiB) {
    constexpr size_t kBuffer = size_t(16) << 20;
    // Literal groups of eight 'a'..'h' that run 4 KiB past the buffer's end.
    std::string file(kHeaderSize, '\0');
    while (file.size() < kBuffer + 4096)
        file +=
            "\xFF"
            "abcdefgh";
    const int32_t original = int32_t((file.size() - kHeaderSize) / 9 * 8);
    for (int k = 0; k < 4; ++k)
        file[size_t(4 + k)] = char(uint32_t(original) >> (24 - 8 * k));
    // What the first 16 MiB decode to, zero bytes after them.
    std::string want;
    want.reserve(size_t(original));
    decode(reinterpret_cast<const uint8_t*>(file.data()), int32_t(kBuffer), original,
           [&](uint8_t b) { want.push_back(char(b)); });
    ASSERT_NE(want.substr(want.size() - 8), "abcdefgh");  // the cut shows in the output

    cli::TempDir dir;
    cli::writeFile(dir / "big.vkp", file);
    const cli::Result result = cli::run(DRUPA_PATH, {"drupa", "big.vkp"}, dir.path());
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "compressed = 0 -> original = " + std::to_string(original) + "\n");
    EXPECT_EQ(result.err, "");
    const std::string have = cli::readFile(dir / "big");
    EXPECT_EQ(have.size(), want.size());
    EXPECT_TRUE(have == want);
}

}  // namespace
