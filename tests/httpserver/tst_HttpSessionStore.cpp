#include "HttpRequest.h"
#include "HttpResponse.h"
#include "HttpSession.h"
#include "HttpSessionStore.h"

#include <QBuffer>
#include <QDateTime>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

QStringList g_messages;
QtMessageHandler g_previousHandler = nullptr;

void recordMessage(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    g_messages << text;
    if (g_previousHandler)
        g_previousHandler(type, context, text);
}

std::unique_ptr<HttpRequest> requestWithCookie(const QByteArray &cookieHeader = QByteArray())
{
    auto request = std::make_unique<HttpRequest>(16000, 1000000);
    QByteArray bytes = "GET /ajax.html HTTP/1.1\r\n";
    if (!cookieHeader.isEmpty())
        bytes += "Cookie: " + cookieHeader + "\r\n";
    QBuffer buffer;
    buffer.setData(bytes + "\r\n");
    buffer.open(QIODevice::ReadOnly);
    request->readFromSocket(&buffer);
    return request;
}

QByteArray setCookieText(HttpResponse &response, const QByteArray &name = "sessionid")
{
    const auto cookies = response.getCookies();
    return cookies.contains(name) ? cookies.value(name).toByteArray() : QByteArray();
}

} // namespace

class tst_HttpSessionStore : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void nullSession();
    void sharedRecord();
    void recordFreedWithLastHandle();
    void newSessionCookie_data();
    void newSessionCookie();
    void knownCookieFindsItsSession();
    void unknownCookieGetsANewSession();
    void secondCallInOneRequestFindsTheSameSession();
    void noCreateGivesNullAndNoCookie();
    void expiry();
    void removeSession();
    void clientsThatNeverReturnTheCookieStayBounded();
    void renewSessionChangesTheId();
    void manyThreadsAtOnce();

private:
    std::unique_ptr<QSettings> settingsWith(const QVariantMap &values);
    QTemporaryDir m_dir;
};

void tst_HttpSessionStore::initTestCase()
{
    QVERIFY(m_dir.isValid());
    g_previousHandler = qInstallMessageHandler(recordMessage);
}

void tst_HttpSessionStore::init() { g_messages.clear(); }

std::unique_ptr<QSettings> tst_HttpSessionStore::settingsWith(const QVariantMap &values)
{
    static int count = 0;
    auto settings = std::make_unique<QSettings>(m_dir.filePath(QString("config%1.ini").arg(++count)),
                                                QSettings::IniFormat);
    settings->beginGroup("sessions");
    for (auto it = values.constBegin(); it != values.constEnd(); ++it)
        settings->setValue(it.key(), it.value());
    return settings;
}

void tst_HttpSessionStore::nullSession()
{
    HttpSession session;
    QVERIFY(session.isNull());
    QCOMPARE(session.getId(), QByteArray());
    QVERIFY(!session.contains("username"));
    session.set("username", "bob");
    QVERIFY(!session.contains("username"));
    QCOMPARE(session.getLastAccess(), 0);
    session.setLastAccess();
    QCOMPARE(session.getLastAccess(), 0);
    QVERIFY(session.copyUnderNewId().isNull());
}

void tst_HttpSessionStore::sharedRecord()
{
    HttpSession first(true);
    QVERIFY(!first.isNull());
    QVERIFY(QRegularExpression("^\\{[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\}$")
                .match(QString::fromLatin1(first.getId()))
                .hasMatch());
    QVERIFY(!first.get("priv").isValid());
    QCOMPARE(first.get("priv").toInt(), 0);
    HttpSession second(first);
    second.set("priv", 255);
    QCOMPARE(first.get("priv").toInt(), 255);
    QVERIFY(first.contains("priv"));
    QCOMPARE(second.getId(), first.getId());
    QVERIFY(HttpSession(true).getId() != first.getId());
}

void tst_HttpSessionStore::recordFreedWithLastHandle()
{
    const QString freed = "HttpSession: deleting data";
    {
        HttpSession first(true);
        {
            HttpSession second = first;
        }
        QVERIFY(!g_messages.contains(freed));
        HttpSession other(true);
        other = first; // the record other held goes
        QCOMPARE(g_messages.count(freed), 1);
        other = other;
        QCOMPARE(g_messages.count(freed), 1);
    }
    QCOMPARE(g_messages.count(freed), 2);
}

