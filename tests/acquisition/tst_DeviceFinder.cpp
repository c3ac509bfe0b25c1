#include "DeviceFinder.h"
#include "DeviceRecord.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

namespace {

// A finder whose probes go nowhere and whose helper does not exist: only its parsing is used.
DeviceFinder::Target idleTarget()
{
    DeviceFinder::Target target;
    target.address = QHostAddress(QHostAddress::LocalHost);
    target.port = 9; // discard
    target.helper = QStringLiteral("/nonexistent/Pellaris");
    return target;
}

} // namespace

class tst_DeviceFinder : public QObject
{
    Q_OBJECT

private slots:
    void parsesReplies_data();
    void parsesReplies();
    void sameIpAndMacListedOnce();
    void atMostMaxDevices();
    void listingBytes();
    void defaultHelperIsBesideTheProgram();
};

void tst_DeviceFinder::parsesReplies_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("mac");
    QTest::addColumn<int>("port");
    QTest::addColumn<int>("modbusId");

    QTest::newRow("CR LF lines") << "Meter\r\n00:11:22:33:44:55\r\n502\r\n7\r\n" << "Meter" << "00:11:22:33:44:55" << 502
                                 << 7;
    // A line loses a trailing CR only: a bare LF keeps the port's last digit.
    QTest::newRow("bare LF lines") << "Meter\n00:11\n502\n7\n" << "Meter" << "00:11" << 502 << 7;
    QTest::newRow("bare LF, other port") << "M\nA\n1502\n9" << "M" << "A" << 1502 << 9;
    QTest::newRow("zero port and id") << "Name\r\nMAC\r\n0\r\n0\r\n" << "Name" << "MAC" << 502 << 1;
    QTest::newRow("no line break after the port") << "Name\r\nMAC\r\n1502" << "Name" << "MAC" << 502 << 1;
    // An empty port line is no port: the id line is not read as the port.
    QTest::newRow("empty port line") << "Name\nMAC\n\n7" << "Name" << "MAC" << 502 << 7;
    QTest::newRow("empty port line, CR LF") << "Name\r\nMAC\r\n\r\n7\r\n" << "Name" << "MAC" << 502 << 7;
    QTest::newRow("not a number") << "N\nM\nabc\n-4\n" << "N" << "M" << 502 << 1;
    QTest::newRow("padded lines") << "  N \r\n M\t\r\n 1503 \r\n 12 \r\n" << "N" << "M" << 1503 << 12;
    QTest::newRow("no line break at all") << "hello" << "" << "" << 502 << 1;
    QTest::newRow("name only") << "Name\n" << "Name" << "" << 502 << 1;
}

void tst_DeviceFinder::parsesReplies()
{
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QString, mac);
    QFETCH(int, port);
    QFETCH(int, modbusId);

    DeviceFinder finder(idleTarget());
    finder.datagramToDevice(QStringLiteral("10.0.0.1"), text);
    QCOMPARE(finder.devices().size(), 1);
    const DeviceRecord device = finder.devices().first();
    QCOMPARE(device.name, name);
    QCOMPARE(device.mac, mac);
    QCOMPARE(device.ip, QStringLiteral("10.0.0.1"));
    QCOMPARE(device.port, port);
    QCOMPARE(device.modbusId, modbusId);
}

void tst_DeviceFinder::sameIpAndMacListedOnce()
{
    DeviceFinder finder(idleTarget());
    finder.addDevice(QStringLiteral("first"), QStringLiteral("10.0.0.1"), 502, QStringLiteral("AA"), 1);
    finder.addDevice(QStringLiteral("again"), QStringLiteral("10.0.0.1"), 503, QStringLiteral("AA"), 2);
    finder.addDevice(QStringLiteral("other mac"), QStringLiteral("10.0.0.1"), 502, QStringLiteral("aa"), 1);
    finder.addDevice(QStringLiteral("other ip"), QStringLiteral("10.0.0.2"), 502, QStringLiteral("AA"), 1);
    const QList<DeviceRecord> devices = finder.devices();
    QCOMPARE(devices.size(), 3);
    QCOMPARE(devices.at(0).name, QStringLiteral("first"));
    QCOMPARE(devices.at(0).port, 502);
    QCOMPARE(devices.at(1).name, QStringLiteral("other mac"));
    QCOMPARE(devices.at(2).name, QStringLiteral("other ip"));
}

void tst_DeviceFinder::atMostMaxDevices()
{
    DeviceFinder finder(idleTarget());
    for (int i = 0; i < DeviceFinder::MaxDevices + 50; ++i)
        finder.datagramToDevice(QStringLiteral("10.0.0.1"), QStringLiteral("n\nmac%1\n502\n1\n").arg(i));
    QCOMPARE(finder.devices().size(), DeviceFinder::MaxDevices);
    QCOMPARE(finder.devices().last().mac, QStringLiteral("mac999"));
    QCOMPARE(QJsonDocument::fromJson(finder.getSearchedDevices()).array().size(), DeviceFinder::MaxDevices);
}

void tst_DeviceFinder::listingBytes()
{
    DeviceFinder finder(idleTarget());
    QCOMPARE(finder.getSearchedDevices(), QByteArray());
    finder.addDevice(QStringLiteral("Meter"), QStringLiteral("::ffff:192.168.1.20"), 502,
                     QStringLiteral("00:11:22:33:44:55"), 7);
    finder.addDevice(QStringLiteral("q\"b\\s\x01"), QStringLiteral("fe80::1"), 1502, QStringLiteral("m\""), 3);
    const QByteArray listing = finder.getSearchedDevices();
    QVERIFY(listing.startsWith("[{\"name\":\"Meter\",\"ip\":\"192.168.1.20\",\"port\":\"502\","
                               "\"mac\":\"00:11:22:33:44:55\",\"modbusid\":\"7\"},"));
    QJsonParseError error;
    const QJsonArray list = QJsonDocument::fromJson(listing, &error).array();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(list.at(1).toObject().value("name").toString(), QStringLiteral("q\"b\\s\x01"));
    QCOMPARE(list.at(1).toObject().value("ip").toString(), QStringLiteral("fe80::1"));
    QCOMPARE(list.at(1).toObject().value("mac").toString(), QStringLiteral("m\""));
}

void tst_DeviceFinder::defaultHelperIsBesideTheProgram()
{
    QCOMPARE(DeviceFinder::defaultHelper(), QCoreApplication::applicationDirPath() + QStringLiteral("/platforms/Pellaris"));
}

QTEST_GUILESS_MAIN(tst_DeviceFinder)
#include "tst_DeviceFinder.moc"
