// Shared by the text-input fuzz targets: the input as a terminated string,
// and stdout silenced (the parsers report bad input with a line).
#ifndef OSTRELO_FUZZ_TEXT_H
#define OSTRELO_FUZZ_TEXT_H

#include "fuzz_check.h"
#include <cstdio>
#include <cstdlib>
#include <string>

inline std::string fuzz_text(const uint8_t *data, size_t size) {
    static bool quiet = false;
    if (!quiet) {
        quiet = true;
        if (freopen("/dev/null", "w", stdout) == nullptr) {
            abort();
        }
    }
    return std::string(reinterpret_cast<const char *>(data), size);
}

#endif
