// Opening, reading and writing files by path. On Windows a path is UTF-8 and is opened through
// the wide-character API, so any name works whatever the system's ANSI code page; elsewhere a
// path is passed on as the bytes it is. Internal to the library.
#ifndef RETRODISK_SRC_FILE_H
#define RETRODISK_SRC_FILE_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

#include <retrodisk/d88/editor.h>

namespace retrodisk {

// As std::fopen(path, mode); null when the file cannot be opened or is a directory.
std::FILE* openFile(const char* path, const char* mode);

// Reads the whole regular file at `path` into *data; false, with *failure set, when it cannot
// be read or holds more than `limit` bytes.
bool readWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data,
                   d88::FileFailure* failure);

// Replaces the file at `path` (or creates it) with data[0, size): the bytes go to a new
// temporary file in the same directory, which is flushed to the disk, given the old file's
// permission bits and renamed over it. A symbolic link at `path` is followed: the link stays
// and its target is replaced. On any failure the temporary file is removed and `path` is as
// it was.
bool writeFileAtomically(const char* path, const uint8_t* data, size_t size,
                         d88::FileFailure* failure);

// Creates `path` only if nothing has that name (checked and created in one step), writes
// data[0, size) and flushes it to the disk; a file that cannot be written whole is removed.
bool writeNewFile(const char* path, const uint8_t* data, size_t size, d88::FileFailure* failure);

}  // namespace retrodisk

#endif  // RETRODISK_SRC_FILE_H
