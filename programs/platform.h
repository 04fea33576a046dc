// What the programs do differently on Windows. There the command line is Unicode: each
// program's wmain passes its arguments on as UTF-8, and every path is opened through the
// wide-character API, so Japanese names work whatever the system's ANSI code page. Elsewhere
// arguments and paths are the bytes they are.
#ifndef PROGRAMS_PLATFORM_H
#define PROGRAMS_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

// As std::fopen and std::remove, with a UTF-8 path on Windows. openFile refuses a directory
// everywhere, with errno EISDIR.
std::FILE* openFile(const char* path, const char* mode);
int removeFile(const char* path);

// Creates `path` for writing in binary mode only if no file of that name exists; null with
// errno EEXIST when one does (checked and created in one step, so nothing is replaced).
std::FILE* createNewFile(const char* path);
// Renames `from` to `to`, replacing a file `to` if there is one.
bool replaceFile(const char* from, const char* to);
// Creates directory `path` and any missing parents (as mkdir -p); true when it exists after.
bool makeDirectories(const char* path);

// Writes `bytes` on standard error, after flushing standard output, unless standard error is a
// terminal a person reads: then `readable`, the same text in UTF-8, is shown instead. That is
// a POSIX terminal whose locale (LC_ALL, LC_CTYPE, LANG) reads UTF-8, or a Windows console,
// which is written in UTF-16 whatever its code page.
void writeError(const std::string& bytes, const std::string& readable);

// A name from a disk image (Shift_JIS bytes) in the text writeError shows: converted to UTF-8
// on Windows, where the console shows characters; elsewhere the bytes as they are.
std::string readableImageName(const char* name);

// The size of the regular file open as `file`, in *size. False for anything else (a pipe, a
// terminal, a directory), and when the system cannot tell.
bool regularFileSize(std::FILE* file, uint64_t* size);

// Each program's main: platform.cpp holds the process's own main (wmain on Windows, with the
// arguments converted to UTF-8) and returns what this returns.
int programMain(int argc, char** argv);

#endif  // PROGRAMS_PLATFORM_H
