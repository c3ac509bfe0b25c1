#include "../store/StoreFixture.h"
#include "MailPeers.h"
#include "SMTPManager.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

using namespace MailPeers;

Q_DECLARE_METATYPE(t_GetArray)

static const QByteArray defaultRow = "{\"idSMTP\":\"1\",\"serverName\":\"\",\"port\":\"587\",\"security\":\"1\",\"username\":\"\","
                                     "\"password\":\"\",\"sourceEmailAddress\":\"\"}";

static t_GetArray params(const QList<QPair<QByteArray, QByteArray>> &pairs)
{
    t_GetArray map;
    for (const auto &pair : pairs)
        map.insert(pair.first, pair.second);
    return map;
}

class tst_SMTPManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void defaultRow();
    void saveBindsValues_data();
    void saveBindsValues();
    void readOnlyCallersGetNoPassword();
    void failingStatements();
    void readSettings();
    void testMail_data();
    void testMail();
    void testMailTrustsSelfSignedWithWarning();
    void secondTestMailWhileBusy();
    void quitAfterServerClosed();
    void testMailTakesNoPlainTextAfterStartTls();

private:
    QStringList logRows() { return StoreFixture::rows(QStringLiteral("SELECT type, message FROM Logs ORDER BY idLogs")); }

    Certificates m_certs;
    QTemporaryDir *m_dir = nullptr;
    ConfigManager *m_config = nullptr;
};

void tst_SMTPManager::initTestCase()
{
    QVERIFY(m_certs.make());
    m_certs.trustCa();
    g_smtpManager.testConnectionTimeout = 2000;
    g_smtpManager.testResponseTimeout = 2000;
}

void tst_SMTPManager::init()
{
    m_dir = new QTemporaryDir;
    m_config = new ConfigManager;
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
}

void tst_SMTPManager::cleanup()
{
    delete m_config;
    delete m_dir;
}

void tst_SMTPManager::defaultRow()
{
    QCOMPARE(g_smtpManager.getSMTPSetting(), ::defaultRow);
}

void tst_SMTPManager::saveBindsValues_data()
{
    QTest::addColumn<t_GetArray>("posted");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QJsonObject>("shown");

    QTest::newRow("all values") << params({{"serverName", "smtp.example"}, {"port", "465"}, {"security", "2"},
                                           {"username", "u"}, {"password", "p"}, {"sourceEmailAddress", "a@x"}})
                                << "1|smtp.example|465|2|u|p|a@x"
                                << QJsonObject{{"idSMTP", "1"}, {"serverName", "smtp.example"}, {"port", "465"}, {"security", "2"},
                                               {"username", "u"}, {"password", "p"}, {"sourceEmailAddress", "a@x"}};
    // Quote, "%2", backslash, semicolon and double quote are stored and shown as they stand.
    QTest::newRow("quoting password") << params({{"serverName", "s"}, {"port", "25"}, {"security", "0"},
                                                 {"password", "p'%2\\;\""}, {"sourceEmailAddress", "%1"}})
                                      << "1|s|25|0||p'%2\\;\"|%1"
                                      << QJsonObject{{"idSMTP", "1"}, {"serverName", "s"}, {"port", "25"}, {"security", "0"},
                                                     {"username", ""}, {"password", "p'%2\\;\""}, {"sourceEmailAddress", "%1"}};
    QTest::newRow("missing and bad numbers") << params({{"port", "abc"}, {"username", QByteArray("ab\0cd", 5)}})
                                             << "1||0|0|ab||"
                                             << QJsonObject{{"idSMTP", "1"}, {"serverName", ""}, {"port", "0"}, {"security", "0"},
                                                            {"username", "ab"}, {"password", ""}, {"sourceEmailAddress", ""}};
    QTest::newRow("any security number") << params({{"security", "7"}, {"serverName", "ż"}}) << "1|ż|0|7|||"
                                         << QJsonObject{{"idSMTP", "1"}, {"serverName", "ż"}, {"port", "0"}, {"security", "7"},
                                                        {"username", ""}, {"password", ""}, {"sourceEmailAddress", ""}};
}

