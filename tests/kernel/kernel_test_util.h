// Helpers of the tests that run in a kernel with CAN (scripts/can-kernel.sh),
// where vcan0..vcan3 are up and tc, ip and candump work.
#ifndef OSTRELO_KERNEL_TEST_UTIL_H
#define OSTRELO_KERNEL_TEST_UTIL_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>

#include "cli_test_util.h"
#include "client_api.h"
#include "sim_bench.h"

namespace kerneltest {

// The four interfaces, as the tool's adapters 0 and 1 with two channels each.
constexpr const char *kMap = "0.0=vcan0,0.1=vcan1,1.0=vcan2,1.1=vcan3";

inline int sh(const std::string &cmd) {
    const int st = system(cmd.c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

// Empty when vcan0..vcan3 are up, else why not.
inline std::string missing_interfaces() {
    return sh("for i in 0 1 2 3; do ip link show vcan$i 2>/dev/null | grep -q ',UP' || exit 1; done") == 0
               ? ""
               : "vcan0..vcan3 are not up: run this inside scripts/can-kernel.sh";
}

// Skips without the interfaces, or fails where they must be there.
#define KERNEL_REQUIRE_VCAN()                                                                                \
    do {                                                                                                     \
        const std::string why = kerneltest::missing_interfaces();                                            \
        if (!why.empty()) {                                                                                  \
            const char *required = getenv("OSTRELO_TEST_CAN_REQUIRED");                                      \
            if (required != nullptr && required[0] == '1') {                                                 \
                FAIL() << why;                                                                               \
            }                                                                                                \
            GTEST_SKIP() << why;                                                                             \
        }                                                                                                    \
    } while (0)

inline void clear_qdiscs() {
    sh("for i in 0 1 2 3; do tc qdisc del dev vcan$i root 2>/dev/null; ip link set vcan$i up; done");
}

inline size_t count_of(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

} // namespace kerneltest

#endif
