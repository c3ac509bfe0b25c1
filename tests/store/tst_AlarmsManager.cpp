#include "AlarmsManager.h"
#include "JsonReply.h"
#include "StoreFixture.h"

#include <QtTest>

class tst_AlarmsManager : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void save_data();
    void save();
    void failedSaveKeepsOldAlarms_data();
    void failedSaveKeepsOldAlarms();
    void failedInsertKeepsOldAlarms();
    void listingAfterSave();
    void listingError();

private:
    QByteArray save(const QByteArray &cfg, bool present = true);
    QStringList alarmRows() const;

    QTemporaryDir *m_dir = nullptr;
    ConfigManager *m_config = nullptr;
    AlarmsManager *m_alarms = nullptr;
};

static const QStringList kOldAlarms = {QStringLiteral("1|old one|d|2|a>1|a<1|1|x@y.pl|s"),
                                       QStringLiteral("2|old two||0|b>1||0||")};

void tst_AlarmsManager::init()
{
    m_dir = new QTemporaryDir;
    QVERIFY(m_dir->isValid());
    m_config = new ConfigManager;
    m_alarms = new AlarmsManager;
    QVERIFY(StoreFixture::freshDatabase(*m_config, *m_dir));
    QVERIFY(StoreFixture::exec({
        "INSERT INTO Alarms VALUES (1, 'old one', 'd', 2, 'a>1', 'a<1', 1, 'x@y.pl', 's')",
        "INSERT INTO Alarms VALUES (2, 'old two', '', 0, 'b>1', '', 0, '', '')",
    }));
    QCOMPARE(alarmRows(), kOldAlarms);
}

void tst_AlarmsManager::cleanup()
{
    delete m_alarms;
    delete m_config;
    Database::closeThisThread();
    delete m_dir;
}

QByteArray tst_AlarmsManager::save(const QByteArray &cfg, bool present)
{
    t_GetArray params;
    if (present)
        params.insert("cfg", cfg);
    return m_alarms->saveAlarmsCfg(params);
}

QStringList tst_AlarmsManager::alarmRows() const
{
    return StoreFixture::rows(QStringLiteral("SELECT * FROM Alarms ORDER BY idAlarms"));
}

void tst_AlarmsManager::save_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("empty array deletes all") << QByteArray("[]") << QStringList();
    QTest::newRow("json, ids from 1 in array order")
        << QByteArray(R"([{"name":"hot","desc":"too hot","priority":3,"exp_on":"t>80","exp_off":"t<70",)"
                      R"("sedMailCond":2,"mailRecipients":"a@b.pl","mailSubject":"Hot"},)"
                      R"({"name":"cold","exp_on":"t<5"},{"name":"third","exp_on":"x"}])")
        << QStringList{"1|hot|too hot|3|t>80|t<70|2|a@b.pl|Hot", "2|cold||0|t<5||0||", "3|third||0|x||0||"};
    QTest::newRow("absent fields are empty or 0") << QByteArray("[{exp_on:'1'}]") << QStringList{"1|||0|1||0||"};
    QTest::newRow("empty texts are empty") << QByteArray("[{name:'',desc:'',exp_on:'1',exp_off:'',mailRecipients:'',"
                                                         "mailSubject:''}]")
                                           << QStringList{"1|||0|1||0||"};
    QTest::newRow("holes are passed over") << QByteArray("[,{name:'a',exp_on:'1'},,{name:'b',exp_on:'2'},]")
                                           << QStringList{"1|a||0|1||0||", "2|b||0|2||0||"};
    QTest::newRow("exp_on null is the text null") << QByteArray("[{exp_on:null}]") << QStringList{"1|||0|null||0||"};
    QTest::newRow("numbers as texts and texts as numbers")
        << QByteArray("[{name:5, desc:1.5, priority:'7', exp_on:1e21, sedMailCond:true, mailSubject:false}]")
        << QStringList{"1|5|1.5|7|1e+21||1||false"};
    QTest::newRow("integers truncate and wrap")
        << QByteArray("[{exp_on:'a', priority:-2.9, sedMailCond:4294967299},"
                      "{exp_on:'b', priority:2147483648, sedMailCond:'x'},"
                      "{exp_on:'c', priority:Infinity, sedMailCond:' 0x10 '}]")
        << QStringList{"1|||-2|a||3||", "2|||-2147483648|b||0||", "3|||0|c||16||"};
    QTest::newRow("recipients lose all white space")
        << QByteArray("[{exp_on:'a', mailRecipients:' a@b.pl ,\\n\\tc@d.pl\\r\\n, e@f.pl  '}]")
        << QStringList{"1|||0|a||0|a@b.pl,c@d.pl,e@f.pl|"};
    QTest::newRow("quotes and sql text stored as they stand")
        << QByteArray(R"([{name:"O'Brien","desc":"x'); DELETE FROM Users; --",exp_on:"v == '%2'"}])")
        << QStringList{"1|O'Brien|x'); DELETE FROM Users; --|0|v == '%2'||0||"};
    QTest::newRow("unicode") << QByteArray("[{name:'Zażółć', exp_on:'ciśnienie > 5'}]")
                             << QStringList{QString::fromUtf8("1|Zażółć||0|ciśnienie > 5||0||")};
    QTest::newRow("text ends at a zero byte")
        << QByteArray("[{exp_on:'a'}]\0garbage", 22) << QStringList{"1|||0|a||0||"};
}

