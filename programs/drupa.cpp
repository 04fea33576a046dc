// drupa: expands one VKP file into the file named by its path without the last extension.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <retrodisk/vkp/decoder.h>

#include "messages.h"
#include "output_name.h"
#include "platform.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace {

using namespace retrodisk::vkp;

constexpr size_t kInputBufferSize = size_t(16) << 20;  // the most of the input that is read
constexpr size_t kOutputNameSize = 4096;               // with the terminating zero

// Output is decoded into blocks sized to it, each handed to the stream in one write. Outputs
// up to kSmallOutput bytes, what files on disks hold, use blocks that fill two pages together
// with the history and the slack: such a file touches no more memory than a stream written
// one byte at a time, and each block is one write of about a page. Up to kLargeOutput bytes,
// 64 KiB blocks; past that, 512 KiB blocks in a work area of its own, in one huge page.
constexpr size_t kPage = 4096;
constexpr int32_t kSmallOutput = int32_t(64) << 10;
constexpr size_t kSmallBlockSize = 2 * kPage - kRingSize - kBlockSlack;
constexpr size_t kMediumBlockSize = size_t(64) << 10;
constexpr int32_t kLargeOutput = int32_t(1) << 20;
constexpr size_t kLargeBlockSize = size_t(512) << 10;

// The decoder's history and output blocks for all but large outputs; static, like the ring
// they stand for. Only the pages an output reaches are ever touched.
uint8_t work[blockWorkSize(kMediumBlockSize)];

// A buffer from malloc or, when `huge` is asked for on Linux, a fresh anonymous mapping
// aligned to 2 MiB and marked for transparent huge pages: filling it then costs a few
// huge-page faults instead of one fault per 4 KiB page, and where faults are dear (in a
// virtual machine) hundreds of them take longer than the decoding. Small buffers stay with
// malloc: clearing a 2 MiB page costs more than the few pages a small file fills.
struct Buffer {
    uint8_t* data = nullptr;
    size_t capacity = 0;
    void* mapping = nullptr;
    size_t mappingSize = 0;
};

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr size_t kHugePage = size_t(2) << 20;
#endif

bool allocateBuffer(Buffer* buffer, size_t capacity, bool huge) {
    buffer->capacity = capacity;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (huge) {
        const size_t rounded = (capacity + kHugePage - 1) & ~(kHugePage - 1);
        const size_t size = rounded + kHugePage;  // room to align the start
        void* mapping =
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapping != MAP_FAILED) {
            const uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
            const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
            buffer->data = static_cast<uint8_t*>(mapping) + (aligned - start);
            buffer->mapping = mapping;
            buffer->mappingSize = size;
            madvise(buffer->data, rounded, MADV_HUGEPAGE);  // a hint: failure is harmless
            return true;
        }
    }
#else
    (void)huge;
#endif
    buffer->data = static_cast<uint8_t*>(std::malloc(capacity));
    return buffer->data != nullptr;
}

void freeBuffer(Buffer* buffer) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (buffer->mapping != nullptr) {
        munmap(buffer->mapping, buffer->mappingSize);
        *buffer = Buffer();
        return;
    }
#endif
    std::free(buffer->data);
    *buffer = Buffer();
}

#if defined(__linux__) && defined(MADV_HUGEPAGE)
// Inputs of a huge page or more go into huge pages.
constexpr size_t kHugeInput = kHugePage;
#else
constexpr size_t kHugeInput = SIZE_MAX;
#endif

// The bytes of `in` there are to read, when that is known before reading: a regular file's
// size, up to the buffer's. Otherwise (a pipe) the whole buffer's worth.
size_t expectedInputSize(std::FILE* in) {
    uint64_t size = 0;
    if (!regularFileSize(in, &size)) return kInputBufferSize;
    return size_t(std::min<uint64_t>(size, kInputBufferSize));
}

