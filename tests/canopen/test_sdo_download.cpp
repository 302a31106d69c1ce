// SDO client: set-up and download (expedited, segmented, block).
#include "crc16-ccitt.h"
#include "sdo_fixture.h"

#include <cstring>

using namespace cotest;
using namespace fake;
using Bytes = std::vector<uint8_t>;

namespace {

TEST(SdoSetup, InitArgumentsAndDictionaryDefaults) {
    fake::install(device_manager_cleanup_all);
    client_channel_context_t *ch = fake::canopen_channel(0);
    CO_SDOclient_t *c = &ch->sdoclient;
    CO_CANmodule_t *m = &ch->canmodule;
    EXPECT_EQ(CO_SDOclient_init(nullptr, OD, OD_ENTRY_H1280, 1, m, 0, m, 0, nullptr),
              CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_EQ(CO_SDOclient_init(c, OD, nullptr, 1, m, 0, m, 0, nullptr), CO_ERROR_ILLEGAL_ARGUMENT);
    EXPECT_EQ(CO_SDOclient_init(c, OD, &ODList[15], 1, m, 0, m, 0, nullptr),
              CO_ERROR_ILLEGAL_ARGUMENT); // 0x1200
    EXPECT_EQ(CO_SDOclient_init(c, OD, OD_ENTRY_H1280, 1, nullptr, 0, m, 0, nullptr),
              CO_ERROR_ILLEGAL_ARGUMENT);

    // An entry in range whose highest sub-index is not 3.
    uint8_t two = 2;
    uint32_t cob = 0x605;
    const OD_obj_record_t rec[] = {
        {&two, 0, ODA_SDO_R, 1}, {&cob, 1, ODA_SDO_RW, 4}, {&cob, 2, ODA_SDO_RW, 4}};
    const OD_entry_t other = {0x1281, 3, ODT_REC, rec, nullptr};
    uint32_t errInfo = 0;
    EXPECT_EQ(CO_SDOclient_init(c, OD, &other, 1, m, 0, m, 0, &errInfo), CO_ERROR_OD_PARAMETERS);
    EXPECT_EQ(errInfo, 0x1281u);

    // The dictionary's identifiers carry the not-valid flag.
    EXPECT_EQ(CO_SDOclient_init(c, OD, OD_ENTRY_H1280, 1, m, 0, m, 0, nullptr), CO_ERROR_NO);
    EXPECT_FALSE(c->valid);
    EXPECT_EQ(c->bufFifo.bufSize, 4097u);
    EXPECT_EQ(c->nodeIDOfTheSDOServer, 1);
    EXPECT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 100, 1000, true), CO_SDO_RT_wrongArguments);
    EXPECT_EQ(CO_SDOclientUploadInitiate(c, 0x1018, 1, 1000, false), CO_SDO_RT_wrongArguments);
    CO_SDO_abortCode_t code = 0;
    EXPECT_EQ(CO_SDOclientDownload(c, 1000, false, false, &code, nullptr, nullptr), CO_SDO_RT_wrongArguments);
    EXPECT_EQ(code, CO_SDO_AB_DEVICE_INCOMPAT);
    code = 0;
    EXPECT_EQ(CO_SDOclientUpload(c, 1000, false, &code, nullptr, nullptr, nullptr), CO_SDO_RT_wrongArguments);
    EXPECT_EQ(code, CO_SDO_AB_DEVICE_INCOMPAT);
    EXPECT_EQ(CO_SDOclientDownload(nullptr, 1000, false, false, nullptr, nullptr, nullptr),
              CO_SDO_RT_wrongArguments);

