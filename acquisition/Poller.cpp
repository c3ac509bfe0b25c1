#include "Poller.h"

#include "ChannelWorker.h"
#include "ThreadWorker.h"

#include <QThread>

Poller::Poller(ConnectionManager *connections, QObject *parent) : QObject(parent) { Q_UNUSED(connections) }

void Poller::startInThread(ThreadWorker *worker, bool addToList, bool isMqtt)
{
    QThread *thread = new QThread;
    worker->moveToThread(thread);
    if (addToList) {
        if (!isMqtt) {
            if (ChannelWorker *channel = qobject_cast<ChannelWorker *>(worker))
                m_channWorkersList.append(channel);
        } else if (worker->inherits("ChannelMQTTWorker")) {
            m_mqttWorkersList.append(worker);
        }
    }
    connect(thread, &QThread::started, worker, &ThreadWorker::process);
    connect(worker, &ThreadWorker::finished, thread, &QThread::quit);
    connect(worker, &ThreadWorker::finished, worker, &QObject::deleteLater);
    connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
}
