#include <gtest/gtest.h>

#include "ostrelo_time.h"

namespace {

TEST(PlatformTime, ElapsedTimeSurvivesTheTickWrap) {
    ostrelo_time_set_tick_origin(0xFFFFFFFFu - 30u);
    const uint32_t start = get_current_time_ms();
    EXPECT_GE(start, 0xFFFFFFFFu - 40u);
    delay_ms(80);
    const uint32_t now = get_current_time_ms();
    EXPECT_LT(now, start); // the tick has wrapped
    const uint32_t elapsed = now - start;
    EXPECT_GE(elapsed, 80u);
    EXPECT_LT(elapsed, 60000u);
    ostrelo_time_set_tick_origin(0);
}

TEST(PlatformTime, DelaySleepsAtLeastTheGivenTime) {
    const uint64_t t0 = ostrelo_monotonic_us();
    delay_ms(15);
    EXPECT_GE(ostrelo_monotonic_us() - t0, 15000u);
    const uint64_t t1 = ostrelo_monotonic_us();
    delay_ms(0);
    EXPECT_GE(ostrelo_monotonic_us(), t1);
}

} // namespace
