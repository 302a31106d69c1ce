// Scenario text format, the built-in default bench and bad files.
#include "sim_test_util.h"

#include <algorithm>
#include <stdio.h>
#include <string>
#include <unistd.h>

namespace {

// The motors of the shipped benches take the time of real controllers:
// 1.5 to 3 s to erase the flash for the 48 KiB demo image (49 KiB with its
// trailer).
void expect_real_timings(const sim_motor_config_t &c) {
    const uint32_t demoEraseMs = c.eraseMs + 49u * c.eraseKibMs;
    EXPECT_GE(demoEraseMs, 1500u);
    EXPECT_LE(demoEraseMs, 3100u);
    EXPECT_GT(c.writeMs, 0u);
    EXPECT_GT(c.crcMs, 0u);
    EXPECT_EQ(c.bootMs, 1500u);
}

class Scenario : public BenchTest {
  protected:
    // Loads `text` and returns what was printed.
    std::string load(const char *text, int expect, const char *name = "test.scn") {
        testing::internal::CaptureStdout();
        const int ok = sim_bench_load_scenario_text(text, name);
        fflush(stdout);
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(expect, ok) << text;
        return out;
    }
};

TEST_F(Scenario, DefaultBench) {
    ASSERT_EQ(1, sim_bench_load_default());
    EXPECT_EQ(8, sim_bench_motor_count());
    int perChannel[2][2] = {{0, 0}, {0, 0}};
    bool b0 = false, b16 = false;
    bool enc[4] = {false, false, false, false};
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        sim_motor_config_t c;
        ASSERT_EQ(1, sim_bench_motor_config(i, &c));
        ASSERT_LT(c.adapter, 2u);
        ASSERT_LT(c.channel, 2u);
        EXPECT_GE(c.node, 1);
        EXPECT_LE(c.node, 32);
        perChannel[c.adapter][c.channel]++;
        b0 = b0 || c.brakeType == 0;
        b16 = b16 || c.brakeType == 16;
        if (c.encoderType >= 1 && c.encoderType <= 3) {
            enc[c.encoderType] = true;
        }
        EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(c.adapter, c.channel, c.node));
        expect_real_timings(c);
    }
    for (auto &a : perChannel) {
        for (int n : a) {
            EXPECT_GE(n, 1);
        }
    }
    EXPECT_TRUE(b0 && b16 && enc[1] && enc[2] && enc[3]);
    EXPECT_EQ(0, sim_bench_motor_config(8, nullptr));
    // Every channel runs at 1000 kbit/s: 500 gets no acknowledge.
    EXPECT_TRUE(open_channel(1, 1, 0x00, 0x1C));
    EXPECT_EQ(0u, tx(1, 1, 6, {0x64}));
    EXPECT_TRUE(open_channel(1, 1));
    EXPECT_EQ(1u, tx(1, 1, 6, {0x64}));
    // Load through the transport's entry point too.
    sim_bench_reset();
    ASSERT_EQ(1, sim_bench_load_scenario(NULL));
    EXPECT_EQ(8, sim_bench_motor_count());
}

