#include "ModulesMngr.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QtTest>

using vexo::ModulesMngr;

class tst_ModulesMngr : public QObject
{
    Q_OBJECT

private slots:
    void withoutModulesDirectory();
    void emptyModulesDirectory();
    void oneModuleListsItsOwnFilesOnly();
    void severalModules();
    void namesAreEscaped();
    void relativeRootIsTheProgramsDirectory();

private:
    static void touch(const QString &path)
    {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
};

void tst_ModulesMngr::withoutModulesDirectory()
{
    QTemporaryDir root;
    QCOMPARE(ModulesMngr(root.path()).getListOfInstalledModules(), QByteArray("{\"modules\":{}}"));
    QCOMPARE(ModulesMngr(root.filePath("missing")).getListOfInstalledModules(), QByteArray("{\"modules\":{}}"));
    touch(root.filePath("modules")); // a file, not a directory
    QCOMPARE(ModulesMngr(root.path()).getListOfInstalledModules(), QByteArray("{\"modules\":{}}"));
}

void tst_ModulesMngr::emptyModulesDirectory()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkdir("modules"));
    ModulesMngr modules(root.path());
    QCOMPARE(modules.getListOfInstalledModules(), QByteArray("{}"));
    // Nothing is cached: a module installed later is listed at once.
    QVERIFY(QDir(root.path()).mkpath("modules/b"));
    QCOMPARE(modules.getListOfInstalledModules(), QByteArray("{\"b\":{\"html\":[],\"css\":[],\"js\":[]}}"));
}

void tst_ModulesMngr::oneModuleListsItsOwnFilesOnly()
{
    QTemporaryDir root;
    touch(root.filePath("modules/a/index.html"));
    touch(root.filePath("modules/a/notes.txt"));
    touch(root.filePath("modules/a/img/x.js"));
    touch(root.filePath("modules/a/.hidden.css"));
    QVERIFY(QDir(root.path()).mkpath("modules/a/dir.css"));
    touch(root.filePath("modules/.hidden/page.html"));
    QCOMPARE(ModulesMngr(root.path()).getListOfInstalledModules(),
             QByteArray("{\"a\":{\"html\":[\"index.html\"],\"css\":[],\"js\":[]}}"));
}

void tst_ModulesMngr::severalModules()
{
    QTemporaryDir root;
    touch(root.filePath("modules/m1/a.html"));
    touch(root.filePath("modules/m1/b.html"));
    touch(root.filePath("modules/m1/s.css"));
    touch(root.filePath("modules/m2/app.js"));
    const QByteArray reply = ModulesMngr(root.path()).getListOfInstalledModules();
    const QJsonObject object = QJsonDocument::fromJson(reply).object();
    QCOMPARE(object.keys(), (QStringList{"m1", "m2"}));
    QStringList pages;
    for (const QJsonValue &v : object.value("m1").toObject().value("html").toArray())
        pages << v.toString();
    pages.sort();
    QCOMPARE(pages, (QStringList{"a.html", "b.html"}));
    QCOMPARE(QJsonDocument(object.value("m2").toObject()).toJson(QJsonDocument::Compact),
             QByteArray("{\"css\":[],\"html\":[],\"js\":[\"app.js\"]}"));
    QVERIFY(reply.contains("\"m2\":{\"html\":[],\"css\":[],\"js\":[\"app.js\"]}"));
}

void tst_ModulesMngr::namesAreEscaped()
{
    QTemporaryDir root;
    touch(root.filePath("modules/q\"x/a\\b.css"));
    QCOMPARE(ModulesMngr(root.path()).getListOfInstalledModules(),
             QByteArray("{\"q\\\"x\":{\"html\":[],\"css\":[\"a\\\\b.css\"],\"js\":[]}}"));
}

void tst_ModulesMngr::relativeRootIsTheProgramsDirectory()
{
    QTemporaryDir root(QCoreApplication::applicationDirPath() + "/modules-root-XXXXXX");
    touch(root.filePath("modules/rel/x.css"));
    QTemporaryDir elsewhere;
    QDir::setCurrent(elsewhere.path());
    ModulesMngr modules(QFileInfo(root.path()).fileName());
    QCOMPARE(modules.getListOfInstalledModules(), QByteArray("{\"rel\":{\"html\":[],\"css\":[\"x.css\"],\"js\":[]}}"));
}

QTEST_GUILESS_MAIN(tst_ModulesMngr)
#include "tst_ModulesMngr.moc"
