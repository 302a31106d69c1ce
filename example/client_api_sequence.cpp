// The upgrade of one motor as one sequence: into the bootloader, transfer,
// CRC check, start, and the application's answer, with retries that start
// clean. The window, the terminal program and the tests all run this.
#include "client_api.h"
#include "client_api_internal.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"

#include <cstdlib>
#include <cstring>

namespace {

// Requests of the CRC before the step gives up (one answer lost on the bus
// must not cost a whole new transfer).
constexpr int kCrcRequests = 3;
// Start commands sent again while the bootloader still answers and never
// acknowledged one.
constexpr int kStartRepeats = 3;
constexpr uint32_t kStartAnswerMs = 1000;
constexpr uint32_t kVersionAnswerMs = 50;
constexpr uint32_t kProbeMs = 200;
// Frames still coming from an abandoned step: how long the channel must be
// quiet before the next step judges what it receives.
constexpr uint32_t kQuietMs = 20;
// Images up to this size go by segmented download: a block download
// cannot carry them.
constexpr size_t kBlockMinimum = 22;

struct Run {
    client_channel_id_t ch;
    uint8_t node;
    client_upgrade_options_t o;
    client_upgrade_observer_t ob;
    const uint8_t *data;
    size_t size;
    client_upgrade_result_t *r;
    bool reachedBootloader; // an attempt got the node into its bootloader
    bool probeSilent;       // the readiness probe of this attempt got no answer
    bool holdNext;          // the handshake went unanswered: the next attempt holds at once
};

int observer_cancelled(void *run) {
    const Run *x = static_cast<const Run *>(run);
    return x->ob.cancelled != nullptr && x->ob.cancelled(x->ob.user) != 0;
}

void observer_progress(size_t done, size_t total, void *run) {
    const Run *x = static_cast<const Run *>(run);
    if (x->ob.progress != nullptr) {
        x->ob.progress(done, total, x->ob.user);
    }
}

void observer_hold_round(uint32_t elapsed_ms, void *run) {
    const Run *x = static_cast<const Run *>(run);
    if (x->ob.hold_round != nullptr) {
        x->ob.hold_round(elapsed_ms, x->ob.user);
    }
}

bool stop(const Run &x) {
    return client_stop_requested(x.ch, observer_cancelled, const_cast<Run *>(&x));
}

void enter_step(Run &x, client_upgrade_step_t step, uint32_t attempt) {
    x.r->step = step;
    if (x.ob.step != nullptr) {
        x.ob.step(step, attempt, x.ob.user);
    }
}

// The reason a bootloader entry failed, from where the node is now.
client_upgrade_reason_t why_not_in_bootloader(const Run &x, client_upgrade_reason_t otherwise) {
    switch (client_api_locate_node(x.ch, x.node, kProbeMs, nullptr)) {
    case CLIENT_NODE_UNREACHABLE:
        return CLIENT_UPGRADE_CHANNEL_DOWN;
    case CLIENT_NODE_BOOTLOADER:
        return CLIENT_UPGRADE_OK; // it did get there after all
    case CLIENT_NODE_APPLICATION:
        return otherwise;
    default:
        return CLIENT_UPGRADE_BOOTLOADER_SILENT;
    }
}

client_upgrade_reason_t handshake(Run &x) {
    if (client_api_enter_bootloader(x.ch, x.node, x.o.handshakeWaitMs, x.o.handshakeRetries,
                                    x.o.retryDelayMs) == 0) {
        return CLIENT_UPGRADE_OK;
    }
    return stop(x) ? CLIENT_UPGRADE_CANCELLED : why_not_in_bootloader(x, CLIENT_UPGRADE_NO_HANDSHAKE);
}

client_upgrade_reason_t hold(Run &x) {
    if (client_hold_in_bootloader(x.ch, x.node, x.o.holdMs, observer_hold_round, &x, observer_cancelled,
                                  &x) != 0) {
        return stop(x) ? CLIENT_UPGRADE_CANCELLED : CLIENT_UPGRADE_NOT_HELD;
    }
    return CLIENT_UPGRADE_OK;
}

// The readiness probe got no answer: the transfer goes ahead, and its
// initiate decides.
void unprobed(Run &x) {
    x.probeSilent = true;
    ostrelo_warning("No answer from node %u to the readiness probe; the transfer starts all the same\n",
                    static_cast<unsigned>(x.node));
}

client_upgrade_reason_t into_bootloader(Run &x, uint32_t attempt) {
    client_upgrade_reason_t why = CLIENT_UPGRADE_OK;
    bool held = false;
    if (attempt == 0 && x.o.entry == CLIENT_ENTRY_HANDSHAKE) {
        why = handshake(x);
    } else if ((attempt == 0 && x.o.entry == CLIENT_ENTRY_HOLD) || x.holdNext) {
        x.holdNext = false;
        why = hold(x);
        held = true;
    } else {
        // Found there, or a retry: where is the node now? One in its
        // bootloader is used as it is; the handshake would go unanswered.
        // The read of the program-data object is the readiness probe: a
        // bootloader that does not answer it may still take the image, so
        // silence sends the transfer ahead, and its initiate decides.
        const client_node_side_t side =
            client_locate_node(x.ch, x.node, x.o.bootloaderWaitMs, nullptr, &x.r->probeCode);
        x.r->probed = side == CLIENT_NODE_BOOTLOADER || side == CLIENT_NODE_SILENT;
        switch (side) {
        case CLIENT_NODE_BOOTLOADER:
            break;
        case CLIENT_NODE_APPLICATION:
            if (attempt == 0) {
                why = CLIENT_UPGRADE_NOT_IN_BOOTLOADER;
            } else if (x.o.entry == CLIENT_ENTRY_HOLD) {
                why = hold(x);
                held = true;
            } else {
                why = handshake(x);
            }
            break;
        case CLIENT_NODE_UNREACHABLE:
            why = CLIENT_UPGRADE_CHANNEL_DOWN;
            break;
        default:
            if (stop(x)) {
                why = CLIENT_UPGRADE_CANCELLED;
            } else if (attempt > 0 && !x.reachedBootloader) {
                // No attempt got it into its bootloader: silence says it is not there.
                why = CLIENT_UPGRADE_BOOTLOADER_SILENT;
            } else {
                unprobed(x);
            }
            break;
        }
    }
    if (why == CLIENT_UPGRADE_OK && held &&
        client_wait_bootloader(x.ch, x.node, x.o.bootloaderWaitMs, observer_cancelled, &x) != 0) {
        // It acknowledged the stop command: its bootloader listens, even if
        // it does not answer the probe.
        if (stop(x)) {
            why = CLIENT_UPGRADE_CANCELLED;
        } else {
            unprobed(x);
        }
    }
    if (why == CLIENT_UPGRADE_OK) {
        x.reachedBootloader = true;
        if (x.o.settleMs > 0) {
            delay_ms(x.o.settleMs);
        }
    }
    return why;
}

client_upgrade_reason_t transfer_reason(client_sdo_end_t end, CO_SDO_abortCode_t code, uint32_t took,
                                        uint32_t limit) {
    switch (end) {
    case CLIENT_SDO_END_OK:
        return CLIENT_UPGRADE_OK;
    case CLIENT_SDO_END_SERVER_ABORT:
        if (code == CO_SDO_AB_OUT_OF_MEM) {
            return CLIENT_UPGRADE_IMAGE_TOO_LARGE;
        }
        // The node gave up waiting for us: what it waited for was lost.
        return code == CO_SDO_AB_TIMEOUT ? CLIENT_UPGRADE_NO_RESPONSE : CLIENT_UPGRADE_NODE_ABORTED;
    case CLIENT_SDO_END_CLIENT_ABORT:
        return code == CO_SDO_AB_TIMEOUT ? CLIENT_UPGRADE_NO_RESPONSE : CLIENT_UPGRADE_TRANSFER_FAILED;
    case CLIENT_SDO_END_LIMIT:
        return took > limit ? CLIENT_UPGRADE_TOO_SLOW : CLIENT_UPGRADE_TRANSFER_FAILED;
    case CLIENT_SDO_END_CANCELLED:
        return CLIENT_UPGRADE_CANCELLED;
    default:
        return CLIENT_UPGRADE_CHANNEL_DOWN;
    }
}

client_upgrade_reason_t send_image(Run &x) {
    client_api_drain_channel(x.ch, 1);
    client_sdo_limits_t limits = {};
    limits.responseMs = x.o.responseTimeoutMs;
    limits.eraseMs = x.o.eraseTimeoutMs;
    limits.totalMs = x.o.transferTimeoutMs != 0 ? x.o.transferTimeoutMs
                                                : client_upgrade_transfer_limit_ms(x.size, x.ch.bitrate);
    limits.progress = observer_progress;
    limits.user = &x;
    limits.cancelled = observer_cancelled;
    limits.cancelUser = &x;
    client_sdo_end_t end = CLIENT_SDO_END_LOCAL;
    const uint32_t t0 = get_current_time_ms();
    const CO_SDO_abortCode_t code =
        client_sdo_download(x.ch, x.node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, x.data, x.size,
                            x.size >= kBlockMinimum, &limits, &end);
    x.r->transferMs = ostrelo_ms_since(t0);
    x.r->code = end == CLIENT_SDO_END_OK ? 0 : static_cast<uint32_t>(code);
    const client_upgrade_reason_t why = transfer_reason(end, code, x.r->transferMs, limits.totalMs);
    const client_channel_context_t *ch = client_api_manager_get_channel_context(x.ch);
    if (why == CLIENT_UPGRADE_NO_RESPONSE && x.probeSilent && ch != nullptr && ch->sdoclient.sizeTran == 0) {
        // Silent to the probe and to the initiate, for the erase's whole limit.
        return CLIENT_UPGRADE_BOOTLOADER_SILENT;
    }
    return why;
}

client_upgrade_reason_t verify(Run &x) {
    ostrelo_info("\n=== Firmware CRC Verification ===\n");
    uint32_t crc = 0;
    bool got = false;
    for (int i = 0; i < kCrcRequests && !got && !stop(x); ++i) {
        client_api_drain_channel(x.ch, 1);
        got = client_query_crc(x.ch, x.node, &crc, x.o.crcWaitMs, true) == 0;
    }
    if (!got) {
        ostrelo_error("Failed to query bootloader CRC\n");
        return stop(x) ? CLIENT_UPGRADE_CANCELLED : CLIENT_UPGRADE_NO_CRC;
    }
    x.r->haveDeviceCrc = 1;
    x.r->deviceCrc = crc;
    ostrelo_info("Local file CRC:    0x%08X\n", x.r->fileCrc);
    ostrelo_info("Bootloader CRC:    0x%08X\n", crc);
    if (crc != x.r->fileCrc) {
        ostrelo_error("FAILED: CRC verification failed - checksums do not match!\n");
        return CLIENT_UPGRADE_CRC_MISMATCH;
    }
    ostrelo_info("SUCCESS: CRC verification passed!\n");
    return CLIENT_UPGRADE_OK;
}

client_upgrade_reason_t one_attempt(Run &x, uint32_t attempt) {
    x.probeSilent = false;
    enter_step(x, CLIENT_UPGRADE_STEP_ENTRY, attempt);
    client_upgrade_reason_t why = into_bootloader(x, attempt);
    if (why == CLIENT_UPGRADE_OK && stop(x)) {
        why = CLIENT_UPGRADE_CANCELLED;
    }
    if (why != CLIENT_UPGRADE_OK) {
        return why;
    }
    enter_step(x, CLIENT_UPGRADE_STEP_TRANSFER, attempt);
    why = send_image(x);
    if (why != CLIENT_UPGRADE_OK) {
        return why;
    }
    enter_step(x, CLIENT_UPGRADE_STEP_VERIFY, attempt);
    why = verify(x);
    if (why != CLIENT_UPGRADE_OK) {
        return why;
    }
    // A cancel that came during the check leaves the verified image unstarted.
    if (stop(x)) {
        return CLIENT_UPGRADE_CANCELLED;
    }
    enter_step(x, CLIENT_UPGRADE_STEP_START, attempt);
    client_api_drain_channel(x.ch, 1);
    if (client_api_exit_bootloader(x.ch, x.node, x.o.confirmWindowMs, kStartRepeats, x.o.retryDelayMs) != 0) {
        return CLIENT_UPGRADE_START_NOT_SENT;
    }
    enter_step(x, CLIENT_UPGRADE_STEP_CONFIRM, attempt);
    uint32_t version = 0;
    why = client_api_confirm_application(x.ch, x.node, x.o.confirmWindowMs, &version);
    if (why != CLIENT_UPGRADE_OK) {
        return why;
    }
    x.r->haveVersion = 1;
    x.r->version = version;
    if (x.o.expectedVersion != 0 && version != x.o.expectedVersion) {
        ostrelo_warning("Node %u runs version 0x%08X, not 0x%08X\n", static_cast<unsigned>(x.node), version,
                        x.o.expectedVersion);
        return CLIENT_UPGRADE_VERSION_MISMATCH;
    }
    enter_step(x, CLIENT_UPGRADE_STEP_DONE, attempt);
    return CLIENT_UPGRADE_OK;
}

// Whether another attempt can cure what ended this one.
bool worth_retrying(client_upgrade_reason_t why) {
    switch (why) {
    case CLIENT_UPGRADE_NO_HANDSHAKE:
    case CLIENT_UPGRADE_BOOTLOADER_SILENT:
    case CLIENT_UPGRADE_NODE_ABORTED:
    case CLIENT_UPGRADE_NO_RESPONSE:
    case CLIENT_UPGRADE_TOO_SLOW:
    case CLIENT_UPGRADE_TRANSFER_FAILED:
    case CLIENT_UPGRADE_NO_CRC:
    case CLIENT_UPGRADE_CRC_MISMATCH:
    case CLIENT_UPGRADE_START_NOT_SENT:
        return true;
    default:
        return false;
    }
}

// Ends what an attempt left behind: the bootloader may still be inside the
// abandoned transfer (the client's own abort lost on the bus), and answers
// to it may still be on their way. The abort is repeated; an idle server
// ignores it.
void start_clean(const Run &x) {
    CO_CANrxMsg_t f;
    memset(&f, 0, sizeof(f));
    f.ident = motor_sdo_request_id(x.node);
    f.DLC =
        motor_build_sdo_abort(f.data, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, CO_SDO_AB_GENERAL);
    for (int i = 0; i < 2; ++i) {
        client_api_send_raw_can(x.ch, &f);
        client_api_drain_channel(x.ch, kQuietMs);
    }
}

} // namespace

