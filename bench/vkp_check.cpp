// vkp_check PACKED ORIGINAL: exit 0 when the VKP file PACKED expands, through the project's
// decoder, to exactly the bytes of ORIGINAL and its header holds the stream's length.
#include <cstdio>
#include <vector>

#include "decoder.h"

namespace {

bool readAll(const char* path, std::vector<uint8_t>* data) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    std::vector<uint8_t> chunk(1 << 16);
    size_t got;
    while ((got = std::fread(chunk.data(), 1, chunk.size(), f)) > 0)
        data->insert(data->end(), chunk.begin(), chunk.begin() + std::ptrdiff_t(got));
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint8_t> packed;
    std::vector<uint8_t> original;
    if (argc != 3 || !readAll(argv[1], &packed) || !readAll(argv[2], &original) ||
        packed.size() < kHeaderSize)
        return 2;
    std::vector<uint8_t> expanded;
    expanded.reserve(original.size());
    decode(packed.data(), int32_t(packed.size()), readU32BE(&packed[kOriginalSizeOffset]),
           [&](uint8_t b) { expanded.push_back(b); });
    const bool sizeField =
        uint32_t(readU32BE(&packed[kCompressedSizeOffset])) == packed.size() - kHeaderSize;
    return expanded == original && sizeField ? 0 : 1;
}
