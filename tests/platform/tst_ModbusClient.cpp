#include "ModbusClient.h"
#include "ModbusPeer.h"
#include "SerialPortList.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <cerrno>
#include <iterator>
#include <vector>

#include <fcntl.h>
#include <modbus.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

using namespace ModbusPeer;

namespace {

quint16 holding(int address) { return quint16(address * 7 + 3); }
quint16 input(int address) { return quint16(65535 - address); }
quint32 wide(int address) { return 0x01020304u + quint32(address) * 0x01010101u; }

} // namespace

class tst_ModbusClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void timeoutIsNormalised_data();
    void timeoutIsNormalised();
    void silentUnitTimesOutAfterTheGivenTime();
    void largeReadsAreSplit_data();
    void largeReadsAreSplit();
    void largeWritesAreSplit();
    void exceptionReplyIsAFailureButNoTimeout();
    void hostNamesAreResolved();
    void highDescriptorNumbersAreRefused();
    void wideRegistersReadAndWrite();
    void wideRegisterRepliesAreChecked_data();
    void wideRegisterRepliesAreChecked();
    void serialPortIsTakenExclusively();
    void lateSerialReplyIsNeverTakenForTheNext_data();
    void lateSerialReplyIsNeverTakenForTheNext();
    void strayInputIsNeverTakenAsAReply();
    void serialRateTheDriverCannotSetIsRefused_data();
    void serialRateTheDriverCannotSetIsRefused();
    void valuesOfTwoRegistersAreNeverSplit_data();
    void valuesOfTwoRegistersAreNeverSplit();
    void extraSerialPortsAreListed();

private:
    std::unique_ptr<ModbusClient> connectedTcp(PeerProcess &peer, int slave = 1);

    PeerProcess m_server;
    PeerProcess m_scripted;
};

void tst_ModbusClient::initTestCase()
{
    QJsonArray hr;
    QJsonArray ir;
    for (int a = 0; a < 1300; ++a) {
        hr.append(holding(a));
        ir.append(input(a));
    }
    const QJsonObject table{{"1", QJsonObject{{"hr", QJsonObject{{"0", hr}}}, {"ir", QJsonObject{{"0", ir}}}}}};
    QVERIFY(m_server.startPython(TestEnv::testFile("peers/modbus_server.py"),
                                 {"--table", QString::fromUtf8(QJsonDocument(table).toJson(QJsonDocument::Compact))}));

    QJsonObject regs;
    for (int a = 0; a < 200; ++a)
        regs.insert(QString::number(a), double(wide(a)));
    QVERIFY(m_scripted.startPython(TestEnv::testFile("peers/modbus_scripted.py"),
                                   {"--regs32", QString::fromUtf8(QJsonDocument(regs).toJson(QJsonDocument::Compact))}));
}

std::unique_ptr<ModbusClient> tst_ModbusClient::connectedTcp(PeerProcess &peer, int slave)
{
    auto client = ModbusClient::newTcp("127.0.0.1", quint16(peer.readyWords().value(0).toUInt()));
    if (!client || client->connect() != 0 || client->setSlave(slave) != 0)
        return nullptr;
    return client;
}

void tst_ModbusClient::timeoutIsNormalised_data()
{
    QTest::addColumn<qint64>("sec");
    QTest::addColumn<qint64>("usec");
    QTest::addColumn<qint64>("expectedSec");
    QTest::addColumn<qint64>("expectedUsec");

    QTest::newRow("below a second") << qint64(0) << qint64(500000) << qint64(0) << qint64(500000);
    QTest::newRow("1500 ms as µs") << qint64(0) << qint64(1500000) << qint64(1) << qint64(500000);
    QTest::newRow("exactly a second as µs") << qint64(0) << qint64(1000000) << qint64(1) << qint64(0);
    QTest::newRow("carry onto whole seconds") << qint64(2) << qint64(2250000) << qint64(4) << qint64(250000);
    // No time at all keeps the library's default rather than 1 µs, which reads nothing.
    QTest::newRow("zero keeps the default") << qint64(0) << qint64(0) << qint64(0) << qint64(500000);
    QTest::newRow("negative keeps the default") << qint64(0) << qint64(-5000) << qint64(0) << qint64(500000);
}

