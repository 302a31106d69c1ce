// SDO client and driver under bus and adapter faults: refused transmits,
// frames delivered twice, late answers, odd sizes, long gaps between steps.
#include "CO_fifo.h"
#include "crc16-ccitt.h"
#include "sdo_fixture.h"

#include <cstring>

using namespace cotest;
using namespace fake;
using Bytes = std::vector<uint8_t>;

namespace {

using SdoFaults = SdoTest;

// Passes until the step result is not "waiting" or `limit` passes are used.
template <typename Step> CO_SDO_return_t run_until_end(Step step, int limit = 50) {
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    for (int i = 0; i < limit; ++i) {
        r = step();
        if (r <= 0) {
            break;
        }
    }
    return r;
}

TEST_F(SdoFaults, RefusedTransmitsInARowDoNotStrandTheRequest) {
    for (int refusals : {1, 2, 5}) {
        SCOPED_TRACE(refusals);
        fake::bus().sent.clear();
        ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
        write(pattern(4));
        fake::bus().sendFailures = refusals;
        capture([&] {
            for (int i = 0; i < refusals + 3 && sentCount() == 0; ++i) {
                dl();
            }
        });
        ASSERT_EQ(sentCount(), 1u);
        reply({0x60, 0x01, 0x20, 0x00});
        EXPECT_EQ(run_until_end([&] { return dl(); }), CO_SDO_RT_ok_communicationEnd);
        EXPECT_EQ(ch->canmodule.CANtxCount, 0u);
    }
}

// A scripted block-download server that sends every acknowledge twice.
TEST_F(SdoFaults, DuplicatedBlockAcknowledgeIsIgnored) {
    const Bytes data = pattern(300, 7);
    const uint8_t blksize = 10;
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, data.size(), 1000, true),
              CO_SDO_RT_ok_communicationEnd);
    write(data);
    dl();
    reply({0xA4, 0x50, 0x1F, 0x01, blksize});
    Bytes received;
    uint8_t last[7] = {};
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    for (int pass = 0; pass < 2000 && r > 0; ++pass) {
        const size_t before = sentCount();
        r = dl();
        if (sentCount() == before) {
            continue;
        }
        const Bytes f = lastSent();
        if ((f[0] & 0xE3) == 0xC1) {
            received.insert(received.end(), last, last + 7 - ((f[0] >> 2) & 7));
            reply({0xA1});
            continue;
        }
        ASSERT_NE(f[0], 0x80) << "client aborted";
        const uint8_t seq = f[0] & 0x7F;
        if (f[0] & 0x80) {
            memcpy(last, &f[1], 7);
        } else {
            received.insert(received.end(), f.begin() + 1, f.end());
        }
        if ((f[0] & 0x80) || seq == blksize) {
            reply({0xA2, seq, blksize});
            reply({0xA2, seq, blksize});
        }
    }
    EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd) << std::hex << abortCode;
    EXPECT_EQ(received, data);
}

// The answer to a request that timed out arrives during the next request to
// the same server. It must not end that request, whichever way the first
// request was given up.
TEST_F(SdoFaults, LateAnswerToAnAbandonedRequestDoesNotEndTheNext) {
    const Bytes lateAbort = abortFrame(0x1F50, 1, 0x06010000);
    for (bool clientTimedOut : {true, false}) {
        SCOPED_TRACE(clientTimedOut);
        fake::bus().sent.clear();
        ASSERT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
        ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1F50, 1, 5, false), CO_SDO_RT_ok_communicationEnd);
        if (clientTimedOut) {
            // The client's own response time-out: it sends its abort.
            capture([&] { EXPECT_EQ(run_until_end([&] { return ul(); }), CO_SDO_RT_endedWithClientAbort); });
        } else {
            // The caller gave up first: the next set-up aborts towards the server.
            ul();
            ASSERT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
        }
        EXPECT_EQ(lastSent(), abortFrame(0x1F50, 1, 0x05040000));

        ASSERT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
        ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
        write(pattern(4));
        dl();
        reply(lateAbort);
        reply({0x60, 0x50, 0x1F, 0x01});
        EXPECT_EQ(run_until_end([&] { return dl(); }), CO_SDO_RT_ok_communicationEnd)
            << std::hex << abortCode;
    }

    // Two reads given up in a row: both their answers come before the transfer's.
    for (int i = 0; i < 2; ++i) {
        ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x1F50, 1, 5, false), CO_SDO_RT_ok_communicationEnd);
        capture([&] { EXPECT_EQ(run_until_end([&] { return ul(); }), CO_SDO_RT_endedWithClientAbort); });
    }
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    reply(lateAbort);
    reply(lateAbort);
    reply({0x60, 0x50, 0x1F, 0x01});
    EXPECT_EQ(run_until_end([&] { return dl(); }), CO_SDO_RT_ok_communicationEnd) << std::hex << abortCode;

    // Without an abandoned request the same abort ends the transfer.
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x1F50, 1, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    reply(lateAbort);
    EXPECT_EQ(run_until_end([&] { return dl(); }), CO_SDO_RT_endedWithServerAbort);
    EXPECT_EQ(abortCode, 0x06010000u);
}

