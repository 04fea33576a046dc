// d88 put, rm, mkdir and rmdir on a disk of FAT12, N88-BASIC, Hu-BASIC or F-BASIC, and new and
// import for every file system. The file system plans each change (the sectors it writes);
// this file applies the plans to the image in memory one file after another, and saves the
// image only when every one succeeded and the disk checks clean afterwards.
#include <algorithm>
#include <cerrno>
#include <ctime>

// editor.h before the headers that declare d88::kWriteProtected, which its EditStatus shadows.
#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/fs/edit.h>

#include "../platform.h"
#include "d88.h"

namespace d88cli {

namespace {

// No floppy disk holds more; a larger input is refused before it is read whole.
constexpr size_t kMostInput = size_t(16) << 20;

// The bytes of the file at `path`; false after reporting.
bool readInput(const std::string& path, size_t limit, std::vector<uint8_t>* data) {
    std::FILE* in = openFile(path.c_str(), "rb");
    if (in == nullptr) {
        report(path, "cannot open: " + reason(errno));
        return false;
    }
    // Read in growing steps: most files are small, and zeroing room for the largest would
    // cost more than the whole edit.
    size_t got = 0;
    data->resize(size_t(64) << 10);
    for (;;) {
        got += std::fread(data->data() + got, 1, data->size() - got, in);
        if (got < data->size() || got > limit) break;
        data->resize(std::min(data->size() * 2, limit + 1));
    }
    const int error = errno;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        report(path, "cannot read: " + reason(error));
        return false;
    }
    if (got > limit) {
        report(path, format("larger than %lld bytes, more than any disk holds", int64_t(limit)));
        return false;
    }
    data->resize(got);
    return true;
}

// The path on the disk: `given` (UTF-8, or Shift_JIS bytes with --raw-names) split at '/', each
// component in Shift_JIS; false after reporting.
bool diskPath(const std::string& given, const Options& o, std::vector<std::string>* path) {
    path->clear();
    for (const std::string& part : splitPath(given)) {
        std::string name = part;
        if (!o.rawNames && !d88::utf8ToCp932(part, &name)) {
            report(o.image + ": " + given, "the name cannot be written in Shift_JIS");
            return false;
        }
        path->push_back(name);
    }
    if (path->empty()) {
        report(o.image + ": " + given, "no name");
        return false;
    }
    return true;
}

// An address for --load or --exec: hexadecimal, with or without 0x or $, 0 to FFFF.
bool address(const std::string& text, uint32_t* value) {
    std::string digits = text;
    if (digits.rfind("0x", 0) == 0 || digits.rfind("0X", 0) == 0) digits = digits.substr(2);
    if (!digits.empty() && digits[0] == '$') digits = digits.substr(1);
    if (digits.empty() || digits.size() > 4 ||
        digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    *value = uint32_t(std::stoul(digits, nullptr, 16));
    return true;
}

// Seconds since 1970 as the local date and time a disk entry records, and back.
fs::DateTime localDate(int64_t seconds) {
    const std::time_t t = std::time_t(seconds);
    std::tm tm = {};
#ifdef _WIN32
    localtime_s(&tm, &t);
#else
    localtime_r(&t, &tm);
#endif
    fs::DateTime d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = tm.tm_sec;
    d.hasTime = true;
    return d;
}

// "3 clusters (12-14, 20)"
std::string unitsText(const std::vector<int64_t>& units) {
    std::string runs;
    for (size_t i = 0; i < units.size();) {
        size_t j = i;
        while (j + 1 < units.size() && units[j + 1] == units[j] + 1)
            ++j;
        runs += (runs.empty() ? "" : ", ") +
                (j == i ? format("%lld", units[i]) : format("%lld-%lld", units[i], units[j]));
        i = j + 1;
    }
    return format(units.size() == 1 ? "%lld cluster" : "%lld clusters", int64_t(units.size())) +
           (units.empty() ? std::string() : " (" + runs + ")");
}

// What a plan does, or would do with --dry-run.
std::string planText(const fs::Plan& plan, bool dryRun) {
    const std::string would = dryRun ? "would be " : "";
    std::string text;
    switch (plan.action) {
        case fs::Plan::kAdded:
            text = would + "added, " + unitsText(plan.units);
            break;
        case fs::Plan::kReplaced:
            text = would + "replaced, " + unitsText(plan.units);
            if (!plan.freed.empty()) text += ", " + unitsText(plan.freed) + " freed";
            break;
        case fs::Plan::kRemoved:
            text = would + "removed, " + unitsText(plan.freed) + " freed";
            break;
        case fs::Plan::kMadeDirectory:
            text =
                (dryRun ? "directory would be made, " : "directory made, ") + unitsText(plan.units);
            break;
        case fs::Plan::kRemovedDirectory:
            text = would + "removed (directory), " + unitsText(plan.freed) + " freed";
            break;
    }
    return plan.detail.empty() ? text : text + "; " + plan.detail;
}

// The image being edited, its selected disk and the disk's file system, read again after
// every change. The disk's volume and where plans may write are worked out once: a plan
// writes sector data only, so where every sector lies stays as it was.
struct Session {
    std::vector<uint8_t> image;
    std::unique_ptr<d88::ImageView> view;
    d88::DiskInfo disk;
    std::unique_ptr<fs::Volume> volume;
    std::unique_ptr<fs::FileSystem> fileSystem;
    std::unique_ptr<fs::Editor> editor;
    std::unique_ptr<fs::PlanTarget> target;  // made at the first plan

    // False after reporting.
    bool open(const Options& o) {
        view = std::make_unique<d88::ImageView>(image.data(), image.size());
        if (!selectDisk(*view, o, &disk)) return false;
        volume = std::make_unique<fs::Volume>(*view, disk);
        return reopen(o);
    }

    // Takes over what editTarget found in the image's bytes; false (nothing taken) when it
    // found nothing there.
    bool adopt(FoundFileSystem* found) {
        if (found->fileSystem == nullptr || found->view->data() != image.data() ||
            found->view->size() != image.size())
            return false;
        view = std::move(found->view);
        disk = found->disk;
        volume = std::move(found->volume);
        fileSystem = std::move(found->fileSystem);
        return true;
    }

    // The file system found again on the volume, as after a change; false after reporting.
    bool reopen(const Options& o) {
        editor.reset();
        fileSystem.reset();
        fileSystem = diskFileSystem(*volume, o);
        return fileSystem != nullptr && openEditor(o);
    }

    // The file system's editor; false after reporting that it has none.
    bool openEditor(const Options& o) {
        editor = fileSystem->editor();
        if (editor == nullptr) {
            report(o.image,
                   std::string("d88 cannot write ") + fs::kindTitle(fileSystem->kind()) + " disks");
            return false;
        }
        return true;
    }

    bool apply(const fs::Plan& plan, std::string* why) {
        if (target == nullptr) target = std::make_unique<fs::PlanTarget>(*volume);
        return target->apply(&image, plan, why);
    }
};

std::string problemText(const fs::Problem& p) {
    return (p.path.empty() ? p.area : shownPath(p.path, false)) + ": " + fs::problemName(p.kind) +
           ": " + p.detail;
}

// The plan for one item of the command line; false (reported) when it cannot be made.
bool planFor(const Options& o, const Session& s, FsOperation operation, const std::string& item,
             fs::Plan* plan) {
    std::vector<std::string> path;
    if (operation != FsOperation::kPut) {
        if (!diskPath(item, o, &path)) return false;
        if (operation == FsOperation::kMakeDirectory) {
            const fs::DateTime now = localDate(int64_t(std::time(nullptr)));  // made now
            *plan = s.editor->makeDirectory(path, &now);
        } else {
            *plan = operation == FsOperation::kRemove ? s.editor->remove(path)
                                                      : s.editor->removeDirectory(path);
        }
        return true;
    }
    fs::PutRequest request;
    if (!readInput(item, kMostInput, &request.data) ||
        !diskPath(o.named ? o.as : baseName(item), o, &request.path))
        return false;
    request.type = o.type;
    request.hasLoad = !o.load.empty();
    request.hasExec = !o.exec.empty();
    if ((request.hasLoad && !address(o.load, &request.load)) ||
        (request.hasExec && !address(o.exec, &request.exec))) {
        report(o.image, "an address is 1 to 4 hexadecimal digits (0 to FFFF)");
        return false;
    }
    int64_t seconds = 0;
    request.hasDate = modificationTime(item.c_str(), &seconds);
    if (request.hasDate) request.date = localDate(seconds);
    *plan = s.editor->put(request);
    return true;
}

}  // namespace

int editFileSystem(const Options& o, std::vector<uint8_t> loaded, FsOperation operation,
                   FoundFileSystem found) {
    Session s;
    s.image = std::move(loaded);  // the bytes stay where they are: `found` still points at them
    if (s.adopt(&found) ? !s.openEditor(o) : !s.open(o)) return kFailed;
    if (s.disk.writeProtect == d88::kWriteProtected && !o.force) {
        report(o.image, format("disk %lld is write-protected; --force changes it anyway", o.disk));
        return kFailed;
    }
    // A damaged disk is not written: a change could make the damage worse. With --force only
    // the units and entries of the change are touched.
    const std::vector<fs::Problem> problems = s.fileSystem->check();
    if (!problems.empty() && !o.force) {
        report(o.image, format("disk %lld is damaged (", o.disk) + problemText(problems.front()) +
                            (problems.size() > 1 ? ", and more" : "") +
                            "); d88 check lists it all, --force changes it anyway");
        return kFailed;
    }
    const std::vector<std::string>& items = operation == FsOperation::kPut ? o.files : o.names;
    std::string done;
    int64_t failed = 0;
    for (const std::string& item : items) {
        fs::Plan plan;
        if (!planFor(o, s, operation, item, &plan)) {
            ++failed;
            continue;
        }
        const std::string shown = shownPath(plan.path, o.rawNames);
        std::string why;
        if (!plan.ok()) {
            report(o.image + ": " + shown, plan.detail);
            ++failed;
            continue;
        }
        if (!s.apply(plan, &why)) {
            report(o.image + ": " + shown, "cannot be written: " + why);
            ++failed;
            continue;
        }
        done += shown + ": " + planText(plan, o.dryRun) + "\n";
        if (!s.reopen(o)) return kFailed;
    }
    if (failed > 0) {
        if (items.size() > 1)
            report(o.image,
                   format("not changed: %lld of %lld failed", failed, int64_t(items.size())));
        return kFailed;
    }
    // A disk that was clean stays clean: anything else is a fault of the editor, and the image
    // is not written.
    const std::vector<fs::Problem> after = s.fileSystem->check();
    if (problems.empty() && !after.empty()) {
        report(o.image, "not changed: the change would leave the disk damaged (" +
                            problemText(after.front()) + ")");
        return kFailed;
    }
    d88::FileFailure f;
    // The editor takes the image over: nothing reads it through the session after this.
    if (!o.dryRun && !d88::ImageEditor(std::move(s.image)).save(o.image.c_str(), &f)) {
        report(o.image, failureText(f, true));
        return kFailed;
    }
    print(done);
    return 0;
}

int mkdir(const Options& o) {
    d88::ImageEditor editor;
    d88::FileFailure f;
    if (!editor.load(o.image.c_str(), &f)) {
        report(o.image, failureText(f, false));
        return kFailed;
    }
    return editFileSystem(o, editor.release(), FsOperation::kMakeDirectory);
}

int rmdir(const Options& o) {
    d88::ImageEditor editor;
    d88::FileFailure f;
    if (!editor.load(o.image.c_str(), &f)) {
        report(o.image, failureText(f, false));
        return kFailed;
    }
    return editFileSystem(o, editor.release(), FsOperation::kRemoveDirectory);
}

namespace {

// The free space of a disk image's first disk, as its file system counts it.
fs::FreeSpace freeSpaceOf(const std::vector<uint8_t>& image, fs::Kind kind) {
    const d88::ImageView view(image.data(), image.size());
    d88::DiskInfo disk;
    view.readDisk(0, &disk);
    const fs::Volume volume(view, disk);
    std::string why;
    const std::unique_ptr<fs::FileSystem> system = fs::openAs(volume, kind, &why);
    return system != nullptr ? system->freeSpace() : fs::FreeSpace();
}

std::string typesText(fs::Kind kind) {
    std::string text;
    for (const std::string& t : fs::formatTypes(kind))
        text += (text.empty() ? "" : ", ") + t;
    return text;
}

}  // namespace

int newFileSystemImage(const Options& o, const std::string& label) {
    fs::Kind kind = fs::Kind::kFlat;
    fs::kindByName(o.fs, &kind);
    const std::vector<std::string> types = fs::formatTypes(kind);
    if (types.empty()) {
        report(o.image, std::string("d88 cannot make blank ") + fs::kindTitle(kind) + " disks");
        return kFailed;
    }
    const std::string type = o.type.empty() ? types.front() : o.type;
    fs::BlankDisk blank;
    std::string why;
    if (!fs::formatDisk(kind, type, label, &blank, &why)) {
        report(o.image, why + " (" + fs::kindTitle(kind) + " disks: " + typesText(kind) + ")");
        return kFailed;
    }
    const std::vector<uint8_t> image = fs::buildImage(blank, label);
    if (!saveNewImage(o, image)) return kFailed;
    const fs::FreeSpace free = freeSpaceOf(image, kind);
    print(d88::escapeForDisplay(o.image) + ": a blank " + fs::kindTitle(kind) + " " + type +
          format(" disk of %lld bytes, %lld bytes free\n", int64_t(image.size()), free.bytes()));
    return 0;
}

int importImage(const Options& o) {
    std::vector<uint8_t> flat;
    if (!readInput(o.input, kMostInput, &flat)) return kFailed;
    // The families that have the type: with --fs only that one; otherwise the first whose
    // disk of that type holds exactly the file's bytes.
    std::vector<fs::Kind> kinds = {fs::Kind::kFat12, fs::Kind::kN88, fs::Kind::kHuBasic,
                                   fs::Kind::kFBasic, fs::Kind::kFlat};
    if (!o.fs.empty()) {
        fs::Kind kind = fs::Kind::kFlat;
        fs::kindByName(o.fs, &kind);
        kinds = {kind};
    }
    std::string sizes;
    for (const fs::Kind kind : kinds) {
        fs::BlankDisk disk;
        std::string why;
        if (!fs::formatDisk(kind, o.type, "", &disk, &why)) continue;
        if (!fs::fillFromFlat(&disk, flat, &why)) {
            sizes += (sizes.empty() ? "" : "; ") + std::string(fs::kindTitle(kind)) + " " + o.type +
                     " holds " + why.substr(why.rfind(' ') + 1);
            continue;
        }
        const std::vector<uint8_t> image = fs::buildImage(disk, "");
        Options target = o;
        target.image = o.output;
        if (!saveNewImage(target, image)) return kFailed;
        print(d88::escapeForDisplay(o.output) + ": a " + fs::kindTitle(kind) + " " + o.type +
              format(" disk of %lld bytes, from the %lld bytes of ", int64_t(image.size()),
                     int64_t(flat.size())) +
              d88::escapeForDisplay(o.input) + "\n");
        return 0;
    }
    report(o.input, sizes.empty() ? "no file system has a disk type " + o.type
                                  : format("%lld bytes do not fit a ", int64_t(flat.size())) +
                                        o.type + " disk (" + sizes + ")");
    return kFailed;
}

}  // namespace d88cli
