/* Upgrade client API: a flat function layer over CAN channels for the
 * worker threads of the application. Channel contexts and raw frames,
 * SDO access and block file transfer, motor identification and scanning,
 * bootloader control, CRC verification and upgrade, and the firmware file
 * cache with its naming rule.
 *
 * Results: 0 success / -1 failure, a count, or an SDO abort code
 * (0 success, 0x08000000 local failure, 0x05040000 own time limit). */
#ifndef CLIENT_API_H
#define CLIENT_API_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "CO_SDOclient.h"
#include "CO_driver_target.h"
#include "client_store.h"
#include "ostrelo_time.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Channel contexts and raw CAN messaging -------------------------- */

void client_api_set_backend_zhcx(void);
void client_api_set_backend_socketcan(void);

/* Brings a channel up (CAN module, SDO client, two frame queues). Returns the
 * stored identity, or {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0} on failure. */
client_channel_id_t client_api_manager_init_channel(uint32_t deviceType, uint32_t deviceIndex,
                                                    uint32_t canChannel, uint16_t bitrate, uint16_t rxSize,
                                                    uint16_t txSize);
client_channel_context_t *client_api_manager_get_channel_context(client_channel_id_t channelId);
void client_api_manager_release_channel(client_channel_id_t channelId);
void client_api_manager_cleanup_all(void);

/* The device manager's apply step: brings every configured channel up through
 * client_api_manager_init_channel, so it is built with the client API and
 * declared here rather than in device_mng.h. Returns the number of channels
 * brought up by this call. */
int device_manager_apply_config(uint16_t rxSize, uint16_t txSize);

int client_api_send_raw_can(client_channel_id_t channelId, const CO_CANrxMsg_t *frame);
int client_api_send_can_data(client_channel_id_t channelId, uint32_t canId, const uint8_t *data, uint8_t dlc);
int client_api_send_can_frame(client_channel_id_t channelId, uint32_t canId, const uint8_t *data,
                              uint8_t dlc);
int client_api_receive_raw_can(client_channel_id_t channelId, CO_CANrxMsg_t *frame, uint32_t timeout_ms);
/* The same receive, telling why no frame came: the time ran out (or the
 * channel was woken), or the channel cannot receive at all (not up, no
 * adapter, an adapter error). client_api_receive_raw_can says -1 for both. */
typedef enum { CLIENT_RX_FRAME = 0, CLIENT_RX_TIMEOUT = -1, CLIENT_RX_FAILED = -2 } client_rx_result_t;
client_rx_result_t client_api_receive_frame(client_channel_id_t channelId, CO_CANrxMsg_t *frame,
                                            uint32_t timeout_ms);
/* Says whether a frame of the raw path is the one a caller waits for
 * (non-zero takes it). A listener may only look at each frame and take none. */
typedef int (*client_frame_test_t)(const CO_CANrxMsg_t *frame, void *user);
/* The one wait for a frame: takes the channel's raw frames until one passes
 * `test` (NULL: the first frame), the time `until` runs out, the channel is
 * woken or a cancel is asked for it; frames that fail the test are dropped. Frames already waiting are
 * looked at even when no time is left. CLIENT_RX_FRAME with the frame in
 * `frame`, CLIENT_RX_TIMEOUT, or CLIENT_RX_FAILED when the channel cannot
 * receive at all. */
client_rx_result_t client_await_frame(client_channel_id_t channelId, client_frame_test_t test, void *user,
                                      ostrelo_deadline_t until, CO_CANrxMsg_t *frame);
/* Drops every frame waiting for the channel, on both receive paths, until
 * none comes for `quiet_ms`; on a bus that keeps talking, until twice
 * `quiet_ms` and 5 ms have passed. Returns the frames dropped, -1 when the
 * channel cannot receive. Before a step that judges the first frame it gets. */
int client_api_drain_channel(client_channel_id_t channelId, uint32_t quiet_ms);
/* Ends whatever wait for frames runs on the channel now (a raw receive, an
 * SDO transfer's sleep): the wait returns as if its time were up. For a
 * caller on another thread that has to stop the channel's work early. */
void client_api_wake_channel(client_channel_id_t channelId);
bool_t client_api_test_channel_availability(client_channel_id_t channelId);
/* The serial number the adapter of an up channel reports of itself (its
 * board info), NUL-terminated and cut to `size`: 0, or -1 (and "") when the
 * backend or the adapter does not say. Read it where no worker uses the
 * adapter yet (after the channels came up). */
