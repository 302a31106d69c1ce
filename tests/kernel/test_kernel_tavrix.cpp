// libTavrix.so.1 on a HID adapter made through /dev/uhid: the library finds
// it with its hidapi, opens its hidraw node and exchanges reports through
// the kernel's HID stack, while this test plays the adapter. Runs in the
// QEMU route of scripts/can-kernel.sh, which has uhid and hidraw.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <fcntl.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "Tavrix.h"
#include "uhid_test_util.h"

namespace {

using namespace uhidtest;

constexpr size_t kPayload = 1024;
constexpr int kDestroyed = -1; // pseudo event: the adapter's device is gone

// The adapter, played on a uhid device: vendor 0x16C0, product 0x2020,
// unnumbered 1024-byte input and output reports. It answers each output
// report with an input report of its payload's complement (the bytes an SPI
// device clocks back); told to, it holds the answer back until released, or
// takes the device away instead.
class UhidAdapter {
  public:
    enum class Reply { Answer, Hold, Vanish };

    UhidAdapter() {
        fd_ = open("/dev/uhid", O_RDWR | O_CLOEXEC);
        stop_ = eventfd(0, EFD_CLOEXEC);
        if (fd_ >= 0 && stop_ >= 0) {
            thread_ = std::thread([this] { run(); });
        }
    }
    ~UhidAdapter() {
        if (thread_.joinable()) {
            const uint64_t one = 1;
            (void)!write(stop_, &one, sizeof one);
            thread_.join();
        }
        if (fd_ >= 0) {
            close(fd_); // destroys a device still there
        }
        if (stop_ >= 0) {
            close(stop_);
        }
    }
    UhidAdapter(const UhidAdapter &) = delete;
    UhidAdapter &operator=(const UhidAdapter &) = delete;

    bool ok() const { return thread_.joinable(); }

    bool create() {
        static const uint8_t kDescriptor[] = {0x06, 0x00, 0xFF,       // usage page: vendor
                                              0x09, 0x01,             // usage
                                              0xA1, 0x01,             // collection: application
                                              0x15, 0x00,             //   logical minimum 0
                                              0x26, 0xFF, 0x00,       //   logical maximum 255
                                              0x75, 0x08,             //   report size: 8 bits
                                              0x96, 0x00, 0x04,       //   report count: 1024
                                              0x09, 0x01, 0x81, 0x02, //   input (data, variable, absolute)
                                              0x09, 0x01, 0x91, 0x02, //   output (data, variable, absolute)
                                              0xC0};
        return uhid_create(fd_, kDescriptor, sizeof kDescriptor, "Tavrix adapter");
    }

    void reply_with(Reply r) {
        const std::lock_guard<std::mutex> lock(mutex_);
        reply_ = r;
    }

    // Waits for the next event of TYPE (UHID_OPEN, kDestroyed, ...),
    // dropping those before it.
    bool wait_event(int type) {
        std::unique_lock<std::mutex> lock(mutex_);
        const Clock::time_point end = Clock::now() + kDeadline;
        for (;;) {
            while (!events_.empty()) {
                const int next = events_.front();
                events_.pop_front();
                if (next == type) {
                    return true;
                }
            }
            if (changed_.wait_until(lock, end) == std::cv_status::timeout && events_.empty()) {
                return false;
            }
        }
    }

    // Sends the answer held back (after the library gave up waiting for it).
    bool release_held() {
        std::unique_ptr<uhid_event> ev;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            ev.swap(held_);
        }
        return ev != nullptr && send(*ev);
    }

