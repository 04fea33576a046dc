// Fuzzes the image editor: a few put and rm operations on any bytes taken as an image. The
// input is kOps operations of 4 bytes, then the image:
//   +0 flags: bit 0 rm (else put), bit 1 allocate, bit 2 force, bit 3 disk 1 (else disk 0)
//   +1 the name: the name of entry N of the disk's directory, else one of a few fixed names
//   +2 the size of the data to put (u16 LE)
// After each operation: a refused one changed nothing; a done one changed no byte outside the
// sectors and directory slots it names, put its data where the directory says (in sectors
// that were free, or the file's own), and the reader lists the directory as it was with only
// that entry changed, every other file reading back the bytes it read before.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/scan.h>

#include "fuzz_check.h"

namespace {

using namespace retrodisk::d88;

constexpr size_t kOps = 4;
constexpr size_t kOpSize = 4;

struct File {
    std::string name;
    int32_t start;
    int32_t size;
    std::vector<uint8_t> data;  // what the reader reads of it
};

struct Listing {
    bool ok = false;  // the disk exists and its directory was read to its end
    std::vector<File> files;
    std::vector<bool> free;
};

Listing list(const std::vector<uint8_t>& image, int32_t index) {
    Listing l;
    const ImageView view(image.data(), image.size());
    DiskInfo disk;
    Directory directory;
    if (!view.readDisk(index, &disk)) return l;
    scanDirectory(view, disk, &directory);
    l.ok = directory.bytesRead > 0 && directory.end != DirectoryEnd::kShort;
    const std::vector<SectorRecord> sectors = mapFileSectors(view, disk);
    for (const DirectoryEntry& e : directory.entries) {
        std::vector<uint8_t> contents(size_t(e.size), 0);
        const int32_t got = readFile(view, sectors, e, contents.data());
        contents.resize(size_t(got));
        l.files.push_back({e.name, e.start, e.size, std::move(contents)});
    }
    l.free = freeSectors(view, sectors, directory);
    return l;
}

// File position of logical sector l's data as a read finds it, -1 when it has none.
int64_t dataAt(const ImageView& view, const DiskInfo& disk, int32_t l) {
    const uint8_t id[4] = {uint8_t(l >> 4), uint8_t((l >> 3) & 1), uint8_t((l & 7) + 1),
                           uint8_t(kSizeCode)};
    SectorRecord s;
    return view.findSector(disk, l >> 3, id, &s) ? s.position + kSectorHeaderSize : -1;
}

// Every byte of `after` outside the data of `sectors` and directory slots [firstSlot,
// endSlot) is `before`'s.
void checkOnlyNamed(const std::vector<uint8_t>& before, const std::vector<uint8_t>& after,
                    int32_t index, const std::vector<int32_t>& sectors, int32_t firstSlot,
                    int32_t endSlot) {
    FUZZ_CHECK(before.size() == after.size());
    std::vector<bool> named(before.size(), false);
    const ImageView view(before.data(), before.size());
    DiskInfo disk;
    FUZZ_CHECK(view.readDisk(index, &disk));
    const auto allow = [&](int64_t at, int64_t n) {
        for (int64_t k = 0; k < n && at >= 0 && size_t(at + k) < named.size(); ++k)
            named[size_t(at + k)] = true;
    };
    for (const int32_t l : sectors)
        if (l >= 0 && l < kLogicalSectors) allow(dataAt(view, disk, l), kSectorSize);
    int64_t directory[kDirectorySize / kSectorSize] = {};
    for (int32_t k = 0; k < kDirectorySize / kSectorSize; ++k)
        directory[k] = dataAt(view, disk, 2 + k);
    for (int32_t o = kEntrySize * firstSlot; o < kEntrySize * endSlot && o < kDirectorySize; ++o)
        if (directory[o / kSectorSize] >= 0) allow(directory[o / kSectorSize] + o % kSectorSize, 1);
    for (size_t i = 0; i < before.size(); ++i)
        FUZZ_CHECK(named[i] || before[i] == after[i]);
}

std::vector<int32_t> sectorRun(int32_t start, int32_t size) {
    std::vector<int32_t> run;
    for (int32_t l = start; l < start + sectorsFor(size); ++l)
        run.push_back(l);
    return run;
}

// True when `f` lies on the directory's sectors, 2 to 7, whose bytes an edit changes.
bool coversDirectory(const File& f) {
    return f.size > 0 && f.start < kFirstFileSector && f.start + sectorsFor(f.size) > 2;
}

void checkOp(ImageEditor* editor, const uint8_t* op) {
    const bool remove = (op[0] & 1) != 0;
    const bool allocate = (op[0] & 2) != 0;
    const bool force = (op[0] & 4) != 0;
    const int32_t index = (op[0] & 8) != 0 ? 1 : 0;
    const size_t size = size_t(op[2] | op[3] << 8);

    const std::vector<uint8_t> before = editor->bytes();
    const Listing was = list(before, index);
    static const char* const kNames[] = {"NEW", "\x83\x5C", "A", "THIRTEENCHARS", "BAD NAME", ""};
    const std::string name = op[1] < was.files.size() ? was.files[op[1]].name : kNames[op[1] % 6];
    size_t i = 0;
    while (i < was.files.size() && was.files[i].name != name)
        ++i;
    const bool found = i < was.files.size();
    std::vector<uint8_t> data(size);
    for (size_t k = 0; k < size; ++k)
        data[k] = uint8_t(k * 7 + op[1]);

    const EditResult r = remove ? editor->remove(index, name, force)
                                : editor->put(index, name, data.data(), size, allocate, force);
    const std::vector<uint8_t>& after = editor->bytes();
    if (r.status != EditStatus::kDone) {
        FUZZ_CHECK(after == before);
        return;
    }
    FUZZ_CHECK(was.ok && (found || (!remove && allocate)));

    std::vector<File> want = was.files;
    std::vector<int32_t> named;
    if (found) named = sectorRun(was.files[i].start, was.files[i].size);
    if (remove) {
        want.erase(want.begin() + std::ptrdiff_t(i));
        checkOnlyNamed(before, after, index, named, int32_t(i), int32_t(was.files.size()));
    } else {
        // The new sectors were free, or the file's own.
        for (int32_t l = r.first; l < r.first + r.count; ++l) {
            bool own = false;
            for (const int32_t o : named)
                own = own || o == l;
            FUZZ_CHECK(l >= kFirstFileSector && l < kLogicalSectors &&
                       (own || was.free[size_t(l)]));
        }
        for (const int32_t l : sectorRun(r.first, int32_t(size)))
            named.push_back(l);
        if (!found) want.emplace_back();
        want[i] = {name, r.first, int32_t(size), data};
        checkOnlyNamed(before, after, index, named, int32_t(i), int32_t(i) + (found ? 1 : 2));
    }

    const Listing is = list(after, index);
    FUZZ_CHECK(is.ok && is.files.size() == want.size());
    for (size_t k = 0; k < want.size(); ++k) {
        const File& have = is.files[k];
        FUZZ_CHECK(have.name == want[k].name && have.start == want[k].start &&
                   have.size == want[k].size);
        // A file lying on the directory's own sectors reads what the directory now holds.
        if (coversDirectory(want[k])) continue;
        FUZZ_CHECK(have.data == want[k].data);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Small images keep each run quick; every walk is bounded by the image's size.
    if (size < kOps * kOpSize || size > (size_t(1) << 17)) return 0;
    const uint8_t* image = data + kOps * kOpSize;
    ImageEditor editor(std::vector<uint8_t>(image, data + size));
    for (size_t k = 0; k < kOps; ++k)
        checkOp(&editor, data + k * kOpSize);
    return 0;
}
