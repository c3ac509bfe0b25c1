#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QObject>

// The device test of the main program ("pingDevice"): asks one device for its slave id over a
// line of the test's own, made and released within the call, with the settings of the request.
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    // A time-out from the request is held to this range, so a test can never hold its HTTP
    // thread and the handler's Modbus lock for longer.
    static constexpr int MaxTimeoutMs = 60000;

    explicit ModbusEngine(QObject *parent = nullptr);
    ~ModbusEngine() override;

    // "type" "serial" runs the serial test, anything else the TCP test.
    QByteArray pingDevice(const t_GetArray &params);
    QByteArray pingSerialDevice(const t_GetArray &params);
    QByteArray pingTcpDevice(const t_GetArray &params);

    // The request's "timeout" held to 0..MaxTimeoutMs.
    static int requestTimeout(const t_GetArray &params);
};
