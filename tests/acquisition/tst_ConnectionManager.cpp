#include "AcqTestDatabase.h"
#include "ConfigParams.h"
#include "ConnectionManager.h"

#include <QJsonDocument>
#include <QtTest>

class tst_ConnectionManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void emptyListing();
    void defaultsAndListingBytes();
    void duplicates_data();
    void duplicates();
    void editDuplicates();
    void removeInUse();
    void textsAreStoredAsTheyStand();
    void integerConversions();
    void missingTablesAreCreated();
    void failedStatementsAnswerQueryError();

private:
    std::unique_ptr<AcqTestDatabase> m_db;
};

void tst_ConnectionManager::init()
{
    m_db = std::make_unique<AcqTestDatabase>();
    QVERIFY(m_db->create());
}

void tst_ConnectionManager::emptyListing()
{
    ConnectionManager manager;
    QCOMPARE(manager.getConfiguredConnection(), QByteArray("{\"serial\":[],\"tcp\":[],\"mqtt\":[]}"));
}

void tst_ConnectionManager::defaultsAndListingBytes()
{
    ConnectionManager manager;
    const QByteArray ok("{\"success\":true}");
    QCOMPARE(manager.addNewSerialConnection({}), ok);
    QCOMPARE(manager.addNewTcpConnection({}), ok);
    QCOMPARE(manager.addNewMqttConnection({}), ok);
    QCOMPARE(manager.addNewTcpConnection(params({{"name", "plc"}, {"ip", "10.0.0.5"}, {"portTCP", "1502"},
                                                 {"timeout", "250"}})),
             ok);
    QCOMPARE(manager.getConfiguredConnection(),
             QByteArray("{\"serial\":[{\"idSerialConnections\":\"1\",\"name\":\"connection\",\"serialPort\":\"COM1\","
                        "\"baudRate\":\"9600\",\"parity\":\"N\",\"stopBits\":\"2\",\"timeout\":\"1000\"}],"
                        "\"tcp\":[{\"idTCPConnections\":\"1\",\"name\":\"connection\",\"ip\":\"\",\"portTCP\":\"502\","
                        "\"timeout\":\"1000\"},{\"idTCPConnections\":\"2\",\"name\":\"plc\",\"ip\":\"10.0.0.5\","
                        "\"portTCP\":\"1502\",\"timeout\":\"250\"}],"
                        "\"mqtt\":[{\"idMQTTConnections\":\"1\",\"name\":\"connection\",\"ip\":\"\",\"port\":\"1887\","
                        "\"clientid\":\"example\"}]}"));
    // Numbers are stored as integers and texts as texts, an absent address as '' (never NULL).
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM SerialConnections"), true),
             QStringList{"1|'connection'|'COM1'|9600|'N'|2|1000"});
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM MQTTConnections"), true),
             QStringList{"1|'connection'|''|1887|'example'"});
}

void tst_ConnectionManager::duplicates_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<t_GetArray>("first");
    QTest::addColumn<t_GetArray>("second");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray ok("{\"success\":true}");
    const QByteArray port("{\"error\":true,\"message\":\"Connection to this port already exists.\"}");
    const QByteArray address("{\"error\":true,\"message\":\"Connection to this ip and port already exists.\"}");
    QTest::newRow("serial without parameters twice") << "serial" << t_GetArray() << t_GetArray() << port;
    QTest::newRow("serial, same port other name") << "serial" << params({{"serialPort", "/dev/ttyS1"}})
                                                  << params({{"serialPort", "/dev/ttyS1"}, {"name", "b"}}) << port;
    QTest::newRow("serial, other port") << "serial" << params({{"serialPort", "/dev/ttyS1"}})
                                        << params({{"serialPort", "/dev/ttyS2"}}) << ok;
    QTest::newRow("tcp, same ip and port") << "tcp" << params({{"ip", "10.0.0.1"}})
                                           << params({{"ip", "10.0.0.1"}, {"portTCP", "502"}}) << address;
    QTest::newRow("tcp, same ip other port") << "tcp" << params({{"ip", "10.0.0.1"}})
                                             << params({{"ip", "10.0.0.1"}, {"portTCP", "503"}}) << ok;
    QTest::newRow("tcp without ip twice") << "tcp" << t_GetArray() << t_GetArray() << address;
    // An absent address is '' and not NULL, so the second one is found.
    QTest::newRow("mqtt without ip twice") << "mqtt" << t_GetArray() << t_GetArray() << address;
    QTest::newRow("mqtt, other port") << "mqtt" << t_GetArray() << params({{"port", "1883"}}) << ok;
}

