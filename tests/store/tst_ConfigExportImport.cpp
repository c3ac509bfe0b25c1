#include "ConfigManager.h"
#include "ConfigScript.h"
#include "JsonReply.h"
#include "StoreFixture.h"
#include "UsersManager.h"

#include <QBuffer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThread>
#include <QtTest>

#include <atomic>

class tst_ConfigExportImport : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void freshExport();
    void valuesReadBack_data();
    void valuesReadBack();
    void roundTrip();
    void scriptAccepted_data();
    void scriptAccepted();
    void scriptRefused_data();
    void scriptRefused();
    void failedCommitKeepsLiveFile();
    void snapshotRoundTrip();
    void snapshotIsConsistent();
    void fileRefused_data();
    void fileRefused();
    void fileAccepted_data();
    void fileAccepted();
    void uploadRouting_data();
    void uploadRouting();
    void otherThreadsSeeImportedFile();

private:
    void populate();
    QByteArray importScript(const QByteArray &script);
    QString settingsLine() const;

    QTemporaryDir *m_dir = nullptr;
    ConfigManager *m_config = nullptr;
};

static const QByteArray kSuccess("{\"success\":true}");
static const QString kHeader = QStringLiteral("/* Dalvoran ver: 0.2.0, arch: 0.1.2, create time: Thu Dec 10 10:00:00 2026 */");

static QStringList exportedTables()
{
    return ConfigScript::exportedTables();
}

void tst_ConfigExportImport::initTestCase()
{
    // Long enough for every upload of these tests that is not meant to outlast it.
    ConfigManager::s_uploadTimeLimitMs = 2000;
}

void tst_ConfigExportImport::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_config = new ConfigManager;
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
}

void tst_ConfigExportImport::cleanup()
{
    delete m_config;
    Database::closeThisThread();
    delete m_dir;
}

QString tst_ConfigExportImport::settingsLine() const
{
    return QStringLiteral("INSERT INTO Settings (idSettings,archiveVersion,modbusPollInterval,modbusIterDelay,"
                          "sessionEnabled,defaultAppState) VALUES('1','0.1.2','5000','10','0','0');");
}

QByteArray tst_ConfigExportImport::importScript(const QByteArray &script)
{
    QBuffer buffer;
    buffer.setData(script);
    buffer.open(QIODevice::ReadOnly);
    return m_config->importSqlScript(&buffer);
}

// Rows in every table, texts with the characters that a line-based script must carry safely.
void tst_ConfigExportImport::populate()
{
    struct Row
    {
        const char *sql;
        QVariantList values;
    };
    const QVariant null;
    const QList<Row> rows = {
        {"INSERT INTO SerialConnections VALUES (?,?,?,?,?,?,?)", {1, "serial A", "ttyS0", 9600, "N", 1, 1000}},
        {"INSERT INTO TCPConnections VALUES (?,?,?,?,?)", {1, "tcp; line -- x", "127.0.0.1", 502, 1500}},
        {"INSERT INTO TCPConnections VALUES (?,?,?,?,?)", {2, "O'Brien's", "10.0.0.2", 5020, 0}},
        {"INSERT INTO MQTTConnections VALUES (?,?,?,?,?)", {1, "broker", "127.0.0.1", 1883, "cid"}},
        {"INSERT INTO Devices VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
         {1, "meter \"A\"", "M1", 7, 3, null, null, null, "tcp", 1, 1765400000123LL, 1}},
        {"INSERT INTO Devices VALUES (?,?,?,?,?,?,?,?,?,?,?,?)",
         {2, "mqtt dev", "S", 0, 3, "plant/#", "JSON", "{\"a\":\n 100,\r\n\"b\": 101}", "mqtt", 1, 1765400000124LL, 0}},
        {"INSERT INTO ReadIterations VALUES (?,?,?,?,?,?,?,?)", {1, 100, 4, 3, 16, 16, 1, 3}},
        {"INSERT INTO ConfiguredParameters VALUES (?,?,?,?,?,?,?,?,?,?)",
         {1, 1, "line1\nline2\r\nline3\rend\n", "U1", 100, "V", 60, 3, 16, 16}},
        {"INSERT INTO ConfiguredParameters VALUES (?,?,?,?,?,?,?,?,?,?)", {2, 1, "", null, 102, "", 0, 3, 16, 16}},
        {"INSERT INTO ArchiveData VALUES (?,?,?,?,?)", {1, 1, 4294967295.0, 0, "2026-01-01 00:00:00"}},
        {"INSERT INTO Views VALUES (?,?,?,?,?,?)", {1, "", 800, 600, 1.5, "{\"w\":[\n{\"x\":1}\n]}"}},
        {"INSERT INTO Views VALUES (?,?,?,?,?,?)",
         {2, "main /* not a comment */ -- x", 1024, 768, 0, "a'b;c\\d %2 %1 \"q\" \t tab"}},
        {"INSERT INTO Alarms VALUES (?,?,?,?,?,?,?,?,?)",
         {1, "hot", "desc\twith tab", 3, "v == 'x'", "v < 1", 1, "a@b.pl,c@d.pl", QString::fromUtf8("Temat: ąęś")}},
        {"INSERT INTO Alarms VALUES (?,?,?,?,?,?,?,?,?)", {2, "\n", "", 0, "1", "", 0, "", ""}},
        {"INSERT INTO Users VALUES (?,?,?,?)", {2, "viewer", UsersManager::passwordDigest("pw"), 1}},
        {"UPDATE Settings SET modbusPollInterval = ?, sessionEnabled = ?", {2500, 1}},
        {"UPDATE SMTP SET serverName = ?, password = ?", {"smtp.example.org", "p'w\nd"}},
        {"INSERT INTO Logs (type, message) VALUES (?,?)", {"info", "Program started"}},
    };
    Database scope;
    QSqlQuery query(scope.handle());
    for (const Row &row : rows) {
        QVERIFY(query.prepare(QString::fromLatin1(row.sql)));
        for (const QVariant &value : row.values)
            query.addBindValue(value);
        QVERIFY2(query.exec(), qPrintable(row.sql + QStringLiteral(": ") + Database::errorText(query.lastError())));
    }
}

