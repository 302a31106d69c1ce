// Core of the simulated bench: segments, adapter channels, motors, power,
// faults, peers and the adapter transport.
#include "sim_bench.h"
#include "sim_internal.h"

#include "motor_protocol.h"
#include "ostrelo_time.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

// One lock per segment (adapter channel): the frame calls of different
// channels never wait for each other. Everything that changes the bench as a
// whole (adapters, motors, settings) takes every segment lock, in one order.
// The condition variable wakes a receive waiting on the segment when the
// segment's schedule changes (a frame queued or injected, a setting changed)
// or when it is woken on purpose.
struct SegSync {
    std::recursive_mutex m;
    std::condition_variable_any cv;
    bool wake = false; // a wake arrived; the next (or current) waiting receive returns
};
SegSync g_sync[SIM_MAX_ADAPTERS][SIM_MAX_CHANNELS];

// Peer callbacks run inside the bench with their segment locked; bench-wide
// calls made from there must not try to take the other segments' locks.
thread_local int t_in_peer = 0;
// The bus time at which the frame handed to the running peer callback left
// the bus: what the peer injects is ready from then on, however late a call
// ran the segment up to it.
thread_local uint64_t t_peer_at = 0;

void lock_all() {
    for (auto &row : g_sync) {
        for (SegSync &y : row) {
            y.m.lock();
        }
    }
}

void clear_next_events();

void unlock_all() {
    clear_next_events();
    for (auto &row : g_sync) {
        for (SegSync &y : row) {
            y.cv.notify_all();
        }
    }
    for (size_t a = SIM_MAX_ADAPTERS; a-- > 0;) {
        for (size_t c = SIM_MAX_CHANNELS; c-- > 0;) {
            g_sync[a][c].m.unlock();
        }
    }
}

// The whole bench.
class Guard {
  public:
    Guard() : held_(t_in_peer == 0) {
        if (held_) {
            lock_all();
        }
    }
    ~Guard() {
        if (held_) {
            unlock_all();
        }
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    bool held_;
};

// One segment; the caller has checked adapter < SIM_MAX_ADAPTERS and channel < SIM_MAX_CHANNELS.
using SegLock = std::unique_lock<std::recursive_mutex>;

SimAdapter g_adapters[SIM_MAX_ADAPTERS];
SimMotor g_motors[SIM_MAX_MOTORS];
int g_timed = 1;
uint32_t g_seed = 1;
uint32_t g_no_ack_ms = SIM_NO_ACK_MS_DEFAULT;
bool g_manual_clock = false;
uint64_t g_manual_now = 0;
bool g_operator = false;
uint32_t g_operator_stop_ms = SIM_DEFAULT_OPERATOR_STOP_MS;
uint32_t g_operator_off_ms = SIM_DEFAULT_OPERATOR_OFF_MS;
// A stop command counts as "kept up" while the gaps between two stay below this.
const uint64_t kOperatorGapUs = 500000;

uint64_t now_us() {
    return g_manual_clock ? g_manual_now : ostrelo_monotonic_us();
}

bool may_sleep() {
    return !g_manual_clock;
}

void sleep_unlocked(SegLock &lk, uint32_t ms) {
    lk.unlock();
    delay_ms(ms);
    lk.lock();
}

std::chrono::steady_clock::time_point steady_at(uint64_t us) {
    // ostrelo_monotonic_us() counts on the steady clock's own epoch.
    return std::chrono::steady_clock::time_point(
        std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::microseconds(us)));
}

SimSegment *find_segment(uint32_t adapter, uint32_t channel) {
    if (adapter >= SIM_MAX_ADAPTERS || channel >= SIM_MAX_CHANNELS) {
        return nullptr;
    }
    SimAdapter &a = g_adapters[adapter];
    if (!a.exists || channel >= a.channels || !a.seg[channel].exists) {
        return nullptr;
    }
    return &a.seg[channel];
}

uint64_t seed_for(uint32_t adapter, uint32_t channel) {
    uint64_t s = (static_cast<uint64_t>(g_seed) << 16) ^ (adapter * 0x9E3779B97F4A7C15ull) ^
                 (channel * 0xBF58476D1CE4E5B9ull);
    return s == 0 ? 0x2545F4914F6CDD1Dull : s;
}

// xorshift64*: small, seeded and reproducible per segment.
double next_uniform(SimSegment &s) {
    s.rng ^= s.rng >> 12;
    s.rng ^= s.rng << 25;
    s.rng ^= s.rng >> 27;
    const uint64_t r = s.rng * 0x2545F4914F6CDD1Dull;
    return static_cast<double>(r >> 11) / 9007199254740992.0;
}

bool draw(SimSegment &s, double fraction) {
    if (fraction <= 0.0) {
        return false;
    }
    return next_uniform(s) < fraction;
}

SimSegment *ensure_segment(uint32_t adapter, uint32_t channel) {
    if (adapter >= SIM_MAX_ADAPTERS || channel >= SIM_MAX_CHANNELS) {
        return nullptr;
    }
    SimAdapter &a = g_adapters[adapter];
    if (!a.exists) {
        a.exists = true;
        a.channels = 2;
    }
    if (channel >= a.channels) {
        a.channels = channel + 1;
    }
    SimSegment &s = a.seg[channel];
    if (!s.exists) {
        s.exists = true;
        s.rng = seed_for(adapter, channel);
    }
    return &s;
}

