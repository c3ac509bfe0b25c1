#include "AlarmEvaluator.h"

#include <QDeadlineTimer>
#include <QScriptEngine>
#include <QThread>
#include <QTimer>

std::atomic<int> AlarmEvaluator::s_watchdogMs{200};

namespace {
// How often a running script lets the watchdog's timer in.
constexpr int kProcessEventsIntervalMs = 10;
} // namespace

AlarmEvaluator::AlarmEvaluator()
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
        if (m_pending)
            m_pending->abandoned = true;
        m_wake.wakeAll();
    }
    // A script still running is aborted by its watchdog well within this.
    if (!m_thread->wait(10000))
        qWarning("AlarmEvaluator: the evaluator thread did not end");
    else
        delete m_thread;
}

QVector<bool> AlarmEvaluator::evaluate(const QStringList &scripts, int boundMs)
{
    auto batch = std::make_shared<Batch>();
    batch->scripts = scripts;
    batch->results = QVector<bool>(scripts.size(), true);
    QDeadlineTimer deadline(boundMs);
    QMutexLocker lock(&m_mutex);
    m_pending = batch;
    m_wake.wakeAll();
    while (!batch->finished) {
        if (!m_batchDone.wait(&m_mutex, deadline))
            break;
    }
    if (!batch->finished) {
        batch->abandoned = true;
        qWarning("AlarmEvaluator: %d of %d expressions not evaluated in time", batch->scripts.size() - batch->done,
                 batch->scripts.size());
    }
    if (m_pending == batch)
        m_pending.reset();
    return batch->results;
}

void AlarmEvaluator::run()
{
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

    for (;;) {
        std::shared_ptr<Batch> batch;
        {
            QMutexLocker lock(&m_mutex);
            while (!m_stopping && !m_pending)
                m_wake.wait(&m_mutex);
            if (m_stopping)
                return;
            batch = m_pending;
            m_pending.reset();
        }
        QVector<bool> results(batch->scripts.size(), true);
        int done = 0;
        for (const QString &script : qAsConst(batch->scripts)) {
            if (batch->abandoned)
                break;
            QScriptValue global = engine.newObject();
            global.setPrototype(standardGlobals);
            engine.setGlobalObject(global);
            aborted = false;
            watchdog.start(s_watchdogMs.load());
            const QScriptValue value = engine.evaluate(script, QString(), 1);
            watchdog.stop();
            results[done++] = aborted || value.toBool();
            engine.clearExceptions();
        }
        engine.setGlobalObject(standardGlobals);
        QMutexLocker lock(&m_mutex);
        batch->results = results;
        batch->done = done;
        batch->finished = true;
        m_batchDone.wakeAll();
    }
}
