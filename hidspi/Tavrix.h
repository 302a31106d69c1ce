/* Tavrix: SPI transfers and GPIO pins over a USB HID adapter or an AX99100
 * PCI Express SPI controller. Flat C interface; every function returns a
 * plain integer and nothing is allocated for the caller.
 *
 * Device type 0 selects the HID adapter, any other value (default 1) the
 * AX99100 controller. Calls must come from one thread at a time. */
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

/* 1 success, -1 no device, 0 HID adapter already open. The clock (Hz) is
 * used by the AX99100 only; 0 there opens nothing. */
TAVRIX_API int32_t TAVRIX_CALL UserSys_Init(uint32_t spi_clock_hz);
TAVRIX_API void TAVRIX_CALL UserSys_Close(void);

/* AX99100: 1 done, 0 time-out, -1 no device, -2 bad arguments (len 0 or
 * above 131072, null buffer). HID: number of bytes copied into rx (rx needs
 * room for 1024), 0 when nothing was read, -1 not open, -2 null buffer. */
TAVRIX_API int32_t TAVRIX_CALL UserSpiDataExchange(const uint8_t *tx, uint8_t *rx, uint32_t len);

/* HID only: 0 written or adapter not open, -1 write failed. */
TAVRIX_API int32_t TAVRIX_CALL UsbSpiDataWrite(const uint8_t *data, uint8_t *unused, int32_t len);

TAVRIX_API int32_t TAVRIX_CALL UserDelay(uint32_t microseconds);

/* GPIO (AX99100): 1 done, 0 request failed, -1 no device. */
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
