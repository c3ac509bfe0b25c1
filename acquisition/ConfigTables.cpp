#include "ConfigTables.h"

#include "ConfigManager.h"
#include "Database.h"

#include <QSqlQuery>
#include <QStringList>

namespace ConfigTables {

QString text(const t_GetArray &params, const QByteArray &name, const QString &fallback)
{
    return Database::text(RequestParams::text(params, name, fallback));
}

int integer(const t_GetArray &params, const QByteArray &name, int fallback)
{
    return RequestParams::integer(params, name, fallback);
}

int integer16(const t_GetArray &params, const QByteArray &name, int fallback)
{
    return int(qint16(quint16(quint32(integer(params, name, fallback)))));
}

QVariant boundText(const QString &text) { return Database::text(text); }

bool run(QSqlQuery &query, const QString &sql, const QVariantList &values)
{
    query.setForwardOnly(true);
    if (!query.prepare(sql))
        return false;
    for (const QVariant &value : values)
        query.addBindValue(value);
    return query.exec();
}

bool tableExists(QSqlDatabase db, const QString &table)
{
    QSqlQuery query(db);
    query.prepare(QStringLiteral("SELECT name FROM sqlite_master WHERE type='table' AND name=?"));
    query.addBindValue(table);
    return query.exec() && query.next();
}

bool createTable(QSqlDatabase db, const QString &table)
{
    // The schema has one copy, that of a fresh database.
    const QString head = QStringLiteral("CREATE TABLE ") + table + QStringLiteral(" (");
    for (const QString &statement : ConfigManager::schemaStatements()) {
        if (statement.startsWith(head)) {
            QSqlQuery query(db);
            return query.exec(statement);
        }
    }
    return false;
}

} // namespace ConfigTables
