#include "ArchiveBuffer.h"

#include "SettingsManager.h"

#include <QSqlQuery>
#include <QVariant>

#include <cmath>

ArchiveBuffer::ArchiveBuffer(QSqlQuery &query, QObject *parent)
    : BufferInterface(parent), m_writer(new ArchiveWriter)
{
    if (query.first()) {
        do {
            const int archInterval = query.value(3).toInt();
            if (archInterval > 0)
                m_intervals.insert(query.value(0).toInt(), ArchiveInterval{0, archInterval, 0.0, 0});
        } while (query.next());
    }
    m_pending.reserve(BatchSize);
}

ArchiveBuffer::ArchiveBuffer(const QHash<int, int> &archIntervals, QObject *parent)
    : BufferInterface(parent), m_writer(new ArchiveWriter)
{
    for (auto it = archIntervals.constBegin(); it != archIntervals.constEnd(); ++it) {
        if (it.value() > 0)
            m_intervals.insert(it.key(), ArchiveInterval{0, it.value(), 0.0, 0});
    }
    m_pending.reserve(BatchSize);
}

ArchiveBuffer::~ArchiveBuffer() = default;

void ArchiveBuffer::append(const ArchiveRow &row)
{
    bool full = false;
    {
        QMutexLocker lock(&m_pendingMutex);
        m_pending.append(row);
        full = m_pending.size() >= BatchSize;
    }
    if (full)
        flush();
}

int ArchiveBuffer::pendingCount() const
{
    QMutexLocker lock(&m_pendingMutex);
    return m_pending.size();
}

void ArchiveBuffer::storeValue(int idParameter, double value, qint64 timestamp, int flag, int extra, bool nearest)
{
    Q_UNUSED(extra)
    auto it = m_intervals.find(idParameter);
    if (it == m_intervals.end())
        return;
    if (isDue(idParameter, timestamp)) {
        const qint64 aligned = alignTime(idParameter, timestamp, nearest);
        // The first poll interval after a boundary is due whatever was archived: the same
        // reading offered again there would be a second identical row, and the writer tells
        // identical rows apart only inside one batch.
        if (aligned == it->lastArchived && flag == it->lastFlag &&
            (value == it->lastValue || (std::isnan(value) && std::isnan(it->lastValue))))
            return;
        it->lastArchived = aligned;
        it->lastValue = value;
        it->lastFlag = flag;
        ++m_archivedCount;
        append(ArchiveRow{idParameter, value, aligned, flag});
    }
}

void ArchiveBuffer::addRow(int idParameter, double value, qint64 timestamp, int flag, int extra)
{
    Q_UNUSED(extra)
    if (!m_intervals.contains(idParameter))
        return;
    append(ArchiveRow{idParameter, value, timestamp, flag});
}

bool ArchiveBuffer::isDue(int idParameter, qint64 timestamp) const
{
    const auto it = m_intervals.constFind(idParameter);
    if (it == m_intervals.constEnd())
        return false;
    const qint64 interval = qint64(it->archInterval) * 1000;
    const qint64 poll = g_settings.modbusPollInterval.load();
    if (timestamp % interval < poll)
        return true;
    if (it->lastArchived == 0)
        return false;
    return timestamp - it->lastArchived >= interval;
}

qint64 ArchiveBuffer::alignTime(int idParameter, qint64 timestamp, bool nearest) const
{
    const auto it = m_intervals.constFind(idParameter);
    if (it == m_intervals.constEnd())
        return timestamp;
    const qint64 interval = qint64(it->archInterval) * 1000;
    if (nearest) {
        const qint64 r = timestamp % interval;
        if (r < interval / 2) // an exact half goes up
            return timestamp - r;
        return timestamp + (interval - r);
    }
    const qint64 q = qMax<qint64>(g_settings.modbusPollInterval.load(), interval);
    return timestamp - timestamp % q;
}

void ArchiveBuffer::flush()
{
    QVector<ArchiveRow> batch;
    batch.reserve(BatchSize);
    {
        QMutexLocker lock(&m_pendingMutex);
        if (m_pending.isEmpty())
            return;
        batch.swap(m_pending);
        // Handed over under the guard, so batches reach the writer in the order they filled.
        m_writer->submit(std::move(batch));
    }
}

bool ArchiveBuffer::waitWritten(int timeoutMs) { return m_writer->waitWritten(timeoutMs); }
