#include "DeviceManager.h"

#include "ConfigTables.h"
#include "Database.h"
#include "JsonReply.h"
#include "ScriptLiteral.h"
#include "StrictJson.h"
#include "ValueText.h"

#include <QDateTime>
#include <QDebug>
#include <QHash>
#include <QJsonObject>
#include <QMap>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QVariantList>
#include <QVariantMap>

#include <charconv>
#include <cmath>

namespace {

const QString kQueryError = QStringLiteral("Query error");

QByteArray queryError(const QSqlError &error) { return buildErrorJson(kQueryError, Database::errorText(error)); }

using ConfigTables::run;

// A transaction whose begin and commit are checked; it rolls back unless committed.
class Transaction
{
public:
    explicit Transaction(QSqlDatabase db) : m_db(db) {}
    ~Transaction()
    {
        if (m_open)
            m_db.rollback();
    }
    bool begin()
    {
        m_open = m_db.transaction();
        if (!m_open)
            m_error = m_db.lastError();
        return m_open;
    }
    bool commit()
    {
        m_open = false;
        if (m_db.commit())
            return true;
        // A failed COMMIT leaves the transaction open in SQLite: nothing of it may stay.
        m_error = m_db.lastError();
        m_db.rollback();
        return false;
    }
    QSqlError error() const { return m_error; }

private:
    QSqlDatabase m_db;
    bool m_open = false;
    QSqlError m_error;
};

// The elements of a list text; holes are no properties of the array and are passed over.
bool readList(const QString &text, QList<QVariantMap> *elements)
{
    QVariantList list;
    if (!ScriptLiteral::parseArray(text, &list))
        return false;
    elements->clear();
    for (const QVariant &element : list) {
        if (!element.isValid())
            continue;
        elements->append(element.toMap()); // a primitive has none of the fields
    }
    return true;
}

QVariant numberField(const QVariantMap &object, const QString &field) { return ScriptLiteral::toInt32(object.value(field)); }
QVariant textField(const QVariantMap &object, const QString &field)
{
    return ConfigTables::boundText(ScriptLiteral::toText(object.value(field)));
}

QVariantList readBlockValues(const QVariantMap &block, int idDevice)
{
    return {numberField(block, QStringLiteral("regAddr")), numberField(block, QStringLiteral("valuesCnt")),
            numberField(block, QStringLiteral("regType")),  numberField(block, QStringLiteral("regSize")),
            numberField(block, QStringLiteral("valSize")),  idDevice,
            numberField(block, QStringLiteral("ModbusReadFunction"))};
}

// userDescription, nameId, regAddr, unit, archInterval, regType, regSize, valSize.
QVariantList parameterFields(const QVariantMap &p)
{
    return {textField(p, QStringLiteral("userDescription")), textField(p, QStringLiteral("nameId")),
            numberField(p, QStringLiteral("regAddr")),        textField(p, QStringLiteral("unit")),
            numberField(p, QStringLiteral("archInterval")),   numberField(p, QStringLiteral("regType")),
            numberField(p, QStringLiteral("regSize")),        numberField(p, QStringLiteral("valSize"))};
}

const QString kReadBlockInsert = QStringLiteral(
    "INSERT INTO ReadIterations (regAddr, valuesCnt, regType, regSize, valSize, idDevice, ModbusReadFunction) "
    "VALUES (?,?,?,?,?,?,?)");
const QString kParameterInsert = QStringLiteral(
    "INSERT INTO ConfiguredParameters (idDevice, userDescription, nameId, regAddr, unit, archInterval, regType, "
    "regSize, valSize) VALUES (?,?,?,?,?,?,?,?,?)");

// The device fields of add and edit, in the order of the statements, without the time stamp.
struct DeviceFields
{
    QVariantList leading; // name .. idOfConnection
    int isActive = 0;
};

DeviceFields deviceFields(const t_GetArray &p, int isActiveDefault)
{
    using namespace ConfigTables;
    DeviceFields f;
    f.leading = {text(p, "name", QStringLiteral("new")), text(p, "type"), integer16(p, "ModbusId", 1),
                 integer16(p, "ModbusReadFunction", 3), text(p, "MqttTopic"), text(p, "MqttFormat"),
                 text(p, "MqttMapping"), text(p, "connectionType"), integer(p, "idOfConnection")};
    f.isActive = integer(p, "isActive", isActiveDefault);
    return f;
}

// Appends the text as UTF-8 escaped for a JSON string. Most cells are plain ASCII and are copied
// straight into the reply; anything else takes the general escape.
void appendEscaped(QByteArray &out, const QString &text)
{
    const int n = text.size();
    const QChar *chars = text.constData();
    const int at = out.size();
    out.resize(at + n);
    char *to = out.data() + at;
    for (int i = 0; i < n; ++i) {
        const ushort u = chars[i].unicode();
        if (u >= 0x7f || u < 0x20 || u == '"' || u == '\\') {
            out.resize(at);
            out += JsonReply::escape(text).toUtf8();
            return;
        }
        to[i] = char(u);
    }
}

void appendInteger(QByteArray &out, qlonglong value)
{
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, int(end - digits));
}

