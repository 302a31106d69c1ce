// Two threads on one device: each call is served whole, so neither thread
// gets the other's data. Also run under helgrind (test hidspi.helgrind).
#include "tavrix_test_util.h"

#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace {

// Holds both threads until each is ready, so that their calls overlap.
class StartLine {
  public:
    void arrive() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (++arrived_ == 2)
            all_.notify_all();
        all_.wait(lock, [this] { return arrived_ == 2; });
    }

  private:
    std::mutex mutex_;
    std::condition_variable all_;
    int arrived_ = 0;
};

int rounds() {
    const char *value = getenv("TAVRIX_TEST_ROUNDS");
    return value != nullptr && atoi(value) > 0 ? atoi(value) : 20000;
}

// One thread's share: exchanges of its own random data (the simulated
// devices answer with the complement) and, on the controller, its own GPIO
// pin. Returns the calls that failed or brought back wrong data.
int work(int thread, int device_type, int count) {
    std::mt19937 rng(1234u + (unsigned)thread);
    std::vector<uint8_t> tx(TAVRIX_PAYLOAD_SIZE), rx(TAVRIX_PAYLOAD_SIZE);
    const int32_t success = device_type == 0 ? TAVRIX_PAYLOAD_SIZE : 1;
    int bad = 0;
    for (int round = 0; round < count; ++round) {
        const uint32_t len = 1 + rng() % (device_type == 0 ? TAVRIX_PAYLOAD_SIZE : 300);
        for (uint32_t i = 0; i < len; ++i)
            tx[i] = (uint8_t)rng();
        bool ok = UserSpiDataExchange(tx.data(), rx.data(), len) == success;
        for (uint32_t i = 0; ok && i < len; ++i)
            ok = rx[i] == (uint8_t)~tx[i];
        if (device_type != 0) {
            const int32_t level = round & 1;
            int32_t read_back = -1;
            ok = ok && UserSetGpioData((uint8_t)thread, level) == 1 &&
                 UserGetGpioData((uint8_t)thread, &read_back) == 1 && read_back == level;
        }
        bad += ok ? 0 : 1;
    }
    return bad;
}

class ThreadsTest : public TavrixSimTest {};

TEST_F(ThreadsTest, TwoThreadsGetTheirOwnData) {
    const struct {
        const char *device;
        int type;
    } rows[] = {{"AX99100", 1}, {"HID", 0}};
    const int count = rounds();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.device);
        tavrix_sim_install();
        hid().answer_writes = 1;
        XF_SetDevType(row.type);
        ASSERT_EQ(1, UserSys_Init(1000000));
        StartLine start;
        int bad[2] = {0, 0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t)
            threads.emplace_back([&, t] {
                start.arrive();
                bad[t] = work(t, row.type, count);
            });
        for (auto &thread : threads)
            thread.join();
        EXPECT_EQ(0, bad[0]);
        EXPECT_EQ(0, bad[1]);
        UserSys_Close();
    }
}

} // namespace
