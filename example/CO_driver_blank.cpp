#include "CO_driver_blank.h"
#include "ostrelo_log.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "client_store.h"
#include "device_mng.h"

namespace {

const uint32_t DEFAULT_DEVICE_TYPE = 4;

client_channel_context_t *channel_of(const CO_CANmodule_t *CANmodule) {
    return static_cast<client_channel_context_t *>(CANmodule->CANptr);
}

CANDevice device_handle_of(const client_channel_context_t *ch) {
    if (ch == NULL || ch->device_ctx == NULL) {
        return NULL;
    }
    return ch->device_ctx->device;
}

void print_line(ostrelo_log_level_t level, const char *line) {
    ostrelo_log_text(level, line);
}

/* Unpacks identifier, length (at most 8) and remote flag of a buffer. */
void unpack_tx(const CO_CANtx_t *buffer, uint32_t *id, uint8_t *len, uint8_t *remote) {
    *id = buffer->ident & 0x7FFu;
    uint8_t n = (uint8_t)((buffer->ident >> 11) & 0x0Fu);
    *len = n > 8u ? 8u : n;
    *remote = (buffer->ident & 0x8000u) != 0u ? 1u : 0u;
}

/* The receive batch store: created on first use when the channel has not
 * set it up; released by whoever releases the channel (free()). */
bool rx_queue_ready(FixedQueue *q) {
    if (q->initialized && q->buffer != NULL) {
        if (q->capacity == 0u || q->elementSize != sizeof(CO_CANrxMsg_t)) {
            return false;
        }
        if (q->head >= q->capacity || q->count > q->capacity) {
            q->head = 0; /* inconsistent positions: start over empty */
            q->tail = 0;
            q->count = 0;
        }
        return true;
    }
    free(q->buffer);
    memset(q, 0, sizeof(*q));
    q->buffer = static_cast<uint8_t *>(calloc(CLIENT_QUEUE_CAPACITY, sizeof(CO_CANrxMsg_t)));
    if (q->buffer == NULL) {
        return false;
    }
    q->capacity = CLIENT_QUEUE_CAPACITY;
    q->elementSize = sizeof(CO_CANrxMsg_t);
    q->initialized = 1;
    return true;
}

void rx_queue_take(FixedQueue *q, CO_CANrxMsg_t *out) {
    memcpy(out, q->buffer + (size_t)q->head * sizeof(CO_CANrxMsg_t), sizeof(CO_CANrxMsg_t));
    q->head = (uint16_t)((q->head + 1u) % q->capacity);
    q->count--;
}

} // namespace

