// ostrelo-cli: find, pair and upgrade motors from a terminal or a script.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "trace.h"
#ifndef _WIN32
#include "sim_bench.h"
#endif

namespace {

const char kUsage[] =
    "usage: ostrelo-cli <command> [options]\n"
    "\n"
    "commands:\n"
    "  channels   list the adapters and channels the transport offers, with state\n"
    "  scan       list the motors on the channels (one row per channel and node id)\n"
    "  match      scan, and pair every motor with a firmware file of a folder\n"
    "  upgrade    upgrade every paired motor (channels in parallel)\n"
    "  crc        compare a file's CRC-32 with the one a bootloader reports\n"
    "  start      start the application of a motor held in its bootloader\n"
    "\n"
    "'ostrelo-cli <command> --help' describes a command. OSTRELO_CAN chooses the transport\n"
    "(unset: the simulated bench); OSTRELO_TRACE=FILE writes a frame trace.\n"
    "Exit codes: 0 success, 1 a motor or a check failed, 2 usage or set-up error.\n";

const char kCommonHelp[] =
    "  --bitrate KBPS    bit rate of the channels: 10 20 50 100 125 250 500 800 1000 (default 1000)\n"
    "  --log FILE        write the log to FILE instead of standard error\n"
    "  --trace FILE      write every frame sent and received (candump log format)\n"
    "  --help            this text\n";

const char kSelectHelp[] = "  --channels LIST   adapter.channel list, e.g. 0.0,1.1, or 'all' (default: all)\n"
                           "  --nodes LIST      node ids to probe, e.g. 1-32 or 1,4,10-12 (default 1-32)\n";

struct CommandHelp {
    const char *name;
    const char *synopsis;
    const char *text;
    bool select;
};

const CommandHelp kCommands[] = {
    {"channels", "ostrelo-cli channels [--json] [--bitrate KBPS]",
     "Lists the adapters and channels the transport offers; each channel is brought up at\n"
     "the bit rate and released again, and its state is 'up' or 'down'.\n"
     "  --json            one JSON document: transport, bitrate, channels[] (channel, adapter,\n"
     "                    can_channel, state, hardware, serial)\n",
     false},
    {"scan", "ostrelo-cli scan [--channels LIST] [--nodes LIST] [--json] [--bitrate KBPS]",
     "Brings the channels up and asks every node id of the list on every channel, one thread\n"
     "per channel. One row per motor: channel, node id, model, brake, encoder, version and\n"
     "filename key. Motors with the same node id on different channels are all listed.\n"
     "  --json            one JSON document: transport, bitrate, channels[], motors[] (see README)\n",
     true},
    {"match", "ostrelo-cli match --folder DIR [--channels LIST] [--nodes LIST] [--json]",
     "The scan, plus the .bin file of DIR that each motor pairs with by the naming rule\n"
     "(or 'no file').\n"
     "  --folder DIR      folder of .bin firmware files (required)\n"
     "  --json            as scan --json, each motor with file and path (null: no file)\n",
     true},
    {"upgrade",
     "ostrelo-cli upgrade --folder DIR [--channels LIST] [--nodes LIST] [--hold] [--dry-run]\n"
     "                   [--retries N] [--report FILE] [--json]",
     "Scans, pairs, and upgrades every paired motor: into the bootloader, block download,\n"
     "CRC-32 check, start of the application, which must then answer. Channels work in\n"
     "parallel, the motors of one channel one after another. Ctrl-C starts no further motor\n"
     "and stops a motor before its next step; the report marks them interrupted.\n"
     "  --folder DIR      folder of .bin firmware files (required)\n"
     "  --hold            hold the motors in their bootloader while the operator switches\n"
     "                    them off and on again, instead of the handshake\n"
     "  --dry-run         scan and pair only; no SDO frame is sent\n"
     "  --retries N       repeat a failed motor up to N times (default 1); a repeat holds the\n"
     "                    motor through a power cycle when the handshake no longer answers\n"
     "  --report FILE     write the record of the run: JSON, or CSV when FILE ends in .csv\n"
     "  --json            print that JSON record instead of the progress lines and the table\n",
     true},
    {"crc", "ostrelo-cli crc --channel A.C --node N FILE",
     "Computes FILE's CRC-32 and asks the node's bootloader for the CRC-32 of the image it\n"
     "received. Exit code 0 when both are equal.\n"
     "  --channel A.C     adapter and channel, e.g. 0.1 (required)\n"
     "  --node N          node id 1-127 (required)\n",
     false},
    {"start", "ostrelo-cli start --channel A.C --node N",
     "Tells the node's bootloader to start the application and waits until the application\n"
     "answers (exit code 0) or a few seconds have passed (exit code 1).\n"
     "  --channel A.C     adapter and channel, e.g. 0.1 (required)\n"
     "  --node N          node id 1-127 (required)\n",
     false},
};

const CommandHelp *find_command(const std::string &name) {
    for (const CommandHelp &c : kCommands) {
        if (name == c.name) {
            return &c;
        }
    }
    return nullptr;
}

std::string command_help(const CommandHelp &c) {
    return std::string("usage: ") + c.synopsis + "\n\n" + c.text + (c.select ? kSelectHelp : "") +
           kCommonHelp;
}

bool parse_uint(const std::string &s, unsigned long max, unsigned long *out) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    const unsigned long v = strtoul(s.c_str(), nullptr, 10);
    if (v > max) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_channel(const std::string &s, ChannelRef *out) {
    const size_t dot = s.find('.');
    unsigned long a = 0;
    unsigned long c = 0;
    if (dot == std::string::npos || !parse_uint(s.substr(0, dot), kMaxAdapters - 1, &a) ||
        !parse_uint(s.substr(dot + 1), CLIENT_MAX_CHANNELS - 1, &c)) {
        return false;
    }
    *out = {static_cast<uint32_t>(a), static_cast<uint32_t>(c)};
    return true;
}

std::vector<std::string> split(const std::string &s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = s.find(sep, start);
        parts.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos) {
            return parts;
        }
        start = at + 1;
    }
}

