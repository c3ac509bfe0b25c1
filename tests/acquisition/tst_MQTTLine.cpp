#include "AcqTestDatabase.h"
#include "ChannelMQTTWorker.h"
#include "MQTTLine.h"
#include "MqttBroker.h"
#include "Poller.h"
#include "ReadBuffer.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "ValueFlag.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QtTest>

#include <memory>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kConn = 7;

CurrentValue valueOf(ReadBuffer *buffer, int idParameters)
{
    if (!buffer->tryLock())
        return CurrentValue{-1, -1, -1};
    const CurrentValue v = buffer->value(idParameters);
    buffer->unlock();
    return v;
}

QString describe(const CurrentValue &v)
{
    return QStringLiteral("%1@%2#%3").arg(v.value).arg(v.time).arg(v.flag);
}

} // namespace

class tst_MQTTLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void unreachableBrokerFlagsSevenAndRetries();
    void lossAndFailedCheckLeaveOneAttemptPending();
    void connectNeverBlocksTheThread();
    void connectedMarksThenMessagesStore();
    void payloadMembers_data();
    void payloadMembers();
    void twoDevicesOnOneTopic();
    void statisticsAndFormats();
    void archiveTimeIsNearestInterval();
    void brokerRestartIsReconnected();
    void workerQuitReleasesLineInItsThread();

private:
    ConnectionManager::MQTTConnectionCfg config(quint16 port) const;
    std::unique_ptr<MQTTLine> startLine(const ConnectionManager::MQTTConnectionCfg &cfg);

    std::unique_ptr<AcqTestDatabase> m_db;
    std::unique_ptr<ReadBuffer> m_buffer;
    MqttBroker m_broker;
    QString m_clientId;
    int m_case = 0;
};

void tst_MQTTLine::initTestCase()
{
    MQTTLine::s_checkDelayMs = 300;
    MQTTLine::s_retryAfterCheckMs = 600;
    MQTTLine::s_retryAfterLossMs = 400;
}

void tst_MQTTLine::init()
{
    m_db = std::make_unique<AcqTestDatabase>();
    QVERIFY(m_db->create());
    // Device 1 on topic "t/one": a -> register 3, b -> 4; device 2 on "t/two" with a CSV format.
    QVERIFY(AcqTestDatabase::exec("INSERT INTO MQTTConnections (idMQTTConnections, name, ip, port, clientid) "
                                  "VALUES (7, 'broker', '127.0.0.1', 1883, 'c')"));
    QVERIFY(AcqTestDatabase::addDevice(1, 1, "mqtt", kConn));
    QVERIFY(AcqTestDatabase::addDevice(2, 2, "mqtt", kConn));
    QVERIFY(AcqTestDatabase::addParameter(11, 1, 3, 0, "C"));
    QVERIFY(AcqTestDatabase::addParameter(12, 1, 4, 0, "C"));
    QVERIFY(AcqTestDatabase::addParameter(13, 1, 5, 0, "C"));
    QVERIFY(AcqTestDatabase::addParameter(21, 2, 3, 0, "C"));
    m_buffer = AcqTestDatabase::makeBuffer();
    QVERIFY(m_buffer);
    m_clientId = QStringLiteral("dalv-test-%1").arg(++m_case);
    g_stats.clear();
    g_stats.addChannel("mqtt", kConn);
    g_stats.addDevice("mqtt", kConn, 1);
    g_stats.addDevice("mqtt", kConn, 2);
}

void tst_MQTTLine::cleanup()
{
    m_broker.stop();
    m_buffer.reset();
    g_stats.clear();
    m_db.reset();
}

