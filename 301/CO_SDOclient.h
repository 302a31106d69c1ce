/* SDO client (CiA 301): expedited, segmented and block download and upload
 * of one object of a remote node, as a non-blocking state machine. */
#ifndef CO_SDO_CLIENT_H
#define CO_SDO_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#include "CO_ODinterface.h"
#include "CO_driver.h"
#include "CO_driver_target.h"
#include "CO_fifo.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes the client's data FIFO holds. */
#define CO_CONFIG_SDO_CLI_BUFFER_SIZE 4096

typedef enum {
    CO_SDO_ST_IDLE = 0x00,
    CO_SDO_ST_ABORT = 0x01,
    CO_SDO_ST_DOWNLOAD_LOCAL_TRANSFER = 0x10,
    CO_SDO_ST_DOWNLOAD_INITIATE_REQ = 0x11,
    CO_SDO_ST_DOWNLOAD_INITIATE_RSP = 0x12,
    CO_SDO_ST_DOWNLOAD_SEGMENT_REQ = 0x13,
    CO_SDO_ST_DOWNLOAD_SEGMENT_RSP = 0x14,
    CO_SDO_ST_UPLOAD_LOCAL_TRANSFER = 0x20,
    CO_SDO_ST_UPLOAD_INITIATE_REQ = 0x21,
    CO_SDO_ST_UPLOAD_INITIATE_RSP = 0x22,
    CO_SDO_ST_UPLOAD_SEGMENT_REQ = 0x23,
    CO_SDO_ST_UPLOAD_SEGMENT_RSP = 0x24,
    CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ = 0x51,
    CO_SDO_ST_DOWNLOAD_BLK_INITIATE_RSP = 0x52,
    CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ = 0x53,
    CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP = 0x54,
    CO_SDO_ST_DOWNLOAD_BLK_END_REQ = 0x55,
    CO_SDO_ST_DOWNLOAD_BLK_END_RSP = 0x56,
    CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ = 0x61,
    CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP = 0x62,
    CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ2 = 0x63,
    CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ = 0x64,
    CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP = 0x65,
    CO_SDO_ST_UPLOAD_BLK_END_SREQ = 0x66,
    CO_SDO_ST_UPLOAD_BLK_END_CRSP = 0x67
} CO_SDO_state_t;

typedef enum {
    CO_SDO_RT_waitingLocalTransfer = 6,
    CO_SDO_RT_uploadDataBufferFull = 5,
    CO_SDO_RT_transmittBufferFull = 4,
    CO_SDO_RT_blockDownldInProgress = 3,
    CO_SDO_RT_blockUploadInProgress = 2,
    CO_SDO_RT_waitingResponse = 1,
    CO_SDO_RT_ok_communicationEnd = 0,
    CO_SDO_RT_wrongArguments = -2,
    CO_SDO_RT_endedWithClientAbort = -9,
    CO_SDO_RT_endedWithServerAbort = -10
} CO_SDO_return_t;

/* SDO abort code. A server may send any 32-bit value, which is passed on
 * unchanged, so the type is a plain 32-bit integer with named values. */
typedef uint32_t CO_SDO_abortCode_t;

