#include "StrictJson.h"
#include "TestEnv.h"

#include <QtTest>

class tst_StrictJson : public QObject
{
    Q_OBJECT
private slots:
    void texts_data();
    void texts();
    void characters_data();
    void characters();
    void anyDepth();
    void read_data();
    void read();
    void readDepth();
};

void tst_StrictJson::texts_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    auto row = [](const char *name, const char *text, bool valid) {
        QTest::newRow(name) << QString::fromUtf8(text) << valid;
    };
    row("zero", "0", true);
    row("minus zero", "-0", true);
    row("integer", "1250", true);
    row("fraction", "-0.5", true);
    row("exponent", "1e5", true);
    row("exponent with sign", "1.25E+10", true);
    row("negative exponent", "2e-3", true);
    row("true", "true", true);
    row("false", "false", true);
    row("null", "null", true);
    row("empty string", "\"\"", true);
    row("every escape", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\\u00e9\\uD83D\\uDE00\"", true);
    row("escaped half pair", "\"\\ud800\"", true);
    row("delete character", "\"\x7f\"", true);
    row("non-ascii text", "\"za\xc5\xbc\xc3\xb3\xc5\x82\xc4\x87 \xf0\x9f\x98\x80\"", true);
    row("empty containers", "[[],{}]", true);
    row("nested with white space", " \t\r\n[1, {\"a\" : [null, true]}, \"x\"]\r\n ", true);
    row("members", "{\"a\":1,\"b\":{\"c\":\"d\"},\"a\":2}", true);

    row("empty text", "", false);
    row("only white space", " \n", false);
    row("trailing point", "1.", false);
    row("point without leading digit", "-.5", false);
    row("bare point", ".5", false);
    row("point before exponent", "1.e5", false);
    row("trailing point in a member", "{\"a\":1.}", false);
    row("leading zero", "01", false);
    row("minus alone", "-", false);
    row("plus sign", "+1", false);
    row("exponent without digits", "1e", false);
    row("exponent sign without digits", "1e+", false);
    row("hex number", "0x10", false);
    row("NaN", "NaN", false);
    row("Infinity", "Infinity", false);
    row("minus Infinity", "-Infinity", false);
    row("raw line feed in a string", "\"a\nb\"", false);
    row("raw tab in a string", "\"a\tb\"", false);
    row("raw control character in a string", "[\"\x01\"]", false);
    row("single quotes", "'a'", false);
    row("unknown escape", "\"\\x41\"", false);
    row("short unicode escape", "\"\\u12\"", false);
    row("unterminated string", "\"abc", false);
    row("trailing comma in an array", "[1,]", false);
    row("leading comma", "[,1]", false);
    row("hole", "[1,,2]", false);
    row("trailing comma in an object", "{\"a\":1,}", false);
    row("unquoted name", "{a:1}", false);
    row("number as name", "{1:1}", false);
    row("missing colon", "{\"a\" 1}", false);
    row("missing member value", "{\"a\":}", false);
    row("missing comma", "[1 2]", false);
    row("two values", "1 2", false);
    row("two values with comma", "1,2", false);
    row("extra closing bracket", "[1]]", false);
    row("mismatched bracket", "[1}", false);
    row("mismatched brace", "{\"a\":1]", false);
    row("unclosed array", "[1,[2]", false);
    row("upper-case literal", "TRUE", false);
    row("cut literal", "nul", false);
    row("literal with tail", "truex", false);
    row("undefined", "undefined", false);
    row("comment", "//c\n1", false);
    row("no-break space", "\xc2\xa0" "1", false);
}

void tst_StrictJson::texts()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(StrictJson::isOneValue(text), valid);
    // Python's reader is the second opinion on every case of the table.
    QCOMPARE(TestEnv::isStrictJson(text.toUtf8()), valid);
}

void tst_StrictJson::characters_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    const QChar high(0xD83D);
    const QChar low(0xDE00);
    QTest::newRow("whole pair") << QString(QStringLiteral("\"") + high + low + QStringLiteral("\"")) << true;
    QTest::newRow("high half alone") << QString(QStringLiteral("\"a") + high + QStringLiteral("b\"")) << false;
    QTest::newRow("high half at the end") << QString(QStringLiteral("\"") + high) << false;
    QTest::newRow("low half alone") << QString(QStringLiteral("\"") + low + QStringLiteral("\"")) << false;
    QTest::newRow("outside a string") << QString(QStringLiteral("[") + high + low + QStringLiteral("]")) << false;
    // The UTF-8 reader drops a leading byte order mark, so it is given as a character.
    QTest::newRow("byte order mark") << QString(QChar(0xFEFF) + QStringLiteral("1")) << false;
    QTest::newRow("zero character in a string") << QString(QStringLiteral("\"a") + QChar(0) + QStringLiteral("\""))
                                                << false;
}

