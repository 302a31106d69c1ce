// The bench's SDO server fed arbitrary requests and pauses: it never breaks,
// answers only with 8-byte frames on its response identifier, and a fresh
// read is answered once the client has been quiet for the server's time-out.
#include "controlcan_transport.h"
#include "fuzz_text.h"
#include "sim_bench.h"

#include <cstring>

namespace {

const uint32_t kNode = 5;

DWORD take_all(bool *onlySdo) {
    VCI_CAN_OBJ obj[64];
    DWORD total = 0;
    for (;;) {
        const DWORD n = sim_controlcan_transport()->Receive(4, 0, 0, obj, 64, 0);
        if (n == 0 || n == 0xFFFFFFFFu) {
            return total;
        }
        for (DWORD i = 0; i < n; ++i) {
            if (obj[i].ID == 0x580u + kNode && obj[i].DataLen != 8) {
                *onlySdo = false;
            }
        }
        total += n;
    }
}

void send(const uint8_t *d, uint8_t dlc) {
    VCI_CAN_OBJ o;
    memset(&o, 0, sizeof o);
    o.ID = 0x600u + kNode;
    o.DataLen = dlc;
    memcpy(o.Data, d, 8);
    sim_controlcan_transport()->Transmit(4, 0, 0, &o, 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz_text(data, 0);
    sim_bench_set_timing(0);
    sim_bench_set_manual_clock(1);
    sim_bench_reset();
    sim_motor_config_t m;
    sim_motor_config_init(&m);
    m.node = kNode;
    m.initialState = SIM_START_BOOT_HELD;
    m.flashSize = 4096;
    FUZZ_CHECK(sim_bench_add_motor(&m) == 1);
    const ControlCanTransport *t = sim_controlcan_transport();
    FUZZ_CHECK(t->OpenDevice(4, 0, 0) == 1);
    VCI_INIT_CONFIG cfg;
    memset(&cfg, 0, sizeof cfg);
    cfg.Timing0 = 0x00;
    cfg.Timing1 = 0x14;
    FUZZ_CHECK(t->InitCAN(4, 0, 0, &cfg) == 1);
    FUZZ_CHECK(t->StartCAN(4, 0, 0) == 1);

    bool onlySdo = true;
    size_t i = 0;
    while (i + 9 <= size) {
        const uint8_t op = data[i];
        if ((op & 0xC0) == 0xC0) {
            sim_bench_advance_ms(op & 0x3F ? (op & 0x3Fu) * 10u : 1u);
            i += 1;
            continue;
        }
        send(data + i + 1, static_cast<uint8_t>((op & 0x80) != 0 ? op % 9u : 8u));
        i += 9;
        take_all(&onlySdo);
    }
    sim_bench_advance_ms(SIM_SDO_SERVER_TIMEOUT_MS + SIM_SUBBLOCK_TIMEOUT_MS + 10);
    take_all(&onlySdo);
    FUZZ_CHECK(onlySdo);
    // Quiet long enough: the server answers a plain read again, unless a
    // start command (0x1F51:01) handed the node to its application, which
    // has no SDO server.
    if (sim_bench_motor_state(0, 0, kNode) != SIM_MOTOR_APPLICATION) {
        const uint8_t read[8] = {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0};
        send(read, 8);
        VCI_CAN_OBJ r[8];
        const DWORD n = t->Receive(4, 0, 0, r, 8, 0);
        FUZZ_CHECK(n >= 1 && r[n - 1].ID == 0x580u + kNode && r[n - 1].Data[0] == 0x43);
    }
    sim_bench_reset();
    sim_bench_set_manual_clock(0);
    return 0;
}
