// CAN module driver: set-up through the device manager, receive filters,
// batched reception, transmission with retry.
#include "CO_driver.h"
#include "device_mng.h"
#include "fake_backend.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace fake;

namespace {

struct Received {
    std::vector<CO_CANrxMsg_t> frames;
};

void record(void *object, void *message) {
    static_cast<Received *>(object)->frames.push_back(*static_cast<CO_CANrxMsg_t *>(message));
}

class Driver : public ::testing::Test {
  protected:
    void SetUp() override { fake::install(device_manager_cleanup_all); }
    void TearDown() override { fake::install(device_manager_cleanup_all); }
};

TEST_F(Driver, BitrateConversion) {
    for (uint16_t r : {10, 20, 50, 100, 125, 250, 500, 800}) {
        EXPECT_EQ(convert_bitrate_to_zhcx(r), r);
    }
    for (uint16_t r : {0, 1, 33, 1000, 65535}) {
        EXPECT_EQ(convert_bitrate_to_zhcx(r), 1000u);
    }
}

TEST_F(Driver, InitWithInvalidIdentityUsesDefaultAdapter) {
    static client_channel_context_t ch;
    memset(&ch, 0, sizeof ch);
    ch.channelId = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 250};
    CO_ReturnError_t err = CO_ERROR_ILLEGAL_ARGUMENT;
    const std::string out =
        capture([&] { err = CO_CANmodule_init(&ch.canmodule, &ch, ch.rx_array, 8, ch.tx_array, 8, 125); });
    EXPECT_EQ(err, CO_ERROR_NO);
    EXPECT_TRUE(contains(out, "Using default device config: Type=4, Index=0, Channel=0, Bitrate=125 kbps\n"));
    EXPECT_TRUE(contains(out, "CAN module using hardware filters\n"));
    EXPECT_TRUE(contains(out, "CAN module initialized successfully (bitrate: 125 kbps)\n"));
    ASSERT_EQ(fake::bus().initChannels.size(), 1u);
    EXPECT_EQ(fake::bus().initChannels[0], 0u);
    EXPECT_EQ(fake::bus().startChannels[0], 0u);
    ASSERT_NE(ch.device_ctx, nullptr);
    EXPECT_EQ(ch.device_ctx->deviceType, 4u);
    EXPECT_EQ(client_api_get_can_handle(&ch.canmodule), ch.device_ctx->device);
    EXPECT_FALSE(ch.canmodule.CANnormal);
    EXPECT_TRUE(ch.canmodule.firstCANtxMessage);
    EXPECT_EQ(ch.rx_array[3].mask, 0xFFFF);
    free(ch.rxQueue.buffer);
}

TEST_F(Driver, InitWithProvidedIdentity) {
    static client_channel_context_t ch;
    memset(&ch, 0, sizeof ch);
    ch.channelId = {4, 1, 3, 0}; // bit rate 0: the argument is used
    static CO_CANrx_t rx[33];
    CO_ReturnError_t err = CO_ERROR_ILLEGAL_ARGUMENT;
    const std::string out =
        capture([&] { err = CO_CANmodule_init(&ch.canmodule, &ch, rx, 33, ch.tx_array, 8, 33); });
    EXPECT_EQ(err, CO_ERROR_NO);
    EXPECT_TRUE(contains(out, "Using provided device config: Type=4, Index=1, Channel=3, Bitrate=33 kbps\n"));
    EXPECT_TRUE(contains(out, "CAN module using software filters\n"));
    ASSERT_EQ(fake::bus().openBitrates.size(), 1u);
    EXPECT_EQ(fake::bus().openBitrates[0], 1000u); // 33 is not an adapter rate
    EXPECT_EQ(fake::bus().initChannels[0], 3u);
    EXPECT_FALSE(ch.canmodule.useCANrxFilters);

    // Without a channel context the default adapter is used and the module still works.
    static CO_CANmodule_t bare;
    EXPECT_EQ(capture([&] {
                  CO_CANmodule_init(&bare, nullptr, rx, 8, ch.tx_array, 8, 500);
              }).rfind("Using default device config: Type=4, Index=0, Channel=0, Bitrate=500 kbps\n", 0),
              0u);
    EXPECT_EQ(client_api_get_can_handle(&bare), nullptr);
    EXPECT_EQ(capture([&] { CO_CANinterrupt(&bare); }), "chCtx is NULL!!!!!!!!!!\n");
}

