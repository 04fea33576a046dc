// plain_drupa: drupa built the straightforward way, the baseline of bench/drupa_bench.sh. It
// behaves like drupa (same output, lines, messages and exit status) but takes the plain
// route: a calloc'd input buffer and the reference decode() with one putc per output byte.
#include <cstdio>
#include <cstdlib>

#include <retrodisk/vkp/decoder.h>

#include "output_name.h"

namespace {

using namespace retrodisk::vkp;

constexpr size_t kInputBufferSize = size_t(16) << 20;

int fail(const char* message) {
    std::fputs(message, stderr);
    return 1;
}

int expand(const char* path, uint8_t* input) {
    FILE* in = std::fopen(path, "rb");
    if (in == nullptr)  // "cannot open the file."
        return fail(
            "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.\n");
    const size_t inputSize = std::fread(input, 1, kInputBufferSize, in);
    std::fclose(in);
    (void)inputSize;
    const int32_t original = readU32BE(input + kOriginalSizeOffset);
    std::printf("compressed = %d -> original = %d\n", int(readU32BE(input)), int(original));
    std::fflush(stdout);
    char outputName[4096];
    switch (deriveOutputName(path, outputName, sizeof outputName)) {
        case OutputName::kOk:
            break;
        case OutputName::kTooLong:  // "the file name is too long."
            return fail(
                "\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC"
                "\x82\xB7.\n");
        case OutputName::kNoFullStop:  // "there is no extension."
            return fail(
                "\x8A\x67\x92\xA3\x8E\x71\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1.\n");
    }
    FILE* out = std::fopen(outputName, "wb");
    if (out == nullptr)  // "cannot open the output file."
        return fail(
            "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82"
            "\xB9\x82\xF1.\n");
    decode(input, int32_t(kInputBufferSize), original, [&](uint8_t b) { std::putc(b, out); });
    const bool written = std::ferror(out) == 0;
    if (std::fclose(out) != 0 || !written) {
        std::remove(outputName);  // "cannot write the output file."
        return fail(
            "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82"
            "\xDF\x82\xDC\x82\xB9\x82\xF1.\n");
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return fail("Usage: drupa (VKP File)\n");
    auto* input = static_cast<uint8_t*>(std::calloc(kInputBufferSize, 1));
    if (input == nullptr)  // "cannot allocate memory."
        return fail(
            "\x83\x81\x83\x82\x83\x8A\x82\xCC\x8A\x84\x82\xE8\x93\x96\x82\xC4\x82\xAA\x82\xC5\x82"
            "\xAB\x82\xDC\x82\xB9\x82\xF1.\n");
    const int status = expand(argv[1], input);
    std::free(input);
    return status;
}
