#include "../shell/ConverterProcesses.h"
#include "TestEnv.h"
#include "VexoHttp.h"

#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <signal.h>

using namespace VexoHttp;

namespace {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &content, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        return false;
    file.close();
    return !executable || file.setPermissions(file.permissions() | QFileDevice::ExeOwner);
}

// Vexo copied into a folder of its own with a config.ini, recording stand-ins for the helpers it
// starts and for xdg-open and curl first on PATH.
struct Installation
{
    QTemporaryDir dir;
    quint16 port = 0;
    QProcess process;
    QByteArray output;

    QString path(const QString &relative) const { return dir.filePath(relative); }

    bool install(bool withConfig = true, const QByteArray &extraConfig = QByteArray())
    {
        if (!dir.isValid())
            return false;
        const QString program = path("Vexo");
        if (!QFile::copy(TestEnv::binaryDir() + QStringLiteral("/Vexo"), program))
            return false;
        QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner);
        port = TestEnv::freeTcpPort();
        if (withConfig &&
            !writeFile(path("config.ini"), "[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port) +
                                               "\nreadTimeout=1000\n[docroot]\npath=www\n" + extraConfig))
            return false;
        return writeFile(path("www/index.html"), "<html>vexo</html>") &&
               writeFile(path("bin/xdg-open"), "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$(dirname \"$0\")/xdg-open.log\"\n", true) &&
               writeFile(path("bin/curl"), "#!/bin/sh\ncat >/dev/null\nexec sleep 5\n", true);
    }

    // A stand-in that records its arguments and whether the program's port was still taken.
    bool addHelper(const QString &relative)
    {
        return writeFile(path(relative),
                         "#!/bin/bash\nprintf '%s\\n' \"$@\" > \"$0.args\"\n"
                         "if (exec 3<>/dev/tcp/127.0.0.1/" + QByteArray::number(port) +
                             ") 2>/dev/null; then echo taken; else echo free; fi > \"$0.port\"\n",
                         true);
    }

    void start(const QStringList &args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("PATH", path("bin") + ':' + env.value("PATH"));
        env.insert("XDG_CONFIG_HOME", path("config"));
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        process.setWorkingDirectory(dir.path());
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(path("Vexo"), args);
    }

    bool listening()
    {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        return probe.waitForConnected(200);
    }

    QByteArray log() { return output += process.readAll(); }

    bool ended(int timeoutMs = 20000)
    {
        QDeadlineTimer deadline(timeoutMs);
        while (process.state() != QProcess::NotRunning && !deadline.hasExpired())
            QTest::qWait(10);
        log();
        return process.state() == QProcess::NotRunning;
    }

    ~Installation()
    {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished(5000);
        }
    }
};

} // namespace

class tst_VexoProgram : public QObject
{
    Q_OBJECT

private slots:
    void missingConfigIsFatal();
    void restartedProgramServes();
    void startOpensTheBrowser();
    void restartFlagOnlyInFirstPlace();
    void busyPortShowsTheBindError();
    void terminationQuitsWithZero();
    void handOverEndsWithTwelve_data();
    void handOverEndsWithTwelve();
    void missingHelperKeepsServing();
    void handOverWhileAThreadIsBusy_data();
    void handOverWhileAThreadIsBusy();
    void exitStopsRunningConversions_data();
    void exitStopsRunningConversions();
    void firmwareLoaderArguments();
};

void tst_VexoProgram::missingConfigIsFatal()
{
    Installation vexo;
    QVERIFY(vexo.install(false));
    vexo.start({});
    QVERIFY(vexo.ended());
    QCOMPARE(vexo.process.exitStatus(), QProcess::CrashExit); // a fatal message aborts
    QVERIFY(vexo.log().contains("Cannot find config file " + QFile::encodeName(vexo.path("config.ini"))));
    QVERIFY(!vexo.log().contains("TrayMenu"));
}

void tst_VexoProgram::restartedProgramServes()
{
    Installation vexo;
    QVERIFY(vexo.install());
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    QVERIFY(vexo.log().contains("Using config file " + QFile::encodeName(vexo.path("config.ini"))));
    QCOMPARE(get(vexo.port, "/index.html").body, QByteArray("<html>vexo</html>"));
    QVERIFY(get(vexo.port, "/ajax.html?func=getGeneralInfo").body.startsWith("{\"ver\":\"0.3.4\""));
    QVERIFY(!QFile::exists(vexo.path("bin/xdg-open.log")));
}

void tst_VexoProgram::startOpensTheBrowser()
{
    Installation vexo;
    QVERIFY(vexo.install());
    vexo.start({});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    QTRY_COMPARE(readFile(vexo.path("bin/xdg-open.log")), "http://127.0.0.1:" + QByteArray::number(vexo.port) + "\n");
    QTRY_VERIFY(vexo.log().contains("TrayMenu: balloon Program is running. Program is listening on port: " +
                                    QByteArray::number(vexo.port) + "."));
}

