// Clocks and sleeping on POSIX systems.
#include "tavrix_transport.h"

#include <errno.h>
#include <time.h>

namespace {

uint64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

} // namespace

extern "C" {

void tavrix_sleep_ms(uint32_t ms) {
    struct timespec left;
    left.tv_sec = (time_t)(ms / 1000u);
    left.tv_nsec = (long)(ms % 1000u) * 1000000L;
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint32_t tavrix_tick_ms(void) {
    return (uint32_t)(monotonic_ns() / 1000000u);
}

int tavrix_counter_frequency(uint64_t *frequency) {
    *frequency = 1000000000u;
    return 1;
}

uint64_t tavrix_counter_now(void) {
    return monotonic_ns();
}

// Only the Windows build keeps a start-up mutex.
void tavrix_startup_mutex_consume(void) {}
void tavrix_startup_mutex_create(void) {}

} // extern "C"
