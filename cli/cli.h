// ostrelo-cli: shared records and helpers of the terminal program.
#ifndef OSTRELO_CLI_H
#define OSTRELO_CLI_H

#include <cstdint>
#include <string>
#include <vector>

#include "client_api.h"

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr uint32_t kAdapterType = 4; // canalyst-II
constexpr int kMaxAdapters = 4;

struct ChannelRef {
    uint32_t adapter;
    uint32_t channel;
};

struct Options {
    std::string command;
    bool json = false;
    bool allChannels = true;
    std::vector<ChannelRef> channels;
    uint16_t bitrate = 1000;
    uint8_t nodeMin = 1;
    uint8_t nodeMax = 32;
    std::vector<uint8_t> nodes; // the selection, ascending
    std::string folder;
    std::string report;
    std::string trace;
    std::string log;
    bool hold = false;
    bool dryRun = false;
    unsigned retries = 1;
    bool haveChannel = false;
    ChannelRef channel{0, 0};
    int node = -1;
    std::string file;
};

enum class Outcome { Pending, Ok, Failed, Interrupted, NoFile, DryRun };

// One motor, keyed by its channel and node id.
struct Motor {
    client_channel_id_t channelId;
    uint8_t node = 0;
    client_firmware_info_t info;
    std::string file; // file name, empty when none pairs
    std::string path;
    uint64_t fileSize = 0;
    uint32_t fileCrc = 0;
    bool haveDeviceCrc = false;
    uint32_t deviceCrc = 0;
    bool haveVersionAfter = false;
    uint32_t versionAfter = 0;
    unsigned attempts = 0;
    uint64_t durationMs = 0;
    uint64_t transferMs = 0;
    Outcome outcome = Outcome::Pending;
    std::string error;
    bool held = false; // stopped in its bootloader by the --hold phase
    // Progress, written by the channel's worker, read for the display.
    std::string step;
    size_t done = 0;
    size_t total = 0;
};

// ---- output (cli_out.cpp) ---------------------------------------------------

// Keeps the original standard output for the program's own output and sends
// everything the lower layers print (to fd 1) to standard error or to
// `logPath`. False (after one line on stderr) when the log cannot be opened.
bool out_init(const std::string &logPath);
// Writes `text` (complete lines) to the program's output in one call.
void out_write(const std::string &text);
// One line on standard error, written in one call.
void err_line(const std::string &line);
bool out_is_tty();

// Per-motor progress display: redrawn in place on a terminal, line by line
// otherwise; silent with --json.
// The setters are the only writers of a motor's step and byte counts once
// the display runs: other channels' threads read them to redraw.
void progress_begin(bool enabled);
void progress_step(Motor *m, const char *step);
void progress_bytes(Motor *m, size_t done, size_t total);
void progress_finish_motor(const Motor &m);
void progress_end();
// A line of its own between the progress lines (operator prompts).
void progress_note(const std::string &line);

std::string json_string(const std::string &s);
std::string version_text(uint32_t v);
std::string hex32(uint32_t v);
std::string channel_text(const client_channel_id_t &id);
std::string utc_now_iso();
std::string transport_text();
const char *outcome_text(Outcome o);
std::string motor_label(const Motor &m);

// ---- interruption (cli_out.cpp) -------------------------------------------------

void interrupt_install();
bool interrupted();

// ---- bus work (cli_bus.cpp) -----------------------------------------------------

struct ChannelInfo {
    ChannelRef ref;
    bool up = false;
    std::string hwType;
    std::string serial;
};

// Adapters and channels the transport offers (probed, then released).
std::vector<ChannelInfo> probe_channels(uint16_t bitrate);
// Brings up the selected channels. Returns false after one line on stderr
// when a listed channel (or, for "all", every channel) cannot be brought up.
bool bring_up_channels(const Options &o, std::vector<client_channel_id_t> *up);
void release_channels();
// Scans every channel in its own thread; motors in channel and node order.
std::vector<Motor> scan_channels(const std::vector<client_channel_id_t> &channels,
                                 const std::vector<uint8_t> &nodes);
// Pairs every motor with the first file of `folder` that carries its key.
void match_files(const std::string &folder, std::vector<Motor> *motors);
// Drops frames waiting on the channel's raw path; true when one of them had
// identifier `ident`.
bool discard_stale_frames(client_channel_id_t ch, uint32_t ident = 0xFFFFFFFFu);

// ---- tables and JSON (cli_scan.cpp) ------------------------------------------------

// Left-aligned columns separated by two blanks; the first row is the header.
std::string format_table(const std::vector<std::vector<std::string>> &rows);
// The identity fields of a motor as JSON members (no braces).
std::string motor_identity_json(const Motor &m);
// The file fields: "file" and "path" (null when none pairs).
std::string motor_file_json(const Motor &m);
std::string channels_json(const std::vector<client_channel_id_t> &channels);

// ---- commands ---------------------------------------------------------------------

int cmd_channels(const Options &o);
int cmd_scan(const Options &o); // scan and match
int cmd_upgrade(const Options &o);
int cmd_crc(const Options &o);
int cmd_start(const Options &o);

#endif
