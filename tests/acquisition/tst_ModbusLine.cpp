#include "BufferInterface.h"
#include "ConnectionManager.h"
#include "ModbusSerialLine.h"
#include "ModbusTCPLine.h"
#include "ReadIteration.h"
#include "ValueFlag.h"

#include "../platform/ModbusPeer.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <thread>

using namespace ModbusPeer;

namespace {

constexpr qint64 kTimestamp = 1765360000123;
constexpr int kDevice = 77;
constexpr int kUnit = 1;
constexpr int kMissingUnit = 9;

// Every store a line makes, and a way to hold the lock from another thread as a busy reader would.
class RecordingBuffer : public BufferInterface
{
public:
    struct Store
    {
        int idDevice;
        int regAddr;
        double value;
        qint64 timestamp;
        int flag;
        int extra;
        bool nearest;
    };

    ~RecordingBuffer() override
    {
        if (m_holder.joinable())
            release();
    }

    void storeValue(int idDevice, int regAddr, double value, qint64 timestamp, int flag, int extra,
                    bool nearest) override
    {
        m_stores.append({idDevice, regAddr, value, timestamp, flag, extra, nearest});
    }

    void holdLockElsewhere()
    {
        m_holder = std::thread([this] {
            m_mutex.lock();
            m_held.release();
            m_released.acquire();
            m_mutex.unlock();
        });
        m_held.acquire();
    }

    void release()
    {
        m_released.release();
        m_holder.join();
    }

