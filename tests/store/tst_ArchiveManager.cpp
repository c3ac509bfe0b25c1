#include "ArchiveManager.h"
#include "ConfigManager.h"
#include "Database.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

// Archive rows are given as "idParameter|yyyy-MM-dd hh:mm:ss|value|flag".
class tst_ArchiveManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void generalInfoEmpty();
    void generalInfoCountsAndNames();
    void gridPaging_data();
    void gridPaging();
    void gridCells();
    void gridBounds_data();
    void gridBounds();
    void badParameterList_data();
    void badParameterList();
    void boundsAreValues_data();
    void boundsAreValues();

    void reportIntervals_data();
    void reportIntervals();
    void reportStatistics();
    void reportWithoutRows();
    void reportUnknownGrouping();

    void csvContent_data();
    void csvContent();
    void csvBusyWindow_data();
    void csvBusyWindow();
    void csvReleaseAndRetry();
    void csvReleaseKeepsANewerFile();
    void csvFileOutlivesGeneratingThread();
    void csvHandleOutlivesRelease();
    void csvFileCannotBeCreated();
    void csvWriteError();
    void deleteArchivedData();

private:
    void addRows(const QStringList &rows);
    static QJsonObject object(const QByteArray &reply);
    static QJsonArray array(const QByteArray &reply);
    static QByteArray fileText(ArchiveManager &manager);

    QTemporaryDir m_dir;
};

static t_GetArray params(std::initializer_list<std::pair<const char *, QByteArray>> list)
{
    t_GetArray map;
    for (const auto &entry : list)
        map.insert(QByteArray(entry.first), entry.second);
    return map;
}

static void exec(QSqlQuery &query, const QString &sql)
{
    if (!query.exec(sql))
        QFAIL(qPrintable(sql + QStringLiteral(": ") + query.lastError().text()));
}

void tst_ArchiveManager::initTestCase()
{
    QVERIFY(m_dir.isValid());
    Database::setLivePath(m_dir.filePath(QStringLiteral("db.sqlite")));
    Database scope;
    QSqlQuery query(scope.handle());
    for (const QString &statement : ConfigManager::schemaStatements() + ConfigManager::indexStatements())
        exec(query, statement);
    exec(query, QStringLiteral("INSERT INTO Devices (idDevices, name) VALUES (1, 'Meter')"));
    // Names: id, then a description, the register address alone, both, the name id alone;
    // 5 is not archived.
    exec(query, QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, userDescription, nameId, "
                               "regAddr, unit, archInterval) VALUES "
                               "(1, 1, 'Flow', '', 100, 'm3', 60), (2, 1, '', '', 102, 'V', 60), "
                               "(3, 1, 'Inlet', 'T1', 104, 'C', 60), (4, 1, '', 'P1', 106, 'bar', 60), "
                               "(5, 1, 'Spare', 'S', 108, '', 0)"));
    exec(query, QStringLiteral("INSERT INTO Users (username, password, permissions) "
                               "VALUES ('secretuser', 'secretdigest', 255)"));
}

void tst_ArchiveManager::init()
{
    Database scope;
    QSqlQuery query(scope.handle());
    exec(query, QStringLiteral("DELETE FROM ArchiveData"));
}

void tst_ArchiveManager::addRows(const QStringList &rows)
{
    Database scope;
    QSqlQuery query(scope.handle());
    QVERIFY(query.prepare(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                                         "VALUES (?, ?, ?, ?)")));
    for (const QString &row : rows) {
        const QStringList f = row.split(QLatin1Char('|'));
        QCOMPARE(f.size(), 4);
        query.addBindValue(f.at(0).toInt());
        query.addBindValue(f.at(2).toDouble());
        query.addBindValue(f.at(3).toInt());
        query.addBindValue(f.at(1));
        QVERIFY2(query.exec(), qPrintable(query.lastError().text()));
    }
}

QJsonObject tst_ArchiveManager::object(const QByteArray &reply)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        qWarning("not a JSON object: %s", reply.constData());
    return doc.object();
}

QJsonArray tst_ArchiveManager::array(const QByteArray &reply)
{
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        qWarning("not a JSON array: %s", reply.constData());
    return doc.array();
}

QByteArray tst_ArchiveManager::fileText(ArchiveManager &manager)
{
    std::unique_ptr<QFile> file = manager.openCsvFile();
    return file ? file->readAll() : QByteArray("<no file>");
}

// ---------------------------------------------------------------- general information