void tst_HttpSessionStore::newSessionCookie_data()
{
    QTest::addColumn<QVariantMap>("settings");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("defaults") << QVariantMap()
                              << "^sessionid=\\{[0-9a-f-]{36}\\}; Max-Age=3600; Version=1$";
    QTest::newRow("configured attributes")
        << QVariantMap{{"cookieName", "sid"},
                       {"cookiePath", "/"},
                       {"cookieComment", "c"},
                       {"cookieDomain", "localhost"},
                       {"expirationTime", 120000}}
        << "^sid=\\{[0-9a-f-]{36}\\}; Comment=c; Domain=localhost; Max-Age=120; Path=/; Version=1$";
    QTest::newRow("expiry below a second writes no Max-Age")
        << QVariantMap{{"expirationTime", 999}} << "^sessionid=\\{[0-9a-f-]{36}\\}; Version=1$";
}

void tst_HttpSessionStore::newSessionCookie()
{
    QFETCH(QVariantMap, settings);
    QFETCH(QString, pattern);
    auto config = settingsWith(settings);
    HttpSessionStore store(config.get());
    auto request = requestWithCookie();
    HttpResponse response(nullptr);
    const HttpSession session = store.getSession(*request, response, true);
    QVERIFY(!session.isNull());
    const QByteArray name = settings.value("cookieName", "sessionid").toByteArray();
    const QByteArray text = setCookieText(response, name);
    QVERIFY2(QRegularExpression(pattern).match(QString::fromLatin1(text)).hasMatch(), text);
    QVERIFY(text.contains(session.getId()));
    QCOMPARE(response.getCookies().size(), 1);
}

void tst_HttpSessionStore::knownCookieFindsItsSession()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    QByteArray id;
    {
        auto request = requestWithCookie();
        HttpResponse response(nullptr);
        HttpSession session = store.getSession(*request, response, true);
        session.set("username", "bob");
        id = session.getId();
    }
    auto request = requestWithCookie("sessionid=" + id + "; user=bob");
    HttpResponse response(nullptr);
    QCOMPARE(store.getSessionId(*request, response), id);
    const HttpSession found = store.getSession(*request, response, false);
    QCOMPARE(found.getId(), id);
    QCOMPARE(found.get("username").toString(), QString("bob"));
    // The cookie goes out again with a fresh Max-Age.
    QCOMPARE(setCookieText(response), "sessionid=" + id + "; Max-Age=3600; Version=1");
}

void tst_HttpSessionStore::unknownCookieGetsANewSession()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    const QByteArray stale = "{00000000-0000-0000-0000-000000000000}";
    auto request = requestWithCookie("sessionid=" + stale);
    HttpResponse response(nullptr);
    const HttpSession session = store.getSession(*request, response, true);
    QVERIFY(g_messages.contains("HttpSessionStore: received invalid session cookie with ID " + stale));
    QVERIFY(!session.isNull());
    QVERIFY(session.getId() != stale);
    QVERIFY(setCookieText(response).startsWith("sessionid=" + session.getId() + ";"));
}

void tst_HttpSessionStore::secondCallInOneRequestFindsTheSameSession()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    auto request = requestWithCookie();
    HttpResponse response(nullptr);
    const HttpSession first = store.getSession(*request, response, true);
    const HttpSession second = store.getSession(*request, response, true);
    QCOMPARE(second.getId(), first.getId());
    QCOMPARE(store.sessionCount(), 1);
}

void tst_HttpSessionStore::noCreateGivesNullAndNoCookie()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    auto request = requestWithCookie("sessionid={unknown}");
    HttpResponse response(nullptr);
    QVERIFY(store.getSession(*request, response, false).isNull());
    QVERIFY(response.getCookies().isEmpty());
    QCOMPARE(store.sessionCount(), 0);
}

void tst_HttpSessionStore::expiry()
{
    auto config = settingsWith({{"expirationTime", 200}});
    HttpSessionStore store(config.get());
    HttpResponse response(nullptr);
    auto fresh = requestWithCookie();
    const HttpSession idle = store.getSession(*fresh, response, true);
    HttpResponse otherResponse(nullptr);
    auto other = requestWithCookie();
    HttpSession used = store.getSession(*other, otherResponse, true);
    QCOMPARE(store.sessionCount(), 2);
    store.timerEvent();
    QCOMPARE(store.sessionCount(), 2);
    QTRY_VERIFY(QDateTime::currentMSecsSinceEpoch() - idle.getLastAccess() > 200);
    used.setLastAccess();
    store.timerEvent();
    QCOMPARE(store.sessionCount(), 1);
    QVERIFY(g_messages.contains("HttpSessionStore: session " + idle.getId() + " expired"));
    auto back = requestWithCookie("sessionid=" + used.getId());
    HttpResponse backResponse(nullptr);
    QCOMPARE(store.getSession(*back, backResponse, false).getId(), used.getId());
}