void tst_ConfigExportImport::freshExport()
{
    const QStringList lines = QString::fromUtf8(m_config->exportConfig()).split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5);
    QVERIFY2(QRegularExpression(QStringLiteral("^/\\* Dalvoran ver: 0\\.2\\.0, arch: 0\\.1\\.2, create time: "
                                               "\\w{3} \\w{3} \\d{1,2} \\d\\d:\\d\\d:\\d\\d \\d{4} \\*/$"))
                 .match(lines.at(0))
                 .hasMatch(),
             qPrintable(lines.at(0)));
    QCOMPARE(lines.at(1), settingsLine());
    QCOMPARE(lines.at(2), "INSERT INTO Users (idUsers,username,password,permissions) VALUES('1','Admin','" +
                              defaultAdminPasswordHash() + "','255');");
    // Empty texts stay empty texts, so the row reads back as it was.
    QCOMPARE(lines.at(3), QString("INSERT INTO SMTP (idSMTP,serverName,port,security,username,password,"
                                  "sourceEmailAddress) VALUES('1','','587','1','','','');"));
    QCOMPARE(lines.at(4), QString());
}

void tst_ConfigExportImport::valuesReadBack_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::newRow("null") << QVariant();
    QTest::newRow("empty text") << QVariant(QString(""));
    QTest::newRow("quote") << QVariant(QString("O'Brien"));
    QTest::newRow("only quotes") << QVariant(QString("''"));
    QTest::newRow("line feed inside") << QVariant(QString("a\nb"));
    QTest::newRow("only line feed") << QVariant(QString("\n"));
    QTest::newRow("crlf at end") << QVariant(QString("a\r\n"));
    QTest::newRow("lone cr") << QVariant(QString("\ra\r"));
    QTest::newRow("zero character") << QVariant(QString::fromLatin1("a\0b", 3));
    QTest::newRow("sql text") << QVariant(QString("x'); DROP TABLE Users; --"));
    QTest::newRow("unicode") << QVariant(QString::fromUtf8("zażółć \xE2\x80\xA8 gęślą"));
    QTest::newRow("integer") << QVariant(qlonglong(1765400000123LL));
    QTest::newRow("negative integer") << QVariant(qlonglong(-5));
    QTest::newRow("fraction") << QVariant(0.1);
    QTest::newRow("counter") << QVariant(4294967295.5);
    QTest::newRow("blob") << QVariant(QByteArray::fromHex("00ff0a0d27"));
}

