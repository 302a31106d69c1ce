// ostrelo-cli history over a history this test writes, and the JSON of any
// file name: every document must be valid JSON in valid UTF-8, whatever
// bytes a name holds.
#include "cli_test_util.h"
#include "json_check.h"

#include "ostrelo_history.h"

using namespace clitest;

namespace {

struct Row {
    const char *started;
    uint32_t adapter, channel;
    uint8_t node;
    ostrelo_history_outcome_t outcome;
    std::string file = "4009_SingleTarsel_B0_V1_0_0_4.bin";
    std::string note = "";
};

const ostrelo_history_outcome_t OK = OSTRELO_HISTORY_OUTCOME_OK, FAILED = OSTRELO_HISTORY_OUTCOME_FAILED,
                                CUT = OSTRELO_HISTORY_OUTCOME_IN_PROGRESS,
                                STOPPED = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;

template <size_t N> void put(char (&dst)[N], const std::string &s) {
    snprintf(dst, N, "%s", s.c_str());
}

// A new history in `path` with `rows`, oldest first; their ids.
std::vector<int64_t> fill(const std::string &path, const std::vector<Row> &rows) {
    ostrelo_history_t *h = nullptr;
    EXPECT_EQ(ostrelo_history_open(path.c_str(), &h), OSTRELO_HISTORY_OK);
    std::vector<int64_t> ids;
    for (const Row &r : rows) {
        ostrelo_history_entry_t e;
        ostrelo_history_entry_init(&e);
        put(e.place.transport, "sim");
        e.place.adapter = r.adapter;
        e.place.can_channel = r.channel;
        e.place.node = r.node;
        e.identity_known = 1;
        e.identity.motorType = 9;
        put(e.identity.firmwareModel, "4009");
        put(e.identity.brakeSuffix, "B0");
        e.identity.encoderType = 1;
        put(e.identity.encoderName, "SingleTarsel");
        put(e.identity.filenameKey, "4009singletarselb0");
        e.have_version_before = 1;
        e.version_before = 0x01000003;
        put(e.file_name, r.file);
        put(e.file_path, "/fw/" + r.file);
        e.file_size = 4112;
        put(e.file_sha256, std::string(64, 'b'));
        e.have_file_crc = 1;
        e.file_crc = 0x42E9FE28;
        put(e.started_at, r.started);
        put(e.note, r.note);
        EXPECT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_OK);
        if (r.outcome != CUT) {
            const ostrelo_history_attempt_t lost = {
                1, "transfer", "no answer during the transfer (frames lost)", 0x05040000};
            const ostrelo_history_attempt_t done = {2, "done", "ok", 0};
            e.attempts[e.attempt_count++] = lost;
            if (r.outcome == OK) {
                e.attempts[e.attempt_count++] = done;
                e.have_version_after = 1;
                e.version_after = 0x01000004;
                e.have_device_crc = 1;
                e.device_crc = e.file_crc;
            }
            e.outcome = r.outcome;
            put(e.ended_at, std::string(r.started).replace(14, 2, "59"));
            EXPECT_EQ(ostrelo_history_finish(h, &e), OSTRELO_HISTORY_OK);
        }
        ids.push_back(e.id);
    }
    ostrelo_history_close(h);
    return ids;
}

jsoncheck::Value json_of(const std::string &doc) {
    jsoncheck::Value v;
    std::string error;
    EXPECT_TRUE(jsoncheck::parse(doc, &v, &error)) << error << "\n" << doc;
    return v;
}

// RFC 4180: fields split by commas, quoted fields may hold commas, quotes
// (doubled) and line ends.
std::vector<std::vector<std::string>> parse_csv(const std::string &text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        std::string &field = rows.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\n') {
            rows.emplace_back(1);
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "an unended quoted field";
    if (rows.back().size() == 1 && rows.back()[0].empty()) {
        rows.pop_back(); // the last line's end
    }
    return rows;
}

