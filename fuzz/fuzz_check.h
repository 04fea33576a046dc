// FUZZ_CHECK(condition): the invariants of the fuzz targets. A broken one prints where and
// aborts, so libFuzzer saves the input as a crash and a corpus replay test fails. Unlike
// assert it stays on in Release builds.
#ifndef FUZZ_FUZZ_CHECK_H
#define FUZZ_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

[[noreturn]] inline void fuzzCheckFailed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, condition);
    std::abort();
}

#define FUZZ_CHECK(condition) \
    ((condition) ? static_cast<void>(0) : fuzzCheckFailed(#condition, __FILE__, __LINE__))

#endif  // FUZZ_FUZZ_CHECK_H
