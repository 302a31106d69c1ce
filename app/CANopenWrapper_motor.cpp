// Per-motor operations: a main-thread half that checks, marks and queues,
// and a worker half that talks to the motor on its channel's worker.
//
// The main-thread half reads the motor's channel from the model and hands it
// to the task by value; the worker half (doUpgradeMotor, bootCommandOnChannel,
// doRefreshMotorStatus) never reads the model, which belongs to the main
// thread.
#include "CANopenWrapper.h"

#include <QFileInfo>
#include <QMutexLocker>

#include "CANopenWrapper_p.h"
#include "ThreadPool.h"
#include "UpgradeHistoryLog.h"
#include "app_log_category.h"
#include "client_api.h"
#include "motor_protocol.h"

namespace {

struct UpgradeProgressContext {
    CANopenWrapper *controller;
    quint32 key;   // the motor's row
    QString label; // how status lines name it
    qint64 fileSize;
    const client_upgrade_result_t *result; // the sequence's, filled as it goes
    bool askedForPowerCycle;               // the hold after an unanswered handshake said so once
};

// The window's per-byte progress: the bytes handed to the node so far and
// the image's size, for one node. Everything the row shows of a running
// transfer comes through here.
void transfer_progress_callback(size_t transferred, size_t total, void *userData) {
    auto *ctx = static_cast<UpgradeProgressContext *>(userData);
    if (ctx == nullptr || ctx->controller == nullptr) {
        return;
    }
    // Coalesced on its way to the row (ProgressCoalescer): a transfer reports
    // far more often than a window can show.
    ctx->controller->postTransferProgress(ctx->key, transferred, total);
}

QString hex8(quint32 value) {
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}

// The bootloader entry by handshake, telling only whether the bootloader
// answers afterwards.
client_upgrade_reason_t enter_bootloader(client_channel_id_t channel, uint8_t node, uint32_t timeoutMs,
                                         uint32_t retryCount, uint32_t retryDelayMs) {
    return client_api_enter_bootloader(channel, node, timeoutMs, retryCount, retryDelayMs) == 0
               ? CLIENT_UPGRADE_OK
               : CLIENT_UPGRADE_NO_HANDSHAKE;
}

// The start of the application: the command, then the application's answer.
// A motor counts as out of its bootloader only once its application answered.
client_upgrade_reason_t start_application(client_channel_id_t channel, uint8_t node, uint32_t timeoutMs,
                                          uint32_t retryCount, uint32_t retryDelayMs) {
    return client_api_start_application(channel, node, timeoutMs, retryCount, retryDelayMs,
                                        qMax<uint32_t>(timeoutMs, CLIENT_UPGRADE_CONFIRM_WINDOW_MS), nullptr);
}

// How long a status probe gives the motor to answer, on either side.
const uint32_t kRefreshLocateMs = 500;

bool isFile(const QString &path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

} // namespace

// ---- upgrade ---------------------------------------------------------------

bool CANopenWrapper::queueUpgrade(const CO_CANdeviceConfig_t &channel, unsigned int key,
                                  const QString &filePath, client_entry_t entry) {
    MotorListModel *model = modelFor(key);
    const MotorData *m = model->getMotorData(key);
    if (m == nullptr) {
        return false;
    }
    const unsigned int nodeId = m->nodeId;
    const QString label = motorLabel(key);
    const QString versionBefore = m->version;
    const UpgradeOrigin origin = upgradeOrigin(key);
    const bool queued = submitForChannel(
        channel,
        [this, channel, key, nodeId, label, filePath, entry, origin]() {
            doUpgradeMotor(channel, key, nodeId, label, filePath, entry, origin);
        },
        static_cast<int>(key), true);
    if (queued) {
        m_upgradeStart.insert(key, {versionBefore, filePath});
        reportProgress(key, 0, tr("排队中"));
    }
    return queued;
}

CANopenWrapper::UpgradeOrigin CANopenWrapper::upgradeOrigin(unsigned int key) const {
    UpgradeOrigin o;
    if (!isListedKey(key)) {
        // A motor sharing its node id with a listed one: its own scan answer names it.
        const MotorData *m = m_unlistedModel->getMotorData(key);
        const int index = static_cast<int>(m_unlistedKeys.indexOf(key));
        o.versionBefore = m != nullptr ? m->softwareVersion : 0;
        if (index >= 0 && index < m_unlisted.size() && m_unlisted.at(index).entry.discovered != 0) {
            o.identityKnown = true;
            o.identity = m_unlisted.at(index).entry.info;
        }
        return o;
    }
    const unsigned int nodeId = key;
    const MotorData *m = m_motorListModel->getMotorData(nodeId);
    o.versionBefore = m != nullptr ? m->softwareVersion : 0;
    // Its own file from the history: the entry says where it was resumed from.
    const auto recovered = m_recovered.constFind(nodeId);
    if (m != nullptr && recovered != m_recovered.constEnd() && !recovered->file.isEmpty() &&
        m->binFilePath == recovered->file) {
        o.note = recovered->note;
    }
    if (nodeId < CLIENT_MOTOR_TABLE_SIZE) {
        QMutexLocker locker(&g_discovered_motors_mutex);
        const client_discovered_motor_t &d = g_discovered_motors[nodeId];
        // A motor recovered from an entry that did not know it either has none.
        const bool unnamed =
            recovered != m_recovered.constEnd() && m != nullptr && m->firmwareModel.isEmpty();
        if (d.discovered != 0 && d.nodeId == nodeId && !unnamed) {
            o.identityKnown = true;
            o.identity = d.info;
        }
    }
    return o;
}

bool CANopenWrapper::upgradeMotor(unsigned int nodeId, const QString &filePath,
                                  unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs,
                                  unsigned int exitTimeoutMs) {
    if (refusePending(nodeId)) {
        return false;
    }
    if (m_motorListModel->getMotorStatus(nodeId) != Bootloader) {
        updateStatus(tr("节点 %1 不在Bootloader模式，无法升级").arg(nodeId));
        return false;
    }
    if (!isFile(filePath)) {
        updateStatus(tr("文件不存在: %1").arg(filePath));
        return false;
    }
    CO_CANdeviceConfig_t channel;
    if (!getChannelInfoFromModel(nodeId, channel)) {
        updateStatus(tr("未找到节点 %1 的通道信息").arg(nodeId));
        return false;
    }
    if (!ensureThreadPool()) {
        return false;
    }
    // The time arguments are kept for their callers: the sequence runs the
    // figures the terminal program runs (see doUpgradeMotor).
    Q_UNUSED(transferTimeoutMs);
    Q_UNUSED(verifyTimeoutMs);
    Q_UNUSED(exitTimeoutMs);
    return queueUpgrade(channel, nodeId, filePath, CLIENT_ENTRY_IN_BOOTLOADER);
}

int CANopenWrapper::upgradeAllMatched(unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs,
                                      unsigned int exitTimeoutMs) {
    return upgradeAll(transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs, {});
}

int CANopenWrapper::upgradeAllMatchedExcept(const QVariantList &leftOut, unsigned int transferTimeoutMs,
                                            unsigned int verifyTimeoutMs, unsigned int exitTimeoutMs) {
    QSet<unsigned int> nodes;
    for (const QVariant &v : leftOut) {
        nodes.insert(v.toUInt());
    }
    return upgradeAll(transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs, nodes);
}

bool CANopenWrapper::inBulkUpgrade(unsigned int nodeId, const QString &path) const {
    return m_motorListModel->getMotorStatus(nodeId) == Bootloader && MotorListModel::hasFile(path);
}

QVariantList CANopenWrapper::upgradeAllReview() const {
    QVariantList out;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const QModelIndex idx = m_motorListModel->index(row, 0);
        const unsigned int nodeId = m_motorListModel->data(idx, MotorListModel::NodeIdRole).toUInt();
        const QString path = m_motorListModel->data(idx, MotorListModel::BinFilePathRole).toString();
        if (!inBulkUpgrade(nodeId, path) || isOperationPending(nodeId)) {
            continue;
        }
        const int kind = m_motorListModel->data(idx, MotorListModel::MatchKindRole).toInt();
        const bool loose = kind == MotorListModel::MatchLoose || kind == MotorListModel::MatchSeveralExact;
        const bool downgrade = m_motorListModel->data(idx, MotorListModel::VersionCheckRole).toInt() ==
                               MotorListModel::FileOlder;
        if (loose || downgrade) {
            out.append(QVariantMap{
                {QStringLiteral("nodeId"), nodeId},
                {QStringLiteral("version"), m_motorListModel->data(idx, MotorListModel::VersionRole)},
                {QStringLiteral("fileVersion"), m_motorListModel->data(idx, MotorListModel::FileVersionRole)},
                {QStringLiteral("file"), QFileInfo(path).fileName()},
                {QStringLiteral("loose"), loose},
                {QStringLiteral("downgrade"), downgrade}});
        }
    }
    return out;
}

