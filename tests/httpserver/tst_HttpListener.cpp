// The listener and its pool in this process: binding, the 503 refusal and its log lines, free
// threads taken before anything is refused, slow connections that give their threads up, the
// retirement of idle handler threads, TLS settings that cannot be used, refused descriptors and
// bounded shutdown.
#include "HttpConnectionHandler.h"
#include "HttpConnectionHandlerPool.h"
#include "HttpListener.h"
#include "HttpRequest.h"
#include "HttpRequestHandler.h"
#include "HttpResponse.h"
#include "MessageRecorder.h"
#include "NativeDescriptors.h"
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

// The handler threads of this process, by the name that the system shows for them. Qt's threads
// are detached: one that a test has stopped may still be on its way out of the system for a
// while after its QThread has reported it finished, the longer the more loaded the machine is
// (the sanitizer build's thread exit is slow). Counts start once those of earlier tests are gone.
int handlerThreads()
{
    int count = 0;
    const QDir tasks(QStringLiteral("/proc/self/task"));
    for (const QString &task : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile name(tasks.filePath(task + QStringLiteral("/comm")));
        if (name.open(QIODevice::ReadOnly) && name.readAll().startsWith("HttpConnection"))
            ++count;
    }
    return count;
}

// The sockets open in this process: both ends of a loopback connection are here, so a connection
// that the listener has accepted counts twice.
int openSockets()
{
    int count = 0;
    const QDir descriptors(QStringLiteral("/proc/self/fd"));
    for (const QFileInfo &entry : descriptors.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot))
        count += entry.symLinkTarget().contains(QLatin1String("socket:")) ? 1 : 0;
    return count;
}

// The pool's bounds for one test; the defaults come back afterwards.
class ScopedBounds
{
public:
    ScopedBounds(int headMs, int bodyGraceMs, int newcomerWaitMs,
                 int newcomersWaiting = HttpConnectionHandlerPool::Bounds().newcomersWaiting)
    {
        HttpConnectionHandlerPool::Bounds bounds;
        bounds.headMs = headMs;
        bounds.bodyGraceMs = bodyGraceMs;
        bounds.newcomerWaitMs = newcomerWaitMs;
        bounds.newcomersWaiting = newcomersWaiting;
        HttpConnectionHandlerPool::setBounds(bounds);
    }
    ~ScopedBounds() { HttpConnectionHandlerPool::setBounds(HttpConnectionHandlerPool::Bounds()); }
};

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
    void refusalsLoggedOncePerPeriod_data();
    void refusalsLoggedOncePerPeriod();
    void freeThreadsTakenFirst_data();
    void freeThreadsTakenFirst();
    void slowConnectionsGiveWay_data();
    void slowConnectionsGiveWay();
    void silentNewcomersMakeRoom();
    void takenOverThreadServesTheNewcomer_data();
    void takenOverThreadServesTheNewcomer();
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

void tst_HttpListener::refusalsLoggedOncePerPeriod_data()
{
    // Thirty clients one after the other, each refused at once: by a pool that may have no
    // thread, or by one that cannot start a thread for want of descriptors (the process's soft
    // limit lowered to a few more than it has open).
    QTest::addColumn<int>("maxThreads");
    QTest::addColumn<bool>("fewDescriptors");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("counted");
    QTest::newRow("no thread allowed")
        << 0 << false << "HttpListener: Too many incoming connections"
        << "^HttpListener: Too many incoming connections, (\\d+) more refused in the last 1000 ms$";
    QTest::newRow("too few descriptors for a new thread")
        << 100 << true << "HttpConnectionHandlerPool: too few free descriptors for a new handler"
        << "^HttpConnectionHandlerPool: too few free descriptors for a new handler, (\\d+) more in the last 1000 ms$";
}

