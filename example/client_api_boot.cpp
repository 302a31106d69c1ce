// Moving a node between its application and its resident bootloader, and
// telling which of the two answers.
#include "client_api.h"
#include "client_api_internal.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr uint32_t kEntryRetries = CLIENT_UPGRADE_HANDSHAKE_RETRIES;
constexpr uint32_t kEntryRetryDelayMs = CLIENT_UPGRADE_RETRY_DELAY_MS;
// After the handshake the node restarts into its bootloader; the entry only
// counts once that bootloader answers.
constexpr uint32_t kBootRestartMs = 100;
constexpr uint32_t kBootConfirmMs = CLIENT_UPGRADE_BOOTLOADER_WAIT_MS;
// One round of telling where a node is: the application's version query,
// then an SDO read that only a bootloader answers.
constexpr uint32_t kAppAnswerMs = 50;
constexpr uint32_t kSdoAnswerMs = 200;

bool is_a3_read_reply(const CO_CANrxMsg_t &f, uint8_t nodeId) {
    return f.ident == nodeId && motor_entry_read_reply_valid(f.data, f.DLC);
}

int a3_read_reply_of(const CO_CANrxMsg_t *f, void *node) {
    return is_a3_read_reply(*f, *static_cast<const uint8_t *>(node)) ? 1 : 0;
}

// Skips every frame that is not an accepted A3 read reply of the node, for up
// to `timeout_ms`.
bool wait_a3_read_reply(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms) {
    CO_CANrxMsg_t f;
    return client_await_frame(channelId, a3_read_reply_of, &nodeId, ostrelo_deadline_in(timeout_ms), &f) ==
           CLIENT_RX_FRAME;
}

bool is_stop_ack(const CO_CANrxMsg_t &f, uint8_t nodeId) {
    return f.ident == motor_sdo_reply_id(nodeId) && motor_is_program_control_ack(f.data, f.DLC);
}

int stop_ack_of(const CO_CANrxMsg_t *f, void *node) {
    return is_stop_ack(*f, *static_cast<const uint8_t *>(node)) ? 1 : 0;
}

// A bootloader left inside a transfer (its client's abort lost) takes the
// stop command for transfer data. An abort first ends such a transfer; an
// idle server ignores it.
void clear_half_open_transfer(client_channel_id_t channelId, uint8_t nodeId) {
    CO_CANrxMsg_t f;
    memset(&f, 0, sizeof(f));
    f.ident = motor_sdo_request_id(nodeId);
    f.DLC = motor_build_sdo_abort(f.data, MOTOR_PROGRAM_CONTROL_INDEX, MOTOR_PROGRAM_CONTROL_SUB,
                                  CO_SDO_AB_GENERAL);
    client_api_send_raw_can(channelId, &f);
}

int send_stop(client_channel_id_t channelId, uint8_t nodeId) {
    return client_send_program_control(channelId, nodeId, MOTOR_PROGRAM_STOP);
}

// One stop command, then the node's acknowledge awaited for `wait_ms`: 0
// when it came. Other frames are passed over; on a bus shared with other
// nodes the next frame is mostly theirs. With `must_send`, a stop that could
// not be sent ends the round at once.
int stop_round(client_channel_id_t channelId, uint8_t nodeId, uint32_t wait_ms, bool must_send) {
    if (send_stop(channelId, nodeId) != 0 && must_send) {
        return -1;
    }
    CO_CANrxMsg_t f;
    const client_rx_result_t r =
        client_await_frame(channelId, stop_ack_of, &nodeId, ostrelo_deadline_in(wait_ms), &f);
    if (r == CLIENT_RX_FAILED) {
        delay_ms(1); // the channel cannot receive: the callers' rounds must not spin
    }
    return r == CLIENT_RX_FRAME ? 0 : -1;
}

void print_attempt_header(uint32_t attempt, uint32_t retry_count, uint32_t retry_delay_ms) {
    if (attempt == 0) {
        ostrelo_info("\n--- Initial Attempt ---\n");
        return;
    }
    ostrelo_info("\n--- Retry Attempt %u/%u ---\n", attempt, retry_count);
    ostrelo_info("Waiting %u ms before retry...\n", retry_delay_ms);
    delay_ms(retry_delay_ms);
}

