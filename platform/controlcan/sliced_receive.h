/* A receive with a wait time from an adapter library that may honour
 * VCI_Receive's WaitTime or ignore it and return at once: the caller waits no
 * longer than asked, does not spin (an empty answer that came back early is
 * followed by a 1 ms sleep), and a wake from another thread ends the wait
 * within one slice. Used for a vendor library loaded at run time (Linux) and
 * for ControlCAN.dll (Windows). */
#ifndef OSTRELO_CONTROLCAN_SLICED_RECEIVE_H
#define OSTRELO_CONTROLCAN_SLICED_RECEIVE_H

#include "ControlCAN.h"

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

#ifdef __cplusplus
}
#endif

#endif
