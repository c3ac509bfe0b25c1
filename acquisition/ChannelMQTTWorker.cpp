#include "ChannelMQTTWorker.h"

#include "MQTTLine.h"
#include "ReadBuffer.h"

#include <QDebug>
#include <QMetaObject>
#include <QThread>

ChannelMQTTWorker::ChannelMQTTWorker(const ConnectionManager::MQTTConnectionCfg &mqttCfg, ReadBuffer *buffer)
    : ThreadWorker(nullptr), m_mqttCfg(mqttCfg), m_buffer(buffer)
{
    qDebug() << "ChannelMQTTWorker::ChannelMQTTWorker(ConnectionManager::MQTTConnectionCfg &mqttCfg)";
    qDebug() << "m_mqttCfg topics.size:" << m_mqttCfg.topics.size();
    for (const QString &topic : qAsConst(m_mqttCfg.topics))
        qDebug() << "topic:" << topic;
}

ChannelMQTTWorker::~ChannelMQTTWorker()
{
    // Only when the thread ended without quit(): the line was made in that thread.
    delete m_line;
}

void ChannelMQTTWorker::process()
{
    m_line = new MQTTLine(m_mqttCfg, m_buffer, nullptr);
    m_line->connectMQTT();
}

void ChannelMQTTWorker::stop()
{
    if (m_line)
        m_line->disconnectFromBroker();
}

void ChannelMQTTWorker::visualTimerExpired(qint64 timestamp) { Q_UNUSED(timestamp) }

void ChannelMQTTWorker::quit(qint64 timestamp)
{
    Q_UNUSED(timestamp)
    qDebug() << "ChannelMQTTWorker::quit(qint64 timestamp)";
    if (m_finished.exchange(true))
        return;
    QThread *own = thread();
    if (own == QThread::currentThread() || !own->isRunning()) {
        finishInThread();
        return;
    }
    // The client belongs to the worker's thread: it is closed and released there, and every
    // message handler has run to its end when this returns.
    QMetaObject::invokeMethod(this, "finishInThread", Qt::BlockingQueuedConnection);
}

void ChannelMQTTWorker::finishInThread()
{
    if (m_line) {
        m_line->disconnectFromBroker();
        delete m_line;
        m_line = nullptr;
    }
    emit finished();
}
