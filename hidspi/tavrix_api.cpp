// The exported functions of Tavrix, written once over the transport tables
// of tavrix_transport.h. The state is process-wide; each device (the HID
// adapter, the AX99100 controller) has one lock, held for the whole of every
// call that uses it, so that the transfers and GPIO calls of several threads
// take turns instead of mixing their data.
#include "Tavrix.h"
#include "tavrix_transport.h"

#include <atomic>
#include <stdio.h>
#include <string.h>

namespace {

// Handles of the HID adapter, one per direction.
class CHidIO {
  public:
    CHidIO() = default;
    CHidIO(const CHidIO &) = delete;
    CHidIO &operator=(const CHidIO &) = delete;
    // Runs when the library unloads: a still-open adapter is released.
    virtual ~CHidIO();

    tavrix_handle_t read_handle = TAVRIX_INVALID_HANDLE;
    tavrix_handle_t write_handle = TAVRIX_INVALID_HANDLE;
    const TavrixHidOps *ops = nullptr; // transport that opened the handles
};

// The one report buffer of the process, shared by outgoing and incoming
// reports, with the adapter handles.
class CHidCmd {
  public:
    CHidCmd() { memset(report, 0, sizeof(report)); }
    virtual ~CHidCmd() = default;

    uint8_t report[TAVRIX_REPORT_SIZE];
    CHidIO io;
};

const TavrixHidOps *g_hid_ops = nullptr; // null: native transport
const TavrixAxOps *g_ax_ops = nullptr;

std::atomic<int32_t> g_dev_type{1};
tavrix_handle_t g_ax_handle = TAVRIX_INVALID_HANDLE;
const TavrixAxOps *g_ax_opened_by = nullptr;
int32_t g_hid_open = 0;

// Staging records of the AX99100 data requests: u32 length, then the data.
uint8_t g_tx_record[TAVRIX_AX_RECORD_SIZE];
uint8_t g_rx_record[TAVRIX_AX_RECORD_SIZE];

CHidCmd g_cmd;

// Holds a device's lock for the scope of one exported call.
class DeviceLock {
  public:
    explicit DeviceLock(int device) : device_(device) { tavrix_lock(device_); }
    DeviceLock(const DeviceLock &) = delete;
    DeviceLock &operator=(const DeviceLock &) = delete;
    ~DeviceLock() { tavrix_unlock(device_); }

  private:
    int device_;
};

CHidIO::~CHidIO() {
    if (ops == nullptr)
        return;
    if (read_handle != TAVRIX_INVALID_HANDLE)
        ops->close(read_handle);
    if (write_handle != TAVRIX_INVALID_HANDLE)
        ops->close(write_handle);
    read_handle = TAVRIX_INVALID_HANDLE;
    write_handle = TAVRIX_INVALID_HANDLE;
}

const TavrixHidOps *hid_ops() {
    return g_hid_ops != nullptr ? g_hid_ops : tavrix_native_hid_ops();
}
const TavrixAxOps *ax_ops() {
    return g_ax_ops != nullptr ? g_ax_ops : tavrix_native_ax_ops();
}

void print_line(const char *line) {
    fputs(line, stdout);
    fflush(stdout);
}

void put_u32le(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)(v & 0xFF);
    p[1] = (uint8_t)((v >> 8) & 0xFF);
    p[2] = (uint8_t)((v >> 16) & 0xFF);
    p[3] = (uint8_t)((v >> 24) & 0xFF);
}

