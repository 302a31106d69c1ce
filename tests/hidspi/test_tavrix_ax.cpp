// The exported functions on the simulated AX99100 controller.
#include "tavrix_test_util.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace {

// A request with its leading input bytes; in_size 0 means in.size().
struct Expected {
    uint32_t code;
    std::vector<uint8_t> in;
    size_t in_size = 0;
};

std::vector<uint8_t> reg32_in(uint32_t space, uint32_t offset, uint32_t value) {
    std::vector<uint8_t> in;
    for (uint32_t v : {space, offset, value})
        for (int i = 0; i < 4; ++i)
            in.push_back((uint8_t)(v >> (8 * i)));
    return in;
}

void expect_requests(const TavrixSimAx &ax, int first, const std::vector<Expected> &expected) {
    ASSERT_GE(ax.log_count, first + (int)expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        const TavrixSimAxRequest &r = ax.log[first + i];
        EXPECT_EQ(r.code, expected[i].code) << "request " << first + i;
        const size_t size = expected[i].in_size != 0 ? expected[i].in_size : expected[i].in.size();
        EXPECT_EQ(r.in_size, size) << "request " << first + i;
        EXPECT_EQ(0, memcmp(r.in, expected[i].in.data(), expected[i].in.size())) << "request " << first + i;
    }
}

uint8_t written_divider(const TavrixSimAx &ax) {
    for (int i = 0; i < ax.log_count && i < TAVRIX_SIM_MAX_REQUESTS; ++i)
        if (ax.log[i].code == TAVRIX_AX_WRITE_REG8 && ax.log[i].in[0] == 0x04)
            return ax.log[i].in[1];
    ADD_FAILURE() << "divider never written";
    return 0;
}

class AxTest : public TavrixSimTest {
  protected:
    void init() {
        ASSERT_EQ(1, UserSys_Init(1000000));
        first_ = ax().log_count;
    }
    int first_ = 0;
};

TEST_F(AxTest, InitIssuesTheStartUpSequenceInOrder) {
    EXPECT_EQ(1, XF_GetDevType());
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(1, ax().open_calls);
    EXPECT_STREQ("/sim/AX99100SpiDevice0", ax().tried[0]);
    EXPECT_EQ(9, ax().log_count);
    expect_requests(ax(), 0,
                    {{TAVRIX_AX_WRITE_REG32, reg32_in(0, 0x238, 1)},
                     {TAVRIX_AX_WRITE_REG8, {0x01, 0x01}},
                     {TAVRIX_AX_WRITE_REG8, {0x04, 100}},
                     {TAVRIX_AX_WRITE_REG8, {0x01, 0x05}},
                     {TAVRIX_AX_WRITE_REG8, {0x10, 0xFF}},
                     {TAVRIX_AX_WRITE_REG8, {0x11, 0x03}},
                     {TAVRIX_AX_WRITE_REG8, {0x00, 0xB0}},
                     {TAVRIX_AX_WRITE_REG8, {0x12, 0x06}},
                     {TAVRIX_AX_WRITE_REG8, {0x13, 0x00}}});

    // Already open, or no clock: nothing more happens.
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(1, UserSys_Init(0));
    EXPECT_EQ(1, ax().open_calls);
    EXPECT_EQ(9, ax().log_count);
}

TEST_F(AxTest, ClockDividerStaysWithinWhatTheRegisterHolds) {
    // 100 MHz / clock, at least 3; a clock slower than divider 255 can give
    // gets 255, the slowest there is, never a wrapped faster one.
    const struct {
        uint32_t clock;
        uint8_t divider;
    } cases[] = {{10000000, 10}, {50000000, 3}, {25000000, 4}, {33333334, 3}, {400000, 250},
                 {200000000, 3}, {392157, 254}, {392156, 255}, {390625, 255}, {390624, 255},
                 {200000, 255},  {100000, 255}, {1, 255}};
    for (const auto &c : cases) {
        tavrix_sim_install();
        ASSERT_EQ(1, UserSys_Init(c.clock)) << c.clock;
        EXPECT_EQ(c.divider, written_divider(ax())) << c.clock;
    }
}

TEST_F(AxTest, InitWithZeroClockOpensNothing) {
    EXPECT_EQ(1, UserSys_Init(0));
    EXPECT_EQ(0, ax().open_calls);
    EXPECT_EQ(0, ax().log_count);
    EXPECT_EQ(-1, UserGetGpioData_u32(nullptr));
}

