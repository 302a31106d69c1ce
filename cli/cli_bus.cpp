// Channels and motors for ostrelo-cli: probing the adapters, bringing
// channels up, saying what they are, scanning each channel in its own thread.
#include "cli.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ControlCAN.h"
#include "can_backend_zhcx.h"
#include "ostrelo_log.h"
#ifndef _WIN32
#include "controlcan_transport.h"
#endif

namespace {

constexpr uint16_t kQueueSize = 8;
// The quick pass asks each node twice, so that one lost frame does not hide
// a motor, and more while late replies show that the node is there (a busy
// machine can miss the short wait). How long the sweep of silent node ids
// listens after its last request (and how long a late motor then gets for
// each answer, three times at most), and how long a node that answered as a
// bootloader gets to answer the confirming read.
constexpr uint32_t kQuickAttempts = 2;
constexpr uint32_t kAttemptsWhileLate = 5;
constexpr uint32_t kSweepListenMs = 250;
constexpr uint32_t kLateAttempts = 3;

std::string board_text(const char *field, size_t size) {
    return std::string(field, strnlen(field, size));
}

// The adapter's channel count, or 0 when the adapter is not there.
uint32_t adapter_channels(uint32_t index, ChannelInfo *info) {
    VCI_BOARD_INFO board;
    const uint32_t count = zhcx_probe_adapter(kAdapterType, index, &board);
    if (count > 0) {
        info->hwType = board_text(board.str_hw_Type, sizeof(board.str_hw_Type));
        info->serial = board_text(board.str_Serial_Num, sizeof(board.str_Serial_Num));
    }
    return count;
}

std::vector<ChannelInfo> offered_channels() {
    client_api_set_backend_zhcx();
    std::vector<ChannelInfo> out;
    for (int a = 0; a < kMaxAdapters; ++a) {
        ChannelInfo info;
        const uint32_t n = adapter_channels(static_cast<uint32_t>(a), &info);
        for (uint32_t c = 0; c < n; ++c) {
            info.ref = {static_cast<uint32_t>(a), c};
            out.push_back(info);
        }
    }
    return out;
}

client_channel_id_t bring_up(ChannelRef r, uint16_t bitrate) {
    const LogScope scope(std::to_string(r.adapter) + "." + std::to_string(r.channel));
    return client_api_manager_init_channel(kAdapterType, r.adapter, r.channel, bitrate, kQueueSize,
                                           kQueueSize);
}

} // namespace

std::vector<ChannelInfo> probe_channels(uint16_t bitrate) {
    std::vector<ChannelInfo> list = offered_channels();
    for (ChannelInfo &c : list) {
        const client_channel_id_t id = bring_up(c.ref, bitrate);
        c.up = !client_channel_id_is_invalid(&id);
    }
    release_channels();
    return list;
}

bool bring_up_channels(const Options &o, std::vector<client_channel_id_t> *up) {
    std::vector<ChannelRef> wanted = o.channels;
    if (o.allChannels) {
        wanted.clear();
        for (const ChannelInfo &c : offered_channels()) {
            wanted.push_back(c.ref);
        }
    } else {
        client_api_set_backend_zhcx();
    }
    std::string failed;
    for (const ChannelRef &r : wanted) {
        const client_channel_id_t id = bring_up(r, o.bitrate);
        if (client_channel_id_is_invalid(&id)) {
            failed +=
                (failed.empty() ? "" : ", ") + std::to_string(r.adapter) + "." + std::to_string(r.channel);
            continue;
        }
        up->push_back(id);
    }
    if (!o.allChannels && !failed.empty()) {
        err_line("ostrelo-cli: channel " + failed + " cannot be brought up at " + std::to_string(o.bitrate) +
                 " kbit/s (see ostrelo-cli channels)");
        return false;
    }
    if (up->empty()) {
        err_line("ostrelo-cli: no channel is up (transport " + transport_text() +
                 "; see ostrelo-cli channels)");
        return false;
    }
    return say_if_simulated(o, describe_bus(*up).simulated);
}

bool say_if_simulated(const Options &o, bool simulated) {
    if (!simulated) {
        return true;
    }
    const char *can = getenv("OSTRELO_CAN");
    const std::string what =
        "the simulated motor bench, not CAN hardware (OSTRELO_CAN" +
        (can == nullptr || can[0] == '\0' ? std::string(" is unset") : "=" + std::string(can)) + ")";
    if (o.requireHardware) {
        err_line("ostrelo-cli: --require-hardware: the channels are on " + what);
        return false;
    }
    err_line("ostrelo-cli: running on " + what);
    return true;
}

