/* The motors' own CAN protocol, written once: every request the program
 * sends to a motor and every reply it reads back is built or parsed here, and
 * the simulated bench answers with the same functions.
 *
 * Two sides:
 * - the running application answers raw frames on identifier = node-ID
 *   (identity queries, boot-entry handshake);
 * - the bootloader is a CiA 301 SDO server on 0x600 + node-ID (requests) and
 *   0x580 + node-ID (replies), with the program-data object 0x1F50:01, the
 *   program-control object 0x1F51:01 and the image CRC object 0x1F56:01.
 *
 * Pure functions on byte arrays: no state, no I/O, C-callable. Builders fill
 * all 8 bytes of `out` (unused ones 0) and return the frame's DLC; parsers
 * return 1 for a frame of the expected layout, else 0, and never read past
 * `dlc` (nor past 8). */
#ifndef MOTOR_PROTOCOL_H
#define MOTOR_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint8_t motorType;
    const char *model; /* 4 to 6 decimal digits, distinct */
} motor_model_entry_t;

#define MOTOR_MODEL_COUNT 15

static const motor_model_entry_t MOTOR_MODEL_TABLE[MOTOR_MODEL_COUNT] = {
    {9, "4009"},    {11, "4011"},   {13, "4013"},   {18, "60018"},  {19, "60019"},
    {20, "60020"},  {21, "60021"},  {26, "80026"},  {27, "80027"},  {31, "80031"},
    {65, "130065"}, {66, "130066"}, {67, "130067"}, {68, "130068"}, {69, "130069"},
};

/* Model string for a motor type code, or "Unknown". 18 -> "60018", 5 -> "Unknown" */
static inline const char *motor_model_for_type(uint8_t motorType) {
    for (size_t i = 0; i < MOTOR_MODEL_COUNT; ++i) {
        if (MOTOR_MODEL_TABLE[i].motorType == motorType) {
            return MOTOR_MODEL_TABLE[i].model;
        }
    }
    return "Unknown";
}

/* Boot-entry handshake: data[2..5] of the first and second A3 write command. */
static const uint8_t MOTOR_ENTRY_SIGNATURE_1[4] = {'O', 'S', 'T', 'R'};
static const uint8_t MOTOR_ENTRY_SIGNATURE_2[4] = {'B', 'O', 'O', 'T'};

/* ---- identifiers and objects ------------------------------------------- */

#define MOTOR_SDO_REQUEST_BASE 0x600u
#define MOTOR_SDO_REPLY_BASE 0x580u

/* Program data: the image goes here by block download. */
#define MOTOR_PROGRAM_DATA_INDEX 0x1F50u
#define MOTOR_PROGRAM_DATA_SUB 1u
/* Program control: 0 keeps the bootloader (stop), 1 starts the application. */
#define MOTOR_PROGRAM_CONTROL_INDEX 0x1F51u
#define MOTOR_PROGRAM_CONTROL_SUB 1u
#define MOTOR_PROGRAM_STOP 0u
#define MOTOR_PROGRAM_START 1u
/* CRC-32 of the image the bootloader received. */
#define MOTOR_IMAGE_CRC_INDEX 0x1F56u
#define MOTOR_IMAGE_CRC_SUB 1u

/* SDO command bytes this protocol uses. */
#define MOTOR_SDO_UPLOAD_REQUEST 0x40u  /* read an object */
#define MOTOR_SDO_UPLOAD_4_BYTES 0x43u  /* expedited upload reply, 4 bytes */
#define MOTOR_SDO_DOWNLOAD_1_BYTE 0x2Fu /* expedited write of 1 byte */
#define MOTOR_SDO_DOWNLOAD_REPLY 0x60u  /* write acknowledge */
#define MOTOR_SDO_ABORT 0x80u

/* Application-side command bytes (data[0]) and the A3/A4 sub-commands (data[1]). */
#define MOTOR_CMD_TYPE_QUERY 0x64u
#define MOTOR_CMD_VERSION_QUERY 0x65u
#define MOTOR_CMD_ENCODER_QUERY 0xA4u
#define MOTOR_CMD_ENTRY 0xA3u
#define MOTOR_ENTRY_READ 0x40u
#define MOTOR_ENTRY_WRITE 0x20u

