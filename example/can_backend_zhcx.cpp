#include "can_backend_zhcx.h"
#include "ostrelo_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ControlCAN.h"
#include "controlcan_transport.h"

namespace {

struct TimingEntry {
    uint32_t kbps;
    uint8_t timing0;
    uint8_t timing1;
};

// 33, 66 and 83 stand for 33.33, 66.66 and 83.33 kbit/s.
const TimingEntry kTimingTable[] = {
    {10, 0x31, 0x1C},  {20, 0x18, 0x1C},   {33, 0x09, 0x6F},  {40, 0x87, 0xFF},  {50, 0x09, 0x1C},
    {66, 0x04, 0x6F},  {80, 0x83, 0xFF},   {83, 0x03, 0x6F},  {100, 0x04, 0x1C}, {125, 0x03, 0x1C},
    {200, 0x81, 0xFA}, {250, 0x01, 0x1C},  {400, 0x80, 0xFA}, {500, 0x00, 0x1C}, {666, 0x80, 0xB6},
    {800, 0x00, 0x16}, {1000, 0x00, 0x14},
};

// One library call fetches at most this many frames (the receive queues hold 255).
constexpr uint32_t kScratchFrames = 256;

ZHCX_Device *rec(CANDevice dev) {
    return static_cast<ZHCX_Device *>(dev);
}

// One frame to send as the adapter library takes it.
void fill_obj(VCI_CAN_OBJ *obj, uint32_t id, uint8_t remote, uint8_t extended, const uint8_t *data,
              uint8_t len) {
    memset(obj, 0, sizeof(*obj));
    obj->ID = id;
    obj->RemoteFlag = remote;
    obj->ExternFlag = extended;
    obj->DataLen = len;
    const uint8_t n = len < 8 ? len : 8;
    if (data && n > 0) {
        memcpy(obj->Data, data, n);
    }
}

} // namespace

