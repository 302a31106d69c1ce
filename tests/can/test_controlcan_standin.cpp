#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "ControlCAN.h"
#include "controlcan_internal.h"

#if defined(__linux__)
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

TEST(OstreloCanSelection, AcceptsTheDocumentedForms) {
    controlcan_selection_t s;
    ASSERT_EQ(1, controlcan_parse_selection(nullptr, &s));
    EXPECT_EQ(CONTROLCAN_SEL_SIM, s.kind);
    EXPECT_STREQ("", s.path);
    ASSERT_EQ(1, controlcan_parse_selection("sim", &s));
    EXPECT_EQ(CONTROLCAN_SEL_SIM, s.kind);
    ASSERT_EQ(1, controlcan_parse_selection("sim:/tmp/bench.txt", &s));
    EXPECT_EQ(CONTROLCAN_SEL_SIM, s.kind);
    EXPECT_STREQ("/tmp/bench.txt", s.path);
    ASSERT_EQ(1, controlcan_parse_selection("lib:/opt/vendor/libcontrolcan.so", &s));
    EXPECT_EQ(CONTROLCAN_SEL_LIB, s.kind);
    EXPECT_STREQ("/opt/vendor/libcontrolcan.so", s.path);
    ASSERT_EQ(1, controlcan_parse_selection("socketcan:0.0=can0,0.1=can1,1.0=can2", &s));
    EXPECT_EQ(CONTROLCAN_SEL_SOCKETCAN, s.kind);
    EXPECT_STREQ("can0", s.map.ifname[0][0]);
    EXPECT_STREQ("can1", s.map.ifname[0][1]);
    EXPECT_STREQ("can2", s.map.ifname[1][0]);
    EXPECT_STREQ("", s.map.ifname[1][1]);
}

TEST(OstreloCanSelection, RejectsMalformedValues) {
    controlcan_selection_t s;
    const char *bad[] = {"simulator",
                         "sim:",
                         "lib:",
                         "socketcan:",
                         "socketcan:0=can0",
                         "socketcan:0.0=",
                         "socketcan:0.0=can0,",
                         "socketcan:4.0=can0",
                         "socketcan:0.6=can0",
                         "socketcan:0.0=can0,0.0=can1",
                         "socketcan:0.0=averyveryverylongname",
                         "socketcan:0.0=can 0",
                         "SOCKETCAN:0.0=can0",
                         "pcan"};
    for (const char *v : bad) {
        EXPECT_EQ(0, controlcan_parse_selection(v, &s)) << v;
    }
}