int CANopenWrapper::upgradeAll(unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs,
                               unsigned int exitTimeoutMs, const QSet<unsigned int> &leftOut) {
    if (m_motorListModel == nullptr || m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return 0;
    }
    if (!ensureThreadPool()) {
        return 0;
    }
    Q_UNUSED(transferTimeoutMs);
    Q_UNUSED(verifyTimeoutMs);
    Q_UNUSED(exitTimeoutMs);
    clearUpgradeSummary();
    int count = 0;
    int skipped = 0;
    int notIncluded = 0;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const QModelIndex idx = m_motorListModel->index(row, 0);
        const unsigned int nodeId = m_motorListModel->data(idx, MotorListModel::NodeIdRole).toUInt();
        const QString path = m_motorListModel->data(idx, MotorListModel::BinFilePathRole).toString();
        if (!inBulkUpgrade(nodeId, path)) {
            continue;
        }
        // Its upgrade is queued or running already: a second one would
        // start a download against the new application and fail.
        if (isOperationPending(nodeId)) {
            ++skipped;
            continue;
        }
        if (leftOut.contains(nodeId)) {
            ++notIncluded;
            continue;
        }
        CO_CANdeviceConfig_t channel;
        if (!getChannelInfoFromModel(nodeId, channel)) {
            continue;
        }
        if (!isFile(path)) {
            updateStatus(tr("节点 %1 的固件文件不存在: %2").arg(nodeId).arg(path));
            continue;
        }
        if (!queueUpgrade(channel, nodeId, path, CLIENT_ENTRY_IN_BOOTLOADER)) {
            continue;
        }
        m_bulkUpgradeLeft.insert(nodeId);
        m_upgradeResults.remove(nodeId);
        ++count;
    }
    updateStatus(tr("已提交 %1 个升级任务到线程池").arg(count) + skippedSuffix(skipped) +
                 (notIncluded > 0 ? tr("（按确认未包括 %1 个电机）").arg(notIncluded) : QString()) +
                 (count == 0 && skipped == 0 && notIncluded == 0 ? upgradeAllHint() : QString()));
    return count;
}

