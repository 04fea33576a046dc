#include "encoder.h"

#include "decoder.h"

// Placeholder: literals only, until the optimal parser lands.
void encodeFile(const uint8_t* input, uint32_t size, std::vector<uint8_t>* out) {
    const size_t base = out->size();
    out->resize(base + kHeaderSize);
    for (uint32_t i = 0; i < size; i += 8) {
        out->push_back(0xFF);
        for (uint32_t k = i; k < size && k < i + 8; ++k) out->push_back(input[k]);
    }
    const uint32_t compressed = uint32_t(out->size() - base - kHeaderSize);
    for (int k = 0; k < 4; ++k) {
        (*out)[base + size_t(k)] = uint8_t(compressed >> (24 - 8 * k));
        (*out)[base + 4 + size_t(k)] = uint8_t(size >> (24 - 8 * k));
    }
}