int client_api_adapter_serial(client_channel_id_t channelId, char *out, size_t size);

/* Frame ring used by both receive paths of a channel. */
int fq_init(FixedQueue *q, size_t elementSize, uint16_t capacity); /* 0 ok, -1 failed */
int fq_pop(FixedQueue *q, void *out);                              /* 0 ok, -1 nothing */
uint16_t fq_fill_commit(FixedQueue *q, uint32_t filledCount);
void fq_free(FixedQueue *q);

/* ---- SDO access and block file transfer ------------------------------ */

typedef void (*client_api_progress_callback_t)(size_t bytesWritten, size_t totalBytes, void *userData);

CO_SDO_abortCode_t client_api_sdo_read(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                       uint8_t subIndex, uint8_t *buf, size_t bufSize, size_t *readSize,
                                       uint32_t timeout_ms);
CO_SDO_abortCode_t client_api_sdo_write(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                        uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                        uint32_t timeout_ms);
CO_SDO_abortCode_t client_api_sdo_transfer_with_progress(client_channel_id_t channelId, uint8_t nodeId,
                                                         uint16_t index, uint8_t subIndex,
                                                         const uint8_t *data, size_t dataSize,
                                                         uint32_t timeout_ms, bool_t useBlock,
                                                         client_api_progress_callback_t progressCallback,
                                                         void *userData);
CO_SDO_abortCode_t client_api_sdo_block_with_progress(client_channel_id_t channelId, uint8_t nodeId,
                                                      uint16_t index, uint8_t subIndex, const uint8_t *data,
                                                      size_t dataSize, uint32_t timeout_ms,
                                                      client_api_progress_callback_t progressCallback,
                                                      void *userData);
CO_SDO_abortCode_t client_api_sdo_transfer(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                           uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                           uint32_t timeout_ms, bool_t useBlock);
CO_SDO_abortCode_t
client_api_transfer_file_block_with_progress(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                             uint8_t subIndex, const char *filename, uint32_t timeout_ms,
                                             client_api_progress_callback_t progressCallback, void *userData);
CO_SDO_abortCode_t client_api_transfer_file_block(client_channel_id_t channelId, uint8_t nodeId,
                                                  uint16_t index, uint8_t subIndex, const char *filename,
                                                  uint32_t timeout_ms);

/* Loads a whole regular file into a malloc'ed buffer (freed by the caller).
 * 0 loaded, -1 failed (message printed). An empty file gives size 0 and a
 * buffer that must still be freed. */
int read_file_to_buffer(const char *filename, uint8_t **buffer, size_t *size);

/* ---- Motor identification and scanning ------------------------------- */

#define CLIENT_MAX_NODE_ID 128
#define CLIENT_MOTOR_TABLE_SIZE 129

typedef struct {
    uint8_t motorType;
    uint8_t brakeType;
    uint8_t encoderType;
    uint32_t softwareVersion; /* bytes, most significant first, are the dotted version */
    char firmwareModel[16];
    char brakeSuffix[8];
    char encoderName[32];
    char filenameKey[128];
} client_firmware_info_t;

typedef struct {
    uint8_t discovered;
    uint8_t nodeId;
    client_channel_id_t channelId;
    client_firmware_info_t info;
} client_discovered_motor_t;

/* Indexed by node-ID 0..128. */
extern client_discovered_motor_t g_discovered_motors[CLIENT_MOTOR_TABLE_SIZE];
extern size_t g_discovered_motor_count;

int client_api_query_motor_type_and_brake(client_channel_id_t channelId, uint8_t nodeId, uint8_t *motorType,
                                          uint8_t *brakeType);
int client_api_query_encoder_type(client_channel_id_t channelId, uint8_t nodeId, uint8_t *encoderType);
int client_api_query_software_version(client_channel_id_t channelId, uint8_t nodeId, uint32_t *version);
int client_api_query_firmware_info(client_channel_id_t channelId, uint8_t nodeId,
                                   client_firmware_info_t *info);
/* The same identification for a motor that answers slowly: each of the three
 * queries waits up to wait_ms for a frame from the node itself (identifier =
 * node-ID) and drops any other frame meanwhile. */
int client_api_query_firmware_info_within(client_channel_id_t channelId, uint8_t nodeId,
                                          client_firmware_info_t *info, uint32_t wait_ms);
