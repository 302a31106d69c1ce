// The window's upgrades in the upgrade history and its record export: every
// upgrade begun and completed there, with each attempt's cause.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <vector>

#include "CANopenWrapper.h"
#include "HistoryModel.h"
#include "controller_fixture.h"
#include "ostrelo_history.h"

using namespace fixture;

namespace {

const uint32_t kNewVersion = 0x02030405;

std::vector<ostrelo_history_entry_t> readHistory(const QString &path) {
    std::vector<ostrelo_history_entry_t> out;
    ostrelo_history_t *h = nullptr;
    if (ostrelo_history_open_read(QFile::encodeName(path).constData(), &h) != OSTRELO_HISTORY_OK) {
        return out;
    }
    ostrelo_history_list(
        h, nullptr,
        [](const ostrelo_history_entry_t *e, void *user) {
            static_cast<std::vector<ostrelo_history_entry_t> *>(user)->push_back(*e);
            return 0;
        },
        &out);
    ostrelo_history_close(h);
    return out;
}

// The motor `node` on channel 0.1 aborts its first `times` downloads (0: every one) with 0x08000020.
bool abortDownloads(uint8_t node, uint32_t times) {
    sim_fault_t fault;
    sim_fault_init(&fault);
    fault.abortEnabled = 1;
    fault.abortAtOffset = 1024;
    fault.abortCode = 0x08000020;
    fault.abortTimes = times;
    return sim_bench_set_node_fault(0, 1, node, &fault) == 1;
}

QStringList linesOf(const QString &path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts)
                                       : QStringList();
}

} // namespace

class TestControllerHistory : public ControllerTest {
    Q_OBJECT

