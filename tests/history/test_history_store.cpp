// The history in its SQLite file: what goes in comes back, two writers at
// once lose nothing, a locked file is waited for, a damaged or unwritable
// one is said in one line and set aside, and the recovery finds the entry
// that did not end well.
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <set>
#include <sqlite3.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <vector>

#include "ostrelo_history.h"
#include "ostrelo_log.h"

namespace {

std::string work_dir() {
    const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
    const std::string dir =
        std::string(OSTRELO_HISTORY_WORKDIR) + "/" + t->test_suite_name() + "_" + t->name();
    EXPECT_EQ(system(("rm -rf '" + dir + "' && mkdir -p '" + dir + "'").c_str()), 0);
    return dir;
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

template <size_t N> void put(char (&dst)[N], const std::string &s) {
    snprintf(dst, N, "%s", s.c_str());
}

// The log lines of the history while it lives (all levels).
struct LogCapture {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::pair<ostrelo_log_level_t, std::string>> lines;
    LogCapture() {
        ostrelo_log_set_sink(
            [](ostrelo_log_level_t level, const char *text, void *user) {
                LogCapture *c = static_cast<LogCapture *>(user);
                std::lock_guard<std::mutex> lock(c->mutex);
                c->lines.emplace_back(level, text);
                c->changed.notify_all();
            },
            this);
    }
    ~LogCapture() { ostrelo_log_set_sink(nullptr, nullptr); }
    std::vector<std::string> warnings() {
        std::lock_guard<std::mutex> lock(mutex);
        std::vector<std::string> out;
        for (const auto &l : lines) {
            if (l.first >= OSTRELO_LOG_WARNING) {
                out.push_back(l.second);
            }
        }
        return out;
    }
    void wait_for(const std::string &part) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] {
            for (const auto &l : lines) {
                if (l.second.find(part) != std::string::npos) {
                    return true;
                }
            }
            return false;
        });
    }
};

// A motor's upgrade as the programs will record it.
ostrelo_history_entry_t entry(uint32_t adapter, uint32_t channel, uint8_t node,
                              const char *transport = "sim") {
    ostrelo_history_entry_t e;
    ostrelo_history_entry_init(&e);
    put(e.place.transport, transport);
    e.place.adapter = adapter;
    e.place.can_channel = channel;
    e.place.node = node;
    e.identity_known = 1;
    e.identity.motorType = 26;
    put(e.identity.firmwareModel, "80026");
    e.identity.brakeType = 0;
    put(e.identity.brakeSuffix, "B0");
    e.identity.encoderType = 3;
    put(e.identity.encoderName, "DoubleBrisca");
    put(e.identity.filenameKey, "80026doublebriscab0");
    e.have_version_before = 1;
    e.version_before = 0x02000105;
    put(e.file_name, "80026_DoubleBrisca_B0_V2_0_1_6.bin");
    put(e.file_path, "/fw/80026_DoubleBrisca_B0_V2_0_1_6.bin");
    e.file_size = 49168;
    put(e.file_sha256, std::string(64, 'a'));
    e.have_file_crc = 1;
    e.file_crc = 0xA8C39D24;
    return e;
}

ostrelo_history_t *open_ok(const std::string &path) {
    ostrelo_history_t *h = nullptr;
    EXPECT_EQ(ostrelo_history_open(path.c_str(), &h), OSTRELO_HISTORY_OK) << path;
    return h;
}

int visit_collect(const ostrelo_history_entry_t *e, void *user) {
    static_cast<std::vector<ostrelo_history_entry_t> *>(user)->push_back(*e);
    return 0;
}

std::vector<ostrelo_history_entry_t> all_entries(ostrelo_history_t *h) {
    std::vector<ostrelo_history_entry_t> out;
    EXPECT_GE(ostrelo_history_list(h, nullptr, visit_collect, &out), 0);
    return out;
}

