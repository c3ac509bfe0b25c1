#include "SettingsManager.h"

#include "Database.h"
#include "GlobalsOrder.h"
#include "JsonReply.h"

#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariant>

SettingsManager g_settings DALVORAN_INIT_ORDER(GlobalsOrder::Settings);

SettingsManager::SettingsManager(QObject *parent) : QObject(parent) {}

void SettingsManager::loadSettings()
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (query.exec(QStringLiteral("SELECT * FROM Settings;")) && query.next()) {
        modbusPollInterval = query.value(2).toInt();
        modbusIterDelay = query.value(3).toInt();
        sessionEnabled = query.value(4).toBool();
        defaultAppState = static_cast<qint16>(query.value(5).toInt());
        return;
    }
    modbusPollInterval = 5000;
    modbusIterDelay = 10;
    sessionEnabled = false;
}

QByteArray SettingsManager::getSetting()
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.exec(QStringLiteral("SELECT * FROM Settings;")) || query.record().isEmpty())
        return QByteArrayLiteral("{}");
    query.next(); // without a row every member reads as the empty string
    return JsonReply::rowObject(query).toUtf8();
}

// A strict decimal integer: what the statement would have accepted as a number.
static bool decimal(const QString &text, int *value)
{
    bool ok = false;
    *value = text.trimmed().toInt(&ok, 10);
    return ok;
}

QByteArray SettingsManager::saveSetting(const t_GetArray &params)
{
    if (!RequestParams::has(params, "modbusPollInterval") || !RequestParams::has(params, "modbusIterDelay"))
        return buildErrorJson(QStringLiteral("Parameters error"));
    const QString pollText = RequestParams::text(params, "modbusPollInterval");
    const QString delayText = RequestParams::text(params, "modbusIterDelay");
    int poll = 0;
    int delay = 0;
    if (!decimal(pollText, &poll))
        return buildErrorJson(QStringLiteral("Settings save error"),
                              QStringLiteral("modbusPollInterval is not a number: ") + pollText);
    if (!decimal(delayText, &delay))
        return buildErrorJson(QStringLiteral("Settings save error"),
                              QStringLiteral("modbusIterDelay is not a number: ") + delayText);
    // A 0 ms tick would spin the main thread, a negative pause would sleep for weeks.
    if (poll <= 0 || delay < 0)
        return buildErrorJson(QStringLiteral("Parameters error"));
    const qint16 session = static_cast<qint16>(RequestParams::integer(params, "sessionEnabled"));
    const qint16 appState = static_cast<qint16>(RequestParams::integer(params, "defaultAppState"));

    {
        Database scope;
        QSqlQuery query(scope.handle());
        query.prepare(QStringLiteral("UPDATE Settings SET modbusPollInterval=?,modbusIterDelay=?,sessionEnabled=?,"
                                     "defaultAppState=? WHERE idSettings=1"));
        query.addBindValue(poll);
        query.addBindValue(delay);
        query.addBindValue(int(session));
        query.addBindValue(int(appState));
        if (!query.exec())
            return buildErrorJson(QStringLiteral("Settings save error"), Database::errorText(query.lastError()));
    }
    loadSettings();
    return plainSuccessJson();
}
