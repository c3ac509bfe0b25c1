#pragma once

#include <QSqlDatabase>
#include <QSqlError>
#include <QString>

// Access to the live database file from any thread.
//
// Qt forbids sharing one QSqlDatabase between threads, so every thread gets its own connection
// to the live file, opened on first use (foreign keys on, WAL journal, synchronous NORMAL,
// 5000 ms busy timeout) and closed when the thread ends.
//
// A Database object is a scope of use: while it exists the live file cannot be replaced, so
// declare it before the queries that run on handle(). Replacing the live file waits out every
// such scope, swaps the file with one rename(2) and makes every thread reopen before its next
// statement, so no write lands in an unlinked file. Scopes nest within one thread.
class Database
{
public:
    Database();
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // This thread's connection to the live file, open (check isOpen() for a failed open).
    QSqlDatabase handle();

    // The live file that connections open; set once at start-up (or by a test).
    static void setLivePath(const QString &path);
    static QString livePath();

    // Puts newFile in place of the live file atomically (the old file is never deleted before
    // the rename succeeded) and removes stale -wal/-shm files. newFile must be closed.
    static bool replaceLiveFile(const QString &newFile, QString *error = nullptr);

    // A consistent copy of the live database (VACUUM INTO), never a raw copy of a live file.
    static bool snapshotTo(const QString &target, QString *error = nullptr);

    // Closes this thread's connection (before its thread ends outside Qt's knowledge, or at exit).
    static void closeThisThread();

    // The text that replies carry for a failed statement.
    static QString errorText(const QSqlError &error);

    // A text as statements bind it: an absent (null) text is '', never SQL NULL, as the literal
    // statements stored it.
    static QString text(const QString &value);
};
