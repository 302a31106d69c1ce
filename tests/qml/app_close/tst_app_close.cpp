// Closing the main window ends the program: the controller releases the
// channels once, the hidden secondary windows go with it and the event loop
// returns 0 because no window is left.
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtQml>

#include "CANopenWrapper.h"
#include "MotorListModel.h"
#include "qml_types.h"
#include "sim_bench.h"

#include <vector>

class TestAppClose : public QObject {
    Q_OBJECT

  private slots:
    void closingTheMainWindowEndsTheRun();
    // Each of these ends the event loop: run one per process.
    void closeDuringUpgradeAndWait() { closeDuringUpgrade(false); }
    void closeDuringUpgradeAndStop() { closeDuringUpgrade(true); }
    void closeAfterOperationsEndedAndWait() { closeAfterOperationsEnded(false); }
    void closeAfterOperationsEndedAndStop() { closeAfterOperationsEnded(true); }

  private:
    void closeDuringUpgrade(bool stop);
    void closeAfterOperationsEnded(bool stop);
};

namespace {

QString writeImage(const QString &dir, int bodySize, uint32_t version) {
    std::vector<uint8_t> image(static_cast<size_t>(bodySize) + SIM_TRAILER_LEN);
    for (int i = 0; i < bodySize; ++i) {
        image[static_cast<size_t>(i)] = static_cast<uint8_t>(i * 31 + 7);
    }
    sim_image_make_trailer(image.data(), static_cast<size_t>(bodySize), version, image.data() + bodySize);
    const QString path = QDir(dir).filePath(QStringLiteral("image.bin"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly)) {
        return QString();
    }
    f.write(reinterpret_cast<const char *>(image.data()), static_cast<qint64>(image.size()));
    return path;
}

} // namespace

// The program's main window, loaded as the program does.
static QQuickWindow *loadMain(QQmlApplicationEngine &engine) {
    QLoggingCategory::setFilterRules(QStringLiteral("qt.*=false"));
    registerOstreloQmlTypes();
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Ostrelo/Main.qml")));
    return engine.rootObjects().size() == 1 ? qobject_cast<QQuickWindow *>(engine.rootObjects().first())
                                            : nullptr;
}

// Closing the main window while a motor is mid-transfer: the window stays
// responsive, a dialog offers to wait or to stop. Waiting lets the upgrade
// finish; stopping cancels it (the motor stays in its bootloader). Either way
// the channels are released and the run ends with 0.
void TestAppClose::closeDuringUpgrade(bool stop) {
    QQmlApplicationEngine engine;
    auto *main = loadMain(engine);
    QVERIFY(main);
    auto *controller = main->property("controller").value<CANopenWrapper *>();
    QVERIFY(controller);

    QTemporaryDir dir;
    const uint32_t version = 0x09080706;
    // Long enough on a 1000 kbit/s bus to be closed in the middle of it.
    const QString path = writeImage(dir.path(), stop ? 400 * 1024 : 120 * 1024, version);
    QVERIFY(!path.isEmpty());

    QCOMPARE(controller->autoConfigureChannels(), 4);
    QSignalSpy scanned(controller, &CANopenWrapper::scanCompleted);
    controller->scanMotorsOnAllChannels(1, 2);
    QVERIFY(scanned.wait(20000));
    MotorListModel *model = controller->motorListModel();
    const MotorData *motor = model->getMotorData(1);
    QVERIFY(motor);
    const unsigned adapter = motor->deviceIndex;
    const unsigned channel = motor->canChannel;
    QVERIFY(controller->enterBootloader(1));
    QVERIFY(QTest::qWaitFor([&] { return model->getMotorStatus(1) == Bootloader; }, 20000));
    // The worker's count falls before the window hears the task ended: wait
    // for the node to be free as well.
    QVERIFY(QTest::qWaitFor(
        [&] { return controller->activeOperations() == 0 && !controller->isOperationPending(1); }, 5000));

    QList<bool> results;
    bool transferring = false;
    connect(controller, &CANopenWrapper::upgradeCompleted, this,
            [&results](unsigned int, bool ok) { results.append(ok); });
    connect(controller, &CANopenWrapper::upgradeProgressPercent, this,
            [&transferring](unsigned int, int, const QString &text) {
                transferring = transferring || text.startsWith(QStringLiteral("传输中"));
            });
    QVERIFY(controller->upgradeMotor(1, path));
    QVERIFY(QTest::qWaitFor([&] { return transferring; }, 20000));

    // The operator works in the maximized motor list.
    QVariant listWin;
    QVERIFY(QMetaObject::invokeMethod(main, "openMotorListWindow", Q_RETURN_ARG(QVariant, listWin)));
    auto *list = qobject_cast<QQuickWindow *>(listWin.value<QObject *>());
    QVERIFY(list);
    list->showMaximized();
    QTRY_COMPARE(list->visibility(), QWindow::Maximized);
    bool unmaximized = false;
    connect(list, &QWindow::visibilityChanged, this,
            [&unmaximized](QWindow::Visibility v) { unmaximized = unmaximized || v == QWindow::Windowed; });

    // The close is refused while the upgrade runs: the dialog asks.
    QVERIFY(!main->close());
    QVERIFY(main->isVisible());
    auto *dialog = main->property("closeDialog").value<QObject *>();
    QVERIFY(dialog);
    QVERIFY(QTest::qWaitFor([&] { return dialog->property("opened").toBool(); }, 5000));
    QVERIFY(controller->isInitialized());

    // The window keeps handling events while it waits.
    int ticks = 0;
    QTimer tick;
    connect(&tick, &QTimer::timeout, this, [&ticks]() { ++ticks; });
    tick.start(20);
    QTimer::singleShot(0, main, [main, stop]() {
        QMetaObject::invokeMethod(main, stop ? "stopOperations" : "waitForOperations");
    });
    QTimer::singleShot(60000, qApp, []() { QCoreApplication::exit(99); });
    // After a wait with nothing left in a bootloader the program ends by
    // itself, and never un-maximizes the motor list it showed.
    const int rc = QGuiApplication::exec();

    QCOMPARE(rc, 0);
    QVERIFY(!unmaximized);
    if (!stop) {
        QVERIFY(ticks > 5); // the transfer took seconds, the window kept going
    }
    QCOMPARE(results, QList<bool>{!stop});
    QCOMPARE(controller->isInitialized(), false);
    QCOMPARE(controller->activeOperations(), 0);
    if (stop) {
        // The download was aborted: the motor waits in its bootloader.
        QCOMPARE(sim_bench_motor_state(adapter, channel, 1), int(SIM_MOTOR_BOOT_HELD));
    } else {
        QTRY_COMPARE(sim_bench_motor_version(adapter, channel, 1), version);
    }
}

