#include "ConfigManager.h"
#include "Database.h"
#include "TempDatabase.h"
#include "UsersManager.h"

#include <QCryptographicHash>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

#include <sys/stat.h>

class tst_ConfigManager : public QObject
{
    Q_OBJECT
private slots:
    void schema_data();
    void schema();
    void tablesInOrder();
    void foreignKeys_data();
    void foreignKeys();
    void defaultRows();
    void connectionHasForeignKeysOn();
    void leftoverScratchFileIsEmptied();
    void clearResetsPopulatedDatabase();
    void cascadeDelete();
    void constraints();
    void failedBuildLeavesLiveFileIntact();
    void failedRenameKeepsLiveFile();
};

// PRAGMA table_info rows as the sqlite3 CLI prints them: cid|name|type|notnull|dflt_value|pk.
// SQLite reports the standard name INTEGER in capitals whatever its spelling; the declared
// spellings themselves are checked in tablesInOrder.
void tst_ConfigManager::schema_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QString>("expected");
    QTest::newRow("Devices") << "Devices"
        << "0|idDevices|INTEGER|0|null|1\n1|name|VARCHAR(50)|0|null|0\n2|type|VARCHAR(20)|0|null|0\n"
           "3|ModbusId|SMALLINT|0|null|0\n4|ModbusReadFunction|SMALLINT|0|3|0\n5|MqttTopic|VARCHAR(500)|0|null|0\n"
           "6|MqttFormat|VARCHAR(20)|0|null|0\n7|MqttMapping|VARCHAR(50000)|0|null|0\n"
           "8|connectionType|VARCHAR(15)|0|null|0\n9|idOfConnection|INT|0|null|0\n"
           "10|paramModTimestamp|timestamp|0|null|0\n11|isActive|BOOL|0|1|0\n";
    QTest::newRow("ReadIterations") << "ReadIterations"
        << "0|idReadIterations|INTEGER|1||1\n1|regAddr|SMALLINT|1||0\n2|valuesCnt|SMALLINT|1||0\n"
           "3|regType|SMALLINT|1||0\n4|regSize|SMALLINT|1||0\n5|valSize|SMALLINT|1||0\n6|idDevice|INTEGER|1||0\n"
           "7|ModbusReadFunction|SMALLINT|0|3|0\n";
    QTest::newRow("ConfiguredParameters") << "ConfiguredParameters"
        << "0|idParameters|INTEGER|1||1\n1|idDevice|INTEGER|1||0\n2|userDescription|VARCHAR(80)|0||0\n"
           "3|nameId|VARCHAR(45)|0|null|0\n4|regAddr|SMALLINT|0||0\n5|unit|VARCHAR(10)|0||0\n"
           "6|archInterval|INTEGER|0|0|0\n7|regType|SMALLINT|0||0\n8|regSize|SMALLINT|0||0\n9|valSize|SMALLINT|0||0\n";
    QTest::newRow("ArchiveData") << "ArchiveData"
        << "0|idArchiveData|INTEGER|0||1\n1|idParameter|INTEGER|0||0\n2|value|DOUBLE|0||0\n3|flag|SMALLINT|0||0\n"
           "4|dateTime|DATETIME|0||0\n";
    QTest::newRow("Views") << "Views"
        << "0|idViews|INTEGER|1||1\n1|name|varchar(80)|1||0\n2|width|INTEGER|0||0\n3|height|INTEGER|0||0\n"
           "4|showTime|INTEGER|0||0\n5|widgetsCfg|TEXT|1||0\n";
    QTest::newRow("TCPConnections") << "TCPConnections"
        << "0|idTCPConnections|INTEGER|0||1\n1|name|VARCHAR(50)|0||0\n2|ip|VARCHAR(25)|0||0\n"
           "3|portTCP|INTEGER|0||0\n4|timeout|INTEGER|0||0\n";
    QTest::newRow("MQTTConnections") << "MQTTConnections"
        << "0|idMQTTConnections|INTEGER|0||1\n1|name|VARCHAR(50)|0||0\n2|ip|VARCHAR(25)|0||0\n"
           "3|port|INTEGER|0||0\n4|clientid|VARCHAR(25)|0||0\n";
    QTest::newRow("SerialConnections") << "SerialConnections"
        << "0|idSerialConnections|INTEGER|0|null|1\n1|name|VARCHAR(50)|0||0\n2|serialPort|CHAR(5)|0||0\n"
           "3|baudRate|INTEGER|0||0\n4|parity|CHAR(1)|0||0\n5|stopBits|INTEGER|0||0\n6|timeout|INTEGER|0||0\n";
    QTest::newRow("Logs") << "Logs"
        << "0|idLogs|INTEGER|0||1\n1|type|VARCHAR(20)|0||0\n2|message|VARCHAR(400)|0||0\n"
           "3|dateTime|DATETIME|0|DATETIME(CURRENT_TIMESTAMP, 'LOCALTIME')|0\n";
    QTest::newRow("Alarms") << "Alarms"
        << "0|idAlarms|INTEGER|1||1\n1|name|VARCHAR(50)|0||0\n2|desc|VARCHAR(200)|0||0\n3|priority|INTEGER|0||0\n"
           "4|exp_on|VARCHAR(500)|0||0\n5|exp_off|VARCHAR(500)|0||0\n6|sedMailCond|INTEGER|0|0|0\n"
           "7|mailRecipients|VARCHAR(500)|0||0\n8|mailSubject|VARCHAR(500)|0||0\n";
    QTest::newRow("Settings") << "Settings"
        << "0|idSettings|INTEGER|1||1\n1|archiveVersion|VARCHAR(10)|0||0\n2|modbusPollInterval|INTEGER|0||0\n"
           "3|modbusIterDelay|INTEGER|0||0\n4|sessionEnabled|BOOL|0||0\n5|defaultAppState|SMALLINT|0||0\n";
    QTest::newRow("Users") << "Users"
        << "0|idUsers|INTEGER|1||1\n1|username|VARCHAR(50)|0||0\n2|password|VARCHAR(50)|0||0\n"
           "3|permissions|INTEGER|0||0\n";
    QTest::newRow("SMTP") << "SMTP"
        << "0|idSMTP|INTEGER|1||1\n1|serverName|VARCHAR(100)|0||0\n2|port|INTEGER|0||0\n3|security|INTEGER|0||0\n"
           "4|username|VARCHAR(100)|0||0\n5|password|VARCHAR(100)|0||0\n6|sourceEmailAddress|VARCHAR(100)|0||0\n";
}