uint32_t get_u32le(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

bool ax_valid() {
    return g_ax_handle != TAVRIX_INVALID_HANDLE && g_ax_opened_by != nullptr;
}

int ax_request(uint32_t code, const void *in, size_t in_size, void *out, size_t out_size) {
    return g_ax_opened_by->request(g_ax_handle, code, in, in_size, out, out_size) == 1 ? 1 : 0;
}

int ax_write_reg8(uint8_t reg, uint8_t value) {
    const uint8_t in[2] = {reg, value};
    return ax_request(TAVRIX_AX_WRITE_REG8, in, sizeof(in), nullptr, 0);
}

int ax_read_reg8(uint8_t reg, uint8_t *value) {
    return ax_request(TAVRIX_AX_READ_REG8, &reg, 1, value, 1);
}

int ax_write_reg32(uint32_t space, uint32_t offset, uint32_t value) {
    uint8_t in[12];
    put_u32le(in, space);
    put_u32le(in + 4, offset);
    put_u32le(in + 8, value);
    return ax_request(TAVRIX_AX_WRITE_REG32, in, sizeof(in), nullptr, 0);
}

int ax_read_reg32(uint32_t space, uint32_t offset, uint32_t *value) {
    uint8_t in[12];
    uint8_t out[4] = {0, 0, 0, 0};
    put_u32le(in, space);
    put_u32le(in + 4, offset);
    put_u32le(in + 8, 0);
    if (ax_request(TAVRIX_AX_READ_REG32, in, sizeof(in), out, sizeof(out)) != 1)
        return 0;
    *value = get_u32le(out);
    return 1;
}

int ax_request_len(uint32_t code, uint32_t len) {
    uint8_t in[4];
    put_u32le(in, len);
    return ax_request(code, in, sizeof(in), nullptr, 0);
}

// Tries the ten device names ending in 0 to 9, 10 ms apart.
tavrix_handle_t ax_open_device(const TavrixAxOps *ops) {
    char name[128];
    if (ops->name_template == nullptr || !tavrix_copy_path(name, sizeof(name), ops->name_template) ||
        name[0] == '\0') {
        print_line("Init error: invalid handle\n");
        return TAVRIX_INVALID_HANDLE;
    }
    const size_t last = strlen(name) - 1;
    for (int digit = 0; digit < TAVRIX_AX_OPEN_ATTEMPTS; ++digit) {
        name[last] = (char)('0' + digit);
        const tavrix_handle_t handle = ops->open(name);
        if (handle != TAVRIX_INVALID_HANDLE)
            return handle;
        tavrix_sleep_ms(TAVRIX_AX_OPEN_PAUSE_MS);
    }
    print_line("Init error: invalid handle\n");
    return TAVRIX_INVALID_HANDLE;
}

// 100 MHz divided by the clock, within what the 8-bit register holds: a
// clock too fast is raised to divider 3, and one slower than the controller
// can go gets divider 255, its slowest clock (cutting the divider to its low
// 8 bits would give a faster one).
uint8_t clock_divider(uint32_t clock_hz) {
    const uint32_t divider = 100000000u / clock_hz;
    if (divider < TAVRIX_AX_DIVIDER_MIN)
        return TAVRIX_AX_DIVIDER_MIN;
    return divider > TAVRIX_AX_DIVIDER_MAX ? TAVRIX_AX_DIVIDER_MAX : (uint8_t)divider;
}

void ax_release() {
    g_ax_opened_by->close(g_ax_handle);
    g_ax_handle = TAVRIX_INVALID_HANDLE;
    g_ax_opened_by = nullptr;
}

int32_t ax_init(uint32_t clock_hz) {
    if (ax_valid() || clock_hz == 0)
        return 1;
    const TavrixAxOps *ops = ax_ops();
    const tavrix_handle_t handle = ax_open_device(ops);
    if (handle == TAVRIX_INVALID_HANDLE)
        return -1;
    g_ax_handle = handle;
    g_ax_opened_by = ops;

    // The controller's start-up sequence. After a refused step it does not
    // run at the clock and in the mode asked for: it is released again.
    const bool configured = ax_write_reg32(0, 0x238, 1) && ax_write_reg8(0x01, 0x01) &&
                            ax_write_reg8(0x04, clock_divider(clock_hz)) && ax_write_reg8(0x01, 0x05) &&
                            ax_write_reg8(0x10, 0xFF) && ax_write_reg8(0x11, 0x03) &&
                            ax_write_reg8(0x00, 0xB0) && ax_write_reg8(0x12, 0x06) &&
                            ax_write_reg8(0x13, 0x00);
    if (!configured) {
        ax_release();
        return -1;
    }

    tavrix_startup_mutex_consume();
    tavrix_startup_mutex_create();
    return 1;
}

int32_t hid_init() {
    if (g_hid_open)
        return 0;
    const TavrixHidOps *ops = hid_ops();
    tavrix_handle_t read_handle = TAVRIX_INVALID_HANDLE;
    tavrix_handle_t write_handle = TAVRIX_INVALID_HANDLE;
    g_cmd.io.read_handle = TAVRIX_INVALID_HANDLE;
    g_cmd.io.write_handle = TAVRIX_INVALID_HANDLE;
    if (ops->open(&read_handle, &write_handle) != 1)
        return -1;
    if (read_handle == TAVRIX_INVALID_HANDLE || write_handle == TAVRIX_INVALID_HANDLE) {
        // Found but not opened, typically for want of access to the device
        // node: refused here rather than failing every transfer later.
        if (read_handle != TAVRIX_INVALID_HANDLE)
            ops->close(read_handle);
        if (write_handle != TAVRIX_INVALID_HANDLE)
            ops->close(write_handle);
        print_line("Init error: invalid handle\n");
        return -1;
    }
    g_cmd.io.read_handle = read_handle;
    g_cmd.io.write_handle = write_handle;
    g_cmd.io.ops = ops;
    g_hid_open = 1;
    return 1;
}

void hid_close() {
    if (!g_hid_open)
        return;
    CHidIO &io = g_cmd.io;
    if (io.read_handle != TAVRIX_INVALID_HANDLE)
        io.ops->close(io.read_handle);
    if (io.write_handle != TAVRIX_INVALID_HANDLE)
        io.ops->close(io.write_handle);
    io.read_handle = TAVRIX_INVALID_HANDLE;
    io.write_handle = TAVRIX_INVALID_HANDLE;
    g_hid_open = 0;
}

// Sends one report: report ID 0, up to 1024 payload bytes, 0xCC padding.
// 1 when written (out_count = payload bytes sent), 0 on failure.
int hid_write_report(const uint8_t *payload, size_t length, int *out_count) {
    uint8_t *report = g_cmd.report;
    memset(report + 1, TAVRIX_REPORT_PAD, TAVRIX_PAYLOAD_SIZE);
    report[0] = 0;
    const size_t n = length < TAVRIX_PAYLOAD_SIZE ? length : TAVRIX_PAYLOAD_SIZE;
    if (n > 0 && payload != nullptr)
        memcpy(report + 1, payload, n);
    *out_count = 0;
    const CHidIO &io = g_cmd.io;
    if (io.write_handle == TAVRIX_INVALID_HANDLE || io.ops == nullptr)
        return 0;
    const int written = io.ops->write(io.write_handle, report, TAVRIX_REPORT_SIZE, TAVRIX_HID_TIMEOUT_MS);
    if (written <= 0)
        return 0;
    *out_count = written - 1;
    return 1;
}

// Reads one report into the shared buffer: number of bytes including the
// report ID, or 0 when nothing arrived.
int hid_read_report() {
    const CHidIO &io = g_cmd.io;
    if (io.read_handle == TAVRIX_INVALID_HANDLE || io.ops == nullptr)
        return 0;
    const int count = io.ops->read(io.read_handle, g_cmd.report, TAVRIX_REPORT_SIZE, TAVRIX_HID_TIMEOUT_MS);
    if (count <= 0)
        return 0;
    return count > TAVRIX_REPORT_SIZE ? TAVRIX_REPORT_SIZE : count;
}

// Drops the input reports that came in before this exchange's request: none
// of them answers it. Typically the answer to an earlier exchange that came
// after its time limit; read as this exchange's answer, it would put every
// later exchange one answer behind.
void hid_drop_queued_reports() {
    const CHidIO &io = g_cmd.io;
    if (io.read_handle == TAVRIX_INVALID_HANDLE || io.ops == nullptr)
        return;
    for (int i = 0; i < TAVRIX_HID_QUEUED_REPORTS_MAX; ++i) {
        if (io.ops->read(io.read_handle, g_cmd.report, TAVRIX_REPORT_SIZE, 0) <= 0)
            return;
    }
}

int32_t hid_exchange(const uint8_t *tx, uint8_t *rx, uint32_t len) {
    if (!g_hid_open)
        return -1;
    if (tx == nullptr || rx == nullptr)
        return -2;
    hid_drop_queued_reports();
    int written = 0;
    if (!hid_write_report(tx, len, &written)) {
        // A report that arrives now does not answer this transfer.
        print_line("ERROR: Write command error!\n");
        return 0;
    }
    const int count = hid_read_report();
    if (count <= 0) {
        print_line("ERROR: Read command error!\n");
        return 0;
    }
    // The caller's len bytes of the reply, so that rx may be as long as tx;
    // len 0 asks for the whole reply.
    const uint32_t payload = (uint32_t)(count - 1);
    const uint32_t copied = len == 0 || len > payload ? payload : len;
    if (copied > 0)
        memcpy(rx, g_cmd.report + 1, copied);
    return (int32_t)payload;
}

// Polls the busy bit 0x08 of register 0x13: 1 when it cleared, 0 after
// 100 ms. The first polls follow each other at once (a short transfer ends
// within them); then the pauses double up to a millisecond, so that a stuck
// controller is asked a thousand times a second rather than millions.
int ax_wait_until_idle() {
    const uint32_t start = tavrix_tick_ms();
    uint32_t pause_us = 0;
    for (int polls = 1;; ++polls) {
        const uint32_t now = tavrix_tick_ms();
        // A register that cannot be read counts as still busy, so a failing
        // driver ends in the time-out rather than in stale data.
        uint8_t status = 0x08;
        if (ax_read_reg8(0x13, &status) != 1)
            status = 0x08;
        if ((uint32_t)(now - start) > TAVRIX_AX_POLL_LIMIT_MS)
            return 0;
        if ((status & 0x08) == 0)
            return 1;
        if (polls >= TAVRIX_AX_TIGHT_POLLS) {
            pause_us = pause_us == 0 ? TAVRIX_AX_FIRST_PAUSE_US : 2 * pause_us;
            if (pause_us > TAVRIX_AX_LONGEST_PAUSE_US)
                pause_us = TAVRIX_AX_LONGEST_PAUSE_US;
            tavrix_pause_us(pause_us);
        }
    }
}

int32_t ax_exchange(const uint8_t *tx, uint8_t *rx, uint32_t len) {
    if (!ax_valid())
        return -1;
    // The staging records hold at most 131072 bytes.
    if (tx == nullptr || rx == nullptr || len == 0 || len > TAVRIX_AX_DATA_MAX)
        return -2;

    put_u32le(g_tx_record, len);
    memcpy(g_tx_record + 4, tx, len);
    // Every step must be accepted: after a refused one the controller would
    // send, or hand back, another transfer than this one.
    if (!ax_request(TAVRIX_AX_LOAD_TX, g_tx_record, sizeof(g_tx_record), nullptr, 0) ||
        !ax_request_len(TAVRIX_AX_SET_LEN1, len) || !ax_request_len(TAVRIX_AX_SET_LEN2, len) ||
        !ax_write_reg8(0x13, 0x0B))
        return 0;
    if (!ax_wait_until_idle()) {
        print_line("Timeout: polling\n");
        return 0;
    }
    uint8_t in[4];
    put_u32le(in, len);
    if (!ax_request(TAVRIX_AX_FETCH_RX, in, sizeof(in), g_rx_record, sizeof(g_rx_record)))
        return 0;
    memcpy(rx, g_rx_record + 4, len);
    return 1;
}

int32_t gpio_read_data_register(uint32_t *out) {
    if (!ax_valid())
        return -1;
    if (out == nullptr)
        return 0;
    uint32_t value = 0;
    if (!ax_read_reg32(2, 0x3C0, &value))
        return 0;
    *out = value;
    return 1;
}

} // namespace

