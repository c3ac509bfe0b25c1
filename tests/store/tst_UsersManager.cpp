#include "Database.h"
#include "TempDatabase.h"
#include "UsersManager.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QtTest>

class tst_UsersManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void login_data();
    void login();
    void permissionsAreSixteenBits_data();
    void permissionsAreSixteenBits();
    void listing();
    void add_data();
    void add();
    void newUserNeedsPassword();
    void edit();
    void remove_data();
    void remove();

private:
    static t_GetArray params(std::initializer_list<std::pair<const char *, const char *>> pairs);
    TempDatabase *m_db = nullptr;
    UsersManager m_users;
};

void tst_UsersManager::init()
{
    m_db = new TempDatabase;
    QVERIFY(m_db->create());
    Database scope;
    QSqlQuery q(scope.handle());
    q.prepare("INSERT INTO Users (username, password, permissions) VALUES ('viewer', ?, 1), ('nopass', NULL, 255), "
              "('nullperm', ?, NULL)");
    q.addBindValue(UsersManager::passwordDigest("secret"));
    q.addBindValue(UsersManager::passwordDigest("x"));
    QVERIFY(q.exec());
}

void tst_UsersManager::cleanup()
{
    delete m_db;
    m_db = nullptr;
}

t_GetArray tst_UsersManager::params(std::initializer_list<std::pair<const char *, const char *>> pairs)
{
    t_GetArray map;
    for (const auto &pair : pairs)
        map.insert(pair.first, pair.second);
    return map;
}

void tst_UsersManager::login_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<int>("permissions");
    QTest::newRow("fresh admin, empty password") << "Admin" << "" << 255;
    QTest::newRow("admin, wrong password") << "Admin" << "admin" << 0;
    QTest::newRow("name in another letter case") << "admin" << "" << 0;
    QTest::newRow("read-only user") << "viewer" << "secret" << 1;
    QTest::newRow("read-only user, wrong password") << "viewer" << "Secret" << 0;
    QTest::newRow("unknown user") << "nobody" << "" << 0;
    QTest::newRow("user without password never matches") << "nopass" << "" << 0;
    QTest::newRow("null permissions refuse") << "nullperm" << "x" << 0;
    QTest::newRow("comment in the name") << "Admin' --" << "anything" << 0;
    QTest::newRow("tautology in the name") << "x' OR '1'='1" << "" << 0;
    QTest::newRow("tautology in the password") << "Admin" << "' OR '1'='1" << 0;
}

void tst_UsersManager::login()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(int, permissions);
    QCOMPARE(m_users.checkUser(username, password), permissions);
}

void tst_UsersManager::permissionsAreSixteenBits_data()
{
    QTest::addColumn<qlonglong>("stored");
    QTest::addColumn<int>("permissions");
    QTest::newRow("65536 is 0 and refuses") << qlonglong(65536) << 0;
    QTest::newRow("-65536 is 0 and refuses") << qlonglong(-65536) << 0;
    QTest::newRow("131073 is read-only") << qlonglong(131073) << 1;
    QTest::newRow("65791 is the administrator") << qlonglong(65791) << 255;
}

void tst_UsersManager::permissionsAreSixteenBits()
{
    QFETCH(qlonglong, stored);
    QFETCH(int, permissions);
    {
        Database scope;
        QSqlQuery q(scope.handle());
        q.prepare("INSERT INTO Users (username, password, permissions) VALUES ('wide', ?, ?)");
        q.addBindValue(UsersManager::passwordDigest("w"));
        q.addBindValue(stored);
        QVERIFY(q.exec());
    }
    QCOMPARE(m_users.checkUser("wide", "w"), permissions);
}

void tst_UsersManager::listing()
{
    const QByteArray reply = m_users.getUsersCfg();
    QVERIFY(!reply.contains("password"));
    // Member order as the statement names the columns.
    QVERIFY2(reply.startsWith("[{\"idUsers\":\"1\",\"username\":\"Admin\",\"permissions\":\"255\"},{\"idUsers\":\"2\","),
             reply.constData());
    const QJsonArray rows = QJsonDocument::fromJson(reply).array();
    QCOMPARE(rows.size(), 4);
    QCOMPARE(rows.at(0).toObject(), QJsonObject({{"idUsers", "1"}, {"username", "Admin"}, {"permissions", "255"}}));
    QCOMPARE(rows.at(3).toObject().value("permissions").toString(), QString());
}

void tst_UsersManager::add_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("permissions"); // "-" for absent
    QTest::addColumn<QString>("message");     // empty: success
    QTest::newRow("new user") << "operator" << "1" << QString();
    QTest::newRow("empty permissions text") << "operator" << "" << "User save error";
    QTest::newRow("permissions missing") << "operator" << "-" << "Parameters error";
    QTest::newRow("permissions not a number") << "operator" << "abc" << "User save error";
    QTest::newRow("permissions carrying SQL") << "operator" << "1); DELETE FROM Users; --" << "User save error";
    QTest::newRow("existing name") << "Admin" << "1" << "User save error";
    QTest::newRow("name with a quote is stored as it stands") << "O'Brien \"%2\"" << "255" << QString();
}