struct VersionReply {
    uint8_t node;
    uint32_t version;
};

int version_reply_of(const CO_CANrxMsg_t *f, void *user) {
    VersionReply *r = static_cast<VersionReply *>(user);
    return f->ident == r->node && motor_parse_version_reply(f->data, f->DLC, &r->version) ? 1 : 0;
}

// Does the application answer its version query within `wait_ms`? Frames of
// anyone else are passed over.
bool application_answers(client_channel_id_t channelId, uint8_t nodeId, uint32_t wait_ms, uint32_t *version) {
    uint8_t req[8];
    const uint8_t len = motor_build_version_query(req);
    if (client_api_send_can_data(channelId, nodeId, req, len) != 0) {
        delay_ms(wait_ms < 10 ? wait_ms : 10); // nothing went out: do not spin
        return false;
    }
    VersionReply reply{nodeId, 0};
    CO_CANrxMsg_t f;
    const client_rx_result_t r =
        client_await_frame(channelId, version_reply_of, &reply, ostrelo_deadline_in(wait_ms), &f);
    if (r == CLIENT_RX_FAILED) {
        delay_ms(1); // the channel cannot receive: the callers' rounds must not spin
    }
    if (r != CLIENT_RX_FRAME) {
        return false;
    }
    if (version != nullptr) {
        *version = reply.version;
    }
    return true;
}

// Does anything answer an SDO read of the program-data object from
// 0x580 + node-ID within `wait_ms`? Data or an abort of any code both say a
// server is there; only silence (the SDO client's own time-out) says none.
// `code` receives how the read ended.
bool sdo_server_answers(client_channel_id_t channelId, uint8_t nodeId, uint32_t wait_ms, uint32_t *code) {
    uint8_t buf[4];
    size_t n = 0;
    client_sdo_end_t end = CLIENT_SDO_END_LOCAL;
    const CO_SDO_abortCode_t r =
        client_sdo_upload(channelId, nodeId, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, buf,
                          sizeof(buf), &n, wait_ms, &end);
    *code = r;
    switch (end) {
    case CLIENT_SDO_END_OK:
    case CLIENT_SDO_END_SERVER_ABORT:
        return true;
    case CLIENT_SDO_END_CLIENT_ABORT:
        return r != CO_SDO_AB_TIMEOUT; // an answer the client could not use is still an answer
    case CLIENT_SDO_END_LOCAL:
        delay_ms(10); // the channel is not usable: do not spin
        return false;
    default:
        return false;
    }
}

} // namespace

bool client_stop_requested(client_channel_id_t channelId, int (*cancelled)(void *), void *cancelUser) {
    return client_api_cancel_requested(channelId) || (cancelled != nullptr && cancelled(cancelUser) != 0);
}

int client_send_program_control(client_channel_id_t channelId, uint8_t nodeId, uint8_t command) {
    CO_CANrxMsg_t f;
    memset(&f, 0, sizeof(f));
    f.ident = motor_sdo_request_id(nodeId);
    f.DLC = motor_build_program_control(f.data, command);
    return client_api_send_raw_can(channelId, &f);
}

client_node_side_t client_api_locate_node(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                                          uint32_t *appVersion) {
    return client_locate_node(channelId, nodeId, within_ms, appVersion, nullptr);
}

client_node_side_t client_locate_node(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                                      uint32_t *appVersion, uint32_t *probeCode) {
    uint32_t code = CO_SDO_AB_GENERAL;
    if (probeCode != nullptr) {
        *probeCode = code;
    }
    if (client_api_manager_get_channel_context(channelId) == nullptr) {
        return CLIENT_NODE_UNREACHABLE;
    }
    const ostrelo_deadline_t until = ostrelo_deadline_in(within_ms);
    do {
        // The application first: one that also speaks SDO is still the application.
        if (application_answers(channelId, nodeId, kAppAnswerMs, appVersion)) {
            return CLIENT_NODE_APPLICATION;
        }
        const uint32_t left = ostrelo_deadline_left(until);
        const bool answered = sdo_server_answers(
            channelId, nodeId, left < kSdoAnswerMs ? (left > 20 ? left : 20) : kSdoAnswerMs, &code);
        if (probeCode != nullptr) {
            *probeCode = code;
        }
        if (answered) {
            return CLIENT_NODE_BOOTLOADER;
        }
    } while (ostrelo_deadline_left(until) > 0 && !client_api_cancel_requested(channelId));
    return CLIENT_NODE_SILENT;
}

