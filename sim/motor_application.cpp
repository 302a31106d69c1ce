// The motor's running application: its answers to the identity queries and
// the boot-entry handshake on identifier = node-ID, and the simulated
// operator who switches a motor off and on while stop commands keep coming.
#include "sim_bench.h"
#include "sim_internal.h"

#include "motor_protocol.h"

using namespace simbench;

namespace simbench {

bool g_operator = false;
uint32_t g_operator_stop_ms = SIM_DEFAULT_OPERATOR_STOP_MS;
uint32_t g_operator_off_ms = SIM_DEFAULT_OPERATOR_OFF_MS;

namespace {

// A stop command counts as "kept up" while the gaps between two stay below this.
const uint64_t kOperatorGapUs = 500000;

// Application side: the motor's own query protocol on identifier = node-ID.
void app_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    if (f.id != m.cfg.node) {
        return;
    }
    uint8_t r[8];
    const uint8_t shorten = fault.shortDlc ? 1 : 0;
    switch (motor_app_request_kind(f.data, f.dlc)) {
    case MOTOR_REQ_TYPE:
        sim_motor_send(
            m, t, m.cfg.node,
            static_cast<uint8_t>(motor_build_type_reply(r, m.cfg.motorType, m.cfg.brakeType) - shorten), r);
        break;
    case MOTOR_REQ_VERSION:
        sim_motor_send(m, t, m.cfg.node,
                       static_cast<uint8_t>(motor_build_version_reply(r, m.version) - shorten), r);
        break;
    case MOTOR_REQ_ENCODER:
        sim_motor_send(m, t, m.cfg.node,
                       static_cast<uint8_t>(motor_build_encoder_reply(r, m.cfg.encoderType) - shorten), r);
        break;
    case MOTOR_REQ_ENTRY_READ:
        sim_motor_send(m, t, m.cfg.node, motor_build_entry_read_reply(r, m.a3Value), r);
        break;
    case MOTOR_REQ_ENTRY_WRITE: {
        const int step = motor_entry_write_step(f.data, f.dlc);
        if (step == 1) {
            m.armed = true;
        } else if (m.armed && step == 2) {
            // The application hands over to its bootloader and asks it to stay.
            m.armed = false;
            sim_motor_restart(m, t, SIM_MOTOR_BOOT_HELD);
        } else {
            m.armed = false;
        }
        break;
    }
    default:
        break;
    }
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

} // namespace

void enter_application(SimMotor &m) {
    m.state = SIM_MOTOR_APPLICATION;
    m.version = m.appVersion;
}

// A frame for the running application: the simulated operator sees it
// first (a stop command kept up makes them switch the motor off and on),
// then the application answers it, unless the motor just went off.
void application_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    operator_watch(m, f, t);
    if (m.state == SIM_MOTOR_APPLICATION) {
        app_receive(m, f, t, fault);
    }
}

} // namespace simbench

extern "C" void sim_bench_set_operator(int enabled, uint32_t stop_ms, uint32_t off_ms) {
    Guard g;
    advance_now();
    g_operator = enabled != 0;
    g_operator_stop_ms = stop_ms;
    g_operator_off_ms = off_ms;
}

void sim_bench_set_operator_locked(int enabled, uint32_t stop_ms, uint32_t off_ms) {
    g_operator = enabled != 0;
    g_operator_stop_ms = stop_ms;
    g_operator_off_ms = off_ms;
}
