// The language of the windows: the program's own Chinese texts, or English
// from the translation packed into the resources.
#ifndef APP_LANGUAGE_H
#define APP_LANGUAGE_H

#include <QString>
#include <QStringList>

class QLocale;
class QTranslator;

struct AppLanguageChoice {
    bool english = false;
    // The value that asked for a language this program does not have; empty
    // when the choice was understood (or nothing was asked for).
    QString unknown;
    bool unknownGiven = false;
};

// "--lang X" or "--lang=X" in `arguments` (the command line, program name
// first) wins over `environment` (OSTRELO_LANG). "en" (also "en_US", "en-GB",
// "en.UTF-8", any case) gives English, "zh" likewise Chinese; an empty or
// unset environment value keeps Chinese silently.
AppLanguageChoice appChooseLanguage(const QStringList &arguments, const QString &environment);

// Reads the choice from the application's arguments and OSTRELO_LANG, logs one
// line for an unknown value, and for English loads the packed translation
// into `translator` and installs it; for Chinese it installs Qt's own Chinese
// texts. Either way the default locale (dates, numbers) follows the language.
// Call before any window is created. Returns whether English is in use.
bool appInstallLanguage(QTranslator &translator);

// Installs Qt's own translations for `locale` from Qt's translation folder;
// false when they are not there.
bool appInstallQtTranslations(const QLocale &locale);

#endif