/* 0x600 + node -> SDO request identifier. 5 -> 0x605 */
static inline uint32_t motor_sdo_request_id(uint8_t node) {
    return MOTOR_SDO_REQUEST_BASE + node;
}

/* 0x580 + node -> SDO reply identifier. 5 -> 0x585 */
static inline uint32_t motor_sdo_reply_id(uint8_t node) {
    return MOTOR_SDO_REPLY_BASE + node;
}

/* Little-endian 32-bit read. {0x01,0x02,0x03,0x04} -> 0x04030201 */
static inline uint32_t motor_get_le32(const uint8_t *p) {
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

/* Little-endian 32-bit write. 0x04030201 -> {0x01,0x02,0x03,0x04} */
static inline void motor_put_le32(uint8_t *p, uint32_t v) {
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

/* ---- application side: identity queries --------------------------------- */

/* Request kinds the application answers (motor_app_request_kind). */
typedef enum {
    MOTOR_REQ_NONE = 0,
    MOTOR_REQ_TYPE,       /* {0x64} */
    MOTOR_REQ_VERSION,    /* {0x65} */
    MOTOR_REQ_ENCODER,    /* {0xA4,0x40,...} */
    MOTOR_REQ_ENTRY_READ, /* {0xA3,0x40,...} */
    MOTOR_REQ_ENTRY_WRITE /* {0xA3,0x20,s0,s1,s2,s3} */
} motor_request_kind_t;

/* What a frame on identifier = node-ID asks of the application.
 * {0x65} -> MOTOR_REQ_VERSION; {0xA3,0x40} -> MOTOR_REQ_ENTRY_READ;
 * {0xA3,0x20,'O','S'} (too short) -> MOTOR_REQ_NONE */
static inline motor_request_kind_t motor_app_request_kind(const uint8_t *d, uint8_t dlc) {
    if (dlc < 1) {
        return MOTOR_REQ_NONE;
    }
    if (d[0] == MOTOR_CMD_TYPE_QUERY) {
        return MOTOR_REQ_TYPE;
    }
    if (d[0] == MOTOR_CMD_VERSION_QUERY) {
        return MOTOR_REQ_VERSION;
    }
    if (d[0] == MOTOR_CMD_ENCODER_QUERY && dlc >= 2 && d[1] == MOTOR_ENTRY_READ) {
        return MOTOR_REQ_ENCODER;
    }
    if (d[0] == MOTOR_CMD_ENTRY && dlc >= 2 && d[1] == MOTOR_ENTRY_READ) {
        return MOTOR_REQ_ENTRY_READ;
    }
    if (d[0] == MOTOR_CMD_ENTRY && dlc >= 6 && d[1] == MOTOR_ENTRY_WRITE) {
        return MOTOR_REQ_ENTRY_WRITE;
    }
    return MOTOR_REQ_NONE;
}

/* Motor type and brake query. -> {0x64}, DLC 1 */
static inline uint8_t motor_build_type_query(uint8_t out[8]) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_TYPE_QUERY;
    return 1;
}

/* Its reply. type 9, brake 16 -> {0x64,0x00,0x09,0x00,0x10}, DLC 5 */
static inline uint8_t motor_build_type_reply(uint8_t out[8], uint8_t motorType, uint8_t brakeType) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_TYPE_QUERY;
    out[2] = motorType;
    out[4] = brakeType;
    return 5;
}

/* {0x64,0x00,0x09,0x00,0x10} -> type 9, brake 16; DLC below 5 or another
 * first byte -> 0 */
static inline int motor_parse_type_reply(const uint8_t *d, uint8_t dlc, uint8_t *motorType,
                                         uint8_t *brakeType) {
    if (dlc < 5 || d[0] != MOTOR_CMD_TYPE_QUERY) {
        return 0;
    }
    *motorType = d[2];
    *brakeType = d[4];
    return 1;
}

/* Encoder query. -> {0xA4,0x40,0,0,0,0}, DLC 6 */
static inline uint8_t motor_build_encoder_query(uint8_t out[8]) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_ENCODER_QUERY;
    out[1] = MOTOR_ENTRY_READ;
    return 6;
}

