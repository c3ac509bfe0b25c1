#include "../acquisition/MqttBroker.h"
#include "ArchiveManager.h"
#include "ConverterProcesses.h"
#include "Database.h"
#include "PdfConverter.h"
#include "PeerProcess.h"
#include "ShellFixture.h"
#include "WorkerProcess.h"

#include <QApplication>

#include <QScopeGuard>
#include <QSqlQuery>
#include <QtTest>

#include <atomic>
#include <chrono>
#include <thread>

using namespace ShellFixture;

namespace {

const QByteArray notLoggedIn = "{\"error\":true,\"message\":\"User not logged in\"}";
const QByteArray privilegeError = "{\"error\":true,\"message\":\"User doesn't have required privilege\"}";

// The value of a cookie in a curl jar.
QByteArray jarCookie(const QString &jar, const QByteArray &name)
{
    for (const QByteArray &line : readAll(jar).split('\n')) {
        const QList<QByteArray> fields = line.split('\t');
        if (fields.size() >= 7 && fields.at(5) == name)
            return fields.at(6);
    }
    return QByteArray();
}

// Saves a reply body as a file; false when the status is not 200.
bool download(HandlerServer &server, const QString &page, const QString &file, int *status = nullptr)
{
    const Reply reply = server.get(page);
    if (status)
        *status = reply.status;
    return reply.status == 200 && writeFile(file, reply.body);
}

} // namespace

// Login, sessions and the file pages of the main program's handler, served in-process and asked
// by curl as a browser would.
class tst_MyHttpRequestHandler : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void loginOffServesEverything();
    void loginOnRefusesStrangers_data();
    void loginOnRefusesStrangers();
    void loginPageExemptionIsTheLastSegmentOnly();
    void loginRenewsTheSessionId();
    void loggedInUserCookieAndLogout();
    void failedLogin();
    void permissionsBeyondSixteenBits_data();
    void permissionsBeyondSixteenBits();
    void exportNeedsFullRights();
    void saveFileNamesAndTypes();
    void saveFileRefusesBadNames();
    void saveFileTokenCookie();
    void exportScriptAndBackup();
    void backupWhileTheArchiveGrows();
    void importRoundTrip();
    void importWaitsForTheDatabaseLock();
    void importRefusedWhilePolling();
    void downloadCsvOnce();
    void downloadReleasesOnlyItsOwnFile();
    void saveFileAsPdf();
    void runawayPdfPageAnswers500();
    void programStopsARunawayPdfPage();
    void convertersKeepNoBrokerConnection();
    void foreignPagesChangeNothing_data();
    void foreignPagesChangeNothing();
    void loadFileEchoes();
    void browserLogsInAndForeignPagesFail();

private:
    HandlerServer m_server;
};

void tst_MyHttpRequestHandler::initTestCase()
{
    QVERIFY(m_server.start());
    QVERIFY(m_server.addUser(QStringLiteral("reader"), 1, QStringLiteral("r")));
    QVERIFY(m_server.addUser(QStringLiteral("writer"), 2, QStringLiteral("w")));
}

void tst_MyHttpRequestHandler::init()
{
    // Every test starts with the login off; a test that switches it on switches it off again here.
    if (m_server.ajax("func=cfg_getSetting").body == notLoggedIn)
        QVERIFY(m_server.setLogin(false));
}

void tst_MyHttpRequestHandler::loginOffServesEverything()
{
    QCOMPARE(m_server.ajax("func=cfg_getSetting").body.left(15), QByteArray("{\"idSettings\":\""));
    QCOMPARE(m_server.get(QStringLiteral("app.js")).body, QByteArray("var app = 1;\n"));
    QCOMPARE(m_server.get(QStringLiteral("index.html")).body, QByteArray("<html>index page</html>"));
    QCOMPARE(m_server.get(QStringLiteral("exportConfig.html")).status, 200);
    for (const QString &path : {QStringLiteral("login.html"), QStringLiteral("root/login.html"), QStringLiteral("login.html?logout=1")}) {
        const Reply reply = m_server.get(path);
        QCOMPARE(reply.status, 303);
        QCOMPARE(reply.header("Location"), QByteArray("root/home.html"));
    }
}

void tst_MyHttpRequestHandler::loginOnRefusesStrangers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("ajax") << "ajax.html?func=cfg_getSetting" << 200 << QByteArray() << notLoggedIn;
    QTest::newRow("ajax call that writes") << "ajax.html?func=cfg_saveSetting" << 200 << QByteArray() << notLoggedIn;
    QTest::newRow("index") << "index.html" << 303 << QByteArray("login.html") << QByteArray("Redirect");
    QTest::newRow("page") << "root/home.html" << 303 << QByteArray("/login.html") << QByteArray("Redirect");
    QTest::newRow("export") << "exportConfig.html?withArchive=1" << 303 << QByteArray("/login.html") << QByteArray("Redirect");
    QTest::newRow("import") << "importConfig.html" << 303 << QByteArray("/login.html") << QByteArray("Redirect");
    QTest::newRow("save") << "saveFile.html?filename=a.txt&fileContent=x" << 303 << QByteArray("/login.html")
                          << QByteArray("Redirect");
    QTest::newRow("csv") << "downloadCSV.html" << 303 << QByteArray("/login.html") << QByteArray("Redirect");
    QTest::newRow("login page") << "login.html" << 200 << QByteArray() << QByteArray("<html>login page</html>");
    QTest::newRow("script") << "app.js" << 200 << QByteArray() << QByteArray("var app = 1;\n");
}

void tst_MyHttpRequestHandler::loginOnRefusesStrangers()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, location);
    QFETCH(QByteArray, body);
    QVERIFY(m_server.setLogin(true));
    const Reply reply = m_server.get(path);
    QCOMPARE(reply.status, status);
    QCOMPARE(reply.header("Location"), location);
    QCOMPARE(reply.body, body);
    if (path.startsWith(QLatin1String("ajax")))
        QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
    // And the same with a logged-in administrator's session passes.
    const QString admin = m_server.login(QStringLiteral("Admin"), QString());
    QVERIFY(!admin.isEmpty());
    const Reply allowed = m_server.get(path, admin);
    QVERIFY2(allowed.body != notLoggedIn && allowed.header("Location") != "/login.html", qPrintable(path));
}

