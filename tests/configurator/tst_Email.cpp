#include "Email.h"

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <thread>

using vexo::Email;

namespace {

const char kFakeCurl[] = "#!/bin/sh\n"
                         "dir=$(dirname \"$0\")\n"
                         "n=$(cat \"$dir/count\" 2>/dev/null || echo 0); echo $((n+1)) > \"$dir/count\"\n"
                         "printf '%s\\n' \"$@\" > \"$dir/args\"\n"
                         "cat > \"$dir/stdin\"\n"
                         "case \"$FAKE_CURL\" in\n"
                         "  fail) echo 'curl: (7) Failed to connect to 127.0.0.1' >&2; exit 7;;\n"
                         "  silent) exit 3;;\n"
                         "  crash) kill -SEGV $$;;\n"
                         "  hang) exec sleep 30;;\n"
                         "  slow) sleep 0.3;;\n"
                         "esac\n"
                         "exit 0\n";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

t_GetArray form(const QByteArray &json)
{
    t_GetArray map;
    map.insert("func", "sendEmail");
    map.insert("json", json);
    return map;
}

const QByteArray kForm = "{\"name\":\"Jan\",\"surname\":\"Kowalski\",\"email\":\"jan@example.com\",\"company\":\"ACME\","
                         "\"phone\":\"123\",\"module\":\"mod1\",\"message\":\"Hello\\nworld. ok\"}";

const QByteArray kMessage = "Subject: Jan Kowalski sent a message.\r\n"
                            "MIME-Version: 1.0\r\n"
                            "Content-Transfer-Encoding: 8bit\r\n"
                            "Content-Type: text/plain;charset=utf-8\r\n"
                            "\r\n"
                            "Client name   Jan\r\n"
                            "Client surname   Kowalski\r\n"
                            "Client email   jan@example.com\r\n"
                            "Client company   ACME\r\n"
                            "Client phone   123\r\n"
                            "Client Vexo version   0.3.4\r\n"
                            "Client Vexo active module   mod1\r\n"
                            "Client message   \r\n"
                            "Hello world. ok\r\n";

const QByteArray kOk = "{\"status\":\"ok!\"}";
const QByteArray kErr = "{\"status\":\"err!\"}";

} // namespace

class tst_Email : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sendsOverSmtps();
    void untrustedCertificateFails();
    void curlArgumentsAndLogin();
    void fields_data();
    void fields();
    void toolFailures_data();
    void toolFailures();
    void withoutHostNothingIsSent();
    void staleMessageIsNeverSent();
    void timeWindow();
    void capAfterThreeSends();
    void concurrentSendsSendOnce();

private:
    void writeConfig(const QString &caFile, bool withHost = true);
    void useFakeCurl(const QByteArray &mode);
    int fakeRuns() const { return readFile(m_fake.filePath("count")).trimmed().toInt(); }

    QTemporaryDir m_home;
    QTemporaryDir m_fake;
    QString m_config;
    QString m_cert;
    QString m_otherCert;
    QByteArray m_path;
    PeerProcess m_smtp;
};

void tst_Email::initTestCase()
{
    QVERIFY(m_home.isValid() && m_fake.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath("config")));
    QDir::setCurrent(m_home.path());
    QCoreApplication::setOrganizationName("Other");
    QCoreApplication::setApplicationName("Vexo");
    m_path = qgetenv("PATH");
    m_config = m_home.filePath("config.ini");
    m_cert = m_home.filePath("cert.pem");
    m_otherCert = m_home.filePath("other.pem");
    for (const QString &name : {QStringLiteral("cert"), QStringLiteral("other")})
        TestEnv::runTool("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout",
                                     m_home.filePath(name + "-key.pem"), "-out", m_home.filePath(name + ".pem"),
                                     "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1"});
    QVERIFY(m_smtp.startPython(TestEnv::testFile("configurator/peers/smtps_sink.py"),
                               {"--cert", m_cert, "--key", m_home.filePath("cert-key.pem")}));
    QFile fake(m_fake.filePath("curl"));
    QVERIFY(fake.open(QIODevice::WriteOnly));
    fake.write(kFakeCurl);
    fake.close();
    fake.setPermissions(fake.permissions() | QFileDevice::ExeOwner);
}

