// Scenario files of the simulated bench: a small line-based text format
// (see sim/README.md) and the built-in default bench.
#include "sim_bench.h"
#include "ostrelo_log.h"
#include "sim_internal.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kDefaultScenario[] =
    "# Built-in default bench: two adapters, two channels each, 1000 kbit/s,\n"
    "# node ids 1-2, 3-4, 5-6 and 7-8 on the four channels. The motors take\n"
    "# the time of real controllers: the flash erase before the image (31 to\n"
    "# 62 ms per KiB by controller, 1.5 to 3 s for the 48 KiB demo images),\n"
    "# the write of each sub-block, the CRC and the application's start.\n"
    "adapter 0 channels 2\n"
    "adapter 1 channels 2\n"
    "segment 0 0 1000\n"
    "segment 0 1 1000\n"
    "segment 1 0 1000\n"
    "segment 1 1 1000\n"
    "operator on 1500 300\n"
    "motor 0 0 1 type=9  brake=0  encoder=1 version=1.0.0.3 erase_kib_ms=31 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 0 0 2 type=18 brake=16 encoder=2 version=1.1.2.1 erase_kib_ms=42 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 0 1 3 type=26 brake=0  encoder=3 version=2.0.1.5 erase_kib_ms=52 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 0 1 4 type=65 brake=16 encoder=1 version=1.3.1.1 erase_kib_ms=62 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 1 0 5 type=11 brake=16 encoder=3 version=1.1.4.2 erase_kib_ms=31 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 1 0 6 type=20 brake=0  encoder=2 version=3.1.0.0 erase_kib_ms=42 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 1 1 7 type=31 brake=16 encoder=2 version=1.4.1.1 erase_kib_ms=52 write_ms=4 crc_ms=20 boot_ms=1500\n"
    "motor 1 1 8 type=67 brake=0  encoder=3 version=2.2.2.2 erase_kib_ms=62 write_ms=4 crc_ms=20 boot_ms=1500\n";

const size_t kMaxLine = 512;
const size_t kMaxTokens = 24;
const size_t kMaxFileSize = 1u << 20;

struct Parser {
    const char *name;
    unsigned line;
    char error[200];
};

void fail(Parser &p, const char *what, const char *tok) {
    if (tok != nullptr) {
        snprintf(p.error, sizeof p.error, "%s '%s'", what, tok);
    } else {
        snprintf(p.error, sizeof p.error, "%s", what);
    }
}

bool parse_u32(const char *s, uint32_t max, uint32_t *out) {
    if (s == nullptr || *s == '\0' || *s == '-' || *s == '+') {
        return false;
    }
    errno = 0;
    char *end = nullptr;
    const unsigned long long v = strtoull(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0' || v > max) {
        return false;
    }
    *out = static_cast<uint32_t>(v);
    return true;
}

// "1.2.3.4" (most significant part first) or a plain number.
bool parse_version(const char *s, uint32_t *out) {
    if (strchr(s, '.') == nullptr) {
        return parse_u32(s, 0xFFFFFFFFu, out);
    }
    uint32_t v = 0;
    int parts = 0;
    const char *p = s;
    while (parts < 4) {
        char buf[8];
        size_t n = 0;
        while (*p != '\0' && *p != '.' && n < sizeof buf - 1) {
            buf[n++] = *p++;
        }
        buf[n] = '\0';
        uint32_t part = 0;
        if (!parse_u32(buf, 255, &part) || (*p != '\0' && *p != '.')) {
            return false;
        }
        v = (v << 8) | part;
        ++parts;
        if (*p == '\0') {
            break;
        }
        ++p;
    }
    if (parts != 4 || *p != '\0') {
        return false;
    }
    *out = v;
    return true;
}

bool parse_fraction(const char *s, double *out) {
    if (s == nullptr || *s == '\0') {
        return false;
    }
    char *end = nullptr;
    const double v = strtod(s, &end);
    if (end == s || *end != '\0' || !(v >= 0.0 && v <= 1.0)) {
        return false;
    }
    *out = v;
    return true;
}

bool parse_count(const char *s, uint32_t *out) {
    if (s != nullptr && strcmp(s, "forever") == 0) {
        *out = SIM_FOREVER;
        return true;
    }
    return parse_u32(s, 0xFFFFFFFEu, out);
}

