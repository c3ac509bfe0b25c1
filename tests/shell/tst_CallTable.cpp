#include "DeviceSearch.h"
#include "ShellFixture.h"
#include "Stats.h"

#include <QJsonDocument>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace ShellFixture;

namespace {

// How a name is treated around its operation.
enum Rule {
    ConfigRead,  // "cfg_" with "_get": under the database lock, for everybody, also while polling
    ConfigWrite, // other "cfg_": under the database lock, refused to privilege 1 and while polling
    Plain,       // no lock, no privilege
    Full,        // privilege 255 only
    StatsLock,   // the statistics lock; busy: empty body
    ModbusLock,  // the Modbus lock; busy: "Modbus Mutex error"
    FlagsLock,   // the flags lock; busy: empty body
};

struct Row
{
    const char *name;
    Rule rule;
    // The reply with full rights and no parameters: exact bytes, "<json>" for any JSON text, or
    // null when the call is left to the tests that give it what it needs.
    const char *reply;
};

const QList<Row> &table()
{
    static const QList<Row> rows = {
        {"cfg_getConfiguredConnection", ConfigRead, "<json>"},
        {"cfg_addNewSerialConnection", ConfigWrite, "<json>"},
        {"cfg_editSerialConnection", ConfigWrite, "<json>"},
        {"cfg_removeSerialConnection", ConfigWrite, "<json>"},
        {"cfg_addNewTcpConnection", ConfigWrite, "<json>"},
        {"cfg_editTcpConnection", ConfigWrite, "<json>"},
        {"cfg_removeTcpConnection", ConfigWrite, "<json>"},
        {"cfg_addNewMqttConnection", ConfigWrite, "<json>"},
        {"cfg_editMqttConnection", ConfigWrite, "<json>"},
        {"cfg_removeMqttConnection", ConfigWrite, "<json>"},
        {"cfg_getDevCfg", ConfigRead, "<json>"},
        {"cfg_addNewDevice", ConfigWrite, "<json>"},
        {"cfg_editDevice", ConfigWrite, "<json>"},
        {"cfg_removeDevice", ConfigWrite, "<json>"},
        {"cfg_getViewsCfg", ConfigRead, "<json>"},
        {"cfg_addNewView", ConfigWrite, "<json>"},
        {"cfg_editView", ConfigWrite, "<json>"},
        {"cfg_removeView", ConfigWrite, "<json>"},
        {"cfg_viewNameExists", ConfigWrite, "<json>"},
        {"cfg_getAlarmsCfg", ConfigRead, "[]"},
        {"cfg_saveAlarmsCfg", ConfigWrite, "<json>"},
        {"cfg_getSetting", ConfigRead, "<json>"},
        {"cfg_saveSetting", ConfigWrite, "{\"error\":true,\"message\":\"Parameters error\"}"},
        {"cfg_getUsersCfg", ConfigRead, "<json>"},
        {"cfg_addNewUser", ConfigWrite, "<json>"},
        {"cfg_editUser", ConfigWrite, "<json>"},
        {"cfg_setUserPass", ConfigWrite, "<json>"},
        {"cfg_removeUser", ConfigWrite, "<json>"},
        {"cfg_getSMTPSetting", ConfigRead, "<json>"},
        {"cfg_saveSMTPSetting", ConfigWrite, "<json>"},
        {"cfg_clearDatabase", ConfigWrite, nullptr},
        {"cfg_convertDatabase", ConfigWrite, "<json>"},
        {"getAppState", Plain, "{\"state\":\"idle\"}"},
        {"startPolling", FlagsLock, nullptr},
        {"stopPolling", FlagsLock, nullptr},
        {"getAllValues", Plain, "<json>"},
        {"getArchGeneralInfo", Plain, "<json>"},
        {"getArchGridData", Plain, "<json>"},
        {"generateCSVFile", Plain, "<json>"},
        {"getReportGridData", Plain, "<json>"},
        {"deleteArchivedData", Full, "{\"success\":true}"},
        {"getLogsGridData", Plain, nullptr},
        {"deleteLogsEnries", Full, nullptr},
        {"getAlarmsStates", Plain, "[]"},
        {"confirmAlarm", Plain, "<json>"},
        {"confirmAllAlarms", Plain, "<json>"},
        {"getModbusStats", StatsLock, "[]"},
        {"getMqttStats", StatsLock, "[]"},
        {"resetAllStats", StatsLock, "{\"success\":true}"},
        {"resetModbusStats", StatsLock, "{\"success\":true}"},
        {"resetMqttStats", StatsLock, "{\"success\":true}"},
        {"getGeneralInfo", Plain, "<json>"},
        {"startSearchingDevices", Plain, "ok"},
        {"getSearchedDevices", Plain, ""}, // the search of the line above found nothing
        {"updateViewsTimes", Plain, "false"},
        {"sendTestEmail", Plain, nullptr},
        {"getPortSettings", ModbusLock, ""},
        {"pingDevice", ModbusLock, "<json>"},
        {"runAsAdministrator", Full, nullptr},
        {"check4Updates", Plain, "<json>"},
        {"startUpdating", Full, nullptr},
        {"getUpdateStatus", Plain, "<json>"},
    };
    return rows;
}

const QByteArray privilegeError = "{\"error\":true,\"message\":\"User doesn't have required privilege\"}";
const QByteArray visualMode = "{\"error\":true,\"message\":\"App is in visual mode\"}";
const QByteArray databaseLocked = "{\"error\":true,\"message\":\"Database mutex locked\"}";

bool isJson(const QByteArray &body)
{
    QJsonParseError error;
    QJsonDocument::fromJson(body, &error);
    return error.error == QJsonParseError::NoError;
}

} // namespace