void tst_ConfigManager::schema()
{
    QFETCH(QString, table);
    QFETCH(QString, expected);
    TempDatabase db;
    QVERIFY(db.create());
    QCOMPARE(QString::fromUtf8(db.cli(QStringLiteral("PRAGMA table_info(%1);").arg(table))), expected);
}

void tst_ConfigManager::tablesInOrder()
{
    TempDatabase db;
    QVERIFY(db.create());
    QCOMPARE(db.cli("SELECT name FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%' ORDER BY rowid;"),
             QByteArray("Devices\nReadIterations\nConfiguredParameters\nArchiveData\nViews\nTCPConnections\n"
                        "MQTTConnections\nSerialConnections\nLogs\nAlarms\nSettings\nUsers\nSMTP\n"));
    QVERIFY(db.cli("SELECT sql FROM sqlite_master WHERE name='Views';")
                .contains("check(typeof(\"widgetsCfg\") = 'text')"));
    const QByteArray sql = db.cli("SELECT sql FROM sqlite_master WHERE type='table';");
    for (const char *declared : {"idDevices integer PRIMARY KEY", "archInterval integer DEFAULT 0",
                                 "idArchiveData integer PRIMARY KEY", "idViews integer PRIMARY KEY AUTOINCREMENT",
                                 "width integer", "idTCPConnections integer primary key", "portTCP integer",
                                 "idMQTTConnections integer primary key", "port integer",
                                 "idSerialConnections integer PRIMARY KEY", "baudRate integer", "idOfConnection int DEFAULT"})
        QVERIFY2(sql.contains(declared), declared);
}

