#include "ConfigParams.h"
#include "ConnectionManager.h"
#include "MessageRecorder.h"
#include "ModbusEngine.h"
#include "ModbusSerialLine.h"
#include "ReadIteration.h"

#include "../platform/ModbusPeer.h"

#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using namespace ModbusPeer;

namespace {

const char *kTable = "{\"1\":{\"hr\":{\"0\":[11,12]}},\"3\":{\"hr\":{\"0\":[1]}}}";

QByteArray tcpPing(PeerProcess &peer, const QByteArray &unit, const QByteArray &timeout = "500",
                   const QByteArray &type = QByteArray())
{
    t_GetArray p = params({{"ip", "127.0.0.1"}, {"portTCP", peer.readyWords().value(0).toUtf8()},
                           {"ModbusId", unit}, {"timeout", timeout}});
    if (!type.isNull())
        p.insert("type", type);
    ModbusEngine engine;
    return engine.pingDevice(p);
}

} // namespace

class tst_ModbusEngine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void tcpReplies_data();
    void tcpReplies();
    void scriptedReplies_data();
    void scriptedReplies();
    void closedPort();
    void timeoutIsClamped_data();
    void timeoutIsClamped();
    void testFromAnotherThread();
    void serialTest();

private:
    PeerProcess m_server;
    PeerProcess m_scripted;
};

void tst_ModbusEngine::initTestCase()
{
    QVERIFY(m_server.startPython(TestEnv::testFile("peers/modbus_server.py"), {"--table", kTable, "--ident", "07ab"}));
    QVERIFY(m_scripted.startPython(TestEnv::testFile("peers/modbus_scripted.py"), {"--ident", "2aff"}));
}

void tst_ModbusEngine::tcpReplies_data()
{
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray ok("{\"success\":true,\"message\":\"7\"}");
    QTest::newRow("type absent") << QByteArray() << QByteArray("1") << ok;
    QTest::newRow("type tcp") << QByteArray("tcp") << QByteArray("3") << ok;
    QTest::newRow("Serial is no serial test") << QByteArray("Serial") << QByteArray("1") << ok;
    QTest::newRow("silent unit") << QByteArray() << QByteArray("9")
                                 << QByteArray("{\"error\":true,\"message\":\"Device didn't respond in allowed time.\"}");
}

void tst_ModbusEngine::tcpReplies()
{
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, unit);
    QFETCH(QByteArray, reply);
    QCOMPARE(tcpPing(m_server, unit, "400", type), reply);
}

void tst_ModbusEngine::scriptedReplies_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<int>("requests");

    const QByteArray ok("{\"success\":true,\"message\":\"42\"}");
    QTest::newRow("answered") << QByteArray() << ok << 1;
    QTest::newRow("empty reply, tried again") << QByteArray("IDENTBAD 1") << ok << 2;
    QTest::newRow("empty reply twice") << QByteArray("IDENTBAD 2")
                                       << QByteArray("{\"error\":true,\"message\":\"Invalid response.\",\"details\":\"1\"}")
                                       << 2;
    QTest::newRow("exception reply, tried again") << QByteArray("EXCEPTION 4") << ok << 2;
    QTest::newRow("time-out is not tried again")
        << QByteArray("SILENT 1") << QByteArray("{\"error\":true,\"message\":\"Device didn't respond in allowed time.\"}")
        << 1;
}

void tst_ModbusEngine::scriptedReplies()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, reply);
    QFETCH(int, requests);

    QVERIFY(tell(m_scripted, "RESET"));
    if (!script.isEmpty())
        QVERIFY(tell(m_scripted, script));
    QCOMPARE(tcpPing(m_scripted, "1", "400"), reply);
    QCOMPARE(ModbusPeer::count(m_scripted, "COUNT 17"), requests);
}

void tst_ModbusEngine::closedPort()
{
    ModbusEngine engine;
    const QByteArray port = QByteArray::number(TestEnv::freeTcpPort());
    QCOMPARE(engine.pingDevice(params({{"ip", "127.0.0.1"}, {"portTCP", port}, {"timeout", "300"}})),
             QByteArray("{\"error\":true,\"message\":\"Unable to connect to host.\"}"));
    QCOMPARE(engine.pingDevice(params({{"ip", "127.0.0.1"}, {"portTCP", port}, {"timeout", "0"}})),
             QByteArray("{\"error\":true,\"message\":\"Unable to connect to host.\"}"));
}

