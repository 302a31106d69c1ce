// Test fixture that runs the client API against the simulated motor bench
// through the adapter-library stand-in.
#ifndef CLIENT_TEST_BENCH_FIXTURE_H
#define CLIENT_TEST_BENCH_FIXTURE_H

#include "client_api.h"
#include "controlcan_transport.h"
#include "device_mng.h"
#include "sim_bench.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace benchtest {

inline std::string capture(const std::function<void()> &fn) {
    fflush(stdout);
    testing::internal::CaptureStdout();
    fn();
    fflush(stdout);
    return testing::internal::GetCapturedStdout();
}

inline bool contains(const std::string &haystack, const std::string &needle) {
    return haystack.find(needle) != std::string::npos;
}

// Writes an image that the bench accepts as an application: `bodyLen` bytes
// of pattern followed by the bench's trailer carrying `version`.
inline std::string write_image(const std::string &dir, const std::string &name, size_t bodyLen,
                               uint32_t version, uint8_t seed = 1) {
    std::vector<uint8_t> img(bodyLen + SIM_TRAILER_LEN);
    uint32_t x = 0x12345678u ^ seed;
    for (size_t i = 0; i < bodyLen; ++i) {
        x = x * 1103515245u + 12345u;
        img[i] = static_cast<uint8_t>(x >> 16);
    }
    sim_image_make_trailer(img.data(), bodyLen, version, img.data() + bodyLen);
    const std::string path = dir + "/" + name;
    FILE *f = fopen(path.c_str(), "wb");
    if (f != nullptr) {
        fwrite(img.data(), 1, img.size(), f);
        fclose(f);
    }
    return path;
}

// About 60 % of a 1000 kbit/s bus on channel 0.0: eight other nodes (0x10
// to 0x17) with two PDOs each (every 2 and every 10 ms) and their
// heartbeats, and the SYNC. Their PDOs win the bus against the motors' frames.
inline void pdo_load() {
    for (uint32_t n = 0x10; n < 0x18; ++n) {
        sim_bench_add_traffic(0, 0, 0x180 + n, 2, 8);
        sim_bench_add_traffic(0, 0, 0x280 + n, 10, 8);
        sim_bench_add_traffic(0, 0, 0x700 + n, 100, 1);
    }
    sim_bench_add_traffic(0, 0, 0x080, 10, 0);
}

class Bench : public ::testing::Test {
  protected:
    void SetUp() override {
        capture([] {
            controlcan_set_transport(sim_controlcan_transport());
            client_api_manager_cleanup_all();
            client_api_clear_discovered_motors();
            client_api_clear_file_cache();
            sim_bench_reset();
            sim_bench_set_timing(0);
            client_api_set_backend_zhcx();
        });
        strcpy(dir_, "/tmp/client_bench_XXXXXX");
        ASSERT_NE(mkdtemp(dir_), nullptr);
    }
    void TearDown() override {
        capture([] {
            client_api_manager_cleanup_all();
            client_api_clear_discovered_motors();
            client_api_clear_file_cache();
            sim_bench_reset();
        });
        ostrelo_time_set_tick_origin(0);
        const std::string cmd = std::string("rm -rf '") + dir_ + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    static sim_motor_config_t motor(uint32_t adapter, uint32_t channel, uint8_t node,
                                    int state = SIM_START_APPLICATION) {
        sim_motor_config_t m;
        sim_motor_config_init(&m);
        m.adapter = adapter;
        m.channel = channel;
        m.node = node;
        m.initialState = state;
        return m;
    }

    // Records and brings up the given channels (type 4) through the device
    // manager, as the application does; returns how many came up.
    int bring_up(const std::vector<client_channel_id_t> &ids) {
        int n = 0;
        capture([&] {
            device_manager_set_channel_configs(ids.data(), ids.size());
            n = device_manager_apply_config(8, 8);
        });
        return n;
    }

    client_channel_id_t one_channel(uint32_t adapter, uint32_t channel, uint16_t kbps,
                                    const std::vector<sim_motor_config_t> &motors) {
        sim_bench_add_adapter(adapter, channel + 1);
        sim_bench_add_segment(adapter, channel, kbps);
        for (const auto &m : motors) {
            EXPECT_EQ(sim_bench_add_motor(&m), 1);
        }
        const client_channel_id_t id = {4, adapter, channel, kbps};
        EXPECT_EQ(bring_up({id}), 1);
        return id;
    }

    std::string dir() const { return dir_; }

    char dir_[64];
};

} // namespace benchtest

#endif