// Why "upgrade all" found nothing to do, when the rows can tell.
QString CANopenWrapper::upgradeAllHint() const {
    int withFile = 0;
    int notInBootloader = 0;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const QModelIndex idx = m_motorListModel->index(row, 0);
        const QString path = m_motorListModel->data(idx, MotorListModel::BinFilePathRole).toString();
        if (!MotorListModel::hasFile(path)) {
            continue;
        }
        ++withFile;
        const unsigned int nodeId = m_motorListModel->data(idx, MotorListModel::NodeIdRole).toUInt();
        if (m_motorListModel->getMotorStatus(nodeId) != Bootloader) {
            ++notInBootloader;
        }
    }
    if (withFile == 0) {
        return tr("（没有电机配有固件文件：请先选择固件文件夹并点击“匹配.bin文件”）");
    }
    if (notInBootloader > 0) {
        return tr("（%1 个配有固件文件的电机不在Bootloader模式：请先点击“进入Bootloader”）")
            .arg(notInBootloader);
    }
    return QString();
}

void CANopenWrapper::emitUpgradeProgressPercent(unsigned int nodeId, int percent, quint64 transferred,
                                                quint64 total) {
    emit upgradeProgressPercent(nodeId, percent, transferText(transferred, total, percent));
}

QString CANopenWrapper::transferText(quint64 transferred, quint64 total, int percent) {
    return tr("传输中: %1/%2 字节 (%3%)").arg(transferred).arg(total).arg(percent);
}

// The end of an upgrade that did not succeed: the status line, then, in
// order on the main thread, the row's state (a motor that went through the
// entry stays in its bootloader), bar text, state text and the end report.
bool CANopenWrapper::failUpgrade(unsigned int key, bool inBootloader, const QString &status,
                                 const QString &barText, const QString &rowText, const QString &lastError,
                                 OperationResult result) {
    updateStatus(status);
    runOnMainThread([this, key, inBootloader, barText, rowText, lastError, result]() {
        MotorListModel *model = modelFor(key);
        if (inBootloader && model->getMotorStatus(key) != Bootloader) {
            model->setMotorStatus(key, Bootloader);
        }
        reportProgress(key, 0, barText);
        model->setLastResult(key, result);
        model->setLastError(key, lastError);
        reportRowText(key, rowText);
        reportCompleted(key, false);
    });
    return false;
}

