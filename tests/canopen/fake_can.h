// A recording CAN backend for the CANopen stack tests: sent frames are kept,
// queued frames are handed out by recv_multi, and an optional responder
// answers each sent frame like a peer node would.
#ifndef CANOPEN_TEST_FAKE_CAN_H
#define CANOPEN_TEST_FAKE_CAN_H

#include "can_backend.h"
#include "client_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace cotest {

struct Frame {
    uint32_t channel;
    uint32_t ident;
    uint8_t remote;
    std::vector<uint8_t> data;
};

struct FakeCan {
    std::vector<Frame> sent;
    std::deque<CO_CANrxMsg_t> rx;
    int recvCalls = 0;
    int32_t recvResult = 0; // non-zero: recv_multi returns this instead
    int sendFailures = 0;   // this many sends fail before sends succeed again
    bool sendAlwaysFails = false;
    int refuseAfter = -1; // >= 0: this many more sends succeed, then every send fails
    int multiCalls = 0;   // hand-overs through send_multi (fake_ops_multi)
    int openFailures = 0, initFailures = 0, startFailures = 0;
    std::vector<uint32_t> initChannels, startChannels;
    std::vector<uint32_t> openBitrates;
    std::function<void(FakeCan &, const Frame &)> responder;

    void push(uint32_t ident, std::vector<uint8_t> bytes, int dlc = -1) {
        CO_CANrxMsg_t f{};
        f.ident = ident;
        for (size_t i = 0; i < bytes.size() && i < 8; ++i) {
            f.data[i] = bytes[i];
        }
        f.DLC = static_cast<uint8_t>(dlc >= 0 ? dlc : static_cast<int>(bytes.size()));
        rx.push_back(f);
    }
};

FakeCan &fake();
const CANBackendOps *fake_ops();
// The same backend with send_multi, which sends frame by frame through the
// same rules as send and counts its calls.
const CANBackendOps *fake_ops_multi();

// Resets the fake, installs it as the backend and empties the device store.
void fake_install();

// A channel context brought up over the fake backend through
// CO_CANmodule_init (adapter type 4, index 0, the given channel, 500 kbit/s).
client_channel_context_t *fake_channel(uint32_t channel = 0);

std::string capture(const std::function<void()> &fn);

inline bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

} // namespace cotest

#endif
