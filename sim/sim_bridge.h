/* The bench served on another transport: frames move both ways between the
 * bench's adapter channels and channels of a transport that reaches a real
 * bus (SocketCAN interfaces, controlcan_socketcan_peer), so that a program
 * on the other end of that bus finds the bench's motors there. Used by the
 * ostrelo-bench program and by tests and benchmarks that put the kernel's
 * CAN stack between the tool and the bench.
 *
 * The bus sets the pace: the bench is switched to instant mode (frames take
 * no simulated bus time), while motor timers (boot window, restarts, the
 * simulated operator, reply delays) keep running on the clock. Each link has
 * two threads, one per direction; a frame the bench refuses (no powered motor
 * on the segment) or the bus refuses is counted and dropped, as a bus would
 * lose it. */
#ifndef OSTRELO_SIM_BRIDGE_H
#define OSTRELO_SIM_BRIDGE_H

#include <stddef.h>
#include <stdint.h>

#include "controlcan_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_BRIDGE_MAX_LINKS 24u

typedef struct sim_bridge_link_t {
    uint32_t adapter, channel;       /* the bench's adapter channel */
    uint32_t busAdapter, busChannel; /* the channel of the bus transport that carries it */
} sim_bridge_link_t;

typedef struct sim_bridge_stats_t {
    uint64_t toBench;      /* frames of the bus handed to the bench */
    uint64_t toBus;        /* frames of the bench sent on the bus */
    uint64_t benchRefused; /* frames of the bus the bench did not take */
    uint64_t busRefused;   /* frames of the bench the bus did not take */
} sim_bridge_stats_t;

/* Opens, sets up at `kbps` and starts both sides of every link, then starts
 * moving frames. Returns 1, or 0 after printing one line per problem (and
 * then nothing is left running). One bridge at a time per process; the bus
 * transport must not be used for the same channels by anyone else. */
int sim_bridge_start(const ControlCanTransport *bus, const sim_bridge_link_t *links, size_t count,
                     uint32_t kbps);
/* The bench served on SocketCAN interfaces through a transport of its own
 * (controlcan_socketcan_peer): `map` as after "socketcan:" ("0.0=can0,..."),
 * each bench adapter channel on the interface named for the same numbers.
 * Returns 1, or 0 after printing why. */
int sim_bridge_serve_socketcan(const char *map, uint32_t kbps);
/* Stops the threads and closes both sides' adapters. Idempotent. */
void sim_bridge_stop(void);
/* Counters of link `index` of the running (or last) bridge; 1, or 0 for no
 * such link. */
int sim_bridge_stats(size_t index, sim_bridge_stats_t *out);

#ifdef __cplusplus
}
#endif

#endif
