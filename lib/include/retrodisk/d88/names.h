// Names on the disks are Shift_JIS (code page 932) bytes, whatever the system that reads them;
// names on today's systems are Unicode. These convert one to the other, strictly: a byte
// sequence that is not valid in its encoding, or a character with no form in the other, makes
// the conversion fail rather than come out as a look-alike or a replacement character.
// iconv ("CP932") on POSIX systems, the Win32 code-page API (code page 932) on Windows.
#ifndef RETRODISK_D88_NAMES_H
#define RETRODISK_D88_NAMES_H

#include <string>

namespace retrodisk::d88 {

// Shift_JIS bytes to UTF-8. False (with *utf8 cleared) when `cp932` is not valid CP932.
bool cp932ToUtf8(const std::string& cp932, std::string* utf8);

// UTF-8 to Shift_JIS bytes. False (with *cp932 cleared) when `utf8` is not valid UTF-8 or holds
// a character that CP932 cannot write.
bool utf8ToCp932(const std::string& utf8, std::string* cp932);

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_NAMES_H
