#include "../store/StoreFixture.h"
#include "EmailManager.h"
#include "MailPeers.h"

#include <QPointer>
#include <QThread>
#include <QtTest>

using namespace MailPeers;

// The poller's way of running a worker: its own thread, released when the worker finishes.
static QThread *startWorker(ThreadWorker *worker)
{
    QThread *thread = new QThread;
    worker->moveToThread(thread);
    QObject::connect(thread, &QThread::started, worker, &ThreadWorker::process);
    QObject::connect(worker, &ThreadWorker::finished, thread, &QThread::quit);
    QObject::connect(worker, &ThreadWorker::finished, worker, &QObject::deleteLater);
    QObject::connect(thread, &QThread::finished, thread, &QObject::deleteLater);
    thread->start(QThread::InheritPriority);
    return thread;
}

static EmailManager::Mail2Send alarmMail(const QString &subject, const QStringList &recipients = {"op@x"})
{
    EmailManager::Mail2Send mail;
    mail.recipients = recipients;
    mail.subject = subject;
    mail.body = QStringLiteral("<b>%1</b>").arg(subject);
    return mail;
}

class tst_EmailManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void sendsInOrder_data();
    void sendsInOrder();
    void notConfigured_data();
    void notConfigured();
    void thirdFailedTryIsLogged_data();
    void thirdFailedTryIsLogged();
    void queueHoldsAHundred();
    void trustedCertificateIsLogged_data();
    void trustedCertificateIsLogged();
    void stopRightAfterStart();
    void stopDuringEndlessReply();
    void quitAfterServerReset();

private:
    void configure(quint16 port, int security, const QString &password = QStringLiteral("pw"),
                   const QString &server = QStringLiteral("127.0.0.1"), const QString &source = QStringLiteral("plant@x"));
    void startManager();
    void post(const EmailManager::Mail2Send &mail);
    void stopManager();
    QStringList logRows() { return StoreFixture::rows(QStringLiteral("SELECT type, message FROM Logs ORDER BY idLogs")); }

    Certificates m_certs;
    QTemporaryDir *m_dir = nullptr;
    ConfigManager *m_config = nullptr;
    QPointer<EmailManager> m_manager;
    QPointer<QThread> m_thread;
};

void tst_EmailManager::initTestCase()
{
    QVERIFY(m_certs.make());
    m_certs.trustCa();
}

void tst_EmailManager::init()
{
    EmailManager::queueTickIntervalMs = 200;
    m_dir = new QTemporaryDir;
    m_config = new ConfigManager;
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
}

void tst_EmailManager::cleanup()
{
    stopManager();
    delete m_config;
    delete m_dir;
}

void tst_EmailManager::configure(quint16 port, int security, const QString &password, const QString &server,
                                 const QString &source)
{
    QVERIFY(StoreFixture::exec({QStringLiteral("UPDATE SMTP SET serverName='%1', port=%2, security=%3, username='tester', "
                                               "password='%4', sourceEmailAddress='%5'")
                                    .arg(server)
                                    .arg(port)
                                    .arg(security)
                                    .arg(password, source)}));
}

void tst_EmailManager::startManager()
{
    m_manager = new EmailManager;
    g_emailManager = m_manager;
    m_thread = startWorker(m_manager);
    QVERIFY(QMetaObject::invokeMethod(m_manager, "initConfig", Qt::QueuedConnection));
}

// The alarm code's way: a queued call by name with the registered record type.
void tst_EmailManager::post(const EmailManager::Mail2Send &mail)
{
    QVERIFY(QMetaObject::invokeMethod(m_manager, "addMail2Queue", Qt::QueuedConnection,
                                      Q_ARG(EmailManager::Mail2Send, mail)));
}

void tst_EmailManager::stopManager()
{
    if (!m_manager)
        return;
    m_manager->stop();
    if (m_thread)
        QVERIFY(m_thread->wait(5000));
    g_emailManager = nullptr;
    QTRY_VERIFY(!m_manager);
    QTRY_VERIFY(!m_thread);
}

void tst_EmailManager::sendsInOrder_data()
{
    QTest::addColumn<int>("security");
    QTest::newRow("plain") << 0;
    QTest::newRow("tls") << 1;
    QTest::newRow("starttls") << 2;
}

// One client serves every mail of the run, each on its own connection.
void tst_EmailManager::sendsInOrder()
{
    QFETCH(int, security);
    const char *modes[] = {"plain", "tls", "starttls"};
    PeerProcess server;
    QVERIFY(startServer(server, m_certs, QLatin1String(modes[security]), "tester", "pw"));
    configure(port(server), security);
    startManager();
    post(alarmMail("first"));
    post(alarmMail("second", {"a@x", "b@x"}));
    post(alarmMail("third"));
    QTRY_COMPARE(mails(server).size(), 3);
    const QList<Arrived> arrived = mails(server);
    QCOMPARE(arrived.at(1).rcpt, QStringList({"a@x", "b@x"}));
    for (int i = 0; i < 3; ++i) {
        const QByteArray subject = QList<QByteArray>{"first", "second", "third"}.at(i);
        QVERIFY(arrived.at(i).data.startsWith("From: Dalvoran <plant@x>\r\n"));
        QVERIFY(arrived.at(i).data.contains("\r\nSubject: " + subject + "\r\n"));
        QVERIFY(arrived.at(i).data.contains(
            "Content-Type: text/html; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n\r\n<!DOCTYPE html><html><head>"
            "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=UTF-8\" /></head><body><b>" +
            subject + "</b></body></html>\r\n"));
    }
    QTRY_COMPARE(logRows(), QStringList({"info|Mail send", "info|Mail send", "info|Mail send"}));
}

