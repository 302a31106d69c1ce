// The recovery of motors an earlier upgrade left in their bootloader: the
// scan finds them silent to the identity queries but answering as a
// bootloader, and the upgrade history names what they were and which file
// they were getting.
#include <QFile>
#include <QMutexLocker>

#include <memory>

#include "CANopenWrapper.h"
#include "UpgradeHistoryLog.h"

void CANopenWrapper::recoverFromHistory() {
    m_recovered.clear();
    QList<QPair<CO_CANdeviceConfig_t, unsigned int>> hits;
    {
        QMutexLocker locker(&g_discovered_motors_mutex);
        hits = m_bootloaderHits;
    }
    const uint32_t days =
        setting(QStringLiteral("history/recoveryDays"), OSTRELO_HISTORY_RECOVERY_DAYS).toUInt();
    for (const auto &hit : std::as_const(hits)) {
        const unsigned int node = hit.second;
        if (node == 0 || node >= CLIENT_MOTOR_TABLE_SIZE || days == 0) {
            continue;
        }
        {
            // The node id is listed already (an application answered it on another channel).
            QMutexLocker locker(&g_discovered_motors_mutex);
            if (g_discovered_motors[node].discovered != 0) {
                continue;
            }
        }
        auto r = std::make_unique<ostrelo_history_recovery_t>();
        const int state = m_history->recover(hit.first, static_cast<uint8_t>(node), days, r.get());
        if (state <= OSTRELO_RECOVERY_NONE) {
            continue;
        }
        client_discovered_motor_t entry{};
        entry.discovered = 1;
        entry.nodeId = static_cast<uint8_t>(node);
        entry.channelId = hit.first;
        if (r->entry.identity_known != 0) {
            entry.info = r->entry.identity;
        }
        entry.info.softwareVersion = 0; // in its bootloader: what it runs is not known
        {
            QMutexLocker locker(&g_discovered_motors_mutex);
            g_discovered_motors[node] = entry;
            ++g_discovered_motor_count;
        }
        m_recovered.insert(
            node, {state == OSTRELO_RECOVERY_READY ? QFile::decodeName(r->entry.file_path) : QString(),
                   QString::fromUtf8(r->note)});
    }
}

void CANopenWrapper::markRecoveredRows() {
    for (auto it = m_recovered.constBegin(); it != m_recovered.constEnd(); ++it) {
        const unsigned int node = it.key();
        m_motorListModel->setMotorStatus(node, Bootloader);
        if (!it->file.isEmpty()) {
            m_motorListModel->setMatchedFile(node, it->file, MotorListModel::MatchExact);
        }
        m_motorListModel->setHistoryNote(node, it->note);
        emit motorStatusChanged(node, it->note);
    }
}
