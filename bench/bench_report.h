// The client API logs through the log hook; a benchmark's figures go to
// standard output and the log nowhere.
#ifndef OSTRELO_BENCH_REPORT_H
#define OSTRELO_BENCH_REPORT_H

#include <cmath>
#include <cstddef>
#include <cstdio>

#include "ostrelo_log.h"

inline FILE *silence_client_log() {
    ostrelo_log_set_sink([](ostrelo_log_level_t, const char *, void *) {}, nullptr);
    return stdout;
}

// Sub-block acknowledges a block download of `bytes` needs when each frame
// is lost with the chance `p`: a lost segment ends its sub-block early (the
// node acknowledges the segments before the gap), so a sub-block carries on
// average E = sum of (1-p)^j, j = 1..blksize, segments.
inline double expected_acks(double p, size_t bytes, int blksize = 127) {
    const double segments = std::ceil(static_cast<double>(bytes) / 7.0);
    const double perSubBlock = p > 0.0 ? (1.0 - p) * (1.0 - std::pow(1.0 - p, blksize)) / p : blksize;
    return std::ceil(segments / perSubBlock);
}

// The chance that a block download survives when the loss of its initiate
// and end exchanges (four frames) or of any acknowledge ends it: CiA 301
// cannot repeat those.
inline double expected_transfer_success(double p, size_t bytes) {
    return std::pow(1.0 - p, 4.0 + expected_acks(p, bytes));
}

#endif
