// d88 info: every disk in the file: header, geometry, file system, anomalies.
#include <retrodisk/d88/names.h>

#include "d88.h"

namespace d88cli {

using namespace retrodisk::d88;

// What recognise() found, for the text: "FAT12: parameter block at ...", or why nothing.
std::string fileSystemText(const fs::Recognition& r) {
    const fs::Recognition::Bid& best = r.bids.front();
    switch (r.outcome) {
        case fs::Recognition::kRecognised:
            return std::string(fs::kindTitle(best.kind)) + ": " + best.detection.evidence;
        case fs::Recognition::kAmbiguous: {
            std::string text = "ambiguous:";
            for (const fs::Recognition::Bid& b : r.bids)
                if (b.detection.confidence >= fs::kSure)
                    text += std::string(" ") + fs::kindTitle(b.kind) + " (" + b.detection.evidence +
                            ")";
            return text;
        }
        case fs::Recognition::kNone:
            break;
    }
    return best.detection.confidence == 0
               ? std::string("no file system recognised")
               : std::string("no file system recognised (nearest: ") + fs::kindTitle(best.kind) +
                     ": " + best.detection.evidence + ")";
}

json fileSystemJson(const fs::Recognition& r) {
    json bids = json::array();
    for (const fs::Recognition::Bid& b : r.bids)
        bids.push_back({{"name", fs::kindName(b.kind)},
                        {"confidence", b.detection.confidence},
                        {"evidence", b.detection.evidence}});
    const char* outcome = r.outcome == fs::Recognition::kRecognised  ? "recognised"
                          : r.outcome == fs::Recognition::kAmbiguous ? "ambiguous"
                                                                     : "none";
    return {{"outcome", outcome},
            {"name", r.chosen ? json(fs::kindName(r.chosen->kind())) : json(nullptr)},
            {"description", r.chosen ? json(r.chosen->describe()) : json(nullptr)},
            {"bids", bids}};
}

int info(const Options& o) {
    ImageFile file;
    if (!loadImage(o.image, &file)) return kFailed;
    const ImageView image(file.bytes.get(), file.size);

    json disks = json::array();
    std::string text = escapeForDisplay(o.image) + format(": %lld bytes, %lld disk(s)\n",
                                                          int64_t(file.size), image.diskCount());
    for (int32_t i = 0; i < image.diskCount(); ++i) {
        DiskInfo disk;
        image.readDisk(i, &disk);
        const Geometry g = commonGeometry(image, disk);
        const fs::Volume volume(image, disk);
        const fs::Recognition found = fs::recognise(volume);
        const bool flat = found.outcome == fs::Recognition::kRecognised &&
                          found.chosen->kind() == fs::Kind::kFlat;
        const std::vector<Anomaly> anomalies = scanAnomalies(image, disk);
        const bool writeProtected = disk.writeProtect == kWriteProtected;
        const int64_t size = int64_t(uint32_t(disk.size));

        if (o.json) {
            json list = json::array();
            for (const Anomaly& a : anomalies)
                list.push_back({{"track", a.track < 0 ? json(nullptr) : json(a.track)},
                                {"kind", anomalyName(a.kind)},
                                {"detail", a.detail}});
            disks.push_back({{"index", i},
                             {"offset", disk.offset},
                             {"name", jsonName(disk.name)},
                             {"name_bytes", hex(disk.name)},
                             {"media", mediaName(disk.mediaType)},
                             {"media_byte", disk.mediaType},
                             {"write_protected", writeProtected},
                             {"size", size},
                             {"tracks", g.tracks},
                             {"geometry",
                              {{"cylinders", g.cylinders},
                               {"heads", g.heads},
                               {"sectors", g.sectors},
                               {"sector_size", g.sectorSize}}},
                             {"flat_directory", flat},
                             {"file_system", fileSystemJson(found)},
                             {"anomalies", list}});
            continue;
        }
        text += format("disk %lld at offset %lld: ", i, disk.offset) + shownName(disk.name, false) +
                "\n";
        text += std::string("  media ") + mediaName(disk.mediaType) +
                format(" (0x%02llx), ", disk.mediaType) +
                (writeProtected ? "write-protected" : "not write-protected") +
                format(", size %lld bytes\n", size);
        text += format("  %lld tracks, ", g.tracks) +
                (g.cylinders == 0 ? std::string("no readable sectors\n")
                                  : format("%lld x %lld x %lld x %lld (cylinders x heads x "
                                           "sectors x bytes)\n",
                                           g.cylinders, g.heads, g.sectors, g.sectorSize));
        text += "  file system: " + fileSystemText(found) + "\n";
        text += format("  anomalies: %lld\n", int64_t(anomalies.size()));
        // A few lines per disk: --json lists every one.
        constexpr size_t kShown = 8;
        for (size_t k = 0; k < anomalies.size() && k < kShown; ++k) {
            const Anomaly& a = anomalies[k];
            text += (a.track < 0 ? std::string("    disk") : format("    track %lld", a.track)) +
                    ": " + anomalyName(a.kind) + ": " + a.detail + "\n";
        }
        if (anomalies.size() > kShown)
            text += format("    ... and %lld more (--json lists them all)\n",
                           int64_t(anomalies.size() - kShown));
    }
    return emit(o, {{"image", o.image}, {"size", file.size}, {"disks", disks}}, text);
}

}  // namespace d88cli
