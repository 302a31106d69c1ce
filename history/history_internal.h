// What the history's store and its common part share.
#ifndef OSTRELO_HISTORY_INTERNAL_H
#define OSTRELO_HISTORY_INTERNAL_H

#include "ostrelo_history.h"

#include <string>

// UTC time `seconds_ago` before now, "2026-12-09T10:11:12.345Z": the form
// of every time in the history (text order is time order).
std::string history_utc_time(int64_t seconds_ago = 0);
// Makes the folders above `path`; false when one cannot be made.
bool history_make_parent_folders(const std::string &path);
// The leading form of a --since text the filter accepts: "2026-12-01",
// "2026-12-01T08:00" or "2026-12-01T08:00:00", with an optional "Z"; false
// for another text.
bool history_since_valid(const char *since);
// A bounded copy: `src` cut to fit `dst` (NUL-terminated).
void history_copy(char *dst, size_t size, const char *src, size_t n);
template <size_t N> void history_copy(char (&dst)[N], const std::string &src) {
    history_copy(dst, N, src.data(), src.size());
}

#endif
