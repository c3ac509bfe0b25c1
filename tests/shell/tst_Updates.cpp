#include "Updates.h"

#include "PeerProcess.h"
#include "TestEnv.h"

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

namespace {

// A document root "www" with "tmp" beside it, an update server serving the folder "server" and
// an updater configured for both.
struct Fixture
{
    QTemporaryDir base;
    PeerProcess server;
    QString address; // http://127.0.0.1:PORT
    std::unique_ptr<QSettings> settings;
    std::unique_ptr<Updates> updates;

    QString path(const QString &relative) const { return base.filePath(relative); }
    QString www(const QString &relative = QString()) const { return path(QStringLiteral("www/") + relative); }

    bool startServer()
    {
        QDir().mkpath(path(QStringLiteral("server/lists")));
        QDir().mkpath(path(QStringLiteral("server/files")));
        QDir().mkpath(www());
        if (!server.startPython(TestEnv::testFile(QStringLiteral("shell/peers/update_server.py")),
                                {path(QStringLiteral("server"))}))
            return false;
        address = QStringLiteral("http://127.0.0.1:") + server.readyWords().value(0);
        return true;
    }

    void make(const QString &updateServer, bool configurationProgram = false)
    {
        updates.reset();
        settings = std::make_unique<QSettings>(path(QStringLiteral("config.ini")), QSettings::IniFormat);
        settings->setValue(QStringLiteral("docroot/path"), www());
        settings->setValue(QStringLiteral("updates/updateServer"), updateServer);
        settings->beginGroup(QStringLiteral("docroot"));
        updates = std::make_unique<Updates>(settings.get(), nullptr, configurationProgram);
        updates->setTransferTimeout(3000);
        updates->setQueryTimeout(1500);
    }

    static bool write(const QString &file, const QByteArray &bytes)
    {
        QDir().mkpath(QFileInfo(file).absolutePath());
        QFile f(file);
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
    }
    bool list(const QString &module, const QByteArray &body) { return write(path(QStringLiteral("server/lists/")) + module, body); }
    bool serve(const QString &relative, const QByteArray &body) { return write(path(QStringLiteral("server/files/")) + relative, body); }
    QString fileUrl(const QString &relative) const { return address + QStringLiteral("/files/") + relative; }

    static QByteArray read(const QString &file)
    {
        QFile f(file);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QByteArray start(const QByteArray &modulesList)
    {
        t_GetArray params;
        params.insert("modulesList", modulesList);
        return updates->startUpdating(params);
    }
    QByteArray check(const QByteArray &json)
    {
        t_GetArray params;
        params.insert("json", json);
        return updates->check4Updates(params);
    }
    QByteArray status() { return updates->getUpdateStatus(); }
    QList<QByteArray> requests() { return server.output().split('\n'); }
};

const QByteArray g_completed = R"({"ok":"Completed correctly."})";
const QByteArray g_diskError = R"({"error":"Unable to write to disk!"})";
const QByteArray g_replyError = R"({"error":"Reply error!"})";
const QByteArray g_parameterError = R"({"error":"Parameter error!"})";
const QByteArray g_connectError = R"({"error":"Unable to connect with server!"})";

QStringList g_warnings;
QtMessageHandler g_previous = nullptr;
void recordWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type != QtDebugMsg && type != QtInfoMsg)
        g_warnings << message;
    if (g_previous)
        g_previous(type, context, message);
}

} // namespace

class tst_Updates : public QObject
{
    Q_OBJECT
private slots:
    void statusBeforeAnyUpdate();
    void check4Updates_data();
    void check4Updates();
    void checkPostsToTheAddressAsConfigured();
    void startParameters_data();
    void startParameters();
    void fullUpdate();
    void fileListUrlWithOrWithoutSlash_data();
    void fileListUrlWithOrWithoutSlash();
    void failures_data();
    void failures();
    void listThatIsNotAnArrayEndsTheChain();
    void stalledTransfersEnd_data();
    void stalledTransfersEnd();
    void foreignTmpIsNeverTouched_data();
    void foreignTmpIsNeverTouched();
    void ownLeftoverTmpIsRemoved();
    void pathsAreConfined_data();
    void pathsAreConfined();
    void secondStartAbortsTheFirst();
    void callsFromConnectionThreads();
    void installFolderOfTheConfigurationProgram();
};