namespace {

// What the application's answer to the version query says, and whether the
// bootloader acknowledged the start command meanwhile.
struct StartAnswer {
    uint8_t node;
    uint32_t version;
    bool acknowledged;
};

int version_answer(const CO_CANrxMsg_t *f, void *user) {
    StartAnswer *a = static_cast<StartAnswer *>(user);
    if (f->ident == a->node && motor_parse_version_reply(f->data, f->DLC, &a->version)) {
        return 1;
    }
    if (f->ident == motor_sdo_reply_id(a->node) && motor_is_program_control_ack(f->data, f->DLC)) {
        a->acknowledged = true;
    }
    return 0;
}

} // namespace

void client_upgrade_options_init(client_upgrade_options_t *o) {
    if (o == nullptr) {
        return;
    }
    memset(o, 0, sizeof(*o));
    o->entry = CLIENT_ENTRY_HANDSHAKE;
    o->retries = CLIENT_UPGRADE_RETRIES;
    o->retryDelayMs = CLIENT_UPGRADE_RETRY_DELAY_MS;
    o->handshakeWaitMs = CLIENT_UPGRADE_HANDSHAKE_WAIT_MS;
    o->handshakeRetries = CLIENT_UPGRADE_HANDSHAKE_RETRIES;
    o->holdMs = CLIENT_UPGRADE_HOLD_MS;
    o->bootloaderWaitMs = CLIENT_UPGRADE_BOOTLOADER_WAIT_MS;
    o->eraseTimeoutMs = CLIENT_UPGRADE_ERASE_TIMEOUT_MS;
    o->responseTimeoutMs = CLIENT_UPGRADE_RESPONSE_TIMEOUT_MS;
    o->crcWaitMs = CLIENT_UPGRADE_CRC_WAIT_MS;
    o->confirmWindowMs = CLIENT_UPGRADE_CONFIRM_WINDOW_MS;
}

