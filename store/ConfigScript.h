#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>

// The text form of the configuration script "Dalvoren_cfg.sql": one comment line, then one
// INSERT statement per line. Writing and the check of what an uploaded script may run.
class ConfigScript
{
public:
    // The tables the script carries, in the order written (no MQTT connections, archive or log).
    static const QStringList &exportedTables();

    // "/* Dalvoran ver: 0.2.0, arch: 0.1.2, create time: ... */" without the line feed.
    static QString headerLine(const QDateTime &now);

    // "INSERT INTO t (a,b) VALUES('1',NULL);" without the line feed.
    static QString rowLine(const QString &table, const QStringList &columns, const QVariantList &values);

    // One value as SQL text that fits on one line: NULL, or a quoted text with quotes doubled.
    // Line feeds, carriage returns and zero characters are spliced in as char(n), so the value
    // reads back unchanged through the one-statement-per-line import. A blob is X'..'.
    static QString valueText(const QVariant &value);

    // A name as it stands when it is a plain identifier, else double-quoted.
    static QString identifier(const QString &name);

    enum LineKind { Ignored, Insert, Refused };
    // What an uploaded script line is: blank or only comments (Ignored), one INSERT INTO one of
    // the exported tables with at most a closing semicolon (Insert), or anything else (Refused,
    // with the reason in why): no ATTACH, PRAGMA, COMMIT or second statement ever runs.
    static LineKind lineKind(const QString &line, QString *why = nullptr);
};