    QList<Store> m_stores;

private:
    std::thread m_holder;
    QSemaphore m_held;
    QSemaphore m_released;
};

quint32 bitsOf(float f)
{
    quint32 bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

double floatOf(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return double(f);
}

quint16 hi(quint32 v) { return quint16(v >> 16); }
quint16 lo(quint32 v) { return quint16(v); }

// One block of the decode table: the registers the server holds for it and what the line must
// store from them. The same table fills the server and gives the expectations.
struct DecodeCase
{
    const char *name;
    int regType;
    int regSize;
    int valSize;
    int function;
    QList<quint16> words; // as the server holds them, from the block's first register on
    QList<double> values;
    QList<int> flags;
};

const QList<DecodeCase> &decodeCases()
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const quint32 f125 = bitsOf(12.5f);
    const quint32 fm325 = bitsOf(-3.25f);
    static const QList<DecodeCase> cases = {
        {"type 0, one word each", 0, 16, 16, 3, {0, 1, 65535}, {0, 1, 65535}, {0, 0, 0}},
        {"type 1, one word each", 1, 16, 16, 3, {7, 40000}, {7, 40000}, {0, 0}},
        {"type 0, pairs high word first", 0, 16, 32, 3, {1, 0, 0xFFFF, 0xFFFF}, {65536, 4294967295.0}, {0, 0}},
        {"type 1, pairs high word first", 1, 16, 32, 3, {0, 5}, {5}, {0}},
        {"type 2, float high word first", 2, 16, 32, 3, {hi(f125), 0, hi(fm325), lo(fm325)}, {12.5, -3.25}, {0, 0}},
        {"type 3, float low word first", 3, 16, 32, 3, {0, hi(f125), lo(fm325), hi(fm325)}, {12.5, -3.25}, {0, 0}},
        {"type 2, markers +1e20 -1e20 -2e20", 2, 16, 32, 3,
         {0x60AD, 0x78EC, 0xE0AD, 0x78EC, 0xE12D, 0x78EC},
         {floatOf(0x60AD78EC), floatOf(0xE0AD78EC), floatOf(0xE12D78EC)}, {2, 2, 2}},
        {"type 3, marker -1e20 low word first", 3, 16, 32, 3, {0x78EC, 0xE0AD}, {floatOf(0xE0AD78EC)}, {2}},
        {"type 2, one above the marker is a value", 2, 16, 32, 3, {0x60AD, 0x78ED, 0x60AD, 0x78EB},
         {floatOf(0x60AD78ED), floatOf(0x60AD78EB)}, {0, 0}},
        {"type 2, NaN and infinity are passed on", 2, 16, 32, 3, {0x7FC0, 0x0000, 0xFF80, 0x0000}, {nan, -inf},
         {0, 0}},
        {"type 5, signed pair divided by 10", 5, 16, 32, 3, {0xFFFF, 0xFFF6, 0x0000, 0x04D2}, {-1.0, 123.4}, {0, 0}},
        {"type 5, one word is taken unsigned", 5, 16, 16, 3, {0xFFF6}, {65526}, {0}},
        {"type 6, signed pair divided by 100", 6, 16, 32, 3, {0xFFFF, 0xFF9C, 0x0000, 0x3039}, {-1.0, 123.45}, {0, 0}},
        {"type 7 and 11 divide by 100", 7, 16, 16, 3, {250, 65535}, {2.5, 655.35}, {0, 0}},
        {"type 11", 11, 16, 16, 3, {5}, {0.05}, {0}},
        {"type 8", 8, 16, 16, 3, {5}, {0.5}, {0}},
        {"type 12", 12, 16, 16, 3, {5}, {0.5}, {0}},
        {"type 9", 9, 16, 16, 3, {250}, {0.25}, {0}},
        {"type 13", 13, 16, 16, 3, {1}, {0.001}, {0}},
        {"type 4 is a plain word", 4, 16, 16, 3, {65535}, {65535}, {0}},
        {"type 10 is a plain word", 10, 16, 16, 3, {1234}, {1234}, {0}},
        {"type 14 is a plain word", 14, 16, 16, 3, {4321}, {4321}, {0}},
        {"negative type is a plain word", -1, 16, 16, 3, {9}, {9}, {0}},
        // A 16-bit type read two registers a value still decodes words 0, 1, ... of the reply.
        {"16-bit type with 32-bit values takes word i", 7, 16, 32, 3, {100, 200, 300, 400}, {1.0, 2.0}, {0, 0}},
        {"input registers", 0, 16, 16, 4, {9, 8, 7}, {9, 8, 7}, {0, 0, 0}},
        {"input registers, divided", 9, 16, 16, 4, {1500}, {1.5}, {0}},
        {"any read function but 3 reads input registers", 0, 32, 16, 6, {11, 12}, {11, 12}, {0, 0}},
        // 32-bit registers asked of input registers come as one 16-bit word each: the pairs that
        // were not received are a read error, not a decoding of memory that was never filled.
        {"pair type over 16-bit input registers", 2, 32, 32, 4,
         {lo(f125), hi(f125), lo(fm325), hi(fm325)}, {12.5, -3.25, 0, 0}, {0, 0, 4, 4}},
        {"pair type with one word per value", 3, 16, 16, 3, {0, hi(f125)}, {12.5, 0}, {0, 4}},
    };
    return cases;
}

int caseAddress(int index) { return 100 * index; }
int valuesOf(const DecodeCase &c) { return int(c.values.size()); }

constexpr int kBigBlockAddress = 5000; // 400 registers for the largest block
quint16 bigWord(int i) { return quint16(i * 3 + 1); }
constexpr int kAbsentAddress = 9000;   // not in the table: exception reply

ReadIteration block(int address, int count, int regType = 0, int regSize = 16, int valSize = 16, int function = 3,
                    int unit = kUnit)
{
    ReadIteration b;
    b.ModbusId = unit;
    b.regAddr = address;
    b.valuesCnt = count;
    b.regType = regType;
    b.regSize = regSize;
    b.valSize = valSize;
    b.idDevice = kDevice;
    b.ModbusReadFunction = qint16(function);
    return b;
}

// The stores of a block whose values all got the same value and flag (a failed read).
bool allStoredAs(const QList<RecordingBuffer::Store> &stores, const ReadIteration &b, double value, int flag)
{
    const int step = b.regSize == 16 && b.valSize == 32 ? 2 : 1;
    if (stores.size() != b.valuesCnt)
        return false;
    for (int i = 0; i < b.valuesCnt; ++i) {
        const RecordingBuffer::Store &s = stores.at(i);
        if (s.idDevice != kDevice || s.regAddr != b.regAddr + i * step || s.value != value || s.flag != flag ||
            s.timestamp != kTimestamp || s.nearest)
            return false;
    }
    return true;
}

} // namespace

