// ostrelo-cli: find, pair and upgrade motors from a terminal or a script.
#include "cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

#include "ostrelo_history.h"
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
    "  history    list the upgrades recorded on this station, newest first\n"
    "\n"
    "'ostrelo-cli <command> --help' describes a command. OSTRELO_CAN chooses the transport\n"
    "(unset: the simulated bench, said on standard error); OSTRELO_TRACE=FILE writes a frame trace.\n"
    "Exit codes: 0 success, 1 a motor or a check failed or a motor is missing, 2 usage or set-up error.\n"
    "Ctrl-C, SIGTERM or SIGHUP stop the run (no further motor, the record written); a second one\n"
    "ends it at once.\n";

const char kCommonHelp[] =
    "  --bitrate KBPS    bit rate of the channels: 10 20 50 100 125 250 500 800 1000 (default 1000)\n"
    "  --require-hardware  refuse to run on the simulated motor bench\n"
    "  --log FILE        write the whole log to FILE (standard error then shows none of it,\n"
    "                    unless -v)\n"
    "  -v, --verbose     show the whole log on standard error (default: only its errors and\n"
    "                    warnings); each log line begins with its UTC time and the\n"
    "                    channel and node it concerns, e.g. '0.1 node 3', or '-'\n"
    "  --trace FILE      write every frame sent and received (candump log format)\n"
    "  --help            this text\n";

const char kSelectHelp[] =
    "  --channels LIST   adapter.channel list, e.g. 0.0,1.1, or 'all' (default: all)\n"
    "  --nodes LIST      node ids to probe, e.g. 1-32 or 1,4,10-12 (default 1-127)\n"
    "  --expect N        at least N motors must answer, else exit code 1\n"
    "  --expect-nodes LIST  these node ids must answer, else exit code 1: 1-6 on any channel,\n"
    "                    0.1:3 on channel 0.1 only (items separated by commas)\n"
    "  --allow-missing   no motor found, a motor without a file or a folder without .bin\n"
    "                    files is not a failure\n";