void tst_VexoProgram::restartFlagOnlyInFirstPlace()
{
    // "-r" later, or a first argument that only begins with it, is no restart.
    for (const QStringList &args : {QStringList{"-x", "-r"}, QStringList{"-rr"}}) {
        Installation vexo;
        QVERIFY(vexo.install());
        vexo.start(args);
        QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
        QTRY_VERIFY(vexo.log().contains("TrayMenu: balloon Program is running."));
        QTRY_VERIFY(QFile::exists(vexo.path("bin/xdg-open.log")));
    }
}

void tst_VexoProgram::busyPortShowsTheBindError()
{
    Installation first;
    QVERIFY(first.install());
    first.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(first.listening(), 20000);
    // A second copy on the same port, with or without "-r".
    for (const QStringList &args : {QStringList{"-r"}, QStringList{}}) {
        Installation second;
        QVERIFY(second.install());
        QVERIFY(writeFile(second.path("config.ini"), readFile(first.path("config.ini"))));
        second.port = first.port;
        second.start(args);
        QTRY_VERIFY_WITH_TIMEOUT(second.log().contains("TrayMenu: balloon Error! Cannot bind on port: " +
                                                       QByteArray::number(first.port) + ". Port already in use!"),
                                 20000);
        QCOMPARE(second.process.state(), QProcess::Running);
        QVERIFY(!QFile::exists(second.path("bin/xdg-open.log")));
        QVERIFY(!second.log().contains("Program is running."));
    }
    QCOMPARE(get(first.port, "/index.html").status, 200);
}

void tst_VexoProgram::terminationQuitsWithZero()
{
    Installation vexo;
    QVERIFY(vexo.install());
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    vexo.process.terminate();
    QVERIFY(vexo.ended());
    QCOMPARE(vexo.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vexo.process.exitCode(), 0);
    QVERIFY(!vexo.listening());
}

void tst_VexoProgram::handOverEndsWithTwelve_data()
{
    QTest::addColumn<QByteArray>("call");
    QTest::addColumn<QString>("helper");
    QTest::newRow("runAsAdministrator") << QByteArray("runAsAdministrator") << "Vexo_admin";
    QTest::newRow("runAutoUpdate") << QByteArray("runAutoUpdate") << "www/root/Vexo_setup";
}

void tst_VexoProgram::handOverEndsWithTwelve()
{
    QFETCH(QByteArray, call);
    QFETCH(QString, helper);
    Installation vexo;
    QVERIFY(vexo.install());
    QVERIFY(vexo.addHelper(helper));
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    const Reply reply = get(vexo.port, "/ajax.html?func=" + call);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray());
    QVERIFY(vexo.ended());
    QCOMPARE(vexo.process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(vexo.process.exitCode(), 12);
    QTRY_COMPARE_WITH_TIMEOUT(readFile(vexo.path(helper + ".port")), QByteArray("free\n"), 10000);
    QCOMPARE(readFile(vexo.path(helper + ".args")), QByteArray("-r\n"));
}

void tst_VexoProgram::missingHelperKeepsServing()
{
    Installation vexo;
    QVERIFY(vexo.install());
    QVERIFY(writeFile(vexo.path("Vexo_admin"), "not executable"));
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    QCOMPARE(get(vexo.port, "/ajax.html?func=runAsAdministrator").status, 200);
    QCOMPARE(get(vexo.port, "/ajax.html?func=runAutoUpdate").status, 200);
    QTRY_VERIFY(vexo.log().contains("www/root/Vexo_setup is missing or not executable"));
    QVERIFY(vexo.log().contains("Vexo_admin is missing or not executable"));
    QCOMPARE(vexo.process.state(), QProcess::Running);
    QVERIFY(get(vexo.port, "/ajax.html?func=getGeneralInfo").body.startsWith("{\"ver\""));
}

void tst_VexoProgram::handOverWhileAThreadIsBusy_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("runAsAdministrator") << "runAsAdministrator" << 12;
    QTest::newRow("SIGTERM") << "SIGTERM" << 0;
    QTest::newRow("SIGINT") << "SIGINT" << 0;
}

// The thread outlasts the wait for the connection threads (the read time-out and two seconds):
// the program still ends with its own code, and what the thread uses is not taken down under it.
void tst_VexoProgram::handOverWhileAThreadIsBusy()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    Installation vexo;
    QVERIFY(vexo.install(true, "[supportMail]\nhost=127.0.0.1\n"));
    QVERIFY(vexo.addHelper("Vexo_admin"));
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    // A support mail whose tool never ends keeps one connection thread inside the handler.
    QTcpSocket busy;
    busy.connectToHost(QStringLiteral("127.0.0.1"), vexo.port);
    QVERIFY(busy.waitForConnected(5000));
    const QByteArray form = "func=sendEmail&json=" +
                            QByteArray("{\"a\":\"1\",\"b\":\"2\",\"c\":\"3\",\"d\":\"4\",\"e\":\"5\",\"f\":\"6\",\"g\":\"7\"}")
                                .toPercentEncoding();
    busy.write("POST /ajax.html HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
               "Content-Length: " + QByteArray::number(form.size()) + "\r\n\r\n" + form);
    QVERIFY(busy.waitForBytesWritten(5000));
    QTRY_VERIFY(QFile::exists(vexo.path("emailMessage.txt")));
    if (how == "runAsAdministrator")
        get(vexo.port, "/ajax.html?func=runAsAdministrator");
    else
        ::kill(static_cast<pid_t>(vexo.process.processId()), how == "SIGTERM" ? SIGTERM : SIGINT);
    QVERIFY(vexo.ended());
    QVERIFY2(vexo.process.exitStatus() == QProcess::NormalExit, vexo.log().right(3000).constData());
    QCOMPARE(vexo.process.exitCode(), exitCode);
    QVERIFY2(!vexo.log().contains("QMutex: destroying locked mutex"), vexo.log().right(3000).constData());
    QVERIFY(vexo.log().contains("left running"));
    if (exitCode == 12)
        QTRY_COMPARE_WITH_TIMEOUT(readFile(vexo.path("Vexo_admin.args")), QByteArray("-r\n"), 10000);
}

