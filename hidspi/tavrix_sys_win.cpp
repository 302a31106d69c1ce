// Clocks, sleeping and the start-up mutex on Windows.
#include "tavrix_transport.h"

#include <windows.h>

namespace {

// Created by the AX99100 start-up and consumed by the next start-up or
// close. Nothing ever holds it, so waiting for it returns at once.
HANDLE g_startup_mutex = nullptr;

} // namespace

extern "C" {

void tavrix_sleep_ms(uint32_t ms) {
    Sleep(ms);
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
