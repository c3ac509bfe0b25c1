#include "configurator/MyHttpRequestHandler.h"

#include "../platform/ModbusPeer.h"
#include "../shell/ConverterProcesses.h"
#include "DeviceSearch.h"
#include "HttpListener.h"
#include "PdfConverter.h"
#include "StaticFileController.h"
#include "Updates.h"
#include "VexoHttp.h"
#include "configurator/ModbusEngine.h"

#include <QApplication>
#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <signal.h>

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
    void openFtpWithoutOpener();
    void staticFiles();
    void pdfFromHtml();
    void runawayPdfPageAnswers500();
    void requestGate_data();
    void requestGate();
    void deviceSearch();
    void updaterCalls();

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
    file.write("[listener]\nhost=127.0.0.1\nport=" + QByteArray::number(TestEnv::freeTcpPort()) + "\n[docroot]\npath=" + QFile::encodeName(m_home.filePath("www")) + "\n");
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
    QTest::addColumn<QByteArray>("argument"); // empty: nothing may start
    QTest::newRow("missing") << QByteArray() << QByteArray();
    QTest::newRow("empty") << QByteArray("address=") << QByteArray();
    QTest::newRow("ftp with host") << QByteArray("address=ftp%3A%2F%2F10.0.0.5%2Fdir") << QByteArray("ftp://10.0.0.5/dir");
    QTest::newRow("ftp with user") << QByteArray("address=ftp://user@example.com") << QByteArray("ftp://user@example.com");
    QTest::newRow("blank in the path") << QByteArray("address=ftp%3A%2F%2Fhost%2FMy%20Files")
                                       << QByteArray("ftp://host/My Files");
    QTest::newRow("encoded twice, as the page sends it") << QByteArray("address=ftp%253A%252F%252Fhost%252FMy%2520Files")
                                                         << QByteArray("ftp://host/My Files");
    QTest::newRow("percent sign as the path") << QByteArray("address=ftp%3A%2F%2Fhost%2F%25") << QByteArray("ftp://host/%");
    QTest::newRow("percent sign before a letter") << QByteArray("address=ftp%3A%2F%2Fhost%2F%25zz%20a")
                                                  << QByteArray("ftp://host/%zz a");
    QTest::newRow("shell characters stay one argument")
        << QByteArray("address=ftp%3A%2F%2Fhost:21%2Fa%3Btouch%20x%20%24(id)%20%60id%60%20%26%7C%3E%27%22")
        << QByteArray("ftp://host:21/a;touch x $(id) `id` &|>'\"");
    QTest::newRow("upper-case scheme") << QByteArray("address=FTP%3A%2F%2Fhost%2Fa%20b") << QByteArray("FTP://host/a b");
    QTest::newRow("zero character") << QByteArray("address=ftp%3A%2F%2Fhost%2Fa%2500b") << QByteArray();
    QTest::newRow("ftp without host") << QByteArray("address=ftp%3A%2F%2F%2Fetc") << QByteArray();
    QTest::newRow("ftp with only a user") << QByteArray("address=ftp%3A%2F%2Fuser%40%2Fetc") << QByteArray();
    QTest::newRow("blank in the host") << QByteArray("address=ftp%3A%2F%2Fmy%20host%2Fa") << QByteArray();
    QTest::newRow("ftp without slashes") << QByteArray("address=ftp%3Ahost%2Fa") << QByteArray();
    QTest::newRow("a file") << QByteArray("address=file%3A%2F%2F%2Fetc%2Fpasswd") << QByteArray();
    QTest::newRow("a web page") << QByteArray("address=http://example.com") << QByteArray();
    QTest::newRow("an option") << QByteArray("address=--help") << QByteArray();
    QTest::newRow("a program") << QByteArray("address=%2Fusr%2Fbin%2Fxterm") << QByteArray();
}

void tst_VexoMyHttpRequestHandler::openFtp()
{
    QFETCH(QByteArray, address);
    QFETCH(QByteArray, argument);
    const bool opened = !argument.isEmpty();
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
        QCOMPARE(lines.value(1), argument);
    } else {
        QTest::qWait(50);
        QVERIFY(!QFile::exists(log));
    }
}

