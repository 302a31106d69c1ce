// The bench seen through the adapter transport: device and channel life
// cycle, the adapter's buffers, acknowledgement, peers and threads.
#include "sim_test_util.h"

#include <atomic>
#include <thread>
#include <vector>

namespace {

class Transport : public BenchTest {};

TEST_F(Transport, DeviceAndChannelLifeCycle) {
    ASSERT_EQ(1, sim_bench_add_adapter(0, 2));
    EXPECT_EQ(0u, T()->OpenDevice(VCI_USBCAN2, 1, 0)); // no such adapter
    EXPECT_EQ(0u, T()->OpenDevice(3, 0, 0));           // other device types are not simulated
    VCI_INIT_CONFIG cfg{};
    cfg.Timing0 = 0x00;
    cfg.Timing1 = 0x14;
    EXPECT_EQ(0u, T()->InitCAN(VCI_USBCAN2, 0, 0, &cfg)); // not open yet
    ASSERT_EQ(1u, T()->OpenDevice(VCI_USBCAN2, 0, 0));
    EXPECT_EQ(0u, T()->StartCAN(VCI_USBCAN2, 0, 0)); // not initialised
    EXPECT_EQ(0u, T()->InitCAN(VCI_USBCAN2, 0, 0, nullptr));
    EXPECT_EQ(0u, T()->InitCAN(VCI_USBCAN2, 0, 2, &cfg)); // two channels only
    cfg.Timing1 = 0x15;
    EXPECT_EQ(0u, T()->InitCAN(VCI_USBCAN2, 0, 0, &cfg)); // unknown timing
    cfg.Timing1 = 0x14;
    EXPECT_EQ(1u, T()->InitCAN(VCI_USBCAN2, 0, 0, &cfg));
    VCI_CAN_OBJ o{};
    o.ID = 1;
    EXPECT_EQ(0u, T()->Transmit(VCI_USBCAN2, 0, 0, &o, 1)); // not started
    EXPECT_EQ(1u, T()->StartCAN(VCI_USBCAN2, 0, 0));

    VCI_BOARD_INFO info;
    ASSERT_EQ(1u, T()->ReadBoardInfo(VCI_USBCAN2, 0, &info));
    EXPECT_EQ(2, info.can_Num);
    EXPECT_STREQ("OSTSIM0000", info.str_Serial_Num);
    EXPECT_EQ(0u, T()->ReadBoardInfo(VCI_USBCAN2, 0, nullptr));

    VCI_CAN_OBJ in[2];
    EXPECT_EQ(0u, T()->Receive(VCI_USBCAN2, 0, 0, in, 2, 0));
    EXPECT_EQ(1u, T()->CloseDevice(VCI_USBCAN2, 0));
    EXPECT_EQ(0xFFFFFFFFu, T()->Receive(VCI_USBCAN2, 0, 0, in, 2, 0));
    EXPECT_EQ(0u, T()->Transmit(VCI_USBCAN2, 0, 0, &o, 1));
    EXPECT_EQ(1u, T()->UsbDeviceReset(VCI_USBCAN2, 0, 0));
    EXPECT_EQ(0u, T()->UsbDeviceReset(VCI_USBCAN2, 2, 0));
    EXPECT_STREQ("sim", T()->name);
}

TEST_F(Transport, NoAcknowledgeWithoutPoweredNode) {
    ASSERT_EQ(1, sim_bench_add_adapter(0, 2));
    ASSERT_TRUE(open_channel(0, 0));
    EXPECT_EQ(0u, tx(0, 0, 0x605, {1}));
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    c.initialState = SIM_START_OFF;
    ASSERT_EQ(1, sim_bench_add_motor(&c));
    EXPECT_EQ(0u, tx(0, 0, 0x605, {1}));
    ASSERT_EQ(1, sim_bench_set_power(0, 0, 1, 1));
    EXPECT_EQ(1u, tx(0, 0, 0x605, {1}));
    sim_segment_stats_t st;
    ASSERT_EQ(1, sim_bench_segment_stats(0, 0, &st));
    EXPECT_EQ(2u, st.txRefused);
    EXPECT_EQ(1u, st.framesFromProgram);
}

TEST_F(Transport, NoAcknowledgeTakesTheRetryTimeOnATimedBus) {
    sim_bench_set_manual_clock(0);
    sim_bench_set_timing(1);
    sim_bench_set_no_ack_ms(40);
    ASSERT_EQ(1, sim_bench_add_adapter(0, 2));
    ASSERT_TRUE(open_channel(0, 1));
    const uint64_t t0 = sim_bench_now_us();
    EXPECT_EQ(0u, tx(0, 1, 0x123, {1, 2}));
    EXPECT_GE(sim_bench_now_us() - t0, 40000u);
    sim_bench_set_timing(0);
}

TEST_F(Transport, BitRateMismatchMeansNoAcknowledge) {
    ASSERT_EQ(1, sim_bench_add_segment(0, 0, 500));
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    ASSERT_EQ(1, sim_bench_add_motor(&c));
    ASSERT_TRUE(open_channel(0, 0)); // 1000 kbit/s
    EXPECT_EQ(0u, tx(0, 0, 1, {0x64}));
    ASSERT_TRUE(open_channel(0, 0, 0x00, 0x1C)); // 500 kbit/s
    EXPECT_EQ(1u, tx(0, 0, 1, {0x64}));
    EXPECT_EQ(1u, rx_all(0, 0).size());
}

TEST_F(Transport, ReceiveBufferOverflowIsCounted) {
    ASSERT_EQ(1, sim_bench_attach_peer(0, 0, nullptr, nullptr));
    ASSERT_TRUE(open_channel(0, 0));
    const uint8_t d[2] = {1, 2};
    for (uint32_t i = 0; i < SIM_RX_BUFFER_LEN + 52; ++i) {
        ASSERT_EQ(1, sim_bench_inject(0, 0, 0x700 + (i & 0x7F), 2, d));
    }
    sim_segment_stats_t st;
    ASSERT_EQ(1, sim_bench_segment_stats(0, 0, &st));
    EXPECT_EQ(52u, st.rxOverflowDrops);
    EXPECT_EQ(SIM_RX_BUFFER_LEN, st.framesToProgram);
    std::vector<Frame> got = rx_all(0, 0);
    ASSERT_EQ(SIM_RX_BUFFER_LEN, got.size());
    EXPECT_EQ(0x700u, got[0].id); // the oldest frames are kept
    // ClearBuffer empties it.
    sim_bench_inject(0, 0, 0x1, 2, d);
    EXPECT_EQ(1u, T()->ClearBuffer(VCI_USBCAN2, 0, 0));
    EXPECT_TRUE(rx_all(0, 0).empty());
}

TEST_F(Transport, ReceiveCopiesAtMostTheRequestedCount) {
    ASSERT_EQ(1, sim_bench_attach_peer(0, 0, nullptr, nullptr));
    ASSERT_TRUE(open_channel(0, 0));
    const uint8_t d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (int i = 0; i < 3; ++i) {
        sim_bench_inject(0, 0, 0x10 + i, static_cast<uint8_t>(i + 6), d); // DLC 9 arrives as 8
    }
    VCI_CAN_OBJ in[2];
    ASSERT_EQ(2u, T()->Receive(VCI_USBCAN2, 0, 0, in, 2, 0));
    EXPECT_EQ(0x10u, in[0].ID);
    EXPECT_EQ(6, in[0].DataLen);
    ASSERT_EQ(1u, T()->Receive(VCI_USBCAN2, 0, 0, in, 2, 0));
    EXPECT_EQ(8, in[0].DataLen);
    EXPECT_EQ(0u, T()->Receive(VCI_USBCAN2, 0, 0, nullptr, 2, 0));
}

struct Seen {
    std::vector<Frame> frames;
    int injectOn = -1; // answer this identifier through the bench
};

void peer_cb(void *user, uint32_t, uint32_t, uint32_t ident, uint8_t dlc, const uint8_t *data) {
    Seen *s = static_cast<Seen *>(user);
    Frame f;
    f.id = ident;
    f.dlc = dlc;
    memcpy(f.data, data, 8);
    s->frames.push_back(f);
    if (static_cast<int>(ident) == s->injectOn) {
        const uint8_t r[3] = {0xEE, dlc, data[0]};
        sim_bench_inject(0, 0, ident + 1, 3, r);
    }
}

TEST_F(Transport, PeerSeesProgramFramesAndInjects) {
    Seen seen;
    seen.injectOn = 0x321;
    ASSERT_EQ(1, sim_bench_attach_peer(0, 0, peer_cb, &seen));
    ASSERT_TRUE(open_channel(0, 0));
    EXPECT_EQ(1u, tx(0, 0, 0x100, {1, 2, 3}));
    EXPECT_EQ(1u, tx(0, 0, 0x321, {9}, 12)); // DLC above 8 goes out as 8
    ASSERT_EQ(2u, seen.frames.size());
    EXPECT_EQ(0x100u, seen.frames[0].id);
    EXPECT_EQ(3, seen.frames[0].dlc);
    EXPECT_EQ(8, seen.frames[1].dlc);
    // The answer injected from inside the callback reaches the program.
    Frame r = rx_one(0, 0);
    EXPECT_EQ(0x322u, r.id);
    EXPECT_EQ((std::vector<uint8_t>{0xEE, 8, 9}), bytes_of(r));
    sim_bench_detach_peer(0, 0);
    EXPECT_EQ(0u, tx(0, 0, 0x100, {1})); // nobody left to acknowledge
    EXPECT_EQ(0, sim_bench_inject(2, 5, 1, 0, nullptr));
}

TEST(TransportThreads, ChannelsWorkInParallel) {
    // One thread per channel of the default bench plus one reading statistics.
    sim_bench_set_manual_clock(0);
    ASSERT_EQ(1, sim_bench_load_default());
    sim_bench_set_timing(0);
    const struct {
        uint32_t dev, ch;
        uint8_t node, type;
    } targets[4] = {{0, 0, 1, 9}, {0, 1, 4, 65}, {1, 0, 5, 11}, {1, 1, 8, 67}};
    for (const auto &t : targets) {
        ASSERT_TRUE(open_channel(t.dev, t.ch));
    }
    std::atomic<int> answered{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (const auto &t : targets) {
        threads.emplace_back([&answered, t] {
            for (int i = 0; i < 300; ++i) {
                if (tx(t.dev, t.ch, t.node, {0x64}) != 1) {
                    continue;
                }
                for (const Frame &f : rx_all(t.dev, t.ch)) {
                    if (f.id == t.node && f.data[0] == 0x64 && f.data[2] == t.type) {
                        ++answered;
                    }
                }
            }
        });
    }
    std::thread watcher([&stop] {
        sim_segment_stats_t st;
        while (!stop) {
            sim_bench_segment_stats(0, 0, &st);
            sim_bench_motor_state(1, 1, 8);
        }
    });
    for (std::thread &t : threads) {
        t.join();
    }
    stop = true;
    watcher.join();
    EXPECT_EQ(1200, answered.load());
    sim_bench_reset();
}

} // namespace
