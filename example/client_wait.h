/* Waiting for frames in the client API: the one place that sleeps until a
 * frame arrives, a deadline passes or the channel is woken. */
#ifndef CLIENT_WAIT_H
#define CLIENT_WAIT_H

#include <stdint.h>

#include "client_store.h"

#ifdef __cplusplus
extern "C" {
#endif

/* For the CANopen path of `ch`: when its receive queue is empty, fills it
 * from the adapter, sleeping until a frame arrives, `wait_ms` pass or the
 * channel is woken. Returns the frames queued (0 when none came, -1 when the
 * adapter reported an error). Returns at once when frames are queued already. */
int32_t client_channel_wait_frames(client_channel_context_t *ch, uint32_t wait_ms);

/* Before a new SDO exchange on `ch`: drops the frames of the CANopen path
 * that came before it (queued, or waiting in the adapter now). A node
 * answers a transfer it aborted, or frames that reached it after its abort,
 * late; such an answer must not be taken for one of the new exchange. Does
 * not wait. Returns the frames dropped. */
int32_t client_channel_drop_stale(client_channel_context_t *ch);

/* Between two passes of an SDO polling loop on `ch` whose last pass (looked
 * at the clock at `last_pass_us`, monotonic) returned `ret`: while the client
 * waits for an answer, sleeps until the next frame, the SDO client's time-out
 * or the loop's own limit (more than `limit_ms` after `start_us`, monotonic),
 * whichever comes first; 1 ms while a request waits for room in the adapter;
 * not at all while a block is being sent. Returns 1 when the next pass is due
 * before the limit (a frame came, or the SDO client's time-out is first): the
 * loop then makes that pass before it checks its limit. */
int client_sdo_wait_between_passes(client_channel_context_t *ch, int ret, uint64_t start_us,
                                   uint32_t limit_ms, uint64_t last_pass_us);

#ifdef __cplusplus
}
#endif

#endif
