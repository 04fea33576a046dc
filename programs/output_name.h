// The name drupa writes its output to: the input path without its last full stop and all
// after it.
#ifndef EXPAND_OUTPUT_NAME_H
#define EXPAND_OUTPUT_NAME_H

#include <cstddef>
#include <cstring>

enum class OutputName { kOk, kTooLong, kNoFullStop };

// Writes into name[0, size) the path cut at its last full stop; the search covers the whole
// path, directory parts included. A path that does not fit with its terminator is refused
// first (nothing is written past name[size - 1]); then a path with no full stop, whose output
// would replace the input itself.
inline OutputName deriveOutputName(const char* path, char* name, size_t size) {
    const size_t length = std::strlen(path);
    if (length >= size) return OutputName::kTooLong;
    std::memcpy(name, path, length + 1);
    char* dot = std::strrchr(name, '.');
    if (dot == nullptr) return OutputName::kNoFullStop;
    *dot = '\0';
    return OutputName::kOk;
}

#endif  // EXPAND_OUTPUT_NAME_H
