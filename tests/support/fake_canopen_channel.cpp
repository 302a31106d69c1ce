// A channel context over the fake backend for the CANopen stack's tests
// (no client API needed).
#include "fake_backend.h"

#include "CO_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace fake {

client_channel_context_t *canopen_channel(uint32_t channel) {
    static client_channel_context_t channels[CLIENT_MAX_CHANNELS];
    client_channel_context_t *ch = &channels[channel];
    free(ch->rxQueue.buffer);
    memset(ch, 0, sizeof(*ch));
    ch->channelId = {4, 0, channel, 500};
    CO_ReturnError_t err = CO_ERROR_NO;
    capture([&] { err = CO_CANmodule_init(&ch->canmodule, ch, ch->rx_array, 8, ch->tx_array, 8, 500); });
    EXPECT_EQ(err, CO_ERROR_NO);
    return ch;
}

} // namespace fake
