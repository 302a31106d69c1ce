// Channel contexts, frame queues, backend selection and raw CAN frames.
#include "client_api.h"
#include "client_api_internal.h"
#include "ostrelo_log.h"

#include "CO_driver.h"
#include "ControlCAN.h"
#include "OD.h"
#include "client_wait.h"
#include "device_mng.h"
#include "motor_protocol.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr client_channel_id_t kInvalidChannel = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0};

// Lookup without creating a slot: release must not add adapters.
client_device_context_t *find_existing_device(uint32_t type, uint32_t index) {
    for (uint8_t i = 0; i < g_device_manager.deviceCount && i < CLIENT_MAX_DEVICES; ++i) {
        client_device_context_t *d = &g_device_manager.devices[i];
        if (d->deviceType == type && d->deviceIndex == index) {
            return d;
        }
    }
    return nullptr;
}

const OD_entry_t *find_sdo_client_parameter() {
    if (OD == nullptr || OD->list == nullptr) {
        return nullptr;
    }
    for (uint16_t i = 0; i < OD->size; ++i) {
        if (OD->list[i].index == 0x1280) {
            return &OD->list[i];
        }
    }
    return nullptr;
}

void free_channel_queues(client_channel_context_t *ch) {
    if (ch->rxQueue.initialized || ch->rxQueue.buffer != nullptr) {
        fq_free(&ch->rxQueue);
    }
    if (ch->rawRxQueue.initialized || ch->rawRxQueue.buffer != nullptr) {
        fq_free(&ch->rawRxQueue);
    }
}

} // namespace

// ---- FixedQueue ----------------------------------------------------------

int fq_init(FixedQueue *q, size_t elementSize, uint16_t capacity) {
    if (q == nullptr || elementSize == 0 || capacity == 0) {
        return -1;
    }
    if (q->buffer != nullptr) {
        free(q->buffer);
    }
    memset(q, 0, sizeof(*q));
    q->buffer = static_cast<uint8_t *>(calloc(capacity, elementSize));
    if (q->buffer == nullptr) {
        return -1;
    }
    q->capacity = capacity;
    q->elementSize = elementSize;
    q->initialized = 1;
    return 0;
}

int fq_pop(FixedQueue *q, void *out) {
    if (q == nullptr || out == nullptr || !q->initialized || q->buffer == nullptr || q->count == 0 ||
        q->capacity == 0) {
        return -1;
    }
    memcpy(out, q->buffer + static_cast<size_t>(q->head) * q->elementSize, q->elementSize);
    q->count--;
    q->head = static_cast<uint16_t>((q->head + 1u) % q->capacity);
    return 0;
}

uint16_t fq_fill_commit(FixedQueue *q, uint32_t filledCount) {
    if (q == nullptr || q->capacity == 0) {
        return 0;
    }
    if (q->count == 0) {
        q->head = 0;
        q->count = static_cast<uint16_t>(filledCount < q->capacity ? filledCount : q->capacity);
        q->tail = static_cast<uint16_t>(q->count % q->capacity);
    }
    return q->count;
}

void fq_free(FixedQueue *q) {
    if (q == nullptr) {
        return;
    }
    free(q->buffer);
    memset(q, 0, sizeof(*q));
}

// ---- Backend selection ---------------------------------------------------

void client_api_set_backend_zhcx(void) {
    can_backend_set_zhcx();
    ostrelo_info("[INFO] Backend set to zhcx\n");
}

void client_api_set_backend_socketcan(void) {
    can_backend_set_socketcan();
    ostrelo_info("[INFO] Backend set to socketcan\n");
}

// ---- Channel lifecycle ---------------------------------------------------

