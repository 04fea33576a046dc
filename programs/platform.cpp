#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <string>
#include <vector>
#else
#include <fcntl.h>
#include <langinfo.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#endif

// --- the output on record ---------------------------------------------------------------------

namespace {

// kFree -> kClaimed (the path written, the file not yet open) -> kArmed (open, unfinished)
// -> kFree; a handler removing the file takes it kArmed -> kRemoving for good. Each step is
// one lock-free atomic operation, which a signal handler may use.
enum OutputState : int { kFree, kClaimed, kArmed, kRemoving };
std::atomic<int> outputState{kFree};
char outputPath[4096];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the record");

void (*alsoRemoveOnSignal)() = nullptr;

// The output's path in the record and its state claimed; false when it does not fit.
bool claimOutput(const char* path) {
    const size_t length = std::strlen(path);
    if (length >= sizeof outputPath || outputState.load() != kFree) return false;
    std::memcpy(outputPath, path, length + 1);
    outputState.store(kClaimed);
    return true;
}

// What a handler does first: removes the output on record, if it is open.
void removeOutputNow();

}  // namespace

void forgetOutput() {
    for (int from : {kClaimed, kArmed}) {
        int expected = from;
        if (outputState.compare_exchange_strong(expected, kFree)) return;
    }
}

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

namespace {

void removeOutputNow() {
    // The handler runs in a thread of its own while the program goes on: an output being
    // opened is waited for (an open takes far less than the bound).
    const ULONGLONG until = GetTickCount64() + 2000;
    while (outputState.load() == kClaimed && GetTickCount64() < until)
        Sleep(1);
    int expected = kArmed;
    if (!outputState.compare_exchange_strong(expected, kRemoving)) return;
    wchar_t wide[sizeof outputPath];
    // Deleted while still open (it is shared for that): it goes when the process ends.
    if (MultiByteToWideChar(CP_UTF8, 0, outputPath, -1, wide, int(sizeof outputPath)) > 0)
        DeleteFileW(wide);
}

BOOL WINAPI onConsoleStop(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    removeOutputNow();
    if (alsoRemoveOnSignal != nullptr) alsoRemoveOnSignal();
    return FALSE;  // the system's handler, next, ends the program
}

}  // namespace

void removeOutputOnSignal(void (*alsoRemove)()) {
    alsoRemoveOnSignal = alsoRemove;
    SetConsoleCtrlHandler(onConsoleStop, TRUE);
}

std::FILE* openOutput(const char* path, bool replace) {
    const std::wstring widePath = widen(CP_UTF8, path);
    if (widePath.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    const bool recorded = claimOutput(path);
    // Shared for deletion, so that the console handler can delete it while it is open.
    HANDLE handle = CreateFileW(
        widePath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        nullptr, replace ? CREATE_ALWAYS : CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (recorded) forgetOutput();
        errno = code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS      ? EEXIST
                : code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT
                : isDirectory(path)                                            ? EISDIR
                                                                               : EACCES;
        return nullptr;
    }
    if (recorded) {
        if (GetFileType(handle) == FILE_TYPE_DISK)
            outputState.store(kArmed);
        else
            forgetOutput();  // a device (NUL, CON) is not removed
    }
    const int fd = _open_osfhandle(intptr_t(handle), _O_WRONLY | _O_BINARY);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (file == nullptr) {
        if (fd < 0)
            CloseHandle(handle);
        else
            _close(fd);
        errno = EMFILE;
    }
    return file;
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

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void removeOutputNow() {
    int expected = kArmed;
    if (outputState.compare_exchange_strong(expected, kRemoving)) ::unlink(outputPath);
}

// A signal that came while an output was being opened, which openOutput raises again once
// the output is on record or known not to be there; 0 when none came.
std::atomic<int> deferredSignal{0};
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler sets it");

// Removes what is unfinished, then lets the signal do what it would have done without the
// handler: raised again under the default action, it ends the program once the handler
// returns (it is held until then). While an output is being opened (claimed) the handler
// cannot tell whether the file of its name is the one being created or a file of the user's
// that the open is about to refuse, so it leaves the signal to openOutput: that costs no
// system call per output, where holding the signals around each open costs two.
void onStopSignal(int signal) {
    if (outputState.load() == kClaimed) {
        deferredSignal.store(signal);
        return;
    }
    removeOutputNow();
    if (alsoRemoveOnSignal != nullptr) alsoRemoveOnSignal();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// The signals of kStopSignals, held while a handler runs.
sigset_t stopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals)
        sigaddset(&set, signal);
    return set;
}

}  // namespace

void removeOutputOnSignal(void (*alsoRemove)()) {
    alsoRemoveOnSignal = alsoRemove;
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    action.sa_mask = stopSignals();  // one handler at a time
    for (int signal : kStopSignals) {
        struct sigaction old {};
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (sigaction(signal, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
            sigaction(signal, &action, nullptr);
    }
}

std::FILE* openOutput(const char* path, bool replace) {
    const bool recorded = claimOutput(path);
    const int fd =
        ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC | (replace ? O_TRUNC : O_EXCL), 0666);
    int error = errno;
    if (recorded) {
        // Only a regular file is removed: an output such as /dev/null is not. What O_EXCL
        // opens was created by this open, a regular file.
        struct stat status {};
        if (fd >= 0 && (!replace || (fstat(fd, &status) == 0 && S_ISREG(status.st_mode))))
            outputState.store(kArmed);
        else
            forgetOutput();
        // A signal that came meanwhile is handled now, with the record settled.
        const int signal = deferredSignal.exchange(0);
        if (signal != 0) ::raise(signal);
    }
    std::FILE* file = fd < 0 ? nullptr : fdopen(fd, "wb");
    if (fd >= 0 && file == nullptr) {
        error = errno;
        ::close(fd);
        removeOutputNow();  // if it is on record: created here, or emptied
        forgetOutput();
    }
    errno = error;
    return file;
}

int main(int argc, char** argv) {
    return programMain(argc, argv);
}

#endif
