// The motor as a whole: power, restarts and timers, and where a frame goes
// (its running application or its bootloader); the motors' public calls.
#include "sim_bench.h"
#include "sim_internal.h"

#include "motor_protocol.h"

#include <string.h>

using namespace simbench;

namespace simbench {

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

bool motor_powered(const SimMotor &m) {
    return m.used && m.state != SIM_MOTOR_OFF;
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
        if (m.hasApp && m.cfg.bootMs > 0) {
            // The bootloader hands over; the application takes its time to come up.
            m.restartPending = true;
            m.restartAt = t + static_cast<uint64_t>(m.cfg.bootMs) * 1000u;
            m.restartTarget = SIM_MOTOR_APPLICATION;
        } else if (m.hasApp) {
            enter_application(m);
        } else {
            m.state = SIM_MOTOR_BOOT_HELD;
        }
    }
}

bool is_stop_command(const SimMotor &m, const SimFrame &f) {
    return f.id == motor_sdo_request_id(m.cfg.node) &&
           motor_is_program_control(f.data, f.dlc, MOTOR_PROGRAM_STOP);
}

void motor_receive(SimMotor &m, const SimFrame &f, uint64_t t) {
    if (!motor_powered(m) || m.restartPending || f.rtr || f.ext) {
        return;
    }
    const sim_fault_t fault = effective_fault(m);
    SimSegment &s = segment_of(m);
    const bool mine = f.id == m.cfg.node || f.id == motor_sdo_request_id(m.cfg.node);
    if (!mine) {
        return;
    }
    // The segment's loss was drawn once already, on the bus; here only the
    // node's own.
    if (draw(s, m.fault.dropFraction)) {
        s.stats.faultDrops++;
        return;
    }
    m.stats.framesReceived++;
    if (m.state == SIM_MOTOR_APPLICATION) {
        application_receive(m, f, t, fault);
        return;
    }
    bootloader_receive(m, f, t, fault);
}

} // namespace simbench

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

uint32_t sim_motor_app_start_ms(const SimMotor &m) {
    const uint32_t slow = effective_fault(m).appStartMs;
    if (slow != 0) {
        return slow;
    }
    return m.cfg.bootMs != 0 ? m.cfg.bootMs : SIM_DEFAULT_RESTART_MS;
}

void sim_motor_restart(SimMotor &m, uint64_t t, int target) {
    m.restartPending = true;
    const uint32_t ms = target == SIM_MOTOR_APPLICATION ? sim_motor_app_start_ms(m) : SIM_DEFAULT_RESTART_MS;
    m.restartAt = t + ms * 1000ull;
    m.restartTarget = target;
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
