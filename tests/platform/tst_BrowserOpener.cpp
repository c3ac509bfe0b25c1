#include "BrowserOpener.h"
#include "RecordingFake.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_BrowserOpener : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void addressIsOneArgument_data();
    void addressIsOneArgument();

private:
    QTemporaryDir m_bin;
    QString m_fake;
};

void tst_BrowserOpener::initTestCase()
{
    QVERIFY(m_bin.isValid());
    m_fake = m_bin.filePath(QStringLiteral("xdg-open"));
    QVERIFY(RecordingFake::install(m_fake));
    RecordingFake::prependToPath(m_bin.path());
}

void tst_BrowserOpener::addressIsOneArgument_data()
{
    QTest::addColumn<QString>("url");
    QTest::newRow("local address") << QStringLiteral("http://127.0.0.1:8080");
    // No shell stands between: quotes, semicolons and blanks reach the opener as they are.
    QTest::newRow("shell characters") << QStringLiteral("ftp://host/a b;touch x'\"$(id)");
}

void tst_BrowserOpener::addressIsOneArgument()
{
    QFETCH(QString, url);
    QFile::remove(RecordingFake::recordOf(m_fake));
    QVERIFY(BrowserOpener::open(url));
    QTRY_COMPARE_WITH_TIMEOUT(RecordingFake::lines(m_fake).size(), 2, 10000);
    QCOMPARE(RecordingFake::lines(m_fake).at(1), url);
}

QTEST_GUILESS_MAIN(tst_BrowserOpener)
#include "tst_BrowserOpener.moc"
