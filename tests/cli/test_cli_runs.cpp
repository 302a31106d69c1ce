// ostrelo-cli against whole runs that once went wrong: the wrong image taken,
// versions not compared, motors that went unnoticed, the simulator standing
// in silently, long paths, records lost to a signal, error lines in a good
// run. Each table row is one run of the program on a small bench.
#include "cli_test_util.h"

#include "sim_bench.h"
#include "sim_mkfw.h"

#include <algorithm>
#include <climits>
#include <sys/stat.h>

using namespace clitest;

namespace {

// Motor 0.0 node 1 of the test bench: 4009 SingleTarsel B0, running 1.0.0.3.
const char kMotor1[] = "4009_SingleTarsel_B0";

std::string version_name(const char *stem, const char *version) {
    return std::string(stem) + "_V" + version + ".bin";
}

// Bytes without a trailer: the bench keeps the version it ran.
void write_noise(const std::string &path, size_t size = 4112) {
    std::string bytes(size, '\0');
    uint32_t x = 12345;
    for (char &c : bytes) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 24);
    }
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string write_scenario(const std::string &dir, const std::string &text) {
    const std::string path = dir + "/bench.scn";
    std::ofstream(path)
        << "timing timed\nseed 3\noperator on\nadapter 0 channels 2\nsegment 0 0 1000\nsegment 0 1 1000\n"
        << text;
    return "sim:" + path;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

size_t occurrences(const std::string &text, const std::string &part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

// The eight motors of the default bench with the times of `scenario` (the
// built-in default when empty): each one upgraded at its first attempt, by
// one run that waits for every erase and every start.
void upgrade_every_motor(const std::string &dir, const std::string &scenario) {
    std::string can = "sim";
    testing::internal::CaptureStdout();
    if (scenario.empty()) {
        ASSERT_EQ(sim_bench_load_default(), 1);
    } else {
        const std::string path = dir + "/bench.scn";
        std::ofstream(path) << scenario;
        ASSERT_EQ(sim_bench_load_scenario(path.c_str()), 1);
        can = "sim:" + path;
    }
    sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
    ASSERT_EQ(sim_mkfw_write_all(dir.c_str(), 48 * 1024, files, SIM_MKFW_MAX_FILES), 8);
    testing::internal::GetCapturedStdout();
    const CliRun r = run_cli(dir, "upgrade --folder '" + dir + "' --report '" + dir + "/r.json'", can);
    EXPECT_EQ(r.rc, 0) << r.out << r.err;
    const std::string record = read_file(dir + "/r.json");
    EXPECT_TRUE(has(record, "\"summary\":{\"motors\":8,\"ok\":8,\"failed\":0")) << record;
    EXPECT_EQ(occurrences(record, "\"attempts\":1,"), 8u) << record;
}

} // namespace

// Motors that take the time of real controllers: the default bench's erase
// the flash for the 48 KiB demo images for 1.5 to 3 s before they answer the
// transfer's initiate, and need 1.5 s to start their application.
TEST(CliRuns, DefaultBenchOfRealControllers) {
    const std::string dir = work_dir();
    upgrade_every_motor(dir, "");
}

// The same motors erasing for 6 s each (label slow).
TEST(CliSlow, MotorsThatEraseForSixSeconds) {
    const std::string dir = work_dir();
    std::string text = sim_bench_default_scenario_text();
    for (const char *erase : {"erase_kib_ms=31", "erase_kib_ms=42", "erase_kib_ms=52", "erase_kib_ms=62"}) {
        for (size_t at = text.find(erase); at != std::string::npos; at = text.find(erase, at)) {
            text.replace(at, strlen(erase), "erase_ms=6000");
        }
    }
    ASSERT_EQ(occurrences(text, "erase_ms=6000"), 8u);
    upgrade_every_motor(dir, text);
}

// Which file a motor gets, and whether its version lets it be flashed.
TEST(CliRuns, ExactFileAndVersionPolicy) {
    struct File {
        std::string name;
        uint32_t version; // 0: bytes without a trailer
    };
    const struct Case {
        const char *what;
        std::vector<File> files;
        const char *options;
        int rc;
        const char *outcome;
        std::string file;
        const char *versionAfter;
        const char *note = "";
    } cases[] = {
        {"another model's file listed first",
         {{"14009_SingleTarsel_B0_V1_0_0_9.bin", 0x01010202u},
          {version_name(kMotor1, "1_0_0_4"), 0x01000004u}},
         "",
         0,
         "ok",
         version_name(kMotor1, "1_0_0_4"),
         "\"1.0.0.4\""},
        {"only a B16 file with a 0",
         {{"4009_SingleTarsel_B16_V1_0_0_9.bin", 0x01000009u}},
         "",
         1,
         "refused",
         "",
         "null"},
        {"the B16 file taken by --loose-match",
         {{"4009_SingleTarsel_B16_V1_0_0_9.bin", 0x01000009u}},
         "--loose-match",
         0,
         "ok",
         "4009_SingleTarsel_B16_V1_0_0_9.bin",
         "\"1.0.0.9\""},
        {"two exact files",
         {{version_name(kMotor1, "1_0_0_4"), 0x01000004u}, {version_name(kMotor1, "1_0_0_5"), 0x01000005u}},
         "",
         1,
         "refused",
         "",
         "null"},
        {"two exact files, the newest taken by --loose-match",
         {{version_name(kMotor1, "1_0_0_5"), 0x01000005u}, {version_name(kMotor1, "1_0_0_4"), 0x01000004u}},
         "--loose-match",
         0,
         "ok",
         version_name(kMotor1, "1_0_0_5"),
         "\"1.0.0.5\"",
         "passed over: 4009_SingleTarsel_B0_V1_0_0_4.bin"},
        {"a downgrade written with dots",
         {{std::string(kMotor1) + "_V1.0.0.2.bin", 0x01000002u}},
         "",
         1,
         "refused",
         std::string(kMotor1) + "_V1.0.0.2.bin",
         "null"},
        {"a downgrade",
         {{version_name(kMotor1, "1_0_0_2"), 0x01000002u}},
         "",
         1,
         "refused",
         version_name(kMotor1, "1_0_0_2"),
         "null"},
        {"a downgrade allowed",
         {{version_name(kMotor1, "1_0_0_2"), 0x01000002u}},
         "--allow-downgrade",
         0,
         "ok",
         version_name(kMotor1, "1_0_0_2"),
         "\"1.0.0.2\""},
        {"the running version",
         {{version_name(kMotor1, "1_0_0_3"), 0x01000003u}},
         "",
         0,
         "current",
         version_name(kMotor1, "1_0_0_3"),
         "null"},
        {"the running version forced",
         {{version_name(kMotor1, "1_0_0_3"), 0x01000003u}},
         "--force",
         0,
         "ok",
         version_name(kMotor1, "1_0_0_3"),
         "\"1.0.0.3\""},
        {"random bytes",
         {{version_name(kMotor1, "1_0_0_4"), 0}},
         "",
         1,
         "version mismatch",
         version_name(kMotor1, "1_0_0_4"),
         "\"1.0.0.3\""},
        {"no version in the name",
         {{std::string(kMotor1) + ".bin", 0x01000004u}},
         "",
         0,
         "ok",
         std::string(kMotor1) + ".bin",
         "\"1.0.0.4\""},
    };
    for (const Case &c : cases) {
        const std::string dir = work_dir();
        const std::string folder = dir + "/fw";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        for (const File &f : c.files) {
            if (f.version != 0) {
                write_image(folder + "/" + f.name, f.version);
            } else {
                write_noise(folder + "/" + f.name);
            }
        }
        const CliRun r = run_cli(dir, "upgrade --json --retries 0 --channels 0.0 --nodes 1 --folder '" +
                                          folder + "' " + c.options);
        EXPECT_EQ(r.rc, c.rc) << c.what << "\n" << r.out << r.err;
        EXPECT_TRUE(has(r.out, std::string("\"outcome\":\"") + c.outcome + "\"")) << c.what << "\n" << r.out;
        EXPECT_TRUE(has(r.out, c.file.empty() ? "\"file\":null" : "\"file\":\"" + c.file + "\"")) << c.what;
        EXPECT_TRUE(has(r.out, std::string("\"version_after\":") + c.versionAfter)) << c.what << "\n"
                                                                                    << r.out;
        EXPECT_TRUE(has(r.out, c.note)) << c.what << "\n" << r.out;
    }
}

// Motors that are there but cannot be upgraded, and motors that are not
// there, fail the run; --allow-missing accepts what is not a fault.
TEST(CliRuns, EveryMotorAccountedFor) {
    const std::string motors = "motor 0 0 1 type=9 brake=0 encoder=1 version=1.0.0.3\n"
                               "motor 0 0 2 type=18 brake=16 encoder=2 version=1.1.2.1 state=held\n"
                               "motor 0 1 3 type=26 brake=0 encoder=3 version=2.0.1.5\n"
                               "fault node 0 1 3 silent\n";
    const struct Case {
        const char *what;
        const char *options;
        bool emptyFolder;
        int rc;
        const char *says; // in the record (stdout) or on standard error
    } cases[] = {
        {"a motor held in its bootloader", "--nodes 1-2", false, 1, "\"state\":\"bootloader\""},
        {"the held motor not waived: it runs no application", "--nodes 1-2 --allow-missing", false, 1,
         "in their bootloader without a file"},
        {"the held motor flashed with a named file", "--channels 0.0 --nodes 2 --file FW60018", false, 0,
         "\"version_after\":\"1.1.2.2\""},
        {"a wrong bit rate", "--bitrate 500 --nodes 1-3", false, 1, "no motor answered"},
        {"a wrong bit rate accepted", "--bitrate 500 --nodes 1-3 --allow-missing", false, 0, "\"motors\":0"},
        {"a silent node", "--nodes 1-3 --expect-nodes 1,3", false, 1, "\"outcome\":\"missing\""},
        {"a silent node, --allow-missing", "--nodes 1-3 --expect-nodes 0.1:3 --allow-missing", false, 1,
         "missing"},
        {"too few motors", "--nodes 1-3 --expect 3", false, 1, "\"missing\":1"},
        {"a motor without a file", "--nodes 1-3", true, 1, "motor(s) without a file"},
        {"a folder without .bin files", "--nodes 1", true, 1, "no .bin file in"},
        {"an abort shown with its meaning", "--nodes 1 --retries 0 --abort", false, 1,
         "SDO abort 0x08000020: data cannot be transferred or stored to the application"},
        {"a motor that answers later than the quick pass waits", "--nodes 1 --late", false, 0,
         "\"version_after\":\"1.0.0.4\""},
    };
    for (const Case &c : cases) {
        const std::string dir = work_dir();
        std::string options = c.options;
        const bool abort = has(options, "--abort");
        const bool late = has(options, "--late");
        const std::string can =
            write_scenario(dir, motors + (abort  ? "fault node 0 0 1 abort=1024:0x08000020\n"
                                          : late ? "fault node 0 0 1 delay=60\n"
                                                 : ""));
        options = options.substr(0, std::min(options.find(" --abort"), options.find(" --late")));
        const std::string folder = dir + "/fw";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        if (!c.emptyFolder) {
            write_image(folder + "/4009_SingleTarsel_B0_V1_0_0_4.bin", 0x01000004u);
        } else if (has(c.what, "without a file")) {
            write_image(folder + "/80026_DoubleBrisca_B0_V2_0_1_6.bin", 0x02000106u);
        }
        const std::string named = dir + "/60018_DoubleTarsel_B16_V1_1_2_2.bin";
        write_image(named, 0x01010202u);
        const size_t at = options.find("FW60018");
        if (at != std::string::npos) {
            options.replace(at, 7, "'" + named + "'");
        } else {
            options += " --folder '" + folder + "'";
        }
        const CliRun r = run_cli(dir, "upgrade --json " + options, can);
        EXPECT_EQ(r.rc, c.rc) << c.what << "\n" << r.out << r.err;
        EXPECT_TRUE(has(r.out + r.err, c.says)) << c.what << "\n" << r.out << r.err;
    }
}

// The record says what the program talked to, and the program says so when
// it is the simulated bench; --require-hardware refuses that.
TEST(CliRuns, SaysWhatItTalksTo) {
    const std::string dir = work_dir();
    for (const std::string &can :
         {std::string(""), std::string("sim"), std::string("sim:") + OSTRELO_CLI_SCENARIO}) {
        const CliRun r =
            run_cli(dir, "upgrade --dry-run --json --nodes 1 --allow-missing --folder '" + dir + "'", can);
        EXPECT_EQ(r.rc, 0) << can << "\n" << r.err;
        EXPECT_TRUE(has(r.out, "\"bus\":\"simulated bench\",\"simulated\":true")) << can << "\n" << r.out;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << can << "\n" << r.err;
        EXPECT_TRUE(has(r.err, "running on the simulated motor bench")) << r.err;

        const std::string upgrade =
            "upgrade --require-hardware --report '" + dir + "/r.json' --folder '" + dir + "'";
        for (const std::string &cmd :
             {std::string("scan --require-hardware"), std::string("channels --require-hardware"), upgrade}) {
            const CliRun refused = run_cli(dir, cmd, can);
            EXPECT_EQ(refused.rc, 2) << cmd << " " << can;
            EXPECT_EQ(refused.out, "");
            EXPECT_TRUE(has(refused.err, "--require-hardware")) << refused.err;
        }
        // The record of the refused upgrade does not claim a run under way.
        const std::string record = read_file(dir + "/r.json");
        EXPECT_TRUE(has(record, "\"state\":\"not started\"")) << can;
        EXPECT_TRUE(has(record, "\"bus\":\"simulated bench\",\"simulated\":true")) << record;
    }
}

// A stop by SIGHUP, SIGTERM, a second Ctrl-C or a second signal that ends
// the run at once, and a SIGKILL, all leave a whole record where the report
// was; the stops also say how the run ended. A first signal stops transfers
// within a pass, so the second one can only cut a run short while a step
// that runs to its end is under way: the wait for an application that is
// slow to start.
TEST(CliRuns, RecordSurvivesTheEnd) {
    // Two signals at once, of two kinds: the kernel merges two pending
    // signals of one kind.
    const struct Case {
        const char *signals;
        const char *after;
        const char *fault; // a line added to the bench
        size_t imageSize;
        int rc;
        const char *state;
        const char *says;
        const char *summary = "\"not_done\":0}"; // motors not done are not counted as failed
    } cases[] = {
        {"HUP", "1.5", "", 300 * 1024, 1, "interrupted", ""},
        {"TERM", "1.5", "", 300 * 1024, 1, "interrupted", ""},
        {"INT INT", "1.5", "", 300 * 1024, 1, "interrupted", ""},
        {"INT+TERM", "3", "fault node 0 0 1 slow_start=8000\nfault node 0 1 1 slow_start=8000", 8 * 1024, 1,
         "interrupted", "ended at once"},
        {"KILL", "1.5", "", 300 * 1024, -1, "running", "",
         "\"failed\":0,\"interrupted\":0,\"no_file\":0,\"dry_run\":0,\"current\":0,\"refused\":0,"
         "\"version_mismatch\":0,\"missing\":0,\"not_done\":2}"},
    };
    for (const Case &c : cases) {
        const std::string dir = work_dir();
        const std::string folder = dir + "/fw";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        write_image(folder + "/4009_SingleTarsel_B0_V1_0_0_4.bin", 0x01000004u, c.imageSize);
        write_image(folder + "/80026_DoubleBrisca_B0_V2_0_1_6.bin", 0x02000106u, c.imageSize);
        const std::string bench = dir + "/bench.scn";
        std::ofstream(bench) << read_file(OSTRELO_CLI_SCENARIO) << c.fault << "\n";
        const std::string report = dir + "/r.json";
        std::ofstream(report) << "the previous record\n";
        const CliRun r = run_cli(dir,
                                 "upgrade --nodes 1 --channels 0.0,0.1 --folder '" + folder + "' --report '" +
                                     report + "' --trace '" + dir + "/t.log'",
                                 "sim:" + bench, c.after, c.signals);
        EXPECT_EQ(r.rc, c.rc) << c.signals << "\n" << r.err;
        EXPECT_TRUE(has(r.err, c.says)) << c.signals << "\n" << r.err;
        const std::string record = read_file(report);
        EXPECT_EQ(record.rfind("{\"date\":", 0), 0u) << c.signals << "\n" << record;
        EXPECT_GE(record.size(), 3u);
        EXPECT_EQ(record.substr(record.size() - 3), "]}\n") << c.signals;
        EXPECT_TRUE(has(record, std::string("\"state\":\"") + c.state + "\"")) << c.signals << "\n" << record;
        EXPECT_FALSE(has(record, "\"outcome\":\"ok\"")) << c.signals;
        EXPECT_TRUE(has(record, c.summary)) << c.signals << "\n" << record;
        EXPECT_FALSE(has(record, "\"outcome\":\"not done\"") && c.rc != -1) << c.signals << "\n" << record;
        read_trace(dir + "/t.log"); // every line whole
    }
}

// A folder deeper than the file cache's 511 characters still works; a path
// longer than the system allows is refused with one line.
TEST(CliRuns, LongPaths) {
    std::string folder = work_dir();
    while (folder.size() < 600) {
        folder += "/" + std::string(100, 'd');
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    }
    write_image(folder + "/4009_SingleTarsel_B0_V1_0_0_4.bin", 0x01000004u);
    const CliRun r = run_cli(folder, "upgrade --json --channels 0.0 --nodes 1 --folder '" + folder + "'");
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(has(r.out, "\"version_after\":\"1.0.0.4\"")) << r.out;

    std::string tooLong = folder;
    while (tooLong.size() <= PATH_MAX) {
        tooLong += "/" + std::string(200, 'x');
    }
    const CliRun refused = run_cli(folder, "upgrade --folder '" + tooLong + "'");
    EXPECT_EQ(refused.rc, 2);
    EXPECT_EQ(std::count(refused.err.begin(), refused.err.end(), '\n'), 1) << refused.err;
    EXPECT_TRUE(has(refused.err, "longer than this system allows")) << refused.err;
}

// A good upgrade prints no error line. With --log or -v every line carries
// its time, and each line of a motor's upgrade names that motor although
// the three channels work at once; by default the log stays off the terminal.
TEST(CliRuns, GoodUpgradeLogsForPeople) {
    const std::string dir = work_dir();
    const std::map<std::string, std::string> motorOf = {{"4009_SingleTarsel_B0_V1_0_0_4.bin", "0.0 node 1"},
                                                        {"80026_DoubleBrisca_B0_V2_0_1_6.bin", "0.1 node 1"},
                                                        {"4011_DoubleBrisca_B16_V1_1_4_3.bin", "1.0 node 1"}};
    write_image(dir + "/4009_SingleTarsel_B0_V1_0_0_4.bin", 0x01000004u);
    write_image(dir + "/80026_DoubleBrisca_B0_V2_0_1_6.bin", 0x02000106u);
    write_image(dir + "/4011_DoubleBrisca_B16_V1_1_4_3.bin", 0x01010403u);
    static const std::regex kNamesNode(R"([Nn]ode(?: ID:)? (\d+))");
    for (const char *mode : {"", " -v", " --log"}) {
        const std::string logFile = dir + "/log.txt";
        const std::string extra = std::string(mode) == " --log" ? " --log '" + logFile + "'" : mode;
        const CliRun r = run_cli(dir, std::string("upgrade --nodes 1 --folder '") + dir + "'" + extra);
        EXPECT_EQ(r.rc, 0) << r.out << r.err;
        EXPECT_TRUE(has(r.out, "3 ok, 0 failed")) << r.out;
        EXPECT_FALSE(has(r.err, "[ERROR]")) << r.err;
        if (mode[0] == '\0') {
            EXPECT_FALSE(has(r.err, "[INFO]")) << r.err;
            continue;
        }
        // Standard error also carries the program's own lines ("ostrelo-cli: ...").
        std::string log = mode[2] == 'v' ? "" : read_file(logFile);
        std::istringstream err(r.err);
        for (std::string l; mode[2] == 'v' && std::getline(err, l);) {
            log += l.rfind("ostrelo-cli: ", 0) == 0 ? "" : l + "\n";
        }
        const std::vector<LogLine> lines = read_log(log);
        size_t first = lines.size(), last = 0, upgrades = 0, switches = 0;
        for (size_t i = 0; i < lines.size(); ++i) {
            const LogLine &l = lines[i];
            EXPECT_FALSE(has(l.text, "[ERROR]")) << l.text;
            std::smatch m;
            if (std::regex_search(l.text, m, kNamesNode)) {
                EXPECT_EQ(l.node, std::stoi(m[1])) << mode << ": " << l.context << "  " << l.text;
            }
            for (const auto &f : motorOf) {
                if (has(l.text, "Upgrade of node 1 with " + dir + "/" + f.first)) {
                    EXPECT_EQ(l.context, f.second) << l.text;
                    first = std::min(first, i);
                    ++upgrades;
                }
            }
            last = l.node >= 0 ? i : last;
        }
        EXPECT_EQ(upgrades, 3u) << mode << "\n" << log;
        for (size_t i = first; i <= last && i < lines.size(); ++i) {
            EXPECT_GE(lines[i].node, 0)
                << mode << ": a line of the upgrade names no motor: " << lines[i].text;
            switches += i > first && lines[i].channel != lines[i - 1].channel ? 1 : 0;
        }
        EXPECT_GT(switches, 3u) << mode << ": the channels did not work at once";
    }
}
