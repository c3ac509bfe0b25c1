#include "Logs.h"

#include "Database.h"
#include "JsonReply.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>
#include <QVariantList>

QString Logs::escapeMessage(const QString &message)
{
    QString out;
    out.reserve(message.size() + 8);
    for (const QChar c : message) {
        const ushort u = c.unicode();
        switch (u) {
        case '\\': out += QLatin1String("\\\\"); break;
        case '/': out += QLatin1String("\\/"); break;
        case '"': out += QLatin1String("\\\""); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        default:
            // The remaining control characters would make a listing that holds the row unparsable.
            if (u < 0x20 || u == 0x7f)
                out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString Logs::typeWord(int type)
{
    switch (type) {
    case Alarm: return QStringLiteral("alarm");
    case Warn: return QStringLiteral("warn");
    case Error: return QStringLiteral("error");
    default: return QStringLiteral("info");
    }
}

void Logs::addLog(int type, const QString &message)
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("INSERT INTO Logs (type, message) VALUES(?, ?)"));
    query.addBindValue(typeWord(type));
    query.addBindValue(escapeMessage(message));
    query.exec();
}

QByteArray Logs::getLogsGridData(const t_GetArray &params, bool deleteMode)
{
    const QString startDate = RequestParams::text(params, "startDate");
    const QString startTime = RequestParams::text(params, "startTime");
    const QString endDate = RequestParams::text(params, "endDate");
    const QString endTime = RequestParams::text(params, "endTime");
    const int eventsType = RequestParams::integer(params, "eventsType");
    const QString descContains = RequestParams::text(params, "descContains");

    QString statement = deleteMode ? QStringLiteral("DELETE FROM Logs ") : QStringLiteral("SELECT * FROM Logs ");
    QString condition;
    QVariantList values;
    if (!startDate.isEmpty()) {
        condition = QStringLiteral("WHERE dateTime >= ? ");
        values << startDate + QLatin1Char(' ') + startTime;
        if (!endDate.isEmpty()) {
            condition += QStringLiteral("AND dateTime <= ? ");
            values << endDate + QLatin1Char(' ') + endTime;
        }
    } else if (!endDate.isEmpty()) {
        condition = QStringLiteral("WHERE dateTime <= ? ");
        values << endDate + QLatin1Char(' ') + endTime;
    }
    if (eventsType != 10) {
        condition += condition.isEmpty() ? QStringLiteral(" WHERE ") : QStringLiteral(" AND ");
        // Any other type leaves the condition unfinished: the statement fails with "Query error".
        if (eventsType >= 1 && eventsType <= 4)
            condition += QStringLiteral("type = '") + typeWord(eventsType) + QStringLiteral("' ");
    }
    if (!descContains.isEmpty()) {
        condition += condition.isEmpty() ? QStringLiteral(" WHERE message LIKE ? ") : QStringLiteral(" AND message LIKE ? ");
        values << QStringLiteral("%%") + descContains + QStringLiteral("%%");
    }
    statement += condition;
    if (!deleteMode)
        statement += QStringLiteral(" ORDER BY dateTime DESC");

    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    bool ok = query.prepare(statement);
    if (ok) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        ok = query.exec();
    }
    if (!ok)
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    if (deleteMode)
        return plainSuccessJson();

    // Messages are stored escaped already; the other columns are escaped here.
    QString text = QStringLiteral("[");
    bool first = true;
    while (query.next()) {
        const QSqlRecord record = query.record();
        text += first ? QStringLiteral("{") : QStringLiteral(",{");
        first = false;
        for (int i = 0; i < record.count(); ++i) {
            const QString name = record.fieldName(i);
            const QVariant value = query.value(i);
            const QString cell = value.isNull() ? QString() : value.toString();
            if (i > 0)
                text += QLatin1Char(',');
            text += JsonReply::quoted(name) + QLatin1Char(':');
            // A message stored by an older version or a restored database may hold a raw
            // quote or control character: that one is escaped, the others go out as stored.
            const bool storedEscaped = name == QLatin1String("message") && JsonReply::isEscapedText(cell);
            text += storedEscaped ? QLatin1Char('"') + cell + QLatin1Char('"') : JsonReply::quoted(cell);
        }
        text += QLatin1Char('}');
    }
    text += QLatin1Char(']');
    return text.toUtf8();
}
