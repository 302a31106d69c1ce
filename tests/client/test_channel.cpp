// Frame queues, raw send/receive and the channel test, over a scripted backend.
#include "fake_backend.h"

#include "client_api.h"
#include "client_api_internal.h"
#include "device_mng.h"
#include "motor_protocol.h"
#include "ostrelo_time.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

class RawPath : public ::testing::Test {
  protected:
    void SetUp() override { fake::install(client_api_manager_cleanup_all); }
    void TearDown() override { fake::install(client_api_manager_cleanup_all); }
};

TEST(FixedQueue, RingOrderCommitAndFree) {
    FixedQueue q{};
    ASSERT_EQ(fq_init(&q, sizeof(uint32_t), 4), 0);
    EXPECT_EQ(q.capacity, 4);
    EXPECT_EQ(q.count, 0);
    uint32_t out = 0;
    EXPECT_EQ(fq_pop(&q, &out), -1); // empty

    // Backend wrote 6 frames into 4 slots: the count is capped at capacity.
    auto *slots = reinterpret_cast<uint32_t *>(q.buffer);
    for (uint32_t i = 0; i < 4; ++i) {
        slots[i] = 10 + i;
    }
    EXPECT_EQ(fq_fill_commit(&q, 6), 4);
    EXPECT_EQ(q.tail, 0); // 4 mod 4
    // A commit while frames are held changes nothing.
    EXPECT_EQ(fq_fill_commit(&q, 1), 4);
    for (uint32_t i = 0; i < 4; ++i) {
        ASSERT_EQ(fq_pop(&q, &out), 0);
        EXPECT_EQ(out, 10 + i);
    }
    EXPECT_EQ(fq_pop(&q, &out), -1);
    EXPECT_EQ(q.head, 0); // wrapped

    fq_free(&q);
    EXPECT_EQ(q.buffer, nullptr);
    EXPECT_EQ(q.initialized, 0);
    EXPECT_EQ(fq_pop(&q, &out), -1);
    EXPECT_EQ(fq_fill_commit(&q, 3), 0);
}

TEST_F(RawPath, BulkReadIsServedFromTheQueueOldestFirst) {
    const client_channel_id_t id = fake::raw_channel_up(2);
    for (uint8_t i = 0; i < 5; ++i) {
        fake::bus().push(2, 0x100 + i, {i});
    }
    CO_CANrxMsg_t f{};
    ASSERT_EQ(client_api_receive_raw_can(id, &f, 100), 0);
    EXPECT_EQ(f.ident, 0x100u);
    EXPECT_EQ(fake::bus().recvCalls, 1);
    for (uint8_t i = 1; i < 5; ++i) {
        ASSERT_EQ(client_api_receive_raw_can(id, &f, 100), 0);
        EXPECT_EQ(f.ident, 0x100u + i);
        EXPECT_EQ(f.data[0], i);
    }
    EXPECT_EQ(fake::bus().recvCalls, 1) << "the four held frames must not poll the adapter";

    // A stale frame that starts with 64 is taken as the reply of the next
    // motor-type query, whichever node sent it.
    fake::bus().push(2, 0x7, {0x64, 0, 9, 0, 16});
    fake::bus().push(2, 0x8, {0x64, 0, 11, 0, 0}, 4);
    uint8_t type = 0, brake = 0;
    EXPECT_EQ(client_api_query_motor_type_and_brake(id, 3, &type, &brake), 0);
    EXPECT_EQ(type, 9);
    EXPECT_EQ(brake, 16);
    // The next one is too short (DLC 4): the query fails and leaves the outputs.
    EXPECT_EQ(client_api_query_motor_type_and_brake(id, 8, &type, &brake), -1);
    EXPECT_EQ(type, 9);
}

TEST_F(RawPath, TimeoutsAndFailures) {
    const client_channel_id_t id = fake::raw_channel_up(0);
    CO_CANrxMsg_t f{};
    fake::bus().push(0, 0x1, {1});
    // Timeout 0 with an empty queue: -1 without asking the adapter.
    EXPECT_EQ(client_api_receive_raw_can(id, &f, 0), -1);
    EXPECT_EQ(fake::bus().recvCalls, 0);

    fake::bus().rx[0].clear();
    const uint32_t t0 = get_current_time_ms();
    EXPECT_EQ(client_api_receive_raw_can(id, &f, 30), -1);
    EXPECT_GE(get_current_time_ms() - t0, 30u);
    EXPECT_GT(fake::bus().recvCalls, 1);

    fake::bus().recvError = -1;
    EXPECT_EQ(client_api_receive_raw_can(id, &f, 1000), -1);

    EXPECT_EQ(client_api_receive_raw_can(id, nullptr, 10), -1);
    client_channel_id_t other = id;
    other.canChannel = 3; // never brought up
    EXPECT_EQ(client_api_receive_raw_can(other, &f, 10), -1);
    EXPECT_EQ(client_api_send_can_data(other, 1, nullptr, 1), -1);
    const client_channel_id_t invalid = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 0};
    EXPECT_EQ(client_api_send_can_data(invalid, 1, nullptr, 1), -1);

    fake::bus().sendOk = false;
    EXPECT_EQ(client_api_send_can_data(id, 1, nullptr, 1), -1);
}

