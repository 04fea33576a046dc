// The page's C API over the library: one image held in the module's memory, a disk of it
// selected and its file system opened, and plain functions that answer with JSON, bytes or a
// refusal in words. Every function returns 0 on success and 1 on failure; its answer (the
// JSON, the bytes, or the English reason for a failure) is then at rd_result() for
// rd_result_size() bytes, until the next call. The page's worker (retrodisk.js) wraps them.
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#ifdef __EMSCRIPTEN__
#include <emscripten/emscripten.h>
#define RD_EXPORT extern "C" EMSCRIPTEN_KEEPALIVE
#else
#define RD_EXPORT extern "C"
#endif

// editor.h before the headers that declare d88::kWriteProtected, which its EditStatus shadows.
#include <retrodisk/d88/editor.h>
#include <retrodisk/d88/image_view.h>
#include <retrodisk/d88/names.h>
#include <retrodisk/d88/scan.h>
#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>
#include <retrodisk/vkp/decoder.h>
#include <retrodisk/vkp/encoder.h>

#include "json_writer.h"

namespace {

namespace d88 = retrodisk::d88;
namespace fs = retrodisk::fs;
namespace vkp = retrodisk::vkp;
using web::JsonWriter;

std::vector<uint8_t> result;

int answer(const std::string& text, int status) {
    result.assign(text.begin(), text.end());
    return status;
}
int fail(const std::string& why) {
    return answer(why, 1);
}

// The image and what is open of it.
struct Session {
    std::vector<uint8_t> image;
    std::unique_ptr<d88::ImageView> view;
    d88::DiskInfo disk;
    std::string fsName;  // the file system asked for; "" when found by detection
    std::unique_ptr<fs::Volume> volume;
    std::unique_ptr<fs::FileSystem> fileSystem;
    std::vector<fs::Entry> entries;

    void close() {
        entries.clear();
        fileSystem.reset();
        volume.reset();
        disk = d88::DiskInfo();
    }
    void reset(std::vector<uint8_t> bytes) {
        close();
        image = std::move(bytes);
        view = std::make_unique<d88::ImageView>(image.data(), image.size());
    }
};
Session session;

std::string number(int64_t n) {
    return std::to_string(n);
}

std::string hex(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        out += digits[static_cast<unsigned char>(c) >> 4];
        out += digits[static_cast<unsigned char>(c) & 15];
    }
    return out;
}

uint32_t crc32Of(const uint8_t* data, size_t size) {
    static uint32_t table[256];
    if (table[1] == 0)
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; ++i)
        crc = table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    return crc ^ 0xFFFFFFFFu;
}

std::string crcText(uint32_t crc) {
    char text[9];
    std::snprintf(text, sizeof text, "%08x", unsigned(crc));
    return text;
}

// A name from the disk as UTF-8, or null where its bytes are not valid Shift_JIS.
void name(JsonWriter* w, const char* key, const std::string& bytes) {
    std::string utf8;
    if (d88::cp932ToUtf8(bytes, &utf8))
        w->string(key, utf8);
    else
        w->null(key);
}

std::string dateText(const fs::Entry& e) {
    const fs::DateTime& d = e.date;
    char text[40];
    if (d.hasTime)
        std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", int(d.year), int(d.month),
                      int(d.day), int(d.hour), int(d.minute), int(d.second));
    else
        std::snprintf(text, sizeof text, "%04d-%02d-%02d", int(d.year), int(d.month), int(d.day));
    return text;
}

// The path as the user reads it, components joined by '/'; false when one is not Shift_JIS.
bool typedPath(const std::vector<std::string>& path, std::string* out) {
    out->clear();
    for (size_t i = 0; i < path.size(); ++i) {
        std::string part;
        if (!d88::cp932ToUtf8(path[i], &part)) return false;
        *out += (i > 0 ? "/" : "") + part;
    }
    return true;
}

