// The firmware folder cache and the pairing of discovered motors with files
// by the naming rule.
#include "client_api.h"
#include "ostrelo_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "client_api_names.h"
#include "ostrelo_files.h"

cached_bin_file_t g_bin_file_cache[CLIENT_MAX_BIN_FILES];
size_t g_bin_file_count = 0;
char g_cached_folder_path[CLIENT_PATH_LEN];
bool_t g_file_cache_valid = false;
client_matched_file_t g_matched_files[CLIENT_MOTOR_TABLE_SIZE];
size_t g_bin_file_too_long = 0;

bool_t str_ends_with_ignore_case(const char *str, const char *suffix) {
    return ostrelo_ends_with_ignore_case(str, suffix) != 0;
}

int get_absolute_path(const char *base_path, const char *filename, char *output, size_t output_size) {
    if (base_path == nullptr || filename == nullptr || output == nullptr || output_size == 0) {
        return -1;
    }
    const size_t need = strlen(base_path) + 1 + strlen(filename) + 1;
    char *joined = static_cast<char *>(malloc(need));
    if (joined == nullptr) {
        output[0] = '\0';
        return -1;
    }
    snprintf(joined, need, "%s%c%s", base_path, ostrelo_path_separator(), filename);
    char *abs = ostrelo_absolute_path(joined);
    int rc = -1;
    if (abs != nullptr && strlen(abs) < output_size) {
        memcpy(output, abs, strlen(abs) + 1);
        rc = 0;
    }
    free(abs);
    if (rc != 0) {
        snprintf(output, output_size, "%s", joined);
    }
    free(joined);
    return rc;
}

namespace {

// Adds one listed file to the cache. Directories (and other non-files) are
// skipped. A path too long for the record is left out too (cut, it would
// name some other file, and a motor would be paired with that), but said and
// counted: a file the user put there must not vanish without a word.
void cache_add(const char *name, void *ctx) {
    const char *folderPath = static_cast<const char *>(ctx);
    if (g_bin_file_count >= CLIENT_MAX_BIN_FILES) {
        return;
    }
    char full[CLIENT_PATH_LEN];
    const size_t joinedLen = strlen(folderPath) + 1 + strlen(name);
    const int abs = get_absolute_path(folderPath, name, full, sizeof(full));
    if (abs != 0 && joinedLen >= sizeof(full)) {
        ++g_bin_file_too_long;
        ostrelo_warning(
            "[WARNING] Firmware file left out: its path has %zu characters, the file cache holds %d: "
            "%s%c%s\n",
            joinedLen, CLIENT_PATH_LEN - 1, folderPath, ostrelo_path_separator(), name);
        return;
    }
    if (!ostrelo_is_regular_file(full)) {
        return;
    }
    cached_bin_file_t *e = &g_bin_file_cache[g_bin_file_count++];
    snprintf(e->filename, sizeof(e->filename), "%s", name);
    memcpy(e->fullPath, full, sizeof(e->fullPath));
    e->fullPath[sizeof(e->fullPath) - 1] = '\0';
}

} // namespace

int cache_directory_bin_files_impl(const char *folderPath) {
    if (folderPath == nullptr) {
        return 0;
    }
    if (g_file_cache_valid && strcmp(folderPath, g_cached_folder_path) == 0) {
        return static_cast<int>(g_bin_file_count);
    }
    g_bin_file_count = 0;
    g_bin_file_too_long = 0;
    memset(g_bin_file_cache, 0, sizeof(g_bin_file_cache));
    snprintf(g_cached_folder_path, sizeof(g_cached_folder_path), "%s", folderPath);
    // On Windows this searches the pattern "%s\*.bin": the folder, a
    // backslash, then *.bin; elsewhere it reads the folder sorted by name.
    ostrelo_list_folder(folderPath, ".bin", cache_add, const_cast<char *>(folderPath));
    g_file_cache_valid = true;
    return static_cast<int>(g_bin_file_count);
}

