#include "ScriptLiteral.h"

#include <QtTest>

#include <cmath>
#include <limits>

class tst_ScriptLiteral : public QObject
{
    Q_OBJECT
private slots:
    void accepted_data();
    void accepted();
    void refused_data();
    void refused();
    void nestingBound();
    void hugeInputRefused();
    void largeArrayAccepted();
    void parseArrayWantsArray();
    void stringEscapes_data();
    void stringEscapes();
    void numbers_data();
    void numbers();
    void toText_data();
    void toText();
    void toInt32_data();
    void toInt32();
};

// Accepted texts with the compact JSON form of what they must read as (absent shown as "<absent>").
static QString shape(const QVariant &v)
{
    if (!v.isValid())
        return QStringLiteral("<absent>");
    if (v.userType() == QMetaType::Nullptr)
        return QStringLiteral("null");
    if (v.userType() == QMetaType::QVariantList) {
        QStringList parts;
        for (const QVariant &e : v.toList())
            parts << shape(e);
        return QLatin1Char('[') + parts.join(QLatin1Char(',')) + QLatin1Char(']');
    }
    if (v.userType() == QMetaType::QVariantMap) {
        QStringList parts;
        const QVariantMap m = v.toMap();
        for (auto it = m.begin(); it != m.end(); ++it)
            parts << it.key() + QLatin1Char(':') + shape(it.value());
        return QLatin1Char('{') + parts.join(QLatin1Char(',')) + QLatin1Char('}');
    }
    if (v.userType() == QMetaType::QString)
        return QLatin1Char('\'') + v.toString() + QLatin1Char('\'');
    if (v.userType() == QMetaType::Bool)
        return v.toBool() ? QStringLiteral("true") : QStringLiteral("false");
    return ScriptLiteral::numberText(v.toDouble());
}

void tst_ScriptLiteral::accepted_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty array") << "[]" << "[]";
    QTest::newRow("empty object") << "{}" << "{}";
    QTest::newRow("json") << R"([{"id":1,"name":"a","on":true,"x":null}])" << "[{id:1,name:'a',on:true,x:null}]";
    QTest::newRow("unquoted keys") << "[{id:1, exp_on:'a>1'}]" << "[{exp_on:'a>1',id:1}]";
    QTest::newRow("single quotes") << "['it\"s', \"it's\"]" << "['it\"s','it's']";
    QTest::newRow("trailing comma array") << "[1,2,]" << "[1,2]";
    QTest::newRow("trailing comma object") << "{a:1,}" << "{a:1}";
    QTest::newRow("holes") << "[1,,2]" << "[1,<absent>,2]";
    QTest::newRow("only hole") << "[,]" << "[<absent>]";
    QTest::newRow("undefined") << "[undefined]" << "[<absent>]";
    QTest::newRow("white space and line ends") << " \t\r\n[ 1 ,\r\n 2 ]\n " << "[1,2]";
    QTest::newRow("nbsp and bom") << QString::fromUtf8("\xEF\xBB\xBF[\xC2\xA0" "1]") << "[1]";
    QTest::newRow("comments") << "[1, /* two */ 2 // end\n]" << "[1,2]";
    QTest::newRow("statement terminator") << "[1];" << "[1]";
    QTest::newRow("nested") << "[[1,[2]],{a:{b:[]}}]" << "[[1,[2]],{a:{b:[]}}]";
    QTest::newRow("numeric key") << "{1:'a', 0x10:'b', 1.50:'c'}" << "{1:'a',1.5:'c',16:'b'}";
    QTest::newRow("reserved word key") << "{if:1, null:2}" << "{if:1,null:2}";
    QTest::newRow("duplicate key last wins") << "{a:1,a:2}" << "{a:2}";
    QTest::newRow("signed numbers") << "[-1, +2, - 3, -Infinity, NaN]" << "[-1,2,-3,-Infinity,NaN]";
    QTest::newRow("unicode text") << QString::fromUtf8("['zażółć']") << QString::fromUtf8("['zażółć']");
    QTest::newRow("dollar identifier key") << "{$a_1:1}" << "{$a_1:1}";
}

void tst_ScriptLiteral::accepted()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QVariant value;
    QString error;
    QVERIFY2(ScriptLiteral::parse(text, &value, &error), qPrintable(error));
    QCOMPARE(shape(value), expected);
}

