// Cancel flags for running transfers: set from any thread, read by the
// transfer loops on the channel's worker.
#include "client_api.h"

#include "CO_driver.h"
#include "device_mng.h"
#include "motor_protocol.h"

#include <atomic>
#include <mutex>

namespace {

// One slot per channel that was ever named in a request; a channel keeps its
// slot for the whole run, so the loops can read the flags without a lock.
struct CancelSlot {
    std::atomic<bool> used{false};
    uint32_t deviceType = 0;
    uint32_t deviceIndex = 0;
    uint32_t canChannel = 0;
    std::atomic<bool> requested{false};
};

constexpr int kSlots = CLIENT_MAX_DEVICES * CLIENT_MAX_CHANNELS * 2;
CancelSlot g_slots[kSlots];
std::mutex g_slotMutex;
std::atomic<bool> g_cancelAll{false};
// Slots whose flag is set: the loops ask on every pass, and nearly always
// nothing is asked for.
std::atomic<int> g_requested{0};

bool same_channel(const CancelSlot &s, const client_channel_id_t &id) {
    return s.deviceType == id.deviceType && s.deviceIndex == id.deviceIndex && s.canChannel == id.canChannel;
}

CancelSlot *find_slot(const client_channel_id_t &id) {
    for (CancelSlot &s : g_slots) {
        if (s.used.load(std::memory_order_acquire) && same_channel(s, id)) {
            return &s;
        }
    }
    return nullptr;
}

// How long the abort frame may wait for a free transmit buffer.
constexpr uint32_t kAbortSendMs = 200;

} // namespace

extern "C" {

int client_api_request_cancel(client_channel_id_t channelId) {
    if (client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    std::lock_guard<std::mutex> lock(g_slotMutex);
    CancelSlot *slot = find_slot(channelId);
    if (slot == nullptr) {
        for (CancelSlot &s : g_slots) {
            if (!s.used.load(std::memory_order_relaxed)) {
                s.deviceType = channelId.deviceType;
                s.deviceIndex = channelId.deviceIndex;
                s.canChannel = channelId.canChannel;
                s.used.store(true, std::memory_order_release);
                slot = &s;
                break;
            }
        }
    }
    if (slot == nullptr) {
        // More channels than the store can hold were named: stop them all
        // rather than let a transfer run on.
        g_cancelAll.store(true);
        return 0;
    }
    if (!slot->requested.exchange(true)) {
        g_requested.fetch_add(1);
    }
    // A loop asleep until its next frame or time-out notices at once.
    client_api_wake_channel(channelId);
    return 0;
}

void client_api_request_cancel_all(void) {
    g_cancelAll.store(true);
    for (const client_device_context_t &d : g_device_manager.devices) {
        for (const client_channel_context_t &c : d.channels) {
            if (c.initialized) {
                client_api_wake_channel(c.channelId);
            }
        }
    }
}

void client_api_clear_cancel_all(void) {
    std::lock_guard<std::mutex> lock(g_slotMutex);
    g_cancelAll.store(false);
    for (CancelSlot &s : g_slots) {
        s.requested.store(false);
    }
    g_requested.store(0);
}

bool client_api_cancel_requested(client_channel_id_t channelId) {
    if (g_cancelAll.load()) {
        return true;
    }
    if (g_requested.load() == 0) {
        return false;
    }
    const CancelSlot *slot = find_slot(channelId);
    return slot != nullptr && slot->requested.load();
}

CO_SDO_abortCode_t client_api_abort_cancelled_sdo(client_channel_context_t *ch) {
    if (ch == nullptr) {
        return CLIENT_CANCEL_ABORT_CODE;
    }
    CO_SDOclient_t *c = &ch->sdoclient;
    if (c->state == CO_SDO_ST_IDLE || c->CANtxBuff == nullptr || c->CANdevTx == nullptr) {
        return CLIENT_CANCEL_ABORT_CODE;
    }
    // The abort tells the bootloader to drop the partial image, so the motor
    // stays in its bootloader and takes a new download later.
    motor_build_sdo_abort(c->CANtxBuff->data, c->index, c->subIndex, CLIENT_CANCEL_ABORT_CODE);
    const uint32_t start = get_current_time_ms();
    // A sub-block may still fill the transmit path: let it drain briefly.
    while (CO_CANsend(c->CANdevTx, c->CANtxBuff) != CO_ERROR_NO && ostrelo_ms_since(start) < kAbortSendMs) {
        CO_CANinterrupt(&ch->canmodule);
        delay_ms(1);
    }
    c->state = CO_SDO_ST_IDLE;
    c->abortCodePending = CO_SDO_AB_NONE;
    return CLIENT_CANCEL_ABORT_CODE;
}

} // extern "C"
