#include "ConnectionManager.h"

#include "ConfigTables.h"
#include "Database.h"
#include "JsonReply.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariantList>

namespace {

// One kind of connection: its statements (values bound in the order of the templates) and the
// values a request gives it. The key values are those the duplicate check compares.
struct Kind
{
    const char *deviceType;      // connectionType of the devices that use it
    const char *duplicateCheckAdd;
    const char *insert;
    const char *duplicateCheckEdit;
    const char *update;
    const char *inUse;
    const char *remove;
    const char *duplicateMessage;
    QVariantList (*values)(const t_GetArray &);    // in the order of the insert and the update
    QVariantList (*keyValues)(const QVariantList &); // the values of the duplicate check
};

QVariantList serialValues(const t_GetArray &p)
{
    using namespace ConfigTables;
    return {text(p, "name", QStringLiteral("connection")), text(p, "serialPort", QStringLiteral("COM1")),
            integer(p, "baudRate", 9600), text(p, "parity", QStringLiteral("N")), integer16(p, "stopBits", 2),
            integer(p, "timeout", 1000)};
}

QVariantList tcpValues(const t_GetArray &p)
{
    using namespace ConfigTables;
    return {text(p, "name", QStringLiteral("connection")), text(p, "ip"), integer(p, "portTCP", 502),
            integer(p, "timeout", 1000)};
}

QVariantList mqttValues(const t_GetArray &p)
{
    using namespace ConfigTables;
    return {text(p, "name", QStringLiteral("connection")), text(p, "ip"), integer(p, "port", 1887),
            text(p, "clientid", QStringLiteral("example"))};
}

QVariantList serialKey(const QVariantList &v) { return {v.at(1)}; }
QVariantList addressKey(const QVariantList &v) { return {v.at(1), v.at(2)}; }

const Kind kSerial = {
    "serial",
    "SELECT name FROM SerialConnections WHERE serialPort = ?",
    "INSERT INTO SerialConnections VALUES(NULL, ?,?,?,?,?,?)",
    "SELECT idSerialConnections FROM SerialConnections WHERE serialPort = ?",
    "UPDATE SerialConnections SET name=?,serialPort=?,baudRate=?,parity=?,stopBits=?,timeout=? WHERE "
    "idSerialConnections=?",
    "SELECT idDevices, name FROM Devices WHERE connectionType = 'serial' AND idOfConnection = ?",
    "DELETE FROM SerialConnections WHERE idSerialConnections=?",
    "Connection to this port already exists.",
    serialValues,
    serialKey,
};

const Kind kTcp = {
    "tcp",
    "SELECT name FROM TCPConnections WHERE ip = ? AND portTCP = ?",
    "INSERT INTO TCPConnections VALUES(NULL, ?,?,?,?)",
    "SELECT idTCPConnections FROM TCPConnections WHERE ip = ? AND portTCP = ?",
    "UPDATE TCPConnections SET name=?,ip=?,portTCP=?,timeout=? WHERE idTCPConnections=?",
    "SELECT idDevices, name FROM Devices WHERE connectionType = 'tcp' AND idOfConnection = ?",
    "DELETE FROM TCPConnections WHERE idTCPConnections=?",
    "Connection to this ip and port already exists.",
    tcpValues,
    addressKey,
};

const Kind kMqtt = {
    "mqtt",
    "SELECT name FROM MQTTConnections WHERE ip = ? AND port = ?",
    "INSERT INTO MQTTConnections VALUES(NULL, ?,?,?,?)",
    "SELECT idMQTTConnections FROM MQTTConnections WHERE ip = ? AND port = ?",
    "UPDATE MQTTConnections SET name=?,ip=?,port=?,clientid=? WHERE idMQTTConnections=?",
    "SELECT idDevices, name FROM Devices WHERE connectionType = 'mqtt' AND idOfConnection = ?",
    "DELETE FROM MQTTConnections WHERE idMQTTConnections=?",
    "Connection to this ip and port already exists.",
    mqttValues,
    addressKey,
};

QByteArray queryError(const QSqlQuery &query)
{
    return buildErrorJson(QStringLiteral("Query error"), Database::errorText(query.lastError()));
}

bool run(QSqlQuery &query, const char *sql, const QVariantList &values)
{
    return ConfigTables::run(query, QString::fromLatin1(sql), values);
}

QByteArray add(const Kind &kind, const t_GetArray &params)
{
    const QVariantList values = kind.values(params);
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, kind.duplicateCheckAdd, kind.keyValues(values)))
        return queryError(query);
    if (query.next())
        return buildErrorJson(QString::fromLatin1(kind.duplicateMessage));
    query.finish();
    if (!run(query, kind.insert, values))
        return queryError(query);
    return plainSuccessJson();
}

