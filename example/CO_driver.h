/* CAN module driver of the CANopen stack: binds receive filters and transmit
 * buffers of one channel to an adapter channel and serves them by polling. */
#ifndef CO_DRIVER_H
#define CO_DRIVER_H

#include <stdint.h>

#include "CO_driver_target.h"
#include "can_backend.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error bits of CANerrorStatus. */
#define CO_CAN_ERRTX_OVERFLOW 0x0008u
#define CO_CAN_ERRTX_PDO_LATE 0x0080u

/* Receive-callback signature: `message` is a CO_CANrxMsg_t. */
typedef void (*CO_CANrx_callback_t)(void *object, void *message);

static inline uint16_t CO_CANrxMsg_readIdent(const void *rxMsg) {
    return (uint16_t)(((const CO_CANrxMsg_t *)rxMsg)->ident & 0x7FFu);
}
static inline uint8_t CO_CANrxMsg_readDLC(const void *rxMsg) {
    return ((const CO_CANrxMsg_t *)rxMsg)->DLC;
}
static inline const uint8_t *CO_CANrxMsg_readData(const void *rxMsg) {
    return ((const CO_CANrxMsg_t *)rxMsg)->data;
}

/* Sets the module up over the channel context `CANptr` (a
 * client_channel_context_t, or none) and opens and starts its adapter
 * channel through the device manager. */
CO_ReturnError_t CO_CANmodule_init(CO_CANmodule_t *CANmodule, void *CANptr, CO_CANrx_t rxArray[],
                                   uint16_t rxSize, CO_CANtx_t txArray[], uint16_t txSize,
                                   uint16_t CANbitRate);

CO_ReturnError_t CO_CANrxBufferInit(CO_CANmodule_t *CANmodule, uint16_t index, uint16_t ident, uint16_t mask,
                                    bool_t rtr, void *object, CO_CANrx_callback_t CANrx_callback);

CO_CANtx_t *CO_CANtxBufferInit(CO_CANmodule_t *CANmodule, uint16_t index, uint16_t ident, bool_t rtr,
                               uint8_t noOfBytes, bool_t syncFlag);

CO_ReturnError_t CO_CANsend(CO_CANmodule_t *CANmodule, CO_CANtx_t *buffer);

/* One polling pass: at most one received frame dispatched and at most one
 * pending transmission retried. */
void CO_CANinterrupt(CO_CANmodule_t *CANmodule);

/* The same pass without asking the adapter for frames when none are queued:
 * for a caller that streams frames and expects no answer within the stream
 * (a sub-block of a block download), where each look at the adapter is a
 * system call. Frames fetched earlier are still dispatched, and a pending
 * transmission is still retried. */
void CO_CANinterruptQueued(CO_CANmodule_t *CANmodule);

/* Holds frames back (hold true): CO_CANsend collects them, and they go to the
 * adapter together when the batch is full or the hold ends (hold false sends
 * them at once). For a caller that streams frames (a sub-block of a block
 * download), where each hand-over to the adapter is a system call. Frames
 * keep their order; a pass of CO_CANinterrupt sends held frames once the
 * hold is over. */
void CO_CANtxHold(CO_CANmodule_t *CANmodule, bool_t hold);

/* Ends a hold and drops the frames held (those of a transfer that has
 * ended: the node aborted it, or the caller gave up). */
void CO_CANtxDiscard(CO_CANmodule_t *CANmodule);

void CO_CANmodule_disable(CO_CANmodule_t *CANmodule);

/* Backend handle of the module's adapter, or none. */
CANDevice client_api_get_can_handle(CO_CANmodule_t *CANmodule);

/* Bit rate (kbit/s) the adapter is opened with for a requested bit rate. */
uint32_t convert_bitrate_to_zhcx(uint16_t bitrate);

void CO_CANsetConfigurationMode(void *CANptr);
void CO_CANsetNormalMode(CO_CANmodule_t *CANmodule);
void CO_CANclearPendingSyncPDOs(CO_CANmodule_t *CANmodule);
void CO_CANmodule_process(CO_CANmodule_t *CANmodule);

#ifdef __cplusplus
}
#endif

#endif
