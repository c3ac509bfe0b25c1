#include "Database.h"
#include "Logs.h"
#include "TempDatabase.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QtTest>

class tst_Logs : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void escaping_data();
    void escaping();
    void typeWords_data();
    void typeWords();
    void filters_data();
    void filters();
    void deleteMode();
    void emptyTable();
    void boundsAreValues();
    void storedMessagesAlwaysListAsJson_data();
    void storedMessagesAlwaysListAsJson();

private:
    // Rows with known times: ids 1..5.
    void insertFixture();
    QJsonArray listing(const t_GetArray &params);
    TempDatabase *m_db = nullptr;
};

void tst_Logs::init()
{
    m_db = new TempDatabase;
    QVERIFY(m_db->create());
}

void tst_Logs::cleanup()
{
    delete m_db;
    m_db = nullptr;
}

void tst_Logs::insertFixture()
{
    Database scope;
    QSqlQuery q(scope.handle());
    QVERIFY(q.exec("INSERT INTO Logs (idLogs, type, message, dateTime) VALUES "
                   "(1, 'info', 'Program started', '2026-03-01 08:00:00'),"
                   "(2, 'alarm', 'Pressure high', '2026-03-01 23:59:59'),"
                   "(3, 'warn', 'SMTP not configured.', '2026-03-02 00:00:00'),"
                   "(4, 'error', 'Unable to send mail.', '2026-03-02 12:30:00'),"
                   "(5, 'info', 'Mail send', '2026-03-03 00:00:01')"));
}

QJsonArray tst_Logs::listing(const t_GetArray &params)
{
    const QByteArray reply = Logs::getLogsGridData(params, false);
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    if (error.error != QJsonParseError::NoError || !doc.isArray())
        qWarning("not an array: %s", reply.constData());
    return doc.array();
}

void tst_Logs::escaping_data()
{
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("stored");
    QTest::newRow("plain") << "Program started" << QByteArray("Program started");
    QTest::newRow("quote and backslash") << "a \"b\" c\\d" << QByteArray("a \\\"b\\\" c\\\\d");
    QTest::newRow("single quote untouched") << "it's" << QByteArray("it's");
    QTest::newRow("slash") << "a/b" << QByteArray("a\\/b");
    QTest::newRow("line breaks and tab") << "1\n2\r3\t4" << QByteArray("1\\n2\\r3\\t4");
    QTest::newRow("other control character") << QStringLiteral("bell") + QChar(7) << QByteArray("bell\\u0007");
    QTest::newRow("quote, semicolon, placeholder") << "x'); DROP TABLE Logs; -- %2" << QByteArray("x'); DROP TABLE Logs; -- %2");
}

void tst_Logs::escaping()
{
    QFETCH(QString, message);
    QFETCH(QByteArray, stored);
    Logs::addLog(Logs::Info, message);
    QCOMPARE(m_db->cli("SELECT message FROM Logs;"), stored + '\n');
    t_GetArray params;
    params.insert("eventsType", "10");
    const QJsonArray rows = listing(params);
    QCOMPARE(rows.size(), 1);
    QCOMPARE(rows.at(0).toObject().value("message").toString(), message);
    QCOMPARE(rows.at(0).toObject().value("type").toString(), QStringLiteral("info"));
}

void tst_Logs::typeWords_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("word");
    QTest::newRow("1") << 1 << QByteArray("info");
    QTest::newRow("2") << 2 << QByteArray("alarm");
    QTest::newRow("3") << 3 << QByteArray("warn");
    QTest::newRow("4") << 4 << QByteArray("error");
    QTest::newRow("7 counts as info") << 7 << QByteArray("info");
    QTest::newRow("0 counts as info") << 0 << QByteArray("info");
}

void tst_Logs::typeWords()
{
    QFETCH(int, code);
    QFETCH(QByteArray, word);
    Logs::addLog(code, QStringLiteral("m"));
    QCOMPARE(m_db->cli("SELECT type FROM Logs;"), word + '\n');
}

void tst_Logs::filters_data()
{
    QTest::addColumn<QStringList>("params"); // name=value pairs
    QTest::addColumn<QString>("expected");   // ids newest first, or "Query error"
    QTest::newRow("no filter at all fails") << QStringList{} << "Query error";
    QTest::newRow("unknown type fails") << QStringList{"eventsType=5"} << "Query error";
    QTest::newRow("all types, newest first") << QStringList{"eventsType=10"} << "5,4,3,2,1";
    QTest::newRow("type alarm") << QStringList{"eventsType=2"} << "2";
    QTest::newRow("type info") << QStringList{"eventsType=1"} << "5,1";
    QTest::newRow("start date without time takes the whole day")
        << QStringList{"eventsType=10", "startDate=2026-03-02"} << "5,4,3";
    QTest::newRow("end date without time excludes the end day")
        << QStringList{"eventsType=10", "endDate=2026-03-02"} << "2,1";
    QTest::newRow("end of day bound includes 23:59:59")
        << QStringList{"eventsType=10", "endDate=2026-03-01", "endTime=23:59:59"} << "2,1";
    QTest::newRow("both bounds")
        << QStringList{"eventsType=10", "startDate=2026-03-01", "startTime=12:00:00", "endDate=2026-03-02",
                       "endTime=12:30:00"} << "4,3,2";
    QTest::newRow("bounds and type")
        << QStringList{"eventsType=3", "startDate=2026-03-01", "endDate=2026-03-03"} << "3";
    QTest::newRow("text") << QStringList{"eventsType=10", "descContains=mail"} << "5,4";
    QTest::newRow("text and type") << QStringList{"eventsType=4", "descContains=mail"} << "4";
    QTest::newRow("text without type fails") << QStringList{"descContains=mail"} << "Query error";
}

