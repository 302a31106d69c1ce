/* Internal records of the simulated bench, shared by its rooms:
 *   bus_timing.cpp        segments, their locks, the event clock, peers
 *   adapter_model.cpp     the ControlCAN transport functions
 *   motor_model.cpp       power, restarts, timers, frame dispatch
 *   motor_application.cpp the running application's answers, the operator
 *   motor_bootloader.cpp  the bootloader's SDO server (stop, program data, CRC, start)
 *   faults.cpp            fault knobs and their random draws
 *   scenario.cpp          scenario files and the default bench
 *   sim_bench.cpp         the bench's records, reset and set-up
 * Everything here is guarded by the segment locks (see bus_timing.cpp). */
#ifndef OSTRELO_SIM_INTERNAL_H
#define OSTRELO_SIM_INTERNAL_H

#include "sim_bench.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
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
    // Acknowledged at a stall: segments until the next sub-block's first are
    // the rest of the stalled one, still on their way.
    bool stallAcked = false;
    uint64_t expireAt = 0; // a transfer the client stopped talking in is aborted then
    // The bootloader's own work (an erase, a write): the server is busy until
    // then, and its client's silence meanwhile is no reason to give up.
    uint64_t busyUntil = 0;
    // An answer held back until the erase it follows has ended (0: none);
    // then the transfer goes on in `pendingMode`.
    uint64_t pendingAt = 0;
    uint8_t pending[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    int pendingMode = 0;
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
    SDO_DL_ERASE,     // program download: erasing the flash before the initiate's answer
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
    uint32_t abortsDone = 0; // program downloads the abort fault ended

    // scratch object 0x2001 (writable)
    uint8_t scratch[64];
    uint32_t scratchLen = 0;

    SimSdo sdo;
    sim_fault_t fault{};
    SimRing<SIM_MOTOR_OUT_LEN> out;
    sim_motor_stats_t stats{};
};

// Another node's periodic frame on a segment.
struct SimTraffic {
    uint32_t id = 0;
    uint8_t dlc = 0;
    uint64_t periodUs = 0;
    uint64_t nextAt = 0; // when its next frame is ready
    uint32_t count = 0;  // frames sent (their data)
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
    SimTraffic traffic[SIM_MAX_TRAFFIC];
    uint32_t trafficCount = 0;
    uint32_t errorBurst = 0;  // frames still to be hit by an error frame
    uint32_t txErrors = 0;    // the adapter's transmit error counter
    uint64_t busOffUntil = 0; // the adapter channel is bus-off until then
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
// Time the application needs to come up (boot_ms, or the slow_start fault).
uint32_t sim_motor_app_start_ms(const SimMotor &m);
void sim_motor_restart(SimMotor &m, uint64_t t, int target);
void sim_sdo_reset(SimMotor &m);
void sim_sdo_timer(SimMotor &m, uint64_t t);
uint64_t sim_sdo_next_timer(const SimMotor &m); // UINT64_MAX: none
void sim_sdo_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault);
uint32_t sim_crc32_update(uint32_t state, const uint8_t *data, size_t len);

// Every segment lock at once (scenario loading: the reset and the build-up
// under one lock).
void sim_bench_lock();
void sim_bench_unlock();

