#pragma once

#include "ReadIteration.h"

#include <QObject>

#include <memory>

class BufferInterface;
class ModbusClient;

// The master end of one Modbus connection. A line is used by one thread at a time (its channel
// worker, or a device test); it holds no lock of its own and reports every failure as a result code.
class ModbusLine : public QObject
{
    Q_OBJECT
public:
    // Result codes of connectLine, reportSlaveId and readBlock.
    enum : int {
        Success = 0,
        BadReply = 1,            // the reply had another count or content than asked for
        BlockTooLarge = 2,       // more than MaxBlockValues values, or none: nothing sent
        SerialNoConnection = 3,  // serial port not listed, an "LPT" port, or it fails to open
        TcpNoConnection = 4,     // the TCP connect failed before a read or identification
        Timeout = 5,             // the library timed out; also the TCP line's own connect failure
        OtherError = 6,          // any other library failure
        // Not a device result: the block was read, but the value buffer's lock was not had within
        // its wait, so nothing was stored and the buffer keeps its values. The line is sound: the
        // caller neither reconnects nor flags the block, and just goes on with the next one.
        BufferBusy = 7,
    };

    static constexpr int MaxBlockValues = 200;

    // One decoded value; time is left 0 (the caller stamps the pass's time).
    struct DecodedValue
    {
        double value = 0.0;
        qint64 time = 0;
        int flag = 0;
    };

    explicit ModbusLine(QObject *parent = nullptr);
    ~ModbusLine() override;

    // Opens the connection. Serial: 0 or 3. TCP: 0 or 5.
    virtual int connectLine() = 0;
    // Closes and releases the context if there is one. Always 0.
    virtual int disconnectLine();
    // Asks the line's slave for its identification; on success *slaveId is the first byte of the
    // reply's data. Codes 0, 1, 3 (serial), 4 (TCP), 5, 6. noRetry: the TCP line tries a bad or
    // failed identification once more after connecting again, unless noRetry.
    virtual int reportSlaveId(int *slaveId, bool noRetry) = 0;
    // Reads one block and stores its values with their flags in buffer, every value with timestamp.
    // Opens the line first when it is closed. Codes 0..6, or BufferBusy. extra is not used.
    virtual int readBlock(const ReadIteration &block, BufferInterface *buffer, qint64 timestamp, int extra);
    // Whether readBlock has already stored a failed block's values, flagged, when it returns
    // code: a request that failed on an open line (1, 5, 6) is; a line that could not connect
    // and a block too large to ask for store nothing.
    static bool flagsFailedBlock(int code) { return code == BadReply || code == Timeout || code == OtherError; }

    // Value number index of the block, decoded from the words as read; flag 0, or 2 for a float
    // marker. The caller makes sure that wordsUsed(block, index) words were received.
    static DecodedValue decodeValue(const ReadIteration &block, const quint16 *words, int index);
    // How many words from the start of the reply decoding value index reads.
    static int wordsUsed(const ReadIteration &block, int index);

    bool isOpen() const { return m_ctx != nullptr; }

protected:
    // The code a line gives when it cannot connect before a request: 3 serial, 4 TCP.
    virtual int noConnectionCode() const = 0;
    // The code of a failed library call, from the errno read right after it: 5 or 6.
    int failureCode() const;
    // Sets the reply time-out of the held context to timeoutMs; 0 or less keeps the default.
    void applyTimeout(int timeoutMs);
    // One report-slave-id request on the held context (opened first when closed); no retry.
    int identifyOnce(int slaveIdToAsk, int *slaveId);

    std::unique_ptr<ModbusClient> m_ctx;
};