void tst_ConfigExportImport::valuesReadBack()
{
    QFETCH(QVariant, value);
    const QString text = ConfigScript::valueText(value);
    QVERIFY(!text.contains(QLatin1Char('\n')) && !text.contains(QLatin1Char('\r')) && !text.contains(QChar(0)));
    // What the engine reads from the written text is the value itself.
    Database scope;
    QSqlQuery query(scope.handle());
    QVERIFY2(query.exec(QStringLiteral("SELECT ") + text + QStringLiteral(", typeof(") + text + QLatin1Char(')')),
             qPrintable(text));
    QVERIFY(query.next());
    const QVariant back = query.value(0);
    const QString type = query.value(1).toString();
    if (value.isNull()) {
        QCOMPARE(type, QString("null"));
    } else if (value.userType() == QMetaType::QByteArray) {
        QCOMPARE(type, QString("blob"));
        QCOMPARE(back.toByteArray(), value.toByteArray());
    } else if (value.userType() == QMetaType::Double) {
        // Numbers go in quoted, as the script has always written them; the column's type turns them back.
        QCOMPARE(back.toString().toDouble(), value.toDouble());
    } else {
        QCOMPARE(back.toString(), value.toString());
    }
}

void tst_ConfigExportImport::roundTrip()
{
    populate();
    Database::closeThisThread();
    const QByteArray before = StoreFixture::dump(m_config->dbPath, exportedTables());
    QVERIFY(before.contains("O''Brien"));

    const QByteArray script = m_config->exportConfig();
    QVERIFY(!script.contains('\r'));
    QVERIFY(script.contains("'line1'||char(10)||'line2'||char(13)||char(10)||'line3'||char(13)||'end'||char(10)"));

    QCOMPARE(m_config->clearDatabase(), kSuccess);
    QCOMPARE(StoreFixture::rows("SELECT count(*) FROM Alarms"), QStringList{"0"});
    QCOMPARE(importScript(script), kSuccess);
    Database::closeThisThread();
    QCOMPARE(StoreFixture::dump(m_config->dbPath, exportedTables()), before);
    // The script carries no MQTT connections, archive or log.
    QCOMPARE(StoreFixture::rows("SELECT (SELECT count(*) FROM MQTTConnections), (SELECT count(*) FROM ArchiveData),"
                                " (SELECT count(*) FROM Logs)"),
             QStringList{"0|0|0"});
    // A second export of the imported database is the same script but for its time.
    QCOMPARE(m_config->exportConfig().mid(script.indexOf('\n')), script.mid(script.indexOf('\n')));
}

void tst_ConfigExportImport::scriptAccepted_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QStringList>("alarms");
    const QByteArray settings = settingsLine().toUtf8();
    const QByteArray alarm = "INSERT INTO Alarms (idAlarms,name,exp_on) VALUES('1','a','1');";
    QTest::newRow("crlf line ends") << QByteArray(settings + "\r\n" + alarm + "\r\n") << QStringList{"a|1"};
    QTest::newRow("blank and white lines")
        << QByteArray("\n" + settings + "\n\n   \n\t\r\n" + alarm + "\n\n") << QStringList{"a|1"};
    QTest::newRow("comment lines")
        << QByteArray("-- a comment\n" + settings + "\n  /* indented */\n" + alarm + "\n/* last */")
        << QStringList{"a|1"};
    QTest::newRow("last line without line end") << QByteArray(settings + "\n" + alarm) << QStringList{"a|1"};
    QTest::newRow("lower case") << QByteArray(settings + "\ninsert into alarms (name,exp_on) values('b','2');\n")
                                << QStringList{"b|2"};
    QTest::newRow("quoted table name")
        << QByteArray(settings + "\nINSERT INTO \"Alarms\" (name,exp_on) VALUES('c','3');\n") << QStringList{"c|3"};
    QTest::newRow("statements inside a text")
        << QByteArray(settings + "\nINSERT INTO Alarms (name,exp_on) VALUES('x''; ATTACH ''y'' AS z; --','1');\n")
        << QStringList{"x'; ATTACH 'y' AS z; --|1"};
    QTest::newRow("comment marks inside a text")
        << QByteArray(settings + "\nINSERT INTO Alarms (name,exp_on) VALUES('/* c */','-- d');\n")
        << QStringList{"/* c */|-- d"};
    QTest::newRow("older script with NULL for empty texts")
        << QByteArray(settings + "\nINSERT INTO Alarms (idAlarms,name,desc,exp_on) VALUES('1',NULL,NULL,'1');\n")
        << QStringList{"<null>|1"};
    QTest::newRow("no semicolon") << QByteArray(settings + "\nINSERT INTO Alarms (name,exp_on) VALUES('d','4')\n")
                                  << QStringList{"d|4"};
}

