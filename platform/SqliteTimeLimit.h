#pragma once

#include <QDeadlineTimer>
#include <QSqlDatabase>

// A bound on the time that statements of one open QSQLITE connection may take, which Qt's
// driver does not offer: once it has passed, the statement running stops with the engine's
// "interrupted" error, and so does every later one, for as long as this object lives. For
// connections that run what a file from outside holds (its views and triggers may never end).
class SqliteTimeLimit
{
public:
    // From now, ms milliseconds for everything run on db, which must be open.
    SqliteTimeLimit(const QSqlDatabase &db, int ms);
    ~SqliteTimeLimit();
    SqliteTimeLimit(const SqliteTimeLimit &) = delete;
    SqliteTimeLimit &operator=(const SqliteTimeLimit &) = delete;

    // False when the driver gave no engine handle: then no bound holds.
    bool isArmed() const;
    // True once the limit has stopped a statement.
    bool stoppedStatement() const;

private:
    static int onProgress(void *self);

    void *m_handle = nullptr; // the engine's sqlite3 connection
    QDeadlineTimer m_deadline;
    bool m_stopped = false;
};
