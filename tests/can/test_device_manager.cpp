#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "can_backend.h"
#include "device_mng.h"
#include "fake_backend.h"
#include "fake_vci.h"

namespace {

client_channel_id_t id(uint32_t type, uint32_t index, uint32_t ch, uint16_t kbps) {
    client_channel_id_t c;
    c.deviceType = type;
    c.deviceIndex = index;
    c.canChannel = ch;
    c.bitrate = kbps;
    return c;
}

class DeviceManager : public ::testing::Test {
  protected:
    void SetUp() override { fake::install(device_manager_cleanup_all); }
    void TearDown() override {
        testing::internal::CaptureStdout();
        device_manager_cleanup_all();
        testing::internal::GetCapturedStdout();
        can_backend_set(nullptr);
    }
    // Marks a recorded channel as brought up, as the client API does.
    void markUp(uint32_t type, uint32_t index, uint32_t ch) {
        client_device_context_t *d = device_manager_get_device(type, index, 0);
        ASSERT_NE(nullptr, d);
        d->channels[ch].initialized = true;
    }
};

TEST_F(DeviceManager, FourAdaptersAtMostAndLookupsCreateSlots) {
    testing::internal::CaptureStdout();
    for (uint32_t i = 0; i < 4; ++i) {
        client_channel_id_t c = id(4, i, 0, 500);
        EXPECT_EQ(1, device_manager_set_channel_config(&c));
    }
    client_channel_id_t fifth = id(4, 9, 0, 500);
    EXPECT_EQ(0, device_manager_set_channel_config(&fifth));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(4, g_device_manager.deviceCount);
    EXPECT_EQ(nullptr, device_manager_get_device(4, 9, 0));

    testing::internal::CaptureStdout();
    EXPECT_EQ(0, device_manager_open_device(4, 9, 500));
    EXPECT_EQ("[ERROR] Failed to create device context (Type=4, Index=9)\n",
              testing::internal::GetCapturedStdout());
}

TEST_F(DeviceManager, HandleLookupOfUnknownAdapterCreatesAnEmptySlot) {
    EXPECT_EQ(nullptr, device_manager_get_device_handle(4, 3));
    ASSERT_EQ(1, g_device_manager.deviceCount);
    EXPECT_EQ(3u, g_device_manager.devices[0].deviceIndex);
    EXPECT_EQ(0u, g_device_manager.devices[0].bitrate);
    EXPECT_FALSE(g_device_manager.devices[0].opened);
}

TEST_F(DeviceManager, ChannelAboveFiveIsRefusedSilentlyAfterTheSlotExists) {
    client_channel_id_t c = id(4, 0, 6, 500);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, device_manager_set_channel_config(&c));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, g_device_manager.deviceCount);

    client_channel_id_t invalid = id(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 500);
    EXPECT_EQ(0, device_manager_set_channel_config(&invalid));
    EXPECT_EQ(0, device_manager_set_channel_config(nullptr));
    EXPECT_EQ(1, g_device_manager.deviceCount);
}

TEST_F(DeviceManager, RecordingPrintsAndAChannelThatIsUpKeepsItsRate) {
    client_channel_id_t c = id(4, 0, 1, 250);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, device_manager_set_channel_config(&c));
    EXPECT_EQ("[device_manager_set_channel_config] Before setting: channel_id->bitrate=250\n"
              "[device_manager_set_channel_config] After setting: ch->channelId.bitrate=250\n"
              "[INFO] Channel config set (Type=4, Index=0, Channel=1, Bitrate=250 kbps)\n",
              testing::internal::GetCapturedStdout());
    // Before the channel is up, a new rate replaces the old one.
    c.bitrate = 500;
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, device_manager_set_channel_config(&c));
    testing::internal::GetCapturedStdout();
    markUp(4, 0, 1);
    c.bitrate = 1000;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, device_manager_set_channel_config(&c));
    EXPECT_EQ("[WARNING] Channel already initialized, cannot set config (Type=4, Index=0, Channel=1)\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(500, g_device_manager.devices[0].channels[1].channelId.bitrate);
}

TEST_F(DeviceManager, BatchRecordingCountsAndNumbersFromOne) {
    client_channel_id_t bad[3] = {id(4, 0, 7, 500), id(4, 0, 8, 500),
                                  id(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, 1)};
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, device_manager_set_channel_configs(bad, 3));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos,
              out.find("[device_manager_set_channel_configs] Received 3 channel configurations\n"));
    EXPECT_NE(
        std::string::npos,
        out.find("[device_manager_set_channel_configs] Config 2: Type=4, Index=0, Channel=8, Bitrate=500\n"));
    EXPECT_NE(std::string::npos, out.find("[ERROR] Failed to set channel 3 config\n"));
    EXPECT_EQ(std::string::npos, out.find("out of"));

    client_channel_id_t mixed[3] = {id(4, 0, 0, 500), id(4, 0, 9, 500), id(4, 1, 1, 500)};
    testing::internal::CaptureStdout();
    EXPECT_EQ(2, device_manager_set_channel_configs(mixed, 3));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                     "[INFO] 2 out of 3 channel(s) configured successfully\n"));

    EXPECT_EQ(0, device_manager_set_channel_configs(nullptr, 3));
    EXPECT_EQ(0, device_manager_set_channel_configs(mixed, 0));
}

