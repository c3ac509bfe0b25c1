#include "configurator/ModbusEngine.h"
#include "SerialPortList.h"

#include "../platform/ModbusPeer.h"
#include "JsonReply.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

using namespace ModbusPeer;
using vexo::ModbusEngine;

namespace {

t_GetArray params(std::initializer_list<std::pair<const char *, QByteArray>> list)
{
    t_GetArray map;
    for (const auto &item : list)
        map.insert(item.first, item.second);
    return map;
}

QStringList g_debugLines;
QtMessageHandler g_previousHandler = nullptr;

void recordDebug(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtDebugMsg && QByteArray(context.category) == "default")
        g_debugLines << message;
    g_previousHandler(type, context, message);
}

// The registers of a unit as the peer holds them.
QList<int> peerRegisters(PeerProcess &peer, int unit, int address, int count)
{
    QList<int> values;
    const QStringList words =
        ask(peer, QByteArray("GET ") + QByteArray::number(unit) + " hr " + QByteArray::number(address) + ' ' +
                      QByteArray::number(count),
            "VALUE");
    for (const QString &w : words)
        values << w.toInt();
    return values;
}

bool setPeerRegisters(PeerProcess &peer, int unit, int address, const QList<int> &values)
{
    for (int i = 0; i < values.size(); ++i)
        if (!tell(peer, QByteArray("SET ") + QByteArray::number(unit) + " hr " + QByteArray::number(address + i) +
                            ' ' + QByteArray::number(values.at(i))))
            return false;
    return true;
}

} // namespace

class tst_VexoModbusEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void portSettingsByteExact();
    void portSettingsAfterTcpDisconnect();
    void connectTable_data();
    void connectTable();
    void connectSavesSettings();
    void refusedSlaveReachesNoDevice();
    void readDecodesPeerRegisters_data();
    void readDecodesPeerRegisters();
    void writeEncodesPeerRegisters_data();
    void writeEncodesPeerRegisters();
    void wideRegisters_data();
    void wideRegisters();
    void parameterCheckOrder_data();
    void parameterCheckOrder();
    void pairedValuesAreNeverTorn();
    void silentUnitIsOneRequest();
    void exceptionReplyIsRetriedThreeTimes();
    void shortWideReplyIsRetried();
    void identification();
    void identificationBytes_data();
    void identificationBytes();
    void identificationMismatchRetries();
    void serialTimeoutIsApplied();
    void crcErrorsOverRtuAreRetried();
    void failedSerialReconnectNamesTheRequestFailure();
    void loaderPortNumber_data();
    void loaderPortNumber();

private:
    QByteArray connectTcp(ModbusEngine &engine, PeerProcess &peer, int slave = 1);
    bool startRtu(PtyPair &pty, PeerProcess &peer, const QStringList &extra = {});
    QByteArray connectSerial(ModbusEngine &engine, const QString &port, int timeout = 1000, int slave = 1);

    QTemporaryDir m_home;
    QString m_table;
    int m_ptys = 0;
    PeerProcess m_server;
    PeerProcess m_scripted;
};

void tst_VexoModbusEngine::initTestCase()
{
    QVERIFY(m_home.isValid());
    // The native settings store and the working directory of this process only.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    QDir::setCurrent(m_home.path());
    QCoreApplication::setOrganizationName(QStringLiteral("Other"));
    QCoreApplication::setApplicationName(QStringLiteral("Vexo"));
    ModbusEngine::setRequestPauseMs(0);
    g_previousHandler = qInstallMessageHandler(recordDebug);

    QJsonArray hr;
    for (int a = 0; a < 1000; ++a)
        hr.append(a);
    const QJsonObject table{{"1", QJsonObject{{"hr", QJsonObject{{"0", hr}}}}},
                            {"2", QJsonObject{{"hr", QJsonObject{{"0", hr}}}}}};
    m_table = QString::fromUtf8(QJsonDocument(table).toJson(QJsonDocument::Compact));
    QVERIFY(m_server.startPython(TestEnv::testFile("peers/modbus_server.py"), {"--table", m_table}));
    QJsonObject regs;
    for (int a = 0; a < 300; ++a)
        regs.insert(QString::number(a), double(a));
    QVERIFY(m_scripted.startPython(TestEnv::testFile("peers/modbus_scripted.py"),
                                   {"--regs32", QString::fromUtf8(QJsonDocument(regs).toJson(QJsonDocument::Compact)),
                                    "--ident", "05ff41427e0a"}));
}

void tst_VexoModbusEngine::init()
{
    QSettings().clear();
    QSettings().sync();
    qunsetenv("EXTRA_SERIAL_PORTS");
    g_debugLines.clear();
    QVERIFY(tell(m_server, "RESET"));
    QVERIFY(tell(m_scripted, "RESET"));
}

void tst_VexoModbusEngine::cleanupTestCase() { qInstallMessageHandler(g_previousHandler); }

QByteArray tst_VexoModbusEngine::connectTcp(ModbusEngine &engine, PeerProcess &peer, int slave)
{
    return engine.connectModbus(params({{"func", "connect"},
                                        {"connType", "tcp"},
                                        {"ipAddres_tcp", "127.0.0.1"},
                                        {"slaveID", QByteArray::number(slave)},
                                        {"port_tcp", peer.readyWords().value(0).toLatin1()},
                                        {"timeout", "1000"}}));
}

