// Whole upgrades through the kernel's CAN stack: ostrelo-cli against
// ostrelo-bench with candump listening, and the client API against the bench
// served in this process while netem loses, duplicates and reorders frames,
// the interface goes down, or other nodes' frames crowd the interfaces.
#include "kernel_test_util.h"

#include <algorithm>
#include <cstdint>
#include <atomic>
#include <cstring>
#include <map>
#include <regex>
#include <thread>
#include <vector>

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "controlcan_transport.h"
#include "ostrelo_time.h"
#include "sim_bridge.h"
#include "sim_mkfw.h"

using namespace kerneltest;
using namespace clitest;

namespace {

// One upgrade as the tool runs it, with one attempt: the shared sequence,
// with the handshake's replies awaited 300 ms each (the transfer's limit
// follows the image's size, generous for an emulated kernel's slow frames).
bool upgrade_once(const client_channel_id_t &c, uint8_t node, const std::string &path,
                  client_entry_t entry = CLIENT_ENTRY_HANDSHAKE) {
    client_upgrade_options_t o;
    client_upgrade_options_init(&o);
    o.entry = entry;
    o.retries = 0;
    o.handshakeWaitMs = 300;
    client_upgrade_result_t r;
    return client_upgrade_run(c, node, path.c_str(), &o, nullptr, &r) == CLIENT_UPGRADE_OK;
}

// Takes an interface down or up from this process, at once: a shell running
// `ip link` takes long enough in an emulated kernel for a whole transfer to end.
bool set_link(const char *ifname, bool up) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return false;
    }
    ifreq ifr;
    memset(&ifr, 0, sizeof ifr);
    snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "%s", ifname);
    bool ok = ioctl(fd, SIOCGIFFLAGS, &ifr) == 0;
    if (ok) {
        ifr.ifr_flags = static_cast<short>(up ? (ifr.ifr_flags | IFF_UP) : (ifr.ifr_flags & ~IFF_UP));
        ok = ioctl(fd, SIOCSIFFLAGS, &ifr) == 0;
    }
    close(fd);
    return ok;
}

// Starts CMD in the background; its pid lands in PIDFILE.
void start_background(const std::string &cmd, const std::string &pidfile) {
    ASSERT_EQ(0, sh(cmd + " & echo $! >'" + pidfile + "'"));
}

// SIGINT, as from Ctrl-C, then waits up to 10 s for the process to end.
void interrupt(const std::string &pidfile) {
    const std::string pid = "$(cat '" + pidfile + "')";
    EXPECT_EQ(0, sh("kill -INT " + pid + "; for i in $(seq 100); do kill -0 " + pid +
                    " 2>/dev/null || exit 0; sleep 0.1; done; exit 1"));
}

struct BenchMotor {
    std::string state, image, crc;
};

// The last motor table ostrelo-bench printed, by "channel node".
std::map<std::string, BenchMotor> bench_table(const std::string &out) {
    static const std::regex kRow(R"((\d\.\d) +vcan\d +(\d+) +\S+ +B\d+ +\d+ +\S+ +(\S+) +(.*))");
    std::map<std::string, BenchMotor> rows;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (std::regex_match(line, m, kRow)) {
            const std::string image = m[4];
            const size_t at = image.find("0x");
            rows[m[1].str() + " " + m[2].str()] = {m[3], image,
                                                   at == std::string::npos ? "" : image.substr(at)};
        }
    }
    return rows;
}

std::string key_of(const TraceLine &l) {
    char id[16];
    snprintf(id, sizeof id, "%03X", l.id);
    return l.iface + " " + id;
}

// The motor protocol's raw frames travel both ways on the node's own
// identifier (1 to 127): the tool's query and the node's answer. The trace
// records a frame the tool receives when the tool reads it, so on such an
// identifier the two directions may interleave otherwise than on the bus;
// every other identifier has one sender, whose order the trace keeps.
bool both_ways(unsigned id) {
    return id >= 0x001 && id <= 0x07F;
}

