// The history in an SQLite file: two tables (upgrades, attempts), WAL, one
// IMMEDIATE transaction per change, a bounded wait for other writers, and a
// damaged file set aside instead of overwritten.
#include "history_internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>

#include "ostrelo_log.h"
#include "ostrelo_time.h"

struct ostrelo_history {
    sqlite3 *db = nullptr;
    std::string path;
    std::recursive_mutex mutex; // a visitor of a listing may call back
    uint32_t busyMs = OSTRELO_HISTORY_BUSY_WAIT_MS;
    uint32_t waitStart = 0;
    unsigned said = 0; // the failures already said, one bit per result
    int broken = 0;    // a damaged file found after the open: nothing more is tried
    bool readOnly = false;
};

namespace {

const char kSchema[] = "CREATE TABLE upgrades ("
                       " id INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " station TEXT NOT NULL,"
                       " user_name TEXT NOT NULL,"
                       " transport TEXT NOT NULL,"
                       " adapter INTEGER NOT NULL,"
                       " adapter_serial TEXT NOT NULL,"
                       " can_channel INTEGER NOT NULL,"
                       " node INTEGER NOT NULL,"
                       " motor_type INTEGER,"
                       " model TEXT,"
                       " brake_code INTEGER,"
                       " brake TEXT,"
                       " encoder_code INTEGER,"
                       " encoder TEXT,"
                       " filename_key TEXT,"
                       " version_before TEXT,"
                       " version_after TEXT,"
                       " file TEXT NOT NULL,"
                       " path TEXT NOT NULL,"
                       " file_size INTEGER NOT NULL,"
                       " file_sha256 TEXT NOT NULL,"
                       " file_crc TEXT,"
                       " device_crc TEXT,"
                       " outcome TEXT NOT NULL,"
                       " started_at TEXT NOT NULL,"
                       " ended_at TEXT,"
                       " note TEXT NOT NULL);"
                       "CREATE TABLE attempts ("
                       " upgrade_id INTEGER NOT NULL REFERENCES upgrades(id) ON DELETE CASCADE,"
                       " attempt INTEGER NOT NULL,"
                       " step TEXT NOT NULL,"
                       " reason TEXT NOT NULL,"
                       " abort_code TEXT,"
                       " PRIMARY KEY (upgrade_id, attempt));"
                       "CREATE INDEX upgrades_by_place ON upgrades(node, can_channel, adapter, started_at);"
                       "CREATE INDEX upgrades_by_start ON upgrades(started_at);";

const char kColumns[] = "id, station, user_name, transport, adapter, adapter_serial, can_channel, node, "
                        "motor_type, model, brake_code, brake, encoder_code, encoder, filename_key, "
                        "version_before, version_after, file, path, file_size, file_sha256, file_crc, "
                        "device_crc, outcome, started_at, ended_at, note";

// A prepared statement, finalized when it goes out of scope.
class Stmt {
  public:
    Stmt(sqlite3 *db, const char *sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &s_, nullptr); }
    ~Stmt() { sqlite3_finalize(s_); }
    Stmt(const Stmt &) = delete;
    Stmt &operator=(const Stmt &) = delete;
    int rc() const { return rc_; }
    sqlite3_stmt *get() { return s_; }
    // Binds the text of a field that may lack its NUL within `size`.
    void text(int i, const char *s, size_t size) {
        sqlite3_bind_text(s_, i, s, static_cast<int>(strnlen(s, size)), SQLITE_TRANSIENT);
    }
    template <size_t N> void text(int i, const char (&s)[N]) { text(i, s, N); }
    void text(int i, const std::string &s) {
        sqlite3_bind_text(s_, i, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
    void num(int i, int64_t v) { sqlite3_bind_int64(s_, i, v); }
    void null(int i) { sqlite3_bind_null(s_, i); }
    void opt_text(int i, bool have, const std::string &s) { have ? text(i, s) : null(i); }
    // SQLITE_ROW, SQLITE_DONE or the failure.
    int step() {
        if (rc_ != SQLITE_OK) {
            return rc_;
        }
        const int rc = sqlite3_step(s_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
            rc_ = rc;
        }
        return rc;
    }
    int run() {
        const int rc = step();
        return rc == SQLITE_DONE || rc == SQLITE_ROW ? SQLITE_OK : rc;
    }
    void reset() {
        sqlite3_reset(s_);
        sqlite3_clear_bindings(s_);
    }
    std::string col_text(int i) {
        const unsigned char *p = sqlite3_column_text(s_, i);
        return p != nullptr ? std::string(reinterpret_cast<const char *>(p),
                                          static_cast<size_t>(sqlite3_column_bytes(s_, i)))
                            : std::string();
    }
    bool is_null(int i) { return sqlite3_column_type(s_, i) == SQLITE_NULL; }
    int64_t col_num(int i) { return sqlite3_column_int64(s_, i); }

  private:
    sqlite3_stmt *s_ = nullptr;
    int rc_;
};

std::string version_text(uint32_t v) {
    char buf[24];
    snprintf(buf, sizeof(buf), "%u.%u.%u.%u", (v >> 24) & 0xFFu, (v >> 16) & 0xFFu, (v >> 8) & 0xFFu,
             v & 0xFFu);
    return buf;
}

bool version_parse(const std::string &s, uint32_t *v) {
    unsigned p[4];
    char tail;
    if (sscanf(s.c_str(), "%u.%u.%u.%u%c", &p[0], &p[1], &p[2], &p[3], &tail) != 4 || p[0] > 255 ||
        p[1] > 255 || p[2] > 255 || p[3] > 255) {
        return false;
    }
    *v = p[0] << 24 | p[1] << 16 | p[2] << 8 | p[3];
    return true;
}

std::string hex32(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08X", v);
    return buf;
}

bool hex_parse(const std::string &s, uint32_t *v) {
    unsigned x = 0;
    char tail;
    if (sscanf(s.c_str(), "0x%8x%c", &x, &tail) != 1) {
        return false;
    }
    *v = x;
    return true;
}

int result_of(int rc) {
    switch (rc & 0xFF) {
    case SQLITE_OK:
    case SQLITE_DONE:
    case SQLITE_ROW:
        return OSTRELO_HISTORY_OK;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return OSTRELO_HISTORY_BUSY;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
        return OSTRELO_HISTORY_CORRUPT;
    case SQLITE_READONLY:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
    case SQLITE_FULL:
    case SQLITE_PERM:
        return OSTRELO_HISTORY_UNWRITABLE;
    default:
        return OSTRELO_HISTORY_FAILED;
    }
}

// Markers beside SQLite's own (non-negative) codes.
constexpr int kTooNew = -1000;  // the schema of a newer program
constexpr int kNoEntry = -1001; // no such entry

// One "[WARNING] history: ..." line, whatever line ends a path or SQLite's
// message holds.
void warn(const char *fmt, ...) OSTRELO_PRINTF_LIKE(1, 2);
void warn(const char *fmt, ...) {
    char buf[2 * OSTRELO_HISTORY_PATH_MAX + 1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    std::string line = std::string("[WARNING] history: ") + buf;
    for (char &c : line) {
        c = c == '\n' || c == '\r' ? ' ' : c;
    }
    ostrelo_log_text(OSTRELO_LOG_WARNING, (line + "\n").c_str());
}

// The one line of a failure, said once per handle and kind; `then` says
// what follows ("upgrades are not recorded"). A reader's caller says it.
int say(ostrelo_history *h, int result, const std::string &why, const char *then) {
    const unsigned bit = 1u << (-result & 15);
    if (h->readOnly || (h->said & bit) != 0) {
        return result;
    }
    h->said |= bit;
    const char *p = h->path.c_str();
    const char *w = why.c_str();
    switch (result) {
    case OSTRELO_HISTORY_BUSY:
        warn("%s stayed locked by another writer for %u ms; %s", p, h->busyMs, then);
        break;
    case OSTRELO_HISTORY_CORRUPT:
        warn("%s is damaged (%s); %s", p, w, then);
        break;
    case OSTRELO_HISTORY_UNWRITABLE:
        warn("cannot write %s (%s); %s", p, w, then);
        break;
    case OSTRELO_HISTORY_TOO_NEW:
        warn("%s was %s; %s", p, w, then);
        break;
    default:
        warn("%s failed (%s); %s", p, w, then);
        break;
    }
    return result;
}

int fail(ostrelo_history *h, int rc, const char *then) {
    const int result = result_of(rc);
    if (result == OSTRELO_HISTORY_CORRUPT) {
        h->broken = result;
    }
    return say(h, result, sqlite3_errmsg(h->db), then);
}

int on_busy(void *user, int count) {
    ostrelo_history *h = static_cast<ostrelo_history *>(user);
    const uint32_t now = get_current_time_ms();
    if (count == 0) {
        h->waitStart = now;
        // Routine between two writers; a wait that runs out is said as a warning.
        ostrelo_debug("history: %s is in use by another writer; waiting up to %u ms\n", h->path.c_str(),
                      h->busyMs);
    }
    if (static_cast<uint32_t>(now - h->waitStart) >= h->busyMs) {
        return 0;
    }
    delay_ms(count < 8 ? 1u + static_cast<uint32_t>(count) : 10u);
    return 1;
}

int exec(sqlite3 *db, const char *sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
}

// One change as one transaction; `body` returns an SQLite code.
template <class Body> int change(ostrelo_history *h, const char *then, Body body) {
    if (h == nullptr) {
        return OSTRELO_HISTORY_UNAVAILABLE;
    }
    std::lock_guard<std::recursive_mutex> lock(h->mutex);
    if (h->broken != 0) {
        return h->broken;
    }
    if (h->readOnly) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    int rc = exec(h->db, "BEGIN IMMEDIATE");
    if (rc == SQLITE_OK) {
        rc = body();
        if (rc == SQLITE_OK) {
            rc = exec(h->db, "COMMIT");
        }
    }
    if (rc != SQLITE_OK) {
        const int result = rc == kNoEntry ? OSTRELO_HISTORY_NOT_FOUND : fail(h, rc, then);
        if (!sqlite3_get_autocommit(h->db)) {
            exec(h->db, "ROLLBACK");
        }
        return result;
    }
    return OSTRELO_HISTORY_OK;
}

int write_attempt(sqlite3 *db, int64_t id, const ostrelo_history_attempt_t &a) {
    Stmt s(db, "INSERT OR REPLACE INTO attempts (upgrade_id, attempt, step, reason, abort_code)"
               " VALUES (?, ?, ?, ?, ?)");
    s.num(1, id);
    s.num(2, a.attempt);
    s.text(3, a.step);
    s.text(4, a.reason);
    s.opt_text(5, a.abort_code != 0, hex32(a.abort_code));
    return s.run();
}

int write_attempts(sqlite3 *db, const ostrelo_history_entry_t *e) {
    const uint32_t n =
        e->attempt_count < OSTRELO_HISTORY_MAX_ATTEMPTS ? e->attempt_count : OSTRELO_HISTORY_MAX_ATTEMPTS;
    for (uint32_t i = 0; i < n; ++i) {
        const int rc = write_attempt(db, e->id, e->attempts[i]);
        if (rc != SQLITE_OK) {
            return rc;
        }
    }
    return SQLITE_OK;
}

// One row of kColumns into `e`, with its attempts.
int read_entry(sqlite3 *db, Stmt &row, ostrelo_history_entry_t *e) {
    memset(e, 0, sizeof(*e));
    int c = 0;
    e->id = row.col_num(c++);
    history_copy(e->station, row.col_text(c++));
    history_copy(e->user, row.col_text(c++));
    history_copy(e->place.transport, row.col_text(c++));
    e->place.adapter = static_cast<uint32_t>(row.col_num(c++));
    history_copy(e->place.adapter_serial, row.col_text(c++));
    e->place.can_channel = static_cast<uint32_t>(row.col_num(c++));
    e->place.node = static_cast<uint8_t>(row.col_num(c++));
    e->identity_known = !row.is_null(c);
    client_firmware_info_t &id = e->identity;
    id.motorType = static_cast<uint8_t>(row.col_num(c++));
    history_copy(id.firmwareModel, row.col_text(c++));
    id.brakeType = static_cast<uint8_t>(row.col_num(c++));
    history_copy(id.brakeSuffix, row.col_text(c++));
    id.encoderType = static_cast<uint8_t>(row.col_num(c++));
    history_copy(id.encoderName, row.col_text(c++));
    history_copy(id.filenameKey, row.col_text(c++));
    e->have_version_before = version_parse(row.col_text(c++), &e->version_before);
    e->have_version_after = version_parse(row.col_text(c++), &e->version_after);
    history_copy(e->file_name, row.col_text(c++));
    history_copy(e->file_path, row.col_text(c++));
    e->file_size = static_cast<uint64_t>(row.col_num(c++));
    history_copy(e->file_sha256, row.col_text(c++));
    e->have_file_crc = hex_parse(row.col_text(c++), &e->file_crc);
    e->have_device_crc = hex_parse(row.col_text(c++), &e->device_crc);
    if (ostrelo_history_outcome_parse(row.col_text(c++).c_str(), &e->outcome) != 0) {
        e->outcome = OSTRELO_HISTORY_OUTCOME_FAILED; // a word of a later program
    }
    history_copy(e->started_at, row.col_text(c++));
    history_copy(e->ended_at, row.col_text(c++));
    history_copy(e->note, row.col_text(c++));

    Stmt a(db,
           "SELECT attempt, step, reason, abort_code FROM attempts WHERE upgrade_id = ? ORDER BY attempt");
    a.num(1, e->id);
    int rc;
    while ((rc = a.step()) == SQLITE_ROW) {
        if (e->attempt_count < OSTRELO_HISTORY_MAX_ATTEMPTS) {
            ostrelo_history_attempt_t &x = e->attempts[e->attempt_count];
            x.attempt = static_cast<uint32_t>(a.col_num(0));
            history_copy(x.step, a.col_text(1));
            history_copy(x.reason, a.col_text(2));
            if (!hex_parse(a.col_text(3), &x.abort_code)) {
                x.abort_code = 0;
            }
        }
        ++e->attempt_count;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// Runs `sql` (selecting kColumns, bound by `bind`) and hands each entry to
// `visit` (non-zero stops) within one read transaction. The count, or a
// negative result.
template <class Bind, class Visit>
int query(ostrelo_history *h, const std::string &sql, Bind bind, Visit visit) {
    if (h == nullptr) {
        return OSTRELO_HISTORY_UNAVAILABLE;
    }
    std::lock_guard<std::recursive_mutex> lock(h->mutex);
    if (h->broken != 0) {
        return h->broken;
    }
    const bool own = sqlite3_get_autocommit(h->db) != 0;
    if (own && exec(h->db, "BEGIN") != SQLITE_OK) {
        return fail(h, sqlite3_errcode(h->db), "the history is not read");
    }
    Stmt s(h->db, sql.c_str());
    bind(s);
    int count = 0;
    int rc;
    ostrelo_history_entry_t e;
    while ((rc = s.step()) == SQLITE_ROW) {
        rc = read_entry(h->db, s, &e);
        if (rc != SQLITE_OK) {
            break;
        }
        ++count;
        if (visit(e) != 0) {
            rc = SQLITE_DONE;
            break;
        }
    }
    if (own) {
        exec(h->db, "COMMIT");
    }
    return rc == SQLITE_DONE ? count : fail(h, rc, "the history is not read");
}

// Opens `h->path` and sets it up; an SQLite code, `*why` its message.
int open_db(ostrelo_history *h, bool create, std::string *why) {
    const int flags = SQLITE_OPEN_READWRITE | (create ? SQLITE_OPEN_CREATE : 0) | SQLITE_OPEN_FULLMUTEX;
    int rc = sqlite3_open_v2(h->path.c_str(), &h->db, flags, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(h->db, 1);
        sqlite3_busy_handler(h->db, on_busy, h);
        if (!create) {
            rc = exec(h->db, "PRAGMA query_only = ON");
        }
        // The schema's version first: a newer program's file is left as it is.
        int schema = 0;
        {
            Stmt version(h->db, "PRAGMA user_version");
            if (rc == SQLITE_OK && (rc = version.step()) == SQLITE_ROW) {
                schema = static_cast<int>(version.col_num(0));
                rc = SQLITE_OK;
            }
        }
        if (rc == SQLITE_OK && schema > OSTRELO_HISTORY_SCHEMA_VERSION) {
            *why = "written by a newer program: schema " + std::to_string(schema) + ", this one knows " +
                   std::to_string(OSTRELO_HISTORY_SCHEMA_VERSION);
            return kTooNew;
        }
        // FULL: a committed start survives a power cut (NORMAL could lose it).
        if (rc == SQLITE_OK && create) {
            rc =
                exec(h->db, "PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON");
        }
        if (rc == SQLITE_OK && create) {
            Stmt check(h->db, "PRAGMA quick_check");
            if ((rc = check.step()) == SQLITE_ROW) {
                const std::string verdict = check.col_text(0);
                rc = verdict == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
                if (rc != SQLITE_OK) {
                    *why = verdict;
                    return rc;
                }
            }
        }
        if (rc == SQLITE_OK && create && schema == 0) {
            rc = exec(h->db, "BEGIN IMMEDIATE");
            if (rc == SQLITE_OK) {
                // Another writer may have made it meanwhile.
                int now = -1;
                {
                    Stmt again(h->db, "PRAGMA user_version");
                    now = again.step() == SQLITE_ROW ? static_cast<int>(again.col_num(0)) : -1;
                    rc = again.rc();
                }
                if (rc == SQLITE_OK && now == 0) {
                    rc = exec(h->db, (std::string(kSchema) + "PRAGMA user_version = " +
                                      std::to_string(OSTRELO_HISTORY_SCHEMA_VERSION))
                                         .c_str());
                }
                rc = rc == SQLITE_OK ? exec(h->db, "COMMIT") : rc;
                if (rc != SQLITE_OK && !sqlite3_get_autocommit(h->db)) {
                    exec(h->db, "ROLLBACK");
                }
            }
        }
    }
    if (rc != SQLITE_OK && why->empty()) {
        *why = h->db != nullptr ? sqlite3_errmsg(h->db) : sqlite3_errstr(rc);
    }
    return rc;
}

void close_db(ostrelo_history *h) {
    sqlite3_close(h->db);
    h->db = nullptr;
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino && a.st_size == b.st_size && a.st_mtime == b.st_mtime;
}

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// Renames the damaged file (and its -wal, -shm) to a name of its own;
// `aside` gets it. False when it cannot be moved.
bool set_aside(const std::string &path, std::string *aside) {
    std::string stamp = history_utc_time();
    stamp = stamp.substr(0, 4) + stamp.substr(5, 2) + stamp.substr(8, 5) + stamp.substr(14, 2) +
            stamp.substr(17, 2) + "Z";
    const std::string base = path + ".corrupt-" + stamp;
    for (int n = 1; n < 100; ++n) {
        const std::string name = n == 1 ? base : base + "-" + std::to_string(n);
        if (exists(name) || exists(name + "-wal") || exists(name + "-shm")) {
            continue;
        }
        if (rename(path.c_str(), name.c_str()) != 0) {
            return false;
        }
        for (const char *part : {"-wal", "-shm"}) {
            if (exists(path + part)) {
                rename((path + part).c_str(), (name + part).c_str());
            }
        }
        *aside = name;
        return true;
    }
    return false;
}

int open_history(const char *path, bool create, ostrelo_history_t **out) {
    if (out == nullptr) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    *out = nullptr;
    const char *then = "upgrades are not recorded";
    char where[OSTRELO_HISTORY_PATH_MAX];
    if (path == nullptr) {
        if (ostrelo_history_default_path(where, sizeof(where)) != 0) {
            if (create) {
                warn("no place for the history (neither OSTRELO_HISTORY, XDG_DATA_HOME nor HOME is set); %s",
                     then);
            }
            return OSTRELO_HISTORY_UNWRITABLE;
        }
        path = where;
    }
    ostrelo_history *h = new ostrelo_history;
    h->path = path;
    h->readOnly = !create;
    int result = OSTRELO_HISTORY_NOT_FOUND;
    if (!create && !exists(h->path)) {
        delete h;
        return result;
    }
    if (create && !history_make_parent_folders(h->path)) {
        result = say(h, OSTRELO_HISTORY_UNWRITABLE,
                     std::string("its folder cannot be made: ") + strerror(errno), then);
        delete h;
        return result;
    }
    for (int round = 0; round < 2; ++round) {
        struct stat before;
        const bool existed = stat(h->path.c_str(), &before) == 0;
        std::string why;
        const int rc = open_db(h, create, &why);
        if (rc == SQLITE_OK) {
            *out = h;
            return OSTRELO_HISTORY_OK;
        }
        close_db(h);
        result = rc == kTooNew ? OSTRELO_HISTORY_TOO_NEW : result_of(rc);
        if (result == OSTRELO_HISTORY_CORRUPT && create && existed && round == 0) {
            // Only the file found damaged is moved: another program may have
            // moved it and begun a new one meanwhile.
            struct stat now;
            std::string aside;
            if (stat(h->path.c_str(), &now) == 0 && !same_file(before, now)) {
                continue;
            }
            if (set_aside(h->path, &aside)) {
                warn("%s is damaged (%s); kept as %s, a new history begins", h->path.c_str(), why.c_str(),
                     aside.c_str());
                continue;
            }
            why += std::string("; it cannot be renamed: ") + strerror(errno);
        }
        say(h, result, why, then);
        break;
    }
    delete h;
    return result;
}

} // namespace

extern "C" {

int ostrelo_history_available(void) {
    return 1;
}

int ostrelo_history_open(const char *path, ostrelo_history_t **out) {
    return open_history(path, true, out);
}

int ostrelo_history_open_read(const char *path, ostrelo_history_t **out) {
    return open_history(path, false, out);
}

void ostrelo_history_close(ostrelo_history_t *h) {
    if (h != nullptr) {
        close_db(h);
        delete h;
    }
}

const char *ostrelo_history_file(const ostrelo_history_t *h) {
    return h != nullptr ? h->path.c_str() : "";
}

void ostrelo_history_set_busy_wait(ostrelo_history_t *h, uint32_t ms) {
    if (h != nullptr) {
        std::lock_guard<std::recursive_mutex> lock(h->mutex);
        h->busyMs = ms;
    }
}

int ostrelo_history_begin(ostrelo_history_t *h, ostrelo_history_entry_t *e) {
    if (e == nullptr || e->place.node == 0 || e->place.node > 127) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    if (strnlen(e->started_at, sizeof(e->started_at)) == 0) {
        history_copy(e->started_at, history_utc_time());
    }
    e->outcome = OSTRELO_HISTORY_OUTCOME_IN_PROGRESS;
    e->ended_at[0] = '\0';
    return change(h, "the start of an upgrade is not recorded", [&]() {
        Stmt s(h->db,
               "INSERT INTO upgrades (station, user_name, transport, adapter, adapter_serial, can_channel,"
               " node, motor_type, model, brake_code, brake, encoder_code, encoder, filename_key,"
               " version_before, version_after, file, path, file_size, file_sha256, file_crc, device_crc,"
               " outcome, started_at, ended_at, note)"
               " VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        const client_firmware_info_t &id = e->identity;
        int i = 1;
        s.text(i++, e->station);
        s.text(i++, e->user);
        s.text(i++, e->place.transport);
        s.num(i++, e->place.adapter);
        s.text(i++, e->place.adapter_serial);
        s.num(i++, e->place.can_channel);
        s.num(i++, e->place.node);
        if (e->identity_known) {
            s.num(i++, id.motorType);
            s.text(i++, id.firmwareModel);
            s.num(i++, id.brakeType);
            s.text(i++, id.brakeSuffix);
            s.num(i++, id.encoderType);
            s.text(i++, id.encoderName);
            s.text(i++, id.filenameKey);
        } else {
            for (int k = 0; k < 7; ++k) {
                s.null(i++);
            }
        }
        s.opt_text(i++, e->have_version_before != 0, version_text(e->version_before));
        s.opt_text(i++, e->have_version_after != 0, version_text(e->version_after));
        s.text(i++, e->file_name);
        s.text(i++, e->file_path);
        s.num(i++, static_cast<int64_t>(e->file_size));
        s.text(i++, e->file_sha256);
        s.opt_text(i++, e->have_file_crc != 0, hex32(e->file_crc));
        s.opt_text(i++, e->have_device_crc != 0, hex32(e->device_crc));
        s.text(i++, ostrelo_history_outcome_text(e->outcome));
        s.text(i++, e->started_at);
        s.null(i++);
        s.text(i++, e->note);
        int rc = s.run();
        if (rc == SQLITE_OK) {
            e->id = sqlite3_last_insert_rowid(h->db);
            rc = write_attempts(h->db, e);
        }
        return rc;
    });
}

int ostrelo_history_add_attempt(ostrelo_history_t *h, int64_t id, const ostrelo_history_attempt_t *attempt) {
    if (attempt == nullptr) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    return change(h, "an attempt is not recorded", [&]() {
        Stmt known(h->db, "SELECT 1 FROM upgrades WHERE id = ?");
        known.num(1, id);
        const int rc = known.step();
        return rc == SQLITE_ROW ? write_attempt(h->db, id, *attempt) : rc == SQLITE_DONE ? kNoEntry : rc;
    });
}

int ostrelo_history_finish(ostrelo_history_t *h, ostrelo_history_entry_t *e) {
    if (e == nullptr || e->outcome == OSTRELO_HISTORY_OUTCOME_IN_PROGRESS ||
        e->outcome > OSTRELO_HISTORY_OUTCOME_INTERRUPTED) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    if (strnlen(e->ended_at, sizeof(e->ended_at)) == 0) {
        history_copy(e->ended_at, history_utc_time());
    }
    return change(h, "the end of an upgrade is not recorded", [&]() {
        Stmt s(h->db,
               "UPDATE upgrades SET version_after = ?, device_crc = ?, file_crc = COALESCE(?, file_crc),"
               " outcome = ?, ended_at = ?, note = ? WHERE id = ?");
        s.opt_text(1, e->have_version_after != 0, version_text(e->version_after));
        s.opt_text(2, e->have_device_crc != 0, hex32(e->device_crc));
        s.opt_text(3, e->have_file_crc != 0, hex32(e->file_crc));
        s.text(4, ostrelo_history_outcome_text(e->outcome));
        s.text(5, e->ended_at);
        s.text(6, e->note);
        s.num(7, e->id);
        int rc = s.run();
        if (rc == SQLITE_OK && sqlite3_changes(h->db) != 1) {
            return kNoEntry;
        }
        if (rc == SQLITE_OK && e->attempt_count > 0) {
            Stmt clear(h->db, "DELETE FROM attempts WHERE upgrade_id = ?");
            clear.num(1, e->id);
            rc = clear.run();
            rc = rc == SQLITE_OK ? write_attempts(h->db, e) : rc;
        }
        return rc;
    });
}

int ostrelo_history_list(ostrelo_history_t *h, const ostrelo_history_filter_t *filter,
                         ostrelo_history_visit_t visit, void *user) {
    ostrelo_history_filter_t all;
    ostrelo_history_filter_init(&all);
    const ostrelo_history_filter_t &f = filter != nullptr ? *filter : all;
    std::string since(f.since, strnlen(f.since, sizeof(f.since)));
    if (!since.empty() && !history_since_valid(since.c_str())) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    if (!since.empty() && since.back() == 'Z') {
        since.pop_back(); // "…T08:00Z" must not sort after "…T08:00:01.000Z"
    }
    std::string sql = std::string("SELECT ") + kColumns + " FROM upgrades WHERE 1";
    sql += since.empty() ? "" : " AND started_at >= ?1";
    sql += f.adapter < 0 ? "" : " AND adapter = ?2";
    sql += f.can_channel < 0 ? "" : " AND can_channel = ?3";
    sql += f.node < 0 ? "" : " AND node = ?4";
    sql += f.outcome < 0 ? "" : " AND outcome = ?5";
    sql += " ORDER BY started_at DESC, id DESC";
    return query(
        h, sql,
        [&](Stmt &s) {
            s.text(1, since);
            s.num(2, f.adapter);
            s.num(3, f.can_channel);
            s.num(4, f.node);
            s.text(5, std::string(
                          ostrelo_history_outcome_text(static_cast<ostrelo_history_outcome_t>(f.outcome))));
        },
        [&](const ostrelo_history_entry_t &e) { return visit != nullptr ? visit(&e, user) : 0; });
}

int ostrelo_history_get(ostrelo_history_t *h, int64_t id, ostrelo_history_entry_t *out) {
    if (out == nullptr) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    const int n = query(
        h, std::string("SELECT ") + kColumns + " FROM upgrades WHERE id = ?1", [&](Stmt &s) { s.num(1, id); },
        [&](const ostrelo_history_entry_t &e) {
            *out = e;
            return 1;
        });
    return n < 0 ? n : n == 0 ? OSTRELO_HISTORY_NOT_FOUND : OSTRELO_HISTORY_OK;
}

int ostrelo_history_find_unfinished(ostrelo_history_t *h, const ostrelo_history_place_t *place,
                                    uint32_t max_age_days, ostrelo_history_entry_t *out) {
    if (place == nullptr || out == nullptr) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    const uint32_t days = max_age_days != 0 ? max_age_days : OSTRELO_HISTORY_RECOVERY_DAYS;
    const bool bySerial = strnlen(place->adapter_serial, sizeof(place->adapter_serial)) > 0;
    std::string sql = std::string("SELECT ") + kColumns +
                      " FROM upgrades WHERE transport = ?1 AND can_channel = ?2 AND node = ?3"
                      " AND started_at >= ?4 AND ";
    sql += bySerial ? "adapter_serial = ?5" : "adapter_serial = '' AND adapter = ?6";
    sql += " ORDER BY started_at DESC, id DESC LIMIT 1";
    ostrelo_history_entry_t newest;
    const int n = query(
        h, sql,
        [&](Stmt &s) {
            s.text(1, place->transport);
            s.num(2, place->can_channel);
            s.num(3, place->node);
            s.text(4, history_utc_time(static_cast<int64_t>(days) * 86400));
            s.text(5, place->adapter_serial);
            s.num(6, place->adapter);
        },
        [&](const ostrelo_history_entry_t &e) {
            newest = e;
            return 1;
        });
    if (n < 0) {
        return n;
    }
    if (n == 0 || newest.outcome == OSTRELO_HISTORY_OUTCOME_OK) {
        return OSTRELO_HISTORY_NOT_FOUND;
    }
    *out = newest;
    return OSTRELO_HISTORY_OK;
}

} // extern "C"
