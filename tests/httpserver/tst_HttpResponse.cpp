#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>

#include <functional>

namespace {

using Steps = std::function<void(HttpResponse &)>;

// Remembers every block handed to the socket, to see which pieces go out together.
class RecordingSocket : public QTcpSocket
{
public:
    QList<QByteArray> writes;

protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        writes << QByteArray(data, int(size));
        return QTcpSocket::writeData(data, size);
    }
};

class RecordingServer : public QTcpServer
{
public:
    RecordingSocket *accepted = nullptr;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        accepted = new RecordingSocket;
        accepted->setParent(this);
        accepted->setSocketDescriptor(descriptor);
    }
};

// A connected pair on loopback: the response writes on the server side, the test reads the
// client side.
struct SocketPair
{
    RecordingServer server;
    QTcpSocket client;
    RecordingSocket *serverSide = nullptr;
    QByteArray received;

    bool open()
    {
        if (!server.listen(QHostAddress::LocalHost, 0))
            return false;
        client.connectToHost(QHostAddress::LocalHost, server.serverPort());
        if (!server.waitForNewConnection(5000) || !server.accepted)
            return false;
        serverSide = server.accepted;
        return client.waitForConnected(5000);
    }
    QByteArray readAll()
    {
        received.append(client.readAll());
        return received;
    }
};

QByteArray requestOf(const QByteArray &bytes, HttpRequest &request)
{
    QBuffer buffer;
    buffer.setData(bytes);
    buffer.open(QIODevice::ReadOnly);
    request.readFromSocket(&buffer);
    return request.getMethod();
}

} // namespace

Q_DECLARE_METATYPE(Steps)

class tst_HttpResponse : public QObject
{
    Q_OBJECT
private slots:
    void wireBytes_data();
    void wireBytes();
    void headerTravelsWithFirstPiece_data();
    void headerTravelsWithFirstPiece();
    void adaptedToRequest_data();
    void adaptedToRequest();
    void pieceAndEndInOneWrite_data();
    void pieceAndEndInOneWrite();
    void defaultHandlerAnswers501();
    void stalledReaderAbortsTheConnection_data();
    void stalledReaderAbortsTheConnection();
};

