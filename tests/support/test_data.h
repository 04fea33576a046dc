// Data the tests, fuzz seeds and tools share: reproducible random bytes and text, and files
// packed by the project's encoder.
#ifndef TESTS_SUPPORT_TEST_DATA_H
#define TESTS_SUPPORT_TEST_DATA_H

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include <retrodisk/vkp/encoder.h>

namespace testdata {

using Bytes = std::vector<uint8_t>;

// n bytes drawn from 0 .. alphabet - 1, the same for the same seed.
inline Bytes randomBytes(size_t n, uint32_t seed, unsigned alphabet = 256) {
    std::mt19937 rng(seed);
    Bytes b(n);
    for (uint8_t& x : b)
        x = uint8_t(rng() % alphabet);
    return b;
}

// n bytes of text: words picked at random, so it packs like prose, not like a run.
inline Bytes text(size_t n, uint32_t seed) {
    static const std::string kWords[] = {"the ",  "quick ", "brown ",   "fox ",  "jumps ",
                                         "over ", "lazy ",  "dog.\n",   "and ",  "then ",
                                         "a ",    "file ",  "packed ",  "into ", "rings ",
                                         "of ",   "bytes ", "sectors ", "disk ", "image, "};
    std::mt19937 rng(seed);
    Bytes b;
    while (b.size() < n) {
        const std::string& w = kWords[rng() % 20];
        b.insert(b.end(), w.begin(), w.end());
    }
    b.resize(n);
    return b;
}

inline std::string str(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The whole VKP file the encoder makes of `data`.
inline std::string packed(const std::string& data) {
    std::vector<uint8_t> file;
    retrodisk::vkp::encodeFile(reinterpret_cast<const uint8_t*>(data.data()), uint32_t(data.size()),
                               &file);
    return str(file);
}

}  // namespace testdata

#endif  // TESTS_SUPPORT_TEST_DATA_H