void tst_ScriptLiteral::refused_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("empty") << "";
    QTest::newRow("blank") << "   ";
    QTest::newRow("scalar number") << "5";
    QTest::newRow("scalar string") << "'x'";
    QTest::newRow("function call") << "(function(){return [1]})()";
    QTest::newRow("map call") << "[1,2].map(function(x){return x})";
    QTest::newRow("new array") << "new Array(3)";
    QTest::newRow("array constructor") << "Array(3)";
    QTest::newRow("expression element") << "[1+1]";
    QTest::newRow("call element") << "[alert(1)]";
    QTest::newRow("identifier element") << "[foo]";
    QTest::newRow("function element") << "[function(){}]";
    QTest::newRow("getter") << "{get a(){return 1}}";
    QTest::newRow("parenthesised") << "([1])";
    QTest::newRow("two statements") << "[1];[2]";
    QTest::newRow("unclosed array") << "[1,2";
    QTest::newRow("unclosed object") << "{a:1";
    QTest::newRow("missing comma") << "[1 2]";
    QTest::newRow("missing colon") << "{a 1}";
    QTest::newRow("object missing value") << "{a:}";
    QTest::newRow("object hole") << "{a:1,,b:2}";
    QTest::newRow("unterminated string") << "['abc]";
    QTest::newRow("line end in string") << "['a\nb']";
    QTest::newRow("carriage return in string") << "['a\rb']";
    QTest::newRow("bad unicode escape") << "['\\u12G4']";
    QTest::newRow("short hex escape") << "['\\x4']";
    QTest::newRow("number glued to word") << "[3in]";
    QTest::newRow("two points") << "[1.5.2]";
    QTest::newRow("member of number") << "[1..toString()]";
    QTest::newRow("empty hex") << "[0x]";
    QTest::newRow("empty exponent") << "[1e]";
    QTest::newRow("lone sign") << "[-]";
    QTest::newRow("sign before string") << "[-'1']";
    QTest::newRow("unterminated comment") << "[1 /* x";
    QTest::newRow("template string") << "[`a`]";
    QTest::newRow("regexp") << "[/a/]";
    QTest::newRow("closing only") << "]";
    QTest::newRow("nul character") << QString::fromLatin1("[1\0]", 4);
}

void tst_ScriptLiteral::refused()
{
    QFETCH(QString, text);
    QVariant value;
    QString error;
    QVERIFY(!ScriptLiteral::parse(text, &value, &error));
    QVERIFY(!error.isEmpty());
}

void tst_ScriptLiteral::nestingBound()
{
    const int depth = ScriptLiteral::MaxDepth;
    QVariant value;
    QVERIFY(ScriptLiteral::parse(QString(depth, QLatin1Char('[')) + QString(depth, QLatin1Char(']')), &value));
    QString error;
    QVERIFY(!ScriptLiteral::parse(QString(depth + 1, QLatin1Char('[')) + QString(depth + 1, QLatin1Char(']')),
                                  &value, &error));
    QVERIFY(!error.isEmpty());
    // Far deeper than the stack would bear if the bound were missing.
    const int deep = 1000000;
    QVERIFY(!ScriptLiteral::parse(QString(deep, QLatin1Char('[')) + QString(deep, QLatin1Char(']')), &value));
    QVERIFY(!ScriptLiteral::parse(QString(deep, QLatin1Char('{')), &value));
    QString mixed;
    for (int i = 0; i < deep; ++i)
        mixed += QLatin1String("{a:[");
    QVERIFY(!ScriptLiteral::parse(mixed, &value));
}

void tst_ScriptLiteral::hugeInputRefused()
{
    QString text = QStringLiteral("[");
    text += QString(ScriptLiteral::MaxLength, QLatin1Char(' '));
    text += QLatin1Char(']');
    QVariant value;
    QString error;
    QVERIFY(!ScriptLiteral::parse(text, &value, &error));
    QVERIFY(!error.isEmpty());
}

void tst_ScriptLiteral::largeArrayAccepted()
{
    // A long but legitimate list (a full register map) is read whole.
    QString text = QStringLiteral("[");
    const int count = 100000;
    for (int i = 0; i < count; ++i)
        text += QString::number(i) + QLatin1Char(',');
    text += QLatin1Char(']');
    QVariantList list;
    QVERIFY(ScriptLiteral::parseArray(text, &list));
    QCOMPARE(list.size(), count);
    QCOMPARE(list.last().toDouble(), double(count - 1));
}

void tst_ScriptLiteral::parseArrayWantsArray()
{
    QVariantList list;
    QString error;
    QVERIFY(!ScriptLiteral::parseArray("{a:1}", &list, &error));
    QVERIFY(!error.isEmpty());
    QVERIFY(ScriptLiteral::parseArray("[{a:1}]", &list, &error));
    QCOMPARE(list.size(), 1);
}