void tst_ModbusClient::timeoutIsNormalised()
{
    QFETCH(qint64, sec);
    QFETCH(qint64, usec);
    QFETCH(qint64, expectedSec);
    QFETCH(qint64, expectedUsec);

    auto client = ModbusClient::newTcp("127.0.0.1", 502);
    QVERIFY(client);
    QCOMPARE(client->setTimeoutBegin(sec, usec), 0);
    qint64 s = -1;
    qint64 us = -1;
    client->getTimeoutBegin(&s, &us);
    QCOMPARE(s, expectedSec);
    QCOMPARE(us, expectedUsec);
}

void tst_ModbusClient::silentUnitTimesOutAfterTheGivenTime()
{
    auto client = connectedTcp(m_server, 9); // unit 9 is not in the table: no reply at all
    QVERIFY(client);
    QCOMPARE(client->setTimeoutBegin(0, 1500000), 0);
    quint16 words[4];
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(client->readRegisters(0, 4, words), -1);
    const qint64 elapsed = timer.elapsed();
    QVERIFY2(elapsed >= 1400, qPrintable(QString::number(elapsed)));
    QVERIFY(client->lastFailureWasTimeout());
}

void tst_ModbusClient::largeReadsAreSplit_data()
{
    QTest::addColumn<bool>("inputRegisters");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("nb");

    QTest::newRow("holding, one") << false << 10 << 1;
    QTest::newRow("holding, one full request") << false << 0 << 125;
    QTest::newRow("holding, one over") << false << 3 << 126;
    QTest::newRow("holding, 400") << false << 100 << 400;
    QTest::newRow("input, 250") << true << 7 << 250;
    QTest::newRow("input, 400") << true << 0 << 400;
}

void tst_ModbusClient::largeReadsAreSplit()
{
    QFETCH(bool, inputRegisters);
    QFETCH(int, address);
    QFETCH(int, nb);

    auto client = connectedTcp(m_server);
    QVERIFY(client);
    QVERIFY(tell(m_server, "RESET"));
    std::vector<quint16> words(size_t(nb), 0);
    const int rc = inputRegisters ? client->readInputRegisters(address, nb, words.data())
                                  : client->readRegisters(address, nb, words.data());
    QCOMPARE(rc, nb);
    for (int i = 0; i < nb; ++i)
        QCOMPARE(words[size_t(i)], inputRegisters ? input(address + i) : holding(address + i));

    int next = address;
    for (const Request &r : requests(m_server)) {
        QCOMPARE(r.function, inputRegisters ? 4 : 3);
        QCOMPARE(r.address, next);
        QVERIFY(r.count <= 125);
        next += r.count;
    }
    QCOMPARE(next, address + nb);
}

void tst_ModbusClient::largeWritesAreSplit()
{
    auto client = connectedTcp(m_server);
    QVERIFY(client);
    QVERIFY(tell(m_server, "RESET"));
    std::vector<quint16> values(300);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = quint16(40000 + i);
    QCOMPARE(client->writeRegisters(1000, 300, values.data()), 300);
    for (const Request &r : requests(m_server))
        QVERIFY(r.count <= 123);

    std::vector<quint16> back(300, 0);
    QCOMPARE(client->readRegisters(1000, 300, back.data()), 300);
    QVERIFY(back == values);
}

void tst_ModbusClient::exceptionReplyIsAFailureButNoTimeout()
{
    auto client = connectedTcp(m_server);
    QVERIFY(client);
    quint16 words[2];
    QCOMPARE(client->readRegisters(5000, 2, words), -1); // not in the table: illegal data address
    QCOMPARE(client->lastErrno(), int(EMBXILADD));
    QVERIFY(!client->lastFailureWasTimeout());
}

void tst_ModbusClient::hostNamesAreResolved()
{
    auto client = ModbusClient::newTcp("localhost", quint16(m_server.readyWords().value(0).toUInt()));
    QVERIFY(client);
    QCOMPARE(client->connect(), 0);
    QCOMPARE(client->setSlave(1), 0);
    quint16 word = 0;
    QCOMPARE(client->readRegisters(42, 1, &word), 1);
    QCOMPARE(word, holding(42));
}

