#include "UpgradeHistoryLog.h"

#include <QFile>
#include <QMutexLocker>

namespace {

ostrelo_history_place_t placeOf(client_channel_id_t channel, uint8_t node) {
    char serial[64];
    client_api_adapter_serial(channel, serial, sizeof(serial));
    ostrelo_history_place_t place;
    ostrelo_history_place_init(&place, channel, serial, node);
    return place;
}

} // namespace

UpgradeHistoryLog::~UpgradeHistoryLog() {
    for (const std::shared_ptr<ostrelo_history_entry_t> &e : std::as_const(open_)) {
        e->outcome = OSTRELO_HISTORY_OUTCOME_INTERRUPTED;
        ostrelo_history_finish(h_, e.get());
    }
    ostrelo_history_close(h_);
}

QString UpgradeHistoryLog::defaultPath() {
    char where[OSTRELO_HISTORY_PATH_MAX];
    if (ostrelo_history_default_path(where, sizeof(where)) != 0) {
        return QString();
    }
    return QFile::decodeName(where);
}

ostrelo_history_t *UpgradeHistoryLog::handle() {
    if (!tried_) {
        tried_ = true;
        const QByteArray path = QFile::encodeName(defaultPath());
        if (ostrelo_history_available() != 0 && !path.isEmpty()) {
            ostrelo_history_open(path.constData(), &h_);
        }
    }
    return h_;
}

qint64 UpgradeHistoryLog::begin(client_channel_id_t channel, uint8_t node,
                                const client_firmware_info_t *identity, quint32 versionBefore,
                                const QString &path, const QString &note) {
    const ostrelo_history_place_t place = placeOf(channel, node);
    auto e = std::make_shared<ostrelo_history_entry_t>();
    const QByteArray file = QFile::encodeName(path);
    const QByteArray text = note.toUtf8();
    ostrelo_history_entry_for(e.get(), &place, identity, versionBefore != 0 ? 1 : 0, versionBefore,
                              file.constData(), text.constData());
    QMutexLocker locker(&mutex_);
    ostrelo_history_t *h = handle();
    if (h == nullptr || ostrelo_history_begin(h, e.get()) != OSTRELO_HISTORY_OK) {
        return 0;
    }
    open_.insert(e->id, e);
    return e->id;
}

void UpgradeHistoryLog::end(qint64 id, const client_upgrade_result_t &result) {
    QMutexLocker locker(&mutex_);
    const std::shared_ptr<ostrelo_history_entry_t> e = open_.take(id);
    if (e == nullptr) {
        return;
    }
    ostrelo_history_entry_result(e.get(), &result);
    ostrelo_history_finish(h_, e.get());
}

int UpgradeHistoryLog::recover(client_channel_id_t channel, uint8_t node, uint32_t maxAgeDays,
                               ostrelo_history_recovery_t *out) {
    const ostrelo_history_place_t place = placeOf(channel, node);
    QMutexLocker locker(&mutex_);
    return ostrelo_history_recover(handle(), &place, maxAgeDays, out);
}

QString UpgradeHistoryLog::attemptsText(const client_upgrade_result_t &result) {
    auto e = std::make_unique<ostrelo_history_entry_t>(); // zeroed: no attempts yet
    ostrelo_history_add_result(e.get(), &result);
    char text[2048];
    ostrelo_history_attempts_text(e->attempts, qMin<uint32_t>(e->attempt_count, OSTRELO_HISTORY_MAX_ATTEMPTS),
                                  text, sizeof(text));
    return QString::fromUtf8(text);
}
