// Controller: interface, status texts and channel configuration against the
// simulated bench.
#include <QMetaMethod>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <thread>

#include "CANopenWrapper.h"
#include "ThreadPool.h"
#include "can_backend.h"
#include "can_backend_zhcx.h"
#include "controller_fixture.h"
#include "log_capture.h"

using namespace fixture;

class TestControllerConfig : public ControllerTest {
    Q_OBJECT

  private slots:
    void init() {
        ControllerTest::init();
        loadBench({motor(0, 0, 1), motor(0, 1, 2), motor(1, 0, 3), motor(1, 1, 4)});
    }

    void statusTextsAndPropertySetters() {
        CANopenWrapper w;
        QCOMPARE(w.statusMessage(), QString("未初始化"));
        QVERIFY(!w.isInitialized());
        QVERIFY(w.motorListModel() != nullptr);
        QCOMPARE(w.motorListModel()->parent(), &w);
        QSignalSpy status(&w, &CANopenWrapper::statusMessageChanged);

        w.setDeviceType(0); // unchanged: nothing at all
        QCOMPARE(status.count(), 0);
        QVERIFY(LogCapture::lines().isEmpty());

        w.setDeviceType(4);
        QCOMPARE(w.deviceType(), 4u);
        QCOMPARE(w.statusMessage(), QString("设备类型设置为: 4"));
        QVERIFY(LogCapture::lines().contains("[CANopenWrapper] \"设备类型设置为: 4\""));
        w.setDeviceIndex(1);
        QCOMPARE(w.statusMessage(), QString("设备索引设置为: 1"));
        w.setCanChannel(5);
        QCOMPARE(w.statusMessage(), QString("CAN通道设置为: 5"));
        w.setBitrate(500);
        QCOMPARE(w.statusMessage(), QString("波特率设置为: 500 kbps"));
        QCOMPARE(status.count(), 4);

        // The same text twice is logged twice but announced once.
        w.updateStatus("x");
        w.updateStatus("x");
        QCOMPARE(status.count(), 5);
        QCOMPARE(LogCapture::count("[CANopenWrapper] \"x\""), 2);

        CO_CANdeviceConfig_t ch{1, 2, 3, 4};
        QVERIFY(!w.getChannelInfoFromModel(9, ch));
        QCOMPARE(w.statusMessage(), QString("未找到节点 9 的信息"));
        QCOMPARE(ch.deviceType, 1u); // untouched
    }

    void setChannelConfigsRefusalsAndDefaults() {
        CANopenWrapper w;
        w.setBackendZhcx();
        QCOMPARE(w.setChannelConfigs({}), 0);
        QCOMPARE(w.statusMessage(), QString("配置列表为空"));

        QCOMPARE(w.setChannelConfigs({channelItem(0, 0, false), channelItem(0, 1, false)}), 0);
        QCOMPARE(w.statusMessage(), QString("没有启用的配置项"));
        QVERIFY(LogCapture::lines().contains("[setChannelConfigs] Config item 2 is disabled, skipping"));
        QVERIFY(LogCapture::lines().contains("[setChannelConfigs] Warning: No enabled configuration items"));

        // Missing keys: enabled, type 0, adapter 0, channel 0, 1000 kbit/s;
        // a bit rate beyond 16 bits is cut.
        LogCapture::clear();
        QVariantMap bare;
        QVariantMap wide = channelItem(1, 1);
        wide.insert("bitrate", 65536u + 250u);
        QCOMPARE(w.setChannelConfigs({bare, wide}), 2);
        QCOMPARE(w.statusMessage(), QString("成功设置 2 个通道配置"));
        const QStringList lines = LogCapture::lines();
        QVERIFY(lines.contains("[setChannelConfigs] Received 2 configuration items"));
        QVERIFY(
            lines.contains("[setChannelConfigs] Config item 1 : enabled= true deviceType= 0 deviceIndex= 0 "
                           "canChannel= 0 bitrate= 1000 kbps"));
        QVERIFY(lines.contains(
            "[setChannelConfigs] Created channelId: deviceType= 4 deviceIndex= 1 canChannel= 1 "
            "bitrate= 250 kbps"));
        QVERIFY(lines.contains("[setChannelConfigs] Ready to set 2 channel configurations"));
        QVERIFY(lines.contains("[setChannelConfigs] Successfully set 2 channel configurations"));
    }

