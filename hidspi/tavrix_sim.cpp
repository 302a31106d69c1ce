// Simulated HID adapter and AX99100 controller for the tests.
#include "tavrix_sim.h"

#include <string.h>

namespace {

const tavrix_handle_t kHidRead = 101;
const tavrix_handle_t kHidWrite = 102;
const tavrix_handle_t kAx = 201;

TavrixSimHid g_hid;
TavrixSimAx g_ax;

int sim_hid_open(tavrix_handle_t *read_handle, tavrix_handle_t *write_handle) {
    ++g_hid.open_calls;
    *read_handle = TAVRIX_INVALID_HANDLE;
    *write_handle = TAVRIX_INVALID_HANDLE;
    if (!g_hid.present)
        return 0;
    if (g_hid.invalid_handles != 1) {
        *read_handle = kHidRead;
        ++g_hid.open_handles;
    }
    if (g_hid.invalid_handles == 0) {
        *write_handle = kHidWrite;
        ++g_hid.open_handles;
    }
    return 1;
}

int sim_hid_write(tavrix_handle_t handle, const uint8_t *report, size_t size, uint32_t timeout_ms) {
    ++g_hid.write_calls;
    g_hid.last_write_timeout_ms = timeout_ms;
    if (handle != kHidWrite || g_hid.fail_writes || size > TAVRIX_REPORT_SIZE)
        return -1;
    memcpy(g_hid.last_report, report, size);
    g_hid.last_report_size = size;
    g_hid.answer_pending = g_hid.answer_writes;
    return (int)size;
}

int sim_hid_read(tavrix_handle_t handle, uint8_t *report, size_t size, uint32_t timeout_ms) {
    if (timeout_ms > 0) {
        ++g_hid.read_calls;
        g_hid.last_read_timeout_ms = timeout_ms;
    }
    if (handle != kHidRead)
        return -1;
    if (g_hid.queued_reports > 0 && size > 0) {
        --g_hid.queued_reports;
        const size_t n = size < TAVRIX_REPORT_SIZE ? size : TAVRIX_REPORT_SIZE;
        report[0] = 0;
        memset(report + 1, 0xEE, n - 1);
        return (int)n;
    }
    if (g_hid.answer_pending) {
        g_hid.answer_pending = 0;
        const size_t n = size < g_hid.last_report_size ? size : g_hid.last_report_size;
        report[0] = 0;
        for (size_t i = 1; i < n; ++i)
            report[i] = (uint8_t)~g_hid.last_report[i];
        return (int)n;
    }
    if (timeout_ms == 0 || g_hid.reply_next >= g_hid.reply_count)
        return 0;
    const int i = g_hid.reply_next++;
    const int result = g_hid.reply_results[i];
    if (result <= 0)
        return result;
    const size_t n = (size_t)result < size ? (size_t)result : size;
    memcpy(report, g_hid.replies[i], n);
    return (int)n;
}

void sim_hid_close(tavrix_handle_t handle) {
    if (handle == kHidRead || handle == kHidWrite)
        --g_hid.open_handles;
}

const TavrixHidOps k_sim_hid = {sim_hid_open, sim_hid_write, sim_hid_read, sim_hid_close};

tavrix_handle_t sim_ax_open(const char *name) {
    if (g_ax.open_calls < TAVRIX_SIM_MAX_NAMES) {
        strncpy(g_ax.tried[g_ax.open_calls], name, sizeof(g_ax.tried[0]) - 1);
        g_ax.tried_at_ms[g_ax.open_calls] = tavrix_tick_ms();
    }
    ++g_ax.open_calls;
    const size_t len = strlen(name);
    if (g_ax.is_open || g_ax.present_digit < 0 || len == 0 || name[len - 1] != '0' + g_ax.present_digit)
        return TAVRIX_INVALID_HANDLE;
    g_ax.is_open = 1;
    return kAx;
}

uint32_t u32_at(const void *p, size_t offset) {
    const uint8_t *b = static_cast<const uint8_t *>(p) + offset;
    return (uint32_t)b[0] | ((uint32_t)b[1] << 8) | ((uint32_t)b[2] << 16) | ((uint32_t)b[3] << 24);
}

void put_u32(void *p, size_t offset, uint32_t v) {
    uint8_t *b = static_cast<uint8_t *>(p) + offset;
    for (int i = 0; i < 4; ++i)
        b[i] = (uint8_t)(v >> (8 * i));
}

uint32_t *reg32(uint32_t space, uint32_t offset) {
    if (space == 2 && offset == 0x3C0)
        return &g_ax.gpio_data;
    if (space == 2 && offset == 0x3C4)
        return &g_ax.gpio_dir;
    if (space == 0 && offset == 0x238)
        return &g_ax.enable;
    return nullptr;
}

// Checks the buffer sizes of each request as the driver would.
bool sizes_ok(uint32_t code, const void *in, size_t in_size, const void *out, size_t out_size) {
    if (in == nullptr)
        return false;
    switch (code) {
    case TAVRIX_AX_WRITE_REG8:
        return in_size == 2;
    case TAVRIX_AX_READ_REG8:
        return in_size == 1 && out != nullptr && out_size == 1;
    case TAVRIX_AX_WRITE_REG32:
        return in_size == 12;
    case TAVRIX_AX_READ_REG32:
        return in_size == 12 && out != nullptr && out_size == 4;
    case TAVRIX_AX_LOAD_TX:
        return in_size == TAVRIX_AX_RECORD_SIZE;
    case TAVRIX_AX_FETCH_RX:
        return in_size == 4 && out != nullptr && out_size == TAVRIX_AX_RECORD_SIZE;
    case TAVRIX_AX_SET_LEN1:
    case TAVRIX_AX_SET_LEN2:
        return in_size == 4;
    default:
        return false;
    }
}

int sim_ax_request(tavrix_handle_t handle, uint32_t code, const void *in, size_t in_size, void *out,
                   size_t out_size) {
    if (g_ax.log_count < TAVRIX_SIM_MAX_REQUESTS) {
        TavrixSimAxRequest &r = g_ax.log[g_ax.log_count];
        r.code = code;
        r.in_size = in_size;
        r.out_size = out_size;
        memset(r.in, 0, sizeof(r.in));
        if (in != nullptr)
            memcpy(r.in, in, in_size < sizeof(r.in) ? in_size : sizeof(r.in));
    }
    ++g_ax.log_count;
    if (handle != kAx || !g_ax.is_open || code == g_ax.fail_code || g_ax.log_count == g_ax.fail_request ||
        !sizes_ok(code, in, in_size, out, out_size))
        return 0;
    const uint8_t *bytes = static_cast<const uint8_t *>(in);
    switch (code) {
    case TAVRIX_AX_WRITE_REG8:
        g_ax.reg8[bytes[0]] = bytes[1];
        if (bytes[0] == 0x13 && (bytes[1] & 0x08) != 0)
            g_ax.busy_left = g_ax.busy_polls;
        return 1;
    case TAVRIX_AX_READ_REG8: {
        uint8_t value = g_ax.reg8[bytes[0]];
        if (bytes[0] == 0x13) {
            ++g_ax.status_reads;
            if (g_ax.busy_left != 0) {
                value |= 0x08;
                if (g_ax.busy_left > 0)
                    --g_ax.busy_left;
            } else {
                g_ax.reg8[0x13] &= (uint8_t)~0x08;
                value = g_ax.reg8[0x13];
            }
        }
        *static_cast<uint8_t *>(out) = value;
        return 1;
    }
    case TAVRIX_AX_WRITE_REG32:
    case TAVRIX_AX_READ_REG32: {
        uint32_t *reg = reg32(u32_at(in, 0), u32_at(in, 4));
        if (reg == nullptr)
            return 0;
        if (code == TAVRIX_AX_WRITE_REG32)
            *reg = u32_at(in, 8);
        else
            put_u32(out, 0, *reg);
        return 1;
    }
    case TAVRIX_AX_LOAD_TX: {
        const uint32_t len = u32_at(in, 0);
        if (len > TAVRIX_AX_DATA_MAX)
            return 0;
        g_ax.tx_len = len;
        memcpy(g_ax.tx, bytes + 4, len);
        return 1;
    }
    case TAVRIX_AX_FETCH_RX: {
        // The simulated slave answers every byte with its complement.
        const uint32_t len = u32_at(in, 0);
        if (len > g_ax.tx_len)
            return 0;
        uint8_t *record = static_cast<uint8_t *>(out);
        put_u32(record, 0, len);
        for (uint32_t i = 0; i < len; ++i)
            record[4 + i] = (uint8_t)~g_ax.tx[i];
        return 1;
    }
    case TAVRIX_AX_SET_LEN1:
        g_ax.len1 = u32_at(in, 0);
        return 1;
    case TAVRIX_AX_SET_LEN2:
        g_ax.len2 = u32_at(in, 0);
        return 1;
    default:
        return 0;
    }
}

void sim_ax_close(tavrix_handle_t handle) {
    ++g_ax.close_calls;
    if (handle == kAx)
        g_ax.is_open = 0;
}

const TavrixAxOps k_sim_ax = {"/sim/AX99100SpiDevice2", sim_ax_open, sim_ax_request, sim_ax_close};

} // namespace