SimMotor *find_motor(uint32_t adapter, uint32_t channel, uint8_t node) {
    for (SimMotor &m : g_motors) {
        if (m.used && m.cfg.adapter == adapter && m.cfg.channel == channel && m.cfg.node == node) {
            return &m;
        }
    }
    return nullptr;
}

SimSegment &segment_of(const SimMotor &m) {
    return g_adapters[m.cfg.adapter].seg[m.cfg.channel];
}

// Fault settings in force for a motor: its own, or its segment's where its own are unset.
sim_fault_t effective_fault(const SimMotor &m) {
    const sim_fault_t &n = m.fault;
    const sim_fault_t &s = segment_of(m).fault;
    sim_fault_t f = n;
    if (f.dropFraction <= 0.0) {
        f.dropFraction = s.dropFraction;
    }
    if (f.replyDelayMs == 0) {
        f.replyDelayMs = s.replyDelayMs;
    }
    if (!f.abortEnabled && s.abortEnabled) {
        f.abortEnabled = 1;
        f.abortAtOffset = s.abortAtOffset;
        f.abortCode = s.abortCode;
    }
    f.wrongCrc = n.wrongCrc || s.wrongCrc;
    f.ignoreStop = n.ignoreStop || s.ignoreStop;
    f.ignoreStart = n.ignoreStart || s.ignoreStart;
    f.silent = n.silent || s.silent;
    f.shortDlc = n.shortDlc || s.shortDlc;
    return f;
}

uint32_t segment_kbps(const SimSegment &s) {
    if (s.kbps != 0) {
        return s.kbps;
    }
    return s.chanKbps != 0 ? s.chanKbps : 1000u;
}

// The adapter channel and the bus agree on the bit rate (else every frame is an error).
bool rate_matches(const SimSegment &s) {
    return s.kbps == 0 || s.chanKbps == 0 || s.kbps == s.chanKbps;
}

bool motor_powered(const SimMotor &m) {
    return m.used && m.state != SIM_MOTOR_OFF;
}

// Somebody on the bus acknowledges frames of the adapter.
bool segment_acknowledges(uint32_t adapter, uint32_t channel, const SimSegment &s) {
    if (!rate_matches(s)) {
        return false;
    }
    if (s.peer != nullptr) {
        return true;
    }
    for (const SimMotor &m : g_motors) {
        // The segment first: another segment's motors change under that segment's lock only.
        if (m.used && m.cfg.adapter == adapter && m.cfg.channel == channel && motor_powered(m)) {
            return true;
        }
    }
    return false;
}

void enter_application(SimMotor &m) {
    m.state = SIM_MOTOR_APPLICATION;
    m.version = m.appVersion;
}

void power_on(SimMotor &m, uint64_t t) {
    m.powerOnPending = false;
    m.restartPending = false;
    m.state = SIM_MOTOR_BOOT_WINDOW;
    m.windowEnd = t + static_cast<uint64_t>(m.cfg.bootWindowMs) * 1000u;
    m.armed = false;
    m.stopStreak = false;
    m.out.clear();
    sim_sdo_reset(m);
    m.stats.powerCycles++;
}

void power_off(SimMotor &m) {
    m.state = SIM_MOTOR_OFF;
    m.powerOnPending = false;
    m.restartPending = false;
    m.armed = false;
    m.stopStreak = false;
    m.out.clear();
    sim_sdo_reset(m);
}

void power_cycle(SimMotor &m, uint64_t t, uint32_t off_ms) {
    power_off(m);
    if (off_ms == 0) {
        power_on(m, t);
    } else {
        m.powerOnPending = true;
        m.powerOnAt = t + static_cast<uint64_t>(off_ms) * 1000u;
    }
}

// Next timed event of a motor, or UINT64_MAX.
uint64_t motor_next_timer(const SimMotor &m) {
    if (m.state == SIM_MOTOR_OFF) {
        return m.powerOnPending ? m.powerOnAt : UINT64_MAX;
    }
    if (m.restartPending) {
        return m.restartAt;
    }
    uint64_t at = UINT64_MAX;
    if (m.state == SIM_MOTOR_BOOT_WINDOW) {
        at = m.windowEnd;
    }
    const uint64_t sdoAt = sim_sdo_next_timer(m);
    return sdoAt < at ? sdoAt : at;
}

void motor_fire_timer(SimMotor &m, uint64_t t) {
    if (m.state == SIM_MOTOR_OFF) {
        if (m.powerOnPending) {
            power_on(m, t);
        }
        return;
    }
    if (m.restartPending) {
        m.restartPending = false;
        m.out.clear();
        sim_sdo_reset(m);
        m.armed = false;
        m.stopStreak = false;
        if (m.restartTarget == SIM_MOTOR_APPLICATION && m.hasApp) {
            enter_application(m);
        } else {
            m.state = SIM_MOTOR_BOOT_HELD;
        }
        return;
    }
    if (sim_sdo_next_timer(m) <= t) {
        sim_sdo_timer(m, t);
        return;
    }
    if (m.state == SIM_MOTOR_BOOT_WINDOW && m.windowEnd <= t) {
        if (m.hasApp) {
            enter_application(m);
        } else {
            m.state = SIM_MOTOR_BOOT_HELD;
        }
    }
}

