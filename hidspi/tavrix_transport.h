/* Internal transport layer of Tavrix: the HID report transport and the
 * AX99100 driver requests, reached through operation tables so that the
 * exported functions are written once for every platform and for the
 * simulated devices of the tests. Nothing here is exported. */
#ifndef TAVRIX_TRANSPORT_H
#define TAVRIX_TRANSPORT_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TAVRIX_REPORT_SIZE 1025 /* report ID byte + payload */
#define TAVRIX_PAYLOAD_SIZE 1024
#define TAVRIX_REPORT_PAD 0xCC
#define TAVRIX_HID_VENDOR_ID 0x16C0
#define TAVRIX_HID_PRODUCT_ID 0x2020
#define TAVRIX_HID_TIMEOUT_MS 100
/* Input reports dropped at most before an exchange's request (the system's
 * queue of input reports holds 32 to 512). */
#define TAVRIX_HID_QUEUED_REPORTS_MAX 512
#define TAVRIX_PATH_CHARS 260
#define TAVRIX_AX_DATA_MAX 131072
#define TAVRIX_AX_RECORD_SIZE (4 + 131072)
#define TAVRIX_AX_OPEN_ATTEMPTS 10
#define TAVRIX_AX_OPEN_PAUSE_MS 10
#define TAVRIX_AX_POLL_LIMIT_MS 100
/* Busy polls of a transfer: the first ones back to back, then pauses that
 * double from the first to the longest. */
#define TAVRIX_AX_TIGHT_POLLS 16
#define TAVRIX_AX_FIRST_PAUSE_US 10
#define TAVRIX_AX_LONGEST_PAUSE_US 1000
#define TAVRIX_AX_DIVIDER_MIN 3
#define TAVRIX_AX_DIVIDER_MAX 255

/* AX99100 driver requests (device-control codes). */
#define TAVRIX_AX_WRITE_REG8 0x222028u  /* in: u8 reg, u8 value */
#define TAVRIX_AX_READ_REG8 0x22202Cu   /* in: u8 reg; out: u8 value */
#define TAVRIX_AX_WRITE_REG32 0x22203Cu /* in: u32 space, u32 offset, u32 value */
#define TAVRIX_AX_READ_REG32 0x222040u  /* in: u32 space, u32 offset, u32 unused; out: u32 */
#define TAVRIX_AX_LOAD_TX 0x222054u     /* in: u32 length + 131072 data */
#define TAVRIX_AX_FETCH_RX 0x222058u    /* in: u32 length; out: u32 + 131072 data */
#define TAVRIX_AX_SET_LEN1 0x222068u    /* in: u32 length */
#define TAVRIX_AX_SET_LEN2 0x22206Cu    /* in: u32 length */

typedef intptr_t tavrix_handle_t;
#define TAVRIX_INVALID_HANDLE ((tavrix_handle_t)-1)

/* HID adapter. Reports are always TAVRIX_REPORT_SIZE bytes with the report
 * ID in byte 0. */
typedef struct TavrixHidOps {
    /* Finds the first adapter (vendor 0x16C0, product 0x2020) and opens it
     * once for reading and once for writing. 1 when found, 0 otherwise; the
     * handles may still be invalid after a 1 (the caller closes a valid one
     * and refuses the adapter). */
    int (*open)(tavrix_handle_t *read_handle, tavrix_handle_t *write_handle);
    /* Bytes written including the report ID, or -1 on failure or time-out. */
    int (*write)(tavrix_handle_t handle, const uint8_t *report, size_t size, uint32_t timeout_ms);
    /* Bytes stored in report including the report ID byte, 0 when nothing
     * arrived in time, -1 on failure. Never more than size. A time-out of 0
     * takes a report already queued, and does not wait for one. */
    int (*read)(tavrix_handle_t handle, uint8_t *report, size_t size, uint32_t timeout_ms);
    /* Cancels pending I/O on the handle and closes it. */
    void (*close)(tavrix_handle_t handle);
} TavrixHidOps;

/* AX99100 driver. */
typedef struct TavrixAxOps {
    /* Device name whose last character is replaced by the digits 0 to 9. */
    const char *name_template;
    /* Opens the named device exclusively for reading and writing. */
    tavrix_handle_t (*open)(const char *name);
    /* Issues one driver request synchronously: 1 when the driver accepted
     * it, 0 otherwise. out may be null when out_size is 0. */
    int (*request)(tavrix_handle_t handle, uint32_t code, const void *in, size_t in_size, void *out,
                   size_t out_size);
    void (*close)(tavrix_handle_t handle);
} TavrixAxOps;

/* Native transports of the platform the library was built for. */
const TavrixHidOps *tavrix_native_hid_ops(void);
const TavrixAxOps *tavrix_native_ax_ops(void);

/* Test seam: replaces the transports (null restores the native one). */
void tavrix_set_transports(const TavrixHidOps *hid, const TavrixAxOps *ax);
/* Test seam: returns the process-wide state to what it is right after the
 * library is loaded, without touching any device. */
void tavrix_reset_state(void);

/* Platform services. */
void tavrix_sleep_ms(uint32_t ms);
/* Gives the processor away for at least about us microseconds (where the
 * system has no finer sleep: whole milliseconds, or a yield below one). */
void tavrix_pause_us(uint32_t us);
uint32_t tavrix_tick_ms(void); /* wrapping millisecond tick */
/* High-resolution counter: 1 and the frequency (ticks per second) when
 * available. */
int tavrix_counter_frequency(uint64_t *frequency);
uint64_t tavrix_counter_now(void);
/* One lock per device, held for the whole of each call that uses it, so
 * that the calls of several threads take turns. Statically initialised. */
enum { TAVRIX_LOCK_HID = 0, TAVRIX_LOCK_AX = 1, TAVRIX_LOCK_COUNT = 2 };
void tavrix_lock(int device);
void tavrix_unlock(int device);
/* Start-up mutex of the AX99100 transport; no-ops where not needed. */
void tavrix_startup_mutex_consume(void);
void tavrix_startup_mutex_create(void);

/* Copies a device path into a buffer of capacity characters. 1 when it fits
 * with its terminator, 0 (and an empty buffer) when it does not. */
int tavrix_copy_path(char *dst, size_t capacity, const char *src);
int tavrix_copy_path_w(wchar_t *dst, size_t capacity, const wchar_t *src);

#ifdef __cplusplus
}
#endif

#endif
