// The motor's bootloader: which frames reach it, and its CiA 301 SDO server
// (expedited, segmented and block download and upload on 0x600 + node-ID /
// 0x580 + node-ID) with the program data, the program-control object (stop
// and start) and the CRC of the received image.
#include "sim_internal.h"

#include "motor_protocol.h"

#include <stdlib.h>
#include <string.h>

namespace {

// Abort codes of CiA 301 used by the server.
const uint32_t AB_TOGGLE = 0x05030000u;
const uint32_t AB_CMD = 0x05040001u;
const uint32_t AB_BLKSIZE = 0x05040002u;
const uint32_t AB_SEQ = 0x05040003u;
const uint32_t AB_CRC = 0x05040004u;
const uint32_t AB_OUT_OF_MEM = 0x05040005u;
const uint32_t AB_UNSUPPORTED = 0x06010000u;
const uint32_t AB_READONLY = 0x06010002u;
const uint32_t AB_NOT_EXIST = 0x06020000u;
const uint32_t AB_DATA_LONG = 0x06070012u;
const uint32_t AB_DATA_SHORT = 0x06070013u;
const uint32_t AB_SUB_UNKNOWN = 0x06090011u;
const uint32_t AB_INVALID_VALUE = 0x06090030u;
const uint32_t AB_DEV_STATE = 0x08000022u;

const char kDeviceName[] = "Ostrelo bench bootloader";
const char kHwVersion[] = "SIM-1";
const char kSwVersion[] = "BL 1.0.0";
const uint32_t kBigObjectLen = 2048;
const uint32_t kScratchCap = sizeof(((SimMotor *)nullptr)->scratch);

void reply(SimMotor &m, uint64_t t, const uint8_t *d) {
    sim_motor_send(m, t, motor_sdo_reply_id(m.cfg.node), 8, d);
}

void reply_head(SimMotor &m, uint64_t t, uint8_t cmd, uint16_t idx, uint8_t sub, uint32_t value) {
    uint8_t d[8];
    motor_build_sdo_frame(d, cmd, idx, sub, value);
    reply(m, t, d);
}

void image_close(SimMotor &m) {
    m.imageCrc = m.image != nullptr ? sim_crc32_update(0xFFFFFFFFu, m.image, m.imageLen) ^ 0xFFFFFFFFu : 0;
}

bool is_program_data(uint16_t idx, uint8_t sub) {
    return idx == MOTOR_PROGRAM_DATA_INDEX && sub == MOTOR_PROGRAM_DATA_SUB;
}

// The abort fault ends this download: every one, or the first `abortTimes`.
bool aborts_download(const SimMotor &m, const sim_fault_t &fault) {
    return fault.abortEnabled && (fault.abortTimes == 0 || m.abortsDone < fault.abortTimes);
}

void send_abort(SimMotor &m, uint64_t t, uint16_t idx, uint8_t sub, uint32_t code) {
    reply_head(m, t, MOTOR_SDO_ABORT, idx, sub, code);
    m.stats.abortsSent++;
    if (m.sdo.mode != SDO_IDLE && is_program_data(m.sdo.index, m.sdo.sub)) {
        image_close(m);
    }
    m.sdo.mode = SDO_IDLE;
}

// Reads an object into `out` (at most `cap` bytes); 0 or an abort code.
uint32_t read_object(const SimMotor &m, uint16_t idx, uint8_t sub, uint8_t *out, uint32_t cap,
                     uint32_t *len) {
    uint8_t v[4];
    const uint8_t *src = v;
    uint32_t n = 4;
    switch (idx) {
    case 0x1000:
        if (sub != 0) {
            return AB_SUB_UNKNOWN;
        }
        motor_put_le32(v, 0x00010192u);
        break;
    case 0x1008:
    case 0x1009:
    case 0x100A: {
        if (sub != 0) {
            return AB_SUB_UNKNOWN;
        }
        const char *s = idx == 0x1008 ? kDeviceName : idx == 0x1009 ? kHwVersion : kSwVersion;
        src = reinterpret_cast<const uint8_t *>(s);
        n = static_cast<uint32_t>(strlen(s));
        break;
    }
    case 0x1018:
        if (sub == 0) {
            v[0] = 4;
            n = 1;
        } else if (sub == 1) {
            motor_put_le32(v, 0x4F535452u);
        } else if (sub == 2) {
            motor_put_le32(v, m.cfg.motorType);
        } else if (sub == 3) {
            motor_put_le32(v, m.version);
        } else if (sub == 4) {
            motor_put_le32(v, (m.cfg.adapter << 16) | (m.cfg.channel << 8) | m.cfg.node);
        } else {
            return AB_SUB_UNKNOWN;
        }
        break;
    case MOTOR_PROGRAM_DATA_INDEX:
        if (sub == 0) {
            v[0] = 1;
            n = 1;
        } else if (sub == 1) {
            return AB_UNSUPPORTED;
        } else {
            return AB_SUB_UNKNOWN;
        }
        break;
    case MOTOR_PROGRAM_CONTROL_INDEX:
        if (sub == 0) {
            v[0] = 1;
        } else if (sub == 1) {
            v[0] = 0; // the bootloader reports the program as stopped
        } else {
            return AB_SUB_UNKNOWN;
        }
        n = 1;
        break;
    case MOTOR_IMAGE_CRC_INDEX:
        if (sub == 0) {
            v[0] = 1;
            n = 1;
        } else if (sub == 1) {
            motor_put_le32(v, m.imageCrc);
        } else {
            return AB_SUB_UNKNOWN;
        }
        break;
    case 0x2000:
        if (sub != 0) {
            return AB_SUB_UNKNOWN;
        }
        n = kBigObjectLen < cap ? kBigObjectLen : cap;
        for (uint32_t i = 0; i < n; ++i) {
            out[i] = static_cast<uint8_t>(i * 7u + m.cfg.node);
        }
        *len = n;
        return 0;
    case 0x2001:
        if (sub != 0) {
            return AB_SUB_UNKNOWN;
        }
        src = m.scratch;
        n = m.scratchLen;
        break;
    default:
        return AB_NOT_EXIST;
    }
    if (n > cap) {
        n = cap;
    }
    memcpy(out, src, n);
    *len = n;
    return 0;
}

// Whether an object may be written: 0 or an abort code.
uint32_t write_allowed(uint16_t idx, uint8_t sub) {
    switch (idx) {
    case MOTOR_PROGRAM_DATA_INDEX:
    case MOTOR_PROGRAM_CONTROL_INDEX:
        if (sub == 1) {
            return 0;
        }
        return sub == 0 ? AB_READONLY : AB_SUB_UNKNOWN;
    case 0x2001:
        return sub == 0 ? 0 : AB_SUB_UNKNOWN;
    case 0x1000:
    case 0x1008:
    case 0x1009:
    case 0x100A:
    case 0x2000:
        return sub == 0 ? AB_READONLY : AB_SUB_UNKNOWN;
    case 0x1018:
        return sub <= 4 ? AB_READONLY : AB_SUB_UNKNOWN;
    case MOTOR_IMAGE_CRC_INDEX:
        return sub <= 1 ? AB_READONLY : AB_SUB_UNKNOWN;
    default:
        return AB_NOT_EXIST;
    }
}

// ---- download sinks -------------------------------------------------------

uint32_t download_begin(SimMotor &m, uint16_t idx, uint8_t sub, bool sizeKnown, uint32_t size) {
    const uint32_t ab = write_allowed(idx, sub);
    if (ab != 0) {
        return ab;
    }
    SimSdo &s = m.sdo;
    s.index = idx;
    s.sub = sub;
    s.sizeKnown = sizeKnown;
    s.size = size;
    s.done = 0;
    if (is_program_data(idx, sub)) {
        if (sizeKnown && size > m.cfg.flashSize) {
            return AB_OUT_OF_MEM;
        }
        if (m.image == nullptr) {
            m.image = static_cast<uint8_t *>(malloc(m.cfg.flashSize));
            if (m.image == nullptr) {
                return AB_OUT_OF_MEM;
            }
            m.imageCap = m.cfg.flashSize;
        }
        // Receiving a program erases the one held before.
        m.hasApp = false;
        m.imageLen = 0;
        m.imageComplete = false;
        m.imageCrc = 0;
    } else if (idx == 0x2001) {
        if (sizeKnown && size > kScratchCap) {
            return AB_DATA_LONG;
        }
        m.scratchLen = 0;
    } else if (idx == MOTOR_PROGRAM_CONTROL_INDEX) {
        if (sizeKnown && (size == 0 || size > 4)) {
            return AB_DATA_LONG;
        }
    }
    return 0;
}

uint32_t download_append(SimMotor &m, const uint8_t *data, uint32_t n, const sim_fault_t &fault) {
    SimSdo &s = m.sdo;
    if (s.sizeKnown && static_cast<uint64_t>(s.done) + n > s.size) {
        return AB_DATA_LONG;
    }
    if (is_program_data(s.index, s.sub)) {
        if (static_cast<uint64_t>(m.imageLen) + n > m.imageCap) {
            return AB_OUT_OF_MEM;
        }
        memcpy(m.image + m.imageLen, data, n);
        m.imageLen += n;
        s.done += n;
        if (aborts_download(m, fault) && m.imageLen >= fault.abortAtOffset) {
            ++m.abortsDone;
            return fault.abortCode != 0 ? fault.abortCode : 0x08000000u;
        }
        return 0;
    }
    if (s.index == 0x2001) {
        if (m.scratchLen + n > kScratchCap) {
            return AB_DATA_LONG;
        }
        memcpy(m.scratch + m.scratchLen, data, n);
        m.scratchLen += n;
        s.done += n;
        return 0;
    }
    // 0x1F51:01 keeps up to 4 bytes of its value in the scratch area of the transfer.
    if (s.done + n > 4) {
        return AB_DATA_LONG;
    }
    memcpy(s.obj + s.done, data, n);
    s.done += n;
    return 0;
}

// Completes a download; returns 0 or an abort code. A program-control
// write carries out its command here.
uint32_t download_end(SimMotor &m, uint64_t t) {
    SimSdo &s = m.sdo;
    if (s.sizeKnown && s.done < s.size) {
        return AB_DATA_SHORT;
    }
    if (is_program_data(s.index, s.sub)) {
        image_close(m);
        m.imageComplete = true;
        m.hasApp = true;
        uint32_t v = 0;
        if (sim_image_trailer_version(m.image, m.imageLen, &v)) {
            m.appVersion = v;
        }
        m.stats.downloadsDone++;
        return 0;
    }
    if (s.index == MOTOR_PROGRAM_CONTROL_INDEX) {
        if (s.done == 0) {
            return AB_DATA_SHORT;
        }
        uint32_t value = 0;
        for (uint32_t i = 0; i < s.done; ++i) {
            value |= static_cast<uint32_t>(s.obj[i]) << (8 * i);
        }
        if (value == MOTOR_PROGRAM_STOP) {
            if (m.state == SIM_MOTOR_BOOT_WINDOW) {
                m.state = SIM_MOTOR_BOOT_HELD;
            }
            return 0;
        }
        if (value == MOTOR_PROGRAM_START) {
            if (!m.hasApp) {
                return AB_DEV_STATE;
            }
            sim_motor_restart(m, t, SIM_MOTOR_APPLICATION);
            return 0;
        }
        return AB_INVALID_VALUE;
    }
    return 0;
}

// ---- request handlers -----------------------------------------------------

void start_upload(SimMotor &m, uint64_t now, uint16_t idx, uint8_t sub, bool normalOnly, uint8_t blksize,
                  uint8_t pst, bool clientCrc, const sim_fault_t &fault) {
    SimSdo &s = m.sdo;
    uint32_t len = 0;
    uint32_t ab = read_object(m, idx, sub, s.obj, sizeof s.obj, &len);
    if (ab == AB_UNSUPPORTED && is_program_data(idx, sub) && fault.probeSilent) {
        return; // a bootloader that takes the program data but does not answer reads of it
    }
    if (ab == AB_UNSUPPORTED && is_program_data(idx, sub) && fault.probeAbortCode != 0) {
        ab = fault.probeAbortCode;
    }
    // The image's CRC is worked out before it is answered.
    const bool crc = idx == MOTOR_IMAGE_CRC_INDEX && sub == MOTOR_IMAGE_CRC_SUB;
    const uint64_t t = crc ? now + static_cast<uint64_t>(m.cfg.crcMs) * 1000u : now;
    s.index = idx;
    s.sub = sub;
    if (ab != 0) {
        send_abort(m, t, idx, sub, ab);
        return;
    }
    if (idx == MOTOR_IMAGE_CRC_INDEX && sub == MOTOR_IMAGE_CRC_SUB && fault.wrongCrc) {
        motor_put_le32(s.obj, ~motor_get_le32(s.obj));
    }
    s.objLen = len;
    s.done = 0;
    s.toggle = 0;
    const bool useBlock = !normalOnly && len > 0 && !(pst != 0 && len <= pst);
    if (!useBlock) {
        if (len >= 1 && len <= 4) {
            uint8_t d[8];
            motor_build_sdo_frame(d, static_cast<uint8_t>(MOTOR_SDO_UPLOAD_4_BYTES | ((4 - len) << 2)), idx,
                                  sub, 0);
            memcpy(d + 4, s.obj, len);
            reply(m, t, d);
            s.mode = SDO_IDLE;
            return;
        }
        reply_head(m, t, 0x41, idx, sub, len);
        s.mode = SDO_UL_SEGMENT;
        return;
    }
    if (blksize < 1 || blksize > 127) {
        send_abort(m, t, idx, sub, AB_BLKSIZE);
        return;
    }
    s.blksize = blksize;
    s.clientCrc = clientCrc;
    reply_head(m, t, 0xC6, idx, sub, len); // CRC supported, size indicated
    s.mode = SDO_BLK_UL_START;
}

void send_upload_subblock(SimMotor &m, uint64_t t) {
    SimSdo &s = m.sdo;
    s.subStart = s.done;
    s.sentSeq = 0;
    s.uploadLastInBlock = false;
    uint32_t off = s.done;
    for (uint8_t seq = 1; seq <= s.blksize; ++seq) {
        const uint32_t left = s.objLen - off;
        const uint32_t n = left < 7 ? left : 7;
        const bool last = off + n >= s.objLen;
        uint8_t d[8] = {static_cast<uint8_t>(seq | (last ? 0x80 : 0)), 0, 0, 0, 0, 0, 0, 0};
        memcpy(d + 1, s.obj + off, n);
        reply(m, t, d);
        off += n;
        s.sentSeq = seq;
        if (last) {
            s.uploadLastInBlock = true;
            break;
        }
    }
    s.mode = SDO_BLK_UL_ACK;
}

// Answers a download's initiate and goes on in `next`. A program download
// first erases the flash: the answer is held back until the erase has ended
// (a new initiate starts it again, an abort drops it).
void answer_initiate(SimMotor &m, uint64_t t, const uint8_t *r, int next) {
    SimSdo &s = m.sdo;
    // The sectors the image needs, or the whole flash for an image of unknown size.
    const uint64_t kib = ((s.sizeKnown ? s.size : m.cfg.flashSize) + 1023u) / 1024u;
    const uint64_t eraseMs = m.cfg.eraseMs + kib * m.cfg.eraseKibMs;
    if (!is_program_data(s.index, s.sub) || eraseMs == 0) {
        reply(m, t, r);
        s.mode = next;
        return;
    }
    s.mode = SDO_DL_ERASE;
    s.pendingAt = t + eraseMs * 1000u;
    s.busyUntil = s.pendingAt;
    memcpy(s.pending, r, 8);
    s.pendingMode = next;
}

void on_initiate(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    const uint8_t *d = f.data;
    const uint16_t idx = static_cast<uint16_t>(d[1] | (d[2] << 8));
    const uint8_t sub = d[3];
    SimSdo &s = m.sdo;
    const uint8_t ccs = d[0] >> 5;
    s.mode = SDO_IDLE;
    if (ccs == 1) { // download initiate
        const bool expedited = (d[0] & 0x02) != 0;
        const bool sized = (d[0] & 0x01) != 0;
        if (expedited) {
            const uint32_t n = sized ? 4u - ((d[0] >> 2) & 3u) : 4u;
            uint32_t ab = download_begin(m, idx, sub, true, n);
            if (ab == 0) {
                ab = download_append(m, d + 4, n, fault);
            }
            if (ab == 0) {
                ab = download_end(m, t);
            }
            if (ab != 0) {
                s.mode = SDO_DL_SEGMENT; // so that the abort closes a program image
                send_abort(m, t, idx, sub, ab);
                return;
            }
            reply_head(m, t, MOTOR_SDO_DOWNLOAD_REPLY, idx, sub, 0);
            return;
        }
        const uint32_t ab = download_begin(m, idx, sub, sized, sized ? motor_get_le32(d + 4) : 0);
        if (ab != 0) {
            send_abort(m, t, idx, sub, ab);
            return;
        }
        s.toggle = 0;
        uint8_t r[8];
        motor_build_sdo_frame(r, MOTOR_SDO_DOWNLOAD_REPLY, idx, sub, 0);
        answer_initiate(m, t, r, SDO_DL_SEGMENT);
        return;
    }
    if (ccs == 2) { // upload initiate
        start_upload(m, t, idx, sub, true, 0, 0, false, fault);
        return;
    }
    if (ccs == 6 && (d[0] & 0x01) == 0) { // block download initiate
        const bool sized = (d[0] & 0x02) != 0;
        const uint32_t ab = download_begin(m, idx, sub, sized, sized ? motor_get_le32(d + 4) : 0);
        if (ab != 0) {
            send_abort(m, t, idx, sub, ab);
            return;
        }
        if (is_program_data(idx, sub) && aborts_download(m, fault) && fault.abortAtOffset == 0) {
            ++m.abortsDone;
            s.mode = SDO_BLK_DL_SUB;
            send_abort(m, t, idx, sub, fault.abortCode != 0 ? fault.abortCode : 0x08000000u);
            return;
        }
        s.clientCrc = (d[0] & 0x04) != 0;
        s.blksize = m.cfg.blockSize;
        s.lastSeq = 0;
        s.lastSegSeen = false;
        s.subTimerAt = 0;
        s.stallAcked = false;
        const uint8_t r[8] = {
            0xA4, static_cast<uint8_t>(idx), static_cast<uint8_t>(idx >> 8), sub, s.blksize, 0, 0, 0};
        answer_initiate(m, t, r, SDO_BLK_DL_SUB);
        return;
    }
    if (ccs == 5 && (d[0] & 0x03) == 0) { // block upload initiate
        start_upload(m, t, idx, sub, false, d[4], d[5], (d[0] & 0x04) != 0, fault);
        return;
    }
    send_abort(m, t, idx, sub, AB_CMD);
}

bool is_initiate(uint8_t b0) {
    const uint8_t ccs = b0 >> 5;
    return ccs == 1 || ccs == 2 || (ccs == 6 && (b0 & 0x01) == 0) || (ccs == 5 && (b0 & 0x03) == 0);
}

// The sub-block is written to flash before it is acknowledged.
void acknowledge_subblock(SimMotor &m, uint64_t t) {
    SimSdo &s = m.sdo;
    uint8_t r[8] = {0xA2, s.lastSeq, m.cfg.blockSize, 0, 0, 0, 0, 0};
    s.busyUntil = t + static_cast<uint64_t>(m.cfg.writeMs) * 1000u;
    reply(m, s.busyUntil, r);
    s.blksize = m.cfg.blockSize;
    s.subTimerAt = 0;
    if (s.lastSegSeen) {
        s.mode = SDO_BLK_DL_END;
    } else {
        s.lastSeq = 0;
    }
}

void on_block_segment(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    SimSdo &s = m.sdo;
    const uint8_t seq = f.data[0] & 0x7F;
    const bool last = (f.data[0] & 0x80) != 0;
    if (seq == 0 || seq > s.blksize) {
        send_abort(m, t, s.index, s.sub, AB_SEQ);
        return;
    }
    if (s.stallAcked) {
        // The client resends all after the acknowledged segment as a new
        // sub-block, from 1. Taking the stalled one's late segments instead,
        // or acknowledging its end again, would hand the client a second
        // acknowledge to follow: data sent twice, aborted at the end
        // (0x06070012). Nor do they restart the stall's timer.
        if (seq != 1) {
            return;
        }
        s.stallAcked = false;
    }
    if (seq == s.lastSeq + 1 && !s.lastSegSeen) {
        if (last) {
            // How many of its 7 bytes carry data is told by the end request.
            memcpy(s.lastSeg, f.data + 1, 7);
            s.lastSegSeen = true;
        } else {
            const uint32_t ab = download_append(m, f.data + 1, 7, fault);
            if (ab != 0) {
                send_abort(m, t, s.index, s.sub, ab);
                return;
            }
        }
        s.lastSeq = seq;
    }
    // Segments after a gap are dropped; the acknowledge names the last good one.
    if (seq == s.blksize || last) {
        acknowledge_subblock(m, t);
    } else {
        s.subTimerAt = t + SIM_SUBBLOCK_TIMEOUT_MS * 1000ull;
    }
}

void on_block_end(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    SimSdo &s = m.sdo;
    const uint8_t *d = f.data;
    if ((d[0] & 0xE3) != 0xC1) {
        send_abort(m, t, s.index, s.sub, AB_CMD);
        return;
    }
    const uint32_t noData = (d[0] >> 2) & 7u;
    uint32_t ab = download_append(m, s.lastSeg, 7 - noData, fault);
    if (ab == 0 && s.clientCrc) {
        const uint16_t want = static_cast<uint16_t>(d[1] | (d[2] << 8));
        uint16_t crc = 0;
        if (is_program_data(s.index, s.sub)) {
            crc = sim_crc16_ccitt(m.image, m.imageLen, 0);
        } else if (s.index == 0x2001) {
            crc = sim_crc16_ccitt(m.scratch, m.scratchLen, 0);
        } else {
            crc = sim_crc16_ccitt(s.obj, s.done, 0);
        }
        if (crc != want) {
            ab = AB_CRC;
        }
    }
    if (ab == 0) {
        ab = download_end(m, t);
    }
    if (ab != 0) {
        send_abort(m, t, s.index, s.sub, ab);
        return;
    }
    s.mode = SDO_IDLE;
    const uint8_t r[8] = {0xA1, 0, 0, 0, 0, 0, 0, 0};
    reply(m, t, r);
}

} // namespace

