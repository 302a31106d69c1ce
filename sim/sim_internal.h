/* Internal records of the simulated bench, shared by its translation units.
 * Everything here is guarded by the bench lock (see sim_bench.cpp). */
#ifndef OSTRELO_SIM_INTERNAL_H
#define OSTRELO_SIM_INTERNAL_H

#include "sim_bench.h"

#include <stddef.h>
#include <stdint.h>

struct SimFrame {
    uint32_t id;
    uint8_t dlc;
    uint8_t ext;
    uint8_t rtr;
    uint8_t data[8];
    uint64_t ready_us; // earliest time it may start on the bus
    uint64_t stamp_us; // time it completed on the bus (receive buffer)
    uint32_t bits;     // length on the bus with stuff bits, worked out once when it is made
};

template <size_t N> struct SimRing {
    SimFrame buf[N];
    size_t head = 0;
    size_t count = 0;

    bool empty() const { return count == 0; }
    bool full() const { return count == N; }
    void clear() { head = count = 0; }
    const SimFrame &front() const { return buf[head]; }
    bool push(const SimFrame &f) {
        if (count == N) {
            return false;
        }
        buf[(head + count) % N] = f;
        ++count;
        return true;
    }
    bool pop(SimFrame *out) {
        if (count == 0) {
            return false;
        }
        if (out != nullptr) {
            *out = buf[head];
        }
        head = (head + 1) % N;
        --count;
        return true;
    }
};

// Server side of one SDO transfer (sim_sdo.cpp).
struct SimSdo {
    int mode = 0; // SimSdoMode
    uint16_t index = 0;
    uint8_t sub = 0;
    uint8_t toggle = 0;
    uint32_t size = 0; // indicated size (download) or object size (upload)
    bool sizeKnown = false;
    uint32_t done = 0; // bytes transferred so far
    // block download
    uint8_t blksize = 0;
    uint8_t lastSeq = 0; // last segment received in order
    bool clientCrc = false;
    bool lastSegSeen = false;
    uint64_t subTimerAt = 0; // block download: acknowledge what arrived if the sub-block stalls
    uint64_t expireAt = 0;   // a transfer the client stopped talking in is aborted then
    uint8_t lastSeg[7] = {0, 0, 0, 0, 0, 0, 0}; // last segment, until the end request says how much is data
    // block upload
    uint32_t subStart = 0; // object offset of segment 1 of the current sub-block
    uint8_t sentSeq = 0;
    bool uploadLastInBlock = false;
    // upload source (a copy, so the object can change meanwhile)
    uint8_t obj[2048];
    uint32_t objLen = 0;
};

enum SimSdoMode {
    SDO_IDLE = 0,
    SDO_DL_SEGMENT,   // segmented download, waiting for a segment
    SDO_UL_SEGMENT,   // segmented upload, waiting for a segment request
    SDO_BLK_DL_SUB,   // block download, receiving sub-block segments
    SDO_BLK_DL_END,   // block download, waiting for the end request
    SDO_BLK_UL_START, // block upload, waiting for the start request
    SDO_BLK_UL_ACK,   // block upload, sub-block sent, waiting for the acknowledge
    SDO_BLK_UL_END    // block upload, end sent, waiting for the end response
};

#define SIM_MOTOR_OUT_LEN 160u

struct SimMotor {
    bool used = false;
    sim_motor_config_t cfg{};
    int state = SIM_MOTOR_OFF;
    uint32_t version = 0;    // version the running application reports
    uint32_t appVersion = 0; // version of the application held in flash
    bool hasApp = false;

    bool powerOnPending = false;
    uint64_t powerOnAt = 0;
    uint64_t windowEnd = 0;
    bool restartPending = false;
    uint64_t restartAt = 0;
    int restartTarget = SIM_MOTOR_APPLICATION;

    // boot-entry handshake
    bool armed = false;
    uint32_t a3Value = 0x00000001u;

    // simulated operator
    bool stopStreak = false;
    uint64_t stopFirst = 0;
    uint64_t stopLast = 0;

    // program download target
    uint8_t *image = nullptr;
    uint32_t imageCap = 0;
    uint32_t imageLen = 0;
    bool imageComplete = false;
    uint32_t imageCrc = 0;

    // scratch object 0x2001 (writable)
    uint8_t scratch[64];
    uint32_t scratchLen = 0;

    SimSdo sdo;
    sim_fault_t fault{};
    SimRing<SIM_MOTOR_OUT_LEN> out;
    sim_motor_stats_t stats{};
};

struct SimSegment {
    bool exists = false;
    uint32_t kbps = 0; // bus bit rate; 0 = follows the adapter channel
    uint64_t busFree = 0;
    // Time of the segment's next event as last computed; 0 = to be computed.
    // Anything that adds an event (a frame queued, a setting changed) clears it.
    uint64_t nextEventAt = 0;
    // adapter channel
    bool initialised = false;
    bool started = false;
    uint32_t chanKbps = 0;
    SimRing<SIM_TX_QUEUE_LEN> txq;
    SimRing<SIM_RX_BUFFER_LEN> rx;
    SimRing<64> injected;
    sim_fault_t fault{};
    uint64_t rng = 1;
    sim_segment_stats_t stats{};
    sim_peer_fn peer = nullptr;
    void *peerUser = nullptr;
};

struct SimAdapter {
    bool exists = false;
    bool open = false;
    uint32_t channels = 0;
    uint64_t openedAt = 0;
    SimSegment seg[SIM_MAX_CHANNELS];
};

// Bench internals used by the SDO server.
void sim_motor_send(SimMotor &m, uint64_t t, uint32_t id, uint8_t dlc, const uint8_t *data);
void sim_motor_restart(SimMotor &m, uint64_t t, int target);
void sim_sdo_reset(SimMotor &m);
void sim_sdo_timer(SimMotor &m, uint64_t t);
uint64_t sim_sdo_next_timer(const SimMotor &m); // UINT64_MAX: none
void sim_sdo_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault);
uint32_t sim_crc32_update(uint32_t state, const uint8_t *data, size_t len);

#endif