namespace simbench {

// ---- bench records (sim_bench.cpp) ----
extern SimAdapter g_adapters[SIM_MAX_ADAPTERS];
extern SimMotor g_motors[SIM_MAX_MOTORS];
SimSegment *find_segment(uint32_t adapter, uint32_t channel);
SimSegment *ensure_segment(uint32_t adapter, uint32_t channel);
void reset_locked();

// ---- segments, locks and the event clock (bus_timing.cpp) ----

// One lock per segment (adapter channel): the frame calls of different
// channels never wait for each other. Everything that changes the bench as a
// whole (adapters, motors, settings) takes every segment lock, in one order.
// The condition variable wakes a receive waiting on the segment when the
// segment's schedule changes (a frame queued or injected, a setting changed)
// or when it is woken on purpose.
struct SegSync {
    std::recursive_mutex m;
    std::condition_variable_any cv;
    bool wake = false; // a wake arrived; the next (or current) waiting receive returns
};
extern SegSync g_sync[SIM_MAX_ADAPTERS][SIM_MAX_CHANNELS];
// Peer callbacks run inside the bench with their segment locked; bench-wide
// calls made from there must not try to take the other segments' locks.
extern thread_local int t_in_peer;
extern int g_timed;
extern bool g_manual_clock;
extern uint64_t g_manual_now;

void lock_all();
void unlock_all();

// The whole bench.
class Guard {
  public:
    Guard() : held_(t_in_peer == 0) {
        if (held_) {
            lock_all();
        }
    }
    ~Guard() {
        if (held_) {
            unlock_all();
        }
    }
    Guard(const Guard &) = delete;
    Guard &operator=(const Guard &) = delete;

  private:
    bool held_;
};

// One segment; the caller has checked adapter < SIM_MAX_ADAPTERS and channel < SIM_MAX_CHANNELS.
using SegLock = std::unique_lock<std::recursive_mutex>;

uint64_t now_us();
bool may_sleep();
void sleep_unlocked(SegLock &lk, uint32_t ms);
std::chrono::steady_clock::time_point steady_at(uint64_t us);
bool rate_matches(const SimSegment &s);
bool segment_acknowledges(uint32_t adapter, uint32_t channel, const SimSegment &s);
bool bus_off(const SimSegment &s, uint64_t t);
void set_frame_bits(SimFrame &f);
void advance_all(uint64_t T);
void advance_now();
uint64_t advance_segment_now(uint32_t ai, uint32_t ci);
// The same up to `t` (a time of now_us() taken under the segment's lock).
uint64_t advance_segment_at(uint32_t ai, uint32_t ci, uint64_t t);
uint64_t txq_wake_for_room(const SimSegment &s);
uint64_t receive_wake_at(uint32_t ai, uint32_t ci, uint64_t next);
void clear_next_events();

// ---- faults (faults.cpp) ----
extern uint32_t g_seed;
extern uint32_t g_no_ack_ms;
uint64_t seed_for(uint32_t adapter, uint32_t channel);
bool draw(SimSegment &s, double fraction);
sim_fault_t effective_fault(const SimMotor &m);

// ---- the motor (motor_model.cpp) ----
SimMotor *find_motor(uint32_t adapter, uint32_t channel, uint8_t node);
SimSegment &segment_of(const SimMotor &m);
bool motor_powered(const SimMotor &m);
void power_on(SimMotor &m, uint64_t t);
void power_off(SimMotor &m);
void power_cycle(SimMotor &m, uint64_t t, uint32_t off_ms);
uint64_t motor_next_timer(const SimMotor &m);
void motor_fire_timer(SimMotor &m, uint64_t t);
bool is_stop_command(const SimMotor &m, const SimFrame &f);
void motor_receive(SimMotor &m, const SimFrame &f, uint64_t t);

// Applies `change` to one motor under the bench lock, with the bench brought
// up to the present first. 1 when the motor exists, else 0.
template <typename Change> int change_motor(uint32_t adapter, uint32_t channel, uint8_t node, Change change) {
    Guard g;
    advance_now();
    SimMotor *m = find_motor(adapter, channel, node);
    if (m == nullptr) {
        return 0;
    }
    change(*m);
    return 1;
}

// ---- the running application (motor_application.cpp) ----
extern bool g_operator;
extern uint32_t g_operator_stop_ms;
extern uint32_t g_operator_off_ms;
void enter_application(SimMotor &m);
void application_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault);

// ---- the bootloader (motor_bootloader.cpp) ----
void bootloader_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault);

} // namespace simbench

#endif
