// DiskImage: read-only, sector-level access to the disks stored in one D88 image file.
#ifndef EXTRACT_DISK_IMAGE_H
#define EXTRACT_DISK_IMAGE_H

#include <cstdint>
#include <cstdio>

// Little-endian fields of the image, assembled byte by byte.
inline int32_t readU16LE(const uint8_t* p) { return int32_t(p[0] | (p[1] << 8)); }
inline int32_t readU32LE(const uint8_t* p) {
    return int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24);
}

class DiskImage {
public:
    static constexpr int kMaxDisks = 64;
    static constexpr int kTrackCount = 164;

    DiskImage() = default;
    ~DiskImage();
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    // open(nullptr) closes; open(path) opens and indexes the disks (true even with 0 disks).
    bool open(const char* path);
    // Loads the header of disk `index` (0-based); false leaves no disk selected.
    bool selectDisk(int32_t index);
    // R of the first and last sector of every track, for readSectors' stepping.
    void setSectorRange(int32_t first, int32_t last);
    // Reads the data of sector (c, h, r, n) of `track`, at most `length` bytes; returns bytes read.
    int32_t readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* buffer,
                       int32_t length);
    // Reads `length` bytes from sector (c, h, r, n) on, stepping through sectors, heads,
    // cylinders and tracks; returns the bytes delivered by sectors that gave their full share.
    int32_t readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n,
                        uint8_t* buffer, int32_t length);
    // Writes the (C, H, R, N) IDs of the sectors of `track`; returns bytes written (4 per ID).
    int32_t readTrackIds(int32_t track, uint8_t* buffer, int32_t length);

    int32_t diskCount() const { return diskCount_; }
    const char* diskName() const { return diskName_; }
    int32_t mediaType() const { return mediaType_; }

private:
    std::FILE* file_ = nullptr;
    int32_t diskCount_ = 0;
    int32_t firstSector_ = 1;
    int32_t lastSector_ = 16;
    int32_t diskOffsets_[kMaxDisks] = {};
    int32_t diskSize_ = 0;
    int32_t diskBase_ = 0;
    int32_t trackOffsets_[kTrackCount] = {};
    int32_t mediaType_ = -1;
    char diskName_[17] = {};
};

#endif  // EXTRACT_DISK_IMAGE_H
