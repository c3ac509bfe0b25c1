#include "ConverterProcesses.h"
#include "PeerProcess.h"
#include "ShellFixture.h"
#include "WorkerProcess.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
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
    void defaultAppStateStartsPolling();
    void terminationSignalsQuit_data();
    void terminationSignalsQuit();
    void runAsAdministratorRestarts();
    void quitStopsPollingFirst_data();
    void quitStopsPollingFirst();
    void endWhileARequestOutlastsTheWait_data();
    void endWhileARequestOutlastsTheWait();
    void alarmExpressionsRunInTheProgramsChild();
    void anAddressSpaceLimitLeavesTheAlarmsAlone();
    void childrenStartAfterTheProgramFileWentAway_data();
    void childrenStartAfterTheProgramFileWentAway();
    void exitStopsRunningConversions_data();
    void exitStopsRunningConversions();
    void normalStartOpensTheBrowserOnce();
    void restartFlag_data();
    void restartFlag();
    void furtherInstanceShowsTheRunningOne();
    void restartWaitsForTheOldInstance();
    void busyPortKeepsRunning();

private:
    static QByteArray browserLine(const Installation &app)
    {
        return "http://127.0.0.1:" + QByteArray::number(app.port()) + "\n\n";
    }
    // The two parameters of a Modbus TCP device on port, polled every 200 ms and archived each second.
    static QString pollingSetup(const QString &port)
    {
        return QStringLiteral(
                   "INSERT INTO TCPConnections (idTCPConnections, name, ip, portTCP, timeout) VALUES (1, 'tcp1', '127.0.0.1', %1, 1000);"
                   "INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, isActive) VALUES (1, 'dev1', 1, 'tcp', 1, 1);"
                   "INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice, ModbusReadFunction) VALUES (0, 2, 0, 16, 16, 1, 3);"
                   "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) VALUES (10, 1, 0, 'V', 1);"
                   "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) VALUES (11, 1, 1, 'A', 1);"
                   "UPDATE Settings SET modbusPollInterval = 200;")
            .arg(port);
    }
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

void tst_Creator::defaultAppStateStartsPolling()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=getAppState"))).body, QByteArray("{\"state\":\"idle\"}"));
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=cfg_saveSetting&modbusPollInterval=5000&modbusIterDelay=10"
                                         "&sessionEnabled=0&defaultAppState=1")))
                 .body,
             QByteArray("{\"success\":true}"));
    QCOMPARE(app.stop(), 0);
    QVERIFY(app.start({QStringLiteral("-r")}));
    // Running from the start, without a request.
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=getAppState"))).body, QByteArray("{\"state\":\"running\"}"));
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

void tst_Creator::quitStopsPollingFirst_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << QStringLiteral("SIGINT");
    QTest::newRow("restart") << QStringLiteral("runAsAdministrator");
}

// A device polled over Modbus TCP; however the program ends, polling stops first and the
// session break of every parameter reaches the archive.
void tst_Creator::quitStopsPollingFirst()
{
    QFETCH(QString, how);
    PeerProcess device;
    QVERIFY(device.startPython(TestEnv::testFile(QStringLiteral("peers/modbus_server.py")),
                               {QStringLiteral("--table"), QStringLiteral("{\"1\": {\"hr\": {\"0\": [1234, 42]}}}")}));
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    const QString setup = pollingSetup(device.readyWords().value(0));
    app.sql(setup);
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QTRY_VERIFY_WITH_TIMEOUT(curl(app.url(QStringLiteral("ajax.html?func=getAllValues"))).body.contains("1234"), 20000);
    QCOMPARE(app.sql(QStringLiteral("SELECT count(*) FROM ArchiveData WHERE flag = 6;")), QByteArray("0\n"));

    int code = -1;
    if (how == QLatin1String("runAsAdministrator")) {
        QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=runAsAdministrator"))).status, 200);
        QVERIFY(app.process().waitForFinished(30000));
        code = app.process().exitCode();
        QCOMPARE(code, 12);
    } else {
        code = app.stop(how == QLatin1String("SIGTERM") ? SIGTERM : SIGINT);
        if (code != 0)
            qWarning("%s", app.output().right(3000).constData());
        QCOMPARE(code, 0);
    }
    QCOMPARE(app.sql(QStringLiteral("SELECT idParameter FROM ArchiveData WHERE flag = 6 ORDER BY idParameter;")),
             QByteArray("10\n11\n"));
    QVERIFY(app.sql(QStringLiteral("SELECT count(*) FROM ArchiveData WHERE flag = 0 AND value = 1234;")).toInt() > 0);
}

