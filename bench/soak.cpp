// Soak run: N upgrades spread over four channels of the simulated bench
// (instant bus, 1 % frame loss on every segment), one thread per channel as
// the program works, each by client_upgrade_run with up to four attempts.
// Prints successes, retries, false successes (claimed, but the bench does not
// run the new image) and the process's resident memory and open descriptors
// before and after.
//
//   soak [N (default 40)] [loss fraction (default 0.01)]
#include "bench_report.h"
#include "client_api.h"
#include "controlcan_transport.h"
#include "device_mng.h"
#include "sim_bench.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

FILE *g_report = stdout;

long rss_kib() {
    FILE *f = fopen("/proc/self/status", "r");
    long kib = -1;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kib = strtol(line + 6, nullptr, 10);
        }
    }
    if (f != nullptr) {
        fclose(f);
    }
    return kib;
}

int open_fds() {
    DIR *d = opendir("/proc/self/fd");
    int n = 0;
    while (d != nullptr && readdir(d) != nullptr) {
        ++n;
    }
    if (d != nullptr) {
        closedir(d);
    }
    return n - 3; // ".", ".." and the directory itself
}

constexpr size_t kImageBytes = 20000 + SIM_TRAILER_LEN;

std::string write_image(const std::string &dir, int channel, uint32_t version) {
    std::vector<uint8_t> img(kImageBytes);
    for (size_t i = 0; i < 20000; ++i) {
        img[i] = static_cast<uint8_t>(i * 13u + version + static_cast<uint32_t>(channel));
    }
    sim_image_make_trailer(img.data(), 20000, version, img.data() + 20000);
    const std::string path =
        dir + "/ch" + std::to_string(channel) + "_v" + std::to_string(version & 0xFF) + ".bin";
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(img.data(), 1, img.size(), f);
        fclose(f);
    }
    return path;
}

} // namespace

int main(int argc, char **argv) {
    const int total = argc > 1 ? atoi(argv[1]) : 40;
    const double loss = argc > 2 ? atof(argv[2]) : 0.01;
    g_report = silence_client_log();
    char dir[] = "/tmp/ostrelo_soak_XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        return 1;
    }
    controlcan_set_transport(sim_controlcan_transport());
    sim_bench_reset();
    sim_bench_set_timing(0);
    sim_bench_set_seed(7);
    client_api_set_backend_zhcx();
    std::vector<client_channel_id_t> ids;
    for (uint32_t a = 0; a < 2; ++a) {
        sim_bench_add_adapter(a, 2);
        for (uint32_t c = 0; c < 2; ++c) {
            sim_bench_add_segment(a, c, 1000);
            sim_motor_config_t m;
            sim_motor_config_init(&m);
            m.adapter = a;
            m.channel = c;
            m.node = static_cast<uint8_t>(1 + a * 2 + c);
            m.version = 0x01000000u;
            sim_bench_add_motor(&m);
            sim_fault_t f;
            sim_fault_init(&f);
            f.dropFraction = loss;
            sim_bench_set_segment_fault(a, c, &f);
            ids.push_back(client_channel_id_t{4, a, c, 1000});
        }
    }
    device_manager_set_channel_configs(ids.data(), ids.size());
    if (device_manager_apply_config(8, 8) != 4) {
        fprintf(g_report, "soak: channels did not come up\n");
        return 1;
    }
    const long rss0 = rss_kib();
    const int fds0 = open_fds();
    std::atomic<int> successes{0}, retries{0}, falseSuccesses{0}, failures{0};
    std::vector<std::thread> workers;
    for (int ch = 0; ch < 4; ++ch) {
        workers.emplace_back([&, ch] {
            const client_channel_id_t id = ids[static_cast<size_t>(ch)];
            const uint8_t node = static_cast<uint8_t>(1 + ch);
            for (int k = ch; k < total; k += 4) {
                const uint32_t version = 0x02000000u + static_cast<uint32_t>(k);
                const std::string path = write_image(dir, ch, version);
                client_upgrade_options_t o;
                client_upgrade_options_init(&o);
                o.retries = 3;
                client_upgrade_result_t r;
                const bool claimed =
                    client_upgrade_run(id, node, path.c_str(), &o, nullptr, &r) == CLIENT_UPGRADE_OK;
                const bool real =
                    sim_bench_motor_state(id.deviceIndex, id.canChannel, node) == SIM_MOTOR_APPLICATION &&
                    sim_bench_motor_version(id.deviceIndex, id.canChannel, node) == version;
                retries += static_cast<int>(r.attempts) - 1;
                if (claimed && !real) {
                    falseSuccesses++;
                }
                const bool done = claimed && real;
                (done ? successes : failures)++;
                remove(path.c_str());
            }
        });
    }
    for (std::thread &t : workers) {
        t.join();
    }
    client_api_manager_cleanup_all();
    const int attempts = total + retries.load();
    char line[400];
    snprintf(line, sizeof line,
             "soak: %d upgrades on 4 channels at %.1f %% loss: %d succeeded, %d failed after 4 attempts, "
             "%d retries, %d false successes; success per attempt %.2f, lost control frames allow %.2f; "
             "RSS %ld -> %ld KiB, open descriptors %d -> %d\n",
             total, loss * 100.0, successes.load(), failures.load(), retries.load(), falseSuccesses.load(),
             attempts > 0 ? static_cast<double>(successes.load()) / attempts : 0.0,
             expected_transfer_success(loss, kImageBytes), rss0, rss_kib(), fds0, open_fds());
    fputs(line, g_report);
    rmdir(dir);
    return falseSuccesses.load() == 0 ? 0 : 2;
}
