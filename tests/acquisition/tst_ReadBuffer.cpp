#include "AcqTestDatabase.h"
#include "ArchiveBuffer.h"
#include "ReadBuffer.h"
#include "SettingsManager.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <limits>
#include <memory>

class tst_ReadBuffer : public QObject
{
    Q_OBJECT

private:
    AcqTestDatabase m_db;

    static std::unique_ptr<ReadBuffer> makeBuffer() { return AcqTestDatabase::makeBuffer(); }

    // The raw text of one member of the document, e.g. "{\"time\":...}".
    static QByteArray member(const QByteArray &json, int id)
    {
        const QByteArray name = '"' + QByteArray::number(id) + "\": {";
        const int at = json.indexOf(name);
        if (at < 0)
            return {};
        return json.mid(at + name.size() - 1, json.indexOf('}', at) - at - name.size() + 2);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_db.create());
        g_settings.modbusPollInterval = 5000;
        QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
        QVERIFY(AcqTestDatabase::addDevice(2, 2, "tcp", 1, false)); // inactive
        QVERIFY(AcqTestDatabase::addParameter(10, 1, 100, 0, "V"));
        QVERIFY(AcqTestDatabase::addParameter(11, 1, 101, 0, "A"));
        QVERIFY(AcqTestDatabase::addParameter(12, 1, 102, 0, "W"));
        QVERIFY(AcqTestDatabase::addParameter(13, 1, 103, 0, "kWh"));
        QVERIFY(AcqTestDatabase::addParameter(14, 1, 104, 0, "W "));
        QVERIFY(AcqTestDatabase::addParameter(15, 1, 105, 0, "VAR"));
        QVERIFY(AcqTestDatabase::addParameter(16, 1, 106, 0, "a\"b\\c")); // must not break the document
        // Two parameters on one address: the later one takes every reading.
        QVERIFY(AcqTestDatabase::addParameter(20, 1, 200, 0, ""));
        QVERIFY(AcqTestDatabase::addParameter(21, 1, 200, 0, ""));
        QVERIFY(AcqTestDatabase::addParameter(30, 2, 100, 0, "V"));
    }

    void beforeTheFirstReadingEveryParameterHasNoValueYet()
    {
        auto buffer = makeBuffer();
        QVERIFY(buffer);
        const QJsonObject doc = QJsonDocument::fromJson(buffer->toJson()).object();
        QCOMPARE(doc.size(), 9); // the inactive device's parameter is not there
        QVERIFY(!doc.contains("30"));
        QCOMPARE(member(buffer->toJson(), 10),
                 QByteArray("{\"time\":0,\"val\":0.000000,\"valBase\":0.000000,\"u\":\"V\",\"flag\":1}"));
        const CurrentValue unknown = buffer->value(999);
        QCOMPARE(unknown.value, 0.0);
        QCOMPARE(unknown.time, qint64(0));
        QCOMPARE(unknown.flag, 1);
    }

    void displayScaling_data()
    {
        QTest::addColumn<int>("regAddr");
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("flag");
        QTest::addColumn<QByteArray>("val");
        QTest::addColumn<QByteArray>("valBase");
        QTest::addColumn<QByteArray>("unit");

        QTest::newRow("V below a thousand") << 100 << 999.999 << 0 << QByteArray("999.999000")
                                            << QByteArray("999.999000") << QByteArray("V");
        QTest::newRow("V at a thousand") << 100 << 1000.0 << 0 << QByteArray("1.000000") << QByteArray("1000.000000")
                                         << QByteArray("kV");
        QTest::newRow("V in millions") << 100 << 2500000.0 << 0 << QByteArray("2.500000")
                                       << QByteArray("2500000.000000") << QByteArray("MV");
        QTest::newRow("W single-precision factor") << 102 << 999999.0 << 0 << QByteArray("999.999047")
                                                   << QByteArray("999999.000000") << QByteArray("kW");
        QTest::newRow("W example") << 102 << 1234.5 << 0 << QByteArray("1.234500") << QByteArray("1234.500000")
                                   << QByteArray("kW");
        QTest::newRow("A small negative") << 101 << -999.5 << 0 << QByteArray("-999.500000")
                                          << QByteArray("-999.500000") << QByteArray("A");
        QTest::newRow("A large negative") << 101 << -1000.0 << 0 << QByteArray("-1000000.000000")
                                          << QByteArray("-1000.000000") << QByteArray("mA");
        QTest::newRow("W very large negative") << 102 << -2000000.0 << 0 << QByteArray("-2000000000000.000000")
                                               << QByteArray("-2000000.000000") << QByteArray("&#181W");
        QTest::newRow("VAR") << 105 << 5000.0 << 0 << QByteArray("5.000000") << QByteArray("5000.000000")
                             << QByteArray("kVAR");
        QTest::newRow("kWh never scaled") << 103 << 5000.0 << 0 << QByteArray("5000.000000")
                                          << QByteArray("5000.000000") << QByteArray("kWh");
        QTest::newRow("W with a blank never scaled") << 104 << 5000.0 << 0 << QByteArray("5000.000000")
                                                     << QByteArray("5000.000000") << QByteArray("W ");
        QTest::newRow("flagged value never scaled") << 102 << 5000.0 << 2 << QByteArray("5000.000000")
                                                    << QByteArray("5000.000000") << QByteArray("W");
        QTest::newRow("NaN is null") << 102 << std::numeric_limits<double>::quiet_NaN() << 0 << QByteArray("null")
                                     << QByteArray("null") << QByteArray("W");
        QTest::newRow("infinity is null") << 100 << std::numeric_limits<double>::infinity() << 0
                                          << QByteArray("null") << QByteArray("null") << QByteArray("MV");
        QTest::newRow("unit text escaped") << 106 << 1.5 << 0 << QByteArray("1.500000") << QByteArray("1.500000")
                                           << QByteArray("a\\\"b\\\\c");
    }

    void displayScaling()
    {
        QFETCH(int, regAddr);
        QFETCH(double, value);
        QFETCH(int, flag);
        QFETCH(QByteArray, val);
        QFETCH(QByteArray, valBase);
        QFETCH(QByteArray, unit);
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        buffer->storeValue(1, regAddr, value, 123, flag, 0, false);
        const QByteArray json = buffer->toJson();
        buffer->unlock();
        QJsonParseError error;
        QJsonDocument::fromJson(json, &error);
        QCOMPARE(error.error, QJsonParseError::NoError);
        const int id = 10 + regAddr - 100;
        QCOMPARE(member(json, id), "{\"time\":123,\"val\":" + val + ",\"valBase\":" + valBase + ",\"u\":\"" + unit +
                                       "\",\"flag\":" + QByteArray::number(flag) + "}");
    }

    void anErrorReadingReplacesTheValue()
    {
        auto buffer = makeBuffer();
        buffer->storeValue(1, 100, 230.5, 1000, 0, 0, false);
        buffer->storeValue(1, 100, 0.0, 2000, 3, 0, false);
        const CurrentValue current = buffer->value(10);
        QCOMPARE(current.value, 0.0);
        QCOMPARE(current.time, qint64(2000));
        QCOMPARE(current.flag, 3);
    }

    void unknownReadingsAreDropped()
    {
        auto buffer = makeBuffer();
        const QByteArray before = buffer->toJson();
        buffer->storeValue(1, 999, 5.0, 1000, 0, 0, false); // address not configured
        buffer->storeValue(2, 100, 5.0, 1000, 0, 0, false); // device not active
        QCOMPARE(buffer->toJson(), before);
    }

    void twoParametersOnOneAddressFeedTheLaterOne()
    {
        auto buffer = makeBuffer();
        buffer->storeValue(1, 200, 42.0, 5000, 0, 0, false);
        QCOMPARE(buffer->value(21).value, 42.0);
        QCOMPARE(buffer->value(21).flag, 0);
        QCOMPARE(buffer->value(20).time, qint64(0));
        QCOMPARE(buffer->value(20).flag, 1);
    }

    void emptyBufferIsAnEmptyObject()
    {
        AcqTestDatabase::exec("UPDATE Devices SET isActive = 0");
        auto buffer = makeBuffer();
        AcqTestDatabase::exec("UPDATE Devices SET isActive = 1 WHERE idDevices = 1");
        QCOMPARE(buffer->toJson(), QByteArray("{}"));
    }
};

QTEST_GUILESS_MAIN(tst_ReadBuffer)
#include "tst_ReadBuffer.moc"