void tst_Creator::endWhileARequestOutlastsTheWait_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("converting");
    QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM") << false;
    QTest::newRow("SIGINT") << QStringLiteral("SIGINT") << false;
    QTest::newRow("restart") << QStringLiteral("runAsAdministrator") << false;
    QTest::newRow("SIGTERM while converting") << QStringLiteral("SIGTERM") << true;
}

// A request still running when the wait for the connection threads has passed: a device that
// takes the connection and never answers, within a time-out far beyond the read time-out, and
// perhaps a page of deeply nested tables turned into PDF. The program still ends with its own
// code, after the session breaks of the polled device, and without taking down under the
// running request what it uses.
void tst_Creator::endWhileARequestOutlastsTheWait()
{
    QFETCH(QString, how);
    QFETCH(bool, converting);
    PeerProcess device;
    QVERIFY(device.startPython(TestEnv::testFile(QStringLiteral("peers/modbus_server.py")),
                               {QStringLiteral("--table"), QStringLiteral("{\"1\": {\"hr\": {\"0\": [1234, 42]}}}")}));
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    Installation app;
    QVERIFY(app.install());
    // The wait for the threads at the end is the read time-out and two seconds.
    const QString ini = app.path(QStringLiteral("config.ini"));
    QVERIFY(writeFile(ini, readAll(ini).replace("readTimeout=10000", "readTimeout=1000")));
    QVERIFY(app.start({QStringLiteral("-r")}));
    app.sql(pollingSetup(device.readyWords().value(0)));
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QTRY_VERIFY_WITH_TIMEOUT(curl(app.url(QStringLiteral("ajax.html?func=getAllValues"))).body.contains("1234"), 20000);

    const auto startRequest = [&app](QProcess &client, const QStringList &extra, const QString &relative) {
        client.start(QStringLiteral("curl"), QStringList{QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"),
                                                         QStringLiteral("--max-time"), QStringLiteral("120")}
                                                 << extra << app.url(relative));
        return client.waitForStarted(10000);
    };
    QProcess conversion;
    if (converting) {
        QByteArray page = "x";
        for (int level = 0; level < 40; ++level)
            page = "<table><tr><td>" + page + "</td><td>y</td></tr></table>";
        QVERIFY(startRequest(conversion,
                             {QStringLiteral("--data-urlencode"), QStringLiteral("filename=report.pdf"),
                              QStringLiteral("--data-urlencode"), QStringLiteral("fileContent=") + QString::fromLatin1(page)},
                             QStringLiteral("saveFile.html")));
    }
    QProcess ping;
    QVERIFY(startRequest(ping, {},
                         QStringLiteral("ajax.html?func=pingDevice&type=tcp&ip=127.0.0.1&ModbusId=1&timeout=60000&portTCP=%1")
                             .arg(silent.serverPort())));
    // The call has its line open and waits for the answer.
    QVERIFY(silent.waitForNewConnection(20000));
    QTcpSocket *line = silent.nextPendingConnection();
    QVERIFY(line);

    int expected = 0;
    if (how == QLatin1String("runAsAdministrator")) {
        QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=runAsAdministrator"))).status, 200);
        expected = 12;
    } else {
        ::kill(static_cast<pid_t>(app.process().processId()), how == QLatin1String("SIGTERM") ? SIGTERM : SIGINT);
    }
    QVERIFY(app.process().waitForFinished(30000));
    const QByteArray output = app.output();
    QVERIFY2(app.process().exitStatus() == QProcess::NormalExit, output.right(3000).constData());
    QCOMPARE(app.process().exitCode(), expected);
    QVERIFY2(!output.contains("QMutex: destroying locked mutex"), output.right(3000).constData());
    QVERIFY(output.contains("left running"));
    QCOMPARE(app.sql(QStringLiteral("SELECT idParameter FROM ArchiveData WHERE flag = 6 ORDER BY idParameter;")),
             QByteArray("10\n11\n"));
    QVERIFY(app.sql(QStringLiteral("SELECT count(*) FROM ArchiveData WHERE flag = 0 AND value = 1234;")).toInt() > 0);
    if (expected == 12)
        QTRY_COMPARE_WITH_TIMEOUT(readAll(app.path(QStringLiteral("Vexo_admin.args"))), QByteArray("-r\n\n"), 10000);
    for (QProcess *client : {&ping, &conversion}) {
        client->kill();
        client->waitForFinished(5000);
    }
}

