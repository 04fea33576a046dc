// pack_tool [--project] INPUT OUTPUT: writes INPUT as a VKP file, with the benchmark's greedy
// encoder, or with the project's encoder (encodeFile; literals only while it is a placeholder) when
// --project is given.
#include <cstdio>
#include <cstring>
#include <vector>

#include "encoder.h"
#include "greedy_encoder.h"

int main(int argc, char** argv) {
    const bool project = argc == 4 && std::strcmp(argv[1], "--project") == 0;
    if (argc != 3 && !project) {
        std::fputs("Usage: pack_tool [--project] INPUT OUTPUT\n", stderr);
        return 1;
    }
    FILE* in = std::fopen(argv[argc - 2], "rb");
    if (in == nullptr) return 1;
    std::vector<uint8_t> input;
    uint8_t chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;)
        input.insert(input.end(), chunk, chunk + n);
    std::fclose(in);
    std::vector<uint8_t> file;
    if (project)
        encodeFile(input.data(), uint32_t(input.size()), &file);
    else
        greedyEncodeFile(input.data(), uint32_t(input.size()), &file);
    FILE* out = std::fopen(argv[argc - 1], "wb");
    if (out == nullptr) return 1;
    const bool ok = std::fwrite(file.data(), 1, file.size(), out) == file.size();
    return std::fclose(out) == 0 && ok ? 0 : 1;
}