std::string hex_of(const std::string &s) {
    std::string out;
    char buf[4];
    for (unsigned char c : s) {
        snprintf(buf, sizeof(buf), "%02x", c);
        out += buf;
    }
    return out;
}

} // namespace

// Filters, newest first; the table by default.
TEST(CliHistory, FiltersNewestFirst) {
    const std::string dir = work_dir();
    const std::string db = dir + "/history.sqlite";
    const std::vector<int64_t> id = fill(db, {{"2026-12-01T08:00:00.000Z", 0, 0, 1, OK},
                                              {"2026-12-03T09:00:00.000Z", 0, 1, 5, FAILED},
                                              {"2026-12-05T10:00:00.000Z", 0, 1, 5, STOPPED},
                                              {"2026-12-05T12:30:00.000Z", 1, 0, 5, OK},
                                              {"2026-12-07T07:00:00.000Z", 0, 1, 3, CUT}});
    const struct {
        const char *filters;
        std::vector<int> rows; // indexes into `id`
    } cases[] = {
        {"", {4, 3, 2, 1, 0}},
        {"--since 2026-12-05", {4, 3, 2}},
        {"--since 2026-12-05T12:00", {4, 3}},
        {"--since 2026-12-05T12:30:00Z", {4, 3}},
        {"--channel 0.1", {4, 2, 1}},
        {"--node 5", {3, 2, 1}},
        {"--channel 0.1 --node 5 --outcome failed", {1}},
        {"--outcome 'in progress'", {4}},
        {"--outcome ok --since 2026-12-02", {3}},
        {"--node 9", {}},
    };
    for (const auto &c : cases) {
        const CliRun r = run_cli(dir, std::string("history --json --history '") + db + "' " + c.filters);
        ASSERT_EQ(r.rc, 0) << c.filters << "\n" << r.err;
        EXPECT_EQ(r.err, "");
        const jsoncheck::Value doc = json_of(r.out);
        EXPECT_EQ(doc["history"].text, db);
        std::vector<int64_t> got, want;
        for (const jsoncheck::Value &e : doc["entries"].items) {
            got.push_back(std::stoll(e["id"].text));
        }
        for (int i : c.rows) {
            want.push_back(id[static_cast<size_t>(i)]);
        }
        EXPECT_EQ(got, want) << c.filters;
    }
    // The table: a header, one line per upgrade, the count; OSTRELO_HISTORY
    // names the file when --history does not.
    const std::string cmd =
        "OSTRELO_HISTORY='" + db + "' '" + OSTRELO_CLI_BIN + "' history --node 5 > '" + dir + "/table.txt'";
    ASSERT_EQ(system(cmd.c_str()), 0);
    const std::string table = read_file(dir + "/table.txt");
    std::istringstream lines(table);
    std::string line;
    std::vector<std::string> all;
    while (std::getline(lines, line)) {
        all.push_back(line);
    }
    ASSERT_EQ(all.size(), 5u) << table;
    EXPECT_EQ(all[0].rfind("ID  STARTED (UTC)", 0), 0u) << all[0];
    EXPECT_NE(all[1].find("2026-12-05T12:30:00.000Z  1.0"), std::string::npos) << all[1];
    EXPECT_NE(all[1].find("1.0.0.3  1.0.0.4"), std::string::npos) << all[1];
    EXPECT_EQ(all[4], "3 upgrade(s) in " + db);
}

