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
    const builder::Disk disk =
        builder::flatDisk(flat, std::atoi(argv[2]), std::atoi(argv[3]), std::atoi(argv[4]),
                          std::atoi(argv[5]), uint8_t(std::strtol(argv[6], nullptr, 0)));
    const builder::Bytes bytes = builder::image({disk});
    std::ofstream out(argv[7], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    return out ? 0 : 1;
}
