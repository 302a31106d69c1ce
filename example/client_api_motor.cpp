// Motor identification over the application's raw-frame queries, the
// filename key, and scanning a node-ID range into the discovered-motor table.
#include "client_api.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"
#include "ostrelo_time.h"

#include <cstdio>
#include <cstring>

client_discovered_motor_t g_discovered_motors[CLIENT_MOTOR_TABLE_SIZE];
size_t g_discovered_motor_count = 0;

namespace {

constexpr uint32_t kQueryWaitMs = 20;

// How a query waits for its reply: the next raw frame within 20 ms, or (for
// a caller that allows slow motors) the first frame from the node itself
// within `ms`, other frames being dropped.
struct ReplyWait {
    uint32_t ms = kQueryWaitMs;
    bool ownOnly = false;
};

// Sends one query on identifier = node-ID and takes the reply as `wait` says.
bool query(client_channel_id_t channelId, uint8_t nodeId, const uint8_t *req, uint8_t dlc,
           CO_CANrxMsg_t *reply, ReplyWait wait) {
    client_api_send_can_data(channelId, nodeId, req, dlc);
    if (!wait.ownOnly) {
        return client_api_receive_raw_can(channelId, reply, wait.ms) == 0;
    }
    const uint32_t start = get_current_time_ms();
    for (;;) {
        const uint32_t spent = get_current_time_ms() - start;
        if (spent >= wait.ms) {
            return false;
        }
        // A failed receive has waited out the rest of the time (or cannot wait at all).
        if (client_api_receive_raw_can(channelId, reply, wait.ms - spent) != 0) {
            return false;
        }
        if (reply->ident == nodeId) {
            return true;
        }
    }
}

int query_type_and_brake(client_channel_id_t channelId, uint8_t nodeId, uint8_t *motorType,
                         uint8_t *brakeType, ReplyWait wait) {
    if (client_channel_id_is_invalid(&channelId) || motorType == nullptr || brakeType == nullptr) {
        return -1;
    }
    uint8_t req[8];
    const uint8_t len = motor_build_type_query(req);
    CO_CANrxMsg_t r;
    if (!query(channelId, nodeId, req, len, &r, wait) ||
        !motor_parse_type_reply(r.data, r.DLC, motorType, brakeType)) {
        return -1;
    }
    return 0;
}

int query_encoder(client_channel_id_t channelId, uint8_t nodeId, uint8_t *encoderType, ReplyWait wait) {
    if (client_channel_id_is_invalid(&channelId) || encoderType == nullptr) {
        return -1;
    }
    uint8_t req[8];
    const uint8_t len = motor_build_encoder_query(req);
    CO_CANrxMsg_t r;
    if (!query(channelId, nodeId, req, len, &r, wait) ||
        !motor_parse_encoder_reply(r.data, r.DLC, encoderType)) {
        return -1;
    }
    return 0;
}

int query_version(client_channel_id_t channelId, uint8_t nodeId, uint32_t *version, ReplyWait wait) {
    if (client_channel_id_is_invalid(&channelId) || version == nullptr) {
        return -1;
    }
    uint8_t req[8];
    const uint8_t len = motor_build_version_query(req);
    CO_CANrxMsg_t r;
    if (!query(channelId, nodeId, req, len, &r, wait) || !motor_parse_version_reply(r.data, r.DLC, version)) {
        return -1;
    }
    return 0;
}

int firmware_info(client_channel_id_t channelId, uint8_t nodeId, client_firmware_info_t *info,
                  ReplyWait wait) {
    if (client_channel_id_is_invalid(&channelId) || info == nullptr) {
        return -1;
    }
    memset(info, 0, sizeof(*info));
    if (query_type_and_brake(channelId, nodeId, &info->motorType, &info->brakeType, wait) != 0) {
        return -1;
    }
    snprintf(info->firmwareModel, sizeof(info->firmwareModel), "%s", motor_model_for_type(info->motorType));
    snprintf(info->brakeSuffix, sizeof(info->brakeSuffix), "%s", info->brakeType == 16 ? "B16" : "B0");
    if (query_encoder(channelId, nodeId, &info->encoderType, wait) != 0) {
        return -1;
    }
    switch (info->encoderType) {
    case 1:
        snprintf(info->encoderName, sizeof(info->encoderName), "SingleTarsel");
        break;
    case 2:
        snprintf(info->encoderName, sizeof(info->encoderName), "DoubleTarsel");
        break;
    case 3:
        snprintf(info->encoderName, sizeof(info->encoderName), "DoubleBrisca");
        break;
    default:
        snprintf(info->encoderName, sizeof(info->encoderName), "Unknown Encoder type: %d",
                 static_cast<int>(info->encoderType));
        break;
    }
    if (query_version(channelId, nodeId, &info->softwareVersion, wait) != 0) {
        return -1;
    }
    client_api_build_fw_filename_key(info, info->filenameKey, sizeof(info->filenameKey));
    return 0;
}

void append_key_chars(const char *src, size_t srcSize, char *out, size_t outSize, size_t *pos) {
    for (size_t i = 0; i < srcSize && src[i] != '\0'; ++i) {
        if (*pos + 1 >= outSize) {
            return;
        }
        const unsigned char ch = static_cast<unsigned char>(src[i]);
        if ((ch >= '0' && ch <= '9') || (ch >= 'a' && ch <= 'z')) {
            out[(*pos)++] = static_cast<char>(ch);
        } else if (ch >= 'A' && ch <= 'Z') {
            out[(*pos)++] = static_cast<char>(ch - 'A' + 'a');
        }
    }
}

// Copies a fixed-size text field into out[n + 1], always terminated.
void copy_field(char *out, const char *field, size_t n) {
    memcpy(out, field, n);
    out[n] = '\0';
}

} // namespace

