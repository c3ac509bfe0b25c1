#pragma once

// Small helpers shared by the data store tests: a fresh database in a temporary folder, reading
// rows back, and the sqlite3 command line tool for building old files and dumping tables.

#include "ConfigManager.h"
#include "Database.h"
#include "TestEnv.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>

namespace StoreFixture {

// Points the manager (and every thread's connection) at files inside dir.
inline void placeIn(ConfigManager &manager, const QTemporaryDir &dir)
{
    manager.dbPath = dir.filePath(QStringLiteral("db.sqlite"));
    manager.tempDbPath = dir.filePath(QStringLiteral("db_temp.sqlite"));
    Database::setLivePath(manager.dbPath);
}

// A first-start database in dir; true when it was built.
inline bool freshDatabase(ConfigManager &manager, const QTemporaryDir &dir)
{
    placeIn(manager, dir);
    return manager.clearDatabase() == QByteArray("{\"success\":true}");
}

// Every row of a query on the live file, values joined by "|", NULL written as <null>.
inline QStringList rows(const QString &sql)
{
    Database scope;
    QSqlQuery query(scope.handle());
    QStringList out;
    if (!query.exec(sql)) {
        out << QStringLiteral("<error %1>").arg(Database::errorText(query.lastError()));
        return out;
    }
    while (query.next()) {
        QStringList values;
        for (int i = 0; i < query.record().count(); ++i)
            values << (query.value(i).isNull() ? QStringLiteral("<null>") : query.value(i).toString());
        out << values.join(QLatin1Char('|'));
    }
    return out;
}

// Runs statements on the live file through this thread's connection; false at the first failure.
inline bool exec(const QStringList &statements)
{
    Database scope;
    QSqlQuery query(scope.handle());
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            qWarning("%s: %s", qPrintable(statement), qPrintable(Database::errorText(query.lastError())));
            return false;
        }
    }
    return true;
}

// The sqlite3 tool on a file, with the script on its standard input.
inline QByteArray sqliteCli(const QString &file, const QByteArray &script, int *exitCode = nullptr)
{
    return TestEnv::runTool(QStringLiteral("sqlite3"), {QStringLiteral("-batch"), file}, script, 60000, exitCode);
}

// The tool's .dump of the named tables (schema and rows).
inline QByteArray dump(const QString &file, const QStringList &tables)
{
    return sqliteCli(file, ".dump " + tables.join(QLatin1Char(' ')).toUtf8() + "\n");
}

inline QByteArray fileDigest(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<missing>");
    return QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex();
}

} // namespace StoreFixture
