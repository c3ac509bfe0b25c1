#include "configurator/ModbusEngine.h"
#include "configurator/SystemFun.h"

#include "../platform/ModbusPeer.h"
#include "../shell/ConverterProcesses.h"
#include "PdfConverter.h"
#include "TestEnv.h"
#include "VexoHttp.h"
#include "WorkerProcess.h"

#include <QProcess>
#include <QSettings>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

using vexo::SystemFun;

class tst_VexoSystemFun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void generalInformation();
    void loaderArguments_data();
    void loaderArguments();
    void loaderPortOfAConnectedDevice();
    void programStopsARunawayPdfPage();

private:
    QTemporaryDir m_home;
};

void tst_VexoSystemFun::initTestCase()
{
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QCoreApplication::setOrganizationName("Other");
    QCoreApplication::setApplicationName("Vexo");
}

void tst_VexoSystemFun::init()
{
    QSettings().clear();
    QSettings().sync();
}

void tst_VexoSystemFun::generalInformation()
{
    QCOMPARE(SystemFun().getGeneralInfo(),
             QByteArray("{\"ver\":\"0.3.4\",\"canUpdate\":0,\"canAddNewModules\":0,\"canUpdateFirmware\":0,"
                        "\"canSendMailReport\":0,\"canAutoUpdateModules\":1, \"copy\":\"<img "
                        "src=\\\"images/min_logo_ulv.jpg\\\" style=\\\"width: 100px; margin-top: 5px;\\\">\", "
                        "\"langList\":[\"EN\"],\"osType\":\"other\"}"));
}

void tst_VexoSystemFun::loaderArguments_data()
{
    QTest::addColumn<QVariantList>("saved"); // Selected_Port, baudRate, mode, slaveID, Tarsek_ID; invalid: absent
    QTest::addColumn<QStringList>("args");
    QTest::newRow("nothing saved") << QVariantList{QVariant(), QVariant(), QVariant(), QVariant(), QVariant()}
                                   << QStringList{"-1", "2", "3", "0", "0"};
    QTest::newRow("port 3, 9600, mode 3") << QVariantList{"3", 3, 3, 1, "1234"} << QStringList{"2", "2", "6", "1", "1234"};
    QTest::newRow("230400 has no code") << QVariantList{"1", 8, 0, 247, "5"} << QStringList{"0", "2", "3", "247", "5"};
    QTest::newRow("115200") << QVariantList{"12", 7, 1, 2, "5"} << QStringList{"11", "9", "4", "2", "5"};
    QTest::newRow("2400") << QVariantList{"1", 1, 2, 2, "5"} << QStringList{"0", "0", "5", "2", "5"};
    QTest::newRow("index out of the list") << QVariantList{"1", 11, 0, 1, "5"} << QStringList{"0", "2", "3", "1", "5"};
}

void tst_VexoSystemFun::loaderArguments()
{
    QFETCH(QVariantList, saved);
    QFETCH(QStringList, args);
    QSettings settings;
    const QStringList keys{"Selected_Port", "baudRate", "mode", "slaveID", "Tarsek_ID"};
    for (int i = 0; i < keys.size(); ++i)
        if (saved.at(i).isValid())
            settings.setValue(keys.at(i), saved.at(i));
    settings.sync();
    QCOMPARE(SystemFun().firmwareUpdaterArgs(), args);
}

