// ostrelo-cli history: the upgrades recorded on this station, newest first,
// as a table, CSV or JSON.
#include "cli.h"

#include "ostrelo_history.h"

namespace {

std::vector<Field> entry_fields(const ostrelo_history_entry_t &e) {
    const bool known = e.identity_known != 0;
    const client_firmware_info_t &id = e.identity;
    const ostrelo_history_place_t &p = e.place;
    std::vector<Field> f = {
        num_field("id", static_cast<uint64_t>(e.id)),
        str_field("started", e.started_at),
        opt_str("ended", e.ended_at[0] != '\0', e.ended_at),
        str_field("station", e.station),
        str_field("user", e.user),
        str_field("transport", p.transport),
        num_field("adapter", p.adapter),
        str_field("adapter_serial", p.adapter_serial),
        str_field("channel", std::to_string(p.adapter) + "." + std::to_string(p.can_channel)),
        num_field("can_channel", p.can_channel),
        num_field("node", p.node),
        opt_num("motor_type", known, id.motorType),
        opt_str("model", known, id.firmwareModel),
        opt_num("brake_code", known, id.brakeType),
        opt_str("brake", known, id.brakeSuffix),
        opt_num("encoder_code", known, id.encoderType),
        opt_str("encoder", known, id.encoderName),
        opt_str("key", known, id.filenameKey),
        opt_str("version_before", e.have_version_before != 0, version_text(e.version_before)),
        opt_str("version_after", e.have_version_after != 0, version_text(e.version_after))};
    for (const Field &x : name_fields("file", "file_hex", true, e.file_name)) {
        f.push_back(x);
    }
    for (const Field &x : name_fields("path", "path_hex", true, e.file_path)) {
        f.push_back(x);
    }
    const std::vector<Field> rest = {
        num_field("file_size", e.file_size),
        opt_str("file_sha256", e.file_sha256[0] != '\0', e.file_sha256),
        opt_str("file_crc", e.have_file_crc != 0, hex32(e.file_crc)),
        opt_str("device_crc", e.have_device_crc != 0, hex32(e.device_crc)),
        str_field("outcome", ostrelo_history_outcome_text(e.outcome)),
        num_field("attempt_count", e.attempt_count),
        attempts_field("attempts", e.attempts,
                       std::min<uint32_t>(e.attempt_count, OSTRELO_HISTORY_MAX_ATTEMPTS)),
        str_field("note", e.note)};
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

struct Listing {
    std::vector<std::vector<std::string>> table;
    std::string csv;
    std::string json;
    size_t count = 0;
    bool wantJson = false;
    bool wantCsv = false;
};

int visit(const ostrelo_history_entry_t *e, void *user) {
    Listing *l = static_cast<Listing *>(user);
    if (l->wantJson) {
        l->json += std::string(l->count ? "," : "") + "\n{" + json_members(entry_fields(*e)) + "}";
    } else if (l->wantCsv) {
        l->csv += csv_line(entry_fields(*e));
    } else {
        l->table.push_back({std::to_string(e->id), e->started_at,
                            std::to_string(e->place.adapter) + "." + std::to_string(e->place.can_channel),
                            std::to_string(e->place.node),
                            e->identity_known ? e->identity.firmwareModel : "?",
                            e->have_version_before ? version_text(e->version_before) : "?",
                            e->have_version_after ? version_text(e->version_after) : "-", e->file_name,
                            ostrelo_history_outcome_text(e->outcome), std::to_string(e->attempt_count)});
    }
    ++l->count;
    return 0;
}

} // namespace

int cmd_history(const Options &o) {
    const std::string prefix = "ostrelo-cli history: ";
    if (!ostrelo_history_available()) {
        err_line(prefix + "this build keeps no upgrade history (it was made without SQLite)");
        return kExitUsage;
    }
    std::string path;
    if (!history_file(o, &path)) {
        err_line(prefix + "no place for the history: set OSTRELO_HISTORY or HOME, or name it with --history");
        return kExitUsage;
    }
    ostrelo_history_filter_t filter;
    ostrelo_history_filter_init(&filter);
    if (!o.since.empty()) {
        ostrelo_history_filter_set_since(&filter, o.since.c_str());
    }
    if (o.haveChannel) {
        filter.adapter = static_cast<int>(o.channel.adapter);
        filter.can_channel = static_cast<int>(o.channel.channel);
    }
    filter.node = o.node;
    ostrelo_history_outcome_t outcome;
    if (!o.outcome.empty() && ostrelo_history_outcome_parse(o.outcome.c_str(), &outcome) == 0) {
        filter.outcome = outcome;
    }

    Listing l;
    l.wantJson = o.json;
    l.wantCsv = o.csv && !o.json;
    ostrelo_history_t *h = nullptr;
    int rc = ostrelo_history_open_read(path.c_str(), &h);
    if (rc == OSTRELO_HISTORY_OK) {
        rc = ostrelo_history_list(h, &filter, visit, &l);
        ostrelo_history_close(h);
    }
    const bool none = rc == OSTRELO_HISTORY_NOT_FOUND; // no file yet: nothing recorded
    if (rc < 0 && !none) {
        err_line(prefix + "cannot read the history " + path + ": " + ostrelo_history_result_text(rc));
        return kExitUsage;
    }
    if (l.wantJson) {
        out_write("{\"history\":" + json_string(path) + ",\"entries\":[" + l.json + "]}\n");
    } else if (l.wantCsv) {
        ostrelo_history_entry_t blank;
        ostrelo_history_entry_init(&blank);
        out_write(csv_header(entry_fields(blank)) + l.csv);
    } else {
        std::string text;
        if (!l.table.empty()) {
            l.table.insert(l.table.begin(), {"ID", "STARTED (UTC)", "CHANNEL", "NODE", "MODEL", "OLD", "NEW",
                                             "FILE", "OUTCOME", "ATTEMPTS"});
            text = format_table(l.table);
        }
        text += none ? "no history yet at " + path + "\n"
                     : std::to_string(l.count) + " upgrade(s) in " + path + "\n";
        out_write(text);
    }
    return kExitOk;
}
