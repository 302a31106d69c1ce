// The bootloader's SDO server, driven with hand-written CiA 301 frames.
#include "sim_test_util.h"

#include "motor_protocol.h"

#include <vector>

namespace {

const uint32_t kNode = 5;
const uint32_t kReq = 0x600 + kNode;
const uint32_t kRsp = 0x580 + kNode;

class Sdo : public BenchTest {
  protected:
    void SetUp() override {
        BenchTest::SetUp();
        add_motor(kNode, SIM_START_BOOT_HELD);
    }

    Frame req(std::initializer_list<uint8_t> bytes) {
        EXPECT_EQ(1u, tx(0, 0, kReq, bytes));
        return rx_one(0, 0);
    }

    // Block download of `data`; `skip` names a segment number left out of
    // the first sub-block (0: none). Returns the abort code seen, 0 for success.
    uint32_t block_download(const std::vector<uint8_t> &data, uint8_t skip = 0, bool sizeInd = true,
                            int crcDelta = 0) {
        const uint32_t size = static_cast<uint32_t>(data.size());
        Frame r = req({static_cast<uint8_t>(sizeInd ? 0xC6 : 0xC4), 0x50, 0x1F, 0x01,
                       static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8),
                       static_cast<uint8_t>(size >> 16), static_cast<uint8_t>(size >> 24)});
        if (r.data[0] == 0x80) {
            return abort_code(r);
        }
        EXPECT_EQ(0xA4, r.data[0]);
        EXPECT_EQ(0x50, r.data[1]);
        EXPECT_EQ(0x1F, r.data[2]);
        EXPECT_EQ(0x01, r.data[3]);
        uint8_t blksize = r.data[4];
        EXPECT_GE(blksize, 1);
        size_t committed = 0;
        bool first = true;
        uint8_t lastNoData = 0;
        for (;;) {
            size_t off = committed;
            uint8_t seq = 0;
            bool last = false;
            while (seq < blksize && !last) {
                ++seq;
                const size_t n = data.size() - off < 7 ? data.size() - off : 7;
                last = off + n >= data.size();
                uint8_t seg[8] = {static_cast<uint8_t>(seq | (last ? 0x80 : 0)), 0, 0, 0, 0, 0, 0, 0};
                memcpy(seg + 1, data.data() + off, n);
                lastNoData = static_cast<uint8_t>(7 - n);
                off += n;
                if (first && seq == skip) {
                    continue; // lost on the way
                }
                EXPECT_EQ(1u, tx_raw(0, 0, kReq, seg, 8));
            }
            first = false;
            std::vector<Frame> got = rx_all(0, 0);
            if (got.empty()) {
                // The sub-block's end was lost: the server acknowledges after its timeout.
                sim_bench_advance_ms(SIM_SUBBLOCK_TIMEOUT_MS + 5);
                got = rx_all(0, 0);
            }
            if (got.size() != 1) {
                ADD_FAILURE() << "expected one acknowledge, got " << got.size();
                return 0xFFFFFFFFu;
            }
            if (got[0].data[0] == 0x80) {
                return abort_code(got[0]);
            }
            EXPECT_EQ(0xA2, got[0].data[0]);
            const uint8_t ackseq = got[0].data[1];
            EXPECT_LE(ackseq, seq);
            const size_t acked = committed + static_cast<size_t>(ackseq) * 7;
            committed = acked > data.size() ? data.size() : acked;
            blksize = got[0].data[2];
            if (last && ackseq == seq) {
                break;
            }
        }
        const uint16_t crc = static_cast<uint16_t>(sim_crc16_ccitt(data.data(), data.size(), 0) + crcDelta);
        Frame end = req({static_cast<uint8_t>(0xC1 | (lastNoData << 2)), static_cast<uint8_t>(crc),
                         static_cast<uint8_t>(crc >> 8), 0, 0, 0, 0, 0});
        if (end.data[0] == 0x80) {
            return abort_code(end);
        }
        EXPECT_EQ(0xA1, end.data[0]);
        return 0;
    }
};

