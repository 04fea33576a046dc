// drupa: expands one VKP file into the file named by its path without the last extension.
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
constexpr size_t kBlockSize = size_t(512) << 10;       // output handed to the stream at once

// The decoder's history and output block; static, like the ring it stands for.
uint8_t work[blockWorkSize(kBlockSize)];

// The zero-filled input buffer. On Linux it is a fresh anonymous mapping (zero pages) aligned
// to 2 MiB and marked for transparent huge pages: touching it then costs a few huge-page
// faults instead of one fault per 4 KiB page, which would otherwise take longer than the
// decoding. Elsewhere, and if the mapping fails, it comes from calloc.
struct InputBuffer {
    uint8_t* data = nullptr;
    void* mapping = nullptr;
    size_t mappingSize = 0;
};

InputBuffer allocateInput() {
    InputBuffer buffer;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr size_t kHugePage = size_t(2) << 20;
    const size_t size = kInputBufferSize + kHugePage;
    void* mapping = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping != MAP_FAILED) {
        const uintptr_t start = reinterpret_cast<uintptr_t>(mapping);
        const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t(kHugePage - 1);
        buffer.data = static_cast<uint8_t*>(mapping) + (aligned - start);
        buffer.mapping = mapping;
        buffer.mappingSize = size;
        madvise(buffer.data, kInputBufferSize, MADV_HUGEPAGE);  // a hint: failure is harmless
        return buffer;
    }
#endif
    buffer.data = static_cast<uint8_t*>(std::calloc(kInputBufferSize, 1));
    return buffer;
}

void freeInput(const InputBuffer& buffer) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    if (buffer.mapping != nullptr) {
        munmap(buffer.mapping, buffer.mappingSize);
        return;
    }
#endif
    std::free(buffer.data);
}

bool writeBlock(void* context, const uint8_t* data, size_t size) {
    return std::fwrite(data, 1, size, static_cast<FILE*>(context)) == size;
}

// Steps after the buffer is allocated; the caller frees it on every path.
int expand(const char* path, uint8_t* input) {
    FILE* in = openFile(path, "rb");
    if (in == nullptr) return fail(kCannotOpenInput);
    // Bytes past the end of the file, or past the buffer, stay or read as zero. The count is
    // not needed: the decoder is bounded by the buffer, not by the file. A read that fails (as
    // on a directory, which POSIX systems open) is an input that cannot be read at all.
    std::fread(input, 1, kInputBufferSize, in);
    const bool readFailed = std::ferror(in) != 0;
    std::fclose(in);
    if (readFailed) return fail(kCannotOpenInput);

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

    FILE* out = openFile(outputName, "wb");
    if (out == nullptr) return fail(kCannotOpenOutput);
    bool written =
        decodeBlocks(input, int32_t(kInputBufferSize), original, work, kBlockSize, writeBlock, out);
    written = std::fflush(out) == 0 && written;
    written = std::fclose(out) == 0 && written;
    if (!written) {
        removeFile(outputName);
        return fail(kCannotWriteOutput);
    }
    return 0;
}

int run(int argc, char** argv) {
    if (argc != 2) return fail(kDrupaUsage);
    const InputBuffer buffer = allocateInput();
    if (buffer.data == nullptr) return fail(kCannotAllocate);
    const int status = expand(argv[1], buffer.data);
    freeInput(buffer);
    return status;
}

}  // namespace

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) {
    return runWithUtf8Arguments(argc, argv, run);
}
#else
int main(int argc, char** argv) {
    return run(argc, argv);
}
#endif
