// Helpers for the bench tests: play the program's side through the adapter
// transport with hand-written frames.
#ifndef SIM_TEST_UTIL_H
#define SIM_TEST_UTIL_H

#include "sim_bench.h"

#include <gtest/gtest.h>
#include <string.h>
#include <vector>

struct Frame {
    uint32_t id = 0;
    uint8_t dlc = 0;
    uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};

inline const ControlCanTransport *T() {
    return sim_controlcan_transport();
}

inline bool open_channel(uint32_t dev, uint32_t ch, uint8_t t0 = 0x00, uint8_t t1 = 0x14) {
    if (T()->OpenDevice(VCI_USBCAN2, dev, 0) != 1) {
        return false;
    }
    VCI_INIT_CONFIG cfg{};
    cfg.AccCode = 0x80000008u;
    cfg.AccMask = 0xFFFFFFFFu;
    cfg.Filter = 1;
    cfg.Timing0 = t0;
    cfg.Timing1 = t1;
    return T()->InitCAN(VCI_USBCAN2, dev, ch, &cfg) == 1 && T()->StartCAN(VCI_USBCAN2, dev, ch) == 1;
}

inline DWORD tx(uint32_t dev, uint32_t ch, uint32_t id, std::initializer_list<uint8_t> bytes, int dlc = -1) {
    VCI_CAN_OBJ o{};
    o.ID = id;
    size_t i = 0;
    for (uint8_t b : bytes) {
        if (i < 8) {
            o.Data[i] = b;
        }
        ++i;
    }
    o.DataLen = static_cast<BYTE>(dlc >= 0 ? dlc : static_cast<int>(i));
    return T()->Transmit(VCI_USBCAN2, dev, ch, &o, 1);
}

inline DWORD tx_raw(uint32_t dev, uint32_t ch, uint32_t id, const uint8_t *data, uint8_t dlc) {
    VCI_CAN_OBJ o{};
    o.ID = id;
    o.DataLen = dlc;
    memcpy(o.Data, data, dlc > 8 ? 8 : dlc);
    return T()->Transmit(VCI_USBCAN2, dev, ch, &o, 1);
}

inline std::vector<Frame> rx_all(uint32_t dev, uint32_t ch) {
    std::vector<Frame> out;
    VCI_CAN_OBJ buf[64];
    for (;;) {
        const DWORD n = T()->Receive(VCI_USBCAN2, dev, ch, buf, 64, 0);
        if (n == 0 || n == 0xFFFFFFFFu) {
            break;
        }
        for (DWORD i = 0; i < n; ++i) {
            Frame f;
            f.id = buf[i].ID;
            f.dlc = buf[i].DataLen;
            memcpy(f.data, buf[i].Data, 8);
            out.push_back(f);
        }
    }
    return out;
}

// Exactly one frame must be waiting; returns it.
inline Frame rx_one(uint32_t dev, uint32_t ch) {
    std::vector<Frame> v = rx_all(dev, ch);
    EXPECT_EQ(1u, v.size());
    return v.empty() ? Frame{} : v[0];
}

inline std::vector<uint8_t> bytes_of(const Frame &f) {
    return std::vector<uint8_t>(f.data, f.data + f.dlc);
}

inline uint32_t abort_code(const Frame &f) {
    return static_cast<uint32_t>(f.data[4]) | (static_cast<uint32_t>(f.data[5]) << 8) |
           (static_cast<uint32_t>(f.data[6]) << 16) | (static_cast<uint32_t>(f.data[7]) << 24);
}

// Instant bus, manual clock, empty bench.
class BenchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_bench_set_timing(0);
        sim_bench_set_manual_clock(1);
        sim_bench_reset();
        sim_bench_set_seed(1);
    }
    void TearDown() override {
        sim_bench_reset();
        sim_bench_set_manual_clock(0);
    }
    // Adds a motor on adapter 0 channel 0 and opens that channel at 1000 kbit/s.
    void add_motor(uint8_t node, int state = SIM_START_APPLICATION, uint8_t type = 9,
                   uint32_t version = 0x01020304u) {
        sim_motor_config_t c;
        sim_motor_config_init(&c);
        c.node = node;
        c.motorType = type;
        c.brakeType = 16;
        c.encoderType = 2;
        c.version = version;
        c.initialState = state;
        ASSERT_EQ(1, sim_bench_add_motor(&c));
        ASSERT_TRUE(open_channel(0, 0));
    }
};

#endif
