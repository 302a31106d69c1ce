// Block-transfer throughput of the upgrade client against the simulated
// bench on its timed bus, and the gain of upgrading four channels at once.
//
//   transfer_throughput [throughput|parallel|all] [image KiB]
//
// throughput: a 256 KiB image to one motor at 125, 250, 500 and 1000 kbit/s;
//   payload throughput, its ratio to the bus limit (the bit lengths of the
//   frames actually sent: 127 data segments and one acknowledge per 889
//   bytes), and the CPU time per MiB.
// parallel: one upgrade per channel on four channels at once (one thread per
//   channel), against one upgrade on one channel.
#include "bench_report.h"
#include "client_api.h"
#include "controlcan_transport.h"
#include "device_mng.h"
#include "sim_bench.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// The client API logs on standard output; the figures go to this stream.
FILE *g_report = stdout;

double now_s() {
    return static_cast<double>(ostrelo_monotonic_us()) / 1e6;
}

double cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

std::string write_image(const std::string &dir, size_t total, uint32_t version) {
    std::vector<uint8_t> img(total);
    const size_t body = total - SIM_TRAILER_LEN;
    uint32_t x = 0x9E3779B9u;
    for (size_t i = 0; i < body; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        img[i] = static_cast<uint8_t>(x);
    }
    sim_image_make_trailer(img.data(), body, version, img.data() + body);
    const std::string path = dir + "/bench_image.bin";
    FILE *f = fopen(path.c_str(), "wb");
    if (f == nullptr || fwrite(img.data(), 1, img.size(), f) != img.size()) {
        fprintf(stderr, "cannot write %s\n", path.c_str());
        exit(1);
    }
    fclose(f);
    return path;
}

// Frames the program puts on the bus, with their exact bit lengths.
struct BusTally {
    std::atomic<uint64_t> frames{0};
    std::atomic<uint64_t> bits{0};
};

void tally_frame(void *user, uint32_t, uint32_t, uint32_t ident, uint8_t dlc, const uint8_t *data) {
    auto *t = static_cast<BusTally *>(user);
    t->frames++;
    t->bits += sim_can_frame_bits(ident, 0, 0, dlc, data);
}

void fresh_bench() {
    client_api_manager_cleanup_all();
    sim_bench_reset();
    sim_bench_set_timing(1);
    client_api_set_backend_zhcx();
}

bool bring_up(const std::vector<client_channel_id_t> &ids) {
    device_manager_set_channel_configs(ids.data(), ids.size());
    return device_manager_apply_config(8, 8) == static_cast<int>(ids.size());
}

int run_throughput(const std::string &dir, size_t imageBytes) {
    const std::string image = write_image(dir, imageBytes, 0x02000000u);
    const uint16_t rates[] = {125, 250, 500, 1000};
    fprintf(g_report, "Block transfer of a %zu KiB image to one motor (timed bus)\n", imageBytes / 1024);
    fprintf(g_report, "%6s %10s %12s %12s %8s %12s %10s\n", "kbit/s", "time s", "payload KiB/s",
            "limit KiB/s", "ratio", "CPU s/MiB", "frames");
    int failures = 0;
    for (uint16_t kbps : rates) {
        fresh_bench();
        sim_bench_add_adapter(0, 1);
        sim_bench_add_segment(0, 0, kbps);
        sim_motor_config_t m;
        sim_motor_config_init(&m);
        m.node = 1;
        m.initialState = SIM_START_BOOT_HELD;
        m.flashSize = static_cast<uint32_t>(imageBytes + 4096);
        sim_bench_add_motor(&m);
        const client_channel_id_t id = {4, 0, 0, kbps};
        if (!bring_up({id})) {
            fprintf(g_report, "%6u channel did not come up\n", kbps);
            ++failures;
            continue;
        }
        BusTally tally;
        sim_bench_attach_peer(0, 0, tally_frame, &tally);
        sim_segment_stats_t before{};
        sim_bench_segment_stats(0, 0, &before);

        const double c0 = cpu_s();
        const double t0 = now_s();
        const CO_SDO_abortCode_t rc = client_api_transfer_file_block(id, 1, 0x1F50, 1, image.c_str(), 60000);
        const double wall = now_s() - t0;
        const double cpu = cpu_s() - c0;
        sim_bench_detach_peer(0, 0);
        if (rc != 0 ||
            sim_bench_motor_image_crc32(0, 0, 1) != client_api_calculate_file_crc32(image.c_str())) {
            fprintf(g_report, "%6u transfer failed: 0x%08X\n", kbps, static_cast<unsigned>(rc));
            ++failures;
            continue;
        }
        // Bus limit: every frame the program sent, plus one acknowledge of
        // the bootloader per sub-block of 127 segments (889 bytes).
        const uint64_t subBlocks = (imageBytes + 888) / 889;
        const uint8_t ack[8] = {0xA2, 127, 127, 0, 0, 0, 0, 0};
        const uint64_t bits = tally.bits.load() + subBlocks * sim_can_frame_bits(0x581, 0, 0, 8, ack);
        const double busSeconds = static_cast<double>(bits) / (kbps * 1000.0);
        const double kib = static_cast<double>(imageBytes) / 1024.0;
        const double payload = kib / wall;
        const double limit = kib / busSeconds;
        const double cpuPerMiB = cpu / (static_cast<double>(imageBytes) / (1024.0 * 1024.0));
        fprintf(g_report, "%6u %10.2f %12.2f %12.2f %8.3f %12.3f %10llu\n", kbps, wall, payload, limit,
                payload / limit, cpuPerMiB, static_cast<unsigned long long>(tally.frames.load()));
    }
    return failures;
}

