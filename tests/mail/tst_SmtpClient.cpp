#include "EmailAddress.h"
#include "MailPeers.h"
#include "MimeMessage.h"
#include "MimeText.h"
#include "SmtpClient.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QSignalSpy>
#include <QtTest>

using namespace MailPeers;

Q_DECLARE_METATYPE(SmtpClient::SmtpError)

// One small mail with its addresses, alive as long as the object.
struct TestMail
{
    MimeMessage message{true};
    EmailAddress sender{QStringLiteral("alarm@plant.example"), QStringLiteral("Dalvoran")};
    QList<EmailAddress *> to;
    MimeText text;

    explicit TestMail(const QStringList &recipients = {QStringLiteral("op@plant.example")},
                      const QString &body = QStringLiteral("Tank 3 high.\n"))
        : text(body)
    {
        message.setSender(&sender);
        for (const QString &address : recipients) {
            to << new EmailAddress(address, QString(), &message);
            message.addTo(to.last());
        }
        message.setSubject(QStringLiteral("Alarm"));
        message.addPart(&text);
    }
};

static QList<int> errorsOf(const QSignalSpy &spy)
{
    QList<int> out;
    for (const QList<QVariant> &args : spy)
        out << args.at(0).value<SmtpClient::SmtpError>();
    return out;
}

class tst_SmtpClient : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void againstServer_data();
    void againstServer();
    void unknownSecurityHasNoSocket();
    void greetingAndReplies_data();
    void greetingAndReplies();
    void endlessReplyIsBounded_data();
    void endlessReplyIsBounded();
    void refusedRecipientStopsTransaction();
    void earlyReplyEndsDialogue_data();
    void earlyReplyEndsDialogue();
    void unsafeHeadersNeverSent_data();
    void unsafeHeadersNeverSent();
    void authLoginStopsAtRefusal();
    void authPlainEmptyCredentials();
    void startTlsTrustsSelfSignedOnce();
    void startTlsOtherFailureIsFinal();
    void startTlsTrustAnnouncedOnlyOnSuccess_data();
    void startTlsTrustAnnouncedOnlyOnSuccess();
    void startTlsTakesNoPlainTextAfterReply_data();
    void startTlsTakesNoPlainTextAfterReply();
    void quitThrowsWithoutConnection();
    void dataForWire_data();
    void dataForWire();

private:
    Certificates m_certs;
};

void tst_SmtpClient::initTestCase()
{
    qRegisterMetaType<SmtpClient::SmtpError>("SmtpClient::SmtpError");
    QVERIFY(m_certs.make());
    m_certs.trustCa();
}

void tst_SmtpClient::againstServer_data()
{
    QTest::addColumn<int>("security");
    QTest::addColumn<int>("method");
    QTest::addColumn<bool>("accepted");
    const char *modes[] = {"plain", "tls", "starttls"};
    for (int security = 0; security < 3; ++security)
        for (int method = 0; method < 2; ++method)
            for (const bool accepted : {true, false})
                QTest::addRow("%s %s %s", modes[security], method ? "LOGIN" : "PLAIN", accepted ? "accepted" : "refused")
                    << security << method << accepted;
}

