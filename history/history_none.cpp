// The history in a build without SQLite (the Windows cross build has none):
// every call says the history is unavailable, and callers carry on.
#include "history_internal.h"

extern "C" {

int ostrelo_history_available(void) {
    return 0;
}

int ostrelo_history_open(const char *, ostrelo_history_t **out) {
    if (out != nullptr) {
        *out = nullptr;
    }
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_open_read(const char *path, ostrelo_history_t **out) {
    return ostrelo_history_open(path, out);
}

void ostrelo_history_close(ostrelo_history_t *) {}

const char *ostrelo_history_file(const ostrelo_history_t *) {
    return "";
}

void ostrelo_history_set_busy_wait(ostrelo_history_t *, uint32_t) {}

int ostrelo_history_begin(ostrelo_history_t *, ostrelo_history_entry_t *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_add_attempt(ostrelo_history_t *, int64_t, const ostrelo_history_attempt_t *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_finish(ostrelo_history_t *, ostrelo_history_entry_t *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_list(ostrelo_history_t *, const ostrelo_history_filter_t *, ostrelo_history_visit_t,
                         void *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_get(ostrelo_history_t *, int64_t, ostrelo_history_entry_t *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

int ostrelo_history_find_unfinished(ostrelo_history_t *, const ostrelo_history_place_t *, uint32_t,
                                    ostrelo_history_entry_t *) {
    return OSTRELO_HISTORY_UNAVAILABLE;
}

} // extern "C"