TEST_F(AxTest, OpenTriesTenNamesTenMillisecondsApartThenFails) {
    ax().present_digit = -1;
    start_capture();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(-1, UserSys_Init(1000000));
    const double ms = elapsed_ms(t0);
    EXPECT_EQ("Init error: invalid handle\n", end_capture());
    ASSERT_EQ(10, ax().open_calls);
    for (int i = 0; i < 10; ++i) {
        const std::string name = "/sim/AX99100SpiDevice" + std::to_string(i);
        EXPECT_EQ(name, ax().tried[i]);
        if (i > 0) {
            EXPECT_GE(ax().tried_at_ms[i] - ax().tried_at_ms[i - 1], 9u);
        }
    }
    EXPECT_GE(ms, 100.0);
    EXPECT_EQ(0, ax().log_count);
    uint8_t b = 0;
    EXPECT_EQ(-1, UserSpiDataExchange(&b, &b, 1));
}

TEST_F(AxTest, OpenTakesTheFirstNodeThatExists) {
    ax().present_digit = 3;
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(4, ax().open_calls);
    EXPECT_STREQ("/sim/AX99100SpiDevice3", ax().tried[3]);
    EXPECT_EQ(9, ax().log_count);
}

TEST_F(AxTest, ExchangeLoadsStartsPollsAndFetches) {
    init();
    ax().busy_polls = 3;
    std::vector<uint8_t> tx(300), rx(300 + 16, 0x5A);
    for (size_t i = 0; i < tx.size(); ++i)
        tx[i] = (uint8_t)(i * 7 + 1);
    EXPECT_EQ(1, UserSpiDataExchange(tx.data(), rx.data(), 300));
    for (size_t i = 0; i < tx.size(); ++i)
        ASSERT_EQ((uint8_t)~tx[i], rx[i]) << i;
    for (size_t i = 300; i < rx.size(); ++i)
        ASSERT_EQ(0x5A, rx[i]) << "written past len at " << i;

    const std::vector<uint8_t> len = {0x2C, 0x01, 0, 0};
    std::vector<uint8_t> load(16);
    memcpy(load.data(), len.data(), 4);
    memcpy(load.data() + 4, tx.data(), 12);
    expect_requests(ax(), first_,
                    {{TAVRIX_AX_LOAD_TX, load, TAVRIX_AX_RECORD_SIZE},
                     {TAVRIX_AX_SET_LEN1, len},
                     {TAVRIX_AX_SET_LEN2, len},
                     {TAVRIX_AX_WRITE_REG8, {0x13, 0x0B}},
                     {TAVRIX_AX_READ_REG8, {0x13}},
                     {TAVRIX_AX_READ_REG8, {0x13}},
                     {TAVRIX_AX_READ_REG8, {0x13}},
                     {TAVRIX_AX_READ_REG8, {0x13}},
                     {TAVRIX_AX_FETCH_RX, len}});
    EXPECT_EQ((size_t)TAVRIX_AX_RECORD_SIZE, ax().log[first_ + 8].out_size);
    EXPECT_EQ(first_ + 9, ax().log_count);
    EXPECT_EQ(300u, ax().tx_len);
    EXPECT_EQ(300u, ax().len1);
    EXPECT_EQ(300u, ax().len2);
}

TEST_F(AxTest, ExchangeRejectsBadArguments) {
    uint8_t tx[4] = {1, 2, 3, 4}, rx[4] = {};
    EXPECT_EQ(-1, UserSpiDataExchange(tx, rx, 4)); // no device yet
    init();
    EXPECT_EQ(-2, UserSpiDataExchange(tx, rx, 0));
    EXPECT_EQ(-2, UserSpiDataExchange(nullptr, rx, 4));
    EXPECT_EQ(-2, UserSpiDataExchange(tx, nullptr, 4));
    EXPECT_EQ(first_, ax().log_count);

    // Above the 131072-byte staging records: refused before anything is
    // copied.
    std::vector<uint8_t> big(TAVRIX_AX_DATA_MAX + 64, 0x11), out(TAVRIX_AX_DATA_MAX + 64, 0);
    EXPECT_EQ(-2, UserSpiDataExchange(big.data(), out.data(), TAVRIX_AX_DATA_MAX + 1));
    EXPECT_EQ(-2, UserSpiDataExchange(big.data(), out.data(), 0xFFFFFFFFu));
    EXPECT_EQ(first_, ax().log_count);

    // The largest transfer goes through whole.
    EXPECT_EQ(1, UserSpiDataExchange(big.data(), out.data(), TAVRIX_AX_DATA_MAX));
    EXPECT_EQ(0xEE, out[0]);
    EXPECT_EQ(0xEE, out[TAVRIX_AX_DATA_MAX - 1]);
    EXPECT_EQ(0x00, out[TAVRIX_AX_DATA_MAX]);
}

