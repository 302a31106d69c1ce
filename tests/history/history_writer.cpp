// A second program writing the history: records COUNT finished upgrades,
// each noted "TAG i". Exit code 0 when every one went in. It waits up to a
// minute for the file: the test counts rows, not how long a writer that
// loses every race to the lock waits.
//   history_writer DB COUNT TAG
#include <cstdio>
#include <cstdlib>
#include <string>

#include "ostrelo_history.h"

int main(int argc, char **argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: history_writer DB COUNT TAG\n");
        return 2;
    }
    ostrelo_history_t *h = nullptr;
    if (ostrelo_history_open(argv[1], &h) != OSTRELO_HISTORY_OK) {
        return 1;
    }
    ostrelo_history_set_busy_wait(h, 60000);
    const int count = atoi(argv[2]);
    for (int i = 0; i < count; ++i) {
        ostrelo_history_entry_t e;
        ostrelo_history_entry_init(&e);
        snprintf(e.place.transport, sizeof(e.place.transport), "sim");
        e.place.node = static_cast<uint8_t>(i % 127 + 1);
        snprintf(e.file_name, sizeof(e.file_name), "fw.bin");
        snprintf(e.note, sizeof(e.note), "%s %d", argv[3], i);
        const ostrelo_history_attempt_t a = {1, "done", "ok", 0};
        bool ok = ostrelo_history_begin(h, &e) == OSTRELO_HISTORY_OK &&
                  ostrelo_history_add_attempt(h, e.id, &a) == OSTRELO_HISTORY_OK;
        e.outcome = OSTRELO_HISTORY_OUTCOME_OK;
        ok = ok && ostrelo_history_finish(h, &e) == OSTRELO_HISTORY_OK;
        if (!ok) {
            ostrelo_history_close(h);
            return 1;
        }
    }
    ostrelo_history_close(h);
    return 0;
}
