// Clocks, sleeping and the start-up mutex on Windows.
#include "tavrix_transport.h"

#include <windows.h>

namespace {

// Created by the AX99100 start-up and consumed by the next start-up or
// close. Nothing ever holds it, so waiting for it returns at once.
HANDLE g_startup_mutex = nullptr;

SRWLOCK g_locks[TAVRIX_LOCK_COUNT] = {SRWLOCK_INIT, SRWLOCK_INIT};

} // namespace

extern "C" {

void tavrix_sleep_ms(uint32_t ms) {
    Sleep(ms);
}

void tavrix_pause_us(uint32_t us) {
    Sleep(us / 1000u); // Sleep(0) yields the rest of the time slice
}

void tavrix_lock(int device) {
    AcquireSRWLockExclusive(&g_locks[device]);
}

void tavrix_unlock(int device) {
    ReleaseSRWLockExclusive(&g_locks[device]);
}

uint32_t tavrix_tick_ms(void) {
    return GetTickCount();
}

int tavrix_counter_frequency(uint64_t *frequency) {
    LARGE_INTEGER f;
    if (!QueryPerformanceFrequency(&f) || f.QuadPart <= 0)
        return 0;
    *frequency = (uint64_t)f.QuadPart;
    return 1;
}

uint64_t tavrix_counter_now(void) {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (uint64_t)now.QuadPart;
}

void tavrix_startup_mutex_consume(void) {
    if (g_startup_mutex == nullptr)
        return;
    const DWORD r = WaitForSingleObject(g_startup_mutex, INFINITE);
    if (r == WAIT_OBJECT_0 || r == WAIT_ABANDONED)
        ReleaseMutex(g_startup_mutex);
    CloseHandle(g_startup_mutex);
    g_startup_mutex = nullptr;
}

void tavrix_startup_mutex_create(void) {
    g_startup_mutex = CreateMutexW(nullptr, FALSE, nullptr);
}

} // extern "C"