void tst_ConfigExportImport::scriptAccepted()
{
    QFETCH(QByteArray, body);
    QFETCH(QStringList, alarms);
    QCOMPARE(importScript(kHeader.toUtf8() + "\n" + body), kSuccess);
    QCOMPARE(StoreFixture::rows("SELECT name, exp_on FROM Alarms ORDER BY idAlarms"), alarms);
    QCOMPARE(StoreFixture::rows("SELECT archiveVersion FROM Settings"), QStringList{"0.1.2"});
}

void tst_ConfigExportImport::scriptRefused_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("details");   // a part of the details
    QTest::addColumn<QString>("sideFile");  // a file the script must not have made
    const QByteArray settings = settingsLine().toUtf8() + "\n";
    const QByteArray alarm = "INSERT INTO Alarms (name,exp_on) VALUES('x','1');";
    const QString invalid = QStringLiteral("Imported file is invalid");
    const QString notInsert = QStringLiteral("only INSERT INTO");
    const QString notTable = QStringLiteral("does not hold");
    const QString twoStatements = QStringLiteral("more than one statement");

    QTest::newRow("attach") << QByteArray(settings + "ATTACH DATABASE '%DIR%/evil.sqlite' AS evil;\n" + alarm)
                            << invalid << notInsert << "evil.sqlite";
    QTest::newRow("vacuum into") << QByteArray(settings + "VACUUM INTO '%DIR%/copy.sqlite';\n")
                                 << invalid << notInsert << "copy.sqlite";
    QTest::newRow("pragma") << QByteArray(settings + "PRAGMA foreign_keys = OFF;\n") << invalid << notInsert << "";
    QTest::newRow("commit") << QByteArray(settings + "COMMIT;\n" + alarm) << invalid << notInsert << "";
    QTest::newRow("insert then commit") << QByteArray(settings + alarm + "COMMIT;\n") << invalid << twoStatements << "";
    QTest::newRow("insert then attach")
        << QByteArray(settings + alarm + " ATTACH '%DIR%/evil2.sqlite' AS e;\n") << invalid << twoStatements
        << "evil2.sqlite";
    QTest::newRow("second statement behind a comment")
        << QByteArray(settings + "INSERT INTO Alarms (name) VALUES('x') /* ; */; VACUUM INTO '%DIR%/c2.sqlite'\n")
        << invalid << twoStatements << "c2.sqlite";
    QTest::newRow("delete") << QByteArray(settings + "DELETE FROM Users;\n") << invalid << notInsert << "";
    QTest::newRow("replace") << QByteArray(settings + "REPLACE INTO Alarms (name) VALUES('x');\n") << invalid
                             << notInsert << "";
    QTest::newRow("insert or replace") << QByteArray(settings + "INSERT OR REPLACE INTO Alarms (name) VALUES('x');\n")
                                       << invalid << notInsert << "";
    QTest::newRow("with clause")
        << QByteArray(settings + "WITH x AS (SELECT 1) INSERT INTO Alarms (name) SELECT * FROM x;\n") << invalid
        << notInsert << "";
    QTest::newRow("create trigger")
        << QByteArray(settings + "CREATE TRIGGER t AFTER INSERT ON Alarms BEGIN DELETE FROM Users; END;\n")
        << invalid << notInsert << "";
    QTest::newRow("mqtt connections")
        << QByteArray(settings + "INSERT INTO MQTTConnections (idMQTTConnections,name) VALUES('1','b');\n")
        << invalid << notTable << "";
    QTest::newRow("archive") << QByteArray(settings + "INSERT INTO ArchiveData (idParameter,value) VALUES('1','2');\n")
                             << invalid << notTable << "";
    QTest::newRow("log") << QByteArray(settings + "INSERT INTO Logs (type,message) VALUES('info','x');\n") << invalid
                         << notTable << "";
    QTest::newRow("schema name") << QByteArray(settings + "INSERT INTO main.Alarms (name) VALUES('x');\n")
                                 << invalid << notTable << "";
    QTest::newRow("temp schema") << QByteArray(settings + "INSERT INTO temp.Alarms (name) VALUES('x');\n")
                                 << invalid << notTable << "";
    QTest::newRow("sqlite_master") << QByteArray(settings + "INSERT INTO sqlite_master VALUES('table','x','x',0,'');\n")
                                   << invalid << notTable << "";
    QTest::newRow("unterminated quote") << QByteArray(settings + "INSERT INTO Alarms (name) VALUES('x);\n")
                                        << invalid << "unterminated" << "";
    QTest::newRow("not sql") << QByteArray(settings + "hello world\n") << invalid << notInsert << "";
    QTest::newRow("unknown column") << QByteArray(settings + "INSERT INTO Alarms (nosuch) VALUES('1');\n") << invalid
                                    << "has no column named nosuch" << "";
    QTest::newRow("statement split by a raw line feed")
        << QByteArray(settings + "INSERT INTO Alarms (idAlarms,name,exp_on) VALUES('1','a\nb','1');\n") << invalid
        << "unterminated quote" << "";
    QTest::newRow("not null") << QByteArray(settings + "INSERT INTO Views (idViews,name,widgetsCfg) VALUES('1',NULL,'w');\n")
                              << invalid << "NOT NULL constraint failed: Views.name" << "";
    QTest::newRow("foreign key")
        << QByteArray(settings + "INSERT INTO ReadIterations (regAddr,valuesCnt,regType,regSize,valSize,idDevice) "
                                 "VALUES('1','1','3','16','16','99');\n")
        << invalid << "FOREIGN KEY constraint failed" << "";
    QTest::newRow("failure after good rows") << QByteArray(settings + alarm + "\n" + alarm + "\nINSERT INTO Alarms (\n")
                                             << invalid << "" << "";
    QTest::newRow("newer version")
        << QByteArray("INSERT INTO Settings (idSettings,archiveVersion) VALUES('1','0.2.0');\n" + alarm + "\n")
        << "Invalid archive version. (0.2.0)" << "" << "";
    QTest::newRow("only comment lines") << QByteArray("/* a */\n/* b */\n") << "Invalid archive version. ()" << ""
                                        << "";
    QTest::newRow("empty") << QByteArray() << "Invalid archive version. ()" << "" << "";
    QTest::newRow("no settings row") << QByteArray(alarm + "\n") << "Invalid archive version. ()" << "" << "";
    QTest::newRow("endless insert")
        << QByteArray(settings + "INSERT INTO Alarms (name) WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 "
                                 "FROM r) SELECT x FROM r WHERE x < 0;\n")
        << invalid << "interrupted" << "";
}

