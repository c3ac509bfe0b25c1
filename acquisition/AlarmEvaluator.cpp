#include "AlarmEvaluator.h"

#include "Database.h"
#include "Logs.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QScriptEngine>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <thread>

std::atomic<int> AlarmEvaluator::s_watchdogMs{200};
std::atomic<int> AlarmEvaluator::s_marginMs{AlarmEvaluator::DefaultMarginMs};
std::atomic<int> AlarmEvaluator::s_startLimitMs{10000};
std::atomic<int> AlarmEvaluator::s_firstRetryMs{1000};
std::atomic<int> AlarmEvaluator::s_longestRetryMs{60000};
quint64 AlarmEvaluator::s_memoryLimitBytes = quint64(1024) * 1024 * 1024;

namespace {

// How often a running script lets the watchdog's timer in.
constexpr int kProcessEventsIntervalMs = 10;
// Below this much room for the expressions a child would end on ordinary ones, which would then
// be blamed for it: such a child says it cannot work instead.
constexpr quint64 kLeastRoomBytes = quint64(32) * 1024 * 1024;

// The child's answer to each script, one byte.
constexpr char kFalse = 'f';
constexpr char kTrue = 't';
constexpr char kAborted = 'a';

// How long the child gathers results before they go out: the parent then reads a few bunches per
// batch rather than one answer per script, and still knows within this which script runs.
constexpr int kGatherMs = 2;

// The child's results leave from a thread of their own: within kGatherMs of each script's end,
// also while the next script holds the main thread in native code.
class ResultOutbox
{
public:
    ResultOutbox() : m_thread([this] { run(); }) {}
    ~ResultOutbox()
    {
        {
            QMutexLocker lock(&m_mutex);
            m_quit = true;
            m_wake.wakeAll();
        }
        m_thread.join();
    }
    ResultOutbox(const ResultOutbox &) = delete;
    ResultOutbox &operator=(const ResultOutbox &) = delete;

    // For one request: its results go out through send.
    void begin(const WorkerProcess::Answer &send)
    {
        QMutexLocker lock(&m_mutex);
        m_send = &send;
        m_parentGone = false;
    }
    // False once the parent is gone.
    bool add(char result)
    {
        QMutexLocker lock(&m_mutex);
        if (m_pending.isEmpty())
            m_wake.wakeAll();
        m_pending += result;
        return !m_parentGone;
    }
    // The rest goes out now; the request's answers are all written when this returns.
    void finish()
    {
        QMutexLocker lock(&m_mutex);
        flush();
        m_send = nullptr;
    }

private:
    void run()
    {
        QMutexLocker lock(&m_mutex);
        while (!m_quit) {
            if (m_pending.isEmpty() || !m_send) {
                m_wake.wait(&m_mutex);
                continue;
            }
            m_wake.wait(&m_mutex, kGatherMs);
            flush();
        }
    }
    void flush()
    {
        if (m_send && !m_pending.isEmpty() && !m_parentGone)
            m_parentGone = !(*m_send)(m_pending);
        m_pending.clear();
    }

    QMutex m_mutex;
    QWaitCondition m_wake;
    QByteArray m_pending;
    const WorkerProcess::Answer *m_send = nullptr;
    bool m_parentGone = false;
    bool m_quit = false;
    std::thread m_thread;
};

QByteArray encodeRequest(const QStringList &scripts, int watchdogMs)
{
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out << qint32(watchdogMs) << scripts;
    return request;
}

} // namespace

AlarmEvaluator::AlarmEvaluator() : m_process({QString::fromLatin1(workerArgument())})
{
    m_thread = QThread::create([this] { run(); });
    m_thread->setObjectName(QStringLiteral("AlarmEvaluator"));
    m_thread->start();
}

AlarmEvaluator::~AlarmEvaluator()
{
    {
        QMutexLocker lock(&m_mutex);
        m_stopping = true;
        m_jobs.clear();
        m_wake.wakeAll();
    }
    // Also a child that the evaluator thread is about to start: the call returns at once.
    m_process.shutDown();
    if (!m_thread->wait(10000))
        qWarning("AlarmEvaluator: the evaluator thread did not end");
    else
        delete m_thread;
}

void AlarmEvaluator::submit(const QStringList &scripts, Done done)
{
    QMutexLocker lock(&m_mutex);
    m_jobs.append(Job{scripts, std::move(done)});
    m_wake.wakeAll();
}

QVector<AlarmEvaluator::Result> AlarmEvaluator::evaluate(const QStringList &scripts)
{
    QMutex mutex;
    QWaitCondition finished;
    bool done = false;
    QVector<Result> results;
    submit(scripts, [&](const QVector<Result> &r) {
        QMutexLocker lock(&mutex);
        results = r;
        done = true;
        finished.wakeAll();
    });
    QMutexLocker lock(&mutex);
    while (!done)
        finished.wait(&mutex);
    return results;
}

void AlarmEvaluator::run()
{
    for (;;) {
        Job job;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && m_jobs.isEmpty())
                m_wake.wait(&m_mutex);
            if (m_stopping)
                break;
            job = m_jobs.takeFirst();
        }
        const QVector<Result> results = evaluateBatch(job.scripts);
        if (m_stopping)
            break;
        job.done(results);
    }
    // The events of this thread went through a database connection of its own.
    Database::closeThisThread();
}