void tst_ArchiveManager::generalInfoEmpty()
{
    ArchiveManager manager;
    const QJsonObject info = object(manager.getArchGeneralInfo()).value(QStringLiteral("generalInfo")).toObject();
    QCOMPARE(info.value(QStringLiteral("firstRecordData")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(info.value(QStringLiteral("lastRecordData")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(info.value(QStringLiteral("allParamRecordsCnt")).toString(), QStringLiteral("0"));
    QCOMPARE(info.value(QStringLiteral("recordsCnt")).toString(), QStringLiteral("0"));
}

void tst_ArchiveManager::generalInfoCountsAndNames()
{
    // The session breaks at the ends must not stretch the range nor count.
    addRows({QStringLiteral("1|2024-01-01 09:00:00|0|6"), QStringLiteral("1|2024-01-01 10:00:00|1|0"),
             QStringLiteral("2|2024-01-01 10:00:00|2|0"), QStringLiteral("1|2024-01-01 10:01:00|3|4"),
             QStringLiteral("1|2024-01-01 11:00:00|0|6")});
    ArchiveManager manager;
    const QJsonObject reply = object(manager.getArchGeneralInfo());
    const QJsonObject info = reply.value(QStringLiteral("generalInfo")).toObject();
    QCOMPARE(info.value(QStringLiteral("firstRecordData")).toString(), QStringLiteral("2024-01-01 10:00:00"));
    QCOMPARE(info.value(QStringLiteral("lastRecordData")).toString(), QStringLiteral("2024-01-01 10:01:00"));
    QCOMPARE(info.value(QStringLiteral("allParamRecordsCnt")).toString(), QStringLiteral("3"));
    QCOMPARE(info.value(QStringLiteral("recordsCnt")).toString(), QStringLiteral("2"));

    QMap<QString, QString> names;
    for (const QJsonValue &v : reply.value(QStringLiteral("parametersGroup")).toArray()) {
        const QJsonObject p = v.toObject();
        QCOMPARE(p.value(QStringLiteral("devName")).toString(), QStringLiteral("Meter"));
        QCOMPARE(p.value(QStringLiteral("idDevices")).toString(), QStringLiteral("1"));
        names.insert(p.value(QStringLiteral("idParameters")).toString(), p.value(QStringLiteral("paramName")).toString());
    }
    const QMap<QString, QString> expected{{QStringLiteral("1"), QStringLiteral("Flow")},
                                          {QStringLiteral("2"), QStringLiteral("102")},
                                          {QStringLiteral("3"), QStringLiteral("T1 (Inlet)")},
                                          {QStringLiteral("4"), QStringLiteral("P1")}};
    QCOMPARE(names, expected);
}

// ---------------------------------------------------------------- grid

// 25 time stamps of parameter 1 a minute apart from 10:00, with session breaks before the first
// row, at the edge between the first two pages of ten (after the tenth row) and after the last.
static QStringList pagedRows()
{
    QStringList rows;
    const QDateTime base(QDate(2024, 1, 1), QTime(10, 0, 0), Qt::UTC);
    rows << QStringLiteral("1|2024-01-01 09:59:30|0|6");
    for (int i = 0; i < 25; ++i) {
        rows << QStringLiteral("1|%1|%2|0").arg(base.addSecs(60 * i).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))).arg(i);
        if (i == 9)
            rows << QStringLiteral("1|2024-01-01 10:09:30|0|6");
    }
    rows << QStringLiteral("1|2024-01-01 10:30:00|0|6");
    return rows;
}

void tst_ArchiveManager::gridPaging_data()
{
    QTest::addColumn<QByteArray>("pagination");
    QTest::addColumn<int>("pageNum");
    QTest::addColumn<QByteArray>("knownTotal"); // empty: absent
    QTest::addColumn<QString>("firstValue");
    QTest::addColumn<QString>("lastValue");
    QTest::addColumn<int>("rowsCnt");
    QTest::addColumn<int>("breaksInChart");
    QTest::addColumn<int>("total");

    QTest::newRow("first page, break before it") << QByteArray("1") << 0 << QByteArray() << "0" << "9" << 10 << 1 << 25;
    QTest::newRow("second page opens with the edge break") << QByteArray("1") << 1 << QByteArray("-1") << "10" << "19" << 10 << 1 << 25;
    QTest::newRow("second page, known total") << QByteArray("1") << 1 << QByteArray("25") << "10" << "19" << 10 << 1 << 25;
    QTest::newRow("last page, short") << QByteArray("1") << 2 << QByteArray() << "20" << "24" << 5 << 1 << 25;
    QTest::newRow("past the end") << QByteArray("1") << 3 << QByteArray() << "" << "" << 0 << 0 << 25;
    QTest::newRow("paging off") << QByteArray("0") << 1 << QByteArray() << "0" << "24" << 25 << 3 << 25;
}

void tst_ArchiveManager::gridPaging()
{
    QFETCH(QByteArray, pagination);
    QFETCH(int, pageNum);
    QFETCH(QByteArray, knownTotal);
    QFETCH(QString, firstValue);
    QFETCH(QString, lastValue);
    QFETCH(int, rowsCnt);
    QFETCH(int, breaksInChart);
    QFETCH(int, total);

    addRows(pagedRows());
    t_GetArray p = params({{"paramListStr", "[1]"}, {"pagesize", "10"}, {"pagenum", QByteArray::number(pageNum)},
                           {"paggination", pagination}});
    if (!knownTotal.isEmpty())
        p.insert("calculatedTotalRows", knownTotal);
    ArchiveManager manager;
    const QJsonObject reply = object(manager.getArchGridData(p));
    const QJsonArray rows = reply.value(QStringLiteral("Rows")).toArray();
    const QJsonArray chart = reply.value(QStringLiteral("ChartData")).toArray();

    QCOMPARE(rows.size(), rowsCnt);
    QCOMPARE(reply.value(QStringLiteral("rowsCnt")).toInt(-1), rowsCnt);
    QCOMPARE(reply.value(QStringLiteral("calculatedTotalRows")).toInt(-1), total);
    if (rowsCnt > 0) {
        QCOMPARE(rows.first().toObject().value(QStringLiteral("1")).toString(), firstValue);
        QCOMPARE(rows.last().toObject().value(QStringLiteral("1")).toString(), lastValue);
    }
    int breaks = 0;
    for (const QJsonValue &v : chart)
        breaks += v.toObject().value(QStringLiteral("1_flag")).toString() == QLatin1String("6");
    QCOMPARE(breaks, breaksInChart);
    QCOMPARE(chart.size(), rowsCnt + breaksInChart);
}

void tst_ArchiveManager::gridCells()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|4294967295|0"), QStringLiteral("2|2024-01-01 10:00:00|0.1|0"),
             QStringLiteral("3|2024-01-01 10:00:00|12.5|2"), QStringLiteral("1|2024-01-01 10:01:00|1.25|0"),
             QStringLiteral("3|2024-01-01 10:01:00|7|4")});
    ArchiveManager manager;
    const QJsonObject reply = object(manager.getArchGridData(params({{"paramListStr", "[1, 2, '3']"}})));
    const QJsonArray rows = reply.value(QStringLiteral("Rows")).toArray();
    const QJsonArray chart = reply.value(QStringLiteral("ChartData")).toArray();
    QCOMPARE(rows.size(), 2);
    QCOMPARE(chart.size(), 2);

    const QJsonObject first = rows.at(0).toObject();
    QCOMPARE(first.value(QStringLiteral("dateTime")).toString(), QStringLiteral("2024-01-01 10:00:00"));
    QCOMPARE(first.value(QStringLiteral("1")).toString(), QStringLiteral("4294967295"));
    QCOMPARE(first.value(QStringLiteral("2")).toString(), QStringLiteral("0.1"));
    QCOMPARE(first.value(QStringLiteral("3")).toString(), QStringLiteral("---"));
    const QJsonObject second = rows.at(1).toObject();
    QCOMPARE(second.value(QStringLiteral("1")).toString(), QStringLiteral("1.25"));
    QCOMPARE(second.value(QStringLiteral("2")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(second.value(QStringLiteral("3")).toString(), QStringLiteral("???"));

    // The chart keeps the averages and flags behind the display texts.
    const QJsonObject chart0 = chart.at(0).toObject();
    QCOMPARE(chart0.value(QStringLiteral("3")).toString(), QStringLiteral("12.5"));
    QCOMPARE(chart0.value(QStringLiteral("3_flag")).toString(), QStringLiteral("2"));
    const QJsonObject chart1 = chart.at(1).toObject();
    QCOMPARE(chart1.value(QStringLiteral("2")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(chart1.value(QStringLiteral("2_flag")).toString(QStringLiteral("absent")), QString());
    QCOMPARE(chart1.value(QStringLiteral("3")).toString(), QStringLiteral("7"));
    QCOMPARE(chart1.value(QStringLiteral("3_flag")).toString(), QStringLiteral("4"));
}

void tst_ArchiveManager::gridBounds_data()
{
    QTest::addColumn<QByteArray>("startDate");
    QTest::addColumn<QByteArray>("startTime");
    QTest::addColumn<QByteArray>("endDate");
    QTest::addColumn<QByteArray>("endTime");
    QTest::addColumn<QStringList>("times");

    const QString a = QStringLiteral("2024-01-01 00:00:00");
    const QString b = QStringLiteral("2024-01-01 23:59:59");
    const QString c = QStringLiteral("2024-01-02 00:00:00");
    QTest::newRow("no bounds") << QByteArray() << QByteArray() << QByteArray() << QByteArray() << QStringList{a, b, c};
    QTest::newRow("start only") << QByteArray("2024-01-01") << QByteArray("00:00:01") << QByteArray() << QByteArray()
                                << QStringList{b, c};
    QTest::newRow("end only, 23:59:59 inclusive") << QByteArray() << QByteArray() << QByteArray("2024-01-01")
                                                  << QByteArray("23:59:59") << QStringList{a, b};
    QTest::newRow("both") << QByteArray("2024-01-01") << QByteArray("23:59:59") << QByteArray("2024-01-01")
                          << QByteArray("23:59:59") << QStringList{b};
    QTest::newRow("empty range") << QByteArray("2025-01-01") << QByteArray("00:00:00") << QByteArray("2025-01-02")
                                 << QByteArray("00:00:00") << QStringList{};
}

void tst_ArchiveManager::gridBounds()
{
    QFETCH(QByteArray, startDate);
    QFETCH(QByteArray, startTime);
    QFETCH(QByteArray, endDate);
    QFETCH(QByteArray, endTime);
    QFETCH(QStringList, times);

    addRows({QStringLiteral("1|2024-01-01 00:00:00|1|0"), QStringLiteral("1|2024-01-01 23:59:59|2|0"),
             QStringLiteral("1|2024-01-02 00:00:00|3|0")});
    t_GetArray p = params({{"paramListStr", "[1]"}});
    if (!startDate.isEmpty()) {
        p.insert("startDate", startDate);
        p.insert("startTime", startTime);
    }
    if (!endDate.isEmpty()) {
        p.insert("endDate", endDate);
        p.insert("endTime", endTime);
    }
    ArchiveManager manager;
    const QJsonObject reply = object(manager.getArchGridData(p));
    QStringList got;
    for (const QJsonValue &v : reply.value(QStringLiteral("Rows")).toArray())
        got << v.toObject().value(QStringLiteral("dateTime")).toString();
    QCOMPARE(got, times);
    QCOMPARE(reply.value(QStringLiteral("calculatedTotalRows")).toInt(-1), times.size());

    // The CSV export reads the same range.
    const QByteArray csv = manager.generateCSVFile(p);
    QCOMPARE(csv, QByteArray("{\"success\":true}"));
    QCOMPARE(fileText(manager).count('\n') - 1, times.size());
}

void tst_ArchiveManager::badParameterList_data()
{
    QTest::addColumn<bool>("absent");
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QString>("message");

    const QString listError = QStringLiteral("Parameters list error.");
    QTest::newRow("absent") << true << QByteArray() << listError;
    QTest::newRow("bare number") << false << QByteArray("5") << listError;
    QTest::newRow("no script") << false << QByteArray("[1, 2") << listError;
    QTest::newRow("code") << false << QByteArray("(function(){return [1]})()") << listError;
    QTest::newRow("fraction") << false << QByteArray("[1.5]") << listError;
    QTest::newRow("union as id") << false << QByteArray("['0 UNION SELECT username, password, 0 FROM Users --']")
                                 << listError;
    QTest::newRow("filter widened") << false << QByteArray("[\"1 OR 1=1\"]") << listError;
    QTest::newRow("quote in id") << false << QByteArray("[\"1' OR '1'='1\"]") << listError;
    // An empty list leaves the statement without a filter: the database refuses it.
    QTest::newRow("empty list") << false << QByteArray("[]") << QStringLiteral("Query error");
}

void tst_ArchiveManager::badParameterList()
{
    QFETCH(bool, absent);
    QFETCH(QByteArray, list);
    QFETCH(QString, message);

    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    t_GetArray p = params({{"groupingType", "hours"}});
    if (!absent)
        p.insert("paramListStr", list);
    ArchiveManager manager;
    const QByteArray replies[] = {manager.getArchGridData(p), manager.getReportGridData(p), manager.generateCSVFile(p)};
    for (const QByteArray &reply : replies) {
        QVERIFY2(!reply.contains("secret"), reply.constData());
        const QJsonObject o = object(reply);
        QCOMPARE(o.value(QStringLiteral("error")).toBool(), true);
        QCOMPARE(o.value(QStringLiteral("message")).toString(), message);
    }
    // A failed generation leaves no busy window behind: a correct request works at once.
    QCOMPARE(manager.generateCSVFile(params({{"paramListStr", "[1]"}})), QByteArray("{\"success\":true}"));
}

void tst_ArchiveManager::boundsAreValues_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("value");

    QTest::newRow("end date, grid shape") << QByteArray("endDate")
                                          << QByteArray("9999' UNION SELECT username, password, 0 FROM Users --");
    QTest::newRow("end date, report shape") << QByteArray("endDate")
                                            << QByteArray("9999' UNION SELECT username, password FROM Users --");
    QTest::newRow("start time") << QByteArray("startTime")
                                << QByteArray("' UNION SELECT username, password, 0 FROM Users --");
    QTest::newRow("start date, report shape") << QByteArray("startDate")
                                              << QByteArray("0' UNION SELECT username, password FROM Users --");
}

void tst_ArchiveManager::boundsAreValues()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, value);

    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    t_GetArray p = params({{"paramListStr", "[1]"}, {"groupingType", "hours"}, {name, value}});
    if (name != "startDate")
        p.insert("startDate", "2024-01-01");
    ArchiveManager manager;
    const QByteArray replies[] = {manager.getArchGridData(p), manager.getReportGridData(p), manager.generateCSVFile(p)};
    for (const QByteArray &reply : replies)
        QVERIFY2(!reply.contains("secret"), reply.constData());
    QVERIFY(!fileText(manager).contains("secret"));
}

