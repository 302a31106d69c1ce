// Checksums, frame timing and the image trailer of the simulated bench.
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

namespace {
// Bit writer that counts the stuff bits a CAN controller inserts: after five
// equal bits in a row (stuff bits included) the opposite bit follows.
struct StuffCounter {
    int last = -1;
    int run = 0;
    uint32_t bits = 0;
    uint32_t stuffed = 0;
    uint16_t crc = 0; // CAN CRC-15 over the unstuffed bits
    bool crc_on = true;

    void raw(int bit) {
        if (bit == last) {
            ++run;
        } else {
            last = bit;
            run = 1;
        }
        ++bits;
        if (run == 5) {
            ++stuffed;
            last = !bit;
            run = 1;
        }
    }
    void put(int bit) {
        if (crc_on) {
            const int top = (crc >> 14) & 1;
            crc = static_cast<uint16_t>((crc << 1) & 0x7FFF);
            if (top ^ bit) {
                crc ^= 0x4599;
            }
        }
        raw(bit);
    }
    void put_field(uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) {
            put((value >> i) & 1u);
        }
    }
};
} // namespace

extern "C" uint32_t sim_can_frame_bits(uint32_t ident, int extended, int remote, uint8_t dlc,
                                       const uint8_t *data) {
    StuffCounter s;
    const uint8_t dlc4 = dlc > 15 ? 15 : dlc;
    const uint8_t nbytes = remote ? 0 : (dlc4 > 8 ? 8 : dlc4);
    s.put(0); // start of frame
    if (extended) {
        s.put_field((ident >> 18) & 0x7FFu, 11);
        s.put(1); // SRR
        s.put(1); // IDE
        s.put_field(ident & 0x3FFFFu, 18);
        s.put(remote ? 1 : 0);
        s.put(0); // r1
        s.put(0); // r0
    } else {
        s.put_field(ident & 0x7FFu, 11);
        s.put(remote ? 1 : 0);
        s.put(0); // IDE
        s.put(0); // r0
    }
    s.put_field(dlc4, 4);
    for (uint8_t i = 0; i < nbytes; ++i) {
        s.put_field(data ? data[i] : 0u, 8);
    }
    s.crc_on = false;
    const uint16_t crc = s.crc;
    s.put_field(crc, 15);
    // CRC delimiter, ACK slot, ACK delimiter, end of frame, intermission: not stuffed.
    return s.bits + s.stuffed + 1 + 1 + 1 + 7 + 3;
}

extern "C" uint32_t sim_can_frame_duration_us(uint32_t bits, uint32_t kbps) {
    if (kbps == 0) {
        return 0;
    }
    // bits / (kbps * 1000) seconds, rounded up to whole microseconds.
    const uint64_t num = static_cast<uint64_t>(bits) * 1000u;
    return static_cast<uint32_t>((num + kbps - 1) / kbps);
}

namespace {
struct TimingRow {
    uint32_t kbps;
    uint8_t t0;
    uint8_t t1;
};
const TimingRow kTimingRows[] = {
    {10, 0x31, 0x1C},  {20, 0x18, 0x1C},   {33, 0x09, 0x6F},  {40, 0x87, 0xFF},  {50, 0x09, 0x1C},
    {66, 0x04, 0x6F},  {80, 0x83, 0xFF},   {83, 0x03, 0x6F},  {100, 0x04, 0x1C}, {125, 0x03, 0x1C},
    {200, 0x81, 0xFA}, {250, 0x01, 0x1C},  {400, 0x80, 0xFA}, {500, 0x00, 0x1C}, {666, 0x80, 0xB6},
    {800, 0x00, 0x16}, {1000, 0x00, 0x14},
};
} // namespace

extern "C" uint32_t sim_bitrate_from_timing(uint8_t timing0, uint8_t timing1) {
    for (const TimingRow &r : kTimingRows) {
        if (r.t0 == timing0 && r.t1 == timing1) {
            return r.kbps;
        }
    }
    return 0;
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
