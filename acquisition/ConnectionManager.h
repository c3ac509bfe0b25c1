#pragma once

#include <QObject>
#include <QString>

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

    explicit ConnectionManager(QObject *parent = nullptr) : QObject(parent) {}
};