void tst_MyHttpRequestHandler::loginPageExemptionIsTheLastSegmentOnly()
{
    QVERIFY(m_server.setLogin(true));
    // Paths that end in the login page but name a file page or the call point get no file page and
    // no call: only the static files (which hold no such file) see them.
    for (const QString &path :
         {QStringLiteral("exportConfig.html/login.html?withArchive=1"), QStringLiteral("exportConfig.html;/login.html"),
          QStringLiteral("exportConfig.html%3B/login.html"), QStringLiteral("ajax.html/login.html?func=cfg_clearDatabase"),
          QStringLiteral("loadFile.html/login.html"), QStringLiteral("saveFile.html/login.html?filename=a&fileContent=b")}) {
        const Reply reply = m_server.get(path);
        QVERIFY2(reply.status == 404, qPrintable(path + QLatin1Char(' ') + QString::number(reply.status)));
        QVERIFY2(!reply.hasHeader("Content-Disposition"), qPrintable(path));
    }
    // A name that merely ends in it is a page like any other.
    const Reply other = m_server.get(QStringLiteral("xlogin.html"));
    QCOMPARE(other.status, 303);
    QCOMPARE(other.header("Location"), QByteArray("/login.html"));
    // Nothing was cleared: the users are still there.
    const QString admin = m_server.login(QStringLiteral("reader"), QStringLiteral("r"));
    QVERIFY(!admin.isEmpty());
}

void tst_MyHttpRequestHandler::loginRenewsTheSessionId()
{
    QVERIFY(m_server.setLogin(true));
    const QString jar = m_server.path(QStringLiteral("fixation"));
    QFile::remove(jar);
    // A session handed out before the login (a planted id would be one).
    QCOMPARE(m_server.get(QStringLiteral("login.html"), jar).status, 200);
    const QByteArray before = jarCookie(jar, "sessionid");
    QVERIFY(!before.isEmpty());
    const Reply login = m_server.get(QStringLiteral("login.html"), jar,
                                     {QStringLiteral("--data"), QStringLiteral("username=Admin&password=")});
    QCOMPARE(login.body, QByteArray("{\"success\":true}"));
    const QByteArray after = jarCookie(jar, "sessionid");
    QVERIFY(!after.isEmpty());
    QVERIFY(after != before);
    QVERIFY(m_server.ajax("func=cfg_getSetting", jar).body.startsWith("{\"idSettings\""));
    const Reply planted = m_server.get(QStringLiteral("ajax.html?func=cfg_getSetting"), QString(),
                                       {QStringLiteral("-H"), QStringLiteral("Cookie: sessionid=") + QString::fromLatin1(before)});
    QCOMPARE(planted.body, notLoggedIn);
    // A request that was under way with the old id (a favicon, a script) gets no session of its
    // own, whose cookie would replace the new one in the browser.
    for (const QString &path : {QStringLiteral("favicon.ico"), QStringLiteral("app.js"), QStringLiteral("ajax.html?func=getAppState")}) {
        const Reply late = m_server.get(path, QString(),
                                        {QStringLiteral("-H"), QStringLiteral("Cookie: sessionid=") + QString::fromLatin1(before)});
        QVERIFY2(!late.cookies().join(' ').contains("sessionid"), qPrintable(path));
    }
    QVERIFY(m_server.ajax("func=cfg_getSetting", jar).body.startsWith("{\"idSettings\""));
}

void tst_MyHttpRequestHandler::loggedInUserCookieAndLogout()
{
    QVERIFY(m_server.setLogin(true));
    const QString jar = m_server.login(QStringLiteral("writer"), QStringLiteral("w"));
    QVERIFY(!jar.isEmpty());
    QCOMPARE(jarCookie(jar, "user"), QByteArray("writer"));
    const QByteArray session = jarCookie(jar, "sessionid");
    // Without its "user" cookie the browser gets it again.
    const Reply again = m_server.get(QStringLiteral("app.js"), QString(),
                                     {QStringLiteral("-H"), QStringLiteral("Cookie: sessionid=") + QString::fromLatin1(session)});
    QVERIFY2(again.cookies().join(' ').contains("user=writer"), again.cookies().join(' '));
    const Reply withCookie = m_server.get(QStringLiteral("app.js"), jar);
    QVERIFY(!withCookie.cookies().join(' ').contains("user="));
    // The login page of a logged-in user leads home; with "logout", of any value, out.
    const Reply home = m_server.get(QStringLiteral("login.html"), jar);
    QCOMPARE(home.status, 303);
    QCOMPARE(home.header("Location"), QByteArray("root/home.html"));
    const Reply out = m_server.get(QStringLiteral("login.html?logout"), jar);
    QCOMPARE(out.status, 303);
    QCOMPARE(out.header("Location"), QByteArray("login.html"));
    QCOMPARE(m_server.ajax("func=cfg_getSetting", jar).body, notLoggedIn);
    const QString second = m_server.login(QStringLiteral("writer"), QStringLiteral("w"));
    QCOMPARE(m_server.get(QStringLiteral("login.html?logout=0"), second).header("Location"), QByteArray("login.html"));
    QCOMPARE(m_server.ajax("func=cfg_getSetting", second).body, notLoggedIn);
}

void tst_MyHttpRequestHandler::failedLogin()
{
    QVERIFY(m_server.setLogin(true));
    const QString jar = m_server.path(QStringLiteral("failed"));
    const Reply reply = m_server.get(QStringLiteral("login.html"), jar,
                                     {QStringLiteral("--data"), QStringLiteral("username=writer&password=wrong")});
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
    QCOMPARE(reply.body, QByteArray("{\"success\":false}"));
    QCOMPARE(m_server.ajax("func=cfg_getSetting", jar).body, notLoggedIn);
}

