// SocketCAN transport of the adapter-library stand-in: each adapter channel
// is a raw CAN socket on the Linux interface named in OSTRELO_CAN. The bit
// rate is configured on the interface outside this program (ip link).
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "controlcan_internal.h"
#include "ostrelo_log.h"

#if defined(__linux__)
#include <cerrno>
#include <fcntl.h>
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#define OSTRELO_HAVE_SOCKETCAN 1
#endif

namespace {
constexpr uint32_t kEffFlag = 0x80000000u;
constexpr uint32_t kRtrFlag = 0x40000000u;
constexpr uint32_t kEffMask = 0x1FFFFFFFu;
constexpr uint32_t kSffMask = 0x000007FFu;
} // namespace

extern "C" int socketcan_parse_map(const char *text, socketcan_map_t *map) {
    if (!text || !map) {
        return 0;
    }
    memset(map, 0, sizeof(*map));
    const char *p = text;
    int entries = 0;
    while (*p) {
        // adapter digit(s) '.' channel digit(s) '=' interface name, entries separated by ','
        unsigned adapter = 0, channel = 0;
        if (!isdigit(static_cast<unsigned char>(*p))) {
            return 0;
        }
        while (isdigit(static_cast<unsigned char>(*p))) {
            adapter = adapter * 10 + static_cast<unsigned>(*p++ - '0');
            if (adapter >= CONTROLCAN_MAX_ADAPTERS) {
                return 0;
            }
        }
        if (*p++ != '.' || !isdigit(static_cast<unsigned char>(*p))) {
            return 0;
        }
        while (isdigit(static_cast<unsigned char>(*p))) {
            channel = channel * 10 + static_cast<unsigned>(*p++ - '0');
            if (channel >= CONTROLCAN_MAX_CHANNELS) {
                return 0;
            }
        }
        if (*p++ != '=') {
            return 0;
        }
        size_t n = 0;
        char name[CONTROLCAN_IFNAME_MAX];
        while (*p && *p != ',') {
            const unsigned char c = static_cast<unsigned char>(*p);
            if (n + 1 >= sizeof(name) || !(isalnum(c) || c == '_' || c == '-' || c == '.')) {
                return 0;
            }
            name[n++] = *p++;
        }
        if (n == 0 || map->ifname[adapter][channel][0] != '\0') {
            return 0; // empty name or the same channel twice
        }
        name[n] = '\0';
        memcpy(map->ifname[adapter][channel], name, n + 1);
        ++entries;
        if (*p == ',') {
            ++p;
            if (*p == '\0') {
                return 0;
            }
        }
    }
    return entries > 0 ? 1 : 0;
}

extern "C" void socketcan_frame_from_vci(const VCI_CAN_OBJ *obj, socketcan_frame_t *out) {
    memset(out, 0, sizeof(*out));
    out->can_id = obj->ExternFlag ? ((obj->ID & kEffMask) | kEffFlag) : (obj->ID & kSffMask);
    if (obj->RemoteFlag) {
        out->can_id |= kRtrFlag;
    }
    out->len = obj->DataLen > 8 ? 8 : obj->DataLen;
    memcpy(out->data, obj->Data, out->len);
}

extern "C" void socketcan_frame_to_vci(const socketcan_frame_t *frame, VCI_CAN_OBJ *out) {
    memset(out, 0, sizeof(*out));
    const bool eff = (frame->can_id & kEffFlag) != 0;
    out->ID = eff ? (frame->can_id & kEffMask) : (frame->can_id & kSffMask);
    out->ExternFlag = eff ? 1 : 0;
    out->RemoteFlag = (frame->can_id & kRtrFlag) ? 1 : 0;
    out->DataLen = frame->len > 8 ? 8 : frame->len;
    memcpy(out->Data, frame->data, out->DataLen);
}