// Every field in both forms, the same names in the same order; any bytes in
// a name give valid JSON (U+FFFD for the bytes that are not UTF-8, the bytes
// themselves in hex beside it) and pass unchanged into CSV.
TEST(CliHistory, CsvAndJsonCarryEveryFieldAndAnyName) {
    const std::string dir = work_dir();
    const std::string db = dir + "/history.sqlite";
    const std::string fffd = "\xef\xbf\xbd";
    const struct {
        std::string name;
        std::string shown; // the JSON string's value
        bool hex;          // the raw name kept in file_hex
    } names[] = {
        {"plain.bin", "plain.bin", false},
        {"caf\xc3\xa9.bin", "caf\xc3\xa9.bin", false},
        {"\xe7\x94\xb5\xe6\x9c\xba.bin", "\xe7\x94\xb5\xe6\x9c\xba.bin", false},
        {"\xf0\x9f\x94\xa7.bin", "\xf0\x9f\x94\xa7.bin", false},
        {"q\"b\\s\x01\t.bin", "q\"b\\s\x01\t.bin", false},
        {"caf\xe9.bin", "caf" + fffd + ".bin", true},
        {"\xc0\xaf.bin", fffd + fffd + ".bin", true},                       // an overlong '/'
        {"\xed\xa0\x80.bin", fffd + fffd + fffd + ".bin", true},            // a surrogate
        {"\xe4\xb8.bin", fffd + fffd + ".bin", true},                       // a cut sequence
        {"\xf4\x90\x80\x80.bin", fffd + fffd + fffd + fffd + ".bin", true}, // above U+10FFFF
    };
    std::vector<Row> rows;
    std::vector<std::string> started;
    started.reserve(std::size(names)); // the rows point into it
    for (const auto &x : names) {
        started.push_back("2026-12-01T08:0" + std::to_string(started.size()) + ":00.000Z");
        Row r{started.back().c_str(), 0, 0, 1, started.size() % 2 ? OK : FAILED};
        r.file = x.name;
        r.note = "a note, with \"quotes\"\nand a second line";
        rows.push_back(r);
    }
    fill(db, rows);

    const CliRun j = run_cli(dir, "history --json --history '" + db + "'");
    ASSERT_EQ(j.rc, 0) << j.err;
    const jsoncheck::Value doc = json_of(j.out);
    const std::vector<jsoncheck::Value> &entries = doc["entries"].items;
    ASSERT_EQ(entries.size(), std::size(names));
    const CliRun c = run_cli(dir, "history --csv --history '" + db + "'");
    ASSERT_EQ(c.rc, 0) << c.err;
    const std::vector<std::vector<std::string>> csv = parse_csv(c.out);
    ASSERT_EQ(csv.size(), entries.size() + 1);
    std::vector<std::string> keys;
    for (const auto &m : entries[0].members) {
        keys.push_back(m.first);
    }
    EXPECT_EQ(csv[0], keys) << "the CSV header names the JSON fields";
    for (const char *field : {"id",        "started",       "ended",          "station",
                              "user",      "transport",     "adapter",        "adapter_serial",
                              "channel",   "can_channel",   "node",           "motor_type",
                              "model",     "brake_code",    "brake",          "encoder_code",
                              "encoder",   "key",           "version_before", "version_after",
                              "file",      "file_hex",      "path",           "path_hex",
                              "file_size", "file_sha256",   "file_crc",       "device_crc",
                              "outcome",   "attempt_count", "attempts",       "note"}) {
        EXPECT_TRUE(entries[0].has(field)) << field;
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto &x = names[entries.size() - 1 - i]; // newest first
        const jsoncheck::Value &e = entries[i];
        const std::vector<std::string> &row = csv[i + 1];
        ASSERT_EQ(row.size(), keys.size());
        auto col = [&](const std::string &k) {
            return row[static_cast<size_t>(std::find(keys.begin(), keys.end(), k) - keys.begin())];
        };
        EXPECT_EQ(e["file"].text, x.shown) << hex_of(x.name);
        EXPECT_EQ(e["path"].text, "/fw/" + x.shown);
        EXPECT_EQ(e["file_hex"].kind, x.hex ? jsoncheck::Value::String : jsoncheck::Value::Null);
        EXPECT_EQ(e["file_hex"].text, x.hex ? hex_of(x.name) : "null");
        EXPECT_EQ(e["path_hex"].text, x.hex ? hex_of("/fw/" + x.name) : "null");
        EXPECT_EQ(col("file"), x.name) << "CSV keeps the bytes";
        EXPECT_EQ(col("note"), "a note, with \"quotes\"\nand a second line");
        EXPECT_EQ(e["note"].text, col("note"));
        EXPECT_EQ(col("id"), e["id"].text);
        EXPECT_EQ(col("outcome"), e["outcome"].text);
    }
    // An upgrade that ended ok on its second attempt, in both forms.
    const jsoncheck::Value &ok = entries.back();
    EXPECT_EQ(ok["outcome"].text, "ok");
    EXPECT_EQ(ok["version_before"].text, "1.0.0.3");
    EXPECT_EQ(ok["version_after"].text, "1.0.0.4");
    EXPECT_EQ(ok["device_crc"].text, "0x42E9FE28");
    EXPECT_EQ(ok["channel"].text, "0.0");
    ASSERT_EQ(ok["attempts"].items.size(), 2u);
    EXPECT_EQ(ok["attempts"].items[0]["abort_code"].text, "0x05040000");
    EXPECT_EQ(ok["attempts"].items[1]["step"].text, "done");
    EXPECT_EQ(csv.back()[static_cast<size_t>(std::find(keys.begin(), keys.end(), "attempts") - keys.begin())],
              "1 transfer: no answer during the transfer (frames lost) (0x05040000); 2 done: ok");
}

