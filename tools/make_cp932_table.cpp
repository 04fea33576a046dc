// Writes lib/src/d88/cp932_table.cpp, the code page 932 table of names.cpp, from glibc's iconv
// "CP932": it decodes every double-byte code and encodes every character that comes out, and
// checks that the rules names.cpp applies without the table (single bytes, the user-defined
// area) are what iconv does. Linux only (glibc); the library itself never uses iconv.
//
//   make_cp932_table OUTPUT      (cmake --build build --target cp932_table)
#include <iconv.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "d88/cp932_table.h"

namespace {

using namespace retrodisk::d88::cp932;

iconv_t gDecoder;  // CP932 -> UTF-32LE
iconv_t gEncoder;  // UTF-32LE -> CP932

// Converts all of `in` with `cd` from its initial state; false when iconv refuses any of it.
bool convert(iconv_t cd, const std::string& in, std::string* out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string input = in;
    char buffer[64];
    char* ip = input.data();
    size_t inLeft = input.size();
    char* op = buffer;
    size_t outLeft = sizeof buffer;
    if (iconv(cd, &ip, &inLeft, &op, &outLeft) == size_t(-1) || inLeft != 0 ||
        iconv(cd, nullptr, nullptr, &op, &outLeft) == size_t(-1))
        return false;
    out->assign(buffer, size_t(op - buffer));
    return true;
}

// The one code point that `bytes` decode to, in *u; false when they fail or give more or fewer.
bool decodeOne(const std::string& bytes, uint32_t* u) {
    std::string utf32;
    if (!convert(gDecoder, bytes, &utf32) || utf32.size() != 4) return false;
    *u = 0;
    for (int k = 3; k >= 0; --k)
        *u = *u << 8 | uint8_t(utf32[size_t(k)]);
    return true;
}

// The bytes iconv writes for code point u, as a number (lead << 8 | trail for two); -1 when
// it writes none.
long encodeOne(uint32_t u) {
    std::string utf32;
    std::string bytes;
    for (int k = 0; k < 4; ++k)
        utf32 += char(u >> (8 * k) & 0xFF);
    if (!convert(gEncoder, utf32, &bytes) || bytes.empty() || bytes.size() > 2) return -1;
    long code = 0;
    for (const char ch : bytes)
        code = code << 8 | uint8_t(ch);
    return code;
}

bool fail(const char* what, unsigned code) {
    std::fprintf(stderr, "make_cp932_table: %s (0x%X)\n", what, code);
    return false;
}

uint8_t trailByte(int index) {
    return uint8_t(index < 0x3F ? 0x40 + index : 0x41 + index);
}

// Single bytes: ASCII as itself, 0xA1-0xDF as U+FF61-U+FF9F, every other byte alone fails (a
// lead byte needs its trail; 0x80, 0xA0 and 0xFD-0xFF are no character). names.cpp applies
// these rules without a table.
bool checkSingleBytes() {
    for (unsigned b = 0; b < 0x100; ++b) {
        const bool valid = b < 0x80 || (b >= 0xA1 && b <= 0xDF);
        const uint32_t want = b < 0x80 ? b : 0xFF61 + b - 0xA1;
        uint32_t u = 0;
        const bool ok = decodeOne(std::string(1, char(b)), &u);
        if (ok != valid || (ok && u != want))
            return fail("a single byte is not what names.cpp assumes", b);
        if (valid && encodeOne(want) != long(b))
            return fail("a single-byte character is written otherwise", b);
    }
    return true;
}

struct Table {
    std::vector<std::vector<uint16_t>> rows;
    std::vector<int> rowOfLead;  // -1: no row
    std::vector<unsigned> notWritten;
};

// The character of one double-byte code in *u (0 for none), checked: a code of the
// user-defined area is U+E000 onwards, any other character lies below U+10000 and is written
// as a code that reads back as it. A code whose character is written as another code goes to
// notWritten.
bool readCode(unsigned lead, int index, uint32_t* u, Table* table) {
    const uint8_t trail = trailByte(index);
    const unsigned code = lead << 8 | trail;
    const bool isLead = (lead >= 0x81 && lead <= 0x9F) || lead >= 0xE0;
    if (!isLead || !decodeOne(std::string{char(lead), char(trail)}, u))
        *u = 0;  // no character (U+0000 is never a pair)
    if (lead >= kFirstUserLead && lead <= kLastUserLead) {
        if (*u != kFirstUserCodePoint + (lead - kFirstUserLead) * kTrailCount + unsigned(index))
            return fail("the user-defined area is not U+E000 onwards", code);
        return encodeOne(*u) == long(code) || fail("a user-defined code is not written", code);
    }
    if (*u == 0) return true;
    if (*u > 0xFFFF) return fail("a code decodes past U+FFFF", code);
    const long written = encodeOne(*u);
    uint32_t back = 0;
    if (written < 0 || !decodeOne(std::string{char(written >> 8), char(written)}, &back) ||
        back != *u)
        return fail("a character does not encode back to a code of its own", code);
    if (written != long(code)) table->notWritten.push_back(code);
    return true;
}

bool readTable(Table* table) {
    for (unsigned lead = kFirstLead; lead <= kLastLead; ++lead) {
        std::vector<uint16_t> row(kTrailCount, 0);
        bool any = false;
        for (int index = 0; index < kTrailCount; ++index) {
            uint32_t u = 0;
            if (!readCode(lead, index, &u, table)) return false;
            const bool user = lead >= kFirstUserLead && lead <= kLastUserLead;
            if (u == 0 || user) continue;  // the user-defined area needs no row
            row[size_t(index)] = uint16_t(u);
            any = true;
        }
        table->rowOfLead.push_back(any ? int(table->rows.size()) : -1);
        if (any) table->rows.push_back(row);
    }
    return true;
}

// Writes format(0..count-1) as C++ initialisers, `perLine` to a line, each line after `indent`.
template <class Format>
void writeValues(std::FILE* out, size_t count, size_t perLine, const char* indent, Format format) {
    for (size_t i = 0; i < count; ++i)
        std::fprintf(out, "%s%s,", i % perLine == 0 ? indent : " ", format(i).c_str());
}

std::string hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

bool writeTable(const char* path, const Table& table) {
    std::FILE* out = std::fopen(path, "w");
    if (out == nullptr) return fail("cannot create the output", 0);
    std::fputs(
        "// Generated by tools/make_cp932_table.cpp from glibc's iconv \"CP932\"; do not edit.\n"
        "// Regenerate on Linux with `cmake --build build --target cp932_table`. The layout is\n"
        "// described in cp932_table.h.\n"
        "// clang-format off\n"
        "#include \"cp932_table.h\"\n\nnamespace retrodisk::d88::cp932 {\n\n",
        out);
    std::fputs("const uint8_t kRowOfLead[kLastLead - kFirstLead + 1] = {", out);
    writeValues(out, table.rowOfLead.size(), 12, "\n    ", [&](size_t i) {
        return table.rowOfLead[i] < 0 ? std::string("kNoRow") : std::to_string(table.rowOfLead[i]);
    });
    std::fputs("\n};\n\nconst uint16_t kRows[][kTrailCount] = {\n", out);
    unsigned lead = kFirstLead;
    for (const std::vector<uint16_t>& row : table.rows) {
        while (table.rowOfLead[lead - kFirstLead] < 0)
            ++lead;
        std::fprintf(out, "    {  // lead byte 0x%02X", lead++);
        writeValues(out, row.size(), 11, "\n        ", [&](size_t i) { return hex4(row[i]); });
        std::fputs("\n    },\n", out);
    }
    std::fputs("};\n\nconst uint16_t kNotWritten[] = {", out);
    writeValues(out, table.notWritten.size(), 12, "\n    ",
                [&](size_t i) { return hex4(table.notWritten[i]); });
    std::fputs(
        "\n};\nconst size_t kNotWrittenCount = sizeof kNotWritten / sizeof kNotWritten[0];\n"
        "\n}  // namespace retrodisk::d88::cp932\n",
        out);
    return std::fclose(out) == 0 || fail("cannot write the output", 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: make_cp932_table OUTPUT.cpp\n", stderr);
        return 2;
    }
    gDecoder = iconv_open("UTF-32LE", "CP932");
    gEncoder = iconv_open("CP932", "UTF-32LE");
    if (reinterpret_cast<intptr_t>(gDecoder) == -1 || reinterpret_cast<intptr_t>(gEncoder) == -1) {
        fail("iconv has no CP932", 0);
        return 1;
    }
    Table table;
    if (!checkSingleBytes() || !readTable(&table) || !writeTable(argv[1], table)) return 1;
    std::printf("%zu rows, %zu codes not written\n", table.rows.size(), table.notWritten.size());
    return 0;
}