TEST_F(Driver, InitFailuresReportAndReturnMinusOne) {
    static client_channel_context_t ch;
    memset(&ch, 0, sizeof ch);
    ch.channelId = {4, 0, 2, 500};
    EXPECT_EQ(CO_CANmodule_init(nullptr, &ch, ch.rx_array, 8, ch.tx_array, 8, 500),
              CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_EQ(CO_CANmodule_init(&ch.canmodule, &ch, nullptr, 8, ch.tx_array, 8, 500),
              CO_ERROR_ILLEGAL_ARGUMENT);

    struct Case {
        int fake::Bus::*knob;
        const char *line;
    } cases[] = {
        {&fake::Bus::openFailures, "[ERROR] Failed to open CAN device (Type=4, Index=0)\n"},
        {&fake::Bus::initFailures, "[ERROR] Failed to initialize CAN channel 2\n"},
        {&fake::Bus::startFailures, "[ERROR] Failed to start CAN channel 2\n"},
    };
    for (const Case &c : cases) {
        fake::install(device_manager_cleanup_all);
        fake::bus().*c.knob = 1;
        CO_ReturnError_t err = CO_ERROR_NO;
        const std::string out = capture(
            [&] { err = CO_CANmodule_init(&ch.canmodule, &ch, ch.rx_array, 8, ch.tx_array, 8, 500); });
        EXPECT_EQ(err, CO_ERROR_ILLEGAL_ARGUMENT) << c.line;
        EXPECT_TRUE(contains(out, c.line)) << out;
        EXPECT_FALSE(contains(out, "initialized successfully"));
    }

    // No room for a fifth adapter.
    fake::install(device_manager_cleanup_all);
    capture([] {
        for (uint32_t i = 0; i < CLIENT_MAX_DEVICES; ++i) {
            device_manager_get_device(4, 10 + i, 500);
        }
    });
    ch.channelId = {4, 0, 0, 500};
    CO_ReturnError_t err = CO_ERROR_NO;
    const std::string out =
        capture([&] { err = CO_CANmodule_init(&ch.canmodule, &ch, ch.rx_array, 8, ch.tx_array, 8, 500); });
    EXPECT_EQ(err, CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_TRUE(contains(out, "[ERROR] Failed to get CAN device (Type=4, Index=0)\n"));
}

TEST_F(Driver, FilterSetupAndMatching) {
    client_channel_context_t *ch = fake::canopen_channel();
    CO_CANmodule_t *m = &ch->canmodule;
    Received got;
    const CO_CANrx_t before = ch->rx_array[7];
    EXPECT_EQ(CO_CANrxBufferInit(m, 8, 0x581, 0x7FF, false, &got, record), CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_EQ(0, memcmp(&before, &ch->rx_array[7], sizeof before));
    EXPECT_EQ(CO_CANrxBufferInit(m, 0, 0x581, 0x7FF, false, nullptr, record), CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_EQ(CO_CANrxBufferInit(m, 0, 0x581, 0x7FF, false, &got, nullptr), CO_ERROR_ILLEGAL_ARGUMENT);

    ASSERT_EQ(CO_CANrxBufferInit(m, 1, 0xF581, 0xFFFF, false, &got, record), CO_ERROR_NO);
    EXPECT_EQ(ch->rx_array[1].ident, 0x581);
    EXPECT_EQ(ch->rx_array[1].mask, 0xFFF);
    ASSERT_EQ(CO_CANrxBufferInit(m, 2, 0x100, 0x700, true, &got, record), CO_ERROR_NO);
    EXPECT_EQ(ch->rx_array[2].ident, 0x900);

    fake::bus().push(0, 0x582, {1, 2});
    fake::bus().push(0, 0x581, {3}, 1);
    fake::bus().push(0, 0x10581, {4}, 1);    // identifiers are compared whole
    fake::bus().push(0, 0x1ABC0581, {6}, 1); // a 29-bit frame whose low bits look like 0x581
    fake::bus().push(0, 0xD81, {5}, 1);      // bit 11 marks a remote-frame filter
    for (int i = 0; i < 5; ++i) {
        CO_CANinterrupt(m);
    }
    ASSERT_EQ(got.frames.size(), 1u);
    EXPECT_EQ(got.frames[0].data[0], 3);
}

TEST_F(Driver, BatchIsServedOneFramePerPass) {
    client_channel_context_t *ch = fake::canopen_channel();
    CO_CANmodule_t *m = &ch->canmodule;
    Received got;
    ASSERT_EQ(CO_CANrxBufferInit(m, 0, 0x000, 0x000, false, &got, record), CO_ERROR_NO); // takes everything
    fake::bus().push(0, 0x181, {1});
    fake::bus().push(0, 0x182, {2});
    fake::bus().push(0, 0x183, {3});
    CO_CANinterrupt(m);
    EXPECT_EQ(fake::bus().recvCalls, 1);
    fake::bus().push(0, 0x184, {4}); // arrives after the batch was fetched
    CO_CANinterrupt(m);
    CO_CANinterruptQueued(m); // serves the batch as any pass does
    EXPECT_EQ(fake::bus().recvCalls, 1);
    ASSERT_EQ(got.frames.size(), 3u);
    EXPECT_EQ(got.frames[0].ident, 0x181u);
    EXPECT_EQ(got.frames[2].ident, 0x183u);
    CO_CANinterruptQueued(m); // the batch is out: it leaves the adapter alone
    EXPECT_EQ(fake::bus().recvCalls, 1);
    EXPECT_EQ(got.frames.size(), 3u);
    CO_CANinterrupt(m);
    EXPECT_EQ(fake::bus().recvCalls, 2);
    ASSERT_EQ(got.frames.size(), 4u);
    EXPECT_EQ(got.frames[3].ident, 0x184u);
    EXPECT_EQ(ch->rxQueue.capacity, 255);

    // Errors and empty reads only skip the pass.
    fake::bus().recvError = -1;
    CO_CANinterrupt(m);
    fake::bus().recvError = 0;
    CO_CANinterrupt(m);
    EXPECT_EQ(got.frames.size(), 4u);
}

TEST_F(Driver, OversizedBackendCountIsClamped) {
    client_channel_context_t *ch = fake::canopen_channel();
    Received got;
    ASSERT_EQ(CO_CANrxBufferInit(&ch->canmodule, 0, 0, 0, false, &got, record), CO_ERROR_NO);
    for (int i = 0; i < 255; ++i) {
        fake::bus().push(0, 0x200 + static_cast<uint32_t>(i), {static_cast<uint8_t>(i)}, 15); // bad DLC too
    }
    CO_CANinterrupt(&ch->canmodule);
    fake::bus().recvError = 100000; // a backend claiming more than it could have written
    for (int i = 0; i < 300; ++i) {
        CO_CANinterrupt(&ch->canmodule);
        ASSERT_LE(ch->rxQueue.count, 255u);
    }
    // 254 left from the first batch, then 46 of a batch clamped to 255.
    EXPECT_EQ(fake::bus().recvCalls, 2);
    EXPECT_EQ(got.frames.size(), 301u);
    EXPECT_EQ(ch->rxQueue.count, 209u);
    EXPECT_EQ(got.frames[254].ident, 0x2FEu);
}

TEST_F(Driver, MissingLinksAreReportedPerPass) {
    static client_channel_context_t ch;
    memset(&ch, 0, sizeof ch);
    ch.canmodule.CANptr = &ch;
    CO_CANinterrupt(nullptr);
    EXPECT_EQ(capture([&] { CO_CANinterrupt(&ch.canmodule); }), "chCtx->device_ctx is NULL!!!!!!!!!!\n");
    static client_device_context_t dev;
    memset(&dev, 0, sizeof dev);
    ch.device_ctx = &dev;
    EXPECT_EQ(capture([&] { CO_CANinterrupt(&ch.canmodule); }),
              "chCtx->device_ctx->device is NULL!!!!!!!!!!\n");
    int handle;
    dev.device = &handle;
    can_backend_set(nullptr);
    EXPECT_EQ(capture([&] { CO_CANinterrupt(&ch.canmodule); }), "ops is NULL!!!!!!!!!!\n");
    can_backend_set(fake::ops());
    EXPECT_EQ(fake::bus().recvCalls, 0);
}

TEST_F(Driver, TransmitBufferPackingAndSend) {
    client_channel_context_t *ch = fake::canopen_channel(2);
    CO_CANmodule_t *m = &ch->canmodule;
    EXPECT_EQ(CO_CANtxBufferInit(m, 8, 0x605, false, 8, false), nullptr);
    CO_CANtx_t *tx = CO_CANtxBufferInit(m, 0, 0xF605, false, 8, false);
    ASSERT_NE(tx, nullptr);
    EXPECT_EQ(tx->ident, 0x605u | (8u << 11));
    CO_CANtx_t *rtr = CO_CANtxBufferInit(m, 1, 0x77, true, 15, true);
    EXPECT_EQ(rtr->ident, 0x77u | (15u << 11) | 0x8000u);

    for (uint8_t i = 0; i < 8; ++i) {
        tx->data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_EQ(CO_CANsend(m, tx), CO_ERROR_NO);
    EXPECT_EQ(CO_CANsend(m, rtr), CO_ERROR_NO);
    ASSERT_EQ(fake::bus().sent.size(), 2u);
    EXPECT_EQ(fake::bus().sent[0].channel, 2u);
    EXPECT_EQ(fake::bus().sent[0].ident, 0x605u);
    EXPECT_EQ(fake::bus().sent[0].data,
              std::vector<uint8_t>({0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7}));
    EXPECT_EQ(fake::bus().sent[1].remote, 1);
    EXPECT_EQ(fake::bus().sent[1].data.size(), 8u); // length capped at 8
    EXPECT_FALSE(tx->bufferFull);
    EXPECT_TRUE(m->bufferInhibitFlag); // from the last buffer sent
}

TEST_F(Driver, FailedSendIsQueuedAndRetried) {
    client_channel_context_t *ch = fake::canopen_channel();
    CO_CANmodule_t *m = &ch->canmodule;
    CO_CANtx_t *a = CO_CANtxBufferInit(m, 0, 0x601, false, 8, false);
    CO_CANtx_t *b = CO_CANtxBufferInit(m, 1, 0x602, false, 2, false);
    fake::bus().sendFailures = 1;
    EXPECT_EQ(capture([&] { EXPECT_EQ(CO_CANsend(m, a), CO_ERROR_TX_OVERFLOW); }),
              "[ERROR] Failed to send CAN message: ID=0x601, DLC=8\n");
    EXPECT_TRUE(a->bufferFull);
    EXPECT_EQ(m->CANtxCount, 1u);

    // While a buffer waits, a new send is queued without touching the backend.
    EXPECT_EQ(CO_CANsend(m, b), CO_ERROR_NO);
    EXPECT_TRUE(b->bufferFull);
    EXPECT_EQ(m->CANtxCount, 2u);
    EXPECT_TRUE(fake::bus().sent.empty());

    CO_CANinterruptQueued(m); // a pass that does not read the adapter retries too
    ASSERT_EQ(fake::bus().sent.size(), 1u);
    EXPECT_EQ(fake::bus().sent[0].ident, 0x601u);
    EXPECT_FALSE(m->firstCANtxMessage);
    CO_CANinterrupt(m);
    ASSERT_EQ(fake::bus().sent.size(), 2u);
    EXPECT_EQ(fake::bus().sent[1].ident, 0x602u);
    EXPECT_EQ(m->CANtxCount, 0u);

    // Sending a buffer that is still full is an overflow once traffic has started.
    fake::bus().sendFailures = 1;
    capture([&] { CO_CANsend(m, a); });
    EXPECT_EQ(CO_CANsend(m, a), CO_ERROR_TX_OVERFLOW);
    EXPECT_NE(m->CANerrorStatus & CO_CAN_ERRTX_OVERFLOW, 0);
}

TEST_F(Driver, PassWithOnlyFailingSendsKeepsTheFramesWaiting) {
    client_channel_context_t *ch = fake::canopen_channel();
    CO_CANmodule_t *m = &ch->canmodule;
    CO_CANtx_t *a = CO_CANtxBufferInit(m, 0, 0x601, false, 8, false);
    CO_CANtx_t *b = CO_CANtxBufferInit(m, 3, 0x602, false, 8, false);
    fake::bus().sendOk = false;
    capture([&] {
        CO_CANsend(m, a);
        CO_CANsend(m, b);
    });
    EXPECT_EQ(m->CANtxCount, 2u);
    const std::string out = capture([&] { CO_CANinterrupt(m); });
    EXPECT_EQ(out, "[ERROR] Failed to send CAN message in interrupt: ID=0x601, DLC=8\n"
                   "[ERROR] Failed to send CAN message in interrupt: ID=0x602, DLC=8\n");
    EXPECT_EQ(m->CANtxCount, 2u);
    EXPECT_TRUE(a->bufferFull);
    EXPECT_TRUE(b->bufferFull);
    // Once the adapter takes frames again, later passes send both in order.
    fake::bus().sendOk = true;
    CO_CANinterrupt(m);
    CO_CANinterrupt(m);
    ASSERT_EQ(fake::bus().sent.size(), 2u);
    EXPECT_EQ(fake::bus().sent[0].ident, 0x601u);
    EXPECT_EQ(fake::bus().sent[1].ident, 0x602u);
    EXPECT_EQ(m->CANtxCount, 0u);
    EXPECT_FALSE(a->bufferFull);
    EXPECT_FALSE(b->bufferFull);
}

// Held frames (a sub-block of a block download) reach the adapter together
// and in their order, with or without the backend's several-frame send; a
// frame the adapter refuses stays held, and what is sent after it waits behind.
TEST_F(Driver, HeldFramesGoTogetherInOrder) {
    for (const bool multi : {false, true}) {
        SCOPED_TRACE(multi ? "send_multi" : "send one by one");
        fake::install(device_manager_cleanup_all);
        can_backend_set(multi ? fake::ops_multi() : fake::ops());
        client_channel_context_t *ch = fake::canopen_channel();
        CO_CANmodule_t *m = &ch->canmodule;
        CO_CANtx_t *seg = CO_CANtxBufferInit(m, 0, 0x601, false, 8, false);
        CO_CANtx_t *other = CO_CANtxBufferInit(m, 1, 0x602, false, 8, false);
        auto send_seg = [&](uint8_t seq) {
            seg->data[0] = seq;
            return CO_CANsend(m, seg);
        };
        std::vector<uint8_t> order;
        auto seqs = [&] {
            order.clear();
            for (const fake::Frame &f : fake::bus().sent) {
                order.push_back(f.ident == 0x601u ? f.data[0] : 0xEE);
            }
            return order;
        };

        CO_CANtxHold(m, true);
        for (uint8_t q = 1; q <= 3; ++q) {
            EXPECT_EQ(send_seg(q), CO_ERROR_NO);
        }
        CO_CANinterrupt(m); // a pass while held sends nothing
        EXPECT_TRUE(fake::bus().sent.empty());
        CO_CANtxHold(m, false);
        EXPECT_EQ(seqs(), std::vector<uint8_t>({1, 2, 3}));
        EXPECT_EQ(fake::bus().multiCalls, multi ? 1 : 0);

        // Refused midway: the rest stays held, a later frame waits behind it.
        fake::bus().sent.clear();
        CO_CANtxHold(m, true);
        send_seg(4);
        send_seg(5);
        fake::bus().refuseAfter = 1;
        EXPECT_EQ(capture([&] { CO_CANtxHold(m, false); }),
                  "[ERROR] Failed to send CAN message: ID=0x601, DLC=8\n");
        EXPECT_EQ(m->txBatchCount, 1u);
        EXPECT_EQ(CO_CANsend(m, other), CO_ERROR_TX_OVERFLOW);
        EXPECT_TRUE(other->bufferFull);
        EXPECT_EQ(seqs(), std::vector<uint8_t>({4}));
        fake::bus().refuseAfter = -1;
        CO_CANinterruptQueued(m);
        EXPECT_EQ(seqs(), std::vector<uint8_t>({4, 5, 0xEE}));
        EXPECT_EQ(m->txBatchCount, 0u);
        EXPECT_EQ(m->CANtxCount, 0u);

        // A full batch goes when the next frame comes; the rest when the hold ends.
        fake::bus().sent.clear();
        CO_CANtxHold(m, true);
        for (unsigned q = 0; q <= CO_CAN_TX_BATCH; ++q) {
            send_seg(static_cast<uint8_t>(q));
        }
        EXPECT_EQ(fake::bus().sent.size(), CO_CAN_TX_BATCH);
        EXPECT_EQ(m->txBatchCount, 1u);
        CO_CANtxHold(m, false);
        ASSERT_EQ(fake::bus().sent.size(), CO_CAN_TX_BATCH + 1u);
        for (unsigned q = 0; q <= CO_CAN_TX_BATCH; ++q) {
            EXPECT_EQ(fake::bus().sent[q].data[0], static_cast<uint8_t>(q));
        }

        // A channel taken down drops what it held.
        CO_CANtxHold(m, true);
        send_seg(9);
        capture([&] { CO_CANmodule_disable(m); });
        EXPECT_EQ(m->txBatchCount, 0u);
        EXPECT_FALSE(m->txHold);
    }
}

TEST_F(Driver, InterfaceMembersOutsideTheUpgradePath) {
    client_channel_context_t *ch = fake::canopen_channel(1);
    CO_CANmodule_t *m = &ch->canmodule;
    std::string out = capture([&] { CO_CANsetNormalMode(m); });
    EXPECT_TRUE(m->CANnormal);
    EXPECT_EQ(out, "CAN device 4:0 channel 1 started for normal mode\nCAN module set to normal mode\n");
    fake::bus().startFailures = 1;
    EXPECT_EQ(capture([&] { CO_CANsetNormalMode(m); }), "[WARNING] Failed to start CAN channel 1\n");
    EXPECT_EQ(capture([&] { CO_CANsetConfigurationMode(ch); }), "CAN module set to configuration mode\n");
    EXPECT_EQ(capture([&] { CO_CANmodule_disable(m); }), "CAN module disabled\n");

    CO_CANtx_t *sync = CO_CANtxBufferInit(m, 0, 0x181, false, 8, true);
    CO_CANtx_t *plain = CO_CANtxBufferInit(m, 1, 0x182, false, 8, false);
    sync->bufferFull = true;
    plain->bufferFull = true;
    m->CANtxCount = 2;
    CO_CANclearPendingSyncPDOs(m);
    EXPECT_FALSE(sync->bufferFull);
    EXPECT_TRUE(plain->bufferFull);
    EXPECT_EQ(m->CANtxCount, 1u);
    EXPECT_NE(m->CANerrorStatus & CO_CAN_ERRTX_PDO_LATE, 0);

    m->CANerrorStatus = 0xFFFF;
    CO_CANmodule_process(m);
    EXPECT_EQ(m->CANerrorStatus, 0xFFFF); // nothing recorded in errOld
    m->errOld = 1;
    CO_CANmodule_process(m);
    EXPECT_EQ(m->CANerrorStatus, 0xFCF0);
    EXPECT_EQ(m->errOld, 0u);
}

} // namespace
