/* The upgrade history: every upgrade of every motor, kept in one SQLite file
 * per station that the window and the terminal program both write.
 *
 * An upgrade is one row, written when it starts (outcome "in progress") and
 * completed when it ends, so a run that is killed or loses power leaves its
 * motors in progress; each attempt is a row of its own beside it. Every
 * change is one transaction; a database locked by another writer is waited
 * for (a few seconds); a database that cannot be written, or whose file is
 * damaged, is said in one "[WARNING] history: ..." line through the log hook
 * and the caller carries on without it (a damaged file is renamed aside,
 * never overwritten or deleted, and a new history starts).
 *
 * Plain records and free functions; results are OSTRELO_HISTORY_* codes (0
 * success, negative failure). One handle may be used by several threads:
 * its calls take turns. Texts are stored as given (bytes); record fields
 * are NUL-terminated, and longer texts read back are cut to the field.
 *
 * A build without SQLite (the Windows cross build) has every function;
 * ostrelo_history_available() then says 0 and opening fails with
 * OSTRELO_HISTORY_UNAVAILABLE. */
#ifndef OSTRELO_HISTORY_H
#define OSTRELO_HISTORY_H

#include <stddef.h>
#include <stdint.h>

#include "client_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* PRAGMA user_version of the file this code writes. */
#define OSTRELO_HISTORY_SCHEMA_VERSION 1

/* How long a change waits for a database another writer holds. */
#define OSTRELO_HISTORY_BUSY_WAIT_MS 5000u
/* The recovery lookup's default age limit. */
#define OSTRELO_HISTORY_RECOVERY_DAYS 30u

#define OSTRELO_HISTORY_PATH_MAX 4096
#define OSTRELO_HISTORY_NAME_MAX 256
#define OSTRELO_HISTORY_TIME_MAX 32 /* "2026-12-09T10:11:12.345Z" */
#define OSTRELO_HISTORY_NOTE_MAX 512
/* Attempts carried by a record read back; attempt_count may be larger. */
#define OSTRELO_HISTORY_MAX_ATTEMPTS 32

typedef enum {
    OSTRELO_HISTORY_OK = 0,
    OSTRELO_HISTORY_UNAVAILABLE = -1, /* built without SQLite, or no handle (NULL) */
    OSTRELO_HISTORY_UNWRITABLE = -2,  /* the folder or file cannot be made, opened or written */
    OSTRELO_HISTORY_CORRUPT = -3,     /* the file is not a sound database (kept aside when opened to write) */
    OSTRELO_HISTORY_BUSY = -4,        /* another writer held it longer than the wait */
    OSTRELO_HISTORY_TOO_NEW = -5,     /* written by a newer program (schema version) */
    OSTRELO_HISTORY_NOT_FOUND = -6,   /* no such entry, or no history file yet */
    OSTRELO_HISTORY_BAD_ARGUMENT = -7, /* a NULL record, a field out of range */
    OSTRELO_HISTORY_FAILED = -8        /* any other failure of the database */
} ostrelo_history_result_t;

typedef enum {
    OSTRELO_HISTORY_OUTCOME_IN_PROGRESS =
        0,                          /* begun, not finished: running, or cut short (kill, power loss) */
    OSTRELO_HISTORY_OUTCOME_OK = 1, /* the application answered after the start */
    OSTRELO_HISTORY_OUTCOME_FAILED = 2,
    OSTRELO_HISTORY_OUTCOME_INTERRUPTED = 3 /* cancelled, or stopped by a signal */
} ostrelo_history_outcome_t;

/* Where a motor sits: the lookup key of the recovery. */
typedef struct {
    char transport[OSTRELO_HISTORY_PATH_MAX]; /* how the adapters are reached, e.g. "sim",
                                                 "socketcan:0.0=can0" */
    uint32_t adapter;                         /* the adapter's index */
    char adapter_serial[64];                  /* the serial its board info reports; "" when none */
    uint32_t can_channel;                     /* the channel on the adapter */
    uint8_t node;                             /* node id 1..127 */
} ostrelo_history_place_t;

/* One attempt and how it ended (the last attempt of a success: step "done",
 * reason "ok"). */
