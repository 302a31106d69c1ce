/* The one wait loop for transports whose receive cannot wait on its own: a
 * receive with a wait time from an adapter library that may honour
 * VCI_Receive's WaitTime or ignore it and return at once. The caller waits no
 * longer than asked, does not spin (an empty answer that came back early is
 * followed by a 1 ms sleep), and a wake from another thread ends the wait
 * within one slice. Used for every transport table without WakeReceive (a
 * vendor library loaded at run time on Linux, ControlCAN.dll on Windows). */
#ifndef OSTRELO_CONTROLCAN_SLICED_RECEIVE_H
#define OSTRELO_CONTROLCAN_SLICED_RECEIVE_H

#include "ControlCAN.h"
#include "controlcan_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef DWORD (*controlcan_receive_fn)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive,
                                       UINT Len, int32_t WaitTime);

DWORD controlcan_sliced_receive(controlcan_receive_fn receive, DWORD DeviceType, DWORD DeviceInd,
                                DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len, int32_t WaitTime);
/* Ends the sliced receive waiting on the channel (or its next one); 1 done,
 * 0 for a channel out of range. */
DWORD controlcan_sliced_wake(DWORD DeviceInd, DWORD CANInd);

/* VCI_Receive and its wake over a transport table: the table's own Receive
 * and WakeReceive when it has a WakeReceive, the sliced wait above when not.
 * A NULL table or Receive gives 0xFFFFFFFF, a NULL table 0 for the wake. */
DWORD controlcan_table_receive(const ControlCanTransport *t, DWORD DeviceType, DWORD DeviceInd, DWORD CANInd,
                               VCI_CAN_OBJ *pReceive, UINT Len, int32_t WaitTime);
DWORD controlcan_table_wake(const ControlCanTransport *t, DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);

#ifdef __cplusplus
}
#endif

#endif
