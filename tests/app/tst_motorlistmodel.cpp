// Motor list model: rebuild from the discovered-motor table, roles, setters.
#include <QElapsedTimer>
#include <QMutexLocker>
#include <QSignalSpy>
#include <QTest>

#include <cstring>
#include <thread>

#include "CANopenWrapper.h"
#include "MotorListModel.h"
#include "ProgressCoalescer.h"
#include "client_api.h"

namespace {

void putMotor(uint8_t node, uint32_t type, uint32_t index, uint32_t channel, uint32_t version,
              const char *model = "4009", const char *encoder = "SingleTarsel", const char *brake = "B0") {
    QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
    client_discovered_motor_t &e = g_discovered_motors[node];
    std::memset(&e, 0, sizeof(e));
    e.discovered = 1;
    e.nodeId = node;
    e.channelId.deviceType = type;
    e.channelId.deviceIndex = index;
    e.channelId.canChannel = channel;
    e.channelId.bitrate = 500;
    e.info.softwareVersion = version;
    std::strncpy(e.info.firmwareModel, model, sizeof(e.info.firmwareModel));
    std::strncpy(e.info.encoderName, encoder, sizeof(e.info.encoderName) - 1);
    std::strncpy(e.info.brakeSuffix, brake, sizeof(e.info.brakeSuffix) - 1);
    client_api_build_fw_filename_key(&e.info, e.info.filenameKey, sizeof(e.info.filenameKey));
}

void clearTable() {
    QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
    std::memset(g_discovered_motors, 0, sizeof(g_discovered_motors));
    g_discovered_motor_count = 0;
}

QVariant roleOf(MotorListModel &m, int row, int role) {
    return m.data(m.index(row, 0), role);
}

} // namespace

class TestMotorListModel : public QObject {
    Q_OBJECT

  private slots:
    void init() { clearTable(); }

    void rebuildOrdersByNodeIdWithFields() {
        putMotor(5, 4, 1, 1, 0x01020A00, "60018", "DoubleBrisca", "B16");
        putMotor(1, 0, 0, 0, 0x01000203);
        putMotor(3, 7, 2, 5, 0);
        // Entry with the flag but node id 0, and one with a node id but no flag.
        {
            QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
            g_discovered_motors[9].discovered = 1;
            g_discovered_motors[10].nodeId = 10;
        }

        MotorListModel m;
        QSignalSpy updated(&m, &MotorListModel::dataUpdated);
        QSignalSpy reset(&m, &QAbstractItemModel::modelReset);
        m.refreshFromBackend();
        QCOMPARE(updated.count(), 1);
        QCOMPARE(reset.count(), 1);
        QCOMPARE(m.rowCount(), 3);
        QCOMPARE(m.rowCount(m.index(1, 0)), 3); // parent ignored

        QCOMPARE(roleOf(m, 0, MotorListModel::NodeIdRole), QVariant(1u));
        QCOMPARE(roleOf(m, 1, MotorListModel::NodeIdRole), QVariant(3u));
        QCOMPARE(roleOf(m, 2, MotorListModel::NodeIdRole), QVariant(5u));
        QCOMPARE(roleOf(m, 0, MotorListModel::NodeIdRole).typeId(), QMetaType::UInt);

        QCOMPARE(roleOf(m, 0, MotorListModel::DeviceTypeNameRole).toString(), QString("SocketCAN"));
        QCOMPARE(roleOf(m, 1, MotorListModel::DeviceTypeNameRole).toString(), QString("未知(7)"));
        QCOMPARE(roleOf(m, 2, MotorListModel::DeviceTypeNameRole).toString(), QString("ZHCX"));
        QCOMPARE(roleOf(m, 2, MotorListModel::DeviceIndexRole), QVariant(1u));
        QCOMPARE(roleOf(m, 1, MotorListModel::CanChannelRole), QVariant(5u));
        QCOMPARE(roleOf(m, 1, MotorListModel::BitrateRole), QVariant(500u));

        QCOMPARE(roleOf(m, 2, MotorListModel::VersionRole).toString(), QString("1.2.10.0"));
        QCOMPARE(roleOf(m, 0, MotorListModel::VersionRole).toString(), QString("1.0.2.3"));
        QCOMPARE(roleOf(m, 1, MotorListModel::VersionRole).toString(), QString("0.0.0.0"));
        QCOMPARE(roleOf(m, 2, MotorListModel::FirmwareModelRole).toString(), QString("60018"));
        QCOMPARE(roleOf(m, 2, MotorListModel::EncoderNameRole).toString(), QString("DoubleBrisca"));
        QCOMPARE(roleOf(m, 2, MotorListModel::BrakeSuffixRole).toString(), QString("B16"));
        QCOMPARE(roleOf(m, 2, MotorListModel::FilenameKeyRole).toString(), QString("60018doublebriscab16"));
        for (int row = 0; row < 3; ++row) {
            QCOMPARE(roleOf(m, row, MotorListModel::MotorStatusRole), QVariant(int(Available)));
            QCOMPARE(roleOf(m, row, MotorListModel::BinFilePathRole).toString(), QString());
            QCOMPARE(roleOf(m, row, MotorListModel::LastResultRole), QVariant(int(NoResult)));
        }

        // Out-of-range rows and roles give invalid values.
        QVERIFY(!roleOf(m, 3, MotorListModel::NodeIdRole).isValid());
        QVERIFY(!m.data(QModelIndex(), MotorListModel::NodeIdRole).isValid());
        QVERIFY(!roleOf(m, 0, 256).isValid());
        QVERIFY(!roleOf(m, 0, MotorListModel::HistoryNoteRole + 1).isValid());

        // A rebuild drops file paths chosen before.
        m.setBinFilePath(3, "/x.bin");
        m.refreshFromBackend();
        QCOMPARE(m.getBinFilePath(3), QString());
    }