// The close dialog stays open until its operations have ended ("0 running"):
// stopping then ends the program at once; waiting too, except that a motor
// left in its bootloader gets the warning of a plain close, on the window
// the operator looks at (the motor list), before the program ends.
void TestAppClose::closeAfterOperationsEnded(bool stop) {
    QQmlApplicationEngine engine;
    auto *main = loadMain(engine);
    QVERIFY(main);
    auto *controller = main->property("controller").value<CANopenWrapper *>();
    QCOMPARE(controller->autoConfigureChannels(), 4);
    QSignalSpy scanned(controller, &CANopenWrapper::scanCompleted);
    controller->scanMotorsOnAllChannels(1, 2, 100);
    QVERIFY(scanned.wait(20000));
    QVariant listWin;
    QVERIFY(QMetaObject::invokeMethod(main, "openMotorListWindow", Q_RETURN_ARG(QVariant, listWin)));
    auto *list = qobject_cast<QQuickWindow *>(listWin.value<QObject *>());
    QVERIFY(list);
    QVERIFY(controller->enterBootloader(1));
    QVERIFY(controller->activeOperations() > 0);
    QVERIFY(!main->close());
    QVERIFY(QTest::qWaitFor([&] { return controller->activeOperations() == 0; }, 20000));
    QCOMPARE(main->property("closeMode").toString(), QString("ask"));
    auto *dialog = main->property("closeDialog").value<QObject *>();

    QString modeAfterWait;
    QObject *dialogWindow = nullptr;
    QTimer::singleShot(0, main, [main, stop, dialog, &modeAfterWait, &dialogWindow]() {
        QMetaObject::invokeMethod(main, stop ? "stopOperations" : "waitForOperations");
        modeAfterWait = main->property("closeMode").toString();
        if (!stop) {
            dialogWindow = dialog->property("parent").value<QQuickItem *>()->window();
            QMetaObject::invokeMethod(main, "closeNow");
        }
    });
    QTimer::singleShot(20000, qApp, []() { QCoreApplication::exit(99); });
    QCOMPARE(QGuiApplication::exec(), 0);
    QCOMPARE(modeAfterWait, stop ? QString() : QString("bootloader"));
    if (!stop) {
        QCOMPARE(dialogWindow, list);
    }
    QCOMPARE(controller->isInitialized(), false);
}

void TestAppClose::closingTheMainWindowEndsTheRun() {
    QQmlApplicationEngine engine;
    auto *main = loadMain(engine);
    QVERIFY(main);
    QVERIFY(main->isVisible());

    auto *controller = main->property("controller").value<CANopenWrapper *>();
    QVERIFY(controller);
    QVERIFY(controller->autoConfigureChannels() > 0);
    QStringList statuses;
    connect(controller, &CANopenWrapper::statusMessageChanged, this,
            [&statuses](const QString &message) { statuses.append(message); });

    // Open the three windows and hide them again, as the operator would.
    QList<QPointer<QObject>> secondary;
    for (const char *open : {"openChannelConfigWindow", "openMotorScanWindow", "openMotorListWindow"}) {
        QVariant win;
        QVERIFY(QMetaObject::invokeMethod(main, open, Q_RETURN_ARG(QVariant, win)));
        auto *w = qobject_cast<QQuickWindow *>(win.value<QObject *>());
        QVERIFY(w);
        QVERIFY(w->isVisible());
        w->close();
        QVERIFY(!w->isVisible());
        secondary.append(w);
    }

    QTimer::singleShot(100, main, [main]() { main->close(); });
    // Watchdog: a run that does not end on its own fails with 99.
    QTimer::singleShot(20000, qApp, []() { QCoreApplication::exit(99); });
    const int rc = QGuiApplication::exec();

    QCOMPARE(rc, 0);
    QCOMPARE(controller->isInitialized(), false);
    QCOMPARE(statuses, QStringList({QStringLiteral("通道未初始化"), QStringLiteral("所有资源已清理")}));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<QObject> &w : secondary)
        QVERIFY(w.isNull());
}

QTEST_MAIN(TestAppClose)
#include "tst_app_close.moc"
