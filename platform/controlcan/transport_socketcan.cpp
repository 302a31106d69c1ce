// SocketCAN transport of the adapter-library stand-in: each adapter channel
// is a raw CAN socket on the Linux interface named in OSTRELO_CAN. The bit
// rate is configured on the interface outside this program (ip link).
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "controlcan_internal.h"
#include "ostrelo_log.h"
#include "ostrelo_time.h"

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

// How long a transmit waits for room while the queues below the socket are
// full (ENOBUFS, EAGAIN) before it gives up on the frame, as an adapter
// gives up on a frame it cannot send.
constexpr int kTxWaitMs = 500;
// Receive buffer asked for per socket: a sub-block of a block transfer, or
// other nodes' traffic, must not overflow it while the caller is busy.
constexpr int kRxBufferBytes = 1 << 20;

// One set of sockets with its interface map. The stand-in uses the first;
// the second serves a program that plays the other side of the bus in the
// same process (controlcan_socketcan_peer).
struct Instance {
    std::mutex mutex;
    socketcan_map_t map;
    int fd[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
    // Set by a successful StartCAN; the socket exists from InitCAN on, but
    // frames go out only once the channel is started, as with an adapter.
    bool started[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
    // Per channel: written to end a receive that waits in poll() on the socket.
    int wakeFd[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
    // The interface was found down and that was said; cleared (and said) when
    // frames pass again.
    bool down[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
    // Times the interface was found down: a send that began before the last
    // time (and ended after it) says nothing of the interface now.
    std::atomic<uint32_t> downCount[CONTROLCAN_MAX_ADAPTERS][CONTROLCAN_MAX_CHANNELS];
    bool ready;
};
Instance g_inst[2];

void init_fds_locked(Instance &in) {
    if (!in.ready) {
        for (auto &row : in.fd) {
            for (int &fd : row) {
                fd = -1;
            }
        }
        for (auto &row : in.wakeFd) {
            for (int &fd : row) {
                fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
            }
        }
        in.ready = true;
    }
}

bool valid(DWORD idx, DWORD ch) {
    return idx < CONTROLCAN_MAX_ADAPTERS && ch < CONTROLCAN_MAX_CHANNELS;
}

int wake_fd_of(Instance &in, DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    return valid(idx, ch) ? in.wakeFd[idx][ch] : -1;
}

int fd_of(Instance &in, DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    return valid(idx, ch) ? in.fd[idx][ch] : -1;
}

int started_fd_of(Instance &in, DWORD idx, DWORD ch) {
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    return (valid(idx, ch) && in.started[idx][ch]) ? in.fd[idx][ch] : -1;
}

void print_line(ostrelo_log_level_t level, const char *line) {
    ostrelo_log_text(level, line);
}

// The interface of a channel went down under a started channel: said once,
// not for every frame that cannot pass meanwhile. Only a frame sent says it is
// up again: frames read may have waited in the socket from before.
void note_down(Instance &in, DWORD idx, DWORD ch) {
    char line[256];
    {
        std::lock_guard<std::mutex> lock(in.mutex);
        if (in.down[idx][ch]) {
            return;
        }
        in.down[idx][ch] = true;
        in.downCount[idx][ch].fetch_add(1);
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN interface %s went down: no frame passes until it is up again (ip link "
                 "set %s up)\n",
                 in.map.ifname[idx][ch], in.map.ifname[idx][ch]);
    }
    print_line(OSTRELO_LOG_ERROR, line);
}

// Before a send: what note_passing is to be given when it succeeds.
uint32_t down_count(const Instance &in, DWORD idx, DWORD ch) {
    return in.downCount[idx][ch].load();
}

// A send that began when the interface had been found down `seen` times
// succeeded. One that was on its way while another thread found the
// interface down proves nothing: it passed before.
void note_passing(Instance &in, DWORD idx, DWORD ch, uint32_t seen) {
    char line[160];
    {
        std::lock_guard<std::mutex> lock(in.mutex);
        if (!in.down[idx][ch] || in.downCount[idx][ch].load() != seen) {
            return;
        }
        in.down[idx][ch] = false;
        snprintf(line, sizeof(line), "[INFO] SocketCAN interface %s is up again\n", in.map.ifname[idx][ch]);
    }
    print_line(OSTRELO_LOG_INFO, line);
}

// An adapter exists only when the map names an interface for one of its
// channels.
bool adapter_mapped(const Instance &in, DWORD idx) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return false;
    }
    for (const auto &name : in.map.ifname[idx]) {
        if (name[0] != '\0') {
            return true;
        }
    }
    return false;
}

DWORD sc_open(Instance &in, DWORD idx) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return 0;
    }
    char line[256];
    if (!adapter_mapped(in, idx)) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN: adapter %u has no interface in OSTRELO_CAN\n", idx);
        print_line(OSTRELO_LOG_ERROR, line);
        return 0;
    }
    const int probe = socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (probe < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN is not available on this system (%s)\n",
                 strerror(errno));
        print_line(OSTRELO_LOG_ERROR, line);
        return 0;
    }
    close(probe);
    return 1;
}

