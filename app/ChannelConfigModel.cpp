#include "ChannelConfigModel.h"

#include <algorithm>

#include "ControlCAN.h"

namespace {

struct AdapterType {
    unsigned int code;
    const char *name;        // as the channel configuration names it
    const char *displayName; // as the channel maps and the motor list name it
    unsigned int channels;   // 0: as many as the detected canalyst-II adapters have
};

// In the order the channel configuration offers them. The SocketCAN
// backend's adapters have the code 0.
const AdapterType kTypes[] = {
    {0u, "socketcan", "SocketCAN", 12u},
    {VCI_USBCAN2, "canalyst-II", "ZHCX", 0u},
};
const int kCanalystChoice = 1;
const unsigned int kBitrates[] = {125u, 250u, 500u, 1000u};
const unsigned int kDefaultBitrate = 1000u;

// The type's place in kTypes; a code the table does not have counts as canalyst-II.
int choiceOf(unsigned int code) {
    for (int i = 0; i < static_cast<int>(std::size(kTypes)); ++i) {
        if (kTypes[i].code == code) {
            return i;
        }
    }
    return kCanalystChoice;
}

const AdapterType *typeOf(unsigned int code) {
    for (const AdapterType &t : kTypes) {
        if (t.code == code) {
            return &t;
        }
    }
    return nullptr;
}

} // namespace

ChannelConfigModel::ChannelConfigModel(QObject *parent) : QAbstractListModel(parent) {}

unsigned int ChannelConfigModel::canalystType() {
    return kTypes[kCanalystChoice].code;
}

QString ChannelConfigModel::deviceTypeName(unsigned int deviceType) {
    const AdapterType *t = typeOf(deviceType);
    return t != nullptr ? QString::fromLatin1(t->displayName) : tr("未知(%1)").arg(deviceType);
}

QString ChannelConfigModel::adapterName(unsigned int deviceType) {
    const AdapterType *t = typeOf(deviceType);
    return t != nullptr ? QString::fromLatin1(t->name) : QString::number(deviceType);
}

ChannelConfigModel::Row ChannelConfigModel::unusedRow() {
    return Row{canalystType(), 0u, 0u, kDefaultBitrate, false};
}

int ChannelConfigModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant ChannelConfigModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || !valid(index.row())) {
        return QVariant();
    }
    const Row &r = m_rows.at(index.row());
    switch (role) {
    case DeviceTypeRole:
        return r.deviceType;
    case DeviceIndexRole:
        return r.deviceIndex;
    case CanChannelRole:
        return r.canChannel;
    case BitrateRole:
        return r.bitrate;
    case EnabledRole:
        return r.enabled;
    case TypeChoiceRole:
        return choiceOf(r.deviceType);
    case MaxChannelRole:
        return maxChannelFor(r.deviceType);
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ChannelConfigModel::roleNames() const {
    return {{DeviceTypeRole, "deviceType"}, {DeviceIndexRole, "deviceIndex"}, {CanChannelRole, "canChannel"},
            {BitrateRole, "bitrate"},       {EnabledRole, "enabled"},         {TypeChoiceRole, "typeChoice"},
            {MaxChannelRole, "maxChannel"}};
}

QVariantList ChannelConfigModel::deviceTypes() const {
    QVariantList out;
    for (const AdapterType &t : kTypes) {
        out.append(QVariantMap{{QStringLiteral("text"), QString::fromLatin1(t.name)},
                               {QStringLiteral("value"), t.code}});
    }
    return out;
}

QVariantList ChannelConfigModel::bitrates() const {
    QVariantList out;
    for (unsigned int b : kBitrates) {
        out.append(b);
    }
    return out;
}

QVariantMap ChannelConfigModel::defaultRow() const {
    const Row r = unusedRow();
    return {{QStringLiteral("deviceType"), r.deviceType},
            {QStringLiteral("deviceIndex"), r.deviceIndex},
            {QStringLiteral("canChannel"), r.canChannel},
            {QStringLiteral("bitrate"), r.bitrate}};
}

int ChannelConfigModel::maxChannelFor(unsigned int deviceType) const {
    const AdapterType &t = kTypes[choiceOf(deviceType)];
    return static_cast<int>(t.channels != 0 ? t.channels : m_canalystChannels) - 1;
}

void ChannelConfigModel::setRows(const QList<Row> &rows) {
    const qsizetype before = m_rows.size();
    beginResetModel();
    m_rows = rows;
    while (m_rows.size() < m_rowLimit) {
        m_rows.append(unusedRow());
    }
    endResetModel();
    if (m_rows.size() != before) {
        emit countChanged();
    }
}

bool ChannelConfigModel::setDefaults() {
    if (!m_rows.isEmpty()) {
        return false;
    }
    const unsigned int type = canalystType();
    setRows({Row{type, 0, 0, kDefaultBitrate, true}, Row{type, 0, 1, kDefaultBitrate, true},
             Row{type, 1, 0, kDefaultBitrate, true}, Row{type, 1, 1, kDefaultBitrate, true}});
    return true;
}

void ChannelConfigModel::fillFromChannels(const QVariantList &channels) {
    QList<Row> rows;
    for (const QVariant &v : channels) {
        if (rows.size() >= m_rowLimit) {
            break;
        }
        const QVariantMap c = v.toMap();
        rows.append(Row{c.value(QStringLiteral("deviceType")).toUInt(),
                        c.value(QStringLiteral("deviceIndex")).toUInt(),
                        c.value(QStringLiteral("canChannel")).toUInt(),
                        c.value(QStringLiteral("bitrate")).toUInt(), true});
    }
    setRows(rows);
}

void ChannelConfigModel::fillFromDetected(const QVariantList &channels) {
    if (channels.isEmpty()) {
        return;
    }
    unsigned int most = 2;
    for (const QVariant &v : channels) {
        most = std::max(most, v.toMap().value(QStringLiteral("canChannel")).toUInt() + 1u);
    }
    m_canalystChannels = most;
    const int limit = std::min(largestRig(), std::max(12, static_cast<int>(channels.size())));
    if (limit != m_rowLimit) {
        m_rowLimit = limit;
        emit rowLimitChanged();
    }
    fillFromChannels(channels);
}

QVariantMap ChannelConfigModel::get(int row) const {
    if (!valid(row)) {
        return {};
    }
    const Row &r = m_rows.at(row);
    return {{QStringLiteral("deviceType"), r.deviceType},
            {QStringLiteral("deviceIndex"), r.deviceIndex},
            {QStringLiteral("canChannel"), r.canChannel},
            {QStringLiteral("bitrate"), r.bitrate},
            {QStringLiteral("enabled"), r.enabled},
            {QStringLiteral("typeChoice"), choiceOf(r.deviceType)},
            {QStringLiteral("maxChannel"), maxChannelFor(r.deviceType)}};
}

QVariantList ChannelConfigModel::configs() const {
    QVariantList out;
    for (const Row &r : m_rows) {
        out.append(QVariantMap{{QStringLiteral("deviceType"), r.deviceType},
                               {QStringLiteral("deviceIndex"), r.deviceIndex},
                               {QStringLiteral("canChannel"), r.canChannel},
                               {QStringLiteral("bitrate"), r.bitrate},
                               {QStringLiteral("enabled"), r.enabled}});
    }
    return out;
}

void ChannelConfigModel::changed(int row, const QList<int> &roles) {
    const QModelIndex i = index(row, 0);
    emit dataChanged(i, i, roles);
}

void ChannelConfigModel::setEnabled(int row, bool enabled) {
    if (valid(row) && m_rows[row].enabled != enabled) {
        m_rows[row].enabled = enabled;
        changed(row, {EnabledRole});
    }
}

void ChannelConfigModel::setTypeChoice(int row, int choice) {
    if (!valid(row) || choice < 0 || choice >= static_cast<int>(std::size(kTypes))) {
        return;
    }
    Row &r = m_rows[row];
    r.deviceType = kTypes[choice].code;
    QList<int> roles{DeviceTypeRole, TypeChoiceRole, MaxChannelRole};
    if (static_cast<int>(r.canChannel) > maxChannelFor(r.deviceType)) {
        r.canChannel = 0;
        roles.append(CanChannelRole);
    }
    changed(row, roles);
}

void ChannelConfigModel::setDeviceIndex(int row, unsigned int index) {
    if (valid(row) && m_rows[row].deviceIndex != index) {
        m_rows[row].deviceIndex = index;
        changed(row, {DeviceIndexRole});
    }
}

void ChannelConfigModel::setCanChannel(int row, unsigned int channel) {
    if (valid(row) && m_rows[row].canChannel != channel) {
        m_rows[row].canChannel = channel;
        changed(row, {CanChannelRole});
    }
}

void ChannelConfigModel::setBitrate(int row, unsigned int kbps) {
    if (valid(row) && m_rows[row].bitrate != kbps) {
        m_rows[row].bitrate = kbps;
        changed(row, {BitrateRole});
    }
}