class tst_ModbusLine : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void decodesEveryType_data();
    void decodesEveryType();
    void decodesWideRegisters_data();
    void decodesWideRegisters();
    void failedReadsStoreZerosWithTheirFlag_data();
    void failedReadsStoreZerosWithTheirFlag();
    void blockSizeIsBounded_data();
    void blockSizeIsBounded();
    void busyBufferIsNoDeviceError_data();
    void busyBufferIsNoDeviceError();
    void tcpServerDownIsNoConnection();
    void tcpIdentification_data();
    void tcpIdentification();
    void serialPortIsMatchedFromTheList_data();
    void serialPortIsMatchedFromTheList();
    void serialLineReadsAndTimesOutWhenTheServerStops();
    void serialLineRecoversFromALateReply();
    void lineWithoutTimeoutKeepsTheDefault();

private:
    ConnectionManager::TCPConnectionCfg tcpCfg(PeerProcess &peer, int timeout = 1000) const;

    PeerProcess m_server;
    PeerProcess m_scripted;
};

void tst_ModbusLine::initTestCase()
{
    QJsonObject hr;
    QJsonObject ir;
    const QList<DecodeCase> &cases = decodeCases();
    for (int i = 0; i < cases.size(); ++i) {
        QJsonArray words;
        for (quint16 w : cases.at(i).words)
            words.append(w);
        (cases.at(i).function == 3 ? hr : ir).insert(QString::number(caseAddress(i)), words);
    }
    QJsonArray big;
    for (int i = 0; i < 400; ++i)
        big.append(bigWord(i));
    hr.insert(QString::number(kBigBlockAddress), big);
    const QJsonObject table{{QString::number(kUnit), QJsonObject{{"hr", hr}, {"ir", ir}}}};
    QVERIFY(m_server.startPython(TestEnv::testFile("peers/modbus_server.py"),
                                 {"--table", QString::fromUtf8(QJsonDocument(table).toJson(QJsonDocument::Compact))}));

    QJsonObject regs;
    for (int a = 0; a < 20; ++a)
        regs.insert(QString::number(a), double(0x00010002u * quint32(a + 1)));
    regs.insert("100", double(bitsOf(12.5f)));
    regs.insert("101", double(0xE0AD78ECu));
    regs.insert("102", double(quint32(lo(bitsOf(12.5f))) << 16 | hi(bitsOf(12.5f))));
    regs.insert("103", double(0x78ECE0ADu));
    regs.insert("104", double(0x00010002u));
    regs.insert("105", double(0xFFFFFFF6u));
    QVERIFY(m_scripted.startPython(TestEnv::testFile("peers/modbus_scripted.py"),
                                   {"--regs32", QString::fromUtf8(QJsonDocument(regs).toJson(QJsonDocument::Compact))}));
}

ConnectionManager::TCPConnectionCfg tst_ModbusLine::tcpCfg(PeerProcess &peer, int timeout) const
{
    ConnectionManager::TCPConnectionCfg cfg;
    cfg.id = kUnit;
    cfg.name = QStringLiteral("line under test");
    cfg.ip = QStringLiteral("127.0.0.1");
    cfg.portTCP = quint16(peer.readyWords().value(0).toUInt());
    cfg.timeout = timeout;
    return cfg;
}

void tst_ModbusLine::decodesEveryType_data()
{
    QTest::addColumn<int>("index");
    const QList<DecodeCase> &cases = decodeCases();
    for (int i = 0; i < cases.size(); ++i)
        QTest::newRow(cases.at(i).name) << i;
}

