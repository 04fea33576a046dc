// The Shift_JIS table of names.cpp against a real converter on every one- and two-byte
// sequence and every Unicode scalar value: glibc's iconv "CP932", and on Windows the system's
// code page 932. The table's encoder writes only what decodes back to the same character.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <retrodisk/d88/names.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

namespace {

using retrodisk::d88::cp932ToUtf8;
using retrodisk::d88::utf8ToCp932;

std::string utf8Of(uint32_t u) {
    std::string s;
    if (u < 0x80) return std::string(1, char(u));
    if (u < 0x800) return s + char(0xC0 | u >> 6) + char(0x80 | (u & 0x3F));
    const char last = char(0x80 | (u & 0x3F));
    const char middle = char(0x80 | (u >> 6 & 0x3F));
    if (u < 0x10000) return s + char(0xE0 | u >> 12) + middle + last;
    return s + char(0xF0 | u >> 18) + char(0x80 | (u >> 12 & 0x3F)) + middle + last;
}

// Every sequence of one and two bytes; with `utf8` also three- and four-byte ones whose first
// byte is a UTF-8 lead of that length or none, the rest from the edges of the continuation
// range (overlong forms, surrogates, code points past U+10FFFF, sequences cut short).
std::vector<std::string> sequences(bool utf8) {
    std::vector<std::string> all;
    for (unsigned b = 0; b < 0x100; ++b)
        all.emplace_back(1, char(b));
    for (unsigned b = 0; b < 0x10000; ++b)
        all.push_back({char(b >> 8), char(b & 0xFF)});
    const unsigned edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xFF};
    for (unsigned lead = 0xE0; utf8 && lead <= 0xFF; ++lead)
        for (unsigned second = 0; second < 0x100; ++second)
            for (const unsigned third : edges) {
                all.push_back({char(lead), char(second), char(third)});
                for (const unsigned fourth : {0x41u, 0x80u, 0xBFu})
                    if (lead >= 0xF0)
                        all.push_back({char(lead), char(second), char(third), char(fourth)});
            }
    return all;
}

std::string hex(const std::string& bytes) {
    std::string out;
    for (const char ch : bytes)
        out += " " + std::string(1, "0123456789abcdef"[uint8_t(ch) >> 4]) +
               "0123456789abcdef"[ch & 0xF];
    return out;
}

// Reports at most a few of many differences.
void expectSame(const std::string& in, bool ok, const std::string& have, bool wantOk,
                const std::string& want, int* failures) {
    if ((ok == wantOk && (!ok || have == want)) || ++*failures > 10) return;
    ADD_FAILURE() << "bytes" << hex(in) << ": have " << (ok ? hex(have) : " a failure") << ", want "
                  << (wantOk ? hex(want) : " a failure");
}

#ifdef _WIN32
// The system's code page 932 (verified under Wine only): no best-fit look-alikes, no default
// character. It differs from glibc in U+0080 (Windows maps it to and from the byte 0x80) and
// in U+F8F0-U+F8F3 (written as 0xA0, 0xFD-0xFF, which decode to nothing); the table has none.
bool fromWide(UINT page, const std::wstring& wide, std::string* out) {
    char buffer[64];
    BOOL usedDefault = FALSE;
    const int n =
        WideCharToMultiByte(page, page == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS,
                            wide.data(), int(wide.size()), buffer, int(sizeof buffer), nullptr,
                            page == CP_UTF8 ? nullptr : &usedDefault);
    out->assign(buffer, n > 0 && !usedDefault ? size_t(n) : 0);
    return n > 0 && !usedDefault &&
           wide.find_first_of(L"\u0080\uF8F0\uF8F1\uF8F2\uF8F3") == std::wstring::npos;
}
bool convert(UINT from, UINT to, const std::string& in, std::string* out) {
    wchar_t wide[16];
    const int n =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), wide, 16);
    out->clear();
    return n > 0 && fromWide(to, std::wstring(wide, size_t(n)), out);
}
bool oracleDecode(const std::string& in, std::string* out) {
    return convert(932, CP_UTF8, in, out);
}
bool oracleEncode(const std::string& in, std::string* out) {
    return convert(CP_UTF8, 932, in, out);
}
const std::vector<uint32_t> kLossy = {};
#else
// glibc's iconv. Besides the table's characters, it writes look-alikes that decode to another
// character (U+00A5 YEN SIGN as 0x5C, a backslash; U+301C WAVE DASH as 0x8160, which is
// U+FF5E), and drops the tag characters U+E0000-U+E007F: the table refuses both, as Windows does.
bool iconvConvert(bool toUtf8, const std::string& in, std::string* out) {
    static iconv_t decoder = iconv_open("UTF-8", "CP932");
    static iconv_t encoder = iconv_open("CP932", "UTF-8");
    iconv_t cd = toUtf8 ? decoder : encoder;
    out->clear();
    if (reinterpret_cast<intptr_t>(cd) == -1) return false;  // iconv_open's (iconv_t)-1
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    std::string input = in;
    char buffer[64];
    char* ip = input.data();
    size_t inLeft = input.size();
    char* op = buffer;
    size_t outLeft = sizeof buffer;
    const bool ok = iconv(cd, &ip, &inLeft, &op, &outLeft) != size_t(-1) && inLeft == 0 &&
                    iconv(cd, nullptr, nullptr, &op, &outLeft) != size_t(-1);
    if (ok) out->assign(buffer, size_t(op - buffer));
    return ok;
}
bool oracleDecode(const std::string& in, std::string* out) {
    return iconvConvert(true, in, out);
}
bool oracleEncode(const std::string& in, std::string* out) {
    return iconvConvert(false, in, out);
}
const std::vector<uint32_t> kLossy = {0xA2,   0xA3,   0xA5,   0xAC,  0x2014,
                                      0x2016, 0x203E, 0x2212, 0x301C};
#endif

bool oracleReady() {
    std::string out;
    return oracleDecode("A", &out) && oracleEncode("A", &out);
}

// The table decodes as the system's converter, and encodes as it too wherever that converter
// writes bytes that decode back to the same text; what the table writes always does.
TEST(Cp932, SameAsTheSystemConverter) {
    if (!oracleReady()) GTEST_SKIP() << "no CP932 converter on this system";
    int failures = 0;
    std::string have;
    std::string want;
    std::string back;
    for (const std::string& in : sequences(false)) {
        const bool ok = cp932ToUtf8(in, &have);
        expectSame(in, ok, have, oracleDecode(in, &want), want, &failures);
    }
    auto encodes = [&](const std::string& in) {  // true when the converter's bytes are lossy
        const bool ok = utf8ToCp932(in, &have);
        const bool wantOk = oracleEncode(in, &want);
        const bool lossy = wantOk && !(oracleDecode(want, &back) && back == in);
        expectSame(in, ok, have, wantOk && !lossy, want, &failures);
        if (ok && !(cp932ToUtf8(have, &back) && back == in))
            ADD_FAILURE() << "bytes" << hex(in) << " do not come back from" << hex(have);
        return lossy;
    };
    for (const std::string& in : sequences(true))
        encodes(in);
    std::vector<uint32_t> lossy;
    for (uint32_t u = 0; u <= 0x10FFFF; ++u)
        if ((u < 0xD800 || u > 0xDFFF) && encodes(utf8Of(u)) && (u < 0xE0000 || u > 0xE007F))
            lossy.push_back(u);
    EXPECT_EQ(lossy, kLossy) << "the converter's look-alikes";
}

}  // namespace
