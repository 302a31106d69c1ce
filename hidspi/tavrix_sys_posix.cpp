// Clocks and sleeping on POSIX systems.
#include "tavrix_transport.h"

#include <errno.h>
#include <pthread.h>
#include <time.h>

namespace {

pthread_mutex_t g_locks[TAVRIX_LOCK_COUNT] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

void sleep_ns(uint64_t ns) {
    struct timespec left;
    left.tv_sec = (time_t)(ns / 1000000000u);
    left.tv_nsec = (long)(ns % 1000000000u);
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

uint64_t monotonic_ns() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

} // namespace

extern "C" {

void tavrix_sleep_ms(uint32_t ms) {
    sleep_ns((uint64_t)ms * 1000000u);
}

void tavrix_pause_us(uint32_t us) {
    sleep_ns((uint64_t)us * 1000u);
}

void tavrix_lock(int device) {
    pthread_mutex_lock(&g_locks[device]);
}

void tavrix_unlock(int device) {
    pthread_mutex_unlock(&g_locks[device]);
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
