#include "RequestParams.h"

#include <QtTest>

class tst_RequestParams : public QObject
{
    Q_OBJECT
private slots:
    void text_data();
    void text();
    void integer_data();
    void integer();
    void lastAddedWins();
};

void tst_RequestParams::text_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("expected");
    QTest::newRow("absent takes the fallback") << false << QByteArray() << QStringLiteral("fallback");
    QTest::newRow("present but empty stays empty") << true << QByteArray("") << QString();
    QTest::newRow("utf-8") << true << QByteArray("\xc5\x82\xc3\xb3" "d\xc5\xba") << QStringLiteral("łódź");
    QTest::newRow("cut at the first zero byte") << true << QByteArray("abc\0def", 7) << QStringLiteral("abc");
}

void tst_RequestParams::text()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, value);
    QFETCH(QString, expected);
    t_GetArray params;
    if (present)
        params.insert("name", value);
    QCOMPARE(RequestParams::text(params, "name", QStringLiteral("fallback")), expected);
    QCOMPARE(RequestParams::has(params, "name"), present);
}

void tst_RequestParams::integer_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("absent takes the fallback") << false << QByteArray() << 7;
    QTest::newRow("decimal") << true << QByteArray("42") << 42;
    QTest::newRow("negative") << true << QByteArray("-5") << -5;
    QTest::newRow("not a number is 0") << true << QByteArray("abc") << 0;
    QTest::newRow("empty is 0") << true << QByteArray("") << 0;
    QTest::newRow("hex is not decimal") << true << QByteArray("0x10") << 0;
    QTest::newRow("trailing garbage is 0") << true << QByteArray("12a") << 0;
    QTest::newRow("digits before a zero byte") << true << QByteArray("12\0" "3", 4) << 12;
    QTest::newRow("out of int range is 0") << true << QByteArray("99999999999") << 0;
}

void tst_RequestParams::integer()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, value);
    QFETCH(int, expected);
    t_GetArray params;
    if (present)
        params.insert("n", value);
    QCOMPARE(RequestParams::integer(params, "n", 7), expected);
}

void tst_RequestParams::lastAddedWins()
{
    t_GetArray params;
    params.insert("id", "1");
    params.insert("id", "2");
    params.insert("other", "x");
    QCOMPARE(RequestParams::text(params, "id"), QStringLiteral("2"));
    QCOMPARE(RequestParams::integer(params, "id"), 2);
}

QTEST_APPLESS_MAIN(tst_RequestParams)
#include "tst_RequestParams.moc"
