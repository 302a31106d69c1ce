// The upgrade of every paired motor (channels in parallel, the motors of one
// channel one after another), its report, and the manual crc and start steps.
#include "cli.h"

#include "motor_protocol.h"
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

constexpr uint32_t kHandshakeWaitMs = 1000;
constexpr uint32_t kCommandRetries = 3;
constexpr uint32_t kCommandRetryDelayMs = 200;
constexpr uint32_t kBootloaderWaitMs = 3000;
constexpr uint32_t kBootloaderRetryWaitMs = 300;
constexpr uint32_t kHoldMs = 30000;
constexpr uint32_t kStartConfirmMs = 3000;
constexpr uint32_t kStartCommandWaitMs = 1000;

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

bool read_version(client_channel_id_t ch, uint8_t node, uint32_t *version) {
    for (int i = 0; i < 5; ++i) {
        if (client_api_query_software_version(ch, node, version) == 0) {
            return true;
        }
    }
    return false;
}

// The transfer's time parameter: the client allows 100 times it for the
// whole transfer and, modulo 65536 ms, as the SDO response time-out. A lost
// acknowledge ends the transfer only after that response time-out, so it is
// kept near 5 s (time for a bootloader that erases its flash at the start)
// and the whole is the first such value above three times the bus time of
// the image plus 20 s.
uint32_t transfer_time_param(uint64_t bytes, uint16_t kbps) {
    const uint64_t busMs = bytes * 8u * 5u / 2u / (kbps ? kbps : 1u); // about 2.5 bus bits per data bit
    const uint64_t neededMs = 3u * busMs + 20000u;
    const uint64_t wraps = (neededMs + 65535u) / 65536u;
    const uint64_t param = (wraps * 65536u + 5000u + 99u) / 100u;
    return param > 0xFFFFFFFFu / 100u ? 0xFFFFFFFFu / 100u : static_cast<uint32_t>(param);
}

void on_transfer_bytes(size_t done, size_t total, void *user) {
    progress_bytes(static_cast<Motor *>(user), done, total);
}

// Holds every motor of one channel in its bootloader: the stop command goes
// to each until it is acknowledged, while the operator switches them off and
// on again.
void hold_channel(const std::vector<Motor *> &motors, uint32_t limit_ms) {
    if (motors.empty()) {
        return;
    }
    const client_channel_id_t ch = motors.front()->channelId;
    for (Motor *m : motors) {
        progress_step(m, "hold");
    }
    uint8_t stop[8];
    const uint8_t stopLen = motor_build_program_control(stop, MOTOR_PROGRAM_STOP);
    size_t held = 0;
    const uint32_t start = get_current_time_ms();
    while (held < motors.size() && static_cast<uint32_t>(get_current_time_ms() - start) < limit_ms &&
           !interrupted()) {
        for (Motor *m : motors) {
            if (!m->held) {
                client_api_send_can_data(ch, motor_sdo_request_id(m->node), stop, stopLen);
            }
        }
        CO_CANrxMsg_t f;
        const uint32_t t0 = get_current_time_ms();
        while (static_cast<uint32_t>(get_current_time_ms() - t0) < 10u) {
            if (client_api_receive_raw_can(ch, &f, 10) != 0) {
                break;
            }
            for (Motor *m : motors) {
                if (!m->held && f.ident == motor_sdo_reply_id(m->node) &&
                    motor_is_program_control_ack(f.data, f.DLC)) {
                    m->held = true;
                    ++held;
                    progress_step(m, "held in bootloader");
                }
            }
        }
    }
}

enum class Attempt { Done, Failed, Stopped };

Attempt fail(Motor *m, const std::string &why) {
    m->error = why;
    return Attempt::Failed;
}

Attempt stopped(Motor *m, const char *where) {
    m->error = std::string("stopped ") + where;
    return Attempt::Stopped;
}

// Brings the motor into its bootloader. The first attempt uses the handshake
// (or the --hold phase); a repeat finds it there already after a failed
// transfer, or tries the handshake and then holds it through a power cycle.
Attempt into_bootloader(Motor *m, unsigned attempt, const Options &o) {
    const client_channel_id_t ch = m->channelId;
    progress_step(m, "bootloader");
    if (attempt == 0 && m->held) {
        return client_api_bootloader_answers(ch, m->node, kBootloaderWaitMs) == 0
                   ? Attempt::Done
                   : fail(m, "held, but its bootloader does not answer");
    }
    if (attempt > 0 && client_api_bootloader_answers(ch, m->node, kBootloaderRetryWaitMs) == 0) {
        return Attempt::Done;
    }
    if (!(attempt == 0 && o.hold)) {
        discard_stale_frames(ch);
        // The entry counts only once the bootloader has answered.
        if (client_api_enter_bootloader(ch, m->node, kHandshakeWaitMs, kCommandRetries,
                                        kCommandRetryDelayMs) == 0) {
            return Attempt::Done;
        }
        if (attempt == 0) {
            return fail(m, "no answer to the bootloader handshake");
        }
    }
    if (interrupted()) {
        return stopped(m, "before the hold");
    }
    progress_note(motor_label(*m) +
                  ": switch this motor off and on again now (holding it in its bootloader for up to " +
                  std::to_string(kHoldMs / 1000) + " s)");
    progress_step(m, "hold");
    if (client_api_prevent_app_start_for_duration(ch, m->node, kHoldMs) != 0) {
        return fail(m, "not held in its bootloader (no answer to the stop command)");
    }
    return Attempt::Done;
}