// The entry as `d88 ls --json` writes it.
void entryJson(JsonWriter* w, const fs::Entry& e, const fs::FileData* data) {
    w->beginObject();
    std::string path;
    if (typedPath(e.path, &path))
        w->string("path", path);
    else
        w->null("path");
    name(w, "name", e.path.empty() ? std::string() : e.path.back());
    w->string("name_bytes", hex(e.rawName));
    w->string("type", e.type).boolean("directory", e.directory);
    w->number("attributes", e.attributes).string("attribute_text", e.attributeText);
    w->number("size", e.size);
    if (data != nullptr && data->complete)
        w->string("crc32", crcText(crc32Of(data->bytes.data(), data->bytes.size())));
    else
        w->null("crc32");
    if (e.hasDate)
        w->string("date", dateText(e));
    else
        w->null("date");
    if (e.firstUnit >= 0)
        w->number("first_unit", e.firstUnit);
    else
        w->null("first_unit");
    if (e.hasLoad)
        w->number("load", e.load);
    else
        w->null("load");
    if (e.hasExec)
        w->number("exec", e.exec);
    else
        w->null("exec");
    w->beginObject("own");
    for (const fs::Field& f : e.own) {
        std::string utf8;
        if (!f.isText)
            w->number(f.key.c_str(), f.number);
        else if (d88::cp932ToUtf8(f.text, &utf8))
            w->string(f.key.c_str(), utf8);
        else
            w->string(f.key.c_str(), hex(f.text));
    }
    w->end();
    if (data != nullptr && !data->complete && !e.directory)
        w->string("problem", data->problem.detail).number("readable", int64_t(data->bytes.size()));
    w->end();
}

void problemJson(JsonWriter* w, const fs::Problem& p) {
    std::string path;
    w->beginObject().string("kind", fs::problemName(p.kind));
    if (!p.path.empty() && typedPath(p.path, &path))
        w->string("path", path);
    else
        w->string("area", p.area);
    w->string("detail", p.detail).end();
}

// Opens disk `disk` with file system `fsName` ("" for the one recognised, as d88 reads a
// disk); an empty string, or why not.
std::string openDisk(int32_t disk, const std::string& fsName) {
    session.close();
    if (!session.view || !session.view->readDisk(disk, &session.disk))
        return "the image has no disk " + number(disk);
    session.fsName = fsName;
    session.volume = std::make_unique<fs::Volume>(*session.view, session.disk);
    std::string why;
    if (!fsName.empty()) {
        fs::Kind kind = fs::Kind::kFlat;
        if (!fs::kindByName(fsName, &kind)) return "no file system is called " + fsName;
        session.fileSystem = fs::openAs(*session.volume, kind, &why);
        if (!session.fileSystem)
            return "disk " + number(disk) + " cannot be read as " + fs::kindTitle(kind) + ": " +
                   why;
        return std::string();
    }
    fs::Recognition r = fs::recognise(*session.volume);
    if (r.outcome == fs::Recognition::kRecognised) {
        session.fileSystem = std::move(r.chosen);
        return std::string();
    }
    if (r.outcome == fs::Recognition::kAmbiguous)
        return "disk " + number(disk) + " looks like " + r.sureTitles() +
               "; choose the file system to read it with";
    if (r.bidOf(fs::Kind::kFlat).confidence >= fs::kFlatUsable) {
        session.fileSystem = fs::openAs(*session.volume, fs::Kind::kFlat, &why);
        if (session.fileSystem) return std::string();
    }
    const fs::Recognition::Bid& best = r.bids.front();
    if (best.detection.confidence == 0)
        return "disk " + number(disk) + " holds no file system this page recognises";
    return "disk " + number(disk) +
           " holds no file system this page recognises (nearest: " + fs::kindTitle(best.kind) +
           ": " + best.detection.evidence + ")";
}

// Reopens the disk after its image changed.
void reopen() {
    const int32_t disk = session.disk.index;
    const std::string fsName = session.fsName;
    session.view = std::make_unique<d88::ImageView>(session.image.data(), session.image.size());
    openDisk(disk, fsName);
    if (session.fileSystem) session.entries = session.fileSystem->list();
}

