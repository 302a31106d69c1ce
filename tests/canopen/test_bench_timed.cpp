// The SDO client against the simulated bench with real bus timing (500
// kbit/s): the transmit queue fills and the adapter's receive buffer fills
// while the client polls. Slow: seconds per image.
#include "bench_link.h"
#include "fake_backend.h"
#include "sim_bench.h"

#include <gtest/gtest.h>

using namespace cotest;
using namespace fake;
using Bytes = std::vector<uint8_t>;

namespace {

TEST(BenchTimed, BlockDownloadsOnATimedBus) {
    for (double loss : {0.0, 0.01}) {
        bench_install();
        sim_bench_set_timing(1);
        sim_motor_config_t m;
        sim_motor_config_init(&m);
        m.node = 9;
        m.initialState = SIM_START_BOOT_HELD;
        ASSERT_EQ(sim_bench_add_motor(&m), 1);
        bench_link().segmentLoss = loss;
        bench_link().realTime = true;
        client_channel_context_t *ch = bench_channel();
        Bytes img(64 * 1024);
        for (size_t i = 0; i < img.size(); ++i) {
            img[i] = static_cast<uint8_t>((i * 2654435761u) >> 13);
        }
        EXPECT_EQ(bench_download(ch, 9, 0x1F50, 1, img, true, 2000), 0u) << loss;
        EXPECT_EQ(sim_bench_motor_image_crc32(0, 0, 9), crc32_of(img));
        sim_segment_stats_t ss;
        ASSERT_EQ(sim_bench_segment_stats(0, 0, &ss), 1);
        EXPECT_EQ(ss.rxOverflowDrops, 0u);
        sim_bench_set_timing(0);
    }
    bench_install();
}

} // namespace