QByteArray edit(const Kind &kind, const t_GetArray &params)
{
    const int id = ConfigTables::integer(params, "id");
    const QVariantList values = kind.values(params);
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, kind.duplicateCheckEdit, kind.keyValues(values)))
        return queryError(query);
    if (query.next() && query.value(0).toLongLong() != id)
        return buildErrorJson(QString::fromLatin1(kind.duplicateMessage));
    query.finish();
    if (!run(query, kind.update, QVariantList(values) << id))
        return queryError(query);
    return plainSuccessJson();
}

QByteArray remove(const Kind &kind, const t_GetArray &params)
{
    const int id = ConfigTables::integer(params, "id");
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, kind.inUse, {id}))
        return queryError(query);
    if (query.next())
        return buildErrorJson(QStringLiteral("Foreign key error"));
    query.finish();
    if (!run(query, kind.remove, {id}))
        return queryError(query);
    return plainSuccessJson();
}

} // namespace

ConnectionManager::ConnectionManager(QObject *parent) : QObject(parent) { createTablesIfMissing(); }

QByteArray ConnectionManager::getConfiguredConnection()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM SerialConnections;")))
        return queryError(query);
    QByteArray reply = QByteArrayLiteral("{\"serial\":");
    reply += JsonReply::rowArray(query);
    // A failing TCP or MQTT table leaves its array empty; only the serial one is reported.
    reply += ",\"tcp\":";
    reply += query.exec(QStringLiteral("SELECT * FROM TCPConnections;")) ? JsonReply::rowArray(query) : "[]";
    reply += ",\"mqtt\":";
    reply += query.exec(QStringLiteral("SELECT * FROM MQTTConnections;")) ? JsonReply::rowArray(query) : "[]";
    reply += '}';
    return reply;
}

QByteArray ConnectionManager::addNewSerialConnection(const t_GetArray &params) { return add(kSerial, params); }
QByteArray ConnectionManager::editSerialConnection(const t_GetArray &params) { return edit(kSerial, params); }
QByteArray ConnectionManager::removeSerialConnection(const t_GetArray &params) { return remove(kSerial, params); }
QByteArray ConnectionManager::addNewTcpConnection(const t_GetArray &params) { return add(kTcp, params); }
QByteArray ConnectionManager::editTcpConnection(const t_GetArray &params) { return edit(kTcp, params); }
QByteArray ConnectionManager::removeTcpConnection(const t_GetArray &params) { return remove(kTcp, params); }
QByteArray ConnectionManager::addNewMqttConnection(const t_GetArray &params) { return add(kMqtt, params); }
QByteArray ConnectionManager::editMqttConnection(const t_GetArray &params) { return edit(kMqtt, params); }
QByteArray ConnectionManager::removeMqttConnection(const t_GetArray &params) { return remove(kMqtt, params); }

bool ConnectionManager::createSerialConnectionsTable()
{
    Database scope;
    return ConfigTables::createTable(scope.handle(), QStringLiteral("SerialConnections"));
}

bool ConnectionManager::createTcpConnectionsTable()
{
    Database scope;
    return ConfigTables::createTable(scope.handle(), QStringLiteral("TCPConnections"));
}

bool ConnectionManager::createMqttConnectionsTable()
{
    Database scope;
    return ConfigTables::createTable(scope.handle(), QStringLiteral("MQTTConnections"));
}

bool ConnectionManager::createTablesIfMissing()
{
    Database scope;
    const QSqlDatabase db = scope.handle();
    if (!ConfigTables::tableExists(db, QStringLiteral("SerialConnections")) && !createSerialConnectionsTable())
        return false;
    if (!ConfigTables::tableExists(db, QStringLiteral("TCPConnections")) && !createTcpConnectionsTable())
        return false;
    if (!ConfigTables::tableExists(db, QStringLiteral("MQTTConnections")) && !createMqttConnectionsTable())
        return false;
    return true;
}