// Begins and finishes `n` upgrades on node 1..127 in turn; false at the
// first failure.
bool write_entries(ostrelo_history_t *h, int n, const std::string &tag) {
    for (int i = 0; i < n; ++i) {
        ostrelo_history_entry_t e = entry(0, 0, static_cast<uint8_t>(i % 127 + 1));
        put(e.note, tag + " " + std::to_string(i));
        ostrelo_history_attempt_t a = {1, "done", "ok", 0};
        if (ostrelo_history_begin(h, &e) != OSTRELO_HISTORY_OK ||
            ostrelo_history_add_attempt(h, e.id, &a) != OSTRELO_HISTORY_OK) {
            return false;
        }
        e.outcome = OSTRELO_HISTORY_OUTCOME_OK;
        if (ostrelo_history_finish(h, &e) != OSTRELO_HISTORY_OK) {
            return false;
        }
    }
    return true;
}

// Rows whose note begins with `tag`, all finished.
size_t finished_with(const std::vector<ostrelo_history_entry_t> &all, const std::string &tag) {
    std::set<std::string> notes;
    for (const ostrelo_history_entry_t &e : all) {
        if (std::string(e.note).rfind(tag + " ", 0) == 0 && e.outcome == OSTRELO_HISTORY_OUTCOME_OK &&
            e.attempt_count == 1) {
            notes.insert(e.note);
        }
    }
    return notes.size();
}

} // namespace