#define CO_SDO_AB_NONE 0x00000000u
#define CO_SDO_AB_TOGGLE_BIT 0x05030000u
#define CO_SDO_AB_TIMEOUT 0x05040000u
#define CO_SDO_AB_CMD 0x05040001u
#define CO_SDO_AB_BLOCK_SIZE 0x05040002u
#define CO_SDO_AB_SEQ_NUM 0x05040003u
#define CO_SDO_AB_CRC 0x05040004u
#define CO_SDO_AB_OUT_OF_MEM 0x05040005u
#define CO_SDO_AB_UNSUPPORTED_ACCESS 0x06010000u
#define CO_SDO_AB_WRITEONLY 0x06010001u
#define CO_SDO_AB_READONLY 0x06010002u
#define CO_SDO_AB_NOT_EXIST 0x06020000u
#define CO_SDO_AB_NO_MAP 0x06040041u
#define CO_SDO_AB_MAP_LEN 0x06040042u
#define CO_SDO_AB_PRAM_INCOMPAT 0x06040043u
#define CO_SDO_AB_DEVICE_INCOMPAT 0x06040047u
#define CO_SDO_AB_HW 0x06060000u
#define CO_SDO_AB_TYPE_MISMATCH 0x06070010u
#define CO_SDO_AB_DATA_LONG 0x06070012u
#define CO_SDO_AB_DATA_SHORT 0x06070013u
#define CO_SDO_AB_SUB_UNKNOWN 0x06090011u
#define CO_SDO_AB_INVALID_VALUE 0x06090030u
#define CO_SDO_AB_VALUE_HIGH 0x06090031u
#define CO_SDO_AB_VALUE_LOW 0x06090032u
#define CO_SDO_AB_MAX_LESS_MIN 0x06090036u
#define CO_SDO_AB_NO_RESOURCE 0x060A0023u
#define CO_SDO_AB_GENERAL 0x08000000u
#define CO_SDO_AB_DATA_TRANSF 0x08000020u
#define CO_SDO_AB_DATA_LOC_CTRL 0x08000021u
#define CO_SDO_AB_DATA_DEV_STATE 0x08000022u
#define CO_SDO_AB_DATA_OD 0x08000023u
#define CO_SDO_AB_NO_DATA 0x08000024u

typedef struct {
    CO_CANmodule_t *CANdevRx; /* module and receive-filter index for responses */
    uint16_t CANdevRxIdx;
    CO_CANmodule_t *CANdevTx; /* module and transmit-buffer index for requests */
    uint16_t CANdevTxIdx;
    CO_CANtx_t *CANtxBuff;        /* the one request buffer */
    uint8_t nodeIDOfTheSDOServer; /* kept, not used in frames */
    bool_t valid;                 /* both COB-IDs usable */
    uint16_t index;
    uint8_t subIndex;
    bool_t finished; /* last data handed to CAN (download) or received (upload) */
    size_t sizeInd;  /* size indicated, 0 = not indicated */
    size_t sizeTran; /* bytes transferred so far */
    CO_SDO_state_t state;
    uint32_t SDOtimeoutTime_us;
    uint32_t timeoutTimer;
    CO_fifo_t bufFifo;
    uint8_t buf[CO_CONFIG_SDO_CLI_BUFFER_SIZE + 1];
    volatile bool_t CANrxNew; /* a response waits in CANrxData */
    uint8_t CANrxData[8];
    uint8_t toggle; /* 0x00 or 0x10 */
    uint32_t block_SDOtimeoutTime_us;
    uint32_t block_timeoutTimer;
    /* Block download: the limit of each sub-block's acknowledge; 0: SDOtimeoutTime_us. */
    uint32_t block_ackTimeoutTime_us;
    uint8_t block_seqno;   /* last sent (download) or correctly received (upload) */
    uint8_t block_blksize; /* segments per sub-block */
    uint8_t block_noData;  /* bytes of the last sent segment without data */
    bool_t block_crcEnabled;
    uint8_t block_dataUploadLast[7];
    uint16_t block_crc;
    /* Code of an abort decided in a step that could not send the abort
     * frame yet (request buffer still full); sent with the frame later. */
    CO_SDO_abortCode_t abortCodePending;
    bool_t sizeIndKnown;   /* upload: the server indicated a size (which may be 0) */
    uint16_t cobIdS2C;     /* identifier the responses come from */
    bool_t block_endSent;  /* block upload: the end confirmation was handed to CAN */
    bool_t block_ackValid; /* block download: block_lastAck holds the last handled acknowledge */
    uint8_t block_lastAck[3];
    /* Requests that were given up while their server could still answer:
     * those late answers must not be taken for the answer to the next request
     * to the same server. staleCount answers may still come from the server
     * answering on staleCobId, for the object and direction given. */
    uint8_t staleCount;
    uint16_t staleCobId;
    uint16_t staleIndex;
    uint8_t staleSubIndex;
    bool_t staleUpload;
} CO_SDOclient_t;

