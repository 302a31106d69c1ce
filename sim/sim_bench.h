/* Simulated motor bench: virtual CAN segments behind the adapter-library
 * stand-in, with motors that answer the application-side queries and run a
 * CANopen SDO bootloader. See sim/README.md for the scenario format, the
 * defaults and the fault knobs.
 *
 * Threading: every function here and every transport function may be called
 * from any thread at any time. Each segment (adapter channel) has its own
 * lock, taken by the transport calls of that channel; the functions here
 * that change or read the bench as a whole take every segment's lock. The
 * bench has no thread of its own: it advances segments and motors to the
 * current time from inside each call, and a receive with a wait time sleeps
 * until its segment's next event. Peer callbacks run with their segment's
 * lock held; they may call sim_bench_inject() on their own segment and the
 * query functions, but must not block nor call the transport.
 *
 * Adapter model (per adapter channel):
 *   - transmit queue of SIM_TX_QUEUE_LEN frames; VCI_Transmit waits while it
 *     is full and gives up after SIM_TX_WAIT_MS (the frames not queued are
 *     not counted in its result);
 *   - receive buffer of SIM_RX_BUFFER_LEN frames; frames arriving when it is
 *     full are dropped and counted (rx_overflow_drops);
 *   - a transmit on a segment where no node acknowledges (no powered motor,
 *     no peer, or a bit-rate mismatch) fails after the retry time
 *     (sim_bench_set_no_ack_ms, default SIM_NO_ACK_MS_DEFAULT; at once in
 *     instant mode). */
#ifndef OSTRELO_SIM_BENCH_H
#define OSTRELO_SIM_BENCH_H

#include <stddef.h>
#include <stdint.h>

#include "ControlCAN.h"
#include "controlcan_transport.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SIM_MAX_ADAPTERS 4u
#define SIM_MAX_CHANNELS 6u
#define SIM_MAX_MOTORS 128u
#define SIM_TX_QUEUE_LEN 64u
#define SIM_TX_WAIT_MS 500u
#define SIM_RX_BUFFER_LEN 2048u
#define SIM_NO_ACK_MS_DEFAULT 30u
#define SIM_DEFAULT_FLASH_SIZE (512u * 1024u)
#define SIM_DEFAULT_BOOT_WINDOW_MS 300u
#define SIM_DEFAULT_RESTART_MS 50u
#define SIM_DEFAULT_OPERATOR_STOP_MS 1500u
#define SIM_DEFAULT_OPERATOR_OFF_MS 300u
/* A block-download sub-block that stalls this long is acknowledged as far as it arrived. */
#define SIM_SUBBLOCK_TIMEOUT_MS 200u
/* An SDO transfer whose client sends nothing for this long (plus the node's
 * reply delay) is aborted with 0x05040000, so a client that vanished mid
 * transfer does not leave the server deaf to everything else. */
#define SIM_SDO_SERVER_TIMEOUT_MS 2000u
/* Use as a fault count for "always". */
#define SIM_FOREVER 0xFFFFFFFFu

/* Motor states as seen by sim_bench_motor_state(). */
typedef enum {
    SIM_MOTOR_OFF = 0,         /* unpowered: silent, does not acknowledge */
    SIM_MOTOR_BOOT_WINDOW = 1, /* bootloader, just after power-on; a stop command keeps it there */
    SIM_MOTOR_BOOT_HELD = 2,   /* bootloader, staying there (stopped, handshake, or no valid application) */
    SIM_MOTOR_APPLICATION = 3  /* running its application */
} sim_motor_state_t;

/* State a motor has when added. */
typedef enum {
    SIM_START_APPLICATION = 0, /* powered and running its application (if it holds one, else held) */
    SIM_START_BOOT_HELD = 1,   /* powered and held in its bootloader */
    SIM_START_OFF = 2,         /* unpowered until switched on */
    SIM_START_POWER_ON = 3     /* just powered on: in its boot window */
} sim_initial_state_t;

