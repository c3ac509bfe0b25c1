#include "JsonReply.h"

#include "ValueText.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

#include <cctype>
#include <cmath>

static QByteArray buildReply(const char *head, const QString &message, const QString &details)
{
    QString text = QString::fromLatin1(head);
    if (!message.isEmpty())
        text += QStringLiteral(",\"message\":\"") + JsonReply::escape(message) + QLatin1Char('"');
    if (!details.isEmpty())
        text += QStringLiteral(",\"details\":\"") + JsonReply::escape(details) + QLatin1Char('"');
    text += QLatin1Char('}');
    return text.toUtf8();
}

QByteArray buildSuccessJson(const QString &message, const QString &details)
{
    return buildReply("{\"success\":true", message, details);
}

QByteArray buildErrorJson(const QString &message, const QString &details)
{
    return buildReply("{\"error\":true", message, details);
}

QByteArray plainSuccessJson() { return QByteArrayLiteral("{\"success\":true}"); }

namespace JsonReply {

QString escape(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const ushort u = c.unicode();
        switch (u) {
        case '"': out += QLatin1String("\\\""); break;
        case '\\': out += QLatin1String("\\\\"); break;
        case '\n': out += QLatin1String("\\n"); break;
        case '\r': out += QLatin1String("\\r"); break;
        case '\t': out += QLatin1String("\\t"); break;
        case '\b': out += QLatin1String("\\b"); break;
        case '\f': out += QLatin1String("\\f"); break;
        default:
            if (u < 0x20 || u == 0x7f)
                out += QStringLiteral("\\u%1").arg(u, 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    return out;
}

QString quoted(const QString &text) { return QLatin1Char('"') + escape(text) + QLatin1Char('"'); }

bool isEscapedText(const QString &text)
{
    const int n = text.size();
    for (int i = 0; i < n; ++i) {
        const ushort u = text.at(i).unicode();
        if (u < 0x20 || u == '"')
            return false;
        if (u != '\\')
            continue;
        if (++i >= n)
            return false;
        switch (text.at(i).unicode()) {
        case '"':
        case '\\':
        case '/':
        case 'b':
        case 'f':
        case 'n':
        case 'r':
        case 't':
            break;
        case 'u':
            if (i + 4 >= n)
                return false;
            for (int k = 1; k <= 4; ++k) {
                if (!isxdigit(static_cast<unsigned char>(text.at(i + k).toLatin1())))
                    return false;
            }
            i += 4;
            break;
        default:
            return false;
        }
    }
    return true;
}

QString number(double value)
{
    if (!std::isfinite(value))
        return QStringLiteral("null");
    return ValueText::fromDouble(value);
}

static QString cellText(const QVariant &value)
{
    if (value.isNull())
        return QString();
    if (value.type() == QVariant::Double)
        return ValueText::fromDouble(value.toDouble());
    return value.toString();
}

QString rowObject(const QSqlQuery &query)
{
    const QSqlRecord record = query.record();
    QString text = QStringLiteral("{");
    for (int i = 0; i < record.count(); ++i) {
        if (i > 0)
            text += QLatin1Char(',');
        text += quoted(record.fieldName(i)) + QLatin1Char(':') + quoted(cellText(query.value(i)));
    }
    text += QLatin1Char('}');
    return text;
}

QByteArray rowArray(QSqlQuery &query)
{
    QString text = QStringLiteral("[");
    bool first = true;
    while (query.next()) {
        if (!first)
            text += QLatin1Char(',');
        first = false;
        text += rowObject(query);
    }
    text += QLatin1Char(']');
    return text.toUtf8();
}

} // namespace JsonReply
