// Demo firmware images: naming, pairing with the default bench, and an
// upgrade of a simulated motor with one of them.
#include "sim_test_util.h"

#include "sim_mkfw.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(Mkfw, KeysAndTheNamingRule) {
    sim_motor_config_t m;
    sim_motor_config_init(&m);
    m.motorType = 200; // unknown model
    m.encoderType = 1;
    m.brakeType = 16;
    char key[128];
    sim_mkfw_key(&m, key, sizeof key);
    EXPECT_STREQ("unknownsingletarselb16", key);
    EXPECT_TRUE(sim_mkfw_match("Unknown_SingleTarsel_B16.bin", key));
    EXPECT_TRUE(sim_mkfw_match("UNKNOWN_SINGLETARSEL_B16.BIN", key));
    EXPECT_TRUE(sim_mkfw_match("Unknown_SingleTarsel_B16_V1_2.bin", key));
    EXPECT_FALSE(sim_mkfw_match("SingleTarsel_Unknown_B16.bin", key));
    EXPECT_FALSE(sim_mkfw_match(".BIN", key));
    m.encoderType = 7;
    sim_mkfw_key(&m, key, 10);
    EXPECT_STREQ("unknownun", key);
    sim_mkfw_key(&m, key, sizeof key);
    EXPECT_STREQ("unknownunknownencodertype7b16", key);
    char name[128];
    sim_mkfw_file_name(&m, 0x01020304u, name, sizeof name);
    EXPECT_STREQ("Unknown_UnknownEncodertype7_B16_V1_2_3_4.bin", name);
    EXPECT_TRUE(sim_mkfw_match(name, key));

    // A B0 key pairs with a B16 file once a 0 stands after "B16": hence no 0 in those versions.
    m.motorType = 9;
    m.encoderType = 2;
    m.brakeType = 0;
    sim_mkfw_key(&m, key, sizeof key);
    EXPECT_STREQ("4009doubletarselb0", key);
    EXPECT_TRUE(sim_mkfw_match("4009_DoubleTarsel_B16_V1_0_1_1.bin", key));
    EXPECT_FALSE(sim_mkfw_match("4009_DoubleTarsel_B16_V1_1_1_1.bin", key));
    EXPECT_EQ(0x01020400u, sim_mkfw_next_version(0x010203FFu, 0));
    EXPECT_EQ(0x01020401u, sim_mkfw_next_version(0x010203FFu, 16));
    EXPECT_EQ(0x01010101u, sim_mkfw_next_version(0x01000009u, 16));
    EXPECT_EQ(0x0B010101u, sim_mkfw_next_version(0x09FFFFFFu, 16));
    EXPECT_EQ(0x01020306u, sim_mkfw_next_version(0x01020305u, 16));
}

class MkfwFolder : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        char tmpl[] = "/tmp/ostrelo_mkfwXXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        dir = tmpl;
    }
    void TearDown() override {
        DIR *d = opendir(dir.c_str());
        if (d != nullptr) {
            for (dirent *e = readdir(d); e != nullptr; e = readdir(d)) {
                if (e->d_name[0] != '.') {
                    unlink((dir + "/" + e->d_name).c_str());
                }
            }
            closedir(d);
        }
        rmdir(dir.c_str());
        BenchTest::TearDown();
    }
    std::vector<std::string> listing() {
        std::vector<std::string> names;
        DIR *d = opendir(dir.c_str());
        for (dirent *e = d ? readdir(d) : nullptr; e != nullptr; e = readdir(d)) {
            if (e->d_name[0] != '.') {
                names.push_back(e->d_name);
            }
        }
        if (d != nullptr) {
            closedir(d);
        }
        return names;
    }
    std::string dir;
};

