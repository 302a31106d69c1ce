#include "CANopenWrapper.h"

#include <QCoreApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QPair>
#include <QThread>

#include <cstring>
#include <map>
#include <memory>

#include "CANopenWrapper_p.h"
#include "ThreadPool.h"
#include "client_api.h"
#include "device_mng.h"

QMutex CANopenWrapper::g_discovered_motors_mutex;

namespace ostrelo {

QMutex *channelLock(const CO_CANdeviceConfig_t &channel) {
    static QMutex registryMutex;
    static std::map<QString, std::unique_ptr<QMutex>> locks;
    const QString key =
        ThreadPool::makeChannelKey(channel.deviceType, channel.deviceIndex, channel.canChannel);
    QMutexLocker locker(&registryMutex);
    std::unique_ptr<QMutex> &slot = locks[key];
    if (!slot) {
        slot = std::make_unique<QMutex>();
    }
    return slot.get();
}

std::shared_mutex &channelStoreLock() {
    static std::shared_mutex lock;
    return lock;
}

void discardStaleFrames(const CO_CANdeviceConfig_t &channel) {
    CO_CANrxMsg_t frame;
    // Bounded: a bus that keeps talking must not hold the task here.
    for (int i = 0; i < 1024; ++i) {
        if (client_api_receive_raw_can(channel, &frame, 1) != 0) {
            break;
        }
    }
}

#if defined(__SANITIZE_THREAD__)
std::mutex &handOverMutex() {
    static std::mutex m;
    return m;
}
#endif

} // namespace ostrelo

CANopenWrapper::CANopenWrapper(QObject *parent) : QObject(parent) {
    m_motorListModel = new MotorListModel(this);
    setStatusMessage(QStringLiteral("未初始化"));
}

CANopenWrapper::~CANopenWrapper() {
    // Queued tasks call back into this object: let them finish (or be
    // skipped) before the members go away.
    shuttingDown.store(true);
    preventAppStartAllActive.store(0);
    QElapsedTimer timer;
    timer.start();
    while (tasksInFlight.load() > 0 && timer.elapsed() < 120000) {
        QThread::msleep(5);
    }
    if (m_initialized) {
        cleanupAll();
    }
}

bool CANopenWrapper::onMainThread() const {
    return QThread::currentThread() == thread();
}

// Worker halves never touch the model or the status text themselves: they
// hand each step to the main thread as a queued call on this object. Queued
// calls posted by one thread are delivered in posting order, so the main
// thread sees the steps in the order the worker made them; and they are only
// delivered once the main thread is back in its event loop, that is after the
// slot that queued the task (and set its Busy mark) has returned.
void CANopenWrapper::runOnMainThread(std::function<void()> fn) {
    if (onMainThread()) {
        fn();
        return;
    }
    [[maybe_unused]] ostrelo::HandOverGuard handOver;
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}

bool CANopenWrapper::event(QEvent *e) {
    ostrelo::acceptHandOver();
    return QObject::event(e);
}

void CANopenWrapper::setStatusMessage(const QString &message) {
    if (message == m_statusMessage) {
        return;
    }
    m_statusMessage = message;
    emit statusMessageChanged(message);
}

void CANopenWrapper::updateStatus(const QString &message) {
    if (!onMainThread()) {
        runOnMainThread([this, message]() { updateStatus(message); });
        return;
    }
    qDebug() << "[CANopenWrapper]" << message;
    setStatusMessage(message);
}

void CANopenWrapper::setInitialized(bool value) {
    if (value == m_initialized) {
        return;
    }
    m_initialized = value;
    emit initializedChanged();
    updateStatus(value ? QStringLiteral("通道已初始化") : QStringLiteral("通道未初始化"));
}

void CANopenWrapper::setDeviceType(unsigned int value) {
    if (value == m_deviceType) {
        return;
    }
    m_deviceType = value;
    updateStatus(QStringLiteral("设备类型设置为: %1").arg(value));
}

void CANopenWrapper::setDeviceIndex(unsigned int value) {
    if (value == m_deviceIndex) {
        return;
    }
    m_deviceIndex = value;
    updateStatus(QStringLiteral("设备索引设置为: %1").arg(value));
}