// ---------------------------------------------------------------- report

void tst_ArchiveManager::reportIntervals_data()
{
    QTest::addColumn<QByteArray>("grouping");
    QTest::addColumn<QByteArray>("minutes"); // empty: absent
    QTest::addColumn<QStringList>("times");
    QTest::addColumn<QStringList>("intervals"); // "from - to"

    QTest::newRow("minutes 15") << QByteArray("minutes") << QByteArray("15")
                                << QStringList{"2024-05-06 10:37:20", "2024-05-06 10:44:59", "2024-05-06 10:45:00"}
                                << QStringList{"06.05.2024 10:30:00 - 06.05.2024 10:45:00",
                                               "06.05.2024 10:45:00 - 06.05.2024 11:00:00"};
    QTest::newRow("minutes 7, step not dividing the hour")
        << QByteArray("minutes") << QByteArray("7")
        << QStringList{"2024-05-06 10:56:10", "2024-05-06 11:02:59", "2024-05-06 11:03:00"}
        << QStringList{"06.05.2024 10:56:00 - 06.05.2024 11:03:00", "06.05.2024 11:00:00 - 06.05.2024 11:07:00"};
    for (const char *minutes : {"0", "61", ""}) {
        QTest::addRow("minutes '%s' reads as 10", minutes)
            << QByteArray("minutes") << QByteArray(minutes)
            << QStringList{"2024-05-06 10:37:20", "2024-05-06 10:39:59", "2024-05-06 10:40:00"}
            << QStringList{"06.05.2024 10:30:00 - 06.05.2024 10:40:00", "06.05.2024 10:40:00 - 06.05.2024 10:50:00"};
    }
    for (const char *minutes : {"15", "7"}) {
        QTest::addRow("hours, step %s ignored", minutes)
            << QByteArray("hours") << QByteArray(minutes)
            << QStringList{"2024-05-06 10:00:00", "2024-05-06 10:59:59", "2024-05-06 11:00:00", "2024-05-07 11:30:00"}
            << QStringList{"06.05.2024 10:00:00 - 06.05.2024 11:00:00", "06.05.2024 11:00:00 - 06.05.2024 12:00:00",
                           "07.05.2024 11:00:00 - 07.05.2024 12:00:00"};
        QTest::addRow("days, step %s ignored", minutes)
            << QByteArray("days") << QByteArray(minutes)
            << QStringList{"2024-05-06 00:00:00", "2024-05-06 23:59:59", "2024-05-07 00:00:00"}
            << QStringList{"06.05.2024 00:00:00 - 06.05.2024 23:59:59", "07.05.2024 00:00:00 - 07.05.2024 23:59:59"};
        QTest::addRow("weeks from Monday, step %s ignored", minutes)
            << QByteArray("weeks") << QByteArray(minutes)
            << QStringList{"2024-05-08 12:00:00", "2024-05-12 23:59:59", "2024-05-13 00:00:00"}
            << QStringList{"06.05.2024 00:00:00 - 12.05.2024 23:59:59", "13.05.2024 00:00:00 - 19.05.2024 23:59:59"};
    }
    QTest::newRow("week across the new year") << QByteArray("weeks") << QByteArray()
                                              << QStringList{"2025-01-01 08:00:00"}
                                              << QStringList{"30.12.2024 00:00:00 - 05.01.2025 23:59:59"};
    // Stored times are read as UTC whatever the local zone: 02:30 does not exist in Warsaw that day.
    QTest::newRow("hour skipped by summer time") << QByteArray("hours") << QByteArray()
                                                 << QStringList{"2024-03-31 02:30:00", "2024-03-31 03:10:00"}
                                                 << QStringList{"31.03.2024 02:00:00 - 31.03.2024 03:00:00",
                                                                "31.03.2024 03:00:00 - 31.03.2024 04:00:00"};
    QTest::newRow("hour repeated by winter time") << QByteArray("hours") << QByteArray()
                                                  << QStringList{"2024-10-27 02:30:00", "2024-10-27 03:10:00"}
                                                  << QStringList{"27.10.2024 02:00:00 - 27.10.2024 03:00:00",
                                                                 "27.10.2024 03:00:00 - 27.10.2024 04:00:00"};
}

