// A scripted CAN backend for the client API tests: frames queued per channel
// are handed out by recv_multi, sent frames are recorded, and an optional
// responder answers sends like a node would.
#ifndef CLIENT_TEST_FAKE_BACKEND_H
#define CLIENT_TEST_FAKE_BACKEND_H

#include "can_backend.h"
#include "client_api.h"
#include "device_mng.h"

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace fake {

struct Sent {
    uint32_t channel;
    uint32_t ident;
    std::vector<uint8_t> data;
};

struct Bus {
    std::deque<CO_CANrxMsg_t> rx[CLIENT_MAX_CHANNELS];
    std::vector<Sent> sent;
    int recvCalls = 0;
    int32_t recvError = 0; // non-zero: recv_multi returns this
    bool sendOk = true;
    std::vector<uint32_t> sendDelayMs; // per send call, in order; missing entries: 0
    size_t sendCalls = 0;
    int initFailures = 0; // init_channel fails this many times
    std::function<void(Bus &, uint32_t channel, uint32_t ident, const uint8_t *data, uint8_t len)> responder;

    void push(uint32_t channel, uint32_t ident, std::initializer_list<uint8_t> bytes, int dlc = -1) {
        CO_CANrxMsg_t f{};
        f.ident = ident;
        size_t i = 0;
        for (uint8_t b : bytes) {
            if (i < 8) {
                f.data[i++] = b;
            }
        }
        f.DLC = static_cast<uint8_t>(dlc >= 0 ? dlc : static_cast<int>(i));
        rx[channel].push_back(f);
    }
};

Bus &bus();
const CANBackendOps *ops();

// Installs the fake backend on an empty store.
void install();
// Puts channel `ch` of adapter (4, 0) into the store as brought up, without
// the CANopen stack: enough for the raw-frame path.
client_channel_id_t fake_channel_up(uint32_t ch);
// Empties the store and the bus.
void reset();

// Captures everything printed to stdout while `fn` runs.
std::string capture(const std::function<void()> &fn);

} // namespace fake

#endif
