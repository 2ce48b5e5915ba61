// A broken invariant in a fuzz target: say which one, then stop so the fuzzer keeps the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define KX_FUZZ_CHECK(condition)                                                               \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