// The address is fine but nothing on PATH can open it: the call says so rather than that it
// opened the address.
void tst_VexoMyHttpRequestHandler::openFtpWithoutOpener()
{
    qputenv("PATH", QFile::encodeName(m_home.path()));
    QCOMPARE(post(m_port, "/ajax.html", "func=openFtpInExplorer&address=ftp%3A%2F%2F10.0.0.5%2Fdir").body,
             QByteArray("{\"error\":\"Unable to start xdg-open!\"}"));
}

void tst_VexoMyHttpRequestHandler::staticFiles()
{
    const Reply reply = get(m_port, "/index.html");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.body, QByteArray("<html>vexo</html>"));
    QCOMPARE(get(m_port, "/none.html").status, 404);
}

void tst_VexoMyHttpRequestHandler::pdfFromHtml()
{
    const Reply reply = post(m_port, "/saveFile.html", "filename=report.pdf&fileContent=%3Ch1%3EReport%3C%2Fh1%3E");
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Disposition"), QByteArray("attachment; filename=report.pdf"));
    QCOMPARE(reply.header("Content-type"), QByteArray("application/pdf"));
    QVERIFY(reply.body.startsWith("%PDF-"));
}

void tst_VexoMyHttpRequestHandler::runawayPdfPageAnswers500()
{
    const int limit = 3000;
    PdfConverter::setTimeLimitMs(limit);
    const qint64 self = QCoreApplication::applicationPid();
    Reply reply;
    QElapsedTimer clock;
    const QSet<qint64> running = ConverterProcesses::runningDuring(self, [&] {
        clock.start();
        reply = exchange(m_port, "POST", "/saveFile.html", "Content-Type: application/x-www-form-urlencoded\r\n",
                         "filename=deep.pdf&fileContent=" + ConverterProcesses::nestedTables().toPercentEncoding(),
                         limit + 20000);
    });
    const qint64 took = clock.elapsed();
    PdfConverter::setTimeLimitMs(PdfConverter::DefaultTimeLimitMs);
    const QString stop = ConverterProcesses::notStopped(reply.status, reply.body, took, limit + 10000, running);
    QVERIFY2(stop.isEmpty(), qPrintable(stop));
    QVERIFY(!ConverterProcesses::anyRunning(self));
    // The next report converts as ever.
    const Reply report = post(m_port, "/saveFile.html", "filename=report.pdf&fileContent=%3Cp%3EReport%2042%3C%2Fp%3E");
    QCOMPARE(report.status, 200);
    QTemporaryDir dir;
    QFile file(dir.filePath("report.pdf"));
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(report.body) == report.body.size());
    file.close();
    int code = 0;
    QVERIFY(TestEnv::runTool("pdftotext", {file.fileName(), "-"}, {}, 20000, &code).contains("Report 42"));
}

void tst_VexoMyHttpRequestHandler::requestGate_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<int>("status");
    const QByteArray call = "/ajax.html?func=getGeneralInfo";
    const QByteArray save = "/saveFile.html?filename=a.txt&fileContent=x";
    const QByteArray own = "http://127.0.0.1:" + QByteArray::number(m_port);
    QTest::newRow("call, same origin") << call << "Origin: " + own + "\r\n" << 200;
    QTest::newRow("call, foreign origin") << call << QByteArray("Origin: http://evil.example\r\n") << 403;
    QTest::newRow("call, null origin") << call << QByteArray("Origin: null\r\n") << 403;
    QTest::newRow("call, cross-site fetch") << call << QByteArray("Sec-Fetch-Site: cross-site\r\n") << 403;
    QTest::newRow("call, foreign referer") << call << QByteArray("Referer: http://evil.example/x.html\r\n") << 403;
    QTest::newRow("save page, foreign origin") << save << QByteArray("Origin: http://evil.example\r\n") << 403;
    QTest::newRow("load page, cross-site fetch") << QByteArray("/loadFile.html") << QByteArray("Sec-Fetch-Site: cross-site\r\n")
                                                 << 403;
    QTest::newRow("static file, cross-site fetch") << QByteArray("/index.html") << QByteArray("Sec-Fetch-Site: cross-site\r\n")
                                                   << 200;
    QTest::newRow("static file, foreign host") << QByteArray("/index.html") << QByteArray("X-Host: rebinding\r\n") << 403;
}