// The one wait takes the first frame its test accepts and drops those before
// it, looks at frames already waiting even with no time left, and tells a
// channel that cannot receive from the time running out.
TEST_F(RawPath, AwaitTakesTheMatchingFrameAndTellsTimeoutFromFailure) {
    const client_channel_id_t id = fake::raw_channel_up(0);
    const client_frame_test_t node7 = [](const CO_CANrxMsg_t *f, void *) { return f->ident == 7 ? 1 : 0; };
    CO_CANrxMsg_t f{};
    fake::bus().push(0, 5, {1});
    fake::bus().push(0, 7, {2});
    fake::bus().push(0, 7, {3});
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(100), &f), CLIENT_RX_FRAME);
    EXPECT_EQ(f.data[0], 2);
    const int calls = fake::bus().recvCalls;
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(0), &f), CLIENT_RX_FRAME);
    EXPECT_EQ(f.data[0], 3);
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(0), &f), CLIENT_RX_TIMEOUT);
    EXPECT_EQ(fake::bus().recvCalls, calls); // no time: the adapter is not asked

    fake::bus().push(0, 5, {4});
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(20), &f), CLIENT_RX_TIMEOUT);
    EXPECT_TRUE(fake::bus().rx[0].empty()); // the other node's frame was taken and dropped
    // A cancel asked for before the wait ends it at once, without asking the adapter.
    ASSERT_EQ(client_api_request_cancel(id), 0);
    const int before = fake::bus().recvCalls;
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(60000), &f), CLIENT_RX_TIMEOUT);
    EXPECT_EQ(fake::bus().recvCalls, before);
    client_api_clear_cancel_all();

    fake::bus().recvError = -1;
    EXPECT_EQ(client_await_frame(id, node7, nullptr, ostrelo_deadline_in(1000), &f), CLIENT_RX_FAILED);
    client_channel_id_t other = id;
    other.canChannel = 3; // never brought up
    EXPECT_EQ(client_await_frame(other, nullptr, nullptr, ostrelo_deadline_in(10), &f), CLIENT_RX_FAILED);
}

// A drain on a bus that never falls quiet (other nodes' traffic, a frame
// every 100 us here) drops what waits and ends at its time limit, not after
// thousands of frames; a drain on a quiet bus drops what waited.
TEST_F(RawPath, DrainEndsOnABusThatNeverFallsQuiet) {
    const client_channel_id_t id = fake::raw_channel_up(0);
    fake::bus().push(0, 0x585, {0x43});
    fake::bus().push(0, 0x185, {1});
    EXPECT_EQ(client_api_drain_channel(id, 1), 2);
    EXPECT_TRUE(fake::bus().rx[0].empty());

    uint64_t last = ostrelo_monotonic_us();
    fake::bus().receive = [&last](uint32_t, CO_CANrxMsg_t *frames, uint32_t cap) -> int32_t {
        if (cap == 0) {
            return 0;
        }
        while (ostrelo_monotonic_us() - last < 100) {
        }
        last = ostrelo_monotonic_us();
        memset(frames, 0, sizeof(*frames));
        frames->ident = 0x190;
        frames->DLC = 8;
        return 1;
    };
    const int dropped = client_api_drain_channel(id, 1);
    EXPECT_GT(dropped, 0);
    EXPECT_LT(dropped, 4096);
    fake::bus().receive = nullptr;
}