// The HTTP server raises the descriptor limit; a process that holds many descriptors must not
// hand the library's select() a number beyond its set.
void tst_ModbusClient::highDescriptorNumbersAreRefused()
{
    rlimit limit{};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &limit), 0);
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < rlim_t(FD_SETSIZE + 64))
        QSKIP("the hard descriptor limit does not reach past FD_SETSIZE");
    const rlimit saved = limit;
    limit.rlim_cur = FD_SETSIZE + 64;
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &limit), 0);

    std::vector<int> held;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        QVERIFY(fd != -1);
        held.push_back(fd);
        if (fd >= FD_SETSIZE - 1)
            break;
    }
    auto client = ModbusClient::newTcp("127.0.0.1", quint16(m_server.readyWords().value(0).toUInt()));
    QVERIFY(client);
    QCOMPARE(client->connect(), -1);
    QCOMPARE(client->lastErrno(), EMFILE);

    for (int fd : held)
        ::close(fd);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &saved), 0);
    QCOMPARE(client->connect(), 0);
    QCOMPARE(client->setSlave(1), 0);
    quint16 word = 0;
    QCOMPARE(client->readRegisters(42, 1, &word), 1);
    QCOMPARE(word, holding(42));
}

void tst_ModbusClient::wideRegistersReadAndWrite()
{
    auto client = connectedTcp(m_scripted);
    QVERIFY(client);
    QVERIFY(tell(m_scripted, "RESET"));

    // The peer refuses more than 62 registers in one request, so 150 only reads when split.
    std::vector<quint16> words(300, 0);
    QCOMPARE(client->readRegisters32(20, 150, words.data()), 150);
    for (int i = 0; i < 150; ++i) {
        const quint32 value = quint32(words[size_t(2 * i + 1)]) << 16 | words[size_t(2 * i)];
        QCOMPARE(value, wide(20 + i));
    }

    std::vector<quint16> out(2 * 100);
    for (int i = 0; i < 100; ++i) {
        out[size_t(2 * i)] = quint16(0xA000 + i);     // low word
        out[size_t(2 * i + 1)] = quint16(0x0B00 + i); // high word
    }
    QCOMPARE(client->writeRegisters32(500, 100, out.data()), 100);
    QCOMPARE(ask(m_scripted, "GET 500", "VALUE").value(0).toUInt(), 0x0B00A000u);
    QCOMPARE(ask(m_scripted, "GET 599", "VALUE").value(0).toUInt(), quint32(0x0B00 + 99) << 16 | (0xA000 + 99));
    std::vector<quint16> back(2 * 100, 0);
    QCOMPARE(client->readRegisters32(500, 100, back.data()), 100);
    QVERIFY(back == out);
}

void tst_ModbusClient::wideRegisterRepliesAreChecked_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("expected");
    QTest::addColumn<int>("expectedErrno");
    QTest::addColumn<bool>("timeout");

    QTest::newRow("shorter well-formed reply") << QByteArray("SHORT 2") << 8 << 0 << false;
    QTest::newRow("byte count no multiple of four") << QByteArray("BADCOUNT") << -1 << int(EMBBADDATA) << false;
    QTest::newRow("exception reply") << QByteArray("EXCEPTION 2") << -1 << int(EMBXILADD) << false;
    QTest::newRow("another unit answers") << QByteArray("WRONGUNIT") << -1 << int(EMBBADDATA) << false;
    QTest::newRow("no reply") << QByteArray("SILENT 1") << -1 << 0 << true;
}

void tst_ModbusClient::wideRegisterRepliesAreChecked()
{
    QFETCH(QByteArray, script);
    QFETCH(int, expected);
    QFETCH(int, expectedErrno);
    QFETCH(bool, timeout);

    auto client = connectedTcp(m_scripted);
    QVERIFY(client);
    QCOMPARE(client->setTimeoutBegin(0, 300000), 0);
    QVERIFY(tell(m_scripted, script));
    std::vector<quint16> words(20, 0);
    QCOMPARE(client->readRegisters32(0, 10, words.data()), expected);
    if (expected >= 0) {
        for (int i = 0; i < expected; ++i)
            QCOMPARE(quint32(words[size_t(2 * i + 1)]) << 16 | words[size_t(2 * i)], wide(i));
    } else if (timeout) {
        QVERIFY(client->lastFailureWasTimeout());
    } else {
        QCOMPARE(client->lastErrno(), expectedErrno);
        QVERIFY(!client->lastFailureWasTimeout());
    }
}

