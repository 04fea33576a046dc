// The reader's rules for finding a track and for stepping through a run of sectors, shared by
// DiskImage (a file) and ImageView (memory) so that the two read every image alike.
#ifndef RETRODISK_SRC_D88_READ_RULES_H
#define RETRODISK_SRC_D88_READ_RULES_H

#include <cstdint>

namespace retrodisk::d88 {

// File position of a track whose table entry is `offset`, on the disk at `diskOffset` of size
// field `diskSize`; -1 when the reader cannot read it. The comparison is signed: an offset of
// 2^31 or more passes as a negative number, and one equal to the disk size passes too. The
// sum wraps as 32 bits, and a negative position is no track.
inline int64_t trackPositionOf(int64_t diskOffset, int32_t diskSize, int32_t offset) {
    if (offset == 0 || offset > diskSize) return -1;
    const int32_t position = int32_t(uint32_t(diskOffset) + uint32_t(offset));
    return position < 0 ? -1 : position;
}

// Reads `length` bytes into `buffer` from the sectors of size 128 << n that follow one another
// from C H R on `track`, through readSector(track, c, h, r, buffer, chunk), which returns how
// many bytes it read. Past sector number `last` the run goes on at `first`, on the other head
// of the same cylinder or on head 0 of the next cylinder, on the next track entry; the steps
// wrap as 32-bit values. Returns the bytes read before the first sector that was missing or
// short.
template <typename ReadSector>
int32_t readSectorRun(int32_t track, int32_t c, int32_t h, int32_t r, int32_t n, int32_t first,
                      int32_t last, uint8_t* buffer, int32_t length, ReadSector readSector) {
    if (n < 0) return 0;
    // 128 << n in 64 bits; from n = 24 on it exceeds any length, so every chunk is cut to what
    // is left, as it is for small n.
    const int64_t sectorSize = n >= 24 ? INT64_MAX : int64_t(128) << n;
    int32_t total = 0;
    while (total < length) {
        const int32_t left = length - total;
        const int32_t chunk = sectorSize < left ? int32_t(sectorSize) : left;
        if (readSector(track, c, h, r, buffer + total, chunk) < chunk) return total;
        total += chunk;
        if (r == last) {
            track = int32_t(uint32_t(track) + 1);
            if (h != 0) c = int32_t(uint32_t(c) + 1);
            h = h == 0 ? 1 : 0;
            r = first;
        } else {
            r = int32_t(uint32_t(r) + 1);
        }
    }
    return total;
}

}  // namespace retrodisk::d88

#endif  // RETRODISK_SRC_D88_READ_RULES_H
