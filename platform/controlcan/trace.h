/* Frame trace of the adapter stand-in: every frame the adapter accepted for
 * sending and every frame it handed over, on every channel, as one line of
 * can-utils' candump log format each:
 *
 *     (1733690000.123456) zhcx0.1 581#4300102000000000
 *
 * The interface is "zhcx<adapter>.<channel>", or the Linux interface name
 * when OSTRELO_CAN maps the channel to SocketCAN. Time stamps are wall-clock
 * seconds at the start of the trace plus monotonic time since, so they never
 * go backwards. Lines are buffered and written at least once a second and
 * when the trace is closed (at process exit at the latest), always whole: a
 * program that is killed leaves a trace that ends with a complete line.
 *
 * The trace starts on its own from OSTRELO_TRACE=FILE at the first frame, or
 * explicitly with controlcan_trace_open(), which takes precedence. */
#ifndef OSTRELO_CONTROLCAN_TRACE_H
#define OSTRELO_CONTROLCAN_TRACE_H

#include "ControlCAN.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Starts tracing into `path` (truncated). 1 on success, 0 when the file
 * cannot be created (errno tells why). Replaces a trace already open. */
int controlcan_trace_open(const char *path);
/* Writes what is buffered and ends the trace. */
void controlcan_trace_close(void);
/* 1 while a trace is being written. */
int controlcan_trace_active(void);
/* Records `count` frames of adapter `adapter`, channel `channel`. Called by
 * the stand-in's transmit and receive dispatch. */
void controlcan_trace_frames(DWORD adapter, DWORD channel, const VCI_CAN_OBJ *frames, DWORD count);
/* Formats one line (with its newline) into out; returns its length, or 0
 * when it does not fit. */
size_t controlcan_trace_format(char *out, size_t cap, unsigned long long sec, unsigned usec,
                               const char *ifname, const VCI_CAN_OBJ *frame);

#ifdef __cplusplus
}
#endif

#endif
