// Collects the application's log lines (the text of every Qt message of
// level information and above) so tests can assert on them; safe for
// messages from worker threads. Debug lines are traces whose wording no test
// relies on: they are not collected. QTest installs its own handler in
// qExec, so construct this in initTestCase.
#ifndef LOG_CAPTURE_H
#define LOG_CAPTURE_H

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

class LogCapture {
  public:
    LogCapture() {
        previous = qInstallMessageHandler(&LogCapture::handler);
        forward() = qEnvironmentVariableIsSet("OSTRELO_TEST_VERBOSE") ? previous : nullptr;
    }
    ~LogCapture() { qInstallMessageHandler(previous); }

    // A list of its own: a shared copy of the store would let the next
    // append (on any thread) reorganise memory the caller is still reading.
    static QStringList lines() {
        QMutexLocker locker(&mutex());
        QStringList out;
        out.reserve(store().size());
        for (const QString &line : store()) {
            out.append(line);
        }
        return out;
    }
    static void clear() {
        QMutexLocker locker(&mutex());
        store().clear();
    }
    static int count(const QString &line) { return static_cast<int>(lines().count(line)); }
    static bool containsPrefix(const QString &prefix) {
        for (const QString &l : lines()) {
            if (l.startsWith(prefix)) {
                return true;
            }
        }
        return false;
    }

  private:
    static void handler(QtMsgType type, const QMessageLogContext &ctx, const QString &msg) {
        if (ctx.category != nullptr && qstrncmp(ctx.category, "qt.", 3) == 0) {
            return;
        }
        if (type != QtDebugMsg) {
            QMutexLocker locker(&mutex());
            store().append(msg);
        }
        if (forward() != nullptr) {
            forward()(type, ctx, msg);
        }
    }
    static QtMessageHandler &forward() {
        static QtMessageHandler f = nullptr;
        return f;
    }
    static QMutex &mutex() {
        static QMutex m;
        return m;
    }
    static QStringList &store() {
        static QStringList s;
        return s;
    }
    QtMessageHandler previous = nullptr;
};

#endif