void CANopenWrapper::setCanChannel(unsigned int value) {
    if (value == m_canChannel) {
        return;
    }
    m_canChannel = value;
    updateStatus(QStringLiteral("CAN通道设置为: %1").arg(value));
}

void CANopenWrapper::setBitrate(unsigned int value) {
    if (value == m_bitrate) {
        return;
    }
    m_bitrate = value;
    updateStatus(QStringLiteral("波特率设置为: %1 kbps").arg(value));
}

void CANopenWrapper::setBackendZhcx() {
    client_api_set_backend_zhcx();
    updateStatus(QStringLiteral("后端已设置为zhcx"));
}

void CANopenWrapper::setBackendSocketCan() {
    client_api_set_backend_socketcan();
    updateStatus(QStringLiteral("后端已设置为socketcan"));
}

int CANopenWrapper::setChannelConfigs(const QVariantList &configs) {
    if (configs.isEmpty()) {
        updateStatus(QStringLiteral("配置列表为空"));
        return 0;
    }
    qDebug() << "[setChannelConfigs] Received" << configs.size() << "configuration items";

    QVector<client_channel_id_t> ids;
    for (int i = 0; i < configs.size(); ++i) {
        const QVariantMap item = configs.at(i).toMap();
        const bool enabled = item.value(QStringLiteral("enabled"), true).toBool();
        if (!enabled) {
            qDebug() << "[setChannelConfigs] Config item" << (i + 1) << "is disabled, skipping";
            continue;
        }
        const unsigned int type = item.value(QStringLiteral("deviceType"), 0u).toUInt();
        const unsigned int index = item.value(QStringLiteral("deviceIndex"), 0u).toUInt();
        const unsigned int channel = item.value(QStringLiteral("canChannel"), 0u).toUInt();
        const unsigned int rate = item.value(QStringLiteral("bitrate"), 1000u).toUInt();
        qDebug() << "[setChannelConfigs] Config item" << (i + 1) << ":"
                 << "enabled="
                 << "true"
                 << "deviceType=" << type << "deviceIndex=" << index << "canChannel=" << channel
                 << "bitrate=" << rate << "kbps";
        client_channel_id_t id;
        id.deviceType = type;
        id.deviceIndex = index;
        id.canChannel = channel;
        id.bitrate = static_cast<uint16_t>(rate);
        ids.append(id);
        qDebug() << "[setChannelConfigs] Created channelId:"
                 << "deviceType=" << id.deviceType << "deviceIndex=" << id.deviceIndex
                 << "canChannel=" << id.canChannel << "bitrate=" << id.bitrate << "kbps";
    }

    if (ids.isEmpty()) {
        updateStatus(QStringLiteral("没有启用的配置项"));
        qDebug() << "[setChannelConfigs] Warning: No enabled configuration items";
        return 0;
    }
    qDebug() << "[setChannelConfigs] Ready to set" << ids.size() << "channel configurations";

    const int r = device_manager_set_channel_configs(ids.constData(), static_cast<size_t>(ids.size()));
    if (r > 0) {
        updateStatus(QStringLiteral("成功设置 %1 个通道配置").arg(r));
        qDebug() << "[setChannelConfigs] Successfully set" << r << "channel configurations";
        return r;
    }
    updateStatus(QStringLiteral("设置通道配置失败"));
    qDebug() << "[setChannelConfigs] Failed to set channel configurations";
    return r;
}

