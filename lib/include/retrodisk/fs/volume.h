// Volume: the sectors of one disk of a D88 image held in memory, found by their ID (C, H, R)
// and by logical number for a file system's layout. It is the only part of the file-system
// code that touches the image: file systems ask it for sectors and get an answer for every
// request, a missing or short sector included, never a read past the image.
#ifndef RETRODISK_FS_VOLUME_H
#define RETRODISK_FS_VOLUME_H

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include <retrodisk/d88/image_view.h>

namespace retrodisk::fs {

// Where logical sectors lie on a disk: logical sector L is on cylinder L / (spt * heads),
// head (L / spt) % heads, sector number firstSector + L % spt, each of `sectorSize` bytes.
// Sector 0 is cylinder 0, head 0, the first sector; the heads of a cylinder come in turn.
struct Layout {
    int32_t cylinders = 0;
    int32_t heads = 0;
    int32_t sectorsPerTrack = 0;
    int32_t sectorSize = 0;
    int32_t firstSector = 1;
    int64_t sectors() const { return int64_t(cylinders) * heads * sectorsPerTrack; }
    int64_t bytes() const { return sectors() * sectorSize; }
};

// The disk's geometry as its sectors show it (the D88 header's media byte aside): the highest
// cylinder and head seen, the most common number of sectors on a track and data size.
struct Shape {
    int32_t cylinders = 0;        // highest C + 1 among the sectors found
    int32_t heads = 0;            // highest H + 1
    int32_t sectorsPerTrack = 0;  // the most common count of sectors on a track
    int32_t sectorSize = 0;       // the most common data size
    int32_t tracks = 0;           // tracks with at least one sector
};

// One sector as the volume has it.
struct SectorRef {
    int64_t position = -1;  // file position of its data; -1: no such sector on the disk
    int32_t size = 0;       // the data size field
    int32_t present = 0;    // data bytes inside the file (size unless the file is cut short)
    uint8_t n = 0;          // size code of its ID
    int32_t track = -1;     // the track table entry it was found on
    bool found() const { return position >= 0; }
};

enum class SectorStatus {
    kOk,       // all the bytes asked for were read
    kMissing,  // no sector with that ID
    kShort,    // the sector holds fewer bytes than asked for (or the file cuts it short)
};

class Volume {
  public:
    // Walks every track of `disk` once (within walkBudget, as every reader of the image
    // does) and indexes its sectors by ID; a later sector with an ID already seen is not
    // used, as a read by ID finds the first. The image must outlive the volume.
    Volume(const d88::ImageView& image, const d88::DiskInfo& disk);

    const d88::ImageView& image() const { return image_; }
    const d88::DiskInfo& disk() const { return disk_; }
    const Shape& shape() const { return shape_; }
    // True when a track walk passed the image's walk budget: sectors from that track on are
    // not indexed (a crafted or damaged image).
    bool tangled() const { return tangled_; }

    // The sector with ID (c, h, r), on the track at index c * heads + h of the table when it
    // is there, else on any track.
    SectorRef find(int32_t c, int32_t h, int32_t r) const;
    // The data of that sector, or null when there is none; *present gets its byte count.
    const uint8_t* data(int32_t c, int32_t h, int32_t r, int32_t* present) const;

    // Copies `length` bytes of sector (c, h, r) into `out`; bytes not read are zeroed.
    SectorStatus read(int32_t c, int32_t h, int32_t r, uint8_t* out, int32_t length) const;
    // The same for logical sector `logical` of `layout` (layout.sectorSize bytes).
    SectorStatus readLogical(const Layout& layout, int64_t logical, uint8_t* out) const;
    // Where logical sector `logical` of `layout` is: its C, H and R.
    static void locate(const Layout& layout, int64_t logical, int32_t* c, int32_t* h, int32_t* r);

  private:
    const d88::ImageView& image_;
    d88::DiskInfo disk_;
    Shape shape_;
    bool tangled_ = false;
    // The sector each ID (c << 16 | h << 8 | r) reads, sorted by ID: one sorted array rather
    // than a tree of a node per sector, as a volume is built for every open of a disk.
    std::vector<std::pair<uint32_t, SectorRef>> sectors_;
};

}  // namespace retrodisk::fs

#endif  // RETRODISK_FS_VOLUME_H
