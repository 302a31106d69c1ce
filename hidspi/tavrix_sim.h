/* Simulated adapters for the tests of Tavrix (internal, never part of the
 * shared library): a HID adapter that records the reports written to it and
 * answers reads with scripted reports (or with the complement of the last
 * report written), and an AX99100 register model that records every driver
 * request in order and runs the busy bit of register 0x13. Install them with
 * tavrix_sim_install(). Like the devices, they rely on the library to hand
 * them one request at a time. */
#ifndef TAVRIX_SIM_H
#define TAVRIX_SIM_H

#include "tavrix_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

enum { TAVRIX_SIM_MAX_REPLIES = 8, TAVRIX_SIM_MAX_REQUESTS = 512, TAVRIX_SIM_MAX_NAMES = 16 };

typedef struct TavrixSimHid {
    int present;         /* open finds the adapter */
    int invalid_handles; /* found, but 1: neither handle opens, 2: the write handle does not */
    int fail_writes;     /* every write fails */
    int answer_writes;   /* each report written is answered by its complement */
    int answer_pending;
    int queued_reports; /* reports (payload 0xEE) queued before a request, taken first */
    int open_calls;
    int open_handles; /* handles currently open */
    int write_calls;
    uint8_t last_report[TAVRIX_REPORT_SIZE];
    size_t last_report_size;
    uint32_t last_write_timeout_ms;
    int read_calls; /* reads that wait for an answer (a time-out above 0) */
    uint32_t last_read_timeout_ms;
    /* Scripted answers to the request written before, used in order by the
     * reads that wait; with none left such a read times out. */
    uint8_t replies[TAVRIX_SIM_MAX_REPLIES][TAVRIX_REPORT_SIZE];
    int reply_results[TAVRIX_SIM_MAX_REPLIES];
    int reply_count;
    int reply_next;
} TavrixSimHid;

typedef struct TavrixSimAxRequest {
    uint32_t code;
    size_t in_size;
    size_t out_size;
    uint8_t in[16]; /* first bytes of the input */
} TavrixSimAxRequest;

typedef struct TavrixSimAx {
    int present_digit; /* the node ending in this digit exists; -1 none */
    int open_calls;
    char tried[TAVRIX_SIM_MAX_NAMES][64];
    uint32_t tried_at_ms[TAVRIX_SIM_MAX_NAMES];
    int is_open;
    int close_calls;
    uint32_t fail_code; /* requests with this code fail (0: none) */
    int fail_request;   /* the request that makes log_count this number fails (0: none) */
    TavrixSimAxRequest log[TAVRIX_SIM_MAX_REQUESTS];
    int log_count; /* requests issued, may exceed the log size */
    uint8_t reg8[256];
    uint32_t gpio_data; /* space 2, 0x3C0 */
    uint32_t gpio_dir;  /* space 2, 0x3C4 */
    uint32_t enable;    /* space 0, 0x238 */
    int busy_polls;     /* reads of 0x13 showing busy after a start; -1 for ever */
    int busy_left;
    int status_reads;
    uint32_t len1;
    uint32_t len2;
    uint32_t tx_len;
    uint8_t tx[TAVRIX_AX_DATA_MAX];
} TavrixSimAx;

TavrixSimHid *tavrix_sim_hid(void);
TavrixSimAx *tavrix_sim_ax(void);
const TavrixHidOps *tavrix_sim_hid_ops(void);
const TavrixAxOps *tavrix_sim_ax_ops(void);

/* Resets both simulations, the library state, and installs them. */
void tavrix_sim_install(void);
/* Queues the answer to one read: payload bytes behind report ID 0 and the
 * count the read reports (including the ID byte; 0 = time-out, -1 = error). */
void tavrix_sim_hid_queue_reply(const uint8_t *payload, size_t payload_size, int result);

#ifdef __cplusplus
}
#endif

#endif
