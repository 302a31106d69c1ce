// The bench as a whole: its adapters, segments and motors, the lock over all
// of them, and setting it up or back.
#include "sim_bench.h"
#include "sim_internal.h"

#include <stdlib.h>

using namespace simbench;

namespace simbench {

SimAdapter g_adapters[SIM_MAX_ADAPTERS];
SimMotor g_motors[SIM_MAX_MOTORS];

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
            s.trafficCount = 0;
            s.errorBurst = 0;
            s.txErrors = 0;
            s.busOffUntil = 0;
        }
    }
    g_operator = false;
    g_operator_stop_ms = SIM_DEFAULT_OPERATOR_STOP_MS;
    g_operator_off_ms = SIM_DEFAULT_OPERATOR_OFF_MS;
    g_no_ack_ms = SIM_NO_ACK_MS_DEFAULT;
}

} // namespace simbench

extern "C" void sim_bench_reset(void) {
    Guard g;
    reset_locked();
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
