#include "ChannelScanModel.h"

#include "CANopenWrapper.h"

ChannelScanModel::ChannelScanModel(QObject *parent) : QAbstractListModel(parent) {}

void ChannelScanModel::setCanopen(CANopenWrapper *canopen) {
    if (canopen == m_canopen) {
        return;
    }
    for (const QMetaObject::Connection &c : std::as_const(m_connections)) {
        disconnect(c);
    }
    m_connections.clear();
    m_canopen = canopen;
    if (canopen != nullptr) {
        m_connections = {
            connect(canopen, &CANopenWrapper::channelScanProgress, this, &ChannelScanModel::onProgress),
            connect(canopen, &CANopenWrapper::channelScanCompleted, this, &ChannelScanModel::onCompleted),
            connect(canopen, &CANopenWrapper::channelScanNote, this, &ChannelScanModel::onNote)};
    }
    emit canopenChanged();
}

int ChannelScanModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_cards.size());
}

QVariant ChannelScanModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_cards.size()) {
        return QVariant();
    }
    const Card &c = m_cards.at(index.row());
    switch (role) {
    case PercentRole:
        return c.percent;
    case StatusRole:
        return c.status;
    case ChannelInfoRole:
        return c.channelInfo;
    case DeviceTypeRole:
        return c.deviceType;
    case DeviceTypeNameRole:
        return c.deviceTypeName;
    case AdapterNameRole:
        return c.adapterName;
    case DeviceIndexRole:
        return c.deviceIndex;
    case ChannelIndexRole:
        return c.canChannel;
    case BitrateRole:
        return c.bitrate;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> ChannelScanModel::roleNames() const {
    return {{PercentRole, "percent"},
            {StatusRole, "status"},
            {ChannelInfoRole, "channelInfo"},
            {DeviceTypeRole, "deviceType"},
            {DeviceTypeNameRole, "deviceTypeName"},
            {AdapterNameRole, "adapterName"},
            {DeviceIndexRole, "deviceIndex"},
            {ChannelIndexRole, "channelIndex"},
            {BitrateRole, "bitrate"}};
}

QVariantMap ChannelScanModel::get(int row) const {
    QVariantMap out;
    if (row < 0 || row >= m_cards.size()) {
        return out;
    }
    const QHash<int, QByteArray> roles = roleNames();
    for (auto it = roles.constBegin(); it != roles.constEnd(); ++it) {
        out.insert(QString::fromLatin1(it.value()), data(index(row, 0), it.key()));
    }
    return out;
}

ChannelScanModel::Card ChannelScanModel::cardFor(int position, const QVariantMap &c, const QString &status) {
    const QString unknown = tr("未知");
    Card card;
    card.percent = 0;
    card.status = status;
    card.channelInfo = tr("通道 %1").arg(position + 1);
    card.deviceType = c.value(QStringLiteral("deviceType"), 0u).toUInt();
    card.deviceTypeName = c.value(QStringLiteral("deviceTypeName"), unknown).toString();
    // The adapter as the channel configuration names it.
    card.adapterName = c.value(QStringLiteral("adapterName"), card.deviceTypeName).toString();
    card.deviceIndex = c.value(QStringLiteral("deviceIndex"), 0u).toUInt();
    card.canChannel = c.value(QStringLiteral("canChannel"), 0u).toUInt();
    card.bitrate = c.value(QStringLiteral("bitrate"), 0u).toUInt();
    return card;
}

void ChannelScanModel::fill() {
    const QVariantList channels = m_canopen != nullptr ? m_canopen->getAvailableChannels() : QVariantList();
    const qsizetype before = m_cards.size();
    beginResetModel();
    m_cards.clear();
    for (int i = 0; i < channels.size(); ++i) {
        m_cards.append(cardFor(i, channels.at(i).toMap(), tr("等待开始...")));
    }
    endResetModel();
    if (m_cards.size() != before) {
        emit countChanged();
    }
}

bool ChannelScanModel::ensureCard(int channelIndex, const QString &status) {
    if (channelIndex < 0) {
        return false;
    }
    if (channelIndex < m_cards.size()) {
        return true;
    }
    const QVariantList channels = m_canopen != nullptr ? m_canopen->getAvailableChannels() : QVariantList();
    const int first = static_cast<int>(m_cards.size());
    beginInsertRows(QModelIndex(), first, channelIndex);
    for (int position = first; position <= channelIndex; ++position) {
        m_cards.append(cardFor(
            position, position < channels.size() ? channels.at(position).toMap() : QVariantMap(), status));
    }
    endInsertRows();
    emit countChanged();
    return true;
}

void ChannelScanModel::cardChanged(int row, const QList<int> &roles) {
    const QModelIndex i = index(row, 0);
    emit dataChanged(i, i, roles);
}

void ChannelScanModel::onProgress(int channelIndex, int percent, const QString &status) {
    if (!ensureCard(channelIndex, tr("等待开始..."))) {
        return;
    }
    m_cards[channelIndex].percent = percent;
    m_cards[channelIndex].status = status;
    cardChanged(channelIndex, {PercentRole, StatusRole});
}

void ChannelScanModel::onCompleted(int channelIndex, int discoveredCount) {
    if (!ensureCard(channelIndex, QString())) {
        return;
    }
    m_cards[channelIndex].percent = 100;
    m_cards[channelIndex].status = tr("完成，发现 %1 个电机").arg(discoveredCount);
    cardChanged(channelIndex, {PercentRole, StatusRole});
}

void ChannelScanModel::onNote(int channelIndex, const QString &note) {
    if (!ensureCard(channelIndex, QString())) {
        return;
    }
    Card &card = m_cards[channelIndex];
    card.status = tr("%1（%2）").arg(card.status, note);
    cardChanged(channelIndex, {StatusRole});
}
