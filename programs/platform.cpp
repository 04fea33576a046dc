#include "platform.h"

#include <cerrno>

#ifdef _WIN32
#include <sys/stat.h>
#include <windows.h>

#include <string>
#include <vector>
#else
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#endif

#ifdef _WIN32

std::wstring widen(unsigned from, const char* text, bool strict) {
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int length = MultiByteToWideChar(from, flags, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(from, flags, text, -1, wide.data(), length);
    wide.resize(size_t(length) - 1);  // the terminator
    return wide;
}

namespace {

std::string narrow(const wchar_t* text) {
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string utf8(size_t(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), length, nullptr, nullptr);
    utf8.resize(size_t(length) - 1);
    return utf8;
}

constexpr UINT kShiftJis = 932;

}  // namespace

bool isDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesW(widen(CP_UTF8, path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::FILE* openFile(const char* path, const char* mode) {
    const std::wstring widePath = widen(CP_UTF8, path);
    if (widePath.empty()) return nullptr;
    std::FILE* file = _wfopen(widePath.c_str(), widen(CP_UTF8, mode).c_str());
    if (file == nullptr && isDirectory(path)) errno = EISDIR;  // the reason POSIX gives
    return file;
}

int removeFile(const char* path) {
    const std::wstring widePath = widen(CP_UTF8, path);
    return widePath.empty() ? -1 : _wremove(widePath.c_str());
}

void writeError(const char* subject, bool subjectIsImageName, const char* bytes,
                const char* readable) {
    std::fflush(stdout);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode) != 0) {
        std::wstring text;
        if (subject != nullptr)
            text = widen(subjectIsImageName ? kShiftJis : CP_UTF8, subject, false) + L": ";
        text += widen(CP_UTF8, readable, false);
        DWORD written = 0;
        if (WriteConsoleW(console, text.data(), DWORD(text.size()), &written, nullptr) != 0) return;
    }
    if (subject != nullptr) std::fprintf(stderr, "%s: ", subject);
    std::fputs(bytes, stderr);
}

bool regularFileSize(std::FILE* file, uint64_t* size) {
    struct _stat64 status {};
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG)
        return false;
    *size = uint64_t(status.st_size);
    return true;
}

// The command line arrives as UTF-16 (the program is linked with -municode); the program
// sees it as UTF-8.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(narrow(argv[i]));
    std::vector<char*> pointers;
    for (std::string& a : arguments)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    return programMain(argc, pointers.data());
}

#else

namespace {

// True when standard error is a terminal whose locale reads UTF-8. The locale is set from the
// environment only to ask, and put back, so nothing else the program prints depends on it.
bool errorIsUtf8Terminal() {
    if (isatty(STDERR_FILENO) == 0) return false;
    const char* current = std::setlocale(LC_CTYPE, nullptr);
    char saved[256] = "C";
    if (current != nullptr && std::strlen(current) < sizeof saved) std::strcpy(saved, current);
    if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
    const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    std::setlocale(LC_CTYPE, saved);
    return utf8;
}

}  // namespace

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

int removeFile(const char* path) {
    return std::remove(path);
}

bool isDirectory(const char* path) {
    struct stat status = {};
    return ::stat(path, &status) == 0 && S_ISDIR(status.st_mode);
}

void writeError(const char* subject, bool /*subjectIsImageName*/, const char* bytes,
                const char* readable) {
    std::fflush(stdout);
    if (subject != nullptr) std::fprintf(stderr, "%s: ", subject);
    std::fputs(errorIsUtf8Terminal() ? readable : bytes, stderr);
}

bool regularFileSize(std::FILE* file, uint64_t* size) {
    struct stat status {};
    if (fstat(fileno(file), &status) != 0 || !S_ISREG(status.st_mode)) return false;
    *size = uint64_t(status.st_size);
    return true;
}

int main(int argc, char** argv) {
    return programMain(argc, argv);
}

#endif