/* Binds the client to its CAN module(s) and sets it up from the SDO client
 * parameter entry (0x1280..0x12FF). `OD` and `nodeId` are not consulted. */
CO_ReturnError_t CO_SDOclient_init(CO_SDOclient_t *SDO_C, const OD_t *OD, const OD_entry_t *OD_1280_SDOcliPar,
                                   uint8_t nodeId, CO_CANmodule_t *CANdevRx, uint16_t CANdevRxIdx,
                                   CO_CANmodule_t *CANdevTx, uint16_t CANdevTxIdx, uint32_t *errInfo);

/* Aims the client at a server; COB-IDs with bit 31 set make it not valid.
 * A transfer left open (its caller gave up while the server could still
 * answer) is aborted towards its server first, and its late answer is kept
 * from ending the next transfer. */
CO_SDO_return_t CO_SDOclient_setup(CO_SDOclient_t *SDO_C, uint32_t COB_IDClientToServer,
                                   uint32_t COB_IDServerToClient, uint8_t nodeIDOfTheSDOServer);

/* Receive-filter callback: `msg` is a CO_CANrxMsg_t. */
void CO_SDOclient_receive(void *object, void *msg);

CO_SDO_return_t CO_SDOclientDownloadInitiate(CO_SDOclient_t *SDO_C, uint16_t index, uint8_t subIndex,
                                             size_t sizeIndicated, uint16_t SDOtimeoutTime_ms,
                                             bool_t blockEnable);

void CO_SDOclientDownloadInitSize(CO_SDOclient_t *SDO_C, size_t sizeIndicated);

/* Block download: each sub-block's acknowledge is awaited at most
 * `timeout_ms` (0: the response time-out of the initiate). The initiate's and
 * the end's answers keep the initiate's time-out, which may be long (a server
 * that erases its flash before it answers the initiate, or commits it before
 * it answers the end), while a lost acknowledge is noticed soon. Call after
 * CO_SDOclientDownloadInitiate, which clears it. */
void CO_SDOclientDownloadSetBlockAckTimeout(CO_SDOclient_t *SDO_C, uint16_t timeout_ms);

/* The response time-out in force in the client's present state, in
 * microseconds (the timer `timeoutTimer` counts towards it). */
uint32_t CO_SDOclientResponseTimeout_us(const CO_SDOclient_t *SDO_C);

/* Bytes of `buf` accepted into the FIFO. */
size_t CO_SDOclientDownloadBufWrite(CO_SDOclient_t *SDO_C, const uint8_t *buf, size_t count);

CO_SDO_return_t CO_SDOclientDownload(CO_SDOclient_t *SDO_C, uint32_t timeDifference_us, bool_t send_abort,
                                     bool_t bufferPartial, CO_SDO_abortCode_t *SDOabortCode,
                                     size_t *sizeTransferred, uint32_t *timerNext_us);

CO_SDO_return_t CO_SDOclientUploadInitiate(CO_SDOclient_t *SDO_C, uint16_t index, uint8_t subIndex,
                                           uint16_t SDOtimeoutTime_ms, bool_t blockEnable);

CO_SDO_return_t CO_SDOclientUpload(CO_SDOclient_t *SDO_C, uint32_t timeDifference_us, bool_t send_abort,
                                   CO_SDO_abortCode_t *SDOabortCode, size_t *sizeIndicated,
                                   size_t *sizeTransferred, uint32_t *timerNext_us);

/* Bytes taken from the FIFO into `buf`. */
size_t CO_SDOclientUploadBufRead(CO_SDOclient_t *SDO_C, uint8_t *buf, size_t count);

/* Forces the client idle without sending anything. */
void CO_SDOclientClose(CO_SDOclient_t *SDO_C);

#ifdef __cplusplus
}
#endif

#endif
