// The bench seen through the adapter transport.
#include "sim_bench.h"

#include <gtest/gtest.h>
#include <string.h>

namespace {

const ControlCanTransport *T() {
    return sim_controlcan_transport();
}

void open_channel(uint32_t dev, uint32_t ch, uint8_t t0 = 0x00, uint8_t t1 = 0x14) {
    ASSERT_EQ(1u, T()->OpenDevice(VCI_USBCAN2, dev, 0));
    VCI_INIT_CONFIG cfg{};
    cfg.AccCode = 0x80000008u;
    cfg.AccMask = 0xFFFFFFFFu;
    cfg.Filter = 1;
    cfg.Timing0 = t0;
    cfg.Timing1 = t1;
    ASSERT_EQ(1u, T()->InitCAN(VCI_USBCAN2, dev, ch, &cfg));
    ASSERT_EQ(1u, T()->StartCAN(VCI_USBCAN2, dev, ch));
}

DWORD send(uint32_t dev, uint32_t ch, uint32_t id, uint8_t dlc, const uint8_t *data) {
    VCI_CAN_OBJ o{};
    o.ID = id;
    o.DataLen = dlc;
    memcpy(o.Data, data, dlc > 8 ? 8 : dlc);
    return T()->Transmit(VCI_USBCAN2, dev, ch, &o, 1);
}

class Transport : public ::testing::Test {
  protected:
    void SetUp() override {
        sim_bench_set_timing(0);
        sim_bench_reset();
    }
    void TearDown() override { sim_bench_reset(); }
};

TEST_F(Transport, DefaultBenchAnswersMotorTypeQuery) {
    ASSERT_EQ(1, sim_bench_load_scenario(NULL));
    sim_bench_set_timing(0);
    open_channel(0, 0);
    const uint8_t q[1] = {0x64};
    EXPECT_EQ(1u, send(0, 0, 1, 1, q));
    VCI_CAN_OBJ r[4];
    ASSERT_EQ(1u, T()->Receive(VCI_USBCAN2, 0, 0, r, 4, 0));
    EXPECT_EQ(1u, r[0].ID);
    EXPECT_GE(r[0].DataLen, 5);
    EXPECT_EQ(0x64, r[0].Data[0]);
}

} // namespace
