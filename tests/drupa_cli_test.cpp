// The drupa program, run for real in a scratch directory.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

#include "case_name.h"
#include "cli.h"
#include "test_data.h"

namespace {

using namespace retrodisk::vkp;

using cli::kGone;

const char kUsage[] = "Usage: drupa (VKP File)\n";
// "There is no extension."
const char kNoExtension[] =
    "\x8A\x67\x92\xA3\x8E\x71\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1\x2E\x0A";
// "The file name is too long."
const char kNameTooLong[] =
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7\x2E"
    "\x0A";

using testdata::packed;

std::string text(size_t size) {
    std::string s;
    for (int line = 0; s.size() < size; ++line)
        s += "line " + std::to_string(line) + ": some text that repeats itself\n";
    s.resize(size);
    return s;
}

const std::string kSmall = text(1000), kSmallVkp = packed(kSmall);
const std::string kLarge = text(1 << 20), kLargeVkp = packed(kLarge);
const std::string kDisk = text(65536), kDiskVkp = packed(kDisk);  // the most a disk file holds
// The VKP file of `data` (a multiple of 8 bytes) in groups of 8 literals: made without the
// encoder, which takes seconds for megabytes in the sanitizer builds.
std::string literalsOnly(const std::string& data) {
    std::string file(kHeaderSize, '\0');
    for (size_t at = 0; at < data.size(); at += 8)
        file += "\xFF" + data.substr(at, 8);
    const auto sizes = {uint32_t(file.size() - kHeaderSize), uint32_t(data.size())};
    size_t at = 0;
    for (uint32_t size : sizes)
        for (int k = 0; k < 4; ++k)
            file[at++] = char(size >> (24 - 8 * k));
    return file;
}
const std::string kHuge = text(3 << 20), kHugeVkp = literalsOnly(kHuge);  // its own work area

std::string sizesLine(const std::string& vkp) {
    const auto* p = reinterpret_cast<const uint8_t*>(vkp.data());
    return "compressed = " + std::to_string(readU32BE(p)) +
           " -> original = " + std::to_string(readU32BE(p + 4)) + "\n";
}
const std::string kSmallSizes = sizesLine(kSmallVkp);
// The longest path that can be opened: ".////...//x.vkp", 4095 characters.
const std::string kLongPath = "." + std::string(4095 - 6, '/') + "x.vkp";
// "deeta" in katakana, as UTF-8.
const std::string kJapanese = "\xE3\x83\x87\xE3\x83\xBC\xE3\x82\xBF";

using cli::Platform;

using cli::row;

const cli::Case kCases[] = {
    row("no argument", {}, {}, 1, "", kUsage, {}, Platform::kLinux),
    row("program name only", {}, {"drupa"}, 1, "", kUsage, {}),
    row("two arguments", {{"a.vkp", kSmallVkp}}, {"drupa", "a.vkp", "a.vkp"}, 1, "", kUsage, {}),
    row("missing file", {}, {"drupa", "missing.vkp"}, 1, "", cli::kCannotOpenInput, {}),
    row("input is a directory: output untouched", {{"d.vkp/", ""}, {"d", "keep\n"}},
        {"drupa", "d.vkp"}, 1, "", cli::kCannotOpenInput, {}),
    row("Japanese path", {{kJapanese + ".vkp", kSmallVkp}}, {"drupa", kJapanese + ".vkp"}, 0,
        kSmallSizes, "", {{kJapanese, kSmall}}),
    row("empty file", {{"e.vkp", ""}}, {"drupa", "e.vkp"}, 0, "compressed = 0 -> original = 0\n",
        "", {{"e", ""}}),
    row("seven bytes: the rest reads as zero", {{"s.vkp", std::string("\0\0\0\x09\0\0\x01", 7)}},
        {"drupa", "s.vkp"}, 0, "compressed = 9 -> original = 256\n", "",
        {{"s", std::string(256, '\0')}}),
    row("negative sizes print signed, empty output",
        {{"n.vkp", std::string("\xFF\xFF\xFF\xFE\x80\0\0\0\xFF"
                               "abcdefgh",
                               17)}},
        {"drupa", "n.vkp"}, 0, "compressed = -2 -> original = -2147483648\n", "", {{"n", ""}}),
    row("expands a packed file", {{"t.vkp", kLargeVkp}}, {"drupa", "t.vkp"}, 0,
        sizesLine(kLargeVkp), "", {{"t", kLarge}}),
    row("expands a disk-sized file", {{"t.vkp", kDiskVkp}}, {"drupa", "t.vkp"}, 0,
        sizesLine(kDiskVkp), "", {{"t", kDisk}}),
    row("expands a file of more than 1 MiB", {{"t.vkp", kHugeVkp}}, {"drupa", "t.vkp"}, 0,
        sizesLine(kHugeVkp), "", {{"t", kHuge}}),
    row("input is a device: read to its end", {{"n.vkp", "->/dev/null"}}, {"drupa", "n.vkp"}, 0,
        "compressed = 0 -> original = 0\n", "", {{"n", ""}}),
    row("several full stops", {{"a.tar.vkp", kSmallVkp}}, {"drupa", "a.tar.vkp"}, 0, kSmallSizes,
        "", {{"a.tar", kSmall}}),
    row("full stop only in a directory name", {{"d.x/file", kSmallVkp}}, {"drupa", "d.x/file"}, 0,
        kSmallSizes, "", {{"d", kSmall}}),
    row("dot slash: empty output name", {{"name", kSmallVkp}}, {"drupa", "./name"}, 1, kSmallSizes,
        cli::kCannotOpenOutput, {}),
    row("no full stop: input untouched", {{"name", kSmallVkp}}, {"drupa", "name"}, 1, kSmallSizes,
        kNoExtension, {}),
    row("existing output replaced", {{"r", std::string(5000, 'x')}, {"r.vkp", kSmallVkp}},
        {"drupa", "r.vkp"}, 0, kSmallSizes, "", {{"r", kSmall}}),
    // Wine cannot remove a link to a device.
    row("write error on close", {{"f", "->/dev/full"}, {"f.vkp", kSmallVkp}}, {"drupa", "f.vkp"}, 1,
        kSmallSizes, cli::kCannotWriteOutput, {{"f", kGone}}, Platform::kLinux),
    row("write error while expanding", {{"f", "->/dev/full"}, {"f.vkp", kLargeVkp}},
        {"drupa", "f.vkp"}, 1, sizesLine(kLargeVkp), cli::kCannotWriteOutput, {{"f", kGone}},
        Platform::kLinux),
    row("write error in a file of more than 1 MiB", {{"f", "->/dev/full"}, {"f.vkp", kHugeVkp}},
        {"drupa", "f.vkp"}, 1, sizesLine(kHugeVkp), cli::kCannotWriteOutput, {{"f", kGone}},
        Platform::kLinux),
    row("longest openable path", {{"x.vkp", kSmallVkp}}, {"drupa", kLongPath}, 0, kSmallSizes, "",
        {{"x", kSmall}}),
    row("a path too long to open", {{"x.vkp", kSmallVkp}}, {"drupa", "./" + kLongPath}, 1, "",
        cli::kCannotOpenInput, {}, Platform::kLinux),
    // Windows opens it; its output name would not fit.
    row("a path too long for the output name", {{"x.vkp", kSmallVkp}}, {"drupa", "./" + kLongPath},
        1, kSmallSizes, kNameTooLong, {}, Platform::kWindows),
};

class DrupaCli : public testing::TestWithParam<cli::Case> {};

TEST_P(DrupaCli, StatusOutputAndFiles) {
    cli::expectRun(DRUPA_PATH, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Rows, DrupaCli, testing::ValuesIn(kCases), CaseName());

// Only the first 16 MiB of the file are read; the stream then continues with zero bytes.
TEST(DrupaCli, ReadsOnlyTheFirst16MiB) {
    constexpr size_t kBuffer = size_t(16) << 20;
    std::string file(kHeaderSize, '\0');  // literal groups running 4 KiB past the buffer
    while (file.size() < kBuffer + 4096)
        file +=
            "\xFF"
            "abcdefgh";
    const int32_t original = int32_t((file.size() - kHeaderSize) / 9 * 8);
    for (int k = 0; k < 4; ++k)
        file[4 + size_t(k)] = char(uint32_t(original) >> (24 - 8 * k));
    std::string want;
    decode(reinterpret_cast<const uint8_t*>(file.data()), int32_t(kBuffer), original,
           [&](uint8_t b) { want.push_back(char(b)); });
    ASSERT_NE(want.substr(want.size() - 8), "abcdefgh");  // the cut shows in the output
    cli::expectRun(DRUPA_PATH, {"drupa", "big.vkp"}, {{"big.vkp", file}}, 0,
                   "compressed = 0 -> original = " + std::to_string(original) + "\n", "",
                   {{"big", want}});
}

}  // namespace
