// Folder listing and path forms, one routine per platform step.
#include "ostrelo_files.h"

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

namespace {

#ifndef _WIN32
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

extern "C" char ostrelo_path_separator(void) {
#ifdef _WIN32
    return '\\';
#else
    return '/';
#endif
}

extern "C" int ostrelo_ends_with_ignore_case(const char *str, const char *suffix) {
    if (str == nullptr || suffix == nullptr) {
        return 0;
    }
    const size_t n = strlen(str);
    const size_t m = strlen(suffix);
    if (m > n) {
        return 0;
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
            return 0;
        }
    }
    return 1;
}

extern "C" char *ostrelo_absolute_path(const char *path) {
    if (path == nullptr) {
        return nullptr;
    }
#ifdef _WIN32
    char *abs = static_cast<char *>(malloc(MAX_PATH * 4));
    if (abs != nullptr && _fullpath(abs, path, MAX_PATH * 4) == nullptr) {
        free(abs);
        abs = nullptr;
    }
    return abs;
#else
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
#endif
}

extern "C" int ostrelo_is_regular_file(const char *path) {
    if (path == nullptr) {
        return 0;
    }
#ifdef _WIN32
    const DWORD a = GetFileAttributesA(path);
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) == 0;
#else
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

extern "C" int ostrelo_list_folder(const char *folder, const char *suffix,
                                   void (*visit)(const char *name, void *ctx), void *ctx) {
    if (folder == nullptr || suffix == nullptr || visit == nullptr) {
        return 0;
    }
    int count = 0;
#ifdef _WIN32
    // The pattern "%s\*<suffix>": the folder, a backslash, then *.bin.
    const size_t patternSize = strlen(folder) + 2 + strlen(suffix) + 1;
    char *pattern = static_cast<char *>(malloc(patternSize));
    WIN32_FIND_DATAA found;
    HANDLE h = INVALID_HANDLE_VALUE;
    if (pattern != nullptr) {
        snprintf(pattern, patternSize, "%s\\*%s", folder, suffix);
        h = FindFirstFileA(pattern, &found);
        free(pattern);
    }
    if (h != INVALID_HANDLE_VALUE) {
        do {
            // "*.bin" also matches through 8.3 short names ("a.binary" is
            // "A~1.BIN"), so the long name is checked again.
            if (ostrelo_ends_with_ignore_case(found.cFileName, suffix)) {
                visit(found.cFileName, ctx);
                ++count;
            }
        } while (FindNextFileA(h, &found));
        FindClose(h);
    }
#else
    struct dirent **names = nullptr;
    const int n = scandir(folder, &names, nullptr, by_name);
    for (int i = 0; i < n; ++i) {
        if (ostrelo_ends_with_ignore_case(names[i]->d_name, suffix)) {
            visit(names[i]->d_name, ctx);
            ++count;
        }
        free(names[i]);
    }
    free(names);
#endif
    return count;
}
