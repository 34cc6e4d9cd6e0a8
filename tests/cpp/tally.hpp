// Pass/fail counts of a C++ test executable, reported as "N passed, N failed"
// (the closing line that test runners read); the exit status is non-zero
// when anything failed.
#pragma once

#include <cstdio>

namespace tally {

inline int passed = 0;
inline int failed = 0;

// Counts one check; a failure prints what failed and where.
inline bool check(bool ok, const char* what, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        std::printf("FAILED line %d: %s\n", line, what);
    }
    return ok;
}

inline int report() {
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace tally

#define CHECK(cond) tally::check((cond), #cond, __LINE__)
