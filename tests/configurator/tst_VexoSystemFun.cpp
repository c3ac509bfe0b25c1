#include "configurator/ModbusEngine.h"
#include "configurator/SystemFun.h"

#include "../platform/ModbusPeer.h"

#include <QSettings>
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

QTEST_GUILESS_MAIN(tst_VexoSystemFun)
#include "tst_VexoSystemFun.moc"
