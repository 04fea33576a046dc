// The flat file directory this project reads, and the disk geometry it assumes: a
// double-sided disk of 8 sectors of 1024 bytes per track, numbered 1 to 8. Files sit on
// logical sectors, counted from cylinder 0, head 0, sector 1, the two heads of a cylinder in
// turn: logical sector L is on track L >> 3 (C = L >> 4, H = (L >> 3) & 1), R = (L & 7) + 1.
// The directory is track 0, sectors 3 to 8 (logical sectors 2 to 7).
// Pure functions, no file access, so fuzzers and tests can drive them directly.
#ifndef RETRODISK_D88_DIRECTORY_H
#define RETRODISK_D88_DIRECTORY_H

#include <cstdint>

namespace retrodisk::d88 {

// Geometry: readSectors steps R from kFirstSector to kLastSector on every track.
constexpr int32_t kFirstSector = 1;
constexpr int32_t kLastSector = 8;
constexpr int32_t kSectorsPerTrack = kLastSector - kFirstSector + 1;
constexpr int32_t kSizeCode = 3;  // N: 128 << 3 = 1024 bytes
constexpr int32_t kSectorSize = 128 << kSizeCode;
// The largest disk of this geometry, 77 cylinders: enough room for any one file.
constexpr int32_t kDiskBytes = 77 * 2 * kSectorsPerTrack * kSectorSize;

// Where the directory is: track 0, C 0, H 0, from R 3 on, kDirectorySize bytes.
constexpr int32_t kDirectoryTrack = 0;
constexpr int32_t kDirectorySector = 3;
constexpr int kDirectorySize = 6144;

// DirectoryEntry, 18 bytes: +0 unused  +1 name (13, space padded; 0 ends the directory)
//                           +14 start logical sector (u16 LE)  +16 size in bytes (u16 LE)
// At most kMaxEntries are examined; the last 6 bytes of the area are never looked at.
constexpr int kEntrySize = 18;
constexpr int kMaxEntries = 341;
constexpr int kNameLength = 13;
constexpr int kNameOffset = 1;
constexpr int kStartOffset = 14;
constexpr int kSizeOffset = 16;

struct DirectoryEntry {
    char name[kNameLength + 1];  // up to the first space, zero-terminated
    int32_t start;               // logical sector of the file's first sector
    int32_t size;                // length in bytes
    int32_t track, c, h, r;      // where the first sector is: track = start >> 3, ...
};

// Parses entry `index` (0 to kMaxEntries - 1) of the kDirectorySize-byte directory area; false at
// the end-of-directory marker (a zero byte at offset 1) or for an index out of range.
bool parseEntry(const uint8_t* directory, int index, DirectoryEntry* entry);

// The name as it is printed: at most kNameLength bytes of `name`, each control byte (0x01 to
// 0x1F, 0x7F) replaced by '?', zero-terminated in `printable` (kNameLength + 1 bytes). A name
// from an image then can neither split an output line nor send a terminal a control sequence.
// Bytes 0x80 to 0xFF are Shift_JIS lead and trail bytes and stay as they are.
void printableName(const char* name, char* printable);

// The listing line "%-13s START=%04x SIZE=%04x\n" of the printable name into `line` (at least
// kListingLineSize bytes); returns its length.
constexpr int kListingLineSize = 40;
int formatListingLine(const DirectoryEntry& entry, char* line);

// True when the entry name `name` (Shift_JIS bytes) may be used as a file name in the working
// directory: isSafeFileName (names.h) of the name as the file system sees it, which on Windows
// is its characters, so it must also be valid Shift_JIS there. An empty name is not unsafe;
// callers skip it.
bool isSafeName(const char* name);

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_DIRECTORY_H