TEST_F(DeviceManager, OpenIsOnceAndAFailedOpenIsRetriedFromScratch) {
    fake::bus().openFailures = 1;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, device_manager_open_device(4, 0, 500));
    EXPECT_EQ("[ERROR] Backend open_device failed (Type=4, Index=0)\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(1, fake::bus().destroys);
    EXPECT_EQ(nullptr, g_device_manager.devices[0].device);
    EXPECT_FALSE(g_device_manager.devices[0].opened);

    testing::internal::CaptureStdout();
    EXPECT_EQ(1, device_manager_open_device(4, 0, 500));
    EXPECT_EQ("[INFO] Device opened (Type=4, Index=0, Bitrate=500)\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, fake::bus().creates);

    testing::internal::CaptureStdout();
    EXPECT_EQ(1, device_manager_open_device(4, 0, 1000));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(500u, g_device_manager.devices[0].bitrate);
    EXPECT_EQ(2, fake::bus().opens);
}

TEST_F(DeviceManager, NoBackendMeansNoOpenAndNoChannel) {
    can_backend_set(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, device_manager_open_device(4, 0, 500));
    EXPECT_EQ("[ERROR] Backend ops invalid\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, device_manager_init_channel(4, 0, 0));
    EXPECT_EQ(0, device_manager_start_channel(4, 0, 0));
}

TEST_F(DeviceManager, ChannelStepsNeedAHandleAndAValidChannel) {
    EXPECT_EQ(0, device_manager_init_channel(4, 0, 0)); // no handle yet
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, device_manager_open_device(4, 0, 500));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, device_manager_init_channel(4, 0, 5));
    EXPECT_EQ(1, device_manager_start_channel(4, 0, 5));
    EXPECT_EQ(0, device_manager_init_channel(4, 0, 6));
    EXPECT_EQ(0, device_manager_start_channel(4, 0, 6));
}

TEST_F(DeviceManager, ListingsWalkSlotsAndChannelsInOrder) {
    client_channel_id_t cfg[3] = {id(4, 1, 1, 250), id(4, 0, 2, 500), id(4, 0, 0, 1000)};
    testing::internal::CaptureStdout();
    ASSERT_EQ(3, device_manager_set_channel_configs(cfg, 3));
    testing::internal::GetCapturedStdout();
    client_channel_id_t out[8];
    EXPECT_EQ(0, device_manager_get_available_channels(out, 8)); // nothing up yet

    markUp(4, 1, 1);
    markUp(4, 0, 0);
    markUp(4, 0, 2);
    // A channel that is up but was never recorded counts as available, not as configured.
    client_device_context_t *d = device_manager_get_device(4, 1, 0);
    d->channels[4].initialized = true;
    d->channels[4].channelId = id(4, 1, 4, 125);

    ASSERT_EQ(1, device_manager_get_available_channels(out, 1));
    EXPECT_EQ(1u, out[0].deviceIndex); // slot 0 is adapter 1 (recorded first)
    EXPECT_EQ(1u, out[0].canChannel);

    ASSERT_EQ(4, device_manager_get_available_channels(out, 8));
    EXPECT_EQ(4u, out[1].canChannel);
    EXPECT_EQ(0u, out[2].canChannel);
    EXPECT_EQ(2u, out[3].canChannel);

    testing::internal::CaptureStdout();
    ASSERT_EQ(3, device_manager_get_configured_channels_info(out, 64));
    EXPECT_EQ(
        "[device_manager_get_configured_channels_info] Channel 1: Type=4, Index=1, Channel=1, Bitrate=250\n"
        "[device_manager_get_configured_channels_info] Channel 2: Type=4, Index=0, Channel=0, Bitrate=1000\n"
        "[device_manager_get_configured_channels_info] Channel 3: Type=4, Index=0, Channel=2, Bitrate=500\n",
        testing::internal::GetCapturedStdout());

    client_channel_id_t probe = id(4, 0, 2, 1);
    EXPECT_EQ(1, device_manager_is_channel_valid(&probe)); // the bit rate is not compared
    probe.canChannel = 1;
    EXPECT_EQ(0, device_manager_is_channel_valid(&probe));
    probe = id(4, 3, 0, 500);
    EXPECT_EQ(0, device_manager_is_channel_valid(&probe));
    EXPECT_EQ(2, g_device_manager.deviceCount); // validity checks create no slot
    EXPECT_EQ(0, device_manager_is_channel_valid(nullptr));
}

TEST_F(DeviceManager, CleanupClosesOpenAdaptersAndEmptiesTheStore) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, device_manager_open_device(4, 0, 500));
    ASSERT_EQ(1, device_manager_open_device(4, 1, 500));
    device_manager_get_device(4, 2, 0); // slot without a handle
    testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    device_manager_cleanup_all();
    EXPECT_EQ("[INFO] Device manager resources cleaned up\n", testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, fake::bus().closes);
    EXPECT_EQ(2, fake::bus().destroys);
    EXPECT_EQ(0, g_device_manager.deviceCount);
    EXPECT_EQ(nullptr, g_device_manager.devices[0].device);
}

TEST_F(DeviceManager, ZhcxBackendOverTheAdapterLibraryBringsAChannelUp) {
    FakeVci::install();
    can_backend_set_zhcx();
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, device_manager_open_device(4, 0, 1000));
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1, device_manager_init_channel(4, 0, 1));
    EXPECT_EQ(1, device_manager_start_channel(4, 0, 1));
    EXPECT_EQ(0x14, FakeVci::instance().lastInit.Timing1);
    testing::internal::CaptureStdout();
    device_manager_cleanup_all();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(1u, FakeVci::instance().count("close"));
    FakeVci::uninstall();
}

} // namespace