void client_api_build_fw_filename_key(const client_firmware_info_t *info, char *out, size_t outSize);
void client_api_print_firmware_info(const client_firmware_info_t *info);
int client_api_scan_motors_ex(client_channel_id_t channelId, uint8_t nodeIdMin, uint8_t nodeIdMax,
                              uint16_t bitrate_kbps, uint32_t timeout_ms, bool clear_previous);
int client_api_scan_motors(client_channel_id_t channelId, uint8_t nodeIdMin, uint8_t nodeIdMax,
                           uint16_t bitrate_kbps, uint32_t timeout_ms);
void client_api_clear_discovered_motors(void);
void client_api_print_discovered_motors(client_channel_id_t channelId);

/* ---- Scanning one channel, as the window and the terminal program do --- */

typedef struct {
    const uint8_t *nodes; /* the node ids to ask, in this order */
    size_t nodeCount;
    /* The quick pass: each node is identified with the queries' own short
     * wait, `attempts` times at most (0 counts as 1), and up to
     * `attemptsWhileLate` times while late answers of the node show it is
     * there. With `dropStale`, the frames waiting before each identification
     * are dropped first, until the channel is quiet for `staleQuietMs`. */
    uint32_t attempts;
    uint32_t attemptsWhileLate;
    int dropStale;
    uint32_t staleQuietMs;
    /* The late-answer pass (0: none): the nodes that stayed silent are asked
     * once more all together and listened to for `lateWaitMs`; each one that
     * answered is identified with `lateWaitMs` as the wait for each answer,
     * `lateAttempts` times at most (0 counts as 1). */
    uint32_t lateWaitMs;
    uint32_t lateAttempts;
    /* The late pass also reads each silent node's bootloader (an SDO read
     * that only a bootloader answers); a node that answered there is
     * confirmed within `bootloaderConfirmMs` (300 ms after
     * client_scan_options_init) and reported in its bootloader. */
    int bootloaderLook;
    uint32_t bootloaderConfirmMs;
} client_scan_options_t;

/* One identification per node and no late pass: the options of
 * client_api_scan_motors_ex. */
void client_scan_options_init(client_scan_options_t *o);

/* What a caller hears while a channel is scanned; every member may be NULL.
 * All are called on the calling thread. `position` counts the node's place
 * in the list from 1. */
typedef struct {
    /* Before a node is asked anything (for the caller's log context). */
    void (*node_begins)(uint8_t node, void *user);
    /* After each node of the quick pass. */
    void (*progress)(uint8_t node, size_t position, int identified, void *user);
    /* A motor identified, in the quick pass (before its progress) or late. */
    void (*found)(uint8_t node, size_t position, const client_firmware_info_t *info, int late, void *user);
    /* The late pass listens now: `silent` nodes, for up to `wait_ms`. */
    void (*late_pass)(uint32_t wait_ms, size_t silent, void *user);
    /* A node that answers only in its bootloader (identity unknown). */
    void (*in_bootloader)(uint8_t node, size_t position, void *user);
    int (*cancelled)(void *user); /* non-zero: stop before the next node */
    void *user;
} client_scan_observer_t;

/* Scans one channel on the calling thread (the thread that owns it): the
 * quick pass over the nodes, then the late-answer pass. Returns the motors
 * identified; the discovered-motor table is not touched. */
int client_scan_channel(client_channel_id_t channelId, const client_scan_options_t *options,
                        const client_scan_observer_t *observer);

/* ---- Bootloader control ---------------------------------------------- */

int client_api_enter_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                                uint32_t retry_count, uint32_t retry_delay_ms);
int client_api_exit_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                               uint32_t retry_count, uint32_t retry_delay_ms);
/* Where a node is, as far as its answers tell: its application answers the
 * version query (also when it speaks SDO too), its bootloader answers an SDO
 * read of the program-data object (data or an abort of any code), or
 * nothing answers (off, restarting, frames lost). */
typedef enum {
    CLIENT_NODE_UNREACHABLE = -1, /* the channel is not up */
    CLIENT_NODE_SILENT = 0,
    CLIENT_NODE_APPLICATION = 1,
    CLIENT_NODE_BOOTLOADER = 2
} client_node_side_t;
/* Asks again until one side answers or `within_ms` pass (one round at the
 * least). `appVersion` (may be NULL) receives the version of an application. */