void tst_UsersManager::add()
{
    QFETCH(QString, username);
    QFETCH(QString, permissions);
    QFETCH(QString, message);
    t_GetArray map;
    map.insert("username", username.toUtf8());
    if (permissions != QLatin1String("-"))
        map.insert("permissions", permissions.toUtf8());
    const QByteArray before = m_db->cli("SELECT * FROM Users ORDER BY idUsers;");
    const QJsonObject reply = QJsonDocument::fromJson(m_users.addNewUser(map)).object();
    if (message.isEmpty()) {
        QCOMPARE(reply, QJsonObject({{"success", true}}));
        QCOMPARE(m_db->cli("SELECT username, permissions, password IS NULL FROM Users WHERE idUsers=5;"),
                 (username + '|' + permissions + "|1\n").toUtf8());
    } else {
        QCOMPARE(reply.value("error").toBool(), true);
        QCOMPARE(reply.value("message").toString(), message);
        QCOMPARE(m_db->cli("SELECT * FROM Users ORDER BY idUsers;"), before);
    }
}

void tst_UsersManager::newUserNeedsPassword()
{
    QCOMPARE(m_users.addNewUser(params({{"username", "op"}, {"permissions", "1"}})), QByteArray("{\"success\":true}"));
    QCOMPARE(m_users.checkUser("op", ""), 0);
    QCOMPARE(m_users.setUserPass(params({{"password", "pa'ss"}, {"id", "5"}})), QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT password FROM Users WHERE idUsers=5;"),
             QCryptographicHash::hash("pa'ss", QCryptographicHash::Sha256).toHex() + '\n');
    QCOMPARE(m_users.checkUser("op", "pa'ss"), 1);
    // An absent password gives the digest of the empty one, which logs in like any other.
    QCOMPARE(m_users.setUserPass(params({{"id", "5"}})), QByteArray("{\"success\":true}"));
    QCOMPARE(m_users.checkUser("op", ""), 1);
}

void tst_UsersManager::edit()
{
    QCOMPARE(m_users.editUser(params({{"username", "reader"}, {"permissions", "abc"}, {"id", "2"}})),
             QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT username, permissions FROM Users WHERE idUsers=2;"), QByteArray("reader|0\n"));
    QVERIFY(m_users.editUser(params({{"username", "x"}, {"permissions", "1"}})).startsWith("{\"error\":true,\"message\":\"Edit error\""));
    QVERIFY(m_users.editUser(params({{"username", "x"}, {"permissions", "1"}, {"id", "1 OR 1=1"}}))
                .startsWith("{\"error\":true,\"message\":\"Edit error\""));
    QVERIFY(m_users.setUserPass(params({{"password", "p"}, {"id", "1 OR 1=1"}}))
                .startsWith("{\"error\":true,\"message\":\"Edit error\""));
    QCOMPARE(m_users.checkUser("Admin", ""), 255);
    // The unique name is refused with the database's text.
    const QJsonObject clash =
        QJsonDocument::fromJson(m_users.editUser(params({{"username", "Admin"}, {"permissions", "1"}, {"id", "2"}}))).object();
    QCOMPARE(clash.value("message").toString(), QStringLiteral("Edit error"));
    QVERIFY(clash.value("details").toString().contains("UNIQUE"));
    // An absent user name stores the empty text, never NULL (which an export would write as NULL).
    QCOMPARE(m_users.editUser(params({{"permissions", "1"}, {"id", "3"}})), QByteArray("{\"success\":true}"));
    QCOMPARE(m_db->cli("SELECT typeof(username), quote(username) FROM Users WHERE idUsers=3;"), QByteArray("text|''\n"));
}

void tst_UsersManager::remove_data()
{
    QTest::addColumn<QString>("id");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QByteArray>("left");
    QTest::newRow("existing") << "2" << QString() << QByteArray("1\n3\n4\n");
    QTest::newRow("unknown id succeeds") << "99" << QString() << QByteArray("1\n2\n3\n4\n");
    QTest::newRow("last administrator may go") << "1" << QString() << QByteArray("2\n3\n4\n");
    QTest::newRow("tautology removes nothing") << "1 OR 1=1" << "Query error" << QByteArray("1\n2\n3\n4\n");
    QTest::newRow("absent id") << "" << "Query error" << QByteArray("1\n2\n3\n4\n");
}

void tst_UsersManager::remove()
{
    QFETCH(QString, id);
    QFETCH(QString, message);
    QFETCH(QByteArray, left);
    t_GetArray map;
    if (!id.isEmpty())
        map.insert("id", id.toUtf8());
    const QJsonObject reply = QJsonDocument::fromJson(m_users.removeUser(map)).object();
    if (message.isEmpty())
        QCOMPARE(reply, QJsonObject({{"success", true}}));
    else
        QCOMPARE(reply.value("message").toString(), message);
    QCOMPARE(m_db->cli("SELECT idUsers FROM Users ORDER BY idUsers;"), left);
}

QTEST_GUILESS_MAIN(tst_UsersManager)
#include "tst_UsersManager.moc"