#if defined(OSTRELO_HAVE_SOCKETCAN)
namespace {

std::mutex g_sock_mutex;
socketcan_map_t g_map;
int g_fd[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
// Set by a successful StartCAN; the socket exists from InitCAN on, but frames
// go out only once the channel is started, as with an adapter.
bool g_started[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
// Per channel: written to end a receive that waits in poll() on the socket.
int g_wake_fd[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
bool g_fd_ready = false;

void init_fds_locked() {
    if (!g_fd_ready) {
        for (auto &row : g_fd) {
            for (int &fd : row) {
                fd = -1;
            }
        }
        for (auto &row : g_wake_fd) {
            for (int &fd : row) {
                fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            }
        }
        g_fd_ready = true;
    }
}

int wake_fd_of(DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    return (idx < CONTROLCAN_MAX_ADAPTERS && ch < CONTROLCAN_MAX_CHANNELS) ? g_wake_fd[idx][ch] : -1;
}

bool valid(DWORD type, DWORD idx, DWORD ch) {
    (void)type;
    return idx < CONTROLCAN_MAX_ADAPTERS && ch < CONTROLCAN_MAX_CHANNELS;
}

int fd_of(DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    return valid(0, idx, ch) ? g_fd[idx][ch] : -1;
}

int started_fd_of(DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    return (valid(0, idx, ch) && g_started[idx][ch]) ? g_fd[idx][ch] : -1;
}

void print_line(const char *line) {
    ostrelo_log_tagged(line);
}

// An adapter exists only when OSTRELO_CAN names an interface for one of its
// channels.
bool adapter_mapped(DWORD idx) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return false;
    }
    for (const auto &name : g_map.ifname[idx]) {
        if (name[0] != '\0') {
            return true;
        }
    }
    return false;
}

DWORD sc_open(DWORD, DWORD idx, DWORD) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return 0;
    }
    char line[256];
    if (!adapter_mapped(idx)) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN: adapter %u has no interface in OSTRELO_CAN\n", idx);
        print_line(line);
        return 0;
    }
    const int probe = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN is not available on this system (%s)\n",
                 strerror(errno));
        print_line(line);
        return 0;
    }
    close(probe);
    return 1;
}

DWORD sc_close(DWORD, DWORD idx) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    for (int &fd : g_fd[idx]) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    for (bool &started : g_started[idx]) {
        started = false;
    }
    return 1;
}

DWORD sc_init(DWORD, DWORD idx, DWORD ch, VCI_INIT_CONFIG *) {
    if (!valid(0, idx, ch)) {
        return 0;
    }
    const char *name = g_map.ifname[idx][ch];
    char line[256];
    if (name[0] == '\0') {
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN: adapter %u channel %u has no interface in OSTRELO_CAN\n", idx, ch);
        print_line(line);
        return 0;
    }
    const int fd = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (fd < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN is not available on this system (%s)\n",
                 strerror(errno));
        print_line(line);
        return 0;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN interface %s is missing (%s)\n", name,
                 strerror(errno));
        print_line(line);
        close(fd);
        return 0;
    }
    struct sockaddr_can addr;
    memset(&addr, 0, sizeof(addr));
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN interface %s cannot be bound (%s)\n", name,
                 strerror(errno));
        print_line(line);
        close(fd);
        return 0;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    if (g_fd[idx][ch] >= 0) {
        close(g_fd[idx][ch]);
    }
    g_fd[idx][ch] = fd;
    g_started[idx][ch] = false;
    return 1;
}

DWORD sc_start(DWORD, DWORD idx, DWORD ch) {
    const int fd = fd_of(idx, ch);
    if (fd < 0) {
        return 0;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", g_map.ifname[idx][ch]);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0 || !(ifr.ifr_flags & IFF_UP)) {
        char line[256];
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN interface %s is down; bring it up with: ip link set %s up "
                 "type can bitrate <bit/s>\n",
                 g_map.ifname[idx][ch], g_map.ifname[idx][ch]);
        print_line(line);
        return 0;
    }
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    if (g_fd[idx][ch] != fd) {
        return 0; // closed or set up anew meanwhile
    }
    g_started[idx][ch] = true;
    return 1;
}

DWORD sc_transmit(DWORD, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len) {
    const int fd = started_fd_of(idx, ch);
    if (fd < 0 || !objs) {
        return 0;
    }
    DWORD sent = 0;
    for (UINT i = 0; i < len; ++i) {
        socketcan_frame_t f;
        socketcan_frame_from_vci(&objs[i], &f);
        struct can_frame cf;
        memset(&cf, 0, sizeof(cf));
        cf.can_id = f.can_id;
        cf.can_dlc = f.len;
        memcpy(cf.data, f.data, f.len);
        if (write(fd, &cf, sizeof(cf)) != static_cast<ssize_t>(sizeof(cf))) {
            break;
        }
        ++sent;
    }
    return sent;
}