client_node_side_t client_api_locate_node(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                                          uint32_t *appVersion);
int client_api_prevent_app_start(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                                 uint32_t retry_count, uint32_t retry_delay_ms);
int client_api_prevent_app_start_for_duration(client_channel_id_t channelId, uint8_t nodeId,
                                              uint32_t duration_ms);
int client_api_boot_and_transfer_block(client_channel_id_t channelId, uint8_t nodeId, const char *filePath,
                                       uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms);
int client_api_force_boot_and_transfer_block_duration(client_channel_id_t channelId, uint8_t nodeId,
                                                      const char *filePath, uint32_t prevent_duration_ms,
                                                      uint32_t transfer_timeout_ms);

/* ---- Holding several motors in their bootloader ---------------------- */

typedef struct {
    client_channel_id_t channelId;
    uint8_t nodeId;
    int held; /* set once its stop command was acknowledged */
} client_hold_motor_t;

typedef enum {
    CLIENT_HOLD_ALL_HELD = 0, /* every motor acknowledged */
    CLIENT_HOLD_TIME_UP,      /* the limit passed first */
    CLIENT_HOLD_STOPPED       /* the observer asked to stop */
} client_hold_end_t;

/* What a caller of client_hold_motors hears and decides; every member may be
 * NULL. All are called on the calling thread. */
typedef struct {
    /* motors[index] acknowledged: it is held in its bootloader now. */
    void (*held)(size_t index, void *user);
    /* Before a motor's round on its channel: 0 passes the motor over in this
     * pass (another thread uses the channel); otherwise leave_channel follows
     * the round. */
    int (*enter_channel)(client_channel_id_t channelId, void *user);
    void (*leave_channel)(client_channel_id_t channelId, void *user);
    /* After each pass that left a motor unheld, with the time since the start:
     * the place to ask for the power cycle. */
    void (*pass)(uint32_t elapsed_ms, void *user);
    int (*cancelled)(void *user); /* non-zero: stop before the next pass */
    void *user;
} client_hold_observer_t;

/* Holds motors in their bootloader while someone switches them off and on:
 * in each pass every motor not yet held gets the stop command and then its
 * acknowledge is awaited for `round_wait_ms`, other frames of its channel
 * passed over; a pause of `pass_pause_ms` follows
 * each pass. Ends when every motor is held, `limit_ms` have passed or the
 * observer stops it. The motors may be on several channels. */
client_hold_end_t client_hold_motors(client_hold_motor_t *motors, size_t count, uint32_t limit_ms,
                                     uint32_t round_wait_ms, uint32_t pass_pause_ms,
                                     const client_hold_observer_t *observer);

/* ---- Firmware verification and upgrade ------------------------------- */

uint32_t reverse_byte(uint32_t byte, uint8_t bits);
uint32_t client_api_calculate_file_crc32(const char *filename);
int client_api_query_firmware_crc(client_channel_id_t channelId, uint8_t nodeId, uint32_t *crc);
int client_api_verify_firmware_crc(client_channel_id_t channelId, uint8_t nodeId, const char *filename);
/* Built on client_upgrade_run with one attempt; prints the lines of the
 * single calls it once was made of. */
int client_api_upgrade_motor(client_channel_id_t channelId, uint8_t nodeId, const char *filePath,
                             uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms,
                             uint32_t verify_timeout_ms, uint32_t exit_timeout_ms);
int client_api_upgrade_all_matched(client_channel_id_t channelId, const char *folderPath,
                                   uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms,
                                   uint32_t verify_timeout_ms, uint32_t exit_timeout_ms);

/* ---- One motor's upgrade, as one sequence ------------------------------ */

/* The steps, in order; a result names the step it ended in. */
typedef enum {
    CLIENT_UPGRADE_STEP_NONE = 0, /* before anything was sent: arguments, file */
    CLIENT_UPGRADE_STEP_ENTRY,    /* into the bootloader: handshake, hold, or the bootloader's answer */
    CLIENT_UPGRADE_STEP_TRANSFER, /* the image by SDO block download */
    CLIENT_UPGRADE_STEP_VERIFY,   /* the bootloader's CRC-32 against the file's */
    CLIENT_UPGRADE_STEP_START,    /* the start command */
    CLIENT_UPGRADE_STEP_CONFIRM,  /* the application answering (and its version) */
    CLIENT_UPGRADE_STEP_DONE
} client_upgrade_step_t;

