// wrap_flat FLAT CYLINDERS HEADS SECTORS SIZE MEDIA OUT: wraps a flat sector image into a
// one-disk D88 image of that geometry (the tests' builder), for the benchmarks that compare
// d88 with tools that read flat images.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "d88_builder.h"

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr, "usage: wrap_flat FLAT CYLINDERS HEADS SECTORS SIZE MEDIA OUT\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const builder::Bytes flat((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    const auto number = [&](int i) { return int(std::strtol(argv[i], nullptr, 0)); };
    const builder::Disk disk =
        builder::flatDisk(flat, number(2), number(3), number(4), number(5), uint8_t(number(6)));
    const builder::Bytes bytes = builder::image({disk});
    std::ofstream out(argv[7], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return out ? 0 : 1;
}