void tst_SMTPManager::saveBindsValues()
{
    QFETCH(t_GetArray, posted);
    QFETCH(QString, stored);
    QFETCH(QJsonObject, shown);
    QCOMPARE(g_smtpManager.saveSMTPSetting(posted), QByteArray("{\"success\":true}"));
    QCOMPARE(StoreFixture::rows("SELECT * FROM SMTP"), QStringList{stored});
    // Absent texts are stored as empty texts, never NULL.
    QCOMPARE(StoreFixture::rows("SELECT count(*) FROM SMTP WHERE serverName IS NULL OR username IS NULL OR "
                                "password IS NULL OR sourceEmailAddress IS NULL"),
             QStringList{"0"});
    const QByteArray reply = g_smtpManager.getSMTPSetting();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, reply.constData());
    QCOMPARE(document.object(), shown);
}

void tst_SMTPManager::readOnlyCallersGetNoPassword()
{
    QCOMPARE(g_smtpManager.saveSMTPSetting(params({{"serverName", "s"}, {"password", "top\"secret"}})),
             QByteArray("{\"success\":true}"));
    QVERIFY(g_smtpManager.getSMTPSetting().contains("\"password\":\"top\\\"secret\""));
    QCOMPARE(g_smtpManager.getSMTPSetting(true),
             QByteArray("{\"idSMTP\":\"1\",\"serverName\":\"s\",\"port\":\"0\",\"security\":\"0\",\"username\":\"\","
                        "\"password\":\"\",\"sourceEmailAddress\":\"\"}"));
}

void tst_SMTPManager::failingStatements()
{
    QVERIFY(StoreFixture::exec({"DELETE FROM SMTP"}));
    QCOMPARE(g_smtpManager.getSMTPSetting(), QByteArray());
    QVERIFY(StoreFixture::exec({"DROP TABLE SMTP"}));
    const QJsonObject query = QJsonDocument::fromJson(g_smtpManager.getSMTPSetting()).object();
    QCOMPARE(query.value("error").toBool(), true);
    QCOMPARE(query.value("message").toString(), QStringLiteral("Query error"));
    QVERIFY(query.value("details").toString().contains(QLatin1String("no such table")));
    const QJsonObject save = QJsonDocument::fromJson(g_smtpManager.saveSMTPSetting(params({{"port", "1"}}))).object();
    QCOMPARE(save.value("message").toString(), QStringLiteral("Edit error"));
    QVERIFY(save.value("details").toString().contains(QLatin1String("no such table")));
}

void tst_SMTPManager::readSettings()
{
    SMTPManager::SMTPSettings settings = g_smtpManager.readSMTPSettings();
    QCOMPARE(settings.serverName, QString());
    QCOMPARE(settings.port, 587);
    QCOMPARE(settings.security, 1);
    QVERIFY(g_smtpManager.saveSMTPSetting(params({{"serverName", "h"}, {"port", "2525"}, {"security", "2"}, {"username", "u"},
                                                  {"password", "p"}, {"sourceEmailAddress", "a@x"}}))
                .contains("success"));
    settings = g_smtpManager.readSMTPSettings();
    QCOMPARE(QStringList({settings.serverName, QString::number(settings.port), QString::number(settings.security),
                          settings.username, settings.password, settings.sourceEmailAddress}),
             QStringList({"h", "2525", "2", "u", "p", "a@x"}));
    // A table that cannot be read leaves the defaults.
    QVERIFY(StoreFixture::exec({"DROP TABLE SMTP"}));
    settings = g_smtpManager.readSMTPSettings();
    QCOMPARE(settings.serverName, QString());
    QCOMPARE(settings.port, 587);
    QCOMPARE(settings.security, 1);
}

