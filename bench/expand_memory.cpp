// Expands one VKP file held in memory with vkp::expand, as the web page's module does, and
// prints the median time of RUNS runs in milliseconds: the native side of bench/web_bench.sh.
//
//   expand_memory FILE.vkp [RUNS]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include <retrodisk/vkp/decoder.h>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: expand_memory FILE.vkp [RUNS]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
    const int runs = argc > 2 ? int(std::max(1L, std::strtol(argv[2], nullptr, 10))) : 11;
    std::vector<double> times;
    size_t size = 0;
    for (int i = 0; i < runs; ++i) {
        std::vector<uint8_t> out;
        const auto start = std::chrono::steady_clock::now();
        if (retrodisk::vkp::expand(file.data(), file.size(), &out) !=
            retrodisk::vkp::ExpandResult::kOk) {
            std::fprintf(stderr, "%s: cannot be expanded\n", argv[1]);
            return 1;
        }
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        size = out.size();
    }
    std::sort(times.begin(), times.end());
    std::printf("%.3f %zu\n", times[times.size() / 2], size);
    return 0;
}
