#include "AcqTestDatabase.h"
#include "ArchiveBuffer.h"
#include "Logs.h"
#include "MessageRecorder.h"
#include "ReadBuffer.h"
#include "SettingsManager.h"

#include <QAtomicInt>
#include <QDateTime>
#include <QElapsedTimer>
#include <QThread>
#include <QtTest>

#include <ctime>
#include <limits>
#include <memory>

namespace {

// Parameters of device 1: 10 every 60 s, 11 every 5 s, 12 every 1 s (due at every reading),
// 13 never archived.
enum { PMinute = 10, PFive = 11, PSecond = 12, PNever = 13 };

qint64 at(const QString &hms)
{
    return QDateTime(QDate(2026, 1, 5), QTime::fromString(hms, QStringLiteral("hh:mm:ss.zzz")), Qt::UTC)
        .toMSecsSinceEpoch();
}

QString text(const QString &hms) { return QStringLiteral("2026-01-05 ") + hms; }

// n rows of the 1 s parameter, a second apart from the reading at hms.
QVector<ArchiveRow> secondRows(int n, const QString &hms, double value)
{
    QVector<ArchiveRow> rows;
    for (int k = 0; k < n; ++k)
        rows << ArchiveRow{12, value, at(hms) + k * 1000, 0};
    return rows;
}

} // namespace

class tst_ArchiveBuffer : public QObject
{
    Q_OBJECT

private:
    AcqTestDatabase m_db;

    static std::unique_ptr<ReadBuffer> makeBuffer() { return AcqTestDatabase::makeBuffer(); }

