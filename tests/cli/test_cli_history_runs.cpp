// ostrelo-cli upgrades and their history: every upgrade recorded from its
// start to its end, a run killed mid-transfer resumed by the next one with
// no --file, two programs writing at once, a history that cannot be used,
// and the record of a run saying why each motor ended as it did.
#include "cli_test_util.h"
#include "json_check.h"

#include "ostrelo_history.h"
#include "sim_bench.h"

#include <sys/stat.h>

using namespace clitest;

namespace {

// Motor 0.0 node 1: 4009 SingleTarsel B0, running 1.0.0.3; its image is one
// version newer.
const char kImage[] = "4009_SingleTarsel_B0_V1_0_0_4.bin";
const char kMotor[] = "motor 0 0 1 type=9 brake=0 encoder=1 version=1.0.0.3";

// (Re)writes the bench of `dir` (always the same file, so the transport
// text stays the same between runs) and returns its OSTRELO_CAN value.
std::string bench(const std::string &dir, const std::string &motors, const char *timing = "instant") {
    const std::string path = dir + "/bench.scn";
    std::ofstream(path) << "timing " << timing << "\nseed 5\noperator on\nadapter 0 channels 2\n"
                        << motors << "\n";
    return "sim:" + path;
}

jsoncheck::Value json_of(const std::string &doc) {
    jsoncheck::Value v;
    std::string error;
    EXPECT_TRUE(jsoncheck::parse(doc, &v, &error)) << error << "\n" << doc;
    return v;
}

std::vector<jsoncheck::Value> history_entries(const std::string &dir, const std::string &db) {
    const CliRun r = run_cli(dir, "history --json --history '" + db + "'");
    EXPECT_EQ(r.rc, 0) << r.err;
    return json_of(r.out)["entries"].items;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

size_t lines_of(const std::string &text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A history entry written as an interrupted upgrade of motor 0.0 node 1 of
// the bench at `can`, begun `daysAgo` days ago, with the image at `path`.
int64_t unfinished_entry(const std::string &db, const std::string &can, const std::string &path,
                         int daysAgo) {
    ostrelo_history_t *h = nullptr;
    EXPECT_EQ(ostrelo_history_open(db.c_str(), &h), OSTRELO_HISTORY_OK);
    ostrelo_history_place_t place;
    const client_channel_id_t ch = {4, 0, 0, 1000};
    setenv("OSTRELO_CAN", can.c_str(), 1);
    ostrelo_history_place_init(&place, ch, "OSTSIM0000", 1);
    unsetenv("OSTRELO_CAN");
    client_firmware_info_t id = {};
    id.motorType = 9;
    id.encoderType = 1;
    snprintf(id.firmwareModel, sizeof(id.firmwareModel), "4009");
    snprintf(id.brakeSuffix, sizeof(id.brakeSuffix), "B0");
    snprintf(id.encoderName, sizeof(id.encoderName), "SingleTarsel");
    snprintf(id.filenameKey, sizeof(id.filenameKey), "4009singletarselb0");
    ostrelo_history_entry_t e;
    EXPECT_EQ(ostrelo_history_entry_for(&e, &place, &id, 1, 0x01000003u, path.c_str(), nullptr), 0);
    const time_t t = time(nullptr) - static_cast<time_t>(daysAgo) * 86400;
    struct tm tmv;
    gmtime_r(&t, &tmv);
    strftime(e.started_at, sizeof(e.started_at), "%Y-%m-%dT%H:%M:%S.000Z", &tmv);
    EXPECT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_OK);
    e.outcome = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;
    EXPECT_EQ(ostrelo_history_finish(h, &e), OSTRELO_HISTORY_OK);
    ostrelo_history_close(h);
    return e.id;
}

} // namespace

// SIGKILL in the middle of a transfer leaves the motor's upgrade "in
// progress"; the next run finds the motor held in its bootloader, identity
// unknown, and upgrades it with that upgrade's file, with no --file.
TEST(CliHistoryRuns, KilledMidTransferThenResumed) {
    const std::string dir = work_dir();
    const std::string folder = dir + "/fw";
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    write_image(folder + "/" + kImage, 0x01000004u, 256 * 1024);
    const std::string db = dir + "/history.sqlite";
    const std::string can = bench(dir, kMotor, "timed");
    const std::string out = dir + "/killed.out";
    // Killed once its transfer is a quarter through (the progress line says
    // so), not after a time.
    const std::string cmd =
        "OSTRELO_CAN='" + can + "' OSTRELO_HISTORY='" + db + "' '" + OSTRELO_CLI_BIN +
        "' upgrade --nodes 1 --channels 0.0 --folder '" + folder + "' >'" + out +
        "' 2>/dev/null </dev/null & p=$!; for i in $(seq 1200); do grep -q 'transfer.*%' '" + out +
        "' && break; sleep 0.05; done; kill -KILL $p; wait $p; grep -q 'transfer.*%' '" + out + "'";
    ASSERT_EQ(system(cmd.c_str()), 0) << read_file(out);
    std::vector<jsoncheck::Value> entries = history_entries(dir, db);
    ASSERT_EQ(entries.size(), 1u);
    const std::string killed = entries[0]["id"].text;
    EXPECT_EQ(entries[0]["outcome"].text, "in progress");
    EXPECT_EQ(entries[0]["ended"].kind, jsoncheck::Value::Null);
    EXPECT_EQ(entries[0]["file"].text, kImage);

    // The same motor, now held in its bootloader without an application.
    bench(dir, std::string(kMotor) + " state=held app=no", "timed");
    const CliRun r = run_cli(dir, "upgrade --json --nodes 1 --channels 0.0 --folder '" + folder + "'", can);
    EXPECT_EQ(r.rc, 0) << r.out << r.err;
    const jsoncheck::Value record = json_of(r.out);
    ASSERT_EQ(record["motors"].items.size(), 1u);
    const jsoncheck::Value &m = record["motors"].items[0];
    EXPECT_EQ(m["outcome"].text, "ok");
    EXPECT_EQ(m["match"].text, "history");
    EXPECT_EQ(m["model"].text, "4009");
    EXPECT_EQ(m["version_after"].text, "1.0.0.4");
    EXPECT_EQ(m["state"].text, "application");
    EXPECT_EQ(m["resumed_from"].text, killed);
    EXPECT_TRUE(has(m["note"].text, "resumed from history entry " + killed)) << m["note"].text;

    entries = history_entries(dir, db);
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["outcome"].text, "ok");
    EXPECT_EQ(entries[0]["model"].text, "4009");
    EXPECT_EQ(entries[0]["version_before"].kind, jsoncheck::Value::Null) << "it ran nothing known";
    EXPECT_TRUE(has(entries[0]["note"].text, "resumed from history entry " + killed));
    EXPECT_EQ(entries[1]["outcome"].text, "in progress") << "what happened stays";
}

