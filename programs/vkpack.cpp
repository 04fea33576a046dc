// vkpack: packs one file into a VKP file at the same path with ".vkp" appended, which drupa
// expands back to the original bytes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include <retrodisk/vkp/encoder.h>
#include <retrodisk/vkp/format.h>

#include "messages.h"
#include "platform.h"

namespace {

using namespace retrodisk::vkp;

constexpr uint64_t kMaxInputSize = 0x7FFFFFFF;  // the header holds a signed 32-bit size
constexpr size_t kMaxPackedSize = 16777216;     // drupa reads at most this much of a file

// Reads the whole file at `path` into *data, or returns the message to print.
const Message* readInput(const char* path, std::vector<uint8_t>* data) {
    std::FILE* in = openFile(path, "rb");
    if (in == nullptr) return &kCannotOpenInput;
    // A regular file's size is known up front: refuse a huge one before reading it.
    std::error_code ec;
    const std::uintmax_t known = std::filesystem::file_size(std::filesystem::u8path(path), ec);
    if (!ec && known > kMaxInputSize) {
        std::fclose(in);
        return &kTooLarge;
    }
    if (!ec) data->reserve(size_t(known));
    std::vector<uint8_t> chunk(1 << 16);
    const Message* message = nullptr;
    for (;;) {
        const size_t got = std::fread(chunk.data(), 1, chunk.size(), in);
        if (got == 0) break;
        if (data->size() + got > kMaxInputSize) {
            message = &kTooLarge;
            break;
        }
        data->insert(data->end(), chunk.begin(), chunk.begin() + std::ptrdiff_t(got));
    }
    if (message == nullptr && std::ferror(in) != 0) message = &kCannotOpenInput;  // a directory
    std::fclose(in);
    return message;
}

// Writes the packed file; false after a write, flush or close error.
bool writeOutput(std::FILE* out, const std::vector<uint8_t>& packed) {
    const bool written = std::fwrite(packed.data(), 1, packed.size(), out) == packed.size();
    const bool flushed = std::fflush(out) == 0;
    const bool closed = std::fclose(out) == 0;
    return written && flushed && closed;
}

int run(int argc, char** argv) {
    if (argc != 2) return fail(kVkpackUsage);
    std::vector<uint8_t> input;
    if (const Message* message = readInput(argv[1], &input)) return fail(*message);

    EncodeLimits limits;
    limits.maxFileSize = kMaxPackedSize;
    std::vector<uint8_t> packed;
    if (!encodeFile(input.data(), uint32_t(input.size()), &packed, limits)) return fail(kTooLarge);
    std::printf("original = %d -> compressed = %d\n", readU32BE(&packed[kOriginalSizeOffset]),
                readU32BE(&packed[kCompressedSizeOffset]));
    std::fflush(stdout);

    const std::string outputName = std::string(argv[1]) + ".vkp";
    std::FILE* out = openFile(outputName.c_str(), "wb");
    if (out == nullptr) return fail(kCannotOpenOutput);
    if (!writeOutput(out, packed)) {
        removeFile(outputName.c_str());
        return fail(kCannotWriteOutput);
    }
    return 0;
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
