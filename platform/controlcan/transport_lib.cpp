// Transport that loads a vendor-supplied adapter library exporting the nine
// VCI_* functions by name.
#include <atomic>
#include <cstdio>

#include "controlcan_internal.h"
#include "ostrelo_time.h"

#if defined(_WIN32)
#include <windows.h>
#define OSTRELO_DLOPEN(p) reinterpret_cast<void *>(LoadLibraryA(p))
#define OSTRELO_DLSYM(h, n) reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(h), n))
#else
#include <dlfcn.h>
#define OSTRELO_DLOPEN(p) dlopen(p, RTLD_NOW | RTLD_LOCAL)
#define OSTRELO_DLSYM(h, n) dlsym(h, n)
#endif

namespace {
ControlCanTransport g_lib = {};
using ReceiveFn = DWORD (*)(DWORD, DWORD, DWORD, VCI_CAN_OBJ *, UINT, int32_t);
ReceiveFn g_lib_receive = nullptr;
std::atomic<bool> g_wake[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];

// Longest single wait handed to the library, so that a wake is seen soon.
constexpr int32_t kSliceMs = 10;

// A library may honour WaitTime or ignore it and return at once; either way
// the caller waits no longer than asked, and does not spin: a call that came
// back empty before its slice was over is followed by a 1 ms sleep.
DWORD lib_receive(DWORD type, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
    if (wait <= 0) {
        return g_lib_receive(type, idx, ch, objs, len, wait);
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
        const DWORD n = g_lib_receive(type, idx, ch, objs, len, slice);
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

DWORD lib_wake(DWORD, DWORD idx, DWORD ch) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS || ch >= CONTROLCAN_MAX_CHANNELS) {
        return 0;
    }
    g_wake[idx][ch].store(true);
    return 1;
}

template <typename F> bool bind(void *handle, const char *name, F &slot) {
    void *sym = OSTRELO_DLSYM(handle, name);
    slot = reinterpret_cast<F>(sym);
    return sym != nullptr;
}
} // namespace

extern "C" const ControlCanTransport *lib_transport(const char *path) {
    char line[1400];
    void *h = path ? OSTRELO_DLOPEN(path) : nullptr;
    if (!h) {
        snprintf(line, sizeof(line), "[ERROR] Cannot load adapter library %s\n", path ? path : "(none)");
        fputs(line, stdout);
        fflush(stdout);
        return nullptr;
    }
    ControlCanTransport t = {};
    t.name = "lib";
    const char *missing = nullptr;
    if (!bind(h, "VCI_OpenDevice", t.OpenDevice))
        missing = "VCI_OpenDevice";
    else if (!bind(h, "VCI_CloseDevice", t.CloseDevice))
        missing = "VCI_CloseDevice";
    else if (!bind(h, "VCI_InitCAN", t.InitCAN))
        missing = "VCI_InitCAN";
    else if (!bind(h, "VCI_StartCAN", t.StartCAN))
        missing = "VCI_StartCAN";
    else if (!bind(h, "VCI_Transmit", t.Transmit))
        missing = "VCI_Transmit";
    else if (!bind(h, "VCI_Receive", t.Receive))
        missing = "VCI_Receive";
    else if (!bind(h, "VCI_ClearBuffer", t.ClearBuffer))
        missing = "VCI_ClearBuffer";
    else if (!bind(h, "VCI_ReadBoardInfo", t.ReadBoardInfo))
        missing = "VCI_ReadBoardInfo";
    else if (!bind(h, "VCI_UsbDeviceReset", t.UsbDeviceReset))
        missing = "VCI_UsbDeviceReset";
    if (missing) {
        snprintf(line, sizeof(line), "[ERROR] Adapter library %s does not export %s\n", path, missing);
        fputs(line, stdout);
        fflush(stdout);
        return nullptr;
    }
    g_lib_receive = t.Receive;
    t.Receive = lib_receive;
    t.WakeReceive = lib_wake;
    g_lib = t;
    return &g_lib;
}
