// d88 export: one disk's sectors in logical order as a flat image, the form dd, mtools and
// most emulators take: cylinder by cylinder, head by head, R 1 up, each sector of the disk's
// most common size.
#include <cstring>

#include <retrodisk/d88/names.h>

#include "d88.h"

namespace d88cli {

int exportDisk(const Options& o) {
    ImageFile file;
    if (!loadImage(o.image, &file)) return kFailed;
    const d88::ImageView image(file.bytes.get(), file.size);
    d88::DiskInfo disk;
    if (!selectDisk(image, o, &disk)) return kFailed;
    const fs::Volume volume(image, disk);
    const fs::Shape& shape = volume.shape();
    if (shape.cylinders == 0 || shape.sectorSize == 0) {
        report(o.image, format("disk %lld has no readable sectors", disk.index));
        return kFailed;
    }
    const fs::Layout layout{shape.cylinders, shape.heads, shape.sectorsPerTrack, shape.sectorSize,
                            1};
    std::vector<uint8_t> flat(size_t(layout.bytes()), 0);
    int64_t faults = 0;
    std::string first;
    for (int64_t l = 0; l < layout.sectors(); ++l) {
        uint8_t* at = flat.data() + size_t(l) * size_t(layout.sectorSize);
        const fs::SectorStatus status = volume.readLogical(layout, l, at);
        if (status == fs::SectorStatus::kOk) continue;
        if (faults++ == 0) {
            int32_t c = 0;
            int32_t h = 0;
            int32_t r = 0;
            fs::Volume::locate(layout, l, &c, &h, &r);
            first = format("C%lld H%lld R%lld ", c, h, r) +
                    (status == fs::SectorStatus::kMissing
                         ? "is missing"
                         : format("holds fewer than %lld bytes", layout.sectorSize));
        }
    }
    const std::string geometry = format("%lld x %lld x %lld x %lld", layout.cylinders, layout.heads,
                                        layout.sectorsPerTrack, layout.sectorSize);
    if (faults > 0 && !o.fill) {
        report(o.image, format("disk %lld: %lld sector(s) of ", disk.index, faults) + geometry +
                            " missing or short (first: " + first +
                            "); nothing written (--fill writes them as zero bytes)");
        return kFailed;
    }
    const std::string failure = writeFile(o.output, flat.data(), flat.size(), o.force);
    if (!failure.empty()) {
        report(o.output, failure);
        return kFailed;
    }
    print(d88::escapeForDisplay(o.output) + format(": %lld bytes, ", int64_t(flat.size())) +
          geometry +
          (faults > 0 ? format(", %lld sector(s) filled with zero bytes\n", faults) : "\n"));
    return 0;
}

}  // namespace d88cli
