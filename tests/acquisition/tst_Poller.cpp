#include "AcqTestDatabase.h"
#include "../mail/MailPeers.h"
#include "AlarmEvaluator.h"
#include "Alarms.h"
#include "ChannelMQTTWorker.h"
#include "ChannelWorker.h"
#include "EmailManager.h"
#include "LineReady.h"
#include "MQTTLine.h"
#include "../platform/ModbusPeer.h"
#include "MqttBroker.h"
#include "PeerProcess.h"
#include "Poller.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "TestEnv.h"
#include "ValueFlag.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

int threadCount() { return QDir(QStringLiteral("/proc/self/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }
int descriptorCount() { return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size(); }

QJsonObject valuesOf(Poller &poller) { return QJsonDocument::fromJson(poller.getAllValues()).object(); }

int flagOf(Poller &poller, int idParameters)
{
    return valuesOf(poller).value(QString::number(idParameters)).toObject().value("flag").toInt(-1);
}

} // namespace

class tst_Poller : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void replies();
    void registration_data();
    void registration();
    void maxTimeoutIsRaisedClampedAndKept();
    void stopBeforeFirstTickWritesNoSessionBreaks();
    void busyWorkerIsSkippedByTheTick();
    void failedStartReleasesWhatItCreated();
    void stopWaitsOnlyForTheRunningPass();
    void cyclesReturnThreadsAndDescriptors();
    void destroyingWhileRunningStops();
    void endToEnd();
    void alarmMailReachesTheSmtpServer();
    void portOutsideTheRangeIsNoOtherPort_data();
    void portOutsideTheRangeIsNoOtherPort();
    void ticksLeaveTheAlarmsFreeWhileABatchRuns();

private:
    bool startTcpPeer(const QByteArray &table = "{\"1\": {\"hr\": {\"0\": [11, 12, 13]}}}");
    void addTcp(int id, qint64 port, int timeout = 500);
    void addSerial(int id, const QString &port, int timeout = 500);
    void addMqtt(int id, quint16 port);

    std::unique_ptr<AcqTestDatabase> m_db;
    std::unique_ptr<PeerProcess> m_tcpPeerProcess; // one per test: its output starts empty
    PeerProcess &tcpPeer() { return *m_tcpPeerProcess; }
    quint16 m_tcpPort = 0;
};

void tst_Poller::initTestCase()
{
    MQTTLine::s_checkDelayMs = 300;
    MQTTLine::s_retryAfterCheckMs = 600;
    MQTTLine::s_retryAfterLossMs = 400;
}

void tst_Poller::init()
{
    m_db = std::make_unique<AcqTestDatabase>();
    QVERIFY(m_db->create());
    g_settings.modbusPollInterval = 100;
    g_settings.modbusIterDelay = 0;
}

void tst_Poller::cleanup()
{
    m_tcpPeerProcess.reset();
    m_db.reset();
    qunsetenv("EXTRA_SERIAL_PORTS");
}

bool tst_Poller::startTcpPeer(const QByteArray &table)
{
    m_tcpPeerProcess = std::make_unique<PeerProcess>();
    if (!tcpPeer().startPython(TestEnv::testFile("peers/modbus_server.py"), {"--table", QString::fromUtf8(table)}))
        return false;
    m_tcpPort = quint16(tcpPeer().readyWords().value(0).toInt());
    return m_tcpPort != 0;
}

void tst_Poller::addTcp(int id, qint64 port, int timeout)
{
    QVERIFY(AcqTestDatabase::exec("INSERT INTO TCPConnections (idTCPConnections, name, ip, portTCP, timeout) VALUES "
                                  "(?, ?, '127.0.0.1', ?, ?)",
                                  {id, QStringLiteral("tcp%1").arg(id), port, timeout}));
}

void tst_Poller::addSerial(int id, const QString &port, int timeout)
{
    QVERIFY(AcqTestDatabase::exec("INSERT INTO SerialConnections (idSerialConnections, name, serialPort, baudRate, "
                                  "parity, stopBits, timeout) VALUES (?, ?, ?, 9600, 'N', 1, ?)",
                                  {id, QStringLiteral("serial%1").arg(id), port, timeout}));
}

void tst_Poller::addMqtt(int id, quint16 port)
{
    QVERIFY(AcqTestDatabase::exec("INSERT INTO MQTTConnections (idMQTTConnections, name, ip, port, clientid) VALUES "
                                  "(?, ?, '127.0.0.1', ?, ?)",
                                  {id, QStringLiteral("mqtt%1").arg(id), port, QStringLiteral("poller-test-%1").arg(id)}));
}

void tst_Poller::replies()
{
    Poller poller;
    QCOMPARE(poller.getAllValues(), QByteArray("{\"error\":true, \"message\":\"Visual mode disabled.\"}"));
    QCOMPARE(poller.getAppState(), QByteArray("{\"state\":\"idle\"}"));
    QCOMPARE(poller.requestStart(), QByteArray("{\"success\":true}"));
    QCOMPARE(poller.requestStop(), QByteArray("{\"success\":true}"));
    QVERIFY(!poller.isRunning());

    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 0, "V"));
    addTcp(1, TestEnv::freeTcpPort());
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    poller.startPolling();
    poller.startPolling(); // a second start while running does nothing
    QVERIFY(poller.isRunning());
    QCOMPARE(poller.channelWorkers().size(), 1);
    QCOMPARE(poller.getAppState(), QByteArray("{\"state\":\"running\"}"));
    QCOMPARE(poller.getAllValues(),
             QByteArray("{\"10\": {\"time\":0,\"val\":0.000000,\"valBase\":0.000000,\"u\":\"V\",\"flag\":1}}"));
    // Digits as Qt writes them, also for a value halfway between two 6-decimal texts.
    QVERIFY(poller.readBuffer()->tryLock());
    poller.readBuffer()->storeValue(1, 0, -452704.7578125, 5, 0, 0, false);
    poller.readBuffer()->unlock();
    QCOMPARE(poller.getAllValues(),
             QByteArray("{\"10\": {\"time\":5,\"val\":-452704757.812500,\"valBase\":-452704.757813,\"u\":\"mV\",\"flag\":0}}"));
    {
        BufferLockHolder holder(poller.readBuffer());
        QTRY_VERIFY(holder.held());
        QCOMPARE(poller.getAllValues(), QByteArray("{\"error\":true, \"message\":\"Mutex error\"}"));
    }
    poller.stopPolling();
    QVERIFY(!poller.isRunning());
    QCOMPARE(poller.getAppState(), QByteArray("{\"state\":\"idle\"}"));
    QCOMPARE(poller.getAllValues(), QByteArray("{\"error\":true, \"message\":\"Visual mode disabled.\"}"));
    QVERIFY(!poller.readBuffer());
    QVERIFY(!g_emailManager);
    QVERIFY(poller.findChildren<ReadIterations *>().isEmpty()); // the plans of quit workers
}

