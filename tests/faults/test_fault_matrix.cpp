// Whole upgrades on the simulated bench, one fault per cell, run by the same
// client_upgrade_run as the window and the terminal program. In every cell:
// no success without the new image running (the bench says so, not the
// client), no start of an image whose CRC was not confirmed, and once the
// fault is gone another upgrade succeeds. The cells of real controllers on a
// timed bus set their transfer time beside what the bus and the bootloader
// need at least; the loss cells each attempt's success beside what the
// control frames lost alone would allow.
#include "../client/bench_fixture.h"
#include "bench_report.h"
#include "motor_protocol.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

using benchtest::Bench;
using benchtest::capture;
using benchtest::pdo_load;
using benchtest::write_image;

namespace {

constexpr uint32_t kOld = 0x01000000u, kNew = 0x02000000u;

enum class Kind {
    Upgrade, // client_upgrade_run, one attempt per call (or the cell's retries)
    Exit,    // the start of the application alone, as the window's exit does it
    Loss     // the default bench, loss on channel 0.0, both motors with five attempts each
};

struct Cell {
    const char *name;
    Kind kind;
    int calls;
    void (*apply)(sim_fault_t *node, sim_fault_t *segment);
    client_entry_t entry = CLIENT_ENTRY_HANDSHAKE;
    double loss = 0.0;
    bool duplicates = false;
    bool tickWrap = false;
    uint32_t handshakeWaitMs = CLIENT_UPGRADE_HANDSHAKE_WAIT_MS;
    // Real motors on a real bus (timed): the motor's own times, other nodes'
    // traffic on channel 0.0, and what befalls the transfer half way.
    void (*motor)(sim_motor_config_t *) = nullptr;
    void (*bus)() = nullptr;
    void (*midTransfer)(uint8_t node) = nullptr;
    uint32_t retries = 0;
    size_t body = 6000;
};

// A cell on a timed bus, with the motor's times, the bus's other traffic and
// the event half way through the transfer where given.
Cell real(const char *name, void (*motor)(sim_motor_config_t *), void (*bus)() = nullptr,
          void (*midTransfer)(uint8_t) = nullptr, uint32_t retries = 0, int calls = 1,
          size_t body = 48 * 1024) {
    Cell c{name, Kind::Upgrade, calls, nullptr};
    c.motor = motor;
    c.bus = bus;
    c.midTransfer = midTransfer;
    c.retries = retries;
    c.body = body;
    return c;
}

// `c` with its motor held in its bootloader across a power cycle.
Cell held(Cell c) {
    c.entry = CLIENT_ENTRY_HOLD;
    return c;
}

// The times of a controller of the default bench: an erase of 42 ms per KiB
// (2 s for the 48 KiB image), 4 ms per sub-block, 20 ms for the CRC and
// 1.5 s for the application's start.
void real_controller(sim_motor_config_t *m) {
    m->eraseKibMs = 42;
    m->writeMs = 4;
    m->crcMs = 20;
    m->bootMs = 1500;
}

// Another master's SDO requests and its servers' answers, every 5 ms each,
// to node ids beside the motor's.
void other_master() {
    for (uint32_t n : {6u, 7u, 0x20u, 0x21u}) {
        sim_bench_add_traffic(0, 0, 0x600 + n, 5, 8);
        sim_bench_add_traffic(0, 0, 0x580 + n, 5, 8);
    }
}

struct Row {
    std::string name;
    int attempts = 0, successes = 0, falseSuccesses = 0, unverifiedStarts = 0;
    bool recovered = false;
    double loss = 0.0;
    size_t imageBytes = 0;
    int completeTransfers = 0, completeSubBlocks = 0;
    // The transfer time of the successful calls beside what the bus and the
    // bootloader need at least: the frames' bits on an idle bus, the erase
    // and the sub-blocks' writes.
    uint32_t transferMs = 0;
    uint32_t upgradeMs = 0; // the whole call, entry to confirmed start
    int transfers = 0;
    uint32_t busMs = 0, eraseMs = 0;
    double load = 0.0; // share of the bus busy during the cell's calls
    uint64_t errorFrames = 0, busOffs = 0;
};

// What the bench sees on the segment: a start command while the image is
// not the file whole is the start of an unverified image. Counts the
// sub-blocks (each one acknowledged by the node) of the block transfers that
// got as far as their end request.
struct Watch {
    uint8_t node = 0;
    uint32_t fileCrc = 0;
    bool wrongCrc = false;
    bool checkStarts = true;
    bool duplicates = false;
    uint32_t rng = 1;
    std::atomic<int> unverifiedStarts{0};
    bool counting = true;
    int subBlocks = 0; // of the transfer under way
    int completeTransfers = 0;
    int completeSubBlocks = 0;
};

void watch_bus(void *user, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
               const uint8_t *data) {
    Watch *w = static_cast<Watch *>(user);
    if (ident == motor_sdo_request_id(w->node) && dlc == 8) {
        if (w->checkStarts && motor_is_program_control(data, dlc, MOTOR_PROGRAM_START)) {
            sim_motor_stats_t st;
            sim_bench_motor_stats(adapter, channel, w->node, &st);
            if (!st.imageComplete || sim_bench_motor_image_crc32(adapter, channel, w->node) != w->fileCrc ||
                w->wrongCrc) {
                w->unverifiedStarts++;
            }
        }
        if ((data[0] & 0xF9u) == 0xC0u && data[1] == 0x50 && data[2] == 0x1F) {
            w->subBlocks = 0; // block download initiate of the image
        } else if (data[0] == 0x01 || data[0] == 0x81) {
            w->subBlocks++; // the first segment of a sub-block
        } else if ((data[0] & 0xE3u) == 0xC1u && w->counting) {
            w->completeTransfers++; // every acknowledge came: the end request
            w->completeSubBlocks += w->subBlocks;
        }
    }
    if (w->duplicates) {
        w->rng = w->rng * 1103515245u + 12345u;
        if ((w->rng >> 16) % 20u == 0u) { // one frame in twenty arrives twice
            sim_bench_inject(adapter, channel, ident, dlc, data);
        }
    }
}

bool new_image_runs(uint8_t node) {
    return sim_bench_motor_state(0, 0, node) == SIM_MOTOR_APPLICATION &&
           sim_bench_motor_version(0, 0, node) == kNew;
}

// Power-cycles the bench's node once, 100 ms into the hold.
struct HoldHand {
    uint8_t node;
    bool done = false;
};
void power_cycle_during_hold(uint32_t elapsed_ms, void *user) {
    HoldHand *h = static_cast<HoldHand *>(user);
    if (!h->done && elapsed_ms >= 100) {
        h->done = true;
        sim_bench_power_cycle_node(0, 0, h->node, 100);
    }
}

client_upgrade_options_t options_for(const Cell &c, uint32_t retries) {
    client_upgrade_options_t o;
    client_upgrade_options_init(&o);
    o.entry = c.entry;
    o.retries = retries;
    o.handshakeWaitMs = c.handshakeWaitMs;
    o.holdMs = 3000;
    return o;
}

// Microseconds of the block download of `image` to `node` on an idle bus
// at 1000 kbit/s: its segments with their stuff bits, the initiate, the end
// and the answers (8-byte frames), one acknowledge per sub-block of 127.
uint64_t block_download_bus_us(const std::vector<uint8_t> &image, uint8_t node) {
    const uint8_t blank[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    const size_t segments = (image.size() + 6) / 7;
    const size_t subBlocks = (segments + 126) / 127;
    uint64_t bits = 0;
    for (size_t i = 0; i < segments; ++i) {
        uint8_t d[8] = {static_cast<uint8_t>(i % 127 + 1), 0, 0, 0, 0, 0, 0, 0};
        memcpy(d + 1, image.data() + i * 7, std::min<size_t>(7, image.size() - i * 7));
        bits += sim_can_frame_bits(motor_sdo_request_id(node), 0, 0, 8, d);
    }
    bits += (4 + subBlocks) * sim_can_frame_bits(motor_sdo_reply_id(node), 0, 0, 8, blank);
    return sim_can_frame_duration_us(static_cast<uint32_t>(bits), 1000);
}

class FaultMatrix : public Bench {
  protected:
    // One motor on adapter 0 channel 0, old image running.
    client_channel_id_t single_motor(uint8_t node, bool inBootloader,
                                     void (*configure)(sim_motor_config_t *)) {
        sim_motor_config_t m = motor(0, 0, node, inBootloader ? SIM_START_BOOT_HELD : SIM_START_APPLICATION);
        m.version = kOld;
        m.flashSize = 64 * 1024;
        if (configure != nullptr) {
            configure(&m);
        }
        return one_channel(0, 0, 1000, {m});
    }

    // The default bench with real timing, its operator and seed 7, and `loss`
    // on channel 0.0: the bench of the report this matrix answers.
    client_channel_id_t default_bench(double loss) {
        char extra[160];
        snprintf(extra, sizeof extra,
                 "timing timed\nseed 7\noperator on 1500 300\nfault segment 0 0 drop=%.3f\n", loss);
        const std::string text = std::string(sim_bench_default_scenario_text()) + extra;
        EXPECT_EQ(sim_bench_load_scenario_text(text.c_str(), "loss"), 1);
        const client_channel_id_t id = {4, 0, 0, 1000};
        EXPECT_EQ(bring_up({id}), 1);
        return id;
    }

    bool upgrade(const client_channel_id_t &id, uint8_t node, const std::string &path,
                 const client_upgrade_options_t &o, client_upgrade_result_t *r, HoldHand *hand = nullptr) {
        client_upgrade_observer_t ob = {};
        ob.hold_round = power_cycle_during_hold;
        ob.user = hand;
        bool claimed = false;
        capture([&] {
            claimed =
                client_upgrade_run(id, node, path.c_str(), &o, hand ? &ob : nullptr, r) == CLIENT_UPGRADE_OK;
        });
        return claimed;
    }

    bool start_application(const client_channel_id_t &id, uint8_t node) {
        bool claimed = false;
        capture([&] {
            claimed = client_api_start_application(id, node, 5000, 3, 200, CLIENT_UPGRADE_CONFIRM_WINDOW_MS,
                                                   nullptr) == CLIENT_UPGRADE_OK;
        });
        return claimed;
    }

    std::string image_path(uint8_t node) const { return dir() + "/fw" + std::to_string(node) + ".bin"; }
    uint32_t file_crc(uint8_t node) const {
        uint32_t crc = 0;
        capture([&] { crc = client_api_calculate_file_crc32(image_path(node).c_str()); });
        return crc;
    }

    Row run_cell(const Cell &cell);
};

Row FaultMatrix::run_cell(const Cell &cell) {
    capture([] { client_api_manager_cleanup_all(); });
    sim_bench_reset();
    sim_bench_set_timing(0);
    sim_bench_set_seed(11);
    Row row;
    row.name = cell.name;
    row.loss = cell.loss;

    const bool loss = cell.kind == Kind::Loss;
    const bool timed = cell.motor != nullptr || cell.bus != nullptr || cell.midTransfer != nullptr;
    const std::vector<uint8_t> nodes = loss ? std::vector<uint8_t>{1, 2} : std::vector<uint8_t>{5};
    const client_channel_id_t id =
        loss ? default_bench(cell.loss) : single_motor(5, cell.kind == Kind::Exit, cell.motor);
    const size_t body = loss ? 48 * 1024 : cell.body;
    Watch watch;
    watch.checkStarts = cell.kind != Kind::Exit;
    watch.duplicates = cell.duplicates;
    sim_fault_t nodeFault, segFault;
    sim_fault_init(&nodeFault);
    sim_fault_init(&segFault);
    if (cell.apply != nullptr) {
        cell.apply(&nodeFault, &segFault);
    }
    watch.wrongCrc = nodeFault.wrongCrc != 0;
    EXPECT_EQ(sim_bench_attach_peer(0, 0, watch_bus, &watch), 1);
    for (uint8_t node : nodes) {
        EXPECT_EQ(sim_bench_set_node_fault(0, 0, node, &nodeFault), 1);
    }
    if (!loss) {
        EXPECT_EQ(sim_bench_set_segment_fault(0, 0, &segFault), 1);
    }
    if (timed) {
        sim_bench_set_timing(1); // a bus with real timing, so an event falls into the transfer
    }
    if (cell.bus != nullptr) {
        cell.bus();
    }
    sim_segment_stats_t before{};
    sim_bench_segment_stats(0, 0, &before);
    const uint64_t cellStart = ostrelo_monotonic_us();
    if (cell.tickWrap) {
        ostrelo_time_set_tick_origin(0xFFFFFFFFu - 1500u);
    }

    for (uint8_t node : nodes) {
        watch.node = node;
        const std::string path = image_path(node);
        write_image(dir(), "fw" + std::to_string(node) + ".bin", body, kNew, static_cast<uint8_t>(node));
        watch.fileCrc = file_crc(node);
        for (int call = 0; call < cell.calls; ++call) {
            std::atomic<bool> done{false};
            std::thread cut;
            if (cell.midTransfer != nullptr) {
                cut = std::thread([&done, node, &cell] {
                    sim_motor_stats_t st{};
                    while (!done && (sim_bench_motor_stats(0, 0, node, &st) != 1 || st.imageSize < 2000)) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    if (!done) {
                        cell.midTransfer(node);
                    }
                });
            }
            bool claimed = false;
            HoldHand hand{node};
            if (cell.kind == Kind::Exit) {
                claimed = start_application(id, node);
                row.attempts++;
            } else {
                client_upgrade_result_t r;
                const uint32_t t0 = get_current_time_ms();
                claimed = upgrade(id, node, path, options_for(cell, loss ? 4 : cell.retries), &r,
                                  cell.entry == CLIENT_ENTRY_HOLD ? &hand : nullptr);
                row.attempts += static_cast<int>(r.attempts);
                if (claimed) {
                    row.upgradeMs += ostrelo_ms_since(t0);
                    row.transferMs += r.transferMs;
                    row.transfers++;
                }
            }
            done = true;
            if (cut.joinable()) {
                cut.join();
            }
            const bool real = cell.kind == Kind::Exit
                                  ? sim_bench_motor_state(0, 0, node) == SIM_MOTOR_APPLICATION
                                  : new_image_runs(node);
            if (claimed) {
                row.successes++;
                row.falseSuccesses += real ? 0 : 1;
            }
        }
    }
    row.imageBytes = body + SIM_TRAILER_LEN;
    row.completeTransfers = watch.completeTransfers;
    row.completeSubBlocks = watch.completeSubBlocks;
    watch.counting = false;
    sim_segment_stats_t after{};
    sim_bench_segment_stats(0, 0, &after);
    const uint64_t cellUs = ostrelo_monotonic_us() - cellStart;
    row.load = cellUs > 0 ? static_cast<double>(after.busBusyUs - before.busBusyUs) / cellUs : 0.0;
    row.errorFrames = after.errorFrames - before.errorFrames;
    row.busOffs = after.busOffs - before.busOffs;
    if (timed) {
        std::vector<uint8_t> image(row.imageBytes);
        FILE *f = fopen(image_path(nodes[0]).c_str(), "rb");
        EXPECT_TRUE(f != nullptr && fread(image.data(), 1, image.size(), f) == image.size());
        if (f != nullptr) {
            fclose(f);
        }
        row.busMs = static_cast<uint32_t>(block_download_bus_us(image, nodes[0]) / 1000u);
        sim_motor_config_t m;
        sim_bench_motor_config(0, &m);
        const size_t subBlocks = ((row.imageBytes + 6) / 7 + 126) / 127;
        const uint32_t kib = static_cast<uint32_t>((row.imageBytes + 1023) / 1024);
        row.eraseMs = m.eraseMs + kib * m.eraseKibMs + static_cast<uint32_t>(subBlocks) * m.writeMs;
    }

    sim_bench_set_timing(0);
    ostrelo_time_set_tick_origin(0);
    // The fault goes away; an upgrade (two at most) must bring the new image up.
    sim_fault_t none;
    sim_fault_init(&none);
    sim_bench_set_segment_fault(0, 0, &none);
    watch.wrongCrc = false;
    watch.duplicates = false;
    row.recovered = true;
    for (uint8_t node : nodes) {
        sim_bench_set_node_fault(0, 0, node, &none);
        if (cell.kind == Kind::Exit) {
            // An application that never came up is switched off and on.
            sim_bench_power_cycle_node(0, 0, node, 50);
        }
        watch.node = node;
        watch.fileCrc = file_crc(node);
        const std::string path = image_path(node);
        bool ok = false;
        for (int r = 0; r < 2 && !ok; ++r) {
            Cell plain = cell;
            plain.entry = CLIENT_ENTRY_HANDSHAKE;
            plain.handshakeWaitMs = CLIENT_UPGRADE_HANDSHAKE_WAIT_MS;
            client_upgrade_result_t res;
            const bool claimed = upgrade(id, node, path, options_for(plain, 0), &res);
            ok = claimed && new_image_runs(node);
            if (claimed && !new_image_runs(node)) {
                row.falseSuccesses++;
            }
        }
        row.recovered = row.recovered && ok;
    }
    sim_bench_detach_peer(0, 0);
    row.unverifiedStarts = watch.unverifiedStarts;
    return row;
}

TEST_F(FaultMatrix, InvariantsHoldInEveryCell) {
    const Cell cells[] = {
        {"loss 1%", Kind::Loss, 1, nullptr, CLIENT_ENTRY_HANDSHAKE, 0.01},
        {"loss 2%", Kind::Loss, 1, nullptr, CLIENT_ENTRY_HANDSHAKE, 0.02},
        {"loss 10%", Kind::Upgrade, 3, [](sim_fault_t *, sim_fault_t *s) { s->dropFraction = 0.10; }},
        {"abort at 3000", Kind::Upgrade, 2,
         [](sim_fault_t *n, sim_fault_t *) {
             n->abortEnabled = 1;
             n->abortAtOffset = 3000;
             n->abortCode = 0x08000020u;
         }},
        {"abort at 0", Kind::Upgrade, 1,
         [](sim_fault_t *n, sim_fault_t *) {
             n->abortEnabled = 1;
             n->abortCode = 0x06010000u;
         }},
        real(
            "power loss", nullptr, nullptr, [](uint8_t node) { sim_bench_power_cycle_node(0, 0, node, 50); },
            0, 2, 6000),
        {"hold entry", Kind::Upgrade, 1, nullptr, CLIENT_ENTRY_HOLD},
        {"wrong CRC", Kind::Upgrade, 2, [](sim_fault_t *n, sim_fault_t *) { n->wrongCrc = 1; }},
        {"start ignored", Kind::Upgrade, 1, [](sim_fault_t *n, sim_fault_t *) { n->ignoreStart = 1; }},

        {"probe abort", Kind::Upgrade, 1,
         [](sim_fault_t *n, sim_fault_t *) { n->probeAbortCode = 0x08000020u; }},
        {"exit, ignored", Kind::Exit, 1, [](sim_fault_t *n, sim_fault_t *) { n->ignoreStart = 1; }},
        {"exit, no app", Kind::Exit, 1, [](sim_fault_t *n, sim_fault_t *) { n->appStartMs = 60000; }},
        {"silent node", Kind::Upgrade, 1, [](sim_fault_t *n, sim_fault_t *) { n->silent = 1; }},
        {"late replies", Kind::Upgrade, 1, [](sim_fault_t *n, sim_fault_t *) { n->replyDelayMs = 1200; },
         CLIENT_ENTRY_HANDSHAKE, 0.0, false, false, 1500},
        {"duplicates", Kind::Upgrade, 3, nullptr, CLIENT_ENTRY_HANDSHAKE, 0.0, true},
        {"refused tx", Kind::Upgrade, 3, [](sim_fault_t *, sim_fault_t *s) { s->txFailures = 25; }},
        {"rx errors", Kind::Upgrade, 3, [](sim_fault_t *, sim_fault_t *s) { s->rxErrors = 25; }},
        {"tick wrap", Kind::Upgrade, 2, nullptr, CLIENT_ENTRY_HANDSHAKE, 0.0, false, true},
        real("real timings", real_controller),
        real("erase 8 s",
             [](sim_motor_config_t *m) {
                 real_controller(m);
                 m->eraseKibMs = 0;
                 m->eraseMs = 8000;
             }),
        real("write 50 ms",
             [](sim_motor_config_t *m) {
                 real_controller(m);
                 m->writeMs = 50;
             }),
        real("boot 5 s",
             [](sim_motor_config_t *m) {
                 real_controller(m);
                 m->bootMs = 5000;
             }),
        real("60 % load", real_controller, pdo_load),
        held(real("hold amid traffic", real_controller, pdo_load)),
        real("other master", real_controller, other_master),
        real("error frames", real_controller, nullptr, [](uint8_t) { sim_bench_error_frames(0, 0, 100); }),
        real(
            "bus-off", real_controller, nullptr, [](uint8_t) { sim_bench_bus_off(0, 0, 300); }, 2),
    };
    // OSTRELO_FAULT_CELL=text runs only the cells whose name contains it.
    const char *only = getenv("OSTRELO_FAULT_CELL");
    std::vector<Row> rows;
    for (const Cell &cell : cells) {
        if (only == nullptr || strstr(cell.name, only) != nullptr) {
            rows.push_back(run_cell(cell));
        }
    }

    printf("\n%-17s %8s %9s %15s %17s %9s %11s %16s %8s %14s %11s\n", "cell", "attempts", "successes",
           "false successes", "unverified starts", "recovered", "transfer", "bus+erase+write", "bus load",
           "errors/bus-off", "upgrade");
    for (const Row &r : rows) {
        char transfer[24] = "-";
        char whole[24] = "-";
        if (r.transfers > 0) {
            snprintf(transfer, sizeof transfer, "%u ms", r.transferMs / static_cast<uint32_t>(r.transfers));
            snprintf(whole, sizeof whole, "%u ms", r.upgradeMs / static_cast<uint32_t>(r.transfers));
        }
        char least[40] = "-"; // an instant bus takes no time
        if (r.busMs > 0) {
            snprintf(least, sizeof least, "%u+%u ms", r.busMs, r.eraseMs);
        }
        char load[16] = "-";
        if (r.busMs > 0) {
            snprintf(load, sizeof load, "%.0f %%", 100.0 * r.load);
        }
        char errors[32] = "-";
        if (r.busMs > 0) {
            snprintf(errors, sizeof errors, "%llu/%llu", static_cast<unsigned long long>(r.errorFrames),
                     static_cast<unsigned long long>(r.busOffs));
        }
        printf("%-17s %8d %9d %15d %17d %9s %11s %16s %8s %14s %11s\n", r.name.c_str(), r.attempts,
               r.successes, r.falseSuccesses, r.unverifiedStarts, r.recovered ? "yes" : "NO", transfer, least,
               load, errors, whole);
    }
    // Beside each loss cell's success per attempt: what the loss of its
    // control frames alone allows (bench_report.h), and the same with the
    // last segment of each sub-block counted too. The bench's bootloader
    // acknowledges a stalled sub-block after 200 ms, so losing that segment
    // costs time, not the transfer.
    printf("\n%-10s %16s %15s %15s %21s %24s\n", "loss cell", "success/attempt", "acks, expected",
           "acks, measured", "(1-p)^(4+acks)", "(1-p)^(4+2 acks)");
    for (const Row &r : rows) {
        if (r.loss <= 0.0) {
            continue;
        }
        const double p = r.loss;
        const double acks = expected_acks(p, r.imageBytes);
        char measured[32] = "-";
        if (r.completeTransfers > 0) {
            snprintf(measured, sizeof measured, "%.0f (%d)",
                     double(r.completeSubBlocks) / r.completeTransfers, r.completeTransfers);
        }
        char rate[32];
        snprintf(rate, sizeof rate, "%d/%d = %.2f", r.successes, r.attempts,
                 r.attempts > 0 ? double(r.successes) / r.attempts : 0.0);
        printf("%-10s %16s %15.0f %15s %21.3f %24.3f\n", r.name.c_str(), rate, acks, measured,
               expected_transfer_success(p, r.imageBytes), std::pow(1.0 - p, 4.0 + 2.0 * acks));
    }
    fflush(stdout);
    for (const Row &r : rows) {
        EXPECT_EQ(r.falseSuccesses, 0) << r.name;
        EXPECT_EQ(r.unverifiedStarts, 0) << r.name;
        EXPECT_TRUE(r.recovered) << r.name;
    }
}

} // namespace
