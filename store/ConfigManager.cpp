#include "ConfigManager.h"

#include "Database.h"
#include "JsonReply.h"
#include "UsersManager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>

static const QString kTempConnection = QStringLiteral("tempDatabaseCon");
static const QString kArchiveVersion = QStringLiteral("0.1.2");

ConfigManager::ConfigManager(QObject *parent) : QObject(parent)
{
    const QString dir = QCoreApplication::applicationDirPath();
    tempDbPath = dir + QStringLiteral("/db_temp.sqlite");
    dbPath = dir + QStringLiteral("/db.sqlite");
}

ConfigManager::~ConfigManager() { closeTempDb(); }

const QStringList &ConfigManager::schemaStatements()
{
    static const QStringList statements = {
        QStringLiteral("CREATE TABLE Devices (idDevices integer PRIMARY KEY DEFAULT (null), name VARCHAR(50) DEFAULT (null), "
                       "type VARCHAR(20) DEFAULT (null), ModbusId SMALLINT DEFAULT (null), ModbusReadFunction SMALLINT DEFAULT 3, "
                       "MqttTopic VARCHAR(500) DEFAULT (null), MqttFormat VARCHAR(20) DEFAULT (null), "
                       "MqttMapping VARCHAR(50000) DEFAULT (null), connectionType VARCHAR(15) DEFAULT (null), "
                       "idOfConnection int DEFAULT (null), paramModTimestamp timestamp DEFAULT (null), isActive BOOL DEFAULT 1)"),
        QStringLiteral("CREATE TABLE ReadIterations (idReadIterations INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, "
                       "regAddr SMALLINT NOT NULL, valuesCnt SMALLINT NOT NULL, regType SMALLINT NOT NULL, "
                       "regSize SMALLINT NOT NULL, valSize SMALLINT NOT NULL, idDevice INTEGER NOT NULL, "
                       "ModbusReadFunction SMALLINT DEFAULT 3, "
                       "FOREIGN KEY(idDevice) REFERENCES Devices(idDevices) ON DELETE CASCADE ON UPDATE CASCADE)"),
        QStringLiteral("CREATE TABLE ConfiguredParameters (idParameters INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, "
                       "idDevice INTEGER NOT NULL, userDescription VARCHAR(80), nameId VARCHAR(45) DEFAULT (null), "
                       "regAddr SMALLINT, unit VARCHAR(10), archInterval integer DEFAULT 0, regType SMALLINT, "
                       "regSize SMALLINT, valSize SMALLINT, "
                       "FOREIGN KEY(idDevice) REFERENCES Devices(idDevices) ON DELETE CASCADE ON UPDATE CASCADE)"),
        QStringLiteral("CREATE TABLE ArchiveData (idArchiveData integer PRIMARY KEY, idParameter INTEGER, value DOUBLE, "
                       "flag SMALLINT, dateTime DATETIME, FOREIGN KEY(idParameter) REFERENCES "
                       "ConfiguredParameters(idParameters) ON DELETE CASCADE ON UPDATE CASCADE)"),
        QStringLiteral("CREATE TABLE Views (idViews integer PRIMARY KEY AUTOINCREMENT NOT NULL, name varchar(80) NOT NULL, "
                       "width integer, height integer, showTime integer, "
                       "widgetsCfg TEXT NOT NULL check(typeof(\"widgetsCfg\") = 'text'))"),
        QStringLiteral("CREATE TABLE TCPConnections (idTCPConnections integer primary key, name VARCHAR(50), ip VARCHAR(25), "
                       "portTCP integer, timeout integer)"),
        QStringLiteral("CREATE TABLE MQTTConnections (idMQTTConnections integer primary key, name VARCHAR(50), "
                       "ip VARCHAR(25), port integer, clientid VARCHAR(25))"),
        QStringLiteral("CREATE TABLE SerialConnections (idSerialConnections integer PRIMARY KEY DEFAULT (null), "
                       "name VARCHAR(50), serialPort CHAR(5), baudRate integer, parity CHAR(1), stopBits integer, "
                       "timeout integer)"),
        QStringLiteral("CREATE TABLE Logs (idLogs INTEGER PRIMARY KEY, type VARCHAR(20), message VARCHAR(400), "
                       "'dateTime' DATETIME DEFAULT (DATETIME(CURRENT_TIMESTAMP, 'LOCALTIME')))"),
        QStringLiteral("CREATE TABLE Alarms (idAlarms INTEGER PRIMARY KEY NOT NULL, name VARCHAR(50) NULL, "
                       "desc VARCHAR(200) NULL, priority INTEGER NULL, exp_on VARCHAR(500) NULL, "
                       "exp_off VARCHAR(500) NULL, sedMailCond INTEGER DEFAULT 0, mailRecipients VARCHAR(500) NULL, "
                       "mailSubject VARCHAR(500) NULL)"),
        QStringLiteral("CREATE TABLE Settings (idSettings INTEGER PRIMARY KEY NOT NULL, archiveVersion VARCHAR(10) NULL, "
                       "modbusPollInterval INTEGER NULL, modbusIterDelay INTEGER NULL, sessionEnabled BOOL NULL, "
                       "defaultAppState SMALLINT NULL)"),
        QStringLiteral("CREATE TABLE Users (idUsers INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, username VARCHAR(50) UNIQUE, "
                       "password VARCHAR(50) NULL, permissions INTEGER NULL)"),
        QStringLiteral("CREATE TABLE SMTP (idSMTP INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, serverName VARCHAR(100) NULL, "
                       "port INTEGER NULL, security INTEGER NULL, username VARCHAR(100) NULL, password VARCHAR(100) NULL, "
                       "sourceEmailAddress VARCHAR(100) NULL)"),
    };
    return statements;
}

