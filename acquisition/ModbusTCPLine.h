#pragma once

#include "ConnectionManager.h"
#include "ModbusLine.h"

// A Modbus TCP line. A line whose probe connect succeeded counts as connected even when the
// library's own connect then fails: the next request reports it. A port outside 1..65535 fails
// every connect, as an unreachable server does.
class ModbusTCPLine : public ModbusLine
{
    Q_OBJECT
public:
    // Copies the settings; no connection is made.
    explicit ModbusTCPLine(const ConnectionManager::TCPConnectionCfg &cfg, QObject *parent = nullptr);

    // Probes the server for at most the time-out, then opens the context. 0 or 5.
    int connectLine() override;
    int reportSlaveId(int *slaveId, bool noRetry) override;

protected:
    int noConnectionCode() const override { return TcpNoConnection; }

private:
    int m_slaveId;
    QString m_name;
    QString m_ip;
    int m_port;
    int m_timeout;
};
