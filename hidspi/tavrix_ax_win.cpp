// AX99100 transport on Windows: the controller's driver, reached with
// synchronous DeviceIoControl requests.
#include "tavrix_transport.h"

#include <windows.h>

namespace {

HANDLE win_handle(tavrix_handle_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

tavrix_handle_t ax_open(const char *name) {
    // Read-write and not shared: one user of the controller at a time.
    const HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE || h == nullptr)
        return TAVRIX_INVALID_HANDLE;
    return reinterpret_cast<tavrix_handle_t>(h);
}

int ax_request(tavrix_handle_t handle, uint32_t code, const void *in, size_t in_size, void *out,
               size_t out_size) {
    if (handle == TAVRIX_INVALID_HANDLE || in_size > MAXDWORD || out_size > MAXDWORD)
        return 0;
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(win_handle(handle), code, const_cast<void *>(in), (DWORD)in_size, out,
                                    out != nullptr ? (DWORD)out_size : 0, &returned, nullptr);
    return ok ? 1 : 0;
}

void ax_close(tavrix_handle_t handle) {
    if (handle != TAVRIX_INVALID_HANDLE)
        CloseHandle(win_handle(handle));
}

// Device name \\.\AX99100SpiDevice2; the last digit is replaced on open.
const TavrixAxOps k_ax_ops = {"\\\\.\\AX99100SpiDevice2", ax_open, ax_request, ax_close};

} // namespace

extern "C" const TavrixAxOps *tavrix_native_ax_ops(void) {
    return &k_ax_ops;
}
