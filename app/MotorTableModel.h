// The motor list as the page's table shows it: sorted by any column and
// filtered by where each row's operation stands. The rows stay those of the
// motor list model; only their order and which of them show change.
#ifndef MOTORTABLEMODEL_H
#define MOTORTABLEMODEL_H

#include <QSortFilterProxyModel>

class MotorListModel;

class MotorTableModel : public QSortFilterProxyModel {
    Q_OBJECT
    // The role the rows are sorted by (a MotorListModel role); 0: the list's own order.
    Q_PROPERTY(int sortedBy READ sortedBy NOTIFY sortingChanged)
    Q_PROPERTY(bool descending READ descending NOTIFY sortingChanged)
    Q_PROPERTY(int filter READ filter WRITE setFilter NOTIFY filterChanged)
    // Rows shown and rows in the list.
    Q_PROPERTY(int shownCount READ shownCount NOTIFY countsChanged)
    Q_PROPERTY(int totalCount READ totalCount NOTIFY countsChanged)

  public:
    // Which rows show. Problems are the failed and the cancelled ones: what
    // is left to do after a run.
    enum Filter {
        ShowAll = 0,
        ShowProblems,
        ShowFailed,
        ShowCancelled,
        ShowSucceeded,
        ShowRunning,
        ShowQueued,
        ShowInBootloader,
        ShowWithoutFile
    };
    Q_ENUM(Filter)

    explicit MotorTableModel(MotorListModel *source, QObject *parent = nullptr);

    int sortedBy() const { return m_sortRole; }
    bool descending() const { return m_descending; }
    int filter() const { return m_filter; }
    void setFilter(int filter);
    int shownCount() const { return rowCount(); }
    int totalCount() const;

    // Sorts by `role`; the same role again turns the order round, a third
    // time goes back to the list's own order.
    Q_INVOKABLE void sortBy(int role);
    Q_INVOKABLE void clearSorting();
    // Whether a row with these values passes `filter` (also for the page).
    static bool passes(int filter, int phase, int motorStatus, bool hasFile);

  signals:
    void sortingChanged();
    void filterChanged();
    void countsChanged();

  protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;
    bool lessThan(const QModelIndex &left, const QModelIndex &right) const override;

  private:
    void applySorting();

    int m_sortRole = 0;
    bool m_descending = false;
    int m_filter = ShowAll;
};

#endif
