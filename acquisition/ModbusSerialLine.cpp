#include "ModbusSerialLine.h"

#include "ModbusClient.h"
#include "SerialPortList.h"

ModbusSerialLine::ModbusSerialLine(const ConnectionManager::SerialConnectionCfg &cfg, QObject *parent)
    : ModbusLine(parent), m_slaveId(cfg.id), m_name(cfg.name), m_serialPort(cfg.serialPort),
      m_baudRate(cfg.baudRate), m_parity(cfg.parity), m_stopBits(cfg.stopBits), m_timeout(cfg.timeout)
{
}

int ModbusSerialLine::connectLine()
{
    // Every name contains the empty text: an unset port would open whatever is listed first.
    if (m_serialPort.isEmpty())
        return SerialNoConnection;
    const QList<SerialPortList::Port> ports = SerialPortList::getPorts();
    QString portName;
    for (const SerialPortList::Port &port : ports) {
        if (port.portName == m_serialPort || port.portName.contains(m_serialPort)) {
            portName = port.portName;
            break;
        }
    }
    if (portName.isEmpty() || portName.startsWith(QLatin1String("LPT")))
        return SerialNoConnection;

    m_ctx.reset();
    std::unique_ptr<ModbusClient> ctx = ModbusClient::newRtu(portName.toLatin1(), m_baudRate, m_parity, 8, m_stopBits);
    if (!ctx || ctx->connect() == -1)
        return SerialNoConnection;
    m_ctx = std::move(ctx);
    applyTimeout(m_timeout);
    return Success;
}

int ModbusSerialLine::reportSlaveId(int *slaveId, bool noRetry)
{
    Q_UNUSED(noRetry)
    return identifyOnce(m_slaveId, slaveId);
}
