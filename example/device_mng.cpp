#include "device_mng.h"
#include "ostrelo_log.h"

#include <cstdio>
#include <cstring>

client_api_context_t g_device_manager;

namespace {

const CANBackendOps *backend() {
    return can_backend_get();
}

client_device_context_t *find_existing(uint32_t type, uint32_t index) {
    for (uint8_t i = 0; i < g_device_manager.deviceCount && i < CLIENT_MAX_DEVICES; ++i) {
        client_device_context_t *d = &g_device_manager.devices[i];
        if (d->deviceType == type && d->deviceIndex == index) {
            return d;
        }
    }
    return nullptr;
}

// Finds the adapter by (type, index) among the used slots, or takes the next
// free slot for it. Slots are never handed back one by one.
client_device_context_t *find_or_create(uint32_t type, uint32_t index, uint32_t bitrate) {
    client_device_context_t *d = find_existing(type, index);
    if (d != nullptr) {
        return d;
    }
    if (g_device_manager.deviceCount >= CLIENT_MAX_DEVICES) {
        return nullptr;
    }
    d = &g_device_manager.devices[g_device_manager.deviceCount];
    memset(d, 0, sizeof(*d));
    d->deviceType = type;
    d->deviceIndex = index;
    d->bitrate = bitrate;
    d->device = nullptr;
    d->opened = false;
    g_device_manager.deviceCount++;
    return d;
}

bool same_channel(const client_channel_id_t &a, const client_channel_id_t &b) {
    return a.deviceType == b.deviceType && a.deviceIndex == b.deviceIndex && a.canChannel == b.canChannel;
}

// Fills `out` with at most `cap` of the channels open on the known adapters,
// in adapter and channel order, and returns how many. `entry` is asked about
// each open channel: it fills the slot (the `number`th entry, from 1) and
// returns true, or returns false to leave the channel out.
template <typename Entry> int list_open_channels(client_channel_id_t *out, size_t cap, Entry entry) {
    if (!out || cap == 0 || g_device_manager.deviceCount == 0) {
        return 0;
    }
    size_t n = 0;
    for (uint8_t i = 0; i < g_device_manager.deviceCount && i < CLIENT_MAX_DEVICES && n < cap; ++i) {
        const client_device_context_t &d = g_device_manager.devices[i];
        for (uint32_t c = 0; c < CLIENT_MAX_CHANNELS && n < cap; ++c) {
            const client_channel_context_t &ch = d.channels[c];
            if (ch.initialized && !client_channel_id_is_invalid(&ch.channelId) &&
                entry(d, c, out[n], n + 1)) {
                ++n;
            }
        }
    }
    return static_cast<int>(n);
}

} // namespace

