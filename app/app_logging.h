#ifndef OSTRELO_APP_LOGGING_H
#define OSTRELO_APP_LOGGING_H

#include <QByteArray>
#include <QString>
#include <QtGlobal>

class QMessageLogContext;

// Builds the output line for one message: the message text alone in the local
// 8-bit encoding, followed by a line feed. Returns false when the message is to
// be dropped (Qt's own "qt." categories). A null category counts as "".
bool appLogComposeLine(const char *category, const QString &message, QByteArray &line);

// The process-wide Qt message handler: every diagnostic of the application core
// and every console.log of the pages ends up as one line on standard output.
void customMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message);

// Sends the lower layers' log lines (client API, CANopen stack, adapters)
// through the same handler, as messages of the category "ostrelo.lib" at
// their level.
void appRouteLibraryLog();

#endif