DWORD sc_close(Instance &in, DWORD idx) {
    if (idx >= CONTROLCAN_MAX_ADAPTERS) {
        return 0;
    }
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    for (int &fd : in.fd[idx]) {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }
    for (bool &started : in.started[idx]) {
        started = false;
    }
    for (bool &down : in.down[idx]) {
        down = false;
    }
    return 1;
}

DWORD sc_init(Instance &in, DWORD idx, DWORD ch) {
    if (!valid(idx, ch)) {
        return 0;
    }
    const char *name = in.map.ifname[idx][ch];
    char line[256];
    if (name[0] == '\0') {
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN: adapter %u channel %u has no interface in OSTRELO_CAN\n", idx, ch);
        print_line(OSTRELO_LOG_ERROR, line);
        return 0;
    }
    const int fd = socket(PF_CAN, SOCK_RAW | SOCK_CLOEXEC, CAN_RAW);
    if (fd < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN is not available on this system (%s)\n",
                 strerror(errno));
        print_line(OSTRELO_LOG_ERROR, line);
        return 0;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", name);
    if (ioctl(fd, SIOCGIFINDEX, &ifr) < 0) {
        snprintf(line, sizeof(line), "[ERROR] SocketCAN interface %s is missing (%s)\n", name,
                 strerror(errno));
        print_line(OSTRELO_LOG_ERROR, line);
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
        print_line(OSTRELO_LOG_ERROR, line);
        close(fd);
        return 0;
    }
    // Capped by the system's limit; the default holds only a few hundred frames.
    const int rcvbuf = kRxBufferBytes;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK);
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    if (in.fd[idx][ch] >= 0) {
        close(in.fd[idx][ch]);
    }
    in.fd[idx][ch] = fd;
    in.started[idx][ch] = false;
    in.down[idx][ch] = false;
    return 1;
}

DWORD sc_start(Instance &in, DWORD idx, DWORD ch) {
    const int fd = fd_of(in, idx, ch);
    if (fd < 0) {
        return 0;
    }
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "%s", in.map.ifname[idx][ch]);
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) < 0 || !(ifr.ifr_flags & IFF_UP)) {
        char line[256];
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN interface %s is down; bring it up with: ip link set %s up "
                 "type can bitrate <bit/s>\n",
                 in.map.ifname[idx][ch], in.map.ifname[idx][ch]);
        print_line(OSTRELO_LOG_ERROR, line);
        return 0;
    }
    std::lock_guard<std::mutex> lock(in.mutex);
    if (in.fd[idx][ch] != fd) {
        return 0; // closed or set up anew meanwhile
    }
    in.started[idx][ch] = true;
    return 1;
}

// Writes one frame. A full queue below the socket is waited out for up to
// kTxWaitMs: the socket's send buffer says when it has room (EAGAIN), the
// interface's queue does not (ENOBUFS), so that is looked at again every
// millisecond. Anything else refuses the frame at once. The clock is read only
// once the frame has to wait: where it has no fast path it costs a system call.
bool write_frame(Instance &in, DWORD idx, DWORD ch, int fd, const struct can_frame &cf) {
    ostrelo_deadline_t until = {0, 0};
    bool waiting = false;
    for (;;) {
        const uint32_t seen = down_count(in, idx, ch);
        if (write(fd, &cf, sizeof(cf)) == static_cast<ssize_t>(sizeof(cf))) {
            note_passing(in, idx, ch, seen);
            return true;
        }
        const int err = errno;
        if (err == ENETDOWN) {
            note_down(in, idx, ch);
            return false;
        }
        if (err != EAGAIN && err != EWOULDBLOCK && err != ENOBUFS && err != EINTR) {
            return false;
        }
        if (!waiting) {
            until = ostrelo_deadline_in(kTxWaitMs);
            waiting = true;
        }
        const int left = static_cast<int>(ostrelo_deadline_left(until));
        if (left <= 0) {
            return false;
        }
        struct pollfd p = {fd, POLLOUT, 0};
        if (err == ENOBUFS) {
            poll(nullptr, 0, 1);
        } else {
            poll(&p, 1, left);
        }
    }
}

// One message per frame, for the calls that move several frames at once.
void frame_messages(struct can_frame *cf, struct iovec *iov, struct mmsghdr *msgs, unsigned n) {
    memset(msgs, 0, sizeof(msgs[0]) * n);
    for (unsigned k = 0; k < n; ++k) {
        iov[k].iov_base = &cf[k];
        iov[k].iov_len = sizeof(cf[k]);
        msgs[k].msg_hdr.msg_iov = &iov[k];
        msgs[k].msg_hdr.msg_iovlen = 1;
    }
}