/* Its reply. encoder 2 -> {0xA4,0x40,0x02,0,0,0}, DLC 6 */
static inline uint8_t motor_build_encoder_reply(uint8_t out[8], uint8_t encoderType) {
    motor_build_encoder_query(out);
    out[2] = encoderType;
    return 6;
}

/* {0xA4,0x40,0x02,0,0,0} -> encoder 2; DLC below 6 or another head -> 0 */
static inline int motor_parse_encoder_reply(const uint8_t *d, uint8_t dlc, uint8_t *encoderType) {
    if (dlc < 6 || d[0] != MOTOR_CMD_ENCODER_QUERY || d[1] != MOTOR_ENTRY_READ) {
        return 0;
    }
    *encoderType = d[2];
    return 1;
}

/* Firmware version query. -> {0x65}, DLC 1 */
static inline uint8_t motor_build_version_query(uint8_t out[8]) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_VERSION_QUERY;
    return 1;
}

/* Its reply. 0x04030201 -> {0x65,0x01,0x02,0x03,0x04}, DLC 5 */
static inline uint8_t motor_build_version_reply(uint8_t out[8], uint32_t version) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_VERSION_QUERY;
    motor_put_le32(out + 1, version);
    return 5;
}

/* {0x65,0x01,0x02,0x03,0x04} -> version 0x04030201; DLC below 5 or another
 * first byte -> 0 */
static inline int motor_parse_version_reply(const uint8_t *d, uint8_t dlc, uint32_t *version) {
    if (dlc < 5 || d[0] != MOTOR_CMD_VERSION_QUERY) {
        return 0;
    }
    *version = motor_get_le32(d + 1);
    return 1;
}

/* ---- application side: boot-entry handshake ----------------------------- */

/* Read of the entry register. -> {0xA3,0x40,0,0,0,0}, DLC 6 */
static inline uint8_t motor_build_entry_read(uint8_t out[8]) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_ENTRY;
    out[1] = MOTOR_ENTRY_READ;
    return 6;
}

/* Its reply. 0x00000001 -> {0xA3,0x40,0x01,0x00,0x00,0x00}, DLC 6 */
static inline uint8_t motor_build_entry_read_reply(uint8_t out[8], uint32_t value) {
    motor_build_entry_read(out);
    motor_put_le32(out + 2, value);
    return 6;
}

/* A reply that lets the handshake go on: DLC exactly 6, A3 40, and a value
 * that is not all FF (a node that cannot enter answers FF FF FF FF).
 * {0xA3,0x40,0x01,0,0,0} -> 1; {0xA3,0x40,0xFF,0xFF,0xFF,0xFF} -> 0 */
static inline int motor_entry_read_reply_valid(const uint8_t *d, uint8_t dlc) {
    return dlc == 6 && d[0] == MOTOR_CMD_ENTRY && d[1] == MOTOR_ENTRY_READ &&
           !(d[2] == 0xFF && d[3] == 0xFF && d[4] == 0xFF && d[5] == 0xFF);
}

/* Write of signature `step` (1 or 2; else 2).
 * 1 -> {0xA3,0x20,'O','S','T','R'}, 2 -> {0xA3,0x20,'B','O','O','T'}, DLC 6 */
static inline uint8_t motor_build_entry_write(uint8_t out[8], int step) {
    memset(out, 0, 8);
    out[0] = MOTOR_CMD_ENTRY;
    out[1] = MOTOR_ENTRY_WRITE;
    memcpy(out + 2, step == 1 ? MOTOR_ENTRY_SIGNATURE_1 : MOTOR_ENTRY_SIGNATURE_2, 4);
    return 6;
}

/* Which signature an entry write carries: {0xA3,0x20,'O','S','T','R'} -> 1,
 * {0xA3,0x20,'B','O','O','T'} -> 2, any other (or not an entry write) -> 0 */
static inline int motor_entry_write_step(const uint8_t *d, uint8_t dlc) {
    if (motor_app_request_kind(d, dlc) != MOTOR_REQ_ENTRY_WRITE) {
        return 0;
    }
    if (memcmp(d + 2, MOTOR_ENTRY_SIGNATURE_1, 4) == 0) {
        return 1;
    }
    return memcmp(d + 2, MOTOR_ENTRY_SIGNATURE_2, 4) == 0 ? 2 : 0;
}

