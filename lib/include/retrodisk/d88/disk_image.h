// DiskImage: read-only, sector-level access to the disks stored in one D88 image file.
// All multi-byte fields are little-endian; docs/formats.md draws the layout.
#ifndef RETRODISK_D88_DISK_IMAGE_H
#define RETRODISK_D88_DISK_IMAGE_H

#include <cstdint>
#include <cstdio>

namespace retrodisk::d88 {

// DiskHeader, 688 bytes: +0 name (16)  +26 write-protect flag  +27 media type
//                        +28 disk size (u32): the distance to the next disk's header
//                        +32 track table, 164 x u32 offsets from the start of this header
constexpr int kDiskHeaderSize = 688;
constexpr int kDiskNameLength = 16;
constexpr int kWriteProtectOffset = 26;
constexpr int kMediaTypeOffset = 27;
constexpr int kDiskSizeOffset = 28;
constexpr int kTrackTableOffset = 32;

// SectorHeader, 16 bytes: +0 C  +1 H  +2 R  +3 N  +4 sectors in track (u16)  +6 density
//                         +7 deleted-data mark  +8 status  +14 data size (u16),
// followed by the sector's data.
constexpr int kSectorHeaderSize = 16;
constexpr int kSectorCountOffset = 4;
constexpr int kDensityOffset = 6;
constexpr int kDeletedOffset = 7;
constexpr int kStatusOffset = 8;
constexpr int kDataSizeOffset = 14;

class DiskImage {
  public:
    static constexpr int kMaxDisks = 64;
    static constexpr int kTrackCount = 164;

    DiskImage() = default;
    ~DiskImage();
    DiskImage(const DiskImage&) = delete;
    DiskImage& operator=(const DiskImage&) = delete;

    // open(nullptr) closes; open(path) closes any open stream, then opens and indexes the disks
    // (true even with 0 disks; false when the file cannot be opened or is a directory); on
    // Windows `path` is UTF-8. Neither clears the selected disk's size, base or track table.
    bool open(const char* path);
    // Loads the header of disk `index` (0-based); false leaves no disk selected.
    bool selectDisk(int32_t index);
    // R of the first and last sector of every track, for readSectors' stepping.
    void setSectorRange(int32_t first, int32_t last);
    // Reads the data of sector (c, h, r, n) of `track`, at most `length` bytes; returns bytes read
    // (fewer than the data size field when the file ends inside the data), 0 when not found.
    int32_t readSector(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* buffer,
                       int32_t length);
    // Reads `length` bytes from sector (c, h, r, n) on, stepping through sectors, heads,
    // cylinders and tracks; returns the bytes delivered by sectors that gave their full share.
    int32_t readSectors(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, uint8_t* buffer,
                        int32_t length);
    // Writes the (C, H, R, N) IDs of the sectors of `track`; returns bytes written (4 per ID).
    int32_t readTrackIds(int32_t track, uint8_t* buffer, int32_t length);

    int32_t diskCount() const { return diskCount_; }
    const char* diskName() const { return diskName_; }
    int32_t mediaType() const { return mediaType_; }

  private:
    // Where a sector of the cached track walk is: its ID, data size field and data position.
    struct SectorSpot {
        uint8_t id[4];
        int32_t dataSize;
        int64_t dataPosition;
    };
    // Sectors remembered per track walk; a longer walk continues from the file past them.
    static constexpr int kCachedSectors = 64;
    // Stream buffer: a whole track of 8 x 1024-byte sectors with their headers fits, so a walk
    // and the data reads that follow it read the file once.
    static constexpr int kStreamBufferSize = 32768;
    // Forward steps up to this many bytes are read past rather than sought.
    static constexpr int64_t kSkipByReading = 4096;

    void close();
    // File position of `track`'s first sector header, or -1 when the track cannot be read.
    int64_t trackPosition(int32_t track) const;
    // Reads up to `size` bytes at file position `position`; returns the bytes read, 0 when
    // the position is invalid.
    size_t readAt(int64_t position, void* buffer, size_t size);
    // Reads the sector header at `position`; false when the file ends inside it.
    bool readHeader(int64_t position, uint8_t* header);
    // Walks the sector headers of the track at `position` the way readSector does, from header
    // number `index`: remembers up to kCachedSectors sectors in the cache when `target` is null,
    // otherwise stops at the first sector whose ID is `target`. Returns that sector (or null).
    const SectorSpot* walk(int64_t position, int64_t index, const uint8_t* target);

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

    // The stream's position when known, -1 otherwise.
    int64_t position_ = -1;
    // The walk of the last track read, valid until the next open or selectDisk.
    int32_t cachedTrack_ = -1;
    int32_t cachedCount_ = 0;
    bool cacheComplete_ = false;  // the walk ended within the cached sectors
    int64_t resumePosition_ = 0;  // otherwise: where the walk goes on, at header resumeIndex_
    int64_t resumeIndex_ = 0;
    SectorSpot cache_[kCachedSectors] = {};
    SectorSpot found_ = {};  // result of an uncached walk
    char streamBuffer_[kStreamBufferSize] = {};
};

}  // namespace retrodisk::d88

#endif  // RETRODISK_D88_DISK_IMAGE_H
