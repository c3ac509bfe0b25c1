#include "ArchiveManager.h"

#include "ArchiveQuery.h"
#include "Database.h"
#include "JsonReply.h"
#include "ValueText.h"

#include <QFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QTemporaryFile>
#include <QThread>
#include <QVariant>

#include <chrono>
#include <vector>

static const qint64 kCsvBusyWindowMs = 120000;

static qint64 steadyMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

static bool prepareAndRun(QSqlQuery &query, const ArchiveQuery::Statement &statement)
{
    query.setForwardOnly(true);
    if (!query.prepare(statement.sql))
        return false;
    for (const QString &value : statement.binds)
        query.addBindValue(value);
    return query.exec();
}

static QString valueText(const QVariant &value)
{
    if (value.isNull())
        return QString();
    if (value.type() == QVariant::Double)
        return ValueText::fromDouble(value.toDouble());
    return value.toString();
}

// An averaged flag read as an integer: the average taken to the nearest integer, null as 0.
static int flagOf(const QVariant &value)
{
    if (value.isNull())
        return 0;
    return qRound(value.toDouble());
}

static QString cellText(const QVariant &value, int flag)
{
    if (flag == 0)
        return valueText(value);
    return flag == 2 ? QStringLiteral("---") : QStringLiteral("???");
}

ArchiveManager::ArchiveManager(QObject *parent)
    : QObject(parent),
      groupingTypes{QStringLiteral("minutes"), QStringLiteral("hours"), QStringLiteral("days"),
                    QStringLiteral("weeks")},
      m_clock(steadyMs)
{
}

ArchiveManager::~ArchiveManager()
{
    QMutexLocker lock(&m_csvMutex);
    delete csvFile;
    csvFile = nullptr;
}

void ArchiveManager::setClock(Clock clock)
{
    QMutexLocker lock(&m_csvMutex);
    m_clock = std::move(clock);
}

QByteArray ArchiveManager::getArchGeneralInfo()
{
    Database scope;
    QSqlQuery info(scope.handle());
    info.setForwardOnly(true);
    if (!info.exec(ArchiveQuery::generalInfoSql()))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(info.lastError()));
    QSqlQuery parameters(scope.handle());
    parameters.setForwardOnly(true);
    if (!parameters.exec(ArchiveQuery::parametersSql()))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(parameters.lastError()));

    QString reply = QStringLiteral("{\"generalInfo\":");
    reply += info.next() ? JsonReply::rowObject(info) : QStringLiteral("{}");
    reply += QStringLiteral(",\"parametersGroup\":[");
    bool first = true;
    while (parameters.next()) {
        if (!first)
            reply += QLatin1Char(',');
        first = false;
        reply += JsonReply::rowObject(parameters);
    }
    reply += QStringLiteral("]}");
    return reply.toUtf8();
}