void tst_MyHttpRequestHandler::permissionsBeyondSixteenBits_data()
{
    QTest::addColumn<int>("stored");
    QTest::addColumn<QByteArray>("login");
    QTest::addColumn<QByteArray>("write");
    QTest::newRow("65536 is 0") << 65536 << QByteArray("{\"success\":false}") << notLoggedIn;
    QTest::newRow("-65536 is 0") << -65536 << QByteArray("{\"success\":false}") << notLoggedIn;
    QTest::newRow("131073 is read-only") << 131073 << QByteArray("{\"success\":true}") << privilegeError;
}

void tst_MyHttpRequestHandler::permissionsBeyondSixteenBits()
{
    QFETCH(int, stored);
    QFETCH(QByteArray, login);
    QFETCH(QByteArray, write);
    const QString name = QStringLiteral("wide%1").arg(QTest::currentDataTag()).remove(QLatin1Char(' '));
    // Later tests expect the users of the start only.
    const auto removeUser = qScopeGuard([&name] {
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(QStringLiteral("DELETE FROM Users WHERE username = ?"));
        query.addBindValue(name);
        query.exec();
    });
    QVERIFY(m_server.addUser(name, stored, QStringLiteral("p")));
    QVERIFY(m_server.setLogin(true));
    const QString jar = m_server.path(name);
    const Reply reply = m_server.get(QStringLiteral("login.html"), jar,
                                     {QStringLiteral("--data-urlencode"), QStringLiteral("username=") + name,
                                      QStringLiteral("--data"), QStringLiteral("password=p")});
    QCOMPARE(reply.body, login);
    QCOMPARE(m_server.ajax("func=cfg_addNewUser&username=by" + name.toUtf8() + "&permissions=255", jar).body, write);
    const QString admin = m_server.login(QStringLiteral("Admin"), QString());
    QVERIFY(!m_server.ajax("func=cfg_getUsersCfg", admin).body.contains("by" + name.toUtf8()));
}

void tst_MyHttpRequestHandler::exportNeedsFullRights()
{
    QVERIFY(m_server.setLogin(true));
    for (const QString &user : {QStringLiteral("reader"), QStringLiteral("writer")}) {
        const QString jar = m_server.login(user, user.left(1));
        QVERIFY(!jar.isEmpty());
        for (const QString &page : {QStringLiteral("exportConfig.html"), QStringLiteral("exportConfig.html?withArchive=1")}) {
            const Reply reply = m_server.get(page, jar);
            QCOMPARE(reply.body, privilegeError);
            QVERIFY(!reply.hasHeader("Content-Disposition"));
        }
    }
}

void tst_MyHttpRequestHandler::saveFileNamesAndTypes()
{
    struct Case
    {
        QString query;
        QStringList extra;
        QByteArray disposition;
        QByteArray type; // of "Content-type"; null: none
    };
    const QList<Case> cases = {
        {QStringLiteral("filename=data.csv&fileContent=a;b"), {}, "attachment; filename=\"data.csv\"", "text/csv"},
        {QStringLiteral("filename=notes.txt&fileContent=hello"), {}, "attachment; filename=\"notes.txt\"", QByteArray()},
        {QStringLiteral("filename=notes.txt&fileContent=hello"),
         {QStringLiteral("-H"), QStringLiteral("Content-type: text/xml")}, "attachment; filename=\"notes.txt\"", "text/xml"},
        {QStringLiteral("filename=a%22b%5Cc.txt&fileContent=hello"), {}, "attachment; filename=\"a\\\"b\\\\c.txt\"", QByteArray()},
    };
    for (const Case &c : cases) {
        const Reply reply = m_server.get(QStringLiteral("saveFile.html?") + c.query, QString(), c.extra);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Disposition"), c.disposition);
        QCOMPARE(reply.header("Content-type"), c.type);
        QVERIFY(!reply.hasHeader("Content-Type"));
        QVERIFY(reply.body == "a;b" || reply.body == "hello");
    }
}

void tst_MyHttpRequestHandler::saveFileRefusesBadNames()
{
    for (const QString &query : {QStringLiteral("filename=a%0D%0ASet-Cookie:%20x=1&fileContent=x"),
                                 QStringLiteral("filename=a%0Ab&fileContent=x"), QStringLiteral("filename=a%00.csv&fileContent=x"),
                                 QStringLiteral("filename=a.txt"), QStringLiteral("fileContent=x")}) {
        const Reply reply = m_server.get(QStringLiteral("saveFile.html?") + query);
        QCOMPARE(reply.status, 400);
        QVERIFY(reply.body.isEmpty());
        QVERIFY(!reply.hasHeader("Content-Disposition"));
        QVERIFY(reply.cookies().isEmpty());
    }
}

void tst_MyHttpRequestHandler::saveFileTokenCookie()
{
    struct Case
    {
        QString token;
        QByteArray cookie; // expected Set-Cookie start, null for none
    };
    const QList<Case> cases = {
        {QStringLiteral("dl123"), "dl123=1"},
        {QStringLiteral("sessionid"), QByteArray()},
        {QStringLiteral("a%20b"), QByteArray()},
        {QStringLiteral("a%3Bb"), QByteArray()},
        {QStringLiteral("a%3Db"), QByteArray()},
        {QString(), QByteArray()},
    };
    for (const Case &c : cases) {
        const Reply reply = m_server.get(QStringLiteral("saveFile.html?filename=a.csv&fileContent=x&formToken=") + c.token);
        QCOMPARE(reply.status, 200);
        const QList<QByteArray> cookies = reply.cookies();
        if (c.cookie.isNull()) {
            QVERIFY2(cookies.isEmpty(), cookies.join(' '));
        } else {
            QCOMPARE(cookies.size(), 1);
            QVERIFY(cookies.first().startsWith(c.cookie));
        }
    }
}

