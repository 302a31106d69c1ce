// CRC-32 of an image against the bootloader's value, and the complete
// upgrade of one motor or of every matched motor.
#include "client_api.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"

#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr uint32_t kRetries = 3;
constexpr uint32_t kRetryDelayMs = 200;
constexpr uint32_t kCrcWaitMs = 2000;
// How long a started application has to answer before the upgrade counts as
// failed: a restart takes well under a second.
constexpr uint32_t kAppConfirmMs = 3000;
constexpr uint32_t kVersionReplyWindowMs = 50;

void print_bytes_line(const char *prefix, const uint8_t *data, size_t n) {
    char line[64];
    size_t pos = static_cast<size_t>(snprintf(line, sizeof(line), "%s", prefix));
    for (size_t i = 0; i < n && pos + 4 < sizeof(line); ++i) {
        pos += static_cast<size_t>(snprintf(line + pos, sizeof(line) - pos, "%02X ", data[i]));
    }
    if (pos + 1 < sizeof(line)) {
        line[pos] = '\n';
        line[pos + 1] = '\0';
    }
    ostrelo_log_tagged(line);
}

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

} // namespace

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
    static const Crc32Table table;
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
        for (size_t i = 0; i < n; ++i) {
            crc = table.v[(crc ^ block[i]) & 0xFFu] ^ (crc >> 8);
        }
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

int client_api_query_firmware_crc(client_channel_id_t channelId, uint8_t nodeId, uint32_t *crc) {
    if (client_channel_id_is_invalid(&channelId) || crc == nullptr ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    uint8_t request[8];
    const uint8_t len = motor_build_crc_query(request);
    ostrelo_info("Querying firmware CRC from node %d (ID=0x%X)\n", static_cast<int>(nodeId),
                 motor_sdo_request_id(nodeId));
    print_bytes_line("Command: ", request, len);
    if (client_api_send_can_data(channelId, motor_sdo_request_id(nodeId), request, len) != 0) {
        ostrelo_error("Failed to send CRC query command\n");
        return -1;
    }
    CO_CANrxMsg_t r;
    if (client_api_receive_raw_can(channelId, &r, kCrcWaitMs) != 0) {
        ostrelo_warning("Timeout waiting for CRC response\n");
        return -1;
    }
    if (!motor_parse_crc_reply(r.data, r.DLC, crc)) {
        ostrelo_warning("Invalid CRC response format\n");
        return -1;
    }
    print_bytes_line("Received CRC response: ", r.data, 8);
    ostrelo_info("Bootloader CRC: 0x%08X\n", *crc);
    return 0;
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

int client_api_confirm_app_running(client_channel_id_t channelId, uint8_t nodeId, uint32_t timeout_ms) {
    if (client_channel_id_is_invalid(&channelId) ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    uint8_t req[8];
    const uint8_t reqLen = motor_build_version_query(req);
    const uint32_t start = get_current_time_ms();
    auto elapsed = [start]() { return static_cast<uint32_t>(get_current_time_ms() - start); };
    do {
        client_api_send_can_data(channelId, nodeId, req, reqLen);
        const uint32_t asked = get_current_time_ms();
        while (static_cast<uint32_t>(get_current_time_ms() - asked) < kVersionReplyWindowMs &&
               elapsed() < timeout_ms) {
            CO_CANrxMsg_t f;
            const uint32_t t0 = get_current_time_ms();
            if (client_api_receive_raw_can(channelId, &f, 10) != 0) {
                if (get_current_time_ms() == t0) {
                    delay_ms(1); // failed at once: do not spin
                }
                continue;
            }
            uint32_t v = 0;
            if (f.ident == nodeId && motor_parse_version_reply(f.data, f.DLC, &v)) {
                ostrelo_info("Application running on node %u (version 0x%08X)\n",
                             static_cast<unsigned>(nodeId), v);
                return 0;
            }
        }
    } while (elapsed() < timeout_ms);
    ostrelo_warning("Application did not answer on node %u within %u ms\n", static_cast<unsigned>(nodeId),
                    timeout_ms);
    return -1;
}

int client_api_upgrade_motor(client_channel_id_t channelId, uint8_t nodeId, const char *filePath,
                             uint32_t enter_timeout_ms, uint32_t transfer_timeout_ms,
                             uint32_t verify_timeout_ms, uint32_t exit_timeout_ms) {
    (void)verify_timeout_ms; // the bootloader's CRC answer is awaited a fixed time
    if (client_channel_id_is_invalid(&channelId) || filePath == nullptr || filePath[0] == '\0' ||
        client_api_manager_get_channel_context(channelId) == nullptr) {
        return -1;
    }
    const unsigned node = nodeId;
    ostrelo_info("\n=== Upgrade Motor (Node %u) ===\n", node);
    if (client_api_enter_bootloader(channelId, nodeId, enter_timeout_ms, kRetries, kRetryDelayMs) != 0) {
        ostrelo_warning("[Node %u] Enter bootloader failed\n", node);
        return -1;
    }
    delay_ms(1000);
    const CO_SDO_abortCode_t rc = client_api_transfer_file_block_with_progress(
        channelId, nodeId, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, filePath, transfer_timeout_ms,
        nullptr, nullptr);
    if (rc != CO_SDO_AB_NONE) {
        ostrelo_warning("[Node %u] Transfer failed: 0x%08X\n", node, static_cast<unsigned>(rc));
        return -1;
    }
    if (client_api_verify_firmware_crc(channelId, nodeId, filePath) != 0) {
        ostrelo_warning("[Node %u] CRC verify failed\n", node);
        return -1;
    }
    if (client_api_exit_bootloader(channelId, nodeId, exit_timeout_ms, kRetries, kRetryDelayMs) != 0) {
        ostrelo_warning("[Node %u] Exit bootloader failed\n", node);
        return -1;
    }
    if (client_api_confirm_app_running(channelId, nodeId, kAppConfirmMs) != 0) {
        ostrelo_warning("[Node %u] Application did not start\n", node);
        return -1;
    }
    ostrelo_info("[Node %u] Upgrade SUCCESS\n", node);
    return 0;
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
