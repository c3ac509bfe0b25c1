#include "AcqTestDatabase.h"
#include "ConfigParams.h"
#include "DeviceManager.h"
#include "TestEnv.h"

#include <QDateTime>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QtTest>

#include <csignal>
#include <sys/resource.h>

namespace {

const QByteArray kOk("{\"success\":true}");
const QByteArray kQueryError("{\"error\":true,\"message\":\"Query error\"}");

QByteArray parameter(int regAddr, const QByteArray &description = "p", int archInterval = 0)
{
    return "{userDescription:'" + description + "',nameId:'n" + QByteArray::number(regAddr) +
           "',regAddr:" + QByteArray::number(regAddr) + ",unit:'V',archInterval:" + QByteArray::number(archInterval) +
           ",regType:2,regSize:16,valSize:32}";
}

QByteArray list(const QList<QByteArray> &elements) { return "[" + elements.toVector().toList().join(",") + "]"; }

int count(const QString &table)
{
    const QStringList rows = tableRows(QStringLiteral("SELECT COUNT(*) FROM ") + table);
    return rows.isEmpty() ? -1 : rows.first().toInt();
}

} // namespace

class tst_DeviceManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void emptyListings();
    void addWithDefaults();
    void notAnArray_data();
    void notAnArray();
    void requestIntegers_data();
    void requestIntegers();
    void listFields();
    void listingEscapesAndLeavesOutMapping();
    void editWithoutParameterChange();
    void editMatchesParametersByAddress();
    void editSharedAddress();
    void editUnknownDevice();
    void removeCascades();
    void missingDevicesTable();
    void failedCommitRollsBack();

    void views();
    void viewIds_data();
    void viewIds();
    void viewListingIsAlwaysJson();
    void widgetTextsByStrictGrammar_data();
    void widgetTextsByStrictGrammar();
    void updateViewsTimes_data();
    void updateViewsTimes();

private:
    std::unique_ptr<AcqTestDatabase> m_db;
};

void tst_DeviceManager::init()
{
    m_db = std::make_unique<AcqTestDatabase>();
    QVERIFY(m_db->create());
}

void tst_DeviceManager::emptyListings()
{
    DeviceManager m;
    QCOMPARE(m.getDevCfg(), QByteArray("{\"devices\":[],\"parameters\":[]}"));
    QCOMPARE(m.getViewsCfg(), QByteArray("[]"));
}

void tst_DeviceManager::addWithDefaults()
{
    DeviceManager m;
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    QCOMPARE(m.addNewDevice(params({{"readIterations", "[]"}, {"parameters", "[]"}})), kOk);
    const qint64 after = QDateTime::currentMSecsSinceEpoch();
    const QByteArray listing = m.getDevCfg();
    const QRegularExpression form(QStringLiteral(
        "^\\{\"devices\":\\[\\{\"idDevices\":\"1\",\"name\":\"new\",\"type\":\"\",\"ModbusId\":\"1\","
        "\"ModbusReadFunction\":\"3\",\"MqttTopic\":\"\",\"MqttFormat\":\"\",\"connectionType\":\"\","
        "\"idOfConnection\":\"0\",\"paramModTimestamp\":\"(\\d{13})\",\"isActive\":\"1\"\\}\\],\"parameters\":\\[\\]\\}$"));
    const QRegularExpressionMatch match = form.match(QString::fromUtf8(listing));
    QVERIFY2(match.hasMatch(), listing.constData());
    const qint64 stamp = match.captured(1).toLongLong();
    QVERIFY(stamp >= before && stamp <= after);
    // Texts are stored as '' (never NULL), numbers as integers.
    QCOMPARE(tableRows(QStringLiteral("SELECT type, MqttMapping, ModbusId, isActive, typeof(paramModTimestamp) FROM "
                                      "Devices"),
                       true),
             QStringList{"''|''|1|1|'integer'"});

    const QByteArray blocks = "[{regAddr:0,valuesCnt:4,regType:0,regSize:16,valSize:16,ModbusReadFunction:4},"
                              "{regAddr:10,valuesCnt:2,regType:2,regSize:16,valSize:32,ModbusReadFunction:3}]";
    QCOMPARE(m.addNewDevice(params({{"name", "meter"}, {"connectionType", "tcp"}, {"idOfConnection", "3"},
                                    {"readIterations", blocks}, {"parameters", list({parameter(10), parameter(12)})}})),
             kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM ReadIterations")),
             (QStringList{"1|0|4|0|16|16|2|4", "2|10|2|2|16|32|2|3"}));
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM ConfiguredParameters")),
             (QStringList{"1|2|p|n10|10|V|0|2|16|32", "2|2|p|n12|12|V|0|2|16|32"}));
    QVERIFY(m.getDevCfg().endsWith(
        ",\"parameters\":[{\"idParameters\":\"1\",\"idDevice\":\"2\",\"userDescription\":\"p\",\"nameId\":\"n10\","
        "\"regAddr\":\"10\",\"unit\":\"V\",\"archInterval\":\"0\",\"regType\":\"2\",\"regSize\":\"16\",\"valSize\":\"32\"},"
        "{\"idParameters\":\"2\",\"idDevice\":\"2\",\"userDescription\":\"p\",\"nameId\":\"n12\",\"regAddr\":\"12\","
        "\"unit\":\"V\",\"archInterval\":\"0\",\"regType\":\"2\",\"regSize\":\"16\",\"valSize\":\"32\"}]}"));
}

