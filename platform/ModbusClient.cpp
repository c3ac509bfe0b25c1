#include "ModbusClient.h"

#include "LibModbusClient.h"

#include <cerrno>

#include <modbus.h>

std::unique_ptr<ModbusClient> ModbusClient::newRtu(const QByteArray &port, int baud, char parity, int dataBits,
                                                   int stopBits)
{
    modbus_t *ctx = modbus_new_rtu(port.constData(), baud, parity, dataBits, stopBits);
    if (!ctx)
        return nullptr;
    return std::make_unique<LibModbusClient>(ctx, true, baud);
}

std::unique_ptr<ModbusClient> ModbusClient::newTcp(const QByteArray &host, quint16 port)
{
    modbus_t *ctx = modbus_new_tcp_pi(host.constData(), QByteArray::number(port).constData());
    if (!ctx)
        return nullptr;
    return std::make_unique<LibModbusClient>(ctx, false);
}

bool ModbusClient::isTimeoutErrno(int err)
{
    return err == ETIMEDOUT || err == EIO || err == 10060;
}

QString ModbusClient::strerror(int err)
{
    return QString::fromLatin1(modbus_strerror(err));
}