TEST_F(SdoFaults, UploadAnnouncingSizeZeroTakesNoData) {
    ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2001, 0, 1000, false), CO_SDO_RT_ok_communicationEnd);
    ul();
    reply({0x41, 0x01, 0x20, 0x00, 0, 0, 0, 0});
    ul();
    reply({0x01, 1, 2, 3, 4, 5, 6, 7}); // last segment, 7 bytes nobody announced
    EXPECT_EQ(run_until_end([&] { return ul(); }), CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_DATA_LONG);
}

TEST_F(SdoFaults, LongGapBetweenStepsExpiresTheTimer) {
    ASSERT_EQ(CO_SDOclientDownloadInitiate(c, 0x2001, 0, 4, 1000, false), CO_SDO_RT_ok_communicationEnd);
    write(pattern(4));
    dl();
    dl();
    CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
    capture([&] { r = CO_SDOclientDownload(c, 0xFFFFFFFFu, false, false, &abortCode, nullptr, nullptr); });
    EXPECT_EQ(r, CO_SDO_RT_endedWithClientAbort);
    EXPECT_EQ(abortCode, CO_SDO_AB_TIMEOUT);
}

// The end confirmation (A1) waits for a free transmit buffer; whatever the
// server sends meanwhile changes nothing: no abort may follow the A1.
TEST_F(SdoFaults, BlockUploadEndsOnlyAfterItsConfirmationLeft) {
    const uint8_t payload[7] = {1, 2, 3, 4, 5, 6, 7};
    const uint16_t crc = crc16_ccitt(payload, 7, 0);
    const Bytes strays[] = {{}, {0x60, 0x00, 0x20, 0x00}, abortFrame(0x2000, 0, 0x08000000)};
    for (const Bytes &stray : strays) {
        SCOPED_TRACE(stray.empty() ? -1 : stray[0]);
        fake::bus().sent.clear();
        ASSERT_EQ(CO_SDOclientUploadInitiate(c, 0x2000, 0, 1000, true), CO_SDO_RT_ok_communicationEnd);
        ul();
        reply({0xC6, 0x00, 0x20, 0x00, 7, 0, 0, 0});
        ul(); // initiate answered, start request sent
        reply({0x81, 1, 2, 3, 4, 5, 6, 7});
        ul(); // last segment taken, confirmation sent
        reply({0xC1, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)});
        fake::bus().sendFailures = 1;
        CO_SDO_return_t r = CO_SDO_RT_waitingResponse;
        capture([&] { r = ul(); });
        EXPECT_GT(r, 0) << "success claimed while the end confirmation is still waiting";
        if (!stray.empty()) {
            reply(stray);
        }
        capture([&] { r = run_until_end([&] { return ul(); }); });
        EXPECT_EQ(r, CO_SDO_RT_ok_communicationEnd) << std::hex << abortCode;
        EXPECT_EQ(lastSent()[0], 0xA1);
        for (const fake::Frame &f : fake::bus().sent) {
            EXPECT_NE(f.data[0], 0x80) << "abort sent after the end";
        }
        EXPECT_EQ(readAll(), Bytes(payload, payload + 7));
    }
}

TEST(FifoFaults, ReadAndResetLeaveNoStaleTentativePosition) {
    uint8_t storage[64];
    uint8_t out[16];
    const uint8_t data[10] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    CO_fifo_t f{};
    CO_fifo_init(&f, storage, sizeof storage);
    CO_fifo_write(&f, data, 10, nullptr);
    CO_fifo_altRead(&f, out, 7);
    EXPECT_EQ(CO_fifo_read(&f, out, 10, nullptr), 10u);
    EXPECT_EQ(CO_fifo_altGetOccupied(&f), 0u);
    CO_fifo_write(&f, data, 5, nullptr);
    EXPECT_EQ(CO_fifo_altRead(&f, out, 16), 5u);
    EXPECT_EQ(0, memcmp(out, data, 5));

    CO_fifo_write(&f, data, 10, nullptr);
    CO_fifo_altRead(&f, out, 5);
    CO_fifo_reset(&f);
    EXPECT_EQ(CO_fifo_altGetOccupied(&f), 0u);
}

} // namespace
