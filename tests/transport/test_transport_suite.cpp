// One suite for every transport behind the adapter-library stand-in, run
// through the VCI_* calls the program makes: frames out and back, waiting
// with a deadline, wakes, clearing, and the calls a transport must refuse.
// Each transport runs where it can: the bench in instant and in timed mode
// (and once without its own wake, to cover the stand-in's shared wait), a
// vendor library loaded through lib:, and SocketCAN where the kernel has CAN
// and an interface is up.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "ControlCAN.h"
#include "controlcan_transport.h"
#include "ostrelo_time.h"
#include "sim_bench.h"

#if defined(__linux__)
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

constexpr DWORD kType = VCI_USBCAN2;
constexpr DWORD kNoAdapter = 7; // beyond every transport's adapters
constexpr DWORD kNoChannel = 2; // adapter 0 has channels 0 and 1 in every set-up
constexpr DWORD kError = 0xFFFFFFFFu;

struct Subject {
    const char *label;      // suffix of the test names
    const char *table;      // the name in the transport's table
    DWORD echoChannel;      // where a frame sent on channel 0 of adapter 0 comes back
    std::string (*setUp)(); // installs the transport; why it cannot run here, "" when it can
};

void PrintTo(const Subject &s, std::ostream *os) {
    *os << s.label;
}

// The bench's peer on adapter 0 channel 0 sends every frame back.
void echo(void *, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc, const uint8_t *data) {
    sim_bench_inject(adapter, channel, ident, dlc, data);
}

std::string bench(int timed, const ControlCanTransport *t) {
    sim_bench_set_manual_clock(0);
    sim_bench_reset();
    sim_bench_set_timing(timed);
    EXPECT_EQ(1, sim_bench_add_adapter(0, 2));
    EXPECT_EQ(1, sim_bench_attach_peer(0, 0, echo, nullptr));
    controlcan_set_transport(t);
    return "";
}

std::string benchInstant() {
    return bench(0, sim_controlcan_transport());
}

std::string benchTimed() {
    return bench(1, sim_controlcan_transport());
}

std::string benchWithoutWake() {
    static ControlCanTransport t;
    t = *sim_controlcan_transport();
    t.WakeReceive = nullptr;
    return bench(0, &t);
}

std::string vendorLibrary() {
#if defined(_WIN32)
    return "lib: does not exist on Windows (the programs load ControlCAN.dll)";
#else
    const std::string value = std::string("lib:") + FAKE_VENDOR_LIBRARY;
    setenv("OSTRELO_CAN", value.c_str(), 1);
    controlcan_set_transport(nullptr);
    return "";
#endif
}

// Both channels on one interface: the kernel hands a frame sent on one
// socket to the other.
std::string socketCan() {
#if defined(__linux__)
    const int probe = socket(29 /* PF_CAN */, SOCK_RAW, 1 /* CAN_RAW */);
    if (probe < 0) {
        return std::string("no CAN interface: this kernel has no CAN support (") + strerror(errno) + ")";
    }
    close(probe);
    const char *env = getenv("OSTRELO_TEST_CAN_IF");
    const std::string name = (env != nullptr && env[0] != '\0') ? env : "vcan0";
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name.c_str());
    const bool up = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &ifr) == 0 && (ifr.ifr_flags & IFF_UP) != 0;
    if (fd >= 0) {
        close(fd);
    }
    if (!up) {
        return "no CAN interface: " + name +
               " is missing or down (ip link add dev vcan0 type vcan && ip link set vcan0 up, or name "
               "another one in OSTRELO_TEST_CAN_IF)";
    }
    const std::string value = "socketcan:0.0=" + name + ",0.1=" + name;
    setenv("OSTRELO_CAN", value.c_str(), 1);
    controlcan_set_transport(nullptr);
    return "";
#else
    return "no CAN interface: SocketCAN exists only on Linux";
#endif
}

const Subject kSubjects[] = {
    {"bench_instant", "sim", 0, benchInstant},          {"bench_timed", "sim", 0, benchTimed},
    {"bench_without_wake", "sim", 0, benchWithoutWake}, {"vendor_library", "lib", 0, vendorLibrary},
    {"socketcan", "socketcan", 1, socketCan},
};

