// Minimal vendor-style adapter library: exports the nine functions by name
// and loops transmitted frames back to the receiver.
#include <cstring>

#include "ControlCAN.h"

namespace {
VCI_CAN_OBJ g_loop[16];
unsigned g_count = 0;
} // namespace

extern "C" {
__attribute__((visibility("default"))) DWORD VCI_OpenDevice(DWORD, DWORD, DWORD) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_CloseDevice(DWORD, DWORD) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_InitCAN(DWORD, DWORD, DWORD, VCI_INIT_CONFIG *) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_StartCAN(DWORD, DWORD, DWORD) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_Transmit(DWORD, DWORD, DWORD, VCI_CAN_OBJ *o, UINT n) {
    for (UINT i = 0; i < n && g_count < 16; ++i) {
        g_loop[g_count++] = o[i];
    }
    return n;
}
__attribute__((visibility("default"))) DWORD VCI_Receive(DWORD, DWORD, DWORD, VCI_CAN_OBJ *o, UINT len,
                                                         int32_t) {
    const unsigned n = g_count < len ? g_count : len;
    memcpy(o, g_loop, n * sizeof(VCI_CAN_OBJ));
    g_count = 0;
    return n;
}
__attribute__((visibility("default"))) DWORD VCI_ClearBuffer(DWORD, DWORD, DWORD) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_ReadBoardInfo(DWORD, DWORD, VCI_BOARD_INFO *) {
    return 1;
}
__attribute__((visibility("default"))) DWORD VCI_UsbDeviceReset(DWORD, DWORD, DWORD) {
    return 1;
}
}