void tst_DeviceManager::notAnArray_data()
{
    QTest::addColumn<bool>("edit");
    QTest::addColumn<t_GetArray>("request");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray loop = "(function(){for(;;);})()";
    const QByteArray invalidParameters("{\"error\":true,\"message\":\"Invalid parameters value\"}");
    const QByteArray invalidBlocks("{\"error\":true,\"message\":\"Invalid read iterations\"}");
    QTest::newRow("add without readIterations") << false << params({{"parameters", "[]"}}) << kQueryError;
    QTest::newRow("add without parameters") << false << params({{"readIterations", "[]"}}) << invalidParameters;
    QTest::newRow("add, code as readIterations") << false << params({{"readIterations", loop}, {"parameters", "[]"}})
                                                 << kQueryError;
    QTest::newRow("add, code as parameters") << false << params({{"readIterations", "[]"}, {"parameters", loop}})
                                             << invalidParameters;
    QTest::newRow("add, object as readIterations") << false << params({{"readIterations", "{}"}, {"parameters", "[]"}})
                                                   << kQueryError;
    QTest::newRow("edit without readIterations") << true << params({{"id", "1"}, {"name", "x"}}) << invalidBlocks;
    QTest::newRow("edit, code as readIterations") << true << params({{"id", "1"}, {"readIterations", loop}})
                                                  << invalidBlocks;
    QTest::newRow("edit, code as parameters")
        << true << params({{"id", "1"}, {"name", "x"}, {"readIterations", "[]"}, {"parametersChanged", "1"},
                           {"parameters", loop}})
        << kQueryError;
    QTest::newRow("edit without parameters")
        << true << params({{"id", "1"}, {"readIterations", "[]"}, {"parametersChanged", "1"}}) << kQueryError;
}

