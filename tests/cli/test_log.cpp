// The log of ostrelo-cli in-process: threads that hand the hook parts of
// lines at once, each under its own channel and node, and a line printed on
// descriptor 1 by code that is not ours.
#include "cli_test_util.h"

#include "cli.h"
#include "ostrelo_log.h"

#include <thread>
#include <unistd.h>

using namespace clitest;

TEST(CliLog, EachThreadsLinesStayWhole) {
    const std::string path = work_dir() + "/log.txt";
    const int saved = dup(1); // log_finish closes descriptor 1
    ASSERT_GE(saved, 0);
    ASSERT_TRUE(log_init(path, false));
    std::map<std::string, std::vector<std::string>> expected;
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
        const LogScope channel("1.1");
        ostrelo_warning("[WARNING] channel only\n");
    }
    ostrelo_info("no context\n");
    printf("not ours\n");
    fflush(stdout);
    for (std::thread &t : threads) {
        t.join();
    }
    log_finish();
    dup2(saved, 1);
    close(saved);
    expected["1.1"] = {"[WARNING] channel only"};
    expected[""] = {"no context", "not ours"};

    std::map<std::string, std::vector<std::string>> got;
    for (const LogLine &l : read_log(read_file(path))) {
        got[l.context].push_back(l.text);
    }
    // What code that is not ours prints is read by another thread: its
    // order against our own lines is not fixed.
    std::sort(got[""].begin(), got[""].end());
    for (const auto &e : expected) {
        EXPECT_EQ(got[e.first], e.second) << "context '" << e.first << "'";
    }
    EXPECT_EQ(got.size(), expected.size());
}
