#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QObject>

#include <atomic>
#include <memory>

class ChannelMQTTWorker;
class ChannelWorker;
class ConnectionManager;
class QSqlDatabase;
class QTimer;
class ReadBuffer;
class ReadIterations;
class ThreadWorker;

// The acquisition scheduler: turns the stored configuration into running acquisition (value
// buffers, one worker thread per serial, TCP or MQTT connection, the alarms, the statistics,
// the mail thread) and back, and hands a read pass to every idle worker on each tick. Lives in
// the main thread; the web calls below run in HTTP threads.
class Poller : public QObject
{
    Q_OBJECT
public:
    // How often a stop looks at the workers' readiness while it waits for their passes to end.
    static constexpr int StopPollMs = 20;
    // The line time-out handed on to a worker is clamped to this, so that a stop is bounded.
    static constexpr int MaxLineTimeoutMs = 60000;

    // connections is not kept.
    explicit Poller(ConnectionManager *connections = nullptr, QObject *parent = nullptr);
    // Stops polling first.
    ~Poller() override;

    // Moves the worker to a new thread and starts it: started() runs process(), the worker's
    // finished() quits the thread and releases worker and thread. addToList keeps a channel
    // worker (isMqtt false) or an MQTT worker (isMqtt true) in the Poller's lists.
    void startInThread(ThreadWorker *worker, bool addToList, bool isMqtt);

    // Any thread: polling runs, or a start is under way.
    bool isRunning() const { return m_running.load() || m_starting.load(); }

    // Web calls: each returns the reply body; any thread.
    QByteArray getAppState() const;   // "getAppState"
    QByteArray requestStart() const;  // "startPolling": the start follows on the handler's flag timer
    QByteArray requestStop() const;   // "stopPolling"
    QByteArray getAllValues();        // "getAllValues"

    // The largest connection time-out seen since construction (ms); never lowered.
    int maxTimeout() const { return m_maxTimeout; }
    const QList<ChannelWorker *> &channelWorkers() const { return m_channWorkersList; }
    const QList<ChannelMQTTWorker *> &mqttWorkers() const { return m_mqttWorkersList; }
    // The value buffer while polling runs, else null; main thread.
    ReadBuffer *readBuffer() const { return m_pReadBuffer.get(); }

public slots:
    void startPolling();
    void stopPolling();
    void visualTimerTimeout();

private:
    // Quits every worker (after waiting for running passes), writes the pending archive rows,
    // releases the buffer, the read plans, the alarms, the statistics and the mail thread.
    void tearDown(qint64 timestamp);
    void waitForIdleWorkers();
    // Builds the read plan of one serial or TCP connection, starts its worker when the plan is not
    // empty and registers the connection and its devices with the statistics; false on a failed query.
    template <typename Cfg>
    bool addModbusChannel(QSqlDatabase &db, const QString &type, const Cfg &cfg, ReadBuffer *buffer);
    void stopMailWorker();

    std::atomic<bool> m_running{false};
    std::atomic<bool> m_starting{false};
    QList<ChannelWorker *> m_channWorkersList;
    QList<ChannelMQTTWorker *> m_mqttWorkersList;
    QList<ReadIterations *> m_plans;
    QTimer *m_pTimer = nullptr;
    // Shared with the "getAllValues" calls that saw the running state; the last holder releases
    // it, always in the main thread.
    std::shared_ptr<ReadBuffer> m_pReadBuffer;
    QMutex m_bufferMutex; // guards m_pReadBuffer and the running state as the web calls see them
    int m_maxTimeout = 5000;
};
