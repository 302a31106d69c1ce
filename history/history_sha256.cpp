// SHA-256 as FIPS 180-4 defines it (sections 4.1.2, 4.2.2, 5.1.1, 5.3.3,
// 6.2): the history records each image's digest, so that a file that
// changed since is noticed before it is flashed again.
#include "ostrelo_history.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

const uint32_t K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline uint32_t rotr(uint32_t x, unsigned n) {
    return (x >> n) | (x << (32 - n));
}

void compress(uint32_t h[8], const uint8_t *block) {
    uint32_t w[64];
    for (int t = 0; t < 16; ++t) {
        w[t] = static_cast<uint32_t>(block[4 * t]) << 24 | static_cast<uint32_t>(block[4 * t + 1]) << 16 |
               static_cast<uint32_t>(block[4 * t + 2]) << 8 | block[4 * t + 3];
    }
    for (int t = 16; t < 64; ++t) {
        const uint32_t s0 = rotr(w[t - 15], 7) ^ rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const uint32_t s1 = rotr(w[t - 2], 17) ^ rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = s1 + w[t - 7] + s0 + w[t - 16];
    }
    uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int t = 0; t < 64; ++t) {
        const uint32_t t1 = k + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) + K[t] + w[t];
        const uint32_t t2 = (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    h[0] += a;
    h[1] += b;
    h[2] += c;
    h[3] += d;
    h[4] += e;
    h[5] += f;
    h[6] += g;
    h[7] += k;
}

} // namespace

extern "C" {

void ostrelo_sha256_init(ostrelo_sha256_t *c) {
    static const uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                         0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    memcpy(c->state, kInitial, sizeof(kInitial));
    c->length = 0;
    c->used = 0;
}

void ostrelo_sha256_update(ostrelo_sha256_t *c, const void *data, size_t n) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    c->length += n;
    while (n > 0) {
        if (c->used == 0 && n >= 64) {
            compress(c->state, p);
            p += 64;
            n -= 64;
            continue;
        }
        const size_t take = n < 64 - c->used ? n : 64 - c->used;
        memcpy(c->block + c->used, p, take);
        c->used += take;
        p += take;
        n -= take;
        if (c->used == 64) {
            compress(c->state, c->block);
            c->used = 0;
        }
    }
}

void ostrelo_sha256_final(ostrelo_sha256_t *c, uint8_t digest[32]) {
    // The message, a 1 bit, zeros, and its length in bits: a whole number of
    // blocks (5.1.1).
    const uint64_t bits = c->length * 8;
    c->block[c->used++] = 0x80;
    if (c->used > 56) {
        memset(c->block + c->used, 0, 64 - c->used);
        compress(c->state, c->block);
        c->used = 0;
    }
    memset(c->block + c->used, 0, 56 - c->used);
    for (int i = 0; i < 8; ++i) {
        c->block[56 + i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    }
    compress(c->state, c->block);
    for (int i = 0; i < 8; ++i) {
        for (int j = 0; j < 4; ++j) {
            digest[4 * i + j] = static_cast<uint8_t>(c->state[i] >> (24 - 8 * j));
        }
    }
    ostrelo_sha256_init(c);
}

void ostrelo_sha256_hex(const uint8_t digest[32], char out[65]) {
    static const char kHex[] = "0123456789abcdef";
    for (int i = 0; i < 32; ++i) {
        out[2 * i] = kHex[digest[i] >> 4];
        out[2 * i + 1] = kHex[digest[i] & 15];
    }
    out[64] = '\0';
}

int ostrelo_sha256_file(const char *path, char hex[65], uint64_t *size) {
    hex[0] = '\0';
    *size = 0;
    FILE *f = path != nullptr ? fopen(path, "rb") : nullptr;
    struct stat st;
    // A folder opens on Linux and a FIFO would block: regular files only.
    if (f != nullptr && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        fclose(f);
        f = nullptr;
    }
    if (f == nullptr) {
        return -1;
    }
    ostrelo_sha256_t c;
    ostrelo_sha256_init(&c);
    uint8_t buf[16384];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) {
        ostrelo_sha256_update(&c, buf, n);
    }
    const bool failed = ferror(f) != 0;
    fclose(f);
    if (failed) {
        return -1;
    }
    *size = c.length;
    uint8_t digest[32];
    ostrelo_sha256_final(&c, digest);
    ostrelo_sha256_hex(digest, hex);
    return 0;
}

} // extern "C"