int client_wait_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t within_ms,
                           int (*cancelled)(void *), void *cancelUser) {
    const ostrelo_deadline_t until = ostrelo_deadline_in(within_ms);
    do {
        const client_node_side_t side =
            client_api_locate_node(channelId, nodeId, ostrelo_deadline_left(until), nullptr);
        if (side == CLIENT_NODE_BOOTLOADER) {
            return 0;
        }
        if (side == CLIENT_NODE_UNREACHABLE) {
            return -1;
        }
        if (side == CLIENT_NODE_APPLICATION) {
            delay_ms(20); // still on its way into the bootloader
        }
    } while (ostrelo_deadline_left(until) > 0 && !client_stop_requested(channelId, cancelled, cancelUser));
    return -1;
}

int client_api_enter_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                                uint32_t retry_count, uint32_t retry_delay_ms) {
    if (client_channel_id_is_invalid(&channelId)) {
        return -1;
    }
    ostrelo_info("\n=== Enter Bootloader Mode ===\n");
    ostrelo_info("Target Node ID: %d\n", static_cast<int>(nodeId));
    ostrelo_info("Timeout: %u ms, Retry: %u times, Delay: %u ms\n", timeout_ms, retry_count, retry_delay_ms);

    uint8_t readCmd[8];
    uint8_t write1[8];
    uint8_t write2[8];
    const uint8_t readLen = motor_build_entry_read(readCmd);
    const uint8_t writeLen = motor_build_entry_write(write1, 1);
    motor_build_entry_write(write2, 2);

    // retry_count + 1 attempts; the counter is 64-bit so UINT32_MAX cannot wrap.
    for (uint64_t attempt = 0; attempt <= retry_count && !client_api_cancel_requested(channelId); ++attempt) {
        print_attempt_header(static_cast<uint32_t>(attempt), retry_count, retry_delay_ms);
        if (attempt > 0) {
            // An earlier attempt may have got the node there, or have left it
            // restarting: a bootloader cannot answer the handshake, and one
            // sent to a restarting node is lost. Only a running application
            // is asked again.
            const client_node_side_t side = client_api_locate_node(channelId, nodeId, timeout_ms, nullptr);
            if (side == CLIENT_NODE_BOOTLOADER) {
                ostrelo_info("SUCCESS: App should restart and enter bootloader mode\n");
                return 0;
            }
            if (side != CLIENT_NODE_APPLICATION) {
                ostrelo_warning("Step 7: No answer from the bootloader of node %u, retrying...\n",
                                static_cast<unsigned>(nodeId));
                continue;
            }
        }
        ostrelo_info("Step 1: Send read command\n");
        client_api_send_can_data(channelId, nodeId, readCmd, readLen);
        if (!wait_a3_read_reply(channelId, nodeId, timeout_ms)) {
            ostrelo_warning("Step 2: No/invalid reply for node %u, retrying...\n",
                            static_cast<unsigned>(nodeId));
            continue;
        }
        ostrelo_info("Step 2: Received valid A3 40 reply (not all FF)\n");
        ostrelo_info("Step 3: Send write command 1\n");
        client_api_send_can_data(channelId, nodeId, write1, writeLen);
        ostrelo_info("Step 4: Send read command again\n");
        client_api_send_can_data(channelId, nodeId, readCmd, readLen);
        if (!wait_a3_read_reply(channelId, nodeId, timeout_ms)) {
            ostrelo_warning("Step 5: No/invalid confirmation for node %u, retrying...\n",
                            static_cast<unsigned>(nodeId));
            continue;
        }
        ostrelo_info("Step 5: Received valid A3 40 confirmation (not all FF)\n");
        ostrelo_info("Step 6: Send final write command\n");
        client_api_send_can_data(channelId, nodeId, write2, writeLen);
        delay_ms(kBootRestartMs);
        if (client_wait_bootloader(channelId, nodeId, kBootConfirmMs, nullptr, nullptr) != 0) {
            ostrelo_warning("Step 7: No answer from the bootloader of node %u, retrying...\n",
                            static_cast<unsigned>(nodeId));
            continue;
        }
        ostrelo_info("SUCCESS: App should restart and enter bootloader mode\n");
        return 0;
    }
    ostrelo_error("FAILED: All attempts failed to enter bootloader mode\n");
    return -1;
}

