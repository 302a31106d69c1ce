/* The one way the lower layers (adapter library, backends, CANopen stack,
 * client API, bench) report: complete lines handed to a sink with a level.
 * The default sink writes each text to standard output in one call; a
 * program installs its own to send the lines to its log instead. The texts
 * are the same whatever the sink. */
#ifndef OSTRELO_LOG_H
#define OSTRELO_LOG_H

#include <stdarg.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__MINGW_PRINTF_FORMAT)
#define OSTRELO_PRINTF_LIKE(f, a) __attribute__((format(__MINGW_PRINTF_FORMAT, f, a)))
#elif defined(__GNUC__)
#define OSTRELO_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#else
#define OSTRELO_PRINTF_LIKE(f, a)
#endif

typedef enum {
    OSTRELO_LOG_DEBUG = 0,   /* trace of the protocol machinery */
    OSTRELO_LOG_INFO = 1,    /* steps and results */
    OSTRELO_LOG_WARNING = 2, /* something odd that the operation survives */
    OSTRELO_LOG_ERROR = 3    /* an operation failed */
} ostrelo_log_level_t;

/* Receives one text: usually one line ending in "\n", sometimes several
 * lines or a line that is continued by the next text. Called from any
 * thread, concurrently; the sink must write each text in one piece. */
typedef void (*ostrelo_log_sink_t)(ostrelo_log_level_t level, const char *text, void *user);

/* Installs `sink` (with `user` handed back to it); NULL restores the
 * default, standard output. Set it before the threads that log start. */
void ostrelo_log_set_sink(ostrelo_log_sink_t sink, void *user);

/* What the calling thread works on, for a sink that says which channel or
 * motor a line concerns (for example "0.1 node 3"). Kept per thread until
 * changed; NULL or "" clears it. The texts themselves never change. A
 * context longer than OSTRELO_LOG_CONTEXT_MAX - 1 characters is cut. */
#define OSTRELO_LOG_CONTEXT_MAX 64
void ostrelo_log_set_context(const char *context);
/* The calling thread's context, "" when none. */
const char *ostrelo_log_context(void);

void ostrelo_log_text(ostrelo_log_level_t level, const char *text);
void ostrelo_logf(ostrelo_log_level_t level, const char *fmt, ...) OSTRELO_PRINTF_LIKE(2, 3);
void ostrelo_vlogf(ostrelo_log_level_t level, const char *fmt, va_list ap) OSTRELO_PRINTF_LIKE(2, 0);

/* Shorthands by level. */
void ostrelo_debug(const char *fmt, ...) OSTRELO_PRINTF_LIKE(1, 2);
void ostrelo_info(const char *fmt, ...) OSTRELO_PRINTF_LIKE(1, 2);
void ostrelo_warning(const char *fmt, ...) OSTRELO_PRINTF_LIKE(1, 2);
void ostrelo_error(const char *fmt, ...) OSTRELO_PRINTF_LIKE(1, 2);

#ifdef __cplusplus
}
#endif

#endif
