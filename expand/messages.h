// The messages drupa and vkpack share, as Shift_JIS bytes; each program prints exactly one
// line on standard error when it fails.
#ifndef EXPAND_MESSAGES_H
#define EXPAND_MESSAGES_H

#include <cstdio>

constexpr char kCannotOpenInput[] =  // "cannot open the file."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kCannotOpenOutput[] =  // "cannot open the output file."
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B"
    "\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kCannotWriteOutput[] =  // "cannot write the output file."
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B"
    "\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.\n";

// Prints `message` on standard error; returns the failure exit status.
inline int fail(const char* message) {
    std::fputs(message, stderr);
    return 1;
}

#endif  // EXPAND_MESSAGES_H
