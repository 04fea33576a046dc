// Placeholder until the family's reader lands: recognises nothing.
#include "families.h"

namespace retrodisk::fs {

Detection detectFat12(const Volume&) {
    return {};
}

std::unique_ptr<FileSystem> openFat12(const Volume&, std::string* why) {
    *why = "not supported yet";
    return nullptr;
}

}  // namespace retrodisk::fs
