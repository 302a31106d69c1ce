// Checksums, the bit-exact frame length and the bus timing model.
#include "sim_test_util.h"

#include "ostrelo_time.h"

#include <vector>

namespace {

TEST(Checks, CrcCheckValues) {
    const uint8_t nine[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(0xCBF43926u, sim_crc32(nine, 9));
    EXPECT_EQ(0u, sim_crc32(nine, 0));
    EXPECT_EQ(0x31C3, sim_crc16_ccitt(nine, 9, 0)); // XMODEM
    // Running the CRC-16 in pieces gives the same value.
    EXPECT_EQ(0x31C3, sim_crc16_ccitt(nine + 4, 5, sim_crc16_ccitt(nine, 4, 0)));
}

TEST(Checks, TrailerRoundTrip) {
    std::vector<uint8_t> img(100 + SIM_TRAILER_LEN, 0x5A);
    sim_image_make_trailer(img.data(), 100, 0x01020304u, img.data() + 100);
    EXPECT_EQ(0, memcmp(img.data() + 100, "OSTRFWV1", 8));
    EXPECT_EQ(0x04, img[108]); // version, least significant byte first
    uint32_t v = 0;
    ASSERT_EQ(1, sim_image_trailer_version(img.data(), img.size(), &v));
    EXPECT_EQ(0x01020304u, v);
    EXPECT_EQ(0, sim_image_trailer_version(img.data(), SIM_TRAILER_LEN - 1, &v));
    img[100] = 'X';
    EXPECT_EQ(0, sim_image_trailer_version(img.data(), img.size(), &v));
}

TEST(Checks, BitRateFromTimingRegisters) {
    struct Row {
        uint8_t t0, t1;
        uint32_t kbps;
    } rows[] = {{0x00, 0x14, 1000}, {0x00, 0x16, 800}, {0x00, 0x1C, 500}, {0x01, 0x1C, 250},
                {0x03, 0x1C, 125},  {0x04, 0x1C, 100}, {0x09, 0x1C, 50},  {0x18, 0x1C, 20},
                {0x31, 0x1C, 10},   {0x80, 0xB6, 666}, {0x09, 0x6F, 33},  {0x12, 0x34, 0},
                {0x00, 0x00, 0}};
    for (const Row &r : rows) {
        EXPECT_EQ(r.kbps, sim_bitrate_from_timing(r.t0, r.t1)) << int(r.t0) << "/" << int(r.t1);
    }
}

// Independent frame length: build the bit string, divide for the CRC-15,
// insert stuff bits explicitly.
uint32_t reference_bits(uint32_t id, uint8_t dlc, const uint8_t *data) {
    std::vector<int> bits;
    auto put = [&](uint32_t v, int w) {
        for (int i = w - 1; i >= 0; --i) {
            bits.push_back((v >> i) & 1);
        }
    };
    bits.push_back(0);
    put(id, 11);
    put(0, 3); // RTR, IDE, r0
    put(dlc, 4);
    for (int i = 0; i < dlc; ++i) {
        put(data[i], 8);
    }
    std::vector<int> rem(bits);
    rem.insert(rem.end(), 15, 0);
    const int poly[16] = {1, 1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 1, 1, 0, 0, 1}; // x^15 + ... + 1 = 0xC599
    for (size_t i = 0; i + 15 < rem.size(); ++i) {
        if (rem[i]) {
            for (int k = 0; k < 16; ++k) {
                rem[i + k] ^= poly[k];
            }
        }
    }
    bits.insert(bits.end(), rem.end() - 15, rem.end());
    std::vector<int> stuffed;
    int run = 0, last = -1;
    for (int b : bits) {
        stuffed.push_back(b);
        run = (b == last) ? run + 1 : 1;
        last = b;
        if (run == 5) {
            stuffed.push_back(!b);
            last = !b;
            run = 1;
        }
    }
    return static_cast<uint32_t>(stuffed.size()) + 13;
}

TEST(Timing, FrameLengthIncludesExactStuffBits) {
    uint32_t x = 99;
    for (int i = 0; i < 2000; ++i) {
        uint8_t d[8];
        for (uint8_t &b : d) {
            x = x * 1664525u + 1013904223u;
            b = static_cast<uint8_t>(x >> 24);
            if ((x & 0x300) == 0) {
                b = 0; // runs of equal bits
            }
        }
        const uint32_t id = (x >> 5) & 0x7FF;
        const uint8_t dlc = static_cast<uint8_t>(x % 9);
        ASSERT_EQ(reference_bits(id, dlc, d), sim_can_frame_bits(id, 0, 0, dlc, d)) << i;
    }
    // Eight data bytes: 111 bits without stuffing, at most 135 with it.
    const uint8_t zeros[8] = {0};
    const uint8_t alt[8] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
    EXPECT_LE(sim_can_frame_bits(0, 0, 0, 8, zeros), 135u);
    EXPECT_GT(sim_can_frame_bits(0, 0, 0, 8, zeros), 125u);
    EXPECT_GE(sim_can_frame_bits(0x555, 0, 0, 8, alt), 111u);
    EXPECT_LE(sim_can_frame_bits(0x555, 0, 0, 8, alt), 114u);
    // Remote frames carry no data; extended identifiers add 20 bits before stuffing.
    EXPECT_EQ(sim_can_frame_bits(0x123, 0, 1, 8, nullptr), sim_can_frame_bits(0x123, 0, 0, 0, nullptr) + 0u);
    EXPECT_GE(sim_can_frame_bits(0x123, 1, 0, 0, nullptr), sim_can_frame_bits(0x123, 0, 0, 0, nullptr) + 20);
}

TEST(Timing, FrameDurationAt125And1000) {
    const uint8_t d[8] = {0x43, 0x56, 0x1F, 0x01, 0x26, 0x39, 0xF4, 0xCB};
    const uint32_t bits = sim_can_frame_bits(0x585, 0, 0, 8, d);
    EXPECT_EQ(bits, sim_can_frame_duration_us(bits, 1000));
    EXPECT_EQ(bits * 8, sim_can_frame_duration_us(bits, 125));
    EXPECT_EQ(0u, sim_can_frame_duration_us(bits, 0));
}

// Frames the program gets onto the bus in `ms` of bench time with its
// transmit queue kept full.
uint64_t frames_in(uint32_t ms, uint8_t t0, uint8_t t1) {
    sim_bench_reset();
    EXPECT_EQ(1, sim_bench_attach_peer(0, 0, nullptr, nullptr));
    EXPECT_TRUE(open_channel(0, 0, t0, t1));
    VCI_CAN_OBJ o{};
    o.ID = 0x123;
    o.DataLen = 8;
    memset(o.Data, 0xA5, 8);
    for (uint32_t i = 0; i < ms; ++i) {
        while (T()->Transmit(VCI_USBCAN2, 0, 0, &o, 1) == 1) {
        }
        sim_bench_advance_ms(1);
    }
    sim_segment_stats_t st;
    EXPECT_EQ(1, sim_bench_segment_stats(0, 0, &st));
    EXPECT_GT(st.txRefused, 0u); // the queue was full every millisecond
    return st.framesFromProgram;
}

class TimedBus : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        sim_bench_set_timing(1);
    }
    void TearDown() override {
        BenchTest::TearDown();
        sim_bench_set_timing(0);
    }
};

