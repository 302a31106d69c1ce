// Minimal vendor-style adapter library, loaded through lib: by the tests: it
// exports the nine functions by name and models two adapters of two
// channels. A started channel loops each transmitted frame back into its own
// receive buffer. Like some vendor builds, VCI_Receive ignores its wait time
// and returns at once.
#include <cstdio>
#include <cstring>
#include <mutex>

#include "ControlCAN.h"

namespace {

constexpr DWORD kAdapters = 2;
constexpr DWORD kChannels = 2;
constexpr unsigned kBufferLen = 64;

struct Channel {
    bool initialised = false;
    bool started = false;
    VCI_CAN_OBJ rx[kBufferLen];
    unsigned count = 0;
};

struct Adapter {
    bool open = false;
    Channel ch[kChannels];
};

std::mutex g_mutex;
Adapter g_adapters[kAdapters];

Adapter *adapter(DWORD type, DWORD idx) {
    return (type == VCI_USBCAN2 && idx < kAdapters) ? &g_adapters[idx] : nullptr;
}

// The channel of an open adapter, or NULL.
Channel *channel(DWORD type, DWORD idx, DWORD ch) {
    Adapter *a = adapter(type, idx);
    return (a != nullptr && a->open && ch < kChannels) ? &a->ch[ch] : nullptr;
}

void close_adapter(Adapter &a) {
    a.open = false;
    for (Channel &c : a.ch) {
        c = Channel();
    }
}

} // namespace

extern "C" {
__attribute__((visibility("default"))) DWORD VCI_OpenDevice(DWORD type, DWORD idx, DWORD) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Adapter *a = adapter(type, idx);
    if (a == nullptr) {
        return 0;
    }
    a->open = true;
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_CloseDevice(DWORD type, DWORD idx) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Adapter *a = adapter(type, idx);
    if (a == nullptr) {
        return 0;
    }
    close_adapter(*a);
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_InitCAN(DWORD type, DWORD idx, DWORD ch,
                                                         VCI_INIT_CONFIG *cfg) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel *c = channel(type, idx, ch);
    if (c == nullptr || cfg == nullptr) {
        return 0;
    }
    *c = Channel();
    c->initialised = true;
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_StartCAN(DWORD type, DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel *c = channel(type, idx, ch);
    if (c == nullptr || !c->initialised) {
        return 0;
    }
    c->started = true;
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_Transmit(DWORD type, DWORD idx, DWORD ch, VCI_CAN_OBJ *o,
                                                          UINT n) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel *c = channel(type, idx, ch);
    if (c == nullptr || !c->started || o == nullptr) {
        return 0;
    }
    DWORD sent = 0;
    while (sent < n && c->count < kBufferLen) {
        VCI_CAN_OBJ f = o[sent];
        f.DataLen = f.DataLen > 8 ? 8 : f.DataLen;
        c->rx[c->count++] = f;
        ++sent;
    }
    return sent;
}
__attribute__((visibility("default"))) DWORD VCI_Receive(DWORD type, DWORD idx, DWORD ch, VCI_CAN_OBJ *o,
                                                         UINT len, int32_t) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel *c = channel(type, idx, ch);
    if (c == nullptr) {
        return 0xFFFFFFFFu;
    }
    if (o == nullptr) {
        return 0;
    }
    const unsigned n = c->count < len ? c->count : len;
    memcpy(o, c->rx, n * sizeof(VCI_CAN_OBJ));
    memmove(c->rx, c->rx + n, (c->count - n) * sizeof(VCI_CAN_OBJ));
    c->count -= n;
    return n;
}
__attribute__((visibility("default"))) DWORD VCI_ClearBuffer(DWORD type, DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Channel *c = channel(type, idx, ch);
    if (c == nullptr) {
        return 0;
    }
    c->count = 0;
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_ReadBoardInfo(DWORD type, DWORD idx, VCI_BOARD_INFO *info) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Adapter *a = adapter(type, idx);
    if (a == nullptr || !a->open || info == nullptr) {
        return 0;
    }
    memset(info, 0, sizeof(*info));
    info->can_Num = kChannels;
    snprintf(info->str_Serial_Num, sizeof(info->str_Serial_Num), "FAKE%04u", static_cast<unsigned>(idx));
    snprintf(info->str_hw_Type, sizeof(info->str_hw_Type), "fake vendor library");
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_UsbDeviceReset(DWORD type, DWORD idx, DWORD) {
    std::lock_guard<std::mutex> lock(g_mutex);
    Adapter *a = adapter(type, idx);
    if (a == nullptr) {
        return 0;
    }
    close_adapter(*a);
    return 1;
}
}
