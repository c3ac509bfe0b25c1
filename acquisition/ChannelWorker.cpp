#include "ChannelWorker.h"

#include "LineReady.h"
#include "ModbusSerialLine.h"
#include "ModbusTCPLine.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "ValueFlag.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QThread>

namespace {
// Blocks of this type are placeholders of the plan: never read, never flagged.
constexpr int kSkippedRegType = 18;
} // namespace

ChannelWorker::ChannelWorker(const ConnectionManager::SerialConnectionCfg &cfg, ReadIterations *plan,
                             ReadBuffer *buffer)
    : ThreadWorker(nullptr), m_type(QStringLiteral("serial")), m_serialCfg(cfg), m_pReadIterations(plan),
      m_pBuffer(buffer)
{
}

ChannelWorker::ChannelWorker(const ConnectionManager::TCPConnectionCfg &cfg, ReadIterations *plan,
                             ReadBuffer *buffer)
    : ThreadWorker(nullptr), m_type(QStringLiteral("tcp")), m_tcpCfg(cfg), m_pReadIterations(plan),
      m_pBuffer(buffer)
{
}

ChannelWorker::~ChannelWorker()
{
    if (m_pLine) {
        m_pLine->disconnectLine();
        delete m_pLine;
        m_pLine = nullptr;
    }
}

QString ChannelWorker::lineKey() const
{
    return m_type == QLatin1String("serial") ? m_serialCfg.serialPort : m_tcpCfg.ip;
}

QString ChannelWorker::readyKey() const
{
    return lineKey() + QLatin1Char('#') + m_type + QLatin1Char('#') + QString::number(connectionId());
}

int ChannelWorker::connectionId() const
{
    return m_type == QLatin1String("serial") ? m_serialCfg.id : m_tcpCfg.id;
}

bool ChannelWorker::queuePass(qint64 timestamp)
{
    if (!g_lineReady.claim(readyKey()))
        return false;
    if (!QMetaObject::invokeMethod(this, "visualTimerExpired", Qt::QueuedConnection, Q_ARG(qint64, timestamp))) {
        g_lineReady.setReady(readyKey(), true);
        return false;
    }
    return true;
}

qint64 ChannelWorker::blockPauseMs()
{
    const qint64 pause = qint64(g_settings.modbusIterDelay.load()) + 20;
    return pause > 0 ? pause : 0;
}

int ChannelWorker::addressStep(const ReadIteration &block)
{
    return (block.regSize == 16 && block.valSize == 32) ? 2 : 1;
}

void ChannelWorker::pauseUnlessQuitting(qint64 ms)
{
    // In slices, so that a stop does not sit out a long pause before the pass can end.
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        const qint64 leftUs = ms * 1000 - timer.nsecsElapsed() / 1000;
        if (leftUs <= 0 || m_quitting)
            return;
        QThread::usleep(static_cast<unsigned long>(qMin<qint64>(leftUs, 50000)));
    }
}

void ChannelWorker::process()
{
    qDebug().noquote() << "Hello World from " + lineKey();
    if (m_type == QLatin1String("serial"))
        m_pLine = new ModbusSerialLine(m_serialCfg, nullptr);
    else
        m_pLine = new ModbusTCPLine(m_tcpCfg, nullptr);
    // A failed connect is not reported: every failed read connects again.
    m_pLine->connectLine();
    g_lineReady.setReady(readyKey(), true);
}

void ChannelWorker::handOverStats(int deviceId, const StatRecord &record)
{
    g_stats.updateStats(m_type, connectionId(), deviceId, record);
}

