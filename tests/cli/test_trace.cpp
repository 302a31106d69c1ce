// The frame trace of the adapter stand-in, in this process: its line format,
// and that it holds exactly the frames the bench counted on each channel.
#include "cli_test_util.h"

#include "client_api.h"
#include "controlcan_transport.h"
#include "sim_bench.h"
#include "trace.h"

#include <cstring>

using namespace clitest;

TEST(Trace, LineFormat) {
    struct Case {
        uint32_t id;
        uint8_t extended, remote, len;
        const char *want;
    } cases[] = {
        {0x581, 0, 0, 8, "(12.000034) zhcx0.1 581#0001020304050607\n"},
        {0x001, 0, 0, 1, "(12.000034) zhcx0.1 001#00\n"},
        {0x123, 0, 0, 0, "(12.000034) zhcx0.1 123#\n"},
        {0x12345, 1, 0, 2, "(12.000034) zhcx0.1 00012345#0001\n"},
        {0x700, 0, 1, 0, "(12.000034) zhcx0.1 700#R\n"},
        {0x7FF, 0, 0, 12, "(12.000034) zhcx0.1 7FF#0001020304050607\n"}, // length clamped to 8
    };
    for (const Case &c : cases) {
        VCI_CAN_OBJ f;
        memset(&f, 0, sizeof(f));
        f.ID = c.id;
        f.ExternFlag = c.extended;
        f.RemoteFlag = c.remote;
        f.DataLen = c.len;
        for (int i = 0; i < 8; ++i) {
            f.Data[i] = static_cast<BYTE>(i);
        }
        char line[96];
        const size_t n = controlcan_trace_format(line, sizeof(line), 12, 34, "zhcx0.1", &f);
        EXPECT_EQ(std::string(line, n), c.want);
    }
    char tiny[8];
    VCI_CAN_OBJ f;
    memset(&f, 0, sizeof(f));
    EXPECT_EQ(controlcan_trace_format(tiny, sizeof(tiny), 12, 34, "zhcx0.1", &f), 0u);
}

// Traffic of the client API on two channels of the bench: identity queries
// and an SDO read. Afterwards every frame the bench carried for the program,
// in either direction, is in the trace once.
TEST(Trace, CountsMatchTheBenchCounters) {
    const std::string dir = work_dir();
    const std::string path = dir + "/trace.log";
    testing::internal::CaptureStdout();
    controlcan_set_transport(sim_controlcan_transport());
    sim_bench_reset();
    sim_bench_set_timing(1);
    ASSERT_EQ(sim_bench_load_scenario(OSTRELO_CLI_SCENARIO), 1);
    ASSERT_EQ(controlcan_trace_open(path.c_str()), 1);
    client_api_set_backend_zhcx();
    const client_channel_id_t a = client_api_manager_init_channel(4, 0, 1, 1000, 8, 8);
    const client_channel_id_t b = client_api_manager_init_channel(4, 1, 0, 1000, 8, 8);
    for (uint8_t node = 1; node <= 3; ++node) {
        client_firmware_info_t info;
        client_api_query_firmware_info(a, node, &info);
        client_api_query_firmware_info(b, node, &info);
    }
    uint8_t buf[8];
    size_t got = 0;
    client_api_sdo_read(a, 1, 0x1000, 0, buf, sizeof(buf), &got, 200);
    // Let the queues run out, then take what is left in the receive buffers.
    delay_ms(100);
    CO_CANrxMsg_t f;
    for (const client_channel_id_t &ch : {a, b}) {
        while (client_api_receive_raw_can(ch, &f, 20) == 0) {
        }
    }
    client_api_manager_cleanup_all();
    controlcan_trace_close();
    testing::internal::GetCapturedStdout();

    std::map<std::string, uint64_t> lines;
    for (const TraceLine &t : read_trace(path)) {
        ++lines[t.iface];
    }
    for (const auto &ch : {std::make_pair(0u, 1u), std::make_pair(1u, 0u)}) {
        sim_segment_stats_t s;
        ASSERT_EQ(sim_bench_segment_stats(ch.first, ch.second, &s), 1);
        const std::string iface = "zhcx" + std::to_string(ch.first) + "." + std::to_string(ch.second);
        EXPECT_GT(s.framesFromProgram, 0u);
        EXPECT_GT(s.framesToProgram, 0u);
        EXPECT_EQ(lines[iface], s.framesFromProgram + s.framesToProgram) << iface;
    }
    EXPECT_EQ(lines.count("zhcx0.0"), 0u);
    sim_bench_reset();
    controlcan_set_transport(nullptr);
}

// Channels that OSTRELO_CAN maps to SocketCAN appear under their interface
// names, the others as zhcx<adapter>.<channel>.
TEST(Trace, SocketCanChannelsUseTheirInterfaceNames) {
    const std::string path = work_dir() + "/trace.log";
    setenv("OSTRELO_CAN", "socketcan:0.0=can0,0.1=vcan7", 1);
    ASSERT_EQ(controlcan_trace_open(path.c_str()), 1);
    unsetenv("OSTRELO_CAN");
    VCI_CAN_OBJ f;
    memset(&f, 0, sizeof(f));
    f.ID = 0x601;
    f.DataLen = 1;
    controlcan_trace_frames(0, 1, &f, 1);
    controlcan_trace_frames(1, 0, &f, 1);
    controlcan_trace_close();
    const std::vector<TraceLine> lines = read_trace(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].iface, "vcan7");
    EXPECT_EQ(lines[1].iface, "zhcx1.0");
}

// The file only ever holds whole lines, also while the trace is written (a
// program killed then leaves a trace that readers can parse to its end).
TEST(Trace, FileHoldsOnlyWholeLines) {
    const std::string path = work_dir() + "/trace.log";
    ASSERT_EQ(controlcan_trace_open(path.c_str()), 1);
    VCI_CAN_OBJ f;
    memset(&f, 0, sizeof(f));
    f.ID = 0x581;
    for (int i = 0; i < 5000; ++i) {
        f.DataLen = static_cast<BYTE>(i % 9); // lines of different lengths
        controlcan_trace_frames(0, i % 2, &f, 1);
    }
    const std::string written = read_file(path); // before the close
    controlcan_trace_close();
    ASSERT_GT(written.size(), 64u * 1024u);
    EXPECT_EQ(written.back(), '\n');
    const std::string copy = path + ".part";
    std::ofstream(copy) << written;
    EXPECT_EQ(read_trace(copy).size(), static_cast<size_t>(std::count(written.begin(), written.end(), '\n')));
}
