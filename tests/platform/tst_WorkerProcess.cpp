#include "WorkerProcess.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

// This test program is its own worker: started with "--serve" it answers the requests below.
static QByteArray workerAnswer(const QByteArray &request)
{
    if (request == "sleep")
        ::sleep(60);
    if (request == "die")
        ::_exit(3);
    if (request == "print") {
        // A stray print of the worker must not reach the channel.
        std::printf("noise on standard output\n");
        std::fflush(stdout);
    }
    if (request == "grow") {
        // Reserved, not touched: the cap is on address space, and a busy machine pages slowly.
        std::vector<std::unique_ptr<char[]>> blocks;
        for (int i = 0; i < 64; ++i)
            blocks.emplace_back(new char[size_t(256) * 1024 * 1024]);
        return "grew to " + QByteArray::number(int(blocks.size())) + " blocks";
    }
    if (request == "big")
        return QByteArray(8 * 1024 * 1024, 'x');
    if (request == "fds") {
        // What this process holds open, one "descriptor target" a line; the listing's own
        // descriptor is left out.
        QByteArray list;
        const QStringList entries = QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::Files | QDir::System);
        for (const QString &entry : entries) {
            char target[256] = {};
            const QByteArray path = QFile::encodeName(QStringLiteral("/proc/self/fd/") + entry);
            const ssize_t n = ::readlink(path.constData(), target, sizeof target - 1);
            const QByteArray name(target, n > 0 ? int(n) : 0);
            if (!name.startsWith("/proc/"))
                list += entry.toLatin1() + ' ' + name + '\n';
        }
        return list;
    }
    return "echo:" + request;
}

// The process state letter of a child (R, S, Z ...), or 0 once it is gone.
static char stateOf(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const int at = text.lastIndexOf(')') + 2;
    return at < text.size() ? text.at(at) : '?';
}