// The stop command goes to every motor not yet held, on its own channel; a
// motor counts as held only when its own acknowledge comes within its round;
// a channel another thread holds is passed over for a pass.
TEST_F(RawPath, HoldOfSeveralMotorsOnSeveralChannels) {
    const client_channel_id_t ch0 = fake::raw_channel_up(0);
    const client_channel_id_t ch1 = fake::raw_channel_up(1);
    struct Hold {
        std::vector<size_t> held;
        int passes = 0;
        int refuse = 0;    // passes over channel 1 refused
        int stopAfter = 0; // passes before the observer stops it (0: never)
    };
    // Nodes 2 and 3 acknowledge; node 4 never does.
    fake::bus().responder = [](fake::Bus &b, const fake::Frame &f) {
        const uint8_t stop[8] = {0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0};
        if ((f.ident == 0x602 || f.ident == 0x603) && f.data == std::vector<uint8_t>(stop, stop + 8)) {
            b.push(f.channel, f.ident - 0x80, {0x60, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
        }
    };
    client_hold_observer_t ob = {};
    ob.held = [](size_t index, void *user) { static_cast<Hold *>(user)->held.push_back(index); };
    ob.enter_channel = [](client_channel_id_t c, void *user) {
        Hold *h = static_cast<Hold *>(user);
        return c.canChannel == 1 && h->refuse-- > 0 ? 0 : 1;
    };
    ob.pass = [](uint32_t, void *user) { static_cast<Hold *>(user)->passes++; };
    ob.cancelled = [](void *user) {
        const Hold *h = static_cast<const Hold *>(user);
        return h->stopAfter > 0 && h->passes >= h->stopAfter ? 1 : 0;
    };
    const struct {
        bool withSilentNode;
        int stopAfter;
        uint32_t limitMs;
        client_hold_end_t end;
        std::vector<size_t> held;
    } cases[] = {
        {false, 0, 60000, CLIENT_HOLD_ALL_HELD, {0, 1}},
        {true, 0, 2000, CLIENT_HOLD_TIME_UP, {0, 1}},
        {true, 3, 60000, CLIENT_HOLD_STOPPED, {0, 1}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.end);
        fake::bus().sent.clear();
        std::vector<client_hold_motor_t> motors = {{ch0, 2, 0}, {ch1, 3, 0}};
        if (c.withSilentNode) {
            motors.push_back({ch0, 4, 0});
        }
        Hold h;
        h.refuse = 2;
        h.stopAfter = c.stopAfter;
        ob.user = &h;
        EXPECT_EQ(client_hold_motors(motors.data(), motors.size(), c.limitMs, 10, 10, &ob), c.end);
        EXPECT_EQ(h.held, c.held);
        // Motor 3 answered in the pass after its channel was refused twice.
        EXPECT_GE(h.passes, 2);
        size_t toNode3 = 0;
        size_t toNode4 = 0;
        for (const fake::Frame &f : fake::bus().sent) {
            toNode3 += f.ident == 0x603 ? 1 : 0;
            toNode4 += f.ident == 0x604 ? 1 : 0;
        }
        EXPECT_EQ(toNode3, 1u);
        EXPECT_EQ(toNode4 > 1, c.withSilentNode);
    }
}

// The SDO client's response time-out is 16-bit: a caller's milliseconds
// clamped to the longest, or, where a call's contract says so, modulo 65536.
TEST(SdoResponseTimeout, ClampedOrModulo65536) {
    const struct {
        uint32_t ms;
        uint16_t clamped, modulo;
    } cases[] = {{0, 0xFFFF, 0xFFFF},          {1500, 1500, 1500}, {65535, 65535, 65535},
                 {65536, 0xFFFF, 0xFFFF},      {65537, 0xFFFF, 1}, {6000000, 0xFFFF, 36224},
                 {0xFFFFFFFFu, 0xFFFF, 0xFFFF}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.ms);
        EXPECT_EQ(client_sdo_response_ms(c.ms), c.clamped);
        EXPECT_EQ(client_sdo_response_ms_mod65536(c.ms), c.modulo);
    }
}

TEST_F(RawPath, SendBuildsClampedZeroFilledFrames) {
    const client_channel_id_t id = fake::raw_channel_up(1);
    const uint8_t twelve[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(client_api_send_can_data(id, 0x123, twelve, 12), 0);
    EXPECT_EQ(client_api_send_can_frame(id, 0x124, nullptr, 3), 0);
    CO_CANrxMsg_t raw{};
    raw.ident = 0x125;
    raw.DLC = 200; // out-of-range length from a caller
    EXPECT_EQ(client_api_send_raw_can(id, &raw), 0);
    ASSERT_EQ(fake::bus().sent.size(), 3u);
    EXPECT_EQ(fake::bus().sent[0].ident, 0x123u);
    EXPECT_EQ(fake::bus().sent[0].channel, 1u);
    EXPECT_EQ(fake::bus().sent[0].data, std::vector<uint8_t>(twelve, twelve + 8));
    EXPECT_EQ(fake::bus().sent[1].data, std::vector<uint8_t>(3, 0));
    EXPECT_EQ(fake::bus().sent[2].data.size(), 8u);
}

TEST_F(RawPath, ChannelTestSlowSendRule) {
    const client_channel_id_t id = fake::raw_channel_up(0);
    // Two slow sends in a row, then fast: passes.
    fake::bus().sendDelayMs = {0, 80, 80, 0, 80, 80};
    std::string out;
    bool ok = false;
    out = fake::capture([&] { ok = client_api_test_channel_availability(id); });
    EXPECT_TRUE(ok) << out;
    EXPECT_NE(out.find("Testing channel 0 availability...\n"), std::string::npos);
    EXPECT_NE(out.find("Channel 0 test 1/10: node_id=1, send_result=0, duration="), std::string::npos);
    EXPECT_NE(out.find("Channel 0 test 10/10: node_id=127, send_result=0"), std::string::npos);
    EXPECT_NE(out.find("Channel 0 test PASSED: no 3 consecutive slow sends\n"), std::string::npos);
    ASSERT_EQ(fake::bus().sent.size(), 10u);
    EXPECT_EQ(fake::bus().sent[1].ident, 15u);
    EXPECT_EQ(fake::bus().sent[1].data, std::vector<uint8_t>{0x64});

    // Third consecutive slow send: fails at once.
    fake::bus().sent.clear();
    fake::bus().sendCalls = 0;
    fake::bus().sendDelayMs = {80, 80, 80};
    out = fake::capture([&] { ok = client_api_test_channel_availability(id); });
    EXPECT_FALSE(ok);
    EXPECT_NE(out.find("Channel 0 test FAILED: 3 consecutive slow sends (>50 ms)\n"), std::string::npos);
    EXPECT_EQ(fake::bus().sent.size(), 3u);

    // A channel never brought up: every send fails at once, none is slow.
    client_channel_id_t other = id;
    other.canChannel = 5;
    out = fake::capture([&] { ok = client_api_test_channel_availability(other); });
    EXPECT_TRUE(ok);
    EXPECT_NE(out.find("send_result=-1"), std::string::npos);
}

} // namespace

namespace {

// A channel brought up through the whole stack over the scripted backend.
class StackOverFake : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install(client_api_manager_cleanup_all);
        std::string out = fake::capture([&] { id_ = client_api_manager_init_channel(4, 0, 1, 500, 8, 8); });
        ASSERT_FALSE(client_channel_id_is_invalid(&id_)) << out;
    }
    void TearDown() override { fake::install(client_api_manager_cleanup_all); }
    client_channel_id_t id_{};
};