void tst_ScriptLiteral::stringEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("expected");
    QTest::newRow("controls") << R"(['\n\t\r\b\f\v'])" << QString::fromLatin1("\n\t\r\b\f\v");
    QTest::newRow("quotes and backslash") << R"(['\'\"\\'])" << QString::fromLatin1("'\"\\");
    QTest::newRow("unicode") << R"(["\u0041\u017c"])" << QString::fromUtf8("Aż");
    QTest::newRow("hex") << R"(['\x41\x7e'])" << "A~";
    QTest::newRow("nul") << R"(['a\0b'])" << QString::fromLatin1("a\0b", 3);
    QTest::newRow("legacy octal") << R"(['\101\7\400'])" << QString::fromLatin1("A\a") + QChar(0x20) + "0";
    QTest::newRow("needless escape") << R"(['\q\%2'])" << "q%2";
    QTest::newRow("line continuation") << "['a\\\nb\\\r\nc']" << "abc";
    QTest::newRow("json slash") << R"(["a\/b"])" << "a/b";
    QTest::newRow("raw line separators from json") << QString::fromUtf8("['a\u2028b\u2029c']")
                                                   << QString::fromUtf8("a\u2028b\u2029c");
    QTest::newRow("sql text kept") << R"(["x'); DROP TABLE Alarms; --"])" << "x'); DROP TABLE Alarms; --";
}

void tst_ScriptLiteral::stringEscapes()
{
    QFETCH(QString, text);
    QFETCH(QString, expected);
    QVariantList list;
    QString error;
    QVERIFY2(ScriptLiteral::parseArray(text, &list, &error), qPrintable(error));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().toString(), expected);
}

void tst_ScriptLiteral::numbers_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("expected");
    QTest::newRow("integer") << "42" << 42.0;
    QTest::newRow("fraction") << "1.5" << 1.5;
    QTest::newRow("leading point") << ".5" << 0.5;
    QTest::newRow("trailing point") << "5." << 5.0;
    QTest::newRow("exponent") << "1e3" << 1000.0;
    QTest::newRow("negative exponent") << "25E-1" << 2.5;
    QTest::newRow("hex") << "0x1F" << 31.0;
    QTest::newRow("hex upper") << "0XfF" << 255.0;
    QTest::newRow("legacy octal") << "017" << 15.0;
    QTest::newRow("decimal with leading zero") << "019" << 19.0;
    QTest::newRow("zero") << "0" << 0.0;
    QTest::newRow("zero point") << "0.25" << 0.25;
    QTest::newRow("beyond 2^53") << "9007199254740993" << 9007199254740992.0;
    QTest::newRow("counter") << "4294967295" << 4294967295.0;
    QTest::newRow("overflow") << "1e400" << std::numeric_limits<double>::infinity();
    QTest::newRow("underflow") << "1e-400" << 0.0;
    QTest::newRow("shortest") << "0.1" << 0.1;
}

void tst_ScriptLiteral::numbers()
{
    QFETCH(QString, text);
    QFETCH(double, expected);
    QVariantList list;
    QString error;
    QVERIFY2(ScriptLiteral::parseArray(QLatin1Char('[') + text + QLatin1Char(']'), &list, &error), qPrintable(error));
    QCOMPARE(list.size(), 1);
    QCOMPARE(list.first().userType(), int(QMetaType::Double));
    QCOMPARE(list.first().toDouble(), expected);
}

void tst_ScriptLiteral::toText_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QString>("expected");
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("integer") << QVariant(1.0) << "1";
    QTest::newRow("fraction") << QVariant(1.5) << "1.5";
    QTest::newRow("negative") << QVariant(-12.25) << "-12.25";
    QTest::newRow("minus zero") << QVariant(-0.0) << "0";
    QTest::newRow("0.1") << QVariant(0.1) << "0.1";
    QTest::newRow("counter") << QVariant(4294967295.0) << "4294967295";
    QTest::newRow("2^53") << QVariant(9007199254740992.0) << "9007199254740992";
    QTest::newRow("1e20") << QVariant(1e20) << "100000000000000000000";
    QTest::newRow("1e21") << QVariant(1e21) << "1e+21";
    QTest::newRow("1.5e21") << QVariant(1.5e21) << "1.5e+21";
    QTest::newRow("1e-6") << QVariant(1e-6) << "0.000001";
    QTest::newRow("1.5e-6") << QVariant(1.5e-6) << "0.0000015";
    QTest::newRow("1e-7") << QVariant(1e-7) << "1e-7";
    QTest::newRow("1.25e-7") << QVariant(1.25e-7) << "1.25e-7";
    QTest::newRow("123456.789") << QVariant(123456.789) << "123456.789";
    QTest::newRow("max") << QVariant(std::numeric_limits<double>::max()) << "1.7976931348623157e+308";
    QTest::newRow("denormal min") << QVariant(std::numeric_limits<double>::denorm_min()) << "5e-324";
    QTest::newRow("NaN") << QVariant(std::numeric_limits<double>::quiet_NaN()) << "NaN";
    QTest::newRow("Infinity") << QVariant(inf) << "Infinity";
    QTest::newRow("-Infinity") << QVariant(-inf) << "-Infinity";
    QTest::newRow("null") << QVariant::fromValue(nullptr) << "null";
    QTest::newRow("absent") << QVariant() << "";
    QTest::newRow("true") << QVariant(true) << "true";
    QTest::newRow("false") << QVariant(false) << "false";
    QTest::newRow("string") << QVariant(QStringLiteral("  a%2 ")) << "  a%2 ";
    QTest::newRow("array joins") << QVariant(QVariantList{1.0, QVariant::fromValue(nullptr), QVariant(), QStringLiteral("x"),
                                                          QVariantList{2.0, 3.0}})
                                 << "1,,,x,2,3";
    QTest::newRow("object") << QVariant(QVariantMap{{"a", 1.0}}) << "[object Object]";
}