// The history's file is taken only while it is there and unchanged, and
// only from an upgrade within the recovery age; otherwise the motor stays
// without a file, which --allow-missing does not waive: it runs no
// application.
TEST(CliHistoryRuns, ResumeTakesOnlyAnUnchangedFile) {
    const struct Case {
        const char *what;
        const char *options;
        int daysAgo;
        int rc;
        const char *outcome;
        const char *note;
    } cases[] = {
        {"the file as it was", "", 1, 0, "ok", "resumed from history entry "},
        {"the file rewritten since", "", 1, 1, "no file", "which has changed since (SHA-256)"},
        {"the file gone", "", 1, 1, "no file", "which is gone"},
        {"older than the recovery age", "", 31, 1, "no file", "in its bootloader, identity unknown"},
        {"within a longer recovery age", "--recovery-days 60", 31, 0, "ok", "resumed from history entry "},
        {"recovery turned off", "--recovery-days 0", 1, 1, "no file", "in its bootloader, identity unknown"},
        {"no history", "--no-history", 1, 1, "no file", "in its bootloader, identity unknown"},
    };
    for (const Case &c : cases) {
        const std::string dir = work_dir();
        const std::string image = dir + "/" + kImage;
        write_image(image, 0x01000004u, 4096);
        const std::string can = bench(dir, std::string(kMotor) + " state=held app=no");
        unfinished_entry(dir + "/history.sqlite", can, image, c.daysAgo);
        if (has(c.what, "rewritten")) {
            write_image(image, 0x01000004u, 4097);
        } else if (has(c.what, "gone")) {
            ASSERT_EQ(remove(image.c_str()), 0);
        }
        const std::string folder = dir + "/empty";
        ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
        const CliRun r = run_cli(
            dir, "upgrade --json --nodes 1 --allow-missing --folder '" + folder + "' " + c.options, can);
        EXPECT_EQ(r.rc, c.rc) << c.what << "\n" << r.out << r.err;
        const jsoncheck::Value record = json_of(r.out);
        ASSERT_EQ(record["motors"].items.size(), 1u) << c.what;
        const jsoncheck::Value &m = record["motors"].items[0];
        EXPECT_EQ(m["outcome"].text, c.outcome) << c.what;
        EXPECT_TRUE(has(m["note"].text, c.note)) << c.what << "\n" << m["note"].text;
        EXPECT_EQ(m["state"].text, c.rc == 0 ? "application" : "bootloader") << c.what;
        if (c.rc != 0) {
            EXPECT_TRUE(has(r.err, "1 motor(s) in their bootloader without a file")) << c.what << "\n"
                                                                                     << r.err;
        }
        if (has(c.note, "SHA") || has(c.note, "gone")) {
            EXPECT_TRUE(has(m["note"].text, kImage)) << "names the history's file";
        }
    }
}