typedef struct {
    uint32_t attempt;    /* 1 for the first */
    char step[32];       /* client_upgrade_step_text */
    char reason[96];     /* client_upgrade_reason_text */
    uint32_t abort_code; /* SDO abort code, 0 when none */
} ostrelo_history_attempt_t;

typedef struct {
    int64_t id;                             /* set by ostrelo_history_begin */
    char station[OSTRELO_HISTORY_NAME_MAX]; /* host name */
    char user[OSTRELO_HISTORY_NAME_MAX];
    ostrelo_history_place_t place;
    /* The motor's identity as scanned (softwareVersion is not used: see
     * version_before); identity_known 0 for a motor found only in its
     * bootloader. */
    int identity_known;
    client_firmware_info_t identity;
    int have_version_before;
    uint32_t version_before;
    int have_version_after; /* what the started application reported */
    uint32_t version_after;
    char file_name[OSTRELO_HISTORY_NAME_MAX];
    char file_path[OSTRELO_HISTORY_PATH_MAX];
    uint64_t file_size;
    char file_sha256[65]; /* lower-case hex; "" when not read */
    int have_file_crc;
    uint32_t file_crc;
    int have_device_crc; /* the CRC-32 the bootloader reported */
    uint32_t device_crc;
    ostrelo_history_outcome_t outcome;
    uint32_t attempt_count; /* attempts recorded (the first ones are in attempts[]) */
    ostrelo_history_attempt_t attempts[OSTRELO_HISTORY_MAX_ATTEMPTS];
    char started_at[OSTRELO_HISTORY_TIME_MAX]; /* UTC, "" at begin: now */
    char ended_at[OSTRELO_HISTORY_TIME_MAX];   /* UTC, "" while in progress */
    char note[OSTRELO_HISTORY_NOTE_MAX];       /* free text: "resumed from history entry 12" */
} ostrelo_history_entry_t;

typedef struct ostrelo_history ostrelo_history_t;

/* What a result means, for a line to the user: "the file is damaged". */
const char *ostrelo_history_result_text(int result);

/* 1 when this build keeps a history (has SQLite), else 0. */
int ostrelo_history_available(void);

/* "in progress", "ok", "failed", "interrupted". */
const char *ostrelo_history_outcome_text(ostrelo_history_outcome_t outcome);
/* The outcome named by `text` (the words above); 0, or -1 for another text. */
int ostrelo_history_outcome_parse(const char *text, ostrelo_history_outcome_t *outcome);
/* The outcome of an upgrade run: ok, interrupted (cancelled) or failed. */
ostrelo_history_outcome_t ostrelo_history_outcome_of(client_upgrade_reason_t reason);

/* Where the history lives unless the caller names a file: $OSTRELO_HISTORY
 * when set, else $XDG_DATA_HOME/ostrelo/history.sqlite, else
 * ~/.local/share/ostrelo/history.sqlite (on Windows
 * %LOCALAPPDATA%\ostrelo\history.sqlite). 0, or -1 when neither variable
 * nor a home folder is there or `out` is too small. */
int ostrelo_history_default_path(char *out, size_t size);

/* Opens the history in `path` (NULL: the default path) to record upgrades:
 * makes the missing folders and the file, sets up the schema (or checks its
 * version) and checks that the file is sound. A damaged file is renamed to
 * "<path>.corrupt-<UTC time>" (with its -wal and -shm), said in one line,
 * and a new file is started (the result is then OSTRELO_HISTORY_OK). On
 * failure `*out` is NULL and one line has said why. */
int ostrelo_history_open(const char *path, ostrelo_history_t **out);
/* Opens an existing history to read it; it writes nothing. A missing file
 * gives OSTRELO_HISTORY_NOT_FOUND. A handle opened to read logs no line:
 * its results say what failed, and the caller tells its user. */
int ostrelo_history_open_read(const char *path, ostrelo_history_t **out);
void ostrelo_history_close(ostrelo_history_t *h);
/* The file of an open history. */
const char *ostrelo_history_file(const ostrelo_history_t *h);
/* How long a change waits for a locked database (default
 * OSTRELO_HISTORY_BUSY_WAIT_MS). */
