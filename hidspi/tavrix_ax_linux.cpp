// AX99100 transport on Linux: the driver requests travel as ioctl()s on the
// controller's device node (see ax99100_ioctl.h for the contract).
#include "ax99100_ioctl.h"
#include "tavrix_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

unsigned long linux_request(uint32_t code) {
    switch (code) {
    case TAVRIX_AX_WRITE_REG8:
        return AX99100_IOC_WRITE_REG8;
    case TAVRIX_AX_READ_REG8:
        return AX99100_IOC_READ_REG8;
    case TAVRIX_AX_WRITE_REG32:
        return AX99100_IOC_WRITE_REG32;
    case TAVRIX_AX_READ_REG32:
        return AX99100_IOC_READ_REG32;
    case TAVRIX_AX_LOAD_TX:
        return AX99100_IOC_LOAD_TX;
    case TAVRIX_AX_FETCH_RX:
        return AX99100_IOC_FETCH_RX;
    case TAVRIX_AX_SET_LEN1:
        return AX99100_IOC_SET_LEN1;
    case TAVRIX_AX_SET_LEN2:
        return AX99100_IOC_SET_LEN2;
    default:
        return 0;
    }
}

tavrix_handle_t ax_open(const char *name) {
    const int fd = ::open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return TAVRIX_INVALID_HANDLE;
    // The controller is not shared: a second user of the node is refused.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return TAVRIX_INVALID_HANDLE;
    }
    return (tavrix_handle_t)fd;
}

int ax_request(tavrix_handle_t handle, uint32_t code, const void *in, size_t in_size, void *out,
               size_t out_size) {
    const unsigned long request = linux_request(code);
    if (handle == TAVRIX_INVALID_HANDLE || request == 0 || in_size > 0xFFFFFFFFu || out_size > 0xFFFFFFFFu)
        return 0;
    struct ax99100_request envelope = {};
    envelope.in_ptr = (__u64)(uintptr_t)in;
    envelope.out_ptr = (__u64)(uintptr_t)out;
    envelope.in_size = (__u32)in_size;
    envelope.out_size = out != nullptr ? (__u32)out_size : 0;
    int rc;
    do {
        rc = ioctl((int)handle, request, &envelope);
    } while (rc < 0 && errno == EINTR);
    return rc == 0 ? 1 : 0;
}

void ax_close(tavrix_handle_t handle) {
    if (handle != TAVRIX_INVALID_HANDLE)
        ::close((int)handle);
}

const TavrixAxOps k_ax_ops = {"/dev/AX99100SpiDevice2", ax_open, ax_request, ax_close};

} // namespace

extern "C" const TavrixAxOps *tavrix_native_ax_ops(void) {
    return &k_ax_ops;
}