bool tst_VexoModbusEngine::startRtu(PtyPair &pty, PeerProcess &peer, const QStringList &extra)
{
    const QString dir = m_home.path() + QStringLiteral("/pty-") + QString::number(++m_ptys);
    if (!QDir().mkpath(dir) || !pty.start(dir, QStringLiteral("ttyV7"), QStringLiteral("peer")))
        return false;
    qputenv("EXTRA_SERIAL_PORTS", QFile::encodeName(pty.a));
    return peer.startPython(extra.isEmpty() ? TestEnv::testFile("peers/modbus_server.py")
                                            : TestEnv::testFile("peers/modbus_scripted.py"),
                            (extra.isEmpty() ? QStringList{"--table", m_table} : extra) + QStringList{"--rtu", pty.b});
}

QByteArray tst_VexoModbusEngine::connectSerial(ModbusEngine &engine, const QString &port, int timeout, int slave)
{
    return engine.connectModbus(params({{"func", "connect"},
                                        {"connType", "serial"},
                                        {"portSelect", port.toUtf8()},
                                        {"slaveID", QByteArray::number(slave)},
                                        {"baudRate", "3"},
                                        {"mode", "3"},
                                        {"timeout", QByteArray::number(timeout)}}));
}

static QString expectedPorts()
{
    QString ports;
    const QList<SerialPortList::Port> list = SerialPortList::getPorts();
    for (int i = 0; i < list.size(); ++i)
        ports += QStringLiteral("%1\"%2\":{\"portName\":%3,\"friendName\":%4}")
                     .arg(i ? QStringLiteral(",") : QString())
                     .arg(i)
                     .arg(JsonReply::quoted(list.at(i).portName), JsonReply::quoted(list.at(i).friendName));
    return ports;
}

static const char kTables[] =
    "\"baudRate\":{\"0\":\"1200\",\"1\":\"2400\",\"2\":\"4800\",\"3\":\"9600\",\"4\":\"19200\",\"5\":\"38400\","
    "\"6\":\"57600\",\"7\":\"115200\",\"8\":\"230400\",\"9\":\"256000\",\"10\":\"1000000\"},"
    "\"mode\":{\"0\":\"RTU 8N2\",\"1\":\"RTU 8E1\",\"2\":\"RTU 8O1\",\"3\":\"RTU 8N1\"},";

void tst_VexoModbusEngine::portSettingsByteExact()
{
    // Names that would break the reply if they went in raw.
    qputenv("EXTRA_SERIAL_PORTS", "/tmp/we\"ird\\port:/tmp/ttyX1");
    ModbusEngine engine;
    const QByteArray reply = engine.getPortSettings();
    QCOMPARE(QString::fromUtf8(reply),
             QStringLiteral("{\"ports\":{") + expectedPorts() + QStringLiteral("},") + QLatin1String(kTables) +
                 QStringLiteral("\"userSettings\":{\"port\":\"0\",\"slaveID\":1,\"baudRate\":0,\"mode\":3,"
                                "\"timeout\":1000,\"tcpIp\":\"192.168.1.100\",\"tcpPort\":502,"
                                "\"connectionType\":\"serial\",\"isConnected\":false}}"));
    QVERIFY(reply.contains("{\"portName\":\"/tmp/we\\\"ird\\\\port\",\"friendName\":\"/tmp/we\\\"ird\\\\port\"}"));
    QVERIFY(!QJsonDocument::fromJson(reply).isNull());

    // A hand-edited store with text where numbers belong still answers JSON.
    QSettings settings;
    settings.setValue("slaveID", "7}");
    settings.setValue("portName", "COM\"1");
    settings.sync();
    const QByteArray edited = engine.getPortSettings();
    QVERIFY(edited.contains("\"port\":\"COM\\\"1\",\"slaveID\":1,"));
    QVERIFY(!QJsonDocument::fromJson(edited).isNull());
}

void tst_VexoModbusEngine::portSettingsAfterTcpDisconnect()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server, 2), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QVERIFY(engine.getPortSettings().endsWith("\"connectionType\":\"tcp\",\"isConnected\":true}}"));
    QCOMPARE(engine.disconnectModbus(), QByteArray("{\"ok\":\"Disconnected\"}"));
    const QByteArray port = m_server.readyWords().value(0).toLatin1();
    QVERIFY(engine.getPortSettings().endsWith("\"userSettings\":{\"port\":\"0\",\"slaveID\":2,\"baudRate\":0,"
                                              "\"mode\":3,\"timeout\":1000,\"tcpIp\":\"127.0.0.1\",\"tcpPort\":" +
                                              port + ",\"connectionType\":\"tcp\",\"isConnected\":false}}"));

    // A quote in the address is saved by the failed connect and escaped in the reply.
    const QByteArray failed = engine.connectModbus(params({{"connType", "tcp"},
                                                           {"ipAddres_tcp", "1.2\"3"},
                                                           {"slaveID", "1"},
                                                           {"port_tcp", "502"},
                                                           {"timeout", "200"}}));
    QCOMPARE(failed, QByteArray("{\"error\":\"Could not connect to Modbus TCP!\"}"));
    const QByteArray reply = engine.getPortSettings();
    QVERIFY(reply.contains("\"timeout\":200,\"tcpIp\":\"1.2\\\"3\",\"tcpPort\":502,"));
    QVERIFY(!QJsonDocument::fromJson(reply).isNull());
    QCOMPARE(engine.readRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}}), 0),
             QByteArray("{\"error\":\"Not connected\"}"));
}