int client_api_cache_directory_bin_files(const char *folderPath) {
    return cache_directory_bin_files_impl(folderPath);
}

namespace {

// The part of a listed name the naming rule reads: at most 255 characters,
// without a ".bin" suffix (any letter case).
void file_stem(const char *filename, char (&stem)[CLIENT_FILENAME_LEN]) {
    snprintf(stem, sizeof(stem), "%s", filename);
    if (strlen(stem) >= 4 && str_ends_with_ignore_case(stem, ".bin")) {
        char *dot = strrchr(stem, '.');
        if (dot != nullptr) {
            *dot = '\0';
        }
    }
}

} // namespace

bool_t match_filename_with_key(const char *filename, const char *filenameKey) {
    if (filename == nullptr || filenameKey == nullptr || filenameKey[0] == '\0') {
        return false;
    }
    char stem[CLIENT_FILENAME_LEN];
    file_stem(filename, stem);
    size_t k = 0;
    for (const char *p = stem; *p != '\0'; ++p) {
        unsigned char ch = static_cast<unsigned char>(*p);
        if (ch == '_') {
            continue;
        }
        if (ch >= 'A' && ch <= 'Z') {
            ch = static_cast<unsigned char>(ch - 'A' + 'a');
        }
        if (ch == static_cast<unsigned char>(filenameKey[k])) {
            ++k;
            if (filenameKey[k] == '\0') {
                return true;
            }
        }
    }
    return false;
}

int client_api_match_bin_files(const char *folderPath) {
    if (folderPath == nullptr) {
        ostrelo_error("Error: Invalid folder path\n");
        return -1;
    }
    const int cached = client_api_cache_directory_bin_files(folderPath);
    ostrelo_info("Cached %d .bin files from directory: %s\n", cached, folderPath);
    memset(g_matched_files, 0, sizeof(g_matched_files));
    int matched = 0;
    for (unsigned node = 1; node <= CLIENT_MAX_NODE_ID; ++node) {
        const client_discovered_motor_t *m = &g_discovered_motors[node];
        if (m->nodeId == 0 || m->info.filenameKey[0] == '\0' || g_bin_file_count == 0) {
            continue;
        }
        char key[sizeof(m->info.filenameKey)];
        snprintf(key, sizeof(key), "%.*s", static_cast<int>(sizeof(key) - 1), m->info.filenameKey);
        for (size_t i = 0; i < g_bin_file_count && i < CLIENT_MAX_BIN_FILES; ++i) {
            if (match_filename_with_key(g_bin_file_cache[i].filename, key)) {
                client_matched_file_t *e = &g_matched_files[node];
                memcpy(e->filename, g_bin_file_cache[i].filename, sizeof(e->filename));
                memcpy(e->fullPath, g_bin_file_cache[i].fullPath, sizeof(e->fullPath));
                e->matched = true;
                ++matched;
                break;
            }
        }
    }
    ostrelo_info("Matched %d motors with bin files\n", matched);
    return matched;
}

void client_api_print_matched_files(void) {
    ostrelo_info("\n=== Matched Bin Files (by nodeId) ===\n");
    for (unsigned node = 1; node <= CLIENT_MAX_NODE_ID; ++node) {
        const client_discovered_motor_t *m = &g_discovered_motors[node];
        if (m->nodeId == 0) {
            continue;
        }
        ostrelo_info("[node %u] Channel: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n", node,
                     m->channelId.deviceType, m->channelId.deviceIndex, m->channelId.canChannel,
                     static_cast<unsigned>(m->channelId.bitrate));
        char key[sizeof(m->info.filenameKey) + 1];
        memcpy(key, m->info.filenameKey, sizeof(m->info.filenameKey));
        key[sizeof(m->info.filenameKey)] = '\0';
        ostrelo_info("  Filename key: %s\n", key);
        const client_matched_file_t *f = &g_matched_files[node];
        if (f->matched) {
            char name[sizeof(f->filename) + 1];
            char path[sizeof(f->fullPath) + 1];
            memcpy(name, f->filename, sizeof(f->filename));
            name[sizeof(f->filename)] = '\0';
            memcpy(path, f->fullPath, sizeof(f->fullPath));
            path[sizeof(f->fullPath)] = '\0';
            ostrelo_info("  Matched file: %s\n", name);
            ostrelo_info("  Full path: %s\n", path);
        } else {
            ostrelo_info("  No matched file found\n");
        }
    }
}

