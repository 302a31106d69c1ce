#include "can_backend.h"

#include "can_backend_socketcan.h"
#include "can_backend_zhcx.h"

// No backend until one is chosen; every caller treats that as a failure.
const CANBackendOps *g_backend_ops = nullptr;

extern "C" const CANBackendOps *can_backend_get(void) {
    return g_backend_ops;
}

extern "C" void can_backend_set(const CANBackendOps *ops) {
    g_backend_ops = ops;
}

extern "C" void can_backend_set_zhcx(void) {
    can_backend_set(&ZHCX_OPS);
}

extern "C" void can_backend_set_socketcan(void) {
    can_backend_set(&SOCK_OPS);
}

extern "C" const CANBackendWaitOps *can_backend_wait_ops(const CANBackendOps *ops) {
    return ops == &ZHCX_OPS ? &ZHCX_WAIT_OPS : nullptr;
}
