// The upgrade of every paired motor (channels in parallel, the motors of one
// channel one after another), its report, and the manual crc and start steps.
#include "cli.h"

#include "trace.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

// The figures of the upgrade are the client API's, the same as the window's;
// the terminal program adds only how long its hold phase waits.
constexpr uint32_t kHoldMs = CLIENT_UPGRADE_HOLD_MS;
constexpr uint32_t kStartCommandWaitMs = 1000;
constexpr uint32_t kCommandRetries = 3;
constexpr uint32_t kCommandRetryDelayMs = CLIENT_UPGRADE_RETRY_DELAY_MS;
// Each motor's stop command waits this long for its acknowledge; a pass over
// the channel's motors is followed by a pause as long.
constexpr uint32_t kHoldRoundWaitMs = 10;
constexpr uint32_t kHoldPassPauseMs = 10;
// After a failed upgrade the motor is asked where it is, this long at most.
constexpr uint32_t kLocateAfterMs = 1000;

uint64_t now_ms() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// Called once, on the main thread, when Ctrl-C arrives (never from the
// signal handler). Each channel stops before its motor's next step: motors
// not begun are left alone, a motor in its bootloader is not started any
// more, and a transfer under way ends with an abort to its node, which stays
// in its bootloader, ready for another upgrade.
void cli_on_interrupt() {
    client_api_request_cancel_all();
    progress_note("Interrupted: transfers are stopped; no further motor is started");
}

void on_held(size_t index, void *user) {
    Motor *m = (*static_cast<std::vector<Motor *> *>(user))[index];
    m->held = true;
    progress_step(m, "held in bootloader");
}

int on_interrupted(void *) {
    return interrupted() ? 1 : 0;
}

// Holds every motor of one channel in its bootloader: the stop command goes
// to each until it is acknowledged, while the operator switches them off and
// on again.
void hold_channel(std::vector<Motor *> motors, uint32_t limit_ms) {
    if (motors.empty()) {
        return;
    }
    std::vector<client_hold_motor_t> held;
    for (Motor *m : motors) {
        progress_step(m, "hold");
        held.push_back(client_hold_motor_t{m->channelId, m->node, 0});
    }
    client_hold_observer_t ob = {};
    ob.held = on_held;
    ob.cancelled = on_interrupted;
    ob.user = &motors;
    client_hold_motors(held.data(), held.size(), limit_ms, kHoldRoundWaitMs, kHoldPassPauseMs, &ob);
}

// What the sequence tells the terminal program while it runs.
struct Watcher {
    Motor *motor;
    bool prompted = false;
};

const char *step_name(client_upgrade_step_t step) {
    switch (step) {
    case CLIENT_UPGRADE_STEP_ENTRY:
        return "bootloader";
    case CLIENT_UPGRADE_STEP_TRANSFER:
        return "transfer";
    case CLIENT_UPGRADE_STEP_VERIFY:
        return "verify";
    case CLIENT_UPGRADE_STEP_START:
    case CLIENT_UPGRADE_STEP_CONFIRM:
        return "start";
    default:
        return "done";
    }
}

void on_step(client_upgrade_step_t step, uint32_t, void *user) {
    Watcher *w = static_cast<Watcher *>(user);
    if (step != CLIENT_UPGRADE_STEP_DONE) {
        progress_step(w->motor, step_name(step));
    }
}

void on_bytes(size_t done, size_t total, void *user) {
    progress_bytes(static_cast<Watcher *>(user)->motor, done, total);
}

int on_cancel_check(void *) {
    return interrupted() ? 1 : 0;
}

void on_hold_round(uint32_t, void *user) {
    Watcher *w = static_cast<Watcher *>(user);
    if (!w->prompted) {
        w->prompted = true;
        progress_step(w->motor, "hold");
        progress_note(motor_label(*w->motor) +
                      ": switch this motor off and on again now (holding it in its bootloader for up to " +
                      std::to_string(kHoldMs / 1000) + " s)");
    }
}

// The record's error text for a failed or stopped upgrade.
std::string error_text(const client_upgrade_result_t &r) {
    std::string text = client_upgrade_reason_text(r.reason);
    switch (r.reason) {
    case CLIENT_UPGRADE_NODE_ABORTED:
    case CLIENT_UPGRADE_NO_RESPONSE:
    case CLIENT_UPGRADE_TRANSFER_FAILED:
    case CLIENT_UPGRADE_IMAGE_TOO_LARGE:
        return "transfer failed: " + text + " (SDO abort " + hex32(r.code) + ")";
    case CLIENT_UPGRADE_CRC_MISMATCH:
        return text + " (file " + hex32(r.fileCrc) + ", device " + hex32(r.deviceCrc) + ")";
    case CLIENT_UPGRADE_VERSION_MISMATCH:
        return text + " (" + version_text(r.version) + ")";
    case CLIENT_UPGRADE_CANCELLED:
        return std::string("stopped during the ") + client_upgrade_step_text(r.step) +
               (r.step >= CLIENT_UPGRADE_STEP_ENTRY && r.step <= CLIENT_UPGRADE_STEP_VERIFY
                    ? "; it stays in its bootloader"
                    : "");
    default:
        return std::string(client_upgrade_step_text(r.step)) + ": " + text;
    }
}