void tst_DeviceManager::notAnArray()
{
    QFETCH(bool, edit);
    QFETCH(t_GetArray, request);
    QFETCH(QByteArray, reply);

    DeviceManager m;
    QCOMPARE(m.addNewDevice(params({{"name", "kept"}, {"readIterations", "[{regAddr:1,valuesCnt:1}]"},
                                    {"parameters", list({parameter(1)})}})),
             kOk);
    const QByteArray before = m.getDevCfg();
    const QStringList blocks = tableRows(QStringLiteral("SELECT * FROM ReadIterations"));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(edit ? m.editDevice(request) : m.addNewDevice(request), reply);
    QVERIFY(timer.elapsed() < 5000);
    // Rolled back: no trace of the call.
    QCOMPARE(m.getDevCfg(), before);
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM ReadIterations")), blocks);
    QCOMPARE(m.addNewDevice(params({{"readIterations", "[]"}, {"parameters", "[]"}})), kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT idDevices FROM Devices")), (QStringList{"1", "2"}));
}

void tst_DeviceManager::requestIntegers_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("modbusId");   // 16-bit cut
    QTest::addColumn<int>("fullWidth"); // idOfConnection, isActive

    QTest::newRow("decimal") << QByteArray("12") << 12 << 12;
    QTest::newRow("fraction does not parse") << QByteArray("12.7") << 0 << 0;
    QTest::newRow("beyond 32 bits does not parse") << QByteArray("2147483648") << 0 << 0;
    QTest::newRow("65535") << QByteArray("65535") << -1 << 65535;
    QTest::newRow("65536") << QByteArray("65536") << 0 << 65536;
    QTest::newRow("32768") << QByteArray("32768") << -32768 << 32768;
    QTest::newRow("negative") << QByteArray("-2") << -2 << -2;
    QTest::newRow("not a number") << QByteArray("abc") << 0 << 0;
    QTest::newRow("empty") << QByteArray("") << 0 << 0;
}

void tst_DeviceManager::requestIntegers()
{
    QFETCH(QByteArray, value);
    QFETCH(int, modbusId);
    QFETCH(int, fullWidth);

    DeviceManager m;
    QCOMPARE(m.addNewDevice(params({{"ModbusId", value}, {"ModbusReadFunction", value}, {"idOfConnection", value},
                                    {"isActive", value}, {"readIterations", "[]"}, {"parameters", "[]"}})),
             kOk);
    const QString expected = QStringLiteral("%1|%1|%2|%2").arg(modbusId).arg(fullWidth);
    QCOMPARE(tableRows(QStringLiteral("SELECT ModbusId, ModbusReadFunction, idOfConnection, isActive FROM Devices")),
             QStringList{expected});
    // parametersChanged reads the same way: anything that does not parse is 0 and keeps the parameters.
    QCOMPARE(m.editDevice(params({{"id", "1"}, {"ModbusId", value}, {"readIterations", "[]"},
                                  {"parametersChanged", value}, {"parameters", "[]"}})),
             kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT ModbusId FROM Devices")), QStringList{QString::number(modbusId)});
}

void tst_DeviceManager::listFields()
{
    DeviceManager m;
    // Script literals, not only JSON; numbers by ToInteger with the 32-bit wrap, texts by ToString.
    const QByteArray blocks = "[{regAddr:12.7,valuesCnt:'12',regType:-3.9,regSize:2147483648,valSize:true,"
                              "ModbusReadFunction:null}, , {regAddr:'0x10',valuesCnt:'abc'}, 5]";
    const QByteArray parameters = "[{userDescription:null,nameId:1.5,regAddr:4294967297,unit:true,"
                                  "archInterval:'60'}, {\"regAddr\":-1}]";
    QCOMPARE(m.addNewDevice(params({{"readIterations", blocks}, {"parameters", parameters}})), kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT regAddr, valuesCnt, regType, regSize, valSize, ModbusReadFunction FROM "
                                      "ReadIterations")),
             (QStringList{"12|12|-3|-2147483648|1|0", "16|0|0|0|0|0", "0|0|0|0|0|0"}));
    QCOMPARE(tableRows(QStringLiteral("SELECT userDescription, nameId, regAddr, unit, archInterval, regType FROM "
                                      "ConfiguredParameters"),
                       true),
             (QStringList{"'null'|'1.5'|1|'true'|60|0", "''|''|-1|''|0|0"}));
}

