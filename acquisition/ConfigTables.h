#pragma once

#include "RequestParams.h"

#include <QSqlDatabase>
#include <QString>
#include <QVariant>
#include <QVariantList>

class QSqlQuery;

// What the configuration calls of connections, devices and views share: reading the request as
// the browser pages send it, and the tables of the schema.
namespace ConfigTables {

// A text parameter, never null: an absent name without a fallback binds '' and not SQL NULL.
QString text(const t_GetArray &params, const QByteArray &name, const QString &fallback = QString());
// An integer parameter: a decimal parse at full 32-bit width, 0 when it does not parse (also
// "12.7" and values beyond 32 bits), the fallback when absent.
int integer(const t_GetArray &params, const QByteArray &name, int fallback = 0);
// The same cut to its low 16 bits, read as signed (65535 -> -1, 65536 -> 0).
int integer16(const t_GetArray &params, const QByteArray &name, int fallback = 0);
// The value as a bound text: never a null QString.
QVariant boundText(const QString &text);

// Prepares the statement on a forward-only query, binds the values in order and executes it;
// false when the prepare or the execution fails (the query's lastError() tells why).
bool run(QSqlQuery &query, const QString &sql, const QVariantList &values);

// True when the table is listed in sqlite_master (false also when the look-up fails).
bool tableExists(QSqlDatabase db, const QString &table);
// Runs the schema's CREATE TABLE statement of that table; false when it fails or is unknown.
bool createTable(QSqlDatabase db, const QString &table);

} // namespace ConfigTables