// The alarm expressions of a polling run go to a child of the program itself: the real program
// must serve as that child, or every expression would end as a script error and the alarm that
// can never be true would go active.
void tst_Creator::alarmExpressionsRunInTheProgramsChild()
{
    PeerProcess device;
    QVERIFY(device.startPython(TestEnv::testFile(QStringLiteral("peers/modbus_server.py")),
                               {QStringLiteral("--table"), QStringLiteral("{\"1\": {\"hr\": {\"0\": [1234, 42]}}}")}));
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    app.sql(pollingSetup(device.readyWords().value(0)) +
            QStringLiteral("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (7, 'never', '1 > 2', '');"
                           "INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (8, 'always', '2 > 1', '');"));
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QByteArray states;
    QTRY_VERIFY_WITH_TIMEOUT((states = curl(app.url(QStringLiteral("ajax.html?func=getAlarmsStates"))).body).contains("\"id\":8"),
                             20000);
    QVERIFY2(!states.contains("\"id\":7"), states.constData());
    QCOMPARE(app.stop(SIGTERM), 0);
}

// Under an inherited limit (ulimit -v, systemd's LimitAS=) the program runs, but the alarm child's
// script engine reserves more than the limit and dies at its start. No expression is to blame:
// the alarms stay as they are, without a log entry or a mail, and the event log says why, once.
void tst_Creator::anAddressSpaceLimitLeavesTheAlarmsAlone()
{
    if (!WorkerProcess::memoryLimitApplies())
        QSKIP("the memory checker of this build reserves more than any such limit");
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}, nullptr,
                      {QStringLiteral("prlimit"), QStringLiteral("--as=1610612736"), QStringLiteral("--")}));
    QString alarms = QStringLiteral("UPDATE Settings SET modbusPollInterval = 200;");
    for (int id = 1; id <= 300; ++id)
        alarms += QStringLiteral("INSERT INTO Alarms (idAlarms, name, exp_on, exp_off, sedMailCond, mailRecipients) "
                                 "VALUES (%1, 'never %1', '1 > 2', '', 3, 'a@example.com');")
                      .arg(id);
    app.sql(alarms);
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(app.sql(QStringLiteral("SELECT count(*) FROM Logs WHERE type = 'error';")),
                              QByteArray("1\n"), 20000);
    // Ticks and retries go by; nothing changes.
    QTest::qWait(3000);
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=getAlarmsStates"))).body, QByteArray("[]"));
    QCOMPARE(app.sql(QStringLiteral("SELECT type FROM Logs ORDER BY idLogs;")), QByteArray("info\nerror\n"));
    const QByteArray event = app.sql(QStringLiteral("SELECT message FROM Logs WHERE type = 'error';"));
    QVERIFY2(event.contains("ended at its start") && event.contains("address-space limit of 1536 MB"),
             event.constData());
    QCOMPARE(app.output().count("Alarm expressions cannot be evaluated"), 1);
    QCOMPARE(app.stop(), 0);
}

void tst_Creator::childrenStartAfterTheProgramFileWentAway_data()
{
    QTest::addColumn<bool>("replaced");
    QTest::newRow("moved away") << false;
    // An update that writes another program in its place.
    QTest::newRow("replaced") << true;
}

// The alarm child and the converter are started from the program that runs, not from the file
// it was once started from.
void tst_Creator::childrenStartAfterTheProgramFileWentAway()
{
    QFETCH(bool, replaced);
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    app.sql(QStringLiteral("UPDATE Settings SET modbusPollInterval = 200;"
                           "INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (7, 'never', '1 > 2', '');"
                           "INSERT INTO Alarms (idAlarms, name, exp_on, exp_off) VALUES (8, 'always', '2 > 1', '');"));
    const QString program = app.path(QStringLiteral("Dalvoran"));
    QVERIFY(QFile::rename(program, app.path(QStringLiteral("Dalvoran.old"))));
    if (replaced)
        QVERIFY(writeFile(program, "#!/bin/sh\nexit 3\n", true));

    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QByteArray states;
    QTRY_VERIFY_WITH_TIMEOUT(
        (states = curl(app.url(QStringLiteral("ajax.html?func=getAlarmsStates"))).body).contains("\"id\":8"), 20000);
    QVERIFY2(!states.contains("\"id\":7"), states.constData());
    const Reply report = curl(app.url(QStringLiteral("saveFile.html")),
                              {QStringLiteral("--data-urlencode"), QStringLiteral("filename=report.pdf"),
                               QStringLiteral("--data-urlencode"),
                               QStringLiteral("fileContent=<html><body><p>Report 42</p></body></html>")});
    QCOMPARE(report.status, 200);
    const QString file = app.path(QStringLiteral("report.pdf"));
    QVERIFY(writeFile(file, report.body));
    int code = 0;
    QVERIFY(TestEnv::runTool(QStringLiteral("pdftotext"), {file, QStringLiteral("-")}, {}, 20000, &code)
                .contains("Report 42"));
    QCOMPARE(app.stop(), 0);
}