// The record says why: every attempt with its step, reason and abort code
// (also for a motor that succeeded on its third attempt), where each motor
// is after the run, and the warnings of the attempts on standard error;
// the history holds the same upgrade with every field.
TEST(CliHistoryRuns, RecordAndHistorySayWhy) {
    const std::string dir = work_dir();
    write_image(dir + "/" + kImage, 0x01000004u, 4096);
    write_image(dir + "/80026_DoubleBrisca_B0_V2_0_1_6.bin", 0x02000106u, 4096);
    const std::string can =
        bench(dir, std::string(kMotor) + "\nfault node 0 0 1 abort=1024:0x08000020:2\n"
                                         "motor 0 1 3 type=26 brake=0 encoder=3 version=2.0.1.5\n"
                                         "fault node 0 1 3 wrong_crc");
    const CliRun r = run_cli(dir, "upgrade --json --retries 2 --nodes 1-3 --folder '" + dir + "'", can);
    EXPECT_EQ(r.rc, 1) << r.out << r.err;
    const jsoncheck::Value record = json_of(r.out);
    ASSERT_EQ(record["motors"].items.size(), 2u) << r.out;
    const jsoncheck::Value &ok = record["motors"].items[0];
    EXPECT_EQ(ok["outcome"].text, "ok");
    EXPECT_EQ(ok["error"].text, "");
    EXPECT_EQ(ok["state"].text, "application");
    ASSERT_EQ(ok["attempt_log"].items.size(), 3u) << r.out;
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(ok["attempt_log"].items[i]["step"].text, "transfer");
        EXPECT_EQ(ok["attempt_log"].items[i]["reason"].text, "the motor aborted the transfer");
        EXPECT_EQ(ok["attempt_log"].items[i]["abort_code"].text, "0x08000020");
    }
    EXPECT_EQ(ok["attempt_log"].items[2]["reason"].text, "ok");
    const jsoncheck::Value &bad = record["motors"].items[1];
    EXPECT_EQ(bad["outcome"].text, "failed");
    EXPECT_EQ(bad["state"].text, "bootloader") << "a refused image is never started";
    EXPECT_EQ(bad["attempt_log"].items.size(), 3u);
    EXPECT_EQ(bad["attempt_log"].items[0]["reason"].text, "CRC mismatch");
    // The attempts' warnings, by their level: two of the motor that made it,
    // three of the other.
    static const std::regex kFailed(R"(Upgrade of node \d+, attempt \d+: .* failed: )");
    EXPECT_EQ(
        std::distance(std::sregex_iterator(r.err.begin(), r.err.end(), kFailed), std::sregex_iterator()), 5)
        << r.err;

    const std::vector<jsoncheck::Value> entries = history_entries(dir, dir + "/history.sqlite");
    ASSERT_EQ(entries.size(), 2u);
    for (const jsoncheck::Value &e : entries) {
        const bool isOk = e["node"].text == "1";
        EXPECT_EQ(e["outcome"].text, isOk ? "ok" : "failed");
        EXPECT_EQ(e["transport"].text, can);
        EXPECT_EQ(e["adapter_serial"].text, "OSTSIM0000");
        EXPECT_EQ(e["channel"].text, isOk ? "0.0" : "0.1");
        EXPECT_EQ(e["model"].text, isOk ? "4009" : "80026");
        EXPECT_EQ(e["version_before"].text, isOk ? "1.0.0.3" : "2.0.1.5");
        EXPECT_EQ(e["version_after"].text, isOk ? "1.0.0.4" : "null");
        EXPECT_EQ(e["path"].text, dir + "/" + e["file"].text);
        EXPECT_EQ(e["file_size"].text, "4112");
        EXPECT_EQ(e["file_sha256"].text.size(), 64u);
        EXPECT_EQ(e["device_crc"].kind, jsoncheck::Value::String);
        EXPECT_EQ(e["attempt_count"].text, "3");
        EXPECT_NE(e["ended"].kind, jsoncheck::Value::Null);
        EXPECT_FALSE(e["station"].text.empty());
        EXPECT_FALSE(e["user"].text.empty());
    }
}