// Where a motor is after its upgrade: its application answered the version
// query after the start, a stop left it in its bootloader, or else its
// answers tell (nothing answers: unknown).
Side side_after(const Motor &m, const client_upgrade_result_t &r) {
    if (r.reason == CLIENT_UPGRADE_OK || r.reason == CLIENT_UPGRADE_VERSION_MISMATCH) {
        return Side::Application;
    }
    if (r.reason == CLIENT_UPGRADE_CANCELLED || interrupted()) {
        // A stop ends a transfer with an abort and never starts an unchecked
        // image; the channel asks nothing more once a stop was asked for.
        const bool held = r.step == CLIENT_UPGRADE_STEP_ENTRY && (m.inBootloader || m.held);
        return held || r.step == CLIENT_UPGRADE_STEP_TRANSFER || r.step == CLIENT_UPGRADE_STEP_VERIFY
                   ? Side::Bootloader
                   : Side::Unknown;
    }
    switch (client_api_locate_node(m.channelId, m.node, kLocateAfterMs, nullptr)) {
    case CLIENT_NODE_APPLICATION:
        return Side::Application;
    case CLIENT_NODE_BOOTLOADER:
        return Side::Bootloader;
    default:
        return Side::Unknown;
    }
}

// One motor: the upgrade sequence with the --retries of the run. A motor
// held by the --hold phase is found in its bootloader; one that did not go
// through the handshake is held through a power cycle with the attempts left.
// The history has its entry from the start to the end.
void upgrade_motor(Motor *m, const Options &o, UpgradeHistory *history) {
    const LogScope scope(motor_label(*m));
    const uint64_t t0 = now_ms();
    if (interrupted()) {
        m->outcome = Outcome::Interrupted;
        m->error = "not started";
        return;
    }
    client_upgrade_options_t opt;
    client_upgrade_options_init(&opt);
    opt.retries = o.retries;
    if (m->inBootloader || m->held) {
        opt.entry = CLIENT_ENTRY_IN_BOOTLOADER;
    } else {
        opt.entry = o.hold ? CLIENT_ENTRY_HOLD : CLIENT_ENTRY_HANDSHAKE;
    }
    // One whose application does not go through the handshake is held
    // through a power cycle with the attempts left.
    opt.holdWhenNoHandshake = 1;
    // The started application must report the version the file's name says.
    opt.expectedVersion = m->haveFileVersion ? m->fileVersion : 0;
    Watcher w{m};
    client_upgrade_observer_t ob = {on_step, on_bytes, on_cancel_check, on_hold_round, &w};
    client_upgrade_result_t r;
    history->begin(m);
    client_upgrade_run(m->channelId, m->node, m->path.c_str(), &opt, &ob, &r);
    m->attempts = r.attempts;
    // Every attempt's step, reason and abort code, as the history keeps them.
    const std::unique_ptr<ostrelo_history_entry_t> log(new ostrelo_history_entry_t());
    ostrelo_history_add_result(log.get(), &r);
    m->attemptLog.assign(
        log->attempts, log->attempts + std::min<uint32_t>(log->attempt_count, OSTRELO_HISTORY_MAX_ATTEMPTS));
    m->transferMs = r.transferMs;
    m->haveDeviceCrc = r.haveDeviceCrc != 0;
    m->deviceCrc = r.deviceCrc;
    m->haveVersionAfter = r.haveVersion != 0;
    m->versionAfter = r.version;
    m->durationMs = now_ms() - t0;
    if (r.reason == CLIENT_UPGRADE_OK) {
        m->outcome = Outcome::Ok;
        m->error.clear();
    } else if (r.reason == CLIENT_UPGRADE_VERSION_MISMATCH) {
        m->outcome = Outcome::VersionMismatch;
        m->error = "the application reports version " + version_text(r.version) +
                   " after the start, the file's name says " + version_text(m->fileVersion);
    } else {
        m->outcome =
            r.reason == CLIENT_UPGRADE_CANCELLED || interrupted() ? Outcome::Interrupted : Outcome::Failed;
        m->error = error_text(r);
    }
    m->side = side_after(*m, r);
    history->end(m, r);
    progress_finish_motor(*m);
}

