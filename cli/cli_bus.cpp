// Channels and motors for ostrelo-cli: probing the adapters, bringing
// channels up, scanning each channel in its own thread, pairing files.
#include "cli.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "ControlCAN.h"
#include "can_backend.h"

namespace {

constexpr uint16_t kQueueSize = 8;

// The adapter's channel count, or 0 when the adapter does not open.
uint32_t adapter_channels(const CANBackendOps *ops, uint32_t index, uint16_t bitrate, ChannelInfo *info) {
    if (ops == nullptr || ops->create == nullptr || ops->open_device == nullptr) {
        return 0;
    }
    CANDevice dev = ops->create();
    if (dev == nullptr) {
        return 0;
    }
    uint32_t count = 0;
    if (ops->open_device(dev, kAdapterType, index, bitrate) == 1) {
        VCI_BOARD_INFO board;
        memset(&board, 0, sizeof(board));
        count = 2; // what an adapter that does not say offers
        if (ops->get_board_info != nullptr && ops->get_board_info(dev, &board) == 1) {
            if (board.can_Num >= 1) {
                count = std::min<uint32_t>(board.can_Num, CLIENT_MAX_CHANNELS);
            }
            char text[sizeof(board.str_hw_Type) + 1];
            memcpy(text, board.str_hw_Type, sizeof(board.str_hw_Type));
            text[sizeof(board.str_hw_Type)] = '\0';
            info->hwType = text;
            char serial[sizeof(board.str_Serial_Num) + 1];
            memcpy(serial, board.str_Serial_Num, sizeof(board.str_Serial_Num));
            serial[sizeof(board.str_Serial_Num)] = '\0';
            info->serial = serial;
        }
        if (ops->close_device != nullptr) {
            ops->close_device(dev);
        }
    }
    if (ops->destroy != nullptr) {
        ops->destroy(dev);
    }
    return count;
}

std::vector<ChannelInfo> offered_channels(uint16_t bitrate) {
    client_api_set_backend_zhcx();
    const CANBackendOps *ops = can_backend_get();
    std::vector<ChannelInfo> out;
    for (int a = 0; a < kMaxAdapters; ++a) {
        ChannelInfo info;
        const uint32_t n = adapter_channels(ops, static_cast<uint32_t>(a), bitrate, &info);
        for (uint32_t c = 0; c < n; ++c) {
            info.ref = {static_cast<uint32_t>(a), c};
            out.push_back(info);
        }
    }
    return out;
}

client_channel_id_t bring_up(ChannelRef r, uint16_t bitrate) {
    return client_api_manager_init_channel(kAdapterType, r.adapter, r.channel, bitrate, kQueueSize,
                                           kQueueSize);
}

} // namespace

std::vector<ChannelInfo> probe_channels(uint16_t bitrate) {
    std::vector<ChannelInfo> list = offered_channels(bitrate);
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
        for (const ChannelInfo &c : offered_channels(o.bitrate)) {
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
    return true;
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
                                 const std::vector<uint8_t> &nodes) {
    // Each thread uses its own channel's context only and writes its own list:
    // the process-wide one-entry-per-node table is not touched.
    std::vector<std::vector<Motor>> found(channels.size());
    std::vector<std::thread> threads;
    for (size_t i = 0; i < channels.size(); ++i) {
        threads.emplace_back([&, i]() {
            for (uint8_t node : nodes) {
                if (interrupted()) {
                    break;
                }
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
                    continue;
                }
                m.channelId = channels[i];
                m.node = node;
                found[i].push_back(m);
            }
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

void match_files(const std::string &folder, std::vector<Motor> *motors) {
    client_api_clear_file_cache();
    client_api_cache_directory_bin_files(folder.c_str());
    for (Motor &m : *motors) {
        for (size_t i = 0; i < g_bin_file_count && i < CLIENT_MAX_BIN_FILES; ++i) {
            if (match_filename_with_key(g_bin_file_cache[i].filename, m.info.filenameKey)) {
                m.file = g_bin_file_cache[i].filename;
                m.path = g_bin_file_cache[i].fullPath;
                break;
            }
        }
    }
}
