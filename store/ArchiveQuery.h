#pragma once

#include <QString>
#include <QStringList>

// The statements of the archive reads: the pivot of chosen parameters over time stamps (grid and
// CSV), the per-time-stamp minima of the report and the general information.
//
// Parameter ids become column names and filter terms, so they must be decimal integers; date
// and time bounds never enter the text, they are bound in the order of binds.
class ArchiveQuery
{
public:
    struct Statement
    {
        QString sql;
        QStringList binds;
    };

    // The ids of a "paramListStr" array literal as texts, in list order; false when the text is
    // no array literal or an element is not a decimal integer.
    static bool readIds(const QString &paramListStr, QStringList *ids);

    // dateTime, then per id its averaged value (column id) and averaged flag (column id_flag).
    static Statement pivot(const QStringList &ids, const QString &startDate, const QString &startTime,
                           const QString &endDate, const QString &endTime);
    // Unix time of each time stamp, then per id its smallest good value.
    static Statement report(const QStringList &ids, const QString &startDate, const QString &endDate);

    static QString generalInfoSql();
    static QString parametersSql();

    // The statement with its bound values written in as quoted SQL literals, for tools that
    // run the same query without binding.
    static QString literal(const Statement &statement);
};
