# Packages made by `cpack` in the build directory. On Linux, two Debian packages from the
# install components (cmake/Install.cmake):
#   retrodisk          the programs, their man pages and the copyright file
#   libretrodisk-dev   the headers, the static libraries, the CMake and pkg-config files
# For Windows builds, one zip of everything installed.
set(CPACK_PACKAGE_NAME retrodisk)
set(CPACK_PACKAGE_VENDOR "retrodisk developers")
set(CPACK_PACKAGE_CONTACT "retrodisk developers <retrodisk@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "tools for D88 floppy-disk images and VKP compressed files")
set(CPACK_PACKAGE_DESCRIPTION "Command-line tools for data from old Japanese personal computers:
d88extract lists and extracts the files on the first disk of a D88
floppy-disk image, d88 shows the disks, tracks, sectors and flat
directory of any D88 image and takes files out, drupa expands files
compressed in the VKP format, and vkpack packs files into the VKP format.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
    set(CPACK_GENERATOR ZIP)
else()
    set(CPACK_GENERATOR DEB)
endif()

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL programs development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${CPACK_PACKAGE_CONTACT})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME retrodisk)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION_SUMMARY}
${CPACK_PACKAGE_DESCRIPTION}")
# Dependencies (libc6, libstdc++6, libgcc-s1, zlib1g) come from dpkg-shlibdeps when it is installed
# (package dpkg-dev); otherwise they are named here.
find_program(DPKG_SHLIBDEPS dpkg-shlibdeps)
if(DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SHLIBDEPS ON)
else()
    set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1, zlib1g")
endif()

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libretrodisk-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "static libraries and headers for D88 images and VKP files
The retrodisk format code as C++17 static libraries: retrodisk::d88 reads
the disks, sectors and flat file directory of D88 floppy-disk images, and
retrodisk::vkp decodes and encodes the VKP compressed format. Includes a
CMake package (find_package(retrodisk)) and a pkg-config file.")

include(CPack)
