#pragma once

#include <QByteArray>
#include <QMetaType>
#include <QString>

namespace QMQTT {

// One publication received on a subscribed topic.
class Message
{
public:
    Message() = default;
    Message(const QString &topic, const QByteArray &payload) : m_topic(topic), m_payload(payload) {}

    QString topic() const { return m_topic; }
    QByteArray payload() const { return m_payload; }

private:
    QString m_topic;
    QByteArray m_payload;
};

} // namespace QMQTT

Q_DECLARE_METATYPE(QMQTT::Message)