void tst_DeviceManager::listingEscapesAndLeavesOutMapping()
{
    DeviceManager m;
    const QString odd = QStringLiteral("a'b\"c\\d %2 \n;--");
    QCOMPARE(m.addNewDevice(params({{"name", odd.toUtf8()}, {"MqttTopic", QStringLiteral("Zähler/\u00fc/\u20ac").toUtf8()}, {"MqttFormat", "JSON"},
                                    {"MqttMapping", "{\"a\":1}"}, {"readIterations", "[]"},
                                    {"parameters", "[{userDescription:'q\"\\\\'}]"}})),
             kOk);
    const QByteArray listing = m.getDevCfg();
    QJsonParseError error;
    const QJsonObject doc = QJsonDocument::fromJson(listing, &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, listing.constData());
    const QJsonObject device = doc.value("devices").toArray().at(0).toObject();
    QCOMPARE(device.value("name").toString(), odd);
    QCOMPARE(device.value("MqttTopic").toString(), QStringLiteral("Zähler/\u00fc/\u20ac"));
    QCOMPARE(device.value("MqttFormat").toString(), QStringLiteral("JSON"));
    QVERIFY(!listing.contains("MqttMapping"));
    QCOMPARE(device.keys().size(), 11);
    QCOMPARE(doc.value("parameters").toArray().at(0).toObject().value("userDescription").toString(),
             QStringLiteral("q\"\\"));
    QCOMPARE(tableRows(QStringLiteral("SELECT MqttMapping FROM Devices")), QStringList{"{\"a\":1}"});
}

void tst_DeviceManager::editWithoutParameterChange()
{
    DeviceManager m;
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO Devices (idDevices, name, paramModTimestamp, isActive) "
                                                 "VALUES (1, 'd', 1000000000000, 1)")));
    QVERIFY(AcqTestDatabase::addParameter(5, 1, 10, 60, QStringLiteral("V")));
    QVERIFY(AcqTestDatabase::addBlock(1, 0, 1, 0, 16, 16));
    QVERIFY(AcqTestDatabase::addBlock(1, 5, 1, 0, 16, 16));
    // Without isActive the device leaves polling; the read blocks are replaced, parameters untouched.
    QCOMPARE(m.editDevice(params({{"id", "1"}, {"name", "e"}, {"readIterations", "[{regAddr:7,valuesCnt:3}]"},
                                  {"parameters", "[]"}})),
             kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT name, paramModTimestamp, isActive FROM Devices")),
             QStringList{"e|1000000000000|0"});
    QCOMPARE(tableRows(QStringLiteral("SELECT regAddr, valuesCnt, idDevice FROM ReadIterations")),
             QStringList{"7|3|1"});
    QCOMPARE(tableRows(QStringLiteral("SELECT idParameters, regAddr FROM ConfiguredParameters")), QStringList{"5|10"});
}

void tst_DeviceManager::editMatchesParametersByAddress()
{
    DeviceManager m;
    QCOMPARE(m.addNewDevice(params({{"readIterations", "[]"},
                                    {"parameters", list({parameter(10), parameter(12), parameter(14)})}})),
             kOk);
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES "
                                                 "(1, 1, 0, '2024-01-01 00:00:00'), (2, 2, 0, '2024-01-01 00:00:00'), "
                                                 "(3, 3, 0, '2024-01-01 00:00:00')")));
    const qint64 before = QDateTime::currentMSecsSinceEpoch();
    // 10 stays (renamed), 12 moves to 13 (new id, its archive rows go), 14 stays.
    QCOMPARE(m.editDevice(params({{"id", "1"}, {"readIterations", "[]"}, {"parametersChanged", "1"},
                                  {"parameters", list({parameter(14), parameter(10, "renamed"), parameter(13)})}})),
             kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT idParameters, userDescription, regAddr FROM ConfiguredParameters")),
             (QStringList{"1|renamed|10", "3|p|14", "4|p|13"}));
    QCOMPARE(tableRows(QStringLiteral("SELECT idParameter FROM ArchiveData")), (QStringList{"1", "3"}));
    QVERIFY(tableRows(QStringLiteral("SELECT paramModTimestamp FROM Devices")).first().toLongLong() >= before);

    QCOMPARE(m.editDevice(params({{"id", "1"}, {"readIterations", "[]"}, {"parametersChanged", "1"},
                                  {"parameters", "[]"}})),
             kOk);
    QCOMPARE(count(QStringLiteral("ConfiguredParameters")), 0);
    QCOMPARE(count(QStringLiteral("ArchiveData")), 0);
}

