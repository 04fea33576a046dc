#include <retrodisk/d88/names.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <vector>
#endif

namespace retrodisk::d88 {

namespace {

#ifdef _WIN32

constexpr UINT kShiftJis = 932;

// Bytes in code page `from` to UTF-16; false on an invalid sequence.
bool toWide(UINT from, const std::string& in, std::wstring* out) {
    out->clear();
    if (in.empty()) return true;
    const int length =
        MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), nullptr, 0);
    if (length <= 0) return false;
    out->resize(size_t(length));
    return MultiByteToWideChar(from, MB_ERR_INVALID_CHARS, in.data(), int(in.size()), out->data(),
                               length) == length;
}

// UTF-16 to bytes in code page `to`; false when a character has no exact form there (no
// best-fit look-alikes, no default character).
bool fromWide(UINT to, const std::wstring& in, std::string* out) {
    out->clear();
    if (in.empty()) return true;
    const DWORD flags = to == CP_UTF8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultPtr = to == CP_UTF8 ? nullptr : &usedDefault;
    const int length = WideCharToMultiByte(to, flags, in.data(), int(in.size()), nullptr, 0,
                                           nullptr, usedDefaultPtr);
    if (length <= 0 || usedDefault) return false;
    out->resize(size_t(length));
    return WideCharToMultiByte(to, flags, in.data(), int(in.size()), out->data(), length, nullptr,
                               usedDefaultPtr) == length &&
           !usedDefault;
}

bool convert(UINT from, UINT to, const std::string& in, std::string* out) {
    std::wstring wide;
    if (toWide(from, in, &wide) && fromWide(to, wide, out)) return true;
    out->clear();
    return false;
}

#else

bool convert(const char* from, const char* to, const std::string& in, std::string* out) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (reinterpret_cast<intptr_t>(cd) == -1) return false;  // iconv_open's (iconv_t)-1
    // Each input byte gives at most 3 bytes of UTF-8 (a half-width katakana) or 2 of CP932.
    std::vector<char> input(in.begin(), in.end());
    std::vector<char> output(in.size() * 3 + 4);
    char* ip = input.data();
    size_t inLeft = input.size();
    char* op = output.data();
    size_t outLeft = output.size();
    // No //TRANSLIT or //IGNORE: glibc then fails with EILSEQ on a byte sequence that is not
    // valid, or a character the target cannot write, and with EINVAL on one cut short.
    const bool ok = iconv(cd, &ip, &inLeft, &op, &outLeft) != size_t(-1) && inLeft == 0 &&
                    iconv(cd, nullptr, nullptr, &op, &outLeft) != size_t(-1);
    iconv_close(cd);
    if (ok) out->assign(output.data(), size_t(op - output.data()));
    return ok;
}

#endif

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
#ifdef _WIN32
    return convert(kShiftJis, CP_UTF8, cp932, utf8);
#else
    return convert("CP932", "UTF-8", cp932, utf8);
#endif
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
#ifdef _WIN32
    return convert(CP_UTF8, kShiftJis, utf8, cp932);
#else
    return convert("UTF-8", "CP932", utf8, cp932);
#endif
}

}  // namespace retrodisk::d88
