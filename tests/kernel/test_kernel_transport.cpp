// The SocketCAN transport where the kernel has its say: a transmit queue that
// is full (ENOBUFS) and an interface that goes down and comes back. The
// stand-in's transport sends, a second one (the bus peer) listens on the same
// interface.
#include "kernel_test_util.h"

#include <cstring>
#include <vector>

#include "controlcan_internal.h"
#include "ostrelo_time.h"

using namespace kerneltest;

namespace {

constexpr DWORD kType = VCI_USBCAN2;

struct Pair {
    const ControlCanTransport *tool = nullptr;
    const ControlCanTransport *peer = nullptr;
};

// Both ends on `iface`, channel 0.0 each, started.
Pair bring_up(const char *iface) {
    const std::string entry = std::string("0.0=") + iface;
    socketcan_map_t map;
    EXPECT_EQ(1, socketcan_parse_map(entry.c_str(), &map));
    Pair p{socketcan_transport(&map), controlcan_socketcan_peer(entry.c_str())};
    VCI_INIT_CONFIG cfg = {0x80000008u, 0xFFFFFFFFu, 0, 1, 0x00, 0x14, 0};
    for (const ControlCanTransport *t : {p.tool, p.peer}) {
        EXPECT_NE(nullptr, t);
        if (t != nullptr) {
            EXPECT_EQ(1u, t->OpenDevice(kType, 0, 0));
            EXPECT_EQ(1u, t->InitCAN(kType, 0, 0, &cfg));
            EXPECT_EQ(1u, t->StartCAN(kType, 0, 0));
        }
    }
    return p;
}

VCI_CAN_OBJ frame(UINT id, BYTE b) {
    VCI_CAN_OBJ o;
    memset(&o, 0, sizeof o);
    o.ID = id;
    o.DataLen = 1;
    o.Data[0] = b;
    return o;
}

std::vector<VCI_CAN_OBJ> take(const ControlCanTransport *t, size_t want, uint64_t limitMs) {
    std::vector<VCI_CAN_OBJ> got;
    const uint64_t t0 = ostrelo_monotonic_us();
    while (got.size() < want && ostrelo_monotonic_us() - t0 < limitMs * 1000u) {
        VCI_CAN_OBJ in[16];
        const DWORD n = t->Receive(kType, 0, 0, in, 16, 100);
        if (n != 0xFFFFFFFFu) {
            got.insert(got.end(), in, in + n);
        }
    }
    return got;
}

TEST(KernelSocketCan, TransmitWaitsOutAFullQueueAndLosesNothing) {
    KERNEL_REQUIRE_VCAN();
    clear_qdiscs();
    // A queue of four frames that drains one frame per 5 ms: the fifth frame
    // of a burst meets ENOBUFS.
    ASSERT_EQ(0, sh("tc qdisc add dev vcan1 root netem delay 5ms limit 4"));
    const Pair p = bring_up("vcan1");
    std::vector<VCI_CAN_OBJ> out;
    for (int i = 0; i < 40; ++i) {
        out.push_back(frame(0x100u + static_cast<UINT>(i), static_cast<BYTE>(i)));
    }
    EXPECT_EQ(40u, p.tool->Transmit(kType, 0, 0, out.data(), 40));
    const std::vector<VCI_CAN_OBJ> got = take(p.peer, 40, 5000);
    ASSERT_EQ(40u, got.size());
    for (size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(out[i].ID, got[i].ID) << i;
    }
    clear_qdiscs();
    p.tool->CloseDevice(kType, 0);
    p.peer->CloseDevice(kType, 0);
}

TEST(KernelSocketCan, InterfaceDownIsSaidOnceAndFramesPassAgainWhenUp) {
    KERNEL_REQUIRE_VCAN();
    clear_qdiscs();
    const Pair p = bring_up("vcan2");
    VCI_CAN_OBJ o = frame(0x222, 1);
    VCI_CAN_OBJ two[2] = {o, o};
    testing::internal::CaptureStdout();
    ASSERT_EQ(0, sh("ip link set vcan2 down"));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(0u, p.tool->Transmit(kType, 0, 0, two, 1 + i % 2)) << "refused while down, " << i;
    }
    VCI_CAN_OBJ in[4];
    EXPECT_NE(4u, p.tool->Receive(kType, 0, 0, in, 4, 20)); // nothing, or the error once
    ASSERT_EQ(0, sh("ip link set vcan2 up"));
    EXPECT_EQ(1u, p.tool->Transmit(kType, 0, 0, &o, 1));
    EXPECT_EQ(1u, take(p.peer, 1, 3000).size());
    const std::string said = testing::internal::GetCapturedStdout();
    // Once per socket, not per frame: the tool's at the first refused frame,
    // the peer's when it next reads; up again once a frame went out.
    EXPECT_EQ(2u, count_of(said, "[ERROR] SocketCAN interface vcan2 went down")) << said;
    EXPECT_EQ(1u, count_of(said, "[INFO] SocketCAN interface vcan2 is up again")) << said;
    p.tool->CloseDevice(kType, 0);
    p.peer->CloseDevice(kType, 0);
}

} // namespace