client_channel_id_t client_api_manager_init_channel(uint32_t deviceType, uint32_t deviceIndex,
                                                    uint32_t canChannel, uint16_t bitrate, uint16_t rxSize,
                                                    uint16_t txSize) {
    if (canChannel >= CLIENT_MAX_CHANNELS) {
        ostrelo_error("[ERROR] Invalid channel %u\n", canChannel);
        return kInvalidChannel;
    }
    client_device_context_t *dev = device_manager_get_device(deviceType, deviceIndex, bitrate);
    if (dev == nullptr) {
        ostrelo_error("[ERROR] Failed to create device (Type=%u, Index=%u)\n", deviceType, deviceIndex);
        return kInvalidChannel;
    }
    client_channel_context_t *ch = &dev->channels[canChannel];
    if (ch->initialized) {
        ostrelo_info("[INFO] Channel already initialized (Type=%u, Index=%u, Channel=%u, Bitrate=%u)\n",
                     ch->channelId.deviceType, ch->channelId.deviceIndex, ch->channelId.canChannel,
                     static_cast<unsigned>(ch->channelId.bitrate));
        return ch->channelId;
    }
    ch->channelId.deviceType = deviceType;
    ch->channelId.deviceIndex = deviceIndex;
    ch->channelId.canChannel = canChannel;
    ch->channelId.bitrate = bitrate;

    const uint16_t rxN = rxSize < CLIENT_CHANNEL_RX_BUFFERS ? rxSize : CLIENT_CHANNEL_RX_BUFFERS;
    const uint16_t txN = txSize < CLIENT_CHANNEL_TX_BUFFERS ? txSize : CLIENT_CHANNEL_TX_BUFFERS;
    if (CO_CANmodule_init(&ch->canmodule, ch, ch->rx_array, rxN, ch->tx_array, txN, bitrate) != CO_ERROR_NO) {
        ostrelo_error("[ERROR] CAN module init failed (Type=%u, Index=%u, Channel=%u)\n", deviceType,
                      deviceIndex, canChannel);
        return kInvalidChannel;
    }
    const OD_entry_t *sdoPar = find_sdo_client_parameter();
    if (sdoPar == nullptr) {
        ostrelo_error("[ERROR] SDO client parameter (0x1280) not found\n");
        CO_CANmodule_disable(&ch->canmodule);
        return kInvalidChannel;
    }
    uint32_t errInfo = 0;
    if (CO_SDOclient_init(&ch->sdoclient, OD, sdoPar, 1, &ch->canmodule, 0, &ch->canmodule, 0, &errInfo) !=
        CO_ERROR_NO) {
        ostrelo_error("[ERROR] SDO client init failed (Type=%u, Index=%u, Channel=%u)\n", deviceType,
                      deviceIndex, canChannel);
        CO_CANmodule_disable(&ch->canmodule);
        return kInvalidChannel;
    }
    ch->device_ctx = dev;
    if (dev->device == nullptr) {
        ostrelo_error("[ERROR] Failed to get device handle (Type=%u, Index=%u)\n", deviceType, deviceIndex);
        CO_CANmodule_disable(&ch->canmodule);
        return kInvalidChannel;
    }
    // A failed allocation is tolerated here; the queues are created on first use.
    if (!ch->rxQueue.initialized) {
        fq_init(&ch->rxQueue, sizeof(CO_CANrxMsg_t), CLIENT_QUEUE_CAPACITY);
    }
    if (!ch->rawRxQueue.initialized) {
        fq_init(&ch->rawRxQueue, sizeof(CO_CANrxMsg_t), CLIENT_QUEUE_CAPACITY);
    }
    ch->initialized = true;
    dev->activeChannelCount++;
    ostrelo_info("[INFO] Channel initialized (Type=%u, Index=%u, Channel=%u, Bitrate=%u)\n", deviceType,
                 deviceIndex, canChannel, static_cast<unsigned>(bitrate));
    return ch->channelId;
}

client_channel_context_t *client_api_manager_get_channel_context(client_channel_id_t channelId) {
    if (client_channel_id_is_invalid(&channelId) || channelId.canChannel >= CLIENT_MAX_CHANNELS) {
        return nullptr;
    }
    client_device_context_t *dev = device_manager_get_device(channelId.deviceType, channelId.deviceIndex, 0);
    if (dev == nullptr) {
        return nullptr;
    }
    client_channel_context_t *ch = &dev->channels[channelId.canChannel];
    return ch->initialized ? ch : nullptr;
}

