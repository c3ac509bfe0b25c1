#include "configurator/Creator.h"

#include "HttpListener.h"
#include "TestEnv.h"
#include "TrayMenu.h"
#include "VexoHttp.h"

#include <QApplication>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

using vexo::Creator;

// The start-up object in this process: Quit from the tray closes the port and ends the event
// loop with 0.
class tst_VexoCreator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void quitClosesThePortAndEndsWithZero();

private:
    QTemporaryDir m_home;
};

void tst_VexoCreator::initTestCase()
{
    QVERIFY(m_home.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QDir::setCurrent(m_home.path());
    QCoreApplication::setOrganizationName("Other");
    QCoreApplication::setApplicationName("Vexo");
}

void tst_VexoCreator::quitClosesThePortAndEndsWithZero()
{
    const quint16 port = TestEnv::freeTcpPort();
    QFile config(m_home.filePath("config.ini"));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(port) + "\n[docroot]\npath=" +
                 QFile::encodeName(m_home.path()) + "\n");
    config.close();
    auto *creator = new Creator(config.fileName(), true, qApp);
    QVERIFY(creator->listener() && creator->listener()->isListening());
    QVERIFY(VexoHttp::get(port, "/ajax.html?func=getGeneralInfo").body.startsWith("{\"ver\""));

    QTimer::singleShot(0, creator->trayMenu(), [creator] { emit creator->trayMenu()->exitApp(); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(!creator->listener());
    QTcpServer again;
    QVERIFY(again.listen(QHostAddress::LocalHost, port));
    delete creator;
}

QTEST_MAIN(tst_VexoCreator)
#include "tst_VexoCreator.moc"