BusInfo describe_bus(const std::vector<client_channel_id_t> &channels) {
    BusInfo bus;
    std::vector<uint32_t> adapters;
    for (const client_channel_id_t &c : channels) {
        if (std::find(adapters.begin(), adapters.end(), c.deviceIndex) == adapters.end()) {
            adapters.push_back(c.deviceIndex);
        }
    }
    std::string boards;
    for (uint32_t a : adapters) {
        VCI_BOARD_INFO board;
        memset(&board, 0, sizeof(board));
        if (VCI_ReadBoardInfo(kAdapterType, a, &board) != 1) {
            continue;
        }
        const std::string hw = board_text(board.str_hw_Type, sizeof(board.str_hw_Type));
        // The Windows stand-in DLL is the bench too; its boards say so.
        bus.simulated = bus.simulated || hw.find("(simulated)") != std::string::npos;
        boards += (boards.empty() ? "" : ", ") + hw + " " +
                  board_text(board.str_Serial_Num, sizeof(board.str_Serial_Num));
    }
#ifndef _WIN32
    const ControlCanTransport *t = controlcan_get_transport();
    const std::string name = t != nullptr && t->name != nullptr ? t->name : "";
    bus.simulated = name == "sim";
    if (name == "socketcan") {
        // OSTRELO_CAN=socketcan:0.0=can0,0.1=can1: the interfaces of the channels in use.
        const std::string value = transport_text();
        std::string names;
        for (const client_channel_id_t &c : channels) {
            const std::string ref = channel_text(c) + "=";
            size_t at = value.find(ref);
            while (at != std::string::npos && at > 0 && value[at - 1] != ':' && value[at - 1] != ',') {
                at = value.find(ref, at + 1);
            }
            if (at != std::string::npos) {
                const size_t from = at + ref.size();
                names += (names.empty() ? "" : ", ") + value.substr(from, value.find(',', from) - from);
            }
        }
        bus.text = "socketcan " + names;
        return bus;
    }
#endif
    bus.text = bus.simulated ? "simulated bench" : boards;
    return bus;
}

void release_channels() {
    client_api_manager_cleanup_all();
}

namespace {

// The scan of one channel as the terminal program runs it: every node asked
// twice in the quick pass (and up to five times while its late answers show
// it is there), then the silent ones once more all together.
struct ChannelScan {
    client_channel_id_t ch;
    std::vector<Motor> *found;
    std::string scope;
};

void scan_node_begins(uint8_t node, void *user) {
    const ChannelScan *s = static_cast<const ChannelScan *>(user);
    ostrelo_log_set_context(node_label(s->ch, node).c_str());
}

void scan_found(uint8_t node, size_t, const client_firmware_info_t *info, int, void *user) {
    ChannelScan *s = static_cast<ChannelScan *>(user);
    Motor m;
    m.channelId = s->ch;
    m.node = node;
    m.info = *info;
    s->found->push_back(m);
}

void scan_in_bootloader(uint8_t node, size_t, void *user) {
    ChannelScan *s = static_cast<ChannelScan *>(user);
    Motor m;
    m.channelId = s->ch;
    m.node = node;
    m.inBootloader = true;
    m.side = Side::Bootloader;
    m.held = true; // already where an upgrade needs it: no handshake
    s->found->push_back(m);
}

int scan_interrupted(void *) {
    return interrupted() ? 1 : 0;
}

} // namespace

std::vector<Motor> scan_channels(const std::vector<client_channel_id_t> &channels,
                                 const std::vector<uint8_t> &nodes, bool bootloader) {
    // Each thread uses its own channel's context only and writes its own list:
    // the process-wide one-entry-per-node table is not touched.
    std::vector<std::vector<Motor>> found(channels.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < channels.size(); ++i) {
        threads.emplace_back([&, i]() {
            const LogScope channelScope(channel_text(channels[i]));
            client_scan_options_t o;
            client_scan_options_init(&o);
            o.nodes = nodes.data();
            o.nodeCount = nodes.size();
            o.attempts = kQuickAttempts;
            o.attemptsWhileLate = kAttemptsWhileLate;
            o.dropStale = 1;
            o.staleQuietMs = 1;
            o.lateWaitMs = kSweepListenMs;
            o.lateAttempts = kLateAttempts;
            o.bootloaderLook = bootloader ? 1 : 0;
            ChannelScan scan{channels[i], &found[i], channel_text(channels[i])};
            client_scan_observer_t ob = {};
            ob.node_begins = scan_node_begins;
            ob.found = scan_found;
            ob.in_bootloader = scan_in_bootloader;
            ob.cancelled = scan_interrupted;
            ob.user = &scan;
            client_scan_channel(channels[i], &o, &ob);
            ostrelo_log_set_context(scan.scope.c_str());
            std::sort(found[i].begin(), found[i].end(),
                      [](const Motor &a, const Motor &b) { return a.node < b.node; });
        });
    }
    for (std::thread &t : threads) {
        t.join();
    }
    std::vector<Motor> all;
    for (std::vector<Motor> &list : found) {
        all.insert(all.end(), list.begin(), list.end());
    }
    return all;
}