void tst_VexoModbusEngine::connectTable_data()
{
    QTest::addColumn<QList<QByteArray>>("pairs"); // name, value, name, value...
    QTest::addColumn<QByteArray>("reply");

    const QByteArray input = "{\"error\":\"Input parameters error!\"}";
    const QByteArray serialOk = "{\"ok\":\"Connected with serial port.\"}";
    auto serial = [](const QByteArray &port, const QByteArray &baud, const QByteArray &mode, const QByteArray &timeout,
                     const QByteArray &slave = "1") {
        return QList<QByteArray>{"func", "connect", "connType", "serial", "portSelect", port, "slaveID", slave,
                                 "baudRate", baud, "mode", mode, "timeout", timeout};
    };
    QTest::newRow("connType missing") << QList<QByteArray>{"func", "connect", "ipAddres_tcp", "127.0.0.1"} << input;
    QTest::newRow("TCP in capitals is TCP") << QList<QByteArray>{"connType", "TCP", "ipAddres_tcp", "127.0.0.1", "slaveID",
                                                                 "1", "port_tcp", "$PORT", "timeout", "500"}
                                            << QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}");
    QTest::newRow("serial with exactly five entries")
        << QList<QByteArray>{"portSelect", "$PTY", "slaveID", "1", "baudRate", "3", "mode", "3", "timeout", "100"}
        << input;
    QTest::newRow("baud index 10") << serial("$PTY", "10", "3", "1000") << serialOk;
    QTest::newRow("baud index 9: 256000 cannot be set") << serial("$PTY", "9", "3", "1000")
                                                        << QByteArray("{\"error\":\"Could not connect to serial port!\"}");
    QTest::newRow("baud index 11") << serial("$PTY", "11", "3", "1000") << QByteArray("{\"error\":\"Baud rate error!\"}");
    QTest::newRow("baud index -1") << serial("$PTY", "-1", "3", "1000") << QByteArray("{\"error\":\"Baud rate error!\"}");
    QTest::newRow("mode 0") << serial("$PTY", "3", "0", "1000") << serialOk;
    QTest::newRow("mode 7") << serial("$PTY", "3", "7", "1000") << serialOk;
    QTest::newRow("port found by containment") << serial("ttyV", "3", "3", "1000") << serialOk;
    QTest::newRow("port not listed") << serial("/dev/nothing-here", "3", "3", "1000")
                                     << QByteArray("{\"error\":\"Selected serial port not found.\"}");
    QTest::newRow("empty port matches none") << serial("", "3", "3", "1000") << input;
    QTest::newRow("time-out 0") << serial("$PTY", "3", "3", "0") << input;
    QTest::newRow("slave id 300") << serial("$PTY", "3", "3", "1000", "300") << input;
    QTest::newRow("tcp time-out 0") << QList<QByteArray>{"connType", "tcp", "ipAddres_tcp", "127.0.0.1", "slaveID", "1",
                                                         "port_tcp", "$PORT", "timeout", "0"}
                                    << input;
    QTest::newRow("tcp slave id 256") << QList<QByteArray>{"connType", "tcp", "ipAddres_tcp", "127.0.0.1", "slaveID",
                                                           "256", "port_tcp", "$PORT", "timeout", "100"}
                                      << input;
    QTest::newRow("tcp port beyond 16 bits") << QList<QByteArray>{"connType", "tcp", "ipAddres_tcp", "127.0.0.1", "slaveID",
                                                                  "1", "port_tcp", "$WRAPPED_PORT", "timeout", "500"}
                                             << input;
    QTest::newRow("tcp port 0") << QList<QByteArray>{"connType", "tcp", "ipAddres_tcp", "127.0.0.1", "slaveID", "1",
                                                     "port_tcp", "0", "timeout", "500"}
                                << input;
}

void tst_VexoModbusEngine::connectTable()
{
    QFETCH(QList<QByteArray>, pairs);
    QFETCH(QByteArray, reply);
    QTemporaryDir dir;
    PtyPair pty;
    QVERIFY(pty.start(dir.path(), QStringLiteral("ttyV1"), QStringLiteral("other")));
    qputenv("EXTRA_SERIAL_PORTS", QFile::encodeName(pty.a));
    t_GetArray map;
    for (int i = 0; i + 1 < pairs.size(); i += 2) {
        QByteArray value = pairs.at(i + 1);
        value.replace("$PTY", QFile::encodeName(pty.a));
        // The peer's port plus 65536: the same port once cut to 16 bits.
        value.replace("$WRAPPED_PORT", QByteArray::number(m_server.readyWords().value(0).toInt() + 65536));
        value.replace("$PORT", m_server.readyWords().value(0).toLatin1());
        map.insert(pairs.at(i), value);
    }
    ModbusEngine engine;
    QCOMPARE(engine.connectModbus(map), reply);
    const bool connected = reply.startsWith("{\"ok\"");
    QCOMPARE(engine.getPortSettings().endsWith(connected ? "\"isConnected\":true}}" : "\"isConnected\":false}}"), true);
}

