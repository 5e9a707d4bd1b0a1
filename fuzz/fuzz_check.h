#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant ends the run the way a sanitizer finding does: libFuzzer
// saves the input that caused it, and a replay fails.
#define FUZZ_CHECK(condition)                                                                      \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (false)