void tst_Poller::registration_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("channelWorkers");
    QTest::addColumn<int>("mqttWorkers");
    QTest::addColumn<QString>("modbusStats"); // chanType:chanId:deviceId, in listing order
    QTest::addColumn<QString>("mqttStats");
    QTest::addColumn<QString>("values");
    QTest::newRow("serial used only by inactive devices") << "serial-inactive" << 0 << 0 << "serial:1:1,serial:1:2"
                                                          << "" << "{}";
    QTest::newRow("tcp used only by an inactive device") << "tcp-inactive" << 0 << 0 << "tcp:2:3" << "" << "{}";
    QTest::newRow("mqtt whose active devices have no topic") << "mqtt-no-topic" << 0 << 1 << "" << "" << "{}";
    QTest::newRow("mqtt with inactive devices only") << "mqtt-inactive" << 0 << 0 << "" << "" << "{}";
    QTest::newRow("no devices") << "none" << 0 << 0 << "" << "" << "{}";
    QTest::newRow("tcp device without blocks") << "tcp-no-blocks" << 0 << 0 << "tcp:2:3" << "" << "";
}

void tst_Poller::registration()
{
    QFETCH(QString, setup);
    QFETCH(int, channelWorkers);
    QFETCH(int, mqttWorkers);
    QFETCH(QString, modbusStats);
    QFETCH(QString, mqttStats);
    QFETCH(QString, values);
    if (setup == "serial-inactive") {
        addSerial(1, "/nonexistent/ttyQ1");
        QVERIFY(AcqTestDatabase::addDevice(1, 1, "serial", 1, false));
        QVERIFY(AcqTestDatabase::addDevice(2, 2, "serial", 1, false));
        QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    } else if (setup == "tcp-inactive" || setup == "tcp-no-blocks") {
        addTcp(2, TestEnv::freeTcpPort());
        QVERIFY(AcqTestDatabase::addDevice(3, 1, "tcp", 2, setup == "tcp-no-blocks"));
        QVERIFY(AcqTestDatabase::addParameter(30, 3, 0, 0, "A"));
        if (setup == "tcp-inactive")
            QVERIFY(AcqTestDatabase::addBlock(3, 0, 1, 0, 16, 16));
    } else if (setup == "mqtt-no-topic" || setup == "mqtt-inactive") {
        addMqtt(4, TestEnv::freeTcpPort());
        QVERIFY(AcqTestDatabase::addDevice(5, 1, "mqtt", 4, setup == "mqtt-no-topic"));
        QVERIFY(AcqTestDatabase::exec("UPDATE Devices SET MqttTopic = '', MqttFormat = 'JSON' WHERE idDevices = 5"));
    }
    Poller poller;
    poller.startPolling();
    QVERIFY(poller.isRunning());
    QCOMPARE(poller.channelWorkers().size(), channelWorkers);
    QCOMPARE(poller.mqttWorkers().size(), mqttWorkers);
    for (ChannelMQTTWorker *worker : poller.mqttWorkers())
        QCOMPARE(worker->config().topics.size(), 0);
    const auto listing = [](const QByteArray &json) {
        QStringList out;
        for (const QJsonValue &v : QJsonDocument::fromJson(json).array()) {
            const QJsonObject o = v.toObject();
            out << QStringLiteral("%1:%2:%3").arg(o.value("chanType").toString()).arg(o.value("chanId").toInt()).arg(
                       o.value("deviceId").toInt());
        }
        out.sort();
        return out.join(',');
    };
    QVERIFY(g_stats.tryLock());
    const QByteArray modbus = g_stats.getModbusStats();
    const QByteArray mqtt = g_stats.getMqttStats();
    g_stats.unlock();
    QCOMPARE(listing(modbus), modbusStats);
    QCOMPARE(listing(mqtt), mqttStats);
    if (setup == "mqtt-no-topic")
        QCOMPARE(mqtt, QByteArray("[]")); // the channel has no device with a topic
    if (!values.isEmpty())
        QCOMPARE(QString::fromLatin1(poller.getAllValues()), values);
    poller.stopPolling();
    QVERIFY(g_stats.tryLock());
    QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
    g_stats.unlock();
}