void appendCell(QByteArray &out, const QVariant &value)
{
    if (value.isNull())
        return;
    switch (value.userType()) {
    case QMetaType::LongLong: appendInteger(out, value.toLongLong()); break;
    case QMetaType::Int: appendInteger(out, value.toInt()); break;
    case QMetaType::Double: out += ValueText::fromDouble(value.toDouble()).toUtf8(); break;
    default: appendEscaped(out, value.toString());
    }
}

// Every row as {"column":"value",...}, leaving out one column by name. Written as UTF-8 bytes
// directly: the listing of a large configuration is megabytes.
void appendRows(QByteArray &out, QSqlQuery &query, const QString &leftOut = QString())
{
    const QSqlRecord record = query.record();
    QVector<int> columns;
    QVector<QByteArray> keys;
    for (int i = 0; i < record.count(); ++i) {
        if (record.fieldName(i) == leftOut)
            continue;
        columns << i;
        keys << (QByteArray(columns.size() > 1 ? ",\"" : "\"") + JsonReply::escape(record.fieldName(i)).toUtf8() +
                 QByteArray("\":\""));
    }
    out += '[';
    bool first = true;
    while (query.next()) {
        out += first ? "{" : ",{";
        first = false;
        for (int k = 0; k < columns.size(); ++k) {
            out += keys.at(k);
            appendCell(out, query.value(columns.at(k)));
            out += '"';
        }
        out += '}';
    }
    out += ']';
}

// A decimal integer (surrounding blanks allowed), nothing else.
bool decimal(const QString &text, qlonglong *value)
{
    bool ok = false;
    *value = text.toLongLong(&ok, 10);
    return ok;
}

// A view's number column: NULL or anything that is no number is written as null.
QString viewNumber(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("null");
    switch (value.userType()) {
    case QMetaType::LongLong: return QString::number(value.toLongLong());
    case QMetaType::Int: return QString::number(value.toInt());
    case QMetaType::Double: return JsonReply::number(value.toDouble());
    default: break;
    }
    qlonglong integer = 0;
    if (decimal(value.toString(), &integer))
        return QString::number(integer);
    return QStringLiteral("null");
}

// The stored widget layout when it is exactly one JSON value, else null: the listing always
// parses and a stored text can never add members or views of its own.
QString widgetsJson(const QVariant &value)
{
    if (value.isNull())
        return QStringLiteral("null");
    // By the standard grammar: a browser's reader refuses what a lenient one lets through ("1.").
    const QString text = value.toString();
    return StrictJson::isOneValue(text) ? text : QStringLiteral("null");
}

bool viewIdFrom(const t_GetArray &params, qlonglong *id, QByteArray *reply)
{
    const QString text = ConfigTables::text(params, "id");
    if (decimal(text, id))
        return true;
    *reply = buildErrorJson(kQueryError, QStringLiteral("Invalid view id: ") + text);
    return false;
}

} // namespace

