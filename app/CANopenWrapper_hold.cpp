// Interactive hold: keep asking every listed motor to stay in its bootloader
// while the operator power-cycles them, spread over the channel workers.
#include "CANopenWrapper.h"

#include <QDebug>
#include <QMutexLocker>

#include <memory>
#include <vector>

#include "CANopenWrapper_p.h"
#include "ThreadPool.h"
#include "app_log_category.h"
#include "client_api.h"

namespace {

// How long one stop command waits for its acknowledge, the pause after each
// pass over a group's motors, and how long a group keeps asking.
const uint32_t kRoundWaitMs = 10;
const uint32_t kPassPauseMs = 10;
const uint32_t kGroupTimeLimitMs = 60000;
const char *const kGroupPrefix = "[doPreventAppStartGroupTask] 组";

quint64 packGroups(quint32 generation, quint32 count) {
    return (static_cast<quint64>(generation) << 32) | count;
}

} // namespace

bool CANopenWrapper::isPreventAppStartAllActive() const {
    return preventAppStartAllActive.load() != 0;
}

bool CANopenWrapper::holdStillRunning(quint32 generation) const {
    return preventAppStartAllActive.load() != 0 && holdGeneration.load() == generation;
}

// Counts one finished group of `generation`; returns the new count, or -1
// when a newer hold has begun since the group was queued.
int CANopenWrapper::countFinishedGroup(quint32 generation) {
    quint64 current = completedGroups.load();
    for (;;) {
        if (static_cast<quint32>(current >> 32) != generation) {
            return -1;
        }
        const quint64 next = current + 1;
        if (completedGroups.compare_exchange_weak(current, next)) {
            return static_cast<int>(static_cast<quint32>(next));
        }
    }
}

void CANopenWrapper::startPreventAppStartAllInteractive() {
    if (preventAppStartAllActive.load() != 0) {
        updateStatus(tr("交互式强制进入Bootloader已在运行中"));
        return;
    }
    if (m_motorListModel == nullptr || m_motorListModel->rowCount() == 0) {
        updateStatus(tr("没有已扫描的电机"));
        return;
    }

    QList<unsigned int> ids;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        if (m_motorListModel->getMotorStatus(nodeId) == Available) {
            ids.append(nodeId);
        }
    }
    if (ids.isEmpty()) {
        updateStatus(tr("没有Available状态的电机"));
        return;
    }
    if (!ensureThreadPool()) {
        return;
    }
    const int threads = static_cast<int>(availableChannelList.size());
    if (threads == 0) {
        updateStatus(tr("没有可用线程"));
        return;
    }

    const int motors = static_cast<int>(ids.size());
    const int groupSize = (motors + threads - 1) / threads;
    const int groups = (motors + groupSize - 1) / groupSize;

    const quint32 generation = holdGeneration.load() + 1;
    holdGeneration.store(generation);
    completedGroups.store(packGroups(generation, 0));
    totalGroups.store(groups);
    preventAppStartNodes = ids;
    preventAppStartAllActive.store(1);

    qCDebug(lcApp) << "[startPreventAppStartAllInteractive] 开始交互式强制进入Bootloader，电机数:" << motors
                   << "，线程数:" << threads << "，分组数:" << groups;

    const QVariantList channels = availableChannelList;
    for (int g = 0; g < groups; ++g) {
        const int begin = g * groupSize;
        const int end = qMin((g + 1) * groupSize, motors);
        const QList<unsigned int> group = ids.mid(begin, end - begin);

        // Each motor's channel is read from the model here, on the main
        // thread; the group task only gets the copies.
        QList<HoldMotor> motorsOfGroup;
        for (unsigned int nodeId : group) {
            CO_CANdeviceConfig_t channel;
            if (getChannelInfoFromModel(nodeId, channel)) {
                motorsOfGroup.append(HoldMotor{nodeId, channel});
            }
        }

        const QVariantMap map = channels.at(g).toMap();
        CO_CANdeviceConfig_t worker;
        worker.deviceType = map.value(QStringLiteral("deviceType")).toUInt();
        worker.deviceIndex = map.value(QStringLiteral("deviceIndex")).toUInt();
        worker.canChannel = map.value(QStringLiteral("canChannel")).toUInt();
        worker.bitrate = static_cast<uint16_t>(map.value(QStringLiteral("bitrate")).toUInt());
        const int idCount = static_cast<int>(group.size());
        // Counts the group until its task object is gone (run or dropped),
        // so that cleanupAll can wait for it.
        holdGroupsRunning.fetch_add(1);
        std::shared_ptr<void> running(nullptr, [this](void *) { holdGroupsRunning.fetch_sub(1); });
        submitForChannel(worker, [this, running, motorsOfGroup, idCount, g, generation, groups]() {
            runHoldGroup(motorsOfGroup, idCount, g, generation, groups);
        });
    }

    updateStatus(tr("开始交互式强制进入Bootloader，共 %1 个电机，分为 %2 组任务。请手动断电并重新上电")
                     .arg(motors)
                     .arg(groups));
}

