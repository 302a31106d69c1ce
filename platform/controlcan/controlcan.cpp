// Stand-in for the adapter library on Linux: every VCI_* call is routed to
// the transport chosen once per process from OSTRELO_CAN.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#if defined(__linux__)
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include "controlcan_internal.h"
#include "ostrelo_log.h"
#include "sliced_receive.h"
#include "trace.h"

namespace {

std::mutex g_mutex;
const ControlCanTransport *g_transport = nullptr;
// Lock-free path for the frame calls once a transport is in place.
std::atomic<const ControlCanTransport *> g_ready{nullptr};
bool g_chosen = false;
bool g_sim_notice_printed = false;
bool g_sim_in_use = false;
// The one-line explanation printed when the transport cannot work as chosen
// (without its prefix and newline), for the program's window; "" when none.
char g_problem[1400] = "";

void set_problem(const char *line) {
    const char *text = strncmp(line, "[ERROR] ", 8) == 0 ? line + 8 : line;
    snprintf(g_problem, sizeof(g_problem), "%s", text);
    const size_t n = strlen(g_problem);
    if (n > 0 && g_problem[n - 1] == '\n') {
        g_problem[n - 1] = '\0';
    }
}

#if defined(__linux__)
// A mapped interface that is missing or down is otherwise only found when
// its channel is brought up; look once at selection time so the window can
// say so at start-up.
void probe_socketcan_map(const socketcan_map_t &map) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0) {
        return;
    }
    for (const auto &adapter : map.ifname) {
        for (const char *name : adapter) {
            if (name[0] == '\0') {
                continue;
            }
            struct ifreq ifr;
            memset(&ifr, 0, sizeof(ifr));
            snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
            char line[256];
            if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0) {
                snprintf(line, sizeof(line), "SocketCAN interface %s is missing", name);
            } else if (!(ifr.ifr_flags & IFF_UP)) {
                snprintf(line, sizeof(line),
                         "SocketCAN interface %s is down; bring it up with: ip link set %s up type can "
                         "bitrate <bit/s>",
                         name, name);
            } else {
                continue;
            }
            char printed[300];
            snprintf(printed, sizeof(printed), "[ERROR] %s\n", line);
            ostrelo_log_text(OSTRELO_LOG_ERROR, printed);
            set_problem(printed);
            close(fd);
            return;
        }
    }
    close(fd);
}
#endif

// Transports registered by name from above (the bench registers "sim").
// Plain arrays: a registration may run from a static initializer (the
// Windows stand-in DLL), before any dynamic initialisation of this file.
struct Registered {
    char name[CONTROLCAN_NAME_MAX];
    controlcan_transport_provider_t provider;
};
Registered g_registered[CONTROLCAN_MAX_REGISTERED];
int g_registered_count = 0;

controlcan_transport_provider_t find_registered_locked(const char *name, size_t len) {
    for (int i = 0; i < g_registered_count; ++i) {
        if (strlen(g_registered[i].name) == len && strncmp(g_registered[i].name, name, len) == 0) {
            return g_registered[i].provider;
        }
    }
    return nullptr;
}

const char kAcceptedForms[] =
    "accepted forms: unset or 'sim' (simulated bench), 'sim:/path/to/scenario', "
    "'socketcan:0.0=can0,0.1=can1' (adapter.channel=interface), 'lib:/path/to/library.so'";