QByteArray ArchiveManager::getArchGridData(const t_GetArray &params)
{
    const QString startDate = RequestParams::text(params, "startDate");
    const QString startTime = RequestParams::text(params, "startTime");
    const QString endDate = RequestParams::text(params, "endDate");
    const QString endTime = RequestParams::text(params, "endTime");
    const qint64 pageNum = RequestParams::integer(params, "pagenum");
    const qint64 pageSize = RequestParams::integer(params, "pagesize");
    const bool paging = RequestParams::integer(params, "paggination") != 0;
    const int knownTotal = RequestParams::integer(params, "calculatedTotalRows", -1);

    QStringList ids;
    if (!ArchiveQuery::readIds(RequestParams::text(params, "paramListStr"), &ids))
        return buildErrorJson(QStringLiteral("Parameters list error."));

    Database scope;
    QSqlQuery query(scope.handle());
    if (!prepareAndRun(query, ArchiveQuery::pivot(ids, startDate, startTime, endDate, endTime)))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));

    const QSqlRecord record = query.record();
    QStringList chartKeys;
    for (int i = 0; i < record.count(); ++i)
        chartKeys << QLatin1Char('"') + JsonReply::escape(record.fieldName(i)) + QStringLiteral("\":\"");

    const qint64 offset = pageNum * pageSize;
    QString grid;
    QString chart;
    qint64 written = 0;   // grid rows of the page
    qint64 outside = 0;   // rows that are no session break, outside the page
    qint64 index = 0;     // rows that are no session break before this one
    while (query.next()) {
        const bool sessionBreak = flagOf(query.value(2)) == 6;
        // A session break takes no place on the page, so every other row is on exactly one page.
        const bool inside = !paging || (offset <= index && index < offset + pageSize);
        if (inside) {
            if (!chart.isEmpty())
                chart += QLatin1Char(',');
            chart += QLatin1Char('{');
            for (int i = 0; i < chartKeys.size(); ++i) {
                if (i > 0)
                    chart += QLatin1Char(',');
                chart += chartKeys.at(i) + JsonReply::escape(valueText(query.value(i))) + QLatin1Char('"');
            }
            chart += QLatin1Char('}');
            if (!sessionBreak) {
                if (written > 0)
                    grid += QLatin1Char(',');
                grid += QStringLiteral("{\"dateTime\":\"") + JsonReply::escape(query.value(0).toString()) +
                        QLatin1Char('"');
                for (int k = 0; k < ids.size(); ++k) {
                    const QVariant value = query.value(1 + 2 * k);
                    const int flag = flagOf(query.value(2 + 2 * k));
                    grid += QStringLiteral(",\"") + ids.at(k) + QStringLiteral("\":\"") +
                            JsonReply::escape(cellText(value, flag)) + QLatin1Char('"');
                }
                grid += QLatin1Char('}');
                ++written;
            }
        } else if (!sessionBreak) {
            ++outside;
        }
        if (!sessionBreak)
            ++index;
        if (paging && knownTotal != -1 && written >= pageSize)
            break;
    }

    const qint64 total = knownTotal == -1 ? written + outside : knownTotal;
    const QString reply = QStringLiteral("{\"Rows\":[") + grid + QStringLiteral("], \"ChartData\":[") + chart +
                          QStringLiteral("], \"rowsCnt\":") + QString::number(written) +
                          QStringLiteral(", \"calculatedTotalRows\":") + QString::number(total) +
                          QLatin1Char('}');
    return reply.toLatin1();
}

QDateTime ArchiveManager::intervalStart(qint64 unixTime, const QString &groupingType, int minutes)
{
    const QDateTime at = QDateTime::fromSecsSinceEpoch(unixTime, Qt::UTC);
    const QTime time = at.time();
    if (groupingType == QLatin1String("minutes")) {
        const int step = minutes > 0 ? minutes : 10;
        return QDateTime(at.date(), QTime(time.hour(), time.minute() - time.minute() % step, 0), Qt::UTC);
    }
    if (groupingType == QLatin1String("hours"))
        return QDateTime(at.date(), QTime(time.hour(), 0, 0), Qt::UTC);
    if (groupingType == QLatin1String("days"))
        return QDateTime(at.date(), QTime(0, 0, 0), Qt::UTC);
    if (groupingType == QLatin1String("weeks"))
        return QDateTime(at.date().addDays(1 - at.date().dayOfWeek()), QTime(0, 0, 0), Qt::UTC);
    return QDateTime();
}

static qint64 spanSeconds(const QString &groupingType, int minutes)
{
    if (groupingType == QLatin1String("minutes"))
        return qint64(minutes) * 60;
    if (groupingType == QLatin1String("hours"))
        return 3600;
    if (groupingType == QLatin1String("days"))
        return 86400;
    if (groupingType == QLatin1String("weeks"))
        return 604800;
    return 0;
}

QDateTime ArchiveManager::intervalEnd(const QDateTime &start, const QString &groupingType, int minutes)
{
    if (!start.isValid())
        return QDateTime();
    const qint64 span = spanSeconds(groupingType, minutes);
    const bool wholeSpan = groupingType == QLatin1String("minutes") || groupingType == QLatin1String("hours");
    return start.addSecs(wholeSpan ? span : span - 1);
}

namespace {

struct ParameterStats
{
    bool any = false;
    double min = 0;
    qint64 minTime = 0;
    double max = 0;
    qint64 maxTime = 0;
    double sum = 0;
    qint64 count = 0;
};

QString reportTime(qint64 unixTime)
{
    return QDateTime::fromSecsSinceEpoch(unixTime, Qt::UTC).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss"));
}

} // namespace