void tst_Updates::statusBeforeAnyUpdate()
{
    Fixture f;
    f.make(QStringLiteral("."));
    QCOMPARE(f.status(), QByteArray("{}"));
    QCOMPARE(f.updates->documentRoot(), f.www().chopped(1));
    QCOMPARE(f.updates->temporaryDir(), f.path(QStringLiteral("tmp")));
    QCOMPARE(f.settings->group(), QStringLiteral("updates"));
}

void tst_Updates::check4Updates_data()
{
    QTest::addColumn<QString>("serverPath");
    QTest::addColumn<QByteArray>("reply");
    QTest::newRow("200 passes the body") << QStringLiteral("/check/200") << QByteArray("ANSWER:json={\"v\":1}");
    QTest::newRow("204 passes the empty body") << QStringLiteral("/check/204") << QByteArray();
    QTest::newRow("302") << QStringLiteral("/check/302") << g_connectError;
    QTest::newRow("404") << QStringLiteral("/check/404") << g_connectError;
    QTest::newRow("500") << QStringLiteral("/check/500") << g_connectError;
    QTest::newRow("time-out") << QStringLiteral("/hang") << g_connectError;
    QTest::newRow("nobody listening") << QStringLiteral("@closed") << g_connectError;
    QTest::newRow("not a web address") << QStringLiteral("@file") << g_connectError;
}

void tst_Updates::check4Updates()
{
    QFETCH(QString, serverPath);
    QFETCH(QByteArray, reply);
    Fixture f;
    QVERIFY(f.startServer());
    QString server = f.address + serverPath;
    if (serverPath == QLatin1String("@closed"))
        server = QStringLiteral("http://127.0.0.1:%1/check/200").arg(TestEnv::freeTcpPort());
    else if (serverPath == QLatin1String("@file"))
        server = QStringLiteral("file://") + f.path(QStringLiteral("server/lists"));
    f.make(server);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(f.check("{\"v\":1}"), reply);
    QVERIFY(timer.elapsed() < 10000);
    t_GetArray none;
    QCOMPARE(f.updates->check4Updates(none), g_parameterError);
}

void tst_Updates::checkPostsToTheAddressAsConfigured()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address + QStringLiteral("/check/200/"));
    // The value goes out as it came: no percent-encoding is added.
    QCOMPARE(f.check("a b&c=%d"), QByteArray("ANSWER:json=a b&c=%d"));
    QVERIFY(f.requests().contains("POST /check/200/ application/x-www-form-urlencoded json=a b&c=%d"));
}

void tst_Updates::startParameters_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("value");
    QTest::newRow("absent") << false << QByteArray();
    QTest::newRow("empty") << true << QByteArray();
    QTest::newRow("empty array") << true << QByteArray("[]");
    QTest::newRow("object") << true << QByteArray("{\"a\":1}");
    QTest::newRow("text") << true << QByteArray("root");
    QTest::newRow("script") << true << QByteArray("['a'].concat(['b'])");
    QTest::newRow("unclosed") << true << QByteArray("[\"a\"");
}

void tst_Updates::startParameters()
{
    QFETCH(bool, present);
    QFETCH(QByteArray, value);
    Fixture f;
    f.make(QStringLiteral("."));
    t_GetArray params;
    if (present)
        params.insert("modulesList", value);
    QCOMPARE(f.updates->startUpdating(params), g_parameterError);
    QCOMPARE(f.status(), QByteArray("{}"));
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("tmp"))));
}

