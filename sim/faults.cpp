// Fault knobs of the bench: frame loss drawn from a seeded generator per
// segment, refused transmits, receive errors, late replies, wrong CRC,
// ignored stop or start commands, silent nodes, short replies, a slow
// application start and an odd answer (or none) to a read of the image; a motor's
// own settings or, where unset, its segment's.
#include "sim_bench.h"
#include "sim_internal.h"

#include <string.h>

using namespace simbench;

namespace simbench {

uint32_t g_seed = 1;
uint32_t g_no_ack_ms = SIM_NO_ACK_MS_DEFAULT;

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
        f.abortTimes = s.abortTimes;
    }
    if (f.appStartMs == 0) {
        f.appStartMs = s.appStartMs;
    }
    if (f.probeAbortCode == 0) {
        f.probeAbortCode = s.probeAbortCode;
    }
    f.wrongCrc = n.wrongCrc || s.wrongCrc;
    f.ignoreStop = n.ignoreStop || s.ignoreStop;
    f.ignoreStart = n.ignoreStart || s.ignoreStart;
    f.silent = n.silent || s.silent;
    f.shortDlc = n.shortDlc || s.shortDlc;
    f.probeSilent = n.probeSilent || s.probeSilent;
    return f;
}

// A null fault means "no fault".
void set_fault(sim_fault_t &target, const sim_fault_t *f) {
    if (f == nullptr) {
        sim_fault_init(&target);
    } else {
        target = *f;
    }
}

} // namespace simbench

extern "C" void sim_fault_init(sim_fault_t *f) {
    if (f != nullptr) {
        memset(f, 0, sizeof *f);
    }
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