extern "C" {

uint32_t convert_bitrate_to_zhcx(uint16_t bitrate) {
    switch (bitrate) {
    case 10:
    case 20:
    case 50:
    case 100:
    case 125:
    case 250:
    case 500:
    case 800:
        return bitrate;
    default:
        return 1000;
    }
}

CO_ReturnError_t CO_CANmodule_init(CO_CANmodule_t *CANmodule, void *CANptr, CO_CANrx_t rxArray[],
                                   uint16_t rxSize, CO_CANtx_t txArray[], uint16_t txSize,
                                   uint16_t CANbitRate) {
    if (CANmodule == NULL || rxArray == NULL || txArray == NULL) {
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    CANmodule->CANnormal = false;
    CANmodule->CANptr = CANptr;
    CANmodule->useCANrxFilters = rxSize <= 32u;
    CANmodule->rxArray = rxArray;
    CANmodule->rxSize = rxSize;
    CANmodule->txArray = txArray;
    CANmodule->txSize = txSize;
    CANmodule->bufferInhibitFlag = false;
    CANmodule->firstCANtxMessage = true;
    CANmodule->CANerrorStatus = 0;
    CANmodule->CANtxCount = 0;
    CANmodule->errOld = 0;
    CANmodule->txBatchCount = 0;
    CANmodule->txHold = false;
    for (uint16_t i = 0; i < rxSize; i++) {
        rxArray[i].ident = 0;
        rxArray[i].mask = 0xFFFF;
        rxArray[i].object = NULL;
        rxArray[i].CANrx_callback = NULL;
    }
    for (uint16_t i = 0; i < txSize; i++) {
        txArray[i].bufferFull = false;
    }

    client_channel_context_t *ch = channel_of(CANmodule);
    char line[160];
    uint32_t type, index, channel, bitrate;
    if (ch == NULL || client_channel_id_is_invalid(&ch->channelId)) {
        type = DEFAULT_DEVICE_TYPE;
        index = 0;
        channel = 0;
        bitrate = CANbitRate;
        snprintf(line, sizeof line,
                 "Using default device config: Type=%u, Index=%u, Channel=%u, Bitrate=%u kbps\n", type, index,
                 channel, bitrate);
    } else {
        type = ch->channelId.deviceType;
        index = ch->channelId.deviceIndex;
        channel = ch->channelId.canChannel;
        bitrate = ch->channelId.bitrate != 0u ? ch->channelId.bitrate : CANbitRate;
        snprintf(line, sizeof line,
                 "Using provided device config: Type=%u, Index=%u, Channel=%u, Bitrate=%u kbps\n", type,
                 index, channel, bitrate);
    }
    print_line(OSTRELO_LOG_INFO, line);
    const uint32_t adapterBitrate = convert_bitrate_to_zhcx((uint16_t)bitrate);

    client_device_context_t *dev = device_manager_get_device(type, index, adapterBitrate);
    if (dev == NULL) {
        snprintf(line, sizeof line, "[ERROR] Failed to get CAN device (Type=%u, Index=%u)\n", type, index);
        print_line(OSTRELO_LOG_ERROR, line);
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    if (ch != NULL) {
        ch->device_ctx = dev;
    }
    if (device_manager_open_device(type, index, adapterBitrate) == 0) {
        snprintf(line, sizeof line, "[ERROR] Failed to open CAN device (Type=%u, Index=%u)\n", type, index);
        print_line(OSTRELO_LOG_ERROR, line);
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    if (device_manager_init_channel(type, index, channel) == 0) {
        snprintf(line, sizeof line, "[ERROR] Failed to initialize CAN channel %u\n", channel);
        print_line(OSTRELO_LOG_ERROR, line);
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    if (device_manager_start_channel(type, index, channel) == 0) {
        snprintf(line, sizeof line, "[ERROR] Failed to start CAN channel %u\n", channel);
        print_line(OSTRELO_LOG_ERROR, line);
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    print_line(OSTRELO_LOG_INFO, CANmodule->useCANrxFilters ? "CAN module using hardware filters\n"
                                                            : "CAN module using software filters\n");
    snprintf(line, sizeof line, "CAN module initialized successfully (bitrate: %u kbps)\n",
             (unsigned)CANbitRate);
    print_line(OSTRELO_LOG_INFO, line);
    return CO_ERROR_NO;
}

CO_ReturnError_t CO_CANrxBufferInit(CO_CANmodule_t *CANmodule, uint16_t index, uint16_t ident, uint16_t mask,
                                    bool_t rtr, void *object, CO_CANrx_callback_t CANrx_callback) {
    if (CANmodule == NULL || object == NULL || CANrx_callback == NULL || CANmodule->rxArray == NULL ||
        index >= CANmodule->rxSize) {
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    CO_CANrx_t *buffer = &CANmodule->rxArray[index];
    buffer->object = object;
    buffer->CANrx_callback = CANrx_callback;
    buffer->ident = (uint16_t)((ident & 0x07FFu) | (rtr ? 0x0800u : 0u));
    buffer->mask = (uint16_t)((mask & 0x07FFu) | 0x0800u);
    return CO_ERROR_NO;
}

CO_CANtx_t *CO_CANtxBufferInit(CO_CANmodule_t *CANmodule, uint16_t index, uint16_t ident, bool_t rtr,
                               uint8_t noOfBytes, bool_t syncFlag) {
    if (CANmodule == NULL || CANmodule->txArray == NULL || index >= CANmodule->txSize) {
        return NULL;
    }
    CO_CANtx_t *buffer = &CANmodule->txArray[index];
    buffer->ident =
        (uint32_t)(ident & 0x07FFu) | (((uint32_t)noOfBytes << 11) & 0x7800u) | (rtr ? 0x8000u : 0u);
    buffer->bufferFull = false;
    buffer->syncFlag = syncFlag;
    return buffer;
}

/* Hands the held frames to the adapter, oldest first; those it does not take
 * stay held, in order. true when none is left. `context` names the caller in
 * the line printed for a refused frame. */
static bool flush_batch(CO_CANmodule_t *CANmodule, const CANBackendOps *ops, CANDevice dev, uint32_t channel,
                        const char *context) {
    const uint16_t n = CANmodule->txBatchCount;
    if (n == 0u) {
        return true;
    }
    uint32_t sent = 0;
    if (ops->send_multi != NULL) {
        sent = ops->send_multi(dev, channel, CANmodule->txBatch, n);
        sent = sent < n ? sent : n;
    } else if (ops->send != NULL) {
        while (sent < n) {
            const CO_CANtxFrame_t *f = &CANmodule->txBatch[sent];
            if (!ops->send(dev, channel, f->id, f->remote, 0, f->data, f->len)) {
                break;
            }
            sent++;
        }
    }
    if (sent == n) {
        CANmodule->txBatchCount = 0;
        return true;
    }
    const CO_CANtxFrame_t *refused = &CANmodule->txBatch[sent];
    char line[112];
    snprintf(line, sizeof line, "[ERROR] Failed to send CAN message%s: ID=0x%X, DLC=%u\n", context,
             (unsigned)refused->id, (unsigned)refused->len);
    print_line(OSTRELO_LOG_ERROR, line);
    memmove(CANmodule->txBatch, refused, (n - sent) * sizeof(CANmodule->txBatch[0]));
    CANmodule->txBatchCount = (uint16_t)(n - sent);
    return false;
}

CO_ReturnError_t CO_CANsend(CO_CANmodule_t *CANmodule, CO_CANtx_t *buffer) {
    if (CANmodule == NULL || buffer == NULL) {
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    CO_ReturnError_t err = CO_ERROR_NO;
    if (buffer->bufferFull) {
        if (!CANmodule->firstCANtxMessage) {
            CANmodule->CANerrorStatus |= CO_CAN_ERRTX_OVERFLOW;
        }
        err = CO_ERROR_TX_OVERFLOW;
    }

    client_channel_context_t *ch = channel_of(CANmodule);
    const CANBackendOps *ops = g_backend_ops;
    CANDevice dev = device_handle_of(ch);
    if (ch == NULL || ops == NULL || dev == NULL || CANmodule->CANtxCount != 0u) {
        buffer->bufferFull = true;
        CANmodule->CANtxCount++;
        return err;
    }
    const uint32_t channel = ch->channelId.canChannel;

    CANmodule->bufferInhibitFlag = buffer->syncFlag;
    uint32_t id;
    uint8_t len, remote;
    unpack_tx(buffer, &id, &len, &remote);
    /* Held frames go first; a frame that finds the batch full and the
     * adapter refusing waits in its buffer behind them. */
    if (CANmodule->txHold || CANmodule->txBatchCount != 0u) {
        if (CANmodule->txBatchCount >= CO_CAN_TX_BATCH || !CANmodule->txHold) {
            flush_batch(CANmodule, ops, dev, channel, "");
        }
        if (CANmodule->txHold && CANmodule->txBatchCount < CO_CAN_TX_BATCH) {
            CO_CANtxFrame_t *f = &CANmodule->txBatch[CANmodule->txBatchCount++];
            f->id = id;
            f->len = len;
            f->remote = remote;
            memcpy(f->data, buffer->data, sizeof(f->data));
            return err;
        }
        if (CANmodule->txBatchCount != 0u) {
            buffer->bufferFull = true;
            CANmodule->CANtxCount++;
            return CO_ERROR_TX_OVERFLOW;
        }
    }
    if (ops->send != NULL && ops->send(dev, channel, id, remote, 0, buffer->data, len)) {
        return err;
    }
    buffer->bufferFull = true;
    CANmodule->CANtxCount++;
    char line[96];
    snprintf(line, sizeof line, "[ERROR] Failed to send CAN message: ID=0x%X, DLC=%u\n", (unsigned)id,
             (unsigned)len);
    print_line(OSTRELO_LOG_ERROR, line);
    return CO_ERROR_TX_OVERFLOW;
}

void CO_CANtxDiscard(CO_CANmodule_t *CANmodule) {
    if (CANmodule != NULL) {
        CANmodule->txBatchCount = 0;
        CANmodule->txHold = false;
    }
}

void CO_CANtxHold(CO_CANmodule_t *CANmodule, bool_t hold) {
    if (CANmodule == NULL) {
        return;
    }
    CANmodule->txHold = hold;
    if (hold || CANmodule->txBatchCount == 0u) {
        return;
    }
    client_channel_context_t *ch = channel_of(CANmodule);
    const CANBackendOps *ops = g_backend_ops;
    CANDevice dev = device_handle_of(ch);
    if (ch != NULL && ops != NULL && dev != NULL) {
        flush_batch(CANmodule, ops, dev, ch->channelId.canChannel, "");
    }
}

/* One polling pass; with `readAdapter` false, frames are served from the
 * queue only. */
static void can_pass(CO_CANmodule_t *CANmodule, bool readAdapter) {
    if (CANmodule == NULL) {
        return;
    }
    client_channel_context_t *ch = channel_of(CANmodule);
    if (ch == NULL) {
        print_line(OSTRELO_LOG_ERROR, "chCtx is NULL!!!!!!!!!!\n");
        return;
    }
    if (ch->device_ctx == NULL) {
        print_line(OSTRELO_LOG_ERROR, "chCtx->device_ctx is NULL!!!!!!!!!!\n");
        return;
    }
    CANDevice dev = ch->device_ctx->device;
    if (dev == NULL) {
        print_line(OSTRELO_LOG_ERROR, "chCtx->device_ctx->device is NULL!!!!!!!!!!\n");
        return;
    }
    const CANBackendOps *ops = g_backend_ops;
    if (ops == NULL || ops->recv_multi == NULL) {
        print_line(OSTRELO_LOG_ERROR, "ops is NULL!!!!!!!!!!\n");
        return;
    }
    const uint32_t channel = ch->channelId.canChannel;

    /* Receive: serve the batch fetched earlier, or (when the adapter may be
     * read) fetch a new batch. */
    FixedQueue *q = &ch->rxQueue;
    bool haveFrame = false;
    CO_CANrxMsg_t frame;
    if (rx_queue_ready(q)) {
        if (q->count == 0u && readAdapter) {
            const int32_t got =
                ops->recv_multi(dev, channel, reinterpret_cast<CO_CANrxMsg_t *>(q->buffer), q->capacity);
            if (got > 0) {
                q->head = 0;
                q->count = (uint16_t)((uint32_t)got < q->capacity ? (uint32_t)got : q->capacity);
                q->tail = (uint16_t)(q->count % q->capacity);
            }
        }
        if (q->count > 0u) {
            rx_queue_take(q, &frame);
            haveFrame = true;
        }
    }

    /* Dispatch to the first matching filter only. The filters take standard
     * data frames: an identifier beyond 11 bits (a 29-bit frame, or one
     * carrying flags) must not be cut down to look like one. */
    if (haveFrame && CANmodule->rxArray != NULL && frame.ident <= 0x7FFu) {
        const uint32_t ident = frame.ident;
        for (uint16_t i = 0; i < CANmodule->rxSize; i++) {
            CO_CANrx_t *filter = &CANmodule->rxArray[i];
            if (((filter->ident ^ ident) & filter->mask) == 0u) {
                if (filter->CANrx_callback != NULL) {
                    filter->CANrx_callback(filter->object, &frame);
                }
                break;
            }
        }
    }

    /* Transmit: held frames that may go (the hold is over, or a frame waits
     * behind them) go first; then retry the first waiting buffer that can be
     * sent. */
    if (CANmodule->txBatchCount != 0u && (!CANmodule->txHold || CANmodule->CANtxCount != 0u) &&
        !flush_batch(CANmodule, ops, dev, channel, " in interrupt")) {
        return;
    }
    if (CANmodule->CANtxCount == 0u) {
        return;
    }
    CANmodule->firstCANtxMessage = false;
    CANmodule->bufferInhibitFlag = false;
    if (CANmodule->txArray != NULL && ops->send != NULL) {
        for (uint16_t i = 0; i < CANmodule->txSize; i++) {
            CO_CANtx_t *buffer = &CANmodule->txArray[i];
            if (!buffer->bufferFull) {
                continue;
            }
            CANmodule->bufferInhibitFlag = buffer->syncFlag;
            uint32_t id;
            uint8_t len, remote;
            unpack_tx(buffer, &id, &len, &remote);
            if (ops->send(dev, channel, id, remote, 0, buffer->data, len)) {
                buffer->bufferFull = false;
                CANmodule->CANtxCount--;
                return;
            }
            char line[112];
            snprintf(line, sizeof line, "[ERROR] Failed to send CAN message in interrupt: ID=0x%X, DLC=%u\n",
                     (unsigned)id, (unsigned)len);
            print_line(OSTRELO_LOG_ERROR, line);
        }
    }
    /* Nothing could be sent: the refused frames stay waiting for the next
     * pass (an adapter refuses while a node power-cycles or its queue is
     * full). Count what really waits, so a buffer set up anew is not
     * counted twice and a refused one is never forgotten. */
    uint16_t waiting = 0;
    if (CANmodule->txArray != NULL) {
        for (uint16_t i = 0; i < CANmodule->txSize; i++) {
            if (CANmodule->txArray[i].bufferFull) {
                waiting++;
            }
        }
    }
    CANmodule->CANtxCount = waiting;
}

void CO_CANinterrupt(CO_CANmodule_t *CANmodule) {
    can_pass(CANmodule, true);
}

void CO_CANinterruptQueued(CO_CANmodule_t *CANmodule) {
    can_pass(CANmodule, false);
}

void CO_CANmodule_disable(CO_CANmodule_t *CANmodule) {
    if (CANmodule == NULL) {
        return;
    }
    CO_CANtxDiscard(CANmodule);
    client_channel_context_t *ch = channel_of(CANmodule);
    if (ch != NULL) {
        device_manager_release_channel(ch->channelId.deviceType, ch->channelId.deviceIndex,
                                       ch->channelId.canChannel);
    }
    print_line(OSTRELO_LOG_INFO, "CAN module disabled\n");
}

CANDevice client_api_get_can_handle(CO_CANmodule_t *CANmodule) {
    if (CANmodule == NULL) {
        return NULL;
    }
    return device_handle_of(channel_of(CANmodule));
}

void CO_CANsetConfigurationMode(void *CANptr) {
    const client_channel_context_t *ch = static_cast<const client_channel_context_t *>(CANptr);
    uint32_t type = DEFAULT_DEVICE_TYPE, index = 0;
    if (ch != NULL && !client_channel_id_is_invalid(&ch->channelId)) {
        type = ch->channelId.deviceType;
        index = ch->channelId.deviceIndex;
    }
    for (uint32_t channel = 0; channel < CLIENT_MAX_CHANNELS; channel++) {
        device_manager_release_channel(type, index, channel);
    }
    print_line(OSTRELO_LOG_INFO, "CAN module set to configuration mode\n");
}

void CO_CANsetNormalMode(CO_CANmodule_t *CANmodule) {
    if (CANmodule == NULL) {
        return;
    }
    const client_channel_context_t *ch = channel_of(CANmodule);
    uint32_t type = DEFAULT_DEVICE_TYPE, index = 0, channel = 0;
    if (ch != NULL) {
        type = ch->channelId.deviceType;
        index = ch->channelId.deviceIndex;
        channel = ch->channelId.canChannel;
    }
    char line[128];
    if (device_manager_get_device(type, index, 1000) == NULL) {
        snprintf(line, sizeof line, "[WARNING] Failed to get CAN device (%u,%u)\n", type, index);
        print_line(OSTRELO_LOG_WARNING, line);
        return;
    }
    if (device_manager_init_channel(type, index, channel) == 0) {
        snprintf(line, sizeof line, "[WARNING] Failed to initialize CAN channel %u\n", channel);
        print_line(OSTRELO_LOG_WARNING, line);
        return;
    }
    if (device_manager_start_channel(type, index, channel) == 0) {
        snprintf(line, sizeof line, "[WARNING] Failed to start CAN channel %u\n", channel);
        print_line(OSTRELO_LOG_WARNING, line);
        return;
    }
    CANmodule->CANnormal = true;
    snprintf(line, sizeof line, "CAN device %u:%u channel %u started for normal mode\n", type, index,
             channel);
    print_line(OSTRELO_LOG_INFO, line);
    print_line(OSTRELO_LOG_INFO, "CAN module set to normal mode\n");
}

void CO_CANclearPendingSyncPDOs(CO_CANmodule_t *CANmodule) {
    if (CANmodule == NULL) {
        return;
    }
    bool tpdoDeleted = false;
    if (CANmodule->bufferInhibitFlag) {
        CANmodule->bufferInhibitFlag = false;
        tpdoDeleted = true;
    }
    if (CANmodule->txArray != NULL) {
        for (uint16_t i = 0; i < CANmodule->txSize; i++) {
            CO_CANtx_t *buffer = &CANmodule->txArray[i];
            if (buffer->bufferFull && buffer->syncFlag) {
                buffer->bufferFull = false;
                if (CANmodule->CANtxCount > 0u) {
                    CANmodule->CANtxCount--;
                }
                tpdoDeleted = true;
            }
        }
    }
    if (tpdoDeleted) {
        CANmodule->CANerrorStatus |= CO_CAN_ERRTX_PDO_LATE;
    }
}

void CO_CANmodule_process(CO_CANmodule_t *CANmodule) {
    if (CANmodule == NULL) {
        return;
    }
    if (CANmodule->errOld != 0u) {
        CANmodule->CANerrorStatus &= 0xFCF0u;
        CANmodule->errOld = 0;
    }
}

} // extern "C"
