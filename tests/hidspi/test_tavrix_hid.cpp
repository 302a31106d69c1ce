// The exported functions on the simulated USB HID adapter.
#include "tavrix_test_util.h"

#include <cstring>
#include <string>
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

// rx gets min(len, reply) bytes, so a buffer as long as tx is enough; len 0
// sends padding alone and takes the whole reply. The result is the reply's
// length whatever len is, and a report never carries more than 1024 bytes.
TEST_F(HidTest, ExchangeCopiesLenBytesOfTheReply) {
    open_adapter();
    std::vector<uint8_t> reply(TAVRIX_PAYLOAD_SIZE), tx(2000);
    for (size_t i = 0; i < reply.size(); ++i)
        reply[i] = (uint8_t)(255 - i);
    for (size_t i = 0; i < tx.size(); ++i)
        tx[i] = (uint8_t)(i * 13 + 5);
    const struct {
        uint32_t len;
        int reply_bytes;
        int copied;
    } rows[] = {{1, 1024, 1},       {64, 1024, 64},  {1023, 1024, 1023}, {1024, 1024, 1024},
                {2000, 1024, 1024}, {0, 1024, 1024}, {64, 10, 10},       {0, 10, 10}};
    for (const auto &row : rows) {
        SCOPED_TRACE("len " + std::to_string(row.len) + ", reply " + std::to_string(row.reply_bytes));
        tavrix_sim_hid_queue_reply(reply.data(), (size_t)row.reply_bytes, row.reply_bytes + 1);
        // Exactly the bytes due, then a guard that must stay untouched.
        std::vector<uint8_t> rx((size_t)row.copied + 16, 0x33);
        EXPECT_EQ(row.reply_bytes, UserSpiDataExchange(tx.data(), rx.data(), row.len));
        expect_report(tx.data(), row.len < TAVRIX_PAYLOAD_SIZE ? row.len : TAVRIX_PAYLOAD_SIZE);
        EXPECT_EQ(0, memcmp(rx.data(), reply.data(), (size_t)row.copied));
        EXPECT_EQ(std::vector<uint8_t>(16, 0x33), std::vector<uint8_t>(rx.begin() + row.copied, rx.end()));
        hid().reply_count = hid().reply_next = 0;
    }
    EXPECT_EQ((uint32_t)TAVRIX_HID_TIMEOUT_MS, hid().last_read_timeout_ms);
}

// Reports queued before the request (answers that came after an earlier
// exchange's time limit) answer nothing: the exchange gets its own answer.
TEST_F(HidTest, ExchangeDropsReportsQueuedBeforeItsRequest) {
    open_adapter();
    hid().answer_writes = 1;
    hid().queued_reports = 3;
    const uint8_t tx[4] = {1, 2, 3, 4};
    uint8_t rx[4] = {0, 0, 0, 0};
    EXPECT_EQ(TAVRIX_PAYLOAD_SIZE, UserSpiDataExchange(tx, rx, 4));
    const uint8_t want[4] = {0xFE, 0xFD, 0xFC, 0xFB};
    EXPECT_EQ(0, memcmp(want, rx, 4));
    EXPECT_EQ(0, hid().queued_reports);
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

    // A failed write fails the exchange: a report that comes in anyway does
    // not answer it, and is neither read nor handed back.
    const uint8_t reply[2] = {0xDE, 0xAD};
    tavrix_sim_hid_queue_reply(reply, 2, TAVRIX_REPORT_SIZE);
    hid().fail_writes = 1;
    const int reads = hid().read_calls;
    start_capture();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx.data(), 4));
    EXPECT_EQ("ERROR: Write command error!\n", end_capture());
    EXPECT_EQ(0x44, rx[0]);
    EXPECT_EQ(reads, hid().read_calls);

    // Null buffers are refused before any transfer.
    const int writes = hid().write_calls;
    EXPECT_EQ(-2, UserSpiDataExchange(nullptr, rx.data(), 4));
    EXPECT_EQ(-2, UserSpiDataExchange(tx, nullptr, 4));
    EXPECT_EQ(writes, hid().write_calls);
}

// An adapter that is there but cannot be opened (no access to its hidraw
// node) fails the start-up, not every transfer after it; a handle that did
// open is released.
TEST_F(HidTest, AdapterFoundButNotOpenable) {
    for (int invalid : {1, 2}) {
        SCOPED_TRACE(invalid == 1 ? "neither handle" : "no write handle");
        tavrix_sim_install();
        XF_SetDevType(0);
        hid().invalid_handles = invalid;
        start_capture();
        EXPECT_EQ(-1, UserSys_Init(0));
        EXPECT_EQ("Init error: invalid handle\n", end_capture());
        EXPECT_EQ(0, hid().open_handles);
        const uint8_t tx[1] = {1};
        uint8_t rx[1] = {0};
        EXPECT_EQ(-1, UserSpiDataExchange(tx, rx, 1));
        EXPECT_EQ(0, UsbSpiDataWrite(tx, nullptr, 1));
        EXPECT_EQ(0, hid().write_calls);
        hid().invalid_handles = 0;
        EXPECT_EQ(1, UserSys_Init(0));
    }
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
