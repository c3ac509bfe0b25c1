#include "ConfigManager.h"
#include "JsonReply.h"
#include "StoreFixture.h"
#include "UsersManager.h"

#include <QRegularExpression>
#include <QtTest>

class tst_ConfigConversion : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void versionRule_data();
    void versionRule();
    void currentDatabaseOnlyStamped();
    void firstReleaseDatabase();
    void databaseBeforeMqttColumns();
    void failures_data();
    void failures();
    void alarmColumnsHalfPresentResumes();
    void settingsWithoutRow();
    void databaseWithoutArchive_data();
    void databaseWithoutArchive();

private:
    // Builds the live file from a fixture text with the sqlite3 tool.
    bool liveFromFixture(const QString &name);
    bool liveFromScript(const QByteArray &script);
    QStringList columns(const QString &table) const;

    QTemporaryDir *m_dir = nullptr;
    ConfigManager *m_config = nullptr;
};

static const QByteArray kSuccess("{\"success\":true}");

void tst_ConfigConversion::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_config = new ConfigManager;
    StoreFixture::placeIn(*m_config, *m_dir);
}

void tst_ConfigConversion::cleanup()
{
    delete m_config;
    Database::closeThisThread();
    delete m_dir;
}

bool tst_ConfigConversion::liveFromScript(const QByteArray &script)
{
    Database::closeThisThread();
    int code = -1;
    StoreFixture::sqliteCli(m_config->dbPath, script, &code);
    return code == 0 && QFile::exists(m_config->dbPath);
}

bool tst_ConfigConversion::liveFromFixture(const QString &name)
{
    QFile file(TestEnv::testFile(QStringLiteral("store/fixtures/") + name));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    return liveFromScript(file.readAll());
}

QStringList tst_ConfigConversion::columns(const QString &table) const
{
    QStringList names;
    for (const QString &row : StoreFixture::rows(QStringLiteral("PRAGMA table_info(%1)").arg(table)))
        names << row.section(QLatin1Char('|'), 1, 1);
    return names;
}

void tst_ConfigConversion::versionRule_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<bool>("supported");
    QTest::newRow("0.1.0") << "0.1.0" << true;
    QTest::newRow("0.1.2") << "0.1.2" << true;
    QTest::newRow("0.1.15") << "0.1.15" << true;
    QTest::newRow("0.1.x") << "0.1.x" << true;
    QTest::newRow("0.1. blank third part") << "0.1. " << true;
    QTest::newRow("0.2.0") << "0.2.0" << false;
    QTest::newRow("1.1.2") << "1.1.2" << false;
    QTest::newRow("00.1.2") << "00.1.2" << false;
    QTest::newRow("0.01.2") << "0.01.2" << false;
    QTest::newRow("0.1") << "0.1" << false;
    QTest::newRow("0.1. too short") << "0.1." << false;
    QTest::newRow("0.1.2.3") << "0.1.2.3" << false;
    QTest::newRow("0.1.. four parts") << "0.1.." << false;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("blank parts") << " 0.1.2" << false;
}

void tst_ConfigConversion::versionRule()
{
    QFETCH(QString, version);
    QFETCH(bool, supported);
    QCOMPARE(ConfigManager::isArchiveVersionSupported(version), supported);
}

void tst_ConfigConversion::currentDatabaseOnlyStamped()
{
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
    QVERIFY(StoreFixture::exec({"UPDATE Settings SET archiveVersion = '0.1.0'",
                                "INSERT INTO Users VALUES (2, 'viewer', 'abc', 1)"}));
    Database::closeThisThread();
    const QByteArray before = StoreFixture::sqliteCli(m_config->dbPath, ".dump\n");
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    Database::closeThisThread();
    QByteArray after = StoreFixture::sqliteCli(m_config->dbPath, ".dump\n");
    QVERIFY(after.contains("INSERT INTO Settings VALUES(1,'0.1.2',"));
    after.replace("INSERT INTO Settings VALUES(1,'0.1.2',", "INSERT INTO Settings VALUES(1,'0.1.0',");
    QCOMPARE(after, before);
}