typedef struct sim_motor_config_t {
    uint32_t adapter;      /* adapter index, 0..SIM_MAX_ADAPTERS-1 */
    uint32_t channel;      /* channel on the adapter, 0..SIM_MAX_CHANNELS-1 */
    uint8_t node;          /* node-ID, 1..127 */
    uint8_t motorType;     /* answered in the motor-type query */
    uint8_t brakeType;     /* 0 or 16 usually */
    uint8_t encoderType;   /* 1, 2, 3 usually */
    uint32_t version;      /* software version of the application held */
    int initialState;      /* sim_initial_state_t */
    int hasApplication;    /* 1: holds a valid application */
    uint32_t flashSize;    /* bytes accepted by program download; 0 = SIM_DEFAULT_FLASH_SIZE */
    uint8_t blockSize;     /* sub-block size offered in block download, 1..127; 0 = 127 */
    uint32_t bootWindowMs; /* 0 = SIM_DEFAULT_BOOT_WINDOW_MS */
    /* How long the bootloader's own work takes, as on a real controller
     * (0: at once): */
    uint32_t eraseMs;    /* erasing the application flash before it answers a program download's initiate, */
    uint32_t eraseKibMs; /* ... and as much again for each KiB of the image announced (the whole flash
                            when no size is) */
    uint32_t writeMs;    /* writing a block download's sub-block before it acknowledges it */
    uint32_t crcMs;      /* computing the image's CRC-32 before it answers the read of 0x1F56:01 */
    uint32_t bootMs;     /* the application starting (after the start command or a boot window);
                            0 = SIM_DEFAULT_RESTART_MS */
} sim_motor_config_t;

/* Fills `cfg` with defaults: adapter 0, channel 0, node 1, type 9, brake 0,
 * encoder 1, version 0x01000000, application running and valid. */
void sim_motor_config_init(sim_motor_config_t *cfg);

/* Fault knobs. Per node they affect that motor; per segment they affect
 * every motor on the segment and the adapter channel. Fractions are drawn
 * from a seeded generator per segment, so a run with the same seed and the
 * same frames drops the same frames. */
typedef struct sim_fault_t {
    double dropFraction;    /* 0..1: frames lost on the bus, in both directions */
    uint32_t replyDelayMs;  /* added before every reply of the motor */
    int abortEnabled;       /* abort a program download ... */
    uint32_t abortAtOffset; /* ... once this many image bytes were received ... */
    uint32_t abortCode;     /* ... with this SDO abort code ... */
    uint32_t abortTimes;    /* ... the first this many downloads only (0: every one) */
    int wrongCrc;           /* 0x1F56:01 reports the bit-inverted CRC-32 */
    int ignoreStop;         /* the bootloader ignores the stop command (no hold, no acknowledgement) */
    int silent;             /* never answers anything (still acknowledges frames on the bus) */
    int shortDlc;           /* application query replies come one byte too short */
    uint32_t rxErrors;      /* segment only: this many receive calls return 0xFFFFFFFF (SIM_FOREVER: all) */
    uint32_t txFailures;    /* segment only: this many transmitted frames are refused (SIM_FOREVER: all) */
    int ignoreStart;        /* the bootloader ignores the start-application command */
    uint32_t
        appStartMs; /* the start command brings the application up this late (0 = SIM_DEFAULT_RESTART_MS) */
    uint32_t probeAbortCode; /* a read of the program-data object is aborted with this code
                                instead of 0x06010000 (0 = unchanged) */
    int probeSilent;         /* a read of the program-data object is not answered at all */
} sim_fault_t;

/* Bench-wide settings. */
void sim_bench_reset(void); /* remove every adapter, segment, motor, fault and peer; keeps the mode */
void sim_bench_set_timing(int timed); /* 0: instant mode (no bus timing), 1: timed bus */
int sim_bench_timing(void);
void sim_bench_set_seed(uint32_t seed);
void sim_bench_set_no_ack_ms(uint32_t ms);
/* Manual clock (tests): time stands still except through sim_bench_advance_ms.
 * Waits inside the transport never sleep while the manual clock is on.
 * Switch it on and off on an empty bench (motor timers keep the bench time). */
void sim_bench_set_manual_clock(int manual);
void sim_bench_advance_ms(uint32_t ms);
uint64_t sim_bench_now_us(void);

/* The bench as a transport of the adapter-library stand-in. */
const ControlCanTransport *sim_controlcan_transport(void);
/* Registers the bench with the stand-in under the name "sim" (also the
 * default when OSTRELO_CAN is unset): loads the scenario named after "sim:"
 * or the built-in default on first use. Programs call it at start-up; a
 * program or test that links the object library ostrelo_sim_default gets
 * it called before main. Returns 1 on success. */