void tst_VexoModbusEngine::connectSavesSettings()
{
    QTemporaryDir dir;
    PtyPair pty;
    QVERIFY(pty.start(dir.path(), QStringLiteral("ttyUSB3"), QStringLiteral("other")));
    qputenv("EXTRA_SERIAL_PORTS", QFile::encodeName(pty.a));
    ModbusEngine engine;
    const QString store = QSettings().fileName();
    QVERIFY(store.startsWith(m_home.path()));

    // A failed connect keeps what was saved before the failure: the loader's port number only.
    QCOMPARE(engine.connectModbus(params({{"func", "connect"}, {"connType", "serial"}, {"portSelect", "COM12"},
                                          {"slaveID", "4"}, {"baudRate", "3"}, {"mode", "1"}, {"timeout", "700"}})),
             QByteArray("{\"error\":\"Selected serial port not found.\"}"));
    {
        QSettings s(store, QSettings::IniFormat);
        QCOMPARE(s.allKeys(), QStringList{"Selected_Port"});
        QCOMPARE(s.value("Selected_Port").toString(), QStringLiteral("12"));
    }
    QCOMPARE(engine.connectModbus(params({{"func", "connect"}, {"connType", "serial"}, {"portSelect", pty.a.toUtf8()},
                                          {"slaveID", "4"}, {"baudRate", "5"}, {"mode", "1"}, {"timeout", "700"}})),
             QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    QSettings s(store, QSettings::IniFormat);
    QCOMPARE(s.allKeys(), (QStringList{"Selected_Port", "baudRate", "mode", "portName", "slaveID", "timeout"}));
    QCOMPARE(s.value("Selected_Port").toString(), QStringLiteral("3"));
    QCOMPARE(s.value("portName").toString(), pty.a);
    QCOMPARE(s.value("slaveID").toInt(), 4);
    QCOMPARE(s.value("baudRate").toInt(), 5);
    QCOMPARE(s.value("mode").toInt(), 1);
    QCOMPARE(s.value("timeout").toInt(), 700);

    // A failed TCP connect still saves address, port, slave id and time-out.
    QCOMPARE(engine.connectModbus(params({{"connType", "tcp"}, {"ipAddres_tcp", "127.0.0.1"}, {"slaveID", "9"},
                                          {"port_tcp", QByteArray::number(TestEnv::freeTcpPort())}, {"timeout", "300"}})),
             QByteArray("{\"error\":\"Could not connect to Modbus TCP!\"}"));
    s.sync();
    QCOMPARE(s.value("tcpIp").toString(), QStringLiteral("127.0.0.1"));
    QCOMPARE(s.value("slaveID").toInt(), 9);
    QCOMPARE(s.value("timeout").toInt(), 300);
    QVERIFY(engine.getPortSettings().endsWith("\"connectionType\":\"serial\",\"isConnected\":false}}"));
}

void tst_VexoModbusEngine::refusedSlaveReachesNoDevice()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server, 1), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    // A store edited to a slave id the library refuses: nothing is sent to the last one set.
    QSettings().setValue("slaveID", 300);
    const t_GetArray read = params({{"regAddr", "0"}, {"valuesCnt", "2"}});
    QCOMPARE(engine.readRegisters(read, 0), QByteArray("{\"error\":\"Input parameters error!\"}"));
    QCOMPARE(engine.writeRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}, {"regVals", "[1]"}}), 0),
             QByteArray("{\"error\":\"Input parameters error!\"}"));
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"error\":\"Input parameters error!\"}"));
    QCOMPARE(count(m_server), 0);
    QSettings().setValue("slaveID", 1);
    QCOMPARE(engine.readRegisters(read, 0), QByteArray("[0,1]"));
    QCOMPARE(count(m_server), 1);
}

void tst_VexoModbusEngine::readDecodesPeerRegisters_data()
{
    QTest::addColumn<QList<int>>("registers");
    QTest::addColumn<QList<QByteArray>>("extra"); // name, value...
    QTest::addColumn<int>("values");
    QTest::addColumn<QByteArray>("reply");

    using L = QList<QByteArray>;
    QTest::newRow("default is int of 16 bits") << QList<int>{65535} << L{} << 1 << QByteArray("[-1]");
    QTest::newRow("uint 16") << QList<int>{65535} << L{"regType", "uint"} << 1 << QByteArray("[65535]");
    QTest::newRow("several ints") << QList<int>{1, 2, 32768} << L{"regType", "int"} << 3 << QByteArray("[1,2,-32768]");
    QTest::newRow("unknown type, 16 bits") << QList<int>{65535} << L{"regType", "INT"} << 1 << QByteArray("[65535]");
    QTest::newRow("int 32: first register low") << QList<int>{2, 1} << L{"valSize", "32"} << 1 << QByteArray("[65538]");
    QTest::newRow("int 32 negative") << QList<int>{0xFFFE, 0xFFFF} << L{"valSize", "32"} << 1 << QByteArray("[-2]");
    QTest::newRow("uint 32") << QList<int>{0xFFFE, 0xFFFF} << L{"regType", "uint", "valSize", "32"} << 1
                             << QByteArray("[4294967294]");
    QTest::newRow("long: first register high") << QList<int>{1, 2} << L{"regType", "long", "valSize", "32"} << 1
                                               << QByteArray("[65538]");
    QTest::newRow("float4321 12.5") << QList<int>{0x4148, 0} << L{"regType", "float4321", "valSize", "32"} << 1
                                    << QByteArray("[12.5]");
    QTest::newRow("float1234 12.5 precision 3")
        << QList<int>{0, 0x4148} << L{"regType", "float1234", "valSize", "32", "floatPrec", "3"} << 1
        << QByteArray("[12.500]");
    QTest::newRow("float4321 1e8 fixed") << QList<int>{0x4CBE, 0xBC20} << L{"regType", "float4321", "valSize", "32"} << 1
                                         << QByteArray("[100000000.00]");
    QTest::newRow("float4321 next single") << QList<int>{0x4CBE, 0xBC21} << L{"regType", "float4321", "valSize", "32"}
                                           << 1 << QByteArray("[1e+08]");
    QTest::newRow("float4321 short forms") << QList<int>{0x41AC, 0, 0x4974, 0x2400, 0xC2F6, 0xE979}
                                           << L{"regType", "float4321", "valSize", "32"} << 3
                                           << QByteArray("[21.5,1e+06,-123.456]");
    QTest::newRow("not finite is null") << QList<int>{0x7FC0, 0, 0x7F80, 0, 0xFF80, 0}
                                        << L{"regType", "float4321", "valSize", "32"} << 3
                                        << QByteArray("[null,null,null]");
    QTest::newRow("fixed form not finite is null") << QList<int>{0, 0x7FC0} << L{"regType", "float1234", "valSize", "32"}
                                                   << 1 << QByteArray("[null]");
}

