/* Tavrix: SPI transfers and GPIO pins over a USB HID adapter or an AX99100
 * PCI Express SPI controller. Flat C interface; every function returns a
 * plain integer and nothing is allocated for the caller.
 *
 * Device type 0 selects the HID adapter, any other value (default 1) the
 * AX99100 controller. The two transports report success differently: an
 * AX99100 call returns 1, a HID exchange the length of the adapter's reply
 * (1024). Compare with the values below, not with "non-zero".
 *
 * Threads: each device has one lock, held for the whole of every call that
 * uses it, so calls from several threads take turns and never mix their
 * data. (The device type itself is one setting for the whole process.)
 *
 * Linux: link with `pkg-config --cflags --libs tavrix` (libTavrix.so.1). */
#ifndef TAVRIX_H
#define TAVRIX_H

#include <stdint.h>

#if defined(_WIN32)
#define TAVRIX_CALL __stdcall
#if defined(TAVRIX_BUILDING)
#define TAVRIX_API __declspec(dllexport)
#else
#define TAVRIX_API __declspec(dllimport)
#endif
#else
#define TAVRIX_CALL
#define TAVRIX_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Selects the transport used by the next UserSys_Init; always 1. */
TAVRIX_API int32_t TAVRIX_CALL XF_SetDevType(int32_t type);
TAVRIX_API int32_t TAVRIX_CALL XF_GetDevType(void);

/* 1 success; 0 HID adapter already open; -1 no device, or a device that
 * could not be used: a HID adapter that is present but cannot be opened
 * (no access to its device node; prints "Init error: invalid handle"), an
 * AX99100 controller that refused a step of its configuration (it is
 * released again).
 * The clock (Hz) is used by the AX99100 only; 0 there opens nothing and
 * returns 1. The controller divides 100 MHz by 3 to 255: a faster clock
 * than 33.3 MHz gets divider 3, a slower one than about 392 kHz gets 255,
 * the slowest the controller can run. */
TAVRIX_API int32_t TAVRIX_CALL UserSys_Init(uint32_t spi_clock_hz);
TAVRIX_API void TAVRIX_CALL UserSys_Close(void);

/* Sends len bytes of tx and receives into rx.
 * AX99100: 1 done (len bytes in rx); 0 failed (the driver refused a
 * request, or the transfer did not end within 100 ms); -1 no device; -2 bad
 * arguments (len 0 or above 131072, null buffer). rx needs len bytes.
 * HID: one report carries at most 1024 bytes, so of a longer tx only the
 * first 1024 are sent. The result is the length of the reply (1024 for a
 * whole report); min(len, reply) bytes of it are copied into rx, so rx
 * needs min(len, 1024) bytes. len 0 sends a report of padding alone and
 * copies the whole reply (rx then needs 1024 bytes). Reports that came in
 * before the request (an answer too late for an earlier exchange) are
 * dropped, not taken for its answer. 0 failed (the report could not be
 * written, or no reply came within 100 ms); -1 not open; -2 null buffer.
 * After any failure rx holds nothing of this transfer or an earlier one. */
TAVRIX_API int32_t TAVRIX_CALL UserSpiDataExchange(const uint8_t *tx, uint8_t *rx, uint32_t len);

/* HID only: sends one report with the first min(len, 1024) bytes of data;
 * nothing is read back. 0 written or adapter not open, -1 write failed. */
TAVRIX_API int32_t TAVRIX_CALL UsbSpiDataWrite(const uint8_t *data, uint8_t *unused, int32_t len);

TAVRIX_API int32_t TAVRIX_CALL UserDelay(uint32_t microseconds);

/* GPIO (AX99100, whatever the device type): 1 done, 0 request failed, -1
 * no device. UserGetGpioDir reads the data register, exactly as
 * UserGetGpioData_u32 does; the direction written by UserSetGpioDir cannot
 * be read back. */
TAVRIX_API int32_t TAVRIX_CALL UserGetGpioDir(uint32_t *out);
TAVRIX_API int32_t TAVRIX_CALL UserSetGpioDir(uint32_t dir);
TAVRIX_API int32_t TAVRIX_CALL UserGetGpioData(uint8_t pin, int32_t *out);
/* 1 written, 0 failed or no device. */
TAVRIX_API int32_t TAVRIX_CALL UserSetGpioData(uint8_t pin, int32_t level);
TAVRIX_API int32_t TAVRIX_CALL UserSetGpioData_u32(uint32_t value);
TAVRIX_API int32_t TAVRIX_CALL UserGetGpioData_u32(uint32_t *out);

#ifdef __cplusplus
}
#endif

#endif