    EXPECT_EQ(CO_SDOclient_setup(c, 0x80000605u, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
    EXPECT_FALSE(c->valid);
    EXPECT_EQ(CO_SDOclient_setup(c, 0x605, 0x800, 5), CO_SDO_RT_ok_communicationEnd); // low 11 bits 0
    EXPECT_FALSE(c->valid);
    EXPECT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
    EXPECT_TRUE(c->valid);
    EXPECT_EQ(ch->rx_array[0].ident, 0x585);
    EXPECT_EQ(ch->rx_array[0].mask, 0xFFF);
    EXPECT_EQ(c->CANtxBuff, &ch->tx_array[0]);
    EXPECT_EQ(ch->tx_array[0].ident & 0x7FFu, 0x605u);
    EXPECT_EQ(CO_SDOclient_setup(nullptr, 0x605, 0x585, 5), CO_SDO_RT_wrongArguments);

    // A filter index the module does not have makes the client unusable.
    c->CANdevRxIdx = 8;
    EXPECT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_wrongArguments);
    EXPECT_FALSE(c->valid);
    fake::install(device_manager_cleanup_all);
}

using SdoDownload = SdoTest;

TEST_F(SdoDownload, ExpeditedForms) {
    struct Case {
        size_t sizeInd;
        size_t bytes;
        uint8_t cmd;
    } cases[] = {{4, 4, 0x23}, {3, 3, 0x27}, {1, 1, 0x2F}, {0, 3, 0x22}, {0, 4, 0x22}};
    for (const Case &k : cases) {
        fake::bus().sent.clear();
        ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 2, k.sizeInd, 1000, false),
                  CO_SDO_RT_ok_communicationEnd);
        const Bytes data = pattern(k.bytes, 0x40);
        ASSERT_EQ(write(data), k.bytes);
        EXPECT_EQ(dl(), CO_SDO_RT_waitingResponse);
        ASSERT_EQ(sentCount(), 1u);
        Bytes want = {k.cmd, 0x01, 0x20, 0x02, 0, 0, 0, 0};
        std::copy(data.begin(), data.end(), want.begin() + 4);
        EXPECT_EQ(fake::bus().sent[0].ident, 0x605u);
        EXPECT_EQ(lastSent(), want) << "size " << k.sizeInd;
        EXPECT_EQ(sizeTran, k.bytes);
        reply({0x60, 0x01, 0x20, 0x02});
        EXPECT_EQ(dl(), CO_SDO_RT_ok_communicationEnd);
        EXPECT_EQ(abortCode, 0u);
        EXPECT_EQ(sizeTran, k.bytes);
        EXPECT_EQ(c->state, CO_SDO_ST_IDLE);
        EXPECT_EQ(dl(), CO_SDO_RT_ok_communicationEnd); // idle stays done
    }
}

TEST_F(SdoDownload, SizeDisagreeingWithDataEndsWithoutAFrame) {
    // Indicated 2, three bytes given.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 2, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(3));
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TYPE_MISMATCH);
    EXPECT_EQ(sentCount(), 0u);
    EXPECT_EQ(c->state, CO_SDO_ST_IDLE);
    // Nothing indicated and nothing given.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TYPE_MISMATCH);
    EXPECT_EQ(sentCount(), 0u);
}

TEST_F(SdoDownload, SegmentedWithToggles) {
    const Bytes data = pattern(20);
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 20, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(data);
    EXPECT_EQ(dl(), CO_SDO_RT_waitingResponse);
    EXPECT_EQ(lastSent(), Bytes({0x21, 0x01, 0x20, 0x00, 20, 0, 0, 0}));
    reply({0x60, 0x01, 0x20, 0x00});
    const uint8_t cmds[] = {0x00, 0x10, 0x03}; // toggle, then 6 bytes (n = 1) with the last-segment bit
    const uint8_t acks[] = {0x20, 0x30, 0x20};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(dl(), CO_SDO_RT_waitingResponse);
        const Bytes seg = lastSent();
        EXPECT_EQ(seg[0], cmds[i]) << i;
        const size_t n = i < 2 ? 7 : 6;
        EXPECT_TRUE(
            std::equal(seg.begin() + 1, seg.begin() + 1 + static_cast<long>(n), data.begin() + i * 7));
        reply({acks[i]});
    }
    EXPECT_EQ(dl(), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(sizeTran, 20u);
    EXPECT_EQ(sentCount(), 4u);

    // Without a size: 0x20, and the end comes when the buffer runs dry.
    fake::bus().sent.clear();
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(7));
    dl();
    EXPECT_EQ(lastSent()[0], 0x20);
    reply({0x60, 0x01, 0x20, 0x00});
    dl();
    EXPECT_EQ(lastSent()[0], 0x01); // 7 bytes, last
    reply({0x20});
    EXPECT_EQ(dl(), CO_SDO_RT_ok_communicationEnd);
}