void tst_Email::init()
{
    QSettings().clear();
    QSettings().sync();
    qputenv("PATH", m_path);
    qunsetenv("FAKE_CURL");
    QFile::remove("emailMessage.txt");
    QFile::remove("emailError.txt");
    QFile::remove(m_fake.filePath("count"));
    writeConfig(m_cert);
}

void tst_Email::cleanup() { Email::setToolTimeoutMs(30000); }

void tst_Email::writeConfig(const QString &caFile, bool withHost)
{
    QFile config(m_config);
    QVERIFY(config.open(QIODevice::WriteOnly | QIODevice::Truncate));
    config.write("[listener]\nport=8080\n[supportMail]\n");
    if (withHost)
        config.write("host=127.0.0.1\n");
    config.write("port=" + m_smtp.readyWords().value(0).toLatin1() + "\ncaFile=" + QFile::encodeName(caFile) +
                 "\nfrom=vexo@example.com\nto=support@example.com\nuser=vexo\npassword=\"s3cr\\\"et\"\n");
}

void tst_Email::useFakeCurl(const QByteArray &mode)
{
    qputenv("PATH", QFile::encodeName(m_fake.path()) + ':' + m_path);
    qputenv("FAKE_CURL", mode);
}

void tst_Email::sendsOverSmtps()
{
    Email email(m_config);
    const int from = m_smtp.output().size();
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    QCOMPARE(readFile("emailMessage.txt"), kMessage);
    QTRY_VERIFY_WITH_TIMEOUT(m_smtp.output().indexOf("MAIL ", from) >= 0, 10000);
    const QByteArray out = m_smtp.output().mid(from);
    QVERIFY2(out.contains("LOGIN " + QByteArray("vexo").toHex() + ' ' + QByteArray("s3cr\"et").toHex() + '\n'),
             out.constData());
    const int at = out.indexOf("MAIL ");
    const QList<QByteArray> words = out.mid(at, out.indexOf('\n', at) - at).split(' ');
    QCOMPARE(words.value(1), QByteArray("vexo@example.com"));
    QCOMPARE(words.value(2), QByteArray("support@example.com"));
    QCOMPARE(QByteArray::fromHex(words.value(3)), kMessage);
    QVERIFY(QSettings().value("time").toDateTime().isValid());
    QCOMPARE(QSettings().value("how_many_email_send").toInt(), 1);
}

void tst_Email::untrustedCertificateFails()
{
    writeConfig(m_otherCert);
    Email email(m_config);
    const int from = m_smtp.output().size();
    QCOMPARE(email.sendEmail(form(kForm)), kErr);
    QVERIFY(readFile("emailError.txt").contains("curl:"));
    QVERIFY(!QSettings().contains("time"));
    QVERIFY(m_smtp.output().indexOf("MAIL ", from) < 0);
}

void tst_Email::curlArgumentsAndLogin()
{
    useFakeCurl("ok");
    Email email(m_config);
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    const QByteArray args = readFile(m_fake.filePath("args"));
    QCOMPARE(args, "--silent\n--show-error\n--ssl-reqd\n--url\nsmtps://127.0.0.1:" + m_smtp.readyWords().value(0).toLatin1() +
                       "\n--mail-from\nvexo@example.com\n--mail-rcpt\nsupport@example.com\n--upload-file\n"
                       "emailMessage.txt\n--cacert\n" + QFile::encodeName(m_cert) + "\n--config\n-\n");
    QVERIFY(!args.contains("s3cr"));
    QCOMPARE(readFile(m_fake.filePath("stdin")), QByteArray("user = \"vexo:s3cr\\\"et\"\n"));

    // Without a CA file the system's trust store verifies; the port defaults to 465.
    QSettings config(m_config, QSettings::IniFormat);
    config.remove("supportMail/caFile");
    config.remove("supportMail/port");
    config.sync();
    QSettings().remove("time");
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    const QByteArray second = readFile(m_fake.filePath("args"));
    QVERIFY(second.contains("\nsmtps://127.0.0.1:465\n"));
    QVERIFY(!second.contains("--cacert") && !second.contains("--insecure"));
}

