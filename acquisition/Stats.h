#pragma once

#include <QByteArray>
#include <QHash>
#include <QMutex>
#include <QObject>
#include <QString>

// The counts of one device on one channel. Modbus channels: block reads attempted and
// succeeded, smoothed and last read duration (ms). MQTT channels: messages received, and the
// arrival time of the last one (ms since the epoch) in lastRespTime.
struct StatRecord
{
    quint32 poolsCnt = 0;
    quint32 validRespCnt = 0;
    qint32 avgRespTime = 0;
    qint64 lastRespTime = 0;
};

// Communication statistics per channel and device for the diagnostics pages; one global
// object, g_stats. The type text selects the table: "serial", "mqtt", anything else TCP.
// updateStats, the listings and the resets do not lock: callers hold tryLock around each call
// and skip it when the lock is not had. Registration and clear lock by themselves.
class Stats : public QObject
{
    Q_OBJECT
public:
    explicit Stats(QObject *parent = nullptr);
    ~Stats() override;

    // Waits up to 500 ms.
    bool tryLock() { return m_mutex.tryLock(500); }
    void unlock() { m_mutex.unlock(); }

    // A new empty channel, replacing one under the same id.
    void addChannel(const QString &type, int chanId);
    // A zeroed record, replacing one under the same id; an unknown channel is ignored.
    void addDevice(const QString &type, int chanId, int deviceId);
    // Merges one sample; a channel or device that was never added is ignored.
    void updateStats(const QString &type, int chanId, int deviceId, const StatRecord &sample);

    // "getModbusStats": serial records, then TCP records, as a JSON array.
    QByteArray getModbusStats() const;
    // "getMqttStats".
    QByteArray getMqttStats() const;
    void resetModbusStats();
    void resetMqttStats();
    void resetAllStats();
    // Forgets every channel and device (polling stop).
    void clear();

private:
    using DeviceTable = QHash<int, StatRecord *>;
    using ChannelTable = QHash<int, DeviceTable *>;

    ChannelTable &table(const QString &type);
    static void appendList(QString &text, const ChannelTable &channels, const char *chanType);
    static void resetTable(ChannelTable &channels);
    static void clearTable(ChannelTable &channels);

    ChannelTable m_serial;
    ChannelTable m_tcp;
    ChannelTable m_mqtt;
    QMutex m_mutex;
};

extern Stats g_stats;
