#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <memory>

// One Modbus master context (RTU on a serial port, or TCP), the only door to the Modbus library.
// Every call that fails returns -1 and keeps the errno read right after the failure (lastErrno());
// a call larger than one request allows is split here, so callers see one call for the whole count.
// After a failed request and after every connect the input is emptied, so a late reply is never
// taken as the answer to the next request.
class ModbusClient
{
public:
    // What one request carries at most. A 32-bit register takes four bytes on the wire; a write
    // request has five header bytes more than a read reply, hence one register less.
    static constexpr int MaxReadRegisters = 125;
    static constexpr int MaxWriteRegisters = 123;
    static constexpr int MaxReadRegisters32 = 62;
    static constexpr int MaxWriteRegisters32 = 61;
    // Large enough for the longest report-slave-id reply.
    static constexpr int ReportSlaveIdBufferSize = 256;

    virtual ~ModbusClient() = default;

    // An RTU context on a port path; null when the library refuses the settings.
    static std::unique_ptr<ModbusClient> newRtu(const QByteArray &port, int baud, char parity, int dataBits,
                                                int stopBits);
    // A TCP context on a host name or address; null when refused.
    static std::unique_ptr<ModbusClient> newTcp(const QByteArray &host, quint16 port);

    // Opens the connection; a serial port is taken exclusively, a second opener fails, and a
    // rate that the port cannot be set to fails (EINVAL). Whatever waits unread is dropped. 0 or -1.
    virtual int connect() = 0;
    // Closes the connection; the context can connect again.
    virtual void close() = 0;
    // Unit address of the following requests. 0 or -1.
    virtual int setSlave(int slave) = 0;
    // The time allowed for the start of a reply, as whole seconds and the rest in µs.
    virtual void getTimeoutBegin(qint64 *sec, qint64 *usec) = 0;
    // Sets it; µs beyond a second carry into the seconds. No time at all (0 or less) keeps the
    // library's default of 500 ms. 0 or -1.
    virtual int setTimeoutBegin(qint64 sec, qint64 usec) = 0;
    // Report slave id: the bytes after the byte count, at most maxDest of them; their count or -1.
    virtual int reportSlaveId(quint8 *dest, int maxDest) = 0;
    // Holding registers (function 3) into nb words; nb or -1.
    virtual int readRegisters(int addr, int nb, quint16 *dest) = 0;
    // The same for values of registersPerValue registers each: a split never puts the registers
    // of one value into two requests, which the device may answer at two different moments.
    virtual int readRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue) = 0;
    // Holding registers 32 bits wide (function 3, four bytes each, big-endian on the wire) into
    // 2 × nb words, low word first. The count of registers received when the reply is well formed
    // but shorter, or -1 (exception reply, wrong unit or byte count, time-out).
    virtual int readRegisters32(int addr, int nb, quint16 *dest) = 0;
    // Input registers (function 4) into nb words; nb or -1.
    virtual int readInputRegisters(int addr, int nb, quint16 *dest) = 0;
    virtual int readInputRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue) = 0;
    // Holding registers (function 16) from nb words; nb or -1.
    virtual int writeRegisters(int addr, int nb, const quint16 *src) = 0;
    virtual int writeRegistersAligned(int addr, int nb, const quint16 *src, int registersPerValue) = 0;
    // 32-bit holding registers (function 16, four bytes each) from 2 × nb words, low word first.
    virtual int writeRegisters32(int addr, int nb, const quint16 *src) = 0;

    // errno as it was right after the last failing call.
    int lastErrno() const { return m_lastErrno; }
    bool lastFailureWasTimeout() const { return isTimeoutErrno(m_lastErrno); }
    // ETIMEDOUT, EIO and the socket time-out code 10060 count as a time-out.
    static bool isTimeoutErrno(int err);
    // The library's text for an errno value.
    static QString strerror(int err);

protected:
    int m_lastErrno = 0;
};
