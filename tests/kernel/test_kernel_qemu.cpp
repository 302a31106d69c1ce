// What the QEMU route of scripts/can-kernel.sh offers beyond CAN: a HID
// device made through /dev/uhid appears as a hidraw node and goes again.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "uhid_test_util.h"

namespace {

using namespace uhidtest;

TEST(KernelQemu, UhidDeviceAppearsAsHidraw) {
    Uevents uevents;
    ASSERT_TRUE(uevents.ok()) << strerror(errno);
    const int fd = open("/dev/uhid", O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0) << "/dev/uhid: " << strerror(errno);
    // 64-byte input and output reports of a vendor page.
    static const uint8_t kReport[] = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00,
                                      0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x40, 0x09, 0x01,
                                      0x81, 0x02, 0x09, 0x01, 0x91, 0x02, 0xC0};
    ASSERT_TRUE(uhid_create(fd, kReport, sizeof kReport, "ostrelo test")) << strerror(errno);

    const std::string name = uevents.wait("add", "hidraw");
    ASSERT_NE("", name) << "no hidraw node";
    const std::string node = "/dev/" + name;
    const int raw = open(node.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(raw, 0) << node << ": " << strerror(errno);
    hidraw_devinfo info;
    ASSERT_EQ(0, ioctl(raw, HIDIOCGRAWINFO, &info));
    EXPECT_EQ(BUS_USB, info.bustype);
    EXPECT_EQ(0x16C0, static_cast<uint16_t>(info.vendor));
    EXPECT_EQ(0x2020, static_cast<uint16_t>(info.product));
    close(raw);

    ASSERT_TRUE(uhid_destroy(fd));
    close(fd);
    EXPECT_EQ(name, uevents.wait("remove", "hidraw"));
    struct stat st;
    EXPECT_NE(0, stat(node.c_str(), &st)) << node << " stayed";
}

} // namespace
