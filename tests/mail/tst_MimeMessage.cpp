#include "EmailAddress.h"
#include "MimeAttachment.h"
#include "MimeContentFormatter.h"
#include "MimeFile.h"
#include "MimeHtml.h"
#include "MimeInlineFile.h"
#include "MimeMessage.h"
#include "MimeMultiPart.h"
#include "MimeText.h"
#include "QuotedPrintable.h"

#include "TestEnv.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

// The container's boundary as the rendered text names it.
static QString boundaryOf(const QString &text)
{
    return QRegularExpression(QStringLiteral("; boundary=(\\S+)\r\n")).match(text).captured(1);
}

// The body of a rendered part: everything after the empty line that ends its header.
static QString bodyOf(const QString &part)
{
    const int end = part.indexOf(QLatin1String("\r\n\r\n"));
    return end < 0 ? QString() : part.mid(end + 4);
}

class tst_MimeMessage : public QObject
{
    Q_OBJECT
private slots:
    void workedExample();
    void recipientLines();
    void headerEncodings_data();
    void headerEncodings();
    void qEncodedWordsReadBack_data();
    void qEncodedWordsReadBack();
    void boundaryIsLowerCaseMd5();
    void emptyContainer();
    void base64Folds();
    void quotedPrintableFolds_data();
    void quotedPrintableFolds();
    void sevenAndEightBitBodies_data();
    void sevenAndEightBitBodies();
    void fileParts();
    void textPartEndingInLineFeed();
    void messageWithoutSenderOrContent();
    void addPartNeedsContainer();
    void quotedPrintableDecode_data();
    void quotedPrintableDecode();
    void preparedTextIsKept();
};

void tst_MimeMessage::workedExample()
{
    MimeMessage message(true);
    EmailAddress sender(QStringLiteral("a@example.org"), QStringLiteral("N"));
    EmailAddress r1(QStringLiteral("r1@example.org"));
    EmailAddress r2(QStringLiteral("r2@example.org"));
    message.setSender(&sender);
    message.addTo(&r1);
    message.addRecipient(&r2, MimeMessage::To);
    message.setSubject(QStringLiteral("S"));
    MimeHtml html(QStringLiteral("<p>H</p>\nnext\r\n.dot"));
    message.addPart(&html);
    message.setHeaderEncoding(MimePart::_8Bit);

    const QString text = message.toString();
    const QByteArray b = boundaryOf(text).toLatin1();
    QCOMPARE(text.toUtf8(), QByteArray("From: N <a@example.org>\r\n"
                                       "To: <r1@example.org>, <r2@example.org>\r\n"
                                       "Subject: S\r\n"
                                       "MIME-Version: 1.0\r\n"
                                       "Content-Type: multipart/related; boundary=" + b + "\r\n"
                                       "Content-Transfer-Encoding: 8bit\r\n"
                                       "\r\n"
                                       "--" + b + "\r\n"
                                       "Content-Type: text/html; charset=utf-8\r\n"
                                       "Content-Transfer-Encoding: 8bit\r\n"
                                       "\r\n"
                                       "<p>H</p>\nnext\r\n.dot\r\n"
                                       "--" + b + "--\r\n"
                                       "\r\n"));
    // Rendering again rebuilds the header lines around the same content.
    QCOMPARE(message.toString(), text);
}

void tst_MimeMessage::recipientLines()
{
    EmailAddress sender(QStringLiteral("s@x"));
    EmailAddress to(QStringLiteral("t@x"), QStringLiteral("T"));
    EmailAddress cc1(QStringLiteral("c1@x"));
    EmailAddress cc2(QStringLiteral("c2@x"), QStringLiteral("C"));
    EmailAddress bcc(QStringLiteral("hidden@x"), QStringLiteral("Hidden"));

    MimeMessage none(false);
    none.setSender(&sender);
    none.addBcc(&bcc);
    QCOMPARE(none.toString(), QStringLiteral("From: <s@x>\r\nTo:\r\nSubject: \r\nMIME-Version: 1.0\r\n"));

    MimeMessage all(false);
    all.setSender(&sender);
    all.addRecipient(&to, MimeMessage::To);
    all.addRecipient(&cc1, MimeMessage::Cc);
    all.addCc(&cc2);
    all.addRecipient(&bcc, MimeMessage::Bcc);
    all.addRecipient(&bcc, MimeMessage::RecipientType(7)); // not a list: ignored
    QCOMPARE(all.toString(), QStringLiteral("From: <s@x>\r\nTo: T <t@x>\r\nCc: <c1@x>, C <c2@x>\r\n"
                                            "Subject: \r\nMIME-Version: 1.0\r\n"));
    QCOMPARE(all.getRecipients(MimeMessage::Bcc).size(), 1);
    QCOMPARE(all.getRecipients(MimeMessage::RecipientType(9)).size(), 1); // the To list
    QCOMPARE(all.getRecipients(MimeMessage::Cc).size(), 2);
}