ConnectionManager::MQTTConnectionCfg tst_MQTTLine::config(quint16 port) const
{
    ConnectionManager::MQTTConnectionCfg cfg;
    cfg.id = kConn;
    cfg.name = QStringLiteral("broker");
    cfg.ip = QStringLiteral("127.0.0.1");
    cfg.port = port;
    cfg.clientid = m_clientId;
    cfg.topics = QStringList{QStringLiteral("t/one"), QStringLiteral("t/two")};
    cfg.idDeviceByTopic = {{QStringLiteral("t/one"), 1}, {QStringLiteral("t/two"), 2}};
    cfg.formatByTopic = {{QStringLiteral("t/one"), QStringLiteral("JSON")}, {QStringLiteral("t/two"), QStringLiteral("CSV")}};
    cfg.mappingByTopic = {{QStringLiteral("t/one"), QStringLiteral("{\"a\":3,\"b\":4,\"c\":5}")},
                          {QStringLiteral("t/two"), QStringLiteral("{\"a\":3}")}};
    return cfg;
}

std::unique_ptr<MQTTLine> tst_MQTTLine::startLine(const ConnectionManager::MQTTConnectionCfg &cfg)
{
    auto line = std::make_unique<MQTTLine>(cfg, m_buffer.get());
    line->connectMQTT();
    return line;
}

void tst_MQTTLine::unreachableBrokerFlagsSevenAndRetries()
{
    // Parameter 11 is archived every minute: a mark at time 0 would be an archive row of 1970.
    QVERIFY(AcqTestDatabase::exec("UPDATE ConfiguredParameters SET archInterval = 60 WHERE idParameters = 11"));
    g_settings.modbusPollInterval = 5000;
    m_buffer = AcqTestDatabase::makeBuffer();
    // A listener that drops every connection at once counts the attempts.
    QTcpServer refuser;
    QVERIFY(refuser.listen(QHostAddress::LocalHost, 0));
    QList<qint64> attempts;
    QElapsedTimer clock;
    clock.start();
    connect(&refuser, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *s = refuser.nextPendingConnection()) {
            attempts << clock.elapsed();
            s->abort();
            s->deleteLater();
        }
    });
    auto line = startLine(config(refuser.serverPort()));
    QTRY_COMPARE_WITH_TIMEOUT(valueOf(m_buffer.get(), 11).flag, int(ValueFlag::BrokerNotConnected), 5000);
    QCOMPARE(describe(valueOf(m_buffer.get(), 12)), QStringLiteral("0@0#7"));
    QVERIFY(line->isRetryPending());
    QTRY_VERIFY_WITH_TIMEOUT(attempts.size() >= 4, 10000);
    // check (300) + retry after a failed check (600) between attempts; never two pending at once.
    for (int i = 1; i < attempts.size(); ++i)
        QVERIFY2(attempts.at(i) - attempts.at(i - 1) >= 850, qPrintable(QString::number(attempts.at(i) - attempts.at(i - 1))));
    // Marks are no readings: nothing reaches the archive.
    QVERIFY(m_buffer->flushArchive());
    QCOMPARE(AcqTestDatabase::archiveCount(), 0);
}

void tst_MQTTLine::lossAndFailedCheckLeaveOneAttemptPending()
{
    // A broker that accepts each connection and drops it 50 ms later: every attempt ends in a
    // lost connection before its check, which then fails too. Two reasons to try again, one
    // attempt: the attempts come one loss-retry apart instead of doubling.
    QTcpServer dropper;
    QVERIFY(dropper.listen(QHostAddress::LocalHost, 0));
    int attempts = 0;
    connect(&dropper, &QTcpServer::newConnection, this, [&] {
        while (QTcpSocket *s = dropper.nextPendingConnection()) {
            ++attempts;
            connect(s, &QTcpSocket::readyRead, s, [s] {
                s->readAll();
                s->write(QByteArray("\x20\x02\x00\x00", 4)); // CONNACK, accepted
                QTimer::singleShot(50, s, [s] { s->abort(); s->deleteLater(); });
            });
        }
    });
    auto line = startLine(config(dropper.serverPort()));
    QTRY_VERIFY(attempts >= 1);
    QElapsedTimer clock;
    clock.start();
    const int first = attempts;
    QTest::qWait(3000);
    const int made = attempts - first;
    // One attempt per 50 ms connection + 400 ms retry: about 6 in 3 s; doubling gives dozens.
    QVERIFY2(made >= 3 && made <= 9, qPrintable(QString::number(made)));
    QCOMPARE(valueOf(m_buffer.get(), 11).time, 0);
}

