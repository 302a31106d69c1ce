// ostrelo-cli end to end: the program against a bench scenario with node ids
// repeated across channels, a motor reporting a wrong CRC and a silent node.
// Expectations come from the scenario file and the demo images made for it.
#include "cli_test_util.h"

#include "sim_bench.h"
#include "sim_mkfw.h"

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

using namespace clitest;

namespace {

struct BenchMotor {
    sim_motor_config_t cfg;
    bool silent = false;
    bool wrongCrc = false;
    uint32_t newVersion = 0; // version of the demo image it pairs with

    std::string channel() const { return std::to_string(cfg.adapter) + "." + std::to_string(cfg.channel); }
    // The start of the motor's object in the JSON documents.
    std::string json_key() const {
        return "{\"channel\":\"" + channel() + "\",\"adapter\":" + std::to_string(cfg.adapter) +
               ",\"can_channel\":" + std::to_string(cfg.channel) + ",\"node\":" + std::to_string(cfg.node) +
               ",";
    }
};

std::string version_text(uint32_t v) {
    return std::to_string(v >> 24) + "." + std::to_string((v >> 16) & 0xFF) + "." +
           std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
}

// The JSON object of one motor in a document (one motor per line).
std::string motor_object(const std::string &doc, const BenchMotor &m) {
    const size_t at = doc.find(m.json_key());
    if (at == std::string::npos) {
        return "";
    }
    return doc.substr(at, doc.find('\n', at) - at);
}

// Loads the scenario into this process's bench to read its motors, marks the
// faults its "fault node" lines set, and writes the demo images into `dir`.
std::vector<BenchMotor> bench_motors(const std::string &dir, uint32_t imageSize = 4096) {
    sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
    testing::internal::CaptureStdout();
    EXPECT_EQ(sim_bench_load_scenario(OSTRELO_CLI_SCENARIO), 1);
    const int nFiles = sim_mkfw_write_all(dir.c_str(), imageSize, files, SIM_MKFW_MAX_FILES);
    testing::internal::GetCapturedStdout();
    EXPECT_GT(nFiles, 0);
    std::vector<BenchMotor> motors;
    for (int i = 0; i < sim_bench_motor_count(); ++i) {
        BenchMotor m;
        sim_bench_motor_config(i, &m.cfg);
        char key[128];
        sim_mkfw_key(&m.cfg, key, sizeof(key));
        for (int f = 0; f < nFiles; ++f) {
            if (sim_mkfw_match(files[f].name, key)) {
                m.newVersion = files[f].version;
            }
        }
        motors.push_back(m);
    }
    std::istringstream scn(read_file(OSTRELO_CLI_SCENARIO));
    std::string line;
    while (std::getline(scn, line)) {
        std::istringstream words(line);
        std::string w1, w2, fault;
        unsigned a = 0, c = 0, n = 0;
        if (!(words >> w1 >> w2 >> a >> c >> n) || w1 != "fault" || w2 != "node") {
            continue;
        }
        while (words >> fault) {
            for (BenchMotor &m : motors) {
                if (m.cfg.adapter == a && m.cfg.channel == c && m.cfg.node == n) {
                    m.silent |= fault == "silent";
                    m.wrongCrc |= fault == "wrong_crc";
                }
            }
        }
    }
    return motors;
}

size_t count_lines(const std::string &s) {
    return static_cast<size_t>(std::count(s.begin(), s.end(), '\n'));
}

} // namespace