void tst_ScriptLiteral::toText()
{
    QFETCH(QVariant, value);
    QFETCH(QString, expected);
    QCOMPARE(ScriptLiteral::toText(value), expected);
}

void tst_ScriptLiteral::toInt32_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("plain") << QVariant(7.0) << 7;
    QTest::newRow("truncates toward zero") << QVariant(-7.9) << -7;
    QTest::newRow("fraction") << QVariant(2.999) << 2;
    QTest::newRow("2^31-1") << QVariant(2147483647.0) << 2147483647;
    QTest::newRow("2^31 wraps") << QVariant(2147483648.0) << int(-2147483647 - 1);
    QTest::newRow("-2^31") << QVariant(-2147483648.0) << int(-2147483647 - 1);
    QTest::newRow("-2^31-1 wraps") << QVariant(-2147483649.0) << 2147483647;
    QTest::newRow("2^32") << QVariant(4294967296.0) << 0;
    QTest::newRow("2^32+3") << QVariant(4294967299.0) << 3;
    QTest::newRow("counter") << QVariant(4294967295.0) << -1;
    QTest::newRow("1e21") << QVariant(1e21) << int(-559939584);
    QTest::newRow("2^53+2") << QVariant(9007199254740994.0) << 2;
    QTest::newRow("-1e300") << QVariant(-1e300) << 0;
    QTest::newRow("NaN") << QVariant(std::numeric_limits<double>::quiet_NaN()) << 0;
    QTest::newRow("Infinity") << QVariant(std::numeric_limits<double>::infinity()) << 0;
    QTest::newRow("null") << QVariant::fromValue(nullptr) << 0;
    QTest::newRow("absent") << QVariant() << 0;
    QTest::newRow("true") << QVariant(true) << 1;
    QTest::newRow("false") << QVariant(false) << 0;
    QTest::newRow("string 12") << QVariant(QStringLiteral("12")) << 12;
    QTest::newRow("string padded") << QVariant(QStringLiteral(" \t12\n")) << 12;
    QTest::newRow("string 0x10") << QVariant(QStringLiteral("0x10")) << 16;
    QTest::newRow("string -0x10") << QVariant(QStringLiteral("-0x10")) << 0;
    QTest::newRow("string octal reads decimal") << QVariant(QStringLiteral("010")) << 10;
    QTest::newRow("string fraction") << QVariant(QStringLiteral("-3.7")) << -3;
    QTest::newRow("string exponent") << QVariant(QStringLiteral("1e3")) << 1000;
    QTest::newRow("string point only") << QVariant(QStringLiteral(".")) << 0;
    QTest::newRow("string trailing point") << QVariant(QStringLiteral("5.")) << 5;
    QTest::newRow("string big wraps") << QVariant(QStringLiteral("4294967299")) << 3;
    QTest::newRow("string empty") << QVariant(QString()) << 0;
    QTest::newRow("string word") << QVariant(QStringLiteral("12abc")) << 0;
    QTest::newRow("string Infinity") << QVariant(QStringLiteral("Infinity")) << 0;
    QTest::newRow("one element array") << QVariant(QVariantList{5.0}) << 5;
    QTest::newRow("two element array") << QVariant(QVariantList{5.0, 6.0}) << 0;
    QTest::newRow("object") << QVariant(QVariantMap{{"a", 1.0}}) << 0;
}

void tst_ScriptLiteral::toInt32()
{
    QFETCH(QVariant, value);
    QFETCH(int, expected);
    QCOMPARE(int(ScriptLiteral::toInt32(value)), expected);
}

QTEST_APPLESS_MAIN(tst_ScriptLiteral)
#include "tst_ScriptLiteral.moc"