// The frames of candump's log (`dump`) that the tool's trace has not: an
// empty list when the trace holds every frame the bus carried, up to the
// tool's last frame on each interface. Per interface and identifier the
// frames come in the same order, except on an identifier used both ways,
// where each frame must come as often. What a motor sends after the tool's
// last frame (a second answer to a query the tool asked twice, after it
// took the first and closed the channel) is on the bus but never reaches
// the tool, and is not counted. A frame of the trace that candump did not
// see, or saw otherwise, is named too.
std::vector<std::string> unexplained(const std::vector<TraceLine> &trace, const std::vector<TraceLine> &dump,
                                     size_t *late) {
    std::map<std::string, std::vector<std::string>> ours;        // one sender: per identifier, in order
    std::map<std::string, std::map<std::string, size_t>> unseen; // both ways: per identifier, data -> count
    for (const TraceLine &l : trace) {
        if (both_ways(l.id)) {
            ++unseen[key_of(l)][l.data];
        } else {
            ours[key_of(l)].push_back(l.data);
        }
    }
    std::map<std::string, size_t> taken;               // per identifier: frames of candump matched so far
    std::map<std::string, size_t> lastMatched;         // per interface: candump's index of the last match
    std::vector<std::pair<size_t, std::string>> extra; // candump index, "iface id#data"
    std::vector<std::string> out;
    for (size_t i = 0; i < dump.size(); ++i) {
        const std::string key = key_of(dump[i]);
        bool matched = false;
        if (both_ways(dump[i].id)) {
            size_t &left = unseen[key][dump[i].data];
            matched = left > 0;
            left -= matched ? 1 : 0;
        } else {
            const auto it = ours.find(key);
            size_t &k = taken[key];
            if (it != ours.end() && k < it->second.size()) {
                if (it->second[k] != dump[i].data) {
                    out.push_back(key + " frame " + std::to_string(k) + ": " + it->second[k] +
                                  " in the trace, " + dump[i].data + " in candump's log");
                }
                ++k;
                matched = true;
            }
        }
        if (matched) {
            lastMatched[dump[i].iface] = i;
        } else {
            extra.push_back({i, key + "#" + dump[i].data});
        }
    }
    for (const auto &id : ours) {
        if (taken[id.first] < id.second.size()) {
            out.push_back(id.first + ": " + std::to_string(id.second.size() - taken[id.first]) +
                          " frame(s) of the trace not seen by candump");
        }
    }
    for (const auto &id : unseen) {
        for (const auto &data : id.second) {
            if (data.second > 0) {
                out.push_back(id.first + "#" + data.first + ": " + std::to_string(data.second) +
                              " frame(s) of the trace not seen by candump");
            }
        }
    }
    *late = 0;
    for (const auto &e : extra) {
        const std::string iface = e.second.substr(0, e.second.find(' '));
        const auto last = lastMatched.find(iface);
        if (last != lastMatched.end() && e.first > last->second) {
            ++*late;
        } else {
            out.push_back(e.second + ": candump saw what the tool did not");
        }
    }
    return out;
}

// The comparison on small logs: on the node's identifier the query and the
// answer may interleave either way, each frame counted; on an identifier of
// one sender the order counts too.
TEST(KernelUpgrade, CandumpComparisonRules) {
    const auto log = [](std::initializer_list<const char *> frames) {
        std::vector<TraceLine> lines;
        for (const char *f : frames) {
            char iface[16], data[20];
            TraceLine l;
            EXPECT_EQ(3, sscanf(f, "%15s %x#%19s", iface, &l.id, data)) << f;
            l.iface = iface;
            l.data = data;
            lines.push_back(l);
        }
        return lines;
    };
    const struct {
        const char *what;
        std::vector<TraceLine> trace, dump;
        size_t problems, late;
    } rows[] = {
        {"query and answer interleaved otherwise",
         log({"vcan0 001#64", "vcan0 001#64", "vcan0 001#6400090000", "vcan0 001#6400090000"}),
         log({"vcan0 001#64", "vcan0 001#6400090000", "vcan0 001#64", "vcan0 001#6400090000"}), 0, 0},
        {"one sender's frames in another order", log({"vcan0 601#2250", "vcan0 601#2251"}),
         log({"vcan0 601#2251", "vcan0 601#2250"}), 2, 0},
        {"an answer with other data", log({"vcan0 001#64", "vcan0 001#6400090000"}),
         log({"vcan0 001#64", "vcan0 001#6400090001"}), 1, 1},
        {"a second answer after the tool's last frame", log({"vcan0 001#64", "vcan0 001#6400090000"}),
         log({"vcan0 001#64", "vcan0 001#6400090000", "vcan0 001#6400090000"}), 0, 1},
        {"a frame the tool missed while it listened", log({"vcan1 583#60"}),
         log({"vcan1 703#05", "vcan1 583#60"}), 1, 0},
    };
    for (const auto &row : rows) {
        size_t late = 0;
        EXPECT_EQ(row.problems, unexplained(row.trace, row.dump, &late).size()) << row.what;
        EXPECT_EQ(row.late, late) << row.what;
    }
}