void tst_MimeMessage::headerEncodings_data()
{
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("subject");
    QTest::addColumn<QString>("expected");

    QTest::newRow("raw") << 1 << QStringLiteral("Zoë A") << QStringLiteral("a: b")
                         << QStringLiteral("From: Zoë A <s@x>\r\nTo:\r\nSubject: a: b\r\n");
    QTest::newRow("7bit is raw") << 0 << QStringLiteral("N") << QStringLiteral("S")
                                 << QStringLiteral("From: N <s@x>\r\nTo:\r\nSubject: S\r\n");
    QTest::newRow("B") << 2 << QStringLiteral("Zoë") << QStringLiteral("Zażółć")
                       << QStringLiteral("From: =?utf-8?B?Wm/Dqw==?= <s@x>\r\nTo:\r\nSubject: =?utf-8?B?WmHFvMOzxYLEhw==?=\r\n");
    QTest::newRow("B empty subject") << 2 << QString() << QString()
                                     << QStringLiteral("From: <s@x>\r\nTo:\r\nSubject: =?utf-8?B?" "?=\r\n");
    QTest::newRow("Q") << 3 << QStringLiteral("a b:c") << QStringLiteral("x=y é:z")
                       << QStringLiteral("From: =?utf-8?Q?a_b=3Ac?= <s@x>\r\nTo:\r\nSubject: =?utf-8?Q?x=3Dy_=C3=A9=3Az?=\r\n");
    QTest::newRow("Q empty subject") << 3 << QString() << QString()
                                     << QStringLiteral("From: <s@x>\r\nTo:\r\nSubject: =?utf-8?Q?" "?=\r\n");
}

void tst_MimeMessage::headerEncodings()
{
    QFETCH(int, encoding);
    QFETCH(QString, name);
    QFETCH(QString, subject);
    QFETCH(QString, expected);
    MimeMessage message(false);
    EmailAddress sender(QStringLiteral("s@x"), name);
    message.setSender(&sender);
    message.setSubject(subject);
    message.setHeaderEncoding(MimePart::Encoding(encoding));
    QCOMPARE(message.toString(), expected + QStringLiteral("MIME-Version: 1.0\r\n"));
}

void tst_MimeMessage::qEncodedWordsReadBack_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("word");
    QTest::newRow("underscore") << QStringLiteral("a_b") << QStringLiteral("a=5Fb");
    QTest::newRow("question mark before equals") << QStringLiteral("a?=b") << QStringLiteral("a=3F=3Db");
    QTest::newRow("question mark") << QStringLiteral("Why?") << QStringLiteral("Why=3F");
    QTest::newRow("blanks") << QStringLiteral("one two three") << QStringLiteral("one_two_three");
    QTest::newRow("delimiters of an address")
        << QStringLiteral("Plant \"3\", Hall (A) <x>; @.[]\\")
        << QStringLiteral("Plant_=223=22=2C_Hall_=28A=29_=3Cx=3E=3B_=40=2E=5B=5D=5C");
    QTest::newRow("letters digits and safe marks") << QStringLiteral("Az09!*+-/") << QStringLiteral("Az09!*+-/");
    QTest::newRow("beyond ASCII") << QStringLiteral("Zażółć ę") << QStringLiteral("Za=C5=BC=C3=B3=C5=82=C4=87_=C4=99");
    QTest::newRow("word markers") << QStringLiteral("=?utf-8?Q?x?=") << QStringLiteral("=3D=3Futf-8=3FQ=3Fx=3F=3D");
}

