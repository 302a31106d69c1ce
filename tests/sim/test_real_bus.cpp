// What makes the bench behave like real motors on a real bus: the time a
// bootloader takes to erase, write, check and start, other nodes' frames,
// error frames and a bus-off of the adapter channel.
#include "sim_test_util.h"

#include <algorithm>

namespace {

const uint8_t kNode = 5;
const uint32_t kReq = 0x600 + kNode;
const uint32_t kRsp = 0x580 + kNode;

sim_motor_config_t held_motor() {
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    c.node = kNode;
    c.initialState = SIM_START_BOOT_HELD;
    c.blockSize = 2;
    return c;
}

bool has_answer(const std::vector<Frame> &got, uint32_t id, uint8_t byte0) {
    return std::any_of(got.begin(), got.end(),
                       [=](const Frame &f) { return f.id == id && f.dlc == 8 && f.data[0] == byte0; });
}

void initiate_image_download() {
    EXPECT_EQ(1u, tx(0, 0, kReq, {0xC6, 0x50, 0x1F, 0x01, 100, 0, 0, 0}));
}

using RealTimings = BenchTest;

// Each of the bootloader's own times: nothing a millisecond before it has
// passed, the answer when it has.
TEST_F(RealTimings, BootloaderTakesItsTime) {
    struct Case {
        const char *name;
        uint32_t sim_motor_config_t::*key;
        void (*request)();
        bool (*answered)();
    };
    const Case cases[] = {
        {"erase before the initiate's answer", &sim_motor_config_t::eraseMs, initiate_image_download,
         [] { return has_answer(rx_all(0, 0), kRsp, 0xA4); }},
        {"erase of the 1 KiB the image needs", &sim_motor_config_t::eraseKibMs, initiate_image_download,
         [] { return has_answer(rx_all(0, 0), kRsp, 0xA4); }},
        {"write before a sub-block's acknowledge", &sim_motor_config_t::writeMs,
         [] {
             initiate_image_download();
             EXPECT_EQ(0xA4, rx_one(0, 0).data[0]);
             EXPECT_EQ(1u, tx(0, 0, kReq, {0x01, 1, 2, 3, 4, 5, 6, 7}));
             EXPECT_EQ(1u, tx(0, 0, kReq, {0x02, 1, 2, 3, 4, 5, 6, 7}));
         },
         [] { return has_answer(rx_all(0, 0), kRsp, 0xA2); }},
        {"CRC before its answer", &sim_motor_config_t::crcMs,
         [] {
             EXPECT_EQ(1u, tx(0, 0, kReq, {0x40, 0x56, 0x1F, 0x01, 0, 0, 0, 0}));
         },
         [] { return has_answer(rx_all(0, 0), kRsp, 0x43); }},
        {"application start after the start command", &sim_motor_config_t::bootMs,
         [] {
             EXPECT_EQ(1u, tx(0, 0, kReq, {0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0}));
             EXPECT_EQ(0x60, rx_one(0, 0).data[0]);
         },
         [] {
             tx(0, 0, kNode, {0x65});
             const std::vector<Frame> got = rx_all(0, 0);
             return got.size() == 1 && got[0].id == kNode && got[0].data[0] == 0x65;
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        sim_bench_reset();
        sim_motor_config_t m = held_motor();
        m.*c.key = 1200;
        ASSERT_EQ(1, sim_bench_add_motor(&m));
        ASSERT_TRUE(open_channel(0, 0));
        c.request();
        sim_bench_advance_ms(1199);
        EXPECT_FALSE(c.answered());
        sim_bench_advance_ms(1);
        EXPECT_TRUE(c.answered());
    }
}

// The erase counts from the last initiate, an abort drops its answer, and
// the server does not give its client up while it erases.
TEST_F(RealTimings, RetriedInitiateStartsTheEraseAgain) {
    sim_motor_config_t m = held_motor();
    m.eraseMs = 5000; // longer than the server's patience with a silent client
    ASSERT_EQ(1, sim_bench_add_motor(&m));
    ASSERT_TRUE(open_channel(0, 0));
    initiate_image_download();
    sim_bench_advance_ms(1500);
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x01, 1, 2, 3, 4, 5, 6, 7})); // a stray segment while it erases
    initiate_image_download();                                  // the client gave up and tries again
    sim_bench_advance_ms(4999);
    EXPECT_TRUE(rx_all(0, 0).empty());
    sim_bench_advance_ms(1);
    std::vector<Frame> got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0xA4, got[0].data[0]);
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x01, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x02, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(0xA2, rx_one(0, 0).data[0]);
    const Frame clientAbort = {kReq, 8, {0x80, 0x50, 0x1F, 0x01, 0, 0, 0, 0x08}};
    EXPECT_EQ(1u, tx_raw(0, 0, kReq, clientAbort.data, 8));

    initiate_image_download();
    sim_bench_advance_ms(500);
    EXPECT_EQ(1u, tx_raw(0, 0, kReq, clientAbort.data, 8));
    sim_bench_advance_ms(8000);
    EXPECT_TRUE(rx_all(0, 0).empty());
    EXPECT_EQ(0u, sim_bench_motor_image(0, 0, kNode, nullptr, 0)); // the flash was erased all the same
}

// A bootloader that takes the image but does not answer reads of it.
TEST_F(RealTimings, ProbeLeftUnanswered) {
    ASSERT_NO_FATAL_FAILURE(add_motor(kNode, SIM_START_BOOT_HELD));
    sim_fault_t f;
    sim_fault_init(&f);
    f.probeSilent = 1;
    ASSERT_EQ(1, sim_bench_set_node_fault(0, 0, kNode, &f));
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x40, 0x50, 0x1F, 0x01, 0, 0, 0, 0}));
    sim_bench_advance_ms(100);
    EXPECT_TRUE(rx_all(0, 0).empty());
    initiate_image_download();
    EXPECT_EQ(0xA4, rx_one(0, 0).data[0]);
}

