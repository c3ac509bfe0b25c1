#include "WorkerProcess.h"

#include <QCoreApplication>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <memory>
#include <cstdio>
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
    return "echo:" + request;
}

class tst_WorkerProcess : public QObject
{
    Q_OBJECT
private slots:
    void answersAndKeepsItsChild();
    void aChildThatFailsIsReplaced_data();
    void aChildThatFailsIsReplaced();
    void aMissingProgramDoesNotStart();
    void abortEndsTheCallUnderWay();

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

void tst_WorkerProcess::aMissingProgramDoesNotStart()
{
    WorkerProcess worker(QStringLiteral("/nonexistent/worker"), serveArguments());
    QByteArray reply = "stale";
    QCOMPARE(worker.call("one", &reply, 1000), WorkerProcess::Outcome::NotStarted);
    QVERIFY(reply.isEmpty());
}

void tst_WorkerProcess::abortEndsTheCallUnderWay()
{
    WorkerProcess worker(QCoreApplication::applicationFilePath(), serveArguments());
    QByteArray reply;
    QCOMPARE(worker.call("first", &reply, 10000), WorkerProcess::Outcome::Answered);
    const pid_t first = worker.childPid();
    std::atomic<int> outcome{-1};
    std::unique_ptr<QThread> caller(QThread::create([&] {
        QByteArray late;
        outcome = int(worker.call("sleep", &late, 60000));
    }));
    caller->start();
    // Whether the kill comes before or during the request, the call ends long before its limit.
    QTest::qWait(100);
    worker.abort();
    QVERIFY(caller->wait(20000));
    QCOMPARE(outcome.load(), int(WorkerProcess::Outcome::Died));
    QCOMPARE(::kill(first, 0), -1);
    QCOMPARE(worker.call("again", &reply, 10000), WorkerProcess::Outcome::Answered);
    QCOMPARE(reply, QByteArray("echo:again"));
}

int main(int argc, char *argv[])
{
    if (argc >= 2 && qstrcmp(argv[1], "--serve") == 0)
        return WorkerProcess::serve(workerAnswer, quint64(1024) * 1024 * 1024);
    QCoreApplication app(argc, argv);
    tst_WorkerProcess test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_WorkerProcess.moc"
