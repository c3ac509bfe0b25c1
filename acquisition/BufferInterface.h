#pragma once

#include <QMutex>
#include <QObject>

// The sink of every reading. Writers and readers take the buffer's own lock around one whole
// block of stores or one whole read, with a bounded wait, and skip the work when it is not had.
class BufferInterface : public QObject
{
    Q_OBJECT
public:
    explicit BufferInterface(QObject *parent = nullptr) : QObject(parent) {}

    // nearest: MQTT readings round the archive time to the nearest archive interval, Modbus
    // readings floor it.
    virtual void storeValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra,
                            bool nearest)
    {
        Q_UNUSED(idDevice) Q_UNUSED(regAddr) Q_UNUSED(value) Q_UNUSED(timestamp) Q_UNUSED(flag)
        Q_UNUSED(extra) Q_UNUSED(nearest)
    }

    // A connection state (no value yet, broker not connected) for the live values only: such a
    // mark is no reading and never becomes an archive row.
    virtual void storeStatus(int idDevice, int regAddr, int flag)
    {
        Q_UNUSED(idDevice) Q_UNUSED(regAddr) Q_UNUSED(flag)
    }

    // Waits up to 1000 ms for the buffer's lock.
    bool tryLock() { return m_mutex.tryLock(1000); }
    void unlock() { m_mutex.unlock(); }

protected:
    QMutex m_mutex;
};