void tst_MyHttpRequestHandler::exportScriptAndBackup()
{
    for (const QString &query : {QString(), QStringLiteral("?withArchive=0"), QStringLiteral("?withArchive=yes")}) {
        const Reply script = m_server.get(QStringLiteral("exportConfig.html") + query);
        QCOMPARE(script.status, 200);
        QCOMPARE(script.header("Content-Disposition"), QByteArray("attachment; filename=Dalvoren_cfg.sql"));
        QCOMPARE(script.header("Content-type"), QByteArray("application/octet-stream"));
        QVERIFY(script.body.startsWith("/* Dalvoran ver: "));
        QVERIFY(script.body.contains("INSERT INTO Users"));
    }
    const QString file = m_server.path(QStringLiteral("backup.sqlite"));
    const Reply backup = m_server.get(QStringLiteral("exportConfig.html?withArchive=1"));
    QCOMPARE(backup.status, 200);
    QVERIFY(writeFile(file, backup.body));
    QCOMPARE(backup.header("Content-Disposition"), QByteArray("attachment; filename=db_backup.sqlite"));
    QCOMPARE(backup.header("Content-type"), QByteArray("application/octet-stream"));
    int code = 0;
    QCOMPARE(TestEnv::runTool(QStringLiteral("sqlite3"), {file, QStringLiteral("SELECT username FROM Users ORDER BY 1;")}, {}, 20000, &code),
             QByteArray("Admin\nreader\nwriter\n"));
}

void tst_MyHttpRequestHandler::backupWhileTheArchiveGrows()
{
    // A writer inserting archive rows in committed batches while the backup is taken, as the
    // archive writer does while polling runs.
    auto insertBatch = [](int from) {
        Database scope;
        QSqlQuery query(scope.handle());
        scope.handle().transaction();
        for (int i = from; i < from + 50; ++i)
            query.exec(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES (NULL, %1, 0, "
                                      "'2026-01-01 00:00:00')").arg(i));
        return scope.handle().commit();
    };
    for (int i = 0; i < 20000; i += 50)
        QVERIFY(insertBatch(i));
    std::atomic<bool> stop{false};
    std::atomic<int> batches{0};
    std::thread writer([&]() {
        for (int i = 20000; !stop; i += 50) {
            insertBatch(i);
            ++batches;
        }
        Database::closeThisThread();
    });
    QTRY_VERIFY(batches > 2);
    const QString file = m_server.path(QStringLiteral("growing.sqlite"));
    const Reply backup = m_server.get(QStringLiteral("exportConfig.html?withArchive=1"));
    stop = true;
    writer.join();
    QCOMPARE(backup.status, 200);
    QVERIFY(writeFile(file, backup.body));
    int code = 0;
    QCOMPARE(TestEnv::runTool(QStringLiteral("sqlite3"), {file, QStringLiteral("PRAGMA integrity_check;")}, {}, 20000, &code),
             QByteArray("ok\n"));
    const int rows = TestEnv::runTool(QStringLiteral("sqlite3"), {file, QStringLiteral("SELECT count(*) FROM ArchiveData WHERE value < 20150;")},
                                      {}, 20000, &code)
                         .trimmed()
                         .toInt();
    QCOMPARE(rows, 20150);
    QCOMPARE(m_server.ajax("func=deleteArchivedData").body, QByteArray("{\"success\":true}"));
}

void tst_MyHttpRequestHandler::importRoundTrip()
{
    const QString script = m_server.path(QStringLiteral("cfg.sql"));
    QVERIFY(download(m_server, QStringLiteral("exportConfig.html"), script));
    const QString backup = m_server.path(QStringLiteral("round.sqlite"));
    QVERIFY(download(m_server, QStringLiteral("exportConfig.html?withArchive=1"), backup));
    QVERIFY(m_server.addUser(QStringLiteral("extra"), 2, QStringLiteral("e")));
    auto users = [&]() { return m_server.ajax("func=cfg_getUsersCfg").body; };
    QVERIFY(users().contains("extra"));

    const Reply fromScript = m_server.get(QStringLiteral("importConfig.html"), QString(),
                                          {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + script + QStringLiteral(";filename=Dalvoren_cfg.sql")});
    QCOMPARE(fromScript.status, 200);
    QCOMPARE(fromScript.body, QByteArray("{\"success\":true}"));
    QVERIFY(!users().contains("extra"));
    QVERIFY(users().contains("writer"));

    QVERIFY(m_server.addUser(QStringLiteral("extra"), 2, QStringLiteral("e")));
    const Reply fromFile = m_server.get(QStringLiteral("importConfig.html"), QString(),
                                        {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + backup + QStringLiteral(";filename=db_backup.sqlite")});
    QCOMPARE(fromFile.body, QByteArray("{\"success\":true}"));
    QVERIFY(!users().contains("extra"));

    const Reply other = m_server.get(QStringLiteral("importConfig.html"), QString(),
                                     {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + script + QStringLiteral(";filename=cfg.txt")});
    QCOMPARE(other.body, QByteArray("{\"error\":true,\"message\":\"Invalid file\"}"));
    const Reply none = m_server.get(QStringLiteral("importConfig.html"), QString(), {QStringLiteral("-F"), QStringLiteral("x=1")});
    QCOMPARE(none.body, QByteArray("{\"error\":true,\"message\":\"Invalid file\"}"));

    // A reader imports nothing.
    QVERIFY(m_server.setLogin(true));
    const QString reader = m_server.login(QStringLiteral("reader"), QStringLiteral("r"));
    const Reply refused = m_server.get(QStringLiteral("importConfig.html"), reader,
                                       {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + script + QStringLiteral(";filename=Dalvoren_cfg.sql")});
    QCOMPARE(refused.body, privilegeError);
}

void tst_MyHttpRequestHandler::importWaitsForTheDatabaseLock()
{
    const QString script = m_server.path(QStringLiteral("locked.sql"));
    QVERIFY(download(m_server, QStringLiteral("exportConfig.html"), script));
    QVERIFY(m_server.addUser(QStringLiteral("kept"), 2, QStringLiteral("k")));
    m_server.handler->databaseLock().lock();
    const Reply locked = m_server.get(QStringLiteral("importConfig.html"), QString(),
                                      {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + script + QStringLiteral(";filename=Dalvoren_cfg.sql")});
    const Reply exportLocked = m_server.get(QStringLiteral("exportConfig.html"));
    m_server.handler->databaseLock().unlock();
    QCOMPARE(locked.body, QByteArray("{\"error\":true,\"message\":\"Database mutex locked\"}"));
    QCOMPARE(exportLocked.status, 500);
    QVERIFY(exportLocked.body.isEmpty());
    QVERIFY(m_server.ajax("func=cfg_getUsersCfg").body.contains("kept"));
}

