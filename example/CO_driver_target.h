/* Target-specific types of the CANopen stack's CAN driver: frames, channel
 * identity, receive filters, transmit buffers and the CAN module record. */
#ifndef CO_DRIVER_TARGET_H
#define CO_DRIVER_TARGET_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef bool bool_t;

/* Identity of one CAN channel; all of type, index and channel 0xFFFFFFFF is the invalid identity. */
typedef struct {
    uint32_t deviceType;
    uint32_t deviceIndex;
    uint32_t canChannel;
    uint16_t bitrate; /* kbit/s */
} CO_CANdeviceConfig_t;

/* One classic CAN frame as received (and as used for raw frames). */
typedef struct {
    uint32_t ident;
    uint8_t DLC;
    uint8_t data[8];
} CO_CANrxMsg_t;

typedef enum {
    CO_ERROR_NO = 0,
    CO_ERROR_ILLEGAL_ARGUMENT = -1,
    CO_ERROR_OUT_OF_MEMORY = -2,
    CO_ERROR_TIMEOUT = -3,
    CO_ERROR_ILLEGAL_BAUDRATE = -4,
    CO_ERROR_RX_OVERFLOW = -5,
    CO_ERROR_RX_PDO_OVERFLOW = -6,
    CO_ERROR_RX_MSG_LENGTH = -7,
    CO_ERROR_RX_PDO_LENGTH = -8,
    CO_ERROR_TX_OVERFLOW = -9,
    CO_ERROR_TX_PDO_WINDOW = -10,
    CO_ERROR_TX_UNCONFIGURED = -11,
    CO_ERROR_OD_PARAMETERS = -12,
    CO_ERROR_DATA_CORRUPT = -13,
    CO_ERROR_CRC = -14,
    CO_ERROR_TX_BUSY = -15,
    CO_ERROR_WRONG_NMT_STATE = -16,
    CO_ERROR_SYSCALL = -17,
    CO_ERROR_INVALID_STATE = -18,
    CO_ERROR_NODE_ID_UNCONFIGURED_LSS = -19
} CO_ReturnError_t;

/* One receive filter. */
typedef struct {
    uint16_t ident; /* bits 0..10 identifier, bit 11 remote frame */
    uint16_t mask;  /* identifier mask, bit 11 always set */
    void *object;
    void (*CANrx_callback)(void *object, void *message);
} CO_CANrx_t;

/* One transmit buffer. */
typedef struct {
    uint32_t ident; /* bits 0..10 identifier, 11..14 length, 15 remote flag */
    uint8_t DLC;    /* not used; the length travels in ident */
    uint8_t data[8];
    volatile bool_t bufferFull;
    volatile bool_t syncFlag;
} CO_CANtx_t;

/* A frame held back to go to the adapter together with others. */
typedef struct {
    uint32_t id;
    uint8_t len;
    uint8_t remote;
    uint8_t data[8];
} CO_CANtxFrame_t;

/* Frames the driver holds back at most (CO_CANtxHold). */
#define CO_CAN_TX_BATCH 32u

/* The CAN module of one channel. */
typedef struct {
    void *CANptr; /* the owning client_channel_context_t */
    CO_CANrx_t *rxArray;
    uint16_t rxSize;
    CO_CANtx_t *txArray;
    uint16_t txSize;
    uint16_t CANerrorStatus;
    volatile bool_t CANnormal;
    volatile bool_t useCANrxFilters;
    volatile bool_t bufferInhibitFlag;
    volatile bool_t firstCANtxMessage;
    volatile uint16_t CANtxCount;
    uint32_t errOld;
    /* Frames sent while held, oldest first; they go to the adapter in one
     * hand-over when the hold ends or the batch is full. */
    CO_CANtxFrame_t txBatch[CO_CAN_TX_BATCH];
    uint16_t txBatchCount;
    bool_t txHold;
} CO_CANmodule_t;

#ifdef __cplusplus
}
#endif

#endif
