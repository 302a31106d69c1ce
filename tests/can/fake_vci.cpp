#include "fake_vci.h"

#include <cstring>

#include "controlcan_transport.h"

namespace {

FakeVci g_fake;

void record(const char *fn, DWORD type, DWORD index, DWORD channel) {
    g_fake.calls.push_back({fn, type, index, channel});
}

DWORD f_open(DWORD t, DWORD i, DWORD) {
    record("open", t, i, 0);
    return g_fake.openResult;
}
DWORD f_close(DWORD t, DWORD i) {
    record("close", t, i, 0);
    return 1;
}
DWORD f_init(DWORD t, DWORD i, DWORD c, VCI_INIT_CONFIG *cfg) {
    record("init", t, i, c);
    g_fake.lastInit = *cfg;
    return g_fake.initResult;
}
DWORD f_start(DWORD t, DWORD i, DWORD c) {
    record("start", t, i, c);
    return g_fake.startResult;
}
DWORD f_transmit(DWORD t, DWORD i, DWORD c, VCI_CAN_OBJ *o, UINT n) {
    record("transmit", t, i, c);
    for (UINT k = 0; k < n; ++k) {
        g_fake.transmitted.push_back(o[k]);
    }
    return g_fake.transmitResult;
}
DWORD f_receive(DWORD t, DWORD i, DWORD c, VCI_CAN_OBJ *o, UINT len, int32_t) {
    record("receive", t, i, c);
    if (g_fake.receiveError) {
        return 0xFFFFFFFFu;
    }
    DWORD n = 0;
    while (n < len && !g_fake.pending.empty()) {
        o[n++] = g_fake.pending.front();
        g_fake.pending.erase(g_fake.pending.begin());
    }
    return g_fake.receiveOverride ? g_fake.receiveOverride : n;
}
DWORD f_clear(DWORD t, DWORD i, DWORD c) {
    record("clear", t, i, c);
    return 1;
}
DWORD f_info(DWORD t, DWORD i, VCI_BOARD_INFO *info) {
    record("info", t, i, 0);
    memset(info, 0, sizeof(*info));
    info->can_Num = 2;
    return 1;
}
DWORD f_reset(DWORD t, DWORD i, DWORD) {
    record("reset", t, i, 0);
    return g_fake.resetResult;
}

const ControlCanTransport kFake = {"fake",    f_open,  f_close, f_init,  f_start, f_transmit,
                                   f_receive, f_clear, f_info,  f_reset, nullptr};

} // namespace

size_t FakeVci::count(const std::string &fn) const {
    size_t n = 0;
    for (const Call &c : calls) {
        n += (c.fn == fn) ? 1 : 0;
    }
    return n;
}

FakeVci &FakeVci::instance() {
    return g_fake;
}

void FakeVci::install() {
    g_fake = FakeVci();
    controlcan_set_transport(&kFake);
}

void FakeVci::uninstall() {
    controlcan_set_transport(nullptr);
}
