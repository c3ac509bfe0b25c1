#pragma once

#include "ModbusClient.h"

typedef struct _modbus modbus_t;

// The Modbus client on libmodbus. 32-bit registers are not known to the library: they go out as
// raw requests and their replies are checked here.
class LibModbusClient : public ModbusClient
{
public:
    // Takes ownership of the context; isRtu selects exclusive opening of the port.
    LibModbusClient(modbus_t *ctx, bool isRtu);
    // baud: the rate the port must run at; a connect that cannot set it fails (0: not checked).
    LibModbusClient(modbus_t *ctx, bool isRtu, int baud);
    ~LibModbusClient() override;
    LibModbusClient(const LibModbusClient &) = delete;
    LibModbusClient &operator=(const LibModbusClient &) = delete;

    int connect() override;
    void close() override;
    int setSlave(int slave) override;
    void getTimeoutBegin(qint64 *sec, qint64 *usec) override;
    int setTimeoutBegin(qint64 sec, qint64 usec) override;
    int reportSlaveId(quint8 *dest, int maxDest) override;
    int readRegisters(int addr, int nb, quint16 *dest) override;
    int readRegisters32(int addr, int nb, quint16 *dest) override;
    int readRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue) override;
    int readInputRegisters(int addr, int nb, quint16 *dest) override;
    int readInputRegistersAligned(int addr, int nb, quint16 *dest, int registersPerValue) override;
    int writeRegisters(int addr, int nb, const quint16 *src) override;
    int writeRegistersAligned(int addr, int nb, const quint16 *src, int registersPerValue) override;
    int writeRegisters32(int addr, int nb, const quint16 *src) override;

private:
    // Keeps errno of the call that just failed and gives -1.
    int failed();
    int failedWith(int err);
    // Addresses and counts that fit the 16-bit address space; sets EINVAL otherwise.
    bool rangeFits(int addr, int nb);
    // One raw request (unit id and function first) and its checked reply; the reply's bytes from
    // the function code on go to pdu. The length from the function code on, or -1.
    int exchange(const quint8 *request, int length, quint8 *pdu);
    int readChunk32(int addr, int nb, quint16 *dest);
    // One request: the serial input emptied first, and the line recovered after a failure.
    template <typename Call>
    int guarded(Call call);
    // After a failed request: a late reply is waited out and discarded (serial), the input
    // flushed; errno and lastErrno() stay those of the failure.
    void recoverAfterFailure();
    // Reads and drops what arrives until the serial line is quiet for a response time.
    void drainInput();
    // Whether the port runs at m_baud.
    bool speedIsSet(int fd) const;
    int writeChunk32(int addr, int nb, const quint16 *src);

    modbus_t *m_ctx;
    bool m_isRtu;
    int m_slave = -1;
    int m_baud = 0;
};
