// Writes the generated seeds of the fuzz corpus: make_seeds CORPUS_DIR (fuzz/corpus). Images
// come from the tests' D88 builder, VKP files from encodeFile, directory areas from the
// standard disk's directory. Files of the same names are replaced; others are left alone.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/edit.h>
#include <retrodisk/vkp/encoder.h>

#include "d88_builder.h"
#include "disk_image_script.h"

namespace {

using namespace retrodisk::vkp;

using builder::Bytes;
namespace fs = std::filesystem;

fs::path corpus;

void put(const char* target, const std::string& name, const Bytes& bytes) {
    const fs::path dir = corpus / target;
    fs::create_directories(dir);
    std::ofstream out(dir / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out) {
        std::fprintf(stderr, "cannot write %s\n", (dir / name).string().c_str());
        std::exit(1);
    }
}

// One script operation: the opcode and up to 7 argument bytes.
struct Op {
    uint8_t bytes[kOpSize];
};
Op op(ScriptOp code, std::vector<uint8_t> args = {}) {
    Op o = {};
    o.bytes[0] = code;
    for (size_t i = 0; i < args.size() && i + 1 < kOpSize; ++i)
        o.bytes[i + 1] = args[i];
    return o;
}
Bytes script(const std::vector<Op>& ops, const Bytes& image) {
    Bytes out;
    for (size_t i = 0; i < kOpCount; ++i) {
        const Op o = i < ops.size() ? ops[i] : op(kSetSectorRange, {1, 16});
        out.insert(out.end(), o.bytes, o.bytes + kOpSize);
    }
    out.insert(out.end(), image.begin(), image.end());
    return out;
}
uint8_t lo(int v) {
    return uint8_t(v & 0xFF);
}
uint8_t hi(int v) {
    return uint8_t(v >> 8);
}

Bytes text(size_t size) {
    static const char kWords[] = "the disk image holds a directory of files; each file has a name ";
    Bytes out;
    for (size_t i = 0; out.size() < size; ++i)
        out.push_back(uint8_t(kWords[i % (sizeof kWords - 1)]));
    return out;
}
Bytes noise(size_t size, uint32_t seed) {
    Bytes out(size);
    for (uint8_t& b : out) {
        seed = seed * 1103515245u + 12345u;
        b = uint8_t(seed >> 16);
    }
    return out;
}

// A small disk: tracks of `sectors` sectors of 128 << n bytes, R 1 up, C = track >> 1.
builder::Disk smallDisk(const std::string& name, int tracks, int sectors, uint8_t n) {
    builder::Disk d;
    d.name = name;
    d.mediaType = 0x20;
    for (int t = 0; t < tracks; ++t)
        for (int s = 0; s < sectors; ++s) {
            builder::Sector sector;
            sector.c = uint8_t(t >> 1);
            sector.h = uint8_t(t & 1);
            sector.r = uint8_t(s + 1);
            sector.n = n;
            sector.data = noise(size_t(128) << n, uint32_t(t * 100 + s));
            d.tracks[size_t(t)].push_back(sector);
        }
    return d;
}

void diskImageSeeds() {
    // The extractor's own reads on a standard disk holding two files.
    builder::StandardDisk standard;
    standard.write(builder::StandardDisk::kDirectoryStart, Bytes(6144, 0));  // all six sectors
    standard.addFile("README.TXT", 8, text(3000));
    standard.addFile("DATA.BIN", 12, noise(1500, 7));
    put("disk_image", "extractor",
        script({op(kSelectDisk, {0}), op(kSetSectorRange, {1, 8}),
                op(kReadSectors, {0, 0, 0, 3, 3, lo(6144), hi(6144)}),
                op(kReadFile, {8, 0, lo(3000), hi(3000)}),
                op(kReadFile, {12, 0, lo(1500), hi(1500)}), op(kReadTrackIds, {1, 64, 0})},
               standard.bytes(true)));

    // Two small disks: runs across heads and tracks, track IDs, close and reopen.
    const Bytes two =
        builder::image({smallDisk("FIRST", 4, 4, 0), smallDisk("SECOND DISK NAME", 3, 2, 1)});
    put("disk_image", "two_disks",
        script({op(kSelectDisk, {1}), op(kSetSectorRange, {1, 2}),
                op(kReadSectors, {0, 0, 0, 2, 1, 0, 3}), op(kReadTrackIds, {2, 16, 0}), op(kClose),
                op(kReopen)},
               two));
    put("disk_image", "two_disks_reads",
        script({op(kSelectDisk, {0}), op(kSetSectorRange, {1, 4}),
                op(kReadSector, {3, 1, 1, 4, 0, 128, 0}), op(kReadSectors, {0, 0, 0, 3, 0, 0, 4}),
                op(kSelectDisk, {2}), op(kReadSector, {0, 0, 0, 1, 0, 128, 0})},
               two));

    // A disk size field of 0: the same header is counted until the limit.
    builder::Disk zero = smallDisk("ZERO", 1, 2, 0);
    zero.sizeField = 0;
    put("disk_image", "size_zero",
        script({op(kSelectDisk, {63}), op(kReadSector, {0, 0, 0, 2, 0, 64, 0})}, zero.bytes()));

    // A track longer than the reader's cache of sector positions, and one whose count is 0.
    builder::Disk longTrack;
    longTrack.name = "LONG";
    for (int s = 0; s < 80; ++s) {
        builder::Sector sector;
        sector.r = uint8_t(s + 1);
        sector.n = 0;
        sector.data = Bytes(4, uint8_t(s));
        longTrack.tracks[0].push_back(sector);
    }
    builder::Sector stop;
    stop.count = 0;
    longTrack.tracks[1].push_back(stop);
    put("disk_image", "long_track",
        script({op(kSelectDisk, {0}), op(kReadSector, {0, 0, 0, 75, 0, 4, 0}),
                op(kReadSector, {0, 0, 0, 3, 0, 4, 0}), op(kReadTrackIds, {0, lo(400), hi(400)}),
                op(kReadSector, {1, 0, 0, 1, 3, 4, 0}), op(kReadTrackIds, {1, 12, 0})},
               longTrack.bytes()));

    // The file ends inside sector data, then inside a sector header.
    Bytes cut = smallDisk("CUT", 2, 3, 0).bytes();
    cut.resize(cut.size() - 100);
    put("disk_image", "cut_in_data",
        script({op(kSelectDisk, {0}), op(kReadSectors, {1, 0, 1, 1, 0, 0, 2})}, cut));
    cut.resize(cut.size() - 30);
    put("disk_image", "cut_in_header",
        script({op(kSelectDisk, {0}), op(kReadTrackIds, {1, 64, 0})}, cut));
}

void directorySeeds() {
    builder::StandardDisk disk;
    disk.setEntry(0, "AUTOEXEC.BAT", 8, 100);
    disk.setEntry(1, "THIRTEENCHARS", 0x0007, 3000);
    disk.setEntry(2, "", 16, 0);
    disk.setEntry(3, "../../.bashrc", 24, 10);
    disk.setEntry(4, "..", 24, 10);
    disk.setEntry(5, ".", 24, 10);
    disk.setEntry(6, "a b", 0xFFFF, 0xFFFF);
    const Bytes whole = disk.bytes();
    const size_t area =
        builder::kDiskHeaderSize + builder::kSectorHeaderSize * 3 + size_t(2) * 1024;
    Bytes directory;
    for (int s = 0; s < 6; ++s) {  // sectors 3..8 of track 0 without their headers
        const size_t at = area + size_t(s) * (builder::kSectorHeaderSize + 1024);
        directory.insert(directory.end(), whole.begin() + std::ptrdiff_t(at),
                         whole.begin() + std::ptrdiff_t(at + 1024));
    }
    put("directory", "names", directory);

    builder::StandardDisk full;
    for (int i = 0; i < 341; ++i)
        full.setEntry(i, "F" + std::to_string(i), uint32_t(8 + i), 1);
    Bytes fullDirectory;
    const Bytes fullBytes = full.bytes();
    for (int s = 0; s < 6; ++s) {
        const size_t at = area + size_t(s) * (builder::kSectorHeaderSize + 1024);
        fullDirectory.insert(fullDirectory.end(), fullBytes.begin() + std::ptrdiff_t(at),
                             fullBytes.begin() + std::ptrdiff_t(at + 1024));
    }
    put("directory", "full", fullDirectory);
}

void scanSeeds() {
    // A disk with a flat directory, files and free sectors (tracks 0 to 2 only).
    builder::StandardDisk standard;
    standard.addFile("README.TXT", 8, text(3000));
    standard.addFile("\x83\x74\x83\x40\x1B", 12, noise(500, 3));
    standard.write(size_t(16) * 1024, Bytes(1024, 0));
    builder::Disk flat = standard.disk(true);
    put("scan", "flat", flat.bytes());
    // The directory cut inside its first entry, with a second disk after it.
    builder::Disk cut = flat;
    cut.tracks[0][0].data.resize(10);
    put("scan", "cut_directory", builder::image({cut, smallDisk("NEXT", 2, 8, 3)}));
    // All 341 entries, only the directory's track present.
    builder::StandardDisk full;
    for (int i = 0; i < 341; ++i)
        full.setEntry(i, "F" + std::to_string(i), uint32_t(8 + i), 1);
    put("scan", "full", full.bytes(true));
    // Another system's disk: 16 sectors of 256 bytes.
    put("scan", "foreign", smallDisk("OTHER", 6, 16, 1).bytes());
    // Every anomaly: a duplicate ID, a short sector, marks, a count of 0 with sectors past it,
    // a track outside the disk, a short track table, and the file cut inside a track.
    builder::Disk odd = smallDisk("ODD", 3, 4, 3);
    odd.tracks[0][1].r = 1;
    odd.tracks[0][2].data.resize(300);
    odd.tracks[0][3].deleted = 0x10;
    odd.tracks[1][0].status = 0xB0;
    odd.tracks[1][1].c = 9;
    odd.tracks[2][0].count = 0;
    odd.trackTableOverride[5] = 0x7FFFFF00;
    odd.trackTableOverride[0] = 672;
    Bytes oddBytes = odd.bytes();
    oddBytes.resize(oddBytes.size() - 200);
    put("scan", "anomalies", oddBytes);
}

// Editor operations (see editor_fuzzer.cpp), 4 of 4 bytes each, then the image.
Bytes edits(const std::vector<std::vector<uint8_t>>& ops, const Bytes& image) {
    Bytes out;
    for (size_t i = 0; i < 4; ++i) {
        const std::vector<uint8_t> o = i < ops.size() ? ops[i] : std::vector<uint8_t>{1, 0, 0, 0};
        out.insert(out.end(), o.begin(), o.end());
    }
    out.insert(out.end(), image.begin(), image.end());
    return out;
}

void editorSeeds() {
    // Files, and blank sectors on tracks 1 to 4 to put new ones in.
    builder::StandardDisk standard;
    for (size_t l = 8; l < 40; ++l)
        standard.write(l * 1024, Bytes(1024, 0));
    standard.addFile("README.TXT", 8, text(3000));
    standard.addFile("DATA.BIN", 12, noise(1500, 7));
    const Bytes flat = standard.bytes(true);
    // Put over itself, grow with --allocate, add a name, remove one.
    put("editor", "flat",
        edits({{0, 0, lo(900), hi(900)},
               {2, 1, lo(5000), hi(5000)},
               {2, 200, lo(10), hi(10)},
               {1, 0, 0, 0}},
              flat));
    // Sectors that may not be written: a duplicate ID, a short one, tracks that overlap.
    builder::Disk damaged = standard.disk(true);
    damaged.tracks[1].push_back(damaged.tracks[1][2]);
    damaged.tracks[2][1].data.resize(512);
    Bytes damagedBytes = builder::image({damaged, smallDisk("NEXT", 2, 8, 3)});
    const uint32_t track2 = uint32_t(damagedBytes[32 + 8] | damagedBytes[32 + 9] << 8);
    for (int k = 0; k < 4; ++k)  // track 3 starts inside track 2's first sector
        damagedBytes[32 + 12 + size_t(k)] = uint8_t((track2 + 40) >> (8 * k));
    put("editor", "damaged",
        edits(
            {{2, 0, lo(4000), hi(4000)}, {2, 201, lo(9000), hi(9000)}, {10, 0, 0, 0}, {3, 1, 0, 0}},
            damagedBytes));
    // All 341 entries; a write-protected disk.
    builder::StandardDisk full;
    for (int i = 0; i < 341; ++i)
        full.setEntry(i, "F" + std::to_string(i), uint32_t(8 + i), 1);
    put("editor", "full", edits({{2, 200, 1, 0}, {1, 5, 0, 0}, {2, 200, 1, 0}}, full.bytes(true)));
    Bytes locked = flat;
    locked[26] = 0x10;
    put("editor", "write_protected", edits({{1, 0, 0, 0}, {5, 1, 0, 0}}, locked));
}

void vkpSeeds() {
    struct Data {
        const char* name;
        Bytes bytes;
    };
    Bytes history;  // what the preset ring holds: runs of 13, ascending, spaces
    for (int v = 0; v < 40; ++v)
        history.insert(history.end(), 13, uint8_t(v));
    for (int v = 0; v < 256; ++v)
        history.push_back(uint8_t(v));
    history.insert(history.end(), 110, ' ');
    const Data data[] = {
        {"empty", {}},           {"one_byte", {0x41}}, {"text", text(5000)},
        {"runs", Bytes(300, 0)}, {"history", history}, {"noise", noise(700, 1)},
    };
    for (const Data& d : data) {
        put("round_trip", d.name, d.bytes);
        Bytes file;
        encodeFile(d.bytes.data(), uint32_t(d.bytes.size()), &file);
        put("decoder", d.name, file);
    }
    // Hand-made streams: a negative size, references wrapping the ring and copying bytes they
    // have just written, and a stream cut short (bytes past the end read as zero).
    put("decoder", "negative", {0, 0, 0, 0, 0x80, 0, 0, 0, 0xFF, 1, 2, 3});
    put("decoder", "wrap", {0, 0, 0, 9, 0, 0, 0, 40, 0x00, 0xFF, 0xFF, 0xED, 0xF0, 0xEE, 0xF2});
    put("decoder", "truncated", {0, 0, 1, 0, 0, 0, 2, 0, 0x01, 0x41, 0xEE, 0xFF});
}

}  // namespace