const char kMatchHelp[] =
    "  --loose-match     take a file the naming rule pairs although its name does not begin\n"
    "                    with the motor's model_encoder_brake (or the newest of several that do)\n"
    "  --history PATH    the upgrade history (default: OSTRELO_HISTORY, else\n"
    "                    $XDG_DATA_HOME/ostrelo/history.sqlite, else ~/.local/share/...)\n"
    "  --no-history      neither record the upgrades nor resume motors from the history\n"
    "  --recovery-days N a motor found in its bootloader, identity unknown, where an upgrade\n"
    "                    did not end ok within N days (default 30; 0: never) takes that\n"
    "                    upgrade's identity and file, if the file is unchanged (SHA-256)\n";

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
    {"scan", "ostrelo-cli scan [--channels LIST] [--nodes LIST] [--bootloader] [--json] [--bitrate KBPS]",
     "Brings the channels up and asks every node id of the list on every channel, one thread\n"
     "per channel. One row per motor: channel, node id, model, brake, encoder, version and\n"
     "filename key. Motors with the same node id on different channels are all listed.\n"
     "  --bootloader      also ask the SDO server of every node id that gave no identity, and list\n"
     "                    the motors that answer only in their bootloader (identity unknown)\n"
     "  --json            one JSON document: transport, bitrate, channels[], motors[] (see README)\n",
     true},
    {"match", "ostrelo-cli match --folder DIR [--channels LIST] [--nodes LIST] [--loose-match] [--json]",
     "The scan (with the motors found in their bootloader), plus the .bin file of DIR that\n"
     "each motor pairs with: the one file whose name begins with the motor's model, encoder\n"
     "and brake (4009_SingleTarsel_B0...); a file that only carries those letters in order,\n"
     "or several exact ones, is ambiguous and named, not taken.\n"
     "  --folder DIR      folder of .bin firmware files (required)\n"
     "  --json            as scan --json, each motor with file, path (null: no file), match,\n"
     "                    candidates and file_version\n",
     true},
    {"upgrade",
     "ostrelo-cli upgrade --folder DIR | --file PATH [--channels LIST] [--nodes LIST] [--hold]\n"
     "                   [--dry-run] [--force] [--allow-downgrade] [--loose-match] [--retries N]\n"
     "                   [--report FILE] [--json]",
     "Scans, pairs, and upgrades every paired motor: into the bootloader, block download,\n"
     "CRC-32 check, start of the application, which must then answer with the version the\n"
     "file's name carries (V<a>_<b>_<c>_<d>). Channels work in parallel, the motors of one\n"
     "channel one after another. A motor already at the file's version is left alone\n"
     "('current'); an older file is refused. Ctrl-C starts no further motor and stops a motor\n"
     "before its next step; the report marks them interrupted. Every upgrade is recorded in\n"
     "the history when it starts and when it ends (see ostrelo-cli history).\n"
     "  --folder DIR      folder of .bin firmware files\n"
     "  --file PATH       flash this file instead (with --channels and --nodes): also a motor\n"
     "                    found in its bootloader, whose identity is unknown\n"
     "  --force           flash a motor that already runs the file's version\n"
     "  --allow-downgrade flash a file older than the version the motor runs\n"
     "  --hold            hold the motors in their bootloader while the operator switches\n"
     "                    them off and on again, instead of the handshake\n"
     "  --dry-run         scan and pair only; no SDO frame is sent\n"
     "  --retries N       repeat a failed motor up to N times (default 1); a repeat holds the\n"
     "                    motor through a power cycle when the handshake no longer answers\n"
     "  --report FILE     keep the record of the run in FILE: JSON, or CSV (same fields) when\n"
     "                    FILE ends in .csv; replaced whole at the start (state running), after\n"
     "                    each motor and at the end (state done or interrupted)\n"
     "  --json            print that JSON record instead of the progress lines and the table\n"
     "                    (also after a set-up error: state 'not started' and the error)\n",
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
    {"history",
     "ostrelo-cli history [--since DATE] [--channel A.C] [--node N] [--outcome O] [--json|--csv]\n"
     "                   [--history PATH]",
     "Lists the upgrades recorded in the history, newest first: when, where (channel and node),\n"
     "the motor, its version before and after, the file and the outcome. Every upgrade is\n"
     "recorded when it starts and again when it ends, so one cut short by a kill or a power\n"
     "loss stays 'in progress'.\n"
     "  --since DATE      only upgrades begun at or after DATE (UTC): 2026-12-01 or\n"
     "                    2026-12-01T08:00[:00]\n"
     "  --channel A.C     only this adapter and channel, e.g. 0.1\n"
     "  --node N          only this node id 1-127\n"
     "  --outcome O       only this outcome: ok, failed, interrupted or 'in progress'\n"
     "  --json            one JSON document: history (the file), entries[] with every field and\n"
     "                    attempts[] (attempt, step, reason, abort_code)\n"
     "  --csv             CSV: a header line, then one line per upgrade with the same fields\n"
     "  --history PATH    the history file (default: OSTRELO_HISTORY, else\n"
     "                    $XDG_DATA_HOME/ostrelo/history.sqlite, else\n"
     "                    ~/.local/share/ostrelo/history.sqlite)\n",
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
    const bool match = strcmp(c.name, "match") == 0 || strcmp(c.name, "upgrade") == 0;
    return std::string("usage: ") + c.synopsis + "\n\n" + c.text + (match ? kMatchHelp : "") +
           (c.select ? kSelectHelp : "") + kCommonHelp;
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

// --expect-nodes: "1-6" on any channel, "0.1:3" or "0.1:3-5" on one.
bool parse_expect_nodes(const std::string &s, std::vector<ExpectedNode> *out) {
    out->clear();
    for (const std::string &item : split(s, ',')) {
        ExpectedNode e;
        std::string range = item;
        const size_t colon = item.find(':');
        if (colon != std::string::npos) {
            if (!parse_channel(item.substr(0, colon), &e.channel)) {
                return false;
            }
            e.anyChannel = false;
            range = item.substr(colon + 1);
        }
        std::vector<uint8_t> nodes;
        if (range.find(',') != std::string::npos || !parse_nodes(range, &nodes)) {
            return false;
        }
        for (uint8_t n : nodes) {
            e.node = n;
            out->push_back(e);
        }
    }
    return !out->empty();
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
    const bool history = cmd == "history";
    const bool jsonOk = !single;
    const std::string prefix = "ostrelo-cli " + cmd + ": ";
    const std::string seeHelp = " (see ostrelo-cli " + cmd + " --help)";
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
        } else if ((arg == "-v" || arg == "--verbose") && !hasValue) {
            o->verbose = true;
        } else if (arg == "--require-hardware" && !hasValue) {
            o->requireHardware = true;
        } else if (arg == "--bootloader" && cmd == "scan" && !hasValue) {
            o->bootloader = true;
        } else if (arg == "--loose-match" && withFolder && !hasValue) {
            o->looseMatch = true;
        } else if (arg == "--allow-missing" && select && !hasValue) {
            o->allowMissing = true;
        } else if (arg == "--force" && upgrade && !hasValue) {
            o->force = true;
        } else if (arg == "--allow-downgrade" && upgrade && !hasValue) {
            o->allowDowngrade = true;
        } else if (arg == "--expect" && select) {
            if (!need_value(&v) || !parse_uint(v, 127u * CLIENT_MAX_CHANNELS * kMaxAdapters, &n)) {
                return bad("bad --expect '" + v + "': a number of motors");
            }
            o->expect = static_cast<int>(n);
        } else if (arg == "--expect-nodes" && select) {
            if (!need_value(&v) || !parse_expect_nodes(v, &o->expectNodes)) {
                return bad("bad --expect-nodes '" + v + "': node ids like 1-6, or 0.1:3 for one channel");
            }
            o->expectNodesText = v;
        } else if (arg == "--file" && upgrade) {
            if (!need_value(&v) || v.empty()) {
                return bad("--file needs a file");
            }
            o->file = v;
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
            o->channelsGiven = !o->allChannels;
        } else if (arg == "--nodes" && select) {
            if (!need_value(&v) || !parse_nodes(v, &o->nodes)) {
                return bad("bad --nodes '" + v + "': node ids 1-127, like 1-32 or 1,4,10-12");
            }
            o->nodesGiven = true;
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
        } else if (arg == "--since" && history) {
            ostrelo_history_filter_t f;
            if (!need_value(&v) || ostrelo_history_filter_set_since(&f, v.c_str()) != 0) {
                return bad("bad --since '" + v + "': a UTC date like 2026-12-01, or 2026-12-01T08:00[:00]");
            }
            o->since = v;
        } else if (arg == "--outcome" && history) {
            ostrelo_history_outcome_t x;
            if (!need_value(&v) || ostrelo_history_outcome_parse(v.c_str(), &x) != 0) {
                return bad("bad --outcome '" + v + "': ok, failed, interrupted or 'in progress'");
            }
            o->outcome = v;
        } else if (arg == "--csv" && history && !hasValue) {
            o->csv = true;
        } else if (arg == "--no-history" && withFolder && !hasValue) {
            o->noHistory = true;
        } else if (arg == "--recovery-days" && withFolder) {
            if (!need_value(&v) || !parse_uint(v, 3650, &n)) {
                return bad("bad --recovery-days '" + v + "': a number of days 0-3650");
            }
            o->recoveryDays = static_cast<unsigned>(n);
        } else if (arg == "--history" && (history || withFolder)) {
            if (!need_value(&v) || v.empty()) {
                return bad("--history needs a file name");
            }
            o->history = v;
        } else if (arg == "--channel" && (single || history)) {
            if (!need_value(&v) || !parse_channel(v, &o->channel)) {
                return bad("bad --channel '" + v + "': adapter.channel, like 0.1");
            }
            o->haveChannel = true;
        } else if (arg == "--node" && (single || history)) {
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
    if (!o->nodesGiven) {
        parse_nodes("1-127", &o->nodes); // every node id a motor can have
    }
    for (const std::string *path : {&o->folder, &o->file, &o->report, &o->log, &o->trace, &o->history}) {
        if (path->size() > path_limit()) {
            return bad_line(prefix + "a path of " + std::to_string(path->size()) +
                            " characters is longer than this system allows (" + std::to_string(path_limit()) +
                            "): " + path->substr(0, 60) + "...");
        }
    }
    if (upgrade && !o->file.empty()) {
        if (!o->folder.empty()) {
            return bad_line(prefix + "--folder and --file exclude each other");
        }
        if (!o->channelsGiven || !o->nodesGiven) {
            return bad_line(prefix + "--file needs --channels and --nodes: it names the motors to flash" +
                            seeHelp);
        }
        if (!is_regular_file(o->file)) {
            return bad_line(prefix + "file " + o->file + " cannot be read");
        }
    } else if (withFolder && o->folder.empty()) {
        return bad_line(prefix + "--folder DIR is required" + seeHelp);
    }
    if (withFolder && o->file.empty() && !is_directory(o->folder)) {
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
    if (o->noHistory && !o->history.empty()) {
        return bad_line(prefix + "--history and --no-history exclude each other");
    }
    if (o->json && o->csv) {
        return bad_line(prefix + "--json and --csv exclude each other");
    }
    if (o->hold && o->dryRun) {
        return bad_line(prefix + "--hold and --dry-run exclude each other");
    }
    return -1;
}

// A run asked for JSON that ends in a set-up error before printing its
// document prints one that says so.
void json_setup_error(const Options &o) {
    out_write("{\"command\":" + json_string(o.command) + ",\"transport\":" + json_string(transport_text()) +
              ",\"state\":\"not started\",\"error\":" + json_string(last_error_line()) + "}\n");
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
        // --json anywhere on the line of a command that has it asks for the
        // document, also when the line itself is wrong (but not with --csv).
        const auto given = [&](const char *option) {
            return std::any_of(argv + 1, argv + argc, [&](const char *a) { return strcmp(a, option) == 0; });
        };
        const bool jsonCommand = !o.command.empty() && o.command != "crc" && o.command != "start";
        if (parsed == kExitUsage && jsonCommand && given("--json") && !given("--csv")) {
            json_setup_error(o);
        }
        return parsed;
    }
    interrupt_install();
    if (!out_init(o.log, o.verbose)) {
        return kExitUsage;
    }
    if (!o.trace.empty() && !controlcan_trace_open(o.trace.c_str())) {
        err_line("ostrelo-cli: cannot write the trace " + o.trace + ": " + strerror(errno));
        out_finish();
        return kExitUsage;
    }
    int rc = kExitUsage;
    const size_t printed = out_bytes_written();
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
    } else if (o.command == "history") {
        rc = cmd_history(o);
    }
    if (rc == kExitUsage && o.json && out_bytes_written() == printed) {
        json_setup_error(o);
    }
    controlcan_trace_close();
    out_finish();
    return rc;
}