void tst_SMTPManager::testMail_data()
{
    QTest::addColumn<QString>("mode");
    QTest::addColumn<QByteArray>("security");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QByteArray>("recipient");
    QTest::addColumn<bool>("serverUp");
    QTest::addColumn<QStringList>("serverArgs");
    QTest::addColumn<QByteArray>("reply");

    const QByteArray ok = "{\"success\":true}";
    QTest::newRow("plain sent") << "plain" << QByteArray("0") << QByteArray("pw") << QByteArray("op@x") << true
                                << QStringList() << ok;
    QTest::newRow("tls sent") << "tls" << QByteArray("1") << QByteArray("pw") << QByteArray("op@x") << true
                              << QStringList() << ok;
    QTest::newRow("starttls sent") << "starttls" << QByteArray("2") << QByteArray("pw") << QByteArray("op@x") << true
                                   << QStringList() << ok;
    QTest::newRow("login refused") << "plain" << QByteArray("0") << QByteArray("bad") << QByteArray("op@x") << true
                                   << QStringList() << QByteArray("{\"error\":true,\"message\":\"Failed to login!\"}");
    QTest::newRow("no server") << "plain" << QByteArray("0") << QByteArray("pw") << QByteArray("op@x") << false
                               << QStringList() << QByteArray("{\"error\":true,\"message\":\"Failed to connect to host!\"}");
    QTest::newRow("security 7") << "plain" << QByteArray("7") << QByteArray("pw") << QByteArray("op@x") << true
                                << QStringList() << QByteArray("{\"error\":true,\"message\":\"Failed to connect to host!\"}");
    QTest::newRow("mail refused") << "plain" << QByteArray("0") << QByteArray("pw") << QByteArray("op@x") << true
                                  << QStringList{"--refuse-data"}
                                  << QByteArray("{\"error\":true,\"message\":\"Failed to send mail!\"}");
    QTest::newRow("recipient with line break")
        << "plain" << QByteArray("0") << QByteArray("pw") << QByteArray("op@x\r\nRCPT TO: <evil@x>") << true << QStringList()
        << QByteArray("{\"error\":true,\"message\":\"Failed to send mail!\"}");
}

// The test mail takes the posted values, not the saved row, and leaves the row as it was.
void tst_SMTPManager::testMail()
{
    QFETCH(QString, mode);
    QFETCH(QByteArray, security);
    QFETCH(QByteArray, password);
    QFETCH(QByteArray, recipient);
    QFETCH(bool, serverUp);
    QFETCH(QStringList, serverArgs);
    QFETCH(QByteArray, reply);

    PeerProcess server;
    QVERIFY(startServer(server, m_certs, mode, "tester", "pw", serverArgs));
    const QByteArray port = serverUp ? QByteArray::number(MailPeers::port(server)) : QByteArray::number(TestEnv::freeTcpPort());
    const QStringList rowBefore = StoreFixture::rows("SELECT * FROM SMTP");
    QCOMPARE(g_smtpManager.sendTestMail(params({{"serverName", "127.0.0.1"}, {"port", port}, {"security", security},
                                                {"username", "tester"}, {"password", password},
                                                {"sourceEmailAddress", "plant@x"}, {"testEmailAddress", recipient}})),
             reply);
    QCOMPARE(StoreFixture::rows("SELECT * FROM SMTP"), rowBefore);
    if (reply.contains("success")) {
        QTRY_COMPARE(mails(server).size(), 1);
        const Arrived mail = mails(server).first();
        QCOMPARE(mail.from, QStringLiteral("plant@x"));
        QCOMPARE(mail.rcpt, QStringList{"op@x"});
        QVERIFY(mail.data.startsWith("From: Dalvran <plant@x>\r\nTo: <op@x>\r\nSubject: Test message from Dalvran\r\n"
                                     "MIME-Version: 1.0\r\n"));
        QVERIFY(mail.data.endsWith("\r\n\r\nThis is a test message send from Dalvran.\r\n\r\n--" +
                                   mail.data.mid(mail.data.indexOf("boundary=") + 9, 32) + "--\r\n\r\n\r\n"));
    } else if (serverUp) {
        QVERIFY(mails(server).size() <= 1);
        if (!serverArgs.contains("--refuse-data"))
            QVERIFY(mails(server).isEmpty());
    }
    QVERIFY(logRows().isEmpty());
}

void tst_SMTPManager::testMailTrustsSelfSignedWithWarning()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}, &m_certs, QStringLiteral("self")));
    const QByteArray port = QByteArray::number(MailPeers::port(peer));
    const t_GetArray posted = params({{"serverName", "127.0.0.1"}, {"port", port}, {"security", "2"},
                                      {"sourceEmailAddress", "plant@x"}, {"testEmailAddress", "op@x"}});
    QCOMPARE(g_smtpManager.sendTestMail(posted), QByteArray("{\"success\":true}"));
    const QString digest = QString::fromLatin1(
        m_certs.certificate(QStringLiteral("self")).digest(QCryptographicHash::Sha256).toHex());
    QCOMPARE(logRows(), QStringList{"warn|Trusting the self-signed certificate of SMTP server 127.0.0.1:" + QString(port) +
                                    ", SHA-256 " + digest});
    QTRY_COMPARE(lines(peer, "TLS"), QStringList({"fail", "ok"}));
}