QVector<AlarmEvaluator::Result> AlarmEvaluator::evaluateBatch(const QStringList &scripts)
{
    QVector<Result> results(scripts.size(), Result::NotEvaluated);
    const int watchdogMs = s_watchdogMs.load();
    int next = 0;
    // The script a child ended on (the first one it had not answered yet): it goes alone to a
    // fresh child and is to blame only when it ends that one too. A child killed from outside,
    // for one, is nobody's doing.
    int endedOnce = -1;
    int failedSends = 0;
    while (next < scripts.size() && !m_stopping) {
        if (m_failing && !m_retryAt.hasExpired())
            break;
        const bool alone = endedOnce == next;
        const QStringList part = alone ? QStringList{scripts.at(next)} : scripts.mid(next);
        const WorkerProcess::Outcome sent = m_process.send(encodeRequest(part, watchdogMs), s_startLimitMs.load());
        if (sent == WorkerProcess::Outcome::Closed)
            break;
        if (sent == WorkerProcess::Outcome::NotStarted ||
            (sent != WorkerProcess::Outcome::Answered && ++failedSends > 1)) {
            stopped(m_process.failure());
            break;
        }
        if (sent != WorkerProcess::Outcome::Answered)
            continue;
        works();
        const int end = next + part.size();
        int i = next;
        while (i < end) {
            // The results come in bunches; the script after the last one answered is running.
            QByteArray answer;
            const WorkerProcess::Outcome got = m_process.receive(&answer, expressionLimitMs());
            if (got == WorkerProcess::Outcome::Answered) {
                const bool inTurn = !answer.isEmpty() && answer.size() <= end - i &&
                                    std::all_of(answer.cbegin(), answer.cend(),
                                                [](char c) { return c == kFalse || c == kTrue || c == kAborted; });
                if (!inTurn) {
                    stopped(QStringLiteral("answered out of turn"));
                    return results;
                }
                for (const char c : qAsConst(answer))
                    results[i++] = c == kFalse ? Result::False : c == kTrue ? Result::True : Result::ScriptError;
                next = i;
                continue;
            }
            if (got == WorkerProcess::Outcome::Closed || m_stopping)
                return results;
            if (got == WorkerProcess::Outcome::TimedOut) {
                results[i] = Result::ScriptError;
                qWarning("AlarmEvaluator: an expression ran past its limit of %d ms: %s", expressionLimitMs(),
                         qPrintable(scripts.at(i).left(80)));
                next = i + 1;
            } else if (alone) {
                results[i] = Result::ScriptError;
                qWarning("AlarmEvaluator: an expression ended two children, the second %s: %s",
                         qPrintable(m_process.failure()), qPrintable(scripts.at(i).left(80)));
                next = i + 1;
            } else {
                endedOnce = i;
                next = i;
            }
            break;
        }
    }
    return results;
}

void AlarmEvaluator::stopped(const QString &cause)
{
    if (m_failing) {
        m_retryMs = qMin(2 * m_retryMs, s_longestRetryMs.load());
    } else {
        m_failing = true;
        m_retryMs = s_firstRetryMs.load();
        const QString text = QCoreApplication::translate("AlarmEvaluator",
                                                         "Alarm expressions cannot be evaluated: the evaluator's child "
                                                         "process %1. The alarms keep their states until evaluation "
                                                         "works again.")
                                 .arg(cause);
        qWarning("AlarmEvaluator: %s", qPrintable(text));
        Logs::addLog(Logs::Error, text);
    }
    m_retryAt = QDeadlineTimer(m_retryMs);
}

void AlarmEvaluator::works()
{
    if (!m_failing)
        return;
    m_failing = false;
    const QString text = QCoreApplication::translate("AlarmEvaluator", "Alarm expressions are evaluated again.");
    qInfo("AlarmEvaluator: %s", qPrintable(text));
    Logs::addLog(Logs::Info, text);
}

int AlarmEvaluator::runWorker(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QScriptEngine engine;
    engine.setProcessEventsInterval(kProcessEventsIntervalMs);
    const QScriptValue standardGlobals = engine.globalObject();
    QTimer watchdog;
    watchdog.setSingleShot(true);
    bool aborted = false;
    QObject::connect(&watchdog, &QTimer::timeout, [&engine, &aborted] {
        aborted = true;
        engine.abortEvaluation();
    });
    // Each result goes out soon after its script ends: the parent times each script on its own.
    ResultOutbox outbox;
    const auto answer = [&](const QByteArray &request, const WorkerProcess::Answer &send) {
        QDataStream in(request);
        qint32 watchdogMs = 0;
        QStringList scripts;
        in >> watchdogMs >> scripts;
        outbox.begin(send);
        for (const QString &script : qAsConst(scripts)) {
            QScriptValue global = engine.newObject();
            global.setPrototype(standardGlobals);
            engine.setGlobalObject(global);
            aborted = false;
            watchdog.start(watchdogMs);
            const QScriptValue value = engine.evaluate(script, QString(), 1);
            watchdog.stop();
            const char result = aborted ? kAborted : value.toBool() ? kTrue : kFalse;
            engine.clearExceptions();
            if (!outbox.add(result))
                break;
        }
        outbox.finish();
        engine.setGlobalObject(standardGlobals);
    };
    // The engine reserves far more address space than it uses; the cap is for the expressions.
    const quint64 inUse = WorkerProcess::addressSpaceInUse();
    const quint64 ceiling = WorkerProcess::addressSpaceCeiling();
    if (inUse > 0 && ceiling > 0 && ceiling < inUse + kLeastRoomBytes)
        return WorkerProcess::refuse(
            QStringLiteral("only %1 MB are left for expressions under an address-space limit of %2 MB")
                .arg(qint64(ceiling > inUse ? (ceiling - inUse) >> 20 : 0))
                .arg(ceiling >> 20));
    return WorkerProcess::serveInParts(answer, inUse > 0 ? inUse + s_memoryLimitBytes : 0);
}