    void fullWidthModelTextIsKeptWhole() {
        putMotor(2, 4, 0, 0, 0);
        {
            QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
            std::memcpy(g_discovered_motors[2].info.firmwareModel, "ABCDEFGHIJKLMNOP", 16);
        }
        MotorListModel m;
        m.refreshFromBackend();
        QCOMPARE(roleOf(m, 0, MotorListModel::FirmwareModelRole).toString(), QString("ABCDEFGHIJKLMNOP"));
    }

    void setDataOnlyForFilePath() {
        putMotor(1, 4, 0, 0, 0);
        putMotor(2, 4, 0, 1, 0);
        MotorListModel m;
        m.refreshFromBackend();
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);

        QVERIFY(!m.setData(m.index(1, 0), int(Busy), MotorListModel::MotorStatusRole));
        QCOMPARE(m.getMotorStatus(2), Available);
        QVERIFY(!m.setData(m.index(2, 0), "/a.bin", MotorListModel::BinFilePathRole));
        QCOMPARE(changed.count(), 0);

        QVERIFY(m.setData(m.index(1, 0), "/a.bin", MotorListModel::BinFilePathRole));
        QCOMPARE(m.getBinFilePath(2), QString("/a.bin"));
        QCOMPARE(m.getBinFilePath(1), QString());
        QCOMPARE(changed.count(), 1);
        const QList<QVariant> args = changed.takeFirst();
        QCOMPARE(args.at(0).toModelIndex().row(), 1);
        QCOMPARE(args.at(1).toModelIndex().row(), 1);
        // Whether the row has a file and the version check follow the path
        // (a file now, without a version).
        QCOMPARE(args.at(2).value<QList<int>>(),
                 (QList<int>{MotorListModel::BinFilePathRole, MotorListModel::HasFileRole,
                             MotorListModel::VersionCheckRole}));
        QCOMPARE(roleOf(m, 1, MotorListModel::HasFileRole), QVariant(true));

