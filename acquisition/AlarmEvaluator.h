#pragma once

#include <QMutex>
#include <QStringList>
#include <QVector>
#include <QWaitCondition>

#include <atomic>
#include <memory>

class QThread;

// Runs alarm expressions on a thread of its own, one script engine reused for all of them.
// Each expression gets a fresh global object (its prototype the engine's standard globals),
// so no expression sees a global that another one set; a watchdog aborts an evaluation that
// runs too long. The caller waits for a whole batch with a bound and runs no events meanwhile.
class AlarmEvaluator
{
public:
    // Per expression; tests may shorten it.
    static std::atomic<int> s_watchdogMs;

    AlarmEvaluator();
    ~AlarmEvaluator();
    AlarmEvaluator(const AlarmEvaluator &) = delete;
    AlarmEvaluator &operator=(const AlarmEvaluator &) = delete;

    // ECMAScript ToBoolean of each script's completion value, in order. A script that throws
    // gives its thrown value (an error object is true); an aborted one, or one that the batch
    // bound left unevaluated, counts as a script error: true.
    QVector<bool> evaluate(const QStringList &scripts, int boundMs);

private:
    struct Batch
    {
        QStringList scripts;
        QVector<bool> results;
        int done = 0;
        bool finished = false;
        std::atomic<bool> abandoned{false};
    };

    void run();

    QMutex m_mutex;
    QWaitCondition m_wake;
    QWaitCondition m_batchDone;
    std::shared_ptr<Batch> m_pending;
    bool m_stopping = false;
    QThread *m_thread = nullptr;
};
