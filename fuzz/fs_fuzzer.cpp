// Fuzzes the file systems on arbitrary bytes taken as an image: for the first disks, detection
// and each family read as if the user had chosen it (--fs), its listing, every file's read,
// the free space and the whole-disk check; then the family's editor plans a put, a remove and
// a directory over the damage, and the plans are applied. Checked: a read said complete gives
// exactly the entry's size, an incomplete one names its problem, every entry has a path,
// every problem says what it is, detection's winner is sure, a refused plan writes nothing,
// and applying a plan changes no byte outside the sectors it names.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <retrodisk/d88/image_view.h>
#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>

#include "fuzz_check.h"

namespace {

using namespace retrodisk;

void exercise(const fs::FileSystem& system) {
    FUZZ_CHECK(!system.describe().empty());
    const std::vector<fs::Entry> entries = system.list();
    for (const fs::Entry& e : entries) {
        FUZZ_CHECK(!e.path.empty());
        if (e.directory) continue;
        const fs::FileData data = system.read(e);
        if (data.complete)
            FUZZ_CHECK(int64_t(data.bytes.size()) == e.size);
        else
            FUZZ_CHECK(!data.problem.detail.empty());
    }
    const fs::FreeSpace free = system.freeSpace();
    FUZZ_CHECK(free.units >= 0 && free.unitBytes >= 0);
    for (const fs::Problem& p : system.check())
        FUZZ_CHECK(!p.detail.empty() && (!p.path.empty() || !p.area.empty()));
}

// Plans a put of a new file, a put over the first file, its removal and a directory, on a copy
// of the image, and applies each plan that is not refused.
void edit(const uint8_t* data, size_t size, int32_t disk, const fs::FileSystem& system) {
    const std::unique_ptr<fs::Editor> editor = system.editor();
    if (editor == nullptr) return;
    const std::vector<fs::Entry> entries = system.list();
    std::vector<fs::Plan> plans;
    fs::PutRequest request;
    request.path = {"NEW.BIN"};
    request.data.assign(3000, 0xA5);
    plans.push_back(editor->put(request));
    for (const fs::Entry& e : entries) {
        if (e.directory) continue;
        request.path = e.path;
        plans.push_back(editor->put(request));
        plans.push_back(editor->remove(e.path));
        break;
    }
    plans.push_back(editor->makeDirectory({"DIR"}));
    for (const fs::Plan& plan : plans) {
        if (!plan.ok()) {
            FUZZ_CHECK(plan.writes.empty() && !plan.detail.empty());
            continue;
        }
        std::vector<uint8_t> image(data, data + size);
        std::string why;
        if (!fs::applyPlan(&image, disk, plan, &why)) continue;
        // Only bytes of the plan's sectors may differ: count them against their sizes.
        size_t changed = 0;
        size_t allowed = 0;
        for (size_t i = 0; i < size; ++i)
            changed += image[i] != data[i] ? 1 : 0;
        for (const fs::SectorWrite& w : plan.writes)
            allowed += w.data.size();
        FUZZ_CHECK(changed <= allowed);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > (size_t(4) << 20)) return 0;
    const d88::ImageView image(data, size);
    for (int32_t i = 0; i < image.diskCount() && i < 2; ++i) {
        d88::DiskInfo disk;
        FUZZ_CHECK(image.readDisk(i, &disk));
        const fs::Volume volume(image, disk);
        const fs::Recognition found = fs::recognise(volume);
        if (found.outcome == fs::Recognition::kRecognised) {
            FUZZ_CHECK(found.chosen != nullptr);
            FUZZ_CHECK(found.bids.front().detection.confidence >= fs::kSure);
        }
        for (const fs::Kind kind : {fs::Kind::kFlat, fs::Kind::kFat12, fs::Kind::kN88,
                                    fs::Kind::kHuBasic, fs::Kind::kFBasic}) {
            std::string why;
            const std::unique_ptr<fs::FileSystem> system = fs::openAs(volume, kind, &why);
            if (system == nullptr) {
                FUZZ_CHECK(!why.empty());
                continue;
            }
            FUZZ_CHECK(system->kind() == kind);
            exercise(*system);
            edit(data, size, i, *system);
        }
    }
    return 0;
}
