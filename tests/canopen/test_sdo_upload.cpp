// SDO client: upload (expedited, segmented, block) and hostile input.
#include "crc16-ccitt.h"
#include "sdo_fixture.h"

#include <cstring>
#include <random>

using namespace cotest;
using namespace fake;
using Bytes = std::vector<uint8_t>;

namespace {

using SdoUpload = SdoTest;

TEST_F(SdoUpload, IdleStepPrintsAndEnds) {
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    EXPECT_EQ(capture([&] { r = ul(); }), "CO_SDOclientUpload: sdo_c->state == CO_SDO_ST_IDLE\n");
    EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(abortCode, 0u);
}

TEST_F(SdoUpload, Expedited) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 1000, false), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(ul(), CO_SDO_RT_waitingResponse);
    EXPECT_EQ(lastSent(), Bytes({0x40, 0x18, 0x10, 0x01, 0, 0, 0, 0}));
    reply({0x43, 0x18, 0x10, 0x01, 0x52, 0x54, 0x53, 0x4F});
    EXPECT_EQ(ul(), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(sizeTran, 4u);
    EXPECT_EQ(readAll(), Bytes({0x52, 0x54, 0x53, 0x4F}));

    // Two bytes indicated (n = 2).
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x4B, 0x18, 0x10, 0x01, 0xAA, 0xBB, 0xCC, 0xDD});
    EXPECT_EQ(ul(), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(readAll(), Bytes({0xAA, 0xBB}));

    // Size not indicated: four bytes.
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x42, 0x18, 0x10, 0x01, 1, 2, 3, 4});
    EXPECT_EQ(ul(), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(readAll().size(), 4u);

    // Echo of another sub-index.
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x43, 0x18, 0x10, 0x02, 1, 2, 3, 4});
    EXPECT_EQ(ul(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_PRAM_INCOMPAT);
    EXPECT_EQ(lastSent(), abortFrame(0x1018, 1, 0x06040043));
}

TEST_F(SdoUpload, SegmentedWithSize) {
    const Bytes data = pattern(24, 5);
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1008, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x41, 0x08, 0x10, 0x00, 24, 0, 0, 0});
    uint8_t toggle = 0;
    size_t off = 0;
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    std::string out;
    for (int i = 0; i < 10 && r > 0; ++i) {
        out = capture([&] { r = ul(); });
        if (r <= 0) {
            break;
        }
        EXPECT_EQ(lastSent()[0], 0x60 | toggle);
        const size_t n = std::min<size_t>(7, data.size() - off);
        Bytes seg(8, 0);
        seg[0] = static_cast<uint8_t>(toggle | ((7 - n) << 1) | (off + n == data.size() ? 1 : 0));
        std::copy(data.begin() + static_cast<long>(off), data.begin() + static_cast<long>(off + n),
                  seg.begin() + 1);
        reply(seg);
        off += n;
        toggle ^= 0x10;
    }
    EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(out, "sdo_c->state == CO_SDO_ST_UPLOAD_SEGMENT_RSP && SDO_C->CANrxData[0] & 0x01U != 0U\n");
    EXPECT_EQ(sizeInd, 24u);
    EXPECT_EQ(sizeTran, 24u);
    EXPECT_EQ(readAll(), data);
}

TEST_F(SdoUpload, SegmentedViolations) {
    struct Case {
        uint8_t indicated;
        Bytes segment;
        uint32_t code;
    } cases[] = {
        {0, {0x11, 1, 2, 3, 4, 5, 6, 7}, CO_SDO_AB_TOGGLE_BIT}, // first segment must have toggle 0
        {0, {0x21, 1, 2, 3, 4, 5, 6, 7}, CO_SDO_AB_CMD},        // not a segment response
        {5, {0x01, 1, 2, 3, 4, 5, 6, 7}, CO_SDO_AB_DATA_LONG},  // 7 bytes, 5 indicated
        {9, {0x01, 1, 2, 3, 4, 5, 6, 7}, CO_SDO_AB_DATA_SHORT}, // last with 7 of 9
        {9, {0x00, 1, 2, 3, 4, 5, 6, 7}, CO_SDO_AB_NONE},       // fine so far
    };
    for (const Case &k : cases) {
        ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1008, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
        ul();
        reply({static_cast<uint8_t>(k.indicated ? 0x41 : 0x40), 0x08, 0x10, 0x00, k.indicated});
        ul();
        reply(k.segment);
        const CO_SDO_return_t r = ul();
        EXPECT_EQ(abortCode, k.code) << std::hex << k.code;
        EXPECT_EQ(r, k.code ? CO_SDO_RT_endedWithClientAbort : CO_SDO_RT_waitingResponse);
    }
}

