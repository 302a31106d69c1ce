// Helpers of the ostrelo-cli tests: run the program, read a frame trace back.
#ifndef OSTRELO_CLI_TEST_UTIL_H
#define OSTRELO_CLI_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "sim_bench.h"

namespace clitest {

struct CliRun {
    int rc = -1;
    std::string out;
    std::string err;
};

inline std::string read_file(const std::string &path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// An image the bench accepts, carrying `version` in its trailer.
inline void write_image(const std::string &path, uint32_t version, size_t body = 4096) {
    std::string image(body + SIM_TRAILER_LEN, '\0');
    for (size_t i = 0; i < body; ++i) {
        image[i] = static_cast<char>(i * 31 + 7);
    }
    sim_image_make_trailer(reinterpret_cast<const uint8_t *>(image.data()), body, version,
                           reinterpret_cast<uint8_t *>(&image[body]));
    std::ofstream(path, std::ios::binary) << image;
}

inline std::string work_dir() {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(t->test_suite_name()) + "_" + t->name();
    for (char &c : name) {
        if (c == '/') {
            c = '_';
        }
    }
    const std::string dir = std::string(OSTRELO_CLI_WORKDIR) + "/" + name;
    const std::string cmd = "rm -rf '" + dir + "' && mkdir -p '" + dir + "'";
    EXPECT_EQ(system(cmd.c_str()), 0);
    return dir;
}

// Runs ostrelo-cli with `args` on the test bench (or `can` as OSTRELO_CAN),
// standard output and error captured apart, standard input empty; its
// upgrade history is the test's own, in `dir` (--history names another).
// With `interruptAfter` (seconds) it gets SIGINT, as from Ctrl-C, then, or
// the `signals` named (blank-separated, 0.2 s apart; joined by '+', at
// once). rc is -1 when a signal ended it.
inline CliRun run_cli(const std::string &dir, const std::string &args,
                      const std::string &can = std::string("sim:") + OSTRELO_CLI_SCENARIO,
                      const char *interruptAfter = nullptr, const std::string &signals = "INT") {
    static int n = 0;
    const std::string base = dir + "/run" + std::to_string(++n);
    std::string cmd = "OSTRELO_CAN='" + can + "' OSTRELO_TRACE= OSTRELO_HISTORY='" + dir +
                      "/history.sqlite' '" + OSTRELO_CLI_BIN + "' " + args + " >'" + base + ".out' 2>'" +
                      base + ".err' </dev/null";
    if (interruptAfter != nullptr) {
        cmd +=
            " & p=$!; sleep " + std::string(interruptAfter) + "; for s in " + signals +
            "; do for t in $(echo $s | tr + ' '); do kill -$t $p 2>/dev/null; done; sleep 0.2; done; wait $p";
    }
    const int st = system(cmd.c_str());
    CliRun r;
    r.rc = WIFEXITED(st) && WEXITSTATUS(st) < 128 ? WEXITSTATUS(st) : -1;
    r.out = read_file(base + ".out");
    r.err = read_file(base + ".err");
    return r;
}

// The lines of `in` in `format`, each as its groups (0: the whole line); a
// line in another format fails the test, named as not a `what`.
inline std::vector<std::vector<std::string>> match_lines(std::istream &in, const std::regex &format,
                                                         const char *what) {
    std::vector<std::vector<std::string>> lines;
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_match(l, m, format)) {
            ADD_FAILURE() << "not a " << what << ": '" << l << "'";
            continue;
        }
        lines.emplace_back(m.begin(), m.end());
    }
    return lines;
}

// One line of a candump log file.
struct TraceLine {
    double time = 0;
    std::string iface;
    unsigned id = 0;
    std::string data; // hex, or "R"
};

// Reads a trace back; a line that is not in the format fails the test.
inline std::vector<TraceLine> read_trace(const std::string &path) {
    static const std::regex kLine(
        R"(^\((\d+)\.(\d{6})\) (\S+) ([0-9A-F]{3}|[0-9A-F]{8})#((?:[0-9A-F]{2}){0,8}|R)$)");
    std::ifstream in(path);
    std::vector<TraceLine> lines;
    for (const std::vector<std::string> &m : match_lines(in, kLine, "candump log line")) {
        TraceLine t;
        t.time = std::stod(m[1] + "." + m[2]);
        t.iface = m[3];
        t.id = static_cast<unsigned>(std::stoul(m[4], nullptr, 16));
        t.data = m[5];
        lines.push_back(t);
    }
    return lines;
}

// One line of the log: "<UTC time> <context>  <text>", the context "-" or
// "A.C" or "A.C node N".
struct LogLine {
    std::string context; // "" for "-"
    std::string channel;
    int node = -1;
    std::string text;
};

// Reads a log back; a line without its time and context fails the test.
inline std::vector<LogLine> read_log(const std::string &text) {
    static const std::regex kLine(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z (-|(\d\.\d)(?: node (\d+))?)  (.*)$)");
    std::istringstream in(text);
    std::vector<LogLine> lines;
    for (const std::vector<std::string> &m : match_lines(in, kLine, "log line")) {
        LogLine x;
        x.context = m[1] == "-" ? "" : m[1];
        x.channel = m[2];
        x.node = m[3].empty() ? -1 : std::stoi(m[3]);
        x.text = m[4];
        lines.push_back(x);
    }
    return lines;
}

inline bool is_sdo(unsigned id) {
    return id >= 0x581 && id <= 0x67F;
}

} // namespace clitest

#endif