void tst_MyHttpRequestHandler::importRefusedWhilePolling()
{
    const QString script = m_server.path(QStringLiteral("polling.sql"));
    QVERIFY(download(m_server, QStringLiteral("exportConfig.html"), script));
    QVERIFY(m_server.addUser(QStringLiteral("stays"), 2, QStringLiteral("s")));
    QCOMPARE(m_server.ajax("func=startPolling").body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(m_server.ajax("func=getAppState").body, QByteArray("{\"state\":\"running\"}"), 10000);
    const Reply refused = m_server.get(QStringLiteral("importConfig.html"), QString(),
                                       {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + script + QStringLiteral(";filename=Dalvoren_cfg.sql")});
    QCOMPARE(m_server.ajax("func=stopPolling").body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(m_server.ajax("func=getAppState").body, QByteArray("{\"state\":\"idle\"}"), 10000);
    QCOMPARE(refused.body, QByteArray("{\"error\":true,\"message\":\"App is in visual mode\"}"));
    QVERIFY(m_server.ajax("func=cfg_getUsersCfg").body.contains("stays"));
}

void tst_MyHttpRequestHandler::downloadCsvOnce()
{
    const Reply none = m_server.get(QStringLiteral("downloadCSV.html"));
    QCOMPARE(none.status, 500);
    QVERIFY(none.body.isEmpty());
    {
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec(QStringLiteral("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, "
                                          "isActive) VALUES (7, 'csv', 1, 'tcp', 1, 0)")));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) "
                                          "VALUES (7, 7, 0, 'V', 1)")));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES "
                                          "(7, 12.5, 0, '2026-03-01 10:00:00'), (7, 13.5, 0, '2026-03-01 10:01:00')")));
    }
    QCOMPARE(m_server.ajax("func=generateCSVFile&paramListStr=%5B7%5D&colNamesStr=t;v&startDate=2026-01-01&startTime=00:00:00"
                           "&endDate=2026-12-31&endTime=23:59:59")
                 .body,
             QByteArray("{\"success\":true}"));
    const Reply csv = m_server.get(QStringLiteral("downloadCSV.html"));
    QCOMPARE(csv.status, 200);
    QCOMPARE(csv.header("Content-Disposition"), QByteArray("attachment; filename=data.csv"));
    QCOMPARE(csv.header("Content-type"), QByteArray("application/octet-stream"));
    QVERIFY2(csv.body.contains("12.5") && csv.body.contains("13.5"), csv.body);
    // Sent once: the file is released with its download.
    QCOMPARE(m_server.get(QStringLiteral("downloadCSV.html")).status, 500);
    QCOMPARE(m_server.ajax("func=deleteArchivedData").body, QByteArray("{\"success\":true}"));
}

// A download that outlasts the busy window while another user generates a new file releases its
// own file only: the newer one stays for its own download.
void tst_MyHttpRequestHandler::downloadReleasesOnlyItsOwnFile()
{
    static std::atomic<qint64> shift{0};
    ArchiveManager *archive = m_server.handler->findChild<ArchiveManager *>();
    QVERIFY(archive);
    archive->setClock([] {
        using namespace std::chrono;
        return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count() + shift.load();
    });
    // Far more than the socket buffers hold, so that the server stays inside the first download.
    const int rows = 250000;
    {
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec(QStringLiteral("INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, "
                                          "isActive) VALUES (8, 'csv2', 1, 'tcp', 1, 0)")));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) "
                                          "VALUES (8, 8, 0, 'V', 1), (9, 8, 1, 'V', 1)")));
        QVERIFY(query.exec(QStringLiteral("WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM n WHERE i < %1) "
                                          "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                                          "SELECT 8, 12.5, 0, datetime('2026-03-01 00:00:00', '+' || i || ' seconds') FROM n")
                               .arg(rows - 1)));
        QVERIFY(query.exec(QStringLiteral("INSERT INTO ArchiveData (idParameter, value, flag, dateTime) VALUES "
                                          "(9, 7.25, 0, '2026-04-01 00:00:00')")));
    }
    QCOMPARE(m_server.ajax("func=generateCSVFile&paramListStr=%5B8%5D&colNamesStr=first").body,
             QByteArray("{\"success\":true}"));

    const QString firstBody = m_server.path(QStringLiteral("first.csv"));
    PeerProcess stalled;
    QVERIFY(stalled.startPython(TestEnv::testFile(QStringLiteral("shell/peers/stalled_download.py")),
                                {QStringLiteral("127.0.0.1"), QString::number(QUrl(m_server.base).port()),
                                 QStringLiteral("downloadCSV.html"), firstBody}));
    QCOMPARE(stalled.readyWords().value(1), QStringLiteral("200"));
    shift += 120000;
    QCOMPARE(m_server.ajax("func=generateCSVFile&paramListStr=%5B9%5D&colNamesStr=second").body,
             QByteArray("{\"success\":true}"));
    stalled.send("go");
    QTRY_VERIFY_WITH_TIMEOUT(stalled.output().contains("DONE"), 30000);
    // "first" CR LF, then a line of 26 bytes per time stamp.
    QCOMPARE(QFileInfo(firstBody).size(), qint64(7 + 26 * rows));

    const Reply second = m_server.get(QStringLiteral("downloadCSV.html"));
    QCOMPARE(second.status, 200);
    QCOMPARE(second.body, QByteArray("second\r\n2026-04-01 00:00:00,7.25\r\n"));
    QCOMPARE(m_server.get(QStringLiteral("downloadCSV.html")).status, 500);
    QCOMPARE(m_server.ajax("func=deleteArchivedData").body, QByteArray("{\"success\":true}"));
}