void tst_DeviceManager::editSharedAddress()
{
    DeviceManager m;
    QVERIFY(AcqTestDatabase::addDevice(1, 1, QStringLiteral("tcp"), 1));
    QVERIFY(AcqTestDatabase::addParameter(1, 1, 10, 0, QStringLiteral("a")));
    QVERIFY(AcqTestDatabase::addParameter(2, 1, 10, 0, QStringLiteral("b")));
    QCOMPARE(m.editDevice(params({{"id", "1"}, {"readIterations", "[]"}, {"parametersChanged", "1"},
                                  {"parameters", list({parameter(10, "x"), parameter(10, "y")})}})),
             kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT idParameters, userDescription FROM ConfiguredParameters")),
             QStringList{"2|y"});
}

void tst_DeviceManager::editUnknownDevice()
{
    DeviceManager m;
    QCOMPARE(m.editDevice(params({{"id", "9"}, {"readIterations", "[]"}})), kOk);
    QCOMPARE(count(QStringLiteral("Devices")), 0);
    const QByteArray reply = m.editDevice(params({{"id", "9"}, {"readIterations", "[{regAddr:1}]"}}));
    QVERIFY2(reply.startsWith("{\"error\":true,\"message\":\"Query error\",\"details\":\"FOREIGN KEY"), reply.constData());
}

void tst_DeviceManager::removeCascades()
{
    DeviceManager m;
    QCOMPARE(m.addNewDevice(params({{"readIterations", "[{regAddr:1,valuesCnt:1}]"},
                                    {"parameters", list({parameter(1)})}})),
             kOk);
    QCOMPARE(m.addNewDevice(params({{"name", "other"}, {"readIterations", "[{regAddr:1,valuesCnt:1}]"},
                                    {"parameters", list({parameter(1)})}})),
             kOk);
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES "
                                                 "(1, 1, 0, '2024-01-01 00:00:00'), (2, 2, 0, '2024-01-01 00:00:00')")));
    QCOMPARE(m.removeDevice(params({{"id", "1"}})), kOk);
    QCOMPARE(m.removeDevice(params({{"id", "77"}})), kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT idDevices FROM Devices")), QStringList{"2"});
    QCOMPARE(tableRows(QStringLiteral("SELECT idDevice FROM ReadIterations")), QStringList{"2"});
    QCOMPARE(tableRows(QStringLiteral("SELECT idDevice FROM ConfiguredParameters")), QStringList{"2"});
    QCOMPARE(tableRows(QStringLiteral("SELECT idParameter FROM ArchiveData")), QStringList{"2"});
}

void tst_DeviceManager::missingDevicesTable()
{
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("PRAGMA foreign_keys = OFF")));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE Devices")));
    DeviceManager m;
    QCOMPARE(m.getDevCfg(), QByteArray("{\"devices\":[],\"parameters\":[]}"));
    QCOMPARE(tableRows(QStringLiteral("SELECT sql FROM sqlite_master WHERE name='Devices'")).first().left(40),
             QStringLiteral("CREATE TABLE Devices (idDevices integer "));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE ConfiguredParameters")));
    QCOMPARE(m.getDevCfg(),
             QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"no such table: ConfiguredParameters\"}"));
}

// The child side of failedCommitRollsBack: the file size limit lets the statements run in the
// page cache, and the commit is the first write that outgrows it.
static int commitFixture(const QString &dbPath)
{
    std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit;
    getrlimit(RLIMIT_FSIZE, &limit);
    limit.rlim_cur = 160 * 1024;
    setrlimit(RLIMIT_FSIZE, &limit);
    Database::setLivePath(dbPath);
    DeviceManager m;
    QList<QByteArray> parameters;
    for (int i = 0; i < 400; ++i)
        parameters << parameter(i, QByteArray(1000, 'x'));
    const QByteArray reply = m.addNewDevice(params({{"readIterations", "[]"}, {"parameters", list(parameters)}}));
    fwrite(reply.constData(), 1, size_t(reply.size()), stdout);
    return 0;
}

