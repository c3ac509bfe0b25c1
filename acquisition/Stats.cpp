#include "Stats.h"

#include "GlobalsOrder.h"

Stats g_stats DALVORAN_INIT_ORDER(GlobalsOrder::Stats);

Stats::Stats(QObject *parent) : QObject(parent) {}

Stats::~Stats() { clear(); }

Stats::ChannelTable &Stats::table(const QString &type)
{
    if (type == QLatin1String("serial"))
        return m_serial;
    if (type == QLatin1String("mqtt"))
        return m_mqtt;
    return m_tcp;
}

void Stats::addChannel(const QString &type, int chanId)
{
    // MQTT workers of channels registered earlier may be merging samples meanwhile.
    QMutexLocker lock(&m_mutex);
    ChannelTable &channels = table(type);
    DeviceTable *old = channels.value(chanId, nullptr);
    if (old) {
        qDeleteAll(*old);
        delete old;
    }
    channels.insert(chanId, new DeviceTable);
}

void Stats::addDevice(const QString &type, int chanId, int deviceId)
{
    QMutexLocker lock(&m_mutex);
    DeviceTable *devices = table(type).value(chanId, nullptr);
    if (!devices)
        return;
    delete devices->value(deviceId, nullptr);
    devices->insert(deviceId, new StatRecord);
}

void Stats::updateStats(const QString &type, int chanId, int deviceId, const StatRecord &sample)
{
    DeviceTable *devices = table(type).value(chanId, nullptr);
    StatRecord *record = devices ? devices->value(deviceId, nullptr) : nullptr;
    if (!record)
        return;
    if (type == QLatin1String("mqtt")) {
        ++record->poolsCnt;
    } else {
        record->poolsCnt += sample.poolsCnt;
        record->validRespCnt += sample.validRespCnt;
        if (sample.avgRespTime > 0)
            record->avgRespTime = qint32((qint64(sample.avgRespTime) + record->avgRespTime) / 2);
    }
    record->lastRespTime = sample.lastRespTime;
}

void Stats::appendList(QString &text, const ChannelTable &channels, const char *chanType)
{
    const QString type = QString::fromLatin1(chanType);
    for (auto chan = channels.constBegin(); chan != channels.constEnd(); ++chan) {
        for (auto dev = chan.value()->constBegin(); dev != chan.value()->constEnd(); ++dev) {
            const StatRecord &r = *dev.value();
            text += QStringLiteral("{\"chanId\":") + QString::number(chan.key()) + QStringLiteral(",\"chanType\":\"") +
                    type + QStringLiteral("\",\"deviceId\":") + QString::number(dev.key()) +
                    QStringLiteral(",\"poolsCnt\":") + QString::number(r.poolsCnt) +
                    QStringLiteral(",\"validRespCnt\":") + QString::number(r.validRespCnt) +
                    QStringLiteral(",\"avgRespTime\":") + QString::number(r.avgRespTime) +
                    QStringLiteral(",\"lastRespTime\":") + QString::number(r.lastRespTime) + QStringLiteral("},");
        }
    }
}

static QByteArray closeList(QString text)
{
    if (text.endsWith(QLatin1Char(',')))
        text.chop(1);
    text += QLatin1Char(']');
    return text.toLatin1();
}

QByteArray Stats::getModbusStats() const
{
    QString text = QStringLiteral("[");
    appendList(text, m_serial, "serial");
    appendList(text, m_tcp, "tcp");
    return closeList(text);
}

QByteArray Stats::getMqttStats() const
{
    QString text = QStringLiteral("[");
    appendList(text, m_mqtt, "mqtt");
    return closeList(text);
}

void Stats::resetTable(ChannelTable &channels)
{
    for (DeviceTable *devices : qAsConst(channels))
        for (StatRecord *record : qAsConst(*devices))
            *record = StatRecord();
}

void Stats::resetModbusStats()
{
    resetTable(m_serial);
    resetTable(m_tcp);
}

void Stats::resetMqttStats() { resetTable(m_mqtt); }

void Stats::resetAllStats()
{
    resetModbusStats();
    resetMqttStats();
}

void Stats::clearTable(ChannelTable &channels)
{
    for (DeviceTable *devices : qAsConst(channels)) {
        qDeleteAll(*devices);
        delete devices;
    }
    channels.clear();
}

void Stats::clear()
{
    // HTTP threads may be listing or resetting at the same time.
    QMutexLocker lock(&m_mutex);
    clearTable(m_serial);
    clearTable(m_tcp);
    clearTable(m_mqtt);
}
