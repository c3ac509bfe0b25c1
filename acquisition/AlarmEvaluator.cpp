#include "AlarmEvaluator.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QScriptEngine>
#include <QThread>
#include <QTimer>

std::atomic<int> AlarmEvaluator::s_watchdogMs{200};
quint64 AlarmEvaluator::s_memoryLimitBytes = quint64(1024) * 1024 * 1024;

namespace {

// How often a running script lets the watchdog's timer in.
constexpr int kProcessEventsIntervalMs = 10;
// Scripts per call of the child: few calls per tick, and little to redo when a child dies.
constexpr int kChunkSize = 100;
// A call's time limit: every script may use its watchdog's time and a little more, and the call
// as a whole the start of a new child on a busy machine.
constexpr int kPerScriptSlackMs = 50;
constexpr int kPerCallSlackMs = 2000;

// The child's answer, one byte per script.
constexpr char kFalse = 'f';
constexpr char kTrue = 't';
constexpr char kAborted = 'a';

QByteArray encodeRequest(const QStringList &scripts, int watchdogMs)
{
    QByteArray request;
    QDataStream out(&request, QIODevice::WriteOnly);
    out << qint32(watchdogMs) << scripts;
    return request;
}

} // namespace

AlarmEvaluator::AlarmEvaluator()
    : m_process(QCoreApplication::applicationFilePath(), {QString::fromLatin1(workerArgument())})
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
    m_process.abort();
    // A killed child ends the call under way at once; a call that began after the kill is still
    // bounded by its time limit.
    if (!m_thread->wait(60000))
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
                return;
            job = m_jobs.takeFirst();
        }
        const QVector<Result> results = evaluateBatch(job.scripts);
        if (m_stopping)
            return;
        job.done(results);
    }
}

QVector<AlarmEvaluator::Result> AlarmEvaluator::evaluateBatch(const QStringList &scripts)
{
    QVector<Result> results(scripts.size(), Result::NotEvaluated);
    for (int start = 0; start < scripts.size() && !m_stopping; start += kChunkSize) {
        const QStringList chunk = scripts.mid(start, kChunkSize);
        QVector<Result> part;
        const WorkerProcess::Outcome outcome = callWorker(chunk, &part);
        if (outcome == WorkerProcess::Outcome::Answered) {
            std::copy(part.cbegin(), part.cend(), results.begin() + start);
            continue;
        }
        if (outcome == WorkerProcess::Outcome::NotStarted)
            break;
        if (chunk.size() == 1) {
            results[start] = Result::ScriptError;
            qWarning("AlarmEvaluator: an expression %s its child: %s",
                     outcome == WorkerProcess::Outcome::TimedOut ? "outran" : "ended",
                     qPrintable(chunk.at(0).left(80)));
            continue;
        }
        // One script took the child down with it: one at a time, the others still count and only
        // the culprit is a script error.
        for (int i = 0; i < chunk.size() && !m_stopping; ++i) {
            QVector<Result> one;
            const WorkerProcess::Outcome single = callWorker({chunk.at(i)}, &one);
            if (single == WorkerProcess::Outcome::Answered) {
                results[start + i] = one.value(0);
            } else if (single != WorkerProcess::Outcome::NotStarted) {
                results[start + i] = Result::ScriptError;
                qWarning("AlarmEvaluator: an expression %s its child: %s",
                         single == WorkerProcess::Outcome::TimedOut ? "outran" : "ended",
                         qPrintable(chunk.at(i).left(80)));
            }
        }
    }
    return results;
}

WorkerProcess::Outcome AlarmEvaluator::callWorker(const QStringList &scripts, QVector<Result> *results)
{
    const int watchdogMs = s_watchdogMs.load();
    const int limitMs = scripts.size() * (watchdogMs + kPerScriptSlackMs) + kPerCallSlackMs;
    QByteArray reply;
    const WorkerProcess::Outcome outcome = m_process.call(encodeRequest(scripts, watchdogMs), &reply, limitMs);
    if (outcome != WorkerProcess::Outcome::Answered)
        return outcome;
    if (reply.size() != scripts.size()) {
        qWarning("AlarmEvaluator: the child answered %d results for %d scripts", reply.size(), scripts.size());
        return WorkerProcess::Outcome::Died;
    }
    results->resize(scripts.size());
    for (int i = 0; i < reply.size(); ++i) {
        const char c = reply.at(i);
        (*results)[i] = c == kFalse ? Result::False : c == kTrue ? Result::True : Result::ScriptError;
    }
    return outcome;
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
    const auto answer = [&](const QByteArray &request) {
        QDataStream in(request);
        qint32 watchdogMs = 0;
        QStringList scripts;
        in >> watchdogMs >> scripts;
        QByteArray results;
        results.reserve(scripts.size());
        for (const QString &script : qAsConst(scripts)) {
            QScriptValue global = engine.newObject();
            global.setPrototype(standardGlobals);
            engine.setGlobalObject(global);
            aborted = false;
            watchdog.start(watchdogMs);
            const QScriptValue value = engine.evaluate(script, QString(), 1);
            watchdog.stop();
            results += aborted ? kAborted : value.toBool() ? kTrue : kFalse;
            engine.clearExceptions();
        }
        engine.setGlobalObject(standardGlobals);
        return results;
    };
    // The engine reserves far more address space than it uses; the cap is for the expressions.
    const quint64 inUse = WorkerProcess::addressSpaceInUse();
    return WorkerProcess::serve(answer, inUse > 0 ? inUse + s_memoryLimitBytes : 0);
}
