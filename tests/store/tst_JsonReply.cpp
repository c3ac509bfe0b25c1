#include "JsonReply.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <cmath>
#include <limits>

class tst_JsonReply : public QObject
{
    Q_OBJECT
private slots:
    void replies_data();
    void replies();
    void plainSuccess();
    void numbers_data();
    void numbers();
};

void tst_JsonReply::replies_data()
{
    QTest::addColumn<bool>("error");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("details");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("bare success") << false << QString() << QString() << QByteArray("{\"success\":true}");
    QTest::newRow("error with message")
        << true << "Query error" << QString() << QByteArray("{\"error\":true,\"message\":\"Query error\"}");
    QTest::newRow("error with details only")
        << true << QString() << "no such table: X" << QByteArray("{\"error\":true,\"details\":\"no such table: X\"}");
    QTest::newRow("success with both")
        << false << "Saved" << "row 1" << QByteArray("{\"success\":true,\"message\":\"Saved\",\"details\":\"row 1\"}");
    QTest::newRow("quote in details")
        << true << "Edit error" << "near \"x\": syntax error"
        << QByteArray("{\"error\":true,\"message\":\"Edit error\",\"details\":\"near \\\"x\\\": syntax error\"}");
    QTest::newRow("backslash, line feed, tab and a control character")
        << true << "Query error" << QStringLiteral("a\\b\nc\td") + QChar(0x01)
        << QByteArray("{\"error\":true,\"message\":\"Query error\",\"details\":\"a\\\\b\\nc\\td\\u0001\"}");
    QTest::newRow("quote in message")
        << true << "say \"hi\"" << QString() << QByteArray("{\"error\":true,\"message\":\"say \\\"hi\\\"\"}");
    QTest::newRow("non-ascii text is utf-8")
        << false << QStringLiteral("zapisano ł") << QString()
        << QByteArray("{\"success\":true,\"message\":\"zapisano \xc5\x82\"}");
}

void tst_JsonReply::replies()
{
    QFETCH(bool, error);
    QFETCH(QString, message);
    QFETCH(QString, details);
    QFETCH(QByteArray, expected);
    const QByteArray reply = error ? buildErrorJson(message, details) : buildSuccessJson(message, details);
    QCOMPARE(reply, expected);

    QJsonParseError parseError;
    const QJsonObject object = QJsonDocument::fromJson(reply, &parseError).object();
    QCOMPARE(parseError.error, QJsonParseError::NoError);
    QCOMPARE(object.value(error ? "error" : "success").toBool(), true);
    QCOMPARE(object.value("message").toString(), message);
    QCOMPARE(object.value("details").toString(), details);
}

void tst_JsonReply::plainSuccess()
{
    QCOMPARE(plainSuccessJson(), QByteArray("{\"success\":true}"));
    QCOMPARE(buildSuccessJson(), plainSuccessJson());
}

void tst_JsonReply::numbers_data()
{
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("32-bit counter keeps every digit") << 4294967295.0 << "4294967295";
    QTest::newRow("tenth") << 0.1 << "0.1";
    QTest::newRow("negative") << -12.5 << "-12.5";
    QTest::newRow("zero") << 0.0 << "0";
    QTest::newRow("float marker") << 1.0e20 << "1e+20";
    QTest::newRow("nan is null") << std::numeric_limits<double>::quiet_NaN() << "null";
    QTest::newRow("infinity is null") << std::numeric_limits<double>::infinity() << "null";
}

void tst_JsonReply::numbers()
{
    QFETCH(double, value);
    QFETCH(QString, expected);
    const QString text = JsonReply::number(value);
    QCOMPARE(text, expected);
    if (std::isfinite(value))
        QCOMPARE(text.toDouble(), value);
}

QTEST_APPLESS_MAIN(tst_JsonReply)
#include "tst_JsonReply.moc"
