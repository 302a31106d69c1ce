// The controller behind the user interface: channel configuration, motor
// scanning, per-motor operations and the interactive hold of all motors in
// their bootloader. Configuration runs on the main thread; blocking CAN work
// runs as tasks on the channel workers of ThreadPool.
#ifndef CANOPENWRAPPER_H
#define CANOPENWRAPPER_H

#include <QList>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QUrl>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>
#include <QHash>
#include <QAbstractItemModel>
#include <QPair>
#include <QSet>

#include <atomic>
#include <functional>
#include <memory>

#include "CO_driver_target.h"
#include "client_api.h"
#include "MotorListModel.h"
#include "MotorTableModel.h"
#include "ProgressCoalescer.h"

class UpgradeHistoryLog;

class CANopenWrapper : public QObject {
    Q_OBJECT
    Q_PROPERTY(unsigned int deviceType READ deviceType WRITE setDeviceType NOTIFY channelChoiceChanged)
    Q_PROPERTY(unsigned int deviceIndex READ deviceIndex WRITE setDeviceIndex NOTIFY channelChoiceChanged)
    Q_PROPERTY(unsigned int canChannel READ canChannel WRITE setCanChannel NOTIFY channelChoiceChanged)
    Q_PROPERTY(unsigned int bitrate READ bitrate WRITE setBitrate NOTIFY channelChoiceChanged)
    Q_PROPERTY(bool initialized READ isInitialized NOTIFY initializedChanged)
    Q_PROPERTY(QString statusMessage READ statusMessage NOTIFY statusMessageChanged)
    Q_PROPERTY(MotorListModel *motorListModel READ motorListModel CONSTANT)
    // A scan of all channels is running (its start button stays disabled).
    Q_PROPERTY(bool scanning READ isScanning NOTIFY scanningChanged)
    // Node ids with an operation queued or running on their channel.
    Q_PROPERTY(QVariantList busyNodes READ busyNodes NOTIFY busyNodesChanged)
    // Tasks of this controller queued or running on the channel workers.
    Q_PROPERTY(int activeOperations READ activeOperations NOTIFY activeOperationsChanged)
    // Why the CAN transport cannot work as chosen; empty when it can.
    Q_PROPERTY(QString transportProblem READ transportProblem CONSTANT)
    // The adapters are the simulated motor bench, not hardware.
    Q_PROPERTY(bool simulatedBench READ isSimulatedBench CONSTANT)
    // Motors a scan found under a node id that the list already holds for
    // another channel; each a map like a channel map plus the identity.
    Q_PROPERTY(QVariantList unlistedMotors READ unlistedMotors NOTIFY unlistedMotorsChanged)
    // Upgrades that ended since the program started, for the record export.
    Q_PROPERTY(int recordCount READ recordCount NOTIFY recordCountChanged)
    // Every status text with its time, newest last.
    Q_PROPERTY(QObject *statusLog READ statusLog CONSTANT)
    // The motor list sorted and filtered for the page's table.
    Q_PROPERTY(MotorTableModel *motorTable READ motorTable CONSTANT)
    // The motors of unlistedMotors as rows with their state, version, file
    // and bar, as they are now.
    Q_PROPERTY(MotorListModel *unlistedModel READ unlistedModel CONSTANT)
    // The folder the files were last matched from; a new scan pairs its
    // motors with it again.
    Q_PROPERTY(QString firmwareFolder READ firmwareFolder NOTIFY firmwareFolderChanged)
    // How the last bulk upgrade ended: "ok", "failed", "cancelled" (counts)
    // and "problems", one map per motor that failed or was not done
    // (nodeId, channel "A.C", reason, cancelled, listed); empty before one.
    Q_PROPERTY(QVariantMap upgradeSummary READ upgradeSummary NOTIFY upgradeSummaryChanged)

  public:
    // The model's row states and last results under names QML can use
    // (CANopenWrapper.Bootloader); scoped, so that the plain enumerators keep
    // their meaning inside the controller.
    enum class MotorState {
        Available = ::Available,
        Disconnected = ::Disconnected,
        Bootloader = ::Bootloader,
        Busy = ::Busy
    };
    Q_ENUM(MotorState)
    enum class LastResult {
        NoResult = ::NoResult,
        UpgradeRunning = ::UpgradeRunning,
        OperationFailed = ::OperationFailed,
        UpgradeSucceeded = ::UpgradeSucceeded,
        OperationCancelled = ::OperationCancelled
    };
    Q_ENUM(LastResult)