extern "C" {

const CANBackendOps ZHCX_OPS = {
    zhcx_create, zhcx_destroy,    zhcx_open,  zhcx_close,          zhcx_init,  zhcx_start,
    zhcx_send,   zhcx_recv_multi, zhcx_clear, zhcx_get_board_info, zhcx_reset, zhcx_send_multi,
};

const CANBackendWaitOps ZHCX_WAIT_OPS = {zhcx_recv_wait, zhcx_wake};

int zhcx_timing_for_bitrate(uint32_t bitrate_kbps, uint8_t *timing0, uint8_t *timing1) {
    for (const TimingEntry &e : kTimingTable) {
        if (e.kbps == bitrate_kbps) {
            if (timing0) {
                *timing0 = e.timing0;
            }
            if (timing1) {
                *timing1 = e.timing1;
            }
            return 1;
        }
    }
    return 0;
}

CANDevice zhcx_create(void) {
    return calloc(1, sizeof(ZHCX_Device));
}

void zhcx_destroy(CANDevice dev) {
    free(dev);
}

int zhcx_open(CANDevice dev, uint32_t type, uint32_t index, uint32_t bitrate_kbps) {
    if (!dev) {
        return 0;
    }
    if (VCI_OpenDevice(type, index, 0) == 1) {
        ZHCX_Device *d = rec(dev);
        d->deviceType = type;
        d->deviceIndex = index;
        d->bitrate = bitrate_kbps;
        return 1;
    }
    ostrelo_error("[ERROR] zhcx_can_open_device: open failed (Type=%u, Index=%u)\n", type, index);
    return 0;
}

void zhcx_close(CANDevice dev) {
    if (!dev) {
        return;
    }
    VCI_CloseDevice(rec(dev)->deviceType, rec(dev)->deviceIndex);
}

int zhcx_init(CANDevice dev, uint32_t ch) {
    if (!dev) {
        return 0;
    }
    const ZHCX_Device *d = rec(dev);
    // The adapter keeps stale frames per channel; both of its channels are cleared whichever one starts.
    VCI_ClearBuffer(d->deviceType, d->deviceIndex, 0);
    VCI_ClearBuffer(d->deviceType, d->deviceIndex, 1);

    VCI_INIT_CONFIG cfg;
    memset(&cfg, 0, sizeof(cfg));
    if (!zhcx_timing_for_bitrate(d->bitrate, &cfg.Timing0, &cfg.Timing1)) {
        ostrelo_error("[ERROR] Unsupported bitrate: %u\n", d->bitrate);
        return 0;
    }
    cfg.AccCode = 0x80000008u;
    cfg.AccMask = 0xFFFFFFFFu;
    cfg.Filter = 1;
    cfg.Mode = 0;
    if (VCI_InitCAN(d->deviceType, d->deviceIndex, ch, &cfg) == 1) {
        return 1;
    }
    ostrelo_error("[ERROR] zhcx_can_init_can: init failed for channel %u\n", ch);
    return 0;
}

int zhcx_start(CANDevice dev, uint32_t ch) {
    if (!dev) {
        return 0;
    }
    if (VCI_StartCAN(rec(dev)->deviceType, rec(dev)->deviceIndex, ch) == 1) {
        return 1;
    }
    ostrelo_error("[ERROR] zhcx_can_start_can: start failed for channel %u\n", ch);
    return 0;
}

bool zhcx_send(CANDevice dev, uint32_t ch, uint32_t id, uint8_t remote, uint8_t extended, const uint8_t *data,
               uint8_t len) {
    if (!dev) {
        return false;
    }
    VCI_CAN_OBJ obj;
    fill_obj(&obj, id, remote, extended, data, len);
    return VCI_Transmit(rec(dev)->deviceType, rec(dev)->deviceIndex, ch, &obj, 1) != 0;
}

uint32_t zhcx_send_multi(CANDevice dev, uint32_t ch, const CO_CANtxFrame_t *frames, uint32_t count) {
    if (!dev || !frames) {
        return 0;
    }
    VCI_CAN_OBJ objs[CO_CAN_TX_BATCH];
    uint32_t sent = 0;
    while (sent < count) {
        const uint32_t n = count - sent < CO_CAN_TX_BATCH ? count - sent : CO_CAN_TX_BATCH;
        for (uint32_t k = 0; k < n; ++k) {
            const CO_CANtxFrame_t &f = frames[sent + k];
            fill_obj(&objs[k], f.id, f.remote, 0, f.data, f.len);
        }
        const DWORD took = VCI_Transmit(rec(dev)->deviceType, rec(dev)->deviceIndex, ch, objs, n);
        sent += took < n ? took : n;
        if (took < n) {
            break;
        }
    }
    return sent;
}

int32_t zhcx_recv_multi(CANDevice dev, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap) {
    return zhcx_recv_wait(dev, ch, frames, cap, 0);
}

// The adapter's records are converted through a scratch array on the stack:
// this runs once per received batch on every channel's worker, so it must not
// allocate. A larger capacity than the scratch array is served in several
// library calls, each of which may only return what it was asked for.
int32_t zhcx_recv_wait(CANDevice dev, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap, uint32_t wait_ms) {
    if (!dev || !frames || cap == 0) {
        return 0;
    }
    const ZHCX_Device *d = rec(dev);
    VCI_CAN_OBJ scratch[kScratchFrames];
    const int32_t wait = wait_ms > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int32_t>(wait_ms);
    uint32_t total = 0;
    for (bool first = true;; first = false) {
        const uint32_t ask = cap - total < kScratchFrames ? cap - total : kScratchFrames;
        const uint32_t n = VCI_Receive(d->deviceType, d->deviceIndex, ch, scratch, ask, first ? wait : 0);
        if (static_cast<int32_t>(n) < 0) {
            return total > 0 ? static_cast<int32_t>(total) : static_cast<int32_t>(n);
        }
        const uint32_t take = n < ask ? n : ask;
        uint32_t kept = 0;
        for (uint32_t i = 0; i < take; ++i) {
            // Motors and CANopen speak standard data frames only; 29-bit and
            // remote frames of other equipment on the bus must not reach a
            // caller that knows identifiers of 11 bits and data bytes only.
            if (scratch[i].ExternFlag != 0 || scratch[i].RemoteFlag != 0) {
                continue;
            }
            CO_CANrxMsg_t &f = frames[total + kept];
            f.ident = scratch[i].ID;
            f.DLC = scratch[i].DataLen > 8 ? 8 : scratch[i].DataLen;
            memcpy(f.data, scratch[i].Data, f.DLC);
            ++kept;
        }
        if (first && cap <= kScratchFrames) {
            // One call: the library's count as it gave it, less what was dropped.
            return static_cast<int32_t>(n - (take - kept));
        }
        total += kept;
        if (take < ask || total >= cap) {
            return static_cast<int32_t>(total);
        }
    }
}

int zhcx_wake(CANDevice dev, uint32_t ch) {
    if (!dev) {
        return 0;
    }
    return controlcan_wake_receive(rec(dev)->deviceType, rec(dev)->deviceIndex, ch) == 1 ? 1 : 0;
}

void zhcx_clear(CANDevice dev, uint32_t ch) {
    if (!dev) {
        return;
    }
    VCI_ClearBuffer(rec(dev)->deviceType, rec(dev)->deviceIndex, ch);
}

int zhcx_get_board_info(CANDevice dev, void *info) {
    if (!dev || !info) {
        return 0;
    }
    return static_cast<int>(
        VCI_ReadBoardInfo(rec(dev)->deviceType, rec(dev)->deviceIndex, static_cast<VCI_BOARD_INFO *>(info)));
}

int zhcx_reset(CANDevice dev) {
    if (!dev) {
        return 0;
    }
    VCI_CloseDevice(rec(dev)->deviceType, rec(dev)->deviceIndex);
    return VCI_UsbDeviceReset(rec(dev)->deviceType, rec(dev)->deviceIndex, 0) == 1 ? 1 : 0;
}

} // extern "C"

uint32_t zhcx_probe_adapter(uint32_t type, uint32_t index, VCI_BOARD_INFO *board) {
    if (VCI_OpenDevice(type, index, 0) != 1) {
        return 0;
    }
    VCI_BOARD_INFO info;
    memset(&info, 0, sizeof(info));
    uint32_t count = 2;
    if (VCI_ReadBoardInfo(type, index, &info) == 1 && info.can_Num >= 1) {
        count = info.can_Num < 6 ? info.can_Num : 6;
    }
    if (board != nullptr) {
        *board = info;
    }
    VCI_CloseDevice(type, index);
    return count;
}