void tst_StrictJson::characters()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QCOMPARE(StrictJson::isOneValue(text), valid);
}

void tst_StrictJson::anyDepth()
{
    const int depth = 200000;
    const QString deep = QString(depth, QLatin1Char('[')) + QStringLiteral("{\"a\":1}") + QString(depth, QLatin1Char(']'));
    QVERIFY(StrictJson::isOneValue(deep));
    QVERIFY(!StrictJson::isOneValue(deep.chopped(1)));
    QVERIFY(!StrictJson::isOneValue(deep + QLatin1Char(']')));
}

void tst_StrictJson::read_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QByteArray>("document"); // compact; empty: no document
    auto row = [](const char *name, const QByteArray &text, const QByteArray &document) {
        QTest::newRow(name) << text << document;
    };
    row("object", "{\"b\":\"1\", \"a\":[1,{\"c\":null}]}", "{\"a\":[1,{\"c\":null}],\"b\":\"1\"}");
    row("array", " [1,\"x\"] ", "[1,\"x\"]");
    row("one name in sibling objects", "[{\"a\":1},{\"a\":2}]", "[{\"a\":1},{\"a\":2}]");
    row("outer name inside", "{\"a\":{\"a\":1}}", "{\"a\":{\"a\":1}}");
    row("inner name after the inner object", "{\"a\":{\"b\":1},\"b\":2}", "{\"a\":{\"b\":1},\"b\":2}");
    row("names differing in case", "{\"a\":1,\"A\":2}", "{\"A\":2,\"a\":1}");
    row("names differing by a blank", "{\"a\":1,\"a \":2}", "{\"a\":1,\"a \":2}");
    row("different halves of a pair", "{\"\\ud800\":1,\"\\udc00\":2}", "{\"\\ud800\":1,\"\\udc00\":2}");
    row("empty name", "{\"\":1}", "{\"\":1}");
    row("leading byte order mark", "\xef\xbb\xbf[1]", "[1]"); // as Qt's reader and the standard allow

    row("repeated name", "{\"a\":1,\"a\":2}", "");
    row("repeated empty name", "{\"\":1,\"\":2}", "");
    row("repeated after an inner object", "{\"a\":{\"b\":1},\"a\":2}", "");
    row("repeated in an object in an array", "[1,{\"x\":[],\"y\":0,\"x\":[]}]", "");
    row("repeated deep down", "{\"a\":[[{\"b\":{\"c\":{},\"c\":{}}}]]}", "");
    row("repeated through an escape", "{\"a\":1,\"\\u0061\":2}", "");
    row("repeated through an upper-case escape", "{\"\\u00E9\":1,\"\\u00e9\":2}", "");
    row("repeated solidus", "{\"/\":1,\"\\/\":2}", "");
    row("repeated control escape", "{\"\\n\":1,\"\\u000a\":2}", "");
    row("repeated pair, raw and escaped", "{\"\xf0\x9f\x98\x80\":1,\"\\uD83D\\uDE00\":2}", "");

    // Values are Qt's reader's to judge, as they were before names were checked: what it took
    // from devices it still takes.
    row("number Qt's reader takes", "{\"a\":1.,\"b\":-.5}", "{\"a\":1,\"b\":-0.5}");
    row("raw control character", "{\"a\":\"x\x01y\"}", "{\"a\":\"x\\u0001y\"}");
    row("unknown escape", "{\"a\":\"\\x\"}", "{\"a\":\"x\"}");
    row("repeated through an unknown escape", "{\"x\":1,\"\\x\":2}", "");
    row("repeated after a lenient number", "{\"a\":1.,\"a\":[]}", "");
    row("number Qt's reader refuses", "{\"a\":01}", "");
    row("text after the value", "[1] x", "");
    row("broken UTF-8", "[\"\xff\"]", "");
    row("empty text", "", "");
}

void tst_StrictJson::read()
{
    QFETCH(QByteArray, text);
    QFETCH(QByteArray, document);
    const QJsonDocument read = StrictJson::read(text);
    QCOMPARE(read.isNull(), document.isEmpty());
    if (!document.isEmpty())
        QCOMPARE(read.toJson(QJsonDocument::Compact), document);
}

void tst_StrictJson::readDepth()
{
    // As deep as Qt's reader goes, and not one level more.
    auto nested = [](int depth) {
        QByteArray text;
        for (int i = 0; i < depth; ++i)
            text += i % 2 ? "[" : "{\"a\":";
        text += "1";
        for (int i = depth - 1; i >= 0; --i)
            text += i % 2 ? "]" : "}";
        return text;
    };
    QVERIFY(!StrictJson::read(nested(1024)).isNull());
    QVERIFY(StrictJson::read(nested(1025)).isNull());
}

QTEST_APPLESS_MAIN(tst_StrictJson)
#include "tst_StrictJson.moc"
