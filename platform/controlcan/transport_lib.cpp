// Transport that loads a vendor-supplied adapter library exporting the nine
// VCI_* functions by name; its table holds the library's own functions.
#include <cstdio>

#include "controlcan_internal.h"
#include "ostrelo_log.h"

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
        ostrelo_log_text(OSTRELO_LOG_ERROR, line);
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
        ostrelo_log_text(OSTRELO_LOG_ERROR, line);
        return nullptr;
    }
    // No WakeReceive: the stand-in waits in slices for the library, which may
    // ignore VCI_Receive's wait time and has no way to be woken.
    g_lib = t;
    return &g_lib;
}