void tst_Poller::maxTimeoutIsRaisedClampedAndKept()
{
    addSerial(1, "/nonexistent/ttyQ1", 1000);
    addSerial(2, "/nonexistent/ttyQ2", 8000);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "serial", 1));
    QVERIFY(AcqTestDatabase::addDevice(2, 2, "serial", 2));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    QVERIFY(AcqTestDatabase::addBlock(2, 0, 1, 0, 16, 16));
    Poller poller;
    QCOMPARE(poller.maxTimeout(), 5000);
    poller.startPolling();
    QCOMPARE(poller.maxTimeout(), 8000);
    QCOMPARE(poller.channelWorkers().size(), 2);
    poller.stopPolling();
    QVERIFY(AcqTestDatabase::exec("DELETE FROM Devices WHERE idDevices = 2"));
    poller.startPolling();
    QCOMPARE(poller.channelWorkers().size(), 1);
    QCOMPARE(poller.maxTimeout(), 8000);
    poller.stopPolling();
    // A stored time-out beyond the bound is handed on clamped.
    QVERIFY(AcqTestDatabase::exec("UPDATE SerialConnections SET timeout = 2000000000 WHERE idSerialConnections = 1"));
    poller.startPolling();
    QCOMPARE(poller.maxTimeout(), Poller::MaxLineTimeoutMs);
    poller.stopPolling();
}

void tst_Poller::stopBeforeFirstTickWritesNoSessionBreaks()
{
    QVERIFY(startTcpPeer());
    addTcp(1, m_tcpPort);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 1, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    g_settings.modbusPollInterval = 60000;
    Poller poller;
    poller.startPolling();
    QVERIFY(g_stats.tryLock());
    QVERIFY(g_stats.getModbusStats().contains("\"deviceId\":1"));
    g_stats.unlock();
    poller.stopPolling();
    QCOMPARE(AcqTestDatabase::archiveCount(), 0);
    QVERIFY(g_stats.tryLock());
    QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
    g_stats.unlock();
}