VCI_CAN_OBJ frame(UINT id, std::vector<BYTE> data) {
    VCI_CAN_OBJ o;
    memset(&o, 0, sizeof(o));
    o.ID = id;
    o.DataLen = static_cast<BYTE>(data.size());
    memcpy(o.Data, data.data(), data.size() < 8 ? data.size() : 8);
    return o;
}

// Back to choosing the transport from an unset OSTRELO_CAN.
void clearSelection() {
#if defined(_WIN32)
    _putenv("OSTRELO_CAN=");
#else
    unsetenv("OSTRELO_CAN");
#endif
}

uint64_t msSince(uint64_t t0_us) {
    return (ostrelo_monotonic_us() - t0_us) / 1000u;
}

class TransportSuite : public ::testing::TestWithParam<Subject> {
  protected:
    void SetUp() override {
        const std::string why = GetParam().setUp();
        if (!why.empty()) {
            // Inside the kernel that has CAN (scripts/can-kernel.sh) nothing may skip.
            const char *required = getenv("OSTRELO_TEST_CAN_REQUIRED");
            if (required != nullptr && required[0] == '1') {
                FAIL() << why;
            }
            GTEST_SKIP() << why;
        }
        const ControlCanTransport *t = controlcan_get_transport();
        ASSERT_NE(nullptr, t);
        EXPECT_STREQ(GetParam().table, t->name);
        VCI_CloseDevice(kType, 0); // every case starts from a closed adapter
    }
    void TearDown() override {
        VCI_CloseDevice(kType, 0);
        sim_bench_reset();
        sim_bench_set_timing(0);
        clearSelection();
        controlcan_set_transport(nullptr);
    }

    // Opens adapter 0 and sets both channels up at 1000 kbit/s, and starts
    // them when asked.
    static bool bringUp(bool start = true) {
        VCI_INIT_CONFIG cfg;
        memset(&cfg, 0, sizeof(cfg));
        cfg.AccCode = 0x80000008u;
        cfg.AccMask = 0xFFFFFFFFu;
        cfg.Filter = 1;
        cfg.Timing0 = 0x00;
        cfg.Timing1 = 0x14;
        if (VCI_OpenDevice(kType, 0, 0) != 1) {
            return false;
        }
        for (DWORD ch = 0; ch < 2; ++ch) {
            if (VCI_InitCAN(kType, 0, ch, &cfg) != 1 || (start && VCI_StartCAN(kType, 0, ch) != 1)) {
                return false;
            }
        }
        return true;
    }

    // Takes frames off the echo channel, at most `perCall` a call, until
    // `want` came or `limitMs` passed.
    static std::vector<VCI_CAN_OBJ> takeEcho(size_t want, UINT perCall, uint64_t limitMs) {
        std::vector<VCI_CAN_OBJ> got;
        const uint64_t t0 = ostrelo_monotonic_us();
        while (got.size() < want && msSince(t0) < limitMs) {
            VCI_CAN_OBJ in[8];
            const DWORD n = VCI_Receive(kType, 0, GetParam().echoChannel, in, perCall, 100);
            EXPECT_NE(kError, n);
            EXPECT_LE(n, perCall);
            if (n == kError || n > perCall) {
                break;
            }
            got.insert(got.end(), in, in + n);
        }
        return got;
    }
};

TEST_P(TransportSuite, FramesComeBackWholeAndInOrder) {
    ASSERT_TRUE(bringUp());
    VCI_BOARD_INFO info;
    ASSERT_EQ(1u, VCI_ReadBoardInfo(kType, 0, &info));
    EXPECT_GE(info.can_Num, 2);
    VCI_CAN_OBJ out[3] = {frame(0x123, {0xAB}), frame(0x7FF, {1, 2, 3, 4, 5, 6, 7, 8}), frame(0x000, {})};
    ASSERT_EQ(3u, VCI_Transmit(kType, 0, 0, out, 3));
    const std::vector<VCI_CAN_OBJ> got = takeEcho(3, 2, 3000);
    ASSERT_EQ(3u, got.size());
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(out[i].ID, got[i].ID);
        EXPECT_EQ(0, got[i].ExternFlag);
        EXPECT_EQ(0, got[i].RemoteFlag);
        ASSERT_EQ(out[i].DataLen, got[i].DataLen);
        EXPECT_EQ(0, memcmp(out[i].Data, got[i].Data, out[i].DataLen));
    }
}