// A history that is not there is empty (and not made); one that cannot be
// read is said in one line.
TEST(CliHistory, FilesItCannotRead) {
    const std::string dir = work_dir();
    const std::string garbage(8192, 'x');
    std::ofstream(dir + "/damaged.sqlite", std::ios::binary) << garbage;
    const struct {
        const char *file;
        int rc;
        const char *out, *err;
    } cases[] = {
        {"none.sqlite", 0, "no history yet at ", ""},
        {"damaged.sqlite", 2, "", "cannot read the history"},
    };
    for (const auto &c : cases) {
        const std::string path = dir + "/" + c.file;
        const std::string before = read_file(path);
        const CliRun r = run_cli(dir, "history --history '" + path + "'");
        EXPECT_EQ(r.rc, c.rc) << c.file << r.err;
        EXPECT_EQ(r.out.find(c.out), 0u) << r.out;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), c.err[0] ? 1 : 0) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(read_file(path), before) << c.file << ": left as it was";
        struct stat st;
        EXPECT_EQ(stat(path.c_str(), &st) == 0, !before.empty()) << c.file;
    }
}

// The record of a run whose file name is not UTF-8 stays valid JSON and
// keeps the name's bytes in hex.
TEST(CliRecord, FileNameThatIsNotUtf8) {
    const std::string dir = work_dir();
    const std::string name = "4009_SingleTarsel_B0_V1_0_0_4_caf\xe9.bin";
    std::ofstream(dir + "/" + name, std::ios::binary) << std::string(4112, '\x5a');
    const CliRun r = run_cli(dir, "upgrade --dry-run --json --channels 0.0 --nodes 1 --file '" + dir + "/" +
                                      name + "' --report '" + dir + "/r.json'");
    EXPECT_EQ(r.rc, 0) << r.err;
    for (const std::string &doc : {r.out, read_file(dir + "/r.json")}) {
        const jsoncheck::Value v = json_of(doc);
        ASSERT_EQ(v["motors"].items.size(), 1u) << doc;
        const jsoncheck::Value &m = v["motors"].items[0];
        EXPECT_EQ(m["file"].text, "4009_SingleTarsel_B0_V1_0_0_4_caf\xef\xbf\xbd.bin");
        EXPECT_EQ(m["file_hex"].text, hex_of(name));
        EXPECT_EQ(m["path_hex"].text, hex_of(dir + "/" + name));
        EXPECT_EQ(v["file"].text, dir + "/4009_SingleTarsel_B0_V1_0_0_4_caf\xef\xbf\xbd.bin");
    }
}