// PRAGMA foreign_key_list: id|seq|table|from|to|on_update|on_delete|match.
void tst_ConfigManager::foreignKeys_data()
{
    QTest::addColumn<QString>("table");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("ReadIterations") << "ReadIterations" << QByteArray("0|0|Devices|idDevice|idDevices|CASCADE|CASCADE|NONE\n");
    QTest::newRow("ConfiguredParameters")
        << "ConfiguredParameters" << QByteArray("0|0|Devices|idDevice|idDevices|CASCADE|CASCADE|NONE\n");
    QTest::newRow("ArchiveData")
        << "ArchiveData" << QByteArray("0|0|ConfiguredParameters|idParameter|idParameters|CASCADE|CASCADE|NONE\n");
    QTest::newRow("Devices has none") << "Devices" << QByteArray();
}

void tst_ConfigManager::foreignKeys()
{
    QFETCH(QString, table);
    QFETCH(QByteArray, expected);
    TempDatabase db;
    QVERIFY(db.create());
    QCOMPARE(db.cli(QStringLiteral("PRAGMA foreign_key_list(%1);").arg(table)), expected);
}

void tst_ConfigManager::defaultRows()
{
    TempDatabase db;
    QVERIFY(db.create());
    const QByteArray emptyDigest = QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha256).toHex();
    QCOMPARE(db.cli("SELECT * FROM Settings;"), QByteArray("1|0.1.2|5000|10|0|0\n"));
    QCOMPARE(db.cli("SELECT typeof(archiveVersion) FROM Settings;"), QByteArray("text\n"));
    QCOMPARE(db.cli("SELECT * FROM Users;"), "1|Admin|" + emptyDigest + "|255\n");
    QCOMPARE(db.cli("SELECT * FROM SMTP;"), QByteArray("1||587|1|||\n"));
    QCOMPARE(defaultAdminPasswordHash().toLatin1(), emptyDigest);
    for (const char *table : {"Devices", "ReadIterations", "ConfiguredParameters", "ArchiveData", "Views",
                              "TCPConnections", "MQTTConnections", "SerialConnections", "Logs", "Alarms"})
        QCOMPARE(db.cli(QStringLiteral("SELECT count(*) FROM %1;").arg(table)), QByteArray("0\n"));
    QVERIFY(!QFile::exists(db.config.tempDbPath));
}

void tst_ConfigManager::connectionHasForeignKeysOn()
{
    TempDatabase db;
    QVERIFY(db.create());
    Database scope;
    QSqlQuery query(scope.handle());
    QVERIFY(query.exec("PRAGMA foreign_keys") && query.next());
    QCOMPARE(query.value(0).toInt(), 1);
}

void tst_ConfigManager::leftoverScratchFileIsEmptied()
{
    TempDatabase db;
    QFile leftover(db.config.tempDbPath);
    QVERIFY(leftover.open(QIODevice::WriteOnly));
    leftover.write(QByteArray(100000, 'x'));
    leftover.close();
    QVERIFY(db.create());
    QCOMPARE(db.cli("SELECT count(*) FROM Users;"), QByteArray("1\n"));
}

