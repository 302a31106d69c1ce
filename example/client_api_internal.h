/* Pieces shared by the client API's own source files: SDO transfers with
 * explicit time limits that say how they ended, and the motor probes the
 * upgrade sequence is built from. Not for callers of the client API. */
#ifndef CLIENT_API_INTERNAL_H
#define CLIENT_API_INTERNAL_H

#include "client_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How an SDO transfer ended, beside its abort code. */
typedef enum {
    CLIENT_SDO_END_OK = 0,
    CLIENT_SDO_END_SERVER_ABORT, /* the node aborted; the code is the node's */
    CLIENT_SDO_END_CLIENT_ABORT, /* the SDO client aborted: its response time-out, a bad answer */
    CLIENT_SDO_END_LIMIT,        /* the loop's own total limit, or a transmit path that stayed full */
    CLIENT_SDO_END_LOCAL,        /* never started: arguments, channel, set-up */
    CLIENT_SDO_END_CANCELLED
} client_sdo_end_t;

typedef struct {
    uint32_t responseMs; /* each answer (client_sdo_response_ms: 0 or above 65535 is the longest) */
    /* The answers to the initiate and the end of a block download, when they
     * may take longer than the others (a bootloader that erases its flash
     * first): responseMs is then the limit of each sub-block's acknowledge.
     * 0: responseMs for every answer. */
    uint32_t eraseMs;
    uint32_t totalMs; /* the whole transfer */
    client_api_progress_callback_t progress;
    void *user;
    int (*cancelled)(void *cancelUser); /* may be NULL; besides the channel's cancel flag */
    void *cancelUser;
} client_sdo_limits_t;

/* The download of client_api_sdo_transfer_with_progress with explicit
 * limits; prints the same lines. `end` may be NULL. */
CO_SDO_abortCode_t client_sdo_download(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                       uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                       bool_t useBlock, const client_sdo_limits_t *limits,
                                       client_sdo_end_t *end);

/* client_api_sdo_read, also saying how it ended. */
CO_SDO_abortCode_t client_sdo_upload(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                     uint8_t subIndex, uint8_t *buf, size_t bufSize, size_t *readSize,
                                     uint32_t timeout_ms, client_sdo_end_t *end);

/* client_api_drain_channel, handing each raw frame dropped to `seen` (may be
 * NULL) first. */
int client_drain_frames(client_channel_id_t channelId, uint32_t quiet_ms,
                        void (*seen)(const CO_CANrxMsg_t *frame, void *user), void *user);

/* The SDO client's response time-out is 16-bit milliseconds, and 0 would
 * expire on the first pass. The time-out a caller asked for, clamped to the
 * longest (0 also means the longest): */
uint16_t client_sdo_response_ms(uint32_t ms);
/* and for the calls whose contract takes it modulo 65536 ms (0 then means the
 * longest): */
uint16_t client_sdo_response_ms_mod65536(uint32_t ms);

/* Sends one raw frame to 0x600 + node-ID with the program-control write of
 * `command` (MOTOR_PROGRAM_STOP or MOTOR_PROGRAM_START). 0 sent, -1 not. */
int client_send_program_control(client_channel_id_t channelId, uint8_t nodeId, uint8_t command);

/* Reads the bootloader's image CRC, waiting up to `wait_ms` for its answer.
 * With `skip_others`, frames that are not the node's CRC answer are passed
 * over; otherwise the first frame decides. Prints the lines of
 * client_api_query_firmware_crc. 0 read, -1 otherwise. */
int client_query_crc(client_channel_id_t channelId, uint8_t nodeId, uint32_t *crc, uint32_t wait_ms,
                     bool skip_others);

/* client_api_locate_node, also saying how the last read of the
 * program-data object ended (`probeCode`, may be NULL): 0 (data), the abort
 * code of the node's answer, CO_SDO_AB_TIMEOUT when nothing answered, or
 * CO_SDO_AB_GENERAL when no read was made. */
client_node_side_t client_locate_node(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                                      uint32_t *appVersion, uint32_t *probeCode);

/* Waits up to `within_ms` for the node's bootloader to answer. */
int client_wait_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                           int (*cancelled)(void *), void *cancelUser);

/* The stop command repeated for up to `duration_ms` until the node
 * acknowledges; `round` (may be NULL) runs after each unanswered round. Prints
 * the lines of client_api_prevent_app_start_for_duration. 0 held, -1 not. */
int client_hold_in_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t duration_ms,
                              void (*round)(uint32_t elapsed_ms, void *user), void *user,
                              int (*cancelled)(void *), void *cancelUser);

/* The standard CRC-32 (zlib) of `n` bytes. */
uint32_t client_crc32(const uint8_t *data, size_t n);

/* Logs `prefix` and the bytes as "%02X " each, as one line. */
void client_log_bytes_line(const char *prefix, const uint8_t *data, size_t n);

/* True when the channel's cancel flag or the caller's check says stop. */
bool client_stop_requested(client_channel_id_t channelId, int (*cancelled)(void *), void *cancelUser);

#ifdef __cplusplus
}
#endif

#endif
