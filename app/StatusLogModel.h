// The status texts of a run with their times, newest last, for the window's
// log view. Keeps the latest `capacity` lines.
#ifndef STATUSLOGMODEL_H
#define STATUSLOGMODEL_H

#include <QAbstractListModel>
#include <QList>
#include <QPair>
#include <QString>

class StatusLogModel : public QAbstractListModel {
    Q_OBJECT

  public:
    enum Roles { TimeRole = Qt::UserRole + 1, TextRole };

    explicit StatusLogModel(int capacity = 1000, QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    void append(const QString &time, const QString &text);

  private:
    const int m_capacity;
    QList<QPair<QString, QString>> m_lines;
};

#endif
