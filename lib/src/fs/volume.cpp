#include <retrodisk/fs/volume.h>

#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/scan.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace retrodisk::fs {

namespace {

uint32_t key(int32_t c, int32_t h, int32_t r) {
    return uint32_t(c & 0xFF) << 16 | uint32_t(h & 0xFF) << 8 | uint32_t(r & 0xFF);
}

// The key of the largest count in `counts` (the larger key on a tie), 0 when empty.
int32_t mostCommon(const std::map<int32_t, int32_t>& counts) {
    int32_t best = 0;
    int32_t bestCount = 0;
    for (const auto& [value, count] : counts)
        if (count >= bestCount) {
            best = value;
            bestCount = count;
        }
    return best;
}

}  // namespace

Volume::Volume(const d88::ImageView& image, const d88::DiskInfo& disk)
    : image_(image), disk_(disk) {
    struct Found {
        d88::SectorRecord record;
        int32_t track;
    };
    std::vector<Found> all;
    std::vector<d88::SectorRecord> walk;
    std::map<int32_t, int32_t> counts;  // tracks by their number of sectors
    std::map<int32_t, int32_t> sizes;   // sectors by their data size
    size_t budget = d88::walkBudget(image);
    for (int32_t t = 0; t < d88::DiskImage::kTrackCount; ++t) {
        if (image.walkTrack(disk, t, &walk, &budget) == d88::WalkEnd::kLimit) {
            tangled_ = true;
            break;
        }
        if (walk.empty()) continue;
        ++shape_.tracks;
        ++counts[int32_t(walk.size())];
        for (const d88::SectorRecord& s : walk) {
            all.push_back({s, t});
            ++sizes[s.dataSize];
            shape_.cylinders = std::max(shape_.cylinders, int32_t(s.c) + 1);
            shape_.heads = std::max(shape_.heads, int32_t(s.h) + 1);
        }
    }
    shape_.sectorsPerTrack = mostCommon(counts);
    shape_.sectorSize = mostCommon(sizes);
    // The first sector of an ID wins, except that one on its own track (c * heads + h) wins
    // over one elsewhere: a read by ID looks on the sector's own track. Sorted by ID, and
    // within an ID in the walk's order, each run of an ID keeps the one that wins.
    const int32_t heads = std::max(shape_.heads, 1);
    std::vector<std::pair<uint32_t, uint32_t>> order;  // (ID, index into all)
    order.reserve(all.size());
    for (size_t i = 0; i < all.size(); ++i) {
        const d88::SectorRecord& s = all[i].record;
        order.emplace_back(key(s.c, s.h, s.r), uint32_t(i));
    }
    // Most disks list their sectors in ID order already.
    if (!std::is_sorted(order.begin(), order.end())) std::sort(order.begin(), order.end());
    sectors_.reserve(order.size());
    for (size_t i = 0; i < order.size();) {
        size_t end = i + 1;
        while (end < order.size() && order[end].first == order[i].first)
            ++end;
        size_t chosen = i;
        for (size_t k = i; k < end; ++k) {
            const Found& f = all[order[k].second];
            if (f.track == int32_t(f.record.c) * heads + f.record.h) {
                chosen = k;
                break;
            }
        }
        const Found& f = all[order[chosen].second];
        SectorRef ref;
        ref.position = f.record.position + d88::kSectorHeaderSize;
        ref.size = f.record.dataSize;
        ref.present = f.record.dataPresent;
        ref.n = f.record.n;
        ref.track = f.track;
        sectors_.emplace_back(order[i].first, ref);
        i = end;
    }
}

SectorRef Volume::find(int32_t c, int32_t h, int32_t r) const {
    if ((uint32_t(c) | uint32_t(h) | uint32_t(r)) > 0xFF) return {};
    const uint32_t id = key(c, h, r);
    const auto at = std::lower_bound(
        sectors_.begin(), sectors_.end(), id,
        [](const std::pair<uint32_t, SectorRef>& s, uint32_t k) { return s.first < k; });
    return at == sectors_.end() || at->first != id ? SectorRef() : at->second;
}

const uint8_t* Volume::data(int32_t c, int32_t h, int32_t r, int32_t* present) const {
    const SectorRef s = find(c, h, r);
    *present = s.found() ? s.present : 0;
    return s.found() ? image_.data() + s.position : nullptr;
}

SectorStatus Volume::read(int32_t c, int32_t h, int32_t r, uint8_t* out, int32_t length) const {
    int32_t present = 0;
    const uint8_t* bytes = data(c, h, r, &present);
    const int32_t k = std::min(std::max(length, 0), present);
    if (k > 0) std::memcpy(out, bytes, size_t(k));
    if (length > k) std::memset(out + k, 0, size_t(length - k));
    if (bytes == nullptr) return SectorStatus::kMissing;
    return k < length ? SectorStatus::kShort : SectorStatus::kOk;
}

void Volume::locate(const Layout& layout, int64_t logical, int32_t* c, int32_t* h, int32_t* r) {
    const int64_t spt = std::max(layout.sectorsPerTrack, 1);
    const int64_t heads = std::max(layout.heads, 1);
    const int64_t track = logical / spt;
    *c = int32_t(track / heads);
    *h = int32_t(track % heads);
    *r = int32_t(layout.firstSector + logical % spt);
}

SectorStatus Volume::readLogical(const Layout& layout, int64_t logical, uint8_t* out) const {
    if (logical < 0 || logical >= layout.sectors()) {
        std::memset(out, 0, size_t(std::max(layout.sectorSize, 0)));
        return SectorStatus::kMissing;
    }
    int32_t c = 0;
    int32_t h = 0;
    int32_t r = 0;
    locate(layout, logical, &c, &h, &r);
    return read(c, h, r, out, layout.sectorSize);
}

}  // namespace retrodisk::fs
