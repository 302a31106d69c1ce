#include "MotorListModel.h"

#include <QMutexLocker>
#include <QVector>

#include <cstring>

#include "CANopenWrapper.h"
#include "ChannelConfigModel.h"
#include "client_api.h"
#include "app_log_category.h"
#include "client_api_names.h"

namespace {

// Fixed-size text field of the firmware identity: up to the first NUL byte or
// the end of the field, whichever comes first.
QString fieldText(const char *field, size_t size) {
    const void *nul = std::memchr(field, '\0', size);
    const size_t len = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - field) : size;
    return QString::fromUtf8(field, static_cast<qsizetype>(len));
}

} // namespace

MotorListModel::MotorListModel(QObject *parent) : QAbstractListModel(parent) {}

QString MotorListModel::versionText(quint32 v) {
    return QStringLiteral("%1.%2.%3.%4")
        .arg((v >> 24) & 0xFFu)
        .arg((v >> 16) & 0xFFu)
        .arg((v >> 8) & 0xFFu)
        .arg(v & 0xFFu);
}

bool MotorListModel::fileNameVersion(const QString &filePath, quint32 *version) {
    // Only the name counts, whichever separator the path uses.
    const qsizetype slash =
        qMax(filePath.lastIndexOf(QLatin1Char('/')), filePath.lastIndexOf(QLatin1Char('\\')));
    const QByteArray name = filePath.mid(slash + 1).toUtf8();
    uint32_t v = 0;
    if (filePath.isEmpty() || client_api_file_name_version(name.constData(), &v) != 0) {
        return false;
    }
    *version = v;
    return true;
}

bool MotorListModel::hasFile(const QString &binFilePath) {
    return !binFilePath.isEmpty() && binFilePath != QLatin1String("unknown");
}

MotorListModel::VersionCheck MotorListModel::versionCheck(const MotorData &m) {
    if (!hasFile(m.binFilePath)) {
        return NoFileToCheck;
    }
    if (!m.haveFileVersion) {
        return FileWithoutVersion;
    }
    if (m.fileVersion == m.softwareVersion) {
        return FileCurrent;
    }
    return m.fileVersion > m.softwareVersion ? FileNewer : FileOlder;
}

int MotorListModel::rowCount(const QModelIndex &) const {
    return static_cast<int>(nodeIds.size());
}

QVariant MotorListModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= nodeIds.size()) {
        return QVariant();
    }
    const MotorData m = motors.value(nodeIds.at(index.row()));
    switch (role) {
    case NodeIdRole:
        return m.nodeId;
    case DeviceTypeRole:
        return m.deviceType;
    case DeviceTypeNameRole:
        return m.deviceTypeName;
    case DeviceIndexRole:
        return m.deviceIndex;
    case CanChannelRole:
        return m.canChannel;
    case BitrateRole:
        return m.bitrate;
    case FirmwareModelRole:
        return m.firmwareModel;
    case BrakeSuffixRole:
        return m.brakeSuffix;
    case EncoderNameRole:
        return m.encoderName;
    case VersionRole:
        return m.version;
    case FilenameKeyRole:
        return m.filenameKey;
    case BinFilePathRole:
        return m.binFilePath;
    case MotorStatusRole:
        return static_cast<int>(m.motorStatus);
    case LastResultRole:
        return static_cast<int>(m.lastResult);
    case ProgressRole:
        return m.progress;
    case ProgressTextRole:
        return m.progressText;
    case StatusTextRole:
        return statusTexts.value(m.nodeId);
    case BusyRole:
        return m.busy;
    case AdapterNameRole:
        return ChannelConfigModel::adapterName(m.deviceType);
    case LastErrorRole:
        return m.lastError;
    case FileVersionRole:
        return m.haveFileVersion ? versionText(m.fileVersion) : QString();
    case VersionCheckRole:
        return static_cast<int>(versionCheck(m));
    case MatchKindRole:
        return m.matchKind;
    case HasFileRole:
        return hasFile(m.binFilePath);
    case PhaseRole:
        return static_cast<int>(phaseOf(m));
    case MotorKeyRole:
        return nodeIds.at(index.row());
    case VersionNumberRole:
        return m.softwareVersion;
    case HistoryNoteRole:
        return m.historyNote;
    default:
        return QVariant();
    }
}