bool CANopenWrapper::doUpgradeMotor(CO_CANdeviceConfig_t channel, unsigned int key, unsigned int nodeId,
                                    const QString &label, const QString &filePath, client_entry_t entry,
                                    const UpgradeOrigin &origin) {
    ostrelo::ChannelUse channelUse(channel);
    const uint8_t node = static_cast<uint8_t>(nodeId);

    if (!isFile(filePath)) {
        updateStatus(tr("文件不存在: %1").arg(filePath));
        runOnMainThread([this, key]() { reportCompleted(key, false); });
        return false;
    }
    const qint64 fileSize = QFileInfo(filePath).size();
    const QByteArray path = filePath.toUtf8();
    client_api_drain_channel(channel, 1);

    runOnMainThread([this, key, fileSize]() {
        reportProgress(key, 0, tr("准备传输文件: %1 字节").arg(fileSize));
        modelFor(key)->setLastResult(key, UpgradeRunning);
        modelFor(key)->setLastError(key, QString());
        reportRowText(key, tr("Upgrade..."));
    });

    // A motor in its bootloader is found there (no handshake; its readiness
    // probe, the read of the program-data object, is the sequence's own); one
    // whose application runs goes through the entry handshake. A failed step
    // is retried from a clean start. It runs the figures ostrelo-cli runs
    // (client_upgrade_options_init): the transfer's initiate waits as long as
    // a bootloader may erase, its whole as long as the bus needs for the
    // image and that erase.
    client_upgrade_options_t options;
    client_upgrade_options_init(&options);
    options.entry = entry;
    // A file that names its version must come up as that version: an image
    // that is not what its name says (another model's, a damaged build)
    // passes the CRC check and starts, but is not an upgrade.
    quint32 fileVersion = 0;
    const bool haveFileVersion = MotorListModel::fileNameVersion(filePath, &fileVersion);
    options.expectedVersion = haveFileVersion ? fileVersion : 0;
    // A retry that finds the application running sends the handshake again;
    // one that goes unanswered is held through a power cycle instead, as the
    // terminal program does.
    options.holdWhenNoHandshake = 1;
    client_upgrade_result_t r;
    UpgradeProgressContext ctx{this, key, label, fileSize, &r, false};
    client_upgrade_observer_t observer = {};
    observer.progress = transfer_progress_callback;
    observer.step = [](client_upgrade_step_t step, uint32_t, void *user) {
        const auto *c = static_cast<const UpgradeProgressContext *>(user);
        // A probe answered with anything but the image's own refusal is
        // logged; the transfer goes ahead in every case.
        const quint32 probe = c->result->probeCode;
        if (step == CLIENT_UPGRADE_STEP_TRANSFER && c->result->probed != 0 && probe != 0 &&
            probe != 0x06010000u) {
            qCWarning(lcApp).noquote()
                << "[doUpgradeMotor] 节点" << c->label << "SDO就绪检查失败: 0x" << Qt::hex << probe;
        }
        // The image is in: the bar says so before the check begins.
        if (step == CLIENT_UPGRADE_STEP_VERIFY) {
            CANopenWrapper *w = c->controller;
            const unsigned int k = c->key;
            const qint64 size = c->fileSize;
            w->runOnMainThread(
                [w, k, size]() { w->reportProgress(k, 100, tr("传输完成: %1 字节").arg(size)); });
        }
    };
    observer.hold_round = [](uint32_t, void *user) {
        auto *c = static_cast<UpgradeProgressContext *>(user);
        if (!c->askedForPowerCycle) {
            c->askedForPowerCycle = true;
            c->controller->updateStatus(
                tr("节点 %1 未响应进入Bootloader的握手：请将其断电并重新上电（最多 %2 秒）")
                    .arg(c->label)
                    .arg(CLIENT_UPGRADE_HOLD_MS / 1000));
        }
    };
    observer.user = &ctx;
    // Written as it starts, so that a window closed by force leaves it in progress.
    const qint64 historyEntry =
        m_history->begin(channel, node, origin.identityKnown ? &origin.identity : nullptr,
                         origin.versionBefore, filePath, origin.note);
    client_upgrade_run(channel, node, path.constData(), &options, &observer, &r);
    m_history->end(historyEntry, r);
    const QString attempts = UpgradeHistoryLog::attemptsText(r);
    runOnMainThread([this, key, attempts, historyEntry]() {
        m_upgradeEnd.insert(key, {attempts, historyEntry});
    });

    if (r.reason == CLIENT_UPGRADE_OK) {
        // The version column shows what the new application reported.
        const bool haveVersion = r.haveVersion != 0;
        const quint32 version = r.version;
        runOnMainThread([this, key, haveVersion, version]() {
            MotorListModel *model = modelFor(key);
            model->setMotorStatus(key, Available);
            if (haveVersion) {
                model->setVersion(key, version);
            }
            reportProgress(key, 100, tr("升级成功"));
            reportRowText(key, tr("Available"));
            reportCompleted(key, true);
        });
        updateStatus(tr("节点 %1 升级成功并退出Bootloader").arg(label));
        qCInfo(lcApp).noquote() << "[doUpgradeMotor] 节点" << label << "升级完成，状态已更新为Available";
        return true;
    }

    // Past the entry the motor is in its bootloader, until a start it obeyed.
    const bool inBootloader = r.step >= CLIENT_UPGRADE_STEP_TRANSFER && r.step <= CLIENT_UPGRADE_STEP_START;
    if (r.reason == CLIENT_UPGRADE_CANCELLED) {
        // Stopped by the operator: not a failure of the motor.
        return failUpgrade(key, inBootloader, tr("节点 %1 升级已取消").arg(label), tr("已取消"),
                           inBootloader ? tr("升级已取消，电机留在Bootloader中") : tr("升级已取消"),
                           QString(), OperationCancelled);
    }
    if (r.reason == CLIENT_UPGRADE_VERSION_MISMATCH) {
        // The motor runs an application, only not the file's: it is out of
        // its bootloader, and its row shows the version it reports.
        const quint32 reported = r.version;
        const QString file = MotorListModel::versionText(fileVersion);
        const QString motor = MotorListModel::versionText(reported);
        runOnMainThread([this, key, reported]() {
            modelFor(key)->setMotorStatus(key, Available);
            modelFor(key)->setVersion(key, reported);
        });
        return failUpgrade(
            key, false, tr("节点 %1 版本不符：文件版本 %2，电机报告 %3").arg(label).arg(file, motor),
            tr("版本不符"), tr("版本不符（文件 %1，电机 %2）").arg(file, motor),
            upgradeFailureText(r.step, r.reason) + tr("（文件 %1，电机报告 %2）").arg(file, motor));
    }
    const QString detail = upgradeFailureText(r.step, r.reason);
    // The fixed status texts stay; where they do not tell the cause, it follows them.
    const QString suffix = failureSuffix(r.reason);
    switch (r.step) {
    case CLIENT_UPGRADE_STEP_ENTRY:
        // The entry failed: what failed in it, not a transfer's abort code.
        return failUpgrade(key, false, tr("节点 %1 进入Bootloader模式失败").arg(label) + suffix,
                           tr("进入Bootloader失败"), tr("进入Bootloader失败"), detail);
    case CLIENT_UPGRADE_STEP_VERIFY: {
        const QString text = tr("校验失败 (文件CRC: 0x%1, 设备CRC: 0x%2)")
                                 .arg(hex8(r.fileCrc), hex8(r.haveDeviceCrc ? r.deviceCrc : 0));
        return failUpgrade(key, inBootloader, tr("节点 %1 CRC校验失败").arg(label) + suffix, tr("校验失败"),
                           text, detail);
    }
    case CLIENT_UPGRADE_STEP_START:
        return failUpgrade(key, inBootloader, tr("节点 %1 退出Bootloader失败").arg(label) + suffix,
                           tr("退出Bootloader失败"), tr("退出Bootloader失败"), detail);
    case CLIENT_UPGRADE_STEP_CONFIRM:
    case CLIENT_UPGRADE_STEP_DONE:
        return failUpgrade(key, false, tr("节点 %1 应用未启动").arg(label) + suffix, tr("应用未启动"),
                           tr("应用未启动"), detail);
    default: {
        // Nothing or not all of the image reached the motor. The abort code
        // is named only when there was one.
        const QString status = r.code != 0
                                   ? tr("节点 %1 固件传输失败: 0x%2").arg(label).arg(r.code, 0, 16) + suffix
                                   : tr("节点 %1 固件传输失败").arg(label) + suffix;
        return failUpgrade(key, inBootloader, status, tr("传输失败"), tr("传输失败"), detail);
    }
    }
}

