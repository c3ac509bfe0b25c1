#include "ArchiveWriter.h"

#include "Database.h"
#include "Logs.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cmath>

ArchiveWriter::ArchiveWriter()
{
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("ArchiveWriter"));
    m_thread->start();
}

ArchiveWriter::~ArchiveWriter()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_wake.wakeAll();
    }
    m_thread->wait();
    delete m_thread;
}

void ArchiveWriter::submit(QVector<ArchiveRow> batch)
{
    if (batch.isEmpty())
        return;
    QMutexLocker lock(&m_mutex);
    m_queue.enqueue(std::move(batch));
    m_wake.wakeOne();
}

bool ArchiveWriter::waitWritten(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_mutex);
    while (m_busy || !m_queue.isEmpty()) {
        if (!m_written.wait(&m_mutex, deadline))
            return !m_busy && m_queue.isEmpty();
    }
    return true;
}

void ArchiveWriter::run()
{
    QMutexLocker lock(&m_mutex);
    for (;;) {
        while (m_queue.isEmpty() && !m_stopping)
            m_wake.wait(&m_mutex);
        if (m_queue.isEmpty())
            break;
        const QVector<ArchiveRow> batch = m_queue.dequeue();
        m_busy = true;
        lock.unlock();
        QString error;
        if (!insertRows(batch, &error))
            Logs::addLog(Logs::Error, QStringLiteral("Archive write error: ") + error);
        lock.relock();
        m_busy = false;
        m_written.wakeAll();
    }
    lock.unlock();
    Database::closeThisThread();
}

namespace {

// What makes two rows identical in the table: NULL equals NULL, 0 equals -0, and one second
// gives one time text.
struct RowKey
{
    int idParameter;
    bool finite;
    double value;
    qint64 second;
    int flag;
    bool operator==(const RowKey &o) const
    {
        return idParameter == o.idParameter && finite == o.finite && (!finite || value == o.value) &&
               second == o.second && flag == o.flag;
    }
};

} // namespace

bool ArchiveWriter::insertRows(const QVector<ArchiveRow> &rows, QString *error)
{
    if (rows.isEmpty())
        return true;
    // Held only for the batch: a scope blocks the replacement of the live file.
    Database scope;
    QSqlDatabase db = scope.handle();
    auto fail = [&](const QSqlError &e) {
        if (error)
            *error = Database::errorText(e);
        return false;
    };
    if (!db.transaction())
        return fail(db.lastError());
    bool ok = true;
    {
        QSqlQuery query(db);
        if (!query.prepare(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, dateTime, flag) VALUES (?, ?, ?, ?)")))
            ok = fail(query.lastError());
        // One batch stores identical rows once, as a UNION of its rows always has. A batch is
        // small, so a plain list of what was inserted is the cheapest check.
        QVector<RowKey> seen;
        seen.reserve(rows.size());
        // The rows of one pass share their time; the local-time text is costly to build.
        qint64 lastSecond = 0;
        QString lastText;
        for (int i = 0; ok && i < rows.size(); ++i) {
            const ArchiveRow &row = rows.at(i);
            const qint64 second = row.time >= 0 ? row.time / 1000 : -((999 - row.time) / 1000);
            if (lastText.isEmpty() || second != lastSecond) {
                lastSecond = second;
                lastText = QDateTime::fromMSecsSinceEpoch(row.time).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
            }
            const bool finite = std::isfinite(row.value);
            const RowKey key{row.idParameter, finite, finite ? row.value + 0.0 : 0.0, second, row.flag};
            if (std::find(seen.cbegin(), seen.cend(), key) != seen.cend())
                continue;
            seen.append(key);
            query.bindValue(0, row.idParameter);
            query.bindValue(1, finite ? QVariant(row.value) : QVariant(QVariant::Double));
            query.bindValue(2, lastText);
            query.bindValue(3, row.flag);
            if (!query.exec())
                ok = fail(query.lastError());
        }
    }
    if (!ok) {
        db.rollback();
        return false;
    }
    if (!db.commit())
        return fail(db.lastError());
    return true;
}
