// Whole upgrades on the simulated bench, one fault per cell. In every cell:
// no success without the new image running (the bench says so, not the
// client), no start of an image whose CRC was not confirmed, and a retry
// once the fault is gone succeeds.
#include "../client/bench_fixture.h"
#include "upgrade_sequence.h"

#include <atomic>
#include <chrono>
#include <thread>

using benchtest::Bench;
using benchtest::capture;
using benchtest::write_image;

namespace {

constexpr uint8_t kNode = 5;
constexpr uint32_t kOld = 0x01000000u, kNew = 0x02000000u;

struct Cell {
    const char *name;
    int attempts;
    void (*apply)(sim_fault_t *node, sim_fault_t *segment);
    bool powerLoss = false; // the node loses power in the middle of the transfer
    bool duplicates = false;
    bool tickWrap = false;
    upgradeseq::Timeouts timeouts = {};
};

struct Row {
    std::string name;
    int attempts = 0, successes = 0, falseSuccesses = 0, unverifiedStarts = 0;
    bool recovered = false;
};

// What the bench sees: a start command while the image is not the file
// whole (or the node reports a wrong CRC) is the start of an unverified image.
struct Watch {
    uint32_t fileCrc = 0;
    bool wrongCrc = false;
    bool duplicates = false;
    uint32_t rng = 1;
    std::atomic<int> unverifiedStarts{0};
};

void watch_bus(void *user, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
               const uint8_t *data) {
    Watch *w = static_cast<Watch *>(user);
    static const uint8_t start[8] = {0x2F, 0x51, 0x1F, 0x01, 0x01, 0, 0, 0};
    if (ident == 0x600u + kNode && dlc == 8 && memcmp(data, start, 8) == 0) {
        sim_motor_stats_t st;
        sim_bench_motor_stats(adapter, channel, kNode, &st);
        if (!st.imageComplete || sim_bench_motor_image_crc32(adapter, channel, kNode) != w->fileCrc ||
            w->wrongCrc) {
            w->unverifiedStarts++;
        }
    }
    if (w->duplicates) {
        w->rng = w->rng * 1103515245u + 12345u;
        if ((w->rng >> 16) % 20u == 0u) { // one frame in twenty arrives twice
            sim_bench_inject(adapter, channel, ident, dlc, data);
        }
    }
}

bool new_image_runs() {
    return sim_bench_motor_state(0, 0, kNode) == SIM_MOTOR_APPLICATION &&
           sim_bench_motor_version(0, 0, kNode) == kNew;
}

class FaultMatrix : public Bench {};

TEST_F(FaultMatrix, InvariantsHoldInEveryCell) {
    const Cell cells[] = {
        {"loss 2%", 3, [](sim_fault_t *, sim_fault_t *s) { s->dropFraction = 0.02; }},
        {"loss 10%", 3, [](sim_fault_t *, sim_fault_t *s) { s->dropFraction = 0.10; }},
        {"abort at 3000", 2,
         [](sim_fault_t *n, sim_fault_t *) {
             n->abortEnabled = 1;
             n->abortAtOffset = 3000;
             n->abortCode = 0x08000020u;
         }},
        {"abort at 0", 1,
         [](sim_fault_t *n, sim_fault_t *) {
             n->abortEnabled = 1;
             n->abortCode = 0x06010000u;
         }},
        {"power loss", 2, [](sim_fault_t *, sim_fault_t *) {}, true},
        {"wrong CRC", 2, [](sim_fault_t *n, sim_fault_t *) { n->wrongCrc = 1; }},
        {"start ignored", 2, [](sim_fault_t *n, sim_fault_t *) { n->ignoreStart = 1; }},
        {"silent node", 1, [](sim_fault_t *n, sim_fault_t *) { n->silent = 1; }},
        {"late replies",
         1,
         [](sim_fault_t *n, sim_fault_t *) { n->replyDelayMs = 1200; },
         false,
         false,
         false,
         {1500, 300}},
        {"duplicates", 3, [](sim_fault_t *, sim_fault_t *) {}, false, true},
        {"refused tx", 3, [](sim_fault_t *, sim_fault_t *s) { s->txFailures = 25; }},
        {"rx errors", 3, [](sim_fault_t *, sim_fault_t *s) { s->rxErrors = 25; }},
        {"tick wrap", 2, [](sim_fault_t *, sim_fault_t *) {}, false, false, true},
    };
    std::vector<Row> rows;
    for (const Cell &cell : cells) {
        capture([] { client_api_manager_cleanup_all(); });
        sim_bench_reset();
        sim_bench_set_timing(0);
        sim_bench_set_seed(11);
        sim_motor_config_t m = motor(0, 0, kNode);
        m.version = kOld;
        m.flashSize = 64 * 1024;
        const client_channel_id_t id = one_channel(0, 0, 1000, {m});
        const std::string path = write_image(dir(), "fw.bin", 6000, kNew);
        Watch watch;
        capture([&] { watch.fileCrc = client_api_calculate_file_crc32(path.c_str()); });
        sim_fault_t nodeFault, segFault;
        sim_fault_init(&nodeFault);
        sim_fault_init(&segFault);
        cell.apply(&nodeFault, &segFault);
        watch.wrongCrc = nodeFault.wrongCrc != 0;
        watch.duplicates = cell.duplicates;
        ASSERT_EQ(sim_bench_attach_peer(0, 0, watch_bus, &watch), 1);
        ASSERT_EQ(sim_bench_set_node_fault(0, 0, kNode, &nodeFault), 1);
        ASSERT_EQ(sim_bench_set_segment_fault(0, 0, &segFault), 1);
        if (cell.powerLoss) {
            sim_bench_set_timing(1); // a bus with real timing, so the cut falls into the transfer
        }
        if (cell.tickWrap) {
            ostrelo_time_set_tick_origin(0xFFFFFFFFu - 1500u);
        }

        Row row;
        row.name = cell.name;
        for (int a = 0; a < cell.attempts; ++a) {
            std::atomic<bool> done{false};
            std::thread cut;
            if (cell.powerLoss) {
                cut = std::thread([&done] {
                    sim_motor_stats_t st{};
                    while (!done && (sim_bench_motor_stats(0, 0, kNode, &st) != 1 || st.imageSize < 2000)) {
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    }
                    if (!done) {
                        sim_bench_power_cycle_node(0, 0, kNode, 50);
                    }
                });
            }
            bool claimed = false;
            capture([&] { claimed = upgradeseq::upgrade_once(id, kNode, path, false, cell.timeouts); });
            done = true;
            if (cut.joinable()) {
                cut.join();
            }
            row.attempts++;
            if (claimed) {
                row.successes++;
                row.falseSuccesses += new_image_runs() ? 0 : 1;
            }
        }

        sim_bench_set_timing(0);
        // The fault goes away; a retry (two at most) must bring the new image up.
        sim_fault_t none;
        sim_fault_init(&none);
        sim_bench_set_node_fault(0, 0, kNode, &none);
        sim_bench_set_segment_fault(0, 0, &none);
        watch.wrongCrc = false;
        watch.duplicates = false;
        for (int r = 0; r < 2 && !row.recovered; ++r) {
            bool claimed = false;
            capture([&] {
                claimed = upgradeseq::upgrade_once(id, kNode, path, cell.powerLoss && r == 1, cell.timeouts);
            });
            row.recovered = claimed && new_image_runs();
            if (claimed && !new_image_runs()) {
                row.falseSuccesses++;
            }
        }
        sim_bench_detach_peer(0, 0);
        ostrelo_time_set_tick_origin(0);
        row.unverifiedStarts = watch.unverifiedStarts;
        rows.push_back(row);
    }

    printf("\n%-14s %8s %9s %15s %17s %9s\n", "cell", "attempts", "successes", "false successes",
           "unverified starts", "recovered");
    for (const Row &r : rows) {
        printf("%-14s %8d %9d %15d %17d %9s\n", r.name.c_str(), r.attempts, r.successes, r.falseSuccesses,
               r.unverifiedStarts, r.recovered ? "yes" : "NO");
    }
    fflush(stdout);
    for (const Row &r : rows) {
        EXPECT_EQ(r.falseSuccesses, 0) << r.name;
        EXPECT_EQ(r.unverifiedStarts, 0) << r.name;
        EXPECT_TRUE(r.recovered) << r.name;
    }
}

} // namespace
