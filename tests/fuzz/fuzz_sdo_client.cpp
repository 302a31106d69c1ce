// SDO client download and upload driven by server frames of any identifier,
// length and content, with refused transmits and uneven step times. Every
// success the client claims is checked against what it was actually told.
#include "CO_SDOclient.h"
#include "OD.h"
#include "fuzz_can.h"

using namespace fuzzcan;

namespace {

void watch(void *object, void *msg) {
    // Only standard data frames of the server may reach the client.
    FUZZ_CHECK(static_cast<const CO_CANrxMsg_t *>(msg)->ident == 0x585u);
    CO_SDOclient_receive(object, msg);
}

// The last response the client acted on. A success is judged by it: frames
// that come later (while a block upload's confirmation still waits for the
// adapter, say) are rightly ignored and end nothing.
struct Handled {
    bool any = false;
    uint8_t data[8];
};

const uint32_t kIdents[4] = {0x585u, 0x586u, 0x1ABC0585u, 0x40000585u};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Input in(data, size);
    client_channel_context_t *ch = fresh_channel();
    CO_SDOclient_t *c = &ch->sdoclient;
    memset(c, 0, sizeof *c);
    FUZZ_CHECK(CO_SDOclient_init(c, OD, OD_ENTRY_H1280, 1, &ch->canmodule, 0, &ch->canmodule, 0, nullptr) ==
               CO_ERROR_NO);
    FUZZ_CHECK(CO_SDOclient_setup(c, 0x605, 0x585, 5) == CO_SDO_RT_ok_communicationEnd);
    ch->rx_array[0].CANrx_callback = watch;
    Handled handled;

    const uint8_t mode = in.u8();
    const bool upload = (mode & 1) != 0;
    const bool block = (mode & 2) != 0;
    const size_t total = in.u16() % 9000u;
    std::vector<uint8_t> payload(total);
    for (size_t i = 0; i < total; ++i) {
        payload[i] = static_cast<uint8_t>(i * 31u + 7u);
    }
    size_t written = 0;
    if (upload) {
        FUZZ_CHECK(CO_SDOclientUploadInitiate(c, 0x2000, 0, 300, block) == CO_SDO_RT_ok_communicationEnd);
    } else {
        FUZZ_CHECK(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, total, 300, block) ==
                   CO_SDO_RT_ok_communicationEnd);
        written = CO_SDOclientDownloadBufWrite(c, payload.data(), total);
    }

    std::vector<uint8_t> got;
    CO_SDO_return_t ret = CO_SDO_RT_waitingResponse;
    CO_SDO_abortCode_t abortCode = 0;
    size_t tran = 0;
    for (int pass = 0; pass < 5000; ++pass) {
        if (in.more()) {
            const uint8_t op = in.u8();
            if ((op & 0x80) != 0) {
                CO_CANrxMsg_t f;
                memset(&f, 0, sizeof f);
                f.ident = kIdents[op & 3u];
                f.DLC = static_cast<uint8_t>(in.u8() % 9u);
                for (uint8_t &b : f.data) {
                    b = in.u8();
                }
                bus().rx.push_back(f);
            }
            if ((op & 0x40) != 0) {
                bus().refuse = op & 7;
            }
        }
        const uint32_t dt = (pass % 7 == 6) ? 50000u : 1000u;
        CO_CANinterrupt(&ch->canmodule);
        const bool pending = c->CANrxNew;
        uint8_t pendingData[8];
        memcpy(pendingData, c->CANrxData, sizeof pendingData);
        if (upload) {
            ret = CO_SDOclientUpload(c, dt, false, &abortCode, nullptr, &tran, nullptr);
            uint8_t buf[512];
            size_t n;
            while ((n = CO_SDOclientUploadBufRead(c, buf, sizeof buf)) > 0) {
                got.insert(got.end(), buf, buf + n);
            }
        } else {
            const bool partial = written < total;
            ret = CO_SDOclientDownload(c, dt, false, partial, &abortCode, &tran, nullptr);
            if (partial) {
                written += CO_SDOclientDownloadBufWrite(c, payload.data() + written, total - written);
            }
        }
        if (pending && !c->CANrxNew) {
            handled.any = true;
            memcpy(handled.data, pendingData, sizeof handled.data);
        }
        if (ret <= 0) {
            break;
        }
    }

    if (ret == CO_SDO_RT_ok_communicationEnd) {
        FUZZ_CHECK(handled.any); // success needs an answer of the server
        const uint8_t b0 = handled.data[0];
        if (upload) {
            FUZZ_CHECK(got.size() == tran);
            if (block && (b0 & 0xE3u) == 0xC1u) {
                // A block upload ends with the client's confirmation out on the bus.
                FUZZ_CHECK(!bus().sent.empty() && bus().sent.back().data[0] == 0xA1u);
            } else {
                FUZZ_CHECK((b0 & 0xF0u) == 0x40u || (b0 & 0xE1u) == 0x01u);
            }
        } else {
            FUZZ_CHECK(tran == total);
            FUZZ_CHECK(written == total);
            FUZZ_CHECK(block ? (b0 == 0xA1u || b0 == 0x60u || (b0 & 0xEFu) == 0x20u)
                             : (b0 == 0x60u || (b0 & 0xEFu) == 0x20u));
        }
    } else if (ret < 0) {
        FUZZ_CHECK(abortCode != 0 || ret == CO_SDO_RT_endedWithServerAbort); // a server may send code 0
    }
    // Leaving an unfinished transfer behind must be safe too.
    CO_SDOclient_setup(c, 0x605, 0x585, 5);
    return 0;
}
