// The history's parts without a database (also in the Windows build, which
// has no SQLite): SHA-256, the history's place, the attempts of a run.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ostrelo_history.h"

namespace {

std::string sha_hex(const std::string &data, size_t chunk) {
    ostrelo_sha256_t c;
    ostrelo_sha256_init(&c);
    for (size_t at = 0; at < data.size(); at += chunk) {
        ostrelo_sha256_update(&c, data.data() + at, std::min(chunk, data.size() - at));
    }
    uint8_t digest[32];
    ostrelo_sha256_final(&c, digest);
    char hex[65];
    ostrelo_sha256_hex(digest, hex);
    return hex;
}

void set_env(const char *name, const char *value) {
#ifdef _WIN32
    _putenv_s(name, value != nullptr ? value : "");
#else
    value != nullptr ? setenv(name, value, 1) : unsetenv(name);
#endif
}

} // namespace

// FIPS 180-4's examples (and the NIST test vectors for the empty message and
// a million 'a'), fed whole and in pieces that straddle the 64-byte blocks
// and the padding's 56-byte boundary.
TEST(Sha256, StandardVectors) {
    const struct {
        std::string message;
        const char *digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrst"
         "nopqrstu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto &c : cases) {
        for (size_t chunk :
             {c.message.size() + 1, size_t{1}, size_t{55}, size_t{63}, size_t{65}, size_t{4096}}) {
            EXPECT_EQ(sha_hex(c.message, chunk), c.digest)
                << c.message.size() << " bytes in pieces of " << chunk;
        }
    }
    // The file form reads the same bytes, and says how many.
    const std::string path = testing::TempDir() + "sha256-abc.bin";
    FILE *f = fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr);
    fwrite("abc", 1, 3, f);
    fclose(f);
    char hex[65];
    uint64_t size = 0;
    ASSERT_EQ(ostrelo_sha256_file(path.c_str(), hex, &size), 0);
    EXPECT_STREQ(hex, cases[1].digest);
    EXPECT_EQ(size, 3u);
    // A record's file fields: name, size, SHA-256 and CRC-32 from one call.
    ostrelo_history_entry_t e;
    ostrelo_history_entry_init(&e);
    ASSERT_EQ(ostrelo_history_describe_file(&e, path.c_str()), 0);
    EXPECT_STREQ(e.file_name, "sha256-abc.bin");
    EXPECT_EQ(e.file_path, path);
    EXPECT_EQ(e.file_size, 3u);
    EXPECT_STREQ(e.file_sha256, cases[1].digest);
    EXPECT_EQ(e.have_file_crc, 1);
    EXPECT_EQ(e.file_crc, 0x352441C2u); // CRC-32 of "abc"
    EXPECT_EQ(ostrelo_history_describe_file(&e, (path + ".missing").c_str()), -1);
    EXPECT_STREQ(e.file_name, "");
    EXPECT_EQ(ostrelo_sha256_file((path + ".missing").c_str(), hex, &size), -1);
    EXPECT_EQ(ostrelo_sha256_file(testing::TempDir().c_str(), hex, &size), -1) << "a folder is no file";
    remove(path.c_str());
}

// Both programs must find the same file: the variable, the XDG folder, the
// home folder, in that order.
TEST(HistoryPlace, DefaultPath) {
    const struct {
        const char *history, *xdg, *home, *local;
        const char *expect; // nullptr: no place
    } cases[] = {
#ifdef _WIN32
        {"C:\\h.sqlite", nullptr, nullptr, "C:\\L", "C:\\h.sqlite"},
        {nullptr, nullptr, nullptr, "C:\\L", "C:\\L\\ostrelo\\history.sqlite"},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
#else
        {"/x/h.sqlite", "/d", "/home/u", nullptr, "/x/h.sqlite"},
        {"", "/d", "/home/u", nullptr, "/d/ostrelo/history.sqlite"},
        {nullptr, "relative", "/home/u", nullptr, "/home/u/.local/share/ostrelo/history.sqlite"},
        {nullptr, nullptr, "/home/u", nullptr, "/home/u/.local/share/ostrelo/history.sqlite"},
        {nullptr, nullptr, nullptr, nullptr, nullptr},
#endif
    };
    const char *names[] = {"OSTRELO_HISTORY", "XDG_DATA_HOME", "HOME", "LOCALAPPDATA"};
    std::string saved[4];
    bool had[4];
    for (int i = 0; i < 4; ++i) {
        const char *v = getenv(names[i]);
        had[i] = v != nullptr;
        saved[i] = v != nullptr ? v : "";
    }
    for (const auto &c : cases) {
        const char *values[] = {c.history, c.xdg, c.home, c.local};
        for (int i = 0; i < 4; ++i) {
            set_env(names[i], values[i]);
        }
        char out[OSTRELO_HISTORY_PATH_MAX];
        const int rc = ostrelo_history_default_path(out, sizeof(out));
        if (c.expect == nullptr) {
            EXPECT_EQ(rc, -1);
        } else {
            EXPECT_EQ(rc, 0);
            EXPECT_STREQ(out, c.expect);
        }
    }
    for (int i = 0; i < 4; ++i) {
        set_env(names[i], had[i] ? saved[i].c_str() : nullptr);
    }
    char tiny[4];
    EXPECT_EQ(ostrelo_history_default_path(tiny, sizeof(tiny)), -1) << "a path cut short is no path";
}

