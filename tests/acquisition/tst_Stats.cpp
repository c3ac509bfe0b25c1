#include "Stats.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

StatRecord sample(quint32 polls, quint32 valid, qint32 avg, qint64 last)
{
    StatRecord r;
    r.poolsCnt = polls;
    r.validRespCnt = valid;
    r.avgRespTime = avg;
    r.lastRespTime = last;
    return r;
}

// The listed record of (type, channel, device) as "polls valid avg last", or "missing".
QString listed(const QByteArray &list, const QString &type, int chanId, int deviceId)
{
    const QJsonArray rows = QJsonDocument::fromJson(list).array();
    for (const QJsonValue &row : rows) {
        const QJsonObject o = row.toObject();
        if (o.value("chanType").toString() == type && o.value("chanId").toInt() == chanId &&
            o.value("deviceId").toInt() == deviceId)
            return QStringLiteral("%1 %2 %3 %4")
                .arg(o.value("poolsCnt").toVariant().toLongLong())
                .arg(o.value("validRespCnt").toVariant().toLongLong())
                .arg(o.value("avgRespTime").toVariant().toLongLong())
                .arg(o.value("lastRespTime").toVariant().toLongLong());
    }
    return QStringLiteral("missing");
}

} // namespace

Q_DECLARE_METATYPE(StatRecord)

class tst_Stats : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { g_stats.clear(); }

    void emptyListsAreEmptyArrays()
    {
        QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
        QCOMPARE(g_stats.getMqttStats(), QByteArray("[]"));
    }

    void listingForm()
    {
        g_stats.addChannel("tcp", 3);
        g_stats.addDevice("tcp", 3, 8);
        g_stats.updateStats("tcp", 3, 8, sample(2, 1, 10, 4));
        QCOMPARE(g_stats.getModbusStats(),
                 QByteArray("[{\"chanId\":3,\"chanType\":\"tcp\",\"deviceId\":8,\"poolsCnt\":2,\"validRespCnt\":1,"
                            "\"avgRespTime\":5,\"lastRespTime\":4}]"));
    }

    void merges_data()
    {
        QTest::addColumn<QString>("type");
        QTest::addColumn<QList<StatRecord>>("samples");
        QTest::addColumn<QString>("record");

        QTest::newRow("first average is halved")
            << "serial" << QList<StatRecord>{sample(3, 2, 100, 120)} << "3 2 50 120";
        QTest::newRow("second merge averages again")
            << "serial" << QList<StatRecord>{sample(3, 2, 100, 120), sample(1, 1, 100, 90)} << "4 3 75 90";
        QTest::newRow("zero average leaves the average")
            << "tcp" << QList<StatRecord>{sample(1, 1, 40, 40), sample(2, 2, 0, 0)} << "3 3 20 0";
        QTest::newRow("MQTT counts messages and keeps the arrival time")
            << "mqtt" << QList<StatRecord>{sample(0, 0, 0, 1767614400000), sample(9, 9, 9, 1767614405000)}
            << "2 0 0 1767614405000";
        QTest::newRow("other type text lands in TCP")
            << "modbus-tcp" << QList<StatRecord>{sample(1, 0, 7, 7)} << "1 0 3 7";
    }

    void merges()
    {
        QFETCH(QString, type);
        QFETCH(QList<StatRecord>, samples);
        QFETCH(QString, record);
        g_stats.addChannel(type, 1);
        g_stats.addDevice(type, 1, 5);
        for (const StatRecord &s : samples) {
            QVERIFY(g_stats.tryLock());
            g_stats.updateStats(type, 1, 5, s);
            g_stats.unlock();
        }
        const QString listedType = type == "serial" || type == "mqtt" ? type : QStringLiteral("tcp");
        const QByteArray list = type == "mqtt" ? g_stats.getMqttStats() : g_stats.getModbusStats();
        QCOMPARE(listed(list, listedType, 1, 5), record);
    }

    void unknownChannelsAndDevicesAreIgnored()
    {
        g_stats.addDevice("serial", 4, 1); // channel never added
        g_stats.addChannel("serial", 2);
        g_stats.updateStats("serial", 2, 99, sample(1, 1, 1, 1));
        g_stats.updateStats("serial", 7, 1, sample(1, 1, 1, 1));
        QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
    }

    void resetsKeepEntries()
    {
        g_stats.addChannel("serial", 1);
        g_stats.addDevice("serial", 1, 10);
        g_stats.addDevice("serial", 1, 11); // registered, never reports
        g_stats.addChannel("tcp", 2);
        g_stats.addDevice("tcp", 2, 20);
        g_stats.addChannel("mqtt", 3);
        g_stats.addDevice("mqtt", 3, 30);
        g_stats.updateStats("serial", 1, 10, sample(5, 4, 30, 12));
        g_stats.updateStats("tcp", 2, 20, sample(5, 4, 30, 12));
        g_stats.updateStats("mqtt", 3, 30, sample(0, 0, 0, 1000));
        QCOMPARE(listed(g_stats.getModbusStats(), "serial", 1, 11), QString("0 0 0 0"));

        g_stats.resetModbusStats();
        QCOMPARE(listed(g_stats.getModbusStats(), "serial", 1, 10), QString("0 0 0 0"));
        QCOMPARE(listed(g_stats.getModbusStats(), "tcp", 2, 20), QString("0 0 0 0"));
        QCOMPARE(listed(g_stats.getMqttStats(), "mqtt", 3, 30), QString("1 0 0 1000"));

        g_stats.resetAllStats();
        QCOMPARE(listed(g_stats.getMqttStats(), "mqtt", 3, 30), QString("0 0 0 0"));

        g_stats.clear();
        QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
        QCOMPARE(g_stats.getMqttStats(), QByteArray("[]"));
    }

    void reRegisteringStartsFromZero()
    {
        g_stats.addChannel("tcp", 1);
        g_stats.addDevice("tcp", 1, 1);
        g_stats.updateStats("tcp", 1, 1, sample(5, 5, 5, 5));
        g_stats.addDevice("tcp", 1, 1);
        QCOMPARE(listed(g_stats.getModbusStats(), "tcp", 1, 1), QString("0 0 0 0"));
        g_stats.addChannel("tcp", 1);
        QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
    }
};

QTEST_GUILESS_MAIN(tst_Stats)
#include "tst_Stats.moc"