QByteArray ArchiveManager::getReportGridData(const t_GetArray &params)
{
    const QString startDate = RequestParams::text(params, "startDate");
    const QString endDate = RequestParams::text(params, "endDate");
    const QString groupingType = RequestParams::text(params, "groupingType");
    int minutes = RequestParams::integer(params, "groupingMinutesVal");
    if (minutes < 1 || minutes > 60)
        minutes = 10;

    QStringList ids;
    if (!ArchiveQuery::readIds(RequestParams::text(params, "paramListStr"), &ids))
        return buildErrorJson(QStringLiteral("Parameters list error."));
    // With an unknown grouping every interval would be empty and unbounded; say so instead.
    if (!groupingTypes.contains(groupingType))
        return buildErrorJson(QStringLiteral("Grouping type error."));

    Database scope;
    QSqlQuery query(scope.handle());
    if (!prepareAndRun(query, ArchiveQuery::report(ids, startDate, endDate)))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));

    const qint64 span = spanSeconds(groupingType, minutes);
    std::vector<ParameterStats> stats(size_t(ids.size()));
    QString reply = QStringLiteral("[");
    bool open = false;
    QDateTime start;
    qint64 startSecs = 0;

    auto writeInterval = [&]() {
        reply += QStringLiteral("{\"timeRangeFrom\":\"") +
                 start.toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")) + QStringLiteral("\",\"timeRangeTo\":\"") +
                 intervalEnd(start, groupingType, minutes).toString(QStringLiteral("dd.MM.yyyy hh:mm:ss")) +
                 QStringLiteral("\",");
        for (int k = 0; k < ids.size(); ++k) {
            const ParameterStats &s = stats[size_t(k)];
            const QString &p = ids.at(k);
            if (k > 0)
                reply += QLatin1Char(',');
            if (s.any) {
                reply += QStringLiteral("\"minDateTime_") + p + QStringLiteral("\":\"") + reportTime(s.minTime) +
                         QStringLiteral("\",\"minValue_") + p + QStringLiteral("\":") + JsonReply::number(s.min) +
                         QStringLiteral(",\"maxDateTime_") + p + QStringLiteral("\":\"") + reportTime(s.maxTime) +
                         QStringLiteral("\",\"maxValue_") + p + QStringLiteral("\":") + JsonReply::number(s.max) +
                         QStringLiteral(",\"avg_") + p + QStringLiteral("\":") +
                         JsonReply::number(s.sum / double(s.count));
            } else {
                reply += QStringLiteral("\"minDateTime_") + p + QStringLiteral("\":\"---\",\"minValue_") + p +
                         QStringLiteral("\":\"---\",\"maxDateTime_") + p + QStringLiteral("\":\"---\",\"maxValue_") +
                         p + QStringLiteral("\":\"---\",\"avg_") + p + QStringLiteral("\":\"---\"");
            }
        }
        reply += QStringLiteral("},");
    };

    while (query.next()) {
        const qint64 time = query.value(0).toLongLong();
        if (!open || time >= startSecs + span) {
            if (open)
                writeInterval();
            open = true;
            start = intervalStart(time, groupingType, minutes);
            startSecs = start.toSecsSinceEpoch();
            for (ParameterStats &s : stats)
                s = ParameterStats();
        }
        for (int k = 0; k < ids.size(); ++k) {
            const QVariant cell = query.value(1 + k);
            if (cell.isNull())
                continue;
            const double value = cell.toDouble();
            ParameterStats &s = stats[size_t(k)];
            if (!s.any) {
                s.any = true;
                s.min = s.max = value;
                s.minTime = s.maxTime = time;
            } else {
                if (value < s.min) {
                    s.min = value;
                    s.minTime = time;
                }
                if (value > s.max) {
                    s.max = value;
                    s.maxTime = time;
                }
            }
            s.sum += value;
            ++s.count;
        }
    }
    // A range without rows has no interval to write: the reply is an empty list.
    if (open) {
        writeInterval();
        reply.chop(1);
    }
    reply += QLatin1Char(']');
    return reply.toLatin1();
}

void ArchiveManager::failCsv(quint64 generation)
{
    QMutexLocker lock(&m_csvMutex);
    if (generation == m_csvGeneration)
        csvBusy = false;
}