// One blank disk of each file system that can make one, holding two files put through its
// own editor, and the same disk cut short inside its directory.
void fileSystemSeeds() {
    namespace rfs = retrodisk::fs;
    namespace d88 = retrodisk::d88;
    put("fs", "flat_sample", smallDisk("FLAT", 2, 8, 3).bytes());
    const std::pair<rfs::Kind, const char*> kKinds[] = {{rfs::Kind::kFat12, "2d"},
                                                        {rfs::Kind::kN88, "2d"},
                                                        {rfs::Kind::kHuBasic, "2d"},
                                                        {rfs::Kind::kFBasic, "2d"}};
    for (const auto& [kind, type] : kKinds) {
        rfs::BlankDisk blank;
        std::string why;
        if (!rfs::formatDisk(kind, type, "SEED", &blank, &why)) continue;
        std::vector<uint8_t> image = rfs::buildImage(blank, "SEED");
        for (const char* name : {"ONE.BAS", "TWO.DAT"}) {
            const d88::ImageView view(image.data(), image.size());
            d88::DiskInfo disk;
            view.readDisk(0, &disk);
            const rfs::Volume volume(view, disk);
            const std::unique_ptr<rfs::FileSystem> system = rfs::openAs(volume, kind, &why);
            const std::unique_ptr<rfs::Editor> editor = system ? system->editor() : nullptr;
            if (editor == nullptr) break;
            rfs::PutRequest request;
            request.path = {name};
            request.data.assign(3000, uint8_t(name[0]));
            const rfs::Plan plan = editor->put(request);
            if (plan.ok()) rfs::applyPlan(&image, 0, plan, &why);
        }
        const std::string name = std::string(rfs::kindName(kind)) + "_" + type;
        put("fs", name, image);
        image.resize(image.size() / 8);
        put("fs", name + "_cut", image);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "Usage: %s CORPUS_DIR\n", argc > 0 ? argv[0] : "make_seeds");
        return 1;
    }
    corpus = argv[1];
    diskImageSeeds();
    directorySeeds();
    scanSeeds();
    editorSeeds();
    vkpSeeds();
    fileSystemSeeds();
    return 0;
}