    // Rows of the motors that share a node id with a listed one are found by
    // keys from here on; below it a key is the listed motor's node id.
    static constexpr unsigned int kUnlistedKeyBase = 0x10000u;

    explicit CANopenWrapper(QObject *parent = nullptr);
    ~CANopenWrapper() override;

    // Guards every read and write of the client API's discovered-motor table
    // by the application (scan writes, model rebuild, file matching).
    static QMutex g_discovered_motors_mutex;

    unsigned int deviceType() const { return m_deviceType; }
    unsigned int deviceIndex() const { return m_deviceIndex; }
    unsigned int canChannel() const { return m_canChannel; }
    unsigned int bitrate() const { return m_bitrate; }
    void setDeviceType(unsigned int value);
    void setDeviceIndex(unsigned int value);
    void setCanChannel(unsigned int value);
    void setBitrate(unsigned int value);

    bool isInitialized() const { return m_initialized; }
    QString statusMessage() const { return m_statusMessage; }
    bool isScanning() const { return m_scanning; }
    QVariantList busyNodes() const;
    int activeOperations() const { return tasksInFlight.load(); }
    QString transportProblem() const { return m_transportProblem; }
    bool isSimulatedBench() const { return m_simulatedBench; }
    QVariantList unlistedMotors() const;
    int recordCount() const { return static_cast<int>(m_record.size()); }
    QObject *statusLog() const;
    MotorTableModel *motorTable() const { return m_motorTable; }
    MotorListModel *unlistedModel() const { return m_unlistedModel; }
    QString firmwareFolder() const { return m_firmwareFolder; }
    QVariantMap upgradeSummary() const { return m_upgradeSummary; }
    // The transport's explanation in the window's language.
    static QString transportProblemText(const QString &problem);

    void setStatusMessage(const QString &message);
    // Safe from any thread: a worker's call is carried to the main thread in
    // the order the worker makes it.
    void updateStatus(const QString &message);
    void setInitialized(bool value);
    bool getChannelInfoFromModel(unsigned int nodeId, CO_CANdeviceConfig_t &out);

    int scanMotorsWithProgress(CO_CANdeviceConfig_t channelId, int channelIndex, int channelCount,
                               unsigned int nodeIdMin, unsigned int nodeIdMax, unsigned int timeoutMs);
    void doPreventAppStartGroupTask(const QList<unsigned int> &nodeIds, int groupIndex);
    // From a worker's transfer: the bytes moved so far; reaches the row
    // coalesced (at most about ten values a second per motor).
    void postTransferProgress(unsigned int nodeId, quint64 transferred, quint64 total);

  signals:
    void initializedChanged();
    void statusMessageChanged(const QString &message);
    void scanCompleted(int motorCount);
    void motorsListUpdated();
    void scanProgress(int percent, const QString &status);
    void channelScanProgress(int channelIndex, int percent, const QString &status);
    void channelScanCompleted(int channelIndex, int discoveredCount);
    void upgradeProgressPercent(unsigned int nodeId, int percent, const QString &status);
    void upgradeCompleted(unsigned int nodeId, bool success);
    void channelsStatusUpdated(QVariantList availableChannels);
    void motorStatusChanged(unsigned int nodeId, const QString &status);
    void preventAppStartAllProgress(unsigned int nodeId, bool success);
    void preventAppStartAllCompleted(int successCount, int totalCount);
    void motorStatusRefreshed(unsigned int nodeId, const QString &status);
    void allMotorStatusRefreshed();
    void scanningChanged();
    void busyNodesChanged();
    void activeOperationsChanged();
    // A remark for a channel's scan card after the scan (for example that a
    // node id found there is listed with another channel).
    void channelScanNote(int channelIndex, const QString &note);
    void channelChoiceChanged();
    void unlistedMotorsChanged();
    void recordCountChanged();
    void firmwareFolderChanged();
    void upgradeSummaryChanged();