// One thread per channel: hold phase (--hold), then its motors in turn.
// Each motor's end is recorded at once, so the record on disk keeps up.
void run_channel(std::vector<Motor *> motors, const Options &o, std::atomic<int> *finished, RunRecord *record,
                 UpgradeHistory *history, const Motor *first) {
    const LogScope scope(channel_text(motors.front()->channelId));
    if (o.hold) {
        hold_channel(motors, kHoldMs);
    }
    for (Motor *m : motors) {
        upgrade_motor(m, o, history);
        record->motor_done(static_cast<size_t>(m - first), *m);
    }
    finished->fetch_add(1);
}

// Reads size and CRC-32 of every paired file once, before the channels start.
void load_file_facts(Motor *m) {
    const LogScope scope(motor_label(*m));
    struct stat st;
    m->fileSize = stat(m->path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    m->fileCrc = client_api_calculate_file_crc32(m->path.c_str());
}

// Before any frame: what each motor is to get, and what it is not to.
void prepare_motors(const Options &o, std::vector<Motor> *motors) {
    for (Motor &m : *motors) {
        if (m.outcome != Outcome::Pending) {
            continue; // refused while pairing
        }
        if (m.file.empty()) {
            m.outcome = Outcome::NoFile;
            continue;
        }
        load_file_facts(&m);
        apply_version_policy(&m, o);
        if (o.dryRun && m.outcome == Outcome::Pending) {
            m.outcome = Outcome::DryRun;
        }
    }
}

// A second Ctrl-C (or SIGTERM, SIGHUP) during the upgrade: the record is
// written with the motors under way marked, then the program ends at once.
[[noreturn]] void end_at_once(RunRecord *record, UpgradeHistory *history) {
    const std::string why = "the program was ended at once (second signal) before this motor ended";
    record->mark_unfinished_interrupted(why);
    history->interrupt_open(why);
    record->finish("interrupted");
    controlcan_trace_close();
    err_line("ostrelo-cli: ended at once; the record marks the motors under way interrupted");
    out_finish();
    _exit(kExitFailed);
}

// A set-up error: the record says the run never began, and with --json the
// document on standard output says why.
int not_started(const Options &o, RunRecord *record) {
    record->set_error(last_error_line());
    record->finish("not started");
    if (o.json) {
        out_write(record->json("not started"));
    }
    return kExitUsage;
}

} // namespace