void tst_Creator::exitStopsRunningConversions_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("SIGTERM") << QStringLiteral("SIGTERM");
    QTest::newRow("SIGINT") << QStringLiteral("SIGINT");
    QTest::newRow("restart") << QStringLiteral("runAsAdministrator");
}

// A page that no converter finishes is being converted when the program is told to end: the
// conversion is stopped (its request answers 500), the program ends at once with its own code,
// and it leaves no converter process behind, running or unreaped.
void tst_Creator::exitStopsRunningConversions()
{
    QFETCH(QString, how);
    ConverterProcesses::OrphanWatch orphans;
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    orphans.own(app.process().processId());
    const qint64 program = app.process().processId();
    const QString page = app.path(QStringLiteral("deep.html"));
    QVERIFY(writeFile(page, ConverterProcesses::nestedTables()));
    QProcess conversion;
    conversion.start(QStringLiteral("curl"),
                     {QStringLiteral("-s"), QStringLiteral("-o"), QStringLiteral("/dev/null"), QStringLiteral("-w"),
                      QStringLiteral("%{http_code}"), QStringLiteral("--max-time"), QStringLiteral("60"),
                      QStringLiteral("--data-urlencode"), QStringLiteral("filename=deep.pdf"),
                      QStringLiteral("--data-urlencode"), QStringLiteral("fileContent@") + page,
                      app.url(QStringLiteral("saveFile.html"))});
    QVERIFY(conversion.waitForStarted(10000));
    orphans.own(conversion.processId());
    // Seen once is enough: a process on a page may be caught between two time slices.
    bool converting = false;
    QTRY_VERIFY_WITH_TIMEOUT(converting = converting || ConverterProcesses::anyRunning(program), 20000);

    int expected = 0;
    QElapsedTimer clock;
    if (how == QLatin1String("runAsAdministrator")) {
        QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=runAsAdministrator"))).status, 200);
        clock.start();
        expected = 12;
    } else {
        clock.start();
        ::kill(static_cast<pid_t>(program), how == QLatin1String("SIGTERM") ? SIGTERM : SIGINT);
    }
    QVERIFY(app.process().waitForFinished(30000));
    const qint64 took = clock.elapsed();
    const QByteArray output = app.output();
    QVERIFY2(app.process().exitStatus() == QProcess::NormalExit, output.right(3000).constData());
    QCOMPARE(app.process().exitCode(), expected);
    // At once: no wait for the connection threads' bound, no quick end past it.
    QVERIFY2(took < 2000, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QVERIFY2(!output.contains("left running"), output.right(3000).constData());
    QTRY_COMPARE_WITH_TIMEOUT(conversion.state(), QProcess::NotRunning, 30000);
    QCOMPARE(conversion.readAllStandardOutput(), QByteArray("500"));
    const QStringList left = orphans.named("Dalvoran");
    QVERIFY2(left.isEmpty(), qPrintable(left.join(", ")));
}

void tst_Creator::normalStartOpensTheBrowserOnce()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start());
    QTRY_COMPARE_WITH_TIMEOUT(readAll(app.path(QStringLiteral("xdg-open.args"))), browserLine(app), 10000);
    QVERIFY(app.waitForOutput("TrayMenu: balloon Program is running. Program is listening on port: " +
                              QByteArray::number(app.port())));
    QCOMPARE(app.stop(), 0);
    QCOMPARE(readAll(app.path(QStringLiteral("xdg-open.args"))), browserLine(app));
}

void tst_Creator::restartFlag_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("browser");
    QTest::newRow("-r") << QStringList{QStringLiteral("-r")} << false;
    QTest::newRow("-r and more") << QStringList{QStringLiteral("-r"), QStringLiteral("x")} << false;
    QTest::newRow("-rx") << QStringList{QStringLiteral("-rx")} << true;
    QTest::newRow("-R") << QStringList{QStringLiteral("-R")} << true;
    QTest::newRow("r") << QStringList{QStringLiteral("r")} << true;
    QTest::newRow("second place") << QStringList{QStringLiteral("x"), QStringLiteral("-r")} << true;
}