extern "C" {

TavrixSimHid *tavrix_sim_hid(void) {
    return &g_hid;
}
TavrixSimAx *tavrix_sim_ax(void) {
    return &g_ax;
}
const TavrixHidOps *tavrix_sim_hid_ops(void) {
    return &k_sim_hid;
}
const TavrixAxOps *tavrix_sim_ax_ops(void) {
    return &k_sim_ax;
}

void tavrix_sim_install(void) {
    memset(&g_hid, 0, sizeof(g_hid));
    memset(&g_ax, 0, sizeof(g_ax));
    g_hid.present = 1;
    g_ax.present_digit = 0;
    tavrix_reset_state();
    tavrix_set_transports(&k_sim_hid, &k_sim_ax);
}

void tavrix_sim_hid_queue_reply(const uint8_t *payload, size_t payload_size, int result) {
    if (g_hid.reply_count >= TAVRIX_SIM_MAX_REPLIES)
        return;
    uint8_t *report = g_hid.replies[g_hid.reply_count];
    memset(report, 0, TAVRIX_REPORT_SIZE);
    const size_t n = payload_size < TAVRIX_PAYLOAD_SIZE ? payload_size : TAVRIX_PAYLOAD_SIZE;
    if (payload != nullptr)
        memcpy(report + 1, payload, n);
    g_hid.reply_results[g_hid.reply_count] = result;
    ++g_hid.reply_count;
}

} // extern "C"