void tst_HttpListener::refusalsLoggedOncePerPeriod()
{
    QFETCH(int, maxThreads);
    QFETCH(bool, fewDescriptors);
    QFETCH(QString, first);
    QFETCH(QString, counted);
    struct Line
    {
        qint64 at;
        QString text;
    };
    static QList<Line> lines;
    static QElapsedTimer clock;
    static QString prefix;
    static QtMessageHandler previous = nullptr;
    lines.clear();
    clock.start();
    prefix = first;
    previous = qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &context, const QString &text) {
        if (text.startsWith(prefix))
            lines << Line{clock.elapsed(), text};
        previous(type, context, text);
    });
    const auto restoreHandler = qScopeGuard([]() { qInstallMessageHandler(previous); });
    // Refused at once, without waiting for a thread.
    ScopedBounds bounds(1000, 1000, 0);
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", maxThreads}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const qint64 softLimit = NativeDescriptors::softLimit();
    const QString pid = QString::number(QCoreApplication::applicationPid());
    const auto restoreLimit = qScopeGuard([&]() {
        if (fewDescriptors)
            TestEnv::runTool("prlimit", {"--pid", pid, QStringLiteral("--nofile=%1:").arg(softLimit)});
    });
    if (fewDescriptors) {
        const int open = QDir("/proc/self/fd").entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot).size();
        TestEnv::runTool("prlimit", {"--pid", pid, QStringLiteral("--nofile=%1:").arg(open + 16)});
        QVERIFY(!NativeDescriptors::haveFree(64));
    }
    const int refused = 30;
    for (int i = 0; i < refused; ++i)
        QCOMPARE(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\n\r\n"), g_tooManyConnections);
    // Every time is in the log, most of them as a count.
    const QRegularExpression countedLine(counted);
    auto logged = [&]() {
        int sum = 0;
        for (const Line &line : qAsConst(lines)) {
            const QRegularExpressionMatch match = countedLine.match(line.text);
            sum += match.hasMatch() ? match.captured(1).toInt() : 1;
        }
        return sum;
    };
    QTRY_COMPARE_WITH_TIMEOUT(logged(), refused, 5000);
    QCOMPARE(lines.first().text, first);
    for (int i = 1; i < lines.size(); ++i) {
        QVERIFY2(lines.at(i).at - lines.at(i - 1).at >= 900,
                 qPrintable(QStringLiteral("%1 ms after the line before: %2").arg(lines.at(i).at - lines.at(i - 1).at).arg(lines.at(i).text)));
        QVERIFY2(countedLine.match(lines.at(i).text).hasMatch(), qPrintable(lines.at(i).text));
    }
}

void tst_HttpListener::freeThreadsTakenFirst_data()
{
    // Connections from one address take threads before they send their requests (a burst whose
    // heads are not read yet, a browser that opens connections ahead); then one more client
    // sends its request at once. Nothing is refused while a thread is free.
    QTest::addColumn<int>("maxThreads");
    QTest::addColumn<int>("waiting");
    QTest::addColumn<QByteArray>("sent");
    QTest::newRow("four threads, three connections silent") << 4 << 3 << QByteArray();
    QTest::newRow("the shipped 100 threads, 90 connections with part of a head")
        << 100 << 90 << QByteArray("GET /x HT");
}

void tst_HttpListener::freeThreadsTakenFirst()
{
    QFETCH(int, maxThreads);
    QFETCH(int, waiting);
    QFETCH(QByteArray, sent);
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), 0, 10000);
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", maxThreads}, {"readTimeout", 30000}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    QObject owner;
    QList<QTcpSocket *> clients;
    for (int i = 0; i < waiting; ++i) {
        auto *client = new QTcpSocket(&owner);
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        client->write(sent);
        clients << client;
    }
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), waiting, 10000);
    for (QTcpSocket *client : qAsConst(clients))
        QVERIFY(client->state() == QAbstractSocket::ConnectedState && client->bytesAvailable() == 0);
    QVERIFY(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n").endsWith("\r\n\r\nok"));
    const QByteArray request = "GET /x HTTP/1.1\r\n\r\n";
    for (QTcpSocket *client : qAsConst(clients))
        client->write(request.mid(sent.size()));
    for (QTcpSocket *client : qAsConst(clients))
        QTRY_VERIFY(client->peek(1 << 16).endsWith("\r\n\r\nok"));
}

