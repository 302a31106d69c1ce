// What the window remembers between runs (scan range, channels, folder,
// time-outs): QSettings of the user, or the ini file OSTRELO_SETTINGS names
// (the tests' scratch file, or a station's shared set-up).
#include <QJSValue>
#include <QSettings>

#include <memory>

#include "CANopenWrapper.h"

namespace {

std::unique_ptr<QSettings> openSettings() {
    const QString file = qEnvironmentVariable("OSTRELO_SETTINGS");
    if (!file.isEmpty()) {
        return std::make_unique<QSettings>(file, QSettings::IniFormat);
    }
    return std::make_unique<QSettings>(QSettings::UserScope, QStringLiteral("Ostrelo"),
                                       QStringLiteral("Ostrelo"));
}

// A value from the pages as plain variants: QSettings cannot store the
// script objects of a JavaScript array.
QVariant plain(const QVariant &v) {
    if (v.canConvert<QJSValue>() && v.metaType() == QMetaType::fromType<QJSValue>()) {
        return plain(v.value<QJSValue>().toVariant());
    }
    if (v.metaType() == QMetaType::fromType<QVariantList>()) {
        QVariantList out;
        for (const QVariant &item : v.toList()) {
            out.append(plain(item));
        }
        return out;
    }
    if (v.metaType() == QMetaType::fromType<QVariantMap>()) {
        QVariantMap out;
        const QVariantMap in = v.toMap();
        for (auto it = in.constBegin(); it != in.constEnd(); ++it) {
            out.insert(it.key(), plain(it.value()));
        }
        return out;
    }
    return v;
}

} // namespace

QVariant CANopenWrapper::setting(const QString &key, const QVariant &fallback) const {
    return openSettings()->value(key, fallback);
}

void CANopenWrapper::setSetting(const QString &key, const QVariant &value) {
    openSettings()->setValue(key, plain(value));
}