void client_api_manager_release_channel(client_channel_id_t channelId) {
    if (client_channel_id_is_invalid(&channelId) || channelId.canChannel >= CLIENT_MAX_CHANNELS) {
        return;
    }
    client_device_context_t *dev = find_existing_device(channelId.deviceType, channelId.deviceIndex);
    if (dev == nullptr) {
        return;
    }
    client_channel_context_t *ch = &dev->channels[channelId.canChannel];
    if (!ch->initialized || ch->channelId.deviceType != channelId.deviceType ||
        ch->channelId.deviceIndex != channelId.deviceIndex ||
        ch->channelId.canChannel != channelId.canChannel) {
        return;
    }
    CO_CANmodule_disable(&ch->canmodule);
    free_channel_queues(ch);
    ch->initialized = false;
    if (dev->activeChannelCount > 0) {
        dev->activeChannelCount--;
    }
    ostrelo_info("[INFO] Channel released (Type=%u, Index=%u, Channel=%u)\n", channelId.deviceType,
                 channelId.deviceIndex, channelId.canChannel);
}

void client_api_manager_cleanup_all(void) {
    for (uint8_t d = 0; d < g_device_manager.deviceCount && d < CLIENT_MAX_DEVICES; ++d) {
        for (uint32_t c = 0; c < CLIENT_MAX_CHANNELS; ++c) {
            free_channel_queues(&g_device_manager.devices[d].channels[c]);
        }
    }
    device_manager_cleanup_all();
    ostrelo_info("[INFO] All client API manager resources cleaned up\n");
}

// ---- Raw frames ----------------------------------------------------------

namespace {

// The context of an open channel whose adapter is there to talk to, or null.
client_channel_context_t *channel_with_device(client_channel_id_t channelId) {
    client_channel_context_t *ch = client_api_manager_get_channel_context(channelId);
    if (ch == nullptr || ch->device_ctx == nullptr || ch->device_ctx->device == nullptr) {
        return nullptr;
    }
    return ch;
}

} // namespace

int client_api_send_raw_can(client_channel_id_t channelId, const CO_CANrxMsg_t *frame) {
    if (client_channel_id_is_invalid(&channelId) || frame == nullptr) {
        return -1;
    }
    client_channel_context_t *ch = channel_with_device(channelId);
    const CANBackendOps *ops = can_backend_get();
    if (ch == nullptr || ops == nullptr || ops->send == nullptr) {
        return -1;
    }
    const uint8_t len = frame->DLC < 8 ? frame->DLC : 8;
    const bool ok =
        ops->send(ch->device_ctx->device, channelId.canChannel, frame->ident, 0, 0, frame->data, len);
    return ok ? 0 : -1;
}

int client_api_send_can_data(client_channel_id_t channelId, uint32_t canId, const uint8_t *data,
                             uint8_t dlc) {
    CO_CANrxMsg_t frame;
    memset(&frame, 0, sizeof(frame));
    frame.ident = canId;
    frame.DLC = dlc < 8 ? dlc : 8;
    if (data != nullptr) {
        memcpy(frame.data, data, frame.DLC);
    }
    return client_api_send_raw_can(channelId, &frame);
}

int client_api_send_can_frame(client_channel_id_t channelId, uint32_t canId, const uint8_t *data,
                              uint8_t dlc) {
    return client_api_send_can_data(channelId, canId, data, dlc);
}

