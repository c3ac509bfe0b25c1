#include "SqliteTimeLimit.h"

#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QtTest>

namespace {

// A statement that never ends: it counts for ever and returns no row.
const QString kEndless = QStringLiteral("WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r) "
                                        "SELECT x FROM r WHERE x < 0");
// One that ends after a few hundred milliseconds of counting.
const QString kLong = QStringLiteral("WITH RECURSIVE r(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM r "
                                     "WHERE x < 3000000) SELECT count(*) FROM r");

} // namespace

class tst_SqliteTimeLimit : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void endlessStatementStops();
    void limitEndsWithItsObject();

private:
    QSqlDatabase m_db;
};

void tst_SqliteTimeLimit::init()
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("limit"));
    m_db.setDatabaseName(QStringLiteral(":memory:"));
    QVERIFY(m_db.open());
}

void tst_SqliteTimeLimit::cleanup()
{
    m_db.close();
    m_db = QSqlDatabase();
    QSqlDatabase::removeDatabase(QStringLiteral("limit"));
}

void tst_SqliteTimeLimit::endlessStatementStops()
{
    const SqliteTimeLimit limit(m_db, 300);
    QVERIFY(limit.isArmed());
    QSqlQuery query(m_db);
    QVERIFY(query.exec(QStringLiteral("SELECT 1")));
    QVERIFY(!limit.stoppedStatement());

    QElapsedTimer clock;
    clock.start();
    QVERIFY(!query.exec(kEndless));
    QVERIFY2(clock.elapsed() >= 250, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(query.lastError().databaseText(), QStringLiteral("interrupted"));
    QVERIFY(limit.stoppedStatement());
    // The time is up for everything after it too.
    QVERIFY(!query.exec(kLong));
}

void tst_SqliteTimeLimit::limitEndsWithItsObject()
{
    {
        const SqliteTimeLimit limit(m_db, 1);
        QSqlQuery query(m_db);
        QVERIFY(!query.exec(kLong));
    }
    // Gone with its object: the connection runs as long as a statement needs.
    QSqlQuery query(m_db);
    QVERIFY2(query.exec(kLong), qPrintable(query.lastError().text()));
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), 3000000);
}

QTEST_GUILESS_MAIN(tst_SqliteTimeLimit)
#include "tst_SqliteTimeLimit.moc"