void frame_from_vci(const VCI_CAN_OBJ &obj, struct can_frame *cf) {
    socketcan_frame_t f;
    socketcan_frame_from_vci(&obj, &f);
    memset(cf, 0, sizeof(*cf));
    cf->can_id = f.can_id;
    cf->can_dlc = f.len;
    memcpy(cf->data, f.data, f.len);
}

// Frames handed over together go to the kernel in one system call, up to
// kWriteBatch at a time; the first one it does not take is waited out as a
// single write, and the count returned is what the kernel took.
DWORD sc_transmit(Instance &in, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len) {
    constexpr unsigned kWriteBatch = 128;
    const int fd = started_fd_of(in, idx, ch);
    if (fd < 0 || !objs) {
        return 0;
    }
    DWORD sent = 0;
    while (sent < len) {
        const unsigned n = (len - sent) < kWriteBatch ? static_cast<unsigned>(len - sent) : kWriteBatch;
        struct can_frame cf[kWriteBatch];
        for (unsigned k = 0; k < n; ++k) {
            frame_from_vci(objs[sent + k], &cf[k]);
        }
        unsigned taken = 0;
        if (n > 1) {
            struct iovec iov[kWriteBatch];
            struct mmsghdr msgs[kWriteBatch];
            frame_messages(cf, iov, msgs, n);
            const uint32_t seen = down_count(in, idx, ch);
            const int r = sendmmsg(fd, msgs, n, 0);
            if (r > 0) {
                taken = static_cast<unsigned>(r);
                note_passing(in, idx, ch, seen);
            }
        }
        sent += taken;
        if (taken < n) {
            if (!write_frame(in, idx, ch, fd, cf[taken])) {
                break;
            }
            ++sent;
        }
    }
    return sent;
}

// Reads what the socket holds, without waiting. Error frames (only there if
// someone asked the socket for them) are not frames of the bus and are left
// out.
// Up to kReadBatch frames come in one system call.
DWORD read_frames(Instance &in, DWORD idx, DWORD ch, int fd, VCI_CAN_OBJ *objs, UINT len) {
    constexpr unsigned kReadBatch = 128;
    DWORD n = 0;
    while (n < len) {
        struct can_frame cf[kReadBatch];
        struct iovec iov[kReadBatch];
        struct mmsghdr msgs[kReadBatch];
        const unsigned want = (len - n) < kReadBatch ? static_cast<unsigned>(len - n) : kReadBatch;
        frame_messages(cf, iov, msgs, want);
        const int got = recvmmsg(fd, msgs, want, MSG_DONTWAIT, nullptr);
        if (got < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                break;
            }
            if (errno == ENETDOWN) {
                note_down(in, idx, ch);
            }
            return n > 0 ? n : 0xFFFFFFFFu;
        }
        for (int k = 0; k < got; ++k) {
            if (msgs[k].msg_len != sizeof(cf[k]) || (cf[k].can_id & CAN_ERR_FLAG) != 0) {
                continue;
            }
            socketcan_frame_t f;
            f.can_id = cf[k].can_id;
            f.len = cf[k].can_dlc;
            memcpy(f.data, cf[k].data, sizeof(f.data));
            socketcan_frame_to_vci(&f, &objs[n++]);
        }
        if (static_cast<unsigned>(got) < want) {
            break; // nothing more waiting
        }
    }
    return n;
}

// With a wait time, sleeps in poll() until the socket has a frame, the time
// is over or the channel is woken. poll() comes first, so that a frame that
// is already there, or arrives, costs one call to fetch, and poll() keeps the
// time itself: the clock is not read (where it has no fast path in user
// space, each reading is a system call). A poll() ended early by a signal, or
// by an error or error frames with no frame behind them, returns 0 before the
// time is over, as a wake does: callers that wait longer look at their own
// clock and ask again.
DWORD sc_receive(Instance &in, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
    const int fd = fd_of(in, idx, ch);
    if (fd < 0 || !objs) {
        return 0xFFFFFFFFu;
    }
    if (wait <= 0 || len == 0) {
        return read_frames(in, idx, ch, fd, objs, len);
    }
    const int wfd = wake_fd_of(in, idx, ch);
    struct pollfd p[2] = {{fd, POLLIN, 0}, {wfd, POLLIN, 0}};
    const int r = poll(p, wfd >= 0 ? 2 : 1, wait);
    if (r < 0) {
        return errno == EINTR ? 0 : 0xFFFFFFFFu;
    }
    if (wfd >= 0 && (p[1].revents & POLLIN)) {
        uint64_t v;
        ssize_t got = read(wfd, &v, sizeof(v));
        (void)got;
        return read_frames(in, idx, ch, fd, objs, len);
    }
    if (r > 0 && (p[0].revents & (POLLERR | POLLHUP | POLLNVAL | POLLIN))) {
        // The read says what it was: frames, or the error (which it clears).
        const DWORD n = read_frames(in, idx, ch, fd, objs, len);
        if (n == 0 && (p[0].revents & (POLLHUP | POLLNVAL))) {
            return 0xFFFFFFFFu;
        }
        return n;
    }
    return 0;
}

