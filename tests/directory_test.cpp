#include <retrodisk/d88/directory.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "case_name.h"

namespace {

using namespace retrodisk::d88;

using testcase::operator<<;

// An 18-byte entry: byte 0, the 13-byte name field as given (short fields padded with
// spaces), start and size.
std::vector<uint8_t> entryBytes(const std::string& nameField, uint32_t start, uint32_t size,
                                uint8_t first = 0) {
    std::vector<uint8_t> e(kEntrySize, ' ');
    e[0] = first;
    for (size_t i = 0; i < nameField.size() && i < 13; ++i)
        e[1 + i] = uint8_t(nameField[i]);
    e[14] = uint8_t(start);
    e[15] = uint8_t(start >> 8);
    e[16] = uint8_t(size);
    e[17] = uint8_t(size >> 8);
    return e;
}

struct EntryCase {
    const char* what;
    std::vector<uint8_t> entry;
    bool parsed;
    const char* name;
    int32_t start, size, track, c, h, r;
    const char* line;
};

const EntryCase kEntryCases[] = {
    {"four letters and spaces", entryBytes("FILE", 0x0008, 3000), true, "FILE", 8, 3000, 1, 0, 1, 1,
     "FILE          START=0008 SIZE=0bb8\n"},
    {"13 letters", entryBytes("ABCDEFGHIJKLM", 0x0007, 1), true, "ABCDEFGHIJKLM", 7, 1, 0, 0, 0, 8,
     "ABCDEFGHIJKLM START=0007 SIZE=0001\n"},
    {"a space cuts the name", entryBytes("AB CD.TXT", 0x0010, 0), true, "AB", 16, 0, 2, 1, 0, 1,
     "AB            START=0010 SIZE=0000\n"},
    {"a zero byte ends the name", entryBytes(std::string("AB\0CD", 5), 0x0019, 2), true, "AB", 25,
     2, 3, 1, 1, 2, "AB            START=0019 SIZE=0002\n"},
    {"space first: empty name", entryBytes(" X", 0x0123, 0x4567), true, "", 0x123, 0x4567, 0x24,
     0x12, 0, 4, "              START=0123 SIZE=4567\n"},
    {"largest start and size", entryBytes("Z", 0xFFFF, 0xFFFF), true, "Z", 0xFFFF, 0xFFFF, 0x1FFF,
     0xFFF, 1, 8, "Z             START=ffff SIZE=ffff\n"},
    {"byte 0 is not read", entryBytes("Q", 1, 1, 0xE5), true, "Q", 1, 1, 0, 0, 0, 2,
     "Q             START=0001 SIZE=0001\n"},
    {"bytes above 0x7F kept", entryBytes("\x83\x74\x83\x40", 0, 5), true, "\x83\x74\x83\x40", 0, 5,
     0, 0, 0, 1, "\x83\x74\x83\x40          START=0000 SIZE=0005\n"},
    {"control bytes listed as '?'",
     entryBytes("\x01"
                "A\x1B[2J\x7F\x1F\x89\x9B",
                0, 5),
     true,
     "\x01"
     "A\x1B[2J\x7F\x1F\x89\x9B",
     0, 5, 0, 0, 0, 1, "?A?[2J??\x89\x9B    START=0000 SIZE=0005\n"},
    {"zero at offset 1 ends the directory", entryBytes(std::string("\0A", 2), 8, 8), false, "", 0,
     0, 0, 0, 0, 0, ""},
};

class EntryTest : public testing::TestWithParam<EntryCase> {};

TEST_P(EntryTest, ParsesAndLists) {
    const EntryCase& k = GetParam();
    // Put the entry at index 5 of a directory full of other entries.
    std::vector<uint8_t> directory(kDirectorySize, 'X');
    std::copy(k.entry.begin(), k.entry.end(), directory.begin() + std::ptrdiff_t(5) * kEntrySize);
    DirectoryEntry e;
    ASSERT_EQ(parseEntry(directory.data(), 5, &e), k.parsed);
    if (!k.parsed) return;
    EXPECT_STREQ(e.name, k.name);
    EXPECT_EQ(e.start, k.start);
    EXPECT_EQ(e.size, k.size);
    EXPECT_EQ(e.track, k.track);
    EXPECT_EQ(e.c, k.c);
    EXPECT_EQ(e.h, k.h);
    EXPECT_EQ(e.r, k.r);
    char line[kListingLineSize];
    const int length = formatListingLine(e, line);
    EXPECT_EQ(std::string(line, size_t(length)), k.line);
}

INSTANTIATE_TEST_SUITE_P(Directory, EntryTest, testing::ValuesIn(kEntryCases), CaseName());

struct NameCase {
    const char* what;
    const char* name;
    bool safe;
};

const NameCase kNameCases[] = {
    {"plain", "README.TXT", true},
    {"empty is for the caller to skip", "", true},
    {"dot", ".", false},
    {"dot dot", "..", false},
    {"three dots", "...", true},
    {"hidden file", ".bashrc", true},
    {"dots then a letter", "..a", true},
    {"climbing out", "../../.bashrc", false},
    {"subdirectory", "a/b", false},
    {"absolute", "/etc", false},
    {"trailing slash", "DIR/", false},
    {"escape sequence", "A\x1B[2J", false},
    {"line feed", "A\nB", false},
    {"delete", "\x7F", false},
    {"Shift_JIS trail byte 0x9B", "\x89\x9B", true},
#ifdef _WIN32
    {"backslash", "a\\b", false},
    {"drive prefix", "C:X", false},
#else
    {"backslash is a plain byte", "a\\b", true},
    {"colon is a plain byte", "C:X", true},
    {"device names are plain names", "NUL.TXT", true},
#endif
};

class NameTest : public testing::TestWithParam<NameCase> {};

TEST_P(NameTest, RejectsNamesThatLeaveTheDirectory) {
    EXPECT_EQ(isSafeName(GetParam().name), GetParam().safe) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Directory, NameTest, testing::ValuesIn(kNameCases), CaseName());

}  // namespace
