#include "CO_SDOclient.h"
#include "ostrelo_log.h"

#include <stdio.h>
#include <string.h>

#include "crc16-ccitt.h"

namespace {

/* Segments per sub-block are limited to 7 bits: bit 7 of a segment's first
 * byte marks the last segment of the transfer. */
const uint8_t BLOCK_SIZE_MAX = 127;

/* Data size up to which a block download falls back to expedited or
 * segmented transfer, as announced to a block-uploading server. */
const uint8_t BLOCK_PROTOCOL_SWITCH = 21;

uint32_t get_u32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t get_u16(const uint8_t *p) {
    return (uint16_t)((uint16_t)p[0] | ((uint16_t)p[1] << 8));
}

void put_u32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

void put_u16(uint8_t *p, uint16_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
}

uint8_t clamp_block_size(uint8_t blksize) {
    return (blksize == 0u || blksize > BLOCK_SIZE_MAX) ? BLOCK_SIZE_MAX : blksize;
}

bool_t client_usable(const CO_SDOclient_t *SDO_C) {
    return SDO_C != NULL && SDO_C->valid && SDO_C->CANtxBuff != NULL && SDO_C->CANdevTx != NULL;
}

/* Does the response echo the object being transferred? */
bool_t echoes_object(const CO_SDOclient_t *SDO_C) {
    return get_u16(&SDO_C->CANrxData[1]) == SDO_C->index && SDO_C->CANrxData[3] == SDO_C->subIndex;
}

void put_object(CO_SDOclient_t *SDO_C, uint8_t *data) {
    put_u16(&data[1], SDO_C->index);
    data[3] = SDO_C->subIndex;
}

void send_request(CO_SDOclient_t *SDO_C) {
    SDO_C->timeoutTimer = 0;
    CO_CANsend(SDO_C->CANdevTx, SDO_C->CANtxBuff);
}

/* Sends the abort frame and ends the transfer. */
void send_abort_frame(CO_SDOclient_t *SDO_C, CO_SDO_abortCode_t abortCode) {
    uint8_t *data = SDO_C->CANtxBuff->data;
    memset(data, 0, 8);
    data[0] = 0x80;
    put_object(SDO_C, data);
    put_u32(&data[4], abortCode);
    CO_CANsend(SDO_C->CANdevTx, SDO_C->CANtxBuff);
    SDO_C->state = CO_SDO_ST_IDLE;
}

void print_line(const char *line) {
    ostrelo_log_text(OSTRELO_LOG_DEBUG, line);
}

/* Sets up a transfer of one object; the caller picks the first state. */
void start_transfer(CO_SDOclient_t *SDO_C, uint16_t index, uint8_t subIndex, size_t sizeIndicated,
                    uint16_t SDOtimeoutTime_ms) {
    SDO_C->index = index;
    SDO_C->subIndex = subIndex;
    SDO_C->sizeInd = sizeIndicated;
    SDO_C->sizeTran = 0;
    SDO_C->finished = false;
    SDO_C->SDOtimeoutTime_us = (uint32_t)SDOtimeoutTime_ms * 1000u;
    SDO_C->block_ackTimeoutTime_us = 0;
    SDO_C->timeoutTimer = 0;
    SDO_C->sizeIndKnown = false;
    SDO_C->block_endSent = false;
    SDO_C->block_ackValid = false;
    CO_fifo_reset(&SDO_C->bufFifo);
    SDO_C->bufFifo.altReadPtr = 0;
}

/* Adds without wrapping: a long gap between two steps (a suspended machine)
 * must expire a timer, not wrap it back to a small value. */
void timer_add(uint32_t *timer, uint32_t add) {
    *timer = add > 0xFFFFFFFFu - *timer ? 0xFFFFFFFFu : *timer + add;
}

/* Advances the response timer; true once the response is overdue. */
bool_t response_overdue(CO_SDOclient_t *SDO_C, uint32_t timeDifference_us) {
    const uint32_t limit = CO_SDOclientResponseTimeout_us(SDO_C);
    if (SDO_C->timeoutTimer < limit) {
        timer_add(&SDO_C->timeoutTimer, timeDifference_us);
    }
    return SDO_C->timeoutTimer >= limit;
}

bool_t is_upload_state(CO_SDO_state_t st) {
    return (st >= CO_SDO_ST_UPLOAD_INITIATE_REQ && st <= CO_SDO_ST_UPLOAD_SEGMENT_RSP) ||
           (st >= CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ && st <= CO_SDO_ST_UPLOAD_BLK_END_CRSP);
}

/* States before the first request of a transfer has gone out. */
bool_t is_unsent_state(CO_SDO_state_t st) {
    return st == CO_SDO_ST_DOWNLOAD_INITIATE_REQ || st == CO_SDO_ST_UPLOAD_INITIATE_REQ ||
           st == CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ || st == CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ;
}

bool_t is_initiate_response_state(CO_SDO_state_t st) {
    return st == CO_SDO_ST_DOWNLOAD_INITIATE_RSP || st == CO_SDO_ST_UPLOAD_INITIATE_RSP ||
           st == CO_SDO_ST_DOWNLOAD_BLK_INITIATE_RSP || st == CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP;
}

/* The transfer is given up while its server may still answer: remember it. */
void mark_stale(CO_SDOclient_t *SDO_C, bool_t upload) {
    const bool_t again = SDO_C->staleCount > 0u && SDO_C->staleCobId == SDO_C->cobIdS2C &&
                         SDO_C->staleIndex == SDO_C->index && SDO_C->staleSubIndex == SDO_C->subIndex &&
                         SDO_C->staleUpload == upload;
    SDO_C->staleCount = again ? (uint8_t)(SDO_C->staleCount < 8u ? SDO_C->staleCount + 1u : 8u) : 1u;
    SDO_C->staleCobId = SDO_C->cobIdS2C;
    SDO_C->staleIndex = SDO_C->index;
    SDO_C->staleSubIndex = SDO_C->subIndex;
    SDO_C->staleUpload = upload;
}

bool_t frame_echoes(const uint8_t *data, uint16_t index, uint8_t subIndex) {
    return get_u16(&data[1]) == index && data[3] == subIndex;
}

/* Is `data` a proper answer to the initiate request just sent? */
bool_t answers_initiate(const CO_SDOclient_t *SDO_C, const uint8_t *data) {
    if (!frame_echoes(data, SDO_C->index, SDO_C->subIndex)) {
        return false;
    }
    switch (SDO_C->state) {
    case CO_SDO_ST_DOWNLOAD_INITIATE_RSP:
        return data[0] == 0x60u;
    case CO_SDO_ST_UPLOAD_INITIATE_RSP:
        return (data[0] & 0xF0u) == 0x40u;
    case CO_SDO_ST_DOWNLOAD_BLK_INITIATE_RSP:
        return (data[0] & 0xFBu) == 0xA0u;
    case CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP:
        return (data[0] & 0xF9u) == 0xC0u || (data[0] & 0xF0u) == 0x40u;
    default:
        return false;
    }
}

/* While answers to abandoned requests may still come, decides whether a
 * frame of that server is one of them (true: drop it). A server answers in
 * order, so once it answered the current request nothing older can follow.
 * An answer that fits both the current and an abandoned request (the same
 * question asked again) is taken: it answers the question either way. */
bool_t is_stale_answer(CO_SDOclient_t *SDO_C, const uint8_t *data) {
    if (SDO_C->staleCount == 0u || SDO_C->staleCobId != SDO_C->cobIdS2C) {
        return false;
    }
    const CO_SDO_state_t st = SDO_C->state;
    if (!is_initiate_response_state(st) && st != CO_SDO_ST_IDLE && !is_unsent_state(st)) {
        return false;
    }
    const bool_t sameRequest = SDO_C->staleIndex == SDO_C->index && SDO_C->staleSubIndex == SDO_C->subIndex &&
                               SDO_C->staleUpload == is_upload_state(st);
    bool_t stale;
    if (st == CO_SDO_ST_IDLE || is_unsent_state(st)) {
        stale = true; /* nothing asked yet */
    } else if (answers_initiate(SDO_C, data)) {
        stale = false;
    } else if (data[0] != 0x80u) {
        stale = true; /* not an answer to this request */
    } else {
        /* An abort ends this request unless it names the abandoned one and
         * could not be meant for this one (another object or direction). */
        stale = frame_echoes(data, SDO_C->staleIndex, SDO_C->staleSubIndex) && !sameRequest;
    }
    if (stale) {
        SDO_C->staleCount--;
    } else if (!sameRequest) {
        SDO_C->staleCount = 0; /* the answer to this request: nothing older follows */
    }
    return stale;
}

/* A transfer that its caller left open while the server could still answer:
 * tell the server (it would otherwise stay in the transfer, answering
 * nothing else) and keep its late answer from ending the next transfer. */
void abandon_open_transfer(CO_SDOclient_t *SDO_C) {
    const CO_SDO_state_t st = SDO_C->state;
    if (!SDO_C->valid || SDO_C->CANtxBuff == NULL || SDO_C->CANdevTx == NULL || st == CO_SDO_ST_IDLE ||
        is_unsent_state(st)) {
        return;
    }
    if (st != CO_SDO_ST_ABORT) {
        mark_stale(SDO_C, is_upload_state(st));
    }
    send_abort_frame(SDO_C, st == CO_SDO_ST_ABORT ? SDO_C->abortCodePending : CO_SDO_AB_TIMEOUT);
}

/* The start of every download or upload step. Returns false (with the abort
 * code to report already set) when the client cannot be used. */
bool_t begin_step(const CO_SDOclient_t *SDO_C, CO_SDO_abortCode_t *SDOabortCode,
                  CO_SDO_abortCode_t *abortCode) {
    if (!client_usable(SDO_C)) {
        if (SDOabortCode != NULL) {
            *SDOabortCode = CO_SDO_AB_DEVICE_INCOMPAT;
        }
        return false;
    }
    if (SDO_C->state == CO_SDO_ST_ABORT) {
        /* The abort frame could not go out last time: keep its code, so the
         * transfer does not end with code 0 as if it had succeeded. */
        *abortCode = SDO_C->abortCodePending;
    }
    return true;
}

/* What a new response means before the state machine looks at it: a server
 * abort ends the transfer, a requested abort or one still to be sent wins.
 * Returns true when the response is left to the current state. */
bool_t response_for_state(CO_SDOclient_t *SDO_C, bool_t send_abort, CO_SDO_abortCode_t requestedAbort,
                          CO_SDO_abortCode_t *abortCode, CO_SDO_return_t *ret) {
    const uint8_t *rx = SDO_C->CANrxData;
    if (rx[0] == 0x80u) {
        *abortCode = get_u32(&rx[4]);
        SDO_C->state = CO_SDO_ST_IDLE;
        *ret = CO_SDO_RT_endedWithServerAbort;
        return false;
    }
    if (send_abort) {
        *abortCode = requestedAbort;
        SDO_C->state = CO_SDO_ST_ABORT;
        return false;
    }
    /* In the abort state the frame is still to go out; a late response
     * changes nothing. */
    return SDO_C->state != CO_SDO_ST_ABORT;
}

/* The end of every download or upload step: a pending abort goes out, a
 * running sub-block is reported as such, and the results are handed back. */
CO_SDO_return_t end_step(CO_SDOclient_t *SDO_C, CO_SDO_return_t ret, CO_SDO_abortCode_t abortCode,
                         CO_SDO_state_t subblockState, CO_SDO_return_t subblockRet,
                         CO_SDO_abortCode_t *SDOabortCode, size_t *sizeTransferred) {
    if (ret == CO_SDO_RT_waitingResponse) {
        if (SDO_C->state == CO_SDO_ST_ABORT) {
            send_abort_frame(SDO_C, abortCode);
            ret = CO_SDO_RT_endedWithClientAbort;
        } else if (SDO_C->state == subblockState) {
            ret = subblockRet;
        }
    }

    if (SDO_C->state == CO_SDO_ST_ABORT) {
        SDO_C->abortCodePending = abortCode;
    }
    if (SDOabortCode != NULL) {
        *SDOabortCode = abortCode;
    }
    if (sizeTransferred != NULL) {
        *sizeTransferred = SDO_C->sizeTran;
    }
    return ret;
}

} // namespace

