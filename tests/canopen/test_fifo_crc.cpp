// Byte FIFO with tentative reads, and the CRC-16 of block transfers.
#include "CO_fifo.h"
#include "crc16-ccitt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <random>
#include <vector>

namespace {

TEST(Crc16, CheckValueTableAndChaining) {
    const uint8_t digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(crc16_ccitt(digits, sizeof digits, 0), 0x31C3);
    EXPECT_EQ(crc16_ccitt_table[0], 0x0000);
    EXPECT_EQ(crc16_ccitt_table[1], 0x1021);
    EXPECT_EQ(crc16_ccitt_table[2], 0x2042);
    EXPECT_EQ(crc16_ccitt_table[255], 0x1EF0);
    EXPECT_EQ(crc16_ccitt(digits, 0, 0xBEEF), 0xBEEF);

    // Any split of the data gives the same CRC, byte by byte as well.
    const uint16_t head = crc16_ccitt(digits, 4, 0);
    EXPECT_EQ(crc16_ccitt(digits + 4, 5, head), 0x31C3);
    uint16_t single = 0;
    for (uint8_t c : digits) {
        crc16_ccitt_single(&single, c);
    }
    EXPECT_EQ(single, 0x31C3);
}

class Fifo : public ::testing::Test {
  protected:
    void init(size_t size) {
        storage.assign(size, 0xEE);
        memset(&fifo, 0, sizeof fifo);
        CO_fifo_init(&fifo, storage.data(), size);
    }
    size_t put(size_t n, uint8_t first = 0) {
        std::vector<uint8_t> v(n);
        for (size_t i = 0; i < n; ++i) {
            v[i] = static_cast<uint8_t>(first + i);
        }
        return CO_fifo_write(&fifo, v.data(), n, nullptr);
    }
    CO_fifo_t fifo;
    std::vector<uint8_t> storage;
};

TEST_F(Fifo, CapacityIsOneLessThanStorage) {
    init(4097);
    EXPECT_EQ(CO_fifo_getSpace(&fifo), 4096u);
    EXPECT_EQ(put(4096), 4096u);
    EXPECT_EQ(CO_fifo_getSpace(&fifo), 0u);
    EXPECT_EQ(put(1), 0u);
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 4096u);

    init(8);
    EXPECT_EQ(put(4), 4u);
    EXPECT_EQ(CO_fifo_getSpace(&fifo), 3u);
    EXPECT_EQ(put(10), 3u);
    CO_fifo_reset(&fifo);
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 0u);
    EXPECT_EQ(CO_fifo_getSpace(&fifo), 7u);
}

TEST_F(Fifo, EmptyReadAndMissingArguments) {
    init(16);
    uint8_t out[4];
    bool_t eof = true;
    EXPECT_EQ(CO_fifo_read(&fifo, out, sizeof out, &eof), 0u);
    EXPECT_FALSE(eof);
    put(3);
    eof = true;
    EXPECT_EQ(CO_fifo_read(&fifo, out, sizeof out, &eof), 3u);
    EXPECT_FALSE(eof); // never set here, even when the data ran out

    EXPECT_EQ(CO_fifo_write(&fifo, nullptr, 3, nullptr), 0u);
    EXPECT_EQ(CO_fifo_read(&fifo, nullptr, 3, nullptr), 0u);
    EXPECT_EQ(CO_fifo_read(nullptr, out, 3, nullptr), 0u);

    // A ring that was never bound to storage holds nothing and takes nothing.
    CO_fifo_t unbound;
    memset(&unbound, 0, sizeof unbound);
    CO_fifo_init(&unbound, storage.data(), 1); // too small: ignored
    EXPECT_EQ(CO_fifo_write(&unbound, out, 3, nullptr), 0u);
    EXPECT_EQ(CO_fifo_getSpace(&unbound), 0u);
    EXPECT_EQ(CO_fifo_altRead(&unbound, out, 3), 0u);
    CO_fifo_altFinish(&unbound, nullptr);
}

TEST_F(Fifo, TentativeReadsAreRepeatableUntilFinished) {
    init(32);
    put(20, 100);
    EXPECT_EQ(CO_fifo_altBegin(&fifo, 50), 20u); // stops at the write position
    EXPECT_EQ(CO_fifo_altGetOccupied(&fifo), 0u);

    EXPECT_EQ(CO_fifo_altBegin(&fifo, 0), 0u);
    uint8_t a[7], b[7];
    EXPECT_EQ(CO_fifo_altRead(&fifo, a, 7), 7u);
    EXPECT_EQ(CO_fifo_altGetOccupied(&fifo), 13u);
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 20u); // nothing consumed yet
    EXPECT_EQ(CO_fifo_altBegin(&fifo, 0), 0u);
    EXPECT_EQ(CO_fifo_altRead(&fifo, b, 7), 7u);
    EXPECT_EQ(0, memcmp(a, b, 7));
    EXPECT_EQ(a[0], 100);

    CO_fifo_altFinish(&fifo, nullptr);
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 13u);
    uint8_t next;
    EXPECT_EQ(CO_fifo_read(&fifo, &next, 1, nullptr), 1u);
    EXPECT_EQ(next, 107);

    // Skipping with an offset, then reading from there.
    EXPECT_EQ(CO_fifo_altBegin(&fifo, 5), 5u);
    EXPECT_EQ(CO_fifo_altRead(&fifo, &next, 1), 1u);
    EXPECT_EQ(next, 113);
}

