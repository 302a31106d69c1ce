// Output of ostrelo-cli: the program's own lines on the original standard
// output, the lower layers' log on standard error (or --log), the progress
// display, text helpers and the Ctrl-C flag.
#include "cli.h"
#include "ostrelo_log.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <thread>
#include <unistd.h>
#ifdef _WIN32
#include <io.h>
#endif

namespace {

int g_outFd = 1;
bool g_tty = false;
std::mutex g_outMutex;

void write_all(int fd, const char *p, size_t n) {
    while (n > 0) {
        const ssize_t w = write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) {
                continue;
            }
            return; // a closed pipe: nothing more can be shown
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
}

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

// ---- the lower layers' log ------------------------------------------------------

struct LogPipe {
    int readFd = -1;
    int fileFd = -1;
    bool verbose = false;
    std::thread reader;
} g_log;

bool starts_with(const std::string &s, const char *prefix) {
    return s.compare(0, strlen(prefix), prefix) == 0;
}

// Passes one line printed to fd 1 on: to the log file and, with -v, to
// standard error; without either only the errors and warnings, so a good run
// stays quiet and a bad one still says why.
void log_line(const std::string &line) {
    if (g_log.fileFd >= 0) {
        write_all(g_log.fileFd, line.data(), line.size());
    }
    if (g_log.verbose ||
        (g_log.fileFd < 0 && (starts_with(line, "[ERROR]") || starts_with(line, "[WARNING]")))) {
        write_all(2, line.data(), line.size());
    }
}

void log_reader() {
    std::string pending;
    char buf[4096];
    for (;;) {
        const ssize_t n = read(g_log.readFd, buf, sizeof(buf));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        pending.append(buf, static_cast<size_t>(n));
        size_t start = 0;
        for (size_t nl; (nl = pending.find('\n', start)) != std::string::npos; start = nl + 1) {
            log_line(pending.substr(start, nl + 1 - start));
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) {
        log_line(pending + "\n");
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
    g_log.verbose = verbose;
    if (!logPath.empty()) {
#ifdef _WIN32
        g_log.fileFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
#else
        g_log.fileFd = open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
#endif
        if (g_log.fileFd < 0) {
            err_line("ostrelo-cli: cannot write the log file " + logPath + ": " + strerror(errno));
            return false;
        }
    }
    int fds[2];
#ifdef _WIN32
    const int piped = _pipe(fds, 65536, _O_BINARY);
#else
    const int piped = pipe(fds);
#endif
    if (piped != 0) {
        err_line(std::string("ostrelo-cli: cannot set up the log: ") + strerror(errno));
        return false;
    }
    dup2(fds[1], 1);
    close(fds[1]);
    g_log.readFd = fds[0];
    g_log.reader = std::thread(log_reader);
    // The lower layers log through the hook, which writes each text to
    // descriptor 1 in one call; code that is not ours (a vendor's adapter
    // library) prints there too. The reader sorts the lines out.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ostrelo_log_set_sink(
        [](ostrelo_log_level_t, const char *text, void *) { write_all(1, text, strlen(text)); }, nullptr);
    g_tty = isatty(g_outFd) == 1;
    return true;
}

void out_finish() {
    if (!g_log.reader.joinable()) {
        return;
    }
    fflush(stdout);
    close(1); // the reader sees the end of the log
    g_log.reader.join();
    close(g_log.readFd);
    if (g_log.fileFd >= 0) {
        close(g_log.fileFd);
    }
}

void out_write(const std::string &text) {
    std::lock_guard<std::mutex> lock(g_outMutex);
    write_all(g_outFd, text.data(), text.size());
}

void err_line(const std::string &line) {
    const std::string l = line + "\n";
    write_all(2, l.data(), l.size());
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

std::string json_string(const std::string &s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                snprintf(buf, sizeof(buf), "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
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

std::string motor_label(const Motor &m) {
    return channel_text(m.channelId) + " node " + std::to_string(m.node);
}

std::string utc_now_iso() {
    const time_t now = time(nullptr);
    struct tm tmv;
#ifdef _WIN32
    gmtime_s(&tmv, &now);
#else
    gmtime_r(&now, &tmv);
#endif
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tmv);
    return buf;
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