    void applyWithNothingConfigured() {
        CANopenWrapper w;
        QSignalSpy channels(&w, &CANopenWrapper::channelsStatusUpdated);
        QCOMPARE(w.applyChannelConfigs(), 0);
        QVERIFY(!w.isInitialized());
        // It says what comes first.
        QCOMPARE(w.statusMessage(),
                 QString("初始化通道失败：还没有通道配置。请先勾选要用的通道并点击“设置配置”，"
                         "或点击“一键配置”或“配置检测到的全部通道”"));
        QVERIFY(!ThreadPool::instance()->poolInitialized);
        QCOMPARE(channels.count(), 1);
        QVERIFY(channels.at(0).at(0).toList().isEmpty());
        QVERIFY(
            LogCapture::lines().contains("[getAvailableChannels] Warning: No available channels retrieved"));

        // Nothing up: the scan refuses and touches nothing else.
        QSignalSpy progress(&w, &CANopenWrapper::scanProgress);
        QCOMPARE(w.scanMotorsOnAllChannels(1, 32), 0);
        QCOMPARE(w.statusMessage(), QString("请先配置并应用通道，且确保有可用通道"));
        QCOMPARE(progress.count(), 0);

        // Queueing operations need a channel too: listed motors, nothing up,
        // no pool.
        {
            QMutexLocker locker(&CANopenWrapper::g_discovered_motors_mutex);
            g_discovered_motors[7].discovered = 1;
            g_discovered_motors[7].nodeId = 7;
            g_discovered_motors[7].channelId = client_channel_id_t{4, 0, 0, 1000};
        }
        w.motorListModel()->refreshFromBackend();
        const QString noPool("没有可用通道，无法初始化线程池");
        QVERIFY(!w.enterBootloader(7));
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        QVERIFY(!w.exitBootloader(7));
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        QCOMPARE(w.enterBootloaderAll(), 0);
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        w.refreshMotorStatus(7);
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        w.refreshAllMotorStatus();
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        QCOMPARE(w.upgradeAllMatched(), 0);
        QCOMPARE(w.statusMessage(), noPool);
        w.updateStatus("-");
        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(), noPool);
        QVERIFY(!w.isPreventAppStartAllActive());
        QCOMPARE(w.motorListModel()->getMotorStatus(7), Available);
        QVERIFY(!ThreadPool::instance()->poolInitialized);
    }

    void applyTwiceAndChannelMaps() {
        CANopenWrapper w;
        SignalRecord rec(&w);
        QSignalSpy channels(&w, &CANopenWrapper::channelsStatusUpdated);
        configure(w, {channelItem(0, 1), channelItem(1, 0)});
        QVERIFY(w.isInitialized());
        QCOMPARE(w.statusMessage(), QString("成功初始化 2 个通道"));
        QCOMPARE(rec.withPrefix("initializedChanged").size(), 1);
        QVERIFY(rec.has("status|通道已初始化"));
        QVERIFY(ThreadPool::instance()->poolInitialized);
        QVERIFY(LogCapture::lines().contains("[applyChannelConfigs] Retrieved 2 configured channels:"));
        QVERIFY(LogCapture::lines().contains(
            "  Channel 2 : deviceType= 4 deviceIndex= 1 canChannel= 0 bitrate= 1000 kbps"));

        const QVariantList list = channels.at(0).at(0).toList();
        QCOMPARE(list.size(), 2);
        const QVariantMap first = list.at(0).toMap();
        QCOMPARE(first.value("deviceType").toUInt(), 4u);
        QCOMPARE(first.value("deviceTypeName").toString(), QString("ZHCX"));
        QCOMPARE(first.value("deviceIndex").toUInt(), 0u);
        QCOMPARE(first.value("canChannel").toUInt(), 1u);
        QCOMPARE(first.value("bitrate").typeId(), QMetaType::Int);
        QCOMPARE(first.value("bitrate").toInt(), 1000);
        QCOMPARE(list.at(1).toMap().value("deviceIndex").toUInt(), 1u);

        // Everything already up: nothing new comes up, and the controller
        // stays initialised (its channels are still up and listed).
        QCOMPARE(w.applyChannelConfigs(), 0);
        QVERIFY(w.isInitialized());
        QCOMPARE(w.statusMessage(), QString("没有新的通道需要初始化，2 个通道已可用"));
        QCOMPARE(channels.count(), 2);
        QCOMPARE(channels.at(1).at(0).toList().size(), 2);
        QCOMPARE(w.getAvailableChannels().size(), 2);

        // A channel recorded now that cannot come up (no such adapter) is
        // reported, not hidden behind the ones already up.
        QCOMPARE(w.setChannelConfigs({channelItem(3, 0)}), 1);
        QCOMPARE(w.applyChannelConfigs(), 0);
        QVERIFY(w.isInitialized());
        QCOMPARE(w.statusMessage(), QString("初始化通道失败：1 个通道未能启动，2 个通道已可用"));

        // Clean-up while not initialised: no change signal, final text.
        w.cleanupAll();
        QVERIFY(!w.isInitialized());
        rec.clear();
        w.cleanupAll();
        QVERIFY(rec.withPrefix("initializedChanged").isEmpty());
        QCOMPARE(w.statusMessage(), QString("所有资源已清理"));
        QVERIFY(w.getAvailableChannels().isEmpty());
    }

    void autoConfigureTwice() {
        QVERIFY(sim_bench_load_default() == 1);
        CANopenWrapper w;
        SignalRecord rec(&w);
        QCOMPARE(w.autoConfigureChannels(), 4);
        QVERIFY(w.isInitialized());
        QCOMPARE(w.statusMessage(), QString("一键配置完成：成功配置并应用 4 个通道"));
        QVERIFY(rec.has("status|后端已设置为zhcx"));
        const QVariantList channels = w.getAvailableChannels();
        QCOMPARE(channels.size(), 4);
        const unsigned expected[4][2] = {{0, 0}, {0, 1}, {1, 0}, {1, 1}};
        for (int i = 0; i < 4; ++i) {
            const QVariantMap m = channels.at(i).toMap();
            QCOMPARE(m.value("deviceType").toUInt(), 4u);
            QCOMPARE(m.value("deviceIndex").toUInt(), expected[i][0]);
            QCOMPARE(m.value("canChannel").toUInt(), expected[i][1]);
            QCOMPARE(m.value("bitrate").toInt(), 1000);
        }
        QVERIFY(LogCapture::lines().contains("[autoConfigureChannels] 自动配置 4 个通道"));
        QVERIFY(LogCapture::lines().contains("[autoConfigureChannels] 成功应用 4 个通道配置"));
        QVERIFY(ThreadPool::instance()->poolInitialized);

        // The same four channels are up already: the device manager records
        // none of them.
        QCOMPARE(w.autoConfigureChannels(), 0);
        QVERIFY(rec.has("status|设置通道配置失败"));
        QCOMPARE(w.statusMessage(), QString("自动配置失败：无法设置通道配置"));
        QVERIFY(w.isInitialized());

        // The destructor releases the channels while initialised.
        LogCapture::clear();
    }

    // Detection works with channels up: running channels are asked without
    // being opened again and are left alone; an adapter plugged in later is
    // added by the next "configure all detected".
    void configureDetectedWithChannelsUp() {
        loadBench({motor(0, 0, 1)});
        CANopenWrapper w;
        configure(w, {channelItem(0, 0)});
        QCOMPARE(w.detectChannels().size(), 4);
        QCOMPARE(w.configureDetectedChannels(1000), 3);
        QCOMPARE(w.statusMessage(),
                 QString("已配置并启动检测到的 3 个通道（1000 kbps），1 个已在运行的通道未动"));
        QCOMPARE(w.getAvailableChannels().size(), 4);
        QVERIFY(sim_bench_add_adapter(2, 2) == 1);
        QCOMPARE(w.configureDetectedChannels(500), 2);
        QCOMPARE(w.getAvailableChannels().size(), 6);
        QCOMPARE(w.configureDetectedChannels(1000), 0);
        QCOMPARE(w.statusMessage(), QString("检测到的 6 个通道都已启动"));
        // The motor on the first channel, up all along, still answers.
        scan(w, 1, 1, 0);
        QCOMPARE(w.motorListModel()->rowCount(), 1);
    }

    // A channel brought up after the first application gets its own worker;
    // a backend switch under live channels is refused; a scan cannot be
    // started twice.
    void laterChannelBackendGuardAndSingleScan() {
        CANopenWrapper w;
        configure(w, {channelItem(0, 0)});
        QCOMPARE(w.setChannelConfigs({channelItem(1, 1)}), 1);
        QCOMPARE(w.applyChannelConfigs(), 1);
        QCOMPARE(ThreadPool::instance()->getThreadIndex(4, 1, 1), 1);

        w.setBackendSocketCan();
        QCOMPARE(w.statusMessage(), QString("通道已启动，不能切换后端；请先关闭程序再选择后端"));
        QVERIFY(can_backend_get() == &ZHCX_OPS);
        w.setBackendZhcx();
        QCOMPARE(w.statusMessage(), QString("后端已设置为zhcx"));

        SignalRecord rec(&w);
        QCOMPARE(w.scanMotorsOnAllChannels(1, 8), 0);
        QVERIFY(w.isScanning());
        QCOMPARE(w.scanMotorsOnAllChannels(1, 8), 0);
        QCOMPARE(w.statusMessage(), QString("扫描正在进行，请等待完成"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("scanCompleted").isEmpty(), 20000);
        QVERIFY(!w.isScanning());
        QCOMPARE(rec.withPrefix("scanCompleted"), QStringList{"scanCompleted|2"});
        QCOMPARE(rec.withPrefix("channelScanCompleted").size(), 2);
        QCOMPARE(w.motorListModel()->getMotorData(4)->deviceIndex, 1u);

        // A scan whose tasks end without their reports (here the pool drops
        // them) still ends: the next scan is not refused.
        std::atomic<bool> release{false};
        ThreadPool::instance()->submitTask(4, 0, 0, [&release]() {
            while (!release.load()) {
                QThread::msleep(5);
            }
        });
        rec.clear();
        QCOMPARE(w.scanMotorsOnAllChannels(1, 8), 0);
        QVERIFY(w.isScanning());
        // The blocking task ends once the pool is stopping: the queued scan
        // task of its channel never runs.
        std::thread releaser([&release]() {
            QThread::msleep(100);
            release = true;
        });
        ThreadPool::instance()->cleanup();
        releaser.join();
        QTRY_VERIFY_WITH_TIMEOUT(!w.isScanning(), 5000);
        QCOMPARE(w.scanMotorsOnAllChannels(1, 8), 0);
        QVERIFY(w.statusMessage() != QString("扫描正在进行，请等待完成"));
        QTRY_VERIFY_WITH_TIMEOUT(!w.isScanning(), 20000);
    }

    // A folder without images is named as such, not only "0 matched".
    void matchingAFolderWithoutImages() {
        QTemporaryDir empty;
        CANopenWrapper w;
        QCOMPARE(w.matchBinFiles(empty.path()), 0);
        QCOMPARE(w.statusMessage(), QString("匹配了 0 个文件：文件夹中没有.bin文件 (%1)").arg(empty.path()));
    }

    // Run as its own test with OSTRELO_CAN set to a malformed value.
    void transportProblemInWindow() {
        if (qEnvironmentVariable("OSTRELO_CAN") != QLatin1String("bogus")) {
            QSKIP("needs OSTRELO_CAN=bogus");
        }
        CANopenWrapper w;
        QVERIFY(w.transportProblem().startsWith("OSTRELO_CAN='bogus' is not valid; accepted forms"));
        // The window says it in its own language.
        const QString said = CANopenWrapper::transportProblemText(w.transportProblem());
        QVERIFY2(said.startsWith("OSTRELO_CAN的值“bogus”无效"), qPrintable(said));
        QCOMPARE(w.statusMessage(), QString("CAN传输不可用：%1").arg(said));
        QVERIFY(!w.isSimulatedBench());
        QCOMPARE(w.autoConfigureChannels(), 0);
        QCOMPARE(w.statusMessage(), QString("自动配置失败：无法应用通道配置（%1）").arg(said));
        const QString unknown("Something else went wrong");
        QCOMPARE(CANopenWrapper::transportProblemText(unknown), unknown);
        QCOMPARE(CANopenWrapper::transportProblemText("SocketCAN interface can3 is missing"),
                 QString("SocketCAN接口 can3 不存在"));
    }

    void destructorReleasesChannels() {
        {
            CANopenWrapper w;
            configure(w, {channelItem(0, 0)});
        }
        CANopenWrapper other;
        QVERIFY(other.getAvailableChannels().isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestControllerConfig)
#include "tst_controller_config.moc"
