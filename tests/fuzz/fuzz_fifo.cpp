// The byte ring with its tentative read position, against a plain queue.
#include "fuzz_check.h"
#include "CO_fifo.h"
#include "crc16-ccitt.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const size_t cap = 2u + data[0] % 64u;
    uint8_t storage[66];
    CO_fifo_t f;
    memset(&f, 0, sizeof f);
    CO_fifo_init(&f, storage, cap);
    std::deque<uint8_t> q; // committed content
    size_t alt = 0;        // tentative offset into q
    uint8_t next = 0;
    for (size_t i = 1; i + 1 < size; i += 2) {
        const uint8_t op = data[i];
        const size_t n = data[i + 1] % 80u;
        uint8_t buf[80];
        switch (op % 6u) {
        case 0: {
            for (size_t k = 0; k < n; ++k) {
                buf[k] = next++;
            }
            const size_t w = CO_fifo_write(&f, buf, n, nullptr);
            FUZZ_CHECK(w == (n < cap - 1 - q.size() ? n : cap - 1 - q.size()));
            q.insert(q.end(), buf, buf + w);
            next = static_cast<uint8_t>(next - (n - w));
            break;
        }
        case 1: {
            const size_t r = CO_fifo_read(&f, buf, n, nullptr);
            FUZZ_CHECK(r == (n < q.size() ? n : q.size()));
            for (size_t k = 0; k < r; ++k) {
                FUZZ_CHECK(buf[k] == q.front());
                q.pop_front();
            }
            alt = alt > r ? alt - r : 0;
            break;
        }
        case 2: {
            const size_t moved = CO_fifo_altBegin(&f, n);
            FUZZ_CHECK(moved == (n < q.size() ? n : q.size()));
            alt = moved;
            break;
        }
        case 3: {
            const size_t r = CO_fifo_altRead(&f, buf, n);
            FUZZ_CHECK(r == (n < q.size() - alt ? n : q.size() - alt));
            for (size_t k = 0; k < r; ++k) {
                FUZZ_CHECK(buf[k] == q[alt + k]);
            }
            alt += r;
            break;
        }
        case 4: {
            uint16_t crc = 0;
            CO_fifo_altFinish(&f, (op & 0x40) != 0 ? &crc : nullptr);
            uint16_t want = 0;
            for (size_t k = 0; k < alt; ++k) {
                crc16_ccitt_single(&want, q.front());
                q.pop_front();
            }
            if ((op & 0x40) != 0) {
                FUZZ_CHECK(crc == want);
            }
            alt = 0;
            break;
        }
        default:
            CO_fifo_reset(&f);
            q.clear();
            alt = 0;
            break;
        }
        FUZZ_CHECK(CO_fifo_getOccupied(&f) == q.size());
        FUZZ_CHECK(CO_fifo_getSpace(&f) == cap - 1 - q.size());
        FUZZ_CHECK(CO_fifo_altGetOccupied(&f) == q.size() - alt);
    }
    return 0;
}
