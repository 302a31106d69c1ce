// Windows: the programs bind to ControlCAN.dll itself, so the stand-in offers
// the simulated bench only. A SocketCAN or library selection is refused with
// a line that says what to do instead.
#include <cstdio>
#include <cstring>

#include "controlcan_internal.h"
#include "ostrelo_log.h"

extern "C" {

int socketcan_parse_map(const char *, socketcan_map_t *map) {
    if (map != nullptr) {
        memset(map, 0, sizeof(*map));
    }
    return 0;
}

const ControlCanTransport *socketcan_transport(const socketcan_map_t *) {
    return nullptr;
}

const ControlCanTransport *controlcan_socketcan_peer(const char *) {
    ostrelo_log_text(OSTRELO_LOG_ERROR, "[ERROR] SocketCAN is only available on Linux\n");
    return nullptr;
}

const ControlCanTransport *lib_transport(const char *path) {
    char line[1200];
    snprintf(line, sizeof(line),
             "[ERROR] OSTRELO_CAN=lib:%s is not used on Windows; put the vendor's ControlCAN.dll beside "
             "the program instead\n",
             path ? path : "");
    ostrelo_log_text(OSTRELO_LOG_ERROR, line);
    return nullptr;
}

} // extern "C"
