// d88 check: every problem of one disk's file system, each naming the file or area it
// affects; exit status 0 when the disk is clean, 1 when not.
#include "d88.h"

namespace d88cli {

int check(const Options& o) {
    OpenedDisk d;
    if (!openDisk(o, &d)) return kFailed;
    const std::vector<fs::Problem> problems = d.fileSystem->check();
    json list = json::array();
    std::string text;
    for (const fs::Problem& p : problems) {
        std::string path;
        const bool valid = typedPath(p.path, false, &path);
        if (o.json) {
            list.push_back({{"kind", fs::problemName(p.kind)},
                            {"path", p.path.empty() ? json(nullptr)
                                     : valid        ? json(path)
                                                    : json(nullptr)},
                            {"area", p.area.empty() ? json(nullptr) : json(p.area)},
                            {"detail", p.detail}});
            continue;
        }
        text += (p.path.empty() ? p.area : shownPath(p.path, o.rawNames)) + ": " +
                fs::problemName(p.kind) + ": " + p.detail + "\n";
    }
    const char* name = fs::kindName(d.fileSystem->kind());
    if (problems.empty())
        text += std::string(fs::kindTitle(d.fileSystem->kind())) + ": no problems found\n";
    emit(o,
         {{"image", o.image},
          {"disk", d.disk.index},
          {"file_system", name},
          {"clean", problems.empty()},
          {"problems", list}},
         text);
    if (problems.empty()) return 0;
    report(o.image, format(problems.size() == 1 ? "disk %lld: %lld problem found"
                                                : "disk %lld: %lld problems found",
                           d.disk.index, int64_t(problems.size())));
    return kFailed;
}

}  // namespace d88cli