std::vector<uint8_t> pattern(size_t n, uint8_t seed = 3) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(i * 31u + seed + (i >> 8));
    }
    return v;
}

std::vector<uint8_t> image_with_trailer(size_t body, uint32_t version) {
    std::vector<uint8_t> v = pattern(body);
    v.resize(body + SIM_TRAILER_LEN);
    sim_image_make_trailer(v.data(), body, version, v.data() + body);
    return v;
}

TEST_F(Sdo, ExpeditedDownloadAndUpload) {
    Frame r = req({0x2F, 0x01, 0x20, 0x00, 0xAB, 0, 0, 0}); // one byte into the scratch object
    EXPECT_EQ((std::vector<uint8_t>{0x60, 0x01, 0x20, 0x00, 0, 0, 0, 0}), bytes_of(r));
    r = req({0x23, 0x01, 0x20, 0x00, 1, 2, 3, 4}); // four bytes, size indicated
    EXPECT_EQ(0x60, r.data[0]);
    r = req({0x40, 0x01, 0x20, 0x00, 0, 0, 0, 0});
    EXPECT_EQ((std::vector<uint8_t>{0x43, 0x01, 0x20, 0x00, 1, 2, 3, 4}), bytes_of(r));
    r = req({0x40, 0x18, 0x10, 0x00, 0, 0, 0, 0}); // 1018:00 is one byte
    EXPECT_EQ((std::vector<uint8_t>{0x4F, 0x18, 0x10, 0x00, 4, 0, 0, 0}), bytes_of(r));
    r = req({0x40, 0x18, 0x10, 0x02, 0, 0, 0, 0}); // product code = motor type
    EXPECT_EQ((std::vector<uint8_t>{0x43, 0x18, 0x10, 0x02, 9, 0, 0, 0}), bytes_of(r));
}