namespace {

// Bumped by every wake of a channel; a wait that sees it move ends.
std::atomic<uint32_t> g_wakes[CLIENT_MAX_DEVICES][CLIENT_MAX_CHANNELS];

std::atomic<uint32_t> *wake_count_of(const client_channel_context_t *ch) {
    const client_device_context_t *dev = ch->device_ctx;
    if (dev < g_device_manager.devices || dev >= g_device_manager.devices + CLIENT_MAX_DEVICES ||
        ch < dev->channels || ch >= dev->channels + CLIENT_MAX_CHANNELS) {
        return nullptr;
    }
    return &g_wakes[dev - g_device_manager.devices][ch - dev->channels];
}

// The one wait for frames of the client API. Fills the empty queue `q` of
// `ch` straight from the adapter and returns the frames queued; 0 when
// `timeout_ms` since `start` (a tick) passed or the channel was woken since
// its wake count read `seen`; negative when the adapter reported an error. A
// backend that cannot wait is asked again every millisecond.
int32_t wait_and_fill(client_channel_context_t *ch, const CANBackendOps *ops, FixedQueue *q, uint32_t start,
                      uint32_t timeout_ms, uint32_t seen) {
    std::atomic<uint32_t> *wakes = wake_count_of(ch);
    CANDevice dev = ch->device_ctx->device;
    const uint32_t channel = ch->channelId.canChannel;
    CO_CANrxMsg_t *storage = reinterpret_cast<CO_CANrxMsg_t *>(q->buffer);
    const CANBackendWaitOps *waitOps = can_backend_wait_ops(ops);
    // `start` is the caller's reading of the clock just before: the first
    // look takes it as now (a reading of the clock can be a system call).
    for (bool first = true;; first = false) {
        const uint32_t elapsed = first ? 0u : ostrelo_ms_since(start);
        if (elapsed >= timeout_ms) {
            return 0;
        }
        int32_t n;
        if (waitOps != nullptr && waitOps->recv_wait != nullptr) {
            n = waitOps->recv_wait(dev, channel, storage, q->capacity, timeout_ms - elapsed);
        } else {
            n = ops->recv_multi(dev, channel, storage, q->capacity);
            if (n == 0) {
                delay_ms(1);
            }
        }
        if (n > 0) {
            return fq_fill_commit(q, static_cast<uint32_t>(n));
        }
        if (n < 0) {
            return n;
        }
        if (wakes != nullptr && wakes->load() != seen) {
            return 0;
        }
    }
}

bool queue_usable(const FixedQueue *q) {
    return q->initialized && q->buffer != nullptr && q->capacity > 0 &&
           q->elementSize == sizeof(CO_CANrxMsg_t) && q->head < q->capacity && q->count <= q->capacity;
}

// Drops the frames the CANopen path of `ch` fetched and did not dispatch yet.
int32_t drop_queued(client_channel_context_t *ch) {
    CO_CANrxMsg_t f;
    int32_t dropped = 0;
    while (queue_usable(&ch->rxQueue) && fq_pop(&ch->rxQueue, &f) == 0) {
        ++dropped;
    }
    return dropped;
}

} // namespace

int32_t client_channel_wait_frames(client_channel_context_t *ch, uint32_t wait_ms) {
    if (ch == nullptr || ch->device_ctx == nullptr || ch->device_ctx->device == nullptr) {
        return -1;
    }
    const CANBackendOps *ops = can_backend_get();
    FixedQueue *q = &ch->rxQueue;
    if (ops == nullptr || ops->recv_multi == nullptr || !queue_usable(q)) {
        // The CAN driver sets the queue up on its next pass; do not spin meanwhile.
        delay_ms(1);
        return 0;
    }
    if (q->count > 0) {
        return q->count;
    }
    std::atomic<uint32_t> *wakes = wake_count_of(ch);
    return wait_and_fill(ch, ops, q, get_current_time_ms(), wait_ms, wakes != nullptr ? wakes->load() : 0);
}

int32_t client_channel_drop_stale(client_channel_context_t *ch) {
    if (ch == nullptr || ch->device_ctx == nullptr || ch->device_ctx->device == nullptr) {
        return 0;
    }
    FixedQueue *q = &ch->rxQueue;
    if (!queue_usable(q)) {
        return 0; // set up by the CAN driver's first pass: nothing queued yet
    }
    int32_t dropped = drop_queued(ch);
    const CANBackendOps *ops = can_backend_get();
    if (ops != nullptr && ops->recv_multi != nullptr) {
        const int32_t got = ops->recv_multi(ch->device_ctx->device, ch->channelId.canChannel,
                                            reinterpret_cast<CO_CANrxMsg_t *>(q->buffer), q->capacity);
        dropped += got > 0 ? got : 0;
    }
    return dropped;
}

