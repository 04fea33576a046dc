// Each family's entry points, registered in file_system.cpp and edit.cpp: detect() bids on a
// volume, open() reads the family's structures from it (null, with *why, when they cannot be
// read at all); formatTypes() names the blank disks the family makes (default first) and
// format() makes one (edit.h). One source file per family; none knows the others. Internal to
// the library.
#ifndef RETRODISK_SRC_FS_FAMILIES_H
#define RETRODISK_SRC_FS_FAMILIES_H

#include <memory>
#include <string>
#include <vector>

#include <retrodisk/fs/edit.h>
#include <retrodisk/fs/file_system.h>

namespace retrodisk::fs {

Detection detectFlat(const Volume& volume);
std::unique_ptr<FileSystem> openFlat(const Volume& volume, std::string* why);
std::vector<std::string> formatTypesFlat();
bool formatFlat(const std::string& type, const std::string& label, BlankDisk* disk,
                std::string* why);

Detection detectFat12(const Volume& volume);
std::unique_ptr<FileSystem> openFat12(const Volume& volume, std::string* why);
std::vector<std::string> formatTypesFat12();
bool formatFat12(const std::string& type, const std::string& label, BlankDisk* disk,
                 std::string* why);

Detection detectN88(const Volume& volume);
std::unique_ptr<FileSystem> openN88(const Volume& volume, std::string* why);
std::vector<std::string> formatTypesN88();
bool formatN88(const std::string& type, const std::string& label, BlankDisk* disk,
               std::string* why);

Detection detectHuBasic(const Volume& volume);
std::unique_ptr<FileSystem> openHuBasic(const Volume& volume, std::string* why);
std::vector<std::string> formatTypesHuBasic();
bool formatHuBasic(const std::string& type, const std::string& label, BlankDisk* disk,
                   std::string* why);

Detection detectFBasic(const Volume& volume);
std::unique_ptr<FileSystem> openFBasic(const Volume& volume, std::string* why);
std::vector<std::string> formatTypesFBasic();
bool formatFBasic(const std::string& type, const std::string& label, BlankDisk* disk,
                  std::string* why);

}  // namespace retrodisk::fs

#endif  // RETRODISK_SRC_FS_FAMILIES_H
