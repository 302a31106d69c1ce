/* The process-wide table of CAN backend operations, through which the
 * device manager, the CAN driver binding and the client API reach an adapter.
 * One table per backend: the adapter library (ZHCX_OPS, with ZHCX_WAIT_OPS;
 * it reaches the bench, SocketCAN or a vendor library through the adapter
 * library's stand-in) and the SocketCAN placeholder (SOCK_OPS, which opens
 * but brings no channel up).
 *
 * Common to every entry:
 *   - `dev` is what `create` returned; `channel` the channel on the adapter
 *     (0..CLIENT_MAX_CHANNELS-1). A NULL `dev` does no harm: the entry does
 *     nothing and fails (or returns no frames).
 *   - Results: 1 done, anything else failed (callers compare with 1); `send`
 *     true when the adapter took the frame; `recv_multi` a count. Where the
 *     adapter-library backend fails to open, set up or start, it prints one
 *     "[ERROR] ..." line saying so.
 *   - Threads: the device manager calls create, destroy, open, close, init
 *     and start from the thread that brings channels up. Each channel's
 *     worker calls send, recv_multi and the wait operations for its own
 *     channel, in parallel with the other channels' workers on the same
 *     device; `wake` comes from any thread. A backend keeps no lock across
 *     a call that waits.
 *   - Required: create, open_device, init_channel, start_channel, send and
 *     recv_multi. A NULL required entry makes that operation fail (no
 *     adapter opened, no channel brought up, frame not sent, receive error).
 *     A NULL optional entry means the backend has nothing to do for it, as
 *     said at the entry. */
#ifndef CAN_BACKEND_H
#define CAN_BACKEND_H

#include <stdbool.h>
#include <stdint.h>

#include "CO_driver_target.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void *CANDevice;

typedef struct {
    /* Required. A new record for one adapter, or NULL when out of memory. */
    CANDevice (*create)(void);
    /* Optional. Frees the record (after close_device, when it was open).
     * NULL: the record needs no freeing. */
    void (*destroy)(CANDevice dev);
    /* Required. Opens adapter `index` of kind `type` for channels at
     * `bitrate_kbps` kbit/s (the rate is used when a channel is set up).
     * 1 when open; 0 when it is not there. */
    int (*open_device)(CANDevice dev, uint32_t type, uint32_t index, uint32_t bitrate_kbps);
    /* Optional. Closes the adapter; its channels stop. NULL: nothing to
     * close. */
    void (*close_device)(CANDevice dev);
    /* Required. Sets a channel up at the adapter's bit rate, dropping what
     * its buffers held. 1 done; 0 for a bit rate the adapter cannot do or a
     * channel it does not have. */
    int (*init_channel)(CANDevice dev, uint32_t channel);
    /* Required. Puts a set-up channel on the bus. 1 done, 0 failed. */
    int (*start_channel)(CANDevice dev, uint32_t channel);
    /* Required. Sends one frame of `len` (at most 8) bytes from `data` (NULL:
     * no bytes). true when the adapter took it, false when it
     * refused it (not started, nobody acknowledging, queue full). May block
     * while the adapter's transmit queue is full, for at most its give-up
     * time (half a second on the bench). */
    bool (*send)(CANDevice dev, uint32_t channel, uint32_t id, uint8_t remote, uint8_t extended,
                 const uint8_t *data, uint8_t len);
    /* Required. Moves up to `cap` received standard data frames into
     * `frames` without waiting and returns their count (0: none); negative
     * when the adapter reported an error. Frames of other kinds (29-bit,
     * remote) are dropped and not counted. */
    int32_t (*recv_multi)(CANDevice dev, uint32_t channel, CO_CANrxMsg_t *frames, uint32_t cap);
    /* Optional. Drops the frames received on the channel and not yet taken.
     * NULL: the backend keeps no frames of its own (init_channel empties
     * the adapter's). */
    void (*clear_buffer)(CANDevice dev, uint32_t channel);
    /* Optional. Fills `info` (a VCI_BOARD_INFO) for an open adapter; 1 done.
     * NULL, or a failure: the adapter does not say (callers take two
     * channels). */
    int (*get_board_info)(CANDevice dev, void *info);
    /* Optional. Closes the adapter and resets its USB device; 1 done. NULL:
     * the backend cannot reset (a failure). */
    int (*reset_device)(CANDevice dev);
    /* Optional. Sends `count` frames in their order, in one hand-over where
     * the adapter allows, and returns how many of them, from the first, the
     * adapter took (fewer than `count`: it refused the next, as `send`
     * would). NULL: they go one by one through `send`. */
    uint32_t (*send_multi)(CANDevice dev, uint32_t channel, const CO_CANtxFrame_t *frames, uint32_t count);
} CANBackendOps;

/* Operations of a backend that can wait for frames instead of being polled,
 * found with can_backend_wait_ops(). Both optional. */
typedef struct {
    /* As recv_multi, but when nothing is there it sleeps until a frame
     * arrives, `wait_ms` pass, or `wake` is called for the channel, and then
     * returns (0 for the last two). NULL (or no wait table): callers poll
     * recv_multi once a millisecond. */
    int32_t (*recv_wait)(CANDevice dev, uint32_t channel, CO_CANrxMsg_t *frames, uint32_t cap,
                         uint32_t wait_ms);
    /* Ends a recv_wait sleeping on the channel now (or makes the next one
     * return at once); never blocks; 1 done. NULL: a sleeping recv_wait runs
     * to its deadline, and the caller sees the wake when it returns. */
    int (*wake)(CANDevice dev, uint32_t channel);
} CANBackendWaitOps;

/* The table in use; NULL until one is chosen, and every operation fails. */
extern const CANBackendOps *g_backend_ops;

const CANBackendOps *can_backend_get(void);
void can_backend_set(const CANBackendOps *ops);
void can_backend_set_zhcx(void);
void can_backend_set_socketcan(void);
/* The waiting operations that go with a backend table; NULL when its backend
 * can only be polled. */
const CANBackendWaitOps *can_backend_wait_ops(const CANBackendOps *ops);

#ifdef __cplusplus
}
#endif

#endif