// Application side: the motor's own query protocol on identifier = node-ID.
void app_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    if (f.id != m.cfg.node || f.dlc < 1) {
        return;
    }
    const uint8_t *d = f.data;
    uint8_t r[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const uint8_t shorten = fault.shortDlc ? 1 : 0;
    if (d[0] == 0x64) {
        r[0] = 0x64;
        r[2] = m.cfg.motorType;
        r[4] = m.cfg.brakeType;
        sim_motor_send(m, t, m.cfg.node, static_cast<uint8_t>(5 - shorten), r);
    } else if (d[0] == 0x65) {
        r[0] = 0x65;
        r[1] = static_cast<uint8_t>(m.version);
        r[2] = static_cast<uint8_t>(m.version >> 8);
        r[3] = static_cast<uint8_t>(m.version >> 16);
        r[4] = static_cast<uint8_t>(m.version >> 24);
        sim_motor_send(m, t, m.cfg.node, static_cast<uint8_t>(5 - shorten), r);
    } else if (d[0] == 0xA4 && f.dlc >= 2 && d[1] == 0x40) {
        r[0] = 0xA4;
        r[1] = 0x40;
        r[2] = m.cfg.encoderType;
        sim_motor_send(m, t, m.cfg.node, static_cast<uint8_t>(6 - shorten), r);
    } else if (d[0] == 0xA3 && f.dlc >= 2 && d[1] == 0x40) {
        r[0] = 0xA3;
        r[1] = 0x40;
        r[2] = static_cast<uint8_t>(m.a3Value);
        r[3] = static_cast<uint8_t>(m.a3Value >> 8);
        r[4] = static_cast<uint8_t>(m.a3Value >> 16);
        r[5] = static_cast<uint8_t>(m.a3Value >> 24);
        sim_motor_send(m, t, m.cfg.node, 6, r);
    } else if (d[0] == 0xA3 && f.dlc >= 6 && d[1] == 0x20) {
        if (memcmp(d + 2, MOTOR_ENTRY_SIGNATURE_1, 4) == 0) {
            m.armed = true;
        } else if (m.armed && memcmp(d + 2, MOTOR_ENTRY_SIGNATURE_2, 4) == 0) {
            // The application hands over to its bootloader and asks it to stay.
            m.armed = false;
            sim_motor_restart(m, t, SIM_MOTOR_BOOT_HELD);
        } else {
            m.armed = false;
        }
    }
}

bool is_stop_command(const SimMotor &m, const SimFrame &f) {
    static const uint8_t stop[8] = {0x2F, 0x51, 0x1F, 0x01, 0x00, 0x00, 0x00, 0x00};
    return f.id == 0x600u + m.cfg.node && f.dlc == 8 && memcmp(f.data, stop, 8) == 0;
}

void operator_watch(SimMotor &m, const SimFrame &f, uint64_t t) {
    if (!g_operator || m.state != SIM_MOTOR_APPLICATION || !is_stop_command(m, f)) {
        return;
    }
    if (!m.stopStreak || t - m.stopLast > kOperatorGapUs) {
        m.stopStreak = true;
        m.stopFirst = t;
    }
    m.stopLast = t;
    if (t - m.stopFirst >= static_cast<uint64_t>(g_operator_stop_ms) * 1000u) {
        m.stats.operatorCycles++;
        power_cycle(m, t, g_operator_off_ms);
    }
}

void motor_receive(SimMotor &m, const SimFrame &f, uint64_t t) {
    if (!motor_powered(m) || m.restartPending || f.rtr || f.ext) {
        return;
    }
    const sim_fault_t fault = effective_fault(m);
    SimSegment &s = segment_of(m);
    const bool mine = f.id == m.cfg.node || f.id == 0x600u + m.cfg.node;
    if (!mine) {
        return;
    }
    if (draw(s, fault.dropFraction)) {
        s.stats.faultDrops++;
        return;
    }
    m.stats.framesReceived++;
    if (m.state == SIM_MOTOR_APPLICATION) {
        operator_watch(m, f, t);
        if (m.state == SIM_MOTOR_APPLICATION) {
            app_receive(m, f, t, fault);
        }
        return;
    }
    if (f.id == 0x600u + m.cfg.node) {
        if (fault.ignoreStop && is_stop_command(m, f)) {
            return;
        }
        static const uint8_t start[8] = {0x2F, 0x51, 0x1F, 0x01, 0x01, 0x00, 0x00, 0x00};
        if (fault.ignoreStart && f.dlc == 8 && memcmp(f.data, start, 8) == 0) {
            return;
        }
        sim_sdo_receive(m, f, t, fault);
    }
}

void store_for_program(SimSegment &s, const SimFrame &f, uint64_t t) {
    if (!s.started || !rate_matches(s)) {
        return;
    }
    SimFrame r = f;
    r.stamp_us = t;
    if (!s.rx.push(r)) {
        s.stats.rxOverflowDrops++;
        return;
    }
    s.stats.framesToProgram++;
}

enum Source { SRC_NONE, SRC_ADAPTER, SRC_INJECTED, SRC_MOTOR };