// ---- one path from the folder to upgraded motors ---------------------------

struct CANopenWrapper::EverythingPlan {
    struct Item {
        unsigned int key;
        client_entry_t entry;
        bool loose;
        bool downgrade;
    };
    QList<Item> items;
    int current = 0; // run their file's version already
    int busy = 0;    // an operation is queued or running
};

CANopenWrapper::EverythingPlan CANopenWrapper::planUpgradeEverything() const {
    EverythingPlan plan;
    for (MotorListModel *model : {m_motorListModel, m_unlistedModel}) {
        for (int row = 0; row < model->rowCount(); ++row) {
            const unsigned int key = model->keyAt(row);
            const MotorData *m = model->getMotorData(key);
            if (m == nullptr || !MotorListModel::hasFile(m->binFilePath)) {
                continue;
            }
            if (m->motorStatus != Available && m->motorStatus != Bootloader) {
                continue;
            }
            if (m_pendingOps.contains(key)) {
                ++plan.busy;
                continue;
            }
            const int check = model->data(model->index(row, 0), MotorListModel::VersionCheckRole).toInt();
            if (check == MotorListModel::FileCurrent) {
                ++plan.current;
                continue;
            }
            plan.items.append(
                {key, m->motorStatus == Bootloader ? CLIENT_ENTRY_IN_BOOTLOADER : CLIENT_ENTRY_HANDSHAKE,
                 m->matchKind == MotorListModel::MatchLoose ||
                     m->matchKind == MotorListModel::MatchSeveralExact,
                 check == MotorListModel::FileOlder});
        }
    }
    return plan;
}

QVariantMap CANopenWrapper::reviewUpgradeEverything() const {
    const EverythingPlan plan = planUpgradeEverything();
    int count = 0;
    int unlisted = 0;
    QVariantList loose;
    QVariantList downgrades;
    for (const EverythingPlan::Item &item : plan.items) {
        const MotorData *m = modelFor(item.key)->getMotorData(item.key);
        const QVariantMap entry{
            {QStringLiteral("nodeId"), m->nodeId},
            {QStringLiteral("channel"), QStringLiteral("%1.%2").arg(m->deviceIndex).arg(m->canChannel)},
            {QStringLiteral("version"), m->version},
            {QStringLiteral("fileVersion"),
             m->haveFileVersion ? MotorListModel::versionText(m->fileVersion) : QString()},
            {QStringLiteral("file"), QFileInfo(m->binFilePath).fileName()}};
        if (item.loose) {
            loose.append(entry);
        }
        if (item.downgrade) {
            downgrades.append(entry);
        }
        if (!item.loose && !item.downgrade) {
            ++count;
            unlisted += isListedKey(item.key) ? 0 : 1;
        }
    }
    return {{QStringLiteral("count"), count},          {QStringLiteral("unlisted"), unlisted},
            {QStringLiteral("loose"), loose},          {QStringLiteral("downgrades"), downgrades},
            {QStringLiteral("current"), plan.current}, {QStringLiteral("busy"), plan.busy}};
}

int CANopenWrapper::upgradeEverything(bool includeLoose, bool includeDowngrades) {
    if (m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return 0;
    }
    const EverythingPlan plan = planUpgradeEverything();
    if (!plan.items.isEmpty() && !ensureThreadPool()) {
        return 0;
    }
    clearUpgradeSummary();
    int count = 0;
    int notIncluded = 0;
    for (const EverythingPlan::Item &item : plan.items) {
        if ((item.loose && !includeLoose) || (item.downgrade && !includeDowngrades)) {
            ++notIncluded;
            continue;
        }
        const MotorData *m = modelFor(item.key)->getMotorData(item.key);
        CO_CANdeviceConfig_t channel;
        channel.deviceType = m->deviceType;
        channel.deviceIndex = m->deviceIndex;
        channel.canChannel = m->canChannel;
        channel.bitrate = static_cast<uint16_t>(m->bitrate);
        if (!queueUpgrade(channel, item.key, m->binFilePath, item.entry)) {
            continue;
        }
        m_bulkUpgradeLeft.insert(item.key);
        m_upgradeResults.remove(item.key);
        ++count;
    }
    updateStatus(
        tr("已提交 %1 个升级任务到线程池").arg(count) + skippedSuffix(plan.busy) +
        (notIncluded > 0 ? tr("（按确认未包括 %1 个电机）").arg(notIncluded) : QString()) +
        (count == 0 && plan.busy == 0 && notIncluded == 0
             ? (plan.current > 0 ? tr("（%1 个电机已运行其文件的版本）").arg(plan.current) : upgradeAllHint())
             : QString()));
    return count;
}

QString CANopenWrapper::failureSuffix(int reason) {
    switch (reason) {
    case CLIENT_UPGRADE_CRC_MISMATCH:
    case CLIENT_UPGRADE_START_NOT_SENT:
    case CLIENT_UPGRADE_NO_HANDSHAKE:
        return QString(); // the fixed text says it all
    default:
        return tr("：%1").arg(reasonText(reason));
    }
}

