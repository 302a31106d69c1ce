#include "ostrelo_time.h"

#include <atomic>
#include <chrono>
#include <thread>

namespace {
// Added to the raw monotonic tick; lets tests move the tick near its wrap.
std::atomic<uint32_t> g_tick_offset{0};

uint64_t monotonic_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint32_t raw_tick() {
    return static_cast<uint32_t>(monotonic_ns() / 1000000ull);
}
} // namespace

extern "C" void delay_ms(uint32_t ms) {
    // sleep_until on the steady clock resumes after signals and never returns early.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_until(until);
    }
}

extern "C" uint32_t get_current_time_ms(void) {
    return raw_tick() + g_tick_offset.load(std::memory_order_relaxed);
}

extern "C" uint64_t ostrelo_monotonic_us(void) {
    return monotonic_ns() / 1000ull;
}

extern "C" void ostrelo_time_set_tick_origin(uint32_t tick) {
    g_tick_offset.store(tick - raw_tick(), std::memory_order_relaxed);
}