int cmd_upgrade(const Options &o) {
    RunRecord record(o, utc_now_iso());
    if (!record.start()) {
        return kExitUsage;
    }
    // A second signal is taken up below, once the record holds the motors;
    // until then the first one ends the scan within a node's queries.
    interrupt_defer_second(true);
    std::vector<FolderFile> files;
    if (o.file.empty() && !list_folder(o.folder, &files)) {
        return not_started(o, &record);
    }
    UpgradeHistory history;
    history.open(o);
    std::vector<client_channel_id_t> channels;
    const bool up = bring_up_channels(o, &channels);
    record.set_bus(describe_bus(channels), channels); // also what --require-hardware refused
    if (!up) {
        release_channels();
        return not_started(o, &record);
    }
    std::vector<Motor> motors = scan_channels(channels, o.nodes, true);
    note_adapter_serials(&motors);
    if (o.file.empty()) {
        // A motor that an earlier upgrade left in its bootloader takes that
        // upgrade's identity and file.
        for (Motor &m : motors) {
            history.recover(&m, o.recoveryDays);
        }
        match_files(files, o.looseMatch, &motors);
    } else {
        match_named_file(o.file, o.looseMatch, &motors);
    }
    prepare_motors(o, &motors);
    const std::vector<Motor> missing = missing_motors(o, motors);
    motors.insert(motors.end(), missing.begin(), missing.end());
    record.set_motors(motors);
    record.write("running");

    std::vector<std::vector<Motor *>> perChannel(channels.size());
    size_t selected = 0;
    for (Motor &m : motors) {
        if (m.outcome != Outcome::Pending) {
            continue;
        }
        for (size_t i = 0; i < channels.size(); ++i) {
            if (channels[i].deviceIndex == m.channelId.deviceIndex &&
                channels[i].canChannel == m.channelId.canChannel) {
                perChannel[i].push_back(&m);
                ++selected;
            }
        }
    }
    if (selected > 0) {
        progress_begin(!o.json);
        if (o.hold) {
            progress_note(
                "Switch the motors off and on again now: holding them in their bootloader for up to " +
                std::to_string(kHoldMs / 1000) + " s");
        }
        std::atomic<int> finished{0};
        int started = 0;
        std::vector<std::thread> threads;
        for (std::vector<Motor *> &list : perChannel) {
            if (!list.empty()) {
                threads.emplace_back(run_channel, list, std::cref(o), &finished, &record, &history,
                                     motors.data());
                ++started;
            }
        }
        bool told = false;
        while (finished.load() < started) {
            if (interrupt_count() >= 2) {
                end_at_once(&record, &history);
            }
            if (interrupted() && !told) {
                told = true;
                cli_on_interrupt();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        for (std::thread &t : threads) {
            t.join();
        }
        progress_end();
    }
    release_channels();
    record.set_motors(motors);

    const std::string state = interrupted() ? "interrupted" : "done";
    std::string out;
    if (o.json) {
        out = record.json(state);
    } else {
        out = result_table(motors);
        const size_t dry = static_cast<size_t>(std::count_if(
            motors.begin(), motors.end(), [](const Motor &m) { return m.outcome == Outcome::DryRun; }));
        const bool anyFile =
            std::any_of(motors.begin(), motors.end(), [](const Motor &m) { return !m.file.empty(); });
        if (o.dryRun) {
            out += "Dry run: " + std::to_string(dry) + " motor(s) would be upgraded; nothing was sent\n";
        } else if (!anyFile && o.file.empty()) {
            out += "Nothing to do: no motor pairs with a file in " + o.folder + "\n";
        } else if (selected == 0) {
            out += "Nothing to upgrade\n";
        }
        out += summary_line(motors);
    }
    int rc = account_for_motors(o, motors, o.file.empty() ? static_cast<long>(files.size()) : -1L, channels);
    for (const Motor &m : motors) {
        const Outcome outcome = m.outcome;
        if (outcome == Outcome::Failed || outcome == Outcome::Pending || outcome == Outcome::Refused ||
            outcome == Outcome::VersionMismatch || outcome == Outcome::Interrupted) {
            rc = kExitFailed;
        }
    }
    if (interrupted()) {
        rc = kExitFailed;
    }
    if (!record.finish(state)) {
        rc = kExitFailed;
    }
    out_write(out);
    return rc;
}

namespace {

// The one channel named by --channel, for the manual steps.
bool bring_up_one(const Options &o, client_channel_id_t *ch) {
    Options one = o;
    one.allChannels = false;
    one.channels = {o.channel};
    std::vector<client_channel_id_t> channels;
    if (!bring_up_channels(one, &channels)) {
        release_channels();
        return false;
    }
    *ch = channels.front();
    return true;
}

} // namespace

int cmd_crc(const Options &o) {
    client_channel_id_t ch;
    if (!bring_up_one(o, &ch)) {
        return kExitUsage;
    }
    const LogScope scope(node_label(ch, static_cast<unsigned>(o.node)));
    const uint32_t fileCrc = client_api_calculate_file_crc32(o.file.c_str());
    client_api_drain_channel(ch, 1);
    uint32_t deviceCrc = 0;
    const bool answered = client_api_query_firmware_crc(ch, static_cast<uint8_t>(o.node), &deviceCrc) == 0;
    release_channels();
    const bool match = answered && fileCrc != 0 && fileCrc == deviceCrc;
    std::string out = "file " + hex32(fileCrc) + "  device " +
                      (answered ? hex32(deviceCrc) : std::string("no answer")) + "  " +
                      (match ? "match" : "MISMATCH") + "\n";
    out_write(out);
    return match ? kExitOk : kExitFailed;
}

int cmd_start(const Options &o) {
    client_channel_id_t ch;
    if (!bring_up_one(o, &ch)) {
        return kExitUsage;
    }
    const LogScope scope(node_label(ch, static_cast<unsigned>(o.node)));
    const uint8_t node = static_cast<uint8_t>(o.node);
    uint32_t version = 0;
    const client_upgrade_reason_t why =
        client_api_start_application(ch, node, kStartCommandWaitMs, kCommandRetries, kCommandRetryDelayMs,
                                     CLIENT_UPGRADE_CONFIRM_WINDOW_MS, &version);
    std::string out;
    int rc = kExitFailed;
    if (why == CLIENT_UPGRADE_OK) {
        out = "application running, version " + version_text(version) + "\n";
        rc = kExitOk;
    } else if (why == CLIENT_UPGRADE_START_NOT_SENT) {
        out = "start command could not be sent\n";
    } else {
        out = std::string(client_upgrade_reason_text(why)) + "\n";
    }
    release_channels();
    out_write(out);
    return rc;
}