TEST(CliUsage, ArgumentErrorsExitTwoWithOneLine) {
    const std::string dir = work_dir();
    const std::string folder = " --folder '" + dir + "'";
    const std::vector<std::string> cases = {
        "",
        "frobnicate",
        "scan --nodes 0",
        "scan --nodes 5-2",
        "scan --nodes 1-200",
        "scan --bitrate 300",
        "scan --channels 9.0",
        "scan --channels 0.x",
        "scan --bogus",
        "scan --folder " + dir,
        "match",
        "match --folder '" + dir + "/missing'",
        "upgrade" + folder + " --retries 99",
        "upgrade" + folder + " --hold --dry-run",
        "upgrade" + folder + " --report",
        "channels --nodes 1-3",
        "crc --node 1 '" + std::string(OSTRELO_CLI_SCENARIO) + "'",
        "crc --channel 0.0 --node 1",
        "crc --channel 0.0 --node 1 '" + dir + "/missing.bin'",
        "start --channel 0.0",
        "start --channel 0.0 --node 128",
        "start --channel 0.0 --node 1 --json",
        "history --since yesterday",
        "history --since 2026-12-01Z",
        "history --outcome done",
        "history --json --csv",
        "history --channel 9.9",
        "history --node 0",
        "history --history",
        "history --folder " + dir,
        // Files that cannot be written.
        "upgrade" + folder + " --report '" + dir + "/missing/r.json'",
        "scan --trace '" + dir + "/missing/t.log'",
        "scan --log '" + dir + "/missing/l.txt'",
    };
    for (const std::string &args : cases) {
        const CliRun r = run_cli(dir, args);
        EXPECT_EQ(r.rc, 2) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(count_lines(r.err), 1u) << args << "\n" << r.err;
    }
}

TEST(CliUsage, HelpForEveryCommand) {
    const std::string dir = work_dir();
    for (const char *cmd : {"channels", "scan", "match", "upgrade", "crc", "start", "history"}) {
        const CliRun r = run_cli(dir, std::string(cmd) + " --help");
        EXPECT_EQ(r.rc, 0) << cmd;
        EXPECT_EQ(r.out.rfind(std::string("usage: ostrelo-cli ") + cmd, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "") << cmd;
    }
    const CliRun top = run_cli(dir, "--help");
    EXPECT_EQ(top.rc, 0);
    for (const char *cmd : {"channels", "scan", "match", "upgrade", "crc", "start", "history"}) {
        EXPECT_NE(top.out.find(std::string("  ") + cmd + " "), std::string::npos) << cmd;
    }
}

TEST(CliBench, SetUpErrorsExitTwo) {
    const std::string dir = work_dir();
    // A channel the bench does not have, and a transport that offers nothing.
    for (const auto &c :
         {std::make_pair(std::string("scan --channels 3.0"), std::string("sim:") + OSTRELO_CLI_SCENARIO),
          std::make_pair(std::string("scan"), std::string("bogus")),
          std::make_pair(std::string("channels"), std::string("bogus"))}) {
        const CliRun r = run_cli(dir, c.first + " --log '" + dir + "/log.txt'", c.second);
        EXPECT_EQ(r.rc, 2) << c.first;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(count_lines(r.err), 1u) << r.err;
    }
}

TEST(CliBench, ScanListsEveryMotorByChannelAndNode) {
    const std::string dir = work_dir();
    const std::vector<BenchMotor> motors = bench_motors(dir);
    const CliRun r = run_cli(dir, "scan --json --nodes 1-16 -v");
    ASSERT_EQ(r.rc, 0) << r.err;
    size_t answering = 0;
    for (const BenchMotor &m : motors) {
        const std::string obj = motor_object(r.out, m);
        if (m.silent) {
            EXPECT_EQ(obj, "") << m.channel() << " node " << unsigned(m.cfg.node);
            continue;
        }
        ++answering;
        EXPECT_NE(obj.find("\"version\":\"" + version_text(m.cfg.version) + "\""), std::string::npos) << obj;
        EXPECT_NE(obj.find("\"motor_type\":" + std::to_string(m.cfg.motorType) + ","), std::string::npos)
            << obj;
    }
    EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), static_cast<long>(answering) + 1) << r.out;
    // The log went to standard error (-v), not into the document.
    EXPECT_NE(r.err.find("[INFO]"), std::string::npos);
    EXPECT_EQ(r.out.find("[INFO]"), std::string::npos);
}