void set_frame_bits(SimFrame &f) {
    f.bits = sim_can_frame_bits(f.id, f.ext, f.rtr, f.dlc, f.data);
}

uint32_t frame_duration_us(const SimSegment &s, const SimFrame &f) {
    return g_timed ? sim_can_frame_duration_us(f.bits, segment_kbps(s)) : 0;
}

// Runs segment (ai, ci) up to time T; returns the time of its next event
// after T (a frame completing on the bus or a motor timer), UINT64_MAX for none.
uint64_t advance_segment(uint32_t ai, uint32_t ci, uint64_t T) {
    SimSegment &s = g_adapters[ai].seg[ci];
    for (int guard = 0; guard < 100000; ++guard) {
        // Earliest motor timer.
        SimMotor *tm = nullptr;
        uint64_t tmAt = UINT64_MAX;
        for (SimMotor &m : g_motors) {
            if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci) {
                const uint64_t at = motor_next_timer(m);
                if (at < tmAt) {
                    tmAt = at;
                    tm = &m;
                }
            }
        }
        // Frame that wins the bus next: earliest ready; among those ready by
        // the start time, the lowest identifier (arbitration).
        uint64_t minReady = UINT64_MAX;
        if (!s.txq.empty()) {
            minReady = s.txq.front().ready_us;
        }
        if (!s.injected.empty() && s.injected.front().ready_us < minReady) {
            minReady = s.injected.front().ready_us;
        }
        for (SimMotor &m : g_motors) {
            if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci && !m.out.empty() &&
                m.out.front().ready_us < minReady) {
                minReady = m.out.front().ready_us;
            }
        }
        Source src = SRC_NONE;
        SimMotor *srcMotor = nullptr;
        uint64_t start = 0, end = UINT64_MAX;
        if (minReady != UINT64_MAX) {
            start = minReady > s.busFree ? minReady : s.busFree;
            uint32_t bestId = UINT32_MAX;
            if (!s.txq.empty() && s.txq.front().ready_us <= start) {
                src = SRC_ADAPTER;
                bestId = s.txq.front().id;
            }
            if (!s.injected.empty() && s.injected.front().ready_us <= start &&
                s.injected.front().id < bestId) {
                src = SRC_INJECTED;
                bestId = s.injected.front().id;
            }
            for (SimMotor &m : g_motors) {
                if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci && !m.out.empty() &&
                    m.out.front().ready_us <= start && m.out.front().id < bestId) {
                    src = SRC_MOTOR;
                    srcMotor = &m;
                    bestId = m.out.front().id;
                }
            }
            const SimFrame &f = src == SRC_ADAPTER    ? s.txq.front()
                                : src == SRC_INJECTED ? s.injected.front()
                                                      : srcMotor->out.front();
            end = start + frame_duration_us(s, f);
        }
        if (tmAt <= end && tmAt <= T) {
            motor_fire_timer(*tm, tmAt);
            continue;
        }
        if (src == SRC_NONE || end > T) {
            return tmAt < end ? tmAt : end;
        }
        SimFrame f;
        if (src == SRC_ADAPTER) {
            s.txq.pop(&f);
        } else if (src == SRC_INJECTED) {
            s.injected.pop(&f);
        } else {
            srcMotor->out.pop(&f);
        }
        s.stats.busBusyUs += end - start;
        s.busFree = end;
        if (src == SRC_ADAPTER && !segment_acknowledges(ai, ci, s)) {
            // Nobody acknowledges any more: the adapter gives the frame up.
            s.stats.txRefused++;
            continue;
        }
        if (src != SRC_MOTOR && draw(s, s.fault.dropFraction)) {
            s.stats.faultDrops++;
            continue;
        }
        if (src == SRC_ADAPTER) {
            s.stats.framesFromProgram++;
            if (s.peer != nullptr) {
                ++t_in_peer;
                t_peer_at = end;
                s.peer(s.peerUser, ai, ci, f.id, f.dlc, f.data);
                --t_in_peer;
            }
        }
        if (src == SRC_MOTOR) {
            store_for_program(s, f, end);
            continue;
        }
        if (src == SRC_INJECTED) {
            store_for_program(s, f, end);
        }
        for (SimMotor &m : g_motors) {
            if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci) {
                motor_receive(m, f, end);
            }
        }
    }
    return T; // more events due than one call handles: come back at once
}

// A peer callback that injects a frame must not re-enter the loops below;
// its frame is picked up by the loop already running.
thread_local int t_advancing = 0;

void advance_all(uint64_t T) {
    if (t_advancing > 0) {
        return;
    }
    ++t_advancing;
    for (uint32_t a = 0; a < SIM_MAX_ADAPTERS; ++a) {
        if (!g_adapters[a].exists) {
            continue;
        }
        for (uint32_t c = 0; c < g_adapters[a].channels && c < SIM_MAX_CHANNELS; ++c) {
            if (g_adapters[a].seg[c].exists) {
                advance_segment(a, c, T);
            }
        }
    }
    --t_advancing;
}

void advance_now() {
    advance_all(now_us());
}

