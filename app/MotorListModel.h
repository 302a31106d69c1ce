// The list behind the motor list page: one row per discovered motor, rebuilt
// wholesale after a scan; afterwards only the file path and the state change.
// Rows are found by a key: the node id in the list of the page, a key of
// the controller's own in the list of the motors that share a node id with a
// listed one (another instance of this model).
#ifndef MOTORLISTMODEL_H
#define MOTORLISTMODEL_H

#include <QAbstractListModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QVariant>

#include "client_api.h"

// Plain enumeration on purpose: QML sees the values as ints through the
// motorStatus role and names them through CANopenWrapper::MotorState.
enum MotorStatus { Available = 0, Disconnected = 1, Bootloader = 2, Busy = 3 };

// How the last operation on a row ended, beside its state: the state alone
// cannot tell a failed upgrade (the motor stays in its bootloader) from a
// successful entry, nor an upgraded motor from an untouched one. Any change
// of the state, and the start of the next operation, clears it.
// A cancelled operation (stopped, or dropped before it began) is not a failure.
enum OperationResult {
    NoResult = 0,
    UpgradeRunning = 1,
    OperationFailed = 2,
    UpgradeSucceeded = 3,
    OperationCancelled = 4
};

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
    // The row's bar: percent (-1: no bar) and its text. The result of an
    // upgrade stays in it until the row's next operation.
    int progress = -1;
    QString progressText;
    // An operation of the controller is queued or running for the motor;
    // queued: it has not begun on the channel's worker yet.
    bool busy = false;
    bool queued = false;
    QString lastError;           // step and reason of the last failed operation, in the user's language
    quint32 softwareVersion = 0; // what `version` shows, as a number to compare with the file's
    // How matching paired the file (MotorListModel::MatchKind); a file chosen
    // by hand has no mark.
    int matchKind = 0;
    // The version the file's name carries (V<a>_<b>_<c>_<d>), when it does.
    bool haveFileVersion = false;
    quint32 fileVersion = 0;
    // Found in its bootloader and named by the upgrade history: "resumed from
    // history entry 12", or why its file is not taken; "" otherwise.
    QString historyNote;
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
        ProgressRole,
        ProgressTextRole,
        StatusTextRole,
        BusyRole,
        AdapterNameRole,
        LastErrorRole,
        FileVersionRole,
        VersionCheckRole,
        MatchKindRole,
        HasFileRole,
        PhaseRole,        // RowPhase
        MotorKeyRole,     // the key the row is found by
        VersionNumberRole, // the motor's version as a number, for sorting
        HistoryNoteRole
    };
    Q_ENUM(MotorRoles)

    // How the row's file was paired by matching. Loose and several-exact
    // pairings are the naming rule's first choice, not certainly the
    // motor's file: the row marks them and the bulk upgrade asks first.
    enum MatchKind { MatchNone = 0, MatchExact, MatchLoose, MatchSeveralExact };
    Q_ENUM(MatchKind)

    // Where the row's operation stands, the one thing the page shows and
    // filters rows by: a word and an icon each, not only a colour.
    enum RowPhase { PhaseIdle = 0, PhaseQueued, PhaseRunning, PhaseSucceeded, PhaseFailed, PhaseCancelled };
    Q_ENUM(RowPhase)

    // The file's version against the one the motor runs.
    enum VersionCheck { NoFileToCheck = 0, FileWithoutVersion, FileNewer, FileCurrent, FileOlder };
    Q_ENUM(VersionCheck)

    explicit MotorListModel(QObject *parent = nullptr);

    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QHash<int, QByteArray> roleNames() const override;

    // Rebuilds every row from the client API's discovered-motor table.
    void refreshFromBackend();
    // Rebuilds every row from `rows`, each found by its key (same order).
    void resetRows(const QList<unsigned int> &keys, const QList<MotorData> &rows);
    void clear();
    Q_INVOKABLE unsigned int keyAt(int row) const;
    // The longest text a column shows (by characters), for its width.
    Q_INVOKABLE QString longestText(int role) const;
    static RowPhase phaseOf(const MotorData &motor);

    // A file chosen by hand: no match mark.
    Q_INVOKABLE void setBinFilePath(unsigned int nodeId, const QString &filePath);
    // A file paired by matching, with how it was paired.
    void setMatchedFile(unsigned int nodeId, const QString &filePath, MatchKind kind);
    Q_INVOKABLE QString getBinFilePath(unsigned int nodeId) const;

    // The one way a row's state changes; false (and nothing changes) for a
    // change the row cannot make (allowedTransition).
    bool setMotorStatus(unsigned int nodeId, MotorStatus status);
    // The states a row goes through: any state may become Busy when an
    // operation is queued or a scan begins; Busy ends in any state; a hold
    // of the application or a successful upgrade moves between Available and
    // Bootloader directly, and a held motor that was Disconnected answers in
    // its bootloader. A row becomes Disconnected only from Busy (a probe
    // found nothing) and leaves it only through Busy or a hold; a state may
    // be set again.
    static bool allowedTransition(MotorStatus from, MotorStatus to);
    MotorStatus getMotorStatus(unsigned int nodeId) const;
    void setLastResult(unsigned int nodeId, OperationResult result);
    OperationResult getLastResult(unsigned int nodeId) const;
    // Why the last operation failed (empty: it did not, or a new one began).
    void setLastError(unsigned int nodeId, const QString &text);
    void setHistoryNote(unsigned int nodeId, const QString &text);
    QString getLastError(unsigned int nodeId) const;
    MotorData *getMotorData(unsigned int nodeId);

    // What the page shows besides the identity; set on the main thread by
    // the controller.
    void setProgress(unsigned int nodeId, int percent, const QString &text);
    // The row's next operation begins: its bar and last result go.
    void startOperation(unsigned int nodeId);
    void setBusy(unsigned int nodeId, bool busy);
    void setQueued(unsigned int nodeId, bool queued);
    // The row's latest status text; kept by node id, also across a rebuild.
    void setStatusText(unsigned int nodeId, const QString &text);
    QString statusText(unsigned int nodeId) const;
    void setVersion(unsigned int nodeId, quint32 softwareVersion);
    // Puts another motor under a listed node id (the same node id answered on
    // several channels): its channel and identity, no file, Available, no
    // bar and no text of the motor it replaces.
    bool replaceMotor(const MotorData &motor);
    bool replaceMotor(unsigned int key, const MotorData &motor);

    // Whether a row's path names a file: not empty and not the placeholder
    // "unknown" that stands for none.
    static bool hasFile(const QString &binFilePath);
    // A record for one entry of the discovered-motor table.
    static MotorData fromDiscovered(const client_discovered_motor_t &entry);
    // Four dotted decimal bytes, most significant first.
    static QString versionText(quint32 softwareVersion);
    // The version a firmware file's name carries; false when it has none.
    static bool fileNameVersion(const QString &filePath, quint32 *version);
    static VersionCheck versionCheck(const MotorData &motor);

  signals:
    void dataUpdated();

  private:
    int rowOf(unsigned int nodeId) const;
    // The listed motor of a node id and its row, or null when it is not listed.
    MotorData *listedMotor(unsigned int nodeId, int &row);
    void emitRolesChanged(int row, const QList<int> &roles);
    // Stores the path with what follows from it; the roles that changed.
    static QList<int> assignFile(MotorData &motor, const QString &filePath, MatchKind kind);

    // Rows by key, the keys in row order, and each key's latest status text.
    QHash<unsigned int, MotorData> motors;
    QList<unsigned int> nodeIds;
    QHash<unsigned int, QString> statusTexts;
};

#endif
