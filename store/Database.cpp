#include "Database.h"

#include <QAtomicInteger>
#include <QFile>
#include <QHash>
#include <QMutex>
#include <QReadWriteLock>
#include <QSqlQuery>
#include <QThreadStorage>
#include <QVariant>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

struct Shared
{
    QMutex mutex; // guards path and connections
    QString path;
    // Every open per-thread connection by name, so that a replace can close them all while no
    // statement runs (the exclusive lock guarantees that).
    QHash<QString, QSqlDatabase> connections;
    QReadWriteLock fileLock{QReadWriteLock::Recursive};
    QAtomicInteger<quint64> generation{1};
    QAtomicInteger<quint64> counter{0};
};

Shared &shared()
{
    static Shared s;
    return s;
}

// One per thread; its destructor runs in that thread when the thread ends.
struct ThreadConnection
{
    QString name;
    quint64 generation = 0;

    ~ThreadConnection()
    {
        if (name.isEmpty())
            return;
        Shared &s = shared();
        {
            QMutexLocker lock(&s.mutex);
            auto it = s.connections.find(name);
            if (it != s.connections.end()) {
                it->close();
                s.connections.erase(it);
            }
        }
        QSqlDatabase::removeDatabase(name);
    }
};

QThreadStorage<ThreadConnection *> g_threadConnection;

void configure(QSqlDatabase &db)
{
    QSqlQuery q(db);
    q.exec(QStringLiteral("PRAGMA foreign_keys = ON"));
    q.exec(QStringLiteral("PRAGMA journal_mode = WAL"));
    q.exec(QStringLiteral("PRAGMA synchronous = NORMAL"));
}

} // namespace

Database::Database() { shared().fileLock.lockForRead(); }

Database::~Database() { shared().fileLock.unlock(); }

QSqlDatabase Database::handle()
{
    Shared &s = shared();
    if (!g_threadConnection.hasLocalData())
        g_threadConnection.setLocalData(new ThreadConnection);
    ThreadConnection *tc = g_threadConnection.localData();
    const quint64 generation = s.generation.loadAcquire();

    if (tc->name.isEmpty()) {
        tc->name = QStringLiteral("dalvoran_db_%1").arg(s.counter.fetchAndAddRelaxed(1));
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), tc->name);
        db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
        QMutexLocker lock(&s.mutex);
        s.connections.insert(tc->name, db);
    }
    QSqlDatabase db = QSqlDatabase::database(tc->name, false);
    const QString path = livePath();
    if (tc->generation != generation || db.databaseName() != path) {
        db.close();
        db.setDatabaseName(path);
        tc->generation = generation;
    }
    if (!db.isOpen() && db.open())
        configure(db);
    return db;
}

void Database::setLivePath(const QString &path)
{
    Shared &s = shared();
    QWriteLocker write(&s.fileLock);
    {
        QMutexLocker lock(&s.mutex);
        if (s.path == path)
            return;
        s.path = path;
        for (auto &db : s.connections)
            db.close();
    }
    s.generation.fetchAndAddRelease(1);
}

QString Database::livePath()
{
    Shared &s = shared();
    QMutexLocker lock(&s.mutex);
    return s.path;
}

bool Database::replaceLiveFile(const QString &newFile, QString *error)
{
    Shared &s = shared();
    // Waits out every statement in flight; a thread that holds a scope of its own must not call this.
    QWriteLocker write(&s.fileLock);
    QMutexLocker lock(&s.mutex);
    // Closing the last connection checkpoints the WAL into the old file, so nothing of it is
    // left to be replayed into the new one.
    for (auto &db : s.connections)
        db.close();
    const QByteArray from = QFile::encodeName(newFile);
    const QByteArray to = QFile::encodeName(s.path);
    if (std::rename(from.constData(), to.constData()) != 0) {
        if (error)
            *error = QString::fromLocal8Bit(std::strerror(errno));
        s.generation.fetchAndAddRelease(1);
        return false;
    }
    QFile::remove(s.path + QStringLiteral("-wal"));
    QFile::remove(s.path + QStringLiteral("-shm"));
    s.generation.fetchAndAddRelease(1);
    return true;
}

bool Database::snapshotTo(const QString &target, QString *error)
{
    QFile::remove(target);
    Database scope;
    QSqlQuery q(scope.handle());
    q.prepare(QStringLiteral("VACUUM INTO ?"));
    q.addBindValue(target);
    if (!q.exec()) {
        if (error)
            *error = errorText(q.lastError());
        return false;
    }
    return true;
}

void Database::closeThisThread()
{
    if (g_threadConnection.hasLocalData())
        g_threadConnection.setLocalData(nullptr); // deletes the ThreadConnection
}

QString Database::errorText(const QSqlError &error)
{
    const QString text = error.databaseText();
    return text.isEmpty() ? error.text() : text;
}

QString Database::text(const QString &value)
{
    return value.isNull() ? QStringLiteral("") : value;
}
