// The firmware folder cache and the pairing of discovered motors with files
// by the naming rule.
#include "client_api.h"
#include "ostrelo_log.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ostrelo_files.h"

cached_bin_file_t g_bin_file_cache[CLIENT_MAX_BIN_FILES];
size_t g_bin_file_count = 0;
char g_cached_folder_path[CLIENT_PATH_LEN];
bool_t g_file_cache_valid = false;
client_matched_file_t g_matched_files[CLIENT_MOTOR_TABLE_SIZE];

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
// skipped, and so is a path too long for the record: cut, it would name some
// other file, and a motor would be paired with that.
void cache_add(const char *name, void *ctx) {
    const char *folderPath = static_cast<const char *>(ctx);
    if (g_bin_file_count >= CLIENT_MAX_BIN_FILES) {
        return;
    }
    char full[CLIENT_PATH_LEN];
    const size_t joinedLen = strlen(folderPath) + 1 + strlen(name);
    const int abs = get_absolute_path(folderPath, name, full, sizeof(full));
    if ((abs != 0 && joinedLen >= sizeof(full)) || !ostrelo_is_regular_file(full)) {
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

bool_t match_filename_with_key(const char *filename, const char *filenameKey) {
    if (filename == nullptr || filenameKey == nullptr || filenameKey[0] == '\0') {
        return false;
    }
    char stem[CLIENT_FILENAME_LEN];
    snprintf(stem, sizeof(stem), "%s", filename);
    if (strlen(stem) >= 4 && str_ends_with_ignore_case(stem, ".bin")) {
        char *dot = strrchr(stem, '.');
        if (dot != nullptr) {
            *dot = '\0';
        }
    }
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
    memset(g_bin_file_cache, 0, sizeof(g_bin_file_cache));
    memset(g_cached_folder_path, 0, sizeof(g_cached_folder_path));
    memset(g_matched_files, 0, sizeof(g_matched_files));
}