void tst_ModbusEngine::timeoutIsClamped_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("timeout");
    QTest::newRow("in range") << QByteArray("2500") << 2500;
    QTest::newRow("largest") << QByteArray("60000") << 60000;
    QTest::newRow("weeks") << QByteArray("2000000000") << 60000;
    QTest::newRow("beyond 32 bits") << QByteArray("99999999999") << 60000;
    QTest::newRow("negative") << QByteArray("-5") << 0;
    QTest::newRow("not a number") << QByteArray("1e9") << 0;
    QTest::newRow("absent") << QByteArray() << 0;
}

void tst_ModbusEngine::timeoutIsClamped()
{
    QFETCH(QByteArray, value);
    QFETCH(int, timeout);
    QCOMPARE(ModbusEngine::requestTimeout(value.isNull() ? t_GetArray() : params({{"timeout", value}})), timeout);
}

void tst_ModbusEngine::testFromAnotherThread()
{
    // The handler's engine lives in the main thread; the test runs in a request thread.
    ModbusEngine engine;
    QByteArray reply;
    // Warnings of Qt's object model, such as a parent in another thread.
    auto warnings = std::make_unique<MessageRecorder>(QtWarningMsg);
    const QByteArray port = m_server.readyWords().value(0).toUtf8();
    std::unique_ptr<QThread> thread(QThread::create([&] {
        reply = engine.pingDevice(params({{"ip", "127.0.0.1"}, {"portTCP", port}, {"ModbusId", "1"}, {"timeout", "500"}}));
    }));
    thread->start();
    QVERIFY(thread->wait(20000));
    const QStringList told = warnings->messages();
    warnings.reset();
    QCOMPARE(reply, QByteArray("{\"success\":true,\"message\":\"7\"}"));
    QCOMPARE(told, QStringList());
    QCOMPARE(engine.children().size(), 0);
}

void tst_ModbusEngine::serialTest()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));
    PeerProcess rtu;
    QVERIFY(rtu.startPython(TestEnv::testFile("peers/modbus_server.py"),
                            {"--table", kTable, "--ident", "05ff", "--rtu", pty.b, "--baud", "19200"}));
    qputenv("EXTRA_SERIAL_PORTS", pty.a.toLocal8Bit());
    const t_GetArray serial = params({{"type", "serial"}, {"serialPort", pty.a.toUtf8()}, {"baudRate", "19200"},
                                      {"parity", "N"}, {"stopBits", "1"}, {"ModbusId", "1"}, {"timeout", "500"}});
    ModbusEngine engine;
    QCOMPARE(engine.pingDevice(serial), QByteArray("{\"success\":true,\"message\":\"5\"}"));
    t_GetArray silent = serial;
    silent.replace("ModbusId", "9");
    QCOMPARE(engine.pingDevice(silent),
             QByteArray("{\"error\":true,\"message\":\"Device didn't respond in allowed time.\"}"));
    t_GetArray absent = serial;
    absent.replace("serialPort", QByteArray(dir.path().toUtf8() + "/none"));
    QCOMPARE(engine.pingDevice(absent), QByteArray("{\"error\":true,\"message\":\"Unable to connect with serial port.\"}"));

    // A port that polling holds open is refused to the test, and polling goes on reading it.
    ConnectionManager::SerialConnectionCfg cfg;
    cfg.id = 1;
    cfg.serialPort = pty.a;
    cfg.baudRate = 19200;
    cfg.stopBits = 1;
    cfg.timeout = 500;
    ModbusSerialLine polling(cfg);
    QCOMPARE(polling.connectLine(), 0);
    QCOMPARE(engine.pingDevice(serial), QByteArray("{\"error\":true,\"message\":\"Unable to connect with serial port.\"}"));
    int id = -1;
    QCOMPARE(polling.reportSlaveId(&id, false), 0);
    QCOMPARE(id, 5);
    polling.disconnectLine();
    QCOMPARE(engine.pingDevice(serial), QByteArray("{\"success\":true,\"message\":\"5\"}"));
    qunsetenv("EXTRA_SERIAL_PORTS");
}

QTEST_GUILESS_MAIN(tst_ModbusEngine)
#include "tst_ModbusEngine.moc"