typedef enum {
    CLIENT_UPGRADE_OK = 0,
    CLIENT_UPGRADE_BAD_ARGUMENTS,        /* invalid channel identity, no file name */
    CLIENT_UPGRADE_CHANNEL_DOWN,         /* the channel is not up, or its adapter fails */
    CLIENT_UPGRADE_FILE_UNREADABLE,      /* missing, not a regular file, not readable, or over 4 GiB */
    CLIENT_UPGRADE_FILE_EMPTY,           /* nothing to send: never sent (it would erase the motor) */
    CLIENT_UPGRADE_NO_HANDSHAKE,         /* the application did not go through the entry handshake */
    CLIENT_UPGRADE_NOT_HELD,             /* the stop command was never acknowledged during the hold */
    CLIENT_UPGRADE_NOT_IN_BOOTLOADER,    /* expected in its bootloader, but its application answers */
    CLIENT_UPGRADE_BOOTLOADER_SILENT,    /* the bootloader does not answer */
    CLIENT_UPGRADE_IMAGE_TOO_LARGE,      /* the bootloader refused the image's size (abort 0x05040005) */
    CLIENT_UPGRADE_NODE_ABORTED,         /* the bootloader aborted the transfer (code) */
    CLIENT_UPGRADE_NO_RESPONSE,          /* an answer of the transfer did not come in time: frames lost */
    CLIENT_UPGRADE_TOO_SLOW,             /* the transfer's total time limit passed */
    CLIENT_UPGRADE_TRANSFER_FAILED,      /* the client ended the transfer for another reason (code) */
    CLIENT_UPGRADE_NO_CRC,               /* the bootloader did not report its CRC */
    CLIENT_UPGRADE_CRC_MISMATCH,         /* its CRC differs from the file's: the image is not started */
    CLIENT_UPGRADE_START_NOT_SENT,       /* the adapter refused the start command */
    CLIENT_UPGRADE_STAYED_IN_BOOTLOADER, /* the start was not obeyed: the bootloader still answers */
    CLIENT_UPGRADE_APP_SILENT,       /* after the start neither the application nor the bootloader answers */
    CLIENT_UPGRADE_VERSION_MISMATCH, /* the application runs with another version than expected */
    CLIENT_UPGRADE_CANCELLED         /* a cancel was asked for */
} client_upgrade_reason_t;

/* How the motor gets into its bootloader. */
typedef enum {
    CLIENT_ENTRY_HANDSHAKE = 0, /* its application runs: the entry handshake */
    CLIENT_ENTRY_IN_BOOTLOADER, /* found in its bootloader: no handshake is sent */
    CLIENT_ENTRY_HOLD           /* the stop command is repeated while someone switches it off and on */
} client_entry_t;

typedef struct {
    client_entry_t entry;
    uint32_t retries;          /* attempts after the first */
    uint32_t retryDelayMs;     /* pause before each retry */
    uint32_t handshakeWaitMs;  /* wait for each reply of the handshake */
    uint32_t handshakeRetries; /* handshake rounds after the first, within one attempt */
    uint32_t holdMs;           /* how long the stop command is repeated */
    uint32_t bootloaderWaitMs; /* how long a bootloader has to answer once entered */
    uint32_t settleMs;         /* pause between the bootloader's first answer and the transfer */
    uint32_t eraseTimeoutMs;   /* the answers to the transfer's initiate and end (1..65535) */
    uint32_t
        responseTimeoutMs; /* each other answer of the transfer: the sub-blocks' acknowledges (1..65535) */
    uint32_t transferTimeoutMs; /* the whole transfer; 0: client_upgrade_transfer_limit_ms */
    uint32_t crcWaitMs;         /* the CRC answer, per request */
    uint32_t confirmWindowMs;   /* how long a started application has to answer */
    uint32_t expectedVersion;   /* the version the new application must report; 0: not checked */
    /* Non-zero: a motor whose application did not go through the entry
     * handshake is held through a power cycle in the attempts left. */
    uint32_t holdWhenNoHandshake;
} client_upgrade_options_t;

/* Defaults shared by every caller: the window, the terminal program and the
 * tests run the same figures. */