// The k-th request of a call refused by the driver: the call fails, hands
// back nothing (neither this transfer's data nor the previous one's), and
// the device works again afterwards. A refused status read alone only counts
// as busy.
TEST_F(AxTest, EachRefusedRequestFailsTheCall) {
    const struct {
        bool init;
        int request; // 1: the first request of the call
        int32_t result;
    } rows[] = {{true, 1, -1}, {true, 2, -1}, {true, 3, -1}, {true, 4, -1}, {true, 5, -1},
                {true, 6, -1}, {true, 7, -1}, {true, 8, -1}, {true, 9, -1}, {false, 1, 0},
                {false, 2, 0}, {false, 3, 0}, {false, 4, 0}, {false, 5, 1}, {false, 6, 0}};
    for (const auto &row : rows) {
        SCOPED_TRACE(std::string(row.init ? "init" : "exchange") + ", request " +
                     std::to_string(row.request));
        tavrix_sim_install();
        uint32_t v = 0;
        if (row.init) {
            ax().fail_request = row.request;
            EXPECT_EQ(row.result, UserSys_Init(1000000));
            EXPECT_EQ(0, ax().is_open);
            EXPECT_EQ(-1, UserGetGpioData_u32(&v));
            EXPECT_EQ(1, UserSys_Init(1000000));
            continue;
        }
        ASSERT_EQ(1, UserSys_Init(1000000));
        std::vector<uint8_t> tx(64, 0x22), rx(64, 0);
        ASSERT_EQ(1, UserSpiDataExchange(tx.data(), rx.data(), 64));
        ASSERT_EQ(0xDD, rx[0]);
        std::fill(tx.begin(), tx.end(), 0x11);
        std::fill(rx.begin(), rx.end(), 0x5A);
        ax().fail_request = ax().log_count + row.request;
        EXPECT_EQ(row.result, UserSpiDataExchange(tx.data(), rx.data(), 64));
        EXPECT_EQ(std::vector<uint8_t>(64, row.result == 1 ? 0xEE : 0x5A), rx);
        EXPECT_EQ(1, UserSpiDataExchange(tx.data(), rx.data(), 64));
        EXPECT_EQ(std::vector<uint8_t>(64, 0xEE), rx);
    }
}

TEST_F(AxTest, BusyBitThatNeverClearsTimesOut) {
    init();
    ax().busy_polls = -1;
    uint8_t tx[8] = {1, 2, 3, 4, 5, 6, 7, 8}, rx[8] = {};
    start_capture();
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx, 8));
    const double ms = elapsed_ms(t0);
    EXPECT_EQ("Timeout: polling\n", end_capture());
    EXPECT_GE(ms, 100.0);
    EXPECT_GT(ax().status_reads, 1);
    // Polls back off to a millisecond apart: about a hundred in 100 ms, not
    // millions. (Pauses last at least what is asked, so this is an upper
    // bound whatever the machine's load.)
    EXPECT_LT(ax().status_reads, 1000);
    for (int i = first_; i < ax().log_count && i < TAVRIX_SIM_MAX_REQUESTS; ++i)
        EXPECT_NE(TAVRIX_AX_FETCH_RX, ax().log[i].code);
    EXPECT_EQ(0, rx[0]);
}

TEST_F(AxTest, UnreadableStatusCountsAsBusy) {
    init();
    ax().fail_code = TAVRIX_AX_READ_REG8;
    uint8_t tx[2] = {1, 2}, rx[2] = {0x77, 0x77};
    start_capture();
    EXPECT_EQ(0, UserSpiDataExchange(tx, rx, 2));
    EXPECT_EQ("Timeout: polling\n", end_capture());
    EXPECT_EQ(0x77, rx[0]);
}

TEST_F(AxTest, GpioWithoutDevice) {
    uint32_t v = 0xABCD;
    int32_t bit = 7;
    EXPECT_EQ(-1, UserGetGpioDir(&v));
    EXPECT_EQ(-1, UserSetGpioDir(1));
    EXPECT_EQ(-1, UserGetGpioData(1, &bit));
    EXPECT_EQ(0, UserSetGpioData(1, 1));
    EXPECT_EQ(-1, UserSetGpioData_u32(1));
    EXPECT_EQ(-1, UserGetGpioData_u32(&v));
    EXPECT_EQ(0xABCDu, v);
    EXPECT_EQ(7, bit);
    EXPECT_EQ(0, ax().log_count);
}