void tst_Poller::busyWorkerIsSkippedByTheTick()
{
    // Unit 1 never answers: every pass sits out the 400 ms time-out, ticks come every 50 ms.
    QVERIFY(startTcpPeer("{\"2\": {\"hr\": {\"0\": [1]}}}"));
    addTcp(1, m_tcpPort, 400);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    g_settings.modbusPollInterval = 50;
    Poller poller;
    poller.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(ModbusPeer::count(tcpPeer()) >= 1, 10000); // the first pass reads
    const int before = ModbusPeer::count(tcpPeer());
    QElapsedTimer timer;
    timer.start();
    QTest::qWait(1500);
    const int requests = ModbusPeer::count(tcpPeer()) - before;
    const qint64 elapsed = timer.elapsed();
    poller.stopPolling();
    // One request per pass and never two passes at once: at most one per time-out, where
    // thirty ticks came.
    QVERIFY2(requests >= 1 && requests <= elapsed / 400 + 1,
             qPrintable(QStringLiteral("%1 requests in %2 ms").arg(requests).arg(elapsed)));
}

void tst_Poller::failedStartReleasesWhatItCreated()
{
    QVERIFY(startTcpPeer());
    addTcp(1, m_tcpPort);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 0, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    QVERIFY(AcqTestDatabase::exec("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (1, 'a', '1 > 0', '')"));
    Poller poller;
    // Warm-up cycle with a tick: the threads that stay for the program's life (the script
    // engine's own) exist after it.
    poller.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0, 10000);
    poller.stopPolling();
    QTest::qWait(100);
    const int threads = threadCount();

    // The MQTT query of the start fails after the Modbus worker was started.
    QVERIFY(AcqTestDatabase::exec("ALTER TABLE MQTTConnections RENAME TO MQTTConnectionsAway"));
    poller.startPolling();
    QVERIFY(!poller.isRunning());
    QCOMPARE(poller.getAppState(), QByteArray("{\"state\":\"idle\"}"));
    QCOMPARE(poller.getAllValues(), QByteArray("{\"error\":true, \"message\":\"Visual mode disabled.\"}"));
    QVERIFY(poller.channelWorkers().isEmpty());
    QVERIFY(!poller.readBuffer());
    QVERIFY(!g_emailManager);
    QVERIFY(g_alarms.alarms().isEmpty());
    QVERIFY(g_stats.tryLock());
    QCOMPARE(g_stats.getModbusStats(), QByteArray("[]"));
    g_stats.unlock();
    QTRY_VERIFY2(threadCount() <= threads, qPrintable(QString::number(threadCount())));
    QVERIFY(poller.findChildren<ReadIterations *>().isEmpty());

    QVERIFY(AcqTestDatabase::exec("ALTER TABLE MQTTConnectionsAway RENAME TO MQTTConnections"));
    poller.startPolling();
    QVERIFY(poller.isRunning());
    QCOMPARE(poller.channelWorkers().size(), 1);
    QCOMPARE(poller.findChildren<ReadIterations *>().size(), 1);
    QCOMPARE(g_alarms.alarms().size(), 1);
    // The line's own worker (plus the mail, evaluator and archive threads of a start).
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0, 10000);
    poller.stopPolling();
    QTRY_VERIFY2(threadCount() <= threads, qPrintable(QString::number(threadCount())));
}

void tst_Poller::stopWaitsOnlyForTheRunningPass()
{
    // Unit 1 is silent: a pass sits out its 1000 ms time-out. The literal wait would sleep
    // 5000 + 1500 ms before it looked at the worker again.
    QVERIFY(startTcpPeer("{\"2\": {\"hr\": {\"0\": [1]}}}"));
    addTcp(1, m_tcpPort, 1000);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 0, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    g_settings.modbusPollInterval = 50;
    Poller poller;
    poller.startPolling();
    QCOMPARE(poller.channelWorkers().size(), 1);
    const QString key = poller.channelWorkers().first()->readyKey();
    QTRY_VERIFY(ModbusPeer::count(tcpPeer()) >= 1); // a pass is reading
    QVERIFY(!g_lineReady.isReady(key));
    QElapsedTimer timer;
    timer.start();
    poller.stopPolling();
    QVERIFY2(timer.elapsed() < 2500, qPrintable(QString::number(timer.elapsed())));
    // The pass ended with its time-out; the line was not closed under the read.
    QCOMPARE(AcqTestDatabase::archiveCount(), 0);
}

