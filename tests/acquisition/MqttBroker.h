#pragma once

// A mosquitto broker of a test's own on a free loopback port, and publishing to it with the
// broker's own command-line client.

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

#include <memory>

class MqttBroker
{
public:
    // dir: the test's temporary folder, for the configuration file. A restart keeps the port.
    bool start(const QString &dir)
    {
        if (m_port == 0)
            m_port = TestEnv::freeTcpPort();
        m_config = dir + QStringLiteral("/mosquitto.conf");
        QFile file(m_config);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        file.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\npersistence false\n"
                                  "log_dest stderr\nlog_type all\n")
                       .arg(m_port)
                       .toUtf8());
        file.close();
        m_process = std::make_unique<PeerProcess>();
        return m_process->start(QStringLiteral("mosquitto"), {QStringLiteral("-c"), m_config}, 20000, " running");
    }

    void stop()
    {
        if (m_process)
            m_process->stop();
        m_process.reset();
    }

    quint16 port() const { return m_port; }
    QByteArray output() { return m_process ? m_process->output() : QByteArray(); }

    // Waits until the broker has acknowledged count subscriptions of the client.
    bool waitSubscribed(const QString &clientId, int count = 1, int timeoutMs = 10000)
    {
        const QByteArray needle = "Sending SUBACK to " + clientId.toUtf8();
        QDeadlineTimer deadline(timeoutMs);
        while (!deadline.hasExpired()) {
            if (output().count(needle) >= count)
                return true;
            QTest::qWait(10);
        }
        return false;
    }

    // Publishes one message with QoS 0 and waits for the client program to end.
    bool publish(const QString &topic, const QByteArray &payload)
    {
        int code = -1;
        TestEnv::runTool(QStringLiteral("mosquitto_pub"),
                         {QStringLiteral("-h"), QStringLiteral("127.0.0.1"), QStringLiteral("-p"),
                          QString::number(m_port), QStringLiteral("-t"), topic, QStringLiteral("-s")},
                         payload, 20000, &code);
        return code == 0;
    }

private:
    quint16 m_port = 0;
    QString m_config;
    std::unique_ptr<PeerProcess> m_process;
};