void sim_sdo_reset(SimMotor &m) {
    if (m.sdo.mode != SDO_IDLE && is_program_data(m.sdo.index, m.sdo.sub)) {
        image_close(m);
    }
    m.sdo.mode = SDO_IDLE;
    m.sdo.busyUntil = 0;
}

uint64_t sim_sdo_next_timer(const SimMotor &m) {
    const SimSdo &s = m.sdo;
    uint64_t at = UINT64_MAX;
    if (s.mode == SDO_BLK_DL_SUB && s.subTimerAt != 0) {
        at = s.subTimerAt;
    }
    if (s.mode == SDO_DL_ERASE && s.pendingAt < at) {
        at = s.pendingAt;
    }
    if (s.mode != SDO_IDLE && s.expireAt != 0 && s.expireAt < at) {
        at = s.expireAt;
    }
    return at;
}

void sim_sdo_timer(SimMotor &m, uint64_t t) {
    SimSdo &s = m.sdo;
    if (s.mode == SDO_DL_ERASE && s.pendingAt <= t) {
        // Erased: the initiate is answered now, and the client's time starts.
        reply(m, t, s.pending);
        s.mode = s.pendingMode;
        s.expireAt = t + (static_cast<uint64_t>(simbench::effective_fault(m).replyDelayMs) +
                          SIM_SDO_SERVER_TIMEOUT_MS) *
                             1000ull;
        return;
    }
    if (s.mode == SDO_BLK_DL_SUB && s.subTimerAt != 0 && s.subTimerAt <= t) {
        // The rest of the sub-block went missing: tell the client where to resume.
        acknowledge_subblock(m, t);
        s.subTimerAt = 0;
        s.stallAcked = !s.lastSegSeen;
        return;
    }
    if (s.mode != SDO_IDLE && s.expireAt != 0 && s.expireAt <= t) {
        // The client went quiet (its abort may have been lost): end the
        // transfer, as a server does, so requests are answered again.
        s.expireAt = 0;
        send_abort(m, t, s.index, s.sub, 0x05040000u);
    }
}

