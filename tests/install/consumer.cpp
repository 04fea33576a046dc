// consumer IMAGE: lists the flat directory of the image's first disk through the installed
// retrodisk::d88 and the same disk's files through retrodisk::fs, then packs a text with
// retrodisk::vkp and expands it again. Exit status 0 when the directory lists at least one
// file, the file system is recognised with as many, and the text comes back unchanged.
#include <cstdio>
#include <string>
#include <vector>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/file_system.h>
#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

namespace d88 = retrodisk::d88;
namespace fs = retrodisk::fs;
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

    // The same disk through the file-system layer, from the image in memory.
    std::FILE* in = std::fopen(argv[1], "rb");
    if (in == nullptr) return 1;
    std::vector<uint8_t> bytes(1 << 20);
    bytes.resize(std::fread(bytes.data(), 1, bytes.size(), in));
    std::fclose(in);
    const d88::ImageView view(bytes.data(), bytes.size());
    d88::DiskInfo disk;
    if (!view.readDisk(0, &disk)) return 1;
    const fs::Volume volume(view, disk);
    const fs::Recognition found = fs::recognise(volume);
    const size_t listed = found.chosen ? found.chosen->list().size() : 0;
    std::printf("file system: %s, %zu files\n",
                found.chosen ? fs::kindName(found.chosen->kind()) : "none", listed);

    const std::string text =
        "a text packed and expanded by an installed retrodisk, twice: "
        "a text packed and expanded by an installed retrodisk\n";
    std::vector<uint8_t> packed;
    vkp::encodeFile(reinterpret_cast<const uint8_t*>(text.data()), uint32_t(text.size()), &packed);
    std::string back;
    vkp::decode(packed.data(), int32_t(packed.size()),
                vkp::readU32BE(packed.data() + vkp::kOriginalSizeOffset),
                [&](uint8_t b) { back.push_back(char(b)); });
    std::printf("round trip: %zu bytes -> %zu packed -> %s\n", text.size(), packed.size(),
                back == text ? "same" : "DIFFERENT");
    return files > 0 && size_t(files) == listed && back == text ? 0 : 1;
}
