// The scan page's cards: one row per channel in the order of the
// controller's channel list (row i belongs to the scan signals' channel index
// i), kept up to date from the controller's per-channel scan signals.
#ifndef CHANNELSCANMODEL_H
#define CHANNELSCANMODEL_H

#include <QAbstractListModel>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <QVariant>

class CANopenWrapper;

class ChannelScanModel : public QAbstractListModel {
    Q_OBJECT
    Q_PROPERTY(CANopenWrapper *canopen READ canopen WRITE setCanopen NOTIFY canopenChanged)
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)

  public:
    enum Roles {
        PercentRole = Qt::UserRole + 1,
        StatusRole,
        ChannelInfoRole,
        DeviceTypeRole,
        DeviceTypeNameRole,
        AdapterNameRole,
        DeviceIndexRole,
        ChannelIndexRole, // the channel number on the adapter
        BitrateRole
    };
    Q_ENUM(Roles)

    explicit ChannelScanModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    CANopenWrapper *canopen() const { return m_canopen; }
    void setCanopen(CANopenWrapper *canopen);

    // Fresh cards at 0 %, one per channel the controller has up (none
    // without a controller).
    Q_INVOKABLE void fill();
    Q_INVOKABLE QVariantMap get(int row) const;

  signals:
    void canopenChanged();
    void countChanged();

  private:
    struct Card {
        int percent;
        QString status;
        QString channelInfo;
        unsigned int deviceType;
        QString deviceTypeName;
        QString adapterName;
        unsigned int deviceIndex;
        unsigned int canChannel;
        unsigned int bitrate;
    };
    static Card cardFor(int position, const QVariantMap &channel, const QString &status);
    // A report may name a channel position the page has no card for yet: the
    // missing cards are added first. False for a negative position.
    bool ensureCard(int channelIndex, const QString &status);
    void cardChanged(int row, const QList<int> &roles);
    void onProgress(int channelIndex, int percent, const QString &status);
    void onCompleted(int channelIndex, int discoveredCount);
    void onNote(int channelIndex, const QString &note);

    QPointer<CANopenWrapper> m_canopen;
    QList<QMetaObject::Connection> m_connections;
    QList<Card> m_cards;
};

#endif
