// d88 put, rm and new: the flat directory's editor, and the choice of editor. A disk that
// holds another file system is edited through it (fsedit.cpp) unless --fs flat says to edit
// it as flat.
#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/names.h>

#include "../platform.h"
#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

std::string failureText(const FileFailure& f, bool temporary) {
    const std::string why = f.error != 0 ? ": " + reason(f.error) : std::string();
    switch (f.step) {
        case FileFailure::kNone:
        case FileFailure::kOpen:
            return "cannot open" + why;
        case FileFailure::kRead:
            return "cannot read" + why;
        case FileFailure::kNotRegular:
            return "not a regular file";
        case FileFailure::kTooLarge:
            return "larger than 2147483647 bytes, too large to edit";
        case FileFailure::kReadOnly:
            return "cannot be written" + why;
        case FileFailure::kExists:
            return "exists (-f replaces it)";
        case FileFailure::kCreate:
            return (temporary ? "cannot create a temporary file in its directory"
                              : "cannot create") +
                   why;
        case FileFailure::kWrite:
            return (temporary ? "cannot write its new copy" : "cannot write") + why;
        case FileFailure::kReplace:
            return "cannot rename the new copy over it" + why;
    }
    return "cannot open" + why;
}

std::string baseName(const std::string& path) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("/\\");
#else
    const size_t slash = path.rfind('/');
#endif
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool saveNewImage(const Options& o, const std::vector<uint8_t>& image) {
    FileFailure f;
    bool temporary = false;
    bool saved = retrodisk::d88::saveNewImage(o.image.c_str(), image.data(), image.size(), &f);
    if (!saved && f.step == FileFailure::kExists && o.force) {
        temporary = true;
        saved = ImageEditor(image).save(o.image.c_str(), &f);
    }
    if (!saved) report(o.image, failureText(f, temporary));
    return saved;
}

namespace {

// "1 sector", "5 sectors"
std::string sectorCount(int64_t n) {
    return format(n == 1 ? "%lld sector" : "%lld sectors", n);
}

bool loadForEdit(const Options& o, ImageEditor* editor) {
    FileFailure f;
    if (editor->load(o.image.c_str(), &f)) return true;
    report(o.image, failureText(f, false));
    return false;
}

// True when the selected disk can be edited; otherwise reports why.
bool checkDisk(const ImageEditor& editor, const Options& o) {
    const EditResult r = editor.checkDisk(o.disk, o.force);
    switch (r.status) {
        case EditStatus::kNoDisk:
            report(
                o.image,
                noDiskText(o, ImageView(editor.bytes().data(), editor.bytes().size()).diskCount()));
            return false;
        case EditStatus::kWriteProtected:
            report(o.image,
                   format("disk %lld is write-protected; --force changes it anyway", o.disk));
            return false;
        case EditStatus::kNoDirectory:
            report(o.image, noDirectoryText(o.disk));
            return false;
        case EditStatus::kShortDirectory:
            report(o.image, shortDirectoryText(r.entries) + "; the disk is not changed");
            return false;
        default:
            return true;
    }
}

// The Shift_JIS form of `given` (UTF-8, or its bytes as they are with --raw-names); false
// after reporting when there is none. With `check`, also a name an entry can hold.
bool diskName(const std::string& given, const Options& o, bool check, std::string* name) {
    const std::string subject = o.image + ": " + given;
    if (o.rawNames) {
        *name = given;
    } else if (!utf8ToCp932(given, name)) {
        report(subject, "the name cannot be written in Shift_JIS");
        return false;
    }
    const NameCheck verdict = check ? checkDiskName(*name) : NameCheck::kOk;
    if (verdict == NameCheck::kLength)
        report(subject, format("the name is %lld bytes", int64_t(name->size())) +
                            (o.rawNames ? "" : " in Shift_JIS") +
                            "; a name on the disk has 1 to 13");
    if (verdict == NameCheck::kCharacter)
        report(subject,
               "a name on the disk cannot hold a space, a control character, '/', '\\' "
               "or ':', nor be . or ..");
    return verdict == NameCheck::kOk;
}

// The bytes of the file at `path`, which a directory entry must be able to describe; false
// after reporting.
bool readInput(const std::string& path, std::string* data) {
    std::FILE* in = openFile(path.c_str(), "rb");
    if (in == nullptr) {
        report(path, "cannot open: " + reason(errno));
        return false;
    }
    // One byte more than the largest size, to see a larger file without reading it all.
    data->resize(size_t(kMaxFileSize) + 1);
    const size_t got = std::fread(data->data(), 1, data->size(), in);
    const int error = errno;
    const bool failed = std::ferror(in) != 0;
    std::fclose(in);
    if (failed) {
        report(path, "cannot read: " + reason(error));
        return false;
    }
    if (got > size_t(kMaxFileSize)) {
        report(path, "larger than 65535 bytes, the most a file on the disk can hold");
        return false;
    }
    data->resize(got);
    return true;
}

// Why a put or rm of one file was refused.
std::string refusal(const EditResult& r, const Options& o) {
    const std::string allocate = "; --allocate can move it to free space";
    const std::string sector = format("sector %lld of it", r.sector);
    switch (r.status) {
        case EditStatus::kNoSuchFile:
            return format("no such file on disk %lld", o.disk) +
                   (o.files.empty() ? "" : "; --allocate adds it");
        case EditStatus::kNoRoom:
            return "needs " + sectorCount(r.needed) +
                   ", and no run of free sectors is that long (" +
                   format("the longest has %lld)", r.has);
        case EditStatus::kDirectoryFull:
            return format("no room for a new entry: the directory is full (%lld entries)",
                          kMaxEntries);
        case EditStatus::kDirectoryLocked:
            return "the directory cannot be changed: a sector of it is missing, or shares its "
                   "bytes with other parts of the image";
        default:
            break;
    }
    switch (r.problem) {
        case InPlaceProblem::kGrows:
            return "needs " + sectorCount(r.needed) + format(", has %lld", r.has) + allocate;
        case InPlaceProblem::kReserved:
            return sector + " lies on track 0, which holds the boot sectors and the directory" +
                   allocate;
        case InPlaceProblem::kPastDisk:
            return sector +
                   format(" lies past the disk's last sector (%lld)", kLogicalSectors - 1) +
                   allocate;
        case InPlaceProblem::kMissing:
            return sector + " is missing, or not 1024 bytes" + allocate;
        case InPlaceProblem::kShared:
            return sector + " belongs to another entry too" + allocate;
        case InPlaceProblem::kOverlaps:
            return sector + " shares its bytes with other parts of the image" + allocate;
        case InPlaceProblem::kNone:
            break;
    }
    return "cannot be changed";
}

// What a put did, or would do with --dry-run.
std::string putText(const EditResult& r, bool dryRun) {
    const std::string would = dryRun ? "would be " : "";
    const std::string where = r.count == 1
                                  ? format("sector %lld", r.first)
                                  : format("sectors %lld-%lld", r.first, r.first + r.count - 1);
    switch (r.action) {
        case PutAction::kInPlace:
            return would +
                   (r.count > 0 ? "replaced in place at " + where : "replaced in place, empty");
        case PutAction::kMoved:
            return would + (r.count > 0 ? "moved to " + where : "replaced, empty (no sectors)");
        case PutAction::kAdded:
            return would + (r.count > 0 ? "added at " + where : "added, empty (no sectors)");
    }
    return would + "replaced";
}

// All or nothing: with any failure the image is left as it was; otherwise it is saved (not
// with --dry-run) and what was done is printed.
int finish(const ImageEditor& editor, const Options& o, const std::string& done, int64_t failed,
           int64_t total) {
    if (failed > 0) {
        if (total > 1) report(o.image, format("not changed: %lld of %lld failed", failed, total));
        return kFailed;
    }
    FileFailure f;
    if (!o.dryRun && !editor.save(o.image.c_str(), &f)) {
        report(o.image, failureText(f, true));
        return kFailed;
    }
    print(done);
    return 0;
}

}  // namespace

