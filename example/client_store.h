/* The store of CAN adapters and their channel contexts, shared by the device
 * manager, the CAN module driver and the upgrade client API. */
#ifndef CLIENT_STORE_H
#define CLIENT_STORE_H

#include <stddef.h>
#include <stdint.h>

#include "CO_driver_target.h"
#include "CO_SDOclient.h"
#include "can_backend.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CLIENT_MAX_DEVICES 4
#define CLIENT_MAX_CHANNELS 6
#define CLIENT_CHANNEL_RX_BUFFERS 8
#define CLIENT_CHANNEL_TX_BUFFERS 8
#define CLIENT_QUEUE_CAPACITY 255

typedef CO_CANdeviceConfig_t client_channel_id_t;

/* Fixed-capacity ring of equally sized elements. */
typedef struct {
    uint8_t *buffer;
    uint16_t capacity;
    uint16_t head;
    uint16_t tail;
    uint16_t count;
    size_t elementSize;
    uint8_t initialized;
} FixedQueue;

struct client_device_context_s;

typedef struct client_channel_context_s {
    CO_CANmodule_t canmodule; /* first: its CANptr points back at this record */
    CO_SDOclient_t sdoclient;
    CO_CANrx_t rx_array[CLIENT_CHANNEL_RX_BUFFERS];
    CO_CANtx_t tx_array[CLIENT_CHANNEL_TX_BUFFERS];
    client_channel_id_t channelId;
    FixedQueue rxQueue;    /* CANopen receive path */
    FixedQueue rawRxQueue; /* raw frame path */
    struct client_device_context_s *device_ctx;
    bool_t configed;
    bool_t initialized;
} client_channel_context_t;

typedef struct client_device_context_s {
    uint32_t deviceType;
    uint32_t deviceIndex;
    uint32_t bitrate; /* kbit/s */
    bool_t opened;
    CANDevice device;
    client_channel_context_t channels[CLIENT_MAX_CHANNELS];
    uint8_t activeChannelCount;
} client_device_context_t;

typedef struct {
    client_device_context_t devices[CLIENT_MAX_DEVICES];
    uint8_t deviceCount;
} client_api_context_t;

/* True for the identity whose type, index and channel are all 0xFFFFFFFF. */
static inline bool_t client_channel_id_is_invalid(const client_channel_id_t *id) {
    return (id->deviceType & id->deviceIndex & id->canChannel) == 0xFFFFFFFFu;
}

#ifdef __cplusplus
}
#endif

#endif
