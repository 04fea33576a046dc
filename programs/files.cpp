// The file operations only d88 uses (see platform.h); the other programs do not link them.
#include <cerrno>
#include <string>

#include "platform.h"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <sys/utime.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32

bool makeDirectory(const char* path) {
    const std::wstring widePath = widen(CP_UTF8, path);
    return !widePath.empty() && (_wmkdir(widePath.c_str()) == 0 || errno == EEXIST);
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

#else

bool makeDirectory(const char* path) {
    return ::mkdir(path, 0777) == 0 || errno == EEXIST;
}

bool isSeparator(char c) {
    return c == '/';
}

#endif

}  // namespace

#ifdef _WIN32

bool modificationTime(const char* path, int64_t* seconds) {
    const std::wstring widePath = widen(CP_UTF8, path);
    struct _stat64 st = {};
    if (widePath.empty() || _wstat64(widePath.c_str(), &st) != 0) return false;
    *seconds = int64_t(st.st_mtime);
    return true;
}

bool setModificationTime(const char* path, int64_t seconds) {
    const std::wstring widePath = widen(CP_UTF8, path);
    struct __utimbuf64 times = {seconds, seconds};
    return !widePath.empty() && _wutime64(widePath.c_str(), &times) == 0;
}

bool setOpenFileTime(std::FILE* /*file*/, int64_t /*seconds*/) {
    return false;
}

bool syncToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;  // FlushFileBuffers
}

std::string fileNameKey(const std::string& name) {
    const std::wstring wide = widen(CP_UTF8, name.c_str(), false);
    std::wstring upper(wide.size(), L'\0');
    // kernel32's mapping, not user32's CharUpper: the programs need no DLL beyond kernel32.
    if (!wide.empty() && LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, wide.data(),
                                      int(wide.size()), upper.data(), int(upper.size())) == 0)
        upper = wide;
    return std::string(reinterpret_cast<const char*>(upper.data()), upper.size() * sizeof(wchar_t));
}

bool replaceFile(const char* from, const char* to) {
    const std::wstring wideFrom = widen(CP_UTF8, from);
    const std::wstring wideTo = widen(CP_UTF8, to);
    return !wideFrom.empty() && !wideTo.empty() &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

#else

bool modificationTime(const char* path, int64_t* seconds) {
    struct stat st = {};
    if (::stat(path, &st) != 0) return false;
    *seconds = int64_t(st.st_mtime);
    return true;
}

bool setModificationTime(const char* path, int64_t seconds) {
    const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
    return ::utimensat(AT_FDCWD, path, times, 0) == 0;
}

bool setOpenFileTime(std::FILE* file, int64_t seconds) {
    const struct timespec times[2] = {{time_t(seconds), 0}, {time_t(seconds), 0}};
    return ::futimens(fileno(file), times) == 0;
}

bool syncToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && ::fsync(fileno(file)) == 0;
}

std::string fileNameKey(const std::string& name) {
    return name;
}

bool replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

#endif

bool makeDirectories(const char* path) {
    // Each parent in turn, then the whole path; the last step's result is the answer.
    const std::string whole(path);
    for (size_t i = 1; i < whole.size(); ++i)
        if (isSeparator(whole[i]) && !isSeparator(whole[i - 1]))
            makeDirectory(whole.substr(0, i).c_str());
    if (!makeDirectory(path)) return false;
    errno = ENOTDIR;  // the reason when something else has the name
    return isDirectory(path);
}
