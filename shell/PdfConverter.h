#pragma once

#include <QByteArray>
#include <QMutex>
#include <QString>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <memory>
#include <vector>

class QDeadlineTimer;
class WorkerProcess;

// HTML-to-PDF conversions of both programs. Qt's text layout can take minutes on a page of a few
// nested tables, and nothing can stop it inside a thread, so each conversion runs in a converter
// process (the program itself, started with "--pdf-worker") that is killed at the time limit and
// whose memory is capped. A few such processes are started when first needed and reused; a caller
// that finds them all busy waits for one within the same time limit. Any thread may call. At the
// program's end shutDown() stops the conversions under way and reaps every converter.
class PdfConverter
{
public:
    // The one converter of the program. It is never destroyed, so no connection thread still in a
    // conversion at exit meets a freed object; its processes end with the program.
    static PdfConverter &instance();

    // An A4 PDF of the HTML, loading files from inside documentRoot (absolute) only; empty when the
    // conversion failed, ran past the time limit, found no converter process free in time or was
    // stopped by shutDown().
    QByteArray convert(const QString &html, const QString &documentRoot);
    // Any thread, at the program's end: every conversion under way or waiting ends at once (empty),
    // every later one fails at once, and no converter process is left, running or unreaped.
    void shutDown();

    // The conversion itself, in the calling process: what a converter process runs.
    static QByteArray convertHere(const QString &html, const QString &documentRoot);

    // True when the program was started as a converter process; main() then returns runWorker(),
    // before it takes its lock or builds anything else.
    static bool isWorkerCall(int argc, char *argv[]);
    // Serves conversions on the channel from the parent until it closes; the exit code.
    static int runWorker(int argc, char *argv[]);

    // How many conversions run at once.
    static int processCount();
    // The bound of one call, waiting for a free process included (tests shorten it).
    static constexpr int DefaultTimeLimitMs = 20000;
    static void setTimeLimitMs(int ms) { s_timeLimitMs = ms; }
    static int timeLimitMs() { return s_timeLimitMs; }
    // The address space of a converter process: the largest report that converts within the time
    // limit (some 600 pages) needs a quarter of it.
    static constexpr quint64 MemoryLimitBytes = quint64(1024) * 1024 * 1024;

private:
    PdfConverter();
    WorkerProcess *take(const QDeadlineTimer &deadline);
    void giveBack(WorkerProcess *worker);

    std::vector<std::unique_ptr<WorkerProcess>> m_processes;
    QMutex m_mutex;
    QWaitCondition m_freed;
    QVector<WorkerProcess *> m_idle; // those with a running child last, so they are taken first
    bool m_closed = false;
    static std::atomic<int> s_timeLimitMs;
};