#define CLIENT_UPGRADE_RETRIES 2u
#define CLIENT_UPGRADE_RETRY_DELAY_MS 200u
#define CLIENT_UPGRADE_HANDSHAKE_WAIT_MS 1000u
#define CLIENT_UPGRADE_HANDSHAKE_RETRIES 3u
#define CLIENT_UPGRADE_HOLD_MS 30000u
#define CLIENT_UPGRADE_BOOTLOADER_WAIT_MS 3000u
/* The answers to the transfer's initiate and end. A bootloader erases the
 * flash for the image before it answers the initiate (1 to 8 s for 64 to
 * 512 KiB of a motor controller's flash) and may commit the image before it
 * answers the end. The window's transfer time-out of 60000 ms taken as the
 * block transfer's response time-out: (60000 x 100) mod 65536 ms. */
#define CLIENT_UPGRADE_ERASE_TIMEOUT_MS 36224u
/* Every other answer of the transfer, the sub-blocks' acknowledges above
 * all: one lost on the bus costs this long, not the erase's half minute. */
#define CLIENT_UPGRADE_RESPONSE_TIMEOUT_MS 1500u
#define CLIENT_UPGRADE_CRC_WAIT_MS 2000u
/* A motor's application restarts in seconds; the window gives it that and a
 * margin before the start counts as failed. */
#define CLIENT_UPGRADE_CONFIRM_WINDOW_MS 10000u

void client_upgrade_options_init(client_upgrade_options_t *o);

/* A generous limit for sending `bytes` at `kbps`: three times the bus time
 * of a block transfer, plus the longest erase the initiate may wait for
 * (CLIENT_UPGRADE_ERASE_TIMEOUT_MS), plus 20 s. */
uint32_t client_upgrade_transfer_limit_ms(uint64_t bytes, uint16_t kbps);

typedef struct {
    client_upgrade_step_t step;
    client_upgrade_reason_t reason;
    uint32_t code; /* the SDO abort code of a transfer that ended badly, else 0 */
} client_upgrade_cause_t;

#define CLIENT_UPGRADE_MAX_CAUSES 8

typedef struct {
    client_upgrade_step_t step;     /* CLIENT_UPGRADE_STEP_DONE on success, else where it ended */
    client_upgrade_reason_t reason; /* CLIENT_UPGRADE_OK on success */
    uint32_t code;                  /* SDO abort code, for the transfer reasons */
    uint32_t attempts;              /* attempts made */
    /* Why each failed attempt failed, oldest first (the last one is step/reason). */
    uint32_t causeCount;
    client_upgrade_cause_t causes[CLIENT_UPGRADE_MAX_CAUSES];
    uint64_t fileSize;
    uint32_t fileCrc;
    int haveDeviceCrc;
    uint32_t deviceCrc;
    int haveVersion;
    uint32_t version;    /* what the started application reported */
    uint32_t transferMs; /* the last transfer */
    /* The readiness probe of a node found in its bootloader (an SDO read of
     * the program-data object), when one was made: 0 data, the abort code
     * the bootloader answered (0x06010000 from most), or 0x05040000 when
     * nothing answered (the transfer went ahead all the same). */
    int probed;
    uint32_t probeCode;
} client_upgrade_result_t;

/* What a caller hears while the sequence runs; every member may be NULL. All
 * are called on the calling thread. */
typedef struct {
    void (*step)(client_upgrade_step_t step, uint32_t attempt, void *user);
    void (*progress)(size_t done, size_t total, void *user);
    int (*cancelled)(void *user); /* non-zero: stop at the next check */
    /* Called on each round of a hold (every 10 ms or so) with the time since
     * it began; the place to ask for or do the power cycle. */
    void (*hold_round)(uint32_t elapsed_ms, void *user);
    void *user;
} client_upgrade_observer_t;

/* Upgrades one motor with the image in `path`: into its bootloader, the
 * transfer, the CRC comparison, the start and the application's answer, with
 * `options->retries` further attempts after a failure that another attempt
 * can cure. Each retry first ends the abandoned transfer on both sides and
 * finds where the node is: a node in its bootloader is not sent the
 * handshake again. Success is only what the motor showed: its application
 * answered after the start of an image whose CRC matched. `options` may be
 * NULL (the defaults, entry by handshake); `result` receives the details. */
client_upgrade_reason_t client_upgrade_run(client_channel_id_t channelId, uint8_t nodeId, const char *path,
                                           const client_upgrade_options_t *options,
                                           const client_upgrade_observer_t *observer,
                                           client_upgrade_result_t *result);