void tst_ConnectionManager::duplicates()
{
    QFETCH(QString, kind);
    QFETCH(t_GetArray, first);
    QFETCH(t_GetArray, second);
    QFETCH(QByteArray, reply);

    ConnectionManager m;
    auto add = [&](const t_GetArray &p) {
        return kind == "serial" ? m.addNewSerialConnection(p)
                                : kind == "tcp" ? m.addNewTcpConnection(p) : m.addNewMqttConnection(p);
    };
    QCOMPARE(add(first), QByteArray("{\"success\":true}"));
    const QByteArray before = m.getConfiguredConnection();
    QCOMPARE(add(second), reply);
    if (reply.contains("error"))
        QCOMPARE(m.getConfiguredConnection(), before);
}

void tst_ConnectionManager::editDuplicates()
{
    ConnectionManager m;
    const QByteArray ok("{\"success\":true}");
    QCOMPARE(m.addNewSerialConnection(params({{"serialPort", "A"}})), ok);
    QCOMPARE(m.addNewSerialConnection(params({{"serialPort", "B"}})), ok);
    QCOMPARE(m.addNewTcpConnection(params({{"ip", "h"}, {"portTCP", "1"}})), ok);
    QCOMPARE(m.addNewTcpConnection(params({{"ip", "h"}, {"portTCP", "2"}})), ok);
    QCOMPARE(m.addNewMqttConnection(params({{"ip", "h"}, {"port", "1"}})), ok);
    QCOMPARE(m.addNewMqttConnection(params({{"ip", "h"}, {"port", "2"}})), ok);

    // Onto its own row: fine; onto another's: refused and nothing changes.
    QCOMPARE(m.editSerialConnection(params({{"id", "1"}, {"serialPort", "A"}, {"name", "renamed"}})), ok);
    QCOMPARE(m.editSerialConnection(params({{"id", "1"}, {"serialPort", "B"}})),
             QByteArray("{\"error\":true,\"message\":\"Connection to this port already exists.\"}"));
    QCOMPARE(m.editTcpConnection(params({{"id", "2"}, {"ip", "h"}, {"portTCP", "2"}, {"timeout", "7"}})), ok);
    QCOMPARE(m.editTcpConnection(params({{"id", "2"}, {"ip", "h"}, {"portTCP", "1"}})),
             QByteArray("{\"error\":true,\"message\":\"Connection to this ip and port already exists.\"}"));
    QCOMPARE(m.editMqttConnection(params({{"id", "1"}, {"ip", "h"}, {"port", "2"}})),
             QByteArray("{\"error\":true,\"message\":\"Connection to this ip and port already exists.\"}"));
    QCOMPARE(m.editMqttConnection(params({{"id", "1"}, {"ip", "h"}, {"port", "3"}, {"clientid", "c"}})), ok);
    // An id that matches no row changes nothing and succeeds.
    QCOMPARE(m.editSerialConnection(params({{"id", "99"}, {"serialPort", "C"}})), ok);
    QCOMPARE(m.removeTcpConnection(params({{"id", "99"}})), ok);

    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM SerialConnections")),
             (QStringList{"1|renamed|A|9600|N|2|1000", "2|connection|B|9600|N|2|1000"}));
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM TCPConnections")),
             (QStringList{"1|connection|h|1|1000", "2|connection|h|2|7"}));
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM MQTTConnections")),
             (QStringList{"1|connection|h|3|c", "2|connection|h|2|example"}));
}

void tst_ConnectionManager::removeInUse()
{
    ConnectionManager m;
    const QByteArray ok("{\"success\":true}");
    const QByteArray inUse("{\"error\":true,\"message\":\"Foreign key error\"}");
    QCOMPARE(m.addNewSerialConnection({}), ok);
    QCOMPARE(m.addNewTcpConnection({}), ok);
    QCOMPARE(m.addNewMqttConnection({}), ok);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, QStringLiteral("serial"), 1));
    QVERIFY(AcqTestDatabase::addDevice(2, 1, QStringLiteral("mqtt"), 1));

    QCOMPARE(m.removeSerialConnection(params({{"id", "1"}})), inUse);
    QCOMPARE(m.removeMqttConnection(params({{"id", "1"}})), inUse);
    // A serial and an MQTT device with idOfConnection 1 do not hold TCP connection 1.
    QCOMPARE(m.removeTcpConnection(params({{"id", "1"}})), ok);
    QCOMPARE(m.getConfiguredConnection().count("\"idSerialConnections\":\"1\""), 1);
    QCOMPARE(m.getConfiguredConnection().contains("\"tcp\":[]"), true);
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DELETE FROM Devices")));
    QCOMPARE(m.removeSerialConnection(params({{"id", "1"}})), ok);
    QCOMPARE(m.removeMqttConnection(params({{"id", "1"}})), ok);
    QCOMPARE(m.getConfiguredConnection(), QByteArray("{\"serial\":[],\"tcp\":[],\"mqtt\":[]}"));
}