// (2) and (3): the bench's eight motors upgraded over vcan0..vcan3,
// and every frame of the tool's trace seen by candump, nothing more while
// the tool listened.
TEST(KernelUpgrade, CliUpgradesTheBenchAndCandumpSeesTheSameFrames) {
    KERNEL_REQUIRE_VCAN();
    clear_qdiscs();
    const std::string dir = work_dir();
    ASSERT_EQ(0, sh(std::string("'") + OSTRELO_MKFW_BIN + "' --size 8192 '" + dir + "/fw' >/dev/null"));
    start_background("candump -L -r 8388608 vcan0 vcan1 vcan2 vcan3 >'" + dir + "/candump.log' 2>&1",
                     dir + "/candump.pid");
    start_background(std::string("'") + OSTRELO_BENCH_BIN + "' --scenario '" + OSTRELO_KERNEL_SCENARIO +
                         "' --can socketcan:" + kMap + " >'" + dir + "/bench.out' 2>&1",
                     dir + "/bench.pid");
    ASSERT_EQ(0, sh("for i in $(seq 100); do grep -q serving '" + dir +
                    "/bench.out' && exit 0; sleep 0.1; done; "
                    "exit 1"))
        << read_file(dir + "/bench.out");
    const CliRun r = run_cli(dir,
                             "upgrade --folder '" + dir + "/fw' --channels 0.0,0.1,1.0,1.1 --report '" + dir +
                                 "/report.json' --trace '" + dir + "/trace.log'",
                             std::string("socketcan:") + kMap);
    interrupt(dir + "/bench.pid");
    // candump shares the kernel's one CPU with the tool and may still be
    // reading what its socket holds; it drops that when interrupted. Wait
    // until its log has stopped growing.
    sh("prev=-1; for i in $(seq 40); do s=$(stat -c %s '" + dir +
       "/candump.log'); [ \"$s\" = \"$prev\" ] && exit 0; prev=$s; sleep 0.5; done; exit 0");
    interrupt(dir + "/candump.pid");

    EXPECT_EQ(0, r.rc) << r.out << r.err;
    const std::string report = read_file(dir + "/report.json");
    EXPECT_NE(std::string::npos, report.find("\"summary\":{\"motors\":8,\"ok\":8,")) << report;
    static const std::regex kCrcs(R"re("file_crc":"(0x[0-9A-F]{8})","device_crc":"(0x[0-9A-F]{8})")re");
    std::vector<std::string> fileCrcs;
    for (auto it = std::sregex_iterator(report.begin(), report.end(), kCrcs); it != std::sregex_iterator();
         ++it) {
        EXPECT_EQ((*it)[1], (*it)[2]);
        fileCrcs.push_back((*it)[1]);
    }
    EXPECT_EQ(8u, fileCrcs.size());
    EXPECT_EQ(8u, count_of(report, "\"outcome\":\"ok\""));
    // What the motors themselves hold: each runs an image received whole,
    // with a CRC the report names.
    const std::map<std::string, BenchMotor> motors = bench_table(read_file(dir + "/bench.out"));
    EXPECT_EQ(8u, motors.size());
    for (const auto &m : motors) {
        EXPECT_EQ("application", m.second.state) << m.first;
        EXPECT_NE(std::string::npos, m.second.image.find("whole")) << m.first;
        EXPECT_NE(fileCrcs.end(), std::find(fileCrcs.begin(), fileCrcs.end(), m.second.crc)) << m.first;
    }

    const std::vector<TraceLine> trace = read_trace(dir + "/trace.log");
    const std::vector<TraceLine> dump = read_trace(dir + "/candump.log");
    EXPECT_GT(trace.size(), 8u * 8192u / 7u);
    size_t late = 0;
    const std::vector<std::string> wrong = unexplained(trace, dump, &late);
    char line[200];
    snprintf(
        line, sizeof line,
        "cli against ostrelo-bench: %zu ok of 8; %zu frames in the trace, %zu in candump's log (%zu after "
        "the tool's last frame on its interface)\n",
        count_of(report, "\"outcome\":\"ok\""), trace.size(), dump.size(), late);
    fputs(line, stderr);
    for (const std::string &w : wrong) {
        ADD_FAILURE() << w;
    }
}

