#include "file.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
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

int createExclusive(const std::string& path) {
    const std::wstring wide = widen(path.c_str());
    if (wide.empty()) {
        errno = EINVAL;
        return -1;
    }
    return _wopen(wide.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
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
    for (int attempt = 0; fd < 0; ++attempt) {
        temporary = prefix + temporaryName();
        fd = createExclusive(temporary);
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
    if (error == 0 && !renameOver(temporary, target)) {
        error = errno;
        step = FileFailure::kReplace;
    }
    if (error == 0) return true;
    removePath(temporary);
    return fail(failure, step, error);
}

bool writeNewFile(const char* path, const uint8_t* data, size_t size, FileFailure* failure) {
    const int fd = createExclusive(path);
    if (fd < 0)
        return fail(failure, errno == EEXIST ? FileFailure::kExists : FileFailure::kCreate, errno);
    const int error = writeSyncClose(fd, data, size);
    if (error == 0) return true;
    removePath(path);
    return fail(failure, FileFailure::kWrite, error);
}

}  // namespace retrodisk