TEST_F(StackOverFake, AdapterRefusingFramesEndsTransfersByTheFullBufferLimit) {
    fake::bus().sendOk = false;
    uint8_t data[100] = {};
    CO_SDO_abortCode_t rc = 0;
    std::string out = fake::capture(
        [&] { rc = client_api_sdo_transfer(id_, 5, 0x1F50, 1, data, sizeof(data), 60000, true); });
    EXPECT_EQ(rc, 0x05040000u);
    // Each pass also retries the refused frame (and says so), between the count lines.
    EXPECT_NE(out.find("CAN transmit buffer full (count: 49/50)\n"), std::string::npos) << out;
    EXPECT_NE(out.find("CAN transmit buffer full (count: 50/50)\n"
                       "SDO download failed: CAN transmit buffer consistently full for 50 iterations\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("count: 51/50"), std::string::npos);

    uint8_t buf[8];
    size_t got = 0;
    out = fake::capture([&] { rc = client_api_sdo_read(id_, 5, 0x1F56, 1, buf, sizeof(buf), &got, 1000); });
    EXPECT_EQ(rc, 0x05040000u);
    EXPECT_NE(out.find("SDO read failed: CAN transmit buffer consistently full for 100 iterations\n"),
              std::string::npos);
    out = fake::capture([&] { rc = client_api_sdo_write(id_, 5, 0x2001, 0, data, 4, 200); });
    EXPECT_EQ(rc, 0x05040000u);
    EXPECT_NE(out.find("SDO write failed: CAN transmit buffer consistently full for 20 iterations\n"),
              std::string::npos);
}

// A node answers late: an abort of a transfer it had already ended (or of
// stray frames after its own abort) may wait in the adapter when the next
// exchange starts, and must not be taken for that exchange's answer.
TEST_F(StackOverFake, LateAnswerOfAnEarlierExchangeIsNotTakenForTheNext) {
    fake::bus().push(1, 0x585, {0x80, 0x07, 0x53, 0xE5, 0x00, 0x00, 0x02, 0x06});
    fake::bus().responder = [](fake::Bus &b, const fake::Frame &f) {
        const std::vector<uint8_t> &d = f.data;
        if (f.ident == 0x605 && d[0] == 0x40) {
            b.push(f.channel, 0x585, {0x4B, d[1], d[2], d[3], 0x34, 0x12, 0x00, 0x00});
        }
    };
    uint8_t buf[8] = {};
    size_t got = 0;
    CO_SDO_abortCode_t rc = 1;
    const std::string out =
        fake::capture([&] { rc = client_api_sdo_read(id_, 5, 0x2001, 0, buf, sizeof(buf), &got, 1000); });
    EXPECT_EQ(rc, 0u) << out;
    ASSERT_EQ(got, 2u);
    EXPECT_EQ(buf[0], 0x34);
    EXPECT_EQ(buf[1], 0x12);
}

// An application that answers its version query but not the entry
// handshake: the upgrade ends with the handshake unanswered, or, when the
// caller asks for it, holds the motor through a power cycle in the attempt
// left (nobody switches it here, so the stop command goes unanswered).
TEST_F(StackOverFake, UnansweredHandshakeIsFollowedByAHoldWhenAsked) {
    fake::bus().responder = [](fake::Bus &b, const fake::Frame &f) {
        if (f.ident == 5 && !f.data.empty() && f.data[0] == MOTOR_CMD_VERSION_QUERY) {
            b.push(f.channel, 5, {MOTOR_CMD_VERSION_QUERY, 0, 0, 0, 1});
        }
    };
    const std::string image = testing::TempDir() + "/handshake_fw.bin";
    FILE *file = fopen(image.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    fputs("image of a motor", file);
    fclose(file);
    for (const uint32_t hold : {0u, 1u}) {
        SCOPED_TRACE(hold);
        fake::bus().sent.clear();
        client_upgrade_options_t o;
        client_upgrade_options_init(&o);
        o.retries = 1;
        o.retryDelayMs = 0;
        o.handshakeWaitMs = 20;
        o.handshakeRetries = 0;
        o.holdMs = 100;
        o.holdWhenNoHandshake = hold;
        client_upgrade_result_t r;
        const std::string out =
            fake::capture([&] { client_upgrade_run(id_, 5, image.c_str(), &o, nullptr, &r); });
        EXPECT_EQ(r.reason, hold != 0 ? CLIENT_UPGRADE_NOT_HELD : CLIENT_UPGRADE_NO_HANDSHAKE) << out;
        EXPECT_EQ(r.attempts, 2u);
        ASSERT_EQ(r.causeCount, 2u);
        EXPECT_EQ(r.causes[0].reason, CLIENT_UPGRADE_NO_HANDSHAKE);
        size_t stops = 0;
        for (const fake::Frame &f : fake::bus().sent) {
            stops += f.ident == 0x605 && f.data == std::vector<uint8_t>({0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
        }
        EXPECT_EQ(stops > 0, hold != 0);
    }
    remove(image.c_str());
}

TEST_F(StackOverFake, ReleaseAndCleanup) {
    client_channel_context_t *ch = client_api_manager_get_channel_context(id_);
    ASSERT_NE(ch, nullptr);
    EXPECT_EQ(ch->device_ctx->activeChannelCount, 1);
    std::string out = fake::capture([&] { client_api_manager_release_channel(id_); });
    EXPECT_NE(out.find("[INFO] Channel released (Type=4, Index=0, Channel=1)\n"), std::string::npos);
    EXPECT_FALSE(ch->initialized);
    EXPECT_EQ(ch->rawRxQueue.buffer, nullptr);
    EXPECT_EQ(ch->device_ctx->activeChannelCount, 0);
    EXPECT_EQ(client_api_send_can_data(id_, 1, nullptr, 0), -1);
    // Released twice: nothing happens.
    EXPECT_EQ(fake::capture([&] { client_api_manager_release_channel(id_); }), "");

    out = fake::capture([&] { id_ = client_api_manager_init_channel(4, 0, 1, 500, 8, 8); });
    EXPECT_FALSE(client_channel_id_is_invalid(&id_)) << out;
    out = fake::capture([] { client_api_manager_cleanup_all(); });
    EXPECT_NE(out.find("[INFO] All client API manager resources cleaned up\n"), std::string::npos);
    EXPECT_EQ(g_device_manager.deviceCount, 0);
    EXPECT_EQ(client_api_manager_get_channel_context(id_), nullptr);
}

} // namespace
