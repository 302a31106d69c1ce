// A scripted adapter library for the backend and device-manager tests.
#pragma once

#include <deque>
#include <string>
#include <vector>

#include "ControlCAN.h"

struct FakeVci {
    struct Call {
        std::string fn;
        DWORD type, index, channel;
    };
    std::vector<Call> calls;
    DWORD openResult = 1;
    DWORD initResult = 1;
    DWORD startResult = 1;
    DWORD transmitResult = 1;
    DWORD resetResult = 1;
    VCI_INIT_CONFIG lastInit{};
    std::vector<VCI_CAN_OBJ> transmitted;
    std::vector<VCI_CAN_OBJ> pending; // handed out by the next Receive
    bool receiveError = false;
    DWORD receiveOverride = 0; // when non-zero, Receive reports this count

    size_t count(const std::string &fn) const;
    static FakeVci &instance();
    static void install(); // resets and installs the fake as the stand-in's transport
    static void uninstall();
};
