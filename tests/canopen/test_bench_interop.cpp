// The SDO client against the simulated bench's SDO server, written
// independently of it: block download of firmware images with and without
// frame loss, uploads of the bench's objects, and the server's aborts.
#include "bench_link.h"
#include "fake_backend.h"
#include "sim_bench.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using namespace cotest;
using namespace fake;
using Bytes = std::vector<uint8_t>;

namespace {

const uint8_t kNode = 5;

Bytes image(size_t n, uint32_t seed) {
    Bytes v(n);
    uint32_t x = seed * 2654435761u + 1u;
    for (auto &b : v) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<uint8_t>(x);
    }
    return v;
}

class Bench : public ::testing::Test {
  protected:
    void SetUp() override {
        bench_install();
        sim_motor_config_t m;
        sim_motor_config_init(&m);
        m.node = kNode;
        m.initialState = SIM_START_BOOT_HELD;
        ASSERT_EQ(sim_bench_add_motor(&m), 1);
    }
    void TearDown() override { bench_install(); }

    void expect_image(const Bytes &img) {
        EXPECT_EQ(sim_bench_motor_image_crc32(0, 0, kNode), crc32_of(img));
        Bytes got(img.size() + 16);
        EXPECT_EQ(sim_bench_motor_image(0, 0, kNode, got.data(), got.size()), img.size());
        got.resize(img.size());
        EXPECT_TRUE(got == img);
        sim_motor_stats_t st;
        ASSERT_EQ(sim_bench_motor_stats(0, 0, kNode, &st), 1);
        EXPECT_EQ(st.imageComplete, 1u);
    }
};

TEST_F(Bench, BlockDownloadOfImages) {
    client_channel_context_t *ch = bench_channel();
    for (size_t size : {size_t{1024}, size_t{64 * 1024}, size_t{1024 + 3}}) {
        const Bytes img = image(size, static_cast<uint32_t>(size));
        EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, img, true), 0u) << size;
        expect_image(img);
    }
    // The bootloader's own CRC object agrees, read back over SDO.
    Bytes crc;
    EXPECT_EQ(bench_upload(ch, kNode, 0x1F56, 1, crc, false), 0u);
    ASSERT_EQ(crc.size(), 4u);
    const Bytes last = image(1024 + 3, 1024 + 3);
    EXPECT_EQ(crc[0] | (crc[1] << 8) | (crc[2] << 16) | (static_cast<uint32_t>(crc[3]) << 24),
              crc32_of(last));
}

TEST_F(Bench, BlockDownloadWithLostSegments) {
    for (double loss : {0.01, 0.05}) {
        bench_link().segmentLoss = loss;
        bench_link().seed = static_cast<uint32_t>(loss * 1000);
        client_channel_context_t *ch = bench_channel();
        const Bytes img = image(64 * 1024, 77);
        EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, img, true), 0u) << loss;
        EXPECT_GT(bench_link().segmentsLost, 0u);
        expect_image(img);
    }
}

TEST_F(Bench, BlockDownloadOf256KiB) {
    client_channel_context_t *ch = bench_channel();
    const Bytes img = image(256 * 1024, 256);
    EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, img, true), 0u);
    expect_image(img);
}

TEST_F(Bench, BlockDownloadOf256KiBWithLostSegments) {
    for (double loss : {0.01, 0.05}) {
        bench_link().segmentLoss = loss;
        bench_link().seed = 3;
        client_channel_context_t *ch = bench_channel();
        const Bytes img = image(256 * 1024, 9);
        EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, img, true), 0u) << loss;
        EXPECT_GT(bench_link().segmentsLost, 1000u * loss);
        expect_image(img);
    }
}

// Loss of any frame in either direction: a lost initiate, acknowledge or
// end frame cannot be recovered by the protocol, so such a transfer must end
// in an abort, never in a success; started again it completes.
TEST_F(Bench, BusLossInBothDirectionsNeverFakesSuccess) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.dropFraction = 0.05;
    ASSERT_EQ(sim_bench_set_segment_fault(0, 0, &f), 1);
    sim_bench_set_seed(11);
    client_channel_context_t *ch = bench_channel();
    const Bytes img = image(4096, 5);
    int attempts = 0, failures = 0;
    CO_SDO_abortCode_t code = 1;
    std::string out;
    while (code != 0 && attempts < 60) {
        attempts++;
        int result = 0;
        out += capture([&] { code = bench_download(ch, kNode, 0x1F50, 1, img, true, 200, &result); });
        if (code != 0) {
            failures++;
            EXPECT_LT(result, 0);
        }
    }
    EXPECT_EQ(code, 0u);
    EXPECT_GT(failures, 0); // with this seed some attempts lose a frame that cannot be recovered
    expect_image(img);
    sim_segment_stats_t ss;
    ASSERT_EQ(sim_bench_segment_stats(0, 0, &ss), 1);
    EXPECT_GT(ss.faultDrops, 0u);
    RecordProperty("attempts", attempts);
    RecordProperty("failures", failures);
}

