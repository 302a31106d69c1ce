// The bench served on another transport: two threads per link move frames
// between a bench adapter channel and a bus channel.
#include "controlcan_internal.h"
#include "ostrelo_log.h"
#include "sim_bench.h"
#include "sim_bridge.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

constexpr DWORD kType = VCI_USBCAN2;
constexpr DWORD kError = 0xFFFFFFFFu;
constexpr UINT kBatch = 128;
// How long one receive waits before the thread looks at the stop flag; a
// stop wakes it sooner where the transport can be woken.
constexpr int32_t kWaitMs = 200;

struct Counters {
    std::atomic<uint64_t> toBench{0}, toBus{0}, benchRefused{0}, busRefused{0};
};

struct Bridge {
    std::mutex mutex; // start and stop
    const ControlCanTransport *bus = nullptr;
    std::vector<sim_bridge_link_t> links;
    Counters counters[SIM_BRIDGE_MAX_LINKS];
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
} g_bridge;

void print_line(ostrelo_log_level_t level, const char *line) {
    ostrelo_log_text(level, line);
}

void pause_after_error() {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

// One direction of one link: takes what `from` received on its channel and
// sends it on `to`'s channel, all of it in one call; a frame refused is
// counted and the ones after it are sent on.
void pump(const ControlCanTransport *from, DWORD fromAdapter, DWORD fromChannel,
          const ControlCanTransport *to, DWORD toAdapter, DWORD toChannel, std::atomic<uint64_t> *moved,
          std::atomic<uint64_t> *refused) {
    const int32_t wait = from->WakeReceive != nullptr ? kWaitMs : 10;
    VCI_CAN_OBJ frames[kBatch];
    while (!g_bridge.stop.load()) {
        const DWORD n = from->Receive(kType, fromAdapter, fromChannel, frames, kBatch, wait);
        if (n == kError) {
            pause_after_error(); // an interface that is down, for instance
            continue;
        }
        const DWORD got = n < kBatch ? n : kBatch;
        for (DWORD i = 0; i < got;) {
            const DWORD sent = to->Transmit(kType, toAdapter, toChannel, &frames[i], got - i);
            const DWORD taken = sent < got - i ? sent : got - i;
            moved->fetch_add(taken);
            i += taken;
            if (i < got) {
                refused->fetch_add(1);
                ++i;
            }
        }
    }
}

bool bring_up(const ControlCanTransport *t, const char *side, DWORD adapter, DWORD channel,
              VCI_INIT_CONFIG *cfg) {
    if (t->OpenDevice(kType, adapter, 0) == 1 && t->InitCAN(kType, adapter, channel, cfg) == 1 &&
        t->StartCAN(kType, adapter, channel) == 1) {
        return true;
    }
    char line[160];
    snprintf(line, sizeof line, "[ERROR] bench bridge: %s channel %u.%u cannot be brought up\n", side,
             static_cast<unsigned>(adapter), static_cast<unsigned>(channel));
    print_line(OSTRELO_LOG_ERROR, line);
    return false;
}

void close_all_locked() {
    const ControlCanTransport *bench = sim_controlcan_transport();
    for (const sim_bridge_link_t &l : g_bridge.links) {
        bench->CloseDevice(kType, l.adapter);
        if (g_bridge.bus != nullptr) {
            g_bridge.bus->CloseDevice(kType, l.busAdapter);
        }
    }
}

void stop_locked() {
    g_bridge.stop = true;
    const ControlCanTransport *bench = sim_controlcan_transport();
    for (const sim_bridge_link_t &l : g_bridge.links) {
        bench->WakeReceive(kType, l.adapter, l.channel);
        if (g_bridge.bus != nullptr && g_bridge.bus->WakeReceive != nullptr) {
            g_bridge.bus->WakeReceive(kType, l.busAdapter, l.busChannel);
        }
    }
    for (std::thread &t : g_bridge.threads) {
        t.join();
    }
    g_bridge.threads.clear();
    close_all_locked();
}

} // namespace