// A run's attempts as the history keeps them: every failed attempt's cause,
// and the last attempt also when it succeeded or failed before any attempt;
// a second run goes on counting.
TEST(HistoryAttempts, FromUpgradeResults) {
    auto result = [](client_upgrade_reason_t reason, client_upgrade_step_t step, uint32_t attempts,
                     std::initializer_list<client_upgrade_cause_t> causes) {
        client_upgrade_result_t r;
        memset(&r, 0, sizeof(r));
        r.reason = reason;
        r.step = step;
        r.attempts = attempts;
        for (const client_upgrade_cause_t &c : causes) {
            r.causes[r.causeCount++] = c;
        }
        return r;
    };
    const client_upgrade_cause_t lost = {CLIENT_UPGRADE_STEP_TRANSFER, CLIENT_UPGRADE_NO_RESPONSE,
                                         0x05040000u};
    const client_upgrade_cause_t crc = {CLIENT_UPGRADE_STEP_VERIFY, CLIENT_UPGRADE_CRC_MISMATCH, 0};
    const struct {
        const char *what;
        client_upgrade_result_t r;
        const char *expect; // attempt step/reason/code; ...
    } cases[] = {
        {"ok at once", result(CLIENT_UPGRADE_OK, CLIENT_UPGRADE_STEP_DONE, 1, {}), "1 done/ok/0"},
        {"ok on the third", result(CLIENT_UPGRADE_OK, CLIENT_UPGRADE_STEP_DONE, 3, {lost, crc}),
         "1 transfer/no answer during the transfer (frames lost)/5040000 2 CRC check/CRC mismatch/0 3 done/ok/0"},
        {"failed twice", result(CLIENT_UPGRADE_CRC_MISMATCH, CLIENT_UPGRADE_STEP_VERIFY, 2, {lost, crc}),
         "1 transfer/no answer during the transfer (frames lost)/5040000 2 CRC check/CRC mismatch/0"},
        {"no attempt: the file", result(CLIENT_UPGRADE_FILE_UNREADABLE, CLIENT_UPGRADE_STEP_NONE, 0, {}),
         "1 preparation/the file cannot be read/0"},
    };
    for (const auto &c : cases) {
        ostrelo_history_entry_t e;
        ostrelo_history_entry_init(&e);
        ostrelo_history_add_result(&e, &c.r);
        std::string got;
        for (uint32_t i = 0; i < e.attempt_count; ++i) {
            char buf[256];
            snprintf(buf, sizeof(buf), "%s%u %s/%s/%x", i ? " " : "", e.attempts[i].attempt,
                     e.attempts[i].step, e.attempts[i].reason, e.attempts[i].abort_code);
            got += buf;
        }
        EXPECT_EQ(got, c.expect) << c.what;
    }
    ostrelo_history_entry_t e;
    ostrelo_history_entry_init(&e);
    EXPECT_NE(e.station[0], '\0') << "the station is the host name";
    ostrelo_history_add_result(&e, &cases[2].r);
    ostrelo_history_add_result(&e, &cases[0].r);
    ASSERT_EQ(e.attempt_count, 3u);
    EXPECT_EQ(e.attempts[2].attempt, 3u) << "a second run of the same upgrade counts on";
}

#ifdef OSTRELO_HISTORY_WITHOUT_STORE
// Without SQLite (the Windows build) every call says so and nothing breaks.
TEST(HistoryStore, UnavailableWithoutSqlite) {
    EXPECT_EQ(ostrelo_history_available(), 0);
    ostrelo_history_t *h = reinterpret_cast<ostrelo_history_t *>(1);
    EXPECT_EQ(ostrelo_history_open(nullptr, &h), OSTRELO_HISTORY_UNAVAILABLE);
    EXPECT_EQ(h, nullptr);
    ostrelo_history_entry_t e;
    ostrelo_history_entry_init(&e);
    e.place.node = 1;
    EXPECT_EQ(ostrelo_history_begin(h, &e), OSTRELO_HISTORY_UNAVAILABLE);
    ostrelo_history_close(h);
}
#endif
