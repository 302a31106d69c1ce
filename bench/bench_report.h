// What the benchmarks share: the client API logs on standard output, so a
// benchmark's figures go to the stream silence_client_log returns (and the
// log to /dev/null); busy threads beside a run; a thread's CPU time.
#ifndef OSTRELO_BENCH_REPORT_H
#define OSTRELO_BENCH_REPORT_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <thread>
#include <unistd.h>
#include <vector>

inline FILE *silence_client_log() {
    fflush(stdout);
    FILE *report = fdopen(dup(STDOUT_FILENO), "w");
    setvbuf(report, nullptr, _IOLBF, 0);
    FILE *null = freopen("/dev/null", "w", stdout);
    (void)null;
    return report;
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
