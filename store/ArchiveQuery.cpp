#include "ArchiveQuery.h"

#include "ScriptLiteral.h"

#include <QVariantList>

static const QString kFromJoined = QStringLiteral(
    "FROM"
    "   ArchiveData JOIN ConfiguredParameters ON ArchiveData.idParameter = ConfiguredParameters.idParameters"
    "   JOIN Devices ON ConfiguredParameters.idDevice = Devices.idDevices ");

static bool isDecimalInteger(const QString &text)
{
    int i = text.startsWith(QLatin1Char('-')) ? 1 : 0;
    if (i >= text.size())
        return false;
    for (; i < text.size(); ++i) {
        if (text.at(i) < QLatin1Char('0') || text.at(i) > QLatin1Char('9'))
            return false;
    }
    return true;
}

bool ArchiveQuery::readIds(const QString &paramListStr, QStringList *ids)
{
    QVariantList list;
    if (!ScriptLiteral::parseArray(paramListStr, &list))
        return false;
    ids->clear();
    for (const QVariant &element : list) {
        // A hole is no property of the array, so it is passed over like the length.
        if (!element.isValid())
            continue;
        const QString id = ScriptLiteral::toText(element);
        if (!isDecimalInteger(id))
            return false;
        ids->append(id);
    }
    return true;
}

// The bounds and the id filter that the pivot and the report share; filter is empty for an
// empty id list, which leaves the statement invalid as the callers expect.
static void appendBounds(ArchiveQuery::Statement *st, const QString &start, const QString &end,
                         bool hasStart, bool hasEnd, const QString &filter)
{
    if (hasStart) {
        st->sql += QStringLiteral("WHERE dateTime >= ? ");
        st->binds << start;
    }
    if (hasEnd) {
        st->sql += hasStart ? QStringLiteral("AND dateTime <= ? ") : QStringLiteral("WHERE dateTime <= ? ");
        st->binds << end;
    }
    if (!hasStart && !hasEnd)
        st->sql += QStringLiteral("WHERE ") + filter + QLatin1Char(' ');
    else
        st->sql += QStringLiteral("AND (") + filter + QStringLiteral(") ");
    st->sql += QStringLiteral("GROUP BY dateTime ORDER BY dateTime ");
}

ArchiveQuery::Statement ArchiveQuery::pivot(const QStringList &ids, const QString &startDate,
                                            const QString &startTime, const QString &endDate,
                                            const QString &endTime)
{
    Statement st;
    st.sql = QStringLiteral("SELECT   dateTime,");
    QString filter;
    for (const QString &id : ids) {
        st.sql += QStringLiteral(" AVG(CASE WHEN idParameters='") + id + QStringLiteral("' THEN value END) AS '") +
                  id + QStringLiteral("',");
        st.sql += QStringLiteral(" AVG(CASE WHEN idParameters='") + id + QStringLiteral("' THEN flag END) AS '") +
                  id + QStringLiteral("_flag',");
        filter += QStringLiteral("idParameters=") + id + QStringLiteral(" OR ");
    }
    st.sql[st.sql.size() - 1] = QLatin1Char(' ');
    filter.chop(3);
    st.sql += kFromJoined;
    appendBounds(&st, startDate + QLatin1Char(' ') + startTime, endDate + QLatin1Char(' ') + endTime,
                 !startDate.isEmpty(), !endDate.isEmpty(), filter);
    return st;
}

ArchiveQuery::Statement ArchiveQuery::report(const QStringList &ids, const QString &startDate,
                                             const QString &endDate)
{
    Statement st;
    st.sql = QStringLiteral("SELECT   strftime('%s', dateTime) AS dateTime, ");
    QString filter = QStringLiteral("(");
    for (const QString &id : ids) {
        st.sql += QStringLiteral(" MIN(CASE WHEN idParameters='") + id + QStringLiteral("' THEN value END) AS '") +
                  id + QStringLiteral("',");
        filter += QStringLiteral("idParameters=") + id + QStringLiteral(" OR ");
    }
    st.sql[st.sql.size() - 1] = QLatin1Char(' ');
    filter.chop(3);
    filter += QStringLiteral(") AND flag = 0");
    st.sql += kFromJoined;
    appendBounds(&st, startDate, endDate, !startDate.isEmpty(), !endDate.isEmpty(), filter);
    return st;
}

QString ArchiveQuery::generalInfoSql()
{
    return QStringLiteral("SELECT MIN(dateTime) AS firstRecordData, MAX(dateTime) AS lastRecordData, "
                          "COUNT(idArchiveData) AS allParamRecordsCnt, COUNT( distinct dateTime) AS recordsCnt "
                          "FROM ArchiveData WHERE flag!=6");
}

QString ArchiveQuery::parametersSql()
{
    return QStringLiteral("SELECT"
                          "   DISTINCT (idParameters),"
                          "   Devices.name AS devName,"
                          "   idDevices,"
                          "   CASE "
                          "       WHEN nameId == '' "
                          "       THEN "
                          "           CASE "
                          "               WHEN userDescription != ''"
                          "               THEN userDescription"
                          "               ELSE regAddr"
                          "           END"
                          "       ELSE"
                          "           CASE "
                          "               WHEN userDescription != '' "
                          "               THEN (nameId || ' (' || userDescription || ')') "
                          "               ELSE nameId "
                          "           END"
                          "   END AS paramName,"
                          "   unit "
                          "FROM"
                          "   ConfiguredParameters JOIN Devices ON ConfiguredParameters.idDevice = Devices.idDevices"
                          "   WHERE archInterval > 0");
}

QString ArchiveQuery::literal(const Statement &statement)
{
    QString out;
    int next = 0;
    for (const QChar c : statement.sql) {
        if (c == QLatin1Char('?') && next < statement.binds.size()) {
            QString value = statement.binds.at(next++);
            value.replace(QLatin1Char('\''), QLatin1String("''"));
            out += QLatin1Char('\'') + value + QLatin1Char('\'');
        } else {
            out += c;
        }
    }
    return out;
}
