#include <retrodisk/fs/file_system.h>

#include <retrodisk/fs/edit.h>

#include <algorithm>
#include <cstring>

#include "families.h"

namespace retrodisk::fs {

namespace {

struct Family {
    Kind kind;
    const char* name;
    Detection (*detect)(const Volume&);
    // cppcheck-suppress unusedStructMember ; cppcheck misses the calls through family(kind).open
    std::unique_ptr<FileSystem> (*open)(const Volume&, std::string*);
};

// The flat directory is last: it is taken only when no other family is sure.
const Family kFamilies[] = {
    {Kind::kFat12, "fat12", detectFat12, openFat12},
    {Kind::kN88, "n88", detectN88, openN88},
    {Kind::kHuBasic, "hu", detectHuBasic, openHuBasic},
    {Kind::kFBasic, "fbasic", detectFBasic, openFBasic},
    {Kind::kFlat, "flat", detectFlat, openFlat},
};

const Family& family(Kind kind) {
    for (const Family& f : kFamilies)
        if (f.kind == kind) return f;
    return kFamilies[0];
}

}  // namespace

const char* kindTitle(Kind kind) {
    switch (kind) {
        case Kind::kFlat:
            return "flat directory";
        case Kind::kFat12:
            return "FAT12";
        case Kind::kN88:
            return "N88-BASIC";
        case Kind::kHuBasic:
            return "Hu-BASIC";
        case Kind::kFBasic:
            return "F-BASIC";
    }
    return "unknown";
}

const char* kindName(Kind kind) {
    return family(kind).name;
}

bool kindByName(const std::string& name, Kind* kind) {
    const auto* const f = std::find_if(std::begin(kFamilies), std::end(kFamilies),
                                       [&](const Family& family) { return name == family.name; });
    if (f == std::end(kFamilies)) return false;
    *kind = f->kind;
    return true;
}

const char* problemName(ProblemKind kind) {
    switch (kind) {
        case ProblemKind::kLoop:
            return "loop";
        case ProblemKind::kPastDisk:
            return "past_disk";
        case ProblemKind::kFreeInChain:
            return "free_in_chain";
        case ProblemKind::kReservedInChain:
            return "reserved_in_chain";
        case ProblemKind::kShared:
            return "shared";
        case ProblemKind::kSizeMismatch:
            return "size_mismatch";
        case ProblemKind::kFatMismatch:
            return "fat_mismatch";
        case ProblemKind::kNoDirectoryEnd:
            return "no_directory_end";
        case ProblemKind::kLostUnits:
            return "lost_units";
        case ProblemKind::kMissingSector:
            return "missing_sector";
        case ProblemKind::kBadParameters:
            return "bad_parameters";
        case ProblemKind::kBadEntry:
            return "bad_entry";
    }
    return "bad_entry";
}

std::unique_ptr<Editor> FileSystem::editor() const {
    return nullptr;
}

Detection Recognition::bidOf(Kind kind) const {
    for (const Bid& b : bids)
        if (b.kind == kind) return b.detection;
    return {};
}

std::string Recognition::sureTitles() const {
    std::string out;
    for (const Bid& b : bids)
        if (b.detection.confidence >= kSure)
            out += (out.empty() ? "" : " and ") + std::string(kindTitle(b.kind));
    return out;
}

Recognition recognise(const Volume& volume) {
    Recognition result;
    int sure = 0;
    for (const Family& f : kFamilies) {
        if (f.kind == Kind::kFlat && sure > 0) continue;  // another file system is there
        Detection d = f.detect(volume);
        if (d.confidence >= kSure) ++sure;
        result.bids.push_back({f.kind, std::move(d)});
    }
    std::stable_sort(result.bids.begin(), result.bids.end(),
                     [](const Recognition::Bid& a, const Recognition::Bid& b) {
                         return a.detection.confidence > b.detection.confidence;
                     });
    if (sure == 0) {
        result.outcome = Recognition::kNone;
        return result;
    }
    if (sure > 1) {
        result.outcome = Recognition::kAmbiguous;
        return result;
    }
    std::string why;
    result.chosen = family(result.bids.front().kind).open(volume, &why);
    if (result.chosen == nullptr) {
        // Sure of the signature, but its structures cannot be read: say so as its evidence.
        result.bids.front().detection.evidence += "; cannot be read: " + why;
        result.outcome = Recognition::kNone;
        return result;
    }
    result.outcome = Recognition::kRecognised;
    return result;
}

std::unique_ptr<FileSystem> openAs(const Volume& volume, Kind kind, std::string* why) {
    return family(kind).open(volume, why);
}

}  // namespace retrodisk::fs