extern "C" {

void tavrix_set_transports(const TavrixHidOps *hid, const TavrixAxOps *ax) {
    g_hid_ops = hid;
    g_ax_ops = ax;
}

void tavrix_reset_state(void) {
    g_dev_type = 1;
    g_ax_handle = TAVRIX_INVALID_HANDLE;
    g_ax_opened_by = nullptr;
    g_hid_open = 0;
    g_cmd.io.read_handle = TAVRIX_INVALID_HANDLE;
    g_cmd.io.write_handle = TAVRIX_INVALID_HANDLE;
    g_cmd.io.ops = nullptr;
    memset(g_cmd.report, 0, sizeof(g_cmd.report));
    memset(g_tx_record, 0, sizeof(g_tx_record));
    memset(g_rx_record, 0, sizeof(g_rx_record));
}

int tavrix_copy_path(char *dst, size_t capacity, const char *src) {
    if (dst == nullptr || capacity == 0)
        return 0;
    dst[0] = '\0';
    if (src == nullptr)
        return 0;
    const size_t len = strnlen(src, capacity);
    if (len >= capacity)
        return 0;
    memcpy(dst, src, len + 1);
    return 1;
}

int tavrix_copy_path_w(wchar_t *dst, size_t capacity, const wchar_t *src) {
    if (dst == nullptr || capacity == 0)
        return 0;
    dst[0] = L'\0';
    if (src == nullptr)
        return 0;
    size_t len = 0;
    while (len < capacity && src[len] != L'\0')
        ++len;
    if (len >= capacity)
        return 0;
    memcpy(dst, src, (len + 1) * sizeof(wchar_t));
    return 1;
}

TAVRIX_API int32_t TAVRIX_CALL XF_SetDevType(int32_t type) {
    g_dev_type = type;
    return 1;
}

TAVRIX_API int32_t TAVRIX_CALL XF_GetDevType(void) {
    return g_dev_type;
}

TAVRIX_API int32_t TAVRIX_CALL UserSys_Init(uint32_t spi_clock_hz) {
    if (g_dev_type == 0) {
        const DeviceLock lock(TAVRIX_LOCK_HID);
        return hid_init();
    }
    const DeviceLock lock(TAVRIX_LOCK_AX);
    return ax_init(spi_clock_hz);
}

TAVRIX_API void TAVRIX_CALL UserSys_Close(void) {
    if (g_dev_type == 0) {
        const DeviceLock lock(TAVRIX_LOCK_HID);
        hid_close();
        return;
    }
    const DeviceLock lock(TAVRIX_LOCK_AX);
    tavrix_startup_mutex_consume();
    if (ax_valid())
        ax_release();
}

TAVRIX_API int32_t TAVRIX_CALL UserSpiDataExchange(const uint8_t *tx, uint8_t *rx, uint32_t len) {
    if (g_dev_type == 0) {
        const DeviceLock lock(TAVRIX_LOCK_HID);
        return hid_exchange(tx, rx, len);
    }
    const DeviceLock lock(TAVRIX_LOCK_AX);
    return ax_exchange(tx, rx, len);
}

TAVRIX_API int32_t TAVRIX_CALL UsbSpiDataWrite(const uint8_t *data, uint8_t *unused, int32_t len) {
    (void)unused;
    const DeviceLock lock(TAVRIX_LOCK_HID);
    if (!g_hid_open)
        return 0;
    if (data == nullptr && len > 0)
        return -1;
    int written = 0;
    return hid_write_report(data, len > 0 ? (size_t)len : 0, &written) ? 0 : -1;
}

TAVRIX_API int32_t TAVRIX_CALL UserDelay(uint32_t microseconds) {
    if (microseconds == 0)
        return 1;
    uint64_t frequency = 0;
    if (microseconds < 1000 && tavrix_counter_frequency(&frequency) && frequency > 0) {
        // Sleeping is far too coarse below a millisecond: spin on the counter.
        const uint64_t ticks = (uint64_t)microseconds * frequency / 1000000u;
        const uint64_t start = tavrix_counter_now();
        while (tavrix_counter_now() - start < ticks) {
        }
        return 1;
    }
    tavrix_sleep_ms(microseconds / 1000);
    return 1;
}

// Reads the data register 0x3C0 exactly as UserGetGpioData_u32 does, not the
// direction register 0x3C4; existing callers depend on that.
TAVRIX_API int32_t TAVRIX_CALL UserGetGpioDir(uint32_t *out) {
    const DeviceLock lock(TAVRIX_LOCK_AX);
    return gpio_read_data_register(out);
}

TAVRIX_API int32_t TAVRIX_CALL UserSetGpioDir(uint32_t dir) {
    const DeviceLock lock(TAVRIX_LOCK_AX);
    if (!ax_valid())
        return -1;
    return ax_write_reg32(2, 0x3C4, dir);
}

TAVRIX_API int32_t TAVRIX_CALL UserGetGpioData(uint8_t pin, int32_t *out) {
    const DeviceLock lock(TAVRIX_LOCK_AX);
    if (!ax_valid())
        return -1;
    if (out == nullptr)
        return 0;
    uint32_t value = 0;
    if (!ax_read_reg32(2, 0x3C0, &value))
        return 0;
    *out = (int32_t)((value >> (pin % 32u)) & 1u);
    return 1;
}

TAVRIX_API int32_t TAVRIX_CALL UserSetGpioData(uint8_t pin, int32_t level) {
    // Read, change and write back under one hold of the lock: another
    // thread's pin cannot change in between and be written back stale.
    const DeviceLock lock(TAVRIX_LOCK_AX);
    if (!ax_valid())
        return 0;
    uint32_t value = 0;
    if (!ax_read_reg32(2, 0x3C0, &value))
        return 0;
    const uint32_t mask = 1u << (pin % 32u);
    value = level != 0 ? (value | mask) : (value & ~mask);
    return ax_write_reg32(2, 0x3C0, value);
}

TAVRIX_API int32_t TAVRIX_CALL UserSetGpioData_u32(uint32_t value) {
    const DeviceLock lock(TAVRIX_LOCK_AX);
    if (!ax_valid())
        return -1;
    return ax_write_reg32(2, 0x3C0, value);
}

TAVRIX_API int32_t TAVRIX_CALL UserGetGpioData_u32(uint32_t *out) {
    const DeviceLock lock(TAVRIX_LOCK_AX);
    return gpio_read_data_register(out);
}

} // extern "C"
