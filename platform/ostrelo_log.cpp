#include "ostrelo_log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Sink {
    ostrelo_log_sink_t fn;
    void *user;
};

void to_stdout(ostrelo_log_level_t, const char *text, void *) {
    fputs(text, stdout);
    fflush(stdout);
}

// Sinks are installed rarely and read on every line: each installed pair is
// kept (never freed), so a reader never sees half of a change.
const Sink kDefault = {to_stdout, nullptr};
std::atomic<const Sink *> g_sink{&kDefault};
std::mutex g_installMutex;

// Plain storage: nothing to construct or destroy per thread.
thread_local char t_context[OSTRELO_LOG_CONTEXT_MAX];

} // namespace

extern "C" {

void ostrelo_log_set_sink(ostrelo_log_sink_t sink, void *user) {
    std::lock_guard<std::mutex> lock(g_installMutex);
    g_sink.store(sink == nullptr ? &kDefault : new Sink{sink, user});
}

void ostrelo_log_set_context(const char *context) {
    size_t n = context == nullptr ? 0 : strnlen(context, sizeof t_context - 1);
    if (n > 0) {
        memcpy(t_context, context, n);
    }
    t_context[n] = '\0';
}

const char *ostrelo_log_context(void) {
    return t_context;
}

void ostrelo_log_text(ostrelo_log_level_t level, const char *text) {
    if (text == nullptr || text[0] == '\0') {
        return;
    }
    const Sink *s = g_sink.load();
    s->fn(level, text, s->user);
}

void ostrelo_vlogf(ostrelo_log_level_t level, const char *fmt, va_list ap) {
    char small[512];
    va_list again;
    va_copy(again, ap);
    const int n = vsnprintf(small, sizeof small, fmt, ap);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        va_end(again);
        ostrelo_log_text(level, small);
        return;
    }
    // A long line (a path, a list) is built whole on the heap, never cut.
    char *big = static_cast<char *>(malloc(static_cast<size_t>(n) + 1));
    if (big != nullptr) {
        vsnprintf(big, static_cast<size_t>(n) + 1, fmt, again);
        ostrelo_log_text(level, big);
        free(big);
    } else {
        ostrelo_log_text(level, small);
    }
    va_end(again);
}

void ostrelo_logf(ostrelo_log_level_t level, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    ostrelo_vlogf(level, fmt, ap);
    va_end(ap);
}

#define OSTRELO_LOG_SHORTHAND(name, level)                                                                   \
    void name(const char *fmt, ...) {                                                                        \
        va_list ap;                                                                                          \
        va_start(ap, fmt);                                                                                   \
        ostrelo_vlogf(level, fmt, ap);                                                                       \
        va_end(ap);                                                                                          \
    }

OSTRELO_LOG_SHORTHAND(ostrelo_debug, OSTRELO_LOG_DEBUG)
OSTRELO_LOG_SHORTHAND(ostrelo_info, OSTRELO_LOG_INFO)
OSTRELO_LOG_SHORTHAND(ostrelo_warning, OSTRELO_LOG_WARNING)
OSTRELO_LOG_SHORTHAND(ostrelo_error, OSTRELO_LOG_ERROR)

} // extern "C"