bool valid_kbps(uint32_t kbps) {
    static const uint32_t rates[] = {10,  20,  33,  40,  50,  66,  80,  83,  100,
                                     125, 200, 250, 400, 500, 666, 800, 1000};
    for (uint32_t r : rates) {
        if (r == kbps) {
            return true;
        }
    }
    return false;
}

// Splits "key=value" in place; value is nullptr when there is no '='.
void split_kv(char *tok, char **key, char **value) {
    *key = tok;
    char *eq = strchr(tok, '=');
    if (eq != nullptr) {
        *eq = '\0';
        *value = eq + 1;
    } else {
        *value = nullptr;
    }
}

// tok[1] and tok[2]: an adapter index and a channel on it.
bool parse_adapter_channel(Parser &p, char **tok, uint32_t *adapter, uint32_t *channel) {
    if (!parse_u32(tok[1], SIM_MAX_ADAPTERS - 1, adapter)) {
        fail(p, "bad adapter index", tok[1]);
        return false;
    }
    if (!parse_u32(tok[2], SIM_MAX_CHANNELS - 1, channel)) {
        fail(p, "bad channel", tok[2]);
        return false;
    }
    return true;
}

bool parse_motor(Parser &p, char **tok, size_t n) {
    if (n < 4) {
        fail(p, "motor needs: motor <adapter> <channel> <node> [key=value...]", nullptr);
        return false;
    }
    sim_motor_config_t cfg;
    sim_motor_config_init(&cfg);
    uint32_t v = 0;
    if (!parse_adapter_channel(p, tok, &cfg.adapter, &cfg.channel)) {
        return false;
    }
    if (!parse_u32(tok[3], 127, &v) || v < 1) {
        fail(p, "bad node-ID (1..127)", tok[3]);
        return false;
    }
    cfg.node = static_cast<uint8_t>(v);
    for (size_t i = 4; i < n; ++i) {
        char *key, *val;
        split_kv(tok[i], &key, &val);
        if (val == nullptr) {
            fail(p, "expected key=value, got", key);
            return false;
        }
        bool ok = true;
        if (strcmp(key, "type") == 0) {
            ok = parse_u32(val, 255, &v);
            cfg.motorType = static_cast<uint8_t>(v);
        } else if (strcmp(key, "brake") == 0) {
            ok = parse_u32(val, 255, &v);
            cfg.brakeType = static_cast<uint8_t>(v);
        } else if (strcmp(key, "encoder") == 0) {
            ok = parse_u32(val, 255, &v);
            cfg.encoderType = static_cast<uint8_t>(v);
        } else if (strcmp(key, "version") == 0) {
            ok = parse_version(val, &cfg.version);
        } else if (strcmp(key, "state") == 0) {
            if (strcmp(val, "app") == 0) {
                cfg.initialState = SIM_START_APPLICATION;
            } else if (strcmp(val, "held") == 0) {
                cfg.initialState = SIM_START_BOOT_HELD;
            } else if (strcmp(val, "off") == 0) {
                cfg.initialState = SIM_START_OFF;
            } else if (strcmp(val, "window") == 0) {
                cfg.initialState = SIM_START_POWER_ON;
            } else {
                ok = false;
            }
        } else if (strcmp(key, "app") == 0) {
            ok = strcmp(val, "yes") == 0 || strcmp(val, "no") == 0;
            cfg.hasApplication = strcmp(val, "yes") == 0 ? 1 : 0;
        } else if (strcmp(key, "flash") == 0) {
            ok = parse_u32(val, 64u * 1024u * 1024u, &cfg.flashSize) && cfg.flashSize > 0;
        } else if (strcmp(key, "block") == 0) {
            ok = parse_u32(val, 127, &v) && v >= 1;
            cfg.blockSize = static_cast<uint8_t>(v);
        } else if (strcmp(key, "window") == 0) {
            ok = parse_u32(val, 600000, &cfg.bootWindowMs) && cfg.bootWindowMs > 0;
        } else if (strcmp(key, "erase_ms") == 0) {
            ok = parse_u32(val, 600000, &cfg.eraseMs);
        } else if (strcmp(key, "erase_kib_ms") == 0) {
            ok = parse_u32(val, 10000, &cfg.eraseKibMs);
        } else if (strcmp(key, "write_ms") == 0) {
            ok = parse_u32(val, 600000, &cfg.writeMs);
        } else if (strcmp(key, "crc_ms") == 0) {
            ok = parse_u32(val, 600000, &cfg.crcMs);
        } else if (strcmp(key, "boot_ms") == 0) {
            ok = parse_u32(val, 600000, &cfg.bootMs);
        } else {
            fail(p, "unknown motor key", key);
            return false;
        }
        if (!ok) {
            fail(p, "bad value for", key);
            return false;
        }
    }
    if (sim_bench_motor_state(cfg.adapter, cfg.channel, cfg.node) >= 0) {
        fail(p, "node-ID already used on this channel:", tok[3]);
        return false;
    }
    if (!sim_bench_add_motor(&cfg)) {
        fail(p, "cannot add motor (bench full?)", nullptr);
        return false;
    }
    return true;
}