void client_api_clear_file_cache(void) {
    g_file_cache_valid = false;
    g_bin_file_count = 0;
    g_bin_file_too_long = 0;
    memset(g_bin_file_cache, 0, sizeof(g_bin_file_cache));
    memset(g_cached_folder_path, 0, sizeof(g_cached_folder_path));
    memset(g_matched_files, 0, sizeof(g_matched_files));
}

// ---- exact and loose candidates, the version in a name ----------------------

namespace {

bool is_alnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// A field of the identity as the key holds it: its letters and digits,
// lowercase. The field may lack its terminator; `cap` bounds the read.
void key_part(const char *field, size_t cap, char (&out)[CLIENT_FILENAME_LEN]) {
    size_t n = 0;
    for (size_t i = 0; i < cap && field[i] != '\0' && n + 1 < sizeof(out); ++i) {
        const unsigned char c = static_cast<unsigned char>(field[i]);
        if (is_alnum(c)) {
            out[n++] = static_cast<char>(fold(c));
        }
    }
    out[n] = '\0';
}

// Whether the stem begins with the three parts, each a whole token.
bool begins_with_tokens(const char *stem, const char *const parts[3]) {
    const char *p = stem;
    for (int i = 0; i < 3; ++i) {
        const size_t n = strlen(parts[i]);
        if (n == 0) {
            return false;
        }
        for (size_t j = 0; j < n; ++j) {
            if (p[j] == '\0' ||
                fold(static_cast<unsigned char>(p[j])) != static_cast<unsigned char>(parts[i][j])) {
                return false;
            }
        }
        p += n;
        if (*p == '\0') {
            return i == 2;
        }
        if (*p != '_') {
            return false;
        }
        ++p;
    }
    return true;
}

void list_candidate(size_t index, size_t *count, size_t (&listed)[CLIENT_CANDIDATES_LISTED]) {
    if (*count < CLIENT_CANDIDATES_LISTED) {
        listed[*count] = index;
    }
    ++*count;
}

// Reads a decimal part 0..255 at `p`; the character after it in *end.
bool version_part(const char *p, const char **end, uint32_t *value) {
    uint32_t v = 0;
    size_t digits = 0;
    while (p[digits] >= '0' && p[digits] <= '9') {
        v = v * 10u + static_cast<uint32_t>(p[digits] - '0');
        if (++digits > 3 || v > 255u) {
            return false;
        }
    }
    *end = p + digits;
    *value = v;
    return digits > 0;
}

} // namespace

int client_api_file_match_kind(const char *filename, const client_firmware_info_t *info) {
    if (filename == nullptr || info == nullptr) {
        return CLIENT_FILE_MATCH_NONE;
    }
    char key[sizeof(info->filenameKey) + 1];
    memcpy(key, info->filenameKey, sizeof(info->filenameKey));
    key[sizeof(info->filenameKey)] = '\0';
    if (!match_filename_with_key(filename, key)) {
        return CLIENT_FILE_MATCH_NONE;
    }
    char model[CLIENT_FILENAME_LEN];
    char encoder[CLIENT_FILENAME_LEN];
    char brake[CLIENT_FILENAME_LEN];
    key_part(info->firmwareModel, sizeof(info->firmwareModel), model);
    key_part(info->encoderName, sizeof(info->encoderName), encoder);
    key_part(info->brakeSuffix, sizeof(info->brakeSuffix), brake);
    const char *const parts[3] = {model, encoder, brake};
    char stem[CLIENT_FILENAME_LEN];
    file_stem(filename, stem);
    return begins_with_tokens(stem, parts) ? CLIENT_FILE_MATCH_EXACT : CLIENT_FILE_MATCH_LOOSE;
}