void tst_Creator::restartFlag()
{
    QFETCH(QStringList, args);
    QFETCH(bool, browser);
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start(args));
    // The start balloon comes right after the browser: once it is out (or not), the launch is decided.
    if (browser) {
        QTRY_COMPARE_WITH_TIMEOUT(readAll(app.path(QStringLiteral("xdg-open.args"))), browserLine(app), 10000);
    } else {
        QCOMPARE(app.stop(), 0);
        QVERIFY(!app.output().contains("TrayMenu: balloon"));
        QVERIFY(!QFile::exists(app.path(QStringLiteral("xdg-open.args"))));
    }
}

void tst_Creator::furtherInstanceShowsTheRunningOne()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    QProcess second;
    second.setProcessEnvironment(app.environment());
    second.setProcessChannelMode(QProcess::MergedChannels);
    second.start(app.path(QStringLiteral("Dalvoran")), QStringList());
    QVERIFY(second.waitForFinished(30000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(app.path(QStringLiteral("xdg-open.args"))), browserLine(app), 10000);
    QCOMPARE(app.sql(QStringLiteral("SELECT count(*) FROM Logs WHERE message = 'Program started';")), QByteArray("1\n"));
    // The running one was not touched.
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=cfg_getSetting"))).status, 200);
    QCOMPARE(app.stop(), 0);
}

void tst_Creator::restartWaitsForTheOldInstance()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    // A restarted instance started while the old one still runs waits for its lock ...
    QProcess restarted;
    restarted.setProcessEnvironment(app.environment());
    restarted.setProcessChannelMode(QProcess::MergedChannels);
    restarted.start(app.path(QStringLiteral("Dalvoran")), {QStringLiteral("-r")});
    QVERIFY(restarted.waitForStarted(10000));
    QVERIFY(!restarted.waitForFinished(1000));
    // ... and takes over when the old one ends.
    QCOMPARE(app.stop(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(curl(app.url(QStringLiteral("app.js"))).status, 200, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(app.sql(QStringLiteral("SELECT count(*) FROM Logs WHERE message = 'Program started';")),
                              QByteArray("2\n"), 10000);
    ::kill(static_cast<pid_t>(restarted.processId()), SIGTERM);
    QVERIFY(restarted.waitForFinished(30000));
    QCOMPARE(restarted.exitCode(), 0);
    QVERIFY(!QFile::exists(app.path(QStringLiteral("xdg-open.args"))));

    // Without the old one ending, the restarted one gives up after its wait, as a further instance.
    Installation other;
    QVERIFY(other.install());
    QVERIFY(other.start({QStringLiteral("-r")}));
    QElapsedTimer clock;
    clock.start();
    QProcess late;
    late.setProcessEnvironment(other.environment());
    late.start(other.path(QStringLiteral("Dalvoran")), {QStringLiteral("-r")});
    QVERIFY(late.waitForFinished(30000));
    QCOMPARE(late.exitCode(), 0);
    QVERIFY(clock.elapsed() >= 4500);
    QTRY_COMPARE_WITH_TIMEOUT(readAll(other.path(QStringLiteral("xdg-open.args"))), browserLine(other), 10000);
    QCOMPARE(other.stop(), 0);
}

void tst_Creator::busyPortKeepsRunning()
{
    Installation app;
    QVERIFY(app.install());
    QTcpServer occupier;
    QVERIFY(occupier.listen(QHostAddress::LocalHost, app.port()));
    app.process().setProcessEnvironment(app.environment());
    app.process().setProcessChannelMode(QProcess::MergedChannels);
    app.process().start(app.path(QStringLiteral("Dalvoran")), QStringList());
    QVERIFY(app.waitForOutput("TrayMenu: balloon Error! Cannot bind on port: " + QByteArray::number(app.port()) +
                              ". Port already in use!"));
    QTRY_COMPARE_WITH_TIMEOUT(app.sql(QStringLiteral("SELECT count(*) FROM Logs WHERE message = 'Program started';")),
                              QByteArray("1\n"), 10000);
    QCOMPARE(app.process().state(), QProcess::Running);
    QCOMPARE(app.stop(), 0);
    QVERIFY(!QFile::exists(app.path(QStringLiteral("xdg-open.args"))));
}

QTEST_GUILESS_MAIN(tst_Creator)
#include "tst_Creator.moc"