  public slots:
    void setBackendZhcx();
    void setBackendSocketCan();
    int setChannelConfigs(const QVariantList &configs);
    int applyChannelConfigs();
    int autoConfigureChannels();
    QVariantList getAvailableChannels();
    int scanMotorsOnAllChannels(unsigned int nodeIdMin, unsigned int nodeIdMax,
                                unsigned int timeoutMs = 1000);
    MotorListModel *motorListModel() const;
    int cacheDirectoryBinFiles(const QString &folderPath);
    int matchBinFiles(const QString &folderPath);
    bool enterBootloader(unsigned int nodeId, unsigned int timeoutMs = 5000, unsigned int retryCount = 3,
                         unsigned int retryDelayMs = 200);
    bool exitBootloader(unsigned int nodeId, unsigned int timeoutMs = 5000, unsigned int retryCount = 3,
                        unsigned int retryDelayMs = 200);
    bool preventAppStartForDuration(unsigned int nodeId, unsigned int durationMs);
    int enterBootloaderAll(unsigned int timeoutMs = 5000, unsigned int retryCount = 3,
                           unsigned int retryDelayMs = 200);
    void startPreventAppStartAllInteractive();
    void stopPreventAppStartAllInteractive();
    bool isPreventAppStartAllActive() const;
    bool upgradeMotor(unsigned int nodeId, const QString &filePath, unsigned int transferTimeoutMs = 60000,
                      unsigned int verifyTimeoutMs = 5000, unsigned int exitTimeoutMs = 5000);
    int upgradeAllMatched(unsigned int transferTimeoutMs = 60000, unsigned int verifyTimeoutMs = 5000,
                          unsigned int exitTimeoutMs = 5000);
    // The motors "upgrade all" would include that the operator should
    // confirm, in row order: maps with nodeId, version, fileVersion, file
    // (its name), loose (a file only loosely matched, or one of several made
    // for the motor) and downgrade (a file older than what the motor runs).
    QVariantList upgradeAllReview() const;
    // "Upgrade all" without the motors the operator chose to leave out.
    int upgradeAllMatchedExcept(const QVariantList &leftOut, unsigned int transferTimeoutMs = 60000,
                                unsigned int verifyTimeoutMs = 5000, unsigned int exitTimeoutMs = 5000);
    // The one path from a folder to upgraded motors: every listed motor and
    // every motor sharing a node id on another channel whose file pairs
    // exactly (or was chosen by hand), that runs another version, is ready
    // (Available or Bootloader) and has nothing queued. "count" of them
    // ("unlisted" among them), and who is left out unless included: "loose"
    // (loose matches, several candidates) and "downgrades", maps with
    // nodeId, channel, version, fileVersion, file; "current" counts the
    // motors that run their file's version already.
    QVariantMap reviewUpgradeEverything() const;
    // Queues them: each into its bootloader (by the handshake, or found
    // there), the transfer, the check and the start, as soon as its channel
    // is free. Returns how many were queued.
    int upgradeEverything(bool includeLoose = false, bool includeDowngrades = false);
    void clearUpgradeSummary();
    // Detects the adapters and brings up every channel they offer that is not
    // up yet, at `bitrate` kbit/s; returns how many came up.
    int configureDetectedChannels(unsigned int bitrate = 1000);
    void cleanupAll();
    void emitUpgradeProgressPercent(unsigned int nodeId, int percent, quint64 transferred, quint64 total);
    void refreshMotorStatus(unsigned int nodeId);
    void refreshAllMotorStatus();
    bool isOperationPending(unsigned int nodeId) const;
    // Every listed motor in its bootloader without an operation of its own
    // leaves it; returns how many were queued.
    int exitBootloaderAll(unsigned int timeoutMs = 5000, unsigned int retryCount = 3,
                          unsigned int retryDelayMs = 200);
    // Puts the motor at `index` of unlistedMotors into the list in place of
    // the one listed under its node id (which becomes unlisted).
    bool listUnlistedMotor(int index);
    // The channels the adapters offer (type 4, by the adapters' own channel
    // counts), as channel maps; adapters with channels up are asked without
    // being opened again, so those channels run on. Selects the backend of
    // those adapters (zhcx) while no channel is up.
    QVariantList detectChannels();
    // Node ids of the listed motors that stay in their bootloader.
    QVariantList nodesInBootloader() const;
    // Writes one line per ended upgrade (CSV); false when it cannot.
    bool exportRecord(const QString &filePath);
    // A file: URL as a local path ("file:///C:/fw" gives "C:/fw" on Windows,
    // "file://host/share" a UNC path); a text that is no URL stays as it is.
    Q_INVOKABLE QString urlToLocalPath(const QUrl &url) const;
    // Where the record's save dialog opens first: the documents folder, else home.
    Q_INVOKABLE QString defaultRecordFolder() const;
    Q_INVOKABLE QUrl localPathToUrl(const QString &path) const;
    // The window's remembered choices by key ("scan/from"); `fallback`
    // before the first run stored one.
    Q_INVOKABLE QVariant setting(const QString &key, const QVariant &fallback) const;
    Q_INVOKABLE void setSetting(const QString &key, const QVariant &value);
    // Stops everything: queued tasks are dropped, running transfers and
    // bootloader commands are cancelled (the node gets an SDO abort and stays
    // in its bootloader), the interactive hold ends. activeOperations falls
    // to 0 within about a second.
    void stopAllOperations();

