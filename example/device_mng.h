/* Device manager: the single store of CAN adapters and their channels. */
#ifndef DEVICE_MNG_H
#define DEVICE_MNG_H

#include <stddef.h>
#include <stdint.h>

#include "client_store.h"

#ifdef __cplusplus
extern "C" {
#endif

extern client_api_context_t g_device_manager;

client_device_context_t *device_manager_get_device(uint32_t type, uint32_t index, uint32_t bitrate);
int device_manager_open_device(uint32_t type, uint32_t index, uint32_t bitrate);
int device_manager_init_channel(uint32_t type, uint32_t index, uint32_t channel);
int device_manager_start_channel(uint32_t type, uint32_t index, uint32_t channel);
void device_manager_release_channel(uint32_t type, uint32_t index, uint32_t channel);
CANDevice device_manager_get_device_handle(uint32_t type, uint32_t index);
int device_manager_set_channel_config(const client_channel_id_t *channel_id);
int device_manager_set_channel_configs(const client_channel_id_t *configs, size_t count);
int device_manager_is_channel_valid(const client_channel_id_t *channel_id);
int device_manager_get_available_channels(client_channel_id_t *out, size_t cap);
int device_manager_get_configured_channels_info(client_channel_id_t *out, size_t cap);
void device_manager_cleanup_all(void);

#ifdef __cplusplus
}
#endif

#endif
