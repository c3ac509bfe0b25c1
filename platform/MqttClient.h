#pragma once

#include "MqttMessage.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QSocketNotifier;
class QTimer;
struct mosquitto;
struct mosquitto_message;

namespace QMQTT {

enum ClientError {
    UnknownError = 0,
    SocketConnectionError, // the broker could not be reached or the connection broke
    ConnectionRefusedError, // the broker answered the connect with a refusal
    SubscribeError,
};

// An MQTT 3.1.1 subscriber on libmosquitto, driven entirely by the event loop of the thread it
// lives in: socket notifiers for the traffic, a timer for the keep-alive, an asynchronous
// connect. No thread of its own, no blocking call, and every signal is emitted in the owner's
// thread. Clean session, no user name, QoS 0. It never reconnects by itself: the owner decides
// when to call connectToHost() again, so at most one attempt is ever under way.
class Client : public QObject
{
    Q_OBJECT
public:
    Client(const QHostAddress &host = QHostAddress::LocalHost, quint16 port = 1883, QObject *parent = nullptr);
    ~Client() override;

    void setHost(const QHostAddress &host) { m_host = host; }
    QHostAddress host() const { return m_host; }
    void setPort(quint16 port) { m_port = port; }
    quint16 port() const { return m_port; }
    void setClientId(const QString &clientId) { m_clientId = clientId; }
    QString clientId() const { return m_clientId; }
    void setCleanSession(bool clean) { m_cleanSession = clean; }
    bool cleanSession() const { return m_cleanSession; }
    void setKeepAlive(int seconds) { m_keepAlive = seconds; }

    // Starts a connection attempt and returns at once; connected() or error() follows.
    // An attempt or a connection that stands is dropped first.
    void connectToHost();
    // Closes the connection; disconnected() follows when it stood.
    void disconnectFromHost();
    bool isConnectedToHost() const { return m_connected; }
    // Only while connected; subscribed() follows the broker's acknowledgement.
    void subscribe(const QString &topic, quint8 qos = 0);

signals:
    void connected();
    void disconnected();
    void error(QMQTT::ClientError error);
    void subscribed(const QString &topic, quint8 qos);
    void received(const QMQTT::Message &message);

private slots:
    void onReadable();
    void onWritable();
    void onHousekeeping();

private:
    static void onConnectCallback(mosquitto *mosq, void *self, int rc);
    static void onDisconnectCallback(mosquitto *mosq, void *self, int rc);
    static void onSubscribeCallback(mosquitto *mosq, void *self, int mid, int count, const int *granted);
    static void onMessageCallback(mosquitto *mosq, void *self, const mosquitto_message *message);

    void dropSession();
    void handleResult(int rc);
    // Follows the library's socket: notifiers on the current descriptor, writes wanted or not.
    void syncNotifiers();

    QHostAddress m_host;
    quint16 m_port;
    QString m_clientId;
    bool m_cleanSession = true;
    int m_keepAlive = 60;

    mosquitto *m_mosq = nullptr;
    int m_socket = -1;
    QSocketNotifier *m_readNotifier = nullptr;
    QSocketNotifier *m_writeNotifier = nullptr;
    QTimer *m_housekeeping = nullptr;
    bool m_connected = false;
    bool m_attempting = false;
    int m_loopDepth = 0;
    QHash<int, QString> m_pendingSubscriptions; // message id -> topic
};

} // namespace QMQTT
