// The fuzz targets' invariant check: a broken one ends the run with its
// description, so that libFuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

inline void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "check failed: %s\n", what);
        std::abort();
    }
}

}  // namespace fuzz