void tst_ConnectionManager::textsAreStoredAsTheyStand()
{
    ConnectionManager m;
    const QString odd = QStringLiteral("it's \"%2\" \\ %1; DROP TABLE Devices;--\t");
    const QByteArray oddBytes = odd.toUtf8();
    QCOMPARE(m.addNewSerialConnection(params({{"name", oddBytes}, {"serialPort", oddBytes}, {"parity", "'"}})),
             QByteArray("{\"success\":true}"));
    QCOMPARE(m.addNewTcpConnection(params({{"name", oddBytes}, {"ip", oddBytes}})), QByteArray("{\"success\":true}"));
    QCOMPARE(m.addNewTcpConnection(params({{"ip", oddBytes}})),
             QByteArray("{\"error\":true,\"message\":\"Connection to this ip and port already exists.\"}"));
    const QByteArray listing = m.getConfiguredConnection();
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(listing, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, listing.constData());
    const QJsonObject serial = doc.object().value("serial").toArray().at(0).toObject();
    QCOMPARE(serial.value("name").toString(), odd);
    QCOMPARE(serial.value("serialPort").toString(), odd);
    QCOMPARE(serial.value("parity").toString(), QStringLiteral("'"));
    QCOMPARE(doc.object().value("tcp").toArray().at(0).toObject().value("ip").toString(), odd);
    QCOMPARE(tableRows(QStringLiteral("SELECT COUNT(*) FROM Devices")), QStringList{"0"});
}

void tst_ConnectionManager::integerConversions()
{
    ConnectionManager m;
    const QByteArray ok("{\"success\":true}");
    // Present but empty: empty text, 0 number (no default). stopBits keeps its low 16 bits.
    QCOMPARE(m.addNewSerialConnection(params({{"name", ""}, {"serialPort", "P1"}, {"baudRate", ""},
                                              {"stopBits", "65535"}, {"timeout", "12.7"}})),
             ok);
    QCOMPARE(m.addNewSerialConnection(params({{"serialPort", "P2"}, {"baudRate", "2147483648"}, {"stopBits", "65536"}})),
             ok);
    QCOMPARE(m.addNewSerialConnection(params({{"serialPort", "P3"}, {"stopBits", "32768"}, {"baudRate", "-5"}})), ok);
    QCOMPARE(tableRows(QStringLiteral("SELECT name, baudRate, stopBits, timeout FROM SerialConnections"), true),
             (QStringList{"''|0|-1|0", "'connection'|0|0|1000", "'connection'|-5|-32768|1000"}));

    // Ids above 16 bits address exactly that row.
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO TCPConnections VALUES (70000, 'far', 'f', 1, 1)")));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO TCPConnections VALUES (4464, 'near', 'n', 1, 1)")));
    QCOMPARE(m.editTcpConnection(params({{"id", "70000"}, {"name", "moved"}, {"ip", "f"}, {"portTCP", "1"}})), ok);
    QCOMPARE(m.removeTcpConnection(params({{"id", "4464"}})), ok);
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM TCPConnections")), QStringList{"70000|moved|f|1|1000"});
}

void tst_ConnectionManager::missingTablesAreCreated()
{
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE TCPConnections")));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE MQTTConnections")));
    ConnectionManager m;
    QCOMPARE(m.getConfiguredConnection(), QByteArray("{\"serial\":[],\"tcp\":[],\"mqtt\":[]}"));
    QCOMPARE(m.addNewMqttConnection({}), QByteArray("{\"success\":true}"));
    QCOMPARE(tableRows(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='TCPConnections'")),
             QStringList{"CREATE TABLE TCPConnections (idTCPConnections integer primary key, name VARCHAR(50), "
                         "ip VARCHAR(25), portTCP integer, timeout integer)"});
}

void tst_ConnectionManager::failedStatementsAnswerQueryError()
{
    ConnectionManager m;
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE TCPConnections")));
    // The listing still stands without the TCP table; the serial table is the one it reports.
    QCOMPARE(m.getConfiguredConnection(), QByteArray("{\"serial\":[],\"tcp\":[],\"mqtt\":[]}"));
    QCOMPARE(m.addNewTcpConnection({}),
             QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"no such table: TCPConnections\"}"));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE SerialConnections")));
    QCOMPARE(m.getConfiguredConnection(),
             QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"no such table: SerialConnections\"}"));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE Devices")));
    QCOMPARE(m.removeMqttConnection(params({{"id", "1"}})),
             QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"no such table: Devices\"}"));
}

QTEST_GUILESS_MAIN(tst_ConnectionManager)
#include "tst_ConnectionManager.moc"
