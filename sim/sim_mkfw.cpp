// Demo firmware images for the simulated bench.
#include "sim_mkfw.h"
#include "ostrelo_log.h"

#include "motor_protocol.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

extern "C" void sim_mkfw_encoder_name(uint8_t encoderType, char *out, size_t cap) {
    if (out == NULL || cap == 0) {
        return;
    }
    switch (encoderType) {
    case 1:
        snprintf(out, cap, "SingleTarsel");
        break;
    case 2:
        snprintf(out, cap, "DoubleTarsel");
        break;
    case 3:
        snprintf(out, cap, "DoubleBrisca");
        break;
    default:
        snprintf(out, cap, "Unknown Encoder type: %d", encoderType);
        break;
    }
}

static const char *brake_suffix(uint8_t brakeType) {
    return brakeType == 16 ? "B16" : "B0";
}

static size_t append_key_chars(const char *s, char *out, size_t pos, size_t cap) {
    for (; *s != '\0' && pos + 1 < cap; ++s) {
        const unsigned char c = static_cast<unsigned char>(*s);
        if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z')) {
            out[pos++] = static_cast<char>(c);
        } else if (c >= 'A' && c <= 'Z') {
            out[pos++] = static_cast<char>(c - 'A' + 'a');
        }
    }
    return pos;
}

extern "C" void sim_mkfw_key(const sim_motor_config_t *m, char *out, size_t cap) {
    if (m == NULL || out == NULL || cap == 0) {
        return;
    }
    char enc[40];
    sim_mkfw_encoder_name(m->encoderType, enc, sizeof enc);
    size_t pos = append_key_chars(motor_model_for_type(m->motorType), out, 0, cap);
    pos = append_key_chars(enc, out, pos, cap);
    pos = append_key_chars(brake_suffix(m->brakeType), out, pos, cap);
    out[pos] = '\0';
}

extern "C" int sim_mkfw_match(const char *filename, const char *key) {
    if (filename == NULL || key == NULL) {
        return 0;
    }
    char stem[256];
    snprintf(stem, sizeof stem, "%s", filename);
    const size_t len = strlen(stem);
    if (len >= 4 && tolower(static_cast<unsigned char>(stem[len - 3])) == 'b' &&
        tolower(static_cast<unsigned char>(stem[len - 2])) == 'i' &&
        tolower(static_cast<unsigned char>(stem[len - 1])) == 'n' && stem[len - 4] == '.') {
        *strrchr(stem, '.') = '\0';
    }
    if (key[0] == '\0' || stem[0] == '\0') {
        return 0;
    }
    size_t k = 0;
    for (const char *p = stem; *p != '\0'; ++p) {
        if (*p == '_') {
            continue;
        }
        char c = *p;
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c == key[k]) {
            ++k;
            if (key[k] == '\0') {
                return 1;
            }
        }
    }
    return 0;
}

static bool part_has_zero(uint32_t part) {
    char buf[8];
    snprintf(buf, sizeof buf, "%u", static_cast<unsigned>(part));
    return strchr(buf, '0') != NULL;
}

