// d88 ls: the entries of one disk's file system, with CRC-32s and free space. The flat
// directory keeps its own columns (start sector, sectors); the other file systems share one
// listing and one JSON schema.
#include <algorithm>

#include <retrodisk/d88/names.h>

#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

namespace {

const char* endName(DirectoryEnd end) {
    switch (end) {
        case DirectoryEnd::kMarker:
            return "marker";
        case DirectoryEnd::kFull:
            return "full";
        case DirectoryEnd::kShort:
            return "short";
    }
    return "short";
}

// "2022-02-02 21:33:00", "1990-01-05" (no time stored), or "-".
std::string dateText(const fs::Entry& e, bool iso) {
    if (!e.hasDate) return iso ? std::string() : std::string("-");
    const fs::DateTime& d = e.date;
    std::string text = format("%04lld-%02lld-%02lld", d.year, d.month, d.day);
    if (d.hasTime)
        text += (iso ? "T" : " ") + format("%02lld:%02lld:%02lld", d.hour, d.minute, d.second);
    return text;
}

json ownJson(const std::vector<fs::Field>& own) {
    json object = json::object();
    for (const fs::Field& f : own) {
        if (!f.isText) {
            object[f.key] = f.number;
            continue;
        }
        // Text from the disk may be Shift_JIS; shown as UTF-8 where it is valid.
        const json name = jsonName(f.text);
        object[f.key] = name.is_null() ? json(hex(f.text)) : name;
    }
    return object;
}

std::string address(bool has, uint32_t value) {
    return has ? format("%04llx", value) : std::string("   -");
}

}  // namespace

// The keys every file system's entries have in JSON (ls and, for one entry, elsewhere).
json entryJson(const fs::Entry& e, const fs::FileData* data) {
    std::string path;
    const bool valid = typedPath(e.path, false, &path);
    return {{"path", valid ? json(path) : json(nullptr)},
            {"name", jsonName(e.path.empty() ? std::string() : e.path.back())},
            {"name_bytes", hex(e.rawName)},
            {"type", e.type},
            {"directory", e.directory},
            {"attributes", e.attributes},
            {"attribute_text", e.attributeText},
            {"size", e.size},
            {"crc32", data != nullptr && data->complete
                          ? json(crcText(crc32Of(data->bytes.data(), data->bytes.size())))
                          : json(nullptr)},
            {"date", e.hasDate ? json(dateText(e, true)) : json(nullptr)},
            {"first_unit", e.firstUnit >= 0 ? json(e.firstUnit) : json(nullptr)},
            {"load", e.hasLoad ? json(e.load) : json(nullptr)},
            {"exec", e.hasExec ? json(e.exec) : json(nullptr)},
            {"own", ownJson(e.own)}};
}

int lsFlat(const Options& o, const OpenedDisk& opened) {
    const FlatFiles flat = flatFiles(opened);
    const Directory& directory = flat.directory;
    const std::vector<SectorRecord>& sectors = flat.sectors;
    const int32_t tangledFrom = flat.tangledFrom;

    static uint8_t data[65536];
    json files = json::array();
    std::string text = "   #  START   SIZE  SECTORS  CRC32     NAME\n";
    for (size_t i = 0; i < directory.entries.size(); ++i) {
        const DirectoryEntry& e = directory.entries[i];
        const std::string name = e.name;
        const int32_t got = readFile(opened.image, sectors, e, data);
        // The bytes d88extract would write; nothing to sum when none can be read.
        const bool readable = got > 0 || e.size == 0;
        const uint32_t crc = crc32Of(data, size_t(got));
        if (o.json) {
            const json valid = jsonName(name);
            files.push_back({{"index", i},
                             {"path", valid},
                             {"name", valid},
                             {"name_bytes", hex(name)},
                             {"type", ""},
                             {"directory", false},
                             {"start", e.start},
                             {"size", e.size},
                             {"sectors", sectorsFor(e.size)},
                             {"crc32", readable ? json(crcText(crc)) : json(nullptr)},
                             {"date", nullptr},
                             {"first_unit", e.start},
                             {"own", {{"start", e.start}, {"sectors", sectorsFor(e.size)}}}});
            continue;
        }
        text += format("%4lld  %5lld  %5lld  %7lld  ", int64_t(i), e.start, e.size,
                       sectorsFor(e.size)) +
                (readable ? crcText(crc) : std::string("-       ")) + "  " +
                shownName(name, o.rawNames) +
                (got < e.size && readable
                     ? format("  (only %lld of %lld bytes can be read)", got, e.size)
                     : std::string()) +
                "\n";
    }
    const std::vector<SectorRun> runs = freeRuns(freeSectors(opened.image, sectors, directory));
    int64_t freeCount = 0;
    SectorRun largest = {0, 0};
    json jsonRuns = json::array();
    for (const SectorRun& r : runs) {
        freeCount += r.count;
        if (r.count > largest.count) largest = r;
        jsonRuns.push_back({r.first, r.count});
    }
    const size_t count = directory.entries.size();
    text += format(count == 1 ? "%lld file, directory end: " : "%lld files, directory end: ",
                   int64_t(count)) +
            endName(directory.end) + "\n" + format("free: %lld sectors", freeCount) +
            (largest.count > 0 ? format(", largest run %lld sectors from sector %lld\n",
                                        largest.count, largest.first)
                               : std::string("\n"));
    emit(o,
         {{"image", o.image},
          {"disk", opened.disk.index},
          {"file_system", "flat"},
          {"files", files},
          {"end", endName(directory.end)},
          {"free",
           {{"units", freeCount},
            {"unit_bytes", kSectorSize},
            {"bytes", freeCount * kSectorSize},
            {"sectors", freeCount},
            {"runs", jsonRuns}}}},
         text);
    if (tangledFrom >= 0) reportTangled(tangledFrom, o);
    if (directory.end == DirectoryEnd::kShort)
        report(o.image, shortDirectoryText(int64_t(directory.entries.size())));
    return tangledFrom >= 0 || directory.end == DirectoryEnd::kShort ? kFailed : 0;
}

