#include "HttpRequest.h"
#include "HttpResponse.h"
#include "RequestGate.h"

#include <QBuffer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

namespace {

// A complete request with the given header lines.
void parse(HttpRequest &request, const QByteArray &headers)
{
    QBuffer buffer;
    buffer.setData("GET /ajax.html?func=getAppState HTTP/1.1\r\n" + headers + "\r\n");
    buffer.open(QIODevice::ReadOnly);
    while (buffer.bytesAvailable() > 0 && request.getStatus() != HttpRequest::complete
           && request.getStatus() != HttpRequest::aborted)
        request.readFromSocket(&buffer);
}

} // namespace

class tst_RequestGate : public QObject
{
    Q_OBJECT
private slots:
    void decision_data();
    void decision();
    void refusalReply();
};

void tst_RequestGate::decision_data()
{
    QTest::addColumn<QByteArray>("headers");
    QTest::addColumn<QString>("listenerHost");
    QTest::addColumn<bool>("staticFile");
    QTest::addColumn<bool>("allowed");

    const QString lo = QStringLiteral("127.0.0.1");
    const QString any;
    const QByteArray host = "Host: 127.0.0.1:8080\r\n";
    QTest::newRow("no headers at all (curl without Host)") << QByteArray() << lo << false << true;
    QTest::newRow("Host only") << host << lo << false << true;
    QTest::newRow("Sec-Fetch-Site same-origin") << host + "Sec-Fetch-Site: same-origin\r\n" << lo << false << true;
    QTest::newRow("Sec-Fetch-Site none (typed address)") << host + "Sec-Fetch-Site: none\r\n" << lo << false << true;
    QTest::newRow("Sec-Fetch-Site cross-site") << host + "Sec-Fetch-Site: cross-site\r\n" << lo << false << false;
    QTest::newRow("Sec-Fetch-Site same-site") << host + "Sec-Fetch-Site: same-site\r\n" << lo << false << false;
    QTest::newRow("Origin own") << host + "Origin: http://127.0.0.1:8080\r\n" << lo << false << true;
    QTest::newRow("Origin own, letters differ") << QByteArray("Host: LocalHost:8080\r\nOrigin: http://localhost:8080\r\n") << lo << false << true;
    QTest::newRow("Origin other port") << host + "Origin: http://127.0.0.1:8081\r\n" << lo << false << false;
    QTest::newRow("Origin other host") << host + "Origin: http://evil.example\r\n" << lo << false << false;
    QTest::newRow("Origin other scheme") << host + "Origin: https://127.0.0.1:8080\r\n" << lo << false << false;
    QTest::newRow("Origin null") << host + "Origin: null\r\n" << lo << false << false;
    QTest::newRow("Origin default port vs Host without port") << QByteArray("Host: localhost\r\nOrigin: http://localhost\r\n") << lo << false << true;
    QTest::newRow("Origin without Host: listener address") << QByteArray("Origin: http://127.0.0.1:8080\r\n") << lo << false << true;
    QTest::newRow("Origin without Host: other") << QByteArray("Origin: http://127.0.0.2:8080\r\n") << lo << false << false;
    QTest::newRow("Referer own") << host + "Referer: http://127.0.0.1:8080/views.html?x=1\r\n" << lo << false << true;
    QTest::newRow("Referer foreign") << host + "Referer: http://evil.example/page.html\r\n" << lo << false << false;
    QTest::newRow("Referer foreign behind own Origin")
        << host + "Origin: http://127.0.0.1:8080\r\nReferer: http://evil.example/\r\n" << lo << false << false;
    QTest::newRow("header names in lower case") << host + "origin: http://evil.example\r\n" << lo << false << false;
    QTest::newRow("second Origin foreign")
        << host + "Origin: http://127.0.0.1:8080\r\nOrigin: http://evil.example\r\n" << lo << false << false;
    QTest::newRow("static file: cross-site allowed")
        << host + "Sec-Fetch-Site: cross-site\r\nOrigin: http://evil.example\r\n" << lo << true << true;
    // DNS rebinding: a loopback listener answers only loopback names, files included.
    QTest::newRow("Host foreign name") << QByteArray("Host: evil.example:8080\r\n") << lo << false << false;
    QTest::newRow("Host foreign name, static file") << QByteArray("Host: evil.example:8080\r\n") << lo << true << false;
    QTest::newRow("Host localhost upper case") << QByteArray("Host: LOCALHOST\r\n") << lo << false << true;
    QTest::newRow("Host 127.5.6.7") << QByteArray("Host: 127.5.6.7:8080\r\n") << lo << false << true;
    QTest::newRow("Host [::1]") << QByteArray("Host: [::1]:8080\r\n") << lo << false << true;
    QTest::newRow("Host 127.0.0.1.evil.example") << QByteArray("Host: 127.0.0.1.evil.example\r\n") << lo << true << false;
    QTest::newRow("Host localhost.evil.example") << QByteArray("Host: localhost.evil.example\r\n") << lo << true << false;
    QTest::newRow("Host with bad port") << QByteArray("Host: localhost:80x\r\n") << lo << true << false;
    QTest::newRow("Host foreign, listener on every address") << QByteArray("Host: box.lan:8080\r\n") << any << false << true;
    QTest::newRow("Host foreign, listener on localhost") << QByteArray("Host: box.lan:8080\r\n") << QStringLiteral("localhost") << false << false;
    QTest::newRow("listener on every address: own Origin by Host")
        << QByteArray("Host: box.lan:8080\r\nOrigin: http://box.lan:8080\r\n") << any << false << true;
}

void tst_RequestGate::decision()
{
    QFETCH(QByteArray, headers);
    QFETCH(QString, listenerHost);
    QFETCH(bool, staticFile);
    QFETCH(bool, allowed);
    HttpRequest request(16000, 1000000);
    parse(request, headers);
    QCOMPARE(request.getStatus(), HttpRequest::complete);
    QCOMPARE(RequestGate::allows(request, listenerHost, 8080, staticFile), allowed);
}

void tst_RequestGate::refusalReply()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    QTcpSocket client;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    QVERIFY(server.waitForNewConnection(5000));
    QTcpSocket *serverSide = server.nextPendingConnection();
    QVERIFY(client.waitForConnected(5000));

    HttpRequest own(16000, 1000000);
    parse(own, "Host: 127.0.0.1:8080\r\nOrigin: http://127.0.0.1:8080\r\n");
    HttpResponse untouched(serverSide);
    QVERIFY(RequestGate::admit(own, untouched, QStringLiteral("127.0.0.1"), 8080, false));
    QVERIFY(!untouched.hasSentLastPart());

    HttpRequest foreign(16000, 1000000);
    parse(foreign, "Host: 127.0.0.1:8080\r\nSec-Fetch-Site: cross-site\r\n");
    HttpResponse response(serverSide);
    QVERIFY(!RequestGate::admit(foreign, response, QStringLiteral("127.0.0.1"), 8080, false));
    QVERIFY(response.hasSentLastPart());
    QByteArray received;
    QTRY_VERIFY_WITH_TIMEOUT((received += client.readAll()).endsWith("\r\n\r\n403 forbidden"), 5000);
    QVERIFY2(received.startsWith("HTTP/1.1 403 forbidden\r\n"), received.constData());
}

QTEST_GUILESS_MAIN(tst_RequestGate)
#include "tst_RequestGate.moc"