// The bench served in this process on its own sockets, the client API on the
// stand-in's, the bench's eight motors each with a demo image.
class KernelUpgradeInProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        KERNEL_REQUIRE_VCAN();
        clear_qdiscs();
        dir_ = work_dir();
        ASSERT_EQ(1, sim_bench_load_scenario(OSTRELO_KERNEL_SCENARIO));
        ASSERT_EQ(1, sim_bridge_serve_socketcan(kMap, 1000));
        setenv("OSTRELO_CAN", (std::string("socketcan:") + kMap).c_str(), 1);
        controlcan_set_transport(nullptr);
        client_api_set_backend_zhcx();
        for (uint32_t k = 0; k < 4; ++k) {
            const client_channel_id_t id = client_api_manager_init_channel(4, k / 2, k % 2, 1000, 8, 8);
            ASSERT_FALSE(client_channel_id_is_invalid(&id));
            channels_.push_back(id);
        }
    }
    void TearDown() override {
        client_api_manager_cleanup_all();
        sim_bridge_stop();
        clear_qdiscs();
    }

    struct Target {
        client_channel_id_t channel;
        sim_motor_config_t motor;
        std::string path;
        uint32_t crc = 0;
    };

    // Demo images of `size` bytes (trailer included), one per motor.
    std::vector<Target> targets(uint32_t size) {
        static sim_mkfw_file_t files[SIM_MKFW_MAX_FILES];
        const std::string fw = dir_ + "/fw" + std::to_string(size);
        sh("mkdir -p '" + fw + "'");
        testing::internal::CaptureStdout();
        const int n = sim_mkfw_write_all(fw.c_str(), size - SIM_TRAILER_LEN, files, SIM_MKFW_MAX_FILES);
        testing::internal::GetCapturedStdout();
        std::vector<Target> out;
        for (int i = 0; i < sim_bench_motor_count(); ++i) {
            Target t;
            sim_bench_motor_config(i, &t.motor);
            char key[128];
            sim_mkfw_key(&t.motor, key, sizeof key);
            for (int f = 0; f < n; ++f) {
                if (sim_mkfw_match(files[f].name, key)) {
                    t.path = fw + "/" + files[f].name;
                    t.crc = files[f].crc32;
                }
            }
            for (const client_channel_id_t &c : channels_) {
                if (c.deviceIndex == t.motor.adapter && c.canChannel == t.motor.channel) {
                    t.channel = c;
                }
            }
            EXPECT_FALSE(t.path.empty());
            out.push_back(t);
        }
        return out;
    }

    // The motor runs the image of `t`, received whole.
    static bool runs(const Target &t) {
        sim_motor_stats_t st;
        sim_bench_motor_stats(t.motor.adapter, t.motor.channel, t.motor.node, &st);
        return sim_bench_motor_state(t.motor.adapter, t.motor.channel, t.motor.node) ==
                   SIM_MOTOR_APPLICATION &&
               st.imageComplete == 1 &&
               sim_bench_motor_image_crc32(t.motor.adapter, t.motor.channel, t.motor.node) == t.crc;
    }

    // Started on an image that is not the file: what must never happen.
    static bool started_unverified(const Target &t) {
        sim_motor_stats_t st;
        sim_bench_motor_stats(t.motor.adapter, t.motor.channel, t.motor.node, &st);
        return sim_bench_motor_state(t.motor.adapter, t.motor.channel, t.motor.node) ==
                   SIM_MOTOR_APPLICATION &&
               st.imageSize > 0 && !runs(t);
    }

    // One more attempt for a motor whose upgrade failed, from where the
    // motor is now: still in its bootloader, or back in its application.
    static bool retry(const client_channel_id_t &c, const Target &t) {
        const bool inBootloader =
            client_api_locate_node(c, t.motor.node, 1000, nullptr) == CLIENT_NODE_BOOTLOADER;
        return upgrade_once(c, t.motor.node, t.path,
                            inBootloader ? CLIENT_ENTRY_IN_BOOTLOADER : CLIENT_ENTRY_HANDSHAKE);
    }

    // The whole sequence with the tool's own figures, retries included;
    // adds the attempts it made to `attempts`.
    static bool upgrade_as_the_tool(const client_channel_id_t &c, const Target &t,
                                    std::atomic<uint32_t> &attempts) {
        client_upgrade_result_t r;
        const bool ok =
            client_upgrade_run(c, t.motor.node, t.path.c_str(), nullptr, nullptr, &r) == CLIENT_UPGRADE_OK;
        attempts += r.attempts;
        return ok;
    }

    enum class How { Once, Retry, AsTheTool };

    // Upgrades `which` of `all` (once, as a retry, or as the tool does), the
    // channels in parallel and the motors of a channel one after another, as
    // the tool does; true per motor when the client API confirmed it.
    std::vector<bool> upgrade(const std::vector<Target> &all, const std::vector<size_t> &which, How how) {
        std::vector<bool> ok(all.size(), false);
        std::vector<std::thread> threads;
        for (const client_channel_id_t &c : channels_) {
            threads.emplace_back([&, c] {
                for (size_t i : which) {
                    const Target &t = all[i];
                    if (t.channel.deviceIndex == c.deviceIndex && t.channel.canChannel == c.canChannel) {
                        ok[i] = how == How::Retry       ? retry(c, t)
                                : how == How::AsTheTool ? upgrade_as_the_tool(c, t, attempts_)
                                                        : upgrade_once(c, t.motor.node, t.path);
                    }
                }
            });
        }
        for (std::thread &t : threads) {
            t.join();
        }
        return ok;
    }

    std::vector<size_t> everyone(const std::vector<Target> &all) {
        std::vector<size_t> out;
        for (size_t i = 0; i < all.size(); ++i) {
            out.push_back(i);
        }
        return out;
    }

    std::string dir_;
    std::vector<client_channel_id_t> channels_;
    std::atomic<uint32_t> attempts_{0};
};