void tst_ArchiveManager::reportIntervals()
{
    QFETCH(QByteArray, grouping);
    QFETCH(QByteArray, minutes);
    QFETCH(QStringList, times);
    QFETCH(QStringList, intervals);

    QStringList rows;
    for (const QString &t : times)
        rows << QStringLiteral("1|") + t + QStringLiteral("|1|0");
    addRows(rows);
    t_GetArray p = params({{"paramListStr", "[1]"}, {"groupingType", grouping}});
    if (!minutes.isEmpty())
        p.insert("groupingMinutesVal", minutes);
    ArchiveManager manager;
    QStringList got;
    for (const QJsonValue &v : array(manager.getReportGridData(p))) {
        const QJsonObject o = v.toObject();
        got << o.value(QStringLiteral("timeRangeFrom")).toString() + QStringLiteral(" - ") +
                   o.value(QStringLiteral("timeRangeTo")).toString();
    }
    QCOMPARE(got, intervals);
}

void tst_ArchiveManager::reportStatistics()
{
    addRows({// parameter 1: equal minima at 10:01 and 10:05, the maximum once, bad flags left out
             QStringLiteral("1|2024-05-06 10:01:00|2|0"), QStringLiteral("1|2024-05-06 10:02:00|4294967295|0"),
             QStringLiteral("1|2024-05-06 10:03:00|-100|4"), QStringLiteral("1|2024-05-06 10:04:00|1e9|2"),
             QStringLiteral("1|2024-05-06 10:05:00|2|0"), QStringLiteral("1|2024-05-06 10:06:00|0|6"),
             // parameter 2: one good value
             QStringLiteral("2|2024-05-06 10:03:00|0.1|0"),
             // parameter 3: no good value at all
             QStringLiteral("3|2024-05-06 10:02:00|5|3"), QStringLiteral("3|2024-05-06 10:04:00|5|7"),
             // only bad values in the next hour: no interval for it
             QStringLiteral("1|2024-05-06 11:30:00|9|1"), QStringLiteral("2|2024-05-06 11:30:00|9|5")});
    ArchiveManager manager;
    const QByteArray reply =
        manager.getReportGridData(params({{"paramListStr", "[1,2,3]"}, {"groupingType", "hours"}}));
    const QJsonArray intervals = array(reply);
    QCOMPARE(intervals.size(), 1);
    const QJsonObject o = intervals.at(0).toObject();
    QCOMPARE(o.value(QStringLiteral("minDateTime_1")).toString(), QStringLiteral("06.05.2024 10:01:00"));
    QCOMPARE(o.value(QStringLiteral("minValue_1")).toDouble(), 2.0);
    QCOMPARE(o.value(QStringLiteral("maxDateTime_1")).toString(), QStringLiteral("06.05.2024 10:02:00"));
    // The counter keeps every digit; six significant digits would print 4.29497e+09.
    QVERIFY2(reply.contains("\"maxValue_1\":4294967295,"), reply.constData());
    QVERIFY2(reply.contains("\"avg_1\":1431655766.3333333"), reply.constData());

    QCOMPARE(o.value(QStringLiteral("minDateTime_2")).toString(), QStringLiteral("06.05.2024 10:03:00"));
    QCOMPARE(o.value(QStringLiteral("maxDateTime_2")).toString(), QStringLiteral("06.05.2024 10:03:00"));
    QVERIFY2(reply.contains("\"minValue_2\":0.1,\"maxDateTime_2\":\"06.05.2024 10:03:00\",\"maxValue_2\":0.1,"
                            "\"avg_2\":0.1"),
             reply.constData());

    for (const char *key : {"minDateTime_3", "minValue_3", "maxDateTime_3", "maxValue_3", "avg_3"})
        QCOMPARE(o.value(QLatin1String(key)).toString(), QStringLiteral("---"));
}

