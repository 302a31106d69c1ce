// Shared helpers of the Tavrix tests.
#ifndef TAVRIX_TEST_UTIL_H
#define TAVRIX_TEST_UTIL_H

#include "Tavrix.h"
#include "tavrix_sim.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

// Every test starts from a freshly loaded library with both simulated
// adapters installed; the native transports come back afterwards.
class TavrixSimTest : public ::testing::Test {
  protected:
    void SetUp() override { tavrix_sim_install(); }
    void TearDown() override {
        tavrix_reset_state();
        tavrix_set_transports(nullptr, nullptr);
    }

    TavrixSimHid &hid() { return *tavrix_sim_hid(); }
    TavrixSimAx &ax() { return *tavrix_sim_ax(); }
};

inline void start_capture() {
    testing::internal::CaptureStdout();
}

inline std::string end_capture() {
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline double elapsed_ms(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

#endif
