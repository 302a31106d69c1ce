// Output of ostrelo-cli: the program's own lines on the original standard
// output (the lower layers' log is cli_log.cpp's), the progress display,
// text helpers and the Ctrl-C flag.
#include "cli.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

namespace {

int g_outFd = 1;
bool g_tty = false;
std::mutex g_outMutex;
size_t g_outBytes = 0; // the program's own output so far

volatile sig_atomic_t g_signals = 0;
volatile sig_atomic_t g_deferSecond = 0;

void on_interrupt_signal(int sig) {
#ifdef _WIN32
    // The C run-time restores the default action before calling us.
    signal(sig, on_interrupt_signal);
#else
    (void)sig;
#endif
    g_signals = g_signals + 1;
    if (g_signals >= 3 || (g_signals >= 2 && !g_deferSecond)) {
        _exit(kExitFailed);
    }
}

// ---- progress display -------------------------------------------------------

struct Progress {
    std::mutex mutex;
    bool enabled = false;
    std::vector<const Motor *> slots; // the motor each channel works on now
    size_t drawnLines = 0;
    std::chrono::steady_clock::time_point lastDraw;
} g_progress;

std::string progress_text(const Motor &m) {
    std::string line = motor_label(m) + "  " + m.step;
    if (m.total > 0 && m.step == "transfer") {
        char buf[64];
        snprintf(buf, sizeof(buf), " %3u%% (%zu/%zu bytes)", static_cast<unsigned>(m.done * 100u / m.total),
                 m.done, m.total);
        line += buf;
    }
    return line;
}

std::string final_text(const Motor &m) {
    const Outcome outcome = m.outcome;
    std::string line = motor_label(m) + "  " + outcome_text(outcome);
    if (outcome == Outcome::Ok || outcome == Outcome::VersionMismatch) {
        line += "  " + version_text(m.info.softwareVersion) + " -> " +
                (m.haveVersionAfter ? version_text(m.versionAfter) : std::string("?"));
    }
    char buf[48];
    snprintf(buf, sizeof(buf), "  %.1f s", static_cast<double>(m.durationMs) / 1000.0);
    line += buf;
    std::string why = m.error;
    if (!why.empty()) {
        line += "  " + with_abort_meanings(why);
    }
    return line;
}

// Caller holds the lock. `above` lines are printed once, above the board.
void redraw_locked(const std::vector<std::string> &above) {
    std::string out;
    if (g_tty) {
        if (g_progress.drawnLines > 0) {
            out += "\x1b[" + std::to_string(g_progress.drawnLines) + "A";
        }
        for (const std::string &l : above) {
            out += "\r\x1b[2K" + l + "\n";
        }
        for (const Motor *m : g_progress.slots) {
            out += "\r\x1b[2K" + progress_text(*m) + "\n";
        }
        out += "\x1b[J";
        g_progress.drawnLines = g_progress.slots.size();
    } else {
        for (const std::string &l : above) {
            out += l + "\n";
        }
    }
    g_progress.lastDraw = std::chrono::steady_clock::now();
    if (!out.empty()) {
        std::lock_guard<std::mutex> lock(g_outMutex);
        write_all(g_outFd, out.data(), out.size());
    }
}

void put_slot_locked(const Motor *m) {
    for (const Motor *&s : g_progress.slots) {
        if (s == m || (s->channelId.deviceIndex == m->channelId.deviceIndex &&
                       s->channelId.canChannel == m->channelId.canChannel)) {
            s = m;
            return;
        }
    }
    g_progress.slots.push_back(m);
}

} // namespace

bool out_init(const std::string &logPath, bool verbose) {
    fflush(stdout);
#ifdef _WIN32
    g_outFd = dup(1);
#else
    g_outFd = fcntl(1, F_DUPFD_CLOEXEC, 3);
#endif
    if (g_outFd < 0) {
        g_outFd = 1;
        err_line("ostrelo-cli: standard output cannot be duplicated");
        return false;
    }
    if (!log_init(logPath, verbose)) {
        return false;
    }
    g_tty = isatty(g_outFd) == 1;
    return true;
}

void out_finish() {
    log_finish();
}

void out_write(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    write_all(g_outFd, text.data(), text.size());
    g_outBytes += text.size();
}

size_t out_bytes_written() {
    std::lock_guard<std::mutex> lock(g_outMutex);
    return g_outBytes;
}