// A Q-encoded name or subject reads back as it was written, in the subject's free text and in
// the phrase of an address, where fewer characters may stand as themselves.
void tst_MimeMessage::qEncodedWordsReadBack()
{
    QFETCH(QString, text);
    QFETCH(QString, word);
    MimeMessage message(false);
    EmailAddress sender(QStringLiteral("s@x"), text);
    EmailAddress recipient(QStringLiteral("t@x"), text);
    message.setSender(&sender);
    message.addTo(&recipient);
    message.setSubject(text);
    message.setHeaderEncoding(MimePart::QuotedPrintable);
    const QString header = message.toString();
    const QString encoded = QStringLiteral("=?utf-8?Q?") + word + QStringLiteral("?=");
    QCOMPARE(header, QStringLiteral("From: ") + encoded + QStringLiteral(" <s@x>\r\nTo: ") + encoded +
                         QStringLiteral(" <t@x>\r\nSubject: ") + encoded + QStringLiteral("\r\nMIME-Version: 1.0\r\n"));

    const QJsonObject read = QJsonDocument::fromJson(
        TestEnv::runTool(TestEnv::python(), {TestEnv::testFile(QStringLiteral("mail/peers/header_read.py"))},
                         (header + QStringLiteral("\r\n")).toUtf8())).object();
    QCOMPARE(read.value("subject").toString(), text);
    QCOMPARE(read.value("from").toString(), text);
    QCOMPARE(read.value("to").toArray(), QJsonArray{text});
    QCOMPARE(read.value("defects").toArray(), QJsonArray());
}

void tst_MimeMessage::boundaryIsLowerCaseMd5()
{
    const QRegularExpression hex32(QStringLiteral("^[0-9a-f]{32}$"));
    for (int i = 0; i < 20; ++i) {
        MimeMultiPart container;
        const QString boundary = boundaryOf(container.toString());
        QVERIFY2(hex32.match(boundary).hasMatch(), qPrintable(boundary));
    }
    MimeMultiPart mixed(MimeMultiPart::Mixed);
    QVERIFY(mixed.toString().startsWith(QLatin1String("Content-Type: multipart/mixed; boundary=")));
    mixed.setMimeType(MimeMultiPart::Alternative);
    mixed.prepare();
    QVERIFY(mixed.toString().startsWith(QLatin1String("Content-Type: multipart/alternative; boundary=")));
    QCOMPARE(mixed.getMimeType(), MimeMultiPart::Alternative);
}

void tst_MimeMessage::emptyContainer()
{
    MimeMultiPart container(MimeMultiPart::Related);
    const QString text = container.toString();
    const QString b = boundaryOf(text);
    QCOMPARE(text, QStringLiteral("Content-Type: multipart/related; boundary=%1\r\nContent-Transfer-Encoding: 8bit\r\n"
                                  "\r\n--%1--\r\n\r\n").arg(b));
}

void tst_MimeMessage::base64Folds()
{
    QByteArray bytes;
    for (int i = 0; i < 100; ++i)
        bytes += char(i * 7);
    MimeFile file(bytes, QStringLiteral("data.bin"));
    const QString text = file.toString();
    QVERIFY(text.startsWith(QLatin1String("Content-Type: application/octet-stream; name=\"data.bin\"\r\n"
                                          "Content-Transfer-Encoding: base64\r\n\r\n")));
    const QString base64 = QString::fromLatin1(bytes.toBase64());
    QCOMPARE(base64.size(), 136);
    QCOMPARE(bodyOf(text), base64.left(76) + QStringLiteral("\r\n") + base64.mid(76) + QStringLiteral("\r\n"));
}

void tst_MimeMessage::quotedPrintableFolds_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("body");
    const QString a75(75, QLatin1Char('a'));
    QTest::newRow("80 letters") << QByteArray(80, 'a') << a75 + QStringLiteral("=\r\naaaaa");
    QTest::newRow("76 letters") << QByteArray(76, 'a') << a75 + QStringLiteral("=\r\na");
    QTest::newRow("75 letters") << QByteArray(75, 'a') << a75;
    // An escape that would begin at character 74 moves to the next line whole.
    QTest::newRow("escape at 74") << QByteArray(73, 'a') + "\xc3\xa9"
                                  << QString(73, QLatin1Char('a')) + QStringLiteral("=\r\n=C3=A9");
    // One that begins at 73 still fits (characters 73 to 75); the next character breaks.
    QTest::newRow("escape at 73") << QByteArray(72, 'a') + "=b"
                                  << QString(72, QLatin1Char('a')) + QStringLiteral("=3D=\r\nb");
    QTest::newRow("line ends are escaped") << QByteArray("a\r\nb") << QStringLiteral("a=0D=0Ab");
}