std::string problemText(const fs::Problem& p) {
    std::string where = p.area;
    if (!p.path.empty()) typedPath(p.path, &where);
    return where + ": " + fs::problemName(p.kind) + ": " + p.detail;
}

// The disk path "DIR/NAME" in Shift_JIS components; false with *why.
bool diskPath(const char* utf8, std::vector<std::string>* path, std::string* why) {
    const std::string text = utf8 != nullptr ? utf8 : "";
    size_t start = 0;
    while (start <= text.size()) {
        size_t slash = text.find('/', start);
        if (slash == std::string::npos) slash = text.size();
        if (slash > start) {
            std::string part;
            if (!d88::utf8ToCp932(text.substr(start, slash - start), &part)) {
                *why = text + ": the name cannot be written in Shift_JIS";
                return false;
            }
            path->push_back(part);
        }
        start = slash + 1;
    }
    if (path->empty()) *why = "no name";
    return !path->empty();
}

// Whether the selected disk is edited through its flat directory; false with *why when it
// cannot be edited at all.
bool editsFlat(bool* flat, std::string* why) {
    if (!session.fileSystem) {
        *why = "no disk is open";
        return false;
    }
    *flat = session.fileSystem->kind() == fs::Kind::kFlat;
    if (*flat && session.fsName.empty()) {
        // A disk recognised as nothing else whose C0 H0 R3 is no directory is not written.
        const fs::Recognition r = fs::recognise(*session.volume);
        const fs::Detection bid = r.bidOf(fs::Kind::kFlat);
        if (bid.confidence > 0 && bid.confidence < fs::kFlatUsable) {
            *why = "disk " + number(session.disk.index) + ": " + bid.evidence;
            return false;
        }
    }
    return true;
}

std::string flatRefusal(const d88::EditResult& r) {
    switch (r.status) {
        case d88::EditStatus::kDone:
            return std::string();
        case d88::EditStatus::kNoDisk:
            return "the image has no such disk";
        case d88::EditStatus::kWriteProtected:
            return "the disk is write-protected (force changes it anyway)";
        case d88::EditStatus::kNoDirectory:
            return "the disk has no flat directory";
        case d88::EditStatus::kShortDirectory:
            return "the directory cannot be read to its end";
        case d88::EditStatus::kBadName:
            return "not a name the directory can hold (1 to 13 bytes, no space, / \\ or :)";
        case d88::EditStatus::kTooLarge:
            return "larger than 65535 bytes, more than an entry can describe";
        case d88::EditStatus::kNoSuchFile:
            return "no such file";
        case d88::EditStatus::kNeedsAllocate:
        case d88::EditStatus::kNoRoom:
            return "needs " + number(r.needed) +
                   " sectors, and no run of free sectors is that long (the longest has " +
                   number(r.has) + ")";
        case d88::EditStatus::kDirectoryFull:
            return "no room for a new entry: the directory is full";
        case d88::EditStatus::kDirectoryLocked:
            return "the directory cannot be changed: a sector of it is missing or shared";
    }
    return "refused";
}