// The names of "ajax.html" against the handler served in-process, so that the test can hold its
// locks: each name's lock, privilege and polling rule and the shape of its reply.
class tst_CallTable : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void everyNameIsBound();
    void repliesWithFullRights();
    void unknownAndOtherCaseNamesAnswerEmpty();
    void configurationCallsTakeTheDatabaseLock();
    void guardedCallsTakeTheirLocks();
    void privilegesOfReadOnlyAndWriterUsers();
    void pollingRequestsRunInOrder();
    void pollingRefusesConfigurationWrites();

private:
    Reply call(const QByteArray &query, const QString &jar = QString());

    HandlerServer m_server;
};

void tst_CallTable::initTestCase()
{
    QVERIFY(m_server.start());
    // Searches probe a loopback port nobody answers on, never the network.
    DeviceFinder::Target target;
    target.address = QHostAddress(QHostAddress::LocalHost);
    target.port = TestEnv::freeUdpPort();
    m_server.handler->deviceSearch()->setTarget(target);
}

Reply tst_CallTable::call(const QByteArray &query, const QString &jar) { return m_server.ajax(query, jar); }

void tst_CallTable::everyNameIsBound()
{
    QSet<QByteArray> expected;
    for (const Row &row : table())
        expected.insert(row.name);
    QCOMPARE(expected.size(), 62);
    const QList<QByteArray> bound = m_server.handler->callTable().names();
    QCOMPARE(QSet<QByteArray>(bound.begin(), bound.end()), expected);
}

void tst_CallTable::repliesWithFullRights()
{
    for (const Row &row : table()) {
        if (!row.reply)
            continue;
        const Reply reply = call(QByteArray("func=") + row.name);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
        if (qstrcmp(row.reply, "<json>") == 0)
            QVERIFY2(isJson(reply.body), row.name + QByteArray(": ") + reply.body);
        else
            QVERIFY2(reply.body == row.reply, row.name + QByteArray(": ") + reply.body);
    }
}

