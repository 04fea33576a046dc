// What the programs do differently on Windows. There the command line is Unicode: each
// program's wmain passes its arguments on as UTF-8, and every path is opened through the
// wide-character API, so Japanese names work whatever the system's ANSI code page. Elsewhere
// arguments and paths are the bytes they are. On POSIX systems only files.cpp, which d88
// alone links, needs the C++ library, so a small program that needs no more starts without
// loading it.
#ifndef PROGRAMS_PLATFORM_H
#define PROGRAMS_PLATFORM_H

#include <cstdint>
#include <cstdio>
#include <string>

// As std::fopen and std::remove, with a UTF-8 path on Windows. openFile refuses a directory
// everywhere, with errno EISDIR.
std::FILE* openFile(const char* path, const char* mode);
int removeFile(const char* path);
// True when `path` names a directory.
bool isDirectory(const char* path);

// Writes one failure line on standard error, after whatever standard output holds: `subject`
// and ": " when a subject is given, then the message. To a pipe or a file that is `bytes` (and
// the subject's bytes); on a terminal a person reads it is `readable`, the same text in UTF-8:
// a POSIX terminal whose locale (LC_ALL, LC_CTYPE, LANG) reads UTF-8, where the subject is
// shown as the bytes it is, or a Windows console, written in UTF-16 whatever its code page,
// where the subject is read as Shift_JIS when `subjectIsImageName` (a name from a disk image)
// and as UTF-8 otherwise (text from the command line).
void writeError(const char* subject, bool subjectIsImageName, const char* bytes,
                const char* readable);

// The size of the regular file open as `file`, in *size. False for anything else (a pipe, a
// terminal, a directory), and when the system cannot tell.
bool regularFileSize(std::FILE* file, uint64_t* size);

// --- an output a signal stops the program in the middle of ---------------------------------

// Installs handlers of SIGINT, SIGTERM and SIGHUP (of those the program was not started with
// ignored), or on Windows a console handler of Ctrl-C, Ctrl-Break and the console closing.
// Each removes the output on record (openOutput), then calls `alsoRemove` when given (an
// async-signal-safe function removing the files a library is writing), and ends the program
// as the signal would have: its default action, so the exit status names the signal (on
// Windows, the system's own end of a program stopped by Ctrl-C, STATUS_CONTROL_C_EXIT).
void removeOutputOnSignal(void (*alsoRemove)() = nullptr);
// Opens `path` for writing in binary mode: with `replace` as std::fopen(path, "wb") does,
// otherwise only when nothing has that name (null with errno EEXIST; checked and created in
// one step, so nothing is replaced). A regular file it opens is on record as the output being
// written, from the moment it exists (a handler's signal that comes during the open waits
// until it is on record) until forgetOutput(): one output at a time, of a path under 4096
// bytes.
std::FILE* openOutput(const char* path, bool replace);
// Takes the output off record: call it once the output is complete, renamed or removed.
void forgetOutput();

// Each program's main: platform.cpp holds the process's own main (wmain on Windows, with the
// arguments converted to UTF-8) and returns what this returns.
int programMain(int argc, char** argv);

#ifdef _WIN32
// Text in code page `from` (CP_UTF8, 932) as UTF-16; an empty result for an invalid sequence
// when `strict`, U+FFFD in its place otherwise.
std::wstring widen(unsigned from, const char* text, bool strict = true);
#endif

// --- files.cpp: what d88 needs besides ----------------------------------------------------

// Flushes what `file` holds to the disk itself (fflush first), so that a file renamed over
// another afterwards cannot be found empty after a crash.
bool syncToDisk(std::FILE* file);
// Renames `from` to `to`, replacing a file `to` if there is one.
bool replaceFile(const char* from, const char* to);
// A UTF-8 file name as the file system compares names: on Windows in upper case, as NTFS
// takes names that differ only by case (any letter: ａ and Ａ, α and Α) for one file; as it
// is elsewhere.
std::string fileNameKey(const std::string& name);
// Creates directory `path` and any missing parents (as mkdir -p); true when it exists after.
bool makeDirectories(const char* path);
// The modification time of the file at `path`, in seconds since 1970 (UTC), in *seconds.
bool modificationTime(const char* path, int64_t* seconds);
// Sets the file's modification (and access) time to `seconds` since 1970 (UTC).
bool setModificationTime(const char* path, int64_t seconds);
// The same for the file open as `file`, once what it holds is flushed (no write may follow),
// which spares looking its path up. False where the system cannot (Windows, whose close may
// set the time again): there the caller sets it by the path after closing.
bool setOpenFileTime(std::FILE* file, int64_t seconds);

#endif  // PROGRAMS_PLATFORM_H