    // Output reports as they reached the device, report ID byte included.
    std::vector<std::vector<uint8_t>> outputs() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return outputs_;
    }

  private:
    bool send(const uhid_event &ev) { return write(fd_, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev); }

    void note(int type) {
        const std::lock_guard<std::mutex> lock(mutex_);
        events_.push_back(type);
        changed_.notify_all();
    }

    void run() {
        uhid_event ev;
        for (;;) {
            pollfd p[2] = {{fd_, POLLIN, 0}, {stop_, POLLIN, 0}};
            if (poll(p, 2, -1) < 0 || (p[1].revents & POLLIN) != 0) {
                return;
            }
            if (read(fd_, &ev, sizeof ev) <= 0) {
                continue;
            }
            const int type = static_cast<int>(ev.type);
            if (type == UHID_OUTPUT) {
                on_output(ev.u.output);
            } else if (type == UHID_GET_REPORT || type == UHID_SET_REPORT) {
                // Not part of the adapter's protocol: refused at once.
                const bool get = type == UHID_GET_REPORT;
                const uint32_t id = get ? ev.u.get_report.id : ev.u.set_report.id;
                memset(&ev, 0, sizeof ev);
                ev.type = get ? UHID_GET_REPORT_REPLY : UHID_SET_REPORT_REPLY;
                if (get) {
                    ev.u.get_report_reply.id = id;
                    ev.u.get_report_reply.err = EIO;
                } else {
                    ev.u.set_report_reply.id = id;
                    ev.u.set_report_reply.err = EIO;
                }
                send(ev);
            }
            note(type);
        }
    }

    void on_output(const uhid_output_req &out) {
        Reply reply;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            outputs_.emplace_back(out.data, out.data + (out.size < UHID_DATA_MAX ? out.size : UHID_DATA_MAX));
            reply = out.rtype == UHID_OUTPUT_REPORT ? reply_ : Reply::Answer;
        }
        std::unique_ptr<uhid_event> ev(new uhid_event);
        memset(ev.get(), 0, sizeof *ev);
        if (reply == Reply::Vanish) {
            uhid_destroy(fd_);
            note(kDestroyed);
            return;
        }
        // The payload follows the report ID byte; what is missing of it
        // reads as zeros.
        ev->type = UHID_INPUT2;
        ev->u.input2.size = kPayload;
        for (size_t i = 0; i < kPayload; ++i) {
            ev->u.input2.data[i] = static_cast<uint8_t>(~(1 + i < out.size ? out.data[1 + i] : 0));
        }
        if (reply == Reply::Hold) {
            const std::lock_guard<std::mutex> lock(mutex_);
            held_.swap(ev);
            return;
        }
        send(*ev);
    }

    int fd_ = -1;
    int stop_ = -1;
    std::thread thread_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<int> events_;
    std::vector<std::vector<uint8_t>> outputs_;
    std::unique_ptr<uhid_event> held_;
    Reply reply_ = Reply::Answer;
};

// Runs a call of the library on a thread of its own. One that has not
// returned by the deadline hangs, and a hung call cannot be abandoned: the
// program ends, naming it.
template <typename F> int32_t returning(const char *what, F call) {
    std::promise<int32_t> done;
    std::future<int32_t> result = done.get_future();
    std::thread t([&] { done.set_value(call()); });
    if (result.wait_for(kDeadline) != std::future_status::ready) {
        fprintf(stderr, "%s did not return within %lld s\n", what, static_cast<long long>(kDeadline.count()));
        fflush(stderr);
        _exit(1);
    }
    t.join();
    return result.get();
}

int32_t exchange(const std::vector<uint8_t> &tx, std::vector<uint8_t> &rx) {
    return returning("UserSpiDataExchange", [&] {
        return UserSpiDataExchange(tx.data(), rx.data(), static_cast<uint32_t>(tx.size()));
    });
}

int32_t init_hid() {
    return returning("UserSys_Init", [] { return UserSys_Init(0); });
}

std::vector<uint8_t> pattern(size_t len) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i) {
        v[i] = static_cast<uint8_t>(i * 131u + len);
    }
    return v;
}

constexpr uint8_t kUntouched = 0x5A;

// An exchange of tx that must fail: 0, and nothing in rx. What the library
// printed.
std::string failed_exchange(const std::vector<uint8_t> &tx) {
    std::vector<uint8_t> rx(kPayload, kUntouched);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, exchange(tx, rx));
    fflush(stdout);
    EXPECT_EQ(std::vector<uint8_t>(kPayload, kUntouched), rx);
    return testing::internal::GetCapturedStdout();
}

// rx after an exchange of tx that the adapter answered: the complement of
// tx, and nothing written beyond tx's length.
void expect_answer(const std::vector<uint8_t> &tx, const std::vector<uint8_t> &rx) {
    for (size_t i = 0; i < tx.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(~tx[i]), rx[i]) << "byte " << i << " of " << tx.size();
    }
    for (size_t i = tx.size(); i < rx.size(); ++i) {
        ASSERT_EQ(kUntouched, rx[i]) << "byte " << i << " beyond the " << tx.size() << " asked for";
    }
}

// The report as the adapter got it: report ID 0, tx, then 0xCC.
void expect_report(const std::vector<uint8_t> &report, const std::vector<uint8_t> &tx) {
    ASSERT_EQ(1 + kPayload, report.size());
    EXPECT_EQ(0, report[0]) << "report ID";
    for (size_t i = 0; i < kPayload; ++i) {
        ASSERT_EQ(i < tx.size() ? tx[i] : 0xCC, report[1 + i]) << "payload byte " << i;
    }
}