void tst_VexoModbusEngine::readDecodesPeerRegisters()
{
    QFETCH(QList<int>, registers);
    QFETCH(QList<QByteArray>, extra);
    QFETCH(int, values);
    QFETCH(QByteArray, reply);
    QVERIFY(setPeerRegisters(m_server, 1, 100, registers));
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    t_GetArray map = params({{"regAddr", "100"}, {"valuesCnt", QByteArray::number(values)}});
    for (int i = 0; i + 1 < extra.size(); i += 2)
        map.insert(extra.at(i), extra.at(i + 1));
    QCOMPARE(engine.readRegisters(map, 0), reply);
    QVERIFY(setPeerRegisters(m_server, 1, 100, QList<int>{100, 101, 102, 103, 104, 105}));
}

void tst_VexoModbusEngine::writeEncodesPeerRegisters_data()
{
    QTest::addColumn<QByteArray>("regVals");
    QTest::addColumn<QList<QByteArray>>("extra");
    QTest::addColumn<QList<int>>("registers");

    using L = QList<QByteArray>;
    QTest::newRow("ints of 16 bits") << QByteArray("[1,'2',0x10,-1]") << L{} << QList<int>{1, 2, 16, 65535};
    QTest::newRow("int 16 keeps the low half") << QByteArray("[65541]") << L{"regType", "int"} << QList<int>{5};
    QTest::newRow("int 32, first register low") << QByteArray("[-2]") << L{"valSize", "32"} << QList<int>{0xFFFE, 0xFFFF};
    QTest::newRow("ToInt32 of 3e9") << QByteArray("[3e9]") << L{"valSize", "32"} << QList<int>{0x5E00, 0xB2D0};
    QTest::newRow("uint 32 of -1") << QByteArray("[-1]") << L{"regType", "uint", "valSize", "32"}
                                   << QList<int>{0xFFFF, 0xFFFF};
    QTest::newRow("float4321 12.5") << QByteArray("[12.5]") << L{"regType", "float4321", "valSize", "32"}
                                    << QList<int>{0x4148, 0};
    QTest::newRow("float1234 12.5") << QByteArray("[12.5]") << L{"regType", "float1234", "valSize", "32"}
                                    << QList<int>{0, 0x4148};
    QTest::newRow("float from text, no number is 0") << QByteArray("['1e8','abc']")
                                                     << L{"regType", "float4321", "valSize", "32"}
                                                     << QList<int>{0x4CBE, 0xBC20, 0, 0};
    QTest::newRow("percent-encoded once more") << QByteArray("%5B7%2C8%5D") << L{} << QList<int>{7, 8};
    QTest::newRow("a hole is undefined, written as 0") << QByteArray("[1,,3]") << L{} << QList<int>{1, 0, 3};
    QTest::newRow("a hole before the last comma") << QByteArray("[7,8,,]") << L{} << QList<int>{7, 8, 0};
    QTest::newRow("a last comma adds no element") << QByteArray("[7,8,]") << L{} << QList<int>{7, 8};
    QTest::newRow("holes of 32 bits") << QByteArray("[,-2,]") << L{"valSize", "32"} << QList<int>{0, 0, 0xFFFE, 0xFFFF};
    QTest::newRow("a hole as a float is 0") << QByteArray("[,12.5]") << L{"regType", "float4321", "valSize", "32"}
                                            << QList<int>{0, 0, 0x4148, 0};
}

void tst_VexoModbusEngine::writeEncodesPeerRegisters()
{
    QFETCH(QByteArray, regVals);
    QFETCH(QList<QByteArray>, extra);
    QFETCH(QList<int>, registers);
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    const bool wide = extra.contains("32");
    t_GetArray map = params({{"regAddr", "200"},
                             {"valuesCnt", QByteArray::number(wide ? registers.size() / 2 : registers.size())},
                             {"regVals", regVals}});
    for (int i = 0; i + 1 < extra.size(); i += 2)
        map.insert(extra.at(i), extra.at(i + 1));
    QCOMPARE(engine.writeRegisters(map, 0), QByteArray("{\"ok\":\"Values successfully sent.\"}"));
    QCOMPARE(peerRegisters(m_server, 1, 200, registers.size()), registers);
}

void tst_VexoModbusEngine::wideRegisters_data()
{
    QTest::addColumn<quint32>("stored");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<QByteArray>("written"); // what writing `read` back stores, as the register's value

    QTest::newRow("float4321 as is, fixed") << quint32(0x41480000) << QByteArray("float4321") << QByteArray("[12.50]")
                                            << QByteArray("1095237632");
    QTest::newRow("float1234 swapped, short") << quint32(0x00004148) << QByteArray("float1234") << QByteArray("[12.5]")
                                              << QByteArray("16712");
    QTest::newRow("int") << quint32(0xFFFFFFFF) << QByteArray("int") << QByteArray("[-1]") << QByteArray("4294967295");
    QTest::newRow("uint") << quint32(0xFFFFFFFE) << QByteArray("uint") << QByteArray("[4294967294]")
                          << QByteArray("4294967294");
}

void tst_VexoModbusEngine::wideRegisters()
{
    QFETCH(quint32, stored);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, read);
    QFETCH(QByteArray, written);
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_scripted), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    const t_GetArray write0 = params({{"regAddr", "5"}, {"valuesCnt", "1"}, {"regType", type}, {"regSize", "32"},
                                      {"valSize", "32"}, {"regVals", "[" + QByteArray::number(double(stored)) + "]"}});
    // Seed the register through a plain uint write, check it in the peer, then read it typed.
    t_GetArray seed = write0;
    seed.replace("regType", "uint");
    seed.replace("regVals", "[" + QByteArray::number(stored) + "]");
    QCOMPARE(engine.writeRegisters(seed, 0), QByteArray("{\"ok\":\"Values successfully sent.\"}"));
    QCOMPARE(ask(m_scripted, "GET 5", "VALUE").value(0), QString::number(stored));
    QCOMPARE(engine.readRegisters(params({{"regAddr", "5"}, {"valuesCnt", "1"}, {"regType", type}, {"regSize", "32"},
                                          {"valSize", "32"}}),
                                  0),
             read);
    t_GetArray back = write0;
    back.replace("regVals", read);
    QCOMPARE(engine.writeRegisters(back, 0), QByteArray("{\"ok\":\"Values successfully sent.\"}"));
    QCOMPARE(ask(m_scripted, "GET 5", "VALUE").value(0), QString::fromLatin1(written));
}