void tst_Poller::cyclesReturnThreadsAndDescriptors()
{
    QVERIFY(startTcpPeer());
    MqttBroker broker;
    QVERIFY(broker.start(m_db->path(QString())));
    addTcp(1, m_tcpPort);
    addMqtt(2, broker.port());
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 1, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 2, 0, 16, 16));
    QVERIFY(AcqTestDatabase::addDevice(2, 1, "mqtt", 2));
    QVERIFY(AcqTestDatabase::exec("UPDATE Devices SET MqttTopic = 'm/2', MqttFormat = 'JSON', MqttMapping = "
                                  "'{\"t\":5}' WHERE idDevices = 2"));
    QVERIFY(AcqTestDatabase::addParameter(20, 2, 5, 0, "C"));
    QVERIFY(AcqTestDatabase::exec("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (1, 'a', '{1$0} > 0', '')"));
    Poller poller;

    // Readers in other threads all along: a buffer they hold must outlive the stop.
    std::atomic<bool> done{false};
    std::atomic<int> replies{0};
    std::unique_ptr<QThread> reader(QThread::create([&] {
        while (!done) {
            const QByteArray reply = poller.getAllValues();
            if (reply.startsWith("{\"1") || reply.startsWith("{\"2") || reply.startsWith("{\"e"))
                ++replies;
            QThread::usleep(200);
        }
    }));
    reader->start();

    poller.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0, 10000);
    poller.stopPolling();
    QTest::qWait(100);
    const int threads = threadCount();
    const int fds = descriptorCount();
    for (int i = 0; i < 20; ++i) {
        poller.startPolling();
        QVERIFY(poller.isRunning());
        if (i % 5 == 0)
            QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0, 10000);
        QTest::qWait(30);
        poller.stopPolling();
    }
    done = true;
    QVERIFY(reader->wait(5000));
    QVERIFY(replies > 0);
    // Back to the baseline (the reader has ended too); a transient descriptor of the baseline
    // may be gone, but nothing of twenty cycles stays.
    QTRY_VERIFY2(threadCount() <= threads - 1, qPrintable(QString::number(threadCount())));
    QTRY_VERIFY2(descriptorCount() <= fds, qPrintable(QString::number(descriptorCount())));
}

void tst_Poller::destroyingWhileRunningStops()
{
    QVERIFY(startTcpPeer());
    addTcp(1, m_tcpPort);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 1, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    g_settings.modbusPollInterval = 1000; // every reading is due
    const int threads = threadCount();
    auto poller = std::make_unique<Poller>();
    poller->startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(poller->readBuffer()->archivedCount() > 0, 10000);
    poller.reset();
    QVERIFY(!g_emailManager);
    // The session break of the stop is written; nothing is left running.
    QTRY_VERIFY(AcqTestDatabase::archiveRows().join(';').contains("|6"));
    QTRY_VERIFY2(threadCount() <= threads, qPrintable(QString::number(threadCount())));
}