uint32_t client_upgrade_transfer_limit_ms(uint64_t bytes, uint16_t kbps) {
    // A block transfer carries 7 bytes in a frame of about 130 bits.
    const uint64_t busMs = (bytes + 6u) / 7u * 130u / (kbps != 0 ? kbps : 125u);
    const uint64_t ms = 3u * busMs + CLIENT_UPGRADE_ERASE_TIMEOUT_MS + 20000u;
    return ms > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(ms);
}

client_upgrade_reason_t client_api_confirm_application(client_channel_id_t channelId, uint8_t nodeId,
                                                       uint32_t window_ms, uint32_t *version) {
    if (client_api_manager_get_channel_context(channelId) == nullptr) {
        return CLIENT_UPGRADE_CHANNEL_DOWN;
    }
    uint8_t query[8];
    const uint8_t queryLen = motor_build_version_query(query);
    const ostrelo_deadline_t window = ostrelo_deadline_in(window_ms);
    uint32_t lastStart = window.start;
    StartAnswer answer{nodeId, 0, false};
    int repeats = 0;
    while (ostrelo_deadline_left(window) > 0) {
        if (client_api_cancel_requested(channelId)) {
            return CLIENT_UPGRADE_CANCELLED;
        }
        if (client_api_send_can_data(channelId, nodeId, query, queryLen) != 0) {
            delay_ms(10);
        }
        const uint32_t left = ostrelo_deadline_left(window);
        CO_CANrxMsg_t f;
        const client_rx_result_t rx =
            client_await_frame(channelId, version_answer, &answer,
                               ostrelo_deadline_in(left < kVersionAnswerMs ? left : kVersionAnswerMs), &f);
        if (rx == CLIENT_RX_FAILED) {
            return CLIENT_UPGRADE_CHANNEL_DOWN;
        }
        if (rx == CLIENT_RX_FRAME) {
            ostrelo_info("Application running on node %u (version 0x%08X)\n", static_cast<unsigned>(nodeId),
                         answer.version);
            if (version != nullptr) {
                *version = answer.version;
            }
            return CLIENT_UPGRADE_OK;
        }
        // A start that the bootloader neither acknowledged nor obeyed was
        // lost on the bus: while the bootloader still answers, send it again.
        // An acknowledged start is never repeated (a slow start would only be
        // restarted).
        if (!answer.acknowledged && repeats < kStartRepeats &&
            ostrelo_ms_since(lastStart) >= kStartAnswerMs && ostrelo_deadline_left(window) > kProbeMs &&
            client_api_locate_node(channelId, nodeId, kProbeMs, nullptr) == CLIENT_NODE_BOOTLOADER) {
            ++repeats;
            ostrelo_info("Start command for node %u not obeyed; sending it again\n",
                         static_cast<unsigned>(nodeId));
            client_send_program_control(channelId, nodeId, MOTOR_PROGRAM_START);
            lastStart = get_current_time_ms();
        }
    }
    const client_node_side_t side = client_api_locate_node(channelId, nodeId, kProbeMs, version);
    if (side == CLIENT_NODE_APPLICATION) {
        return CLIENT_UPGRADE_OK;
    }
    if (side == CLIENT_NODE_BOOTLOADER) {
        ostrelo_warning("Node %u stays in its bootloader after the start command\n",
                        static_cast<unsigned>(nodeId));
        return CLIENT_UPGRADE_STAYED_IN_BOOTLOADER;
    }
    ostrelo_warning("Application did not answer on node %u within %u ms\n", static_cast<unsigned>(nodeId),
                    window_ms);
    return CLIENT_UPGRADE_APP_SILENT;
}

