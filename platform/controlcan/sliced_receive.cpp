#include "sliced_receive.h"

#include <atomic>

#include "controlcan_internal.h"
#include "ostrelo_time.h"

namespace {

std::atomic<bool> g_wake[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];

// Longest single wait handed to the library, so that a wake is seen soon.
constexpr int32_t kSliceMs = 10;

} // namespace

extern "C" {

DWORD controlcan_sliced_receive(controlcan_receive_fn receive, DWORD type, DWORD idx, DWORD ch,
                                VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
    if (wait <= 0) {
        return receive(type, idx, ch, objs, len, wait);
    }
    std::atomic<bool> *wake =
        (idx < CONTROLCAN_MAX_ADAPTERS && ch < CONTROLCAN_MAX_CHANNELS) ? &g_wake[idx][ch] : nullptr;
    const uint64_t start = ostrelo_monotonic_us();
    for (;;) {
        const uint64_t spent = (ostrelo_monotonic_us() - start) / 1000u;
        if (spent >= static_cast<uint64_t>(wait)) {
            return 0;
        }
        const int32_t left = wait - static_cast<int32_t>(spent);
        const int32_t slice = left < kSliceMs ? left : kSliceMs;
        const uint64_t t0 = ostrelo_monotonic_us();
        const DWORD n = receive(type, idx, ch, objs, len, slice);
        if (n != 0) {
            return n;
        }
        if (wake != nullptr && wake->exchange(false)) {
            return 0;
        }
        if (ostrelo_monotonic_us() - t0 < 1000u) {
            delay_ms(1);
        }
    }
}

DWORD controlcan_sliced_wake(DWORD idx, DWORD ch) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS || ch >= CONTROLCAN_MAX_CHANNELS) {
        return 0;
    }
    g_wake[idx][ch].store(true);
    return 1;
}

DWORD controlcan_table_receive(const ControlCanTransport *t, DWORD type, DWORD idx, DWORD ch,
                               VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
    if (t == nullptr || t->Receive == nullptr) {
        return 0xFFFFFFFFu;
    }
    if (t->WakeReceive != nullptr) {
        return t->Receive(type, idx, ch, objs, len, wait);
    }
    return controlcan_sliced_receive(t->Receive, type, idx, ch, objs, len, wait);
}

DWORD controlcan_table_wake(const ControlCanTransport *t, DWORD type, DWORD idx, DWORD ch) {
    if (t == nullptr) {
        return 0;
    }
    return t->WakeReceive != nullptr ? t->WakeReceive(type, idx, ch) : controlcan_sliced_wake(idx, ch);
}

} // extern "C"