void tst_ConfigExportImport::scriptRefused()
{
    QFETCH(QByteArray, body);
    QFETCH(QString, message);
    QFETCH(QString, details);
    QFETCH(QString, sideFile);
    QVERIFY(StoreFixture::exec({"INSERT INTO Alarms (name, exp_on) VALUES ('kept', '1')"}));
    body.replace("%DIR%", m_dir->path().toUtf8());
    Database::closeThisThread();
    const QByteArray digest = StoreFixture::fileDigest(m_config->dbPath);

    const QByteArray reply = importScript(kHeader.toUtf8() + "\n" + body);
    const QJsonObject object = QJsonDocument::fromJson(reply).object();
    QVERIFY2(object.value("error").toBool(), reply.constData());
    QCOMPARE(object.value("message").toString(), message);
    QVERIFY2(object.value("details").toString().contains(details), reply.constData());
    if (details.isEmpty() && message != QLatin1String("Imported file is invalid"))
        QVERIFY(!object.contains("details"));

    QCOMPARE(StoreFixture::fileDigest(m_config->dbPath), digest);
    if (!sideFile.isEmpty())
        QVERIFY(!QFile::exists(m_dir->filePath(sideFile)));
    QCOMPARE(StoreFixture::rows("SELECT name FROM Alarms"), QStringList{"kept"});
}

// A script that, once read to its end, has another connection start reading the scratch file and
// keep its lock, so that the import's commit cannot get the file.
class ScratchLockingScript : public QBuffer
{
public:
    explicit ScratchLockingScript(const QString &scratchPath) : m_path(scratchPath) {}
    ~ScratchLockingScript() override
    {
        if (m_query) {
            delete m_query;
            QSqlDatabase::database(QStringLiteral("locker"), false).close();
            QSqlDatabase::removeDatabase(QStringLiteral("locker"));
        }
    }
    bool locked() const { return m_query && m_query->isActive(); }

protected:
    qint64 readLineData(char *data, qint64 maxSize) override
    {
        const qint64 n = QBuffer::readLineData(data, maxSize);
        if (n <= 0 && !m_query) {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("locker"));
            db.setDatabaseName(m_path);
            db.open();
            m_query = new QSqlQuery(db);
            m_query->exec(QStringLiteral("BEGIN"));
            m_query->exec(QStringLiteral("SELECT count(*) FROM Settings"));
            m_query->next();
        }
        return n;
    }

private:
    QString m_path;
    QSqlQuery *m_query = nullptr;
};

