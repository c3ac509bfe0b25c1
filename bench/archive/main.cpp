// Measures the archive calls of the browser on a generated archive, one call per process so that
// the peak memory is that call's. The run script sets the sqlite3 CLI beside it on the same SQL.
//
//   archive_bench generate <file> <timeStamps> [noindex]   100 parameters, a row each per minute
//   archive_bench indexes                                  the index statements of a fresh build
//   archive_bench sql <call>                               the call's SQL for the CLI
//   archive_bench call <file> <call>                       "<ms> <baseKiB> <peakKiB> <replyBytes>"
// Calls: info, grid, report, csv.
#include "ArchiveManager.h"
#include "ArchiveQuery.h"
#include "ConfigManager.h"
#include "Database.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QTextStream>

#include <sys/resource.h>

#include <cstdio>

static const char *kIds = "[1,2,3,4,5,6,7,8,9,10]";
static const QStringList kIdList = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "10"};

static long peakKiB()
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

static t_GetArray callParams(const QString &call)
{
    t_GetArray p;
    p.insert("paramListStr", kIds);
    if (call == QLatin1String("report")) {
        p.insert("startDate", "2024-01-02 00:00:00");
        p.insert("endDate", "2024-01-05 23:59:59");
        p.insert("groupingType", "hours");
    } else {
        // One day of the archive; the grid asks for its first page and the total.
        p.insert("startDate", "2024-01-03");
        p.insert("startTime", "00:00:00");
        p.insert("endDate", "2024-01-03");
        p.insert("endTime", "23:59:59");
        p.insert("pagenum", "0");
        p.insert("pagesize", "100");
        p.insert("paggination", "1");
        p.insert("calculatedTotalRows", "-1");
        p.insert("colNamesStr", "Time,P1,P2,P3,P4,P5,P6,P7,P8,P9,P10");
    }
    return p;
}

static QString callSql(const QString &call)
{
    if (call == QLatin1String("info"))
        return ArchiveQuery::generalInfoSql() + ";\n" + ArchiveQuery::parametersSql() + ";\n";
    if (call == QLatin1String("report"))
        return ArchiveQuery::literal(ArchiveQuery::report(kIdList, "2024-01-02 00:00:00", "2024-01-05 23:59:59")) + ";\n";
    return ArchiveQuery::literal(ArchiveQuery::pivot(kIdList, "2024-01-03", "00:00:00", "2024-01-03", "23:59:59")) +
           ";\n";
}

static int fail(const QString &what)
{
    fprintf(stderr, "%s\n", qPrintable(what));
    return 1;
}

static int generate(const QString &file, qint64 stamps, bool withIndex)
{
    QFile::remove(file);
    Database::setLivePath(file);
    Database scope;
    QSqlQuery q(scope.handle());
    QStringList statements = ConfigManager::schemaStatements();
    if (withIndex)
        statements += ConfigManager::indexStatements();
    statements << "INSERT INTO Devices (idDevices, name) VALUES (1, 'Meter')"
               << "WITH RECURSIVE p(id) AS (SELECT 1 UNION ALL SELECT id + 1 FROM p WHERE id < 100) "
                  "INSERT INTO ConfiguredParameters (idParameters, idDevice, userDescription, nameId, regAddr, unit, "
                  "archInterval) SELECT id, 1, 'P' || id, '', id * 2, 'V', 60 FROM p"
               << QStringLiteral("WITH RECURSIVE t(i) AS (SELECT 0 UNION ALL SELECT i + 1 FROM t WHERE i < %1), "
                                 "p(id) AS (SELECT 1 UNION ALL SELECT id + 1 FROM p WHERE id < 100) "
                                 "INSERT INTO ArchiveData (idParameter, value, flag, dateTime) "
                                 "SELECT id, (abs(random()) % 10000000) / 1000.0, "
                                 "CASE WHEN i % 1000 = 999 THEN 6 WHEN (i * 7 + id) % 997 = 0 THEN 4 ELSE 0 END, "
                                 "datetime(1704067200 + i * 60, 'unixepoch') FROM t, p")
                      .arg(stamps - 1);
    for (const QString &s : statements) {
        if (!q.exec(s))
            return fail(s + ": " + q.lastError().text());
    }
    q.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    return 0;
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString mode = args.value(1);
    if (mode == QLatin1String("generate") && args.size() >= 4)
        return generate(args.at(2), args.at(3).toLongLong(), args.value(4) != QLatin1String("noindex"));
    if (mode == QLatin1String("indexes")) {
        for (const QString &s : ConfigManager::indexStatements())
            printf("%s;\n", qPrintable(s));
        return 0;
    }
    if (mode == QLatin1String("sql") && args.size() >= 3) {
        printf("%s", qPrintable(callSql(args.at(2))));
        return 0;
    }
    if (mode == QLatin1String("call") && args.size() >= 4) {
        Database::setLivePath(args.at(2));
        {
            Database scope;
            if (!scope.handle().isOpen())
                return fail("cannot open " + args.at(2));
        }
        const QString call = args.at(3);
        ArchiveManager manager;
        const long base = peakKiB();
        QElapsedTimer timer;
        timer.start();
        QByteArray reply;
        qint64 size = 0;
        if (call == QLatin1String("info")) {
            reply = manager.getArchGeneralInfo();
        } else if (call == QLatin1String("grid")) {
            reply = manager.getArchGridData(callParams(call));
        } else if (call == QLatin1String("report")) {
            reply = manager.getReportGridData(callParams(call));
        } else if (call == QLatin1String("csv")) {
            reply = manager.generateCSVFile(callParams(call));
            std::unique_ptr<QFile> file = manager.openCsvFile();
            size = file ? file->size() : -1;
        } else {
            return fail("unknown call " + call);
        }
        const double ms = timer.nsecsElapsed() / 1e6;
        if (reply.startsWith("{\"error\""))
            return fail(QString::fromUtf8(reply));
        if (call != QLatin1String("csv"))
            size = reply.size();
        printf("%.1f %ld %ld %lld\n", ms, base, peakKiB(), size);
        return 0;
    }
    return fail("usage: archive_bench generate|indexes|sql|call ...");
}
