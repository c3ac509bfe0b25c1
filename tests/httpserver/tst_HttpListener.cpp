// The listener and its pool in this process: binding, the 503 refusal and its log lines, slow
// request heads that give their threads up, the retirement of idle handler threads, TLS settings
// that cannot be used, refused descriptors and bounded shutdown.
#include "HttpConnectionHandler.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpListener.h"
#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "TestEnv.h"

#include <QAtomicInt>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSettings>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

namespace {

const QByteArray g_tooManyConnections =
    "HTTP/1.1 503 too many connections\r\nConnection: close\r\n\r\nToo many connections\r\n";

// Answers "ok"; "/block" waits on the semaphore first (a handler stuck in a slow call).
class BlockingHandler : public HttpRequestHandler
{
public:
    QSemaphore release;
    QAtomicInt entered{0};
    void service(HttpRequest &request, HttpResponse &response) override
    {
        if (request.getPath() == "/block") {
            entered.fetchAndAddOrdered(1);
            release.tryAcquire(1, 60000);
        }
        response.write("ok", true);
    }
};

int threadCount() { return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size(); }

// Settings of the group "listener" in a config.ini inside dir.
QSettings *listenerSettings(const QTemporaryDir &dir, const QMap<QString, QVariant> &keys)
{
    auto *settings = new QSettings(dir.path() + "/config.ini", QSettings::IniFormat);
    settings->beginGroup("listener");
    settings->setValue("host", "127.0.0.1");
    for (auto it = keys.constBegin(); it != keys.constEnd(); ++it)
        settings->setValue(it.key(), it.value());
    settings->sync();
    return settings;
}

// Sends the request and collects the reply until the server closes (or the time is up). from: the
// loopback address the client connects from.
QByteArray exchange(quint16 port, const QByteArray &request, int timeoutMs = 5000,
                    const QString &from = QStringLiteral("127.0.0.1"))
{
    QTcpSocket client;
    client.bind(QHostAddress(from));
    client.connectToHost(QHostAddress::LocalHost, port);
    QByteArray reply;
    QObject::connect(&client, &QTcpSocket::readyRead, [&]() { reply += client.readAll(); });
    client.write(request);
    QElapsedTimer clock;
    clock.start();
    while (client.state() != QAbstractSocket::UnconnectedState && clock.elapsed() < timeoutMs)
        QTest::qWait(10);
    reply += client.readAll();
    return reply;
}

} // namespace

class tst_HttpListener : public QObject
{
    Q_OBJECT
private slots:
    void bindsPort_data();
    void bindsPort();
    void portInUse();
    void noHandlerAllowedAnswers503();
    void refusalsLoggedOncePerPeriod();
    void slowHeadsGiveWay_data();
    void slowHeadsGiveWay();
    void idleHandlersRetired_data();
    void idleHandlersRetired();
    void unusableTlsSettings_data();
    void unusableTlsSettings();
    void refusedDescriptorClosedAndHandlerFreed();
    void shutdownWaitIsBounded();
};

void tst_HttpListener::bindsPort_data()
{
    QTest::addColumn<bool>("portSet");
    QTest::addColumn<int>("offset");
    QTest::newRow("port missing: the system chooses") << false << 0;
    QTest::newRow("port above 65535: its low 16 bits") << true << 65536;
}

void tst_HttpListener::bindsPort()
{
    QFETCH(bool, portSet);
    QFETCH(int, offset);
    QTemporaryDir dir;
    const int free = TestEnv::freeTcpPort();
    QMap<QString, QVariant> keys;
    if (portSet)
        keys.insert("port", free + offset);
    QScopedPointer<QSettings> settings(listenerSettings(dir, keys));
    BlockingHandler handler;
    QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("HttpListener: Listening on port %1").arg(portSet ? free + offset : 0)));
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    if (portSet)
        QCOMPARE(int(listener.serverPort()), free);
    QVERIFY(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n").endsWith("\r\n\r\nok"));
}

void tst_HttpListener::portInUse()
{
    QTemporaryDir dir;
    QTcpServer occupant;
    QVERIFY(occupant.listen(QHostAddress::LocalHost, 0));
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"port", occupant.serverPort()}}));
    BlockingHandler handler;
    QTest::ignoreMessage(QtCriticalMsg,
                         QRegularExpression(QStringLiteral("^HttpListener: Cannot bind on port %1: .+").arg(occupant.serverPort())));
    HttpListener listener(settings.data(), &handler);
    QVERIFY(!listener.isListening());
}