void tst_Poller::endToEnd()
{
    // A TCP device, an RTU device over a pseudo-terminal pair, and an MQTT device.
    QVERIFY(startTcpPeer("{\"1\": {\"hr\": {\"0\": [230, 5]}}}"));
    ModbusPeer::PtyPair pty;
    QVERIFY(pty.start(m_db->path(QString()), "ttyE2E", "peer"));
    qputenv("EXTRA_SERIAL_PORTS", pty.a.toLocal8Bit());
    PeerProcess rtu;
    QVERIFY(rtu.startPython(TestEnv::testFile("peers/modbus_server.py"),
                            {"--table", "{\"3\": {\"hr\": {\"10\": [7]}}}", "--rtu", pty.b, "--baud", "9600"}));
    MqttBroker broker;
    QVERIFY(broker.start(m_db->path(QString())));

    addTcp(1, m_tcpPort, 300);
    addSerial(2, pty.a, 300);
    addMqtt(3, broker.port());
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 1, "V"));
    QVERIFY(AcqTestDatabase::addParameter(11, 1, 1, 2, "kWh"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 2, 0, 16, 16));
    QVERIFY(AcqTestDatabase::addDevice(2, 3, "serial", 2));
    QVERIFY(AcqTestDatabase::addParameter(20, 2, 10, 1, "A"));
    QVERIFY(AcqTestDatabase::addBlock(2, 10, 1, 0, 16, 16));
    QVERIFY(AcqTestDatabase::addDevice(3, 1, "mqtt", 3));
    QVERIFY(AcqTestDatabase::exec("UPDATE Devices SET MqttTopic = 'e2e/3', MqttFormat = 'JSON', MqttMapping = "
                                  "'{\"t\":4}' WHERE idDevices = 3"));
    QVERIFY(AcqTestDatabase::addParameter(30, 3, 4, 0, "C"));
    g_settings.modbusPollInterval = 200;

    Poller poller;
    poller.startPolling();
    QVERIFY(poller.isRunning());
    QCOMPARE(poller.channelWorkers().size(), 2);
    QCOMPARE(poller.mqttWorkers().size(), 1);
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0 && flagOf(poller, 20) == 0, 10000);
    QJsonObject values = valuesOf(poller);
    QCOMPARE(values.value("10").toObject().value("valBase").toDouble(), 230.0);
    QCOMPARE(values.value("10").toObject().value("u").toString(), QStringLiteral("V"));
    QCOMPARE(values.value("11").toObject().value("valBase").toDouble(), 5.0);
    QCOMPARE(values.value("11").toObject().value("u").toString(), QStringLiteral("kWh"));
    QCOMPARE(values.value("20").toObject().value("valBase").toDouble(), 7.0);

    QVERIFY(broker.waitSubscribed("poller-test-3"));
    QTRY_COMPARE(flagOf(poller, 30), 1);
    QVERIFY(broker.publish("e2e/3", "{\"t\":\"19.5\"}"));
    QTRY_COMPARE(flagOf(poller, 30), 0);
    QCOMPARE(valuesOf(poller).value("30").toObject().value("valBase").toDouble(), 19.5);

    // A device that stops answering is flagged 3 and read again once it is back.
    QVERIFY(ModbusPeer::tell(tcpPeer(), "SILENT 1"));
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 3, 10000);
    QCOMPARE(flagOf(poller, 11), 3);
    QVERIFY(ModbusPeer::tell(tcpPeer(), "ANSWER 1"));
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) == 0, 10000);

    // Archive rows at each parameter's interval: 1 s for 10 and 20, 2 s for 11.
    QTRY_VERIFY_WITH_TIMEOUT(poller.readBuffer()->archivedCount() >= 6, 15000);
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    poller.stopPolling();
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    const QStringList rows = AcqTestDatabase::archiveRows();
    QHash<QString, QStringList> timesOf;
    QStringList breaks;
    for (const QString &row : rows) {
        const QStringList f = row.split('|');
        if (f.at(3) == "6")
            breaks << f.at(0) + "@" + f.at(2);
        else
            timesOf[f.at(0)] << f.at(2);
    }
    QVERIFY2(timesOf.value("10").size() >= 2, qPrintable(rows.join('\n')));
    for (const QString &id : {QStringLiteral("10"), QStringLiteral("11"), QStringLiteral("20")}) {
        const int interval = id == "11" ? 2 : 1;
        const QStringList times = timesOf.value(id);
        for (int i = 0; i < times.size(); ++i) {
            const QDateTime t = QDateTime::fromString(times.at(i), "yyyy-MM-dd hh:mm:ss");
            QVERIFY2(t.toSecsSinceEpoch() % interval == 0, qPrintable(id + " " + times.at(i)));
            if (i > 0)
                QVERIFY2(times.at(i) >= times.at(i - 1), qPrintable(rows.join(QLatin1Char(10))));
        }
    }
    // Session breaks at stop + 1000 ms for the Modbus values, none for MQTT.
    const QString low = QDateTime::fromMSecsSinceEpoch(before + 1000).toString("yyyy-MM-dd hh:mm:ss");
    const QString high = QDateTime::fromMSecsSinceEpoch(after + 1000).toString("yyyy-MM-dd hh:mm:ss");
    QStringList breakIds;
    for (const QString &b : breaks) {
        const QString when = b.section('@', 1);
        QVERIFY2(when >= low && when <= high, qPrintable(b));
        breakIds << b.section('@', 0, 0);
    }
    breakIds.sort();
    QCOMPARE(breakIds, QStringList({"10", "11", "20"}));
}