// Bus time until the first `n` frames of the adapter's transmit queue are
// out, when they follow each other without a gap from `from` on.
uint64_t txq_drain_us(const SimSegment &s, size_t n, uint64_t from) {
    uint64_t t = from > s.busFree ? from : s.busFree;
    for (size_t i = 0; i < n && i < s.txq.count; ++i) {
        const SimFrame &f = s.txq.buf[(s.txq.head + i) % SIM_TX_QUEUE_LEN];
        t = (f.ready_us > t ? f.ready_us : t) + frame_duration_us(s, f);
    }
    return t;
}

// When a sender waiting for room in the full transmit queue should look
// again: once the frames still queued would keep the bus busy for only
// kTxSlackUs more, but not before a quarter of the queue is out. One wake
// then serves many frames, at every bit rate, and the bus keeps frames to
// send should the sender be woken late.
const uint64_t kTxSlackUs = 5000;

uint64_t txq_wake_for_room(const SimSegment &s) {
    const uint64_t end = txq_drain_us(s, s.txq.count, 0);
    uint64_t t = s.busFree;
    for (size_t i = 0; i < s.txq.count; ++i) {
        const SimFrame &f = s.txq.buf[(s.txq.head + i) % SIM_TX_QUEUE_LEN];
        t = (f.ready_us > t ? f.ready_us : t) + frame_duration_us(s, f);
        if (i + 1 >= SIM_TX_QUEUE_LEN / 4 && end - t <= kTxSlackUs) {
            return t;
        }
    }
    return end;
}

// When a receive waiting on the segment should look again: at the next motor
// timer, when a motor's or an injected frame may start, or when the adapter's
// own queued frames are all out. Not at every one of the adapter's frames: a
// sleeper woken per frame would cost a context switch per frame; what those
// frames make the motors answer is seen when the queue is out (the answers
// keep their bus times).
uint64_t receive_wake_at(uint32_t ai, uint32_t ci, uint64_t next) {
    const SimSegment &s = g_adapters[ai].seg[ci];
    uint64_t at = UINT64_MAX;
    for (const SimMotor &m : g_motors) {
        if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci) {
            const uint64_t tm = motor_next_timer(m);
            at = tm < at ? tm : at;
            if (!m.out.empty() && m.out.front().ready_us < at) {
                at = m.out.front().ready_us;
            }
        }
    }
    if (!s.injected.empty() && s.injected.front().ready_us < at) {
        at = s.injected.front().ready_us;
    }
    if (!s.txq.empty()) {
        const uint64_t drained = txq_drain_us(s, s.txq.count, 0);
        at = drained < at ? drained : at;
    }
    // Never earlier than the segment's own next event.
    return at > next ? at : next;
}

// Brings one segment (whose lock the caller holds) up to the present. The
// segments share nothing that moves, so the others can wait until they are
// used. Returns the segment's next event, as advance_segment.
uint64_t advance_segment_now(uint32_t ai, uint32_t ci) {
    const uint64_t t = now_us();
    SimSegment &s = g_adapters[ai].seg[ci];
    if (t_advancing > 0 || !g_adapters[ai].exists || !s.exists) {
        return UINT64_MAX;
    }
    if (s.nextEventAt > t) {
        return s.nextEventAt; // nothing due yet: spare the walk over the motors
    }
    ++t_advancing;
    const uint64_t next = advance_segment(ai, ci, t);
    --t_advancing;
    s.nextEventAt = next;
    return next;
}

// Every lock holder that may have changed a segment forgets its next event.
void clear_next_events() {
    for (SimAdapter &a : g_adapters) {
        for (SimSegment &seg : a.seg) {
            seg.nextEventAt = 0;
        }
    }
}

void reset_locked() {
    for (SimMotor &m : g_motors) {
        free(m.image);
        m = SimMotor();
    }
    // Field by field: a whole adapter record (its buffers) is too big for a temporary on a worker's stack.
    for (SimAdapter &a : g_adapters) {
        a.exists = false;
        a.open = false;
        a.channels = 0;
        a.openedAt = 0;
        for (SimSegment &s : a.seg) {
            s.exists = false;
            s.kbps = 0;
            s.busFree = 0;
            s.initialised = false;
            s.started = false;
            s.chanKbps = 0;
            s.txq.clear();
            s.rx.clear();
            s.injected.clear();
            sim_fault_init(&s.fault);
            s.rng = 1;
            s.stats = sim_segment_stats_t{};
            s.peer = nullptr;
            s.peerUser = nullptr;
        }
    }
    g_operator = false;
    g_operator_stop_ms = SIM_DEFAULT_OPERATOR_STOP_MS;
    g_operator_off_ms = SIM_DEFAULT_OPERATOR_OFF_MS;
    g_no_ack_ms = SIM_NO_ACK_MS_DEFAULT;
}