void tst_MQTTLine::connectNeverBlocksTheThread()
{
    // A listener whose backlog is full: the kernel drops further connection requests, so a
    // connect that waited would hang here for minutes.
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&addr), len) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&addr), &len) == 0);
    const quint16 port = ntohs(addr.sin_port);
    QList<QTcpSocket *> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers << new QTcpSocket(this);
        fillers.last()->connectToHost(QHostAddress::LocalHost, port);
    }
    QTest::qWait(300);

    QElapsedTimer timer;
    timer.start();
    auto line = startLine(config(port));
    QVERIFY2(timer.elapsed() < 200, qPrintable(QString::number(timer.elapsed())));
    // The thread keeps running its events: the check comes on time and marks the values.
    QTRY_COMPARE_WITH_TIMEOUT(describe(valueOf(m_buffer.get(), 11)), QStringLiteral("0@0#7"), 3000);
    line.reset();
    qDeleteAll(fillers);
    ::close(listener);
}

void tst_MQTTLine::connectedMarksThenMessagesStore()
{
    QVERIFY(m_broker.start(m_db->path(QString())));
    auto line = startLine(config(m_broker.port()));
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QTRY_COMPARE(describe(valueOf(m_buffer.get(), 11)), QStringLiteral("0@0#1"));
    QCOMPARE(describe(valueOf(m_buffer.get(), 12)), QStringLiteral("0@0#1"));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QVERIFY(m_broker.publish("t/one", "{\"a\":\"21.5\"}"));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 0);
    const CurrentValue v = valueOf(m_buffer.get(), 11);
    QCOMPARE(v.value, 21.5);
    QVERIFY(v.time >= before && v.time <= QDateTime::currentMSecsSinceEpoch());
    // A member absent from the payload stores nothing: it keeps its mark.
    QCOMPARE(describe(valueOf(m_buffer.get(), 12)), QStringLiteral("0@0#1"));
    QVERIFY(m_buffer->flushArchive());
    QCOMPARE(AcqTestDatabase::archiveCount(), 0); // archInterval 0 and no marks
}

void tst_MQTTLine::payloadMembers_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("mapping"); // empty: a -> 3, b -> 4, c -> 5
    QTest::addColumn<QString>("reg3");
    QTest::addColumn<QString>("reg4");
    QTest::addColumn<QString>("reg5");
    // "-" is a register that keeps its "connected, no value yet" mark.
    QTest::newRow("string and number") << QByteArray("{\"a\":\"1.5\",\"b\":2.25}") << "" << "1.5" << "2.25" << "-";
    QTest::newRow("non-numeric members") << QByteArray("{\"a\":\"x\",\"b\":true,\"c\":{}}") << "" << "-" << "-"
                                         << "-";
    QTest::newRow("null and array") << QByteArray("{\"a\":null,\"b\":[1],\"c\":\"-7e2\"}") << "" << "-" << "-"
                                    << "-700";
    QTest::newRow("cut at NUL") << QByteArray("{\"a\":\"4\"}\0garbage", 18) << "" << "4" << "-" << "-";
    QTest::newRow("not an object") << QByteArray("[1,2]") << "" << "-" << "-" << "-";
    QTest::newRow("number Qt's reader takes") << QByteArray("{\"a\":\"1\",\"b\":2.}") << "" << "1" << "2" << "-";
    QTest::newRow("one name in two objects")
        << QByteArray("{\"a\":\"1\",\"c\":{\"a\":[2],\"b\":{\"a\":3}},\"b\":\"4\"}") << "" << "1" << "4" << "-";
    // A repeated name has no one meaning: the message stores nothing at all, whatever its other
    // members hold and wherever the repetition stands.
    QTest::newRow("repeated name") << QByteArray("{\"a\":\"1\",\"b\":\"2\",\"a\":\"3\"}") << "" << "-" << "-"
                                   << "-";
    QTest::newRow("repeated name holding arrays")
        << QByteArray("{\"c\":[1,2],\"a\":\"1\",\"c\":[3,4]}") << "" << "-" << "-" << "-";
    QTest::newRow("repeated name in a nested object")
        << QByteArray("{\"a\":\"1\",\"c\":[{\"x\":{},\"x\":{}}]}") << "" << "-" << "-" << "-";
    QTest::newRow("repeated name written as an escape")
        << QByteArray("{\"a\":\"1\",\"\\u0062\":\"2\",\"b\":\"3\"}") << "" << "-" << "-" << "-";
    QTest::newRow("repeated name in the mapping")
        << QByteArray("{\"a\":\"1\",\"b\":\"2\"}") << "{\"a\":3,\"b\":4,\"a\":[5]}" << "-" << "-" << "-";
}