// (5) netem on every interface while all eight motors are upgraded: a
// success is always real, no motor starts on an image that failed its check,
// and each failed motor is upgraded by one retry once the faults are gone.
TEST_F(KernelUpgradeInProcess, KernelFaultsNeverGiveAFalseSuccess) {
    const struct {
        const char *iface, *netem;
    } faults[] = {
        {"vcan0", "loss 2%"},
        {"vcan1", "duplicate 2%"},
        {"vcan2", "delay 1ms reorder 98% 25%"},
        {"vcan3", "loss 2% duplicate 2% delay 1ms reorder 98%"},
    };
    for (const auto &f : faults) {
        ASSERT_EQ(0, sh(std::string("tc qdisc add dev ") + f.iface + " root netem " + f.netem)) << f.netem;
    }
    const std::vector<Target> all = targets(16384);
    const std::vector<bool> first = upgrade(all, everyone(all), How::Once);
    clear_qdiscs();
    std::vector<size_t> failed;
    int falseSuccesses = 0, unverifiedStarts = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        falseSuccesses += first[i] && !runs(all[i]) ? 1 : 0;
        unverifiedStarts += started_unverified(all[i]) ? 1 : 0;
        if (!first[i]) {
            failed.push_back(i);
        }
    }
    const std::vector<bool> retried = upgrade(all, failed, How::Retry);
    size_t recovered = 0;
    for (size_t i : failed) {
        recovered += retried[i] && runs(all[i]) ? 1 : 0;
    }
    std::string where;
    for (size_t k : failed) {
        where += " vcan" + std::to_string(all[k].motor.adapter * 2 + all[k].motor.channel) + "/node" +
                 std::to_string(all[k].motor.node);
    }
    char line[300];
    snprintf(
        line, sizeof line,
        "kernel faults: %zu upgrades, %zu failed under netem (%s), %zu of them recovered by one retry; %d "
        "false successes, %d unverified starts\n",
        all.size(), failed.size(), where.empty() ? "none" : where.c_str() + 1, recovered, falseSuccesses,
        unverifiedStarts);
    fputs(line, stderr);
    EXPECT_EQ(0, falseSuccesses);
    EXPECT_EQ(0, unverifiedStarts);
    EXPECT_EQ(failed.size(), recovered);
    for (const Target &t : all) {
        EXPECT_TRUE(runs(t)) << "node " << int(t.motor.node);
    }
}

