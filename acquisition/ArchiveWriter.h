#pragma once

#include <QMutex>
#include <QQueue>
#include <QString>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <memory>

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
// order they were handed over; a failed batch is logged as an error event and dropped. As the
// event log may fail with the archive (a full disk), failures are also told on standard error:
// the first of each kind at once, then at most once per reportIntervalMs() with the rows
// dropped since. The first batch written after failures logs one event with the rows lost and
// their time span.
class ArchiveWriter
{
public:
    ArchiveWriter();
    // Writes every batch handed over so far, then ends the thread. The wait for the thread is
    // bounded (joinTimeoutMs()): a writer still stuck on a busy database finishes its batches
    // on its own, and the caller goes on.
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

    // How long the destructor waits for the thread; tests shorten it.
    static int joinTimeoutMs() { return s_joinTimeoutMs.load(); }
    static void setJoinTimeoutMs(int ms) { s_joinTimeoutMs = ms; }
    // How often one kind of failure is told at most; tests shorten it.
    static int reportIntervalMs() { return s_reportIntervalMs.load(); }
    static void setReportIntervalMs(int ms) { s_reportIntervalMs = ms; }

private:
    // Shared with the thread, which may outlive this object after a join that timed out.
    struct State
    {
        QMutex mutex;
        QWaitCondition wake;
        QWaitCondition written;
        QQueue<QVector<ArchiveRow>> queue;
        bool busy = false;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State> &state);

    std::shared_ptr<State> m_state;
    QThread *m_thread = nullptr;
    static std::atomic<int> s_joinTimeoutMs;
    static std::atomic<int> s_reportIntervalMs;
};