const ControlCanTransport *choose_locked() {
    if (g_chosen) {
        return g_transport;
    }
    g_chosen = true;
    const char *value = getenv("OSTRELO_CAN");
    static controlcan_selection_t sel;
    if (!controlcan_parse_selection(value, &sel)) {
        // Not one of the stand-in's own forms: perhaps another registered
        // name ("sim" has its rules above, and an empty argument is malformed
        // for every name).
        const char *colon = value ? strchr(value, ':') : nullptr;
        const size_t len = value ? (colon ? (size_t)(colon - value) : strlen(value)) : 0;
        const bool usable =
            value && !(len == 3 && strncmp(value, "sim", 3) == 0) && !(colon && colon[1] == '\0');
        if (controlcan_transport_provider_t provider =
                usable ? find_registered_locked(value, len) : nullptr) {
            g_transport = provider(colon ? colon + 1 : nullptr);
            return g_transport;
        }
        char line[1400];
        snprintf(line, sizeof(line),
                 "[ERROR] OSTRELO_CAN='%s' is not valid; %s. Every adapter operation will fail.\n",
                 value ? value : "", kAcceptedForms);
        ostrelo_log_text(OSTRELO_LOG_ERROR, line);
        set_problem(line);
        g_transport = nullptr;
        return nullptr;
    }
    switch (sel.kind) {
    case CONTROLCAN_SEL_SIM:
        if (controlcan_transport_provider_t provider = find_registered_locked("sim", 3)) {
            g_transport = provider(sel.path[0] ? sel.path : nullptr);
            g_sim_in_use = (g_transport != nullptr);
        } else {
            // A program built without the bench: say so rather than fail silently.
            char line[200];
            snprintf(line, sizeof(line),
                     "[ERROR] OSTRELO_CAN=sim: this program has no simulated bench built in; use "
                     "OSTRELO_CAN=socketcan:... or OSTRELO_CAN=lib:...\n");
            ostrelo_log_text(OSTRELO_LOG_ERROR, line);
            set_problem(line);
            g_transport = nullptr;
        }
        break;
    case CONTROLCAN_SEL_SOCKETCAN:
        g_transport = socketcan_transport(&sel.map);
#if defined(__linux__)
        probe_socketcan_map(sel.map);
#endif
        break;
    case CONTROLCAN_SEL_LIB:
        g_transport = lib_transport(sel.path);
        break;
    default:
        g_transport = nullptr;
        break;
    }
    return g_transport;
}

const ControlCanTransport *transport() {
    if (const ControlCanTransport *t = g_ready.load(std::memory_order_acquire)) {
        return t;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    const ControlCanTransport *t = choose_locked();
    g_ready.store(t, std::memory_order_release);
    return t;
}

} // namespace

extern "C" {

int controlcan_register_transport(const char *name, controlcan_transport_provider_t provider) {
    if (!name || !provider) {
        return 0;
    }
    const size_t len = strlen(name);
    if (len == 0 || len >= CONTROLCAN_NAME_MAX || strchr(name, ':') != nullptr) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    for (int i = 0; i < g_registered_count; ++i) {
        if (strcmp(g_registered[i].name, name) == 0) {
            g_registered[i].provider = provider;
            return 1;
        }
    }
    if (g_registered_count >= CONTROLCAN_MAX_REGISTERED) {
        return 0;
    }
    memcpy(g_registered[g_registered_count].name, name, len + 1);
    g_registered[g_registered_count].provider = provider;
    ++g_registered_count;
    return 1;
}

void controlcan_set_transport(const ControlCanTransport *t) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_transport = t;
    g_chosen = (t != nullptr);
    g_sim_in_use = false;
    g_problem[0] = '\0';
    g_ready.store(t, std::memory_order_release);
}

const ControlCanTransport *controlcan_get_transport(void) {
    return transport();
}

const char *controlcan_transport_problem(void) {
    transport();
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_problem[0] != '\0' ? g_problem : nullptr;
}

DWORD VCI_OpenDevice(DWORD DeviceType, DWORD DeviceInd, DWORD Reserved) {
    const ControlCanTransport *t = transport();
    if (!t || !t->OpenDevice) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_sim_in_use && !g_sim_notice_printed) {
            g_sim_notice_printed = true;
            ostrelo_log_text(
                OSTRELO_LOG_INFO,
                "[INFO] CAN adapters are simulated (motor bench); set OSTRELO_CAN=socketcan:0.0=can0,... or "
                "OSTRELO_CAN=lib:/path/to/library.so to use real hardware\n");
        }
    }
    return t->OpenDevice(DeviceType, DeviceInd, Reserved);
}