void tst_ModbusClient::serialPortIsTakenExclusively()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));

    auto first = ModbusClient::newRtu(pty.a.toLatin1(), 9600, 'N', 8, 1);
    auto second = ModbusClient::newRtu(pty.a.toLatin1(), 9600, 'N', 8, 1);
    QVERIFY(first && second);
    QCOMPARE(first->connect(), 0);
    QCOMPARE(second->connect(), -1);
    QCOMPARE(second->lastErrno(), EBUSY);
    first->close();
    QCOMPARE(second->connect(), 0);
}

namespace {

// Holding and input registers of the late-answering serial peer.
quint16 lateRegister(int address) { return quint16(address * 7 + 3); }

} // namespace

void tst_ModbusClient::lateSerialReplyIsNeverTakenForTheNext_data()
{
    QTest::addColumn<bool>("inputRegisters");
    QTest::newRow("holding registers") << false;
    QTest::newRow("input registers") << true;
}

// A slave answers one request after the time-out. Nothing but the order tells a serial reply
// from the next one: the late reply must be dropped, not stored as the next block's values.
void tst_ModbusClient::lateSerialReplyIsNeverTakenForTheNext()
{
    QFETCH(bool, inputRegisters);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));
    PeerProcess peer;
    QVERIFY(peer.startPython(TestEnv::testFile("peers/modbus_rtu_late.py"), {"--path", pty.b}));

    auto client = ModbusClient::newRtu(pty.a.toLatin1(), 19200, 'N', 8, 1);
    QVERIFY(client);
    QCOMPARE(client->connect(), 0);
    QCOMPARE(client->setSlave(1), 0);
    QCOMPARE(client->setTimeoutBegin(0, 400000), 0);
    auto read = [&](int address, quint16 *words) {
        return inputRegisters ? client->readInputRegisters(address, 4, words) : client->readRegisters(address, 4, words);
    };

    QVERIFY(tell(peer, "LATE 600"));
    quint16 words[4] = {};
    QCOMPARE(read(0, words), -1);
    QVERIFY(client->lastFailureWasTimeout());
    for (int pass = 0; pass < 3; ++pass) {
        for (int address : {100, 0}) {
            std::fill(std::begin(words), std::end(words), quint16(0));
            QCOMPARE(read(address, words), 4);
            for (int i = 0; i < 4; ++i)
                QCOMPARE(words[i], lateRegister(address + i));
        }
    }
}

// Bytes that wait on the port before a request (a reply that came after its time-out and
// after the input was last emptied, or noise) are no answer to it.
void tst_ModbusClient::strayInputIsNeverTakenAsAReply()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // socat -v reports every transfer, so the test can wait until the stray bytes have reached
    // the client's end instead of waiting for a time.
    PeerProcess socat;
    const QString a = dir.filePath("a");
    const QString b = dir.filePath("b");
    QVERIFY(socat.start(QStringLiteral("socat"),
                        {"-d", "-d", "-v", "pty,raw,echo=0,link=" + a, "pty,raw,echo=0,link=" + b}, 20000,
                        "starting data transfer loop"));
    PeerProcess peer;
    QVERIFY(peer.startPython(TestEnv::testFile("peers/modbus_rtu_late.py"), {"--path", b}));
    auto client = ModbusClient::newRtu(a.toLatin1(), 19200, 'N', 8, 1);
    QVERIFY(client);
    QCOMPARE(client->connect(), 0);
    QCOMPARE(client->setSlave(1), 0);
    QCOMPARE(client->setTimeoutBegin(0, 400000), 0);
    quint16 words[4] = {};
    QCOMPARE(client->readRegisters(50, 4, words), 4); // the port is up
    const int from = socat.output().size();
    QVERIFY(tell(peer, "STRAY 0 4"));
    QTRY_VERIFY_WITH_TIMEOUT(socat.output().indexOf("< ", from) >= 0, 5000); // from b to a
    QCOMPARE(client->readRegisters(100, 4, words), 4);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(words[i], lateRegister(100 + i));
}

