// Every message the programs print on failure, in one place. The Japanese ones are Shift_JIS
// (code page 932) bytes written as escapes, so the sources stay ASCII; each ends in an ASCII
// full stop and a newline. A program prints exactly one line on standard error when it stops.
#ifndef PROGRAMS_MESSAGES_H
#define PROGRAMS_MESSAGES_H

#include <cstdio>

// --- d88extract -----------------------------------------------------------------------------
constexpr char kCannotOpenImage[] =  // "cannot open the file."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x83\x49\x81\x5B\x83\x76\x83\x93\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kBadName[] =  // "the file name is invalid."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x95\x73\x90\xB3\x82\xC5\x82\xB7.\n";
constexpr char kCannotRead[] =  // "cannot read the data."
    "\x83\x66\x81\x5B\x83\x5E\x82\xF0\x93\xC7\x82\xDD\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kCannotCreate[] =  // "cannot create the file."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xF0\x8D\xEC\x90\xAC\x82\xC5\x82\xAB\x82\xDC\x82\xB9"
    "\x82\xF1.\n";
constexpr char kCannotWrite[] =  // "cannot write the file."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9"
    "\x82\xF1.\n";

// --- drupa and vkpack -----------------------------------------------------------------------
constexpr char kCannotOpenInput[] =  // "cannot open the file."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kCannotOpenOutput[] =  // "cannot open the output file."
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B"
    "\x82\xAA\x8A\x4A\x82\xAF\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kCannotWriteOutput[] =  // "cannot write the output file."
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B"
    "\x82\xC9\x8F\x91\x82\xAB\x8D\x9E\x82\xDF\x82\xDC\x82\xB9\x82\xF1.\n";

// --- drupa ----------------------------------------------------------------------------------
constexpr char kDrupaUsage[] = "Usage: drupa (VKP File)\n";
constexpr char kCannotAllocate[] =  // "cannot allocate memory."
    "\x83\x81\x83\x82\x83\x8A\x82\xCC\x8A\x84\x82\xE8\x93\x96\x82\xC4\x82\xAA\x82\xC5\x82\xAB"
    "\x82\xDC\x82\xB9\x82\xF1.\n";
constexpr char kNameTooLong[] =  // "the file name is too long."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x96\xBC\x82\xAA\x92\xB7\x82\xB7\x82\xAC\x82\xDC\x82\xB7.\n";
constexpr char kNoExtension[] =  // "there is no extension."
    "\x8A\x67\x92\xA3\x8E\x71\x82\xAA\x82\xA0\x82\xE8\x82\xDC\x82\xB9\x82\xF1.\n";

// --- vkpack ---------------------------------------------------------------------------------
constexpr char kVkpackUsage[] = "Usage: vkpack (File)\n";
constexpr char kTooLarge[] =  // "the file is too large."
    "\x83\x74\x83\x40\x83\x43\x83\x8B\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7.\n";
constexpr char kOutputTooLarge[] =  // "the output file is too large."
    "\x8F\x6F\x97\xCD\x83\x74\x83\x40\x83\x43\x83\x8B"
    "\x82\xAA\x91\xE5\x82\xAB\x82\xB7\x82\xAC\x82\xDC\x82\xB7.\n";

// Prints `message` on standard error; returns the failure exit status.
inline int fail(const char* message) {
    std::fputs(message, stderr);
    return 1;
}

#endif  // PROGRAMS_MESSAGES_H