void CANopenWrapper::stopPreventAppStartAllInteractive() {
    if (preventAppStartAllActive.load() == 0) {
        return;
    }
    preventAppStartAllActive.store(0);
    preventAppStartNodes.clear();
    updateStatus(tr("已停止交互式强制进入Bootloader操作"));
}

void CANopenWrapper::doPreventAppStartGroupTask(const QList<unsigned int> &nodeIds, int groupIndex) {
    QList<HoldMotor> motors;
    for (unsigned int nodeId : nodeIds) {
        CO_CANdeviceConfig_t channel;
        if (channelForWorker(nodeId, channel)) {
            motors.append(HoldMotor{nodeId, channel});
        }
    }
    runHoldGroup(motors, static_cast<int>(nodeIds.size()), groupIndex, holdGeneration.load(),
                 totalGroups.load());
}

// The controller's side of a group's hold: each request/answer pair holds
// the motor's channel alone (a channel that another thread is using is
// passed over for that pass), and each answer goes to the main thread.
struct CANopenWrapper::HoldRun {
    CANopenWrapper *w;
    const QList<HoldMotor> *motors;
    int groupIndex;
    quint32 generation;
    std::shared_lock<std::shared_mutex> store;
    QMutex *lock = nullptr;

    static int enter(client_channel_id_t channel, void *user) {
        HoldRun *r = static_cast<HoldRun *>(user);
        r->store = std::shared_lock<std::shared_mutex>(ostrelo::channelStoreLock(), std::try_to_lock);
        if (!r->store.owns_lock()) {
            return 0;
        }
        r->lock = ostrelo::channelLock(channel);
        if (!r->lock->tryLock()) {
            r->store.unlock();
            return 0;
        }
        return 1;
    }
    static void leave(client_channel_id_t, void *user) {
        HoldRun *r = static_cast<HoldRun *>(user);
        r->lock->unlock();
        r->store.unlock();
    }
    static void held(size_t index, void *user) {
        HoldRun *r = static_cast<HoldRun *>(user);
        const unsigned int nodeId = r->motors->at(static_cast<qsizetype>(index)).nodeId;
        qCDebug(lcApp) << kGroupPrefix << r->groupIndex << "电机" << nodeId << "收到响应";
        [[maybe_unused]] ostrelo::HandOverGuard handOver;
        QMetaObject::invokeMethod(r->w, "notifyPreventAppStartSuccess", Qt::QueuedConnection,
                                  Q_ARG(quint32, nodeId));
    }
    static int stopped(void *user) {
        const HoldRun *r = static_cast<const HoldRun *>(user);
        return r->w->holdStillRunning(r->generation) ? 0 : 1;
    }
};