QString CANopenWrapper::upgradeFailureText(int step, int reason) {
    QString where;
    switch (step) {
    case CLIENT_UPGRADE_STEP_NONE:
        where = tr("准备");
        break;
    case CLIENT_UPGRADE_STEP_ENTRY:
        where = tr("进入Bootloader");
        break;
    case CLIENT_UPGRADE_STEP_TRANSFER:
        where = tr("传输");
        break;
    case CLIENT_UPGRADE_STEP_VERIFY:
        where = tr("校验");
        break;
    case CLIENT_UPGRADE_STEP_START:
        where = tr("启动应用");
        break;
    default:
        where = tr("确认应用启动");
        break;
    }
    return tr("%1：%2").arg(where, reasonText(reason));
}

QString CANopenWrapper::reasonText(int reason) {
    QString why;
    switch (reason) {
    case CLIENT_UPGRADE_BAD_ARGUMENTS:
        why = tr("参数无效");
        break;
    case CLIENT_UPGRADE_CHANNEL_DOWN:
        why = tr("通道不可用");
        break;
    case CLIENT_UPGRADE_FILE_UNREADABLE:
        why = tr("文件无法读取");
        break;
    case CLIENT_UPGRADE_FILE_EMPTY:
        why = tr("文件为空，未发送");
        break;
    case CLIENT_UPGRADE_NO_HANDSHAKE:
        why = tr("应用未响应进入Bootloader的握手");
        break;
    case CLIENT_UPGRADE_NOT_HELD:
        why = tr("停止指令未被确认，电机未保持在Bootloader");
        break;
    case CLIENT_UPGRADE_NOT_IN_BOOTLOADER:
        why = tr("电机运行的是应用，不在Bootloader");
        break;
    case CLIENT_UPGRADE_BOOTLOADER_SILENT:
        why = tr("Bootloader无响应");
        break;
    case CLIENT_UPGRADE_IMAGE_TOO_LARGE:
        why = tr("固件超出电机容量");
        break;
    case CLIENT_UPGRADE_NODE_ABORTED:
        why = tr("电机中止了传输");
        break;
    case CLIENT_UPGRADE_NO_RESPONSE:
        why = tr("传输中应答超时（帧丢失）");
        break;
    case CLIENT_UPGRADE_TOO_SLOW:
        why = tr("传输超出时限");
        break;
    case CLIENT_UPGRADE_TRANSFER_FAILED:
        why = tr("传输出错");
        break;
    case CLIENT_UPGRADE_NO_CRC:
        why = tr("Bootloader未报告CRC");
        break;
    case CLIENT_UPGRADE_CRC_MISMATCH:
        why = tr("CRC不一致");
        break;
    case CLIENT_UPGRADE_START_NOT_SENT:
        why = tr("启动指令无法发送");
        break;
    case CLIENT_UPGRADE_STAYED_IN_BOOTLOADER:
        why = tr("电机仍在Bootloader");
        break;
    case CLIENT_UPGRADE_APP_SILENT:
        why = tr("启动后应用无响应");
        break;
    case CLIENT_UPGRADE_VERSION_MISMATCH:
        why = tr("应用版本不符");
        break;
    case CLIENT_UPGRADE_CANCELLED:
        why = tr("已取消");
        break;
    default:
        why = tr("未知原因");
        break;
    }
    return why;
}

// ---- bootloader entry and exit -------------------------------------------

// Entry and exit differ only in the client call, the state reached and their texts.
struct CANopenWrapper::BootCommand {
    client_upgrade_reason_t (*run)(client_channel_id_t, uint8_t, uint32_t, uint32_t, uint32_t);
    int step; // client_upgrade_step_t of a failure
    MotorStatus reached;
    const char *queuedText;
    const char *doneStatus;
    const char *doneText;
    const char *failStatus;
    const char *failText;
};

// The texts are marked here and translated where they are shown.

const CANopenWrapper::BootCommand CANopenWrapper::kEnterBootloader = {
    enter_bootloader,
    CLIENT_UPGRADE_STEP_ENTRY,
    Bootloader,
    QT_TRANSLATE_NOOP("CANopenWrapper", "正在进入Bootloader..."),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 已进入Bootloader模式"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "Bootloader"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 进入Bootloader模式失败"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "进入Bootloader失败")};

const CANopenWrapper::BootCommand CANopenWrapper::kExitBootloader = {
    start_application,
    CLIENT_UPGRADE_STEP_CONFIRM,
    Available,
    QT_TRANSLATE_NOOP("CANopenWrapper", "正在退出Bootloader..."),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 已退出Bootloader模式"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "已退出Bootloader"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 退出Bootloader模式失败"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "退出Bootloader失败")};

bool CANopenWrapper::queueBootCommand(const BootCommand &cmd, unsigned int nodeId, unsigned int timeoutMs,
                                      unsigned int retryCount, unsigned int retryDelayMs) {
    if (refusePending(nodeId)) {
        return false;
    }
    CO_CANdeviceConfig_t channel;
    if (!getChannelInfoFromModel(nodeId, channel)) {
        updateStatus(tr("未找到节点 %1 的通道信息").arg(nodeId));
        return false;
    }
    if (!ensureThreadPool()) {
        return false;
    }
    return markBootCommandQueued(cmd, channel, nodeId, timeoutMs, retryCount, retryDelayMs);
}