int CANopenWrapper::applyChannelConfigs() {
    const int r = device_manager_apply_config(8, 8);
    if (r > 0) {
        setInitialized(true);
        updateStatus(QStringLiteral("成功初始化 %1 个通道").arg(r));

        client_channel_id_t buffer[64];
        const int n = device_manager_get_configured_channels_info(buffer, 64);
        qDebug() << "[applyChannelConfigs] Retrieved" << n << "configured channels:";
        if (n <= 0) {
            qDebug() << "[applyChannelConfigs] Warning: No configured channel information retrieved";
        } else {
            for (int i = 0; i < n && i < 64; ++i) {
                qDebug() << "  Channel" << (i + 1) << ":"
                         << "deviceType=" << buffer[i].deviceType << "deviceIndex=" << buffer[i].deviceIndex
                         << "canChannel=" << buffer[i].canChannel << "bitrate=" << buffer[i].bitrate
                         << "kbps";
            }
        }
    } else {
        setInitialized(false);
        updateStatus(QStringLiteral("初始化通道失败"));
    }

    getAvailableChannels();
    emit channelsStatusUpdated(availableChannelList);

    ThreadPool *pool = ThreadPool::instance();
    if (r > 0 && !pool->poolInitialized) {
        pool->init(availableChannelList);
    }
    return r;
}

