#pragma once

#include <QString>

// One device that answered a search.
class DeviceRecord
{
public:
    QString name;      // first line of the reply, trimmed
    QString ip;        // sender address as QHostAddress::toString gives it
    QString mac;       // second line of the reply, trimmed
    int port = 502;    // Modbus TCP port, 502 when missing or not a positive number
    int modbusId = 1;  // Modbus id, 1 when missing or not a positive number

    // {"name":"..","ip":"..","port":"..","mac":"..","modbusid":".."}: every value a string, an
    // IPv4 sender shown without its "::ffff:" prefix.
    QString toJson() const;
};
