#pragma once

#include "RequestParams.h"

#include <QByteArray>
#include <QMap>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class ModbusClient;
class QSettings;

namespace vexo {

// The baud value of a baud-rate index of the browser and the saved settings (0 to 10); -1 else.
int baudRateFromIndex(unsigned index);

// Vexo's Modbus master: one device at a time, over a serial port (RTU) or Modbus TCP. Every call
// answers its reply body as JSON text; errors are replies. Not thread-safe: the request handler
// serialises all calls under its Modbus lock. The connection settings live in the native settings
// store of the application (QSettings with no arguments).
class ModbusEngine : public QObject
{
    Q_OBJECT
public:
    explicit ModbusEngine(QObject *parent = nullptr);
    ~ModbusEngine() override;

    QByteArray getPortSettings();
    QByteArray connectModbus(const t_GetArray &params);
    QByteArray connectSerial(const t_GetArray &params);
    QByteArray connectTcp(const t_GetArray &params);
    QByteArray disconnectModbus();
    bool reconnectSerial();
    bool reconnect();
    bool reconnectTcp();

    QByteArray readRegisters(const t_GetArray &params, unsigned attempt);
    QByteArray writeRegisters(const t_GetArray &params, unsigned attempt);
    QByteArray identifySlave(unsigned attempt);

    // The escape used for the device description: JSON's, with the slash escaped too.
    static QString jsonEscape(char c);

    // The pause before each read and write attempt; a benchmark sets it to 0.
    static void setRequestPauseMs(int ms) { s_requestPauseMs = ms; }
    static int requestPauseMs() { return s_requestPauseMs; }

    // The number the firmware loader takes for a port: n of "COMn", else the trailing digits of
    // the device name (ttyUSB3 gives 3), none gives 0.
    static QString loaderPortNumber(const QString &portText);

    static constexpr int MaxValues = 200;
    static constexpr int MaxPrecision = 20;
    static constexpr unsigned MaxRetryAttempt = 2;
    // Time-outs coming from a request or the saved settings are kept to this.
    static constexpr int MaxTimeoutMs = 60000;

private:
    enum class Op { Read, Write, Identify };
    struct Block;

    QByteArray error(const char *name) const;
    // Checks and reads the block parameters shared by read and write; an error reply or empty.
    QByteArray parseBlock(const t_GetArray &params, bool forWrite, Block *block) const;
    // The slave id of the saved settings given to the context; false when the library refuses it.
    bool applySavedSlave(const QSettings &settings);
    bool reconnectTcp(const QSettings &settings);
    // Each request reads the store once; opening it costs more than the values.
    bool startTcpRequest(const QSettings &settings);
    void endTcpRequest();
    bool mayRetry(unsigned attempt);
    // What a failed or mismatching attempt answers: the next attempt's reply, or the final error.
    QByteArray retryOrFail(Op op, int result, int err, unsigned attempt, const t_GetArray &params);
    void releaseContext();
    void applyResponseTimeout(int timeoutMs);
    // Registers moved as one call; a value of two registers never goes into two requests.
    int readBlock(const Block &block, quint16 *dest);
    int writeBlock(const Block &block, const quint16 *src);

    std::unique_ptr<ModbusClient> m_pModbus;
    bool m_connected = false;
    qint16 m_connType = 0;
    QMap<QByteArray, QByteArray> m_errorsMap;

    static std::atomic<int> s_requestPauseMs;
};

} // namespace vexo