static t_GetArray toParams(const QStringList &pairs)
{
    t_GetArray params;
    for (const QString &pair : pairs) {
        const int eq = pair.indexOf('=');
        params.insert(pair.left(eq).toUtf8(), pair.mid(eq + 1).toUtf8());
    }
    return params;
}

void tst_Logs::filters()
{
    QFETCH(QStringList, params);
    QFETCH(QString, expected);
    insertFixture();
    const QByteArray reply = Logs::getLogsGridData(toParams(params), false);
    if (expected == QLatin1String("Query error")) {
        const QJsonObject object = QJsonDocument::fromJson(reply).object();
        QCOMPARE(object.value("error").toBool(), true);
        QCOMPARE(object.value("message").toString(), expected);
        QVERIFY(!object.value("details").toString().isEmpty());
        return;
    }
    QStringList ids;
    for (const QJsonValue &row : QJsonDocument::fromJson(reply).array())
        ids << row.toObject().value("idLogs").toString();
    QCOMPARE(ids.join(','), expected);
    const QJsonObject first = QJsonDocument::fromJson(reply).array().at(0).toObject();
    QCOMPARE(first.keys(), (QStringList{"dateTime", "idLogs", "message", "type"}));
}

void tst_Logs::deleteMode()
{
    insertFixture();
    QCOMPARE(Logs::getLogsGridData(toParams({"eventsType=1"}), true), QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT idLogs FROM Logs ORDER BY idLogs;"), QByteArray("2\n3\n4\n"));
    QCOMPARE(Logs::getLogsGridData(toParams({"eventsType=10", "descContains=nothing like it"}), true),
             QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT count(*) FROM Logs;"), QByteArray("3\n"));
    // A failed delete deletes nothing.
    QVERIFY(Logs::getLogsGridData(toParams({}), true).startsWith("{\"error\":true,\"message\":\"Query error\""));
    QCOMPARE(m_db->cli("SELECT count(*) FROM Logs;"), QByteArray("3\n"));
}

void tst_Logs::emptyTable() { QCOMPARE(Logs::getLogsGridData(toParams({"eventsType=10"}), false), QByteArray("[]")); }

void tst_Logs::boundsAreValues()
{
    insertFixture();
    const QString injected = QStringLiteral("x' UNION SELECT idUsers,username,password,permissions FROM Users --");
    for (const char *name : {"startDate", "startTime", "endDate", "endTime", "descContains"}) {
        t_GetArray params = toParams({"eventsType=10"});
        params.insert(name, injected.toUtf8());
        const QByteArray reply = Logs::getLogsGridData(params, false);
        QVERIFY2(!reply.contains("Admin"), name);
        QVERIFY2(QJsonDocument::fromJson(reply).isArray(), reply.constData());
    }
    // Deleting with a hostile bound removes only what the bound selects.
    t_GetArray params = toParams({"eventsType=10"});
    params.insert("descContains", "' OR 1=1 --");
    QCOMPARE(Logs::getLogsGridData(params, true), QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT count(*) FROM Logs;"), QByteArray("5\n"));
}

void tst_Logs::storedMessagesAlwaysListAsJson_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QByteArray>("listed"); // the message member's bytes between its quotes
    QTest::addColumn<QString>("parsed");
    QTest::newRow("escaped as stored today") << "a \\\"b\\\" c\\\\d \\/ 1\\n2\\u0007"
                                             << QByteArray("a \\\"b\\\" c\\\\d \\/ 1\\n2\\u0007")
                                             << QStringLiteral("a \"b\" c\\d / 1\n2") + QChar(7);
    QTest::newRow("plain") << "Program started" << QByteArray("Program started") << "Program started";
    QTest::newRow("raw quote") << "say \"hi\"" << QByteArray("say \\\"hi\\\"") << "say \"hi\"";
    QTest::newRow("raw line feed") << "1\n2" << QByteArray("1\\n2") << "1\n2";
    QTest::newRow("raw control character") << QStringLiteral("a") + QChar(1) << QByteArray("a\\u0001")
                                           << QStringLiteral("a") + QChar(1);
    QTest::newRow("backslash without escape") << "C:\\data" << QByteArray("C:\\\\data") << "C:\\data";
    QTest::newRow("backslash at the end") << "end\\" << QByteArray("end\\\\") << "end\\";
    QTest::newRow("short unicode escape") << "x\\u12" << QByteArray("x\\\\u12") << "x\\u12";
}

// Rows of a restored older database may hold what the log's own escaping never writes.
void tst_Logs::storedMessagesAlwaysListAsJson()
{
    QFETCH(QString, stored);
    QFETCH(QByteArray, listed);
    QFETCH(QString, parsed);
    {
        Database scope;
        QSqlQuery q(scope.handle());
        q.prepare("INSERT INTO Logs (idLogs, type, message, dateTime) VALUES (7, 'info', ?, '2026-03-01 08:00:00')");
        q.addBindValue(stored);
        QVERIFY(q.exec());
    }
    const QByteArray reply = Logs::getLogsGridData(toParams({"eventsType=10"}), false);
    QCOMPARE(reply, "[{\"idLogs\":\"7\",\"type\":\"info\",\"message\":\"" + listed +
                        "\",\"dateTime\":\"2026-03-01 08:00:00\"}]");
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(reply, &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.array().first().toObject().value("message").toString(), parsed);
}

QTEST_GUILESS_MAIN(tst_Logs)
#include "tst_Logs.moc"
