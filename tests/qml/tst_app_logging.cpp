// The program's log handler: what reaches standard output, and in what shape;
// and the choice of the windows' language, with its one line for a value the
// program does not know.
#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QMessageLogContext>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QStringList>
#include <QTemporaryFile>
#include <QTest>
#include <QThread>
#include <QTranslator>

#include <cstdio>
#include <unistd.h>

#include "app_language.h"
#include "app_logging.h"
#include "ostrelo_log.h"

Q_LOGGING_CATEGORY(lcQtInternal, "qt.scenegraph.general")
Q_LOGGING_CATEGORY(lcQtFoo, "qtfoo")
Q_LOGGING_CATEGORY(lcApp, "ostrelo.app")

namespace {

// Sends file descriptor 1 into a temporary file while alive; restores it even
// when a check fails half-way.
class StdoutCapture {
  public:
    StdoutCapture() {
        file.open();
        std::fflush(stdout);
        saved = dup(STDOUT_FILENO);
        dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutCapture() { restore(); }

    QByteArray finish() {
        restore();
        QFile in(file.fileName());
        in.open(QIODevice::ReadOnly);
        return in.readAll();
    }

  private:
    void restore() {
        if (saved < 0)
            return;
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        saved = -1;
    }

    QTemporaryFile file;
    int saved = -1;
};

void logWithCategory(const char *category, const QString &text, QtMsgType type = QtDebugMsg) {
    QMessageLogContext context("file.cpp", 10, "function", category);
    customMessageHandler(type, context, text);
}

} // namespace

class TestAppLogging : public QObject {
    Q_OBJECT

  private slots:
    void categoriesDecideWhatIsWritten();
    void lineCarriesTheTextAlone();
    void installedHandlerFiltersQtCategories();
    void qmlConsoleLogIsOneLine();
    void libraryLinesKeepTheirBytes();
    void concurrentLinesStayWhole();
    void languageChoice();
    void unknownLanguageKeepsChineseWithOneLine();
};

void TestAppLogging::categoriesDecideWhatIsWritten() {
    StdoutCapture capture;
    logWithCategory("qt.qpa.xcb", "dropped 1");
    logWithCategory("qt.", "dropped 2");
    logWithCategory("qtfoo", "kept qtfoo");
    logWithCategory("default", "kept default");
    logWithCategory(nullptr, "kept without category");
    logWithCategory("qt", "kept qt");
    logWithCategory("Qt.quick", "kept upper case");
    logWithCategory("js", "kept js");
    const QByteArray out = capture.finish();

    QCOMPARE(out, QByteArray("kept qtfoo\nkept default\nkept without category\nkept qt\n"
                             "kept upper case\nkept js\n"));
}

void TestAppLogging::lineCarriesTheTextAlone() {
    StdoutCapture capture;
    logWithCategory("default", "debug line", QtDebugMsg);
    logWithCategory("default", "warning line", QtWarningMsg);
    logWithCategory("default", "critical line", QtCriticalMsg);
    logWithCategory("default", "info line", QtInfoMsg);
    logWithCategory("default", QString());
    logWithCategory("default", QStringLiteral("通道状态更新: 4 个可用通道"));
    const QByteArray out = capture.finish();

    // No time stamp, level, category or source location; an empty message is
    // an empty line.
    const QByteArray expected = QByteArray("debug line\nwarning line\ncritical line\ninfo line\n\n") +
                                QStringLiteral("通道状态更新: 4 个可用通道").toLocal8Bit() + "\n";
    QCOMPARE(out, expected);
}

void TestAppLogging::installedHandlerFiltersQtCategories() {
    QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    StdoutCapture capture;
    qCDebug(lcQtInternal) << "internal";
    qCWarning(lcQtInternal) << "internal warning";
    qCDebug(lcQtFoo) << "from qtfoo";
    qCDebug(lcApp) << "[setChannelConfigs] Received" << 4 << "configuration items";
    qDebug() << "[CANopenWrapper]" << QStringLiteral("通道已初始化");
    qDebug() << "=== Application Started ===";
    const QByteArray out = capture.finish();
    qInstallMessageHandler(previous);

    const QByteArray expected =
        QByteArray("from qtfoo\n[setChannelConfigs] Received 4 configuration items\n") +
        QStringLiteral("[CANopenWrapper] \"通道已初始化\"\n").toLocal8Bit() + "=== Application Started ===\n";
    QCOMPARE(out, expected);
}

// The lower layers' lines reach standard output through the program's
// handler, byte for byte as they would without it.
void TestAppLogging::libraryLinesKeepTheirBytes() {
    QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    appRouteLibraryLog();
    StdoutCapture capture;
    ostrelo_info("[INFO] Channel initialized (Type=%u, Index=%u, Channel=%u, Bitrate=%u)\n", 4u, 0u, 1u,
                 1000u);
    ostrelo_log_text(OSTRELO_LOG_ERROR, "FAILED: block SDO transfer failed!\nError code: 0x05040000\n");
    ostrelo_debug("\n=== Enter Bootloader Mode ===\n");
    const QByteArray out = capture.finish();
    ostrelo_log_set_sink(nullptr, nullptr);
    qInstallMessageHandler(previous);
    QCOMPARE(out, QByteArray("[INFO] Channel initialized (Type=4, Index=0, Channel=1, Bitrate=1000)\n"
                             "FAILED: block SDO transfer failed!\nError code: 0x05040000\n"
                             "\n=== Enter Bootloader Mode ===\n"));
}

void TestAppLogging::qmlConsoleLogIsOneLine() {
    QQmlEngine engine;
    QQmlComponent component(&engine);
    component.setData("import QtQml\n"
                      "QtObject { Component.onCompleted: console.log(\"扫描完成，发现\", 3, \"个电机\") }\n",
                      QUrl("qrc:/console.qml"));
    QVERIFY2(component.isReady(), qPrintable(component.errorString()));

    QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    StdoutCapture capture;
    QScopedPointer<QObject> object(component.create());
    const QByteArray out = capture.finish();
    qInstallMessageHandler(previous);

    QVERIFY(object);
    QCOMPARE(out, QStringLiteral("扫描完成，发现 3 个电机\n").toLocal8Bit());
}

void TestAppLogging::concurrentLinesStayWhole() {
    constexpr int kThreads = 4;
    constexpr int kLines = 300;
    const QString filler(120, QLatin1Char('x'));

    StdoutCapture capture;
    QList<QThread *> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.append(QThread::create([t, filler]() {
            for (int i = 0; i < kLines; ++i)
                logWithCategory("default",
                                QStringLiteral("worker %1 line %2 %3 end").arg(t).arg(i).arg(filler));
        }));
    }
    for (QThread *thread : threads)
        thread->start();
    for (QThread *thread : threads) {
        thread->wait();
        delete thread;
    }
    const QByteArray out = capture.finish();