bool MotorListModel::setData(const QModelIndex &index, const QVariant &value, int role) {
    if (!index.isValid() || index.row() < 0 || index.row() >= nodeIds.size()) {
        return false;
    }
    if (role != BinFilePathRole) {
        return false;
    }
    const QList<int> roles = assignFile(motors[nodeIds.at(index.row())], value.toString(), MatchNone);
    emit dataChanged(index, index, roles);
    return true;
}

QHash<int, QByteArray> MotorListModel::roleNames() const {
    return {
        {NodeIdRole, "nodeId"},
        {DeviceTypeRole, "deviceType"},
        {DeviceTypeNameRole, "deviceTypeName"},
        {DeviceIndexRole, "deviceIndex"},
        {CanChannelRole, "canChannel"},
        {BitrateRole, "bitrate"},
        {FirmwareModelRole, "firmwareModel"},
        {BrakeSuffixRole, "brakeSuffix"},
        {EncoderNameRole, "encoderName"},
        {VersionRole, "version"},
        {FilenameKeyRole, "filenameKey"},
        {BinFilePathRole, "binFilePath"},
        {MotorStatusRole, "motorStatus"},
        {LastResultRole, "lastResult"},
        {ProgressRole, "progress"},
        {ProgressTextRole, "progressText"},
        {StatusTextRole, "statusText"},
        {BusyRole, "busy"},
        {AdapterNameRole, "adapterName"},
        {LastErrorRole, "lastError"},
        {FileVersionRole, "fileVersion"},
        {VersionCheckRole, "versionCheck"},
        {MatchKindRole, "matchKind"},
        {HasFileRole, "hasFile"},
        {PhaseRole, "phase"},
        {MotorKeyRole, "motorKey"},
        {VersionNumberRole, "versionNumber"},
        {HistoryNoteRole, "historyNote"},
    };
}

void MotorListModel::refreshFromBackend() {
    // Copy the table under the same lock the scan tasks write it with, then
    // build the rows from the copy without holding the lock.
    QVector<client_discovered_motor_t> table(CLIENT_MOTOR_TABLE_SIZE);
    {
        QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
        std::memcpy(table.data(), g_discovered_motors, sizeof(g_discovered_motors));
    }

    beginResetModel();
    motors.clear();
    nodeIds.clear();
    for (const client_discovered_motor_t &entry : table) {
        if (entry.discovered == 0 || entry.nodeId == 0) {
            continue;
        }
        const MotorData m = fromDiscovered(entry);
        // The table is indexed by node id, but an entry whose stored id
        // disagrees with its slot must still give one row per node id.
        if (!motors.contains(m.nodeId)) {
            nodeIds.append(m.nodeId);
        }
        motors.insert(m.nodeId, m);
    }
    endResetModel();
    emit dataUpdated();
}

void MotorListModel::resetRows(const QList<unsigned int> &keys, const QList<MotorData> &rows) {
    beginResetModel();
    motors.clear();
    nodeIds.clear();
    for (int i = 0; i < keys.size() && i < rows.size(); ++i) {
        if (!motors.contains(keys.at(i))) {
            nodeIds.append(keys.at(i));
        }
        motors.insert(keys.at(i), rows.at(i));
    }
    endResetModel();
    emit dataUpdated();
}

unsigned int MotorListModel::keyAt(int row) const {
    return row >= 0 && row < nodeIds.size() ? nodeIds.at(row) : 0u;
}

QString MotorListModel::longestText(int role) const {
    QString longest;
    for (int row = 0; row < nodeIds.size(); ++row) {
        const QString text = data(index(row, 0), role).toString();
        if (text.size() > longest.size()) {
            longest = text;
        }
    }
    return longest;
}

MotorListModel::RowPhase MotorListModel::phaseOf(const MotorData &m) {
    if (m.busy && m.queued) {
        return PhaseQueued;
    }
    if (m.busy || m.lastResult == UpgradeRunning) {
        return PhaseRunning;
    }
    switch (m.lastResult) {
    case UpgradeSucceeded:
        return PhaseSucceeded;
    case OperationFailed:
        return PhaseFailed;
    case OperationCancelled:
        return PhaseCancelled;
    default:
        return PhaseIdle;
    }
}

