#pragma once

#include "ArchiveWriter.h"
#include "BufferInterface.h"

#include <QHash>
#include <QVector>

#include <atomic>
#include <memory>

class QSqlQuery;

// Decides which readings become archive rows, aligns their times to the parameter's interval
// and hands them to its writer 50 at a time. Every call but the final flush comes from
// ReadBuffer under the ReadBuffer's lock; this object's own mutex is not used.
class ArchiveBuffer : public BufferInterface
{
    Q_OBJECT
public:
    struct ArchiveInterval
    {
        qint64 lastArchived = 0; // 0: nothing archived since the buffer was built
        int archInterval = 0;    // s
        double lastValue = 0.0;  // of the row archived at lastArchived
        int lastFlag = 0;
    };

    static constexpr int BatchSize = 50;

    // query: idParameters, idDevice, regAddr, archInterval, unit; walked from its first row.
    ArchiveBuffer(QSqlQuery &query, QObject *parent = nullptr);
    // archIntervals: idParameters to archInterval (s), as read from that query by its owner.
    ArchiveBuffer(const QHash<int, int> &archIntervals, QObject *parent = nullptr);
    // Pending rows are not written (the flush before release is the owner's duty); batches
    // already handed to the writer are.
    ~ArchiveBuffer() override;

    using BufferInterface::storeValue;
    // Offers one reading; archived when the parameter is due, at its aligned time, unless it
    // is the row archived last for that parameter once more.
    void storeValue(int idParameter, double value, qint64 timestamp, int flag, int extra, bool nearest);
    // Adds a row as it stands (session breaks): no alignment, not counted as archived.
    void addRow(int idParameter, double value, qint64 timestamp, int flag, int extra);
    bool isDue(int idParameter, qint64 timestamp) const;
    qint64 alignTime(int idParameter, qint64 timestamp, bool nearest) const;
    // Hands the pending rows to the writer; returns at once. Safe without the value buffer's
    // lock: the pending rows have a guard of their own, so the final flush never has to give
    // up on them.
    void flush();
    // Waits until every batch handed over is in the database.
    bool waitWritten(int timeoutMs);

    qint64 archivedCount() const { return m_archivedCount.load(); }
    int pendingCount() const;

private:
    void append(const ArchiveRow &row);

    QHash<int, ArchiveInterval> m_intervals;
    mutable QMutex m_pendingMutex;
    QVector<ArchiveRow> m_pending; // in statement order
    std::atomic<qint64> m_archivedCount{0};
    std::unique_ptr<ArchiveWriter> m_writer;
};
