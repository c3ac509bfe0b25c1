#include "AcqTestDatabase.h"
#include "ChannelWorker.h"
#include "LineReady.h"
#include "ModbusLine.h"
#include "PeerProcess.h"
#include "Poller.h"
#include "ReadBuffer.h"
#include "ReadIterations.h"
#include "SettingsManager.h"
#include "Stats.h"
#include "TestEnv.h"
#include "ValueFlag.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

#include <memory>

namespace {

// Units of the test server: 1 and 2 answer, 3 is not in the table and never answers.
constexpr int kUnitA = 1;
constexpr int kUnitB = 2;
constexpr int kSilentUnit = 3;
// Devices 1, 2, 3 speak as units 1, 2, 3.
constexpr int kDevA = 1;
constexpr int kDevB = 2;
constexpr int kDevSilent = 3;
// A silent device (unit 4) of 100 parameters, ids 4000 + address, archived every second.
constexpr int kDevSilentWide = 4;
constexpr int kWideValues = 100;

ReadIteration block(int device, int regAddr, int valuesCnt, int regType = 0, int regSize = 16, int valSize = 16)
{
    ReadIteration b;
    b.ModbusId = device; // device n is unit n
    b.idDevice = device;
    b.regAddr = regAddr;
    b.valuesCnt = valuesCnt;
    b.regType = regType;
    b.regSize = regSize;
    b.valSize = valSize;
    b.ModbusReadFunction = 3;
    return b;
}

// Passes TCP connections on to the test server and counts them, in a thread of its own so that
// it keeps forwarding while the test's thread is blocked.
class CountingForwarder : public QObject
{
    Q_OBJECT
public:
    explicit CountingForwarder(quint16 upstream) : m_upstream(upstream) {}
    QAtomicInt accepted = 0;
    quint16 port = 0;

public slots:
    void listen()
    {
        m_server = new QTcpServer(this);
        connect(m_server, &QTcpServer::newConnection, this, &CountingForwarder::accept);
        m_server->listen(QHostAddress::LocalHost, 0);
        port = m_server->serverPort();
    }
    void shut()
    {
        delete m_server;
        m_server = nullptr;
    }

private slots:
    void accept()
    {
        while (QTcpSocket *in = m_server->nextPendingConnection()) {
            accepted.fetchAndAddOrdered(1);
            QTcpSocket *out = new QTcpSocket(in);
            connect(in, &QTcpSocket::readyRead, out, [in, out] { out->write(in->readAll()); });
            connect(out, &QTcpSocket::readyRead, in, [in, out] { in->write(out->readAll()); });
            connect(out, &QTcpSocket::disconnected, in, &QTcpSocket::disconnectFromHost);
            connect(in, &QTcpSocket::disconnected, in, &QObject::deleteLater);
            out->connectToHost(QHostAddress::LocalHost, m_upstream);
        }
    }

private:
    quint16 m_upstream;
    QTcpServer *m_server = nullptr;
};

} // namespace

class tst_ChannelWorker : public QObject
{
    Q_OBJECT

private:
    AcqTestDatabase m_db;
    PeerProcess m_server;
    quint16 m_port = 0;
    QThread m_forwarderThread;
    CountingForwarder *m_forwarder = nullptr;
    std::unique_ptr<ReadBuffer> m_buffer;
    std::unique_ptr<ReadIterations> m_plan;
    QList<QPointer<ChannelWorker>> m_workers;
    Poller m_poller;

