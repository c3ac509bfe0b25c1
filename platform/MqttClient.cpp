#include "MqttClient.h"

#include <QSocketNotifier>
#include <QTimer>

#include <mosquitto.h>

#include <mutex>

namespace QMQTT {

namespace {

void initLibrary()
{
    static std::once_flag once;
    std::call_once(once, [] {
        mosquitto_lib_init();
        qRegisterMetaType<QMQTT::Message>("QMQTT::Message");
        qRegisterMetaType<QMQTT::ClientError>("QMQTT::ClientError");
    });
}

// The keep-alive and the library's retries run from this period; a ping is due only every
// keep-alive seconds, so the period only bounds how late it may be.
constexpr int kHousekeepingMs = 1000;
// Reads and writes per notifier wake-up before the event loop gets its turn again.
constexpr int kMaxPacketsPerWake = 64;

} // namespace

Client::Client(const QHostAddress &host, quint16 port, QObject *parent)
    : QObject(parent), m_host(host), m_port(port)
{
    initLibrary();
}

Client::~Client()
{
    m_connected = false;
    dropSession();
}

void Client::dropSession()
{
    delete m_readNotifier;
    m_readNotifier = nullptr;
    delete m_writeNotifier;
    m_writeNotifier = nullptr;
    m_socket = -1;
    if (m_housekeeping)
        m_housekeeping->stop();
    if (m_mosq) {
        mosquitto_destroy(m_mosq);
        m_mosq = nullptr;
    }
    m_pendingSubscriptions.clear();
    m_attempting = false;
}

void Client::connectToHost()
{
    if (m_loopDepth > 0) {
        // Called from one of this client's own signals: the library is still inside its loop.
        QMetaObject::invokeMethod(this, &Client::connectToHost, Qt::QueuedConnection);
        return;
    }
    const bool wasConnected = m_connected;
    m_connected = false;
    dropSession();
    if (wasConnected)
        emit disconnected();

    const QByteArray id = m_clientId.toUtf8();
    m_mosq = mosquitto_new(id.isEmpty() ? nullptr : id.constData(), m_cleanSession || id.isEmpty(), this);
    if (!m_mosq) {
        emit error(UnknownError);
        return;
    }
    mosquitto_int_option(m_mosq, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_connect_callback_set(m_mosq, &Client::onConnectCallback);
    mosquitto_disconnect_callback_set(m_mosq, &Client::onDisconnectCallback);
    mosquitto_subscribe_callback_set(m_mosq, &Client::onSubscribeCallback);
    mosquitto_message_callback_set(m_mosq, &Client::onMessageCallback);

    if (!m_housekeeping) {
        m_housekeeping = new QTimer(this);
        connect(m_housekeeping, &QTimer::timeout, this, &Client::onHousekeeping);
    }
    m_attempting = true;
    // The address is a numeric one, so the library's name look-up returns at once and the
    // socket is non-blocking from the start: the connect completes on the write notifier.
    const QByteArray address = m_host.toString().toLatin1();
    const int rc = mosquitto_connect_async(m_mosq, address.constData(), m_port, m_keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        dropSession();
        emit error(SocketConnectionError);
        return;
    }
    m_housekeeping->start(kHousekeepingMs);
    syncNotifiers();
}

void Client::disconnectFromHost()
{
    if (m_loopDepth > 0) {
        QMetaObject::invokeMethod(this, &Client::disconnectFromHost, Qt::QueuedConnection);
        return;
    }
    const bool wasConnected = m_connected;
    m_connected = false;
    if (m_mosq && wasConnected) {
        mosquitto_disconnect(m_mosq);
        mosquitto_loop_write(m_mosq, 1);
    }
    dropSession();
    if (wasConnected)
        emit disconnected();
}

void Client::subscribe(const QString &topic, quint8 qos)
{
    if (!m_mosq || !m_connected)
        return;
    int mid = 0;
    const QByteArray bytes = topic.toUtf8();
    const int rc = mosquitto_subscribe(m_mosq, &mid, bytes.constData(), qos);
    if (rc != MOSQ_ERR_SUCCESS) {
        emit error(SubscribeError);
        return;
    }
    m_pendingSubscriptions.insert(mid, topic);
    syncNotifiers();
}

void Client::onReadable()
{
    if (!m_mosq)
        return;
    ++m_loopDepth;
    const int rc = mosquitto_loop_read(m_mosq, kMaxPacketsPerWake);
    --m_loopDepth;
    handleResult(rc);
}

void Client::onWritable()
{
    if (!m_mosq)
        return;
    ++m_loopDepth;
    const int rc = mosquitto_loop_write(m_mosq, kMaxPacketsPerWake);
    --m_loopDepth;
    handleResult(rc);
}

void Client::onHousekeeping()
{
    if (!m_mosq)
        return;
    ++m_loopDepth;
    const int rc = mosquitto_loop_misc(m_mosq);
    --m_loopDepth;
    handleResult(rc);
}

void Client::handleResult(int rc)
{
    Q_UNUSED(rc)
    // A failure has already closed the socket and gone through the disconnect callback;
    // all that is left is to follow the socket.
    if (m_mosq && mosquitto_socket(m_mosq) < 0 && !m_connected && !m_attempting)
        dropSession();
    else
        syncNotifiers();
}

void Client::syncNotifiers()
{
    const int sock = m_mosq ? mosquitto_socket(m_mosq) : -1;
    if (sock != m_socket) {
        // The old descriptor is closed already; its notifiers may be the sender of this call.
        if (m_readNotifier) {
            m_readNotifier->setEnabled(false);
            m_readNotifier->deleteLater();
            m_readNotifier = nullptr;
        }
        if (m_writeNotifier) {
            m_writeNotifier->setEnabled(false);
            m_writeNotifier->deleteLater();
            m_writeNotifier = nullptr;
        }
        m_socket = sock;
        if (sock >= 0) {
            m_readNotifier = new QSocketNotifier(sock, QSocketNotifier::Read, this);
            connect(m_readNotifier, &QSocketNotifier::activated, this, &Client::onReadable);
            m_writeNotifier = new QSocketNotifier(sock, QSocketNotifier::Write, this);
            connect(m_writeNotifier, &QSocketNotifier::activated, this, &Client::onWritable);
        }
    }
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(m_mosq && mosquitto_want_write(m_mosq));
}

void Client::onConnectCallback(mosquitto *, void *self, int rc)
{
    Client *client = static_cast<Client *>(self);
    client->m_attempting = false;
    if (rc != 0) {
        // The broker refused; the library keeps the socket until it is dropped.
        emit client->error(ConnectionRefusedError);
        return;
    }
    client->m_connected = true;
    emit client->connected();
}

void Client::onDisconnectCallback(mosquitto *, void *self, int)
{
    Client *client = static_cast<Client *>(self);
    const bool wasConnected = client->m_connected;
    const bool wasAttempting = client->m_attempting;
    client->m_connected = false;
    client->m_attempting = false;
    client->m_pendingSubscriptions.clear();
    if (wasConnected)
        emit client->disconnected();
    else if (wasAttempting)
        emit client->error(SocketConnectionError);
}

void Client::onSubscribeCallback(mosquitto *, void *self, int mid, int count, const int *granted)
{
    Client *client = static_cast<Client *>(self);
    const QString topic = client->m_pendingSubscriptions.take(mid);
    const quint8 qos = (count > 0 && granted) ? quint8(granted[0]) : 0;
    emit client->subscribed(topic, qos);
}

void Client::onMessageCallback(mosquitto *, void *self, const mosquitto_message *message)
{
    Client *client = static_cast<Client *>(self);
    const QByteArray payload(static_cast<const char *>(message->payload), message->payloadlen);
    emit client->received(Message(QString::fromUtf8(message->topic), payload));
}

} // namespace QMQTT
