// d88 get: writes a disk's files (all, or those named) under their paths below a directory,
// never replacing a file without -f, never writing a name that is unsafe as a file name.
#include <algorithm>
#include <cerrno>
#include <ctime>
#include <set>

#include <retrodisk/d88/names.h>

#include "../platform.h"
#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

namespace {

// The name a file system takes for an entry; false when it has none. On Windows every name
// goes through Unicode, --raw-names or not, since that is what its file names are.
bool fileName(const std::string& bytes, bool rawNames, std::string* name) {
#ifndef _WIN32
    if (rawNames) {
        *name = bytes;
        return true;
    }
#else
    (void)rawNames;
#endif
    return cp932ToUtf8(bytes, name);
}

}  // namespace

int getFlat(const Options& o, const OpenedDisk& opened) {
    const FlatFiles flat = flatFiles(opened);
    const Directory& directory = flat.directory;
    const std::vector<SectorRecord>& sectors = flat.sectors;
    const int32_t tangledFrom = flat.tangledFrom;

    static uint8_t data[65536];
    bool failed = false;
    std::vector<bool> used(o.names.size(), false);
    std::set<std::string> taken;
    for (const DirectoryEntry& e : directory.entries) {
        const std::string raw = e.name;
        std::string utf8;
        const bool valid = cp932ToUtf8(raw, &utf8);
        const std::string matched = o.rawNames || !valid ? raw : utf8;
        bool wanted = o.names.empty();
        for (size_t k = 0; k < o.names.size(); ++k) {
            if (!matches(o.names[k].c_str(), matched.c_str(), o.rawNames || !valid)) continue;
            used[k] = true;
            wanted = true;
        }
        // An entry without a name has no file to go to (d88extract skips it too).
        if (!wanted || raw.empty()) continue;

        const std::string shown = shownName(raw, o.rawNames);
        const std::string subject = o.image + ": " + shown;
        std::string name;
        if (!fileName(raw, o.rawNames, &name)) {
#ifdef _WIN32
            report(subject, "the name is not valid Shift_JIS");
#else
            report(subject, "the name is not valid Shift_JIS; --raw-names writes it as it is");
#endif
            failed = true;
            continue;
        }
        if (!isSafeFileName(name)) {
            report(subject, "unsafe as a file name, not written");
            failed = true;
            continue;
        }
        if (!taken.insert(fileNameKey(name)).second) {
            report(subject, "a second entry of this name, not written over the first");
            failed = true;
            continue;
        }
        const int32_t got = readFile(opened.image, sectors, e, data);
        if (got == 0 && e.size > 0) {
            report(subject, "cannot read its data");
            failed = true;
            continue;
        }
        // Only the bytes read are written: a file cut short keeps what was read, and fails.
        const std::string failure = writeFile(o.outputDir + "/" + name, data, size_t(got), o.force);
        if (!failure.empty()) {
            report(subject, failure);
            failed = true;
            continue;
        }
        if (got < e.size) {
            report(subject,
                   format("only %lld of its %lld bytes can be read; wrote those", got, e.size));
            failed = true;
            continue;
        }
        print(shown + format("  %lld bytes\n", got));
    }
    for (size_t k = 0; k < o.names.size(); ++k) {
        if (used[k]) continue;
        report(o.image + ": " + o.names[k], format("no such file on disk %lld", opened.disk.index));
        failed = true;
    }
    if (tangledFrom >= 0) {
        reportTangled(tangledFrom, o);
        failed = true;
    }
    if (directory.end == DirectoryEnd::kShort) {
        report(o.image, shortDirectoryText(int64_t(directory.entries.size())));
        failed = true;
    }
    return failed ? kFailed : 0;
}