void tst_Email::fields_data()
{
    QTest::addColumn<QByteArray>("json");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QByteArray>("line"); // a line the message file holds when sent

    const QByteArray head = "{\"a\":\"Jan\",\"b\":\"Kowalski\",\"c\":\"jan@example.com\",\"d\":\"ACME\",\"e\":\"123\","
                            "\"f\":\"mod1\",\"g\":\"";
    const QByteArray err2 = "{\"error\":\"err2!\"}";
    const QByteArray param = "{\"error\":\"Parameter error!\"}";
    QTest::newRow("message of 2000") << head + QByteArray(2000, 'x') + "\"}" << kOk << "\r\n" + QByteArray(2000, 'x') + "\r\n";
    QTest::newRow("message of 2001") << head + QByteArray(2001, 'x') + "\"}" << err2 << QByteArray();
    QTest::newRow("name of 21") << "{\"a\":\"" + QByteArray(21, 'n') + "\",\"b\":\"K\",\"c\":\"\",\"d\":\"\",\"e\":\"\",\"f\":\"\",\"g\":\"m\"}"
                                << err2 << QByteArray();
    QTest::newRow("carriage return") << head + "x\ry\"}" << err2 << QByteArray();
    QTest::newRow("line feed in the name") << QByteArray("{\"a\":\"J%0ABcc: x@y\",\"b\":\"K\",\"c\":\"\",\"d\":\"\",\"e\":\"\",\"f\":\"\",\"g\":\"m\"}")
                                           << err2 << QByteArray();
    QTest::newRow("zero byte") << head + "x%00y\"}" << err2 << QByteArray();
    QTest::newRow("six fields") << QByteArray("{\"a\":\"1\",\"b\":\"2\",\"c\":\"3\",\"d\":\"4\",\"e\":\"5\",\"f\":\"6\"}") << param << QByteArray();
    QTest::newRow("field without colon") << QByteArray("{\"a\":\"1\",\"b\":\"2\",\"c\",\"d\":\"4\",\"e\":\"5\",\"f\":\"6\",\"g\":\"7\"}")
                                         << param << QByteArray();
    QTest::newRow("comma shifts the fields") << QByteArray("{\"a\":\"Jan, Jr: x\",\"b\":\"K\",\"c\":\"e\",\"d\":\"co\",\"e\":\"1\",\"f\":\"m\",\"g\":\"hi\"}")
                                             << kOk << QByteArray("Client surname    x\r\nClient email   K\r\n");
    QTest::newRow("comma without a colon after it") << QByteArray("{\"a\":\"Jan, Jr\",\"b\":\"K\",\"c\":\"e\",\"d\":\"co\",\"e\":\"1\",\"f\":\"m\",\"g\":\"hi\"}")
                                                    << param << QByteArray();
    QTest::newRow("colon keeps what stands before it") << head + "time: 10:30\"}" << kOk << QByteArray("\r\ntime\r\n");
    QTest::newRow("quotes and braces dropped") << head + "a \\\"q\\\" {b}\"}" << kOk << QByteArray("\r\na \\q\\ b\r\n");
}

void tst_Email::fields()
{
    QFETCH(QByteArray, json);
    QFETCH(QByteArray, reply);
    QFETCH(QByteArray, line);
    useFakeCurl("ok");
    Email email(m_config);
    QCOMPARE(email.sendEmail(form(json)), reply);
    QCOMPARE(fakeRuns(), reply == kOk ? 1 : 0);
    if (!line.isEmpty())
        QVERIFY2(readFile("emailMessage.txt").contains(line), readFile("emailMessage.txt").constData());
    QCOMPARE(QSettings().contains("time"), reply == kOk);
}

