// The upgrade history of this station for the window's history dialog:
// the entries that pass the dialog's filters, newest first, and their
// export as CSV.
#ifndef HISTORYMODEL_H
#define HISTORYMODEL_H

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QStringList>

// A CSV field: as it is, or quoted when it holds a comma, a quote or a line end.
QString csvField(const QString &text);

class HistoryModel : public QAbstractListModel {
    Q_OBJECT
    // Why the last load found nothing to read ("" when it read the file).
    Q_PROPERTY(QString problem READ problem NOTIFY loaded)
    Q_PROPERTY(int count READ rowCount NOTIFY loaded)

  public:
    // The dialog's columns, in the export's order.
    enum Roles {
        IdRole = Qt::UserRole + 1,
        StartedRole,
        EndedRole,
        StationRole,
        UserRole,
        TransportRole,
        AdapterSerialRole,
        ChannelRole,
        NodeRole,
        ModelRole,
        BrakeRole,
        EncoderRole,
        VersionBeforeRole,
        VersionAfterRole,
        FileRole,
        PathRole,
        FileSizeRole,
        FileSha256Role,
        FileCrcRole,
        DeviceCrcRole,
        OutcomeRole,
        AttemptsRole,
        NoteRole
    };
    Q_ENUM(Roles)

    explicit HistoryModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;
    QString problem() const { return m_problem; }

    // Reads the entries of the history file ($OSTRELO_HISTORY, else the
    // data folder's) that pass the filters: `since` a UTC date
    // "2026-12-01" or time "2026-12-01T08:00" ("" any), `channel` "A.C"
    // ("" any), `node` 1..127 (0 any), `outcome` "ok", "failed",
    // "interrupted" or "in progress" ("" any). The number listed, or -1 when
    // a filter is not understood or the file cannot be read (`problem` says
    // which).
    Q_INVOKABLE int load(const QString &since, const QString &channel, int node, const QString &outcome);
    // The listed entries as CSV (a header line, then one line each, UTF-8);
    // false when the file cannot be written.
    Q_INVOKABLE bool exportCsv(const QString &filePath) const;

  signals:
    void loaded();

  private:
    int fail(const QString &problem);

    QList<QStringList> m_rows; // one text per role, IdRole first
    QString m_problem;
};

#endif