// Two programs upgrading at once into one history lose no row.
TEST(CliHistoryRuns, TwoProgramsWriteAtOnce) {
    const std::string dir = work_dir();
    const std::string db = dir + "/shared.sqlite";
    std::string motors;
    for (int c = 0; c < 2; ++c) {
        for (int n = 1; n <= 6; ++n) {
            motors += "motor 0 " + std::to_string(c) + " " + std::to_string(c * 6 + n) +
                      " type=9 brake=0 encoder=1 version=1.0.0.3\n";
        }
    }
    write_image(dir + "/" + kImage, 0x01000004u, 1024);
    std::string cmd;
    for (const char *run : {"a", "b"}) {
        const std::string sub = dir + "/" + run;
        ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
        cmd += "OSTRELO_CAN='" + bench(sub, motors) + "' '" + OSTRELO_CLI_BIN +
               "' upgrade --nodes 1-12 --history '" + db + "' --folder '" + dir + "' >'" + sub + "/out' 2>'" +
               sub + "/err' & p" + run + "=$!; ";
    }
    cmd += "wait $pa && wait $pb";
    ASSERT_EQ(system(cmd.c_str()), 0) << read_file(dir + "/a/err") << read_file(dir + "/b/err");
    const std::vector<jsoncheck::Value> entries = history_entries(dir, db);
    EXPECT_EQ(entries.size(), 24u);
    for (const jsoncheck::Value &e : entries) {
        EXPECT_EQ(e["outcome"].text, "ok") << e["id"].text;
    }
}

