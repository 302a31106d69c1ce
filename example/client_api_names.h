/* Upgrade client API: what firmware file names and SDO abort codes say.
 *
 * Which files of a folder a motor pairs with, told apart as exact and loose
 * candidates; the version a file name carries; the meaning of an SDO abort
 * code. Pure functions over names and numbers (the cached variant reads the
 * file cache), for the window and the command-line tool alike. */
#ifndef CLIENT_API_NAMES_H
#define CLIENT_API_NAMES_H

#include "client_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* How one file name pairs with one motor. */
#define CLIENT_FILE_MATCH_NONE 0  /* the naming rule does not pair them */
#define CLIENT_FILE_MATCH_LOOSE 1 /* the naming rule pairs them, but the name is not made for the motor */
#define CLIENT_FILE_MATCH_EXACT                                                                              \
    2 /* the stem begins with model, encoder and brake suffix, in that order,                                \
       * each a whole token between underscores ("4009_SingleTarsel_B0",                                     \
       * then the end of the stem or '_'), letter case ignored */

/* CLIENT_FILE_MATCH_* of `filename` for the motor `info` (its filenameKey
 * must be filled in). An exact file always pairs by the naming rule too.
 * NONE for a null argument. */
int client_api_file_match_kind(const char *filename, const client_firmware_info_t *info);

/* What the files of a listing offer one motor. */
#define CLIENT_PAIR_NONE 0          /* no file pairs */
#define CLIENT_PAIR_EXACT 1         /* one exact file (loose ones may exist beside it): take it */
#define CLIENT_PAIR_LOOSE_ONLY 2    /* no exact file, one or more loose ones */
#define CLIENT_PAIR_SEVERAL_EXACT 3 /* two or more exact files */

/* The first candidates of each kind are listed: the exact ones by the
 * version their names carry, highest first (a name without a version
 * last, equal ones in listing order), the loose ones in listing order. */
#define CLIENT_CANDIDATES_LISTED 8

typedef struct {
    size_t exactCount;                      /* all exact candidates */
    size_t looseCount;                      /* all loose candidates (the rule pairs them, not exact) */
    size_t exact[CLIENT_CANDIDATES_LISTED]; /* indexes into the listing */
    size_t loose[CLIENT_CANDIDATES_LISTED];
} client_file_candidates_t;

/* Sorts `count` file names into the exact and loose candidates of the motor
 * `info` and returns CLIENT_PAIR_*. Only SEVERAL_EXACT and LOOSE_ONLY leave a
 * choice to a person (exact[0] is then the newest); the naming rule alone
 * (client_api_match_bin_files) would take the first candidate of either
 * kind in listing order. Null
 * names count as no match. Returns CLIENT_PAIR_NONE (and an empty *out) for
 * a null `info` or `out`. */
int client_api_file_candidates(const client_firmware_info_t *info, const char *const *names, size_t count,
                               client_file_candidates_t *out);
/* The same over the file cache (g_bin_file_cache, listing order); the
 * indexes are cache entries. */
int client_api_cached_file_candidates(const client_firmware_info_t *info, client_file_candidates_t *out);

/* Files of the last listing left out of the file cache because their path
 * does not fit its 511 characters (each also printed as a "[WARNING]" line).
 * A caller that shows the pairing says so rather than "no file". */
extern size_t g_bin_file_too_long;

/* Reads the version a firmware file name carries as V<a>_<b>_<c>_<d> or
 * V<a>.<b>.<c>.<d> (one separator throughout; or v...), each part a
 * decimal number 0..255, standing as a whole token: at
 * the start of the name or after a character that is neither letter nor
 * digit, and followed by the end of the stem or such a character. The
 * result has the layout of softwareVersion (a is the most significant
 * byte). 0 when found (the first such token), -1 when the name carries
 * none or an argument is null. */
int client_api_file_name_version(const char *filename, uint32_t *version);

/* The CiA 301 meaning of an SDO abort code, as a short English phrase
 * ("toggle bit not alternated"), or NULL for a code the standard does not
 * define. */
const char *client_api_sdo_abort_text(uint32_t code);

#ifdef __cplusplus
}
#endif

#endif
