#include "DeviceSearch.h"

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>
#include <signal.h>

namespace {

// Waits without running this thread's events, as a blocked main thread would.
bool waitBlocked(const std::function<bool()> &condition, int ms = 10000)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (condition())
            return true;
        QThread::msleep(10);
    }
    return condition();
}

QByteArray fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool running(qint64 pid) { return pid > 0 && ::kill(pid_t(pid), 0) == 0; }

} // namespace

class tst_DeviceSearch : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void findsDevicesWhileTheCallerIsBlocked();
    void noReplyGivesAnEmptyBody();
    void noSearchGivesAnEmptyBody();
    void helperIsStartedAndKilled();

private:
    // A responder on loopback with these replies, and a search aimed at it.
    bool startResponder(const QStringList &replies);
    qint64 helperPid(int index);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<PeerProcess> m_responder;
    DeviceFinder::Target m_target;
};

void tst_DeviceSearch::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    // A recording stand-in for the helper: it writes its pid and arguments, then waits to be killed.
    const QString helper = m_dir->filePath(QStringLiteral("Pellaris"));
    QFile script(helper);
    QVERIFY(script.open(QIODevice::WriteOnly));
    script.write("#!/bin/sh\necho \"$$ args:$*\" >> \"$(dirname \"$0\")/helper.log\"\nexec sleep 300\n");
    script.close();
    QVERIFY(script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    m_target = DeviceFinder::Target();
    m_target.helper = helper;
}

bool tst_DeviceSearch::startResponder(const QStringList &replies)
{
    QStringList args{QStringLiteral("--log"), m_dir->filePath(QStringLiteral("probes.log"))};
    for (const QString &reply : replies)
        args << QStringLiteral("--reply") << reply;
    m_responder = std::make_unique<PeerProcess>();
    if (!m_responder->startPython(TestEnv::testFile(QStringLiteral("peers/udp_responder.py")), args))
        return false;
    m_target.address = QHostAddress(QHostAddress::LocalHost);
    m_target.port = quint16(m_responder->readyWords().value(0).toUInt());
    return m_target.port != 0;
}

qint64 tst_DeviceSearch::helperPid(int index)
{
    const QList<QByteArray> lines = fileText(m_dir->filePath(QStringLiteral("helper.log"))).split('\n');
    if (index >= lines.size() - 1)
        return -1;
    return lines.at(index).split(' ').value(0).toLongLong();
}

void tst_DeviceSearch::findsDevicesWhileTheCallerIsBlocked()
{
    // Two devices behind one address (two MACs), one of them answering twice per probe with
    // other line ends; a name with a quote and a backslash.
    QVERIFY(startResponder({QStringLiteral("Meter \\\"A\\\\\\r\\n00:11:22:33:44:55\\r\\n502\\r\\n7\\r\\n"),
                            QStringLiteral("Meter \\\"A\\\\\\n00:11:22:33:44:55\\n1502\\n8\\n"),
                            QStringLiteral("Pump\\n66:77\\n1502\\n9\\x00ignored")}));
    DeviceSearch search;
    search.setTarget(m_target);
    QCOMPARE(search.startSearchingDevices(), QByteArray("ok"));
    const QString log = m_dir->filePath(QStringLiteral("probes.log"));
    QVERIFY(waitBlocked([&] { return fileText(log).count("PROBE") == 2; }));
    QVERIFY(waitBlocked([&] { return search.datagramsRead() == 6; }));
    QCOMPARE(fileText(log), QByteArray("PROBE 1 44\nPROBE 2 44\n"));

    // Collected from another request thread than the one that started the search.
    QByteArray reply;
    std::unique_ptr<QThread> thread(QThread::create([&] { reply = search.getSearchedDevices(); }));
    thread->start();
    QVERIFY(thread->wait(10000));
    QCOMPARE(reply, QByteArray("[{\"name\":\"Meter \\\"A\\\\\",\"ip\":\"127.0.0.1\",\"port\":\"502\","
                               "\"mac\":\"00:11:22:33:44:55\",\"modbusid\":\"7\"},"
                               "{\"name\":\"Pump\",\"ip\":\"127.0.0.1\",\"port\":\"1502\",\"mac\":\"66:77\","
                               "\"modbusid\":\"9\"}]"));
    // The search is released: a second collection finds none.
    QCOMPARE(search.getSearchedDevices(), QByteArray());
}

void tst_DeviceSearch::noReplyGivesAnEmptyBody()
{
    QVERIFY(startResponder({}));
    DeviceSearch search;
    search.setTarget(m_target);
    QCOMPARE(search.startSearchingDevices(), QByteArray("ok"));
    QVERIFY(waitBlocked([&] { return fileText(m_dir->filePath(QStringLiteral("probes.log"))).count("PROBE") == 2; }));
    QCOMPARE(search.datagramsRead(), 0);
    QCOMPARE(search.getSearchedDevices(), QByteArray());
}

void tst_DeviceSearch::noSearchGivesAnEmptyBody()
{
    DeviceSearch search;
    QCOMPARE(search.datagramsRead(), -1);
    QCOMPARE(search.getSearchedDevices(), QByteArray());
}

void tst_DeviceSearch::helperIsStartedAndKilled()
{
    QVERIFY(startResponder({}));
    DeviceSearch search;
    search.setTarget(m_target);
    QCOMPARE(search.startSearchingDevices(), QByteArray("ok"));
    QVERIFY(waitBlocked([&] { return helperPid(0) > 0; }));
    const qint64 first = helperPid(0);
    QVERIFY(running(first));

    // A new search releases the previous one and kills its helper.
    QCOMPARE(search.startSearchingDevices(), QByteArray("ok"));
    QVERIFY(waitBlocked([&] { return helperPid(1) > 0; }));
    const qint64 second = helperPid(1);
    QVERIFY(!running(first));
    QVERIFY(running(second));
    QCOMPARE(search.getSearchedDevices(), QByteArray());
    QVERIFY(!running(second));
    // Started without arguments.
    QCOMPARE(fileText(m_dir->filePath(QStringLiteral("helper.log"))),
             QByteArray::number(first) + " args:\n" + QByteArray::number(second) + " args:\n");

    // A search still running when the holder goes away takes its helper with it.
    {
        DeviceSearch other;
        other.setTarget(m_target);
        other.startSearchingDevices();
        QVERIFY(waitBlocked([&] { return helperPid(2) > 0; }));
        QVERIFY(running(helperPid(2)));
    }
    QVERIFY(!running(helperPid(2)));
}

QTEST_GUILESS_MAIN(tst_DeviceSearch)
#include "tst_DeviceSearch.moc"
