/* Transports behind the adapter-library stand-in. Each transport offers the
 * nine adapter operations with the library's signatures and results; the
 * stand-in picks one per process from OSTRELO_CAN (sim, socketcan:..., lib:...)
 * or a test installs its own. */
#ifndef OSTRELO_CONTROLCAN_TRANSPORT_H
#define OSTRELO_CONTROLCAN_TRANSPORT_H

#include "ControlCAN.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ControlCanTransport {
    const char *name;
    DWORD (*OpenDevice)(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved);
    DWORD (*CloseDevice)(DWORD DeviceType, DWORD DeviceInd);
    DWORD (*InitCAN)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig);
    DWORD (*StartCAN)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
    DWORD (*Transmit)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len);
    DWORD(*Receive)
    (DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len, int32_t WaitTime);
    DWORD (*ClearBuffer)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
    DWORD (*ReadBoardInfo)(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo);
    DWORD (*UsbDeviceReset)(DWORD DevType, DWORD DevIndex, DWORD Reserved);
    /* Optional: makes a Receive waiting on the channel (WaitTime > 0) return
     * now, or the next one at once when none is waiting. 1 when supported. */
    DWORD (*WakeReceive)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
} ControlCanTransport;

/* Installs `t` for every later call (NULL: choose again from OSTRELO_CAN on
 * the next call). For tests. */
void controlcan_set_transport(const ControlCanTransport *t);

/* The transport in use, choosing it from OSTRELO_CAN on first use; NULL when
 * the variable is malformed (every adapter call then fails). */
const ControlCanTransport *controlcan_get_transport(void);

/* Why the transport chosen from OSTRELO_CAN cannot work (a malformed value,
 * a SocketCAN interface that is missing or down): the explanation printed on
 * standard output, as one line without prefix; NULL when there is none. */
const char *controlcan_transport_problem(void);

/* Ends a VCI_Receive that waits on the channel (or the channel's next one),
 * for a caller that has to stop waiting early. Returns 1 when the transport
 * can do it, 0 otherwise. */
DWORD controlcan_wake_receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);

/* Turns the text after "name:" of an OSTRELO_CAN value into a transport
 * (`arg` is NULL for the bare "name"); returns NULL after printing why not. */
typedef const ControlCanTransport *(*controlcan_transport_provider_t)(const char *arg);

/* Lets a transport that lives above the stand-in (the simulated bench) be
 * chosen by name without the stand-in linking it: OSTRELO_CAN=name or
 * name:arg then asks `provider`. "sim" is also the default (variable unset or
 * empty). Registering a name again replaces its provider. Call it before the
 * first adapter call, from the program's start-up. Returns 1, or 0 when the
 * name is empty, too long, contains ':' or the table is full. */
#define CONTROLCAN_MAX_REGISTERED 8
#define CONTROLCAN_NAME_MAX 16
int controlcan_register_transport(const char *name, controlcan_transport_provider_t provider);

#ifdef __cplusplus
}
#endif

#endif
