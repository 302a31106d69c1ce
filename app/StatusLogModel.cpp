#include "StatusLogModel.h"

StatusLogModel::StatusLogModel(int capacity, QObject *parent)
    : QAbstractListModel(parent), m_capacity(capacity < 1 ? 1 : capacity) {}

int StatusLogModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_lines.size());
}

QVariant StatusLogModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid() || index.row() < 0 || index.row() >= m_lines.size()) {
        return QVariant();
    }
    const auto &line = m_lines.at(index.row());
    switch (role) {
    case TimeRole:
        return line.first;
    case TextRole:
    case Qt::DisplayRole:
        return role == TextRole ? line.second : line.first + QLatin1Char(' ') + line.second;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> StatusLogModel::roleNames() const {
    return {{TimeRole, "time"}, {TextRole, "message"}};
}

void StatusLogModel::append(const QString &time, const QString &text) {
    if (m_lines.size() >= m_capacity) {
        beginRemoveRows(QModelIndex(), 0, 0);
        m_lines.removeFirst();
        endRemoveRows();
    }
    const int row = static_cast<int>(m_lines.size());
    beginInsertRows(QModelIndex(), row, row);
    m_lines.append({time, text});
    endInsertRows();
}