TEST_F(Fifo, FinishWithCrcCoversEachCommittedByteOnce) {
    init(64);
    std::vector<uint8_t> data(50);
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<uint8_t>(i * 37 + 11);
    }
    ASSERT_EQ(CO_fifo_write(&fifo, data.data(), data.size(), nullptr), data.size());
    uint16_t crc = 0;
    uint8_t tmp[21];
    // Read 21 bytes, go back to 14 (as after a partial acknowledge), commit.
    CO_fifo_altBegin(&fifo, 0);
    CO_fifo_altRead(&fifo, tmp, 21);
    CO_fifo_altBegin(&fifo, 14);
    CO_fifo_altFinish(&fifo, &crc);
    EXPECT_EQ(crc, crc16_ccitt(data.data(), 14, 0));
    // Then the rest.
    CO_fifo_altBegin(&fifo, 0);
    while (CO_fifo_altRead(&fifo, tmp, 7) > 0) {
    }
    CO_fifo_altFinish(&fifo, &crc);
    EXPECT_EQ(crc, crc16_ccitt(data.data(), data.size(), 0));
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 0u);

    // Writing with a CRC pointer computes the same value.
    uint16_t wcrc = 0;
    CO_fifo_write(&fifo, data.data(), 30, &wcrc);
    EXPECT_EQ(wcrc, crc16_ccitt(data.data(), 30, 0));
}

TEST_F(Fifo, WrapKeepsByteOrderAgainstModel) {
    init(13);
    std::mt19937 rng(7);
    std::deque<uint8_t> model;
    uint8_t counter = 0;
    for (int round = 0; round < 3000; ++round) {
        const size_t n = rng() % 9;
        if (rng() % 2 == 0) {
            std::vector<uint8_t> v(n);
            for (auto &b : v) {
                b = counter++;
            }
            const size_t w = CO_fifo_write(&fifo, v.data(), n, nullptr);
            ASSERT_EQ(w, std::min(n, size_t{12} - model.size()));
            for (size_t i = 0; i < w; ++i) {
                model.push_back(v[i]);
            }
            counter = static_cast<uint8_t>(counter - (n - w));
        } else if (rng() % 2 == 0) {
            uint8_t out[8];
            const size_t r = CO_fifo_read(&fifo, out, n, nullptr);
            ASSERT_EQ(r, std::min(n, model.size()));
            for (size_t i = 0; i < r; ++i) {
                ASSERT_EQ(out[i], model.front());
                model.pop_front();
            }
        } else {
            uint8_t out[8];
            CO_fifo_altBegin(&fifo, 0);
            const size_t r = CO_fifo_altRead(&fifo, out, n);
            ASSERT_EQ(r, std::min(n, model.size()));
            for (size_t i = 0; i < r; ++i) {
                ASSERT_EQ(out[i], model[i]);
            }
            CO_fifo_altFinish(&fifo, nullptr);
            model.erase(model.begin(), model.begin() + static_cast<long>(r));
        }
        ASSERT_EQ(CO_fifo_getOccupied(&fifo), model.size());
        ASSERT_EQ(CO_fifo_getSpace(&fifo), 12u - model.size());
        ASSERT_LT(fifo.writePtr, 13u);
        ASSERT_LT(fifo.readPtr, 13u);
    }
}

TEST_F(Fifo, StaleTentativePositionIsNotTrusted) {
    init(16);
    put(10);
    CO_fifo_altBegin(&fifo, 8);
    uint8_t out[8];
    CO_fifo_read(&fifo, out, 8, nullptr);
    put(4);
    CO_fifo_read(&fifo, out, 4, nullptr); // consumed past the tentative position
    uint16_t crc = 0;
    CO_fifo_altFinish(&fifo, &crc); // must not walk round the ring
    EXPECT_EQ(crc, 0);
    EXPECT_EQ(CO_fifo_getOccupied(&fifo), 2u);

    fifo.altReadPtr = 1000; // out of range
    EXPECT_EQ(CO_fifo_altGetOccupied(&fifo), 0u);
    EXPECT_EQ(CO_fifo_altRead(&fifo, out, 8), 2u);
}

} // namespace
