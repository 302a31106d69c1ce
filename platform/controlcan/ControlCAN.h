/* The USB-to-CAN adapter library interface (device type 4, "canalyst-II").
 * Records are the library's own little-endian layouts. On Linux the
 * functions are provided by a stand-in that routes each adapter channel to a
 * transport chosen with the OSTRELO_CAN environment variable. */
#ifndef OSTRELO_CONTROLCAN_H
#define OSTRELO_CONTROLCAN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifdef _WIN32
/* The vendor's 64-bit DLL has one calling convention; the types are the
 * system's own. */
#include <windows.h>
#else
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint16_t USHORT;
typedef uint8_t BYTE;
typedef char CHAR;
#endif

#define VCI_USBCAN2 4u

typedef struct _VCI_CAN_OBJ {
    UINT ID;
    UINT TimeStamp;
    BYTE TimeFlag;
    BYTE SendType;
    BYTE RemoteFlag;
    BYTE ExternFlag;
    BYTE DataLen;
    BYTE Data[8];
    BYTE Reserved[3];
} VCI_CAN_OBJ;

typedef struct _VCI_INIT_CONFIG {
    DWORD AccCode;
    DWORD AccMask;
    DWORD Reserved;
    BYTE Filter;
    BYTE Timing0;
    BYTE Timing1;
    BYTE Mode;
} VCI_INIT_CONFIG;

typedef struct _VCI_BOARD_INFO {
    USHORT hw_Version;
    USHORT fw_Version;
    USHORT dr_Version;
    USHORT in_Version;
    USHORT irq_Num;
    BYTE can_Num;
    CHAR str_Serial_Num[20];
    CHAR str_hw_Type[40];
    USHORT Reserved[4];
} VCI_BOARD_INFO;

#ifdef __cplusplus
static_assert(sizeof(VCI_CAN_OBJ) == 24, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, TimeStamp) == 4, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, TimeFlag) == 8, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, SendType) == 9, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, RemoteFlag) == 10, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, ExternFlag) == 11, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, DataLen) == 12, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, Data) == 13, "VCI_CAN_OBJ layout");
static_assert(offsetof(VCI_CAN_OBJ, Reserved) == 21, "VCI_CAN_OBJ layout");
static_assert(sizeof(VCI_INIT_CONFIG) == 16, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, AccMask) == 4, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, Reserved) == 8, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, Filter) == 12, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, Timing0) == 13, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, Timing1) == 14, "VCI_INIT_CONFIG layout");
static_assert(offsetof(VCI_INIT_CONFIG, Mode) == 15, "VCI_INIT_CONFIG layout");
static_assert(sizeof(VCI_BOARD_INFO) == 80, "VCI_BOARD_INFO layout");
static_assert(offsetof(VCI_BOARD_INFO, irq_Num) == 8, "VCI_BOARD_INFO layout");
static_assert(offsetof(VCI_BOARD_INFO, can_Num) == 10, "VCI_BOARD_INFO layout");
static_assert(offsetof(VCI_BOARD_INFO, str_Serial_Num) == 11, "VCI_BOARD_INFO layout");
static_assert(offsetof(VCI_BOARD_INFO, str_hw_Type) == 31, "VCI_BOARD_INFO layout");
static_assert(offsetof(VCI_BOARD_INFO, Reserved) == 72, "VCI_BOARD_INFO layout");
#endif

DWORD VCI_OpenDevice(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved);
DWORD VCI_CloseDevice(DWORD DeviceType, DWORD DeviceInd);
DWORD VCI_InitCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig);
DWORD VCI_StartCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
DWORD VCI_Transmit(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len);
DWORD VCI_Receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len,
                  int32_t WaitTime);
DWORD VCI_ClearBuffer(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
DWORD VCI_ReadBoardInfo(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo);
DWORD VCI_UsbDeviceReset(DWORD DevType, DWORD DevIndex, DWORD Reserved);

#ifdef __cplusplus
}
#endif

#endif