Attempt one_attempt(Motor *m, unsigned attempt, const Options &o) {
    const client_channel_id_t ch = m->channelId;
    const Attempt boot = into_bootloader(m, attempt, o);
    if (boot != Attempt::Done) {
        return boot;
    }
    if (interrupted()) {
        return stopped(m, "in its bootloader, before the transfer");
    }
    progress_step(m, "transfer");
    const uint64_t t0 = now_ms();
    const CO_SDO_abortCode_t rc = client_api_transfer_file_block_with_progress(
        ch, m->node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, m->path.c_str(),
        transfer_time_param(m->fileSize, ch.bitrate), on_transfer_bytes, m);
    m->transferMs = now_ms() - t0;
    if (rc != CO_SDO_AB_NONE) {
        if (interrupted()) {
            return stopped(m, "during the transfer; it stays in its bootloader");
        }
        return fail(m, "transfer failed (SDO abort " + hex32(static_cast<uint32_t>(rc)) + ")");
    }
    progress_step(m, "verify");
    discard_stale_frames(ch);
    uint32_t crc = 0;
    if (client_api_query_firmware_crc(ch, m->node, &crc) != 0) {
        return fail(m, "the bootloader did not report its CRC");
    }
    m->haveDeviceCrc = true;
    m->deviceCrc = crc;
    if (crc != m->fileCrc) {
        return fail(m, "CRC mismatch (file " + hex32(m->fileCrc) + ", device " + hex32(crc) + ")");
    }
    if (interrupted()) {
        return stopped(m, "in its bootloader, after the CRC check");
    }
    progress_step(m, "start");
    if (client_api_exit_bootloader(ch, m->node, kStartCommandWaitMs, kCommandRetries, kCommandRetryDelayMs) !=
        0) {
        return fail(m, "the start command could not be sent");
    }
    discard_stale_frames(ch);
    if (client_api_confirm_app_running(ch, m->node, kStartConfirmMs) != 0) {
        return fail(m, "the application does not answer after the start");
    }
    m->haveVersionAfter = read_version(ch, m->node, &m->versionAfter);
    return Attempt::Done;
}

void upgrade_motor(Motor *m, const Options &o) {
    const uint64_t t0 = now_ms();
    if (interrupted()) {
        m->outcome = Outcome::Interrupted;
        m->error = "not started";
        return;
    }
    if (m->fileCrc == 0 || m->fileSize == 0) {
        m->outcome = Outcome::Failed;
        m->error = "the file cannot be read or is empty";
        progress_finish_motor(*m);
        return;
    }
    Attempt result = Attempt::Failed;
    for (unsigned attempt = 0; attempt <= o.retries; ++attempt) {
        m->attempts = attempt + 1;
        m->error.clear();
        result = one_attempt(m, attempt, o);
        if (result != Attempt::Failed || interrupted()) {
            break;
        }
    }
    m->durationMs = now_ms() - t0;
    if (result == Attempt::Done) {
        m->outcome = Outcome::Ok;
    } else if (result == Attempt::Stopped) {
        m->outcome = Outcome::Interrupted;
    } else {
        m->outcome = Outcome::Failed;
    }
    progress_finish_motor(*m);
}

// One thread per channel: hold phase (--hold), then its motors in turn.
// Each motor's end is recorded at once, so the record on disk keeps up.
void run_channel(std::vector<Motor *> motors, const Options &o, std::atomic<int> *finished, RunRecord *record,
                 const Motor *first) {
    if (o.hold) {
        hold_channel(motors, kHoldMs);
    }
    for (Motor *m : motors) {
        upgrade_motor(m, o);
        settle_version_after(m);
        record->motor_done(static_cast<size_t>(m - first), *m);
    }
    finished->fetch_add(1);
}

// Reads size and CRC-32 of every paired file once, before the channels start.
void load_file_facts(Motor *m) {
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
[[noreturn]] void end_at_once(RunRecord *record) {
    record->mark_unfinished_interrupted(
        "the program was ended at once (second signal) before this motor ended");
    record->finish("interrupted");
    controlcan_trace_close();
    err_line("ostrelo-cli: ended at once; the record marks the motors under way interrupted");
    out_finish();
    _exit(kExitFailed);
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
    // A set-up error leaves a record that says the run never began.
    std::vector<FolderFile> files;
    if (o.file.empty() && !list_folder(o.folder, &files)) {
        record.finish("not started");
        return kExitUsage;
    }
    std::vector<client_channel_id_t> channels;
    const bool up = bring_up_channels(o, &channels);
    record.set_bus(describe_bus(channels), channels); // also what --require-hardware refused
    if (!up) {
        release_channels();
        record.finish("not started");
        return kExitUsage;
    }
    std::vector<Motor> motors = scan_channels(channels, o.nodes, true);
    if (o.file.empty()) {
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
                threads.emplace_back(run_channel, list, std::cref(o), &finished, &record, motors.data());
                ++started;
            }
        }
        bool told = false;
        while (finished.load() < started) {
            if (interrupt_count() >= 2) {
                end_at_once(&record);
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
        const Outcome outcome = version_after_outcome(m);
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
    const uint32_t fileCrc = client_api_calculate_file_crc32(o.file.c_str());
    discard_stale_frames(ch);
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
    const uint8_t node = static_cast<uint8_t>(o.node);
    std::string out;
    int rc = kExitFailed;
    if (client_api_exit_bootloader(ch, node, kStartCommandWaitMs, kCommandRetries, kCommandRetryDelayMs) !=
        0) {
        out = "start command could not be sent\n";
    } else {
        discard_stale_frames(ch);
        uint32_t version = 0;
        if (client_api_confirm_app_running(ch, node, kStartConfirmMs) == 0 &&
            read_version(ch, node, &version)) {
            out = "application running, version " + version_text(version) + "\n";
            rc = kExitOk;
        } else {
            out = "the application does not answer after the start\n";
        }
    }
    release_channels();
    out_write(out);
    return rc;
}