void tst_CallTable::unknownAndOtherCaseNamesAnswerEmpty()
{
    for (const QByteArray &query : {QByteArray("func=GETAPPSTATE"), QByteArray("func=getappstate"),
                                   QByteArray("func=Cfg_getSetting"), QByteArray("func=noSuchCall"),
                                   QByteArray("func="), QByteArray("other=1"), QByteArray("func=getAppState%20")}) {
        const Reply reply = call(query);
        QCOMPARE(reply.status, 200);
        QCOMPARE(reply.header("Content-Type"), QByteArray("text/html"));
        QVERIFY2(reply.body.isEmpty(), query + ": " + reply.body);
    }
}

void tst_CallTable::configurationCallsTakeTheDatabaseLock()
{
    QMutex &lock = m_server.handler->databaseLock();
    lock.lock();
    for (const Row &row : table()) {
        const bool config = row.rule == ConfigRead || row.rule == ConfigWrite;
        if (!config && !row.reply)
            continue; // calls with effects of their own (polling, restart, mail) are left out
        const Reply reply = call(QByteArray("func=") + row.name);
        if (config)
            QVERIFY2(reply.body == databaseLocked, row.name);
        else if (row.reply)
            QVERIFY2(reply.body != databaseLocked, row.name);
    }
    // A configuration name that no call bears takes the lock like the others ...
    QCOMPARE(call("func=cfg_x").body, databaseLocked);
    lock.unlock();
    // ... and gives it back.
    QCOMPARE(call("func=cfg_x").body, QByteArray());
    QVERIFY(lock.tryLock(0));
    lock.unlock();
}

void tst_CallTable::guardedCallsTakeTheirLocks()
{
    struct Held
    {
        Rule rule;
        std::function<void()> lock, unlock;
        QByteArray busyReply;
    };
    const QList<Held> held = {
        {StatsLock, [] { QVERIFY(g_stats.tryLock()); }, [] { g_stats.unlock(); }, QByteArray()},
        {ModbusLock, [this] { m_server.handler->modbusLock().lock(); }, [this] { m_server.handler->modbusLock().unlock(); },
         "{\"error\":true,\"message\":\"Modbus Mutex error\"}"},
        {FlagsLock, [this] { m_server.handler->flagsLock().lock(); }, [this] { m_server.handler->flagsLock().unlock(); }, QByteArray()},
    };
    for (const Held &h : held) {
        h.lock();
        for (const Row &row : table()) {
            if (row.rule != h.rule)
                continue;
            const Reply reply = call(QByteArray("func=") + row.name);
            QCOMPARE(reply.status, 200);
            QVERIFY2(reply.body == h.busyReply, row.name + QByteArray(": ") + reply.body);
        }
        h.unlock();
    }
    QCOMPARE(call("func=getPortSettings").body, QByteArray());
    QCOMPARE(call("func=resetAllStats").body, QByteArray("{\"success\":true}"));
}

