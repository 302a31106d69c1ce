// The adapter model: the ControlCAN transport functions (open, init, start,
// transmit, receive, clear, board info, reset, wake) over the bench's segments.
#include "sim_bench.h"
#include "sim_internal.h"

#include <stdio.h>
#include <string.h>

using namespace simbench;

namespace {

SimSegment *channel_for_io(DWORD type, DWORD dev, DWORD ch) {
    if (type != VCI_USBCAN2 || dev >= SIM_MAX_ADAPTERS || ch >= SIM_MAX_CHANNELS) {
        return nullptr;
    }
    SimAdapter &a = g_adapters[dev];
    if (!a.exists || !a.open || ch >= a.channels) {
        return nullptr;
    }
    SimSegment *s = ensure_segment(dev, ch);
    return s;
}

DWORD t_open(DWORD type, DWORD dev, DWORD) {
    Guard g;
    if (type != VCI_USBCAN2 || dev >= SIM_MAX_ADAPTERS || !g_adapters[dev].exists) {
        return 0;
    }
    if (!g_adapters[dev].open) {
        g_adapters[dev].open = true;
        g_adapters[dev].openedAt = now_us();
    }
    return 1;
}

void close_locked(SimAdapter &a) {
    a.open = false;
    for (SimSegment &s : a.seg) {
        s.initialised = false;
        s.started = false;
        s.txq.clear();
        s.rx.clear();
    }
}

DWORD t_close(DWORD type, DWORD dev) {
    Guard g;
    if (type != VCI_USBCAN2 || dev >= SIM_MAX_ADAPTERS || !g_adapters[dev].exists) {
        return 0;
    }
    advance_now();
    close_locked(g_adapters[dev]);
    return 1;
}

DWORD t_init(DWORD type, DWORD dev, DWORD ch, VCI_INIT_CONFIG *cfg) {
    Guard g;
    SimSegment *s = channel_for_io(type, dev, ch);
    if (s == nullptr || cfg == nullptr) {
        return 0;
    }
    const uint32_t kbps = sim_bitrate_from_timing(cfg->Timing0, cfg->Timing1);
    if (kbps == 0) {
        return 0;
    }
    advance_now();
    s->chanKbps = kbps;
    s->initialised = true;
    s->started = false;
    s->busOffUntil = 0; // a controller set up again starts with clear error counters
    s->txErrors = 0;
    s->txq.clear();
    s->rx.clear();
    return 1;
}

DWORD t_start(DWORD type, DWORD dev, DWORD ch) {
    Guard g;
    SimSegment *s = channel_for_io(type, dev, ch);
    if (s == nullptr || !s->initialised) {
        return 0;
    }
    advance_now();
    s->started = true;
    return 1;
}

// The lock of the segment behind an adapter channel (any valid numbers).
bool io_numbers_valid(DWORD type, DWORD dev, DWORD ch) {
    return type == VCI_USBCAN2 && dev < SIM_MAX_ADAPTERS && ch < SIM_MAX_CHANNELS;
}

DWORD t_transmit(DWORD type, DWORD dev, DWORD ch, VCI_CAN_OBJ *frames, UINT len) {
    if (!io_numbers_valid(type, dev, ch)) {
        return 0;
    }
    SegSync &y = g_sync[dev][ch];
    SegLock lk(y.m);
    SimSegment *s = channel_for_io(type, dev, ch);
    if (s == nullptr || !s->started || frames == nullptr) {
        return 0;
    }
    // The frames of one call are handed over at one instant: the clock is
    // read again only after a wait (where it has no fast path, each read is a
    // system call).
    uint64_t t = now_us();
    advance_segment_at(dev, ch, t);
    DWORD sent = 0;
    for (UINT i = 0; i < len; ++i) {
        if (bus_off(*s, t)) {
            s->stats.txRefused++; // the controller is off the bus: nothing is taken
            break;
        }
        if (s->fault.txFailures != 0) {
            if (s->fault.txFailures != SIM_FOREVER) {
                s->fault.txFailures--;
            }
            s->stats.txRefused++;
            break;
        }
        if (!segment_acknowledges(dev, ch, *s)) {
            // The adapter keeps retrying a frame nobody acknowledges, then gives up.
            if (g_timed && may_sleep() && g_no_ack_ms > 0) {
                sleep_unlocked(lk, g_no_ack_ms);
                advance_segment_now(dev, ch);
            }
            s->stats.txRefused++;
            break;
        }
        if (s->txq.full() && g_timed && may_sleep()) {
            const uint64_t giveUp = t + SIM_TX_WAIT_MS * 1000ull;
            while (s->txq.full() && t < giveUp) {
                s->nextEventAt = 0; // the frames queued so far change the schedule
                const uint64_t room = txq_wake_for_room(*s);
                y.cv.wait_until(lk, steady_at(room < giveUp ? room : giveUp));
                s = channel_for_io(type, dev, ch);
                if (s == nullptr) {
                    return sent;
                }
                t = now_us();
                advance_segment_at(dev, ch, t);
            }
        }
        if (!s->started) {
            break; // closed by another thread meanwhile
        }
        if (bus_off(*s, t)) {
            s->stats.txRefused++;
            break;
        }
        if (s->txq.full()) {
            s->stats.txRefused++;
            break;
        }
        SimFrame f{};
        f.id = frames[i].ExternFlag ? (frames[i].ID & 0x1FFFFFFFu) : (frames[i].ID & 0x7FFu);
        f.ext = frames[i].ExternFlag ? 1 : 0;
        f.rtr = frames[i].RemoteFlag ? 1 : 0;
        f.dlc = frames[i].DataLen > 8 ? 8 : frames[i].DataLen;
        memcpy(f.data, frames[i].Data, 8);
        for (uint8_t k = f.dlc; k < 8; ++k) {
            f.data[k] = 0;
        }
        f.ready_us = t;
        set_frame_bits(f);
        s->txq.push(f);
        ++sent;
        // On the timed bus a frame queued now cannot be out before a later
        // instant: the segment is run once, after the call's last frame. In
        // instant mode each frame is out at once and makes room.
        if (!g_timed) {
            s->nextEventAt = 0;
            advance_segment_at(dev, ch, t);
        }
    }
    if (sent > 0) {
        s->nextEventAt = 0;
        advance_segment_at(dev, ch, t);
        y.cv.notify_all(); // a receive waiting on this segment has a new schedule
    }
    return sent;
}

// With a wait time, the call sleeps until a frame is in the receive buffer,
// the wait is over, or the channel is woken (VCI_Receive's WaitTime). The
// bench has no thread of its own: the sleeper wakes at the segment's next
// event (a frame completing, a motor timer), runs the segment to it and
// looks again.
DWORD t_receive(DWORD type, DWORD dev, DWORD ch, VCI_CAN_OBJ *frames, UINT len, int32_t wait) {
    if (!io_numbers_valid(type, dev, ch)) {
        return 0xFFFFFFFFu;
    }
    SegSync &y = g_sync[dev][ch];
    SegLock lk(y.m);
    SimSegment *s = channel_for_io(type, dev, ch);
    if (s == nullptr) {
        return 0xFFFFFFFFu;
    }
    // One reading of the clock per look at the segment: where it has no fast
    // path, each is a system call.
    uint64_t t = now_us();
    uint64_t next = advance_segment_at(dev, ch, t);
    if (s->fault.rxErrors != 0) {
        if (s->fault.rxErrors != SIM_FOREVER) {
            s->fault.rxErrors--;
        }
        return 0xFFFFFFFFu;
    }
    if (frames == nullptr || len == 0) {
        return 0;
    }
    if (wait > 0 && may_sleep()) {
        const uint64_t until = t + static_cast<uint64_t>(wait) * 1000u;
        while (s->rx.empty()) {
            if (y.wake) {
                y.wake = false;
                break;
            }
            if (t >= until) {
                break;
            }
            const uint64_t at = receive_wake_at(dev, ch, next);
            y.cv.wait_until(lk, steady_at(at < until ? at : until));
            s = channel_for_io(type, dev, ch);
            if (s == nullptr) {
                return 0xFFFFFFFFu;
            }
            t = now_us();
            next = advance_segment_at(dev, ch, t);
        }
    }
    const uint64_t opened = g_adapters[dev].openedAt;
    DWORD n = 0;
    SimFrame f;
    while (n < len && s->rx.pop(&f)) {
        VCI_CAN_OBJ &o = frames[n];
        memset(&o, 0, sizeof o);
        o.ID = f.id;
        o.TimeStamp = static_cast<UINT>((f.stamp_us - (f.stamp_us >= opened ? opened : f.stamp_us)) / 100u);
        o.TimeFlag = 1;
        o.RemoteFlag = f.rtr;
        o.ExternFlag = f.ext;
        o.DataLen = f.dlc;
        memcpy(o.Data, f.data, 8);
        ++n;
    }
    return n;
}

DWORD t_clear(DWORD type, DWORD dev, DWORD ch) {
    if (!io_numbers_valid(type, dev, ch)) {
        return 0;
    }
    SegLock lk(g_sync[dev][ch].m);
    SimSegment *s = channel_for_io(type, dev, ch);
    if (s == nullptr) {
        return 0;
    }
    advance_segment_now(dev, ch);
    s->rx.clear();
    return 1;
}

DWORD t_board_info(DWORD type, DWORD dev, VCI_BOARD_INFO *info) {
    Guard g;
    if (type != VCI_USBCAN2 || dev >= SIM_MAX_ADAPTERS || !g_adapters[dev].exists || !g_adapters[dev].open ||
        info == nullptr) {
        return 0;
    }
    memset(info, 0, sizeof *info);
    info->hw_Version = 0x0900;
    info->fw_Version = 0x0330;
    info->dr_Version = 0x0100;
    info->in_Version = 0x0100;
    info->can_Num = static_cast<BYTE>(g_adapters[dev].channels);
    snprintf(info->str_Serial_Num, sizeof info->str_Serial_Num, "OSTSIM%04u", static_cast<unsigned>(dev));
    snprintf(info->str_hw_Type, sizeof info->str_hw_Type, "canalyst-II (simulated)");
    return 1;
}

// A reset leaves the adapter as closing it does.
DWORD t_reset(DWORD type, DWORD dev, DWORD) {
    return t_close(type, dev);
}

// Ends a receive waiting on the channel now, or the next one at once.
DWORD t_wake(DWORD type, DWORD dev, DWORD ch) {
    if (!io_numbers_valid(type, dev, ch)) {
        return 0;
    }
    SegSync &y = g_sync[dev][ch];
    {
        SegLock lk(y.m);
        y.wake = true;
    }
    y.cv.notify_all();
    return 1;
}

const ControlCanTransport kTransport = {
    "sim", t_open, t_close, t_init, t_start, t_transmit, t_receive, t_clear, t_board_info, t_reset, t_wake,
};

} // namespace

extern "C" const ControlCanTransport *sim_controlcan_transport(void) {
    return &kTransport;
}