/* ---- bootloader side: SDO frames ---------------------------------------- */

/* The common layout: command, index (LE), sub-index, 4-byte value (LE).
 * (0x80, 0x1F51, 1, 0x08000000) -> {0x80,0x51,0x1F,0x01,0x00,0x00,0x00,0x08} */
static inline uint8_t motor_build_sdo_frame(uint8_t out[8], uint8_t cmd, uint16_t index, uint8_t sub,
                                            uint32_t value) {
    out[0] = cmd;
    out[1] = (uint8_t)index;
    out[2] = (uint8_t)(index >> 8);
    out[3] = sub;
    motor_put_le32(out + 4, value);
    return 8;
}

/* Abort of a transfer on index:sub with an abort code.
 * (0x1F50, 1, 0x05040000) -> {0x80,0x50,0x1F,0x01,0x00,0x00,0x04,0x05} */
static inline uint8_t motor_build_sdo_abort(uint8_t out[8], uint16_t index, uint8_t sub, uint32_t code) {
    return motor_build_sdo_frame(out, MOTOR_SDO_ABORT, index, sub, code);
}

/* Program-control write. MOTOR_PROGRAM_STOP -> {0x2F,0x51,0x1F,0x01,0x00,0,0,0}
 * (the stop command), MOTOR_PROGRAM_START -> {0x2F,0x51,0x1F,0x01,0x01,0,0,0} */
static inline uint8_t motor_build_program_control(uint8_t out[8], uint8_t command) {
    return motor_build_sdo_frame(out, MOTOR_SDO_DOWNLOAD_1_BYTE, MOTOR_PROGRAM_CONTROL_INDEX,
                                 MOTOR_PROGRAM_CONTROL_SUB, command);
}

/* Whether a frame is exactly the program-control write of `command`.
 * ({0x2F,0x51,0x1F,0x01,0x01,0,0,0}, 8, START) -> 1; same with DLC 7 -> 0 */
static inline int motor_is_program_control(const uint8_t *d, uint8_t dlc, uint8_t command) {
    uint8_t want[8];
    motor_build_program_control(want, command);
    return dlc == 8 && memcmp(d, want, 8) == 0;
}

/* The bootloader's acknowledge of a program-control write (also the stop
 * command's acknowledge). -> {0x60,0x51,0x1F,0x01,0,0,0,0} */
static inline uint8_t motor_build_program_control_ack(uint8_t out[8]) {
    return motor_build_sdo_frame(out, MOTOR_SDO_DOWNLOAD_REPLY, MOTOR_PROGRAM_CONTROL_INDEX,
                                 MOTOR_PROGRAM_CONTROL_SUB, 0);
}

/* {0x60,0x51,0x1F,0x01,0,0,0,0}, DLC 8 -> 1; any other byte or DLC -> 0 */
static inline int motor_is_program_control_ack(const uint8_t *d, uint8_t dlc) {
    uint8_t want[8];
    motor_build_program_control_ack(want);
    return dlc == 8 && memcmp(d, want, 8) == 0;
}

/* Read of the image CRC. -> {0x40,0x56,0x1F,0x01,0,0,0,0} */
static inline uint8_t motor_build_crc_query(uint8_t out[8]) {
    return motor_build_sdo_frame(out, MOTOR_SDO_UPLOAD_REQUEST, MOTOR_IMAGE_CRC_INDEX, MOTOR_IMAGE_CRC_SUB,
                                 0);
}

/* {0x43,0x56,0x1F,0x01,0x78,0x56,0x34,0x12}, DLC 8 -> crc 0x12345678;
 * another head or DLC -> 0 */
static inline int motor_parse_crc_reply(const uint8_t *d, uint8_t dlc, uint32_t *crc) {
    if (dlc != 8 || d[0] != MOTOR_SDO_UPLOAD_4_BYTES || d[1] != (uint8_t)MOTOR_IMAGE_CRC_INDEX ||
        d[2] != (uint8_t)(MOTOR_IMAGE_CRC_INDEX >> 8) || d[3] != MOTOR_IMAGE_CRC_SUB) {
        return 0;
    }
    *crc = motor_get_le32(d + 4);
    return 1;
}

#ifdef __cplusplus
}
#endif

#endif