void tst_ArchiveManager::reportWithoutRows()
{
    addRows({QStringLiteral("1|2024-05-06 10:00:00|1|0")});
    ArchiveManager manager;
    QCOMPARE(manager.getReportGridData(params({{"paramListStr", "[2]"}, {"groupingType", "days"}})), QByteArray("[]"));
    QCOMPARE(manager.getReportGridData(params({{"paramListStr", "[1]"}, {"groupingType", "days"},
                                               {"startDate", "2025-01-01"}})),
             QByteArray("[]"));
}

void tst_ArchiveManager::reportUnknownGrouping()
{
    addRows({QStringLiteral("1|2024-05-06 10:00:00|1|0")});
    ArchiveManager manager;
    const QJsonObject o = object(manager.getReportGridData(params({{"paramListStr", "[1]"}, {"groupingType", "month"}})));
    QCOMPARE(o.value(QStringLiteral("error")).toBool(), true);
}

// ---------------------------------------------------------------- CSV

void tst_ArchiveManager::csvContent_data()
{
    QTest::addColumn<QByteArray>("colSep"); // empty: absent
    QTest::addColumn<QByteArray>("decSep"); // empty: absent
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("defaults") << QByteArray() << QByteArray()
                              << QByteArray("Time;A;B\r\n"
                                            "2024-01-01 10:00:00,4294967295,0.1\r\n"
                                            "2024-01-01 10:02:00,---,\r\n"
                                            "2024-01-01 10:03:00,???,1.5\r\n");
    QTest::newRow("semicolon as decimal separator writes a comma")
        << QByteArray(";") << QByteArray(";")
        << QByteArray("Time;A;B\r\n"
                      "2024-01-01 10:00:00;4294967295;0,1\r\n"
                      "2024-01-01 10:02:00;---;\r\n"
                      "2024-01-01 10:03:00;???;1,5\r\n");
    QTest::newRow("tab and point") << QByteArray("\t") << QByteArray(".")
                                   << QByteArray("Time;A;B\r\n"
                                                 "2024-01-01 10:00:00\t4294967295\t0.1\r\n"
                                                 "2024-01-01 10:02:00\t---\t\r\n"
                                                 "2024-01-01 10:03:00\t???\t1.5\r\n");
}