void tst_ConfigManager::clearResetsPopulatedDatabase()
{
    TempDatabase db;
    QVERIFY(db.create());
    {
        Database scope;
        QSqlQuery q(scope.handle());
        QVERIFY(q.exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'meter')"));
        QVERIFY(q.exec("INSERT INTO ConfiguredParameters (idParameters, idDevice) VALUES (1, 1)"));
        QVERIFY(q.exec("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (1, 2.5, 0, '2026-01-01 00:00:00')"));
        QVERIFY(q.exec("INSERT INTO Logs (type, message) VALUES ('info', 'x')"));
        QVERIFY(q.exec("INSERT INTO Users (username, permissions) VALUES ('op', 1)"));
        QVERIFY(q.exec("INSERT INTO Views (name, widgetsCfg) VALUES ('v', '[]')"));
        QVERIFY(q.exec("UPDATE SMTP SET port=25, security=0"));
    }
    QCOMPARE(db.config.clearDatabase(), QByteArray("{\"success\":true}"));
    QCOMPARE(db.cli("SELECT (SELECT count(*) FROM Devices)+(SELECT count(*) FROM ArchiveData)+"
                    "(SELECT count(*) FROM Logs)+(SELECT count(*) FROM Views)+(SELECT count(*) FROM ConfiguredParameters);"),
             QByteArray("0\n"));
    QCOMPARE(db.cli("SELECT username FROM Users;"), QByteArray("Admin\n"));
    QCOMPARE(db.cli("SELECT port, security FROM SMTP;"), QByteArray("587|1\n"));
    // This thread's connection was reopened on the new file.
    Database scope;
    QSqlQuery q(scope.handle());
    QVERIFY(q.exec("SELECT count(*) FROM Users") && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
}

void tst_ConfigManager::cascadeDelete()
{
    TempDatabase db;
    QVERIFY(db.create());
    Database scope;
    QSqlQuery q(scope.handle());
    QVERIFY(q.exec("INSERT INTO Devices (idDevices, name) VALUES (1, 'a'), (2, 'b')"));
    QVERIFY(q.exec("INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice) "
                   "VALUES (0, 2, 1, 16, 16, 1), (0, 2, 1, 16, 16, 2)"));
    QVERIFY(q.exec("INSERT INTO ConfiguredParameters (idParameters, idDevice) VALUES (10, 1), (20, 2)"));
    QVERIFY(q.exec("INSERT INTO ArchiveData (idParameter, value) VALUES (10, 1), (10, 2), (20, 3)"));
    QVERIFY(q.exec("DELETE FROM Devices WHERE idDevices = 1"));
    QVERIFY(q.exec("SELECT (SELECT count(*) FROM ReadIterations), (SELECT count(*) FROM ConfiguredParameters), "
                   "(SELECT count(*) FROM ArchiveData)") && q.next());
    QCOMPARE(q.value(0).toInt(), 1);
    QCOMPARE(q.value(1).toInt(), 1);
    QCOMPARE(q.value(2).toInt(), 1);
}

void tst_ConfigManager::constraints()
{
    TempDatabase db;
    QVERIFY(db.create());
    Database scope;
    QSqlQuery q(scope.handle());
    QVERIFY(!q.exec("INSERT INTO Views (name, widgetsCfg) VALUES ('v', NULL)"));
    QVERIFY(!q.exec("INSERT INTO Users (username, permissions) VALUES ('Admin', 1)"));
    QVERIFY(q.exec("INSERT INTO Users (username, permissions) VALUES ('admin', 1)"));
}

static QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void tst_ConfigManager::failedBuildLeavesLiveFileIntact()
{
    TempDatabase db;
    QVERIFY(db.create());
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("INSERT INTO Devices (name) VALUES ('keep me')"));
    }
    Database::closeThisThread(); // checkpoints the WAL so that the bytes on disk are the whole database
    const QByteArray before = fileBytes(db.path());
    QVERIFY(!before.isEmpty());

    db.config.tempDbPath = db.dir.filePath(QStringLiteral("missing-folder/db_temp.sqlite"));
    QCOMPARE(db.config.clearDatabase(),
             QByteArray("{\"error\":true,\"message\":\"Database error\",\"details\":\"Error creating temp database\"}"));
    Database::closeThisThread();
    QCOMPARE(fileBytes(db.path()), before);
    QCOMPARE(db.cli("SELECT name FROM Devices;"), QByteArray("keep me\n"));
}

void tst_ConfigManager::failedRenameKeepsLiveFile()
{
    // A scratch file on another file system cannot be renamed over the live file.
    struct stat tmpStat, shmStat;
    TempDatabase db;
    if (stat(QFile::encodeName(db.dir.path()).constData(), &tmpStat) != 0 || stat("/dev/shm", &shmStat) != 0 ||
        tmpStat.st_dev == shmStat.st_dev)
        QSKIP("needs /dev/shm on a file system of its own");
    QVERIFY(db.create());
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("INSERT INTO Devices (name) VALUES ('keep me')"));
    }
    QTemporaryDir shm(QStringLiteral("/dev/shm/dalvoran-XXXXXX"));
    db.config.tempDbPath = shm.filePath(QStringLiteral("db_temp.sqlite"));
    QCOMPARE(db.config.clearDatabase(),
             QByteArray("{\"error\":true,\"message\":\"Database error\",\"details\":\"Error while replacing temp database\"}"));
    QCOMPARE(db.cli("SELECT name FROM Devices;"), QByteArray("keep me\n"));
    Database scope;
    QSqlQuery q(scope.handle());
    QVERIFY(q.exec("SELECT name FROM Devices") && q.next());
    QCOMPARE(q.value(0).toString(), QStringLiteral("keep me"));
}

QTEST_GUILESS_MAIN(tst_ConfigManager)
#include "tst_ConfigManager.moc"