TEST_F(MkfwFolder, EveryDefaultMotorPairsWithItsOwnNewerImage) {
    ASSERT_EQ(1, sim_bench_load_default());
    sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
    testing::internal::CaptureStdout();
    const int n = sim_mkfw_write_all(dir.c_str(), 2000, files, SIM_MKFW_MAX_FILES);
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(8, n);
    EXPECT_EQ(std::string::npos, out.find("WARNING"));
    const std::vector<std::string> names = listing();
    ASSERT_EQ(8u, names.size());
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        sim_motor_config_t m;
        ASSERT_EQ(1, sim_bench_motor_config(i, &m));
        char key[128];
        sim_mkfw_key(&m, key, sizeof key);
        int matches = 0;
        std::string match;
        for (const std::string &f : names) {
            if (sim_mkfw_match(f.c_str(), key)) {
                ++matches;
                match = f;
            }
        }
        ASSERT_EQ(1, matches) << key;
        // The image holds a valid trailer with a newer version.
        FILE *fp = fopen((dir + "/" + match).c_str(), "rb");
        ASSERT_NE(nullptr, fp);
        std::vector<uint8_t> img(4000);
        img.resize(fread(img.data(), 1, img.size(), fp));
        fclose(fp);
        ASSERT_EQ(2000u + SIM_TRAILER_LEN, img.size());
        uint32_t v = 0;
        ASSERT_EQ(1, sim_image_trailer_version(img.data(), img.size(), &v));
        EXPECT_GT(v, m.version);
        if (m.brakeType == 16) {
            EXPECT_EQ(std::string::npos, match.find('0', match.find("B16") + 3)) << match;
        }
    }
}

TEST_F(MkfwFolder, ImageUpgradesItsMotor) {
    ASSERT_EQ(1, sim_bench_load_default());
    sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
    testing::internal::CaptureStdout();
    ASSERT_EQ(8, sim_mkfw_write_all(dir.c_str(), 100, files, SIM_MKFW_MAX_FILES));
    testing::internal::GetCapturedStdout();
    // Node 1 on adapter 0, channel 0: held via a power cycle, then one expedited-free block download.
    sim_motor_config_t m;
    ASSERT_EQ(1, sim_bench_motor_config(0, &m));
    char name[128];
    sim_mkfw_file_name(&m, sim_mkfw_next_version(m.version, m.brakeType), name, sizeof name);
    FILE *fp = fopen((dir + "/" + name).c_str(), "rb");
    ASSERT_NE(nullptr, fp);
    uint8_t img[116];
    ASSERT_EQ(sizeof img, fread(img, 1, sizeof img, fp));
    fclose(fp);
    ASSERT_TRUE(open_channel(m.adapter, m.channel));
    sim_bench_power_cycle_node(m.adapter, m.channel, m.node, 0);
    const uint32_t req = 0x600u + m.node;
    tx(m.adapter, m.channel, req, {0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
    ASSERT_EQ(0x60, rx_one(m.adapter, m.channel).data[0]);
    // The default bench's motors take the time of real controllers.
    tx(m.adapter, m.channel, req, {0xC6, 0x50, 0x1F, 0x01, sizeof img, 0, 0, 0});
    sim_bench_advance_ms(m.eraseMs + m.eraseKibMs); // the image needs 1 KiB of flash
    ASSERT_EQ(0xA4, rx_one(m.adapter, m.channel).data[0]);
    for (uint8_t seq = 1; seq <= 17; ++seq) {
        uint8_t d[8] = {static_cast<uint8_t>(seq | (seq == 17 ? 0x80 : 0))};
        memcpy(d + 1, img + (seq - 1) * 7, seq == 17 ? 4 : 7);
        tx_raw(m.adapter, m.channel, req, d, 8);
    }
    sim_bench_advance_ms(m.writeMs);
    ASSERT_EQ(0xA2, rx_one(m.adapter, m.channel).data[0]);
    const uint16_t crc = sim_crc16_ccitt(img, sizeof img, 0);
    tx(m.adapter, m.channel, req,
       {0xC1 | (3 << 2), static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8), 0, 0, 0, 0, 0});
    ASSERT_EQ(0xA1, rx_one(m.adapter, m.channel).data[0]);
    tx(m.adapter, m.channel, req, {0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    rx_all(m.adapter, m.channel);
    sim_bench_advance_ms(m.bootMs + 1);
    EXPECT_EQ(sim_mkfw_next_version(m.version, m.brakeType),
              sim_bench_motor_version(m.adapter, m.channel, m.node));
    EXPECT_EQ(files[0].crc32, sim_bench_motor_image_crc32(m.adapter, m.channel, m.node));
}

} // namespace