// Two mails on one client, so every connection type shows it starts afresh for the second one.
// The text holds a lone "." line, a ".x" line, bare LF and CR line ends: what arrives is the
// message text with CRLF line ends, nothing cut.
void tst_SmtpClient::againstServer()
{
    QFETCH(int, security);
    QFETCH(int, method);
    QFETCH(bool, accepted);
    const char *modes[] = {"plain", "tls", "starttls"};
    PeerProcess server;
    QVERIFY(startServer(server, m_certs, QLatin1String(modes[security]), QStringLiteral("mailer"),
                        QStringLiteral("s3cret:ż")));

    SmtpClient client(QStringLiteral("127.0.0.1"), port(server), SmtpClient::ConnectionType(security));
    client.setUser(QStringLiteral("mailer"));
    client.setPassword(accepted ? QStringLiteral("s3cret:ż") : QStringLiteral("wrong"));
    client.setAuthMethod(SmtpClient::AuthMethod(method));
    QSignalSpy errors(&client, &SmtpClient::smtpError);

    QList<QByteArray> sent;
    for (int round = 0; round < 2; ++round) {
        TestMail mail({QStringLiteral("op@plant.example"), QStringLiteral("boss@plant.example")},
                      QStringLiteral("line one\n.\n.x stays\rlast ż\r\nround %1").arg(round));
        QVERIFY2(client.connectToHost(), qPrintable(QStringLiteral("round %1").arg(round)));
        QCOMPARE(client.login(), accepted);
        if (!accepted) {
            QVERIFY(errorsOf(errors).contains(SmtpClient::ErrAuth));
            client.disconnect();
            continue;
        }
        QVERIFY(client.sendMail(mail.message));
        sent << mail.message.toString().toUtf8();
        client.quit();
        client.disconnect();
    }
    if (!accepted) {
        QTRY_COMPARE(lines(server, QStringLiteral("AUTH")).size(), 2);
        QVERIFY(mails(server).isEmpty());
        return;
    }
    QCOMPARE(errorsOf(errors), QList<int>());
    QTRY_COMPARE(mails(server).size(), 2);
    for (int round = 0; round < 2; ++round) {
        const Arrived arrived = mails(server).at(round);
        QCOMPARE(arrived.from, QStringLiteral("alarm@plant.example"));
        QCOMPARE(arrived.rcpt, QStringList({"op@plant.example", "boss@plant.example"}));
        QCOMPARE(arrived.data, asReceived(sent.at(round)));
    }
    // aiosmtpd counts the stream after STARTTLS as a connection of its own.
    QCOMPARE(lines(server, QStringLiteral("CONNECT")).size(), security == SmtpClient::StartTls ? 4 : 2);
}

void tst_SmtpClient::unknownSecurityHasNoSocket()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::ConnectionType(5));
    QSignalSpy errors(&client, &SmtpClient::smtpError);
    QVERIFY(!client.getSocket());
    QVERIFY(!client.connectToHost());
    QCOMPARE(errorsOf(errors), QList<int>{SmtpClient::ErrConnect});
    QVERIFY(!client.login());
    TestMail mail;
    QVERIFY(!client.sendMail(mail.message));
    client.quit();
    client.disconnect();
    QVERIFY(lines(peer, QStringLiteral("CONN")).isEmpty());
}

void tst_SmtpClient::greetingAndReplies_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<bool>("connects");
    QTest::addColumn<QList<int>>("errors");
    QTest::addColumn<QString>("responseText");

    QTest::newRow("421 greeting") << QJsonObject{{"greeting", "421 busy\r\n"}} << false
                                  << QList<int>{SmtpClient::ErrServer, SmtpClient::ErrServer} << QStringLiteral("421 busy\r\n");
    QTest::newRow("multi-line EHLO")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250-first\r\n250-AUTH PLAIN LOGIN\r\n250 last\r\n"}}}}}
        << true << QList<int>() << QStringLiteral("250 last\r\n");
    QTest::newRow("continuation never ended")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250-first\r\n"}}}}}
        << false << QList<int>{SmtpClient::ErrResponseTimeout} << QStringLiteral("250-first\r\n");
    QTest::newRow("bare 250 ends the reply")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250\r\n"}}}}} << true << QList<int>() << QStringLiteral("250\r\n");
    QTest::newRow("bare 250 after continuation")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250-x\r\n250\r\n"}}}}} << true << QList<int>()
        << QStringLiteral("250\r\n");
    QTest::newRow("250 without line end waits")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250"}}}}} << false
        << QList<int>{SmtpClient::ErrResponseTimeout} << QStringLiteral("220 scripted\r\n");
    QTest::newRow("EHLO refused") << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"502 no\r\n"}}}}} << false
                                  << QList<int>{SmtpClient::ErrClient, SmtpClient::ErrServer} << QStringLiteral("502 no\r\n");
    QTest::newRow("delayed greeting") << QJsonObject{{"greetingDelay", 0.3}} << true << QList<int>()
                                      << QStringLiteral("250 scripted\r\n");
}

void tst_SmtpClient::greetingAndReplies()
{
    QFETCH(QJsonObject, script);
    QFETCH(bool, connects);
    QFETCH(QList<int>, errors);
    QFETCH(QString, responseText);
    PeerProcess peer;
    QVERIFY(startScripted(peer, script));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    client.setResponseTimeout(400);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QCOMPARE(client.connectToHost(), connects);
    QCOMPARE(errorsOf(spy), errors);
    QCOMPARE(client.getResponseText(), responseText);
}