    const QList<QByteArray> lines = out.split('\n');
    QCOMPARE(lines.size(), kThreads * kLines + 1);
    QVERIFY(lines.last().isEmpty());
    QList<int> nextLine(kThreads, 0);
    for (int i = 0; i < lines.size() - 1; ++i) {
        const QString line = QString::fromLocal8Bit(lines[i]);
        const QStringList parts = line.split(QLatin1Char(' '));
        QVERIFY2(parts.size() == 6 && parts[0] == "worker" && parts[2] == "line" && parts[4] == filler &&
                     parts[5] == "end",
                 qPrintable(line));
        const int t = parts[1].toInt();
        QVERIFY(t >= 0 && t < kThreads);
        // Lines of one thread keep their order.
        QCOMPARE(parts[3].toInt(), nextLine[t]);
        ++nextLine[t];
    }
}

void TestAppLogging::languageChoice() {
    struct Case {
        QStringList args;
        const char *env;
        bool english;
        const char *unknown; // null: understood
    } cases[] = {
        {{"app"}, "", false, nullptr},
        {{"app"}, "en", true, nullptr},
        {{"app"}, "EN_us.UTF-8", true, nullptr},
        {{"app"}, "zh_CN", false, nullptr},
        {{"app"}, "english", false, "english"},
        {{"app", "--lang", "en"}, "", true, nullptr},
        {{"app", "--lang=en"}, "zh", true, nullptr},
        {{"app", "--lang", "zh"}, "en", false, nullptr},
        {{"app", "--lang", "en", "--lang", "fr"}, "", false, "fr"},
        {{"app", "--lang"}, "en", false, ""},
        {{"app", "-platform", "offscreen"}, "de", false, "de"},
    };
    for (const Case &c : cases) {
        const AppLanguageChoice got = appChooseLanguage(c.args, QString::fromLatin1(c.env));
        const QByteArray what = (c.args.join(' ') + " / " + c.env).toUtf8();
        QVERIFY2(got.english == c.english, what.constData());
        QVERIFY2(got.unknownGiven == (c.unknown != nullptr), what.constData());
        if (c.unknown) {
            QCOMPARE(got.unknown, QString::fromLatin1(c.unknown));
        }
    }
}

void TestAppLogging::unknownLanguageKeepsChineseWithOneLine() {
    QtMessageHandler previous = qInstallMessageHandler(customMessageHandler);
    QTranslator translator;
    StdoutCapture capture;
    qputenv("OSTRELO_LANG", "zh");
    const bool zh = appInstallLanguage(translator);
    qputenv("OSTRELO_LANG", "fr");
    const bool fr = appInstallLanguage(translator);
    qunsetenv("OSTRELO_LANG");
    const QByteArray out = capture.finish();
    qInstallMessageHandler(previous);

    QVERIFY(!zh && !fr);
    QVERIFY(translator.isEmpty());
    // Qt's own texts (the file dialogs' buttons) follow the Chinese face too.
    QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), QString("取消"));
    QCOMPARE(out, QByteArray("[main] Unknown language \"fr\" (OSTRELO_LANG or --lang); known: en, zh. "
                             "Keeping Chinese.\n"));
}

QTEST_GUILESS_MAIN(TestAppLogging)
#include "tst_app_logging.moc"
