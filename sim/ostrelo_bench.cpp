// ostrelo-bench: serves the simulated motors (the default bench or a
// scenario file) on CAN interfaces, so that a program on the other end of the
// bus (ostrelo-cli, appOstrelo, anything else) finds them there. With two
// adapters joined by a cable a technician can rehearse an upgrade or check a
// harness or a production station without a motor.
#include "controlcan_internal.h"
#include "motor_protocol.h"
#include "sim_bench.h"
#include "sim_bridge.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <pthread.h>
#include <string>
#include <vector>

namespace {

const char kUsage[] =
    "usage: ostrelo-bench --can socketcan:0.0=can0,0.1=can1 [--scenario FILE] [--bitrate KBPS]\n"
    "Serves the simulated motors of the bench on SocketCAN interfaces: adapter.channel of the\n"
    "bench = interface. They answer as the built-in bench does (application, handshake,\n"
    "bootloader, power cycles, faults of the scenario); the interface sets the pace.\n"
    "  --can VALUE       socketcan:A.C=IFACE,... the bench channels to serve and where\n"
    "  --scenario FILE   a bench scenario file (default: the built-in bench)\n"
    "  --bitrate KBPS    bit rate of the bench's channels (default 1000); set the interface's\n"
    "                    own rate with ip link\n"
    "Ctrl-C (or SIGTERM) stops and prints the motors' final state; SIGUSR1 prints it meanwhile.\n";

void out(const std::string &text) {
    fputs(text.c_str(), stdout);
    fflush(stdout);
}

std::string version_text(uint32_t v) {
    char buf[32];
    snprintf(buf, sizeof buf, "%u.%u.%u.%u", v >> 24, (v >> 16) & 0xFFu, (v >> 8) & 0xFFu, v & 0xFFu);
    return buf;
}

const char *state_text(int state) {
    switch (state) {
    case SIM_MOTOR_OFF:
        return "off";
    case SIM_MOTOR_BOOT_WINDOW:
        return "boot-window";
    case SIM_MOTOR_BOOT_HELD:
        return "bootloader";
    case SIM_MOTOR_APPLICATION:
        return "application";
    default:
        return "?";
    }
}

// One row per served motor: identity, what it runs now, and the last image
// it received (size, whole or not, CRC-32).
std::string motor_table(const socketcan_map_t &map) {
    std::vector<std::vector<std::string>> rows = {
        {"CHANNEL", "INTERFACE", "NODE", "MODEL", "BRAKE", "ENCODER", "VERSION", "STATE", "IMAGE"}};
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        sim_motor_config_t m;
        if (!sim_bench_motor_config(i, &m) || m.adapter >= CONTROLCAN_MAX_ADAPTERS ||
            m.channel >= CONTROLCAN_MAX_CHANNELS || map.ifname[m.adapter][m.channel][0] == '\0') {
            continue;
        }
        sim_motor_stats_t st;
        memset(&st, 0, sizeof st);
        sim_bench_motor_stats(m.adapter, m.channel, m.node, &st);
        std::string image = "-";
        if (st.imageSize > 0) {
            char buf[64];
            snprintf(buf, sizeof buf, "%u bytes %s CRC-32 0x%08X", st.imageSize,
                     st.imageComplete ? "whole" : "incomplete",
                     sim_bench_motor_image_crc32(m.adapter, m.channel, m.node));
            image = buf;
        }
        const char *model = motor_model_for_type(m.motorType);
        rows.push_back({std::to_string(m.adapter) + "." + std::to_string(m.channel),
                        map.ifname[m.adapter][m.channel], std::to_string(m.node),
                        model ? model : ("type " + std::to_string(m.motorType)),
                        "B" + std::to_string(m.brakeType), std::to_string(m.encoderType),
                        version_text(sim_bench_motor_version(m.adapter, m.channel, m.node)),
                        state_text(sim_bench_motor_state(m.adapter, m.channel, m.node)), image});
    }
    std::vector<size_t> width(rows[0].size(), 0);
    for (const auto &r : rows) {
        for (size_t k = 0; k < r.size(); ++k) {
            width[k] = std::max(width[k], r[k].size());
        }
    }
    std::string text;
    for (const auto &r : rows) {
        std::string line;
        for (size_t k = 0; k < r.size(); ++k) {
            line += r[k];
            if (k + 1 < r.size()) {
                line += std::string(width[k] - r[k].size() + 2, ' ');
            }
        }
        text += line + "\n";
    }
    return text;
}