void tst_ModbusLine::decodesEveryType()
{
    QFETCH(int, index);
    const DecodeCase &c = decodeCases().at(index);
    const ReadIteration b = block(caseAddress(index), valuesOf(c), c.regType, c.regSize, c.valSize, c.function);

    ModbusTCPLine line(tcpCfg(m_server));
    RecordingBuffer buffer;
    QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), int(ModbusLine::Success));

    const int step = c.regSize == 16 && c.valSize == 32 ? 2 : 1;
    QCOMPARE(buffer.m_stores.size(), valuesOf(c));
    for (int i = 0; i < valuesOf(c); ++i) {
        const RecordingBuffer::Store &s = buffer.m_stores.at(i);
        QCOMPARE(s.idDevice, kDevice);
        QCOMPARE(s.regAddr, caseAddress(index) + i * step);
        QCOMPARE(s.value, c.values.at(i));
        QCOMPARE(s.flag, c.flags.at(i));
        QCOMPARE(s.timestamp, kTimestamp);
        QVERIFY(!s.nearest);
    }
}

void tst_ModbusLine::decodesWideRegisters_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("regType");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<QList<double>>("values");
    QTest::addColumn<QList<int>>("flags");

    QTest::newRow("type 2 is the register's float") << 100 << 2 << 32 << QList<double>{12.5, floatOf(0xE0AD78EC)}
                                                    << QList<int>{0, 2};
    QTest::newRow("type 3 is the float of the halves exchanged")
        << 102 << 3 << 32 << QList<double>{12.5, floatOf(0xE0AD78EC)} << QList<int>{0, 2};
    // The integer types read a 32-bit register as the number it holds, not with its halves exchanged.
    QTest::newRow("type 0 is the register's unsigned value")
        << 104 << 0 << 32 << QList<double>{double(0x00010002u)} << QList<int>{0};
    QTest::newRow("type 5 divides the register's signed value by 10") << 105 << 5 << 32 << QList<double>{-1.0}
                                                                     << QList<int>{0};
    QTest::newRow("type 6 divides the register's signed value by 100") << 105 << 6 << 32 << QList<double>{-0.1}
                                                                      << QList<int>{0};
}

void tst_ModbusLine::decodesWideRegisters()
{
    QFETCH(int, address);
    QFETCH(int, regType);
    QFETCH(int, valSize);
    QFETCH(QList<double>, values);
    QFETCH(QList<int>, flags);

    ModbusTCPLine line(tcpCfg(m_scripted));
    RecordingBuffer buffer;
    QVERIFY(tell(m_scripted, "RESET"));
    const ReadIteration b = block(address, int(values.size()), regType, 32, valSize, 3);
    QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), int(ModbusLine::Success));
    QCOMPARE(buffer.m_stores.size(), values.size());
    for (int i = 0; i < values.size(); ++i) {
        QCOMPARE(buffer.m_stores.at(i).regAddr, address + i);
        QCOMPARE(buffer.m_stores.at(i).value, values.at(i));
        QCOMPARE(buffer.m_stores.at(i).flag, flags.at(i));
    }
    const QList<Request> sent = requests(m_scripted);
    QCOMPARE(sent.size(), 1);
    QCOMPARE(sent.first().function, 3);
    QCOMPARE(sent.first().count, int(values.size()));
}

void tst_ModbusLine::failedReadsStoreZerosWithTheirFlag_data()
{
    QTest::addColumn<bool>("scripted");
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("regSize");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("flag");

    QTest::newRow("exception reply") << false << QByteArray() << kAbsentAddress << kUnit << 16 << 1000
                                     << int(ModbusLine::OtherError) << int(ValueFlag::ReadError);
    // The silent unit must wait the whole 1500 ms and count as a time-out, not give up after the
    // library's default half second as some other error.
    QTest::newRow("silent unit, 1500 ms") << false << QByteArray() << caseAddress(0) << kMissingUnit << 16 << 1500
                                          << int(ModbusLine::Timeout) << int(ValueFlag::Timeout);
    QTest::newRow("32-bit reply with fewer registers") << true << QByteArray("SHORT 1") << 0 << kUnit << 32 << 1000
                                                       << int(ModbusLine::BadReply) << int(ValueFlag::ReadError);
    QTest::newRow("32-bit reply of another unit") << true << QByteArray("WRONGUNIT") << 0 << kUnit << 32 << 1000
                                                  << int(ModbusLine::OtherError) << int(ValueFlag::ReadError);
    QTest::newRow("32-bit read unanswered") << true << QByteArray("SILENT 1") << 0 << kUnit << 32 << 300
                                            << int(ModbusLine::Timeout) << int(ValueFlag::Timeout);
}

