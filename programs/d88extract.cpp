// d88extract: lists the directory of the first disk in a D88 image and writes out its files.
#include <cstdio>
#include <string>

#include <retrodisk/d88/directory.h>
#include <retrodisk/d88/disk_image.h>
#include <retrodisk/d88/names.h>

#include "messages.h"
#include "platform.h"

namespace {

using namespace retrodisk::d88;

// One reader for the whole run; its destruction after main returns closes the image.
DiskImage image;
// No heap: the raw directory area, and one whole file at a time (a size field is at most
// 65535 bytes, far less than a whole disk).
uint8_t directory[kDirectorySize];
uint8_t transfer[kDiskBytes];

// The path an entry's file is written to: its name as it is, or on Windows its name read as
// Shift_JIS, in the UTF-8 that openFile takes there (isSafeName has checked that it converts).
std::string outputPath(const char* name) {
#ifdef _WIN32
    std::string path;
    cp932ToUtf8(name, &path);
    return path;
#else
    return name;
#endif
}

// Reads one file into the transfer buffer and writes the bytes that were read to a file called
// name. Returns the message for the first failure, or null.
const Message* extractFile(const char* name, int32_t track, int32_t c, int32_t h, int32_t r,
                           int32_t n, int32_t size) {
    const int32_t got = image.readSectors(track, c, h, r, n, transfer, size);
    if (got == 0) return &kCannotRead;
    const std::string path = outputPath(name);
    // On record until it is closed: a signal meanwhile removes it (removeOutputOnSignal).
    std::FILE* out = openOutput(path.c_str(), true);
    if (out == nullptr) return &kCannotCreate;
    // Only the bytes read: the buffer past them holds a short sector or an earlier file.
    bool written = std::fwrite(transfer, 1, size_t(got), out) == size_t(got);
    written = std::fflush(out) == 0 && written;
    written = std::fclose(out) == 0 && written;
    if (!written) removeFile(path.c_str());
    forgetOutput();
    if (!written) return &kCannotWrite;
    // A file cut short keeps what was read, and is still reported.
    return got < size ? &kCannotRead : nullptr;
}

// True when entry `index` was not read in full, given the `got` bytes of the directory that
// came from sectors read whole: its name byte lies at or past `got`, or, unless that byte
// marks the end of the directory, its last byte does.
bool entryCutShort(int index, int32_t got) {
    const int32_t at = int32_t(index) * kEntrySize;
    if (at + kNameOffset >= got) return true;
    return directory[at + kNameOffset] != 0 && at + kEntrySize - 1 >= got;
}

int run(int argc, char** argv) {
    if (argc != 2) {
        // Without an invocation name (argc 0; Linux then passes one empty argument) the usage
        // line names the program itself.
        const bool named = argc > 0 && argv[0] != nullptr && argv[0][0] != '\0';
        return fail(
            ("Usage: " + std::string(named ? argv[0] : "d88extract") + " [d88file]\n").c_str());
    }
    if (!image.open(argv[1])) return fail(kCannotOpenImage);
    // Without disk 0 nothing is read; what was read of a sector cut short is not counted, and
    // only what was counted is looked at.
    image.selectDisk(0);
    image.setSectorRange(kFirstSector, kLastSector);
    const int32_t got = image.readSectors(kDirectoryTrack, 0, 0, kDirectorySector, kSizeCode,
                                          directory, kDirectorySize);

    bool failed = false;
    DirectoryEntry entry;
    int i = 0;
    for (; i < kMaxEntries && !entryCutShort(i, got) && parseEntry(directory, i, &entry); ++i) {
        char line[kListingLineSize];
        const int length = formatListingLine(entry, line);
        std::fwrite(line, 1, size_t(length), stdout);
        // An empty file, or an entry without a name, has nothing to write.
        if (entry.size == 0 || entry.name[0] == '\0') continue;
        const Message* message = isSafeName(entry.name)
                                     ? extractFile(entry.name, entry.track, entry.c, entry.h,
                                                   entry.r, kSizeCode, entry.size)
                                     : &kBadName;
        if (message != nullptr) {
            char shown[kNameLength + 1];
            printableName(entry.name, shown);
            fail(*message, shown, Subject::kImageName);
            failed = true;
        }
    }
    // The scan stopped before the end of the directory: say so, after the entries it listed.
    if (i < kMaxEntries && entryCutShort(i, got)) {
        fail(kCannotRead, argv[1]);
        failed = true;
    }
    return failed ? 1 : 0;
}

}  // namespace

int programMain(int argc, char** argv) {
    removeOutputOnSignal();
    return run(argc, argv);
}
