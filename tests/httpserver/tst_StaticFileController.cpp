#include "HttpRequest.h"
#include "HttpResponse.h"
#include "StaticFileController.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <unistd.h>

namespace {

struct Reply
{
    int status = 0;
    QMap<QByteArray, QByteArray> headers;
    QByteArray body;
    QByteArray raw;
};

// Reads one reply from the client side: length, chunked or close framing.
bool readReply(QTcpSocket &client, Reply &reply)
{
    QByteArray data;
    auto more = [&]() {
        if (!client.bytesAvailable() && !client.waitForReadyRead(5000))
            return false;
        data.append(client.readAll());
        return true;
    };
    while (!data.contains("\r\n\r\n")) {
        if (!more())
            return false;
    }
    const int headEnd = data.indexOf("\r\n\r\n");
    const QList<QByteArray> lines = data.left(headEnd).split('\n');
    reply.status = lines.first().split(' ').value(1).toInt();
    for (int i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const int colon = line.indexOf(':');
        reply.headers.insert(line.left(colon), line.mid(colon + 1).trimmed());
    }
    QByteArray rest = data.mid(headEnd + 4);
    if (reply.headers.contains("Content-Length")) {
        const int length = reply.headers.value("Content-Length").toInt();
        while (rest.size() < length) {
            if (!more())
                return false;
            rest = data.mid(headEnd + 4);
        }
        reply.body = rest.left(length);
    } else if (reply.headers.value("Transfer-Encoding") == "chunked") {
        while (!rest.endsWith("0\r\n\r\n")) {
            if (!more())
                return false;
            rest = data.mid(headEnd + 4);
        }
        int at = 0;
        for (;;) {
            const int lineEnd = rest.indexOf("\r\n", at);
            const int size = rest.mid(at, lineEnd - at).toInt(nullptr, 16);
            if (size == 0)
                break;
            reply.body.append(rest.mid(lineEnd + 2, size));
            at = lineEnd + 2 + size + 2;
        }
    } else {
        return false;
    }
    reply.raw = data;
    return true;
}

class Server : public QTcpServer
{
public:
    QTcpSocket *accepted = nullptr;

protected:
    void incomingConnection(qintptr descriptor) override
    {
        accepted = new QTcpSocket(this);
        accepted->setSocketDescriptor(descriptor);
    }
};

} // namespace

class tst_StaticFileController : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void service_data();
    void service();
    void cachedReplyMatchesTheFirst_data();
    void cachedReplyMatchesTheFirst();
    void cacheBySize_data();
    void cacheBySize();
    void cacheTime();
    void cacheTimeZeroServesUntilEvicted();
    void emptyFile();
    void cacheKeyIsThePathAsRequested();
    void docrootDefaultsToTheConfigDirectory();

private:
    std::unique_ptr<StaticFileController> controller(const QVariantMap &values,
                                                     const QString &config = "config.ini");
    Reply serve(StaticFileController &files, const QByteArray &target);
    void writeFile(const QString &relative, const QByteArray &content);

    QTemporaryDir m_dir;
};

