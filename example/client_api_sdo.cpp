// SDO read and write of one object, and block download of a whole file.
#include "client_api.h"
#include "client_api_internal.h"
#include "ostrelo_log.h"

#include "CO_driver.h"
#include "client_wait.h"
#include "motor_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr size_t kChunk = 4096;
constexpr unsigned kTxFullLimit = 50;

// Which passes of a polling loop look at the clock and at the adapter: every
// pass, except while the SDO client streams a sub-block. A pass that returned
// CO_SDO_RT_blockDownldInProgress sent a segment and waits for nothing (an
// abort or an early acknowledge of the node may come, rarely), so the passes
// after it look only about once every kLookUs. A look is a system call or two,
// dearer than the segment itself where the clock has no fast path in user
// space. The loop's limits still hold to within about kLookUs, and a frame of
// the node is handled that much later, as if it had come later. Every segment
// sent clears the SDO client's response timer, so the passes that do not look
// count no time for it, and the look after them one pass's worth.
class PassPacer {
  public:
    PassPacer() : last_(ostrelo_monotonic_us()) {}

    // Before a pass, with the result of the one before: true when this pass
    // looks (at time now()).
    bool begin(int previousRet) {
        const bool streaming = previousRet == CO_SDO_RT_blockDownldInProgress;
        if (streaming && ++passes_ < stride_) {
            elapsed_ = 0;
            return false;
        }
        const uint64_t now = ostrelo_monotonic_us();
        uint64_t d = now - last_;
        if (streaming) {
            // Passes of about d / passes_ each: look again after kLookUs of them.
            d /= passes_;
            const uint64_t stride = d == 0 ? kMaxStride : kLookUs / d;
            stride_ = stride < 1 ? 1 : (stride > kMaxStride ? kMaxStride : static_cast<unsigned>(stride));
        }
        passes_ = 0;
        elapsed_ = d > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(d);
        last_ = now;
        return true;
    }
    // Time of the last look.
    uint64_t now() const { return last_; }
    // Microseconds for the SDO client's timers in this pass: the time since
    // the previous pass (after a stream: the time per pass since the last
    // look), 0 in a pass that does not look.
    uint32_t elapsed_us() const { return elapsed_; }

  private:
    static constexpr uint64_t kLookUs = 1000;
    static constexpr unsigned kMaxStride = 128;
    uint64_t last_;
    uint32_t elapsed_ = 0;
    unsigned passes_ = 0; // passes since the last look
    unsigned stride_ = 1; // passes from one look to the next while streaming
};

// The segments of a sub-block go to the adapter together: from the second
// one on, the CAN driver holds each back while the SDO client streams, and
// the pass that ends the stream (the last segment of the sub-block) sends what
// it held at once. Each hand-over is a system call where the adapter is a
// kernel socket, dearer than the segment itself. Segments still held when the
// transfer ends otherwise (the node aborted, the caller cancelled, the time
// ran out) belong to a transfer that is over: they are dropped, so that no
// segment reaches the node after its abort or ahead of the next transfer.
class SegmentHold {
  public:
    explicit SegmentHold(CO_CANmodule_t *module) : module_(module) {}
    ~SegmentHold() { discard(); }
    SegmentHold(const SegmentHold &) = delete;
    SegmentHold &operator=(const SegmentHold &) = delete;

    void hold() {
        CO_CANtxHold(module_, true);
        held_ = true;
    }
    // The stream ended: what is held goes now.
    void release() {
        if (held_) {
            CO_CANtxHold(module_, false);
            held_ = false;
        }
    }
    void discard() {
        if (held_) {
            CO_CANtxDiscard(module_);
            held_ = false;
        }
    }

  private:
    CO_CANmodule_t *module_;
    bool held_ = false;
};

// A transfer that ended badly must never read as success, even if the SDO
// client left no abort code behind.
CO_SDO_abortCode_t ended_code(CO_SDO_abortCode_t code) {
    return code != CO_SDO_AB_NONE ? code : CO_SDO_AB_GENERAL;
}

// The CAN driver's receive-and-transmit step of a pass: the adapter is read
// only in a pass that looks.
void can_step(client_channel_context_t *ch, bool looks) {
    if (looks) {
        CO_CANinterrupt(&ch->canmodule);
    } else {
        CO_CANinterruptQueued(&ch->canmodule);
    }
}

