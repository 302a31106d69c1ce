// What ostrelo-cli records and decides around an upgrade: the version
// policy, the accounting of motors, and the record of the run (JSON, or CSV
// with the same fields), written so that it survives the program's end.
#include "cli.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#ifdef _WIN32
#include <process.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "client_api_names.h"

namespace {

std::vector<Field> identity_fields(const Motor &m) {
    const bool known = identity_known(m);
    const bool channel = !m.anyChannel;
    return {opt_str("channel", channel, channel_text(m.channelId)),
            opt_num("adapter", channel, m.channelId.deviceIndex),
            opt_num("can_channel", channel, m.channelId.canChannel),
            num_field("node", m.node),
            str_field("state", side_text(m.expectedOnly ? Side::Missing : m.side)),
            opt_num("motor_type", known, m.info.motorType),
            opt_str("model", known, m.info.firmwareModel),
            opt_num("brake_code", known, m.info.brakeType),
            opt_str("brake", known, m.info.brakeSuffix),
            opt_num("encoder_code", known, m.info.encoderType),
            opt_str("encoder", known, m.info.encoderName),
            opt_str("version", known && !m.inBootloader, version_text(m.info.softwareVersion)),
            opt_str("key", known, m.info.filenameKey)};
}

const char *match_text(Match match) {
    switch (match) {
    case Match::Exact:
        return "exact";
    case Match::Loose:
        return "loose";
    case Match::Named:
        return "named";
    case Match::History:
        return "history";
    case Match::None:
        break;
    }
    return nullptr;
}

std::vector<Field> file_fields(const Motor &m) {
    const bool paired = !m.file.empty();
    const char *match = match_text(m.match);
    std::vector<Field> f = name_fields("file", "file_hex", paired, m.file);
    const std::vector<Field> path = name_fields("path", "path_hex", paired, m.path);
    f.insert(f.end(), path.begin(), path.end());
    const std::vector<Field> rest = {
        opt_str("match", match != nullptr, match != nullptr ? match : ""),
        list_field("candidates", m.candidates),
        opt_str("file_version", paired && m.haveFileVersion, version_text(m.fileVersion))};
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

std::vector<Field> motor_fields(const Motor &m) {
    std::vector<Field> f = identity_fields(m);
    const std::vector<Field> file = file_fields(m);
    f.insert(f.end(), file.begin(), file.end());
    const bool paired = !m.file.empty();
    const std::string &why = m.error;
    const Outcome outcome = m.outcome;
    const std::vector<Field> rest = {
        opt_num("file_size", paired, m.fileSize),
        opt_str("file_crc", paired, hex32(m.fileCrc)),
        opt_str("device_crc", m.haveDeviceCrc, hex32(m.deviceCrc)),
        opt_str("version_before", !m.inBootloader && !m.expectedOnly, version_text(m.info.softwareVersion)),
        opt_str("version_after", m.haveVersionAfter, version_text(m.versionAfter)),
        num_field("attempts", m.attempts),
        attempts_field("attempt_log", m.attemptLog.data(), m.attemptLog.size()),
        num_field("duration_ms", m.durationMs),
        num_field("transfer_ms", m.transferMs),
        str_field("outcome", outcome_text(outcome)),
        str_field("error", with_abort_meanings(why)),
        str_field("note", m.note),
        opt_num("history_entry", m.historyEntry > 0, static_cast<uint64_t>(m.historyEntry)),
        opt_num("resumed_from", m.resumedFrom > 0, static_cast<uint64_t>(m.resumedFrom))};
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

struct Summary {
    size_t ok = 0, current = 0, failed = 0, refused = 0, mismatch = 0, interrupted = 0, noFile = 0,
           dryRun = 0, missing = 0, found = 0, notDone = 0;
    size_t strandedNoFile = 0; // without a file, and in its bootloader: no application runs
};

Summary summarize(const Options &o, const std::vector<Motor> &motors) {
    Summary s;
    for (const Motor &m : motors) {
        s.found += m.expectedOnly ? 0 : 1;
        switch (m.outcome) {
        case Outcome::Ok:
            ++s.ok;
            break;
        case Outcome::Current:
            ++s.current;
            break;
        case Outcome::Failed:
            ++s.failed;
            break;
        case Outcome::Pending:
            ++s.notDone; // still under way, or the run ended before it
            break;
        case Outcome::Refused:
            ++s.refused;
            break;
        case Outcome::VersionMismatch:
            ++s.mismatch;
            break;
        case Outcome::Interrupted:
            ++s.interrupted;
            break;
        case Outcome::NoFile:
            ++s.noFile;
            s.strandedNoFile += m.side == Side::Bootloader ? 1 : 0;
            break;
        case Outcome::DryRun:
            ++s.dryRun;
            break;
        case Outcome::Missing:
            ++s.missing;
            break;
        }
    }
    if (o.expect >= 0 && s.found < static_cast<size_t>(o.expect)) {
        s.missing = std::max(s.missing, static_cast<size_t>(o.expect) - s.found);
    }
    return s;
}

std::vector<Field> run_fields(const Options &o, const std::string &date, const std::string &state,
                              const BusInfo &bus) {
    return {str_field("date", date),
            str_field("state", state),
            str_field("transport", transport_text()),
            str_field("bus", bus.text),
            bool_field("simulated", bus.simulated),
            num_field("bitrate", o.bitrate)};
}

bool ends_with(const std::string &s, const char *suffix) {
    const size_t n = strlen(suffix);
    return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

// Replaces `path` whole: the text goes to a temporary file in the same
// folder, which is then renamed over it. A reader (or a run that is killed)
// sees the old record or the new one, never a cut one.
bool replace_file(const std::string &path, const std::string &text) {
#ifdef _WIN32
    const size_t slash = path.find_last_of("\\/");
#else
    const size_t slash = path.find_last_of('/');
#endif
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const std::string tmp = dir + (slash == std::string::npos ? "/" : "") + ".ostrelo-cli-" +
                            std::to_string(static_cast<long>(getpid())) + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    bool ok = fwrite(text.data(), 1, text.size(), f) == text.size() && fflush(f) == 0;
#ifndef _WIN32
    ok = ok && fsync(fileno(f)) == 0;
#endif
    ok = fclose(f) == 0 && ok;
#ifdef _WIN32
    if (ok &&
        MoveFileExA(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) == 0) {
        ok = false;
        errno = EACCES; // the C library's errno knows nothing of the failed move
    }
#else
    ok = ok && rename(tmp.c_str(), path.c_str()) == 0;
#endif
    if (!ok) {
        const int saved = errno;
        remove(tmp.c_str());
        errno = saved;
    }
    return ok;
}

} // namespace

// ---- versions --------------------------------------------------------------------

void add_note(Motor *m, const std::string &note) {
    m->note += (m->note.empty() ? "" : "; ") + note;
}

void apply_version_policy(Motor *m, const Options &o) {
    if (m->file.empty() || m->outcome != Outcome::Pending) {
        return;
    }
    if (!m->haveFileVersion) {
        add_note(m, "the file name carries no version (V<a>_<b>_<c>_<d>): versions are not compared");
        return;
    }
    if (m->inBootloader) {
        return; // its running version is unknown; the version after the start is still checked
    }
    const uint32_t running = m->info.softwareVersion;
    const std::string file = version_text(m->fileVersion);
    if (m->fileVersion == running) {
        if (!o.force) {
            m->outcome = Outcome::Current;
            add_note(m, "already runs the file's version " + file + " (--force flashes it again)");
        } else {
            add_note(m, "flashed again at the version it runs (--force)");
        }
    } else if (m->fileVersion < running) {
        if (!o.allowDowngrade) {
            m->outcome = Outcome::Refused;
            m->error = "downgrade: the file's version " + file + " is older than the running " +
                       version_text(running) + " (--allow-downgrade flashes it)";
        } else {
            add_note(m, "downgrade from " + version_text(running) + " to " + file + " (--allow-downgrade)");
        }
    }
}

std::string with_abort_meanings(const std::string &text) {
    static const char kMark[] = "abort 0x";
    std::string out = text;
    for (size_t at = out.find(kMark); at != std::string::npos; at = out.find(kMark, at + 1)) {
        const size_t hex = at + sizeof(kMark) - 1;
        if (hex + 8 > out.size() || out.find_first_not_of("0123456789abcdefABCDEF", hex) < hex + 8) {
            continue;
        }
        const char *meaning = client_api_sdo_abort_text(
            static_cast<uint32_t>(strtoul(out.substr(hex, 8).c_str(), nullptr, 16)));
        if (meaning != nullptr && out.compare(hex + 8, 1, ":") != 0) {
            out.insert(hex + 8, std::string(": ") + meaning);
        }
    }
    return out;
}

// ---- the record -------------------------------------------------------------------

RunRecord::RunRecord(const Options &o, std::string date) : o_(o), date_(std::move(date)) {}

bool RunRecord::start() {
    return write("running");
}

void RunRecord::set_bus(const BusInfo &bus, const std::vector<client_channel_id_t> &channels) {
    std::lock_guard<std::mutex> lock(mutex_);
    bus_ = bus;
    channels_ = channels;
}

void RunRecord::set_error(const std::string &error) {
    std::lock_guard<std::mutex> lock(mutex_);
    error_ = error;
}

void RunRecord::set_motors(const std::vector<Motor> &motors) {
    std::lock_guard<std::mutex> lock(mutex_);
    motors_ = motors;
}

void RunRecord::motor_done(size_t index, const Motor &m) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index < motors_.size()) {
        motors_[index] = m;
    }
    if (!finished_) {
        write_locked("running");
    }
}

void RunRecord::mark_unfinished_interrupted(const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (Motor &m : motors_) {
        if (m.outcome == Outcome::Pending) {
            m.outcome = Outcome::Interrupted;
            m.error = why;
        }
    }
}

std::string RunRecord::json(const std::string &state) {
    std::lock_guard<std::mutex> lock(mutex_);
    return json_locked(state);
}

std::string RunRecord::json_locked(const std::string &state) {
    const Summary s = summarize(o_, motors_);
    std::vector<Field> run = run_fields(o_, date_, state, bus_);
    std::vector<std::string> channels;
    for (const client_channel_id_t &c : channels_) {
        channels.push_back(channel_text(c));
    }
    const std::vector<Field> more = {list_field("channels", channels),
                                     opt_str("folder", o_.file.empty(), o_.folder),
                                     opt_str("file", !o_.file.empty(), o_.file),
                                     bool_field("dry_run", o_.dryRun),
                                     bool_field("hold", o_.hold),
                                     num_field("retries", o_.retries),
                                     bool_field("loose_match", o_.looseMatch),
                                     bool_field("force", o_.force),
                                     bool_field("allow_downgrade", o_.allowDowngrade),
                                     bool_field("allow_missing", o_.allowMissing),
                                     opt_num("expect", o_.expect >= 0, static_cast<uint64_t>(o_.expect)),
                                     opt_str("expect_nodes", !o_.expectNodesText.empty(), o_.expectNodesText),
                                     opt_str("error", !error_.empty(), error_)};
    run.insert(run.end(), more.begin(), more.end());
    const std::vector<Field> summary = {num_field("motors", s.found),
                                        num_field("ok", s.ok),
                                        num_field("failed", s.failed),
                                        num_field("interrupted", s.interrupted),
                                        num_field("no_file", s.noFile),
                                        num_field("dry_run", s.dryRun),
                                        num_field("current", s.current),
                                        num_field("refused", s.refused),
                                        num_field("version_mismatch", s.mismatch),
                                        num_field("missing", s.missing),
                                        num_field("not_done", s.notDone)};
    std::string out = "{" + json_members(run) + ",\"summary\":{" + json_members(summary) + "},\"motors\":[";
    for (size_t i = 0; i < motors_.size(); ++i) {
        out += std::string(i ? "," : "") + "\n{" + json_members(motor_fields(motors_[i])) + "}";
    }
    return out + "]}\n";
}

bool RunRecord::write(const std::string &state) {
    std::lock_guard<std::mutex> lock(mutex_);
    return write_locked(state);
}

bool RunRecord::finish(const std::string &state) {
    std::lock_guard<std::mutex> lock(mutex_);
    finished_ = true;
    return write_locked(state);
}

bool RunRecord::write_locked(const std::string &state) {
    if (o_.report.empty()) {
        return true;
    }
    std::string text;
    if (ends_with(o_.report, ".csv")) {
        // One row per motor: the run's own fields, then the motor's.
        const std::vector<Field> run = run_fields(o_, date_, state, bus_);
        Motor blank;
        std::vector<Field> header = run;
        const std::vector<Field> motor = motor_fields(blank);
        header.insert(header.end(), motor.begin(), motor.end());
        text = csv_header(header);
        for (const Motor &m : motors_) {
            std::vector<Field> row = run;
            const std::vector<Field> f = motor_fields(m);
            row.insert(row.end(), f.begin(), f.end());
            text += csv_line(row);
        }
    } else {
        text = json_locked(state);
    }
    if (!replace_file(o_.report, text)) {
        err_line("ostrelo-cli: cannot write the report " + o_.report + ": " + strerror(errno));
        return false;
    }
    return true;
}

// ---- JSON pieces of scan and match ----------------------------------------------------

std::string motor_identity_json(const Motor &m) {
    return json_members(identity_fields(m));
}

std::string motor_file_json(const Motor &m) {
    return json_members(file_fields(m));
}

// ---- tables and accounting -----------------------------------------------------------

std::string result_table(const std::vector<Motor> &motors) {
    std::vector<std::vector<std::string>> rows = {
        {"MOTOR", "OLD", "NEW", "FILE", "FILE CRC", "DEVICE CRC", "TIME", "OUTCOME"}};
    for (const Motor &m : motors) {
        char time[32];
        snprintf(time, sizeof(time), "%.1f s", static_cast<double>(m.durationMs) / 1000.0);
        std::string why = m.error;
        std::string outcome = outcome_text(m.outcome);
        why = with_abort_meanings(why.empty() ? m.note : why);
        if (!why.empty()) {
            outcome += ": " + why;
        }
        const bool known = !m.inBootloader && !m.expectedOnly;
        rows.push_back({m.anyChannel ? "node " + std::to_string(m.node) : motor_label(m),
                        known ? version_text(m.info.softwareVersion) : "?",
                        m.haveVersionAfter ? version_text(m.versionAfter) : "-",
                        m.file.empty() ? "-" : m.file, m.file.empty() ? "-" : hex32(m.fileCrc),
                        m.haveDeviceCrc ? hex32(m.deviceCrc) : "-", m.attempts ? time : "-", outcome});
    }
    return format_table(rows);
}

std::string summary_line(const std::vector<Motor> &motors) {
    Options none;
    const Summary s = summarize(none, motors);
    std::string line = std::to_string(s.ok) + " ok, " + std::to_string(s.failed) + " failed, " +
                       std::to_string(s.interrupted) + " interrupted, " + std::to_string(s.noFile) +
                       " without file";
    const std::pair<size_t, const char *> more[] = {{s.current, "current"},
                                                    {s.refused, "refused"},
                                                    {s.mismatch, "version mismatch"},
                                                    {s.missing, "missing"},
                                                    {s.notDone, "not done"}};
    for (const auto &x : more) {
        if (x.first > 0) {
            line += ", " + std::to_string(x.first) + " " + x.second;
        }
    }
    return line + "\n";
}

std::vector<Motor> missing_motors(const Options &o, const std::vector<Motor> &found) {
    std::vector<Motor> missing;
    for (const ExpectedNode &e : o.expectNodes) {
        bool there = false;
        for (const Motor &m : found) {
            there = there ||
                    (m.node == e.node && (e.anyChannel || (m.channelId.deviceIndex == e.channel.adapter &&
                                                           m.channelId.canChannel == e.channel.channel)));
        }
        if (there) {
            continue;
        }
        Motor m;
        memset(&m.info, 0, sizeof(m.info));
        m.channelId = {kAdapterType, e.channel.adapter, e.channel.channel, o.bitrate};
        m.anyChannel = e.anyChannel;
        m.node = e.node;
        m.expectedOnly = true;
        m.side = Side::Missing;
        m.outcome = Outcome::Missing;
        m.error = "expected (--expect-nodes) but it did not answer";
        missing.push_back(m);
    }
    return missing;
}

int account_for_motors(const Options &o, const std::vector<Motor> &motors, long files,
                       const std::vector<client_channel_id_t> &channels) {
    const Summary s = summarize(o, motors);
    int rc = kExitOk;
    auto shortfall = [&](const std::string &what, bool waivable) {
        err_line("ostrelo-cli: " + what + (waivable ? " (--allow-missing accepts it)" : ""));
        rc = kExitFailed;
    };
    if (s.found == 0 && !o.allowMissing) {
        std::string list;
        for (const client_channel_id_t &c : channels) {
            list += (list.empty() ? "" : ", ") + channel_text(c);
        }
        shortfall("no motor answered on channel " + list + " at " + std::to_string(o.bitrate) +
                      " kbit/s: check the bit rate, the wiring and the power",
                  true);
    }
    if (s.missing > 0) {
        shortfall(std::to_string(s.missing) + " expected motor(s) missing (" +
                      (o.expect >= 0
                           ? "--expect " + std::to_string(o.expect) + ", found " + std::to_string(s.found)
                           : std::string("--expect-nodes ") + o.expectNodesText) +
                      ")",
                  false);
    }
    if (files == 0 && !o.allowMissing) {
        shortfall("no .bin file in " + o.folder, true);
    }
    // A motor in its bootloader runs no application: never waived.
    if (s.strandedNoFile > 0) {
        shortfall(std::to_string(s.strandedNoFile) +
                      " motor(s) in their bootloader without a file: they run no application (name the image "
                      "with --file PATH --channels C --nodes N)",
                  false);
    }
    const size_t waivable = s.noFile - s.strandedNoFile;
    if (waivable > 0 && files != 0 && !o.allowMissing) {
        shortfall(std::to_string(waivable) + " motor(s) without a file", true);
    }
    return rc;
}