void tst_ConfigConversion::firstReleaseDatabase()
{
    QVERIFY(liveFromFixture(QStringLiteral("db_0_1_0.sql")));
    QCOMPARE(m_config->convertDatabase(), kSuccess);

    QVERIFY(columns("Devices").contains("ModbusReadFunction"));
    QCOMPARE(StoreFixture::rows("SELECT idDevices, ModbusReadFunction FROM Devices ORDER BY 1"),
             QStringList({"1|3", "2|3"}));
    QCOMPARE(StoreFixture::rows("SELECT idReadIterations, ModbusReadFunction FROM ReadIterations ORDER BY 1"),
             QStringList({"1|3", "2|3"}));
    QCOMPARE(StoreFixture::rows("SELECT * FROM Users"),
             QStringList{"1|Admin|" + defaultAdminPasswordHash() + "|255"});
    QCOMPARE(StoreFixture::rows("SELECT * FROM SMTP"), QStringList{"1||587|1|||"});
    QCOMPARE(StoreFixture::rows("SELECT * FROM Alarms"),
             QStringList{"1|high|too high|2|U1 > 250|U1 < 240|0|<null>|<null>"});
    QCOMPARE(StoreFixture::rows("SELECT * FROM Settings"), QStringList{"1|0.1.2|2000|15|0|<null>"});
    // Rows of the old database are kept.
    QCOMPARE(StoreFixture::rows("SELECT value FROM ArchiveData"), QStringList{"230.5"});

    // The indexes of a new database exist in a converted one too.
    const QRegularExpression indexName(QStringLiteral("INDEX\\s+IF\\s+NOT\\s+EXISTS\\s+(\\w+)"));
    for (const QString &statement : ConfigManager::indexStatements()) {
        const QString name = indexName.match(statement).captured(1);
        QVERIFY2(!name.isEmpty(), qPrintable(statement));
        QCOMPARE(StoreFixture::rows("SELECT count(*) FROM sqlite_master WHERE type='index' AND name='" + name + "'"),
                 QStringList{"1"});
    }

    // Repeating the conversion changes nothing.
    Database::closeThisThread();
    const QByteArray once = StoreFixture::sqliteCli(m_config->dbPath, ".dump\n");
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    Database::closeThisThread();
    QCOMPARE(StoreFixture::sqliteCli(m_config->dbPath, ".dump\n"), once);
}

void tst_ConfigConversion::databaseBeforeMqttColumns()
{
    QVERIFY(liveFromFixture(QStringLiteral("db_0_1_1.sql")));
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    const QStringList deviceColumns = columns("Devices");
    for (const char *column : {"MqttTopic", "MqttFormat", "MqttMapping"})
        QVERIFY2(deviceColumns.contains(column), column);
    // Adding a device as the device configuration does must not fail with "no such column".
    QVERIFY(StoreFixture::exec({"INSERT INTO Devices (name, type, ModbusId, ModbusReadFunction, MqttTopic, MqttFormat, "
                                "MqttMapping, connectionType, idOfConnection, paramModTimestamp, isActive) VALUES "
                                "('sensor', 'S', 0, 3, 'plant/s1', 'JSON', '{\"t\":100}', 'mqtt', 1, 1700000000000, 1)"}));
    QCOMPARE(StoreFixture::rows("SELECT name, MqttTopic, MqttFormat, MqttMapping FROM Devices ORDER BY idDevices"),
             QStringList({"meter|<null>|<null>|<null>", "sensor|plant/s1|JSON|{\"t\":100}"}));
    // What the database had stays as it was.
    QCOMPARE(StoreFixture::rows("SELECT * FROM Users ORDER BY idUsers"),
             QStringList({"1|Admin|aaaa|255", "2|viewer|bbbb|1"}));
    QCOMPARE(StoreFixture::rows("SELECT * FROM SMTP"),
             QStringList{"1|mail.example.org|465|1|plant|secret|plant@example.org"});
    QCOMPARE(StoreFixture::rows("SELECT * FROM Settings"), QStringList{"1|0.1.2|3000|20|1|1"});
    QCOMPARE(StoreFixture::rows("SELECT ModbusReadFunction FROM Devices WHERE idDevices = 1"), QStringList{"4"});
}

