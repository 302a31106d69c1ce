// ostrelo-cli: shared records and helpers of the terminal program.
#ifndef OSTRELO_CLI_H
#define OSTRELO_CLI_H

#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client_api.h"
#include "ostrelo_history.h"

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

struct ExpectedNode {
    bool anyChannel = true; // or only on `channel`
    ChannelRef channel{0, 0};
    uint8_t node = 0;
};

struct Options {
    std::string command;
    bool json = false;
    bool verbose = false;         // -v: the lower layers' log on standard error
    bool requireHardware = false; // refuse the simulated bench
    bool bootloader = false;      // scan: also list motors that answer only in their bootloader
    bool channelsGiven = false;
    bool nodesGiven = false;
    bool looseMatch = false;     // take a loose or one of several exact files
    bool force = false;          // flash a motor already at the file's version
    bool allowDowngrade = false; // flash a file older than the running version
    bool allowMissing = false;   // no motor, a motor without a file, no .bin: not a failure
    int expect = -1;             // --expect N: at least N motors
    std::vector<ExpectedNode> expectNodes;
    std::string expectNodesText;
    bool allChannels = true;
    std::vector<ChannelRef> channels;
    uint16_t bitrate = 1000;
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
    // The history: its file (empty: the default place), none at all, and
    // how old an unfinished entry may be to recover a motor (0: never).
    std::string history;
    bool noHistory = false;
    unsigned recoveryDays = 30;
    // history: the filters.
    std::string since;
    std::string outcome;
    bool csv = false;
};

enum class Outcome {
    Pending,
    Ok,
    Failed,
    Interrupted,
    NoFile,
    DryRun,
    Current,
    Refused,
    VersionMismatch,
    Missing
};

// How a motor's file was chosen: by its name, named by --file, or from the
// history entry of an upgrade the motor did not finish.
enum class Match { None, Exact, Loose, Named, History };

// Where a motor is: what the scan found, and after its upgrade what its
// answers showed (Unknown: neither side answered, or it was not asked).
enum class Side { Application, Bootloader, Unknown, Missing };

// One motor, keyed by its channel and node id.
struct Motor {
    Motor() {
        memset(&channelId, 0, sizeof(channelId));
        memset(&info, 0, sizeof(info));
    }
    client_channel_id_t channelId;
    uint8_t node = 0;
    client_firmware_info_t info;
    bool inBootloader = false; // answered only in its bootloader: identity unknown
    // The identity of a motor found in its bootloader, taken from the
    // history entry of the upgrade it did not finish (resumedFrom).
    bool identityFromHistory = false;
    int64_t resumedFrom = 0;
    Side side = Side::Application; // where it is (after the run: where it ended)
    std::string adapterSerial;     // what its adapter's board info reports
    int64_t historyEntry = 0;      // this upgrade's entry in the history (0: none)
    bool expectedOnly = false;     // expected (--expect-nodes) but not found: outcome Missing
    bool anyChannel = false;       // expected on any of the channels
    std::string file;              // file name, empty when none pairs
    std::string path;
    Match match = Match::None;
    std::vector<std::string> candidates; // the files that pair: exact ones first, then loose ones
    bool haveFileVersion = false;
    uint32_t fileVersion = 0; // from the file name (V<a>_<b>_<c>_<d>)
    std::string note;         // what the record should say beside the outcome
    uint64_t fileSize = 0;
    uint32_t fileCrc = 0;
    bool haveDeviceCrc = false;
    uint32_t deviceCrc = 0;
    bool haveVersionAfter = false;
    uint32_t versionAfter = 0;
    unsigned attempts = 0;
    std::vector<ostrelo_history_attempt_t> attemptLog; // each attempt and how it ended
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

// Keeps the original standard output for the program's own output and takes
// over what the lower layers print (to fd 1). False (after one line on
// stderr) when the log cannot be opened.
// What the lower layers print goes to `logPath` when given, and to standard
// error when `verbose`; without either, only their "[ERROR]" and
// "[WARNING]" lines are shown on standard error. Every line is prefixed with
// its UTC time and the channel and node it concerns (LogScope).
bool out_init(const std::string &logPath, bool verbose);
// Writes `text` (complete lines) to the program's output in one call.
void out_write(const std::string &text);
// How many bytes the program's output carried so far.
size_t out_bytes_written();
// One line on standard error, written in one call.
void err_line(const std::string &line);
bool out_is_tty();

// Ends the log redirection: what the lower layers printed is passed on.
void out_finish();

// ---- the lower layers' log (cli_log.cpp) --------------------------------------

// Takes over the log hook and descriptor 1 (out_init does it): see out_init.
// Each line is written whole, as "<UTC time> <context>  <text>", where the
// context is the logging thread's LogScope ("-": none, and for what code
// that is not ours prints on descriptor 1). False after one line on stderr.
bool log_init(const std::string &logPath, bool verbose);
// Passes the last lines on and closes descriptor 1 and the log file.
void log_finish();
// Writes all of `n` bytes to `fd` (retrying short writes).
void write_all(int fd, const char *p, size_t n);

std::string utc_now_iso(); // 2026-12-09T10:11:12Z
// The last line err_line wrote: a --json run says it in its document.
std::string last_error_line();
std::string utc_now_iso_ms(); // with milliseconds: 2026-12-09T10:11:12.345Z

// Names the channel ("0.1") or motor ("0.1 node 3") that the calling
// thread's log lines concern while it lives; the previous one comes back.
class LogScope {
  public:
    explicit LogScope(const std::string &context);
    ~LogScope();
    LogScope(const LogScope &) = delete;
    LogScope &operator=(const LogScope &) = delete;