// More than `limit_ms` since `start_us` (monotonic) at `now_us`.
bool past_limit(uint64_t now_us, uint64_t start_us, uint32_t limit_ms) {
    return now_us - start_us > static_cast<uint64_t>(limit_ms) * 1000u;
}

CO_SDOclient_t *aim_client(client_channel_context_t *ch, uint8_t nodeId, CO_SDO_return_t *setupResult) {
    client_channel_drop_stale(ch);
    CO_SDOclient_t *c = &ch->sdoclient;
    const CO_SDO_return_t r =
        CO_SDOclient_setup(c, motor_sdo_request_id(nodeId), motor_sdo_reply_id(nodeId), nodeId);
    if (setupResult != nullptr) {
        *setupResult = r;
    }
    return r == CO_SDO_RT_ok_communicationEnd ? c : nullptr;
}

// How a pass result that ended the transfer ended it.
client_sdo_end_t end_of(CO_SDO_return_t ret) {
    return ret == CO_SDO_RT_endedWithServerAbort ? CLIENT_SDO_END_SERVER_ABORT : CLIENT_SDO_END_CLIENT_ABORT;
}

void set_end(client_sdo_end_t *end, client_sdo_end_t value) {
    if (end != nullptr) {
        *end = value;
    }
}

// Runs a started read or write until the SDO client ends it, or until
// `timeout_ms` since `start_us` (monotonic) have passed. `pass` makes one pass
// of the client with the microseconds to count (PassPacer). The two formats
// are the lines printed when the time runs out (with the time-out) and when
// the transmit buffer stays full (with the number of passes).
template <typename Pass>
CO_SDO_abortCode_t run_transfer(client_channel_context_t *ch, uint64_t start_us, uint32_t timeout_ms,
                                const char *timeoutFormat, const char *txFullFormat, client_sdo_end_t *end,
                                Pass pass) {
    const uint32_t fullLimit = timeout_ms / 10u;
    uint32_t fullCount = 0;
    PassPacer pacer;
    int previous = CO_SDO_RT_ok_communicationEnd;
    bool passDue = false;
    for (;;) {
        CO_SDO_abortCode_t abortCode = CO_SDO_AB_NONE;
        if (client_api_cancel_requested(ch->channelId)) {
            set_end(end, CLIENT_SDO_END_CANCELLED);
            return client_api_abort_cancelled_sdo(ch);
        }
        const bool looks = pacer.begin(previous);
        if (looks && !passDue && past_limit(pacer.now(), start_us, timeout_ms)) {
            ostrelo_warning(timeoutFormat, timeout_ms);
            set_end(end, CLIENT_SDO_END_LIMIT);
            return CO_SDO_AB_TIMEOUT;
        }
        can_step(ch, looks);
        const CO_SDO_return_t ret = pass(pacer.elapsed_us(), &abortCode);
        if (ret < 0) {
            set_end(end, end_of(ret));
            return ended_code(abortCode);
        }
        if (ret == CO_SDO_RT_transmittBufferFull) {
            if (++fullCount >= fullLimit) {
                ostrelo_warning(txFullFormat, fullLimit);
                set_end(end, CLIENT_SDO_END_LIMIT);
                return CO_SDO_AB_TIMEOUT;
            }
        } else if (ret == CO_SDO_RT_ok_communicationEnd) {
            set_end(end, CLIENT_SDO_END_OK);
            return CO_SDO_AB_NONE;
        } else {
            fullCount = 0;
        }
        passDue = client_sdo_wait_between_passes(ch, ret, start_us, timeout_ms, pacer.now()) != 0;
        previous = ret;
    }
}

} // namespace

uint16_t client_sdo_response_ms(uint32_t ms) {
    return ms == 0 || ms > 0xFFFFu ? 0xFFFFu : static_cast<uint16_t>(ms);
}

uint16_t client_sdo_response_ms_mod65536(uint32_t ms) {
    return client_sdo_response_ms(ms % 65536u);
}