DWORD VCI_CloseDevice(DWORD DeviceType, DWORD DeviceInd) {
    const ControlCanTransport *t = transport();
    return (t && t->CloseDevice) ? t->CloseDevice(DeviceType, DeviceInd) : 0;
}

DWORD VCI_InitCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_INIT_CONFIG *pInitConfig) {
    const ControlCanTransport *t = transport();
    if (!t || !t->InitCAN || !pInitConfig) {
        return 0;
    }
    return t->InitCAN(DeviceType, DeviceInd, CANInd, pInitConfig);
}

DWORD VCI_StartCAN(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    const ControlCanTransport *t = transport();
    return (t && t->StartCAN) ? t->StartCAN(DeviceType, DeviceInd, CANInd) : 0;
}

DWORD VCI_Transmit(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pSend, UINT Len) {
    const ControlCanTransport *t = transport();
    if (!t || !t->Transmit || !pSend) {
        return 0;
    }
    const DWORD sent = t->Transmit(DeviceType, DeviceInd, CANInd, pSend, Len);
    controlcan_trace_frames(DeviceInd, CANInd, pSend, sent < Len ? sent : Len);
    return sent;
}

DWORD VCI_Receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd, VCI_CAN_OBJ *pReceive, UINT Len,
                  int32_t WaitTime) {
    const ControlCanTransport *t = transport();
    if (!t || !t->Receive || !pReceive) {
        return 0xFFFFFFFFu;
    }
    const DWORD got = controlcan_table_receive(t, DeviceType, DeviceInd, CANInd, pReceive, Len, WaitTime);
    controlcan_trace_frames(DeviceInd, CANInd, pReceive, got == 0xFFFFFFFFu ? 0 : (got < Len ? got : Len));
    return got;
}

DWORD controlcan_wake_receive(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    return controlcan_table_wake(transport(), DeviceType, DeviceInd, CANInd);
}

DWORD VCI_ClearBuffer(DWORD DeviceType, DWORD DeviceInd, DWORD CANInd) {
    const ControlCanTransport *t = transport();
    return (t && t->ClearBuffer) ? t->ClearBuffer(DeviceType, DeviceInd, CANInd) : 0;
}

DWORD VCI_ReadBoardInfo(DWORD DeviceType, DWORD DeviceInd, VCI_BOARD_INFO *pInfo) {
    const ControlCanTransport *t = transport();
    if (!t || !t->ReadBoardInfo || !pInfo) {
        return 0;
    }
    return t->ReadBoardInfo(DeviceType, DeviceInd, pInfo);
}

DWORD VCI_UsbDeviceReset(DWORD DevType, DWORD DevIndex, DWORD Reserved) {
    const ControlCanTransport *t = transport();
    return (t && t->UsbDeviceReset) ? t->UsbDeviceReset(DevType, DevIndex, Reserved) : 0;
}

int controlcan_parse_selection(const char *value, controlcan_selection_t *out) {
    if (!out) {
        return 0;
    }
    memset(out, 0, sizeof(*out));
    if (!value || value[0] == '\0' || strcmp(value, "sim") == 0) {
        out->kind = CONTROLCAN_SEL_SIM;
        return 1;
    }
    if (strncmp(value, "sim:", 4) == 0) {
        const char *path = value + 4;
        if (path[0] == '\0' || strlen(path) >= sizeof(out->path)) {
            return 0;
        }
        out->kind = CONTROLCAN_SEL_SIM;
        memcpy(out->path, path, strlen(path) + 1);
        return 1;
    }
    if (strncmp(value, "socketcan:", 10) == 0) {
        if (!socketcan_parse_map(value + 10, &out->map)) {
            return 0;
        }
        out->kind = CONTROLCAN_SEL_SOCKETCAN;
        return 1;
    }
    if (strncmp(value, "lib:", 4) == 0) {
        const char *path = value + 4;
        if (path[0] == '\0' || strlen(path) >= sizeof(out->path)) {
            return 0;
        }
        out->kind = CONTROLCAN_SEL_LIB;
        memcpy(out->path, path, strlen(path) + 1);
        return 1;
    }
    return 0;
}

} // extern "C"
