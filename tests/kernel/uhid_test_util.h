// HID devices made through /dev/uhid, and the kernel's device events that
// tell when their nodes come and go (the QEMU route of scripts/can-kernel.sh).
#ifndef OSTRELO_UHID_TEST_UTIL_H
#define OSTRELO_UHID_TEST_UTIL_H

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include <linux/netlink.h>
#include <linux/uhid.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace uhidtest {

using Clock = std::chrono::steady_clock;

// Far beyond any limit of the code under test: what has not happened by
// then never will.
constexpr std::chrono::seconds kDeadline{10};

inline int ms_left(Clock::time_point end) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// The kernel's device events (as udev gets them). Open it before making the
// device, so that none is missed.
class Uevents {
  public:
    Uevents() {
        fd_ = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_KOBJECT_UEVENT);
        sockaddr_nl addr;
        memset(&addr, 0, sizeof addr);
        addr.nl_family = AF_NETLINK;
        addr.nl_groups = 1;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Uevents() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Uevents(const Uevents &) = delete;
    Uevents &operator=(const Uevents &) = delete;

    bool ok() const { return fd_ >= 0; }

    // Waits for ACTION ("add", "remove") of a device node of SUBSYSTEM; its
    // name under /dev, or "" when none came by the deadline.
    std::string wait(const std::string &action, const std::string &subsystem) {
        const Clock::time_point end = Clock::now() + kDeadline;
        for (;;) {
            pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, ms_left(end)) <= 0) {
                return "";
            }
            char buf[8192];
            const ssize_t n = recv(fd_, buf, sizeof buf - 1, 0);
            if (n <= 0) {
                continue;
            }
            buf[n] = '\0';
            std::string act, sub, name;
            for (ssize_t at = 0; at < n; at += static_cast<ssize_t>(strlen(buf + at)) + 1) {
                const std::string field(buf + at);
                if (field.rfind("ACTION=", 0) == 0) {
                    act = field.substr(7);
                } else if (field.rfind("SUBSYSTEM=", 0) == 0) {
                    sub = field.substr(10);
                } else if (field.rfind("DEVNAME=", 0) == 0) {
                    name = field.substr(8);
                }
            }
            if (act == action && sub == subsystem && !name.empty()) {
                return name;
            }
        }
    }

  private:
    int fd_ = -1;
};

// Makes a USB HID device 0x16C0:0x2020 (the Tavrix adapter's IDs) with the
// report descriptor given, on the /dev/uhid descriptor fd.
inline bool uhid_create(int fd, const uint8_t *descriptor, size_t size, const char *name) {
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    if (size > sizeof ev.u.create2.rd_data) {
        return false;
    }
    ev.type = UHID_CREATE2;
    snprintf(reinterpret_cast<char *>(ev.u.create2.name), sizeof ev.u.create2.name, "%s", name);
    ev.u.create2.rd_size = static_cast<uint16_t>(size);
    memcpy(ev.u.create2.rd_data, descriptor, size);
    ev.u.create2.bus = BUS_USB;
    ev.u.create2.vendor = 0x16C0;
    ev.u.create2.product = 0x2020;
    return write(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
}

inline bool uhid_destroy(int fd) {
    uhid_event ev;
    memset(&ev, 0, sizeof ev);
    ev.type = UHID_DESTROY;
    return write(fd, &ev, sizeof ev) == static_cast<ssize_t>(sizeof ev);
}

} // namespace uhidtest

#endif
