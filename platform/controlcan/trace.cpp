// Frame trace in candump log format, written from the adapter stand-in so it
// shows exactly the frames that went to and came from the adapters.
#include "trace.h"
#include "ostrelo_log.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>

#include "controlcan_internal.h"

namespace {

constexpr int kUnknown = -1; // OSTRELO_TRACE not looked at yet
constexpr int kOff = 0;
constexpr int kOn = 1;
constexpr size_t kFileBuffer = 1u << 16;

struct TraceState {
    std::mutex mutex;
    std::condition_variable wake;
    FILE *file = nullptr; // unbuffered: `lines` is the buffer
    // Whole lines not yet written. The file only ever receives whole lines,
    // so a run that is killed leaves a trace every reader can parse.
    std::string lines;
    bool dirty = false;
    bool stopFlusher = false;
    std::thread flusher;
    unsigned long long wallStartUs = 0;
    unsigned long long monoStartUs = 0;
    socketcan_map_t names;
    bool haveNames = false;
};

// Never destroyed: frames may still arrive from other threads while the
// process runs its exit handlers.
TraceState &state() {
    static TraceState *s = new TraceState;
    return *s;
}

std::atomic<int> g_mode{kUnknown};

template <typename Clock> unsigned long long clock_us() {
    return static_cast<unsigned long long>(
        std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch()).count());
}

// Caller holds the mutex. One write of the buffered lines.
void flush_locked(TraceState &s) {
    if (s.file != nullptr && !s.lines.empty()) {
        fwrite(s.lines.data(), 1, s.lines.size(), s.file);
    }
    s.lines.clear();
    s.dirty = false;
}

void flush_loop(TraceState *s) {
    std::unique_lock<std::mutex> lock(s->mutex);
    while (!s->stopFlusher) {
        s->wake.wait_for(lock, std::chrono::milliseconds(500));
        if (s->dirty) {
            flush_locked(*s);
        }
    }
}

// Caller holds the mutex. Stops the flusher (the caller must join it after
// unlocking) and closes the file.
void close_locked(TraceState &s) {
    if (s.file != nullptr) {
        flush_locked(s);
        fclose(s.file);
        s.file = nullptr;
    }
    s.stopFlusher = true;
    s.wake.notify_all();
}

void join_flusher(TraceState &s) {
    if (s.flusher.joinable() && s.flusher.get_id() != std::this_thread::get_id()) {
        s.flusher.join();
    }
}

void at_exit_close() {
    controlcan_trace_close();
}

int open_locked(TraceState &s, const char *path) {
    // Binary: candump log lines end in a bare line feed on every platform.
    FILE *f = fopen(path, "wb");
    if (f == nullptr) {
        return 0;
    }
    setvbuf(f, nullptr, _IONBF, 0);
    s.file = f;
    s.lines.clear();
    s.lines.reserve(kFileBuffer);
    s.dirty = false;
    s.stopFlusher = false;
    s.wallStartUs = clock_us<std::chrono::system_clock>();
    s.monoStartUs = clock_us<std::chrono::steady_clock>();
#ifndef _WIN32
    // SocketCAN channels are traced under their interface names.
    static controlcan_selection_t sel;
    s.haveNames =
        controlcan_parse_selection(getenv("OSTRELO_CAN"), &sel) == 1 && sel.kind == CONTROLCAN_SEL_SOCKETCAN;
    if (s.haveNames) {
        s.names = sel.map;
    }
#endif
    s.flusher = std::thread(flush_loop, &s);
    static bool atExitSet = false;
    if (!atExitSet) {
        atExitSet = true;
        atexit(at_exit_close);
    }
    return 1;
}

// Decides once whether OSTRELO_TRACE starts a trace.
bool tracing() {
    int mode = g_mode.load(std::memory_order_acquire);
    if (mode != kUnknown) {
        return mode == kOn;
    }
    TraceState &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        mode = g_mode.load(std::memory_order_acquire);
        if (mode == kUnknown) {
            const char *path = getenv("OSTRELO_TRACE");
            mode = kOff;
            if (path != nullptr && path[0] != '\0') {
                if (open_locked(s, path)) {
                    mode = kOn;
                } else {
                    char line[1200];
                    snprintf(line, sizeof(line), "[ERROR] OSTRELO_TRACE: cannot write %.1024s\n", path);
                    ostrelo_log_text(OSTRELO_LOG_ERROR, line);
                }
            }
            g_mode.store(mode, std::memory_order_release);
        }
    }
    return mode == kOn;
}