TEST(CliBench, UpgradeFlashesEveryChannelInParallel) {
    const std::string dir = work_dir();
    const std::vector<BenchMotor> motors = bench_motors(dir);
    const CliRun r = run_cli(dir, "upgrade --json --nodes 1-12 --folder '" + dir + "' --report '" + dir +
                                      "/r.json' --trace '" + dir + "/t.log'");
    // The wrong-CRC motor fails the run.
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(read_file(dir + "/r.json"), r.out);
    std::set<std::string> channelsFlashed;
    for (const BenchMotor &m : motors) {
        const std::string obj = motor_object(r.out, m);
        if (m.silent) {
            EXPECT_EQ(obj, "");
            continue;
        }
        if (m.wrongCrc) {
            EXPECT_NE(obj.find("\"outcome\":\"failed\""), std::string::npos) << obj;
            EXPECT_NE(obj.find("CRC mismatch"), std::string::npos) << obj;
            EXPECT_NE(obj.find("\"version_after\":null"), std::string::npos) << obj;
            continue;
        }
        EXPECT_NE(obj.find("\"outcome\":\"ok\""), std::string::npos) << obj;
        EXPECT_NE(obj.find("\"version_after\":\"" + version_text(m.newVersion) + "\""), std::string::npos)
            << obj;
        channelsFlashed.insert(m.channel());
    }

    // The trace: every line parses, time never goes back on a channel, and
    // the downloads of the channels overlap in time.
    const std::vector<TraceLine> trace = read_trace(dir + "/t.log");
    ASSERT_FALSE(trace.empty());
    std::map<std::string, double> last;
    std::map<std::string, std::pair<double, double>> sdoSpan;
    for (const TraceLine &t : trace) {
        EXPECT_GE(t.time, last[t.iface]) << t.iface;
        last[t.iface] = t.time;
        EXPECT_EQ(t.iface.rfind("zhcx", 0), 0u) << t.iface;
        if (t.id >= 0x601 && t.id <= 0x67F) {
            auto it = sdoSpan.find(t.iface);
            if (it == sdoSpan.end()) {
                sdoSpan[t.iface] = {t.time, t.time};
            } else {
                it->second.second = t.time;
            }
        }
    }
    EXPECT_EQ(sdoSpan.size(), channelsFlashed.size());
    double latestStart = 0;
    double earliestEnd = 1e18;
    for (const auto &s : sdoSpan) {
        latestStart = std::max(latestStart, s.second.first);
        earliestEnd = std::min(earliestEnd, s.second.second);
    }
    EXPECT_LT(latestStart, earliestEnd) << "channels were not flashed in parallel";
}

// The only SDO frames of a dry run are the reads that find motors held in
// their bootloader: nothing is written, no handshake is sent.
TEST(CliBench, DryRunSendsNoSdoWrite) {
    const std::string dir = work_dir();
    const std::vector<BenchMotor> motors = bench_motors(dir);
    const CliRun r = run_cli(dir, "upgrade --dry-run --folder '" + dir + "' --report '" + dir +
                                      "/r.csv' --trace '" + dir + "/t.log'");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("nothing was sent"), std::string::npos) << r.out;
    const CliRun j = run_cli(dir, "upgrade --dry-run --json --folder '" + dir + "'");
    EXPECT_EQ(j.rc, 0) << j.err;
    const std::vector<TraceLine> trace = read_trace(dir + "/t.log");
    EXPECT_FALSE(trace.empty());
    for (const TraceLine &t : trace) {
        const bool request = is_sdo(t.id) && t.id > 0x600;
        EXPECT_TRUE(!request || t.data.rfind("40", 0) == 0) << std::hex << t.id << " " << t.data;
        EXPECT_FALSE(t.id < 0x80 && t.data.rfind("A320", 0) == 0) << "handshake to node " << t.id;
    }
    // CSV report: a header and one row per answering motor, each a dry run.
    const std::string csv = read_file(dir + "/r.csv");
    const size_t answering = static_cast<size_t>(
        std::count_if(motors.begin(), motors.end(), [](const BenchMotor &m) { return !m.silent; }));
    EXPECT_EQ(count_lines(csv), answering + 1) << csv;
    // The CSV carries every field of the JSON record's motors.
    const std::string header = csv.substr(0, csv.find('\n'));
    const std::string motor = motor_object(j.out, motors.front());
    static const std::regex kKey("\"([a-z_]+)\":");
    size_t keys = 0;
    for (std::sregex_iterator it(motor.begin(), motor.end(), kKey), end; it != end; ++it, ++keys) {
        EXPECT_NE(("," + header + ",").find("," + (*it)[1].str() + ","), std::string::npos) << (*it)[1];
    }
    EXPECT_GT(keys, 20u) << motor;
    size_t dry = 0;
    for (size_t at = csv.find(",dry run,"); at != std::string::npos; at = csv.find(",dry run,", at + 1)) {
        ++dry;
    }
    EXPECT_EQ(dry, answering);
}