void tst_VexoSystemFun::loaderPortOfAConnectedDevice()
{
    // The port a device was last connected on gives the loader its number: ttyV7 gives 7.
    QTemporaryDir dir;
    ModbusPeer::PtyPair pty;
    QVERIFY(pty.start(dir.path(), "ttyV7", "other"));
    qputenv("EXTRA_SERIAL_PORTS", QFile::encodeName(pty.a));
    vexo::ModbusEngine engine;
    t_GetArray params;
    for (const auto &p : QList<QPair<QByteArray, QByteArray>>{{"func", "connect"}, {"connType", "serial"},
                                                              {"portSelect", QFile::encodeName(pty.a)}, {"slaveID", "3"},
                                                              {"baudRate", "6"}, {"mode", "1"}, {"timeout", "500"}})
        params.insert(p.first, p.second);
    QCOMPARE(engine.connectModbus(params), QByteArray("{\"ok\":\"Connected with serial port.\"}"));
    QCOMPARE(SystemFun().firmwareUpdaterArgs(), (QStringList{"6", "7", "4", "3", "0"}));
    qunsetenv("EXTRA_SERIAL_PORTS");
}

void tst_VexoSystemFun::programStopsARunawayPdfPage()
{
    // The program itself, with its own converter processes and the bound it ships with.
    QTemporaryDir dir;
    const QString program = dir.filePath("Vexo");
    QVERIFY(QFile::copy(TestEnv::binaryDir() + QStringLiteral("/Vexo"), program));
    QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFileDevice::ExeOwner));
    const quint16 port = TestEnv::freeTcpPort();
    QFile config(dir.filePath("config.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port) + "\n[docroot]\npath=www\n");
    config.close();
    QVERIFY(QDir(dir.path()).mkpath("www"));
    QProcess vexo;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
    env.insert("QT_QPA_PLATFORM", "offscreen");
    vexo.setProcessEnvironment(env);
    vexo.setProcessChannelMode(QProcess::ForwardedChannels);
    vexo.start(program, {"-r"}); // a restarted program opens no browser
    QVERIFY(vexo.waitForStarted(10000));
    const auto listening = [port] {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), port);
        return probe.waitForConnected(200);
    };
    QTRY_VERIFY_WITH_TIMEOUT(listening(), 20000);
    const qint64 pid = vexo.processId();

    VexoHttp::Reply reply;
    QElapsedTimer clock;
    const QSet<qint64> running = ConverterProcesses::runningDuring(pid, [&] {
        clock.start();
        reply = VexoHttp::exchange(port, "POST", "/saveFile.html", "Content-Type: application/x-www-form-urlencoded\r\n",
                                   "filename=deep.pdf&fileContent=" + ConverterProcesses::nestedTables().toPercentEncoding(),
                                   PdfConverter::DefaultTimeLimitMs + 20000);
    });
    const qint64 took = clock.elapsed();
    const QString stop =
        ConverterProcesses::notStopped(reply.status, reply.body, took, PdfConverter::DefaultTimeLimitMs + 10000, running);
    QVERIFY2(stop.isEmpty(), qPrintable(stop));
    // No thread of the program goes on with the page either.
    QTRY_VERIFY_WITH_TIMEOUT(!ConverterProcesses::threadsRunning(pid), 10000);

    const VexoHttp::Reply report =
        VexoHttp::post(port, "/saveFile.html", "filename=report.pdf&fileContent=%3Cp%3EReport%2042%3C%2Fp%3E");
    QCOMPARE(report.status, 200);
    QFile file(dir.filePath("report.pdf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(report.body) == report.body.size());
    file.close();
    int code = 0;
    QVERIFY(TestEnv::runTool("pdftotext", {file.fileName(), "-"}, {}, 20000, &code).contains("Report 42"));
    const QList<ConverterProcesses::Process> kept = ConverterProcesses::of(pid);
    QCOMPARE(kept.size(), 1);
    if (WorkerProcess::memoryLimitApplies())
        QCOMPARE(ConverterProcesses::addressSpaceLimit(kept.first().pid), QByteArray::number(PdfConverter::MemoryLimitBytes));
    vexo.terminate();
    QVERIFY(vexo.waitForFinished(30000));
    QCOMPARE(vexo.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!ConverterProcesses::exists(kept.first().pid), 10000);
}

QTEST_GUILESS_MAIN(tst_VexoSystemFun)
#include "tst_VexoSystemFun.moc"