void tst_SmtpClient::endlessReplyIsBounded_data()
{
    QTest::addColumn<QString>("data");
    QTest::addColumn<double>("interval");
    QTest::newRow("continuation lines") << QStringLiteral("250-more\r\n") << 0.05;
    QTest::newRow("no line end") << QString(200, QLatin1Char('2')) << 0.01;
}

// A server that never ends its reply costs one bounded wait, not the caller's thread.
void tst_SmtpClient::endlessReplyIsBounded()
{
    QFETCH(QString, data);
    QFETCH(double, interval);
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"dribble", QJsonObject{{"on", "EHLO"}, {"data", data}, {"interval", interval}}}}));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    client.setResponseTimeout(300);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!client.connectToHost());
    QVERIFY2(timer.elapsed() < 300 * SmtpClient::ReplyDeadlineFactor + 3000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(errorsOf(spy), QList<int>{SmtpClient::ErrResponseTimeout});
}

void tst_SmtpClient::refusedRecipientStopsTransaction()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"replies", QJsonObject{{"RCPT", QJsonArray{"250 ok\r\n", "550 no such user\r\n"}}}}}));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    QVERIFY(client.connectToHost());
    TestMail mail({"a@x", "b@x", "c@x"});
    QVERIFY(!client.sendMail(mail.message));
    client.disconnect();
    QTRY_VERIFY(lines(peer, "CLOSED").size() == 1);
    QCOMPARE(lines(peer, "CMD"), QStringList({"EHLO localhost", "MAIL FROM: <alarm@plant.example>", "RCPT TO: <a@x>",
                                              "RCPT TO: <b@x>"}));
}

void tst_SmtpClient::earlyReplyEndsDialogue_data()
{
    QTest::addColumn<QJsonObject>("script");
    QTest::addColumn<int>("stepsPassed");
    QTest::addColumn<QList<int>>("errors");
    QTest::addColumn<QStringList>("commands");

    const QStringList envelope{"EHLO localhost", "AUTH PLAIN AAA=", "MAIL FROM: <alarm@plant.example>",
                               "RCPT TO: <op@plant.example>"};
    QTest::newRow("354 and 250 in one write, 554 to the end")
        << QJsonObject{{"replies", QJsonObject{{"DATA", QJsonArray{"354 go\r\n250 ok\r\n"}},
                                               {".", QJsonArray{"554 refused\r\n"}}}}}
        << 2 << QList<int>{SmtpClient::ErrServer} << envelope + QStringList{"DATA"};
    QTest::newRow("MAIL answered with the recipient's 250 too")
        << QJsonObject{{"replies", QJsonObject{{"MAIL", QJsonArray{"250 ok\r\n250 ok\r\n"}},
                                               {"RCPT", QJsonArray{"550 no such user\r\n"}}}}}
        << 2 << QList<int>{SmtpClient::ErrServer} << QStringList(envelope.mid(0, 3));
    QTest::newRow("EHLO answered with the login's 235 too")
        << QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250 scripted\r\n235 ok\r\n"}},
                                               {"AUTH", QJsonArray{"535 no\r\n"}}}}}
        << 1 << QList<int>{SmtpClient::ErrServer, SmtpClient::ErrAuth} << QStringList(envelope.mid(0, 1));
    QTest::newRow("greeting followed by EHLO's 250")
        << QJsonObject{{"greeting", "220 scripted\r\n250 early\r\n"},
                       {"replies", QJsonObject{{"EHLO", QJsonArray{"554 no\r\n"}}}}}
        << 0 << QList<int>{SmtpClient::ErrServer} << QStringList();
}

// The client never pipelines, so a reply already waiting when a command is due answers nothing
// yet: taken as the command's answer, it would let the server's real refusal go unread and a
// refused mail count as sent. The dialogue ends before the command, and the mail text never goes.
void tst_SmtpClient::earlyReplyEndsDialogue()
{
    QFETCH(QJsonObject, script);
    QFETCH(int, stepsPassed);
    QFETCH(QList<int>, errors);
    QFETCH(QStringList, commands);
    PeerProcess peer;
    QVERIFY(startScripted(peer, script));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    TestMail mail;
    int passed = 0;
    if (client.connectToHost()) {
        passed = 1;
        if (client.login()) {
            passed = 2;
            if (client.sendMail(mail.message))
                passed = 3;
        }
    }
    client.disconnect();
    QCOMPARE(passed, stepsPassed);
    QCOMPARE(errorsOf(spy), errors);
    QTRY_COMPARE(lines(peer, "CLOSED").size(), 1);
    QCOMPARE(lines(peer, "CMD"), commands);
    QCOMPARE(lines(peer, "MAILDATA"), QStringList());
}

