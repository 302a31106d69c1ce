#include "CANopenWrapper.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMutexLocker>
#include <QPair>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

#include "CANopenWrapper_p.h"
#include "ChannelConfigModel.h"
#include "HistoryModel.h"
#include "ControlCAN.h"
#include "StatusLogModel.h"
#include "app_log_category.h"
#include "ThreadPool.h"
#include "UpgradeHistoryLog.h"
#include "can_backend.h"
#include "can_backend_socketcan.h"
#include "can_backend_zhcx.h"
#include "client_api.h"
#include "client_api_names.h"
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

#if defined(__SANITIZE_THREAD__)
std::mutex &handOverMutex() {
    static std::mutex m;
    return m;
}
#endif

} // namespace ostrelo

namespace {

// OSTRELO_CAN unset, empty, "sim" or "sim:<scenario>": the simulated bench.
bool simulatedTransportChosen() {
    const QString value = qEnvironmentVariable("OSTRELO_CAN").trimmed();
    return value.isEmpty() || value == QLatin1String("sim") || value.startsWith(QLatin1String("sim:"));
}

} // namespace

CANopenWrapper::CANopenWrapper(QObject *parent) : QObject(parent), m_history(new UpgradeHistoryLog) {
    m_motorListModel = new MotorListModel(this);
    m_unlistedModel = new MotorListModel(this);
    m_motorTable = new MotorTableModel(m_motorListModel, this);
    // The box of the motors that are not listed shows them as they are now.
    connect(m_unlistedModel, &QAbstractItemModel::dataChanged, this, &CANopenWrapper::unlistedMotorsChanged);
    m_statusLog = new StatusLogModel(1000, this);
    m_progress = new ProgressCoalescer(
        [this](unsigned int key, quint64 transferred, quint64 total) {
            const int percent = total == 0 ? 0 : static_cast<int>(transferred * 100u / total);
            if (isListedKey(key)) {
                emitUpgradeProgressPercent(key, percent, transferred, total);
            } else {
                m_unlistedModel->setProgress(key, percent, transferText(transferred, total, percent));
            }
        },
        100, this);
    for (int &owner : m_scanOwner) {
        owner = -1;
    }
    setStatusMessage(tr("未初始化"));
    // A transport that cannot work (a malformed OSTRELO_CAN, a SocketCAN
    // interface missing or down) is said in the window from the start, not
    // only on the terminal.
    if (const char *problem = client_api_transport_problem()) {
        m_transportProblem = QString::fromUtf8(problem);
        setStatusMessage(tr("CAN传输不可用：%1").arg(transportProblemText(m_transportProblem)));
        m_statusLog->append(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), m_statusMessage);
    }
    m_simulatedBench = m_transportProblem.isEmpty() && simulatedTransportChosen();
    connect(this, &CANopenWrapper::upgradeCompleted, this, &CANopenWrapper::noteUpgradeResult);
    // What the rows show follows the controller's own signals, so that the
    // page only binds the model's roles.
    connect(this, &CANopenWrapper::upgradeProgressPercent, this, &CANopenWrapper::showProgress);
    connect(this, &CANopenWrapper::motorStatusChanged, m_motorListModel, &MotorListModel::setStatusText);
}

QObject *CANopenWrapper::statusLog() const {
    return m_statusLog;
}

QString CANopenWrapper::transportProblemText(const QString &problem) {
    static const QRegularExpression invalid(QStringLiteral("^OSTRELO_CAN='(.*)' is not valid; "));
    static const QRegularExpression missing(QStringLiteral("^SocketCAN interface (\\S+) is missing$"));
    static const QRegularExpression down(QStringLiteral("^SocketCAN interface (\\S+) is down; "));
    QRegularExpressionMatch m = invalid.match(problem);
    if (m.hasMatch()) {
        return tr("OSTRELO_CAN的值“%1”无效；可用的写法：不设置或 sim（模拟台架）、sim:/场景文件路径、"
                  "socketcan:0.0=can0,0.1=can1（适配器.通道=接口）、lib:/库文件路径。所有适配器操作都会失败。")
            .arg(m.captured(1));
    }
    if (problem.startsWith(QLatin1String("OSTRELO_CAN=sim: this program has no simulated bench"))) {
        return tr("OSTRELO_CAN=sim：本程序没有内置模拟台架；请使用 OSTRELO_CAN=socketcan:... 或 "
                  "OSTRELO_CAN=lib:...");
    }
    m = missing.match(problem);
    if (m.hasMatch()) {
        return tr("SocketCAN接口 %1 不存在").arg(m.captured(1));
    }
    m = down.match(problem);
    if (m.hasMatch()) {
        return tr("SocketCAN接口 %1 未启用；请用以下命令启用：ip link set %1 up type can bitrate <bit/s>")
            .arg(m.captured(1));
    }
    return problem;
}

