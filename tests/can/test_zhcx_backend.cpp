#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "can_backend.h"
#include "can_backend_socketcan.h"
#include "can_backend_zhcx.h"
#include "fake_vci.h"

namespace {

class ZhcxBackend : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeVci::install();
        dev = zhcx_create();
    }
    void TearDown() override {
        zhcx_destroy(dev);
        FakeVci::uninstall();
    }
    FakeVci &fake() { return FakeVci::instance(); }
    CANDevice dev = nullptr;
};

TEST_F(ZhcxBackend, OpenStoresIdentityOnlyOnSuccess) {
    fake().openResult = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, zhcx_open(dev, 4, 1, 500));
    EXPECT_EQ("[ERROR] zhcx_can_open_device: open failed (Type=4, Index=1)\n",
              testing::internal::GetCapturedStdout());
    const ZHCX_Device *rec = static_cast<ZHCX_Device *>(dev);
    EXPECT_EQ(0u, rec->deviceType);
    EXPECT_EQ(0u, rec->deviceIndex);
    EXPECT_EQ(0u, rec->bitrate);

    // Success means exactly 1 from the library.
    fake().openResult = 2;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, zhcx_open(dev, 4, 1, 500));
    testing::internal::GetCapturedStdout();

    fake().openResult = 1;
    EXPECT_EQ(1, zhcx_open(dev, 4, 1, 500));
    EXPECT_EQ(4u, rec->deviceType);
    EXPECT_EQ(1u, rec->deviceIndex);
    EXPECT_EQ(500u, rec->bitrate);
}

TEST_F(ZhcxBackend, InitClearsBothChannelsAndProgramsTiming) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 1000));
    fake().calls.clear();
    EXPECT_EQ(1, zhcx_init(dev, 1));
    ASSERT_EQ(3u, fake().calls.size());
    EXPECT_EQ("clear", fake().calls[0].fn);
    EXPECT_EQ(0u, fake().calls[0].channel);
    EXPECT_EQ("clear", fake().calls[1].fn);
    EXPECT_EQ(1u, fake().calls[1].channel);
    EXPECT_EQ("init", fake().calls[2].fn);
    EXPECT_EQ(1u, fake().calls[2].channel);
    const VCI_INIT_CONFIG &c = fake().lastInit;
    EXPECT_EQ(0x80000008u, c.AccCode);
    EXPECT_EQ(0xFFFFFFFFu, c.AccMask);
    EXPECT_EQ(1, c.Filter);
    EXPECT_EQ(0x00, c.Timing0);
    EXPECT_EQ(0x14, c.Timing1);
    EXPECT_EQ(0, c.Mode);
}

TEST_F(ZhcxBackend, TimingTableCoversEveryListedRate) {
    struct Row {
        uint32_t kbps;
        uint8_t t0, t1;
    } rows[] = {{10, 0x31, 0x1C},  {20, 0x18, 0x1C},  {33, 0x09, 0x6F},  {40, 0x87, 0xFF},  {50, 0x09, 0x1C},
                {66, 0x04, 0x6F},  {80, 0x83, 0xFF},  {83, 0x03, 0x6F},  {100, 0x04, 0x1C}, {125, 0x03, 0x1C},
                {200, 0x81, 0xFA}, {250, 0x01, 0x1C}, {400, 0x80, 0xFA}, {500, 0x00, 0x1C}, {666, 0x80, 0xB6},
                {800, 0x00, 0x16}, {1000, 0x00, 0x14}};
    for (const Row &r : rows) {
        ASSERT_EQ(1, zhcx_open(dev, 4, 0, r.kbps));
        ASSERT_EQ(1, zhcx_init(dev, 0)) << r.kbps;
        EXPECT_EQ(r.t0, fake().lastInit.Timing0) << r.kbps;
        EXPECT_EQ(r.t1, fake().lastInit.Timing1) << r.kbps;
    }
}

TEST_F(ZhcxBackend, UnsupportedBitrateNeverReachesTheLibrary) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 300));
    fake().calls.clear();
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, zhcx_init(dev, 0));
    EXPECT_EQ("[ERROR] Unsupported bitrate: 300\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0u, fake().count("init"));
}