void tst_SmtpClient::unsafeHeadersNeverSent_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    QTest::newRow("recipient CR LF") << "to" << QStringLiteral("a@x>\r\nRCPT TO: <evil@x");
    QTest::newRow("recipient LF") << "to" << QStringLiteral("a@x\nb");
    QTest::newRow("recipient <") << "to" << QStringLiteral("a@x<b");
    QTest::newRow("recipient >") << "to" << QStringLiteral("a@x>b");
    QTest::newRow("recipient NUL") << "to" << QStringLiteral("a@x") + QChar(0);
    QTest::newRow("sender CR") << "from" << QStringLiteral("s@x\rDATA");
    QTest::newRow("sender name LF") << "fromName" << QStringLiteral("N\nBcc: x@y");
    QTest::newRow("recipient name CR") << "toName" << QStringLiteral("R\r");
    QTest::newRow("cc LF") << "cc" << QStringLiteral("c@x\n");
    QTest::newRow("bcc >") << "bcc" << QStringLiteral("c@x>");
    QTest::newRow("subject CR LF") << "subject" << QStringLiteral("Alarm\r\nBcc: evil@x");
    QTest::newRow("subject LF") << "subject" << QStringLiteral("Alarm\n");
}

void tst_SmtpClient::unsafeHeadersNeverSent()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}));
    TestMail mail;
    EmailAddress extra(QStringLiteral("extra@x"));
    if (field == "to")
        mail.to.first()->setAddress(value);
    else if (field == "from")
        mail.sender.setAddress(value);
    else if (field == "fromName")
        mail.sender.setName(value);
    else if (field == "toName")
        mail.to.first()->setName(value);
    else if (field == "subject")
        mail.message.setSubject(value);
    else {
        extra.setAddress(value);
        mail.message.addRecipient(&extra, field == "cc" ? MimeMessage::Cc : MimeMessage::Bcc);
    }
    QVERIFY(!SmtpClient::isSafeForWire(mail.message));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    QVERIFY(client.connectToHost());
    QVERIFY(!client.sendMail(mail.message));
    client.disconnect();
    QTRY_VERIFY(lines(peer, "CLOSED").size() == 1);
    QCOMPARE(lines(peer, "CMD"), QStringList{"EHLO localhost"});
}

void tst_SmtpClient::authLoginStopsAtRefusal()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, QJsonObject{{"replies", QJsonObject{{"AUTH", QJsonArray{"334 VXNlcm5hbWU6\r\n"}},
                                                                    {"*", QJsonArray{"535 bad user\r\n"}}}}}));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(client.connectToHost());
    QVERIFY(!client.login(QStringLiteral("user"), QStringLiteral("pass"), SmtpClient::LoginAuth));
    QCOMPARE(errorsOf(spy), (QList<int>{SmtpClient::ErrClient, SmtpClient::ErrAuth}));
    client.disconnect();
    QTRY_VERIFY(lines(peer, "CLOSED").size() == 1);
    QCOMPARE(lines(peer, "CMD"), QStringList({"EHLO localhost", "AUTH LOGIN", "dXNlcg=="}));
}

void tst_SmtpClient::authPlainEmptyCredentials()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::PlainTcp);
    QVERIFY(client.connectToHost());
    QVERIFY(client.login());
    QVERIFY(client.login(QStringLiteral("u"), QStringLiteral("p"), SmtpClient::AuthMethod(7))); // sends nothing
    client.disconnect();
    QTRY_VERIFY(lines(peer, "CLOSED").size() == 1);
    QCOMPARE(lines(peer, "CMD"), QStringList({"EHLO localhost", "AUTH PLAIN AAA="}));
}

