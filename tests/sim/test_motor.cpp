// Application side of the motors, the boot-entry handshake, the boot window
// after power-on, power switching and the simulated operator.
#include "sim_test_util.h"

#include "motor_protocol.h"

namespace {

const uint8_t kStop[8] = {0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0};
const uint8_t kStopAck[8] = {0x60, 0x51, 0x1F, 0x01, 0, 0, 0, 0};

class Motor : public BenchTest {
  protected:
    bool got_stop_ack(uint8_t node) {
        bool ack = false;
        for (const Frame &f : rx_all(0, 0)) {
            ack = ack || (f.id == 0x580u + node && f.dlc == 8 && memcmp(f.data, kStopAck, 8) == 0);
        }
        return ack;
    }
    void handshake(uint8_t node, const uint8_t *first, const uint8_t *second) {
        tx(0, 0, node, {0xA3, 0x40, 0, 0, 0, 0});
        tx(0, 0, node, {0xA3, 0x20, first[0], first[1], first[2], first[3]});
        tx(0, 0, node, {0xA3, 0x40, 0, 0, 0, 0});
        tx(0, 0, node, {0xA3, 0x20, second[0], second[1], second[2], second[3]});
    }
};

TEST_F(Motor, AnswersTheThreeQueriesOnItsNodeId) {
    add_motor(7, SIM_START_APPLICATION, 66, 0x04030201u);
    EXPECT_EQ(1u, tx(0, 0, 7, {0x64}));
    Frame r = rx_one(0, 0);
    EXPECT_EQ(7u, r.id);
    ASSERT_GE(r.dlc, 5);
    EXPECT_EQ(0x64, r.data[0]);
    EXPECT_EQ(66, r.data[2]);
    EXPECT_EQ(16, r.data[4]);

    EXPECT_EQ(1u, tx(0, 0, 7, {0xA4, 0x40, 0, 0, 0, 0}));
    r = rx_one(0, 0);
    EXPECT_EQ(7u, r.id);
    ASSERT_GE(r.dlc, 6);
    EXPECT_EQ((std::vector<uint8_t>{0xA4, 0x40, 2}), std::vector<uint8_t>(r.data, r.data + 3));

    EXPECT_EQ(1u, tx(0, 0, 7, {0x65}));
    r = rx_one(0, 0);
    ASSERT_GE(r.dlc, 5);
    EXPECT_EQ((std::vector<uint8_t>{0x65, 0x01, 0x02, 0x03, 0x04}), std::vector<uint8_t>(r.data, r.data + 5));

    // Other nodes' identifiers and unknown requests stay unanswered.
    EXPECT_EQ(1u, tx(0, 0, 8, {0x64}));
    EXPECT_EQ(1u, tx(0, 0, 7, {0x99}));
    EXPECT_EQ(1u, tx(0, 0, 7, {}, 0));
    EXPECT_TRUE(rx_all(0, 0).empty());
}

TEST_F(Motor, SameNodeIdOnTwoChannelsAnswersOnEach) {
    add_motor(3, SIM_START_APPLICATION, 9);
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    c.channel = 1;
    c.node = 3;
    c.motorType = 31;
    ASSERT_EQ(1, sim_bench_add_motor(&c));
    EXPECT_EQ(0, sim_bench_add_motor(&c)); // the same node twice on one channel is refused
    ASSERT_TRUE(open_channel(0, 1));
    tx(0, 0, 3, {0x64});
    tx(0, 1, 3, {0x64});
    EXPECT_EQ(9, rx_one(0, 0).data[2]);
    EXPECT_EQ(31, rx_one(0, 1).data[2]);
}

TEST_F(Motor, HandshakeRestartsIntoTheBootloader) {
    add_motor(4);
    // The read reply is never FF FF FF FF and is exactly 6 bytes long.
    tx(0, 0, 4, {0xA3, 0x40, 0, 0, 0, 0});
    Frame r = rx_one(0, 0);
    EXPECT_EQ(6, r.dlc);
    EXPECT_FALSE(r.data[2] == 0xFF && r.data[3] == 0xFF && r.data[4] == 0xFF && r.data[5] == 0xFF);

    // The second signature alone, or the signatures swapped, change nothing.
    handshake(4, MOTOR_ENTRY_SIGNATURE_2, MOTOR_ENTRY_SIGNATURE_1);
    sim_bench_advance_ms(200);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 4));
    rx_all(0, 0);

    handshake(4, MOTOR_ENTRY_SIGNATURE_1, MOTOR_ENTRY_SIGNATURE_2);
    EXPECT_EQ(2u, rx_all(0, 0).size()); // two read replies
    // Restarting: silent for a moment, then held in the bootloader.
    tx(0, 0, 4, {0x64});
    EXPECT_TRUE(rx_all(0, 0).empty());
    sim_bench_advance_ms(SIM_DEFAULT_RESTART_MS + 1);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 4));
    tx(0, 0, 4, {0x64});
    EXPECT_TRUE(rx_all(0, 0).empty()); // the bootloader does not speak the application protocol
    // It stays there, also long after.
    sim_bench_advance_ms(5000);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 4));
}

