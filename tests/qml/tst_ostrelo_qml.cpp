// Qt Quick Test runner for the pages of the Ostrelo module. It registers the two
// application-core types exactly as the program does, puts the module that is
// embedded in this executable on the import path, and offers the tests a few
// helpers (file URLs, screenshots, direct model state changes).
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLoggingCategory>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTemporaryDir>
#include <QTranslator>
#include <QUrl>
#include <QtQml>
#include <QtQuickTest>

#include <algorithm>

#include "CANopenWrapper.h"
#include "MotorListModel.h"
#include "qml_types.h"
#include "app_language.h"
#include "sim_bench.h"
#include "sim_bridge.h"

class TestHelper : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString outputDir READ outputDir CONSTANT)
    Q_PROPERTY(QString demoFirmwareDir READ demoFirmwareDir CONSTANT)

  public:
    using QObject::QObject;

    static QString versionText(uint32_t v) {
        return QStringLiteral("%1.%2.%3.%4")
            .arg(v >> 24)
            .arg((v >> 16) & 0xFFu)
            .arg((v >> 8) & 0xFFu)
            .arg(v & 0xFFu);
    }

    QString outputDir() const { return QStringLiteral(OSTRELO_QML_TEST_OUTPUT_DIR); }
    QString demoFirmwareDir() const { return qEnvironmentVariable("OSTRELO_DEMO_FW_DIR"); }

    Q_INVOKABLE QString fileUrl(const QString &path) const { return QUrl::fromLocalFile(path).toString(); }

    Q_INVOKABLE bool fileExists(const QString &path) const { return QFileInfo(path).isFile(); }

    Q_INVOKABLE QStringList binFiles(const QString &folder) const {
        return QDir(folder).entryList(QStringList{QStringLiteral("*.bin")}, QDir::Files, QDir::Name);
    }

    // Version carried by an image's trailer, written as the motor list shows
    // versions; "" when the file has no valid trailer.
    Q_INVOKABLE QString binFileVersion(const QString &path) const {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return QString();
        const QByteArray image = file.readAll();
        uint32_t v = 0;
        if (sim_image_trailer_version(reinterpret_cast<const uint8_t *>(image.constData()),
                                      static_cast<size_t>(image.size()), &v) != 1)
            return QString();
        return versionText(v);
    }

    // The version the simulated motor's application reports now.
    Q_INVOKABLE QString benchMotorVersion(unsigned int adapter, unsigned int channel,
                                          unsigned int node) const {
        return versionText(sim_bench_motor_version(adapter, channel, static_cast<uint8_t>(node)));
    }

    // States that no bench action produces on demand (Disconnected, Busy) are
    // set on the model directly.
    Q_INVOKABLE bool setMotorStatus(QObject *model, unsigned int nodeId, int status) const {
        auto *m = qobject_cast<MotorListModel *>(model);
        if (!m || status < Available || status > Busy)
            return false;
        // Through Busy, as an operation would: every state can follow it.
        return m->setMotorStatus(nodeId, Busy) && m->setMotorStatus(nodeId, static_cast<MotorStatus>(status));
    }

    Q_INVOKABLE bool setLastResult(QObject *model, unsigned int nodeId, int result) const {
        auto *m = qobject_cast<MotorListModel *>(model);
        if (!m || result < NoResult || result > OperationFailed)
            return false;
        m->setLastResult(nodeId, static_cast<OperationResult>(result));
        return true;
    }

    // A file as matching pairs it (MotorListModel::MatchKind), and a failure's
    // reason as the controller leaves it in the row.
    Q_INVOKABLE bool setMatchedFile(QObject *model, unsigned int nodeId, const QString &path,
                                    int kind) const {
        auto *m = qobject_cast<MotorListModel *>(model);
        if (!m || kind < MotorListModel::MatchNone || kind > MotorListModel::MatchSeveralExact)
            return false;
        m->setMatchedFile(nodeId, path, static_cast<MotorListModel::MatchKind>(kind));
        return true;
    }

    Q_INVOKABLE bool setLastError(QObject *model, unsigned int nodeId, const QString &text) const {
        auto *m = qobject_cast<MotorListModel *>(model);
        if (!m)
            return false;
        m->setLastError(nodeId, text);
        return true;
    }

    // Every row the list has made is whole: a row's cells come a few frames
    // after the row itself.
    Q_INVOKABLE bool rowsMade(QObject *listView) const {
        auto *content = listView ? listView->property("contentItem").value<QQuickItem *>() : nullptr;
        if (!content)
            return false;
        const QList<QQuickItem *> rows = content->childItems();
        return std::none_of(rows.begin(), rows.end(),
                            [](const QQuickItem *r) { return r->property("ready") == QVariant(false); });
    }

    // Grabs what the window shows (popups included) and stores it as PNG.
    Q_INVOKABLE bool saveWindow(QObject *window, const QString &fileName) const {
        auto *w = qobject_cast<QQuickWindow *>(window);
        if (!w)
            return false;
        const QImage image = w->grabWindow();
        if (image.isNull())
            return false;
        QDir().mkpath(outputDir());
        return image.save(QDir(outputDir()).filePath(fileName));
    }
};

class Setup : public QObject {
    Q_OBJECT

  public slots:
    void applicationAvailable() {
        QLoggingCategory::setFilterRules(QStringLiteral("qt.*=false"));
        // Each run starts with no remembered settings and an empty history,
        // and never touches the user's.
        if (qEnvironmentVariableIsEmpty("OSTRELO_SETTINGS"))
            qputenv("OSTRELO_SETTINGS", QFile::encodeName(scratch.filePath(QStringLiteral("settings.ini"))));
        if (qEnvironmentVariableIsEmpty("OSTRELO_HISTORY"))
            qputenv("OSTRELO_HISTORY", QFile::encodeName(scratch.filePath(QStringLiteral("history.sqlite"))));
        registerOstreloQmlTypes();
        // As the program does: English for OSTRELO_LANG=en, else Chinese.
        appInstallLanguage(translator);
        // OSTRELO_TEST_SERVE_BENCH=0.0=vcan0,...: the default bench, or the
        // scenario file named in OSTRELO_TEST_SERVE_SCENARIO, answers on those
        // SocketCAN interfaces from this process, for a run of the windows on
        // OSTRELO_CAN=socketcan:... through the kernel's CAN stack.
        const QByteArray serve = qgetenv("OSTRELO_TEST_SERVE_BENCH");
        const QByteArray scenario = qgetenv("OSTRELO_TEST_SERVE_SCENARIO");
        if (!serve.isEmpty() &&
            (!sim_bench_load_scenario(scenario.isEmpty() ? nullptr : scenario.constData()) ||
             !sim_bridge_serve_socketcan(serve.constData(), 1000)))
            qFatal("cannot serve the bench on %s", serve.constData());
    }

    void qmlEngineAvailable(QQmlEngine *engine) {
        engine->addImportPath(QStringLiteral("qrc:/qt/qml"));
        engine->rootContext()->setContextProperty(QStringLiteral("testHelper"), new TestHelper(engine));
    }

  private:
    QTranslator translator;
    QTemporaryDir scratch;
};

QUICK_TEST_MAIN_WITH_SETUP(ostrelo_qml, Setup)

#include "tst_ostrelo_qml.moc"
