#include "app_logging.h"

#include <QMessageLogContext>

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