TEST_F(SdoDownload, ProtocolViolationsSendTheAbortFrame) {
    // Wrong toggle in the segment response.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 20, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(20));
    dl();
    reply({0x60, 0x01, 0x20, 0x00});
    dl();
    reply({0x30});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TOGGLE_BIT);
    EXPECT_EQ(lastSent(), abortFrame(0x2001, 0, 0x05030000));
    EXPECT_EQ(c->state, CO_SDO_ST_IDLE);

    // Response naming another object.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    reply({0x60, 0x02, 0x20, 0x00});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_PRAM_INCOMPAT);
    EXPECT_EQ(lastSent(), abortFrame(0x2001, 0, 0x06040043));

    // An upload response where a download response belongs.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    reply({0x43, 0x01, 0x20, 0x00});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_PRAM_INCOMPAT);
}

TEST_F(SdoDownload, AbortsFromEitherSide) {
    // The server's code is passed on unchanged; nothing is sent back.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 1000, 1000, true), CO_SDO_RT_ok_communicationEnd);
    write(pattern(1000));
    dl(true);
    const size_t before = sentCount();
    reply(abortFrame(0x1F50, 1, 0xDEADBEEF));
    EXPECT_EQ(dl(true), CO_SDO_RT_endedWithServerAbort);
    EXPECT_EQ(abortCode, 0xDEADBEEFu);
    EXPECT_EQ(sentCount(), before);
    EXPECT_EQ(c->state, CO_SDO_ST_IDLE);

    // The caller's abort carries the caller's code.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 1000, 1000, true), CO_SDO_RT_ok_communicationEnd);
    write(pattern(1000));
    dl(true);
    EXPECT_EQ(dl(true, true, 0x08000020), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, 0x08000020u);
    EXPECT_EQ(lastSent(), abortFrame(0x1F50, 1, 0x08000020));
    // Without a code pointer the device-incompatible code is used.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 1000, 1000, true), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(CO_SDOclientDownload(c, 1000, true, false, nullptr, nullptr, nullptr),
              CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(lastSent(), abortFrame(0x1F50, 1, 0x06040047));

    // An abort received while idle is ignored.
    reply(abortFrame(0x1F50, 1, 0x05040000));
    CO_CANinterrupt(&ch->canmodule);
    EXPECT_FALSE(c->CANrxNew);
}

TEST_F(SdoDownload, MoreOrLessDataThanIndicated) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 10, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(20));
    dl();
    reply({0x60, 0x01, 0x20, 0x00});
    dl();
    reply({0x20});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_DATA_LONG);
    EXPECT_EQ(sizeTran, 7u);

    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 20, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(10));
    dl();
    reply({0x60, 0x01, 0x20, 0x00});
    dl();
    reply({0x20});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_DATA_SHORT);

    // The same for a block download.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 30, 1000, true), CO_SDO_RT_ok_communicationEnd);
    write(pattern(20));
    dl();
    reply({0xA4, 0x50, 0x1F, 0x01, 127});
    CO_SDO_return_t r;
    do {
        r = dl();
    } while (r == CO_SDO_RT_blockDownldInProgress);
    EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_DATA_SHORT);
}

TEST_F(SdoDownload, BlockChosenAboveTwentyOneBytes) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 21, 1000, true), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_INITIATE_REQ);
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 22, 1000, true), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ);
    write(pattern(22));
    dl();
    EXPECT_EQ(lastSent(), Bytes({0xC6, 0x50, 0x1F, 0x01, 22, 0, 0, 0}));
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ);
    dl(true);
    EXPECT_EQ(lastSent(), Bytes({0xC4, 0x50, 0x1F, 0x01, 0, 0, 0, 0}));

    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    CO_SDOclientDownloadInitSize(c, 21);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_INITIATE_REQ);
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
    CO_SDOclientDownloadInitSize(c, 22);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ);
    EXPECT_EQ(c->sizeInd, 22u);
}

