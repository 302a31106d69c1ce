// Scanning every channel that is up, one task per channel worker.
#include "CANopenWrapper.h"

#include <QCoreApplication>
#include <QMutexLocker>

#include <algorithm>
#include <vector>

#include "CANopenWrapper_p.h"
#include "ChannelConfigModel.h"
#include "ThreadPool.h"
#include "app_log_category.h"
#include "client_api.h"

int CANopenWrapper::scanMotorsOnAllChannels(unsigned int nodeIdMin, unsigned int nodeIdMax,
                                            unsigned int timeoutMs) {
    if (availableChannelList.isEmpty()) {
        updateStatus(tr("请先配置并应用通道，且确保有可用通道"));
        return 0;
    }
    // A second scan would empty the table under the running one and count
    // its reports as its own.
    if (m_scanning) {
        updateStatus(tr("扫描正在进行，请等待完成"));
        return 0;
    }
    m_scanning = true;
    emit scanningChanged();

    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        m_motorListModel->setMotorStatus(nodeId, Busy);
    }

    {
        QMutexLocker locker(&g_discovered_motors_mutex);
        client_api_clear_discovered_motors();
        for (int &owner : m_scanOwner) {
            owner = -1;
        }
        m_scanHits.clear();
        m_bootloaderHits.clear();
    }
    if (!m_unlisted.isEmpty()) {
        m_unlisted.clear();
        rebuildUnlistedModel();
        emit unlistedMotorsChanged();
    }
    // The summary of a bulk upgrade speaks of rows this scan replaces.
    clearUpgradeSummary();
    m_scanChannels = availableChannelList;

    const int channelCount = static_cast<int>(availableChannelList.size());
    ThreadPool::instance()->addChannels(availableChannelList);

    completedChannels.store(0);
    totalChannels = channelCount;

    const qint64 nodeCount =
        (static_cast<qint64>(nodeIdMax) - static_cast<qint64>(nodeIdMin) + 1) * channelCount;
    emit scanProgress(0, tr("开始扫描，共 %1 个通道，%2 个节点").arg(channelCount).arg(nodeCount));
    QCoreApplication::processEvents();

    // The channel list is read here, on the main thread; each task gets its
    // channel identity by value and never looks at the list or the model.
    const QVariantList channels = availableChannelList;
    for (int i = 0; i < channelCount; ++i) {
        const QVariantMap map = channels.at(i).toMap();
        CO_CANdeviceConfig_t identity;
        identity.deviceType = map.value(QStringLiteral("deviceType")).toUInt();
        identity.deviceIndex = map.value(QStringLiteral("deviceIndex")).toUInt();
        identity.canChannel = map.value(QStringLiteral("canChannel")).toUInt();
        identity.bitrate = static_cast<uint16_t>(map.value(QStringLiteral("bitrate")).toUInt());

        qCDebug(lcApp) << "[scanMotorsOnAllChannels] 准备提交通道索引" << i << "[Type=" << identity.deviceType
                       << ", Index=" << identity.deviceIndex << ", Ch=" << identity.canChannel
                       << "]的扫描任务";

        const bool queued = submitForChannel(
            identity,
            [this, identity, i, channelCount, nodeIdMin, nodeIdMax, timeoutMs]() {
                qCDebug(lcApp) << "[scanMotorsOnAllChannels] Lambda开始执行，通道索引" << i
                               << "[Type=" << identity.deviceType << ", Index=" << identity.deviceIndex
                               << ", Ch=" << identity.canChannel << "]";
                int found = 0;
                {
                    ostrelo::ChannelUse channelUse(identity);
                    client_api_drain_channel(identity, 1);
                    found =
                        scanMotorsWithProgress(identity, i, channelCount, nodeIdMin, nodeIdMax, timeoutMs);
                }
                qCDebug(lcApp) << "[scanMotorsOnAllChannels] Lambda执行完成，通道索引" << i << "发现" << found
                               << "个电机";
                [[maybe_unused]] ostrelo::HandOverGuard handOver;
                QMetaObject::invokeMethod(this, "onChannelScanCompleted", Qt::QueuedConnection, Q_ARG(int, i),
                                          Q_ARG(int, found));
            },
            kScanTask);
        if (queued) {
            ++m_scanTasksLeft;
        } else {
            // The channel reports at once, so the scan still ends.
            QMetaObject::invokeMethod(this, "onChannelScanCompleted", Qt::QueuedConnection, Q_ARG(int, i),
                                      Q_ARG(int, 0));
        }

        qCDebug(lcApp) << "[scanMotorsOnAllChannels] 发送初始进度信号，通道索引=" << i;
        emit channelScanProgress(i, 0, tr("准备扫描节点 %1-%2").arg(nodeIdMin).arg(nodeIdMax));
    }
    return 0;
}