// (5) vcan0 goes down in the middle of a transfer: said once by each socket,
// the motor stays in its bootloader, and once vcan0 is up again a retry
// upgrades it.
TEST_F(KernelUpgradeInProcess, InterfaceDownInTheMiddleOfATransfer) {
    const std::vector<Target> all = targets(65536);
    const Target &t = all[0];
    ASSERT_EQ(0u, t.motor.adapter);
    ASSERT_EQ(0u, t.motor.channel);
    sim_motor_stats_t st;
    sim_bench_motor_stats(0, 0, t.motor.node, &st);
    const uint32_t before = st.framesReceived;
    testing::internal::CaptureStdout();
    std::atomic<int> result{-1};
    std::thread upgrader([&] { result = upgrade_once(t.channel, t.motor.node, t.path) ? 1 : 0; });
    // A third of the image's segments in.
    const uint64_t t0 = ostrelo_monotonic_us();
    while (result.load() < 0 && ostrelo_monotonic_us() - t0 < 60000000u) {
        sim_bench_motor_stats(0, 0, t.motor.node, &st);
        if (st.framesReceived - before > 65536 / 7 / 3) {
            break;
        }
        delay_ms(1);
    }
    EXPECT_EQ(-1, result.load()) << "the transfer ended before the interface went down";
    ASSERT_TRUE(set_link("vcan0", false));
    upgrader.join();
    const std::string said = testing::internal::GetCapturedStdout();
    EXPECT_EQ(0, result.load());
    EXPECT_EQ(2u, count_of(said, "[ERROR] SocketCAN interface vcan0 went down"))
        << "tool and bench, once each";
    fprintf(stderr, "interface down: %zu line(s) of output, %zu of them refused sends\n",
            count_of(said, "\n"), count_of(said, "Failed to send CAN message"));
    EXPECT_EQ(SIM_MOTOR_BOOT_HELD, sim_bench_motor_state(0, 0, t.motor.node));
    EXPECT_FALSE(runs(t));

    ASSERT_TRUE(set_link("vcan0", true));
    // The abort of the dead transfer, refused while down, goes out first and
    // frees the bootloader.
    EXPECT_TRUE(retry(t.channel, t));
    EXPECT_TRUE(runs(t));
}