void tst_Updates::fullUpdate()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address + QStringLiteral("/srv"));
    QVERIFY(f.serve(QStringLiteral("v2/root/js/app.js"), "new app"));
    QVERIFY(f.serve(QStringLiteral("v2/root/index.html"), "new index"));
    QVERIFY(f.serve(QStringLiteral("v2/modules/root/x.js"), "modules first"));
    QVERIFY(f.serve(QStringLiteral("v2/modules/charts/c.js"), "chart"));
    QVERIFY(f.list(QStringLiteral("base & root"),
                   ("['" + f.fileUrl(QStringLiteral("v2/root/js/app.js")) + "', \"" + f.fileUrl(QStringLiteral("v2/root/index.html"))
                    + "\",]")
                       .toUtf8()));
    QVERIFY(f.list(QStringLiteral("empty"), "[]"));
    QVERIFY(f.list(QStringLiteral("charts"),
                   ("[\"" + f.fileUrl(QStringLiteral("v2/modules/charts/c.js")) + "\",\"" + f.fileUrl(QStringLiteral("v2/modules/root/x.js"))
                    + "\"]")
                       .toUtf8()));
    QVERIFY(Fixture::write(f.www(QStringLiteral("root/js/app.js")), "old app"));
    QVERIFY(Fixture::write(f.www(QStringLiteral("root/keep.txt")), "kept"));

    // The list arrives percent-encoded once more, as the browser sends it.
    QCOMPARE(f.start(QUrl::toPercentEncoding(QStringLiteral("[\"base & root\",\"empty\",'charts']"))),
             QByteArray(R"({"ok":"Update started"})"));
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_completed, 20000);
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/js/app.js"))), QByteArray("new app"));
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/index.html"))), QByteArray("new index"));
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/keep.txt"))), QByteArray("kept"));
    QCOMPARE(Fixture::read(f.www(QStringLiteral("modules/charts/c.js"))), QByteArray("chart"));
    QCOMPARE(Fixture::read(f.www(QStringLiteral("modules/root/x.js"))), QByteArray("modules first"));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("root/x.js"))));
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("tmp"))));
    QVERIFY(!QFileInfo::exists(f.www(Updates::markerName())));
    const QStringList left = QDir(f.www(QStringLiteral("root/js"))).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QCOMPARE(left, QStringList({QStringLiteral("app.js")}));
    // The module name is percent-encoded in its list's address.
    const QList<QByteArray> requests = f.requests();
    QVERIFY(requests.contains("GET /srv/fileList?moduleName=base%20%26%20root"));
    QVERIFY(requests.contains("GET /srv/fileList?moduleName=empty"));
}

void tst_Updates::fileListUrlWithOrWithoutSlash_data()
{
    QTest::addColumn<QString>("suffix");
    QTest::newRow("without") << QStringLiteral("/srv");
    QTest::newRow("with") << QStringLiteral("/srv/");
}

void tst_Updates::fileListUrlWithOrWithoutSlash()
{
    QFETCH(QString, suffix);
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address + suffix);
    QVERIFY(f.list(QStringLiteral("m"), "[]"));
    f.start("[\"m\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_completed, 20000);
    QVERIFY(f.requests().contains("GET /srv/fileList?moduleName=m"));
}

void tst_Updates::failures_data()
{
    QTest::addColumn<QByteArray>("list");
    QTest::addColumn<QByteArray>("result");
    QTest::newRow("list 404") << QByteArray() << QByteArray(R"({"error":"Reply error!","errorNo":203})");
    QTest::newRow("file 404") << QByteArray("[\"%1/files/root/missing.js\"]") << g_replyError;
    QTest::newRow("no top folder") << QByteArray("[\"%1/files/other/a.js\"]") << g_diskError;
    QTest::newRow("a folder, not a file") << QByteArray("[\"%1/files/evil/root/\"]") << g_diskError;
}

void tst_Updates::failures()
{
    QFETCH(QByteArray, list);
    QFETCH(QByteArray, result);
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address);
    QVERIFY(f.serve(QStringLiteral("other/a.js"), "a"));
    QVERIFY(f.serve(QStringLiteral("root/index.html"), "index"));
    if (!list.isEmpty())
        QVERIFY(f.list(QStringLiteral("m"), QString::fromLatin1(list).arg(f.address).toLatin1()));
    QVERIFY(Fixture::write(f.www(QStringLiteral("root/index.html")), "old"));
    f.start("[\"m\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), result, 20000);
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/index.html"))), QByteArray("old"));
}

void tst_Updates::listThatIsNotAnArrayEndsTheChain()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address);
    QVERIFY(f.list(QStringLiteral("bad"), "{\"files\":[]}"));
    QVERIFY(f.list(QStringLiteral("good"), ("[\"" + f.fileUrl(QStringLiteral("root/a.js")) + "\"]").toUtf8()));
    QVERIFY(f.serve(QStringLiteral("root/a.js"), "a"));
    f.start("[\"bad\",\"good\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_replyError, 20000);
    QVERIFY(!f.requests().contains("GET /fileList?moduleName=good"));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("root/a.js"))));
}

