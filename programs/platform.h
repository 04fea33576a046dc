// What the programs do differently on Windows. There the command line is Unicode: each
// program's wmain passes its arguments on as UTF-8, and every path is opened through the
// wide-character API, so Japanese names work whatever the system's ANSI code page. Elsewhere
// arguments and paths are the bytes they are.
#ifndef PROGRAMS_PLATFORM_H
#define PROGRAMS_PLATFORM_H

#include <cstdint>
#include <cstdio>

// As std::fopen and std::remove, with a UTF-8 path on Windows.
std::FILE* openFile(const char* path, const char* mode);
int removeFile(const char* path);

// The size of the regular file open as `file`, in *size. False for anything else (a pipe, a
// terminal, a directory), and when the system cannot tell.
bool regularFileSize(std::FILE* file, uint64_t* size);

#ifdef _WIN32
// Calls run(argc, argv) with the wide arguments converted to UTF-8; returns its status.
int runWithUtf8Arguments(int argc, wchar_t** argv, int (*run)(int, char**));
#endif

#endif  // PROGRAMS_PLATFORM_H