TEST_F(Scenario, EveryStatementAndKey) {
    const char *text =
        "# a small bench\n"
        "timing instant\n"
        "seed 7\n"
        "no_ack_ms 5\n"
        "operator on 1000\n"
        "adapter 2 channels 4\n"
        "segment 2 3 250   # slow segment\n"
        "\n"
        "motor 2 3 17 type=0x41 brake=16 encoder=7 version=4.3.2.1 state=held app=no flash=4096 "
        "block=16 window=50 erase_ms=2500 erase_kib_ms=40 write_ms=7 crc_ms=30 boot_ms=1800\n"
        "motor 2 0 1 version=0x01020304 state=off\n"
        "motor 2 1 2 state=window\n"
        "fault node 2 3 17 drop=0.25 delay=5 abort=100:0x06060000 wrong_crc silent short_dlc "
        "ignore_stop slow_start=5000 probe_abort=0x08000020 probe_silent\n"
        "fault segment 2 0 rx_error=3 tx_fail=forever\n"
        "traffic 2 3 0x181 10\n"
        "traffic 2 3 0x701 100 1\n";
    EXPECT_EQ("", load(text, 1));
    ASSERT_EQ(3, sim_bench_motor_count());
    sim_motor_config_t c;
    ASSERT_EQ(1, sim_bench_motor_config(0, &c));
    EXPECT_EQ(2u, c.adapter);
    EXPECT_EQ(3u, c.channel);
    EXPECT_EQ(17, c.node);
    EXPECT_EQ(0x41, c.motorType);
    EXPECT_EQ(16, c.brakeType);
    EXPECT_EQ(7, c.encoderType);
    EXPECT_EQ(0x04030201u, c.version);
    EXPECT_EQ(0, c.hasApplication);
    EXPECT_EQ(4096u, c.flashSize);
    EXPECT_EQ(16, c.blockSize);
    EXPECT_EQ(50u, c.bootWindowMs);
    EXPECT_EQ(2500u, c.eraseMs);
    EXPECT_EQ(40u, c.eraseKibMs);
    EXPECT_EQ(7u, c.writeMs);
    EXPECT_EQ(30u, c.crcMs);
    EXPECT_EQ(1800u, c.bootMs);
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(2, 3, 17));
    EXPECT_EQ(SIM_MOTOR_OFF, sim_bench_motor_state(2, 0, 1));
    EXPECT_EQ(SIM_MOTOR_BOOT_WINDOW, sim_bench_motor_state(2, 1, 2));
    EXPECT_EQ(0x01020304u, sim_bench_motor_version(2, 0, 1));
    EXPECT_EQ(0, sim_bench_timing());
    // The segment fault is in force: adapter 2 channel 0 refuses every frame.
    ASSERT_TRUE(open_channel(2, 0));
    sim_bench_set_power(2, 0, 1, 1);
    EXPECT_EQ(0u, tx(2, 0, 1, {0x64}));
    // 250 kbit/s on channel 3, where two other nodes send their frames.
    ASSERT_TRUE(open_channel(2, 3, 0x01, 0x1C));
    EXPECT_EQ(1u, tx(2, 3, 0x611, {0x40, 0, 0x10, 0, 0, 0, 0, 0}));
    sim_bench_advance_ms(100);
    std::vector<Frame> got = rx_all(2, 3);
    const auto sent = [&got](uint32_t id, uint8_t dlc) {
        return std::count_if(got.begin(), got.end(),
                             [=](const Frame &f) { return f.id == id && f.dlc == dlc; });
    };
    EXPECT_NEAR(sent(0x181, 8), 10, 1); // every 10 ms
    EXPECT_EQ(sent(0x701, 1), 1);
}