    // The server's answer to one command, e.g. "COUNT 3" gives "COUNT <n>".
    QByteArray ask(const QByteArray &command, const QByteArray &answer)
    {
        const int from = m_server.output().size();
        m_server.send(command);
        QByteArray line;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            const QByteArray out = m_server.output().mid(from);
            const int at = out.indexOf(answer);
            if (at >= 0 && out.indexOf('\n', at) > 0)
                return out.mid(at, out.indexOf('\n', at) - at);
            QTest::qWait(10);
        }
        return {};
    }

    int requests(int unit) { return ask("COUNT " + QByteArray::number(unit), "COUNT ").mid(6).toInt(); }

    // Arrival times (ms) of the requests since the last RESET, in order.
    QList<qint64> arrivals()
    {
        const int from = m_server.output().size();
        const QByteArray head = ask("REQUESTS", "REQUESTS ");
        const int n = head.mid(9).toInt();
        QList<qint64> times;
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < 10000) {
            const QByteArray out = m_server.output().mid(from);
            if (out.count("REQ ") >= n && out.endsWith('\n'))
                break;
            QTest::qWait(10);
        }
        for (const QByteArray &line : m_server.output().mid(from).split('\n'))
            if (line.startsWith("REQ "))
                times << line.split(' ').value(1).toLongLong();
        return times;
    }

    // A test that waits for a silent device says how long; an answering device late by the
    // default is a loaded machine, whose time-out would skip the rest of the device's pass.
    ConnectionManager::TCPConnectionCfg tcp(int id, quint16 port, int timeout = 3000)
    {
        ConnectionManager::TCPConnectionCfg cfg;
        cfg.id = id;
        cfg.name = QStringLiteral("line%1").arg(id);
        cfg.ip = QStringLiteral("127.0.0.1");
        cfg.portTCP = port;
        cfg.timeout = timeout;
        return cfg;
    }

    ReadIterations *plan(const QList<ReadIteration> &blocks)
    {
        ReadIterations *p = new ReadIterations(&m_poller);
        for (const ReadIteration &b : blocks)
            p->append(b);
        return p;
    }

    template <typename Cfg> ChannelWorker *start(const Cfg &cfg, ReadIterations *readPlan)
    {
        ChannelWorker *worker = new ChannelWorker(cfg, readPlan, m_buffer.get());
        m_workers << worker;
        m_poller.startInThread(worker, true, false);
        const QString key = worker->readyKey();
        [&] { QTRY_VERIFY_WITH_TIMEOUT(g_lineReady.isReady(key), 10000); }();
        return worker;
    }

    // One pass, queued as a tick would, and waited for.
    bool pass(ChannelWorker *worker, qint64 timestamp, int timeoutMs = 15000)
    {
        const QString key = worker->readyKey();
        if (!worker->queuePass(timestamp))
            return false;
        QElapsedTimer timer;
        timer.start();
        while (!g_lineReady.isReady(key)) {
            if (timer.elapsed() > timeoutMs)
                return false;
            QTest::qWait(5);
        }
        return true;
    }

    CurrentValue current(int device, int regAddr)
    {
        static const QHash<int, int> base = {{kDevA, 1000}, {kDevB, 2000}, {kDevSilent, 3000}};
        if (!m_buffer->tryLock())
            return {};
        const CurrentValue value = m_buffer->value(base.value(device) + regAddr);
        m_buffer->unlock();
        return value;
    }

    static qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