CO_SDO_abortCode_t client_sdo_upload(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                     uint8_t subIndex, uint8_t *buf, size_t bufSize, size_t *readSize,
                                     uint32_t timeout_ms, client_sdo_end_t *end) {
    set_end(end, CLIENT_SDO_END_LOCAL);
    if (client_channel_id_is_invalid(&channelId) || buf == nullptr || readSize == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    client_channel_context_t *ch = client_api_manager_get_channel_context(channelId);
    if (ch == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    const uint64_t start = ostrelo_monotonic_us();
    CO_SDOclient_t *c = aim_client(ch, nodeId, nullptr);
    if (c == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    if (CO_SDOclientUploadInitiate(c, index, subIndex, client_sdo_response_ms_mod65536(timeout_ms), false) !=
        CO_SDO_RT_ok_communicationEnd) {
        return CO_SDO_AB_GENERAL;
    }
    const CO_SDO_abortCode_t result = run_transfer(
        ch, start, timeout_ms, "SDO read timeout: %u ms exceeded\n",
        "SDO read failed: CAN transmit buffer consistently full for %u iterations\n", end,
        [c](uint32_t elapsed_us, CO_SDO_abortCode_t *abortCode) {
            return CO_SDOclientUpload(c, elapsed_us, false, abortCode, nullptr, nullptr, nullptr);
        });
    if (result == CO_SDO_AB_NONE) {
        *readSize = CO_SDOclientUploadBufRead(c, buf, bufSize);
    }
    return result;
}

CO_SDO_abortCode_t client_api_sdo_read(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                       uint8_t subIndex, uint8_t *buf, size_t bufSize, size_t *readSize,
                                       uint32_t timeout_ms) {
    return client_sdo_upload(channelId, nodeId, index, subIndex, buf, bufSize, readSize, timeout_ms, nullptr);
}

CO_SDO_abortCode_t client_api_sdo_write(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                        uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                        uint32_t timeout_ms) {
    if (client_channel_id_is_invalid(&channelId) || data == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    client_channel_context_t *ch = client_api_manager_get_channel_context(channelId);
    if (ch == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    const uint64_t start = ostrelo_monotonic_us();
    CO_SDOclient_t *c = aim_client(ch, nodeId, nullptr);
    if (c == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    if (CO_SDOclientDownloadInitiate(c, index, subIndex, dataSize,
                                     client_sdo_response_ms_mod65536(timeout_ms),
                                     false) != CO_SDO_RT_ok_communicationEnd) {
        return CO_SDO_AB_GENERAL;
    }
    const size_t accepted = CO_SDOclientDownloadBufWrite(c, data, dataSize);
    const bool_t partial = dataSize > accepted;
    return run_transfer(ch, start, timeout_ms, "SDO write timeout: %u ms exceeded\n",
                        "SDO write failed: CAN transmit buffer consistently full for %u iterations\n",
                        nullptr, [c, partial](uint32_t elapsed_us, CO_SDO_abortCode_t *abortCode) {
                            return CO_SDOclientDownload(c, elapsed_us, false, partial, abortCode, nullptr,
                                                        nullptr);
                        });
}

CO_SDO_abortCode_t client_sdo_download(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                       uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                       bool_t useBlock, const client_sdo_limits_t *limits,
                                       client_sdo_end_t *end) {
    set_end(end, CLIENT_SDO_END_LOCAL);
    if (client_channel_id_is_invalid(&channelId) || data == nullptr || limits == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    client_channel_context_t *ch = client_api_manager_get_channel_context(channelId);
    if (ch == nullptr) {
        return CO_SDO_AB_GENERAL;
    }
    CO_SDO_return_t setupResult = CO_SDO_RT_ok_communicationEnd;
    CO_SDOclient_t *c = aim_client(ch, nodeId, &setupResult);
    if (c == nullptr) {
        ostrelo_warning("SDO download setup failed: %d\n", static_cast<int>(setupResult));
        return CO_SDO_AB_GENERAL;
    }
    const uint16_t ackTimeout = client_sdo_response_ms(limits->responseMs);
    const uint16_t sdoTimeout = limits->eraseMs != 0 ? client_sdo_response_ms(limits->eraseMs) : ackTimeout;
    const uint32_t totalLimit = limits->totalMs;
    const client_api_progress_callback_t progressCallback = limits->progress;
    void *const userData = limits->user;

    ostrelo_debug("Initiating SDO download: index=0x%04X, subIndex=0x%02X, dataSize=%zu, useBlock=%s\n",
                  static_cast<unsigned>(index), static_cast<unsigned>(subIndex), dataSize,
                  useBlock ? "true" : "false");
    const CO_SDO_return_t initRet =
        CO_SDOclientDownloadInitiate(c, index, subIndex, dataSize, sdoTimeout, useBlock);
    if (initRet != CO_SDO_RT_ok_communicationEnd) {
        ostrelo_warning("SDO download init failed: %d\n", static_cast<int>(initRet));
        return CO_SDO_AB_GENERAL;
    }
    ostrelo_debug("SDO download initiated successfully, state: %d\n", static_cast<int>(c->state));
    if (useBlock && c->state != CO_SDO_ST_DOWNLOAD_BLK_INITIATE_REQ) {
        ostrelo_warning("SDO client not in correct state for block download: %d\n",
                        static_cast<int>(c->state));
        return CO_SDO_AB_GENERAL;
    }
    CO_SDOclientDownloadSetBlockAckTimeout(c, ackTimeout);
    ostrelo_debug("FIFO buffer status: writePtr=%zu, readPtr=%zu, bufSize=%zu\n", c->bufFifo.writePtr,
                  c->bufFifo.readPtr, c->bufFifo.bufSize);

    size_t written = CO_SDOclientDownloadBufWrite(c, data, dataSize < kChunk ? dataSize : kChunk);
    bool_t partial = false;
    if (progressCallback != nullptr) {
        if (written > 0) {
            progressCallback(written, dataSize, userData);
            if (written >= dataSize) {
                partial = false;
                progressCallback(dataSize, dataSize, userData);
            } else {
                partial = true;
            }
        } else if (dataSize > 0) {
            partial = true;
        } else {
            progressCallback(0, 0, userData);
            partial = false;
        }
    } else if (written < dataSize) {
        ostrelo_debug("SDO download buffer write: written %zu of %zu bytes (partial, initial)\n", written,
                      dataSize);
        partial = true;
    } else {
        ostrelo_debug("SDO download buffer write success: written %zu bytes\n", written);
        partial = false;
    }

    const uint64_t start = ostrelo_monotonic_us();
    unsigned fullCount = 0;
    SegmentHold hold(&ch->canmodule);
    PassPacer pacer;
    int previous = CO_SDO_RT_ok_communicationEnd;
    bool passDue = false;
    for (;;) {
        CO_SDO_abortCode_t abortCode = CO_SDO_AB_NONE;
        if (client_stop_requested(channelId, limits->cancelled, limits->cancelUser)) {
            ostrelo_info("SDO download cancelled\n");
            set_end(end, CLIENT_SDO_END_CANCELLED);
            hold.discard();
            return client_api_abort_cancelled_sdo(ch);
        }
        const bool looks = pacer.begin(previous);
        if (looks && !passDue && past_limit(pacer.now(), start, totalLimit)) {
            ostrelo_warning("SDO download total timeout: %u ms exceeded\n", totalLimit);
            set_end(end, CLIENT_SDO_END_LIMIT);
            return CO_SDO_AB_TIMEOUT;
        }
        // A full batch of held segments goes out with the next one: the adapter
        // is read first, so that an abort of the node stops the stream before
        // another batch reaches it.
        can_step(ch, looks || ch->canmodule.txBatchCount >= CO_CAN_TX_BATCH);
        if (previous == CO_SDO_RT_blockDownldInProgress) {
            hold.hold();
        }
        const CO_SDO_return_t ret =
            CO_SDOclientDownload(c, pacer.elapsed_us(), false, partial, &abortCode, nullptr, nullptr);
        if (ret == CO_SDO_RT_endedWithServerAbort) {
            hold.discard();
        } else if (ret != CO_SDO_RT_blockDownldInProgress) {
            hold.release(); // the client's own abort, after the segments it followed, goes too
        }
        if (ret < 0) {
            ostrelo_warning("SDO download failed: %d\n", static_cast<int>(ret));
            set_end(end, end_of(ret));
            return ended_code(abortCode);
        }
        // Segments the adapter refused stay held in the CAN driver, and the
        // SDO client, whose own buffer is free, does not see them: they count
        // as a full buffer all the same.
        if (ret == CO_SDO_RT_transmittBufferFull ||
            (ret != CO_SDO_RT_blockDownldInProgress && ch->canmodule.txBatchCount != 0u)) {
            ++fullCount;
            ostrelo_debug("CAN transmit buffer full (count: %u/%u)\n", fullCount, kTxFullLimit);
            if (fullCount >= kTxFullLimit) {
                ostrelo_warning(
                    "SDO download failed: CAN transmit buffer consistently full for %u iterations\n",
                    kTxFullLimit);
                set_end(end, CLIENT_SDO_END_LIMIT);
                return CO_SDO_AB_TIMEOUT;
            }
        } else {
            fullCount = 0;
        }
        if (partial && (ret == CO_SDO_RT_waitingResponse || ret == CO_SDO_RT_blockDownldInProgress)) {
            const size_t remaining = dataSize - written;
            const size_t accepted =
                CO_SDOclientDownloadBufWrite(c, data + written, remaining < kChunk ? remaining : kChunk);
            written += accepted;
            if (progressCallback != nullptr) {
                // Report only when something was handed over: passes that
                // wait for an acknowledge would repeat the same figure
                // thousands of times into the caller's event queue.
                if (accepted > 0) {
                    progressCallback(written, dataSize, userData);
                }
                if (written >= dataSize) {
                    partial = false;
                    progressCallback(dataSize, dataSize, userData);
                }
            } else {
                if (accepted > 0) {
                    ostrelo_debug("SDO download buffer refill: written %zu bytes, total: %zu/%zu\r", accepted,
                                  written, dataSize);
                }
                if (written >= dataSize) {
                    partial = false;
                    ostrelo_debug("\nSDO download buffer write completed: %zu bytes total\n", dataSize);
                }
            }
        } else if (ret == CO_SDO_RT_ok_communicationEnd) {
            if (progressCallback == nullptr) {
                ostrelo_info("SDO download completed\n");
            }
            set_end(end, CLIENT_SDO_END_OK);
            return CO_SDO_AB_NONE;
        }
        passDue = client_sdo_wait_between_passes(ch, ret, start, totalLimit, pacer.now()) != 0;
        previous = ret;
    }
}

CO_SDO_abortCode_t client_api_sdo_transfer_with_progress(client_channel_id_t channelId, uint8_t nodeId,
                                                         uint16_t index, uint8_t subIndex,
                                                         const uint8_t *data, size_t dataSize,
                                                         uint32_t timeout_ms, bool_t useBlock,
                                                         client_api_progress_callback_t progressCallback,
                                                         void *userData) {
    // The contract of this call: `timeout_ms` hundredfold is the whole
    // transfer, and (modulo 65536 ms) the response time-out.
    client_sdo_limits_t limits = {};
    limits.responseMs = client_sdo_response_ms_mod65536(timeout_ms * 100u);
    limits.totalMs = timeout_ms * 100u;
    limits.progress = progressCallback;
    limits.user = userData;
    return client_sdo_download(channelId, nodeId, index, subIndex, data, dataSize, useBlock, &limits,
                               nullptr);
}

CO_SDO_abortCode_t client_api_sdo_block_with_progress(client_channel_id_t channelId, uint8_t nodeId,
                                                      uint16_t index, uint8_t subIndex, const uint8_t *data,
                                                      size_t dataSize, uint32_t timeout_ms,
                                                      client_api_progress_callback_t progressCallback,
                                                      void *userData) {
    return client_api_sdo_transfer_with_progress(channelId, nodeId, index, subIndex, data, dataSize,
                                                 timeout_ms, true, progressCallback, userData);
}

CO_SDO_abortCode_t client_api_sdo_transfer(client_channel_id_t channelId, uint8_t nodeId, uint16_t index,
                                           uint8_t subIndex, const uint8_t *data, size_t dataSize,
                                           uint32_t timeout_ms, bool_t useBlock) {
    return client_api_sdo_transfer_with_progress(channelId, nodeId, index, subIndex, data, dataSize,
                                                 timeout_ms, useBlock, nullptr, nullptr);
}

int read_file_to_buffer(const char *filename, uint8_t **buffer, size_t *size) {
    if (buffer == nullptr || size == nullptr) {
        return -1;
    }
    *buffer = nullptr;
    *size = 0;
    FILE *f = filename != nullptr ? fopen(filename, "rb") : nullptr;
    struct stat st;
    // Only a regular file is an image: directories open fine on Linux, and a
    // FIFO or device would block or never end.
    if (f != nullptr && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        fclose(f);
        f = nullptr;
    }
    if (f == nullptr) {
        ostrelo_error("Error: Cannot open file %s\n", filename != nullptr ? filename : "(null)");
        return -1;
    }
    long len = -1;
    if (fseek(f, 0, SEEK_END) == 0) {
        len = ftell(f);
    }
    if (len < 0 || fseek(f, 0, SEEK_SET) != 0) {
        fclose(f);
        ostrelo_error("Error: File read incomplete\n");
        return -1;
    }
    // SDO sizes travel as 32 bits; a larger image cannot be announced.
    if (static_cast<unsigned long>(len) > 0xFFFFFFFFul) {
        fclose(f);
        ostrelo_error("Error: Cannot allocate memory for file\n");
        return -1;
    }
    const size_t n = static_cast<size_t>(len);
    uint8_t *data = static_cast<uint8_t *>(malloc(n + 1)); // +1: an empty file still gets a buffer
    if (data == nullptr) {
        fclose(f);
        ostrelo_error("Error: Cannot allocate memory for file\n");
        return -1;
    }
    const size_t got = n > 0 ? fread(data, 1, n, f) : 0;
    fclose(f);
    if (got < n) {
        free(data);
        ostrelo_error("Error: File read incomplete\n");
        return -1;
    }
    *buffer = data;
    *size = n;
    return 0;
}

CO_SDO_abortCode_t client_api_transfer_file_block_with_progress(
    client_channel_id_t channelId, uint8_t nodeId, uint16_t index, uint8_t subIndex, const char *filename,
    uint32_t timeout_ms, client_api_progress_callback_t progressCallback, void *userData) {
    const char *name = filename != nullptr ? filename : "(null)";
    if (progressCallback == nullptr) {
        ostrelo_info("\n=== Block SDO Transfer Demo - Transfer %s ===\n", name);
    }
    uint8_t *data = nullptr;
    size_t size = 0;
    if (read_file_to_buffer(filename, &data, &size) != 0) {
        if (progressCallback == nullptr) {
            ostrelo_error("Failed to load file %s\n", name);
        }
        return CO_SDO_AB_GENERAL;
    }
    ostrelo_info("File %s loaded: %zu bytes\n", name, size);
    CO_SDO_abortCode_t result;
    if (progressCallback != nullptr) {
        result = client_api_sdo_block_with_progress(channelId, nodeId, index, subIndex, data, size,
                                                    timeout_ms, progressCallback, userData);
    } else {
        ostrelo_info("File size: %zu bytes\n", size);
        ostrelo_info("Starting block SDO transfer to node %d...\n", static_cast<int>(nodeId));
        ostrelo_info("OD Index: 0x%04X, SubIndex: 0x%02X\n", static_cast<unsigned>(index),
                     static_cast<unsigned>(subIndex));
        result = client_api_sdo_transfer(channelId, nodeId, index, subIndex, data, size, timeout_ms, true);
        if (result == CO_SDO_AB_NONE) {
            ostrelo_info("SUCCESS: block SDO transfer completed!\n");
        } else {
            char line[96];
            snprintf(line, sizeof(line), "FAILED: block SDO transfer failed!\nError code: 0x%08X\n",
                     static_cast<unsigned>(result));
            ostrelo_log_text(OSTRELO_LOG_ERROR, line);
        }
    }
    free(data);
    return result;
}

CO_SDO_abortCode_t client_api_transfer_file_block(client_channel_id_t channelId, uint8_t nodeId,
                                                  uint16_t index, uint8_t subIndex, const char *filename,
                                                  uint32_t timeout_ms) {
    return client_api_transfer_file_block_with_progress(channelId, nodeId, index, subIndex, filename,
                                                        timeout_ms, nullptr, nullptr);
}