  protected:
    bool event(QEvent *e) override;

  private:
    Q_INVOKABLE void emitChannelScanProgress(int channelIndex, int percent, const QString &status);
    Q_INVOKABLE void onChannelScanCompleted(int channelIndex, int discoveredCount);
    Q_INVOKABLE void notifyPreventAppStartSuccess(unsigned int nodeId);

    // Runs `fn` on the main thread after everything this thread has handed
    // over before; on the main thread itself it runs at once.
    void runOnMainThread(std::function<void()> fn);
    bool onMainThread() const;
    // Channel lookup usable by the public worker halves from any thread.
    bool channelForWorker(unsigned int nodeId, CO_CANdeviceConfig_t &out);
    bool ensureThreadPool();
    // Queues a task on the channel's worker; false when the pool refused it.
    // With a node id the motor counts as busy until the task has ended.
    // `key` names the motor (a node id, or a key of the unlisted rows).
    bool submitForChannel(const CO_CANdeviceConfig_t &channel, std::function<void()> task, int key = -1,
                          bool upgrade = false);
    void taskEnded(int key);
    // The model that holds the motor of `key`.
    MotorListModel *modelFor(unsigned int key) const;
    static bool isListedKey(unsigned int key) { return key < kUnlistedKeyBase; }
    // How status lines name the motor: its node id, with its channel for a
    // motor that is not listed.
    QString motorLabel(unsigned int key) const;
    // A row's bar, status text and end: the controller's signals for a
    // listed motor, its row for another.
    void reportProgress(unsigned int key, int percent, const QString &text);
    void reportRowText(unsigned int key, const QString &text);
    void reportCompleted(unsigned int key, bool success);
    // A queued upgrade that never began, or one that was stopped: cancelled.
    void cancelUpgrade(unsigned int key, bool began);
    void finishBulkUpgrade();
    // Matching with its status line (matchBinFiles) or quietly (after a scan).
    int pairFiles(const QString &folderPath, bool report);
    // Pairs the motors that are not listed with the cached files; how many got one.
    int pairUnlisted();
    void rebuildUnlistedModel();
    // The folder's files cached and matched again after a scan, quietly.
    void pairAgain();
    bool channelIsUp(unsigned int type, unsigned int index, unsigned int channel) const;
    unsigned int adapterChannelCount(unsigned int type, unsigned int index);
    // The node id a scan task is submitted with: no motor of its own, but
    // its end is counted.
    static constexpr int kScanTask = -2;
    void scanTaskEnded();
    // The end of a scan: the model rebuilt from the table, the results announced.
    void finishScan();
    // One status line and true when the motor already has an operation.
    bool refusePending(unsigned int nodeId);
    QString skippedSuffix(int skipped) const;
    void noteUpgradeResult(unsigned int nodeId, bool success);
    void noteUpgradeEnd(unsigned int key, bool success);
    void showProgress(unsigned int nodeId, int percent, const QString &text);
    // "传输中: %1/%2 字节 (%3%)" of a transfer's progress.
    static QString transferText(quint64 transferred, quint64 total, int percent);
    QString upgradeAllHint() const;
    int upgradeAll(unsigned int transferTimeoutMs, unsigned int verifyTimeoutMs, unsigned int exitTimeoutMs,
                   const QSet<unsigned int> &leftOut);
    // The row would be queued by "upgrade all" (state, file, nothing pending).
    bool inBulkUpgrade(unsigned int nodeId, const QString &path) const;
    void reportRefreshAll();
    bool channelsUp() const;
    // Channels recorded by the configuration, and those of them not up.
    int configuredChannels() const;
    int configuredChannelsNotUp() const;
    bool refuseBackendChange(const void *wanted);
    void waitForHoldGroups();
    void reportDuplicateNodes();
    void recordScanHit(const CO_CANdeviceConfig_t &channelId, int channelIndex, int n,
                       const client_firmware_info_t &info);
    // A motor that answered only in its bootloader (identity unknown).
    void recordBootloaderHit(const CO_CANdeviceConfig_t &channelId, int n);
    // The motors found only in their bootloader at the place of an upgrade
    // of the history that did not end ok take its identity into the table;
    // their rows, once rebuilt, are marked by recoveredRows.
    void recoverFromHistory();
    void markRecoveredRows();
    void postScanProgress(int channelIndex, int percent, QString text);