bool parse_channels(const std::string &s, Options *o) {
    if (s == "all") {
        o->allChannels = true;
        o->channels.clear();
        return true;
    }
    o->allChannels = false;
    o->channels.clear();
    for (const std::string &part : split(s, ',')) {
        ChannelRef r;
        if (!parse_channel(part, &r)) {
            return false;
        }
        const bool seen = std::any_of(o->channels.begin(), o->channels.end(), [&](const ChannelRef &x) {
            return x.adapter == r.adapter && x.channel == r.channel;
        });
        if (!seen) {
            o->channels.push_back(r);
        }
    }
    return !o->channels.empty();
}

bool parse_nodes(const std::string &s, std::vector<uint8_t> *nodes) {
    bool want[128] = {false};
    for (const std::string &part : split(s, ',')) {
        const size_t dash = part.find('-');
        unsigned long lo = 0;
        unsigned long hi = 0;
        if (dash == std::string::npos) {
            if (!parse_uint(part, 127, &lo)) {
                return false;
            }
            hi = lo;
        } else if (!parse_uint(part.substr(0, dash), 127, &lo) ||
                   !parse_uint(part.substr(dash + 1), 127, &hi)) {
            return false;
        }
        if (lo < 1 || hi < lo) {
            return false;
        }
        for (unsigned long n = lo; n <= hi; ++n) {
            want[n] = true;
        }
    }
    nodes->clear();
    for (unsigned n = 1; n < 128; ++n) {
        if (want[n]) {
            nodes->push_back(static_cast<uint8_t>(n));
        }
    }
    return true;
}

int bad_line(const std::string &line) {
    err_line(line);
    return kExitUsage;
}

