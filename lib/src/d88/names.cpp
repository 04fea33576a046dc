#include <retrodisk/d88/names.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>
#include <vector>

#include "d88/cp932_table.h"

namespace retrodisk::d88 {

namespace {

// Single bytes 0xA1-0xDF are the half-width katakana U+FF61-U+FF9F.
constexpr uint8_t kFirstKana = 0xA1;
constexpr uint8_t kLastKana = 0xDF;
constexpr uint32_t kFirstKanaCodePoint = 0xFF61;
constexpr uint32_t kLastKanaCodePoint = kFirstKanaCodePoint + (kLastKana - kFirstKana);

// The character of the double-byte code lead, trail; 0 when there is none.
uint32_t decodePair(uint8_t lead, uint8_t trail) {
    if (!isShiftJisLead(lead) || !isShiftJisTrail(trail)) return 0;
    const int index = cp932::trailIndex(trail);
    if (lead >= cp932::kFirstUserLead && lead <= cp932::kLastUserLead)
        return cp932::kFirstUserCodePoint +
               uint32_t(lead - cp932::kFirstUserLead) * cp932::kTrailCount + uint32_t(index);
    const uint8_t row = cp932::kRowOfLead[lead - cp932::kFirstLead];
    return row == cp932::kNoRow ? 0 : cp932::kRows[row][index];
}

void appendUtf8(uint32_t u, std::string* out) {
    if (u < 0x80) {
        *out += char(u);
    } else if (u < 0x800) {
        *out += char(0xC0 | u >> 6);
        *out += char(0x80 | (u & 0x3F));
    } else {  // every character of the table lies below U+10000
        *out += char(0xE0 | u >> 12);
        *out += char(0x80 | (u >> 6 & 0x3F));
        *out += char(0x80 | (u & 0x3F));
    }
}

// The code point of the UTF-8 sequence at in[*at], which moves past it; false (with *at left
// as it was) when the bytes there are not the shortest form of a Unicode scalar value: no
// stray continuation byte, no overlong form, no surrogate, nothing past U+10FFFF, nothing cut
// short.
bool nextUtf8(const std::string& in, size_t* at, uint32_t* u) {
    const auto lead = uint8_t(in[*at]);
    size_t length = 0;
    uint32_t value = 0;
    uint32_t minimum = 0;  // the least value this length may carry
    if (lead < 0x80) {
        length = 1, value = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, value = lead & 0x1Fu, minimum = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, value = lead & 0x0Fu, minimum = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, value = lead & 0x07u, minimum = 0x10000;
    } else {
        return false;  // a continuation byte, 0xC0 and 0xC1 (overlong), 0xF5-0xFF
    }
    if (in.size() - *at < length) return false;
    for (size_t k = 1; k < length; ++k) {
        const auto b = uint8_t(in[*at + k]);
        if ((b & 0xC0) != 0x80) return false;
        value = value << 6 | (b & 0x3Fu);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
    *u = value;
    *at += length;
    return true;
}

// Character -> double-byte code, sorted by character, for every code of the table that an
// encoder writes. Built at first use from the decoding table, so the two cannot disagree.
using Reverse = std::vector<std::pair<uint16_t, uint16_t>>;

const Reverse& reverseTable() {
    static const Reverse table = [] {
        Reverse pairs;
        for (unsigned lead = cp932::kFirstLead; lead <= cp932::kLastLead; ++lead) {
            for (unsigned trail = 0x40; trail <= 0xFC; ++trail) {
                const uint32_t u = decodePair(uint8_t(lead), uint8_t(trail));
                const auto code = uint16_t(lead << 8 | trail);
                if (u == 0 ||
                    std::binary_search(cp932::kNotWritten,
                                       cp932::kNotWritten + cp932::kNotWrittenCount, code))
                    continue;
                pairs.emplace_back(uint16_t(u), code);
            }
        }
        std::sort(pairs.begin(), pairs.end());
        return pairs;
    }();
    return table;
}

}  // namespace

bool cp932ToUtf8(const std::string& cp932, std::string* utf8) {
    utf8->clear();
    utf8->reserve(cp932.size());
    for (size_t i = 0; i < cp932.size(); ++i) {
        const auto b = uint8_t(cp932[i]);
        uint32_t u = 0;
        if (b < 0x80) {
            u = b;
        } else if (b >= kFirstKana && b <= kLastKana) {
            u = kFirstKanaCodePoint + (b - kFirstKana);
        } else if (i + 1 < cp932.size()) {
            // A lead byte and its trail; 0x80, 0xA0 and 0xFD-0xFF are no character at all.
            u = decodePair(b, uint8_t(cp932[++i]));
        }
        if (u == 0 && b != 0) {
            utf8->clear();
            return false;
        }
        appendUtf8(u, utf8);
    }
    return true;
}

bool utf8ToCp932(const std::string& utf8, std::string* cp932) {
    cp932->clear();
    cp932->reserve(utf8.size());
    for (size_t at = 0; at < utf8.size();) {
        uint32_t u = 0;
        bool ok = nextUtf8(utf8, &at, &u);
        if (ok && u < 0x80) {
            *cp932 += char(u);
        } else if (ok && u >= kFirstKanaCodePoint && u <= kLastKanaCodePoint) {
            *cp932 += char(kFirstKana + (u - kFirstKanaCodePoint));
        } else if (ok) {
            // The table is built at the first double-byte character: a name of ASCII and
            // kana, the common case, never pays for it.
            const Reverse& reverse = reverseTable();
            const auto it = std::lower_bound(reverse.begin(), reverse.end(),
                                             std::make_pair(uint16_t(u), uint16_t(0)));
            ok = u <= 0xFFFF && it != reverse.end() && it->first == u;
            if (ok) {
                *cp932 += char(it->second >> 8);
                *cp932 += char(it->second & 0xFF);
            }
        }
        if (!ok) {
            cp932->clear();
            return false;
        }
    }
    return true;
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