TEST_F(Sdo, SegmentedDownloadUploadAndToggle) {
    const uint8_t text[10] = {'s', 'e', 'g', 'm', 'e', 'n', 't', 'e', 'd', '!'};
    Frame r = req({0x21, 0x01, 0x20, 0x00, 10, 0, 0, 0});
    EXPECT_EQ(0x60, r.data[0]);
    r = req({0x00, text[0], text[1], text[2], text[3], text[4], text[5], text[6]});
    EXPECT_EQ(0x20, r.data[0]);
    r = req({static_cast<uint8_t>(0x10 | (4 << 1) | 1), text[7], text[8], text[9], 0, 0, 0, 0});
    EXPECT_EQ(0x30, r.data[0]);

    r = req({0x40, 0x01, 0x20, 0x00, 0, 0, 0, 0});
    EXPECT_EQ((std::vector<uint8_t>{0x41, 0x01, 0x20, 0x00, 10, 0, 0, 0}), bytes_of(r));
    r = req({0x60, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(0x00, r.data[0]);
    EXPECT_EQ(0, memcmp(r.data + 1, text, 7));
    r = req({0x70, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(0x10 | (4 << 1) | 1, r.data[0]);
    EXPECT_EQ(0, memcmp(r.data + 1, text + 7, 3));

    // Wrong toggle in an upload: abort 0x05030000.
    req({0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0});
    r = req({0x70, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_EQ(0x80, r.data[0]);
    EXPECT_EQ(0x05030000u, abort_code(r));
    // ... and in a download.
    req({0x21, 0x01, 0x20, 0x00, 10, 0, 0, 0});
    r = req({0x10, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(0x05030000u, abort_code(r));
    EXPECT_EQ(0x01, r.data[1]);
    EXPECT_EQ(0x20, r.data[2]);
}

TEST_F(Sdo, SegmentedUploadOfTheDeviceName) {
    Frame r = req({0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0});
    ASSERT_EQ(0x41, r.data[0]);
    const uint32_t len = r.data[4];
    std::string name;
    uint8_t toggle = 0;
    for (;;) {
        r = req({static_cast<uint8_t>(0x60 | toggle), 0, 0, 0, 0, 0, 0, 0});
        ASSERT_EQ(toggle, r.data[0] & 0x10);
        const int n = 7 - ((r.data[0] >> 1) & 7);
        name.append(reinterpret_cast<const char *>(r.data + 1), static_cast<size_t>(n));
        toggle ^= 0x10;
        if (r.data[0] & 1) {
            break;
        }
    }
    EXPECT_EQ(len, name.size());
    EXPECT_EQ("Ostrelo bench bootloader", name);
}

TEST_F(Sdo, AbortsForMissingObjectsAndAccess) {
    EXPECT_EQ(0x06020000u, abort_code(req({0x40, 0x34, 0x12, 0x00, 0, 0, 0, 0})));
    EXPECT_EQ(0x06090011u, abort_code(req({0x40, 0x18, 0x10, 0x09, 0, 0, 0, 0})));
    EXPECT_EQ(0x06010000u,
              abort_code(req({0x40, 0x50, 0x1F, 0x01, 0, 0, 0, 0}))); // program data is write-only
    EXPECT_EQ(0x06010002u, abort_code(req({0x23, 0x56, 0x1F, 0x01, 1, 2, 3, 4})));
    EXPECT_EQ(0x06020000u, abort_code(req({0x2F, 0x34, 0x12, 0x00, 1, 0, 0, 0})));
    EXPECT_EQ(0x05040001u, abort_code(req({0xE0, 0x00, 0x10, 0x00, 0, 0, 0, 0}))); // no such command
    EXPECT_EQ(0x06090030u, abort_code(req({0x2F, 0x51, 0x1F, 0x01, 7, 0, 0, 0})));
    // Frames shorter than 8 bytes are not SDO requests: no answer at all.
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x40, 0x00, 0x10, 0x00}));
    EXPECT_TRUE(rx_all(0, 0).empty());
    // An abort from the client is never answered.
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x80, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(rx_all(0, 0).empty());
}

TEST_F(Sdo, BlockDownloadOfSeveralSubBlocks) {
    const std::vector<uint8_t> img = pattern(127 * 7 * 2 + 30);
    ASSERT_EQ(0u, block_download(img));
    std::vector<uint8_t> got(img.size() + 10);
    ASSERT_EQ(img.size(), sim_bench_motor_image(0, 0, kNode, got.data(), got.size()));
    got.resize(img.size());
    EXPECT_EQ(img, got);
    EXPECT_EQ(sim_crc32(img.data(), img.size()), sim_bench_motor_image_crc32(0, 0, kNode));
    sim_motor_stats_t st;
    ASSERT_EQ(1, sim_bench_motor_stats(0, 0, kNode, &st));
    EXPECT_EQ(1u, st.imageComplete);
    EXPECT_EQ(1u, st.downloadsDone);
}

TEST_F(Sdo, BlockDownloadResendsAfterAGap) {
    for (uint8_t skip : {1, 2, 64, 127}) {
        const std::vector<uint8_t> img = pattern(1500, skip);
        ASSERT_EQ(0u, block_download(img, skip)) << "gap at segment " << int(skip);
        std::vector<uint8_t> got(img.size());
        ASSERT_EQ(img.size(), sim_bench_motor_image(0, 0, kNode, got.data(), got.size()));
        EXPECT_EQ(img, got) << "gap at segment " << int(skip);
    }
}

// A client held up in the middle of a sub-block (a loaded host) has the
// stall acknowledged, then the rest of that sub-block reaches the server,
// then the client resends from the acknowledged segment on. The late
// segments must neither be taken nor acknowledged again: a client that
// followed a second acknowledge would send data twice (0x06070012 at the end).
TEST_F(Sdo, LateSegmentsOfAStalledSubBlockAreDropped) {
    const std::vector<uint8_t> img = pattern(7 * 137);
    const Frame r = req({0xC2, 0x50, 0x1F, 0x01, static_cast<uint8_t>(img.size()),
                         static_cast<uint8_t>(img.size() >> 8), 0, 0});
    ASSERT_EQ(0xA4, r.data[0]);
    ASSERT_EQ(127, r.data[4]);
    const auto send = [&](uint8_t from, uint8_t to, size_t off) {
        for (uint8_t seq = from; seq <= to; ++seq, off += 7) {
            uint8_t seg[8] = {static_cast<uint8_t>(seq | (off + 7 == img.size() ? 0x80 : 0))};
            memcpy(seg + 1, img.data() + off, 7);
            ASSERT_EQ(1u, tx_raw(0, 0, kReq, seg, 8));
        }
    };
    send(1, 10, 0);
    sim_bench_advance_ms(SIM_SUBBLOCK_TIMEOUT_MS + 1);
    std::vector<Frame> got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0xA2, got[0].data[0]);
    EXPECT_EQ(10, got[0].data[1]);
    send(11, 127, 70); // the rest of the stalled sub-block
    sim_bench_advance_ms(SIM_SUBBLOCK_TIMEOUT_MS + 1);
    EXPECT_TRUE(rx_all(0, 0).empty());
    send(1, 127, 70); // resent after the acknowledge, to the end
    got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0xA2, got[0].data[0]);
    EXPECT_EQ(127, got[0].data[1]);
    EXPECT_EQ(0xA1, req({0xC1, 0, 0, 0, 0, 0, 0, 0}).data[0]);
    std::vector<uint8_t> image(img.size());
    ASSERT_EQ(img.size(), sim_bench_motor_image(0, 0, kNode, image.data(), image.size()));
    EXPECT_EQ(img, image);
}

TEST_F(Sdo, BlockDownloadOfLastSegmentGapAndSizeWithoutIndication) {
    // Image shorter than one sub-block: the last segment carries the end bit.
    const std::vector<uint8_t> img = pattern(50);
    ASSERT_EQ(0u, block_download(img, 7, false)); // segment 8 is the last one
    EXPECT_EQ(sim_crc32(img.data(), img.size()), sim_bench_motor_image_crc32(0, 0, kNode));
}

TEST_F(Sdo, BlockDownloadCrcMismatchAborts) {
    const std::vector<uint8_t> img = pattern(100);
    EXPECT_EQ(0x05040004u, block_download(img, 0, true, 1));
    sim_motor_stats_t st;
    ASSERT_EQ(1, sim_bench_motor_stats(0, 0, kNode, &st));
    EXPECT_EQ(0u, st.imageComplete);
    // The partial image leaves the motor without a startable application.
    EXPECT_EQ(0x08000022u, abort_code(req({0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0})));
}

TEST_F(Sdo, BlockDownloadSizeChecks) {
    // The declared size must match what arrives.
    std::vector<uint8_t> img = pattern(40);
    Frame r = req({0xC6, 0x50, 0x1F, 0x01, 30, 0, 0, 0}); // declares 30, sends 40
    ASSERT_EQ(0xA4, r.data[0]);
    for (uint8_t seq = 1; seq <= 6; ++seq) {
        uint8_t seg[8] = {static_cast<uint8_t>(seq | (seq == 6 ? 0x80 : 0))};
        memcpy(seg + 1, img.data() + (seq - 1) * 7, seq == 6 ? 5 : 7);
        tx_raw(0, 0, kReq, seg, 8);
    }
    std::vector<Frame> got = rx_all(0, 0);
    // Segment 5 overruns the size; segment 6 then finds no transfer.
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(0x80, got[0].data[0]);
    EXPECT_EQ(0x06070012u, abort_code(got[0]));
    EXPECT_EQ(0x05040001u, abort_code(got[1]));

    // Larger than the flash: refused at once.
    r = req({0xC6, 0x50, 0x1F, 0x01, 0, 0, 0x10, 0}); // 1 MiB
    EXPECT_EQ(0x05040005u, abort_code(r));

    // Fewer bytes than declared.
    img = pattern(20);
    r = req({0xC6, 0x50, 0x1F, 0x01, 27, 0, 0, 0});
    ASSERT_EQ(0xA4, r.data[0]);
    for (uint8_t seq = 1; seq <= 3; ++seq) {
        uint8_t seg[8] = {static_cast<uint8_t>(seq | (seq == 3 ? 0x80 : 0))};
        memcpy(seg + 1, img.data() + (seq - 1) * 7, seq == 3 ? 6 : 7);
        tx_raw(0, 0, kReq, seg, 8);
    }
    got = rx_all(0, 0);
    ASSERT_EQ(1u, got.size());
    EXPECT_EQ(0xA2, got[0].data[0]);
    const uint16_t crc = sim_crc16_ccitt(img.data(), img.size(), 0);
    r = req({static_cast<uint8_t>(0xC1 | (1 << 2)), static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
             0, 0, 0, 0, 0});
    EXPECT_EQ(0x06070013u, abort_code(r));
}

TEST_F(Sdo, BlockDownloadBadSequenceNumbers) {
    Frame r = req({0xC6, 0x50, 0x1F, 0x01, 100, 0, 0, 0});
    ASSERT_EQ(0xA4, r.data[0]);
    const uint8_t blk = r.data[4];
    // Sequence number 0 is never valid.
    r = req({0x00, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(0x05040003u, abort_code(r));
    // Out of order: 2 before 1, then the sub-block's end, acknowledges nothing.
    r = req({0xC6, 0x50, 0x1F, 0x01, 100, 0, 0, 0});
    ASSERT_EQ(0xA4, r.data[0]);
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x02, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(1u, tx(0, 0, kReq, {0x01, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(rx_all(0, 0).empty());
    r = req({static_cast<uint8_t>(blk), 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ((std::vector<uint8_t>{0xA2, 1, blk, 0, 0, 0, 0, 0}), bytes_of(r));
    // A request that is not the end frame while the end is awaited.
    sim_bench_reset();
    add_motor(kNode, SIM_START_BOOT_HELD);
    r = req({0xC6, 0x50, 0x1F, 0x01, 7, 0, 0, 0});
    r = req({0x81, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(0xA2, r.data[0]);
    EXPECT_EQ(0x05040001u, abort_code(req({0x60, 0, 0, 0, 0, 0, 0, 0})));
}

TEST_F(Sdo, BlockUploadWithGapAndProtocolSwitch) {
    // Block upload of the 2 KiB object with sub-blocks of 20 segments.
    Frame r = req({0xA4, 0x00, 0x20, 0x00, 20, 21, 0, 0});
    ASSERT_EQ(0xC6, r.data[0]);
    const uint32_t size = abort_code(r);
    ASSERT_EQ(2048u, size);
    EXPECT_EQ(1u, tx(0, 0, kReq, {0xA3, 0, 0, 0, 0, 0, 0, 0}));
    std::vector<uint8_t> data;
    uint8_t lastSeg[7] = {0};
    bool done = false;
    int round = 0;
    while (!done) {
        std::vector<Frame> segs = rx_all(0, 0);
        ASSERT_FALSE(segs.empty());
        uint8_t good = 0;
        for (const Frame &f : segs) {
            const uint8_t seq = f.data[0] & 0x7F;
            // Pretend segment 4 of the second sub-block got lost.
            if (round == 1 && seq >= 4) {
                break;
            }
            ASSERT_EQ(good + 1, seq);
            good = seq;
            if (f.data[0] & 0x80) {
                memcpy(lastSeg, f.data + 1, 7);
                done = true;
            } else {
                data.insert(data.end(), f.data + 1, f.data + 8);
            }
        }
        ++round;
        EXPECT_EQ(1u, tx(0, 0, kReq, {0xA2, good, 20, 0, 0, 0, 0, 0}));
    }
    r = rx_one(0, 0);
    ASSERT_EQ(0xC1, r.data[0] & 0xE3);
    const int n = (r.data[0] >> 2) & 7;
    data.insert(data.end(), lastSeg, lastSeg + (7 - n));
    ASSERT_EQ(2048u, data.size());
    for (size_t i = 0; i < data.size(); ++i) {
        ASSERT_EQ(static_cast<uint8_t>(i * 7u + kNode), data[i]) << i;
    }
    const uint16_t crc = sim_crc16_ccitt(data.data(), data.size(), 0);
    EXPECT_EQ(crc, r.data[1] | (r.data[2] << 8));
    EXPECT_EQ(1u, tx(0, 0, kReq, {0xA1, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(rx_all(0, 0).empty());

    // An object within the protocol switch threshold comes back as a normal upload.
    r = req({0xA4, 0x18, 0x10, 0x01, 20, 21, 0, 0});
    EXPECT_EQ((std::vector<uint8_t>{0x43, 0x18, 0x10, 0x01, 'R', 'T', 'S', 'O'}), bytes_of(r));
    // A bad block size is refused.
    EXPECT_EQ(0x05040002u, abort_code(req({0xA4, 0x00, 0x20, 0x00, 0, 21, 0, 0})));
}

TEST_F(Sdo, ProgramControlStopAndStart) {
    // Stop while held: acknowledged with exactly these bytes.
    Frame r = req({0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
    EXPECT_EQ(kRsp, r.id);
    EXPECT_EQ(8, r.dlc);
    EXPECT_EQ((std::vector<uint8_t>{0x60, 0x51, 0x1F, 0x01, 0, 0, 0, 0}), bytes_of(r));
    // Start: acknowledged, then the application runs after its restart.
    r = req({0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    EXPECT_EQ(0x60, r.data[0]);
    sim_bench_advance_ms(SIM_DEFAULT_RESTART_MS + 1);
    EXPECT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, kNode));
}

TEST_F(Sdo, CompleteUpgradeConversation) {
    sim_bench_reset();
    add_motor(kNode, SIM_START_APPLICATION, 18, 0x01020304u);
    // Boot-entry handshake with the application.
    EXPECT_EQ(1u, tx(0, 0, kNode, {0xA3, 0x40, 0, 0, 0, 0}));
    Frame r = rx_one(0, 0);
    ASSERT_EQ(kNode, r.id);
    ASSERT_EQ(6, r.dlc);
    ASSERT_EQ(0xA3, r.data[0]);
    ASSERT_EQ(0x40, r.data[1]);
    EXPECT_FALSE(r.data[2] == 0xFF && r.data[3] == 0xFF && r.data[4] == 0xFF && r.data[5] == 0xFF);
    const uint8_t *s1 = MOTOR_ENTRY_SIGNATURE_1;
    const uint8_t *s2 = MOTOR_ENTRY_SIGNATURE_2;
    EXPECT_EQ(1u, tx(0, 0, kNode, {0xA3, 0x20, s1[0], s1[1], s1[2], s1[3]}));
    EXPECT_EQ(1u, tx(0, 0, kNode, {0xA3, 0x40, 0, 0, 0, 0}));
    r = rx_one(0, 0);
    EXPECT_EQ(0xA3, r.data[0]);
    EXPECT_EQ(1u, tx(0, 0, kNode, {0xA3, 0x20, s2[0], s2[1], s2[2], s2[3]}));
    EXPECT_TRUE(rx_all(0, 0).empty());
    sim_bench_advance_ms(1000);
    ASSERT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, kNode));

    // Readiness probe, then the image.
    EXPECT_EQ(0x06010000u, abort_code(req({0x40, 0x50, 0x1F, 0x01, 0, 0, 0, 0})));
    const std::vector<uint8_t> img = image_with_trailer(3000, 0x02000105u);
    ASSERT_EQ(0u, block_download(img, 17));

    // CRC query: 43 56 1F 01 + CRC, least significant byte first.
    r = req({0x40, 0x56, 0x1F, 0x01, 0, 0, 0, 0});
    EXPECT_EQ(kRsp, r.id);
    EXPECT_EQ(8, r.dlc);
    EXPECT_EQ((std::vector<uint8_t>{0x43, 0x56, 0x1F, 0x01}), std::vector<uint8_t>(r.data, r.data + 4));
    EXPECT_EQ(sim_crc32(img.data(), img.size()), abort_code(r));

    // Start the application; it reports the version of the new image.
    r = req({0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    EXPECT_EQ(0x60, r.data[0]);
    sim_bench_advance_ms(200);
    ASSERT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, kNode));
    EXPECT_EQ(1u, tx(0, 0, kNode, {0x65}));
    r = rx_one(0, 0);
    EXPECT_EQ(kNode, r.id);
    EXPECT_EQ((std::vector<uint8_t>{0x65, 0x05, 0x01, 0x00, 0x02}), std::vector<uint8_t>(r.data, r.data + 5));
    EXPECT_EQ(0x02000105u, sim_bench_motor_version(0, 0, kNode));
}

TEST_F(Sdo, ImageWithoutTrailerKeepsTheVersion) {
    const std::vector<uint8_t> img = pattern(700);
    ASSERT_EQ(0u, block_download(img));
    req({0x2F, 0x51, 0x1F, 0x01, 1, 0, 0, 0});
    sim_bench_advance_ms(200);
    ASSERT_EQ(SIM_MOTOR_APPLICATION, sim_bench_motor_state(0, 0, kNode));
    EXPECT_EQ(0x01020304u, sim_bench_motor_version(0, 0, kNode));
    // A corrupted trailer counts as none.
    std::vector<uint8_t> bad = image_with_trailer(100, 0x09090909u);
    bad[10] ^= 1;
    uint32_t v = 0;
    EXPECT_EQ(0, sim_image_trailer_version(bad.data(), bad.size(), &v));
}

TEST_F(Sdo, ArbitraryFramesNeverBreakTheServer) {
    // Random requests in every state; afterwards a clean transfer still works.
    uint32_t x = 12345;
    for (int i = 0; i < 5000; ++i) {
        uint8_t d[8];
        for (uint8_t &b : d) {
            x = x * 1103515245u + 12345u;
            b = static_cast<uint8_t>(x >> 16);
        }
        if (i % 7 == 0) {
            d[1] = 0x50;
            d[2] = 0x1F;
            d[3] = 0x01;
        }
        tx_raw(0, 0, kReq, d, static_cast<uint8_t>((x >> 8) % 10));
        rx_all(0, 0);
    }
    tx(0, 0, kReq, {0x80, 0, 0, 0, 0, 0, 0, 0});
    sim_bench_power_cycle_node(0, 0, kNode, 0);
    req({0x2F, 0x51, 0x1F, 0x01, 0, 0, 0, 0});
    const std::vector<uint8_t> img = pattern(900);
    ASSERT_EQ(0u, block_download(img));
    EXPECT_EQ(sim_crc32(img.data(), img.size()), sim_bench_motor_image_crc32(0, 0, kNode));
}

} // namespace

namespace {

// A client that vanishes mid-transfer (its last acknowledge and its abort
// lost) must not leave the server deaf: after its time-out the server aborts
// and answers requests again.
TEST_F(Sdo, TransferLeftByItsClientTimesOut) {
    Frame r = req({0xC6, 0x50, 0x1F, 0x01, 0x00, 0x10, 0x00, 0x00});
    ASSERT_EQ(0xA4, r.data[0]);
    ASSERT_EQ(1u, tx(0, 0, kReq, {0x01, 1, 2, 3, 4, 5, 6, 7})); // one segment, then silence
    sim_bench_advance_ms(SIM_SUBBLOCK_TIMEOUT_MS + 1);
    rx_all(0, 0); // the server acknowledges what arrived

    // Still inside the transfer: a read is taken for a segment and not answered.
    ASSERT_EQ(1u, tx(0, 0, kReq, {0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0}));
    EXPECT_TRUE(rx_all(0, 0).empty());

    sim_bench_advance_ms(SIM_SDO_SERVER_TIMEOUT_MS + 1);
    const std::vector<Frame> late = rx_all(0, 0);
    ASSERT_FALSE(late.empty());
    EXPECT_EQ(0x80, late.back().data[0]);
    EXPECT_EQ(0x05040000u, abort_code(late.back()));
    r = req({0x40, 0x00, 0x10, 0x00, 0, 0, 0, 0});
    EXPECT_EQ(0x43, r.data[0]);
}

} // namespace