        // The placeholder "unknown" is no file; from one to the other only the path changes.
        struct Case {
            const char *path;
            bool hasFile;
        } cases[] = {{"unknown", false}, {"", false}, {"/b.bin", true}};
        for (const Case &c : cases) {
            QVERIFY(m.setData(m.index(1, 0), c.path, MotorListModel::BinFilePathRole));
            QCOMPARE(roleOf(m, 1, MotorListModel::HasFileRole), QVariant(c.hasFile));
            QCOMPARE(MotorListModel::hasFile(c.path), c.hasFile);
        }
    }

    // Every pair of states: a row becomes Disconnected only from Busy (a
    // probe) and leaves it only through Busy or a hold; a refused change
    // leaves the row and its result as they were.
    void stateTransitions() {
        putMotor(1, 4, 0, 0, 0);
        MotorListModel m;
        const MotorStatus all[] = {Available, Disconnected, Bootloader, Busy};
        for (MotorStatus from : all) {
            for (MotorStatus to : all) {
                const bool allowed = to == Busy || from == Busy || from == to || to == Bootloader ||
                                     (to == Available && from == Bootloader);
                m.refreshFromBackend();
                QVERIFY(m.setMotorStatus(1, Busy));
                QVERIFY(m.setMotorStatus(1, from));
                m.setLastResult(1, OperationFailed);
                QCOMPARE(m.setMotorStatus(1, to), allowed);
                QCOMPARE(MotorListModel::allowedTransition(from, to), allowed);
                QCOMPARE(m.getMotorStatus(1), allowed ? to : from);
                QCOMPARE(m.getLastResult(1), allowed ? NoResult : OperationFailed);
            }
        }
    }

    void settersAndGetters() {
        putMotor(4, 4, 0, 0, 0);
        putMotor(8, 4, 0, 0, 0);
        MotorListModel m;
        m.refreshFromBackend();
        QSignalSpy changed(&m, &QAbstractItemModel::dataChanged);

        m.setMotorStatus(8, Bootloader);
        QCOMPARE(m.getMotorStatus(8), Bootloader);
        QCOMPARE(roleOf(m, 1, MotorListModel::MotorStatusRole), QVariant(int(Bootloader)));
        QCOMPARE(changed.count(), 1);
        QCOMPARE(changed.at(0).at(0).toModelIndex().row(), 1);
        QCOMPARE(changed.at(0).at(2).value<QList<int>>(), QList<int>{MotorListModel::MotorStatusRole});

        // The same value again still notifies.
        m.setMotorStatus(8, Bootloader);
        QCOMPARE(changed.count(), 2);

        m.setBinFilePath(4, "/fw/a.bin");
        QCOMPARE(m.getBinFilePath(4), QString("/fw/a.bin"));
        QCOMPARE(changed.count(), 3);
        QCOMPARE(changed.at(2).at(2).value<QList<int>>(),
                 (QList<int>{MotorListModel::BinFilePathRole, MotorListModel::HasFileRole,
                             MotorListModel::VersionCheckRole}));

        // A result stays until the state changes; the state change then
        // clears it and notifies both roles.
        const QList<int> statusRole{MotorListModel::MotorStatusRole};
        const QList<int> resultRole{MotorListModel::LastResultRole, MotorListModel::PhaseRole};
        const QList<int> bothRoles{MotorListModel::MotorStatusRole, MotorListModel::LastResultRole,
                                   MotorListModel::ProgressRole, MotorListModel::ProgressTextRole,
                                   MotorListModel::PhaseRole};
        struct Step {
            bool setState;
            int value;
            OperationResult resultAfter;
            QList<int> roles;
        } steps[] = {
            {false, OperationFailed, OperationFailed, resultRole},
            {false, UpgradeRunning, UpgradeRunning, resultRole},
            {true, Busy, NoResult, bothRoles},
            {true, Bootloader, NoResult, statusRole},
        };
        for (const Step &step : steps) {
            changed.clear();
            if (step.setState) {
                m.setMotorStatus(8, static_cast<MotorStatus>(step.value));
            } else {
                m.setLastResult(8, static_cast<OperationResult>(step.value));
            }
            QCOMPARE(m.getLastResult(8), step.resultAfter);
            QCOMPARE(roleOf(m, 1, MotorListModel::LastResultRole), QVariant(int(step.resultAfter)));
            QCOMPARE(changed.count(), 1);
            QCOMPARE(changed.at(0).at(2).value<QList<int>>(), step.roles);
        }
        QCOMPARE(m.getLastResult(4), NoResult);

        // The cause of a failure stays with the row until the next state change.
        m.setLastError(8, "传输：传输中应答超时（帧丢失）");
        QCOMPARE(roleOf(m, 1, MotorListModel::LastErrorRole).toString(),
                 QString("传输：传输中应答超时（帧丢失）"));
        m.setMotorStatus(8, Busy);
        QCOMPARE(m.getLastError(8), QString());

        // Unknown node ids: silent setters, neutral getters.
        changed.clear();
        m.setMotorStatus(77, Busy);
        m.setBinFilePath(77, "/x.bin");
        m.setLastResult(77, OperationFailed);
        QCOMPARE(changed.count(), 0);
        QCOMPARE(m.getLastResult(77), NoResult);
        QCOMPARE(m.getMotorStatus(77), Available);
        QCOMPARE(m.getBinFilePath(77), QString());
        QVERIFY(m.getMotorData(77) == nullptr);
        QVERIFY(m.getMotorData(4) != nullptr);
        QCOMPARE(m.getMotorData(4)->nodeId, 4u);

        // The row's bar and result stay until its next operation (a new
        // state, or an operation that keeps the state); its status text
        // stays across a rebuild; a confirmed version replaces the scanned one.
        m.setProgress(4, 100, "升级成功");
        m.setLastResult(4, UpgradeSucceeded);
        m.setStatusText(4, "Available");
        m.setVersion(4, 0x01020304);
        QCOMPARE(roleOf(m, 0, MotorListModel::ProgressRole), QVariant(100));
        QCOMPARE(roleOf(m, 0, MotorListModel::ProgressTextRole).toString(), QString("升级成功"));
        QCOMPARE(roleOf(m, 0, MotorListModel::VersionRole).toString(), QString("1.2.3.4"));
        m.startOperation(4);
        QCOMPARE(roleOf(m, 0, MotorListModel::ProgressRole), QVariant(-1));
        QCOMPARE(m.getLastResult(4), NoResult);
        m.setProgress(4, 0, "升级失败");
        m.setMotorStatus(4, Busy);
        QCOMPARE(roleOf(m, 0, MotorListModel::ProgressRole), QVariant(-1));
        m.refreshFromBackend();
        QCOMPARE(roleOf(m, 0, MotorListModel::StatusTextRole).toString(), QString("Available"));
        QCOMPARE(roleOf(m, 0, MotorListModel::AdapterNameRole).toString(), QString("canalyst-II"));

        QSignalSpy updated(&m, &MotorListModel::dataUpdated);
        m.clear();
        QCOMPARE(m.rowCount(), 0);
        QCOMPARE(updated.count(), 0);
    }

    // Transfer progress from a worker reaches the main thread at most about
    // ten times a second per motor, in order, and always with its last value.
    void progressReachesTheRowCoalesced() {
        QList<QPair<unsigned, quint64>> got;
        ProgressCoalescer c([&got](unsigned node, quint64 done, quint64) { got.append({node, done}); }, 100);
        QElapsedTimer clock;
        clock.start();
        std::thread worker([&c]() {
            for (quint64 i = 1; i <= 3000; ++i) {
                c.post(7, i, 3000);
                c.post(9, i / 2, 3000);
                QThread::usleep(100);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(
            got.contains(qMakePair(7u, quint64(3000))) && got.contains(qMakePair(9u, quint64(1500))), 20000);
        worker.join();
        const qint64 ms = clock.elapsed();
        for (unsigned node : {7u, 9u}) {
            quint64 last = 0;
            int count = 0;
            for (const auto &g : got) {
                if (g.first == node) {
                    QVERIFY(g.second >= last);
                    last = g.second;
                    ++count;
                }
            }
            QVERIFY2(count <= ms / 100 + 3, qPrintable(QString("%1 values in %2 ms").arg(count).arg(ms)));
            QCOMPARE(last, node == 7 ? quint64(3000) : quint64(1500));
        }
        // A new transfer's first value goes at once; one held back goes out
        // at a flush, ahead of what is handed over after it.
        got.clear();
        c.post(7, 1, 10);
        QTRY_COMPARE(got.size(), 1);
        c.post(7, 2, 10);
        c.flushPending();
        QMetaObject::invokeMethod(
            &c,
            [&got]() {
                got.append({0u, 0u});
            },
            Qt::QueuedConnection);
        QTRY_COMPARE(got.size(), 3);
        QCOMPARE(got, (QList<QPair<unsigned, quint64>>{{7u, 1u}, {7u, 2u}, {0u, 0u}}));
    }
};

QTEST_GUILESS_MAIN(TestMotorListModel)
#include "tst_motorlistmodel.moc"
