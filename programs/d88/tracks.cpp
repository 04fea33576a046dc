// d88 tracks: the sector headers of every track of one disk.
#include <retrodisk/d88/names.h>

#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

int tracks(const Options& o) {
    ImageFile file;
    DiskInfo disk;
    if (!loadImage(o.image, &file)) return kFailed;
    const ImageView image(file.bytes.get(), file.size);
    if (!selectDisk(image, o, &disk)) return kFailed;

    json list = json::array();
    std::string text = format("disk %lld\n", disk.index);
    std::vector<SectorRecord> sectors;
    size_t budget = walkBudget(image);
    for (int32_t t = 0; t < disk.tableEntries; ++t) {
        if (disk.trackOffsets[t] == 0) continue;
        const int64_t offset = int64_t(uint32_t(disk.trackOffsets[t]));
        const WalkEnd end = image.walkTrack(disk, t, &sectors, &budget);
        json js = json::array();
        text += format("track %lld at offset %lld: ", t, offset);
        if (end == WalkEnd::kLimit) {
            // Tracks that overlap, over and over: the listing would be unbounded.
            text +=
                "the walks pass more sector headers than the file has room for (tracks "
                "overlap); this track and those after it are not listed\n";
            list.push_back({{"track", t}, {"offset", offset}, {"sectors", js}, {"tangled", true}});
            break;
        }
        if (end == WalkEnd::kNoTrack) {
            text += "cannot be read (outside the disk or the file)\n";
        } else {
            text += format("%lld sectors\n", int64_t(sectors.size()));
            if (!sectors.empty())
                text += "      C    H    R    N  count  density  deleted  status   size\n";
        }
        for (const SectorRecord& s : sectors) {
            if (!o.json) {
                text += format("    %3lld  %3lld  %3lld  %3lld", s.c, s.h, s.r, s.n) +
                        format("  %5lld     0x%02llx     0x%02llx    0x%02llx", s.count, s.density,
                               s.deleted, s.status) +
                        format("  %5lld\n", s.dataSize);
                continue;
            }
            js.push_back({{"c", s.c},
                          {"h", s.h},
                          {"r", s.r},
                          {"n", s.n},
                          {"count", s.count},
                          {"density", s.density},
                          {"deleted", s.deleted},
                          {"status", s.status},
                          {"size", s.dataSize}});
        }
        list.push_back({{"track", t}, {"offset", offset}, {"sectors", js}});
    }
    return emit(o, {{"disk", disk.index}, {"tracks", list}}, text);
}

}  // namespace d88cli
