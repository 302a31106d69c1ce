#include "HistoryModel.h"

#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>

#include "UpgradeHistoryLog.h"
#include "ostrelo_history.h"

namespace {

const char *const kColumns[] = {
    "id",       "started", "ended",     "station",     "user",     "transport",      "adapter_serial",
    "channel",  "node",    "model",     "brake",       "encoder",  "version_before", "version_after",
    "file",     "path",    "file_size", "file_sha256", "file_crc", "device_crc",     "outcome",
    "attempts", "note"};
constexpr int kColumnCount = static_cast<int>(sizeof(kColumns) / sizeof(kColumns[0]));

QString versionText(bool have, quint32 v) {
    return have ? QStringLiteral("%1.%2.%3.%4")
                      .arg(v >> 24)
                      .arg((v >> 16) & 0xFFu)
                      .arg((v >> 8) & 0xFFu)
                      .arg(v & 0xFFu)
                : QString();
}

QString hexText(bool have, quint32 v) {
    return have ? QStringLiteral("0x") + QString::number(v, 16).toUpper().rightJustified(8, QLatin1Char('0'))
                : QString();
}

QStringList rowOf(const ostrelo_history_entry_t &e) {
    const bool known = e.identity_known != 0;
    char attempts[4096];
    ostrelo_history_attempts_text(e.attempts, qMin<uint32_t>(e.attempt_count, OSTRELO_HISTORY_MAX_ATTEMPTS),
                                  attempts, sizeof(attempts));
    return {QString::number(e.id),
            QString::fromUtf8(e.started_at),
            QString::fromUtf8(e.ended_at),
            QString::fromUtf8(e.station),
            QString::fromUtf8(e.user),
            QString::fromUtf8(e.place.transport),
            QString::fromUtf8(e.place.adapter_serial),
            QStringLiteral("%1.%2").arg(e.place.adapter).arg(e.place.can_channel),
            QString::number(e.place.node),
            known ? QString::fromUtf8(e.identity.firmwareModel) : QString(),
            known ? QString::fromUtf8(e.identity.brakeSuffix) : QString(),
            known ? QString::fromUtf8(e.identity.encoderName) : QString(),
            versionText(e.have_version_before != 0, e.version_before),
            versionText(e.have_version_after != 0, e.version_after),
            QFile::decodeName(e.file_name),
            QFile::decodeName(e.file_path),
            QString::number(e.file_size),
            QString::fromUtf8(e.file_sha256),
            hexText(e.have_file_crc != 0, e.file_crc),
            hexText(e.have_device_crc != 0, e.device_crc),
            QString::fromUtf8(ostrelo_history_outcome_text(e.outcome)),
            QString::fromUtf8(attempts),
            QString::fromUtf8(e.note)};
}

} // namespace

QString csvField(const QString &text) {
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) &&
        !text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r'))) {
        return text;
    }
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

HistoryModel::HistoryModel(QObject *parent) : QAbstractListModel(parent) {}

int HistoryModel::rowCount(const QModelIndex &parent) const {
    return parent.isValid() ? 0 : static_cast<int>(m_rows.size());
}

QVariant HistoryModel::data(const QModelIndex &index, int role) const {
    const int column = role - IdRole;
    if (!index.isValid() || index.row() >= m_rows.size() || column < 0 || column >= kColumnCount) {
        return {};
    }
    return m_rows.at(index.row()).at(column);
}

QHash<int, QByteArray> HistoryModel::roleNames() const {
    // The export's column names, in camel case for the delegates.
    QHash<int, QByteArray> names;
    for (int i = 0; i < kColumnCount; ++i) {
        QByteArray name;
        bool upper = false;
        for (const char *p = kColumns[i]; *p != '\0'; ++p) {
            if (*p == '_') {
                upper = true;
                continue;
            }
            name += upper ? static_cast<char>(*p - 'a' + 'A') : *p;
            upper = false;
        }
        names.insert(IdRole + i, name == "id" ? QByteArray("entryId") : name);
    }
    return names;
}

int HistoryModel::fail(const QString &problem) {
    beginResetModel();
    m_rows.clear();
    m_problem = problem;
    endResetModel();
    emit loaded();
    return -1;
}

int HistoryModel::load(const QString &since, const QString &channel, int node, const QString &outcome) {
    ostrelo_history_filter_t filter;
    ostrelo_history_filter_init(&filter);
    if (!since.trimmed().isEmpty() &&
        ostrelo_history_filter_set_since(&filter, since.trimmed().toUtf8().constData()) != 0) {
        return fail(tr("日期格式应为 2026-12-01 或 2026-12-01T08:00"));
    }
    if (!channel.trimmed().isEmpty()) {
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral("^(\\d{1,3})\\.(\\d{1,3})$")).match(channel.trimmed());
        if (!m.hasMatch()) {
            return fail(tr("通道格式应为 适配器.通道，例如 0.1"));
        }
        filter.adapter = m.captured(1).toInt();
        filter.can_channel = m.captured(2).toInt();
    }
    if (node < 0 || node > 127) {
        return fail(tr("节点ID应在 1 到 127 之间"));
    }
    filter.node = node == 0 ? -1 : node;
    if (!outcome.isEmpty()) {
        ostrelo_history_outcome_t o;
        if (ostrelo_history_outcome_parse(outcome.toUtf8().constData(), &o) != 0) {
            return fail(tr("未知的结果：%1").arg(outcome));
        }
        filter.outcome = o;
    }
    const QString path = UpgradeHistoryLog::defaultPath();
    ostrelo_history_t *h = nullptr;
    const int opened = path.isEmpty() ? OSTRELO_HISTORY_UNAVAILABLE
                                      : ostrelo_history_open_read(QFile::encodeName(path).constData(), &h);
    if (opened == OSTRELO_HISTORY_NOT_FOUND) {
        return fail(tr("还没有升级历史：%1").arg(path));
    }
    if (opened != OSTRELO_HISTORY_OK) {
        return fail(
            tr("无法读取升级历史 %1：%2").arg(path, QString::fromUtf8(ostrelo_history_result_text(opened))));
    }
    QList<QStringList> rows;
    const int listed = ostrelo_history_list(
        h, &filter,
        [](const ostrelo_history_entry_t *e, void *user) {
            static_cast<QList<QStringList> *>(user)->append(rowOf(*e));
            return 0;
        },
        &rows);
    ostrelo_history_close(h);
    if (listed < 0) {
        return fail(
            tr("无法读取升级历史 %1：%2").arg(path, QString::fromUtf8(ostrelo_history_result_text(listed))));
    }
    beginResetModel();
    m_rows = rows;
    m_problem.clear();
    endResetModel();
    emit loaded();
    return static_cast<int>(m_rows.size());
}

bool HistoryModel::exportCsv(const QString &filePath) const {
    QSaveFile file(filePath);
    if (!file.open(QIODevice::WriteOnly)) {
        return false;
    }
    QStringList header;
    for (const char *c : kColumns) {
        header.append(QString::fromLatin1(c));
    }
    QString out = header.join(QLatin1Char(',')) + QLatin1Char('\n');
    for (const QStringList &row : m_rows) {
        QStringList cells;
        for (const QString &f : row) {
            cells.append(csvField(f));
        }
        out += cells.join(QLatin1Char(',')) + QLatin1Char('\n');
    }
    file.write(out.toUtf8());
    return file.commit();
}