void tst_VexoProgram::exitStopsRunningConversions_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("SIGTERM") << "SIGTERM" << 0;
    QTest::newRow("runAsAdministrator") << "runAsAdministrator" << 12;
    QTest::newRow("runAutoUpdate") << "runAutoUpdate" << 12;
}

// A page that no converter finishes is being converted when the program is told to end: the
// conversion is stopped (its request answers 500), the program ends at once, and it leaves no
// converter process behind, running or unreaped.
void tst_VexoProgram::exitStopsRunningConversions()
{
    QFETCH(QString, how);
    QFETCH(int, exitCode);
    ConverterProcesses::OrphanWatch orphans;
    Installation vexo;
    QVERIFY(vexo.install());
    QVERIFY(vexo.addHelper("Vexo_admin"));
    QVERIFY(vexo.addHelper("www/root/Vexo_setup"));
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    const qint64 program = vexo.process.processId();
    orphans.own(program);
    QProcess conversion;
    conversion.start(QStringLiteral("curl"), {"-s", "-o", "/dev/null", "-w", "%{http_code}", "--max-time", "60",
                                              "--data-urlencode", "filename=deep.pdf", "--data-urlencode",
                                              "fileContent=" + QString::fromLatin1(ConverterProcesses::nestedTables()),
                                              QStringLiteral("http://127.0.0.1:%1/saveFile.html").arg(vexo.port)});
    QVERIFY(conversion.waitForStarted(10000));
    orphans.own(conversion.processId());
    // Seen once is enough: a process on a page may be caught between two time slices.
    bool converting = false;
    QTRY_VERIFY_WITH_TIMEOUT(converting = converting || ConverterProcesses::anyRunning(program), 20000);

    QElapsedTimer clock;
    if (how == "SIGTERM") {
        clock.start();
        ::kill(static_cast<pid_t>(program), SIGTERM);
    } else {
        get(vexo.port, "/ajax.html?func=" + how.toLatin1());
        clock.start();
    }
    QVERIFY(vexo.ended());
    const qint64 took = clock.elapsed();
    QVERIFY2(vexo.process.exitStatus() == QProcess::NormalExit, vexo.log().right(3000).constData());
    QCOMPARE(vexo.process.exitCode(), exitCode);
    // At once: no wait for the connection threads' bound, no quick end past it.
    QVERIFY2(took < 2000, qPrintable(QStringLiteral("%1 ms").arg(took)));
    QVERIFY2(!vexo.log().contains("left running"), vexo.log().right(3000).constData());
    QTRY_COMPARE_WITH_TIMEOUT(conversion.state(), QProcess::NotRunning, 30000);
    QCOMPARE(conversion.readAllStandardOutput(), QByteArray("500"));
    const QStringList left = orphans.named("Vexo");
    QVERIFY2(left.isEmpty(), qPrintable(left.join(", ")));
}

void tst_VexoProgram::firmwareLoaderArguments()
{
    Installation vexo;
    QVERIFY(vexo.install());
    QVERIFY(writeFile(vexo.path("config/Other/Vexo.conf"),
                      "[General]\nSelected_Port=3\nbaudRate=3\nmode=3\nslaveID=1\nTarsek_ID=1234\n"));
    vexo.start({"-r"});
    QTRY_VERIFY_WITH_TIMEOUT(vexo.listening(), 20000);
    // A loader that is missing, or there but no program the system can run, did not start.
    const QByteArray notStarted("{\"error\":\"Unable to start Bootloader!\"}");
    QCOMPARE(get(vexo.port, "/ajax.html?func=runFirmwareUpdater").body, notStarted);
    QVERIFY(writeFile(vexo.path("Bootloader"), "MZ, a program for another system\n", true));
    QCOMPARE(get(vexo.port, "/ajax.html?func=runFirmwareUpdater").body, notStarted);
    QVERIFY(vexo.addHelper("Bootloader"));
    QCOMPARE(get(vexo.port, "/ajax.html?func=runFirmwareUpdater").body, QByteArray("{\"ok\":\"1\"}"));
    QTRY_COMPARE(readFile(vexo.path("Bootloader.args")), QByteArray("2\n2\n6\n1\n1234\n"));
}

QTEST_GUILESS_MAIN(tst_VexoProgram)
#include "tst_VexoProgram.moc"
