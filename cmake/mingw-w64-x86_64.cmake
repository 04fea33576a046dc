# Cross-compiling for Windows (x86_64) with Debian's MinGW-w64 packages
# (g++-mingw-w64-x86-64-posix, or the -win32 variant):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DBUILD_TESTING=OFF
# The programs are linked statically, so they need no DLL beside them.
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/MinGW.cmake)
