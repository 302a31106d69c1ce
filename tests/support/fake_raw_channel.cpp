// A channel of the device store over the fake backend, for the client API's
// raw-frame path.
#include "fake_backend.h"

#include "client_api.h"
#include "device_mng.h"

namespace fake {

client_channel_id_t raw_channel_up(uint32_t ch) {
    client_device_context_t *dev = device_manager_get_device(4, 0, 500);
    static int handle;
    dev->device = &handle;
    dev->opened = true;
    client_channel_context_t *c = &dev->channels[ch];
    c->channelId = {4, 0, ch, 500};
    c->device_ctx = dev;
    c->initialized = true;
    fq_init(&c->rawRxQueue, sizeof(CO_CANrxMsg_t), CLIENT_QUEUE_CAPACITY);
    return c->channelId;
}

} // namespace fake