// Waits are checked from below only (a receive with nothing to come takes
// most of its wait); the bounds above are loose, for a loaded machine.
TEST_P(TransportSuite, WaitsUntilAFrameAWakeOrItsDeadline) {
    ASSERT_TRUE(bringUp());
    enum Case { kNothingComes, kFrameOnItsWay, kWokenWhileWaiting, kWokenBefore };
    const struct {
        const char *what;
        Case c;
        int32_t waitMs;
        DWORD frames;
        uint64_t atLeastMs, belowMs;
    } cases[] = {
        {"nothing comes", kNothingComes, 150, 0, 120, 2000},
        {"a frame is on its way", kFrameOnItsWay, 3000, 1, 0, 1500},
        {"woken while waiting", kWokenWhileWaiting, 3000, 0, 25, 1500},
        {"woken before it waits", kWokenBefore, 3000, 0, 0, 1500},
    };
    const DWORD ch = GetParam().echoChannel;
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        if (k.c == kFrameOnItsWay) {
            VCI_CAN_OBJ o = frame(0x42, {7});
            ASSERT_EQ(1u, VCI_Transmit(kType, 0, 0, &o, 1));
        }
        if (k.c == kWokenBefore) {
            EXPECT_EQ(1u, controlcan_wake_receive(kType, 0, ch));
        }
        const uint64_t t0 = ostrelo_monotonic_us();
        std::thread waker([&k, ch] {
            if (k.c == kWokenWhileWaiting) {
                delay_ms(30);
                EXPECT_EQ(1u, controlcan_wake_receive(kType, 0, ch));
            }
        });
        VCI_CAN_OBJ in[2];
        const DWORD n = VCI_Receive(kType, 0, ch, in, 2, k.waitMs);
        const uint64_t ms = msSince(t0);
        waker.join();
        EXPECT_EQ(k.frames, n);
        EXPECT_GE(ms, k.atLeastMs);
        EXPECT_LT(ms, k.belowMs);
    }
}

TEST_P(TransportSuite, ClearDropsTheFramesNotYetTaken) {
    ASSERT_TRUE(bringUp());
    VCI_CAN_OBJ a = frame(0x101, {1});
    ASSERT_EQ(1u, VCI_Transmit(kType, 0, 0, &a, 1));
    delay_ms(50); // the echo is back long before
    EXPECT_EQ(1u, VCI_ClearBuffer(kType, 0, GetParam().echoChannel));
    VCI_CAN_OBJ in[2];
    EXPECT_EQ(0u, VCI_Receive(kType, 0, GetParam().echoChannel, in, 2, 100));
    // The channel goes on working.
    VCI_CAN_OBJ b = frame(0x102, {2});
    ASSERT_EQ(1u, VCI_Transmit(kType, 0, 0, &b, 1));
    const std::vector<VCI_CAN_OBJ> got = takeEcho(1, 2, 3000);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0x102u, got[0].ID);
}

