/* CAN backend over the USB-to-CAN adapter library (VCI_* functions). */
#ifndef CAN_BACKEND_ZHCX_H
#define CAN_BACKEND_ZHCX_H

#include "ControlCAN.h"
#include "can_backend.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t deviceType;
    uint32_t deviceIndex;
    uint32_t bitrate; /* kbit/s */
} ZHCX_Device;

extern const CANBackendOps ZHCX_OPS;
extern const CANBackendWaitOps ZHCX_WAIT_OPS;

CANDevice zhcx_create(void);
void zhcx_destroy(CANDevice dev);
int zhcx_open(CANDevice dev, uint32_t type, uint32_t index, uint32_t bitrate_kbps);
void zhcx_close(CANDevice dev);
int zhcx_init(CANDevice dev, uint32_t ch);
int zhcx_start(CANDevice dev, uint32_t ch);
bool zhcx_send(CANDevice dev, uint32_t ch, uint32_t id, uint8_t remote, uint8_t extended, const uint8_t *data,
               uint8_t len);
uint32_t zhcx_send_multi(CANDevice dev, uint32_t ch, const CO_CANtxFrame_t *frames, uint32_t count);
int32_t zhcx_recv_multi(CANDevice dev, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap);
void zhcx_clear(CANDevice dev, uint32_t ch);
int zhcx_get_board_info(CANDevice dev, void *info);
int zhcx_reset(CANDevice dev);
int32_t zhcx_recv_wait(CANDevice dev, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap, uint32_t wait_ms);
int zhcx_wake(CANDevice dev, uint32_t ch);

/* Opens adapter `index` of adapter type `type` for a moment and asks it for
 * its channels: the count (2 when the adapter does not say, at most 6), or 0
 * when the adapter is not there. `board` (may be NULL) receives what the
 * adapter says of itself. Quiet: an adapter that is not plugged in is an
 * answer here, not an error worth a log line. */
uint32_t zhcx_probe_adapter(uint32_t type, uint32_t index, VCI_BOARD_INFO *board);

/* Bus-timing register pair for a bit rate in kbit/s; 0 when the rate is not supported. */
int zhcx_timing_for_bitrate(uint32_t bitrate_kbps, uint8_t *timing0, uint8_t *timing1);

#ifdef __cplusplus
}
#endif

#endif