TEST_F(TimedBus, ThroughputCeiling) {
    const uint8_t d[8] = {0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5, 0xA5};
    const uint32_t bits = sim_can_frame_bits(0x123, 0, 0, 8, d);
    const uint64_t at1000 = frames_in(1000, 0x00, 0x14);
    EXPECT_GE(at1000, 7400u);
    EXPECT_LE(at1000, 9010u);
    EXPECT_NEAR(static_cast<double>(at1000), 1e6 / bits, 2.0);
    const uint64_t at125 = frames_in(1000, 0x03, 0x1C);
    EXPECT_NEAR(static_cast<double>(at125), 125e3 / bits, 2.0);
}

TEST_F(TimedBus, RepliesTakeTheirTimeOnTheBus) {
    add_motor(1);
    // Query (1 byte) and reply (5 bytes) must both cross the bus at 1000 kbit/s.
    const uint8_t q[1] = {0x64};
    ASSERT_EQ(1u, tx_raw(0, 0, 1, q, 1));
    EXPECT_TRUE(rx_all(0, 0).empty());
    sim_bench_advance_ms(1);
    EXPECT_EQ(1u, rx_all(0, 0).size());
    sim_segment_stats_t st;
    ASSERT_EQ(1, sim_bench_segment_stats(0, 0, &st));
    const uint8_t r[5] = {0x64, 0, 9, 0, 16};
    EXPECT_EQ(sim_can_frame_bits(1, 0, 0, 1, q) + sim_can_frame_bits(1, 0, 0, 5, r), st.busBusyUs);
}

TEST(TimedRealClock, TransmitWaitsWhileTheQueueIsFull) {
    sim_bench_set_manual_clock(0);
    sim_bench_set_timing(1);
    sim_bench_reset();
    ASSERT_EQ(1, sim_bench_attach_peer(0, 0, nullptr, nullptr));
    ASSERT_TRUE(open_channel(0, 0, 0x03, 0x1C)); // 125 kbit/s: about 1 ms per frame
    VCI_CAN_OBJ o{};
    o.ID = 0x100;
    o.DataLen = 8;
    const int n = 200;
    const uint64_t t0 = ostrelo_monotonic_us();
    for (int i = 0; i < n; ++i) {
        ASSERT_EQ(1u, T()->Transmit(VCI_USBCAN2, 0, 0, &o, 1));
    }
    const uint64_t elapsed = ostrelo_monotonic_us() - t0;
    const uint32_t frameUs = sim_can_frame_duration_us(sim_can_frame_bits(0x100, 0, 0, 8, o.Data), 125);
    EXPECT_GE(elapsed, static_cast<uint64_t>(n - SIM_TX_QUEUE_LEN - 1) * frameUs);
    // The receive call never blocks with a wait time of 0, and waits with one.
    VCI_CAN_OBJ in[4];
    EXPECT_EQ(0u, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
    const uint64_t t1 = ostrelo_monotonic_us();
    EXPECT_EQ(0u, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 30));
    EXPECT_GE(ostrelo_monotonic_us() - t1, 30000u);
    sim_bench_reset();
    sim_bench_set_timing(0);
}

} // namespace