void tst_ArchiveManager::csvContent()
{
    QFETCH(QByteArray, colSep);
    QFETCH(QByteArray, decSep);
    QFETCH(QByteArray, expected);

    addRows({QStringLiteral("1|2024-01-01 10:00:00|4294967295|0"), QStringLiteral("2|2024-01-01 10:00:00|0.1|0"),
             // the first parameter's session break hides the other's value
             QStringLiteral("1|2024-01-01 10:01:00|0|6"), QStringLiteral("2|2024-01-01 10:01:00|3|0"),
             QStringLiteral("1|2024-01-01 10:02:00|8|2"),
             QStringLiteral("1|2024-01-01 10:03:00|8|4"), QStringLiteral("2|2024-01-01 10:03:00|1.5|0")});
    t_GetArray p = params({{"paramListStr", "[1,2]"}, {"colNamesStr", "Time;A;B"}});
    if (!colSep.isEmpty())
        p.insert("colSep", colSep);
    if (!decSep.isEmpty())
        p.insert("decSep", decSep);
    ArchiveManager manager;
    QCOMPARE(manager.generateCSVFile(p), QByteArray("{\"success\":true}"));
    QCOMPARE(fileText(manager), expected);
}

void tst_ArchiveManager::csvBusyWindow_data()
{
    QTest::addColumn<qint64>("elapsed");
    QTest::addColumn<bool>("busy");

    QTest::newRow("119999 ms") << qint64(119999) << true;
    QTest::newRow("120000 ms") << qint64(120000) << false;
}