void tst_DeviceManager::failedCommitRollsBack()
{
    DeviceManager m;
    QCOMPARE(m.addNewDevice(params({{"name", "before"}, {"readIterations", "[]"}, {"parameters", "[]"}})), kOk);
    const QString path = m_db->path(QStringLiteral("db.sqlite"));
    Database::closeThisThread(); // the write-ahead log is folded back, so the child starts it afresh
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--commit-fixture"), path});
    QVERIFY(child.waitForFinished(60000));
    const QByteArray reply = child.readAllStandardOutput();
    QCOMPARE(reply, QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"disk I/O error\"}"));
    QCOMPARE(tableRows(QStringLiteral("SELECT name FROM Devices")), QStringList{"before"});
    QCOMPARE(count(QStringLiteral("ConfiguredParameters")), 0);
    QCOMPARE(tableRows(QStringLiteral("PRAGMA integrity_check")), QStringList{"ok"});
}

void tst_DeviceManager::views()
{
    DeviceManager m;
    QCOMPARE(m.addNewView({}), QByteArray("{\"success\":true,\"newViewId\": 1}"));
    QCOMPARE(m.addNewView({}), QByteArray("{\"error\":true,\"message\":\"View name not unique\"}"));
    QCOMPARE(m.addNewView(params({{"name", "Hall"}, {"width", "800"}, {"height", "600"}, {"widgets", "[{\"w\":1}]"}})),
             QByteArray("{\"success\":true,\"newViewId\": 2}"));
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM Views"), true),
             (QStringList{"1|'new'|0|0|10|''", "2|'Hall'|800|600|10|'[{\"w\":1}]'"}));
    QCOMPARE(m.getViewsCfg(),
             QByteArray("[{\"id\":1,\"name\":\"new\",\"width\":0,\"height\":0,\"showTime\":10,\"widgetsCfg\":null},"
                        "{\"id\":2,\"name\":\"Hall\",\"width\":800,\"height\":600,\"showTime\":10,"
                        "\"widgetsCfg\":[{\"w\":1}]}]"));

    QCOMPARE(m.viewNameExists(params({{"name", "Hall"}})), QByteArray("{\"exists\":true}"));
    QCOMPARE(m.viewNameExists(params({{"name", "hall"}})), QByteArray("{\"exists\":false}"));
    QCOMPARE(m.viewNameExists({}), QByteArray("{\"exists\":false}"));

    // An edit may take another view's name and keeps the show time.
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("UPDATE Views SET showTime = 25 WHERE idViews = 1")));
    QCOMPARE(m.editView(params({{"id", "1"}, {"name", "Hall"}, {"width", "5"}, {"widgets", "{}"}})), kOk);
    QCOMPARE(m.editView(params({{"id", "99"}, {"name", "x"}})), kOk);
    QCOMPARE(m.removeView(params({{"id", "99"}})), kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT * FROM Views"), true),
             (QStringList{"1|'Hall'|5|0|25|'{}'", "2|'Hall'|800|600|10|'[{\"w\":1}]'"}));
    QCOMPARE(m.removeView(params({{"id", "2"}})), kOk);
    QCOMPARE(tableRows(QStringLiteral("SELECT idViews FROM Views")), QStringList{"1"});
}

void tst_DeviceManager::viewIds_data()
{
    QTest::addColumn<QByteArray>("id");
    QTest::addColumn<bool>("present");
    QTest::newRow("absent") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray("") << true;
    QTest::newRow("not a number") << QByteArray("abc") << true;
    QTest::newRow("condition") << QByteArray("1 OR 1=1") << true;
    QTest::newRow("list") << QByteArray("1,2") << true;
}

