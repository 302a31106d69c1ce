// Per-motor operations: a main-thread half that checks, marks and queues,
// and a worker half that talks to the motor on its channel's worker.
//
// The main-thread half reads the motor's channel from the model and hands it
// to the task by value; the worker half (the *OnChannel functions) never
// reads the model, which belongs to the main thread. The public do* slots,
// if called directly, look the channel up first and then do the same.
#include "CANopenWrapper.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>

#include "CANopenWrapper_p.h"
#include "ThreadPool.h"
#include "client_api.h"
#include "motor_protocol.h"

namespace {

struct UpgradeProgressContext {
    CANopenWrapper *controller;
    quint32 nodeId;
    qint64 fileSize;
};

void transfer_progress_callback(size_t transferred, size_t total, void *userData) {
    auto *ctx = static_cast<UpgradeProgressContext *>(userData);
    if (ctx == nullptr || ctx->controller == nullptr) {
        return;
    }
    // Coalesced on its way to the row (ProgressCoalescer): a transfer reports
    // far more often than a window can show.
    ctx->controller->postTransferProgress(ctx->nodeId, transferred, total);
}

QString hex8(quint32 value) {
    return QStringLiteral("%1").arg(value, 8, 16, QLatin1Char('0'));
}

bool isFile(const QString &path) {
    return !path.isEmpty() && QFileInfo(path).isFile();
}

} // namespace

// ---- upgrade ---------------------------------------------------------------

bool CANopenWrapper::queueUpgrade(const CO_CANdeviceConfig_t &channel, unsigned int nodeId,
                                  const QString &filePath, unsigned int transferTimeoutMs,
                                  unsigned int verifyTimeoutMs, unsigned int exitTimeoutMs) {
    const bool queued = submitForChannel(
        channel,
        [this, channel, nodeId, filePath, transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs]() {
            upgradeOnChannel(channel, nodeId, filePath, transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs);
        },
        static_cast<int>(nodeId), true);
    if (queued) {
        const MotorData *m = m_motorListModel->getMotorData(nodeId);
        m_upgradeStart.insert(nodeId, {m != nullptr ? m->version : QString(), filePath});
    }
    return queued;
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
    if (!queueUpgrade(channel, nodeId, filePath, transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs)) {
        return false;
    }
    emit upgradeProgressPercent(nodeId, 0, tr("准备传输文件: %1 字节").arg(QFileInfo(filePath).size()));
    return true;
}

int CANopenWrapper::upgradeAllMatched(unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs,
                                      unsigned int exitTimeoutMs) {
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
        const QModelIndex idx = m_motorListModel->index(row, 0);
        const unsigned int nodeId = m_motorListModel->data(idx, MotorListModel::NodeIdRole).toUInt();
        const QString path = m_motorListModel->data(idx, MotorListModel::BinFilePathRole).toString();
        if (m_motorListModel->getMotorStatus(nodeId) != Bootloader || path.isEmpty() ||
            path == QLatin1String("unknown")) {
            continue;
        }
        // Its upgrade is queued or running already: a second one would
        // start a download against the new application and fail.
        if (isOperationPending(nodeId)) {
            ++skipped;
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
        if (!queueUpgrade(channel, nodeId, path, transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs)) {
            continue;
        }
        m_bulkUpgradeLeft.insert(nodeId);
        m_upgradeResults.remove(nodeId);
        emit upgradeProgressPercent(nodeId, 0, tr("准备传输文件: %1 字节").arg(QFileInfo(path).size()));
        ++count;
    }
    updateStatus(tr("已提交 %1 个升级任务到线程池").arg(count) + skippedSuffix(skipped) +
                 (count == 0 && skipped == 0 ? upgradeAllHint() : QString()));
    return count;
}

