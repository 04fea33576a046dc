// Fuzzes the extractor's per-entry logic on arbitrary directory areas: the input, cut or
// zero-padded to 6144 bytes, is scanned the way d88extract scans it. Every entry must give a
// name of at most 13 characters without spaces, the sector arithmetic of its start, and a
// listing line that fits its buffer and holds no control byte but its newline; and no name
// isSafeName accepts may leave the working directory or hold a control byte. isSafeName also
// gets the raw input as one string, spaces and length unlimited.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>

#include <retrodisk/d88/directory.h>

#include "fuzz_check.h"

namespace {

using namespace retrodisk::d88;

bool isControl(char c) {
    return (c >= 0x01 && c <= 0x1F) || c == 0x7F;
}

// A safe name used as a path under the working directory names a file directly in it.
void checkStaysInside(const char* name) {
    if (name[0] == '\0' || !isSafeName(name)) return;  // empty names are skipped by callers
    for (const char* p = name; *p != '\0'; ++p)
        FUZZ_CHECK(!isControl(*p));
    const std::filesystem::path base("/work/dir");
    const std::filesystem::path target = (base / name).lexically_normal();
    FUZZ_CHECK(target.parent_path() == base);
    FUZZ_CHECK(target.filename() == name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The area in a block of exactly 6144 bytes, so ASan sees any read past its end.
    const std::unique_ptr<uint8_t[]> area(new uint8_t[kDirectorySize]());
    std::memcpy(area.get(), data, size < size_t(kDirectorySize) ? size : size_t(kDirectorySize));

    for (int i = 0; i < kMaxEntries; ++i) {
        DirectoryEntry entry;
        std::memset(&entry, 0xCC, sizeof entry);  // parseEntry must set every field it returns
        if (!parseEntry(area.get(), i, &entry)) {
            FUZZ_CHECK(area[size_t(i) * kEntrySize + 1] == 0);
            break;
        }
        const uint8_t* raw = area.get() + size_t(i) * kEntrySize;
        // The name is the field's bytes up to the first space ...
        const size_t nameLength = strnlen(entry.name, sizeof entry.name);
        FUZZ_CHECK(nameLength <= size_t(kNameLength));
        FUZZ_CHECK(std::memcmp(entry.name, raw + 1, nameLength) == 0);
        FUZZ_CHECK(std::memchr(entry.name, ' ', nameLength) == nullptr);
        // ... and it ends only at the field's end, a space or a zero byte
        if (nameLength < size_t(kNameLength))
            FUZZ_CHECK(raw[1 + nameLength] == ' ' || raw[1 + nameLength] == 0);
        FUZZ_CHECK(entry.start == (raw[14] | raw[15] << 8));
        FUZZ_CHECK(entry.size == (raw[16] | raw[17] << 8));
        FUZZ_CHECK(entry.track == entry.start >> 3);
        FUZZ_CHECK(entry.c == entry.track >> 1 && entry.h == (entry.track & 1));
        FUZZ_CHECK(entry.r == (entry.start & 7) + 1);

        const std::unique_ptr<char[]> line(new char[kListingLineSize]);
        const int length = formatListingLine(entry, line.get());
        FUZZ_CHECK(length > 0 && length < kListingLineSize);
        FUZZ_CHECK(std::strlen(line.get()) == size_t(length));
        // The printed name: the name with each control byte as '?'.
        char shown[kNameLength + 1];
        printableName(entry.name, shown);
        FUZZ_CHECK(std::strlen(shown) == nameLength);
        for (size_t k = 0; k < nameLength; ++k)
            FUZZ_CHECK(shown[k] == (isControl(entry.name[k]) ? '?' : entry.name[k]));
        char want[kListingLineSize];
        std::snprintf(want, sizeof want, "%-13s START=%04x SIZE=%04x\n", shown,
                      unsigned(entry.start), unsigned(entry.size));
        FUZZ_CHECK(std::strcmp(line.get(), want) == 0);

        checkStaysInside(entry.name);
    }

    const std::string raw(reinterpret_cast<const char*>(data), size);
    checkStaysInside(raw.c_str());
    return 0;
}
