// The firmware naming rule: keys built from any identity stay terminated and
// within their buffer, and matching any file name against any key is safe.
#include "client_api.h"
#include "fuzz_text.h"

#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz_text(data, size);
    client_firmware_info_t info;
    memset(&info, 0, sizeof info);
    const size_t n = size < sizeof info ? size : sizeof info;
    memcpy(&info, data, n); // text fields possibly without terminator
    char key[128];
    memset(key, 0x5A, sizeof key);
    client_api_build_fw_filename_key(&info, key, sizeof key);
    FUZZ_CHECK(memchr(key, 0, sizeof key) != nullptr);
    char small[4];
    client_api_build_fw_filename_key(&info, small, sizeof small);
    FUZZ_CHECK(memchr(small, 0, sizeof small) != nullptr);

    const size_t cut = size > 0 ? data[0] % (size + 1) : 0;
    const std::string filename = text.substr(0, cut);
    const std::string other = text.substr(cut);
    match_filename_with_key(filename.c_str(), other.c_str());
    match_filename_with_key(filename.c_str(), key);
    return 0;
}
