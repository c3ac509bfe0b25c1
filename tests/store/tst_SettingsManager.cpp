#include "Database.h"
#include "SettingsManager.h"
#include "TempDatabase.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QtTest>

class tst_SettingsManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void loadFreshRow();
    void getSetting();
    void getSettingWithoutRow();
    void save_data();
    void save();
    void loadFailureKeepsAppState();

private:
    TempDatabase *m_db = nullptr;
};

void tst_SettingsManager::init()
{
    m_db = new TempDatabase;
    QVERIFY(m_db->create());
}

void tst_SettingsManager::cleanup()
{
    delete m_db;
    m_db = nullptr;
}

void tst_SettingsManager::loadFreshRow()
{
    SettingsManager settings;
    QCOMPARE(settings.modbusPollInterval.load(), 0); // zero until loaded
    settings.loadSettings();
    QCOMPARE(settings.modbusPollInterval.load(), 5000);
    QCOMPARE(settings.modbusIterDelay.load(), 10);
    QCOMPARE(settings.sessionEnabled.load(), false);
    QCOMPARE(settings.defaultAppState.load(), qint16(0));
}

void tst_SettingsManager::getSetting()
{
    SettingsManager settings;
    QCOMPARE(settings.getSetting(),
             QByteArray("{\"idSettings\":\"1\",\"archiveVersion\":\"0.1.2\",\"modbusPollInterval\":\"5000\","
                        "\"modbusIterDelay\":\"10\",\"sessionEnabled\":\"0\",\"defaultAppState\":\"0\"}"));
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("UPDATE Settings SET modbusIterDelay=NULL, archiveVersion='a\"b'"));
    }
    const QJsonObject object = QJsonDocument::fromJson(settings.getSetting()).object();
    QCOMPARE(object.value("modbusIterDelay").toString(), QString());
    QCOMPARE(object.value("archiveVersion").toString(), QStringLiteral("a\"b"));
}

void tst_SettingsManager::getSettingWithoutRow()
{
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("DELETE FROM Settings"));
    }
    SettingsManager settings;
    QCOMPARE(settings.getSetting(),
             QByteArray("{\"idSettings\":\"\",\"archiveVersion\":\"\",\"modbusPollInterval\":\"\","
                        "\"modbusIterDelay\":\"\",\"sessionEnabled\":\"\",\"defaultAppState\":\"\"}"));
    // Saving into a missing row changes nothing and succeeds; the reload finds no row.
    t_GetArray params;
    params.insert("modbusPollInterval", "1000");
    params.insert("modbusIterDelay", "0");
    QCOMPARE(settings.saveSetting(params), QByteArray("{\"success\":true}"));
    QCOMPARE(settings.modbusPollInterval.load(), 5000);
}

void tst_SettingsManager::save_data()
{
    QTest::addColumn<QStringList>("params");
    QTest::addColumn<QString>("message"); // empty: success
    QTest::addColumn<QByteArray>("row");  // the stored row after the call
    const QByteArray fresh = "5000|10|0|0\n";
    QTest::newRow("stores and reloads") << QStringList{"modbusPollInterval=1000", "modbusIterDelay=0", "sessionEnabled=1"}
                                        << QString() << QByteArray("1000|0|1|0\n");
    QTest::newRow("16-bit cut of the flags")
        << QStringList{"modbusPollInterval=2000", "modbusIterDelay=5", "sessionEnabled=65537", "defaultAppState=-1"}
        << QString() << QByteArray("2000|5|1|-1\n");
    QTest::newRow("missing poll interval") << QStringList{"modbusIterDelay=5"} << "Parameters error" << fresh;
    QTest::newRow("missing delay") << QStringList{"modbusPollInterval=5"} << "Parameters error" << fresh;
    QTest::newRow("empty poll interval") << QStringList{"modbusPollInterval=", "modbusIterDelay=5"} << "Settings save error" << fresh;
    QTest::newRow("letters") << QStringList{"modbusPollInterval=fast", "modbusIterDelay=5"} << "Settings save error" << fresh;
    QTest::newRow("statement text is no value")
        << QStringList{"modbusPollInterval=1,sessionEnabled=1", "modbusIterDelay=5"} << "Settings save error" << fresh;
    // A 0 ms tick would spin the main thread; a negative pause would sleep for weeks.
    QTest::newRow("zero poll interval") << QStringList{"modbusPollInterval=0", "modbusIterDelay=5"} << "Parameters error" << fresh;
    QTest::newRow("negative poll interval") << QStringList{"modbusPollInterval=-100", "modbusIterDelay=5"} << "Parameters error" << fresh;
    QTest::newRow("negative delay") << QStringList{"modbusPollInterval=100", "modbusIterDelay=-1"} << "Parameters error" << fresh;
}

void tst_SettingsManager::save()
{
    QFETCH(QStringList, params);
    QFETCH(QString, message);
    QFETCH(QByteArray, row);
    t_GetArray map;
    for (const QString &pair : params) {
        const int eq = pair.indexOf('=');
        map.insert(pair.left(eq).toUtf8(), pair.mid(eq + 1).toUtf8());
    }
    SettingsManager settings;
    settings.loadSettings();
    const QJsonObject reply = QJsonDocument::fromJson(settings.saveSetting(map)).object();
    if (message.isEmpty()) {
        QCOMPARE(reply, QJsonObject({{"success", true}}));
        const QList<QByteArray> fields = row.trimmed().split('|');
        QCOMPARE(settings.modbusPollInterval.load(), fields.at(0).toInt());
        QCOMPARE(settings.modbusIterDelay.load(), fields.at(1).toInt());
        QCOMPARE(settings.sessionEnabled.load(), fields.at(2).toInt() != 0);
        QCOMPARE(int(settings.defaultAppState.load()), fields.at(3).toInt());
    } else {
        QCOMPARE(reply.value("error").toBool(), true);
        QCOMPARE(reply.value("message").toString(), message);
        QCOMPARE(settings.modbusPollInterval.load(), 5000);
    }
    QCOMPARE(m_db->cli("SELECT modbusPollInterval, modbusIterDelay, sessionEnabled, defaultAppState FROM Settings;"), row);
}

void tst_SettingsManager::loadFailureKeepsAppState()
{
    SettingsManager settings;
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("UPDATE Settings SET defaultAppState=1, modbusPollInterval=700"));
    }
    settings.loadSettings();
    QCOMPARE(settings.defaultAppState.load(), qint16(1));
    {
        Database scope;
        QVERIFY(QSqlQuery(scope.handle()).exec("DROP TABLE Settings"));
    }
    settings.loadSettings();
    QCOMPARE(settings.modbusPollInterval.load(), 5000);
    QCOMPARE(settings.modbusIterDelay.load(), 10);
    QCOMPARE(settings.sessionEnabled.load(), false);
    QCOMPARE(settings.defaultAppState.load(), qint16(1));
    QCOMPARE(settings.getSetting(), QByteArray("{}"));
}

QTEST_GUILESS_MAIN(tst_SettingsManager)
#include "tst_SettingsManager.moc"
