#include "PeerProcess.h"
#include "SingleInstance.h"
#include "TestEnv.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

class tst_SingleInstance : public QObject
{
    Q_OBJECT
private slots:
    void heldByAnotherProcess();
    void secondHolderInOneProcessIsRefused();
    void lockIsNotInheritedByStartedPrograms();

private:
    static int flockExitCode(const QString &path);
};

// util-linux's flock trying the lock without waiting: 0 when it got it, 1 when it is held.
int tst_SingleInstance::flockExitCode(const QString &path)
{
    int code = -1;
    TestEnv::runTool(QStringLiteral("flock"), {QStringLiteral("-n"), path, QStringLiteral("true")}, {}, 10000, &code);
    return code;
}

void tst_SingleInstance::heldByAnotherProcess()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("DalvoranUniqueMutexName.lock"));
    {
        PeerProcess holder;
        // -o: only flock itself holds the lock, so ending it frees the lock at once.
        QVERIFY(holder.start(QStringLiteral("flock"),
                             {QStringLiteral("-o"), path, TestEnv::python(), QStringLiteral("-c"),
                              QStringLiteral("import sys; print('READY', flush=True); sys.stdin.read()")}));
        SingleInstance second(path);
        QVERIFY(!second.tryLock());
        QVERIFY(!second.isLocked());
    }
    SingleInstance first(path);
    QVERIFY(first.tryLock());
    QVERIFY(first.tryLock()); // held already
    QCOMPARE(flockExitCode(path), 1);
    first.release();
    QCOMPARE(flockExitCode(path), 0);
}

void tst_SingleInstance::secondHolderInOneProcessIsRefused()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.lock"));
    SingleInstance first(path);
    QVERIFY(first.tryLock());
    SingleInstance second(path);
    QVERIFY(!second.tryLock());
    QVERIFY(!SingleInstance(dir.filePath(QStringLiteral("missing/x.lock"))).tryLock());
}

void tst_SingleInstance::lockIsNotInheritedByStartedPrograms()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.lock"));
    qint64 pid = 0;
    {
        SingleInstance instance(path);
        QVERIFY(instance.tryLock());
        // A browser or helper started by the program outlives it; it must not keep the lock.
        QVERIFY(QProcess::startDetached(QStringLiteral("sleep"), {QStringLiteral("30")}, QString(), &pid));
    }
    const int code = flockExitCode(path);
    if (pid > 0)
        ::kill(pid_t(pid), SIGTERM);
    QCOMPARE(code, 0);
}

QTEST_GUILESS_MAIN(tst_SingleInstance)
#include "tst_SingleInstance.moc"