namespace {
void receive_frame(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault);
}

void sim_sdo_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    if (f.dlc != 8) {
        return; // SDO frames are always 8 bytes long
    }
    SimSdo &s = m.sdo;
    const int modeBefore = s.mode;
    const uint8_t seqBefore = s.lastSeq;
    receive_frame(m, f, t, fault);
    if (s.mode == SDO_IDLE) {
        s.expireAt = 0;
    } else if (!(modeBefore == SDO_BLK_DL_SUB && s.mode == SDO_BLK_DL_SUB && s.lastSeq == seqBefore)) {
        // Only a frame that moves the transfer on keeps it alive: frames of
        // someone else's conversation, taken for stray segments, do not.
        const uint64_t from = s.busyUntil > t ? s.busyUntil : t;
        s.expireAt = from + (static_cast<uint64_t>(fault.replyDelayMs) + SIM_SDO_SERVER_TIMEOUT_MS) * 1000ull;
    }
}

namespace {
void receive_frame(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    SimSdo &s = m.sdo;
    const uint8_t b0 = f.data[0];
    if (b0 == MOTOR_SDO_ABORT) { // abort from the client: nothing is answered
        sim_sdo_reset(m);
        return;
    }
    switch (s.mode) {
    case SDO_DL_ERASE:
        if (!is_initiate(b0)) {
            return; // busy erasing: the client has nothing to send before the answer
        }
        break;
    case SDO_BLK_DL_SUB:
        on_block_segment(m, f, t, fault);
        return;
    case SDO_BLK_DL_END:
        on_block_end(m, f, t, fault);
        return;
    case SDO_DL_SEGMENT:
        if ((b0 & 0xE0) == 0x00) {
            if (((b0 >> 4) & 1) != s.toggle) {
                send_abort(m, t, s.index, s.sub, AB_TOGGLE);
                return;
            }
            const uint32_t n = 7u - ((b0 >> 1) & 7u);
            uint32_t ab = download_append(m, f.data + 1, n, fault);
            if (ab == 0 && (b0 & 0x01)) {
                ab = download_end(m, t);
            }
            if (ab != 0) {
                send_abort(m, t, s.index, s.sub, ab);
                return;
            }
            const uint8_t r[8] = {static_cast<uint8_t>(0x20 | (s.toggle << 4)), 0, 0, 0, 0, 0, 0, 0};
            reply(m, t, r);
            s.toggle ^= 1;
            if (b0 & 0x01) {
                s.mode = SDO_IDLE;
            }
            return;
        }
        break;
    case SDO_UL_SEGMENT:
        if ((b0 & 0xEF) == 0x60) {
            if (((b0 >> 4) & 1) != s.toggle) {
                send_abort(m, t, s.index, s.sub, AB_TOGGLE);
                return;
            }
            const uint32_t left = s.objLen - s.done;
            const uint32_t n = left < 7 ? left : 7;
            const bool last = s.done + n >= s.objLen;
            uint8_t r[8] = {
                static_cast<uint8_t>((s.toggle << 4) | ((7 - n) << 1) | (last ? 1 : 0)), 0, 0, 0, 0, 0, 0, 0};
            memcpy(r + 1, s.obj + s.done, n);
            s.done += n;
            s.toggle ^= 1;
            reply(m, t, r);
            if (last) {
                s.mode = SDO_IDLE;
            }
            return;
        }
        break;
    case SDO_BLK_UL_START:
        if (b0 == 0xA3) {
            send_upload_subblock(m, t);
            return;
        }
        break;
    case SDO_BLK_UL_ACK:
        if (b0 == 0xA2) {
            const uint8_t ackseq = f.data[1];
            const uint8_t next = f.data[2];
            if (ackseq > s.sentSeq) {
                send_abort(m, t, s.index, s.sub, AB_SEQ);
                return;
            }
            uint32_t done = s.subStart + static_cast<uint32_t>(ackseq) * 7u;
            if (done > s.objLen) {
                done = s.objLen;
            }
            s.done = done;
            if (s.uploadLastInBlock && ackseq == s.sentSeq) {
                const uint32_t lastLen = s.objLen - (s.objLen - 1) / 7u * 7u;
                const uint16_t crc = s.clientCrc ? sim_crc16_ccitt(s.obj, s.objLen, 0) : 0;
                uint8_t r[8] = {static_cast<uint8_t>(0xC1 | ((7 - lastLen) << 2)),
                                static_cast<uint8_t>(crc),
                                static_cast<uint8_t>(crc >> 8),
                                0,
                                0,
                                0,
                                0,
                                0};
                reply(m, t, r);
                s.mode = SDO_BLK_UL_END;
                return;
            }
            if (next < 1 || next > 127) {
                send_abort(m, t, s.index, s.sub, AB_BLKSIZE);
                return;
            }
            s.blksize = next;
            send_upload_subblock(m, t);
            return;
        }
        break;
    case SDO_BLK_UL_END:
        if (b0 == 0xA1) {
            s.mode = SDO_IDLE;
            return;
        }
        break;
    default:
        break;
    }
    if (is_initiate(b0)) {
        // A fresh request replaces whatever transfer was left unfinished.
        sim_sdo_reset(m);
        on_initiate(m, f, t, fault);
        return;
    }
    const uint16_t idx = s.mode != SDO_IDLE ? s.index : static_cast<uint16_t>(f.data[1] | (f.data[2] << 8));
    const uint8_t sub = s.mode != SDO_IDLE ? s.sub : f.data[3];
    send_abort(m, t, idx, sub, AB_CMD);
}
} // namespace

// A frame for the bootloader: its SDO server answers requests on
// 0x600 + node-ID, unless a fault makes it ignore the stop or start command.
void simbench::bootloader_receive(SimMotor &m, const SimFrame &f, uint64_t t, const sim_fault_t &fault) {
    if (f.id != motor_sdo_request_id(m.cfg.node)) {
        return;
    }
    if (fault.ignoreStop && is_stop_command(m, f)) {
        return;
    }
    if (fault.ignoreStart && motor_is_program_control(f.data, f.dlc, MOTOR_PROGRAM_START)) {
        return;
    }
    sim_sdo_receive(m, f, t, fault);
}
