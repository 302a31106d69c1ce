// The lower layers' log in ostrelo-cli: every line with its UTC time and the
// channel and node it concerns, to --log, to standard error with -v, or else
// only the errors and warnings to standard error.
#include "cli.h"
#include "ostrelo_log.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
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

// A text that never ends its line (a stray carriage-return progress line)
// is passed on in pieces of this size rather than held without end.
constexpr size_t kMaxLine = 16 * 1024;

struct LogPipe {
    int readFd = -1;
    int fileFd = -1;
    bool verbose = false;
    bool open = false; // lines are passed on (between log_init and log_finish)
    std::mutex mutex;  // one line at a time, to the file and to standard error
    std::thread reader;
} g_log;

bool text_starts_with(const std::string &line, size_t textAt, const char *tag) {
    return line.compare(textAt, strlen(tag), tag) == 0;
}

// Passes one whole line on: to the log file and, with -v, to standard error;
// without either only the errors and warnings (`serious`), so a good run
// stays quiet and a bad one still says why.
void log_line(const std::string &line, bool serious) {
    std::lock_guard<std::mutex> lock(g_log.mutex);
    if (!g_log.open) {
        return;
    }
    if (g_log.fileFd >= 0) {
        write_all(g_log.fileFd, line.data(), line.size());
    }
    if (g_log.verbose || (g_log.fileFd < 0 && serious)) {
        write_all(2, line.data(), line.size());
    }
}

// "2026-12-09T10:11:12.345Z 0.1 node 3  ": when, and which channel and node
// the line concerns ("-": none).
std::string log_prefix(const char *context) {
    return utc_now_iso_ms() + " " + (context[0] == '\0' ? "-" : context) + "  ";
}

void pass_on(const std::string &prefix, const std::string &text, bool serious) {
    log_line(prefix + text + (text.back() == '\n' ? "" : "\n"), serious);
}

// What code that is not ours prints has no level: its own tag is all there is.
void pass_on_foreign(const std::string &text) {
    pass_on(log_prefix(""), text,
            text_starts_with(text, 0, "[ERROR]") || text_starts_with(text, 0, "[WARNING]"));
}

// The hook's texts of one thread, assembled into whole lines: a text may be
// part of a line or several, and one thread's part must never run into
// another's. A part left at the thread's end is passed on as a line.
struct ThreadLine {
    std::string prefix; // taken when the line's first part came
    std::string text;
    ostrelo_log_level_t level = OSTRELO_LOG_DEBUG; // the highest of its parts
    ~ThreadLine() { flush(); }
    void flush() {
        if (!text.empty()) {
            pass_on(prefix, text, level >= OSTRELO_LOG_WARNING);
            text.clear();
            level = OSTRELO_LOG_DEBUG;
        }
    }
    void add(ostrelo_log_level_t partLevel, const char *part) {
        for (const char *p = part; *p != '\0';) {
            if (text.empty()) {
                prefix = log_prefix(ostrelo_log_context());
            }
            level = partLevel > level ? partLevel : level;
            const char *nl = strchr(p, '\n');
            if (nl == nullptr) {
                text += p;
                if (text.size() >= kMaxLine) {
                    flush();
                }
                return;
            }
            text.append(p, static_cast<size_t>(nl + 1 - p));
            flush();
            p = nl + 1;
        }
    }
};
thread_local ThreadLine t_line;

// Every line keeps the level its caller gave it: that, not its text, says
// whether standard error shows it.
void log_sink(ostrelo_log_level_t level, const char *text, void *) {
    t_line.add(level, text);
}

// What code that is not ours (a vendor's adapter library) prints on
// descriptor 1: whole lines, with the time they were read and no context.
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
            pass_on_foreign(pending.substr(start, nl + 1 - start));
        }
        pending.erase(0, start);
        if (pending.size() >= kMaxLine) {
            pass_on_foreign(pending);
            pending.clear();
        }
    }
    if (!pending.empty()) {
        pass_on_foreign(pending);
    }
}

// "2026-12-09T10:11:12" for a time in seconds since the epoch (UTC).
std::string utc_text(time_t t) {
    struct tm tmv;
#ifdef _WIN32
    gmtime_s(&tmv, &t);
#else
    gmtime_r(&t, &tmv);
#endif
    char buf[32];
    strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%S", &tmv);
    return buf;
}

} // namespace

bool log_init(const std::string &logPath, bool verbose) {
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
    fflush(stdout);
    dup2(fds[1], 1);
    close(fds[1]);
    g_log.readFd = fds[0];
    g_log.open = true;
    g_log.reader = std::thread(log_reader);
    // The lower layers log through the hook, on the thread that does the
    // work, so their lines carry its channel and node; code that is not ours
    // (a vendor's adapter library) prints on descriptor 1, read by the reader.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    ostrelo_log_set_sink(log_sink, nullptr);
    return true;
}

void log_finish() {
    if (!g_log.reader.joinable()) {
        return;
    }
    // The sink stays: a channel thread still running (the program ends at
    // once on a second signal) must not write into descriptor 1 any more.
    t_line.flush(); // other threads passed their parts on when they ended
    fflush(stdout);
    close(1); // the reader sees the end of the log
    g_log.reader.join();
    close(g_log.readFd);
    std::lock_guard<std::mutex> lock(g_log.mutex);
    g_log.open = false;
    if (g_log.fileFd >= 0) {
        close(g_log.fileFd);
        g_log.fileFd = -1;
    }
}

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

namespace {
std::mutex g_lastErrorMutex;
std::string g_lastError;
} // namespace

void err_line(const std::string &line) {
    const std::string l = line + "\n";
    write_all(2, l.data(), l.size());
    std::lock_guard<std::mutex> lock(g_lastErrorMutex);
    g_lastError = line;
}

std::string last_error_line() {
    std::lock_guard<std::mutex> lock(g_lastErrorMutex);
    return g_lastError;
}

std::string utc_now_iso() {
    return utc_text(time(nullptr)) + "Z";
}

std::string utc_now_iso_ms() {
    const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    char frac[8];
    snprintf(frac, sizeof(frac), ".%03dZ", static_cast<int>(ms % 1000));
    return utc_text(static_cast<time_t>(ms / 1000)) + frac;
}

LogScope::LogScope(const std::string &context) : previous_(ostrelo_log_context()) {
    ostrelo_log_set_context(context.c_str());
}

LogScope::~LogScope() {
    ostrelo_log_set_context(previous_.c_str());
}
