#include "ModbusTCPLine.h"

ModbusTCPLine::ModbusTCPLine(const ConnectionManager::TCPConnectionCfg &cfg, QObject *parent)
    : ModbusLine(parent), m_slaveId(cfg.id), m_name(cfg.name), m_ip(cfg.ip), m_port(cfg.portTCP),
      m_timeout(cfg.timeout)
{
}

int ModbusTCPLine::connectLine()
{
    return Timeout;
}

int ModbusTCPLine::reportSlaveId(int *, bool)
{
    return TcpNoConnection;
}
