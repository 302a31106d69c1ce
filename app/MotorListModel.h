// The list behind the motor list page: one row per discovered motor, rebuilt
// wholesale after a scan; afterwards only the file path and the state change.
#ifndef MOTORLISTMODEL_H
#define MOTORLISTMODEL_H

#include <QAbstractListModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

// Plain enumeration on purpose: QML sees the values as ints through the
// motorStatus role and names them through CANopenWrapper::MotorState.
enum MotorStatus { Available = 0, Disconnected = 1, Bootloader = 2, Busy = 3 };

// How the last operation on a row ended, beside its state: the state alone
// cannot tell a failed upgrade (the motor stays in its bootloader) from a
// successful entry. Any change of the state starts a new operation and
// clears it.
enum OperationResult { NoResult = 0, UpgradeRunning = 1, OperationFailed = 2 };

struct MotorData {
    unsigned int nodeId = 0;
    unsigned int deviceType = 0;
    QString deviceTypeName;
    unsigned int deviceIndex = 0;
    unsigned int canChannel = 0;
    unsigned int bitrate = 0;
    QString firmwareModel;
    QString brakeSuffix;
    QString encoderName;
    QString version;
    QString filenameKey;
    QString binFilePath;
    MotorStatus motorStatus = Available;
    OperationResult lastResult = NoResult;
    QString lastError; // step and reason of the last failed operation, in the user's language
};

class MotorListModel : public QAbstractListModel {
    Q_OBJECT

  public:
    enum MotorRoles {
        NodeIdRole = Qt::UserRole + 1,
        DeviceTypeRole,
        DeviceTypeNameRole,
        DeviceIndexRole,
        CanChannelRole,
        BitrateRole,
        FirmwareModelRole,
        BrakeSuffixRole,
        EncoderNameRole,
        VersionRole,
        FilenameKeyRole,
        BinFilePathRole,
        MotorStatusRole,
        LastResultRole,
        LastErrorRole
    };
    Q_ENUM(MotorRoles)

    explicit MotorListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QHash<int, QByteArray> roleNames() const override;

    // Rebuilds every row from the client API's discovered-motor table.
    void refreshFromBackend();
    void clear();

    Q_INVOKABLE void setBinFilePath(unsigned int nodeId, const QString &filePath);
    Q_INVOKABLE QString getBinFilePath(unsigned int nodeId) const;

    void setMotorStatus(unsigned int nodeId, MotorStatus status);
    MotorStatus getMotorStatus(unsigned int nodeId) const;
    void setLastResult(unsigned int nodeId, OperationResult result);
    OperationResult getLastResult(unsigned int nodeId) const;
    // Why the last operation failed (empty: it did not, or a new one began).
    void setLastError(unsigned int nodeId, const QString &text);
    QString getLastError(unsigned int nodeId) const;
    MotorData *getMotorData(unsigned int nodeId);

    // Display name of an adapter type code, shared with the controller's
    // channel maps.
    static QString deviceTypeName(unsigned int deviceType);
    // Four dotted decimal bytes, most significant first.
    static QString versionText(quint32 softwareVersion);

  signals:
    void dataUpdated();

  private:
    int rowOf(unsigned int nodeId) const;
    // The listed motor of a node id and its row, or null when it is not listed.
    MotorData *listedMotor(unsigned int nodeId, int &row);
    void emitRolesChanged(int row, const QList<int> &roles);

    QHash<unsigned int, MotorData> motors;
    QList<unsigned int> nodeIds;
};

#endif
