#include "MQTTLine.h"

#include "BufferInterface.h"
#include "Stats.h"
#include "StrictJson.h"
#include "ValueFlag.h"

#include <QDateTime>
#include <QDebug>
#include <QJsonObject>

std::atomic<int> MQTTLine::s_checkDelayMs{3000};
std::atomic<int> MQTTLine::s_retryAfterCheckMs{11500};
std::atomic<int> MQTTLine::s_retryAfterLossMs{7000};

namespace {

// Anybody who may publish on a topic writes its payloads: they and the mappings go through the
// one checking reader.
QJsonObject objectOf(const QByteArray &text)
{
    return StrictJson::read(text).object();
}

// A payload member as a reading: a JSON number as it stands, a string that holds a number as
// that number; anything else is no reading.
bool readingOf(const QJsonValue &member, double *value)
{
    if (member.isDouble()) {
        *value = member.toDouble();
        return true;
    }
    if (member.isString()) {
        bool ok = false;
        *value = member.toString().toDouble(&ok);
        return ok;
    }
    return false;
}

} // namespace

MQTTLine::MQTTLine(const ConnectionManager::MQTTConnectionCfg &cfg, BufferInterface *buffer, QObject *parent)
    : QObject(parent), m_cfg(cfg), m_buffer(buffer), m_checkTimer(this), m_retryTimer(this)
{
    m_checkTimer.setSingleShot(true);
    m_retryTimer.setSingleShot(true);
    connect(&m_checkTimer, &QTimer::timeout, this, &MQTTLine::checkIsConnected);
    connect(&m_retryTimer, &QTimer::timeout, this, &MQTTLine::tryToConnect);
}

MQTTLine::~MQTTLine()
{
    qDebug() << "MQTTLine::~MQTTLine()";
    // The client lives in this thread and goes with its line.
    delete m_client;
    m_client = nullptr;
}

void MQTTLine::connectMQTT()
{
    qDebug() << "MQTTLine::connectMQTT() " << m_cfg.ip << ":" << m_cfg.port << "ClientID:" << m_cfg.clientid;
    m_client = new QMQTT::Client(QHostAddress::LocalHost, 1883, nullptr);
    m_client->setHost(QHostAddress(m_cfg.ip));
    m_client->setPort(m_cfg.port);
    m_client->setCleanSession(true);
    m_client->setClientId(m_cfg.clientid);
    connect(m_client, &QMQTT::Client::connected, this, &MQTTLine::onConnected);
    connect(m_client, &QMQTT::Client::disconnected, this, &MQTTLine::onDisconnected);
    connect(m_client, &QMQTT::Client::error, this, &MQTTLine::onError);
    connect(m_client, &QMQTT::Client::subscribed, this, &MQTTLine::onSubscribed);
    connect(m_client, &QMQTT::Client::received, this, &MQTTLine::onReceived);
    connect(m_client, &QObject::destroyed, this, &MQTTLine::onDestroyed);
    tryToConnect();
}

void MQTTLine::tryToConnect()
{
    if (!m_client)
        return;
    m_retryTimer.stop();
    m_client->connectToHost();
    m_checkTimer.start(s_checkDelayMs.load());
}

void MQTTLine::scheduleRetry(int ms)
{
    if (!m_retryTimer.isActive())
        m_retryTimer.start(ms);
}

void MQTTLine::checkIsConnected()
{
    if (!m_client)
        return;
    const bool connected = m_client->isConnectedToHost();
    qDebug() << "MQTTLine::checkIsConnected(): " << connected;
    if (!connected) {
        qDebug() << "MQTT Connection fail! Please try again!";
        setParamsStatus(false);
        scheduleRetry(s_retryAfterCheckMs.load());
    }
}

void MQTTLine::onConnected()
{
    qDebug() << "MQTTLine::onConnected()! " << m_cfg.id << m_cfg.name;
    // An attempt still pending would only drop the connection that now stands.
    m_retryTimer.stop();
    for (const QString &topic : qAsConst(m_cfg.topics))
        m_client->subscribe(topic, 0);
    setParamsStatus(true);
}

void MQTTLine::onDisconnected()
{
    qDebug() << "MQTTLine::onDisconnected()! " << m_cfg.id << m_cfg.name;
    setParamsStatus(false);
    scheduleRetry(s_retryAfterLossMs.load());
}

void MQTTLine::onReceived(const QMQTT::Message &message)
{
    const QString topic = message.topic();
    QByteArray payload = message.payload();
    const int nul = payload.indexOf('\0');
    if (nul >= 0)
        payload.truncate(nul);

    if (!m_cfg.formatByTopic.contains(topic) || !m_cfg.mappingByTopic.contains(topic))
        return;
    const int idDevice = m_cfg.idDeviceByTopic.value(topic, 0);
    if (idDevice == 0)
        return;

    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (g_stats.tryLock()) {
        StatRecord sample;
        sample.lastRespTime = now;
        g_stats.updateStats(QStringLiteral("mqtt"), m_cfg.id, idDevice, sample);
        g_stats.unlock();
    }

    if (m_cfg.formatByTopic.value(topic) != QLatin1String("JSON"))
        return;
    const QJsonObject values = objectOf(payload);
    const QJsonObject mapping = objectOf(m_cfg.mappingByTopic.value(topic).toUtf8());
    if (!m_buffer || mapping.isEmpty() || !m_buffer->tryLock())
        return;
    const QStringList names = mapping.keys();
    for (const QString &name : names) {
        double value = 0.0;
        if (!readingOf(values.value(name), &value))
            continue;
        m_buffer->storeValue(idDevice, mapping.value(name).toInt(0), value, now, ValueFlag::Valid, 0, true);
    }
    m_buffer->unlock();
}

void MQTTLine::setParamsStatus(bool connected)
{
    const int flag = connected ? ValueFlag::NoValueYet : ValueFlag::BrokerNotConnected;
    if (!m_buffer || !m_buffer->tryLock())
        return;
    for (auto it = m_cfg.idDeviceByTopic.constBegin(); it != m_cfg.idDeviceByTopic.constEnd(); ++it) {
        const QJsonObject mapping = objectOf(m_cfg.mappingByTopic.value(it.key()).toUtf8());
        for (auto member = mapping.constBegin(); member != mapping.constEnd(); ++member)
            m_buffer->storeStatus(it.value(), member.value().toInt(0), flag);
    }
    m_buffer->unlock();
}

void MQTTLine::onSubscribed(const QString &topic) { Q_UNUSED(topic) }

void MQTTLine::onDestroyed() {}

void MQTTLine::onError(QMQTT::ClientError error) { Q_UNUSED(error) }

void MQTTLine::disconnectFromBroker()
{
    m_checkTimer.stop();
    m_retryTimer.stop();
    if (m_client) {
        m_client->disconnect(this);
        m_client->disconnectFromHost();
    }
    setParamsStatus(false);
}