namespace {

// The identity queries' own wait for an answer; a scan time-out above it
// gives slow motors that much longer.
const unsigned int kQueryWaitMs = 20;

} // namespace

// One motor that answered: recorded for the list (the first channel in the
// channel list keeps a node id) and among the scan's hits.
void CANopenWrapper::recordScanHit(const CO_CANdeviceConfig_t &channelId, int channelIndex, int n,
                                   const client_firmware_info_t &info) {
    QMutexLocker locker(&g_discovered_motors_mutex);
    client_discovered_motor_t hit{};
    hit.discovered = 1;
    hit.nodeId = static_cast<uint8_t>(n);
    hit.channelId = channelId;
    hit.info = info;
    m_scanHits[static_cast<unsigned int>(n)].append({channelIndex, hit});
    if (m_scanOwner[n] < 0 || channelIndex < m_scanOwner[n]) {
        m_scanOwner[n] = channelIndex;
        g_discovered_motors[n] = hit;
    }
    ++g_discovered_motor_count;
}

void CANopenWrapper::postScanProgress(int channelIndex, int percent, QString text) {
    [[maybe_unused]] ostrelo::HandOverGuard handOver;
    QMetaObject::invokeMethod(this, "emitChannelScanProgress", Qt::QueuedConnection, Q_ARG(int, channelIndex),
                              Q_ARG(int, percent), Q_ARG(QString, text));
    // Released inside the hand-over window, like the copy the queued call holds.
    text.clear();
}

// The controller's side of a channel's scan: one progress report per node,
// the motors recorded as they are identified, the remark while the late
// answers are awaited.
struct CANopenWrapper::ScanRun {
    CANopenWrapper *w;
    CO_CANdeviceConfig_t channel;
    int channelIndex;
    int total;           // nodes of the range asked for, also beyond 128
    unsigned int waitMs; // the operator's time-out
    int percent = 0;

    static QString foundText(uint8_t node, size_t position, int total) {
        return CANopenWrapper::tr("扫描节点 ID=%1 (%2/%3) - 发现电机").arg(node).arg(position).arg(total);
    }
    static void found(uint8_t node, size_t position, const client_firmware_info_t *info, int late,
                      void *user) {
        ScanRun *r = static_cast<ScanRun *>(user);
        r->w->recordScanHit(r->channel, r->channelIndex, node, *info);
        if (late != 0) {
            r->w->postScanProgress(r->channelIndex, r->percent, foundText(node, position, r->total));
        }
    }
    static void progress(uint8_t node, size_t position, int identified, void *user) {
        ScanRun *r = static_cast<ScanRun *>(user);
        r->percent = static_cast<int>(position) * 100 / r->total;
        r->w->postScanProgress(
            r->channelIndex, r->percent,
            identified != 0
                ? foundText(node, position, r->total)
                : CANopenWrapper::tr("扫描节点 ID=%1 (%2/%3)").arg(node).arg(position).arg(r->total));
    }
    static void latePass(uint32_t waitMs, size_t, void *user) {
        ScanRun *r = static_cast<ScanRun *>(user);
        if (waitMs == 0) {
            return; // only the look for bootloaders, which takes no wait of its own
        }
        // A remark on the card rather than a progress report: the node reports stay one per node.
        const QString note = CANopenWrapper::tr("等待较慢电机的应答（最多 %1 ms）").arg(r->waitMs);
        CANopenWrapper *w = r->w;
        const int channelIndex = r->channelIndex;
        w->runOnMainThread([w, channelIndex, note]() { emit w->channelScanNote(channelIndex, note); });
    }
    static void inBootloader(uint8_t node, size_t, void *user) {
        ScanRun *r = static_cast<ScanRun *>(user);
        r->w->recordBootloaderHit(r->channel, node);
    }
    static int cancelled(void *user) { return static_cast<ScanRun *>(user)->w->stopping.load() ? 1 : 0; }
};