void tst_AlarmsManager::save()
{
    QFETCH(QByteArray, cfg);
    QFETCH(QStringList, expected);
    QCOMPARE(save(cfg), QByteArray("{\"success\":true}"));
    // The integer columns come back as the digits they were stored with; absent texts are ''
    // and never NULL.
    QCOMPARE(alarmRows(), expected);
}

void tst_AlarmsManager::failedSaveKeepsOldAlarms_data()
{
    QTest::addColumn<QByteArray>("cfg");
    QTest::addColumn<bool>("present");
    QTest::addColumn<QByteArray>("reply");
    const QByteArray queryError = buildErrorJson(QStringLiteral("Query error"));
    const QByteArray expOnEmpty = buildErrorJson(QStringLiteral("exp_on emppty"));
    QTest::newRow("absent") << QByteArray() << false << queryError;
    QTest::newRow("empty") << QByteArray() << true << queryError;
    QTest::newRow("object, not array") << QByteArray("{exp_on:'a'}") << true << queryError;
    QTest::newRow("syntax error") << QByteArray("[{exp_on:'a'}") << true << queryError;
    QTest::newRow("code") << QByteArray("(function(){return [{exp_on:'a'}]})()") << true << queryError;
    QTest::newRow("map call") << QByteArray("[{exp_on:'a'}].map(function(x){return x})") << true << queryError;
    QTest::newRow("middle exp_on empty")
        << QByteArray("[{name:'a',exp_on:'1'},{name:'b',exp_on:''},{name:'c',exp_on:'3'}]") << true << expOnEmpty;
    QTest::newRow("exp_on absent") << QByteArray("[{name:'a'}]") << true << expOnEmpty;
    QTest::newRow("element not an object") << QByteArray("[{exp_on:'1'},'exp_on']") << true << expOnEmpty;
}

void tst_AlarmsManager::failedSaveKeepsOldAlarms()
{
    QFETCH(QByteArray, cfg);
    QFETCH(bool, present);
    QFETCH(QByteArray, reply);
    QCOMPARE(save(cfg, present), reply);
    QCOMPARE(alarmRows(), kOldAlarms);
}

void tst_AlarmsManager::failedInsertKeepsOldAlarms()
{
    // A trigger stands in for any insert the database refuses (a full disk, a constraint).
    QVERIFY(StoreFixture::exec({"CREATE TRIGGER refuse BEFORE INSERT ON Alarms WHEN NEW.name = 'bad' "
                                "BEGIN SELECT RAISE(ABORT, 'refused by trigger'); END"}));
    const QByteArray reply = save("[{name:'good',exp_on:'1'},{name:'bad',exp_on:'2'},{name:'last',exp_on:'3'}]");
    QCOMPARE(reply, buildErrorJson(QStringLiteral("Query error"), QStringLiteral("refused by trigger")));
    QCOMPARE(alarmRows(), kOldAlarms);
}

void tst_AlarmsManager::listingAfterSave()
{
    const QByteArray cfg = R"([{"name":"a\"b","priority":12,"exp_on":"x>1","sedMailCond":1}])";
    QCOMPARE(save(cfg), QByteArray("{\"success\":true}"));
    const QByteArray listing = m_alarms->getAlarmsCfg();
    QCOMPARE(listing, QByteArray(R"([{"idAlarms":"1","name":"a\"b","desc":"","priority":"12","exp_on":"x>1",)"
                                 R"("exp_off":"","sedMailCond":"1","mailRecipients":"","mailSubject":""}])"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(listing, &error);
    QVERIFY2(error.error == QJsonParseError::NoError, listing.constData());
    const QJsonArray rows = doc.array();
    QCOMPARE(rows.size(), 1);
    const QJsonObject row = rows.first().toObject();
    QCOMPARE(row.keys().size(), 9);
    QCOMPARE(row.value("idAlarms").toString(), QString("1"));
    QCOMPARE(row.value("name").toString(), QString("a\"b"));
    QCOMPARE(row.value("priority").toString(), QString("12"));
    QCOMPARE(row.value("sedMailCond").toString(), QString("1"));
    QCOMPARE(row.value("exp_off").toString(), QString(""));
}

void tst_AlarmsManager::listingError()
{
    QVERIFY(StoreFixture::exec({"DROP TABLE Alarms"}));
    const QByteArray listing = m_alarms->getAlarmsCfg();
    QVERIFY(listing.startsWith("{\"error\":true,\"message\":\"Query error\",\"details\":\"no such table: Alarms"));
}

QTEST_GUILESS_MAIN(tst_AlarmsManager)
#include "tst_AlarmsManager.moc"
