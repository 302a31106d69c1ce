#include <QCoreApplication>
#include <QGuiApplication>
#include <QLoggingCategory>
#include <QQmlApplicationEngine>
#include <QTranslator>
#include <QUrl>
#include <QtQml>

#include "CANopenWrapper.h"
#include "MotorListModel.h"
#include "qml_types.h"
#include "app_language.h"
#include "app_logging.h"
#include "sim_bench.h"

// The command line is handed to Qt; the program itself reads only "--lang".
int main(int argc, char *argv[]) {
    // The simulated bench answers OSTRELO_CAN=sim[:scenario] and the unset default.
    sim_register_transport();
    QGuiApplication app(argc, argv);

    qInstallMessageHandler(customMessageHandler);
    appRouteLibraryLog();
    QLoggingCategory::setFilterRules(QStringLiteral("qt.*=false"));
    qDebug() << "=== Application Started ===";

    // Before the engine: the pages take their texts when they are created.
    QTranslator translator;
    appInstallLanguage(translator);

    QQmlApplicationEngine engine;
    registerOstreloQmlTypes();

    // Queued: the failure is reported during load(), before the loop runs; the
    // exit code then becomes the result of exec().
    QObject::connect(
        &engine, &QQmlApplicationEngine::objectCreationFailed, &app, []() { QCoreApplication::exit(-1); },
        Qt::QueuedConnection);

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    engine.loadFromModule("Ostrelo", "Main");
#else
    engine.addImportPath(QStringLiteral("qrc:/qt/qml"));
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Ostrelo/Main.qml")));
#endif

    return app.exec();
}