// A history that cannot be used is said in one line, and the upgrade goes
// on; a damaged file is kept aside, never overwritten.
TEST(CliHistoryRuns, HistoryThatCannotBeUsed) {
    const struct Case {
        const char *what;
        const char *says;
    } cases[] = {
        {"damaged", "is damaged"},
        {"unwritable", "cannot write"},
    };
    for (const Case &c : cases) {
        const std::string dir = work_dir();
        write_image(dir + "/" + kImage, 0x01000004u, 1024);
        std::string db = dir + "/history.sqlite";
        if (has(c.what, "damaged")) {
            std::ofstream(db, std::ios::binary) << std::string(8192, 'x');
        } else {
            std::ofstream(dir + "/file") << "a file, not a folder";
            db = dir + "/file/history.sqlite";
        }
        const CliRun r = run_cli(dir, "upgrade --nodes 1 --history '" + db + "' --folder '" + dir + "'",
                                 bench(dir, kMotor));
        EXPECT_EQ(r.rc, 0) << c.what << "\n" << r.err;
        EXPECT_TRUE(has(r.out, "1 ok, 0 failed")) << r.out;
        // The bench's own line, and the history's one.
        EXPECT_EQ(lines_of(r.err), 2u) << c.what << "\n" << r.err;
        EXPECT_TRUE(has(r.err, "history: ") && has(r.err, c.says)) << r.err;
        if (has(c.what, "damaged")) {
            const CliRun listed = run_cli(dir, "history --json --history '" + db + "'");
            EXPECT_EQ(json_of(listed.out)["entries"].items.size(), 1u) << "a new history began";
            EXPECT_EQ(system(("ls '" + db + "'.corrupt-* >/dev/null").c_str()), 0) << "kept aside";
        }
    }
}

// Every node id by default: a motor at node 120 is found without --nodes.
TEST(CliHistoryRuns, ScanAsksEveryNodeId) {
    const std::string dir = work_dir();
    const CliRun r = run_cli(dir, "scan --json --channels 0.0", bench(dir, "motor 0 0 120 type=9"));
    EXPECT_EQ(r.rc, 0) << r.err;
    const jsoncheck::Value doc = json_of(r.out);
    ASSERT_EQ(doc["motors"].items.size(), 1u) << r.out;
    EXPECT_EQ(doc["motors"].items[0]["node"].text, "120");
}

// A set-up error with --json is a JSON document too.
TEST(CliHistoryRuns, SetUpErrorAsJson) {
    const std::string dir = work_dir();
    const struct Case {
        const char *args;
        const char *error;
    } cases[] = {
        {"upgrade --json --folder /nonexistent-folder", "does not exist"},
        {"upgrade --json --channels 3.5 --folder /tmp", "cannot be brought up"},
        {"scan --json --channels 3.5", "cannot be brought up"},
        {"upgrade --json --bogus", "unknown option"},
    };
    for (const Case &c : cases) {
        const CliRun r = run_cli(dir, c.args);
        EXPECT_EQ(r.rc, 2) << c.args;
        const jsoncheck::Value doc = json_of(r.out);
        EXPECT_EQ(doc["state"].text, "not started") << c.args << "\n" << r.out;
        EXPECT_TRUE(has(doc["error"].text, c.error)) << c.args << "\n" << r.out;
    }
}

// The largest rig with nothing but a folder: every one of its 120 motors,
// node ids 1 to 120, is found and upgraded.
TEST(CliSlow, RigOf120MotorsWithoutNodes) {
    const std::string dir = work_dir();
    const std::string mkfw = std::string("'") + OSTRELO_MKFW_BIN + "' '" + dir + "/fw' >/dev/null";
    ASSERT_EQ(system(mkfw.c_str()), 0);
    const CliRun r = run_cli(dir, "upgrade --folder '" + dir + "/fw' --report '" + dir + "/r.json'",
                             std::string("sim:") + OSTRELO_RIG_SCENARIO);
    EXPECT_EQ(r.rc, 0) << r.err;
    const std::string record = read_file(dir + "/r.json");
    EXPECT_TRUE(has(record, "\"summary\":{\"motors\":120,\"ok\":120,\"failed\":0")) << r.out;
}