TEST_F(SdoUpload, SegmentedLargerThanTheBufferWaitsForTheReader) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 50, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x40, 0x00, 0x20, 0x00});
    uint8_t toggle = 0;
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    int segments = 0;
    while ((r = ul()) == CO_SDO_RT_waitingResponse) {
        reply({toggle, 1, 2, 3, 4, 5, 6, 7});
        toggle ^= 0x10;
        segments++;
    }
    EXPECT_EQ(r, CO_SDO_RT_uploadDataBufferFull);
    EXPECT_EQ(segments, 4096 / 7);
    EXPECT_LE(CO_fifo_getOccupied(&c->bufFifo), 4096u);
    // Reading makes room and the transfer goes on.
    uint8_t sink[100];
    EXPECT_EQ(CO_SDOclientUploadBufRead(c, sink, sizeof sink), 100u);
    r = ul();
    EXPECT_EQ(r, CO_SDO_RT_waitingResponse);
    EXPECT_EQ(lastSent()[0], 0x60 | toggle);
    // Fill it again; then nobody reads, and after the time limit the
    // transfer ends with the general code (no time-out line).
    while (r == CO_SDO_RT_waitingResponse) {
        reply({toggle, 1, 2, 3, 4, 5, 6, 7});
        toggle ^= 0x10;
        r = ul();
    }
    EXPECT_EQ(r, CO_SDO_RT_uploadDataBufferFull);
    std::string out;
    do {
        out += capture([&] { r = ul(); });
    } while (r > 0);
    EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_GENERAL);
    EXPECT_EQ(out, "");
}

TEST_F(SdoUpload, TimeoutPrintsTheStateBeforeTheAbort) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 3, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    ul();
    ul();
    std::string out;
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    out = capture([&] { r = ul(); });
    EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
    EXPECT_EQ(
        out,
        "Timeout2: SDO_C->timeoutTimer = 3000, >= SDO_C->SDOtimeoutTime_us = 3000, SDO_C->state == 34\n");
}

// A scripted block-upload server for `data`.
class SdoBlockUpload : public SdoTest {
  protected:
    Bytes data;
    size_t acked = 0; // bytes the client has confirmed
    uint8_t blksize = 0;

    void start(size_t n, bool crc = true) {
        data = pattern(n, 11);
        ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
        ASSERT_EQ(ul(), CO_SDO_RT_waitingResponse);
        const Bytes req = lastSent();
        ASSERT_EQ(req[0], 0xA4);
        blksize = req[4];
        EXPECT_EQ(req[5], 21);
        reply({static_cast<uint8_t>(crc ? 0xC6 : 0xC2), 0x00, 0x20, 0x00, static_cast<uint8_t>(n),
               static_cast<uint8_t>(n >> 8)});
        ASSERT_EQ(ul(), CO_SDO_RT_blockUploadInProgress);
        ASSERT_EQ(lastSent()[0], 0xA3);
    }
    // Sends segments `from`..`to` (1-based) of the current sub-block.
    void segments(int from, int to) {
        for (int s = from; s <= to; ++s) {
            const size_t off = acked + static_cast<size_t>(s - 1) * 7;
            Bytes seg(8, 0);
            seg[0] = static_cast<uint8_t>(s);
            for (size_t i = 0; i < 7 && off + i < data.size(); ++i) {
                seg[1 + i] = data[off + i];
            }
            if (off + 7 >= data.size()) {
                seg[0] |= 0x80;
            }
            reply(seg);
        }
    }
    // Steps until the client sends its confirmation; returns ackseq.
    int confirm() {
        const size_t before = sentCount();
        for (int i = 0; i < 300 && sentCount() == before; ++i) {
            if (ul() <= 0) {
                return -1;
            }
        }
        const Bytes f = lastSent();
        EXPECT_EQ(f[0], 0xA2);
        acked += static_cast<size_t>(f[1]) * 7;
        blksize = f[2];
        return f[1];
    }
};