void tst_DeviceManager::viewIds()
{
    QFETCH(QByteArray, id);
    QFETCH(bool, present);

    DeviceManager m;
    QCOMPARE(m.addNewView(params({{"name", "a"}})), QByteArray("{\"success\":true,\"newViewId\": 1}"));
    QCOMPARE(m.addNewView(params({{"name", "b"}})), QByteArray("{\"success\":true,\"newViewId\": 2}"));
    const t_GetArray request = present ? params({{"id", id}, {"name", "z"}}) : params({{"name", "z"}});
    const QByteArray prefix("{\"error\":true,\"message\":\"Query error\"");
    QVERIFY(m.removeView(request).startsWith(prefix));
    QVERIFY(m.editView(request).startsWith(prefix));
    QCOMPARE(tableRows(QStringLiteral("SELECT name FROM Views")), (QStringList{"a", "b"}));
}

void tst_DeviceManager::viewListingIsAlwaysJson()
{
    // A table as an import may leave it: no NOT NULL and no text check.
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE Views")));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral(
        "CREATE TABLE Views (idViews integer PRIMARY KEY, name varchar(80), width integer, height integer, "
        "showTime integer, widgetsCfg TEXT)")));
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO Views VALUES (1, 'a', 1, 2, 3, ?), (2, 'b', NULL, "
                                                 "'wide', 3, ?), (3, NULL, 1, 1, NULL, NULL), (4, 'd', 1, 1, 1, ?), "
                                                 "(5, 'e', 1, 1, 1, ?), (6, 'f', 1, 1, 1, ?)"),
                                  {QStringLiteral("1},{\"id\":99,\"name\":\"x\""), QStringLiteral(""),
                                   QStringLiteral(" {\"a\":[1,2]} "), QStringLiteral("1,2"), QStringLiteral("\"t\"")}));
    DeviceManager m;
    const QByteArray listing = m.getViewsCfg();
    QCOMPARE(listing,
             QByteArray("[{\"id\":1,\"name\":\"a\",\"width\":1,\"height\":2,\"showTime\":3,\"widgetsCfg\":null},"
                        "{\"id\":2,\"name\":\"b\",\"width\":null,\"height\":null,\"showTime\":3,\"widgetsCfg\":null},"
                        "{\"id\":3,\"name\":\"\",\"width\":1,\"height\":1,\"showTime\":null,\"widgetsCfg\":null},"
                        "{\"id\":4,\"name\":\"d\",\"width\":1,\"height\":1,\"showTime\":1,\"widgetsCfg\": {\"a\":[1,2]} },"
                        "{\"id\":5,\"name\":\"e\",\"width\":1,\"height\":1,\"showTime\":1,\"widgetsCfg\":null},"
                        "{\"id\":6,\"name\":\"f\",\"width\":1,\"height\":1,\"showTime\":1,\"widgetsCfg\":\"t\"}]"));
    QJsonParseError error;
    QCOMPARE(QJsonDocument::fromJson(listing, &error).array().size(), 6);
    QCOMPARE(error.error, QJsonParseError::NoError);
}

void tst_DeviceManager::widgetTextsByStrictGrammar_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("listed");
    auto row = [](const char *name, const char *stored, const char *listed) {
        QTest::newRow(name) << QString::fromUtf8(stored) << QByteArray(listed);
    };
    row("trailing point", "1.", "null");
    row("point without leading digit", "-.5", "null");
    row("point before exponent", "1.e5", "null");
    row("trailing point in a layout", "[{\"x\":1.,\"y\":2}]", "null");
    row("leading zero", "[01]", "null");
    row("raw tab in a string", "{\"t\":\"a\tb\"}", "null");
    row("raw line feed in a string", "\"a\nb\"", "null");
    row("raw control character in a string", "[\"\x01\"]", "null");
    row("layout kept as stored", " [{\"w\":1.5e-3,\"t\":\"x\\\"y\"},{}]\r\n",
        " [{\"w\":1.5e-3,\"t\":\"x\\\"y\"},{}]\r\n");
    row("escapes kept as stored", "\"\\u00e9\\n\\/\"", "\"\\u00e9\\n\\/\"");
    row("non-ascii text kept as stored", "{\"n\":\"za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87\"}",
        "{\"n\":\"za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87\"}");
    row("negative zero and exponent", "[-0,1E+2]", "[-0,1E+2]");
}