int sim_register_transport(void);

/* Scenarios. Return 1 on success; 0 after printing one line naming the file
 * and the line. A failed load leaves the bench empty (no default). */
int sim_bench_load_default(void);
int sim_bench_load_scenario_text(const char *text, const char *name_for_messages);
/* A scenario file; NULL = the built-in default. */
int sim_bench_load_scenario(const char *path);
/* The built-in default scenario as text (the same format). */
const char *sim_bench_default_scenario_text(void);

/* Adapters and segments. Adding a motor or a peer creates its adapter and
 * segment on demand (segment bit rate 0 = whatever the adapter channel is
 * set to). channelCount 1..SIM_MAX_CHANNELS. */
int sim_bench_add_adapter(uint32_t adapter, uint32_t channelCount);
int sim_bench_add_segment(uint32_t adapter, uint32_t channel, uint32_t kbps);

/* Motors. add returns 1, or 0 for a bad config or a node-ID already on that
 * segment. */
int sim_bench_add_motor(const sim_motor_config_t *cfg);
int sim_bench_motor_count(void);
int sim_bench_motor_config(int index, sim_motor_config_t *out);              /* 1 ok, 0 no such index */
int sim_bench_motor_state(uint32_t adapter, uint32_t channel, uint8_t node); /* sim_motor_state_t or -1 */
uint32_t sim_bench_motor_version(uint32_t adapter, uint32_t channel, uint8_t node);
uint32_t sim_bench_motor_image_crc32(uint32_t adapter, uint32_t channel, uint8_t node);
/* Copies up to `cap` bytes of the last received image; returns its full size. */
size_t sim_bench_motor_image(uint32_t adapter, uint32_t channel, uint8_t node, uint8_t *out, size_t cap);

typedef struct sim_motor_stats_t {
    uint32_t framesReceived; /* frames the motor took off the bus */
    uint32_t framesSent;     /* frames the motor put on the bus */
    uint32_t downloadsDone;  /* program downloads completed */
    uint32_t abortsSent;     /* SDO aborts sent */
    uint32_t powerCycles;    /* power-on events */
    uint32_t operatorCycles; /* power cycles done by the simulated operator */
    uint32_t imageComplete;  /* 1: the last received image arrived whole */
    uint32_t imageSize;      /* bytes of the last received image */
} sim_motor_stats_t;
int sim_bench_motor_stats(uint32_t adapter, uint32_t channel, uint8_t node, sim_motor_stats_t *out);

typedef struct sim_segment_stats_t {
    uint64_t framesFromProgram; /* frames of the adapter that went out on the bus */
    uint64_t framesToProgram;   /* frames stored in the adapter's receive buffer */
    uint64_t rxOverflowDrops;   /* frames lost because the receive buffer was full */
    uint64_t faultDrops;        /* frames lost by the drop fault */
    uint64_t txRefused;         /* frames VCI_Transmit did not accept */
    uint64_t busBusyUs;         /* bus occupancy in timed mode */
    uint64_t trafficFrames;     /* frames of the other nodes (sim_bench_add_traffic) that went out */
    uint64_t errorFrames;       /* frames destroyed by an error frame (and sent again) */
    uint64_t busOffs;           /* times the adapter channel went bus-off */
    uint64_t busOffLost;        /* frames the adapter had queued when it went bus-off */
} sim_segment_stats_t;
int sim_bench_segment_stats(uint32_t adapter, uint32_t channel, sim_segment_stats_t *out);

/* Power. off_ms 0 switches straight back on. */
int sim_bench_set_power(uint32_t adapter, uint32_t channel, uint8_t node, int on);
int sim_bench_power_cycle_node(uint32_t adapter, uint32_t channel, uint8_t node, uint32_t off_ms);
int sim_bench_power_cycle_segment(uint32_t adapter, uint32_t channel, uint32_t off_ms);
int sim_bench_power_cycle_all(uint32_t off_ms);
/* Simulated operator: a node in its application that keeps getting the stop
 * command (gaps under 500 ms) for stop_ms is power-cycled for off_ms. */
void sim_bench_set_operator(int enabled, uint32_t stop_ms, uint32_t off_ms);

