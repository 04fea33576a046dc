// writeTempImage: the bytes a fuzz target hands to a file reader, written to one temporary
// file made on the first call and removed at exit.
#ifndef FUZZ_TEMP_IMAGE_H
#define FUZZ_TEMP_IMAGE_H

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string& tempImagePath() {
    static std::string path;
    return path;
}

// Writes data[0, size) to the temporary file and returns its path; aborts when it cannot.
inline const char* writeTempImage(const uint8_t* data, size_t size) {
    std::string& path = tempImagePath();
    if (path.empty()) {
        char pattern[] = "/tmp/fuzz_image.XXXXXX";
        const int fd = mkstemp(pattern);
        if (fd < 0) std::abort();
        close(fd);
        path = pattern;
        std::atexit([] { std::remove(tempImagePath().c_str()); });
    }
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || (size > 0 && std::fwrite(data, 1, size, f) != size)) std::abort();
    if (std::fclose(f) != 0) std::abort();
    return path.c_str();
}

#endif  // FUZZ_TEMP_IMAGE_H