DWORD sc_wake(Instance &in, DWORD idx, DWORD ch) {
    const int wfd = wake_fd_of(in, idx, ch);
    if (wfd < 0) {
        return 0;
    }
    const uint64_t one = 1;
    return write(wfd, &one, sizeof(one)) == static_cast<ssize_t>(sizeof(one)) ? 1 : 0;
}

DWORD sc_clear(Instance &in, DWORD idx, DWORD ch) {
    const int fd = fd_of(in, idx, ch);
    if (fd < 0) {
        return 0;
    }
    struct can_frame cf;
    while (read(fd, &cf, sizeof(cf)) > 0) {
    }
    return 1;
}

DWORD sc_board_info(Instance &in, DWORD idx, VCI_BOARD_INFO *info) {
    if (!info || !adapter_mapped(in, idx)) {
        return 0;
    }
    memset(info, 0, sizeof(*info));
    info->can_Num = CONTROLCAN_MAX_CHANNELS;
    snprintf(info->str_hw_Type, sizeof(info->str_hw_Type), "SocketCAN");
    return 1;
}

// The table entries of instance I.
template <int I> struct Entries {
    static DWORD open(DWORD, DWORD idx, DWORD) { return sc_open(g_inst[I], idx); }
    static DWORD close(DWORD, DWORD idx) { return sc_close(g_inst[I], idx); }
    static DWORD init(DWORD, DWORD idx, DWORD ch, VCI_INIT_CONFIG *) { return sc_init(g_inst[I], idx, ch); }
    static DWORD start(DWORD, DWORD idx, DWORD ch) { return sc_start(g_inst[I], idx, ch); }
    static DWORD transmit(DWORD, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len) {
        return sc_transmit(g_inst[I], idx, ch, objs, len);
    }
    static DWORD receive(DWORD, DWORD idx, DWORD ch, VCI_CAN_OBJ *objs, UINT len, int32_t wait) {
        return sc_receive(g_inst[I], idx, ch, objs, len, wait);
    }
    static DWORD clear(DWORD, DWORD idx, DWORD ch) { return sc_clear(g_inst[I], idx, ch); }
    static DWORD board(DWORD, DWORD idx, VCI_BOARD_INFO *info) { return sc_board_info(g_inst[I], idx, info); }
    static DWORD reset(DWORD, DWORD, DWORD) { return 0; }
    static DWORD wake(DWORD, DWORD idx, DWORD ch) { return sc_wake(g_inst[I], idx, ch); }
    static constexpr ControlCanTransport table = {
        "socketcan", open, close, init, start, transmit, receive, clear, board, reset, wake,
    };
};

const ControlCanTransport *install(int i, const socketcan_map_t &map) {
    Instance &in = g_inst[i];
    std::lock_guard<std::mutex> lock(in.mutex);
    init_fds_locked(in);
    in.map = map;
    return i == 0 ? &Entries<0>::table : &Entries<1>::table;
}

} // namespace

extern "C" const ControlCanTransport *socketcan_transport(const socketcan_map_t *map) {
    return map ? install(0, *map) : nullptr;
}

extern "C" const ControlCanTransport *controlcan_socketcan_peer(const char *mapText) {
    socketcan_map_t map;
    if (!socketcan_parse_map(mapText, &map)) {
        char line[300];
        snprintf(line, sizeof(line),
                 "[ERROR] SocketCAN: '%.200s' is not a channel map like 0.0=can0,0.1=can1\n",
                 mapText ? mapText : "");
        print_line(OSTRELO_LOG_ERROR, line);
        return nullptr;
    }
    return install(1, map);
}

#else

extern "C" const ControlCanTransport *socketcan_transport(const socketcan_map_t *) {
    ostrelo_log_text(OSTRELO_LOG_ERROR, "[ERROR] SocketCAN is only available on Linux\n");
    return nullptr;
}

extern "C" const ControlCanTransport *controlcan_socketcan_peer(const char *) {
    ostrelo_log_text(OSTRELO_LOG_ERROR, "[ERROR] SocketCAN is only available on Linux\n");
    return nullptr;
}

#endif