CANopenWrapper::~CANopenWrapper() {
    // Queued tasks call back into this object: let them finish (or be
    // skipped) before the members go away.
    shuttingDown.store(true);
    stopping.store(true);
    preventAppStartAllActive.store(0);
    QElapsedTimer timer;
    timer.start();
    while ((tasksInFlight.load() > 0 || tasksNotifying.load() > 0) && timer.elapsed() < 120000) {
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
    // Transfer progress held back by the coalescer goes first: this step is newer.
    m_progress->flushPending();
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
    qCInfo(lcApp) << "[CANopenWrapper]" << message;
    m_statusLog->append(QTime::currentTime().toString(QStringLiteral("HH:mm:ss")), message);
    setStatusMessage(message);
}

void CANopenWrapper::setInitialized(bool value) {
    if (value == m_initialized) {
        return;
    }
    m_initialized = value;
    emit initializedChanged();
    updateStatus(value ? tr("通道已初始化") : tr("通道未初始化"));
}

void CANopenWrapper::setDeviceType(unsigned int value) {
    if (value == m_deviceType) {
        return;
    }
    m_deviceType = value;
    emit channelChoiceChanged();
    updateStatus(tr("设备类型设置为: %1").arg(value));
}

void CANopenWrapper::setDeviceIndex(unsigned int value) {
    if (value == m_deviceIndex) {
        return;
    }
    m_deviceIndex = value;
    emit channelChoiceChanged();
    updateStatus(tr("设备索引设置为: %1").arg(value));
}

void CANopenWrapper::setCanChannel(unsigned int value) {
    if (value == m_canChannel) {
        return;
    }
    m_canChannel = value;
    emit channelChoiceChanged();
    updateStatus(tr("CAN通道设置为: %1").arg(value));
}

void CANopenWrapper::setBitrate(unsigned int value) {
    if (value == m_bitrate) {
        return;
    }
    m_bitrate = value;
    emit channelChoiceChanged();
    updateStatus(tr("波特率设置为: %1 kbps").arg(value));
}

int CANopenWrapper::configuredChannels() const {
    int n = 0;
    for (uint8_t d = 0; d < g_device_manager.deviceCount && d < CLIENT_MAX_DEVICES; ++d) {
        for (const client_channel_context_t &ch : g_device_manager.devices[d].channels) {
            n += ch.configed ? 1 : 0;
        }
    }
    return n;
}

int CANopenWrapper::configuredChannelsNotUp() const {
    int n = 0;
    for (uint8_t d = 0; d < g_device_manager.deviceCount && d < CLIENT_MAX_DEVICES; ++d) {
        for (const client_channel_context_t &ch : g_device_manager.devices[d].channels) {
            n += ch.configed && !ch.initialized ? 1 : 0;
        }
    }
    return n;
}

bool CANopenWrapper::channelsUp() const {
    client_channel_id_t buffer[64];
    return device_manager_get_available_channels(buffer, 64) > 0;
}

// The backend table is one process-wide pointer that the workers read on
// every frame; switching it under live channels would hand their adapter
// handles to the other backend. Selecting the one in use is harmless.
bool CANopenWrapper::refuseBackendChange(const void *wanted) {
    if (can_backend_get() == wanted || !channelsUp()) {
        return false;
    }
    updateStatus(tr("通道已启动，不能切换后端；请先关闭程序再选择后端"));
    return true;
}

void CANopenWrapper::setBackendZhcx() {
    if (refuseBackendChange(&ZHCX_OPS)) {
        return;
    }
    client_api_set_backend_zhcx();
    updateStatus(tr("后端已设置为zhcx"));
}

void CANopenWrapper::setBackendSocketCan() {
    if (refuseBackendChange(&SOCK_OPS)) {
        return;
    }
    client_api_set_backend_socketcan();
    updateStatus(tr("后端已设置为socketcan"));
}

int CANopenWrapper::setChannelConfigs(const QVariantList &configs) {
    if (configs.isEmpty()) {
        updateStatus(tr("配置列表为空"));
        return 0;
    }
    qCInfo(lcApp) << "[setChannelConfigs] Received" << configs.size() << "configuration items";

    QVector<client_channel_id_t> ids;
    for (int i = 0; i < configs.size(); ++i) {
        const QVariantMap item = configs.at(i).toMap();
        const bool enabled = item.value(QStringLiteral("enabled"), true).toBool();
        if (!enabled) {
            qCInfo(lcApp) << "[setChannelConfigs] Config item" << (i + 1) << "is disabled, skipping";
            continue;
        }
        const unsigned int type = item.value(QStringLiteral("deviceType"), 0u).toUInt();
        const unsigned int index = item.value(QStringLiteral("deviceIndex"), 0u).toUInt();
        const unsigned int channel = item.value(QStringLiteral("canChannel"), 0u).toUInt();
        const unsigned int rate = item.value(QStringLiteral("bitrate"), 1000u).toUInt();
        qCInfo(lcApp) << "[setChannelConfigs] Config item" << (i + 1) << ":"
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
        qCInfo(lcApp) << "[setChannelConfigs] Created channelId:"
                      << "deviceType=" << id.deviceType << "deviceIndex=" << id.deviceIndex
                      << "canChannel=" << id.canChannel << "bitrate=" << id.bitrate << "kbps";
    }

    if (ids.isEmpty()) {
        updateStatus(tr("没有启用的配置项"));
        qCWarning(lcApp) << "[setChannelConfigs] Warning: No enabled configuration items";
        return 0;
    }
    qCInfo(lcApp) << "[setChannelConfigs] Ready to set" << ids.size() << "channel configurations";

    const int r = device_manager_set_channel_configs(ids.constData(), static_cast<size_t>(ids.size()));
    if (r > 0) {
        updateStatus(tr("成功设置 %1 个通道配置").arg(r));
        qCInfo(lcApp) << "[setChannelConfigs] Successfully set" << r << "channel configurations";
        return r;
    }
    updateStatus(tr("设置通道配置失败"));
    qCWarning(lcApp) << "[setChannelConfigs] Failed to set channel configurations";
    return r;
}

int CANopenWrapper::applyChannelConfigs() {
    const int r = device_manager_apply_config(8, 8);
    if (r > 0) {
        setInitialized(true);
        updateStatus(tr("成功初始化 %1 个通道").arg(r));

        client_channel_id_t buffer[64];
        const int n = device_manager_get_configured_channels_info(buffer, 64);
        qCInfo(lcApp) << "[applyChannelConfigs] Retrieved" << n << "configured channels:";
        if (n <= 0) {
            qCWarning(lcApp) << "[applyChannelConfigs] Warning: No configured channel information retrieved";
        } else {
            for (int i = 0; i < n && i < 64; ++i) {
                qCInfo(lcApp) << "  Channel" << (i + 1) << ":"
                              << "deviceType=" << buffer[i].deviceType
                              << "deviceIndex=" << buffer[i].deviceIndex
                              << "canChannel=" << buffer[i].canChannel << "bitrate=" << buffer[i].bitrate
                              << "kbps";
            }
        }
    }

    getAvailableChannels();
    // A configured channel that is not up failed to come up, now or before;
    // the operator must hear of it, whatever else came up.
    const int notUp = configuredChannelsNotUp();
    if (r <= 0) {
        if (m_initialized && !availableChannelList.isEmpty()) {
            // Nothing new came up, but the channels applied before still
            // are: the controller stays usable.
            updateStatus(
                notUp > 0 ? tr("初始化通道失败：%1 个通道未能启动，%2 个通道已可用")
                                .arg(notUp)
                                .arg(availableChannelList.size())
                          : tr("没有新的通道需要初始化，%1 个通道已可用").arg(availableChannelList.size()));
        } else {
            setInitialized(false);
            // Nothing was ever configured: say what comes first.
            updateStatus(configuredChannels() == 0
                             ? tr("初始化通道失败") +
                                   tr("：还没有通道配置。请先勾选要用的通道并点击“设置配置”，"
                                      "或点击“一键配置”或“配置检测到的全部通道”")
                             : tr("初始化通道失败"));
        }
    } else if (notUp > 0) {
        updateStatus(tr("成功初始化 %1 个通道").arg(r) + tr("，%1 个通道未能启动").arg(notUp));
    }
    emit channelsStatusUpdated(availableChannelList);

    // Every channel that is up gets its own worker, also one that came up
    // after the first application.
    if (r > 0) {
        ThreadPool::instance()->addChannels(availableChannelList);
    }
    return r;
}

int CANopenWrapper::autoConfigureChannels() {
    setBackendZhcx();

    QVariantList items;
    const unsigned int pairs[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
    for (const auto &p : pairs) {
        QVariantMap item;
        item.insert(QStringLiteral("deviceType"), ChannelConfigModel::canalystType());
        item.insert(QStringLiteral("deviceIndex"), p[0]);
        item.insert(QStringLiteral("canChannel"), p[1]);
        item.insert(QStringLiteral("bitrate"), 1000u);
        item.insert(QStringLiteral("enabled"), true);
        items.append(item);
    }
    qCInfo(lcApp) << "[autoConfigureChannels] 自动配置" << 4 << "个通道";

    const int s = setChannelConfigs(items);
    if (s <= 0) {
        updateStatus(tr("自动配置失败：无法设置通道配置"));
        return 0;
    }
    qCInfo(lcApp) << "[autoConfigureChannels] 成功设置" << s << "个通道配置";

    const int a = applyChannelConfigs();
    if (a < 1) {
        updateStatus(
            m_transportProblem.isEmpty()
                ? tr("自动配置失败：无法应用通道配置")
                : tr("自动配置失败：无法应用通道配置（%1）").arg(transportProblemText(m_transportProblem)));
        return 0;
    }
    qCInfo(lcApp) << "[autoConfigureChannels] 成功应用" << a << "个通道配置";
    updateStatus(tr("一键配置完成：成功配置并应用 %1 个通道").arg(a));
    return a;
}

QVariantList CANopenWrapper::getAvailableChannels() {
    availableChannelList.clear();

    client_channel_id_t buffer[64];
    const int n = device_manager_get_available_channels(buffer, 64);
    qCDebug(lcApp) << "[getAvailableChannels] Retrieved" << n << "available channels:";
    for (int i = 0; i < n && i < 64; ++i) {
        const client_channel_id_t &id = buffer[i];
        QVariantMap map;
        map.insert(QStringLiteral("deviceType"), static_cast<unsigned int>(id.deviceType));
        map.insert(QStringLiteral("deviceTypeName"), ChannelConfigModel::deviceTypeName(id.deviceType));
        map.insert(QStringLiteral("adapterName"), ChannelConfigModel::adapterName(id.deviceType));
        map.insert(QStringLiteral("deviceIndex"), static_cast<unsigned int>(id.deviceIndex));
        map.insert(QStringLiteral("canChannel"), static_cast<unsigned int>(id.canChannel));
        map.insert(QStringLiteral("bitrate"), static_cast<int>(id.bitrate));
        availableChannelList.append(map);
        qCDebug(lcApp) << "  Channel" << (i + 1) << ":"
                       << "deviceType=" << id.deviceType
                       << "deviceTypeName=" << ChannelConfigModel::deviceTypeName(id.deviceType)
                       << "deviceIndex=" << id.deviceIndex << "canChannel=" << id.canChannel
                       << "bitrate=" << id.bitrate << "kbps";
    }
    if (n <= 0) {
        qCWarning(lcApp) << "[getAvailableChannels] Warning: No available channels retrieved";
    }
    return availableChannelList;
}

MotorListModel *CANopenWrapper::motorListModel() const {
    return m_motorListModel;
}

int CANopenWrapper::cacheDirectoryBinFiles(const QString &folderPath) {
    const QByteArray path = folderPath.toUtf8();
    const int n = client_api_cache_directory_bin_files(path.constData());
    updateStatus(tr("缓存了 %1 个.bin文件").arg(n));
    return n;
}

namespace {

// A NUL-terminated path in a fixed buffer of the file cache or pairing table.
QString bufferPath(const char *buffer, size_t size) {
    const void *nul = std::memchr(buffer, '\0', size);
    const qsizetype len =
        nul != nullptr ? static_cast<const char *>(nul) - buffer : static_cast<qsizetype>(size);
    return QString::fromUtf8(buffer, len);
}

} // namespace

int CANopenWrapper::matchBinFiles(const QString &folderPath) {
    return pairFiles(folderPath, true);
}

int CANopenWrapper::pairFiles(const QString &folderPath, bool report) {
    const QByteArray path = folderPath.toUtf8();
    struct Pairing {
        unsigned int nodeId;
        QString path;
        MotorListModel::MatchKind kind;
    };
    QList<Pairing> matches;
    int n = 0;
    int unsure = 0;
    {
        // Matching reads the discovered-motor table; so does the walk below.
        QMutexLocker locker(&g_discovered_motors_mutex);
        n = client_api_match_bin_files(path.constData());
        for (unsigned int k = 1; k <= CLIENT_MAX_NODE_ID; ++k) {
            if (g_discovered_motors[k].nodeId == 0 || !g_matched_files[k].matched) {
                continue;
            }
            // The naming rule takes the first file whose name holds the key's
            // characters in order, which may be another model's file listed
            // before the motor's own. A file made for the motor is taken
            // before any such; without one (or with several) the rule's first
            // choice stays, marked for the operator.
            Pairing p{k, bufferPath(g_matched_files[k].fullPath, sizeof(g_matched_files[k].fullPath)),
                      MotorListModel::MatchLoose};
            client_file_candidates_t c;
            const int pair = client_api_cached_file_candidates(&g_discovered_motors[k].info, &c);
            if (pair == CLIENT_PAIR_EXACT || pair == CLIENT_PAIR_SEVERAL_EXACT) {
                const cached_bin_file_t &file = g_bin_file_cache[c.exact[0]];
                p.path = bufferPath(file.fullPath, sizeof(file.fullPath));
                p.kind = pair == CLIENT_PAIR_EXACT ? MotorListModel::MatchExact
                                                   : MotorListModel::MatchSeveralExact;
            }
            if (p.kind != MotorListModel::MatchExact) {
                ++unsure;
            }
            matches.append(p);
        }
    }
    for (const Pairing &p : std::as_const(matches)) {
        m_motorListModel->setMatchedFile(p.nodeId, p.path, p.kind);
    }
    const int others = pairUnlisted();
    if (m_firmwareFolder != folderPath) {
        m_firmwareFolder = folderPath;
        emit firmwareFolderChanged();
    }
    if (!report) {
        qCInfo(lcApp) << "[matchBinFiles] paired again with" << folderPath << ":" << n << "files," << others
                      << "for motors not listed";
        return n;
    }
    const QString suffix =
        others > 0 ? tr("（另有 %1 个其他通道上的同号电机配有文件）").arg(others) : QString();
    if (n <= 0 && g_bin_file_count == 0) {
        updateStatus(tr("匹配了 0 个文件：文件夹中没有.bin文件 (%1)").arg(folderPath));
    } else if (unsure > 0) {
        updateStatus(tr("匹配了 %1 个文件").arg(n) +
                     tr("（%1 个只是宽松匹配或有多个候选，已在行中标出）").arg(unsure) + suffix);
    } else {
        updateStatus(tr("匹配了 %1 个文件").arg(n) + suffix);
    }
    return n;
}

int CANopenWrapper::pairUnlisted() {
    int paired = 0;
    for (int row = 0; row < m_unlistedModel->rowCount(); ++row) {
        const unsigned int key = m_unlistedModel->keyAt(row);
        const MotorData *m = m_unlistedModel->getMotorData(key);
        const int index = static_cast<int>(m_unlistedKeys.indexOf(key));
        if (m == nullptr || index < 0) {
            continue;
        }
        client_file_candidates_t c;
        const int pair = client_api_cached_file_candidates(&m_unlisted.at(index).entry.info, &c);
        QString path;
        MotorListModel::MatchKind kind = MotorListModel::MatchNone;
        if (pair == CLIENT_PAIR_EXACT || pair == CLIENT_PAIR_SEVERAL_EXACT) {
            const cached_bin_file_t &file = g_bin_file_cache[c.exact[0]];
            path = bufferPath(file.fullPath, sizeof(file.fullPath));
            kind = pair == CLIENT_PAIR_EXACT ? MotorListModel::MatchExact : MotorListModel::MatchSeveralExact;
        } else if (pair == CLIENT_PAIR_LOOSE_ONLY) {
            const cached_bin_file_t &file = g_bin_file_cache[c.loose[0]];
            path = bufferPath(file.fullPath, sizeof(file.fullPath));
            kind = MotorListModel::MatchLoose;
        }
        // A file chosen by hand stays unless the folder offers one.
        if (kind != MotorListModel::MatchNone) {
            m_unlistedModel->setMatchedFile(key, path, kind);
            ++paired;
        }
    }
    return paired;
}

void CANopenWrapper::pairAgain() {
    if (m_firmwareFolder.isEmpty()) {
        return;
    }
    const QByteArray path = m_firmwareFolder.toUtf8();
    client_api_cache_directory_bin_files(path.constData());
    pairFiles(m_firmwareFolder, false);
}

bool CANopenWrapper::getChannelInfoFromModel(unsigned int nodeId, CO_CANdeviceConfig_t &out) {
    const MotorData *m = m_motorListModel != nullptr ? m_motorListModel->getMotorData(nodeId) : nullptr;
    if (m == nullptr) {
        updateStatus(tr("未找到节点 %1 的信息").arg(nodeId));
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
        pool->addChannels(availableChannelList);
        return true;
    }
    if (availableChannelList.isEmpty()) {
        getAvailableChannels();
    }
    if (availableChannelList.isEmpty()) {
        updateStatus(tr("没有可用通道，无法初始化线程池"));
        return false;
    }
    pool->init(availableChannelList);
    return pool->poolInitialized;
}

namespace {

// Counts a task of the controller from queueing until its function object is
// destroyed, whether it ran or was dropped by the pool, and then tells the
// main thread. The count drops first, so the main thread reads the new one;
// `notifying` covers the moment between, so the destructor waits for it too.
struct TaskToken {
    TaskToken(std::atomic<int> &counter, std::atomic<int> &notifying, int nodeId,
              std::function<void(int)> ended)
        : counter(counter), notifying(notifying), nodeId(nodeId), ended(std::move(ended)) {
        counter.fetch_add(1);
    }
    ~TaskToken() {
        notifying.fetch_add(1);
        counter.fetch_sub(1);
        ended(nodeId);
        notifying.fetch_sub(1);
    }
    std::atomic<int> &counter;
    std::atomic<int> &notifying;
    int nodeId;
    std::function<void(int)> ended;
};

} // namespace

bool CANopenWrapper::submitForChannel(const CO_CANdeviceConfig_t &channel, std::function<void()> task,
                                      int key, bool upgrade) {
    if (key >= 0) {
        const unsigned int k = static_cast<unsigned int>(key);
        MotorListModel *model = modelFor(k);
        m_pendingOps.insert(k, upgrade);
        model->startOperation(k);
        model->setBusy(k, true);
        // Until the channel's worker takes it up.
        model->setQueued(k, true);
        emit busyNodesChanged();
    }
    auto token = std::make_shared<TaskToken>(tasksInFlight, tasksNotifying, key, [this](int k) {
        [[maybe_unused]] ostrelo::HandOverGuard handOver;
        QMetaObject::invokeMethod(
            this, [this, k]() { taskEnded(k); }, Qt::QueuedConnection);
    });
    emit activeOperationsChanged();
    const bool queued = ThreadPool::instance()->submitTask(
        channel.deviceType, channel.deviceIndex, channel.canChannel,
        [this, token, key, upgrade, task = std::move(task)]() {
            if (shuttingDown.load()) {
                return;
            }
            if (stopping.load()) {
                // Dropped by a stop before it began: the motor is untouched,
                // and a queued upgrade counts as cancelled, not failed.
                if (upgrade) {
                    runOnMainThread([this, key]() { cancelUpgrade(static_cast<unsigned int>(key), false); });
                }
                return;
            }
            if (key >= 0) {
                runOnMainThread(
                    [this, key]() { modelFor(static_cast<unsigned int>(key))->setQueued(key, false); });
            }
            task();
        });
    if (!queued) {
        updateStatus(tr("通道 %1 没有工作线程，操作未执行")
                         .arg(ThreadPool::makeChannelKey(channel.deviceType, channel.deviceIndex,
                                                         channel.canChannel)));
    }
    return queued;
}

void CANopenWrapper::taskEnded(int key) {
    if (key == kScanTask) {
        scanTaskEnded();
    }
    if (key >= 0) {
        const unsigned int k = static_cast<unsigned int>(key);
        m_pendingOps.remove(k);
        modelFor(k)->setBusy(k, false);
        emit busyNodesChanged();
        if (m_refreshAllLeft.remove(k) && m_refreshAllLeft.isEmpty()) {
            reportRefreshAll();
        }
        if (m_bulkUpgradeLeft.remove(k)) {
            // An upgrade that never reached its end (dropped, stopped) was not done.
            const int result = m_upgradeResults.take(k);
            if (result == UpgradeSucceeded) {
                ++m_bulkUpgradeOk;
            } else if (result == OperationFailed) {
                ++m_bulkUpgradeFailed;
            } else {
                ++m_bulkUpgradeCancelled;
            }
            if (result != UpgradeSucceeded) {
                MotorListModel *model = modelFor(k);
                const MotorData *m = model->getMotorData(k);
                QString reason = model->getLastError(k);
                if (reason.isEmpty()) {
                    reason = result == OperationFailed ? model->statusText(k) : tr("未完成（已取消）");
                }
                m_bulkProblems.append(
                    QVariantMap{{QStringLiteral("key"), k},
                                {QStringLiteral("nodeId"), m != nullptr ? m->nodeId : k},
                                {QStringLiteral("channel"),
                                 m != nullptr ? QStringLiteral("%1.%2").arg(m->deviceIndex).arg(m->canChannel)
                                              : QString()},
                                {QStringLiteral("reason"), reason},
                                {QStringLiteral("cancelled"), result != OperationFailed},
                                {QStringLiteral("listed"), isListedKey(k)}});
            }
            if (m_bulkUpgradeLeft.isEmpty()) {
                finishBulkUpgrade();
            }
        }
    }
    if (tasksInFlight.load() == 0 && stopping.load() && !shuttingDown.load()) {
        stopping.store(false);
        client_api_clear_cancel_all();
        if (m_scanning) {
            // Its remaining channels were dropped and never report.
            m_scanning = false;
            emit scanningChanged();
        }
    }
    emit activeOperationsChanged();
}

void CANopenWrapper::finishBulkUpgrade() {
    updateStatus(tr("全部升级结束：成功 %1 个，失败 %2 个").arg(m_bulkUpgradeOk).arg(m_bulkUpgradeFailed) +
                 (m_bulkUpgradeCancelled > 0 ? tr("，已取消 %1 个").arg(m_bulkUpgradeCancelled) : QString()));
    // Failed ones first, then the ones not done; each in channel and node order.
    std::sort(m_bulkProblems.begin(), m_bulkProblems.end(), [](const QVariant &a, const QVariant &b) {
        const QVariantMap x = a.toMap();
        const QVariantMap y = b.toMap();
        const bool xc = x.value(QStringLiteral("cancelled")).toBool();
        const bool yc = y.value(QStringLiteral("cancelled")).toBool();
        if (xc != yc) {
            return !xc;
        }
        const QString xch = x.value(QStringLiteral("channel")).toString();
        const QString ych = y.value(QStringLiteral("channel")).toString();
        if (xch != ych) {
            const QStringList xs = xch.split(QLatin1Char('.'));
            const QStringList ys = ych.split(QLatin1Char('.'));
            return xs.value(0).toUInt() != ys.value(0).toUInt() ? xs.value(0).toUInt() < ys.value(0).toUInt()
                                                                : xs.value(1).toUInt() < ys.value(1).toUInt();
        }
        return x.value(QStringLiteral("nodeId")).toUInt() < y.value(QStringLiteral("nodeId")).toUInt();
    });
    m_upgradeSummary = QVariantMap{{QStringLiteral("ok"), m_bulkUpgradeOk},
                                   {QStringLiteral("failed"), m_bulkUpgradeFailed},
                                   {QStringLiteral("cancelled"), m_bulkUpgradeCancelled},
                                   {QStringLiteral("problems"), m_bulkProblems}};
    emit upgradeSummaryChanged();
    m_bulkUpgradeOk = 0;
    m_bulkUpgradeFailed = 0;
    m_bulkUpgradeCancelled = 0;
    m_bulkProblems.clear();
    m_upgradeResults.clear();
}

void CANopenWrapper::clearUpgradeSummary() {
    if (!m_upgradeSummary.isEmpty()) {
        m_upgradeSummary.clear();
        emit upgradeSummaryChanged();
    }
}

MotorListModel *CANopenWrapper::modelFor(unsigned int key) const {
    return isListedKey(key) ? m_motorListModel : m_unlistedModel;
}

QString CANopenWrapper::motorLabel(unsigned int key) const {
    if (isListedKey(key)) {
        return QString::number(key);
    }
    const MotorData *m = m_unlistedModel->getMotorData(key);
    return m == nullptr ? QString()
                        : tr("%1（通道 %2.%3）").arg(m->nodeId).arg(m->deviceIndex).arg(m->canChannel);
}

void CANopenWrapper::reportProgress(unsigned int key, int percent, const QString &text) {
    if (isListedKey(key)) {
        emit upgradeProgressPercent(key, percent, text);
    } else {
        m_unlistedModel->setProgress(key, percent, text);
    }
}

void CANopenWrapper::reportRowText(unsigned int key, const QString &text) {
    if (isListedKey(key)) {
        emit motorStatusChanged(key, text);
    } else {
        m_unlistedModel->setStatusText(key, text);
    }
}

void CANopenWrapper::reportCompleted(unsigned int key, bool success) {
    if (isListedKey(key)) {
        emit upgradeCompleted(key, success);
    } else {
        noteUpgradeEnd(key, success);
    }
}

void CANopenWrapper::cancelUpgrade(unsigned int key, bool began) {
    MotorListModel *model = modelFor(key);
    model->setLastResult(key, OperationCancelled);
    reportProgress(key, 0, tr("已取消"));
    reportRowText(key, began ? tr("升级已取消，电机留在Bootloader中") : tr("升级已取消（未开始）"));
    reportCompleted(key, false);
}

void CANopenWrapper::noteUpgradeResult(unsigned int nodeId, bool success) {
    noteUpgradeEnd(nodeId, success);
}

void CANopenWrapper::noteUpgradeEnd(unsigned int key, bool success) {
    MotorListModel *model = modelFor(key);
    // A cancelled upgrade says so in its row; it did not fail.
    const bool cancelled = !success && model->getLastResult(key) == OperationCancelled;
    const OperationResult result =
        success ? UpgradeSucceeded : (cancelled ? OperationCancelled : OperationFailed);
    if (m_bulkUpgradeLeft.contains(key)) {
        m_upgradeResults.insert(key, result);
    }
    // The row keeps the result, and the record a line, until the row's next operation.
    if (!cancelled) {
        model->setProgress(key, success ? 100 : 0, success ? tr("升级成功") : tr("升级失败"));
    }
    model->setLastResult(key, result);
    const MotorData *m = model->getMotorData(key);
    const QPair<QString, QString> start = m_upgradeStart.take(key);
    RecordEntry e;
    e.time = QDateTime::currentDateTime().toString(Qt::ISODate);
    e.channel = m != nullptr ? QStringLiteral("%1.%2").arg(m->deviceIndex).arg(m->canChannel) : QString();
    e.nodeId = m != nullptr ? m->nodeId : key;
    e.model = m != nullptr ? m->firmwareModel : QString();
    e.versionBefore = start.first;
    e.versionAfter = success && m != nullptr ? m->version : QString();
    e.file = start.second;
    e.ok = success;
    e.detail = success ? QString() : model->statusText(key);
    // Where the motor is now, as the row's state says after the upgrade's end.
    const MotorStatus state = m != nullptr ? m->motorStatus : Disconnected;
    e.state = state == Available
                  ? QStringLiteral("application")
                  : (state == Bootloader ? QStringLiteral("bootloader") : QStringLiteral("unknown"));
    const QPair<QString, qint64> end = m_upgradeEnd.take(key);
    e.attempts = end.first;
    e.historyEntry = end.second;
    m_record.append(e);
    emit recordCountChanged();
}

void CANopenWrapper::showProgress(unsigned int nodeId, int percent, const QString &text) {
    m_motorListModel->setProgress(nodeId, percent, text);
}

void CANopenWrapper::postTransferProgress(unsigned int nodeId, quint64 transferred, quint64 total) {
    m_progress->post(nodeId, transferred, total);
}

void CANopenWrapper::reportRefreshAll() {
    int counts[4] = {0, 0, 0, 0};
    for (unsigned int node : std::as_const(m_refreshAllBatch)) {
        const MotorStatus s = m_motorListModel->getMotorStatus(node);
        if (s >= Available && s <= Busy) {
            ++counts[s];
        }
    }
    m_refreshAllBatch.clear();
    updateStatus(tr("状态刷新完成：Available %1 个，Bootloader %2 个，连接中断 %3 个")
                     .arg(counts[Available])
                     .arg(counts[Bootloader])
                     .arg(counts[Disconnected]));
    emit allMotorStatusRefreshed();
}

QVariantList CANopenWrapper::nodesInBootloader() const {
    QVariantList out;
    for (int row = 0; row < m_motorListModel->rowCount(); ++row) {
        const unsigned int nodeId =
            m_motorListModel->data(m_motorListModel->index(row, 0), MotorListModel::NodeIdRole).toUInt();
        if (m_motorListModel->getMotorStatus(nodeId) == Bootloader && !isOperationPending(nodeId)) {
            out.append(nodeId);
        }
    }
    return out;
}

bool CANopenWrapper::exportRecord(const QString &filePath) {
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        updateStatus(tr("无法写入记录文件：%1").arg(filePath));
        return false;
    }
    // With the byte-order mark, spreadsheet programs read the Chinese texts as UTF-8.
    QString out = QStringLiteral(
        "\uFEFFtime,channel,node,model,version_before,version_after,file,outcome,detail,state,attempts,history_entry\n");
    for (const RecordEntry &e : std::as_const(m_record)) {
        const QStringList fields = {e.time,
                                    e.channel,
                                    QString::number(e.nodeId),
                                    e.model,
                                    e.versionBefore,
                                    e.versionAfter,
                                    e.file,
                                    e.ok ? QStringLiteral("ok") : QStringLiteral("failed"),
                                    e.detail,
                                    e.state,
                                    e.attempts,
                                    e.historyEntry != 0 ? QString::number(e.historyEntry) : QString()};
        QStringList cells;
        for (const QString &f : fields) {
            cells.append(csvField(f));
        }
        out += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    file.write(out.toUtf8());
    if (!file.commit()) {
        updateStatus(tr("无法写入记录文件：%1").arg(filePath));
        return false;
    }
    updateStatus(tr("已导出 %1 条升级记录：%2").arg(m_record.size()).arg(filePath));
    return true;
}

bool CANopenWrapper::channelIsUp(unsigned int type, unsigned int index, unsigned int channel) const {
    for (const QVariant &v : availableChannelList) {
        const QVariantMap m = v.toMap();
        if (m.value(QStringLiteral("deviceType")).toUInt() == type &&
            m.value(QStringLiteral("deviceIndex")).toUInt() == index &&
            m.value(QStringLiteral("canChannel")).toUInt() == channel) {
            return true;
        }
    }
    return false;
}

// The channel count of one adapter. One that is open already (its channels
// run) is asked through its handle: opening and closing it for the question
// would take its channels down under their workers.
unsigned int CANopenWrapper::adapterChannelCount(unsigned int type, unsigned int index) {
    for (uint8_t d = 0; d < g_device_manager.deviceCount && d < CLIENT_MAX_DEVICES; ++d) {
        const client_device_context_t &dev = g_device_manager.devices[d];
        if (dev.deviceType != type || dev.deviceIndex != index || !dev.opened || dev.device == nullptr) {
            continue;
        }
        const CANBackendOps *ops = can_backend_get();
        VCI_BOARD_INFO info;
        std::memset(&info, 0, sizeof(info));
        unsigned int count = 2;
        if (ops != nullptr && ops->get_board_info != nullptr && ops->get_board_info(dev.device, &info) == 1 &&
            info.can_Num >= 1) {
            count = qMin<unsigned int>(info.can_Num, CLIENT_MAX_CHANNELS);
        }
        // A channel that is up is there, whatever the adapter said.
        for (unsigned int c = 0; c < CLIENT_MAX_CHANNELS; ++c) {
            if (dev.channels[c].initialized) {
                count = qMax(count, c + 1);
            }
        }
        return count;
    }
    return zhcx_probe_adapter(type, index, nullptr);
}

QVariantList CANopenWrapper::detectChannels() {
    // The rows it fills are canalyst-II channels: their backend, as the
    // one-button configuration selects it (kept as it is while channels run).
    if (!channelsUp()) {
        setBackendZhcx();
    } else if (can_backend_get() != &ZHCX_OPS) {
        updateStatus(tr("通道已启动，不能切换后端；请先关闭程序再选择后端"));
        return {};
    }
    // Each adapter that is not open is opened for a moment and asked for its
    // channel count; an open one is asked as it is.
    QVariantList out;
    int adapters = 0;
    const unsigned int type = ChannelConfigModel::canalystType();
    for (unsigned int a = 0; a < CLIENT_MAX_DEVICES; ++a) {
        const unsigned int channels = adapterChannelCount(type, a);
        adapters += channels > 0 ? 1 : 0;
        for (unsigned int c = 0; c < channels; ++c) {
            QVariantMap map;
            map.insert(QStringLiteral("deviceType"), type);
            map.insert(QStringLiteral("deviceTypeName"), ChannelConfigModel::deviceTypeName(type));
            map.insert(QStringLiteral("adapterName"), ChannelConfigModel::adapterName(type));
            map.insert(QStringLiteral("deviceIndex"), a);
            map.insert(QStringLiteral("canChannel"), c);
            map.insert(QStringLiteral("bitrate"), 1000);
            out.append(map);
        }
    }
    updateStatus(tr("检测到 %1 个适配器，共 %2 个通道").arg(adapters).arg(out.size()));
    return out;
}

int CANopenWrapper::configureDetectedChannels(unsigned int bitrate) {
    QVariantList items;
    int running = 0;
    const QVariantList detected = detectChannels();
    for (const QVariant &v : detected) {
        QVariantMap item = v.toMap();
        if (channelIsUp(item.value(QStringLiteral("deviceType")).toUInt(),
                        item.value(QStringLiteral("deviceIndex")).toUInt(),
                        item.value(QStringLiteral("canChannel")).toUInt())) {
            ++running; // left as it runs
            continue;
        }
        item.insert(QStringLiteral("bitrate"), bitrate);
        item.insert(QStringLiteral("enabled"), true);
        items.append(item);
    }
    if (detected.isEmpty()) {
        return 0; // the detection's status says so
    }
    if (items.isEmpty()) {
        updateStatus(tr("检测到的 %1 个通道都已启动").arg(running));
        return 0;
    }
    qCInfo(lcApp) << "[configureDetectedChannels]" << items.size() << "channels at" << bitrate << "kbps,"
                  << running << "already up";
    if (setChannelConfigs(items) <= 0) {
        return 0;
    }
    const int up = applyChannelConfigs();
    if (up > 0) {
        updateStatus(tr("已配置并启动检测到的 %1 个通道（%2 kbps）").arg(up).arg(bitrate) +
                     (running > 0 ? tr("，%1 个已在运行的通道未动").arg(running) : QString()) +
                     (up < items.size() ? tr("，%1 个通道未能启动").arg(items.size() - up) : QString()));
    }
    return up;
}

QString CANopenWrapper::defaultRecordFolder() const {
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    return !documents.isEmpty() && QFileInfo(documents).isDir() ? documents : QDir::homePath();
}

QUrl CANopenWrapper::localPathToUrl(const QString &path) const {
    return path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
}

QVariantList CANopenWrapper::busyNodes() const {
    QVariantList out;
    for (auto it = m_pendingOps.constBegin(); it != m_pendingOps.constEnd(); ++it) {
        out.append(it.key());
    }
    return out;
}

QString CANopenWrapper::urlToLocalPath(const QUrl &url) const {
    if (url.isLocalFile()) {
        return url.toLocalFile();
    }
    // A path handed over without a scheme: only undo its escapes.
    return QUrl::fromPercentEncoding(url.toString().toUtf8());
}

bool CANopenWrapper::isOperationPending(unsigned int nodeId) const {
    return m_pendingOps.contains(nodeId);
}

bool CANopenWrapper::refusePending(unsigned int nodeId) {
    const auto it = m_pendingOps.constFind(nodeId);
    if (it == m_pendingOps.constEnd()) {
        return false;
    }
    updateStatus(it.value() ? tr("节点 %1 正在升级，请等待完成").arg(nodeId)
                            : tr("节点 %1 正在执行其他操作，请等待完成").arg(nodeId));
    return true;
}

QString CANopenWrapper::skippedSuffix(int skipped) const {
    return skipped > 0 ? tr("（跳过 %1 个正在操作的电机）").arg(skipped) : QString();
}

void CANopenWrapper::stopAllOperations() {
    if (tasksInFlight.load() == 0 && preventAppStartAllActive.load() == 0) {
        return;
    }
    stopping.store(true);
    client_api_request_cancel_all();
    stopPreventAppStartAllInteractive();
    updateStatus(tr("正在停止 %1 个操作").arg(tasksInFlight.load()));
}

void CANopenWrapper::waitForHoldGroups() {
    // A stopped group notices the cleared flag after its current pass (a
    // few tens of milliseconds per motor).
    QElapsedTimer timer;
    timer.start();
    while (holdGroupsRunning.load() > 0 && timer.elapsed() < 10000) {
        QThread::msleep(5);
    }
}

void CANopenWrapper::cleanupAll() {
    // The hold's groups send on the channels about to be freed: stop them
    // and let them leave first.
    stopPreventAppStartAllInteractive();
    waitForHoldGroups();
    {
        // Waits for a worker that is inside a channel (a transfer may take a
        // while): freeing the channels under it would crash the program.
        std::unique_lock<std::shared_mutex> store(ostrelo::channelStoreLock());
        client_api_manager_cleanup_all();
    }
    if (m_initialized) {
        m_initialized = false;
        emit initializedChanged();
        updateStatus(tr("通道未初始化"));
    }
    updateStatus(tr("所有资源已清理"));
}
