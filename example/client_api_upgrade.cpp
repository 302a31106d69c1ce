// CRC-32 of an image against the bootloader's value, and the complete
// upgrade of one motor or of every matched motor (the single-attempt form of
// the upgrade sequence).
#include "client_api.h"
#include "client_api_internal.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

// The fixed figures of the single-call upgrade: the shared handshake and
// retry figures, and the CRC answer's wait.
constexpr uint32_t kRetries = CLIENT_UPGRADE_HANDSHAKE_RETRIES;
constexpr uint32_t kRetryDelayMs = CLIENT_UPGRADE_RETRY_DELAY_MS;
constexpr uint32_t kCrcWaitMs = CLIENT_UPGRADE_CRC_WAIT_MS;

// Reflected table of the standard CRC-32 (generator 0x04C11DB7).
struct Crc32Table {
    uint32_t v[256];
    Crc32Table() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
            }
            v[i] = c;
        }
    }
};

const Crc32Table &crc_table() {
    static const Crc32Table table;
    return table;
}

uint32_t crc32_update(uint32_t crc, const uint8_t *data, size_t n) {
    const Crc32Table &table = crc_table();
    for (size_t i = 0; i < n; ++i) {
        crc = table.v[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
    }
    return crc;
}

int crc_reply_of(const CO_CANrxMsg_t *f, void *node) {
    uint32_t crc = 0;
    return f->ident == motor_sdo_reply_id(*static_cast<const uint8_t *>(node)) &&
                   motor_parse_crc_reply(f->data, f->DLC, &crc)
               ? 1
               : 0;
}

} // namespace

void client_log_bytes_line(const char *prefix, const uint8_t *data, size_t n) {
    char line[64];
    size_t pos = static_cast<size_t>(snprintf(line, sizeof(line), "%s", prefix));
    for (size_t i = 0; i < n && pos + 4 < sizeof(line); ++i) {
        pos += static_cast<size_t>(snprintf(line + pos, sizeof(line) - pos, "%02X ", data[i]));
    }
    if (pos + 1 < sizeof(line)) {
        line[pos] = '\n';
        line[pos + 1] = '\0';
    }
    ostrelo_log_text(OSTRELO_LOG_INFO, line);
}

uint32_t client_crc32(const uint8_t *data, size_t n) {
    return crc32_update(0xFFFFFFFFu, data, n) ^ 0xFFFFFFFFu;
}

uint32_t reverse_byte(uint32_t byte, uint8_t bits) {
    uint32_t r = 0;
    for (uint8_t i = 0; i < bits && i < 32; ++i) {
        if (byte & (1u << i)) {
            r |= 1u << (bits - 1 - i);
        }
    }
    return r;
}

uint32_t client_api_calculate_file_crc32(const char *filename) {
    const char *name = filename != nullptr ? filename : "(null)";
    FILE *f = filename != nullptr ? fopen(filename, "rb") : nullptr;
    struct stat st;
    // A directory opens on Linux and a FIFO would block: only regular files.
    if (f != nullptr && (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode))) {
        fclose(f);
        f = nullptr;
    }
    if (f == nullptr) {
        ostrelo_error("Error: Cannot open file %s for CRC calculation\n", name);
        return 0;
    }
    ostrelo_info("Calculating CRC32 for file: %s\n", name);
    uint32_t crc = 0xFFFFFFFFu;
    unsigned char block[4096];
    size_t n;
    while ((n = fread(block, 1, sizeof(block), f)) > 0) {
        crc = crc32_update(crc, block, n);
    }
    const bool readError = ferror(f) != 0;
    fclose(f);
    if (readError) {
        // A file that could not be read to its end has no valid checksum.
        ostrelo_error("Error: Cannot open file %s for CRC calculation\n", name);
        return 0;
    }
    crc ^= 0xFFFFFFFFu;
    ostrelo_info("File CRC32: 0x%08X\n", crc);
    return crc;
}