TEST_F(Motor, StopCommandInTheBootWindowHoldsTheNode) {
    add_motor(2);
    // The application ignores the stop command.
    tx_raw(0, 0, 0x602, kStop, 8);
    EXPECT_FALSE(got_stop_ack(2));

    ASSERT_EQ(1, sim_bench_power_cycle_node(0, 0, 2, 100));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(0, 0, 2));
    tx_raw(0, 0, 0x602, kStop, 8);
    EXPECT_EQ(0u, tx(0, 0, 0x602, {0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0})); // nobody acknowledges
    sim_bench_advance_ms(100);
    EXPECT_EQ(SIM_MOTOR_BOOT_WINDOW, sim_bench_motor_state(0, 0, 2));
    sim_bench_advance_ms(SIM_DEFAULT_BOOT_WINDOW_MS / 2);
    tx_raw(0, 0, 0x602, kStop, 8);
    EXPECT_TRUE(got_stop_ack(2));
    sim_bench_advance_ms(SIM_DEFAULT_BOOT_WINDOW_MS * 2);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 2));

    // Without the stop command the window ends in the application.
    ASSERT_EQ(1, sim_bench_power_cycle_node(0, 0, 2, 0));
    EXPECT_EQ(SIM_MOTOR_BOOT_WINDOW, sim_bench_motor_state(0, 0, 2));
    sim_bench_advance_ms(SIM_DEFAULT_BOOT_WINDOW_MS + 1);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 2));
    tx_raw(0, 0, 0x602, kStop, 8);
    EXPECT_FALSE(got_stop_ack(2));
}

TEST_F(Motor, NodeWithoutApplicationStaysInTheBootloader) {
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    c.node = 9;
    c.hasApplication = 0;
    ASSERT_EQ(1, sim_bench_add_motor(&c));
    ASSERT_TRUE(open_channel(0, 0));
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 9));
    sim_bench_power_cycle_node(0, 0, 9, 0);
    sim_bench_advance_ms(SIM_DEFAULT_BOOT_WINDOW_MS + 1);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 9));
    // Starting the application is refused.
    tx(0, 0, 0x609, {0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    Frame r = rx_one(0, 0);
    EXPECT_EQ(0x80, r.data[0]);
    EXPECT_EQ(0x08000022u, abort_code(r));
}

TEST_F(Motor, PowerSwitching) {
    add_motor(1);
    sim_motor_config_t c;
    sim_motor_config_init(&c);
    c.node = 2;
    ASSERT_EQ(1, sim_bench_add_motor(&c));
    c.channel = 1;
    ASSERT_EQ(1, sim_bench_add_motor(&c));

    ASSERT_EQ(1, sim_bench_set_power(0, 0, 1, 0));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(0, 0, 1));
    tx(0, 0, 1, {0x64});
    EXPECT_TRUE(rx_all(0, 0).empty());
    ASSERT_EQ(1, sim_bench_set_power(0, 0, 1, 1));
    EXPECT_EQ(SIM_MOTOR_BOOT_WINDOW, sim_bench_motor_state(0, 0, 1));

    ASSERT_EQ(1, sim_bench_power_cycle_segment(0, 0, 50));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(0, 0, 1));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(0, 0, 2));
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 1, 2)); // other segment untouched
    sim_bench_advance_ms(50);
    EXPECT_EQ(SIM_MOTOR_BOOT_WINDOW, sim_bench_motor_state(0, 0, 2));

    ASSERT_EQ(1, sim_bench_power_cycle_all(10));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(0, 1, 2));
    sim_bench_advance_ms(10 + SIM_DEFAULT_BOOT_WINDOW_MS);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 1));
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 1, 2));

    EXPECT_EQ(-1, sim_bench_motor_state(0, 0, 77));
    EXPECT_EQ(0, sim_bench_set_power(0, 0, 77, 1));
    EXPECT_EQ(0, sim_bench_power_cycle_node(3, 0, 1, 0));
}

TEST_F(Motor, OperatorPowerCyclesANodeThatKeepsGettingStop) {
    add_motor(6);
    sim_bench_set_operator(1, 1500, 300);
    uint32_t ackAt = 0;
    for (uint32_t ms = 0; ms < 4000 && ackAt == 0; ms += 10) {
        tx_raw(0, 0, 0x606, kStop, 8);
        if (got_stop_ack(6)) {
            ackAt = ms;
        }
        sim_bench_advance_ms(10);
    }
    // 1500 ms of stop commands, 300 ms off, then caught in the boot window.
    EXPECT_GE(ackAt, 1800u);
    EXPECT_LE(ackAt, 1900u);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, 6));
    sim_motor_stats_t st;
    ASSERT_EQ(1, sim_bench_motor_stats(0, 0, 6, &st));
    EXPECT_EQ(1u, st.operatorCycles);
}

TEST_F(Motor, OperatorWaitsForAnUnbrokenStream) {
    add_motor(6);
    sim_bench_set_operator(1, 1000, 100);
    // Stop commands with a pause of 600 ms in between never add up.
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 80; ++i) {
            tx_raw(0, 0, 0x606, kStop, 8);
            sim_bench_advance_ms(10);
        }
        sim_bench_advance_ms(600);
    }
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 6));
    // Switched off, the operator leaves the node alone.
    sim_bench_set_operator(0, 1000, 100);
    for (int i = 0; i < 200; ++i) {
        tx_raw(0, 0, 0x606, kStop, 8);
        sim_bench_advance_ms(10);
    }
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, 6));
}

} // namespace
