#include "configurator/MyHttpRequestHandler.h"

#include "../platform/ModbusPeer.h"
#include "HttpListener.h"
#include "StaticFileController.h"
#include "VexoHttp.h"
#include "configurator/ModbusEngine.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using vexo::MyHttpRequestHandler;
using namespace VexoHttp;

class tst_VexoMyHttpRequestHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void callPointWithoutACall_data();
    void callPointWithoutACall();
    void fixedReplies();
    void modbusCallsThroughHttp();
    void busyEngineGivesAnEmptyReply();
    void handOverSignals();
    void saveFile_data();
    void saveFile();
    void loadFile();
    void openFtp_data();
    void openFtp();
    void staticFiles();

private:
    QByteArray ajax(const QByteArray &query) { return get(m_port, "/ajax.html?" + query).body; }

    QTemporaryDir m_home;
    QTemporaryDir m_fakes;
    std::unique_ptr<QSettings> m_docroot;
    std::unique_ptr<QSettings> m_listenerSettings;
    std::unique_ptr<StaticFileController> m_staticFiles;
    std::unique_ptr<MyHttpRequestHandler> m_handler;
    std::unique_ptr<HttpListener> m_listener;
    quint16 m_port = 0;
    PeerProcess m_modbus;
    QByteArray m_path;
};

void tst_VexoMyHttpRequestHandler::initTestCase()
{
    QVERIFY(m_home.isValid() && m_fakes.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QDir::setCurrent(m_home.path());
    QCoreApplication::setOrganizationName("Other");
    QCoreApplication::setApplicationName("Vexo");
    vexo::ModbusEngine::setRequestPauseMs(0);
    m_path = qgetenv("PATH");

    QVERIFY(QDir(m_home.path()).mkpath("www"));
    QFile index(m_home.filePath("www/index.html"));
    QVERIFY(index.open(QIODevice::WriteOnly));
    index.write("<html>vexo</html>");
    index.close();
    const QString config = m_home.filePath("config.ini");
    QFile file(config);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("[listener]\nhost=127.0.0.1\nport=0\n[docroot]\npath=" + QFile::encodeName(m_home.filePath("www")) + "\n");
    file.close();
    m_docroot = std::make_unique<QSettings>(config, QSettings::IniFormat);
    m_docroot->beginGroup("docroot");
    m_staticFiles = std::make_unique<StaticFileController>(m_docroot.get());
    m_handler = std::make_unique<MyHttpRequestHandler>(m_staticFiles.get(), m_docroot.get());
    m_listenerSettings = std::make_unique<QSettings>(config, QSettings::IniFormat);
    m_listenerSettings->beginGroup("listener");
    m_listener = std::make_unique<HttpListener>(m_listenerSettings.get(), m_handler.get());
    QVERIFY(m_listener->isListening());
    m_port = m_listener->serverPort();

    QFile fake(m_fakes.filePath("xdg-open"));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write("#!/bin/sh\nprintf '%s\\n' \"$#\" \"$@\" >> \"$(dirname \"$0\")/xdg-open.log\"\n");
    fake.close();
    fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);

    QVERIFY(m_modbus.startPython(TestEnv::testFile("peers/modbus_server.py"),
                                 {"--table", "{\"1\": {\"hr\": {\"0\": [10, 11, 12, 13]}}}"}));
}

void tst_VexoMyHttpRequestHandler::cleanupTestCase()
{
    m_listener.reset();
    m_handler.reset();
}

void tst_VexoMyHttpRequestHandler::init()
{
    qputenv("PATH", m_path);
    m_handler->setModbusLockWaitMs(MyHttpRequestHandler::ModbusLockWaitMs);
}

void tst_VexoMyHttpRequestHandler::callPointWithoutACall_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("no func") << QByteArray("/ajax.html");
    QTest::newRow("empty func") << QByteArray("/ajax.html?func=");
    QTest::newRow("letter case differs") << QByteArray("/ajax.html?func=GetPortSettings");
    QTest::newRow("unknown") << QByteArray("/ajax.html?func=dropTables");
    QTest::newRow("path holding the page name") << QByteArray("/x/ajax.html.bak?func=nothing");
}

void tst_VexoMyHttpRequestHandler::callPointWithoutACall()
{
    QFETCH(QByteArray, target);
    const Reply reply = get(m_port, target);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
    QCOMPARE(reply.body, QByteArray());
    QCOMPARE(reply.header("Content-Length"), QByteArray("0"));
}