void tst_StaticFileController::writeFile(const QString &relative, const QByteArray &content)
{
    const QString path = m_dir.filePath(relative);
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

void tst_StaticFileController::initTestCase()
{
    QVERIFY(m_dir.isValid());
    writeFile("www/index.html", "<html>home</html>");
    writeFile("www/style.css", "body{}");
    for (const char *name : {"app.js", "img.png", "a.jpg", "a.gif", "a.pdf", "a.txt", "a.htm",
                             "UPPER.PNG", "plain"})
        writeFile(QString("www/") + name, name);
    writeFile("www/sub/x/..hidden", "hidden");
    QDir().mkpath(m_dir.filePath("www/empty-dir"));
    writeFile("www-old/secret.txt", "secret next to the root");
    writeFile("secret.txt", "secret above the root");
    writeFile("outside/secret.txt", "secret in another folder");
    QVERIFY(QFile::link(m_dir.filePath("secret.txt"), m_dir.filePath("www/link.txt")));
    QVERIFY(QFile::link(m_dir.filePath("outside"), m_dir.filePath("www/linkdir")));
    QVERIFY(QFile::link("style.css", m_dir.filePath("www/alias.css")));
    writeFile("www/locked.txt", "locked");
    QFile::setPermissions(m_dir.filePath("www/locked.txt"), QFileDevice::Permissions());
}

std::unique_ptr<StaticFileController> tst_StaticFileController::controller(const QVariantMap &values,
                                                                           const QString &config)
{
    QSettings settings(m_dir.filePath(config), QSettings::IniFormat);
    settings.clear();
    settings.beginGroup("docroot");
    settings.setValue("path", "www");
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        settings.setValue(it.key(), it.value());
    return std::make_unique<StaticFileController>(&settings);
}

Reply tst_StaticFileController::serve(StaticFileController &files, const QByteArray &target)
{
    HttpRequest request(16000, 1000000);
    QBuffer buffer;
    buffer.setData("GET " + target + " HTTP/1.1\r\n\r\n");
    buffer.open(QIODevice::ReadOnly);
    request.readFromSocket(&buffer);
    Reply reply;
    if (request.getStatus() != HttpRequest::complete)
        return reply;
    Server server;
    QTcpSocket client;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return reply;
    client.connectToHost(QHostAddress::LocalHost, server.serverPort());
    if (!server.waitForNewConnection(5000) || !server.accepted)
        return reply;
    {
        HttpResponse response(server.accepted);
        files.service(request, response);
        if (!response.hasSentLastPart())
            response.write(QByteArray(), true);
    }
    readReply(client, reply);
    return reply;
}

void tst_StaticFileController::service_data()
{
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentType");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("root serves index.html")
        << QByteArray("/") << 200 << QByteArray("text/html; charset=UTF-8") << QByteArray("<html>home</html>");
    QTest::newRow("css") << QByteArray("/style.css") << 200 << QByteArray("text/css") << QByteArray("body{}");
    QTest::newRow("js") << QByteArray("/app.js") << 200 << QByteArray("text/javascript") << QByteArray("app.js");
    QTest::newRow("png") << QByteArray("/img.png") << 200 << QByteArray("image/png") << QByteArray("img.png");
    QTest::newRow("jpg") << QByteArray("/a.jpg") << 200 << QByteArray("image/jpeg") << QByteArray("a.jpg");
    QTest::newRow("gif") << QByteArray("/a.gif") << 200 << QByteArray("image/gif") << QByteArray("a.gif");
    QTest::newRow("pdf") << QByteArray("/a.pdf") << 200 << QByteArray("application/pdf") << QByteArray("a.pdf");
    QTest::newRow("txt") << QByteArray("/a.txt") << 200 << QByteArray("text/plain; charset=UTF-8")
                         << QByteArray("a.txt");
    QTest::newRow("htm") << QByteArray("/a.htm") << 200 << QByteArray("text/html; charset=UTF-8")
                         << QByteArray("a.htm");
    QTest::newRow("upper-case suffix has no type")
        << QByteArray("/UPPER.PNG") << 200 << QByteArray() << QByteArray("UPPER.PNG");
    QTest::newRow("no suffix") << QByteArray("/plain") << 200 << QByteArray() << QByteArray("plain");
    QTest::newRow("query string ignored")
        << QByteArray("/a.txt?v=2") << 200 << QByteArray("text/plain; charset=UTF-8") << QByteArray("a.txt");
    QTest::newRow("link inside the root")
        << QByteArray("/alias.css") << 200 << QByteArray("text/css") << QByteArray("body{}");
    QTest::newRow("missing file") << QByteArray("/missing.html") << 404 << QByteArray()
                                  << QByteArray("404 not found");
    QTest::newRow("directory without index") << QByteArray("/empty-dir") << 404 << QByteArray()
                                             << QByteArray("404 not found");
    QTest::newRow("parent step") << QByteArray("/../secret.txt") << 403 << QByteArray()
                                 << QByteArray("403 forbidden");
    QTest::newRow("encoded parent step") << QByteArray("/%2e%2e/secret.txt") << 403 << QByteArray()
                                         << QByteArray("403 forbidden");
    QTest::newRow("dots inside a longer segment")
        << QByteArray("/sub/x/..hidden") << 403 << QByteArray() << QByteArray("403 forbidden");
    QTest::newRow("target without leading slash reaches a sibling folder")
        << QByteArray("-old/secret.txt") << 403 << QByteArray() << QByteArray("403 forbidden");
    QTest::newRow("file link out of the root")
        << QByteArray("/link.txt") << 403 << QByteArray() << QByteArray("403 forbidden");
    QTest::newRow("folder link out of the root")
        << QByteArray("/linkdir/secret.txt") << 403 << QByteArray() << QByteArray("403 forbidden");
    QTest::newRow("zero byte") << QByteArray("/index.html%00.png") << 403 << QByteArray()
                               << QByteArray("403 forbidden");
    if (geteuid() != 0) {
        QTest::newRow("existing file that cannot be opened")
            << QByteArray("/locked.txt") << 403 << QByteArray() << QByteArray("403 forbidden");
    }
}

void tst_StaticFileController::service()
{
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    auto files = controller({});
    const Reply reply = serve(*files, target);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.headers.value("Content-Type"), contentType);
    QTEST(reply.body, "body");
    if (status == 200)
        QCOMPARE(reply.headers.value("Cache-Control"), QByteArray("max-age=60"));
    // The header block by its bytes: the order of its lines is part of the reply.
    QByteArray head = status == 200 ? "HTTP/1.1 200 OK\r\nCache-Control: max-age=60\r\n" : QByteArray();
    if (status == 200 && !contentType.isEmpty())
        head += "Content-Type: " + contentType + "\r\n";
    if (status == 200)
        head += "Transfer-Encoding: chunked\r\n\r\n";
    else
        head = "HTTP/1.1 " + QByteArray::number(status) + (status == 403 ? " forbidden" : " not found")
               + "\r\nContent-Length: " + QByteArray::number(reply.body.size()) + "\r\n\r\n";
    QCOMPARE(reply.raw.left(reply.raw.indexOf("\r\n\r\n") + 4), head);
}