int client_api_query_motor_type_and_brake(client_channel_id_t channelId, uint8_t nodeId, uint8_t *motorType,
                                          uint8_t *brakeType) {
    return query_type_and_brake(channelId, nodeId, motorType, brakeType, ReplyWait{});
}

int client_api_query_encoder_type(client_channel_id_t channelId, uint8_t nodeId, uint8_t *encoderType) {
    return query_encoder(channelId, nodeId, encoderType, ReplyWait{});
}

int client_api_query_software_version(client_channel_id_t channelId, uint8_t nodeId, uint32_t *version) {
    return query_version(channelId, nodeId, version, ReplyWait{});
}

int client_api_query_firmware_info(client_channel_id_t channelId, uint8_t nodeId,
                                   client_firmware_info_t *info) {
    return firmware_info(channelId, nodeId, info, ReplyWait{});
}

int client_api_query_firmware_info_within(client_channel_id_t channelId, uint8_t nodeId,
                                          client_firmware_info_t *info, uint32_t wait_ms) {
    return firmware_info(channelId, nodeId, info, ReplyWait{wait_ms, true});
}

void client_api_build_fw_filename_key(const client_firmware_info_t *info, char *out, size_t outSize) {
    if (info == nullptr || out == nullptr || outSize == 0) {
        return;
    }
    size_t pos = 0;
    // The record's buffers may be filled by callers: never read past them.
    append_key_chars(info->firmwareModel, sizeof(info->firmwareModel), out, outSize, &pos);
    append_key_chars(info->encoderName, sizeof(info->encoderName), out, outSize, &pos);
    append_key_chars(info->brakeSuffix, sizeof(info->brakeSuffix), out, outSize, &pos);
    out[pos] = '\0';
}

void client_api_print_firmware_info(const client_firmware_info_t *info) {
    if (info == nullptr) {
        ostrelo_info("(null firmware info)\n");
        return;
    }
    // Terminated copies: the record may come from a caller that filled it whole.
    char model[sizeof(info->firmwareModel) + 1];
    char suffix[sizeof(info->brakeSuffix) + 1];
    char encoder[sizeof(info->encoderName) + 1];
    char key[sizeof(info->filenameKey) + 1];
    copy_field(model, info->firmwareModel, sizeof(info->firmwareModel));
    copy_field(suffix, info->brakeSuffix, sizeof(info->brakeSuffix));
    copy_field(encoder, info->encoderName, sizeof(info->encoderName));
    copy_field(key, info->filenameKey, sizeof(info->filenameKey));
    const uint32_t v = info->softwareVersion;
    ostrelo_info("Motor type: %u, Brake type: %u\n", static_cast<unsigned>(info->motorType),
                 static_cast<unsigned>(info->brakeType));
    ostrelo_info("Firmware: %s_%s\n", model, suffix);
    ostrelo_info("Encoder type: %s\n", encoder);
    ostrelo_info("Version: %u.%u.%u.%u (0x%08X)\n", (v >> 24) & 0xFFu, (v >> 16) & 0xFFu, (v >> 8) & 0xFFu,
                 v & 0xFFu, v);
    ostrelo_info("Filename key: %s\n", key);
}

