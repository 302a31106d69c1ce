// The CANopen stack against the simulated bench: a CAN backend table of the
// test's own whose operations call the bench's adapter transport directly,
// and one channel context brought up over it with CO_CANmodule_init.
#ifndef CANOPEN_TEST_BENCH_LINK_H
#define CANOPEN_TEST_BENCH_LINK_H

#include "CO_SDOclient.h"
#include "client_store.h"

#include <cstdint>
#include <vector>

namespace cotest {

struct BenchLink {
    // Fraction of block-download data segments (client to server) lost on
    // the way, limited to segments the protocol recovers from: not the last
    // segment of a sub-block and not the last of the transfer.
    double segmentLoss = 0.0;
    uint32_t seed = 1;
    uint64_t segmentsLost = 0;
    uint64_t framesSent = 0;
    // When non-zero: the frame with this number (1 = the first frame sent
    // after bench_channel()) is lost, whatever it is.
    uint64_t dropFrameNumber = 0;
    // Report the real time between passes to the SDO client instead of a
    // fixed 1000 us per pass (for the timed bus, whose frames take real time).
    bool realTime = false;
};

BenchLink &bench_link();

// Resets the bench (instant mode) and the device store, installs the link as
// the backend, adds one segment at 500 kbit/s on adapter 0 channel 0.
void bench_install();

// Brings adapter 0 channel 0 up and initialises its SDO client from the
// dictionary; returns the channel context.
client_channel_context_t *bench_channel();

// The upgrade client's polling loops: one CO_CANinterrupt and one step of
// 1000 us per pass. They return the abort code (0 on success); `result`
// receives the last step's result.
CO_SDO_abortCode_t bench_download(client_channel_context_t *ch, uint8_t node, uint16_t index, uint8_t sub,
                                  const std::vector<uint8_t> &data, bool block, uint16_t timeout_ms = 1000,
                                  int *result = nullptr);
CO_SDO_abortCode_t bench_upload(client_channel_context_t *ch, uint8_t node, uint16_t index, uint8_t sub,
                                std::vector<uint8_t> &out, bool block, uint16_t timeout_ms = 1000);

uint32_t crc32_of(const std::vector<uint8_t> &data);

} // namespace cotest

#endif
