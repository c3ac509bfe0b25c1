#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

// The serial and TCP connections of the configuration.
class ConnectionManager : public QObject
{
    Q_OBJECT
public:
    // One serial connection, copied by value.
    struct SerialConnectionCfg
    {
        int id = 0;          // idSerialConnections while polling; the slave id in the device test
        QString name;
        QString serialPort;  // as configured
        int baudRate = 9600;
        char parity = 'N';   // 'N', 'E' or 'O'
        char stopBits = 1;   // 1 or 2
        int timeout = 1000;  // response time-out, ms
    };

    // One TCP connection, copied by value.
    struct TCPConnectionCfg
    {
        int id = 0;          // idTCPConnections while polling; the unit id in the device test
        QString name;
        QString ip;          // address or host name
        quint16 portTCP = 502;
        int timeout = 1000;  // connect and response time-out, ms
    };

    // One MQTT broker with the topics of its active devices, copied by value. A topic that two
    // devices share is listed twice; the tables hold the last of them.
    struct MQTTConnectionCfg
    {
        int id = 0;          // idMQTTConnections; the channel id in the statistics
        QString name;
        QString ip;          // a numeric address, never looked up as a host name
        quint16 port = 1883;
        QString clientid;
        QStringList topics;
        QHash<QString, int> idDeviceByTopic;
        QHash<QString, QString> formatByTopic;
        QHash<QString, QString> mappingByTopic; // JSON object: payload member -> register address
    };

    explicit ConnectionManager(QObject *parent = nullptr) : QObject(parent) {}
};