void tst_ArchiveManager::csvBusyWindow()
{
    QFETCH(qint64, elapsed);
    QFETCH(bool, busy);

    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    qint64 now = 5000000;
    ArchiveManager manager;
    manager.setClock([&now] { return now; });
    const t_GetArray first = params({{"paramListStr", "[1]"}, {"colNamesStr", "first"}});
    const t_GetArray second = params({{"paramListStr", "[1]"}, {"colNamesStr", "second"}});
    QCOMPARE(manager.generateCSVFile(first), QByteArray("{\"success\":true}"));
    const QString firstPath = manager.openCsvFile()->fileName();

    now += elapsed;
    const QByteArray reply = manager.generateCSVFile(second);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (busy) {
        QCOMPARE(reply, QByteArray("{\"error\":true,\"message\":\"Generating in progress\"}"));
        QVERIFY(fileText(manager).startsWith("first\r\n"));
    } else {
        QCOMPARE(reply, QByteArray("{\"success\":true}"));
        QVERIFY(fileText(manager).startsWith("second\r\n"));
        QVERIFY(!QFile::exists(firstPath));
    }
}

void tst_ArchiveManager::csvReleaseAndRetry()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    ArchiveManager manager;
    QVERIFY(!manager.openCsvFile());
    const t_GetArray p = params({{"paramListStr", "[1]"}});
    QCOMPARE(manager.generateCSVFile(p), QByteArray("{\"success\":true}"));
    quint64 served = 0;
    const QString path = manager.openCsvFile(&served)->fileName();
    manager.releaseCsvFile(served);
    QVERIFY(!manager.openCsvFile());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(!QFile::exists(path));
    QCOMPARE(manager.generateCSVFile(p), QByteArray("{\"success\":true}"));
}

void tst_ArchiveManager::csvReleaseKeepsANewerFile()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    qint64 now = 5000000;
    ArchiveManager manager;
    manager.setClock([&now] { return now; });
    const t_GetArray first = params({{"paramListStr", "[1]"}, {"colNamesStr", "first"}});
    QCOMPARE(manager.generateCSVFile(first), QByteArray("{\"success\":true}"));
    quint64 served = 0;
    QVERIFY(manager.openCsvFile(&served));
    // The download outlasts the busy window; another user generates meanwhile.
    now += 120000;
    QCOMPARE(manager.generateCSVFile(params({{"paramListStr", "[1]"}, {"colNamesStr", "second"}})),
             QByteArray("{\"success\":true}"));
    manager.releaseCsvFile(served);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(fileText(manager).startsWith("second\r\n"));
    // The newer file keeps its busy window too.
    QCOMPARE(manager.generateCSVFile(first), QByteArray("{\"error\":true,\"message\":\"Generating in progress\"}"));
}

