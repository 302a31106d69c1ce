// The rows of the channel configuration page: which adapter type, adapter
// index, CAN channel and bit rate, and whether the row is used. It also holds
// the one table of the adapter types the program knows: their codes, the
// names the configuration and the motor list show, and how many channels
// each offers.
#ifndef CHANNELCONFIGMODEL_H
#define CHANNELCONFIGMODEL_H

#include <QAbstractListModel>
#include <QList>
#include <QString>
#include <QVariant>

class ChannelConfigModel : public QAbstractListModel {
    Q_OBJECT
    // The adapter type choices of a row, in order: maps with "text" and "value".
    Q_PROPERTY(QVariantList deviceTypes READ deviceTypes CONSTANT)
    Q_PROPERTY(QVariantList bitrates READ bitrates CONSTANT)
    // What a row's missing field counts as ("deviceType", "deviceIndex",
    // "canChannel", "bitrate").
    Q_PROPERTY(QVariantMap defaultRow READ defaultRow CONSTANT)
    Q_PROPERTY(int count READ rowCount NOTIFY countChanged)
    // Twelve rows, unless the detected adapters offer more channels (up to 24).
    Q_PROPERTY(int rowLimit READ rowLimit NOTIFY rowLimitChanged)
    Q_PROPERTY(int largestRig READ largestRig CONSTANT)
    Q_PROPERTY(int highestAdapterIndex READ highestAdapterIndex CONSTANT)

  public:
    enum Roles {
        DeviceTypeRole = Qt::UserRole + 1,
        DeviceIndexRole,
        CanChannelRole,
        BitrateRole,
        EnabledRole,
        TypeChoiceRole, // the row's place in deviceTypes
        MaxChannelRole  // the highest channel number of the row's type
    };
    Q_ENUM(Roles)

    explicit ChannelConfigModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QHash<int, QByteArray> roleNames() const override;

    QVariantList deviceTypes() const;
    QVariantList bitrates() const;
    QVariantMap defaultRow() const;
    int rowLimit() const { return m_rowLimit; }
    static int largestRig() { return 24; }
    static int highestAdapterIndex() { return 10; }

    // The first rows of a fresh page: adapters 0 and 1 with two channels
    // each, the other rows unused. Only while there are no rows.
    Q_INVOKABLE bool setDefaults();
    // One enabled row per channel map (at most rowLimit), then unused rows.
    Q_INVOKABLE void fillFromChannels(const QVariantList &channels);
    // The channels the adapters offer: the row limit and the canalyst-II
    // channel count follow them, then the rows are filled from them.
    Q_INVOKABLE void fillFromDetected(const QVariantList &channels);
    Q_INVOKABLE QVariantMap get(int row) const;
    // Every row as the controller's setChannelConfigs takes it.
    Q_INVOKABLE QVariantList configs() const;
    Q_INVOKABLE int maxChannelFor(unsigned int deviceType) const;

    Q_INVOKABLE void setEnabled(int row, bool enabled);
    // A new adapter type by its place in deviceTypes; a channel number the
    // type does not have becomes 0.
    Q_INVOKABLE void setTypeChoice(int row, int choice);
    Q_INVOKABLE void setDeviceIndex(int row, unsigned int index);
    Q_INVOKABLE void setCanChannel(int row, unsigned int channel);
    Q_INVOKABLE void setBitrate(int row, unsigned int kbps);

    // The adapter type table, for the controller and the motor list.
    static unsigned int canalystType();
    // "ZHCX", "SocketCAN", or "未知(<code>)".
    static QString deviceTypeName(unsigned int deviceType);
    // "canalyst-II", "socketcan", or the code.
    static QString adapterName(unsigned int deviceType);

  signals:
    void countChanged();
    void rowLimitChanged();

  private:
    struct Row {
        unsigned int deviceType;
        unsigned int deviceIndex;
        unsigned int canChannel;
        unsigned int bitrate;
        bool enabled;
    };
    static Row unusedRow();
    void setRows(const QList<Row> &rows);
    void changed(int row, const QList<int> &roles);
    bool valid(int row) const { return row >= 0 && row < m_rows.size(); }

    QList<Row> m_rows;
    int m_rowLimit = 12;
    unsigned int m_canalystChannels = 2;
};

#endif