  private slots:
    // Two motors, one of which aborts its first download: both upgrades are
    // in the history with their place, identity, versions, file and every
    // attempt, and the export says why the first attempt failed.
    void upgradesAreRecorded() {
        QTemporaryDir dir;
        const QString history = dir.filePath("history.sqlite");
        qputenv("OSTRELO_HISTORY", QFile::encodeName(history));
        loadBench({motor(0, 0, 4), motor(0, 1, 6)});
        QVERIFY(abortDownloads(6, 1));
        const QString path =
            writeFirmware(dir.path(), "4009_SingleTarsel_B0_V2_3_4_5.bin", kNewVersion, 4000);

        CANopenWrapper w;
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        SignalRecord rec(&w);
        scan(w, 1, 8);
        QVERIFY(w.enterBootloader(4));
        QVERIFY(w.enterBootloader(6));
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("motorStatus").filter("|Bootloader").size() == 2, 20000);
        QTRY_VERIFY(w.busyNodes().isEmpty());
        rec.clear();
        QVERIFY(w.upgradeMotor(4, path));
        QVERIFY(w.upgradeMotor(6, path));
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("upgradeCompleted").size() == 2, 60000);
        QCOMPARE(rec.withPrefix("upgradeCompleted").filter("|1").size(), 2);

        const std::vector<ostrelo_history_entry_t> entries = readHistory(history);
        QCOMPARE(entries.size(), size_t(2));
        for (const ostrelo_history_entry_t &e : entries) {
            const bool retried = e.place.node == 6;
            QCOMPARE(QString(e.place.transport), QString("sim"));
            QCOMPARE(e.place.can_channel, retried ? 1u : 0u);
            QCOMPARE(e.outcome, OSTRELO_HISTORY_OUTCOME_OK);
            QCOMPARE(e.identity_known, 1);
            QCOMPARE(QString(e.identity.firmwareModel), QString("4009"));
            QCOMPARE(e.have_version_before, 1);
            QCOMPARE(e.version_before, 0x01000000u);
            QCOMPARE(e.version_after, kNewVersion);
            QCOMPARE(QString(e.file_path), path);
            QCOMPARE(QString(e.file_sha256).size(), 64);
            QCOMPARE(e.have_file_crc, 1);
            QCOMPARE(e.have_device_crc, 1);
            QCOMPARE(e.device_crc, e.file_crc);
            QVERIFY(e.ended_at[0] != '\0');
            QCOMPARE(e.attempt_count, retried ? 2u : 1u);
            QCOMPARE(e.attempts[0].abort_code, retried ? 0x08000020u : 0u);
        }

        const QString csv = dir.filePath("record.csv");
        QVERIFY(w.exportRecord(csv));
        const QStringList lines = linesOf(csv);
        QCOMPARE(lines.size(), 3);
        QVERIFY(lines.at(0).endsWith(",detail,state,attempts,history_entry"));
        const QStringList six = lines.filter(QRegularExpression("^[^,]*,0\\.1,6,"));
        QCOMPARE(six.size(), 1);
        QVERIFY2(six.at(0).contains(
                     ",ok,,application,1 transfer: the motor aborted the transfer (0x08000020); 2 done: ok"),
                 qPrintable(six.at(0)));
        const qint64 id6 = entries.at(0).place.node == 6 ? entries.at(0).id : entries.at(1).id;
        QVERIFY(six.at(0).endsWith(QString(",%1").arg(id6)));

        // The window's history dialog lists them by its filters.
        HistoryModel model;
        const struct {
            const char *since, *channel;
            int node;
            const char *outcome;
            int listed;
        } filters[] = {{"", "", 0, "", 2},       {"", "0.1", 0, "", 1},        {"", "", 6, "ok", 1},
                       {"", "", 0, "failed", 0}, {"2999-01-01", "", 0, "", 0}, {"yesterday", "", 0, "", -1},
                       {"", "0:1", 0, "", -1},   {"", "", 0, "done", -1}};
        for (const auto &f : filters) {
            QCOMPARE(model.load(f.since, f.channel, f.node, f.outcome), f.listed);
            QCOMPARE(model.problem().isEmpty(), f.listed >= 0);
        }
        QCOMPARE(model.load("", "0.1", 0, ""), 1);
        const QModelIndex row = model.index(0, 0);
        QCOMPARE(model.data(row, HistoryModel::NodeRole).toString(), QString("6"));
        QCOMPARE(model.data(row, HistoryModel::VersionAfterRole).toString(), QString("2.3.4.5"));
        QCOMPARE(model.data(row, HistoryModel::AttemptsRole).toString(),
                 QString("1 transfer: the motor aborted the transfer (0x08000020); 2 done: ok"));
        const QString exported = dir.filePath("history.csv");
        QVERIFY(model.exportCsv(exported));
        const QStringList csvLines = linesOf(exported);
        QCOMPARE(csvLines.size(), 2);
        QVERIFY(csvLines.at(0).startsWith(
            "id,started,ended,station,user,transport,adapter_serial,channel,node,"));
        QVERIFY(csvLines.at(1).startsWith(QString("%1,").arg(id6)));
        QVERIFY(!model.exportCsv(dir.filePath("no/such/folder/history.csv")));
    }

    // No history file yet: the dialog says so instead of listing nothing.
    void missingHistoryIsSaid() {
        QTemporaryDir dir;
        qputenv("OSTRELO_HISTORY", QFile::encodeName(dir.filePath("none.sqlite")));
        HistoryModel model;
        QCOMPARE(model.load("", "", 0, ""), -1);
        QCOMPARE(model.problem(), QString("还没有升级历史：%1").arg(dir.filePath("none.sqlite")));
    }

    // A motor whose upgrade failed stays in its bootloader; the next scan
    // finds it there and names it from the history: with the same file it
    // takes it and is upgraded, a changed or vanished file is only named.
    void motorLeftInItsBootloaderIsResumed() {
        const struct {
            const char *name;
            const char *afterFailure; // "", "changed" or "gone"
            const char *noteEnd;
        } cases[] = {{"same file", "", ""},
                     {"changed file", "changed", "which has changed since (SHA-256)"},
                     {"file gone", "gone", "which is gone"}};
        for (const auto &c : cases) {
            resetWorld();
            QTemporaryDir dir;
            const QString history = dir.filePath("history.sqlite");
            qputenv("OSTRELO_HISTORY", QFile::encodeName(history));
            loadBench({motor(0, 1, 4)});
            QVERIFY(abortDownloads(4, 0));
            const QString path =
                writeFirmware(dir.path(), "4009_SingleTarsel_B0_V2_3_4_5.bin", kNewVersion, 4000);

            CANopenWrapper w;
            MotorListModel *m = w.motorListModel();
            configure(w, {channelItem(0, 0), channelItem(0, 1)});
            SignalRecord rec(&w);
            scan(w, 1, 8);
            QVERIFY(w.enterBootloader(4));
            QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|4|Bootloader"), 20000);
            QTRY_VERIFY(w.busyNodes().isEmpty());
            QVERIFY(w.upgradeMotor(4, path));
            QTRY_VERIFY_WITH_TIMEOUT(rec.has("upgradeCompleted|4|0"), 60000);
            QCOMPARE(sim_bench_motor_state(0, 1, 4), int(SIM_MOTOR_BOOT_HELD));
            const std::vector<ostrelo_history_entry_t> failed = readHistory(history);
            QCOMPARE(failed.size(), size_t(1));
            QCOMPARE(failed.at(0).outcome, OSTRELO_HISTORY_OUTCOME_FAILED);
            const QString resumed = QString("resumed from history entry %1").arg(failed.at(0).id);

            sim_fault_t none;
            sim_fault_init(&none);
            QVERIFY(sim_bench_set_node_fault(0, 1, 4, &none) == 1);
            if (QString(c.afterFailure) == "changed") {
                QVERIFY(!writeFirmware(dir.path(), "4009_SingleTarsel_B0_V2_3_4_5.bin", kNewVersion, 5000)
                             .isEmpty());
            } else if (QString(c.afterFailure) == "gone") {
                QVERIFY(QFile::remove(path));
            }
            scan(w, 1, 8);
            QCOMPARE(m->rowCount(), 1);
            const QModelIndex row = m->index(0, 0);
            QCOMPARE(m->getMotorStatus(4), Bootloader);
            QCOMPARE(m->data(row, MotorListModel::FirmwareModelRole).toString(), QString("4009"));
            const QString note = m->data(row, MotorListModel::HistoryNoteRole).toString();
            if (QString(c.afterFailure).isEmpty()) {
                QCOMPARE(note, resumed);
                QCOMPARE(m->getBinFilePath(4), path);
            } else {
                QVERIFY2(note.endsWith(c.noteEnd) && note.contains("4009_SingleTarsel_B0_V2_3_4_5.bin"),
                         qPrintable(note));
                QCOMPARE(m->getBinFilePath(4), QString());
                continue;
            }

            rec.clear();
            QVERIFY(w.upgradeMotor(4, m->getBinFilePath(4)));
            QTRY_VERIFY_WITH_TIMEOUT(rec.has("upgradeCompleted|4|1"), 60000);
            QCOMPARE(sim_bench_motor_version(0, 1, 4), kNewVersion);
            const std::vector<ostrelo_history_entry_t> after = readHistory(history);
            QCOMPARE(after.size(), size_t(2));
            QCOMPARE(after.at(0).outcome, OSTRELO_HISTORY_OUTCOME_OK);
            QCOMPARE(QString(after.at(0).note), resumed);
            QCOMPARE(QString(after.at(0).identity.firmwareModel), QString("4009"));
            QCOMPARE(after.at(0).have_version_before, 0);
        }
    }
};

QTEST_GUILESS_MAIN(TestControllerHistory)
#include "tst_controller_history.moc"
