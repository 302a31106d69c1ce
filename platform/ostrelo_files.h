/* Portable folder listing and path forms, for the firmware folder cache. */
#ifndef OSTRELO_FILES_H
#define OSTRELO_FILES_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* '\\' on Windows, '/' elsewhere. */
char ostrelo_path_separator(void);

/* 1 when `str` ends with `suffix`, ASCII letters compared without case;
 * 0 otherwise, and for a null argument. "FW.BIN" ends with ".bin". */
int ostrelo_ends_with_ignore_case(const char *str, const char *suffix);

/* The absolute form of `path` in a malloc'ed buffer (the caller frees it),
 * or NULL. Elsewhere than Windows, "." and empty segments are removed and
 * ".." is resolved lexically: with the working folder /w, "a/./b/../c.bin"
 * gives "/w/a/c.bin". Windows uses the system's own rule (_fullpath). */
char *ostrelo_absolute_path(const char *path);

/* 1 when `path` names a regular file (not a folder or device), else 0. */
int ostrelo_is_regular_file(const char *path);

/* Calls `visit` once for each entry of `folder` whose name ends with
 * `suffix` (without case), in byte order of the names elsewhere than
 * Windows, in the system's order on Windows. Entries are not checked for
 * being files. Returns the number of calls; 0 when the folder cannot be
 * read. */
int ostrelo_list_folder(const char *folder, const char *suffix, void (*visit)(const char *name, void *ctx),
                        void *ctx);

#ifdef __cplusplus
}
#endif

#endif