void tst_ConfigExportImport::failedCommitKeepsLiveFile()
{
    Database::closeThisThread();
    const QByteArray digest = StoreFixture::fileDigest(m_config->dbPath);
    ScratchLockingScript script(m_config->tempDbPath);
    script.setData(kHeader.toUtf8() + "\n" + settingsLine().toUtf8() +
                   "\nINSERT INTO Users (idUsers,username,password,permissions) VALUES('7','new','x','1');\n");
    script.open(QIODevice::ReadOnly);
    const QByteArray reply = m_config->importSqlScript(&script);
    QVERIFY(script.locked());
    QCOMPARE(reply, buildErrorJson("Database error", "database is locked"));
    QCOMPARE(StoreFixture::fileDigest(m_config->dbPath), digest);
    QCOMPARE(StoreFixture::rows("SELECT username FROM Users"), QStringList{"Admin"});
}

void tst_ConfigExportImport::snapshotRoundTrip()
{
    populate();
    Database::closeThisThread();
    const QByteArray before = StoreFixture::sqliteCli(m_config->dbPath, ".dump\n");
    const QString backup = m_dir->filePath("backup.sqlite");
    QString error;
    QVERIFY2(ConfigManager::backupSnapshot(backup, &error), qPrintable(error));
    QCOMPARE(m_config->clearDatabase(), kSuccess);

    QFile file(backup);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(m_config->importDatabaseFile(&file), kSuccess);
    Database::closeThisThread();
    // Archive and log come along with the whole file.
    QCOMPARE(StoreFixture::sqliteCli(m_config->dbPath, ".dump\n"), before);
}

void tst_ConfigExportImport::snapshotIsConsistent()
{
    // Another thread commits ten rows per transaction while the backup is taken; the backup
    // holds whole transactions only, and rows still in the write-ahead log.
    std::atomic<bool> stop{false};
    std::atomic<int> committed{0};
    QThread *writer = QThread::create([&] {
        Database scope;
        QSqlQuery query(scope.handle());
        while (!stop) {
            scope.handle().transaction();
            for (int i = 0; i < 10; ++i)
                query.exec(QStringLiteral("INSERT INTO Logs (type, message) VALUES ('info', 'row')"));
            if (scope.handle().commit())
                ++committed;
        }
        query.clear();
    });
    writer->start();
    QTRY_VERIFY_WITH_TIMEOUT(committed >= 20, 20000);
    const QString backup = m_dir->filePath("backup.sqlite");
    const int floor = committed;
    QString error;
    QVERIFY2(ConfigManager::backupSnapshot(backup, &error), qPrintable(error));
    stop = true;
    writer->wait();
    delete writer;

    const QByteArray check = StoreFixture::sqliteCli(backup, "PRAGMA integrity_check;\nSELECT count(*) FROM Logs;\n");
    const QList<QByteArray> lines = check.trimmed().split('\n');
    QCOMPARE(lines.value(0), QByteArray("ok"));
    const int rows = lines.value(1).toInt();
    QVERIFY2(rows >= floor * 10 && rows % 10 == 0, check.constData());
}

