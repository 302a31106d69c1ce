// The one scripted CAN backend of the tests: frames queued per channel are
// handed out by recv_multi, sent frames are recorded, the bring-up steps can
// be made to fail and are counted, an optional responder answers sends like
// a node would, and hooks can hand the frames to another bus (the bench).
#ifndef TEST_SUPPORT_FAKE_BACKEND_H
#define TEST_SUPPORT_FAKE_BACKEND_H

#include "can_backend.h"
#include "client_store.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace fake {

struct Frame {
    uint32_t channel;
    uint32_t ident;
    uint8_t remote;
    std::vector<uint8_t> data;
};

struct Bus {
    std::deque<CO_CANrxMsg_t> rx[CLIENT_MAX_CHANNELS];
    std::vector<Frame> sent;
    int recvCalls = 0;
    int32_t recvError = 0; // non-zero: recv_multi returns this

    bool sendOk = true;                // false: every send fails
    int sendFailures = 0;              // the next this many sends fail
    int refuseAfter = -1;              // >= 0: this many more sends succeed, then every send fails
    std::vector<uint32_t> sendDelayMs; // per send call, in order; missing entries: 0
    size_t sendCalls = 0;
    int multiCalls = 0; // hand-overs through send_multi (ops_multi)

    int openFailures = 0, initFailures = 0, startFailures = 0; // this many of each fail
    std::vector<uint32_t> openBitrates, initChannels, startChannels;
    int creates = 0, destroys = 0, opens = 0, closes = 0;

    // Answers each frame that was sent.
    std::function<void(Bus &, const Frame &)> responder;
    // Another bus behind the backend: each bring-up step's result (1 or 0),
    // where a sent frame goes (true: sent), and where received frames come
    // from (instead of `rx`).
    std::function<int(uint32_t type, uint32_t index)> open;
    std::function<void()> close;
    std::function<int(uint32_t channel)> init, start;
    std::function<bool(const Frame &)> transmit;
    std::function<int32_t(uint32_t channel, CO_CANrxMsg_t *frames, uint32_t cap)> receive;

    // Queues a frame for `channel`; its length is the bytes' unless `dlc` says.
    void push(uint32_t channel, uint32_t ident, std::initializer_list<uint8_t> bytes, int dlc = -1) {
        push(channel, ident, std::vector<uint8_t>(bytes), dlc);
    }
    void push(uint32_t channel, uint32_t ident, const std::vector<uint8_t> &bytes, int dlc = -1);
};

Bus &bus();
const CANBackendOps *ops();
// The same backend with send_multi, which sends frame by frame through the
// same rules as send and counts its calls.
const CANBackendOps *ops_multi();

// Empties the bus and the device store (through `cleanup`, which gets the
// store's lines captured) and installs the fake as the backend.
void install(void (*cleanup)());

// A channel context brought up over the fake through CO_CANmodule_init
// (adapter type 4, index 0, the given channel, 500 kbit/s), outside the
// device store.
client_channel_context_t *canopen_channel(uint32_t channel = 0);
// Channel `ch` of adapter (4, 0) put into the device store as brought up,
// without the CANopen stack: enough for the client API's raw-frame path.
client_channel_id_t raw_channel_up(uint32_t ch);

// Everything printed to stdout while `fn` runs.
std::string capture(const std::function<void()> &fn);

inline bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

} // namespace fake

#endif