int CANopenWrapper::autoConfigureChannels() {
    setBackendZhcx();

    QVariantList items;
    const unsigned int pairs[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    for (const auto &p : pairs) {
        QVariantMap item;
        item.insert(QStringLiteral("deviceType"), 4u);
        item.insert(QStringLiteral("deviceIndex"), p[0]);
        item.insert(QStringLiteral("canChannel"), p[1]);
        item.insert(QStringLiteral("bitrate"), 1000u);
        item.insert(QStringLiteral("enabled"), true);
        items.append(item);
    }
    qDebug() << "[autoConfigureChannels] 自动配置" << 4 << "个通道";

    const int s = setChannelConfigs(items);
    if (s <= 0) {
        updateStatus(QStringLiteral("自动配置失败：无法设置通道配置"));
        return 0;
    }
    qDebug() << "[autoConfigureChannels] 成功设置" << s << "个通道配置";

    const int a = applyChannelConfigs();
    if (a < 1) {
        updateStatus(QStringLiteral("自动配置失败：无法应用通道配置"));
        return 0;
    }
    qDebug() << "[autoConfigureChannels] 成功应用" << a << "个通道配置";
    updateStatus(QStringLiteral("一键配置完成：成功配置并应用 %1 个通道").arg(a));
    return a;
}

QVariantList CANopenWrapper::getAvailableChannels() {
    availableChannelList.clear();

    client_channel_id_t buffer[64];
    const int n = device_manager_get_available_channels(buffer, 64);
    qDebug() << "[getAvailableChannels] Retrieved" << n << "available channels:";
    for (int i = 0; i < n && i < 64; ++i) {
        const client_channel_id_t &id = buffer[i];
        QVariantMap map;
        map.insert(QStringLiteral("deviceType"), static_cast<unsigned int>(id.deviceType));
        map.insert(QStringLiteral("deviceTypeName"), MotorListModel::deviceTypeName(id.deviceType));
        map.insert(QStringLiteral("deviceIndex"), static_cast<unsigned int>(id.deviceIndex));
        map.insert(QStringLiteral("canChannel"), static_cast<unsigned int>(id.canChannel));
        map.insert(QStringLiteral("bitrate"), static_cast<int>(id.bitrate));
        availableChannelList.append(map);
        qDebug() << "  Channel" << (i + 1) << ":"
                 << "deviceType=" << id.deviceType
                 << "deviceTypeName=" << MotorListModel::deviceTypeName(id.deviceType)
                 << "deviceIndex=" << id.deviceIndex << "canChannel=" << id.canChannel
                 << "bitrate=" << id.bitrate << "kbps";
    }
    if (n <= 0) {
        qDebug() << "[getAvailableChannels] Warning: No available channels retrieved";
    }
    return availableChannelList;
}

MotorListModel *CANopenWrapper::motorListModel() const {
    return m_motorListModel;
}

int CANopenWrapper::cacheDirectoryBinFiles(const QString &folderPath) {
    const QByteArray path = folderPath.toUtf8();
    const int n = client_api_cache_directory_bin_files(path.constData());
    updateStatus(QStringLiteral("缓存了 %1 个.bin文件").arg(n));
    return n;
}

int CANopenWrapper::matchBinFiles(const QString &folderPath) {
    const QByteArray path = folderPath.toUtf8();
    QList<QPair<unsigned int, QString>> matches;
    int n = 0;
    {
        // Matching reads the discovered-motor table; so does the walk below.
        QMutexLocker locker(&g_discovered_motors_mutex);
        n = client_api_match_bin_files(path.constData());
        for (unsigned int k = 1; k <= CLIENT_MAX_NODE_ID; ++k) {
            if (g_discovered_motors[k].nodeId == 0 || !g_matched_files[k].matched) {
                continue;
            }
            const char *full = g_matched_files[k].fullPath;
            const void *nul = std::memchr(full, '\0', sizeof(g_matched_files[k].fullPath));
            const qsizetype len = nul != nullptr
                                      ? static_cast<const char *>(nul) - full
                                      : static_cast<qsizetype>(sizeof(g_matched_files[k].fullPath));
            matches.append({k, QString::fromUtf8(full, len)});
        }
    }
    updateStatus(QStringLiteral("匹配了 %1 个文件").arg(n));
    for (const auto &m : matches) {
        m_motorListModel->setBinFilePath(m.first, m.second);
    }
    return n;
}

bool CANopenWrapper::getChannelInfoFromModel(unsigned int nodeId, CO_CANdeviceConfig_t &out) {
    const MotorData *m = m_motorListModel != nullptr ? m_motorListModel->getMotorData(nodeId) : nullptr;
    if (m == nullptr) {
        updateStatus(QStringLiteral("未找到节点 %1 的信息").arg(nodeId));
        return false;
    }
    out.deviceType = m->deviceType;
    out.deviceIndex = m->deviceIndex;
    out.canChannel = m->canChannel;
    out.bitrate = static_cast<uint16_t>(m->bitrate);
    return true;
}

bool CANopenWrapper::channelForWorker(unsigned int nodeId, CO_CANdeviceConfig_t &out) {
    if (onMainThread()) {
        return getChannelInfoFromModel(nodeId, out);
    }
    // Called on a worker: the model is read on its own thread only.
    bool found = false;
    CO_CANdeviceConfig_t channel{};
    QMetaObject::invokeMethod(
        this, [this, nodeId, &found, &channel]() { found = getChannelInfoFromModel(nodeId, channel); },
        Qt::BlockingQueuedConnection);
    if (found) {
        out = channel;
    }
    return found;
}

bool CANopenWrapper::ensureThreadPool() {
    ThreadPool *pool = ThreadPool::instance();
    if (pool->poolInitialized) {
        return true;
    }
    if (availableChannelList.isEmpty()) {
        getAvailableChannels();
    }
    if (availableChannelList.isEmpty()) {
        updateStatus(QStringLiteral("没有可用通道，无法初始化线程池"));
        return false;
    }
    pool->init(availableChannelList);
    return pool->poolInitialized;
}

namespace {

// Counts a task of the controller from queueing until its function object is
// destroyed, whether it ran or was dropped by the pool.
struct TaskToken {
    explicit TaskToken(std::atomic<int> &counter) : counter(counter) { counter.fetch_add(1); }
    ~TaskToken() { counter.fetch_sub(1); }
    std::atomic<int> &counter;
};

} // namespace

bool CANopenWrapper::submitForChannel(const CO_CANdeviceConfig_t &channel, std::function<void()> task) {
    auto token = std::make_shared<TaskToken>(tasksInFlight);
    ThreadPool::instance()->submitTask(channel.deviceType, channel.deviceIndex, channel.canChannel,
                                       [this, token, task = std::move(task)]() {
                                           if (shuttingDown.load()) {
                                               return;
                                           }
                                           task();
                                       });
    return true;
}

void CANopenWrapper::cleanupAll() {
    {
        // Waits for a worker that is inside a channel (a transfer may take a
        // while): freeing the channels under it would crash the program.
        std::unique_lock<std::shared_mutex> store(ostrelo::channelStoreLock());
        client_api_manager_cleanup_all();
    }
    if (m_initialized) {
        m_initialized = false;
        emit initializedChanged();
        updateStatus(QStringLiteral("通道未初始化"));
    }
    updateStatus(QStringLiteral("所有资源已清理"));
}
