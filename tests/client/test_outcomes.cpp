// What the client API reports under faults must be what happened on the
// bench: no success that the node did not show, no transfer lost to a
// hiccup of the adapter or a late answer.
#include "bench_fixture.h"

#include <cstring>

using benchtest::Bench;
using benchtest::capture;
using benchtest::write_image;

namespace {

sim_fault_t no_fault() {
    sim_fault_t f;
    sim_fault_init(&f);
    return f;
}

// An application that answers the handshake reads but never restarts into
// a bootloader: the handshake completes, the node stays where it was.
void stubborn_application(void *user, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
                          const uint8_t *data) {
    const uint32_t node = *static_cast<uint32_t *>(user);
    if (ident == node && dlc == 6 && data[0] == 0xA3 && data[1] == 0x40) {
        const uint8_t reply[6] = {0xA3, 0x40, 0x01, 0, 0, 0};
        sim_bench_inject(adapter, channel, node, 6, reply);
    }
}

using Outcomes = Bench;

TEST_F(Outcomes, BootloaderEntryCountsOnlyWhenTheBootloaderAnswers) {
    sim_bench_add_adapter(0, 1);
    sim_bench_add_segment(0, 0, 1000);
    static uint32_t node = 9;
    ASSERT_EQ(sim_bench_attach_peer(0, 0, stubborn_application, &node), 1);
    const client_channel_id_t id = {4, 0, 0, 1000};
    ASSERT_EQ(bring_up({id}), 1);
    int rc = 0;
    const std::string out = capture([&] { rc = client_api_enter_bootloader(id, 9, 200, 1, 10); });
    EXPECT_EQ(rc, -1) << out;
    EXPECT_NE(out.find("Step 7: No answer from the bootloader of node 9, retrying...\n"), std::string::npos);
    sim_bench_detach_peer(0, 0);
}

TEST_F(Outcomes, UpgradeCountsOnlyWhenTheNewApplicationAnswers) {
    sim_motor_config_t m = motor(0, 0, 7);
    m.version = 0x01000000u;
    const client_channel_id_t id = one_channel(0, 0, 1000, {m});
    const std::string image = write_image(dir(), "fw.bin", 3000, 0x02000000u);
    sim_fault_t f = no_fault();
    f.ignoreStart = 1;
    ASSERT_EQ(sim_bench_set_node_fault(0, 0, 7, &f), 1);
    int rc = 0;
    std::string out =
        capture([&] { rc = client_api_upgrade_motor(id, 7, image.c_str(), 500, 60000, 0, 500); });
    EXPECT_EQ(rc, -1) << out;
    EXPECT_NE(out.find("[Node 7] Application did not start\n"), std::string::npos);
    EXPECT_EQ(sim_bench_motor_state(0, 0, 7), SIM_MOTOR_BOOT_HELD);

    // Once the start command is obeyed, the confirmation follows it.
    f = no_fault();
    ASSERT_EQ(sim_bench_set_node_fault(0, 0, 7, &f), 1);
    client_upgrade_reason_t why = CLIENT_UPGRADE_CANCELLED;
    out = capture([&] {
        EXPECT_EQ(client_api_exit_bootloader(id, 7, 500, 0, 10), 0);
        why = client_api_confirm_application(id, 7, 3000, nullptr);
    });
    EXPECT_EQ(why, CLIENT_UPGRADE_OK) << out;
    EXPECT_EQ(sim_bench_motor_version(0, 0, 7), 0x02000000u);
}

// Faults that used to end a transfer which the node would have completed.
TEST_F(Outcomes, TransferSurvivesRefusalsAndALateProbeAnswer) {
    struct Case {
        const char *name;
        uint32_t txFailures;   // frames the adapter refuses in a row
        uint32_t replyDelayMs; // the node answers after the probe gave up
    };
    const Case cases[] = {
        {"two refused transmits", 2, 0}, {"five refused transmits", 5, 0}, {"late probe answer", 0, 1200}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        capture([] { client_api_manager_cleanup_all(); });
        sim_bench_reset();
        sim_bench_set_timing(0);
        const client_channel_id_t id = one_channel(0, 0, 1000, {motor(0, 0, 3, SIM_START_BOOT_HELD)});
        const std::string image = write_image(dir(), "fw.bin", 200, 0x02000000u);
        sim_fault_t f = no_fault();
        f.replyDelayMs = c.replyDelayMs;
        ASSERT_EQ(sim_bench_set_node_fault(0, 0, 3, &f), 1);
        CO_SDO_abortCode_t rc = 1;
        const std::string out = capture([&] {
            // The readiness probe of an upgrade, then the transfer.
            uint8_t buf[4];
            size_t n = 0;
            client_api_sdo_read(id, 3, 0x1F50, 1, buf, sizeof buf, &n, 1000);
            sim_fault_t seg = no_fault();
            seg.txFailures = c.txFailures;
            sim_bench_set_segment_fault(0, 0, &seg);
            rc = client_api_transfer_file_block(id, 3, 0x1F50, 1, image.c_str(), 60000);
        });
        EXPECT_EQ(rc, 0u) << out;
        EXPECT_EQ(sim_bench_motor_image_crc32(0, 0, 3), client_api_calculate_file_crc32(image.c_str()));
    }
}

} // namespace
