// Motor identification over the application's raw-frame queries, the
// filename key, and scanning a node-ID range into the discovered-motor table.
#include "client_api.h"
#include "client_api_internal.h"
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
// that is the awaited reply, within `ms`, other frames being dropped. A
// slow motor may still be answering an earlier question (a query of the
// quick pass, the late pass's call): such an answer of another kind must not
// be taken for this one.
struct ReplyWait {
    uint32_t ms = kQueryWaitMs;
    bool ownOnly = false;
};

typedef int (*reply_fits_t)(const uint8_t *data, uint8_t dlc);

struct OwnReply {
    uint8_t node;
    reply_fits_t fits;
};

int own_reply(const CO_CANrxMsg_t *f, void *user) {
    const OwnReply *w = static_cast<const OwnReply *>(user);
    return f->ident == w->node && w->fits(f->data, f->DLC) ? 1 : 0;
}

// Sends one query on identifier = node-ID and takes the reply as `wait` says.
bool query(client_channel_id_t channelId, uint8_t nodeId, const uint8_t *req, uint8_t dlc,
           CO_CANrxMsg_t *reply, ReplyWait wait, reply_fits_t fits) {
    client_api_send_can_data(channelId, nodeId, req, dlc);
    OwnReply own{nodeId, fits};
    return client_await_frame(channelId, wait.ownOnly ? own_reply : nullptr, &own,
                              ostrelo_deadline_in(wait.ms), reply) == CLIENT_RX_FRAME;
}

int fits_type(const uint8_t *d, uint8_t dlc) {
    uint8_t type = 0;
    uint8_t brake = 0;
    return motor_parse_type_reply(d, dlc, &type, &brake);
}

int fits_encoder(const uint8_t *d, uint8_t dlc) {
    uint8_t encoder = 0;
    return motor_parse_encoder_reply(d, dlc, &encoder);
}

int fits_version(const uint8_t *d, uint8_t dlc) {
    uint32_t version = 0;
    return motor_parse_version_reply(d, dlc, &version);
}