DeviceManager::DeviceManager(QObject *parent) : QObject(parent) { createTablesIfMissing(); }

DeviceManager::~DeviceManager() = default;

bool DeviceManager::createDevicesTable()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
    return ConfigTables::createTable(scope.handle(), QStringLiteral("Devices"));
}

bool DeviceManager::createTablesIfMissing()
{
    {
        Database scope;
        if (ConfigTables::tableExists(scope.handle(), QStringLiteral("Devices")))
            return true;
    }
    return createDevicesTable();
}

QByteArray DeviceManager::getDevCfg()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM Devices;")))
        return queryError(query.lastError());
    QByteArray reply;
    reply.reserve(64 * 1024);
    reply += "{\"devices\":";
    appendRows(reply, query, QStringLiteral("MqttMapping"));
    if (!query.exec(QStringLiteral("SELECT * FROM ConfiguredParameters;")))
        return queryError(query.lastError());
    reply += ",\"parameters\":";
    appendRows(reply, query);
    reply += '}';
    return reply;
}

QByteArray DeviceManager::addNewDevice(const t_GetArray &params)
{
    const DeviceFields fields = deviceFields(params, 1);
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    Database scope;
    QSqlDatabase db = scope.handle();
    Transaction transaction(db);
    if (!transaction.begin())
        return queryError(transaction.error());
    QSqlQuery query(db);
    if (!run(query,
             QStringLiteral("INSERT INTO Devices (name,type,ModbusId,ModbusReadFunction,MqttTopic,MqttFormat,"
                            "MqttMapping,connectionType,idOfConnection,paramModTimestamp,isActive) "
                            "VALUES(?,?,?,?,?,?,?,?,?,?,?)"),
             QVariantList(fields.leading) << now << fields.isActive))
        return queryError(query.lastError());
    const int idDevice = query.lastInsertId().toInt();

    QList<QVariantMap> blocks;
    if (!readList(ConfigTables::text(params, "readIterations"), &blocks))
        return buildErrorJson(kQueryError); // the last statement, the insert, succeeded: no database text
    for (const QVariantMap &block : blocks) {
        if (!run(query, kReadBlockInsert, readBlockValues(block, idDevice)))
            return queryError(query.lastError());
    }
    QList<QVariantMap> parameters;
    if (!readList(ConfigTables::text(params, "parameters"), &parameters))
        return buildErrorJson(QStringLiteral("Invalid parameters value"));
    for (const QVariantMap &parameter : parameters) {
        if (!run(query, kParameterInsert, QVariantList{idDevice} + parameterFields(parameter)))
            return queryError(query.lastError());
    }
    query.finish();
    if (!transaction.commit())
        return queryError(transaction.error());
    return plainSuccessJson();
}