void tst_Updates::stalledTransfersEnd_data()
{
    QTest::addColumn<bool>("stalledList");
    QTest::addColumn<QByteArray>("result");
    QTest::newRow("file") << false << g_replyError;
    // OperationCanceledError: the request was aborted at the time-out.
    QTest::newRow("file list") << true << QByteArray(R"({"error":"Reply error!","errorNo":5})");
}

void tst_Updates::stalledTransfersEnd()
{
    QFETCH(bool, stalledList);
    QFETCH(QByteArray, result);
    Fixture f;
    QVERIFY(f.startServer());
    f.make(stalledList ? f.address + QStringLiteral("/hang") : f.address);
    QVERIFY(f.list(QStringLiteral("m"), ("[\"" + f.fileUrl(QStringLiteral("hang/root/a.js")) + "\"]").toUtf8()));
    f.updates->setTransferTimeout(500);
    QElapsedTimer timer;
    timer.start();
    f.start("[\"m\"]");
    QCOMPARE(f.status(), QByteArray(R"({"ok":"In progress"})"));
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), result, 10000);
    QVERIFY(timer.elapsed() >= 450);
}

void tst_Updates::foreignTmpIsNeverTouched_data()
{
    QTest::addColumn<bool>("asLink");
    QTest::newRow("folder without the marker") << false;
    QTest::newRow("link to a folder") << true;
}

void tst_Updates::foreignTmpIsNeverTouched()
{
    QFETCH(bool, asLink);
    Fixture f;
    f.make(QStringLiteral("http://127.0.0.1:9/"));
    const QString outside = f.path(QStringLiteral("outside"));
    QVERIFY(Fixture::write(outside + QStringLiteral("/precious.txt"), "precious"));
    const QString tmp = f.path(QStringLiteral("tmp"));
    QString folder = tmp;
    if (asLink) {
        folder = f.path(QStringLiteral("elsewhere"));
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::link(folder, tmp));
        // Even a marker inside does not make a link the updater's own.
        QVERIFY(Fixture::write(folder + QLatin1Char('/') + Updates::markerName(), "updates\n"));
    }
    QVERIFY(Fixture::write(folder + QStringLiteral("/someone.txt"), "theirs"));
    QVERIFY(QFile::link(outside, folder + QStringLiteral("/link")));
    QCOMPARE(f.start("[\"m\"]"), g_diskError);
    QCOMPARE(f.status(), QByteArray("{}"));
    QCOMPARE(Fixture::read(folder + QStringLiteral("/someone.txt")), QByteArray("theirs"));
    QVERIFY(QFileInfo(folder + QStringLiteral("/link")).isSymLink());
    QCOMPARE(Fixture::read(outside + QStringLiteral("/precious.txt")), QByteArray("precious"));
    QCOMPARE(QFileInfo(tmp).isSymLink(), asLink);
}

void tst_Updates::ownLeftoverTmpIsRemoved()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address);
    QVERIFY(f.list(QStringLiteral("m"), ("[\"" + f.fileUrl(QStringLiteral("root/missing.js")) + "\"]").toUtf8()));
    f.start("[\"m\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_replyError, 20000);
    // The failed update leaves its folder; what is in it, links included, goes at the next start
    // without following a link.
    const QString tmp = f.path(QStringLiteral("tmp"));
    QVERIFY(QFileInfo::exists(tmp + QLatin1Char('/') + Updates::markerName()));
    QVERIFY(Fixture::write(tmp + QStringLiteral("/root/stale.js"), "stale"));
    QVERIFY(Fixture::write(f.path(QStringLiteral("outside/precious.txt")), "precious"));
    QVERIFY(QFile::link(f.path(QStringLiteral("outside")), tmp + QStringLiteral("/root/link")));
    QVERIFY(QFile::link(f.path(QStringLiteral("nowhere")), tmp + QStringLiteral("/broken")));
    QVERIFY(f.list(QStringLiteral("n"), "[]"));
    QCOMPARE(f.start("[\"n\"]"), QByteArray(R"({"ok":"Update started"})"));
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_completed, 20000);
    QVERIFY(!QFileInfo::exists(tmp));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("root/stale.js"))));
    QCOMPARE(Fixture::read(f.path(QStringLiteral("outside/precious.txt"))), QByteArray("precious"));
}

