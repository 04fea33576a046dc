// The decoder alone, in MB/s of output: decodeBlocks (what drupa runs) and the reference
// decode() with an inlined store, on text-like, binary-like, repetitive and incompressible
// data, packed by the project's encoder (encodeFile, what vkpack writes).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

namespace {

using namespace retrodisk::vkp;

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

constexpr size_t kCorpusSize = size_t(8) << 20;
constexpr size_t kBlockSize = size_t(512) << 10;  // as in drupa

// Regular files under `root` whose names pass `wanted`, concatenated up to kCorpusSize.
template <class Wanted>
Bytes gather(const char* root, Wanted wanted) {
    Bytes corpus;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         it != fs::recursive_directory_iterator() && corpus.size() < kCorpusSize;
         it.increment(ec)) {
        if (ec || !it->is_regular_file(ec) || it->is_symlink(ec) || !wanted(it->path())) continue;
        std::ifstream in(it->path(), std::ios::binary);
        corpus.insert(corpus.end(), std::istreambuf_iterator<char>(in),
                      std::istreambuf_iterator<char>());
    }
    if (corpus.size() > kCorpusSize) corpus.resize(kCorpusSize);
    return corpus;
}

Bytes textLike() {
    return gather("/usr/share/doc", [](const fs::path& p) {
        const std::string name = p.filename().string();
        return name == "copyright" || p.extension() == ".txt" || p.extension() == ".md" ||
               p.extension() == ".html";
    });
}

Bytes binaryLike() {
    return gather("/usr/bin", [](const fs::path&) { return true; });
}

Bytes repetitive() {
    Bytes data;
    const std::string line = "0000: 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00\n";
    while (data.size() < kCorpusSize)
        data.insert(data.end(), line.begin(), line.end());
    return data;
}

Bytes incompressible() {
    std::mt19937 random(1);
    Bytes data(kCorpusSize);
    for (uint8_t& b : data)
        b = uint8_t(random());
    return data;
}

struct Packed {
    Bytes file;
    int32_t original = 0;
};

bool ignoreBlock(void* /*context*/, const uint8_t* /*data*/, size_t /*size*/) {
    return true;
}

void decodeBlocksBench(benchmark::State& state, const Packed* packed) {
    Bytes work(blockWorkSize(kBlockSize));
    for (auto _ : state) {
        decodeBlocks(packed->file.data(), int32_t(packed->file.size()), packed->original,
                     work.data(), kBlockSize, ignoreBlock, nullptr);
        benchmark::DoNotOptimize(work.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * packed->original);
}

void decodeReferenceBench(benchmark::State& state, const Packed* packed) {
    Bytes out(size_t(packed->original));
    for (auto _ : state) {
        uint8_t* op = out.data();
        decode(packed->file.data(), int32_t(packed->file.size()), packed->original,
               [&](uint8_t b) { *op++ = b; });
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * packed->original);
}

bool sameAfterDecoding(const Packed& packed, const Bytes& original) {
    Bytes out;
    Bytes work(blockWorkSize(kBlockSize));
    decodeBlocks(
        packed.file.data(), int32_t(packed.file.size()), packed.original, work.data(), kBlockSize,
        [](void* context, const uint8_t* data, size_t size) {
            auto* sink = static_cast<Bytes*>(context);
            sink->insert(sink->end(), data, data + size);
            return true;
        },
        &out);
    return out == original;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    struct Corpus {
        const char* name;
        Bytes data;
    };
    static const Corpus corpora[] = {{"text", textLike()},
                                     {"binary", binaryLike()},
                                     {"repetitive", repetitive()},
                                     {"incompressible", incompressible()}};
    static std::vector<Packed> packed;
    packed.reserve(std::size(corpora));  // the benchmarks keep pointers to the elements
    for (const Corpus& corpus : corpora) {
        if (corpus.data.empty()) continue;
        Packed p;
        p.original = int32_t(corpus.data.size());
        encodeFile(corpus.data.data(), uint32_t(p.original), &p.file);
        if (!sameAfterDecoding(p, corpus.data)) {
            std::fprintf(stderr, "%s: decoding does not give the input back\n", corpus.name);
            return 1;
        }
        packed.push_back(std::move(p));
        const std::string name = corpus.name;
        const double ratio = double(packed.back().file.size()) / double(corpus.data.size());
        benchmark::RegisterBenchmark(("decodeBlocks/" + name).c_str(), decodeBlocksBench,
                                     &packed.back())
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("decodeReference/" + name).c_str(), decodeReferenceBench,
                                     &packed.back())
            ->Unit(benchmark::kMillisecond);
        std::fprintf(stderr, "%-24s %9zu bytes, packed to %.3f\n", name.c_str(), corpus.data.size(),
                     ratio);
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