extern "C" int sim_bridge_start(const ControlCanTransport *bus, const sim_bridge_link_t *links, size_t count,
                                uint32_t kbps) {
    std::lock_guard<std::mutex> lock(g_bridge.mutex);
    if (!g_bridge.threads.empty()) {
        print_line(OSTRELO_LOG_ERROR, "[ERROR] bench bridge: already running\n");
        return 0;
    }
    VCI_INIT_CONFIG cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.AccCode = 0x80000008u;
    cfg.AccMask = 0xFFFFFFFFu;
    cfg.Filter = 1;
    if (bus == nullptr || bus->Receive == nullptr || bus->Transmit == nullptr || links == nullptr ||
        count == 0 || count > SIM_BRIDGE_MAX_LINKS ||
        !sim_timing_for_bitrate(kbps, &cfg.Timing0, &cfg.Timing1)) {
        print_line(OSTRELO_LOG_ERROR,
                   "[ERROR] bench bridge: no bus, no links or a bit rate the adapter does not have\n");
        return 0;
    }
    sim_bench_set_timing(0);
    g_bridge.bus = bus;
    g_bridge.links.assign(links, links + count);
    g_bridge.stop = false;
    const ControlCanTransport *bench = sim_controlcan_transport();
    bool ok = true;
    for (size_t i = 0; i < count; ++i) {
        const sim_bridge_link_t &l = links[i];
        ok = bring_up(bench, "the bench's", l.adapter, l.channel, &cfg) && ok;
        ok = bring_up(bus, "bus", l.busAdapter, l.busChannel, &cfg) && ok;
        Counters &c = g_bridge.counters[i];
        c.toBench = 0;
        c.toBus = 0;
        c.benchRefused = 0;
        c.busRefused = 0;
    }
    if (!ok) {
        close_all_locked();
        return 0;
    }
    static const bool stopAtExit =
        std::atexit(sim_bridge_stop) == 0; // threads still running would abort the exit
    (void)stopAtExit;
    for (size_t i = 0; i < count; ++i) {
        const sim_bridge_link_t l = links[i];
        Counters &c = g_bridge.counters[i];
        g_bridge.threads.emplace_back(pump, bus, l.busAdapter, l.busChannel, bench, l.adapter, l.channel,
                                      &c.toBench, &c.benchRefused);
        g_bridge.threads.emplace_back(pump, bench, l.adapter, l.channel, bus, l.busAdapter, l.busChannel,
                                      &c.toBus, &c.busRefused);
    }
    return 1;
}

extern "C" int sim_bridge_serve_socketcan(const char *map, uint32_t kbps) {
    socketcan_map_t parsed;
    const ControlCanTransport *bus = controlcan_socketcan_peer(map);
    if (bus == nullptr || !socketcan_parse_map(map, &parsed)) {
        return 0;
    }
    std::vector<sim_bridge_link_t> links;
    for (uint32_t a = 0; a < CONTROLCAN_MAX_ADAPTERS; ++a) {
        for (uint32_t c = 0; c < CONTROLCAN_MAX_CHANNELS; ++c) {
            if (parsed.ifname[a][c][0] != '\0') {
                links.push_back({a, c, a, c});
            }
        }
    }
    return sim_bridge_start(bus, links.data(), links.size(), kbps);
}

extern "C" void sim_bridge_stop(void) {
    std::lock_guard<std::mutex> lock(g_bridge.mutex);
    if (!g_bridge.threads.empty()) {
        stop_locked();
    }
}

extern "C" int sim_bridge_stats(size_t index, sim_bridge_stats_t *out) {
    std::lock_guard<std::mutex> lock(g_bridge.mutex);
    if (out == nullptr || index >= g_bridge.links.size() || index >= SIM_BRIDGE_MAX_LINKS) {
        return 0;
    }
    const Counters &c = g_bridge.counters[index];
    out->toBench = c.toBench.load();
    out->toBus = c.toBus.load();
    out->benchRefused = c.benchRefused.load();
    out->busRefused = c.busRefused.load();
    return 1;
}
