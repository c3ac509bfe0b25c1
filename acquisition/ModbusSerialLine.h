#pragma once

#include "ConnectionManager.h"
#include "ModbusLine.h"

// A Modbus RTU line on a serial port. An open context counts as connected.
class ModbusSerialLine : public ModbusLine
{
    Q_OBJECT
public:
    // Copies the settings; no connection is made.
    explicit ModbusSerialLine(const ConnectionManager::SerialConnectionCfg &cfg, QObject *parent = nullptr);

    // Opens the first listed port whose name equals or contains the configured one. 0 or 3.
    int connectLine() override;
    int reportSlaveId(int *slaveId, bool noRetry) override;

protected:
    int noConnectionCode() const override { return SerialNoConnection; }

private:
    int m_slaveId;
    QString m_name;
    QString m_serialPort;
    int m_baudRate;
    char m_parity;
    char m_stopBits;
    int m_timeout;
};