void tst_ConfigExportImport::fileRefused_data()
{
    QTest::addColumn<bool>("fresh");         // the script runs on a copy of a first-start database
    QTest::addColumn<QByteArray>("script");  // sqlite3 script that builds the upload; empty: raw bytes below
    QTest::addColumn<QByteArray>("raw");
    QTest::addColumn<bool>("damaged");       // the upload's last page overwritten after it was written
    QTest::addColumn<QByteArray>("reply");
    const QByteArray unreadable = buildErrorJson("Database error", "Unable to read file version.");
    const QByteArray damaged = buildErrorJson("Database error", "The file is damaged.");
    QTest::newRow("not a database") << false << QByteArray() << QByteArray("hello, this is no database file\n")
                                    << false << unreadable;
    QTest::newRow("empty file") << false << QByteArray() << QByteArray("") << false << unreadable;
    QTest::newRow("no Settings table") << false << QByteArray("CREATE TABLE Devices (idDevices integer);")
                                       << QByteArray() << false << unreadable;
    QTest::newRow("newer version")
        << false << QByteArray("CREATE TABLE Settings (idSettings INTEGER, archiveVersion VARCHAR(10));"
                      "INSERT INTO Settings VALUES (1, '0.2.0');")
        << QByteArray() << false << buildErrorJson("Invalid archive version. (0.2.0)");
    QTest::newRow("no Settings row")
        << false << QByteArray("CREATE TABLE Settings (idSettings INTEGER, archiveVersion VARCHAR(10));")
        << QByteArray() << false << buildErrorJson("Invalid archive version. ()");
    // The version reads well from its early page; the damage lies in the log's pages behind it.
    QTest::newRow("damaged last page")
        << false << QByteArray("CREATE TABLE Settings (idSettings INTEGER, archiveVersion VARCHAR(10));"
                      "INSERT INTO Settings VALUES (1, '0.1.2');"
                      "CREATE TABLE Logs (idLogs INTEGER PRIMARY KEY, type VARCHAR(20), message TEXT);"
                      "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000) "
                      "INSERT INTO Logs (type, message) SELECT 'info', printf('%0100d', i) FROM n;")
        << QByteArray() << true << damaged;
    // Reading the version would never end.
    QTest::newRow("endless view as Settings")
        << false
        << QByteArray("CREATE VIEW Settings AS WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r) "
                      "SELECT '0.1.2' AS archiveVersion FROM r WHERE x < 0;")
        << QByteArray() << false << damaged;
    // Each passes the version and the engine's own check; in place, calls would fail on it, or the
    // file's own trigger would run inside the program's statements.
    QTest::newRow("only a Settings table")
        << false
        << QByteArray("CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY NOT NULL, archiveVersion VARCHAR(10), "
                      "modbusPollInterval INTEGER, modbusIterDelay INTEGER, sessionEnabled BOOL, "
                      "defaultAppState SMALLINT); INSERT INTO Settings VALUES (1, '0.1.2', 5000, 10, 0, 0);")
        << QByteArray() << false << damaged;
    QTest::newRow("a view in place of a table")
        << true
        << QByteArray("DROP TABLE Logs; CREATE VIEW Logs AS SELECT 1 AS idLogs, 'info' AS type, 'm' AS message, "
                      "'2026-01-01 00:00:00' AS dateTime;")
        << QByteArray() << false << damaged;
    QTest::newRow("a table short of a column")
        << true << QByteArray("ALTER TABLE Views DROP COLUMN showTime;") << QByteArray() << false << damaged;
    QTest::newRow("a trigger")
        << true << QByteArray("CREATE TRIGGER t AFTER INSERT ON Logs BEGIN DELETE FROM Users; END;") << QByteArray()
        << false << damaged;
}

void tst_ConfigExportImport::fileRefused()
{
    QFETCH(bool, fresh);
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, raw);
    QFETCH(bool, damaged);
    QFETCH(QByteArray, reply);
    const QString upload = m_dir->filePath("upload.sqlite");
    if (fresh)
        QVERIFY(ConfigManager::backupSnapshot(upload));
    if (!script.isEmpty()) {
        StoreFixture::sqliteCli(upload, script);
    } else {
        QFile file(upload);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(raw);
    }
    if (damaged) {
        QFile file(upload);
        QVERIFY(file.open(QIODevice::ReadWrite));
        const qint64 page = 4096;
        QVERIFY(file.size() > 4 * page);
        QVERIFY(file.seek(file.size() - page));
        QCOMPARE(file.write(QByteArray(int(page), '\x5a')), page);
    }
    Database::closeThisThread();
    const QByteArray digest = StoreFixture::fileDigest(m_config->dbPath);
    QFile file(upload);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(m_config->importDatabaseFile(&file), reply);
    QCOMPARE(StoreFixture::fileDigest(m_config->dbPath), digest);
    QCOMPARE(StoreFixture::rows("SELECT username FROM Users"), QStringList{"Admin"});
}

void tst_ConfigExportImport::fileAccepted_data()
{
    QTest::addColumn<QString>("fixture");   // sqlite3 script below tests/; empty: a first-start database
    QTest::addColumn<QByteArray>("script"); // run on the upload after the fixture
    // Afterwards: devices (id, name, read function), users (name, permissions), mail port and security.
    QTest::addColumn<QString>("devices");
    QTest::addColumn<QString>("users");
    QTest::addColumn<QString>("smtp");
    // The first 0.1 releases had no Users, SMTP or MQTT connection tables and fewer columns.
    QTest::newRow("first 0.1 release") << "store/fixtures/db_0_1_0.sql" << QByteArray() << "1|meter|3,2|pump|3"
                                       << "Admin|255" << "587|1";
    QTest::newRow("0.1.1") << "store/fixtures/db_0_1_1.sql" << QByteArray() << "1|meter|4" << "Admin|255,viewer|1"
                           << "465|1";
    QTest::newRow("tables and columns of its own")
        << "" << QByteArray("CREATE TABLE Notes (x); ALTER TABLE Alarms ADD COLUMN note TEXT;") << ""
        << "Admin|255" << "587|1";
}