  private:
    std::string previous_;
};

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

// A JSON string of any bytes: a byte that is not part of well-formed UTF-8
// becomes U+FFFD, so the document stays valid (see name_fields for the
// bytes themselves).
std::string json_string(const std::string &s);
bool is_utf8(const std::string &s);
std::string hex_bytes(const std::string &s); // "636166e9"

// One field of a record: its JSON value and its CSV text, so both forms
// always carry the same fields.
struct Field {
    const char *name;
    std::string json;
    std::string text;
};
Field str_field(const char *name, const std::string &s);
Field null_field(const char *name);
Field opt_str(const char *name, bool have, const std::string &s);
Field num_field(const char *name, uint64_t v);
Field opt_num(const char *name, bool have, uint64_t v);
Field bool_field(const char *name, bool b);
Field list_field(const char *name, const std::vector<std::string> &items);
// A file name or path (null when !have), and beside it `hexName` with its
// bytes in hex where they are not UTF-8 (else null): JSON cannot carry them.
std::vector<Field> name_fields(const char *name, const char *hexName, bool have, const std::string &s);
std::string json_members(const std::vector<Field> &fields);
// CSV: the fields' names as a header line, or their texts as a line
// (quoted where needed), each ending in "\n".
std::string csv_header(const std::vector<Field> &fields);
std::string csv_line(const std::vector<Field> &fields);
std::string version_text(uint32_t v);
std::string hex32(uint32_t v);
std::string channel_text(const client_channel_id_t &id);
std::string transport_text();
const char *outcome_text(Outcome o);
const char *side_text(Side s);
// Whether the motor's identity is known (scanned, or from the history).
bool identity_known(const Motor &m);
// The attempts as one line ("1 transfer: ... (0x05040000); 2 done: ok")
// and as a JSON array of objects (attempt, step, reason, abort_code).
Field attempts_field(const char *name, const ostrelo_history_attempt_t *attempts, size_t count);
std::string motor_label(const Motor &m);                              // "0.1 node 3"
std::string node_label(const client_channel_id_t &id, unsigned node); // the same

// ---- interruption (cli_out.cpp) -------------------------------------------------

// Ctrl-C, SIGTERM and SIGHUP ask the program to stop (interrupted()); a
// second one ends it at once. A caller that has something to save first
// (the record) defers that: it then watches interrupt_count() and ends the
// program itself; a third signal still ends it at once.
void interrupt_install();
bool interrupted();
int interrupt_count();
void interrupt_defer_second(bool defer);

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
// when a listed channel (or, for "all", every channel) cannot be brought up,
// or when --require-hardware finds the simulated bench. On the simulated
// bench it says so in one line on standard error.
bool bring_up_channels(const Options &o, std::vector<client_channel_id_t> *up);
void release_channels();
// What the channels are: the simulated bench, or the interfaces and
// adapters behind them. Valid while the channels are up.
struct BusInfo {
    bool simulated = false;
    std::string text; // "simulated bench", "socketcan can0, can1", "canalyst-II 31F00012, ..."
};
BusInfo describe_bus(const std::vector<client_channel_id_t> &channels);
// On the simulated bench: one line on standard error saying so, or, with
// --require-hardware, one line refusing it (false).
bool say_if_simulated(const Options &o, bool simulated);
// Scans every channel in its own thread; motors in channel and node order.
// With `bootloader`, node ids that give no identity are asked by SDO too,
// and those that answer are listed as in their bootloader.
std::vector<Motor> scan_channels(const std::vector<client_channel_id_t> &channels,
                                 const std::vector<uint8_t> &nodes, bool bootloader);

// ---- files (cli_files.cpp) -------------------------------------------------------

// The .bin files of a folder, in listing order, with their paths.
struct FolderFile {
    std::string name;
    std::string path;
};
// False (after one line on stderr) when the folder cannot be read.
bool list_folder(const std::string &folder, std::vector<FolderFile> *files);
// Pairs every motor with its file of `files`: the one exact file; otherwise
// the motor stays without one and its candidates are named, unless
// `looseMatch`, which takes the first exact file, else the first loose one.
void match_files(const std::vector<FolderFile> &files, bool looseMatch, std::vector<Motor> *motors);
// Pairs every motor with the file the user named (--file).
void match_named_file(const std::string &path, bool looseMatch, std::vector<Motor> *motors);
// Gives the motor the file `name` at `path`, chosen by `match`, with the
// version its name carries.
void pair_file(Motor *m, const std::string &name, const std::string &path, Match match);
// Longest path the platform can open; longer ones are refused up front.
size_t path_limit();

// ---- tables and JSON (cli_scan.cpp) ------------------------------------------------

// Left-aligned columns separated by two blanks; the first row is the header.
std::string format_table(const std::vector<std::vector<std::string>> &rows);
// The identity fields of a motor as JSON members (no braces).
std::string motor_identity_json(const Motor &m);
// The file fields: "file", "path" (null when none pairs), "match",
// "candidates", "file_version".
std::string motor_file_json(const Motor &m);
std::string channels_json(const std::vector<client_channel_id_t> &channels);

// ---- commands ---------------------------------------------------------------------

int cmd_channels(const Options &o);
int cmd_scan(const Options &o); // scan and match
int cmd_upgrade(const Options &o);
int cmd_crc(const Options &o);
int cmd_start(const Options &o);
int cmd_history(const Options &o); // cli_history.cpp

// ---- the upgrade history (cli_upgrade_history.cpp) -------------------------------------

// The history file of this run: --history PATH, else the default place
// (OSTRELO_HISTORY, XDG_DATA_HOME, HOME). False when there is none.
bool history_file(const Options &o, std::string *path);

// The history as one upgrade run writes it: each motor's upgrade is begun
// when it starts and completed when it ends, so a run that is killed leaves
// its motors "in progress". A history that cannot be opened or written is
// said in one warning line of the log (standard error), and the run goes
// on without it. Its calls may come from every channel's thread.
class UpgradeHistory {
  public:
    UpgradeHistory() = default;
    ~UpgradeHistory();
    UpgradeHistory(const UpgradeHistory &) = delete;
    UpgradeHistory &operator=(const UpgradeHistory &) = delete;
    // Opens the history unless --no-history (`readOnly`, and for a dry
    // run: only to resume motors). A build without SQLite keeps none: said
    // in one line only when --history names a file.
    void open(const Options &o, bool readOnly = false);
    // A motor found in its bootloader, identity unknown, at the place of an
    // upgrade that did not end ok within --recovery-days: with that entry's
    // file still unchanged it takes the entry's identity and file
    // (Match::History, a note "resumed from history entry N"); with the
    // file gone or changed it stays without a file, the note naming it.
    void recover(Motor *m, unsigned days);
    // The entry of the motor's upgrade, begun as it starts (its channel's
    // thread), and completed from the sequence's result.
    void begin(Motor *m);
    void end(Motor *m, const client_upgrade_result_t &r);
    // Every entry begun and not ended is completed as interrupted with
    // `why` (the program ends at once).
    void interrupt_open(const std::string &why);