/* After a start command: asks the application for its version until it
 * answers or `window_ms` pass. A start the bootloader did not acknowledge is
 * sent again while the bootloader still answers. Returns
 * CLIENT_UPGRADE_OK (with the version), CLIENT_UPGRADE_STAYED_IN_BOOTLOADER,
 * CLIENT_UPGRADE_APP_SILENT, CLIENT_UPGRADE_CHANNEL_DOWN or
 * CLIENT_UPGRADE_CANCELLED. */
client_upgrade_reason_t client_api_confirm_application(client_channel_id_t channelId, uint8_t nodeId,
                                                       uint32_t window_ms, uint32_t *version);

/* The start of a node's application as the operator asks for it: the start
 * command (client_api_exit_bootloader with its arguments), then
 * client_api_confirm_application with `window_ms`. CLIENT_UPGRADE_OK only
 * once the application answered; CLIENT_UPGRADE_START_NOT_SENT when the
 * command could not be sent. */
client_upgrade_reason_t client_api_start_application(client_channel_id_t channelId, uint8_t nodeId,
                                                     uint32_t timeout_ms, uint32_t retry_count,
                                                     uint32_t retry_delay_ms, uint32_t window_ms,
                                                     uint32_t *version);

/* Short English texts for logs and reports. */
const char *client_upgrade_step_text(client_upgrade_step_t step);
const char *client_upgrade_reason_text(client_upgrade_reason_t reason);

/* ---- Firmware file cache and matching -------------------------------- */

#define CLIENT_MAX_BIN_FILES 512
#define CLIENT_FILENAME_LEN 256
#define CLIENT_PATH_LEN 512

typedef struct {
    char filename[CLIENT_FILENAME_LEN];
    char fullPath[CLIENT_PATH_LEN];
} cached_bin_file_t;

typedef struct {
    char filename[CLIENT_FILENAME_LEN];
    char fullPath[CLIENT_PATH_LEN];
    bool_t matched;
} client_matched_file_t;

extern cached_bin_file_t g_bin_file_cache[CLIENT_MAX_BIN_FILES];
extern size_t g_bin_file_count;
extern char g_cached_folder_path[CLIENT_PATH_LEN];
extern bool_t g_file_cache_valid;
/* Indexed by node-ID, parallel to g_discovered_motors. */
extern client_matched_file_t g_matched_files[CLIENT_MOTOR_TABLE_SIZE];

int client_api_cache_directory_bin_files(const char *folderPath);
int client_api_match_bin_files(const char *folderPath);
void client_api_print_matched_files(void);
void client_api_clear_file_cache(void);

int cache_directory_bin_files_impl(const char *folderPath);
/* Joins base_path and filename with a separator and makes the result
 * absolute; falls back to the joined path. 0 absolute, -1 fallback used. */
int get_absolute_path(const char *base_path, const char *filename, char *output, size_t output_size);
bool_t str_ends_with_ignore_case(const char *str, const char *suffix);
bool_t match_filename_with_key(const char *filename, const char *filenameKey);

/* Why the CAN transport cannot work as chosen (see controlcan_transport.h),
 * one line for the user, or NULL. */
const char *client_api_transport_problem(void);

/* ---- Cancelling a running transfer ------------------------------------ */

/* Code of the SDO abort sent to the node when a transfer is cancelled, and
 * the result the cancelled call returns. */
#define CLIENT_CANCEL_ABORT_CODE 0x08000000u

/* Asks the transfer running on a channel (and every later one) to stop: the
 * transfer loops check the flag on every pass, send an SDO abort to the node
 * and return CLIENT_CANCEL_ABORT_CODE. The flag stays set until
 * client_api_clear_cancel_all. Returns 0, or -1 for a channel that is not up. */
int client_api_request_cancel(client_channel_id_t channelId);
/* The same for every channel, also those brought up later. */
void client_api_request_cancel_all(void);
/* Clears the flag of every channel and the one of request_cancel_all. */
void client_api_clear_cancel_all(void);
bool client_api_cancel_requested(client_channel_id_t channelId);
/* Ends the SDO transfer the channel's client runs with an abort frame to the
 * node (CLIENT_CANCEL_ABORT_CODE) and returns that code. For the loops. */
CO_SDO_abortCode_t client_api_abort_cancelled_sdo(client_channel_context_t *ch);

#ifdef __cplusplus
}
#endif

#endif
