// The exported functions on the simulated USB HID adapter.
#include "tavrix_test_util.h"

#include <cstring>
#include <vector>

namespace {

class HidTest : public TavrixSimTest {
  protected:
    void SetUp() override {
        TavrixSimTest::SetUp();
        XF_SetDevType(0);
    }
    void open_adapter() { ASSERT_EQ(1, UserSys_Init(0)); }

    // Payload of the last report written, checked against data + padding.
    void expect_report(const uint8_t *data, size_t n) {
        ASSERT_EQ((size_t)TAVRIX_REPORT_SIZE, hid().last_report_size);
        EXPECT_EQ(0, hid().last_report[0]);
        for (size_t i = 0; i < TAVRIX_PAYLOAD_SIZE; ++i) {
            const uint8_t want = i < n ? data[i] : TAVRIX_REPORT_PAD;
            ASSERT_EQ(want, hid().last_report[1 + i]) << "payload byte " << i;
        }
    }
};

TEST_F(HidTest, InitOpensOnceAndReportsMissingAdapter) {
    EXPECT_EQ(0, XF_GetDevType());
    EXPECT_EQ(1, UserSys_Init(12345));
    EXPECT_EQ(0, UserSys_Init(12345));
    EXPECT_EQ(1, hid().open_calls);
    EXPECT_EQ(2, hid().open_handles);
    EXPECT_EQ(0, ax().open_calls);

    UserSys_Close();
    EXPECT_EQ(0, hid().open_handles);
    uint8_t b[TAVRIX_PAYLOAD_SIZE] = {};
    EXPECT_EQ(-1, UserSpiDataExchange(b, b, 1));

    hid().present = 0;
    EXPECT_EQ(-1, UserSys_Init(0));
    EXPECT_EQ(-1, UserSpiDataExchange(b, b, 1));
    hid().present = 1;
    EXPECT_EQ(1, UserSys_Init(0));
}

TEST_F(HidTest, WriteSendsReportIdDataAndPadding) {
    const uint8_t data[3] = {0xA1, 0xB2, 0xC3};
    EXPECT_EQ(0, UsbSpiDataWrite(data, nullptr, 3)); // not open: nothing sent
    EXPECT_EQ(0, hid().write_calls);

    open_adapter();
    EXPECT_EQ(0, UsbSpiDataWrite(data, nullptr, 3));
    EXPECT_EQ(1, hid().write_calls);
    EXPECT_EQ((uint32_t)TAVRIX_HID_TIMEOUT_MS, hid().last_write_timeout_ms);
    expect_report(data, 3);
    EXPECT_EQ(0, hid().read_calls);

    std::vector<uint8_t> big(2000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = (uint8_t)(i ^ (i >> 8));
    EXPECT_EQ(0, UsbSpiDataWrite(big.data(), nullptr, 2000));
    expect_report(big.data(), TAVRIX_PAYLOAD_SIZE);

    // A shorter report after a long one carries no stale bytes.
    EXPECT_EQ(0, UsbSpiDataWrite(data, nullptr, 1));
    expect_report(data, 1);
    EXPECT_EQ(0, UsbSpiDataWrite(data, nullptr, -5));
    expect_report(data, 0);
}

TEST_F(HidTest, WriteFailures) {
    open_adapter();
    EXPECT_EQ(-1, UsbSpiDataWrite(nullptr, nullptr, 4));
    hid().fail_writes = 1;
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(-1, UsbSpiDataWrite(data, nullptr, 2));
}

TEST_F(HidTest, ExchangeCopiesTheWholeReportPayload) {
    open_adapter();
    std::vector<uint8_t> reply(TAVRIX_PAYLOAD_SIZE);
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = (uint8_t)(255 - i);
    tavrix_sim_hid_queue_reply(reply.data(), reply.size(), TAVRIX_REPORT_SIZE);

    const uint8_t tx[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    std::vector<uint8_t> rx(TAVRIX_PAYLOAD_SIZE + 8, 0x33);
    EXPECT_EQ(1024, UserSpiDataExchange(tx, rx.data(), 16));
    expect_report(tx, 16);
    EXPECT_EQ(0, memcmp(rx.data(), reply.data(), TAVRIX_PAYLOAD_SIZE));
    for (size_t i = TAVRIX_PAYLOAD_SIZE; i < rx.size(); ++i)
        EXPECT_EQ(0x33, rx[i]);
    EXPECT_EQ((uint32_t)TAVRIX_HID_TIMEOUT_MS, hid().last_read_timeout_ms);

    // A short report yields only what arrived.
    tavrix_sim_hid_queue_reply(reply.data(), 10, 11);
    std::fill(rx.begin(), rx.end(), 0x33);
    EXPECT_EQ(10, UserSpiDataExchange(tx, rx.data(), 16));
    EXPECT_EQ(0, memcmp(rx.data(), reply.data(), 10));
    EXPECT_EQ(0x33, rx[10]);
}

TEST_F(HidTest, ExchangeFailuresPrintAndCopyNothing) {
    open_adapter();
    const uint8_t tx[4] = {1, 2, 3, 4};
    std::vector<uint8_t> rx(TAVRIX_PAYLOAD_SIZE, 0x44);

    // Nothing arrives within the limit.
    start_capture();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx.data(), 4));
    EXPECT_EQ("ERROR: Read command error!\n", end_capture());
    EXPECT_EQ(0x44, rx[0]);

    // A read that fails outright.
    tavrix_sim_hid_queue_reply(nullptr, 0, -1);
    start_capture();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx.data(), 4));
    EXPECT_EQ("ERROR: Read command error!\n", end_capture());

    // A failed write is reported, and the read still happens.
    const uint8_t reply[2] = {0xDE, 0xAD};
    tavrix_sim_hid_queue_reply(reply, 2, TAVRIX_REPORT_SIZE);
    hid().fail_writes = 1;
    start_capture();
    EXPECT_EQ(1024, UserSpiDataExchange(tx, rx.data(), 4));
    EXPECT_EQ("ERROR: Write command error!\n", end_capture());
    EXPECT_EQ(0xDE, rx[0]);
    EXPECT_EQ(0xAD, rx[1]);

    // Null buffers are refused before any transfer.
    const int writes = hid().write_calls;
    EXPECT_EQ(-2, UserSpiDataExchange(nullptr, rx.data(), 4));
    EXPECT_EQ(-2, UserSpiDataExchange(tx, nullptr, 4));
    EXPECT_EQ(writes, hid().write_calls);
}

TEST_F(HidTest, AdapterFoundButNotOpenable) {
    hid().invalid_handles = 1;
    EXPECT_EQ(1, UserSys_Init(0));
    const uint8_t tx[1] = {1};
    uint8_t rx[TAVRIX_PAYLOAD_SIZE] = {};
    start_capture();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx, 1));
    EXPECT_EQ("ERROR: Write command error!\nERROR: Read command error!\n", end_capture());
    EXPECT_EQ(-1, UsbSpiDataWrite(tx, nullptr, 1));
    UserSys_Close();
    EXPECT_EQ(1, UserSys_Init(0));
}

TEST_F(HidTest, ControllerModeNeverWritesReports) {
    XF_SetDevType(1);
    ASSERT_EQ(1, UserSys_Init(1000000));
    const uint8_t data[2] = {1, 2};
    EXPECT_EQ(0, UsbSpiDataWrite(data, nullptr, 2));
    EXPECT_EQ(0, hid().write_calls);
    EXPECT_EQ(0, hid().open_calls);
}

} // namespace
