#include "ConfigManager.h"

#include "ConfigScript.h"
#include "Database.h"
#include "JsonReply.h"
#include "SqliteTimeLimit.h"
#include "UsersManager.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QFile>
#include <QPair>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>

static const QString kTempConnection = QStringLiteral("tempDatabaseCon");
static const QString kArchiveVersion = QStringLiteral("0.1.2");

std::atomic<int> ConfigManager::s_uploadTimeLimitMs{10000};

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

namespace {

// The names that "PRAGMA table_info" reports (column 1 of each row); false when the pragma fails.
bool columnNames(QSqlQuery &query, const QString &table, QStringList *names)
{
    names->clear();
    if (!query.exec(QStringLiteral("PRAGMA table_info(") + table + QStringLiteral(");")))
        return false;
    while (query.next())
        names->append(query.value(1).toString());
    return true;
}

// A table exists when the lookup's first row names it; false when the lookup fails.
bool tableExists(QSqlQuery &query, const QString &table, bool *exists)
{
    if (!query.exec(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name='") + table +
                    QStringLiteral("';")))
        return false;
    *exists = query.next() && !query.value(0).toString().isEmpty();
    return true;
}

QString schemaStatementOf(const QString &table)
{
    const QString prefix = QStringLiteral("CREATE TABLE ") + table + QLatin1Char(' ');
    for (const QString &statement : ConfigManager::schemaStatements()) {
        if (statement.startsWith(prefix))
            return statement;
    }
    return QString();
}

QByteArray invalidVersion(const QString &version)
{
    return buildErrorJson(QStringLiteral("Invalid archive version. (") + version + QLatin1Char(')'));
}

// Every page checked, not only those that a query happens to read: the engine answers one row
// "ok", or rows naming the damage, or fails outright on a page it cannot parse.
bool isIntact(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("PRAGMA integrity_check;")) || !query.next())
        return false;
    return query.value(0).toString() == QLatin1String("ok") && !query.next();
}

// Every table of the schema with the names of its columns, as the engine reads the statements.
QList<QPair<QString, QStringList>> readSchemaColumns()
{
    QList<QPair<QString, QStringList>> tables;
    const QString name = QStringLiteral("schemaColumns");
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), name);
        db.setDatabaseName(QStringLiteral(":memory:"));
        if (db.open()) {
            QSqlQuery query(db);
            QStringList columns;
            for (const QString &statement : ConfigManager::schemaStatements()) {
                const QString table = statement.section(QLatin1Char(' '), 2, 2);
                if (query.exec(statement) && columnNames(query, table, &columns))
                    tables.append({table, columns});
            }
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(name);
    return tables;
}

// Every table of the schema is there as a table (not a view), with every column of it; columns
// and tables of its own do no harm. The engine matches names without regard to letter case.
bool holdsSchema(const QSqlDatabase &db)
{
    static const QList<QPair<QString, QStringList>> schema = readSchemaColumns();
    QSqlQuery query(db);
    query.setForwardOnly(true);
    QStringList columns;
    for (const auto &table : schema) {
        query.prepare(QStringLiteral("SELECT type FROM sqlite_master WHERE type IN ('table', 'view') AND "
                                     "name = ? COLLATE NOCASE"));
        query.addBindValue(table.first);
        if (!query.exec() || !query.next() || query.value(0).toString() != QLatin1String("table"))
            return false;
        if (!columnNames(query, table.first, &columns))
            return false;
        for (const QString &column : table.second) {
            if (!columns.contains(column, Qt::CaseInsensitive))
                return false;
        }
    }
    return schema.size() == ConfigManager::schemaStatements().size();
}

