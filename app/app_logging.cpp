#include "app_logging.h"

#include <QLoggingCategory>
#include <QMessageLogContext>

#include "ostrelo_log.h"

#include <cstdio>
#include <cstring>

bool appLogComposeLine(const char *category, const QString &message, QByteArray &line) {
    const char *name = category ? category : "";
    if (std::strncmp(name, "qt.", 3) == 0) {
        return false;
    }
    line = message.toLocal8Bit();
    line.append('\n');
    return true;
}

void customMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message) {
    Q_UNUSED(type);
    QByteArray line;
    if (!appLogComposeLine(context.category, message, line)) {
        return;
    }
    // Workers log concurrently with the main thread: the whole line goes out in
    // one write so that lines never interleave.
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stdout);
    std::fflush(stdout);
}

namespace {

Q_LOGGING_CATEGORY(lcLibrary, "ostrelo.lib")

// A text of the lower layers as one message of the program's log: its last
// line feed is the handler's, so the bytes written stay the same.
void toProgramLog(ostrelo_log_level_t level, const char *text, void *) {
    QString message = QString::fromUtf8(text);
    if (message.endsWith(QLatin1Char('\n'))) {
        message.chop(1);
    }
    switch (level) {
    case OSTRELO_LOG_DEBUG:
        qCDebug(lcLibrary).noquote() << message;
        break;
    case OSTRELO_LOG_INFO:
        qCInfo(lcLibrary).noquote() << message;
        break;
    default:
        qCWarning(lcLibrary).noquote() << message;
        break;
    }
}

} // namespace

void appRouteLibraryLog() {
    ostrelo_log_set_sink(toProgramLog, nullptr);
}
