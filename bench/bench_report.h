// The client API logs through the log hook; a benchmark's figures go to
// standard output and the log nowhere.
#ifndef OSTRELO_BENCH_REPORT_H
#define OSTRELO_BENCH_REPORT_H

#include <cstdio>

#include "ostrelo_log.h"

inline FILE *silence_client_log() {
    ostrelo_log_set_sink([](ostrelo_log_level_t, const char *, void *) {}, nullptr);
    return stdout;
}

#endif
