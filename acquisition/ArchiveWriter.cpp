#include "ArchiveWriter.h"

#include "Database.h"
#include "Logs.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <algorithm>
#include <cmath>

std::atomic<int> ArchiveWriter::s_joinTimeoutMs{10000};
std::atomic<int> ArchiveWriter::s_reportIntervalMs{60000};

namespace {

QString archiveTimeText(qint64 ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"));
}

// What failed batches have cost since the last batch that was written; kept by the writer's
// thread alone. A kind is the error text.
class Outage
{
public:
    void failed(const QVector<ArchiveRow> &batch, const QString &error, qint64 nowMs)
    {
        if (m_lostRows == 0 && !batch.isEmpty())
            m_firstTime = m_lastTime = batch.first().time;
        for (const ArchiveRow &row : batch) {
            m_firstTime = qMin(m_firstTime, row.time);
            m_lastTime = qMax(m_lastTime, row.time);
        }
        m_lostRows += batch.size();
        Logs::addLog(Logs::Error, QStringLiteral("Archive write error: ") + error);
        Kind &kind = m_kinds[error];
        kind.unreported += batch.size();
        if (kind.told && nowMs - kind.toldAt < ArchiveWriter::reportIntervalMs())
            return;
        qWarning("Archive write error: %s (%lld rows dropped)", qPrintable(error),
                 static_cast<long long>(kind.unreported));
        kind.told = true;
        kind.toldAt = nowMs;
        kind.unreported = 0;
    }

    // A batch was written: one event for everything lost before it.
    void recovered()
    {
        if (m_lostRows == 0)
            return;
        const QString message = QStringLiteral("Archive writing works again: %1 rows were lost, archive times %2 to %3")
                                    .arg(m_lostRows)
                                    .arg(archiveTimeText(m_firstTime), archiveTimeText(m_lastTime));
        qWarning("%s", qPrintable(message));
        Logs::addLog(Logs::Warn, message);
        *this = Outage();
    }

    // The writer ends while writing still fails: no event can tell the whole loss, so standard
    // error does.
    void ended() const
    {
        if (m_lostRows == 0)
            return;
        qWarning("Archive writing stopped while failing: %lld rows were lost, archive times %s to %s",
                 static_cast<long long>(m_lostRows), qPrintable(archiveTimeText(m_firstTime)),
                 qPrintable(archiveTimeText(m_lastTime)));
    }

private:
    struct Kind
    {
        bool told = false;
        qint64 toldAt = 0;     // ms of the writer's clock
        qint64 unreported = 0; // rows dropped since it was told
    };
    qint64 m_lostRows = 0;
    qint64 m_firstTime = 0;
    qint64 m_lastTime = 0;
    QHash<QString, Kind> m_kinds;
};

} // namespace

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
    Outage outage;
    QElapsedTimer clock;
    clock.start();
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
        if (insertRows(batch, &error))
            outage.recovered();
        else
            outage.failed(batch, error, clock.elapsed());
        lock.relock();
        state->busy = false;
        state->written.wakeAll();
    }
    lock.unlock();
    outage.ended();
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