void ostrelo_history_set_busy_wait(ostrelo_history_t *h, uint32_t ms);

/* Clears `e` and fills the station (host name) and user of this process. */
void ostrelo_history_entry_init(ostrelo_history_entry_t *e);
/* Fills the file fields from the file at `path`: name, path as given, size,
 * SHA-256 and CRC-32. 0, or -1 when it cannot
 * be read (the fields stay empty). */
int ostrelo_history_describe_file(ostrelo_history_entry_t *e, const char *path);
/* Appends the attempts of one run of client_upgrade_run (its failed
 * attempts' causes, then how the last one ended) to e->attempts, numbered on
 * from e->attempt_count. */
void ostrelo_history_add_result(ostrelo_history_entry_t *e, const client_upgrade_result_t *result);

/* Records the start of an upgrade: a new entry with outcome "in progress"
 * (whatever e->outcome says), e->started_at now when "", and e->attempts.
 * Sets e->id and e->started_at. */
int ostrelo_history_begin(ostrelo_history_t *h, ostrelo_history_entry_t *e);
/* Records one attempt of entry `id` as it ends. */
int ostrelo_history_add_attempt(ostrelo_history_t *h, int64_t id, const ostrelo_history_attempt_t *attempt);
/* Completes entry e->id: outcome, version after, device CRC, note, and
 * e->ended_at (now when ""). When e->attempt_count > 0 the entry's attempts
 * become e->attempts (those written by add_attempt are replaced); with 0 they
 * stay. Sets e->ended_at. */
int ostrelo_history_finish(ostrelo_history_t *h, ostrelo_history_entry_t *e);

/* What to list; the init function sets "everything". */
typedef struct {
    char since[OSTRELO_HISTORY_TIME_MAX]; /* UTC "2026-12-01" or "2026-12-01T08:00[:00]"; "": no limit */
    int adapter;                          /* -1: any */
    int can_channel;                      /* -1: any */
    int node;                             /* -1: any */
    int outcome;                          /* an ostrelo_history_outcome_t, or -1: any */
} ostrelo_history_filter_t;

void ostrelo_history_filter_init(ostrelo_history_filter_t *f);
/* Sets the filter's "since" from a UTC date "2026-12-01", or a time
 * "2026-12-01T08:00" or "2026-12-01T08:00:00" (a final "Z" allowed): 0, or
 * -1 (nothing set) for another text. */
int ostrelo_history_filter_set_since(ostrelo_history_filter_t *f, const char *since);

/* Called once per entry, newest first; non-zero stops the listing. */
typedef int (*ostrelo_history_visit_t)(const ostrelo_history_entry_t *e, void *user);

/* Lists the entries that pass `filter` (NULL: all), newest first. The
 * number of entries visited, or a negative result. */
int ostrelo_history_list(ostrelo_history_t *h, const ostrelo_history_filter_t *filter,
                         ostrelo_history_visit_t visit, void *user);
/* Reads entry `id` into `*out`. */
int ostrelo_history_get(ostrelo_history_t *h, int64_t id, ostrelo_history_entry_t *out);

/* The recovery's lookup: the newest entry at `place` (the same transport,
 * channel and node, and the same adapter: by its serial when the place has
 * one, else by its index among adapters without one) begun within
 * `max_age_days` (0: OSTRELO_HISTORY_RECOVERY_DAYS), when that entry did not
 * end ok (failed, interrupted or in progress). An entry that ended ok later
 * than a failure settles it: OSTRELO_HISTORY_NOT_FOUND. */
int ostrelo_history_find_unfinished(ostrelo_history_t *h, const ostrelo_history_place_t *place,
                                    uint32_t max_age_days, ostrelo_history_entry_t *out);

/* ---- One upgrade as the window and the terminal program record it ------- */

/* How the adapters are reached, as the history keeps it: $OSTRELO_CAN, or
 * "sim" when it is unset or empty (the simulated bench). */
void ostrelo_history_transport(char *out, size_t size);

/* The place of the motor `node` on `channel`: the transport of this process,
 * the channel's adapter and channel, and `adapter_serial` (what the
 * adapter's board info reports; NULL or "" when none). */