void tst_HttpSessionStore::removeSession()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    auto request = requestWithCookie();
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response, true);
    session.set("username", "bob");
    store.removeSession(session);
    QCOMPARE(store.sessionCount(), 0);
    // Handles that a request still holds keep the record.
    QCOMPARE(session.get("username").toString(), QString("bob"));
    auto again = requestWithCookie("sessionid=" + session.getId());
    HttpResponse againResponse(nullptr);
    QVERIFY(store.getSession(*again, againResponse, false).isNull());
}

void tst_HttpSessionStore::clientsThatNeverReturnTheCookieStayBounded()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    store.setPendingLimit(20);

    // A browser whose cookie came back keeps its session through the flood.
    QByteArray kept;
    {
        auto first = requestWithCookie();
        HttpResponse response(nullptr);
        kept = store.getSession(*first, response, true).getId();
        auto back = requestWithCookie("sessionid=" + kept);
        HttpResponse backResponse(nullptr);
        QCOMPARE(store.getSession(*back, backResponse, true).getId(), kept);
    }
    for (int i = 0; i < 500; ++i) {
        auto request = requestWithCookie();
        HttpResponse response(nullptr);
        QVERIFY(!store.getSession(*request, response, true).isNull());
        QVERIFY(store.sessionCount() <= 21);
    }
    auto back = requestWithCookie("sessionid=" + kept);
    HttpResponse backResponse(nullptr);
    QCOMPARE(store.getSession(*back, backResponse, false).getId(), kept);
}

void tst_HttpSessionStore::renewSessionChangesTheId()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    auto request = requestWithCookie();
    HttpResponse response(nullptr);
    HttpSession session = store.getSession(*request, response, true);
    session.set("username", "bob");
    const QByteArray oldId = session.getId();

    HttpResponse loginResponse(nullptr);
    const HttpSession renewed = store.renewSession(session, loginResponse);
    QVERIFY(!renewed.isNull());
    QVERIFY(renewed.getId() != oldId);
    QCOMPARE(renewed.get("username").toString(), QString("bob"));
    QCOMPARE(store.sessionCount(), 1);
    QVERIFY(setCookieText(loginResponse).startsWith("sessionid=" + renewed.getId() + ";"));

    // Whoever planted or kept the old id finds nothing behind it.
    auto old = requestWithCookie("sessionid=" + oldId);
    HttpResponse oldResponse(nullptr);
    QVERIFY(store.getSession(*old, oldResponse, false).isNull());
    auto current = requestWithCookie("sessionid=" + renewed.getId());
    HttpResponse currentResponse(nullptr);
    QCOMPARE(store.getSession(*current, currentResponse, false).getId(), renewed.getId());
}

void tst_HttpSessionStore::manyThreadsAtOnce()
{
    auto config = settingsWith({});
    HttpSessionStore store(config.get());
    QList<QByteArray> ids;
    for (int i = 0; i < 4; ++i) {
        auto request = requestWithCookie();
        HttpResponse response(nullptr);
        ids << store.getSession(*request, response, true).getId();
    }
    // Requests of one browser on several connection threads, a logout and the expiry check,
    // all on the same records at once.
    QAtomicInt errors;
    QList<QThread *> threads;
    for (int t = 0; t < 6; ++t) {
        threads << QThread::create([&, t]() {
            for (int i = 0; i < 300; ++i) {
                auto request = requestWithCookie("sessionid=" + ids.at((t + i) % ids.size()));
                HttpResponse response(nullptr);
                HttpSession session = store.getSession(*request, response, t % 2 == 0);
                HttpSession copy = session;
                copy.set("counter", i);
                if (!session.isNull() && session.get("counter").toInt() < 0)
                    errors.ref();
                if (t == 5 && i % 50 == 0)
                    store.removeSession(copy);
            }
        });
    }
    for (QThread *thread : threads)
        thread->start();
    for (int i = 0; i < 50; ++i)
        store.timerEvent();
    for (QThread *thread : threads) {
        QVERIFY(thread->wait(30000));
        delete thread;
    }
    QCOMPARE(errors.loadRelaxed(), 0);
}

QTEST_GUILESS_MAIN(tst_HttpSessionStore)
#include "tst_HttpSessionStore.moc"