    static QStringList archivedTimes()
    {
        QStringList times;
        for (const QString &row : AcqTestDatabase::archiveRows())
            times << row.section(QLatin1Char('|'), 2, 2);
        return times;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_db.create());
        QVERIFY(AcqTestDatabase::addDevice(1, 1, "tcp", 1));
        QVERIFY(AcqTestDatabase::addParameter(PMinute, 1, 100, 60, "V"));
        QVERIFY(AcqTestDatabase::addParameter(PFive, 1, 101, 5, "V"));
        QVERIFY(AcqTestDatabase::addParameter(PSecond, 1, 102, 1, "V"));
        QVERIFY(AcqTestDatabase::addParameter(PNever, 1, 103, 0, "V"));
    }

    void init()
    {
        QVERIFY(AcqTestDatabase::exec("DELETE FROM ArchiveData"));
        QVERIFY(AcqTestDatabase::exec("DELETE FROM Logs"));
        g_settings.modbusPollInterval = 5000;
    }

    void dueRuleAndAlignment_data()
    {
        QTest::addColumn<int>("pollInterval");
        QTest::addColumn<int>("regAddr");
        QTest::addColumn<bool>("nearest");
        QTest::addColumn<QStringList>("readings");
        QTest::addColumn<QStringList>("archived");

        QTest::newRow("first poll interval of each minute")
            << 5000 << 100 << false << QStringList{"12:00:02.300", "12:00:07.300", "12:01:01.000"}
            << QStringList{text("12:00:00"), text("12:01:00")};
        QTest::newRow("a full interval after the last archived time")
            << 5000 << 100 << false << QStringList{"12:00:01.000", "12:00:59.000", "12:01:07.000"}
            << QStringList{text("12:00:00"), text("12:01:00")};
        QTest::newRow("nothing archived yet and off the boundary")
            << 5000 << 100 << false << QStringList{"12:00:30.000", "12:00:45.000"} << QStringList{};
        QTest::newRow("poll interval longer than the archive interval")
            << 10000 << 101 << false << QStringList{"12:00:03.000", "12:00:13.000", "12:00:23.000"}
            << QStringList{text("12:00:00"), text("12:00:10"), text("12:00:20")};
        QTest::newRow("MQTT readings round to the nearest interval")
            << 5000 << 100 << true << QStringList{"12:00:02.000", "12:01:04.999"}
            << QStringList{text("12:00:00"), text("12:01:00")};
        QTest::newRow("never archived parameter")
            << 5000 << 103 << false << QStringList{"12:00:00.000", "12:01:00.000"} << QStringList{};
    }

    void dueRuleAndAlignment()
    {
        QFETCH(int, pollInterval);
        QFETCH(int, regAddr);
        QFETCH(bool, nearest);
        QFETCH(QStringList, readings);
        QFETCH(QStringList, archived);
        g_settings.modbusPollInterval = pollInterval;
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        for (const QString &reading : readings)
            buffer->storeValue(1, regAddr, 1.5, at(reading), 0, 0, nearest);
        buffer->unlock();
        QCOMPARE(buffer->archivedCount(), qint64(archived.size()));
        QVERIFY(buffer->flushArchive());
        QCOMPARE(archivedTimes(), archived);
    }

    // The same reading offered twice (a failed block flagged by the line and by its worker)
    // is one row, also when a batch was written in between.
    void oneRowPerParameterAndTimeAcrossBatches()
    {
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        buffer->storeValue(1, 100, 0.0, at("12:00:01.000"), 3, 0, false);
        for (int k = 0; k < ArchiveBuffer::BatchSize - 1; ++k)
            buffer->storeValue(1, 102, k, at("12:00:01.000") + k * 1000, 0, 0, false);
        buffer->storeValue(1, 100, 0.0, at("12:00:01.000"), 3, 0, false);
        buffer->unlock();
        QVERIFY(buffer->flushArchive());
        QStringList minuteRows;
        for (const QString &row : AcqTestDatabase::archiveRows())
            if (row.startsWith(QString::number(PMinute) + "|"))
                minuteRows << row;
        QCOMPARE(minuteRows, QStringList{QString::number(PMinute) + "|0|" + text("12:00:00") + "|3"});
        QCOMPARE(buffer->archivedCount(), qint64(ArchiveBuffer::BatchSize));
    }

    void nearestAlignment_data()
    {
        QTest::addColumn<QString>("reading");
        QTest::addColumn<QString>("aligned");
        QTest::newRow("just below the half") << "12:00:29.999" << "12:00:00.000";
        QTest::newRow("exactly the half goes up") << "12:00:30.000" << "12:01:00.000";
        QTest::newRow("on the boundary") << "12:01:00.000" << "12:01:00.000";
    }

    void nearestAlignment()
    {
        QFETCH(QString, reading);
        QFETCH(QString, aligned);
        auto buffer = makeBuffer();
        QCOMPARE(buffer->archiveBuffer()->alignTime(PMinute, at(reading), true), at(aligned));
    }

    // Every reading of the 1 s parameter is due; the 50th pending row goes to the database at
    // once, fewer wait for the final flush, and every row lands exactly once.
    void batchesAndFinalFlush_data()
    {
        QTest::addColumn<int>("rows");
        for (int rows : {1, 49, 50, 51, 100, 101})
            QTest::addRow("%d rows", rows) << rows;
    }

    void batchesAndFinalFlush()
    {
        QFETCH(int, rows);
        auto buffer = makeBuffer();
        const qint64 start = at("12:00:00.000");
        for (int k = 0; k < rows; ++k) {
            QVERIFY(buffer->tryLock());
            buffer->storeValue(1, 102, k, start + k * 1000, 0, 0, false);
            buffer->unlock();
        }
        QVERIFY(buffer->archiveBuffer()->waitWritten(10000));
        QCOMPARE(AcqTestDatabase::archiveCount(), rows / 50 * 50);
        QCOMPARE(buffer->archiveBuffer()->pendingCount(), rows % 50);

        QVERIFY(buffer->flushArchive());
        QVERIFY(buffer->flushArchive()); // nothing pending: nothing written twice
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec("SELECT COUNT(*), COUNT(DISTINCT value), MIN(value), MAX(value) FROM ArchiveData"));
        QVERIFY(query.next());
        QCOMPARE(query.value(0).toInt(), rows);
        QCOMPARE(query.value(1).toInt(), rows);
        QCOMPARE(query.value(2).toInt(), 0);
        QCOMPARE(query.value(3).toInt(), rows - 1);
    }

    // A line thread that completes a batch must not wait for the database while it holds the
    // value buffer's lock: the stores return at once although another connection holds the
    // write lock, and the rows arrive once it is released.
    void theBatchIsWrittenOutsideTheBufferLock()
    {
        auto buffer = makeBuffer();
        QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("blocker"));
        blocker.setDatabaseName(Database::livePath());
        QVERIFY(blocker.open());
        {
            QSqlQuery lock(blocker);
            QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
        }
        QAtomicInt done = 0;
        QThread *line = QThread::create([&] {
            if (!buffer->tryLock())
                return;
            for (int k = 0; k < 50; ++k)
                buffer->storeValue(1, 102, k, at("12:00:00.000") + k * 1000, 0, 0, false);
            buffer->unlock();
            done = 1;
        });
        line->start();
        QTRY_VERIFY_WITH_TIMEOUT(done.loadAcquire() == 1, 2500);
        QVERIFY(line->wait(5000));
        delete line;
        QVERIFY(buffer->tryLock());
        buffer->unlock();
        QCOMPARE(buffer->archiveBuffer()->pendingCount(), 0);
        {
            QSqlQuery unlock(blocker);
            QVERIFY(unlock.exec("ROLLBACK"));
        }
        blocker.close();
        blocker = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
        QVERIFY(buffer->archiveBuffer()->waitWritten(10000));
        QCOMPARE(AcqTestDatabase::archiveCount(), 50);
    }

    // The final flush comes after the workers have quit: a reader that holds the lock a moment
    // longer must not cost the pending rows or the session breaks.
    void theFinalFlushNeverDropsRows()
    {
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        buffer->storeValue(1, 102, 7.0, at("12:00:00.000"), 0, 0, false);
        buffer->insertSessionBreakValue(1, 100, 0.0, at("12:00:01.000"), 6, 0);
        buffer->unlock();
        BufferLockHolder reader(buffer.get());
        QTRY_VERIFY(reader.held());
        QVERIFY(buffer->flushArchive());
        QVERIFY(reader.held());
        QCOMPARE(buffer->archiveBuffer()->pendingCount(), 0);
        QCOMPARE(AcqTestDatabase::archiveRows(),
                 (QStringList{QString::number(PSecond) + "|7|" + text("12:00:00") + "|0",
                              QString::number(PMinute) + "|0|" + text("12:00:01") + "|6"}));
    }

    // Polling start may hand over a forward-only query, which can be walked once only.
    void aForwardOnlyQueryIsArchivedToo()
    {
        Database scope;
        QSqlQuery query(scope.handle());
        query.setForwardOnly(true);
        QVERIFY(query.exec(AcqTestDatabase::parameterQuery()));
        ReadBuffer buffer(query, nullptr);
        QVERIFY(buffer.tryLock());
        buffer.storeValue(1, 100, 3.5, at("12:00:01.000"), 0, 0, false);
        buffer.unlock();
        QCOMPARE(buffer.value(PMinute).value, 3.5);
        QCOMPARE(buffer.archivedCount(), qint64(1));
        QVERIFY(buffer.flushArchive());
        QCOMPARE(AcqTestDatabase::archiveRows(), QStringList{QString::number(PMinute) + "|3.5|" + text("12:00:00") + "|0"});
    }

    // Releasing the buffer must not hang on a database that another program keeps busy: the
    // writer's thread is waited for with a bound, and finishes its batch on its own.
    void theWriterThreadIsJoinedWithABound()
    {
        QSqlDatabase blocker = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("blocker"));
        blocker.setDatabaseName(Database::livePath());
        QVERIFY(blocker.open());
        {
            QSqlQuery lock(blocker);
            QVERIFY(lock.exec("BEGIN EXCLUSIVE"));
        }
        const int joinTimeout = ArchiveWriter::joinTimeoutMs();
        ArchiveWriter::setJoinTimeoutMs(200);
        QElapsedTimer elapsed;
        elapsed.start();
        {
            ArchiveWriter writer;
            writer.submit({ArchiveRow{PSecond, 4.25, at("12:00:00.000"), 0}});
        }
        const qint64 took = elapsed.elapsed();
        ArchiveWriter::setJoinTimeoutMs(joinTimeout);
        {
            QSqlQuery unlock(blocker);
            QVERIFY(unlock.exec("ROLLBACK"));
        }
        blocker.close();
        blocker = QSqlDatabase();
        QSqlDatabase::removeDatabase(QStringLiteral("blocker"));
        QVERIFY2(took < 2000, qPrintable(QString::number(took)));
        QTRY_COMPARE_WITH_TIMEOUT(AcqTestDatabase::archiveCount(), 1, 10000);
    }

    // The stored time is local text: the two moments of the repeated hour in autumn read alike,
    // and rows equal in their stored form are one row, as a union of the batch stores them.
    void rowsEqualInTheirStoredTextAreStoredOnce()
    {
        const QByteArray zone = qgetenv("TZ");
        qputenv("TZ", "Europe/Warsaw");
        tzset();
        const qint64 first = QDateTime(QDate(2026, 10, 25), QTime(0, 30), Qt::UTC).toMSecsSinceEpoch();
        const qint64 second = first + 3600 * 1000;
        const bool firstText = QDateTime::fromMSecsSinceEpoch(first).toString("hh:mm") == "02:30";
        const bool secondText = QDateTime::fromMSecsSinceEpoch(second).toString("hh:mm") == "02:30";
        QString error;
        const bool ok = ArchiveWriter::insertRows({ArchiveRow{PMinute, 1.5, first, 0}, ArchiveRow{PMinute, 1.5, second, 0},
                                                   ArchiveRow{PMinute, 1.5, second, 3}},
                                                  &error);
        qputenv("TZ", zone);
        tzset();
        QVERIFY(firstText && secondText);
        QVERIFY2(ok, qPrintable(error));
        const QString p = QString::number(PMinute);
        QCOMPARE(AcqTestDatabase::archiveRows(),
                 (QStringList{p + "|1.5|2026-10-25 02:30:00|0", p + "|1.5|2026-10-25 02:30:00|3"}));
    }

    // Values reach the archive as bound doubles at full precision; values that are not
    // finite are stored as NULL and do not take the rest of their batch down.
    void valuesAtFullPrecisionAndNonFiniteAsNull()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        const double inf = std::numeric_limits<double>::infinity();
        const QList<double> values = {0.1, nan, 4294967295.0, inf, 1.0000000000000002, -inf, -123456.789e-12};
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        for (int k = 0; k < values.size(); ++k)
            buffer->storeValue(1, 102, values.at(k), at("12:00:00.000") + k * 5000, 0, 0, false);
        buffer->unlock();
        QVERIFY(buffer->flushArchive());
        QStringList stored;
        for (const QString &row : AcqTestDatabase::archiveRows())
            stored << row.section(QLatin1Char('|'), 1, 1);
        stored.sort();
        QStringList expected;
        for (double value : values)
            expected << (std::isfinite(value) ? QString::number(value, 'g', 17) : QStringLiteral("NULL"));
        expected.sort();
        QCOMPARE(stored, expected);
    }

    void sessionBreakRowsAreNotAligned()
    {
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        buffer->insertSessionBreakValue(1, 100, 0.0, at("12:00:07.300"), 6, 0);
        buffer->insertSessionBreakValue(1, 103, 0.0, at("12:00:07.300"), 6, 0); // not archived
        buffer->insertSessionBreakValue(1, 999, 0.0, at("12:00:07.300"), 6, 0); // unknown
        buffer->unlock();
        QCOMPARE(buffer->archivedCount(), qint64(0));
        QVERIFY(buffer->flushArchive());
        QCOMPARE(AcqTestDatabase::archiveRows(), QStringList{QString::number(PMinute) + "|0|" + text("12:00:07") + "|6"});
    }

    void identicalRowsOfOneBatchAreStoredOnce()
    {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        for (double value : {0.0, -0.0, 2.5, nan, nan}) // 0 and -0 are one value, NaNs are both NULL
            buffer->insertSessionBreakValue(1, 100, value, at("12:00:07.300"), 6, 0);
        buffer->insertSessionBreakValue(1, 100, 2.5, at("12:00:07.900"), 6, 0); // same second: same row
        buffer->insertSessionBreakValue(1, 100, 2.5, at("12:00:08.000"), 6, 0);
        buffer->insertSessionBreakValue(1, 100, 2.5, at("12:00:08.000"), 3, 0);
        buffer->unlock();
        QVERIFY(buffer->flushArchive());
        const QString p = QString::number(PMinute);
        QCOMPARE(AcqTestDatabase::archiveRows(),
                 (QStringList{p + "|0|" + text("12:00:07") + "|6", p + "|2.5|" + text("12:00:07") + "|6",
                              p + "|NULL|" + text("12:00:07") + "|6", p + "|2.5|" + text("12:00:08") + "|6",
                              p + "|2.5|" + text("12:00:08") + "|3"}));
    }

    void aBatchWhoseCommitFailsDoesNotStopTheNextOne()
    {
        // A deferred constraint fails only at COMMIT: a value of 666 leaves an orphan behind.
        QVERIFY(AcqTestDatabase::exec("CREATE TABLE CommitParents (id INTEGER PRIMARY KEY)"));
        QVERIFY(AcqTestDatabase::exec("CREATE TABLE CommitOrphans (parent INTEGER REFERENCES CommitParents(id) "
                                      "DEFERRABLE INITIALLY DEFERRED)"));
        QVERIFY(AcqTestDatabase::exec("CREATE TRIGGER CommitFails AFTER INSERT ON ArchiveData WHEN NEW.value = 666 "
                                      "BEGIN INSERT INTO CommitOrphans VALUES (1); END"));
        QString error;
        QVERIFY(!ArchiveWriter::insertRows({ArchiveRow{PSecond, 666.0, at("12:00:00.000"), 0}}, &error));
        QVERIFY2(error.contains("FOREIGN KEY"), qPrintable(error));
        const bool next = ArchiveWriter::insertRows({ArchiveRow{PSecond, 1.0, at("12:00:01.000"), 0}}, &error);
        QVERIFY(AcqTestDatabase::exec("DROP TRIGGER CommitFails"));
        QVERIFY(AcqTestDatabase::exec("DROP TABLE CommitOrphans"));
        QVERIFY(AcqTestDatabase::exec("DROP TABLE CommitParents"));
        QVERIFY2(next, qPrintable(error));
        QCOMPARE(AcqTestDatabase::archiveRows(), QStringList{QString::number(PSecond) + "|1|" + text("12:00:01") + "|0"});
    }

    // Failed batches are also told on standard error, which still works when the database does
    // not: once per kind of failure and interval, with the rows dropped since; the first batch
    // written afterwards logs what was lost.
    void failedWritesAreToldAndTheLossLoggedOnceWritingWorks()
    {
        QVERIFY(AcqTestDatabase::exec("CREATE TRIGGER ArchiveFails BEFORE INSERT ON ArchiveData BEGIN "
                                      "SELECT RAISE(ABORT, 'database or disk is full') WHERE NEW.value >= 0; "
                                      "SELECT RAISE(ABORT, 'disk I/O error') WHERE NEW.value < 0; END"));
        const int interval = ArchiveWriter::reportIntervalMs();
        // What the program writes to standard error; the writer's thread writes it too.
        auto warnings = std::make_unique<MessageRecorder>(QtWarningMsg);
        bool failuresWritten = false;
        bool recoveryWritten = false;
        {
            ArchiveWriter writer;
            writer.submit(secondRows(50, "12:00:00.000", 1.0));
            writer.submit(secondRows(50, "12:00:50.000", 1.0)); // the same kind again: counted
            writer.submit(secondRows(10, "12:01:40.000", -1.0)); // another kind: told at once
            writer.submit(secondRows(20, "12:01:50.000", 1.0));
            failuresWritten = writer.waitWritten(10000);
            ArchiveWriter::setReportIntervalMs(0); // the interval has passed
            writer.submit(secondRows(5, "12:02:10.000", 1.0));
            failuresWritten = writer.waitWritten(10000) && failuresWritten;
            AcqTestDatabase::exec("DROP TRIGGER ArchiveFails");
            writer.submit(secondRows(3, "12:02:20.000", 1.0));
            writer.submit(secondRows(2, "12:02:23.000", 1.0)); // nothing lost before it
            recoveryWritten = writer.waitWritten(10000);
        }
        const QStringList told = warnings->messages();
        warnings.reset();
        ArchiveWriter::setReportIntervalMs(interval);
        QVERIFY(failuresWritten && recoveryWritten);
        const QString full = QStringLiteral("Archive write error: database or disk is full (%1 rows dropped)");
        const QString recovered = QStringLiteral("Archive writing works again: 135 rows were lost, archive times ") +
                                  text("12:00:00") + " to " + text("12:02:14");
        QCOMPARE(told, (QStringList{full.arg(50), "Archive write error: disk I/O error (10 rows dropped)",
                                          full.arg(75), recovered}));
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec("SELECT type, message FROM Logs ORDER BY idLogs"));
        QStringList events;
        while (query.next())
            events << query.value(0).toString() + ": " + query.value(1).toString();
        const QString fullEvent = QStringLiteral("error: Archive write error: database or disk is full");
        const QString ioEvent = "error: " + Logs::escapeMessage("Archive write error: disk I/O error");
        QCOMPARE(events, (QStringList{fullEvent, fullEvent, ioEvent, fullEvent, fullEvent,
                                      "warn: " + Logs::escapeMessage(recovered)}));
        QCOMPARE(AcqTestDatabase::archiveCount(), 5);
    }

    // Last: it removes the archive table.
    void aFailedBatchIsLoggedAndArchivingGoesOn()
    {
        QVERIFY(AcqTestDatabase::exec("DROP TABLE ArchiveData"));
        auto buffer = makeBuffer();
        QVERIFY(buffer->tryLock());
        buffer->storeValue(1, 102, 1.0, at("12:00:00.000"), 0, 0, false);
        buffer->unlock();
        QVERIFY(buffer->flushArchive());
        Database scope;
        QSqlQuery query(scope.handle());
        QVERIFY(query.exec("SELECT message FROM Logs WHERE type = 'error'"));
        QVERIFY(query.next());
        QVERIFY2(query.value(0).toString().contains("ArchiveData"), qPrintable(query.value(0).toString()));
        QCOMPARE(buffer->archiveBuffer()->pendingCount(), 0);
    }
};

QTEST_GUILESS_MAIN(tst_ArchiveBuffer)
#include "tst_ArchiveBuffer.moc"