// Counts the frames of other nodes (`kOtherIds`, and every extended frame)
// that reach a socket on each of vcan0..vcan3, as they reach the tool's.
class OtherFrames {
  public:
    OtherFrames() {
        for (int i = 0; i < 4; ++i) {
            fd_[i] = socket(PF_CAN, SOCK_RAW, CAN_RAW);
            ifreq ifr;
            memset(&ifr, 0, sizeof ifr);
            snprintf(ifr.ifr_name, sizeof ifr.ifr_name, "vcan%d", i);
            sockaddr_can addr;
            memset(&addr, 0, sizeof addr);
            addr.can_family = AF_CAN;
            can_filter f[3] = {{kOtherIds[0], CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG},
                               {kOtherIds[1], CAN_SFF_MASK | CAN_EFF_FLAG | CAN_RTR_FLAG},
                               {CAN_EFF_FLAG, CAN_EFF_FLAG}};
            const bool ok = fd_[i] >= 0 && ioctl(fd_[i], SIOCGIFINDEX, &ifr) == 0 &&
                            (addr.can_ifindex = ifr.ifr_ifindex,
                             bind(fd_[i], reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0) &&
                            setsockopt(fd_[i], SOL_CAN_RAW, CAN_RAW_FILTER, f, sizeof f) == 0;
            EXPECT_TRUE(ok) << ifr.ifr_name;
        }
        reader_ = std::thread([this] { read(); });
    }
    ~OtherFrames() {
        stop_ = true;
        reader_.join();
        for (int fd : fd_) {
            close(fd);
        }
    }
    uint64_t count(int i) const { return count_[i]; }
    // Waits up to 30 s until every interface carried `n` of them.
    bool wait_for(uint64_t n) const {
        const uint64_t t0 = ostrelo_monotonic_us();
        for (;;) {
            bool all = true;
            for (int i = 0; i < 4; ++i) {
                all = all && count_[i] >= n;
            }
            if (all || ostrelo_monotonic_us() - t0 > 30000000u) {
                return all;
            }
            delay_ms(10);
        }
    }
    // Identifiers that nothing of the tool or the bench uses: a PDO and the
    // SDO answers of node 42, to another master.
    static constexpr canid_t kOtherIds[2] = {0x18A, 0x5AA};

  private:
    void read() {
        pollfd p[4];
        for (int i = 0; i < 4; ++i) {
            p[i] = {fd_[i], POLLIN, 0};
        }
        while (!stop_) {
            if (poll(p, 4, 100) <= 0) {
                continue;
            }
            for (int i = 0; i < 4; ++i) {
                // Many at a time: in an emulated kernel each call is dear.
                can_frame f[64];
                iovec io[64];
                mmsghdr m[64];
                memset(m, 0, sizeof m);
                for (int k = 0; k < 64; ++k) {
                    io[k] = {&f[k], sizeof f[k]};
                    m[k].msg_hdr.msg_iov = &io[k];
                    m[k].msg_hdr.msg_iovlen = 1;
                }
                int n;
                while ((p[i].revents & POLLIN) != 0 &&
                       (n = recvmmsg(fd_[i], m, 64, MSG_DONTWAIT, nullptr)) > 0) {
                    count_[i] += static_cast<uint64_t>(n);
                }
            }
        }
    }
    int fd_[4] = {-1, -1, -1, -1};
    std::atomic<uint64_t> count_[4] = {};
    std::atomic<bool> stop_{false};
    std::thread reader_;
};

// (6) cangen puts other nodes' frames on every interface at a high rate: a
// PDO, another master's SDO traffic to node 42 and extended frames of any
// identifier (some of them ending in the bench's SDO identifiers). All eight
// motors are upgraded as the tool does, each onto the image it was sent, and
// the traffic ran from before the first upgrade to after the last.
TEST_F(KernelUpgradeInProcess, UpgradesAmidOtherTraffic) {
    const std::vector<Target> all = targets(16384);
    OtherFrames seen;
    // From each of three generators per interface, bursts of 2 frames every
    // 2 ms: 3000 frames a second on each interface (about a third of what a
    // 1000 kbit/s bus carries), a full queue waited out rather than ending
    // the generator. One shell starts all twelve.
    const std::string pids = dir_ + "/cangen.pids";
    ASSERT_EQ(0, sh("for v in vcan0 vcan1 vcan2 vcan3; do "
                    "for g in '-I 18A -L 8 -D r' '-I 5AA -L 8 -D r' '-e -I r -L r -D r'; do "
                    "cangen $v -g 2 -c 2 -p 10 $g & echo $!; done; done >'" +
                    pids + "'"));
    ASSERT_TRUE(seen.wait_for(100)) << "cangen's frames did not reach every interface";
    uint64_t before[4];
    for (int i = 0; i < 4; ++i) {
        before[i] = seen.count(i);
    }
    const uint64_t t0 = ostrelo_monotonic_us();
    const std::vector<bool> ok = upgrade(all, everyone(all), How::AsTheTool);
    const double seconds = static_cast<double>(ostrelo_monotonic_us() - t0) / 1e6;
    uint64_t during = 0, least = UINT64_MAX;
    for (int i = 0; i < 4; ++i) {
        during += seen.count(i) - before[i];
        least = std::min(least, seen.count(i) - before[i]);
    }
    // Each generator still runs: none ended on an error in the middle.
    EXPECT_EQ(0, sh("for p in $(cat '" + pids + "'); do kill -0 $p || exit 1; done")) << "a cangen ended";
    sh("kill $(cat '" + pids + "') 2>/dev/null");

    size_t upgraded = 0;
    int falseSuccesses = 0, unverifiedStarts = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        upgraded += ok[i] ? 1 : 0;
        falseSuccesses += ok[i] && !runs(all[i]) ? 1 : 0;
        unverifiedStarts += started_unverified(all[i]) ? 1 : 0;
    }
    char line[300];
    snprintf(line, sizeof line,
             "other traffic: %zu of %zu upgraded in %u attempts, %.1f s; %llu frames of other nodes on "
             "vcan0..vcan3 meanwhile (%.0f a second on each); %d false successes, %d unverified starts\n",
             upgraded, all.size(), attempts_.load(), seconds, static_cast<unsigned long long>(during),
             static_cast<double>(during) / 4 / seconds, falseSuccesses, unverifiedStarts);
    fputs(line, stderr);
    EXPECT_GT(least, 0u) << "an interface carried no other frames during the upgrades";
    EXPECT_EQ(all.size(), upgraded);
    EXPECT_EQ(0, falseSuccesses);
    EXPECT_EQ(0, unverifiedStarts);
}

} // namespace