void tst_Updates::pathsAreConfined_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("result");
    QTest::newRow("climbing out with ..") << QStringLiteral("@ADDRESS@/files/root/../../../evil.txt") << g_diskError;
    QTest::newRow("encoded ..") << QStringLiteral("@ADDRESS@/files/root/%2e%2e/%2e%2e/evil.txt") << g_diskError;
    QTest::newRow("local file") << QStringLiteral("file://@BASE@/server/files/root/secret.txt") << g_replyError;
    QTest::newRow("other scheme") << QStringLiteral("ftp://127.0.0.1/root/a.txt") << g_replyError;
}

void tst_Updates::pathsAreConfined()
{
    QFETCH(QString, entry);
    QFETCH(QByteArray, result);
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address);
    QVERIFY(f.serve(QStringLiteral("root/secret.txt"), "secret"));
    QVERIFY(f.list(QStringLiteral("m"), ("[\"" + QString(entry).replace(QStringLiteral("@ADDRESS@"), f.address).replace(QStringLiteral("@BASE@"), f.base.path()) + "\"]").toUtf8()));
    f.start("[\"m\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), result, 20000);
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("evil.txt"))));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("../evil.txt"))));
    QVERIFY(!QFileInfo::exists(f.path(QStringLiteral("tmp/root/secret.txt"))));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("root/secret.txt"))));
}

void tst_Updates::secondStartAbortsTheFirst()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address);
    QVERIFY(f.list(QStringLiteral("slow"), ("[\"" + f.fileUrl(QStringLiteral("hang/root/slow.js")) + "\"]").toUtf8()));
    QVERIFY(f.list(QStringLiteral("fast"), ("[\"" + f.fileUrl(QStringLiteral("root/fast.js")) + "\"]").toUtf8()));
    QVERIFY(f.serve(QStringLiteral("root/fast.js"), "fast"));
    f.start("[\"slow\"]");
    QTRY_VERIFY_WITH_TIMEOUT(f.requests().contains("GET /files/hang/root/slow.js"), 10000);
    QCOMPARE(f.start("[\"fast\"]"), QByteArray(R"({"ok":"Update started"})"));
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_completed, 20000);
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/fast.js"))), QByteArray("fast"));
    QVERIFY(!QFileInfo::exists(f.www(QStringLiteral("root/slow.js"))));
}

void tst_Updates::callsFromConnectionThreads()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address + QStringLiteral("/check/200"));
    QVERIFY(f.list(QStringLiteral("m"), ("[\"" + f.fileUrl(QStringLiteral("root/a.js")) + "\"]").toUtf8()));
    QVERIFY(f.serve(QStringLiteral("root/a.js"), "a"));
    g_warnings.clear();
    g_previous = qInstallMessageHandler(recordWarnings);
    std::atomic<bool> finished{false};
    QByteArray started, checked, status;
    std::thread caller([&] {
        started = f.start("[\"m\"]");
        checked = f.check("q");
        for (int i = 0; i < 200 && status != g_completed; ++i) {
            status = f.updates->getUpdateStatus();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        finished = true;
    });
    QTRY_VERIFY_WITH_TIMEOUT(finished.load(), 30000);
    caller.join();
    qInstallMessageHandler(g_previous);
    QCOMPARE(started, QByteArray(R"({"ok":"Update started"})"));
    QCOMPARE(checked, QByteArray("ANSWER:json=q"));
    QCOMPARE(status, g_completed);
    QCOMPARE(Fixture::read(f.www(QStringLiteral("root/a.js"))), QByteArray("a"));
    QVERIFY2(g_warnings.filter(QStringLiteral("thread"), Qt::CaseInsensitive).isEmpty(), qPrintable(g_warnings.join('\n')));
}

void tst_Updates::installFolderOfTheConfigurationProgram()
{
    Fixture f;
    QVERIFY(f.startServer());
    f.make(f.address, true);
    QVERIFY(f.list(QStringLiteral("m"), ("[\"" + f.fileUrl(QStringLiteral("v/install/setup.bin")) + "\"]").toUtf8()));
    QVERIFY(f.serve(QStringLiteral("v/install/setup.bin"), "setup"));
    f.start("[\"m\"]");
    QTRY_COMPARE_WITH_TIMEOUT(f.status(), g_completed, 20000);
    QCOMPARE(Fixture::read(f.www(QStringLiteral("install/setup.bin"))), QByteArray("setup"));
}

QTEST_GUILESS_MAIN(tst_Updates)
#include "tst_Updates.moc"
