#include "fake_backend.h"

#include "ostrelo_time.h"

#include <gtest/gtest.h>

namespace fake {
namespace {

Bus g_bus;
// Adapter handles: only their addresses matter.
int g_handles[CLIENT_MAX_DEVICES * 4];
size_t g_nextHandle = 0;

// One bring-up step: the hook's result, or a scripted failure.
int step(int &failures, const std::function<int()> &hook) {
    if (failures > 0) {
        --failures;
        return 0;
    }
    return hook ? hook() : 1;
}

CANDevice f_create() {
    ++g_bus.creates;
    return &g_handles[g_nextHandle++ % (sizeof g_handles / sizeof g_handles[0])];
}
void f_destroy(CANDevice) {
    ++g_bus.destroys;
}
int f_open(CANDevice, uint32_t type, uint32_t index, uint32_t kbps) {
    ++g_bus.opens;
    g_bus.openBitrates.push_back(kbps);
    return step(g_bus.openFailures, g_bus.open ? std::function<int()>([=] { return g_bus.open(type, index); })
                                               : std::function<int()>());
}
void f_close(CANDevice) {
    ++g_bus.closes;
    if (g_bus.close) {
        g_bus.close();
    }
}
int f_init(CANDevice, uint32_t ch) {
    g_bus.initChannels.push_back(ch);
    return step(g_bus.initFailures,
                g_bus.init ? std::function<int()>([=] { return g_bus.init(ch); }) : std::function<int()>());
}
int f_start(CANDevice, uint32_t ch) {
    g_bus.startChannels.push_back(ch);
    return step(g_bus.startFailures,
                g_bus.start ? std::function<int()>([=] { return g_bus.start(ch); }) : std::function<int()>());
}
bool f_send(CANDevice, uint32_t ch, uint32_t id, uint8_t remote, uint8_t, const uint8_t *data, uint8_t len) {
    const size_t call = g_bus.sendCalls++;
    if (call < g_bus.sendDelayMs.size() && g_bus.sendDelayMs[call] > 0) {
        delay_ms(g_bus.sendDelayMs[call]);
    }
    if (!g_bus.sendOk) {
        return false;
    }
    if (g_bus.sendFailures > 0) {
        g_bus.sendFailures--;
        return false;
    }
    if (g_bus.refuseAfter == 0) {
        return false;
    }
    if (g_bus.refuseAfter > 0) {
        g_bus.refuseAfter--;
    }
    const Frame f{ch, id, remote, std::vector<uint8_t>(data, data + (len < 8 ? len : 8))};
    if (g_bus.transmit && !g_bus.transmit(f)) {
        return false;
    }
    g_bus.sent.push_back(f);
    if (g_bus.responder) {
        g_bus.responder(g_bus, f);
    }
    return true;
}
int32_t f_recv(CANDevice, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap) {
    ++g_bus.recvCalls;
    if (g_bus.recvError != 0) {
        return g_bus.recvError;
    }
    if (g_bus.receive) {
        return g_bus.receive(ch, frames, cap);
    }
    if (ch >= CLIENT_MAX_CHANNELS) {
        return -1;
    }
    uint32_t n = 0;
    while (n < cap && !g_bus.rx[ch].empty()) {
        frames[n++] = g_bus.rx[ch].front();
        g_bus.rx[ch].pop_front();
    }
    return static_cast<int32_t>(n);
}
void f_clear(CANDevice, uint32_t) {}
int f_info(CANDevice, void *) {
    return 1;
}
int f_reset(CANDevice) {
    return 1;
}
uint32_t f_send_multi(CANDevice dev, uint32_t ch, const CO_CANtxFrame_t *frames, uint32_t count) {
    g_bus.multiCalls++;
    uint32_t n = 0;
    while (n < count && f_send(dev, ch, frames[n].id, frames[n].remote, 0, frames[n].data, frames[n].len)) {
        ++n;
    }
    return n;
}

const CANBackendOps kOps = {f_create, f_destroy, f_open,  f_close, f_init,  f_start,
                            f_send,   f_recv,    f_clear, f_info,  f_reset, nullptr};
const CANBackendOps kOpsMulti = {f_create, f_destroy, f_open,  f_close, f_init,  f_start,
                                 f_send,   f_recv,    f_clear, f_info,  f_reset, f_send_multi};

} // namespace

void Bus::push(uint32_t channel, uint32_t ident, const std::vector<uint8_t> &bytes, int dlc) {
    CO_CANrxMsg_t f{};
    f.ident = ident;
    for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
        f.data[i] = bytes[i];
    }
    f.DLC = static_cast<uint8_t>(dlc >= 0 ? dlc : static_cast<int>(bytes.size() < 8 ? bytes.size() : 8));
    rx[channel].push_back(f);
}

Bus &bus() {
    return g_bus;
}
const CANBackendOps *ops() {
    return &kOps;
}
const CANBackendOps *ops_multi() {
    return &kOpsMulti;
}

void install(void (*cleanup)()) {
    can_backend_set(&kOps);
    capture([cleanup] { cleanup(); });
    g_bus = Bus();
    can_backend_set(&kOps);
}

std::string capture(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace fake