QByteArray DeviceManager::editDevice(const t_GetArray &params)
{
    const int id = ConfigTables::integer(params, "id");
    const DeviceFields fields = deviceFields(params, 0);
    const int parametersChanged = ConfigTables::integer(params, "parametersChanged");
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    Database scope;
    QSqlDatabase db = scope.handle();
    QSqlQuery query(db);
    {
        Transaction transaction(db);
        if (!transaction.begin())
            return queryError(transaction.error());
        const bool ok =
            parametersChanged != 0
                ? run(query,
                      QStringLiteral("UPDATE Devices SET name=?,type=?,ModbusId=?,ModbusReadFunction=?,MqttTopic=?,"
                                     "MqttFormat=?,MqttMapping=?,connectionType=?,idOfConnection=?,"
                                     "paramModTimestamp=?,isActive=? WHERE idDevices=?"),
                      QVariantList(fields.leading) << now << fields.isActive << id)
                : run(query,
                      QStringLiteral("UPDATE Devices SET name=?,type=?,ModbusId=?,ModbusReadFunction=?,MqttTopic=?,"
                                     "MqttFormat=?,MqttMapping=?,connectionType=?,idOfConnection=?,isActive=? "
                                     "WHERE idDevices=?"),
                      QVariantList(fields.leading) << fields.isActive << id);
        if (!ok)
            return queryError(query.lastError());
        if (!run(query, QStringLiteral("DELETE FROM ReadIterations WHERE idDevice = ?"), {id}))
            return queryError(query.lastError());
        QList<QVariantMap> blocks;
        if (!readList(ConfigTables::text(params, "readIterations"), &blocks))
            return buildErrorJson(QStringLiteral("Invalid read iterations"));
        for (const QVariantMap &block : blocks) {
            if (!run(query, kReadBlockInsert, readBlockValues(block, id)))
                return queryError(query.lastError());
        }
        if (parametersChanged == 0) {
            query.finish();
            if (!transaction.commit())
                return queryError(transaction.error());
            return plainSuccessJson();
        }

        if (!run(query, QStringLiteral("SELECT idParameters, regAddr FROM ConfiguredParameters WHERE idDevice = ?"),
                 {id}))
            return queryError(query.lastError());
        QMap<qlonglong, bool> kept;
        QHash<qlonglong, qlonglong> byAddress;
        while (query.next()) {
            const qlonglong idParameter = query.value(0).toLongLong();
            kept.insert(idParameter, false);
            byAddress.insert(query.value(1).toLongLong(), idParameter); // a later one wins
        }
        query.finish();
        QList<QVariantMap> parameters;
        if (!readList(ConfigTables::text(params, "parameters"), &parameters))
            return buildErrorJson(kQueryError); // the last statement, the look-up, succeeded
        for (const QVariantMap &parameter : parameters) {
            const QVariantList values = parameterFields(parameter);
            const auto found = byAddress.constFind(values.at(2).toLongLong());
            if (found != byAddress.constEnd()) {
                if (!run(query,
                         QStringLiteral("UPDATE ConfiguredParameters SET userDescription = ?, nameId = ?, "
                                        "regAddr = ?, unit = ?, archInterval = ?,regType = ?,regSize = ?,"
                                        "valSize = ? WHERE idParameters = ?"),
                         QVariantList(values) << found.value()))
                    return queryError(query.lastError());
                kept[found.value()] = true;
            } else if (!run(query, kParameterInsert, QVariantList{id} + values)) {
                return queryError(query.lastError());
            }
        }
        query.finish();
        if (!transaction.commit())
            return queryError(transaction.error());

        // The deletes cascade to the parameters' archive rows; the pragma takes effect only
        // between transactions.
        query.exec(QStringLiteral("PRAGMA foreign_keys = ON;"));
        query.finish();
        Transaction deletes(db);
        if (!deletes.begin())
            return queryError(deletes.error());
        for (auto it = kept.constBegin(); it != kept.constEnd(); ++it) {
            if (it.value())
                continue;
            if (!run(query, QStringLiteral("DELETE FROM ConfiguredParameters WHERE idParameters = ?"), {it.key()}))
                return queryError(query.lastError());
        }
        query.finish();
        if (!deletes.commit())
            return queryError(deletes.error());
    }
    return plainSuccessJson();
}

QByteArray DeviceManager::removeDevice(const t_GetArray &params)
{
    const int id = ConfigTables::integer(params, "id");
    Database scope;
    QSqlQuery query(scope.handle());
    if (!query.exec(QStringLiteral("PRAGMA foreign_keys = ON;")))
        return queryError(query.lastError());
    if (!run(query, QStringLiteral("DELETE FROM Devices WHERE idDevices = ?"), {id}))
        return queryError(query.lastError());
    return plainSuccessJson();
}

QByteArray DeviceManager::getViewsCfg()
{
    Database scope;
    QSqlQuery query(scope.handle());
    query.setForwardOnly(true);
    if (!query.exec(QStringLiteral("SELECT * FROM Views;")))
        return queryError(query.lastError());
    QString text = QStringLiteral("[");
    while (query.next()) {
        text += QStringLiteral("{\"id\":") + viewNumber(query.value(0)) + QStringLiteral(",\"name\":") +
                JsonReply::quoted(query.value(1).toString()) + QStringLiteral(",\"width\":") +
                viewNumber(query.value(2)) + QStringLiteral(",\"height\":") + viewNumber(query.value(3)) +
                QStringLiteral(",\"showTime\":") + viewNumber(query.value(4)) + QStringLiteral(",\"widgetsCfg\":") +
                widgetsJson(query.value(5)) + QStringLiteral("},");
    }
    if (text.size() == 1)
        text += QLatin1Char(']');
    else
        text[text.size() - 1] = QLatin1Char(']');
    return text.toUtf8();
}

