// The log of ostrelo-cli in-process: threads that hand the hook parts of
// lines at once, each under its own channel and node, and a line printed on
// descriptor 1 by code that is not ours.
#include "cli_test_util.h"

#include "cli.h"
#include "ostrelo_log.h"

#include <fcntl.h>
#include <thread>
#include <unistd.h>

using namespace clitest;

namespace {

using ByContext = std::map<std::string, std::vector<std::string>>;

// Logs from three threads at once and the calling one; returns the lines
// expected under every context.
ByContext log_from_threads() {
    ByContext expected;
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        const std::string context = "0." + std::to_string(t) + " node " + std::to_string(t + 1);
        std::vector<std::string> &lines = expected[context];
        for (int i = 0; i < 300; ++i) {
            lines.push_back("line " + std::to_string(i) + " of " + std::to_string(t) + ": a b");
        }
        lines.insert(lines.end(), {"x " + std::to_string(t), "y " + std::to_string(t), "left open"});
        threads.emplace_back([t, context] {
            const LogScope scope(context);
            for (int i = 0; i < 300; ++i) {
                ostrelo_info("line %d of %d:", i, t);
                ostrelo_info(" a");
                ostrelo_info(" b\n");
            }
            ostrelo_info("x %d\ny %d\nleft", t, t);
            ostrelo_info(" open"); // passed on when the thread ends
        });
    }
    {
        // By their level: a warning that does not say so in its text too.
        const LogScope channel("1.1");
        ostrelo_warning("[WARNING] channel only\n");
        ostrelo_warning("Upgrade of node 3, attempt 1: transfer failed\n");
    }
    ostrelo_info("no context\n");
    printf("not ours\n");
    fflush(stdout);
    for (std::thread &t : threads) {
        t.join();
    }
    expected["1.1"] = {"[WARNING] channel only", "Upgrade of node 3, attempt 1: transfer failed"};
    expected[""] = {"no context", "not ours"};
    return expected;
}

ByContext by_context(const std::string &log) {
    ByContext got;
    for (const LogLine &l : read_log(log)) {
        got[l.context].push_back(l.text);
    }
    // What code that is not ours prints is read by another thread: its
    // order against our own lines is not fixed.
    const auto foreign = got.find("");
    if (foreign != got.end()) {
        std::sort(foreign->second.begin(), foreign->second.end());
    }
    return got;
}

} // namespace

// The whole log in the file (--log) or on standard error (-v); by default
// only the warnings, on standard error, with their channel.
TEST(CliLog, EachThreadsLinesStayWhole) {
    const std::string dir = work_dir();
    const struct Case {
        const char *file;
        bool verbose;
        bool allInFile, allOnStderr;
    } cases[] = {{"log.txt", false, true, false}, {"", true, false, true}, {"", false, false, false}};
    for (const Case &c : cases) {
        const std::string path = c.file[0] != '\0' ? dir + "/" + c.file : "";
        const std::string errPath = dir + "/err.txt";
        const int savedOut = dup(1); // log_finish closes descriptor 1
        const int savedErr = dup(2);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_TRUE(savedOut >= 0 && savedErr >= 0 && err >= 0);
        dup2(err, 2);
        close(err);
        ASSERT_TRUE(log_init(path, c.verbose));
        ByContext expected = log_from_threads();
        log_finish();
        ostrelo_log_set_sink(nullptr, nullptr);
        dup2(savedOut, 1);
        dup2(savedErr, 2);
        close(savedOut);
        close(savedErr);

        const ByContext onlyWarning = {{"1.1", expected["1.1"]}};
        const ByContext inFile = c.allInFile ? expected : ByContext();
        const ByContext onStderr = c.allOnStderr ? expected : c.allInFile ? ByContext() : onlyWarning;
        EXPECT_EQ(by_context(path.empty() ? "" : read_file(path)), inFile) << c.file << c.verbose;
        EXPECT_EQ(by_context(read_file(errPath)), onStderr) << c.file << c.verbose;
    }
}
