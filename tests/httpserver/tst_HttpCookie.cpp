#include "HttpCookie.h"

#include <QtTest>

Q_DECLARE_METATYPE(HttpCookie)

class tst_HttpCookie : public QObject
{
    Q_OBJECT
private slots:
    void textForm_data();
    void textForm();
    void unsafeFields_data();
    void unsafeFields();
    void splitParts_data();
    void splitParts();
};

void tst_HttpCookie::textForm_data()
{
    QTest::addColumn<HttpCookie>("cookie");
    QTest::addColumn<QByteArray>("text");

    QTest::newRow("defaults") << HttpCookie("a", "1", 0) << QByteArray("a=1; Version=1");
    QTest::newRow("default constructed") << HttpCookie() << QByteArray("=; Version=1");
    QTest::newRow("session cookie")
        << HttpCookie("sessionid", "{abc}", 3600) << QByteArray("sessionid={abc}; Max-Age=3600; Version=1");
    QTest::newRow("negative max age") << HttpCookie("a", "1", -1) << QByteArray("a=1; Max-Age=-1; Version=1");
    QTest::newRow("handler cookie with path")
        << HttpCookie("user", "bob", 0, "/") << QByteArray("user=bob; Path=/; Version=1");
    QTest::newRow("all attributes in fixed order")
        << HttpCookie("n", "v", 10, "/p", "note", "example.test", true)
        << QByteArray("n=v; Comment=note; Domain=example.test; Max-Age=10; Path=/p; Secure; Version=1");
    QTest::newRow("empty comment and domain write nothing")
        << HttpCookie("n", "v", 0, "", "", "", false) << QByteArray("n=v; Version=1");
    QTest::newRow("value written unquoted")
        << HttpCookie("n", "a b,c", 0) << QByteArray("n=a b,c; Version=1");
}

void tst_HttpCookie::textForm()
{
    QFETCH(HttpCookie, cookie);
    QFETCH(QByteArray, text);
    QCOMPARE(cookie.toByteArray(), text);
}

void tst_HttpCookie::unsafeFields_data()
{
    QTest::addColumn<HttpCookie>("cookie");
    QTest::addColumn<bool>("safe");
    QTest::newRow("plain") << HttpCookie("n", "v", 5, "/", "c", "d") << true;
    QTest::newRow("CR LF in value") << HttpCookie("n", "v\r\nSet-Cookie: x=1", 0) << false;
    QTest::newRow("LF in name") << HttpCookie("n\n", "v", 0) << false;
    QTest::newRow("NUL in path") << HttpCookie("n", "v", 0, QByteArray("/\0x", 3)) << false;
    QTest::newRow("CR in comment") << HttpCookie("n", "v", 0, "/", "a\rb") << false;
    QTest::newRow("LF in domain") << HttpCookie("n", "v", 0, "/", "", "a\nb") << false;
}

void tst_HttpCookie::unsafeFields()
{
    QFETCH(HttpCookie, cookie);
    QFETCH(bool, safe);
    QCOMPARE(cookie.isSafe(), safe);
}

void tst_HttpCookie::splitParts_data()
{
    QTest::addColumn<QByteArray>("source");
    QTest::addColumn<QList<QByteArray>>("parts");

    QTest::newRow("two parts") << QByteArray("a=1; b=2") << QList<QByteArray>{"a=1", "b=2"};
    QTest::newRow("quoted semicolon stays")
        << QByteArray("a=\"x;y\"; b=2") << QList<QByteArray>{"a=x;y", "b=2"};
    QTest::newRow("comma does not split") << QByteArray("a=1, b=2") << QList<QByteArray>{"a=1, b=2"};
    QTest::newRow("empty") << QByteArray() << QList<QByteArray>{};
    QTest::newRow("only separators") << QByteArray(" ; ;  ;") << QList<QByteArray>{};
    QTest::newRow("unterminated quote runs to the end")
        << QByteArray("a=\"x; b=2") << QList<QByteArray>{"a=x; b=2"};
    QTest::newRow("blanks trimmed") << QByteArray("  a=1  ;\tb=2 ") << QList<QByteArray>{"a=1", "b=2"};
    QTest::newRow("quotes never reach parts") << QByteArray("\"\"") << QList<QByteArray>{};
}

void tst_HttpCookie::splitParts()
{
    QFETCH(QByteArray, source);
    QFETCH(QList<QByteArray>, parts);
    QCOMPARE(HttpCookie::splitParts(source), parts);
}

QTEST_APPLESS_MAIN(tst_HttpCookie)
#include "tst_HttpCookie.moc"