void tst_CallTable::privilegesOfReadOnlyAndWriterUsers()
{
    QVERIFY(m_server.addUser(QStringLiteral("reader"), 1, QStringLiteral("r")));
    QVERIFY(m_server.addUser(QStringLiteral("writer"), 2, QStringLiteral("w")));
    QVERIFY(m_server.setLogin(true));
    const QString reader = m_server.login(QStringLiteral("reader"), QStringLiteral("r"));
    const QString writer = m_server.login(QStringLiteral("writer"), QStringLiteral("w"));
    QVERIFY(!reader.isEmpty());
    QVERIFY(!writer.isEmpty());
    QSignalSpy restarts(m_server.handler, &MyHttpRequestHandler::restartAppAsAdmin);

    for (const Row &row : table()) {
        const QByteArray query = QByteArray("func=") + row.name;
        if (row.rule == ConfigWrite) {
            QVERIFY2(call(query, reader).body == privilegeError, row.name);
            // Privilege 2 is no reader: it may write the configuration (here without parameters).
            if (qstrcmp(row.name, "cfg_clearDatabase") != 0)
                QVERIFY2(call(query, writer).body != privilegeError, row.name);
        } else if (row.rule == ConfigRead) {
            const Reply reply = call(query, reader);
            QVERIFY2(isJson(reply.body) && reply.body != privilegeError, row.name + QByteArray(": ") + reply.body);
        } else if (row.rule == Full) {
            QVERIFY2(call(query, reader).body == privilegeError, row.name);
            QVERIFY2(call(query, writer).body == privilegeError, row.name);
        }
    }
    QCOMPARE(restarts.count(), 0);
    // The mail password: the administrator sees it, privilege 2 too, a reader never.
    const QString admin = m_server.login(QStringLiteral("Admin"), QString());
    QCOMPARE(call("func=cfg_saveSMTPSetting&serverName=mail.test&port=587&security=1&username=u&password=s3cret"
                  "&sourceEmailAddress=a@b.test",
                  admin)
                 .body,
             QByteArray("{\"success\":true}"));
    QVERIFY(call("func=cfg_getSMTPSetting", admin).body.contains("\"password\":\"s3cret\""));
    QVERIFY(call("func=cfg_getSMTPSetting", writer).body.contains("\"password\":\"s3cret\""));
    const QByteArray blanked = call("func=cfg_getSMTPSetting", reader).body;
    QVERIFY2(blanked.contains("\"password\":\"\"") && blanked.contains("\"serverName\":\"mail.test\""), blanked);
    // Archive and logs kept: deletion needs full rights.
    QVERIFY(m_server.setLogin(false));
    QCOMPARE(call("func=cfg_getSetting").body.contains("\"sessionEnabled\":\"0\""), true);
}

void tst_CallTable::pollingRequestsRunInOrder()
{
    QList<int> order;
    QObject listening; // the connections end with the test
    connect(m_server.handler, &MyHttpRequestHandler::startPolling, &listening, [&] { order << 1; });
    connect(m_server.handler, &MyHttpRequestHandler::stopPolling, &listening, [&] { order << 2; });
    // Both requests land before the next tick of the flag timer, which runs in this thread.
    QCOMPARE(call("func=startPolling").body, QByteArray("{\"success\":true}"));
    QCOMPARE(call("func=stopPolling").body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(order, (QList<int>{1, 2}), 5000);
}

void tst_CallTable::pollingRefusesConfigurationWrites()
{
    QVERIFY(m_server.setLogin(true));
    const QString admin = m_server.login(QStringLiteral("Admin"), QString());
    const QString reader = m_server.login(QStringLiteral("reader"), QStringLiteral("r"));
    QVERIFY(!admin.isEmpty() && !reader.isEmpty());
    QCOMPARE(call("func=startPolling", admin).body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(call("func=getAppState", admin).body, QByteArray("{\"state\":\"running\"}"), 10000);

    for (const Row &row : table()) {
        const QByteArray query = QByteArray("func=") + row.name;
        if (row.rule == ConfigWrite) {
            QVERIFY2(call(query, admin).body == visualMode, row.name);
            // The reader learns about the polling first, not about its rights.
            QVERIFY2(call(query, reader).body == visualMode, row.name);
        } else if (row.rule == ConfigRead) {
            const Reply reply = call(query, reader);
            QVERIFY2(isJson(reply.body) && reply.body != visualMode, row.name + QByteArray(": ") + reply.body);
        }
    }
    // A configuration name without a call is refused like the others.
    QCOMPARE(call("func=cfg_x", admin).body, visualMode);
    QVERIFY(isJson(call("func=getAllValues", reader).body));

    QCOMPARE(call("func=stopPolling", admin).body, QByteArray("{\"success\":true}"));
    QTRY_COMPARE_WITH_TIMEOUT(call("func=getAppState", admin).body, QByteArray("{\"state\":\"idle\"}"), 10000);
    QVERIFY(m_server.setLogin(false));
}

QTEST_MAIN(tst_CallTable)
#include "tst_CallTable.moc"