void tst_HttpListener::slowConnectionsGiveWay_data()
{
    // Four threads. One after the other, a connection from each address of occupants sends
    // occupied, and then trickle bytes every 100 ms: the beginning of a request head or of a
    // body (a slow client), a whole request after which it idles, kept alive, or a request that
    // the handler takes long to answer. After boundMs (the bound of a head and the grace time
    // of a body) and more, a client from clientFrom sends its request at once (or only a part of
    // it, as slow clients do). outcomes, one letter per occupant: k it kept its thread (and is
    // served when it sends the rest), d its place was given to the client.
    QTest::addColumn<QStringList>("occupants");
    QTest::addColumn<QByteArray>("occupied");
    QTest::addColumn<int>("trickle");
    QTest::addColumn<int>("boundMs");
    QTest::addColumn<QString>("clientFrom");
    QTest::addColumn<QByteArray>("clientSends");
    QTest::addColumn<QByteArray>("replyStart");
    QTest::addColumn<QString>("outcomes");
    const QByteArray request = "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n";
    const QStringList oneAddress{"127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1"};
    const QByteArray head = "GET /x HT";
    const QByteArray body = "POST /x HTTP/1.1\r\nContent-Length: 15000\r\n\r\na";
    const QByteArray ok = "HTTP/1.1 200 OK";
    QTest::newRow("slow heads from one address: the one waiting longest gives way")
        << oneAddress << head << 0 << 200 << "127.0.0.1" << request << ok << "dkkk";
    QTest::newRow("slow heads from several addresses, a client from one of them")
        << QStringList{"127.0.0.4", "127.0.0.1", "127.0.0.3", "127.0.0.1"} << head << 0 << 200 << "127.0.0.3" << request
        << ok << "dkkk";
    // It would only take the place of another slow client, which would come back at once.
    QTest::newRow("slow heads past the bound keep their threads from a slow newcomer")
        << oneAddress << head << 0 << 200 << "127.0.0.1" << head << g_tooManyConnections << "kkkk";
    QTest::newRow("slow heads within the bound keep their threads")
        << oneAddress << head << 0 << 60000 << "127.0.0.2" << request << g_tooManyConnections << "kkkk";
    QTest::newRow("kept-alive connections between requests keep their threads")
        << oneAddress << QByteArray("GET /x HTTP/1.1\r\n\r\n") << 0 << 200 << "127.0.0.2" << request
        << g_tooManyConnections << "kkkk";
    QTest::newRow("slow bodies past the grace time: the one waiting longest gives way")
        << oneAddress << body << 0 << 200 << "127.0.0.1" << request << ok << "dkkk";
    // 3000 bytes a second, six times the floor rate: a test slowed down by a loaded machine
    // stays above it.
    QTest::newRow("bodies at a fair rate keep their threads")
        << oneAddress << body << 300 << 200 << "127.0.0.1" << request << g_tooManyConnections << "kkkk";
    QTest::newRow("connections being served keep their threads")
        << oneAddress << QByteArray("GET /block HTTP/1.1\r\n\r\n") << 0 << 200 << "127.0.0.1" << request
        << g_tooManyConnections << "kkkk";
}