TEST_P(TransportSuite, RefusesWhatItDoesNotHaveOrIsNotReadyFor) {
    struct Call {
        const char *what;
        std::function<DWORD()> call;
        DWORD expected;
    };
    static VCI_CAN_OBJ o = frame(0x7E5, {0x04});
    static VCI_CAN_OBJ in[2];
    static VCI_INIT_CONFIG cfg = {0x80000008u, 0xFFFFFFFFu, 0, 1, 0x00, 0x14, 0};
    static VCI_BOARD_INFO info;
    ASSERT_TRUE(bringUp(false));
    const Call setUpNotStarted[] = {
        {"open an adapter that is not there", [] { return VCI_OpenDevice(kType, kNoAdapter, 0); }, 0},
        {"set up a channel the adapter does not have", [] { return VCI_InitCAN(kType, 0, kNoChannel, &cfg); },
         0},
        {"set up a channel of an adapter that is not there",
         [] { return VCI_InitCAN(kType, kNoAdapter, 0, &cfg); }, 0},
        {"start a channel the adapter does not have", [] { return VCI_StartCAN(kType, 0, kNoChannel); }, 0},
        {"send before the channel is started", [] { return VCI_Transmit(kType, 0, 0, &o, 1); }, 0},
        {"send on a channel the adapter does not have",
         [] { return VCI_Transmit(kType, 0, kNoChannel, &o, 1); }, 0},
        {"receive on a channel the adapter does not have",
         [] { return VCI_Receive(kType, 0, kNoChannel, in, 2, 0); }, kError},
        {"receive from an adapter that is not there",
         [] { return VCI_Receive(kType, kNoAdapter, 0, in, 2, 0); }, kError},
        {"clear a channel the adapter does not have", [] { return VCI_ClearBuffer(kType, 0, kNoChannel); },
         0},
        {"read the board of an adapter that is not there",
         [] { return VCI_ReadBoardInfo(kType, kNoAdapter, &info); }, 0},
    };
    for (const Call &c : setUpNotStarted) {
        EXPECT_EQ(c.expected, c.call()) << c.what;
    }
    ASSERT_EQ(1u, VCI_CloseDevice(kType, 0));
    const Call closed[] = {
        {"start a channel of a closed adapter", [] { return VCI_StartCAN(kType, 0, 0); }, 0},
        {"send on a closed adapter", [] { return VCI_Transmit(kType, 0, 0, &o, 1); }, 0},
        {"receive on a closed adapter", [] { return VCI_Receive(kType, 0, 0, in, 2, 0); }, kError},
        {"clear a channel of a closed adapter", [] { return VCI_ClearBuffer(kType, 0, 0); }, 0},
    };
    for (const Call &c : closed) {
        EXPECT_EQ(c.expected, c.call()) << c.what;
    }
    // Opened and started again, it works as before.
    ASSERT_TRUE(bringUp());
    ASSERT_EQ(1u, VCI_Transmit(kType, 0, 0, &o, 1));
    EXPECT_EQ(1u, takeEcho(1, 2, 3000).size());
}

INSTANTIATE_TEST_SUITE_P(Every, TransportSuite, ::testing::ValuesIn(kSubjects),
                         [](const ::testing::TestParamInfo<Subject> &info) { return info.param.label; });

// A table without entries makes every call fail instead of crashing.
TEST(TransportTable, EmptyEntriesFailTheirCalls) {
    static ControlCanTransport empty;
    memset(&empty, 0, sizeof(empty));
    empty.name = "empty";
    controlcan_set_transport(&empty);
    VCI_INIT_CONFIG cfg;
    memset(&cfg, 0, sizeof(cfg));
    VCI_CAN_OBJ o = frame(1, {1});
    VCI_BOARD_INFO info;
    const struct {
        const char *what;
        DWORD got, expected;
    } calls[] = {
        {"open", VCI_OpenDevice(kType, 0, 0), 0},
        {"close", VCI_CloseDevice(kType, 0), 0},
        {"set up", VCI_InitCAN(kType, 0, 0, &cfg), 0},
        {"start", VCI_StartCAN(kType, 0, 0), 0},
        {"send", VCI_Transmit(kType, 0, 0, &o, 1), 0},
        {"receive", VCI_Receive(kType, 0, 0, &o, 1, 50), kError},
        {"clear", VCI_ClearBuffer(kType, 0, 0), 0},
        {"board", VCI_ReadBoardInfo(kType, 0, &info), 0},
        {"reset", VCI_UsbDeviceReset(kType, 0, 0), 0},
    };
    for (const auto &c : calls) {
        EXPECT_EQ(c.expected, c.got) << c.what;
    }
    controlcan_set_transport(nullptr);
}

} // namespace