extern "C" {

client_device_context_t *device_manager_get_device(uint32_t type, uint32_t index, uint32_t bitrate) {
    return find_or_create(type, index, bitrate);
}

int device_manager_open_device(uint32_t type, uint32_t index, uint32_t bitrate) {
    client_device_context_t *d = find_or_create(type, index, bitrate);
    if (!d) {
        ostrelo_error("[ERROR] Failed to create device context (Type=%u, Index=%u)\n", type, index);
        return 0;
    }
    if (d->opened && d->device) {
        return 1;
    }
    const CANBackendOps *ops = backend();
    if (!ops || !ops->create || !ops->open_device) {
        ostrelo_error("[ERROR] Backend ops invalid\n");
        return 0;
    }
    d->device = ops->create();
    if (!d->device) {
        ostrelo_error("[ERROR] Backend device create failed (Type=%u, Index=%u)\n", type, index);
        return 0;
    }
    if (ops->open_device(d->device, type, index, bitrate) == 1) {
        d->bitrate = bitrate;
        d->opened = true;
        ostrelo_info("[INFO] Device opened (Type=%u, Index=%u, Bitrate=%u)\n", type, index, bitrate);
        return 1;
    }
    ostrelo_error("[ERROR] Backend open_device failed (Type=%u, Index=%u)\n", type, index);
    if (ops->destroy) {
        ops->destroy(d->device);
    }
    d->device = nullptr;
    return 0;
}

int device_manager_init_channel(uint32_t type, uint32_t index, uint32_t channel) {
    client_device_context_t *d = find_or_create(type, index, 0);
    const CANBackendOps *ops = backend();
    if (!d || !d->device || channel >= CLIENT_MAX_CHANNELS || !ops || !ops->init_channel) {
        return 0;
    }
    return ops->init_channel(d->device, channel) == 1 ? 1 : 0;
}

int device_manager_start_channel(uint32_t type, uint32_t index, uint32_t channel) {
    client_device_context_t *d = find_or_create(type, index, 0);
    const CANBackendOps *ops = backend();
    if (!d || !d->device || channel >= CLIENT_MAX_CHANNELS || !ops || !ops->start_channel) {
        return 0;
    }
    return ops->start_channel(d->device, channel) == 1 ? 1 : 0;
}

void device_manager_release_channel(uint32_t, uint32_t, uint32_t) {}

CANDevice device_manager_get_device_handle(uint32_t type, uint32_t index) {
    client_device_context_t *d = find_or_create(type, index, 0);
    return d ? d->device : nullptr;
}

int device_manager_set_channel_config(const client_channel_id_t *channel_id) {
    if (!channel_id || client_channel_id_is_invalid(channel_id)) {
        return 0;
    }
    client_device_context_t *d =
        find_or_create(channel_id->deviceType, channel_id->deviceIndex, channel_id->bitrate);
    if (!d || channel_id->canChannel >= CLIENT_MAX_CHANNELS) {
        return 0;
    }
    client_channel_context_t *ch = &d->channels[channel_id->canChannel];
    if (ch->initialized) {
        ostrelo_warning(
            "[WARNING] Channel already initialized, cannot set config (Type=%u, Index=%u, Channel=%u)\n",
            channel_id->deviceType, channel_id->deviceIndex, channel_id->canChannel);
        return 0;
    }
    ostrelo_debug("[device_manager_set_channel_config] Before setting: channel_id->bitrate=%u\n",
                  (unsigned)channel_id->bitrate);
    ch->configed = true;
    ch->channelId = *channel_id;
    ostrelo_debug("[device_manager_set_channel_config] After setting: ch->channelId.bitrate=%u\n",
                  (unsigned)ch->channelId.bitrate);
    ostrelo_info("[INFO] Channel config set (Type=%u, Index=%u, Channel=%u, Bitrate=%u kbps)\n",
                 channel_id->deviceType, channel_id->deviceIndex, channel_id->canChannel,
                 (unsigned)channel_id->bitrate);
    return 1;
}

int device_manager_set_channel_configs(const client_channel_id_t *configs, size_t count) {
    if (!configs || count == 0) {
        return 0;
    }
    ostrelo_debug("[device_manager_set_channel_configs] Received %zu channel configurations\n", count);
    int recorded = 0;
    for (size_t i = 0; i < count; ++i) {
        const client_channel_id_t &c = configs[i];
        ostrelo_debug(
            "[device_manager_set_channel_configs] Config %zu: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n",
            i + 1, c.deviceType, c.deviceIndex, c.canChannel, (unsigned)c.bitrate);
        if (device_manager_set_channel_config(&c) == 1) {
            recorded++;
        } else {
            ostrelo_error("[ERROR] Failed to set channel %zu config\n", i + 1);
        }
    }
    if (recorded == 0) {
        return -1;
    }
    ostrelo_info("[INFO] %d out of %zu channel(s) configured successfully\n", recorded, count);
    return recorded;
}

int device_manager_is_channel_valid(const client_channel_id_t *channel_id) {
    if (!channel_id || client_channel_id_is_invalid(channel_id)) {
        return 0;
    }
    client_device_context_t *d = find_existing(channel_id->deviceType, channel_id->deviceIndex);
    if (!d || channel_id->canChannel >= CLIENT_MAX_CHANNELS) {
        return 0;
    }
    const client_channel_context_t &ch = d->channels[channel_id->canChannel];
    if (!ch.initialized || client_channel_id_is_invalid(&ch.channelId)) {
        return 0;
    }
    return same_channel(ch.channelId, *channel_id) ? 1 : 0;
}

int device_manager_get_available_channels(client_channel_id_t *out, size_t cap) {
    return list_open_channels(
        out, cap, [](const client_device_context_t &d, uint32_t c, client_channel_id_t &e, size_t) {
            e = d.channels[c].channelId;
            return true;
        });
}

int device_manager_get_configured_channels_info(client_channel_id_t *out, size_t cap) {
    return list_open_channels(
        out, cap, [](const client_device_context_t &d, uint32_t c, client_channel_id_t &e, size_t number) {
            const client_channel_context_t &ch = d.channels[c];
            if (!ch.configed) {
                return false;
            }
            e.deviceType = d.deviceType;
            e.deviceIndex = d.deviceIndex;
            e.canChannel = c;
            e.bitrate = ch.channelId.bitrate;
            ostrelo_debug(
                "[device_manager_get_configured_channels_info] Channel %zu: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n",
                number, e.deviceType, e.deviceIndex, e.canChannel, (unsigned)e.bitrate);
            return true;
        });
}

void device_manager_cleanup_all(void) {
    const CANBackendOps *ops = backend();
    for (uint8_t i = 0; i < g_device_manager.deviceCount && i < CLIENT_MAX_DEVICES; ++i) {
        client_device_context_t &d = g_device_manager.devices[i];
        if (!d.device) {
            continue;
        }
        if (ops && d.opened && ops->close_device) {
            ops->close_device(d.device);
        }
        if (ops && ops->destroy) {
            ops->destroy(d.device);
        }
        d.device = nullptr;
        d.opened = false;
    }
    memset(&g_device_manager, 0, sizeof(g_device_manager));
    ostrelo_info("[INFO] Device manager resources cleaned up\n");
}

} // extern "C"