// A killed child that has let go of everything it held (its last thread is gone) but is not
// reaped yet: its leader shows Z while its other threads still end.
static bool endedNotReaped(pid_t pid)
{
    return QDir(QStringLiteral("/proc/%1/task").arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size() == 1 &&
           stateOf(pid) == 'Z';
}

class tst_WorkerProcess : public QObject
{
    Q_OBJECT
private slots:
    void answersAndKeepsItsChild();
    void aChildThatFailsIsReplaced_data();
    void aChildThatFailsIsReplaced();
    void aStrayOrHungUpChannelMeansANewChild_data();
    void aStrayOrHungUpChannelMeansANewChild();
    void aChildThatCannotStartSaysWhy_data();
    void aChildThatCannotStartSaysWhy();
    void answersInParts();
    void childrenInheritOnlyTheirChannel();
    void shutDownEndsEveryCallAtOnce_data();
    void shutDownEndsEveryCallAtOnce();

private:
    static QStringList serveArguments() { return {QStringLiteral("--serve")}; }
};

void tst_WorkerProcess::answersAndKeepsItsChild()
{
    WorkerProcess worker(QCoreApplication::applicationFilePath(), serveArguments());
    QByteArray reply;
    QCOMPARE(worker.call("one", &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray("echo:one"));
    const pid_t first = worker.childPid();
    QVERIFY(first > 0);
    QCOMPARE(worker.call("print", &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray("echo:print"));
    QCOMPARE(worker.call("big", &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray(8 * 1024 * 1024, 'x'));
    QCOMPARE(worker.call(QByteArray(), &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray("echo:"));
    QCOMPARE(worker.childPid(), first);
}

void tst_WorkerProcess::aChildThatFailsIsReplaced_data()
{
    QTest::addColumn<QByteArray>("request");
    QTest::addColumn<int>("outcome");
    QTest::newRow("runs past its time") << QByteArray("sleep") << int(WorkerProcess::Outcome::TimedOut);
    QTest::newRow("ends by itself") << QByteArray("die") << int(WorkerProcess::Outcome::Died);
    QTest::newRow("allocates past its cap") << QByteArray("grow") << int(WorkerProcess::Outcome::Died);
}

void tst_WorkerProcess::aChildThatFailsIsReplaced()
{
    QFETCH(QByteArray, request);
    QFETCH(int, outcome);
    if (request == "grow" && !WorkerProcess::memoryLimitApplies())
        QSKIP("the memory checker of this build reserves more than the cap");
    WorkerProcess worker(QCoreApplication::applicationFilePath(), serveArguments());
    QByteArray reply;
    QCOMPARE(worker.call("first", &reply, 10000), WorkerProcess::Outcome::Answered);
    const pid_t first = worker.childPid();

    QCOMPARE(int(worker.call(request, &reply, 1000)), outcome);
    QVERIFY(reply.isEmpty());
    QCOMPARE(worker.childPid(), pid_t(0));
    // Reaped, not left as a zombie or running on.
    QCOMPARE(::kill(first, 0), -1);

    QCOMPARE(worker.call("again", &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray("echo:again"));
    QVERIFY(worker.childPid() != first);
}

void tst_WorkerProcess::aStrayOrHungUpChannelMeansANewChild_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("first");
    QTest::addColumn<bool>("killIdle");
    // A frame of its own on standard output before it serves, as a library's start-up print.
    QTest::newRow("start-up output") << QStringLiteral("--serve-noisy") << QByteArray("one") << false;
    // The OOM killer or a stray kill between two calls.
    QTest::newRow("killed while idle") << QStringLiteral("--serve") << QByteArray("one") << true;
    // An answer beyond the one asked for, as one that comes after its call gave up: in the
    // channel before the next request, or after it.
    QTest::newRow("an answer nobody asked for") << QStringLiteral("--serve-parts") << QByteArray("twice") << false;
}

void tst_WorkerProcess::aStrayOrHungUpChannelMeansANewChild()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, first);
    QFETCH(bool, killIdle);
    WorkerProcess worker(QCoreApplication::applicationFilePath(), {mode});
    QByteArray reply;
    QCOMPARE(worker.call(first, &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, "echo:" + first);
    const pid_t firstChild = worker.childPid();
    if (killIdle) {
        QCOMPARE(::kill(firstChild, SIGKILL), 0);
        QTRY_VERIFY(endedNotReaped(firstChild));
    }
    // Every answer is the answer to its own request, whatever was in the channel before.
    for (const QByteArray &request : {QByteArray("two"), QByteArray("three")}) {
        QCOMPARE(worker.call(request, &reply, 10000), WorkerProcess::Outcome::Answered);
        QCOMPARE(reply, "echo:" + request);
    }
    if (killIdle) {
        QVERIFY(worker.childPid() != firstChild);
        QCOMPARE(stateOf(firstChild), char(0)); // reaped
    }
}

void tst_WorkerProcess::aChildThatCannotStartSaysWhy_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QString>("why");
    const QString self = QCoreApplication::applicationFilePath();
    QTest::newRow("missing program") << "/nonexistent/worker"
                                     << "--serve"
                                     << "No such file or directory";
    // Not the request's doing: the child never got as far as reading it.
    QTest::newRow("ends at its start") << self << "--end-at-start"
                                       << "ended at its start with exit code 7";
    QTest::newRow("refuses") << self << "--refuse"
                             << "refused to work: not here";
}

void tst_WorkerProcess::aChildThatCannotStartSaysWhy()
{
    QFETCH(QString, program);
    QFETCH(QString, mode);
    QFETCH(QString, why);
    WorkerProcess worker(program, {mode});
    QByteArray reply = "stale";
    QCOMPARE(worker.call("one", &reply, 10000), WorkerProcess::Outcome::NotStarted);
    QVERIFY(reply.isEmpty());
    QCOMPARE(worker.childPid(), pid_t(0));
    QVERIFY2(worker.failure().contains(why), qPrintable(worker.failure()));
}

void tst_WorkerProcess::answersInParts()
{
    WorkerProcess worker(QCoreApplication::applicationFilePath(), {QStringLiteral("--serve-parts")});
    QCOMPARE(worker.send("count 3", 10000), WorkerProcess::Outcome::Answered);
    QByteArray part;
    for (const QByteArray &expected : {QByteArray("1"), QByteArray("2"), QByteArray("3")}) {
        QCOMPARE(worker.receive(&part, 10000), WorkerProcess::Outcome::Answered);
        QCOMPARE(part, expected);
    }
    // Each part has its own limit: a part that does not come in time kills the child.
    QCOMPARE(worker.send("sleep", 10000), WorkerProcess::Outcome::Answered);
    const pid_t child = worker.childPid();
    QCOMPARE(worker.receive(&part, 300), WorkerProcess::Outcome::TimedOut);
    QVERIFY(part.isEmpty());
    QCOMPARE(stateOf(child), char(0));
}

void tst_WorkerProcess::childrenInheritOnlyTheirChannel()
{
    // Descriptors that a library opened without close-on-exec, as libmosquitto's broker socket.
    int leaked[2];
    QCOMPARE(::socketpair(AF_UNIX, SOCK_STREAM, 0, leaked), 0);
    const int file = ::open("/dev/null", O_RDONLY);
    QVERIFY(file >= 0);
    QStringList leakedTargets;
    for (const int fd : {leaked[0], leaked[1]}) {
        struct stat info;
        QCOMPARE(::fstat(fd, &info), 0);
        leakedTargets << QStringLiteral("socket:[%1]").arg(info.st_ino);
    }
    WorkerProcess worker(QCoreApplication::applicationFilePath(), serveArguments());
    QByteArray reply;
    const WorkerProcess::Outcome outcome = worker.call("fds", &reply, 10000);
    ::close(leaked[0]);
    ::close(leaked[1]);
    ::close(file);
    QCOMPARE(outcome, WorkerProcess::Outcome::Answered);
    // The standard streams and one socket, the channel.
    QStringList beyondTheStandardStreams;
    for (const QByteArray &line : reply.split('\n')) {
        const QList<QByteArray> words = line.split(' ');
        if (words.size() == 2 && words.at(0).toInt() > 2)
            beyondTheStandardStreams << QString::fromUtf8(words.at(1));
    }
    QVERIFY2(beyondTheStandardStreams.size() == 1 && beyondTheStandardStreams.first().startsWith("socket:"),
             reply.constData());
    QVERIFY(!leakedTargets.contains(beyondTheStandardStreams.first()));
}

void tst_WorkerProcess::shutDownEndsEveryCallAtOnce_data()
{
    QTest::addColumn<bool>("beforeTheCall");
    QTest::newRow("during a call") << false;
    // The stop of a caller that comes between its own check and the start of a child.
    QTest::newRow("before the call starts its child") << true;
}

void tst_WorkerProcess::shutDownEndsEveryCallAtOnce()
{
    QFETCH(bool, beforeTheCall);
    WorkerProcess worker(QCoreApplication::applicationFilePath(), serveArguments());
    QByteArray reply;
    pid_t first = 0;
    if (beforeTheCall) {
        // No child runs yet: there is nothing to kill, and still the call must not start one.
        worker.shutDown();
    } else {
        QCOMPARE(worker.call("first", &reply, 10000), WorkerProcess::Outcome::Answered);
        first = worker.childPid();
    }
    std::atomic<int> outcome{-1};
    QElapsedTimer clock;
    clock.start();
    std::unique_ptr<QThread> caller(QThread::create([&] {
        QByteArray late;
        outcome = int(worker.call("sleep", &late, 60000));
    }));
    caller->start();
    if (!beforeTheCall) {
        // Whether the kill comes before or during the request, the call ends long before its limit.
        QTest::qWait(100);
        worker.shutDown();
    }
    QVERIFY(caller->wait(70000));
    QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(outcome.load(), int(WorkerProcess::Outcome::Closed));
    if (first != 0)
        QCOMPARE(stateOf(first), char(0));
    QCOMPARE(worker.childPid(), pid_t(0));
    // For good: no later call starts a child either.
    QCOMPARE(worker.call("again", &reply, 10000), WorkerProcess::Outcome::Closed);
    QCOMPARE(worker.childPid(), pid_t(0));
}

int main(int argc, char *argv[])
{
    if (argc >= 2 && qstrcmp(argv[1], "--serve") == 0)
        return WorkerProcess::serve(workerAnswer, quint64(1024) * 1024 * 1024);
    if (argc >= 2 && qstrcmp(argv[1], "--serve-noisy") == 0) {
        // Well formed, so that only its place in the stream can tell it from an answer.
        std::fwrite("\0\0\0\5stale", 1, 9, stdout);
        std::fflush(stdout);
        return WorkerProcess::serve(workerAnswer, quint64(1024) * 1024 * 1024);
    }
    if (argc >= 2 && qstrcmp(argv[1], "--end-at-start") == 0)
        return 7;
    if (argc >= 2 && qstrcmp(argv[1], "--refuse") == 0)
        return WorkerProcess::refuse(QStringLiteral("not here"));
    if (argc >= 2 && qstrcmp(argv[1], "--serve-parts") == 0) {
        return WorkerProcess::serveInParts([](const QByteArray &request, const WorkerProcess::Answer &answer) {
            if (request.startsWith("count ")) {
                for (int i = 1; i <= request.mid(6).toInt(); ++i)
                    answer(QByteArray::number(i));
                return;
            }
            answer(workerAnswer(request));
            if (request == "twice")
                answer("again:" + request);
        });
    }
    QCoreApplication app(argc, argv);
    tst_WorkerProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_WorkerProcess.moc"
