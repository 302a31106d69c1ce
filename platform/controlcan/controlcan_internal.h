/* Internals of the adapter-library stand-in, visible to its tests. */
#ifndef OSTRELO_CONTROLCAN_INTERNAL_H
#define OSTRELO_CONTROLCAN_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "controlcan_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define CONTROLCAN_MAX_ADAPTERS 4
#define CONTROLCAN_MAX_CHANNELS 6
#define CONTROLCAN_IFNAME_MAX 16

/* Adapter index.channel -> Linux CAN interface name ("" when not mapped). */
typedef struct {
    char ifname[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS][CONTROLCAN_IFNAME_MAX];
} socketcan_map_t;

/* Kinds of OSTRELO_CAN values. */
typedef enum {
    CONTROLCAN_SEL_INVALID = 0,
    CONTROLCAN_SEL_SIM,
    CONTROLCAN_SEL_SOCKETCAN,
    CONTROLCAN_SEL_LIB
} controlcan_selection_kind_t;

typedef struct {
    controlcan_selection_kind_t kind;
    char path[1024];     /* scenario file (sim, may be empty) or library path (lib) */
    socketcan_map_t map; /* socketcan */
} controlcan_selection_t;

/* Parses an OSTRELO_CAN value (NULL or empty means the default bench).
 * Returns 1 and fills `out`, or 0 for a malformed value. */
int controlcan_parse_selection(const char *value, controlcan_selection_t *out);

/* Parses "0.0=can0,0.1=can1" into `map`; 1 on success, 0 when malformed. */
int socketcan_parse_map(const char *text, socketcan_map_t *map);

/* Frame conversion between the adapter record and a Linux CAN frame
 * (identifier, length clamped to 8, data). Plain byte layouts so they can be
 * tested where the kernel has no CAN support. */
typedef struct {
    uint32_t can_id; /* with the kernel's EFF/RTR flag bits */
    uint8_t len;
    uint8_t data[8];
} socketcan_frame_t;
void socketcan_frame_from_vci(const VCI_CAN_OBJ *obj, socketcan_frame_t *out);
void socketcan_frame_to_vci(const socketcan_frame_t *frame, VCI_CAN_OBJ *out);

/* Transports. */
const ControlCanTransport *socketcan_transport(const socketcan_map_t *map);
const ControlCanTransport *lib_transport(const char *path);

#ifdef __cplusplus
}
#endif

#endif