bool CANopenWrapper::markBootCommandQueued(const BootCommand &cmd, const CO_CANdeviceConfig_t &channel,
                                           unsigned int nodeId, unsigned int timeoutMs,
                                           unsigned int retryCount, unsigned int retryDelayMs) {
    const BootCommand *command = &cmd;
    if (!submitForChannel(
            channel,
            [this, command, channel, nodeId, timeoutMs, retryCount, retryDelayMs]() {
                bootCommandOnChannel(*command, channel, nodeId, timeoutMs, retryCount, retryDelayMs);
            },
            static_cast<int>(nodeId))) {
        return false;
    }
    m_motorListModel->setMotorStatus(nodeId, Busy);
    emit motorStatusChanged(nodeId, tr(cmd.queuedText));
    return true;
}

bool CANopenWrapper::bootCommandOnChannel(const BootCommand &cmd, CO_CANdeviceConfig_t channel,
                                          unsigned int nodeId, unsigned int timeoutMs,
                                          unsigned int retryCount, unsigned int retryDelayMs) {
    client_upgrade_reason_t r;
    {
        ostrelo::ChannelUse channelUse(channel);
        client_api_drain_channel(channel, 1);
        r = cmd.run(channel, static_cast<uint8_t>(nodeId), timeoutMs, retryCount, retryDelayMs);
    }
    if (r == CLIENT_UPGRADE_OK) {
        updateStatus(tr(cmd.doneStatus).arg(nodeId));
        const MotorStatus reached = cmd.reached;
        const QString text = tr(cmd.doneText);
        runOnMainThread([this, nodeId, reached, text]() {
            m_motorListModel->setMotorStatus(nodeId, reached);
            m_motorListModel->setLastError(nodeId, QString());
            emit motorStatusChanged(nodeId, text);
        });
        return true;
    }
    const int step = r == CLIENT_UPGRADE_START_NOT_SENT ? CLIENT_UPGRADE_STEP_START : cmd.step;
    const QString detail = upgradeFailureText(step, r);
    updateStatus(tr(cmd.failStatus).arg(nodeId) + failureSuffix(r));
    const QString text = tr(cmd.failText);
    runOnMainThread([this, nodeId, text, detail]() {
        m_motorListModel->setLastResult(nodeId, OperationFailed);
        m_motorListModel->setLastError(nodeId, detail);
        emit motorStatusChanged(nodeId, text);
    });
    return false;
}

bool CANopenWrapper::enterBootloader(unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                                     unsigned int retryDelayMs) {
    if (m_motorListModel->getMotorStatus(nodeId) == Busy) {
        updateStatus(tr("节点 %1 正在忙碌，无法进入Bootloader").arg(nodeId));
        return false;
    }
    return queueBootCommand(kEnterBootloader, nodeId, timeoutMs, retryCount, retryDelayMs);
}

bool CANopenWrapper::exitBootloader(unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                                    unsigned int retryDelayMs) {
    return queueBootCommand(kExitBootloader, nodeId, timeoutMs, retryCount, retryDelayMs);
}

int CANopenWrapper::exitBootloaderAll(unsigned int timeoutMs, unsigned int retryCount,
                                      unsigned int retryDelayMs) {
    if (m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return 0;
    }
    const QVariantList nodes = nodesInBootloader();
    if (nodes.isEmpty()) {
        updateStatus(tr("已提交 %1 个退出Bootloader任务到线程池").arg(0));
        return 0;
    }
    if (!ensureThreadPool()) {
        return 0;
    }
    int count = 0;
    for (const QVariant &v : nodes) {
        const unsigned int nodeId = v.toUInt();
        CO_CANdeviceConfig_t channel;
        if (getChannelInfoFromModel(nodeId, channel) &&
            markBootCommandQueued(kExitBootloader, channel, nodeId, timeoutMs, retryCount, retryDelayMs)) {
            ++count;
        }
    }
    updateStatus(tr("已提交 %1 个退出Bootloader任务到线程池").arg(count));
    return count;
}

int CANopenWrapper::enterBootloaderAll(unsigned int timeoutMs, unsigned int retryCount,
                                       unsigned int retryDelayMs) {
    if (m_motorListModel == nullptr || m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return 0;
    }
    if (!ensureThreadPool()) {
        return 0;
    }
    int count = 0;
    int skipped = 0;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        if (m_motorListModel->getMotorStatus(nodeId) != Available) {
            continue;
        }
        if (isOperationPending(nodeId)) {
            ++skipped;
            continue;
        }
        CO_CANdeviceConfig_t channel;
        if (!getChannelInfoFromModel(nodeId, channel)) {
            continue;
        }
        if (markBootCommandQueued(kEnterBootloader, channel, nodeId, timeoutMs, retryCount, retryDelayMs)) {
            ++count;
        }
    }
    updateStatus(tr("已提交 %1 个进入Bootloader任务到线程池").arg(count) + skippedSuffix(skipped));
    return count;
}

// ---- hold of one motor, on the calling (main) thread -----------------------

bool CANopenWrapper::preventAppStartForDuration(unsigned int nodeId, unsigned int durationMs) {
    if (m_motorListModel->getMotorStatus(nodeId) == Busy) {
        updateStatus(tr("节点 %1 正在忙碌，无法强制进入Bootloader").arg(nodeId));
        return false;
    }
    if (refusePending(nodeId)) {
        return false;
    }
    CO_CANdeviceConfig_t channel;
    if (!getChannelInfoFromModel(nodeId, channel)) {
        return false;
    }
    m_motorListModel->startOperation(nodeId);

    // The channel's worker may be in the middle of a task (a transfer can
    // take minutes). Wait at most the hold's own duration for the channel;
    // if it stays busy, report failure instead of freezing the window.
    QMutex *lock = ostrelo::channelLock(channel);
    int r = -1;
    if (lock->tryLock(static_cast<int>(qMin<unsigned int>(durationMs, INT_MAX)))) {
        r = client_api_prevent_app_start_for_duration(channel, static_cast<uint8_t>(nodeId), durationMs);
        lock->unlock();
    }

    if (r == 0) {
        updateStatus(tr("节点 %1 阻止应用启动成功 (持续 %2 ms)").arg(nodeId).arg(durationMs));
        m_motorListModel->setMotorStatus(nodeId, Bootloader);
        emit motorStatusChanged(nodeId, tr("Bootloader"));
        return true;
    }
    updateStatus(tr("节点 %1 阻止应用启动失败").arg(nodeId));
    m_motorListModel->setLastResult(nodeId, OperationFailed);
    emit motorStatusChanged(nodeId, tr("强制进入Bootloader失败"));
    return false;
}