// Begin, attempts, finish: every field comes back; an upgrade that was never
// finished stays in progress, also for the next program that opens the file.
TEST(HistoryStore, RoundTripAndAnEntryLeftInProgress) {
    const std::string path = work_dir() + "/a/b/history.sqlite"; // folders made as needed
    ostrelo_history_t *h = open_ok(path);
    ASSERT_NE(h, nullptr);

    ostrelo_history_entry_t done = entry(1, 0, 5);
    put(done.place.adapter_serial, "31F00012");
    ASSERT_EQ(ostrelo_history_begin(h, &done), OSTRELO_HISTORY_OK);
    EXPECT_GT(done.id, 0);
    EXPECT_EQ(strlen(done.started_at), 24u) << done.started_at;
    const ostrelo_history_attempt_t first = {1, "transfer", "no answer during the transfer (frames lost)",
                                             0x05040000};
    ASSERT_EQ(ostrelo_history_add_attempt(h, done.id, &first), OSTRELO_HISTORY_OK);
    done.outcome = OSTRELO_HISTORY_OUTCOME_OK;
    done.have_version_after = 1;
    done.version_after = 0x02000106;
    done.have_device_crc = 1;
    done.device_crc = 0xA8C39D24;
    put(done.note, "resumed from history entry 7");

    ostrelo_history_entry_t cut = entry(0, 1, 3);
    cut.identity_known = 0; // found only in its bootloader
    cut.have_version_before = 0;
    ASSERT_EQ(ostrelo_history_begin(h, &cut), OSTRELO_HISTORY_OK);
    ASSERT_EQ(ostrelo_history_finish(h, &done), OSTRELO_HISTORY_OK); // attempts written so far stay
    EXPECT_EQ(ostrelo_history_add_attempt(h, 9999, &first), OSTRELO_HISTORY_NOT_FOUND);
    ostrelo_history_close(h);

    ostrelo_history_t *r = nullptr;
    ASSERT_EQ(ostrelo_history_open_read(path.c_str(), &r), OSTRELO_HISTORY_OK);
    const std::vector<ostrelo_history_entry_t> all = all_entries(r);
    ASSERT_EQ(all.size(), 2u);
    const ostrelo_history_entry_t &c = all[0]; // newest first
    const ostrelo_history_entry_t &d = all[1];
    EXPECT_EQ(c.id, cut.id);
    EXPECT_EQ(c.outcome, OSTRELO_HISTORY_OUTCOME_IN_PROGRESS);
    EXPECT_STREQ(c.ended_at, "");
    EXPECT_EQ(c.identity_known, 0);
    EXPECT_EQ(c.have_version_before, 0);
    EXPECT_EQ(c.attempt_count, 0u);

    EXPECT_EQ(d.id, done.id);
    EXPECT_STREQ(d.station, done.station);
    EXPECT_STREQ(d.user, done.user);
    EXPECT_STREQ(d.place.transport, "sim");
    EXPECT_EQ(d.place.adapter, 1u);
    EXPECT_STREQ(d.place.adapter_serial, "31F00012");
    EXPECT_EQ(d.place.can_channel, 0u);
    EXPECT_EQ(d.place.node, 5);
    EXPECT_EQ(d.identity_known, 1);
    EXPECT_EQ(d.identity.motorType, 26);
    EXPECT_STREQ(d.identity.firmwareModel, "80026");
    EXPECT_STREQ(d.identity.brakeSuffix, "B0");
    EXPECT_EQ(d.identity.encoderType, 3);
    EXPECT_STREQ(d.identity.encoderName, "DoubleBrisca");
    EXPECT_STREQ(d.identity.filenameKey, "80026doublebriscab0");
    EXPECT_EQ(d.version_before, 0x02000105u);
    EXPECT_EQ(d.version_after, 0x02000106u);
    EXPECT_STREQ(d.file_name, done.file_name);
    EXPECT_STREQ(d.file_path, done.file_path);
    EXPECT_EQ(d.file_size, 49168u);
    EXPECT_STREQ(d.file_sha256, done.file_sha256);
    EXPECT_EQ(d.file_crc, 0xA8C39D24u);
    EXPECT_EQ(d.have_device_crc, 1);
    EXPECT_EQ(d.device_crc, 0xA8C39D24u);
    EXPECT_EQ(d.outcome, OSTRELO_HISTORY_OUTCOME_OK);
    EXPECT_STREQ(d.started_at, done.started_at);
    EXPECT_STREQ(d.ended_at, done.ended_at);
    EXPECT_STREQ(d.note, "resumed from history entry 7");
    ASSERT_EQ(d.attempt_count, 1u);
    EXPECT_STREQ(d.attempts[0].step, "transfer");
    EXPECT_EQ(d.attempts[0].abort_code, 0x05040000u);
    EXPECT_EQ(ostrelo_history_begin(r, &cut), OSTRELO_HISTORY_BAD_ARGUMENT) << "a reader writes nothing";
    ostrelo_history_close(r);

    // The end replaces the attempts when it carries them.
    h = open_ok(path);
    done.attempt_count = 0;
    client_upgrade_result_t res;
    memset(&res, 0, sizeof(res));
    res.attempts = 1;
    res.step = CLIENT_UPGRADE_STEP_DONE;
    ostrelo_history_add_result(&done, &res);
    ASSERT_EQ(ostrelo_history_finish(h, &done), OSTRELO_HISTORY_OK);
    ostrelo_history_entry_t again;
    ASSERT_EQ(ostrelo_history_get(h, done.id, &again), OSTRELO_HISTORY_OK);
    ASSERT_EQ(again.attempt_count, 1u);
    EXPECT_STREQ(again.attempts[0].step, "done");
    EXPECT_EQ(ostrelo_history_get(h, 9999, &again), OSTRELO_HISTORY_NOT_FOUND);
    ostrelo_history_close(h);

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt *s = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(s, 0), OSTRELO_HISTORY_SCHEMA_VERSION);
    sqlite3_finalize(s);
    sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &s, nullptr);
    ASSERT_EQ(sqlite3_step(s), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char *>(sqlite3_column_text(s, 0)), "wal");
    sqlite3_finalize(s);
    sqlite3_close(db);
}