    bool queueUpgrade(const CO_CANdeviceConfig_t &channel, unsigned int key, const QString &filePath,
                      client_entry_t entry);
    // What upgradeEverything would queue, and who it leaves out.
    struct EverythingPlan;
    EverythingPlan planUpgradeEverything() const;
    // The end of a failed upgrade: the status line, then the row's texts and the end report.
    bool failUpgrade(unsigned int key, bool inBootloader, const QString &status, const QString &barText,
                     const QString &rowText, const QString &lastError,
                     OperationResult result = OperationFailed);
    // Step and reason of a failed operation (client_upgrade_step_t and
    // client_upgrade_reason_t) in the user's language, for the row.
    static QString upgradeFailureText(int step, int reason);
    static QString reasonText(int reason);
    // "：" and the reason, for a status line whose fixed text does not
    // already name the cause; empty otherwise.
    static QString failureSuffix(int reason);
    // What the history keeps of a motor before its upgrade, read on the main thread.
    struct UpgradeOrigin {
        bool identityKnown = false;
        client_firmware_info_t identity{};
        quint32 versionBefore = 0;
        QString note;
    };
    UpgradeOrigin upgradeOrigin(unsigned int key) const;
    // The worker halves, with the channel identity taken on the main thread.
    bool doUpgradeMotor(CO_CANdeviceConfig_t channel, unsigned int key, unsigned int nodeId,
                        const QString &label, const QString &filePath, client_entry_t entry,
                        const UpgradeOrigin &origin);
    // Bootloader entry and exit: the queueing half, its marking of the row, and the worker half.
    struct BootCommand;
    static const BootCommand kEnterBootloader;
    static const BootCommand kExitBootloader;
    bool queueBootCommand(const BootCommand &cmd, unsigned int nodeId, unsigned int timeoutMs,
                          unsigned int retryCount, unsigned int retryDelayMs);
    bool markBootCommandQueued(const BootCommand &cmd, const CO_CANdeviceConfig_t &channel,
                               unsigned int nodeId, unsigned int timeoutMs, unsigned int retryCount,
                               unsigned int retryDelayMs);
    bool bootCommandOnChannel(const BootCommand &cmd, CO_CANdeviceConfig_t channel, unsigned int nodeId,
                              unsigned int timeoutMs, unsigned int retryCount, unsigned int retryDelayMs);
    void doRefreshMotorStatus(CO_CANdeviceConfig_t channel, unsigned int nodeId);

    struct HoldMotor {
        unsigned int nodeId;
        CO_CANdeviceConfig_t channelId;
    };
    // A group's hold and a channel's scan as the client API runs them, with
    // the controller's side of their observers.
    struct HoldRun;
    struct ScanRun;
    void runHoldGroup(const QList<HoldMotor> &motors, int idCount, int groupIndex, quint32 generation,
                      int groupCount);
    bool holdStillRunning(quint32 generation) const;
    int countFinishedGroup(quint32 generation);
    void finishHold(quint32 generation);
    void finishEmptyHold(quint32 generation, int groupsDone, int groupsTotal);

    unsigned int m_deviceType = 0;
    unsigned int m_deviceIndex = 0;
    unsigned int m_canChannel = 0;
    unsigned int m_bitrate = 0;
    bool m_initialized = false;
    QString m_statusMessage;
    QVariantList availableChannelList;
    MotorListModel *m_motorListModel = nullptr;
    MotorTableModel *m_motorTable = nullptr;
    MotorListModel *m_unlistedModel = nullptr;
    QString m_firmwareFolder;
    QVariantMap m_upgradeSummary;

