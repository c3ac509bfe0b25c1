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

std::atomic<int> ArchiveWriter::s_joinTimeoutMs{10000};

ArchiveWriter::ArchiveWriter() : m_state(std::make_shared<State>())
{
    std::shared_ptr<State> state = m_state;
    m_thread = QThread::create([state] { run(state); });
    m_thread->setObjectName(QStringLiteral("ArchiveWriter"));
    m_thread->start();
}

ArchiveWriter::~ArchiveWriter()
{
    {
        QMutexLocker lock(&m_state->mutex);
        m_state->stopping = true;
        m_state->wake.wakeAll();
    }
    if (!m_thread->wait(QDeadlineTimer(joinTimeoutMs()))) {
        // Still writing (a database busy elsewhere): the thread keeps its own share of the
        // state and ends after its last batch; its object is left to it rather than destroyed
        // under it.
        qWarning("ArchiveWriter: the writer thread is still busy; it finishes on its own");
        m_thread = nullptr;
        return;
    }
    delete m_thread;
}

void ArchiveWriter::submit(QVector<ArchiveRow> batch)
{
    if (batch.isEmpty())
        return;
    QMutexLocker lock(&m_state->mutex);
    m_state->queue.enqueue(std::move(batch));
    m_state->wake.wakeOne();
}

bool ArchiveWriter::waitWritten(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&m_state->mutex);
    while (m_state->busy || !m_state->queue.isEmpty()) {
        if (!m_state->written.wait(&m_state->mutex, deadline))
            return !m_state->busy && m_state->queue.isEmpty();
    }
    return true;
}

void ArchiveWriter::run(const std::shared_ptr<State> &state)
{
    QMutexLocker lock(&state->mutex);
    for (;;) {
        while (state->queue.isEmpty() && !state->stopping)
            state->wake.wait(&state->mutex);
        if (state->queue.isEmpty())
            break;
        const QVector<ArchiveRow> batch = state->queue.dequeue();
        state->busy = true;
        lock.unlock();
        QString error;
        if (!insertRows(batch, &error))
            Logs::addLog(Logs::Error, QStringLiteral("Archive write error: ") + error);
        lock.relock();
        state->busy = false;
        state->written.wakeAll();
    }
    lock.unlock();
    Database::closeThisThread();
}

namespace {

// What makes two rows identical in the table: NULL equals NULL, 0 equals -0, and times are
// compared by their stored text, so the two moments of the repeated hour in autumn that read
// alike are one row.
struct RowKey
{
    int idParameter;
    bool finite;
    double value;
    QString time;
    int flag;
    bool operator==(const RowKey &o) const
    {
        return idParameter == o.idParameter && finite == o.finite && (!finite || value == o.value) &&
               flag == o.flag && time == o.time;
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
            const RowKey key{row.idParameter, finite, finite ? row.value + 0.0 : 0.0, lastText, row.flag};
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
    if (!db.commit()) {
        // A failed COMMIT leaves the transaction open in SQLite: every later batch of this
        // connection would fail at its BEGIN.
        const QSqlError commitError = db.lastError();
        db.rollback();
        return fail(commitError);
    }
    return true;
}
