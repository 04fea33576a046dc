// FUZZ_CHECK(condition): the invariants of the fuzz targets. A broken one prints where and
// aborts, so libFuzzer saves the input as a crash and a corpus replay test fails. Unlike
// assert it stays on in Release builds.
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

inline void fuzzCheck(bool holds, const char* condition, const char* file, int line) {
    if (holds) return;
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    fuzzCheck(static_cast<bool>(condition), #condition, __FILE__, __LINE__)

#endif  // FUZZ_FUZZ_CHECK_H