void tst_VexoMyHttpRequestHandler::fixedReplies()
{
    QVERIFY(ajax("func=getGeneralInfo").startsWith("{\"ver\":\"0.3.4\","));
    QCOMPARE(ajax("func=getListOfInstalledModules"), QByteArray("{\"modules\":{}}"));
    QCOMPARE(post(m_port, "/ajax.html", "func=sendEmail").body, QByteArray("{\"error\":\"Parameter error!\"}"));
}

void tst_VexoMyHttpRequestHandler::modbusCallsThroughHttp()
{
    const QByteArray port = m_modbus.readyWords().value(0).toLatin1();
    QCOMPARE(post(m_port, "/ajax.html",
                  "func=connect&connType=tcp&ipAddres_tcp=127.0.0.1&slaveID=1&timeout=1000&port_tcp=" + port)
                 .body,
             QByteArray("{\"ok\":\"Connected with Modbus TCP.\"}"));
    QCOMPARE(ajax("func=readRegisters&regAddr=1&valuesCnt=3"), QByteArray("[11,12,13]"));
    QCOMPARE(post(m_port, "/ajax.html", "func=writeRegisters&regAddr=0&valuesCnt=2&regVals=%255B7%252C-1%255D").body,
             QByteArray("{\"ok\":\"Values successfully sent.\"}"));
    QCOMPARE(ModbusPeer::ask(m_modbus, "GET 1 hr 0 2", "VALUE"), (QStringList{"7", "65535"}));
    QVERIFY(!QJsonDocument::fromJson(ajax("func=getPortSettings")).isNull());
    QCOMPARE(ajax("func=disconnect"), QByteArray("{\"ok\":\"Disconnected\"}"));
    QCOMPARE(ajax("func=identifySlave"), QByteArray("{\"error\":\"Not connected\"}"));
}

void tst_VexoMyHttpRequestHandler::busyEngineGivesAnEmptyReply()
{
    m_handler->setModbusLockWaitMs(300);
    m_handler->modbusLock().lock();
    for (const QByteArray call : {"getPortSettings", "connect", "disconnect", "readRegisters", "writeRegisters",
                                  "identifySlave"}) {
        const Reply reply = get(m_port, "/ajax.html?func=" + call);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.body, QByteArray());
    }
    // Calls without the engine go on meanwhile.
    QCOMPARE(ajax("func=getListOfInstalledModules"), QByteArray("{\"modules\":{}}"));
    m_handler->modbusLock().unlock();
    QVERIFY(ajax("func=getPortSettings").startsWith("{\"ports\":"));
}

void tst_VexoMyHttpRequestHandler::handOverSignals()
{
    QSignalSpy admin(m_handler.get(), &MyHttpRequestHandler::restartAppAsAdmin);
    QSignalSpy update(m_handler.get(), &MyHttpRequestHandler::runAutoUpdate);
    QCOMPARE(ajax("func=runAsAdministrator"), QByteArray());
    QTRY_COMPARE(admin.count(), 1);
    QCOMPARE(ajax("func=runAutoUpdate"), QByteArray());
    QTRY_COMPARE(update.count(), 1);
    QCOMPARE(admin.count(), 1);
}

void tst_VexoMyHttpRequestHandler::saveFile_data()
{
    QTest::addColumn<QByteArray>("form");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("disposition");
    QTest::addColumn<QByteArray>("type");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("content back as a download") << QByteArray("filename=a b.txt&fileContent=x%3Dy%0Az") << QByteArray()
                                               << 200 << QByteArray("attachment; filename=a b.txt") << QByteArray()
                                               << QByteArray("x=y\nz");
    QTest::newRow("capital PDF is no PDF") << QByteArray("filename=REPORT.PDF&fileContent=<p>hi</p>") << QByteArray()
                                           << 200 << QByteArray("attachment; filename=REPORT.PDF") << QByteArray()
                                           << QByteArray("<p>hi</p>");
    QTest::newRow("only filename") << QByteArray("filename=a.txt") << QByteArray() << 400 << QByteArray() << QByteArray()
                                   << QByteArray();
    QTest::newRow("only content") << QByteArray("fileContent=a") << QByteArray() << 400 << QByteArray() << QByteArray()
                                  << QByteArray();
    QTest::newRow("line feed in the name") << QByteArray("filename=a%0Ab.html&fileContent=<script>1</script>")
                                           << QByteArray() << 400 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("carriage return in the name") << QByteArray("filename=a%0D.html&fileContent=<b>x</b>") << QByteArray()
                                                 << 400 << QByteArray() << QByteArray() << QByteArray();
    QTest::newRow("zero byte in the name") << QByteArray("filename=a%00.html&fileContent=<b>x</b>") << QByteArray() << 400
                                           << QByteArray() << QByteArray() << QByteArray();
}