// ---- status probe ----------------------------------------------------------

void CANopenWrapper::refreshMotorStatus(unsigned int nodeId) {
    if (refusePending(nodeId)) {
        return;
    }
    CO_CANdeviceConfig_t channel;
    if (!getChannelInfoFromModel(nodeId, channel)) {
        updateStatus(tr("未找到节点 %1 的通道信息").arg(nodeId));
        return;
    }
    if (!ensureThreadPool()) {
        return;
    }
    if (!submitForChannel(
            channel, [this, channel, nodeId]() { doRefreshMotorStatus(channel, nodeId); },
            static_cast<int>(nodeId))) {
        return;
    }
    m_motorListModel->setMotorStatus(nodeId, Busy);
    emit motorStatusChanged(nodeId, tr("刷新中..."));
    updateStatus(tr("已提交节点 %1 的状态刷新任务").arg(nodeId));
}

void CANopenWrapper::refreshAllMotorStatus() {
    if (m_motorListModel == nullptr || m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return;
    }
    if (!ensureThreadPool()) {
        return;
    }
    int count = 0;
    int skipped = 0;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        if (isOperationPending(nodeId)) {
            ++skipped;
            continue;
        }
        CO_CANdeviceConfig_t channel;
        if (!getChannelInfoFromModel(nodeId, channel)) {
            continue;
        }
        if (!submitForChannel(
                channel, [this, channel, nodeId]() { doRefreshMotorStatus(channel, nodeId); },
                static_cast<int>(nodeId))) {
            continue;
        }
        m_motorListModel->setMotorStatus(nodeId, Busy);
        emit motorStatusChanged(nodeId, tr("刷新中..."));
        m_refreshAllLeft.insert(nodeId);
        m_refreshAllBatch.append(nodeId);
        ++count;
    }
    updateStatus(tr("已提交 %1 个状态刷新任务到线程池").arg(count) + skippedSuffix(skipped));
    if (count == 0) {
        emit allMotorStatusRefreshed();
    }
}

void CANopenWrapper::doRefreshMotorStatus(CO_CANdeviceConfig_t channel, unsigned int nodeId) {
    const uint8_t node = static_cast<uint8_t>(nodeId);
    uint32_t version = 0;
    uint32_t crc = 0;
    bool crcRead = false;
    client_node_side_t side;
    {
        ostrelo::ChannelUse channelUse(channel);
        client_api_drain_channel(channel, 1);
        side = client_api_locate_node(channel, node, kRefreshLocateMs, &version);
        // The image the bootloader holds, for the log.
        if (side == CLIENT_NODE_BOOTLOADER) {
            crcRead = client_api_query_firmware_crc(channel, node, &crc) == 0;
        }
    }
    if (side == CLIENT_NODE_UNREACHABLE) {
        // The channel is not up: nothing can be said of the motor.
        runOnMainThread([this, nodeId]() { emit motorStatusRefreshed(nodeId, tr("未找到通道信息")); });
        return;
    }
    const bool sdoOk = side == CLIENT_NODE_BOOTLOADER;
    const bool canOk = side == CLIENT_NODE_APPLICATION;
    if (sdoOk && crcRead) {
        qCDebug(lcApp) << "[doRefreshMotorStatus] 节点" << nodeId << "SDO读取CRC成功，CRC=0x" << Qt::hex
                       << crc;
    } else if (sdoOk) {
        qCDebug(lcApp) << "[doRefreshMotorStatus] 节点" << nodeId << "SDO读取CRC失败或超时";
    }
    if (canOk) {
        qCDebug(lcApp) << "[doRefreshMotorStatus] 节点" << nodeId << "CAN查询软件版本成功，版本=0x" << Qt::hex
                       << version;
    } else {
        qCDebug(lcApp) << "[doRefreshMotorStatus] 节点" << nodeId << "CAN查询软件版本失败或超时";
    }

    MotorStatus status;
    QString text;
    if (canOk) {
        status = Available;
        text = tr("Available");
    } else if (sdoOk) {
        status = Bootloader;
        text = tr("Bootloader");
    } else {
        status = Disconnected;
        text = tr("连接中断");
    }
    runOnMainThread([this, nodeId, status, text]() {
        // A scan that rebuilt the row meanwhile knows better than this probe.
        if (m_motorListModel->setMotorStatus(nodeId, status)) {
            emit motorStatusChanged(nodeId, text);
        }
        emit motorStatusRefreshed(nodeId, text);
    });
    qCDebug(lcApp) << "[doRefreshMotorStatus] 节点" << nodeId << "状态刷新完成:"
                   << "SDO响应=" << sdoOk << ", CAN响应=" << canOk << ", 新状态=" << text;
}