bool parse_fault(Parser &p, char **tok, size_t n) {
    if (n < 2 || (strcmp(tok[1], "node") != 0 && strcmp(tok[1], "segment") != 0)) {
        fail(p, "fault needs: fault node <a> <c> <node> ... | fault segment <a> <c> ...", nullptr);
        return false;
    }
    const bool node = strcmp(tok[1], "node") == 0;
    const size_t first = node ? 5 : 4;
    if (n < first) {
        fail(p, "fault: missing adapter, channel or node", nullptr);
        return false;
    }
    uint32_t a = 0, c = 0, id = 0;
    if (!parse_u32(tok[2], SIM_MAX_ADAPTERS - 1, &a)) {
        fail(p, "bad adapter index", tok[2]);
        return false;
    }
    if (!parse_u32(tok[3], SIM_MAX_CHANNELS - 1, &c)) {
        fail(p, "bad channel", tok[3]);
        return false;
    }
    if (node && (!parse_u32(tok[4], 127, &id) || id < 1)) {
        fail(p, "bad node-ID (1..127)", tok[4]);
        return false;
    }
    if (node && sim_bench_motor_state(a, c, static_cast<uint8_t>(id)) < 0) {
        fail(p, "fault for a motor not defined above:", tok[4]);
        return false;
    }
    sim_fault_t f;
    sim_fault_init(&f);
    for (size_t i = first; i < n; ++i) {
        char *key, *val;
        split_kv(tok[i], &key, &val);
        bool ok = true;
        if (strcmp(key, "drop") == 0) {
            ok = parse_fraction(val, &f.dropFraction);
        } else if (strcmp(key, "delay") == 0) {
            ok = parse_u32(val, 60000, &f.replyDelayMs);
        } else if (strcmp(key, "abort") == 0) {
            // abort=<offset>:<code>[:<times>]
            char *colon = val != nullptr ? strchr(val, ':') : nullptr;
            char *times = colon != nullptr ? strchr(colon + 1, ':') : nullptr;
            if (colon == nullptr) {
                ok = false;
            } else {
                *colon = '\0';
                if (times != nullptr) {
                    *times = '\0';
                }
                ok = parse_u32(val, 0xFFFFFFFFu, &f.abortAtOffset) &&
                     parse_u32(colon + 1, 0xFFFFFFFFu, &f.abortCode) &&
                     (times == nullptr ||
                      (parse_u32(times + 1, 0xFFFFFFFFu, &f.abortTimes) && f.abortTimes > 0));
                f.abortEnabled = 1;
            }
        } else if (strcmp(key, "wrong_crc") == 0 && val == nullptr) {
            f.wrongCrc = 1;
        } else if (strcmp(key, "silent") == 0 && val == nullptr) {
            f.silent = 1;
        } else if (strcmp(key, "short_dlc") == 0 && val == nullptr) {
            f.shortDlc = 1;
        } else if (strcmp(key, "ignore_stop") == 0 && val == nullptr) {
            f.ignoreStop = 1;
        } else if (strcmp(key, "ignore_start") == 0 && val == nullptr) {
            f.ignoreStart = 1;
        } else if (strcmp(key, "slow_start") == 0) {
            ok = parse_u32(val, 600000, &f.appStartMs);
        } else if (strcmp(key, "probe_abort") == 0) {
            ok = parse_u32(val, 0xFFFFFFFFu, &f.probeAbortCode);
        } else if (strcmp(key, "probe_silent") == 0 && val == nullptr) {
            f.probeSilent = 1;
        } else if (strcmp(key, "rx_error") == 0 && !node) {
            ok = parse_count(val, &f.rxErrors);
        } else if (strcmp(key, "tx_fail") == 0 && !node) {
            ok = parse_count(val, &f.txFailures);
        } else {
            fail(p, "unknown fault", key);
            return false;
        }
        if (!ok) {
            fail(p, "bad value for fault", key);
            return false;
        }
    }
    const int done = node ? sim_bench_set_node_fault(a, c, static_cast<uint8_t>(id), &f)
                          : sim_bench_set_segment_fault(a, c, &f);
    if (!done) {
        fail(p, "cannot set fault", nullptr);
        return false;
    }
    return true;
}