int client_api_exit_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                               uint32_t retry_count, uint32_t retry_delay_ms) {
    if (client_channel_id_is_invalid(&channelId)) {
        return -1;
    }
    ostrelo_info("\n=== Exit Bootloader Mode ===\n");
    ostrelo_info("Timeout: %u ms, Retry: %u times, Delay: %u ms\n", timeout_ms, retry_count, retry_delay_ms);
    uint8_t start[8];
    motor_build_program_control(start, MOTOR_PROGRAM_START);
    for (uint64_t attempt = 0; attempt <= retry_count; ++attempt) {
        print_attempt_header(static_cast<uint32_t>(attempt), retry_count, retry_delay_ms);
        ostrelo_info("Send SDO command to start app (ID=0x%X)\n", motor_sdo_request_id(nodeId));
        client_log_bytes_line("Data: ", start, 8);
        if (client_send_program_control(channelId, nodeId, MOTOR_PROGRAM_START) == 0) {
            ostrelo_info("SUCCESS: SDO command sent - bootloader should attempt to start app\n");
            return 0;
        }
        ostrelo_error("FAILED: Failed to send SDO command, retrying...\n");
    }
    ostrelo_error("FAILED: All attempts failed to exit bootloader mode\n");
    return -1;
}

int client_api_prevent_app_start(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms,
                                 uint32_t retry_count, uint32_t retry_delay_ms) {
    if (client_channel_id_is_invalid(&channelId)) {
        return -1;
    }
    uint64_t failures = 0;
    clear_half_open_transfer(channelId, nodeId);
    for (;;) {
        if (stop_round(channelId, nodeId, timeout_ms, true) == 0) {
            ostrelo_info("Prevent app start: OK\n");
            return 0;
        }
        ++failures;
        delay_ms(retry_delay_ms);
        if (failures > retry_count) {
            ostrelo_warning("Prevent app start: FAILED\n");
            return -1;
        }
    }
}

client_hold_end_t client_hold_motors(client_hold_motor_t *motors, size_t count, uint32_t limit_ms,
                                     uint32_t round_wait_ms, uint32_t pass_pause_ms,
                                     const client_hold_observer_t *observer) {
    const client_hold_observer_t none = {};
    const client_hold_observer_t &ob = observer != nullptr ? *observer : none;
    auto stopped = [&ob]() { return ob.cancelled != nullptr && ob.cancelled(ob.user) != 0; };
    auto allHeld = [motors, count]() {
        for (size_t i = 0; i < count; ++i) {
            if (!motors[i].held) {
                return false;
            }
        }
        return true;
    };
    if (motors == nullptr || allHeld()) {
        return CLIENT_HOLD_ALL_HELD;
    }
    const uint32_t start = get_current_time_ms();
    for (;;) {
        if (ostrelo_ms_since(start) >= limit_ms) {
            return CLIENT_HOLD_TIME_UP;
        }
        if (stopped()) {
            return CLIENT_HOLD_STOPPED;
        }
        for (size_t i = 0; i < count; ++i) {
            client_hold_motor_t &m = motors[i];
            if (m.held || client_channel_id_is_invalid(&m.channelId)) {
                continue;
            }
            // A channel another thread is using now is skipped in this pass.
            if (ob.enter_channel != nullptr && ob.enter_channel(m.channelId, ob.user) == 0) {
                continue;
            }
            const bool acked = stop_round(m.channelId, m.nodeId, round_wait_ms, false) == 0;
            if (ob.leave_channel != nullptr) {
                ob.leave_channel(m.channelId, ob.user);
            }
            if (acked) {
                m.held = 1;
                if (ob.held != nullptr) {
                    ob.held(i, ob.user);
                }
            }
        }
        if (allHeld()) {
            return CLIENT_HOLD_ALL_HELD;
        }
        if (ob.pass != nullptr) {
            ob.pass(ostrelo_ms_since(start), ob.user);
        }
        if (pass_pause_ms > 0) {
            delay_ms(pass_pause_ms);
        }
        if (stopped()) {
            return CLIENT_HOLD_STOPPED;
        }
    }
}

