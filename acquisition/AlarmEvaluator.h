#pragma once

#include "WorkerProcess.h"

#include <QDeadlineTimer>
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
// capped. The child answers each expression as it finishes, so this side always knows which one
// runs: one that passes its own limit (work in the engine's native code, which no watchdog
// interrupts) or ends a second fresh child is a script error, and the batch goes on in a fresh
// child after it. What no expression caused (no child can start, one was killed from outside)
// leaves the rest of the batch not evaluated; starts are then retried with a growing pause, and
// the event log says once that evaluation stopped and once that it works again.
class AlarmEvaluator
{
public:
    enum class Result : char {
        NotEvaluated, // the batch was abandoned, or no child could be started: changes nothing
        False,
        True,        // ECMAScript ToBoolean of the completion value (a thrown error object is true)
        ScriptError, // aborted by the watchdog, past its own time limit, or it ended two children
    };
    using Done = std::function<void(const QVector<Result> &)>;

    // Per expression, in the child; tests may shorten it.
    static std::atomic<int> s_watchdogMs;
    // What an expression may take beyond its watchdog before the child is killed: the watchdog's
    // own delay and a busy machine's. Tests may shorten it.
    static constexpr int DefaultMarginMs = 1000;
    static std::atomic<int> s_marginMs;
    static int expressionLimitMs() { return s_watchdogMs.load() + s_marginMs.load(); }
    // A child that is not ready within this has not started.
    static std::atomic<int> s_startLimitMs;
    // The pause before the first new start after a failure, doubled after each failed one up to
    // the longest; tests may shorten them.
    static std::atomic<int> s_firstRetryMs;
    static std::atomic<int> s_longestRetryMs;
    // The child's memory for expressions, on top of what its script engine holds at the start;
    // a test program's child may lower it.
    static quint64 s_memoryLimitBytes;

    AlarmEvaluator();
    // A batch still running is abandoned (its child is killed) and its done is never called;
    // returns without waiting for any time limit.
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
    // Evaluation could not go on, through no expression's fault.
    void stopped(const QString &cause);
    void works();

    QMutex m_mutex;
    QWaitCondition m_wake;
    QList<Job> m_jobs;
    std::atomic<bool> m_stopping{false};
    WorkerProcess m_process;
    QThread *m_thread = nullptr;
    // The evaluator thread's: whether the last start failed, and when to try again.
    bool m_failing = false;
    int m_retryMs = 0;
    QDeadlineTimer m_retryAt;
};
