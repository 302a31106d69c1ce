// The buses of the bench: one CAN segment per adapter channel, its lock, the
// event clock that moves frames over it at their exact bit times, and the
// peers and injected frames that share it with the motors.
#include "sim_bench.h"
#include "sim_internal.h"

#include "ostrelo_time.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string.h>

using namespace simbench;

namespace simbench {

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

int g_timed = 1;
bool g_manual_clock = false;
uint64_t g_manual_now = 0;

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

// Somebody on the bus acknowledges frames of the adapter.
bool segment_acknowledges(uint32_t adapter, uint32_t channel, const SimSegment &s) {
    if (!rate_matches(s)) {
        return false;
    }
    if (s.peer != nullptr || s.trafficCount > 0) {
        return true; // a test peer, or the nodes that send traffic
    }
    for (const SimMotor &m : g_motors) {
        // The segment first: another segment's motors change under that segment's lock only.
        if (m.used && m.cfg.adapter == adapter && m.cfg.channel == channel && motor_powered(m)) {
            return true;
        }
    }
    return false;
}

bool bus_off(const SimSegment &s, uint64_t t) {
    return t < s.busOffUntil;
}

void store_for_program(SimSegment &s, const SimFrame &f, uint64_t t) {
    if (!s.started || !rate_matches(s) || bus_off(s, t)) {
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

enum Source { SRC_NONE, SRC_ADAPTER, SRC_INJECTED, SRC_MOTOR, SRC_TRAFFIC };

void set_frame_bits(SimFrame &f) {
    f.bits = sim_can_frame_bits(f.id, f.ext, f.rtr, f.dlc, f.data);
}

uint32_t bits_duration_us(const SimSegment &s, uint32_t bits) {
    return g_timed ? sim_can_frame_duration_us(bits, segment_kbps(s)) : 0;
}

uint32_t frame_duration_us(const SimSegment &s, const SimFrame &f) {
    return bits_duration_us(s, f.bits);
}

// What an error frame costs the bus: the bits of the frame up to the error
// (half of them, on average), then the 6-bit error flag, its 8-bit delimiter
// and the 3-bit intermission.
uint32_t error_frame_bits(const SimFrame &f) {
    return f.bits / 2u + 6u + 8u + 3u;
}

// The next frame of another node's periodic traffic: its data counts frames.
SimFrame traffic_frame(const SimTraffic &tr) {
    SimFrame f{};
    f.id = tr.id;
    f.dlc = tr.dlc;
    for (uint8_t i = 0; i < tr.dlc; ++i) {
        f.data[i] = static_cast<uint8_t>(tr.count >> (8u * (i % 4u)));
    }
    f.ready_us = tr.nextAt;
    set_frame_bits(f);
    return f;
}

// The adapter channel leaves the bus until `until`: what it had queued is
// lost, and it starts again with clear error counters.
void go_bus_off(SimSegment &s, uint64_t until) {
    s.busOffUntil = until;
    s.stats.busOffs++;
    s.stats.busOffLost += s.txq.count;
    s.txq.clear();
    s.txErrors = 0;
}

// Runs segment (ai, ci) up to time T; returns the time of its next event
// after T (a frame completing on the bus or a motor timer), UINT64_MAX for none.
uint64_t advance_segment(uint32_t ai, uint32_t ci, uint64_t T) {
    SimSegment &s = g_adapters[ai].seg[ci];
    // The segment's motors, looked up once: every event below looks at them.
    SimMotor *here[SIM_MAX_MOTORS];
    size_t count = 0;
    for (SimMotor &m : g_motors) {
        if (m.used && m.cfg.adapter == ai && m.cfg.channel == ci) {
            here[count++] = &m;
        }
    }
    SimMotor *const *const mine = here;
    const size_t motors = count;
    for (int guard = 0; guard < 100000; ++guard) {
        // Earliest motor timer.
        SimMotor *tm = nullptr;
        uint64_t tmAt = UINT64_MAX;
        for (size_t k = 0; k < motors; ++k) {
            SimMotor &m = *mine[k];
            const uint64_t at = motor_next_timer(m);
            if (at < tmAt) {
                tmAt = at;
                tm = &m;
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
        for (uint32_t i = 0; i < s.trafficCount; ++i) {
            minReady = s.traffic[i].nextAt < minReady ? s.traffic[i].nextAt : minReady;
        }
        for (size_t k = 0; k < motors; ++k) {
            const SimMotor &m = *mine[k];
            if (!m.out.empty() && m.out.front().ready_us < minReady) {
                minReady = m.out.front().ready_us;
            }
        }
        Source src = SRC_NONE;
        SimMotor *srcMotor = nullptr;
        SimTraffic *srcTraffic = nullptr;
        SimFrame trafficFrame{};
        bool hit = false; // an error frame destroys this one
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
            for (size_t k = 0; k < motors; ++k) {
                SimMotor &m = *mine[k];
                if (!m.out.empty() && m.out.front().ready_us <= start && m.out.front().id < bestId) {
                    src = SRC_MOTOR;
                    srcMotor = &m;
                    bestId = m.out.front().id;
                }
            }
            for (uint32_t i = 0; i < s.trafficCount; ++i) {
                if (s.traffic[i].nextAt <= start && s.traffic[i].id < bestId) {
                    src = SRC_TRAFFIC;
                    srcTraffic = &s.traffic[i];
                    bestId = srcTraffic->id;
                }
            }
            if (src == SRC_TRAFFIC) {
                trafficFrame = traffic_frame(*srcTraffic);
            }
            const SimFrame &f = src == SRC_ADAPTER    ? s.txq.front()
                                : src == SRC_INJECTED ? s.injected.front()
                                : src == SRC_TRAFFIC  ? trafficFrame
                                                      : srcMotor->out.front();
            hit = s.errorBurst > 0;
            end = start + (hit ? bits_duration_us(s, error_frame_bits(f)) : frame_duration_us(s, f));
        }
        if (tmAt <= end && tmAt <= T) {
            motor_fire_timer(*tm, tmAt);
            continue;
        }
        if (src == SRC_NONE || end > T) {
            return tmAt < end ? tmAt : end;
        }
        s.stats.busBusyUs += end - start;
        s.busFree = end;
        if (hit) {
            // The frame stays first in its sender's queue and goes again.
            s.errorBurst--;
            s.stats.errorFrames++;
            if (src == SRC_ADAPTER) {
                s.txErrors += 8;
                if (s.txErrors > 255) {
                    go_bus_off(s, end + bits_duration_us(s, 128u * 11u));
                }
            }
            continue;
        }
        SimFrame f;
        if (src == SRC_ADAPTER) {
            s.txq.pop(&f);
            s.txErrors = s.txErrors > 0 ? s.txErrors - 1 : 0;
        } else if (src == SRC_INJECTED) {
            s.injected.pop(&f);
        } else if (src == SRC_TRAFFIC) {
            f = trafficFrame;
            srcTraffic->count++;
            // Its next frame is due a period later; one that the bus held up
            // beyond that goes as soon as it can.
            srcTraffic->nextAt += srcTraffic->periodUs;
            srcTraffic->nextAt = srcTraffic->nextAt < end ? end : srcTraffic->nextAt;
            s.stats.trafficFrames++;
        } else {
            srcMotor->out.pop(&f);
        }
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
        if (src == SRC_INJECTED || src == SRC_TRAFFIC) {
            store_for_program(s, f, end);
        }
        for (size_t k = 0; k < motors; ++k) {
            motor_receive(*mine[k], f, end);
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
    for (uint32_t i = 0; i < s.trafficCount; ++i) {
        at = s.traffic[i].nextAt < at ? s.traffic[i].nextAt : at;
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
    return advance_segment_at(ai, ci, now_us());
}

uint64_t advance_segment_at(uint32_t ai, uint32_t ci, uint64_t t) {
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

} // namespace simbench

extern "C" void sim_bench_set_timing(int timed) {
    Guard g;
    advance_now();
    g_timed = timed ? 1 : 0;
}

extern "C" int sim_bench_timing(void) {
    Guard g;
    return g_timed;
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

extern "C" int sim_bench_add_traffic(uint32_t adapter, uint32_t channel, uint32_t ident, uint32_t period_ms,
                                     uint8_t dlc) {
    Guard g;
    advance_now();
    SimSegment *s = ensure_segment(adapter, channel);
    if (s == nullptr || ident > 0x7FFu || period_ms == 0 || dlc > 8 || s->trafficCount >= SIM_MAX_TRAFFIC) {
        return 0;
    }
    SimTraffic &tr = s->traffic[s->trafficCount];
    tr = SimTraffic();
    tr.id = ident;
    tr.dlc = dlc;
    tr.periodUs = static_cast<uint64_t>(period_ms) * 1000u;
    // The nodes were not switched on together: their periods start apart.
    tr.nextAt = now_us() + tr.periodUs * (s->trafficCount % 8u) / 8u;
    s->trafficCount++;
    return 1;
}

namespace {
// Applies `change` to an existing segment under the bench lock, with the
// bench brought up to the present first. 1 when the segment exists, else 0.
template <typename Change> int change_segment(uint32_t adapter, uint32_t channel, Change change) {
    Guard g;
    advance_now();
    SimSegment *s = find_segment(adapter, channel);
    if (s == nullptr) {
        return 0;
    }
    change(*s);
    return 1;
}
} // namespace

extern "C" int sim_bench_error_frames(uint32_t adapter, uint32_t channel, uint32_t count) {
    return change_segment(adapter, channel, [count](SimSegment &s) { s.errorBurst = count; });
}

extern "C" int sim_bench_bus_off(uint32_t adapter, uint32_t channel, uint32_t ms) {
    return change_segment(adapter, channel, [ms](SimSegment &s) {
        go_bus_off(s, now_us() + static_cast<uint64_t>(ms) * 1000u);
    });
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

// ---- bit timing ----

namespace {
// Bit writer that counts the stuff bits a CAN controller inserts: after five
// equal bits in a row (stuff bits included) the opposite bit follows.
struct StuffCounter {
    int last = -1;
    int run = 0;
    uint32_t bits = 0;
    uint32_t stuffed = 0;
    uint16_t crc = 0; // CAN CRC-15 over the unstuffed bits
    bool crc_on = true;

    void raw(int bit) {
        if (bit == last) {
            ++run;
        } else {
            last = bit;
            run = 1;
        }
        ++bits;
        if (run == 5) {
            ++stuffed;
            last = !bit;
            run = 1;
        }
    }
    void put(int bit) {
        if (crc_on) {
            const int top = (crc >> 14) & 1;
            crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
            if (top ^ bit) {
                crc ^= 0x4599;
            }
        }
        raw(bit);
    }
    void put_field(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            put((value >> i) & 1u);
        }
    }
    // A data byte, most significant bit first: the same as put_field(b, 8),
    // by table (the bench works out every frame's length on the sender's
    // thread, and the data bytes are most of a frame).
    void put_byte(uint8_t b);
};

// After a first bit a stuff counter is in one of eight states: the last bit
// (0, 1) and how many equal bits end with it (1 to 4).
struct ByteTables {
    uint16_t crc[256];       // CRC-15 of a byte shifted through from 0
    uint8_t next[8][256];    // state after a byte
    uint8_t stuffed[8][256]; // stuff bits inserted within it
    ByteTables() {
        for (int i = 0; i < 256; ++i) {
            StuffCounter c;
            c.crc = static_cast<uint16_t>(i << 7);
            for (int k = 0; k < 8; ++k) {
                const int top = (c.crc >> 14) & 1;
                c.crc = static_cast<uint16_t>((c.crc << 1) & 0x7FFF);
                if (top) {
                    c.crc ^= 0x4599;
                }
            }
            crc[i] = c.crc;
            for (int state = 0; state < 8; ++state) {
                StuffCounter r;
                r.last = state / 4;
                r.run = state % 4 + 1;
                for (int k = 7; k >= 0; --k) {
                    r.raw((i >> k) & 1);
                }
                next[state][i] = static_cast<uint8_t>(r.last * 4 + r.run - 1);
                stuffed[state][i] = static_cast<uint8_t>(r.stuffed);
            }
        }
    }
};

void StuffCounter::put_byte(uint8_t b) {
    static const ByteTables t;
    if (last < 0) {
        put_field(b, 8);
        return;
    }
    if (crc_on) {
        crc = static_cast<uint16_t>(((crc << 8) & 0x7FFF) ^ t.crc[((crc >> 7) ^ b) & 0xFF]);
    }
    const int state = last * 4 + run - 1;
    stuffed += t.stuffed[state][b];
    const int after = t.next[state][b];
    last = after / 4;
    run = after % 4 + 1;
    bits += 8;
}
} // namespace

extern "C" uint32_t sim_can_frame_bits(uint32_t ident, int extended, int remote, uint8_t dlc,
                                       const uint8_t *data) {
    StuffCounter s;
    const uint8_t dlc4 = dlc > 15 ? 15 : dlc;
    const uint8_t nbytes = remote ? 0 : (dlc4 > 8 ? 8 : dlc4);
    s.put(0); // start of frame
    if (extended) {
        s.put_field((ident >> 18) & 0x7FFu, 11);
        s.put(1); // SRR
        s.put(1); // IDE
        s.put_field(ident & 0x3FFFFu, 18);
        s.put(remote ? 1 : 0);
        s.put(0); // r1
        s.put(0); // r0
    } else {
        s.put_field(ident & 0x7FFu, 11);
        s.put(remote ? 1 : 0);
        s.put(0); // IDE
        s.put(0); // r0
    }
    s.put_field(dlc4, 4);
    for (uint8_t i = 0; i < nbytes; ++i) {
        s.put_byte(data ? data[i] : 0u);
    }
    s.crc_on = false;
    const uint16_t crc = s.crc;
    s.put_field(crc, 15);
    // CRC delimiter, ACK slot, ACK delimiter, end of frame, intermission: not stuffed.
    return s.bits + s.stuffed + 1 + 1 + 1 + 7 + 3;
}

extern "C" uint32_t sim_can_frame_duration_us(uint32_t bits, uint32_t kbps) {
    if (kbps == 0) {
        return 0;
    }
    // bits / (kbps * 1000) seconds, rounded up to whole microseconds.
    const uint64_t num = static_cast<uint64_t>(bits) * 1000u;
    return static_cast<uint32_t>((num + kbps - 1) / kbps);
}

namespace {
struct TimingRow {
    uint32_t kbps;
    uint8_t t0;
    uint8_t t1;
};
const TimingRow kTimingRows[] = {
    {10, 0x31, 0x1C},  {20, 0x18, 0x1C},   {33, 0x09, 0x6F},  {40, 0x87, 0xFF},  {50, 0x09, 0x1C},
    {66, 0x04, 0x6F},  {80, 0x83, 0xFF},   {83, 0x03, 0x6F},  {100, 0x04, 0x1C}, {125, 0x03, 0x1C},
    {200, 0x81, 0xFA}, {250, 0x01, 0x1C},  {400, 0x80, 0xFA}, {500, 0x00, 0x1C}, {666, 0x80, 0xB6},
    {800, 0x00, 0x16}, {1000, 0x00, 0x14},
};
} // namespace

extern "C" int sim_timing_for_bitrate(uint32_t kbps, uint8_t *timing0, uint8_t *timing1) {
    for (const TimingRow &r : kTimingRows) {
        if (r.kbps == kbps && timing0 != nullptr && timing1 != nullptr) {
            *timing0 = r.t0;
            *timing1 = r.t1;
            return 1;
        }
    }
    return 0;
}

extern "C" uint32_t sim_bitrate_from_timing(uint8_t timing0, uint8_t timing1) {
    for (const TimingRow &r : kTimingRows) {
        if (r.t0 == timing0 && r.t1 == timing1) {
            return r.kbps;
        }
    }
    return 0;
}