int client_api_file_candidates(const client_firmware_info_t *info, const char *const *names, size_t count,
                               client_file_candidates_t *out) {
    if (out == nullptr) {
        return CLIENT_PAIR_NONE;
    }
    memset(out, 0, sizeof(*out));
    if (info == nullptr || (names == nullptr && count > 0)) {
        return CLIENT_PAIR_NONE;
    }
    // The exact files newest first: of several made for the motor, the one
    // with the highest version in its name is the one to offer (a name
    // without a version counts lowest; equal ones stay in listing order).
    int64_t rank[CLIENT_CANDIDATES_LISTED] = {0};
    for (size_t i = 0; i < count; ++i) {
        const int kind = client_api_file_match_kind(names[i], info);
        if (kind == CLIENT_FILE_MATCH_EXACT) {
            uint32_t v = 0;
            const int64_t r = client_api_file_name_version(names[i], &v) == 0 ? static_cast<int64_t>(v) : -1;
            size_t at =
                out->exactCount < CLIENT_CANDIDATES_LISTED ? out->exactCount : CLIENT_CANDIDATES_LISTED;
            while (at > 0 && rank[at - 1] < r) {
                --at;
            }
            if (at < CLIENT_CANDIDATES_LISTED) {
                const size_t last = out->exactCount < CLIENT_CANDIDATES_LISTED - 1
                                        ? out->exactCount
                                        : CLIENT_CANDIDATES_LISTED - 1;
                for (size_t k = last; k > at; --k) {
                    out->exact[k] = out->exact[k - 1];
                    rank[k] = rank[k - 1];
                }
                out->exact[at] = i;
                rank[at] = r;
            }
            ++out->exactCount;
        } else if (kind == CLIENT_FILE_MATCH_LOOSE) {
            list_candidate(i, &out->looseCount, out->loose);
        }
    }
    if (out->exactCount == 1) {
        return CLIENT_PAIR_EXACT;
    }
    if (out->exactCount > 1) {
        return CLIENT_PAIR_SEVERAL_EXACT;
    }
    return out->looseCount > 0 ? CLIENT_PAIR_LOOSE_ONLY : CLIENT_PAIR_NONE;
}

int client_api_cached_file_candidates(const client_firmware_info_t *info, client_file_candidates_t *out) {
    const char *names[CLIENT_MAX_BIN_FILES];
    const size_t count = g_bin_file_count < CLIENT_MAX_BIN_FILES ? g_bin_file_count : CLIENT_MAX_BIN_FILES;
    for (size_t i = 0; i < count; ++i) {
        names[i] = g_bin_file_cache[i].filename;
    }
    return client_api_file_candidates(info, names, count, out);
}

int client_api_file_name_version(const char *filename, uint32_t *version) {
    if (filename == nullptr || version == nullptr) {
        return -1;
    }
    char stem[CLIENT_FILENAME_LEN];
    file_stem(filename, stem);
    for (const char *p = stem; *p != '\0'; ++p) {
        if ((*p != 'V' && *p != 'v') || (p > stem && is_alnum(static_cast<unsigned char>(p[-1])))) {
            continue;
        }
        const char *q = p + 1;
        uint32_t v = 0;
        bool ok = true;
        // V1_0_0_4 as ostrelo-mkfw writes it, or V1.0.0.4 as people do: one
        // separator throughout.
        char sep = '\0';
        for (int i = 0; i < 4 && ok; ++i) {
            uint32_t part = 0;
            ok = version_part(q, &q, &part);
            if (ok && i < 3) {
                sep = i == 0 && (*q == '_' || *q == '.') ? *q : sep;
                ok = *q == sep && sep != '\0';
                ++q;
            }
            v = (v << 8) | part;
        }
        if (ok && !is_alnum(static_cast<unsigned char>(*q))) {
            *version = v;
            return 0;
        }
    }
    return -1;
}
