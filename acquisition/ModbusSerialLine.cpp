#include "ModbusSerialLine.h"

ModbusSerialLine::ModbusSerialLine(const ConnectionManager::SerialConnectionCfg &cfg, QObject *parent)
    : ModbusLine(parent), m_slaveId(cfg.id), m_name(cfg.name), m_serialPort(cfg.serialPort),
      m_baudRate(cfg.baudRate), m_parity(cfg.parity), m_stopBits(cfg.stopBits), m_timeout(cfg.timeout)
{
}

int ModbusSerialLine::connectLine()
{
    return SerialNoConnection;
}

int ModbusSerialLine::reportSlaveId(int *, bool)
{
    return SerialNoConnection;
}