int client_sdo_wait_between_passes(client_channel_context_t *ch, int ret, uint64_t start_us,
                                   uint32_t limit_ms, uint64_t last_pass_us) {
    if (ch == nullptr || ret <= 0 || ret == CO_SDO_RT_blockDownldInProgress) {
        return 0;
    }
    if (ret == CO_SDO_RT_transmittBufferFull || ch->canmodule.CANtxCount > 0 ||
        ch->canmodule.txBatchCount > 0) {
        // The CAN driver sends the waiting frames on the next pass.
        delay_ms(1);
        return 0;
    }
    // Both time limits are met to the microsecond, as a loop polling without
    // pause would meet them: the SDO client's (its timer plus the time since
    // the last pass), and the loop's own (more than `limit_ms` after
    // `start_us`).
    const CO_SDOclient_t *c = &ch->sdoclient;
    const uint64_t now = ostrelo_monotonic_us();
    const uint64_t since = now - last_pass_us;
    const uint64_t limit = CO_SDOclientResponseTimeout_us(c);
    uint64_t sdo_us = c->timeoutTimer < limit ? limit - c->timeoutTimer : 0;
    sdo_us = sdo_us > since ? sdo_us - since : 0;
    const uint64_t limit_at = start_us + static_cast<uint64_t>(limit_ms) * 1000u + 1u;
    if (now >= limit_at) {
        return 0; // the loop's limit has passed: its check comes first
    }
    const uint64_t limit_us = limit_at - now;
    const bool sdoFirst = sdo_us <= limit_us;
    // Whole milliseconds; the last fraction is spent in passes.
    const uint64_t wait_ms = (sdoFirst ? sdo_us : limit_us) / 1000u;
    int32_t got = 0;
    if (wait_ms > 0) {
        got = client_channel_wait_frames(ch, wait_ms > 0xFFFFFFFFu ? 0xFFFFFFFFu
                                                                   : static_cast<uint32_t>(wait_ms));
    }
    // What came before the limit — a frame, the SDO client's own time-out —
    // is handled before the limit is checked, even when this thread was
    // woken late.
    return (got > 0 || sdoFirst) ? 1 : 0;
}

void client_api_wake_channel(client_channel_id_t channelId) {
    client_channel_context_t *ch = channel_with_device(channelId);
    const CANBackendOps *ops = can_backend_get();
    if (ch == nullptr) {
        return;
    }
    if (std::atomic<uint32_t> *wakes = wake_count_of(ch)) {
        wakes->fetch_add(1);
    }
    const CANBackendWaitOps *waitOps = can_backend_wait_ops(ops);
    if (waitOps != nullptr && waitOps->wake != nullptr) {
        waitOps->wake(ch->device_ctx->device, channelId.canChannel);
    }
}

client_rx_result_t client_await_frame(client_channel_id_t channelId, client_frame_test_t test, void *user,
                                      ostrelo_deadline_t until, CO_CANrxMsg_t *frame) {
    if (client_channel_id_is_invalid(&channelId) || frame == nullptr) {
        return CLIENT_RX_FAILED;
    }
    client_channel_context_t *ch = channel_with_device(channelId);
    const CANBackendOps *ops = can_backend_get();
    if (ch == nullptr || ops == nullptr || ops->recv_multi == nullptr) {
        return CLIENT_RX_FAILED;
    }
    FixedQueue *q = &ch->rawRxQueue;
    if (!q->initialized && fq_init(q, sizeof(CO_CANrxMsg_t), CLIENT_QUEUE_CAPACITY) != 0) {
        return CLIENT_RX_FAILED;
    }
    // A wake from now on ends the wait, also one that comes between two fills.
    std::atomic<uint32_t> *wakes = wake_count_of(ch);
    const uint32_t seen = wakes != nullptr ? wakes->load() : 0;
    for (;;) {
        CO_CANrxMsg_t f;
        while (q->count > 0) {
            if (fq_pop(q, &f) != 0) {
                return CLIENT_RX_FAILED;
            }
            if (test == nullptr || test(&f, user) != 0) {
                *frame = f;
                return CLIENT_RX_FRAME;
            }
        }
        const uint32_t now = get_current_time_ms();
        const uint32_t spent = now - until.start;
        // A cancel wakes the channel; one asked for before this wait began
        // ends it too.
        if (spent >= until.ms || (wakes != nullptr && wakes->load() != seen) ||
            client_api_cancel_requested(channelId)) {
            return CLIENT_RX_TIMEOUT;
        }
        const int32_t got = wait_and_fill(ch, ops, q, now, until.ms - spent, seen);
        if (got < 0) {
            return CLIENT_RX_FAILED;
        }
        if (got == 0) {
            return CLIENT_RX_TIMEOUT;
        }
    }
}

client_rx_result_t client_api_receive_frame(client_channel_id_t channelId, CO_CANrxMsg_t *frame,
                                            uint32_t timeout_ms) {
    return client_await_frame(channelId, nullptr, nullptr, ostrelo_deadline_in(timeout_ms), frame);
}

int client_api_receive_raw_can(client_channel_id_t channelId, CO_CANrxMsg_t *frame, uint32_t timeout_ms) {
    return client_api_receive_frame(channelId, frame, timeout_ms) == CLIENT_RX_FRAME ? 0 : -1;
}