void tst_Email::toolFailures_data()
{
    QTest::addColumn<QByteArray>("mode");
    QTest::addColumn<QByteArray>("errorText");
    QTest::newRow("curl's own error") << QByteArray("fail") << QByteArray("curl: (7) Failed to connect to 127.0.0.1\n");
    QTest::newRow("non-zero exit, nothing said") << QByteArray("silent") << QByteArray("exit code 3");
    QTest::newRow("crash") << QByteArray("crash") << QByteArray("crash");
    QTest::newRow("time-out") << QByteArray("hang") << QByteArray("did not finish");
    QTest::newRow("curl missing") << QByteArray("missing") << QByteArray("could not be started");
}

void tst_Email::toolFailures()
{
    QFETCH(QByteArray, mode);
    QFETCH(QByteArray, errorText);
    useFakeCurl(mode);
    if (mode == "missing")
        qputenv("PATH", QFile::encodeName(m_home.filePath("nothing")));
    Email::setToolTimeoutMs(500);
    Email email(m_config);
    QCOMPARE(email.sendEmail(form(kForm)), kErr);
    QVERIFY2(readFile("emailError.txt").contains(errorText), readFile("emailError.txt").constData());
    QVERIFY(!QSettings().contains("time"));
}

void tst_Email::withoutHostNothingIsSent()
{
    writeConfig(m_cert, false);
    useFakeCurl("ok");
    Email email(m_config);
    QCOMPARE(email.sendEmail(form(kForm)), kErr);
    QVERIFY(readFile("emailError.txt").contains("not configured"));
    QCOMPARE(fakeRuns(), 0);
}

void tst_Email::staleMessageIsNeverSent()
{
    useFakeCurl("ok");
    QVERIFY(QDir().mkdir("emailMessage.txt")); // cannot be opened as a file
    Email email(m_config);
    QCOMPARE(email.sendEmail(form(kForm)), kErr);
    QCOMPARE(fakeRuns(), 0);
    QVERIFY(readFile("emailError.txt").contains("emailMessage.txt"));
    QVERIFY(QDir().rmdir("emailMessage.txt"));
}

void tst_Email::timeWindow()
{
    useFakeCurl("ok");
    Email email(m_config);
    QSettings store;
    store.setValue("time", QDateTime::currentDateTime().addSecs(-60));
    QCOMPARE(email.sendEmail(form(kForm)), QByteArray("{\"status\":\"time\",\"timeleft\":\"840\"}"));
    QCOMPARE(email.sendEmail(t_GetArray()), QByteArray("{\"status\":\"time\",\"timeleft\":\"840\"}"));
    store.setValue("time", QDateTime::currentDateTime().addSecs(-900));
    QCOMPARE(email.sendEmail(t_GetArray()), QByteArray("{\"error\":\"Parameter error!\"}"));
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    QCOMPARE(fakeRuns(), 1);
    // A clock set back lets the send go on.
    store.setValue("time", QDateTime::currentDateTime().addSecs(100));
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    QCOMPARE(fakeRuns(), 2);
}

void tst_Email::capAfterThreeSends()
{
    useFakeCurl("ok");
    Email email(m_config);
    for (int i = 0; i < 3; ++i) {
        QSettings().setValue("time", QDateTime::currentDateTime().addSecs(-1000));
        QCOMPARE(email.sendEmail(form(kForm)), kOk);
    }
    QCOMPARE(QSettings().value("how_many_email_send").toInt(), 3);
    QSettings().setValue("time", QDateTime::currentDateTime().addSecs(-1000));
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(email.sendEmail(form(kForm)), kOk);
    QVERIFY(timer.elapsed() >= 1400);
    QCOMPARE(fakeRuns(), 3);
}

void tst_Email::concurrentSendsSendOnce()
{
    useFakeCurl("slow");
    Email email(m_config);
    QByteArray first;
    QByteArray second;
    std::thread a([&] { first = email.sendEmail(form(kForm)); });
    std::thread b([&] { second = email.sendEmail(form(kForm)); });
    a.join();
    b.join();
    QCOMPARE(fakeRuns(), 1);
    const QByteArray other = first == kOk ? second : first;
    QVERIFY(first == kOk || second == kOk);
    QVERIFY2(other.startsWith("{\"status\":\"time\",\"timeleft\":\"9"), other.constData());
}

QTEST_GUILESS_MAIN(tst_Email)
#include "tst_Email.moc"
