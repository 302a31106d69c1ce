/* The process-wide table of CAN backend operations. */
#ifndef CAN_BACKEND_H
#define CAN_BACKEND_H

#include <stdbool.h>
#include <stdint.h>

#include "CO_driver_target.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void *CANDevice;

typedef struct {
    CANDevice (*create)(void);
    void (*destroy)(CANDevice dev);
    int (*open_device)(CANDevice dev, uint32_t type, uint32_t index, uint32_t bitrate_kbps);
    void (*close_device)(CANDevice dev);
    int (*init_channel)(CANDevice dev, uint32_t channel);
    int (*start_channel)(CANDevice dev, uint32_t channel);
    bool (*send)(CANDevice dev, uint32_t channel, uint32_t id, uint8_t remote, uint8_t extended,
                 const uint8_t *data, uint8_t len);
    int32_t (*recv_multi)(CANDevice dev, uint32_t channel, CO_CANrxMsg_t *frames, uint32_t cap);
    void (*clear_buffer)(CANDevice dev, uint32_t channel);
    int (*get_board_info)(CANDevice dev, void *info);
    int (*reset_device)(CANDevice dev);
} CANBackendOps;

extern const CANBackendOps *g_backend_ops;

const CANBackendOps *can_backend_get(void);
void can_backend_set(const CANBackendOps *ops);
void can_backend_set_zhcx(void);
void can_backend_set_socketcan(void);

#ifdef __cplusplus
}
#endif

#endif