// An older upload is brought up to the current schema on its way in, so every call works at once.
void tst_ConfigExportImport::fileAccepted()
{
    QFETCH(QString, fixture);
    QFETCH(QByteArray, script);
    QFETCH(QString, devices);
    QFETCH(QString, users);
    QFETCH(QString, smtp);
    const QString upload = m_dir->filePath("upload.sqlite");
    if (fixture.isEmpty()) {
        QVERIFY(ConfigManager::backupSnapshot(upload));
    } else {
        QFile file(TestEnv::testFile(fixture));
        QVERIFY(file.open(QIODevice::ReadOnly));
        StoreFixture::sqliteCli(upload, file.readAll());
    }
    if (!script.isEmpty())
        StoreFixture::sqliteCli(upload, script);
    QFile file(upload);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(m_config->importDatabaseFile(&file), kSuccess);

    QCOMPARE(StoreFixture::rows("SELECT archiveVersion FROM Settings"), QStringList{"0.1.2"});
    QCOMPARE(StoreFixture::rows("SELECT username, permissions FROM Users ORDER BY idUsers").join(','), users);
    QCOMPARE(StoreFixture::rows("SELECT port, security FROM SMTP").join(','), smtp);
    QCOMPARE(StoreFixture::rows("SELECT idDevices, name, ModbusReadFunction FROM Devices").join(','), devices);
    QCOMPARE(StoreFixture::rows("SELECT count(MqttTopic) + count(MqttFormat) + count(MqttMapping) FROM Devices"),
             QStringList{"0"});
    QCOMPARE(StoreFixture::rows("SELECT count(*) FROM MQTTConnections"), QStringList{"0"});
}

void tst_ConfigExportImport::uploadRouting_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("withFile");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray invalidFile = buildErrorJson("Invalid file");
    QTest::newRow("script") << "Dalvoren_cfg.sql" << true << kSuccess;
    QTest::newRow("upper case suffix") << "config.SQL" << true << invalidFile;
    QTest::newRow("other suffix") << "config.sql.txt" << true << invalidFile;
    QTest::newRow("no suffix") << "config" << true << invalidFile;
    QTest::newRow("no name") << "" << true << invalidFile;
    QTest::newRow("no file") << "config.sql" << false << invalidFile;
}

void tst_ConfigExportImport::uploadRouting()
{
    QFETCH(QString, name);
    QFETCH(bool, withFile);
    QFETCH(QByteArray, reply);
    QBuffer buffer;
    buffer.setData(kHeader.toUtf8() + "\n" + settingsLine().toUtf8() + "\n");
    buffer.open(QIODevice::ReadOnly);
    QCOMPARE(m_config->importUploadedFile(name, withFile ? &buffer : nullptr), reply);
}

void tst_ConfigExportImport::otherThreadsSeeImportedFile()
{
    // A thread whose connection was open before the import must write into the new file, not
    // into the one that was renamed away.
    QThread thread;
    QObject worker;
    worker.moveToThread(&thread);
    thread.start();
    auto inThread = [&](const QString &sql) {
        QStringList result;
        QMetaObject::invokeMethod(
            &worker, [&] { result = sql.startsWith("SELECT") ? StoreFixture::rows(sql) : QStringList{StoreFixture::exec({sql}) ? "ok" : "failed"}; },
            Qt::BlockingQueuedConnection);
        return result;
    };
    QCOMPARE(inThread("SELECT username FROM Users"), QStringList{"Admin"});

    const QByteArray script = kHeader.toUtf8() + "\n" + settingsLine().toUtf8() +
                              "\nINSERT INTO Users (idUsers,username,password,permissions) VALUES('5','imported','x','1');\n";
    QCOMPARE(importScript(script), kSuccess);
    QCOMPARE(inThread("SELECT username FROM Users"), QStringList{"imported"});
    QCOMPARE(inThread("INSERT INTO Alarms (name, exp_on) VALUES ('from thread', '1')"), QStringList{"ok"});
    QMetaObject::invokeMethod(&worker, [] { Database::closeThisThread(); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    Database::closeThisThread();
    QCOMPARE(StoreFixture::sqliteCli(m_config->dbPath, "SELECT name FROM Alarms;\n"), QByteArray("from thread\n"));
}

QTEST_GUILESS_MAIN(tst_ConfigExportImport)
#include "tst_ConfigExportImport.moc"
