// vkpack: packs a file into a VKP file at the same path with ".vkp" appended (or, with -o, at
// the path given), which drupa expands back to the original bytes; several files each get
// their own. What is packed is expanded again and compared before anything is written.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>
#include <retrodisk/vkp/format.h>

#include "messages.h"
#include "platform.h"

namespace {

using namespace retrodisk::vkp;

constexpr uint64_t kMaxInputSize = 0x7FFFFFFF;  // the header holds a signed 32-bit size
constexpr size_t kMaxPackedSize = 16777216;     // drupa reads at most this much of a file
// The longest input that could pack into kMaxPackedSize bytes: at best every 17 bytes of code
// (a flag byte and eight 18-byte references) stand for 144 bytes of input.
constexpr uint64_t kMaxPackableSize = uint64_t(kMaxPackedSize - kHeaderSize) * 144 / 17;
constexpr size_t kReadChunk = size_t(1) << 16;  // read at a time when the size is unknown

// Reads the whole file at `path` into *data, or returns the message to print. An input too
// large for the header, or to pack into kMaxPackedSize bytes, is refused from its size when
// the file has one, before it is read; otherwise (a pipe) the bytes past what could be packed
// are counted, not kept.
const Message* readInput(const char* path, std::vector<uint8_t>* data) {
    std::FILE* in = openFile(path, "rb");
    if (in == nullptr) return &kCannotOpenInput;
    uint64_t known = 0;
    const bool sized = regularFileSize(in, &known);
    const Message* message = nullptr;
    if (sized && known > kMaxInputSize) message = &kTooLarge;
    if (sized && message == nullptr && known > kMaxPackableSize) message = &kOutputTooLarge;
    if (message != nullptr) {
        std::fclose(in);
        return message;
    }
    std::setvbuf(in, nullptr, _IONBF, 0);  // read straight into place
    // A known size is read in one piece, one byte longer to meet the end of the file.
    size_t chunk = sized ? size_t(known) + 1 : kReadChunk;
    std::vector<uint8_t> counted;  // where bytes that are only counted go
    uint64_t total = 0;
    for (;;) {
        uint8_t* to = nullptr;
        if (total < kMaxPackableSize) {
            data->resize(size_t(total) + chunk);
            to = data->data() + total;
        } else {
            counted.resize(chunk);
            to = counted.data();
        }
        const size_t got = std::fread(to, 1, chunk, in);
        total += got;
        if (total > kMaxInputSize) {
            message = &kTooLarge;
            break;
        }
        if (got < chunk) break;
        chunk = kReadChunk;
    }
    data->resize(size_t(std::min(total, kMaxPackableSize)));
    if (message == nullptr && std::ferror(in) != 0) message = &kCannotOpenInput;  // a read error
    if (message == nullptr && total > kMaxPackableSize) message = &kOutputTooLarge;
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

// --- the check of what was packed -----------------------------------------------------------

// Compares each piece of the expanded output with the next bytes of the original.
struct Comparison {
    const uint8_t* original;
    size_t size;
    size_t at = 0;
    bool same = true;
};

bool compareBlock(void* context, const uint8_t* data, size_t size) {
    auto* c = static_cast<Comparison*>(context);
    c->same = size <= c->size - c->at && std::memcmp(data, c->original + c->at, size) == 0;
    c->at += size;
    return c->same;
}

// True when the VKP file `packed` expands, by the project's decoder, to exactly `original`.
// It always should; the check keeps an encoder fault from reaching a user's files.
bool expandsTo(const std::vector<uint8_t>& packed, const std::vector<uint8_t>& original) {
    if (packed.size() < size_t(kHeaderSize) ||
        uint32_t(readU32BE(&packed[kOriginalSizeOffset])) != original.size())
        return false;
    constexpr size_t kBlockSize = size_t(1) << 16;
    std::vector<uint8_t> work(blockWorkSize(kBlockSize));
    Comparison c{original.data(), original.size()};
    return decodeBlocks(packed.data(), int32_t(packed.size()), int32_t(original.size()),
                        work.data(), kBlockSize, compareBlock, &c) &&
           c.same && c.at == original.size();
}

// --- packing one file ---------------------------------------------------------------------

// Packs the file at `path` into `outputName`; returns the exit status.
int pack(const char* path, const std::string& outputName) {
    std::vector<uint8_t> input;
    if (const Message* message = readInput(path, &input)) return fail(*message);

    EncodeLimits limits;
    limits.maxFileSize = kMaxPackedSize;
    std::vector<uint8_t> packed;
    if (!encodeFile(input.data(), uint32_t(input.size()), &packed, limits))
        return fail(kOutputTooLarge);
    if (!expandsTo(packed, input)) return fail(kNotVerified);
    std::printf("original = %d -> compressed = %d\n", readU32BE(&packed[kOriginalSizeOffset]),
                readU32BE(&packed[kCompressedSizeOffset]));
    std::fflush(stdout);

    std::FILE* out = openOutput(outputName.c_str(), true);
    if (out == nullptr) return fail(kCannotOpenOutput);
    const bool written = writeOutput(out, packed);
    if (!written) removeFile(outputName.c_str());
    forgetOutput();
    return written ? 0 : fail(kCannotWriteOutput);
}

// --- the command line ---------------------------------------------------------------------

// vkpack FILE (one argument is always the file, whatever it looks like, as it always was),
// vkpack -o OUT FILE, vkpack FILE... ("--" ends the options).
int run(int argc, char** argv) {
    if (argc == 2) return pack(argv[1], std::string(argv[1]) + ".vkp");
    const char* output = nullptr;
    std::vector<const char*> files;
    bool options = true;
    for (int i = 1; i < argc; ++i) {
        if (options && std::strcmp(argv[i], "--") == 0) {
            options = false;
        } else if (options && std::strcmp(argv[i], "-o") == 0) {
            if (i + 1 == argc || output != nullptr) return fail(kVkpackUsage);
            output = argv[++i];
        } else {
            files.push_back(argv[i]);
        }
    }
    if (files.empty() || (output != nullptr && files.size() != 1)) return fail(kVkpackUsage);
    if (output != nullptr) return pack(files[0], output);
    int status = 0;
    for (const char* file : files)
        if (pack(file, std::string(file) + ".vkp") != 0) status = 1;
    return status;
}

}  // namespace

int programMain(int argc, char** argv) {
    removeOutputOnSignal();
    return run(argc, argv);
}