// The program makes no triggers, and one in an upload would run inside the program's own
// statements for good (an endless one would hang every thread that writes the table).
bool holdsTrigger(const QSqlDatabase &db, bool *found)
{
    QSqlQuery query(db);
    if (!query.exec(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type = 'trigger'")) || !query.next())
        return false;
    *found = query.value(0).toLongLong() != 0;
    return true;
}

// The tables that the managers create at start-up when a live file lacks them.
bool createStartTables(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    bool exists = false;
    for (const char *table : {"Devices", "SerialConnections", "TCPConnections", "MQTTConnections"}) {
        if (!tableExists(query, QLatin1String(table), &exists))
            return false;
        if (!exists && !query.exec(schemaStatementOf(QLatin1String(table))))
            return false;
    }
    return true;
}

} // namespace

QByteArray ConfigManager::convertDatabase()
{
    Database scope;
    return convertDatabaseOn(scope.handle());
}

QByteArray ConfigManager::convertDatabaseOn(const QSqlDatabase &db)
{
    QSqlQuery query(db);
    auto failed = [&query](const QString &message) {
        return buildErrorJson(message, Database::errorText(query.lastError()));
    };
    QStringList columns;

    if (!columnNames(query, QStringLiteral("Devices"), &columns))
        return failed(QStringLiteral("PRAGMA error"));
    if (!columns.contains(QStringLiteral("ModbusReadFunction")) &&
        !query.exec(QStringLiteral("ALTER TABLE Devices ADD COLUMN ModbusReadFunction SMALLINT DEFAULT 3;")))
        return failed(QStringLiteral("ALTER Devices error"));
    // Databases from before MQTT devices lack these; adding a device would fail on them.
    static const QList<QPair<QString, QString>> mqttColumns = {
        {QStringLiteral("MqttTopic"), QStringLiteral("VARCHAR(500)")},
        {QStringLiteral("MqttFormat"), QStringLiteral("VARCHAR(20)")},
        {QStringLiteral("MqttMapping"), QStringLiteral("VARCHAR(50000)")},
    };
    for (const auto &column : mqttColumns) {
        if (!columns.contains(column.first) &&
            !query.exec(QStringLiteral("ALTER TABLE Devices ADD COLUMN ") + column.first + QLatin1Char(' ') +
                        column.second + QStringLiteral(" DEFAULT (null);")))
            return failed(QStringLiteral("ALTER Devices error"));
    }

    if (!columnNames(query, QStringLiteral("ReadIterations"), &columns))
        return failed(QStringLiteral("PRAGMA error2"));
    if (!columns.contains(QStringLiteral("ModbusReadFunction")) &&
        !query.exec(QStringLiteral("ALTER TABLE ReadIterations ADD COLUMN ModbusReadFunction SMALLINT DEFAULT 3;")))
        return failed(QStringLiteral("ALTER ReadIterations error"));

    bool exists = false;
    if (!tableExists(query, QStringLiteral("Users"), &exists))
        return failed(QStringLiteral("SELECT error"));
    if (!exists) {
        query.exec(schemaStatementOf(QStringLiteral("Users")));
        if (!query.exec(defaultAdminInsert()))
            return failed(QStringLiteral("INSERT error"));
    }
    if (!tableExists(query, QStringLiteral("SMTP"), &exists))
        return failed(QStringLiteral("SELECT error"));
    if (!exists) {
        query.exec(schemaStatementOf(QStringLiteral("SMTP")));
        if (!query.exec(QStringLiteral("INSERT INTO SMTP VALUES (1, '', 587, 1, '', '', '')")))
            return failed(QStringLiteral("INSERT error"));
    }

    if (!columnNames(query, QStringLiteral("Alarms"), &columns))
        return failed(QStringLiteral("PRAGMA error"));
    if (!columns.contains(QStringLiteral("sedMailCond"))) {
        query.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN sedMailCond INTEGER DEFAULT 0;"));
        query.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN mailRecipients VARCHAR(500) NULL;"));
        if (!query.exec(QStringLiteral("ALTER TABLE Alarms ADD COLUMN mailSubject VARCHAR(500) NULL;")))
            return failed(QStringLiteral("ALTER Alarms error"));
    }

    if (!columnNames(query, QStringLiteral("Settings"), &columns))
        return failed(QStringLiteral("PRAGMA error"));
    if (!columns.contains(QStringLiteral("sessionEnabled"))) {
        query.exec(QStringLiteral("ALTER TABLE Settings ADD COLUMN sessionEnabled BOOL DEFAULT 0;"));
        if (!query.exec(QStringLiteral("ALTER TABLE Settings ADD COLUMN defaultAppState SMALLINT NULL;")))
            return failed(QStringLiteral("ALTER Settings error"));
    }

    // The archive queries of an old database need the same indexes as a new one. They only
    // speed up reads: a database without an archive table (or with one of another shape)
    // converts all the same, and a failed index does not fail the conversion.
    if (columnNames(query, QStringLiteral("ArchiveData"), &columns) && columns.contains(QStringLiteral("dateTime"))) {
        for (const QString &statement : indexStatements())
            query.exec(statement);
    }

    if (!query.exec(QStringLiteral("UPDATE Settings SET archiveVersion = '") + kArchiveVersion +
                    QStringLiteral("' WHERE idSettings = 1;")))
        return failed(QStringLiteral("Unable to update version"));
    return plainSuccessJson();
}

bool ConfigManager::isArchiveVersionSupported(const QString &version)
{
    if (version.size() < 5)
        return false;
    const QStringList parts = version.split(QLatin1Char('.'), Qt::KeepEmptyParts);
    const QStringList own = kArchiveVersion.split(QLatin1Char('.'));
    return parts.size() == 3 && parts.at(0) == own.at(0) && parts.at(1) == own.at(1);
}

QByteArray ConfigManager::exportConfig()
{
    QString text = ConfigScript::headerLine(QDateTime::currentDateTime()) + QLatin1Char('\n');
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    for (const QString &table : ConfigScript::exportedTables()) {
        QStringList columns;
        if (!columnNames(query, table, &columns) || columns.isEmpty())
            continue;
        QStringList selected;
        for (const QString &column : qAsConst(columns)) {
            QString quoted = column;
            quoted.replace(QLatin1Char('"'), QLatin1String("\"\""));
            selected << QLatin1Char('"') + quoted + QLatin1Char('"');
        }
        if (!query.exec(QStringLiteral("SELECT ") + selected.join(QLatin1Char(',')) + QStringLiteral(" FROM ") + table))
            continue;
        QVariantList values;
        while (query.next()) {
            values.clear();
            for (int i = 0; i < columns.size(); ++i)
                values << query.value(i);
            text += ConfigScript::rowLine(table, columns, values) + QLatin1Char('\n');
        }
    }
    return text.toUtf8();
}

bool ConfigManager::backupSnapshot(const QString &target, QString *error)
{
    return Database::snapshotTo(target, error);
}

QByteArray ConfigManager::importSqlScript(QIODevice *device)
{
    if (!createTempDatabase()) {
        closeTempDb();
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error creating temp database"));
    }
    QByteArray reply;
    if (!tempDb.transaction()) {
        reply = buildErrorJson(QStringLiteral("Database error"), Database::errorText(tempDb.lastError()));
        closeTempDb();
        return reply;
    }
    {
        // A line may hold a query of its own (INSERT ... SELECT), which may never end.
        const SqliteTimeLimit limit(tempDb, s_uploadTimeLimitMs.load());
        if (!limit.isArmed())
            reply = buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error creating temp database"));
        QSqlQuery query(tempDb);
        int lineNumber = 0;
        while (device && reply.isEmpty()) {
            QByteArray bytes = device->readLine();
            if (bytes.isEmpty())
                break;
            ++lineNumber;
            if (bytes.startsWith("/*"))
                continue;
            const int zero = bytes.indexOf('\0');
            if (zero >= 0)
                bytes.truncate(zero);
            // Scripts edited on another system end their lines with CR LF.
            while (bytes.endsWith('\n') || bytes.endsWith('\r'))
                bytes.chop(1);
            const QString line = QString::fromUtf8(bytes);
            QString why;
            switch (ConfigScript::lineKind(line, &why)) {
            case ConfigScript::Ignored:
                break;
            case ConfigScript::Refused:
                reply = buildErrorJson(QStringLiteral("Imported file is invalid"),
                                       QStringLiteral("Line %1: %2").arg(QString::number(lineNumber), why));
                break;
            case ConfigScript::Insert:
                if (!query.exec(line))
                    reply = buildErrorJson(QStringLiteral("Imported file is invalid"),
                                           Database::errorText(query.lastError()));
                break;
            }
        }
        if (reply.isEmpty()) {
            if (!query.exec(QStringLiteral("SELECT archiveVersion FROM Settings;"))) {
                reply = buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
            } else {
                const QString version = query.next() ? query.value(0).toString() : QString();
                if (!isArchiveVersionSupported(version))
                    reply = invalidVersion(version);
            }
        }
    }
    if (reply.isEmpty() && !tempDb.commit())
        reply = buildErrorJson(QStringLiteral("Database error"), Database::errorText(tempDb.lastError()));
    if (!reply.isEmpty()) {
        tempDb.rollback();
        closeTempDb();
        return reply;
    }
    closeTempDb();
    if (!replaceDatabaseWithTemp())
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error while replacing temp database"));
    return plainSuccessJson();
}

QByteArray ConfigManager::importDatabaseFile(QIODevice *file)
{
    closeTempDb();
    for (const char *suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(tempDbPath + QLatin1String(suffix));
    bool copied = false;
    {
        QFile scratch(tempDbPath);
        if (file && scratch.open(QIODevice::WriteOnly) && (file->isSequential() || file->seek(0))) {
            copied = true;
            while (copied) {
                const QByteArray chunk = file->read(524288);
                if (chunk.isEmpty())
                    break;
                copied = scratch.write(chunk) == chunk.size();
            }
            copied = copied && scratch.flush();
            scratch.close();
            copied = copied && scratch.error() == QFileDevice::NoError;
        }
    }
    if (!copied)
        return buildErrorJson(QStringLiteral("Copy error"), QStringLiteral("Unable to copy config file"));

    tempDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), kTempConnection);
    tempDb.setDatabaseName(tempDbPath);
    if (!tempDb.open()) {
        closeTempDb();
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Unable to open the file."));
    }
    const QByteArray refusal = checkUpload();
    closeTempDb();
    if (!refusal.isEmpty())
        return refusal;
    if (!replaceDatabaseWithTemp())
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Error while replacing temp database"));
    return plainSuccessJson();
}

