// The window's side of the upgrade history: each upgrade written as it is
// begun on its worker and completed as it ends, through one handle opened
// on first use. A history that cannot be opened is said once (the library's
// "[WARNING] history: ..." line) and the upgrades go on without it.
#ifndef UPGRADEHISTORYLOG_H
#define UPGRADEHISTORYLOG_H

#include <QHash>
#include <QMutex>
#include <QString>

#include <memory>

#include "client_api.h"
#include "ostrelo_history.h"

class UpgradeHistoryLog {
  public:
    UpgradeHistoryLog() = default;
    ~UpgradeHistoryLog();
    UpgradeHistoryLog(const UpgradeHistoryLog &) = delete;
    UpgradeHistoryLog &operator=(const UpgradeHistoryLog &) = delete;

    // The history file this process writes ($OSTRELO_HISTORY, else the
    // data folder's); empty when there is no place for one.
    static QString defaultPath();

    // Records the start of the upgrade of `node` on `channel` with the image
    // at `path` (`identity` NULL: found only in its bootloader). The entry's
    // id, or 0 when nothing was recorded. Any thread.
    qint64 begin(client_channel_id_t channel, uint8_t node, const client_firmware_info_t *identity,
                 quint32 versionBefore, const QString &path, const QString &note);
    // Completes entry `id` from how the run ended. Any thread.
    void end(qint64 id, const client_upgrade_result_t &result);
    // What the history knows of a motor found in its bootloader, identity
    // unknown, at `node` on `channel` (see ostrelo_history_recover): the
    // state, or a negative result when there is no history to read.
    int recover(client_channel_id_t channel, uint8_t node, uint32_t maxAgeDays,
                ostrelo_history_recovery_t *out);

    // Every attempt of a run in one line: "1 transfer: ... (0x05040000); 2
    // done: ok", for the record export.
    static QString attemptsText(const client_upgrade_result_t &result);

  private:
    // Opens the handle on first use (mutex_ held); null when there is none.
    ostrelo_history_t *handle();

    QMutex mutex_;
    ostrelo_history_t *h_ = nullptr;
    bool tried_ = false;
    // Entries begun and not yet completed; those left at the end (the window
    // closed amid a transfer) are completed as interrupted.
    QHash<qint64, std::shared_ptr<ostrelo_history_entry_t>> open_;
};

#endif
