#include "ConfigScript.h"

#include "ValueText.h"

#include <QRegularExpression>

#include <cmath>

namespace {

const QString kApplicationVersion = QStringLiteral("0.2.0");
const QString kArchiveVersion = QStringLiteral("0.1.2");

struct Token
{
    enum Kind { Word, QuotedName, Text, Other };
    Kind kind;
    QString text;
};

bool isWordStart(QChar c)
{
    return c.isLetter() || c == QLatin1Char('_');
}

bool isWordPart(QChar c)
{
    return c.isLetterOrNumber() || c == QLatin1Char('_') || c == QLatin1Char('$');
}

// Splits a line as SQLite reads it: quoted texts and names kept whole, comments dropped.
bool tokenize(const QString &line, QList<Token> *tokens, QString *why)
{
    const int n = line.size();
    int i = 0;
    while (i < n) {
        const QChar c = line.at(i);
        if (c.isSpace()) {
            ++i;
        } else if (c == QLatin1Char('-') && i + 1 < n && line.at(i + 1) == QLatin1Char('-')) {
            break;
        } else if (c == QLatin1Char('/') && i + 1 < n && line.at(i + 1) == QLatin1Char('*')) {
            const int end = line.indexOf(QLatin1String("*/"), i + 2);
            i = end < 0 ? n : end + 2;
        } else if (c == QLatin1Char('\'') || c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('[')) {
            const QChar close = c == QLatin1Char('[') ? QLatin1Char(']') : c;
            QString text;
            int j = i + 1;
            bool closed = false;
            while (j < n) {
                if (line.at(j) == close) {
                    // A doubled quote stands for one; brackets have no escape.
                    if (close != QLatin1Char(']') && j + 1 < n && line.at(j + 1) == close) {
                        text += close;
                        j += 2;
                        continue;
                    }
                    closed = true;
                    ++j;
                    break;
                }
                text += line.at(j++);
            }
            if (!closed) {
                if (why)
                    *why = QStringLiteral("unterminated quote");
                return false;
            }
            tokens->append({c == QLatin1Char('\'') ? Token::Text : Token::QuotedName, text});
            i = j;
        } else if (isWordStart(c)) {
            int j = i + 1;
            while (j < n && isWordPart(line.at(j)))
                ++j;
            tokens->append({Token::Word, line.mid(i, j - i)});
            i = j;
        } else {
            tokens->append({Token::Other, QString(c)});
            ++i;
        }
    }
    return true;
}

} // namespace

const QStringList &ConfigScript::exportedTables()
{
    static const QStringList tables = {
        QStringLiteral("Devices"),           QStringLiteral("ReadIterations"), QStringLiteral("ConfiguredParameters"),
        QStringLiteral("Views"),             QStringLiteral("SerialConnections"), QStringLiteral("TCPConnections"),
        QStringLiteral("Alarms"),            QStringLiteral("Settings"),       QStringLiteral("Users"),
        QStringLiteral("SMTP"),
    };
    return tables;
}

QString ConfigScript::headerLine(const QDateTime &now)
{
    return QStringLiteral("/* Dalvoran ver: ") + kApplicationVersion + QStringLiteral(", arch: ") + kArchiveVersion +
           QStringLiteral(", create time: ") + now.toString(Qt::TextDate) + QStringLiteral(" */");
}

QString ConfigScript::identifier(const QString &name)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]*$"));
    if (plain.match(name).hasMatch())
        return name;
    QString quoted = name;
    quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QString ConfigScript::valueText(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("NULL");
    QString text;
    switch (value.userType()) {
    case QMetaType::QByteArray:
        return QStringLiteral("X'") + QString::fromLatin1(value.toByteArray().toHex()) + QLatin1Char('\'');
    case QMetaType::Double:
    case QMetaType::Float: {
        const double d = value.toDouble();
        // SQLite reads an out-of-range literal as infinity; "inf" would come back as a text.
        if (std::isinf(d))
            text = d > 0 ? QStringLiteral("9e999") : QStringLiteral("-9e999");
        else
            text = ValueText::fromDouble(d);
        break;
    }
    default:
        text = value.toString();
        break;
    }
    // An empty text stays an empty text: writing it as NULL would change the row and make a
    // NOT NULL column (a view's name) refuse its own backup.
    QString out;
    out.reserve(text.size() + 2);
    bool open = false;
    bool any = false;
    for (const QChar c : qAsConst(text)) {
        const ushort u = c.unicode();
        if (u == '\n' || u == '\r' || u == 0) {
            if (open) {
                out += QLatin1Char('\'');
                open = false;
            }
            if (any)
                out += QLatin1String("||");
            out += QStringLiteral("char(%1)").arg(u);
            any = true;
            continue;
        }
        if (!open) {
            if (any)
                out += QLatin1String("||");
            out += QLatin1Char('\'');
            open = true;
            any = true;
        }
        if (c == QLatin1Char('\''))
            out += QLatin1Char('\'');
        out += c;
    }
    if (open)
        out += QLatin1Char('\'');
    if (!any)
        out = QStringLiteral("''");
    return out;
}

QString ConfigScript::rowLine(const QString &table, const QStringList &columns, const QVariantList &values)
{
    QStringList names;
    names.reserve(columns.size());
    for (const QString &column : columns)
        names << identifier(column);
    QStringList texts;
    texts.reserve(values.size());
    for (const QVariant &value : values)
        texts << valueText(value);
    return QStringLiteral("INSERT INTO ") + identifier(table) + QStringLiteral(" (") + names.join(QLatin1Char(',')) +
           QStringLiteral(") VALUES(") + texts.join(QLatin1Char(',')) + QStringLiteral(");");
}

ConfigScript::LineKind ConfigScript::lineKind(const QString &line, QString *why)
{
    QList<Token> tokens;
    if (!tokenize(line, &tokens, why))
        return Refused;
    if (tokens.isEmpty())
        return Ignored;
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return Refused;
    };
    if (tokens.size() < 3 || tokens.at(0).kind != Token::Word ||
        tokens.at(0).text.compare(QLatin1String("INSERT"), Qt::CaseInsensitive) != 0 ||
        tokens.at(1).kind != Token::Word || tokens.at(1).text.compare(QLatin1String("INTO"), Qt::CaseInsensitive) != 0)
        return refuse(QStringLiteral("only INSERT INTO statements are allowed"));
    const Token &table = tokens.at(2);
    bool known = false;
    if (table.kind == Token::Word || table.kind == Token::QuotedName) {
        for (const QString &name : exportedTables())
            known = known || name.compare(table.text, Qt::CaseInsensitive) == 0;
    }
    // "main.Devices" or "other.Devices" would name a table of another schema.
    if (!known || (tokens.size() > 3 && tokens.at(3).kind == Token::Other && tokens.at(3).text == QLatin1String(".")))
        return refuse(QStringLiteral("INSERT INTO a table that the configuration does not hold"));
    for (int i = 3; i < tokens.size(); ++i) {
        if (tokens.at(i).kind == Token::Other && tokens.at(i).text == QLatin1String(";") && i != tokens.size() - 1)
            return refuse(QStringLiteral("more than one statement on a line"));
    }
    return Insert;
}
