#include "AlarmsManager.h"

#include "Database.h"
#include "JsonReply.h"
#include "ScriptLiteral.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantMap>

AlarmsManager::AlarmsManager(QObject *parent) : QObject(parent) {}

QByteArray AlarmsManager::getAlarmsCfg()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM Alarms;")))
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
    return JsonReply::rowArray(query);
}

namespace {

// A property the element lacks (or an element that is no object at all) reads as absent.
QVariant field(const QVariant &element, const QString &name)
{
    if (element.userType() != QMetaType::QVariantMap)
        return QVariant();
    return element.toMap().value(name);
}

} // namespace

QByteArray AlarmsManager::saveAlarmsCfg(const t_GetArray &params)
{
    const QString cfg = RequestParams::text(params, "cfg");

    Database scope;
    QSqlDatabase db = scope.handle();
    // The old definitions stay until the new ones are all in: a save that fails part-way
    // must not leave the plant without its alarms.
    if (!db.transaction())
        return buildErrorJson(QStringLiteral("Query error"), Database::errorText(db.lastError()));
    QByteArray reply;
    {
        QSqlQuery query(db);
        if (!query.exec(QStringLiteral("DELETE FROM Alarms;"))) {
            reply = buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
        } else {
            QVariantList alarms;
            if (!ScriptLiteral::parseArray(cfg, &alarms)) {
                // The delete succeeded, so its error text is empty.
                reply = buildErrorJson(QStringLiteral("Query error"), QString());
            } else {
                query.prepare(QStringLiteral(
                    "INSERT INTO Alarms (name, desc, priority, exp_on, exp_off, sedMailCond, mailRecipients, "
                    "mailSubject) VALUES (?,?,?,?,?,?,?,?)"));
                for (const QVariant &alarm : alarms) {
                    const QString expOn = ScriptLiteral::toText(field(alarm, QStringLiteral("exp_on")));
                    if (expOn.isEmpty()) {
                        reply = buildErrorJson(QStringLiteral("exp_on emppty"), QString());
                        break;
                    }
                    QString recipients = ScriptLiteral::toText(field(alarm, QStringLiteral("mailRecipients")));
                    recipients = recipients.simplified().remove(QLatin1Char(' '));
                    query.addBindValue(Database::text(ScriptLiteral::toText(field(alarm, QStringLiteral("name")))));
                    query.addBindValue(Database::text(ScriptLiteral::toText(field(alarm, QStringLiteral("desc")))));
                    query.addBindValue(ScriptLiteral::toInt32(field(alarm, QStringLiteral("priority"))));
                    query.addBindValue(Database::text(expOn));
                    query.addBindValue(Database::text(ScriptLiteral::toText(field(alarm, QStringLiteral("exp_off")))));
                    query.addBindValue(ScriptLiteral::toInt32(field(alarm, QStringLiteral("sedMailCond"))));
                    query.addBindValue(Database::text(recipients));
                    query.addBindValue(Database::text(ScriptLiteral::toText(field(alarm, QStringLiteral("mailSubject")))));
                    if (!query.exec()) {
                        // Any failed insert fails the save, not only the last one.
                        reply = buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
                        break;
                    }
                }
            }
        }
    }
    if (!reply.isEmpty()) {
        db.rollback();
        return reply;
    }
    if (!db.commit()) {
        const QString details = Database::errorText(db.lastError());
        db.rollback();
        return buildErrorJson(QStringLiteral("Query error"), details);
    }
    return plainSuccessJson();
}
