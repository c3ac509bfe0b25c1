#include "TestEnv.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// Dalvoran started from a folder of its own, as a user would copy it.
class tst_DalvoranStartup : public QObject
{
    Q_OBJECT
private slots:
    void missingConfigIsFatal();
    void firstStartCreatesDatabase();

private:
    static bool install(const QTemporaryDir &dir, bool withConfig);
};

bool tst_DalvoranStartup::install(const QTemporaryDir &dir, bool withConfig)
{
    const QString program = dir.filePath(QStringLiteral("Dalvoran"));
    if (!QFile::copy(TestEnv::binaryDir() + QStringLiteral("/Dalvoran"), program))
        return false;
    QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
    if (withConfig) {
        QFile config(dir.filePath(QStringLiteral("config.ini")));
        if (!config.open(QIODevice::WriteOnly))
            return false;
        // A port of its own, so that a running instance elsewhere never matters.
        config.write("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(TestEnv::freeTcpPort()) +
                     "\n[docroot]\npath=www\n");
    }
    return true;
}

void tst_DalvoranStartup::missingConfigIsFatal()
{
    QTemporaryDir dir;
    QVERIFY(install(dir, false));
    QProcess process;
    process.start(dir.filePath(QStringLiteral("Dalvoran")), QStringList());
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit); // a fatal message aborts
    QVERIFY(process.readAllStandardError().contains(
        "Cannot find config file " + QFile::encodeName(dir.filePath(QStringLiteral("config.ini")))));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("db.sqlite"))));
}

void tst_DalvoranStartup::firstStartCreatesDatabase()
{
    QTemporaryDir dir;
    QVERIFY(install(dir, true));
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(dir.filePath(QStringLiteral("Dalvoran")), {QStringLiteral("-r")});
    QVERIFY(process.waitForStarted(10000));
    const QString db = dir.filePath(QStringLiteral("db.sqlite"));
    auto cli = [&](const char *sql) {
        int code = 0;
        return QFile::exists(db) ? TestEnv::runTool(QStringLiteral("sqlite3"), {db, QString::fromLatin1(sql)}, {}, 10000, &code)
                                 : QByteArray();
    };
    QTRY_COMPARE_WITH_TIMEOUT(cli("SELECT count(*) FROM Settings;"), QByteArray("1\n"), 20000);
    QCOMPARE(cli("SELECT count(*) FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%';"), QByteArray("13\n"));
    QCOMPARE(cli("SELECT * FROM Settings;"), QByteArray("1|0.1.2|5000|10|0|0\n"));
    QCOMPARE(cli("SELECT username, permissions FROM Users;"), QByteArray("Admin|255\n"));
    QCOMPARE(cli("SELECT * FROM SMTP;"), QByteArray("1||587|1|||\n"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("db_temp.sqlite"))));
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += process.readAll()).contains("Using config file"), 10000);
    process.terminate();
    QVERIFY(process.waitForFinished(10000) || (process.kill(), process.waitForFinished(5000)));
}

QTEST_GUILESS_MAIN(tst_DalvoranStartup)
#include "tst_DalvoranStartup.moc"
