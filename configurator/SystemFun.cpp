#include "SystemFun.h"

#include "ModbusEngine.h"
#include "shell/SystemFun.h"

#include <QSettings>

namespace vexo {

SystemFun::SystemFun(QObject *parent) : QObject(parent)
{
    m_baudCodes = {{2400, 0}, {4800, 1}, {9600, 2}, {19200, 4}, {38400, 6}, {57600, 7}, {115200, 9}};
}

QByteArray SystemFun::getGeneralInfo() const
{
    return QByteArrayLiteral(
        "{\"ver\":\"0.3.4\",\"canUpdate\":0,\"canAddNewModules\":0,\"canUpdateFirmware\":0,\"canSendMailReport\":0,"
        "\"canAutoUpdateModules\":1, \"copy\":\"<img src=\\\"images/min_logo_ulv.jpg\\\" style=\\\"width: 100px; "
        "margin-top: 5px;\\\">\", \"langList\":[\"EN\"],\"osType\":\"other\"}");
}

QStringList SystemFun::firmwareUpdaterArgs() const
{
    const QSettings settings;
    const qint16 port = qint16(settings.value(QStringLiteral("Selected_Port")).toInt());
    const int rate = baudRateFromIndex(unsigned(settings.value(QStringLiteral("baudRate")).toInt()));
    const qint16 mode = qint16(settings.value(QStringLiteral("mode")).toInt());
    const qint16 slave = qint16(settings.value(QStringLiteral("slaveID")).toInt());
    const int deviceId = settings.value(QStringLiteral("Tarsek_ID")).toInt();
    const int code = rate > 0 ? m_baudCodes.value(rate, 2) : 2;
    return {QString::number(port - 1), QString::number(code), QString::number(mode + 3), QString::number(slave),
            QString::number(deviceId)};
}

} // namespace vexo

namespace vexo {

QByteArray SystemFun::htmlToPdf(const QString &html, const QString &documentRoot) const
{
    return ::SystemFun::convertHtmlToPdf(html, documentRoot);
}

} // namespace vexo
