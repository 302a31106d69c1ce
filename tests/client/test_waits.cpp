// How the client API waits for frames: it sleeps until a frame arrives, its
// deadline passes or the channel is woken, and it does not keep a core busy
// meanwhile.
#include "bench_fixture.h"

#include <atomic>
#include <thread>
#include <time.h>

using namespace benchtest;

namespace {

double thread_cpu_ms() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

class Waits : public Bench {
  protected:
    void SetUp() override {
        Bench::SetUp();
        sim_bench_set_timing(1);
        id_ = one_channel(0, 0, 1000, {motor(0, 0, 4, SIM_START_BOOT_HELD)});
    }
    client_channel_id_t id_{};
};

// What ends a raw receive of 3000 ms: a frame that another thread puts on the
// bus after 50 ms, a wake after 50 ms, or the deadline itself, also when the
// millisecond tick wraps during the wait.
TEST_F(Waits, RawReceiveEndsOnFrameWakeOrDeadline) {
    enum Cause { kFrame, kWake, kDeadline };
    const struct {
        Cause cause;
        uint32_t tickOrigin;
        uint32_t timeoutMs;
        int result;
    } cases[] = {
        {kFrame, 0, 3000, 0},    {kFrame, 0xFFFFFFFFu - 20u, 3000, 0},    {kWake, 0, 3000, -1},
        {kDeadline, 0, 120, -1}, {kDeadline, 0xFFFFFFFFu - 40u, 120, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << "cause " << c.cause << ", tick origin " << c.tickOrigin);
        ostrelo_time_set_tick_origin(c.tickOrigin);
        // Taken before the other thread starts, so its 50 ms are all inside
        // the measured time however late this thread is scheduled.
        const uint64_t t0 = ostrelo_monotonic_us();
        std::thread other([&] {
            if (c.cause == kDeadline) {
                return;
            }
            delay_ms(50);
            if (c.cause == kFrame) {
                const uint8_t d[2] = {0x11, 0x22};
                sim_bench_inject(0, 0, 0x123, 2, d);
            } else {
                client_api_wake_channel(id_);
            }
        });
        CO_CANrxMsg_t f{};
        const int rc = client_api_receive_raw_can(id_, &f, c.timeoutMs);
        const uint64_t ms = (ostrelo_monotonic_us() - t0) / 1000u;
        other.join();
        EXPECT_EQ(rc, c.result);
        if (c.cause == kDeadline) {
            EXPECT_GE(ms, c.timeoutMs);
        } else {
            EXPECT_GE(ms, 45u);
            EXPECT_LT(ms, c.timeoutMs / 2);
        }
        if (c.cause == kFrame) {
            EXPECT_EQ(f.ident, 0x123u);
            EXPECT_EQ(f.DLC, 2u);
        }
    }
}

// Waits that last a while — for an answer that does not come — leave the
// core to others: the waiting thread uses a small part of the time it waits.
TEST_F(Waits, LongWaitsSleepInsteadOfPolling) {
    sim_fault_t silent;
    sim_fault_init(&silent);
    silent.silent = 1;
    silent.ignoreStop = 1;
    ASSERT_EQ(sim_bench_set_node_fault(0, 0, 4, &silent), 1);
    const std::string image = write_image(dir(), "fw.bin", 2000, 0x02000000u);
    uint8_t buf[8];
    size_t got = 0;
    const struct {
        const char *what;
        std::function<bool()> run; // true: ended as a failure
    } cases[] = {
        {"raw receive",
         [&] {
             CO_CANrxMsg_t f;
             return client_api_receive_raw_can(id_, &f, 400) != 0;
         }},
        {"SDO read",
         [&] { return client_api_sdo_read(id_, 4, 0x1F56, 1, buf, sizeof(buf), &got, 400) != 0; }},
        {"block transfer",
         [&] { return client_api_transfer_file_block(id_, 4, 0x1F50, 1, image.c_str(), 4) != 0; }},
        {"hold for a duration", [&] { return client_api_prevent_app_start_for_duration(id_, 4, 400) != 0; }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        bool failed = false;
        const double cpu0 = thread_cpu_ms();
        const uint64_t t0 = ostrelo_monotonic_us();
        capture([&] { failed = c.run(); });
        const double wall = static_cast<double>(ostrelo_monotonic_us() - t0) / 1000.0;
        const double cpu = thread_cpu_ms() - cpu0;
        EXPECT_TRUE(failed);
        EXPECT_GE(wall, 390.0);
        EXPECT_LT(cpu, wall * 0.25) << cpu << " ms of CPU in " << wall << " ms";
    }
}

} // namespace