TEST(OstreloCanSelection, MalformedVariableFailsEveryAdapterCallWithOneLine) {
    setenv("OSTRELO_CAN", "bogus", 1);
    controlcan_set_transport(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, VCI_OpenDevice(4, 0, 0));
    VCI_INIT_CONFIG cfg{};
    EXPECT_EQ(0u, VCI_InitCAN(4, 0, 0, &cfg));
    VCI_CAN_OBJ obj{};
    EXPECT_EQ(0u, VCI_Transmit(4, 0, 0, &obj, 1));
    EXPECT_EQ(0xFFFFFFFFu, VCI_Receive(4, 0, 0, &obj, 1, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, out.rfind("[ERROR] OSTRELO_CAN='bogus' is not valid;", 0)) << out;
    EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;
    EXPECT_NE(std::string::npos, out.find("socketcan:0.0=can0"));
    unsetenv("OSTRELO_CAN");
    controlcan_set_transport(nullptr);
}

// Loading a library that works, and its frames, waits and wakes, are cases of
// the transport suite (tests/transport).
TEST(OstreloCanSelection, VendorLibraryThatCannotBeLoadedFailsTheOpen) {
    setenv("OSTRELO_CAN", "lib:/nonexistent/libnothing.so", 1);
    controlcan_set_transport(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, VCI_OpenDevice(4, 0, 0));
    EXPECT_EQ("[ERROR] Cannot load adapter library /nonexistent/libnothing.so\n",
              testing::internal::GetCapturedStdout());
    unsetenv("OSTRELO_CAN");
    controlcan_set_transport(nullptr);
}

TEST(SocketCanFrames, ConversionClampsLengthAndKeepsFlags) {
    VCI_CAN_OBJ o{};
    o.ID = 0x7FF;
    o.DataLen = 12;
    for (int i = 0; i < 8; ++i) {
        o.Data[i] = static_cast<BYTE>(i + 1);
    }
    socketcan_frame_t f;
    socketcan_frame_from_vci(&o, &f);
    EXPECT_EQ(0x7FFu, f.can_id);
    EXPECT_EQ(8, f.len);
    EXPECT_EQ(8, f.data[7]);

    o.ID = 0x1ABCDEF0;
    o.ExternFlag = 1;
    o.RemoteFlag = 1;
    o.DataLen = 0;
    socketcan_frame_from_vci(&o, &f);
    EXPECT_EQ(0x1ABCDEF0u | 0x80000000u | 0x40000000u, f.can_id);

    VCI_CAN_OBJ back;
    socketcan_frame_to_vci(&f, &back);
    EXPECT_EQ(0x1ABCDEF0u, back.ID);
    EXPECT_EQ(1, back.ExternFlag);
    EXPECT_EQ(1, back.RemoteFlag);

    f.can_id = 0x581;
    f.len = 15; // a malformed length from the socket
    socketcan_frame_to_vci(&f, &back);
    EXPECT_EQ(8, back.DataLen);
    EXPECT_EQ(0x581u, back.ID);
    EXPECT_EQ(0, back.ExternFlag);
}

TEST(SocketCanTransport, MissingInterfaceIsReportedClearly) {
#if defined(__linux__)
    const int probe = socket(29 /* PF_CAN */, SOCK_RAW, 1 /* CAN_RAW */);
    if (probe < 0) {
        GTEST_SKIP() << "this kernel has no CAN support";
    }
    close(probe);
    socketcan_map_t map;
    ASSERT_EQ(1, socketcan_parse_map("0.0=ostrelo_nocan", &map));
    const ControlCanTransport *t = socketcan_transport(&map);
    ASSERT_NE(nullptr, t);
    ASSERT_EQ(1u, t->OpenDevice(4, 0, 0));
    VCI_INIT_CONFIG cfg{};
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, t->InitCAN(4, 0, 0, &cfg));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("ostrelo_nocan is missing"));
#else
    GTEST_SKIP() << "SocketCAN exists only on Linux";
#endif
}

// Board information is given only for an adapter that OSTRELO_CAN names; no
// socket is needed for it, so this runs with or without kernel CAN.
TEST(SocketCanTransport, BoardInfoOnlyForAMappedAdapter) {
#if defined(__linux__)
    socketcan_map_t map;
    ASSERT_EQ(1, socketcan_parse_map("0.1=can0", &map));
    const ControlCanTransport *t = socketcan_transport(&map);
    ASSERT_NE(nullptr, t);
    VCI_BOARD_INFO info;
    EXPECT_EQ(1u, t->ReadBoardInfo(4, 0, &info));
    EXPECT_STREQ("SocketCAN", info.str_hw_Type);
    EXPECT_EQ(0u, t->ReadBoardInfo(4, 1, &info));
    EXPECT_EQ(0u, t->ReadBoardInfo(4, 9, &info));
#else
    GTEST_SKIP() << "SocketCAN exists only on Linux";
#endif
}

TEST(SocketCanTransport, UnavailableAddressFamilyFailsTheOpen) {
#if defined(__linux__)
    const int probe = socket(29 /* PF_CAN */, SOCK_RAW, 1 /* CAN_RAW */);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "this kernel has CAN support";
    }
    socketcan_map_t map;
    ASSERT_EQ(1, socketcan_parse_map("0.0=can0", &map));
    const ControlCanTransport *t = socketcan_transport(&map);
    ASSERT_NE(nullptr, t);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, t->OpenDevice(4, 0, 0));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find(
                                     "[ERROR] SocketCAN is not available on this system"));
    // An adapter with no mapped interface is refused before any socket is made.
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, t->OpenDevice(4, 1, 0));
    EXPECT_EQ("[ERROR] SocketCAN: adapter 1 has no interface in OSTRELO_CAN\n",
              testing::internal::GetCapturedStdout());
#else
    GTEST_SKIP() << "SocketCAN exists only on Linux";
#endif
}

} // namespace