int run_parallel(const std::string &dir, size_t imageBytes) {
    const std::string image = write_image(dir, imageBytes, 0x03000000u);
    const std::vector<client_channel_id_t> ids = {
        {4, 0, 0, 1000}, {4, 0, 1, 1000}, {4, 1, 0, 1000}, {4, 1, 1, 1000}};
    auto setup = [&]() -> bool {
        fresh_bench();
        for (const auto &id : ids) {
            sim_bench_add_adapter(id.deviceIndex, 2);
            sim_bench_add_segment(id.deviceIndex, id.canChannel, id.bitrate);
            sim_motor_config_t m;
            sim_motor_config_init(&m);
            m.adapter = id.deviceIndex;
            m.channel = id.canChannel;
            m.node = static_cast<uint8_t>(1 + id.deviceIndex * 2 + id.canChannel);
            m.flashSize = static_cast<uint32_t>(imageBytes + 4096);
            sim_bench_add_motor(&m);
        }
        return bring_up(ids);
    };
    auto upgrade = [&](const client_channel_id_t &id) {
        const uint8_t node = static_cast<uint8_t>(1 + id.deviceIndex * 2 + id.canChannel);
        return client_api_upgrade_motor(id, node, image.c_str(), 5000, 60000, 3000, 5000);
    };

    if (!setup()) {
        fprintf(g_report, "parallel: channels did not come up\n");
        return 1;
    }
    double t0 = now_s();
    const int single = upgrade(ids[0]);
    const double one = now_s() - t0;

    if (!setup()) {
        fprintf(g_report, "parallel: channels did not come up\n");
        return 1;
    }
    std::vector<int> results(ids.size(), -1);
    std::vector<std::thread> workers;
    t0 = now_s();
    for (size_t i = 0; i < ids.size(); ++i) {
        workers.emplace_back([&, i] { results[i] = upgrade(ids[i]); });
    }
    for (auto &w : workers) {
        w.join();
    }
    const double four = now_s() - t0;
    int ok = 0;
    for (int r : results) {
        ok += r == 0 ? 1 : 0;
    }
    fprintf(g_report, "\nUpgrade of a %zu KiB image (enter, transfer, verify, start), 1000 kbit/s\n",
            imageBytes / 1024);
    fprintf(g_report, "one channel:         %7.2f s (%s)\n", one, single == 0 ? "ok" : "FAILED");
    fprintf(g_report, "four channels at once: %5.2f s (%d of 4 ok), %.2f x the single-channel time\n", four,
            ok, four / one);
    return (single == 0 && ok == 4) ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    const std::string mode = argc > 1 ? argv[1] : "all";
    const size_t kib = argc > 2 ? static_cast<size_t>(strtoul(argv[2], nullptr, 10)) : 256;
    if ((mode != "all" && mode != "throughput" && mode != "parallel") || kib < 1 || kib > 4096) {
        fprintf(stderr, "usage: %s [throughput|parallel|all] [image KiB, 1..4096]\n", argv[0]);
        return 2;
    }
    char dir[] = "/tmp/ostrelo_bench_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        perror("mkdtemp");
        return 1;
    }
    controlcan_set_transport(sim_controlcan_transport());
    g_report = silence_client_log();
    int failures = 0;
    if (mode != "parallel") {
        failures += run_throughput(dir, kib * 1024);
    }
    if (mode != "throughput") {
        failures += run_parallel(dir, kib * 1024);
    }
    client_api_manager_cleanup_all();
    unlink((std::string(dir) + "/bench_image.bin").c_str());
    rmdir(dir);
    return failures == 0 ? 0 : 1;
}
