// Controller: the interactive hold of all motors in their bootloader, with
// the bench's simulated operator power-cycling the motors.
#include <QSignalSpy>
#include <QTest>

#include <memory>

#include "CANopenWrapper.h"
#include "ThreadPool.h"
#include "controller_fixture.h"
#include "log_capture.h"

using namespace fixture;

class TestControllerHold : public ControllerTest {
    Q_OBJECT

  private slots:
    void refusals() {
        loadBench({motor(0, 0, 1)});
        CANopenWrapper w;
        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(), QString("没有已扫描的电机"));
        QVERIFY(!w.isPreventAppStartAllActive());

        configure(w, {channelItem(0, 0)});
        scan(w, 1, 2);
        w.motorListModel()->setMotorStatus(1, Busy);
        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(), QString("没有Available状态的电机"));
        QVERIFY(!w.isPreventAppStartAllActive());

        // Stop without a hold does nothing.
        w.stopPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(), QString("没有Available状态的电机"));
    }

    void threeMotorsTwoChannels() {
        loadBench({motor(0, 0, 1), motor(0, 0, 2), motor(0, 1, 3)});
        sim_bench_set_operator(1, 300, 100);
        CANopenWrapper w;
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        scan(w, 1, 4);
        SignalRecord rec(&w);
        LogCapture::clear();

        w.startPreventAppStartAllInteractive();
        QVERIFY(w.isPreventAppStartAllActive());
        QCOMPARE(w.statusMessage(),
                 QString("开始交互式强制进入Bootloader，共 3 个电机，分为 2 组任务。请手动断电并重新上电"));
        // The start changes no row.
        QCOMPARE(w.motorListModel()->getMotorStatus(1), Available);

        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(), QString("交互式强制进入Bootloader已在运行中"));

        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("holdCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("holdCompleted"), QStringList{"holdCompleted|3|3"});
        QVERIFY(!w.isPreventAppStartAllActive());
        QCOMPARE(w.statusMessage(), QString("交互式强制进入Bootloader完成，成功 3/3 个电机"));
        for (unsigned n : {1u, 2u, 3u}) {
            QCOMPARE(w.motorListModel()->getMotorStatus(n), Bootloader);
            const int row = rec.all().indexOf(QString("motorStatus|%1|Bootloader").arg(n));
            QVERIFY(row >= 0);
            QCOMPARE(rec.all().value(row + 1), QString("holdProgress|%1|1").arg(n));
            QCOMPARE(rec.all().value(row + 2), QString("status|节点 %1 成功进入Bootloader模式").arg(n));
        }
        for (unsigned n : {1u, 2u}) {
            QCOMPARE(sim_bench_motor_state(0, 0, static_cast<uint8_t>(n)), int(SIM_MOTOR_BOOT_HELD));
        }
        QCOMPARE(sim_bench_motor_state(0, 1, 3), int(SIM_MOTOR_BOOT_HELD));
    }

    void fiveMotorsFourChannels() {
        loadBench({motor(0, 0, 1), motor(0, 0, 2), motor(0, 1, 3), motor(1, 0, 4), motor(1, 1, 5)});
        sim_bench_set_operator(1, 300, 100);
        CANopenWrapper w;
        QCOMPARE(w.autoConfigureChannels(), 4);
        scan(w, 1, 6);
        SignalRecord rec(&w);
        LogCapture::clear();

        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(),
                 QString("开始交互式强制进入Bootloader，共 5 个电机，分为 3 组任务。请手动断电并重新上电"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("holdCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("holdCompleted"), QStringList{"holdCompleted|5|5"});
        QCOMPARE(rec.withPrefix("holdProgress").size(), 5);
        const QStringList lines = LogCapture::lines();
        QVERIFY(lines.contains("[doPreventAppStartGroupTask] 组 2 开始，包含 1 个电机"));
        // Group 1 (motors 3 and 4) runs on the worker of channel 0/1 and also
        // serves motor 4 on channel 1/0.
        QVERIFY(lines.contains("[doPreventAppStartGroupTask] 组 1 完成，响应数: 2 / 2"));
        QCOMPARE(sim_bench_motor_state(1, 0, 4), int(SIM_MOTOR_BOOT_HELD));

        // A motor that answered but was moved on before a later completion
        // does not count: run a second hold over the rows made Available.
        rec.clear();
        w.motorListModel()->setMotorStatus(5, Available);
        w.startPreventAppStartAllInteractive();
        QCOMPARE(w.statusMessage(),
                 QString("开始交互式强制进入Bootloader，共 1 个电机，分为 1 组任务。请手动断电并重新上电"));
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("holdCompleted").isEmpty(), 20000);
        QCOMPARE(rec.withPrefix("holdCompleted"), QStringList{"holdCompleted|1|1"});
    }

    void stopThenRestart() {
        loadBench({motor(0, 0, 1), motor(0, 1, 2), motor(0, 1, 3)});
        CANopenWrapper w;
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        scan(w, 1, 4);
        SignalRecord rec(&w);
        LogCapture::clear();

        // Nobody switches the motors off: they never answer.
        w.startPreventAppStartAllInteractive();
        QTest::qWait(150);
        w.stopPreventAppStartAllInteractive();
        QVERIFY(!w.isPreventAppStartAllActive());
        QCOMPARE(w.statusMessage(), QString("已停止交互式强制进入Bootloader操作"));
        QTRY_VERIFY_WITH_TIMEOUT(LogCapture::count("[doPreventAppStartGroupTask] 组 0 操作已停止") == 1 &&
                                     LogCapture::count("[doPreventAppStartGroupTask] 组 1 操作已停止") == 1,
                                 5000);
        QTest::qWait(100);
        QVERIFY(rec.withPrefix("holdCompleted").isEmpty());
        QVERIFY(rec.withPrefix("holdProgress").isEmpty());

        // Stop and start again at once, now with the operator at work: the
        // groups of the stopped hold must not count towards the new one.
        w.startPreventAppStartAllInteractive();
        QTest::qWait(60);
        sim_bench_set_operator(1, 300, 100);
        w.stopPreventAppStartAllInteractive();
        w.startPreventAppStartAllInteractive();
        QVERIFY(w.isPreventAppStartAllActive());
        QTRY_VERIFY_WITH_TIMEOUT(!rec.withPrefix("holdCompleted").isEmpty(), 20000);
        QTest::qWait(300);
        QCOMPARE(rec.withPrefix("holdCompleted"), QStringList{"holdCompleted|3|3"});
        for (unsigned n : {1u, 2u, 3u}) {
            QCOMPARE(w.motorListModel()->getMotorStatus(n), Bootloader);
        }
    }

    // Closing the window during a hold: cleanupAll ends it and waits until
    // every group has left its channel before the channels are freed.
    void cleanupStopsTheHoldFirst() {
        loadBench({motor(0, 0, 1), motor(0, 1, 2)});
        CANopenWrapper w;
        configure(w, {channelItem(0, 0), channelItem(0, 1)});
        scan(w, 1, 2);
        // No simulated operator: nobody answers, the groups keep polling.
        w.startPreventAppStartAllInteractive();
        QVERIFY(w.isPreventAppStartAllActive());
        QTRY_VERIFY(LogCapture::lines().filter("开始，包含").size() == 2);
        w.cleanupAll();
        QVERIFY(!w.isPreventAppStartAllActive());
        QCOMPARE(LogCapture::lines().filter("[doPreventAppStartGroupTask] 组").filter("操作已停止").size(),
                 2);
        QCOMPARE(w.statusMessage(), QString("所有资源已清理"));
    }
};

QTEST_GUILESS_MAIN(TestControllerHold)
#include "tst_controller_hold.moc"