namespace {

TEST(OstreloCanSelection, DefaultIsTheSimulatedBenchAndSaysSoOnce) {
    unsetenv("OSTRELO_CAN");
    controlcan_set_transport(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(1u, VCI_OpenDevice(4, 0, 0));
    EXPECT_EQ(1u, VCI_OpenDevice(4, 1, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string notice = "[INFO] CAN adapters are simulated (motor bench)";
    const size_t first = out.find(notice);
    ASSERT_NE(std::string::npos, first) << out;
    EXPECT_EQ(std::string::npos, out.find(notice, first + 1)) << out;
    VCI_CloseDevice(4, 0);
    VCI_CloseDevice(4, 1);
    controlcan_set_transport(nullptr);
}

TEST(OstreloCanSelection, UnreadableScenarioFailsEveryOpen) {
    setenv("OSTRELO_CAN", "sim:/nonexistent/ostrelo-scenario.txt", 1);
    controlcan_set_transport(nullptr);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, VCI_OpenDevice(4, 0, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find("/nonexistent/ostrelo-scenario.txt")) << out;
    EXPECT_EQ(std::string::npos, out.find("simulated (motor bench)")) << out;
    unsetenv("OSTRELO_CAN");
    controlcan_set_transport(nullptr);
}

} // namespace

namespace {

// A transport registered by name, as the bench registers "sim".
const char *g_fake_arg = nullptr;
int g_fake_calls = 0;
const ControlCanTransport kFakeTransport = {"fake",  nullptr, nullptr, nullptr, nullptr, nullptr,
                                            nullptr, nullptr, nullptr, nullptr, nullptr};
const ControlCanTransport *provide_fake(const char *arg) {
    ++g_fake_calls;
    static std::string last;
    last = arg ? arg : "(null)";
    g_fake_arg = last.c_str();
    return &kFakeTransport;
}

TEST(OstreloCanSelection, RegisteredNamesAreChosenByValue) {
    ASSERT_EQ(1, controlcan_register_transport("fake", provide_fake));
    struct {
        const char *value;     // nullptr: unset
        const char *transport; // name of the chosen transport, nullptr: none
        const char *arg;       // what the provider got, nullptr: not asked
    } cases[] = {
        {"fake", "fake", "(null)"},  {"fake:bench 2", "fake", "bench 2"},
        {"fake:", nullptr, nullptr}, // an empty argument is malformed
        {"faker", nullptr, nullptr}, // names match whole
        {"sim:", nullptr, nullptr},  // "sim" keeps its own rules
        {nullptr, "sim", nullptr},   // unset: the bench, registered by the test's link
    };
    for (const auto &c : cases) {
        if (c.value) {
            setenv("OSTRELO_CAN", c.value, 1);
        } else {
            unsetenv("OSTRELO_CAN");
        }
        controlcan_set_transport(nullptr);
        g_fake_calls = 0;
        testing::internal::CaptureStdout();
        const ControlCanTransport *t = controlcan_get_transport();
        const std::string out = testing::internal::GetCapturedStdout();
        const char *label = c.value ? c.value : "(unset)";
        if (c.transport) {
            ASSERT_NE(nullptr, t) << label << ": " << out;
            EXPECT_STREQ(c.transport, t->name) << label;
        } else {
            EXPECT_EQ(nullptr, t) << label;
            EXPECT_NE(std::string::npos, out.find("is not valid")) << label << ": " << out;
        }
        EXPECT_EQ(c.arg ? 1 : 0, g_fake_calls) << label;
        if (c.arg) {
            EXPECT_STREQ(c.arg, g_fake_arg) << label;
        }
    }
    unsetenv("OSTRELO_CAN");
    controlcan_set_transport(nullptr);
}

TEST(OstreloCanSelection, RegistrationRefusesUnusableNames) {
    const std::string longName(CONTROLCAN_NAME_MAX, 'n');
    EXPECT_EQ(0, controlcan_register_transport("", provide_fake));
    EXPECT_EQ(0, controlcan_register_transport("a:b", provide_fake));
    EXPECT_EQ(0, controlcan_register_transport(longName.c_str(), provide_fake));
    EXPECT_EQ(0, controlcan_register_transport("fake", nullptr));
    EXPECT_EQ(0, controlcan_register_transport(nullptr, provide_fake));
    // The table is bounded; registering a name again takes no new entry.
    int accepted = 0;
    for (int i = 0; i < CONTROLCAN_MAX_REGISTERED + 2; ++i) {
        accepted += controlcan_register_transport(("t" + std::to_string(i)).c_str(), provide_fake);
    }
    EXPECT_LT(accepted, CONTROLCAN_MAX_REGISTERED);
    EXPECT_EQ(1, controlcan_register_transport("t0", provide_fake));
}

} // namespace
