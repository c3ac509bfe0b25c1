#include "HelperStarter.h"
#include "RecordingFake.h"

#include <QTemporaryDir>
#include <QtTest>

class tst_HelperStarter : public QObject
{
    Q_OBJECT
private slots:
    void startsBesideTheProgram();
    void resolvesOnlyInsideTheDirectory_data();
    void resolvesOnlyInsideTheDirectory();
};

void tst_HelperStarter::startsBesideTheProgram()
{
    QTemporaryDir app;
    const QString admin = app.filePath(QStringLiteral("Vexo_admin"));
    const QString pellaris = app.filePath(QStringLiteral("platforms/Pellaris"));
    QVERIFY(RecordingFake::install(admin));
    QVERIFY(RecordingFake::install(pellaris));
    HelperStarter starter(app.path());

    qint64 pid = 0;
    QVERIFY(starter.start(QStringLiteral("Vexo_admin"), {QStringLiteral("-r"), QStringLiteral("two words")}, &pid));
    QVERIFY(pid > 0);
    QTRY_COMPARE_WITH_TIMEOUT(RecordingFake::lines(admin).size(), 3, 10000);
    QCOMPARE(RecordingFake::lines(admin),
             QStringList({QDir(app.path()).canonicalPath(), QStringLiteral("-r"), QStringLiteral("two words")}));

    // Names keep their Windows suffix in callers; the installed file has none.
    QVERIFY(starter.start(QStringLiteral("platforms/Pellaris.exe"), {}));
    QTRY_COMPARE_WITH_TIMEOUT(RecordingFake::lines(pellaris).size(), 1, 10000);

    QVERIFY(!starter.start(QStringLiteral("Bootloader"), {}));
}

void tst_HelperStarter::resolvesOnlyInsideTheDirectory_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("found");
    QTest::newRow("installed") << QStringLiteral("Vexo_admin") << true;
    QTest::newRow("below a folder") << QStringLiteral("www/root/Vexo_setup") << true;
    QTest::newRow("missing") << QStringLiteral("Bootloader") << false;
    QTest::newRow("not executable") << QStringLiteral("notes.txt") << false;
    QTest::newRow("a folder") << QStringLiteral("www") << false;
    QTest::newRow("system tool from PATH") << QStringLiteral("sh") << false;
    QTest::newRow("absolute") << QStringLiteral("/bin/sh") << false;
    QTest::newRow("climbing out") << QStringLiteral("../outside/tool") << false;
    QTest::newRow("empty") << QString() << false;
}

void tst_HelperStarter::resolvesOnlyInsideTheDirectory()
{
    QFETCH(QString, name);
    QFETCH(bool, found);
    QTemporaryDir root;
    const QString app = root.filePath(QStringLiteral("app"));
    QVERIFY(RecordingFake::install(app + QStringLiteral("/Vexo_admin")));
    QVERIFY(RecordingFake::install(app + QStringLiteral("/www/root/Vexo_setup")));
    QVERIFY(RecordingFake::install(root.filePath(QStringLiteral("outside/tool"))));
    QFile notes(app + QStringLiteral("/notes.txt"));
    QVERIFY(notes.open(QIODevice::WriteOnly));
    notes.close();
    const HelperStarter starter(app);
    const QString resolved = starter.resolve(name);
    QCOMPARE(!resolved.isEmpty(), found);
    if (found)
        QCOMPARE(resolved, app + QLatin1Char('/') + name);
}

QTEST_GUILESS_MAIN(tst_HelperStarter)
#include "tst_HelperStarter.moc"
