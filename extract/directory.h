// The disk's flat file directory: 18-byte entries on track 0, sectors 3 to 8.
// Pure functions, no file access, so the fuzzers and tests can drive them directly.
#ifndef EXTRACT_DIRECTORY_H
#define EXTRACT_DIRECTORY_H

#include <cstdint>

// DirectoryEntry, 18 bytes: +0 unused  +1 name (13, space padded; 0 ends the directory)
//                           +14 start logical sector (u16 LE)  +16 size in bytes (u16 LE)
constexpr int kEntrySize = 18;
constexpr int kMaxEntries = 341;
constexpr int kDirectorySize = 6144;
constexpr int kNameLength = 13;

struct DirectoryEntry {
    char name[kNameLength + 1];  // up to the first space, zero-terminated
    int32_t start;               // logical sector of the file's first sector
    int32_t size;                // length in bytes
    int32_t track, c, h, r;      // where the first sector is: track = start >> 3, ...
};

// Parses entry `index` (0 to kMaxEntries - 1) of the kDirectorySize-byte directory area; false at
// the end-of-directory marker (a zero byte at offset 1) or for an index out of range.
bool parseEntry(const uint8_t* directory, int index, DirectoryEntry* entry);

// The listing line "%-13s START=%04x SIZE=%04x\n" into `line` (at least kListingLineSize bytes);
// returns its length.
constexpr int kListingLineSize = 40;
int formatListingLine(const DirectoryEntry& entry, char* line);

// True when `name` may be used as a file name in the working directory: not "." or "..",
// no '/' (on Windows no '\\' or ':' either). An empty name is not unsafe; callers skip it.
bool isSafeName(const char* name);

#endif  // EXTRACT_DIRECTORY_H