void CANopenWrapper::recordBootloaderHit(const CO_CANdeviceConfig_t &channelId, int n) {
    QMutexLocker locker(&g_discovered_motors_mutex);
    m_bootloaderHits.append({channelId, static_cast<unsigned int>(n)});
}

int CANopenWrapper::scanMotorsWithProgress(CO_CANdeviceConfig_t channelId, int channelIndex, int channelCount,
                                           unsigned int nodeIdMin, unsigned int nodeIdMax,
                                           unsigned int timeoutMs) {
    Q_UNUSED(channelCount);

    // Node ids travel as 8-bit values, but the range arithmetic is done in
    // int: in 8 bits the range 0-255 has 0 nodes and the percentage would
    // divide by zero.
    const int first = static_cast<uint8_t>(nodeIdMin);
    const int last = static_cast<uint8_t>(nodeIdMax);
    if (first > last || first > CLIENT_MAX_NODE_ID) {
        return 0;
    }
    std::vector<uint8_t> nodes;
    for (int n = first; n <= qMin(last, CLIENT_MAX_NODE_ID); ++n) {
        nodes.push_back(static_cast<uint8_t>(n));
    }

    // Every node is asked with the queries' own short wait, so that silent
    // node ids cost little. With a longer time-out, the nodes that stayed
    // silent are asked once more all together and given the time-out to
    // answer; those that do are then identified with it as their wait.
    const bool waitForLate = timeoutMs > kQueryWaitMs;
    client_scan_options_t options;
    client_scan_options_init(&options);
    options.nodes = nodes.data();
    options.nodeCount = nodes.size();
    options.dropStale = waitForLate ? 1 : 0;
    options.lateWaitMs = waitForLate ? timeoutMs : 0;
    // Nodes silent to the identity queries are also asked whether their
    // bootloader answers: an upgrade cut short may have left one there, and
    // the history may name it.
    options.bootloaderLook = 1;

    ScanRun run{this, channelId, channelIndex, last - first + 1, timeoutMs};
    client_scan_observer_t observer = {};
    observer.progress = ScanRun::progress;
    observer.found = ScanRun::found;
    observer.late_pass = ScanRun::latePass;
    observer.in_bootloader = ScanRun::inBootloader;
    observer.cancelled = ScanRun::cancelled;
    observer.user = &run;
    return client_scan_channel(channelId, &options, &observer);
}

void CANopenWrapper::emitChannelScanProgress(int channelIndex, int percent, const QString &status) {
    emit channelScanProgress(channelIndex, percent, status);
}

void CANopenWrapper::onChannelScanCompleted(int channelIndex, int discoveredCount) {
    const int done = completedChannels.fetch_add(1) + 1;
    emit channelScanCompleted(channelIndex, discoveredCount);
    if (totalChannels > done) {
        qCDebug(lcApp) << "[onChannelScanCompleted] 还有" << (totalChannels - done) << "个通道未完成";
        return;
    }

    finishScan();
}

void CANopenWrapper::scanTaskEnded() {
    if (m_scanTasksLeft > 0) {
        --m_scanTasksLeft;
    }
    // Every channel's task has ended; one that ended without its report (it
    // threw, or the pool dropped it) must not keep the scan running for
    // ever, refusing every later one.
    if (m_scanTasksLeft == 0 && m_scanning && !stopping.load()) {
        qCWarning(lcApp) << "[scanTaskEnded]" << (totalChannels - completedChannels.load())
                         << "个通道未报告结果，扫描结束";
        finishScan();
    }
}

