// Windows programs call the adapter library in ControlCAN.dll (the vendor's,
// or the stand-in built from the bench) through these nine functions. The
// import library binds the dll_ names by ordinal, as the vendor's DLL
// expects; the wrappers add the frame trace, and a receive that waits does
// so in slices, so that another thread can end it (controlcan_wake_receive).
// As on Linux, the calls go through one transport table.
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

// The DLL's functions as one transport table. It has no WakeReceive: the
// DLL may ignore VCI_Receive's wait time and cannot be woken, so the shared
// sliced wait does the waiting.
const ControlCanTransport kVendorDll = {
    "vendor_win",     dll_VCI_OpenDevice, dll_VCI_CloseDevice, dll_VCI_InitCAN,       dll_VCI_StartCAN,
    dll_VCI_Transmit, dll_VCI_Receive,    dll_VCI_ClearBuffer, dll_VCI_ReadBoardInfo, dll_VCI_UsbDeviceReset,
    nullptr,
};

DWORD VCI_OpenDevice(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved) {
    return kVendorDll.OpenDevice(DeviceType, DeviceInd, Reserved);
}

DWORD VCI_CloseDevice(DWORD DeviceType, DWORD DeviceInd) {
    return kVendorDll.CloseDevice(DeviceType, DeviceInd);
}

DWORD VCI_InitCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig) {
    return kVendorDll.InitCAN(DeviceType, DeviceInd, CANInd, pInitConfig);
}

DWORD VCI_StartCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return kVendorDll.StartCAN(DeviceType, DeviceInd, CANInd);
}

DWORD VCI_Transmit(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len) {
    const DWORD sent = kVendorDll.Transmit(DeviceType, DeviceInd, CANInd, pSend, Len);
    if (pSend != nullptr) {
        controlcan_trace_frames(DeviceInd, CANInd, pSend, sent < Len ? sent : Len);
    }
    return sent;
}

DWORD VCI_Receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len,
                  int32_t WaitTime) {
    const DWORD got =
        controlcan_table_receive(&kVendorDll, DeviceType, DeviceInd, CANInd, pReceive, Len, WaitTime);
    if (pReceive != nullptr && got != 0xFFFFFFFFu) {
        controlcan_trace_frames(DeviceInd, CANInd, pReceive, got < Len ? got : Len);
    }
    return got;
}

DWORD controlcan_wake_receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return controlcan_table_wake(&kVendorDll, DeviceType, DeviceInd, CANInd);
}

DWORD VCI_ClearBuffer(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return kVendorDll.ClearBuffer(DeviceType, DeviceInd, CANInd);
}

DWORD VCI_ReadBoardInfo(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo) {
    return kVendorDll.ReadBoardInfo(DeviceType, DeviceInd, pInfo);
}

DWORD VCI_UsbDeviceReset(DWORD DevType, DWORD DevIndex, DWORD Reserved) {
    return kVendorDll.UsbDeviceReset(DevType, DevIndex, Reserved);
}

} // extern "C"