bool parse_line(Parser &p, char *line) {
    char *tok[kMaxTokens];
    size_t n = 0;
    char *hash = strchr(line, '#');
    if (hash != nullptr) {
        *hash = '\0';
    }
    char *s = line;
    for (;;) {
        while (*s == ' ' || *s == '\t' || *s == '\r') {
            *s++ = '\0';
        }
        if (*s == '\0') {
            break;
        }
        if (n == kMaxTokens) {
            fail(p, "too many words on the line", nullptr);
            return false;
        }
        tok[n++] = s;
        while (*s != '\0' && *s != ' ' && *s != '\t' && *s != '\r') {
            ++s;
        }
    }
    if (n == 0) {
        return true;
    }
    uint32_t a = 0, b = 0, c = 0;
    if (strcmp(tok[0], "motor") == 0) {
        return parse_motor(p, tok, n);
    }
    if (strcmp(tok[0], "fault") == 0) {
        return parse_fault(p, tok, n);
    }
    if (strcmp(tok[0], "adapter") == 0) {
        c = 2;
        if (n != 2 && !(n == 4 && strcmp(tok[2], "channels") == 0)) {
            fail(p, "adapter needs: adapter <index> [channels <1..6>]", nullptr);
            return false;
        }
        if (!parse_u32(tok[1], SIM_MAX_ADAPTERS - 1, &a)) {
            fail(p, "bad adapter index", tok[1]);
            return false;
        }
        if (n == 4 && (!parse_u32(tok[3], SIM_MAX_CHANNELS, &c) || c == 0)) {
            fail(p, "bad channel count", tok[3]);
            return false;
        }
        return sim_bench_add_adapter(a, c) == 1;
    }
    if (strcmp(tok[0], "segment") == 0) {
        if (n != 4) {
            fail(p, "segment needs: segment <adapter> <channel> <kbit/s>", nullptr);
            return false;
        }
        if (!parse_adapter_channel(p, tok, &a, &b)) {
            return false;
        }
        if (!parse_u32(tok[3], 1000, &c) || (c != 0 && !valid_kbps(c))) {
            fail(p, "unsupported bit rate", tok[3]);
            return false;
        }
        return sim_bench_add_segment(a, b, c) == 1;
    }
    if (strcmp(tok[0], "traffic") == 0) {
        uint32_t id = 0, period = 0, dlc = 8;
        if (n != 5 && n != 6) {
            fail(p, "traffic needs: traffic <adapter> <channel> <id> <period_ms> [dlc]", nullptr);
            return false;
        }
        if (!parse_adapter_channel(p, tok, &a, &b)) {
            return false;
        }
        if (!parse_u32(tok[3], 0x7FF, &id)) {
            fail(p, "bad identifier (0..0x7FF)", tok[3]);
            return false;
        }
        if (!parse_u32(tok[4], 600000, &period) || period == 0) {
            fail(p, "bad period (1..600000 ms)", tok[4]);
            return false;
        }
        if (n == 6 && !parse_u32(tok[5], 8, &dlc)) {
            fail(p, "bad DLC (0..8)", tok[5]);
            return false;
        }
        if (!sim_bench_add_traffic(a, b, id, period, static_cast<uint8_t>(dlc))) {
            fail(p, "too many traffic lines for the segment", nullptr);
            return false;
        }
        return true;
    }
    if (strcmp(tok[0], "timing") == 0) {
        if (n != 2 || (strcmp(tok[1], "timed") != 0 && strcmp(tok[1], "instant") != 0)) {
            fail(p, "timing needs: timing timed|instant", nullptr);
            return false;
        }
        sim_bench_set_timing(strcmp(tok[1], "timed") == 0);
        return true;
    }
    if (strcmp(tok[0], "seed") == 0) {
        if (n != 2 || !parse_u32(tok[1], 0xFFFFFFFFu, &a)) {
            fail(p, "seed needs a number", n > 1 ? tok[1] : nullptr);
            return false;
        }
        sim_bench_set_seed(a);
        return true;
    }
    if (strcmp(tok[0], "no_ack_ms") == 0) {
        if (n != 2 || !parse_u32(tok[1], 10000, &a)) {
            fail(p, "no_ack_ms needs a number of milliseconds", n > 1 ? tok[1] : nullptr);
            return false;
        }
        sim_bench_set_no_ack_ms(a);
        return true;
    }
    if (strcmp(tok[0], "operator") == 0) {
        a = SIM_DEFAULT_OPERATOR_STOP_MS;
        b = SIM_DEFAULT_OPERATOR_OFF_MS;
        if (n < 2 || n > 4 || (strcmp(tok[1], "on") != 0 && strcmp(tok[1], "off") != 0) ||
            (n >= 3 && !parse_u32(tok[2], 600000, &a)) || (n == 4 && !parse_u32(tok[3], 600000, &b))) {
            fail(p, "operator needs: operator on|off [stop_ms [off_ms]]", nullptr);
            return false;
        }
        sim_bench_set_operator(strcmp(tok[1], "on") == 0, a, b);
        return true;
    }
    fail(p, "unknown statement", tok[0]);
    return false;
}

} // namespace

