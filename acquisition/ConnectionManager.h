#pragma once

#include "RequestParams.h"

#include <QByteArray>
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
        int portTCP = 502;   // as stored; a line refuses one outside 1..65535
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

    // --- Configuration calls of the browser (connection tables) ---------------------------------
    // Every call runs on this thread's database connection and returns the reply body. Values
    // from the request are bound, never spliced into the statements.

    // Creates any of the three connection tables that the open database lacks.
    explicit ConnectionManager(QObject *parent = nullptr);

    // "cfg_getConfiguredConnection": {"serial":[...],"tcp":[...],"mqtt":[...]}, every value a string.
    QByteArray getConfiguredConnection();
    QByteArray addNewSerialConnection(const t_GetArray &params);
    QByteArray editSerialConnection(const t_GetArray &params);
    QByteArray removeSerialConnection(const t_GetArray &params);
    QByteArray addNewTcpConnection(const t_GetArray &params);
    QByteArray editTcpConnection(const t_GetArray &params);
    QByteArray removeTcpConnection(const t_GetArray &params);
    QByteArray addNewMqttConnection(const t_GetArray &params);
    QByteArray editMqttConnection(const t_GetArray &params);
    QByteArray removeMqttConnection(const t_GetArray &params);

    // Each creates its table from the schema; true when the statement succeeded.
    bool createSerialConnectionsTable();
    bool createTcpConnectionsTable();
    bool createMqttConnectionsTable();
    // Looks the three tables up in order and creates a missing one; stops at the first failure.
    bool createTablesIfMissing();
    // --- end of the configuration calls ---------------------------------------------------------
};