void tst_MyHttpRequestHandler::saveFileAsPdf()
{
    const Reply reply = m_server.get(QStringLiteral("saveFile.html"), QString(),
                                     {QStringLiteral("--data-urlencode"), QStringLiteral("filename=report.pdf"),
                                      QStringLiteral("--data-urlencode"), QStringLiteral("fileContent=<html><body><p>Report 42</p></body></html>")});
    QCOMPARE(reply.status, 200);
    QCOMPARE(reply.header("Content-type"), QByteArray("application/pdf"));
    QCOMPARE(reply.header("Content-Disposition"), QByteArray("attachment; filename=\"report.pdf\""));
    QVERIFY(reply.body.startsWith("%PDF-"));
    const QString file = m_server.path(QStringLiteral("report.pdf"));
    QVERIFY(writeFile(file, reply.body));
    int code = 0;
    QVERIFY(TestEnv::runTool(QStringLiteral("pdftotext"), {file, QStringLiteral("-")}, {}, 20000, &code).contains("Report 42"));
}

void tst_MyHttpRequestHandler::runawayPdfPageAnswers500()
{
    const int limit = 3000;
    PdfConverter::setTimeLimitMs(limit);
    const QString page = m_server.path(QStringLiteral("deep.html"));
    QVERIFY(writeFile(page, ConverterProcesses::nestedTables()));
    const qint64 self = QCoreApplication::applicationPid();
    Reply reply;
    QElapsedTimer clock;
    const QSet<qint64> running = ConverterProcesses::runningDuring(self, [&] {
        clock.start();
        reply = m_server.get(QStringLiteral("saveFile.html"), QString(),
                             {QStringLiteral("--max-time"), QString::number(limit / 1000 + 20), QStringLiteral("--data-urlencode"),
                              QStringLiteral("filename=deep.pdf"), QStringLiteral("--data-urlencode"),
                              QStringLiteral("fileContent@") + page});
    });
    const qint64 took = clock.elapsed();
    PdfConverter::setTimeLimitMs(PdfConverter::DefaultTimeLimitMs);
    const QString stop = ConverterProcesses::notStopped(reply.status, reply.body, took, limit + 10000, running);
    QVERIFY2(stop.isEmpty(), qPrintable(stop));
    QVERIFY(!ConverterProcesses::anyRunning(self));
    saveFileAsPdf();
}

void tst_MyHttpRequestHandler::programStopsARunawayPdfPage()
{
    // The program itself, with its own converter processes and the bound it ships with.
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start());
    const qint64 program = app.process().processId();
    const QString page = app.path(QStringLiteral("deep.html"));
    QVERIFY(writeFile(page, ConverterProcesses::nestedTables()));
    const QStringList form{QStringLiteral("--max-time"), QString::number(PdfConverter::DefaultTimeLimitMs / 1000 + 20),
                           QStringLiteral("--data-urlencode"), QStringLiteral("filename=deep.pdf"),
                           QStringLiteral("--data-urlencode")};
    Reply reply;
    QElapsedTimer clock;
    const QSet<qint64> running = ConverterProcesses::runningDuring(program, [&] {
        clock.start();
        reply = curl(app.url(QStringLiteral("saveFile.html")), form + QStringList{QStringLiteral("fileContent@") + page});
    });
    const qint64 took = clock.elapsed();
    const QString stop =
        ConverterProcesses::notStopped(reply.status, reply.body, took, PdfConverter::DefaultTimeLimitMs + 10000, running);
    QVERIFY2(stop.isEmpty(), qPrintable(stop));
    // No thread of the program goes on with the page either.
    QTRY_VERIFY_WITH_TIMEOUT(!ConverterProcesses::threadsRunning(program), 10000);

    const Reply report = curl(app.url(QStringLiteral("saveFile.html")),
                              form + QStringList{QStringLiteral("fileContent=<html><body><p>Report 42</p></body></html>")});
    QCOMPARE(report.status, 200);
    QCOMPARE(report.header("Content-type"), QByteArray("application/pdf"));
    const QString file = app.path(QStringLiteral("report.pdf"));
    QVERIFY(writeFile(file, report.body));
    int code = 0;
    QVERIFY(TestEnv::runTool(QStringLiteral("pdftotext"), {file, QStringLiteral("-")}, {}, 20000, &code).contains("Report 42"));
    const QList<ConverterProcesses::Process> kept = ConverterProcesses::of(program);
    QCOMPARE(kept.size(), 1);
    if (WorkerProcess::memoryLimitApplies())
        QCOMPARE(ConverterProcesses::addressSpaceLimit(kept.first().pid), QByteArray::number(PdfConverter::MemoryLimitBytes));
    QCOMPARE(app.stop(), 0);
    // The converter ends with the program.
    QTRY_VERIFY_WITH_TIMEOUT(!ConverterProcesses::exists(kept.first().pid), 10000);
}

// The sockets of this machine to a port in a TCP state ("08": the peer closed its side, this one
// never did), from the kernel's table.
static QStringList socketsTo(quint16 port, const QByteArray &state)
{
    QStringList found;
    const QList<QByteArray> lines = readAll(QStringLiteral("/proc/net/tcp")).split('\n');
    for (const QByteArray &line : lines) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 4 || fields.at(3) != state)
            continue;
        if (fields.at(2).split(':').value(1).toUInt(nullptr, 16) == port)
            found << QString::fromLatin1(line.simplified());
    }
    return found;
}