// Reads up to kInputBufferSize bytes of `in` into *buffer and their count into *size; the
// decoder reads every byte after them as zero, as if the buffer were zero-filled. The header
// is always there to read: bytes of it past the file's end are zero. False when no buffer
// can be allocated.
bool readInput(std::FILE* in, Buffer* buffer, size_t* size) {
    // One byte more than expected, to meet the end of the file; a file that has grown since
    // its size was taken is read on into a buffer of the full size.
    const size_t expected = expectedInputSize(in);
    const size_t room = std::max(std::min(expected + 1, kInputBufferSize), size_t(kHeaderSize));
    if (!allocateBuffer(buffer, room, room >= kHugeInput)) return false;
    size_t got = std::fread(buffer->data, 1, buffer->capacity, in);
    if (got == buffer->capacity && got < kInputBufferSize) {
        Buffer whole;
        if (!allocateBuffer(&whole, kInputBufferSize, true)) return false;
        std::memcpy(whole.data, buffer->data, got);
        freeBuffer(buffer);
        *buffer = whole;
        got += std::fread(buffer->data + got, 1, kInputBufferSize - got, in);
    }
    if (got < size_t(kHeaderSize)) std::memset(buffer->data + got, 0, size_t(kHeaderSize) - got);
    *size = got;
    return true;
}

bool writeBlock(void* context, const uint8_t* data, size_t size) {
    return std::fwrite(data, 1, size, static_cast<FILE*>(context)) == size;
}

// Decodes into `out`; false after a write error. (A second thread writing one block while
// the next was decoded made large files 20-30% slower on the two-core machines drupa is
// measured on, not faster.)
bool decodeToFile(const uint8_t* input, size_t inputSize, int32_t original, std::FILE* out) {
    const auto inputLength = int32_t(inputSize);
    if (original > kLargeOutput) {
        Buffer area;
        if (allocateBuffer(&area, blockWorkSize(kLargeBlockSize), true)) {
            const bool written = decodeBlocks(input, inputLength, original, area.data,
                                              kLargeBlockSize, writeBlock, out);
            freeBuffer(&area);
            return written;
        }
    }
    const size_t blockSize = original <= kSmallOutput ? kSmallBlockSize : kMediumBlockSize;
    return decodeBlocks(input, inputLength, original, work, blockSize, writeBlock, out);
}

// Steps after the program's arguments are checked; the caller frees the buffer on every path.
int expand(const char* path, Buffer* buffer) {
    FILE* in = openFile(path, "rb");
    if (in == nullptr) return fail(kCannotOpenInput);
    // Bytes past the end of the file, or past the buffer's 16 MiB, read as zero. A read that
    // fails (an I/O error) is an input that cannot be read at all.
    size_t inputSize = 0;
    std::setvbuf(in, nullptr, _IONBF, 0);  // one read into the buffer, not through a copy
    const bool allocated = readInput(in, buffer, &inputSize);
    const bool readFailed = allocated && std::ferror(in) != 0;
    std::fclose(in);
    if (!allocated) return fail(kCannotAllocate);
    if (readFailed) return fail(kCannotOpenInput);
    const uint8_t* input = buffer->data;

    // The one line drupa prints goes through a static buffer: standard output would
    // otherwise allocate (and touch) a page for it.
    static char lineBuffer[128];
    std::setvbuf(stdout, lineBuffer, _IOFBF, sizeof lineBuffer);
    const int32_t original = readU32BE(input + kOriginalSizeOffset);
    const int32_t compressed = readU32BE(input + kCompressedSizeOffset);
    std::printf("compressed = %d -> original = %d\n", int(compressed), int(original));
    std::fflush(stdout);  // the sizes line goes out before any message when both share a file

    char outputName[kOutputNameSize];
    switch (deriveOutputName(path, outputName, sizeof outputName)) {
        case OutputName::kOk:
            break;
        case OutputName::kTooLong:
            return fail(kNameTooLong);
        case OutputName::kNoFullStop:
            return fail(kNoExtension);
    }

    FILE* out = openOutput(outputName, true);
    if (out == nullptr) return fail(kCannotOpenOutput);
    // Only whole blocks are written: the stream's own buffer would merely copy them.
    std::setvbuf(out, nullptr, _IONBF, 0);
    bool written = decodeToFile(input, inputSize, original, out);
    written = std::fflush(out) == 0 && written;
    written = std::fclose(out) == 0 && written;
    if (!written) removeFile(outputName);
    forgetOutput();
    return written ? 0 : fail(kCannotWriteOutput);
}

int run(int argc, char** argv) {
    if (argc != 2) return fail(kDrupaUsage);
    Buffer buffer;
    const int status = expand(argv[1], &buffer);
    freeBuffer(&buffer);
    return status;
}

}  // namespace

int programMain(int argc, char** argv) {
    removeOutputOnSignal();
    return run(argc, argv);
}
