#include "ArchiveWriter.h"

#include "Database.h"
#include "Logs.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

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

bool ArchiveWriter::insertRows(const QVector<ArchiveRow> &rows, QString *error)
{
    if (rows.isEmpty())
        return true;
    QString sql = QStringLiteral("INSERT INTO ArchiveData (idParameter, value, dateTime, flag)");
    for (int i = 0; i < rows.size(); ++i) {
        sql += QStringLiteral(" SELECT ?, ?, ?, ?");
        if (i + 1 < rows.size())
            sql += QStringLiteral(" UNION");
    }
    // Held only for the statement: a scope blocks the replacement of the live file.
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.prepare(sql)) {
        if (error)
            *error = Database::errorText(query.lastError());
        return false;
    }
    for (const ArchiveRow &row : rows) {
        query.addBindValue(row.idParameter);
        query.addBindValue(std::isfinite(row.value) ? QVariant(row.value) : QVariant(QVariant::Double));
        query.addBindValue(QDateTime::fromMSecsSinceEpoch(row.time).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")));
        query.addBindValue(row.flag);
    }
    if (!query.exec()) {
        if (error)
            *error = Database::errorText(query.lastError());
        return false;
    }
    return true;
}