  private:
    ostrelo_history_t *h_ = nullptr;
    std::mutex mutex_;
    std::vector<std::unique_ptr<ostrelo_history_entry_t>> open_;
};

// The serial each motor's adapter reports (Motor::adapterSerial), read once
// per adapter while no channel thread runs.
void note_adapter_serials(std::vector<Motor> *motors);

// ---- versions and the record (cli_report.cpp) ---------------------------------------

// The record of a run (JSON, or CSV with the same fields), kept on disk from
// the start: it is replaced whole (a temporary file renamed into place) at
// the start, whenever a motor ends and at the end, so a run that is killed
// leaves the last complete record, never a cut one.
class RunRecord {
  public:
    RunRecord(const Options &o, std::string date);
    // Writes the first record (state "running"). False after one line on
    // standard error when the file cannot be written.
    bool start();
    void set_bus(const BusInfo &bus, const std::vector<client_channel_id_t> &channels);
    // Why the run could not begin (a set-up error), for the record.
    void set_error(const std::string &error);
    // Takes every motor (no channel thread may run).
    void set_motors(const std::vector<Motor> &motors);
    // One motor has ended: called by its own channel's thread.
    void motor_done(size_t index, const Motor &m);
    // Motors not ended are marked interrupted (the run is ended at once).
    void mark_unfinished_interrupted(const std::string &why);
    // The document for `state` ("running", "done", "interrupted", "not
    // started" after a set-up error).
    std::string json(const std::string &state);
    // Writes the record file (if any); false after one line on standard error.
    bool write(const std::string &state);
    // The last write: motors that end afterwards no longer replace it.
    bool finish(const std::string &state);

