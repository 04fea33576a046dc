#include "platform.h"

#include <sys/stat.h>

#ifdef _WIN32
#include <windows.h>

#include <string>
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

bool regularFileSize(std::FILE* file, uint64_t* size) {
    struct _stat64 status {};
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)
        return false;
    *size = uint64_t(status.st_size);
    return true;
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

std::FILE* openFile(const char* path, const char* mode) {
    return std::fopen(path, mode);
}

int removeFile(const char* path) {
    return std::remove(path);
}

bool regularFileSize(std::FILE* file, uint64_t* size) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    *size = uint64_t(status.st_size);
    return true;
}

#endif
