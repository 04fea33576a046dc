#include "file.h"

#ifdef _WIN32
#include <windows.h>

#include <string>
#else
#include <sys/stat.h>

#include <cerrno>
#endif

namespace retrodisk {

#ifdef _WIN32

namespace {

// UTF-8 to UTF-16; an empty result for text that is not valid UTF-8.
std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length);
    wide.resize(size_t(length) - 1);  // the terminator
    return wide;
}

}  // namespace

std::FILE* openFile(const char* path, const char* mode) {
    const std::wstring widePath = widen(path);
    const std::wstring wideMode = widen(mode);
    if (widePath.empty()) return nullptr;
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

#else

std::FILE* openFile(const char* path, const char* mode) {
    std::FILE* file = std::fopen(path, mode);
    // fopen opens a directory for reading here, and every read then fails; refuse it as
    // Windows does, so a directory is a file that cannot be opened everywhere.
    struct stat status {};
    if (file != nullptr && fstat(fileno(file), &status) == 0 && S_ISDIR(status.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

#endif

}  // namespace retrodisk