class RealBus : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        sim_bench_set_timing(1);
        seen_ = 0;
        ASSERT_EQ(1, sim_bench_attach_peer(0, 0, count_frames, &seen_));
        ASSERT_TRUE(open_channel(0, 0));
    }
    void TearDown() override {
        BenchTest::TearDown();
        sim_bench_set_timing(0);
    }
    static void count_frames(void *user, uint32_t, uint32_t, uint32_t, uint8_t, const uint8_t *) {
        ++*static_cast<int *>(user);
    }
    sim_segment_stats_t stats() {
        sim_segment_stats_t st;
        EXPECT_EQ(1, sim_bench_segment_stats(0, 0, &st));
        return st;
    }
    int seen_ = 0; // the program's frames that left the bus
};

uint32_t frame_us(uint32_t id, uint8_t dlc, const uint8_t *data) {
    return sim_can_frame_duration_us(sim_can_frame_bits(id, 0, 0, dlc, data), 1000);
}

// Another node's frame ready at the same instant as the program's: the lower
// identifier goes first, and the other waits for the bus.
TEST_F(RealBus, OtherNodesArbitrateForTheBus) {
    const uint8_t zeros[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (uint32_t programId : {0x050u, 0x700u}) {
        SCOPED_TRACE(programId);
        TearDown();
        SetUp();
        ASSERT_EQ(1, sim_bench_add_traffic(0, 0, 0x100, 1000, 8)); // its first frame is due now
        ASSERT_EQ(1u, tx_raw(0, 0, programId, zeros, 8));
        sim_bench_advance_ms(1);
        VCI_CAN_OBJ in[4];
        ASSERT_EQ(1u, T()->Receive(VCI_USBCAN2, 0, 0, in, 4, 0));
        EXPECT_EQ(0x100u, in[0].ID);
        const uint32_t ahead = programId < 0x100 ? frame_us(programId, 8, zeros) : 0;
        EXPECT_EQ((ahead + frame_us(0x100, 8, zeros)) / 100u, in[0].TimeStamp); // 0.1 ms since opened
        EXPECT_EQ(1, seen_);
    }
    // A frame every millisecond: a hundred in 100 ms, each to the program.
    TearDown();
    SetUp();
    ASSERT_EQ(1, sim_bench_add_traffic(0, 0, 0x181, 1, 8));
    sim_bench_advance_ms(100);
    EXPECT_EQ(100u, stats().trafficFrames);
    EXPECT_EQ(100u, rx_all(0, 0).size());
}

// An error frame destroys the frame on the bus, which is sent again; each
// one costs the adapter's transmit error counter 8 when the frame was its
// own, and past 255 the channel goes bus-off until 128 x 11 bits passed.
TEST_F(RealBus, ErrorFramesAndBusOff) {
    const uint8_t d[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    const uint32_t bits = sim_can_frame_bits(0x123, 0, 0, 8, d);
    ASSERT_EQ(1, sim_bench_error_frames(0, 0, 31));
    ASSERT_EQ(1u, tx_raw(0, 0, 0x123, d, 8));
    sim_bench_advance_ms(20);
    sim_segment_stats_t st = stats();
    EXPECT_EQ(1, seen_);
    EXPECT_EQ(31u, st.errorFrames);
    EXPECT_EQ(0u, st.busOffs);
    EXPECT_EQ(31u * sim_can_frame_duration_us(bits / 2 + 17, 1000) + sim_can_frame_duration_us(bits, 1000),
              st.busBusyUs);

    // 31 x 8 - 1 = 247: two more errors take it past 255.
    ASSERT_EQ(1, sim_bench_error_frames(0, 0, 2));
    ASSERT_EQ(1u, tx_raw(0, 0, 0x123, d, 8));
    sim_bench_advance_ms(1);
    st = stats();
    EXPECT_EQ(1u, st.busOffs);
    EXPECT_EQ(1u, st.busOffLost);
    EXPECT_EQ(0u, tx_raw(0, 0, 0x123, d, 8)); // off the bus: refused at once
    sim_bench_advance_ms(2);                  // 1408 bits at 1000 kbit/s
    EXPECT_EQ(1u, tx_raw(0, 0, 0x123, d, 8));
    sim_bench_advance_ms(1);
    EXPECT_EQ(2, seen_);

    // A bus-off for a while: nothing goes out, nothing comes in, what was
    // queued is lost; then the channel is back by itself.
    ASSERT_EQ(1u, tx_raw(0, 0, 0x123, d, 8));
    ASSERT_EQ(1, sim_bench_bus_off(0, 0, 50));
    ASSERT_EQ(1, sim_bench_inject(0, 0, 0x321, 8, d));
    EXPECT_EQ(0u, tx_raw(0, 0, 0x123, d, 8));
    sim_bench_advance_ms(49);
    EXPECT_TRUE(rx_all(0, 0).empty());
    VCI_CAN_OBJ in[1];
    EXPECT_EQ(0u, T()->Receive(VCI_USBCAN2, 0, 0, in, 1, 0)); // no frame, and no error either
    sim_bench_advance_ms(1);
    EXPECT_EQ(1u, tx_raw(0, 0, 0x123, d, 8));
    ASSERT_EQ(1, sim_bench_inject(0, 0, 0x321, 8, d));
    sim_bench_advance_ms(1);
    EXPECT_EQ(1u, rx_all(0, 0).size());
    EXPECT_EQ(3, seen_);
    st = stats();
    EXPECT_EQ(2u, st.busOffs);
    EXPECT_EQ(2u, st.busOffLost);
}

} // namespace
