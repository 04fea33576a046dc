#include "platform.h"

#include <cerrno>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <vector>
#else
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstring>
#endif

#ifdef _WIN32

namespace {

// Bytes in code page `from` to UTF-16; an empty result for an invalid sequence when `strict`,
// U+FFFD for it otherwise.
std::wstring widen(UINT from, const char* text, bool strict = true) {
    const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
    const int length = MultiByteToWideChar(from, flags, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(from, flags, text, -1, wide.data(), length);
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
    const std::wstring widePath = widen(CP_UTF8, path);
    return !widePath.empty() && (_wmkdir(widePath.c_str()) == 0 || errno == EEXIST);
}

bool isDirectory(const char* path) {
    const DWORD attributes = GetFileAttributesW(widen(CP_UTF8, path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

constexpr UINT kShiftJis = 932;

}  // namespace

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

std::FILE* createNewFile(const char* path) {
    const std::wstring widePath = widen(CP_UTF8, path);
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
    const std::wstring wideFrom = widen(CP_UTF8, from);
    const std::wstring wideTo = widen(CP_UTF8, to);
    return !wideFrom.empty() && !wideTo.empty() &&
           MoveFileExW(wideFrom.c_str(), wideTo.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

void writeError(const std::string& bytes, const std::string& readable) {
    std::fflush(stdout);
    HANDLE console = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (console != INVALID_HANDLE_VALUE && GetConsoleMode(console, &mode) != 0) {
        const std::wstring text = widen(CP_UTF8, readable.c_str(), false);
        DWORD written = 0;
        if (WriteConsoleW(console, text.data(), DWORD(text.size()), &written, nullptr) != 0) return;
    }
    std::fwrite(bytes.data(), 1, bytes.size(), stderr);
}

std::string readableImageName(const char* name) {
    return narrow(widen(kShiftJis, name, false).c_str());
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
    const std::string saved = current != nullptr ? current : "C";
    if (std::setlocale(LC_CTYPE, "") == nullptr) return false;
    const bool utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    std::setlocale(LC_CTYPE, saved.c_str());
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

void writeError(const std::string& bytes, const std::string& readable) {
    std::fflush(stdout);
    const std::string& text = errorIsUtf8Terminal() ? readable : bytes;
    std::fwrite(text.data(), 1, text.size(), stderr);
}

std::string readableImageName(const char* name) {
    return name;
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