TEST_F(AxTest, GpioPinReadModifyWrite) {
    init();
    ax().gpio_data = 0x10;
    EXPECT_EQ(1, UserSetGpioData(3, 1));
    EXPECT_EQ(0x18u, ax().gpio_data);
    expect_requests(
        ax(), first_,
        {{TAVRIX_AX_READ_REG32, reg32_in(2, 0x3C0, 0)}, {TAVRIX_AX_WRITE_REG32, reg32_in(2, 0x3C0, 0x18)}});

    ax().gpio_data = 0x10;
    EXPECT_EQ(1, UserSetGpioData(4, 0));
    EXPECT_EQ(0u, ax().gpio_data);

    // Pins wrap at 32.
    EXPECT_EQ(1, UserSetGpioData(35, 1));
    EXPECT_EQ(0x08u, ax().gpio_data);
    int32_t level = -1;
    EXPECT_EQ(1, UserGetGpioData(35, &level));
    EXPECT_EQ(1, level);
    ax().gpio_data = ~0x08u;
    EXPECT_EQ(1, UserGetGpioData(35, &level));
    EXPECT_EQ(0, level);
    ax().gpio_data = 0x80000000u;
    EXPECT_EQ(1, UserGetGpioData(31, &level));
    EXPECT_EQ(1, level);
}

TEST_F(AxTest, GpioRegistersAndFailures) {
    init();
    ax().gpio_data = 0x1234;
    ax().gpio_dir = 0x55;
    uint32_t v = 0;
    // Both readers return the data register, not the direction register.
    EXPECT_EQ(1, UserGetGpioDir(&v));
    EXPECT_EQ(0x1234u, v);
    v = 0;
    EXPECT_EQ(1, UserGetGpioData_u32(&v));
    EXPECT_EQ(0x1234u, v);
    EXPECT_EQ(1, UserSetGpioDir(0xAB));
    EXPECT_EQ(0xABu, ax().gpio_dir);
    EXPECT_EQ(0x1234u, ax().gpio_data);
    EXPECT_EQ(1, UserSetGpioData_u32(0xCAFE));
    EXPECT_EQ(0xCAFEu, ax().gpio_data);

    // Null outputs fail instead of crashing.
    EXPECT_EQ(0, UserGetGpioDir(nullptr));
    EXPECT_EQ(0, UserGetGpioData_u32(nullptr));
    EXPECT_EQ(0, UserGetGpioData(2, nullptr));

    ax().fail_code = TAVRIX_AX_READ_REG32;
    v = 7;
    int32_t level = 9;
    EXPECT_EQ(0, UserGetGpioData_u32(&v));
    EXPECT_EQ(0, UserGetGpioData(1, &level));
    EXPECT_EQ(7u, v);
    EXPECT_EQ(9, level);
    const int before = ax().log_count;
    EXPECT_EQ(0, UserSetGpioData(1, 1));
    EXPECT_EQ(before + 1, ax().log_count); // no write after a failed read

    ax().fail_code = TAVRIX_AX_WRITE_REG32;
    EXPECT_EQ(0, UserSetGpioData_u32(1));
    EXPECT_EQ(0, UserSetGpioDir(1));
    EXPECT_EQ(0, UserSetGpioData(1, 1));
    EXPECT_EQ(0xCAFEu, ax().gpio_data);
}

TEST_F(AxTest, CloseReleasesOnlyTheCurrentType) {
    init();
    UserSys_Close();
    EXPECT_EQ(0, ax().is_open);
    uint32_t v = 0;
    EXPECT_EQ(-1, UserGetGpioData_u32(&v));
    UserSys_Close(); // closing twice is harmless
    EXPECT_EQ(1, ax().close_calls);

    // Reopens after a close.
    EXPECT_EQ(1, UserSys_Init(1000000));
    EXPECT_EQ(2, ax().open_calls);

    // Switching to HID mode and closing leaves the controller open; GPIO
    // looks only at the controller.
    XF_SetDevType(0);
    UserSys_Close();
    EXPECT_EQ(1, ax().is_open);
    EXPECT_EQ(1, UserGetGpioData_u32(&v));
    XF_SetDevType(1);
    UserSys_Close();
    EXPECT_EQ(0, ax().is_open);
}

} // namespace