bool out_is_tty() {
    return g_tty;
}

void progress_begin(bool enabled) {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    g_progress.enabled = enabled;
    g_progress.slots.clear();
    g_progress.drawnLines = 0;
}

void progress_step(Motor *m, const char *step) {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    m->step = step;
    m->done = 0;
    m->total = 0;
    if (!g_progress.enabled) {
        return;
    }
    put_slot_locked(m);
    if (g_tty) {
        redraw_locked({});
    } else {
        redraw_locked({progress_text(*m)});
    }
}

void progress_bytes(Motor *m, size_t done, size_t total) {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    const size_t before = m->total > 0 ? m->done * 4 / m->total : 0;
    m->done = done;
    m->total = total;
    if (!g_progress.enabled) {
        return;
    }
    if (g_tty) {
        if (std::chrono::steady_clock::now() - g_progress.lastDraw >= std::chrono::milliseconds(100) ||
            done >= total) {
            redraw_locked({});
        }
        return;
    }
    // Off a terminal: one line per quarter of the image.
    const size_t after = total > 0 ? done * 4 / total : 0;
    if (after != before && after < 4) {
        redraw_locked({progress_text(*m)});
    }
}

void progress_finish_motor(const Motor &m) {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    if (!g_progress.enabled) {
        return;
    }
    for (size_t i = 0; i < g_progress.slots.size(); ++i) {
        if (g_progress.slots[i] == &m) {
            g_progress.slots.erase(g_progress.slots.begin() + static_cast<long>(i));
            break;
        }
    }
    redraw_locked({final_text(m)});
}

void progress_note(const std::string &line) {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    if (g_progress.enabled) {
        redraw_locked({line});
    } else {
        err_line(line);
    }
}

void progress_end() {
    std::lock_guard<std::mutex> lock(g_progress.mutex);
    if (g_progress.enabled) {
        g_progress.slots.clear();
        redraw_locked({});
    }
    g_progress.enabled = false;
}

// ---- text -------------------------------------------------------------------------

namespace {

// The length of the well-formed UTF-8 sequence (RFC 3629) that begins at
// s[i], or 0: a stray continuation byte, an overlong form, a surrogate, a
// code point above U+10FFFF or a cut sequence.
size_t utf8_length(const std::string &s, size_t i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t cp = 0;
    if (c < 0x80) {
        return 1;
    } else if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
        cp = c & 0x1Fu;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        cp = c & 0x0Fu;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        cp = c & 0x07u;
    } else {
        return 0;
    }
    if (s.size() - i < n) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        const unsigned char b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0u) != 0x80u) {
            return 0;
        }
        cp = cp << 6 | (b & 0x3Fu);
    }
    if ((n == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
        (n == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
        return 0;
    }
    return n;
}

} // namespace

bool is_utf8(const std::string &s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8_length(s, i);
        if (n == 0) {
            return false;
        }
        i += n;
    }
    return true;
}

std::string hex_bytes(const std::string &s) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : s) {
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        const size_t n = utf8_length(s, i);
        if (n == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20) {
            char buf[8];
            snprintf(buf, sizeof(buf), "\\u%04x", c);
            out += buf;
        } else {
            out.append(s, i, n);
        }
        i += n;
    }
    return out + "\"";
}

Field str_field(const char *name, const std::string &s) {
    return {name, json_string(s), s};
}

Field null_field(const char *name) {
    return {name, "null", ""};
}

Field opt_str(const char *name, bool have, const std::string &s) {
    return have ? str_field(name, s) : null_field(name);
}

Field num_field(const char *name, uint64_t v) {
    return {name, std::to_string(v), std::to_string(v)};
}

Field opt_num(const char *name, bool have, uint64_t v) {
    return have ? num_field(name, v) : null_field(name);
}

Field bool_field(const char *name, bool b) {
    return {name, b ? "true" : "false", b ? "true" : "false"};
}

Field list_field(const char *name, const std::vector<std::string> &items) {
    Field f{name, "[", ""};
    for (size_t i = 0; i < items.size(); ++i) {
        f.json += (i ? "," : "") + json_string(items[i]);
        f.text += (i ? "; " : "") + items[i];
    }
    f.json += "]";
    return f;
}

std::vector<Field> name_fields(const char *name, const char *hexName, bool have, const std::string &s) {
    return {opt_str(name, have, s), opt_str(hexName, have && !is_utf8(s), hex_bytes(s))};
}