void tst_ModbusLine::failedReadsStoreZerosWithTheirFlag()
{
    QFETCH(bool, scripted);
    QFETCH(QByteArray, script);
    QFETCH(int, address);
    QFETCH(int, unit);
    QFETCH(int, regSize);
    QFETCH(int, timeout);
    QFETCH(int, code);
    QFETCH(int, flag);

    PeerProcess &peer = scripted ? m_scripted : m_server;
    if (!script.isEmpty())
        QVERIFY(tell(peer, script));
    ModbusTCPLine line(tcpCfg(peer, timeout));
    RecordingBuffer buffer;
    const ReadIteration b = block(address, 3, 0, regSize, 16, 3, unit);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), code);
    if (code == ModbusLine::Timeout)
        QVERIFY2(timer.elapsed() >= timeout * 9 / 10, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(allStoredAs(buffer.m_stores, b, 0.0, flag));
    QCOMPARE(ValueFlag::fromLineResult(code), flag);
}

void tst_ModbusLine::blockSizeIsBounded_data()
{
    QTest::addColumn<int>("valuesCnt");
    QTest::addColumn<int>("valSize");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("registers");

    QTest::newRow("201 values are refused") << 201 << 16 << int(ModbusLine::BlockTooLarge) << 0;
    QTest::newRow("no values are refused") << 0 << 16 << int(ModbusLine::BlockTooLarge) << 0;
    QTest::newRow("a negative count is refused") << -4 << 32 << int(ModbusLine::BlockTooLarge) << 0;
    QTest::newRow("200 single words") << 200 << 16 << int(ModbusLine::Success) << 200;
    QTest::newRow("200 values of two words: 400 registers") << 200 << 32 << int(ModbusLine::Success) << 400;
}

void tst_ModbusLine::blockSizeIsBounded()
{
    QFETCH(int, valuesCnt);
    QFETCH(int, valSize);
    QFETCH(int, code);
    QFETCH(int, registers);

    ModbusTCPLine line(tcpCfg(m_server));
    QCOMPARE(line.connectLine(), int(ModbusLine::Success));
    QVERIFY(tell(m_server, "RESET"));
    RecordingBuffer buffer;
    const ReadIteration b = block(kBigBlockAddress, valuesCnt, 0, 16, valSize);
    QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), code);

    int asked = 0;
    for (const Request &r : requests(m_server)) {
        asked += r.count;
        // A value of two registers read in two requests would join two moments.
        if (valSize == 32)
            QCOMPARE(r.count % 2, 0);
    }
    QCOMPARE(asked, registers);
    if (code != ModbusLine::Success) {
        QVERIFY(buffer.m_stores.isEmpty());
        return;
    }
    QCOMPARE(buffer.m_stores.size(), valuesCnt);
    const int step = valSize == 32 ? 2 : 1;
    for (int i = 0; i < valuesCnt; ++i) {
        const RecordingBuffer::Store &s = buffer.m_stores.at(i);
        QCOMPARE(s.regAddr, kBigBlockAddress + i * step);
        const double expected = valSize == 32 ? double(quint32(bigWord(2 * i)) << 16 | bigWord(2 * i + 1))
                                              : double(bigWord(i));
        QCOMPARE(s.value, expected);
        QCOMPARE(s.flag, 0);
    }
}

void tst_ModbusLine::busyBufferIsNoDeviceError_data()
{
    QTest::addColumn<int>("address");
    QTest::addColumn<int>("code");

    // A good read whose values cannot be stored says so apart from every device code, so the
    // worker neither reconnects nor writes zeros over the values the buffer holds.
    QTest::newRow("good read") << caseAddress(0) << int(ModbusLine::BufferBusy);
    QTest::newRow("failed read") << kAbsentAddress << int(ModbusLine::OtherError);
}

