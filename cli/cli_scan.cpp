// The channels, scan and match commands of ostrelo-cli, and the table and
// JSON pieces they share with the upgrade.
#include "cli.h"

#include <algorithm>

std::string format_table(const std::vector<std::vector<std::string>> &rows) {
    std::vector<size_t> width;
    for (const auto &row : rows) {
        for (size_t i = 0; i < row.size(); ++i) {
            if (width.size() <= i) {
                width.push_back(0);
            }
            width[i] = std::max(width[i], row[i].size());
        }
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(width[i] - row[i].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    return out;
}

std::string channels_json(const std::vector<client_channel_id_t> &channels) {
    std::string out = "[";
    for (size_t i = 0; i < channels.size(); ++i) {
        out += (i ? "," : "") + json_string(channel_text(channels[i]));
    }
    return out + "]";
}

int cmd_channels(const Options &o) {
    const std::vector<ChannelInfo> list = probe_channels(o.bitrate);
    const bool simulated = std::any_of(list.begin(), list.end(), [](const ChannelInfo &c) {
        return c.hwType.find("(simulated)") != std::string::npos;
    });
    if (!say_if_simulated(o, simulated)) {
        return kExitUsage;
    }
    std::string out;
    if (o.json) {
        out = "{\"transport\":" + json_string(transport_text()) +
              ",\"bitrate\":" + std::to_string(o.bitrate) + ",\"channels\":[";
        for (size_t i = 0; i < list.size(); ++i) {
            const ChannelInfo &c = list[i];
            out += std::string(i ? "," : "") + "\n{\"channel\":" +
                   json_string(std::to_string(c.ref.adapter) + "." + std::to_string(c.ref.channel)) +
                   ",\"adapter\":" + std::to_string(c.ref.adapter) +
                   ",\"can_channel\":" + std::to_string(c.ref.channel) +
                   ",\"state\":" + json_string(c.up ? "up" : "down") +
                   ",\"hardware\":" + json_string(c.hwType) + ",\"serial\":" + json_string(c.serial) + "}";
        }
        out += "]}\n";
    } else if (!list.empty()) {
        std::vector<std::vector<std::string>> rows = {{"CHANNEL", "STATE", "ADAPTER", "SERIAL"}};
        for (const ChannelInfo &c : list) {
            rows.push_back({std::to_string(c.ref.adapter) + "." + std::to_string(c.ref.channel),
                            c.up ? "up" : "down", c.hwType, c.serial});
        }
        out = format_table(rows);
    }
    out_write(out);
    if (list.empty()) {
        err_line("ostrelo-cli: the transport offers no adapter (transport " + transport_text() + ")");
        return kExitUsage;
    }
    return kExitOk;
}

int cmd_scan(const Options &o) {
    const bool match = o.command == "match";
    std::vector<FolderFile> files;
    if (match && !list_folder(o.folder, &files)) {
        return kExitUsage;
    }
    std::vector<client_channel_id_t> channels;
    if (!bring_up_channels(o, &channels)) {
        release_channels();
        return kExitUsage;
    }
    std::vector<Motor> motors = scan_channels(channels, o.nodes, match || o.bootloader);
    if (match) {
        // What the upgrade would do: a motor it would resume shows so.
        note_adapter_serials(&motors);
        UpgradeHistory history;
        history.open(o, true);
        for (Motor &m : motors) {
            history.recover(&m, o.recoveryDays);
        }
    }
    release_channels();
    if (match) {
        match_files(files, o.looseMatch, &motors);
        for (Motor &m : motors) {
            if (m.outcome == Outcome::Pending && m.file.empty()) {
                m.outcome = Outcome::NoFile;
            }
        }
    }
    const std::vector<Motor> missing = missing_motors(o, motors);
    std::string out;
    if (o.json) {
        out = "{\"transport\":" + json_string(transport_text()) +
              ",\"bitrate\":" + std::to_string(o.bitrate) + ",\"channels\":" + channels_json(channels);
        if (match) {
            out += ",\"folder\":" + json_string(o.folder);
        }
        out += ",\"motors\":[";
        for (size_t i = 0; i < motors.size(); ++i) {
            out += std::string(i ? "," : "") + "\n{" + motor_identity_json(motors[i]);
            if (match) {
                out += "," + motor_file_json(motors[i]) + ",\"error\":" + json_string(motors[i].error);
            }
            out += "}";
        }
        out += "],\"missing\":[";
        for (size_t i = 0; i < missing.size(); ++i) {
            out += std::string(i ? "," : "") + "\n{" + motor_identity_json(missing[i]) + "}";
        }
        out += "]}\n";
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"CHANNEL", "NODE", "MODEL", "BRAKE", "ENCODER", "VERSION", "KEY"}};
        if (match) {
            rows[0].push_back("FILE");
        }
        for (const Motor &m : motors) {
            if (!identity_known(m)) {
                rows.push_back({channel_text(m.channelId), std::to_string(m.node), "-", "-", "-", "-",
                                "in its bootloader, identity unknown"});
            } else {
                rows.push_back({channel_text(m.channelId), std::to_string(m.node), m.info.firmwareModel,
                                m.info.brakeSuffix, m.info.encoderName,
                                m.inBootloader ? "-" : version_text(m.info.softwareVersion),
                                m.info.filenameKey});
            }
            if (match) {
                const std::string how = m.match == Match::Loose     ? " (loose)"
                                        : m.match == Match::History ? " (" + m.note + ")"
                                                                    : "";
                rows.back().push_back(m.file.empty() ? (m.error.empty() ? "no file" : m.error)
                                                     : m.file + how);
            }
        }
        out = format_table(rows);
        out += std::to_string(motors.size()) + " motor(s) on " + std::to_string(channels.size()) +
               " channel(s)\n";
        for (const Motor &m : missing) {
            out += "missing: " +
                   (m.anyChannel ? std::string("node ") + std::to_string(m.node) : motor_label(m)) + "\n";
        }
    }
    out_write(out);
    std::vector<Motor> all = motors;
    all.insert(all.end(), missing.begin(), missing.end());
    int rc = account_for_motors(o, all, match ? static_cast<long>(files.size()) : -1L, channels);
    for (const Motor &m : motors) {
        rc = m.outcome == Outcome::Refused ? kExitFailed : rc;
    }
    return interrupted() ? kExitFailed : rc;
}