int query_type_and_brake(client_channel_id_t channelId, uint8_t nodeId, uint8_t *motorType,
                         uint8_t *brakeType, ReplyWait wait) {
    if (client_channel_id_is_invalid(&channelId) || motorType == nullptr || brakeType == nullptr) {
        return -1;
    }
    uint8_t req[8];
    const uint8_t len = motor_build_type_query(req);
    CO_CANrxMsg_t r;
    if (!query(channelId, nodeId, req, len, &r, wait, fits_type) ||
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
    if (!query(channelId, nodeId, req, len, &r, wait, fits_encoder) ||
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
    if (!query(channelId, nodeId, req, len, &r, wait, fits_version) ||
        !motor_parse_version_reply(r.data, r.DLC, version)) {
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

namespace {

// What the scan of one channel knows of each node id.
struct ScanState {
    client_channel_id_t ch;
    const client_scan_options_t *o;
    const client_scan_observer_t *ob;
    bool silent[256];     // gave no identity in the quick pass
    bool spoke[256];      // a silent node whose identifier carried a frame since
    bool replied[256];    // a silent node whose bootloader answered (bootloaderLook)
    bool late[256];       // identified in the late pass
    size_t position[256]; // place in the list, from 1
    int current;          // the node being identified, -1 none
    bool currentSpoke;    // a frame of the current node was dropped before its identification
    int found;
};

bool scan_stopped(const ScanState &st) {
    return st.ob->cancelled != nullptr && st.ob->cancelled(st.ob->user) != 0;
}

void scan_node_begins(const ScanState &st, uint8_t node) {
    if (st.ob->node_begins != nullptr) {
        st.ob->node_begins(node, st.ob->user);
    }
}

// A frame waiting on the channel may be a late answer: of a silent node (its
// identifier is the node id, or with the bootloader look 0x580 + node id),
// or of the node about to be asked again.
void note_frame(const CO_CANrxMsg_t *f, void *user) {
    ScanState *st = static_cast<ScanState *>(user);
    const uint32_t id = f->ident;
    if (id < 256 && st->silent[id]) {
        st->silent[id] = false;
        st->spoke[id] = true;
    }
    if (st->o->bootloaderLook && id >= motor_sdo_reply_id(0) && id < motor_sdo_reply_id(0) + 256u &&
        st->silent[id - motor_sdo_reply_id(0)]) {
        st->replied[id - motor_sdo_reply_id(0)] = true;
    }
    if (st->current >= 0 && id == static_cast<uint32_t>(st->current)) {
        st->currentSpoke = true;
    }
}

// Whether a node asked in the late pass has still said nothing: neither its
// application nor (with the bootloader look) its bootloader answered.
bool still_waiting(const ScanState &st) {
    for (unsigned node = 0; node < 256; ++node) {
        if (st.silent[node] && !(st.o->bootloaderLook && st.replied[node])) {
            return true;
        }
    }
    return false;
}

// The late pass listens until every node it asked has answered, or its time is up.
int note_and_wait(const CO_CANrxMsg_t *f, void *user) {
    note_frame(f, user);
    return still_waiting(*static_cast<const ScanState *>(user)) ? 0 : 1;
}

// Drops what waits before an identification of `node`; true when a frame of
// the node itself was among it.
bool drop_stale(ScanState &st, int node, uint32_t quiet_ms) {
    st.current = node;
    st.currentSpoke = false;
    client_drain_frames(st.ch, quiet_ms, note_frame, &st);
    st.current = -1;
    return st.currentSpoke;
}

void report_found(ScanState &st, uint8_t node, const client_firmware_info_t &info, bool late) {
    ++st.found;
    if (st.ob->found != nullptr) {
        st.ob->found(node, st.position[node], &info, late ? 1 : 0, st.ob->user);
    }
}

void quick_pass(ScanState &st) {
    const client_scan_options_t &o = *st.o;
    const uint32_t attempts = o.attempts > 0 ? o.attempts : 1;
    for (size_t i = 0; i < o.nodeCount && !scan_stopped(st); ++i) {
        const uint8_t node = o.nodes[i];
        scan_node_begins(st, node);
        // Each query waits for a frame of the node itself: on a bus shared
        // with other nodes the next frame is mostly someone else's.
        client_firmware_info_t info;
        bool identified = false;
        bool late = false;
        for (uint32_t a = 0; !identified && (a < attempts || (late && a < o.attemptsWhileLate)); ++a) {
            late = o.dropStale && drop_stale(st, node, o.staleQuietMs);
            identified = firmware_info(st.ch, node, &info, ReplyWait{kQueryWaitMs, true}) == 0;
        }
        if (identified) {
            report_found(st, node, info, false);
        } else {
            st.silent[node] = true;
        }
        if (st.ob->progress != nullptr) {
            st.ob->progress(node, i + 1, identified ? 1 : 0, st.ob->user);
        }
    }
}

void late_pass(ScanState &st) {
    const client_scan_options_t &o = *st.o;
    // What waits now may be a late answer of the quick pass: it counts.
    client_drain_frames(st.ch, 0, note_frame, &st);
    size_t silent = 0;
    for (bool s : st.silent) {
        silent += s ? 1u : 0u;
    }
    if (silent > 0) {
        if (st.ob->late_pass != nullptr) {
            st.ob->late_pass(o.lateWaitMs, silent, st.ob->user);
        }
        uint8_t typeQuery[8];
        const uint8_t typeLen = motor_build_type_query(typeQuery);
        // A read of the program data: a bootloader answers it (with an
        // abort), the application ignores SDO.
        uint8_t sdoRead[8];
        const uint8_t sdoLen = motor_build_sdo_frame(sdoRead, MOTOR_SDO_UPLOAD_REQUEST,
                                                     MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, 0);
        for (unsigned node = 0; node < 256 && !scan_stopped(st); ++node) {
            if (!st.silent[node]) {
                continue;
            }
            client_api_send_can_data(st.ch, static_cast<uint8_t>(node), typeQuery, typeLen);
            if (o.bootloaderLook) {
                client_api_send_can_data(st.ch, motor_sdo_request_id(static_cast<uint8_t>(node)), sdoRead,
                                         sdoLen);
            }
        }
        // Until every node asked has answered, or the window is over: a
        // range whose silent nodes all turn out to be there costs only the
        // time they take. An answer still on its way (to a question of the
        // quick pass) does not confuse the identifications below: each takes
        // only the kind of reply it asked for.
        CO_CANrxMsg_t f;
        client_await_frame(st.ch, note_and_wait, &st, ostrelo_deadline_in(o.lateWaitMs), &f);
    }
    const uint32_t attempts = o.lateAttempts > 0 ? o.lateAttempts : 1;
    for (unsigned node = 0; node < 256 && !scan_stopped(st); ++node) {
        if (!st.spoke[node]) {
            continue;
        }
        scan_node_begins(st, static_cast<uint8_t>(node));
        client_firmware_info_t info;
        bool identified = false;
        for (uint32_t a = 0; a < attempts && !identified && !scan_stopped(st); ++a) {
            if (o.dropStale) {
                drop_stale(st, -1, o.staleQuietMs);
            }
            identified = client_api_query_firmware_info_within(st.ch, static_cast<uint8_t>(node), &info,
                                                               o.lateWaitMs) == 0;
        }
        if (identified) {
            st.late[node] = true;
            report_found(st, static_cast<uint8_t>(node), info, true);
        }
    }
    for (unsigned node = 0; node < 256 && o.bootloaderLook && !scan_stopped(st); ++node) {
        if (!st.replied[node] || st.late[node]) {
            continue;
        }
        scan_node_begins(st, static_cast<uint8_t>(node));
        if (client_api_locate_node(st.ch, static_cast<uint8_t>(node), o.bootloaderConfirmMs, nullptr) ==
                CLIENT_NODE_BOOTLOADER &&
            st.ob->in_bootloader != nullptr) {
            st.ob->in_bootloader(static_cast<uint8_t>(node), st.position[node], st.ob->user);
        }
    }
}

} // namespace

void client_scan_options_init(client_scan_options_t *o) {
    if (o != nullptr) {
        memset(o, 0, sizeof(*o));
        o->attempts = 1;
        o->lateAttempts = 1;
        // How long a node that answered as a bootloader is asked again to be sure.
        o->bootloaderConfirmMs = 300;
    }
}

int client_scan_channel(client_channel_id_t channelId, const client_scan_options_t *options,
                        const client_scan_observer_t *observer) {
    if (client_channel_id_is_invalid(&channelId) || options == nullptr ||
        (options->nodes == nullptr && options->nodeCount > 0)) {
        return 0;
    }
    const client_scan_observer_t none = {};
    ScanState st;
    memset(&st, 0, sizeof(st));
    st.ch = channelId;
    st.o = options;
    st.ob = observer != nullptr ? observer : &none;
    st.current = -1;
    for (size_t i = options->nodeCount; i > 0; --i) {
        st.position[options->nodes[i - 1]] = i; // a node listed twice keeps its first place
    }
    quick_pass(st);
    if ((options->lateWaitMs > 0 || options->bootloaderLook) && !scan_stopped(st)) {
        late_pass(st);
    }
    return st.found;
}

namespace {

// The discovered-motor table's entry for a motor of the scan.
void record_discovered(uint8_t node, size_t, const client_firmware_info_t *info, int, void *channel) {
    client_discovered_motor_t *e = &g_discovered_motors[node];
    e->discovered = 1;
    e->nodeId = node;
    e->channelId = *static_cast<const client_channel_id_t *>(channel);
    e->info = *info;
    g_discovered_motor_count++;
}

} // namespace

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
    // The bit rate and time-out are only reported: every node is asked with
    // the queries' own wait, once.
    uint8_t nodes[CLIENT_MOTOR_TABLE_SIZE];
    size_t count = 0;
    for (unsigned node = lo; node <= hi && node <= CLIENT_MAX_NODE_ID; ++node) {
        nodes[count++] = static_cast<uint8_t>(node);
    }
    client_scan_options_t options;
    client_scan_options_init(&options);
    options.nodes = nodes;
    options.nodeCount = count;
    client_scan_observer_t observer = {};
    observer.found = record_discovered;
    observer.user = &channelId;
    const size_t found = static_cast<size_t>(client_scan_channel(channelId, &options, &observer));
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