void tst_HttpListener::slowConnectionsGiveWay()
{
    QFETCH(QStringList, occupants);
    QFETCH(QByteArray, occupied);
    QFETCH(int, trickle);
    QFETCH(int, boundMs);
    QFETCH(QString, clientFrom);
    QFETCH(QByteArray, clientSends);
    QFETCH(QByteArray, replyStart);
    QFETCH(QString, outcomes);
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), 0, 10000);
    ScopedBounds bounds(boundMs, boundMs, 500);
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", 4}, {"readTimeout", 30000}}));
    BlockingHandler handler;
    const auto release = qScopeGuard([&]() { handler.release.release(occupants.size()); });
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const bool blocking = occupied.contains("/block");
    const bool keptAlive = !blocking && occupied.endsWith("\r\n\r\n");
    const int bodyStart = occupied.startsWith("POST") ? occupied.indexOf("\r\n\r\n") + 4 : -1;
    QObject owner;
    QList<QTcpSocket *> clients;
    QVector<int> bodySent;
    for (int i = 0; i < occupants.size(); ++i) {
        auto *client = new QTcpSocket(&owner);
        client->bind(QHostAddress(occupants.at(i)));
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        client->write(occupied);
        clients << client;
        bodySent << (bodyStart >= 0 ? occupied.size() - bodyStart : 0);
        // One after the other, so that the first has waited longest.
        QTRY_COMPARE(handlerThreads(), i + 1);
        if (keptAlive) {
            QTRY_VERIFY(client->peek(1 << 16).endsWith("\r\n\r\nok"));
            client->readAll();
        }
        if (blocking)
            QTRY_COMPARE(handler.entered.loadAcquire(), i + 1);
    }
    QTimer trickling;
    connect(&trickling, &QTimer::timeout, [&]() {
        for (int i = 0; i < clients.size(); ++i) {
            if (clients.at(i)->state() == QAbstractSocket::ConnectedState) {
                clients.at(i)->write(QByteArray(trickle, 'a'));
                bodySent[i] += trickle;
            }
        }
    });
    if (trickle > 0)
        trickling.start(100);
    // Time passes: the connections wait past the bound (unless it is a long one).
    QTest::qWait(boundMs < 60000 ? 2 * boundMs : 300);

    const QByteArray reply = exchange(listener.serverPort(), clientSends, 5000, clientFrom);
    QVERIFY2(reply.startsWith(replyStart), reply.constData());
    trickling.stop();
    // The connection that waited longest is gone; the others are served once their requests are
    // complete, or when they send their next request.
    if (blocking)
        handler.release.release(occupants.size());
    for (int i = 0; i < clients.size(); ++i) {
        QTcpSocket *client = clients.at(i);
        if (outcomes.at(i) == 'd') {
            QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
            QVERIFY(client->readAll().isEmpty());
            continue;
        }
        if (keptAlive)
            client->write(occupied);
        else if (bodyStart >= 0)
            client->write(QByteArray(15000 - bodySent.at(i), 'a'));
        else if (!blocking)
            client->write("TP/1.1\r\n\r\n");
        QTRY_VERIFY(client->peek(1 << 16).endsWith("\r\n\r\nok"));
        QVERIFY(client->readAll().startsWith("HTTP/1.1 200 OK"));
    }
}

void tst_HttpListener::silentNewcomersMakeRoom()
{
    // Two threads held by slow heads past their bound, and as many silent connections waiting for
    // a thread as may wait: a client that sends its request still gets in, and takes the place
    // of a slow head; the silent connection that waited longest is refused.
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), 0, 10000);
    const int waiting = 4;
    ScopedBounds bounds(200, 200, 10000, waiting);
    QTemporaryDir dir;
    QScopedPointer<QSettings> settings(listenerSettings(dir, {{"maxThreads", 2}, {"readTimeout", 30000}}));
    BlockingHandler handler;
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    const int socketsBefore = openSockets();
    QObject owner;
    QList<QTcpSocket *> clients;
    for (int i = 0; i < 2 + waiting; ++i) {
        auto *client = new QTcpSocket(&owner);
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        if (i < 2)
            client->write("GET /x HT");
        clients << client;
        // One after the other, each accepted by the listener before the next.
        QTRY_COMPARE(openSockets(), socketsBefore + 2 * (i + 1));
    }
    QCOMPARE(handlerThreads(), 2);
    QTest::qWait(400);

    QTest::ignoreMessage(QtDebugMsg, "HttpListener: Too many incoming connections");
    const QByteArray reply = exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n");
    QVERIFY2(reply.startsWith("HTTP/1.1 200 OK") && reply.endsWith("\r\n\r\nok"), reply.constData());
    QTRY_COMPARE(clients.at(2)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(clients.at(2)->readAll(), g_tooManyConnections);
    for (int i = 3; i < clients.size(); ++i)
        QCOMPARE(clients.at(i)->state(), QAbstractSocket::ConnectedState);
}

