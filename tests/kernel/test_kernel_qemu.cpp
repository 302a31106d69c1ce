// What the QEMU route of scripts/can-kernel.sh offers beyond CAN: a HID
// device made through /dev/uhid appears as /dev/hidraw0 and goes again.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/uhid.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ostrelo_time.h"

namespace {

// Waits up to 10 s until `path` exists (or, with gone, no longer does).
bool wait_path(const char *path, bool gone) {
    const uint64_t t0 = ostrelo_monotonic_us();
    for (;;) {
        struct stat st;
        if ((stat(path, &st) == 0) != gone) {
            return true;
        }
        if (ostrelo_monotonic_us() - t0 > 10000000u) {
            return false;
        }
        delay_ms(10);
    }
}

TEST(KernelQemu, UhidDeviceAppearsAsHidraw) {
    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "/dev/uhid: " << strerror(errno);
    // 64-byte input and output reports of a vendor page.
    static const uint8_t kReport[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                      0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                      0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_CREATE2;
    snprintf(reinterpret_cast<char *>(ev.u.create2.name), sizeof ev.u.create2.name, "ostrelo test");
    ev.u.create2.rd_size = sizeof kReport;
    memcpy(ev.u.create2.rd_data, kReport, sizeof kReport);
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x16C0;
    ev.u.create2.product = 0x2020;
    ASSERT_EQ(static_cast<ssize_t>(sizeof ev), write(fd, &ev, sizeof ev)) << strerror(errno);

    ASSERT_TRUE(wait_path("/dev/hidraw0", false)) << "no /dev/hidraw0";
    const int raw = open("/dev/hidraw0", O_RDWR | O_CLOEXEC);
    ASSERT_GE(raw, 0) << strerror(errno);
    hidraw_devinfo info;
    ASSERT_EQ(0, ioctl(raw, HIDIOCGRAWINFO, &info));
    EXPECT_EQ(BUS_USB, info.bustype);
    EXPECT_EQ(0x16C0, static_cast<uint16_t>(info.vendor));
    EXPECT_EQ(0x2020, static_cast<uint16_t>(info.product));
    close(raw);

    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    ASSERT_EQ(static_cast<ssize_t>(sizeof ev), write(fd, &ev, sizeof ev));
    close(fd);
    EXPECT_TRUE(wait_path("/dev/hidraw0", true)) << "/dev/hidraw0 stayed";
}

} // namespace
