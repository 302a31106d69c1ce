// The firmware naming rule: keys built from any identity stay terminated and
// within their buffer, and matching any file name against any key is safe;
// so are the exact/loose sorting and the version read from a name, and an
// exact file always pairs by the rule too.
#include "client_api.h"
#include "client_api_names.h"
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

    const int kind = client_api_file_match_kind(filename.c_str(), &info); // info's key may lack its end
    FUZZ_CHECK(kind == CLIENT_FILE_MATCH_NONE || kind == CLIENT_FILE_MATCH_LOOSE ||
               kind == CLIENT_FILE_MATCH_EXACT);
    memcpy(info.filenameKey, key, sizeof key);
    if (client_api_file_match_kind(filename.c_str(), &info) == CLIENT_FILE_MATCH_EXACT) {
        FUZZ_CHECK(match_filename_with_key(filename.c_str(), key));
    }
    const char *names[2] = {filename.c_str(), other.c_str()};
    client_file_candidates_t cand;
    client_api_file_candidates(&info, names, 2, &cand);
    FUZZ_CHECK(cand.exactCount + cand.looseCount <= 2);
    uint32_t version = 0;
    client_api_file_name_version(filename.c_str(), &version);
    return 0;
}
