// Windows programs call the adapter library in ControlCAN.dll (the vendor's,
// or the stand-in built from the bench) through these nine functions. The
// import library binds the dll_ names by ordinal, as the vendor's DLL
// expects; the wrappers add the frame trace, and a receive that waits does
// so in slices, so that another thread can end it (controlcan_wake_receive).
#include "ControlCAN.h"
#include "controlcan_transport.h"
#include "sliced_receive.h"
#include "trace.h"

extern "C" {

DWORD dll_VCI_OpenDevice(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved);
DWORD dll_VCI_CloseDevice(DWORD DeviceType, DWORD DeviceInd);
DWORD dll_VCI_InitCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig);
DWORD dll_VCI_StartCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
DWORD dll_VCI_Transmit(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len);
DWORD dll_VCI_Receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len,
                      int32_t WaitTime);
DWORD dll_VCI_ClearBuffer(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
DWORD dll_VCI_ReadBoardInfo(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo);
DWORD dll_VCI_UsbDeviceReset(DWORD DevType, DWORD DevIndex, DWORD Reserved);

DWORD VCI_OpenDevice(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved) {
    return dll_VCI_OpenDevice(DeviceType, DeviceInd, Reserved);
}

DWORD VCI_CloseDevice(DWORD DeviceType, DWORD DeviceInd) {
    return dll_VCI_CloseDevice(DeviceType, DeviceInd);
}

DWORD VCI_InitCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig) {
    return dll_VCI_InitCAN(DeviceType, DeviceInd, CANInd, pInitConfig);
}

DWORD VCI_StartCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return dll_VCI_StartCAN(DeviceType, DeviceInd, CANInd);
}

DWORD VCI_Transmit(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len) {
    const DWORD sent = dll_VCI_Transmit(DeviceType, DeviceInd, CANInd, pSend, Len);
    if (pSend != nullptr) {
        controlcan_trace_frames(DeviceInd, CANInd, pSend, sent < Len ? sent : Len);
    }
    return sent;
}

DWORD VCI_Receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len,
                  int32_t WaitTime) {
    const DWORD got =
        controlcan_sliced_receive(dll_VCI_Receive, DeviceType, DeviceInd, CANInd, pReceive, Len, WaitTime);
    if (pReceive != nullptr && got != 0xFFFFFFFFu) {
        controlcan_trace_frames(DeviceInd, CANInd, pReceive, got < Len ? got : Len);
    }
    return got;
}

DWORD controlcan_wake_receive(DWORD, DWORD DeviceInd, DWORD CANInd) {
    return controlcan_sliced_wake(DeviceInd, CANInd);
}

DWORD VCI_ClearBuffer(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return dll_VCI_ClearBuffer(DeviceType, DeviceInd, CANInd);
}

DWORD VCI_ReadBoardInfo(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo) {
    return dll_VCI_ReadBoardInfo(DeviceType, DeviceInd, pInfo);
}

DWORD VCI_UsbDeviceReset(DWORD DevType, DWORD DevIndex, DWORD Reserved) {
    return dll_VCI_UsbDeviceReset(DevType, DevIndex, Reserved);
}

} // extern "C"