void tst_Poller::alarmMailReachesTheSmtpServer()
{
    MailPeers::Certificates certs;
    PeerProcess smtp;
    QVERIFY(MailPeers::startServer(smtp, certs, "plain", "tester", "pw"));
    QVERIFY(AcqTestDatabase::exec("UPDATE SMTP SET serverName = '127.0.0.1', port = ?, security = 0, username = "
                                  "'tester', password = 'pw', sourceEmailAddress = 'dalvoran@example.com'",
                                  {MailPeers::port(smtp)}));
    QVERIFY(AcqTestDatabase::exec("INSERT INTO Alarms (idAlarms, name, desc, priority, exp_on, exp_off, sedMailCond, "
                                  "mailRecipients, mailSubject) VALUES (1, 'Boiler', 'too hot', 1, '2 > 1', '', 1, "
                                  "'op@example.com', 'Boiler alarm')"));
    EmailManager::queueTickIntervalMs = 100;
    Poller poller;
    poller.startPolling();
    QVERIFY(poller.isRunning());
    // The first tick activates the alarm and hands the mail to the mail thread by name.
    QTRY_VERIFY_WITH_TIMEOUT(!MailPeers::lines(smtp, "MAIL").isEmpty(), 15000);
    const QJsonObject mail = QJsonDocument::fromJson(MailPeers::lines(smtp, "MAIL").first().toUtf8()).object();
    QCOMPARE(mail.value("rcpt").toArray(), QJsonArray({"op@example.com"}));
    const QByteArray data = QByteArray::fromBase64(mail.value("data").toString().toLatin1());
    QVERIFY2(data.contains("Boiler alarm"), data.constData());
    QVERIFY2(data.contains("too hot"), data.constData());
    poller.stopPolling();
    QVERIFY(!g_emailManager);
}

void tst_Poller::portOutsideTheRangeIsNoOtherPort_data()
{
    QTest::addColumn<qint64>("offset");
    QTest::newRow("the device's port plus 65536") << qint64(65536);
    QTest::newRow("the device's port minus 65536") << qint64(-65536);
}

// A stored port that cut to 16 bits names the device's port is still no port of it: the line
// fails its connect as for a device that cannot be reached.
void tst_Poller::portOutsideTheRangeIsNoOtherPort()
{
    QFETCH(qint64, offset);
    QVERIFY(startTcpPeer());
    addTcp(1, qint64(m_tcpPort) + offset, 300);
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
    QVERIFY(AcqTestDatabase::addParameter(10, 1, 0, 0, "V"));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    Poller poller;
    poller.startPolling();
    QVERIFY(poller.isRunning());
    QTRY_VERIFY_WITH_TIMEOUT(flagOf(poller, 10) != int(ValueFlag::NoValueYet), 10000);
    QCOMPARE(flagOf(poller, 10), int(ValueFlag::ReadError));
    poller.stopPolling();
}

void tst_Poller::ticksLeaveTheAlarmsFreeWhileABatchRuns()
{
    // Each tick's batch runs for two seconds, twenty ticks long.
    for (int i = 0; i < 10; ++i)
        QVERIFY(AcqTestDatabase::exec("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (?, ?, 'for (;;) ;', '')",
                                      {i + 1, QStringLiteral("loop %1").arg(i)}));
    QVERIFY(AcqTestDatabase::exec("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (100, 'always', '2 > 1', '')"));
    Poller poller;
    std::atomic<bool> done{false};
    std::atomic<int> busy{0};
    std::atomic<bool> active{false};
    std::unique_ptr<QThread> reader(QThread::create([&] {
        while (!done) {
            const QByteArray reply = g_alarms.getAlarmsStates();
            if (reply.contains("Alarms Mutex error"))
                ++busy;
            else if (reply.contains("\"id\":100"))
                active = true;
            QThread::msleep(20);
        }
    }));
    reader->start();
    poller.startPolling();
    QTRY_VERIFY_WITH_TIMEOUT(active, 20000);
    done = true;
    reader->wait();
    poller.stopPolling();
    QCOMPARE(busy.load(), 0);
}

int main(int argc, char *argv[])
{
    // This test program is also the alarm evaluator's child.
    if (AlarmEvaluator::isWorkerCall(argc, argv)) {
        return AlarmEvaluator::runWorker(argc, argv);
    }
    QCoreApplication app(argc, argv);
    tst_Poller test;
    return QTest::qExec(&test, argc, argv);
}
#include "tst_Poller.moc"