    std::atomic<int> completedChannels{0};
    int totalChannels = 0;

    std::atomic<int> preventAppStartAllActive{0};
    // Hold generation in the upper 32 bits, finished groups of that
    // generation in the lower 32 bits. Every start of the interactive hold
    // bumps the generation; a group task carries the generation it was queued
    // with, and a compare-and-swap on this one word refuses to count a group
    // of an older hold, even one that finishes just after a stop and restart.
    std::atomic<quint64> completedGroups{0};
    std::atomic<int> totalGroups{0};
    QList<unsigned int> preventAppStartNodes;
    std::atomic<quint32> holdGeneration{0};

    // Tasks of this controller that are queued or running on a worker; the
    // destructor waits for them because they call back into this object.
    std::atomic<int> tasksInFlight{0};
    std::atomic<bool> shuttingDown{false};
    std::atomic<int> tasksNotifying{0};
    // Set by stopAllOperations until the last task has ended: queued tasks
    // are skipped, a running scan stops after its current node.
    std::atomic<bool> stopping{false};
    std::atomic<int> holdGroupsRunning{0};

    bool m_scanning = false;
    // Scan tasks queued or running; the scan ends when the last has ended.
    int m_scanTasksLeft = 0;
    QString m_transportProblem;
    bool m_simulatedBench = false;
    ProgressCoalescer *m_progress = nullptr;
    class StatusLogModel *m_statusLog = nullptr;
    // The status refreshes of the last "refresh all" still to end.
    QSet<unsigned int> m_refreshAllLeft;
    QList<unsigned int> m_refreshAllBatch;
    // Motor key -> its queued or running operation is an upgrade. Main thread.
    QHash<unsigned int, bool> m_pendingOps;
    // The upgrades of the last bulk upgrade still to end (motor keys), how
    // each ended (OperationResult), and the problems so far.
    QSet<unsigned int> m_bulkUpgradeLeft;
    QHash<unsigned int, int> m_upgradeResults;
    int m_bulkUpgradeOk = 0;
    int m_bulkUpgradeFailed = 0;
    int m_bulkUpgradeCancelled = 0;
    QVariantList m_bulkProblems;
    // Scan bookkeeping under g_discovered_motors_mutex: the channel position
    // whose motor holds each table entry, and every motor a node id answered
    // with (its channel position and identity).
    struct ScanHit {
        int channelIndex;
        client_discovered_motor_t entry;
    };
    int m_scanOwner[CLIENT_MOTOR_TABLE_SIZE];
    QHash<unsigned int, QList<ScanHit>> m_scanHits;
    // Found only in their bootloader by the last scan (under the same mutex),
    // and what the history said of those it names (main thread).
    QList<QPair<CO_CANdeviceConfig_t, unsigned int>> m_bootloaderHits;
    struct Recovered {
        QString file; // the history's file when it is still the same, else ""
        QString note;
    };
    QHash<unsigned int, Recovered> m_recovered;
    QVariantList m_scanChannels;
    // Found by the last scan but not listed (their node id is listed with
    // another channel), and the key of each one's row. Main thread.
    QList<ScanHit> m_unlisted;
    QList<unsigned int> m_unlistedKeys;
    unsigned int m_nextUnlistedKey = kUnlistedKeyBase;

    // One line per ended upgrade, for the export.
    struct RecordEntry {
        QString time;
        QString channel;
        unsigned int nodeId;
        QString model;
        QString versionBefore;
        QString versionAfter;
        QString file;
        bool ok;
        QString detail;
        QString state;       // where the motor is after it: "application" or "bootloader"
        QString attempts;    // every attempt's step, reason and abort code
        qint64 historyEntry; // its entry in the upgrade history, 0 when none
    };
    QList<RecordEntry> m_record;
    // Version and file of each upgrade since it was queued.
    QHash<unsigned int, QPair<QString, QString>> m_upgradeStart;
    // The attempts and history entry of each upgrade as it ended, for its record line.
    QHash<unsigned int, QPair<QString, qint64>> m_upgradeEnd;
    std::unique_ptr<UpgradeHistoryLog> m_history;
};

#endif