extern "C" {

CO_ReturnError_t CO_SDOclient_init(CO_SDOclient_t *SDO_C, const OD_t *OD, const OD_entry_t *OD_1280_SDOcliPar,
                                   uint8_t nodeId, CO_CANmodule_t *CANdevRx, uint16_t CANdevRxIdx,
                                   CO_CANmodule_t *CANdevTx, uint16_t CANdevTxIdx, uint32_t *errInfo) {
    (void)OD;
    (void)nodeId;
    if (SDO_C == NULL || OD_1280_SDOcliPar == NULL || OD_1280_SDOcliPar->index < 0x1280u ||
        OD_1280_SDOcliPar->index > 0x12FFu || CANdevRx == NULL || CANdevTx == NULL) {
        return CO_ERROR_ILLEGAL_ARGUMENT;
    }
    SDO_C->CANdevRx = CANdevRx;
    SDO_C->CANdevRxIdx = CANdevRxIdx;
    SDO_C->CANdevTx = CANdevTx;
    SDO_C->CANdevTxIdx = CANdevTxIdx;
    CO_fifo_init(&SDO_C->bufFifo, SDO_C->buf, sizeof(SDO_C->buf));
    SDO_C->bufFifo.altReadPtr = 0;

    uint8_t maxSubIndex = 0;
    uint32_t cobIdClientToServer = 0;
    uint32_t cobIdServerToClient = 0;
    uint8_t nodeIdOfServer = 0;
    const ODR_t odRet0 = OD_get_u8(OD_1280_SDOcliPar, 0, &maxSubIndex, true);
    const ODR_t odRet1 = OD_get_u32(OD_1280_SDOcliPar, 1, &cobIdClientToServer, true);
    const ODR_t odRet2 = OD_get_u32(OD_1280_SDOcliPar, 2, &cobIdServerToClient, true);
    const ODR_t odRet3 = OD_get_u8(OD_1280_SDOcliPar, 3, &nodeIdOfServer, true);
    if (odRet0 != ODR_OK || maxSubIndex != 3u || odRet1 != ODR_OK || odRet2 != ODR_OK || odRet3 != ODR_OK) {
        if (errInfo != NULL) {
            *errInfo = OD_1280_SDOcliPar->index;
        }
        return CO_ERROR_OD_PARAMETERS;
    }
    const CO_SDO_return_t ret =
        CO_SDOclient_setup(SDO_C, cobIdClientToServer, cobIdServerToClient, nodeIdOfServer);
    return ret == CO_SDO_RT_ok_communicationEnd ? CO_ERROR_NO : CO_ERROR_ILLEGAL_ARGUMENT;
}

CO_SDO_return_t CO_SDOclient_setup(CO_SDOclient_t *SDO_C, uint32_t COB_IDClientToServer,
                                   uint32_t COB_IDServerToClient, uint8_t nodeIDOfTheSDOServer) {
    if (SDO_C == NULL) {
        return CO_SDO_RT_wrongArguments;
    }
    abandon_open_transfer(SDO_C);
    SDO_C->state = CO_SDO_ST_IDLE;
    SDO_C->CANrxNew = false;
    SDO_C->nodeIDOfTheSDOServer = nodeIDOfTheSDOServer;

    uint16_t idC2S = 0;
    uint16_t idS2C = 0;
    if ((COB_IDClientToServer & 0x80000000u) == 0u && (COB_IDServerToClient & 0x80000000u) == 0u &&
        (COB_IDClientToServer & 0x7FFu) != 0u && (COB_IDServerToClient & 0x7FFu) != 0u) {
        idC2S = (uint16_t)(COB_IDClientToServer & 0x7FFu);
        idS2C = (uint16_t)(COB_IDServerToClient & 0x7FFu);
        SDO_C->valid = true;
        SDO_C->cobIdS2C = idS2C;
    } else {
        SDO_C->valid = false;
    }

    const CO_ReturnError_t rxRet = CO_CANrxBufferInit(SDO_C->CANdevRx, SDO_C->CANdevRxIdx, idS2C, 0x7FF,
                                                      false, SDO_C, CO_SDOclient_receive);
    SDO_C->CANtxBuff = CO_CANtxBufferInit(SDO_C->CANdevTx, SDO_C->CANdevTxIdx, idC2S, false, 8, false);
    if (rxRet != CO_ERROR_NO || SDO_C->CANtxBuff == NULL) {
        SDO_C->valid = false;
        return CO_SDO_RT_wrongArguments;
    }
    return CO_SDO_RT_ok_communicationEnd;
}

void CO_SDOclient_receive(void *object, void *msg) {
    CO_SDOclient_t *SDO_C = static_cast<CO_SDOclient_t *>(object);
    const CO_CANrxMsg_t *rx = static_cast<const CO_CANrxMsg_t *>(msg);
    if (SDO_C == NULL || rx == NULL || rx->DLC != 8u) {
        return;
    }
    const uint8_t *data = rx->data;
    if (is_stale_answer(SDO_C, data) || SDO_C->state == CO_SDO_ST_IDLE) {
        return;
    }
    if (SDO_C->state == CO_SDO_ST_UPLOAD_BLK_END_CRSP) {
        /* The upload is complete and checked; only its confirmation is still
         * to leave. Nothing the server sends now may turn that into an
         * abort sent after the confirmation. */
        return;
    }
    if (SDO_C->block_ackValid && data[0] == 0xA2u && memcmp(data, SDO_C->block_lastAck, 3) == 0 &&
        (SDO_C->state == CO_SDO_ST_DOWNLOAD_BLK_END_REQ || SDO_C->state == CO_SDO_ST_DOWNLOAD_BLK_END_RSP ||
         data[1] > SDO_C->block_seqno)) {
        return; /* the acknowledge just handled, delivered twice by the bus */
    }
    const bool_t isAbort = data[0] == 0x80u;
    if (SDO_C->CANrxNew && !isAbort) {
        return; /* only an abort may replace a response not yet handled */
    }
    if (isAbort || (SDO_C->state != CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ &&
                    SDO_C->state != CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP)) {
        memcpy(SDO_C->CANrxData, data, 8);
        SDO_C->CANrxNew = true;
        return;
    }
    if (SDO_C->state != CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ) {
        return; /* waiting to confirm: segments are not taken now */
    }

    /* A block upload segment, taken at once. */
    SDO_C->block_timeoutTimer = 0;
    SDO_C->timeoutTimer = 0;
    const uint8_t seqno = (uint8_t)(data[0] & 0x7Fu);
    if (seqno <= SDO_C->block_blksize && seqno == (uint8_t)(SDO_C->block_seqno + 1u)) {
        if ((data[0] & 0x80u) != 0u) {
            SDO_C->block_seqno = seqno;
            memcpy(SDO_C->block_dataUploadLast, &data[1], 7);
            SDO_C->finished = true;
            SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP;
        } else if (CO_fifo_getSpace(&SDO_C->bufFifo) < 7u) {
            /* No room (the sub-block was larger than asked for): confirm up
             * to here, so the server sends this segment again later. */
            SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP;
        } else {
            SDO_C->block_seqno = seqno;
            CO_fifo_write(&SDO_C->bufFifo, &data[1], 7, &SDO_C->block_crc);
            SDO_C->sizeTran += 7;
            if (seqno == SDO_C->block_blksize) {
                SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP;
            }
        }
    } else if (seqno != SDO_C->block_seqno && SDO_C->block_seqno != 0u) {
        /* A gap: confirm the last good segment so the server resends. */
        SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP;
    }
    if (SDO_C->state == CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP) {
        SDO_C->CANrxNew = false;
    }
}

CO_SDO_return_t CO_SDOclientDownloadInitiate(CO_SDOclient_t *SDO_C, uint16_t index, uint8_t subIndex,
                                             size_t sizeIndicated, uint16_t SDOtimeoutTime_ms,
                                             bool_t blockEnable) {
    if (!client_usable(SDO_C)) {
        return CO_SDO_RT_wrongArguments;
    }
    start_transfer(SDO_C, index, subIndex, sizeIndicated, SDOtimeoutTime_ms);
    SDO_C->CANrxNew = false;
    if (blockEnable && (sizeIndicated == 0u || sizeIndicated > BLOCK_PROTOCOL_SWITCH)) {
        SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ;
    } else {
        SDO_C->state = CO_SDO_ST_DOWNLOAD_INITIATE_REQ;
    }
    return CO_SDO_RT_ok_communicationEnd;
}

void CO_SDOclientDownloadInitSize(CO_SDOclient_t *SDO_C, size_t sizeIndicated) {
    if (SDO_C == NULL) {
        return;
    }
    SDO_C->sizeInd = sizeIndicated;
    if (SDO_C->state == CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ && sizeIndicated > 0u &&
        sizeIndicated <= BLOCK_PROTOCOL_SWITCH) {
        SDO_C->state = CO_SDO_ST_DOWNLOAD_INITIATE_REQ;
    }
}

void CO_SDOclientDownloadSetBlockAckTimeout(CO_SDOclient_t *SDO_C, uint16_t timeout_ms) {
    if (SDO_C != NULL) {
        SDO_C->block_ackTimeoutTime_us = (uint32_t)timeout_ms * 1000u;
    }
}

uint32_t CO_SDOclientResponseTimeout_us(const CO_SDOclient_t *SDO_C) {
    if (SDO_C == NULL) {
        return 0;
    }
    const bool_t subBlock = SDO_C->state == CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ ||
                            SDO_C->state == CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP;
    return subBlock && SDO_C->block_ackTimeoutTime_us != 0 ? SDO_C->block_ackTimeoutTime_us
                                                           : SDO_C->SDOtimeoutTime_us;
}

size_t CO_SDOclientDownloadBufWrite(CO_SDOclient_t *SDO_C, const uint8_t *buf, size_t count) {
    if (SDO_C == NULL || buf == NULL) {
        return 0;
    }
    return CO_fifo_write(&SDO_C->bufFifo, buf, count, NULL);
}

CO_SDO_return_t CO_SDOclientDownload(CO_SDOclient_t *SDO_C, uint32_t timeDifference_us, bool_t send_abort,
                                     bool_t bufferPartial, CO_SDO_abortCode_t *SDOabortCode,
                                     size_t *sizeTransferred, uint32_t *timerNext_us) {
    (void)timerNext_us;
    CO_SDO_return_t ret = CO_SDO_RT_waitingResponse;
    CO_SDO_abortCode_t abortCode = CO_SDO_AB_NONE;
    const CO_SDO_abortCode_t requestedAbort =
        SDOabortCode != NULL ? *SDOabortCode : CO_SDO_AB_DEVICE_INCOMPAT;

    if (!begin_step(SDO_C, SDOabortCode, &abortCode)) {
        return CO_SDO_RT_wrongArguments;
    }

    if (SDO_C->state == CO_SDO_ST_IDLE) {
        ret = CO_SDO_RT_ok_communicationEnd;
    } else if (SDO_C->CANrxNew) {
        const uint8_t *rx = SDO_C->CANrxData;
        if (response_for_state(SDO_C, send_abort, requestedAbort, &abortCode, &ret)) {
            switch (SDO_C->state) {
            case CO_SDO_ST_DOWNLOAD_INITIATE_RSP:
                if (rx[0] != 0x60u || !echoes_object(SDO_C)) {
                    abortCode = CO_SDO_AB_PRAM_INCOMPAT;
                    SDO_C->state = CO_SDO_ST_ABORT;
                } else if (SDO_C->finished) {
                    SDO_C->state = CO_SDO_ST_IDLE;
                    ret = CO_SDO_RT_ok_communicationEnd;
                } else {
                    SDO_C->toggle = 0x00;
                    SDO_C->state = CO_SDO_ST_DOWNLOAD_SEGMENT_REQ;
                }
                break;

            case CO_SDO_ST_DOWNLOAD_SEGMENT_RSP:
                if ((rx[0] & 0xEFu) != 0x20u || (rx[0] & 0x10u) != SDO_C->toggle) {
                    abortCode = CO_SDO_AB_TOGGLE_BIT;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->toggle = SDO_C->toggle == 0x00u ? 0x10u : 0x00u;
                if (SDO_C->finished) {
                    SDO_C->state = CO_SDO_ST_IDLE;
                    ret = CO_SDO_RT_ok_communicationEnd;
                } else {
                    SDO_C->state = CO_SDO_ST_DOWNLOAD_SEGMENT_REQ;
                }
                break;

            case CO_SDO_ST_DOWNLOAD_BLK_INITIATE_RSP:
                if ((rx[0] & 0xFBu) != 0xA0u || !echoes_object(SDO_C)) {
                    abortCode = CO_SDO_AB_PRAM_INCOMPAT;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->block_crc = 0;
                SDO_C->block_blksize = clamp_block_size(rx[4]);
                SDO_C->block_seqno = 0;
                CO_fifo_altBegin(&SDO_C->bufFifo, 0);
                SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ;
                break;

            case CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ:
            case CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP: {
                if (rx[0] != 0xA2u) {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                const uint8_t ackseq = rx[1];
                if (ackseq > SDO_C->block_seqno) {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                if (ackseq < SDO_C->block_seqno) {
                    /* Segments after ackseq did not arrive: send them again. */
                    const size_t unacked = (size_t)(SDO_C->block_seqno - ackseq) * 7u - SDO_C->block_noData;
                    SDO_C->sizeTran -= unacked;
                    CO_fifo_altBegin(&SDO_C->bufFifo, (size_t)ackseq * 7u);
                    SDO_C->finished = false;
                }
                CO_fifo_altFinish(&SDO_C->bufFifo, &SDO_C->block_crc);
                memcpy(SDO_C->block_lastAck, rx, 3);
                SDO_C->block_ackValid = true;
                if (!SDO_C->finished) {
                    SDO_C->block_seqno = 0;
                    SDO_C->block_blksize = clamp_block_size(rx[2]);
                    CO_fifo_altBegin(&SDO_C->bufFifo, 0);
                    SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ;
                } else {
                    SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_END_REQ;
                }
                break;
            }

            case CO_SDO_ST_DOWNLOAD_BLK_END_RSP:
                if (rx[0] != 0xA1u) {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->state = CO_SDO_ST_IDLE;
                ret = CO_SDO_RT_ok_communicationEnd;
                break;

            default:
                abortCode = CO_SDO_AB_CMD;
                SDO_C->state = CO_SDO_ST_ABORT;
                break;
            }
        }
        SDO_C->timeoutTimer = 0;
        timeDifference_us = 0;
        SDO_C->CANrxNew = false;
    } else if (send_abort) {
        abortCode = requestedAbort;
        SDO_C->state = CO_SDO_ST_ABORT;
    }

    /* Response time-out. */
    if (ret == CO_SDO_RT_waitingResponse && SDO_C->state != CO_SDO_ST_ABORT) {
        if (response_overdue(SDO_C, timeDifference_us)) {
            const uint32_t limit = CO_SDOclientResponseTimeout_us(SDO_C);
            abortCode = CO_SDO_AB_TIMEOUT;
            mark_stale(SDO_C, false);
            SDO_C->state = CO_SDO_ST_ABORT;
            char line[160];
            snprintf(
                line, sizeof line,
                "TIMEOUT1: SDO_C->timeoutTimer = %d, >= SDO_C->SDOtimeoutTime_us = %d, SDO_C->state == %d\n",
                (int)SDO_C->timeoutTimer, (int)limit, (int)SDO_C->state);
            print_line(line);
        }
    }

    /* Next request. */
    if (ret == CO_SDO_RT_waitingResponse) {
        if (SDO_C->CANtxBuff->bufferFull) {
            ret = CO_SDO_RT_transmittBufferFull;
        } else if (SDO_C->state != CO_SDO_ST_ABORT) {
            uint8_t *data = SDO_C->CANtxBuff->data;
            memset(data, 0, 8);
            switch (SDO_C->state) {
            case CO_SDO_ST_DOWNLOAD_INITIATE_REQ: {
                put_object(SDO_C, data);
                const size_t count = CO_fifo_getOccupied(&SDO_C->bufFifo);
                bool_t expedited = false;
                if (SDO_C->sizeInd == 0u && count <= 4u) {
                    if (count == 0u) {
                        abortCode = CO_SDO_AB_TYPE_MISMATCH;
                        SDO_C->state = CO_SDO_ST_IDLE;
                        ret = CO_SDO_RT_endedWithClientAbort;
                        break;
                    }
                    data[0] = 0x22;
                    expedited = true;
                } else if (SDO_C->sizeInd == 0u) {
                    data[0] = 0x20;
                } else if (SDO_C->sizeInd > 4u) {
                    data[0] = 0x21;
                    put_u32(&data[4], (uint32_t)SDO_C->sizeInd);
                } else {
                    if (SDO_C->sizeInd != count) {
                        abortCode = CO_SDO_AB_TYPE_MISMATCH;
                        SDO_C->state = CO_SDO_ST_IDLE;
                        ret = CO_SDO_RT_endedWithClientAbort;
                        break;
                    }
                    data[0] = (uint8_t)(0x23u | ((4u - count) << 2));
                    expedited = true;
                }
                if (expedited) {
                    SDO_C->sizeTran = CO_fifo_read(&SDO_C->bufFifo, &data[4], count, NULL);
                    SDO_C->finished = true;
                }
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_DOWNLOAD_INITIATE_RSP;
                break;
            }

            case CO_SDO_ST_DOWNLOAD_SEGMENT_REQ: {
                const size_t count = CO_fifo_read(&SDO_C->bufFifo, &data[1], 7, NULL);
                SDO_C->sizeTran += count;
                if (SDO_C->sizeInd > 0u && SDO_C->sizeTran > SDO_C->sizeInd) {
                    SDO_C->sizeTran -= count;
                    abortCode = CO_SDO_AB_DATA_LONG;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                data[0] = (uint8_t)(SDO_C->toggle | ((7u - count) << 1));
                if (!bufferPartial && CO_fifo_getOccupied(&SDO_C->bufFifo) == 0u) {
                    if (SDO_C->sizeTran < SDO_C->sizeInd) {
                        abortCode = CO_SDO_AB_DATA_SHORT;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                    data[0] |= 0x01u;
                    SDO_C->finished = true;
                }
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_DOWNLOAD_SEGMENT_RSP;
                break;
            }

            case CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ:
                data[0] = 0xC4;
                put_object(SDO_C, data);
                if (SDO_C->sizeInd > 0u) {
                    data[0] = 0xC6;
                    put_u32(&data[4], (uint32_t)SDO_C->sizeInd);
                }
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_INITIATE_RSP;
                break;

            case CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ: {
                if (bufferPartial && CO_fifo_altGetOccupied(&SDO_C->bufFifo) < 7u) {
                    break; /* wait for the caller to add data */
                }
                SDO_C->block_seqno++;
                data[0] = SDO_C->block_seqno;
                const size_t count = CO_fifo_altRead(&SDO_C->bufFifo, &data[1], 7);
                SDO_C->block_noData = (uint8_t)(7u - count);
                SDO_C->sizeTran += count;
                if (SDO_C->sizeInd > 0u && SDO_C->sizeTran > SDO_C->sizeInd) {
                    SDO_C->sizeTran -= count;
                    abortCode = CO_SDO_AB_DATA_LONG;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                if (CO_fifo_altGetOccupied(&SDO_C->bufFifo) > 0u || bufferPartial) {
                    if (SDO_C->block_seqno >= SDO_C->block_blksize) {
                        SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP;
                    }
                } else {
                    if (SDO_C->sizeTran < SDO_C->sizeInd) {
                        abortCode = CO_SDO_AB_DATA_SHORT;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                    data[0] |= 0x80u;
                    SDO_C->finished = true;
                    SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP;
                }
                send_request(SDO_C);
                break;
            }

            case CO_SDO_ST_DOWNLOAD_BLK_END_REQ:
                data[0] = (uint8_t)(0xC1u | (SDO_C->block_noData << 2));
                put_u16(&data[1], SDO_C->block_crc);
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_DOWNLOAD_BLK_END_RSP;
                break;

            default:
                break;
            }
        }
    }

    return end_step(SDO_C, ret, abortCode, CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ,
                    CO_SDO_RT_blockDownldInProgress, SDOabortCode, sizeTransferred);
}

CO_SDO_return_t CO_SDOclientUploadInitiate(CO_SDOclient_t *SDO_C, uint16_t index, uint8_t subIndex,
                                           uint16_t SDOtimeoutTime_ms, bool_t blockEnable) {
    if (!client_usable(SDO_C)) {
        return CO_SDO_RT_wrongArguments;
    }
    start_transfer(SDO_C, index, subIndex, 0, SDOtimeoutTime_ms);
    SDO_C->block_SDOtimeoutTime_us = (uint32_t)SDOtimeoutTime_ms * 700u;
    SDO_C->state = blockEnable ? CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ : CO_SDO_ST_UPLOAD_INITIATE_REQ;
    SDO_C->CANrxNew = false;
    return CO_SDO_RT_ok_communicationEnd;
}

namespace {

/* Initiate response of a normal upload (states 34 and 98). Returns true when
 * an expedited response completed the transfer. */
bool_t upload_initiate_response(CO_SDOclient_t *SDO_C, CO_SDO_abortCode_t *abortCode) {
    const uint8_t *rx = SDO_C->CANrxData;
    if ((rx[0] & 0xF0u) != 0x40u || !echoes_object(SDO_C)) {
        *abortCode = CO_SDO_AB_PRAM_INCOMPAT;
        SDO_C->state = CO_SDO_ST_ABORT;
        return false;
    }
    if ((rx[0] & 0x02u) != 0u) {
        const size_t count = (rx[0] & 0x01u) != 0u ? 4u - ((rx[0] >> 2) & 0x03u) : 4u;
        SDO_C->sizeTran = CO_fifo_write(&SDO_C->bufFifo, &rx[4], count, NULL);
        if (SDO_C->sizeTran != count) {
            *abortCode = CO_SDO_AB_OUT_OF_MEM;
            SDO_C->state = CO_SDO_ST_ABORT;
            return false;
        }
        SDO_C->state = CO_SDO_ST_IDLE;
        return true;
    }
    if ((rx[0] & 0x01u) != 0u) {
        SDO_C->sizeInd = get_u32(&rx[4]);
        SDO_C->sizeIndKnown = true;
    }
    SDO_C->toggle = 0x00;
    SDO_C->state = CO_SDO_ST_UPLOAD_SEGMENT_REQ;
    return false;
}

} // namespace

CO_SDO_return_t CO_SDOclientUpload(CO_SDOclient_t *SDO_C, uint32_t timeDifference_us, bool_t send_abort,
                                   CO_SDO_abortCode_t *SDOabortCode, size_t *sizeIndicated,
                                   size_t *sizeTransferred, uint32_t *timerNext_us) {
    (void)timerNext_us;
    CO_SDO_return_t ret = CO_SDO_RT_waitingResponse;
    CO_SDO_abortCode_t abortCode = CO_SDO_AB_NONE;
    const CO_SDO_abortCode_t requestedAbort =
        SDOabortCode != NULL ? *SDOabortCode : CO_SDO_AB_DEVICE_INCOMPAT;

    if (!begin_step(SDO_C, SDOabortCode, &abortCode)) {
        return CO_SDO_RT_wrongArguments;
    }

    if (SDO_C->state == CO_SDO_ST_IDLE) {
        print_line("CO_SDOclientUpload: sdo_c->state == CO_SDO_ST_IDLE\n");
        ret = CO_SDO_RT_ok_communicationEnd;
    } else if (SDO_C->CANrxNew) {
        const uint8_t *rx = SDO_C->CANrxData;
        if (response_for_state(SDO_C, send_abort, requestedAbort, &abortCode, &ret)) {
            switch (SDO_C->state) {
            case CO_SDO_ST_UPLOAD_INITIATE_RSP:
                if (upload_initiate_response(SDO_C, &abortCode)) {
                    ret = CO_SDO_RT_ok_communicationEnd;
                }
                break;

            case CO_SDO_ST_UPLOAD_SEGMENT_RSP: {
                if (rx[0] > 0x1Fu) {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                if ((rx[0] & 0x10u) != SDO_C->toggle) {
                    abortCode = CO_SDO_AB_TOGGLE_BIT;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->toggle = SDO_C->toggle == 0x00u ? 0x10u : 0x00u;
                const size_t count = 7u - ((rx[0] >> 1) & 0x07u);
                const size_t written = CO_fifo_write(&SDO_C->bufFifo, &rx[1], count, NULL);
                if (written != count) {
                    abortCode = CO_SDO_AB_OUT_OF_MEM;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->sizeTran += count;
                const bool_t last = (rx[0] & 0x01u) != 0u;
                if (SDO_C->sizeIndKnown) {
                    if (SDO_C->sizeTran > SDO_C->sizeInd) {
                        abortCode = CO_SDO_AB_DATA_LONG;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                    if (last && SDO_C->sizeTran < SDO_C->sizeInd) {
                        abortCode = CO_SDO_AB_DATA_SHORT;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                }
                if (!last) {
                    SDO_C->state = CO_SDO_ST_UPLOAD_SEGMENT_REQ;
                    break;
                }
                SDO_C->state = CO_SDO_ST_IDLE;
                print_line(
                    "sdo_c->state == CO_SDO_ST_UPLOAD_SEGMENT_RSP && SDO_C->CANrxData[0] & 0x01U != 0U\n");
                ret = CO_SDO_RT_ok_communicationEnd;
                break;
            }

            case CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP:
                if ((rx[0] & 0xF9u) == 0xC0u) {
                    SDO_C->block_crcEnabled = (rx[0] & 0x04u) != 0u;
                    if ((rx[0] & 0x02u) != 0u) {
                        SDO_C->sizeInd = get_u32(&rx[4]);
                        SDO_C->sizeIndKnown = true;
                    }
                    if (!echoes_object(SDO_C)) {
                        abortCode = CO_SDO_AB_PRAM_INCOMPAT;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                    SDO_C->state = CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ2;
                } else if ((rx[0] & 0xF0u) == 0x40u) {
                    /* The server chose a normal upload. */
                    if (upload_initiate_response(SDO_C, &abortCode)) {
                        print_line(
                            "sdo_c->state == CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP && SDO_C->CANrxData[0] & 0x02U "
                            "!= 0U\n");
                        ret = CO_SDO_RT_ok_communicationEnd;
                    }
                } else {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                }
                break;

            case CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ:
                break; /* only restarts the timer */

            case CO_SDO_ST_UPLOAD_BLK_END_SREQ: {
                if ((rx[0] & 0xE3u) != 0xC1u) {
                    abortCode = CO_SDO_AB_CMD;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                const size_t count = 7u - ((rx[0] >> 2) & 0x07u);
                const size_t written =
                    CO_fifo_write(&SDO_C->bufFifo, SDO_C->block_dataUploadLast, count, &SDO_C->block_crc);
                SDO_C->sizeTran += written;
                if (written != count) {
                    abortCode = CO_SDO_AB_OUT_OF_MEM;
                    SDO_C->state = CO_SDO_ST_ABORT;
                } else if (SDO_C->sizeIndKnown && SDO_C->sizeTran > SDO_C->sizeInd) {
                    abortCode = CO_SDO_AB_DATA_LONG;
                    SDO_C->state = CO_SDO_ST_ABORT;
                } else if (SDO_C->sizeIndKnown && SDO_C->sizeTran < SDO_C->sizeInd) {
                    abortCode = CO_SDO_AB_DATA_SHORT;
                    SDO_C->state = CO_SDO_ST_ABORT;
                } else if (SDO_C->block_crcEnabled && get_u16(&rx[1]) != SDO_C->block_crc) {
                    abortCode = CO_SDO_AB_CRC;
                    SDO_C->state = CO_SDO_ST_ABORT;
                } else {
                    SDO_C->state = CO_SDO_ST_UPLOAD_BLK_END_CRSP;
                }
                break;
            }

            default:
                abortCode = CO_SDO_AB_CMD;
                SDO_C->state = CO_SDO_ST_ABORT;
                break;
            }
        }
        SDO_C->timeoutTimer = 0;
        timeDifference_us = 0;
        SDO_C->CANrxNew = false;
    } else if (send_abort) {
        abortCode = requestedAbort;
        SDO_C->state = CO_SDO_ST_ABORT;
    }

    if (ret == CO_SDO_RT_waitingResponse && SDO_C->state != CO_SDO_ST_ABORT) {
        /* Response time-out. */
        if (response_overdue(SDO_C, timeDifference_us)) {
            if (SDO_C->state == CO_SDO_ST_UPLOAD_SEGMENT_REQ ||
                SDO_C->state == CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP) {
                /* The caller did not make room in the buffer. */
                abortCode = CO_SDO_AB_GENERAL;
            } else {
                abortCode = CO_SDO_AB_TIMEOUT;
                mark_stale(SDO_C, true);
                char line[160];
                snprintf(
                    line, sizeof line,
                    "Timeout2: SDO_C->timeoutTimer = %d, >= SDO_C->SDOtimeoutTime_us = %d, SDO_C->state == %d\n",
                    (int)SDO_C->timeoutTimer, (int)SDO_C->SDOtimeoutTime_us, (int)SDO_C->state);
                print_line(line);
            }
            SDO_C->state = CO_SDO_ST_ABORT;
        }

        /* Sub-block time-out: confirm what has arrived. */
        if (SDO_C->state == CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ) {
            if (SDO_C->block_timeoutTimer < SDO_C->block_SDOtimeoutTime_us) {
                timer_add(&SDO_C->block_timeoutTimer, timeDifference_us);
            }
            if (SDO_C->block_timeoutTimer >= SDO_C->block_SDOtimeoutTime_us) {
                SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP;
                SDO_C->CANrxNew = false;
            }
        }
    }

    if (ret == CO_SDO_RT_waitingResponse) {
        if (SDO_C->CANtxBuff->bufferFull) {
            ret = CO_SDO_RT_transmittBufferFull;
        } else if (SDO_C->state != CO_SDO_ST_ABORT) {
            uint8_t *data = SDO_C->CANtxBuff->data;
            switch (SDO_C->state) {
            case CO_SDO_ST_UPLOAD_INITIATE_REQ:
                memset(data, 0, 8);
                data[0] = 0x40;
                put_object(SDO_C, data);
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_UPLOAD_INITIATE_RSP;
                break;

            case CO_SDO_ST_UPLOAD_SEGMENT_REQ:
                if (CO_fifo_getSpace(&SDO_C->bufFifo) < 7u) {
                    ret = CO_SDO_RT_uploadDataBufferFull;
                    break;
                }
                memset(data, 0, 8);
                data[0] = (uint8_t)(0x60u | SDO_C->toggle);
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_UPLOAD_SEGMENT_RSP;
                break;

            case CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ: {
                memset(data, 0, 8);
                data[0] = 0xA4;
                put_object(SDO_C, data);
                const size_t space = CO_fifo_getSpace(&SDO_C->bufFifo);
                if (space < 7u) {
                    abortCode = CO_SDO_AB_OUT_OF_MEM;
                    SDO_C->state = CO_SDO_ST_ABORT;
                    break;
                }
                SDO_C->block_blksize =
                    space >= (size_t)BLOCK_SIZE_MAX * 7u + 7u ? BLOCK_SIZE_MAX : (uint8_t)(space / 7u);
                data[4] = SDO_C->block_blksize;
                data[5] = BLOCK_PROTOCOL_SWITCH;
                send_request(SDO_C);
                SDO_C->state = CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP;
                break;
            }

            case CO_SDO_ST_UPLOAD_BLK_INITIATE_REQ2:
                memset(data, 0, 8);
                data[0] = 0xA3;
                SDO_C->timeoutTimer = 0;
                SDO_C->block_timeoutTimer = 0;
                SDO_C->block_seqno = 0;
                SDO_C->block_crc = 0;
                SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ;
                SDO_C->CANrxNew = false;
                CO_CANsend(SDO_C->CANdevTx, SDO_C->CANtxBuff);
                break;

            case CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP: {
                uint8_t blksize = SDO_C->block_blksize;
                if (!SDO_C->finished) {
                    if (SDO_C->sizeIndKnown && SDO_C->sizeTran > SDO_C->sizeInd) {
                        abortCode = CO_SDO_AB_DATA_LONG;
                        SDO_C->state = CO_SDO_ST_ABORT;
                        break;
                    }
                    const size_t space = CO_fifo_getSpace(&SDO_C->bufFifo);
                    if (space >= (size_t)BLOCK_SIZE_MAX * 7u) {
                        blksize = BLOCK_SIZE_MAX;
                    } else if (CO_fifo_getOccupied(&SDO_C->bufFifo) > 0u) {
                        ret = CO_SDO_RT_uploadDataBufferFull; /* the caller must read first */
                        break;
                    } else {
                        blksize = (uint8_t)(space / 7u);
                    }
                }
                memset(data, 0, 8);
                data[0] = 0xA2;
                data[1] = SDO_C->block_seqno;
                data[2] = blksize;
                if (SDO_C->finished) {
                    SDO_C->state = CO_SDO_ST_UPLOAD_BLK_END_SREQ;
                } else {
                    SDO_C->block_blksize = blksize;
                    SDO_C->block_seqno = 0;
                    SDO_C->state = CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ;
                    SDO_C->CANrxNew = false;
                }
                SDO_C->block_timeoutTimer = 0;
                send_request(SDO_C);
                break;
            }

            case CO_SDO_ST_UPLOAD_BLK_END_CRSP:
                if (!SDO_C->block_endSent) {
                    memset(data, 0, 8);
                    data[0] = 0xA1;
                    SDO_C->block_endSent = true;
                    CO_CANsend(SDO_C->CANdevTx, SDO_C->CANtxBuff);
                    if (SDO_C->CANtxBuff->bufferFull) {
                        break; /* refused: done only once the driver got it out */
                    }
                }
                SDO_C->state = CO_SDO_ST_IDLE;
                ret = CO_SDO_RT_ok_communicationEnd;
                break;

            default:
                break;
            }
        }
    }

    if (sizeIndicated != NULL) {
        *sizeIndicated = SDO_C->sizeInd;
    }
    return end_step(SDO_C, ret, abortCode, CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ,
                    CO_SDO_RT_blockUploadInProgress, SDOabortCode, sizeTransferred);
}

size_t CO_SDOclientUploadBufRead(CO_SDOclient_t *SDO_C, uint8_t *buf, size_t count) {
    if (SDO_C == NULL || buf == NULL) {
        return 0;
    }
    return CO_fifo_read(&SDO_C->bufFifo, buf, count, NULL);
}

void CO_SDOclientClose(CO_SDOclient_t *SDO_C) {
    if (SDO_C != NULL) {
        SDO_C->state = CO_SDO_ST_IDLE;
        SDO_C->CANrxNew = false;
    }
}

} // extern "C"