// Runs a block download of `data` against a scripted server that offers
// `blksize` in its initiate response and `ackBlksize` in each acknowledge,
// and returns the sequence-number bytes of every segment sent.
class SdoBlock : public SdoTest {
  protected:
    std::vector<uint8_t> segments;
    Bytes received;
    uint16_t endCrc = 0;

    CO_SDO_return_t run(const Bytes &data, uint8_t blksize, uint8_t ackBlksize) {
        EXPECT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, data.size(), 1000, true),
                  CO_SDO_RT_ok_communicationEnd);
        size_t fed = write(data);
        dl(fed < data.size());
        reply({0xA4, 0x50, 0x1F, 0x01, blksize});
        uint8_t expected = 1;
        uint8_t pendingLast[7];
        for (int pass = 0; pass < 200000; ++pass) {
            const size_t before = sentCount();
            const CO_SDO_return_t r = dl(fed < data.size());
            if (fed < data.size()) {
                fed += CO_SDOclientDownloadBufWrite(c, data.data() + fed, data.size() - fed);
            }
            if (r <= 0) {
                return r;
            }
            if (sentCount() == before) {
                continue;
            }
            const Bytes f = lastSent();
            if ((f[0] & 0xE3) == 0xC1) { // end request
                const size_t noData = (f[0] >> 2) & 7;
                received.insert(received.end(), pendingLast, pendingLast + 7 - noData);
                endCrc = static_cast<uint16_t>(f[1] | (f[2] << 8));
                reply({0xA1});
                continue;
            }
            segments.push_back(f[0]);
            const uint8_t seq = f[0] & 0x7F;
            EXPECT_EQ(seq, expected);
            if (f[0] & 0x80) {
                memcpy(pendingLast, &f[1], 7);
            } else {
                received.insert(received.end(), f.begin() + 1, f.end());
            }
            if ((f[0] & 0x80) || seq == (blksize == 0 || blksize > 127 ? 127 : blksize)) {
                reply({0xA2, seq, ackBlksize});
                expected = 1;
                blksize = ackBlksize;
            } else {
                expected++;
            }
        }
        return CO_SDO_RT_waitingResponse;
    }
};

