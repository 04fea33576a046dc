// ImageEditor against a model of the directory and the free sectors, over random put and rm
// steps on a blank disk and on a damaged one; names an entry can hold; saving.
#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/scan.h>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "cli.h"
#include "d88_builder.h"
#include "test_data.h"

namespace {

using namespace retrodisk::d88;

using builder::Bytes;
using testdata::randomBytes;

// The first sector with logical sector l's ID on its track, when it holds 1024 bytes: where
// its data starts, else -1.
int64_t dataAt(const Bytes& image, int32_t l) {
    const ImageView view(image.data(), image.size());
    DiskInfo disk;
    SectorRecord s;
    const uint8_t id[4] = {uint8_t(l >> 4), uint8_t((l >> 3) & 1), uint8_t((l & 7) + 1), 3};
    if (!view.readDisk(0, &disk) || !view.findSector(disk, l >> 3, id, &s) ||
        s.dataPresent != kSectorSize || s.dataSize != kSectorSize)
        return -1;
    return s.position + kSectorHeaderSize;
}

// What the disk should hold: its files in directory order, and the sectors a file may use
// (past track 0, 1024 bytes each, and blank or a file's when the model starts). A sector is
// free when it is usable and no file covers it.
struct Model {
    struct File {
        std::string name;
        int32_t start;
        int32_t size;
        Bytes data;  // what the reader reads of it
    };
    std::vector<File> files;
    std::vector<bool> usable;

