#include "ShellFixture.h"

#include <QtTest>

using namespace ShellFixture;

// The real program started from a folder of its own, as a user would copy it, with recording
// stand-ins for the browser opener and the Vexo_admin launcher.
class tst_Creator : public QObject
{
    Q_OBJECT
private slots:
    void missingConfigIsFatal();
    void firstStartCreatesDatabase();
    void terminationSignalsQuit_data();
    void terminationSignalsQuit();
    void runAsAdministratorRestarts();
};

void tst_Creator::missingConfigIsFatal()
{
    Installation app;
    QVERIFY(app.install(QByteArray(), false));
    QProcess process;
    process.setProcessEnvironment(app.environment());
    process.start(app.path(QStringLiteral("Dalvoran")), QStringList());
    QVERIFY(process.waitForFinished(30000));
    QVERIFY(process.exitStatus() == QProcess::CrashExit || process.exitCode() != 0);
    QVERIFY(process.readAllStandardError().contains("Cannot find config file " +
                                                    QFile::encodeName(app.path(QStringLiteral("config.ini")))));
    QVERIFY(!QFile::exists(app.path(QStringLiteral("db.sqlite"))));
    QVERIFY(readAll(app.path(QStringLiteral("xdg-open.args"))).isEmpty());
}

void tst_Creator::firstStartCreatesDatabase()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    QCOMPARE(app.sql(QStringLiteral("SELECT count(*) FROM sqlite_master WHERE type='table' AND name NOT LIKE 'sqlite_%';")),
             QByteArray("13\n"));
    QCOMPARE(app.sql(QStringLiteral("SELECT * FROM Settings;")), QByteArray("1|0.1.2|5000|10|0|0\n"));
    QCOMPARE(app.sql(QStringLiteral("SELECT username, permissions FROM Users;")), QByteArray("Admin|255\n"));
    QCOMPARE(app.sql(QStringLiteral("SELECT * FROM SMTP;")), QByteArray("1||587|1|||\n"));
    QCOMPARE(app.sql(QStringLiteral("SELECT type, message FROM Logs;")), QByteArray("info|Program started\n"));
    QVERIFY(!QFile::exists(app.path(QStringLiteral("db_temp.sqlite"))));
    QVERIFY(app.output().contains("Using config file " + QFile::encodeName(app.path(QStringLiteral("config.ini")))));
    QCOMPARE(app.stop(), 0);
}

void tst_Creator::terminationSignalsQuit_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << 15;
    QTest::newRow("SIGINT") << 2;
}

void tst_Creator::terminationSignalsQuit()
{
    QFETCH(int, signalNumber);
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    QCOMPARE(app.stop(signalNumber), 0);
    // The port is free again at once.
    QCOMPARE(curl(app.url(QStringLiteral("app.js"))).status, 0);
}

void tst_Creator::runAsAdministratorRestarts()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    const Reply reply = curl(app.url(QStringLiteral("ajax.html?func=runAsAdministrator")));
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
    QVERIFY(reply.body.isEmpty());
    QVERIFY(app.process().waitForFinished(30000));
    QCOMPARE(app.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(app.process().exitCode(), 12);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(app.path(QStringLiteral("Vexo_admin.args"))), QByteArray("-r\n\n"), 10000);
}

QTEST_GUILESS_MAIN(tst_Creator)
#include "tst_Creator.moc"