void tst_MQTTLine::payloadMembers()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, mapping);
    QFETCH(QString, reg3);
    QFETCH(QString, reg4);
    QFETCH(QString, reg5);
    QVERIFY(m_broker.start(m_db->path(QString())));
    ConnectionManager::MQTTConnectionCfg cfg = config(m_broker.port());
    if (!mapping.isEmpty())
        cfg.mappingByTopic[QStringLiteral("t/one")] = mapping;
    auto line = startLine(cfg);
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 1);
    QVERIFY(m_broker.publish("t/one", payload));
    // A marker message after it: once that arrived, the message under test was handled.
    QVERIFY(m_broker.publish("t/two", "{}"));
    QTRY_COMPARE(g_stats.getMqttStats().count("\"poolsCnt\":1"), 2);
    const QStringList expected{reg3, reg4, reg5};
    for (int i = 0; i < 3; ++i) {
        const CurrentValue v = valueOf(m_buffer.get(), 11 + i);
        const QString got = v.flag == 1 ? QStringLiteral("-") : QString::number(v.value);
        QCOMPARE(got, expected.at(i));
        if (v.flag != 1)
            QCOMPARE(v.flag, 0);
    }
}

void tst_MQTTLine::twoDevicesOnOneTopic()
{
    QVERIFY(m_broker.start(m_db->path(QString())));
    ConnectionManager::MQTTConnectionCfg cfg = config(m_broker.port());
    // As the poller builds it: the topic listed twice, the later device's entries.
    cfg.topics = QStringList{QStringLiteral("t/one"), QStringLiteral("t/one")};
    cfg.idDeviceByTopic = {{QStringLiteral("t/one"), 2}};
    cfg.formatByTopic = {{QStringLiteral("t/one"), QStringLiteral("JSON")}};
    cfg.mappingByTopic = {{QStringLiteral("t/one"), QStringLiteral("{\"a\":3}")}};
    auto line = startLine(cfg);
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QVERIFY(m_broker.publish("t/one", "{\"a\":9}"));
    QTRY_COMPARE(describe(valueOf(m_buffer.get(), 21)).section('@', 0, 0), QStringLiteral("9"));
    QCOMPARE(valueOf(m_buffer.get(), 11).flag, 1); // device 1 is no longer on the topic
}