void ChannelWorker::visualTimerExpired(qint64 timestamp)
{
    const QString key = readyKey();
    g_lineReady.setReady(key, false);
    const int n = m_pReadIterations ? m_pReadIterations->count() : 0;
    if (n == 0) {
        g_lineReady.setReady(key, true);
        return;
    }
    int curDeviceId = m_pReadIterations->at(0).idDevice;
    StatRecord record;
    int lastFailedModbusId = -1;
    int lastFailedResult = 0;
    bool endedEarly = false;

    for (int i = 0; i < n; ++i) {
        const ReadIteration &block = m_pReadIterations->at(i);
        if (block.regType == kSkippedRegType)
            continue;
        if (m_quitting || !m_pLine) {
            qDebug() << "**** connection marked for deletion (readRegisters skipped)";
            continue;
        }
        if (block.ModbusId == lastFailedModbusId) {
            markBlockError(block, m_pBuffer, timestamp, lastFailedResult);
            continue;
        }
        if (i > 0) {
            pauseUnlessQuitting(blockPauseMs());
            if (m_quitting) {
                qDebug() << "**** connection marked for deletion (readRegisters skipped)";
                continue;
            }
        }
        if (block.idDevice != curDeviceId && g_stats.tryLock()) {
            handOverStats(curDeviceId, record);
            g_stats.unlock();
            record = StatRecord();
            curDeviceId = block.idDevice;
        }

        ++record.poolsCnt;
        QElapsedTimer elapsed;
        elapsed.start();
        const int result = m_pLine->readBlock(block, m_pBuffer, timestamp, 0);
        if (result == ModbusLine::Success || result == ModbusLine::BufferBusy) {
            // A busy buffer is no fault of the device: the reply was good, nothing was stored.
            ++record.validRespCnt;
        } else {
            lastFailedModbusId = block.ModbusId;
            lastFailedResult = result;
            // Flagged a second time, each value would be offered to the archive twice.
            if (!ModbusLine::flagsFailedBlock(result))
                markBlockError(block, m_pBuffer, timestamp, result);
            if (m_quitting) {
                endedEarly = true;
                break;
            }
            m_pLine->disconnectLine();
            m_pLine->connectLine();
        }
        const qint64 d = elapsed.elapsed();
        record.lastRespTime = d;
        record.avgRespTime = record.avgRespTime == 0 ? qint32(d) : qint32((qint64(record.avgRespTime) + d) / 2);
    }

    if (!endedEarly && !m_quitting && g_stats.tryLock()) {
        handOverStats(curDeviceId, record);
        g_stats.unlock();
    }
    g_lineReady.setReady(key, true);
}

void ChannelWorker::markBlockError(const ReadIteration &block, ReadBuffer *buffer, qint64 timestamp, int code)
{
    if (!buffer)
        return;
    const int flag = ValueFlag::fromLineResult(code);
    const int step = addressStep(block);
    if (!buffer->tryLock())
        return;
    for (int j = 0; j < block.valuesCnt; ++j)
        buffer->storeValue(block.idDevice, block.regAddr + j * step, 0.0, timestamp, flag, 0, false);
    buffer->unlock();
}

void ChannelWorker::insertSessionBreaks(qint64 timestamp)
{
    if (!m_pBuffer || !m_pReadIterations || m_pBuffer->archivedCount() == 0)
        return;
    for (int i = 0; i < m_pReadIterations->count(); ++i) {
        const ReadIteration &block = m_pReadIterations->at(i);
        const int step = addressStep(block);
        if (!m_pBuffer->tryLock())
            continue;
        for (int j = 0; j < block.valuesCnt; ++j)
            m_pBuffer->insertSessionBreakValue(block.idDevice, block.regAddr + j * step, 0.0, timestamp,
                                               ValueFlag::SessionBreak, 0);
        m_pBuffer->unlock();
    }
}

void ChannelWorker::quit(qint64 timestamp)
{
    if (m_finished.exchange(true))
        return;
    m_quitting = true;
    QThread *own = thread();
    if (own == QThread::currentThread() || !own->isRunning()) {
        finishInThread(timestamp);
        return;
    }
    // Queued behind the pass that may still be reading, so the line is never closed under a read.
    QMetaObject::invokeMethod(this, "finishInThread", Qt::BlockingQueuedConnection, Q_ARG(qint64, timestamp));
}

void ChannelWorker::finishInThread(qint64 timestamp)
{
    if (m_pLine) {
        insertSessionBreaks(timestamp + 1000);
        m_pLine->disconnectLine();
        m_pLine->deleteLater();
        m_pLine = nullptr;
    }
    emit finished();
}
