#include "Database.h"
#include "TempDatabase.h"

#include <QAtomicInt>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QtTest>

#include <memory>
#include <vector>

class tst_Database : public QObject
{
    Q_OBJECT
private slots:
    void connectionPerThread();
    void writersDuringReplace();
    void snapshotIsConsistent();
};

void tst_Database::connectionPerThread()
{
    TempDatabase db;
    QVERIFY(db.create());
    const int before = QSqlDatabase::connectionNames().size();
    QString otherName;
    bool otherOk = false;
    std::unique_ptr<QThread> thread(QThread::create([&] {
        Database scope;
        QSqlDatabase handle = scope.handle();
        otherName = handle.connectionName();
        QSqlQuery q(handle);
        otherOk = q.exec("PRAGMA journal_mode") && q.next() && q.value(0).toString() == "wal" &&
                  q.exec("PRAGMA foreign_keys") && q.next() && q.value(0).toInt() == 1 &&
                  q.exec("PRAGMA synchronous") && q.next() && q.value(0).toInt() == 1;
    }));
    thread->start();
    QVERIFY(thread->wait(10000));
    QVERIFY(otherOk);
    Database scope;
    QVERIFY(scope.handle().connectionName() != otherName);
    // The ended thread's connection is gone with it.
    QCOMPARE(QSqlDatabase::connectionNames().size(), before);
    QVERIFY(!QSqlDatabase::connectionNames().contains(otherName));
}

// Writers keep inserting events while the live file is replaced several times: no insert fails,
// nothing crashes, and every event written after the last replace is in the final file.
void tst_Database::writersDuringReplace()
{
    TempDatabase db;
    QVERIFY(db.create());
    constexpr int writers = 4;
    constexpr int replaces = 5;
    constexpr int afterLast = 25;
    QAtomicInt replacesDone(0);
    QAtomicInt failures(0);
    QAtomicInt stop(0);
    std::vector<QStringList> lastMessages(writers);
    std::vector<QString> errors(writers);
    std::vector<std::unique_ptr<QThread>> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back(QThread::create([&, w] {
            int written = 0;
            for (int seq = 0; written < afterLast; ++seq) {
                const bool afterReplaces = replacesDone.loadAcquire() == replaces;
                const QString message = QStringLiteral("w%1-%2").arg(w).arg(seq);
                Database scope;
                QSqlQuery q(scope.handle());
                q.prepare("INSERT INTO Logs (type, message) VALUES ('info', ?)");
                q.addBindValue(message);
                if (!q.exec()) {
                    failures.ref();
                    errors[w] = Database::errorText(q.lastError());
                    return;
                }
                if (afterReplaces) {
                    lastMessages[w] << message;
                    ++written;
                }
                if (stop.loadAcquire())
                    return;
            }
        }));
        threads.back()->start();
    }
    for (int r = 0; r < replaces; ++r) {
        QCOMPARE(db.config.clearDatabase(), QByteArray("{\"success\":true}"));
        replacesDone.storeRelease(r + 1);
    }
    for (auto &thread : threads)
        QVERIFY(thread->wait(60000));
    for (int w = 0; w < writers; ++w)
        QVERIFY2(errors[w].isEmpty(), qPrintable(errors[w]));
    QCOMPARE(failures.loadAcquire(), 0);

    Database::closeThisThread();
    for (int w = 0; w < writers; ++w) {
        QCOMPARE(lastMessages[w].size(), afterLast);
        const QByteArray found = db.cli(QStringLiteral("SELECT count(*) FROM Logs WHERE message IN ('%1');")
                                            .arg(lastMessages[w].join("','")));
        QCOMPARE(found, QByteArray::number(afterLast) + '\n');
    }
    QCOMPARE(db.cli("PRAGMA integrity_check;"), QByteArray("ok\n"));
    QCOMPARE(db.cli("SELECT count(*) FROM Users;"), QByteArray("1\n"));
}

void tst_Database::snapshotIsConsistent()
{
    TempDatabase db;
    QVERIFY(db.create());
    {
        Database scope;
        QSqlQuery q(scope.handle());
        QVERIFY(q.exec("INSERT INTO Logs (type, message) VALUES ('info', 'before')"));
    }
    QAtomicInt stop(0);
    std::unique_ptr<QThread> writer(QThread::create([&] {
        while (!stop.loadAcquire()) {
            Database scope;
            QSqlQuery(scope.handle()).exec("INSERT INTO Logs (type, message) VALUES ('info', 'during')");
        }
    }));
    writer->start();
    const QString target = db.dir.filePath("backup.sqlite");
    QString error;
    QVERIFY2(Database::snapshotTo(target, &error), qPrintable(error));
    stop.storeRelease(1);
    QVERIFY(writer->wait(10000));

    const QByteArray check = TempDatabase::cliOn(target, "PRAGMA integrity_check; SELECT count(*) > 0 FROM Logs WHERE message='before';");
    QCOMPARE(check, QByteArray("ok\n1\n"));
    QString again;
    QVERIFY(Database::snapshotTo(target, &again)); // an existing target is replaced
}

QTEST_GUILESS_MAIN(tst_Database)
#include "tst_Database.moc"