void tst_EmailManager::notConfigured_data()
{
    QTest::addColumn<QString>("server");
    QTest::addColumn<QString>("source");
    QTest::newRow("no server") << QString() << QStringLiteral("plant@x");
    QTest::newRow("no sender") << QStringLiteral("127.0.0.1") << QString();
}

void tst_EmailManager::notConfigured()
{
    QFETCH(QString, server);
    QFETCH(QString, source);
    configure(25, 0, QStringLiteral("pw"), server, source);
    startManager();
    post(alarmMail("one"));
    post(alarmMail("two"));
    QTRY_COMPARE(logRows(), QStringList({"warn|SMTP not configured.", "warn|SMTP not configured."}));
}

void tst_EmailManager::thirdFailedTryIsLogged_data()
{
    QTest::addColumn<QString>("serverKind");
    QTest::addColumn<int>("security");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QStringList>("recipients");
    QTest::addColumn<QString>("event");

    QTest::newRow("unreachable") << "none" << 0 << "pw" << QStringList{"op@x"}
                                 << "warn|Unable to send mail. (Failed to connect to SMTP server.)";
    QTest::newRow("security 9") << "plain" << 9 << "pw" << QStringList{"op@x"}
                                << "warn|Unable to send mail. (Failed to connect to SMTP server.)";
    QTest::newRow("login refused") << "plain" << 0 << "bad" << QStringList{"op@x"} << "warn|Unable to send mail. (Failed to login.)";
    QTest::newRow("mail refused") << "refuse" << 0 << "pw" << QStringList{"op@x"} << "warn|Unable to send mail. ()";
    QTest::newRow("line break in recipient") << "plain" << 0 << "pw" << QStringList{"op@x\r\nRCPT TO: <evil@x>"}
                                             << "warn|Unable to send mail. ()";
    // The 250 that came with the 354 is no answer to the mail, which the server refuses.
    QTest::newRow("early reply to the data")
        << "early" << 0 << "pw" << QStringList{"op@x"} << "warn|Unable to send mail. ()";
}

// Two failed tries leave no trace; the third removes the mail with one event.
void tst_EmailManager::thirdFailedTryIsLogged()
{
    QFETCH(QString, serverKind);
    QFETCH(int, security);
    QFETCH(QString, password);
    QFETCH(QStringList, recipients);
    QFETCH(QString, event);
    PeerProcess server;
    if (serverKind == "early")
        QVERIFY(startScripted(server, QJsonObject{{"replies", QJsonObject{{"DATA", QJsonArray{"354 go\r\n250 ok\r\n"}},
                                                                          {".", QJsonArray{"554 refused\r\n"}}}}}));
    else
        QVERIFY(startServer(server, m_certs, "plain", "tester", "pw",
                            serverKind == "refuse" ? QStringList{"--refuse-data"} : QStringList()));
    configure(serverKind == "none" ? TestEnv::freeTcpPort() : port(server), security, password);
    startManager();
    post(alarmMail("failing", recipients));
    QTRY_COMPARE(logRows(), QStringList{event});
    // Nothing further happens to the mail: two more ticks and a check by hand add nothing.
    QVERIFY(QMetaObject::invokeMethod(m_manager, "checkQueue", Qt::BlockingQueuedConnection));
    QCOMPARE(logRows(), QStringList{event});
    if (serverKind == "plain" && security == 0 && password == "bad") {
        QTRY_COMPARE(lines(server, "AUTH").size(), 3);
        QVERIFY(mails(server).isEmpty());
    }
    if (serverKind == "refuse")
        QTRY_COMPARE(mails(server).size(), 3);
    if (serverKind == "early") {
        QTRY_COMPARE(lines(server, "CMD").count("DATA"), 3);
        QCOMPARE(lines(server, "MAILDATA"), QStringList());
    }
    if (recipients.first().contains('\n') || security == 9)
        QTRY_COMPARE(lines(server, "CONNECT").size(), security == 9 ? 0 : 3);
}

