/* Transports behind the adapter-library stand-in.
 *
 * A transport is one filled ControlCanTransport table. The stand-in
 * (controlcan.cpp) picks one per process from OSTRELO_CAN, or a test installs
 * its own, and each VCI_* call goes to the entry of the same name, with the
 * library's signature and results. The tables in this tree: the simulated
 * bench ("sim", sim_controlcan_transport()), SocketCAN ("socketcan",
 * transport_socketcan.cpp) and a vendor library loaded at run time ("lib",
 * transport_lib.cpp). On Windows the programs call the vendor's ControlCAN.dll
 * through a table of its functions ("vendor_win", vendor_win.cpp) and the
 * stand-in DLL has the bench only (transport_none_win.cpp offers no other).
 *
 * Common to every entry:
 *   - DeviceType is the adapter kind (VCI_USBCAN2), DeviceInd the adapter's
 *     index, CANInd the channel on it. Numbers the transport does not have
 *     make the call fail; the stand-in's own transports have at most
 *     CONTROLCAN_MAX_ADAPTERS adapters of CONTROLCAN_MAX_CHANNELS channels.
 *   - Results are the library's: 1 done, 0 failed, except the frame counts
 *     of Transmit and Receive. A NULL pointer argument does no harm (the
 *     call fails, or Receive returns no frames); no entry reads or writes
 *     past the count it is given.
 *   - Thread-safety: any entry may be called from any thread at any time.
 *     The program runs one worker per channel, so calls on different
 *     channels must not wait for each other, and a Receive waiting on a
 *     channel must not hold up a Transmit or a WakeReceive on it.
 *   - Blocking: only Receive (with a wait time) and Transmit may block, as
 *     documented there; the others return after at most one exchange with
 *     the adapter or the kernel.
 *   - A failing entry may print one "[ERROR] ..." line that says why (for
 *     instance a SocketCAN interface that is down).
 *   - Required: every entry but WakeReceive. A NULL required entry makes
 *     that call fail (0; 0xFFFFFFFF for Receive); a NULL WakeReceive is
 *     described there. */
#ifndef OSTRELO_CONTROLCAN_TRANSPORT_H
#define OSTRELO_CONTROLCAN_TRANSPORT_H

#include "ControlCAN.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ControlCanTransport {
    /* Short name for messages and tests ("sim", "socketcan", "lib"). */
    const char *name;
    /* Required. Opens adapter DeviceInd (Reserved: 0). 1 when it is there and
     * open (opening an open adapter again is allowed and also gives 1), 0 when
     * there is no such adapter. */
    DWORD (*OpenDevice)(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved);
    /* Required. Closes the adapter: its channels stop, their buffers are
     * dropped, and every later call on them fails until it is opened, set up
     * and started again. 1 done, 0 for an adapter that does not exist. */
    DWORD (*CloseDevice)(DWORD DeviceType, DWORD DeviceInd);
    /* Required. Sets a channel of an open adapter up with the bit timing and
     * acceptance filter in *pInitConfig; the channel is stopped and its
     * buffers emptied. 1 done, 0 for a closed adapter, a channel it does not
     * have, a NULL config or timing it cannot do. */
    DWORD (*InitCAN)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig);
    /* Required. Puts a set-up channel on the bus. 1 done; 0 when the channel
     * was not set up (or, for SocketCAN, its interface is down). */
    DWORD (*StartCAN)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
    /* Required. Sends pSend[0..Len-1] in order and returns how many were
     * accepted (0..Len): it stops at the first frame refused (channel not
     * started, adapter closed, no node acknowledging, transmit queue full),
     * and the frames after it are not sent. DataLen above 8 goes out as 8.
     * May block while the adapter's transmit queue is full or a frame is
     * retried for want of an acknowledgement (the bench gives up after
     * SIM_TX_WAIT_MS); never indefinitely. */
    DWORD (*Transmit)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len);
    /* Required. Moves up to Len received frames, oldest first, into
     * pReceive and returns their count; 0xFFFFFFFF for an error (adapter
     * closed, channel it does not have, a receive fault of the adapter).
     * WaitTime <= 0: returns at once. WaitTime > 0 with nothing received:
     * waits until a frame arrives (returning it), WakeReceive is called for
     * the channel (returning 0), or WaitTime ms passed (returning 0), and
     * returns within a few milliseconds of the first of these. A Receive
     * that cannot wait or be woken leaves WakeReceive NULL; see there. */
    DWORD(*Receive)
    (DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len, int32_t WaitTime);
    /* Required. Drops the frames received on the channel and not yet taken.
     * 1 done, 0 for a closed adapter or a channel it does not have. */
    DWORD (*ClearBuffer)(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd);
    /* Required. Fills *pInfo (can_Num: the adapter's channel count; serial
     * number and hardware type as text). 1 done, 0 for an adapter that is
     * not there or a NULL pInfo. */
    DWORD (*ReadBoardInfo)(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo);
    /* Required. Resets the adapter's USB device (Reserved: 0); it comes back
     * closed. 1 done, 0 when it cannot be reset (SocketCAN never can). */
    DWORD (*UsbDeviceReset)(DWORD DevType, DWORD DevIndex, DWORD Reserved);
    /* Optional. Ends the Receive waiting on the channel now, or, when none is
     * waiting, makes the channel's next waiting Receive return 0 at once.
     * Never blocks; 1 done, 0 for numbers the transport does not have.
     * NULL: the transport's Receive is taken to be one that may ignore
     * WaitTime and cannot be woken. The stand-in then does the waiting
     * itself (controlcan_table_receive), in the one shared loop of
     * sliced_receive.cpp: it hands Receive
     * waits of at most 10 ms until a frame comes or the time is up, pauses
     * 1 ms after an empty answer that came back early, and its own wake
     * (controlcan_wake_receive) ends the loop within one slice. */
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

/* A SocketCAN transport of its own, beside the one OSTRELO_CAN chooses, for a
 * program that plays the other end of the bus in the same process (the bench
 * answering on CAN interfaces, a benchmark): its own sockets on the
 * interfaces of `map` ("0.0=can0,0.1=can1", the text after "socketcan:"),
 * used through the returned table only. Calling it again replaces the map.
 * NULL after printing why (a malformed map; not Linux). */
const ControlCanTransport *controlcan_socketcan_peer(const char *map);

/* Ends a VCI_Receive that waits on the channel (or the channel's next one),
 * for a caller that has to stop waiting early: the transport's WakeReceive,
 * or the shared sliced wait's wake for a transport without one. 1 done, 0 when
 * no transport is chosen or the numbers are out of range. */
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