QByteArray DeviceManager::addNewView(const t_GetArray &params)
{
    const QString name = ConfigTables::text(params, "name", QStringLiteral("new"));
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, QStringLiteral("SELECT COUNT(*) FROM views WHERE name = ?"), {name}))
        return queryError(query.lastError());
    if (query.next() && query.value(0).toLongLong() > 0)
        return buildErrorJson(QStringLiteral("View name not unique"));
    query.finish();
    if (!run(query, QStringLiteral("INSERT INTO Views VALUES(NULL, ?,?,?,?,?)"),
             {name, ConfigTables::integer(params, "width"), ConfigTables::integer(params, "height"), 10,
              ConfigTables::text(params, "widgets")}))
        return queryError(query.lastError());
    return QStringLiteral("{\"success\":true,\"newViewId\": %1}").arg(query.lastInsertId().toLongLong()).toLatin1();
}

QByteArray DeviceManager::editView(const t_GetArray &params)
{
    qlonglong id = 0;
    QByteArray reply;
    if (!viewIdFrom(params, &id, &reply))
        return reply;
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, QStringLiteral("UPDATE Views SET name=?, width=?, height=?, widgetsCfg=? WHERE idViews=?"),
             {ConfigTables::text(params, "name"), ConfigTables::integer(params, "width"),
              ConfigTables::integer(params, "height"), ConfigTables::text(params, "widgets"), id}))
        return queryError(query.lastError());
    return plainSuccessJson();
}

QByteArray DeviceManager::removeView(const t_GetArray &params)
{
    qlonglong id = 0;
    QByteArray reply;
    if (!viewIdFrom(params, &id, &reply))
        return reply;
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, QStringLiteral("DELETE FROM Views WHERE idViews = ?"), {id}))
        return queryError(query.lastError());
    return plainSuccessJson();
}

QByteArray DeviceManager::viewNameExists(const t_GetArray &params)
{
    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, QStringLiteral("SELECT COUNT(*) FROM views WHERE name = ?"), {ConfigTables::text(params, "name")}))
        return queryError(query.lastError());
    const bool exists = query.next() && query.value(0).toLongLong() > 0;
    return exists ? QByteArrayLiteral("{\"exists\":true}") : QByteArrayLiteral("{\"exists\":false}");
}

QByteArray DeviceManager::updateViewsTimes(const t_GetArray &params)
{
    const QByteArray raw = RequestParams::raw(params, "viewsTimes");
    qDebug() << "viewsTimes: " << raw;
    const QJsonObject times = StrictJson::read(raw).object();
    if (times.isEmpty())
        return QByteArrayLiteral("false");

    QString sql = QStringLiteral("UPDATE Views SET showTime = CASE idViews ");
    QVariantList cases;
    QVariantList ids;
    for (auto it = times.constBegin(); it != times.constEnd(); ++it) {
        qlonglong id = 0;
        qlonglong showTime = 0;
        if (!decimal(it.key(), &id) || !it.value().isString() || !decimal(it.value().toString(), &showTime))
            return QByteArrayLiteral("false");
        sql += QStringLiteral("WHEN ? THEN ? ");
        cases << id << showTime;
        ids << id;
    }
    sql += QStringLiteral("ELSE showTime END WHERE idViews IN(");
    for (int i = 0; i < ids.size(); ++i)
        sql += i == 0 ? QStringLiteral("?") : QStringLiteral(",?");
    sql += QStringLiteral(");");

    Database scope;
    QSqlQuery query(scope.handle());
    if (!run(query, sql, cases + ids))
        return QByteArrayLiteral("false");
    return QByteArrayLiteral("true");
}
