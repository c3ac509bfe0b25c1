#pragma once

#include "ConnectionManager.h"
#include "ThreadWorker.h"

#include <atomic>

class MQTTLine;
class ReadBuffer;

// Runs the MQTT line of one broker connection in a thread of its own while polling runs.
class ChannelMQTTWorker : public ThreadWorker
{
    Q_OBJECT
public:
    // buffer is not owned; no parent, so that the worker can move to its thread.
    ChannelMQTTWorker(const ConnectionManager::MQTTConnectionCfg &mqttCfg, ReadBuffer *buffer);
    ~ChannelMQTTWorker() override;

    void stop() override;

    // Main thread, at polling stop: in the worker's thread the line is disconnected and
    // released with its client, then finished() ends the thread. Returns when that is done, so
    // no message is stored into the buffer afterwards.
    void quit(qint64 timestamp);

    const ConnectionManager::MQTTConnectionCfg &config() const { return m_mqttCfg; }

public slots:
    void process() override;
    void visualTimerExpired(qint64 timestamp);

private slots:
    void finishInThread();

private:
    ConnectionManager::MQTTConnectionCfg m_mqttCfg;
    MQTTLine *m_line = nullptr;
    ReadBuffer *m_buffer = nullptr;
    std::atomic<bool> m_finished{false};
};
