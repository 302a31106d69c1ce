// Scanning every channel that is up, one task per channel worker.
#include "CANopenWrapper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QMutexLocker>

#include <algorithm>

#include "CANopenWrapper_p.h"
#include "ThreadPool.h"
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
        m_scanAnswers.clear();
    }
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

        qDebug() << "[scanMotorsOnAllChannels] 准备提交通道索引" << i << "[Type=" << identity.deviceType
                 << ", Index=" << identity.deviceIndex << ", Ch=" << identity.canChannel << "]的扫描任务";

        const bool queued = submitForChannel(
            identity,
            [this, identity, i, channelCount, nodeIdMin, nodeIdMax, timeoutMs]() {
                qDebug() << "[scanMotorsOnAllChannels] Lambda开始执行，通道索引" << i
                         << "[Type=" << identity.deviceType << ", Index=" << identity.deviceIndex
                         << ", Ch=" << identity.canChannel << "]";
                int found = 0;
                {
                    ostrelo::ChannelUse channelUse(identity);
                    ostrelo::discardStaleFrames(identity);
                    found =
                        scanMotorsWithProgress(identity, i, channelCount, nodeIdMin, nodeIdMax, timeoutMs);
                }
                qDebug() << "[scanMotorsOnAllChannels] Lambda执行完成，通道索引" << i << "发现" << found
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

        qDebug() << "[scanMotorsOnAllChannels] 发送初始进度信号，通道索引=" << i;
        emit channelScanProgress(i, 0, tr("准备扫描节点 %1-%2").arg(nodeIdMin).arg(nodeIdMax));
    }
    return 0;
}

int CANopenWrapper::scanMotorsWithProgress(CO_CANdeviceConfig_t channelId, int channelIndex, int channelCount,
                                           unsigned int nodeIdMin, unsigned int nodeIdMax,
                                           unsigned int timeoutMs) {
    Q_UNUSED(channelCount);
    Q_UNUSED(timeoutMs); // every node is probed with the identity query's own timing

    // Node ids travel as 8-bit values, but the range arithmetic is done in
    // int: in 8 bits the range 0-255 has 0 nodes and the percentage would
    // divide by zero.
    const int first = static_cast<uint8_t>(nodeIdMin);
    const int last = static_cast<uint8_t>(nodeIdMax);
    if (first > last || first > CLIENT_MAX_NODE_ID) {
        return 0;
    }
    const int total = last - first + 1;
    const int stop = qMin(last, CLIENT_MAX_NODE_ID);

    int found = 0;
    for (int n = first; n <= stop && !stopping.load(); ++n) {
        const int k = n - first + 1;
        const int percent = k * 100 / total;

        client_firmware_info_t info;
        const int r = client_api_query_firmware_info(channelId, static_cast<uint8_t>(n), &info);
        if (r == 0) {
            QMutexLocker locker(&g_discovered_motors_mutex);
            client_discovered_motor_t &entry = g_discovered_motors[n];
            m_scanAnswers[static_cast<unsigned int>(n)].append(channelIndex);
            // One entry per node id: the first channel in the channel list
            // keeps it, whichever worker gets there first.
            if (m_scanOwner[n] < 0 || channelIndex < m_scanOwner[n]) {
                m_scanOwner[n] = channelIndex;
                entry.discovered = 1;
                entry.nodeId = static_cast<uint8_t>(n);
                entry.channelId = channelId;
                entry.info = info;
            }
            ++g_discovered_motor_count;
            ++found;
        }
        // The guard first, so that the text is released inside its window.
        [[maybe_unused]] ostrelo::HandOverGuard handOver;
        const QString text = r == 0 ? tr("扫描节点 ID=%1 (%2/%3) - 发现电机").arg(n).arg(k).arg(total)
                                    : tr("扫描节点 ID=%1 (%2/%3)").arg(n).arg(k).arg(total);
        QMetaObject::invokeMethod(this, "emitChannelScanProgress", Qt::QueuedConnection,
                                  Q_ARG(int, channelIndex), Q_ARG(int, percent), Q_ARG(QString, text));
    }
    return found;
}

void CANopenWrapper::emitChannelScanProgress(int channelIndex, int percent, const QString &status) {
    emit channelScanProgress(channelIndex, percent, status);
}

void CANopenWrapper::onChannelScanCompleted(int channelIndex, int discoveredCount) {
    const int done = completedChannels.fetch_add(1) + 1;
    emit channelScanCompleted(channelIndex, discoveredCount);
    if (totalChannels > done) {
        qDebug() << "[onChannelScanCompleted] 还有" << (totalChannels - done) << "个通道未完成";
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
        qDebug() << "[onChannelScanCompleted]" << (totalChannels - completedChannels.load())
                 << "个通道未报告结果，扫描结束";
        finishScan();
    }
}

void CANopenWrapper::finishScan() {
    m_motorListModel->refreshFromBackend();
    const int count = m_motorListModel->rowCount();
    for (int row = 0; row < count; ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        m_motorListModel->setMotorStatus(nodeId, Available);
    }
    emit scanProgress(100, tr("扫描完成，共发现 %1 个电机").arg(count));
    updateStatus(tr("所有通道扫描完成，共发现 %1 个电机").arg(count));
    m_scanning = false;
    emit scanningChanged();
    reportDuplicateNodes();
    emit scanCompleted(count);
    if (count >= 1) {
        emit motorsListUpdated();
    }
}

// A node id that answered on several channels is listed once, with the first
// of them; the operator is told which motors are not in the list.
void CANopenWrapper::reportDuplicateNodes() {
    QHash<unsigned int, QList<int>> answers;
    {
        QMutexLocker locker(&g_discovered_motors_mutex);
        answers = m_scanAnswers;
    }
    QList<unsigned int> nodes = answers.keys();
    std::sort(nodes.begin(), nodes.end());
    QHash<int, QStringList> lostPerChannel;
    for (unsigned int node : nodes) {
        QList<int> channels = answers.value(node);
        if (channels.size() < 2) {
            continue;
        }
        std::sort(channels.begin(), channels.end());
        QStringList names;
        for (int c : channels) {
            names.append(tr("通道 %1").arg(c + 1));
        }
        updateStatus(tr("节点 %1 在多个通道上重复：%2；列表只保留%3 上的电机")
                         .arg(node)
                         .arg(names.join(tr("、")), names.first()));
        for (int i = 1; i < channels.size(); ++i) {
            lostPerChannel[channels.at(i)].append(QString::number(node));
        }
    }
    QList<int> lost = lostPerChannel.keys();
    std::sort(lost.begin(), lost.end());
    for (int c : lost) {
        emit channelScanNote(
            c, tr("节点 %1 与其他通道重复，未列入列表").arg(lostPerChannel.value(c).join(tr("、"))));
    }
}