void tst_MimeMessage::quotedPrintableFolds()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, body);
    MimePart part;
    part.setContentType(QStringLiteral("text/plain"));
    part.setEncoding(MimePart::QuotedPrintable);
    part.setContent(content);
    QCOMPARE(part.toString(), QStringLiteral("Content-Type: text/plain\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n") +
                                  body + QStringLiteral("\r\n"));
    // The formatter keeps a line feed of its input and restarts the count there.
    MimeContentFormatter formatter(10);
    QCOMPARE(formatter.format(QStringLiteral("abcdefghi\nabcdefghij"), true),
             QStringLiteral("abcdefghi\nabcdefghi=\r\nj"));
    QCOMPARE(formatter.format(QStringLiteral("abcdefghijk")), QStringLiteral("abcdefghij\r\nk"));
}

void tst_MimeMessage::sevenAndEightBitBodies_data()
{
    QTest::addColumn<int>("encoding");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("7bit ascii") << 0 << QByteArray("plain\nline") << QByteArray("plain\nline");
    QTest::newRow("7bit e acute") << 0 << QByteArray("caf\xc3\xa9") << QByteArray("caf\xef\xbf\xbd");
    QTest::newRow("7bit l stroke") << 0 << QByteArray("\xc5\x82\xc3\xb3" "d\xc5\xba") << QByteArray("?\xef\xbf\xbd" "d?");
    QTest::newRow("7bit cut at NUL") << 0 << QByteArray("ab\0cd", 5) << QByteArray("ab");
    QTest::newRow("8bit keeps UTF-8") << 1 << QByteArray("\xc5\x82\xc3\xb3") << QByteArray("\xc5\x82\xc3\xb3");
    QTest::newRow("8bit cut at NUL") << 1 << QByteArray("ab\0cd", 5) << QByteArray("ab");
}

void tst_MimeMessage::sevenAndEightBitBodies()
{
    QFETCH(int, encoding);
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, body);
    MimePart part;
    part.setContentType(QStringLiteral("text/plain"));
    part.setEncoding(MimePart::Encoding(encoding));
    part.setContent(content);
    QCOMPARE(bodyOf(part.toString()).toUtf8(), body + "\r\n");

    MimeText text(QStringLiteral("x"));
    text.setText(QString::fromUtf8(content.constData(), content.size()));
    text.setEncoding(MimePart::Encoding(encoding));
    QCOMPARE(bodyOf(text.toString()).toUtf8(), body + "\r\n");
}

void tst_MimeMessage::fileParts()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("logo.png"));
    QFile out(path);
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write("PNGDATA");
    out.close();

    MimeAttachment attachment(new QFile(path));
    QCOMPARE(attachment.toString(), QStringLiteral("Content-Type: application/octet-stream; name=\"logo.png\"\r\n"
                                                   "Content-Transfer-Encoding: base64\r\n"
                                                   "Content-disposition: attachment\r\n\r\nUE5HREFUQQ==\r\n"));
    MimeInlineFile inlineFile(new QFile(path));
    inlineFile.setContentId(QStringLiteral("logo"));
    QCOMPARE(inlineFile.toString(), QStringLiteral("Content-Type: application/octet-stream; name=\"logo.png\"\r\n"
                                                   "Content-Transfer-Encoding: base64\r\nContent-ID: <logo>\r\n"
                                                   "Content-Disposition: inline\r\n\r\nUE5HREFUQQ==\r\n"));
    // Each further prepare writes the disposition line once more.
    attachment.prepare();
    QCOMPARE(attachment.toString().count(QLatin1String("Content-disposition: attachment\r\n")), 2);

    MimeAttachment missing(new QFile(dir.filePath(QStringLiteral("gone.txt"))));
    QVERIFY(missing.toString().endsWith(QLatin1String("Content-disposition: attachment\r\n\r\n\r\n")));
    MimeAttachment bytes(QByteArray("abc"), QStringLiteral("a.txt"));
    QVERIFY(bytes.toString().endsWith(QLatin1String("name=\"a.txt\"\r\nContent-Transfer-Encoding: base64\r\n"
                                                    "Content-disposition: attachment\r\n\r\nYWJj\r\n")));
}