TEST_F(SdoBlockUpload, BlockSizeFollowsFreeSpace) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    Bytes fill(3996, 0);
    CO_fifo_write(&c->bufFifo, fill.data(), fill.size(), nullptr); // 100 bytes stay free
    ul();
    EXPECT_EQ(lastSent()[4], 14);

    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    fill.resize(4091);
    CO_fifo_write(&c->bufFifo, fill.data(), fill.size(), nullptr); // 5 free
    EXPECT_EQ(ul(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_OUT_OF_MEM);
    EXPECT_EQ(lastSent(), abortFrame(0x2000, 0, 0x05040005));

    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    ul();
    EXPECT_EQ(lastSent()[4], 127);
}

TEST_F(SdoBlockUpload, WholeTransferWithGapAndRepeats) {
    start(1000);
    ASSERT_EQ(blksize, 127);
    segments(1, 3);
    segments(3, 3); // repeated: ignored
    segments(5, 9); // gap after 3: the sub-block ends early
    EXPECT_EQ(confirm(), 3);
    EXPECT_EQ(sizeTran, 21u);
    segments(1, 127); // server resends from segment 4
    EXPECT_EQ(confirm(), 127);
    CO_SDO_return_t r;
    // The rest: (1000 - 21 - 889) = 90 bytes = 13 segments, the last one short.
    segments(1, 13);
    EXPECT_EQ(confirm(), 13);
    EXPECT_EQ(c->state, CO_SDO_ST_UPLOAD_BLK_END_SREQ);
    const uint16_t crc = crc16_ccitt(data.data(), data.size(), 0);
    const uint8_t n = static_cast<uint8_t>(7 - (data.size() - 12 * 7 - 21 - 889)); // bytes without data
    reply({static_cast<uint8_t>(0xC1 | (n << 2)), static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
    r = ul();
    EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(lastSent()[0], 0xA1);
    EXPECT_EQ(sizeTran, 1000u);
    EXPECT_EQ(readAll(), data);
}

TEST_F(SdoBlockUpload, EndChecks) {
    struct Case {
        bool crcEnabled;
        int crcDelta;
        int sizeDelta;
        uint32_t code;
    } cases[] = {{true, 1, 0, CO_SDO_AB_CRC},
                 {false, 1, 0, CO_SDO_AB_NONE},
                 {true, 0, 1, CO_SDO_AB_DATA_SHORT},
                 {true, 0, -1, CO_SDO_AB_DATA_LONG}};
    for (const Case &k : cases) {
        acked = 0;
        start(30, k.crcEnabled);
        segments(1, 5);
        ASSERT_EQ(confirm(), 5);
        const uint16_t crc = static_cast<uint16_t>(crc16_ccitt(data.data(), data.size(), 0) + k.crcDelta);
        const uint8_t n = static_cast<uint8_t>(5 + k.sizeDelta); // 30 = 4*7 + 2: 5 bytes without data
        reply({static_cast<uint8_t>(0xC1 | (n << 2)), static_cast<uint8_t>(crc),
               static_cast<uint8_t>(crc >> 8)});
        const CO_SDO_return_t r = ul();
        EXPECT_EQ(abortCode, k.code);
        if (k.code == 0) {
            EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd);
            EXPECT_EQ(readAll(), data);
        } else {
            EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
        }
    }
}

TEST_F(SdoBlockUpload, ShortFramesAndSubBlockTimeout) {
    start(100);
    segments(1, 2);
    fake::bus().push(0, 0x585, {3, 9, 9, 9, 9, 9, 9}, 7); // DLC 7: ignored
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ul(), CO_SDO_RT_blockUploadInProgress);
    }
    EXPECT_EQ(c->block_seqno, 2);
    // No more segments: after 700 steps (1000 ms x 0.7) the client confirms 2.
    int steps = 0;
    const size_t before = sentCount();
    while (sentCount() == before && steps < 2000) {
        ul();
        steps++;
    }
    EXPECT_EQ(steps, 698); // 700 passes after segment 2 arrived
    EXPECT_EQ(c->state, CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_SREQ);
    EXPECT_EQ(lastSent(), Bytes({0xA2, 2, 127, 0, 0, 0, 0, 0}));
}

