#pragma once

#include "WorkerProcess.h"

#include <QList>
#include <QMutex>
#include <QStringList>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <functional>

class QThread;

// Runs alarm expressions in a child process of this program (started with workerArgument()),
// reached from a thread of its own, so that neither an expression's time nor its memory can
// hold up, swamp or end the program. In the child each expression gets a fresh global object
// (its prototype the engine's standard globals), so no expression sees a global that another
// one set, and a watchdog aborts an evaluation that runs too long; the child's address space is
// capped, and a child that runs past its time limit or dies is replaced.
class AlarmEvaluator
{
public:
    enum class Result : char {
        NotEvaluated, // the batch was abandoned or no child could be started: changes nothing
        False,
        True,        // ECMAScript ToBoolean of the completion value (a thrown error object is true)
        ScriptError, // aborted by the watchdog, or it ran its child out of time or memory
    };
    using Done = std::function<void(const QVector<Result> &)>;

    // Per expression; tests may shorten it.
    static std::atomic<int> s_watchdogMs;
    // The child's memory for expressions, on top of what its script engine holds at the start;
    // a test program's child may lower it.
    static quint64 s_memoryLimitBytes;

    AlarmEvaluator();
    // A batch still running is abandoned (its child is killed) and its done is never called.
    ~AlarmEvaluator();
    AlarmEvaluator(const AlarmEvaluator &) = delete;
    AlarmEvaluator &operator=(const AlarmEvaluator &) = delete;

    // Queues the scripts and returns at once; done gets one result per script, in order, on the
    // evaluator's thread. Batches run one after the other.
    void submit(const QStringList &scripts, Done done);
    // The same, waiting for the results; not from the thread of a done.
    QVector<Result> evaluate(const QStringList &scripts);

    // The argument that makes the program serve as the evaluator's child.
    static const char *workerArgument() { return "--alarm-worker"; }
    // True when the program was started as the evaluator's child; main() then returns
    // runWorker(), before it takes its lock or builds anything else.
    static bool isWorkerCall(int argc, char **argv) { return argc >= 2 && qstrcmp(argv[1], workerArgument()) == 0; }
    // Evaluates the batches sent by the parent until it closes the channel; the exit code.
    static int runWorker(int argc, char **argv);

private:
    struct Job
    {
        QStringList scripts;
        Done done;
    };

    void run();
    QVector<Result> evaluateBatch(const QStringList &scripts);
    // One call of the child for the scripts; on Answered *results holds one result each.
    WorkerProcess::Outcome callWorker(const QStringList &scripts, QVector<Result> *results);

    QMutex m_mutex;
    QWaitCondition m_wake;
    QList<Job> m_jobs;
    std::atomic<bool> m_stopping{false};
    WorkerProcess m_process;
    QThread *m_thread = nullptr;
};