bool is_directory(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_regular_file(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Parses the command line. Returns -1 to go on, or the exit code: 0 after
// printing help, 2 after one line on standard error.
int parse(int argc, char **argv, Options *o) {
    if (argc < 2) {
        err_line("ostrelo-cli: no command given (see ostrelo-cli --help)");
        return kExitUsage;
    }
    const std::string cmd = argv[1];
    if (cmd == "--help" || cmd == "-h" || cmd == "help") {
        out_write(kUsage);
        return kExitOk;
    }
    const CommandHelp *help = find_command(cmd);
    if (help == nullptr) {
        err_line("ostrelo-cli: unknown command '" + cmd + "' (see ostrelo-cli --help)");
        return kExitUsage;
    }
    o->command = cmd;
    const bool select = help->select;
    const bool withFolder = cmd == "match" || cmd == "upgrade";
    const bool upgrade = cmd == "upgrade";
    const bool single = cmd == "crc" || cmd == "start";
    const bool jsonOk = !single;
    const std::string prefix = "ostrelo-cli " + cmd + ": ";
    const std::string seeHelp = " (see ostrelo-cli " + cmd + " --help)";
    bool nodesGiven = false;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        auto need_value = [&](std::string *out) {
            if (!hasValue) {
                if (i + 1 >= argc) {
                    return false;
                }
                value = argv[++i];
            }
            *out = value;
            return true;
        };
        auto bad = [&](const std::string &what) {
            err_line(prefix + what + seeHelp);
            return kExitUsage;
        };
        std::string v;
        unsigned long n = 0;
        if (arg == "--help" || arg == "-h") {
            out_write(command_help(*help));
            return kExitOk;
        } else if (arg == "--json" && jsonOk && !hasValue) {
            o->json = true;
        } else if (arg == "--log" || arg == "--trace") {
            if (!need_value(&v) || v.empty()) {
                return bad(arg + " needs a file name");
            }
            (arg == "--log" ? o->log : o->trace) = v;
        } else if (arg == "--bitrate") {
            static const unsigned long kRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
            if (!need_value(&v) || !parse_uint(v, 1000, &n) ||
                std::find(std::begin(kRates), std::end(kRates), n) == std::end(kRates)) {
                return bad("bad --bitrate '" + v + "': one of 10 20 50 100 125 250 500 800 1000");
            }
            o->bitrate = static_cast<uint16_t>(n);
        } else if (arg == "--channels" && select) {
            if (!need_value(&v) || !parse_channels(v, o)) {
                return bad("bad --channels '" + v + "': 'all' or a list like 0.0,1.1");
            }
        } else if (arg == "--nodes" && select) {
            if (!need_value(&v) || !parse_nodes(v, &o->nodes)) {
                return bad("bad --nodes '" + v + "': node ids 1-127, like 1-32 or 1,4,10-12");
            }
            nodesGiven = true;
        } else if (arg == "--folder" && withFolder) {
            if (!need_value(&v) || v.empty()) {
                return bad("--folder needs a folder");
            }
            o->folder = v;
        } else if (arg == "--report" && upgrade) {
            if (!need_value(&v) || v.empty()) {
                return bad("--report needs a file name");
            }
            o->report = v;
        } else if (arg == "--retries" && upgrade) {
            if (!need_value(&v) || !parse_uint(v, 10, &n)) {
                return bad("bad --retries '" + v + "': a number 0-10");
            }
            o->retries = static_cast<unsigned>(n);
        } else if (arg == "--hold" && upgrade && !hasValue) {
            o->hold = true;
        } else if (arg == "--dry-run" && upgrade && !hasValue) {
            o->dryRun = true;
        } else if (arg == "--channel" && single) {
            if (!need_value(&v) || !parse_channel(v, &o->channel)) {
                return bad("bad --channel '" + v + "': adapter.channel, like 0.1");
            }
            o->haveChannel = true;
        } else if (arg == "--node" && single) {
            if (!need_value(&v) || !parse_uint(v, 127, &n) || n < 1) {
                return bad("bad --node '" + v + "': a node id 1-127");
            }
            o->node = static_cast<int>(n);
        } else if (cmd == "crc" && arg.compare(0, 1, "-") != 0 && o->file.empty()) {
            o->file = arg;
        } else if (arg.compare(0, 1, "-") == 0) {
            return bad("unknown option '" + arg + "'");
        } else {
            return bad("unexpected argument '" + arg + "'");
        }
    }
    if (!nodesGiven) {
        parse_nodes("1-32", &o->nodes);
    }
    if (withFolder && o->folder.empty()) {
        return bad_line(prefix + "--folder DIR is required" + seeHelp);
    }
    if (withFolder && !is_directory(o->folder)) {
        return bad_line(prefix + "folder " + o->folder + " does not exist");
    }
    if (single && (!o->haveChannel || o->node < 0)) {
        return bad_line(prefix + "--channel and --node are required" + seeHelp);
    }
    if (cmd == "crc" && o->file.empty()) {
        return bad_line(prefix + "FILE is required" + seeHelp);
    }
    if (cmd == "crc" && !is_regular_file(o->file)) {
        return bad_line(prefix + "file " + o->file + " cannot be read");
    }
    if (o->hold && o->dryRun) {
        return bad_line(prefix + "--hold and --dry-run exclude each other");
    }
    return -1;
}

} // namespace

int main(int argc, char **argv) {
#ifndef _WIN32
    // The simulated bench answers OSTRELO_CAN=sim[:scenario] and the unset
    // default; on Windows the stand-in ControlCAN.dll carries it instead.
    sim_register_transport();
#endif
    Options o;
    const int parsed = parse(argc, argv, &o);
    if (parsed >= 0) {
        return parsed;
    }
    interrupt_install();
    if (!out_init(o.log)) {
        return kExitUsage;
    }
    if (!o.trace.empty() && !controlcan_trace_open(o.trace.c_str())) {
        err_line("ostrelo-cli: cannot write the trace " + o.trace + ": " + strerror(errno));
        return kExitUsage;
    }
    int rc = kExitUsage;
    if (o.command == "channels") {
        rc = cmd_channels(o);
    } else if (o.command == "scan" || o.command == "match") {
        rc = cmd_scan(o);
    } else if (o.command == "upgrade") {
        rc = cmd_upgrade(o);
    } else if (o.command == "crc") {
        rc = cmd_crc(o);
    } else if (o.command == "start") {
        rc = cmd_start(o);
    }
    controlcan_trace_close();
    return rc;
}