void tst_VexoModbusEngine::parameterCheckOrder_data()
{
    QTest::addColumn<bool>("write");
    QTest::addColumn<QList<QByteArray>>("pairs");
    QTest::addColumn<QByteArray>("reply");

    using L = QList<QByteArray>;
    const QByteArray input = "{\"error\":\"Input parameters error!\"}";
    const QByteArray regSize = "{\"error\":\"Invalid registers size!\"}";
    const QByteArray valSize = "{\"error\":\"Invalid value size!\"}";
    const QByteArray prec = "{\"error\":\"Invalid float precision!\"}";
    const QByteArray oneValue = "{\"error\":\"Invalid one value size!\"}";
    const QByteArray tooMany = "{\"error\":\"Too many registers\"}";
    const QByteArray values = "{\"error\":\"Registers values error!\"}";

    QTest::newRow("read: no regAddr") << false << L{"valuesCnt", "1", "regSize", "8"} << input;
    QTest::newRow("read: no valuesCnt") << false << L{"regAddr", "1", "regSize", "8"} << input;
    QTest::newRow("read: valuesCnt 0") << false << L{"regAddr", "1", "valuesCnt", "0", "regSize", "8"} << input;
    QTest::newRow("read: valuesCnt no number") << false << L{"regAddr", "1", "valuesCnt", "x"} << input;
    QTest::newRow("read: regAddr -1") << false << L{"regAddr", "-1", "valuesCnt", "1", "regSize", "8"} << input;
    QTest::newRow("read: regAddr 65536") << false << L{"regAddr", "65536", "valuesCnt", "1"} << input;
    QTest::newRow("read: regSize before valSize") << false << L{"regAddr", "0", "valuesCnt", "1", "regSize", "8", "valSize", "8"}
                                                  << regSize;
    QTest::newRow("read: valSize before precision")
        << false << L{"regAddr", "0", "valuesCnt", "1", "valSize", "64", "floatPrec", "21"} << valSize;
    QTest::newRow("read: precision 21") << false << L{"regAddr", "0", "valuesCnt", "300", "floatPrec", "21"} << prec;
    QTest::newRow("read: precision -1") << false << L{"regAddr", "0", "valuesCnt", "1", "floatPrec", "-1"} << prec;
    QTest::newRow("read: 32-bit register, 16-bit value")
        << false << L{"regAddr", "0", "valuesCnt", "300", "regSize", "32", "valSize", "16"} << oneValue;
    QTest::newRow("read: float in one register") << false << L{"regAddr", "0", "valuesCnt", "1", "regType", "float4321"}
                                                 << valSize;
    QTest::newRow("read: long in one register") << false << L{"regAddr", "0", "valuesCnt", "1", "regType", "long"}
                                                << valSize;
    QTest::newRow("read: 201 values") << false << L{"regAddr", "0", "valuesCnt", "201"} << tooMany;
    QTest::newRow("read: 201 values of 32 bits") << false << L{"regAddr", "0", "valuesCnt", "201", "valSize", "32"}
                                                 << tooMany;
    QTest::newRow("read: beyond the address space")
        << false << L{"regAddr", "65500", "valuesCnt", "20", "valSize", "32"} << input;
    QTest::newRow("read: 200 values of 32 bits pass") << false << L{"regAddr", "0", "valuesCnt", "200", "valSize", "32"}
                                                      << QByteArray("[");
    QTest::newRow("write: no regVals") << true << L{"regAddr", "0", "valuesCnt", "1", "regSize", "8"} << input;
    QTest::newRow("write: precision is no write check")
        << true << L{"regAddr", "0", "valuesCnt", "1", "floatPrec", "99", "regVals", "[3]"}
        << QByteArray("{\"ok\":\"Values successfully sent.\"}");
    QTest::newRow("write: too many before values") << true << L{"regAddr", "0", "valuesCnt", "201", "regVals", "x"}
                                                   << tooMany;
    QTest::newRow("write: two values for three") << true << L{"regAddr", "0", "valuesCnt", "3", "regVals", "[1,2]"}
                                                 << values;
    QTest::newRow("write: a hole counts toward the length")
        << true << L{"regAddr", "0", "valuesCnt", "2", "regVals", "[1,,3]"} << values;
    QTest::newRow("write: a hole before the last comma counts")
        << true << L{"regAddr", "0", "valuesCnt", "2", "regVals", "[7,8,,]"} << values;
    QTest::newRow("write: holes alone") << true << L{"regAddr", "0", "valuesCnt", "3", "regVals", "[,,]"} << values;
    QTest::newRow("write: no array") << true << L{"regAddr", "0", "valuesCnt", "1", "regVals", "7"} << values;
    QTest::newRow("write: script is not run") << true << L{"regAddr", "0", "valuesCnt", "1", "regVals", "[(function(){return 1})()]"}
                                              << values;
    QTest::newRow("write: float in one register")
        << true << L{"regAddr", "0", "valuesCnt", "1", "regType", "float1234", "regVals", "[1]"} << valSize;
    QTest::newRow("write: long in one register") << true << L{"regAddr", "0", "valuesCnt", "1", "regType", "long", "regVals", "[1]"}
                                                 << valSize;
    QTest::newRow("write: long of 32 bits") << true
                                            << L{"regAddr", "0", "valuesCnt", "1", "regType", "long", "valSize", "32", "regVals", "[1]"}
                                            << values;
    QTest::newRow("write: unknown type of 32 bits")
        << true << L{"regAddr", "0", "valuesCnt", "1", "regType", "word", "valSize", "32", "regVals", "[1]"} << values;
}