// Reads what the socket holds, without waiting.
DWORD read_frames(int fd, VCI_CAN_OBJ *objs, UINT len) {
    DWORD n = 0;
    while (n < len) {
        struct can_frame cf;
        const ssize_t r = read(fd, &cf, sizeof(cf));
        if (r < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                break;
            }
            return n > 0 ? n : 0xFFFFFFFFu;
        }
        if (r != static_cast<ssize_t>(sizeof(cf))) {
            continue;
        }
        socketcan_frame_t f;
        f.can_id = cf.can_id;
        f.len = cf.can_dlc;
        memcpy(f.data, cf.data, sizeof(f.data));
        socketcan_frame_to_vci(&f, &objs[n++]);
    }
    return n;
}

// With a wait time, sleeps in poll() until the socket has a frame, the time
// is over or the channel is woken.
DWORD sc_receive(DWORD, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
    const int fd = fd_of(idx, ch);
    if (fd < 0 || !objs) {
        return 0xFFFFFFFFu;
    }
    DWORD n = read_frames(fd, objs, len);
    if (n != 0 || wait <= 0 || len == 0) {
        return n;
    }
    const int wfd = wake_fd_of(idx, ch);
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        const int64_t spent = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (spent >= wait) {
            return 0;
        }
        struct pollfd p[2] = {{fd, POLLIN, 0}, {wfd, POLLIN, 0}};
        const int r = poll(p, wfd >= 0 ? 2 : 1, static_cast<int>(wait - spent));
        if (r < 0 && errno != EINTR) {
            return 0xFFFFFFFFu;
        }
        if (wfd >= 0 && (p[1].revents & POLLIN)) {
            uint64_t v;
            ssize_t got = read(wfd, &v, sizeof(v));
            (void)got;
            return read_frames(fd, objs, len);
        }
        if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
            return 0xFFFFFFFFu;
        }
        if (p[0].revents & POLLIN) {
            n = read_frames(fd, objs, len);
            if (n != 0) {
                return n;
            }
        }
    }
}

DWORD sc_wake(DWORD, DWORD idx, DWORD ch) {
    const int wfd = wake_fd_of(idx, ch);
    if (wfd < 0) {
        return 0;
    }
    const uint64_t one = 1;
    return write(wfd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one)) ? 1 : 0;
}

DWORD sc_clear(DWORD, DWORD idx, DWORD ch) {
    const int fd = fd_of(idx, ch);
    if (fd < 0) {
        return 0;
    }
    struct can_frame cf;
    while (read(fd, &cf, sizeof(cf)) > 0) {
    }
    return 1;
}

DWORD sc_board_info(DWORD, DWORD idx, VCI_BOARD_INFO *info) {
    if (!info || !adapter_mapped(idx)) {
        return 0;
    }
    memset(info, 0, sizeof(*info));
    info->can_Num = CONTROLCAN_MAX_CHANNELS;
    snprintf(info->str_hw_Type, sizeof(info->str_hw_Type), "SocketCAN");
    return 1;
}

DWORD sc_reset(DWORD, DWORD, DWORD) {
    return 0;
}

const ControlCanTransport kSocketCan = {
    "socketcan", sc_open,  sc_close,      sc_init,  sc_start, sc_transmit,
    sc_receive,  sc_clear, sc_board_info, sc_reset, sc_wake,
};

} // namespace

extern "C" const ControlCanTransport *socketcan_transport(const socketcan_map_t *map) {
    if (!map) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(g_sock_mutex);
    init_fds_locked();
    g_map = *map;
    return &kSocketCan;
}

#else

extern "C" const ControlCanTransport *socketcan_transport(const socketcan_map_t *) {
    ostrelo_log_text(OSTRELO_LOG_ERROR, "[ERROR] SocketCAN is only available on Linux\n");
    return nullptr;
}

#endif
