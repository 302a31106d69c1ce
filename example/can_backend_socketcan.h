/* SocketCAN placeholder backend: an adapter opens, but no channel can be
 * brought up (a working SocketCAN path lives in the adapter-library stand-in). */
#ifndef CAN_BACKEND_SOCKETCAN_H
#define CAN_BACKEND_SOCKETCAN_H

#include "can_backend.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct {
    uint32_t bitrate_bps;
} SOCK_Device;

extern const CANBackendOps SOCK_OPS;

CANDevice sock_create(void);
void sock_destroy(CANDevice dev);
int sock_open(CANDevice dev, uint32_t type, uint32_t index, uint32_t bitrate_kbps);
void sock_close(CANDevice dev);
int sock_init(CANDevice dev, uint32_t ch);
int sock_start(CANDevice dev, uint32_t ch);
bool sock_send(CANDevice dev, uint32_t ch, uint32_t id, uint8_t remote, uint8_t extended, const uint8_t *data,
               uint8_t len);
int32_t sock_recv_multi(CANDevice dev, uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap);
void sock_clear(CANDevice dev, uint32_t ch);
int sock_info(CANDevice dev, void *info);
int sock_reset(CANDevice dev);

#ifdef __cplusplus
}
#endif

#endif