void CANopenWrapper::finishScan() {
    recoverFromHistory();
    m_motorListModel->refreshFromBackend();
    const int count = m_motorListModel->rowCount();
    for (int row = 0; row < count; ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        m_motorListModel->setMotorStatus(nodeId, Available);
    }
    markRecoveredRows();
    // The rebuild forgot which rows have an operation of their own.
    for (auto it = m_pendingOps.constBegin(); it != m_pendingOps.constEnd(); ++it) {
        m_motorListModel->setBusy(it.key(), true);
    }
    emit scanProgress(100, tr("扫描完成，共发现 %1 个电机").arg(count));
    updateStatus(tr("所有通道扫描完成，共发现 %1 个电机").arg(count));
    m_scanning = false;
    emit scanningChanged();
    reportDuplicateNodes();
    // The new rows pair with the folder of the last matching, as the old ones did.
    pairAgain();
    emit scanCompleted(count);
    if (count >= 1) {
        emit motorsListUpdated();
    }
}

// A node id that answered on several channels is listed once, with the first
// of them; the others are offered as unlisted motors, and the operator is
// told in one status line.
void CANopenWrapper::reportDuplicateNodes() {
    QHash<unsigned int, QList<ScanHit>> hits;
    {
        QMutexLocker locker(&g_discovered_motors_mutex);
        hits = m_scanHits;
    }
    QList<unsigned int> nodes = hits.keys();
    std::sort(nodes.begin(), nodes.end());
    QHash<int, QStringList> lostPerChannel;
    QStringList duplicated;
    int answered = 0;
    m_unlisted.clear();
    for (unsigned int node : std::as_const(nodes)) {
        QList<ScanHit> list = hits.value(node);
        answered += static_cast<int>(list.size());
        if (list.size() < 2) {
            continue;
        }
        std::sort(list.begin(), list.end(),
                  [](const ScanHit &a, const ScanHit &b) { return a.channelIndex < b.channelIndex; });
        QStringList names;
        for (const ScanHit &h : std::as_const(list)) {
            names.append(tr("通道 %1").arg(h.channelIndex + 1));
        }
        duplicated.append(tr("节点 %1（%2）").arg(node).arg(names.join(tr("、"))));
        for (int i = 1; i < list.size(); ++i) {
            lostPerChannel[list.at(i).channelIndex].append(QString::number(node));
            m_unlisted.append(list.at(i));
        }
    }
    rebuildUnlistedModel();
    if (duplicated.isEmpty()) {
        return;
    }
    updateStatus(
        tr("扫描共找到 %1 个电机，其中 %2 个的节点ID与其他通道上的电机相同：%3。"
           "列表中每个节点ID只列出第一个通道上的电机，其余的列在“其他通道上的同号电机”中，可以换入列表")
            .arg(answered)
            .arg(m_unlisted.size())
            .arg(duplicated.join(tr("；"))));
    emit unlistedMotorsChanged();
    QList<int> lost = lostPerChannel.keys();
    std::sort(lost.begin(), lost.end());
    for (int c : std::as_const(lost)) {
        emit channelScanNote(
            c, tr("节点 %1 与其他通道重复，未列入列表").arg(lostPerChannel.value(c).join(tr("、"))));
    }
}

void CANopenWrapper::rebuildUnlistedModel() {
    m_unlistedKeys.clear();
    QList<MotorData> rows;
    for (const ScanHit &h : std::as_const(m_unlisted)) {
        m_unlistedKeys.append(m_nextUnlistedKey++);
        if (m_nextUnlistedKey == 0) {
            m_nextUnlistedKey = kUnlistedKeyBase;
        }
        rows.append(MotorListModel::fromDiscovered(h.entry));
    }
    m_unlistedModel->resetRows(m_unlistedKeys, rows);
}