// Applies one planned change to the selected disk, with the rules d88 keeps: a
// write-protected or damaged disk is changed only with `force`, and a clean disk must stay
// clean.
int applyChange(const std::vector<std::string>& path, bool force,
                fs::Plan (*plan)(const fs::Editor&, const std::vector<std::string>&, const void*),
                const void* context) {
    const std::unique_ptr<fs::Editor> editor = session.fileSystem->editor();
    if (!editor)
        return fail(std::string("this page cannot write ") +
                    fs::kindTitle(session.fileSystem->kind()) + " disks");
    if (session.disk.writeProtect == d88::kWriteProtected && !force)
        return fail("the disk is write-protected (force changes it anyway)");
    const std::vector<fs::Problem> before = session.fileSystem->check();
    if (!before.empty() && !force)
        return fail("the disk is damaged (" + problemText(before.front()) +
                    (before.size() > 1 ? ", and more" : "") + "); force changes it anyway");
    const fs::Plan p = plan(*editor, path, context);
    if (!p.ok()) return fail(p.detail);
    std::vector<uint8_t> changed = session.image;
    std::string why;
    if (!fs::applyPlan(&changed, session.disk.index, p, &why))
        return fail("cannot be written: " + why);
    std::vector<uint8_t> old = std::move(session.image);
    session.image = std::move(changed);
    reopen();
    const std::vector<fs::Problem> after =
        session.fileSystem ? session.fileSystem->check() : std::vector<fs::Problem>();
    if (!session.fileSystem || (before.empty() && !after.empty())) {
        const std::string text =
            after.empty() ? std::string("the disk cannot be read") : problemText(after.front());
        session.image = std::move(old);
        reopen();
        return fail("not changed: the change would leave the disk damaged (" + text + ")");
    }
    std::string units;
    for (const int64_t u : p.units)
        units += (units.empty() ? "" : " ") + number(u);
    const char* done = p.action == fs::Plan::kAdded      ? "added"
                       : p.action == fs::Plan::kReplaced ? "replaced"
                                                         : "removed";
    return answer(std::string(done) + (units.empty() ? "" : ", units " + units) +
                      (p.detail.empty() ? "" : "; " + p.detail),
                  0);
}

}  // namespace

RD_EXPORT const uint8_t* rd_result() {
    return result.data();
}
RD_EXPORT size_t rd_result_size() {
    return result.size();
}

// Takes a copy of image[0, size) as the image worked on; answers with its disk count.
RD_EXPORT int rd_open(const uint8_t* image, size_t size) {
    session.reset(std::vector<uint8_t>(image, image + size));
    session.fsName.clear();
    return answer(number(session.view->diskCount()), 0);
}

// The image as it stands, changes included.
RD_EXPORT const uint8_t* rd_image() {
    return session.image.data();
}
RD_EXPORT size_t rd_image_size() {
    return session.image.size();
}

// What `d88 info --json` says of disk `index`: header, geometry, file system, anomalies.
RD_EXPORT int rd_disk_info(int32_t index) {
    d88::DiskInfo disk;
    if (!session.view || !session.view->readDisk(index, &disk))
        return fail("the image has no disk " + number(index));
    const d88::Geometry g = d88::commonGeometry(*session.view, disk);
    const fs::Volume volume(*session.view, disk);
    const fs::Recognition found = fs::recognise(volume);
    JsonWriter w;
    w.beginObject().number("index", index).number("offset", disk.offset);
    name(&w, "name", disk.name);
    w.string("name_bytes", hex(disk.name)).string("media", d88::mediaName(disk.mediaType));
    w.number("media_byte", disk.mediaType);
    w.boolean("write_protected", disk.writeProtect == d88::kWriteProtected);
    w.number("size", int64_t(uint32_t(disk.size))).number("tracks", g.tracks);
    w.beginObject("geometry").number("cylinders", g.cylinders).number("heads", g.heads);
    w.number("sectors", g.sectors).number("sector_size", g.sectorSize).end();
    w.beginObject("file_system");
    w.string("outcome", found.outcome == fs::Recognition::kRecognised  ? "recognised"
                        : found.outcome == fs::Recognition::kAmbiguous ? "ambiguous"
                                                                       : "none");
    if (found.chosen) {
        w.string("name", fs::kindName(found.chosen->kind()));
        w.string("title", fs::kindTitle(found.chosen->kind()));
        w.string("description", found.chosen->describe());
    } else {
        w.null("name").null("title").null("description");
    }
    w.beginArray("bids");
    for (const fs::Recognition::Bid& b : found.bids)
        w.beginObject()
            .string("name", fs::kindName(b.kind))
            .number("confidence", b.detection.confidence)
            .string("evidence", b.detection.evidence)
            .end();
    w.end().end();
    w.beginArray("anomalies");
    for (const d88::Anomaly& a : d88::scanAnomalies(*session.view, disk)) {
        w.beginObject();
        if (a.track < 0)
            w.null("track");
        else
            w.number("track", a.track);
        w.string("kind", d88::anomalyName(a.kind)).string("detail", a.detail).end();
    }
    w.end().end();
    return answer(w.text(), 0);
}

