#pragma once

// Request parameter maps and row dumps for the configuration call tests.

#include "RequestParams.h"

#include "Database.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>

#include <initializer_list>
#include <utility>

Q_DECLARE_METATYPE(t_GetArray)

inline t_GetArray params(std::initializer_list<std::pair<const char *, QByteArray>> values)
{
    t_GetArray map;
    for (const auto &value : values)
        map.insert(QByteArray(value.first), value.second);
    return map;
}

// Every row of a query, values joined by "|", NULL written as <null>, a text marked with quotes
// when asked, so that '' and NULL and 5 and '5' stay apart.
inline QStringList tableRows(const QString &sql, bool typed = false)
{
    Database scope;
    QSqlQuery query(scope.handle());
    QStringList out;
    if (!query.exec(sql))
        return {QStringLiteral("<error>")};
    while (query.next()) {
        QStringList values;
        for (int i = 0; i < query.record().count(); ++i) {
            const QVariant v = query.value(i);
            if (v.isNull())
                values << QStringLiteral("<null>");
            else if (typed && v.userType() == QMetaType::QString)
                values << QLatin1Char('\'') + v.toString() + QLatin1Char('\'');
            else
                values << v.toString();
        }
        out << values.join(QLatin1Char('|'));
    }
    return out;
}
