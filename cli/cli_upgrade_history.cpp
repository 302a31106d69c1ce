// The upgrade history of an ostrelo-cli run: each motor's upgrade written as
// it starts and completed as it ends, and the recovery of a motor that an
// earlier upgrade left in its bootloader.
#include "cli.h"

#include <algorithm>

bool history_file(const Options &o, std::string *path) {
    if (!o.history.empty()) {
        *path = o.history;
        return true;
    }
    char where[OSTRELO_HISTORY_PATH_MAX];
    if (ostrelo_history_default_path(where, sizeof(where)) != 0) {
        return false;
    }
    *path = where;
    return true;
}

void note_adapter_serials(std::vector<Motor> *motors) {
    std::vector<std::pair<uint32_t, std::string>> known;
    for (Motor &m : *motors) {
        const auto it =
            std::find_if(known.begin(), known.end(), [&](const std::pair<uint32_t, std::string> &k) {
                return k.first == m.channelId.deviceIndex;
            });
        if (it != known.end()) {
            m.adapterSerial = it->second;
            continue;
        }
        char serial[64];
        client_api_adapter_serial(m.channelId, serial, sizeof(serial));
        m.adapterSerial = serial;
        known.emplace_back(m.channelId.deviceIndex, serial);
    }
}

UpgradeHistory::~UpgradeHistory() {
    ostrelo_history_close(h_);
}

void UpgradeHistory::open(const Options &o, bool readOnly) {
    if (o.noHistory) {
        return;
    }
    if (!ostrelo_history_available()) {
        // The Windows build: a history named on purpose is worth a word.
        if (!o.history.empty()) {
            err_line("ostrelo-cli: this build keeps no upgrade history (it was made without SQLite); the "
                     "upgrades are not recorded");
        }
        return;
    }
    std::string path;
    if (!history_file(o, &path)) {
        err_line(
            "ostrelo-cli: no place for the upgrade history (set OSTRELO_HISTORY or HOME, or name it with "
            "--history); the upgrades are not recorded");
        return;
    }
    // A dry run writes nothing: it only looks for motors to resume. A
    // history that cannot be written says so in one line and stays closed.
    if (readOnly || o.dryRun) {
        ostrelo_history_open_read(path.c_str(), &h_);
    } else {
        ostrelo_history_open(path.c_str(), &h_);
    }
}

void UpgradeHistory::recover(Motor *m, unsigned days) {
    if (h_ == nullptr || days == 0 || !m->inBootloader || m->outcome != Outcome::Pending) {
        return;
    }
    const LogScope scope(motor_label(*m));
    ostrelo_history_place_t place;
    ostrelo_history_place_init(&place, m->channelId, m->adapterSerial.c_str(), m->node);
    std::unique_ptr<ostrelo_history_recovery_t> r(new ostrelo_history_recovery_t);
    const int state = ostrelo_history_recover(h_, &place, days, r.get());
    if (state == OSTRELO_RECOVERY_NONE || state < 0) {
        return;
    }
    m->note = r->note;
    if (state != OSTRELO_RECOVERY_READY) {
        return; // stays without a file; the note names the history's
    }
    const ostrelo_history_entry_t &e = r->entry;
    if (e.identity_known != 0) {
        m->info = e.identity;
        m->info.softwareVersion = 0; // what it runs is not known: it is in its bootloader
        m->identityFromHistory = true;
    }
    m->resumedFrom = e.id;
    pair_file(m, e.file_name, e.file_path, Match::History);
}

void UpgradeHistory::begin(Motor *m) {
    if (h_ == nullptr) {
        return;
    }
    std::unique_ptr<ostrelo_history_entry_t> e(new ostrelo_history_entry_t);
    ostrelo_history_place_t place;
    ostrelo_history_place_init(&place, m->channelId, m->adapterSerial.c_str(), m->node);
    ostrelo_history_entry_for(e.get(), &place, identity_known(*m) ? &m->info : nullptr,
                              m->inBootloader ? 0 : 1, m->info.softwareVersion, m->path.c_str(),
                              m->note.c_str());
    std::lock_guard<std::mutex> lock(mutex_);
    if (ostrelo_history_begin(h_, e.get()) == OSTRELO_HISTORY_OK) {
        m->historyEntry = e->id;
        open_.push_back(std::move(e));
    }
}

void UpgradeHistory::end(Motor *m, const client_upgrade_result_t &r) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it =
        std::find_if(open_.begin(), open_.end(), [&](const std::unique_ptr<ostrelo_history_entry_t> &e) {
            return e->id == m->historyEntry;
        });
    if (m->historyEntry == 0 || it == open_.end()) {
        return;
    }
    ostrelo_history_entry_t *e = it->get();
    ostrelo_history_entry_result(e, &r);
    // Stopped by a signal although the step failed for its own reason: the
    // record and the history say the same.
    if (m->outcome == Outcome::Interrupted) {
        e->outcome = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;
    }
    ostrelo_history_finish(h_, e);
    open_.erase(it);
}

void UpgradeHistory::interrupt_open(const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const std::unique_ptr<ostrelo_history_entry_t> &e : open_) {
        e->outcome = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;
        const std::string note = e->note[0] != '\0' ? std::string(e->note) + "; " + why : why;
        snprintf(e->note, sizeof(e->note), "%s", note.c_str());
        ostrelo_history_finish(h_, e.get());
    }
    open_.clear();
}