namespace {

// What ls lists: the entries below `base` (the root, or the directory PATH names), or the one
// file PATH names.
struct Listed {
    std::vector<std::string> base;
    const fs::Entry* single = nullptr;
    bool recursive = false;
    bool has(const fs::Entry& e) const {
        if (single != nullptr) return &e == single;
        if (e.path.size() <= base.size() || !std::equal(base.begin(), base.end(), e.path.begin()))
            return false;
        return recursive || e.path.size() == base.size() + 1;
    }
};

// Finds what PATH names (exactly, else without ASCII case); false after reporting.
bool findListed(const Options& o, const std::vector<fs::Entry>& all, int64_t disk, Listed* listed) {
    listed->recursive = o.recursive;
    if (o.names.empty()) return true;
    const std::vector<std::string> wanted = splitPath(o.names.front());
    if (wanted.empty()) return true;
    for (const bool ignoreCase : {false, true})
        for (const fs::Entry& e : all)
            if (samePath(e.path, wanted, o.rawNames, ignoreCase)) {
                listed->base = e.path;
                if (!e.directory) listed->single = &e;
                return true;
            }
    report(o.image + ": " + o.names.front(),
           format("no such file or directory on disk %lld", disk));
    return false;
}

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

// One line of the text listing; `shown` is the path below the directory listed.
std::string entryLine(const Options& o, const fs::Entry& e, const fs::FileData& data,
                      const std::vector<std::string>& shown) {
    std::string line;
    if (o.longList) {
        line += padded(e.type.empty() ? std::string("file") : e.type, 9) + "  ";
        line += padded(e.attributeText.empty() ? std::string("-") : e.attributeText, 8);
        line += format("  %8lld  ", e.size);
        line += padded(dateText(e, false), 19) + "  ";
        line += address(e.hasLoad, e.load) + "  ";
        line += address(e.hasExec, e.exec) + "  ";
    } else {
        line += format("%10lld  ", e.size);
    }
    line += e.directory || !data.complete ? std::string("-       ")
                                          : crcText(crc32Of(data.bytes.data(), data.bytes.size()));
    line += "  " + shownPath(shown, o.rawNames);
    if (e.directory) line += "/";
    if (!e.directory && !data.complete) {
        line +=
            format("  (only %lld of %lld bytes can be read: ", int64_t(data.bytes.size()), e.size);
        line += data.problem.detail + ")";
    }
    return line + "\n";
}

}  // namespace

int ls(const Options& o) {
    OpenedDisk d;
    if (!openDisk(o, &d)) return kFailed;
    if (d.fileSystem->kind() == fs::Kind::kFlat && o.names.empty()) return lsFlat(o, d);

    const std::vector<fs::Entry> all = d.fileSystem->list();
    Listed listed;
    if (!findListed(o, all, d.disk.index, &listed)) return kFailed;

    json entries = json::array();
    // The columns of entryLine().
    std::string text = o.longList ? "TYPE       ATTR          SIZE  DATE                 LOAD  "
                                    "EXEC  CRC32     NAME\n"
                                  : "      SIZE  CRC32     NAME\n";
    int64_t files = 0;
    int64_t directories = 0;
    for (const fs::Entry& e : all) {
        if (!listed.has(e)) continue;
        fs::FileData data;
        if (!e.directory) data = d.fileSystem->read(e);
        ++(e.directory ? directories : files);
        if (o.json) {
            entries.push_back(entryJson(e, e.directory ? nullptr : &data));
            continue;
        }
        // The path below the directory listed; the file's own name when PATH named it.
        const size_t from = listed.single != nullptr ? e.path.size() - 1 : listed.base.size();
        text += entryLine(
            o, e, data,
            std::vector<std::string>(e.path.begin() + std::ptrdiff_t(from), e.path.end()));
    }
    const fs::FreeSpace free = d.fileSystem->freeSpace();
    text += format(files == 1 ? "%lld file" : "%lld files", files);
    if (directories > 0)
        text += format(directories == 1 ? ", %lld directory" : ", %lld directories", directories);
    text += format("\nfree: %lld bytes (%lld units of %lld bytes)\n", free.bytes(), free.units,
                   free.unitBytes);
    return emit(
        o,
        {{"image", o.image},
         {"disk", d.disk.index},
         {"file_system", fs::kindName(d.fileSystem->kind())},
         {"files", entries},
         {"free",
          {{"units", free.units}, {"unit_bytes", free.unitBytes}, {"bytes", free.bytes()}}}},
        text);
}

}  // namespace d88cli