void tst_VexoModbusEngine::parameterCheckOrder()
{
    QFETCH(bool, write);
    QFETCH(QList<QByteArray>, pairs);
    QFETCH(QByteArray, reply);
    ModbusEngine engine;
    QCOMPARE(write ? engine.writeRegisters(params({{"regVals", "[1]"}}), 0) : engine.readRegisters(t_GetArray(), 0),
             QByteArray("{\"error\":\"Not connected\"}"));
    QCOMPARE(connectTcp(engine, m_server), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    t_GetArray map;
    for (int i = 0; i + 1 < pairs.size(); i += 2)
        map.insert(pairs.at(i), pairs.at(i + 1));
    const QByteArray got = write ? engine.writeRegisters(map, 0) : engine.readRegisters(map, 0);
    if (reply == "[")
        QVERIFY(got.startsWith("[65536,") && got.endsWith("]"));
    else
        QCOMPARE(got, reply);
    if (!reply.startsWith("{\"ok\"") && reply != "[")
        QCOMPARE(count(m_server), 0);
}

void tst_VexoModbusEngine::pairedValuesAreNeverTorn()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QByteArray vals = "[";
    for (int i = 0; i < 200; ++i)
        vals += (i ? "," : "") + QByteArray::number(i + 0.5);
    vals += "]";
    QCOMPARE(engine.writeRegisters(params({{"regAddr", "100"}, {"valuesCnt", "200"}, {"regType", "float4321"},
                                           {"valSize", "32"}, {"regVals", vals}}),
                                   0),
             QByteArray("{\"ok\":\"Values successfully sent.\"}"));
    const QByteArray read = engine.readRegisters(params({{"regAddr", "100"}, {"valuesCnt", "200"}, {"regType", "float4321"},
                                                         {"valSize", "32"}, {"floatPrec", "1"}}),
                                                 0);
    QCOMPARE(read, vals);
    const QList<Request> log = requests(m_server);
    QVERIFY(log.size() >= 8);
    int covered = 0;
    for (const Request &r : log) {
        QVERIFY2((r.address - 100) % 2 == 0 && r.count % 2 == 0,
                 qPrintable(QStringLiteral("fc %1 at %2 for %3").arg(r.function).arg(r.address).arg(r.count)));
        covered += r.count;
    }
    QCOMPARE(covered, 800);
}

void tst_VexoModbusEngine::silentUnitIsOneRequest()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server, 9), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    const QByteArray timeout = "{\"error\":\"I/O error: did not receive any data from slave.\"}";
    QCOMPARE(engine.readRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}}), 0), timeout);
    QCOMPARE(count(m_server), 1);
    QCOMPARE(engine.writeRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}, {"regVals", "[1]"}}), 0), timeout);
    QCOMPARE(engine.identifySlave(0), timeout);
    QCOMPARE(count(m_server), 3);
    QVERIFY(g_debugLines.isEmpty());
}

void tst_VexoModbusEngine::exceptionReplyIsRetriedThreeTimes()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_server), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QCOMPARE(engine.readRegisters(params({{"regAddr", "5000"}, {"valuesCnt", "2"}}), 0),
             QByteArray("{\"error\":\"Protocol error! Illegal data address\"}"));
    QCOMPARE(count(m_server), 4);
    QCOMPARE(g_debugLines, (QStringList{"CRC retransmission attempt number : 1", "CRC retransmission attempt number : 2",
                                        "CRC retransmission attempt number : 3"}));
    g_debugLines.clear();
    QCOMPARE(engine.writeRegisters(params({{"regAddr", "5000"}, {"valuesCnt", "1"}, {"regVals", "[1]"}}), 2),
             QByteArray("{\"error\":\"Protocol error! Illegal data address\"}"));
    QCOMPARE(g_debugLines, QStringList{"write CRC retransmission attempt number : 3"});
}

void tst_VexoModbusEngine::shortWideReplyIsRetried()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_scripted), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    const t_GetArray read = params({{"regAddr", "10"}, {"valuesCnt", "3"}, {"regSize", "32"}, {"valSize", "32"}});
    QVERIFY(tell(m_scripted, "SHORT 1"));
    QCOMPARE(engine.readRegisters(read, 0), QByteArray("[10,11,12]"));
    QCOMPARE(g_debugLines, QStringList{"Reg numb retransmission attempt number : 1"});
    QCOMPARE(count(m_scripted, "COUNT 3"), 2);
    g_debugLines.clear();
    QVERIFY(tell(m_scripted, "SHORT 1"));
    QCOMPARE(engine.readRegisters(read, 3), QByteArray("{\"error\":\"Number of registers returned does not match!\"}"));
    QVERIFY(g_debugLines.isEmpty());
}

void tst_VexoModbusEngine::identification()
{
    ModbusEngine engine;
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"error\":\"Not connected\"}"));
    QCOMPARE(connectTcp(engine, m_scripted), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"id\":5,\"desc\":\"AB\",\"descArray\":[5,255,65,66,126,10]}"));
    QCOMPARE(QSettings().value("Tarsek_ID").toInt(), 5);
}