extern "C" const char *sim_bench_default_scenario_text(void) {
    return kDefaultScenario;
}

extern "C" int sim_bench_load_scenario_text(const char *text, const char *name) {
    Parser p{};
    p.name = name != nullptr ? name : "(scenario)";
    sim_bench_lock();
    const int timing = sim_bench_timing();
    sim_bench_reset();
    bool ok = text != nullptr;
    if (!ok) {
        fail(p, "no scenario text", nullptr);
    }
    const char *s = text;
    while (ok && s != nullptr && *s != '\0') {
        ++p.line;
        const char *nl = strchr(s, '\n');
        const size_t len = nl != nullptr ? static_cast<size_t>(nl - s) : strlen(s);
        char line[kMaxLine];
        if (len >= sizeof line) {
            fail(p, "line too long", nullptr);
            ok = false;
            break;
        }
        memcpy(line, s, len);
        line[len] = '\0';
        if (!parse_line(p, line)) {
            if (p.error[0] == '\0') {
                fail(p, "invalid statement", nullptr);
            }
            ok = false;
            break;
        }
        s = nl != nullptr ? nl + 1 : nullptr;
    }
    if (!ok) {
        char msg[400];
        snprintf(msg, sizeof msg, "[ERROR] sim: %s:%u: %s\n", p.name, p.line, p.error);
        ostrelo_log_text(OSTRELO_LOG_ERROR, msg);
        sim_bench_reset();
        sim_bench_set_timing(timing);
    }
    sim_bench_unlock();
    return ok ? 1 : 0;
}

extern "C" int sim_bench_load_default(void) {
    return sim_bench_load_scenario_text(kDefaultScenario, "(built-in default)");
}

extern "C" int sim_bench_load_scenario(const char *path) {
    if (path == NULL) {
        return sim_bench_load_default();
    }
    FILE *f = fopen(path, "rb");
    if (f == NULL) {
        char msg[700];
        snprintf(msg, sizeof msg, "[ERROR] sim: cannot read scenario file %s: %s\n", path, strerror(errno));
        ostrelo_log_text(OSTRELO_LOG_ERROR, msg);
        sim_bench_reset();
        return 0;
    }
    char *buf = static_cast<char *>(malloc(kMaxFileSize + 1));
    size_t n = buf != NULL ? fread(buf, 1, kMaxFileSize + 1, f) : 0;
    const bool readError = buf == NULL || ferror(f) != 0;
    fclose(f);
    if (readError || n > kMaxFileSize) {
        char msg[700];
        snprintf(msg, sizeof msg, "[ERROR] sim: cannot read scenario file %s: %s\n", path,
                 readError ? "read error" : "larger than 1 MiB");
        ostrelo_log_text(OSTRELO_LOG_ERROR, msg);
        free(buf);
        sim_bench_reset();
        return 0;
    }
    buf[n] = '\0';
    if (strlen(buf) != n) {
        char msg[700];
        snprintf(msg, sizeof msg, "[ERROR] sim: cannot read scenario file %s: not a text file\n", path);
        ostrelo_log_text(OSTRELO_LOG_ERROR, msg);
        free(buf);
        sim_bench_reset();
        return 0;
    }
    const int ok = sim_bench_load_scenario_text(buf, path);
    free(buf);
    return ok;
}
