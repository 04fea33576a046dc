#include "file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace retrodisk {

using d88::FileFailure;

namespace {

bool fail(FileFailure* failure, FileFailure::Step step, int error) {
    failure->step = step;
    failure->error = error;
    return false;
}

// The part of `path` up to and including its last separator; empty for a bare name.
std::string directoryPrefix(const std::string& path) {
#ifdef _WIN32
    const size_t at = path.find_last_of("/\\");
#else
    const size_t at = path.rfind('/');
#endif
    return at == std::string::npos ? std::string() : path.substr(0, at + 1);
}

// A hidden name for a temporary file, different on every call. Short on purpose: it must fit
// wherever the image's own name fits. Creation is exclusive, so a clash only costs a retry.
std::string temporaryName() {
    static std::atomic<unsigned> calls{0};
    const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
    uint32_t x = uint32_t(now) ^ uint32_t(uint64_t(now) >> 32) ^ (++calls * 0x9E3779B9u);
    x ^= x >> 16;
    x *= 0x85EBCA6Bu;
    x ^= x >> 13;
    static const char kDigits[] = "0123456789abcdef";
    std::string name = ".d88-";
    for (int shift = 28; shift >= 0; shift -= 4)
        name += kDigits[(x >> shift) & 15];
    return name + ".tmp";
}

// --- the record of unfinished files (removeUnfinishedSaves) ---------------------------------
//
// A slot goes kFree -> kClaimed (its path being written, the file not yet created) -> kArmed
// (the file exists and is unfinished) -> kFree; a handler that removes the file takes it
// kArmed -> kRemoving, and it stays so: the process is ending. Every step is one lock-free
// atomic operation, which a signal handler may use.
enum RecordState : int { kFree, kClaimed, kArmed, kRemoving };
constexpr size_t kRecordPathSize = 4096;
constexpr int kRecordSlots = 4;
struct Record {
    std::atomic<int> state{kFree};
    char path[kRecordPathSize];
};
Record records[kRecordSlots];
static_assert(std::atomic<int>::is_always_lock_free, "a signal handler reads the record");

// A slot with `path` in it, claimed; -1 when the path does not fit or every slot is taken
// (the file is then written all the same, only not on record).
int claimRecord(const std::string& path) {
    if (path.size() >= kRecordPathSize) return -1;
    for (int i = 0; i < kRecordSlots; ++i) {
        int expected = kFree;
        if (records[i].state.compare_exchange_strong(expected, kClaimed)) {
            std::memcpy(records[i].path, path.c_str(), path.size() + 1);
            return i;
        }
    }
    return -1;
}

void armRecord(int slot) {
    if (slot >= 0) records[slot].state.store(kArmed);
}

// Frees the slot, unless a handler is removing its file (its path must stay as it is).
void releaseRecord(int slot) {
    if (slot < 0) return;
    for (int from : {kClaimed, kArmed}) {
        int expected = from;
        if (records[slot].state.compare_exchange_strong(expected, kFree)) return;
    }
}

#ifndef _WIN32

// Holds the signals a program may catch in this thread while it lives, so that a handler
// running in this thread sees a file and its record change together: the file created and on
// record, or renamed (removed) and off it. Those of a fault (SIGSEGV, ...) are never held.
class SignalsHeld {
  public:
    SignalsHeld() {
        sigset_t all;
        sigfillset(&all);
        for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP})
            sigdelset(&all, fault);
        pthread_sigmask(SIG_BLOCK, &all, &old_);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

  private:
    sigset_t old_;
};

#else

// A console's Ctrl-C handler runs in a thread of its own, which waits for a claimed slot
// (see removeUnfinishedSaves): nothing to hold.
class SignalsHeld {
  public:
    SignalsHeld() {}  // user-provided: a guard declared and never named is not "unused"
};

#endif

#ifdef _WIN32

// UTF-8 to UTF-16; an empty result for text that is not valid UTF-8.
std::wstring widen(const char* text) {
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(size_t(length), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, wide.data(), length);
    wide.resize(size_t(length) - 1);  // the terminator
    return wide;
}

// The errno value closest to a Win32 error code, for the message.
int errnoFor(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            return EACCES;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        default:
            return EIO;
    }
}

bool isRegular(std::FILE* file, int64_t* size) {
    struct _stat64 status = {};
    if (_fstat64(_fileno(file), &status) != 0) return false;
    *size = status.st_size;
    if ((status.st_mode & _S_IFMT) == _S_IFREG) return true;
    errno = 0;
    return false;
}

// Shared for deletion, so that removeUnfinishedSaves can delete it while it is open.
int createExclusive(const std::string& path) {
    const std::wstring wide = widen(path.c_str());
    if (wide.empty()) {
        errno = EINVAL;
        return -1;
    }
    HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        errno = errnoFor(GetLastError());
        return -1;
    }
    const int fd = _open_osfhandle(intptr_t(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileW(wide.c_str());
        errno = EMFILE;
    }
    return fd;
}

