// The category of the application core's log lines. Every line goes out
// alike (the program's message handler writes the text alone); the level
// says what a line is: status texts and the steps of configuration and the
// worker pool are information, traces of single tasks, nodes and frames are
// debug, refusals and failures are warnings.
#ifndef APP_LOG_CATEGORY_H
#define APP_LOG_CATEGORY_H

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcApp)

#endif
