#include "ModbusEngine.h"

#include "ConnectionManager.h"
#include "JsonReply.h"
#include "ModbusSerialLine.h"
#include "ModbusTCPLine.h"

namespace {

int toInt(const t_GetArray &params, const QByteArray &name)
{
    return RequestParams::raw(params, name).toInt(nullptr, 10);
}

QByteArray identify(ModbusLine &line, const QString &noConnectionMessage)
{
    if (line.connectLine() != ModbusLine::Success)
        return buildErrorJson(noConnectionMessage);
    int slaveId = 0;
    const int code = line.reportSlaveId(&slaveId, false);
    line.disconnectLine();
    if (code == ModbusLine::Success)
        return buildSuccessJson(QString::number(slaveId));
    if (code == ModbusLine::Timeout)
        return buildErrorJson(QStringLiteral("Device didn't respond in allowed time."));
    return buildErrorJson(QStringLiteral("Invalid response."), QString::number(code));
}

} // namespace

ModbusEngine::ModbusEngine(QObject *parent) : QObject(parent) {}

ModbusEngine::~ModbusEngine() = default;

int ModbusEngine::requestTimeout(const t_GetArray &params)
{
    bool ok = false;
    const qlonglong value = RequestParams::raw(params, "timeout").toLongLong(&ok, 10);
    return ok ? int(qBound<qlonglong>(0, value, MaxTimeoutMs)) : 0;
}

QByteArray ModbusEngine::pingDevice(const t_GetArray &params)
{
    if (RequestParams::raw(params, "type") == "serial")
        return pingSerialDevice(params);
    return pingTcpDevice(params);
}

QByteArray ModbusEngine::pingSerialDevice(const t_GetArray &params)
{
    ConnectionManager::SerialConnectionCfg cfg;
    cfg.id = toInt(params, "ModbusId");
    cfg.serialPort = RequestParams::text(params, "serialPort");
    cfg.baudRate = toInt(params, "baudRate");
    const QByteArray parity = RequestParams::raw(params, "parity");
    cfg.parity = parity.isEmpty() ? '\0' : parity.at(0);
    cfg.stopBits = char(toInt(params, "stopBits"));
    cfg.timeout = requestTimeout(params);
    // The line belongs to this call and this thread alone: no parent, released on return.
    ModbusSerialLine line(cfg);
    return identify(line, QStringLiteral("Unable to connect with serial port."));
}

QByteArray ModbusEngine::pingTcpDevice(const t_GetArray &params)
{
    ConnectionManager::TCPConnectionCfg cfg;
    cfg.id = toInt(params, "ModbusId");
    cfg.ip = RequestParams::text(params, "ip");
    cfg.portTCP = RequestParams::raw(params, "portTCP").toUShort(nullptr, 10);
    cfg.timeout = requestTimeout(params);
    ModbusTCPLine line(cfg);
    return identify(line, QStringLiteral("Unable to connect to host."));
}