void tst_VexoModbusEngine::identificationBytes_data()
{
    QTest::addColumn<QString>("ident");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("escapes of the description") << "01ff2f225c7d7e1f20"
                                                << QByteArray("{\"id\":1,\"desc\":\"\\/\\\"\\\\} \",\"descArray\":[1,255,47,34,92,125,126,31,32]}");
    QTest::newRow("one byte lists only what came") << "07" << QByteArray("{\"id\":7,\"desc\":\"\",\"descArray\":[7]}");
    QTest::newRow("id 255, no description") << "ff00" << QByteArray("{\"id\":255,\"desc\":\"\",\"descArray\":[255,0]}");
}

void tst_VexoModbusEngine::identificationBytes()
{
    QFETCH(QString, ident);
    QFETCH(QByteArray, reply);
    PeerProcess peer;
    QVERIFY(peer.startPython(TestEnv::testFile("peers/modbus_scripted.py"), {"--ident", ident}));
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, peer), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    const QByteArray got = engine.identifySlave(0);
    QCOMPARE(got, reply);
    QVERIFY(!QJsonDocument::fromJson(got).isNull());
}

void tst_VexoModbusEngine::identificationMismatchRetries()
{
    ModbusEngine engine;
    QCOMPARE(connectTcp(engine, m_scripted), QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QVERIFY(tell(m_scripted, "IDENTBAD 4"));
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"error\":\"Unknown error!\"}"));
    QCOMPARE(g_debugLines, (QStringList{"identify unknow retransmission attempt number : 1",
                                        "identify unknow retransmission attempt number : 2",
                                        "identify unknow retransmission attempt number : 3"}));
    QVERIFY(tell(m_scripted, "EXCEPTION 4"));
    g_debugLines.clear();
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"id\":5,\"desc\":\"AB\",\"descArray\":[5,255,65,66,126,10]}"));
    QCOMPARE(g_debugLines, QStringList{"identify crc retransmission attempt number : 1"});
}

void tst_VexoModbusEngine::serialTimeoutIsApplied()
{
    PtyPair pty;
    PeerProcess peer;
    QVERIFY(startRtu(pty, peer));
    ModbusEngine engine;
    QCOMPARE(connectSerial(engine, pty.a, 1000, 7), QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(engine.readRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}}), 0),
             QByteArray("{\"error\":\"I/O error: did not receive any data from slave.\"}"));
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 950, qPrintable(QString::number(elapsed)));
    QCOMPARE(count(peer), 1);
    // The unit that answers is read over the same line.
    QCOMPARE(connectSerial(engine, pty.a, 1000, 1), QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    QCOMPARE(engine.readRegisters(params({{"regAddr", "3"}, {"valuesCnt", "2"}}), 0), QByteArray("[3,4]"));
}

void tst_VexoModbusEngine::crcErrorsOverRtuAreRetried()
{
    PtyPair pty;
    PeerProcess peer;
    QVERIFY(startRtu(pty, peer, {"--regs32", "{\"0\": 7, \"1\": 8}"}));
    ModbusEngine engine;
    QCOMPARE(connectSerial(engine, pty.a), QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    const t_GetArray read = params({{"regAddr", "0"}, {"valuesCnt", "2"}, {"regSize", "32"}, {"valSize", "32"}});
    QVERIFY(tell(peer, "BADCRC 1"));
    QCOMPARE(engine.readRegisters(read, 0), QByteArray("[7,8]"));
    QCOMPARE(g_debugLines, QStringList{"CRC retransmission attempt number : 1"});
    g_debugLines.clear();
    QVERIFY(tell(peer, "RESET"));
    QVERIFY(tell(peer, "BADCRC 4"));
    QCOMPARE(engine.readRegisters(read, 0), QByteArray("{\"error\":\"Protocol error! Invalid CRC\"}"));
    QCOMPARE(count(peer), 4);
    QCOMPARE(g_debugLines.size(), 3);
    // The serial reconnects left a working line.
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"id\":42,\"desc\":\"\",\"descArray\":[42,255]}"));
}

void tst_VexoModbusEngine::failedSerialReconnectNamesTheRequestFailure()
{
    PtyPair pty;
    PeerProcess peer;
    QVERIFY(startRtu(pty, peer, {"--regs32", "{\"0\": 7}"}));
    ModbusEngine engine;
    QCOMPARE(connectSerial(engine, pty.a), QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    QVERIFY(tell(peer, "BADCRC 1"));
    qunsetenv("EXTRA_SERIAL_PORTS"); // the port is gone: the reconnect fails
    QCOMPARE(engine.readRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}, {"regSize", "32"}, {"valSize", "32"}}), 0),
             QByteArray("{\"error\":\"Protocol error! Invalid CRC\"}"));
    QCOMPARE(engine.readRegisters(params({{"regAddr", "0"}, {"valuesCnt", "1"}}), 0),
             QByteArray("{\"error\":\"Not connected\"}"));
    QCOMPARE(engine.identifySlave(0), QByteArray("{\"error\":\"Not connected\"}"));
    QVERIFY(engine.getPortSettings().endsWith("\"isConnected\":false}}"));
}

void tst_VexoModbusEngine::loaderPortNumber_data()
{
    QTest::addColumn<QString>("port");
    QTest::addColumn<QString>("number");
    QTest::newRow("COM7") << "COM7" << "7";
    QTest::newRow("COM12") << "COM12" << "12";
    QTest::newRow("ttyUSB3") << "/dev/ttyUSB3" << "3";
    QTest::newRow("ttyS10") << "/dev/ttyS10" << "10";
    QTest::newRow("no digits") << "/dev/ttyACM" << "0";
}

void tst_VexoModbusEngine::loaderPortNumber()
{
    QFETCH(QString, port);
    QFETCH(QString, number);
    QCOMPARE(ModbusEngine::loaderPortNumber(port), number);
}

QTEST_GUILESS_MAIN(tst_VexoModbusEngine)
#include "tst_VexoModbusEngine.moc"
