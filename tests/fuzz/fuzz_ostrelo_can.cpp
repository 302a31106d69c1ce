// The OSTRELO_CAN parser: any value is accepted or refused, and what it
// fills in is terminated and in range.
#include "controlcan_internal.h"
#include "fuzz_text.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_text(data, size);
    controlcan_selection_t sel;
    memset(&sel, 0xA5, sizeof sel);
    if (controlcan_parse_selection(text.c_str(), &sel) == 1) {
        FUZZ_CHECK(memchr(sel.path, 0, sizeof sel.path) != nullptr);
        for (auto &adapter : sel.map.ifname) {
            for (auto &name : adapter) {
                FUZZ_CHECK(memchr(name, 0, sizeof name) != nullptr);
            }
        }
    }
    return 0;
}
