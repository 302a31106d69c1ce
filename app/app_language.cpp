#include "app_language.h"

#include <QCoreApplication>
#include <QDebug>

#include "app_log_category.h"
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

namespace {

enum class Known { English, Chinese, Neither };

Known classify(const QString &value) {
    const QString v = value.trimmed().toLower();
    const auto is = [&v](const char *code) {
        const QString c = QString::fromLatin1(code);
        return v == c || v.startsWith(c + QLatin1Char('_')) || v.startsWith(c + QLatin1Char('-')) ||
               v.startsWith(c + QLatin1Char('.'));
    };
    if (is("en")) {
        return Known::English;
    }
    if (is("zh")) {
        return Known::Chinese;
    }
    return Known::Neither;
}

} // namespace

AppLanguageChoice appChooseLanguage(const QStringList &arguments, const QString &environment) {
    QString value = environment;
    bool given = !environment.trimmed().isEmpty();
    // The last --lang counts, as with most programs' options.
    for (int i = 1; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        if (a == QLatin1String("--lang")) {
            value = i + 1 < arguments.size() ? arguments.at(++i) : QString();
            given = true;
        } else if (a.startsWith(QLatin1String("--lang="))) {
            value = a.mid(7);
            given = true;
        }
    }
    AppLanguageChoice choice;
    if (!given) {
        return choice;
    }
    switch (classify(value)) {
    case Known::English:
        choice.english = true;
        break;
    case Known::Chinese:
        break;
    case Known::Neither:
        choice.unknown = value;
        choice.unknownGiven = true;
        break;
    }
    return choice;
}

bool appInstallQtTranslations(const QLocale &locale) {
    // Owned by the application object: it outlives every window.
    auto *qt = new QTranslator(QCoreApplication::instance());
    if (!qt->load(locale, QStringLiteral("qt"), QStringLiteral("_"),
                  QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
        delete qt;
        return false;
    }
    QCoreApplication::installTranslator(qt);
    return true;
}

bool appInstallLanguage(QTranslator &translator) {
    const AppLanguageChoice choice =
        appChooseLanguage(QCoreApplication::arguments(), qEnvironmentVariable("OSTRELO_LANG"));
    if (!choice.english) {
        // Qt's own texts (dialog buttons, file lists) and dates in Chinese
        // too, not in the machine's language.
        const QLocale chinese(QLocale::Chinese, QLocale::China);
        QLocale::setDefault(chinese);
        if (!appInstallQtTranslations(chinese)) {
            qCWarning(lcApp).noquote() << "[main] Qt's own Chinese translations are not installed "
                                          "(package qt6-translations-l10n); Qt's dialogs speak English.";
        }
    } else {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
    }
    if (choice.unknownGiven) {
        qCWarning(lcApp).noquote() << QStringLiteral(
                                          "[main] Unknown language \"%1\" (OSTRELO_LANG or --lang); known: "
                                          "en, zh. Keeping Chinese.")
                                          .arg(choice.unknown);
        return false;
    }
    if (!choice.english) {
        return false;
    }
    if (!translator.load(QStringLiteral(":/i18n/ostrelo_en.qm"))) {
        qCWarning(lcApp).noquote()
            << "[main] The English translation is missing from the program; keeping Chinese.";
        return false;
    }
    QCoreApplication::installTranslator(&translator);
    return true;
}
