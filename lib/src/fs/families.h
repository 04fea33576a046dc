// Each family's two entry points, registered in file_system.cpp: detect() bids on a volume,
// open() reads the family's structures from it (null, with *why, when they cannot be read at
// all). One source file per family; none knows the others. Internal to the library.
#ifndef RETRODISK_SRC_FS_FAMILIES_H
#define RETRODISK_SRC_FS_FAMILIES_H

#include <memory>
#include <string>

#include <retrodisk/fs/file_system.h>

namespace retrodisk::fs {

Detection detectFlat(const Volume& volume);
std::unique_ptr<FileSystem> openFlat(const Volume& volume, std::string* why);

Detection detectFat12(const Volume& volume);
std::unique_ptr<FileSystem> openFat12(const Volume& volume, std::string* why);

Detection detectN88(const Volume& volume);
std::unique_ptr<FileSystem> openN88(const Volume& volume, std::string* why);

Detection detectHuBasic(const Volume& volume);
std::unique_ptr<FileSystem> openHuBasic(const Volume& volume, std::string* why);

Detection detectFBasic(const Volume& volume);
std::unique_ptr<FileSystem> openFBasic(const Volume& volume, std::string* why);

}  // namespace retrodisk::fs

#endif  // RETRODISK_SRC_FS_FAMILIES_H