TEST_F(ZhcxBackend, InitAndStartFailuresNameTheChannel) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 500));
    fake().initResult = 0;
    fake().startResult = 0;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, zhcx_init(dev, 3));
    EXPECT_EQ(0, zhcx_start(dev, 3));
    EXPECT_EQ("[ERROR] zhcx_can_init_can: init failed for channel 3\n"
              "[ERROR] zhcx_can_start_can: start failed for channel 3\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(ZhcxBackend, SendCopiesAtMostEightBytesButKeepsTheLength) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 500));
    uint8_t data[12];
    for (int i = 0; i < 12; ++i) {
        data[i] = static_cast<uint8_t>(0xA0 + i);
    }
    EXPECT_TRUE(zhcx_send(dev, 1, 0x601, 0, 0, data, 12));
    ASSERT_EQ(1u, fake().transmitted.size());
    const VCI_CAN_OBJ &o = fake().transmitted[0];
    EXPECT_EQ(0x601u, o.ID);
    EXPECT_EQ(12, o.DataLen);
    EXPECT_EQ(0, memcmp(o.Data, data, 8));
    EXPECT_EQ(0, o.Reserved[0]);

    fake().transmitResult = 0;
    EXPECT_FALSE(zhcx_send(dev, 1, 0x601, 0, 0, data, 2));
}

TEST_F(ZhcxBackend, ReceiveConvertsClampsAndReportsErrors) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 500));
    for (int i = 0; i < 3; ++i) {
        VCI_CAN_OBJ o{};
        o.ID = 0x581u + static_cast<unsigned>(i);
        o.DataLen = i == 2 ? 13 : 4;
        memset(o.Data, 0x11 * (i + 1), 8);
        fake().pending.push_back(o);
    }
    CO_CANrxMsg_t frames[255];
    memset(frames, 0xEE, sizeof(frames));
    EXPECT_EQ(3, zhcx_recv_multi(dev, 0, frames, 255));
    EXPECT_EQ(0x581u, frames[0].ident);
    EXPECT_EQ(4, frames[0].DLC);
    EXPECT_EQ(0x11, frames[0].data[3]);
    EXPECT_EQ(0xEE, frames[0].data[4]); // bytes beyond DLC are left as they were
    EXPECT_EQ(8, frames[2].DLC);
    EXPECT_EQ(0x33, frames[2].data[7]);
    EXPECT_EQ(0xEEu, frames[3].DLC);

    fake().receiveError = true;
    EXPECT_EQ(-1, zhcx_recv_multi(dev, 0, frames, 255));

    // Nothing to receive into: the library is not asked.
    fake().calls.clear();
    EXPECT_EQ(0, zhcx_recv_multi(dev, 0, nullptr, 4));
    EXPECT_EQ(0, zhcx_recv_multi(dev, 0, frames, 0));
    EXPECT_EQ(0u, fake().count("receive"));
}

TEST_F(ZhcxBackend, ReceiveNeverWritesPastTheCapacity) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 500));
    for (int i = 0; i < 4; ++i) {
        VCI_CAN_OBJ o{};
        o.ID = 0x100u + static_cast<unsigned>(i);
        o.DataLen = 8;
        fake().pending.push_back(o);
    }
    fake().receiveOverride = 300; // a library claiming more frames than asked for
    CO_CANrxMsg_t frames[3];
    memset(frames, 0, sizeof(frames));
    EXPECT_EQ(300, zhcx_recv_multi(dev, 0, frames, 2));
    EXPECT_EQ(0x100u, frames[0].ident);
    EXPECT_EQ(0x101u, frames[1].ident);
    EXPECT_EQ(0u, frames[2].ident);
}