int client_query_crc(client_channel_id_t channelId, uint8_t nodeId, uint32_t *crc, uint32_t wait_ms,
                     bool skip_others) {
    if (client_channel_id_is_invalid(&channelId) || crc == nullptr ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    uint8_t request[8];
    const uint8_t len = motor_build_crc_query(request);
    ostrelo_info("Querying firmware CRC from node %d (ID=0x%X)\n", static_cast<int>(nodeId),
                 motor_sdo_request_id(nodeId));
    client_log_bytes_line("Command: ", request, len);
    if (client_api_send_can_data(channelId, motor_sdo_request_id(nodeId), request, len) != 0) {
        ostrelo_error("Failed to send CRC query command\n");
        return -1;
    }
    CO_CANrxMsg_t r;
    if (client_await_frame(channelId, skip_others ? crc_reply_of : nullptr, &nodeId,
                           ostrelo_deadline_in(wait_ms), &r) != CLIENT_RX_FRAME) {
        ostrelo_warning("Timeout waiting for CRC response\n");
        return -1;
    }
    if (!motor_parse_crc_reply(r.data, r.DLC, crc)) {
        ostrelo_warning("Invalid CRC response format\n");
        return -1;
    }
    client_log_bytes_line("Received CRC response: ", r.data, 8);
    ostrelo_info("Bootloader CRC: 0x%08X\n", *crc);
    return 0;
}

int client_api_query_firmware_crc(client_channel_id_t channelId, uint8_t nodeId, uint32_t *crc) {
    return client_query_crc(channelId, nodeId, crc, kCrcWaitMs, false);
}

int client_api_verify_firmware_crc(client_channel_id_t channelId, uint8_t nodeId, const char *filename) {
    if (client_channel_id_is_invalid(&channelId) || filename == nullptr ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    ostrelo_info("\n=== Firmware CRC Verification ===\n");
    const uint32_t local = client_api_calculate_file_crc32(filename);
    if (local == 0) {
        ostrelo_error("Failed to calculate local file CRC\n");
        return -1;
    }
    uint32_t remote = 0;
    if (client_api_query_firmware_crc(channelId, nodeId, &remote) != 0) {
        ostrelo_error("Failed to query bootloader CRC\n");
        return -1;
    }
    ostrelo_info("Local file CRC:    0x%08X\n", local);
    ostrelo_info("Bootloader CRC:    0x%08X\n", remote);
    if (local == remote) {
        ostrelo_info("SUCCESS: CRC verification passed!\n");
        return 0;
    }
    ostrelo_error("FAILED: CRC verification failed - checksums do not match!\n");
    return -1;
}

int client_api_upgrade_motor(client_channel_id_t channelId, uint8_t nodeId, const char *filePath,
                             uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms,
                             uint32_t verify_timeout_ms, uint32_t exit_timeout_ms) {
    (void)verify_timeout_ms; // the bootloader's CRC answer is awaited a fixed time
    (void)exit_timeout_ms;   // the start command is not answered; the application is asked instead
    if (client_channel_id_is_invalid(&channelId) || filePath == nullptr || filePath[0] == '\0' ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    const unsigned node = nodeId;
    ostrelo_info("\n=== Upgrade Motor (Node %u) ===\n", node);
    client_upgrade_options_t o;
    client_upgrade_options_init(&o);
    o.retries = 0;
    o.handshakeWaitMs = enter_timeout_ms;
    o.handshakeRetries = kRetries;
    o.retryDelayMs = kRetryDelayMs;
    o.settleMs = 1000;
    // This call's transfer argument keeps the block transfer's contract:
    // a hundredfold for the whole, modulo 65536 ms for each answer.
    o.transferTimeoutMs = transfer_timeout_ms * 100u;
    o.responseTimeoutMs = client_sdo_response_ms_mod65536(transfer_timeout_ms * 100u);
    o.eraseTimeoutMs = o.responseTimeoutMs;
    o.crcWaitMs = kCrcWaitMs;
    client_upgrade_result_t r;
    if (client_upgrade_run(channelId, nodeId, filePath, &o, nullptr, &r) == CLIENT_UPGRADE_OK) {
        ostrelo_info("[Node %u] Upgrade SUCCESS\n", node);
        return 0;
    }
    switch (r.step) {
    case CLIENT_UPGRADE_STEP_NONE:
    case CLIENT_UPGRADE_STEP_TRANSFER:
        ostrelo_warning("[Node %u] Transfer failed: 0x%08X\n", node,
                        r.code != 0 ? r.code : static_cast<unsigned>(CO_SDO_AB_GENERAL));
        break;
    case CLIENT_UPGRADE_STEP_ENTRY:
        ostrelo_warning("[Node %u] Enter bootloader failed\n", node);
        break;
    case CLIENT_UPGRADE_STEP_VERIFY:
        ostrelo_warning("[Node %u] CRC verify failed\n", node);
        break;
    case CLIENT_UPGRADE_STEP_START:
        ostrelo_warning("[Node %u] Exit bootloader failed\n", node);
        break;
    default:
        ostrelo_warning("[Node %u] Application did not start\n", node);
        break;
    }
    return -1;
}

int client_api_upgrade_all_matched(client_channel_id_t channelId, const char *folderPath,
                                   uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms,
                                   uint32_t verify_timeout_ms, uint32_t exit_timeout_ms) {
    (void)folderPath; // the match table is filled beforehand
    if (client_channel_id_is_invalid(&channelId)) {
        return 0;
    }
    int succeeded = 0;
    for (unsigned node = 1; node <= CLIENT_MAX_NODE_ID; ++node) {
        if (g_discovered_motors[node].nodeId == 0 || !g_matched_files[node].matched) {
            continue;
        }
        // Copy: the table may be rebuilt by the caller's thread afterwards.
        char path[CLIENT_PATH_LEN];
        snprintf(path, sizeof(path), "%.*s", static_cast<int>(sizeof(path) - 1),
                 g_matched_files[node].fullPath);
        delay_ms(300);
        ostrelo_info("\n-- Upgrade Node %u with %s --\n", node, path);
        if (client_api_upgrade_motor(channelId, static_cast<uint8_t>(node), path, enter_timeout_ms,
                                     transfer_timeout_ms, verify_timeout_ms, exit_timeout_ms) == 0) {
            ++succeeded;
        } else {
            ostrelo_warning("[Node %u] Upgrade FAILED\n", node);
        }
    }
    ostrelo_info("\nUpgrade completed: %d succeeded\n", succeeded);
    return succeeded;
}
