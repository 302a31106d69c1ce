#include "bench_link.h"

#include "CO_driver.h"
#include "OD.h"
#include "controlcan_transport.h"
#include "device_mng.h"
#include "fake_backend.h"

#include <gtest/gtest.h>
#include "ostrelo_time.h"
#include "sim_bench.h"

#include <cstring>
#include <random>

namespace cotest {

namespace {

// Time to report for one pass.
uint32_t pass_time_us(uint64_t *last) {
    const uint64_t now = ostrelo_monotonic_us();
    const uint64_t dt = now - *last;
    *last = now;
    return dt > 1000000u ? 1000000u : static_cast<uint32_t>(dt);
}

BenchLink g_link;
std::mt19937 g_rng;
client_channel_context_t g_channel;
// The bench adapter behind the fake backend (type 4, index 0).
const uint32_t kType = 4;
const uint32_t kIndex = 0;

const ControlCanTransport *bench() {
    return sim_controlcan_transport();
}

// Whether this request is a block-download segment the protocol can recover
// from when it is lost.
bool recoverable_segment(const std::vector<uint8_t> &data) {
    const CO_SDOclient_t *c = &g_channel.sdoclient;
    if (data.size() != 8 || (c->state != CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_REQ &&
                             c->state != CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP)) {
        return false;
    }
    const uint8_t seq = data[0] & 0x7F;
    return (data[0] & 0x80) == 0 && seq >= 1 && seq < c->block_blksize;
}

// A frame of the client onto the bench's bus, or lost on the way.
bool to_bench(const fake::Frame &f) {
    g_link.framesSent++;
    if (g_link.framesSent == g_link.dropFrameNumber) {
        return true;
    }
    if (g_link.segmentLoss > 0.0 && recoverable_segment(f.data) &&
        std::uniform_real_distribution<double>(0.0, 1.0)(g_rng) < g_link.segmentLoss) {
        g_link.segmentsLost++;
        return true; // gone on the bus
    }
    VCI_CAN_OBJ obj;
    memset(&obj, 0, sizeof obj);
    obj.ID = f.ident;
    obj.RemoteFlag = f.remote;
    obj.DataLen = static_cast<BYTE>(f.data.size());
    memcpy(obj.Data, f.data.data(), f.data.size());
    return bench()->Transmit(kType, kIndex, f.channel, &obj, 1) == 1;
}

int32_t from_bench(uint32_t ch, CO_CANrxMsg_t *frames, uint32_t cap) {
    static VCI_CAN_OBJ objs[CLIENT_QUEUE_CAPACITY];
    if (cap > CLIENT_QUEUE_CAPACITY) {
        cap = CLIENT_QUEUE_CAPACITY;
    }
    const DWORD n = bench()->Receive(kType, kIndex, ch, objs, cap, 0);
    if (n == 0xFFFFFFFFu) {
        return -1;
    }
    for (DWORD i = 0; i < n && i < cap; ++i) {
        frames[i].ident = objs[i].ID;
        frames[i].DLC = objs[i].DataLen;
        memcpy(frames[i].data, objs[i].Data, 8);
    }
    return static_cast<int32_t>(n);
}

void link_to_bench(fake::Bus &b) {
    b.open = [](uint32_t type, uint32_t index) { return bench()->OpenDevice(type, index, 0) == 1 ? 1 : 0; };
    b.close = [] { bench()->CloseDevice(kType, kIndex); };
    b.init = [](uint32_t ch) {
        VCI_INIT_CONFIG cfg;
        memset(&cfg, 0, sizeof cfg);
        cfg.AccMask = 0xFFFFFFFFu;
        cfg.Filter = 1;
        cfg.Timing0 = 0x00; // 500 kbit/s
        cfg.Timing1 = 0x1C;
        return bench()->InitCAN(kType, kIndex, ch, &cfg) == 1 ? 1 : 0;
    };
    b.start = [](uint32_t ch) { return bench()->StartCAN(kType, kIndex, ch) == 1 ? 1 : 0; };
    b.transmit = to_bench;
    b.receive = from_bench;
}

} // namespace

BenchLink &bench_link() {
    return g_link;
}

void bench_install() {
    fake::install(device_manager_cleanup_all);
    fake::capture([] {
        sim_bench_reset();
        sim_bench_set_timing(0);
        sim_bench_add_adapter(0, 1);
        sim_bench_add_segment(0, 0, 500);
    });
    link_to_bench(fake::bus());
    free(g_channel.rxQueue.buffer);
    memset(&g_channel, 0, sizeof g_channel);
    g_link = BenchLink();
    g_rng.seed(1);
}

client_channel_context_t *bench_channel() {
    g_rng.seed(g_link.seed);
    g_link.framesSent = 0;
    client_channel_context_t *ch = &g_channel;
    ch->channelId = {4, 0, 0, 500};
    fake::capture([&] {
        EXPECT_EQ(CO_CANmodule_init(&ch->canmodule, ch, ch->rx_array, 8, ch->tx_array, 8, 500), CO_ERROR_NO);
        EXPECT_EQ(CO_SDOclient_init(&ch->sdoclient, OD, OD_ENTRY_H1280, 1, &ch->canmodule, 0, &ch->canmodule,
                                    0, nullptr),
                  CO_ERROR_NO);
    });
    return ch;
}

CO_SDO_abortCode_t bench_download(client_channel_context_t *ch, uint8_t node, uint16_t index, uint8_t sub,
                                  const std::vector<uint8_t> &data, bool block, uint16_t timeout_ms,
                                  int *result) {
    CO_SDOclient_t *c = &ch->sdoclient;
    if (CO_SDOclient_setup(c, 0x600u + node, 0x580u + node, node) != CO_SDO_RT_ok_communicationEnd ||
        CO_SDOclientDownloadInitiate(c, index, sub, data.size(), timeout_ms, block) !=
            CO_SDO_RT_ok_communicationEnd) {
        return CO_SDO_AB_GENERAL;
    }
    size_t fed = CO_SDOclientDownloadBufWrite(c, data.data(), data.size() < 4096 ? data.size() : 4096);
    CO_SDO_abortCode_t code = 0;
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    uint64_t last = ostrelo_monotonic_us();
    for (uint64_t pass = 0; pass < 50000000u; ++pass) {
        CO_CANinterrupt(&ch->canmodule);
        const uint32_t dt = g_link.realTime ? pass_time_us(&last) : 1000u;
        r = CO_SDOclientDownload(c, dt, false, fed < data.size(), &code, nullptr, nullptr);
        if (r <= 0) {
            break;
        }
        if (fed < data.size() && (r == CO_SDO_RT_waitingResponse || r == CO_SDO_RT_blockDownldInProgress)) {
            const size_t chunk = data.size() - fed < 4096 ? data.size() - fed : 4096;
            fed += CO_SDOclientDownloadBufWrite(c, data.data() + fed, chunk);
        }
    }
    if (result != nullptr) {
        *result = r;
    }
    return r == CO_SDO_RT_ok_communicationEnd ? 0 : (code != 0 ? code : CO_SDO_AB_GENERAL);
}

CO_SDO_abortCode_t bench_upload(client_channel_context_t *ch, uint8_t node, uint16_t index, uint8_t sub,
                                std::vector<uint8_t> &out, bool block, uint16_t timeout_ms) {
    CO_SDOclient_t *c = &ch->sdoclient;
    out.clear();
    if (CO_SDOclient_setup(c, 0x600u + node, 0x580u + node, node) != CO_SDO_RT_ok_communicationEnd ||
        CO_SDOclientUploadInitiate(c, index, sub, timeout_ms, block) != CO_SDO_RT_ok_communicationEnd) {
        return CO_SDO_AB_GENERAL;
    }
    CO_SDO_abortCode_t code = 0;
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    uint8_t chunk[512];
    for (uint64_t pass = 0; pass < 10000000u; ++pass) {
        CO_CANinterrupt(&ch->canmodule);
        r = CO_SDOclientUpload(c, 1000, false, &code, nullptr, nullptr, nullptr);
        // Drain as the data arrives, so objects larger than the buffer fit.
        size_t n;
        while ((n = CO_SDOclientUploadBufRead(c, chunk, sizeof chunk)) > 0) {
            out.insert(out.end(), chunk, chunk + n);
        }
        if (r <= 0) {
            break;
        }
    }
    return r == CO_SDO_RT_ok_communicationEnd ? 0 : (code != 0 ? code : CO_SDO_AB_GENERAL);
}

uint32_t crc32_of(const std::vector<uint8_t> &data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

} // namespace cotest
