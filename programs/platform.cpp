#include "platform.h"

#include <cerrno>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <vector>

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

std::string narrow(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string utf8(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(size_t(length) - 1);
    return utf8;
}

bool makeDirectory(const char* path) {
    const std::wstring widePath = widen(path);
    return !widePath.empty() && (_wmkdir(widePath.c_str()) == 0 || errno == EEXIST);
}

bool isDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesW(widen(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

}  // namespace

std::FILE* openFile(const char* path, const char* mode) {
    const std::wstring widePath = widen(path);
    if (widePath.empty()) return nullptr;
    return _wfopen(widePath.c_str(), widen(mode).c_str());
}

int removeFile(const char* path) {
    const std::wstring widePath = widen(path);
    return widePath.empty() ? -1 : _wremove(widePath.c_str());
}

std::FILE* createNewFile(const char* path) {
    const std::wstring widePath = widen(path);
    if (widePath.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    const int fd =
        _wopen(widePath.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (fd < 0) return nullptr;
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) _close(fd);
    return file;
}

bool replaceFile(const char* from, const char* to) {
    const std::wstring wideFrom = widen(from);
    const std::wstring wideTo = widen(to);
    return !wideFrom.empty() && !wideTo.empty() &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

int runWithUtf8Arguments(int argc, wchar_t** argv, int (*run)(int, char**)) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(narrow(argv[i]));
    std::vector<char*> pointers;
    for (std::string& a : arguments)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return run(argc, pointers.data());
}

#else

#include <sys/stat.h>

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

int removeFile(const char* path) {
    return std::remove(path);
}

std::FILE* createNewFile(const char* path) {
    return std::fopen(path, "wbx");  // C11's exclusive mode: O_CREAT | O_EXCL
}

bool replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

namespace {

bool makeDirectory(const char* path) {
    return ::mkdir(path, 0777) == 0 || errno == EEXIST;
}

bool isDirectory(const char* path) {
    struct stat status = {};
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

bool isSeparator(char c) {
    return c == '/';
}

}  // namespace

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
