// Channels and motors for ostrelo-cli: probing the adapters, bringing
// channels up, saying what they are, scanning each channel in its own thread.
#include "cli.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "ControlCAN.h"
#include "can_backend_zhcx.h"
#include "motor_protocol.h"
#ifndef _WIN32
#include "controlcan_transport.h"
#endif

namespace {

constexpr uint16_t kQueueSize = 8;
// How long the sweep of silent node ids listens after its last request (and
// how long a late motor then gets for each answer), and how long a node that
// answered as a bootloader gets to answer the confirming read.
constexpr uint32_t kSweepListenMs = 250;
constexpr uint32_t kBootloaderConfirmMs = 300;

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

// Node ids that stayed silent through the quick pass: motors whose answers
// come late (a busy machine or bus can miss the short wait), and motors
// that sit in their bootloader (held after a Ctrl-C, a bad CRC, a power
// loss). Every such node id is asked at once, the application's type query
// and (with `bootloader`) a read of the bootloader's SDO server; then one
// listen hears which of them is there. Each is confirmed one by one.
struct SweepResult {
    std::vector<Motor> late;         // identified with the longer wait
    std::vector<uint8_t> bootloader; // confirmed in their bootloader
};

SweepResult sweep_silent(client_channel_id_t ch, const std::vector<uint8_t> &silent, bool bootloader) {
    SweepResult out;
    if (silent.empty()) {
        return out;
    }
    // What waits now may be a late answer of the quick pass: it counts.
    std::vector<uint8_t> spoke;
    std::vector<uint8_t> replied;
    auto note = [&](const CO_CANrxMsg_t &f) {
        for (uint8_t node : silent) {
            std::vector<uint8_t> *list = f.ident == node                                     ? &spoke
                                         : bootloader && f.ident == motor_sdo_reply_id(node) ? &replied
                                                                                             : nullptr;
            if (list != nullptr && std::find(list->begin(), list->end(), node) == list->end()) {
                list->push_back(node);
            }
        }
    };
    CO_CANrxMsg_t f;
    for (int i = 0; i < 1024 && client_api_receive_raw_can(ch, &f, 0) == 0; ++i) {
        note(f);
    }
    uint8_t typeQuery[8];
    const uint8_t typeLen = motor_build_type_query(typeQuery);
    // A read of the program data: a bootloader answers it (with an abort),
    // the application ignores SDO.
    uint8_t sdoRead[8];
    const uint8_t sdoLen = motor_build_sdo_frame(sdoRead, MOTOR_SDO_UPLOAD_REQUEST, MOTOR_PROGRAM_DATA_INDEX,
                                                 MOTOR_PROGRAM_DATA_SUB, 0);
    for (uint8_t node : silent) {
        if (interrupted()) {
            return out;
        }
        client_api_send_can_data(ch, node, typeQuery, typeLen);
        if (bootloader) {
            client_api_send_can_data(ch, motor_sdo_request_id(node), sdoRead, sdoLen);
        }
    }
    // The whole window, also once every node spoke: the answers still on
    // their way must not meet the confirming queries.
    const uint32_t start = get_current_time_ms();
    while (static_cast<uint32_t>(get_current_time_ms() - start) < kSweepListenMs) {
        if (client_api_receive_raw_can(ch, &f, 10) == 0) {
            note(f);
        }
    }
    std::sort(spoke.begin(), spoke.end());
    for (uint8_t node : spoke) {
        const LogScope scope(node_label(ch, node));
        Motor m;
        bool identified = false;
        for (int attempt = 0; attempt < 3 && !identified && !interrupted(); ++attempt) {
            discard_stale_frames(ch);
            identified = client_api_query_firmware_info_within(ch, node, &m.info, kSweepListenMs) == 0;
        }
        if (identified) {
            m.channelId = ch;
            m.node = node;
            out.late.push_back(m);
        }
    }
    std::sort(replied.begin(), replied.end());
    for (uint8_t node : replied) {
        const LogScope scope(node_label(ch, node));
        if (!interrupted() &&
            client_api_locate_node(ch, node, kBootloaderConfirmMs, nullptr) == CLIENT_NODE_BOOTLOADER) {
            out.bootloader.push_back(node);
        }
    }
    return out;
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

bool discard_stale_frames(client_channel_id_t ch, uint32_t ident) {
    CO_CANrxMsg_t frame;
    bool seen = false;
    // Bounded: a bus that keeps talking must not hold us here.
    for (int i = 0; i < 1024; ++i) {
        if (client_api_receive_raw_can(ch, &frame, 1) != 0) {
            break;
        }
        seen = seen || frame.ident == ident;
    }
    return seen;
}

std::vector<Motor> scan_channels(const std::vector<client_channel_id_t> &channels,
                                 const std::vector<uint8_t> &nodes, bool bootloader) {
    // Each thread uses its own channel's context only and writes its own list:
    // the process-wide one-entry-per-node table is not touched.
    std::vector<std::vector<Motor>> found(channels.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < channels.size(); ++i) {
        threads.emplace_back([&, i]() {
            const LogScope channelScope(channel_text(channels[i]));
            std::vector<uint8_t> silent;
            for (uint8_t node : nodes) {
                if (interrupted()) {
                    break;
                }
                const LogScope nodeScope(node_label(channels[i], node));
                Motor m;
                memset(&m.info, 0, sizeof(m.info));
                // The queries take whatever frame comes next: a reply that
                // came late must not be taken for the answer to the next
                // question. A second try, so that one lost frame does not
                // hide a motor, and more while late replies show that the
                // node is there (a busy machine can miss the short wait).
                bool answered = false;
                bool late = false;
                for (int attempt = 0; !answered && (attempt < 2 || (late && attempt < 5)); ++attempt) {
                    late = discard_stale_frames(channels[i], node);
                    answered = client_api_query_firmware_info(channels[i], node, &m.info) == 0;
                }
                if (!answered) {
                    silent.push_back(node);
                    continue;
                }
                m.channelId = channels[i];
                m.node = node;
                found[i].push_back(m);
            }
            const SweepResult swept = sweep_silent(channels[i], silent, bootloader);
            found[i].insert(found[i].end(), swept.late.begin(), swept.late.end());
            for (uint8_t node : swept.bootloader) {
                Motor m;
                memset(&m.info, 0, sizeof(m.info));
                m.channelId = channels[i];
                m.node = node;
                m.inBootloader = true;
                m.held = true; // already where an upgrade needs it: no handshake
                found[i].push_back(m);
            }
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
