#pragma once

#include <QByteArray>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

// Owns the database file "db.sqlite" beside the executable: opens it, builds a fresh database
// in the scratch file "db_temp.sqlite" and swaps a finished scratch file in place of the live one.
class ConfigManager : public QObject
{
    Q_OBJECT
public:
    explicit ConfigManager(QObject *parent = nullptr);
    ~ConfigManager() override;

    bool databaseExists() const;
    // Points every thread's connection at the live file and opens this thread's one.
    bool openDatabase();
    // Empties the scratch file, opens it on "tempDatabaseCon" and creates the schema.
    bool createTempDatabase();
    // Creates the tables on the scratch connection.
    bool createTables();
    // Puts the (closed) scratch file in place of the live file; the live file is untouched on failure.
    bool replaceDatabaseWithTemp();
    // Web call "cfg_clearDatabase", also the first-start build.
    QByteArray clearDatabase();

    // The default administrator's row, digest of the empty password.
    static QString defaultAdminInsert();
    // The CREATE TABLE statements of the schema, in creation order.
    static const QStringList &schemaStatements();
    // Indexes that the archive queries need, each "CREATE INDEX IF NOT EXISTS ...", run after the
    // tables by a fresh build and by the conversion of an older database.
    static const QStringList &indexStatements();

    QString tempDbPath;
    QString dbPath;
    QSqlDatabase tempDb;

private:
    void closeTempDb();
};
