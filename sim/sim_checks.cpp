// Checksums and the image trailer of the simulated bench.
#include "sim_bench.h"

#include <string.h>

extern "C" uint16_t sim_crc16_ccitt(const uint8_t *data, size_t len, uint16_t crc) {
    // CRC-16/XMODEM: polynomial 0x1021, MSB first; the caller passes the start value.
    if (data == NULL) {
        return crc;
    }
    for (size_t i = 0; i < len; ++i) {
        crc = static_cast<uint16_t>(crc ^ (static_cast<uint16_t>(data[i]) << 8));
        for (int b = 0; b < 8; ++b) {
            crc = (crc & 0x8000u) ? static_cast<uint16_t>((crc << 1) ^ 0x1021u)
                                  : static_cast<uint16_t>(crc << 1);
        }
    }
    return crc;
}

namespace {
struct Crc32Table {
    uint32_t v[256];
    Crc32Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int b = 0; b < 8; ++b) {
                c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            }
            v[i] = c;
        }
    }
};
const Crc32Table g_crc32;
} // namespace

uint32_t sim_crc32_update(uint32_t state, const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        state = g_crc32.v[(state ^ data[i]) & 0xFFu] ^ (state >> 8);
    }
    return state;
}

extern "C" uint32_t sim_crc32(const uint8_t *data, size_t len) {
    if (data == NULL) {
        return 0;
    }
    return sim_crc32_update(0xFFFFFFFFu, data, len) ^ 0xFFFFFFFFu;
}

static const uint8_t kTrailerMagic[8] = {'O', 'S', 'T', 'R', 'F', 'W', 'V', '1'};

static uint32_t get_le32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

static void put_le32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

extern "C" int sim_image_trailer_version(const uint8_t *image, size_t len, uint32_t *version) {
    if (image == NULL || len < SIM_TRAILER_LEN) {
        return 0;
    }
    const uint8_t *t = image + len - SIM_TRAILER_LEN;
    if (memcmp(t, kTrailerMagic, sizeof kTrailerMagic) != 0) {
        return 0;
    }
    if (get_le32(t + 12) != sim_crc32(image, len - SIM_TRAILER_LEN)) {
        return 0;
    }
    if (version != NULL) {
        *version = get_le32(t + 8);
    }
    return 1;
}

extern "C" void sim_image_make_trailer(const uint8_t *body, size_t body_len, uint32_t version, uint8_t *out) {
    if (out == NULL) {
        return;
    }
    memcpy(out, kTrailerMagic, sizeof kTrailerMagic);
    put_le32(out + 8, version);
    put_le32(out + 12, body_len == 0 ? 0u : sim_crc32(body, body_len));
}