void tst_ModbusLine::busyBufferIsNoDeviceError()
{
    QFETCH(int, address);
    QFETCH(int, code);

    ModbusTCPLine line(tcpCfg(m_server));
    RecordingBuffer buffer;
    const ReadIteration b = block(address, 3);
    buffer.holdLockElsewhere();
    QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), code);
    buffer.release();
    QVERIFY(buffer.m_stores.isEmpty());

    // The line itself is sound: the same line reads the next block without reconnecting.
    QVERIFY(line.isOpen());
    QCOMPARE(line.readBlock(block(caseAddress(0), 3), &buffer, kTimestamp, 0), int(ModbusLine::Success));
    QCOMPARE(buffer.m_stores.size(), 3);
}

void tst_ModbusLine::tcpServerDownIsNoConnection()
{
    ConnectionManager::TCPConnectionCfg cfg;
    cfg.id = kUnit;
    cfg.ip = QStringLiteral("127.0.0.1");
    cfg.portTCP = TestEnv::freeTcpPort(); // nothing listens there
    cfg.timeout = 500;
    ModbusTCPLine line(cfg);
    RecordingBuffer buffer;

    QCOMPARE(line.connectLine(), int(ModbusLine::Timeout));
    QVERIFY(!line.isOpen());
    const int code = line.readBlock(block(0, 4), &buffer, kTimestamp, 0);
    QCOMPARE(code, int(ModbusLine::TcpNoConnection));
    QCOMPARE(ValueFlag::fromLineResult(code), int(ValueFlag::ReadError));
    QVERIFY(buffer.m_stores.isEmpty());
    int id = -1;
    QCOMPARE(line.reportSlaveId(&id, false), int(ModbusLine::TcpNoConnection));
}

void tst_ModbusLine::tcpIdentification_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<bool>("noRetry");
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("requests");

    QTest::newRow("answered") << QByteArray() << false << int(ModbusLine::Success) << 1;
    QTest::newRow("bad reply, tried again") << QByteArray("IDENTBAD 1") << false << int(ModbusLine::Success) << 2;
    QTest::newRow("bad reply twice") << QByteArray("IDENTBAD 2") << false << int(ModbusLine::BadReply) << 2;
    QTest::newRow("bad reply, no retry asked") << QByteArray("IDENTBAD 1") << true << int(ModbusLine::BadReply) << 1;
    QTest::newRow("exception reply, tried again") << QByteArray("EXCEPTION 4") << false << int(ModbusLine::Success)
                                                  << 2;
    QTest::newRow("time-out is not tried again") << QByteArray("SILENT 1") << false << int(ModbusLine::Timeout) << 1;
}

void tst_ModbusLine::tcpIdentification()
{
    QFETCH(QByteArray, script);
    QFETCH(bool, noRetry);
    QFETCH(int, code);
    QFETCH(int, requests);

    QVERIFY(tell(m_scripted, "RESET"));
    if (!script.isEmpty())
        QVERIFY(tell(m_scripted, script));
    ModbusTCPLine line(tcpCfg(m_scripted, 400));
    int id = -1;
    QCOMPARE(line.reportSlaveId(&id, noRetry), code);
    if (code == ModbusLine::Success)
        QCOMPARE(id, 0x2a);
    QCOMPARE(ModbusPeer::count(m_scripted, "COUNT 17"), requests);
}

void tst_ModbusLine::serialPortIsMatchedFromTheList_data()
{
    QTest::addColumn<QString>("listed");     // EXTRA_SERIAL_PORTS, "%1" is the folder
    QTest::addColumn<QString>("configured"); // "%1" is the folder
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<int>("code");

    QTest::newRow("exact name") << "%1/ttyV10" << "%1/ttyV10" << 9600 << int(ModbusLine::Success);
    // The first listed name that contains the configured one is opened, as COM1 opens a COM10
    // listed before it.
    QTest::newRow("contained in an earlier name") << "%1/ttyV10:%1/ttyV1" << "%1/ttyV1" << 9600
                                                  << int(ModbusLine::Success);
    QTest::newRow("not listed") << "%1/ttyV10" << "%1/ttyV7" << 9600 << int(ModbusLine::SerialNoConnection);
    QTest::newRow("listed but absent") << "%1/ttyV1:%1/ttyV10" << "%1/ttyV1" << 9600
                                       << int(ModbusLine::SerialNoConnection);
    QTest::newRow("empty name matches nothing") << "%1/ttyV10" << "" << 9600 << int(ModbusLine::SerialNoConnection);
    QTest::newRow("LPT port") << "LPT1:%1/ttyV10" << "LPT1" << 9600 << int(ModbusLine::SerialNoConnection);
    QTest::newRow("settings the library refuses") << "%1/ttyV10" << "%1/ttyV10" << 0
                                                  << int(ModbusLine::SerialNoConnection);
    QTest::newRow("rate the driver cannot set") << "%1/ttyV10" << "%1/ttyV10" << 256000
                                                << int(ModbusLine::SerialNoConnection);
}