TEST_F(Scenario, BadLinesNameFileAndLine) {
    struct Case {
        const char *text;
        const char *message;
    } cases[] = {
        {"motor 0 0 1\nbogus 1 2\n", "[ERROR] sim: test.scn:2: unknown statement 'bogus'\n"},
        {"motor 0 0 0\n", "[ERROR] sim: test.scn:1: bad node-ID (1..127) '0'\n"},
        {"motor 0 0 128\n", "[ERROR] sim: test.scn:1: bad node-ID (1..127) '128'\n"},
        {"motor 4 0 1\n", "[ERROR] sim: test.scn:1: bad adapter index '4'\n"},
        {"motor 0 6 1\n", "[ERROR] sim: test.scn:1: bad channel '6'\n"},
        {"motor 0 0 1\n\n# twice\nmotor 0 0 1\n",
         "[ERROR] sim: test.scn:4: node-ID already used on this channel: '1'\n"},
        {"motor 0 0 1 version=1.2.3\n", "[ERROR] sim: test.scn:1: bad value for 'version'\n"},
        {"motor 0 0 1 version=1.2.3.256\n", "[ERROR] sim: test.scn:1: bad value for 'version'\n"},
        {"motor 0 0 1 type=-1\n", "[ERROR] sim: test.scn:1: bad value for 'type'\n"},
        {"motor 0 0 1 type\n", "[ERROR] sim: test.scn:1: expected key=value, got 'type'\n"},
        {"motor 0 0 1 colour=red\n", "[ERROR] sim: test.scn:1: unknown motor key 'colour'\n"},
        {"motor 0 0 1 block=128\n", "[ERROR] sim: test.scn:1: bad value for 'block'\n"},
        {"motor 0 0\n",
         "[ERROR] sim: test.scn:1: motor needs: motor <adapter> <channel> <node> [key=value...]\n"},
        {"fault node 0 0 5 silent\n", "[ERROR] sim: test.scn:1: fault for a motor not defined above: '5'\n"},
        {"fault segment 0 0 drop=1.5\n", "[ERROR] sim: test.scn:1: bad value for fault 'drop'\n"},
        {"fault segment 0 0 loud\n", "[ERROR] sim: test.scn:1: unknown fault 'loud'\n"},
        {"segment 0 0 300\n", "[ERROR] sim: test.scn:1: unsupported bit rate '300'\n"},
        {"adapter 0 channels 7\n", "[ERROR] sim: test.scn:1: bad channel count '7'\n"},
        {"timing fast\n", "[ERROR] sim: test.scn:1: timing needs: timing timed|instant\n"},
        {"operator maybe\n", "[ERROR] sim: test.scn:1: operator needs: operator on|off [stop_ms [off_ms]]\n"},
        {"motor 0 0 1 erase_ms=600001\n", "[ERROR] sim: test.scn:1: bad value for 'erase_ms'\n"},
        {"traffic 0 0 0x800 10\n", "[ERROR] sim: test.scn:1: bad identifier (0..0x7FF) '0x800'\n"},
        {"traffic 0 0 0x181 0\n", "[ERROR] sim: test.scn:1: bad period (1..600000 ms) '0'\n"},
        {"traffic 0 0 0x181 10 9\n", "[ERROR] sim: test.scn:1: bad DLC (0..8) '9'\n"},
        {"traffic 0 0 0x181\n",
         "[ERROR] sim: test.scn:1: traffic needs: traffic <adapter> <channel> <id> <period_ms> [dlc]\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(c.message, load(c.text, 0)) << c.text;
        // A failed load leaves no bench behind: no motor, no adapter.
        EXPECT_EQ(0, sim_bench_motor_count());
        EXPECT_EQ(0u, T()->OpenDevice(VCI_USBCAN2, 0, 0));
    }
    std::string longLine(600, 'x');
    EXPECT_EQ("[ERROR] sim: big.scn:1: line too long\n", load(longLine.c_str(), 0, "big.scn"));
    std::string many = "motor 0 0 1";
    for (int i = 0; i < 30; ++i) {
        many += " type=1";
    }
    EXPECT_EQ("[ERROR] sim: test.scn:1: too many words on the line\n", load(many.c_str(), 0));
    // The failed load keeps the bench mode.
    EXPECT_EQ(0, sim_bench_timing());
    EXPECT_EQ("[ERROR] sim: test.scn:1: timing needs: timing timed|instant\n", load("timing timed x\n", 0));
    EXPECT_EQ(0, sim_bench_timing());
}

TEST_F(Scenario, Files) {
    char path[] = "/tmp/ostrelo_sim_scnXXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const char text[] = "motor 1 1 9 type=27 version=1.1.1.1\r\nmotor 1 1 10 type=21";
    ASSERT_EQ(static_cast<ssize_t>(sizeof text - 1), write(fd, text, sizeof text - 1));
    close(fd);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1, sim_bench_load_scenario(path));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    EXPECT_EQ(2, sim_bench_motor_count());
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(1, 1, 10));

    // A malformed file names itself and the line.
    FILE *f = fopen(path, "w");
    ASSERT_NE(nullptr, f);
    fputs("motor 1 1 9\nmotor 1 1 9 brake=x\n", f);
    fclose(f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, sim_bench_load_scenario(path));
    EXPECT_EQ(std::string("[ERROR] sim: ") + path + ":2: bad value for 'brake'\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, sim_bench_motor_count());

    // Binary content is refused as a whole.
    f = fopen(path, "wb");
    ASSERT_NE(nullptr, f);
    fwrite("motor 1 1 9\n\0\x01", 1, 14, f);
    fclose(f);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, sim_bench_load_scenario(path));
    EXPECT_EQ(std::string("[ERROR] sim: cannot read scenario file ") + path + ": not a text file\n",
              testing::internal::GetCapturedStdout());
    unlink(path);

    // An unreadable file: one line, and no default bench instead.
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, sim_bench_load_scenario(path));
    EXPECT_EQ(std::string("[ERROR] sim: cannot read scenario file ") + path + ": No such file or directory\n",
              testing::internal::GetCapturedStdout());
    EXPECT_EQ(0, sim_bench_motor_count());
}

// The largest rig: four adapters of six channels, five motors on each, every
// node id once, and the last motor of the last channel answers.
TEST_F(Scenario, Rig24) {
    testing::internal::CaptureStdout();
    ASSERT_EQ(1, sim_bench_load_scenario(OSTRELO_RIG_SCENARIO));
    EXPECT_EQ("", testing::internal::GetCapturedStdout());
    ASSERT_EQ(120, sim_bench_motor_count());
    int perChannel[SIM_MAX_ADAPTERS][SIM_MAX_CHANNELS] = {};
    bool seen[128] = {};
    for (int i = 0; i < 120; ++i) {
        sim_motor_config_t c;
        ASSERT_EQ(1, sim_bench_motor_config(i, &c));
        EXPECT_FALSE(seen[c.node]) << int(c.node);
        seen[c.node] = true;
        perChannel[c.adapter][c.channel]++;
        expect_real_timings(c);
    }
    for (auto &a : perChannel) {
        for (int n : a) {
            EXPECT_EQ(5, n);
        }
    }
    EXPECT_TRUE(open_channel(3, 5));
    EXPECT_EQ(1u, tx(3, 5, 120, {0x64}));
}

} // namespace