void interface_name(const TraceState &s, DWORD adapter, DWORD channel, char *out, size_t cap) {
    if (s.haveNames && adapter < CONTROLCAN_MAX_ADAPTERS && channel < CONTROLCAN_MAX_CHANNELS &&
        s.names.ifname[adapter][channel][0] != '\0') {
        snprintf(out, cap, "%s", s.names.ifname[adapter][channel]);
        return;
    }
    snprintf(out, cap, "zhcx%u.%u", static_cast<unsigned>(adapter), static_cast<unsigned>(channel));
}

} // namespace

extern "C" {

size_t controlcan_trace_format(char *out, size_t cap, unsigned long long sec, unsigned usec,
                               const char *ifname, const VCI_CAN_OBJ *frame) {
    if (out == nullptr || cap == 0 || ifname == nullptr || frame == nullptr) {
        return 0;
    }
    int n;
    if (frame->ExternFlag) {
        n = snprintf(out, cap, "(%llu.%06u) %s %08X#", sec, usec, ifname,
                     static_cast<unsigned>(frame->ID & 0x1FFFFFFFu));
    } else {
        n = snprintf(out, cap, "(%llu.%06u) %s %03X#", sec, usec, ifname,
                     static_cast<unsigned>(frame->ID & 0x7FFu));
    }
    if (n < 0 || static_cast<size_t>(n) >= cap) {
        return 0;
    }
    size_t pos = static_cast<size_t>(n);
    static const char kHex[] = "0123456789ABCDEF";
    if (frame->RemoteFlag) {
        if (pos + 3 > cap) {
            return 0;
        }
        out[pos++] = 'R';
    } else {
        const unsigned len = frame->DataLen < 8 ? frame->DataLen : 8;
        if (pos + 2 * len + 2 > cap) {
            return 0;
        }
        for (unsigned i = 0; i < len; ++i) {
            out[pos++] = kHex[frame->Data[i] >> 4];
            out[pos++] = kHex[frame->Data[i] & 0x0F];
        }
    }
    out[pos++] = '\n';
    out[pos] = '\0';
    return pos;
}

int controlcan_trace_open(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    TraceState &s = state();
    std::unique_lock<std::mutex> lock(s.mutex);
    if (s.file != nullptr) {
        close_locked(s);
        lock.unlock();
        join_flusher(s);
        lock.lock();
    }
    const int ok = open_locked(s, path);
    g_mode.store(ok ? kOn : kOff, std::memory_order_release);
    return ok;
}

void controlcan_trace_close(void) {
    TraceState &s = state();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (g_mode.load() == kOn) {
            g_mode.store(kOff, std::memory_order_release);
        }
        close_locked(s);
    }
    join_flusher(s);
}

int controlcan_trace_active(void) {
    return tracing() ? 1 : 0;
}

void controlcan_trace_frames(DWORD adapter, DWORD channel, const VCI_CAN_OBJ *frames, DWORD count) {
    if (frames == nullptr || count == 0 || !tracing()) {
        return;
    }
    TraceState &s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.file == nullptr) {
        return;
    }
    // Taken under the lock: lines are in time order across all channels.
    const unsigned long long t = s.wallStartUs + (clock_us<std::chrono::steady_clock>() - s.monoStartUs);
    char ifname[CONTROLCAN_IFNAME_MAX + 16];
    interface_name(s, adapter, channel, ifname, sizeof(ifname));
    char line[96];
    for (DWORD i = 0; i < count; ++i) {
        const size_t n = controlcan_trace_format(line, sizeof(line), t / 1000000ull,
                                                 static_cast<unsigned>(t % 1000000ull), ifname, &frames[i]);
        if (n == 0) {
            continue;
        }
        if (s.lines.size() + n > kFileBuffer) {
            flush_locked(s);
        }
        s.lines.append(line, n);
    }
    s.dirty = true;
}

} // extern "C"