// The first mail needs two connections (the handshake that fails, the one that trusts the
// certificate), the next one a single connection.
void tst_SmtpClient::startTlsTrustsSelfSignedOnce()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}, &m_certs, QStringLiteral("self")));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::StartTls);
    QSignalSpy trusted(&client, &SmtpClient::updateSelfSignedCert);
    QSignalSpy errors(&client, &SmtpClient::smtpError);
    TestMail first;
    QVERIFY(client.connectToHost());
    QVERIFY(client.isCertificateTrusted());
    QCOMPARE(client.getTrustedCertificate(), m_certs.certificate(QStringLiteral("self")));
    QCOMPARE(trusted.size(), 1);
    QVERIFY(client.login());
    QVERIFY(client.sendMail(first.message));
    client.quit();
    client.disconnect();
    QTRY_COMPARE(lines(peer, "CLOSED").size(), 2);
    QCOMPARE(lines(peer, "CONN").size(), 2);
    QCOMPARE(lines(peer, "TLS"), QStringList({"fail", "ok"}));

    TestMail second;
    QVERIFY(client.connectToHost());
    QVERIFY(client.login());
    QVERIFY(client.sendMail(second.message));
    client.quit();
    client.disconnect();
    QTRY_COMPARE(lines(peer, "CLOSED").size(), 3);
    QCOMPARE(lines(peer, "CONN").size(), 3);
    QCOMPARE(lines(peer, "TLS"), QStringList({"fail", "ok", "ok"}));
    QCOMPARE(lines(peer, "MAILDATA").size(), 2);
    QCOMPARE(trusted.size(), 1);
    QCOMPARE(errorsOf(errors), QList<int>());
}

void tst_SmtpClient::startTlsOtherFailureIsFinal()
{
    PeerProcess peer;
    QVERIFY(startScripted(peer, {}, &m_certs, QStringLiteral("otherhost")));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::StartTls);
    QSignalSpy trusted(&client, &SmtpClient::updateSelfSignedCert);
    QSignalSpy errors(&client, &SmtpClient::smtpError);
    QVERIFY(!client.connectToHost());
    QCOMPARE(errorsOf(errors), QList<int>{SmtpClient::ErrConnect});
    QCOMPARE(trusted.size(), 0);
    QTRY_COMPARE(lines(peer, "TLS"), QStringList({"fail", "fail"}));
}

void tst_SmtpClient::startTlsTrustAnnouncedOnlyOnSuccess_data()
{
    QTest::addColumn<QString>("ehloInsideTls");
    QTest::addColumn<QList<int>>("errors");
    QTest::newRow("EHLO refused") << QStringLiteral("554 inside\r\n")
                                  << QList<int>{SmtpClient::ErrClient, SmtpClient::ErrServer};
    QTest::newRow("EHLO never answered") << QStringLiteral("250") << QList<int>{SmtpClient::ErrResponseTimeout};
}

// The handshake that trusts the self-signed certificate succeeds, but the dialogue inside TLS
// does not: no connection was made by trusting it, so nothing announces the trust. The
// certificate stays trusted for the next connection.
void tst_SmtpClient::startTlsTrustAnnouncedOnlyOnSuccess()
{
    QFETCH(QString, ehloInsideTls);
    QFETCH(QList<int>, errors);
    PeerProcess peer;
    QVERIFY(startScripted(
        peer, QJsonObject{{"replies", QJsonObject{{"EHLO", QJsonArray{"250 scripted\r\n", ehloInsideTls}}}}}, &m_certs,
        QStringLiteral("self")));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::StartTls);
    // Long enough for a slow peer to answer everything before the EHLO inside TLS.
    client.setResponseTimeout(2000);
    QSignalSpy trusted(&client, &SmtpClient::updateSelfSignedCert);
    QSignalSpy spy(&client, &SmtpClient::smtpError);
    QVERIFY(!client.connectToHost());
    QCOMPARE(errorsOf(spy), errors);
    QVERIFY(client.isCertificateTrusted());
    QTRY_COMPARE(lines(peer, "TLS"), QStringList({"fail", "ok"}));
    QCOMPARE(trusted.size(), 0);
}

// Replies that would carry a whole login and mail, for a client that took them as its own.
static const char injectedReplies[] = "250 injected\r\n235 injected\r\n250 injected\r\n250 injected\r\n"
                                      "354 injected\r\n250 injected\r\n";