extern "C" uint32_t sim_mkfw_next_version(uint32_t current, uint8_t brakeType) {
    // Add one to the last part, carrying into the parts before it.
    uint32_t parts[4] = {current >> 24, (current >> 16) & 0xFFu, (current >> 8) & 0xFFu, current & 0xFFu};
    int i = 3;
    while (i >= 0 && parts[i] == 255) {
        parts[i] = 0;
        --i;
    }
    if (i >= 0) {
        parts[i]++;
    }
    if (brakeType == 16) {
        // The smallest version above that has no digit 0 in any part (255 has
        // none, so no part ever needs to carry).
        for (int k = 0; k < 4; ++k) {
            if (part_has_zero(parts[k])) {
                while (part_has_zero(parts[k])) {
                    parts[k]++;
                }
                for (int j = k + 1; j < 4; ++j) {
                    parts[j] = 1;
                }
            }
        }
    }
    return (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
}

extern "C" void sim_mkfw_file_name(const sim_motor_config_t *m, uint32_t version, char *out, size_t cap) {
    if (m == NULL || out == NULL || cap == 0) {
        return;
    }
    char enc[40], encClean[40];
    sim_mkfw_encoder_name(m->encoderType, enc, sizeof enc);
    size_t n = 0;
    for (const char *p = enc; *p != '\0' && n + 1 < sizeof encClean; ++p) {
        if (isalnum(static_cast<unsigned char>(*p))) {
            encClean[n++] = *p;
        }
    }
    encClean[n] = '\0';
    snprintf(out, cap, "%s_%s_%s_V%u_%u_%u_%u.bin", motor_model_for_type(m->motorType), encClean,
             brake_suffix(m->brakeType), static_cast<unsigned>(version >> 24),
             static_cast<unsigned>((version >> 16) & 0xFFu), static_cast<unsigned>((version >> 8) & 0xFFu),
             static_cast<unsigned>(version & 0xFFu));
}

static void print_error(const char *fmt, const char *a, const char *b) {
    char line[2200];
    snprintf(line, sizeof line, fmt, a, b);
    ostrelo_log_text(OSTRELO_LOG_ERROR, line);
}

extern "C" int sim_mkfw_write_all(const char *dir, uint32_t bodySize, sim_mkfw_file_t *files, int cap) {
    if (dir == NULL || files == NULL || cap <= 0) {
        return -1;
    }
    const int count = sim_bench_motor_count();
    sim_motor_config_t motors[SIM_MAX_MOTORS];
    int nm = 0;
    for (int i = 0; i < count && nm < static_cast<int>(SIM_MAX_MOTORS); ++i) {
        if (sim_bench_motor_config(i, &motors[nm]) == 1) {
            ++nm;
        }
    }
    // One file per identity; motors sharing one get the newest version of them.
    int nf = 0;
    int fileOf[SIM_MAX_MOTORS];
    char keys[SIM_MAX_MOTORS][128];
    for (int i = 0; i < nm; ++i) {
        sim_mkfw_key(&motors[i], keys[i], sizeof keys[i]);
        fileOf[i] = -1;
        for (int j = 0; j < i; ++j) {
            if (strcmp(keys[i], keys[j]) == 0) {
                fileOf[i] = fileOf[j];
                break;
            }
        }
        if (fileOf[i] >= 0) {
            continue;
        }
        if (nf == cap) {
            print_error("[ERROR] ostrelo-mkfw: too many motor identities%s%s\n", "", "");
            return -1;
        }
        fileOf[i] = nf++;
    }
    uint32_t newest[SIM_MAX_MOTORS] = {0};
    int first[SIM_MAX_MOTORS];
    for (int f = 0; f < nf; ++f) {
        first[f] = -1;
    }
    for (int i = 0; i < nm; ++i) {
        const int f = fileOf[i];
        if (first[f] < 0 || motors[i].version > newest[f]) {
            newest[f] = motors[i].version;
        }
        if (first[f] < 0) {
            first[f] = i;
        }
    }
    const size_t total = static_cast<size_t>(bodySize) + SIM_TRAILER_LEN;
    uint8_t *buf = static_cast<uint8_t *>(malloc(total));
    if (buf == NULL) {
        print_error("[ERROR] ostrelo-mkfw: out of memory%s%s\n", "", "");
        return -1;
    }
    for (int f = 0; f < nf; ++f) {
        const sim_motor_config_t &m = motors[first[f]];
        sim_mkfw_file_t &out = files[f];
        out.version = sim_mkfw_next_version(newest[f], m.brakeType);
        sim_mkfw_file_name(&m, out.version, out.name, sizeof out.name);
        // Pattern body, different for every file.
        uint32_t x = 2166136261u;
        for (const char *p = out.name; *p != '\0'; ++p) {
            x = (x ^ static_cast<uint8_t>(*p)) * 16777619u;
        }
        for (uint32_t i = 0; i < bodySize; ++i) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            buf[i] = static_cast<uint8_t>(x);
        }
        sim_image_make_trailer(buf, bodySize, out.version, buf + bodySize);
        out.size = static_cast<uint32_t>(total);
        out.crc32 = sim_crc32(buf, total);
        char path[1024];
        snprintf(path, sizeof path, "%s/%s", dir, out.name);
        FILE *fp = fopen(path, "wb");
        const bool ok = fp != NULL && fwrite(buf, 1, total, fp) == total;
        const int err = errno;
        if (fp != NULL && fclose(fp) != 0) {
            print_error("[ERROR] ostrelo-mkfw: cannot write %s: %s\n", path, strerror(errno));
            free(buf);
            return -1;
        }
        if (!ok) {
            print_error("[ERROR] ostrelo-mkfw: cannot write %s: %s\n", path, strerror(err));
            free(buf);
            return -1;
        }
        char line[1200];
        snprintf(line, sizeof line, "wrote %s (%u bytes, version %u.%u.%u.%u, CRC-32 0x%08X)\n", path,
                 static_cast<unsigned>(total), static_cast<unsigned>(out.version >> 24),
                 static_cast<unsigned>((out.version >> 16) & 0xFFu),
                 static_cast<unsigned>((out.version >> 8) & 0xFFu),
                 static_cast<unsigned>(out.version & 0xFFu), static_cast<unsigned>(out.crc32));
        ostrelo_log_text(OSTRELO_LOG_INFO, line);
    }
    free(buf);
    // Each motor should pair with its own file only, whatever the listing order.
    for (int i = 0; i < nm; ++i) {
        for (int f = 0; f < nf; ++f) {
            if (f != fileOf[i] && sim_mkfw_match(files[f].name, keys[i])) {
                char line[512];
                snprintf(line, sizeof line,
                         "[WARNING] ostrelo-mkfw: node %u (adapter %u, channel %u) also pairs with %s\n",
                         static_cast<unsigned>(motors[i].node), static_cast<unsigned>(motors[i].adapter),
                         static_cast<unsigned>(motors[i].channel), files[f].name);
                ostrelo_log_text(OSTRELO_LOG_WARNING, line);
            }
        }
    }
    fflush(stdout);
    return nf;
}