// The last segment of the first sub-block is lost: the server never
// acknowledges, the client gives up with the time-out abort, which also ends
// the transfer on the server, and the next attempt completes.
TEST_F(Bench, LostEndOfSubBlockTimesOutAndRetrySucceeds) {
    bench_link().dropFrameNumber = 1 + 127; // initiate request, then segments 1 to 127
    client_channel_context_t *ch = bench_channel();
    const Bytes img = image(8192, 3);
    int result = 0;
    CO_SDO_abortCode_t code = 0;
    const std::string out =
        capture([&] { code = bench_download(ch, kNode, 0x1F50, 1, img, true, 300, &result); });
    EXPECT_EQ(code, CO_SDO_AB_TIMEOUT);
    EXPECT_EQ(result, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(
        out,
        "TIMEOUT1: SDO_C->timeoutTimer = 300000, >= SDO_C->SDOtimeoutTime_us = 300000, SDO_C->state == 1\n");
    sim_motor_stats_t st;
    ASSERT_EQ(sim_bench_motor_stats(0, 0, kNode, &st), 1);
    EXPECT_EQ(st.imageComplete, 0u);
    EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, img, true), 0u);
    expect_image(img);
}

TEST_F(Bench, ServerAbortMidTransfer) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.abortEnabled = 1;
    f.abortAtOffset = 10000;
    f.abortCode = 0x06060000u;
    ASSERT_EQ(sim_bench_set_node_fault(0, 0, kNode, &f), 1);
    client_channel_context_t *ch = bench_channel();
    int result = 0;
    EXPECT_EQ(bench_download(ch, kNode, 0x1F50, 1, image(64 * 1024, 1), true, 1000, &result), 0x06060000u);
    EXPECT_EQ(result, CO_SDO_RT_endedWithServerAbort);
    EXPECT_EQ(ch->sdoclient.state, CO_SDO_ST_IDLE);

    // Objects the server does not have, or does not let us write.
    Bytes out;
    EXPECT_EQ(bench_upload(ch, kNode, 0x3000, 0, out, false), 0x06020000u);
    EXPECT_EQ(bench_upload(ch, kNode, 0x1F50, 1, out, true), 0x06010000u);
    EXPECT_EQ(bench_download(ch, kNode, 0x1018, 1, Bytes{1, 2, 3, 4}, false), 0x06010002u);
}

TEST_F(Bench, UploadsOfTheServersObjects) {
    client_channel_context_t *ch = bench_channel();
    Bytes out;
    EXPECT_EQ(bench_upload(ch, kNode, 0x1018, 1, out, false), 0u);
    EXPECT_EQ(out, Bytes({0x52, 0x54, 0x53, 0x4F}));
    EXPECT_EQ(bench_upload(ch, kNode, 0x1008, 0, out, false), 0u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "Ostrelo bench bootloader");

    Bytes big(2048);
    for (size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<uint8_t>(i * 7u + kNode);
    }
    for (bool block : {false, true}) {
        std::string trace = capture([&] { EXPECT_EQ(bench_upload(ch, kNode, 0x2000, 0, out, block), 0u); });
        EXPECT_EQ(out, big) << (block ? "block" : "segmented");
    }
    // A small object asked for by block upload.
    capture([&] { EXPECT_EQ(bench_upload(ch, kNode, 0x1008, 0, out, true), 0u); });
    EXPECT_EQ(std::string(out.begin(), out.end()), "Ostrelo bench bootloader");
}

TEST_F(Bench, WriteThenReadBackEveryTransferKind) {
    client_channel_context_t *ch = bench_channel();
    // The bench's scratch object holds 64 bytes.
    for (size_t size : {size_t{3}, size_t{21}, size_t{22}, size_t{64}}) {
        for (bool blockDown : {false, true}) {
            const Bytes data = image(size, static_cast<uint32_t>(size + blockDown));
            ASSERT_EQ(bench_download(ch, kNode, 0x2001, 0, data, blockDown), 0u) << size;
            for (bool blockUp : {false, true}) {
                Bytes out;
                capture([&] { EXPECT_EQ(bench_upload(ch, kNode, 0x2001, 0, out, blockUp), 0u); });
                EXPECT_EQ(out, data) << size << " " << blockDown << blockUp;
            }
        }
    }
    EXPECT_EQ(bench_download(ch, kNode, 0x2001, 0, image(65, 1), false), 0x06070012u);
    EXPECT_EQ(bench_download(ch, kNode, 0x2001, 0, image(65, 1), true), 0x06070012u);
}

} // namespace