void tst_ArchiveManager::csvFileOutlivesGeneratingThread()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    ArchiveManager manager;
    QByteArray reply;
    // Like a pooled HTTP thread that is retired after serving the request.
    QThread *worker = QThread::create([&] {
        reply = manager.generateCSVFile(params({{"paramListStr", "[1]"}}));
        Database::closeThisThread();
    });
    worker->start();
    QVERIFY(worker->wait(30000));
    delete worker;
    QCOMPARE(reply, QByteArray("{\"success\":true}"));

    quint64 served = 0;
    const QString path = manager.openCsvFile(&served)->fileName();
    QVERIFY(QFile::exists(path));
    manager.releaseCsvFile(served);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY2(!QFile::exists(path), "the released file is left on disk");
}

void tst_ArchiveManager::csvHandleOutlivesRelease()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    ArchiveManager manager;
    QCOMPARE(manager.generateCSVFile(params({{"paramListStr", "[1]"}, {"colNamesStr", "T"}})),
             QByteArray("{\"success\":true}"));
    quint64 served = 0;
    std::unique_ptr<QFile> download = manager.openCsvFile(&served);
    QVERIFY(download);
    // Another download of the same file ends first and releases it while this one still sends it.
    manager.releaseCsvFile(served);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(download->readAll(), QByteArray("T\r\n2024-01-01 10:00:00,1\r\n"));
}

void tst_ArchiveManager::csvFileCannotBeCreated()
{
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0")});
    ArchiveManager manager;
    // No descriptor is left for the temporary file (a temporary directory that is missing does
    // not do here: Qt then falls back to the root directory, writable for root).
    const int probe = ::open("/dev/null", O_RDONLY);
    QVERIFY(probe >= 0);
    ::close(probe);
    struct rlimit old;
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
    struct rlimit few = old;
    few.rlim_cur = rlim_t(probe);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &few), 0);
    const QByteArray reply = manager.generateCSVFile(params({{"paramListStr", "[1]"}}));
    setrlimit(RLIMIT_NOFILE, &old);

    QCOMPARE(reply, QByteArray("{\"error\":true,\"message\":\"Unable to create file\"}"));
    QVERIFY(!manager.openCsvFile());
    QCOMPARE(manager.generateCSVFile(params({{"paramListStr", "[1]"}})), QByteArray("{\"success\":true}"));
}

void tst_ArchiveManager::csvWriteError()
{
    // Enough rows that the file outgrows the size limit below.
    QStringList rows;
    const QDateTime base(QDate(2024, 1, 1), QTime(0, 0, 0), Qt::UTC);
    for (int i = 0; i < 3000; ++i)
        rows << QStringLiteral("1|%1|%2|0").arg(base.addSecs(i).toString(QStringLiteral("yyyy-MM-dd hh:mm:ss"))).arg(i);
    addRows(rows);

    ArchiveManager manager;
    const t_GetArray p = params({{"paramListStr", "[1]"}});
    // The disk fills up after 4096 bytes: every later write fails with EFBIG instead of a signal.
    struct rlimit old;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 4096;
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &small), 0);
    const QByteArray reply = manager.generateCSVFile(p);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);

    QCOMPARE(reply, QByteArray("{\"error\":true,\"message\":\"Unable to create file\"}"));
    QVERIFY(!manager.openCsvFile());
    QCOMPARE(manager.generateCSVFile(p), QByteArray("{\"success\":true}"));
    QCOMPARE(fileText(manager).count('\n'), 3001);
}

void tst_ArchiveManager::deleteArchivedData()
{
    ArchiveManager manager;
    QCOMPARE(manager.deleteArchivedData(), QByteArray("{\"success\":true}"));
    addRows({QStringLiteral("1|2024-01-01 10:00:00|1|0"), QStringLiteral("2|2024-01-01 10:00:00|1|6")});
    QCOMPARE(manager.deleteArchivedData(), QByteArray("{\"success\":true}"));
    Database scope;
    QSqlQuery query(scope.handle());
    exec(query, QStringLiteral("SELECT COUNT(*) FROM ArchiveData"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 0);
    exec(query, QStringLiteral("SELECT COUNT(*) FROM ConfiguredParameters"));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 5);
}

// Every case runs once in UTC and once in a zone with summer time, where stored times must
// still print as they are stored.
int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    int failures = 0;
    for (const char *zone : {"UTC", "Europe/Warsaw"}) {
        qputenv("TZ", zone);
        tzset();
        const int summerOffset = QDateTime(QDate(2024, 7, 1), QTime(12, 0), Qt::LocalTime).offsetFromUtc();
        qInfo("time zone %s, summer offset %d s", zone, summerOffset);
        if (summerOffset != (qstrcmp(zone, "UTC") == 0 ? 0 : 7200))
            return 1 + failures;
        tst_ArchiveManager test;
        failures += QTest::qExec(&test, argc, argv);
    }
    return failures;
}

#include "tst_ArchiveManager.moc"