int put(const Options& o) {
    ImageEditor editor;
    if (!loadForEdit(o, &editor)) return kFailed;
    FoundFileSystem found;
    const EditTarget target = editTarget(editor.bytes().data(), editor.bytes().size(), o, &found);
    if (target == EditTarget::kFileSystem)
        return editFileSystem(o, editor.release(), FsOperation::kPut, std::move(found));
    if (target == EditTarget::kRefused || !checkDisk(editor, o)) return kFailed;
    std::string done;
    int64_t failed = 0;
    for (const std::string& path : o.files) {
        std::string data;
        std::string name;
        if (!readInput(path, &data) || !diskName(o.named ? o.as : baseName(path), o, true, &name)) {
            ++failed;
            continue;
        }
        const EditResult r = editor.put(o.disk, name, reinterpret_cast<const uint8_t*>(data.data()),
                                        data.size(), o.allocate, o.force);
        const std::string shown = shownName(name, o.rawNames);
        if (r.status != EditStatus::kDone) {
            report(o.image + ": " + shown, refusal(r, o));
            ++failed;
            continue;
        }
        done += shown + ": " + putText(r, o.dryRun) + "\n";
    }
    return finish(editor, o, done, failed, int64_t(o.files.size()));
}

int rm(const Options& o) {
    ImageEditor editor;
    if (!loadForEdit(o, &editor)) return kFailed;
    FoundFileSystem found;
    const EditTarget target = editTarget(editor.bytes().data(), editor.bytes().size(), o, &found);
    if (target == EditTarget::kFileSystem)
        return editFileSystem(o, editor.release(), FsOperation::kRemove, std::move(found));
    if (target == EditTarget::kRefused || !checkDisk(editor, o)) return kFailed;
    std::string done;
    int64_t failed = 0;
    for (const std::string& given : o.names) {
        std::string name;
        // Any entry can be removed, whatever its name holds.
        if (!diskName(given, o, false, &name)) {
            ++failed;
            continue;
        }
        const EditResult r = editor.remove(o.disk, name, o.force);
        const std::string shown = shownName(name, o.rawNames);
        if (r.status != EditStatus::kDone) {
            report(o.image + ": " + shown, refusal(r, o));
            ++failed;
            continue;
        }
        done += shown + ": " + (o.dryRun ? "would be removed, " : "removed, ") +
                sectorCount(r.freed) + " freed\n";
    }
    return finish(editor, o, done, failed, int64_t(o.names.size()));
}

int newImage(const Options& o) {
    std::string label;
    if (!utf8ToCp932(o.label, &label)) {
        report(o.image, "the label cannot be written in Shift_JIS");
        return kFailed;
    }
    if (label.size() > size_t(kDiskNameLength)) {
        report(o.image, format("the label is %lld bytes in Shift_JIS; the header holds 16",
                               int64_t(label.size())));
        return kFailed;
    }
    if (!o.fs.empty()) return newFileSystemImage(o, label);
    const std::vector<uint8_t> image = blankImage(label);
    if (!saveNewImage(o, image)) return kFailed;
    print(escapeForDisplay(o.image) +
          format(": a blank 2HD disk of %lld bytes, %lld sectors free\n", int64_t(image.size()),
                 kLogicalSectors - kFirstFileSector));
    return 0;
}

}  // namespace d88cli