void CANopenWrapper::runHoldGroup(const QList<HoldMotor> &motors, int idCount, int groupIndex,
                                  quint32 generation, int groupCount) {
    qCInfo(lcApp) << kGroupPrefix << groupIndex << "开始，包含" << idCount << "个电机";

    if (motors.isEmpty()) {
        qCInfo(lcApp) << kGroupPrefix << groupIndex << "没有有效的电机任务";
        const int done = countFinishedGroup(generation);
        if (done >= groupCount) {
            [[maybe_unused]] ostrelo::HandOverGuard handOver;
            QMetaObject::invokeMethod(
                this,
                [this, generation, done, groupCount]() { finishEmptyHold(generation, done, groupCount); },
                Qt::QueuedConnection);
        }
        return;
    }

    std::vector<client_hold_motor_t> list;
    for (const HoldMotor &m : motors) {
        list.push_back(client_hold_motor_t{m.channelId, static_cast<uint8_t>(m.nodeId), 0});
    }
    HoldRun run{this, &motors, groupIndex, generation, {}, nullptr};
    client_hold_observer_t observer = {};
    observer.held = HoldRun::held;
    observer.enter_channel = HoldRun::enter;
    observer.leave_channel = HoldRun::leave;
    observer.cancelled = HoldRun::stopped;
    observer.user = &run;
    switch (client_hold_motors(list.data(), list.size(), kGroupTimeLimitMs, kRoundWaitMs, kPassPauseMs,
                               &observer)) {
    case CLIENT_HOLD_STOPPED:
        qCInfo(lcApp) << kGroupPrefix << groupIndex << "操作已停止";
        return;
    case CLIENT_HOLD_TIME_UP:
        qCInfo(lcApp) << kGroupPrefix << groupIndex << "超时";
        break;
    case CLIENT_HOLD_ALL_HELD:
        qCInfo(lcApp) << kGroupPrefix << groupIndex << "所有电机已响应";
        break;
    }
    int answered = 0;
    for (const client_hold_motor_t &m : list) {
        answered += m.held != 0 ? 1 : 0;
    }
    qCInfo(lcApp) << kGroupPrefix << groupIndex << "完成，响应数:" << answered << "/" << motors.size();
    const int done = countFinishedGroup(generation);
    if (done < 0 || done < groupCount) {
        return;
    }
    [[maybe_unused]] ostrelo::HandOverGuard handOver;
    QMetaObject::invokeMethod(
        this, [this, generation]() { finishHold(generation); }, Qt::QueuedConnection);
}

void CANopenWrapper::notifyPreventAppStartSuccess(unsigned int nodeId) {
    m_motorListModel->setMotorStatus(nodeId, Bootloader);
    emit motorStatusChanged(nodeId, tr("Bootloader"));
    emit preventAppStartAllProgress(nodeId, true);
    updateStatus(tr("节点 %1 成功进入Bootloader模式").arg(nodeId));
}

void CANopenWrapper::finishHold(quint32 generation) {
    // A stop (or a stop and a new start) after the last group posted this
    // must not report a completion.
    if (!holdStillRunning(generation)) {
        return;
    }
    preventAppStartAllActive.store(0);
    const int totalCount = static_cast<int>(preventAppStartNodes.size());
    int successCount = 0;
    if (m_motorListModel != nullptr) {
        for (unsigned int nodeId : preventAppStartNodes) {
            if (m_motorListModel->getMotorData(nodeId) != nullptr &&
                m_motorListModel->getMotorStatus(nodeId) == Bootloader) {
                ++successCount;
            }
        }
    }
    emit preventAppStartAllCompleted(successCount, totalCount);
    updateStatus(tr("交互式强制进入Bootloader完成，成功 %1/%2 个电机").arg(successCount).arg(totalCount));
    preventAppStartNodes.clear();
}

void CANopenWrapper::finishEmptyHold(quint32 generation, int groupsDone, int groupsTotal) {
    if (!holdStillRunning(generation)) {
        return;
    }
    preventAppStartAllActive.store(0);
    emit preventAppStartAllCompleted(0, 0);
    updateStatus(tr("所有任务完成（组 %1/%2）").arg(groupsDone).arg(groupsTotal));
}
