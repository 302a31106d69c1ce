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

/* Operations of a backend that can wait for frames instead of being polled. */
typedef struct {
    /* As recv_multi, but when nothing is waiting it sleeps until a frame
     * arrives, `wait_ms` pass, or `wake` is called for the channel. */
    int32_t (*recv_wait)(CANDevice dev, uint32_t channel, CO_CANrxMsg_t *frames, uint32_t cap,
                         uint32_t wait_ms);
    /* Ends a recv_wait sleeping on the channel now (or the next one at once);
     * 1 when done. */
    int (*wake)(CANDevice dev, uint32_t channel);
} CANBackendWaitOps;

extern const CANBackendOps *g_backend_ops;

const CANBackendOps *can_backend_get(void);
void can_backend_set(const CANBackendOps *ops);
void can_backend_set_zhcx(void);
void can_backend_set_socketcan(void);
/* The waiting operations that go with a backend table; NULL when its backend
 * can only be polled. */
const CANBackendWaitOps *can_backend_wait_ops(const CANBackendOps *ops);

#ifdef __cplusplus
}
#endif

#endif