int usage_error(const std::string &why) {
    out("ostrelo-bench: " + why + "\n" + kUsage);
    return 2;
}

} // namespace

int main(int argc, char **argv) {
    std::string can, scenario;
    unsigned long kbps = 1000;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            out(kUsage);
            return 0;
        }
        if (i + 1 >= argc || (arg != "--can" && arg != "--scenario" && arg != "--bitrate")) {
            return usage_error("unknown argument or missing value: '" + arg + "'");
        }
        const std::string value = argv[++i];
        if (arg == "--can") {
            can = value;
        } else if (arg == "--scenario") {
            scenario = value;
        } else {
            char *end = nullptr;
            kbps = strtoul(value.c_str(), &end, 10);
            uint8_t t0, t1;
            if (value.empty() || *end != '\0' ||
                !sim_timing_for_bitrate(static_cast<uint32_t>(kbps), &t0, &t1)) {
                return usage_error("bad --bitrate '" + value + "'");
            }
        }
    }
    socketcan_map_t map;
    if (can.compare(0, 10, "socketcan:") != 0 || !socketcan_parse_map(can.c_str() + 10, &map)) {
        return usage_error(can.empty() ? "--can is required" : "bad --can '" + can + "'");
    }
    if (!sim_bench_load_scenario(scenario.empty() ? nullptr : scenario.c_str())) {
        return 2; // the bench said why
    }
    size_t channels = 0;
    for (const auto &adapter : map.ifname) {
        for (const char *name : adapter) {
            channels += name[0] != '\0' ? 1 : 0;
        }
    }
    // Motors on channels that have no interface are not served: say so.
    int served = 0;
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        sim_motor_config_t m;
        if (!sim_bench_motor_config(i, &m) || m.adapter >= CONTROLCAN_MAX_ADAPTERS ||
            m.channel >= CONTROLCAN_MAX_CHANNELS) {
            continue;
        }
        if (map.ifname[m.adapter][m.channel][0] != '\0') {
            ++served;
        } else {
            char line[160];
            snprintf(line, sizeof line,
                     "ostrelo-bench: node %u on %u.%u is not served (no interface in --can)\n", m.node,
                     m.adapter, m.channel);
            out(line);
        }
    }

    // Signals are taken by sigwait below, so every thread must block them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    if (!sim_bridge_serve_socketcan(can.c_str() + 10, static_cast<uint32_t>(kbps))) {
        return 2;
    }
    out(motor_table(map));
    out("ostrelo-bench: serving " + std::to_string(served) + " motor(s) on " + std::to_string(channels) +
        " channel(s) at " + std::to_string(kbps) + " kbit/s (" +
        (scenario.empty() ? "default bench" : scenario) + "); Ctrl-C stops\n");
    for (;;) {
        int sig = 0;
        if (sigwait(&signals, &sig) != 0) {
            continue;
        }
        if (sig == SIGUSR1) {
            out(motor_table(map));
            continue;
        }
        break;
    }
    sim_bridge_stop();
    std::string counts;
    size_t link = 0;
    for (uint32_t a = 0; a < CONTROLCAN_MAX_ADAPTERS; ++a) {
        for (uint32_t c = 0; c < CONTROLCAN_MAX_CHANNELS; ++c) {
            sim_bridge_stats_t st;
            if (map.ifname[a][c][0] == '\0' || !sim_bridge_stats(link++, &st)) {
                continue;
            }
            char line[200];
            snprintf(line, sizeof line,
                     "ostrelo-bench: %u.%u %s: %llu frame(s) to the motors, %llu from them; %llu and %llu "
                     "dropped\n",
                     a, c, map.ifname[a][c], static_cast<unsigned long long>(st.toBench),
                     static_cast<unsigned long long>(st.toBus),
                     static_cast<unsigned long long>(st.benchRefused),
                     static_cast<unsigned long long>(st.busRefused));
            counts += line;
        }
    }
    out(motor_table(map) + counts + "ostrelo-bench: stopped\n");
    return 0;
}
