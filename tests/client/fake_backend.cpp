#include "fake_backend.h"

#include <gtest/gtest.h>

#include <cstring>

namespace fake {
namespace {

Bus g_bus;
int g_token;

CANDevice f_create() {
    return &g_token;
}
void f_destroy(CANDevice) {}
int f_open(CANDevice, uint32_t, uint32_t, uint32_t) {
    return 1;
}
void f_close(CANDevice) {}
int f_init(CANDevice, uint32_t) {
    if (g_bus.initFailures > 0) {
        --g_bus.initFailures;
        return 0;
    }
    return 1;
}
int f_start(CANDevice, uint32_t) {
    return 1;
}
bool f_send(CANDevice, uint32_t ch, uint32_t id, uint8_t, uint8_t, const uint8_t *data, uint8_t len) {
    const size_t call = g_bus.sendCalls++;
    if (call < g_bus.sendDelayMs.size() && g_bus.sendDelayMs[call] > 0) {
        delay_ms(g_bus.sendDelayMs[call]);
    }
    if (!g_bus.sendOk) {
        return false;
    }
    g_bus.sent.push_back({ch, id, std::vector<uint8_t>(data, data + (len < 8 ? len : 8))});
    if (g_bus.responder) {
        g_bus.responder(g_bus, ch, id, data, len);
    }
    return true;
}
int32_t f_recv(CANDevice, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap) {
    ++g_bus.recvCalls;
    if (g_bus.recvError != 0) {
        return g_bus.recvError;
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
    return 0;
}
int f_reset(CANDevice) {
    return 0;
}

const CANBackendOps kOps = {f_create, f_destroy, f_open,  f_close, f_init,  f_start,
                            f_send,   f_recv,    f_clear, f_info,  f_reset, nullptr};

} // namespace

Bus &bus() {
    return g_bus;
}
const CANBackendOps *ops() {
    return &kOps;
}

void reset() {
    can_backend_set(&kOps);
    fflush(stdout);
    testing::internal::CaptureStdout();
    client_api_manager_cleanup_all();
    testing::internal::GetCapturedStdout();
    g_bus = Bus();
}

void install() {
    reset();
}

client_channel_id_t fake_channel_up(uint32_t ch) {
    client_device_context_t *dev = device_manager_get_device(4, 0, 500);
    dev->device = &g_token;
    dev->opened = true;
    client_channel_context_t *c = &dev->channels[ch];
    c->channelId = {4, 0, ch, 500};
    c->device_ctx = dev;
    c->initialized = true;
    fq_init(&c->rawRxQueue, sizeof(CO_CANrxMsg_t), CLIENT_QUEUE_CAPACITY);
    return c->channelId;
}

std::string capture(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

} // namespace fake