void tst_SmtpClient::startTlsTakesNoPlainTextAfterReply_data()
{
    QTest::addColumn<QString>("startTlsReply");
    QTest::addColumn<QJsonObject>("beforeTls");
    QTest::newRow("replies with the 220") << QStringLiteral("220 go ahead\r\n") + QLatin1String(injectedReplies)
                                          << QJsonObject();
    QTest::newRow("one line with the 220") << QStringLiteral("220 go ahead\r\n250 injected\r\n") << QJsonObject();
    QTest::newRow("part of a line with the 220") << QStringLiteral("220 go ahead\r\n2") << QJsonObject();
    QTest::newRow("replies after the 220")
        << QStringLiteral("220 go ahead\r\n")
        << QJsonObject{{"data", QLatin1String(injectedReplies)}, {"delay", 0.2}};
}

// Whatever comes in plain text after the 220 to STARTTLS, in its packet or later, ends the
// connection before a single command goes inside TLS; the server there refuses everything, so a
// client that read the plain text as replies would log in and send the mail without its consent.
void tst_SmtpClient::startTlsTakesNoPlainTextAfterReply()
{
    QFETCH(QString, startTlsReply);
    QFETCH(QJsonObject, beforeTls);
    QJsonObject script{{"replies", QJsonObject{{"EHLO", QJsonArray{"250 scripted\r\n", "554 inside\r\n"}},
                                               {"STARTTLS", QJsonArray{startTlsReply}},
                                               {"AUTH", QJsonArray{"535 inside\r\n"}},
                                               {"MAIL", QJsonArray{"550 inside\r\n"}},
                                               {"RCPT", QJsonArray{"550 inside\r\n"}},
                                               {"DATA", QJsonArray{"554 inside\r\n"}}}}};
    if (!beforeTls.isEmpty())
        script.insert("beforeTls", beforeTls);
    PeerProcess peer;
    QVERIFY(startScripted(peer, script, &m_certs, QStringLiteral("server")));
    SmtpClient client(QStringLiteral("127.0.0.1"), port(peer), SmtpClient::StartTls);
    client.setResponseTimeout(1000);
    QSignalSpy errors(&client, &SmtpClient::smtpError);
    TestMail mail;
    const bool connected = client.connectToHost();
    const bool sent = connected && client.login() && client.sendMail(mail.message);
    QVERIFY(!connected);
    QVERIFY(!sent);
    QCOMPARE(errorsOf(errors), QList<int>{SmtpClient::ErrConnect});
    QVERIFY(!client.isCertificateTrusted());
    QTRY_COMPARE(lines(peer, "CLOSED").size(), 1);
    QCOMPARE(lines(peer, "CONN").size(), 1);
    QCOMPARE(lines(peer, "CMD"), QStringList({"EHLO localhost", "STARTTLS"}));
}

void tst_SmtpClient::quitThrowsWithoutConnection()
{
    SmtpClient client(QStringLiteral("127.0.0.1"), TestEnv::freeTcpPort(), SmtpClient::PlainTcp);
    client.setConnectionTimeout(1000);
    QSignalSpy errors(&client, &SmtpClient::smtpError);
    QVERIFY(!client.connectToHost());
    QVERIFY_EXCEPTION_THROWN(client.quit(), SmtpClient::SendMessageTimeoutException);
    QCOMPARE(errorsOf(errors), (QList<int>{SmtpClient::ErrConnect, SmtpClient::ErrSendTimeout}));
}

void tst_SmtpClient::dataForWire_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("wire");
    QTest::newRow("CRLF stays") << QByteArray("a\r\nb") << QByteArray("a\r\nb");
    QTest::newRow("bare LF") << QByteArray("a\nb\n") << QByteArray("a\r\nb\r\n");
    QTest::newRow("bare CR") << QByteArray("a\rb") << QByteArray("a\r\nb");
    QTest::newRow("CR CR LF") << QByteArray("a\r\r\nb") << QByteArray("a\r\n\r\nb");
    QTest::newRow("dot line") << QByteArray("a\r\n.\r\nb") << QByteArray("a\r\n..\r\nb");
    QTest::newRow("dot first") << QByteArray(".x\n..y") << QByteArray("..x\r\n...y");
    QTest::newRow("inner dot") << QByteArray("a.b\n a.") << QByteArray("a.b\r\n a.");
}

void tst_SmtpClient::dataForWire()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, wire);
    QCOMPARE(SmtpClient::dataForWire(text), wire);
}

QTEST_GUILESS_MAIN(tst_SmtpClient)
#include "tst_SmtpClient.moc"