void tst_ModbusLine::serialPortIsMatchedFromTheList()
{
    QFETCH(QString, listed);
    QFETCH(QString, configured);
    QFETCH(int, baudRate);
    QFETCH(int, code);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path(), QStringLiteral("ttyV10"), QStringLiteral("peer")));
    qputenv("EXTRA_SERIAL_PORTS", QString(listed).replace(QLatin1String("%1"), dir.path()).toLocal8Bit());

    ConnectionManager::SerialConnectionCfg cfg;
    cfg.id = kUnit;
    cfg.serialPort = QString(configured).replace(QLatin1String("%1"), dir.path());
    cfg.baudRate = baudRate;
    cfg.timeout = 300;
    ModbusSerialLine line(cfg);
    QCOMPARE(line.connectLine(), code);
    QCOMPARE(line.isOpen(), code == ModbusLine::Success);
    if (code != ModbusLine::Success) {
        RecordingBuffer buffer;
        const int read = line.readBlock(block(0, 2), &buffer, kTimestamp, 0);
        QCOMPARE(read, int(ModbusLine::SerialNoConnection));
        QCOMPARE(ValueFlag::fromLineResult(read), int(ValueFlag::NoConnection));
        QVERIFY(buffer.m_stores.isEmpty());
        int id = -1;
        QCOMPARE(line.reportSlaveId(&id, false), int(ModbusLine::SerialNoConnection));
    }
    qunsetenv("EXTRA_SERIAL_PORTS");
}

void tst_ModbusLine::serialLineReadsAndTimesOutWhenTheServerStops()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    PtyPair pty;
    QVERIFY(pty.start(dir.path()));
    const quint32 f = bitsOf(-7.75f);
    const QJsonObject table{
        {QString::number(kUnit),
         QJsonObject{{"hr", QJsonObject{{"10", QJsonArray{hi(f), lo(f), 65535, 250}}}},
                     {"ir", QJsonObject{{"0", QJsonArray{1500}}}}}}};
    PeerProcess rtu;
    QVERIFY(rtu.startPython(TestEnv::testFile("peers/modbus_server.py"),
                            {"--table", QString::fromUtf8(QJsonDocument(table).toJson(QJsonDocument::Compact)), "--rtu",
                             pty.b, "--baud", "19200"}));
    qputenv("EXTRA_SERIAL_PORTS", pty.a.toLocal8Bit());

    ConnectionManager::SerialConnectionCfg cfg;
    cfg.id = kUnit;
    cfg.serialPort = pty.a;
    cfg.baudRate = 19200;
    cfg.parity = 'N';
    cfg.stopBits = 1;
    cfg.timeout = 400;
    ModbusSerialLine line(cfg);
    RecordingBuffer buffer;

    QCOMPARE(line.readBlock(block(10, 1, 2, 16, 32), &buffer, kTimestamp, 0), int(ModbusLine::Success));
    QCOMPARE(line.readBlock(block(12, 2, 9), &buffer, kTimestamp, 0), int(ModbusLine::Success));
    QCOMPARE(line.readBlock(block(0, 1, 8, 16, 16, 4), &buffer, kTimestamp, 0), int(ModbusLine::Success));
    QCOMPARE(buffer.m_stores.size(), 4);
    QCOMPARE(buffer.m_stores.at(0).value, -7.75);
    QCOMPARE(buffer.m_stores.at(1).value, 65.535);
    QCOMPARE(buffer.m_stores.at(2).value, 0.25);
    QCOMPARE(buffer.m_stores.at(3).value, 150.0);

    rtu.stop();
    buffer.m_stores.clear();
    const ReadIteration b = block(10, 2);
    const int code = line.readBlock(b, &buffer, kTimestamp, 0);
    QCOMPARE(code, int(ModbusLine::Timeout));
    QVERIFY(allStoredAs(buffer.m_stores, b, 0.0, ValueFlag::Timeout));
    qunsetenv("EXTRA_SERIAL_PORTS");
}