TEST_F(SdoBlock, OutOfRangeBlockSizesBecome127) {
    const Bytes data = pattern(3000);
    EXPECT_EQ(run(data, 0, 200), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(received, data);
    EXPECT_EQ(endCrc, crc16_ccitt(data.data(), data.size(), 0));
    // A sequence number above 127 would collide with the last-segment flag.
    size_t lastFlags = 0;
    for (uint8_t s : segments) {
        EXPECT_LE(s & 0x7F, 127);
        lastFlags += (s & 0x80) ? 1 : 0;
    }
    EXPECT_EQ(lastFlags, 1u);
    EXPECT_EQ(segments.size(), (3000u + 6u) / 7u);
    EXPECT_EQ(sizeTran, 3000u);
    EXPECT_EQ(c->block_blksize, 127);
}

TEST_F(SdoBlock, OversizedInitialBlockSizeBecomes127) {
    const Bytes data = pattern(2000, 4);
    EXPECT_EQ(run(data, 200, 127), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(received, data);
    EXPECT_EQ(segments[126], 127);
    EXPECT_EQ(segments[127], 1);
}

TEST_F(SdoBlock, LargerThanTheBufferIsRefilled) {
    const Bytes data = pattern(10000, 9);
    EXPECT_EQ(run(data, 50, 0), CO_SDO_RT_ok_communicationEnd);
    EXPECT_EQ(received, data);
    EXPECT_EQ(endCrc, crc16_ccitt(data.data(), data.size(), 0));
}

TEST_F(SdoDownload, ResendAfterPartialAcknowledge) {
    const Bytes data = pattern(200, 3);
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, data.size(), 1000, true),
              CO_SDO_RT_ok_communicationEnd);
    write(data);
    dl();
    reply({0xA4, 0x50, 0x1F, 0x01, 10});
    EXPECT_EQ(dl(), CO_SDO_RT_blockDownldInProgress); // handles the response, sends segment 1
    for (int i = 2; i <= 10; ++i) {
        dl();
    }
    ASSERT_EQ(sentCount(), 11u);
    EXPECT_EQ(lastSent()[0], 10);
    EXPECT_EQ(c->state, CO_SDO_ST_DOWNLOAD_BLK_SUBBLOCK_RSP);
    EXPECT_EQ(sizeTran, 70u);

    reply({0xA2, 5, 10}); // segments 6 to 10 were lost
    EXPECT_EQ(dl(), CO_SDO_RT_blockDownldInProgress);
    EXPECT_EQ(lastSent()[0], 1);
    EXPECT_TRUE(std::equal(data.begin() + 35, data.begin() + 42, lastSent().begin() + 1));
    EXPECT_EQ(sizeTran, 42u);

    // Acknowledge everything from here on; the CRC counts each byte once.
    Bytes seen(data.begin(), data.begin() + 35);
    const Bytes resent = lastSent();
    seen.insert(seen.end(), resent.begin() + 1, resent.end());
    uint8_t lastSeg[7];
    for (int pass = 0; pass < 1000 && c->state != CO_SDO_ST_IDLE; ++pass) {
        const size_t before = sentCount();
        const CO_SDO_return_t r = dl();
        ASSERT_GE(r, 0);
        if (sentCount() == before) {
            continue;
        }
        const Bytes f = lastSent();
        if ((f[0] & 0xE3) == 0xC1) {
            seen.insert(seen.end(), lastSeg, lastSeg + 7 - ((f[0] >> 2) & 7));
            EXPECT_EQ(f[1] | (f[2] << 8), crc16_ccitt(data.data(), data.size(), 0));
            reply({0xA1});
        } else if (f[0] & 0x80) {
            memcpy(lastSeg, &f[1], 7);
            reply({0xA2, static_cast<uint8_t>(f[0] & 0x7F), 10});
        } else {
            seen.insert(seen.end(), f.begin() + 1, f.end());
            if (f[0] == 10) {
                reply({0xA2, 10, 10});
            }
        }
    }
    EXPECT_EQ(c->state, CO_SDO_ST_IDLE);
    EXPECT_EQ(seen, data);
    EXPECT_EQ(sizeTran, 200u);
}

TEST_F(SdoDownload, AcknowledgeBeyondWhatWasSentAborts) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 100, 1000, true), CO_SDO_RT_ok_communicationEnd);
    write(pattern(100));
    dl();
    reply({0xA4, 0x50, 0x1F, 0x01, 10});
    dl();
    dl();
    reply({0xA2, 3, 10}); // only 2 were sent
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_CMD);
    EXPECT_EQ(lastSent(), abortFrame(0x1F50, 1, 0x05040001));

    // Anything but an acknowledge during the sub-block aborts the same way.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 100, 1000, true), CO_SDO_RT_ok_communicationEnd);
    write(pattern(100));
    dl();
    reply({0xA4, 0x50, 0x1F, 0x01, 10});
    dl();
    reply({0x60, 0x50, 0x1F, 0x01});
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_CMD);
}

TEST_F(SdoDownload, TimeoutOnTheFiveHundredthStep) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 500, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl(); // sends the request
    std::string out;
    for (int i = 1; i < 500; ++i) {
        out += capture([&] { ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse) << i; });
    }
    EXPECT_EQ(out, "");
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    out = capture([&] { r = dl(); });
    EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
    EXPECT_EQ(
        out,
        "TIMEOUT1: SDO_C->timeoutTimer = 500000, >= SDO_C->SDOtimeoutTime_us = 500000, SDO_C->state == 1\n");
    EXPECT_EQ(lastSent(), abortFrame(0x2001, 0, 0x05040000));
}

