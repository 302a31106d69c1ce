// HID transport over hidapi (hidraw back end on Linux).
#include "tavrix_hidapi.h"
#include "tavrix_transport.h"

#include <string.h>

namespace {

// hidapi keeps process-wide state (its last error text) from hid_init on;
// it is released when the library unloads. The hidapi in use is the copy
// built into this library with its names hidden, so this session is Tavrix's
// own: an application's hidapi (another back end, or its own copy) is never
// called, nor shut down here.
class HidapiSession {
  public:
    HidapiSession() = default;
    HidapiSession(const HidapiSession &) = delete;
    HidapiSession &operator=(const HidapiSession &) = delete;
    ~HidapiSession() {
        if (started)
            hid_exit();
    }
    bool start() {
        if (!started)
            started = hid_init() == 0;
        return started;
    }

  private:
    bool started = false;
};

HidapiSession g_session;

hid_device *device_of(tavrix_handle_t handle) {
    return handle == TAVRIX_INVALID_HANDLE ? nullptr : reinterpret_cast<hid_device *>(handle);
}

tavrix_handle_t handle_of(hid_device *device) {
    return device == nullptr ? TAVRIX_INVALID_HANDLE : reinterpret_cast<tavrix_handle_t>(device);
}

int hid_open_adapter(tavrix_handle_t *read_handle, tavrix_handle_t *write_handle) {
    *read_handle = TAVRIX_INVALID_HANDLE;
    *write_handle = TAVRIX_INVALID_HANDLE;
    if (!g_session.start())
        return 0;
    struct hid_device_info *list = hid_enumerate(0, 0);
    const struct hid_device_info *found = tavrix_hid_pick(list);
    if (found == nullptr) {
        hid_free_enumeration(list);
        return 0;
    }
    char path[TAVRIX_PATH_CHARS];
    tavrix_copy_path(path, sizeof(path), found->path);
    hid_free_enumeration(list);
    // A node that does not open (no access to it) leaves its handle
    // invalid; UserSys_Init then refuses the adapter.
    *read_handle = handle_of(hid_open_path(path));
    *write_handle = handle_of(hid_open_path(path));
    return 1;
}

int hid_write_report(tavrix_handle_t handle, const uint8_t *report, size_t size, uint32_t timeout_ms) {
    (void)timeout_ms; // hidraw writes complete synchronously in the kernel
    hid_device *device = device_of(handle);
    if (device == nullptr || report == nullptr || size == 0)
        return -1;
    const int written = hid_write(device, report, size);
    return written < 0 ? -1 : written;
}

int hid_read_report(tavrix_handle_t handle, uint8_t *report, size_t size, uint32_t timeout_ms) {
    hid_device *device = device_of(handle);
    if (device == nullptr || report == nullptr || size < 2)
        return -1;
    // hidraw delivers reports of an adapter without numbered reports without
    // the ID byte: put the payload behind byte 0 as on every other platform.
    const int n = hid_read_timeout(device, report + 1, size - 1, (int)timeout_ms);
    if (n < 0)
        return -1;
    if (n == 0)
        return 0;
    report[0] = 0;
    return n + 1;
}

void hid_close_handle(tavrix_handle_t handle) {
    hid_device *device = device_of(handle);
    if (device != nullptr)
        hid_close(device);
}

const TavrixHidOps k_hid_ops = {hid_open_adapter, hid_write_report, hid_read_report, hid_close_handle};

} // namespace

extern "C" {

const struct hid_device_info *tavrix_hid_pick(const struct hid_device_info *list) {
    for (const struct hid_device_info *it = list; it != nullptr; it = it->next) {
        if (it->vendor_id != TAVRIX_HID_VENDOR_ID || it->product_id != TAVRIX_HID_PRODUCT_ID)
            continue;
        if (it->path == nullptr || strnlen(it->path, TAVRIX_PATH_CHARS) >= TAVRIX_PATH_CHARS)
            continue;
        return it;
    }
    return nullptr;
}

const TavrixHidOps *tavrix_native_hid_ops(void) {
    return &k_hid_ops;
}

} // extern "C"