// Ctrl-C while the motors are being held: the run ends by itself, the record
// is written and marks every motor interrupted, none upgraded.
TEST(CliBench, InterruptWritesTheReport) {
    const std::string dir = work_dir();
    const std::vector<BenchMotor> motors = bench_motors(dir);
    const CliRun r =
        run_cli(dir, "upgrade --hold --nodes 1-12 --folder '" + dir + "' --report '" + dir + "/r.json'",
                std::string("sim:") + OSTRELO_CLI_SCENARIO, "0.5");
    EXPECT_EQ(r.rc, 1) << r.err;
    const std::string report = read_file(dir + "/r.json");
    EXPECT_NE(report.find("\"summary\""), std::string::npos) << report;
    EXPECT_EQ(report.find("\"outcome\":\"ok\""), std::string::npos) << report;
    // A motor is missing only when the interruption came during the scan.
    for (const BenchMotor &m : motors) {
        const std::string obj = motor_object(report, m);
        EXPECT_TRUE(obj.empty() || obj.find("\"outcome\":\"interrupted\"") != std::string::npos) << obj;
    }
}

// Ctrl-C during transfers of large images: every transfer under way ends
// with an abort (0x08000000) to its node instead of running to its end, and
// no motor is reported upgraded.
TEST(CliBench, InterruptAbortsTransfersUnderWay) {
    const std::string dir = work_dir();
    bench_motors(dir, 400 * 1024);
    const CliRun r = run_cli(dir,
                             "upgrade --nodes 1-9 --folder '" + dir + "' --report '" + dir +
                                 "/r.json' --trace '" + dir + "/t.log'",
                             std::string("sim:") + OSTRELO_CLI_SCENARIO, "3");
    EXPECT_EQ(r.rc, 1) << r.err;
    EXPECT_EQ(read_file(dir + "/r.json").find("\"outcome\":\"ok\""), std::string::npos);
    std::map<std::string, std::map<unsigned, std::string>> lastRequest; // channel -> node -> data
    size_t began = 0;
    for (const TraceLine &t : read_trace(dir + "/t.log")) {
        // Requests on the program-data object 0x1F50:01: the block download
        // initiate (C0/C2/C4/C6) and the abort (80).
        if (t.id > 0x600 && t.id < 0x680 && t.data.size() == 16 && t.data.substr(2, 6) == "501F01") {
            const std::string head = t.data.substr(0, 2);
            const bool initiate = head == "C0" || head == "C2" || head == "C4" || head == "C6";
            began += initiate ? 1 : 0;
            if (initiate || head == "80") {
                lastRequest[t.iface][t.id - 0x600] = t.data;
            }
        }
    }
    if (began == 0) {
        GTEST_SKIP() << "the interruption came before any transfer began";
    }
    for (const auto &channel : lastRequest) {
        for (const auto &node : channel.second) {
            EXPECT_EQ(node.second.substr(0, 2), "80") << channel.first << " node " << node.first;
            EXPECT_EQ(node.second.substr(8), "00000008") << channel.first << " node " << node.first;
        }
    }
}