// One write call: at most 1 GiB, as the call takes an unsigned count.
int64_t writeSome(int fd, const uint8_t* data, size_t size) {
    return _write(fd, data, size > (1u << 30) ? 1u << 30 : unsigned(size));
}

bool syncFile(int fd) {
    return _commit(fd) == 0;  // FlushFileBuffers
}

int closeFile(int fd) {
    return _close(fd);
}

void removePath(const std::string& path) {
    _wremove(widen(path.c_str()).c_str());
}

// Permission bits live in the file's attributes there; a read-only one is refused before.
bool keepMode(int /*fd*/, const std::string& /*target*/) {
    return true;
}

bool renameOver(const std::string& from, const std::string& to) {
    // Write-through: the call returns once the rename is on the disk.
    if (MoveFileExW(widen(from.c_str()).c_str(), widen(to.c_str()).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0)
        return true;
    errno = errnoFor(GetLastError());
    return false;
}

// Whether `target` may be replaced: absent (a new file), or a regular file that is not
// read-only.
bool checkTarget(const std::string& target, FileFailure* failure) {
    const DWORD attributes = GetFileAttributesW(widen(target.c_str()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = GetLastError();
        return code == ERROR_FILE_NOT_FOUND || fail(failure, FileFailure::kOpen, errnoFor(code));
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0)
        return fail(failure, FileFailure::kNotRegular, 0);
    if ((attributes & FILE_ATTRIBUTE_READONLY) != 0)
        return fail(failure, FileFailure::kReadOnly, EACCES);
    return true;
}

std::string followLinks(const char* path) {
    return path;
}

void prefault(void* /*memory*/, size_t /*size*/) {}

std::FILE* openForReading(const char* path) {
    return openFile(path, "rb");
}

#else

// As openFile(path, "rb"), without waiting: a FIFO would block the open until something
// writes to it, and is refused once open as any other file that is not a regular one.
std::FILE* openForReading(const char* path) {
    const int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

bool isRegular(std::FILE* file, int64_t* size) {
    struct stat status = {};
    if (fstat(fileno(file), &status) != 0) return false;
    *size = status.st_size;
    if (S_ISREG(status.st_mode)) return true;
    errno = 0;
    return false;
}

int createExclusive(const std::string& path) {
    // 0666 less the umask, as for any new file; keepMode then gives it the old file's bits.
    return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}

// One write call, made again when a signal interrupts it.
int64_t writeSome(int fd, const uint8_t* data, size_t size) {
    ssize_t n = 0;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

bool syncFile(int fd) {
    return ::fsync(fd) == 0;
}

int closeFile(int fd) {
    return ::close(fd);
}

void removePath(const std::string& path) {
    ::unlink(path.c_str());
}

// Gives the new file the permission bits of `target`, if there is one, its group wherever the
// user belongs to it (an image a group shares stays shared), and its owner where the process
// may (as root); otherwise the file is the user's, like any file they create.
bool keepMode(int fd, const std::string& target) {
    struct stat status = {};
    if (::stat(target.c_str(), &status) != 0) return errno == ENOENT;
    if (fchmod(fd, status.st_mode & 0777) != 0) return false;
    const uid_t owner = geteuid() == 0 ? status.st_uid : uid_t(-1);  // -1: unchanged
    (void)fchown(fd, owner, status.st_gid);                          // best effort
    return true;
}

bool renameOver(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool checkTarget(const std::string& target, FileFailure* failure) {
    struct stat status = {};
    if (::stat(target.c_str(), &status) != 0)
        return errno == ENOENT || fail(failure, FileFailure::kOpen, errno);
    if (!S_ISREG(status.st_mode)) return fail(failure, FileFailure::kNotRegular, 0);
    // The user's own protection: a file they cannot write is not replaced behind it.
    if (::access(target.c_str(), W_OK) != 0) return fail(failure, FileFailure::kReadOnly, errno);
    return true;
}

// `path` with its last component's symbolic links followed, so that the rename replaces the
// file a link points to, not the link. A relative link is taken from the link's directory.
std::string followLinks(const char* path) {
    std::string current = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat status = {};
        if (::lstat(current.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) break;
        char target[4096];
        const ssize_t n = ::readlink(current.c_str(), target, sizeof target);
        if (n <= 0 || size_t(n) == sizeof target) break;
        std::string next = target[0] == '/' ? std::string() : directoryPrefix(current);
        next.append(target, size_t(n));
        current = next;
    }
    return current;
}

// Maps in the pages of memory[0, size) in one call, where the kernel can: a fresh buffer the
// size of an image otherwise takes one page fault per page on its first touch, which costs
// more than reading the file. Only a hint; nothing depends on it.
void prefault(void* memory, size_t size) {
#ifdef MADV_POPULATE_WRITE
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || size < size_t(page)) return;
    // The whole pages inside the buffer: madvise takes a page-aligned start.
    auto* begin = static_cast<char*>(memory);
    const size_t skip = (size_t(page) - uintptr_t(begin) % size_t(page)) % size_t(page);
    if (skip >= size) return;
    const size_t length = (size - skip) / size_t(page) * size_t(page);
    if (length > 0) (void)madvise(begin + skip, length, MADV_POPULATE_WRITE);
#else
    (void)memory;
    (void)size;
#endif
}

#endif

bool writeAll(int fd, const uint8_t* data, size_t size) {
    while (size > 0) {
        const int64_t n = writeSome(fd, data, size);
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        data += n;
        size -= size_t(n);
    }
    return true;
}

// Writes `data` to `fd`, flushes it to the disk and closes `fd`: the errno value of the first
// step that failed, or 0.
int writeSyncClose(int fd, const uint8_t* data, size_t size) {
    int error = 0;
    if (!writeAll(fd, data, size)) error = errno;
    if (error == 0 && !syncFile(fd)) error = errno;
    if (closeFile(fd) != 0 && error == 0) error = errno;
    return error;
}

// Creates `path` as createExclusive does, and puts it on record: *slot is its slot (-1 when
// not on record, or when the file was not created).
int createRecorded(const std::string& path, int* slot) {
    const SignalsHeld held;
    *slot = claimRecord(path);
    const int fd = createExclusive(path);
    if (fd >= 0) {
        armRecord(*slot);
        return fd;
    }
    const int error = errno;
    releaseRecord(*slot);
    *slot = -1;
    errno = error;
    return fd;
}

}  // namespace

#ifdef _WIN32

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

bool readWholeFile(const char* path, size_t limit, std::vector<uint8_t>* data,
                   FileFailure* failure) {
    std::FILE* in = openForReading(path);
    if (in == nullptr) return fail(failure, FileFailure::kOpen, errno);
    int64_t size = 0;
    if (!isRegular(in, &size)) {
        const int error = errno;
        std::fclose(in);
        return fail(failure, error == 0 ? FileFailure::kNotRegular : FileFailure::kRead, error);
    }
    if (size < 0 || uint64_t(size) > limit) {
        std::fclose(in);
        return fail(failure, FileFailure::kTooLarge, 0);
    }
    data->clear();
    data->reserve(size_t(size));
    prefault(data->data(), size_t(size));
    data->resize(size_t(size));
    const size_t got = std::fread(data->data(), 1, data->size(), in);
    const int error = errno;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) return fail(failure, FileFailure::kRead, error);
    data->resize(got);  // the file was cut short while being read
    return true;
}

bool writeFileAtomically(const char* path, const uint8_t* data, size_t size, FileFailure* failure) {
    const std::string target = followLinks(path);
    if (!checkTarget(target, failure)) return false;
    const std::string prefix = directoryPrefix(target);
    std::string temporary;
    int fd = -1;
    int slot = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = prefix + temporaryName();
        fd = createRecorded(temporary, &slot);
        if (fd < 0 && (errno != EEXIST || attempt == 99))
            return fail(failure, FileFailure::kCreate, errno);
    }
    int error = 0;
    FileFailure::Step step = FileFailure::kWrite;
    if (keepMode(fd, target)) {
        error = writeSyncClose(fd, data, size);
    } else {
        error = errno;
        closeFile(fd);
    }
    const SignalsHeld held;  // renamed or removed, and off the record, as one step
    if (error == 0 && !renameOver(temporary, target)) {
        error = errno;
        step = FileFailure::kReplace;
    }
    if (error != 0) removePath(temporary);
    releaseRecord(slot);
    return error == 0 || fail(failure, step, error);
}

bool writeNewFile(const char* path, const uint8_t* data, size_t size, FileFailure* failure) {
    int slot = -1;
    const int fd = createRecorded(path, &slot);
    if (fd < 0)
        return fail(failure, errno == EEXIST ? FileFailure::kExists : FileFailure::kCreate, errno);
    const int error = writeSyncClose(fd, data, size);
    const SignalsHeld held;
    if (error != 0) removePath(path);
    releaseRecord(slot);
    return error == 0 || fail(failure, FileFailure::kWrite, error);
}

void d88::removeUnfinishedSaves() {
    for (Record& r : records) {
#ifdef _WIN32
        // The saving thread runs on beside this one: a file being created is waited for (a
        // create takes far less than the bound), then removed if it was.
        const ULONGLONG until = GetTickCount64() + 2000;
        while (r.state.load() == kClaimed && GetTickCount64() < until)
            Sleep(1);
#endif
        int expected = kArmed;
        if (!r.state.compare_exchange_strong(expected, kRemoving)) continue;
#ifdef _WIN32
        wchar_t wide[kRecordPathSize];
        if (MultiByteToWideChar(CP_UTF8, 0, r.path, -1, wide, int(kRecordPathSize)) > 0)
            DeleteFileW(wide);
#else
        ::unlink(r.path);
#endif
    }
}

}  // namespace retrodisk
