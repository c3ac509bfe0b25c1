// The listener and its pool in this process: binding, the 503 refusal, the retirement of idle
// handler threads, TLS settings that cannot be used, refused descriptors and bounded shutdown.
#include "HttpConnectionHandler.h"
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

// Sends the request and collects the reply until the server closes (or the time is up).
QByteArray exchange(quint16 port, const QByteArray &request, int timeoutMs = 5000)
{
    QTcpSocket client;
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
