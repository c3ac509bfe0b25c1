#pragma once

#include <QList>
#include <QObject>

class ChannelWorker;
class ConnectionManager;
class ThreadWorker;

// The acquisition scheduler; for now only the thread starter of the line and mail workers.
class Poller : public QObject
{
    Q_OBJECT
public:
    // connections is not kept.
    explicit Poller(ConnectionManager *connections = nullptr, QObject *parent = nullptr);

    // Moves the worker to a new thread and starts it: started() runs process(), the worker's
    // finished() quits the thread and releases worker and thread. addToList keeps a channel
    // worker (isMqtt false) or an MQTT worker (isMqtt true) in the Poller's lists.
    void startInThread(ThreadWorker *worker, bool addToList, bool isMqtt);

    const QList<ChannelWorker *> &channelWorkers() const { return m_channWorkersList; }
    const QList<ThreadWorker *> &mqttWorkers() const { return m_mqttWorkersList; }

private:
    QList<ChannelWorker *> m_channWorkersList;
    QList<ThreadWorker *> m_mqttWorkersList;
};