namespace {

struct SingleHold {
    client_channel_id_t channelId;
    void (*round)(uint32_t elapsed_ms, void *user);
    void *user;
    int (*cancelled)(void *);
    void *cancelUser;
};

int single_hold_stopped(void *user) {
    const SingleHold *h = static_cast<const SingleHold *>(user);
    return client_stop_requested(h->channelId, h->cancelled, h->cancelUser) ? 1 : 0;
}

void single_hold_round(uint32_t elapsed_ms, void *user) {
    const SingleHold *h = static_cast<const SingleHold *>(user);
    if (h->round != nullptr) {
        h->round(elapsed_ms, h->user);
    }
}

} // namespace

int client_hold_in_bootloader(client_channel_id_t channelId, uint8_t nodeId, uint32_t duration_ms,
                              void (*round)(uint32_t elapsed_ms, void *user), void *user,
                              int (*cancelled)(void *), void *cancelUser) {
    if (client_channel_id_is_invalid(&channelId)) {
        return -1;
    }
    clear_half_open_transfer(channelId, nodeId);
    SingleHold h{channelId, round, user, cancelled, cancelUser};
    client_hold_observer_t ob = {};
    ob.pass = single_hold_round;
    ob.cancelled = single_hold_stopped;
    ob.user = &h;
    // The stop command again at once after each unanswered round.
    client_hold_motor_t motor = {channelId, nodeId, 0};
    if (client_hold_motors(&motor, 1, duration_ms, 10, 0, &ob) == CLIENT_HOLD_ALL_HELD) {
        ostrelo_info("Prevent app start: OK\n");
        return 0;
    }
    ostrelo_warning("Prevent app start: FAILED (duration elapsed)\n");
    return -1;
}

int client_api_prevent_app_start_for_duration(client_channel_id_t channelId, uint8_t nodeId,
                                              uint32_t duration_ms) {
    return client_hold_in_bootloader(channelId, nodeId, duration_ms, nullptr, nullptr, nullptr, nullptr);
}

int client_api_boot_and_transfer_block(client_channel_id_t channelId, uint8_t nodeId, const char *filePath,
                                       uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms) {
    if (client_channel_id_is_invalid(&channelId) || filePath == nullptr || filePath[0] == '\0') {
        return -1;
    }
    if (client_api_enter_bootloader(channelId, nodeId, enter_timeout_ms, kEntryRetries, kEntryRetryDelayMs) !=
        0) {
        ostrelo_warning("[boot_and_transfer] Enter bootloader failed\n");
        return -1;
    }
    delay_ms(1000);
    const CO_SDO_abortCode_t rc = client_api_transfer_file_block_with_progress(
        channelId, nodeId, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, filePath, transfer_timeout_ms,
        nullptr, nullptr);
    if (rc != CO_SDO_AB_NONE) {
        ostrelo_warning("[boot_and_transfer] Block transfer failed: 0x%08X\n", static_cast<unsigned>(rc));
        return -1;
    }
    ostrelo_info("[boot_and_transfer] Block transfer success\n");
    return 0;
}

int client_api_force_boot_and_transfer_block_duration(client_channel_id_t channelId, uint8_t nodeId,
                                                      const char *filePath, uint32_t prevent_duration_ms,
                                                      uint32_t transfer_timeout_ms) {
    if (client_channel_id_is_invalid(&channelId) || filePath == nullptr || filePath[0] == '\0') {
        return -1;
    }
    if (client_api_prevent_app_start_for_duration(channelId, nodeId, prevent_duration_ms) != 0) {
        ostrelo_warning("[force_boot_and_transfer] prevent_app_start failed\n");
        return -1;
    }
    delay_ms(500);
    const CO_SDO_abortCode_t rc = client_api_transfer_file_block_with_progress(
        channelId, nodeId, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, filePath, transfer_timeout_ms,
        nullptr, nullptr);
    if (rc != CO_SDO_AB_NONE) {
        ostrelo_warning("[force_boot_and_transfer] Block transfer failed: 0x%08X\n",
                        static_cast<unsigned>(rc));
        return -1;
    }
    ostrelo_info("[force_boot_and_transfer] Block transfer success\n");
    return 0;
}
