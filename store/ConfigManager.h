#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QObject>
#include <QSqlDatabase>
#include <QString>

#include <atomic>

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

    // Web call "cfg_convertDatabase": brings an older live database up to the current schema in
    // place, each step only where needed, then stamps the version. No transaction.
    QByteArray convertDatabase();

    // The configuration script "Dalvoren_cfg.sql" of the live database, UTF-8. Holds password
    // digests and the mail password: the caller serves it to privilege 255 only.
    QByteArray exportConfig();
    // The whole live database for "db_backup.sqlite": a consistent snapshot written to target
    // (which must not be in use), never a copy of the live file. Privilege 255 only.
    static bool backupSnapshot(const QString &target, QString *error = nullptr);

    // Imports of "importConfig.html". Both build the new database in the scratch file and swap it
    // in only when it is complete; any failure leaves the live file as it was. The caller holds
    // the database lock, has checked that polling is stopped, and holds no Database scope.
    // A script: comment lines ("/*" or "--"), blank lines and INSERT INTO the exported tables.
    QByteArray importSqlScript(QIODevice *device);
    // A whole database file of the 0.1 line. It must pass the engine's integrity check, hold no
    // trigger, and after the conversion hold every table of the schema with its columns.
    QByteArray importDatabaseFile(QIODevice *file);
    // Chooses the import by the uploaded file's name (".sql", ".sqlite", else "Invalid file").
    QByteArray importUploadedFile(const QString &fileName, QIODevice *file);

    // The database versions this program reads: three dot-separated parts, the first two "0", "1".
    static bool isArchiveVersionSupported(const QString &version);

    // The default administrator's row, digest of the empty password.
    static QString defaultAdminInsert();
    // The CREATE TABLE statements of the schema, in creation order.
    static const QStringList &schemaStatements();
    // Indexes that the archive queries need, each "CREATE INDEX IF NOT EXISTS ...", run after the
    // tables by a fresh build and by the conversion of an older database.
    static const QStringList &indexStatements();

    // What the statements on one upload may take together; past it the upload is refused.
    static std::atomic<int> s_uploadTimeLimitMs;

    QString tempDbPath;
    QString dbPath;
    QSqlDatabase tempDb;

private:
    void closeTempDb();
    // The conversion on a connection of its own: the live one or an upload's.
    static QByteArray convertDatabaseOn(const QSqlDatabase &db);
    // Refusal of the upload open on the scratch connection, or empty when it may be put in place.
    QByteArray checkUpload();
};