QVariantList CANopenWrapper::unlistedMotors() const {
    QVariantList out;
    for (int i = 0; i < m_unlisted.size(); ++i) {
        const ScanHit &h = m_unlisted.at(i);
        // The row as it is now (state and version after an upgrade).
        const MotorData *now = m_unlistedModel->getMotorData(m_unlistedKeys.value(i));
        const MotorData m = now != nullptr ? *now : MotorListModel::fromDiscovered(h.entry);
        QVariantMap map;
        map.insert(QStringLiteral("nodeId"), m.nodeId);
        map.insert(QStringLiteral("channelPosition"), h.channelIndex + 1);
        map.insert(QStringLiteral("adapterName"), ChannelConfigModel::adapterName(m.deviceType));
        map.insert(QStringLiteral("deviceIndex"), m.deviceIndex);
        map.insert(QStringLiteral("canChannel"), m.canChannel);
        map.insert(QStringLiteral("bitrate"), m.bitrate);
        map.insert(QStringLiteral("firmwareModel"), m.firmwareModel);
        map.insert(QStringLiteral("brakeSuffix"), m.brakeSuffix);
        map.insert(QStringLiteral("encoderName"), m.encoderName);
        map.insert(QStringLiteral("version"), m.version);
        map.insert(QStringLiteral("motorStatus"), static_cast<int>(m.motorStatus));
        map.insert(QStringLiteral("binFilePath"), m.binFilePath);
        map.insert(QStringLiteral("progressText"), m.progressText);
        out.append(map);
    }
    return out;
}

bool CANopenWrapper::listUnlistedMotor(int index) {
    if (index < 0 || index >= m_unlisted.size()) {
        return false;
    }
    const unsigned int nodeId = m_unlisted.at(index).entry.nodeId;
    if (m_scanning) {
        updateStatus(tr("扫描正在进行，请等待完成"));
        return false;
    }
    if (preventAppStartAllActive.load() != 0) {
        updateStatus(tr("交互式强制进入Bootloader已在运行中"));
        return false;
    }
    if (refusePending(nodeId) || refusePending(m_unlistedKeys.value(index))) {
        return false;
    }
    ScanHit incoming = m_unlisted.at(index);
    ScanHit outgoing{-1, {}};
    {
        QMutexLocker locker(&g_discovered_motors_mutex);
        outgoing.entry = g_discovered_motors[nodeId];
        outgoing.channelIndex = m_scanOwner[nodeId];
        g_discovered_motors[nodeId] = incoming.entry;
        m_scanOwner[nodeId] = incoming.channelIndex;
    }
    m_unlisted[index] = outgoing;
    // A different motor: its file must be matched again for its identity.
    // The one that leaves the list keeps its state and version in its new row.
    MotorData leaving = m_motorListModel->getMotorData(nodeId) != nullptr
                            ? *m_motorListModel->getMotorData(nodeId)
                            : MotorListModel::fromDiscovered(outgoing.entry);
    leaving.binFilePath.clear();
    leaving.matchKind = MotorListModel::MatchNone;
    leaving.haveFileVersion = false;
    leaving.busy = false;
    leaving.queued = false;
    const MotorData *arriving = m_unlistedModel->getMotorData(m_unlistedKeys.value(index));
    MotorData entering = arriving != nullptr ? *arriving : MotorListModel::fromDiscovered(incoming.entry);
    entering.binFilePath.clear();
    entering.matchKind = MotorListModel::MatchNone;
    entering.haveFileVersion = false;
    m_unlistedModel->replaceMotor(m_unlistedKeys.value(index), leaving);
    m_motorListModel->replaceMotor(entering);
    updateStatus(tr("节点 %1 现在列出的是通道 %2 上的电机；原来的电机移到“其他通道上的同号电机”中")
                     .arg(nodeId)
                     .arg(incoming.channelIndex + 1));
    emit unlistedMotorsChanged();
    return true;
}
