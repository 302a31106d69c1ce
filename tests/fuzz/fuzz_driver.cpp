// The CAN driver's receive dispatch and transmit retry: frames of any
// identifier reach only the filter they match as standard data frames; a
// refused frame waits and leaves once the adapter takes frames again.
#include "fuzz_can.h"

using namespace fuzzcan;

namespace {

struct Got {
    uint16_t filter;
    uint32_t ident;
};
std::vector<Got> g_got;
uint16_t g_filterOf[8];

void record(void *object, void *msg) {
    const uint16_t filter = *static_cast<uint16_t *>(object);
    g_got.push_back(Got{filter, static_cast<const CO_CANrxMsg_t *>(msg)->ident});
}

uint16_t waiting(const CO_CANmodule_t *m) {
    uint16_t n = 0;
    for (uint16_t i = 0; i < m->txSize; ++i) {
        n += m->txArray[i].bufferFull ? 1 : 0;
    }
    return n;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    client_channel_context_t *ch = fresh_channel();
    CO_CANmodule_t *m = &ch->canmodule;
    g_got.clear();
    const uint8_t filters = in.u8() % 9u;
    for (uint16_t i = 0; i < filters; ++i) {
        g_filterOf[i] = i;
        CO_CANrxBufferInit(m, i, in.u16(), in.u16(), (in.u8() & 1) != 0, &g_filterOf[i], record);
    }
    CO_CANtx_t *tx[8];
    for (uint16_t i = 0; i < 8; ++i) {
        tx[i] = CO_CANtxBufferInit(m, i, static_cast<uint16_t>(0x600u + i), false, 8, false);
    }
    while (in.more()) {
        const uint8_t op = in.u8();
        switch (op % 4u) {
        case 0: { // a frame arrives
            CO_CANrxMsg_t f;
            memset(&f, 0, sizeof f);
            f.ident = in.u32();
            if ((op & 0x10) != 0) {
                f.ident &= 0x7FFu;
            }
            f.DLC = static_cast<uint8_t>(in.u8() % 9u);
            bus().rx.push_back(f);
            break;
        }
        case 1: // a send
            CO_CANsend(m, tx[(op >> 2) & 7u]);
            break;
        case 2: // the adapter refuses the next sends
            bus().refuse = (op >> 2) & 7;
            break;
        default: {
            const size_t before = g_got.size();
            CO_CANinterrupt(m);
            FUZZ_CHECK(g_got.size() <= before + 1);
            break;
        }
        }
        FUZZ_CHECK(m->CANtxCount >= waiting(m)); // a waiting frame is never forgotten
    }
    for (const Got &g : g_got) {
        FUZZ_CHECK(g.ident <= 0x7FFu);
        const CO_CANrx_t &r = m->rxArray[g.filter];
        FUZZ_CHECK(((r.ident ^ g.ident) & r.mask) == 0u);
        for (uint16_t i = 0; i < g.filter; ++i) { // the first match takes it
            const CO_CANrx_t &e = m->rxArray[i];
            FUZZ_CHECK(e.CANrx_callback == nullptr || ((e.ident ^ g.ident) & e.mask) != 0u);
        }
    }
    // Once the adapter takes frames again, every waiting frame leaves.
    bus().refuse = 0;
    for (int i = 0; i < 16; ++i) {
        CO_CANinterrupt(m);
    }
    FUZZ_CHECK(waiting(m) == 0);
    return 0;
}