client_upgrade_reason_t client_api_start_application(client_channel_id_t channelId, uint8_t nodeId,
                                                     uint32_t timeout_ms, uint32_t retry_count,
                                                     uint32_t retry_delay_ms, uint32_t window_ms,
                                                     uint32_t *version) {
    if (client_api_exit_bootloader(channelId, nodeId, timeout_ms, retry_count, retry_delay_ms) != 0) {
        return CLIENT_UPGRADE_START_NOT_SENT;
    }
    return client_api_confirm_application(channelId, nodeId, window_ms, version);
}

client_upgrade_reason_t client_upgrade_run(client_channel_id_t channelId, uint8_t nodeId, const char *path,
                                           const client_upgrade_options_t *options,
                                           const client_upgrade_observer_t *observer,
                                           client_upgrade_result_t *result) {
    client_upgrade_result_t local;
    client_upgrade_result_t *r = result != nullptr ? result : &local;
    memset(r, 0, sizeof(*r));
    r->step = CLIENT_UPGRADE_STEP_NONE;
    Run x{};
    x.ch = channelId;
    x.node = nodeId;
    if (options != nullptr) {
        x.o = *options;
    } else {
        client_upgrade_options_init(&x.o);
    }
    if (observer != nullptr) {
        x.ob = *observer;
    }
    x.r = r;
    if (client_channel_id_is_invalid(&channelId) || path == nullptr || path[0] == '\0') {
        r->reason = CLIENT_UPGRADE_BAD_ARGUMENTS;
        return r->reason;
    }
    if (client_api_manager_get_channel_context(channelId) == nullptr) {
        r->reason = CLIENT_UPGRADE_CHANNEL_DOWN;
        return r->reason;
    }
    // The image is read once: the bytes sent are the bytes whose CRC is
    // compared, whatever happens to the file meanwhile.
    uint8_t *data = nullptr;
    size_t size = 0;
    if (read_file_to_buffer(path, &data, &size) != 0) {
        r->reason = CLIENT_UPGRADE_FILE_UNREADABLE;
        return r->reason;
    }
    r->fileSize = size;
    if (size == 0) {
        free(data);
        ostrelo_error("Error: %s is empty; nothing is sent to node %u\n", path,
                      static_cast<unsigned>(nodeId));
        r->reason = CLIENT_UPGRADE_FILE_EMPTY;
        return r->reason;
    }
    x.data = data;
    x.size = size;
    r->fileCrc = client_crc32(data, size);
    ostrelo_info("Upgrade of node %u with %s: %zu bytes, CRC32 0x%08X\n", static_cast<unsigned>(nodeId), path,
                 size, r->fileCrc);

    client_upgrade_reason_t why = CLIENT_UPGRADE_OK;
    for (uint64_t attempt = 0; attempt <= x.o.retries; ++attempt) {
        if (attempt > 0) {
            ostrelo_info("Upgrade of node %u: attempt %u of %u\n", static_cast<unsigned>(nodeId),
                         static_cast<unsigned>(attempt + 1), x.o.retries + 1u);
            delay_ms(x.o.retryDelayMs);
            start_clean(x);
        }
        r->attempts = static_cast<uint32_t>(attempt + 1);
        r->code = 0;
        why = one_attempt(x, static_cast<uint32_t>(attempt));
        if (why == CLIENT_UPGRADE_OK) {
            break;
        }
        ostrelo_warning("Upgrade of node %u, attempt %u: %s failed: %s (0x%08X)\n",
                        static_cast<unsigned>(nodeId), r->attempts, client_upgrade_step_text(r->step),
                        client_upgrade_reason_text(why), r->code);
        if (r->causeCount < CLIENT_UPGRADE_MAX_CAUSES) {
            r->causes[r->causeCount++] = client_upgrade_cause_t{r->step, why, r->code};
        }
        // A node that answered neither the probe nor the initiate within its
        // half minute is not waited for again.
        const bool silentThrough =
            why == CLIENT_UPGRADE_BOOTLOADER_SILENT && r->step == CLIENT_UPGRADE_STEP_TRANSFER;
        if (!worth_retrying(why) || silentThrough || stop(x)) {
            break;
        }
        if (why == CLIENT_UPGRADE_NO_HANDSHAKE && x.o.holdWhenNoHandshake != 0 &&
            x.o.entry != CLIENT_ENTRY_HOLD) {
            ostrelo_info(
                "Upgrade of node %u: no answer to the handshake; holding it in its bootloader instead\n",
                static_cast<unsigned>(nodeId));
            x.o.entry = CLIENT_ENTRY_HOLD;
            x.holdNext = true;
        }
    }
    free(data);
    r->reason = why;
    return why;
}

