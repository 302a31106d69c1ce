// A scripted CAN backend and one channel for the fuzz targets: frames handed
// to the driver come from the input, frames sent are recorded, and the
// adapter can be told to refuse sends.
#ifndef OSTRELO_FUZZ_CAN_H
#define OSTRELO_FUZZ_CAN_H

#include "fuzz_check.h"
#include "CO_driver.h"
#include "can_backend.h"
#include "client_store.h"
#include "device_mng.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <vector>

namespace fuzzcan {

struct Sent {
    uint32_t ident;
    uint8_t len;
    uint8_t data[8];
};

struct Bus {
    std::deque<CO_CANrxMsg_t> rx;
    std::vector<Sent> sent;
    int refuse = 0; // this many sends are refused
};

inline Bus &bus() {
    static Bus b;
    return b;
}

inline CANDevice f_create() {
    static int handle;
    return &handle;
}
inline void f_destroy(CANDevice) {}
inline int f_open(CANDevice, uint32_t, uint32_t, uint32_t) {
    return 1;
}
inline void f_close(CANDevice) {}
inline int f_init(CANDevice, uint32_t) {
    return 1;
}
inline int f_start(CANDevice, uint32_t) {
    return 1;
}
inline bool f_send(CANDevice, uint32_t, uint32_t id, uint8_t, uint8_t, const uint8_t *data, uint8_t len) {
    if (bus().refuse > 0) {
        bus().refuse--;
        return false;
    }
    Sent s{id, len, {0}};
    memcpy(s.data, data, len > 8 ? 8 : len);
    bus().sent.push_back(s);
    return true;
}
inline int32_t f_recv(CANDevice, uint32_t, CO_CANrxMsg_t *frames, uint32_t cap) {
    uint32_t n = 0;
    while (n < cap && !bus().rx.empty()) {
        frames[n++] = bus().rx.front();
        bus().rx.pop_front();
    }
    return static_cast<int32_t>(n);
}
inline void f_clear(CANDevice, uint32_t) {}
inline int f_info(CANDevice, void *) {
    return 1;
}
inline int f_reset(CANDevice) {
    return 1;
}

inline const CANBackendOps *ops() {
    static const CANBackendOps o = {f_create, f_destroy, f_open,  f_close, f_init,  f_start,
                                    f_send,   f_recv,    f_clear, f_info,  f_reset, nullptr};
    return &o;
}

// Silences the stack's trace lines: they are behaviour, not fuzz output.
inline void quiet() {
    static bool done = false;
    if (!done) {
        done = true;
        if (freopen("/dev/null", "w", stdout) == nullptr) {
            abort();
        }
    }
}

// A fresh channel over the scripted backend.
inline client_channel_context_t *fresh_channel() {
    static client_channel_context_t ch;
    quiet();
    can_backend_set(ops());
    device_manager_cleanup_all();
    free(ch.rxQueue.buffer);
    memset(&ch, 0, sizeof ch);
    bus() = Bus();
    ch.channelId = {4, 0, 0, 500};
    if (CO_CANmodule_init(&ch.canmodule, &ch, ch.rx_array, 8, ch.tx_array, 8, 500) != CO_ERROR_NO) {
        abort();
    }
    return &ch;
}

// Input reader: bytes past the end read as 0.
struct Input {
    const uint8_t *p;
    size_t n;
    size_t pos = 0;
    Input(const uint8_t *data, size_t size) : p(data), n(size) {}
    bool more() const { return pos < n; }
    uint8_t u8() { return pos < n ? p[pos++] : 0; }
    uint16_t u16() { return static_cast<uint16_t>(u8() | (u8() << 8)); }
    uint32_t u32() { return static_cast<uint32_t>(u16() | (static_cast<uint32_t>(u16()) << 16)); }
};

} // namespace fuzzcan

#endif