TEST_F(ZhcxBackend, NullHandleFailsWithoutCallingTheLibrary) {
    EXPECT_EQ(0, zhcx_open(nullptr, 4, 0, 500));
    EXPECT_EQ(0, zhcx_init(nullptr, 0));
    EXPECT_EQ(0, zhcx_start(nullptr, 0));
    EXPECT_FALSE(zhcx_send(nullptr, 0, 1, 0, 0, nullptr, 0));
    EXPECT_EQ(0, zhcx_recv_multi(nullptr, 0, nullptr, 0));
    EXPECT_EQ(0, zhcx_get_board_info(nullptr, nullptr));
    EXPECT_EQ(0, zhcx_get_board_info(dev, nullptr));
    EXPECT_EQ(0, zhcx_reset(nullptr));
    zhcx_close(nullptr);
    zhcx_clear(nullptr, 0);
    zhcx_destroy(nullptr);
    EXPECT_TRUE(fake().calls.empty());
}

TEST_F(ZhcxBackend, ResetClosesFirstAndNeedsExactlyOne) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 2, 500));
    fake().calls.clear();
    EXPECT_EQ(1, zhcx_reset(dev));
    ASSERT_EQ(2u, fake().calls.size());
    EXPECT_EQ("close", fake().calls[0].fn);
    EXPECT_EQ("reset", fake().calls[1].fn);
    EXPECT_EQ(2u, fake().calls[1].index);
    fake().resetResult = 5;
    EXPECT_EQ(0, zhcx_reset(dev));
    VCI_BOARD_INFO info;
    EXPECT_EQ(1, zhcx_get_board_info(dev, &info));
    EXPECT_EQ(2, info.can_Num);
}

TEST(SocketCanPlaceholder, OpensButNoChannelComesUp) {
    CANDevice d = sock_create();
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(1, sock_open(d, 4, 0, 250));
    EXPECT_EQ(250000u, static_cast<SOCK_Device *>(d)->bitrate_bps);
    EXPECT_EQ(0, sock_init(d, 0));
    EXPECT_EQ(0, sock_start(d, 0));
    EXPECT_FALSE(sock_send(d, 0, 1, 0, 0, nullptr, 0));
    CO_CANrxMsg_t f;
    EXPECT_EQ(0, sock_recv_multi(d, 0, &f, 1));
    EXPECT_EQ(0, sock_info(d, nullptr));
    EXPECT_EQ(0, sock_reset(d));
    EXPECT_EQ(0, sock_open(nullptr, 4, 0, 250));
    sock_destroy(d);
}

TEST(BackendSelection, TablesListTheirFunctionsInOrder) {
    can_backend_set(nullptr);
    EXPECT_EQ(nullptr, can_backend_get());
    can_backend_set_zhcx();
    ASSERT_EQ(&ZHCX_OPS, can_backend_get());
    EXPECT_EQ(&zhcx_create, ZHCX_OPS.create);
    EXPECT_EQ(&zhcx_recv_multi, ZHCX_OPS.recv_multi);
    EXPECT_EQ(&zhcx_reset, ZHCX_OPS.reset_device);
    can_backend_set_socketcan();
    ASSERT_EQ(&SOCK_OPS, can_backend_get());
    EXPECT_EQ(&sock_info, SOCK_OPS.get_board_info);
    can_backend_set(nullptr);
}

} // namespace

namespace {

// Motors and CANopen use standard data frames only: a 29-bit or a remote
// frame must not come out looking like one of them.
TEST_F(ZhcxBackend, ReceiveDropsExtendedAndRemoteFrames) {
    ASSERT_EQ(1, zhcx_open(dev, 4, 0, 500));
    struct In {
        uint32_t id;
        uint8_t remote, extended;
    };
    const In in[] = {{0x585, 0, 0}, {0x1ABC0585, 0, 1}, {0x585, 1, 0}, {0x585, 1, 1}, {0x586, 0, 0}};
    for (const In &i : in) {
        VCI_CAN_OBJ o{};
        o.ID = i.id;
        o.RemoteFlag = i.remote;
        o.ExternFlag = i.extended;
        o.DataLen = 8;
        memset(o.Data, 0x42, 8);
        fake().pending.push_back(o);
    }
    CO_CANrxMsg_t frames[8];
    memset(frames, 0, sizeof(frames));
    ASSERT_EQ(2, zhcx_recv_multi(dev, 0, frames, 8));
    EXPECT_EQ(0x585u, frames[0].ident);
    EXPECT_EQ(0x586u, frames[1].ident);
    EXPECT_EQ(0u, frames[2].ident);
}

} // namespace
