// The file operations only d88 uses (see platform.h); the other programs do not link them.
#include <cerrno>
#include <cstdint>
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
#include <sys/mman.h>
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

LargeBuffer::LargeBuffer(size_t size) : data_(new uint8_t[size]) {}

void LargeBuffer::release() {
    delete[] data_;
    data_ = nullptr;
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

namespace {

// LargeBuffer maps room from kMapFrom bytes on, in whole kHugePage units.
constexpr size_t kMapFrom = size_t(256) << 10;
constexpr size_t kHugePage = size_t(2) << 20;

// Maps `size` bytes (a multiple of kHugePage) at a kHugePage boundary, in huge pages where the
// kernel gives them, every page mapped in; null when it cannot.
uint8_t* mapLarge(size_t size) {
#if defined(MADV_HUGEPAGE) && defined(MAP_ANONYMOUS)
    // One huge page more than asked for, so that an aligned start lies inside; the ends
    // beyond what is used are given back.
    void* mapped = mmap(nullptr, size + kHugePage, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) return nullptr;
    auto* const begin = static_cast<uint8_t*>(mapped);
    const size_t lead = (kHugePage - uintptr_t(begin) % kHugePage) % kHugePage;
    uint8_t* const memory = begin + lead;
    if (lead > 0) munmap(begin, lead);
    munmap(memory + size, kHugePage - lead);  // never 0 bytes: lead < kHugePage
    (void)madvise(memory, size, MADV_HUGEPAGE);  // hints: without them, the pages come one by one
#ifdef MADV_POPULATE_WRITE
    (void)madvise(memory, size, MADV_POPULATE_WRITE);
#endif
    return memory;
#else
    (void)size;
    return nullptr;
#endif
}

}  // namespace

LargeBuffer::LargeBuffer(size_t size) {
    if (size >= kMapFrom && size <= SIZE_MAX - 2 * kHugePage) {
        const size_t rounded = (size + kHugePage - 1) / kHugePage * kHugePage;
        data_ = mapLarge(rounded);
        if (data_ != nullptr) mapped_ = rounded;
    }
    if (data_ == nullptr) data_ = new uint8_t[size];
}

void LargeBuffer::release() {
    if (mapped_ > 0)
        munmap(data_, mapped_);
    else
        delete[] data_;
    data_ = nullptr;
    mapped_ = 0;
}

std::string fileNameKey(const std::string& name) {
    return name;
}

bool replaceFile(const char* from, const char* to) {
    return std::rename(from, to) == 0;
}

#endif

LargeBuffer::~LargeBuffer() {
    release();
}

LargeBuffer::LargeBuffer(LargeBuffer&& other) noexcept : data_(other.data_), mapped_(other.mapped_) {
    other.data_ = nullptr;
    other.mapped_ = 0;
}

LargeBuffer& LargeBuffer::operator=(LargeBuffer&& other) noexcept {
    if (this != &other) {
        release();
        data_ = other.data_;
        mapped_ = other.mapped_;
        other.data_ = nullptr;
        other.mapped_ = 0;
    }
    return *this;
}

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