// Opens disk `disk` with file system `fsName` ("" to recognise it) and lists its whole tree as
// `d88 ls --json -R` does, with the free space and what a check finds.
RD_EXPORT int rd_list(int32_t disk, const char* fsName) {
    const std::string why = openDisk(disk, fsName != nullptr ? fsName : "");
    if (!why.empty()) return fail(why);
    session.entries = session.fileSystem->list();
    const fs::FreeSpace free = session.fileSystem->freeSpace();
    JsonWriter w;
    w.beginObject().number("disk", disk);
    w.string("file_system", fs::kindName(session.fileSystem->kind()));
    w.string("title", fs::kindTitle(session.fileSystem->kind()));
    w.string("description", session.fileSystem->describe());
    w.boolean("write_protected", session.disk.writeProtect == d88::kWriteProtected);
    w.beginArray("files");
    for (const fs::Entry& e : session.entries) {
        if (e.directory) {
            entryJson(&w, e, nullptr);
            continue;
        }
        const fs::FileData data = session.fileSystem->read(e);
        entryJson(&w, e, &data);
    }
    w.end();
    w.beginObject("free").number("units", free.units).number("unit_bytes", free.unitBytes);
    w.number("bytes", free.bytes()).end();
    w.beginArray("problems");
    for (const fs::Problem& p : session.fileSystem->check())
        problemJson(&w, p);
    w.end();
    w.beginArray("types");
    for (const char* type : {"basic", "ascii", "binary", "machine", "data"})
        w.string(nullptr, type);
    w.end().end();
    return answer(w.text(), 0);
}

// The bytes of entry `index` of the last listing (as much as can be read; a file that cannot
// be read whole fails with the reason).
RD_EXPORT int rd_read(int32_t index) {
    if (!session.fileSystem || index < 0 || size_t(index) >= session.entries.size())
        return fail("no such file");
    const fs::Entry& e = session.entries[size_t(index)];
    if (e.directory) return fail("a directory");
    fs::FileData data = session.fileSystem->read(e);
    if (!data.complete) return fail(data.problem.detail);
    result = std::move(data.bytes);
    return 0;
}

namespace {

struct PutContext {
    const uint8_t* data;
    size_t size;
    const char* type;
    bool hasDate;
    fs::DateTime date;
};

fs::Plan planPut(const fs::Editor& editor, const std::vector<std::string>& path,
                 const void* context) {
    const auto* c = static_cast<const PutContext*>(context);
    fs::PutRequest request;
    request.path = path;
    request.data.assign(c->data, c->data + c->size);
    request.type = c->type != nullptr ? c->type : "";
    request.hasDate = c->hasDate;
    request.date = c->date;
    return editor.put(request);
}

fs::Plan planRemove(const fs::Editor& editor, const std::vector<std::string>& path,
                    const void* /*context*/) {
    return editor.remove(path);
}

}  // namespace

// Puts data[0, size) on the open disk as `path` (UTF-8, '/' between directories), replacing a
// file of that path. `type` is the file type or "" for the default; `year` 0 records no date,
// else the local date and time to record where the file system keeps one. The flat directory
// takes the lowest run of free sectors long enough, as `d88 put --allocate` does.
RD_EXPORT int rd_put(const char* path, const uint8_t* data, size_t size, const char* type,
                     int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                     int32_t second, int32_t force) {
    bool flat = false;
    std::string why;
    std::vector<std::string> parts;
    if (!editsFlat(&flat, &why) || !diskPath(path, &parts, &why)) return fail(why);
    if (flat) {
        if (parts.size() != 1) return fail("the flat directory has no subdirectories");
        d88::ImageEditor editor(session.image);
        const d88::EditResult r =
            editor.put(session.disk.index, parts[0], data, size, true, force != 0);
        if (r.status != d88::EditStatus::kDone) return fail(flatRefusal(r));
        session.image = editor.release();
        reopen();
        return answer(std::string(r.action == d88::PutAction::kAdded ? "added" : "replaced") +
                          ", sectors " + number(r.first) + "-" + number(r.first + r.count - 1),
                      0);
    }
    PutContext context{data, size, type, year != 0, {}};
    context.date = {year, month, day, hour, minute, second, true};
    return applyChange(parts, force != 0, planPut, &context);
}

