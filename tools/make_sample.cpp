// Writes D88 images for the demo and the benchmark:
//   make_sample OUTPUT          the bundled sample: a few small files and one VKP-packed text
//   make_sample --bench OUTPUT  a whole disk: 341 files filling every sector after track 0
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <retrodisk/vkp/encoder.h>

#include "d88_builder.h"

namespace {

using namespace retrodisk::vkp;

using builder::Bytes;

constexpr char kReadme[] =
    "SAMPLE DISK\n"
    "===========\n"
    "\n"
    "This disk holds a few files to try the tools on:\n"
    "\n"
    "  README.TXT   this text\n"
    "  HELLO.BAS    a short program listing\n"
    "  DATA.BIN     the 256 byte values in order\n"
    "  MANUAL.VKP   a manual, packed in the VKP format\n"
    "\n"
    "d88extract lists the directory and writes every file into the current\n"
    "directory; drupa then expands MANUAL.VKP into MANUAL.\n";

constexpr char kHello[] =
    "10 REM GREETING\n"
    "20 CLS\n"
    "30 FOR I=1 TO 3\n"
    "40 PRINT \"HELLO, WORLD\";I\n"
    "50 NEXT I\n"
    "60 INPUT \"YOUR NAME\";N$\n"
    "70 PRINT \"GOOD DAY, \";N$\n"
    "80 END\n";

constexpr char kManual[] =
    "OPERATING MANUAL\n"
    "================\n"
    "\n"
    "1. Starting up\n"
    "\n"
    "Insert the system disk in drive 1 and switch the computer on. The system\n"
    "reads the disk and shows its menu. If the menu does not appear, check that\n"
    "the disk is inserted label side up and that the drive door is closed.\n"
    "\n"
    "2. Copying a disk\n"
    "\n"
    "Choose COPY from the menu. Insert the source disk in drive 1 and a blank\n"
    "disk in drive 2, then press RETURN. The whole disk is copied track by\n"
    "track, both sides, and checked after copying. Do not remove either disk\n"
    "while the drive lamp is lit.\n"
    "\n"
    "3. Listing the files\n"
    "\n"
    "Choose FILES from the menu. Each line shows the name of a file, the\n"
    "sector where it starts and its size in bytes. Press RETURN to see the\n"
    "next page of the list, or ESC to go back to the menu.\n"
    "\n"
    "4. Care of disks\n"
    "\n"
    "Keep disks away from magnets, heat and dust. Store them in their\n"
    "envelopes, and do not touch the surface of the disk through the window.\n";

Bytes text(const char* s) {
    return Bytes(s, s + std::strlen(s));
}

Bytes sample() {
    builder::StandardDisk disk;
    disk.addFile("README.TXT", 8, text(kReadme));
    disk.addFile("HELLO.BAS", 9, text(kHello));
    Bytes values(256);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = uint8_t(i);
    disk.addFile("DATA.BIN", 10, values);
    const Bytes manual = text(kManual);
    Bytes packed;
    encodeFile(manual.data(), uint32_t(manual.size()), &packed);
    disk.addFile("MANUAL.VKP", 11, packed);
    // Only the sectors in use: absent tracks have offset 0, so the image stays a few KB.
    builder::Disk d = disk.disk(true);
    d.name = "SAMPLE";
    d.mediaType = 0x20;
    return d.bytes();
}

// 341 files, the most the directory holds, over all 1224 sectors after track 0: 201 files of
// 4 sectors and 140 of 3, each ending part-way into its last sector.
Bytes benchImage() {
    builder::StandardDisk disk;
    uint32_t start = 8;
    uint32_t random = 2463534242u;
    for (int i = 0; i < 341; ++i) {
        const uint32_t sectors = i < 201 ? 4 : 3;
        Bytes data(sectors * 1024 - uint32_t(i * 37) % 1024);
        for (uint8_t& b : data) {
            random ^= random << 13;
            random ^= random >> 17;
            random ^= random << 5;
            b = uint8_t(random);
        }
        char name[16];
        std::snprintf(name, sizeof name, "FILE%03d.DAT", i);
        disk.addFile(name, start, data);
        start += sectors;
    }
    return disk.bytes();
}

}  // namespace

int main(int argc, char** argv) {
    const bool bench = argc == 3 && std::strcmp(argv[1], "--bench") == 0;
    if (argc != 2 && !bench) {
        std::fprintf(stderr, "Usage: %s [--bench] OUTPUT.d88\n",
                     argc > 0 ? argv[0] : "make_sample");
        return 1;
    }
    const char* path = argv[argc - 1];
    const Bytes image = bench ? benchImage() : sample();
    std::FILE* out = std::fopen(path, "wb");
    if (out == nullptr) {
        std::perror(path);
        return 1;
    }
    const bool written = std::fwrite(image.data(), 1, image.size(), out) == image.size();
    if (std::fclose(out) != 0 || !written) {
        std::perror(path);
        std::remove(path);
        return 1;
    }
    return 0;
}