// 99 waiting mails take one more; 100 drop the next without an event.
void tst_EmailManager::queueHoldsAHundred()
{
    EmailManager::queueTickIntervalMs = 3600 * 1000;
    PeerProcess server;
    QVERIFY(startServer(server, m_certs, "plain", "tester", "pw"));
    configure(port(server), 0);
    startManager();
    for (int i = 0; i < 101; ++i)
        post(alarmMail(QStringLiteral("mail %1").arg(i)));
    // The main thread keeps reading the server's output meanwhile, so the server never stalls.
    QVERIFY(QMetaObject::invokeMethod(m_manager, "checkQueue", Qt::QueuedConnection));
    QTRY_COMPARE_WITH_TIMEOUT(logRows().size(), 100, 60000);
    QCOMPARE(logRows(), QStringList(QVector<QString>(100, QStringLiteral("info|Mail send")).toList()));
    QVERIFY(QMetaObject::invokeMethod(m_manager, "checkQueue", Qt::BlockingQueuedConnection));
    QCOMPARE(logRows().size(), 100);
    QTRY_COMPARE(mails(server).size(), 100);
    QVERIFY(mails(server).last().data.contains("Subject: mail 99\r\n"));
}

void tst_EmailManager::trustedCertificateIsLogged_data()
{
    QTest::addColumn<QString>("ehloInsideTls");
    QTest::newRow("mails go through") << QStringLiteral("250 scripted\r\n");
    QTest::newRow("refused inside TLS") << QStringLiteral("554 inside\r\n");
}

// The trust is logged once a mail goes over it; a server that refuses everything inside TLS
// leaves only the failure in the log, not a warning about a connection that was never made.
void tst_EmailManager::trustedCertificateIsLogged()
{
    QFETCH(QString, ehloInsideTls);
    const bool accepted = ehloInsideTls.startsWith(QLatin1String("250"));
    PeerProcess peer;
    QVERIFY(startScripted(
        peer, QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250 scripted\r\n", ehloInsideTls}}}}}, &m_certs,
        QStringLiteral("self")));
    configure(port(peer), 2);
    startManager();
    if (!accepted) {
        post(alarmMail("one"));
        QTRY_COMPARE(logRows(), QStringList{"warn|Unable to send mail. (Failed to connect to SMTP server.)"});
        QTRY_COMPARE(lines(peer, "TLS"), QStringList({"fail", "ok", "ok", "ok"}));
        return;
    }
    post(alarmMail("one"));
    post(alarmMail("two"));
    const QString digest =
        QString::fromLatin1(m_certs.certificate(QStringLiteral("self")).digest(QCryptographicHash::Sha256).toHex());
    QTRY_COMPARE(logRows(), QStringList({"warn|Trusting the self-signed certificate of SMTP server 127.0.0.1:" +
                                             QString::number(port(peer)) + ", SHA-256 " + digest,
                                         "info|Mail send", "info|Mail send"}));
    QTRY_COMPARE(lines(peer, "TLS"), QStringList({"fail", "ok", "ok"}));
}

// stop() may come before the thread ran process(); the thread still ends within the poller's bound.
void tst_EmailManager::stopRightAfterStart()
{
    for (int round = 0; round < 20; ++round) {
        m_manager = new EmailManager;
        QCOMPARE(QMetaType::type("EmailManager::Mail2Send"), qMetaTypeId<EmailManager::Mail2Send>());
        m_thread = startWorker(m_manager);
        QVERIFY(QMetaObject::invokeMethod(m_manager, "initConfig", Qt::QueuedConnection));
        post(alarmMail("dropped"));
        m_manager->stop();
        QVERIFY(m_thread->wait(5000));
        QTRY_VERIFY(!m_manager);
        QTRY_VERIFY(!m_thread);
    }
    QCOMPARE(logRows(), QStringList(QVector<QString>(20, QStringLiteral("warn|SMTP not configured.")).toList()));
}

// A server that never finishes its EHLO reply holds neither the mail thread nor the stop.
void tst_EmailManager::stopDuringEndlessReply()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"dribble", QJsonObject{{"on", "EHLO"}, {"data", "250-more\r\n"}, {"interval", 0.05}}}}));
    configure(port(peer), 0);
    startManager();
    post(alarmMail("held"));
    QTRY_VERIFY(lines(peer, "CMD").contains("EHLO localhost"));
    m_manager->stop();
    QVERIFY(m_thread->wait(5000));
    g_emailManager = nullptr;
    QTRY_VERIFY(!m_manager);
    QVERIFY(logRows().isEmpty());
}

// The server resets the connection right after taking each mail, so QUIT cannot be written:
// every mail still counts as sent, and the queue goes on taking and sending mails.
void tst_EmailManager::quitAfterServerReset()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"closeAfter", "."}, {"reset", true}}));
    configure(port(peer), 0);
    startManager();
    for (int i = 0; i < 5; ++i)
        post(alarmMail(QStringLiteral("mail %1").arg(i)));
    QTRY_COMPARE(logRows().size(), 5);
    post(alarmMail("after"));
    QTRY_COMPARE(logRows(), QStringList(QVector<QString>(6, QStringLiteral("info|Mail send")).toList()));
    QTRY_COMPARE(lines(peer, "MAILDATA").size(), 6);
}

QTEST_GUILESS_MAIN(tst_EmailManager)
#include "tst_EmailManager.moc"
