// Controller against the simulated bench: scanning, file matching, bootloader
// entry and exit, upgrades and status probes.
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>

#include "CANopenWrapper.h"
#include "ThreadPool.h"
#include "controlcan_transport.h"
#include "controller_fixture.h"
#include "log_capture.h"
#include "sim_mkfw.h"

using namespace fixture;

namespace {

const uint32_t kNewVersion = 0x02030405; // shown as 2.3.4.5

} // namespace

class TestControllerOps : public ControllerTest {
    Q_OBJECT

    // All four channels up, node ids 1 to 8 scanned, the folder matched.
    static void scanAndMatch(CANopenWrapper &w, const QString &folder, int motors) {
        QCOMPARE(w.autoConfigureChannels(), 4);
        scan(w, 1, 8);
        QCOMPARE(w.motorListModel()->rowCount(), motors);
        w.cacheDirectoryBinFiles(folder);
        QCOMPARE(w.matchBinFiles(folder), motors);
    }

    static void allIntoBootloader(CANopenWrapper &w, SignalRecord &rec, int motors) {
        QCOMPARE(w.enterBootloaderAll(), motors);
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("motorStatus").filter("|Bootloader").size() == motors, 30000);
        QTRY_VERIFY(w.busyNodes().isEmpty());
        QTest::qWait(200); // the applications restart into their bootloaders
    }

  private slots:

    void scanFourChannelsWithProgress() {
        loadBench({motor(0, 0, 3), motor(0, 0, 5, 11, 2, 16), motor(0, 1, 7), motor(1, 0, 12, 65, 3),
                   motor(1, 1, 20, 18, 1, 0, 0x01020A00), motor(1, 1, 40)});
        CANopenWrapper w;
        QCOMPARE(w.autoConfigureChannels(), 4);
        SignalRecord rec(&w);
        QCOMPARE(w.scanMotorsOnAllChannels(1, 32), 0);
        QCOMPARE(rec.all().value(0), QString("scanProgress|0|开始扫描，共 4 个通道，128 个节点"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{"scanCompleted|5"});

        const QList<QList<int>> found = {{3, 5}, {7}, {12}, {20}};
        for (int ch = 0; ch < 4; ++ch) {
            const QString prefix = QString("channelScanProgress|%1|").arg(ch);
            QStringList expected{prefix + "0|准备扫描节点 1-32"};
            for (int k = 1; k <= 32; ++k) {
                QString text = QString("扫描节点 ID=%1 (%1/32)").arg(k);
                if (found.at(ch).contains(k)) {
                    text += " - 发现电机";
                }
                expected.append(prefix + QString("%1|").arg(k * 100 / 32) + text);
            }
            QCOMPARE(rec.withPrefix(prefix), expected);
            // The channel's completion comes after its last progress report.
            const QString done = QString("channelScanCompleted|%1|%2").arg(ch).arg(found.at(ch).size());
            QVERIFY(rec.all().indexOf(done) > rec.all().indexOf(expected.last()));
        }
        const QStringList tail = rec.all().mid(rec.all().size() - 4);
        QCOMPARE(tail, (QStringList{"scanProgress|100|扫描完成，共发现 5 个电机",
                                    "status|所有通道扫描完成，共发现 5 个电机", "scanCompleted|5",
                                    "motorsListUpdated"}));

        MotorListModel *m = w.motorListModel();
        QCOMPARE(m->rowCount(), 5);
        const unsigned order[] = {3, 5, 7, 12, 20};
        for (int r = 0; r < 5; ++r) {
            QCOMPARE(m->data(m->index(r, 0), MotorListModel::NodeIdRole).toUInt(), order[r]);
            QCOMPARE(m->getMotorStatus(order[r]), Available);
        }
        const QModelIndex row5 = m->index(1, 0);
        QCOMPARE(m->data(row5, MotorListModel::FirmwareModelRole).toString(), QString("4011"));
        QCOMPARE(m->data(row5, MotorListModel::EncoderNameRole).toString(), QString("DoubleTarsel"));
        QCOMPARE(m->data(row5, MotorListModel::BrakeSuffixRole).toString(), QString("B16"));
        QCOMPARE(versionOf(m, 20), QString("1.2.10.0"));
        QCOMPARE(m->data(m->index(4, 0), MotorListModel::DeviceIndexRole).toUInt(), 1u);
        QCOMPARE(m->data(m->index(4, 0), MotorListModel::CanChannelRole).toUInt(), 1u);

        // A new scan marks the listed rows Busy until its rebuild.
        rec.clear();
        QCOMPARE(w.scanMotorsOnAllChannels(6, 7), 0);
        QCOMPARE(m->getMotorStatus(3), Busy);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 20000);
        QCOMPARE(m->rowCount(), 1);
        QCOMPARE(m->getMotorStatus(7), Available);
    }

    // A motor that answers late is found when the scan's time-out allows
    // for it; with no time-out beyond the queries' own wait it is not.
    void scanTimeOutAllowsSlowMotors() {
        loadBench({motor(0, 0, 2), motor(0, 0, 4)});
        sim_fault_t slow;
        sim_fault_init(&slow);
        slow.replyDelayMs = 30;
        QVERIFY(sim_bench_set_node_fault(0, 0, 2, &slow) == 1);
        CANopenWrapper w;
        configure(w, {channelItem(0, 0)});
        const struct {
            unsigned int timeoutMs;
            QList<unsigned> listed;
        } cases[] = {{0, {4}}, {20, {4}}, {200, {2, 4}}};
        for (const auto &c : cases) {
            SignalRecord rec(&w);
            scan(w, 1, 6, c.timeoutMs);
            QList<unsigned> listed;
            for (int r = 0; r < w.motorListModel()->rowCount(); ++r) {
                listed.append(w.motorListModel()
                                  ->data(w.motorListModel()->index(r, 0), MotorListModel::NodeIdRole)
                                  .toUInt());
            }
            QCOMPARE(listed, c.listed);
        }
        QCOMPARE(w.motorListModel()->getMotorData(2)->version, QString("1.0.0.0"));
    }

    void scanRangeEdges() {
        loadBench({motor(0, 0, 127), motor(0, 1, 2)});
        CANopenWrapper w;
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        SignalRecord rec(&w);

        // An empty range: only the initial report, then completion with 0.
        w.scanMotorsOnAllChannels(9, 3);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 10000);
        QCOMPARE(rec.withPrefix("channelScanProgress|0|"),
                 QStringList{"channelScanProgress|0|0|准备扫描节点 9-3"});
        QVERIFY(rec.has("channelScanCompleted|1|0"));
        QVERIFY(rec.has("scanProgress|100|扫描完成，共发现 0 个电机"));
        QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{"scanCompleted|0"});
        QVERIFY(!rec.has("motorsListUpdated"));

        // The whole 8-bit range: 256 nodes per channel (not 0), probing stops
        // at 128 and the last percentage stays below 100.
        rec.clear();
        w.scanMotorsOnAllChannels(0, 255);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 30000);
        const QStringList ch0 = rec.withPrefix("channelScanProgress|0|");
        QCOMPARE(ch0.size(), 1 + 129);
        QCOMPARE(ch0.value(1), QString("channelScanProgress|0|0|扫描节点 ID=0 (1/256)"));
        QCOMPARE(ch0.last(), QString("channelScanProgress|0|50|扫描节点 ID=128 (129/256)"));
        QVERIFY(ch0.contains("channelScanProgress|0|50|扫描节点 ID=127 (128/256) - 发现电机"));
        QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{"scanCompleted|2"});
    }

    // configure -> scan -> match -> bootloader -> upgrade -> rescan, on the
    // bench's default scenario. It lists some node ids on two channels; the
    // list keeps one motor per node id, the one on the channel recorded last.
    void defaultBenchUpgradeRoundTrip() {
        QVERIFY(sim_bench_load_default() == 1);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());

        // The demo firmware of the bench's own tool, small images.
        sim_mkfw_file_t made[SIM_MKFW_MAX_FILES];
        const int fileCount =
            sim_mkfw_write_all(dir.path().toUtf8().constData(), 4096, made, SIM_MKFW_MAX_FILES);
        QVERIFY(fileCount >= 2);
        QHash<QString, uint32_t> versionOfFile;
        for (int i = 0; i < fileCount; ++i) {
            versionOfFile.insert(QString::fromUtf8(made[i].name), made[i].version);
        }

        QList<sim_motor_config_t> bench;
        QSet<unsigned> nodeSet;
        for (int i = 0; i < sim_bench_motor_count(); ++i) {
            sim_motor_config_t cfg;
            QVERIFY(sim_bench_motor_config(i, &cfg) == 1);
            bench.append(cfg);
            if (cfg.node <= 32) {
                nodeSet.insert(cfg.node);
            }
        }
        QList<unsigned> nodes = nodeSet.values();
        std::sort(nodes.begin(), nodes.end());
        QVERIFY(nodes.size() >= 2);
        auto configOfRow = [&bench](MotorListModel *m, unsigned n) {
            const MotorData *d = m->getMotorData(n);
            for (const auto &c : bench) {
                if (d != nullptr && c.node == n && c.adapter == d->deviceIndex &&
                    c.channel == d->canChannel) {
                    return c;
                }
            }
            return sim_motor_config_t{};
        };
        auto fileVersionOfRow = [&versionOfFile](MotorListModel *m, unsigned n) {
            return versionOfFile.value(QFileInfo(m->getBinFilePath(n)).fileName(), 0);
        };

        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        QCOMPARE(w.autoConfigureChannels(), 4);
        SignalRecord rec(&w);
        scan(w, 1, 32);
        QCOMPARE(m->rowCount(), nodes.size());
        QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{QString("scanCompleted|%1").arg(nodes.size())});

        const int cached = w.cacheDirectoryBinFiles(dir.path());
        QCOMPARE(cached, fileCount);
        QCOMPARE(w.statusMessage(), QString("缓存了 %1 个.bin文件").arg(cached));
        const int matched = w.matchBinFiles(dir.path());
        QCOMPARE(matched, nodes.size());
        QCOMPARE(w.statusMessage(), QString("匹配了 %1 个文件").arg(matched));
        for (unsigned n : nodes) {
            const sim_motor_config_t c = configOfRow(m, n);
            char key[128];
            sim_mkfw_key(&c, key, sizeof key);
            QVERIFY(sim_mkfw_match(QFileInfo(m->getBinFilePath(n)).fileName().toUtf8().constData(), key));
            QVERIFY(fileVersionOfRow(m, n) != 0);
        }

        // Upgrading needs the bootloader.
        const unsigned first = nodes.first();
        const QString path = m->getBinFilePath(first);
        QVERIFY(!w.upgradeMotor(first, path));
        QCOMPARE(w.statusMessage(), QString("节点 %1 不在Bootloader模式，无法升级").arg(first));
        QVERIFY(!w.upgradeMotor(99, path));
        QCOMPARE(w.statusMessage(), QString("节点 99 不在Bootloader模式，无法升级"));

        rec.clear();
        QVERIFY(w.enterBootloader(first));
        QCOMPARE(m->getMotorStatus(first), Busy);
        QCOMPARE(rec.all().value(0), QString("motorStatus|%1|正在进入Bootloader...").arg(first));
        // Busy rows refuse a second entry.
        QVERIFY(!w.enterBootloader(first));
        QCOMPARE(w.statusMessage(), QString("节点 %1 正在忙碌，无法进入Bootloader").arg(first));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has(QString("motorStatus|%1|Bootloader").arg(first)), 20000);
        QCOMPARE(m->getMotorStatus(first), Bootloader);
        QVERIFY(rec.has(QString("status|节点 %1 已进入Bootloader模式").arg(first)));
        const sim_motor_config_t firstCfg = configOfRow(m, first);
        QTRY_COMPARE(sim_bench_motor_state(firstCfg.adapter, firstCfg.channel, first),
                     int(SIM_MOTOR_BOOT_HELD));

        // One upgrade with its whole sequence.
        const qint64 size = QFileInfo(path).size();
        rec.clear();
        QVERIFY(w.upgradeMotor(first, path));
        QCOMPARE(m->getMotorStatus(first), Bootloader);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 60000);
        QStringList seq;
        for (const QString &e : rec.all()) {
            if (e.startsWith("upgradeProgress") || e.startsWith("motorStatus") ||
                e.startsWith("upgradeCompleted")) {
                seq.append(e);
            }
        }
        const QString p = QString("upgradeProgress|%1|").arg(first);
        const QString prepare = p + QString("0|准备传输文件: %1 字节").arg(size);
        QVERIFY(seq.size() >= 8);
        QCOMPARE(seq.at(0), p + "0|排队中");
        QCOMPARE(seq.at(1), prepare);
        QCOMPARE(seq.at(2), QString("motorStatus|%1|Upgrade...").arg(first));
        int i = 3;
        int lastPercent = -1;
        while (i < seq.size() && seq.at(i).contains("|传输中: ")) {
            const QStringList parts = seq.at(i).split('|');
            const int percent = parts.at(2).toInt();
            QVERIFY(percent >= lastPercent);
            lastPercent = percent;
            QVERIFY(parts.at(3).endsWith(QString("/%1 字节 (%2%)").arg(size).arg(percent)));
            ++i;
        }
        QVERIFY(i > 3);
        QCOMPARE(lastPercent, 100);
        QCOMPARE(seq.mid(i), (QStringList{p + QString("100|传输完成: %1 字节").arg(size), p + "100|升级成功",
                                          QString("motorStatus|%1|Available").arg(first),
                                          QString("upgradeCompleted|%1|1").arg(first)}));
        QCOMPARE(m->getMotorStatus(first), Available);
        QTRY_COMPARE(w.statusMessage(), QString("节点 %1 升级成功并退出Bootloader").arg(first));
        QTRY_COMPARE(sim_bench_motor_version(firstCfg.adapter, firstCfg.channel, first),
                     fileVersionOfRow(m, first));

        // The others: all into the bootloader, then every matched one.
        rec.clear();
        const int entering = w.enterBootloaderAll();
        QCOMPARE(entering, nodes.size());
        QCOMPARE(w.statusMessage(), QString("已提交 %1 个进入Bootloader任务到线程池").arg(entering));
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("motorStatus").filter("|Bootloader").size() == entering,
                                 30000);
        QTest::qWait(200); // the applications restart into their bootloaders
        rec.clear();
        const int upgrading = w.upgradeAllMatched();
        QCOMPARE(upgrading, nodes.size());
        QCOMPARE(w.statusMessage(), QString("已提交 %1 个升级任务到线程池").arg(upgrading));
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("upgradeCompleted").size() == upgrading, 120000);
        QCOMPARE(rec.withPrefix("upgradeCompleted").filter("|1").size(), upgrading);
        for (unsigned n : nodes) {
            const sim_motor_config_t c = configOfRow(m, n);
            QTRY_COMPARE(sim_bench_motor_version(c.adapter, c.channel, n), fileVersionOfRow(m, n));
        }

        // A rescan reads the new versions from the running applications.
        QHash<unsigned, uint32_t> expected;
        for (unsigned n : nodes) {
            expected.insert(n, fileVersionOfRow(m, n));
        }
        rec.clear();
        scan(w, 1, 32);
        QCOMPARE(m->rowCount(), nodes.size());
        for (unsigned n : nodes) {
            const sim_motor_config_t c = configOfRow(m, n);
            const uint32_t now = sim_bench_motor_version(c.adapter, c.channel, n);
            QCOMPARE(versionOf(m, n), MotorListModel::versionText(now));
            // A node id on two channels is listed with whichever channel
            // answered last; the motor upgraded before may be the other one.
            if (std::count_if(bench.begin(), bench.end(),
                              [n](const sim_motor_config_t &b) { return b.node == n; }) == 1) {
                QCOMPARE(now, expected.value(n));
            }
        }
    }

    void upgradeRefusalsAndCrcMismatch() {
        loadBench({motor(0, 0, 4), motor(0, 1, 6, 13, 2)});
        sim_fault_t fault;
        sim_fault_init(&fault);
        fault.wrongCrc = 1;
        QVERIFY(sim_bench_set_node_fault(0, 0, 4, &fault) == 1);

        QTemporaryDir dir;
        const QString path = writeFirmware(dir.path(), "4009_SingleTarsel_B0.bin", kNewVersion, 2000);
        const QString emptyPath = dir.filePath("4013_DoubleTarsel_B0.bin");
        {
            QFile f(emptyPath);
            QVERIFY(f.open(QIODevice::WriteOnly));
        }

        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        SignalRecord rec(&w);
        scan(w, 1, 8);
        QCOMPARE(m->rowCount(), 2);

        rec.clear();
        QVERIFY(w.enterBootloader(4));
        QVERIFY(w.enterBootloader(6));
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("motorStatus").filter("|Bootloader").size() == 2, 20000);
        QTRY_COMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_BOOT_HELD));
        QTRY_COMPARE(sim_bench_motor_state(0, 1, 6), int(SIM_MOTOR_BOOT_HELD));

        QVERIFY(!w.upgradeMotor(4, dir.filePath("missing.bin")));
        QCOMPARE(w.statusMessage(), QString("文件不存在: %1").arg(dir.filePath("missing.bin")));

        // The bootloader reports another CRC: the row stays in the
        // bootloader and shows both values.
        rec.clear();
        QVERIFY(w.upgradeMotor(4, path));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 60000);
        const quint32 fileCrc = client_api_calculate_file_crc32(path.toUtf8().constData());
        const QString text = QString("校验失败 (文件CRC: 0x%1, 设备CRC: 0x%2)")
                                 .arg(fileCrc, 8, 16, QLatin1Char('0'))
                                 .arg(~fileCrc, 8, 16, QLatin1Char('0'));
        const QStringList tail = rec.all().mid(rec.all().size() - 4);
        QCOMPARE(tail, (QStringList{"status|节点 4 CRC校验失败", "upgradeProgress|4|0|校验失败",
                                    "motorStatus|4|" + text, "upgradeCompleted|4|0"}));
        QCOMPARE(m->getMotorStatus(4), Bootloader);
        QCOMPARE(m->getLastResult(4), OperationFailed);
        QCOMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_BOOT_HELD));

        // The start command is sent but not obeyed: not a success.
        sim_fault_init(&fault);
        fault.ignoreStart = 1;
        QVERIFY(sim_bench_set_node_fault(0, 0, 4, &fault) == 1);
        rec.clear();
        QVERIFY(w.upgradeMotor(4, path));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 60000);
        QCOMPARE(
            rec.all().mid(rec.all().size() - 4),
            (QStringList{"status|节点 4 应用未启动：电机仍在Bootloader", "upgradeProgress|4|0|应用未启动",
                         "motorStatus|4|应用未启动", "upgradeCompleted|4|0"}));
        QCOMPARE(m->getLastError(4), QString("确认应用启动：电机仍在Bootloader"));
        QCOMPARE(m->getMotorStatus(4), Bootloader);
        QCOMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_BOOT_HELD));

        // The same for the row's exit: the start command left, but the motor
        // is out of its bootloader only once its application answers.
        rec.clear();
        QVERIFY(w.exitBootloader(4));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|4|退出Bootloader失败"), 30000);
        QVERIFY(rec.has("status|节点 4 退出Bootloader模式失败：电机仍在Bootloader"));
        QVERIFY(!rec.has("motorStatus|4|已退出Bootloader"));
        QCOMPARE(m->getMotorStatus(4), Busy);
        sim_fault_init(&fault);
        QVERIFY(sim_bench_set_node_fault(0, 0, 4, &fault) == 1);
        w.refreshMotorStatus(4);
        QTRY_COMPARE(m->getMotorStatus(4), Bootloader);

        // An empty image is not sent (it would erase the motor's application).
        rec.clear();
        QVERIFY(w.upgradeMotor(6, emptyPath));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 60000);
        QCOMPARE(rec.withPrefix("upgradeCompleted"), QStringList{"upgradeCompleted|6|0"});
        QVERIFY(rec.has("status|节点 6 固件传输失败：文件为空，未发送"));
        QCOMPARE(m->getLastError(6), QString("准备：文件为空，未发送"));
        QCOMPARE(m->getMotorStatus(6), Bootloader);
        QCOMPARE(sim_bench_motor_state(0, 1, 6), int(SIM_MOTOR_BOOT_HELD));

        // The bulk upgrade passes over rows without a usable path silently
        // and reports a missing file.
        m->setBinFilePath(4, "unknown");
        m->setBinFilePath(6, dir.filePath("gone.bin"));
        rec.clear();
        QCOMPARE(w.upgradeAllMatched(), 0);
        QVERIFY(rec.has("status|节点 6 的固件文件不存在: " + dir.filePath("gone.bin")));
        QCOMPARE(w.statusMessage(), QString("已提交 0 个升级任务到线程池"));

        // Out of the bootloader again.
        rec.clear();
        QVERIFY(w.exitBootloader(4));
        QCOMPARE(m->getMotorStatus(4), Busy);
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|4|已退出Bootloader"), 20000);
        QCOMPARE(m->getMotorStatus(4), Available);
        QCOMPARE(rec.all().value(0), QString("motorStatus|4|正在退出Bootloader..."));

        // The bootloader's acknowledgement of the start command is still
        // queued on the channel; the next scan must not take it for the
        // answer of the first node it probes.
        QTRY_COMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_APPLICATION));
        rec.clear();
        scan(w, 4, 6);
        QVERIFY(rec.has("channelScanProgress|0|33|扫描节点 ID=4 (1/3) - 发现电机"));
        // 6 is still in its bootloader, listed by its failed upgrade in the history.
        QCOMPARE(m->rowCount(), 2);
        QCOMPARE(m->getMotorStatus(6), Bootloader);
    }

    // The readiness probe of a motor in its bootloader is the sequence's own:
    // an answer other than the image's refusal, or none, is logged, and the
    // transfer starts in every case (the transfer's initiate decides).
    void readinessProbeOnlyLogs() {
        struct Case {
            uint8_t node;
            uint32_t adapter, channel;
            void (*fault)(sim_fault_t *);
            const char *line; // logged, or nullptr
        };
        const Case cases[] = {
            {4, 0, 0, [](sim_fault_t *f) { f->probeSilent = 1; },
             "[doUpgradeMotor] 节点 4 SDO就绪检查失败: 0x 5040000"},
            {5, 0, 1, [](sim_fault_t *f) { f->probeAbortCode = 0x08000020u; },
             "[doUpgradeMotor] 节点 5 SDO就绪检查失败: 0x 8000020"},
            {6, 1, 0, nullptr, nullptr},
        };
        loadBench({motor(0, 0, 4), motor(0, 1, 5), motor(1, 0, 6)});
        QTemporaryDir dir;
        const QString path = writeFirmware(dir.path(), "4009_SingleTarsel_B0.bin", kNewVersion, 2000);
        CANopenWrapper w;
        w.setBackendZhcx();
        QCOMPARE(w.setChannelConfigs({channelItem(0, 0), channelItem(0, 1), channelItem(1, 0)}), 3);
        QCOMPARE(w.applyChannelConfigs(), 3);
        SignalRecord rec(&w);
        w.scanMotorsOnAllChannels(1, 8);
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 20000);
        QCOMPARE(w.enterBootloaderAll(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("motorStatus").filter("|Bootloader").size() == 3, 20000);
        for (const Case &c : cases) {
            sim_fault_t f;
            sim_fault_init(&f);
            if (c.fault != nullptr) {
                c.fault(&f);
            }
            QVERIFY(sim_bench_set_node_fault(c.adapter, c.channel, c.node, &f) == 1);
            QVERIFY(w.upgradeMotor(c.node, path));
        }
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("upgradeCompleted").size() == 3, 60000);
        for (const Case &c : cases) {
            QVERIFY2(rec.has(QString("upgradeCompleted|%1|1").arg(c.node)), qPrintable(rec.all().join('\n')));
            const QStringList probeLines =
                LogCapture::lines().filter(QString("[doUpgradeMotor] 节点 %1 SDO就绪检查").arg(c.node));
            QCOMPARE(probeLines, c.line != nullptr ? QStringList{c.line} : QStringList{});
        }
    }

    void refreshGivesThreeStates() {
        loadBench({motor(0, 0, 1), motor(0, 1, 2), motor(1, 0, 3)});
        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        QCOMPARE(w.autoConfigureChannels(), 4);
        SignalRecord rec(&w);
        scan(w, 1, 4);
        QCOMPARE(m->rowCount(), 3);

        rec.clear();
        QVERIFY(w.enterBootloader(2));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|2|Bootloader"), 20000);
        // The application restarts into its bootloader shortly after the
        // handshake.
        QTRY_COMPARE(sim_bench_motor_state(0, 1, 2), int(SIM_MOTOR_BOOT_HELD));
        QVERIFY(sim_bench_set_power(1, 0, 3, 0) == 1);

        rec.clear();
        w.refreshAllMotorStatus();
        QCOMPARE(w.statusMessage(), QString("已提交 3 个状态刷新任务到线程池"));
        for (unsigned n : {1u, 2u, 3u}) {
            QCOMPARE(m->getMotorStatus(n), Busy);
        }
        QTRY_VERIFY_WITH_TIMEOUT(rec.withPrefix("refreshed").size() == 3, 20000);
        QCOMPARE(m->getMotorStatus(1), Available);
        QCOMPARE(m->getMotorStatus(2), Bootloader);
        QCOMPARE(m->getMotorStatus(3), Disconnected);
        QVERIFY(rec.has("refreshed|1|Available"));
        QVERIFY(rec.has("refreshed|2|Bootloader"));
        QVERIFY(rec.has("refreshed|3|连接中断"));
        // The row text comes before the end of the probe.
        QVERIFY(rec.all().indexOf("motorStatus|3|连接中断") < rec.all().indexOf("refreshed|3|连接中断"));

        // One motor on its own.
        rec.clear();
        w.refreshMotorStatus(1);
        QCOMPARE(w.statusMessage(), QString("已提交节点 1 的状态刷新任务"));
        QCOMPARE(rec.all().value(0), QString("motorStatus|1|刷新中..."));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("refreshed|1|Available"), 20000);

        w.refreshMotorStatus(77);
        QCOMPARE(w.statusMessage(), QString("未找到节点 77 的通道信息"));
    }

    void cleanupWaitsForRunningTransfer() {
        loadBench({motor(0, 0, 4)});
        QTemporaryDir dir;
        const QString path = writeFirmware(dir.path(), "4009_SingleTarsel_B0.bin", kNewVersion, 96 * 1024);
        CANopenWrapper w;
        SignalRecord rec(&w);
        motor4InBootloader(w, rec);

        rec.clear();
        QVERIFY(w.upgradeMotor(4, path));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeProgress|4|").filter("传输中").isEmpty(), 20000);
        // The window is closed in the middle of the transfer: the channels
        // are released only once the worker is out of its channel.
        w.cleanupAll();
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("upgradeCompleted"), QStringList{"upgradeCompleted|4|1"});
        QVERIFY(w.getAvailableChannels().isEmpty());
        QCOMPARE(sim_bench_motor_version(0, 0, 4) == kNewVersion || sim_bench_motor_state(0, 0, 4) != -1,
                 true);
    }

    void failedEntryStaysBusy() {
        loadBench({motor(0, 0, 1), motor(0, 0, 2)});
        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        configure(w, {channelItem(0, 0)});
        SignalRecord rec(&w);
        scan(w, 1, 3);

        // Motor 2 stops answering: its entry fails and the row stays Busy.
        sim_fault_t silent;
        sim_fault_init(&silent);
        silent.silent = 1;
        QVERIFY(sim_bench_set_node_fault(0, 0, 2, &silent) == 1);
        rec.clear();
        QVERIFY(w.enterBootloader(2, 100, 0, 10));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|2|进入Bootloader失败"), 10000);
        QVERIFY(rec.has("status|节点 2 进入Bootloader模式失败"));
        QCOMPARE(m->getMotorStatus(2), Busy);
        QCOMPARE(m->getLastResult(2), OperationFailed);

        // The bulk entry takes Available rows only, and says how many.
        m->setMotorStatus(1, Bootloader);
        QCOMPARE(w.enterBootloaderAll(), 0);
        QCOMPARE(w.statusMessage(), QString("已提交 0 个进入Bootloader任务到线程池"));
        // A Bootloader row may be asked again.
        QVERIFY(w.enterBootloader(1, 100, 0, 10));
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("status|节点 1 已进入Bootloader模式"), 10000);
    }

    void singleHoldOnMainThread() {
        loadBench({motor(0, 0, 1), motor(0, 0, 2), motor(0, 1, 9)});
        sim_bench_set_operator(1, 200, 100);
        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        SignalRecord rec(&w);
        scan(w, 1, 9);

        // The channel of motor 1 is busy with a long probe of a switched-off
        // motor: the hold waits at most its own duration, then fails.
        QVERIFY(sim_bench_set_power(0, 0, 2, 0) == 1);
        w.refreshMotorStatus(2);
        QThread::msleep(100); // let the worker take the channel
        rec.clear();
        QElapsedTimer t;
        t.start();
        QVERIFY(!w.preventAppStartForDuration(1, 300));
        QVERIFY(t.elapsed() < 1800);
        QCOMPARE(w.statusMessage(), QString("节点 1 阻止应用启动失败"));
        QCOMPARE(rec.withPrefix("motorStatus"), QStringList{"motorStatus|1|强制进入Bootloader失败"});
        QCOMPARE(m->getMotorStatus(1), Available);
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("refreshed|2|连接中断"), 20000);

        // A Busy row is refused at once.
        m->setMotorStatus(9, Busy);
        QVERIFY(!w.preventAppStartForDuration(9, 1000));
        QCOMPARE(w.statusMessage(), QString("节点 9 正在忙碌，无法强制进入Bootloader"));
        m->setMotorStatus(9, Available);

        // Free channel: the simulated operator power-cycles the motor while
        // the stop command is repeated.
        rec.clear();
        QVERIFY(w.preventAppStartForDuration(9, 1500));
        QCOMPARE(m->getMotorStatus(9), Bootloader);
        QCOMPARE(w.statusMessage(), QString("节点 9 阻止应用启动成功 (持续 1500 ms)"));
        QVERIFY(rec.has("motorStatus|9|Bootloader"));
        QVERIFY(sim_bench_motor_state(0, 1, 9) == SIM_MOTOR_BOOT_HELD);
    }

    // Never the wrong image: a file made for the motor is taken before a
    // loose match listed earlier; loose or ambiguous pairings and downgrades
    // are left out of "upgrade all" when the operator says so; a started
    // image must report the version its name gives.
    void matchingAndVersionsGuardTheBulkUpgrade() {
        loadBench({motor(0, 0, 1, 9, 1, 0, 0x01000003), motor(0, 0, 2, 20, 2, 0, 0x03010000),
                   motor(0, 1, 3, 26, 3, 0, 0x02000105), motor(0, 1, 4, 65, 1, 16, 0x01030101),
                   motor(1, 0, 5, 11, 3, 16, 0x01010402), motor(1, 0, 6, 31, 2, 16, 0x01040101),
                   motor(1, 1, 7, 67, 3, 0, 0x02020202)});
        QTemporaryDir dir;
        const struct {
            const char *name;
            uint32_t trailer; // 0: no trailer, random bytes only
        } files[] = {
            {"14009_SingleTarsel_B0_V1_0_0_9.bin", 0x01000009},  // loose for node 1, listed first
            {"4009_SingleTarsel_B0_V1_0_0_4.bin", 0},            // node 1's own name, a random image
            {"60020_DoubleTarsel_B16_V3_1_0_1.bin", 0x03010001}, // only loose for the B0 node 2
            {"80026_DoubleBrisca_B0_V2_0_1_6.bin", 0x02000106},  // two made for node 3
            {"80026_DoubleBrisca_B0_x2.bin", 0x02000106},
            {"130065_SingleTarsel_B16_V1_3_1_1.bin", 0x01030101}, // what node 4 runs
            {"4011_DoubleBrisca_B16_V1_1_4_1.bin", 0x01010401},   // older than node 5's
            {"80031_DoubleTarsel_B16.bin", 0x01040105},           // no version in the name
            {"130067_DoubleBrisca_B0_V2_2_2_3.bin", 0x02020204},  // comes up as another version
        };
        for (const auto &f : files) {
            if (f.trailer != 0) {
                QVERIFY(!writeFirmware(dir.path(), f.name, f.trailer, 2000).isEmpty());
            } else {
                QFile raw(dir.filePath(f.name));
                QVERIFY(raw.open(QIODevice::WriteOnly));
                QByteArray bytes(2016, '\0');
                QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
                raw.write(bytes);
            }
        }

        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        SignalRecord rec(&w);
        scanAndMatch(w, dir.path(), 7);
        QCOMPARE(w.statusMessage(), QString("匹配了 7 个文件（2 个只是宽松匹配或有多个候选，已在行中标出）"));

        using L = MotorListModel;
        const struct {
            unsigned node;
            const char *file;
            int kind;
            const char *fileVersion;
            int check;
        } matched[] = {
            {1, "4009_SingleTarsel_B0_V1_0_0_4.bin", L::MatchExact, "1.0.0.4", L::FileNewer},
            {2, "60020_DoubleTarsel_B16_V3_1_0_1.bin", L::MatchLoose, "3.1.0.1", L::FileNewer},
            {3, "80026_DoubleBrisca_B0_V2_0_1_6.bin", L::MatchSeveralExact, "2.0.1.6", L::FileNewer},
            {4, "130065_SingleTarsel_B16_V1_3_1_1.bin", L::MatchExact, "1.3.1.1", L::FileCurrent},
            {5, "4011_DoubleBrisca_B16_V1_1_4_1.bin", L::MatchExact, "1.1.4.1", L::FileOlder},
            {6, "80031_DoubleTarsel_B16.bin", L::MatchExact, "", L::FileWithoutVersion},
            {7, "130067_DoubleBrisca_B0_V2_2_2_3.bin", L::MatchExact, "2.2.2.3", L::FileNewer},
        };
        for (const auto &c : matched) {
            const QModelIndex idx = m->index(rowOf(m, c.node), 0);
            QCOMPARE(QFileInfo(m->getBinFilePath(c.node)).fileName(), QString(c.file));
            QCOMPARE(m->data(idx, L::MatchKindRole).toInt(), c.kind);
            QCOMPARE(m->data(idx, L::FileVersionRole).toString(), QString(c.fileVersion));
            QCOMPARE(m->data(idx, L::VersionCheckRole).toInt(), c.check);
        }

        allIntoBootloader(w, rec, 7);

        // What the window asks about before "upgrade all": 2 and 3 loose, 5 a downgrade.
        QStringList review;
        for (const QVariant &v : w.upgradeAllReview()) {
            const QVariantMap r = v.toMap();
            review.append(QString("%1 %2 %3 %4 %5")
                              .arg(r.value("nodeId").toUInt())
                              .arg(r.value("loose").toBool())
                              .arg(r.value("downgrade").toBool())
                              .arg(r.value("version").toString(), r.value("fileVersion").toString()));
        }
        QCOMPARE(review,
                 (QStringList{"2 1 0 3.1.0.0 3.1.0.1", "3 1 0 2.0.1.5 2.0.1.6", "5 0 1 1.1.4.2 1.1.4.1"}));

        rec.clear();
        QCOMPARE(w.upgradeAllMatchedExcept({2u, 3u, 5u}), 4);
        QCOMPARE(w.statusMessage(), QString("已提交 4 个升级任务到线程池（按确认未包括 3 个电机）"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("status|全部升级结束").isEmpty(), 120000);
        QCOMPARE(rec.withPrefix("status|全部升级结束"),
                 QStringList{"status|全部升级结束：成功 2 个，失败 2 个"});

        const struct {
            unsigned node;
            bool ok;
            const char *version; // the row's version column afterwards
            const char *rowText;
            const char *lastError;
            MotorStatus state;
            OperationResult result;
        } outcome[] = {
            {1, false, "1.0.0.3", "版本不符（文件 1.0.0.4，电机 1.0.0.3）",
             "确认应用启动：应用版本不符（文件 1.0.0.4，电机报告 1.0.0.3）", Available, OperationFailed},
            {2, false, "3.1.0.0", "Bootloader", "", Bootloader, NoResult},
            {3, false, "2.0.1.5", "Bootloader", "", Bootloader, NoResult},
            {4, true, "1.3.1.1", "Available", "", Available, UpgradeSucceeded},
            {5, false, "1.1.4.2", "Bootloader", "", Bootloader, NoResult},
            {6, true, "1.4.1.5", "Available", "", Available, UpgradeSucceeded},
            {7, false, "2.2.2.4", "版本不符（文件 2.2.2.3，电机 2.2.2.4）",
             "确认应用启动：应用版本不符（文件 2.2.2.3，电机报告 2.2.2.4）", Available, OperationFailed},
        };
        for (const auto &c : outcome) {
            QCOMPARE(rec.has(QString("upgradeCompleted|%1|1").arg(c.node)), c.ok);
            QCOMPARE(versionOf(m, c.node), QString(c.version));
            QCOMPARE(m->statusText(c.node), QString(c.rowText));
            QCOMPARE(m->getLastError(c.node), QString(c.lastError));
            QCOMPARE(m->getMotorStatus(c.node), c.state);
            QCOMPARE(m->getLastResult(c.node), c.result);
        }
        QVERIFY(rec.has("status|节点 1 版本不符：文件版本 1.0.0.4，电机报告 1.0.0.3"));
    }

    // A double click on "upgrade all" (or on a row's upgrade) must not queue
    // a motor twice: the second download would run against the new
    // application and turn the success into a failure. On the default
    // bench, whose eight motors all have their own node id.
    void secondUpgradeRequestIsRefused() {
        QVERIFY(sim_bench_load_default() == 1);
        QTemporaryDir dir;
        sim_mkfw_file_t made[SIM_MKFW_MAX_FILES];
        QCOMPARE(sim_mkfw_write_all(dir.path().toUtf8().constData(), 4096, made, SIM_MKFW_MAX_FILES), 8);
        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        SignalRecord rec(&w);
        scanAndMatch(w, dir.path(), 8);
        // Matched but not in the bootloader: the status says what comes first.
        QCOMPARE(w.upgradeAllMatched(), 0);
        QCOMPARE(
            w.statusMessage(),
            QString(
                "已提交 0 个升级任务到线程池（8 个配有固件文件的电机不在Bootloader模式：请先点击“进入Bootloader”）"));
        allIntoBootloader(w, rec, 8);

        rec.clear();
        QCOMPARE(w.upgradeAllMatched(), 8);
        QCOMPARE(w.upgradeAllMatched(), 0);
        QCOMPARE(w.statusMessage(), QString("已提交 0 个升级任务到线程池（跳过 8 个正在操作的电机）"));
        QVERIFY(!w.upgradeMotor(3, m->getBinFilePath(3)));
        QCOMPARE(w.statusMessage(), QString("节点 3 正在升级，请等待完成"));
        QVERIFY(!w.exitBootloader(3));
        QVERIFY(w.isOperationPending(3));
        QCOMPARE(w.busyNodes().size(), 8);

        QTRY_VERIFY_WITH_TIMEOUT(rec.has("status|全部升级结束：成功 8 个，失败 0 个"), 120000);
        QCOMPARE(rec.withPrefix("upgradeCompleted").size(), 8);
        QCOMPARE(rec.withPrefix("upgradeCompleted").filter("|1").size(), 8);
        QCOMPARE(rec.withPrefix("status|全部升级结束").size(), 1);
        QCOMPARE(w.statusMessage(), QString("全部升级结束：成功 8 个，失败 0 个"));
        QVERIFY(w.busyNodes().isEmpty());
        // Each row keeps its result and shows the version its motor runs now;
        // the record has a line per upgrade.
        for (int r = 0; r < 8; ++r) {
            const QModelIndex idx = m->index(r, 0);
            const unsigned n = m->data(idx, MotorListModel::NodeIdRole).toUInt();
            QCOMPARE(m->getMotorStatus(n), Available);
            QVERIFY(rec.has(QString("upgradeProgress|%1|100|升级成功").arg(n)));
            QCOMPARE(m->data(idx, MotorListModel::ProgressTextRole).toString(), QString("升级成功"));
            QCOMPARE(m->data(idx, MotorListModel::BusyRole).toBool(), false);
            const MotorData *d = m->getMotorData(n);
            QCOMPARE(d->version, MotorListModel::versionText(sim_bench_motor_version(
                                     d->deviceIndex, d->canChannel, static_cast<uint8_t>(n))));
        }
        QCOMPARE(w.recordCount(), 8);
        const QString csv = dir.filePath("record.csv");
        QVERIFY(w.exportRecord(csv));
        QFile record(csv);
        QVERIFY(record.open(QIODevice::ReadOnly));
        const QStringList lines = QString::fromUtf8(record.readAll()).split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 9);
        QCOMPARE(lines.filter(QRegularExpression(",ok,,application,1 done: ok,\\d+$")).size(), 8);
        QVERIFY(!w.exportRecord(dir.filePath("no/such/folder/record.csv")));

        // A refresh of every row ends with one report of what it found.
        QSignalSpy refreshed(&w, &CANopenWrapper::allMotorStatusRefreshed);
        w.refreshAllMotorStatus();
        QVERIFY(refreshed.wait(20000));
        QCOMPARE(w.statusMessage(), QString("状态刷新完成：Available 8 个，Bootloader 0 个，连接中断 0 个"));
    }

    // The same node id on several channels: one row, always the motor of the
    // first channel in the channel list; one status line says so, and the
    // motors left out are offered and can be swapped into the list.
    void duplicateNodeIdsKeepTheFirstChannel() {
        QVERIFY(sim_bench_load_scenario(OSTRELO_TEST_DATA_DIR "/duplicate-node-ids.scn") == 1);
        CANopenWrapper w;
        MotorListModel *m = w.motorListModel();
        QCOMPARE(w.autoConfigureChannels(), 4);
        for (int run = 0; run < 2; ++run) {
            SignalRecord rec(&w);
            QSignalSpy notes(&w, &CANopenWrapper::channelScanNote);
            scan(w, 1, 8, 0);
            QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{"scanCompleted|6"});
            QCOMPARE(
                w.statusMessage(),
                QString(
                    "扫描共找到 8 个电机，其中 2 个的节点ID与其他通道上的电机相同：节点 1（通道 1、通道 2）；"
                    "节点 2（通道 1、通道 4）。列表中每个节点ID只列出第一个通道上的电机，其余的列在"
                    "“其他通道上的同号电机”中，可以换入列表"));
            for (unsigned n : {1u, 2u}) {
                QCOMPARE(m->getMotorData(n)->deviceIndex, 0u);
                QCOMPARE(m->getMotorData(n)->canChannel, 0u);
            }
            QCOMPARE(notes.size(), 2);
            QCOMPARE(notes.at(0), (QList<QVariant>{1, QString("节点 1 与其他通道重复，未列入列表")}));
            QCOMPARE(notes.at(1), (QList<QVariant>{3, QString("节点 2 与其他通道重复，未列入列表")}));
        }
        const QVariantList unlisted = w.unlistedMotors();
        QCOMPARE(unlisted.size(), 2);
        const QVariantMap second = unlisted.at(1).toMap();
        QCOMPARE(second.value("nodeId").toUInt(), 2u);
        QCOMPARE(second.value("deviceIndex").toUInt(), 1u);
        QCOMPARE(second.value("canChannel").toUInt(), 1u);

        // Swapped in: node 2's row is now the motor on adapter 1 channel 1,
        // without the file of the other one; the other is offered instead.
        m->setBinFilePath(2, "/fw/other.bin");
        QVERIFY(w.listUnlistedMotor(1));
        QCOMPARE(m->getMotorData(2)->deviceIndex, 1u);
        QCOMPARE(m->getMotorData(2)->canChannel, 1u);
        QCOMPARE(m->getMotorData(2)->firmwareModel, QString("80031"));
        QCOMPARE(m->getBinFilePath(2), QString());
        QCOMPARE(w.unlistedMotors().at(1).toMap().value("canChannel").toUInt(), 0u);
        QVERIFY(!w.listUnlistedMotor(2));
        // It is the one the controller now talks to.
        QVERIFY(w.enterBootloader(2));
        QTRY_COMPARE_WITH_TIMEOUT(m->getMotorStatus(2), Bootloader, 20000);
        QCOMPARE(sim_bench_motor_state(1, 1, 2), int(SIM_MOTOR_BOOT_HELD));
        QCOMPARE(sim_bench_motor_state(0, 0, 2), int(SIM_MOTOR_APPLICATION));
    }

    // Stopping ends a running transfer at once with an SDO abort (general
    // error); the motor stays in its bootloader and takes an image again.
    void stopCancelsTransferAndMotorStaysUpgradable() {
        loadBench({motor(0, 0, 4)});
        QTemporaryDir dir;
        const QString big = writeFirmware(dir.path(), "big.bin", kNewVersion, 400 * 1024);
        const QString small = writeFirmware(dir.path(), "small.bin", kNewVersion, 2000);
        CANopenWrapper w;
        SignalRecord rec(&w);
        motor4InBootloader(w, rec);
        QTRY_VERIFY(w.busyNodes().isEmpty());

        const client_channel_id_t channel{4, 0, 0, 1000};
        const client_channel_id_t notUp{4, 3, 5, 1000};
        QCOMPARE(client_api_request_cancel(notUp), -1);
        rec.clear();
        QVERIFY(w.upgradeMotor(4, big));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeProgress|4|").filter("传输中").isEmpty(), 20000);
        QCOMPARE(w.activeOperations(), 1);
        w.stopAllOperations();
        QVERIFY(client_api_cancel_requested(channel));
        // The image takes several seconds on this bus; a stop ends it long before.
        QTRY_COMPARE_WITH_TIMEOUT(w.activeOperations(), 0, 3000);
        // The end report is a queued call of its own; it may follow the count.
        QTRY_COMPARE(rec.withPrefix("upgradeCompleted"), QStringList{"upgradeCompleted|4|0"});
        // Stopped is cancelled, not failed, and says so.
        QVERIFY(rec.has("status|节点 4 升级已取消"));
        QCOMPARE(w.motorListModel()->getLastResult(4), OperationCancelled);
        QCOMPARE(w.motorListModel()->statusText(4), QString("升级已取消，电机留在Bootloader中"));
        QVERIFY(!client_api_cancel_requested(channel));
        QCOMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_BOOT_HELD));
        QCOMPARE(w.motorListModel()->getMotorStatus(4), Bootloader);

        rec.clear();
        QVERIFY(w.upgradeMotor(4, small));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("upgradeCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("upgradeCompleted"), QStringList{"upgradeCompleted|4|1"});
        QTRY_COMPARE(sim_bench_motor_version(0, 0, 4), kNewVersion);
    }

    // The one path from a folder: the folder pairs at once and a rescan pairs
    // again; one action upgrades every motor whose file pairs exactly, the
    // ones sharing a node id on another channel too (each on its own channel,
    // none twice), by the handshake from their applications. A stop counts
    // what it ended or never began as cancelled, not failed; the summary
    // names the failed and the not-done motors.
    void oneActionUpgradesEveryPairedMotor() {
        struct Case {
            const char *name;
            uint32_t bodySize;
            bool stop; // stop once the first transfer runs
        } cases[] = {{"whole run, one bad CRC", 2000, false}, {"stopped", 300 * 1024, true}};
        for (const Case &c : cases) {
            resetWorld();
            QVERIFY(sim_bench_load_scenario(OSTRELO_TEST_DATA_DIR "/duplicate-node-ids.scn") == 1);
            if (!c.stop) {
                sim_fault_t bad;
                sim_fault_init(&bad);
                bad.wrongCrc = 1;
                QVERIFY(sim_bench_set_node_fault(1, 0, 5, &bad) == 1);
            }
            QTemporaryDir dir;
            std::vector<sim_mkfw_file_t> files(SIM_MKFW_MAX_FILES);
            QCOMPARE(sim_mkfw_write_all(dir.path().toUtf8().constData(), c.bodySize, files.data(),
                                        SIM_MKFW_MAX_FILES),
                     8);
            CANopenWrapper w;
            MotorListModel *m = w.motorListModel();
            MotorListModel *others = w.unlistedModel();
            QCOMPARE(w.autoConfigureChannels(), 4);
            scan(w, 1, 8, 0);
            QCOMPARE(w.matchBinFiles(dir.path()), 6);
            QCOMPARE(w.statusMessage(), QString("匹配了 6 个文件（另有 2 个其他通道上的同号电机配有文件）"));
            // A rescan keeps the pairing of the folder.
            scan(w, 1, 8, 0);
            QCOMPARE(w.firmwareFolder(), dir.path());
            for (MotorListModel *model : {m, others}) {
                for (int row = 0; row < model->rowCount(); ++row) {
                    QVERIFY2(model->data(model->index(row, 0), MotorListModel::HasFileRole).toBool(), c.name);
                }
            }
            QCOMPARE(others->rowCount(), 2);

            const QVariantMap review = w.reviewUpgradeEverything();
            QCOMPARE(review.value("count").toInt(), 8);
            QCOMPARE(review.value("unlisted").toInt(), 2);
            QVERIFY(review.value("loose").toList().isEmpty());
            QVERIFY(review.value("downgrades").toList().isEmpty());
            SignalRecord rec(&w);
            QCOMPARE(w.upgradeEverything(), 8);
            if (c.stop) {
                QTRY_VERIFY_WITH_TIMEOUT(
                    m->data(m->index(0, 0), MotorListModel::ProgressTextRole).toString().startsWith("传输中"),
                    20000);
                w.stopAllOperations();
            }
            QTRY_VERIFY_WITH_TIMEOUT(!w.upgradeSummary().isEmpty(), 120000);
            const QVariantMap s = w.upgradeSummary();
            QStringList problems;
            for (const QVariant &v : s.value("problems").toList()) {
                const QVariantMap p = v.toMap();
                problems.append(QString("%1 %2 %3")
                                    .arg(p.value("channel").toString())
                                    .arg(p.value("nodeId").toUInt())
                                    .arg(p.value("cancelled").toBool() ? "cancelled" : "failed"));
            }
            QCOMPARE(s.value("ok").toInt() + s.value("failed").toInt() + s.value("cancelled").toInt(), 8);
            if (!c.stop) {
                QCOMPARE(problems, QStringList{"1.0 5 failed"});
                QCOMPARE(s.value("ok").toInt(), 7);
                QCOMPARE(w.recordCount(), 8); // none flashed twice
                QVERIFY(rec.has("status|全部升级结束：成功 7 个，失败 1 个"));
                // The motors on other channels show their new versions.
                for (const QVariant &v : w.unlistedMotors()) {
                    const QVariantMap u = v.toMap();
                    const uint32_t now =
                        sim_bench_motor_version(u.value("deviceIndex").toUInt(),
                                                u.value("canChannel").toUInt(), u.value("nodeId").toUInt());
                    QCOMPARE(u.value("version").toString(), MotorListModel::versionText(now));
                    quint32 fileVersion = 0;
                    QVERIFY(MotorListModel::fileNameVersion(u.value("binFilePath").toString(), &fileVersion));
                    QCOMPARE(now, fileVersion);
                    QCOMPARE(u.value("motorStatus").toInt(), int(Available));
                }
            } else {
                // Nothing failed; the motor queued behind the first transfer on
                // its channel never began.
                QCOMPARE(s.value("failed").toInt(), 0);
                QVERIFY(s.value("cancelled").toInt() >= 2);
                QVERIFY2(problems.filter("failed").isEmpty(), qPrintable(problems.join(';')));
                QCOMPARE(m->getLastResult(2), OperationCancelled);
                QCOMPARE(m->statusText(2), QString("升级已取消（未开始）"));
                QVERIFY(rec.has(QString("status|全部升级结束：成功 %1 个，失败 0 个，已取消 %2 个")
                                    .arg(s.value("ok").toInt())
                                    .arg(s.value("cancelled").toInt())));
            }
            QTRY_COMPARE(w.activeOperations(), 0);
        }
    }

  private:
    // Channel 0/0 up, motor 4 listed and held in its bootloader.
    void motor4InBootloader(CANopenWrapper &w, SignalRecord &rec) {
        configure(w, {channelItem(0, 0)});
        scan(w, 4, 4);
        QVERIFY(w.enterBootloader(4));
        QTRY_COMPARE(sim_bench_motor_state(0, 0, 4), int(SIM_MOTOR_BOOT_HELD));
        // The entry counts once the bootloader has answered its probe.
        QTRY_VERIFY_WITH_TIMEOUT(rec.has("motorStatus|4|Bootloader"), 20000);
    }
};

QTEST_GUILESS_MAIN(TestControllerOps)
#include "tst_controller_ops.moc"
