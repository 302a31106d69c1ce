// HID transport on Windows: device-setup and HID services to find the
// adapter, overlapped reads and writes completed through events.
#include "tavrix_transport.h"

#include <stdlib.h>
#include <windows.h>
#include <setupapi.h>
extern "C" {
#include <hidsdi.h>
}

namespace {

// The three manual-reset events, alive from load to unload. Nothing in the
// library signals the cancel event; a host that does aborts the transfer.
class HidEvents {
  public:
    HidEvents() {
        read_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        write_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        cancel_event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    HidEvents(const HidEvents &) = delete;
    HidEvents &operator=(const HidEvents &) = delete;
    ~HidEvents() {
        if (read_event != nullptr)
            CloseHandle(read_event);
        if (write_event != nullptr)
            CloseHandle(write_event);
        if (cancel_event != nullptr)
            CloseHandle(cancel_event);
    }

    HANDLE read_event;
    HANDLE write_event;
    HANDLE cancel_event;
};

HidEvents g_events;

HANDLE win_handle(tavrix_handle_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

tavrix_handle_t handle_of(HANDLE h) {
    return (h == INVALID_HANDLE_VALUE || h == nullptr) ? TAVRIX_INVALID_HANDLE
                                                       : reinterpret_cast<tavrix_handle_t>(h);
}

// Reads the device path of one interface into path; 0 when the detail
// cannot be read or the path does not fit. -1 when memory runs out.
int read_device_path(HDEVINFO set, SP_DEVICE_INTERFACE_DATA *iface, wchar_t *path, size_t capacity) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(set, iface, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        required = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    // One spare character keeps the path terminated whatever the driver
    // reports.
    void *memory = calloc(1, (size_t)required + sizeof(wchar_t));
    if (memory == nullptr)
        return -1;
    auto *detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(memory);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    const BOOL ok = SetupDiGetDeviceInterfaceDetailW(set, iface, detail, required, nullptr, nullptr);
    const int fits = ok ? tavrix_copy_path_w(path, capacity, detail->DevicePath) : 0;
    free(memory);
    return fits;
}

bool is_adapter(const wchar_t *path) {
    const HANDLE probe =
        CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE)
        return false;
    HIDD_ATTRIBUTES attributes;
    attributes.Size = sizeof(attributes);
    const BOOLEAN ok = HidD_GetAttributes(probe, &attributes);
    CloseHandle(probe);
    return ok && attributes.VendorID == TAVRIX_HID_VENDOR_ID && attributes.ProductID == TAVRIX_HID_PRODUCT_ID;
}

int hid_open_adapter(tavrix_handle_t *read_handle, tavrix_handle_t *write_handle) {
    *read_handle = TAVRIX_INVALID_HANDLE;
    *write_handle = TAVRIX_INVALID_HANDLE;
    GUID guid;
    HidD_GetHidGuid(&guid);
    const HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE)
        return 0;
    SP_DEVICE_INTERFACE_DATA iface;
    iface.cbSize = sizeof(iface);
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &guid, index, &iface); ++index) {
        wchar_t path[TAVRIX_PATH_CHARS];
        const int got = read_device_path(set, &iface, path, TAVRIX_PATH_CHARS);
        if (got < 0)
            break;
        if (got == 0 || !is_adapter(path))
            continue;
        // Overlapped, so that every transfer can be bounded by its time-out.
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE;
        const DWORD flags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED;
        *read_handle =
            handle_of(CreateFileW(path, GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr));
        *write_handle =
            handle_of(CreateFileW(path, GENERIC_WRITE, share, nullptr, OPEN_EXISTING, flags, nullptr));
        SetupDiDestroyDeviceInfoList(set);
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}

// Waits for the transfer started with ov. A transfer that does not complete
// in time is cancelled and waited for before returning, so that a late
// completion cannot write into the report buffer afterwards.
int finish_transfer(HANDLE device, OVERLAPPED *ov, HANDLE done_event, uint32_t timeout_ms) {
    HANDLE waits[2] = {g_events.cancel_event, done_event};
    const DWORD r = WaitForMultipleObjects(2, waits, FALSE, timeout_ms);
    DWORD count = 0;
    if (r == WAIT_OBJECT_0 + 1) {
        ResetEvent(done_event);
        if (!GetOverlappedResult(device, ov, &count, TRUE))
            return -1;
        return count > (DWORD)TAVRIX_REPORT_SIZE ? TAVRIX_REPORT_SIZE : (int)count;
    }
    if (r == WAIT_OBJECT_0)
        ResetEvent(g_events.cancel_event);
    CancelIoEx(device, ov);
    GetOverlappedResult(device, ov, &count, TRUE);
    ResetEvent(done_event);
    return -1;
}

int hid_write_report(tavrix_handle_t handle, const uint8_t *report, size_t size, uint32_t timeout_ms) {
    if (handle == TAVRIX_INVALID_HANDLE || report == nullptr || size == 0 || g_events.write_event == nullptr)
        return -1;
    const HANDLE device = win_handle(handle);
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = g_events.write_event;
    if (!WriteFile(device, report, (DWORD)size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return -1;
    return finish_transfer(device, &ov, g_events.write_event, timeout_ms);
}

int hid_read_report(tavrix_handle_t handle, uint8_t *report, size_t size, uint32_t timeout_ms) {
    if (handle == TAVRIX_INVALID_HANDLE || report == nullptr || size == 0 || g_events.read_event == nullptr)
        return -1;
    const HANDLE device = win_handle(handle);
    OVERLAPPED ov;
    ZeroMemory(&ov, sizeof(ov));
    ov.hEvent = g_events.read_event;
    if (!ReadFile(device, report, (DWORD)size, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING)
        return -1;
    return finish_transfer(device, &ov, g_events.read_event, timeout_ms);
}

void hid_close_handle(tavrix_handle_t handle) {
    if (handle == TAVRIX_INVALID_HANDLE)
        return;
    CancelIoEx(win_handle(handle), nullptr);
    CloseHandle(win_handle(handle));
}

const TavrixHidOps k_hid_ops = {hid_open_adapter, hid_write_report, hid_read_report, hid_close_handle};

} // namespace

extern "C" const TavrixHidOps *tavrix_native_hid_ops(void) {
    return &k_hid_ops;
}