// Two connections in two threads, and two processes, write at once: every
// row is there, whole.
TEST(HistoryStore, TwoWritersAtOnceLoseNoRow) {
    const std::string dir = work_dir();
    const std::string path = dir + "/history.sqlite";
    constexpr int kRows = 60;
    ostrelo_history_t *a = open_ok(path);
    ostrelo_history_t *b = open_ok(path);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    // Rows are counted, not waits: a writer that loses every race for the
    // lock to a busy disk must not give up.
    ostrelo_history_set_busy_wait(a, 60000);
    ostrelo_history_set_busy_wait(b, 60000);
    bool okA = false, okB = false;
    std::thread ta([&] { okA = write_entries(a, kRows, "thread-a"); });
    std::thread tb([&] { okB = write_entries(b, kRows, "thread-b"); });
    ta.join();
    tb.join();
    EXPECT_TRUE(okA);
    EXPECT_TRUE(okB);
    ostrelo_history_close(b);

    const std::string writer =
        std::string(OSTRELO_HISTORY_WRITER) + " '" + path + "' " + std::to_string(kRows);
    const int st = system((writer + " proc-a & p=$!; " + writer +
                           " proc-b & q=$!; a=0; wait $p || a=1; wait $q || a=1; exit $a")
                              .c_str());
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "a writer process failed";

    const std::vector<ostrelo_history_entry_t> all = all_entries(a);
    EXPECT_EQ(all.size(), 4u * kRows);
    for (const char *tag : {"thread-a", "thread-b", "proc-a", "proc-b"}) {
        EXPECT_EQ(finished_with(all, tag), static_cast<size_t>(kRows)) << tag;
    }
    ostrelo_history_close(a);
}

// A change waits while another writer holds the file, and goes in once it
// lets go; past the wait it fails with one line and the caller goes on.
TEST(HistoryStore, LockedDatabaseIsWaitedFor) {
    const std::string path = work_dir() + "/history.sqlite";
    LogCapture log;
    ostrelo_history_t *h = open_ok(path);
    ASSERT_NE(h, nullptr);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);

    ostrelo_history_set_busy_wait(h, 60000); // however slow this machine is just now
    ostrelo_history_entry_t e = entry(0, 0, 1);
    int rc = -100;
    std::thread t([&] { rc = ostrelo_history_begin(h, &e); });
    log.wait_for("is in use by another writer"); // it is waiting now
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    t.join();
    EXPECT_EQ(rc, OSTRELO_HISTORY_OK);
    EXPECT_TRUE(log.warnings().empty());

    ostrelo_history_set_busy_wait(h, 50);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    ostrelo_history_entry_t f = entry(0, 0, 2);
    EXPECT_EQ(ostrelo_history_begin(h, &f), OSTRELO_HISTORY_BUSY);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    const std::vector<std::string> w = log.warnings();
    ASSERT_EQ(w.size(), 1u);
    EXPECT_NE(w[0].find("stayed locked by another writer"), std::string::npos) << w[0];
    EXPECT_EQ(all_entries(h).size(), 1u);
    sqlite3_close(other);
    ostrelo_history_close(h);
}

