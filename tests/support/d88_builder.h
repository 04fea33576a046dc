// Builds D88 images in memory for tests and tools: disks with any header fields and track table,
// tracks of sectors with any ID, count and data size fields, and a standard 2-sided disk of
// 8 x 1024-byte sectors per track with a file directory. Truncate by resizing the result.
#ifndef TESTS_SUPPORT_D88_BUILDER_H
#define TESTS_SUPPORT_D88_BUILDER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/disk_image.h>

namespace builder {

using Bytes = std::vector<uint8_t>;

inline void putU16LE(Bytes& bytes, size_t at, uint32_t value) {
    bytes[at] = uint8_t(value);
    bytes[at + 1] = uint8_t(value >> 8);
}
inline void putU32LE(Bytes& bytes, size_t at, uint32_t value) {
    for (int k = 0; k < 4; ++k)
        bytes[at + size_t(k)] = uint8_t(value >> (8 * k));
}
inline std::string toString(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

constexpr size_t kDiskHeaderSize = retrodisk::d88::kDiskHeaderSize;
constexpr size_t kSectorHeaderSize = retrodisk::d88::kSectorHeaderSize;
constexpr int kTracks = retrodisk::d88::DiskImage::kTrackCount;

struct Sector {
    uint8_t c = 0, h = 0, r = 1, n = 3;
    uint8_t density = 0, deleted = 0, status = 0;  // header bytes 6, 7 and 8
    Bytes data;
    int32_t count = -1;  // sectors-in-track field; -1: the number of sectors of the track
};

struct Disk {
    std::string name;  // the first 16 bytes go to the header
    uint8_t mediaType = 0;
    std::vector<std::vector<Sector>> tracks = std::vector<std::vector<Sector>>(kTracks);
    int64_t sizeField = -1;                      // -1: the disk's real length
    std::map<int, uint32_t> trackTableOverride;  // raw track table entries, by track

    // The header followed by the present tracks in order; absent tracks get offset 0.
    Bytes bytes() const {
        Bytes out(kDiskHeaderSize, 0);
        for (size_t i = 0; i < name.size() && i < 16; ++i)
            out[i] = uint8_t(name[i]);
        out[27] = mediaType;
        for (size_t t = 0; t < size_t(kTracks); ++t) {
            if (tracks[t].empty()) continue;
            putU32LE(out, 32 + 4 * t, uint32_t(out.size()));
            for (const Sector& s : tracks[t]) {
                const size_t at = out.size();
                out.resize(at + kSectorHeaderSize, 0);
                const uint8_t id[] = {s.c, s.h, s.r, s.n};
                std::copy(id, id + 4, out.begin() + std::ptrdiff_t(at));
                putU16LE(out, at + 4, uint32_t(s.count < 0 ? int32_t(tracks[t].size()) : s.count));
                out[at + 6] = s.density;
                out[at + 7] = s.deleted;
                out[at + 8] = s.status;
                putU16LE(out, at + 14, uint32_t(s.data.size()));
                out.insert(out.end(), s.data.begin(), s.data.end());
            }
        }
        for (const auto& [t, value] : trackTableOverride)
            putU32LE(out, 32 + 4 * size_t(t), value);
        putU32LE(out, 28, uint32_t(sizeField < 0 ? int64_t(out.size()) : sizeField));
        return out;
    }
};

// Disks back to back.
inline Bytes image(const std::vector<Disk>& disks) {
    Bytes out;
    for (const Disk& d : disks) {
        const Bytes b = d.bytes();
        out.insert(out.end(), b.begin(), b.end());
    }
    return out;
}

// A disk of 77 cylinders x 2 heads x 8 sectors of 1024 bytes (R 1 to 8, N 3). Logical sector L
// is on track L >> 3 (C = track >> 1, H = track & 1), R = (L & 7) + 1. The directory is logical
// sectors 2 to 7: 18-byte entries (+1 name, 13 bytes space padded; +14 start; +16 size).
class StandardDisk {
  public:
    static constexpr int kSectors = 77 * 2 * 8;
    static constexpr size_t kSectorSize = 1024;
    static constexpr size_t kDirectoryStart = 2 * kSectorSize;

    StandardDisk() : contents_(kSectors * kSectorSize, 0), used_(kSectors, false) {}

    // Bytes of the disk seen as one run of logical sectors.
    void write(size_t offset, const Bytes& bytes) {
        for (size_t i = 0; i < bytes.size(); ++i)
            contents_[offset + i] = bytes[i];
        for (size_t s = offset / kSectorSize; s * kSectorSize < offset + bytes.size(); ++s)
            used_[s] = true;
    }

    // Directory entry `index`: the name field gets `name` padded with spaces to 13 bytes.
    void setEntry(int index, const std::string& name, uint32_t start, uint32_t size) {
        Bytes entry(18, 0);
        for (size_t i = 0; i < 13; ++i)
            entry[1 + i] = i < name.size() ? uint8_t(name[i]) : ' ';
        putU16LE(entry, 14, start);
        putU16LE(entry, 16, size);
        write(kDirectoryStart + 18 * size_t(index), entry);
        if (index >= entries_) entries_ = index + 1;
    }

    // A file: the entry after the last one set, its data from logical sector `start` on.
    void addFile(const std::string& name, uint32_t start, const Bytes& data) {
        setEntry(entries_++, name, start, uint32_t(data.size()));
        write(start * kSectorSize, data);
    }

    // sparse: only the sectors written to are present, and tracks without any are absent.
    // The media byte is 2HD's, the media of this geometry.
    Disk disk(bool sparse = false) const {
        Disk d;
        d.name = "TESTDISK";
        d.mediaType = 0x20;
        for (int s = 0; s < kSectors; ++s) {
            if (sparse && !used_[size_t(s)]) continue;
            Sector sector;
            sector.c = uint8_t(s >> 4);
            sector.h = uint8_t((s >> 3) & 1);
            sector.r = uint8_t((s & 7) + 1);
            sector.n = 3;
            const auto first = contents_.begin() + std::ptrdiff_t(size_t(s) * kSectorSize);
            sector.data = Bytes(first, first + std::ptrdiff_t(kSectorSize));
            d.tracks[size_t(s >> 3)].push_back(sector);
        }
        return d;
    }
    Bytes bytes(bool sparse = false) const { return disk(sparse).bytes(); }

  private:
    Bytes contents_;
    std::vector<bool> used_;
    int entries_ = 0;
};

// A disk whose sectors hold `flat`, a flat sector image (as dd, mtools and emulators write):
// logical sector L of `sectorSize` bytes is on cylinder L / (spt * heads), head (L / spt) %
// heads, R = 1 + L % spt, on track table entry cylinder * 2 + head (single-sided disks too, as
// most tools write them). Sectors past the end of `flat` are zero-filled.
inline Disk flatDisk(const Bytes& flat, int cylinders, int heads, int spt, int sectorSize,
                     uint8_t mediaType) {
    Disk d;
    d.name = "FLATDISK";
    d.mediaType = mediaType;
    uint8_t n = 0;
    while ((128 << n) < sectorSize)
        ++n;
    for (int c = 0; c < cylinders; ++c)
        for (int h = 0; h < heads; ++h)
            for (int r = 1; r <= spt; ++r) {
                Sector s;
                s.c = uint8_t(c);
                s.h = uint8_t(h);
                s.r = uint8_t(r);
                s.n = n;
                const size_t at =
                    ((size_t(c) * size_t(heads) + size_t(h)) * size_t(spt) + size_t(r - 1)) *
                    size_t(sectorSize);
                s.data.assign(size_t(sectorSize), 0);
                for (size_t i = 0; i < size_t(sectorSize) && at + i < flat.size(); ++i)
                    s.data[i] = flat[at + i];
                d.tracks[size_t(c) * 2 + size_t(h)].push_back(s);
            }
    return d;
}

}  // namespace builder

#endif  // TESTS_SUPPORT_D88_BUILDER_H