// The time a drain allows for reading out what the adapter already holds.
constexpr uint32_t kDrainReadOutMs = 5;

int client_drain_frames(client_channel_id_t channelId, uint32_t quiet_ms,
                        void (*seen)(const CO_CANrxMsg_t *frame, void *user), void *user) {
    client_channel_context_t *ch = channel_with_device(channelId);
    if (ch == nullptr) {
        return -1;
    }
    // Frames already taken from the adapter by the CANopen path would reach
    // the next SDO transfer first.
    int dropped = drop_queued(ch);
    CO_CANrxMsg_t f;
    // What is stale was sent before this call: it is read out within a few
    // milliseconds, or comes within the quiet time. A bus that keeps talking
    // (other nodes' traffic) never falls quiet, so the drain also ends at a
    // limit of twice the quiet time and the read-out.
    const ostrelo_deadline_t until = ostrelo_deadline_in(2 * quiet_ms + kDrainReadOutMs);
    for (int i = 0; i < 4096; ++i) {
        const uint32_t left = ostrelo_deadline_left(until);
        const client_rx_result_t r =
            client_api_receive_frame(channelId, &f, left < quiet_ms ? left : quiet_ms);
        if (r != CLIENT_RX_FRAME) {
            return r == CLIENT_RX_FAILED ? -1 : dropped;
        }
        if (seen != nullptr) {
            seen(&f, user);
        }
        ++dropped;
    }
    return dropped;
}

int client_api_drain_channel(client_channel_id_t channelId, uint32_t quiet_ms) {
    return client_drain_frames(channelId, quiet_ms, nullptr, nullptr);
}

int client_api_adapter_serial(client_channel_id_t channelId, char *out, size_t size) {
    if (out == nullptr || size == 0) {
        return -1;
    }
    out[0] = '\0';
    client_channel_context_t *ch = channel_with_device(channelId);
    const CANBackendOps *ops = can_backend_get();
    VCI_BOARD_INFO board;
    memset(&board, 0, sizeof(board));
    if (ch == nullptr || ops == nullptr || ops->get_board_info == nullptr ||
        ops->get_board_info(ch->device_ctx->device, &board) != 1) {
        return -1;
    }
    // The adapter's text need not end in a NUL; trailing blanks are padding.
    size_t n = strnlen(board.str_Serial_Num, sizeof(board.str_Serial_Num));
    while (n > 0 && (board.str_Serial_Num[n - 1] == ' ' || board.str_Serial_Num[n - 1] == '\0')) {
        --n;
    }
    n = n < size - 1 ? n : size - 1;
    memcpy(out, board.str_Serial_Num, n);
    out[n] = '\0';
    return 0;
}

bool_t client_api_test_channel_availability(client_channel_id_t channelId) {
    if (client_channel_id_is_invalid(&channelId)) {
        return false;
    }
    static const uint8_t kNodes[10] = {1, 15, 29, 43, 57, 71, 85, 99, 113, 127};
    const unsigned kTests = 10;
    const unsigned kSlowMs = 50;
    const unsigned kMaxSlowRun = 3;
    const unsigned ch = channelId.canChannel;
    ostrelo_info("Testing channel %u availability...\n", ch);
    unsigned slowRun = 0;
    for (unsigned i = 0; i < kTests; ++i) {
        CO_CANrxMsg_t frame;
        memset(&frame, 0, sizeof(frame));
        frame.ident = kNodes[i];
        frame.DLC = motor_build_type_query(frame.data);
        const uint32_t t0 = get_current_time_ms();
        const int rc = client_api_send_raw_can(channelId, &frame);
        const uint32_t duration = ostrelo_ms_since(t0);
        ostrelo_info("Channel %u test %u/%u: node_id=%u, send_result=%d, duration=%u ms\n", ch, i + 1, kTests,
                     static_cast<unsigned>(kNodes[i]), rc, duration);
        if (duration > kSlowMs) {
            if (++slowRun >= kMaxSlowRun) {
                ostrelo_warning("Channel %u test FAILED: %u consecutive slow sends (>%u ms)\n", ch,
                                kMaxSlowRun, kSlowMs);
                return false;
            }
        } else {
            slowRun = 0;
        }
    }
    ostrelo_info("Channel %u test PASSED: no %u consecutive slow sends\n", ch, kMaxSlowRun);
    return true;
}
