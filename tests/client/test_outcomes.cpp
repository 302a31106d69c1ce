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

namespace {

// What the sequence sent on the bus: handshake writes and image downloads.
struct Sent {
    uint8_t node = 0;
    bool speaksSdo = false; // answers SDO reads as an application that speaks SDO would
    int handshakeWrites = 0;
    int downloads = 0;
};

void watch_sequence(void *user, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
                    const uint8_t *data) {
    Sent *s = static_cast<Sent *>(user);
    if (ident == s->node && dlc == 6 && data[0] == 0xA3 && data[1] == 0x20) {
        s->handshakeWrites++;
    }
    if (ident == 0x600u + s->node && dlc == 8 && (data[0] & 0xF9) == 0xC0) {
        s->downloads++;
    }
    if (s->speaksSdo && ident == 0x600u + s->node && dlc == 8 && data[0] == 0x40) {
        const uint8_t abort[8] = {0x80, data[1], data[2], data[3], 0x00, 0x00, 0x02, 0x06};
        sim_bench_inject(adapter, channel, 0x580u + s->node, 8, abort);
    }
}

void clear_fault_on_retry(client_upgrade_step_t step, uint32_t attempt, void *user) {
    if (step == CLIENT_UPGRADE_STEP_ENTRY && attempt == 1) {
        sim_bench_set_node_fault(0, 0, *static_cast<uint8_t *>(user), nullptr);
    }
}

// The sequence under the faults that used to end an upgrade wrongly: a retry
// after an abort finds the motor in its bootloader and sends no second
// handshake; a bootloader answering the probe with an unexpected abort is a
// bootloader; an application that speaks SDO is not; a slow start is waited
// for; a bootloader that erases its flash before it answers the initiate is
// waited for, once; one that does not answer the probe gets the image.
TEST_F(Outcomes, SequenceConfirmsEachStepItself) {
    struct Case {
        const char *name;
        client_entry_t entry;
        void (*fault)(sim_fault_t *);
        bool speaksSdo;
        client_upgrade_reason_t reason;
        uint32_t attempts;
        int handshakeWrites;
        int downloads;
        uint32_t eraseMs = 0;
        bool held = false; // in its bootloader from the start
    };
    const Case cases[] = {
        {"abort, then a clean retry", CLIENT_ENTRY_HANDSHAKE,
         [](sim_fault_t *f) {
             f->abortEnabled = 1;
             f->abortAtOffset = 3000;
             f->abortCode = 0x08000020u;
         },
         false, CLIENT_UPGRADE_OK, 2, 2, 2},
        {"probe answered with an odd abort", CLIENT_ENTRY_HANDSHAKE,
         [](sim_fault_t *f) { f->probeAbortCode = 0x08000020u; }, false, CLIENT_UPGRADE_OK, 1, 2, 1},
        {"application speaking SDO", CLIENT_ENTRY_IN_BOOTLOADER, nullptr, true,
         CLIENT_UPGRADE_NOT_IN_BOOTLOADER, 1, 0, 0},
        {"slow start", CLIENT_ENTRY_HANDSHAKE, [](sim_fault_t *f) { f->appStartMs = 5000; }, false,
         CLIENT_UPGRADE_OK, 1, 2, 1},
        {"erase of 2 s", CLIENT_ENTRY_HANDSHAKE, nullptr, false, CLIENT_UPGRADE_OK, 1, 2, 1, 2000},
        {"probe unanswered", CLIENT_ENTRY_IN_BOOTLOADER, [](sim_fault_t *f) { f->probeSilent = 1; }, false,
         CLIENT_UPGRADE_OK, 1, 0, 1, 0, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        capture([] { client_api_manager_cleanup_all(); });
        sim_bench_reset();
        sim_bench_set_timing(0);
        static uint8_t node = 7;
        sim_motor_config_t m = motor(0, 0, node, c.held ? SIM_START_BOOT_HELD : SIM_START_APPLICATION);
        m.version = 0x01000000u;
        m.eraseMs = c.eraseMs;
        const client_channel_id_t id = one_channel(0, 0, 1000, {m});
        const std::string image = write_image(dir(), "fw.bin", 6000, 0x02000000u);
        sim_fault_t f = no_fault();
        if (c.fault != nullptr) {
            c.fault(&f);
        }
        ASSERT_EQ(sim_bench_set_node_fault(0, 0, node, &f), 1);
        Sent sent;
        sent.node = node;
        sent.speaksSdo = c.speaksSdo;
        ASSERT_EQ(sim_bench_attach_peer(0, 0, watch_sequence, &sent), 1);
        client_upgrade_options_t o;
        client_upgrade_options_init(&o);
        o.entry = c.entry;
        o.expectedVersion = 0x02000000u;
        client_upgrade_observer_t ob = {};
        ob.step = clear_fault_on_retry;
        ob.user = &node;
        client_upgrade_result_t r;
        const std::string out = capture([&] { client_upgrade_run(id, node, image.c_str(), &o, &ob, &r); });
        sim_bench_detach_peer(0, 0);
        EXPECT_EQ(r.reason, c.reason) << client_upgrade_reason_text(r.reason) << "\n" << out;
        EXPECT_EQ(r.attempts, c.attempts);
        EXPECT_EQ(sent.handshakeWrites, c.handshakeWrites); // one handshake: two writes
        EXPECT_EQ(sent.downloads, c.downloads);
        if (c.held) {
            EXPECT_EQ(r.probed, 1);
            EXPECT_EQ(r.probeCode, 0x05040000u); // nothing answered it
        }
        if (c.reason == CLIENT_UPGRADE_OK) {
            EXPECT_EQ(r.version, 0x02000000u);
            EXPECT_EQ(sim_bench_motor_version(0, 0, node), 0x02000000u);
        } else {
            EXPECT_EQ(sim_bench_motor_version(0, 0, node), 0x01000000u);
        }
        if (c.attempts > 1) {
            ASSERT_EQ(r.causeCount, 1u);
            EXPECT_EQ(r.causes[0].step, CLIENT_UPGRADE_STEP_TRANSFER);
            EXPECT_EQ(r.causes[0].reason, CLIENT_UPGRADE_NODE_ABORTED);
            EXPECT_EQ(r.causes[0].code, 0x08000020u);
        }
    }
}

} // namespace
