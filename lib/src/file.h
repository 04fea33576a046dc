// Opening files by path. On Windows a path is UTF-8 and is opened through the wide-character
// API, so any name works whatever the system's ANSI code page; elsewhere a path is passed on
// as the bytes it is. Internal to the library.
#ifndef RETRODISK_SRC_FILE_H
#define RETRODISK_SRC_FILE_H

#include <cstdio>

namespace retrodisk {

// As std::fopen(path, mode); null when the file cannot be opened or is a directory.
std::FILE* openFile(const char* path, const char* mode);

}  // namespace retrodisk

#endif  // RETRODISK_SRC_FILE_H