  private:
    bool write_locked(const std::string &state);
    std::string json_locked(const std::string &state);
    const Options &o_;
    std::string date_;
    BusInfo bus_;
    std::vector<client_channel_id_t> channels_;
    std::vector<Motor> motors_;
    std::string error_;
    bool finished_ = false;
    std::mutex mutex_;
};

// The result table printed after an upgrade, and the line under it.
std::string result_table(const std::vector<Motor> &motors);
std::string summary_line(const std::vector<Motor> &motors);
// Motors that --expect-nodes names and that did not answer, as records with
// outcome Missing.
std::vector<Motor> missing_motors(const Options &o, const std::vector<Motor> &found);
// The accounting of a run: every motor must be there and paired, the
// folder must hold a file. Prints one line on standard error per shortfall
// and returns kExitFailed, or kExitOk. `files` is -1 when no folder is read.
int account_for_motors(const Options &o, const std::vector<Motor> &motors, long files,
                       const std::vector<client_channel_id_t> &channels);

// Before the upgrade: a motor at the file's version is "current" (unless
// --force), a file older than the running version is refused (unless
// --allow-downgrade); a file without a version is flashed with a note.
void apply_version_policy(Motor *m, const Options &o);
// Notes add up: a loose match and a file without a version are both said.
void add_note(Motor *m, const std::string &note);
// After a successful upgrade the application must report the file's
// version: the outcome that holds (Ok, or VersionMismatch), and why.
// The SDO abort codes in a message, each followed by its meaning.
std::string with_abort_meanings(const std::string &text);

#endif