void tst_VexoMyHttpRequestHandler::requestGate()
{
    QFETCH(QByteArray, target);
    QFETCH(QByteArray, headers);
    QFETCH(int, status);
    QSignalSpy admin(m_handler.get(), &MyHttpRequestHandler::runAutoUpdate);
    Reply reply;
    if (headers.startsWith("X-Host")) {
        // Only the Host header differs: a name that is no loopback name.
        QTcpSocket socket;
        socket.connectToHost(QStringLiteral("127.0.0.1"), m_port);
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET " + target + " HTTP/1.1\r\nHost: rebind.example:" + QByteArray::number(m_port) +
                     "\r\nConnection: close\r\n\r\n");
        QByteArray raw;
        QTRY_VERIFY((raw += socket.readAll()).contains("\r\n\r\n") && socket.state() == QAbstractSocket::UnconnectedState);
        reply.status = raw.mid(9, 3).toInt();
        reply.body = raw.mid(raw.indexOf("\r\n\r\n") + 4);
    } else {
        reply = get(m_port, target, headers);
    }
    QCOMPARE(reply.status, status);
    if (status == 403)
        QCOMPARE(reply.body, QByteArray("403 forbidden"));
    // A refused hand-over call changes nothing.
    if (status == 403 && target.startsWith("/ajax.html")) {
        QCOMPARE(get(m_port, "/ajax.html?func=runAutoUpdate", headers).status, 403);
        QTest::qWait(20);
        QCOMPARE(admin.count(), 0);
    }
}

void tst_VexoMyHttpRequestHandler::deviceSearch()
{
    QTemporaryDir dir;
    QFile helper(dir.filePath("Pellaris"));
    QVERIFY(helper.open(QIODevice::WriteOnly));
    helper.write("#!/bin/sh\necho $$ >> \"$(dirname \"$0\")/helper.log\"\nexec sleep 300\n");
    helper.close();
    helper.setPermissions(helper.permissions() | QFileDevice::ExeOwner);
    PeerProcess responder;
    QVERIFY(responder.startPython(TestEnv::testFile("peers/udp_responder.py"),
                                  {"--reply", "Meter\\n00:11:22:33:44:55\\n502\\n7\\n"}));
    DeviceFinder::Target target;
    target.address = QHostAddress(QHostAddress::LocalHost);
    target.port = quint16(responder.readyWords().value(0).toUInt());
    target.helper = helper.fileName();
    m_handler->deviceSearch()->setTarget(target);

    QCOMPARE(get(m_port, "/ajax.html?func=getSearchedDevices").body, QByteArray());
    QCOMPARE(get(m_port, "/ajax.html?func=startSearchingDevices").body, QByteArray("ok"));
    auto pids = [&dir] {
        QFile log(dir.filePath("helper.log"));
        return log.open(QIODevice::ReadOnly) ? log.readAll().split('\n') : QList<QByteArray>();
    };
    QTRY_COMPARE(pids().size(), 2);
    const qint64 first = pids().value(0).toLongLong();
    // A new search ends the previous one and its helper.
    QCOMPARE(get(m_port, "/ajax.html?func=startSearchingDevices").body, QByteArray("ok"));
    QTRY_COMPARE(pids().size(), 3);
    QTRY_VERIFY(::kill(pid_t(first), 0) != 0);
    QTRY_VERIFY(m_handler->deviceSearch()->datagramsRead() >= 1);
    QCOMPARE(get(m_port, "/ajax.html?func=getSearchedDevices").body,
             QByteArray("[{\"name\":\"Meter\",\"ip\":\"127.0.0.1\",\"port\":\"502\",\"mac\":\"00:11:22:33:44:55\","
                        "\"modbusid\":\"7\"}]"));
    QTRY_VERIFY(::kill(pid_t(pids().value(1).toLongLong()), 0) != 0);
    QCOMPARE(get(m_port, "/ajax.html?func=getSearchedDevices").body, QByteArray());
}

void tst_VexoMyHttpRequestHandler::updaterCalls()
{
    // Without an update server the updater answers with its own texts; the handler passes them on.
    const QByteArray status = ajax("func=getUpdateStatus");
    QCOMPARE(status, m_handler->updates()->getUpdateStatus());
    QVERIFY(!post(m_port, "/ajax.html", "func=check4Updates&json=%7B%7D").body.isEmpty());
    QVERIFY(!post(m_port, "/ajax.html", "func=startUpdating").body.isEmpty());
}

// The handler served in-process converts in converter processes of this test program.
CONVERTER_TEST_MAIN(tst_VexoMyHttpRequestHandler)
#include "tst_VexoMyHttpRequestHandler.moc"