/* Faults. NULL clears. */
void sim_fault_init(sim_fault_t *f);
int sim_bench_set_node_fault(uint32_t adapter, uint32_t channel, uint8_t node, const sim_fault_t *f);
int sim_bench_set_segment_fault(uint32_t adapter, uint32_t channel, const sim_fault_t *f);

/* Test peer: sees every frame the program transmits on the segment (when it
 * leaves the bus) and can inject frames that the program (and the motors)
 * receive. A segment with a peer acknowledges frames. */
typedef void (*sim_peer_fn)(void *user, uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc,
                            const uint8_t *data);
int sim_bench_attach_peer(uint32_t adapter, uint32_t channel, sim_peer_fn fn, void *user);
void sim_bench_detach_peer(uint32_t adapter, uint32_t channel);
int sim_bench_inject(uint32_t adapter, uint32_t channel, uint32_t ident, uint8_t dlc, const uint8_t *data);

/* Other nodes on the segment: a node that sends a frame with identifier
 * `ident` (11 bits) and `dlc` bytes (a counter) every `period_ms`, from now
 * on. On a timed bus its frames take their bit time and win arbitration by
 * identifier like any other; the adapter receives them, and they acknowledge
 * the adapter's frames. Up to SIM_MAX_TRAFFIC per segment; 1 added, 0 not. */
#define SIM_MAX_TRAFFIC 32u
int sim_bench_add_traffic(uint32_t adapter, uint32_t channel, uint32_t ident, uint32_t period_ms,
                          uint8_t dlc);

/* Noise on the segment: each of the next `count` frames on the bus is
 * destroyed by an error frame (its bits up to the error, then the 6-bit error
 * flag, its 8-bit delimiter and the intermission) and its sender sends it
 * again. Every error costs the adapter's transmit error counter 8 when the
 * frame was the adapter's (a frame it gets out takes 1 off), as a CAN
 * controller counts; past 255 the adapter channel goes bus-off, and recovers
 * after 128 x 11 recessive bits. The adapter library reports no error frame:
 * the program sees the time they take. */
int sim_bench_error_frames(uint32_t adapter, uint32_t channel, uint32_t count);
/* The adapter channel goes bus-off now for `ms` milliseconds (its
 * controller's recovery included) and then takes part in the bus again. While
 * it is off VCI_Transmit accepts no frame (returns 0), the frames it had
 * queued are lost, it acknowledges nothing and receives nothing (VCI_Receive
 * returns 0 frames, not an error): the calls of the adapter library cannot
 * tell a bus-off from a silent bus with refused frames. */
int sim_bench_bus_off(uint32_t adapter, uint32_t channel, uint32_t ms);

/* Timing model helpers: exact length in bits of a classic CAN data or
 * remote frame including stuff bits, the 3-bit intermission and the
 * end-of-frame; duration in microseconds at a bit rate. */
uint32_t sim_can_frame_bits(uint32_t ident, int extended, int remote, uint8_t dlc, const uint8_t *data);
uint32_t sim_can_frame_duration_us(uint32_t bits, uint32_t kbps);
/* Bit rate (kbit/s) for the adapter's Timing0/Timing1 pair, 0 if unknown. */
uint32_t sim_bitrate_from_timing(uint8_t timing0, uint8_t timing1);
/* The Timing0/Timing1 pair of a bit rate of that table; 1, or 0 if it has none. */
int sim_timing_for_bitrate(uint32_t kbps, uint8_t *timing0, uint8_t *timing1);

/* Checksums of the bench (its own). */
uint16_t sim_crc16_ccitt(const uint8_t *data, size_t len, uint16_t crc);
uint32_t sim_crc32(const uint8_t *data, size_t len);

/* Firmware image trailer: the last SIM_TRAILER_LEN bytes of an image are
 * "OSTRFWV1", the version (u32 LE) and the CRC-32 (u32 LE) of every byte
 * before the trailer. Returns 1 and the version when `image` ends with a
 * valid trailer. */
#define SIM_TRAILER_LEN 16u
int sim_image_trailer_version(const uint8_t *image, size_t len, uint32_t *version);
/* Writes a trailer for `body` (body_len bytes) into out[0..15]. */
void sim_image_make_trailer(const uint8_t *body, size_t body_len, uint32_t version, uint8_t *out);

#ifdef __cplusplus
}
#endif

#endif