// A converter started while polling holds a connection to an MQTT broker: it must not keep the
// program's socket once polling has stopped (half-closed for as long as the converter lives).
void tst_MyHttpRequestHandler::convertersKeepNoBrokerConnection()
{
    QTemporaryDir dir;
    MqttBroker broker;
    QVERIFY(broker.start(dir.path()));
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    app.sql(
        QStringLiteral("INSERT INTO MQTTConnections (idMQTTConnections, name, ip, port, clientid) "
                       "VALUES (1, 'broker', '127.0.0.1', %1, 'dalvoran-test');"
                       "INSERT INTO Devices (idDevices, name, connectionType, idOfConnection, isActive, MqttTopic, "
                       "MqttFormat, MqttMapping) VALUES (1, 'meter', 'mqtt', 1, 1, 'meters/1', 'JSON', '{\"v\":0}');"
                       "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) "
                       "VALUES (10, 1, 0, 'V', 0);")
            .arg(broker.port()));
    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=startPolling"))).body, QByteArray("{\"success\":true}"));
    QVERIFY(broker.waitSubscribed(QStringLiteral("dalvoran-test"), 1, 20000));

    const Reply report = curl(app.url(QStringLiteral("saveFile.html")),
                              {QStringLiteral("--data-urlencode"), QStringLiteral("filename=report.pdf"),
                               QStringLiteral("--data-urlencode"),
                               QStringLiteral("fileContent=<html><body><p>Report 42</p></body></html>")});
    QCOMPARE(report.status, 200);
    const qint64 program = app.process().processId();
    QCOMPARE(ConverterProcesses::of(program).size(), 1);

    QCOMPARE(curl(app.url(QStringLiteral("ajax.html?func=stopPolling"))).body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(curl(app.url(QStringLiteral("ajax.html?func=getAppState"))).body,
                              QByteArray("{\"state\":\"idle\"}"), 20000);
    // Nothing is left of the connection on this side, open or half-closed.
    QTRY_VERIFY2_WITH_TIMEOUT(socketsTo(broker.port(), "01").isEmpty() && socketsTo(broker.port(), "08").isEmpty(),
                              qPrintable(socketsTo(broker.port(), "08").join('\n')), 10000);
    QCOMPARE(ConverterProcesses::of(program).size(), 1);
    QCOMPARE(app.stop(), 0);
}

void tst_MyHttpRequestHandler::foreignPagesChangeNothing_data()
{
    QTest::addColumn<QStringList>("headers");
    const QString other = QStringLiteral("http://127.0.0.1:1/");
    QTest::newRow("fetch metadata") << QStringList{QStringLiteral("Sec-Fetch-Site: cross-site")};
    QTest::newRow("same site, other port") << QStringList{QStringLiteral("Sec-Fetch-Site: same-site")};
    QTest::newRow("referer of another port") << QStringList{QStringLiteral("Referer: ") + other + QStringLiteral("page.html")};
    QTest::newRow("referer of another host") << QStringList{QStringLiteral("Referer: http://127.0.0.2/page.html")};
    QTest::newRow("origin of another port") << QStringList{QStringLiteral("Origin: http://127.0.0.1:1")};
    QTest::newRow("null origin") << QStringList{QStringLiteral("Origin: null")};
    QTest::newRow("rebound name") << QStringList{QStringLiteral("Host: attacker.example")};
}

