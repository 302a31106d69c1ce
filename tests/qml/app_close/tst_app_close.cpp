// Closing the main window ends the program: the controller releases the
// channels once, the hidden secondary windows go with it and the event loop
// returns 0 because no window is left.
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QPointer>
#include <QQmlApplicationEngine>
#include <QQuickWindow>
#include <QStringList>
#include <QTest>
#include <QTimer>
#include <QtQml>

#include "CANopenWrapper.h"
#include "MotorListModel.h"

class TestAppClose : public QObject {
    Q_OBJECT

  private slots:
    void closingTheMainWindowEndsTheRun();
};

void TestAppClose::closingTheMainWindowEndsTheRun() {
    QLoggingCategory::setFilterRules(QStringLiteral("qt.*=false"));
    qmlRegisterType<CANopenWrapper>("Ostrelo", 1, 0, "CANopenWrapper");
    qmlRegisterType<MotorListModel>("Ostrelo", 1, 0, "MotorListModel");
    QQmlApplicationEngine engine;
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Ostrelo/Main.qml")));
    QCOMPARE(engine.rootObjects().size(), 1);
    auto *main = qobject_cast<QQuickWindow *>(engine.rootObjects().first());
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