void tst_StaticFileController::cachedReplyMatchesTheFirst_data() { service_data(); }

void tst_StaticFileController::cachedReplyMatchesTheFirst()
{
    // The second reply comes from the memory cache; it must carry what the first one did.
    QFETCH(QByteArray, target);
    QFETCH(int, status);
    QFETCH(QByteArray, contentType);
    auto files = controller({});
    const Reply first = serve(*files, target);
    const Reply again = serve(*files, target);
    QCOMPARE(again.raw, first.raw);
    QCOMPARE(again.status, status);
    QCOMPARE(again.headers.value("Content-Type"), contentType);
    QTEST(again.body, "body");
    if (status == 200)
        QCOMPARE(again.headers.value("Cache-Control"), QByteArray("max-age=60"));
}

void tst_StaticFileController::cacheBySize_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("cached");
    QTest::newRow("exactly the largest cached size") << 100 << true;
    QTest::newRow("one byte more") << 101 << false;
}

void tst_StaticFileController::cacheBySize()
{
    QFETCH(int, size);
    QFETCH(bool, cached);
    const QString name = QString("www/size%1.txt").arg(size);
    writeFile(name, QByteArray(size, 'a'));
    auto files = controller({{"maxCachedFileSize", 100}});
    QCOMPARE(serve(*files, "/" + name.mid(4).toUtf8()).body, QByteArray(size, 'a'));
    writeFile(name, QByteArray(size, 'b'));
    const Reply again = serve(*files, "/" + name.mid(4).toUtf8());
    QCOMPARE(again.body, QByteArray(size, cached ? 'a' : 'b'));
    QCOMPARE(again.headers.value("Content-Type"), QByteArray("text/plain; charset=UTF-8"));
}

void tst_StaticFileController::cacheTime()
{
    writeFile("www/timed.txt", "old");
    auto files = controller({{"cacheTime", 300}});
    QCOMPARE(serve(*files, "/timed.txt").body, QByteArray("old"));
    writeFile("www/timed.txt", "new");
    QCOMPARE(serve(*files, "/timed.txt").body, QByteArray("old"));
    QTRY_COMPARE(serve(*files, "/timed.txt").body, QByteArray("new"));
}

void tst_StaticFileController::cacheTimeZeroServesUntilEvicted()
{
    writeFile("www/first.txt", QByteArray(100, '1'));
    writeFile("www/second.txt", QByteArray(100, '2'));
    auto files = controller({{"cacheTime", 0}, {"cacheSize", 150}});
    QCOMPARE(serve(*files, "/first.txt").body, QByteArray(100, '1'));
    writeFile("www/first.txt", QByteArray(100, 'x'));
    QCOMPARE(serve(*files, "/first.txt").body, QByteArray(100, '1'));
    // The second file does not fit beside the first and pushes it out.
    QCOMPARE(serve(*files, "/second.txt").body, QByteArray(100, '2'));
    QCOMPARE(serve(*files, "/first.txt").body, QByteArray(100, 'x'));
}

void tst_StaticFileController::emptyFile()
{
    writeFile("www/empty.txt", QByteArray());
    auto files = controller({});
    const Reply fromDisk = serve(*files, "/empty.txt");
    QCOMPARE(fromDisk.status, 200);
    QCOMPARE(fromDisk.headers.value("Content-Length"), QByteArray("0"));
    const Reply fromCache = serve(*files, "/empty.txt");
    QCOMPARE(fromCache.headers.value("Transfer-Encoding"), QByteArray("chunked"));
    QVERIFY(fromCache.raw.endsWith("\r\n\r\n0\r\n\r\n"));
}

void tst_StaticFileController::cacheKeyIsThePathAsRequested()
{
    auto files = controller({});
    QCOMPARE(serve(*files, "/a.txt").body, QByteArray("a.txt"));
    // A path that holds a zero byte names no file, also once the part before it is cached.
    for (const QByteArray &target : {QByteArray("/a.txt%00.png"), QByteArray("/a.txt%00")}) {
        const Reply reply = serve(*files, target);
        QCOMPARE(reply.status, 403);
        QCOMPARE(reply.body, QByteArray("403 forbidden"));
    }
    QCOMPARE(serve(*files, "/a.txt").body, QByteArray("a.txt"));
}

void tst_StaticFileController::docrootDefaultsToTheConfigDirectory()
{
    writeFile("www/conf/config.ini", QByteArray());
    writeFile("www/conf/here.txt", "beside the config");
    QSettings settings(m_dir.filePath("www/conf/config.ini"), QSettings::IniFormat);
    settings.beginGroup("docroot");
    StaticFileController files(&settings);
    QCOMPARE(serve(files, "/here.txt").body, QByteArray("beside the config"));
}

QTEST_GUILESS_MAIN(tst_StaticFileController)
#include "tst_StaticFileController.moc"