// ---- adapter transport -------------------------------------------------

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
    advance_segment_now(dev, ch);
    DWORD sent = 0;
    for (UINT i = 0; i < len; ++i) {
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
        const uint64_t giveUp = now_us() + SIM_TX_WAIT_MS * 1000ull;
        while (s->txq.full() && g_timed && may_sleep() && now_us() < giveUp) {
            const uint64_t room = txq_wake_for_room(*s);
            y.cv.wait_until(lk, steady_at(room < giveUp ? room : giveUp));
            s = channel_for_io(type, dev, ch);
            if (s == nullptr) {
                return sent;
            }
            advance_segment_now(dev, ch);
        }
        if (!s->started) {
            break; // closed by another thread meanwhile
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
        f.ready_us = now_us();
        set_frame_bits(f);
        s->txq.push(f);
        s->nextEventAt = 0;
        advance_segment_now(dev, ch);
        ++sent;
    }
    if (sent > 0) {
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
    uint64_t next = advance_segment_now(dev, ch);
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
        const uint64_t until = now_us() + static_cast<uint64_t>(wait) * 1000u;
        while (s->rx.empty()) {
            if (y.wake) {
                y.wake = false;
                break;
            }
            if (now_us() >= until) {
                break;
            }
            const uint64_t at = receive_wake_at(dev, ch, next);
            y.cv.wait_until(lk, steady_at(at < until ? at : until));
            s = channel_for_io(type, dev, ch);
            if (s == nullptr) {
                return 0xFFFFFFFFu;
            }
            next = advance_segment_now(dev, ch);
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

// ---- internals used by the SDO server ----------------------------------

void sim_motor_send(SimMotor &m, uint64_t t, uint32_t id, uint8_t dlc, const uint8_t *data) {
    const sim_fault_t fault = effective_fault(m);
    if (fault.silent) {
        return;
    }
    SimSegment &s = segment_of(m);
    m.stats.framesSent++;
    if (draw(s, fault.dropFraction)) {
        s.stats.faultDrops++;
        return;
    }
    SimFrame f{};
    f.id = id;
    f.dlc = dlc > 8 ? 8 : dlc;
    memcpy(f.data, data, 8);
    f.ready_us = t + static_cast<uint64_t>(fault.replyDelayMs) * 1000u;
    set_frame_bits(f);
    m.out.push(f);
}

void sim_motor_restart(SimMotor &m, uint64_t t, int target) {
    m.restartPending = true;
    m.restartAt = t + SIM_DEFAULT_RESTART_MS * 1000ull;
    m.restartTarget = target;
}

// ---- public API ----------------------------------------------------------

extern "C" const ControlCanTransport *sim_controlcan_transport(void) {
    return &kTransport;
}

extern "C" void sim_motor_config_init(sim_motor_config_t *cfg) {
    if (cfg == nullptr) {
        return;
    }
    memset(cfg, 0, sizeof *cfg);
    cfg->node = 1;
    cfg->motorType = 9;
    cfg->encoderType = 1;
    cfg->version = 0x01000000u;
    cfg->initialState = SIM_START_APPLICATION;
    cfg->hasApplication = 1;
}

extern "C" void sim_fault_init(sim_fault_t *f) {
    if (f != nullptr) {
        memset(f, 0, sizeof *f);
    }
}

extern "C" void sim_bench_reset(void) {
    Guard g;
    reset_locked();
}

extern "C" void sim_bench_set_timing(int timed) {
    Guard g;
    advance_now();
    g_timed = timed ? 1 : 0;
}

extern "C" int sim_bench_timing(void) {
    Guard g;
    return g_timed;
}

extern "C" void sim_bench_set_seed(uint32_t seed) {
    Guard g;
    g_seed = seed;
    for (uint32_t a = 0; a < SIM_MAX_ADAPTERS; ++a) {
        for (uint32_t c = 0; c < SIM_MAX_CHANNELS; ++c) {
            g_adapters[a].seg[c].rng = seed_for(a, c);
        }
    }
}

extern "C" void sim_bench_set_no_ack_ms(uint32_t ms) {
    Guard g;
    g_no_ack_ms = ms;
}

extern "C" void sim_bench_set_manual_clock(int manual) {
    Guard g;
    if (manual && !g_manual_clock) {
        g_manual_now = ostrelo_monotonic_us();
    }
    if (!manual && g_manual_clock) {
        // Bench time may have run ahead of real time: do not leave the buses busy until then.
        for (SimAdapter &a : g_adapters) {
            for (SimSegment &seg : a.seg) {
                seg.busFree = 0;
            }
        }
    }
    g_manual_clock = manual != 0;
}

extern "C" void sim_bench_advance_ms(uint32_t ms) {
    Guard g;
    if (!g_manual_clock) {
        return;
    }
    // Step in 1 ms increments so that timers and frames interleave in order.
    for (uint32_t i = 0; i < ms; ++i) {
        g_manual_now += 1000u;
        advance_all(g_manual_now);
    }
    if (ms == 0) {
        advance_all(g_manual_now);
    }
}

extern "C" uint64_t sim_bench_now_us(void) {
    Guard g;
    return now_us();
}

extern "C" int sim_bench_add_adapter(uint32_t adapter, uint32_t channelCount) {
    Guard g;
    if (adapter >= SIM_MAX_ADAPTERS || channelCount == 0 || channelCount > SIM_MAX_CHANNELS) {
        return 0;
    }
    SimAdapter &a = g_adapters[adapter];
    a.exists = true;
    if (channelCount > a.channels) {
        a.channels = channelCount;
    }
    for (uint32_t c = 0; c < a.channels; ++c) {
        ensure_segment(adapter, c);
    }
    return 1;
}

extern "C" int sim_bench_add_segment(uint32_t adapter, uint32_t channel, uint32_t kbps) {
    Guard g;
    if (kbps != 0 && sim_can_frame_duration_us(1, kbps) == 0) {
        return 0;
    }
    SimSegment *s = ensure_segment(adapter, channel);
    if (s == nullptr) {
        return 0;
    }
    s->kbps = kbps;
    return 1;
}

extern "C" int sim_bench_add_motor(const sim_motor_config_t *cfg) {
    Guard g;
    if (cfg == nullptr || cfg->adapter >= SIM_MAX_ADAPTERS || cfg->channel >= SIM_MAX_CHANNELS ||
        cfg->node < 1 || cfg->node > 127 || cfg->initialState < SIM_START_APPLICATION ||
        cfg->initialState > SIM_START_POWER_ON || cfg->blockSize > 127) {
        return 0;
    }
    if (find_motor(cfg->adapter, cfg->channel, cfg->node) != nullptr) {
        return 0;
    }
    SimMotor *slot = nullptr;
    for (SimMotor &m : g_motors) {
        if (!m.used) {
            slot = &m;
            break;
        }
    }
    if (slot == nullptr || ensure_segment(cfg->adapter, cfg->channel) == nullptr) {
        return 0;
    }
    advance_now();
    SimMotor &m = *slot;
    m = SimMotor();
    m.used = true;
    m.cfg = *cfg;
    if (m.cfg.flashSize == 0) {
        m.cfg.flashSize = SIM_DEFAULT_FLASH_SIZE;
    }
    if (m.cfg.blockSize == 0) {
        m.cfg.blockSize = 127;
    }
    if (m.cfg.bootWindowMs == 0) {
        m.cfg.bootWindowMs = SIM_DEFAULT_BOOT_WINDOW_MS;
    }
    m.version = cfg->version;
    m.appVersion = cfg->version;
    m.hasApp = cfg->hasApplication != 0;
    const uint64_t t = now_us();
    switch (cfg->initialState) {
    case SIM_START_APPLICATION:
        m.state = m.hasApp ? SIM_MOTOR_APPLICATION : SIM_MOTOR_BOOT_HELD;
        break;
    case SIM_START_BOOT_HELD:
        m.state = SIM_MOTOR_BOOT_HELD;
        break;
    case SIM_START_OFF:
        m.state = SIM_MOTOR_OFF;
        break;
    default:
        power_on(m, t);
        m.stats.powerCycles = 0;
        break;
    }
    return 1;
}

extern "C" int sim_bench_motor_count(void) {
    Guard g;
    int n = 0;
    for (const SimMotor &m : g_motors) {
        n += m.used ? 1 : 0;
    }
    return n;
}

extern "C" int sim_bench_motor_config(int index, sim_motor_config_t *out) {
    Guard g;
    int n = 0;
    for (const SimMotor &m : g_motors) {
        if (!m.used) {
            continue;
        }
        if (n == index) {
            if (out != nullptr) {
                *out = m.cfg;
                out->version = m.version;
                out->hasApplication = m.hasApp ? 1 : 0;
            }
            return 1;
        }
        ++n;
    }
    return 0;
}

extern "C" int sim_bench_motor_state(uint32_t adapter, uint32_t channel, uint8_t node) {
    Guard g;
    advance_now();
    const SimMotor *m = find_motor(adapter, channel, node);
    return m == nullptr ? -1 : m->state;
}

extern "C" uint32_t sim_bench_motor_version(uint32_t adapter, uint32_t channel, uint8_t node) {
    Guard g;
    advance_now();
    const SimMotor *m = find_motor(adapter, channel, node);
    return m == nullptr ? 0 : m->version;
}

extern "C" uint32_t sim_bench_motor_image_crc32(uint32_t adapter, uint32_t channel, uint8_t node) {
    Guard g;
    advance_now();
    const SimMotor *m = find_motor(adapter, channel, node);
    return m == nullptr ? 0 : m->imageCrc;
}

extern "C" size_t sim_bench_motor_image(uint32_t adapter, uint32_t channel, uint8_t node, uint8_t *out,
                                        size_t cap) {
    Guard g;
    advance_now();
    const SimMotor *m = find_motor(adapter, channel, node);
    if (m == nullptr) {
        return 0;
    }
    if (out != nullptr && m->image != nullptr) {
        memcpy(out, m->image, cap < m->imageLen ? cap : m->imageLen);
    }
    return m->imageLen;
}

extern "C" int sim_bench_motor_stats(uint32_t adapter, uint32_t channel, uint8_t node,
                                     sim_motor_stats_t *out) {
    Guard g;
    advance_now();
    const SimMotor *m = find_motor(adapter, channel, node);
    if (m == nullptr || out == nullptr) {
        return 0;
    }
    *out = m->stats;
    out->imageComplete = m->imageComplete ? 1 : 0;
    out->imageSize = m->imageLen;
    return 1;
}

extern "C" int sim_bench_segment_stats(uint32_t adapter, uint32_t channel, sim_segment_stats_t *out) {
    Guard g;
    advance_now();
    const SimSegment *s = find_segment(adapter, channel);
    if (s == nullptr || out == nullptr) {
        return 0;
    }
    *out = s->stats;
    return 1;
}

namespace {

// Applies `change` to one motor under the bench lock, with the bench brought
// up to the present first. 1 when the motor exists, else 0.
template <typename Change> int change_motor(uint32_t adapter, uint32_t channel, uint8_t node, Change change) {
    Guard g;
    advance_now();
    SimMotor *m = find_motor(adapter, channel, node);
    if (m == nullptr) {
        return 0;
    }
    change(*m);
    return 1;
}

// A null fault means "no fault".
void set_fault(sim_fault_t &target, const sim_fault_t *f) {
    if (f == nullptr) {
        sim_fault_init(&target);
    } else {
        target = *f;
    }
}

} // namespace

extern "C" int sim_bench_set_power(uint32_t adapter, uint32_t channel, uint8_t node, int on) {
    return change_motor(adapter, channel, node, [on](SimMotor &m) {
        if (!on) {
            power_off(m);
        } else if (m.state == SIM_MOTOR_OFF) {
            power_on(m, now_us());
        }
    });
}

extern "C" int sim_bench_power_cycle_node(uint32_t adapter, uint32_t channel, uint8_t node, uint32_t off_ms) {
    return change_motor(adapter, channel, node, [off_ms](SimMotor &m) { power_cycle(m, now_us(), off_ms); });
}

extern "C" int sim_bench_power_cycle_segment(uint32_t adapter, uint32_t channel, uint32_t off_ms) {
    Guard g;
    advance_now();
    if (find_segment(adapter, channel) == nullptr) {
        return 0;
    }
    const uint64_t t = now_us();
    for (SimMotor &m : g_motors) {
        if (m.used && m.cfg.adapter == adapter && m.cfg.channel == channel) {
            power_cycle(m, t, off_ms);
        }
    }
    return 1;
}

extern "C" int sim_bench_power_cycle_all(uint32_t off_ms) {
    Guard g;
    advance_now();
    const uint64_t t = now_us();
    int n = 0;
    for (SimMotor &m : g_motors) {
        if (m.used) {
            power_cycle(m, t, off_ms);
            ++n;
        }
    }
    return n > 0 ? 1 : 0;
}

extern "C" void sim_bench_set_operator(int enabled, uint32_t stop_ms, uint32_t off_ms) {
    Guard g;
    advance_now();
    g_operator = enabled != 0;
    g_operator_stop_ms = stop_ms;
    g_operator_off_ms = off_ms;
}

extern "C" int sim_bench_set_node_fault(uint32_t adapter, uint32_t channel, uint8_t node,
                                        const sim_fault_t *f) {
    return change_motor(adapter, channel, node, [f](SimMotor &m) { set_fault(m.fault, f); });
}

extern "C" int sim_bench_set_segment_fault(uint32_t adapter, uint32_t channel, const sim_fault_t *f) {
    Guard g;
    advance_now();
    SimSegment *s = ensure_segment(adapter, channel);
    if (s == nullptr) {
        return 0;
    }
    set_fault(s->fault, f);
    return 1;
}

extern "C" int sim_bench_attach_peer(uint32_t adapter, uint32_t channel, sim_peer_fn fn, void *user) {
    Guard g;
    advance_now();
    SimSegment *s = ensure_segment(adapter, channel);
    if (s == nullptr) {
        return 0;
    }
    s->peer = fn;
    s->peerUser = user;
    if (fn == nullptr) {
        // A peer without a callback still acknowledges: keep a harmless one.
        s->peer = [](void *, uint32_t, uint32_t, uint32_t, uint8_t, const uint8_t *) {};
    }
    return 1;
}

extern "C" void sim_bench_detach_peer(uint32_t adapter, uint32_t channel) {
    Guard g;
    advance_now();
    SimSegment *s = find_segment(adapter, channel);
    if (s != nullptr) {
        s->peer = nullptr;
        s->peerUser = nullptr;
    }
}

extern "C" int sim_bench_inject(uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
                                const uint8_t *data) {
    if (adapter >= SIM_MAX_ADAPTERS || channel >= SIM_MAX_CHANNELS) {
        return 0;
    }
    SegSync &y = g_sync[adapter][channel];
    SegLock lk(y.m);
    SimSegment *s = find_segment(adapter, channel);
    if (s == nullptr) {
        return 0;
    }
    SimFrame f{};
    f.id = ident & 0x7FFu;
    f.dlc = dlc > 8 ? 8 : dlc;
    if (data != nullptr) {
        memcpy(f.data, data, f.dlc);
    }
    f.ready_us = t_in_peer > 0 ? t_peer_at : now_us();
    set_frame_bits(f);
    if (!s->injected.push(f)) {
        return 0;
    }
    s->nextEventAt = 0;
    advance_segment_now(adapter, channel);
    y.cv.notify_all();
    return 1;
}

// Scenario loading needs the reset under the same lock as the build-up.
void sim_bench_lock() {
    if (t_in_peer == 0) {
        lock_all();
    }
}
void sim_bench_unlock() {
    if (t_in_peer == 0) {
        unlock_all();
    }
}
void sim_bench_set_operator_locked(int enabled, uint32_t stop_ms, uint32_t off_ms) {
    g_operator = enabled != 0;
    g_operator_stop_ms = stop_ms;
    g_operator_off_ms = off_ms;
}