void tst_DeviceManager::widgetTextsByStrictGrammar()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, listed);
    QVERIFY(AcqTestDatabase::exec(QStringLiteral("INSERT INTO Views VALUES (1, 'v', 0, 0, 10, ?)"), {stored}));
    DeviceManager m;
    const QByteArray listing = m.getViewsCfg();
    QCOMPARE(listing, "[{\"id\":1,\"name\":\"v\",\"width\":0,\"height\":0,\"showTime\":10,\"widgetsCfg\":" + listed +
                          "}]");
    QVERIFY2(TestEnv::isStrictJson(listing), listing.constData());
}

void tst_DeviceManager::updateViewsTimes_data()
{
    QTest::addColumn<QByteArray>("times");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("showTimes"); // views 1, 2, 3 afterwards

    const QStringList unchanged{"10", "10", "10"};
    QTest::newRow("absent") << QByteArray() << QByteArray("false") << unchanged;
    QTest::newRow("empty object") << QByteArray("{}") << QByteArray("false") << unchanged;
    QTest::newRow("not JSON") << QByteArray("{2:30}") << QByteArray("false") << unchanged;
    QTest::newRow("one view") << QByteArray("{\"2\":\"30\"}") << QByteArray("true") << QStringList{"10", "30", "10"};
    QTest::newRow("two views") << QByteArray("{\"3\":\"20\",\"1\":\"15\"}") << QByteArray("true")
                               << QStringList{"15", "10", "20"};
    QTest::newRow("unknown view") << QByteArray("{\"9\":\"30\"}") << QByteArray("true") << unchanged;
    QTest::newRow("number value") << QByteArray("{\"2\":30}") << QByteArray("false") << unchanged;
    QTest::newRow("key is a condition") << QByteArray("{\"1 OR 1=1\":\"5\"}") << QByteArray("false") << unchanged;
    QTest::newRow("value is an expression") << QByteArray("{\"2\":\"5 ELSE 0 END\"}") << QByteArray("false")
                                            << unchanged;
    QTest::newRow("one bad of two") << QByteArray("{\"1\":\"5\",\"2\":\"x\"}") << QByteArray("false") << unchanged;
    QTest::newRow("empty value") << QByteArray("{\"2\":\"\"}") << QByteArray("false") << unchanged;
    // Which of two times would count is anybody's guess: none does.
    QTest::newRow("repeated view") << QByteArray("{\"2\":\"30\",\"1\":\"5\",\"2\":\"40\"}") << QByteArray("false")
                                   << unchanged;
    QTest::newRow("repeated view written as an escape")
        << QByteArray("{\"2\":\"30\",\"\\u0032\":\"40\"}") << QByteArray("false") << unchanged;
}

void tst_DeviceManager::updateViewsTimes()
{
    QFETCH(QByteArray, times);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, showTimes);

    DeviceManager m;
    for (const char *name : {"a", "b", "c"})
        QVERIFY(m.addNewView(params({{"name", name}})).startsWith("{\"success\":true"));
    QCOMPARE(m.updateViewsTimes(times.isNull() ? t_GetArray() : params({{"viewsTimes", times}})), reply);
    QCOMPARE(tableRows(QStringLiteral("SELECT showTime FROM Views ORDER BY idViews")), showTimes);
    if (reply == "true") {
        // A statement that fails is no success.
        QVERIFY(AcqTestDatabase::exec(QStringLiteral("DROP TABLE Views")));
        QCOMPARE(m.updateViewsTimes(params({{"viewsTimes", times}})), QByteArray("false"));
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 3 && qstrcmp(argv[1], "--commit-fixture") == 0)
        return commitFixture(QString::fromLocal8Bit(argv[2]));
    tst_DeviceManager test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_DeviceManager.moc"