void tst_VexoMyHttpRequestHandler::saveFile()
{
    QFETCH(QByteArray, form);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QFETCH(QByteArray, disposition);
    QFETCH(QByteArray, type);
    QFETCH(QByteArray, body);
    const Reply reply = post(m_port, "/saveFile.html", form, headers);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.header("Content-Disposition"), disposition);
    QCOMPARE(reply.body, body);
    if (!type.isEmpty())
        QCOMPARE(reply.header("Content-type"), type);
}

void tst_VexoMyHttpRequestHandler::loadFile()
{
    const QByteArray boundary = "b0undary";
    const QByteArray body = "--" + boundary +
                            "\r\nContent-Disposition: form-data; name=\"uploadedfile\"; filename=\"cfg.txt\"\r\n"
                            "Content-Type: application/octet-stream\r\n\r\nline 1\r\nline 2\x01\r\n--" +
                            boundary + "--\r\n";
    const Reply reply = exchange(m_port, "POST", "/loadFile.html",
                                 "Content-Type: multipart/form-data; boundary=" + boundary + "\r\n", body);
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-type"), QByteArray("text/plain"));
    QCOMPARE(reply.body, QByteArray("line 1\r\nline 2\x01"));
    const Reply missing = post(m_port, "/loadFile.html", "uploadedfile=x");
    QCOMPARE(missing.status, 400);
    QCOMPARE(missing.body, QByteArray());
}

void tst_VexoMyHttpRequestHandler::openFtp_data()
{
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<bool>("opened");
    QTest::newRow("missing") << QByteArray() << false;
    QTest::newRow("empty") << QByteArray("address=") << false;
    QTest::newRow("ftp with host") << QByteArray("address=ftp%3A%2F%2F10.0.0.5%2Fdir") << true;
    QTest::newRow("ftp with user") << QByteArray("address=ftp://user@example.com") << true;
    QTest::newRow("ftp without host") << QByteArray("address=ftp%3A%2F%2F%2Fetc") << false;
    QTest::newRow("a file") << QByteArray("address=file%3A%2F%2F%2Fetc%2Fpasswd") << false;
    QTest::newRow("a web page") << QByteArray("address=http://example.com") << false;
    QTest::newRow("an option") << QByteArray("address=--help") << false;
    QTest::newRow("a program") << QByteArray("address=%2Fusr%2Fbin%2Fxterm") << false;
}

void tst_VexoMyHttpRequestHandler::openFtp()
{
    QFETCH(QByteArray, address);
    QFETCH(bool, opened);
    const QString log = m_fakes.filePath("xdg-open.log");
    QFile::remove(log);
    qputenv("PATH", QFile::encodeName(m_fakes.path()) + ':' + m_path);
    QCOMPARE(post(m_port, "/ajax.html", "func=openFtpInExplorer&" + address).body,
             opened ? QByteArray("{\"ok\":\"FTP opened\"}") : QByteArray("{\"error\":\"Parameter error!\"}"));
    if (opened) {
        auto contents = [&log] {
            QFile file(log);
            return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        };
        QTRY_COMPARE(contents().count('\n'), 2);
        const QList<QByteArray> lines = contents().split('\n');
        QCOMPARE(lines.value(0), QByteArray("1"));
        QCOMPARE(lines.value(1), QByteArray::fromPercentEncoding(address.mid(8)));
    } else {
        QTest::qWait(50);
        QVERIFY(!QFile::exists(log));
    }
}

void tst_VexoMyHttpRequestHandler::staticFiles()
{
    const Reply reply = get(m_port, "/index.html");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("<html>vexo</html>"));
    QCOMPARE(get(m_port, "/none.html").status, 404);
}

QTEST_MAIN(tst_VexoMyHttpRequestHandler)
#include "tst_VexoMyHttpRequestHandler.moc"