// A damaged file is said in one line and kept aside byte for byte, and a new
// history begins; a file that cannot be written, or one of a newer program,
// is said in one line and the caller goes on without a handle.
TEST(HistoryStore, DamagedOrUnwritableFile) {
    const std::string dir = work_dir();
    // A sound history with one entry, to damage.
    const std::string sound = dir + "/sound.sqlite";
    ostrelo_history_t *h = open_ok(sound);
    ostrelo_history_entry_t e = entry(0, 0, 1);
    ASSERT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_OK);
    ostrelo_history_close(h);
    const std::string soundBytes = read_file(sound);
    ASSERT_GE(soundBytes.size(), 3 * 4096u);

    const struct {
        const char *what;
        std::string bytes; // the file's content ("" with `asFolder`)
        bool asFolder;     // the history's folder is a file
        int result;        // of the open
        const char *line;  // in the one warning
    } cases[] = {
        {"not a database", std::string(8192, 'x'), false, OSTRELO_HISTORY_OK, "kept as"},
        {"a damaged page", soundBytes.substr(0, 4096) + std::string(4096, '\xff') + soundBytes.substr(8192),
         false, OSTRELO_HISTORY_OK, "kept as"},
        {"its folder is a file", "", true, OSTRELO_HISTORY_UNWRITABLE, "cannot write"},
        {"a newer program's", "", false, OSTRELO_HISTORY_TOO_NEW, "written by a newer program"},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string sub = dir + "/case" + std::to_string(++n);
        ASSERT_EQ(system(("mkdir -p '" + sub + "'").c_str()), 0);
        std::string path = sub + "/history.sqlite";
        if (c.asFolder) {
            std::ofstream(sub + "/file") << "x";
            path = sub + "/file/history.sqlite";
        } else if (!c.bytes.empty()) {
            std::ofstream(path, std::ios::binary) << c.bytes;
        } else {
            sqlite3 *db = nullptr;
            sqlite3_open(path.c_str(), &db);
            sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
            sqlite3_close(db);
        }
        const std::string before = read_file(path);
        LogCapture log;
        ostrelo_history_t *x = reinterpret_cast<ostrelo_history_t *>(1);
        EXPECT_EQ(ostrelo_history_open(path.c_str(), &x), c.result) << c.what;
        const std::vector<std::string> w = log.warnings();
        ASSERT_EQ(w.size(), 1u) << c.what;
        EXPECT_NE(w[0].find(c.line), std::string::npos) << c.what << ": " << w[0];
        EXPECT_EQ(std::count(w[0].begin(), w[0].end(), '\n'), 1) << w[0];
        ostrelo_history_entry_t f = entry(0, 0, 2);
        if (c.result != OSTRELO_HISTORY_OK) {
            EXPECT_EQ(x, nullptr);
            EXPECT_EQ(ostrelo_history_begin(x, &f), OSTRELO_HISTORY_UNAVAILABLE) << "the caller goes on";
            if (!c.asFolder) {
                EXPECT_EQ(read_file(path), before) << c.what << ": left as it was";
            }
            continue;
        }
        // Kept aside whole, under the name the line gives; the new one works.
        const std::string aside =
            w[0].substr(w[0].find("kept as ") + 8, w[0].find(", a new") - w[0].find("kept as ") - 8);
        EXPECT_EQ(aside.rfind(path + ".corrupt-", 0), 0u) << aside;
        EXPECT_EQ(read_file(aside), before) << c.what;
        EXPECT_EQ(ostrelo_history_begin(x, &f), OSTRELO_HISTORY_OK);
        EXPECT_EQ(all_entries(x).size(), 1u);
        EXPECT_EQ(log.warnings().size(), 1u);
        ostrelo_history_close(x);
    }
}

