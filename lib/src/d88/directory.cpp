#include <retrodisk/d88/directory.h>

#include <cstdio>
#include <string>

#include <retrodisk/d88/names.h>

#include "bytes.h"

namespace retrodisk::d88 {

bool parseEntry(const uint8_t* directory, int index, DirectoryEntry* entry) {
    if (index < 0 || index >= kMaxEntries) return false;
    const uint8_t* e = directory + size_t(kEntrySize) * size_t(index);
    if (e[kNameOffset] == 0) return false;  // end of the directory

    // The name runs up to the first space; a zero byte among the copied ones ends it as a
    // string, so stop there too.
    int length = 0;
    while (length < kNameLength && e[kNameOffset + length] != ' ' && e[kNameOffset + length] != 0) {
        entry->name[length] = char(e[kNameOffset + length]);
        ++length;
    }
    entry->name[length] = '\0';
    entry->start = readU16LE(e + kStartOffset);
    entry->size = readU16LE(e + kSizeOffset);
    // Logical sector L: 8 sectors per track, the two heads of a cylinder in turn.
    entry->track = entry->start >> 3;
    entry->c = entry->track >> 1;
    entry->h = entry->track & 1;
    entry->r = (entry->start & 7) + 1;
    return true;
}

namespace {

bool isControlByte(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (b >= 0x01 && b <= 0x1F) || b == 0x7F;
}

}  // namespace

void printableName(const char* name, char* printable) {
    int length = 0;
    for (; length < kNameLength && name[length] != '\0'; ++length)
        printable[length] = isControlByte(name[length]) ? '?' : name[length];
    printable[length] = '\0';
}

int formatListingLine(const DirectoryEntry& entry, char* line) {
    char name[kNameLength + 1];
    printableName(entry.name, name);
    return std::snprintf(line, kListingLineSize, "%-13s START=%04x SIZE=%04x\n", name,
                         unsigned(entry.start), unsigned(entry.size));
}

bool isSafeName(const char* name) {
    if (name[0] == '\0') return true;  // nothing is written for it; callers skip it
#ifdef _WIN32
    // Windows reads the name as Shift_JIS characters, so check those, not the bytes: a trail
    // byte may be 0x5C, which is not a backslash there.
    std::string utf8;
    return cp932ToUtf8(name, &utf8) && isSafeFileName(utf8);
#else
    return isSafeFileName(name);
#endif
}

}  // namespace retrodisk::d88
