// Names on the disks are Shift_JIS (code page 932) bytes, whatever the system that reads them;
// names on today's systems are Unicode. These convert one to the other, strictly: a byte
// sequence that is not valid in its encoding, or a character with no form in the other, makes
// the conversion fail rather than come out as a look-alike or a replacement character.
// Both go through a table compiled into the library, so a name converts the same on every
// system (Linux, Windows, WebAssembly): code page 932 with the NEC and IBM extensions, the
// half-width katakana 0xA1-0xDF and the user-defined area 0xF040-0xF9FC (U+E000-U+E757), read
// as glibc's iconv "CP932" reads them (the bytes 0x80, 0xA0 and 0xFD-0xFF alone are no
// character). Where several codes stand for one character (NEC row 13 and the IBM extensions
// repeat some), the code written is the one glibc's iconv and Windows write. Only characters
// that read back the same are written: not the look-alikes iconv also writes (U+00A5 YEN SIGN
// as 0x5C, a backslash; U+301C WAVE DASH as 0x8160, which reads as U+FF5E), nor the tag
// characters it drops.
#ifndef RETRODISK_D88_NAMES_H
#define RETRODISK_D88_NAMES_H

#include <cstdint>
#include <string>

namespace retrodisk::d88 {

// A Shift_JIS lead byte, and a byte that can follow one: a pair is one character, whatever
// ASCII its second byte looks like.
inline bool isShiftJisLead(uint8_t b) {
    return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC);
}
inline bool isShiftJisTrail(uint8_t b) {
    return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFC);
}

// Shift_JIS bytes to UTF-8. False (with *utf8 cleared) when `cp932` is not valid CP932.
bool cp932ToUtf8(const std::string& cp932, std::string* utf8);

// UTF-8 to Shift_JIS bytes. False (with *cp932 cleared) when `utf8` is not well-formed UTF-8
// (an overlong form, a surrogate, a code point past U+10FFFF, a sequence cut short) or holds
// a character that CP932 cannot write.
bool utf8ToCp932(const std::string& utf8, std::string* cp932);

// `bytes` made safe to show as text: each byte 0x00-0x1F and 0x7F becomes \xNN (two lowercase
// hex digits), so a name can neither break a line nor send terminal controls; with
// `escapeHigh`, each byte 0x80-0xFF too (a name that is not valid in the output's encoding).
std::string escapeForDisplay(const std::string& bytes, bool escapeHigh = false);

// True when `name` (as the file system will see it: UTF-8 on Windows, bytes elsewhere) may be
// created in the working directory: not empty, not "." or "..", no '/', no byte 0x00-0x1F or
// 0x7F; on Windows also no '\\' or ':', no final '.', and not a device name (CON, PRN, AUX,
// NUL, COM1 to COM9, LPT1 to LPT9, CONIN$, CONOUT$, in any case, with or without an
// extension), which would send the data to a device instead of a file.
bool isSafeFileName(const std::string& name);

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_NAMES_H