void tst_HttpListener::takenOverThreadServesTheNewcomer_data()
{
    // Two threads, both held by slow heads past the bound. A newcomer takes the place of one of
    // them, and the next client that of the other. The newcomer sends its request before the
    // next client arrives, or only after it; newcomerPath "/block" keeps the newcomer's thread in
    // the request handler until the next client has been answered, while the cleanup timer runs.
    QTest::addColumn<QByteArray>("newcomerPath");
    QTest::addColumn<bool>("newcomerFirst");
    QTest::newRow("the next client arrives before the newcomer's request") << QByteArray("/x") << false;
    QTest::newRow("the newcomer's request is still being answered when the next client comes")
        << QByteArray("/block") << true;
}

void tst_HttpListener::takenOverThreadServesTheNewcomer()
{
    QFETCH(QByteArray, newcomerPath);
    QFETCH(bool, newcomerFirst);
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), 0, 10000);
    ScopedBounds bounds(200, 200, 3000);
    QTemporaryDir dir;
    // Every idle thread is retired within a tenth of a second.
    QScopedPointer<QSettings> settings(
        listenerSettings(dir, {{"maxThreads", 2}, {"minThreads", 0}, {"cleanupInterval", 100}, {"readTimeout", 2000}}));
    BlockingHandler handler;
    const auto release = qScopeGuard([&]() { handler.release.release(1); });
    MessageRecorder criticals(QtCriticalMsg);
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
    QObject owner;
    auto connectFrom = [&](const QString &address) {
        const int before = openSockets();
        auto *client = new QTcpSocket(&owner);
        client->bind(QHostAddress(address));
        client->connectToHost(QHostAddress::LocalHost, listener.serverPort());
        // Accepted by the listener: both ends are open in this process.
        if (!QTest::qWaitFor([&]() { return openSockets() == before + 2; }))
            qWarning("connection from %s not accepted", qPrintable(address));
        return client;
    };
    QList<QTcpSocket *> slow;
    for (const QString &address : {QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.4")}) {
        slow << connectFrom(address);
        slow.last()->write("GET /x HT");
        QTRY_COMPARE(handlerThreads(), slow.size());
    }
    QTest::qWait(400);
    const QByteArray newcomerRequest = "GET " + newcomerPath + " HTTP/1.1\r\nConnection: close\r\n\r\n";
    QTcpSocket *newcomer = connectFrom("127.0.0.2");
    if (newcomerFirst) {
        newcomer->write(newcomerRequest);
        QTRY_COMPARE(handler.entered.loadAcquire(), 1);
    }
    QTcpSocket *next = connectFrom("127.0.0.5");
    if (!newcomerFirst)
        newcomer->write(newcomerRequest);
    next->write("GET /x HTTP/1.1\r\nConnection: close\r\n\r\n");
    // Answered at once, not once the newcomer's request is done, and by a thread of its own.
    QTRY_VERIFY_WITH_TIMEOUT(next->peek(1 << 16).endsWith("\r\n\r\nok"), 3000);
    QVERIFY(next->readAll().startsWith("HTTP/1.1 200 OK"));
    handler.release.release(1);
    QTRY_VERIFY_WITH_TIMEOUT(newcomer->peek(1 << 16).endsWith("\r\n\r\nok"), 3000);
    QVERIFY(newcomer->readAll().startsWith("HTTP/1.1 200 OK"));
    for (QTcpSocket *client : qAsConst(slow)) {
        QTRY_COMPARE(client->state(), QAbstractSocket::UnconnectedState);
        QVERIFY(client->readAll().isEmpty());
    }
    // No thread was retired while it served, nor left running.
    QVERIFY2(criticals.messages().isEmpty(), qPrintable(criticals.messages().join('\n')));
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
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), 0, 10000);
    HttpListener listener(settings.data(), &handler);
    QVERIFY(listener.isListening());
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
    QCOMPARE(handlerThreads(), 5);
    for (QTcpSocket *client : clients) {
        client->abort();
        delete client;
    }
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), minThreads, 5000);
    // Idle ones are kept for reuse: the next connection needs no new thread.
    QVERIFY(exchange(listener.serverPort(), "GET /x HTTP/1.1\r\nConnection: close\r\n\r\n").endsWith("ok"));
    QTRY_COMPARE_WITH_TIMEOUT(handlerThreads(), minThreads, 5000);
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