const QStringList &ConfigManager::indexStatements()
{
    // The grid, report and CSV reads are bounded by date and grouped by time stamp: without
    // this index each of them reads the whole archive and sorts it.
    static const QStringList statements = {
        QStringLiteral("CREATE INDEX IF NOT EXISTS ArchiveData_dateTime ON ArchiveData (dateTime)"),
    };
    return statements;
}

QString ConfigManager::defaultAdminInsert()
{
    return QStringLiteral("INSERT INTO Users VALUES (1, 'Admin', '") + defaultAdminPasswordHash() +
           QStringLiteral("', 255)");
}

bool ConfigManager::databaseExists() const { return QFile::exists(dbPath); }

bool ConfigManager::openDatabase()
{
    Database::setLivePath(dbPath);
    Database scope;
    return scope.handle().isOpen();
}

void ConfigManager::closeTempDb()
{
    if (!tempDb.isValid())
        return;
    tempDb.close();
    tempDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(kTempConnection);
}

bool ConfigManager::createTempDatabase()
{
    closeTempDb();
    QFile file(tempDbPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    file.close();
    tempDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kTempConnection);
    tempDb.setDatabaseName(tempDbPath);
    if (!tempDb.open())
        return false;
    return createTables();
}

bool ConfigManager::createTables()
{
    QSqlQuery query(tempDb);
    const QStringList statements =
        QStringList{QStringLiteral("PRAGMA foreign_keys = ON;")} + schemaStatements() + indexStatements();
    for (const QString &statement : statements) {
        if (!query.exec(statement)) {
            qDebug() << query.lastError().text();
            return false;
        }
    }
    return true;
}

bool ConfigManager::replaceDatabaseWithTemp()
{
    Database::setLivePath(dbPath);
    const bool renamed = Database::replaceLiveFile(tempDbPath);
    openDatabase();
    return renamed;
}

QByteArray ConfigManager::clearDatabase()
{
    if (!createTempDatabase()) {
        closeTempDb();
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error creating temp database"));
    }
    const QStringList inserts = {
        QStringLiteral("INSERT INTO Settings VALUES (1, \"") + kArchiveVersion + QStringLiteral("\", 5000, 10, 0, 0)"),
        defaultAdminInsert(),
        QStringLiteral("INSERT INTO SMTP VALUES (1, '', 587, 1, '', '', '')"),
    };
    {
        QSqlQuery query(tempDb);
        for (const QString &insert : inserts) {
            if (!query.exec(insert)) {
                const QString details = Database::errorText(query.lastError());
                query.clear();
                closeTempDb();
                return buildErrorJson(QStringLiteral("Unable to insert record"), details);
            }
        }
    }
    closeTempDb();
    if (!replaceDatabaseWithTemp())
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error while replacing temp database"));
    return plainSuccessJson();
}