QByteArray ConfigManager::checkUpload()
{
    // The upload's views and triggers run inside these statements, and may never end.
    const SqliteTimeLimit limit(tempDb, s_uploadTimeLimitMs.load());
    if (!limit.isArmed())
        return buildErrorJson(QStringLiteral("Database error"), QStringLiteral("Unable to open the file."));
    const QByteArray damaged = buildErrorJson(QStringLiteral("Database error"), QStringLiteral("The file is damaged."));
    QString version;
    {
        QSqlQuery query(tempDb);
        if (!query.exec(QStringLiteral("SELECT archiveVersion FROM Settings;")))
            return limit.stoppedStatement() ? damaged
                                            : buildErrorJson(QStringLiteral("Database error"),
                                                             QStringLiteral("Unable to read file version."));
        version = query.next() ? query.value(0).toString() : QString();
    }
    if (!isArchiveVersionSupported(version))
        return invalidVersion(version);
    // The version sits on an early page and reads well from a file damaged behind it, or from a
    // file that holds little else; such a file would replace a sound database with one whose
    // later calls all fail. An older file is brought up to date on the way in, as start-up and
    // the conversion call would, and must then hold the whole schema.
    bool trigger = true;
    if (!isIntact(tempDb) || !holdsTrigger(tempDb, &trigger) || trigger || !createStartTables(tempDb) ||
        convertDatabaseOn(tempDb) != plainSuccessJson() || !holdsSchema(tempDb))
        return damaged;
    return QByteArray();
}

QByteArray ConfigManager::importUploadedFile(const QString &fileName, QIODevice *file)
{
    if (file && fileName.endsWith(QLatin1String(".sql")))
        return importSqlScript(file);
    if (file && fileName.endsWith(QLatin1String(".sqlite")))
        return importDatabaseFile(file);
    return buildErrorJson(QStringLiteral("Invalid file"));
}