void tst_HttpResponse::wireBytes_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("closes");

    QTest::newRow("nothing written")
        << Steps([](HttpResponse &) {}) << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n")
        << false;
    QTest::newRow("one last part")
        << Steps([](HttpResponse &r) { r.write("hello", true); })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello") << false;
    QTest::newRow("two parts chunked")
        << Steps([](HttpResponse &r) {
               r.write("abc");
               r.write(QByteArray(26, 'z'), true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n1a\r\n"
                      + QByteArray(26, 'z') + "\r\n0\r\n\r\n")
        << false;
    QTest::newRow("chunked ended by the connection side")
        << Steps([](HttpResponse &r) { r.write("abc"); })
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nabc\r\n0\r\n\r\n")
        << false;
    QTest::newRow("empty part writes no chunk")
        << Steps([](HttpResponse &r) {
               r.write("a");
               r.write("");
               r.write("b");
           })
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n0\r\n\r\n")
        << false;
    QTest::newRow("length header in other letter case is another header")
        << Steps([](HttpResponse &r) {
               r.setHeader("content-length", "3");
               r.write("abc", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 3\r\ncontent-length: 3\r\n\r\nabc") << false;
    QTest::newRow("headers in byte order, cookies last")
        << Steps([](HttpResponse &r) {
               r.setCookie(HttpCookie("b", "2", 0));
               r.setHeader("Transfer-Encoding", "chunked");
               r.setHeader("Location", "/x");
               r.setCookie(HttpCookie("a", "1", 0, "/"));
               r.setHeader("Content-Type", "text/css");
               r.setHeader("Cache-Control", "max-age=60");
               r.write("x", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\nContent-Type: text/css\r\n"
                      "Location: /x\r\nTransfer-Encoding: chunked\r\nSet-Cookie: a=1; Path=/; Version=1\r\n"
                      "Set-Cookie: b=2; Version=1\r\n\r\n1\r\nx\r\n0\r\n\r\n")
        << false;
    QTest::newRow("status after the first write")
        << Steps([](HttpResponse &r) {
               r.setStatus(404, "not found");
               r.write("a");
               r.setStatus(500, "late");
               r.setHeader("X-Late", "1");
               r.write("b", true);
           })
        << QByteArray("HTTP/1.1 404 not found\r\nTransfer-Encoding: chunked\r\n\r\n1\r\na\r\n1\r\nb\r\n0\r\n\r\n")
        << false;
    QTest::newRow("cookie without name ignored, same name replaced")
        << Steps([](HttpResponse &r) {
               r.setCookie(HttpCookie("", "x", 0));
               r.setCookie(HttpCookie("s", "old", 0));
               r.setCookie(HttpCookie("s", "new", 0));
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nSet-Cookie: s=new; Version=1\r\n\r\n")
        << false;
    QTest::newRow("connection close gives a raw body and a close")
        << Steps([](HttpResponse &r) {
               r.setHeader("Connection", "close");
               r.write("ab");
               r.write("cd", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabcd") << true;
    QTest::newRow("length set by the handler")
        << Steps([](HttpResponse &r) {
               r.setHeader("Content-Length", "4");
               r.write("ab");
               r.write("cd", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd") << false;
    QTest::newRow("other transfer coding ends by close")
        << Steps([](HttpResponse &r) {
               r.setHeader("Transfer-Encoding", "identity");
               r.write("ab", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: identity\r\n\r\nab") << true;
    QTest::newRow("redirect")
        << Steps([](HttpResponse &r) { r.redirect("/login.html"); })
        << QByteArray("HTTP/1.1 303 See Other\r\nContent-Length: 8\r\nLocation: /login.html\r\n\r\nRedirect")
        << false;
    QTest::newRow("line break in a header value refused")
        << Steps([](HttpResponse &r) {
               r.setHeader("X-Name", "a\r\nSet-Cookie: evil=1");
               r.setHeader("X-Ok", "fine");
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nX-Ok: fine\r\n\r\n") << false;
    QTest::newRow("line break or zero in a header name refused")
        << Steps([](HttpResponse &r) {
               r.setHeader("X\nA", "1");
               r.setHeader(QByteArray("X\0B", 3), "1");
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false;
    QTest::newRow("redirect to a url with a line break has no Location")
        << Steps([](HttpResponse &r) { r.redirect("/x\r\nSet-Cookie: a=1"); })
        << QByteArray("HTTP/1.1 303 See Other\r\nContent-Length: 8\r\n\r\nRedirect") << false;
    QTest::newRow("cookie with a line break refused")
        << Steps([](HttpResponse &r) { r.setCookie(HttpCookie("user", "bob\r\nX: 1", 0, "/")); })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false;
    QTest::newRow("status text with a line break refused")
        << Steps([](HttpResponse &r) { r.setStatus(400, "bad\r\nX: 1"); })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n") << false;
}

void tst_HttpResponse::wireBytes()
{
    QFETCH(Steps, steps);
    QFETCH(QByteArray, wire);
    QFETCH(bool, closes);
    SocketPair pair;
    QVERIFY(pair.open());
    {
        HttpResponse response(pair.serverSide);
        steps(response);
        // What the connection side does after service().
        if (!response.hasSentLastPart())
            response.write(QByteArray(), true);
        QVERIFY(response.hasSentLastPart());
    }
    QTRY_COMPARE(pair.readAll(), wire);
    if (closes)
        QTRY_COMPARE(pair.client.state(), QAbstractSocket::UnconnectedState);
    else
        QCOMPARE(pair.serverSide->state(), QAbstractSocket::ConnectedState);
}

void tst_HttpResponse::headerTravelsWithFirstPiece_data()
{
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QByteArray>("firstWrite");
    QTest::newRow("single part")
        << Steps([](HttpResponse &r) { r.write("hello", true); })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello");
    QTest::newRow("first chunk")
        << Steps([](HttpResponse &r) {
               r.write("hello");
               r.write("world", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n");
}

void tst_HttpResponse::headerTravelsWithFirstPiece()
{
    QFETCH(Steps, steps);
    SocketPair pair;
    QVERIFY(pair.open());
    HttpResponse response(pair.serverSide);
    steps(response);
    QVERIFY(!pair.serverSide->writes.isEmpty());
    QTEST(pair.serverSide->writes.first(), "firstWrite");
}

void tst_HttpResponse::adaptedToRequest_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<Steps>("steps");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("closes");

    const Steps twoParts([](HttpResponse &r) {
        r.write("ab");
        r.write("cd", true);
    });
    const Steps onePart([](HttpResponse &r) { r.write("abcd", true); });
    QTest::newRow("HEAD single part keeps its length, no body")
        << QByteArray("HEAD / HTTP/1.1\r\n\r\n") << onePart
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n") << false;
    QTest::newRow("HEAD chunked reply sends the headers only")
        << QByteArray("HEAD / HTTP/1.1\r\n\r\n") << twoParts
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") << false;
    QTest::newRow("HTTP/1.0 never chunked")
        << QByteArray("GET / HTTP/1.0\r\n\r\n") << twoParts << QByteArray("HTTP/1.1 200 OK\r\n\r\nabcd")
        << true;
    QTest::newRow("HTTP/1.0 keep-alive still not chunked")
        << QByteArray("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << twoParts
        << QByteArray("HTTP/1.1 200 OK\r\n\r\nabcd") << true;
    QTest::newRow("HTTP/1.0 chunked set by the handler is dropped")
        << QByteArray("GET / HTTP/1.0\r\n\r\n") << Steps([](HttpResponse &r) {
               r.setHeader("Transfer-Encoding", "chunked");
               r.write("ab", true);
           })
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nab") << false;
    QTest::newRow("HTTP/1.0 single part has its length")
        << QByteArray("GET / HTTP/1.0\r\n\r\n") << onePart
        << QByteArray("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nabcd") << false;
    QTest::newRow("HTTP/1.1 GET chunked as before")
        << QByteArray("GET / HTTP/1.1\r\n\r\n") << twoParts
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nab\r\n2\r\ncd\r\n0\r\n\r\n")
        << false;
}

void tst_HttpResponse::adaptedToRequest()
{
    QFETCH(QByteArray, request);
    QFETCH(Steps, steps);
    QFETCH(QByteArray, wire);
    QFETCH(bool, closes);
    HttpRequest parsed(16000, 1000000);
    requestOf(request, parsed);
    QCOMPARE(parsed.getStatus(), HttpRequest::complete);
    SocketPair pair;
    QVERIFY(pair.open());
    {
        HttpResponse response(pair.serverSide);
        response.adaptTo(parsed);
        steps(response);
        if (!response.hasSentLastPart())
            response.write(QByteArray(), true);
    }
    QTRY_COMPARE(pair.readAll(), wire);
    if (closes)
        QTRY_COMPARE(pair.client.state(), QAbstractSocket::UnconnectedState);
}

void tst_HttpResponse::pieceAndEndInOneWrite_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("wire");
    QTest::addColumn<bool>("closes");
    QTest::newRow("HTTP/1.1 chunk and terminator")
        << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray("hello")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n") << false;
    QTest::newRow("HTTP/1.1 empty body")
        << QByteArray("GET / HTTP/1.1\r\n\r\n") << QByteArray()
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n") << false;
    QTest::newRow("HTTP/1.0 ends with the connection")
        << QByteArray("GET / HTTP/1.0\r\n\r\n") << QByteArray("hello")
        << QByteArray("HTTP/1.1 200 OK\r\n\r\nhello") << true;
    QTest::newRow("HEAD headers only")
        << QByteArray("HEAD / HTTP/1.1\r\n\r\n") << QByteArray("hello")
        << QByteArray("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n") << false;
}

void tst_HttpResponse::pieceAndEndInOneWrite()
{
    QFETCH(QByteArray, request);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, wire);
    QFETCH(bool, closes);
    HttpRequest parsed(16000, 1000000);
    requestOf(request, parsed);
    QCOMPARE(parsed.getStatus(), HttpRequest::complete);

    // The bytes of a piece followed by the end, written apart...
    SocketPair apart;
    QVERIFY(apart.open());
    {
        HttpResponse response(apart.serverSide);
        response.adaptTo(parsed);
        response.write(body);
        response.write(QByteArray(), true);
    }
    QTRY_COMPARE(apart.readAll(), wire);

    // ...are the bytes written at once, in a single block handed to the socket.
    SocketPair together;
    QVERIFY(together.open());
    {
        HttpResponse response(together.serverSide);
        response.adaptTo(parsed);
        response.writePieceAndEnd(body);
        QVERIFY(response.hasSentLastPart());
        // Nothing more follows once the reply has ended.
        response.write("late", true);
    }
    QTRY_COMPARE(together.readAll(), wire);
    QCOMPARE(together.serverSide->writes, QList<QByteArray>{wire});
    if (closes)
        QTRY_COMPARE(together.client.state(), QAbstractSocket::UnconnectedState);
    else
        QCOMPARE(together.serverSide->state(), QAbstractSocket::ConnectedState);
}

void tst_HttpResponse::defaultHandlerAnswers501()
{
    HttpRequest request(16000, 1000000);
    requestOf("GET /x HTTP/1.1\r\n\r\n", request);
    SocketPair pair;
    QVERIFY(pair.open());
    HttpRequestHandler handler;
    HttpResponse response(pair.serverSide);
    handler.service(request, response);
    QVERIFY(response.hasSentLastPart());
    QTRY_COMPARE(pair.readAll(),
                 QByteArray("HTTP/1.1 501 not implemented\r\nContent-Length: 19\r\n\r\n501 not implemented"));
}

void tst_HttpResponse::stalledReaderAbortsTheConnection_data()
{
    QTest::addColumn<bool>("stream");
    QTest::newRow("write") << false;
    QTest::newRow("writeStream") << true;
}

void tst_HttpResponse::stalledReaderAbortsTheConnection()
{
    QFETCH(bool, stream);
    SocketPair pair;
    QVERIFY(pair.open());
    HttpResponse response(pair.serverSide);
    response.setWriteTimeout(300);
    // The client never reads; once the kernel buffers are full every further wait fails.
    const QByteArray part(1 << 20, 'x');
    QElapsedTimer timer;
    timer.start();
    int parts = 0;
    while (!response.hasWriteFailed() && parts < 512) {
        if (stream)
            response.writeStream(part);
        else
            response.write(part);
        ++parts;
    }
    QVERIFY(response.hasWriteFailed());
    QCOMPARE(pair.serverSide->state(), QAbstractSocket::UnconnectedState);
    // Later parts are not written into a dead connection, and the call returns.
    response.write(part, true);
    QVERIFY(response.hasSentLastPart());
    QVERIFY2(timer.elapsed() < 60000, "the writer waited without a bound");
}

QTEST_MAIN(tst_HttpResponse)
#include "tst_HttpResponse.moc"