TEST_F(SdoBlockUpload, SegmentsThatDoNotFitAreNotTaken) {
    start(5000);
    // Something else fills the buffer during the sub-block: 20 bytes stay free.
    Bytes fill(4076, 0xEE);
    ASSERT_EQ(CO_fifo_write(&c->bufFifo, fill.data(), fill.size(), nullptr), fill.size());
    segments(1, 10);
    for (int i = 0; i < 10; ++i) {
        ul();
        ASSERT_LE(CO_fifo_getOccupied(&c->bufFifo), 4096u);
    }
    EXPECT_EQ(c->block_seqno, 2);
    EXPECT_EQ(sizeTran, 14u);
    EXPECT_EQ(c->state, CO_SDO_ST_UPLOAD_BLK_SUBBLOCK_CRSP);
    // No room for a sub-block while data waits: the caller must read first.
    EXPECT_EQ(ul(), CO_SDO_RT_uploadDataBufferFull);
    Bytes out = readAll();
    EXPECT_EQ(out.size(), 4076u + 14u);
    EXPECT_TRUE(std::equal(out.end() - 14, out.end(), data.begin()));
    EXPECT_EQ(ul(), CO_SDO_RT_blockUploadInProgress);
    EXPECT_EQ(lastSent(), Bytes({0xA2, 2, 127, 0, 0, 0, 0, 0}));
}

TEST_F(SdoBlockUpload, ServerPrefersNormalUpload) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 3, 1000, true), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x43, 0x18, 0x10, 0x03, 9, 8, 7, 6});
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    EXPECT_EQ(capture([&] { r = ul(); }),
              "sdo_c->state == CO_SDO_ST_UPLOAD_BLK_INITIATE_RSP && SDO_C->CANrxData[0] & 0x02U != 0U\n");
    EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(readAll(), Bytes({9, 8, 7, 6}));

    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 3, 1000, true), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x41, 0x18, 0x10, 0x03, 10});
    EXPECT_EQ(ul(), CO_SDO_RT_waitingResponse);
    EXPECT_EQ(lastSent()[0], 0x60);
    EXPECT_EQ(sizeInd, 10u);

    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 3, 1000, true), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0xE0, 0x18, 0x10, 0x03});
    EXPECT_EQ(ul(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_CMD);
}

// Any frame in any state: the client answers with an abort, ignores the
// frame or goes on; it never writes outside its buffers and never reports
// more data than passed through its buffer.
TEST_F(SdoTest, RandomFramesInEveryState) {
    std::mt19937 rng(20261208);
    for (int transfer = 0; transfer < 400; ++transfer) {
        const int kind = transfer % 4;
        const Bytes data = pattern(rng() % 300, static_cast<uint8_t>(transfer));
        if (kind < 2) {
            ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, rng() % 2 ? data.size() : 0, 50, kind == 1),
                      CO_SDO_RT_ok_communicationEnd);
            write(data);
        } else {
            ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1F50, 1, 50, kind == 3), CO_SDO_RT_ok_communicationEnd);
        }
        for (int step = 0; step < 200; ++step) {
            if (rng() % 3 == 0) {
                Bytes f(8);
                for (auto &b : f) {
                    b = static_cast<uint8_t>(rng());
                }
                if (rng() % 2) {
                    f[1] = 0x50; // echo the object so deeper states are reached
                    f[2] = 0x1F;
                    f[3] = 0x01;
                }
                if (rng() % 4 == 0) {
                    f[0] = static_cast<uint8_t>((rng() % 2 ? 0x80 : 0) | (rng() % 128)); // segment-like
                }
                fake::bus().push(0, 0x585, f, static_cast<int>(rng() % 4 == 0 ? rng() % 16 : 8));
            }
            CO_SDO_return_t r;
            capture([&] { r = kind < 2 ? dl() : ul(); });
            ASSERT_LT(c->bufFifo.writePtr, 4097u);
            ASSERT_LT(c->bufFifo.readPtr, 4097u);
            ASSERT_LE(CO_fifo_getOccupied(&c->bufFifo), 4096u);
            if (kind < 2) {
                ASSERT_LE(sizeTran, data.size());
            }
            if (r <= 0) {
                break;
            }
        }
        readAll();
        CO_SDOclientClose(c);
        EXPECT_EQ(c->state, CO_SDO_ST_IDLE);
        fake::bus().rx[0].clear();
    }
}

} // namespace