void tst_ConfigConversion::failures_data()
{
    QTest::addColumn<QByteArray>("script");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("no Devices table")
        << QByteArray("CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY, archiveVersion VARCHAR(10));")
        << buildErrorJson("ALTER Devices error", "no such table: Devices");
    QTest::newRow("no ReadIterations table")
        << QByteArray("CREATE TABLE Devices (idDevices integer PRIMARY KEY, ModbusReadFunction SMALLINT DEFAULT 3,"
                      " MqttTopic VARCHAR(500), MqttFormat VARCHAR(20), MqttMapping VARCHAR(50000));")
        << buildErrorJson("ALTER ReadIterations error", "no such table: ReadIterations");
    QTest::newRow("no Settings table")
        << QByteArray("CREATE TABLE Devices (idDevices integer PRIMARY KEY);"
                      "CREATE TABLE ReadIterations (idReadIterations INTEGER PRIMARY KEY);"
                      "CREATE TABLE Alarms (idAlarms INTEGER PRIMARY KEY);")
        << buildErrorJson("ALTER Settings error", "no such table: Settings");
}

void tst_ConfigConversion::failures()
{
    QFETCH(QByteArray, script);
    QFETCH(QByteArray, reply);
    QVERIFY(liveFromScript(script));
    QCOMPARE(m_config->convertDatabase(), reply);
}

void tst_ConfigConversion::alarmColumnsHalfPresentResumes()
{
    QFile file(TestEnv::testFile(QStringLiteral("store/fixtures/db_0_1_0.sql")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(liveFromScript(file.readAll() + "ALTER TABLE Alarms ADD COLUMN mailSubject VARCHAR(500) NULL;\n"));
    QCOMPARE(m_config->convertDatabase(), buildErrorJson("ALTER Alarms error", "duplicate column name: mailSubject"));
    // The steps before stay done; the next call finds sedMailCond and passes.
    QVERIFY(columns("Alarms").contains("sedMailCond"));
    QCOMPARE(StoreFixture::rows("SELECT archiveVersion FROM Settings"), QStringList{"0.1.0"});
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    QCOMPARE(StoreFixture::rows("SELECT archiveVersion FROM Settings"), QStringList{"0.1.2"});
}

void tst_ConfigConversion::settingsWithoutRow()
{
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
    QVERIFY(StoreFixture::exec({"DELETE FROM Settings"}));
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    QCOMPARE(StoreFixture::rows("SELECT * FROM Settings"), QStringList());
}

void tst_ConfigConversion::databaseWithoutArchive_data()
{
    QTest::addColumn<QByteArray>("archive");
    QTest::newRow("no archive table") << QByteArray();
    QTest::newRow("archive table without a time column")
        << QByteArray("CREATE TABLE ArchiveData (idArchiveData INTEGER PRIMARY KEY, value DOUBLE);\n");
}

// The archive index speeds up reads only: a database that lacks what it indexes converts, and
// gets its version stamp, as a conversion without the index would.
void tst_ConfigConversion::databaseWithoutArchive()
{
    QFETCH(QByteArray, archive);
    QFile file(TestEnv::testFile(QStringLiteral("store/fixtures/db_0_1_0.sql")));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(liveFromScript(file.readAll() + "DROP TABLE ArchiveData;\n" + archive));
    QCOMPARE(m_config->convertDatabase(), kSuccess);
    QCOMPARE(StoreFixture::rows("SELECT archiveVersion FROM Settings"), QStringList{"0.1.2"});
    QCOMPARE(StoreFixture::rows("SELECT count(*) FROM sqlite_master WHERE type='index' AND tbl_name='ArchiveData'"),
             QStringList{"0"});
}

QTEST_GUILESS_MAIN(tst_ConfigConversion)
#include "tst_ConfigConversion.moc"