void tst_MyHttpRequestHandler::foreignPagesChangeNothing()
{
    QFETCH(QStringList, headers);
    QStringList extra;
    for (const QString &header : headers)
        extra << QStringLiteral("-H") << header;
    const QString survivor = QStringLiteral("survivor-") + QString::fromLatin1(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-'));
    QVERIFY(m_server.addUser(survivor, 2, QStringLiteral("s")));
    for (const QString &page : {QStringLiteral("ajax.html?func=cfg_clearDatabase"), QStringLiteral("exportConfig.html"),
                                QStringLiteral("login.html?username=Admin&password=")}) {
        const Reply reply = m_server.get(page, QString(), extra);
        QCOMPARE(reply.status, 403);
        QCOMPARE(reply.body, QByteArray("403 forbidden"));
    }
    QVERIFY(m_server.ajax("func=cfg_getUsersCfg").body.contains(survivor.toUtf8()));
    // The page's own origin passes.
    const Reply own = m_server.get(QStringLiteral("ajax.html?func=cfg_getUsersCfg"), QString(),
                                   {QStringLiteral("-H"), QStringLiteral("Origin: ") + m_server.base.chopped(1),
                                    QStringLiteral("-H"), QStringLiteral("Sec-Fetch-Site: same-origin")});
    QVERIFY(own.body.contains(survivor.toUtf8()));
}

void tst_MyHttpRequestHandler::loadFileEchoes()
{
    const QString file = m_server.path(QStringLiteral("echo.txt"));
    QVERIFY(writeFile(file, QByteArray("line one\nline two\n\0binary", 25)));
    const Reply echo = m_server.get(QStringLiteral("loadFile.html"), QString(), {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + file});
    QCOMPARE(echo.status, 200);
    QCOMPARE(echo.header("Content-type"), QByteArray("text/plain"));
    QCOMPARE(echo.body, QByteArray("line one\nline two\n\0binary", 25));
    const Reply none = m_server.get(QStringLiteral("loadFile.html"), QString(), {QStringLiteral("-F"), QStringLiteral("x=1")});
    QCOMPARE(none.status, 400);
    QVERIFY(none.body.isEmpty());
    QVERIFY(m_server.setLogin(true));
    const QString writer = m_server.login(QStringLiteral("writer"), QStringLiteral("w"));
    QCOMPARE(m_server.get(QStringLiteral("loadFile.html"), writer, {QStringLiteral("-F"), QStringLiteral("uploadedfile=@") + file}).body,
             privilegeError);
}

// Headless Chromium against the real program: what a browser sends of its own accord (fetch
// metadata, origins, cookies) is what the gate and the login see.
void tst_MyHttpRequestHandler::browserLogsInAndForeignPagesFail()
{
    Installation app;
    QVERIFY(app.install());
    QVERIFY(app.start({QStringLiteral("-r")}));
    const QString ajax = app.url(QStringLiteral("ajax.html"));
    QCOMPARE(curl(ajax + QStringLiteral("?func=cfg_addNewUser&username=survivor&permissions=2")).body, QByteArray("{\"success\":true}"));

    auto chromium = [&](const QString &url, const QStringList &more = {}) {
        QTemporaryDir profile;
        QProcess browser;
        browser.setProcessChannelMode(QProcess::SeparateChannels);
        browser.start(QStringLiteral("chromium"),
                      QStringList{QStringLiteral("--headless"), QStringLiteral("--no-sandbox"), QStringLiteral("--disable-gpu"),
                                  QStringLiteral("--no-first-run"), QStringLiteral("--user-data-dir=") + profile.path(),
                                  QStringLiteral("--virtual-time-budget=30000"), QStringLiteral("--dump-dom")} +
                          more + QStringList{url});
        if (!browser.waitForFinished(90000)) {
            browser.kill();
            browser.waitForFinished(5000);
        }
        return browser.readAllStandardOutput();
    };
    auto usersKept = [&]() { return curl(ajax + QStringLiteral("?func=cfg_getUsersCfg")).body.contains("survivor"); };

    // Pages of another port and of another loopback host that embed the call as an image.
    const QByteArray attack = "<html><body><img src=\"" + ajax.toUtf8() + "?func=cfg_clearDatabase\"><p>page</p></body></html>";
    QTemporaryDir foreign;
    QVERIFY(writeFile(foreign.filePath(QStringLiteral("attack.html")), attack));
    for (const QString &host : {QStringLiteral("127.0.0.1"), QStringLiteral("127.0.0.2")}) {
        const QString port = QString::number(TestEnv::freeTcpPort());
        PeerProcess pages;
        QVERIFY(pages.start(TestEnv::python(),
                            {QStringLiteral("-u"), QStringLiteral("-m"), QStringLiteral("http.server"), QStringLiteral("--bind"), host,
                             QStringLiteral("--directory"), foreign.path(), port},
                            20000, "Serving HTTP"));
        const QByteArray dom = chromium(QStringLiteral("http://%1:%2/attack.html").arg(host, port));
        QVERIFY2(dom.contains("<p>page</p>"), dom);
        QTRY_VERIFY_WITH_TIMEOUT(pages.output().contains("GET /attack.html"), 10000);
        QVERIFY2(usersKept(), qPrintable(host));
    }

    // A name of the attacker's that resolves to loopback (DNS rebinding): the page's own calls
    // are same-origin for the browser, but the name is not the program's.
    QVERIFY(writeFile(app.path(QStringLiteral("www/rebind.html")),
                      "<html><body><p id=r>none</p><script>fetch('ajax.html?func=cfg_clearDatabase').then(r => r.text())"
                      ".then(t => { document.getElementById('r').textContent = 'answer:' + t; });</script></body></html>"));
    const QByteArray rebound = chromium(QStringLiteral("http://rebind.test:%1/rebind.html").arg(app.port()),
                                        {QStringLiteral("--host-resolver-rules=MAP rebind.test 127.0.0.1")});
    QVERIFY2(!rebound.contains("answer:{"), rebound);
    QVERIFY(usersKept());

    // The program's own page logs in with fetch, starts polling a device and reads its values.
    PeerProcess device;
    QVERIFY(device.startPython(TestEnv::testFile(QStringLiteral("peers/modbus_server.py")),
                               {QStringLiteral("--table"), QStringLiteral("{\"1\": {\"hr\": {\"0\": [4321]}}}")}));
    app.sql(QStringLiteral(
                "INSERT INTO TCPConnections (idTCPConnections, name, ip, portTCP, timeout) VALUES (1, 'tcp1', '127.0.0.1', %1, 1000);"
                "INSERT INTO Devices (idDevices, name, ModbusId, connectionType, idOfConnection, isActive) VALUES (1, 'dev1', 1, 'tcp', 1, 1);"
                "INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice, ModbusReadFunction) VALUES (0, 1, 0, 16, 16, 1, 3);"
                "INSERT INTO ConfiguredParameters (idParameters, idDevice, regAddr, unit, archInterval) VALUES (10, 1, 0, 'V', 0);")
                .arg(device.readyWords().value(0)));
    QCOMPARE(curl(ajax + QStringLiteral("?func=cfg_saveSetting&modbusPollInterval=5000&modbusIterDelay=10&sessionEnabled=1&defaultAppState=0")).body,
             QByteArray("{\"success\":true}"));
    // The page logs in as soon as it runs, where a user would type first: the browser's own request
    // for an icon, sent meanwhile with the session's first id, could come back after the login and
    // put that id back in place of the new one. The page names an icon of its own.
    QVERIFY(writeFile(app.path(QStringLiteral("www/login.html")),
                      "<html><head><link rel=icon href='data:,'></head><body><p id=r>none</p><script>\n"
                      "async function run() {\n"
                      "  const before = await (await fetch('ajax.html?func=cfg_getSetting')).text();\n"
                      "  const login = await (await fetch('login.html', {method: 'POST', headers: {'Content-Type': "
                      "'application/x-www-form-urlencoded'}, body: 'username=Admin&password='})).text();\n"
                      "  const after = await (await fetch('ajax.html?func=cfg_getUsersCfg')).text();\n"
                      "  const started = await (await fetch('ajax.html?func=startPolling')).text();\n"
                      "  let values = '';\n"
                      "  for (let i = 0; i < 100 && !values.includes('4321'); ++i) {\n"
                      "    await new Promise(done => setTimeout(done, 200));\n"
                      "    values = await (await fetch('ajax.html?func=getAllValues')).text();\n"
                      "  }\n"
                      "  document.getElementById('r').textContent = before + '|' + login + '|' + after + '|' + started + '|' + values;\n"
                      "}\nrun();\n</script></body></html>"));
    const QByteArray own = chromium(app.url(QStringLiteral("login.html")));
    // The program's own account of the sessions goes with a failure.
    QByteArray sessions;
    for (const QByteArray &line : app.output().split('\n'))
        if (line.contains("Session") || line.contains("login"))
            sessions += line + '\n';
    QVERIFY2(own.contains("{\"error\":true,\"message\":\"User not logged in\"}|{\"success\":true}|[{\"idUsers\":\"1\""),
             sessions.right(3000) + "\n" + own.left(600));
    QVERIFY(own.contains("survivor"));
    QVERIFY2(own.contains("|{\"success\":true}|") && own.contains("4321"), own);
    QCOMPARE(app.stop(), 0);
}

// The handler served in-process converts in converter processes of this test program.
CONVERTER_TEST_MAIN(tst_MyHttpRequestHandler)
#include "tst_MyHttpRequestHandler.moc"
