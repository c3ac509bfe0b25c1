#include "UsersManager.h"

#include "Database.h"
#include "GlobalsOrder.h"
#include "JsonReply.h"

#include <QCryptographicHash>
#include <QSqlQuery>
#include <QVariant>

UsersManager g_usersManager DALVORAN_INIT_ORDER(GlobalsOrder::Users);

UsersManager::UsersManager(QObject *parent) : QObject(parent) {}

QString UsersManager::passwordDigest(const QString &password)
{
    return QString::fromLatin1(QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Sha256).toHex());
}

QString defaultAdminPasswordHash() { return UsersManager::passwordDigest(QString()); }

// Ids arrive as text; only a decimal integer may select a row.
static bool idFrom(const t_GetArray &params, qlonglong *id, QString *error)
{
    const QString text = RequestParams::text(params, "id");
    bool ok = false;
    *id = text.trimmed().toLongLong(&ok, 10);
    if (!ok)
        *error = QStringLiteral("Invalid id: ") + text;
    return ok;
}

int UsersManager::checkUser(const QString &username, const QString &password)
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("SELECT permissions FROM Users WHERE username=? AND password=?"));
    query.addBindValue(Database::text(username));
    query.addBindValue(passwordDigest(password));
    if (!query.exec() || !query.next())
        return 0;
    const QString permissions = query.value(0).toString();
    if (permissions.isEmpty())
        return 0;
    // Rights are a 16-bit number: a wider stored value counts by its low 16 bits, so 65536 is 0
    // and refused, where the full number would log in with rights that are not read-only.
    return static_cast<quint16>(permissions.toLongLong());
}

QByteArray UsersManager::getUsersCfg()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT idUsers, username, permissions FROM Users;")))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    return JsonReply::rowArray(query);
}

QByteArray UsersManager::addNewUser(const t_GetArray &params)
{
    if (!RequestParams::has(params, "username") || !RequestParams::has(params, "permissions"))
        return buildErrorJson(QStringLiteral("Parameters error"));
    const QString permissionsText = RequestParams::text(params, "permissions");
    bool ok = false;
    const qlonglong permissions = permissionsText.trimmed().toLongLong(&ok, 10);
    if (!ok)
        return buildErrorJson(QStringLiteral("User save error"), QStringLiteral("Invalid permissions: ") + permissionsText);

    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("INSERT INTO USERS (username, permissions)VALUES(?,?)"));
    query.addBindValue(Database::text(RequestParams::text(params, "username")));
    query.addBindValue(permissions);
    if (!query.exec())
        return buildErrorJson(QStringLiteral("User save error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}

QByteArray UsersManager::editUser(const t_GetArray &params)
{
    qlonglong id = 0;
    QString error;
    if (!idFrom(params, &id, &error))
        return buildErrorJson(QStringLiteral("Edit error"), error);
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("UPDATE Users SET username=?, permissions=? WHERE idUsers=?"));
    query.addBindValue(Database::text(RequestParams::text(params, "username")));
    query.addBindValue(RequestParams::integer(params, "permissions"));
    query.addBindValue(id);
    if (!query.exec())
        return buildErrorJson(QStringLiteral("Edit error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}

QByteArray UsersManager::setUserPass(const t_GetArray &params)
{
    qlonglong id = 0;
    QString error;
    if (!idFrom(params, &id, &error))
        return buildErrorJson(QStringLiteral("Edit error"), error);
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("UPDATE Users SET password=? WHERE idUsers=?"));
    query.addBindValue(passwordDigest(RequestParams::text(params, "password")));
    query.addBindValue(id);
    if (!query.exec())
        return buildErrorJson(QStringLiteral("Edit error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}

QByteArray UsersManager::removeUser(const t_GetArray &params)
{
    qlonglong id = 0;
    QString error;
    if (!idFrom(params, &id, &error))
        return buildErrorJson(QStringLiteral("Query error"), error);
    Database scope;
    QSqlQuery query(scope.handle());
    query.prepare(QStringLiteral("DELETE FROM Users WHERE idUsers = ?"));
    query.addBindValue(id);
    if (!query.exec())
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    return plainSuccessJson();
}
