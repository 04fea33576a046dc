// Placeholder until the family's reader lands: recognises nothing.
#include "families.h"

namespace retrodisk::fs {

Detection detectFBasic(const Volume&) {
    return {};
}

std::unique_ptr<FileSystem> openFBasic(const Volume&, std::string* why) {
    *why = "not supported yet";
    return nullptr;
}

}  // namespace retrodisk::fs
