// The history's parts that need no database: its place on disk, the station
// and user, the file's digests, the attempts of a run, times and filters.
#include "history_internal.h"

#include "ostrelo_files.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#ifdef _WIN32
#include <direct.h>
#include <windows.h>
#else
#include <pwd.h>
#include <unistd.h>
#endif

namespace {

// Days since 1970-01-01 to year, month, day (proleptic Gregorian).
void civil_from_days(int64_t z, int *y, unsigned *m, unsigned *d) {
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *d = doy - (153 * mp + 2) / 5 + 1;
    *m = mp < 10 ? mp + 3 : mp - 9;
    *y = static_cast<int>(yoe + era * 400 + (*m <= 2 ? 1 : 0));
}

const char *env(const char *name) {
    const char *v = getenv(name);
    return v != nullptr && v[0] != '\0' ? v : nullptr;
}

bool digits(const char *s, int n) {
    for (int i = 0; i < n; ++i) {
        if (!isdigit(static_cast<unsigned char>(s[i]))) {
            return false;
        }
    }
    return true;
}

void add_attempt(ostrelo_history_entry_t *e, uint32_t number, client_upgrade_step_t step,
                 client_upgrade_reason_t reason, uint32_t code) {
    if (e->attempt_count >= OSTRELO_HISTORY_MAX_ATTEMPTS) {
        return;
    }
    ostrelo_history_attempt_t *a = &e->attempts[e->attempt_count++];
    a->attempt = number;
    const char *s = client_upgrade_step_text(step);
    const char *r = client_upgrade_reason_text(reason);
    history_copy(a->step, sizeof(a->step), s, strlen(s));
    history_copy(a->reason, sizeof(a->reason), r, strlen(r));
    a->abort_code = code;
}

} // namespace

std::string history_utc_time(int64_t seconds_ago) {
    const int64_t ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch())
                           .count() -
                       seconds_ago * 1000;
    const int64_t secs = ms >= 0 ? ms / 1000 : (ms - 999) / 1000;
    const int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    const int64_t sod = secs - days * 86400;
    int y = 0;
    unsigned mo = 0, d = 0;
    civil_from_days(days, &y, &mo, &d);
    char buf[48];
    snprintf(buf, sizeof(buf), "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", y, mo, d, static_cast<int>(sod / 3600),
             static_cast<int>(sod / 60 % 60), static_cast<int>(sod % 60), static_cast<int>(ms - secs * 1000));
    return buf;
}

bool history_make_parent_folders(const std::string &path) {
    const char sep = ostrelo_path_separator();
    for (size_t at = path.find_first_of("/\\", 1); at != std::string::npos;
         at = path.find_first_of("/\\", at + 1)) {
        const std::string dir = path.substr(0, at);
        if (dir.empty() || dir.back() == ':' || dir.back() == sep) {
            continue; // the root, or a drive
        }
        struct stat st;
        if (stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) {
                return false;
            }
            continue;
        }
#ifdef _WIN32
        const int rc = _mkdir(dir.c_str());
#else
        const int rc = mkdir(dir.c_str(), 0755);
#endif
        if (rc != 0 && errno != EEXIST) {
            return false;
        }
    }
    return true;
}

bool history_since_valid(const char *s) {
    const size_t n = strlen(s);
    const size_t core = n > 0 && s[n - 1] == 'Z' ? n - 1 : n;
    if (core < 10 || !digits(s, 4) || s[4] != '-' || !digits(s + 5, 2) || s[7] != '-' || !digits(s + 8, 2)) {
        return false;
    }
    if (core == 10) {
        return n == 10; // a date takes no 'Z'
    }
    if (core != 16 && core != 19) {
        return false;
    }
    return s[10] == 'T' && digits(s + 11, 2) && s[13] == ':' && digits(s + 14, 2) &&
           (core == 16 || (s[16] == ':' && digits(s + 17, 2)));
}

void history_copy(char *dst, size_t size, const char *src, size_t n) {
    if (size == 0) {
        return;
    }
    const size_t k = n < size - 1 ? n : size - 1;
    if (k > 0) {
        memcpy(dst, src, k);
    }
    dst[k] = '\0';
}

