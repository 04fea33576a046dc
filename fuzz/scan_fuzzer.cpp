// Fuzzes the scans on arbitrary bytes taken as an image: the anomaly scan, the geometry, the
// directory scan, each file's read and the free-space map of the first disks. Checked: the
// directory reads what DiskImage reads and ends as its bytes say, every file read stays
// within its size and is what DiskImage reads (unless the image is tangled), the free runs are
// ascending, disjoint, past track 0 and add up to the free map, anomalies name a track of the
// table, and names shown carry no control bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/d88/scan.h>

#include "fuzz_check.h"
#include "temp_image.h"

namespace {

using namespace retrodisk::d88;

void checkNoControlBytes(const std::string& name) {
    for (const char ch : escapeForDisplay(name)) {
        const auto b = static_cast<unsigned char>(ch);
        FUZZ_CHECK(b >= 0x20 && b != 0x7F);
    }
}

void checkDisk(const ImageView& image, const DiskInfo& disk, DiskImage* reader) {
    for (const Anomaly& a : scanAnomalies(image, disk)) {
        FUZZ_CHECK(a.track >= -1 && a.track < disk.tableEntries);
        FUZZ_CHECK(!a.detail.empty());
    }
    const Geometry g = commonGeometry(image, disk);
    FUZZ_CHECK(g.tracks <= disk.tableEntries && g.heads <= 2 && g.cylinders <= 82);

    Directory directory;
    scanDirectory(image, disk, &directory);
    FUZZ_CHECK(directory.bytesRead % kSectorSize == 0 && directory.bytesRead <= kDirectorySize);
    uint8_t area[kDirectorySize];
    FUZZ_CHECK(reader->readSectors(kDirectoryTrack, 0, 0, kDirectorySector, kSizeCode, area,
                                   kDirectorySize) == directory.bytesRead);
    const size_t listed = directory.entries.size();
    // The scan stops at the first entry not read whole, at a zero name byte, or after all.
    FUZZ_CHECK(int32_t(listed) * kEntrySize <= directory.bytesRead);
    if (directory.end == DirectoryEnd::kFull) FUZZ_CHECK(listed == size_t(kMaxEntries));
    if (directory.end == DirectoryEnd::kMarker)
        FUZZ_CHECK(area[listed * kEntrySize + kNameOffset] == 0);
    if (directory.end == DirectoryEnd::kShort)
        FUZZ_CHECK(int32_t(listed + 1) * kEntrySize > directory.bytesRead);

    // Files read through one walk of each track are the reader's, unless the walks pass more
    // headers than the budget allows (a tangled image), where they stop.
    const std::vector<SectorRecord> sectors = mapFileSectors(image, disk);
    std::vector<SectorRecord> walk;
    size_t walked = 0;
    for (int32_t t = 0; t < DiskImage::kTrackCount; ++t) {
        image.walkTrack(disk, t, &walk);
        walked += walk.size();
    }
    const bool tangled = walked > walkBudget(image);
    for (const DirectoryEntry& e : directory.entries) {
        // Blocks of exactly the entry's size, so ASan sees any write past them.
        const std::unique_ptr<uint8_t[]> data(new uint8_t[size_t(e.size)]);
        const int32_t got = readFile(image, sectors, e, data.get());
        FUZZ_CHECK(got >= 0 && got <= e.size);
        const std::unique_ptr<uint8_t[]> read(new uint8_t[size_t(e.size)]);
        if (!tangled)
            FUZZ_CHECK(reader->readSectors(e.track, e.c, e.h, e.r, kSizeCode, read.get(), e.size) ==
                           got &&
                       std::equal(data.get(), data.get() + got, read.get()));
        checkNoControlBytes(e.name);
    }
    const std::vector<bool> free = freeSectors(image, sectors, directory);
    int32_t freeCount = 0;
    for (const bool f : free)
        freeCount += f ? 1 : 0;
    int32_t next = kFirstFileSector;
    for (const SectorRun& r : freeRuns(free)) {
        FUZZ_CHECK(r.first >= next && r.count > 0 && r.first + r.count <= kLogicalSectors);
        next = r.first + r.count + 1;  // maximal: a run never touches the next one
        freeCount -= r.count;
    }
    FUZZ_CHECK(freeCount == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Every walk is bounded by the input's size; small inputs keep each run quick.
    if (size > (size_t(1) << 16)) return 0;
    const char* path = writeTempImage(data, size);
    DiskImage reader;
    if (!reader.open(path)) std::abort();
    reader.setSectorRange(kFirstSector, kLastSector);
    const ImageView image(data, size);
    FUZZ_CHECK(image.diskCount() == reader.diskCount());
    // The first disks: later ones are the same scans on other bytes.
    for (int32_t i = 0; i < image.diskCount() && i < 3; ++i) {
        DiskInfo disk;
        FUZZ_CHECK(image.readDisk(i, &disk) && reader.selectDisk(i));
        FUZZ_CHECK(disk.tableEntries >= 0 && disk.tableEntries <= DiskImage::kTrackCount);
        checkNoControlBytes(disk.name);
        checkDisk(image, disk, &reader);
    }
    return 0;
}