// The recovery's lookup: the newest entry at the same place, when it did not
// end ok and is young enough.
TEST(HistoryStore, RecoveryLookup) {
    struct Row {
        uint32_t adapter, channel;
        uint8_t node;
        const char *serial;
        const char *transport;
        int daysAgo;
        ostrelo_history_outcome_t outcome;
    };
    const ostrelo_history_outcome_t OK = OSTRELO_HISTORY_OUTCOME_OK, FAILED = OSTRELO_HISTORY_OUTCOME_FAILED,
                                    CUT = OSTRELO_HISTORY_OUTCOME_IN_PROGRESS,
                                    STOPPED = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;
    const struct {
        const char *what;
        std::vector<Row> rows; // oldest first
        uint32_t maxDays;
        int expect; // index of the entry found, -1 none
    } cases[] = {
        {"the newest unfinished", {{0, 1, 5, "", "sim", 3, FAILED}, {0, 1, 5, "", "sim", 1, CUT}}, 0, 1},
        {"interrupted counts", {{0, 1, 5, "", "sim", 1, STOPPED}}, 0, 0},
        {"older than the limit", {{0, 1, 5, "", "sim", 31, FAILED}}, 0, -1},
        {"a limit of its own", {{0, 1, 5, "", "sim", 3, FAILED}}, 2, -1},
        {"ok only", {{0, 1, 5, "", "sim", 1, OK}}, 0, -1},
        {"ok after the failure settles it",
         {{0, 1, 5, "", "sim", 2, FAILED}, {0, 1, 5, "", "sim", 1, OK}},
         0,
         -1},
        {"a failure after ok", {{0, 1, 5, "", "sim", 2, OK}, {0, 1, 5, "", "sim", 1, FAILED}}, 0, 1},
        {"other channel, node, adapter, transport",
         {{0, 1, 5, "", "sim", 5, FAILED},
          {0, 0, 5, "", "sim", 1, FAILED},
          {0, 1, 6, "", "sim", 1, FAILED},
          {1, 1, 5, "", "sim", 1, FAILED},
          {0, 1, 5, "", "socketcan:0.1=can1", 1, FAILED}},
         0,
         0},
        {"an adapter with a serial is not one without", {{0, 1, 5, "31F00012", "sim", 1, FAILED}}, 0, -1},
    };
    int n = 0;
    for (const auto &c : cases) {
        const std::string path = work_dir() + "/h" + std::to_string(++n) + ".sqlite";
        ostrelo_history_t *h = open_ok(path);
        ASSERT_NE(h, nullptr);
        std::vector<int64_t> ids;
        for (const Row &r : c.rows) {
            ostrelo_history_entry_t e = entry(r.adapter, r.channel, r.node, r.transport);
            put(e.place.adapter_serial, r.serial);
            // Days ago, to the hour: "2026-12-06T10:…" from a time 3 days back.
            const time_t t = time(nullptr) - static_cast<time_t>(r.daysAgo) * 86400;
            struct tm tm;
            gmtime_r(&t, &tm);
            strftime(e.started_at, sizeof(e.started_at), "%Y-%m-%dT%H:%M:%S.000Z", &tm);
            ASSERT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_OK);
            if (r.outcome != CUT) {
                e.outcome = r.outcome;
                ASSERT_EQ(ostrelo_history_finish(h, &e), OSTRELO_HISTORY_OK);
            }
            ids.push_back(e.id);
        }
        ostrelo_history_place_t place;
        memset(&place, 0, sizeof(place));
        put(place.transport, "sim");
        place.can_channel = 1;
        place.node = 5;
        ostrelo_history_entry_t found;
        const int rc = ostrelo_history_find_unfinished(h, &place, c.maxDays, &found);
        if (c.expect < 0) {
            EXPECT_EQ(rc, OSTRELO_HISTORY_NOT_FOUND) << c.what;
        } else {
            ASSERT_EQ(rc, OSTRELO_HISTORY_OK) << c.what;
            EXPECT_EQ(found.id, ids[static_cast<size_t>(c.expect)]) << c.what;
            EXPECT_STREQ(found.file_path, "/fw/80026_DoubleBrisca_B0_V2_0_1_6.bin");
            EXPECT_STREQ(found.identity.filenameKey, "80026doublebriscab0");
        }
        ostrelo_history_close(h);
    }
    // An adapter that reports a serial is found by it, whatever its index.
    const std::string path = work_dir() + "/serial.sqlite";
    ostrelo_history_t *h = open_ok(path);
    ostrelo_history_entry_t e = entry(2, 1, 5);
    put(e.place.adapter_serial, "31F00012");
    ASSERT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_OK);
    ostrelo_history_place_t place = e.place;
    place.adapter = 0;
    ostrelo_history_entry_t found;
    EXPECT_EQ(ostrelo_history_find_unfinished(h, &place, 0, &found), OSTRELO_HISTORY_OK);
    put(place.adapter_serial, "31F00013");
    EXPECT_EQ(ostrelo_history_find_unfinished(h, &place, 0, &found), OSTRELO_HISTORY_NOT_FOUND);
    ostrelo_history_close(h);
}
