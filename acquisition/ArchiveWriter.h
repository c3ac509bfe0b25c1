#pragma once

#include <QMutex>
#include <QQueue>
#include <QString>
#include <QVector>
#include <QWaitCondition>

class QThread;

// One row for the ArchiveData table.
struct ArchiveRow
{
    int idParameter = 0;
    double value = 0.0;
    qint64 time = 0; // ms since the Unix epoch
    int flag = 0;
};

// Inserts archive batches on a thread and database connection of its own, so that no line
// thread does database I/O while it holds the value buffer's lock. Batches are written in the
// order they were handed over; a failed batch is logged as an error event and dropped.
class ArchiveWriter
{
public:
    ArchiveWriter();
    // Writes every batch handed over so far, then ends the thread.
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter &) = delete;
    ArchiveWriter &operator=(const ArchiveWriter &) = delete;

    // Hands a batch over and returns at once.
    void submit(QVector<ArchiveRow> batch);
    // Waits until every batch handed over so far is written; false when timeoutMs ran out.
    bool waitWritten(int timeoutMs);

    // The rows in one transaction on the calling thread's connection, all or none; values are
    // bound as doubles (NULL when not finite), the time as local "yyyy-MM-dd hh:mm:ss".
    // Identical rows of one batch are stored once.
    static bool insertRows(const QVector<ArchiveRow> &rows, QString *error);

private:
    void run();

    QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_written;
    QQueue<QVector<ArchiveRow>> m_queue;
    bool m_busy = false;
    bool m_stopping = false;
    QThread *m_thread = nullptr;
};
