#include <retrodisk/d88/names.h>

#include <algorithm>
#include <cstdio>

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
    // Bytes 0x00-0x7F are the same characters in both: most names need no conversion.
    if (std::all_of(cp932.begin(), cp932.end(),
                    [](char ch) { return static_cast<unsigned char>(ch) < 0x80; })) {
        *utf8 = cp932;
        return true;
    }
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

std::string escapeForDisplay(const std::string& bytes, bool escapeHigh) {
    std::string out;
    out.reserve(bytes.size());
    for (const char ch : bytes) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 || b == 0x7F || (escapeHigh && b >= 0x80)) {
            char escape[5];
            std::snprintf(escape, sizeof escape, "\\x%02x", unsigned(b));
            out += escape;
        } else {
            out += ch;
        }
    }
    return out;
}

namespace {

#ifdef _WIN32
// True when `name` names a device on Windows, with or without an extension: the part before
// the first full stop, in any letter case. Data written there goes to the device, not a file.
bool isDeviceName(const std::string& name) {
    static const char* const kDevices[] = {"CON",  "PRN",  "AUX",  "NUL",  "COM1",   "COM2",
                                           "COM3", "COM4", "COM5", "COM6", "COM7",   "COM8",
                                           "COM9", "LPT1", "LPT2", "LPT3", "LPT4",   "LPT5",
                                           "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    std::string base = name.substr(0, name.find('.'));
    for (char& c : base)
        if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
    for (const char* device : kDevices)
        if (base == device) return true;
    return false;
}
#endif

}  // namespace

bool isSafeFileName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char ch : name) {
        const auto b = static_cast<unsigned char>(ch);
        if (b < 0x20 || b == 0x7F) return false;  // a zero byte too
    }
#ifdef _WIN32
    // Windows also splits paths at '\\' and ':', drops a final full stop, and opens a device
    // for a device name.
    return name.find_first_of("/\\:") == std::string::npos && name.back() != '.' &&
           !isDeviceName(name);
#else
    return name.find('/') == std::string::npos;
#endif
}

}  // namespace retrodisk::d88