namespace {

quint16 lateRegister(int address) { return quint16(address * 7 + 3); }

// A serial line on one end of a pty pair whose other end is the late-answering peer.
struct LateSerialPeer
{
    QTemporaryDir dir;
    PtyPair pty;
    PeerProcess peer;

    bool start()
    {
        if (!dir.isValid() || !pty.start(dir.path()))
            return false;
        qputenv("EXTRA_SERIAL_PORTS", pty.a.toLocal8Bit());
        return peer.startPython(TestEnv::testFile("peers/modbus_rtu_late.py"), {"--path", pty.b});
    }
    ~LateSerialPeer() { qunsetenv("EXTRA_SERIAL_PORTS"); }

    ConnectionManager::SerialConnectionCfg cfg(int timeout) const
    {
        ConnectionManager::SerialConnectionCfg c;
        c.id = kUnit;
        c.serialPort = pty.a;
        c.baudRate = 19200;
        c.parity = 'N';
        c.stopBits = 1;
        c.timeout = timeout;
        return c;
    }
};

} // namespace

// One late reply must cost one failed block, not put every later block's values under the
// wrong addresses for good. The passes go as the channel worker makes them: after a failure the
// line is closed and opened again.
void tst_ModbusLine::serialLineRecoversFromALateReply()
{
    LateSerialPeer late;
    QVERIFY(late.start());
    ModbusSerialLine line(late.cfg(400));
    const QList<ReadIteration> blocks = {block(0, 4), block(100, 4)};
    QVERIFY(tell(late.peer, "LATE 600"));
    RecordingBuffer buffer;
    QCOMPARE(line.readBlock(blocks.at(0), &buffer, kTimestamp, 0), int(ModbusLine::Timeout));
    line.disconnectLine();
    QCOMPARE(line.connectLine(), int(ModbusLine::Success));

    for (int pass = 0; pass < 3; ++pass) {
        for (const ReadIteration &b : blocks) {
            buffer.m_stores.clear();
            QCOMPARE(line.readBlock(b, &buffer, kTimestamp, 0), int(ModbusLine::Success));
            QCOMPARE(buffer.m_stores.size(), 4);
            for (int i = 0; i < 4; ++i) {
                QCOMPARE(buffer.m_stores.at(i).regAddr, b.regAddr + i);
                QCOMPARE(buffer.m_stores.at(i).value, double(lateRegister(b.regAddr + i)));
                QCOMPARE(buffer.m_stores.at(i).flag, 0);
            }
        }
    }
}

// A line time-out of 0 or less is no time at all: the library's default of 500 ms is kept, so a
// slave that answers within it is read.
void tst_ModbusLine::lineWithoutTimeoutKeepsTheDefault()
{
    LateSerialPeer late;
    QVERIFY(late.start());
    QVERIFY(tell(late.peer, "DELAY 150"));
    for (int timeout : {0, -20}) {
        ModbusSerialLine line(late.cfg(timeout));
        RecordingBuffer buffer;
        QCOMPARE(line.readBlock(block(20, 2), &buffer, kTimestamp, 0), int(ModbusLine::Success));
        QCOMPARE(buffer.m_stores.size(), 2);
        QCOMPARE(buffer.m_stores.at(1).value, double(lateRegister(21)));
    }
}

QTEST_GUILESS_MAIN(tst_ModbusLine)
#include "tst_ModbusLine.moc"