void ostrelo_history_place_init(ostrelo_history_place_t *p, client_channel_id_t channel,
                                const char *adapter_serial, uint8_t node);

/* A new entry for the upgrade of the motor at `place` with the image at
 * `path`: station and user, the place, the identity (`identity` NULL: found
 * only in its bootloader), the version it ran before (when
 * `have_version_before`), the file's name, path, size, SHA-256 and CRC-32,
 * and `note` (may be NULL). 0, or -1 when the file cannot be read (its name
 * and path are kept, its digests stay empty). */
int ostrelo_history_entry_for(ostrelo_history_entry_t *e, const ostrelo_history_place_t *place,
                              const client_firmware_info_t *identity, int have_version_before,
                              uint32_t version_before, const char *path, const char *note);

/* Completes `e` from how one run of client_upgrade_run ended: its outcome
 * (ok, interrupted for a cancel, else failed), the version the started
 * application reported, the CRC the bootloader reported, and the attempts
 * with their causes. Then ostrelo_history_finish records it. */
void ostrelo_history_entry_result(ostrelo_history_entry_t *e, const client_upgrade_result_t *result);

/* `count` attempts in one line, "1 transfer: no answer during the transfer
 * (frames lost) (0x05040000); 2 done: ok" ("" for none), cut to `size`. */
void ostrelo_history_attempts_text(const ostrelo_history_attempt_t *attempts, uint32_t count, char *out,
                                   size_t size);

/* What the recovery of a motor found in its bootloader, identity unknown,
 * learns from the history. */
typedef enum {
    OSTRELO_RECOVERY_NONE = 0,        /* no entry at this place that did not end ok */
    OSTRELO_RECOVERY_READY = 1,       /* take the entry's identity and file */
    OSTRELO_RECOVERY_FILE_GONE = 2,   /* the entry's file cannot be read any more */
    OSTRELO_RECOVERY_FILE_CHANGED = 3 /* the entry's file has another SHA-256 now */
} ostrelo_recovery_state_t;

typedef struct {
    ostrelo_recovery_state_t state;
    ostrelo_history_entry_t entry; /* the history's entry (state other than NONE) */
    /* For the motor's record: "resumed from history entry 12", or why not:
     * "history entry 12 names 4009_SingleTarsel_B0_V1_0_0_4.bin (path),
     * which is gone" / "..., which has changed since (SHA-256)". */
    char note[OSTRELO_HISTORY_NOTE_MAX + OSTRELO_HISTORY_PATH_MAX];
} ostrelo_history_recovery_t;

/* Looks up the motor at `place` (ostrelo_history_find_unfinished within
 * `max_age_days`, 0: OSTRELO_HISTORY_RECOVERY_DAYS) and checks the entry's
 * file against its SHA-256. The state (0 and up), or a negative
 * OSTRELO_HISTORY_* result when the history cannot be read (`h` NULL:
 * OSTRELO_HISTORY_UNAVAILABLE). */
int ostrelo_history_recover(ostrelo_history_t *h, const ostrelo_history_place_t *place, uint32_t max_age_days,
                            ostrelo_history_recovery_t *out);

/* ---- SHA-256 (FIPS 180-4) ------------------------------------------------ */

typedef struct {
    uint32_t state[8];
    uint64_t length; /* bytes hashed */
    uint8_t block[64];
    size_t used; /* bytes waiting in block */
} ostrelo_sha256_t;

void ostrelo_sha256_init(ostrelo_sha256_t *c);
void ostrelo_sha256_update(ostrelo_sha256_t *c, const void *data, size_t n);
void ostrelo_sha256_final(ostrelo_sha256_t *c, uint8_t digest[32]);
/* The digest as 64 lower-case hex digits and a NUL. */
void ostrelo_sha256_hex(const uint8_t digest[32], char out[65]);
/* SHA-256 and size of the regular file at `path`: 0, or -1 when it cannot be
 * read to its end. */
int ostrelo_sha256_file(const char *path, char hex[65], uint64_t *size);

#ifdef __cplusplus
}
#endif

#endif