void tst_HttpListener::noHandlerAllowedAnswers503()
{
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", 0}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    QTest::ignoreMessage(QtDebugMsg, "HttpListener: Too many incoming connections");
    QCOMPARE(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\n\r\n"), g_tooManyConnections);
}

void tst_HttpListener::refusalsLoggedOncePerPeriod()
{
    struct Line
    {
        qint64 at;
        QString text;
    };
    static QList<Line> lines;
    static QElapsedTimer clock;
    static QtMessageHandler previous = nullptr;
    lines.clear();
    clock.start();
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (text.startsWith(QLatin1String("HttpListener: Too many")))
            lines << Line{clock.elapsed(), text};
        previous(type, context, text);
    });
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", 0}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const int refused = 30;
    for (int i = 0; i < refused; ++i)
        QCOMPARE(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\n\r\n"), g_tooManyConnections);
    // Every refusal is in the log, most of them as a count.
    const QRegularExpression counted("^HttpListener: Too many incoming connections, (\\d+) more refused in the last 1000 ms$");
    auto logged = [&]() {
        int sum = 0;
        for (const Line &line : qAsConst(lines)) {
            const QRegularExpressionMatch match = counted.match(line.text);
            sum += match.hasMatch() ? match.captured(1).toInt() : 1;
        }
        return sum;
    };
    QTRY_COMPARE_WITH_TIMEOUT(logged(), refused, 5000);
    qInstallMessageHandler(previous);
    QCOMPARE(lines.first().text, QStringLiteral("HttpListener: Too many incoming connections"));
    for (int i = 1; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).at - lines.at(i - 1).at >= 900,
                 qPrintable(QStringLiteral("%1 ms after the line before: %2").arg(lines.at(i).at - lines.at(i - 1).at).arg(lines.at(i).text)));
        QVERIFY2(lines.at(i).text == lines.first().text || counted.match(lines.at(i).text).hasMatch(), qPrintable(lines.at(i).text));
    }
}

void tst_HttpListener::slowHeadsGiveWay_data()
{
    // Four threads. One after the other, a connection from each address of occupants sends
    // occupied: the beginning of a request head (a slow client), or a whole request after which
    // it idles, kept alive. After boundMs and more, a client from clientFrom sends its request
    // at once. outcomes, one letter per occupant: k it kept its thread (and is served when it
    // sends the rest), r it was refused at once, d its place was given to the client.
    QTest::addColumn<QStringList>("occupants");
    QTest::addColumn<QByteArray>("occupied");
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<QString>("clientFrom");
    QTest::addColumn<QByteArray>("replyStart");
    QTest::addColumn<QString>("outcomes");
    const QStringList oneAddress{"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"};
    const QStringList twoAddresses{"127.0.0.1", "127.0.0.1", "127.0.0.3", "127.0.0.3"};
    const QByteArray partial = "GET /x HT";
    const QByteArray ok = "HTTP/1.1 200 OK";
    QTest::newRow("slow heads from one address, a client from another")
        << oneAddress << partial << 200 << "127.0.0.2" << ok << "kkrr";
    QTest::newRow("slow heads from several addresses, a client from one of them")
        << QStringList{"127.0.0.4", "127.0.0.1", "127.0.0.3", "127.0.0.1"} << partial << 200 << "127.0.0.3" << ok << "dkkk";
    QTest::newRow("slow heads within the bound keep their threads")
        << twoAddresses << partial << 60000 << "127.0.0.2" << g_tooManyConnections << "kkkk";
    QTest::newRow("kept-alive connections between requests keep their threads")
        << oneAddress << QByteArray("GET /x HTTP/1.1\r\n\r\n") << 200 << "127.0.0.2" << g_tooManyConnections << "kkkk";
}

void tst_HttpListener::slowHeadsGiveWay()
{
    QFETCH(QStringList, occupants);
    QFETCH(QByteArray, occupied);
    QFETCH(int, boundMs);
    QFETCH(QString, clientFrom);
    QFETCH(QByteArray, replyStart);
    QFETCH(QString, outcomes);
    HttpConnectionHandlerPool::setHeadWaitBoundMs(boundMs);
    const auto restoreBound = qScopeGuard([]() { HttpConnectionHandlerPool::setHeadWaitBoundMs(1000); });
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", 4}, {"readTimeout", 30000}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const bool keptAlive = occupied.endsWith("\r\n\r\n");
    const int before = threadCount();
    int threads = 0;
    QList<QTcpSocket *> clients;
    for (int i = 0; i < occupants.size(); ++i) {
        auto *client = new QTcpSocket(this);
        client->bind(QHostAddress(occupants.at(i)));
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        client->write(occupied);
        clients << client;
        // One after the other, so that the first has waited longest.
        if (outcomes.at(i) == 'r') {
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
            QCOMPARE(client->readAll(), g_tooManyConnections);
            continue;
        }
        ++threads;
        QTRY_COMPARE(threadCount(), before + threads);
        if (keptAlive) {
            QTRY_VERIFY(client->peek(1 << 16).endsWith("\r\n\r\nok"));
            client->readAll();
        }
    }
    // Time passes: the connections wait past the bound (unless it is a long one).
    if (boundMs < 60000)
        QTest::qWait(2 * boundMs);

    const QByteArray reply = exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n", 5000, clientFrom);
    QVERIFY2(reply.startsWith(replyStart), reply.constData());
    // The connection that waited longest is gone; the others are served once their heads are
    // complete, or when they send their next request.
    for (int i = 0; i < clients.size(); ++i) {
        QTcpSocket *client = clients.at(i);
        if (outcomes.at(i) == 'd') {
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
            QVERIFY(client->readAll().isEmpty());
        } else if (outcomes.at(i) == 'k') {
            client->write(keptAlive ? occupied : QByteArray("TP/1.1\r\n\r\n"));
            QTRY_VERIFY(client->peek(1 << 16).endsWith("\r\n\r\nok"));
            QVERIFY(client->readAll().startsWith("HTTP/1.1 200 OK"));
        }
    }
    qDeleteAll(clients);
}

