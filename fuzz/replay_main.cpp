// Runs a fuzz target without libFuzzer, for compilers that have none (gcc) and for CTest:
// each argument is an input file, or a directory whose regular files are all replayed in
// name order. Every input is handed over in a heap block of exactly its size, so a sanitizer
// build catches a read past its end as libFuzzer's would.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

namespace {

bool replay(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    const std::vector<char> bytes{std::istreambuf_iterator<char>(in),
                                  std::istreambuf_iterator<char>()};
    if (in.bad()) return false;
    // new[] of exactly the input's size (a valid pointer even for 0 bytes, as libFuzzer gives).
    const std::unique_ptr<uint8_t[]> data(new uint8_t[bytes.size()]);
    std::copy(bytes.begin(), bytes.end(), data.get());
    LLVMFuzzerTestOneInput(data.get(), bytes.size());
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "Usage: %s INPUT_OR_DIRECTORY...\n", argc > 0 ? argv[0] : "replay");
        return 1;
    }
    std::vector<fs::path> inputs;
    for (int i = 1; i < argc; ++i) {
        std::error_code ec;
        if (fs::is_directory(argv[i], ec)) {
            std::vector<fs::path> files;
            for (const fs::directory_entry& entry : fs::directory_iterator(argv[i], ec))
                if (entry.is_regular_file(ec)) files.push_back(entry.path());
            std::sort(files.begin(), files.end());
            inputs.insert(inputs.end(), files.begin(), files.end());
        } else {
            inputs.emplace_back(argv[i]);
        }
    }
    if (inputs.empty()) {  // an empty corpus would make the replay test pass vacuously
        std::fprintf(stderr, "%s: no inputs found\n", argv[0]);
        return 1;
    }
    const auto unreadable = std::find_if(inputs.begin(), inputs.end(),
                                         [](const fs::path& input) { return !replay(input); });
    if (unreadable != inputs.end()) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], unreadable->string().c_str());
        return 1;
    }
    std::printf("%zu inputs replayed\n", inputs.size());
    return 0;
}