extern "C" {

const char *ostrelo_history_result_text(int result) {
    switch (result) {
    case OSTRELO_HISTORY_OK:
        return "ok";
    case OSTRELO_HISTORY_UNAVAILABLE:
        return "this build keeps no history";
    case OSTRELO_HISTORY_UNWRITABLE:
        return "it cannot be opened or written";
    case OSTRELO_HISTORY_CORRUPT:
        return "the file is damaged";
    case OSTRELO_HISTORY_BUSY:
        return "another program keeps it locked";
    case OSTRELO_HISTORY_TOO_NEW:
        return "a newer program wrote it";
    case OSTRELO_HISTORY_NOT_FOUND:
        return "no such entry";
    case OSTRELO_HISTORY_BAD_ARGUMENT:
        return "a bad argument";
    case OSTRELO_HISTORY_FAILED:
        break;
    }
    return "the database failed (is it a history of this program?)";
}

const char *ostrelo_history_outcome_text(ostrelo_history_outcome_t outcome) {
    switch (outcome) {
    case OSTRELO_HISTORY_OUTCOME_IN_PROGRESS:
        return "in progress";
    case OSTRELO_HISTORY_OUTCOME_OK:
        return "ok";
    case OSTRELO_HISTORY_OUTCOME_FAILED:
        return "failed";
    case OSTRELO_HISTORY_OUTCOME_INTERRUPTED:
        return "interrupted";
    }
    return "?";
}

int ostrelo_history_outcome_parse(const char *text, ostrelo_history_outcome_t *outcome) {
    for (int o = OSTRELO_HISTORY_OUTCOME_IN_PROGRESS; o <= OSTRELO_HISTORY_OUTCOME_INTERRUPTED; ++o) {
        const ostrelo_history_outcome_t v = static_cast<ostrelo_history_outcome_t>(o);
        if (text != nullptr && strcmp(text, ostrelo_history_outcome_text(v)) == 0) {
            *outcome = v;
            return 0;
        }
    }
    return -1;
}

ostrelo_history_outcome_t ostrelo_history_outcome_of(client_upgrade_reason_t reason) {
    return reason == CLIENT_UPGRADE_OK          ? OSTRELO_HISTORY_OUTCOME_OK
           : reason == CLIENT_UPGRADE_CANCELLED ? OSTRELO_HISTORY_OUTCOME_INTERRUPTED
                                                : OSTRELO_HISTORY_OUTCOME_FAILED;
}

int ostrelo_history_default_path(char *out, size_t size) {
    std::string path;
    const char *named = env("OSTRELO_HISTORY");
    if (named != nullptr) {
        path = named;
    } else {
#ifdef _WIN32
        const char *base = env("LOCALAPPDATA");
        if (base == nullptr) {
            return -1;
        }
        path = std::string(base) + "\\ostrelo\\history.sqlite";
#else
        // XDG: a relative XDG_DATA_HOME is invalid and ignored.
        const char *data = env("XDG_DATA_HOME");
        const char *home = env("HOME");
        if (data != nullptr && data[0] == '/') {
            path = std::string(data) + "/ostrelo/history.sqlite";
        } else if (home != nullptr) {
            path = std::string(home) + "/.local/share/ostrelo/history.sqlite";
        } else {
            return -1;
        }
#endif
    }
    if (out == nullptr || path.size() >= size) {
        return -1;
    }
    memcpy(out, path.c_str(), path.size() + 1);
    return 0;
}

void ostrelo_history_entry_init(ostrelo_history_entry_t *e) {
    memset(e, 0, sizeof(*e));
    char host[OSTRELO_HISTORY_NAME_MAX] = "";
    const char *user = nullptr;
#ifdef _WIN32
    DWORD n = sizeof(host);
    if (!GetComputerNameA(host, &n)) {
        host[0] = '\0';
    }
    user = env("USERNAME");
#else
    if (gethostname(host, sizeof(host) - 1) != 0) {
        host[0] = '\0';
    }
    host[sizeof(host) - 1] = '\0';
    struct passwd pwd;
    struct passwd *pw = nullptr;
    char buf[1024];
    getpwuid_r(geteuid(), &pwd, buf, sizeof(buf), &pw); // threads may record at once
    user = pw != nullptr && pw->pw_name != nullptr ? pw->pw_name : env("USER");
#endif
    history_copy(e->station, sizeof(e->station), host, strlen(host));
    if (user != nullptr) {
        history_copy(e->user, sizeof(e->user), user, strlen(user));
    }
}

int ostrelo_history_describe_file(ostrelo_history_entry_t *e, const char *path) {
    e->file_name[0] = e->file_path[0] = e->file_sha256[0] = '\0';
    e->file_size = 0;
    e->have_file_crc = 0;
    uint64_t size = 0;
    char hex[65];
    if (path == nullptr || ostrelo_sha256_file(path, hex, &size) != 0) {
        return -1;
    }
    const char *name = path;
    for (const char *p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == ostrelo_path_separator()) {
            name = p + 1;
        }
    }
    history_copy(e->file_name, sizeof(e->file_name), name, strlen(name));
    history_copy(e->file_path, sizeof(e->file_path), path, strlen(path));
    e->file_size = size;
    memcpy(e->file_sha256, hex, sizeof(hex));
    // Zero is also the client's word for "cannot be read"; an empty file's
    // CRC-32 is 0 too.
    e->file_crc = client_api_calculate_file_crc32(path);
    e->have_file_crc = e->file_crc != 0 || size == 0;
    return 0;
}

void ostrelo_history_add_result(ostrelo_history_entry_t *e, const client_upgrade_result_t *r) {
    const uint32_t base = e->attempt_count > 0 ? e->attempts[e->attempt_count - 1].attempt : 0;
    const uint32_t causes =
        r->causeCount < CLIENT_UPGRADE_MAX_CAUSES ? r->causeCount : CLIENT_UPGRADE_MAX_CAUSES;
    for (uint32_t i = 0; i < causes; ++i) {
        add_attempt(e, base + i + 1, r->causes[i].step, r->causes[i].reason, r->causes[i].code);
    }
    // The last attempt, when the causes do not hold it: a success, a failure
    // before any attempt (the file), or one past the causes' room.
    const uint32_t last = r->attempts > causes ? r->attempts : causes + 1;
    if (r->reason == CLIENT_UPGRADE_OK || causes == 0 || r->attempts > causes) {
        add_attempt(e, base + last, r->step, r->reason, r->reason == CLIENT_UPGRADE_OK ? 0 : r->code);
    }
}

void ostrelo_history_filter_init(ostrelo_history_filter_t *f) {
    memset(f, 0, sizeof(*f));
    f->adapter = f->can_channel = f->node = f->outcome = -1;
}

int ostrelo_history_filter_set_since(ostrelo_history_filter_t *f, const char *since) {
    if (since == nullptr || !history_since_valid(since)) {
        return -1;
    }
    const size_t n = strlen(since);
    history_copy(f->since, sizeof(f->since), since, since[n - 1] == 'Z' ? n - 1 : n);
    return 0;
}

} // extern "C"