    std::vector<bool> covered(size_t skip) const {
        std::vector<bool> c(kLogicalSectors, false);
        for (size_t i = 0; i < files.size(); ++i)
            for (int32_t l = files[i].start;
                 i != skip && l < files[i].start + sectorsFor(files[i].size); ++l)
                if (l < kLogicalSectors) c[size_t(l)] = true;
        return c;
    }
    size_t find(const std::string& name) const {
        return size_t(std::find_if(files.begin(), files.end(),
                                   [&](const File& f) { return f.name == name; }) -
                      files.begin());
    }
    // The verdict of put, and where the data goes.
    bool put(const std::string& name, const Bytes& data, bool allocate) {
        const size_t i = find(name);
        const std::vector<bool> others = covered(i);
        const int32_t needed = sectorsFor(int32_t(data.size()));
        if (i < files.size()) {
            const int32_t start = files[i].start;
            const int32_t has = sectorsFor(files[i].size);
            bool fits = has >= needed && (has > 0 || needed == 0);
            for (int32_t l = start; l < start + has && fits; ++l)
                fits = l < kLogicalSectors && usable[size_t(l)] && !others[size_t(l)];
            if (fits) {
                files[i] = {name, start, int32_t(data.size()), data};
                return true;
            }
        }
        if (!allocate || (i == files.size() && files.size() == size_t(kMaxEntries))) return false;
        int32_t first = needed == 0 ? 0 : -1;
        for (int32_t l = 0, run = 0; l < kLogicalSectors && first < 0; ++l) {
            run = usable[size_t(l)] && !others[size_t(l)] ? run + 1 : 0;
            if (run == needed) first = l - needed + 1;
        }
        if (first < 0) return false;
        if (i == files.size()) files.emplace_back();
        files[i] = {name, first, int32_t(data.size()), data};
        return true;
    }
};

// The reader's view of the editor's disk, as the model holds it, and the free sectors.
std::pair<std::vector<Model::File>, std::vector<bool>> readBack(const Bytes& image) {
    const ImageView view(image.data(), image.size());
    DiskInfo disk;
    view.readDisk(0, &disk);
    Directory directory;
    scanDirectory(view, disk, &directory);
    const std::vector<SectorRecord> sectors = mapFileSectors(view, disk);
    std::vector<Model::File> files;
    for (const DirectoryEntry& e : directory.entries) {
        Bytes contents(size_t(e.size), 0);
        const int32_t got = readFile(view, sectors, e, contents.data());
        contents.resize(size_t(got));
        files.push_back({e.name, e.start, e.size, contents});
    }
    return {files, freeSectors(view, sectors, directory)};
}

bool operator==(const Model::File& a, const Model::File& b) {
    return a.name == b.name && a.start == b.start && a.size == b.size && a.data == b.data;
}

// A disk the builder damaged: files, one sharing a sector with another, one running past the
// disk, one on track 0, a stale entry past the end marker; a duplicate ID, deleted-data and
// status marks, a sector of 512 bytes, a missing track, data no entry covers; a second disk
// and trailing bytes after it.
Bytes damagedImage() {
    builder::StandardDisk s;
    s.addFile("A.TXT", 40, randomBytes(3000, 1));
    s.addFile("B", 44, randomBytes(100, 2));
    s.addFile("SHARED1", 60, randomBytes(2048, 3));
    s.setEntry(3, "SHARED2", 61, 1024);
    s.setEntry(4, "FAR", 1230, 5000);
    s.setEntry(5, "BOOT", 0, 2048);
    s.setEntry(7, "STALE", 300, 100);  // slot 6 is the end marker
    s.write(size_t(70) * 1024, {1, 2, 3});
    builder::Disk d = s.disk();
    d.tracks[1].push_back(d.tracks[1][3]);  // never read: the first of the ID is
    d.tracks[1].back().data.assign(1024, 0xE5);
    d.tracks[2][0].deleted = 0x10;
    d.tracks[2][1].status = 0xB0;
    d.tracks[3][2].data.resize(512);
    d.tracks[4].clear();
    Bytes image = builder::image({d, builder::StandardDisk().disk(true)});
    image.insert(image.end(), {9, 9, 9});
    return image;
}

// The data sectors and directory slots an operation names: a file's old and new sectors,
// its slot (and the next for a new entry; those after it for rm). Every other byte of `after`
// must be `before`'s.
void expectOnlyNamed(const Bytes& before, const Bytes& after, std::vector<int32_t> sectors,
                     int32_t firstSlot, int32_t endSlot) {
    ASSERT_EQ(after.size(), before.size());
    std::vector<std::pair<int64_t, int64_t>> allowed = {{int64_t(before.size()), 0}};
    for (const int32_t l : sectors)
        if (l >= kFirstFileSector && l < kLogicalSectors && dataAt(before, l) >= 0)
            allowed.emplace_back(dataAt(before, l), dataAt(before, l) + kSectorSize);
    const int64_t directory[] = {dataAt(before, 2), dataAt(before, 3), dataAt(before, 4),
                                 dataAt(before, 5), dataAt(before, 6), dataAt(before, 7)};
    for (int32_t o = kEntrySize * firstSlot; o < kEntrySize * std::min(endSlot, kMaxEntries); ++o)
        allowed.emplace_back(directory[o / kSectorSize] + o % kSectorSize,
                             directory[o / kSectorSize] + o % kSectorSize + 1);
    std::sort(allowed.begin(), allowed.end());
    int64_t from = 0;
    for (const auto& [begin, end] : allowed) {
        ASSERT_TRUE(begin <= from ||
                    std::equal(before.begin() + from, before.begin() + begin, after.begin() + from))
            << "a byte in [" << from << ", " << begin << ") changed";
        from = std::max(from, end);
    }
}

std::vector<int32_t> run(int32_t start, int32_t size) {
    std::vector<int32_t> sectors(size_t(sectorsFor(size)));
    std::iota(sectors.begin(), sectors.end(), start);
    return sectors;
}

// Random put and rm steps; after each, the editor and the model agree on the verdict, the
// files the reader reads and the free sectors, and no byte changed that the step did not name.
void checkAgainstModel(const Bytes& image, uint32_t seed) {
    ImageEditor editor(image);
    Model model;
    const auto [files, freeAtStart] = readBack(image);
    model.files = files;
    const std::vector<bool> cover = model.covered(SIZE_MAX);
    for (int32_t l = 0; l < kLogicalSectors; ++l)
        model.usable.push_back(l >= kFirstFileSector && dataAt(image, l) >= 0 &&
                               (freeAtStart[size_t(l)] || cover[size_t(l)]));
    const std::vector<std::string> names = {"A.TXT", "B",  "SHARED1", "SHARED2",  "FAR",
                                            "BOOT",  "N1", "N2",      "\x83\x5C", "N4"};
    std::mt19937 rng(seed);
    for (int step = 0; step < 250; ++step) {
        const std::string& name = names[rng() % names.size()];
        const size_t i = model.find(name);
        const size_t count = model.files.size();
        const Bytes before = editor.bytes();
        std::vector<int32_t> named;
        if (i < count) named = run(model.files[i].start, model.files[i].size);
        std::string what;
        if (rng() % 4 == 0) {
            what = "rm " + name;
            const bool done = editor.remove(0, name, false).status == EditStatus::kDone;
            ASSERT_EQ(done, i < count) << step << " " << what;
            if (done) model.files.erase(model.files.begin() + std::ptrdiff_t(i));
            ASSERT_NO_FATAL_FAILURE(
                expectOnlyNamed(before, editor.bytes(), named, int32_t(i), int32_t(count)))
                << step << " " << what;
        } else {
            const size_t limits[] = {0, 1024, 5000, 20000};
            const size_t limit = limits[rng() % 4];
            const Bytes data = randomBytes(limit == 0 ? 0 : 1 + rng() % limit, uint32_t(rng()));
            const bool allocate = rng() % 4 != 0;
            what =
                "put " + name + " " + std::to_string(data.size()) + (allocate ? " --allocate" : "");
            const EditResult r = editor.put(0, name, data.data(), data.size(), allocate, false);
            ASSERT_EQ(r.status == EditStatus::kDone, model.put(name, data, allocate))
                << step << " " << what;
            const std::vector<int32_t> now = run(r.first, r.count * kSectorSize);
            named.insert(named.end(), now.begin(), now.end());
            ASSERT_NO_FATAL_FAILURE(expectOnlyNamed(before, editor.bytes(), named, int32_t(i),
                                                    int32_t(i) + (i < count ? 1 : 2)))
                << step << " " << what;
        }
        const auto read = readBack(editor.bytes());
        ASSERT_TRUE(read.first == model.files) << step << " " << what;
        const std::vector<bool> used = model.covered(SIZE_MAX);
        for (int32_t l = 0; l < kLogicalSectors; ++l)
            ASSERT_EQ(read.second[size_t(l)], model.usable[size_t(l)] && !used[size_t(l)])
                << step << " " << what << ": sector " << l;
    }
}

TEST(Editor, FollowsTheModel) {
    for (uint32_t seed = 1; seed <= 2; ++seed) {
        ASSERT_NO_FATAL_FAILURE(checkAgainstModel(blankImage("BLANK"), seed));
        ASSERT_NO_FATAL_FAILURE(checkAgainstModel(damagedImage(), seed));
    }
}

// A track of the second disk whose offset (2^31 or more) points back into the first disk's
// track 10: the sectors both disks read are never written, not even to clear a moved file's
// old sectors, so the second disk reads what it read before.
TEST(Editor, LeavesSectorsAnotherDiskReads) {
    builder::StandardDisk s;
    s.addFile("A.TXT", 80, randomBytes(3000, 1));
    Bytes image = builder::image({s.disk(), builder::StandardDisk().disk(true)});
    const ImageView view(image.data(), image.size());
    DiskInfo second;
    ASSERT_TRUE(view.readDisk(1, &second));
    const int64_t track10 = dataAt(image, 80) - kSectorHeaderSize;
    builder::putU32LE(image, size_t(second.offset) + kTrackTableOffset + size_t(4) * 20,
                      uint32_t(track10 - second.offset));
    ImageEditor editor(image);
    const Bytes data = randomBytes(100, 2);
    const EditResult inPlace = editor.put(0, "A.TXT", data.data(), data.size(), false, false);
    EXPECT_EQ(inPlace.status, EditStatus::kNeedsAllocate);
    EXPECT_EQ(inPlace.problem, InPlaceProblem::kOverlaps);
    const EditResult moved = editor.put(0, "A.TXT", data.data(), data.size(), true, false);
    ASSERT_EQ(moved.status, EditStatus::kDone);
    EXPECT_TRUE(moved.first < 80 || moved.first >= 88) << moved.first;
    const auto shared = image.begin() + track10;
    EXPECT_TRUE(std::equal(shared, shared + std::ptrdiff_t(8) * (kSectorHeaderSize + kSectorSize),
                           editor.bytes().begin() + track10));
}

// Track 2 starts inside free sector 8's zero bytes, where a count of 0 ends its walk at once:
// that header is read, so a new file goes past sector 8 and the track stays empty.
TEST(Editor, KeepsTheHeaderThatEndsATrack) {
    Bytes image = builder::image({builder::StandardDisk().disk()});
    const int64_t sector8 = dataAt(image, 8);
    builder::putU32LE(image, kTrackTableOffset + size_t(4) * 2, uint32_t(sector8));
    ImageEditor editor(image);
    const Bytes data = randomBytes(100, 4);
    const EditResult added = editor.put(0, "NEW", data.data(), data.size(), true, false);
    ASSERT_EQ(added.status, EditStatus::kDone);
    EXPECT_NE(added.first, 8);
    EXPECT_TRUE(std::equal(image.begin() + sector8, image.begin() + sector8 + kSectorHeaderSize,
                           editor.bytes().begin() + sector8));
}

// Tracks 1 to 163 all start at one chain of 65536 empty sectors whose counts never end a
// walk: 163 walks through the whole file. Mapping it would hold 10 million sectors; the walks
// pass more headers than the file can hold, so nothing is written, and at once.
TEST(Editor, RefusesTangledTracksAtOnce) {
    builder::Disk d = builder::StandardDisk().disk();
    for (size_t t = 2; t < d.tracks.size(); ++t)
        d.tracks[t].clear();
    d.tracks[1].assign(65536, builder::Sector());
    for (size_t i = 0; i < d.tracks[1].size(); ++i)
        d.tracks[1][i].count = i == 0 ? 2 : int32_t(i & 0xFFFF);
    const uint32_t chain = uint32_t(kDiskHeaderSize + 8 * (kSectorHeaderSize + kSectorSize));
    for (int t = 2; t < DiskImage::kTrackCount; ++t)
        d.trackTableOverride[t] = chain;
    ImageEditor editor(d.bytes());
    const Bytes data = randomBytes(100, 3);
    EXPECT_EQ(editor.put(0, "A", data.data(), data.size(), true, false).status,
              EditStatus::kDirectoryLocked);
    EXPECT_EQ(editor.bytes(), d.bytes());
}

// clang-format off
const std::pair<const char*, NameCheck> kNames[] = {
    {"\x83\x5C\x83\x74", NameCheck::kOk},  // trail bytes 0x5C and 0x74
    {"THIRTEEN.CHAR", NameCheck::kOk}, {"FOURTEEN.CHARS", NameCheck::kLength},
    {"", NameCheck::kLength}, {"A B", NameCheck::kCharacter}, {"A/B", NameCheck::kCharacter},
    {"A\\B", NameCheck::kCharacter}, {"C:", NameCheck::kCharacter}, {"..", NameCheck::kCharacter},
    {"\x83\x1F", NameCheck::kCharacter},  // a lead byte, then a control byte
};
// clang-format on

TEST(Editor, NamesAnEntryCanHold) {
    for (const auto& [name, want] : kNames)
        EXPECT_EQ(checkDiskName(name), want) << name;
}

// A save with no change gives the bytes loaded; the file keeps its permission bits, and a
// link to it stays a link.
TEST(Editor, SavesTheSameBytesThroughALink) {
    cli::TempDir dir;
    const Bytes image = damagedImage();
    cli::writeFile(dir / "image.d88", builder::toString(image));
    std::filesystem::create_symlink("image.d88", dir / "link.d88");
    ASSERT_EQ(chmod((dir / "image.d88").c_str(), 0640), 0);
    ImageEditor editor;
    FileFailure failure;
    ASSERT_TRUE(editor.load((dir / "link.d88").c_str(), &failure));
    ASSERT_TRUE(editor.save((dir / "link.d88").c_str(), &failure)) << failure.error;
    EXPECT_EQ(cli::readFile(dir / "image.d88"), builder::toString(image));
    EXPECT_TRUE(std::filesystem::is_symlink(dir / "link.d88"));
    struct stat status = {};
    ASSERT_EQ(stat((dir / "image.d88").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    EXPECT_EQ(cli::snapshot(dir.path(), dir.path()).size(), 2u);  // no temporary file left
}

}  // namespace