class KernelTavrix : public ::testing::Test {
  protected:
    void SetUp() override {
        // The real shared library, as a C program links it.
        void *self = dlopen("libTavrix.so.1", RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(nullptr, self) << "libTavrix.so.1 is not what this program uses";
        dlclose(self);
        ASSERT_TRUE(uevents_.ok()) << "no uevent socket: " << strerror(errno);
        ASSERT_TRUE(adapter_.ok()) << "/dev/uhid: " << strerror(errno);
        ASSERT_NO_FATAL_FAILURE(plug());
        XF_SetDevType(0);
        ASSERT_EQ(1, init_hid());
        ASSERT_TRUE(adapter_.wait_event(UHID_OPEN)) << "the library did not open the adapter's node";
    }
    void TearDown() override {
        UserSys_Close();
        XF_SetDevType(1);
    }

    // Makes the device and waits until its hidraw node is there.
    void plug() {
        ASSERT_TRUE(adapter_.create()) << strerror(errno);
        ASSERT_NE("", uevents_.wait("add", "hidraw")) << "no hidraw node for the adapter";
    }

    Uevents uevents_;
    UhidAdapter adapter_;
};

// Transfers of one byte to a whole report come back whole; the GPIO calls
// (the AX99100's, whatever the device type) leave the HID adapter alone.
TEST_F(KernelTavrix, ExchangesComeBackWholeAndGpioLeavesTheAdapterAlone) {
    for (const size_t len : {size_t{1}, size_t{64}, kPayload}) {
        SCOPED_TRACE(len);
        const std::vector<uint8_t> tx = pattern(len);
        std::vector<uint8_t> rx(kPayload + 16, kUntouched);
        EXPECT_EQ(static_cast<int32_t>(kPayload), exchange(tx, rx));
        expect_answer(tx, rx);
        const auto reports = adapter_.outputs();
        ASSERT_FALSE(reports.empty());
        expect_report(reports.back(), tx);
    }
    const size_t before = adapter_.outputs().size();
    uint32_t word = 0x12345678;
    int32_t level = 7;
    EXPECT_EQ(-1, UserSetGpioDir(0x18));
    EXPECT_EQ(-1, UserSetGpioData_u32(0x10));
    EXPECT_EQ(-1, UserGetGpioData_u32(&word));
    EXPECT_EQ(-1, UserGetGpioDir(&word));
    EXPECT_EQ(0, UserSetGpioData(3, 1));
    EXPECT_EQ(-1, UserGetGpioData(3, &level));
    EXPECT_EQ(0x12345678u, word);
    EXPECT_EQ(7, level);
    EXPECT_EQ(before, adapter_.outputs().size());
    // The next exchange still gets its own answer.
    const std::vector<uint8_t> tx = pattern(64);
    std::vector<uint8_t> rx(kPayload, kUntouched);
    EXPECT_EQ(static_cast<int32_t>(kPayload), exchange(tx, rx));
    expect_answer(tx, rx);
}

// The adapter goes while it holds a request: the exchange fails, at once
// and with nothing in rx, and so does the next one. Init keeps the adapter
// it has open until it is closed; then it finds none, and the adapter once
// back.
TEST_F(KernelTavrix, AdapterThatVanishesMidTransfer) {
    const std::vector<uint8_t> tx = pattern(64);
    adapter_.reply_with(UhidAdapter::Reply::Vanish);
    EXPECT_EQ("ERROR: Read command error!\n", failed_exchange(tx));
    ASSERT_TRUE(adapter_.wait_event(kDestroyed));
    EXPECT_EQ("ERROR: Write command error!\n", failed_exchange(tx));

    EXPECT_EQ(0, init_hid()) << "still open";
    UserSys_Close();
    testing::internal::CaptureStdout();
    EXPECT_EQ(-1, init_hid()) << "no adapter";
    fflush(stdout);
    EXPECT_EQ("", testing::internal::GetCapturedStdout());

    adapter_.reply_with(UhidAdapter::Reply::Answer);
    ASSERT_NO_FATAL_FAILURE(plug());
    ASSERT_EQ(1, init_hid());
    ASSERT_TRUE(adapter_.wait_event(UHID_OPEN));
    std::vector<uint8_t> rx(kPayload, kUntouched);
    EXPECT_EQ(static_cast<int32_t>(kPayload), exchange(tx, rx));
    expect_answer(tx, rx);
    UserSys_Close();
    EXPECT_TRUE(adapter_.wait_event(UHID_CLOSE)) << "the library kept the adapter's node open";
}

// An answer that comes after the library gave up on it answers nothing:
// the next exchange gets its own.
TEST_F(KernelTavrix, AnswerAfterTheTimeLimitIsNotTakenForTheNextOne) {
    adapter_.reply_with(UhidAdapter::Reply::Hold);
    EXPECT_EQ("ERROR: Read command error!\n", failed_exchange(pattern(64)));
    ASSERT_TRUE(adapter_.release_held());

    adapter_.reply_with(UhidAdapter::Reply::Answer);
    for (const size_t len : {size_t{65}, size_t{66}}) {
        SCOPED_TRACE(len);
        const std::vector<uint8_t> tx = pattern(len);
        std::vector<uint8_t> got(kPayload, kUntouched);
        EXPECT_EQ(static_cast<int32_t>(kPayload), exchange(tx, got));
        expect_answer(tx, got);
    }
}

} // namespace
