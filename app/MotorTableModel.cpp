#include "MotorTableModel.h"

#include <QCollator>

#include "MotorListModel.h"

MotorTableModel::MotorTableModel(MotorListModel *source, QObject *parent) : QSortFilterProxyModel(parent) {
    setSourceModel(source);
    // Rows move and show as their state changes (an upgrade that fails
    // joins the failed ones at once).
    setDynamicSortFilter(true);
    for (auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved}) {
        connect(this, signal, this, &MotorTableModel::countsChanged);
    }
    connect(this, &QAbstractItemModel::modelReset, this, &MotorTableModel::countsChanged);
    connect(this, &QAbstractItemModel::layoutChanged, this, &MotorTableModel::countsChanged);
}

int MotorTableModel::totalCount() const {
    return sourceModel() != nullptr ? sourceModel()->rowCount() : 0;
}

void MotorTableModel::setFilter(int filter) {
    if (filter == m_filter || filter < ShowAll || filter > ShowWithoutFile) {
        return;
    }
    m_filter = filter;
    invalidateRowsFilter();
    emit filterChanged();
    emit countsChanged();
}

bool MotorTableModel::passes(int filter, int phase, int motorStatus, bool hasFile) {
    switch (filter) {
    case ShowProblems:
        return phase == MotorListModel::PhaseFailed || phase == MotorListModel::PhaseCancelled;
    case ShowFailed:
        return phase == MotorListModel::PhaseFailed;
    case ShowCancelled:
        return phase == MotorListModel::PhaseCancelled;
    case ShowSucceeded:
        return phase == MotorListModel::PhaseSucceeded;
    case ShowRunning:
        return phase == MotorListModel::PhaseRunning;
    case ShowQueued:
        return phase == MotorListModel::PhaseQueued;
    case ShowInBootloader:
        return motorStatus == Bootloader;
    case ShowWithoutFile:
        return !hasFile;
    default:
        return true;
    }
}

bool MotorTableModel::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const {
    if (m_filter == ShowAll) {
        return true;
    }
    const QModelIndex idx = sourceModel()->index(sourceRow, 0, sourceParent);
    return passes(m_filter, idx.data(MotorListModel::PhaseRole).toInt(),
                  idx.data(MotorListModel::MotorStatusRole).toInt(),
                  idx.data(MotorListModel::HasFileRole).toBool());
}

void MotorTableModel::sortBy(int role) {
    if (role == m_sortRole && m_descending) {
        clearSorting();
        return;
    }
    m_descending = role == m_sortRole;
    m_sortRole = role;
    applySorting();
}

void MotorTableModel::clearSorting() {
    m_sortRole = 0;
    m_descending = false;
    applySorting();
}

void MotorTableModel::applySorting() {
    if (m_sortRole == 0) {
        sort(-1);
    } else {
        setSortRole(m_sortRole);
        sort(0, m_descending ? Qt::DescendingOrder : Qt::AscendingOrder);
    }
    emit sortingChanged();
}

bool MotorTableModel::lessThan(const QModelIndex &left, const QModelIndex &right) const {
    // Versions by their value (1.10 after 1.9), texts with their numbers
    // read as numbers; equal rows keep the list's order.
    const int role =
        sortRole() == MotorListModel::VersionRole ? int(MotorListModel::VersionNumberRole) : sortRole();
    const QVariant a = left.data(role);
    const QVariant b = right.data(role);
    int order = 0;
    if (a.typeId() == QMetaType::QString || b.typeId() == QMetaType::QString) {
        static const QCollator collator = [] {
            QCollator c;
            c.setNumericMode(true);
            c.setCaseSensitivity(Qt::CaseInsensitive);
            return c;
        }();
        order = collator.compare(a.toString(), b.toString());
    } else {
        const qlonglong x = a.toLongLong();
        const qlonglong y = b.toLongLong();
        order = x < y ? -1 : (x > y ? 1 : 0);
    }
    if (order != 0) {
        return order < 0;
    }
    // The tie-break must not turn round with the order: a descending sort
    // asks with the arguments swapped.
    return sortOrder() == Qt::DescendingOrder ? left.row() > right.row() : left.row() < right.row();
}