// Why "upgrade all" found nothing to do, when the rows can tell.
QString CANopenWrapper::upgradeAllHint() const {
    int withFile = 0;
    int notInBootloader = 0;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const QModelIndex idx = m_motorListModel->index(row, 0);
        const QString path = m_motorListModel->data(idx, MotorListModel::BinFilePathRole).toString();
        if (path.isEmpty() || path == QLatin1String("unknown")) {
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
    emit upgradeProgressPercent(nodeId, percent,
                                tr("传输中: %1/%2 字节 (%3%)").arg(transferred).arg(total).arg(percent));
}

bool CANopenWrapper::doUpgradeMotor(unsigned int nodeId, const QString &filePath,
                                    unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs,
                                    unsigned int exitTimeoutMs) {
    CO_CANdeviceConfig_t channel;
    if (!channelForWorker(nodeId, channel)) {
        // Without an end report the page's bar would wait for ever.
        runOnMainThread([this, nodeId]() { emit upgradeCompleted(nodeId, false); });
        return false;
    }
    return upgradeOnChannel(channel, nodeId, filePath, transferTimeoutMs, verifyTimeoutMs, exitTimeoutMs);
}

// The end of a failed upgrade: the status line, then, in order on the main
// thread, the row's bar text, its state text and the end report.
bool CANopenWrapper::failUpgrade(unsigned int nodeId, const QString &status, const QString &barText,
                                 const QString &rowText) {
    updateStatus(status);
    runOnMainThread([this, nodeId, barText, rowText]() {
        emit upgradeProgressPercent(nodeId, 0, barText);
        m_motorListModel->setLastResult(nodeId, OperationFailed);
        emit motorStatusChanged(nodeId, rowText);
        emit upgradeCompleted(nodeId, false);
    });
    return false;
}

bool CANopenWrapper::upgradeOnChannel(CO_CANdeviceConfig_t channel, unsigned int nodeId,
                                      const QString &filePath, unsigned int transferTimeoutMs,
                                      unsigned int verifyTimeoutMs, unsigned int exitTimeoutMs) {
    Q_UNUSED(verifyTimeoutMs); // the CRC query has its own fixed wait
    ostrelo::ChannelUse channelUse(channel);
    const uint8_t node = static_cast<uint8_t>(nodeId);

    if (!isFile(filePath)) {
        updateStatus(tr("文件不存在: %1").arg(filePath));
        runOnMainThread([this, nodeId]() { emit upgradeCompleted(nodeId, false); });
        return false;
    }
    const qint64 fileSize = QFileInfo(filePath).size();
    const QByteArray path = filePath.toUtf8();
    ostrelo::discardStaleFrames(channel);

    runOnMainThread([this, nodeId, fileSize]() {
        emit upgradeProgressPercent(nodeId, 0, tr("准备传输文件: %1 字节").arg(fileSize));
        m_motorListModel->setLastResult(nodeId, UpgradeRunning);
        emit motorStatusChanged(nodeId, tr("Upgrade..."));
    });

    uint8_t probe[4] = {0, 0, 0, 0};
    size_t probeSize = 0;
    const CO_SDO_abortCode_t ready =
        client_api_sdo_read(channel, node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, probe,
                            sizeof(probe), &probeSize, 1000);
    if (ready != 0 && static_cast<quint32>(ready) != 0x06010000u) {
        qDebug() << "[doUpgradeMotor] 节点" << nodeId << "SDO就绪检查失败: 0x" << Qt::hex
                 << static_cast<quint32>(ready);
    }

    UpgradeProgressContext ctx{this, nodeId, fileSize};
    const CO_SDO_abortCode_t result = client_api_transfer_file_block_with_progress(
        channel, node, MOTOR_PROGRAM_DATA_INDEX, MOTOR_PROGRAM_DATA_SUB, path.constData(), transferTimeoutMs,
        transfer_progress_callback, &ctx);
    if (result != 0) {
        return failUpgrade(
            nodeId, tr("节点 %1 固件传输失败: 0x%2").arg(nodeId).arg(static_cast<quint32>(result), 0, 16),
            tr("传输失败"), tr("传输失败"));
    }

    runOnMainThread([this, nodeId, fileSize]() {
        emit upgradeProgressPercent(nodeId, 100, tr("传输完成: %1 字节").arg(fileSize));
    });

    const quint32 fileCrc = client_api_calculate_file_crc32(path.constData());
    uint32_t deviceCrc = 0;
    const int query = client_api_query_firmware_crc(channel, node, &deviceCrc);
    if (query != 0) {
        deviceCrc = 0;
    }
    // An empty or unreadable image gives a file CRC of 0, which a device that
    // also reports 0 would otherwise "confirm": never start on that.
    if (query != 0 || fileSize == 0 || fileCrc == 0 || fileCrc != deviceCrc) {
        const QString text =
            tr("校验失败 (文件CRC: 0x%1, 设备CRC: 0x%2)").arg(hex8(fileCrc), hex8(deviceCrc));
        return failUpgrade(nodeId, tr("节点 %1 CRC校验失败").arg(nodeId), tr("校验失败"), text);
    }

    if (client_api_exit_bootloader(channel, node, exitTimeoutMs, 3, 200) != 0) {
        return failUpgrade(nodeId, tr("节点 %1 退出Bootloader失败").arg(nodeId), tr("退出Bootloader失败"),
                           tr("退出Bootloader失败"));
    }
    // The start command is a frame that left; success is the application answering.
    if (client_api_confirm_app_running(channel, node, 3000) != 0) {
        return failUpgrade(nodeId, tr("节点 %1 应用未启动").arg(nodeId), tr("应用未启动"), tr("应用未启动"));
    }
    reportRunningVersion(channel, nodeId);

    runOnMainThread([this, nodeId]() {
        m_motorListModel->setMotorStatus(nodeId, Available);
        emit upgradeProgressPercent(nodeId, 100, tr("升级成功"));
        emit motorStatusChanged(nodeId, tr("Available"));
        emit upgradeCompleted(nodeId, true);
    });
    updateStatus(tr("节点 %1 升级成功并退出Bootloader").arg(nodeId));
    qDebug() << "[doUpgradeMotor] 节点" << nodeId << "升级完成，状态已更新为Available";
    return true;
}

void CANopenWrapper::reportRunningVersion(const CO_CANdeviceConfig_t &channel, unsigned int nodeId) {
    uint32_t version = 0;
    if (client_api_query_software_version(channel, static_cast<uint8_t>(nodeId), &version) == 0) {
        runOnMainThread([this, nodeId, version]() { m_motorListModel->setVersion(nodeId, version); });
    }
}

// ---- bootloader entry and exit -------------------------------------------

// Entry and exit differ only in the client call, the state reached and their texts.
struct CANopenWrapper::BootCommand {
    int (*run)(client_channel_id_t, uint8_t, uint32_t, uint32_t, uint32_t);
    MotorStatus reached;
    const char *queuedText;
    const char *doneStatus;
    const char *doneText;
    const char *failStatus;
    const char *failText;
};

// The texts are marked here and translated where they are shown.

const CANopenWrapper::BootCommand CANopenWrapper::kEnterBootloader = {
    client_api_enter_bootloader,
    Bootloader,
    QT_TRANSLATE_NOOP("CANopenWrapper", "正在进入Bootloader..."),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 已进入Bootloader模式"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "Bootloader"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "节点 %1 进入Bootloader模式失败"),
    QT_TRANSLATE_NOOP("CANopenWrapper", "进入Bootloader失败")};

const CANopenWrapper::BootCommand CANopenWrapper::kExitBootloader = {
    client_api_exit_bootloader,
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
    int r;
    {
        ostrelo::ChannelUse channelUse(channel);
        r = cmd.run(channel, static_cast<uint8_t>(nodeId), timeoutMs, retryCount, retryDelayMs);
    }
    if (r == 0) {
        updateStatus(tr(cmd.doneStatus).arg(nodeId));
        const MotorStatus reached = cmd.reached;
        const QString text = tr(cmd.doneText);
        runOnMainThread([this, nodeId, reached, text]() {
            m_motorListModel->setMotorStatus(nodeId, reached);
            emit motorStatusChanged(nodeId, text);
        });
        return true;
    }
    updateStatus(tr(cmd.failStatus).arg(nodeId));
    const QString text = tr(cmd.failText);
    runOnMainThread([this, nodeId, text]() {
        m_motorListModel->setLastResult(nodeId, OperationFailed);
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

bool CANopenWrapper::doEnterBootloader(unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                                       unsigned int retryDelayMs) {
    CO_CANdeviceConfig_t channel;
    if (!channelForWorker(nodeId, channel)) {
        return false;
    }
    return bootCommandOnChannel(kEnterBootloader, channel, nodeId, timeoutMs, retryCount, retryDelayMs);
}

bool CANopenWrapper::exitBootloader(unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                                    unsigned int retryDelayMs) {
    return queueBootCommand(kExitBootloader, nodeId, timeoutMs, retryCount, retryDelayMs);
}

bool CANopenWrapper::doExitBootloader(unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                                      unsigned int retryDelayMs) {
    CO_CANdeviceConfig_t channel;
    if (!channelForWorker(nodeId, channel)) {
        return false;
    }
    return bootCommandOnChannel(kExitBootloader, channel, nodeId, timeoutMs, retryCount, retryDelayMs);
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
            channel, [this, channel, nodeId]() { refreshStatusOnChannel(channel, nodeId); },
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
                channel, [this, channel, nodeId]() { refreshStatusOnChannel(channel, nodeId); },
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

void CANopenWrapper::doRefreshMotorStatus(unsigned int nodeId) {
    CO_CANdeviceConfig_t channel;
    if (!channelForWorker(nodeId, channel)) {
        runOnMainThread([this, nodeId]() { emit motorStatusRefreshed(nodeId, tr("未找到通道信息")); });
        return;
    }
    refreshStatusOnChannel(channel, nodeId);
}

void CANopenWrapper::refreshStatusOnChannel(CO_CANdeviceConfig_t channel, unsigned int nodeId) {
    const uint8_t node = static_cast<uint8_t>(nodeId);
    uint32_t crc = 0;
    uint32_t version = 0;
    bool sdoOk;
    bool canOk;
    {
        ostrelo::ChannelUse channelUse(channel);
        ostrelo::discardStaleFrames(channel);
        sdoOk = client_api_query_firmware_crc(channel, node, &crc) == 0;
        if (sdoOk) {
            qDebug() << "[doRefreshMotorStatus] 节点" << nodeId << "SDO读取CRC成功，CRC=0x" << Qt::hex << crc;
        } else {
            qDebug() << "[doRefreshMotorStatus] 节点" << nodeId << "SDO读取CRC失败或超时";
        }
        canOk = client_api_query_software_version(channel, node, &version) == 0;
        if (canOk) {
            qDebug() << "[doRefreshMotorStatus] 节点" << nodeId << "CAN查询软件版本成功，版本=0x" << Qt::hex
                     << version;
        } else {
            qDebug() << "[doRefreshMotorStatus] 节点" << nodeId << "CAN查询软件版本失败或超时";
        }
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
        m_motorListModel->setMotorStatus(nodeId, status);
        emit motorStatusChanged(nodeId, text);
        emit motorStatusRefreshed(nodeId, text);
    });
    qDebug() << "[doRefreshMotorStatus] 节点" << nodeId << "状态刷新完成:"
             << "SDO响应=" << sdoOk << ", CAN响应=" << canOk << ", 新状态=" << text;
}
