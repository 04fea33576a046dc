#include <retrodisk/fs/edit.h>

#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/scan.h>

#include <algorithm>
#include <cstring>

#include "bytes.h"
#include "families.h"

namespace retrodisk::fs {

Plan Editor::makeDirectory(const std::vector<std::string>& path, const DateTime* /*date*/) const {
    Plan plan;
    plan.path = path;
    plan.error = EditError::kUnsupported;
    plan.detail = "this file system has no directories";
    return plan;
}

Plan Editor::removeDirectory(const std::vector<std::string>& path) const {
    return makeDirectory(path);
}

namespace {

struct Span {
    int64_t begin, end;
    bool data;  // the data of a sector (else a header)
};

// The data positions of `disk`'s sectors whose bytes no other part of the image a reader
// uses shares: every disk header, every sector header (and the header whose count of 0 ends
// a walk) and every sector's data, of every disk. Empty for a tangled image.
std::vector<int64_t> aloneData(const d88::ImageView& view) {
    std::vector<Span> spans;
    std::vector<d88::SectorRecord> sectors;
    size_t budget = d88::walkBudget(view);
    for (int32_t i = 0; i < view.diskCount(); ++i) {
        d88::DiskInfo disk;
        view.readDisk(i, &disk);
        spans.push_back({disk.offset, disk.offset + d88::kDiskHeaderSize, false});
        for (int32_t t = 0; t < d88::DiskImage::kTrackCount; ++t) {
            const d88::WalkEnd end = view.walkTrack(disk, t, &sectors, &budget);
            if (end == d88::WalkEnd::kLimit) return {};
            if (end == d88::WalkEnd::kCountZero) {
                const int64_t stop = sectors.empty()
                                         ? d88::ImageView::trackPosition(disk, t)
                                         : sectors.back().position + d88::kSectorHeaderSize +
                                               sectors.back().dataSize;
                spans.push_back({stop, stop + d88::kSectorHeaderSize, false});
            }
            for (const d88::SectorRecord& s : sectors) {
                const int64_t data = s.position + d88::kSectorHeaderSize;
                spans.push_back({s.position, data, false});
                if (s.dataPresent > 0) spans.push_back({data, data + s.dataPresent, true});
            }
        }
    }
    const auto before = [](const Span& a, const Span& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.end < b.end;
    };
    // An image written track after track lists them in order already.
    if (!std::is_sorted(spans.begin(), spans.end(), before))
        std::sort(spans.begin(), spans.end(), before);
    // Sorted by start, a span overlaps no other when every span before it ends by its start
    // and the next one starts at or after its end.
    std::vector<int64_t> alone;
    int64_t reach = 0;
    for (size_t i = 0; i < spans.size(); ++i) {
        const Span& s = spans[i];
        const bool single =
            reach <= s.begin && (i + 1 == spans.size() || spans[i + 1].begin >= s.end);
        reach = std::max(reach, s.end);
        if (s.data && single) alone.push_back(s.begin);
    }
    return alone;  // ascending
}

std::string sectorName(const SectorWrite& w) {
    return "C" + std::to_string(w.c) + " H" + std::to_string(w.h) + " R" + std::to_string(w.r);
}

}  // namespace

bool applyPlan(std::vector<uint8_t>* image, int32_t disk, const Plan& plan, std::string* why) {
    const d88::ImageView view(image->data(), image->size());
    d88::DiskInfo info;
    if (!view.readDisk(disk, &info)) {
        *why = "no such disk";
        return false;
    }
    const Volume volume(view, info);
    return PlanTarget(volume).apply(image, plan, why);
}

PlanTarget::PlanTarget(const Volume& volume) : volume_(volume), alone_(aloneData(volume.image())) {}

bool PlanTarget::apply(std::vector<uint8_t>* image, const Plan& plan, std::string* why) const {
    if (image->data() != volume_.image().data() || image->size() != volume_.image().size()) {
        *why = "the image is not the one the volume reads";
        return false;
    }
    std::vector<int64_t> targets;
    for (const SectorWrite& w : plan.writes) {
        const SectorRef s = volume_.find(w.c, w.h, w.r);
        if (!s.found()) {
            *why = sectorName(w) + " is not on the disk";
            return false;
        }
        if (s.size != int32_t(w.data.size()) || s.present != s.size) {
            *why = sectorName(w) + " holds " + std::to_string(s.present) + " bytes, not " +
                   std::to_string(w.data.size());
            return false;
        }
        if (!std::binary_search(alone_.begin(), alone_.end(), s.position)) {
            *why = sectorName(w) + " shares its bytes with other parts of the image";
            return false;
        }
        targets.push_back(s.position);
    }
    for (size_t i = 0; i < plan.writes.size(); ++i)
        std::memcpy(image->data() + targets[i], plan.writes[i].data.data(),
                    plan.writes[i].data.size());
    return true;
}

std::vector<uint8_t> buildImage(const BlankDisk& disk, const std::string& name) {
    constexpr uint8_t kSingleDensity = 0x40;
    std::vector<uint8_t> image(d88::kDiskHeaderSize, 0);
    std::memcpy(image.data(), name.data(), std::min(name.size(), size_t(d88::kDiskNameLength)));
    image[d88::kMediaTypeOffset] = disk.media;
    for (size_t t = 0; t < disk.tracks.size() && t < size_t(d88::DiskImage::kTrackCount); ++t) {
        const std::vector<BlankSector>& track = disk.tracks[t];
        if (track.empty()) continue;
        putU32LE(image.data() + d88::kTrackTableOffset + 4 * t, uint32_t(image.size()));
        for (const BlankSector& s : track) {
            const size_t at = image.size();
            image.resize(at + d88::kSectorHeaderSize + s.data.size(), 0);
            uint8_t* h = image.data() + at;
            h[0] = s.c;
            h[1] = s.h;
            h[2] = s.r;
            h[3] = s.n;
            putU16LE(h + d88::kSectorCountOffset, uint32_t(track.size()));
            h[d88::kDensityOffset] = s.singleDensity ? kSingleDensity : 0;
            putU16LE(h + d88::kDataSizeOffset, uint32_t(s.data.size()));
            std::copy(s.data.begin(), s.data.end(), h + d88::kSectorHeaderSize);
        }
    }
    putU32LE(image.data() + d88::kDiskSizeOffset, uint32_t(image.size()));
    return image;
}

bool fillFromFlat(BlankDisk* disk, const std::vector<uint8_t>& flat, std::string* why) {
    size_t total = 0;
    for (const auto& track : disk->tracks)
        for (const BlankSector& s : track)
            total += s.data.size();
    if (flat.size() != total) {
        *why =
            std::to_string(flat.size()) + " bytes, where the disk holds " + std::to_string(total);
        return false;
    }
    size_t at = 0;
    for (auto& track : disk->tracks) {
        std::vector<BlankSector*> order;
        order.reserve(track.size());
        for (BlankSector& s : track)
            order.push_back(&s);
        std::stable_sort(order.begin(), order.end(),
                         [](const BlankSector* a, const BlankSector* b) { return a->r < b->r; });
        for (BlankSector* s : order) {
            std::copy(flat.begin() + std::ptrdiff_t(at),
                      flat.begin() + std::ptrdiff_t(at + s->data.size()), s->data.begin());
            at += s->data.size();
        }
    }
    return true;
}

std::vector<std::string> formatTypes(Kind kind) {
    switch (kind) {
        case Kind::kFlat:
            return formatTypesFlat();
        case Kind::kFat12:
            return formatTypesFat12();
        case Kind::kN88:
            return formatTypesN88();
        case Kind::kHuBasic:
            return formatTypesHuBasic();
        case Kind::kFBasic:
            return formatTypesFBasic();
    }
    return {};
}

bool formatDisk(Kind kind, const std::string& type, const std::string& label, BlankDisk* disk,
                std::string* why) {
    *disk = BlankDisk();
    const std::vector<std::string> types = formatTypes(kind);
    if (std::find(types.begin(), types.end(), type) == types.end()) {
        *why = "no disk type " + type + " for this file system";
        return false;
    }
    switch (kind) {
        case Kind::kFlat:
            return formatFlat(type, label, disk, why);
        case Kind::kFat12:
            return formatFat12(type, label, disk, why);
        case Kind::kN88:
            return formatN88(type, label, disk, why);
        case Kind::kHuBasic:
            return formatHuBasic(type, label, disk, why);
        case Kind::kFBasic:
            return formatFBasic(type, label, disk, why);
    }
    return false;
}

}  // namespace retrodisk::fs
