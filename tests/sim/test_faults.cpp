// Every fault knob, per node and per segment.
#include "sim_test_util.h"

#include <string>

namespace {

class Faults : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        add_motor(3, SIM_START_APPLICATION);
    }
    void set_node(const sim_fault_t &f) { ASSERT_EQ(1, sim_bench_set_node_fault(0, 0, 3, &f)); }
    // Which of `n` motor-type queries got an answer, as a string of 0/1.
    std::string answered(int n) {
        std::string s;
        for (int i = 0; i < n; ++i) {
            tx(0, 0, 3, {0x64});
            s += rx_all(0, 0).empty() ? '0' : '1';
        }
        return s;
    }
};

TEST_F(Faults, DropFractionIsSeededAndReproducible) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.dropFraction = 0.5;
    set_node(f);
    sim_bench_set_seed(42);
    const std::string a = answered(400);
    sim_bench_set_seed(42);
    const std::string b = answered(400);
    sim_bench_set_seed(43);
    const std::string c = answered(400);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    // Request and reply each survive with one chance in two.
    const auto ones = std::count(a.begin(), a.end(), '1');
    EXPECT_GT(ones, 60);
    EXPECT_LT(ones, 140);
    sim_segment_stats_t st;
    ASSERT_EQ(1, sim_bench_segment_stats(0, 0, &st));
    EXPECT_GT(st.faultDrops, 0u);
}

TEST_F(Faults, SegmentDropAppliesToEveryFrame) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.dropFraction = 1.0;
    ASSERT_EQ(1, sim_bench_set_segment_fault(0, 0, &f));
    EXPECT_EQ(std::string(20, '0'), answered(20));
    ASSERT_EQ(1, sim_bench_set_segment_fault(0, 0, nullptr));
    EXPECT_EQ(std::string(20, '1'), answered(20));
    // Each frame is lost with the given chance once, not once on the bus
    // and again at the motor: request and reply each survive one in two.
    f.dropFraction = 0.5;
    ASSERT_EQ(1, sim_bench_set_segment_fault(0, 0, &f));
    const std::string a = answered(400);
    const auto ones = std::count(a.begin(), a.end(), '1');
    EXPECT_GT(ones, 70);
    EXPECT_LT(ones, 130);
}

// A slow application start and an odd answer to a read of the image.
TEST_F(Faults, SlowStartAndProbeAbort) {
    sim_bench_reset();
    add_motor(3, SIM_START_BOOT_HELD);
    sim_fault_t f;
    sim_fault_init(&f);
    f.appStartMs = 5000;
    f.probeAbortCode = 0x08000020u;
    set_node(f);
    tx(0, 0, 0x603, {0x40, 0x50, 0x1F, 0x01, 0, 0, 0, 0});
    EXPECT_EQ(0x08000020u, abort_code(rx_one(0, 0)));
    tx(0, 0, 0x603, {0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    EXPECT_EQ(0x60, rx_one(0, 0).data[0]);
    sim_bench_advance_ms(4900);
    EXPECT_NE(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 3));
    tx(0, 0, 3, {0x65});
    EXPECT_TRUE(rx_all(0, 0).empty()); // starting: it answers nothing
    sim_bench_advance_ms(101);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 3));
}

TEST_F(Faults, ReplyDelayLeavesStaleFrames) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.replyDelayMs = 30;
    set_node(f);
    tx(0, 0, 3, {0x64});
    sim_bench_advance_ms(20);
    EXPECT_TRUE(rx_all(0, 0).empty()); // past a 20 ms wait
    tx(0, 0, 3, {0x65});
    sim_bench_advance_ms(11);
    // The late type reply arrives first: a reader taking "the next frame" gets a stale one.
    std::vector<Frame> got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x64, got[0].data[0]);
    sim_bench_advance_ms(20);
    got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x65, got[0].data[0]);
}

TEST_F(Faults, SilentNodeStillAcknowledges) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.silent = 1;
    set_node(f);
    EXPECT_EQ(1u, tx(0, 0, 3, {0x64}));
    EXPECT_EQ(1u, tx(0, 0, 3, {0xA3, 0x40, 0, 0, 0, 0}));
    EXPECT_TRUE(rx_all(0, 0).empty());
}

TEST_F(Faults, ShortDlcReplies) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.shortDlc = 1;
    set_node(f);
    tx(0, 0, 3, {0x64});
    EXPECT_EQ(4, rx_one(0, 0).dlc);
    tx(0, 0, 3, {0xA4, 0x40, 0, 0, 0, 0});
    EXPECT_EQ(5, rx_one(0, 0).dlc);
    tx(0, 0, 3, {0x65});
    EXPECT_EQ(4, rx_one(0, 0).dlc);
}