void tst_HttpListener::idleHandlersRetired_data()
{
    QTest::addColumn<int>("minThreads");
    QTest::newRow("one kept") << 1;
    QTest::newRow("none kept") << 0;
}

void tst_HttpListener::idleHandlersRetired()
{
    QFETCH(int, minThreads);
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"minThreads", minThreads}, {"cleanupInterval", 200}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const int before = threadCount();
    // Five connections at once take five handlers; each has served a request when it closes.
    QList<QTcpSocket *> clients;
    for (int i = 0; i < 5; ++i) {
        auto *client = new QTcpSocket(this);
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        client->write("GET /x HTTP/1.1\r\n\r\n");
        clients << client;
    }
    for (QTcpSocket *client : clients)
        QTRY_VERIFY(client->bytesAvailable() > 0);
    QCOMPARE(threadCount(), before + 5);
    for (QTcpSocket *client : clients) {
        client->abort();
        delete client;
    }
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), before + minThreads, 5000);
    // Idle ones are kept for reuse: the next connection needs no new thread.
    QVERIFY(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n").endsWith("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(threadCount(), before + minThreads, 5000);
}

void tst_HttpListener::unusableTlsSettings_data()
{
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<QString>("certFile");
    QTest::addColumn<QString>("critical");
    QTest::newRow("certificate file missing") << "key.pem" << "missing.pem"
                                              << "HttpConnectionHandlerPool: cannot open sslCertFile %1/missing.pem";
    QTest::newRow("key file missing") << "missing.pem" << "cert.pem"
                                      << "HttpConnectionHandlerPool: cannot open sslKeyFile %1/missing.pem";
    QTest::newRow("only the certificate set") << "" << "cert.pem" << "";
}

void tst_HttpListener::unusableTlsSettings()
{
    QFETCH(QString, keyFile);
    QFETCH(QString, certFile);
    QFETCH(QString, critical);
    QTemporaryDir dir;
    for (const char *name : {"key.pem", "cert.pem"}) {
        QFile file(dir.path() + "/" + name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("placeholder\n");
    }
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"sslKeyFile", keyFile}, {"sslCertFile", certFile}}));
    BlockingHandler handler;
    if (!critical.isEmpty())
        QTest::ignoreMessage(QtCriticalMsg, qPrintable(critical.arg(dir.path())));
    HttpListener listener(settings.data(), &handler);
    // The server answers in plain text.
    QVERIFY(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n").startsWith("HTTP/1.1 200 OK"));
}

void tst_HttpListener::refusedDescriptorClosedAndHandlerFreed()
{
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {}));
    BlockingHandler handler;
    HttpConnectionHandler connectionHandler(settings.data(), &handler);
    // A descriptor that is not open: the socket refuses it.
    int descriptor = 900;
    while (QFile::exists(QStringLiteral("/proc/self/fd/%1").arg(descriptor)))
        ++descriptor;
    connectionHandler.setBusy();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^HttpConnectionHandler \\(0x[0-9a-f]+\\): cannot initialize socket: "));
    QMetaObject::invokeMethod(&connectionHandler, "handleConnection", Qt::QueuedConnection,
                              Q_ARG(tSocketDescriptor, descriptor));
    // Free again at once, not after a read time-out (10 s by default) or never.
    QTRY_VERIFY_WITH_TIMEOUT(!connectionHandler.isBusy(), 2000);
}

void tst_HttpListener::shutdownWaitIsBounded()
{
    QTemporaryDir dir;
    // Never freed: a handler thread left running at shutdown still refers to both.
    QSettings *settings = listenerSettings(dir, {{"readTimeout", 500}});
    auto *handler = new BlockingHandler;
    auto *listener = new HttpListener(settings, handler);
    QVERIFY(listener->isListening());
    // Five threads stuck in the request handler: the shutdown waits for all of them under one
    // bound (read time-out plus 2 s), not one bound after the other.
    const int stuck = 5;
    QList<QTcpSocket *> clients;
    for (int i = 0; i < stuck; ++i) {
        auto *client = new QTcpSocket(this);
        client->connectToHost(QHostAddress::LocalHost, listener->serverPort());
        client->write("GET /block HTTP/1.1\r\n\r\n");
        clients << client;
    }
    QTRY_COMPARE(handler->entered.loadAcquire(), stuck);
    for (int i = 0; i < stuck; ++i)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^HttpConnectionHandlerPool: handler 0x[0-9a-f]+ did not stop within 2500 ms"));
    QElapsedTimer clock;
    clock.start();
    delete listener;
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= 2400 && elapsed < 2 * 2500, qPrintable(QString::number(elapsed)));
    handler->release.release(stuck);
    qDeleteAll(clients);
}

QTEST_GUILESS_MAIN(tst_HttpListener)
#include "tst_HttpListener.moc"
