// A failed check ends the run with the condition named, so libFuzzer keeps
// the input that broke it.
#ifndef OSTRELO_FUZZ_CHECK_H
#define OSTRELO_FUZZ_CHECK_H

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                                     \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__);                        \
            abort();                                                                                         \
        }                                                                                                    \
    } while (0)

#endif