// Removes the file `path` from the open disk.
RD_EXPORT int rd_remove(const char* path, int32_t force) {
    bool flat = false;
    std::string why;
    std::vector<std::string> parts;
    if (!editsFlat(&flat, &why) || !diskPath(path, &parts, &why)) return fail(why);
    if (flat) {
        if (parts.size() != 1) return fail("the flat directory has no subdirectories");
        d88::ImageEditor editor(session.image);
        const d88::EditResult r = editor.remove(session.disk.index, parts[0], force != 0);
        if (r.status != d88::EditStatus::kDone) return fail(flatRefusal(r));
        session.image = editor.release();
        reopen();
        return answer("removed", 0);
    }
    return applyChange(parts, force != 0, planRemove, nullptr);
}

// The disk types a blank disk of file system `fsName` can have, default first, as JSON.
RD_EXPORT int rd_types(const char* fsName) {
    fs::Kind kind = fs::Kind::kFlat;
    if (fsName == nullptr || !fs::kindByName(fsName, &kind)) return fail("no such file system");
    JsonWriter w;
    w.beginArray();
    for (const std::string& t : fs::formatTypes(kind))
        w.string(nullptr, t);
    w.end();
    return answer(w.text(), 0);
}

// Makes a blank disk of that file system and type (label in UTF-8) the image worked on, as
// `d88 new --fs` does.
RD_EXPORT int rd_new(const char* fsName, const char* type, const char* label) {
    fs::Kind kind = fs::Kind::kFlat;
    if (fsName == nullptr || !fs::kindByName(fsName, &kind)) return fail("no such file system");
    std::string cp932;
    if (!d88::utf8ToCp932(label != nullptr ? label : "", &cp932))
        return fail("the label cannot be written in Shift_JIS");
    if (cp932.size() > size_t(d88::kDiskNameLength))
        return fail("the label is longer than 16 bytes");
    fs::BlankDisk blank;
    std::string why;
    if (!fs::formatDisk(kind, type != nullptr ? type : "", cp932, &blank, &why)) return fail(why);
    session.reset(fs::buildImage(blank, cp932));
    session.fsName.clear();
    return answer("1", 0);
}

// Expands the VKP file file[0, size); the bytes are the answer.
RD_EXPORT int rd_expand(const uint8_t* file, size_t size) {
    std::vector<uint8_t> out;
    switch (vkp::expand(file, size, &out)) {
        case vkp::ExpandResult::kOk:
            result = std::move(out);
            return 0;
        case vkp::ExpandResult::kNoHeader:
            return fail("not a VKP file: shorter than its 8-byte header");
        case vkp::ExpandResult::kInputTooLarge:
            return fail("larger than 16 MiB");
        case vkp::ExpandResult::kNegativeSize:
            return fail("not a VKP file: its size field is negative");
        case vkp::ExpandResult::kOutputTooLarge:
            return fail("its expanded size is too large");
        case vkp::ExpandResult::kSizeBeyondData:
            return fail("cut short: its code stream cannot give the size its header names");
        case vkp::ExpandResult::kOutOfMemory:
            return fail("not enough memory to expand it");
    }
    return fail("cannot be expanded");
}

// Packs data[0, size) into a VKP file; the file is the answer.
RD_EXPORT int rd_pack(const uint8_t* data, size_t size) {
    if (size > 0x7FFFFFFFu) return fail("larger than 2 GiB");
    result.clear();
    vkp::encodeFile(data, uint32_t(size), &result);
    return 0;
}
