#include "ostrelo_time.h"

#include <atomic>
#ifdef _WIN32
#include <windows.h>
#include <timeapi.h>
#else
#include <chrono>
#include <thread>
#endif

namespace {
// Added to the raw monotonic tick; lets tests move the tick near its wrap.
std::atomic<uint32_t> g_tick_offset{0};

#ifdef _WIN32
// The client's waits sleep for a millisecond or a few at a time; Windows
// rounds a Sleep up to its timer period (15.6 ms by default) unless asked for
// 1 ms, once per process.
const bool g_timer_period_set = timeBeginPeriod(1) == TIMERR_NOERROR;

uint64_t monotonic_ns() {
    static const uint64_t frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<uint64_t>(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    const uint64_t counts = static_cast<uint64_t>(c.QuadPart);
    // Split so that counts * 1e9 cannot overflow.
    return counts / frequency * 1000000000ull + counts % frequency * 1000000000ull / frequency;
}

uint32_t raw_tick() {
    return static_cast<uint32_t>(GetTickCount());
}
#else
uint64_t monotonic_ns() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

uint32_t raw_tick() {
    return static_cast<uint32_t>(monotonic_ns() / 1000000ull);
}
#endif
} // namespace

extern "C" void delay_ms(uint32_t ms) {
#ifdef _WIN32
    // Sleep can end up to a timer tick early; sleep again for what is left.
    const uint64_t until = monotonic_ns() + static_cast<uint64_t>(ms) * 1000000ull;
    Sleep(ms);
    for (uint64_t now = monotonic_ns(); now < until; now = monotonic_ns()) {
        Sleep(static_cast<DWORD>((until - now + 999999ull) / 1000000ull));
    }
#else
    // sleep_until on the steady clock resumes after signals and never returns early.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_until(until);
    }
#endif
}

extern "C" uint32_t get_current_time_ms(void) {
    return raw_tick() + g_tick_offset.load(std::memory_order_relaxed);
}

extern "C" uint32_t ostrelo_ms_since(uint32_t start) {
    return get_current_time_ms() - start;
}

extern "C" ostrelo_deadline_t ostrelo_deadline_in(uint32_t ms) {
    return ostrelo_deadline_t{get_current_time_ms(), ms};
}

extern "C" uint32_t ostrelo_deadline_left(ostrelo_deadline_t d) {
    const uint32_t spent = ostrelo_ms_since(d.start);
    return spent < d.ms ? d.ms - spent : 0u;
}

extern "C" uint64_t ostrelo_monotonic_us(void) {
    return monotonic_ns() / 1000ull;
}

extern "C" void ostrelo_time_set_tick_origin(uint32_t tick) {
    g_tick_offset.store(tick - raw_tick(), std::memory_order_relaxed);
}