QByteArray ArchiveManager::generateCSVFile(const t_GetArray &params)
{
    quint64 generation = 0;
    {
        QMutexLocker lock(&m_csvMutex);
        const qint64 now = m_clock();
        if (csvBusy && csvTimer >= 0 && now - csvTimer < kCsvBusyWindowMs)
            return buildErrorJson(QStringLiteral("Generating in progress"));
        if (csvFile) {
            csvFile->deleteLater();
            csvFile = nullptr;
        }
        csvBusy = true;
        csvTimer = now;
        generation = ++m_csvGeneration;
    }

    const QString startDate = RequestParams::text(params, "startDate");
    const QString startTime = RequestParams::text(params, "startTime");
    const QString endDate = RequestParams::text(params, "endDate");
    const QString endTime = RequestParams::text(params, "endTime");
    const QByteArray colNames = RequestParams::raw(params, "colNamesStr");
    const QByteArray colSep = RequestParams::has(params, "colSep") ? RequestParams::raw(params, "colSep")
                                                                   : QByteArrayLiteral(",");
    const bool pointDecimal = !RequestParams::has(params, "decSep") || RequestParams::raw(params, "decSep") == ".";

    QStringList ids;
    if (!ArchiveQuery::readIds(RequestParams::text(params, "paramListStr"), &ids)) {
        failCsv(generation);
        return buildErrorJson(QStringLiteral("Parameters list error."));
    }

    QByteArray reply;
    std::unique_ptr<QTemporaryFile> file;
    {
        Database scope;
        QSqlQuery query(scope.handle());
        if (!prepareAndRun(query, ArchiveQuery::pivot(ids, startDate, startTime, endDate, endTime))) {
            failCsv(generation);
            return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
        }

        file = std::make_unique<QTemporaryFile>();
        // Every write is checked: a full disk must not leave a truncated file behind a success.
        bool ok = file->open() && file->write(colNames) == colNames.size() && file->write("\r\n", 2) == 2;
        QByteArray line;
        while (ok && query.next()) {
            if (flagOf(query.value(2)) == 6)
                continue;
            line = query.value(0).toString().toUtf8();
            for (int k = 0; k < ids.size(); ++k) {
                line += colSep;
                const int flag = flagOf(query.value(2 + 2 * k));
                QString cell = cellText(query.value(1 + 2 * k), flag);
                if (flag == 0 && !pointDecimal)
                    cell.replace(QLatin1Char('.'), QLatin1Char(','));
                line += cell.toUtf8();
            }
            line += "\r\n";
            ok = file->write(line) == line.size();
        }
        ok = ok && file->flush();
        if (!ok) {
            file.reset();
            failCsv(generation);
            return buildErrorJson(QStringLiteral("Unable to create file"));
        }
    }

    // The pooled thread that generated the file may be retired before the download, so the
    // file lives in this object's thread, where its deferred deletion will run.
    file->moveToThread(thread());
    QMutexLocker lock(&m_csvMutex);
    if (generation != m_csvGeneration) {
        // A later generation took over after the busy window; this file is no longer wanted.
        file.release()->deleteLater();
        return buildErrorJson(QStringLiteral("Generating in progress"));
    }
    csvFile = file.release();
    return plainSuccessJson();
}

std::unique_ptr<QFile> ArchiveManager::openCsvFile(quint64 *served) const
{
    QMutexLocker lock(&m_csvMutex);
    if (!csvFile)
        return nullptr;
    // A file is installed only by the generation that counts last, so the count names it.
    if (served)
        *served = m_csvGeneration;
    auto handle = std::make_unique<QFile>(csvFile->fileName());
    if (!handle->open(QIODevice::ReadOnly))
        return nullptr;
    return handle;
}

void ArchiveManager::releaseCsvFile(quint64 served)
{
    QMutexLocker lock(&m_csvMutex);
    // A later generation has begun since: its file, or the one it is still writing, is not ours.
    if (served != m_csvGeneration)
        return;
    if (csvFile) {
        csvFile->deleteLater();
        csvFile = nullptr;
    }
    csvBusy = false;
}

QByteArray ArchiveManager::deleteArchivedData()
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.exec(QStringLiteral("DELETE FROM ArchiveData")))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}