int client_api_scan_motors_ex(client_channel_id_t channelId, uint8_t nodeIdMin, uint8_t nodeIdMax,
                              uint16_t bitrate_kbps, uint32_t timeout_ms, bool clear_previous) {
    if (client_channel_id_is_invalid(&channelId)) {
        ostrelo_error("Error: Invalid channel ID\n");
        return 0;
    }
    ostrelo_info(
        "scan_motors: deviceType=%u, deviceIndex=%u, canChannel=%u, nodeIdMin=%u, nodeIdMax=%u, bitrate_kbps=%u, timeout_ms=%u, clear_previous=%d\n",
        channelId.deviceType, channelId.deviceIndex, channelId.canChannel, static_cast<unsigned>(nodeIdMin),
        static_cast<unsigned>(nodeIdMax), static_cast<unsigned>(bitrate_kbps), timeout_ms,
        clear_previous ? 1 : 0);
    unsigned lo = nodeIdMin;
    unsigned hi = nodeIdMax;
    if (lo > hi) {
        const unsigned t = lo;
        lo = hi;
        hi = t;
    }
    if (clear_previous) {
        memset(g_discovered_motors, 0, sizeof(g_discovered_motors));
        g_discovered_motor_count = 0;
        ostrelo_info("Cleared previous scan results\n");
    }
    const size_t before = g_discovered_motor_count;
    const unsigned last = hi < CLIENT_MAX_NODE_ID ? hi : CLIENT_MAX_NODE_ID;
    for (unsigned node = lo; node <= last; ++node) {
        client_firmware_info_t info;
        if (client_api_query_firmware_info(channelId, static_cast<uint8_t>(node), &info) != 0) {
            continue;
        }
        client_discovered_motor_t *e = &g_discovered_motors[node];
        e->discovered = 1;
        e->nodeId = static_cast<uint8_t>(node);
        e->channelId = channelId;
        e->info = info;
        g_discovered_motor_count++;
    }
    const size_t found = g_discovered_motor_count - before;
    ostrelo_info("Discovered %zu new motors in channel %u (total: %zu), nodes [%u..%u]\n", found,
                 channelId.canChannel, g_discovered_motor_count, lo, hi);
    return static_cast<int>(found);
}

int client_api_scan_motors(client_channel_id_t channelId, uint8_t nodeIdMin, uint8_t nodeIdMax,
                           uint16_t bitrate_kbps, uint32_t timeout_ms) {
    return client_api_scan_motors_ex(channelId, nodeIdMin, nodeIdMax, bitrate_kbps, timeout_ms, false);
}

void client_api_clear_discovered_motors(void) {
    memset(g_discovered_motors, 0, sizeof(g_discovered_motors));
    g_discovered_motor_count = 0;
    ostrelo_info("Cleared all discovered motors\n");
}

void client_api_print_discovered_motors(client_channel_id_t channelId) {
    if (client_channel_id_is_invalid(&channelId)) {
        ostrelo_error("Error: Invalid channel ID\n");
        return;
    }
    ostrelo_info("\n=== Motors on Channel (Type=%u, Index=%u, Channel=%u) ===\n", channelId.deviceType,
                 channelId.deviceIndex, channelId.canChannel);
    size_t shown = 0;
    for (unsigned node = 1; node <= CLIENT_MAX_NODE_ID; ++node) {
        const client_discovered_motor_t *e = &g_discovered_motors[node];
        if (e->nodeId == 0 || e->channelId.deviceType != channelId.deviceType ||
            e->channelId.deviceIndex != channelId.deviceIndex ||
            e->channelId.canChannel != channelId.canChannel) {
            continue;
        }
        ++shown;
        ostrelo_info("\n[Motor %zu] Node ID: %u\n", shown, static_cast<unsigned>(e->nodeId));
        ostrelo_info("  Device: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n", e->channelId.deviceType,
                     e->channelId.deviceIndex, e->channelId.canChannel,
                     static_cast<unsigned>(e->channelId.bitrate));
        client_api_print_firmware_info(&e->info);
    }
    if (shown > 0) {
        ostrelo_info("\nTotal: %zu motor(s) found on this channel.\n", shown);
    } else {
        ostrelo_info("No motors found on this channel.\n");
    }
}
