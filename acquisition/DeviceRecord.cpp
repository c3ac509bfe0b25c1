#include "DeviceRecord.h"

#include "JsonReply.h"

QString DeviceRecord::toJson() const
{
    static const QString mapped = QStringLiteral("::ffff:");
    const QString shownIp = ip.startsWith(mapped) ? ip.mid(mapped.size()) : ip;
    return QStringLiteral("{\"name\":") + JsonReply::quoted(name) + QStringLiteral(",\"ip\":") +
           JsonReply::quoted(shownIp) + QStringLiteral(",\"port\":\"") + QString::number(port) +
           QStringLiteral("\",\"mac\":") + JsonReply::quoted(mac) + QStringLiteral(",\"modbusid\":\"") +
           QString::number(modbusId) + QStringLiteral("\"}");
}