// The initiate's and the end's answers wait the long time-out (a server
// that erases or commits its flash first), each sub-block's acknowledge the
// short one: a lost acknowledge is noticed at its own limit.
TEST_F(SdoDownload, SubBlockAcknowledgeHasItsOwnTimeout) {
    for (const bool ackLost : {false, true}) { // the lost one last: its late answer stays unwelcome
        SCOPED_TRACE(ackLost ? "acknowledge lost" : "slow end");
        fake::bus().sent.clear();
        const Bytes data = pattern(30, 5);
        ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, data.size(), 3000, true),
                  CO_SDO_RT_ok_communicationEnd);
        CO_SDOclientDownloadSetBlockAckTimeout(c, 200);
        write(data);
        ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse); // the initiate
        for (int i = 1; i < 2500; ++i) {
            ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse) << i;
        }
        reply({0xA4, 0x50, 0x1F, 0x01, 127});
        CO_SDO_return_t r = CO_SDO_RT_blockDownldInProgress;
        while (r == CO_SDO_RT_blockDownldInProgress) {
            r = dl();
        }
        ASSERT_EQ(r, CO_SDO_RT_waitingResponse);
        EXPECT_EQ(lastSent()[0], 0x85); // the fifth and last segment
        if (ackLost) {
            for (int i = 1; i < 200; ++i) {
                ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse) << i;
            }
            std::string out = capture([&] { r = dl(); });
            EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
            EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
            EXPECT_EQ(out, "TIMEOUT1: SDO_C->timeoutTimer = 200000, >= SDO_C->SDOtimeoutTime_us = 200000, "
                           "SDO_C->state == 1\n");
            continue;
        }
        reply({0xA2, 5, 127});
        ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse); // the end request
        EXPECT_EQ(lastSent()[0] & 0xE3, 0xC1);
        for (int i = 1; i < 2500; ++i) {
            ASSERT_EQ(dl(), CO_SDO_RT_waitingResponse) << i;
        }
        reply({0xA1});
        EXPECT_EQ(dl(), CO_SDO_RT_ok_communicationEnd);
    }
}

// An abort decided while the request buffer is still full goes out later
// with its code; the transfer must not end with code 0.
TEST_F(SdoDownload, AbortDeferredByAFullBufferKeepsItsCode) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 3, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    c->CANtxBuff->bufferFull = true; // stuck in the driver
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    std::string out;
    for (int i = 0; i < 3; ++i) {
        out += capture([&] { r = dl(); });
        EXPECT_EQ(r, CO_SDO_RT_transmittBufferFull);
    }
    EXPECT_TRUE(contains(out, "TIMEOUT1: SDO_C->timeoutTimer = 3000"));
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
    EXPECT_EQ(dl(), CO_SDO_RT_transmittBufferFull);
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
    c->CANtxBuff->bufferFull = false; // the driver got it out
    EXPECT_EQ(dl(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
    EXPECT_EQ(lastSent(), abortFrame(0x2001, 0, 0x05040000));

    // The same for an upload.
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2001, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    c->CANtxBuff->bufferFull = true;
    EXPECT_EQ(ul(true, 0x08000021), CO_SDO_RT_transmittBufferFull);
    c->CANtxBuff->bufferFull = false;
    EXPECT_EQ(ul(), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, 0x08000021u);
    EXPECT_EQ(lastSent(), abortFrame(0x2001, 0, 0x08000021));
}

TEST_F(SdoDownload, FullTransmitBufferIsReportedAndRetried) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    fake::bus().sendFailures = 1;
    capture([&] { EXPECT_EQ(dl(), CO_SDO_RT_waitingResponse); });
    EXPECT_TRUE(c->CANtxBuff->bufferFull);
    EXPECT_EQ(sentCount(), 0u);
    // The driver pass at the start of the next step sends it; then the step goes on.
    EXPECT_EQ(dl(), CO_SDO_RT_waitingResponse);
    EXPECT_EQ(sentCount(), 1u);
    fake::bus().sendOk = false;
    c->CANtxBuff->bufferFull = true;
    ch->canmodule.CANtxCount = 1;
    capture([&] {
        EXPECT_EQ(CO_SDOclientDownload(c, 1000, false, false, &abortCode, nullptr, nullptr),
                  CO_SDO_RT_transmittBufferFull);
    });
}

} // namespace
