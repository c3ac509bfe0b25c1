#include "ModbusClient.h"

#include <cerrno>

#include <modbus.h>

std::unique_ptr<ModbusClient> ModbusClient::newRtu(const QByteArray &, int, char, int, int)
{
    return nullptr;
}

std::unique_ptr<ModbusClient> ModbusClient::newTcp(const QByteArray &, quint16)
{
    return nullptr;
}

bool ModbusClient::isTimeoutErrno(int err)
{
    return err == ETIMEDOUT || err == EIO || err == 10060;
}

QString ModbusClient::strerror(int err)
{
    return QString::fromLatin1(modbus_strerror(err));
}
