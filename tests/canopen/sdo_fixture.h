// Fixture for SDO client tests over the recording backend: one channel with
// the client aimed at node 5 (requests 0x605, responses 0x585).
#ifndef CANOPEN_TEST_SDO_FIXTURE_H
#define CANOPEN_TEST_SDO_FIXTURE_H

#include "CO_SDOclient.h"
#include "OD.h"
#include "device_mng.h"
#include "fake_backend.h"

#include <gtest/gtest.h>

#include <vector>

namespace cotest {

class SdoTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::install(device_manager_cleanup_all);
        ch = fake::canopen_channel(0);
        c = &ch->sdoclient;
        ASSERT_EQ(CO_SDOclient_init(c, OD, OD_ENTRY_H1280, 1, &ch->canmodule, 0, &ch->canmodule, 0, nullptr),
                  CO_ERROR_NO);
        ASSERT_EQ(CO_SDOclient_setup(c, 0x605, 0x585, 5), CO_SDO_RT_ok_communicationEnd);
    }
    void TearDown() override { fake::install(device_manager_cleanup_all); }

    // Queues a response of the server (8 bytes unless dlc says otherwise).
    void reply(std::vector<uint8_t> bytes, int dlc = -1) {
        bytes.resize(8, 0);
        fake::bus().push(0, 0x585, bytes, dlc);
    }
    // One polling pass as the upgrade client makes it.
    CO_SDO_return_t dl(bool partial = false, bool sendAbort = false, CO_SDO_abortCode_t requested = 0) {
        CO_CANinterrupt(&ch->canmodule);
        abortCode = requested;
        return CO_SDOclientDownload(c, 1000, sendAbort, partial, &abortCode, &sizeTran, nullptr);
    }
    CO_SDO_return_t ul(bool sendAbort = false, CO_SDO_abortCode_t requested = 0) {
        CO_CANinterrupt(&ch->canmodule);
        abortCode = requested;
        return CO_SDOclientUpload(c, 1000, sendAbort, &abortCode, &sizeInd, &sizeTran, nullptr);
    }
    size_t write(const std::vector<uint8_t> &data) {
        return CO_SDOclientDownloadBufWrite(c, data.data(), data.size());
    }
    std::vector<uint8_t> readAll() {
        std::vector<uint8_t> out(8192);
        out.resize(CO_SDOclientUploadBufRead(c, out.data(), out.size()));
        return out;
    }
    size_t sentCount() const { return fake::bus().sent.size(); }
    std::vector<uint8_t> lastSent() const {
        return fake::bus().sent.empty() ? std::vector<uint8_t>() : fake::bus().sent.back().data;
    }

    static std::vector<uint8_t> pattern(size_t n, uint8_t seed = 1) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) {
            v[i] = static_cast<uint8_t>(i * 31u + seed);
        }
        return v;
    }
    static std::vector<uint8_t> abortFrame(uint16_t index, uint8_t sub, uint32_t code) {
        return {0x80,
                static_cast<uint8_t>(index),
                static_cast<uint8_t>(index >> 8),
                sub,
                static_cast<uint8_t>(code),
                static_cast<uint8_t>(code >> 8),
                static_cast<uint8_t>(code >> 16),
                static_cast<uint8_t>(code >> 24)};
    }

    client_channel_context_t *ch = nullptr;
    CO_SDOclient_t *c = nullptr;
    CO_SDO_abortCode_t abortCode = 0;
    size_t sizeTran = 0;
    size_t sizeInd = 0;
};

} // namespace cotest

#endif