namespace {

// The time an entry's local date and time name, in seconds since 1970; false when there is
// none (a date the system cannot represent).
bool entryTime(const fs::Entry& e, int64_t* seconds) {
    if (!e.hasDate) return false;
    std::tm tm = {};
    tm.tm_year = e.date.year - 1900;
    tm.tm_mon = e.date.month - 1;
    tm.tm_mday = e.date.day;
    tm.tm_hour = e.date.hasTime ? e.date.hour : 0;
    tm.tm_min = e.date.hasTime ? e.date.minute : 0;
    tm.tm_sec = e.date.hasTime ? e.date.second : 0;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    if (t == std::time_t(-1)) return false;
    *seconds = int64_t(t);
    return true;
}

// The file name of each component of `path`, checked as a file name; false after reporting.
bool outputPath(const std::vector<std::string>& path, const Options& o, std::string* relative) {
    const std::string subject = o.image + ": " + shownPath(path, o.rawNames);
    relative->clear();
    for (const std::string& component : path) {
        std::string name;
        if (!fileName(component, o.rawNames, &name)) {
#ifdef _WIN32
            report(subject, "the name is not valid Shift_JIS");
#else
            report(subject, "the name is not valid Shift_JIS; --raw-names writes it as it is");
#endif
            return false;
        }
        if (!isSafeFileName(name)) {
            report(subject, "unsafe as a file name, not written");
            return false;
        }
        *relative += (relative->empty() ? "" : "/") + name;
    }
    return true;
}

// True when the entry's path (as typed) matches `pattern`: the whole path when the pattern
// holds a '/', else the entry's own name.
bool patternMatches(const std::string& pattern, const fs::Entry& e, bool rawNames) {
    std::string typed;
    const bool valid = typedPath(e.path, rawNames, &typed);
    // A name that is not valid Shift_JIS is matched by its bytes.
    const bool raw = rawNames || !valid;
    if (!valid) typedPath(e.path, true, &typed);
    if (pattern.find('/') != std::string::npos) return matches(pattern.c_str(), typed.c_str(), raw);
    const size_t slash = typed.rfind('/');
    const std::string own = slash == std::string::npos ? typed : typed.substr(slash + 1);
    return matches(pattern.c_str(), own.c_str(), raw);
}

// Which of `all` the paths and patterns name (all, without any); used[k]: name k named one.
std::vector<bool> selected(const std::vector<fs::Entry>& all, const Options& o,
                           std::vector<bool>* used) {
    std::vector<bool> wanted(all.size(), o.names.empty());
    for (size_t k = 0; k < o.names.size(); ++k) {
        const std::vector<std::string> components = splitPath(o.names[k]);
        for (size_t i = 0; i < all.size(); ++i) {
            // A directory named whole brings its tree.
            const fs::Entry& dir = all[i];
            if (dir.directory && samePath(dir.path, components, o.rawNames, false)) {
                (*used)[k] = true;
                for (size_t j = 0; j < all.size(); ++j)
                    if (all[j].path.size() > dir.path.size() &&
                        std::equal(dir.path.begin(), dir.path.end(), all[j].path.begin()))
                        wanted[j] = true;
                continue;
            }
            if (!all[i].directory && patternMatches(o.names[k], all[i], o.rawNames)) {
                (*used)[k] = true;
                wanted[i] = true;
            }
        }
    }
    return wanted;
}

}  // namespace

int get(const Options& o) {
    OpenedDisk d;
    if (!openDisk(o, &d)) return kFailed;
    if (!makeDirectories(o.outputDir.c_str())) {
        report(o.outputDir, "cannot create the directory: " + reason(errno));
        return kFailed;
    }
    if (d.fileSystem->kind() == fs::Kind::kFlat) return getFlat(o, d);

    const std::vector<fs::Entry> all = d.fileSystem->list();
    std::vector<bool> used(o.names.size(), false);
    const std::vector<bool> wanted = selected(all, o, &used);

    bool failed = false;
    std::set<std::string> taken;
    // The directories made (or found) so far: each file of a directory needs it, and asking
    // the system again for each would cost three calls a file.
    std::set<std::string> made;
    const auto makeDirectory = [&made](const std::string& path) {
        if (made.count(path) > 0) return true;
        if (!makeDirectories(path.c_str())) return false;
        made.insert(path);
        return true;
    };
    for (size_t i = 0; i < all.size(); ++i) {
        const fs::Entry& e = all[i];
        if (!wanted[i]) continue;
        std::string relative;
        if (!outputPath(e.path, o, &relative)) {
            failed = true;
            continue;
        }
        const std::string target = o.outputDir + "/" + relative;
        const std::string subject = o.image + ": " + shownPath(e.path, o.rawNames);
        if (e.directory) {
            if (!makeDirectory(target)) {
                report(subject, "cannot create the directory: " + reason(errno));
                failed = true;
            }
            continue;
        }
        if (!taken.insert(fileNameKey(relative)).second) {
            report(subject, "a second entry of this name, not written over the first");
            failed = true;
            continue;
        }
        // The output directory exists; a file below a directory needs that one made.
        const size_t slash = target.rfind('/');
        if (e.path.size() > 1 && !makeDirectory(target.substr(0, slash))) {
            report(subject, "cannot create the directory: " + reason(errno));
            failed = true;
            continue;
        }
        fs::FileData data = d.fileSystem->read(e);
        if (data.bytes.empty() && !data.complete) {
            report(subject, "cannot read its data: " + data.problem.detail);
            failed = true;
            continue;
        }
        // --text: a text file ends at its first end-of-file byte (0x1A).
        if (o.text && e.type == "ascii") {
            const auto eof = std::find(data.bytes.begin(), data.bytes.end(), uint8_t(0x1A));
            data.bytes.erase(eof, data.bytes.end());
        }
        // Only the bytes read are written: a file cut short keeps what was read, and fails.
        // The file carries the time its entry records, so that putting it back keeps it.
        int64_t seconds = 0;
        const std::string failure = writeFile(target, data.bytes.data(), data.bytes.size(), o.force,
                                              entryTime(e, &seconds) ? &seconds : nullptr);
        if (!failure.empty()) {
            report(subject, failure);
            failed = true;
            continue;
        }
        if (!data.complete) {
            report(subject, format("only %lld of its %lld bytes can be read (",
                                   int64_t(data.bytes.size()), e.size) +
                                data.problem.detail + "); wrote those");
            failed = true;
            continue;
        }
        print(shownPath(e.path, o.rawNames) + format("  %lld bytes\n", int64_t(data.bytes.size())));
    }
    for (size_t k = 0; k < o.names.size(); ++k) {
        if (used[k]) continue;
        report(o.image + ": " + o.names[k], format("no such file on disk %lld", d.disk.index));
        failed = true;
    }
    return failed ? kFailed : 0;
}

}  // namespace d88cli
