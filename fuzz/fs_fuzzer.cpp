// Fuzzes the file systems on arbitrary bytes taken as an image: for the first disks, detection
// and each family read as if the user had chosen it (--fs), its listing, every file's read,
// the free space and the whole-disk check. Checked: a read said complete gives exactly the
// entry's size, an incomplete one names its problem and never gives more than the size,
// every entry has a path, every problem says what it is, and detection's winner is sure.
#include <cstddef>
#include <cstdint>

#include <retrodisk/d88/image_view.h>
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
        }
    }
    return 0;
}