MotorData MotorListModel::fromDiscovered(const client_discovered_motor_t &entry) {
    MotorData m;
    m.nodeId = entry.nodeId;
    m.deviceType = entry.channelId.deviceType;
    m.deviceTypeName = ChannelConfigModel::deviceTypeName(m.deviceType);
    m.deviceIndex = entry.channelId.deviceIndex;
    m.canChannel = entry.channelId.canChannel;
    m.bitrate = entry.channelId.bitrate;
    m.firmwareModel = fieldText(entry.info.firmwareModel, sizeof(entry.info.firmwareModel));
    m.brakeSuffix = fieldText(entry.info.brakeSuffix, sizeof(entry.info.brakeSuffix));
    m.encoderName = fieldText(entry.info.encoderName, sizeof(entry.info.encoderName));
    m.version = versionText(entry.info.softwareVersion);
    m.softwareVersion = entry.info.softwareVersion;
    m.filenameKey = fieldText(entry.info.filenameKey, sizeof(entry.info.filenameKey));
    m.motorStatus = Available;
    return m;
}

void MotorListModel::clear() {
    beginResetModel();
    motors.clear();
    nodeIds.clear();
    endResetModel();
}

int MotorListModel::rowOf(unsigned int nodeId) const {
    return static_cast<int>(nodeIds.indexOf(nodeId));
}

MotorData *MotorListModel::listedMotor(unsigned int nodeId, int &row) {
    auto it = motors.find(nodeId);
    row = rowOf(nodeId);
    return (it == motors.end() || row < 0) ? nullptr : &it.value();
}

void MotorListModel::emitRolesChanged(int row, const QList<int> &roles) {
    const QModelIndex idx = index(row, 0);
    emit dataChanged(idx, idx, roles);
}

QList<int> MotorListModel::assignFile(MotorData &motor, const QString &filePath, MatchKind kind) {
    auto shown = [](const MotorData &m) {
        return m.haveFileVersion ? versionText(m.fileVersion) : QString();
    };
    const QString before = shown(motor);
    const VersionCheck check = versionCheck(motor);
    const bool had = hasFile(motor.binFilePath);
    motor.binFilePath = filePath;
    quint32 v = 0;
    motor.haveFileVersion = fileNameVersion(filePath, &v);
    motor.fileVersion = v;
    // The path's role always; the roles that follow from it when they changed.
    QList<int> roles = {BinFilePathRole};
    if (had != hasFile(filePath)) {
        roles.append(HasFileRole);
    }
    if (before != shown(motor)) {
        roles.append(FileVersionRole);
    }
    if (check != versionCheck(motor)) {
        roles.append(VersionCheckRole);
    }
    if (motor.matchKind != kind) {
        motor.matchKind = kind;
        roles.append(MatchKindRole);
    }
    return roles;
}

void MotorListModel::setBinFilePath(unsigned int nodeId, const QString &filePath) {
    setMatchedFile(nodeId, filePath, MatchNone);
}

void MotorListModel::setMatchedFile(unsigned int nodeId, const QString &filePath, MatchKind kind) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        emitRolesChanged(row, assignFile(*motor, filePath, kind));
    }
}

QString MotorListModel::getBinFilePath(unsigned int nodeId) const {
    const auto it = motors.constFind(nodeId);
    return it == motors.constEnd() ? QString() : it->binFilePath;
}

bool MotorListModel::allowedTransition(MotorStatus from, MotorStatus to) {
    // kAllowed[from][to], in the order Available, Disconnected, Bootloader, Busy.
    static const bool kAllowed[4][4] = {
        {true, false, true, true}, // Available
        {false, true, true, true}, // Disconnected
        {true, false, true, true}, // Bootloader
        {true, true, true, true},  // Busy
    };
    return from >= Available && from <= Busy && to >= Available && to <= Busy && kAllowed[from][to];
}

bool MotorListModel::setMotorStatus(unsigned int nodeId, MotorStatus status) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        if (!allowedTransition(motor->motorStatus, status)) {
            qCWarning(lcApp) << "[setMotorStatus] 节点" << nodeId << "状态" << motor->motorStatus
                             << "不能直接变为" << status;
            return false;
        }
        motor->motorStatus = status;
        // A new state is a new operation: the last one's result, bar and
        // failure go.
        QList<int> roles = {MotorStatusRole};
        if (motor->lastResult != NoResult || motor->progress >= 0) {
            motor->lastResult = NoResult;
            motor->progress = -1;
            motor->progressText.clear();
            roles << LastResultRole << ProgressRole << ProgressTextRole << PhaseRole;
        }
        if (!motor->lastError.isEmpty()) {
            motor->lastError.clear();
            roles.append(LastErrorRole);
        }
        emitRolesChanged(row, roles);
        return true;
    }
    return false;
}

