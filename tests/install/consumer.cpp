// consumer IMAGE: lists the flat directory of the image's first disk through the installed
// retrodisk::d88, then packs a text with retrodisk::vkp and expands it again. Exit status 0
// when the directory lists at least one file and the text comes back unchanged.
#include <cstdio>
#include <string>
#include <vector>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/disk_image.h>
#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

namespace d88 = retrodisk::d88;
namespace vkp = retrodisk::vkp;

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    d88::DiskImage image;
    if (!image.open(argv[1]) || !image.selectDisk(0)) return 1;
    image.setSectorRange(d88::kFirstSector, d88::kLastSector);
    std::vector<uint8_t> directory(d88::kDirectorySize);
    image.readSectors(d88::kDirectoryTrack, 0, 0, d88::kDirectorySector, d88::kSizeCode,
                      directory.data(), d88::kDirectorySize);
    int files = 0;
    d88::DirectoryEntry entry;
    for (int i = 0; d88::parseEntry(directory.data(), i, &entry); ++i, ++files) {
        char line[d88::kListingLineSize];
        std::fputs(d88::formatListingLine(entry, line) > 0 ? line : "", stdout);
    }

    const std::string text = "a text packed and expanded by an installed retrodisk, twice: "
                             "a text packed and expanded by an installed retrodisk\n";
    std::vector<uint8_t> packed;
    vkp::encodeFile(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), &packed);
    std::string back;
    vkp::decode(packed.data(), int32_t(packed.size()),
                vkp::readU32BE(packed.data() + vkp::kOriginalSizeOffset),
                [&](uint8_t b) { back.push_back(char(b)); });
    std::printf("round trip: %zu bytes -> %zu packed -> %s\n", text.size(), packed.size(),
                back == text ? "same" : "DIFFERENT");
    return files > 0 && back == text ? 0 : 1;
}