void tst_ModbusClient::serialRateTheDriverCannotSetIsRefused_data()
{
    QTest::addColumn<int>("baud");
    QTest::addColumn<bool>("opens");
    QTest::newRow("9600") << 9600 << true;
    QTest::newRow("115200") << 115200 << true;
    QTest::newRow("256000 has no driver constant") << 256000 << false;
    QTest::newRow("12345") << 12345 << false;
}

// The library runs a rate it has no constant for at 9600 bit/s without a word; such a line
// would read nothing but garbage, so its connect fails.
void tst_ModbusClient::serialRateTheDriverCannotSetIsRefused()
{
    QFETCH(int, baud);
    QFETCH(bool, opens);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));
    auto client = ModbusClient::newRtu(pty.a.toLatin1(), baud, 'N', 8, 1);
    QVERIFY(client);
    if (opens) {
        QCOMPARE(client->connect(), 0);
        return;
    }
    QCOMPARE(client->connect(), -1);
    QCOMPARE(client->lastErrno(), EINVAL);
    // The port was let go: another context opens it.
    auto other = ModbusClient::newRtu(pty.a.toLatin1(), 9600, 'N', 8, 1);
    QCOMPARE(other->connect(), 0);
}

void tst_ModbusClient::valuesOfTwoRegistersAreNeverSplit_data()
{
    QTest::addColumn<bool>("inputRegisters");
    QTest::addColumn<int>("nb");
    QTest::newRow("holding, 400") << false << 400;
    QTest::newRow("holding, 250") << false << 250;
    QTest::newRow("input, 400") << true << 400;
}

void tst_ModbusClient::valuesOfTwoRegistersAreNeverSplit()
{
    QFETCH(bool, inputRegisters);
    QFETCH(int, nb);
    auto client = connectedTcp(m_server);
    QVERIFY(client);
    QVERIFY(tell(m_server, "RESET"));
    std::vector<quint16> words(size_t(nb), 0);
    const int rc = inputRegisters ? client->readInputRegistersAligned(10, nb, words.data(), 2)
                                  : client->readRegistersAligned(10, nb, words.data(), 2);
    QCOMPARE(rc, nb);
    for (int i = 0; i < nb; ++i)
        QCOMPARE(words[size_t(i)], inputRegisters ? input(10 + i) : holding(10 + i));
    int next = 10;
    for (const Request &r : requests(m_server)) {
        QCOMPARE(r.address, next);
        QCOMPARE(r.count % 2, 0);
        next += r.count;
    }
    QCOMPARE(next, 10 + nb);

    QVERIFY(tell(m_server, "RESET"));
    std::vector<quint16> values(300);
    for (size_t i = 0; i < values.size(); ++i)
        values[i] = quint16(30000 + i);
    QCOMPARE(client->writeRegistersAligned(700, 300, values.data(), 2), 300);
    for (const Request &r : requests(m_server))
        QCOMPARE(r.count % 2, 0);
}

void tst_ModbusClient::extraSerialPortsAreListed()
{
    const QList<SerialPortList::Port> plain = SerialPortList::getPorts();
    qputenv("EXTRA_SERIAL_PORTS", "/tmp/virtual-x::/tmp/virtual-y:/tmp/virtual-x");
    const QList<SerialPortList::Port> ports = SerialPortList::getPorts();
    qunsetenv("EXTRA_SERIAL_PORTS");

    QCOMPARE(ports.size(), plain.size() + 2);
    QCOMPARE(ports.at(plain.size()).portName, QStringLiteral("/tmp/virtual-x"));
    QCOMPARE(ports.at(plain.size() + 1).portName, QStringLiteral("/tmp/virtual-y"));
    for (const SerialPortList::Port &port : ports)
        QVERIFY(!port.friendName.isEmpty());
}

QTEST_GUILESS_MAIN(tst_ModbusClient)
#include "tst_ModbusClient.moc"