void tst_MQTTLine::statisticsAndFormats()
{
    QVERIFY(m_broker.start(m_db->path(QString())));
    auto line = startLine(config(m_broker.port()));
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    for (int i = 0; i < 3; ++i)
        QVERIFY(m_broker.publish("t/one", "{\"a\":\"1\"}"));
    QVERIFY(m_broker.publish("t/two", "{\"a\":\"5\"}"));
    QVERIFY(m_broker.publish("t/other", "{\"a\":\"5\"}"));
    QTRY_VERIFY(g_stats.getMqttStats().contains("\"poolsCnt\":3"));
    QTRY_VERIFY(g_stats.getMqttStats().contains("\"poolsCnt\":1"));
    // The CSV device's message counted but stored nothing.
    QCOMPARE(valueOf(m_buffer.get(), 21).flag, 1);
    const QJsonArray list = QJsonDocument::fromJson(g_stats.getMqttStats()).array();
    QVERIFY(!list.isEmpty());
    for (const QJsonValue &record : list)
        QVERIFY(record.toObject().value("lastRespTime").toVariant().toLongLong() >= before);
}

void tst_MQTTLine::archiveTimeIsNearestInterval()
{
    QVERIFY(AcqTestDatabase::exec("UPDATE ConfiguredParameters SET archInterval = 60 WHERE idParameters = 11"));
    // A reading within one poll interval of an archive time is due: with the interval as long as
    // the archive interval every reading is.
    g_settings.modbusPollInterval = 60000;
    m_buffer = AcqTestDatabase::makeBuffer();
    QVERIFY(m_broker.start(m_db->path(QString())));
    auto line = startLine(config(m_broker.port()));
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QVERIFY(m_broker.publish("t/one", "{\"a\":\"3.5\"}"));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 0);
    const qint64 t = valueOf(m_buffer.get(), 11).time;
    QVERIFY(m_buffer->flushArchive());
    const qint64 nearest = (t + 30000) / 60000 * 60000;
    const QString when = QDateTime::fromMSecsSinceEpoch(nearest).toString("yyyy-MM-dd hh:mm:ss");
    QCOMPARE(AcqTestDatabase::archiveRows(), QStringList{QStringLiteral("11|3.5|%1|0").arg(when)});
}

void tst_MQTTLine::brokerRestartIsReconnected()
{
    QVERIFY(m_broker.start(m_db->path(QString())));
    auto line = startLine(config(m_broker.port()));
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QVERIFY(m_broker.publish("t/one", "{\"a\":\"1\"}"));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 0);
    m_broker.stop();
    QTRY_COMPARE(describe(valueOf(m_buffer.get(), 11)), QStringLiteral("0@0#7"));
    QVERIFY(m_broker.start(m_db->path(QString())));
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 1);
    QVERIFY(m_broker.publish("t/one", "{\"a\":\"2\"}"));
    QTRY_COMPARE(describe(valueOf(m_buffer.get(), 11)).section('@', 0, 0), QStringLiteral("2"));
}

void tst_MQTTLine::workerQuitReleasesLineInItsThread()
{
    QVERIFY(m_broker.start(m_db->path(QString())));
    Poller starter;
    auto *worker = new ChannelMQTTWorker(config(m_broker.port()), m_buffer.get());
    QPointer<ChannelMQTTWorker> guard(worker);
    QPointer<QThread> thread;
    starter.startInThread(worker, true, true);
    thread = worker->thread();
    QCOMPARE(starter.mqttWorkers().size(), 1);
    QVERIFY(m_broker.waitSubscribed(m_clientId, 2));
    QTRY_COMPARE(valueOf(m_buffer.get(), 11).flag, 1);
    worker->quit(QDateTime::currentMSecsSinceEpoch());
    // Disconnected and released before quit returned: the values say "not connected".
    QCOMPARE(describe(valueOf(m_buffer.get(), 11)), QStringLiteral("0@0#7"));
    QTRY_VERIFY(guard.isNull());
    QTRY_VERIFY(thread.isNull());
    QVERIFY(m_broker.publish("t/one", "{\"a\":\"8\"}"));
    QTest::qWait(200);
    QCOMPARE(valueOf(m_buffer.get(), 11).flag, 7);
    QVERIFY(m_buffer->flushArchive());
    QCOMPARE(AcqTestDatabase::archiveCount(), 0); // no session breaks for MQTT values
}

QTEST_GUILESS_MAIN(tst_MQTTLine)
#include "tst_MQTTLine.moc"
