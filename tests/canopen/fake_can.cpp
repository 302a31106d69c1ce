#include "fake_can.h"

#include "CO_driver.h"
#include "device_mng.h"

#include <cstring>

namespace cotest {

namespace {

FakeCan g_fake;
int g_handle; // the adapter handle's target; only its address matters

CANDevice f_create() {
    return &g_handle;
}
void f_destroy(CANDevice) {}
int f_open(CANDevice, uint32_t, uint32_t, uint32_t kbps) {
    g_fake.openBitrates.push_back(kbps);
    if (g_fake.openFailures > 0) {
        g_fake.openFailures--;
        return 0;
    }
    return 1;
}
void f_close(CANDevice) {}
int f_init(CANDevice, uint32_t ch) {
    g_fake.initChannels.push_back(ch);
    if (g_fake.initFailures > 0) {
        g_fake.initFailures--;
        return 0;
    }
    return 1;
}
int f_start(CANDevice, uint32_t ch) {
    g_fake.startChannels.push_back(ch);
    if (g_fake.startFailures > 0) {
        g_fake.startFailures--;
        return 0;
    }
    return 1;
}
bool f_send(CANDevice, uint32_t ch, uint32_t id, uint8_t remote, uint8_t, const uint8_t *data, uint8_t len) {
    if (g_fake.sendAlwaysFails) {
        return false;
    }
    if (g_fake.sendFailures > 0) {
        g_fake.sendFailures--;
        return false;
    }
    if (g_fake.refuseAfter == 0) {
        return false;
    }
    if (g_fake.refuseAfter > 0) {
        g_fake.refuseAfter--;
    }
    Frame f{ch, id, remote, std::vector<uint8_t>(data, data + len)};
    g_fake.sent.push_back(f);
    if (g_fake.responder) {
        g_fake.responder(g_fake, f);
    }
    return true;
}
int32_t f_recv(CANDevice, uint32_t, CO_CANrxMsg_t *frames, uint32_t cap) {
    g_fake.recvCalls++;
    if (g_fake.recvResult != 0) {
        return g_fake.recvResult;
    }
    uint32_t n = 0;
    while (n < cap && !g_fake.rx.empty()) {
        frames[n++] = g_fake.rx.front();
        g_fake.rx.pop_front();
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
    g_fake.multiCalls++;
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

client_channel_context_t g_channels[CLIENT_MAX_CHANNELS];

} // namespace

FakeCan &fake() {
    return g_fake;
}
const CANBackendOps *fake_ops() {
    return &kOps;
}
const CANBackendOps *fake_ops_multi() {
    return &kOpsMulti;
}

std::string capture(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

void fake_install() {
    capture([] {
        can_backend_set(&kOps);
        device_manager_cleanup_all();
    });
    for (client_channel_context_t &ch : g_channels) {
        free(ch.rxQueue.buffer);
        memset(&ch, 0, sizeof(ch));
    }
    g_fake = FakeCan();
    can_backend_set(&kOps);
}

client_channel_context_t *fake_channel(uint32_t channel) {
    client_channel_context_t *ch = &g_channels[channel];
    ch->channelId = {4, 0, channel, 500};
    CO_ReturnError_t err = CO_ERROR_NO;
    capture([&] { err = CO_CANmodule_init(&ch->canmodule, ch, ch->rx_array, 8, ch->tx_array, 8, 500); });
    EXPECT_EQ(err, CO_ERROR_NO);
    return ch;
}

} // namespace cotest