void MotorListModel::setLastError(unsigned int nodeId, const QString &text) {
    int row = -1;
    MotorData *motor = listedMotor(nodeId, row);
    if (motor != nullptr && motor->lastError != text) {
        motor->lastError = text;
        emitRolesChanged(row, {LastErrorRole});
    }
}

void MotorListModel::setHistoryNote(unsigned int nodeId, const QString &text) {
    int row = -1;
    MotorData *motor = listedMotor(nodeId, row);
    if (motor != nullptr && motor->historyNote != text) {
        motor->historyNote = text;
        emitRolesChanged(row, {HistoryNoteRole});
    }
}

QString MotorListModel::getLastError(unsigned int nodeId) const {
    const auto it = motors.constFind(nodeId);
    return it == motors.constEnd() ? QString() : it->lastError;
}

void MotorListModel::setLastResult(unsigned int nodeId, OperationResult result) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        motor->lastResult = result;
        emitRolesChanged(row, {LastResultRole, PhaseRole});
    }
}

OperationResult MotorListModel::getLastResult(unsigned int nodeId) const {
    const auto it = motors.constFind(nodeId);
    return it == motors.constEnd() ? NoResult : it->lastResult;
}

MotorStatus MotorListModel::getMotorStatus(unsigned int nodeId) const {
    const auto it = motors.constFind(nodeId);
    return it == motors.constEnd() ? Available : it->motorStatus;
}

MotorData *MotorListModel::getMotorData(unsigned int nodeId) {
    auto it = motors.find(nodeId);
    return it == motors.end() ? nullptr : &it.value();
}

void MotorListModel::setProgress(unsigned int nodeId, int percent, const QString &text) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        if (motor->progress == percent && motor->progressText == text) {
            return;
        }
        motor->progress = percent;
        motor->progressText = text;
        emitRolesChanged(row, {ProgressRole, ProgressTextRole});
    }
}

void MotorListModel::startOperation(unsigned int nodeId) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        QList<int> roles;
        if (motor->progress >= 0 || motor->lastResult != NoResult) {
            motor->progress = -1;
            motor->progressText.clear();
            motor->lastResult = NoResult;
            roles << ProgressRole << ProgressTextRole << LastResultRole << PhaseRole;
        }
        if (!motor->lastError.isEmpty()) {
            motor->lastError.clear();
            roles.append(LastErrorRole);
        }
        if (!roles.isEmpty()) {
            emitRolesChanged(row, roles);
        }
    }
}

void MotorListModel::setBusy(unsigned int nodeId, bool busy) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        if (motor->busy != busy) {
            motor->busy = busy;
            if (!busy) {
                motor->queued = false;
            }
            emitRolesChanged(row, {BusyRole, PhaseRole});
        }
    }
}

void MotorListModel::setQueued(unsigned int nodeId, bool queued) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        if (motor->queued != queued) {
            motor->queued = queued;
            emitRolesChanged(row, {PhaseRole});
        }
    }
}

void MotorListModel::setStatusText(unsigned int nodeId, const QString &text) {
    statusTexts.insert(nodeId, text);
    const int row = rowOf(nodeId);
    if (row >= 0) {
        emitRolesChanged(row, {StatusTextRole});
    }
}

QString MotorListModel::statusText(unsigned int nodeId) const {
    return statusTexts.value(nodeId);
}

void MotorListModel::setVersion(unsigned int nodeId, quint32 softwareVersion) {
    int row = -1;
    if (MotorData *motor = listedMotor(nodeId, row)) {
        const VersionCheck check = versionCheck(*motor);
        motor->version = versionText(softwareVersion);
        motor->softwareVersion = softwareVersion;
        QList<int> roles = {VersionRole};
        if (check != versionCheck(*motor)) {
            roles.append(VersionCheckRole);
        }
        emitRolesChanged(row, roles);
    }
}

bool MotorListModel::replaceMotor(const MotorData &motor) {
    return replaceMotor(motor.nodeId, motor);
}

bool MotorListModel::replaceMotor(unsigned int key, const MotorData &motor) {
    int row = -1;
    if (listedMotor(key, row) == nullptr) {
        return false;
    }
    motors.insert(key, motor);
    statusTexts.remove(key);
    emit dataChanged(index(row, 0), index(row, 0));
    return true;
}
