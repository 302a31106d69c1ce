#include "can_backend_socketcan.h"

#include <cstdlib>

extern "C" {

const CANBackendOps SOCK_OPS = {
    sock_create, sock_destroy,    sock_open,  sock_close, sock_init,  sock_start,
    sock_send,   sock_recv_multi, sock_clear, sock_info,  sock_reset, nullptr,
};

CANDevice sock_create(void) {
    return calloc(1, sizeof(SOCK_Device));
}

void sock_destroy(CANDevice dev) {
    free(dev);
}

int sock_open(CANDevice dev, uint32_t, uint32_t, uint32_t bitrate_kbps) {
    if (!dev) {
        return 0;
    }
    static_cast<SOCK_Device *>(dev)->bitrate_bps = bitrate_kbps * 1000u;
    return 1;
}

void sock_close(CANDevice) {}

int sock_init(CANDevice, uint32_t) {
    return 0;
}

int sock_start(CANDevice, uint32_t) {
    return 0;
}

bool sock_send(CANDevice, uint32_t, uint32_t, uint8_t, uint8_t, const uint8_t *, uint8_t) {
    return false;
}

int32_t sock_recv_multi(CANDevice, uint32_t, CO_CANrxMsg_t *, uint32_t) {
    return 0;
}

void sock_clear(CANDevice, uint32_t) {}

int sock_info(CANDevice, void *) {
    return 0;
}

int sock_reset(CANDevice) {
    return 0;
}

} // extern "C"
