#pragma once

#include "ConnectionManager.h"
#include "MqttClient.h"

#include <QObject>
#include <QTimer>

#include <atomic>

class BufferInterface;

// The subscriber connection of one MQTT broker: subscribes the topics of the connection's
// active devices, turns every JSON message on a known topic into readings of the value
// buffer, marks the connection's values 1 (connected) or 7 (not connected), and connects again
// on its own timers. Lives, with its client, in the thread of its ChannelMQTTWorker.
class MQTTLine : public QObject
{
    Q_OBJECT
public:
    // Timings in ms; tests shorten them before a line is created.
    static std::atomic<int> s_checkDelayMs;      // after an attempt, until the connection is checked
    static std::atomic<int> s_retryAfterCheckMs; // after a failed check
    static std::atomic<int> s_retryAfterLossMs;  // after a lost connection

    MQTTLine(const ConnectionManager::MQTTConnectionCfg &cfg, BufferInterface *buffer, QObject *parent = nullptr);
    ~MQTTLine() override;

    void connectMQTT();
    void setParamsStatus(bool connected);
    // Closes the connection for good: the client no longer signals the line and no attempt
    // stays pending; the values are marked 7.
    void disconnectFromBroker();

    bool isRetryPending() const { return m_retryTimer.isActive(); }

public slots:
    void checkIsConnected();
    void onConnected();
    void onDisconnected();
    void onReceived(const QMQTT::Message &message);
    void onSubscribed(const QString &topic);
    void onDestroyed();
    void onError(QMQTT::ClientError error);
    void tryToConnect();

private:
    // At most one attempt is pending: a second reason to try again keeps the earlier one.
    void scheduleRetry(int ms);

    ConnectionManager::MQTTConnectionCfg m_cfg;
    QMQTT::Client *m_client = nullptr;
    BufferInterface *m_buffer = nullptr;
    QTimer m_checkTimer;
    QTimer m_retryTimer;
};