// Of two test mails at once the second is refused at once; the busy flag ends with the first.
void tst_SMTPManager::secondTestMailWhileBusy()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"greetingDelay", 1.0}}));
    const t_GetArray posted = params({{"serverName", "127.0.0.1"}, {"port", QByteArray::number(MailPeers::port(peer))},
                                      {"security", "0"}, {"sourceEmailAddress", "plant@x"}, {"testEmailAddress", "op@x"}});
    QByteArray firstReply;
    QThread *first = QThread::create([&] { firstReply = g_smtpManager.sendTestMail(posted); });
    first->start();
    QTRY_COMPARE(lines(peer, "CONN").size(), 1);
    QCOMPARE(g_smtpManager.sendTestMail(posted), QByteArray("{\"error\":true,\"message\":\"Last mail not finished.\"}"));
    QVERIFY(first->wait(20000));
    delete first;
    QCOMPARE(firstReply, QByteArray("{\"success\":true}"));
    QCOMPARE(g_smtpManager.sendTestMail(posted), QByteArray("{\"success\":true}"));
    QTRY_COMPARE(lines(peer, "MAILDATA").size(), 2);
}

// The server closes right after taking the mail, so QUIT cannot be written: the mail still counts
// as sent and the next test mail is accepted.
void tst_SMTPManager::quitAfterServerClosed()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"closeAfter", "."}, {"reset", true}}));
    const t_GetArray posted = params({{"serverName", "127.0.0.1"}, {"port", QByteArray::number(MailPeers::port(peer))},
                                      {"security", "0"}, {"sourceEmailAddress", "plant@x"}, {"testEmailAddress", "op@x"}});
    for (int round = 0; round < 5; ++round)
        QCOMPARE(g_smtpManager.sendTestMail(posted), QByteArray("{\"success\":true}"));
    QTRY_COMPARE(lines(peer, "MAILDATA").size(), 5);
}

// A server (or anyone on the path) that sends the replies to the whole login and mail in plain
// text behind the 220 to STARTTLS gets no mail through: inside TLS the server refuses all.
void tst_SMTPManager::testMailTakesNoPlainTextAfterStartTls()
{
    PeerProcess peer;
    const QString injected = QStringLiteral("220 go ahead\r\n250 injected\r\n235 injected\r\n250 injected\r\n"
                                            "250 injected\r\n354 injected\r\n250 injected\r\n");
    QVERIFY(startScripted(peer,
                          QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250 scripted\r\n", "554 inside\r\n"}},
                                                              {"STARTTLS", QJsonArray{injected}},
                                                              {"AUTH", QJsonArray{"535 inside\r\n"}},
                                                              {"MAIL", QJsonArray{"550 inside\r\n"}},
                                                              {"RCPT", QJsonArray{"550 inside\r\n"}},
                                                              {"DATA", QJsonArray{"554 inside\r\n"}}}}},
                          &m_certs, QStringLiteral("server")));
    const t_GetArray posted = params({{"serverName", "127.0.0.1"}, {"port", QByteArray::number(MailPeers::port(peer))},
                                      {"security", "2"}, {"username", "tester"}, {"password", "pw"},
                                      {"sourceEmailAddress", "plant@x"}, {"testEmailAddress", "op@x"}});
    QCOMPARE(g_smtpManager.sendTestMail(posted),
             QByteArray("{\"error\":true,\"message\":\"Failed to connect to host!\"}"));
    QTRY_COMPARE(lines(peer, "CLOSED").size(), 1);
    QCOMPARE(lines(peer, "CMD"), QStringList({"EHLO localhost", "STARTTLS"}));
    QVERIFY(logRows().isEmpty());
}

QTEST_GUILESS_MAIN(tst_SMTPManager)
#include "tst_SMTPManager.moc"
