#pragma once

#include "ConfigManager.h"
#include "Database.h"

#include <QTemporaryDir>
#include <QtTest>

// A fresh first-start database in a folder of the test's own, which every thread's connection uses.
struct TempDatabase
{
    QTemporaryDir dir;
    ConfigManager config;

    TempDatabase()
    {
        config.dbPath = dir.filePath(QStringLiteral("db.sqlite"));
        config.tempDbPath = dir.filePath(QStringLiteral("db_temp.sqlite"));
    }
    // Builds the database; false (with a test failure message) when the build reply is no success.
    bool create()
    {
        const QByteArray reply = config.clearDatabase();
        if (reply != QByteArray("{\"success\":true}")) {
            qWarning("clearDatabase: %s", reply.constData());
            return false;
        }
        return true;
    }
    QString path() const { return config.dbPath; }
    // Runs SQL through the sqlite3 command-line tool on the live file and gives its output.
    QByteArray cli(const QString &sql) const { return cliOn(path(), sql); }
    static QByteArray cliOn(const QString &file, const QString &sql)
    {
        QProcess process;
        process.start(QStringLiteral("sqlite3"), {file, sql});
        process.waitForFinished(30000);
        return process.readAllStandardOutput();
    }
};
