// The firmware folder cache and the pairing of discovered motors with files
// by the naming rule.
#include "client_api.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

cached_bin_file_t g_bin_file_cache[CLIENT_MAX_BIN_FILES];
size_t g_bin_file_count = 0;
char g_cached_folder_path[CLIENT_PATH_LEN];
bool_t g_file_cache_valid = false;
client_matched_file_t g_matched_files[CLIENT_MOTOR_TABLE_SIZE];

namespace {

#ifndef _WIN32
int bin_name_filter(const struct dirent *e) {
    return str_ends_with_ignore_case(e->d_name, ".bin") ? 1 : 0;
}

// Byte order, not the locale's collation: the first matching file must be the
// same on every machine.
int by_name(const struct dirent **a, const struct dirent **b) {
    return strcmp((*a)->d_name, (*b)->d_name);
}

// Removes "." and empty segments and resolves ".." lexically, in place.
// `path` is absolute.
void normalize_absolute(char *path) {
    const size_t len = strlen(path);
    char *out = path; // writing never overtakes reading
    size_t o = 0;
    size_t i = 0;
    while (i < len) {
        while (i < len && path[i] == '/') {
            ++i;
        }
        const size_t segStart = i;
        while (i < len && path[i] != '/') {
            ++i;
        }
        const size_t segLen = i - segStart;
        if (segLen == 0 || (segLen == 1 && path[segStart] == '.')) {
            continue;
        }
        if (segLen == 2 && path[segStart] == '.' && path[segStart + 1] == '.') {
            while (o > 0 && out[o - 1] != '/') {
                --o;
            }
            if (o > 0) {
                --o; // drop the separator before the removed segment
            }
            continue;
        }
        out[o++] = '/';
        memmove(out + o, path + segStart, segLen);
        o += segLen;
    }
    if (o == 0) {
        out[o++] = '/';
    }
    out[o] = '\0';
}
#endif

} // namespace

bool_t str_ends_with_ignore_case(const char *str, const char *suffix) {
    if (str == nullptr || suffix == nullptr) {
        return false;
    }
    const size_t n = strlen(str);
    const size_t m = strlen(suffix);
    if (m > n) {
        return false;
    }
    const char *tail = str + (n - m);
    for (size_t i = 0; i < m; ++i) {
        unsigned char a = static_cast<unsigned char>(tail[i]);
        unsigned char b = static_cast<unsigned char>(suffix[i]);
        if (a >= 'A' && a <= 'Z') {
            a = static_cast<unsigned char>(a - 'A' + 'a');
        }
        if (b >= 'A' && b <= 'Z') {
            b = static_cast<unsigned char>(b - 'A' + 'a');
        }
        if (a != b) {
            return false;
        }
    }
    return true;
}

namespace {

#ifdef _WIN32
constexpr char kSeparator = '\\';

// The absolute form of `path` in a malloc'ed buffer, or NULL.
char *absolute_of(const char *path) {
    char *abs = static_cast<char *>(malloc(CLIENT_PATH_LEN));
    if (abs != nullptr && _fullpath(abs, path, CLIENT_PATH_LEN) == nullptr) {
        free(abs);
        abs = nullptr;
    }
    return abs;
}
#else
constexpr char kSeparator = '/';

char *absolute_of(const char *path) {
    char *abs = nullptr;
    if (path[0] == '/') {
        abs = strdup(path);
    } else {
        char *cwd = getcwd(nullptr, 0);
        if (cwd != nullptr) {
            const size_t n = strlen(cwd) + 1 + strlen(path) + 1;
            abs = static_cast<char *>(malloc(n));
            if (abs != nullptr) {
                snprintf(abs, n, "%s/%s", cwd, path);
            }
            free(cwd);
        }
    }
    if (abs != nullptr) {
        normalize_absolute(abs);
    }
    return abs;
}
#endif

} // namespace

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
    snprintf(joined, need, "%s%c%s", base_path, kSeparator, filename);
    char *abs = absolute_of(joined);
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

bool is_regular_file(const char *path) {
#ifdef _WIN32
    const DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

// Adds one listed file to the cache. Directories (and other non-files) are
// skipped, and so is a path too long for the record: cut, it would name some
// other file, and a motor would be paired with that.
void cache_add(const char *folderPath, const char *name) {
    if (g_bin_file_count >= CLIENT_MAX_BIN_FILES) {
        return;
    }
    char full[CLIENT_PATH_LEN];
    const size_t joinedLen = strlen(folderPath) + 1 + strlen(name);
    const int abs = get_absolute_path(folderPath, name, full, sizeof(full));
    if ((abs != 0 && joinedLen >= sizeof(full)) || !is_regular_file(full)) {
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

#ifdef _WIN32
    // The pattern "%s\*.bin": the folder, a backslash, then *.bin.
    const size_t patternSize = strlen(folderPath) + sizeof("\\*.bin");
    char *pattern = static_cast<char *>(malloc(patternSize));
    WIN32_FIND_DATAA found;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (pattern != nullptr) {
        snprintf(pattern, patternSize, "%s\\*.bin", folderPath);
        h = FindFirstFileA(pattern, &found);
        free(pattern);
    }
    if (h != INVALID_HANDLE_VALUE) {
        do {
            // "*.bin" also matches through 8.3 short names ("a.binary" is
            // "A~1.BIN"), so the long name is checked again.
            if (str_ends_with_ignore_case(found.cFileName, ".bin")) {
                cache_add(folderPath, found.cFileName);
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
#else
    struct dirent **names = nullptr;
    const int n = scandir(folderPath, &names, bin_name_filter, by_name);
    for (int i = 0; i < n; ++i) {
        cache_add(folderPath, names[i]->d_name);
        free(names[i]);
    }
    free(names);
#endif
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
        printf("Error: Invalid folder path\n");
        return -1;
    }
    const int cached = client_api_cache_directory_bin_files(folderPath);
    printf("Cached %d .bin files from directory: %s\n", cached, folderPath);
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
    printf("Matched %d motors with bin files\n", matched);
    return matched;
}

void client_api_print_matched_files(void) {
    printf("\n=== Matched Bin Files (by nodeId) ===\n");
    for (unsigned node = 1; node <= CLIENT_MAX_NODE_ID; ++node) {
        const client_discovered_motor_t *m = &g_discovered_motors[node];
        if (m->nodeId == 0) {
            continue;
        }
        printf("[node %u] Channel: Type=%u, Index=%u, Channel=%u, Bitrate=%u\n", node,
               m->channelId.deviceType, m->channelId.deviceIndex, m->channelId.canChannel,
               static_cast<unsigned>(m->channelId.bitrate));
        char key[sizeof(m->info.filenameKey) + 1];
        memcpy(key, m->info.filenameKey, sizeof(m->info.filenameKey));
        key[sizeof(m->info.filenameKey)] = '\0';
        printf("  Filename key: %s\n", key);
        const client_matched_file_t *f = &g_matched_files[node];
        if (f->matched) {
            char name[sizeof(f->filename) + 1];
            char path[sizeof(f->fullPath) + 1];
            memcpy(name, f->filename, sizeof(f->filename));
            name[sizeof(f->filename)] = '\0';
            memcpy(path, f->fullPath, sizeof(f->fullPath));
            path[sizeof(f->fullPath)] = '\0';
            printf("  Matched file: %s\n", name);
            printf("  Full path: %s\n", path);
        } else {
            printf("  No matched file found\n");
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