void tst_MimeMessage::textPartEndingInLineFeed()
{
    MimeText text(QStringLiteral("This is a test message.\n"));
    QCOMPARE(text.toString(), QStringLiteral("Content-Type: text/plain; charset=utf-8\r\nContent-Transfer-Encoding: 8bit\r\n"
                                             "\r\nThis is a test message.\n\r\n"));
}

void tst_MimeMessage::messageWithoutSenderOrContent()
{
    MimeMessage message(false);
    QCOMPARE(message.toString(), QStringLiteral("From: <>\r\nTo:\r\nSubject: \r\nMIME-Version: 1.0\r\n"));
    QVERIFY(message.getParts().isEmpty());
    MimeText text(QStringLiteral("t"));
    message.addPart(&text); // no container: nothing added, nothing breaks
    QVERIFY(message.getParts().isEmpty());
}

void tst_MimeMessage::addPartNeedsContainer()
{
    MimeMessage message(true);
    MimeText text(QStringLiteral("t"));
    MimeHtml html(QStringLiteral("h"));
    message.addPart(&text);
    QCOMPARE(message.getParts(), QList<MimePart *>{&text});

    // A part given as content is held alone; adding to it does nothing.
    message.setContent(&html);
    message.addPart(&text);
    QCOMPARE(message.getParts(), QList<MimePart *>{&html});
    QCOMPARE(message.getContent(), static_cast<MimePart *>(&html));

    // A derived container is not the container itself.
    class OwnContainer : public MimeMultiPart
    {
    };
    OwnContainer own;
    message.setContent(&own);
    message.addPart(&text);
    QCOMPARE(message.getParts(), QList<MimePart *>{&own});
}

void tst_MimeMessage::quotedPrintableDecode_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("plain") << QStringLiteral("abc") << QByteArray("abc");
    QTest::newRow("escapes") << QStringLiteral("=3D=C3=A9") << QByteArray("=\xc3\xa9");
    QTest::newRow("lower-case digits") << QStringLiteral("=c3=a9") << QByteArray("\xc3\xa9");
    QTest::newRow("codes 58-64 count 0") << QStringLiteral("=:1=@@") << QByteArray("\x01\x00", 2);
    QTest::newRow("other characters count 0") << QStringLiteral("=G1") << QByteArray("\x01");
    QTest::newRow("above U+00FF") << QStringLiteral("a\u0142b") << QByteArray("a\0b", 3);
    QTest::newRow("trailing =") << QStringLiteral("abc=") << QByteArray("abc=");
    QTest::newRow("trailing =X") << QStringLiteral("abc=4") << QByteArray("abc=4");
    QTest::newRow("only =") << QStringLiteral("=") << QByteArray("=");
    QTest::newRow("soft break kept") << QStringLiteral("a=\r\nb") << QByteArray("a\x00" "b", 3);
}

void tst_MimeMessage::quotedPrintableDecode()
{
    QFETCH(QString, input);
    QFETCH(QByteArray, bytes);
    QCOMPARE(QuotedPrintable::decode(input), bytes);
    QByteArray all;
    for (int i = 0; i < 256; ++i)
        all += char(i);
    QCOMPARE(QuotedPrintable::decode(QuotedPrintable::encode(all)), all);
    QCOMPARE(QuotedPrintable::encode("a b=\t~\x7f"), QStringLiteral("a b=3D=09~=7F"));
}

void tst_MimeMessage::preparedTextIsKept()
{
    MimeText text(QStringLiteral("first"));
    const QString before = text.toString();
    text.setText(QStringLiteral("second"));
    QCOMPARE(text.toString(), before);
    text.prepare();
    QVERIFY(text.toString().contains(QLatin1String("second")));

    // A container rebuilds its parts each time it is prepared.
    MimeMultiPart container;
    container.addPart(&text);
    text.setText(QStringLiteral("third"));
    QVERIFY(container.toString().contains(QLatin1String("third")));
}

QTEST_GUILESS_MAIN(tst_MimeMessage)
#include "tst_MimeMessage.moc"
