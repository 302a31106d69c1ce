// The controller's upgrade of one motor, as a sequence of client API calls
// with time-outs chosen by the caller; shared by the soak run and the fault
// matrix test. Success is what the client API confirmed, the application
// answering after the start command included.
#ifndef OSTRELO_BENCH_UPGRADE_SEQUENCE_H
#define OSTRELO_BENCH_UPGRADE_SEQUENCE_H

#include "client_api.h"
#include "motor_protocol.h"
#include "sim_bench.h"

#include <chrono>
#include <string>
#include <thread>

namespace upgradeseq {

struct Timeouts {
    uint32_t enterMs = 300;   // wait for each handshake reply
    uint32_t transferMs = 60; // as the controller passes it (the client multiplies by 100)
};

// Does the node's bootloader answer (data, or "cannot be read")?
inline bool bootloader_answers(const client_channel_id_t &id, uint8_t node) {
    uint8_t buf[4];
    size_t n = 0;
    const CO_SDO_abortCode_t r = client_api_sdo_read(id, node, MOTOR_PROGRAM_DATA_INDEX,
                                                     MOTOR_PROGRAM_DATA_SUB, buf, sizeof buf, &n, 300);
    return r == 0 || r == 0x06010000u;
}

// Into the bootloader (a node already there is used as it is; `hold` uses
// the stop command while a helper power-cycles the node on the bench),
// readiness probe, block transfer, CRC comparison, start, confirmation.
inline bool upgrade_once(const client_channel_id_t &id, uint8_t node, const std::string &path, bool hold,
                         const Timeouts &t) {
    if (hold) {
        std::thread hand([&id, node] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            sim_bench_power_cycle_node(id.deviceIndex, id.canChannel, node, 100);
        });
        const int r = client_api_prevent_app_start_for_duration(id, node, 3000);
        hand.join();
        if (r != 0) {
            return false;
        }
    } else if (!bootloader_answers(id, node) &&
               client_api_enter_bootloader(id, node, t.enterMs, 1, 50) != 0) {
        return false;
    }
    uint8_t probe[4];
    size_t n = 0;
    client_api_sdo_read(id, node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, probe, sizeof probe, &n,
                        1000);
    if (client_api_transfer_file_block(id, node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB,
                                       path.c_str(), t.transferMs) != 0) {
        return false;
    }
    if (client_api_verify_firmware_crc(id, node, path.c_str()) != 0) {
        return false;
    }
    if (client_api_exit_bootloader(id, node, 300, 3, 50) != 0) {
        return false;
    }
    return client_api_confirm_app_running(id, node, 3000) == 0;
}

} // namespace upgradeseq

#endif
