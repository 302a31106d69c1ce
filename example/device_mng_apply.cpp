// Applying the recorded channel configuration: brings up every channel that
// was configured and is not up yet. Lives apart from the device manager
// because it calls into the client API.
#include "client_api.h"
#include "ostrelo_log.h"
#include "device_mng.h"

#include <cstdio>

int device_manager_apply_config(uint16_t rxSize, uint16_t txSize) {
    if (g_device_manager.deviceCount == 0) {
        return 0;
    }
    int count = 0;
    for (uint8_t d = 0; d < g_device_manager.deviceCount && d < CLIENT_MAX_DEVICES; ++d) {
        client_device_context_t *dev = &g_device_manager.devices[d];
        for (uint32_t c = 0; c < CLIENT_MAX_CHANNELS; ++c) {
            client_channel_context_t *ch = &dev->channels[c];
            if (!ch->configed || ch->initialized) {
                continue;
            }
            // Copy first: bringing the channel up may rewrite the record.
            const client_channel_id_t stored = ch->channelId;
            ostrelo_debug(
                "[device_manager_apply_config] Initializing channel: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n",
                stored.deviceType, stored.deviceIndex, stored.canChannel, (unsigned)stored.bitrate);
            const client_channel_id_t got = client_api_manager_init_channel(
                stored.deviceType, stored.deviceIndex, stored.canChannel, stored.bitrate, rxSize, txSize);
            if (!client_channel_id_is_invalid(&got)) {
                ch->channelId = got;
                ++count;
                ostrelo_debug(
                    "[device_manager_apply_config] Channel initialized successfully: Type=%u, Index=%u, Channel=%u, Bitrate=%u (from returned channel_id)\n",
                    got.deviceType, got.deviceIndex, got.canChannel, (unsigned)got.bitrate);
                ostrelo_debug("[device_manager_apply_config] Bitrate in channel context: %u\n",
                              (unsigned)ch->channelId.bitrate);
            } else {
                ostrelo_error("[ERROR] Failed to initialize channel: Type=%u, Index=%u, Channel=%u\n",
                              stored.deviceType, stored.deviceIndex, stored.canChannel);
            }
        }
    }
    return count;
}
