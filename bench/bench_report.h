// What the benchmarks share: the client API logs through the log hook, so a
// benchmark's figures go to standard output and the log nowhere; the rates
// that frame loss allows a block download; busy threads beside a run; a
// thread's CPU time.
#ifndef OSTRELO_BENCH_REPORT_H
#define OSTRELO_BENCH_REPORT_H

#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>
#include <vector>

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

// Threads that keep a core busy each until stopped (--load N).
class Load {
  public:
    explicit Load(unsigned n) {
        for (unsigned i = 0; i < n; ++i) {
            threads_.emplace_back([this] {
                volatile uint64_t x = 0;
                while (!stop_.load(std::memory_order_relaxed)) {
                    x = x + 1;
                }
            });
        }
    }
    ~Load() {
        stop_ = true;
        for (auto &t : threads_) {
            t.join();
        }
    }

  private:
    std::atomic<bool> stop_{false};
    std::vector<std::thread> threads_;
};

// CPU time of the calling thread (the load threads are not counted).
inline double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

#endif