TEST_F(Faults, AdapterReceiveErrorsAndTransmitFailures) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.rxErrors = 2;
    f.txFailures = 1;
    ASSERT_EQ(1, sim_bench_set_segment_fault(0, 0, &f));
    EXPECT_EQ(0u, tx(0, 0, 3, {0x64}));
    EXPECT_EQ(1u, tx(0, 0, 3, {0x64}));
    VCI_CAN_OBJ in[4];
    EXPECT_EQ(0xFFFFFFFFu, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
    EXPECT_EQ(0xFFFFFFFFu, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
    EXPECT_EQ(1u, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
    f.rxErrors = SIM_FOREVER;
    f.txFailures = SIM_FOREVER;
    ASSERT_EQ(1, sim_bench_set_segment_fault(0, 0, &f));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0u, tx(0, 0, 3, {0x64}));
        EXPECT_EQ(0xFFFFFFFFu, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
    }
}

TEST_F(Faults, IgnoreStopLetsTheApplicationStart) {
    sim_fault_t f;
    sim_fault_init(&f);
    f.ignoreStop = 1;
    set_node(f);
    sim_bench_power_cycle_node(0, 0, 3, 0);
    tx(0, 0, 0x603, {0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
    EXPECT_TRUE(rx_all(0, 0).empty());
    sim_bench_advance_ms(SIM_DEFAULT_BOOT_WINDOW_MS + 1);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 3));
}

// Block download of `len` bytes of 0x11 without gaps; returns the abort code or 0.
uint32_t download(uint32_t len) {
    tx(0, 0, 0x603,
       {0xC6, 0x50, 0x1F, 0x01, static_cast<uint8_t>(len), static_cast<uint8_t>(len >> 8), 0, 0});
    Frame r = rx_one(0, 0);
    if (r.data[0] == 0x80) {
        return abort_code(r);
    }
    const uint8_t blk = r.data[4];
    uint32_t off = 0;
    uint8_t seq = 0;
    while (off < len) {
        const uint32_t n = len - off < 7 ? len - off : 7;
        off += n;
        ++seq;
        uint8_t d[8] = {
            static_cast<uint8_t>(seq | (off >= len ? 0x80 : 0)), 0x11, 0x11, 0x11, 0x11, 0x11, 0x11, 0x11};
        tx_raw(0, 0, 0x603, d, 8);
        // The server may abort in the middle of a sub-block.
        std::vector<Frame> got = rx_all(0, 0);
        if (!got.empty() && got[0].data[0] == 0x80) {
            return abort_code(got[0]);
        }
        if (seq == blk || off >= len) {
            if (got.size() != 1) {
                return 0xFFFFFFFFu;
            }
            seq = 0;
        } else if (!got.empty()) {
            return 0xFFFFFFFFu;
        }
    }
    std::vector<uint8_t> img(len, 0x11);
    const uint16_t crc = sim_crc16_ccitt(img.data(), len, 0);
    const uint8_t noData = static_cast<uint8_t>((7 - len % 7) % 7);
    tx(0, 0, 0x603,
       {static_cast<uint8_t>(0xC1 | (noData << 2)), static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
        0, 0, 0, 0, 0});
    r = rx_one(0, 0);
    return r.data[0] == 0xA1 ? 0 : abort_code(r);
}

TEST_F(Faults, AbortAtOffsetAndWrongCrc) {
    sim_bench_reset();
    add_motor(3, SIM_START_BOOT_HELD);
    sim_fault_t f;
    sim_fault_init(&f);
    f.abortEnabled = 1;
    f.abortAtOffset = 1000;
    f.abortCode = 0x06060000u;
    set_node(f);
    EXPECT_EQ(0x06060000u, download(2000));
    sim_motor_stats_t st;
    ASSERT_EQ(1, sim_bench_motor_stats(0, 0, 3, &st));
    EXPECT_GE(st.imageSize, 1000u);
    EXPECT_LT(st.imageSize, 1007u);
    EXPECT_EQ(0u, st.imageComplete);
    EXPECT_EQ(0u, download(999));

    f.abortAtOffset = 0;
    set_node(f);
    EXPECT_EQ(0x06060000u, download(10)); // refused at the initiate

    sim_fault_init(&f);
    f.wrongCrc = 1;
    set_node(f);
    ASSERT_EQ(0u, download(300));
    std::vector<uint8_t> img(300, 0x11);
    tx(0, 0, 0x603, {0x40, 0x56, 0x1F, 0x01, 0, 0, 0, 0});
    Frame r = rx_one(0, 0);
    EXPECT_EQ(0x43, r.data[0]);
    EXPECT_EQ(~sim_crc32(img.data(), img.size()), abort_code(r));
    EXPECT_EQ(sim_crc32(img.data(), img.size()), sim_bench_motor_image_crc32(0, 0, 3));
}

} // namespace
