// One upgrade as both programs record it: the entry filled from the motor
// and the image, completed from the sequence's result, and the recovery of
// a motor that an earlier upgrade left in its bootloader.
#include "history_internal.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

template <size_t N> void copy_text(char (&dst)[N], const char *src) {
    history_copy(dst, N, src != nullptr ? src : "", src != nullptr ? strlen(src) : 0);
}

std::string hex32(uint32_t v) {
    char buf[16];
    snprintf(buf, sizeof(buf), "0x%08X", v);
    return buf;
}

} // namespace

extern "C" {

void ostrelo_history_transport(char *out, size_t size) {
    const char *v = getenv("OSTRELO_CAN");
    const char *t = v != nullptr && v[0] != '\0' ? v : "sim";
    history_copy(out, size, t, strlen(t));
}

void ostrelo_history_place_init(ostrelo_history_place_t *p, client_channel_id_t channel,
                                const char *adapter_serial, uint8_t node) {
    memset(p, 0, sizeof(*p));
    ostrelo_history_transport(p->transport, sizeof(p->transport));
    p->adapter = channel.deviceIndex;
    p->can_channel = channel.canChannel;
    p->node = node;
    copy_text(p->adapter_serial, adapter_serial);
}

int ostrelo_history_entry_for(ostrelo_history_entry_t *e, const ostrelo_history_place_t *place,
                              const client_firmware_info_t *identity, int have_version_before,
                              uint32_t version_before, const char *path, const char *note) {
    ostrelo_history_entry_init(e);
    e->place = *place;
    if (identity != nullptr) {
        e->identity_known = 1;
        e->identity = *identity;
    }
    e->have_version_before = have_version_before != 0;
    e->version_before = have_version_before != 0 ? version_before : 0;
    copy_text(e->note, note);
    if (ostrelo_history_describe_file(e, path) == 0) {
        return 0;
    }
    // An image that cannot be read is still named: the upgrade will say why
    // it failed, and the entry which file it was.
    copy_text(e->file_path, path);
    const char *name = path != nullptr ? path : "";
    for (const char *p = name; *p != '\0'; ++p) {
        name = *p == '/' || *p == '\\' ? p + 1 : name;
    }
    copy_text(e->file_name, name);
    return -1;
}

void ostrelo_history_entry_result(ostrelo_history_entry_t *e, const client_upgrade_result_t *r) {
    e->outcome = ostrelo_history_outcome_of(r->reason);
    e->have_version_after = r->haveVersion != 0;
    e->version_after = r->haveVersion != 0 ? r->version : 0;
    e->have_device_crc = r->haveDeviceCrc != 0;
    e->device_crc = r->haveDeviceCrc != 0 ? r->deviceCrc : 0;
    ostrelo_history_add_result(e, r);
}

void ostrelo_history_attempts_text(const ostrelo_history_attempt_t *attempts, uint32_t count, char *out,
                                   size_t size) {
    std::string text;
    for (uint32_t i = 0; attempts != nullptr && i < count; ++i) {
        const ostrelo_history_attempt_t &a = attempts[i];
        text += (i ? "; " : "") + std::to_string(a.attempt) + " " + a.step + ": " + a.reason;
        text += a.abort_code != 0 ? " (" + hex32(a.abort_code) + ")" : "";
    }
    history_copy(out, size, text.data(), text.size());
}

int ostrelo_history_recover(ostrelo_history_t *h, const ostrelo_history_place_t *place, uint32_t max_age_days,
                            ostrelo_history_recovery_t *out) {
    if (out == nullptr || place == nullptr) {
        return OSTRELO_HISTORY_BAD_ARGUMENT;
    }
    memset(out, 0, sizeof(*out));
    if (h == nullptr) {
        return OSTRELO_HISTORY_UNAVAILABLE;
    }
    const int rc = ostrelo_history_find_unfinished(h, place, max_age_days, &out->entry);
    if (rc == OSTRELO_HISTORY_NOT_FOUND) {
        return OSTRELO_RECOVERY_NONE;
    }
    if (rc != OSTRELO_HISTORY_OK) {
        return rc;
    }
    const ostrelo_history_entry_t &e = out->entry;
    char sha[65];
    uint64_t size = 0;
    const bool readable = ostrelo_sha256_file(e.file_path, sha, &size) == 0;
    if (readable && strcmp(sha, e.file_sha256) == 0) {
        out->state = OSTRELO_RECOVERY_READY;
        snprintf(out->note, sizeof(out->note), "resumed from history entry %" PRId64, e.id);
    } else {
        out->state = readable ? OSTRELO_RECOVERY_FILE_CHANGED : OSTRELO_RECOVERY_FILE_GONE;
        snprintf(out->note, sizeof(out->note), "history entry %" PRId64 " names %s (%s), which %s", e.id,
                 e.file_name, e.file_path, readable ? "has changed since (SHA-256)" : "is gone");
    }
    return out->state;
}

} // extern "C"
