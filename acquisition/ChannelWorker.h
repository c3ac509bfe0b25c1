#pragma once

#include "ConnectionManager.h"
#include "ReadIteration.h"
#include "Stats.h"
#include "ThreadWorker.h"

#include <QString>

#include <atomic>

class ModbusLine;
class ReadBuffer;
class ReadIterations;

// Polls one serial or TCP connection from a thread of its own: on every tick it reads the
// blocks of the connection's plan once, in plan order, and stores each value with its flag in
// the read buffer. A device that fails is read once per pass: its further blocks are flagged
// without a read, and the line is connected anew before the next block.
class ChannelWorker : public ThreadWorker
{
    Q_OBJECT
public:
    // plan and buffer are not owned; no parent, so that the worker can move to its thread.
    ChannelWorker(const ConnectionManager::SerialConnectionCfg &cfg, ReadIterations *plan, ReadBuffer *buffer);
    ChannelWorker(const ConnectionManager::TCPConnectionCfg &cfg, ReadIterations *plan, ReadBuffer *buffer);
    ~ChannelWorker() override;

    void stop() override {}

    // The serial port of a serial worker, the ip of a TCP one.
    QString lineKey() const;
    // This worker's key in g_lineReady. Two connections may share a line key (two ports on one
    // ip); each worker still has a flag of its own, so no pass is ever queued to a busy worker.
    QString readyKey() const;
    // Main thread: queues one pass with the tick's time when the worker is idle and marks it
    // busy in the same step; false (nothing queued) while a pass is queued or running.
    bool queuePass(qint64 timestamp);

    // Main thread, at polling stop: the running pass skips its remaining blocks; then, in the
    // worker's thread and after that pass, session-break rows at timestamp + 1000 ms, the line is
    // closed and released and finished() ends the thread. Returns when that is done, so the
    // worker never touches the buffer afterwards.
    void quit(qint64 timestamp);

    // Stores 0 with the flag of the line result code at every value address of the block.
    void markBlockError(const ReadIteration &block, ReadBuffer *buffer, qint64 timestamp, int code);
    // Flag-6 rows for every value address of the plan, when anything was archived.
    void insertSessionBreaks(qint64 timestamp);

    // The pause before every read block but the plan's first: modbusIterDelay + 20 ms, never negative.
    static qint64 blockPauseMs();
    // 2 when each value takes two 16-bit registers, else 1.
    static int addressStep(const ReadIteration &block);

public slots:
    void process() override;
    void visualTimerExpired(qint64 timestamp);

private slots:
    void finishInThread(qint64 timestamp);

private:
    int connectionId() const;
    void pauseUnlessQuitting(qint64 ms);
    void handOverStats(int deviceId, const StatRecord &record);

    QString m_type;
    ConnectionManager::SerialConnectionCfg m_serialCfg;
    ConnectionManager::TCPConnectionCfg m_tcpCfg;
    ReadIterations *m_pReadIterations = nullptr;
    ReadBuffer *m_pBuffer = nullptr;
    ModbusLine *m_pLine = nullptr;
    std::atomic<bool> m_quitting{false};
    std::atomic<bool> m_finished{false};
};