const char *client_upgrade_step_text(client_upgrade_step_t step) {
    switch (step) {
    case CLIENT_UPGRADE_STEP_NONE:
        return "preparation";
    case CLIENT_UPGRADE_STEP_ENTRY:
        return "bootloader entry";
    case CLIENT_UPGRADE_STEP_TRANSFER:
        return "transfer";
    case CLIENT_UPGRADE_STEP_VERIFY:
        return "CRC check";
    case CLIENT_UPGRADE_STEP_START:
        return "start";
    case CLIENT_UPGRADE_STEP_CONFIRM:
        return "start confirmation";
    case CLIENT_UPGRADE_STEP_DONE:
        return "done";
    }
    return "?";
}

const char *client_upgrade_reason_text(client_upgrade_reason_t reason) {
    switch (reason) {
    case CLIENT_UPGRADE_OK:
        return "ok";
    case CLIENT_UPGRADE_BAD_ARGUMENTS:
        return "bad arguments";
    case CLIENT_UPGRADE_CHANNEL_DOWN:
        return "the channel is not usable";
    case CLIENT_UPGRADE_FILE_UNREADABLE:
        return "the file cannot be read";
    case CLIENT_UPGRADE_FILE_EMPTY:
        return "the file is empty";
    case CLIENT_UPGRADE_NO_HANDSHAKE:
        return "no answer to the bootloader handshake";
    case CLIENT_UPGRADE_NOT_HELD:
        return "not held in its bootloader (no answer to the stop command)";
    case CLIENT_UPGRADE_NOT_IN_BOOTLOADER:
        return "its application runs, not its bootloader";
    case CLIENT_UPGRADE_BOOTLOADER_SILENT:
        return "the bootloader does not answer";
    case CLIENT_UPGRADE_IMAGE_TOO_LARGE:
        return "the image is larger than the motor takes";
    case CLIENT_UPGRADE_NODE_ABORTED:
        return "the motor aborted the transfer";
    case CLIENT_UPGRADE_NO_RESPONSE:
        return "no answer during the transfer (frames lost)";
    case CLIENT_UPGRADE_TOO_SLOW:
        return "the transfer took longer than its limit";
    case CLIENT_UPGRADE_TRANSFER_FAILED:
        return "the transfer failed";
    case CLIENT_UPGRADE_NO_CRC:
        return "the bootloader did not report its CRC";
    case CLIENT_UPGRADE_CRC_MISMATCH:
        return "CRC mismatch";
    case CLIENT_UPGRADE_START_NOT_SENT:
        return "the start command could not be sent";
    case CLIENT_UPGRADE_STAYED_IN_BOOTLOADER:
        return "the motor stays in its bootloader";
    case CLIENT_UPGRADE_APP_SILENT:
        return "the application does not answer after the start";
    case CLIENT_UPGRADE_VERSION_MISMATCH:
        return "the application reports another version";
    case CLIENT_UPGRADE_CANCELLED:
        return "cancelled";
    }
    return "?";
}