private slots:
    void initTestCase()
    {
        QVERIFY(m_db.create());
        QString table;
        {
            QStringList a, b;
            for (int i = 0; i < 40; ++i)
                a << QString::number(100 + i);
            for (int i = 0; i < 10; ++i)
                b << QString::number(200 + i);
            table = QStringLiteral("{\"1\": {\"hr\": {\"0\": [%1]}}, \"2\": {\"hr\": {\"0\": [%2]}}}")
                        .arg(a.join(','), b.join(','));
        }
        QVERIFY(m_server.startPython(TestEnv::testFile("peers/modbus_server.py"), {"--table", table}));
        m_port = quint16(m_server.readyWords().value(0).toUInt());
        QVERIFY(m_port > 0);

        m_forwarder = new CountingForwarder(m_port);
        m_forwarder->moveToThread(&m_forwarderThread);
        m_forwarderThread.start();
        QMetaObject::invokeMethod(m_forwarder, "listen", Qt::BlockingQueuedConnection);
        QVERIFY(m_forwarder->port > 0);

        // Parameter ids: 1000 + address for device A, 2000 + for B, 3000 + for the silent one;
        // every one archived each second, so every reading of a pass is due.
        for (int device : {kDevA, kDevB, kDevSilent}) {
            QVERIFY(AcqTestDatabase::addDevice(device, device, "tcp", 1));
            for (int addr = 0; addr < 40; ++addr)
                QVERIFY(AcqTestDatabase::addParameter(device * 1000 + addr, device, addr, addr < 30 ? 1 : 0, ""));
        }
        QVERIFY(AcqTestDatabase::addDevice(kDevSilentWide, kDevSilentWide, "tcp", 1));
        for (int addr = 0; addr < kWideValues; ++addr)
            QVERIFY(AcqTestDatabase::addParameter(kDevSilentWide * 1000 + addr, kDevSilentWide, addr, 1, ""));
    }

    void cleanupTestCase()
    {
        QMetaObject::invokeMethod(m_forwarder, "shut", Qt::BlockingQueuedConnection);
        m_forwarderThread.quit();
        m_forwarderThread.wait();
        delete m_forwarder;
    }

    void init()
    {
        g_settings.modbusIterDelay = 0;
        g_settings.modbusPollInterval = 5000;
        QVERIFY(AcqTestDatabase::exec("DELETE FROM ArchiveData"));
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec(AcqTestDatabase::parameterQuery()));
        m_buffer = std::make_unique<ReadBuffer>(query, nullptr);
        g_stats.addChannel("tcp", 1);
        for (int device : {kDevA, kDevB, kDevSilent})
            g_stats.addDevice("tcp", 1, device);
        QCOMPARE(ask("RESET", "OK"), QByteArray("OK"));
    }

    void cleanup()
    {
        for (const QPointer<ChannelWorker> &worker : qAsConst(m_workers))
            if (worker)
                worker->quit(now());
        for (const QPointer<ChannelWorker> &worker : qAsConst(m_workers))
            QTRY_VERIFY_WITH_TIMEOUT(worker.isNull(), 10000);
        m_workers.clear();
        m_buffer.reset();
        g_stats.clear();
    }

    void aPassReadsEveryBlockAndStoresItsValues()
    {
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 5), block(kDevB, 2, 3, 7)}));
        const qint64 t = 1767614400123;
        QVERIFY(pass(worker, t));
        QCOMPARE(current(kDevA, 0).value, 100.0);
        QCOMPARE(current(kDevA, 4).value, 104.0);
        QCOMPARE(current(kDevA, 4).time, t);
        QCOMPARE(current(kDevA, 4).flag, int(ValueFlag::Valid));
        QCOMPARE(current(kDevB, 2).value, 2.02); // regType 7: divided by 100
        QCOMPARE(current(kDevB, 4).flag, int(ValueFlag::Valid));
        QCOMPARE(current(kDevA, 5).flag, int(ValueFlag::NoValueYet));
        QCOMPARE(requests(kUnitA), 1);
        QCOMPARE(requests(kUnitB), 1);
    }

    // A device that times out is asked once per pass: its other blocks are flagged without a
    // read, the line is connected anew, and the other device is still read.
    void aFailedDeviceIsSkippedForTheRestOfThePass()
    {
        const int acceptedBefore = m_forwarder->accepted.loadAcquire();
        ChannelWorker *worker =
            start(tcp(1, m_forwarder->port, 300),
                  plan({block(kDevSilent, 0, 4), block(kDevSilent, 10, 2), block(kDevB, 0, 2), block(kDevSilent, 20, 1)}));
        // Each connect is the probe and the library's own connection.
        const int acceptedAtStart = acceptedBefore + 2;
        QTRY_COMPARE(m_forwarder->accepted.loadAcquire(), acceptedAtStart);
        QVERIFY(pass(worker, 5000));
        QCOMPARE(requests(kSilentUnit), 1);
        QCOMPARE(requests(kUnitB), 1);
        for (int addr : {0, 3, 10, 11, 20}) {
            QCOMPARE(current(kDevSilent, addr).flag, int(ValueFlag::Timeout));
            QCOMPARE(current(kDevSilent, addr).value, 0.0);
            QCOMPARE(current(kDevSilent, addr).time, qint64(5000));
        }
        QCOMPARE(current(kDevB, 1).value, 201.0);
        QCOMPARE(current(kDevB, 1).flag, int(ValueFlag::Valid));
        // The line was connected again after the time-out, before the other device's block.
        QTRY_COMPARE(m_forwarder->accepted.loadAcquire(), acceptedAtStart + 2);

        QVERIFY(g_stats.tryLock());
        const QByteArray stats = g_stats.getModbusStats();
        g_stats.unlock();
        // The silent device had one read; its block after the other device is flagged, not polled.
        QVERIFY2(stats.contains("\"deviceId\":3,\"poolsCnt\":1,\"validRespCnt\":0"), stats.constData());
        QVERIFY2(stats.contains("\"deviceId\":2,\"poolsCnt\":1,\"validRespCnt\":1"), stats.constData());
    }

    void aSkippedDeviceCostsNoPauses()
    {
        g_settings.modbusIterDelay = 1000;
        ChannelWorker *worker = start(tcp(1, m_port, 200), plan({block(kDevSilent, 0, 1), block(kDevSilent, 1, 1),
                                                                   block(kDevSilent, 2, 1), block(kDevSilent, 3, 1),
                                                                   block(kDevSilent, 4, 1)}));
        // Four pauses of over a second would be due if flagged blocks waited.
        QVERIFY(pass(worker, 5000, 3500));
        QCOMPARE(requests(kSilentUnit), 1);
        QCOMPARE(current(kDevSilent, 4).flag, int(ValueFlag::Timeout));
    }

    void pausesBetweenReadBlocks()
    {
        g_settings.modbusIterDelay = 80;
        ChannelWorker *worker =
            start(tcp(1, m_port), plan({block(kDevA, 0, 1), block(kDevA, 1, 1), block(kDevB, 0, 1)}));
        QVERIFY(pass(worker, 5000));
        const QList<qint64> times = arrivals();
        QCOMPARE(times.size(), 3);
        // Every block but the first waits modbusIterDelay + 20 ms before its request (a few ms
        // of slack for the two clocks).
        QVERIFY2(times.at(1) - times.at(0) >= 95, qPrintable(QString::number(times.at(1) - times.at(0))));
        QVERIFY2(times.at(2) - times.at(1) >= 95, qPrintable(QString::number(times.at(2) - times.at(1))));
    }

    void theFirstReadBlockAfterAPlaceholderStillWaits()
    {
        g_settings.modbusIterDelay = 280;
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 1, 18), block(kDevA, 1, 1)}));
        QElapsedTimer timer;
        timer.start();
        QVERIFY(pass(worker, 5000));
        QVERIFY2(timer.elapsed() >= 300, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(requests(kUnitA), 1);                                  // the placeholder is never read
        QCOMPARE(current(kDevA, 0).flag, int(ValueFlag::NoValueYet)); // nor flagged
        QCOMPARE(current(kDevA, 1).flag, int(ValueFlag::Valid));
    }

    // A setting below -20 ms must not turn into an endless sleep.
    void aNegativeDelayIsNoPause()
    {
        g_settings.modbusIterDelay = -1000;
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 1), block(kDevA, 1, 1)}));
        QVERIFY(pass(worker, 5000, 5000));
        QCOMPARE(requests(kUnitA), 2);
        QCOMPARE(ChannelWorker::blockPauseMs(), qint64(0));
        g_settings.modbusIterDelay = std::numeric_limits<int>::max();
        QVERIFY(ChannelWorker::blockPauseMs() > 0);
    }

    // The buffer's lock held elsewhere is no fault of the device: nothing is stored, the line is
    // not connected anew, and the device's next block is still read.
    void aBusyBufferIsNoDeviceError()
    {
        const int acceptedAtStart = m_forwarder->accepted.loadAcquire() + 2;
        ChannelWorker *worker = start(tcp(1, m_forwarder->port), plan({block(kDevA, 0, 2), block(kDevA, 2, 2)}));
        QTRY_COMPARE(m_forwarder->accepted.loadAcquire(), acceptedAtStart);
        BufferLockHolder holder(m_buffer.get());
        QTRY_VERIFY(holder.held());
        QVERIFY(pass(worker, 5000));
        QVERIFY(holder.release());
        // Both requests went through the first connection: a reconnect after the first block
        // would have been accepted before the second request could pass.
        QCOMPARE(requests(kUnitA), 2);
        QCOMPARE(m_forwarder->accepted.loadAcquire(), acceptedAtStart);
        for (int addr : {0, 1, 2, 3}) {
            QCOMPARE(current(kDevA, addr).flag, int(ValueFlag::NoValueYet));
            QCOMPARE(current(kDevA, addr).time, qint64(0));
        }
        QVERIFY(g_stats.tryLock());
        const QByteArray stats = g_stats.getModbusStats();
        g_stats.unlock();
        QVERIFY2(stats.contains("\"deviceId\":1,\"poolsCnt\":2,\"validRespCnt\":2"), stats.constData());
    }

    void unreachableLinesFlagTheirValues_data()
    {
        QTest::addColumn<bool>("serial");
        QTest::addColumn<int>("flag");
        QTest::newRow("TCP server down: read error") << false << int(ValueFlag::ReadError);
        QTest::newRow("serial port missing: no connection") << true << int(ValueFlag::NoConnection);
    }

    void unreachableLinesFlagTheirValues()
    {
        QFETCH(bool, serial);
        QFETCH(int, flag);
        ReadIterations *readPlan = plan({block(kDevA, 0, 2), block(kDevB, 0, 1)});
        ChannelWorker *worker = nullptr;
        if (serial) {
            ConnectionManager::SerialConnectionCfg cfg;
            cfg.id = 1;
            cfg.serialPort = QStringLiteral("/dev/ttyDalvoranMissing");
            cfg.timeout = 200;
            worker = start(cfg, readPlan);
        } else {
            worker = start(tcp(1, TestEnv::freeTcpPort(), 200), readPlan);
        }
        QVERIFY(pass(worker, 5000));
        QCOMPARE(current(kDevA, 0).flag, flag);
        QCOMPARE(current(kDevA, 1).flag, flag);
        QCOMPARE(current(kDevB, 0).flag, flag);
    }

    // A device that does not answer on a line that stays open: every second of the outage is
    // one row per parameter, although its readings fill two batches of 50 per pass.
    void aSilentDeviceIsArchivedOncePerReading()
    {
        g_settings.modbusPollInterval = 1000;
        ChannelWorker *worker = start(tcp(1, m_port, 100), plan({block(kDevSilentWide, 0, kWideValues)}));
        const qint64 t = 1767614400000;
        const int passes = 3;
        for (int k = 0; k < passes; ++k)
            QVERIFY(pass(worker, t + k * 1000));
        QVERIFY(m_buffer->flushArchive());
        QStringList expected;
        for (int addr = 0; addr < kWideValues; ++addr)
            for (int k = 0; k < passes; ++k)
                expected << QStringLiteral("%1|%2|1|%3")
                                .arg(kDevSilentWide * 1000 + addr)
                                .arg(QDateTime::fromMSecsSinceEpoch(t + k * 1000).toString("yyyy-MM-dd hh:mm:ss"))
                                .arg(int(ValueFlag::Timeout));
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec("SELECT idParameter, dateTime, COUNT(*), MAX(flag) FROM ArchiveData WHERE idParameter >= 4000 "
                           "GROUP BY idParameter, dateTime ORDER BY idParameter, dateTime"));
        QStringList counted;
        while (query.next())
            counted << QStringList{query.value(0).toString(), query.value(1).toString(), query.value(2).toString(),
                                   query.value(3).toString()}
                           .join('|');
        QCOMPARE(counted, expected);
    }

    void markBlockErrorFlags_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<int>("flag");
        QTest::newRow("serial no connection") << int(ModbusLine::SerialNoConnection) << int(ValueFlag::NoConnection);
        QTest::newRow("time-out") << int(ModbusLine::Timeout) << int(ValueFlag::Timeout);
        QTest::newRow("TCP no connection") << int(ModbusLine::TcpNoConnection) << int(ValueFlag::ReadError);
        QTest::newRow("bad reply") << int(ModbusLine::BadReply) << int(ValueFlag::ReadError);
        QTest::newRow("block too large") << int(ModbusLine::BlockTooLarge) << int(ValueFlag::ReadError);
        QTest::newRow("other") << int(ModbusLine::OtherError) << int(ValueFlag::ReadError);
    }

    // A 16-bit register block of 32-bit values flags every second address.
    void markBlockErrorFlags()
    {
        QFETCH(int, code);
        QFETCH(int, flag);
        ChannelWorker worker(tcp(1, m_port), nullptr, m_buffer.get());
        worker.markBlockError(block(kDevA, 0, 10, 0, 16, 32), m_buffer.get(), 777, code);
        for (int addr = 0; addr < 20; ++addr) {
            QCOMPARE(current(kDevA, addr).flag, addr % 2 == 0 ? flag : int(ValueFlag::NoValueYet));
            QCOMPARE(current(kDevA, addr).time, addr % 2 == 0 ? qint64(777) : qint64(0));
        }
        QCOMPARE(current(kDevA, 20).flag, int(ValueFlag::NoValueYet));
    }

    void sessionBreaksAtStop()
    {
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 2), block(kDevA, 28, 2, 0, 16, 32),
                                                              block(kDevB, 0, 1, 18)}));
        QVERIFY(pass(worker, 1767614400000));
        QVERIFY(m_buffer->archivedCount() > 0);
        const qint64 stop = 1767614410000; // 2026-01-05 12:00:10 UTC
        QPointer<ChannelWorker> guard(worker);
        worker->quit(stop);
        QVERIFY(m_buffer->flushArchive());
        QStringList breaks;
        for (const QString &row : AcqTestDatabase::archiveRows())
            if (row.endsWith("|6"))
                breaks << row;
        breaks.sort();
        // Addresses 0, 1, 28 and 30 (step 2); 30 and the placeholder's parameter 2000 are
        // archived too, 1032 is not (archInterval 0).
        const QString at = QStringLiteral("|0|2026-01-05 12:00:11|6");
        QCOMPARE(breaks, (QStringList{"1000" + at, "1001" + at, "1028" + at, "2000" + at}));
        QTRY_VERIFY(guard.isNull()); // finished() released the worker
    }

    void noSessionBreaksWhenNothingWasArchived()
    {
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 2)}));
        worker->quit(now());
        QVERIFY(m_buffer->flushArchive());
        QCOMPARE(AcqTestDatabase::archiveCount(), 0);
    }

    // A stop that meets a pass still reading waits for it: the remaining blocks are skipped,
    // the line is closed only after the read, and the worker is gone when quit returns.
    void quitDuringAPassEndsItAfterTheCurrentRead()
    {
        ChannelWorker *worker =
            start(tcp(1, m_port, 800), plan({block(kDevSilent, 0, 1), block(kDevB, 0, 1), block(kDevB, 1, 1)}));
        QPointer<ChannelWorker> guard(worker);
        QVERIFY(worker->queuePass(5000));
        QTRY_VERIFY(requests(kSilentUnit) == 1); // the pass is inside its first read
        worker->quit(now());
        QCOMPARE(requests(kUnitB), 0);
        QCOMPARE(current(kDevSilent, 0).flag, int(ValueFlag::Timeout));
        QTRY_VERIFY(guard.isNull());
    }

    void quitDuringAPauseDoesNotSitItOut()
    {
        g_settings.modbusIterDelay = 60000;
        ChannelWorker *worker = start(tcp(1, m_port), plan({block(kDevA, 0, 1), block(kDevA, 1, 1)}));
        QPointer<ChannelWorker> guard(worker);
        QVERIFY(worker->queuePass(5000));
        QTRY_VERIFY(requests(kUnitA) == 1); // the pass is in its pause before the second block
        QElapsedTimer timer;
        timer.start();
        worker->quit(now());
        QVERIFY2(timer.elapsed() < 30000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(requests(kUnitA), 1);
        QCOMPARE(current(kDevA, 1).flag, int(ValueFlag::NoValueYet));
        QTRY_VERIFY(guard.isNull());
    }

    // Two connections to one ip share a line key but not a readiness flag: the end of one
    // worker's pass does not make the other look idle, so no pass is queued to a busy worker.
    void workersOnOneIpHaveTheirOwnReadiness()
    {
        ChannelWorker *slow = start(tcp(1, m_port, 1500), plan({block(kDevSilent, 0, 1)}));
        ChannelWorker *quick = start(tcp(2, m_forwarder->port), plan({block(kDevB, 0, 1)}));
        QCOMPARE(slow->lineKey(), quick->lineKey());
        QVERIFY(slow->readyKey() != quick->readyKey());
        QVERIFY(slow->queuePass(5000));
        QVERIFY(!slow->queuePass(5001)); // already queued: never twice
        QVERIFY(pass(quick, 5000));
        QVERIFY(!g_lineReady.isReady(slow->readyKey()));
        QVERIFY(!slow->queuePass(5002));
        QTRY_VERIFY_WITH_TIMEOUT(g_lineReady.isReady(slow->readyKey()), 10000);
        QCOMPARE(requests(kSilentUnit), 1);
        QCOMPARE(requests(kUnitB), 1);
    }
};

QTEST_GUILESS_MAIN(tst_ChannelWorker)
#include "tst_ChannelWorker.moc"