std::string json_members(const std::vector<Field> &fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        out += std::string(i ? "," : "") + "\"" + fields[i].name + "\":" + fields[i].json;
    }
    return out;
}

std::string csv_header(const std::vector<Field> &fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        out += std::string(i ? "," : "") + fields[i].name;
    }
    return out + "\n";
}

std::string csv_line(const std::vector<Field> &fields) {
    std::string out;
    for (size_t i = 0; i < fields.size(); ++i) {
        const std::string &s = fields[i].text;
        out += i ? "," : "";
        if (s.find_first_of(",\"\n\r") == std::string::npos) {
            out += s;
            continue;
        }
        out += '"';
        for (char c : s) {
            out += c == '"' ? std::string("\"\"") : std::string(1, c);
        }
        out += '"';
    }
    return out + "\n";
}

std::string version_text(uint32_t v) {
    char buf[24];
    snprintf(buf, sizeof(buf), "%u.%u.%u.%u", (v >> 24) & 0xFFu, (v >> 16) & 0xFFu, (v >> 8) & 0xFFu,
             v & 0xFFu);
    return buf;
}

std::string hex32(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08X", v);
    return buf;
}

std::string channel_text(const client_channel_id_t &id) {
    return std::to_string(id.deviceIndex) + "." + std::to_string(id.canChannel);
}

std::string node_label(const client_channel_id_t &id, unsigned node) {
    return channel_text(id) + " node " + std::to_string(node);
}

std::string motor_label(const Motor &m) {
    return node_label(m.channelId, m.node);
}

std::string transport_text() {
    const char *v = getenv("OSTRELO_CAN");
    return (v == nullptr || v[0] == '\0') ? std::string("sim") : std::string(v);
}

const char *outcome_text(Outcome o) {
    switch (o) {
    case Outcome::Ok:
        return "ok";
    case Outcome::Failed:
        return "failed";
    case Outcome::Interrupted:
        return "interrupted";
    case Outcome::NoFile:
        return "no file";
    case Outcome::DryRun:
        return "dry run";
    case Outcome::Current:
        return "current";
    case Outcome::Refused:
        return "refused";
    case Outcome::VersionMismatch:
        return "version mismatch";
    case Outcome::Missing:
        return "missing";
    case Outcome::Pending:
        break;
    }
    return "not done";
}

const char *side_text(Side s) {
    switch (s) {
    case Side::Application:
        return "application";
    case Side::Bootloader:
        return "bootloader";
    case Side::Missing:
        return "missing";
    case Side::Unknown:
        break;
    }
    return "unknown";
}

bool identity_known(const Motor &m) {
    return !m.expectedOnly && (!m.inBootloader || m.identityFromHistory);
}

Field attempts_field(const char *name, const ostrelo_history_attempt_t *attempts, size_t count) {
    std::string text(count * 200 + 1, '\0');
    ostrelo_history_attempts_text(attempts, static_cast<uint32_t>(count), &text[0], text.size());
    text.resize(strlen(text.c_str()));
    Field f{name, "[", text};
    for (size_t i = 0; i < count; ++i) {
        const ostrelo_history_attempt_t &a = attempts[i];
        f.json += std::string(i ? "," : "") + "{" +
                  json_members({num_field("attempt", a.attempt), str_field("step", a.step),
                                str_field("reason", a.reason),
                                opt_str("abort_code", a.abort_code != 0, hex32(a.abort_code))}) +
                  "}";
    }
    f.json += "]";
    return f;
}

// ---- Ctrl-C ------------------------------------------------------------------------

void interrupt_install() {
#ifdef _WIN32
    signal(SIGINT, on_interrupt_signal);
    signal(SIGTERM, on_interrupt_signal);
    signal(SIGBREAK, on_interrupt_signal);
#else
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = on_interrupt_signal;
    sigemptyset(&sa.sa_mask);
    // Ctrl-C, a kill and a terminal that went away (an SSH drop) all stop
    // the run the same way: no further motor, the record written.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A reader that went away must not kill an upgrade half-way.
    signal(SIGPIPE, SIG_IGN);
#endif
}

bool interrupted() {
    return g_signals != 0;
}

int interrupt_count() {
    return static_cast<int>(g_signals);
}

void interrupt_defer_second(bool defer) {
    g_deferSecond = defer ? 1 : 0;
}
